#include "tests/support/GoldenDocuments.h"

#include <fstream>
#include <iterator>

namespace fixture {

std::string compact(std::string_view text) {
  std::string out;
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      out += c;
      if (c == '\\' && i + 1 < text.size()) {
        out += text[++i];
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
      out += c;
    } else if (c != ' ' && c != '\n' && c != '\r' && c != '\t') {
      out += c;
    }
  }
  return out;
}

std::optional<std::string> readGoldenDocument(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  return compact(std::string(std::istreambuf_iterator<char>(in), {}));
}

}  // namespace fixture
