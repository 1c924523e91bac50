#include "loopback.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace e2e {

sockaddr_in loopback_address(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  return address;
}

LoopbackSocket loopback_socket(int backlog) {
  LoopbackSocket s;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return s;
  sockaddr_in address = loopback_address(0);
  socklen_t length = sizeof(address);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      (backlog >= 0 && listen(fd, backlog) != 0) ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    return s;
  }
  s.fd = fd;
  s.port = ntohs(address.sin_port);
  return s;
}

int free_loopback_port() {
  const LoopbackSocket s = loopback_socket(-1);
  if (s.fd >= 0) close(s.fd);
  return s.port;
}

}  // namespace e2e
