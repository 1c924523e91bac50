// Other processes the tool starts: each station's own run in a run of many,
// and a numbers file's command. One launcher per platform
// (process_posix.cc, process_win32.cc) serves both.
//
// Principles of operation:
//  - A process starts with its arguments and the tool's environment (with
//    any variables the caller sets on top), its standard input a pipe of
//    ours or empty, and its standard output and error pipes that we read.
//  - It runs in a process group (a job on Windows) of its own: no key or
//    terminal signal reaches it, and killing it kills everything it
//    started.
//  - One wait covers any number of processes: it returns when any of them
//    has written or ended, or the time is up; nothing polls in a busy loop.
//    On POSIX it is a wait_for(), so a termination request held meanwhile
//    is thrown from it.
//  - A process has ended once it has exited; what it wrote before is read
//    then, to the last byte, whatever it left running still holds.
//  - A Process that goes out of scope with its process still running (a
//    run unwinding) kills it, with everything it started, and reaps it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace travek {

struct ProcessLaunch {
  // The tool's own executable with these arguments; or, with shell, the
  // system's shell (/bin/sh -c, cmd.exe /d /s /c) running command.
  std::vector<std::string> args;
  bool shell = false;
  std::string command;
  // Windows: the arguments are UTF-8, not the system's code page.
  bool utf8 = false;
  std::vector<std::pair<std::string, std::string>> environment;  // set on top of ours
  bool input_pipe = false;  // standard input a pipe of ours; otherwise empty
  size_t keep = SIZE_MAX;   // bytes of each output stream kept
  // Killed as well when the tool is ended from outside at once.
  bool dies_with_tool = false;
};

struct Process {
  Process() = default;
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // The platform's handles: the process, its pipes, and a way to wait for
  // its end (a pidfd; the job on Windows).
  intptr_t pid = -1;
  intptr_t waiter = -1;
  intptr_t in = -1;
  intptr_t out = -1;
  intptr_t err = -1;
  size_t keep = SIZE_MAX;
  std::string output;  // what it has written, as far as read
  std::string errors;
  bool ended = false;
  int status = 0;  // its exit status, when it exited
  int signal = 0;  // the signal that ended it, if one did (POSIX)
};

// Starts the process; false with the operating system's reason in reason.
bool process_start(Process& process, const ProcessLaunch& launch, std::string* reason);
// Writes bytes to its standard input; one that has stopped reading is
// ignored.
void process_send(Process& process, const char* bytes, size_t length);
// Closes its standard input: it reads the end of input.
void process_close_input(Process& process);
// Waits up to wait_ms for any of them to write or end, and reads what they
// wrote.
void processes_wait(Process* const* processes, size_t count, int wait_ms);
// Asks it to end (SIGTERM; on Windows, it is ended at once).
void process_stop(Process& process);
// Ends it at once, with everything it started.
void process_kill(Process& process);

// Kills every process started to die with the tool: safe in a signal
// handler.
void processes_kill_dying_with_tool();

// A monotonic millisecond count for the callers' time limits.
int64_t process_clock_ms();

// What the signal that ended a process is called ("Killed"); POSIX only.
const char* process_signal_name(int signal);

}  // namespace travek
