// The serial ports a machine has: the hint when the port asked for does not
// exist. One back end per platform (serial_ports_linux.cc reads /dev and
// /sys, serial_ports_win32.cc the registry's SERIALCOMM map).
#pragma once

#include <cstddef>

namespace travek {

// The ports, ", "-separated ("/dev/ttyUSB0, /dev/ttyACM0" or "COM1, COM3");
// empty when there are none.
void list_serial_ports(char* out, size_t size);

// Linux: the same under other roots for /dev and /sys. USB adapters
// (ttyUSB, ttyACM and every /dev/serial/by-id target) come first, then the
// built-in ports (ttyS) that the kernel reports a UART behind.
void list_serial_ports_in(const char* dev, const char* sys, char* out, size_t size);

}  // namespace travek
