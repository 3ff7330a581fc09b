// Strict UTF-8 validation for text taken from the kernel or other processes: one check for the
// platform layer (audit records, paths) and the agent's records alike.
#pragma once

#include <string_view>

namespace platform {

// Well-formed UTF-8 only: no stray continuation bytes, no overlong forms, no surrogates, nothing
// above U+10FFFF and no sequence cut off by the end of the text.
bool isValidUtf8(std::string_view text);

}  // namespace platform
