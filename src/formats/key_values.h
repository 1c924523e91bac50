// Text of `key = value` lines, as the numbers file and the job file are
// written: one setting a line; `#` begins a comment to the end of its line;
// blank lines and spaces or tabs around keys and values do not count;
// lines end in LF or CRLF; a UTF-8 byte order mark at the start is passed
// over. Pure: bytes in, the lines out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace travek {

struct KeyValue {
  std::string_view key;
  std::string_view value;  // empty without '='
  bool has_value;          // the line has its '='
  uint32_t line;           // 1-based
  size_t value_at;         // the value's offset in the text, for an editor
};

// Every line that is neither blank nor a comment, in order.
std::vector<KeyValue> key_values(const uint8_t* text, size_t size);

}  // namespace travek
