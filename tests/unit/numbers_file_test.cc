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

void expect_faults(const std::vector<FaultCase>& cases) {
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

TEST(NumbersFile, EveryFaultWithItsLineAndReason) {
  using F = NumbersFault;
  const std::vector<FaultCase> cases = {
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
  expect_faults(cases);
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

// The serial number's four lines, at 0xFFF00..0xFFF03; a case's fields
// follow from line 5.
std::string after_serial(const std::string& fields) {
  return "address = 0xFFF00\nbytes = 4\nencoding = le\nnext = 1\n" + fields;
}

const std::string kFieldsExample =
    "mac.address  = 0xFFF10\n"
    "mac.bytes    = 6\n"
    "mac.encoding = be\n"
    "mac.next     = 0x0050C2A10000\n"
    "mac.last     = 0x0050C2A1FFFE\n"
    "mac.step     = 2            # two addresses per station\n"
    "mac.show     = hex          # how the console shows it: dec (default) or hex\n"
    "\n"
    "key.address  = 0xFFF20\n"
    "key.bytes    = 16\n"
    "key.list     = line3-keys.txt   # relative to this file's folder\n"
    "key.next     = 1                # the next line of the list to give\n";

void expect_field(const NumbersField& got, const NumbersField& want) {
  SCOPED_TRACE("field " + want.name);
  EXPECT_EQ(got.name, want.name);
  EXPECT_EQ(got.address, want.address);
  EXPECT_EQ(got.bytes, want.bytes);
  EXPECT_EQ(got.is_list, want.is_list);
  EXPECT_EQ(got.list, want.list);
  EXPECT_EQ(got.next, want.next);
  EXPECT_EQ(got.encoding, want.encoding);
  EXPECT_EQ(got.has_last, want.has_last);
  EXPECT_EQ(got.last, want.last);
  EXPECT_EQ(got.step, want.step);
  EXPECT_EQ(got.show_hex, want.show_hex);
  EXPECT_EQ(got.list_line, want.list_line);
}

NumbersField counter_field(const char* name, uint32_t address, uint32_t bytes,
                           NumberEncoding encoding, uint64_t next) {
  NumbersField f;
  f.name = name;
  f.address = address;
  f.bytes = bytes;
  f.encoding = encoding;
  f.next = next;
  return f;
}

NumbersField limited(NumbersField f, uint64_t last, uint64_t step = 1, bool show_hex = false) {
  f.has_last = true;
  f.last = last;
  f.step = step;
  f.show_hex = show_hex;
  return f;
}

NumbersField list_field(const char* name, uint32_t address, uint32_t bytes, const char* list,
                        uint64_t next, uint32_t list_line) {
  NumbersField f;
  f.name = name;
  f.address = address;
  f.bytes = bytes;
  f.is_list = true;
  f.list = list;
  f.next = next;
  f.list_line = list_line;
  return f;
}

struct FieldsCase {
  const char* name;
  std::string text;
  std::vector<NumbersField> fields;
};

TEST(NumbersFile, FieldsOfAStationsOwnParse) {
  using E = NumberEncoding;
  const FieldsCase cases[] = {
      {"the engineer's example: a MAC block and a key list",
       after_serial(kFieldsExample),
       {limited(counter_field("mac", 0xFFF10, 6, E::kBe, 0x0050C2A10000), 0x0050C2A1FFFE, 2, true),
        list_field("key", 0xFFF20, 16, "line3-keys.txt", 1, 15)}},
      {"a counter's defaults, show = dec said",
       after_serial("lot.address = 0x10\nlot.bytes = 3\nlot.encoding = dec\nlot.next = 42\n"
                    "lot.show = dec\n"),
       {counter_field("lot", 0x10, 3, E::kDec, 42)}},
      {"names at their limits",
       after_serial("a_234567890123_z.address = 0x10\na_234567890123_z.bytes = 1\n"
                    "a_234567890123_z.list = l\na_234567890123_z.next = 0x0A\n"
                    "k.address = 0x20\nk.bytes = 2\nk.encoding = hex\nk.next = 0xFF\n"),
       {list_field("a_234567890123_z", 0x10, 1, "l", 10, 7),
        counter_field("k", 0x20, 2, E::kHex, 255)}},
      {"keys in any order, fields among the serial's keys, in the order first named",
       "b.next = 3\na.list = a.txt\nb.address = 0x20\naddress = 0xFFF00\na.address = 0x10\n"
       "bytes = 4\na.bytes = 1\nb.bytes = 8\nencoding = hex\nb.encoding = le\na.next = 0x10\n"
       "next = 5\n",
       {counter_field("b", 0x20, 8, E::kLe, 3), list_field("a", 0x10, 1, "a.txt", 16, 2)}},
      {"the most bytes, touching the serial on both sides",
       after_serial("key.address = 0xFFE00\nkey.bytes = 256\nkey.list = k\nkey.next = 1\n"
                    "big.address = 0xFFF04\nbig.bytes = 20\nbig.encoding = dec\n"
                    "big.next = 18446744073709551615\n"),
       {list_field("key", 0xFFE00, 256, "k", 1, 7),
        counter_field("big", 0xFFF04, 20, E::kDec, UINT64_MAX)}},
      {"CRLF, a byte order mark, tabs, a list's path with a folder and spaces",
       "\xEF\xBB\xBF"
       "address = 0xFFF00\r\nbytes = 4\r\nencoding = le\r\nnext = 1\r\n"
       "\tkey.list\t=\tlists/line 3 keys.txt\t# the keys\r\nkey.bytes=8\r\nkey.address = 0x100\r\n"
       "key.next = 4294967295",
       {list_field("key", 0x100, 8, "lists/line 3 keys.txt", UINT32_MAX, 5)}},
      {"beside a command",
       "address = 0xFFF00\nbytes = 4\nencoding = le\ncommand = echo 5\n"
       "mac.address = 0x10\nmac.bytes = 6\nmac.encoding = be\nmac.next = 7\nmac.last = 9\n",
       {limited(counter_field("mac", 0x10, 6, E::kBe, 7), 9)}},
      {"a counter used up past its last",
       after_serial("mac.address = 0x10\nmac.bytes = 1\nmac.encoding = le\nmac.next = 300\n"
                    "mac.last = 255\n"),
       {limited(counter_field("mac", 0x10, 1, E::kLe, 300), 255)}},
  };
  for (const FieldsCase& c : cases) {
    SCOPED_TRACE(c.name);
    NumbersFile f;
    const NumbersVerdict v = parse(c.text, &f);
    ASSERT_EQ(v.fault, NumbersFault::kNone) << "line " << v.line << (v.key ? v.key : "");
    EXPECT_EQ(f.address, 0xFFF00u) << "the serial number's own keys stay its own";
    ASSERT_EQ(f.fields.size(), c.fields.size());
    for (size_t i = 0; i < c.fields.size(); ++i) expect_field(f.fields[i], c.fields[i]);
  }
}

// A complete counter field, its keys on four lines.
std::string counter_lines(const std::string& name, const std::string& address,
                          const std::string& bytes, const std::string& encoding = "be") {
  return name + ".address = " + address + "\n" + name + ".bytes = " + bytes + "\n" + name +
         ".encoding = " + encoding + "\n" + name + ".next = 1\n";
}

// A complete list field, its keys on four lines.
std::string list_lines(const std::string& name, const std::string& address,
                       const std::string& bytes, const std::string& next = "1") {
  return name + ".address = " + address + "\n" + name + ".bytes = " + bytes + "\n" + name +
         ".list = keys.txt\n" + name + ".next = " + next + "\n";
}

TEST(NumbersFile, AFieldsNameAndKeysAreWrittenAsTheyMustBe) {
  using F = NumbersFault;
  expect_faults({
      // Names and keys.
      {"a name in capitals", after_serial("Mac.address = 0x10\n"), F::kUnknownKey, 5, nullptr},
      {"a key in capitals", after_serial("mac.Address = 0x10\n"), F::kUnknownKey, 5, nullptr},
      {"a name of 17 characters", after_serial("a2345678901234567.address = 0x10\n"),
       F::kUnknownKey, 5, nullptr},
      {"a name starting with a digit", after_serial("1mac.address = 0x10\n"), F::kUnknownKey, 5,
       nullptr},
      {"a name starting with _", after_serial("_mac.address = 0x10\n"), F::kUnknownKey, 5, nullptr},
      {"a name with a hyphen", after_serial("mac-1.address = 0x10\n"), F::kUnknownKey, 5, nullptr},
      {"no name", after_serial(".address = 0x10\n"), F::kUnknownKey, 5, nullptr},
      {"no key after the dot", after_serial("mac. = 1\n"), F::kUnknownKey, 5, nullptr},
      {"an unknown key", after_serial("mac.colour = red\n"), F::kUnknownKey, 5, nullptr},
      {"a second dot", after_serial("mac.next.x = 1\n"), F::kUnknownKey, 5, nullptr},
      {"a serial key with no field", after_serial("mac.command = echo 5\n"), F::kUnknownKey, 5,
       nullptr},
      {"a field's key twice, told on the second",
       after_serial("mac.step = 1\n# between\nmac.step = 2\n"), F::kKeyTwice, 7, nullptr},
      {"the first fault in the text", after_serial("mac.bytes = 0\nMAC.x = 1\n"), F::kBadValue, 5,
       nullptr},
  });
}

TEST(NumbersFile, AFieldsValuesMustFitItsKind) {
  using F = NumbersFault;
  expect_faults({
      // Values.
      {"bytes 0", after_serial("mac.bytes = 0\n"), F::kBadValue, 5, nullptr},
      {"a list of 257 bytes", after_serial(list_lines("key", "0x100", "257")), F::kBadValue, 6,
       nullptr},
      {"9 bytes le", after_serial(counter_lines("mac", "0x10", "9", "le")), F::kBadValue, 6,
       nullptr},
      {"9 bytes be", after_serial(counter_lines("mac", "0x10", "9")), F::kBadValue, 6, nullptr},
      {"21 bytes dec", after_serial(counter_lines("mac", "0x10", "21", "dec")), F::kBadValue, 6,
       nullptr},
      {"17 bytes hex", after_serial(counter_lines("mac", "0x10", "17", "hex")), F::kBadValue, 6,
       nullptr},
      {"a list's next 0", after_serial(list_lines("key", "0x100", "2", "0")), F::kBadValue, 8,
       nullptr},
      {"a list's next 0x0", after_serial(list_lines("key", "0x100", "2", "0x0")), F::kBadValue, 8,
       nullptr},
      {"a list's next past 2^32 - 1", after_serial(list_lines("key", "0x100", "2", "4294967296")),
       F::kBadValue, 8, nullptr},
      {"an empty list name", after_serial("key.list =   # none\n"), F::kBadValue, 5, nullptr},
      {"step 0", after_serial(counter_lines("mac", "0x10", "2") + "mac.step = 0\n"), F::kBadValue,
       9, nullptr},
      {"show in capitals", after_serial("mac.show = HEX\n"), F::kBadValue, 5, nullptr},
      {"show oct", after_serial("mac.show = oct\n"), F::kBadValue, 5, nullptr},
      {"an unknown encoding", after_serial("mac.encoding = bcd\n"), F::kBadValue, 5, nullptr},
      {"a next past the field",
       after_serial("mac.address = 0x10\nmac.bytes = 1\nmac.encoding = le\nmac.next = 256\n"),
       F::kBadValue, 8, nullptr},
      {"a last past the field",
       after_serial(counter_lines("mac", "0x10", "1") + "mac.last = 256\n"), F::kBadValue, 9,
       nullptr},
      {"an address past the 1 MB", after_serial("mac.address = 0x100000\n"), F::kBadValue, 5,
       nullptr},
      {"a counter past the 1 MB's end, told on its address",
       after_serial("mac.bytes = 4\nmac.address = 0xFFFFE\nmac.encoding = le\nmac.next = 1\n"),
       F::kBadValue, 6, nullptr},
      {"a list past the 1 MB's end", after_serial(list_lines("key", "0xFFFF0", "32")), F::kBadValue,
       5, nullptr},
  });
}

TEST(NumbersFile, AFieldsKeysAreThoseOfItsKindAndNoTwoFieldsOverlap) {
  using F = NumbersFault;
  expect_faults({
      // A list takes its own keys alone, wherever the others are.
      {"a list with an encoding",
       after_serial(list_lines("key", "0x100", "2") + "key.encoding = le\n"), F::kUnknownKey, 9,
       nullptr},
      {"a list with a last before its list line",
       after_serial("key.last = 5\n" + list_lines("key", "0x100", "2")), F::kUnknownKey, 5,
       nullptr},
      {"a list with a step", after_serial(list_lines("key", "0x100", "2") + "key.step = 2\n"),
       F::kUnknownKey, 9, nullptr},
      {"a list with a show", after_serial(list_lines("key", "0x100", "2") + "key.show = dec\n"),
       F::kUnknownKey, 9, nullptr},
      // Missing keys, named NAME.key.
      {"a counter without its encoding",
       after_serial("mac.address = 0x10\nmac.bytes = 2\nmac.next = 1\n"), F::kMissingKey, 0,
       "mac.encoding"},
      {"a counter without its next",
       after_serial("mac.address = 0x10\nmac.bytes = 2\nmac.encoding = le\n"), F::kMissingKey, 0,
       "mac.next"},
      {"a field named once", after_serial("mac.show = hex\n"), F::kMissingKey, 0, "mac.address"},
      {"a list without its next",
       after_serial("key.address = 0x100\nkey.bytes = 2\nkey.list = k\n"), F::kMissingKey, 0,
       "key.next"},
      {"a list without its bytes",
       after_serial("key.address = 0x100\nkey.list = k\nkey.next = 1\n"), F::kMissingKey, 0,
       "key.bytes"},
      {"the serial's missing key first",
       "address = 0xFFF00\nbytes = 4\nencoding = le\nmac.show = hex\n", F::kMissingKey, 0, "next"},
      {"the first field missing a key", after_serial("a.show = hex\nb.step = 2\n"), F::kMissingKey,
       0, "a.address"},
      // Overlaps, on the address line of the later one.
      {"a field over the serial's last byte", after_serial(counter_lines("mac", "0xFFF03", "2")),
       F::kBadValue, 5, nullptr},
      {"the serial over a field given before it",
       counter_lines("mac", "0xFFF00", "4") + "address = 0xFFF02\nbytes = 4\nencoding = le\n"
                                              "next = 1\n",
       F::kBadValue, 5, nullptr},
      {"the later of two fields",
       after_serial(counter_lines("mac", "0x100", "6") + list_lines("key", "0x105", "16")),
       F::kBadValue, 9, nullptr},
      {"a field inside another",
       after_serial(list_lines("key", "0x100", "32") + counter_lines("mac", "0x108", "2")),
       F::kBadValue, 9, nullptr},
      {"the third over the first, not the second",
       after_serial(counter_lines("a", "0x100", "4") + counter_lines("b", "0x200", "4") +
                    counter_lines("c", "0x103", "1")),
       F::kBadValue, 13, nullptr},
      {"the later address line, wherever the bytes are",
       after_serial("a.address = 0x100\nb.address = 0x102\na.encoding = le\na.next = 1\n"
                    "b.encoding = le\nb.next = 1\nb.bytes = 2\na.bytes = 4\n"),
       F::kBadValue, 6, nullptr},
      {"a line's fault before an overlap",
       after_serial(counter_lines("mac", "0xFFF00", "2") + "mac.colour = red\n"), F::kUnknownKey, 9,
       nullptr},
  });
}

// The text with the given nexts: the serial's unless serial is null, and
// each field's.
std::string edit_nexts(const std::string& text, const uint64_t* serial,
                       const std::vector<uint64_t>& fields, NumbersVerdict* verdict = nullptr) {
  std::string edited = "(untouched)";
  const NumbersVerdict v = edit_numbers_nexts(reinterpret_cast<const uint8_t*>(text.data()),
                                              text.size(), serial, fields, &edited);
  if (verdict != nullptr) *verdict = v;
  return edited;
}

TEST(NumbersFile, AFieldsCounterNeverWrapsNorGivesAValueTwice) {
  const AdvanceCase cases[] = {
      {"the usual step", after_serial(counter_lines("mac", "0x10", "2")), true, 2},
      {"two addresses a station",
       after_serial("mac.address = 0x10\nmac.bytes = 6\nmac.encoding = be\n"
                    "mac.next = 0x0050C2A1FFFC\nmac.last = 0x0050C2A1FFFE\nmac.step = 2\n"),
       true, 0x0050C2A1FFFE},
      {"the last one given",
       after_serial("mac.address = 0x10\nmac.bytes = 6\nmac.encoding = be\n"
                    "mac.next = 0x0050C2A1FFFE\nmac.last = 0x0050C2A1FFFE\nmac.step = 2\n"),
       true, 0x0050C2A20000},
      {"past its last: used up",
       after_serial("mac.address = 0x10\nmac.bytes = 6\nmac.encoding = be\n"
                    "mac.next = 0x0050C2A20000\nmac.last = 0x0050C2A1FFFE\n"),
       false, 0},
      {"the field's top without last",
       after_serial("mac.address = 0x10\nmac.bytes = 1\nmac.encoding = le\nmac.next = 255\n"),
       false, 0},
      {"a step past the field's top with a last",
       after_serial("mac.address = 0x10\nmac.bytes = 1\nmac.encoding = le\nmac.next = 254\n"
                    "mac.last = 255\nmac.step = 2\n"),
       true, 256},
      {"a step that would wrap",
       after_serial("mac.address = 0x10\nmac.bytes = 8\nmac.encoding = le\n"
                    "mac.next = 0xFFFFFFFFFFFFFFFE\nmac.step = 2\nmac.last = 0xFFFFFFFFFFFFFFFF\n"),
       false, 0},
      {"a list moves by its line, not by this", after_serial(list_lines("key", "0x100", "2")),
       false, 0},
  };
  for (const AdvanceCase& c : cases) {
    SCOPED_TRACE(c.name);
    NumbersFile f;
    ASSERT_EQ(parse(c.text, &f).fault, NumbersFault::kNone);
    ASSERT_EQ(f.fields.size(), 1u);
    uint64_t after = 0;
    EXPECT_EQ(field_advance(f.fields[0], &after), c.gives);
    if (!c.gives) continue;
    EXPECT_EQ(after, c.after);
    // What is written back is itself a valid file, at that value.
    NumbersFile moved;
    ASSERT_EQ(parse(edit_nexts(c.text, nullptr, {after}), &moved).fault, NumbersFault::kNone);
    EXPECT_EQ(moved.fields[0].next, after);
  }
}

struct EditNextsCase {
  const char* name;
  std::string text;
  const uint64_t* serial;
  std::vector<uint64_t> fields;
  std::string expected;
};

// Each edit gives its text, and that text holds the values given.
void expect_edits(const std::vector<EditNextsCase>& cases) {
  for (const EditNextsCase& c : cases) {
    SCOPED_TRACE(c.name);
    NumbersVerdict v;
    const std::string edited = edit_nexts(c.text, c.serial, c.fields, &v);
    EXPECT_EQ(edited, c.expected);
    EXPECT_EQ(v.fault, NumbersFault::kNone);
    // And the edited text holds the values given.
    NumbersFile moved;
    ASSERT_EQ(parse(edited, &moved).fault, NumbersFault::kNone);
    if (c.serial != nullptr) {
      EXPECT_EQ(moved.next, *c.serial);
    }
    ASSERT_EQ(moved.fields.size(), c.fields.size());
    for (size_t i = 0; i < c.fields.size(); ++i) EXPECT_EQ(moved.fields[i].next, c.fields[i]);
  }
}

TEST(NumbersFile, AnEditMovesEveryNextAndKeepsEveryOtherByte) {
  static constexpr uint64_t k100002 = 100002, k0x100 = 0x100, k42 = 42;
  const std::string every_base =
      "address = 0xFFF00\nbytes = 4\nencoding = le\nnext = 0x00ff\n"
      "a.address = 0x10\na.bytes = 8\na.encoding = be\na.next = 0Xabc  # lower\n"
      "b.address = 0x20\nb.bytes = 8\nb.encoding = be\nb.next = 99\n"
      "c.address = 0x30\nc.bytes=4\nc.list = c.txt\nc.next = 0x0009\n";
  expect_edits({
      {"the engineer's example",
       kExample + "\n" + kFieldsExample,
       &k100002,
       {0x0050C2A10002, 2},
       "# station serial numbers for line 3\n"
       "address  = 0xFFF00    # station address of the number's first byte\n"
       "bytes    = 4          # the field's length\n"
       "encoding = le         # le | be | dec | hex\n"
       "next     = 100002     # the next number to give\n"
       "last     = 199999     # optional: never give a number above this\n"
       "\n"
       "mac.address  = 0xFFF10\n"
       "mac.bytes    = 6\n"
       "mac.encoding = be\n"
       "mac.next     = 0x0050C2A10002\n"
       "mac.last     = 0x0050C2A1FFFE\n"
       "mac.step     = 2            # two addresses per station\n"
       "mac.show     = hex          # how the console shows it: dec (default) or hex\n"
       "\n"
       "key.address  = 0xFFF20\n"
       "key.bytes    = 16\n"
       "key.list     = line3-keys.txt   # relative to this file's folder\n"
       "key.next     = 2                # the next line of the list to give\n"},
      {"each value's base and case, a width kept or grown",
       every_base,
       &k0x100,
       {0x1abc, 100, 10},
       "address = 0xFFF00\nbytes = 4\nencoding = le\nnext = 0x0100\n"
       "a.address = 0x10\na.bytes = 8\na.encoding = be\na.next = 0X1abc  # lower\n"
       "b.address = 0x20\nb.bytes = 8\nb.encoding = be\nb.next = 100\n"
       "c.address = 0x30\nc.bytes=4\nc.list = c.txt\nc.next = 0x000A\n"},
      {"the fields alone, beside a command",
       "address = 0xFFF00\nbytes = 4\nencoding = le\ncommand = echo 5 # next = 1\n"
       "mac.address = 0x10\nmac.bytes = 2\nmac.encoding = le\nmac.next = 7 # next = 7\n",
       nullptr,
       {8},
       "address = 0xFFF00\nbytes = 4\nencoding = le\ncommand = echo 5 # next = 1\n"
       "mac.address = 0x10\nmac.bytes = 2\nmac.encoding = le\nmac.next = 8 # next = 7\n"},
      {"nexts before the keys they go with, CRLF, a byte order mark, no final line end",
       "\xEF\xBB\xBFkey.next=3\r\nnext\t=\t41\t# serial\r\nmac.next = 0x0FFF\r\n"
       "address = 0xFFF00\r\nbytes = 4\r\nencoding = le\r\nkey.address = 0x100\r\nkey.bytes = 2\r\n"
       "key.list = k\r\nmac.address = 0x10\r\nmac.bytes = 2\r\nmac.encoding = le\r\n"
       "mac.show = hex\r\nlast = 100\r\nmac.last = 0xFFFF",
       &k42,
       {4, 0x1000},
       "\xEF\xBB\xBFkey.next=4\r\nnext\t=\t42\t# serial\r\nmac.next = 0x1000\r\n"
       "address = 0xFFF00\r\nbytes = 4\r\nencoding = le\r\nkey.address = 0x100\r\nkey.bytes = 2\r\n"
       "key.list = k\r\nmac.address = 0x10\r\nmac.bytes = 2\r\nmac.encoding = le\r\n"
       "mac.show = hex\r\nlast = 100\r\nmac.last = 0xFFFF"},
  });
}

TEST(NumbersFile, OnlyASoundFileHasItsNextsMoved) {
  const uint64_t serial = 2;
  NumbersVerdict v;
  EXPECT_EQ(edit_nexts(after_serial(counter_lines("mac", "0xFFF00", "2")), &serial, {2}, &v),
            "(untouched)");
  EXPECT_EQ(v.fault, NumbersFault::kBadValue);
  EXPECT_EQ(v.line, 5u);
  EXPECT_EQ(edit_nexts("address = 1\nbytes = 1\nencoding = le\ncommand = echo 5\n" +
                           counter_lines("mac", "0x10", "2"),
                       &serial, {2}, &v),
            "(untouched)");
  EXPECT_EQ(v.fault, NumbersFault::kMissingKey);
  EXPECT_STREQ(v.key, "next");
}

}  // namespace
}  // namespace travek
