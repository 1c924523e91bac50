#include "common/crc16.h"

namespace travek {

uint16_t crc16(const uint8_t* data, uint32_t length, uint16_t initial) {
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
