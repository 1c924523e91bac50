// A small program around the numbers file, for the tests that need
// processes of their own: several takers at once, a taker killed at any
// moment.
//
//   numbers_probe take FILE COUNT
//     takes COUNT numbers, each written as a line the moment it is taken
//     (one write, before the next is asked for); on anything but a number
//     it writes "fault TAKING REASON" and ends with status 1.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "take") == 0) {
    return take(argv[2], std::strtol(argv[3], nullptr, 10));
  }
  std::fprintf(stderr, "usage: numbers_probe take FILE COUNT\n");
  return 2;
}
