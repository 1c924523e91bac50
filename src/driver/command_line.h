// Switch parsing, kept free of output so that every rule can be tested alone.
#pragma once

#include <cstdint>

#include "run/run_options.h"

namespace travek {

enum class SwitchFault {
  kNone,
  kInvalidPort,
  kBadOffset,
  kBadAddress,
  kInvalidSwitch,
  kInvalidFormat,
};

struct SwitchVerdict {
  SwitchFault fault;
  char* echo;  // the part of the argument a fault message shows
};

// Applies one argument that begins with '-' to the options. The switches
// of the original tool are matched by prefix in its own order, so none of
// the later ones may begin with "-com", "-o:", "-a:" or "-s"; the later
// ones that take no value must be given whole. A -ports: list is split in
// place, its names pointing into the argument.
SwitchVerdict parse_switch(char* arg, RunOptions* options);

// True when the argument is the -json switch (any case): standard output is
// then decided before anything is written, the banner included.
bool is_events_switch(const char* arg);

// True when each station's own run, in a run of many, is given the
// argument as typed: the file and the switches that shape a station's run.
// The ports, the log, the events and the batches are the run of many's.
bool is_station_argument(const char* arg);

// Reads a switch's number as strtol gives it with a 32-bit long: base 0,
// trailing text ignored, negative values taken as their 32-bit pattern.
// False when the value does not fit such a long: strtol would clamp it, and
// a clamped offset or address is not what was typed.
bool read_number(const char* text, uint32_t* value);

}  // namespace travek
