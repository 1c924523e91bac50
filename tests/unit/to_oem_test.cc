#include "console/oem_text.h"

#include <gtest/gtest.h>

#include <string>

namespace travek {
namespace {

unsigned char convert(unsigned char byte) {
  char text[2] = {static_cast<char>(byte), 0};
  to_oem(text);
  return static_cast<unsigned char>(text[0]);
}

TEST(ToOem, YoBothCases) {
  EXPECT_EQ(convert(0xA8), 0xF0);
  EXPECT_EQ(convert(0xB8), 0xF1);
}

TEST(ToOem, CapitalsAndFirstLowerHalfMoveDown0x40) {
  EXPECT_EQ(convert(0xC0), 0x80);  // А
  EXPECT_EQ(convert(0xDF), 0x9F);  // Я
  EXPECT_EQ(convert(0xE0), 0xA0);  // а
  EXPECT_EQ(convert(0xEF), 0xAF);  // п
}

TEST(ToOem, SecondLowerHalfMovesDown0x10) {
  EXPECT_EQ(convert(0xF0), 0xE0);  // р
  EXPECT_EQ(convert(0xFF), 0xEF);  // я
}

TEST(ToOem, OtherBytesUnchanged) {
  for (unsigned char byte : {0x01, 0x41, 0x7F, 0x80, 0xA7, 0xA9, 0xB7, 0xB9, 0xBF}) {
    EXPECT_EQ(convert(byte), byte) << std::hex << int(byte);
  }
}

TEST(ToOem, ConvertsAWholeStringInPlace) {
  // "Файл.bin" in code page 1251.
  char text[] = "\xD4\xE0\xE9\xEB.bin";
  to_oem(text);
  EXPECT_EQ(std::string(text), "\x94\xA0\xA9\xAB.bin");
}

}  // namespace
}  // namespace travek
