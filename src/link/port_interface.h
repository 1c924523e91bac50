// The transports under the link's primitives (link/port.h): each is one
// constant table of the same operations, and port_dispatch.cc forwards every
// primitive to the one that opened the port.
//
// Principles of operation:
//  - The port's name alone chooses the transport, when it is opened: the
//    first transport whose name test accepts the name takes it. A network
//    port (rfc2217://HOST:PORT) is tried first; the platform's serial
//    device, chosen by the build (port_posix.cc, port_win32.cc, or the
//    virtual-time test line), accepts every other name.
//  - Every transport keeps the primitives' rules as port.h states them:
//    the same deadlines, the same meaning of a lost port, the same
//    diagnostics on standard error. The link above never learns which one
//    it has.
//  - One port at a time: the choice stands until the next open.
#pragma once

#include <cstdint>

namespace travek {

struct PortInterface {
  bool (*accepts)(const char* name);
  bool (*open)(const char* name);
  bool (*is_open)();
  void (*close)();  // safe in a signal handler: it only closes
  bool (*configure)(uint32_t rate, int data_bits, int stop_bits);
  bool (*set_line)(uint32_t rate, int stop_bits);
  bool (*set_rts)(bool on);
  bool (*clear_errors)(uint32_t* mask);
  bool (*purge)();
  uint32_t (*read_exact)(uint8_t* dest, uint32_t n, uint32_t total_ms);
  uint32_t (*read_available)(uint8_t* dest, uint32_t max, uint32_t first_ms);
  bool (*write)(const uint8_t* data, uint32_t n, uint32_t limit_ms, uint32_t* written);
  bool (*send_now)(uint8_t byte, uint32_t limit_ms);
  bool (*lost)();
};

// The platform's serial device (the build links one); accepts any name.
extern const PortInterface kSerialDevice;
// A serial port behind a device server, over TCP with RFC 2217
// (network_port.cc); accepts rfc2217://HOST:PORT.
extern const PortInterface kNetworkPort;

}  // namespace travek
