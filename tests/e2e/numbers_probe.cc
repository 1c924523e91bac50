// A small program around the numbers file and the numbers command, for the
// tests that need processes of their own: several takers at once, a taker
// killed at any moment, a command running when a termination request comes.
//
//   numbers_probe take FILE COUNT
//     takes COUNT numbers, each written as a line the moment it is taken
//     (one write, before the next is asked for); on anything but a number
//     it writes "fault TAKING REASON" and ends with status 1.
//   numbers_probe command LIMIT_MS PORT SHA256 COMMAND
//     draws a number with termination requests held as a run holds them,
//     and writes "number N" or "failed WHAT". A request ends it with
//     "ended SIGNAL", the command killed, and status 255.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "console/console.h"
#include "numbers/number_command.h"
#include "numbers/numbers_store.h"

namespace {

void write_line(const std::string& line) {
  const std::string text = line + "\n";
  if (::write(STDOUT_FILENO, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    std::_Exit(3);
  }
}

int take(const char* path, long count) {
  for (long i = 0; i < count; ++i) {
    const travek::NumbersResult r = travek::numbers_take(path);
    if (r.taking != travek::NumbersTaking::kOk) {
      write_line("fault " + std::to_string(static_cast<int>(r.taking)) + " " + r.reason);
      return 1;
    }
    write_line(std::to_string(r.number));
  }
  return 0;
}

[[noreturn]] void end_now() { std::_Exit(255); }

int command(int limit_ms, const char* port, const char* sha256, const char* command) {
  travek::console_setup(nullptr, end_now, false);
  travek::console_defer_end_requests();
  uint64_t number = 0;
  char what[512];
  try {
    if (travek::number_from_command(command, port, sha256, limit_ms, &number, what, sizeof(what))) {
      write_line("number " + std::to_string(number));
    } else {
      write_line(std::string("failed ") + what);
    }
  } catch (const travek::EndRequested& request) {
    write_line(std::string("ended ") + request.signal_name);
    return 255;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "take") == 0) {
    return take(argv[2], std::strtol(argv[3], nullptr, 10));
  }
  if (argc == 6 && std::strcmp(argv[1], "command") == 0) {
    return command(std::atoi(argv[2]), argv[3], argv[4], argv[5]);
  }
  std::fprintf(stderr,
               "usage: numbers_probe take FILE COUNT | command LIMIT_MS PORT SHA COMMAND\n");
  return 2;
}
