// The two protocols spoken over the agent's service, one declaration for both deliverables.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <string_view>
#include <variant>

namespace ipc {

using NSString = std::string;
// Bytes, not text; held in a std::string so one encoded document can be handed around cheaply.
using NSData = std::string;

class AppToSystemExtensions;
class SystemExtensionsToApp;

// How a method reaches the object that implements it: a reply-bearing method of the agent's
// protocol, or a one-way report of the client's.
using CallMethod = void (AppToSystemExtensions::*)(const NSString&,
                                                   std::function<void(const NSString&)>);
using ReportMethod = void (SystemExtensionsToApp::*)(const NSData&);

// One selector of a protocol, with its wire form on the D-Bus transport: the member name is the
// selector's first keyword, the signatures are the D-Bus argument and reply signatures. A row is
// known by its address: a protocol's own rows are the ones its `methods` point to.
struct ProtocolMethod {
  std::string_view selector;
  std::string_view typeEncoding;
  std::string_view typeEncodingWithClasses;
  std::string_view member;
  std::string_view inSignature;
  std::string_view outSignature;
  bool oneWay;
  // The implementation's member function the method calls.
  std::variant<CallMethod, ReportMethod> invoker;
};

// Client to agent: exported by the agent, called by a client.
class AppToSystemExtensions {
 public:
  virtual ~AppToSystemExtensions() = default;
  // Replies "established"; the message is never read.
  virtual void establishConnection2WithMessage(const NSString& message,
                                               std::function<void(const NSString&)> reply) = 0;
  // Replies with the process-table JSON document, or the five bytes "Hello" on failure.
  virtual void establishConnectionAndGetProcTableWithMessage(
      const NSString& message, std::function<void(const NSData&)> reply) = 0;
  // From the reply on, the calling connection is sent only the events the filter (a
  // subscription, shared/ipc/Subscription.h) asks for. Replies "subscribed", or why not.
  virtual void subscribeToEventsWithFilter(const NSString& filter,
                                           std::function<void(const NSString&)> reply) = 0;

  static constexpr std::string_view name = "AppToSystemExtensions";
  static constexpr ProtocolMethod kEstablishConnection2WithMessage{
      "establishConnection2WithMessage:withReply:",
      "v32@0:8@16@?24",
      R"(v32@0:8@"NSString"16@?<v@?@"NSString">24)",
      "establishConnection2WithMessage",
      "s",
      "s",
      false,
      &AppToSystemExtensions::establishConnection2WithMessage};
  static constexpr ProtocolMethod kEstablishConnectionAndGetProcTableWithMessage{
      "establishConnectionAndGetProcTableWithMessage:withReply:",
      "v32@0:8@16@?24",
      R"(v32@0:8@"NSString"16@?<v@?@"NSData">24)",
      "establishConnectionAndGetProcTableWithMessage",
      "s",
      "ay",
      false,
      &AppToSystemExtensions::establishConnectionAndGetProcTableWithMessage};
  static constexpr ProtocolMethod kSubscribeToEventsWithFilter{
      "subscribeToEventsWithFilter:withReply:",
      "v32@0:8@16@?24",
      R"(v32@0:8@"NSString"16@?<v@?@"NSString">24)",
      "subscribeToEventsWithFilter",
      "s",
      "s",
      false,
      &AppToSystemExtensions::subscribeToEventsWithFilter};
  static constexpr std::array<const ProtocolMethod*, 3> methods{
      &kEstablishConnection2WithMessage, &kEstablishConnectionAndGetProcTableWithMessage,
      &kSubscribeToEventsWithFilter};
};

// Agent to client: exported by a client, called by the agent. All three are one-way.
class SystemExtensionsToApp {
 public:
  virtual ~SystemExtensionsToApp() = default;
  virtual void reportEndpointMessageWithMsg(const NSData& msg) = 0;
  virtual void reportNetworkMessageWithMsg(const NSData& msg) = 0;
  virtual void reportExecutableForPidWithMsg(const NSData& msg) = 0;

  static constexpr std::string_view name = "SystemExtensionsToApp";
  static constexpr ProtocolMethod kReportEndpointMessageWithMsg{
      "reportEndpointMessageWithMsg:",
      "v24@0:8@16",
      R"(v24@0:8@"NSData"16)",
      "reportEndpointMessageWithMsg",
      "ay",
      "",
      true,
      &SystemExtensionsToApp::reportEndpointMessageWithMsg};
  static constexpr ProtocolMethod kReportNetworkMessageWithMsg{
      "reportNetworkMessageWithMsg:",
      "v24@0:8@16",
      R"(v24@0:8@"NSData"16)",
      "reportNetworkMessageWithMsg",
      "ay",
      "",
      true,
      &SystemExtensionsToApp::reportNetworkMessageWithMsg};
  static constexpr ProtocolMethod kReportExecutableForPidWithMsg{
      "reportExecutableForPidWithMsg:",
      "v24@0:8@16",
      R"(v24@0:8@"NSData"16)",
      "reportExecutableForPidWithMsg",
      "ay",
      "",
      true,
      &SystemExtensionsToApp::reportExecutableForPidWithMsg};
  static constexpr std::array<const ProtocolMethod*, 3> methods{&kReportEndpointMessageWithMsg,
                                                                &kReportNetworkMessageWithMsg,
                                                                &kReportExecutableForPidWithMsg};
};

// The Process table reply that marks a failed snapshot; not JSON.
inline constexpr std::string_view kProcTableFailureReply = "Hello";
inline constexpr std::string_view kEstablishedReply = "established";
inline constexpr std::string_view kSubscribedReply = "subscribed";

}  // namespace ipc
