// The run's process-wide data and the one way it ends. Every procedure that
// finds a fault writes its message and calls terminate() from where it is.
#pragma once

#include <cstdint>

#include "common/constants.h"
#include "run/run_options.h"

namespace travek {

// -1 until a normal end sets it to 0.
extern int32_t exit_code;
extern RunOptions run_options;
// The loaded part of the input file; bytes past data_length read as zero.
extern uint8_t data_buffer[DATA_BUFFER_SIZE];
extern uint32_t data_length;

// Back to the state of a fresh process: exit code -1, default options, an
// empty zero-filled data buffer.
void reset_run_state();

// Closes the port, asks for a key and ends the process with exit_code.
[[noreturn]] void terminate();

}  // namespace travek
