// The resident image format, its checks, and the divisor byte the PC fills
// in. Words are little-endian; offsets count from the image's first byte:
//   0 magic 0x364D ("M6"), 2 body length L (<= 3014), 4 rate field R
//   (0xFFFE automatic, else even and >= 2400), 6 divisor offset D (the
//   divisor byte lies at 6 + D), 8 the body (L bytes, the part sent),
//   8 + L the CRC of everything before it, low byte first.
#pragma once

#include <cstdint>

#include "bootstrap/clock_class.h"

namespace travek {

struct ResidentImage {
  uint16_t body_length;
  uint16_t rate_field;
  uint16_t divisor_offset;
};

inline constexpr uint16_t RESIDENT_MAGIC = 0x364D;
inline constexpr uint16_t RESIDENT_MAX_BODY = 3014;
inline constexpr uint16_t RATE_AUTOMATIC = 0xFFFE;
inline constexpr uint8_t DIVISOR_MARKER = 0x40;
// Every byte the checks and the patch can reach lies below this offset, so a
// buffer of this size (zero beyond the image) can hold any image safely.
inline constexpr uint32_t RESIDENT_SPAN = 6 + 0xFFFF + 1;

enum class ImageFault { kNone, kBadCode, kBadCrc };

// The checks in their order; fields are filled whatever the outcome.
ImageFault check_image(const uint8_t* image, ResidentImage* fields);

// Returns the fields of a sound image; otherwise reports and ends the run.
ResidentImage validate_image(const uint8_t* image);

// Writes the divisor for the station's clock into the image and returns the
// operating line rate (twice the resolved rate field).
uint32_t patch_image(uint8_t* image, const ClockClass& clock);

}  // namespace travek
