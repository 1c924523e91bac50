#include "numbers/numbers_file.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

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

enum FieldKey {
  kFieldAddress,
  kFieldBytes,
  kFieldEncoding,
  kFieldNext,
  kFieldLast,
  kFieldStep,
  kFieldShow,
  kFieldList,
  kFieldKeyCount
};

constexpr const char* kFieldKeyNames[kFieldKeyCount] = {"address", "bytes", "encoding", "next",
                                                        "last",    "step",  "show",     "list"};
// A list's values are kept in the image as they are: a key, a certificate's id.
constexpr uint32_t kListBytesAtMost = 256;

struct FieldReading {
  uint32_t line_of[kFieldKeyCount] = {};
  Span next_value{nullptr, 0};
};

struct Reading {
  NumbersFile* file;
  uint32_t line_of[kKeyCount];  // where each key was given; 0 while it was not
  Span next_value;              // as written, for the editor
  std::vector<FieldReading> fields;
};

// Where each `next` is written, for the editor.
struct Nexts {
  Span serial{nullptr, 0};
  std::vector<Span> fields;
};

// What a counter's checks need, the serial number's or a field's.
struct Counter {
  uint32_t address;
  uint32_t bytes;
  NumberEncoding encoding;
  bool counts;  // it has a next of its own
  uint64_t next;
  bool has_last;
  uint64_t last;
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

bool take_encoding(Span value, NumberEncoding* encoding) {
  for (int e = 0; e < 4; ++e) {
    if (equals(value, kEncodingNames[e])) {
      *encoding = static_cast<NumberEncoding>(e);
      return true;
    }
  }
  return false;
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
      return take_encoding(value, &f->encoding);
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

// A field's name: a lower-case letter, then lower-case letters, digits or
// '_', 16 characters at most.
bool is_field_name(std::string_view name) {
  if (name.empty() || name.size() > 16 || name[0] < 'a' || name[0] > 'z') return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
  });
}

bool take_field_value(FieldKey key, Span value, NumbersField* f, FieldReading* fr) {
  uint64_t n = 0;
  switch (key) {
    case kFieldAddress:
      if (!parse_number(value, &n) || n >= ADDRESS_SPACE_END) return false;
      f->address = static_cast<uint32_t>(n);
      return true;
    case kFieldBytes:
      if (!parse_number(value, &n) || n < 1 || n > kListBytesAtMost) return false;
      f->bytes = static_cast<uint32_t>(n);
      return true;
    case kFieldEncoding:
      return take_encoding(value, &f->encoding);
    case kFieldNext:
      fr->next_value = value;
      return parse_number(value, &f->next);
    case kFieldLast:
      f->has_last = true;
      return parse_number(value, &f->last);
    case kFieldStep:
      return parse_number(value, &f->step) && f->step > 0;
    case kFieldShow:
      f->show_hex = equals(value, "hex");
      return f->show_hex || equals(value, "dec");
    case kFieldList:
      f->is_list = true;
      f->list.assign(reinterpret_cast<const char*>(value.chars), value.length);
      return true;
    default:
      return false;
  }
}

// NAME.key: its field (made when first named) and the key.
NumbersFault take_field_line(const KeyValue& kv, size_t dot, Reading* r) {
  const std::string_view name = kv.key.substr(0, dot);
  const std::string_view sub = kv.key.substr(dot + 1);
  int key = 0;
  while (key < kFieldKeyCount && sub != kFieldKeyNames[key]) ++key;
  if (!is_field_name(name) || key == kFieldKeyCount) return NumbersFault::kUnknownKey;
  std::vector<NumbersField>& fields = r->file->fields;
  auto at = std::find_if(fields.begin(), fields.end(),
                         [&](const NumbersField& f) { return f.name == name; });
  if (at == fields.end()) {
    fields.emplace_back();
    fields.back().name = name;
    r->fields.emplace_back();
    at = fields.end() - 1;
  }
  FieldReading& fr = r->fields[static_cast<size_t>(at - fields.begin())];
  if (fr.line_of[key] != 0) return NumbersFault::kKeyTwice;
  fr.line_of[key] = kv.line;
  if (key == kFieldList) at->list_line = kv.line;
  const Span value{reinterpret_cast<const uint8_t*>(kv.value.data()), kv.value.size()};
  if (value.length == 0 || !take_field_value(static_cast<FieldKey>(key), value, &*at, &fr)) {
    return NumbersFault::kBadValue;
  }
  return NumbersFault::kNone;
}

NumbersFault take_line(const KeyValue& kv, Reading* r) {
  const size_t dot = kv.key.find('.');
  if (dot != std::string_view::npos) return take_field_line(kv, dot, r);
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

// A counter's values against its field: the first of the lines at fault,
// UINT32_MAX while none is. A counter past its last number is the file as
// its last taking left it.
uint32_t counter_fault(const Counter& c, uint32_t address_line, uint32_t last_line,
                       uint32_t next_line) {
  const uint64_t limit = field_limit(c.encoding, c.bytes);
  uint32_t line = UINT32_MAX;
  if (c.address + c.bytes > ADDRESS_SPACE_END) line = address_line;
  if (c.has_last && c.last > limit) line = std::min(line, last_line);
  if (c.counts && c.next > limit && !(c.has_last && c.next > c.last)) {
    line = std::min(line, next_line);
  }
  return line;
}

// The faults of the serial number that need more than one key.
NumbersVerdict check_serial(const Reading& r) {
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
  const Counter c{f.address, f.bytes, f.encoding, !f.from_command, f.next, f.has_last, f.last};
  const uint32_t line = counter_fault(c, r.line_of[kAddress], r.line_of[kLast], r.line_of[kNext]);
  if (line != UINT32_MAX) return {NumbersFault::kBadValue, line, nullptr};
  return {NumbersFault::kNone, 0, nullptr};
}

// A field's keys: those of its kind, each of them there.
NumbersVerdict check_field_keys(NumbersFile& file, const NumbersField& f, const FieldReading& fr) {
  for (int key = 0; key < kFieldKeyCount; ++key) {
    const bool counter_only =
        key == kFieldEncoding || key == kFieldLast || key == kFieldStep || key == kFieldShow;
    if (f.is_list && counter_only && fr.line_of[key] != 0) {
      return {NumbersFault::kUnknownKey, fr.line_of[key], nullptr};
    }
  }
  static constexpr FieldKey kListKeys[] = {kFieldAddress, kFieldBytes, kFieldList, kFieldNext};
  static constexpr FieldKey kCounterKeys[] = {kFieldAddress, kFieldBytes, kFieldEncoding,
                                              kFieldNext};
  for (FieldKey key : f.is_list ? kListKeys : kCounterKeys) {
    if (fr.line_of[key] != 0) continue;
    file.missing = f.name + "." + kFieldKeyNames[key];
    return {NumbersFault::kMissingKey, 0, file.missing.c_str()};
  }
  return {NumbersFault::kNone, 0, nullptr};
}

// A field's values against one another.
NumbersVerdict check_field(NumbersFile& file, const NumbersField& f, const FieldReading& fr) {
  const NumbersVerdict keys = check_field_keys(file, f, fr);
  if (keys.fault != NumbersFault::kNone) return keys;
  if (f.is_list) {
    if (f.next < 1 || f.next > UINT32_MAX)
      return {NumbersFault::kBadValue, fr.line_of[kFieldNext], nullptr};
    if (f.address + f.bytes > ADDRESS_SPACE_END) {
      return {NumbersFault::kBadValue, fr.line_of[kFieldAddress], nullptr};
    }
    return {NumbersFault::kNone, 0, nullptr};
  }
  if (f.bytes > kMostBytes[static_cast<int>(f.encoding)]) {
    return {NumbersFault::kBadValue, fr.line_of[kFieldBytes], nullptr};
  }
  const Counter c{f.address, f.bytes, f.encoding, true, f.next, f.has_last, f.last};
  const uint32_t line =
      counter_fault(c, fr.line_of[kFieldAddress], fr.line_of[kFieldLast], fr.line_of[kFieldNext]);
  if (line != UINT32_MAX) return {NumbersFault::kBadValue, line, nullptr};
  return {NumbersFault::kNone, 0, nullptr};
}

// No two fields' bytes overlap, the serial number counting as a field: the
// one whose address comes later in the file is at fault.
NumbersVerdict check_overlaps(const Reading& r) {
  struct Place {
    uint32_t from, to, line;
  };
  std::vector<Place> places = {
      {r.file->address, r.file->address + r.file->bytes, r.line_of[kAddress]}};
  for (size_t i = 0; i < r.file->fields.size(); ++i) {
    const NumbersField& f = r.file->fields[i];
    places.push_back({f.address, f.address + f.bytes, r.fields[i].line_of[kFieldAddress]});
  }
  std::sort(places.begin(), places.end(),
            [](const Place& a, const Place& b) { return a.line < b.line; });
  for (size_t later = 1; later < places.size(); ++later) {
    for (size_t earlier = 0; earlier < later; ++earlier) {
      const Place& a = places[earlier];
      const Place& b = places[later];
      if (a.from < b.to && b.from < a.to) return {NumbersFault::kBadValue, b.line, nullptr};
    }
  }
  return {NumbersFault::kNone, 0, nullptr};
}

// The faults that need more than one key, once every line has been read.
NumbersVerdict check_together(Reading& r) {
  NumbersVerdict v = check_serial(r);
  for (size_t i = 0; i < r.file->fields.size() && v.fault == NumbersFault::kNone; ++i) {
    v = check_field(*r.file, r.file->fields[i], r.fields[i]);
  }
  return v.fault == NumbersFault::kNone ? check_overlaps(r) : v;
}

NumbersVerdict read_file(const uint8_t* text, size_t size, NumbersFile* file, Nexts* nexts) {
  *file = NumbersFile{};
  Reading r{file, {}, {nullptr, 0}, {}};
  for (const KeyValue& kv : key_values(text, size)) {
    const NumbersFault fault = take_line(kv, &r);
    if (fault != NumbersFault::kNone) return {fault, kv.line, nullptr};
  }
  nexts->serial = r.next_value;
  for (const FieldReading& fr : r.fields) nexts->fields.push_back(fr.next_value);
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
  Nexts nexts;
  return read_file(text, size, file, &nexts);
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

bool field_advance(const NumbersField& field, uint64_t* after) {
  if (field.is_list || (field.has_last && field.next > field.last)) return false;
  if (field.next > UINT64_MAX - field.step) return false;
  const uint64_t moved = field.next + field.step;
  if (!field.has_last && moved > field_limit(field.encoding, field.bytes)) return false;
  *after = moved;
  return true;
}

NumbersVerdict edit_numbers_nexts(const uint8_t* text, size_t size, const uint64_t* serial,
                                  const std::vector<uint64_t>& fields, std::string* edited) {
  NumbersFile file;
  Nexts nexts;
  const NumbersVerdict verdict = read_file(text, size, &file, &nexts);
  if (verdict.fault != NumbersFault::kNone) return verdict;
  if (serial != nullptr && file.from_command)
    return {NumbersFault::kMissingKey, 0, kKeyNames[kNext]};
  // Each value to write, where it stands, in the text's order.
  std::vector<std::pair<Span, uint64_t>> edits;
  if (serial != nullptr) edits.emplace_back(nexts.serial, *serial);
  for (size_t i = 0; i < fields.size() && i < nexts.fields.size(); ++i) {
    edits.emplace_back(nexts.fields[i], fields[i]);
  }
  std::sort(edits.begin(), edits.end(),
            [](const auto& a, const auto& b) { return a.first.chars < b.first.chars; });
  edited->clear();
  const uint8_t* at = text;
  for (const auto& [written, value] : edits) {
    edited->append(reinterpret_cast<const char*>(at), static_cast<size_t>(written.chars - at));
    if (is_hex_number(written)) {
      append_hex(value, written, edited);
    } else {
      append_decimal(value, edited);
    }
    at = written.chars + written.length;
  }
  edited->append(reinterpret_cast<const char*>(at), static_cast<size_t>(text + size - at));
  return verdict;
}

NumbersVerdict edit_numbers_next(const uint8_t* text, size_t size, uint64_t next,
                                 std::string* edited) {
  return edit_numbers_nexts(text, size, &next, {}, edited);
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
