#include "numbers/numbers_file.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace travek {
namespace {

constexpr uint64_t kMax = UINT64_MAX;

NumbersVerdict parse(const std::string& text, NumbersFile* file) {
  return parse_numbers_file(reinterpret_cast<const uint8_t*>(text.data()), text.size(), file);
}

std::string edit(const std::string& text, uint64_t next, NumbersVerdict* verdict = nullptr) {
  std::string edited = "(untouched)";
  const NumbersVerdict v =
      edit_numbers_next(reinterpret_cast<const uint8_t*>(text.data()), text.size(), next, &edited);
  if (verdict != nullptr) *verdict = v;
  return edited;
}

const std::string kExample =
    "# station serial numbers for line 3\n"
    "address  = 0xFFF00    # station address of the number's first byte\n"
    "bytes    = 4          # the field's length\n"
    "encoding = le         # le | be | dec | hex\n"
    "next     = 100001     # the next number to give\n"
    "last     = 199999     # optional: never give a number above this\n";

// The three keys every file needs, before the lines a case adds.
std::string with_field(const std::string& rest, const std::string& encoding = "le",
                       const std::string& bytes = "4") {
  return "address = 0x1000\nbytes = " + bytes + "\nencoding = " + encoding + "\n" + rest;
}

TEST(NumbersFile, TheEngineersExampleParses) {
  NumbersFile f;
  const NumbersVerdict v = parse(kExample, &f);
  ASSERT_EQ(v.fault, NumbersFault::kNone);
  EXPECT_EQ(v.line, 0u);
  EXPECT_EQ(f.address, 0xFFF00u);
  EXPECT_EQ(f.bytes, 4u);
  EXPECT_EQ(f.encoding, NumberEncoding::kLe);
  EXPECT_FALSE(f.from_command);
  EXPECT_EQ(f.next, 100001u);
  EXPECT_TRUE(f.has_last);
  EXPECT_EQ(f.last, 199999u);
  EXPECT_EQ(f.step, 1u);
}

struct GoodCase {
  const char* name;
  std::string text;
  NumbersFile expected;
};

NumbersFile counter(uint32_t address, uint32_t bytes, NumberEncoding encoding, uint64_t next,
                    uint64_t step = 1) {
  NumbersFile f;
  f.address = address;
  f.bytes = bytes;
  f.encoding = encoding;
  f.next = next;
  f.step = step;
  return f;
}

NumbersFile with_last(NumbersFile f, uint64_t last) {
  f.has_last = true;
  f.last = last;
  return f;
}

NumbersFile with_command(uint32_t address, uint32_t bytes, NumberEncoding encoding,
                         const std::string& command) {
  NumbersFile f = counter(address, bytes, encoding, 0);
  f.from_command = true;
  f.command = command;
  return f;
}

TEST(NumbersFile, WhatAFileMaySayAndHow) {
  using E = NumberEncoding;
  const GoodCase cases[] = {
      {"CRLF, tabs, blank lines with blanks, no final line end",
       "\t# c\r\n  \r\n\taddress\t=\t0x10\t\r\nbytes=2\r\n \t \r\nencoding =be\r\nnext= 7",
       counter(0x10, 2, E::kBe, 7)},
      {"a byte order mark before the first key", "\xEF\xBB\xBF" + with_field("next = 1\n"),
       counter(0x1000, 4, E::kLe, 1)},
      {"a comment right after the value", with_field("next=5#five\nstep=0x10#sixteen\n"),
       counter(0x1000, 4, E::kLe, 5, 16)},
      {"0X and lower-case digits", with_field("next = 0Xabcdef\n"),
       counter(0x1000, 4, E::kLe, 0xABCDEF)},
      {"hex with leading zeros", with_field("next = 0x000000000000000000FF\n"),
       counter(0x1000, 4, E::kLe, 255)},
      {"zero itself", with_field("next = 0\n"), counter(0x1000, 4, E::kLe, 0)},
      {"keys in any order", "next = 3\nencoding = dec\nbytes = 6\naddress = 0\n",
       counter(0, 6, E::kDec, 3)},
      {"the largest numbers", with_field("next = 18446744073709551615\n", "le", "8"),
       counter(0x1000, 8, E::kLe, kMax)},
      {"dec at 20 digits holds every 64-bit number",
       with_field("next = 0xFFFFFFFFFFFFFFFF\n", "dec", "20"), counter(0x1000, 20, E::kDec, kMax)},
      {"hex at 16 digits", with_field("next = 0xFFFFFFFFFFFFFFFF\n", "hex", "16"),
       counter(0x1000, 16, E::kHex, kMax)},
      {"a field ending at the top of the 1 MB",
       "address = 0xFFFFC\nbytes = 4\nencoding = be\nnext = 1\n", counter(0xFFFFC, 4, E::kBe, 1)},
      {"next at the field's limit", with_field("next = 255\n", "le", "1"),
       counter(0x1000, 1, E::kLe, 255)},
      {"next above last, however large: used up", with_field("next = 300\nlast = 255\n", "le", "1"),
       with_last(counter(0x1000, 1, E::kLe, 300), 255)},
      {"a command, with spaces, quotes and UTF-8 kept",
       with_field("command =  sqlite3 \"/srv/линия 3.db\" 'SELECT 1;'  # shared\n", "dec", "8"),
       with_command(0x1000, 8, E::kDec, "sqlite3 \"/srv/линия 3.db\" 'SELECT 1;'")},
      {"a command with a tab inside", with_field("command = echo\t5\n"),
       with_command(0x1000, 4, E::kLe, "echo\t5")},
  };
  for (const GoodCase& c : cases) {
    SCOPED_TRACE(c.name);
    NumbersFile f;
    const NumbersVerdict v = parse(c.text, &f);
    ASSERT_EQ(v.fault, NumbersFault::kNone) << "line " << v.line;
    EXPECT_EQ(f.address, c.expected.address);
    EXPECT_EQ(f.bytes, c.expected.bytes);
    EXPECT_EQ(f.encoding, c.expected.encoding);
    EXPECT_EQ(f.from_command, c.expected.from_command);
    EXPECT_EQ(f.command, c.expected.command);
    EXPECT_EQ(f.next, c.expected.next);
    EXPECT_EQ(f.has_last, c.expected.has_last);
    EXPECT_EQ(f.last, c.expected.last);
    EXPECT_EQ(f.step, c.expected.step);
  }
}

struct FaultCase {
  const char* name;
  std::string text;
  NumbersFault fault;
  uint32_t line;
  const char* key;  // a missing key's name
};

TEST(NumbersFile, EveryFaultWithItsLineAndReason) {
  using F = NumbersFault;
  const FaultCase cases[] = {
      // Keys.
      {"a misspelt key", with_field("nxet = 5\n"), F::kUnknownKey, 4, nullptr},
      {"a key in capitals", with_field("Next = 5\n"), F::kUnknownKey, 4, nullptr},
      {"a key with a space inside", with_field("ne xt = 5\n"), F::kUnknownKey, 4, nullptr},
      {"no key before the sign", with_field("= 5\n"), F::kUnknownKey, 4, nullptr},
      {"a line of text", "hello world\n", F::kUnknownKey, 1, nullptr},
      {"a byte order mark not at the start", with_field("\xEF\xBB\xBFnext = 5\n"), F::kUnknownKey,
       4, nullptr},
      {"a key given twice, told on the second", with_field("next = 5\n# between\nnext = 5\n"),
       F::kKeyTwice, 6, nullptr},
      {"an optional key twice", with_field("next = 5\nstep = 1\nstep = 2\n"), F::kKeyTwice, 6,
       nullptr},
      // Values that do not parse.
      {"a key without its sign", with_field("next\n"), F::kBadValue, 4, nullptr},
      {"an empty value", with_field("next =   # none\n"), F::kBadValue, 4, nullptr},
      {"words", with_field("next = five\n"), F::kBadValue, 4, nullptr},
      {"two numbers", with_field("next = 12 34\n"), F::kBadValue, 4, nullptr},
      {"a second sign", with_field("next == 5\n"), F::kBadValue, 4, nullptr},
      {"a sign", with_field("next = -1\n"), F::kBadValue, 4, nullptr},
      {"a plus", with_field("next = +1\n"), F::kBadValue, 4, nullptr},
      {"0x alone", with_field("next = 0x\n"), F::kBadValue, 4, nullptr},
      {"a digit that is not hex", with_field("next = 0x12G4\n"), F::kBadValue, 4, nullptr},
      {"a leading zero: octal?", with_field("next = 0100\n"), F::kBadValue, 4, nullptr},
      {"a trailing letter", with_field("next = 100k\n"), F::kBadValue, 4, nullptr},
      {"2^64", with_field("next = 18446744073709551616\n", "le", "8"), F::kBadValue, 4, nullptr},
      {"17 hex digits", with_field("next = 0x10000000000000000\n", "le", "8"), F::kBadValue, 4,
       nullptr},
      {"a CR that ends no line", with_field("next = 5\rlast = 9\n"), F::kBadValue, 4, nullptr},
      {"a non-breaking space",
       with_field("next =\xC2\xA0"
                  "5\n"),
       F::kBadValue, 4, nullptr},
      {"an encoding in capitals", "address = 1\nbytes = 1\nencoding = LE\n", F::kBadValue, 3,
       nullptr},
      {"two encodings", "encoding = le be\n", F::kBadValue, 1, nullptr},
      {"an unknown encoding", "encoding = bcd\n", F::kBadValue, 1, nullptr},
      {"bytes 0", "bytes = 0\n", F::kBadValue, 1, nullptr},
      {"bytes 21", "bytes = 21\n", F::kBadValue, 1, nullptr},
      {"an address past the 1 MB", "address = 0x100000\n", F::kBadValue, 1, nullptr},
      {"step 0 would give one number twice", with_field("next = 5\nstep = 0\n"), F::kBadValue, 5,
       nullptr},
      {"an empty command", with_field("command =\n"), F::kBadValue, 4, nullptr},
      {"a command that is not UTF-8", with_field("command = echo \xC0\xAF\n"), F::kBadValue, 4,
       nullptr},
      {"a cut UTF-8 sequence", with_field("command = echo \xD0\n"), F::kBadValue, 4, nullptr},
      {"a control character in a command", with_field("command = echo\x01 5\n"), F::kBadValue, 4,
       nullptr},
      {"a NUL in a command", with_field(std::string("command = echo\0 5\n", 18)), F::kBadValue, 4,
       nullptr},
      // A command beside the counter: on whichever comes later.
      {"a command after next", with_field("next = 5\ncommand = echo 5\n"), F::kBadValue, 5,
       nullptr},
      {"next after a command", with_field("command = echo 5\nnext = 5\n"), F::kBadValue, 5,
       nullptr},
      {"last after a command", with_field("command = echo 5\nlast = 9\n"), F::kBadValue, 5,
       nullptr},
      {"a command after step", with_field("step = 2\ncommand = echo 5\n"), F::kBadValue, 5,
       nullptr},
      // The first fault in the text is the one told.
      {"the first of two faults", with_field("bogus = 1\nnext = x\n"), F::kUnknownKey, 4, nullptr},
      {"a fault before a missing key", "bytes = 4\nnext = x\n", F::kBadValue, 2, nullptr},
      // Missing keys.
      {"an empty file", "", F::kMissingKey, 0, "address"},
      {"only comments", "# nothing\n\n", F::kMissingKey, 0, "address"},
      {"no bytes", "address = 1\nencoding = le\nnext = 1\n", F::kMissingKey, 0, "bytes"},
      {"no encoding", "address = 1\nbytes = 1\nnext = 1\n", F::kMissingKey, 0, "encoding"},
      {"no next", with_field("last = 9\n"), F::kMissingKey, 0, "next"},
      // Keys together.
      {"9 bytes le", with_field("next = 1\n", "le", "9"), F::kBadValue, 2, nullptr},
      {"9 bytes be", with_field("next = 1\n", "be", "9"), F::kBadValue, 2, nullptr},
      {"17 bytes hex", with_field("next = 1\n", "hex", "17"), F::kBadValue, 2, nullptr},
      {"bytes told on its line wherever the encoding is",
       "encoding = hex\naddress = 0\nnext = 1\nbytes = 17\n", F::kBadValue, 4, nullptr},
      {"a field past the 1 MB, told on the address",
       "bytes = 4\naddress = 0xFFFFD\nencoding = le\nnext = 1\n", F::kBadValue, 2, nullptr},
      {"next too large for 2 bytes", with_field("next = 65536\n", "le", "2"), F::kBadValue, 4,
       nullptr},
      {"next too large for 3 decimal digits", with_field("next = 1000\n", "dec", "3"), F::kBadValue,
       4, nullptr},
      {"next too large for 3 hex digits", with_field("next = 0x1000\n", "hex", "3"), F::kBadValue,
       4, nullptr},
      {"last too large, told on its line", with_field("next = 1\nlast = 256\n", "be", "1"),
       F::kBadValue, 5, nullptr},
      {"next above a last that does not fit: the last is at fault",
       with_field("next = 300\nlast = 256\n", "le", "1"), F::kBadValue, 5, nullptr},
      {"the earlier of two lines at fault",
       "next = 70000\naddress = 0xFFFFF\nbytes = 2\nencoding = le\n", F::kBadValue, 1, nullptr},
  };
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.name);
    NumbersFile f;
    const NumbersVerdict v = parse(c.text, &f);
    EXPECT_EQ(v.fault, c.fault);
    EXPECT_EQ(v.line, c.line);
    if (c.key == nullptr) {
      EXPECT_EQ(v.key, nullptr);
    } else {
      ASSERT_NE(v.key, nullptr);
      EXPECT_STREQ(v.key, c.key);
    }
  }
}

struct EncodeCase {
  NumberEncoding encoding;
  uint32_t bytes;
  uint64_t limit;
  uint64_t number;
  std::vector<uint8_t> field;  // empty: does not fit
};

std::vector<uint8_t> ascii(const char* text) { return {text, text + std::strlen(text)}; }

TEST(NumbersFile, EachEncodingAtItsLimits) {
  using E = NumberEncoding;
  const EncodeCase cases[] = {
      {E::kLe, 1, 0xFF, 0xFF, {0xFF}},
      {E::kLe, 1, 0xFF, 0x100, {}},
      {E::kLe, 4, 0xFFFFFFFF, 0x12345678, {0x78, 0x56, 0x34, 0x12}},
      {E::kLe, 4, 0xFFFFFFFF, 0x100000000, {}},
      {E::kLe, 8, kMax, kMax, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
      {E::kLe, 8, kMax, 1, {1, 0, 0, 0, 0, 0, 0, 0}},
      {E::kBe, 1, 0xFF, 0, {0}},
      {E::kBe, 3, 0xFFFFFF, 0x123456, {0x12, 0x34, 0x56}},
      {E::kBe, 3, 0xFFFFFF, 0x1000000, {}},
      {E::kBe, 8, kMax, 0x0102030405060708, {1, 2, 3, 4, 5, 6, 7, 8}},
      {E::kDec, 1, 9, 9, ascii("9")},
      {E::kDec, 1, 9, 10, {}},
      {E::kDec, 6, 999999, 42, ascii("000042")},
      {E::kDec, 6, 999999, 1000000, {}},
      {E::kDec, 19, 9999999999999999999u, 9999999999999999999u, ascii("9999999999999999999")},
      {E::kDec, 19, 9999999999999999999u, 10000000000000000000u, {}},
      {E::kDec, 20, kMax, kMax, ascii("18446744073709551615")},
      {E::kDec, 20, kMax, 7, ascii("00000000000000000007")},
      {E::kHex, 1, 0xF, 0xF, ascii("F")},
      {E::kHex, 1, 0xF, 0x10, {}},
      {E::kHex, 4, 0xFFFF, 0xABC, ascii("0ABC")},
      {E::kHex, 15, 0xFFFFFFFFFFFFFFF, 0x1000000000000000, {}},
      {E::kHex, 16, kMax, kMax, ascii("FFFFFFFFFFFFFFFF")},
      {E::kHex, 16, kMax, 0xDEADBEEF, ascii("00000000DEADBEEF")},
      // Lengths no file may give.
      {E::kLe, 0, 0, 0, {}},
      {E::kLe, 9, kMax, 1, {}},
      {E::kBe, 9, kMax, 1, {}},
      {E::kDec, 21, kMax, 1, {}},
      {E::kHex, 17, kMax, 1, {}},
  };
  for (const EncodeCase& c : cases) {
    SCOPED_TRACE("encoding " + std::to_string(static_cast<int>(c.encoding)) + ", " +
                 std::to_string(c.bytes) + " bytes, " + std::to_string(c.number));
    EXPECT_EQ(field_limit(c.encoding, c.bytes), c.limit);
    std::vector<uint8_t> field(24, 0xA5);
    const bool fits = encode_number(c.number, c.encoding, c.bytes, field.data());
    EXPECT_EQ(fits, !c.field.empty());
    std::vector<uint8_t> expected = c.field;
    expected.resize(24, 0xA5);  // nothing past the field, nothing at all when it does not fit
    EXPECT_EQ(field, expected);
  }
}

struct AdvanceCase {
  const char* name;
  std::string text;
  bool gives;
  uint64_t after;
};

TEST(NumbersFile, TheCounterNeverWrapsNorGivesANumberTwice) {
  const AdvanceCase cases[] = {
      {"the usual step", with_field("next = 5\n"), true, 6},
      {"a step of its own", with_field("next = 5\nstep = 10\n"), true, 15},
      {"the last number is given", with_field("next = 9\nlast = 9\n"), true, 10},
      {"a step past the last number", with_field("next = 8\nlast = 9\nstep = 5\n"), true, 13},
      {"above last: used up", with_field("next = 10\nlast = 9\n"), false, 0},
      {"the field's top without last: its successor would not fit",
       with_field("next = 255\n", "le", "1"), false, 0},
      {"below the field's top", with_field("next = 254\n", "le", "1"), true, 255},
      {"999999 in 6 digits, last given", with_field("next = 999999\nlast = 999999\n", "dec", "6"),
       true, 1000000},
      {"2^64 - 1 cannot be moved past", with_field("next = 0xFFFFFFFFFFFFFFFF\n", "le", "8"), false,
       0},
      {"nor with last",
       with_field("next = 0xFFFFFFFFFFFFFFFF\nlast = 0xFFFFFFFFFFFFFFFF\n", "le", "8"), false, 0},
      {"a step that would wrap",
       with_field("next = 0xFFFFFFFFFFFFFFF0\nstep = 0x10\nlast = 0xFFFFFFFFFFFFFFFF\n", "le", "8"),
       false, 0},
      {"a step that just does not wrap",
       with_field("next = 0xFFFFFFFFFFFFFFF0\nstep = 0xF\nlast = 0xFFFFFFFFFFFFFFFF\n", "le", "8"),
       true, kMax},
      {"a command has no counter", with_field("command = echo 5\n"), false, 0},
  };
  for (const AdvanceCase& c : cases) {
    SCOPED_TRACE(c.name);
    NumbersFile f;
    ASSERT_EQ(parse(c.text, &f).fault, NumbersFault::kNone);
    uint64_t after = 0;
    EXPECT_EQ(counter_advance(f, &after), c.gives);
    if (!c.gives) continue;
    EXPECT_EQ(after, c.after);
    // What is written back is itself a valid file, at that value.
    NumbersFile moved;
    ASSERT_EQ(parse(edit(c.text, after), &moved).fault, NumbersFault::kNone);
    EXPECT_EQ(moved.next, after);
  }
}

struct EditCase {
  const char* name;
  std::string text;
  uint64_t next;
  std::string expected;
};

TEST(NumbersFile, AnEditChangesTheValueOfNextAlone) {
  const std::string crlf =
      "\xEF\xBB\xBF# line 3\r\n"
      "\taddress\t= 0xFFF00\r\n"
      "\r\n"
      "bytes=4\r\n"
      "encoding = le # LE\r\n"
      "  next  =  0x0000FF  # the next one\r\n"
      "last = 0xFFFFFFFF";
  const EditCase cases[] = {
      {"the engineer's example", kExample, 100002,
       "# station serial numbers for line 3\n"
       "address  = 0xFFF00    # station address of the number's first byte\n"
       "bytes    = 4          # the field's length\n"
       "encoding = le         # le | be | dec | hex\n"
       "next     = 100002     # the next number to give\n"
       "last     = 199999     # optional: never give a number above this\n"},
      {"CRLF, a byte order mark, tabs, hex padded to its width", crlf, 0x100,
       "\xEF\xBB\xBF# line 3\r\n"
       "\taddress\t= 0xFFF00\r\n"
       "\r\n"
       "bytes=4\r\n"
       "encoding = le # LE\r\n"
       "  next  =  0x000100  # the next one\r\n"
       "last = 0xFFFFFFFF"},
      {"a decimal that grows a digit", with_field("next = 99#c\n"), 100,
       with_field("next = 100#c\n")},
      {"a hex that grows past its width", with_field("next = 0xF\n"), 0x10,
       with_field("next = 0x10\n")},
      {"0X and lower-case digits kept", with_field("next = 0Xff\n"), 0x1AB,
       with_field("next = 0X1ab\n")},
      {"upper-case digits kept", with_field("next = 0xFe\n"), 0xABC, with_field("next = 0xABC\n")},
      {"hex without letters writes upper case", with_field("next = 0x19\n"), 0x1A,
       with_field("next = 0x1A\n")},
      {"next on the last line, without a line end", with_field("last = 9\nnext = 1"), 2,
       with_field("last = 9\nnext = 2")},
      {"the largest number", with_field("next = 1\n", "le", "8"), kMax,
       with_field("next = 18446744073709551615\n", "le", "8")},
  };
  for (const EditCase& c : cases) {
    SCOPED_TRACE(c.name);
    NumbersVerdict v;
    EXPECT_EQ(edit(c.text, c.next, &v), c.expected);
    EXPECT_EQ(v.fault, NumbersFault::kNone);
  }
}

TEST(NumbersFile, OnlyAValidCounterIsEdited) {
  NumbersVerdict v;
  EXPECT_EQ(edit(with_field("next = x\n"), 5, &v), "(untouched)");
  EXPECT_EQ(v.fault, NumbersFault::kBadValue);
  EXPECT_EQ(v.line, 4u);
  EXPECT_EQ(edit(with_field("command = echo 5\n"), 5, &v), "(untouched)");
  EXPECT_EQ(v.fault, NumbersFault::kMissingKey);
  EXPECT_STREQ(v.key, "next");
}

TEST(NumbersFile, DecimalDigitsAlone) {
  const struct {
    const char* text;
    bool ok;
    uint64_t value;
  } cases[] = {
      {"0", true, 0},
      {"007", true, 7},
      {"18446744073709551615", true, kMax},
      {"18446744073709551616", false, 0},
      {"", false, 0},
      {" 1", false, 0},
      {"1a", false, 0},
      {"-1", false, 0},
      {"99999999999999999999", false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    uint64_t value = 12345;
    EXPECT_EQ(parse_decimal(c.text, std::strlen(c.text), &value), c.ok);
    EXPECT_EQ(value, c.ok ? c.value : 12345u);
  }
}

}  // namespace
}  // namespace travek
