#include "shared/ipc/JsonLayout.h"

namespace ipc {
namespace {

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

}  // namespace

std::string indentedJson(std::string_view json, int width) {
  std::string out;
  out.reserve(json.size() * 2);
  std::size_t depth = 0;
  bool inString = false;
  const auto newline = [&] {
    out += '\n';
    out.append(depth * static_cast<std::size_t>(width), ' ');
  };
  for (std::size_t i = 0; i < json.size(); ++i) {
    const char c = json[i];
    if (inString) {
      out += c;
      if (c == '\\' && i + 1 < json.size()) {
        out += json[++i];
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    switch (c) {
      case '"':
        inString = true;
        out += c;
        break;
      case '{':
      case '[': {
        out += c;
        std::size_t next = i + 1;
        while (next < json.size() && isBlank(json[next])) ++next;
        if (next < json.size() && json[next] == (c == '{' ? '}' : ']')) {
          out += json[next];
          i = next;
        } else {
          ++depth;
          newline();
        }
        break;
      }
      case '}':
      case ']':
        if (depth > 0) --depth;
        newline();
        out += c;
        break;
      case ',':
        out += c;
        newline();
        break;
      case ':':
        out += ": ";
        break;
      default:
        if (!isBlank(c)) out += c;
    }
  }
  out += '\n';
  return out;
}

}  // namespace ipc
