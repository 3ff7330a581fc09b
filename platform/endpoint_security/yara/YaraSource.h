// Malware detections (XP_MALWARE_DETECTED) from the agent's own YARA scans: the rules of one
// folder (YaraRules), compiled at start and again when the folder changes, applied to every
// executable at its first exec, to the script an interpreter was started for ("#!"), and to
// every launch item written. A file is scanned once per identity (device, inode, size, mtime,
// ctime) and rule-set version; each match is one document naming "<rule file stem>:<rule>", the
// file, the rule-set version, and the process that ran the file (for a launch item: its writer).
//
// Scanning never holds up an exec or an event: the sources that see the files only queue them
// (a bounded queue; what does not fit is counted), and one worker thread at low priority scans
// them, skipping files over the size limit. The counts are logged once per interval.
// Measured (agent_storm, 10,000 execs of /bin/true, 2 shared cores, other programs running): the
// process source's thread costs the same with 50 rules as with none (9.3 against 9.5 us per
// event with one client; 3.8-4.3 against 3.4-4.7 with none); the scanning thread added 1-3.6 us
// per event, scanning what else the machine ran meanwhile. Exec of a new 1 MiB program to its
// document: median 10.7 ms (9.1-13.8).
//
// Unavailable, with the reason logged, when the rules folder does not exist.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>

#include "platform/endpoint_security/client/Source.h"

namespace platform::es {

struct YaraOptions {
  std::string rulesFolder = "/etc/watchagent/rules";
  off_t maxFileBytes = 64 << 20;  // larger files are skipped and counted
  int scanTimeoutSeconds = 10;    // per file
  std::size_t queueCapacity = 1024;
  int niceness = 10;  // of the scanning thread
  // Rules are compiled again once the folder has been quiet this long after a change.
  std::chrono::milliseconds reloadQuiet = std::chrono::milliseconds(200);
  std::chrono::milliseconds reportInterval = std::chrono::seconds(60);
};

std::unique_ptr<Source> makeYaraSource(YaraOptions options = {});

}  // namespace platform::es
