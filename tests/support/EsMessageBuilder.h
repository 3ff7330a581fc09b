// Builds event-source messages for tests and benchmarks.
//
// A builder makes one es_message_t of a chosen event type in which every field holds a value
// distinct from every other field (ids, times, strings, hashes differ per process), so a field
// copied from the wrong place shows up in the converted record. The builder owns everything the
// message points to: processes, files, strings, event structures, argument and environment
// lists. Pointers stay valid while the builder lives, also after the builder is moved.
//
// Everything is open for change before the message is read: take the message or any event
// structure by reference, null any pointer, replace any token (token(), nullToken()) and set any
// scalar. For example:
//
//   fixture::EsMessageBuilder b(ES_EVENT_TYPE_NOTIFY_EXEC);
//   b.message().process->team_id = fixture::EsMessageBuilder::nullToken();
//   b.message().process->is_platform_binary = true;
//   b.setEnvs({b.token("A=1"), b.token("\xff"), b.token("C=3")});
//   model::EsMessage record = agent::makeEsMessage(b.message());
//
// Which processes a message names (process k has the values of distinctProcess(k)):
//   message().process                        process 1
//   exec target, fork child,
//   authentication instigators (od, touch id, token), launch-item instigator
//                                            process 2
//   launch-item app                          process 3
//
// An event type outside the twelve subscribed kinds gives a message with a zeroed event union.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/endpoint_security/EndpointSecurity.h"

namespace fixture {

class EsMessageBuilder {
 public:
  explicit EsMessageBuilder(es_event_type_t type, es_action_type_t action = ES_ACTION_TYPE_NOTIFY);
  ~EsMessageBuilder();
  EsMessageBuilder(EsMessageBuilder&&) noexcept;
  EsMessageBuilder& operator=(EsMessageBuilder&&) noexcept;
  EsMessageBuilder(const EsMessageBuilder&) = delete;
  EsMessageBuilder& operator=(const EsMessageBuilder&) = delete;

  // The reference fork message, whose document the tests pin byte for byte: /bin/zsh (pid 500,
  // platform binary without team) forking pid 512 at 2024-05-01T12:00:00.25Z, version 7.
  static EsMessageBuilder forkExample();

  es_message_t& message();

  // A new process owned by the builder with the distinct values of index k (k >= 1): ids k*1000+1
  // ... k*1000+9, its own executable file, strings, hash and times.
  es_process_t* distinctProcess(int k);

  // A token over a copy of `bytes` owned by the builder. The bytes are followed by a non-NUL
  // marker, not by a terminator, so a reader that goes past `length` sees garbage.
  es_string_token_t token(std::string_view bytes);
  // A token with a null pointer and the given length.
  static es_string_token_t nullToken(std::size_t length = 0) { return {length, nullptr}; }

  // Replace the exec event's argument or environment list (pointer and count together).
  void setArgs(std::vector<es_string_token_t> tokens);
  void setArgs(std::initializer_list<std::string_view> texts);
  void setEnvs(std::vector<es_string_token_t> tokens);
  void setEnvs(std::initializer_list<std::string_view> texts);

  // Sets the authentication type and points the event's data at the matching sub-structure
  // (null for a type without one). The builder starts with ES_AUTHENTICATION_TYPE_OD.
  void setAuthenticationType(std::uint32_t type);

  // Every event structure exists whatever the message type; only the one of the message's type
  // is reachable from message().event.
  es_event_exec_t& exec();
  es_event_fork_t& fork();
  es_event_exit_t& exit();
  es_event_authentication_t& authentication();
  es_event_authentication_od_t& authOd();
  es_event_authentication_touchid_t& authTouchId();
  es_event_authentication_token_t& authToken();
  es_event_authentication_auto_unlock_t& authAutoUnlock();
  es_event_xp_malware_detected_t& xpMalwareDetected();
  es_event_lw_session_login_t& lwSessionLogin();
  es_event_lw_session_unlock_t& lwSessionUnlock();
  es_event_screensharing_attach_t& screensharingAttach();
  es_event_openssh_login_t& opensshLogin();
  es_event_login_login_t& loginLogin();
  es_event_btm_launch_item_add_t& btmLaunchItemAdd();
  es_event_btm_launch_item_remove_t& btmLaunchItemRemove();
  es_btm_launch_item_t& btmItem();  // the item of both launch-item events

 private:
  struct Storage;
  std::unique_ptr<Storage> s_;
};

}  // namespace fixture
