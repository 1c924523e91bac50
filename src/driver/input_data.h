// The input file read into the run's data: a raw binary from its offset, or
// a HEX or S-record file placed by its addresses; and the file's digest when
// the run needs it. Every fault writes its message and ends the run.
#pragma once

#include "driver/input_file.h"
#include "formats/image_format.h"
#include "run/run_options.h"
#include "run/station_run.h"

namespace travek {

// By the switch, or else by the file's first bytes; ends the run when a
// switch the format leaves no meaning to was given.
ImageFormat choose_format(const RunOptions& options, const InputFile& input);

// Reads the open input file into data (as the options' format and offset
// say) and closes it; digest: also its SHA-256, from its first byte.
void read_input(const RunOptions& options, InputFile& input, bool digest, RunData& data);

}  // namespace travek
