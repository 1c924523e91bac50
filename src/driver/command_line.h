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

// Reads a switch's number as strtol gives it with a 32-bit long: base 0,
// trailing text ignored, negative values taken as their 32-bit pattern.
// False when the value does not fit such a long: strtol would clamp it, and
// a clamped offset or address is not what was typed.
bool read_number(const char* text, uint32_t* value);

}  // namespace travek
