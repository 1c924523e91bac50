// A small program around the numbers file and the numbers command, for the
// tests that need processes of their own: several takers at once, a taker
// killed at any moment, a command running when a termination request comes.
//
//   numbers_probe take FILE COUNT
//     takes COUNT numbers, each written as a line the moment it is taken
//     (one write, before the next is asked for); on anything but a number
//     it writes "fault TAKING REASON" and ends with status 1.
//   numbers_probe sets FILE COUNT
//     takes COUNT numbers each with its fields, each set written as one
//     line the moment it is taken: the number, then NAME=VALUE for each
//     field, a list's value as LINE:HEX (a test may see a list's values;
//     the tool never tells them). On anything but a set it writes
//     "fault TAKING FIELD LIST_LINE" and ends with status 1.
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

std::string set_line(const travek::NumbersResult& r) {
  std::string line = std::to_string(r.number);
  for (size_t i = 0; i < r.file.fields.size() && i < r.values.size(); ++i) {
    const travek::NumbersField& f = r.file.fields[i];
    line += " " + f.name + "=" + std::to_string(r.values[i].value);
    if (f.is_list) line += ":";
    for (uint8_t b : r.values[i].bytes) {
      line += "0123456789ABCDEF"[b >> 4];
      line += "0123456789ABCDEF"[b & 15];
    }
  }
  return line;
}

int take_sets(const char* path, long count) {
  for (long i = 0; i < count; ++i) {
    const travek::NumbersResult r = travek::numbers_take(path);
    if (r.taking != travek::NumbersTaking::kOk) {
      write_line("fault " + std::to_string(static_cast<int>(r.taking)) + " " + r.field + " " +
                 std::to_string(r.list_line));
      return 1;
    }
    write_line(set_line(r));
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
  if (argc == 4 && std::strcmp(argv[1], "sets") == 0) {
    return take_sets(argv[2], std::strtol(argv[3], nullptr, 10));
  }
  if (argc == 6 && std::strcmp(argv[1], "command") == 0) {
    return command(std::atoi(argv[2]), argv[3], argv[4], argv[5]);
  }
  std::fprintf(stderr,
               "usage: numbers_probe take FILE COUNT | sets FILE COUNT | command LIMIT_MS PORT SHA "
               "COMMAND\n");
  return 2;
}
