// Strict UTF-8 validation for text taken from the kernel or other processes.
#pragma once

#include "platform/Utf8.h"

namespace model {

using platform::isValidUtf8;

}  // namespace model
