// Switch parsing, kept free of output so that every rule can be tested alone.
#pragma once

#include <cstdint>

#include "run/run_options.h"

namespace travek {

enum class SwitchFault { kNone, kInvalidPort, kBadOffset, kBadAddress, kInvalidSwitch };

struct SwitchVerdict {
  SwitchFault fault;
  char* echo;  // the part of the argument a fault message shows
};

// Applies one argument that begins with '-' to the options.
SwitchVerdict parse_switch(char* arg, RunOptions* options);

// strtol in base 0 as a 32-bit long would give it: out-of-range values
// saturate instead of wrapping, so 0x100000000 is never read as 0.
int32_t strtol32(const char* text);

}  // namespace travek
