// D-Bus messages spelled out byte by byte (little-endian unless asked), for tests that play the
// other end of a connection or feed its parts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace wire {

// A D-Bus message made field by field, so that tests can get every part of it wrong.
struct Field {
  std::uint8_t code;
  char type;
  std::string value;  // for 'u': four bytes, little-endian
};

inline std::string u32(std::uint32_t value, bool big = false) {
  std::string out(4, '\0');
  for (int i = 0; i < 4; ++i) out[big ? 3 - i : i] = static_cast<char>((value >> (8 * i)) & 0xff);
  return out;
}

inline std::string message(std::uint8_t type, std::uint8_t flags, const std::vector<Field>& fields,
                           const std::string& body, std::uint32_t serial = 7, bool big = false) {
  std::string out{big ? 'B' : 'l', static_cast<char>(type), static_cast<char>(flags), 1};
  out += u32(static_cast<std::uint32_t>(body.size()), big) + u32(serial, big) + u32(0, big);
  auto pad = [&](std::size_t alignment) {
    while (out.size() % alignment) out.push_back('\0');
  };
  for (const Field& f : fields) {
    pad(8);
    out += {static_cast<char>(f.code), 1, f.type, '\0'};
    if (f.type == 'g') {
      out.push_back(static_cast<char>(f.value.size()));
      out += f.value + '\0';
    } else if (f.type == 'u') {
      pad(4);
      out += f.value;
    } else {
      pad(4);
      out += u32(static_cast<std::uint32_t>(f.value.size()), big) + f.value + '\0';
    }
  }
  const std::string fieldsLength = u32(static_cast<std::uint32_t>(out.size() - 16), big);
  out.replace(12, 4, fieldsLength);
  pad(8);
  return out + body;
}

inline std::string arrayBody(const std::string& bytes) {
  return u32(static_cast<std::uint32_t>(bytes.size())) + bytes;
}
inline std::string stringBody(const std::string& text) {
  return u32(static_cast<std::uint32_t>(text.size())) + text + '\0';
}

}  // namespace wire
