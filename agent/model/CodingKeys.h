// Per record: its `CodingKeys` and the one field table (key text + member pointer) that the JSON
// writer and reader both walk. Each record's field list below is the single place a field is
// named for coding: adding a field to a record is one line in its list, and the checks at the
// end of this file refuse to compile if a list misses a field or is out of declared order.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "agent/model/EsMessage.h"

// clang-format off
#define MODEL_FIELDS_EsFile(X) \
  X(path) X(pathTuncated) X(changeTime) X(changeTimeStr) X(modifyTime) X(modifyTimeStr) \
  X(birthTime) X(birthTimeStr)
#define MODEL_FIELDS_EsProcess(X) \
  X(ppid) X(originalPpid) X(pid) X(groupId) X(sessionId) X(euid) X(ruid) X(egid) X(rgid) \
  X(signingId) X(hash) X(teamId) X(isPlatformBinary) X(codesigningFlags) X(exectuable) \
  X(startTime) X(startTimeStr)
#define MODEL_FIELDS_EsEventFork(X) X(child)
#define MODEL_FIELDS_EsEventExec(X) X(target) X(args) X(envs)
#define MODEL_FIELDS_EsEventExit(X) X(stat)
#define MODEL_FIELDS_EsEventAuthenticationOpenDirectory(X) \
  X(instigator) X(recordType) X(recordName) X(nodeName) X(dbPath)
#define MODEL_FIELDS_EsEventAuthenticationTouchId(X) X(instigator) X(uid)
#define MODEL_FIELDS_EsEventAuthenticationToken(X) X(instigator)
#define MODEL_FIELDS_EsEventAuthenticationAutoUnlock(X) X(username) X(type) X(description)
#define MODEL_FIELDS_EsEventAuthentication(X) \
  X(success) X(authenticationType) X(openDirectory) X(touchId) X(token) X(autoUnlock)
#define MODEL_FIELDS_EsEventXpMalewareDetected(X) \
  X(signatureVersion) X(malwareIdentifier) X(incidentIdentifier) X(detectedPath)
#define MODEL_FIELDS_EsEventLwSessionLogin(X) X(username) X(graphicalSesionId)
#define MODEL_FIELDS_EsEventLwSessionUnlock(X) X(username) X(graphicalSesionId)
#define MODEL_FIELDS_EsEventScreensharingAttach(X) \
  X(success) X(sourceAddressType) X(sourceAddress) X(viewerAppleId) X(authenticationType) \
  X(authenticationUsername) X(existingSession) X(graphicalSessionId)
#define MODEL_FIELDS_EsEventOpenSshLogin(X) \
  X(success) X(resultType) X(sourceAddressType) X(sourceAddress) X(username)
#define MODEL_FIELDS_EsEventLoginLogin(X) \
  X(success) X(failureMessage) X(username) X(hasUid) X(uid)
#define MODEL_FIELDS_BtmLaunchItem(X) \
  X(itemType) X(legacy) X(managed) X(uid) X(itemUrl) X(appUrl)
#define MODEL_FIELDS_EsEventBtmLaunchItemAdd(X) X(instigator) X(app) X(item) X(executablePath)
#define MODEL_FIELDS_EsEventBtmLaunchItemRemove(X) X(instigator) X(app) X(item)
#define MODEL_FIELDS_EsMessage(X) \
  X(version) X(time) X(timeStr) X(process) X(eventType) X(eventDesc) X(fork) X(exec) X(exit) \
  X(xpMalwareDetected) X(lwSessionLogin) X(lwSessionUnlock) X(auth) X(openSshLogin) \
  X(loginLogin) X(screensharingAttach) X(btmLaunchItemAdd) X(btmLaunchItemRemove)
#define MODEL_FIELDS_PidAndExecutable(X) X(pid) X(executable) X(ppid) X(uid) X(args)
#define MODEL_FIELDS_PidTable(X) X(table)

// Every record type, for code that has to name each of them once (explicit instantiations).
#define MODEL_RECORD_TYPES(X) \
  X(EsFile) X(EsProcess) X(EsEventFork) X(EsEventExec) X(EsEventExit) \
  X(EsEventAuthenticationOpenDirectory) X(EsEventAuthenticationTouchId) \
  X(EsEventAuthenticationToken) X(EsEventAuthenticationAutoUnlock) X(EsEventAuthentication) \
  X(EsEventXpMalewareDetected) X(EsEventLwSessionLogin) X(EsEventLwSessionUnlock) \
  X(EsEventScreensharingAttach) X(EsEventOpenSshLogin) X(EsEventLoginLogin) X(BtmLaunchItem) \
  X(EsEventBtmLaunchItemAdd) X(EsEventBtmLaunchItemRemove) X(EsMessage) X(PidAndExecutable) \
  X(PidTable)
// clang-format on

namespace model::coding {

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};

// One row of a field table: the JSON key, the member it holds, and its coding key. An optional
// member is left out of a document when absent and may be missing or null when read.
template <class R, class M>
struct Field {
  using Record = R;
  using Member = M;
  static constexpr bool kOptional = IsOptional<M>::value;
  std::string_view key;
  M R::*member;
  typename R::CodingKeys codingKey;
};

// Specialised for every record below; `fields` is a std::tuple of Field rows in declared order.
template <class R>
struct Table;

template <class T>
concept Record = requires {
  Table<T>::fields;
};

template <class T>
inline constexpr std::size_t kFieldCount = std::tuple_size_v<decltype(Table<T>::fields)>;

namespace detail {

// Converts to any member type; counting how many of them brace-initialise a record counts its
// fields (none of the records has a base class or an array member).
struct AnyMember {
  template <class U>
  operator U&() const&&;
};

template <class T, std::size_t... I>
constexpr bool initialisableWith(std::index_sequence<I...>) {
  return requires {
    T{(void(I), AnyMember{})...};
  };
}

template <class T, std::size_t N = 0>
constexpr std::size_t aggregateFieldCount() {
  if constexpr (initialisableWith<T>(std::make_index_sequence<N + 1>{})) {
    return aggregateFieldCount<T, N + 1>();
  } else {
    return N;
  }
}

// True when every row names a later member than the row before it, and row i holds coding key i.
template <class T, std::size_t... I>
consteval bool rowsInDeclaredOrder(std::index_sequence<I...>) {
  T probe{};
  const void* addresses[] = {
      static_cast<const void*>(&(probe.*std::get<I>(Table<T>::fields).member))...};
  const std::size_t keys[] = {static_cast<std::size_t>(std::get<I>(Table<T>::fields).codingKey)...};
  for (std::size_t i = 0; i < sizeof...(I); ++i) {
    if (keys[i] != i) return false;
    if (i > 0 && !(addresses[i - 1] < addresses[i])) return false;
  }
  return true;
}

}  // namespace detail

// The table names every field of the record exactly once, in declared order.
template <class T>
consteval bool tableMatchesRecord() {
  return kFieldCount<T> == detail::aggregateFieldCount<T>() &&
         detail::rowsInDeclaredOrder<T>(std::make_index_sequence<kFieldCount<T>>{});
}

}  // namespace model::coding

// clang before 15 cannot build libstdc++'s std::string in a constant expression; the check runs
// in every gcc build (the fuzz preset alone is built with clang).
#if defined(__clang__) && __clang_major__ < 15
#define MODEL_CHECK_CODING(Type)
#else
#define MODEL_CHECK_CODING(Type)                    \
  static_assert(coding::tableMatchesRecord<Type>(), \
                #Type ": field list must name every field once, in declared order");
#endif

#define MODEL_CODING_KEY(name) name,
#define MODEL_FIELD_ROW(name) \
  ::model::coding::Field<Self, decltype(Self::name)>{#name, &Self::name, Self::CodingKeys::name},
#define MODEL_DEFINE_CODING(Type)                                             \
  namespace model {                                                           \
  enum class Type::CodingKeys { MODEL_FIELDS_##Type(MODEL_CODING_KEY) };      \
  template <>                                                                 \
  struct coding::Table<Type> {                                                \
    using Self = Type;                                                        \
    static constexpr std::tuple fields{MODEL_FIELDS_##Type(MODEL_FIELD_ROW)}; \
  };                                                                          \
  MODEL_CHECK_CODING(Type)                                                    \
  }

MODEL_DEFINE_CODING(EsFile)
MODEL_DEFINE_CODING(EsProcess)
MODEL_DEFINE_CODING(EsEventFork)
MODEL_DEFINE_CODING(EsEventExec)
MODEL_DEFINE_CODING(EsEventExit)
MODEL_DEFINE_CODING(EsEventAuthenticationOpenDirectory)
MODEL_DEFINE_CODING(EsEventAuthenticationTouchId)
MODEL_DEFINE_CODING(EsEventAuthenticationToken)
MODEL_DEFINE_CODING(EsEventAuthenticationAutoUnlock)
MODEL_DEFINE_CODING(EsEventAuthentication)
MODEL_DEFINE_CODING(EsEventXpMalewareDetected)
MODEL_DEFINE_CODING(EsEventLwSessionLogin)
MODEL_DEFINE_CODING(EsEventLwSessionUnlock)
MODEL_DEFINE_CODING(EsEventScreensharingAttach)
MODEL_DEFINE_CODING(EsEventOpenSshLogin)
MODEL_DEFINE_CODING(EsEventLoginLogin)
MODEL_DEFINE_CODING(BtmLaunchItem)
MODEL_DEFINE_CODING(EsEventBtmLaunchItemAdd)
MODEL_DEFINE_CODING(EsEventBtmLaunchItemRemove)
MODEL_DEFINE_CODING(EsMessage)
MODEL_DEFINE_CODING(PidAndExecutable)
MODEL_DEFINE_CODING(PidTable)

#undef MODEL_DEFINE_CODING
#undef MODEL_FIELD_ROW
#undef MODEL_CODING_KEY
