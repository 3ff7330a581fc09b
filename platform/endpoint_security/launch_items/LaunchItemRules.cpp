#include "platform/endpoint_security/launch_items/LaunchItemRules.h"

#include <sys/fanotify.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <map>

#include "platform/endpoint_security/launch_items/TextLines.h"

namespace platform::es {
namespace {

bool endsWith(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

bool startsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

// Names no tool installs as an item: hidden, backups, package-manager leftovers, swap files.
bool isScratchName(std::string_view name) {
  static constexpr std::array kSuffixes = {"~",         ".swp",      ".swx",         ".tmp",
                                           ".dpkg-old", ".dpkg-new", ".dpkg-dist",   ".dpkg-tmp",
                                           ".ucf-old",  ".ucf-new",  ".ucf-dist",    ".bak",
                                           ".orig",     ".rej",      ".dpkg-remove", ".save"};
  if (name.empty() || name.front() == '.' || name.front() == '#') return true;
  return std::any_of(kSuffixes.begin(), kSuffixes.end(),
                     [&](const char* suffix) { return endsWith(name, suffix); });
}

bool isUnitName(std::string_view name) {
  static constexpr std::array kKinds = {".service",   ".socket", ".timer",  ".path", ".mount",
                                        ".automount", ".swap",   ".target", ".slice"};
  return std::any_of(kKinds.begin(), kKinds.end(), [&](const char* kind) {
    return endsWith(name, kind) && name.size() > std::string_view(kind).size();
  });
}

bool isUnitType(std::string_view name) {
  static constexpr std::array kTypes = {"service",   "socket", "timer",  "path", "mount",
                                        "automount", "swap",   "target", "slice"};
  return std::find(kTypes.begin(), kTypes.end(), name) != kTypes.end();
}

// The drop-in folders of `unit` in systemd's order but the type's: the unit's own, its
// template's, then those of its dash prefixes, longest first ("a-b-c.service": "a-b-.service.d",
// "a-.service.d").
void dropInFolderNames(std::string_view unit, std::vector<std::string>& out) {
  const std::size_t dot = unit.rfind('.');
  if (dot == std::string_view::npos) return;
  const std::string_view type = unit.substr(dot);
  out.push_back(std::string(unit) + ".d");
  const std::size_t at = unit.find('@');
  if (at != std::string_view::npos && at + 1 < dot) {
    dropInFolderNames(std::string(unit.substr(0, at + 1)) + std::string(type), out);
  }
  std::string_view prefix = unit.substr(0, std::min(at, dot));
  if (!prefix.empty() && prefix.back() == '-') prefix.remove_suffix(1);
  const std::size_t dash = prefix.rfind('-');
  if (dash == std::string_view::npos) return;
  dropInFolderNames(std::string(prefix.substr(0, dash + 1)) + std::string(type), out);
}

// cron reads only names of letters, digits, '_' and '-' from /etc/cron.d.
bool isCronPartName(std::string_view name) {
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-';
  });
}

const ItemFolder* folderOf(const std::vector<ItemFolder>& folders, std::string_view dir) {
  for (const ItemFolder& folder : folders) {
    if (folder.path == dir) return &folder;
  }
  return nullptr;
}

}  // namespace

std::vector<Account> parsePasswd(std::string_view text) {
  std::vector<Account> accounts;
  for (std::string_view line : splitLines(text)) {
    std::array<std::string_view, 7> fields;
    std::size_t n = 0;
    while (n < fields.size()) {
      const std::size_t colon = line.find(':');
      fields[n++] = line.substr(0, colon);
      if (colon == std::string_view::npos) break;
      line.remove_prefix(colon + 1);
    }
    if (n != fields.size() || fields[0].empty() || fields[5].empty() || fields[5][0] != '/') {
      continue;
    }
    unsigned long uid = 0;
    const auto [end, ec] =
        std::from_chars(fields[2].data(), fields[2].data() + fields[2].size(), uid);
    if (ec != std::errc() || end != fields[2].data() + fields[2].size() || uid > 0xffffffffu) {
      continue;
    }
    unsigned long gid = 0;
    const auto [gidEnd, gidError] =
        std::from_chars(fields[3].data(), fields[3].data() + fields[3].size(), gid);
    if (gidError != std::errc() || gidEnd != fields[3].data() + fields[3].size() ||
        gid > 0xffffffffu) {
      continue;
    }
    accounts.push_back({std::string(fields[0]), static_cast<uid_t>(uid), std::string(fields[5]),
                        static_cast<gid_t>(gid)});
  }
  return accounts;
}

std::vector<std::string> systemUnitPath(const std::string& root) {
  std::vector<std::string> path;
  for (const char* folder :
       {"/etc/systemd/system.control", "/run/systemd/system.control", "/run/systemd/transient",
        "/run/systemd/generator.early", "/etc/systemd/system", "/etc/systemd/system.attached",
        "/run/systemd/system", "/run/systemd/system.attached", "/run/systemd/generator",
        "/usr/local/lib/systemd/system", "/lib/systemd/system", "/usr/lib/systemd/system",
        "/run/systemd/generator.late"}) {
    path.push_back(root + folder);
  }
  return path;
}

std::vector<std::string> userUnitPath(const std::string& root, uid_t uid, const std::string& home) {
  // The defaults of XDG_CONFIG_HOME, XDG_CONFIG_DIRS, XDG_DATA_HOME, XDG_DATA_DIRS and
  // XDG_RUNTIME_DIR: a manager started with others reads others.
  const bool own = !home.empty();
  const std::string config = home + "/.config/systemd";
  const std::string runtime = root + "/run/user/" + std::to_string(uid) + "/systemd";
  std::vector<std::string> path;
  if (own) {
    path = {config + "/user.control", runtime + "/user.control", runtime + "/transient",
            runtime + "/generator.early", config + "/user"};
  }
  path.push_back(root + "/etc/xdg/systemd/user");
  path.push_back(root + "/etc/systemd/user");
  if (own) path.push_back(runtime + "/user");
  path.push_back(root + "/run/systemd/user");
  if (own) path.push_back(runtime + "/generator");
  if (own) path.push_back(home + "/.local/share/systemd/user");
  for (const char* folder : {"/usr/local/share/systemd/user", "/usr/share/systemd/user",
                             "/usr/local/lib/systemd/user", "/usr/lib/systemd/user"}) {
    path.push_back(root + folder);
  }
  if (own) path.push_back(runtime + "/generator.late");
  return path;
}

bool isGeneratedUnitFolder(std::string_view path) {
  const std::string_view name = path.substr(path.rfind('/') + 1);
  return name == "transient" || startsWith(name, "generator");
}

std::vector<ItemFolder> itemFolders(const std::string& root, const std::vector<Account>& accounts) {
  using F = ItemFormat;
  std::vector<ItemFolder> folders;
  const auto addUnits = [&](const std::vector<std::string>& path, es_btm_item_type_t type,
                            uid_t uid, const std::string& home) {
    for (const std::string& folder : path) {
      if (isGeneratedUnitFolder(folder) || folderOf(folders, folder) != nullptr) continue;
      const bool own = !home.empty() &&
                       (startsWith(folder, home + "/") || startsWith(folder, root + "/run/user/"));
      if (home.empty() || own) {
        folders.push_back({folder,
                           F::SystemdUnit,
                           type,
                           false,
                           own ? uid : 0,
                           {},
                           false,
                           own ? home : std::string()});
      }
    }
  };
  addUnits(systemUnitPath(root), kBtmItemDaemon, 0, "");
  addUnits(userUnitPath(root, 0, ""), kBtmItemAgent, 0, "");
  folders.insert(
      folders.end(),
      {
          {root + "/etc/xdg/autostart", F::Desktop, kBtmItemLoginItem, false, 0, {}, false, {}},
          {root + "/etc/cron.d", F::SystemCron, kBtmItemDaemon, true, 0, {}, false, {}},
          {root + "/etc", F::SystemCron, kBtmItemDaemon, true, 0, "crontab", false, {}},
          {root + "/var/spool/cron/crontabs", F::UserCron, kBtmItemAgent, true, 0, {}, false, {}},
          {root + "/etc/init.d", F::Script, kBtmItemDaemon, true, 0, {}, false, {}},
          {root + "/etc", F::Script, kBtmItemDaemon, true, 0, "rc.local", false, {}},
      });
  for (const Account& account : accounts) {
    if (account.home == "/" || account.home.empty()) continue;
    addUnits(userUnitPath(root, account.uid, account.home), kBtmItemAgent, account.uid,
             account.home);
    folders.push_back({account.home + "/.config/autostart",
                       F::Desktop,
                       kBtmItemLoginItem,
                       false,
                       account.uid,
                       {},
                       false,
                       account.home});
  }
  return folders;
}

std::optional<ItemFolder> unitSubfolder(const ItemFolder& parent, std::string_view name) {
  if (parent.format != ItemFormat::SystemdUnit || parent.unitLinks) return std::nullopt;
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return std::nullopt;
  const std::string_view unit = name.substr(0, dot);
  const std::string_view kind = name.substr(dot);
  ItemFolder sub = parent;
  sub.path = parent.path + "/" + std::string(name);
  if (kind == ".d" && (isUnitName(unit) || isUnitType(unit))) {
    sub.format = ItemFormat::UnitDropIn;
    return sub;
  }
  if (isUnitName(unit) && (kind == ".wants" || kind == ".requires" || kind == ".upholds")) {
    sub.unitLinks = true;
    return sub;
  }
  return std::nullopt;
}

std::vector<std::string> unitDropIns(
    const std::vector<std::string>& unitPath, std::string_view unit,
    const std::function<std::vector<std::string>(const std::string&)>& list) {
  std::vector<std::string> folders;
  dropInFolderNames(unit, folders);
  const std::size_t dot = unit.rfind('.');
  if (dot == std::string_view::npos) return {};
  // The type's own folder ("service.d") comes last: the most general loses to all others.
  const std::string typeFolder = std::string(unit.substr(dot + 1)) + ".d";
  std::map<std::string, std::string> byName;
  const auto collect = [&](const std::string& folder) {
    for (const std::string& name : list(folder)) {
      if (endsWith(name, ".conf") && !isScratchName(name))
        byName.emplace(name, folder + "/" + name);
    }
  };
  for (const std::string& base : unitPath) {
    for (const std::string& folder : folders) collect(base + "/" + folder);
  }
  for (const std::string& base : unitPath) collect(base + "/" + typeFolder);
  std::vector<std::string> files;
  for (auto& [name, file] : byName) files.push_back(std::move(file));
  return files;
}

bool isItemName(const ItemFolder& folder, std::string_view name) {
  if (folder.onlyName) return name == *folder.onlyName;
  if (isScratchName(name) || name.find('/') != std::string_view::npos) return false;
  switch (folder.format) {
    case ItemFormat::SystemdUnit:
      return isUnitName(name);
    case ItemFormat::UnitDropIn:
      return endsWith(name, ".conf") && name.size() > 5;
    case ItemFormat::Desktop:
      return endsWith(name, ".desktop") && name.size() > 8;
    case ItemFormat::SystemCron:
      return isCronPartName(name);
    case ItemFormat::UserCron:
      return !startsWith(name, "tmp.");  // crontab(1) writes "tmp.XXXXXX" and renames it
    case ItemFormat::Script:
      return name != "README" && name != "skeleton";
  }
  return false;
}

std::optional<ItemFacts> classify(const std::vector<ItemFolder>& folders,
                                  const std::vector<Account>& accounts, std::string_view path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos || slash == 0) return std::nullopt;
  const std::string_view dir = path.substr(0, slash);
  const std::string_view name = path.substr(slash + 1);
  std::optional<ItemFolder> links;
  const ItemFolder* folder = folderOf(folders, dir);
  if (folder == nullptr || (folder->onlyName && name != *folder->onlyName)) {
    // /etc holds two single-name folders; a *.wants folder is one level below a unit folder.
    folder = nullptr;
    for (const ItemFolder& candidate : folders) {
      if (candidate.path == dir && candidate.onlyName == name) folder = &candidate;
    }
    const std::size_t up = dir.rfind('/');
    if (folder == nullptr && up != std::string_view::npos && up > 0) {
      if (const ItemFolder* parent = folderOf(folders, dir.substr(0, up))) {
        links = unitSubfolder(*parent, dir.substr(up + 1));
        if (links) folder = &*links;
      }
    }
  }
  if (folder == nullptr || !isItemName(*folder, name)) return std::nullopt;
  ItemFacts facts;
  facts.format = folder->format;
  facts.type = folder->type;
  facts.legacy = folder->legacy;
  facts.uid = folder->uid;
  facts.home = folder->home;
  if (folder->format == ItemFormat::SystemdUnit) facts.unit = std::string(name);
  if (folder->format == ItemFormat::UnitDropIn) {
    facts.unit = std::string(dir.substr(dir.rfind('/') + 1));
    facts.unit.resize(facts.unit.size() - 2);  // the folder's name without ".d"
  }
  if (folder->format == ItemFormat::UserCron) {
    for (const Account& account : accounts) {
      if (account.name == name) facts.uid = account.uid;
    }
  }
  facts.path = std::string(path);
  facts.url = fileUrl(path);
  return facts;
}

std::string fileUrl(std::string_view path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string url = "file://";
  url.reserve(url.size() + path.size());
  for (const char c : path) {
    const auto b = static_cast<unsigned char>(c);
    const bool plain = (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') ||
                       b == '-' || b == '.' || b == '_' || b == '~' || b == '/';
    if (plain) {
      url += c;
    } else {
      url += '%';
      url += kHex[b >> 4];
      url += kHex[b & 15];
    }
  }
  return url;
}

std::optional<std::string> itemExecutable(ItemFormat format, std::string_view path,
                                          std::string_view text) {
  switch (format) {
    case ItemFormat::SystemdUnit:
    case ItemFormat::UnitDropIn:
      return unitExecutable(text);
    case ItemFormat::Desktop:
      return desktopExecutable(text);
    case ItemFormat::SystemCron:
      return cronExecutable(text, true);
    case ItemFormat::UserCron:
      return cronExecutable(text, false);
    case ItemFormat::Script:
      return std::string(path);
  }
  return std::nullopt;
}

// ---- masks to actions ------------------------------------------------------------------------

std::vector<LaunchChange> ChangeTracker::onRecord(const std::string& path, std::uint64_t mask,
                                                  pid_t pid, Presence now, std::uint64_t nowNs) {
  const bool created = (mask & (FAN_CREATE | FAN_MOVED_TO)) != 0;
  const bool gone = (mask & (FAN_DELETE | FAN_MOVED_FROM)) != 0;
  const bool wrote = (mask & FAN_CLOSE_WRITE) != 0;
  const bool modified = (mask & FAN_MODIFY) != 0;
  std::vector<LaunchChange> out;
  const auto flushWaiting = [&] {
    if (auto it = waiting_.find(path); it != waiting_.end()) {
      out.push_back({LaunchAction::Add, path, it->second.pid, it->second.atNs});
      waiting_.erase(it);
      return true;
    }
    return false;
  };
  const auto remove = [&] {
    flushWaiting();
    out.push_back({LaunchAction::Remove, path, pid, nowNs});
  };
  const auto create = [&](bool stillThere) {
    flushWaiting();  // an earlier file of this name that was never closed
    // A fresh regular file is reported once its writer has closed it; a file moved in, a link
    // or a file already gone is complete as it is.
    if ((mask & FAN_CREATE) != 0 && !wrote && stillThere && now == Presence::RegularFile) {
      waiting_[path] = {pid, nowNs, nowNs + writeWaitNs_};
      order_.emplace_back(nowNs + writeWaitNs_, path);
    } else {
      out.push_back({LaunchAction::Add, path, pid, nowNs});
    }
  };
  if (created && gone && now != Presence::Absent) {
    remove();  // replaced: the old item went first
    create(true);
    return out;
  }
  if (created) {
    create(now != Presence::Absent && !gone);
  } else if (wrote) {
    // The close that completes a creation, or a rewrite of an existing item (a changed item). A
    // write to a file gone since is moot: its creation and removal came in an earlier record
    // (records that name the written file apart from its folder are not merged with them).
    if (!flushWaiting() && (now != Presence::Absent || gone)) {
      out.push_back({LaunchAction::Add, path, pid, nowNs});
    }
  } else if (modified && waiting_.count(path) == 0 && now == Presence::RegularFile) {
    // Written in place and still open: reported at its close, or after the wait.
    waiting_[path] = {pid, nowNs, nowNs + writeWaitNs_};
    order_.emplace_back(nowNs + writeWaitNs_, path);
  }
  if (gone) remove();
  return out;
}

void ChangeTracker::dropStale() {
  while (!order_.empty()) {
    const auto it = waiting_.find(order_.front().second);
    if (it != waiting_.end() && it->second.deadline == order_.front().first) return;
    order_.pop_front();
  }
}

std::vector<LaunchChange> ChangeTracker::expire(std::uint64_t nowNs) {
  std::vector<LaunchChange> out;
  for (dropStale(); !order_.empty() && order_.front().first <= nowNs; dropStale()) {
    const auto it = waiting_.find(order_.front().second);
    out.push_back({LaunchAction::Add, it->first, it->second.pid, it->second.atNs});
    waiting_.erase(it);
    order_.pop_front();
  }
  return out;
}

std::optional<std::uint64_t> ChangeTracker::nextDeadline() {
  dropStale();
  if (order_.empty()) return std::nullopt;
  return order_.front().first;
}

}  // namespace platform::es
