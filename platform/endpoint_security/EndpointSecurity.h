// The event source's message layouts, constants and calls, as the agent reads and makes them.
// Names and numbers follow the published interface; the layouts carry the members the agent
// reads (plus a few it ignores, so fixtures can show they are ignored). Everything a message
// points to lives only for the handler call that receives it.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <functional>

#include "platform/bsm/bsm.h"

// ---- strings and files ----------------------------------------------------------------------

// `length` bytes at `data`, not terminated within `length`; `data` may be null.
struct es_string_token_t {
  std::size_t length;
  const char* data;
};

// The subset of a file's status the event source reports, under the platform's member names
// (Linux's struct stat has no birth time and names its times differently).
struct es_stat_t {
  dev_t st_dev;
  ino_t st_ino;
  mode_t st_mode;
  nlink_t st_nlink;
  uid_t st_uid;
  gid_t st_gid;
  off_t st_size;
  struct timespec st_atimespec;
  struct timespec st_mtimespec;
  struct timespec st_ctimespec;
  struct timespec st_birthtimespec;  // zero where the filesystem records no birth time
};

struct es_file_t {
  es_string_token_t path;
  bool path_truncated;
  es_stat_t stat;
};

using es_cdhash_t = std::uint8_t[20];

struct es_process_t {
  audit_token_t audit_token;
  pid_t ppid;
  pid_t original_ppid;
  pid_t group_id;
  pid_t session_id;
  std::uint32_t codesigning_flags;
  bool is_platform_binary;
  bool is_es_client;
  es_cdhash_t cdhash;
  es_string_token_t signing_id;
  es_string_token_t team_id;
  es_file_t* executable;
  es_file_t* tty;  // may be null
  struct timeval start_time;
  audit_token_t responsible_audit_token;
  audit_token_t parent_audit_token;
};

// ---- enumerations ---------------------------------------------------------------------------

enum es_event_type_t : std::uint32_t {
  ES_EVENT_TYPE_NOTIFY_EXEC = 9,
  ES_EVENT_TYPE_NOTIFY_FORK = 11,
  ES_EVENT_TYPE_NOTIFY_EXIT = 15,
  ES_EVENT_TYPE_NOTIFY_AUTHENTICATION = 111,
  ES_EVENT_TYPE_NOTIFY_XP_MALWARE_DETECTED = 112,
  ES_EVENT_TYPE_NOTIFY_XP_MALWARE_REMEDIATED = 113,
  ES_EVENT_TYPE_NOTIFY_LW_SESSION_LOGIN = 114,
  ES_EVENT_TYPE_NOTIFY_LW_SESSION_LOGOUT = 115,
  ES_EVENT_TYPE_NOTIFY_LW_SESSION_LOCK = 116,
  ES_EVENT_TYPE_NOTIFY_LW_SESSION_UNLOCK = 117,
  ES_EVENT_TYPE_NOTIFY_SCREENSHARING_ATTACH = 118,
  ES_EVENT_TYPE_NOTIFY_SCREENSHARING_DETACH = 119,
  ES_EVENT_TYPE_NOTIFY_OPENSSH_LOGIN = 120,
  ES_EVENT_TYPE_NOTIFY_OPENSSH_LOGOUT = 121,
  ES_EVENT_TYPE_NOTIFY_LOGIN_LOGIN = 122,
  ES_EVENT_TYPE_NOTIFY_LOGIN_LOGOUT = 123,
  ES_EVENT_TYPE_NOTIFY_BTM_LAUNCH_ITEM_ADD = 124,
  ES_EVENT_TYPE_NOTIFY_BTM_LAUNCH_ITEM_REMOVE = 125,
};

enum es_action_type_t : std::uint32_t {
  ES_ACTION_TYPE_AUTH = 0,
  ES_ACTION_TYPE_NOTIFY = 1,
};

enum es_authentication_type_t : std::uint32_t {
  ES_AUTHENTICATION_TYPE_OD = 0,
  ES_AUTHENTICATION_TYPE_TOUCHID = 1,
  ES_AUTHENTICATION_TYPE_TOKEN = 2,
  ES_AUTHENTICATION_TYPE_AUTO_UNLOCK = 3,
};

enum es_auto_unlock_type_t : std::uint32_t {
  ES_AUTO_UNLOCK_MACHINE_UNLOCK = 1,
  ES_AUTO_UNLOCK_AUTH_PROMPT = 2,
};

enum es_touchid_mode_t : std::uint32_t {
  ES_TOUCHID_MODE_VERIFICATION = 0,
  ES_TOUCHID_MODE_IDENTIFICATION = 1,
};

enum es_address_type_t : std::uint32_t {
  ES_ADDRESS_TYPE_NONE = 0,
  ES_ADDRESS_TYPE_IPV4 = 1,
  ES_ADDRESS_TYPE_IPV6 = 2,
  ES_ADDRESS_TYPE_NAMED_SOCKET = 3,
};

using es_openssh_login_result_type_t = std::uint32_t;
using es_btm_item_type_t = std::uint32_t;
using es_graphical_session_id_t = std::uint32_t;

enum es_new_client_result_t : std::uint32_t {
  ES_NEW_CLIENT_RESULT_SUCCESS = 0,
  ES_NEW_CLIENT_RESULT_ERR_INVALID_ARGUMENT = 1,
  ES_NEW_CLIENT_RESULT_ERR_INTERNAL = 2,
  ES_NEW_CLIENT_RESULT_ERR_NOT_ENTITLED = 3,
  ES_NEW_CLIENT_RESULT_ERR_NOT_PERMITTED = 4,
  ES_NEW_CLIENT_RESULT_ERR_NOT_PRIVILEGED = 5,
  ES_NEW_CLIENT_RESULT_ERR_TOO_MANY_CLIENTS = 6,
};

enum es_return_t : std::uint32_t {
  ES_RETURN_SUCCESS = 0,
  ES_RETURN_ERROR = 1,
};

enum es_clear_cache_result_t : std::uint32_t {
  ES_CLEAR_CACHE_RESULT_SUCCESS = 0,
  ES_CLEAR_CACHE_RESULT_ERR_INTERNAL = 1,
  ES_CLEAR_CACHE_RESULT_ERR_THROTTLE = 2,
};

enum es_respond_result_t : std::uint32_t {
  ES_RESPOND_RESULT_SUCCESS = 0,
  ES_RESPOND_RESULT_ERR_INVALID_ARGUMENT = 1,
  ES_RESPOND_RESULT_ERR_INTERNAL = 2,
  ES_RESPOND_RESULT_NOT_FOUND = 3,
  ES_RESPOND_RESULT_ERR_DUPLICATE_RESPONSE = 4,
  ES_RESPOND_RESULT_ERR_EVENT_TYPE = 5,
};

enum es_auth_result_t : std::uint32_t {
  ES_AUTH_RESULT_ALLOW = 0,
  ES_AUTH_RESULT_DENY = 1,
};

// ---- event structures -----------------------------------------------------------------------

struct es_event_exec_t {
  es_process_t* target;
  es_string_token_t dyld_exec_path;
  // Read only through es_exec_arg_count/es_exec_arg and es_exec_env_count/es_exec_env.
  const es_string_token_t* args;
  std::uint32_t arg_count;
  const es_string_token_t* envs;
  std::uint32_t env_count;
};

struct es_event_fork_t {
  es_process_t* child;
};

struct es_event_exit_t {
  int stat;  // raw wait status
};

struct es_event_authentication_od_t {
  es_process_t* instigator;  // may be null
  es_string_token_t record_type;
  es_string_token_t record_name;
  es_string_token_t node_name;
  es_string_token_t db_path;
};

struct es_event_authentication_touchid_t {
  es_process_t* instigator;  // may be null
  es_touchid_mode_t touchid_mode;
  bool has_uid;
  union {
    uid_t uid;
  } uid;
};

struct es_event_authentication_token_t {
  es_process_t* instigator;  // may be null
  es_string_token_t pubkey_hash;
  es_string_token_t token_id;
  es_string_token_t kerberos_principal;
};

struct es_event_authentication_auto_unlock_t {
  es_string_token_t username;
  es_auto_unlock_type_t type;
};

struct es_event_authentication_t {
  bool success;
  es_authentication_type_t type;
  union {
    es_event_authentication_od_t* od;
    es_event_authentication_touchid_t* touchid;
    es_event_authentication_token_t* token;
    es_event_authentication_auto_unlock_t* auto_unlock;
  } data;
};

struct es_event_xp_malware_detected_t {
  es_string_token_t signature_version;
  es_string_token_t malware_identifier;
  es_string_token_t incident_identifier;
  es_string_token_t detected_path;
};

struct es_event_lw_session_login_t {
  es_string_token_t username;
  es_graphical_session_id_t graphical_session_id;
};

struct es_event_lw_session_unlock_t {
  es_string_token_t username;
  es_graphical_session_id_t graphical_session_id;
};

struct es_event_screensharing_attach_t {
  bool success;
  es_address_type_t source_address_type;
  es_string_token_t source_address;
  es_string_token_t viewer_appleid;
  es_string_token_t authentication_type;
  es_string_token_t authentication_username;
  es_string_token_t session_username;
  bool existing_session;
  es_graphical_session_id_t graphical_session_id;
};

struct es_event_openssh_login_t {
  bool success;
  es_openssh_login_result_type_t result_type;
  es_address_type_t source_address_type;
  es_string_token_t source_address;
  es_string_token_t username;
  bool has_uid;
  union {
    uid_t uid;
  } uid;
};

struct es_event_login_login_t {
  bool success;
  es_string_token_t failure_message;
  es_string_token_t username;
  bool has_uid;
  union {
    uid_t uid;
  } uid;
};

struct es_btm_launch_item_t {
  es_btm_item_type_t item_type;
  bool legacy;
  bool managed;
  uid_t uid;
  es_string_token_t item_url;
  es_string_token_t app_url;
};

struct es_event_btm_launch_item_add_t {
  es_process_t* instigator;  // may be null
  es_process_t* app;         // may be null
  es_btm_launch_item_t* item;
  es_string_token_t executable_path;
};

struct es_event_btm_launch_item_remove_t {
  es_process_t* instigator;  // may be null
  es_process_t* app;         // may be null
  es_btm_launch_item_t* item;
};

// The process events are held by value, the newer ones through pointers.
union es_events_t {
  es_event_exec_t exec;
  es_event_fork_t fork;
  es_event_exit_t exit;
  es_event_authentication_t* authentication;
  es_event_xp_malware_detected_t* xp_malware_detected;
  es_event_lw_session_login_t* lw_session_login;
  es_event_lw_session_unlock_t* lw_session_unlock;
  es_event_screensharing_attach_t* screensharing_attach;
  es_event_openssh_login_t* openssh_login;
  es_event_login_login_t* login_login;
  es_event_btm_launch_item_add_t* btm_launch_item_add;
  es_event_btm_launch_item_remove_t* btm_launch_item_remove;
};

struct es_message_t {
  std::uint32_t version;
  struct timespec time;  // wall-clock time of the event
  std::uint64_t mach_time;
  std::uint64_t deadline;
  es_process_t* process;
  std::uint64_t seq_num;
  es_action_type_t action_type;
  es_event_type_t event_type;
  es_events_t event;
  std::uint64_t global_seq_num;
};

// The message layout version this event source declares.
inline constexpr std::uint32_t kEsMessageVersion = 7;

// ---- exec argument and environment lists ----------------------------------------------------

inline std::uint32_t es_exec_arg_count(const es_event_exec_t* event) {
  return event->arg_count;
}
inline es_string_token_t es_exec_arg(const es_event_exec_t* event, std::uint32_t index) {
  return event->args[index];
}
inline std::uint32_t es_exec_env_count(const es_event_exec_t* event) {
  return event->env_count;
}
inline es_string_token_t es_exec_env(const es_event_exec_t* event, std::uint32_t index) {
  return event->envs[index];
}

// ---- client calls ---------------------------------------------------------------------------

struct es_client_t;
using es_handler_block_t = std::function<void(es_client_t*, const es_message_t*)>;

es_new_client_result_t es_new_client(es_client_t** client, es_handler_block_t handler);
es_clear_cache_result_t es_clear_cache(es_client_t* client);
es_return_t es_subscribe(es_client_t* client, const es_event_type_t* events, std::uint32_t count);
es_return_t es_unsubscribe(es_client_t* client, const es_event_type_t* events, std::uint32_t count);
es_return_t es_delete_client(es_client_t* client);
es_respond_result_t es_respond_auth_result(es_client_t* client, const es_message_t* message,
                                           es_auth_result_t result, bool cache);
