// The exec environment setting: parsing the operator's texts and rewriting one exec's list.
#include "agent/capture/ExecEnvironment.h"

#include <fnmatch.h>
#include <strings.h>

#include <utility>

#include "platform/log/Log.h"

namespace agent {
namespace {

ExecEnvironment g_setting;

// The text before the first '=', or the whole entry when it has none.
std::string_view nameOf(std::string_view entry) {
  return entry.substr(0, entry.find('='));
}

}  // namespace

const std::vector<std::string>& ExecEnvironment::builtInPatterns() {
  static const std::vector<std::string> patterns = {
      "*TOKEN*", "*SECRET*", "*PASSWORD*",   "*PASSWD*",  "*_KEY",
      "*_KEY_*", "AWS_*",    "*CREDENTIAL*", "*API_KEY*", "*PRIVATE*"};
  return patterns;
}

ExecEnvironment::ExecEnvironment(Mode mode, std::string_view extraPatterns)
    : mode_(mode), patterns_(builtInPatterns()) {
  while (!extraPatterns.empty()) {
    const std::size_t colon = extraPatterns.find(':');
    const std::string_view pattern = extraPatterns.substr(0, colon);
    if (!pattern.empty()) patterns_.emplace_back(pattern);
    if (colon == std::string_view::npos) break;
    extraPatterns.remove_prefix(colon + 1);
  }
}

ExecEnvironment ExecEnvironment::fromSetting(const char* mode, const char* extraPatterns) {
  const std::string_view extra = extraPatterns ? extraPatterns : "";
  if (mode == nullptr || *mode == '\0' || ::strcasecmp(mode, "all") == 0) {
    return ExecEnvironment(Mode::all, extra);
  }
  static constexpr std::pair<const char*, Mode> kModes[] = {
      {"names-only", Mode::namesOnly}, {"none", Mode::none}, {"redact", Mode::redact}};
  for (const auto& [text, value] : kModes) {
    if (::strcasecmp(mode, text) == 0) return ExecEnvironment(value, extra);
  }
  NSLog(
      "watchagent: WATCH_EXEC_ENVIRONMENT=%s is not one of all, names-only, none, redact; "
      "exec environments keep names only",
      mode);
  return ExecEnvironment(Mode::namesOnly, extra);
}

bool ExecEnvironment::isSecretName(std::string_view name) const {
  const std::string text(name);  // fnmatch wants a terminated text
  for (const std::string& pattern : patterns_) {
    if (::fnmatch(pattern.c_str(), text.c_str(), FNM_CASEFOLD) == 0) return true;
  }
  return false;
}

void ExecEnvironment::apply(std::vector<model::String>& envs) const {
  switch (mode_) {
    case Mode::all:
      return;
    case Mode::none:
      envs.clear();
      return;
    case Mode::namesOnly:
      for (model::String& entry : envs) entry.resize(nameOf(entry).size());
      return;
    case Mode::redact:
      for (model::String& entry : envs) {
        const std::size_t equals = entry.find('=');
        if (equals == model::String::npos || !isSecretName(nameOf(entry))) continue;
        entry.resize(equals + 1);
        entry.append(kRedacted);
      }
      return;
  }
}

const ExecEnvironment& execEnvironment() {
  return g_setting;
}

void setExecEnvironment(ExecEnvironment setting) {
  g_setting = std::move(setting);
}

}  // namespace agent
