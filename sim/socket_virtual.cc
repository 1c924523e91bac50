// The sockets of the virtual-time build: its line has no network, so a
// network port name finds no server there. The network port is tested
// against a real server end to end (tests/e2e/network_e2e_test.cc).
#include <cstdio>

#include "link/socket.h"

namespace travek {

bool socket_connect(const char*, const char*, uint32_t, char* reason, size_t reason_size) {
  std::snprintf(reason, reason_size, "%s", "no network on the virtual-time line");
  return false;
}
bool socket_is_open() { return false; }
void socket_close() {}
long socket_receive(uint8_t*, size_t, char*, size_t) { return -1; }
long socket_send(const uint8_t*, size_t, char*, size_t) { return -1; }
SocketWatch socket_watch(uint32_t) { return SocketWatch{0, 0}; }
bool socket_wait_readable(SocketWatch*) { return false; }
bool socket_wait_writable(const SocketWatch&) { return false; }

}  // namespace travek
