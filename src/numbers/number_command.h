// A station's number drawn by the numbers file's command, for lines whose
// PCs share one sequence held in a database.
//
// Principles of operation:
//  - The command runs through the system's shell (POSIX /bin/sh -c,
//    Windows cmd.exe /c) with TRAVEK_PORT and TRAVEK_SHA256 added to the
//    tool's environment, standard input empty, and in a process group (a
//    job on Windows) of its own: no key or terminal signal reaches it.
//  - It has a time limit. A command still running then is killed with
//    everything it started.
//  - Its number is the first line of its standard output: a decimal number
//    alone, spaces and tabs around it allowed. A command that ends in any
//    other way than with status 0 gives no number, whatever it printed: a
//    sequence it failed to commit could give that number again.
//  - When it gives none, one English line says what it did, for standard
//    error: its exit status or signal, that it timed out, or what it
//    printed, with the first line of its own error output.
//  - It is one of the processes of process/process.h: a termination request
//    held meanwhile is thrown from its wait, and the command is killed as
//    the run unwinds; a tool ended at once from outside kills it too.
#pragma once

#include <cstddef>
#include <cstdint>

namespace travek {

// Runs the command for at most limit_ms. True with *number; false with
// what it did in what.
bool number_from_command(const char* command, const char* port, const char* sha256, int limit_ms,
                         uint64_t* number, char* what, size_t what_size);

}  // namespace travek
