// Golden documents: JSON files indented for reading, compared with the encoder's compact bytes.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace fixture {

// The document without the whitespace outside strings that indents it.
std::string compact(std::string_view text);

// The compacted contents of a golden file; nullopt when it cannot be opened.
std::optional<std::string> readGoldenDocument(const std::filesystem::path& file);

}  // namespace fixture
