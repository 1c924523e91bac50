// Files written by the field's own tools, objcopy (binutils) and srec_cat
// (srecord), from a random binary placed at several addresses: each must
// parse back to exactly those bytes at exactly those addresses.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>

#include "formats/image_format.h"
#include "formats/intel_hex.h"
#include "formats/placed_image.h"
#include "formats/srecord.h"
#include "support/images.h"

namespace travek {
namespace {

using testing_support::Bytes;

constexpr uint32_t kSize = 3000;

std::string replaced(std::string command, const std::string& in, const std::string& out) {
  command.replace(command.find("IN"), 2, in);
  command.replace(command.find("OUT"), 3, out);
  return command;
}

std::string read_text(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

TEST(ImageFormatTools, ObjcopyAndSrecCatFilesGiveBackTheImage) {
  for (const char* tool : {"objcopy", "srec_cat"}) {
    if (std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) != 0) {
      GTEST_SKIP() << tool << " is not installed";
    }
  }
  using enum ImageFormat;
  const struct {
    const char* command;
    uint32_t address;
    ImageFormat format;
    const char* holds;  // the kind of record the row is there for
  } cases[] = {
      {"objcopy -I binary -O ihex --change-addresses 0x1234 IN OUT", 0x1234, kIntelHex,
       ":00000001FF"},
      {"objcopy -I binary -O ihex --change-addresses 0xE0000 IN OUT", 0xE0000, kIntelHex,
       ":02000002"},
      {"objcopy -I binary -O ihex --change-addresses 0x8FFF8 IN OUT", 0x8FFF8, kIntelHex,
       ":0200000290"},
      {"objcopy -I binary -O srec --change-addresses 0x1000 IN OUT", 0x1000, kSrecord, "\nS9"},
      {"objcopy -I binary -O srec --change-addresses 0xE0000 IN OUT", 0xE0000, kSrecord, "\nS8"},
      {"objcopy -I binary -O srec --srec-forceS3 --change-addresses 0x8FFF8 IN OUT", 0x8FFF8,
       kSrecord, "\nS7"},
      {"srec_cat IN -binary -offset 0xF0000 -o OUT -intel", 0xF0000, kIntelHex, ":02000004000F"},
      {"srec_cat IN -binary -offset 0x8FFF8 -o OUT -intel -address-length=3", 0x8FFF8, kIntelHex,
       ":0200000290"},
      {"srec_cat IN -binary -offset 0xFF448 -o OUT -intel -crlf", 0xFF448, kIntelHex, "\r\n"},
      {"srec_cat IN -binary -offset 0xF0000 -o OUT -motorola", 0xF0000, kSrecord, "\nS5"},
      {"srec_cat IN -binary -offset 0x1000 -o OUT -motorola -execution-start-address=0x1000",
       0x1000, kSrecord, "\nS9"},
      {"srec_cat IN -binary -offset 0xFF448 -o OUT -motorola -address-length=4 -crlf", 0xFF448,
       kSrecord, "\nS3"},
  };
  std::mt19937 rng(5);
  Bytes binary(kSize);
  for (uint8_t& b : binary) b = static_cast<uint8_t>(rng());
  const testing_support::TempFile in(binary);
  const std::string out = in.path() + ".out";
  auto image = std::make_unique<PlacedImage>();
  Bytes copy(kSize);
  for (const auto& c : cases) {
    ASSERT_EQ(std::system(replaced(c.command, in.path(), out).c_str()), 0) << c.command;
    const std::string text = read_text(out);
    std::remove(out.c_str());
    EXPECT_NE(text.find(c.holds), std::string::npos) << c.command << "\n" << text;
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const ImageFormat format = detect_format(bytes, text.size());
    const FormatVerdict verdict = format == ImageFormat::kIntelHex
                                      ? parse_intel_hex(bytes, text.size(), image.get())
                                      : parse_srecord(bytes, text.size(), image.get());
    EXPECT_EQ(format, c.format) << c.command;
    ASSERT_EQ(verdict.fault, FormatFault::kNone) << c.command << " line " << verdict.line;
    ASSERT_TRUE(image->any) << c.command;
    EXPECT_EQ(image->low, c.address) << c.command;
    EXPECT_EQ(image->high, c.address + kSize - 1) << c.command;
    size_t given = 0;
    for (uint8_t bits : image->given) given += static_cast<size_t>(std::popcount(bits));
    EXPECT_EQ(given, kSize) << c.command;
    ASSERT_EQ(copy_placed(*image, copy.data()), kSize) << c.command;
    EXPECT_TRUE(std::equal(binary.begin(), binary.end(), copy.begin())) << c.command;
  }
}

}  // namespace
}  // namespace travek
