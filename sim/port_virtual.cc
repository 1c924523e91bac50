// The link back end of the virtual-time line.
#include "link/port.h"
#include "virtual_line.h"

namespace travek {

using sim::VirtualLine;

const char* port_name_for_digit(char digit) {
  static char name[] = "COM2";
  name[3] = digit;
  return name;
}

bool port_open(const char* name) { return VirtualLine::current().open(name); }
bool port_is_open() { return VirtualLine::current().port_open(); }
void port_close() { VirtualLine::current().close(); }

bool port_configure(uint32_t rate, int data_bits, int stop_bits) {
  (void)data_bits;
  return VirtualLine::current().configure(rate, stop_bits);
}

bool port_set_line(uint32_t rate, int stop_bits) {
  VirtualLine::current().set_line(rate, stop_bits);
  return true;
}

bool port_set_rts(bool on) {
  VirtualLine::current().set_rts(on);
  return !VirtualLine::current().lost();
}

bool port_clear_errors(uint32_t* mask) {
  *mask = VirtualLine::current().take_errors();
  return true;
}

bool port_purge() { return VirtualLine::current().purge(); }

uint32_t port_read_exact(uint8_t* dest, uint32_t n, uint32_t total_ms) {
  return VirtualLine::current().read_exact(dest, n, total_ms);
}

uint32_t port_read_available(uint8_t* dest, uint32_t max, uint32_t first_ms) {
  return VirtualLine::current().read_available(dest, max, first_ms);
}

bool port_write(const uint8_t* data, uint32_t n, uint32_t limit_ms, uint32_t* written) {
  return VirtualLine::current().write(data, n, false, limit_ms, written);
}

bool port_send_now(uint8_t byte, uint32_t limit_ms) {
  uint32_t written = 0;
  return VirtualLine::current().write(&byte, 1, true, limit_ms, &written);
}

bool port_lost() { return VirtualLine::current().lost(); }

uint32_t port_clock_ms() { return VirtualLine::current().clock_ms(); }

void port_sleep_ms(uint32_t ms) { VirtualLine::current().sleep_ms(ms); }

}  // namespace travek
