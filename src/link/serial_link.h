// The serial link: everything done on the serial port, and the millisecond
// clock and delay that the protocol timing rests on. All operations block
// and run on the one thread.
//
// Principles of operation:
//  - Every wait ends by its own deadline on a monotonic clock, and sleeps
//    until then: nothing polls in a loop.
//  - A write has a deadline too: the bytes' own line time plus one second.
//    A write that misses it (a port whose reader has stalled) reports
//    failure, and its caller ends the step as if the station had gone
//    silent.
//  - A port that hangs up or fails (a USB adapter pulled out) is told once
//    on standard error; from then on every read waits out its time asleep
//    and finds nothing, so each step ends with its own silence message.
#pragma once

#include <cstdint>

#include "common/constants.h"

namespace travek {

struct PortInterface;

// One port's link, from its opening to its closing: the driver makes it and
// hands it to every step of every station's run on that port.
struct SerialLink {
  // Both reads place received bytes here; page batches are built here too.
  uint8_t buffer[LINK_BLOCK] = {};
  // Bytes moved by the most recent read or write.
  uint32_t last_count = 0;
  // Mask from the most recent line_errors().
  uint32_t last_errors = 0;
  // The line as last set: bit/s and stop bits (8 data bits, no parity).
  uint32_t rate = 9600;
  int stop_bits = 1;
  // The loss of the port has been told.
  bool loss_told = false;
  char name[256] = {};
  // The transport the port's name chose when it was opened.
  const PortInterface* transport = nullptr;
};

bool open_port(SerialLink& link, const char* name);
// Closes the port if it is open.
void close_port(SerialLink& link);
// Closes whatever port is open, whichever transport holds it: safe in a
// signal handler, for a process ended from outside.
void close_every_port();

// Configures the line and ends with the reset pulse.
bool configure_port(SerialLink& link, uint32_t rate, int data_bits, int stop_bits);
void set_line(SerialLink& link, uint32_t rate, int stop_bits);
// RTS high for just over 5 ms, then low; errors cleared after each edge;
// both queues emptied, so nothing from before the pulse survives it.
bool reset_pulse(SerialLink& link);
// Both queues emptied, without a pulse.
bool purge(SerialLink& link);
// True once the port has gone (told once on standard error).
bool port_lost(SerialLink& link);
// A port that has gone, opened and configured again as the first opening
// did, but without the pulse, which would reset the station on the line.
bool reopen_port(SerialLink& link);
uint32_t line_errors(SerialLink& link);

// True only when exactly n bytes arrived within total_ms.
bool read_exact(SerialLink& link, uint32_t n, uint32_t total_ms);
// True when at least one byte was read, waiting up to first_ms for the first.
bool read_available(SerialLink& link, uint32_t first_ms);
// True when all n bytes went out within their line time plus one second.
bool write(SerialLink& link, const uint8_t* data, uint32_t n);
// Sends one byte ahead of anything queued; false as for write().
bool send_priority_byte(SerialLink& link, uint8_t byte);
// Whole milliseconds that n bytes take on the line as it is set (rounded
// down, so that a write that returns when its bytes are out never finds
// them still on the line by this count).
uint32_t line_time_ms(const SerialLink& link, uint32_t n);

uint32_t now_ms();
// Sleeps until strictly more than t ms have passed.
void delay_ms(uint32_t t);

}  // namespace travek
