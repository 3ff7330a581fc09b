#include "tools/watchctl/StreamView.h"

#include <fnmatch.h>
#include <pwd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace watchctl {
namespace {

// Rows longer than this are cut: the JSON form keeps everything.
constexpr std::size_t kRowLimit = 200;

std::string allowedKinds() {
  std::string out;
  for (const ipc::EventKindName& kind : ipc::kEventKindNames) {
    if (!out.empty()) out += ", ";
    out += kind.eventDesc;
  }
  return out;
}

std::optional<std::uint32_t> uidOf(const std::string& user) {
  std::uint32_t uid = 0;
  const char* end = user.data() + user.size();
  if (!user.empty() && std::from_chars(user.data(), end, uid).ptr == end) return uid;
  passwd entry{}, *found = nullptr;
  char buffer[4096];
  if (::getpwnam_r(user.c_str(), &entry, buffer, sizeof buffer, &found) != 0 || !found)
    return std::nullopt;
  return found->pw_uid;
}

std::string padded(std::string text, std::size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

}  // namespace

StreamView StreamView::make(const StreamOptions& options, std::string& error) {
  StreamView view;
  if (options.format != "json" && options.format != "table") {
    error = "--format is json or table, not \"" + options.format + "\"";
    return view;
  }
  view.table_ = options.format == "table";
  for (const std::string& typed : options.kinds) {
    const ipc::EventKindName* kind = ipc::parseEventKind(typed);
    if (kind == nullptr) {
      error = "unknown kind \"" + typed + "\"; the kinds are " + allowedKinds() +
              " (in any case, or their eventType numbers)";
      return view;
    }
    view.kinds_.set(static_cast<std::size_t>(kind - ipc::kEventKindNames.data()));
  }
  view.pids_ = options.pids;
  view.pathGlob_ = options.pathGlob;
  if (!options.user.empty() && !(view.uid_ = uidOf(options.user))) {
    error = "no user \"" + options.user + "\" (give a name or a number)";
    return view;
  }
  view.filtered_ = view.kinds_.any() || !view.pids_.empty() || !view.pathGlob_.empty() || view.uid_;
  return view;
}

ipc::Subscription StreamView::subscription() const {
  ipc::Subscription subscription;
  if (kinds_.any()) subscription.kinds = kinds_;
  const std::size_t wildcard = pathGlob_.find_first_of("*?[\\");
  subscription.executablePath = pathGlob_.substr(0, wildcard);
  subscription.executablePathIsPrefix = wildcard != std::string::npos;
  return subscription;
}

std::optional<std::string> StreamView::header() const {
  if (!table_) return std::nullopt;
  return padded("TIME", 29) + " " + padded("KIND", 22) + " " + padded("    PID", 7) + " " +
         padded("   PPID", 7) + " " + padded("USER", 8) + " EXECUTABLE  DETAIL";
}

std::optional<std::string> StreamView::lineFor(std::string_view document) {
  if (printsEverythingAsIs()) return std::string(document);
  const std::optional<ipc::EventColumns> columns = ipc::eventColumns(document);
  if (!columns || !matches(*columns)) return std::nullopt;
  return table_ ? row(*columns) : std::string(document);
}

bool StreamView::matches(const ipc::EventColumns& columns) const {
  if (kinds_.any() && (!columns.kind || !kinds_.test(static_cast<std::size_t>(
                                            columns.kind - ipc::kEventKindNames.data()))))
    return false;
  if (!pids_.empty() && std::find(pids_.begin(), pids_.end(), columns.pid) == pids_.end())
    return false;
  if (uid_ && columns.uid != uid_) return false;
  // The glob matches the acting process's executable or, for an exec, the program executed.
  const auto globbed = [this](const std::string& path) {
    return !path.empty() && ::fnmatch(pathGlob_.c_str(), path.c_str(), 0) == 0;
  };
  return pathGlob_.empty() || globbed(columns.executable) || globbed(columns.target);
}

std::string StreamView::row(const ipc::EventColumns& columns) {
  char ids[32];
  std::snprintf(ids, sizeof ids, "%7lld %7lld", static_cast<long long>(columns.pid),
                static_cast<long long>(columns.ppid));
  std::string line = padded(ipc::localIsoTime(columns.time), 29) + " " +
                     padded(std::string(columns.kindName()), 22) + " " + ids + " " +
                     padded(columns.uid ? ipc::userName(*columns.uid) : "-", 8) + " " +
                     printable(columns.executable.empty() ? "-" : columns.executable) + "  " +
                     printable(columns.detail);
  return cutTo(std::move(line), kRowLimit);
}

std::string printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out;
}

std::string cutTo(std::string text, std::size_t limit) {
  if (text.size() <= limit) return text;
  std::size_t end = limit - 3;  // room for "…"
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  text.resize(end);
  return text + "\u2026";
}

}  // namespace watchctl
