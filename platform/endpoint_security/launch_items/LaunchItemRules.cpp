#include "platform/endpoint_security/launch_items/LaunchItemRules.h"

#include <sys/fanotify.h>

#include <algorithm>
#include <array>
#include <charconv>

namespace platform::es {
namespace {

bool endsWith(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

bool startsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

std::string_view trim(std::string_view s) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

std::vector<std::string_view> splitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    lines.push_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

// The first word of a command line; a double- or single-quoted word loses its quotes.
std::optional<std::string> firstWord(std::string_view command) {
  command = trim(command);
  if (command.empty()) return std::nullopt;
  if (command.front() == '"' || command.front() == '\'') {
    const std::size_t close = command.find(command.front(), 1);
    if (close == std::string_view::npos || close == 1) return std::nullopt;
    return std::string(command.substr(1, close - 1));
  }
  const std::size_t end = command.find_first_of(" \t");
  return std::string(command.substr(0, end));
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
    accounts.push_back({std::string(fields[0]), static_cast<uid_t>(uid), std::string(fields[5])});
  }
  return accounts;
}

std::vector<ItemFolder> itemFolders(const std::string& root, const std::vector<Account>& accounts) {
  using F = ItemFormat;
  std::vector<ItemFolder> folders = {
      {root + "/etc/systemd/system", F::SystemdUnit, kBtmItemDaemon, false, 0, {}, false},
      {root + "/etc/systemd/user", F::SystemdUnit, kBtmItemAgent, false, 0, {}, false},
      {root + "/usr/local/lib/systemd/system", F::SystemdUnit, kBtmItemDaemon, false, 0, {}, false},
      {root + "/usr/local/lib/systemd/user", F::SystemdUnit, kBtmItemAgent, false, 0, {}, false},
      {root + "/etc/xdg/autostart", F::Desktop, kBtmItemLoginItem, false, 0, {}, false},
      {root + "/etc/cron.d", F::SystemCron, kBtmItemDaemon, true, 0, {}, false},
      {root + "/etc", F::SystemCron, kBtmItemDaemon, true, 0, "crontab", false},
      {root + "/var/spool/cron/crontabs", F::UserCron, kBtmItemAgent, true, 0, {}, false},
      {root + "/etc/init.d", F::Script, kBtmItemDaemon, true, 0, {}, false},
      {root + "/etc", F::Script, kBtmItemDaemon, true, 0, "rc.local", false},
  };
  for (const Account& account : accounts) {
    if (account.home == "/") continue;
    folders.push_back({account.home + "/.config/systemd/user",
                       F::SystemdUnit,
                       kBtmItemAgent,
                       false,
                       account.uid,
                       {},
                       false});
    folders.push_back({account.home + "/.config/autostart",
                       F::Desktop,
                       kBtmItemLoginItem,
                       false,
                       account.uid,
                       {},
                       false});
  }
  return folders;
}

std::optional<ItemFolder> unitLinkFolder(const ItemFolder& parent, std::string_view name) {
  if (parent.format != ItemFormat::SystemdUnit || parent.unitLinks) return std::nullopt;
  if (!isUnitName(name.substr(0, name.rfind('.'))) ||
      !(endsWith(name, ".wants") || endsWith(name, ".requires") || endsWith(name, ".upholds"))) {
    return std::nullopt;
  }
  ItemFolder links = parent;
  links.path = parent.path + "/" + std::string(name);
  links.unitLinks = true;
  return links;
}

bool isItemName(const ItemFolder& folder, std::string_view name) {
  if (folder.onlyName) return name == *folder.onlyName;
  if (isScratchName(name) || name.find('/') != std::string_view::npos) return false;
  switch (folder.format) {
    case ItemFormat::SystemdUnit:
      return isUnitName(name);
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
        links = unitLinkFolder(*parent, dir.substr(up + 1));
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

std::optional<std::string> unitExecutable(std::string_view text) {
  for (std::string_view line : splitLines(text)) {
    line = trim(line);
    if (!startsWith(line, "ExecStart=")) continue;
    std::string_view command = trim(line.substr(10));
    while (!command.empty() &&
           std::string_view("-@+!:").find(command.front()) != std::string_view::npos) {
      command.remove_prefix(1);
    }
    if (auto word = firstWord(command)) return word;
  }
  return std::nullopt;
}

std::optional<std::string> desktopExecutable(std::string_view text) {
  bool inEntry = false;
  for (std::string_view line : splitLines(text)) {
    line = trim(line);
    if (startsWith(line, "[")) {
      inEntry = line == "[Desktop Entry]";
      continue;
    }
    if (!inEntry || !startsWith(line, "Exec")) continue;
    std::string_view rest = trim(line.substr(4));
    if (!startsWith(rest, "=")) continue;  // Exec[xx]= or another key
    return firstWord(rest.substr(1));
  }
  return std::nullopt;
}

std::optional<std::string> cronExecutable(std::string_view text, bool userColumn) {
  for (std::string_view line : splitLines(text)) {
    line = trim(line);
    if (line.empty() || line.front() == '#') continue;
    // NAME=value lines set the environment of the jobs below them.
    const std::size_t nameEnd = line.find_first_of(" \t=");
    if (nameEnd != std::string_view::npos && trim(line.substr(nameEnd)).front() == '=') continue;
    // Five time fields, or one @keyword; then the user on system tables; then the command.
    int skip = line.front() == '@' ? 1 : 5;
    if (userColumn) ++skip;
    std::string_view rest = line;
    for (int i = 0; i < skip; ++i) {
      const std::size_t end = rest.find_first_of(" \t");
      if (end == std::string_view::npos) return std::nullopt;
      rest = trim(rest.substr(end));
    }
    // A '%' ends the command; what follows is its standard input.
    return firstWord(rest.substr(0, rest.find('%')));
  }
  return std::nullopt;
}

std::optional<std::string> itemExecutable(ItemFormat format, std::string_view path,
                                          std::string_view text) {
  switch (format) {
    case ItemFormat::SystemdUnit:
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
  std::vector<LaunchChange> out;
  const auto flushWaiting = [&] {
    if (auto it = waiting_.find(path); it != waiting_.end()) {
      out.push_back({LaunchAction::Add, path, it->second.pid});
      waiting_.erase(it);
      return true;
    }
    return false;
  };
  const auto remove = [&] {
    flushWaiting();
    out.push_back({LaunchAction::Remove, path, pid});
  };
  const auto create = [&](bool stillThere) {
    flushWaiting();  // an earlier file of this name that was never closed
    // A fresh regular file is reported once its writer has closed it; a file moved in, a link
    // or a file already gone is complete as it is.
    if ((mask & FAN_CREATE) != 0 && !wrote && stillThere && now == Presence::RegularFile) {
      waiting_[path] = {pid, nowNs + writeWaitNs_};
      order_.emplace_back(nowNs + writeWaitNs_, path);
    } else {
      out.push_back({LaunchAction::Add, path, pid});
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
    // The close that completes a creation, or a rewrite of an existing item (a changed item).
    if (!flushWaiting()) out.push_back({LaunchAction::Add, path, pid});
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
    out.push_back({LaunchAction::Add, it->first, it->second.pid});
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
