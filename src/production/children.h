// The runs of a run of many: one child process per station, each the tool
// itself with its own port, talking JSON Lines events on its standard
// output. The protocol code never knows it runs as a child.
//
// Principles of operation:
//  - A child's standard input, output and error are pipes of the parent's:
//    keys go in, events and the operating system's reasons come out.
//  - Children take no terminal signals: they are not in the terminal's
//    foreground group (POSIX) or console (Windows) for Ctrl+C to reach; the
//    parent decides for all of them.
//  - One wait covers every child: it returns when any child has written,
//    ended, or the time is up; nothing polls in a busy loop.
//  - A child is ended only when its process has exited and both of its
//    output pipes have been read to their end, so no last line is lost.
//
// One back end per platform (children_posix.cc, children_win32.cc).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace travek {

struct ChildEnd {
  bool ended = false;
  int status = 0;  // the exit status, when it exited
  int signal = 0;  // the signal that ended it, if one did (POSIX)
};

// Starts child index (0 .. MAX_PORTS-1) as this program with these
// arguments (without the program's own name). What it writes on its
// standard output and error is appended, as each wait reads it, to output
// and errors, which must outlive the child. False, with the reason on
// standard error, if it cannot be started.
bool child_start(int index, const std::vector<std::string>& args, std::string* output,
                 std::string* errors);
// Writes bytes to the child's standard input; a child that has gone is
// ignored.
void child_send(int index, const char* bytes, size_t length);
// Closes the child's standard input: it reads the end of input.
void child_close_input(int index);
// Waits up to wait_ms for any child to write or end.
void children_wait(int wait_ms);
ChildEnd child_end(int index);
// Asks the child to end (SIGTERM; on Windows, ends its process).
void child_stop(int index);
// Ends the child at once (SIGKILL, TerminateProcess).
void child_kill(int index);
// Forgets every child, closing what is left of them.
void children_reset();

}  // namespace travek
