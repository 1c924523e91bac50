// The station's clock class, told by the start byte of its boot loader.
#pragma once

#include <cstdint>

namespace travek {

struct ClockClass {
  uint32_t boot_rate;    // bit/s of the boot loader, which receives the resident
  uint32_t clock_div32;  // the station's crystal frequency / 32
};

}  // namespace travek
