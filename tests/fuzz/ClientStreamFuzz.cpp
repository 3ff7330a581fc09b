// Fuzz harness: what a service writes to a client, through the client's framer. The first byte
// picks the size of the reads the bytes arrive in (and whether a valid authentication goes in
// front, so that the fuzzer spends its time on messages); every other report is handed on only
// in part, as when the exported object does not take it and sd-bus's end of the pair fills.
// The framer must neither crash nor lose, add or reorder a byte: what it hands on, piece after
// piece, is always the start of what it was given.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/xpc/ReportFramer.h"

namespace {

constexpr std::string_view kAuth = "DATA\r\nOK 0123456789abcdef0123456789abcdef\r\n";

bool within(std::string_view part, std::string_view whole) {
  return part.empty() ||
         (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t chunk = 1 + (data[0] >> 1) * 37u;
  std::string input(reinterpret_cast<const char*>(data + 1), size - 1);
  if (data[0] & 1) input.insert(0, kAuth);

  xpc::ReportFramer framer(std::size_t{1} << 20, 4096);
  std::string handed;
  bool partly = false;
  for (std::size_t at = 0; at < input.size(); at += chunk) {
    framer.take(std::string_view(input).substr(at, chunk));
    for (;;) {
      const xpc::ReportFramer::Piece piece = framer.next();
      using Kind = xpc::ReportFramer::Piece::Kind;
      if (piece.kind == Kind::none) break;
      if (piece.kind == Kind::failed) return 0;
      if (piece.bytes.empty()) std::abort();  // a piece that is never handled stalls the stream
      std::size_t n = piece.bytes.size();
      if (piece.kind == Kind::report) {
        const auto& r = piece.report;
        if (!within(r.interface, piece.bytes) || !within(r.member, piece.bytes) ||
            !within(r.signature, piece.bytes) || !within(r.argument, piece.bytes) ||
            (r.signature != "ay" && r.signature != "s")) {
          std::abort();
        }
        partly = !partly;
        if (partly) n = std::max<std::size_t>(1, n / 2);
      }
      handed.append(piece.bytes.substr(0, n));
      framer.consume(n);
    }
  }
  if (handed.size() + framer.held() != input.size()) std::abort();
  if (std::string_view(input).substr(0, handed.size()) != handed) std::abort();
  return 0;
}
