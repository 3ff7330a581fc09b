// Strict UTF-8 validation for text taken from the kernel or other processes.
#pragma once

#include <string_view>

namespace model {

// Well-formed UTF-8 only: no stray continuation bytes, no overlong forms, no surrogates, nothing
// above U+10FFFF and no sequence cut off by the end of the text.
bool isValidUtf8(std::string_view text);

}  // namespace model
