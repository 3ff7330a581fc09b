#include "tools/watchctl/ProcessView.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "shared/ipc/EventColumns.h"
#include "tools/watchctl/StreamView.h"

namespace watchctl {

std::optional<std::string> processTableRows(std::string_view document) {
  const nlohmann::json json = nlohmann::json::parse(document, nullptr, false);
  if (!json.is_object() || !json.contains("table") || !json["table"].is_array())
    return std::nullopt;
  std::string out = "    PID    PPID USER     EXECUTABLE  ARGUMENTS\n";
  for (const nlohmann::json& entry : json["table"]) {
    if (!entry.is_object() || !entry.contains("pid") || !entry["pid"].is_number_integer())
      return std::nullopt;
    const auto number = [&](const char* key) -> std::string {
      return entry.contains(key) && entry[key].is_number_integer()
                 ? std::to_string(entry[key].get<long long>())
                 : "-";
    };
    char ids[32];
    std::snprintf(ids, sizeof ids, "%7s %7s", number("pid").c_str(), number("ppid").c_str());
    std::string user = "-";
    if (entry.contains("uid") && entry["uid"].is_number_unsigned())
      user = ipc::userName(entry["uid"].get<std::uint32_t>());
    if (user.size() < 8) user.append(8 - user.size(), ' ');
    const std::string executable = entry.value("executable", "");
    std::string arguments;
    if (entry.contains("args") && entry["args"].is_array()) {
      for (const nlohmann::json& arg : entry["args"]) {
        if (!arg.is_string()) continue;
        if (!arguments.empty()) arguments += ' ';
        arguments += ipc::shellWord(arg.get<std::string>());
      }
    } else {
      arguments = "-";
    }
    out += std::string(ids) + " " + user + " " + printable(executable.empty() ? "-" : executable) +
           "  " + printable(arguments) + "\n";
  }
  return out;
}

}  // namespace watchctl
