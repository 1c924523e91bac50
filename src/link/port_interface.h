// The transports under the serial link: each is one
// constant table of the same operations; the link holds the one its port's
// name chose (port_dispatch.cc) and calls it.
//
// Principles of operation:
//  - The port's name alone chooses the transport, when it is opened: the
//    first transport whose name test accepts the name takes it. A network
//    port (rfc2217://HOST:PORT) is tried first; the platform's serial
//    device, chosen by the build (port_posix.cc, port_win32.cc, or the
//    virtual-time test line), accepts every other name.
//  - Every transport keeps the primitives' rules as the table states them:
//    the same deadlines, the same meaning of a lost port, the same
//    diagnostics on standard error. The link above never learns which one
//    it has.
//  - One port a process: each transport keeps its open port's state for
//    itself, where a signal handler can still close it.
#pragma once

#include <cstdint>

namespace travek {

// The primitives, which serial_link.cc builds the link procedures on, so
// that their sequencing and bookkeeping exist once. Failures that come from
// the operating system also write their reason to standard error
// (con_diagnostic); the callers decide what the user sees.
struct PortInterface {
  bool (*accepts)(const char* name);
  // Opens the port for exclusive use; false if it is missing or held
  // elsewhere.
  bool (*open)(const char* name);
  bool (*is_open)();
  // Closes the port if it is open; safe in a signal handler: it only closes.
  void (*close)();
  // Reads the port's settings into the kept record, sets a raw line (8 data
  // bits, no parity, DTR on, RTS off, no flow control) at the rate and stop
  // bits, applies it and sizes the driver queues.
  bool (*configure)(uint32_t rate, int data_bits, int stop_bits);
  // Changes rate and stop bits in the kept record and applies it.
  bool (*set_line)(uint32_t rate, int stop_bits);
  // Raises or drops RTS. True also on a device without modem-control lines,
  // where there is nothing to do.
  bool (*set_rts)(bool on);
  // Fetches and clears the line error state (a CE_* mask).
  bool (*clear_errors)(uint32_t* mask);
  // Discards both driver queues.
  bool (*purge)();
  // Reads up to n bytes into dest, returning when n have arrived or
  // total_ms after the call. Returns the count.
  uint32_t (*read_exact)(uint8_t* dest, uint32_t n, uint32_t total_ms);
  // Returns at once with what is queued (up to max); with nothing queued
  // waits up to first_ms for the first byte. Returns the count.
  uint32_t (*read_available)(uint8_t* dest, uint32_t max, uint32_t first_ms);
  // Writes all bytes and waits until they are sent, for at most limit_ms.
  // True when all went out in time; *written is the count the driver took.
  bool (*write)(const uint8_t* data, uint32_t n, uint32_t limit_ms, uint32_t* written);
  // Sends one byte at once, ahead of anything queued; false if the driver
  // has not taken it within limit_ms.
  bool (*send_now)(uint8_t byte, uint32_t limit_ms);
  // True once the device has gone: hung up, pulled out, or failing every
  // call. From then on reads and writes return at once with nothing done,
  // and the error queries report no errors; the other calls fail. Nothing
  // more is written to standard error.
  bool (*lost)();
};

// The platform's serial device (the build links one); accepts any name.
extern const PortInterface kSerialDevice;
// A serial port behind a device server, over TCP with RFC 2217
// (network_port.cc); accepts rfc2217://HOST:PORT.
extern const PortInterface kNetworkPort;

// The first transport whose name test accepts the name.
const PortInterface* transport_for(const char* name);

}  // namespace travek
