// What a change in one of the places Linux starts programs from means as a launch item. Pure:
// where items live (systemd units and their drop-ins in every folder the system and user managers
// read, XDG autostart entries, cron tables, init scripts), which names in those folders are items,
// how fanotify masks become adds, rewrites and removals, and what an item's text says it runs
// (ItemCommands). The fanotify source feeds it; tests feed it fixed paths, masks and texts.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/endpoint_security/EndpointSecurity.h"
#include "platform/endpoint_security/launch_items/ItemCommands.h"

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
  UnitDropIn,   // *.conf in a <unit>.d folder; changes what its unit runs
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
  std::string home;  // the account's home for a folder the account controls; "" otherwise
};

struct Account {
  std::string name;
  uid_t uid = 0;
  std::string home;
  gid_t gid = 0;
};

// The accounts of a passwd file's text; lines that do not parse are skipped.
std::vector<Account> parsePasswd(std::string_view text);

// Every folder that may hold items: the system's under `root` ("" for this machine; a test tree
// otherwise) and the per-user ones in each account's home (taken as it stands) and runtime folder.
// Unit folders are those of systemUnitPath() and userUnitPath() but the ones systemd writes
// itself (transient units, generator output). The unit-link and drop-in folders (*.wants,
// *.service.d) are found by listing, not here.
std::vector<ItemFolder> itemFolders(const std::string& root, const std::vector<Account>& accounts);

// The folders the system manager loads units from, first the one that wins.
std::vector<std::string> systemUnitPath(const std::string& root);
// A user manager's for the account with `uid` and `home`; with an empty `home`, only the folders
// every user's manager shares.
std::vector<std::string> userUnitPath(const std::string& root, uid_t uid, const std::string& home);
// Whether systemd writes the unit folder itself (transient units, generators' output).
bool isGeneratedUnitFolder(std::string_view path);

// The unit-link folder (*.wants, *.requires, *.upholds) or drop-in folder (<unit>.d, a prefix's
// "foo-.service.d", a type's "service.d") `name` inside unit folder `parent`, when it is one.
std::optional<ItemFolder> unitSubfolder(const ItemFolder& parent, std::string_view name);

// The drop-in files systemd applies to `unit` from the folders of `unitPath`, in the order it
// applies them: of each file name the one in the first folder, sorted by name. `list(folder)`
// gives the names in a folder.
std::vector<std::string> unitDropIns(
    const std::vector<std::string>& unitPath, std::string_view unit,
    const std::function<std::vector<std::string>(const std::string&)>& list);

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
  std::string unit;  // the unit a unit file or drop-in configures
  std::string home;  // as its folder's
};

// Where `path` (absolute) is an item of one of `folders` (matched by its parent folder, or by
// being a link in a *.wants folder of one), its facts; nullopt when it is not an item. A user
// cron table's uid is that of the account it is named after (from `accounts`).
std::optional<ItemFacts> classify(const std::vector<ItemFolder>& folders,
                                  const std::vector<Account>& accounts, std::string_view path);

// "file://" and the path with every byte outside [A-Za-z0-9-._~/] percent-encoded.
std::string fileUrl(std::string_view path);

// The executable an item runs, from its format and text alone (a script runs itself: `path`; a
// unit without its drop-ins).
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
  // When the record naming that process was read (CLOCK_MONOTONIC): the process is named as it
  // was then, not as a later exec made it.
  std::uint64_t atNs = 0;
};

// Turns fanotify records (masks can arrive merged, e.g. create|delete) into one add per new or
// rewritten item and one removal per item gone, in the order they happened. A regular file that
// is created or modified is reported when its writer closes it (so its contents are complete), or
// after `writeWaitNs` when no close comes. Whether a rewrite changed anything is the caller's to
// judge. Not thread-safe; times are CLOCK_MONOTONIC ns.
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
    std::uint64_t atNs;
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
