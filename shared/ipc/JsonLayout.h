// A document laid out for people to read: one line per member and array element, indented,
// from the document's own bytes, so keys keep the order they were sent in and numbers read as
// written. Only whitespace outside strings changes.
#pragma once

#include <string>
#include <string_view>

namespace ipc {

// `json` (valid JSON, compact or not) indented by `width` spaces a level, ending in a newline;
// empty objects and arrays stay "{}" and "[]".
std::string indentedJson(std::string_view json, int width);

}  // namespace ipc
