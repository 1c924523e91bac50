#include "link/serial_link.h"

#include <algorithm>
#include <cstdio>

#include "common/messages.h"
#include "console/console.h"
#include "link/port.h"
#include "link/port_interface.h"

namespace travek {
namespace {

// Beyond its own line time, a write may take this long.
constexpr uint32_t kWriteSlackMs = 1000;

uint32_t write_limit_ms(const SerialLink& link, uint32_t n) {
  return line_time_ms(link, n) + kWriteSlackMs;
}

// Tells of a lost port, once; true while the port is lost.
bool tell_if_lost(SerialLink& link) {
  if (!link.transport->lost()) return false;
  if (!link.loss_told) {
    link.loss_told = true;
    con_diagnostic(msg::kDiagGone, static_cast<const char*>(link.name));
  }
  return true;
}

// On a lost port a wait runs out asleep, as it would on a silent line.
void sleep_out_if_lost(SerialLink& link, uint32_t start, uint32_t total_ms) {
  if (!tell_if_lost(link)) return;
  const uint32_t passed = now_ms() - start;
  if (passed < total_ms) port_sleep_ms(total_ms - passed);
}

}  // namespace

bool open_port(SerialLink& link, const char* name) {
  link.loss_told = false;
  std::snprintf(link.name, sizeof(link.name), "%s", name);
  link.transport = transport_for(name);
  return link.transport->open(name);
}

void close_port(SerialLink& link) {
  if (link.transport != nullptr && link.transport->is_open()) link.transport->close();
}

bool configure_port(SerialLink& link, uint32_t rate, int data_bits, int stop_bits) {
  if (!link.transport->configure(rate, data_bits, stop_bits)) return false;
  link.rate = rate;
  link.stop_bits = stop_bits;
  return reset_pulse(link);
}

void set_line(SerialLink& link, uint32_t rate, int stop_bits) {
  link.rate = rate;
  link.stop_bits = stop_bits;
  link.transport->set_line(rate, stop_bits);
}

bool reset_pulse(SerialLink& link) {
  const PortInterface& port = *link.transport;
  uint32_t ignored;
  if (!port.set_rts(true)) return false;
  delay_ms(5);
  if (!port.clear_errors(&ignored)) return false;
  if (!port.set_rts(false)) return false;
  delay_ms(5);
  if (!port.clear_errors(&ignored)) return false;
  return port.purge();
}

bool purge(SerialLink& link) { return link.transport->purge(); }

bool port_lost(SerialLink& link) { return tell_if_lost(link); }

bool reopen_port(SerialLink& link) {
  close_port(link);
  link.loss_told = false;
  if (!link.transport->open(link.name)) return false;
  link.rate = 9600;
  link.stop_bits = 1;
  return link.transport->configure(link.rate, 8, link.stop_bits) && link.transport->purge();
}

uint32_t line_errors(SerialLink& link) {
  uint32_t mask = 0;
  link.transport->clear_errors(&mask);
  link.last_errors = mask;
  return mask;
}

bool read_exact(SerialLink& link, uint32_t n, uint32_t total_ms) {
  n = std::min(n, LINK_BLOCK);
  const uint32_t start = now_ms();
  link.last_count = link.transport->read_exact(link.buffer, n, total_ms);
  if (link.last_count < n) sleep_out_if_lost(link, start, total_ms);
  return link.last_count == n;
}

bool read_available(SerialLink& link, uint32_t first_ms) {
  const uint32_t start = now_ms();
  link.last_count = link.transport->read_available(link.buffer, LINK_BLOCK, first_ms);
  if (link.last_count == 0) sleep_out_if_lost(link, start, first_ms);
  return link.last_count > 0;
}

bool write(SerialLink& link, const uint8_t* data, uint32_t n) {
  uint32_t written = 0;
  const bool done = link.transport->write(data, n, write_limit_ms(link, n), &written);
  link.last_count = written;
  if (!done) tell_if_lost(link);
  return done;
}

bool send_priority_byte(SerialLink& link, uint8_t byte) {
  const bool done = link.transport->send_now(byte, write_limit_ms(link, 1));
  if (!done) tell_if_lost(link);
  return done;
}

uint32_t line_time_ms(const SerialLink& link, uint32_t n) {
  // A frame: start bit, 8 data bits, the stop bits.
  const uint64_t bits = static_cast<uint64_t>(n) * (9 + link.stop_bits);
  return static_cast<uint32_t>(bits * 1000 / std::max<uint32_t>(link.rate, 1));
}

uint32_t now_ms() { return port_clock_ms(); }

void delay_ms(uint32_t t) {
  const uint32_t start = now_ms();
  for (uint32_t passed; (passed = now_ms() - start) <= t;) port_sleep_ms(t + 1 - passed);
}

}  // namespace travek
