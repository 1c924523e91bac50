// The transports, chosen by the port's name (link/port_interface.h).
#include "link/port_interface.h"

namespace travek {
namespace {

// In the order their name tests are tried: the serial device takes any name.
const PortInterface* const kTransports[] = {&kNetworkPort, &kSerialDevice};

}  // namespace

const PortInterface* transport_for(const char* name) {
  for (const PortInterface* transport : kTransports) {
    if (transport->accepts(name)) return transport;
  }
  return &kSerialDevice;
}

void close_every_port() {
  for (const PortInterface* transport : kTransports) transport->close();
}

}  // namespace travek
