#include "common/crc16.h"

#include <gtest/gtest.h>

#include <cstring>

namespace travek {
namespace {

// The build checks the embedded resident with this same code, at compile time.
constexpr uint8_t kStandardString[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
static_assert(crc16(kStandardString, 9, 0) == 0x2189);

TEST(Crc16, CheckValueOfTheStandardString) {
  const char* text = "123456789";
  EXPECT_EQ(crc16(reinterpret_cast<const uint8_t*>(text), 9, 0), 0x2189);
}

TEST(Crc16, FrameWithItsCrcAppendedLowByteFirstGivesZero) {
  uint8_t frame[66] = {0x00, 0x38};
  for (int i = 2; i < 64; ++i) frame[i] = static_cast<uint8_t>(i * 37);
  uint16_t crc = crc16(frame, 64, 0);
  frame[64] = static_cast<uint8_t>(crc & 0xFF);
  frame[65] = static_cast<uint8_t>(crc >> 8);
  EXPECT_EQ(crc16(frame, 66, 0), 0);
  // High byte first is not a sound frame.
  std::swap(frame[64], frame[65]);
  EXPECT_NE(crc16(frame, 66, 0), 0);
}

TEST(Crc16, InitialValueCarriesAcrossSplitInput) {
  const uint8_t data[] = {0x4D, 0x36, 0x4E, 0x04, 0xFE, 0xFF, 0xD8, 0x02};
  uint16_t whole = crc16(data, 8, 0);
  EXPECT_EQ(crc16(data + 3, 5, crc16(data, 3, 0)), whole);
  EXPECT_EQ(crc16(data, 0, 0x1234), 0x1234);
}

}  // namespace
}  // namespace travek
