// The 16-bit CRC of every frame on the line: reflected polynomial 0x8408,
// least significant bit first, no final XOR (CRC-16/KERMIT with initial 0).
// A CRC is appended low byte first, so a sound frame with its CRC gives 0.
// constexpr, so that the build checks the embedded resident with this same
// code.
#pragma once

#include <cstdint>

namespace travek {

constexpr uint16_t crc16(const uint8_t* data, uint32_t length, uint16_t initial) {
  uint16_t crc = initial;
  for (uint32_t i = 0; i < length; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) {
      crc =
          (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408) : static_cast<uint16_t>(crc >> 1);
    }
  }
  return crc;
}

}  // namespace travek
