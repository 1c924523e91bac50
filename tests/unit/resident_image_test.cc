#include "bootstrap/resident_image.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/images.h"

namespace travek {
namespace {

using testing_support::Bytes;
using testing_support::make_image;
using testing_support::seal;

// Checks an image as it lies in the zero-filled data buffer.
ImageFault check(const Bytes& image, ResidentImage* fields = nullptr) {
  static std::vector<uint8_t> buffer(RESIDENT_SPAN + 16);
  std::fill(buffer.begin(), buffer.end(), 0);
  std::copy(image.begin(), image.end(), buffer.begin());
  ResidentImage ignored;
  return check_image(buffer.data(), fields != nullptr ? fields : &ignored);
}

TEST(ResidentImage, BuiltInImageIsSound) {
  ResidentImage fields;
  EXPECT_EQ(check(testing_support::builtin_image(), &fields), ImageFault::kNone);
  EXPECT_EQ(fields.body_length, 1102);
  EXPECT_EQ(fields.rate_field, 0xFFFE);
  EXPECT_EQ(fields.divisor_offset, 728);
  Bytes image = testing_support::builtin_image();
  EXPECT_EQ(image.size(), 1112u);
  EXPECT_EQ(image[734], 0x40);
  EXPECT_EQ(image[1110], 0xD1);
  EXPECT_EQ(image[1111], 0xF6);
}

TEST(ResidentImage, MagicAndLengthComeBeforeTheCrc) {
  Bytes wrong_magic = make_image(100);
  wrong_magic[1] = 0x37;
  EXPECT_EQ(check(seal(Bytes(wrong_magic.begin(), wrong_magic.end() - 2))), ImageFault::kBadCode);
  EXPECT_EQ(check(make_image(3014)), ImageFault::kNone);
  EXPECT_EQ(check(make_image(3015)), ImageFault::kBadCode);
}

TEST(ResidentImage, OneBitOffInTheTrailerIsABadCrc) {
  Bytes image = make_image(1102);
  image.back() ^= 0x01;
  EXPECT_EQ(check(image), ImageFault::kBadCrc);
}

TEST(ResidentImage, RateFieldBoundaries) {
  EXPECT_EQ(check(make_image(200, 2400, 100)), ImageFault::kNone);
  EXPECT_EQ(check(make_image(200, 2398, 100)), ImageFault::kBadCode);
  EXPECT_EQ(check(make_image(200, 2401, 100)), ImageFault::kBadCode);
  EXPECT_EQ(check(make_image(200, 0xFFFE, 100)), ImageFault::kNone);
  EXPECT_EQ(check(make_image(200, 0xFFFF, 100)), ImageFault::kBadCode);  // odd
}

TEST(ResidentImage, MarkerRules) {
  EXPECT_EQ(check(make_image(800, 0xFFFE, 728, 0x00)), ImageFault::kNone);
  // No marker where the divisor goes.
  Bytes body_only = make_image(800, 0xFFFE, 728, 0x00);
  body_only[734] = 0x41;
  EXPECT_EQ(check(seal(Bytes(body_only.begin(), body_only.end() - 2))), ImageFault::kBadCode);
  // D = 0 and D = 1 test a byte of the D field itself, which is zero.
  EXPECT_EQ(check(make_image(800, 0xFFFE, 0)), ImageFault::kBadCode);
  EXPECT_EQ(check(make_image(800, 0xFFFE, 1)), ImageFault::kBadCode);
  // Past the file the buffer reads as zero: no marker there.
  EXPECT_EQ(check(make_image(100, 0xFFFE, 5000)), ImageFault::kBadCode);
  // But past the image, within the file, a marker counts.
  Bytes with_tail = make_image(100, 0xFFFE, 200);
  with_tail.resize(300, 0);
  with_tail[206] = 0x40;
  EXPECT_EQ(check(with_tail), ImageFault::kNone);
}

TEST(ResidentImage, BodyOfZeroOrOneByteIsBadCode) {
  for (uint16_t length : {0, 1, 2}) {
    Bytes image = make_image(length, 0xFFFE, 20);
    image.resize(40, 0);
    image[26] = 0x40;  // a marker past the image, in the file
    EXPECT_EQ(check(image), length < 2 ? ImageFault::kBadCode : ImageFault::kNone) << length;
  }
}

struct PatchRow {
  ClockClass clock;
  uint16_t rate_field;
  uint8_t divisor;
  uint32_t operating_rate;
};

TEST(ResidentImage, PatchWritesTheDivisorForEveryClockClass) {
  const PatchRow rows[] = {
      {{9600, 312500}, 0xFFFE, 10, 57600},
      {{11520, 375000}, 0xFFFE, 12, 57600},
      {{10472, 345600}, 0xFFFE, 5, 115200},
      {{11520, 375000}, 19200, 19, 38400},  // (375000 - 9600) / 19200
      {{9600, 312500}, 2400, 129, 4800},
  };
  for (const PatchRow& row : rows) {
    Bytes image = make_image(1102, row.rate_field);
    Bytes before = image;
    EXPECT_EQ(patch_image(image.data(), row.clock), row.operating_rate);
    EXPECT_EQ(image[734], row.divisor);
    image[734] = before[734];
    EXPECT_EQ(image, before) << "nothing else changes";
  }
}

}  // namespace
}  // namespace travek
