// The 16-bit CRC of every frame on the line: reflected polynomial 0x8408,
// least significant bit first, no final XOR (CRC-16/KERMIT with initial 0).
// A CRC is appended low byte first, so a sound frame with its CRC gives 0.
#pragma once

#include <cstdint>

namespace travek {

uint16_t crc16(const uint8_t* data, uint32_t length, uint16_t initial);

}  // namespace travek
