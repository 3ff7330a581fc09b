// What `watchctl stream` prints of each document: every document as it came (the default), or
// only those matching the filters given, as JSON lines or as table rows for people.
#pragma once

#include <bitset>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shared/ipc/EventColumns.h"
#include "shared/ipc/Subscription.h"

namespace watchctl {

struct StreamOptions {
  std::vector<std::string> kinds;  // as typed: "exec", "EXEC", "9"
  std::vector<std::int64_t> pids;
  std::string pathGlob;
  std::string user;             // a name or a number
  std::string format = "json";  // or "table"
};

class StreamView {
 public:
  // The view, or the error to show (an unknown kind or user, a format not offered).
  static StreamView make(const StreamOptions& options, std::string& error);

  // Whether every document is printed as it came: nothing to parse.
  bool printsEverythingAsIs() const { return !table_ && !filtered_; }
  // What the agent is asked to send: the kinds chosen, and for the process kinds the path
  // glob's fixed beginning (the whole path when it has no wildcard). The view still filters
  // what arrives, so this only saves work; everything when nothing narrows it.
  ipc::Subscription subscription() const;
  // The header to print first, if any.
  std::optional<std::string> header() const;
  // The line to print for `document`, or nothing when the filters leave it out.
  std::optional<std::string> lineFor(std::string_view document);

 private:
  bool matches(const ipc::EventColumns& columns) const;
  std::string row(const ipc::EventColumns& columns);

  bool table_ = false;
  bool filtered_ = false;
  std::bitset<ipc::kEventKindNames.size()> kinds_;  // by index in the table; none: every kind
  std::vector<std::int64_t> pids_;
  std::string pathGlob_;
  std::optional<std::uint32_t> uid_;
};

// Control characters shown as escapes, so that one row stays one line.
std::string printable(std::string_view text);

// At most `limit` bytes, cut at a character boundary and ended with "…" when cut.
std::string cutTo(std::string text, std::size_t limit);

}  // namespace watchctl
