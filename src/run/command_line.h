// The command line, read once into the options, free of output so that every
// rule can be tested alone. The switches are one table (command_line.cc):
// each its prefix, what it sets, the failure a faulty value of it is and
// which part of the argument that failure shows, whether each station's run
// in a run of many gets it, whether only a raw binary has a meaning for it.
// An argument beginning with '-' is matched against the prefixes without
// regard to case, in the table's order, the first match winning; a switch
// given twice takes its last value. Any other argument is a file name: the
// files are opened as they are met, the last one is the input file. The
// first faulty switch ends the reading, but for -json, which decides how the
// fault is told.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "record/outcome.h"
#include "run/run_options.h"

namespace travek {

struct Arguments {
  std::vector<char*> files;       // the file names before the first fault, in order
  Outcome fault = outcome("ok");  // the first faulty switch's
  char* echo = nullptr;           // the part of that argument its message shows
  bool echo_typed = false;        // shown byte for byte, as typed
};

// Reads argv[1..argc-1] into the options. A -ports: list is split in place,
// its names pointing into the argument.
Arguments read_arguments(int argc, char** argv, RunOptions* options);

// Ends the run with the faulty switch's failure; only when there is one.
[[noreturn]] void fail_switch(const Arguments& arguments);

// What each station's own run is given in a run of many: the switches that
// shape a station's run, as typed, then the input file. The ports, the log,
// the events and the batches are the run of many's.
std::vector<std::string> station_arguments(const RunOptions& options);
// And what it is given of the run of many's own, spelled as the table
// spells them: events, its port, its batch (or, on an unattended line,
// that it is a port's of the line), and the log (each station writes its
// own record, so none is lost with the run of many).
std::vector<std::string> station_own_arguments(const RunOptions& options, const char* port,
                                               unsigned batch);

// The first switch given that only a raw binary has a meaning for, as typed;
// null when there is none. *prefix_length is the length of its prefix.
const char* binary_only_switch(const RunOptions& options, size_t* prefix_length);

// Reads a switch's number as strtol gives it with a 32-bit long: base 0,
// trailing text ignored, negative values taken as their 32-bit pattern.
// False when the value does not fit such a long: strtol would clamp it, and
// a clamped offset or address is not what was typed.
bool read_number(const char* text, uint32_t* value);

}  // namespace travek
