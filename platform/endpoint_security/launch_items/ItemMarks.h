// The fanotify inode marks on launch-item files. A mark on a folder sees only what is done
// through the names in that folder; a mark on the item's inode also sees a write through another
// name of the same file (a hard link outside every item folder). Records name the written object
// by its file handle (FAN_REPORT_FID); this maps it back to the item paths that name it.
//
// Why inode marks and not one filesystem mark filtered by path (bench/launchitems/
// LaunchItemMarksBench.cpp, ext4, 2 shared cores, three runs): a write to a file nobody watches
// costs the writer the same with 1,000 or 20,000 item marks as with none (14.0-19.5 us against
// 15.2-19.5 us per open-write-close); with a filesystem mark it costs 18-54 us, and every such
// write becomes a record the agent must read, resolve to a path and throw away (21,256 records for
// 30,000 writes). A write to an item costs about twice a plain one either way (the record). A mark
// takes 8-26 us to place and about 115 B of kernel memory, and pins its inode (about 1 KB) in the
// cache; the items of a machine number in the hundreds.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>

namespace platform::es {

// What fanotify reports an object as: its filesystem id, handle type and file handle, as bytes.
// `follow`: of the object a final link leads to, rather than of the link.
std::optional<std::string> objectKey(const std::string& path, bool follow);

// Owned by the source's thread.
class ItemMarks {
 public:
  explicit ItemMarks(int fanotify) : fanotify_(fanotify) {}

  // Marks the regular file at `path` for writes (a link or anything else is not marked).
  void add(const std::string& path);
  // Forgets `path`; the inode's mark goes when no item path names it any more.
  void remove(const std::string& path);
  // The item paths naming the object with `key`; null when none.
  const std::set<std::string>* pathsOf(const std::string& key) const;
  std::size_t size() const { return pathsByKey_.size(); }

 private:
  void unmark(const std::string& key, const std::string& folder);

  const int fanotify_;
  std::map<std::string, std::string> keyByPath_;
  std::map<std::string, std::set<std::string>> pathsByKey_;
  bool loggedFailure_ = false;
};

}  // namespace platform::es
