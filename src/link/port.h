// Primitives under the serial link; serial_link.cc builds the link
// procedures on them, so their sequencing and bookkeeping exist once. The
// port's operations are forwarded to the transport its name chose
// (port_dispatch.cc, link/port_interface.h): the platform's serial device
// (POSIX, Win32 or the virtual-time test line, chosen by the build) or a
// network port. The clock, the sleep and the -com# names are the
// platform's own.
// Failures that come from the operating system also write their reason to
// standard error (con_diagnostic); the callers decide what the user sees.
#pragma once

#include <cstdint>

namespace travek {

// The device for the -com1..-com4 switches.
const char* port_name_for_digit(char digit);

// Opens the port for exclusive use; false if it is missing or held elsewhere.
bool port_open(const char* name);
bool port_is_open();
void port_close();

// Reads the port's settings into the kept record, sets a raw line (8 data bits,
// no parity, DTR on, RTS off, no flow control) at the rate and stop bits,
// applies it and sizes the driver queues.
bool port_configure(uint32_t rate, int data_bits, int stop_bits);
// Changes rate and stop bits in the kept record and applies it.
bool port_set_line(uint32_t rate, int stop_bits);

// Raises or drops RTS. True also on a device without modem-control lines,
// where there is nothing to do.
bool port_set_rts(bool on);
// Fetches and clears the line error state (a CE_* mask).
bool port_clear_errors(uint32_t* mask);
// Discards both driver queues.
bool port_purge();

// Reads up to n bytes into dest, returning when n have arrived or total_ms
// after the call. Returns the count.
uint32_t port_read_exact(uint8_t* dest, uint32_t n, uint32_t total_ms);
// Returns at once with what is queued (up to max); with nothing queued waits
// up to first_ms for the first byte. Returns the count.
uint32_t port_read_available(uint8_t* dest, uint32_t max, uint32_t first_ms);
// Writes all bytes and waits until they are sent, for at most limit_ms.
// True when all went out in time; *written is the count the driver took.
bool port_write(const uint8_t* data, uint32_t n, uint32_t limit_ms, uint32_t* written);
// Sends one byte at once, ahead of anything queued; false if the driver has
// not taken it within limit_ms.
bool port_send_now(uint8_t byte, uint32_t limit_ms);

// True once the device has gone: hung up, pulled out, or failing every call.
// From then on reads and writes return at once with nothing done, and the
// error queries report no errors; the other calls fail. Nothing more is
// written to standard error.
bool port_lost();

// A 32-bit millisecond count of a monotonic clock.
uint32_t port_clock_ms();
// Sleeps until port_clock_ms() has moved on by at least ms.
void port_sleep_ms(uint32_t ms);

}  // namespace travek
