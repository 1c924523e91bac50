// A text image file's contents placed by station address: what the HEX and
// S-record parsers fill in, and the flash contents the load takes from it.
#pragma once

#include <cstdint>

#include "common/constants.h"

namespace travek {

inline constexpr uint32_t PLACED_SPACE = ADDRESS_SPACE_END;

// Data bytes by station address, and which addresses the file gave. About
// 1.1 MB: the caller owns it, so parsing allocates nothing.
struct PlacedImage {
  uint8_t bytes[PLACED_SPACE];      // meaningful only where given
  uint8_t given[PLACED_SPACE / 8];  // one bit per address, address % 8 the bit
  bool any;                         // at least one data byte given
  uint32_t low;                     // lowest address given (valid when any)
  uint32_t high;                    // highest address given (valid when any)
};

enum class FormatFault {
  kNone,
  kBadRecord,       // not a well-formed record of the format
  kBadChecksum,     // well formed, but its checksum does not match
  kUnknownType,     // a record type the format does not define
  kAddressOutside,  // a data byte at or above PLACED_SPACE
  kAddressTwice,    // an address given again with another value
  kBadCount,        // an S5/S6 record count that is not the data records' count
  kNoEndRecord,     // Intel HEX without its end-of-file record
};

struct FormatVerdict {
  FormatFault fault;
  uint32_t line;  // 1-based line of the fault; 0 with kNone
};

// Empties the image: no address given.
void clear_placed(PlacedImage* image);

// Places one byte. The same value given twice is accepted, since tools
// write overlapping records of one image; another value is a conflict.
FormatFault place_byte(PlacedImage* image, uint64_t address, uint8_t value);

// Copies low..high into dest (high - low + 1 bytes) with 0xFF, erased flash,
// where the file gave nothing, and returns the count. Requires any.
uint32_t copy_placed(const PlacedImage& image, uint8_t* dest);

}  // namespace travek
