// The numbers file: where a station's serial number goes in its image, how
// it is written there, and where the next one comes from.
//
// Principles of operation:
//  - A small text a line engineer writes: one `key = value` a line, `#`
//    begins a comment (in a command too), blank lines are ignored and so
//    are spaces and tabs around the key and the value. Lines end with LF or
//    CRLF; a UTF-8 byte order mark at the start is skipped.
//  - Keys: address, bytes, encoding (le, be, dec, hex), next, last
//    (optional), step (optional, 1 by default), and command, which takes
//    the place of next, last and step.
//  - Numbers are unsigned and up to 64 bits: decimal, or hexadecimal after
//    0x. A decimal number with a leading zero is refused: it could be meant
//    as octal, as the command line reads it.
//  - Nothing is guessed. An unknown key, a key given twice, or a value that
//    does not parse or does not fit is a fault on its line, and the first
//    one in the text ends the parse; a missing key is named.
//  - The counter never wraps and never gives a number twice: `next` is given
//    only when the counter can move past it to a value the file still
//    holds as valid. A `next` above `last` is valid: the numbers are used
//    up, as the file is left once the last one is given.
//  - An edit changes the value of `next` alone, written in the base the
//    engineer chose; every other byte is kept.
//  - Pure: text in, result out; no I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace travek {

enum class NumberEncoding {
  kLe,   // binary, least significant byte first, 1 to 8 bytes
  kBe,   // binary, most significant byte first, 1 to 8 bytes
  kDec,  // ASCII decimal digits, zero-padded on the left, 1 to 20 bytes
  kHex,  // ASCII upper-case hex digits, zero-padded on the left, 1 to 16 bytes
};

struct NumbersFile {
  uint32_t address = 0;  // station address of the field's first byte
  uint32_t bytes = 0;    // the field's length
  NumberEncoding encoding = NumberEncoding::kLe;
  bool from_command = false;  // numbers are drawn by `command`, not counted
  std::string command;
  uint64_t next = 0;  // the counter, without a command
  bool has_last = false;
  uint64_t last = 0;
  uint64_t step = 1;
};

enum class NumbersFault {
  kNone,
  kUnknownKey,
  kKeyTwice,
  kBadValue,  // does not parse, or does not fit (the field, the station's
              // space, its encoding), or a command beside next/last/step
  kMissingKey,
};

struct NumbersVerdict {
  NumbersFault fault;
  uint32_t line;    // 1-based; 0 with kNone and kMissingKey
  const char* key;  // with kMissingKey, the key's name; null otherwise
};

// Cross-key faults are told on a fixed line: bytes outside its encoding's
// range on the bytes line; a field past the station's 1 MB on the address
// line; a `next` or `last` that does not fit the field on its own line; a
// command beside next, last or step on whichever of the two comes later.
NumbersVerdict parse_numbers_file(const uint8_t* text, size_t size, NumbersFile* file);

// The largest number the field holds.
uint64_t field_limit(NumberEncoding encoding, uint32_t bytes);

// The number's bytes in the field (bytes long, 1 to the encoding's most);
// false, with the field untouched, when it does not fit.
bool encode_number(uint64_t number, NumberEncoding encoding, uint32_t bytes, uint8_t* field);

// Whether the counter has a number to give: `next` is not above `last`,
// and next + step is a value to write back that the file holds as valid
// (below 2^64, and inside the field when there is no `last`). *after is
// then that value. False for a file with a command.
bool counter_advance(const NumbersFile& file, uint64_t* after);

// The text with the value of `next` replaced by the given one, in the same
// base: decimal as decimal; hex with the same 0x or 0X, the same case of
// digits, and at least as many digits as were written. A text that does not
// parse gives its verdict; one without `next` gives kMissingKey for it.
NumbersVerdict edit_numbers_next(const uint8_t* text, size_t size, uint64_t next,
                                 std::string* edited);

// Decimal digits alone, leading zeros allowed, at most 2^64 - 1.
bool parse_decimal(const char* text, size_t length, uint64_t* value);

}  // namespace travek
