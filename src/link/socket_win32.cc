// Winsock 2 for the network port: a non-blocking TCP socket, its waits by
// select() against deadlines on the performance counter.
#include <cstdio>
#include <cstring>

#include "common/messages.h"
#include "common/system_reason.h"
#include "link/socket.h"

// After our own headers: <windows.h> defines the CE_* constants again, as
// macros. Winsock 2 must come before it.
#include <winsock2.h>
#include <ws2tcpip.h>
// (kept apart: the order matters)
#include <windows.h>

namespace travek {
namespace {

SOCKET connection = INVALID_SOCKET;
bool started = false;

// The reason for a Winsock error; 0 is the server's own ending of the
// connection.
void say(char* reason, size_t size, int error) {
  if (error == 0 || error == WSAETIMEDOUT) {
    std::snprintf(reason, size, "%s", error == 0 ? msg::kNetClosed : msg::kNetTimedOut);
  } else {
    system_reason(static_cast<unsigned long>(error), reason, size);
  }
}

int64_t now_ns() {
  LARGE_INTEGER count, frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  return static_cast<int64_t>(static_cast<double>(count.QuadPart) * 1e9 /
                              static_cast<double>(frequency.QuadPart));
}

// What select() waits for at most: the time left, in whole milliseconds up.
timeval left_of(int64_t deadline_ns) {
  const int64_t left = deadline_ns - now_ns();
  const long ms = left <= 0 ? 0 : static_cast<long>((left + 999999) / 1000000);
  return timeval{ms / 1000, (ms % 1000) * 1000};
}

// 1 ready, 2 in the failed set (a connection refused), 0 the time ran out,
// -1 select failed.
int wait_on(bool writable, int64_t deadline_ns) {
  fd_set ready, failed;
  FD_ZERO(&ready);
  FD_ZERO(&failed);
  FD_SET(connection, &ready);
  FD_SET(connection, &failed);
  timeval timeout = left_of(deadline_ns);
  const int r =
      select(0, writable ? nullptr : &ready, writable ? &ready : nullptr, &failed, &timeout);
  if (r == SOCKET_ERROR) return -1;
  if (r == 0) return 0;
  return FD_ISSET(connection, &failed) ? 2 : 1;
}

// One address, within the deadline: 0 connected, else the Winsock error.
int connect_one(const addrinfo* address, int64_t deadline_ns) {
  connection = socket(address->ai_family, address->ai_socktype, address->ai_protocol);
  if (connection == INVALID_SOCKET) return WSAGetLastError();
  u_long non_blocking = 1;
  int error = 0;
  if (ioctlsocket(connection, FIONBIO, &non_blocking) != 0 ||
      connect(connection, address->ai_addr, static_cast<int>(address->ai_addrlen)) != 0) {
    error = WSAGetLastError();
  }
  if (error == WSAEWOULDBLOCK) {
    const int r = wait_on(true, deadline_ns);
    error = r < 0 ? WSAGetLastError() : r == 0 ? WSAETIMEDOUT : 0;
    int length = sizeof(error);
    if (r == 2 && (getsockopt(connection, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                              &length) != 0 ||
                   error == 0)) {
      error = WSAECONNREFUSED;
    }
  }
  const BOOL on = TRUE;
  if (error == 0 && setsockopt(connection, IPPROTO_TCP, TCP_NODELAY,
                               reinterpret_cast<const char*>(&on), sizeof(on)) != 0) {
    error = WSAGetLastError();
  }
  if (error != 0) {
    closesocket(connection);
    connection = INVALID_SOCKET;
  }
  return error;
}

}  // namespace

bool socket_connect(const char* host, const char* port, uint32_t limit_ms, char* reason,
                    size_t reason_size) {
  // Millisecond waits and clock, as for a serial port.
  timeBeginPeriod(1);
  const int64_t deadline = now_ns() + static_cast<int64_t>(limit_ms) * 1000000;
  WSADATA data;
  int error = started ? 0 : WSAStartup(MAKEWORD(2, 2), &data);
  started = error == 0;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  if (error == 0) error = getaddrinfo(host, port, &hints, &found);
  for (const addrinfo* a = found; a != nullptr && connection == INVALID_SOCKET; a = a->ai_next) {
    error = connect_one(a, deadline);
    if (error == WSAETIMEDOUT) break;
  }
  if (found != nullptr) freeaddrinfo(found);
  if (connection != INVALID_SOCKET) return true;
  say(reason, reason_size, error);
  timeEndPeriod(1);
  return false;
}

bool socket_is_open() { return connection != INVALID_SOCKET; }

void socket_close() {
  if (connection == INVALID_SOCKET) return;
  closesocket(connection);
  connection = INVALID_SOCKET;
  timeEndPeriod(1);
}

long socket_receive(uint8_t* dest, size_t max, char* reason, size_t reason_size) {
  const int n = recv(connection, reinterpret_cast<char*>(dest), static_cast<int>(max), 0);
  if (n > 0) return n;
  const int error = n == 0 ? 0 : WSAGetLastError();
  if (error == WSAEWOULDBLOCK) return 0;
  // Reset or closed, the server has ended the connection either way.
  say(reason, reason_size, error == WSAECONNRESET ? 0 : error);
  return -1;
}

long socket_send(const uint8_t* data, size_t n, char* reason, size_t reason_size) {
  const int sent = send(connection, reinterpret_cast<const char*>(data), static_cast<int>(n), 0);
  if (sent >= 0) return sent;
  const int error = WSAGetLastError();
  if (error == WSAEWOULDBLOCK) return 0;
  say(reason, reason_size, error);
  return -1;
}

SocketWatch socket_watch(uint32_t ms) {
  return SocketWatch{now_ns() + static_cast<int64_t>(ms) * 1000000, 0};
}

bool socket_wait_readable(SocketWatch* watch) {
  return watch->deadline_ns - now_ns() > 0 && wait_on(false, watch->deadline_ns) >= 0;
}

bool socket_wait_writable(const SocketWatch& watch) {
  return watch.deadline_ns - now_ns() > 0 && wait_on(true, watch.deadline_ns) >= 0;
}

}  // namespace travek
