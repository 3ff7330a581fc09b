// The subject of a document, found without parsing it: the agent writes compact JSON in which a
// member name is always followed directly by its value.
#include "tools/watchexport/Subject.h"

#include "tools/fleet/Nats.h"

namespace watchexport {

namespace {

bool allowed(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u > 0x20 && u < 0x7f && c != '.' && c != '*' && c != '>' && c != '\\' && c != '"';
}

}  // namespace

std::string kindToken(std::string_view document) {
  static constexpr std::string_view kKey = R"("eventDesc":")";
  const auto start = document.find(kKey);
  if (start == std::string_view::npos) return std::string(fleet::kUnknownKind);
  const auto from = start + kKey.size();
  // Escaped quotes end no value; they and anything else a token cannot hold become '_'.
  std::string token;
  for (auto i = from; i < document.size() && document[i] != '"'; ++i) {
    if (document[i] == '\\' && i + 1 < document.size()) ++i;
    token += allowed(document[i]) ? document[i] : '_';
  }
  return token.empty() ? std::string(fleet::kUnknownKind) : token;
}

bool isToken(std::string_view token) {
  if (token.empty()) return false;
  for (char c : token) {
    if (!allowed(c)) return false;
  }
  return true;
}

std::string subjectFor(std::string_view host, std::string_view kind) {
  return fleet::subjectFilter(host, kind);
}

}  // namespace watchexport
