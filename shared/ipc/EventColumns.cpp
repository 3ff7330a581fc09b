#include "shared/ipc/EventColumns.h"

#include <pwd.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>
#include <unordered_map>

namespace ipc {
namespace {

using nlohmann::json;

// Seconds between the Unix epoch and 2001-01-01, the documents' reference date.
constexpr double kSince1970 = 978307200;

const json* child(const json& object, std::string_view key) {
  if (!object.is_object()) return nullptr;
  const auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

std::string text(const json& object, std::string_view key) {
  const json* value = child(object, key);
  return value && value->is_string() ? value->get<std::string>() : std::string();
}

std::int64_t integer(const json& object, std::string_view key) {
  const json* value = child(object, key);
  return value && value->is_number_integer() ? value->get<std::int64_t>() : -1;
}

// "path [user]" style joins that leave out what is empty.
std::string joined(std::string a, const std::string& b, std::string_view separator = " ") {
  if (a.empty()) return b;
  if (!b.empty()) a.append(separator).append(b);
  return a;
}

std::string executableOf(const json& process) {
  const json* executable = child(process, "exectuable");
  return executable ? text(*executable, "path") : std::string();
}

// "192.0.2.10 (alice)": the peer's address and the user it named, either left out when absent.
std::string addressAndUser(const json& event, std::string_view userKey) {
  const std::string user = text(event, userKey);
  return joined(text(event, "sourceAddress"), user.empty() ? user : "(" + user + ")");
}

// The program an exec ran, then its arguments after argv[0].
std::string execDetail(const json& exec) {
  const json* target = child(exec, "target");
  std::string out = target ? executableOf(*target) : std::string();
  if (const json* args = child(exec, "args"); args && args->is_array()) {
    for (std::size_t i = 1; i < args->size(); ++i) {
      if ((*args)[i].is_string())
        out = joined(std::move(out), shellWord((*args)[i].get<std::string>()));
    }
  }
  return out;
}

std::string detailOf(std::string_view member, const json& event) {
  if (member == "exec") return execDetail(event);
  if (member == "fork") {
    const json* childProcess = child(event, "child");
    return "child " + std::to_string(childProcess ? integer(*childProcess, "pid") : -1);
  }
  if (member == "exit") return "status " + std::to_string(integer(event, "stat"));
  if (member == "auth") {
    const json* success = child(event, "success");
    return success && success->is_boolean() && success->get<bool>() ? "succeeded" : "failed";
  }
  if (member == "xpMalwareDetected") return text(event, "detectedPath");
  if (member == "lwSessionLogin" || member == "lwSessionUnlock" || member == "loginLogin")
    return text(event, "username");
  if (member == "openSshLogin") return addressAndUser(event, "username");
  if (member == "screensharingAttach") return addressAndUser(event, "authenticationUsername");
  if (member == "btmLaunchItemAdd" || member == "btmLaunchItemRemove") {
    const json* item = child(event, "item");
    std::string url = item ? text(*item, "itemUrl") : std::string();
    if (url.starts_with("file://")) url.erase(0, 7);
    return url.empty() ? text(event, "executablePath") : url;
  }
  return {};
}

}  // namespace

std::optional<EventColumns> eventColumns(std::string_view document) {
  const json root = json::parse(document, nullptr, false);
  if (!root.is_object()) return std::nullopt;
  EventColumns columns;
  columns.timeStr = text(root, "timeStr");
  if (const json* time = child(root, "time"); time && time->is_number())
    columns.time = time->get<double>();
  if (const json* type = child(root, "eventType"); type && type->is_number_unsigned())
    columns.kind = findEventKindName(type->get<std::uint32_t>());
  if (const json* process = child(root, "process")) {
    columns.pid = integer(*process, "pid");
    columns.ppid = integer(*process, "ppid");
    if (const std::int64_t euid = integer(*process, "euid"); euid >= 0)
      columns.uid = static_cast<std::uint32_t>(euid);
    columns.executable = executableOf(*process);
  }
  if (columns.kind) {
    if (const json* event = child(root, columns.kind->member)) {
      columns.detail = detailOf(columns.kind->member, *event);
      if (const json* target = child(*event, "target"); target && columns.kind->member == "exec")
        columns.target = executableOf(*target);
    }
  }
  return columns;
}

std::string shellWord(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\n'\"\\") == std::string::npos)
    return argument;
  std::string out = "'";
  for (char c : argument) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

const std::string& userName(std::uint32_t uid) {
  // Per thread: each reader of documents keeps its own, and a passwd lookup is done once per uid.
  thread_local std::unordered_map<std::uint32_t, std::string> names;
  auto [it, added] = names.try_emplace(uid);
  if (added) {
    passwd entry{}, *found = nullptr;
    char buffer[4096];
    it->second = ::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found
                     ? found->pw_name
                     : std::to_string(uid);
  }
  return it->second;
}

std::string localIsoTime(double secondsSince2001) {
  const double unix = secondsSince2001 + kSince1970;
  auto whole = static_cast<std::time_t>(std::floor(unix));
  int millis = static_cast<int>(std::lround((unix - static_cast<double>(whole)) * 1000));
  if (millis == 1000) {
    ++whole;
    millis = 0;
  }
  std::tm local{};
  if (localtime_r(&whole, &local) == nullptr) return {};
  char date[32], zone[8];
  std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
  std::strftime(zone, sizeof zone, "%z", &local);  // +hhmm
  char out[48];
  std::snprintf(out, sizeof out, "%s.%03d%.3s:%.2s", date, millis, zone, zone + 3);
  return out;
}

}  // namespace ipc
