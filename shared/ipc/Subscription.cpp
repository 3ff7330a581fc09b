#include "shared/ipc/Subscription.h"

#include <cstdint>
#include <nlohmann/json.hpp>

namespace ipc {

std::string encodeSubscription(const Subscription& subscription) {
  nlohmann::json json = nlohmann::json::object();
  if (!subscription.kinds.all()) {
    json["kinds"] = nlohmann::json::array();
    for (std::size_t i = 0; i < kEventKindNames.size(); ++i) {
      if (subscription.kinds.test(i)) json["kinds"].push_back(kEventKindNames[i].eventDesc);
    }
  }
  if (!subscription.executablePath.empty()) {
    json["executablePath"] = subscription.executablePath;
    json["match"] = subscription.executablePathIsPrefix ? "prefix" : "exact";
  }
  return json.dump();
}

std::optional<Subscription> decodeSubscription(std::string_view text, std::string& error) {
  const nlohmann::json json = nlohmann::json::parse(text, nullptr, false);
  if (!json.is_object()) {
    error = "a subscription is a JSON object";
    return std::nullopt;
  }
  Subscription subscription;
  for (const auto& [key, value] : json.items()) {
    if (key == "kinds") {
      if (!value.is_array()) {
        error = "\"kinds\" is a list of event kinds";
        return std::nullopt;
      }
      subscription.kinds.reset();
      for (const nlohmann::json& kind : value) {
        const EventKindName* name = nullptr;
        if (kind.is_string()) {
          name = parseEventKind(kind.get_ref<const std::string&>());
        } else if (kind.is_number_unsigned() && kind.get<std::uint64_t>() <= UINT32_MAX) {
          name = findEventKindName(static_cast<std::uint32_t>(kind.get<std::uint64_t>()));
        }
        if (!name) {
          error = "unknown event kind " + kind.dump();
          return std::nullopt;
        }
        subscription.kinds.set(eventKindIndex(name->eventType));
      }
    } else if (key == "executablePath") {
      if (!value.is_string()) {
        error = "\"executablePath\" is a string";
        return std::nullopt;
      }
      subscription.executablePath = value.get<std::string>();
    } else if (key == "match") {
      if (value != "exact" && value != "prefix") {
        error = "\"match\" is \"exact\" or \"prefix\"";
        return std::nullopt;
      }
      subscription.executablePathIsPrefix = value == "prefix";
    } else {
      error = "unknown key \"" + key + "\" (known: kinds, executablePath, match)";
      return std::nullopt;
    }
  }
  return subscription;
}

}  // namespace ipc
