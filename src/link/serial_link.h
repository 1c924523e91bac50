// The serial link: everything done on the serial port, and the millisecond
// clock and busy delay that the protocol timing rests on. All operations
// block and run on the one thread. Only the port operations and the reads
// report success; writes are not examined by their callers.
#pragma once

#include <cstdint>

#include "common/constants.h"

namespace travek {

struct SerialLink {
  // Both reads place received bytes here; page batches are built here too.
  uint8_t buffer[LINK_BLOCK];
  // Bytes moved by the most recent read or write.
  uint32_t last_count;
  // Mask from the most recent line_errors().
  uint32_t last_errors;
};

extern SerialLink serial_link;

bool open_port(const char* name);
// Closes the port if it is open.
void close_port();

// Configures the line and ends with the reset pulse.
bool configure_port(uint32_t rate, int data_bits, int stop_bits);
void set_line(uint32_t rate, int stop_bits);
// RTS high for just over 5 ms, then low; errors cleared after each edge;
// both queues emptied, so nothing from before the pulse survives it.
bool reset_pulse();
uint32_t line_errors();

// True only when exactly n bytes arrived within total_ms.
bool read_exact(uint32_t n, uint32_t total_ms);
// True when at least one byte was read, waiting up to first_ms for the first.
bool read_available(uint32_t first_ms);
void write(const uint8_t* data, uint32_t n);
void send_priority_byte(uint8_t byte);

uint32_t now_ms();
// Busy wait until strictly more than t ms have passed.
void delay_ms(uint32_t t);

}  // namespace travek
