// The exporter epoch: a number chosen once for a state directory and kept in its file "epoch".
// Message ids and headers carry it beside the sequence number, which starts again at 1 when the
// state directory is new (a reinstall, a purge, a wiped /var/lib/watchexport): the pair stays
// unique for a machine, and the stream never takes a new document for a resend of an old one.
// It is the wall-clock time in microseconds since 1970 when the directory was first used, so a
// later state directory has a larger epoch and (epoch, sequence) orders a machine's messages.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace watchexport {

// The epoch kept in `path`, or a new one written there (and flushed) when the file is missing
// or unreadable (then `replaced` says what was wrong: a new epoch is always safe); nothing with
// `error` when it cannot be written.
std::optional<std::uint64_t> loadOrCreateEpoch(const std::filesystem::path& path,
                                               std::string& replaced, std::string& error);

}  // namespace watchexport
