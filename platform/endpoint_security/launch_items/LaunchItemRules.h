// What a change in one of the places Linux starts programs from means as a launch item. Pure:
// where items live (systemd units, XDG autostart entries, cron tables, init scripts), which names
// in those folders are items, how fanotify masks become adds and removals, and what an item's
// text says it runs. The fanotify source feeds it; tests feed it fixed paths, masks and texts.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/endpoint_security/EndpointSecurity.h"

namespace platform::es {

// Values of es_btm_item_type_t.
inline constexpr es_btm_item_type_t kBtmItemUserItem = 0;
inline constexpr es_btm_item_type_t kBtmItemApp = 1;
inline constexpr es_btm_item_type_t kBtmItemLoginItem = 2;
inline constexpr es_btm_item_type_t kBtmItemAgent = 3;
inline constexpr es_btm_item_type_t kBtmItemDaemon = 4;

// How the items of a folder are named and what they run.
enum class ItemFormat {
  SystemdUnit,  // *.service, *.timer, ... ; runs its ExecStart=
  Desktop,      // *.desktop; runs its Exec=
  SystemCron,   // cron table with a user column (/etc/crontab, /etc/cron.d)
  UserCron,     // a user's cron table, named after the user
  Script,       // an init script or rc.local; runs itself
};

// One folder that holds launch items.
struct ItemFolder {
  std::string path;  // absolute, without a trailing slash
  ItemFormat format = ItemFormat::Script;
  es_btm_item_type_t type = kBtmItemDaemon;
  bool legacy = false;
  uid_t uid = 0;                        // whose items these are (0: the system's)
  std::optional<std::string> onlyName;  // the one name that is an item (/etc/crontab, rc.local)
  bool unitLinks = false;               // a *.wants or *.requires folder of unit links
};

struct Account {
  std::string name;
  uid_t uid = 0;
  std::string home;
};

// The accounts of a passwd file's text; lines that do not parse are skipped.
std::vector<Account> parsePasswd(std::string_view text);

// Every folder that may hold items: the system's under `root` ("" for this machine; a test tree
// otherwise) and the per-user ones in each account's home (taken as it stands). The unit-link
// folders (*.wants) are found by listing, not here.
std::vector<ItemFolder> itemFolders(const std::string& root, const std::vector<Account>& accounts);

// The unit-link folder `name` inside unit folder `parent`, when `name` is one (*.wants,
// *.requires, *.upholds).
std::optional<ItemFolder> unitLinkFolder(const ItemFolder& parent, std::string_view name);

// Whether `name` in `folder` is a launch item (editor, package-manager and temporary files are
// not).
bool isItemName(const ItemFolder& folder, std::string_view name);

// The item at `path` as a launch item: `itemType`, `legacy`, `uid` and the file:// URL. `managed`
// and the executable are filled by the caller.
struct ItemFacts {
  ItemFormat format = ItemFormat::Script;
  es_btm_item_type_t type = kBtmItemDaemon;
  bool legacy = false;
  bool managed = false;
  uid_t uid = 0;
  std::string path;
  std::string url;
  std::optional<std::string> executablePath;
};

// Where `path` (absolute) is an item of one of `folders` (matched by its parent folder, or by
// being a link in a *.wants folder of one), its facts; nullopt when it is not an item. A user
// cron table's uid is that of the account it is named after (from `accounts`).
std::optional<ItemFacts> classify(const std::vector<ItemFolder>& folders,
                                  const std::vector<Account>& accounts, std::string_view path);

// "file://" and the path with every byte outside [A-Za-z0-9-._~/] percent-encoded.
std::string fileUrl(std::string_view path);

// The program a unit's first ExecStart= runs ("-", "@", "+", "!", ":" prefixes dropped).
std::optional<std::string> unitExecutable(std::string_view text);
// The program of the [Desktop Entry] group's Exec= key.
std::optional<std::string> desktopExecutable(std::string_view text);
// The program of a cron table's first job; `userColumn` for system tables.
std::optional<std::string> cronExecutable(std::string_view text, bool userColumn);
// The executable an item runs, from its format and text (a script runs itself: `path`).
std::optional<std::string> itemExecutable(ItemFormat format, std::string_view path,
                                          std::string_view text);

// ---- masks to actions ------------------------------------------------------------------------

enum class LaunchAction { Add, Remove };

// What is at an item's path when its record is handled.
enum class Presence { Absent, RegularFile, Other };

struct LaunchChange {
  LaunchAction action;
  std::string path;
  pid_t pid = 0;  // the process that made the change
};

// Turns fanotify records (masks can arrive merged, e.g. create|delete) into one add per new or
// rewritten item and one removal per item gone, in the order they happened. A regular file that
// is created is reported when its writer closes it (so its contents are complete), or after
// `writeWaitNs` when no close comes. Not thread-safe; times are CLOCK_MONOTONIC ns.
class ChangeTracker {
 public:
  explicit ChangeTracker(std::uint64_t writeWaitNs) : writeWaitNs_(writeWaitNs) {}

  std::vector<LaunchChange> onRecord(const std::string& path, std::uint64_t mask, pid_t pid,
                                     Presence now, std::uint64_t nowNs);
  // Stops waiting for the close of `path` (its creation was reported another way).
  void forget(const std::string& path) { waiting_.erase(path); }
  // The creations whose writer has not closed them within the wait.
  std::vector<LaunchChange> expire(std::uint64_t nowNs);
  // When expire() has something to do next, if ever.
  std::optional<std::uint64_t> nextDeadline();
  std::size_t waiting() const { return waiting_.size(); }

 private:
  struct Waiting {
    pid_t pid;
    std::uint64_t deadline;
  };
  void dropStale();

  const std::uint64_t writeWaitNs_;
  std::map<std::string, Waiting> waiting_;
  // Deadlines in the order they were set (they only grow); entries whose file is no longer
  // waiting, or waits again with a later deadline, are skipped.
  std::deque<std::pair<std::uint64_t, std::string>> order_;
};

}  // namespace platform::es
