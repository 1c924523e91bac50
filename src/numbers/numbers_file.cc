#include "numbers/numbers_file.h"

#include <algorithm>
#include <cstring>

#include "common/constants.h"
#include "formats/key_values.h"

namespace travek {
namespace {

enum Key { kAddress, kBytes, kEncoding, kNext, kLast, kStep, kCommand, kKeyCount };

constexpr const char* kKeyNames[kKeyCount] = {"address", "bytes", "encoding", "next",
                                              "last",    "step",  "command"};
constexpr const char* kEncodingNames[] = {"le", "be", "dec", "hex"};
constexpr uint32_t kMostBytes[] = {8, 8, 20, 16};
constexpr uint32_t kBytesAtMost = 20;

struct Span {
  const uint8_t* chars;
  size_t length;
};

struct Reading {
  NumbersFile* file;
  uint32_t line_of[kKeyCount];  // where each key was given; 0 while it was not
  Span next_value;              // as written, for the editor
};

bool equals(Span s, const char* word) {
  return s.length == std::strlen(word) && std::memcmp(s.chars, word, s.length) == 0;
}

int hex_digit(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool is_hex_number(Span v) {
  return v.length > 2 && v.chars[0] == '0' && (v.chars[1] | 0x20) == 'x';
}

// Decimal without a leading zero, or 0x hex.
bool parse_number(Span v, uint64_t* value) {
  if (is_hex_number(v)) {
    uint64_t x = 0;
    for (size_t i = 2; i < v.length; ++i) {
      const int d = hex_digit(v.chars[i]);
      if (d < 0 || (x >> 60) != 0) return false;
      x = x << 4 | static_cast<uint64_t>(d);
    }
    *value = x;
    return true;
  }
  if (v.length > 1 && v.chars[0] == '0') return false;
  return parse_decimal(reinterpret_cast<const char*>(v.chars), v.length, value);
}

// UTF-8 without control characters (a tab is allowed): what a shell command
// may hold.
bool is_command_text(Span v) {
  const uint8_t* s = v.chars;
  for (size_t i = 0; i < v.length;) {
    const uint8_t c = s[i];
    if (c < 0x80) {
      if ((c < 0x20 && c != '\t') || c == 0x7F) return false;
      ++i;
      continue;
    }
    size_t length;
    uint32_t code;
    uint32_t least;
    if ((c & 0xE0) == 0xC0) {
      length = 2, code = c & 0x1Fu, least = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      length = 3, code = c & 0x0Fu, least = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      length = 4, code = c & 0x07u, least = 0x10000;
    } else {
      return false;
    }
    if (v.length - i < length) return false;
    for (size_t k = 1; k < length; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      code = code << 6 | (s[i + k] & 0x3Fu);
    }
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF) || code < 0xA0) {
      return false;  // overlong, out of range, a surrogate, or a C1 control
    }
    i += length;
  }
  return v.length > 0;
}

bool take_value(Key key, Span value, Reading* r) {
  NumbersFile* f = r->file;
  uint64_t n = 0;
  switch (key) {
    case kAddress:
      if (!parse_number(value, &n) || n >= ADDRESS_SPACE_END) return false;
      f->address = static_cast<uint32_t>(n);
      return true;
    case kBytes:
      if (!parse_number(value, &n) || n < 1 || n > kBytesAtMost) return false;
      f->bytes = static_cast<uint32_t>(n);
      return true;
    case kEncoding:
      for (int e = 0; e < 4; ++e) {
        if (equals(value, kEncodingNames[e])) {
          f->encoding = static_cast<NumberEncoding>(e);
          return true;
        }
      }
      return false;
    case kNext:
      if (r->line_of[kCommand] != 0 || !parse_number(value, &f->next)) return false;
      r->next_value = value;
      return true;
    case kLast:
      f->has_last = true;
      return r->line_of[kCommand] == 0 && parse_number(value, &f->last);
    case kStep:
      return r->line_of[kCommand] == 0 && parse_number(value, &f->step) && f->step > 0;
    case kCommand:
      if (r->line_of[kNext] != 0 || r->line_of[kLast] != 0 || r->line_of[kStep] != 0) return false;
      if (!is_command_text(value)) return false;
      f->from_command = true;
      f->command.assign(reinterpret_cast<const char*>(value.chars), value.length);
      return true;
    default:
      return false;
  }
}

NumbersFault take_line(const KeyValue& kv, Reading* r) {
  int key = 0;
  while (key < kKeyCount && kv.key != kKeyNames[key]) ++key;
  if (key == kKeyCount) return NumbersFault::kUnknownKey;
  if (r->line_of[key] != 0) return NumbersFault::kKeyTwice;
  r->line_of[key] = kv.line;
  const Span value{reinterpret_cast<const uint8_t*>(kv.value.data()), kv.value.size()};
  if (value.length == 0 || !take_value(static_cast<Key>(key), value, r)) {
    return NumbersFault::kBadValue;
  }
  return NumbersFault::kNone;
}

// The faults that need more than one key, once every line has been read.
NumbersVerdict check_together(const Reading& r) {
  const NumbersFile& f = *r.file;
  for (Key key : {kAddress, kBytes, kEncoding}) {
    if (r.line_of[key] == 0) return {NumbersFault::kMissingKey, 0, kKeyNames[key]};
  }
  if (!f.from_command && r.line_of[kNext] == 0) {
    return {NumbersFault::kMissingKey, 0, kKeyNames[kNext]};
  }
  if (f.bytes > kMostBytes[static_cast<int>(f.encoding)]) {
    return {NumbersFault::kBadValue, r.line_of[kBytes], nullptr};
  }
  const uint64_t limit = field_limit(f.encoding, f.bytes);
  // The first of the lines at fault; UINT32_MAX while none is.
  uint32_t line = UINT32_MAX;
  if (f.address + f.bytes > ADDRESS_SPACE_END) line = r.line_of[kAddress];
  if (f.has_last && f.last > limit) line = std::min(line, r.line_of[kLast]);
  // A counter past its last number is the file as its last taking left it.
  if (!f.from_command && f.next > limit && !(f.has_last && f.next > f.last)) {
    line = std::min(line, r.line_of[kNext]);
  }
  if (line != UINT32_MAX) return {NumbersFault::kBadValue, line, nullptr};
  return {NumbersFault::kNone, 0, nullptr};
}

NumbersVerdict read_file(const uint8_t* text, size_t size, NumbersFile* file, Span* next_value) {
  *file = NumbersFile{};
  Reading r{file, {}, {nullptr, 0}};
  for (const KeyValue& kv : key_values(text, size)) {
    const NumbersFault fault = take_line(kv, &r);
    if (fault != NumbersFault::kNone) return {fault, kv.line, nullptr};
  }
  *next_value = r.next_value;
  return check_together(r);
}

void append_hex(uint64_t value, Span written, std::string* out) {
  bool upper = true;
  for (size_t i = 2; i < written.length; ++i) {
    const uint8_t c = written.chars[i];
    if ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')) {
      upper = c <= 'F';
      break;
    }
  }
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  char reversed[16];
  size_t n = 0;
  do {
    reversed[n++] = digits[value & 15];
    value >>= 4;
  } while (value != 0);
  out->append(reinterpret_cast<const char*>(written.chars), 2);
  for (size_t width = written.length - 2; width > n; --width) out->push_back('0');
  while (n > 0) out->push_back(reversed[--n]);
}

void append_decimal(uint64_t value, std::string* out) {
  char reversed[20];
  size_t n = 0;
  do {
    reversed[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n > 0) out->push_back(reversed[--n]);
}

}  // namespace

NumbersVerdict parse_numbers_file(const uint8_t* text, size_t size, NumbersFile* file) {
  Span next_value;
  return read_file(text, size, file, &next_value);
}

uint64_t field_limit(NumberEncoding encoding, uint32_t bytes) {
  uint32_t bits_per_byte = 8;
  switch (encoding) {
    case NumberEncoding::kLe:
    case NumberEncoding::kBe:
      break;
    case NumberEncoding::kHex:
      bits_per_byte = 4;
      break;
    case NumberEncoding::kDec: {
      if (bytes >= 20) return UINT64_MAX;
      uint64_t limit = 1;
      for (uint32_t i = 0; i < bytes; ++i) limit *= 10;
      return limit - 1;
    }
  }
  if (bytes * bits_per_byte >= 64) return UINT64_MAX;
  return (uint64_t{1} << (bytes * bits_per_byte)) - 1;
}

bool encode_number(uint64_t number, NumberEncoding encoding, uint32_t bytes, uint8_t* field) {
  if (bytes < 1 || bytes > kMostBytes[static_cast<int>(encoding)]) return false;
  if (number > field_limit(encoding, bytes)) return false;
  for (uint32_t i = 0; i < bytes; ++i) {
    switch (encoding) {
      case NumberEncoding::kLe:
        field[i] = static_cast<uint8_t>(number >> (8 * i));
        break;
      case NumberEncoding::kBe:
        field[bytes - 1 - i] = static_cast<uint8_t>(number >> (8 * i));
        break;
      case NumberEncoding::kDec:
        field[bytes - 1 - i] = static_cast<uint8_t>('0' + number % 10);
        number /= 10;
        break;
      case NumberEncoding::kHex:
        field[bytes - 1 - i] = static_cast<uint8_t>("0123456789ABCDEF"[number & 15]);
        number >>= 4;
        break;
    }
  }
  return true;
}

bool counter_advance(const NumbersFile& file, uint64_t* after) {
  if (file.from_command || (file.has_last && file.next > file.last)) return false;
  if (file.next > UINT64_MAX - file.step) return false;
  const uint64_t moved = file.next + file.step;
  if (!file.has_last && moved > field_limit(file.encoding, file.bytes)) return false;
  *after = moved;
  return true;
}

NumbersVerdict edit_numbers_next(const uint8_t* text, size_t size, uint64_t next,
                                 std::string* edited) {
  NumbersFile file;
  Span written;
  const NumbersVerdict verdict = read_file(text, size, &file, &written);
  if (verdict.fault != NumbersFault::kNone) return verdict;
  if (file.from_command) return {NumbersFault::kMissingKey, 0, kKeyNames[kNext]};
  const size_t at = static_cast<size_t>(written.chars - text);
  edited->assign(reinterpret_cast<const char*>(text), at);
  if (is_hex_number(written)) {
    append_hex(next, written, edited);
  } else {
    append_decimal(next, edited);
  }
  edited->append(reinterpret_cast<const char*>(text) + at + written.length,
                 size - at - written.length);
  return verdict;
}

bool parse_decimal(const char* text, size_t length, uint64_t* value) {
  if (length == 0) return false;
  uint64_t x = 0;
  for (size_t i = 0; i < length; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    const uint64_t d = static_cast<uint64_t>(text[i] - '0');
    if (x > (UINT64_MAX - d) / 10) return false;
    x = x * 10 + d;
  }
  *value = x;
  return true;
}

}  // namespace travek
