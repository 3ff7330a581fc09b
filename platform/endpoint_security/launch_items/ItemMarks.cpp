// Inode marks on launch-item files, and the file handles that name them.
#include "platform/endpoint_security/launch_items/ItemMarks.h"

#include <fcntl.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <sys/statfs.h>

#include <cerrno>
#include <cstring>

#include "platform/UniqueFd.h"
#include "platform/log/Log.h"

namespace platform::es {
namespace {

constexpr std::uint64_t kItemMask = FAN_CLOSE_WRITE | FAN_MODIFY;

}  // namespace

std::optional<std::string> objectKey(const std::string& path, bool follow) {
  struct statfs fs {};
  if (::statfs(path.c_str(), &fs) != 0) return std::nullopt;
  alignas(file_handle) char storage[sizeof(file_handle) + MAX_HANDLE_SZ];
  auto* handle = reinterpret_cast<file_handle*>(storage);
  handle->handle_bytes = MAX_HANDLE_SZ;
  int mountId = 0;
  if (::name_to_handle_at(AT_FDCWD, path.c_str(), handle, &mountId,
                          follow ? AT_SYMLINK_FOLLOW : 0) != 0) {
    return std::nullopt;
  }
  std::string key(reinterpret_cast<const char*>(&fs.f_fsid), sizeof fs.f_fsid);
  key.append(reinterpret_cast<const char*>(&handle->handle_type), sizeof handle->handle_type);
  key.append(reinterpret_cast<const char*>(handle->f_handle), handle->handle_bytes);
  return key;
}

void ItemMarks::add(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return remove(path);
  const std::optional<std::string> key = objectKey(path, false);
  if (!key) return;
  const auto known = keyByPath_.find(path);
  if (known != keyByPath_.end() && known->second == *key) return;
  remove(path);
  // Not following a link: a file swapped for one meanwhile leaves the link marked, harmlessly.
  if (::fanotify_mark(fanotify_, FAN_MARK_ADD | FAN_MARK_DONT_FOLLOW, kItemMask, AT_FDCWD,
                      path.c_str()) != 0) {
    if (!loggedFailure_) {
      NSLog(
          "EndpointSecurity: source launch items: cannot watch %s itself: %s (writes through "
          "other links to such items go unseen), ignoring",
          path.c_str(), std::strerror(errno));
    }
    loggedFailure_ = true;
    return;
  }
  keyByPath_[path] = *key;
  pathsByKey_[*key].insert(path);
}

void ItemMarks::remove(const std::string& path) {
  const auto known = keyByPath_.find(path);
  if (known == keyByPath_.end()) return;
  const std::string key = known->second;
  keyByPath_.erase(known);
  auto paths = pathsByKey_.find(key);
  paths->second.erase(path);
  if (!paths->second.empty()) return;
  pathsByKey_.erase(paths);
  unmark(key, path.substr(0, path.rfind('/')));
}

// The file may live on under another name: its inode keeps the mark (and stays pinned) until the
// mark is taken off through its handle. The folder serves as the mount to open it on.
void ItemMarks::unmark(const std::string& key, const std::string& folder) {
  constexpr std::size_t kFsid = sizeof(fsid_t);
  if (key.size() <= kFsid + sizeof(int)) return;
  const std::size_t bytes = key.size() - kFsid - sizeof(int);
  alignas(file_handle) char storage[sizeof(file_handle) + MAX_HANDLE_SZ];
  if (bytes > MAX_HANDLE_SZ) return;
  auto* handle = reinterpret_cast<file_handle*>(storage);
  handle->handle_bytes = static_cast<unsigned int>(bytes);
  std::memcpy(&handle->handle_type, key.data() + kFsid, sizeof(int));
  std::memcpy(handle->f_handle, key.data() + kFsid + sizeof(int), bytes);
  // Neither open_by_handle_at() nor fanotify_mark() takes an O_PATH descriptor.
  const UniqueFd mount(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!mount) return;
  const UniqueFd file(
      ::open_by_handle_at(mount.get(), handle, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!file) return;  // gone with its last name, and its mark with it
  ::fanotify_mark(fanotify_, FAN_MARK_REMOVE, kItemMask, file.get(), nullptr);
}

const std::set<std::string>* ItemMarks::pathsOf(const std::string& key) const {
  const auto found = pathsByKey_.find(key);
  return found == pathsByKey_.end() ? nullptr : &found->second;
}

}  // namespace platform::es
