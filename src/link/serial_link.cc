#include "link/serial_link.h"

#include <algorithm>

#include "link/port.h"

namespace travek {

SerialLink serial_link;

bool open_port(const char* name) { return port_open(name); }

void close_port() {
  if (port_is_open()) port_close();
}

bool configure_port(uint32_t rate, int data_bits, int stop_bits) {
  if (!port_configure(rate, data_bits, stop_bits)) return false;
  return reset_pulse();
}

void set_line(uint32_t rate, int stop_bits) { port_set_line(rate, stop_bits); }

bool reset_pulse() {
  uint32_t ignored;
  if (!port_set_rts(true)) return false;
  delay_ms(5);
  if (!port_clear_errors(&ignored)) return false;
  if (!port_set_rts(false)) return false;
  delay_ms(5);
  if (!port_clear_errors(&ignored)) return false;
  return port_purge();
}

uint32_t line_errors() {
  uint32_t mask = 0;
  port_clear_errors(&mask);
  serial_link.last_errors = mask;
  return mask;
}

bool read_exact(uint32_t n, uint32_t total_ms) {
  n = std::min(n, LINK_BLOCK);
  serial_link.last_count = port_read_exact(serial_link.buffer, n, total_ms);
  return serial_link.last_count == n;
}

bool read_available(uint32_t first_ms) {
  serial_link.last_count = port_read_available(serial_link.buffer, LINK_BLOCK, first_ms);
  return serial_link.last_count > 0;
}

void write(const uint8_t* data, uint32_t n) { serial_link.last_count = port_write(data, n); }

void send_priority_byte(uint8_t byte) { port_send_now(byte); }

uint32_t now_ms() { return port_clock_ms(); }

void delay_ms(uint32_t t) {
  uint32_t start = now_ms();
  while (now_ms() - start <= t) port_clock_spin();
}

}  // namespace travek
