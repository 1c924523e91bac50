// What the platform gives the link besides its transports
// (link/port_interface.h): the clock, the sleep and the -com# names.
#pragma once

#include <cstdint>

namespace travek {

// The device for the -com1..-com4 switches.
const char* port_name_for_digit(char digit);

// A 32-bit millisecond count of a monotonic clock.
uint32_t port_clock_ms();
// Sleeps until port_clock_ms() has moved on by at least ms.
void port_sleep_ms(uint32_t ms);

}  // namespace travek
