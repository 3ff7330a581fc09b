// The readers' rules for what a launch item runs: GLib key files and shell words for desktop
// entries, systemd's unit-file syntax for units and their drop-ins, cron's table syntax.
#include "platform/endpoint_security/launch_items/ItemCommands.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "platform/endpoint_security/launch_items/TextLines.h"

namespace platform::es {
namespace {

std::string_view trim(std::string_view s, std::string_view blanks = " \t\r") {
  const std::size_t first = s.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(blanks) - first + 1);
}

// The first word of a command line; a double- or single-quoted word loses its quotes.
std::optional<std::string> firstWord(std::string_view command) {
  command = trim(command);
  if (command.empty()) return std::nullopt;
  if (command.front() == '"' || command.front() == '\'') {
    const std::size_t close = command.find(command.front(), 1);
    if (close == std::string_view::npos || close == 1) return std::nullopt;
    return std::string(command.substr(1, close - 1));
  }
  return std::string(command.substr(0, command.find_first_of(" \t")));
}

// ---- GLib key files ---------------------------------------------------------------------------

// g_key_file_is_key_name: no leading or trailing space, an optional [locale] suffix only.
bool isKeyName(std::string_view key) {
  const std::size_t end = key.find_first_of("=[]");
  if (end == 0 || key.front() == ' ' ||
      key[(end == std::string_view::npos ? key.size() : end) - 1] == ' ') {
    return false;
  }
  if (end == std::string_view::npos) return true;
  if (key[end] != '[' || key.back() != ']') return false;
  const std::string_view locale = key.substr(end + 1, key.size() - end - 2);
  for (const char c : locale) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && std::strchr("-_.@", c) == nullptr) {
      return false;
    }
  }
  return true;
}

// A "[name]" line with nothing but blanks after the bracket; the name, or nullopt.
std::optional<std::string_view> groupName(std::string_view line) {
  if (line.empty() || line.front() != '[') return std::nullopt;
  const std::size_t close = line.find(']');
  if (close == std::string_view::npos || !trim(line.substr(close + 1), " \t").empty()) {
    return std::nullopt;
  }
  return line.substr(1, close - 1);
}

// The raw value of the last "Exec" key of the [Desktop Entry] group (groups of one name merge);
// nullopt when GLib would refuse to load the file.
std::optional<std::optional<std::string_view>> rawDesktopExec(std::string_view text) {
  std::optional<std::string_view> group;
  std::optional<std::string_view> exec;
  for (std::string_view line : splitLines(text)) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    line.remove_prefix(std::min(line.size(), line.find_first_not_of(" \t\n\v\f\r")));
    if (line.empty() || line.front() == '#') continue;
    if (const auto name = groupName(line)) {
      if (name->empty() || name->find('[') != std::string_view::npos) return std::nullopt;
      group = name;
      continue;
    }
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos || equals == 0 || !group) return std::nullopt;
    const std::string_view key = trim(line.substr(0, equals), " \t");
    if (!isKeyName(key)) return std::nullopt;
    std::string_view value = line.substr(equals + 1);
    value.remove_prefix(std::min(value.size(), value.find_first_not_of(" \t\n\v\f\r")));
    if (key == "Encoding" && value != "UTF-8") return std::nullopt;
    if (*group == "Desktop Entry" && key == "Exec") exec = value;
  }
  return exec;
}

// g_key_file_get_string's unescaping: \s \n \t \r \\ only.
std::optional<std::string> keyFileString(std::string_view raw) {
  std::string out;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '\\') {
      out += raw[i];
      continue;
    }
    if (++i == raw.size()) return std::nullopt;
    static constexpr std::string_view kFrom = "sntr\\", kTo = " \n\t\r\\";
    const std::size_t at = kFrom.find(raw[i]);
    if (at == std::string_view::npos) return std::nullopt;
    out += kTo[at];
  }
  return out;
}

// The Exec line with its field codes expanded for a launch without files: "%%" is '%', the
// others stand for nothing.
std::string withoutFieldCodes(std::string_view exec) {
  std::string out;
  for (std::size_t i = 0; i < exec.size(); ++i) {
    if (exec[i] != '%') {
      out += exec[i];
    } else if (++i < exec.size() && exec[i] == '%') {
      out += '%';
    }
  }
  return out;
}

// The words of a command line as g_shell_parse_argv splits them; nullopt on unmatched quotes or
// a trailing backslash.
std::optional<std::vector<std::string>> shellWords(std::string_view s) {
  std::vector<std::string> words;
  std::optional<std::string> word;
  for (std::size_t i = 0; i < s.size();) {
    const char c = s[i];
    if (c == ' ' || c == '\t' || c == '\n') {
      if (word) words.push_back(std::move(*word));
      word.reset();
      ++i;
    } else if (c == '#' && !word) {
      while (i < s.size() && s[i] != '\n') ++i;  // a comment to the end of the line
    } else if (c == '\\') {
      if (i + 1 == s.size()) return std::nullopt;
      if (s[i + 1] != '\n') word = word.value_or("") + s[i + 1];
      i += 2;
    } else if (c == '\'') {
      const std::size_t close = s.find('\'', i + 1);
      if (close == std::string_view::npos) return std::nullopt;
      word = word.value_or("") + std::string(s.substr(i + 1, close - i - 1));
      i = close + 1;
    } else if (c == '"') {
      word = word.value_or("");
      for (++i;; ++i) {
        if (i == s.size()) return std::nullopt;
        if (s[i] == '"') break;
        if (s[i] == '\\' && i + 1 < s.size() && std::strchr("\"\\$`\n", s[i + 1]) != nullptr) {
          if (s[++i] != '\n') *word += s[i];
        } else {
          *word += s[i];
        }
      }
      ++i;
    } else {
      word = word.value_or("") + c;
      ++i;
    }
  }
  if (word) words.push_back(std::move(*word));
  return words;
}

// ---- systemd unit files -----------------------------------------------------------------------

// A file's logical lines: a line ending in an unescaped backslash continues on the next (the
// backslash read as a space); comment lines inside a continuation are skipped.
std::vector<std::string> unitLines(std::string_view text) {
  std::vector<std::string> out;
  std::optional<std::string> pending;
  for (std::string_view line : splitLines(text)) {
    if (pending) {
      const std::string_view body = trim(line, " \t\n\r");
      if (!body.empty() && (body.front() == '#' || body.front() == ';')) continue;
    }
    std::string joined = pending.value_or("") + std::string(line);
    pending.reset();
    bool escaped = false;
    for (const char c : joined) escaped = !escaped && c == '\\';
    if (escaped) {
      joined.back() = ' ';
      pending = std::move(joined);
    } else {
      out.push_back(std::move(joined));
    }
  }
  if (pending) out.push_back(std::move(*pending));
  return out;
}

// One C escape after a backslash (systemd's cunescape, relaxed: an unknown escape is the
// character itself); advances `i` past it.
char unitEscape(std::string_view s, std::size_t& i) {
  static constexpr std::string_view kFrom = "abfnrtvs", kTo = "\a\b\f\n\r\t\v ";
  const char c = s[i++];
  if (const std::size_t at = kFrom.find(c); at != std::string_view::npos) return kTo[at];
  if (c == 'x' && i + 2 <= s.size() && std::isxdigit(static_cast<unsigned char>(s[i])) &&
      std::isxdigit(static_cast<unsigned char>(s[i + 1]))) {
    const char hex[3] = {s[i], s[i + 1], '\0'};
    i += 2;
    return static_cast<char>(std::strtoul(hex, nullptr, 16));
  }
  return c;
}

// The first word of an ExecStart= value (systemd's extract_first_word with unquoting and C
// escapes); nullopt on an unterminated quote.
std::optional<std::string> unitFirstWord(std::string_view s) {
  std::string word;
  std::size_t i = s.find_first_not_of(" \t\n\r");
  if (i == std::string_view::npos) return std::nullopt;
  std::optional<char> quote;
  while (i < s.size()) {
    const char c = s[i++];
    if (quote && c == *quote) {
      quote.reset();
    } else if (!quote && (c == '"' || c == '\'')) {
      quote = c;
    } else if (!quote && std::strchr(" \t\n\r", c) != nullptr) {
      break;
    } else if (c == '\\' && i < s.size()) {
      word += unitEscape(s, i);
    } else {
      word += c;
    }
  }
  if (quote) return std::nullopt;
  return word;
}

// The program of one ExecStart= value: its first word without the "-@:+!" prefixes and with
// "%%" read as '%'; nullopt when the assignment is refused (and so ignored).
std::optional<std::string> execProgram(std::string_view value) {
  std::optional<std::string> word = unitFirstWord(value);
  if (!word) return std::nullopt;
  const std::size_t start = word->find_first_not_of("-@:+!");
  if (start == std::string::npos) return std::nullopt;
  std::string program;
  for (std::size_t i = start; i < word->size(); ++i) {
    program += (*word)[i];
    if ((*word)[i] == '%' && i + 1 < word->size() && (*word)[i + 1] == '%') ++i;
  }
  return program;
}

// What one unit text does to the service's ExecStart= list and Type=; false when systemd would
// refuse the file.
bool applyUnitText(std::string_view text, std::vector<std::string>& commands, std::string& type) {
  bool inService = false;
  for (const std::string& raw : unitLines(text)) {
    const std::string_view line = trim(raw, " \t\n\r");
    if (line.empty() || line.front() == '#' || line.front() == ';') continue;
    if (line.front() == '[') {
      if (line.back() != ']') return false;
      inService = line == "[Service]";
      continue;
    }
    const std::size_t equals = line.find('=');
    if (!inService || equals == std::string_view::npos) continue;
    const std::string_view key = trim(line.substr(0, equals), " \t\n\r");
    const std::string_view value = trim(line.substr(equals + 1), " \t\n\r");
    if (key == "Type") {
      type = std::string(value);
    } else if (key == "ExecStart" && value.empty()) {
      commands.clear();
    } else if (key == "ExecStart") {
      if (auto program = execProgram(value)) commands.push_back(std::move(*program));
    }
  }
  return true;
}

}  // namespace

std::optional<std::string> desktopExecutable(std::string_view text) {
  const auto raw = rawDesktopExec(text);
  if (!raw || !*raw) return std::nullopt;
  const std::optional<std::string> exec = keyFileString(**raw);
  if (!exec) return std::nullopt;
  const auto words = shellWords(withoutFieldCodes(*exec));
  if (!words || words->empty() || words->front().empty()) return std::nullopt;
  return words->front();
}

std::optional<std::string> unitExecutable(const std::vector<std::string_view>& texts) {
  std::vector<std::string> commands;
  std::string type;
  for (const std::string_view text : texts) {
    if (!applyUnitText(text, commands, type)) return std::nullopt;
  }
  // Only a oneshot service may have several; systemd refuses to load any other.
  if (commands.empty() || (commands.size() > 1 && type != "oneshot")) return std::nullopt;
  return commands.front();
}

std::optional<std::string> cronExecutable(std::string_view text, bool userColumn) {
  for (std::string_view line : splitLines(text)) {
    line = trim(line);
    if (line.empty() || line.front() == '#') continue;
    // NAME=value lines set the environment of the jobs below them.
    const std::size_t nameEnd = line.find_first_of(" \t=");
    if (nameEnd != std::string_view::npos && trim(line.substr(nameEnd)).front() == '=') continue;
    // Five time fields, or one @keyword; then the user on system tables; then the command.
    int skip = line.front() == '@' ? 1 : 5;
    if (userColumn) ++skip;
    std::string_view rest = line;
    for (int i = 0; i < skip; ++i) {
      const std::size_t end = rest.find_first_of(" \t");
      if (end == std::string_view::npos) return std::nullopt;
      rest = trim(rest.substr(end));
    }
    // A '%' ends the command; what follows is its standard input.
    return firstWord(rest.substr(0, rest.find('%')));
  }
  return std::nullopt;
}

}  // namespace platform::es
