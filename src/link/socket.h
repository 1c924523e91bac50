// The network port's TCP connection: one at a time, non-blocking, every
// wait bounded by a deadline. One back end per platform (socket_posix.cc:
// POSIX sockets, waits through wait_for() with the serial device's hold-up
// allowance; socket_win32.cc: Winsock 2).
//
// Principles of operation:
//  - Sending and receiving never block: they take or give what the
//    connection can at once, and the waits say when to try again.
//  - Small writes go out at once (no Nagle delay): the link's timing rules
//    are about single bytes as much as about blocks.
//  - A failure gives its reason as one English line for standard error.
#pragma once

#include <cstddef>
#include <cstdint>

namespace travek {

// Connects to host:port (a name or an address; the port in decimal) within
// limit_ms. False with the reason in reason.
bool socket_connect(const char* host, const char* port, uint32_t limit_ms, char* reason,
                    size_t reason_size);
bool socket_is_open();
// Safe in a signal handler: it only closes.
void socket_close();

// What the connection has now, up to max: the count, 0 when nothing has
// come, -1 when the far end has closed it or it failed (the reason in
// reason).
long socket_receive(uint8_t* dest, size_t max, char* reason, size_t reason_size);
// What the connection takes now: the count, possibly 0; -1 when it failed.
long socket_send(const uint8_t* data, size_t n, char* reason, size_t reason_size);

// A wait's deadline, with what the platform adds back for a held-up
// machine.
struct SocketWatch {
  int64_t deadline_ns;
  int64_t held_up_ns;
};
SocketWatch socket_watch(uint32_t ms);
// Waits until there may be something to receive (true: look), or the
// deadline has passed (false). Looks are short: the caller loops.
bool socket_wait_readable(SocketWatch* watch);
// Waits until the connection may take more (true), or the deadline has
// passed (false).
bool socket_wait_writable(const SocketWatch& watch);

}  // namespace travek
