// POSIX sockets for the network port: a non-blocking TCP socket, its waits
// on the monotonic clock through link/deadline_posix.h.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/messages.h"
#include "console/console.h"
#include "link/deadline_posix.h"
#include "link/socket.h"

namespace travek {
namespace {

int connection = -1;

// The reason for an errno; 0 is the server's own ending of the connection.
void say(char* reason, size_t size, int err) {
  const char* text = err == 0           ? msg::kNetClosed
                     : err == ETIMEDOUT ? msg::kNetTimedOut
                                        : std::strerror(err);
  std::snprintf(reason, size, "%s", text);
}

// One address, within the deadline: 0 connected, else the errno.
int connect_one(const addrinfo* address, int64_t deadline_ns) {
  const int fd = ::socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                          address->ai_protocol);
  if (fd < 0) return errno;
  int err = 0;
  if (::connect(fd, address->ai_addr, address->ai_addrlen) != 0) err = errno;
  while (err == EINPROGRESS || err == EINTR) {
    const int64_t left = deadline_ns - monotonic_ns();
    if (left <= 0) {
      err = ETIMEDOUT;
      break;
    }
    const int r = poll_fd(fd, POLLOUT, left);
    if (r == kPollNothing) continue;
    if (r == kPollFailed) {
      err = errno;
      continue;
    }
    socklen_t length = sizeof(err);
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &length) != 0) err = errno;
    if (r == kPollHungUp && err == 0) err = ECONNREFUSED;
  }
  const int on = 1;
  if (err == 0 && setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) != 0) err = errno;
  if (err != 0) {
    ::close(fd);
    return err;
  }
  connection = fd;
  return 0;
}

}  // namespace

bool socket_connect(const char* host, const char* port, uint32_t limit_ms, char* reason,
                    size_t reason_size) {
  const int64_t deadline = deadline_after(limit_ms);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const int looked_up = getaddrinfo(host, port, &hints, &found);
  if (looked_up != 0) {
    std::snprintf(reason, reason_size, "%s",
                  looked_up == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(looked_up));
    return false;
  }
  int err = ENOENT;
  for (const addrinfo* a = found; a != nullptr && connection < 0; a = a->ai_next) {
    err = connect_one(a, deadline);
    if (err == ETIMEDOUT) break;
  }
  freeaddrinfo(found);
  if (connection < 0) say(reason, reason_size, err);
  return connection >= 0;
}

bool socket_is_open() { return connection >= 0; }

void socket_close() {
  if (connection < 0) return;
  ::close(connection);
  connection = -1;
}

long socket_receive(uint8_t* dest, size_t max, char* reason, size_t reason_size) {
  for (;;) {
    const ssize_t n = ::recv(connection, dest, max, 0);
    if (n > 0) return static_cast<long>(n);
    const int err = n == 0 ? 0 : errno;
    if (err == EINTR) {
      con_honour_end_request();
      continue;
    }
    if (err == EAGAIN || err == EWOULDBLOCK) return 0;
    // Reset or closed, the server has ended the connection either way.
    say(reason, reason_size, err == ECONNRESET ? 0 : err);
    return -1;
  }
}

long socket_send(const uint8_t* data, size_t n, char* reason, size_t reason_size) {
  for (;;) {
    const ssize_t sent = ::send(connection, data, n, MSG_NOSIGNAL);
    if (sent >= 0) return static_cast<long>(sent);
    if (errno == EINTR) {
      con_honour_end_request();
      continue;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    say(reason, reason_size, errno);
    return -1;
  }
}

SocketWatch socket_watch(uint32_t ms) { return SocketWatch{deadline_after(ms), 0}; }

bool socket_wait_readable(SocketWatch* watch) {
  Watch w{watch->deadline_ns, watch->held_up_ns};
  bool passed = false;
  const int r = watch_fd(connection, &w, &passed);
  watch->deadline_ns = w.deadline_ns;
  watch->held_up_ns = w.held_up_ns;
  // A hang-up or a failed poll: the next receive tells which.
  return !passed && r != kPollFailed;
}

bool socket_wait_writable(const SocketWatch& watch) {
  const int64_t left = watch.deadline_ns - monotonic_ns();
  return left > 0 && poll_fd(connection, POLLOUT, left) != kPollFailed;
}

}  // namespace travek
