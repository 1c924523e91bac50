#include "formats/text_lines.h"

#include <array>
#include <cstring>

namespace travek {
namespace {

constexpr uint8_t kNotHex = 0x10;

constexpr std::array<uint8_t, 256> kHexValue = [] {
  std::array<uint8_t, 256> table{};
  for (uint8_t& v : table) v = kNotHex;
  for (int c = 0; c < 10; ++c) table['0' + c] = static_cast<uint8_t>(c);
  for (int c = 0; c < 6; ++c) {
    table['A' + c] = static_cast<uint8_t>(10 + c);
    table['a' + c] = static_cast<uint8_t>(10 + c);
  }
  return table;
}();

bool is_blank(uint8_t c) { return c == ' ' || c == '\t'; }

}  // namespace

bool next_record_line(TextLines* lines, TextLine* line) {
  while (lines->next < lines->size) {
    const uint8_t* begin = lines->text + lines->next;
    const size_t rest = lines->size - lines->next;
    const void* lf = std::memchr(begin, '\n', rest);
    size_t length =
        lf != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(lf) - begin) : rest;
    lines->next += lf != nullptr ? length + 1 : length;
    ++lines->number;
    // Only a CR right before the LF is part of the line end; any other CR
    // stays in the line and makes it a bad record.
    if (lf != nullptr && length > 0 && begin[length - 1] == '\r') --length;
    while (length > 0 && is_blank(begin[length - 1])) --length;
    if (length == 0) continue;
    *line = {begin, length, lines->number};
    return true;
  }
  return false;
}

bool read_hex_bytes(const uint8_t* digits, size_t count, uint8_t* bytes) {
  // One test at the end instead of a branch per digit: the parse of a
  // large file spends most of its time here.
  uint8_t seen = 0;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t high = kHexValue[digits[2 * i]];
    const uint8_t low = kHexValue[digits[2 * i + 1]];
    seen = static_cast<uint8_t>(seen | high | low);
    bytes[i] = static_cast<uint8_t>((high << 4) | low);
  }
  return (seen & kNotHex) == 0;
}

}  // namespace travek
