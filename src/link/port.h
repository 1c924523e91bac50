// Platform primitives under the serial link. Each back end (POSIX, Win32 and
// the virtual-time test line) implements these; serial_link.cc builds the
// link procedures on them, so their sequencing and bookkeeping exist once.
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
// Writes all bytes and returns when they are sent. Returns the count written.
uint32_t port_write(const uint8_t* data, uint32_t n);
// Sends one byte at once, ahead of anything queued.
void port_send_now(uint8_t byte);

// A 32-bit millisecond count of a monotonic clock.
uint32_t port_clock_ms();
// One turn of a busy wait (lets a virtual clock move on).
void port_clock_spin();

}  // namespace travek
