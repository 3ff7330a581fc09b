// The fanotify inode marks on launch-item files. A mark on a folder sees only what is done
// through the names in that folder; a mark on the item's inode also sees a write through another
// name of the same file (a hard link outside every item folder). Records name the written object
// by its file handle (FAN_REPORT_FID); this maps it back to the item paths that name it.
//
// Cost, measured with bench/launchitems/LaunchItemMarksBench.cpp: see the figures there. A mark
// pins its inode in memory; the items of a machine number in the hundreds.
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
