// What a run of the numbers command gave: its number, or one English line
// of what it did instead. The same on both platforms; pure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace travek {

enum class CommandEnding { kExited, kSignal, kTimedOut };

struct CommandRun {
  CommandEnding ending;
  unsigned long code;       // the exit status, or the signal's number
  const char* signal_name;  // with kSignal: its description ("Killed")
  int limit_ms;             // with kTimedOut
  std::string output;       // the start of what it wrote on standard output
  std::string errors;       // and on standard error
};

// True with *number when the command exited with status 0 and the first
// line of its output is a decimal number alone (spaces, tabs and a CR
// around it allowed). Otherwise false, with what it did in `what`: its
// status or signal, the time limit, or the line it printed (printable
// ASCII, quoted, cut short), and the first line of its error output.
bool judge_command(const CommandRun& run, uint64_t* number, char* what, size_t what_size);

}  // namespace travek
