// Windows: the system's English text for an error code, without the line
// break it ends with.
#pragma once

#include <cstddef>

namespace travek {

void system_reason(unsigned long error, char* out, size_t size);

}  // namespace travek
