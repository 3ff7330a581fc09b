// Fuzz harness: any bytes into the JSON reader. A document that reads back must encode, and its
// encoding must read back to the same record.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "agent/model/JsonEncoding.h"

namespace {

template <class T>
void roundTrip(std::string_view text) {
  const model::ReadResult<T> read = model::decode<T>(text);
  if (!read) return;
  // The parser stops at a NUL byte: a text holding one must never read as a document, or bytes
  // after it would pass unseen.
  if (text.find('\0') != std::string_view::npos) std::abort();
  const auto encoded = model::encode(read.value());
  if (!encoded) return;  // a time that is not finite fails the writer, by design
  const model::ReadResult<T> again = model::decode<T>(*encoded);
  if (!again || model::encode(again.value()) != encoded) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  roundTrip<model::EsMessage>(text);
  roundTrip<model::PidTable>(text);
  return 0;
}
