// What an exec record keeps of the new image's environment, set by the operator through the
// agent's environment: WATCH_EXEC_ENVIRONMENT = all (default, entries as given) | names-only
// (each entry becomes its name, the text before the first '=') | none (an empty list) | redact
// (entries whose name matches a secret-bearing pattern become NAME=<redacted>). Patterns are
// case-insensitive fnmatch globs: a built-in list plus WATCH_EXEC_ENVIRONMENT_REDACT
// (colon-separated). The list stays an array of texts in every mode, so readers keep working.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "agent/model/EsMessage.h"

namespace agent {

class ExecEnvironment {
 public:
  enum class Mode { all, namesOnly, none, redact };

  static constexpr std::string_view kRedacted = "<redacted>";
  static const std::vector<std::string>& builtInPatterns();

  ExecEnvironment() = default;
  // `extraPatterns`: colon-separated globs added to the built-in ones (redact only).
  ExecEnvironment(Mode mode, std::string_view extraPatterns);

  // From the setting's texts (either may be null). An unknown mode is logged and read as
  // names-only: the operator asked for less than everything, and no value is shown.
  static ExecEnvironment fromSetting(const char* mode, const char* extraPatterns);

  Mode mode() const { return mode_; }
  // Rewrites the entries in place, keeping their buffers.
  void apply(std::vector<model::String>& envs) const;
  bool isSecretName(std::string_view name) const;

 private:
  // A glob kept in the cheapest form that decides it: most patterns are a plain text at the
  // start, the end, anywhere, or the whole of the name; the rest go to fnmatch.
  struct Pattern {
    enum class Shape { whole, prefix, suffix, contains, glob } shape;
    std::string text;  // upper case, without the outer '*'s (the glob itself for `glob`)
  };
  static Pattern compile(std::string_view glob);

  Mode mode_ = Mode::all;
  std::vector<Pattern> patterns_;
};

// The setting conversion applies to every exec record; `all` until the agent's entry sets it
// (once, before events flow).
const ExecEnvironment& execEnvironment();
void setExecEnvironment(ExecEnvironment setting);

}  // namespace agent
