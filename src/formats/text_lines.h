// What the Intel HEX and S-record parsers share: the text's lines and the
// hex digits of a record.
#pragma once

#include <cstddef>
#include <cstdint>

namespace travek {

// The lines of a text, taken in order. A line ends at LF (a CR before it
// belongs to the line end); the last line may have none.
struct TextLines {
  const uint8_t* text;
  size_t size;
  size_t next;      // where the next line begins
  uint32_t number;  // the last line taken, 1-based; 0 before the first
};

struct TextLine {
  const uint8_t* chars;
  size_t length;  // without the line end and the spaces and tabs before it
  uint32_t number;
};

inline TextLines text_lines(const uint8_t* text, size_t size) { return {text, size, 0, 0}; }

// Takes the next line that is not blank (empty, or only spaces and tabs),
// counting the blank ones passed; false at the end of the text.
bool next_record_line(TextLines* lines, TextLine* line);

// Once every line is taken: the text's last line, where a missing record is
// reported (1 for an empty text).
inline uint32_t last_line(const TextLines& lines) { return lines.number > 0 ? lines.number : 1; }

// Reads `count` bytes as pairs of hex digits, either case; false when a
// character is not a hex digit.
bool read_hex_bytes(const uint8_t* digits, size_t count, uint8_t* bytes);

// An address or count field, most significant byte first (count <= 4).
inline uint32_t big_endian(const uint8_t* bytes, size_t count) {
  uint32_t value = 0;
  for (size_t i = 0; i < count; ++i) value = value << 8 | bytes[i];
  return value;
}

}  // namespace travek
