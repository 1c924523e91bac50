#include "formats/image_format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "formats/intel_hex.h"
#include "formats/placed_image.h"
#include "formats/srecord.h"

namespace travek {
namespace {

using Bytes = std::vector<uint8_t>;
using Placed = std::vector<std::pair<uint32_t, uint8_t>>;

std::string hex(uint32_t value, int digits) {
  char text[9];
  std::snprintf(text, sizeof text, "%0*X", digits, static_cast<unsigned>(value));
  return text;
}

// An Intel HEX record with its checksum; a `length` other than the data's
// makes a record whose length field lies.
std::string ihex(uint8_t type, uint16_t offset, const Bytes& data, int length = -1) {
  const uint32_t ll =
      length < 0 ? static_cast<uint32_t>(data.size()) : static_cast<uint32_t>(length);
  uint32_t sum = ll + (offset >> 8) + (offset & 0xFF) + type;
  std::string text = ":" + hex(ll, 2) + hex(offset, 4) + hex(type, 2);
  for (uint8_t b : data) {
    sum += b;
    text += hex(b, 2);
  }
  return text + hex((0x100 - sum % 0x100) % 0x100, 2);
}

// An S-record: type digit, count, the given bytes after the count, checksum.
std::string srec_raw(int type, const Bytes& body) {
  uint32_t sum = static_cast<uint32_t>(body.size() + 1);
  std::string text = "S" + std::to_string(type) + hex(sum, 2);
  for (uint8_t b : body) {
    sum += b;
    text += hex(b, 2);
  }
  return text + hex(~sum & 0xFF, 2);
}

// An S-record with its address in as many bytes as its type takes.
std::string srec(int type, uint32_t address, const Bytes& data) {
  const int address_bytes = type == 3 || type == 7                ? 4
                            : type == 2 || type == 6 || type == 8 ? 3
                                                                  : 2;
  Bytes body;
  for (int i = address_bytes - 1; i >= 0; --i)
    body.push_back(static_cast<uint8_t>(address >> (8 * i)));
  body.insert(body.end(), data.begin(), data.end());
  return srec_raw(type, body);
}

std::string bad_sum(std::string record) {
  record.back() = record.back() == '0' ? '1' : '0';
  return record;
}

// Lowercase hex digits; the record's mark stays as it is.
std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
  return text;
}

std::string seg(uint16_t value) { return ihex(2, 0, {uint8_t(value >> 8), uint8_t(value)}); }
std::string lin(uint16_t value) { return ihex(4, 0, {uint8_t(value >> 8), uint8_t(value)}); }
const std::string kEnd = ihex(1, 0, {});
const std::string kNul(1, '\0');

struct ParseCase {
  const char* what;
  bool srec;
  std::string text;
  FormatFault fault;
  uint32_t line;
  Placed placed;  // every byte the file gives, when it parses
};

// The lines joined by LF: line n is the nth string; an empty last string
// ends the text with a line end.
std::string joined(const std::vector<std::string>& lines) {
  std::string text;
  for (size_t i = 0; i < lines.size(); ++i) text += (i > 0 ? "\n" : "") + lines[i];
  return text;
}

ParseCase hex_file(const char* what, const std::vector<std::string>& lines, FormatFault fault,
                   uint32_t line, Placed placed = {}) {
  return {what, false, joined(lines), fault, line, std::move(placed)};
}

ParseCase srec_file(const char* what, const std::vector<std::string>& lines, FormatFault fault,
                    uint32_t line, Placed placed = {}) {
  return {what, true, joined(lines), fault, line, std::move(placed)};
}

TEST(ImageFormat, ParsersPlaceBytesAndNameTheFaultyLine) {
  using F = FormatFault;
  const ParseCase cases[] = {
      hex_file("crlf, blank lines, trailing blanks, lowercase",
               {ihex(0, 0x100, {0x12, 0x34}) + "\r", "\r", " \t",
                lower(ihex(0, 0x102, {0xAB})) + " \t\r", kEnd + "\r", ""},
               F::kNone, 0, {{0x100, 0x12}, {0x101, 0x34}, {0x102, 0xAB}}),
      hex_file("start addresses ignored, nothing read after the end",
               {ihex(3, 0, {1, 2, 3, 4}), ihex(5, 0, {1, 2, 3, 4}), ihex(0, 0, {7}), kEnd,
                "garbage" + kNul, ihex(9, 0, {})},
               F::kNone, 0, {{0, 7}}),
      hex_file("only an end record", {"", kEnd}, F::kNone, 0),
      hex_file("empty text", {}, F::kNoEndRecord, 1),
      hex_file("no end, line end last", {ihex(0, 0, {1}), "", ""}, F::kNoEndRecord, 2),
      hex_file("no end, no line end last", {ihex(0, 0, {1}), " ", ihex(0, 1, {2})}, F::kNoEndRecord,
               3),
      hex_file("segment offset wraps within 64 KB",
               {seg(0x1000), ihex(0, 0xFFFF, {0xAA, 0xBB}), kEnd}, F::kNone, 0,
               {{0x1FFFF, 0xAA}, {0x10000, 0xBB}}),
      hex_file("linear offset passes 64 KB, after a segment",
               {seg(0x1000), lin(0x000E), ihex(0, 0xFFFF, {0xAA, 0xBB}), kEnd}, F::kNone, 0,
               {{0xEFFFF, 0xAA}, {0xF0000, 0xBB}}),
      hex_file("linear to the last address", {lin(0xF), ihex(0, 0xFFFF, {0x5A}), kEnd}, F::kNone, 0,
               {{0xFFFFF, 0x5A}}),
      hex_file("linear past the space", {lin(0xF), ihex(0, 0xFFFF, {0x5A, 0x5B}), kEnd},
               F::kAddressOutside, 2),
      hex_file("segment to the last address", {seg(0xFFFF), ihex(0, 0x0F, {1}), kEnd}, F::kNone, 0,
               {{0xFFFFF, 1}}),
      hex_file("segment past the space", {seg(0xFFFF), ihex(0, 0x10, {1}), kEnd},
               F::kAddressOutside, 2),
      hex_file("same byte twice", {ihex(0, 4, {1, 2}), ihex(0, 5, {2, 3}), kEnd}, F::kNone, 0,
               {{4, 1}, {5, 2}, {6, 3}}),
      hex_file("another byte twice", {ihex(0, 4, {1, 2}), "", ihex(0, 5, {9}), kEnd},
               F::kAddressTwice, 3),
      hex_file("bad checksum", {ihex(0, 0, {1}), bad_sum(ihex(0, 1, {2})), kEnd}, F::kBadChecksum,
               2),
      hex_file("length field lies", {ihex(0, 0, {1, 2}, 3), kEnd}, F::kBadRecord, 1),
      hex_file("length lies, checksum too", {bad_sum(ihex(0, 0, {1, 2}, 1))}, F::kBadRecord, 1),
      hex_file("no checksum", {":00000001", ""}, F::kBadRecord, 1),
      hex_file("odd digit count", {kEnd + "0"}, F::kBadRecord, 1),
      hex_file("not a hex digit", {":0100000G01FE", kEnd}, F::kBadRecord, 1),
      hex_file("leading space", {"", " " + kEnd}, F::kBadRecord, 2),
      hex_file("lone cr in a line", {":0000\r0001FF", ""}, F::kBadRecord, 1),
      hex_file("cr ending the text, no lf", {kEnd + "\r"}, F::kBadRecord, 1),
      hex_file("cr before trailing space", {kEnd + "\r ", ""}, F::kBadRecord, 1),
      hex_file("nul after a record", {ihex(0, 0, {1}) + kNul, kEnd}, F::kBadRecord, 1),
      hex_file("no colon", {ihex(0, 0, {1}).substr(1), kEnd}, F::kBadRecord, 1),
      hex_file("unknown type", {ihex(0, 0, {1}), ihex(6, 0, {}), kEnd}, F::kUnknownType, 2),
      hex_file("checksum before type", {bad_sum(ihex(6, 0, {}))}, F::kBadChecksum, 1),
      hex_file("segment of three bytes", {ihex(2, 0, {1, 2, 3}), kEnd}, F::kBadRecord, 1),
      hex_file("linear of one byte", {ihex(4, 0, {1}), kEnd}, F::kBadRecord, 1),
      hex_file("start segment of two bytes", {ihex(3, 0, {1, 2}), kEnd}, F::kBadRecord, 1),
      hex_file("start linear of five bytes", {ihex(5, 0, {1, 2, 3, 4, 5})}, F::kBadRecord, 1),

      srec_file("header, S1 S2 S3, count, crlf, blanks, lowercase",
                {srec_raw(0, {0, 0, 'h', 'i'}) + "\r", srec(1, 0x1234, {0x11}) + "\r", "\r",
                 lower(srec(2, 0x0ABCDE, {0xEE, 0xFF})) + "\t \r", srec(3, 0xFFFFF, {0x33}),
                 srec(5, 3, {}), srec(9, 0, {})},
                F::kNone, 0, {{0x1234, 0x11}, {0xABCDE, 0xEE}, {0xABCDF, 0xFF}, {0xFFFFF, 0x33}}),
      srec_file("no termination", {srec(1, 0, {1}), srec(6, 1, {}), ""}, F::kNone, 0, {{0, 1}}),
      srec_file("nothing read after S8", {srec(2, 8, {1}), srec(8, 0, {}), "S4junk"}, F::kNone, 0,
                {{8, 1}}),
      srec_file("nothing read after S7", {srec(7, 0, {}), srec(1, 0, {1})}, F::kNone, 0),
      srec_file("empty text", {}, F::kNone, 0),
      srec_file("count of no data records", {srec(5, 0, {}), srec(1, 0, {1}), ""}, F::kNone, 0,
                {{0, 1}}),
      srec_file("wrong count", {srec(1, 0, {1}), srec(1, 1, {2}), "", srec(5, 1, {})}, F::kBadCount,
                4),
      srec_file("wrong 24-bit count", {srec(6, 1, {})}, F::kBadCount, 1),
      srec_file("past the space", {srec(2, 0xFFFFF, {1, 2})}, F::kAddressOutside, 1),
      srec_file("far past the space", {srec(3, 0xFFFFFFFF, {1})}, F::kAddressOutside, 1),
      srec_file("same byte twice", {srec(1, 9, {5}), srec(1, 9, {5})}, F::kNone, 0, {{9, 5}}),
      srec_file("another byte twice", {srec(1, 9, {5}), srec(2, 9, {6})}, F::kAddressTwice, 2),
      srec_file("bad checksum", {srec(1, 0, {1}), bad_sum(srec(1, 1, {2}))}, F::kBadChecksum, 2),
      srec_file("count over the digits", {srec(1, 0, {1}).substr(0, 10)}, F::kBadRecord, 1),
      srec_file("count below address and checksum", {srec_raw(2, {0, 0})}, F::kBadRecord, 1),
      srec_file("odd digit count", {srec(1, 0, {1}) + "0"}, F::kBadRecord, 1),
      srec_file("not a hex digit", {"S1040000X1FA"}, F::kBadRecord, 1),
      srec_file("no type digit", {"", "", "SX"}, F::kBadRecord, 3),
      srec_file("lone S", {"S", ""}, F::kBadRecord, 1),
      srec_file("lowercase s", {"s" + srec(1, 0, {1}).substr(1)}, F::kBadRecord, 1),
      srec_file("leading tab", {"\t" + srec(1, 0, {1})}, F::kBadRecord, 1),
      srec_file("nul in a line", {srec(1, 0, {1}) + kNul + srec(1, 1, {1})}, F::kBadRecord, 1),
      srec_file("S4", {srec(1, 0, {1}), srec_raw(4, {0, 0})}, F::kUnknownType, 2),
      srec_file("checksum before type", {bad_sum(srec_raw(4, {0, 0}))}, F::kBadChecksum, 1),
  };
  auto image = std::make_unique<PlacedImage>();
  std::memset(image.get(), 0xA5, sizeof(PlacedImage));  // one image for all: each parse clears it
  for (const ParseCase& c : cases) {
    const auto* text = reinterpret_cast<const uint8_t*>(c.text.data());
    const FormatVerdict verdict = c.srec ? parse_srecord(text, c.text.size(), image.get())
                                         : parse_intel_hex(text, c.text.size(), image.get());
    EXPECT_EQ(verdict.fault, c.fault) << c.what;
    EXPECT_EQ(verdict.line, c.line) << c.what;
    if (c.fault != F::kNone) continue;
    size_t given = 0;
    for (uint8_t bits : image->given) given += static_cast<size_t>(std::popcount(bits));
    EXPECT_EQ(given, c.placed.size()) << c.what;
    EXPECT_EQ(image->any, !c.placed.empty()) << c.what;
    if (c.placed.empty()) continue;
    for (const auto& [address, value] : c.placed) {
      EXPECT_TRUE((image->given[address / 8] >> (address % 8)) & 1) << c.what << " " << address;
      EXPECT_EQ(image->bytes[address], value) << c.what << " " << address;
    }
    const auto [low, high] = std::minmax_element(c.placed.begin(), c.placed.end());
    EXPECT_EQ(image->low, low->first) << c.what;
    EXPECT_EQ(image->high, high->first) << c.what;
  }
}

TEST(ImageFormat, DetectedByTheFirstBytes) {
  const struct {
    const char* head;
    size_t n;
    ImageFormat format;
  } cases[] = {
      {"", 0, ImageFormat::kBinary},        {":", 1, ImageFormat::kIntelHex},
      {":x", 2, ImageFormat::kIntelHex},    {"S0", 2, ImageFormat::kSrecord},
      {"S9", 2, ImageFormat::kSrecord},     {"S", 1, ImageFormat::kBinary},
      {"S1", 1, ImageFormat::kBinary},      {"SA", 2, ImageFormat::kBinary},
      {"s1", 2, ImageFormat::kBinary},      {" :", 2, ImageFormat::kBinary},
      {"\177ELF", 4, ImageFormat::kBinary}, {"\xff\xff", 2, ImageFormat::kBinary},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(detect_format(reinterpret_cast<const uint8_t*>(c.head), c.n), c.format) << c.head;
  }
}

TEST(ImageFormat, CopyFillsGapsWithErasedFlash) {
  auto image = std::make_unique<PlacedImage>();
  clear_placed(image.get());
  EXPECT_FALSE(image->any);
  EXPECT_EQ(place_byte(image.get(), 0x15, 0x00), FormatFault::kNone);
  EXPECT_EQ(place_byte(image.get(), 0x10, 0x42), FormatFault::kNone);
  EXPECT_EQ(place_byte(image.get(), 0x12, 0x43), FormatFault::kNone);
  EXPECT_EQ(place_byte(image.get(), 0x12, 0x44), FormatFault::kAddressTwice);
  EXPECT_EQ(place_byte(image.get(), PLACED_SPACE, 0x44), FormatFault::kAddressOutside);
  uint8_t dest[8];
  std::memset(dest, 0x77, sizeof dest);
  EXPECT_EQ(copy_placed(*image, dest), 6u);
  EXPECT_EQ(Bytes(dest, dest + 8), (Bytes{0x42, 0xFF, 0x43, 0xFF, 0xFF, 0x00, 0x77, 0x77}));
}

}  // namespace
}  // namespace travek
