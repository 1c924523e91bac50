// The runs of a run of many: one child process per station, each the tool
// itself with its own port, talking JSON Lines events on its standard
// output. The protocol code never knows it runs as a child.
//
// Principles of operation:
//  - A child is one of the processes of process/process.h: its standard
//    input, output and error are pipes of the parent's (keys go in, events
//    and the operating system's reasons come out); it takes no terminal
//    signals, the parent decides for all of them; one wait covers every
//    child; a child has ended once its process has and its output is read.
//
// One back end for both platforms (children.cc, over the process
// launcher) and one for the virtual-time test line; the build selects it.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "process/process.h"
#include "run/run_options.h"

namespace travek {

struct ChildEnd {
  bool ended = false;
  int status = 0;  // the exit status, when it exited
  int signal = 0;  // the signal that ended it, if one did (POSIX)
};

// The children of a run of many, by index (0 .. MAX_PORTS-1).
struct ChildSet {
  std::unique_ptr<Process> at[MAX_PORTS];
  std::string* output[MAX_PORTS] = {};  // the caller's, where each wait appends
  std::string* errors[MAX_PORTS] = {};
};

// Starts child index as this program with these arguments (without the
// program's own name). What it writes on its standard output and error is
// appended, as each wait reads it, to output and errors, which must outlive
// the child. False, with the reason on standard error, if it cannot be
// started.
bool child_start(ChildSet& set, int index, const std::vector<std::string>& args,
                 std::string* output, std::string* errors);
// Writes bytes to the child's standard input; a child that has gone is
// ignored.
void child_send(ChildSet& set, int index, const char* bytes, size_t length);
// Closes the child's standard input: it reads the end of input.
void child_close_input(ChildSet& set, int index);
// Waits up to wait_ms for any child to write or end.
void children_wait(ChildSet& set, int wait_ms);
ChildEnd child_end(const ChildSet& set, int index);
// Asks the child to end (SIGTERM; on Windows, ends its process).
void child_stop(ChildSet& set, int index);
// Ends the child at once (SIGKILL, TerminateProcess).
void child_kill(ChildSet& set, int index);
// Forgets every child, killing and closing what is left of them.
void children_reset(ChildSet& set);

}  // namespace travek
