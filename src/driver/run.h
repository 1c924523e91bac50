// The program's entry, its process-wide data, and the one way it ends.
#pragma once

#include <cstdint>

#include "common/constants.h"
#include "driver/run_options.h"

namespace travek {

// -1 until a normal end sets it to 0.
extern int32_t exit_code;
extern RunOptions run_options;
// The loaded part of the input file; bytes past data_length read as zero.
extern uint8_t data_buffer[DATA_BUFFER_SIZE];
extern uint32_t data_length;

// Closes the port, asks for a key and ends the process with exit_code.
[[noreturn]] void terminate();

// The whole run: console, banner, switches, port, file, mode, end.
[[noreturn]] void run_program(int argc, char** argv);

}  // namespace travek
