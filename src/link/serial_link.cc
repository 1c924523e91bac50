#include "link/serial_link.h"

#include <algorithm>
#include <cstdio>

#include "common/messages.h"
#include "console/console.h"
#include "link/port.h"

namespace travek {
namespace {

// Beyond its own line time, a write may take this long.
constexpr uint32_t kWriteSlackMs = 1000;

uint32_t write_limit_ms(uint32_t n) { return line_time_ms(n) + kWriteSlackMs; }

// Tells of a lost port, once; true while the port is lost.
bool tell_if_lost() {
  if (!port_lost()) return false;
  if (!serial_link.loss_told) {
    serial_link.loss_told = true;
    con_diagnostic(msg::kDiagGone, serial_link.name);
  }
  return true;
}

// On a lost port a wait runs out asleep, as it would on a silent line.
void sleep_out_if_lost(uint32_t start, uint32_t total_ms) {
  if (!tell_if_lost()) return;
  const uint32_t passed = now_ms() - start;
  if (passed < total_ms) port_sleep_ms(total_ms - passed);
}

}  // namespace

SerialLink serial_link;

bool open_port(const char* name) {
  serial_link.loss_told = false;
  std::snprintf(serial_link.name, sizeof(serial_link.name), "%s", name);
  return port_open(name);
}

void close_port() {
  if (port_is_open()) port_close();
}

bool configure_port(uint32_t rate, int data_bits, int stop_bits) {
  if (!port_configure(rate, data_bits, stop_bits)) return false;
  serial_link.rate = rate;
  serial_link.stop_bits = stop_bits;
  return reset_pulse();
}

void set_line(uint32_t rate, int stop_bits) {
  serial_link.rate = rate;
  serial_link.stop_bits = stop_bits;
  port_set_line(rate, stop_bits);
}

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
  const uint32_t start = now_ms();
  serial_link.last_count = port_read_exact(serial_link.buffer, n, total_ms);
  if (serial_link.last_count < n) sleep_out_if_lost(start, total_ms);
  return serial_link.last_count == n;
}

bool read_available(uint32_t first_ms) {
  const uint32_t start = now_ms();
  serial_link.last_count = port_read_available(serial_link.buffer, LINK_BLOCK, first_ms);
  if (serial_link.last_count == 0) sleep_out_if_lost(start, first_ms);
  return serial_link.last_count > 0;
}

bool write(const uint8_t* data, uint32_t n) {
  uint32_t written = 0;
  const bool done = port_write(data, n, write_limit_ms(n), &written);
  serial_link.last_count = written;
  if (!done) tell_if_lost();
  return done;
}

bool send_priority_byte(uint8_t byte) {
  const bool done = port_send_now(byte, write_limit_ms(1));
  if (!done) tell_if_lost();
  return done;
}

uint32_t line_time_ms(uint32_t n) {
  // A frame: start bit, 8 data bits, the stop bits.
  const uint64_t bits = static_cast<uint64_t>(n) * (9 + serial_link.stop_bits);
  return static_cast<uint32_t>(bits * 1000 / std::max<uint32_t>(serial_link.rate, 1));
}

uint32_t now_ms() { return port_clock_ms(); }

void delay_ms(uint32_t t) {
  const uint32_t start = now_ms();
  for (uint32_t passed; (passed = now_ms() - start) <= t;) port_sleep_ms(t + 1 - passed);
}

}  // namespace travek
