// The program's entry: console, banner, switches, port, file, mode, end.
// The driver alone decides that the process ends: every station's run,
// however it ends, unwinds to its one ending here, which gives the status.
#pragma once

namespace travek {

// Returns the status to end the process with.
int run_program(int argc, char** argv);

}  // namespace travek
