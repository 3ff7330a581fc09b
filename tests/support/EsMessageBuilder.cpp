#include "tests/support/EsMessageBuilder.h"

#include <algorithm>
#include <deque>
#include <iterator>
#include <utility>

namespace fixture {
namespace {

// Placed after every token's bytes: a reader that ignores `length` picks it up visibly.
constexpr std::string_view kPastEnd = "<past-end>";

std::string numbered(std::string_view prefix, int k, std::string_view suffix = {}) {
  std::string out(prefix);
  out += std::to_string(k);
  out += suffix;
  return out;
}

}  // namespace

struct EsMessageBuilder::Storage {
  es_message_t message{};
  es_event_exec_t exec{};
  es_event_fork_t fork{};
  es_event_exit_t exit{};
  es_event_authentication_t authentication{};
  es_event_authentication_od_t od{};
  es_event_authentication_touchid_t touchid{};
  es_event_authentication_token_t token{};
  es_event_authentication_auto_unlock_t autoUnlock{};
  es_event_xp_malware_detected_t xpMalwareDetected{};
  es_event_lw_session_login_t lwSessionLogin{};
  es_event_lw_session_unlock_t lwSessionUnlock{};
  es_event_screensharing_attach_t screensharingAttach{};
  es_event_openssh_login_t opensshLogin{};
  es_event_login_login_t loginLogin{};
  es_event_btm_launch_item_add_t btmAdd{};
  es_event_btm_launch_item_remove_t btmRemove{};
  es_btm_launch_item_t btmItem{};
  // Deques keep element addresses stable while growing.
  std::deque<es_process_t> processes;
  std::deque<es_file_t> files;
  std::deque<std::string> strings;
  std::vector<es_string_token_t> args;
  std::vector<es_string_token_t> envs;
  // The type whose by-value event structure lives inside the message; 0 while constructing.
  es_event_type_t wired = static_cast<es_event_type_t>(0);
};

EsMessageBuilder::EsMessageBuilder(es_event_type_t type, es_action_type_t action)
    : s_(std::make_unique<Storage>()) {
  Storage& s = *s_;
  es_process_t* actor = distinctProcess(1);
  es_process_t* other = distinctProcess(2);
  es_process_t* app = distinctProcess(3);

  s.message.version = kEsMessageVersion;
  s.message.time = {1710000000, 250000000};
  s.message.mach_time = 987654321012;
  s.message.deadline = 987654999999;
  s.message.process = actor;
  s.message.seq_num = 41;
  s.message.action_type = action;
  s.message.event_type = type;
  s.message.global_seq_num = 4141;

  s.exec.target = other;
  s.exec.dyld_exec_path = token("/usr/lib/dyld-fixture");
  setArgs({"/opt/fixture/proc2/bin/tool2", "--config=/etc/fixture/tool.conf", "two words"});
  setEnvs({"PATH=/usr/local/bin:/usr/bin:/bin", "HOME=/var/root", "LANG=en_US.UTF-8",
           "FIXTURE=\"quoted\" \\ back"});
  s.fork.child = other;
  s.exit.stat = 0x0500;  // exit code 5

  s.authentication.success = true;
  setAuthenticationType(ES_AUTHENTICATION_TYPE_OD);
  s.od = {other, token("dsRecTypeStandard:Users"), token("od-record-name"), token("/Local/Default"),
          token("/var/db/dslocal/nodes/Default")};
  s.touchid.instigator = other;
  s.touchid.touchid_mode = ES_TOUCHID_MODE_IDENTIFICATION;
  s.touchid.has_uid = true;
  s.touchid.uid.uid = 611;
  s.token = {other, token("pubkey-hash-fixture"), token("token-id-fixture"),
             token("kerberos@FIXTURE.EXAMPLE")};
  s.autoUnlock = {token("watch-user"), ES_AUTO_UNLOCK_MACHINE_UNLOCK};

  s.xpMalwareDetected = {token("5262"), token("OSX.Fixture.A"), token("0E1F2A3B-incident-7"),
                         token("/Users/fixture/Downloads/p.dmg")};
  s.lwSessionLogin = {token("lw-login-user"), 257};
  s.lwSessionUnlock = {token("lw-unlock-user"), 258};

  s.screensharingAttach.success = true;
  s.screensharingAttach.source_address_type = ES_ADDRESS_TYPE_IPV4;
  s.screensharingAttach.source_address = token("192.0.2.10");
  s.screensharingAttach.viewer_appleid = token("viewer@example.com");
  s.screensharingAttach.authentication_type = token("ss-auth-type");
  s.screensharingAttach.authentication_username = token("ss-auth-user");
  s.screensharingAttach.session_username = token("ss-session-user");
  s.screensharingAttach.existing_session = true;
  s.screensharingAttach.graphical_session_id = 259;

  s.opensshLogin.success = true;
  s.opensshLogin.result_type = 6;
  s.opensshLogin.source_address_type = ES_ADDRESS_TYPE_IPV6;
  s.opensshLogin.source_address = token("2001:db8::7");
  s.opensshLogin.username = token("ssh-user");
  s.opensshLogin.has_uid = true;
  s.opensshLogin.uid.uid = 612;

  s.loginLogin.success = false;
  s.loginLogin.failure_message = token("login-failure-message");
  s.loginLogin.username = token("login-user");
  s.loginLogin.has_uid = true;
  s.loginLogin.uid.uid = 613;

  s.btmItem.item_type = 4;
  s.btmItem.legacy = true;
  s.btmItem.managed = false;
  s.btmItem.uid = 614;
  s.btmItem.item_url = token("file:///Library/LaunchDaemons/com.example.fixture.plist");
  s.btmItem.app_url = token("file:///Applications/Fixture.app/");
  s.btmAdd = {other, app, &s.btmItem, token("/Applications/Fixture.app/Contents/MacOS/Fixture")};
  s.btmRemove = {other, app, &s.btmItem};

  switch (type) {
    case ES_EVENT_TYPE_NOTIFY_EXEC:
      s.message.event.exec = s.exec;
      break;
    case ES_EVENT_TYPE_NOTIFY_FORK:
      s.message.event.fork = s.fork;
      break;
    case ES_EVENT_TYPE_NOTIFY_EXIT:
      s.message.event.exit = s.exit;
      break;
    case ES_EVENT_TYPE_NOTIFY_AUTHENTICATION:
      s.message.event.authentication = &s.authentication;
      break;
    case ES_EVENT_TYPE_NOTIFY_XP_MALWARE_DETECTED:
      s.message.event.xp_malware_detected = &s.xpMalwareDetected;
      break;
    case ES_EVENT_TYPE_NOTIFY_LW_SESSION_LOGIN:
      s.message.event.lw_session_login = &s.lwSessionLogin;
      break;
    case ES_EVENT_TYPE_NOTIFY_LW_SESSION_UNLOCK:
      s.message.event.lw_session_unlock = &s.lwSessionUnlock;
      break;
    case ES_EVENT_TYPE_NOTIFY_SCREENSHARING_ATTACH:
      s.message.event.screensharing_attach = &s.screensharingAttach;
      break;
    case ES_EVENT_TYPE_NOTIFY_OPENSSH_LOGIN:
      s.message.event.openssh_login = &s.opensshLogin;
      break;
    case ES_EVENT_TYPE_NOTIFY_LOGIN_LOGIN:
      s.message.event.login_login = &s.loginLogin;
      break;
    case ES_EVENT_TYPE_NOTIFY_BTM_LAUNCH_ITEM_ADD:
      s.message.event.btm_launch_item_add = &s.btmAdd;
      break;
    case ES_EVENT_TYPE_NOTIFY_BTM_LAUNCH_ITEM_REMOVE:
      s.message.event.btm_launch_item_remove = &s.btmRemove;
      break;
    default:
      s.message.event = es_events_t{};
      break;
  }
  s.wired = type;
}

EsMessageBuilder::~EsMessageBuilder() = default;
EsMessageBuilder::EsMessageBuilder(EsMessageBuilder&&) noexcept = default;
EsMessageBuilder& EsMessageBuilder::operator=(EsMessageBuilder&&) noexcept = default;

EsMessageBuilder EsMessageBuilder::forkExample() {
  EsMessageBuilder b(ES_EVENT_TYPE_NOTIFY_FORK);
  static constexpr std::uint8_t kHash[20] = {0x0E, 0x3B, 0x6D, 0x8F, 0x2A, 0x4C, 0x9E,
                                             0x1B, 0x7D, 0x5F, 0x3A, 0x2C, 0x8E, 0x6B,
                                             0x4D, 0x0F, 0x1A, 0x9C, 0x7E, 0x5B};
  auto zsh = [&b](es_process_t& p, pid_t ppid, pid_t pid, time_t start) {
    p.audit_token = make_audit_token(pid, 501, 501, 20, 20);
    p.ppid = ppid;
    p.original_ppid = ppid;
    p.group_id = 500;
    p.session_id = 500;
    p.codesigning_flags = 570425345;
    p.is_platform_binary = true;
    std::copy(std::begin(kHash), std::end(kHash), std::begin(p.cdhash));
    p.signing_id = b.token("zsh");
    p.team_id = nullToken();
    p.executable->path = b.token("/bin/zsh");
    p.executable->path_truncated = false;
    p.executable->stat.st_ctimespec = {1712050200, 0};  // 2024-04-02T09:30:00Z
    p.executable->stat.st_mtimespec = {1709280000, 0};  // 2024-03-01T08:00:00Z
    p.executable->stat.st_birthtimespec = {1709280000, 0};
    p.tty = nullptr;
    p.start_time = {start, 0};
  };
  b.message().version = 7;
  b.message().time = {1714564800, 250000000};  // 2024-05-01T12:00:00.25Z
  zsh(*b.message().process, 1, 500, 1714564680);
  zsh(*b.message().event.fork.child, 500, 512, 1714564800);
  return b;
}

es_message_t& EsMessageBuilder::message() {
  return s_->message;
}

es_process_t* EsMessageBuilder::distinctProcess(int k) {
  Storage& s = *s_;
  const time_t fileBase = 1600000000 + static_cast<time_t>(k) * 1000000;

  es_file_t& exe = s.files.emplace_back();
  exe.path = token(numbered("/opt/fixture/proc", k, "/bin/tool") + std::to_string(k));
  exe.path_truncated = (k % 2) == 0;
  exe.stat.st_dev = static_cast<dev_t>(k * 1000 + 70);
  exe.stat.st_ino = static_cast<ino_t>(k * 1000 + 71);
  exe.stat.st_mode = 0100755;
  exe.stat.st_nlink = 1;
  exe.stat.st_uid = static_cast<uid_t>(k * 1000 + 72);
  exe.stat.st_gid = static_cast<gid_t>(k * 1000 + 73);
  exe.stat.st_size = k * 1000 + 74;
  exe.stat.st_atimespec = {fileBase + 44, 440000000};
  exe.stat.st_mtimespec = {fileBase + 11, 110000000};
  exe.stat.st_ctimespec = {fileBase + 22, 220000000};
  exe.stat.st_birthtimespec = {fileBase + 33, 330000000};

  es_file_t& tty = s.files.emplace_back();
  tty.path = token(numbered("/dev/ttys00", k));

  es_process_t& p = s.processes.emplace_back();
  const int id = k * 1000;
  p.audit_token =
      make_audit_token(id + 3, id + 6, id + 7, id + 8, id + 9, id + 10, id + 11, id + 12);
  p.ppid = id + 1;
  p.original_ppid = id + 2;
  p.group_id = id + 4;
  p.session_id = id + 5;
  p.codesigning_flags = 0x26000000u | static_cast<std::uint32_t>(k);
  p.is_platform_binary = false;
  p.is_es_client = true;
  for (int i = 0; i < 20; ++i) {
    p.cdhash[i] = static_cast<std::uint8_t>(k * 0x35 + i * 0x1B + 0x9C);
  }
  p.signing_id = token(numbered("com.example.fixture.signer", k));
  p.team_id = token(numbered("FIXTEAM00", k));
  p.executable = &exe;
  p.tty = &tty;
  p.start_time = {1690000000 + static_cast<time_t>(k) * 1000000 + 55, 999999};
  p.responsible_audit_token = make_audit_token(id + 13, 0, 0, 0, 0);
  p.parent_audit_token = make_audit_token(id + 14, 0, 0, 0, 0);
  return &p;
}

es_string_token_t EsMessageBuilder::token(std::string_view bytes) {
  std::string& stored = s_->strings.emplace_back(bytes);
  stored += kPastEnd;
  return {bytes.size(), stored.data()};
}

void EsMessageBuilder::setArgs(std::vector<es_string_token_t> tokens) {
  s_->args = std::move(tokens);
  exec().args = s_->args.data();
  exec().arg_count = static_cast<std::uint32_t>(s_->args.size());
}

void EsMessageBuilder::setArgs(std::initializer_list<std::string_view> texts) {
  std::vector<es_string_token_t> tokens;
  for (std::string_view text : texts) tokens.push_back(token(text));
  setArgs(std::move(tokens));
}

void EsMessageBuilder::setEnvs(std::vector<es_string_token_t> tokens) {
  s_->envs = std::move(tokens);
  exec().envs = s_->envs.data();
  exec().env_count = static_cast<std::uint32_t>(s_->envs.size());
}

void EsMessageBuilder::setEnvs(std::initializer_list<std::string_view> texts) {
  std::vector<es_string_token_t> tokens;
  for (std::string_view text : texts) tokens.push_back(token(text));
  setEnvs(std::move(tokens));
}

void EsMessageBuilder::setAuthenticationType(std::uint32_t type) {
  Storage& s = *s_;
  s.authentication.type = static_cast<es_authentication_type_t>(type);
  switch (type) {
    case ES_AUTHENTICATION_TYPE_OD:
      s.authentication.data.od = &s.od;
      break;
    case ES_AUTHENTICATION_TYPE_TOUCHID:
      s.authentication.data.touchid = &s.touchid;
      break;
    case ES_AUTHENTICATION_TYPE_TOKEN:
      s.authentication.data.token = &s.token;
      break;
    case ES_AUTHENTICATION_TYPE_AUTO_UNLOCK:
      s.authentication.data.auto_unlock = &s.autoUnlock;
      break;
    default:
      s.authentication.data.od = nullptr;
      break;
  }
}

es_event_exec_t& EsMessageBuilder::exec() {
  return s_->wired == ES_EVENT_TYPE_NOTIFY_EXEC ? s_->message.event.exec : s_->exec;
}
es_event_fork_t& EsMessageBuilder::fork() {
  return s_->wired == ES_EVENT_TYPE_NOTIFY_FORK ? s_->message.event.fork : s_->fork;
}
es_event_exit_t& EsMessageBuilder::exit() {
  return s_->wired == ES_EVENT_TYPE_NOTIFY_EXIT ? s_->message.event.exit : s_->exit;
}
es_event_authentication_t& EsMessageBuilder::authentication() {
  return s_->authentication;
}
es_event_authentication_od_t& EsMessageBuilder::authOd() {
  return s_->od;
}
es_event_authentication_touchid_t& EsMessageBuilder::authTouchId() {
  return s_->touchid;
}
es_event_authentication_token_t& EsMessageBuilder::authToken() {
  return s_->token;
}
es_event_authentication_auto_unlock_t& EsMessageBuilder::authAutoUnlock() {
  return s_->autoUnlock;
}
es_event_xp_malware_detected_t& EsMessageBuilder::xpMalwareDetected() {
  return s_->xpMalwareDetected;
}
es_event_lw_session_login_t& EsMessageBuilder::lwSessionLogin() {
  return s_->lwSessionLogin;
}
es_event_lw_session_unlock_t& EsMessageBuilder::lwSessionUnlock() {
  return s_->lwSessionUnlock;
}
es_event_screensharing_attach_t& EsMessageBuilder::screensharingAttach() {
  return s_->screensharingAttach;
}
es_event_openssh_login_t& EsMessageBuilder::opensshLogin() {
  return s_->opensshLogin;
}
es_event_login_login_t& EsMessageBuilder::loginLogin() {
  return s_->loginLogin;
}
es_event_btm_launch_item_add_t& EsMessageBuilder::btmLaunchItemAdd() {
  return s_->btmAdd;
}
es_event_btm_launch_item_remove_t& EsMessageBuilder::btmLaunchItemRemove() {
  return s_->btmRemove;
}
es_btm_launch_item_t& EsMessageBuilder::btmItem() {
  return s_->btmItem;
}

}  // namespace fixture
