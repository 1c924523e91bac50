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
//  - More fields of a station's own may follow, each under a name of its own
//    (a lower-case letter, then lower-case letters, digits or `_`, up to 16
//    characters) and written NAME.key. A counter field has NAME.address,
//    NAME.bytes, NAME.encoding, NAME.next, and may have NAME.last,
//    NAME.step and NAME.show (dec or hex, how the console shows it), which
//    mean what they mean for the serial number. A list field has
//    NAME.address, NAME.bytes, NAME.list (a file of one value a line,
//    relative to the numbers file's folder) and NAME.next (the next line to
//    give, from 1), and those alone. No two fields' bytes overlap, the
//    serial number counting as one: the later one in the file is at fault,
//    on its address line.
//  - An edit changes the values of `next` alone, written in the base the
//    engineer chose; every other byte is kept.
//  - Pure: text in, result out; no I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace travek {

enum class NumberEncoding {
  kLe,   // binary, least significant byte first, 1 to 8 bytes
  kBe,   // binary, most significant byte first, 1 to 8 bytes
  kDec,  // ASCII decimal digits, zero-padded on the left, 1 to 20 bytes
  kHex,  // ASCII upper-case hex digits, zero-padded on the left, 1 to 16 bytes
};

// A field of a station's own beside its serial number.
struct NumbersField {
  std::string name;
  uint32_t address = 0;
  uint32_t bytes = 0;
  bool is_list = false;
  std::string list;  // the list's file, as written
  // A counter's next value; a list's next line, from 1.
  uint64_t next = 0;
  NumberEncoding encoding = NumberEncoding::kLe;
  bool has_last = false;
  uint64_t last = 0;
  uint64_t step = 1;
  bool show_hex = false;
  uint32_t list_line = 0;  // the line of NAME.list, which a list not there is told on
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
  std::vector<NumbersField> fields;  // in the file's order
  std::string missing;               // a field's key that is missing, as written: NAME.key
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
  const char* key;  // with kMissingKey, the key's name (kept by the file); null otherwise
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
// The same for a counter field.
bool field_advance(const NumbersField& field, uint64_t* after);

// The text with the value of `next` replaced by the given one, in the same
// base: decimal as decimal; hex with the same 0x or 0X, the same case of
// digits, and at least as many digits as were written. A text that does not
// parse gives its verdict; one without `next` gives kMissingKey for it.
NumbersVerdict edit_numbers_next(const uint8_t* text, size_t size, uint64_t next,
                                 std::string* edited);
// The text with every `next` that moves given its new value: the serial
// number's (unless moved is null) and each field's, in the file's order.
NumbersVerdict edit_numbers_nexts(const uint8_t* text, size_t size, const uint64_t* serial,
                                  const std::vector<uint64_t>& fields, std::string* edited);

// Decimal digits alone, leading zeros allowed, at most 2^64 - 1.
bool parse_decimal(const char* text, size_t length, uint64_t* value);

}  // namespace travek
