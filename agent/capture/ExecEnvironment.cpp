// The exec environment setting: parsing the operator's texts and rewriting one exec's list.
#include "agent/capture/ExecEnvironment.h"

#include <fnmatch.h>
#include <strings.h>

#include <cctype>
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

ExecEnvironment::Pattern ExecEnvironment::compile(std::string_view glob) {
  const bool leading = glob.starts_with('*');
  const bool trailing = glob.size() > 1 && glob.ends_with('*');
  std::string_view inner = glob.substr(leading ? 1 : 0);
  inner = inner.substr(0, inner.size() - (trailing ? 1 : 0));
  if (inner.find_first_of("*?[\\") != std::string_view::npos) {
    return {Pattern::Shape::glob, std::string(glob)};
  }
  std::string upper(inner);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const auto shape = leading ? (trailing ? Pattern::Shape::contains : Pattern::Shape::suffix)
                             : (trailing ? Pattern::Shape::prefix : Pattern::Shape::whole);
  return {shape, std::move(upper)};
}

ExecEnvironment::ExecEnvironment(Mode mode, std::string_view extraPatterns) : mode_(mode) {
  for (const std::string& glob : builtInPatterns()) patterns_.push_back(compile(glob));
  while (!extraPatterns.empty()) {
    const std::size_t colon = extraPatterns.find(':');
    const std::string_view pattern = extraPatterns.substr(0, colon);
    if (!pattern.empty()) patterns_.push_back(compile(pattern));
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
  thread_local std::string upper;  // kept: no allocation per entry
  upper.assign(name);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const Pattern& p : patterns_) {
    bool match = false;
    switch (p.shape) {
      case Pattern::Shape::whole:
        match = upper == p.text;
        break;
      case Pattern::Shape::prefix:
        match = upper.starts_with(p.text);
        break;
      case Pattern::Shape::suffix:
        match = upper.ends_with(p.text);
        break;
      case Pattern::Shape::contains:
        match = upper.find(p.text) != std::string::npos;
        break;
      case Pattern::Shape::glob:
        match = ::fnmatch(p.text.c_str(), upper.c_str(), FNM_CASEFOLD) == 0;
        break;
    }
    if (match) return true;
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
