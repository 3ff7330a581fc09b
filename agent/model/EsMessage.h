// The records one event (and one process table) travels as. Field names are the JSON keys,
// letter for letter (misspellings included), and the declared order is the order written.
// Each record's `CodingKeys` (one key per field, in declared order) and its field table are
// defined in CodingKeys.h.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace model {

using Int = std::int64_t;
using UInt32 = std::uint32_t;
using String = std::string;

// An instant as seconds since 2001-01-01T00:00:00Z.
struct Date {
  static constexpr double kUnixOffset = 978307200.0;  // 2001-01-01 minus 1970-01-01, seconds

  double timeIntervalSinceReferenceDate = 0;

  static Date fromUnixTime(double unixSeconds) { return Date{unixSeconds - kUnixOffset}; }
  double unixTime() const { return timeIntervalSinceReferenceDate + kUnixOffset; }
  friend bool operator==(const Date&, const Date&) = default;
};

struct EsFile {
  enum class CodingKeys;
  String path;
  bool pathTuncated = false;
  std::optional<Date> changeTime;
  std::optional<String> changeTimeStr;
  std::optional<Date> modifyTime;
  std::optional<String> modifyTimeStr;
  std::optional<Date> birthTime;
  std::optional<String> birthTimeStr;
  friend bool operator==(const EsFile&, const EsFile&) = default;
};

struct EsProcess {
  enum class CodingKeys;
  Int ppid = 0;
  Int originalPpid = 0;
  Int pid = 0;
  Int groupId = 0;
  Int sessionId = 0;
  Int euid = 0;
  Int ruid = 0;
  Int egid = 0;
  Int rgid = 0;
  String signingId;
  String hash;
  String teamId;
  bool isPlatformBinary = false;
  UInt32 codesigningFlags = 0;
  EsFile exectuable;
  std::optional<Date> startTime;
  std::optional<String> startTimeStr;
  friend bool operator==(const EsProcess&, const EsProcess&) = default;
};

struct EsEventFork {
  enum class CodingKeys;
  EsProcess child;
  friend bool operator==(const EsEventFork&, const EsEventFork&) = default;
};

struct EsEventExec {
  enum class CodingKeys;
  EsProcess target;
  std::optional<std::vector<String>> args;
  std::optional<std::vector<String>> envs;
  friend bool operator==(const EsEventExec&, const EsEventExec&) = default;
};

struct EsEventExit {
  enum class CodingKeys;
  Int stat = 0;
  friend bool operator==(const EsEventExit&, const EsEventExit&) = default;
};

struct EsEventAuthenticationOpenDirectory {
  enum class CodingKeys;
  EsProcess instigator;
  String recordType;
  String recordName;
  String nodeName;
  String dbPath;
  friend bool operator==(const EsEventAuthenticationOpenDirectory&,
                         const EsEventAuthenticationOpenDirectory&) = default;
};

struct EsEventAuthenticationTouchId {
  enum class CodingKeys;
  EsProcess instigator;
  Int uid = 0;
  friend bool operator==(const EsEventAuthenticationTouchId&,
                         const EsEventAuthenticationTouchId&) = default;
};

struct EsEventAuthenticationToken {
  enum class CodingKeys;
  EsProcess instigator;
  friend bool operator==(const EsEventAuthenticationToken&,
                         const EsEventAuthenticationToken&) = default;
};

struct EsEventAuthenticationAutoUnlock {
  enum class CodingKeys;
  String username;
  UInt32 type = 0;
  String description;
  friend bool operator==(const EsEventAuthenticationAutoUnlock&,
                         const EsEventAuthenticationAutoUnlock&) = default;
};

struct EsEventAuthentication {
  enum class CodingKeys;
  bool success = false;
  UInt32 authenticationType = 0;
  std::optional<EsEventAuthenticationOpenDirectory> openDirectory;
  std::optional<EsEventAuthenticationTouchId> touchId;
  std::optional<EsEventAuthenticationToken> token;
  std::optional<EsEventAuthenticationAutoUnlock> autoUnlock;
  friend bool operator==(const EsEventAuthentication&, const EsEventAuthentication&) = default;
};

struct EsEventXpMalewareDetected {
  enum class CodingKeys;
  String signatureVersion;
  String malwareIdentifier;
  String incidentIdentifier;
  String detectedPath;
  friend bool operator==(const EsEventXpMalewareDetected&,
                         const EsEventXpMalewareDetected&) = default;
};

struct EsEventLwSessionLogin {
  enum class CodingKeys;
  String username;
  UInt32 graphicalSesionId = 0;
  friend bool operator==(const EsEventLwSessionLogin&, const EsEventLwSessionLogin&) = default;
};

struct EsEventLwSessionUnlock {
  enum class CodingKeys;
  String username;
  UInt32 graphicalSesionId = 0;
  friend bool operator==(const EsEventLwSessionUnlock&, const EsEventLwSessionUnlock&) = default;
};

struct EsEventScreensharingAttach {
  enum class CodingKeys;
  bool success = false;
  UInt32 sourceAddressType = 0;
  std::optional<String> sourceAddress;
  std::optional<String> viewerAppleId;
  std::optional<String> authenticationType;
  std::optional<String> authenticationUsername;
  bool existingSession = false;
  UInt32 graphicalSessionId = 0;
  friend bool operator==(const EsEventScreensharingAttach&,
                         const EsEventScreensharingAttach&) = default;
};

struct EsEventOpenSshLogin {
  enum class CodingKeys;
  bool success = false;
  UInt32 resultType = 0;
  UInt32 sourceAddressType = 0;
  String sourceAddress;
  String username;
  friend bool operator==(const EsEventOpenSshLogin&, const EsEventOpenSshLogin&) = default;
};

struct EsEventLoginLogin {
  enum class CodingKeys;
  bool success = false;
  std::optional<String> failureMessage;
  std::optional<String> username;
  bool hasUid = false;
  Int uid = 0;
  friend bool operator==(const EsEventLoginLogin&, const EsEventLoginLogin&) = default;
};

struct BtmLaunchItem {
  enum class CodingKeys;
  UInt32 itemType = 0;
  bool legacy = false;
  bool managed = false;
  Int uid = 0;
  String itemUrl;
  std::optional<String> appUrl;
  friend bool operator==(const BtmLaunchItem&, const BtmLaunchItem&) = default;
};

struct EsEventBtmLaunchItemAdd {
  enum class CodingKeys;
  std::optional<EsProcess> instigator;
  std::optional<EsProcess> app;
  BtmLaunchItem item;
  std::optional<String> executablePath;
  friend bool operator==(const EsEventBtmLaunchItemAdd&, const EsEventBtmLaunchItemAdd&) = default;
};

struct EsEventBtmLaunchItemRemove {
  enum class CodingKeys;
  std::optional<EsProcess> instigator;
  std::optional<EsProcess> app;
  BtmLaunchItem item;
  friend bool operator==(const EsEventBtmLaunchItemRemove&,
                         const EsEventBtmLaunchItemRemove&) = default;
};

struct EsMessage {
  enum class CodingKeys;
  UInt32 version = 0;
  std::optional<Date> time;
  std::optional<String> timeStr;
  EsProcess process;
  UInt32 eventType = 0;
  std::optional<String> eventDesc;
  std::optional<EsEventFork> fork;
  std::optional<EsEventExec> exec;
  std::optional<EsEventExit> exit;
  std::optional<EsEventXpMalewareDetected> xpMalwareDetected;
  std::optional<EsEventLwSessionLogin> lwSessionLogin;
  std::optional<EsEventLwSessionUnlock> lwSessionUnlock;
  std::optional<EsEventAuthentication> auth;
  std::optional<EsEventOpenSshLogin> openSshLogin;
  std::optional<EsEventLoginLogin> loginLogin;
  std::optional<EsEventScreensharingAttach> screensharingAttach;
  std::optional<EsEventBtmLaunchItemAdd> btmLaunchItemAdd;
  std::optional<EsEventBtmLaunchItemRemove> btmLaunchItemRemove;
  friend bool operator==(const EsMessage&, const EsMessage&) = default;
};

struct PidAndExecutable {
  enum class CodingKeys;
  Int pid = 0;
  String executable;
  // Beyond the two above, for tools that show more (`watchctl ps`): the parent, the effective
  // user and the arguments as passed to exec. Absent when not known.
  std::optional<Int> ppid;
  std::optional<Int> uid;
  std::optional<std::vector<String>> args;
  friend bool operator==(const PidAndExecutable&, const PidAndExecutable&) = default;
};

struct PidTable {
  enum class CodingKeys;
  std::vector<PidAndExecutable> table;
  friend bool operator==(const PidTable&, const PidTable&) = default;
};

}  // namespace model
