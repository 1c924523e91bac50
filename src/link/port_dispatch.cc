// The link's primitives, each forwarded to the transport that the port's
// name chose when it was opened (link/port_interface.h).
#include "link/port.h"
#include "link/port_interface.h"

namespace travek {
namespace {

// In the order their name tests are tried: the serial device takes any name.
const PortInterface* const kTransports[] = {&kNetworkPort, &kSerialDevice};

const PortInterface* chosen = &kSerialDevice;

}  // namespace

bool port_open(const char* name) {
  for (const PortInterface* transport : kTransports) {
    if (transport->accepts(name)) {
      chosen = transport;
      break;
    }
  }
  return chosen->open(name);
}

bool port_is_open() { return chosen->is_open(); }
void port_close() { chosen->close(); }

bool port_configure(uint32_t rate, int data_bits, int stop_bits) {
  return chosen->configure(rate, data_bits, stop_bits);
}

bool port_set_line(uint32_t rate, int stop_bits) { return chosen->set_line(rate, stop_bits); }
bool port_set_rts(bool on) { return chosen->set_rts(on); }
bool port_clear_errors(uint32_t* mask) { return chosen->clear_errors(mask); }
bool port_purge() { return chosen->purge(); }

uint32_t port_read_exact(uint8_t* dest, uint32_t n, uint32_t total_ms) {
  return chosen->read_exact(dest, n, total_ms);
}

uint32_t port_read_available(uint8_t* dest, uint32_t max, uint32_t first_ms) {
  return chosen->read_available(dest, max, first_ms);
}

bool port_write(const uint8_t* data, uint32_t n, uint32_t limit_ms, uint32_t* written) {
  return chosen->write(data, n, limit_ms, written);
}

bool port_send_now(uint8_t byte, uint32_t limit_ms) { return chosen->send_now(byte, limit_ms); }
bool port_lost() { return chosen->lost(); }

}  // namespace travek
