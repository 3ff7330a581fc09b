// Launch items (BTM_LAUNCH_ITEM_ADD, BTM_LAUNCH_ITEM_REMOVE) from fanotify: every folder Linux
// starts programs from (the unit folders the system and user managers read, with their *.wants
// links and *.service.d drop-ins; XDG autostart entries; cron tables; init scripts; rc.local;
// system-wide, in each account's home and runtime folder) is marked for creations, removals, moves
// and completed writes, and each item file itself for writes (so a write through a hard link
// outside every folder is seen too). Each change of an item becomes one event whose instigator is
// the process fanotify names; a rewrite that leaves the item's content as it was is no change.
//
// Folders that appear later (a new account's ~/.config/autostart, a folder created after start)
// are found by listing the places again every `rescan`; a *.wants or drop-in folder is marked as
// soon as its creation is seen. Items already in a folder marked after start are reported as
// added, without instigator, unless fanotify reports their creation too; items of a folder that
// went (moved aside, replaced by a link) are reported removed. A link an account owns on a
// folder's path is followed only to a folder that account owns (logged either way).
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/endpoint_security/client/Source.h"
#include "platform/endpoint_security/identity/ProcessLookup.h"

namespace platform::es {

struct LaunchItemOptions {
  // Prefix of every system folder ("" for this machine); tests point it at a tree of their own.
  std::string root;
  // The accounts whose homes hold per-user items.
  std::string passwdFile = "/etc/passwd";
  std::chrono::milliseconds rescan = std::chrono::seconds(10);
  // How long a created file may stay open for writing before it is reported anyway.
  std::chrono::milliseconds writeWait = std::chrono::milliseconds(500);
  // How long naming a writer waits at most for the process source to read up to the write.
  std::chrono::microseconds catchUpLimit = kCatchUpLimit;
};

std::unique_ptr<Source> makeLaunchItemSource(LaunchItemOptions options = {});

}  // namespace platform::es
