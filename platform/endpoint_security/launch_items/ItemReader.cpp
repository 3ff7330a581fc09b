// Reading launch items with the identity and the rules of the program that starts them.
#include "platform/endpoint_security/launch_items/ItemReader.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string_view>

#include "platform/UniqueFd.h"

namespace platform::es {
namespace {

// The calling thread's file-system identity is an account's while this lives: fsuid and fsgid
// set, supplementary groups dropped (the raw system calls change this thread only; glibc's
// setgroups() would change every thread). Switching away from fsuid 0 also drops the file
// capabilities, so the kernel checks access as it would for the account.
class ThreadFsIdentity {
 public:
  ThreadFsIdentity(uid_t uid, gid_t gid) {
    const int count = ::getgroups(0, nullptr);
    if (count < 0) return;
    groups_.resize(static_cast<std::size_t>(count));
    if (::getgroups(count, groups_.data()) != count) return;
    savedGid_ = static_cast<gid_t>(::setfsgid(static_cast<gid_t>(-1)));
    savedUid_ = static_cast<uid_t>(::setfsuid(static_cast<uid_t>(-1)));
    if (::syscall(SYS_setgroups, 0, nullptr) != 0) return;
    changed_ = true;
    ::setfsgid(gid);
    ::setfsuid(uid);
    active_ = static_cast<uid_t>(::setfsuid(static_cast<uid_t>(-1))) == uid &&
              static_cast<gid_t>(::setfsgid(static_cast<gid_t>(-1))) == gid;
  }
  ~ThreadFsIdentity() {
    if (!changed_) return;
    ::setfsuid(savedUid_);
    ::setfsgid(savedGid_);
    ::syscall(SYS_setgroups, groups_.size(), groups_.data());
  }
  ThreadFsIdentity(const ThreadFsIdentity&) = delete;
  ThreadFsIdentity& operator=(const ThreadFsIdentity&) = delete;

  bool active() const { return active_; }

 private:
  std::vector<gid_t> groups_;
  uid_t savedUid_ = 0;
  gid_t savedGid_ = 0;
  bool changed_ = false;
  bool active_ = false;
};

struct MdCtxDeleter {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

ItemDigest sha256(std::string_view bytes) {
  std::unique_ptr<EVP_MD_CTX, MdCtxDeleter> ctx(EVP_MD_CTX_new());
  std::array<std::uint8_t, 32> out{};
  unsigned int length = 0;
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1 ||
      EVP_DigestUpdate(ctx.get(), bytes.data(), bytes.size()) != 1 ||
      EVP_DigestFinal_ex(ctx.get(), out.data(), &length) != 1 || length != out.size()) {
    return std::nullopt;
  }
  return out;
}

// A regular file's first kMaxItemText bytes (following links), with the digest of its content
// when that is all of it.
ItemContent readContent(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  std::string text(kMaxItemText + 1, '\0');
  std::size_t used = 0;
  while (used < text.size()) {
    const ssize_t n = ::read(fd.get(), text.data() + used, text.size() - used);
    if (n < 0) return {};
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
  }
  text.resize(used);
  ItemContent content;
  if (used <= kMaxItemText) content.digest = sha256(text);
  text.resize(std::min(used, kMaxItemText));
  content.text = std::move(text);
  return content;
}

std::vector<std::string> namesIn(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = ::readdir(dir)) names.emplace_back(entry->d_name);
  ::closedir(dir);
  return names;
}

// systemd reads a unit linked to /dev/null, an empty one or one it cannot open as masked.
bool masked(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0;
}

// The file systemd loads `unit` from: the first folder of `unitPath` holding it, else its
// template's.
std::optional<std::string> fragmentOf(const std::vector<std::string>& unitPath,
                                      const std::string& unit) {
  for (const std::string& folder : unitPath) {
    struct stat st {};
    if (::lstat((folder + "/" + unit).c_str(), &st) == 0) return folder + "/" + unit;
  }
  const std::size_t at = unit.find('@');
  const std::size_t dot = unit.rfind('.');
  if (at == std::string::npos || dot == std::string::npos || at + 1 >= dot) return std::nullopt;
  return fragmentOf(unitPath, unit.substr(0, at + 1) + unit.substr(dot));
}

}  // namespace

const Account* ItemReader::accountOf(const ItemFacts& item) const {
  static const Account kNobody{"", 65534, "", 65534};
  if (item.home.empty()) return nullptr;
  for (const Account& account : *accounts_) {
    if (account.uid == item.uid && account.home == item.home) return &account;
  }
  return &kNobody;  // a folder of an account gone since: no one's rights
}

ItemContent ItemReader::read(const ItemFacts& item) const {
  const Account* account = accountOf(item);
  if (account == nullptr) return readContent(item.path);
  const ThreadFsIdentity as(account->uid, account->gid);
  return as.active() ? readContent(item.path) : ItemContent{};
}

std::optional<std::string> ItemReader::executable(const ItemFacts& item,
                                                  const ItemContent& content) const {
  if (item.format != ItemFormat::SystemdUnit && item.format != ItemFormat::UnitDropIn) {
    return itemExecutable(item.format, item.path, content.text);
  }
  const Account* account = accountOf(item);
  if (account == nullptr) return unitCommand(item, content.text);
  const ThreadFsIdentity as(account->uid, account->gid);
  return as.active() ? unitCommand(item, content.text) : std::nullopt;
}

std::optional<std::string> ItemReader::unitCommand(const ItemFacts& item,
                                                   const std::string& itemText) const {
  const std::vector<std::string> unitPath = item.type == kBtmItemDaemon
                                                ? systemUnitPath(root_)
                                                : userUnitPath(root_, item.uid, item.home);
  std::string fragment = itemText;
  if (item.format == ItemFormat::UnitDropIn) {
    const auto file = fragmentOf(unitPath, item.unit);
    if (!file) return std::nullopt;  // drop-ins of a unit that does not exist run nothing
    if (masked(*file)) return std::nullopt;
    fragment = readContent(*file).text;
  } else if (masked(item.path)) {
    return std::nullopt;
  }
  std::vector<std::string> texts = {std::move(fragment)};
  for (const std::string& file : dropIns(unitPath, item.unit)) {
    texts.push_back(readContent(file).text);
  }
  return es::unitExecutable(std::vector<std::string_view>(texts.begin(), texts.end()));
}

std::vector<std::string> ItemReader::dropIns(const std::vector<std::string>& unitPath,
                                             const std::string& unit) const {
  const auto list = [&](const std::string& folder) -> std::vector<std::string> {
    const std::size_t slash = folder.rfind('/');
    const std::string base = folder.substr(0, slash);
    auto known = dropInFolders_.find(base);
    if (known == dropInFolders_.end()) {
      std::set<std::string> names;
      for (std::string& name : namesIn(base)) {
        if (name.size() > 2 && name.compare(name.size() - 2, 2, ".d") == 0) {
          names.insert(std::move(name));
        }
      }
      known = dropInFolders_.emplace(base, std::move(names)).first;
    }
    if (known->second.count(folder.substr(slash + 1)) == 0) return {};
    return namesIn(folder);
  };
  return unitDropIns(unitPath, unit, list);
}

}  // namespace platform::es
