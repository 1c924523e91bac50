// TCP on 127.0.0.1 for the test's own servers: addresses, listeners at a
// port the system picks, and a port nothing listens on.
#pragma once

#include <netinet/in.h>

namespace e2e {

sockaddr_in loopback_address(int port);

// A socket bound to 127.0.0.1 at a free port, listening with `backlog`
// unless it is negative. fd -1 and port 0 when any step fails, so the test
// fails where it uses it.
struct LoopbackSocket {
  int fd = -1;
  int port = 0;
};
LoopbackSocket loopback_socket(int backlog);

// A TCP port on 127.0.0.1 that nothing listens on just now.
int free_loopback_port();

}  // namespace e2e
