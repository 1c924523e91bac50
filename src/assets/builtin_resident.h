// The built-in resident image, embedded at build time from resident.bin (or
// the file named by TRAVEK_RESIDENT). Read-only: whoever patches the divisor
// works on a copy.
#pragma once

#include <cstdint>

namespace travek {

extern const uint8_t kBuiltinResident[];
extern const uint32_t kBuiltinResidentSize;

}  // namespace travek
