// Golden documents: JSON files indented for reading, compared with the encoder's compact bytes.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace fixture {

// The reference fork event document, byte for byte.
inline constexpr std::string_view kForkExampleDocument =
    R"({"version":7,"time":736257600.25,"timeStr":"2024-05-01T12:00:00Z",)"
    R"("process":{"ppid":1,"originalPpid":1,"pid":500,"groupId":500,"sessionId":500,"euid":501,"ruid":501,"egid":20,"rgid":20,"signingId":"zsh","hash":"0E3B6D8F2A4C9E1B7D5F3A2C8E6B4D0F1A9C7E5B","teamId":"system","isPlatformBinary":true,"codesigningFlags":570425345,)"
    R"("exectuable":{"path":"\/bin\/zsh","pathTuncated":false,"changeTime":733743000,"changeTimeStr":"2024-04-02T09:30:00Z","modifyTime":730972800,"modifyTimeStr":"2024-03-01T08:00:00Z","birthTime":730972800,"birthTimeStr":"2024-03-01T08:00:00Z"},)"
    R"("startTime":736257480,"startTimeStr":"2024-05-01T11:58:00Z"},)"
    R"("eventType":11,"eventDesc":"FORK",)"
    R"("fork":{"child":{"ppid":500,"originalPpid":500,"pid":512,"groupId":500,"sessionId":500,"euid":501,"ruid":501,"egid":20,"rgid":20,"signingId":"zsh","hash":"0E3B6D8F2A4C9E1B7D5F3A2C8E6B4D0F1A9C7E5B","teamId":"system","isPlatformBinary":true,"codesigningFlags":570425345,)"
    R"("exectuable":{"path":"\/bin\/zsh","pathTuncated":false,"changeTime":733743000,"changeTimeStr":"2024-04-02T09:30:00Z","modifyTime":730972800,"modifyTimeStr":"2024-03-01T08:00:00Z","birthTime":730972800,"birthTimeStr":"2024-03-01T08:00:00Z"},)"
    R"("startTime":736257600,"startTimeStr":"2024-05-01T12:00:00Z"}}})";

// The document without the whitespace outside strings that indents it.
std::string compact(std::string_view text);

// The compacted contents of a golden file; nullopt when it cannot be opened.
std::optional<std::string> readGoldenDocument(const std::filesystem::path& file);

}  // namespace fixture
