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
// A file that places its data itself (Intel HEX, S-record): the station
// address of the data buffer's first byte.
extern bool data_placed;
extern uint32_t data_low_address;
// The SHA-256 of the whole input file in hex, where the run needs it;
// empty otherwise.
extern char input_sha256[65];

// Back to the state of a fresh process: exit code -1, default options, an
// empty zero-filled data buffer.
void reset_run_state();

// Closes the port, completes the run's record, asks for a key (not when a
// program reads the run's events) and ends the process with exit_code, or
// with 255 when the record could not be written.
[[noreturn]] void terminate();

// A termination request (SIGTERM, SIGHUP) held for a run that keeps a
// record: the port goes, the record says so, and the run ends with 255.
[[noreturn]] void end_by_request(const char* signal_name);

}  // namespace travek
