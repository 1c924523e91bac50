// The run log: a file of JSON Lines to which each run appends its record.
//
// Principles of operation:
//  - Opened for appending, created (mode 0644 on POSIX) when missing, never
//    truncated; opened once for all the runs of a process.
//  - A record goes in with one write, under an exclusive lock on the file,
//    so the records of tool instances writing at once never interleave; it
//    is then flushed to stable storage before the call returns.
//  - A write that fails (a full disk) leaves the file as it was: whatever
//    part of the record went in is cut off again, so earlier records stay
//    whole and no half line is left for the next one to join.
//
// One back end per platform (run_log_posix.cc, run_log_win32.cc).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace travek {

struct RunLog {
  std::string path;
  intptr_t handle = -1;  // the platform's: a descriptor, or a HANDLE
};

// False when it cannot be opened; the reason is on standard error.
bool run_log_open(RunLog& log, const char* path);
bool run_log_is_open(const RunLog& log);
// Appends the line and a line feed. False when that failed, with the
// operating system's reason in reason.
bool run_log_append(RunLog& log, const char* line, size_t length, char* reason, size_t reason_size);
void run_log_close(RunLog& log);

}  // namespace travek
