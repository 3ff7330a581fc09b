// Record trees built by hand for the JSON tests and the encoding benchmark.
#pragma once

#include <string>
#include <string_view>

#include "agent/model/EsMessage.h"
#include "tests/support/GoldenDocuments.h"

namespace samples {

using namespace model;

// /bin/zsh as the fork example shows it.
inline EsFile zshExecutable() {
  return EsFile{.path = "/bin/zsh",
                .pathTuncated = false,
                .changeTime = Date{733743000},
                .changeTimeStr = "2024-04-02T09:30:00Z",
                .modifyTime = Date{730972800},
                .modifyTimeStr = "2024-03-01T08:00:00Z",
                .birthTime = Date{730972800},
                .birthTimeStr = "2024-03-01T08:00:00Z"};
}

inline EsProcess zshProcess(Int ppid, Int pid, double startTime, std::string startTimeStr) {
  return EsProcess{.ppid = ppid,
                   .originalPpid = ppid,
                   .pid = pid,
                   .groupId = 500,
                   .sessionId = 500,
                   .euid = 501,
                   .ruid = 501,
                   .egid = 20,
                   .rgid = 20,
                   .signingId = "zsh",
                   .hash = "0E3B6D8F2A4C9E1B7D5F3A2C8E6B4D0F1A9C7E5B",
                   .teamId = "system",
                   .isPlatformBinary = true,
                   .codesigningFlags = 570425345,
                   .exectuable = zshExecutable(),
                   .startTime = Date{startTime},
                   .startTimeStr = std::move(startTimeStr)};
}

// zsh (pid 500) forks pid 512 at 2024-05-01T12:00:00.25Z.
inline EsMessage forkExample() {
  return EsMessage{.version = 7,
                   .time = Date{736257600.25},
                   .timeStr = "2024-05-01T12:00:00Z",
                   .process = zshProcess(1, 500, 736257480, "2024-05-01T11:58:00Z"),
                   .eventType = 11,
                   .eventDesc = "FORK",
                   .fork = EsEventFork{zshProcess(500, 512, 736257600, "2024-05-01T12:00:00Z")}};
}

inline constexpr std::string_view kForkExampleDocument = fixture::kForkExampleDocument;

// A process in which every field holds a value no other process or field holds, every optional
// set, and strings that need escaping.
inline EsProcess distinctProcess(int k) {
  const std::string n = std::to_string(k);
  const Int base = Int{k} * 1000;
  return EsProcess{
      .ppid = base + 1,
      .originalPpid = base + 2,
      .pid = base + 3,
      .groupId = base + 4,
      .sessionId = base + 5,
      .euid = base + 6,
      .ruid = base + 7,
      .egid = base + 8,
      .rgid = base + 9,
      .signingId = "com.example.tool" + n,
      .hash = "HASH" + n + "0123456789ABCDEF0123456789ABCDEF0123",
      .teamId = "TEAM\"" + n,
      .isPlatformBinary = k % 2 == 0,
      .codesigningFlags = static_cast<UInt32>(0x26000001u + static_cast<UInt32>(k)),
      .exectuable = EsFile{.path = "/Applications/Tool " + n + ".app/Contents/MacOS/tool",
                           .pathTuncated = k % 2 == 1,
                           .changeTime = Date{700000000.0 + k},
                           .changeTimeStr = "2023-03-07T20:26:4" + n + "Z",
                           .modifyTime = Date{690000000.0 + k},
                           .modifyTimeStr = "2022-11-12T02:40:0" + n + "Z",
                           .birthTime = Date{680000000.0 + k},
                           .birthTimeStr = "2022-07-19T08:53:2" + n + "Z"},
      .startTime = Date{736000000.0 + k},
      .startTimeStr = "2024-04-28T12:26:4" + n + "Z"};
}

// Every member of every record set, the twelve event members included (the converter never
// builds such a message, but the coding of each member is exercised by one document).
inline EsMessage everyMemberMessage() {
  return EsMessage{
      .version = 8,
      .time = Date{736257600.125},
      .timeStr = "2024-05-01T12:00:00Z",
      .process = distinctProcess(1),
      .eventType = 9,
      .eventDesc = "EXEC",
      .fork = EsEventFork{distinctProcess(2)},
      .exec = EsEventExec{.target = distinctProcess(3),
                          .args = std::vector<String>{"/bin/ls", "-l", "", "tab\there"},
                          .envs = std::vector<String>{"PATH=/usr/bin:/bin", "LANG=fr_FR.UTF-8"}},
      .exit = EsEventExit{-9223372036854775807 - 1},
      .xpMalwareDetected = EsEventXpMalewareDetected{"5287", "OSX.Dummy.A", "4A2B-77", "/tmp/x"},
      .lwSessionLogin = EsEventLwSessionLogin{"ann", 4294967295u},
      .lwSessionUnlock = EsEventLwSessionUnlock{"bob", 257},
      .auth =
          EsEventAuthentication{
              .success = true,
              .authenticationType = 0,
              .openDirectory =
                  EsEventAuthenticationOpenDirectory{distinctProcess(4), "Users", "ann",
                                                     "/Local/Default", "/var/db/dslocal"},
              .touchId = EsEventAuthenticationTouchId{distinctProcess(5), 501},
              .token = EsEventAuthenticationToken{distinctProcess(6)},
              .autoUnlock =
                  EsEventAuthenticationAutoUnlock{"carol", 1,
                                                  "Unlock the machine using Apple Watch"}},
      .openSshLogin = EsEventOpenSshLogin{false, 3, 2, "fe80::1%en0", "root"},
      .loginLogin = EsEventLoginLogin{.success = false,
                                      .failureMessage = "bad password\n",
                                      .username = "dave",
                                      .hasUid = true,
                                      .uid = 502},
      .screensharingAttach = EsEventScreensharingAttach{.success = true,
                                                        .sourceAddressType = 1,
                                                        .sourceAddress = "192.0.2.7",
                                                        .viewerAppleId = "eve@example.com",
                                                        .authenticationType = "password",
                                                        .authenticationUsername = "eve",
                                                        .existingSession = true,
                                                        .graphicalSessionId = 258},
      .btmLaunchItemAdd =
          EsEventBtmLaunchItemAdd{
              .instigator = distinctProcess(7),
              .app = distinctProcess(8),
              .item = BtmLaunchItem{.itemType = 2,
                                    .legacy = true,
                                    .managed = false,
                                    .uid = 503,
                                    .itemUrl = "file:///Library/LaunchDaemons/x.plist",
                                    .appUrl = "file:///Applications/X.app/"},
              .executablePath = "/Applications/X.app/Contents/MacOS/x"},
      .btmLaunchItemRemove = EsEventBtmLaunchItemRemove{
          .instigator = distinctProcess(9),
          .app = distinctProcess(10),
          .item = BtmLaunchItem{.itemType = 4,
                                .legacy = false,
                                .managed = true,
                                .uid = -2,
                                .itemUrl = "file:///Users/ann/Library/LaunchAgents/y.plist",
                                .appUrl = "file:///Applications/Y%20Y.app/"}}};
}

// An exec of a compiler driver: `argCount` arguments and `envCount` environment entries, most
// of them paths, as a busy build machine delivers them.
inline EsMessage execMessage(int argCount, int envCount) {
  EsMessage message = forkExample();
  message.eventType = 9;
  message.eventDesc = "EXEC";
  message.fork.reset();
  EsProcess target = zshProcess(500, 513, 736257600, "2024-05-01T12:00:00Z");
  target.signingId = "com.apple.clang";
  target.exectuable.path = "/Library/Developer/CommandLineTools/usr/bin/clang";
  std::vector<String> args;
  args.push_back(target.exectuable.path);
  for (int i = 1; i < argCount; ++i) {
    const std::string n = std::to_string(i);
    switch (i % 3) {
      case 0:
        args.push_back("-I/Users/dev/src/app/mod" + n + "/include");
        break;
      case 1:
        args.push_back("/Users/dev/src/app/mod" + n + "/main.cpp");
        break;
      default:
        args.push_back("-DFEATURE_" + n + "=1");
        break;
    }
  }
  std::vector<String> envs;
  for (int i = 0; i < envCount; ++i) {
    const std::string n = std::to_string(i);
    switch (i % 4) {
      case 0:
        envs.push_back("PATH" + n + "=/usr/local/bin:/usr/bin:/bin");
        break;
      case 1:
        envs.push_back("HOME" + n + "=/Users/developer");
        break;
      case 2:
        envs.push_back("TMPDIR" + n + "=/var/folders/xy/a1b2/T/");
        break;
      default:
        envs.push_back("LANG" + n + "=en_US.UTF-8");
        break;
    }
  }
  message.exec = EsEventExec{std::move(target), std::move(args), std::move(envs)};
  return message;
}

}  // namespace samples
