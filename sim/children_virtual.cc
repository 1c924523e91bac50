// The virtual-time line runs one station in-process: there is no program
// to start as a child, so a run of many cannot begin here and says so.
#include <cstdio>

#include "production/children.h"

namespace travek {

bool child_start(int, const std::vector<std::string>&, std::string*, std::string*) {
  std::fprintf(stderr, "travek32: no child processes on the virtual line\n");
  return false;
}
void child_send(int, const char*, size_t) {}
void child_close_input(int) {}
void children_wait(int) {}
ChildEnd child_end(int) { return ChildEnd{true, 0, 0}; }
void child_stop(int) {}
void child_kill(int) {}
void children_reset() {}

}  // namespace travek
