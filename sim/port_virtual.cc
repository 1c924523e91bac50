// The link back end of the virtual-time line: its serial device.
#include "link/port.h"
#include "link/port_interface.h"
#include "virtual_line.h"

namespace travek {
namespace {

using sim::VirtualLine;

bool device_accepts(const char*) { return true; }

bool device_open(const char* name) { return VirtualLine::current().open(name); }
bool device_is_open() { return VirtualLine::current().port_open(); }
void device_close() { VirtualLine::current().close(); }

bool device_configure(uint32_t rate, int data_bits, int stop_bits) {
  (void)data_bits;
  return VirtualLine::current().configure(rate, stop_bits);
}

bool device_set_line(uint32_t rate, int stop_bits) {
  VirtualLine::current().set_line(rate, stop_bits);
  return true;
}

bool device_set_rts(bool on) {
  VirtualLine::current().set_rts(on);
  return !VirtualLine::current().lost();
}

bool device_clear_errors(uint32_t* mask) {
  *mask = VirtualLine::current().take_errors();
  return true;
}

bool device_purge() { return VirtualLine::current().purge(); }

uint32_t device_read_exact(uint8_t* dest, uint32_t n, uint32_t total_ms) {
  return VirtualLine::current().read_exact(dest, n, total_ms);
}

uint32_t device_read_available(uint8_t* dest, uint32_t max, uint32_t first_ms) {
  return VirtualLine::current().read_available(dest, max, first_ms);
}

bool device_write(const uint8_t* data, uint32_t n, uint32_t limit_ms, uint32_t* written) {
  return VirtualLine::current().write(data, n, false, limit_ms, written);
}

bool device_send_now(uint8_t byte, uint32_t limit_ms) {
  uint32_t written = 0;
  return VirtualLine::current().write(&byte, 1, true, limit_ms, &written);
}

bool device_lost() { return VirtualLine::current().lost(); }

}  // namespace

const PortInterface kSerialDevice = {
    device_accepts,        device_open,    device_is_open,      device_close, device_configure,
    device_set_line,       device_set_rts, device_clear_errors, device_purge, device_read_exact,
    device_read_available, device_write,   device_send_now,     device_lost,
};

const char* port_name_for_digit(char digit) {
  static char name[] = "COM2";
  name[3] = digit;
  return name;
}

uint32_t port_clock_ms() { return VirtualLine::current().clock_ms(); }

void port_sleep_ms(uint32_t ms) { VirtualLine::current().sleep_ms(ms); }

}  // namespace travek
