// What the numbers store reads and writes, the same on every platform, over
// the platform's locked file (numbers/locked_file.h).
#include "numbers/numbers_store.h"

#include <cstdio>
#include <string>
#include <string_view>

#include "common/file_paths.h"
#include "numbers/locked_file.h"

namespace travek {
namespace {

void set_reason(NumbersResult* r, NumbersTaking taking, const std::string& reason) {
  r->taking = taking;
  std::snprintf(r->reason, sizeof(r->reason), "%s", reason.c_str());
}

bool parse(const std::string& text, NumbersResult* r) {
  r->verdict =
      parse_numbers_file(reinterpret_cast<const uint8_t*>(text.data()), text.size(), &r->file);
  if (r->verdict.fault == NumbersFault::kNone) return true;
  r->taking = NumbersTaking::kInvalid;
  return false;
}

// A list that cannot be read is a fault of the numbers file, on the line
// that names it.
bool read_list(const char* path, const NumbersField& f, std::string* text, NumbersResult* r) {
  std::string reason;
  if (read_regular_file(path_beside(path, f.list).c_str(), text, &reason)) return true;
  r->taking = NumbersTaking::kInvalid;
  r->verdict = {NumbersFault::kBadValue, f.list_line, nullptr};
  return false;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(c | 0x20);
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// A list's value at its next line: exactly two hex digits a byte.
bool list_value(const char* path, const NumbersField& f, FieldValue* value, NumbersResult* r) {
  std::string text;
  if (!read_list(path, f, &text, r)) return false;
  std::string_view rest = text;
  // A list saved with a byte order mark (as Windows editors do) begins
  // with its first value all the same.
  if (rest.substr(0, 3) == "\xEF\xBB\xBF") rest.remove_prefix(3);
  for (uint64_t line = 1; line < f.next && !rest.empty(); ++line) {
    const size_t lf = rest.find('\n');
    rest = lf == std::string_view::npos ? std::string_view() : rest.substr(lf + 1);
  }
  r->field = f.name;
  if (rest.empty()) {
    r->taking = NumbersTaking::kFieldExhausted;
    return false;
  }
  std::string_view line = rest.substr(0, rest.find('\n'));
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  value->value = f.next;
  value->bytes.clear();
  for (size_t i = 0; line.size() == 2u * f.bytes && i < line.size(); i += 2) {
    const int high = hex_digit(line[i]), low = hex_digit(line[i + 1]);
    if (high < 0 || low < 0) break;
    value->bytes.push_back(static_cast<uint8_t>(high << 4 | low));
  }
  if (value->bytes.size() == f.bytes) return true;
  r->taking = NumbersTaking::kListError;
  r->list_line = static_cast<uint32_t>(f.next);
  return false;
}

// Every field's value, and where each `next` moves; false, with why, when
// any has none to give.
bool take_fields(const char* path, NumbersResult* r, std::vector<uint64_t>* after) {
  for (const NumbersField& f : r->file.fields) {
    FieldValue value;
    uint64_t moved = f.next + 1;
    if (f.is_list && !list_value(path, f, &value, r)) return false;
    if (!f.is_list && !field_advance(f, &moved)) {
      r->taking = NumbersTaking::kFieldExhausted;
      r->field = f.name;
      return false;
    }
    if (!f.is_list) value.value = f.next;
    r->values.push_back(std::move(value));
    after->push_back(moved);
  }
  return true;
}

// Under the file's lock: the serial number (unless it is drawn by the
// command) and every field, moved on together in one write-back.
NumbersResult take(const char* path, bool serial) {
  NumbersResult r;
  LockedFile held;
  std::string text, reason, edited;
  uint64_t after = 0;
  std::vector<uint64_t> fields_after;
  if (!lock_and_read(path, &held, &text, &reason)) {
    set_reason(&r, NumbersTaking::kUnreadable, reason);
  } else if (!parse(text, &r)) {
    // told by its verdict
  } else if (serial && r.file.from_command) {
    r.taking = NumbersTaking::kNoCounter;
  } else if (serial && !counter_advance(r.file, &after)) {
    r.taking = NumbersTaking::kExhausted;
  } else if (!take_fields(path, &r, &fields_after)) {
    r.values.clear();  // nothing is taken
  } else if (!serial && r.file.fields.empty()) {
    r.taking = NumbersTaking::kOk;  // nothing to take, nothing to write
  } else {
    edit_numbers_nexts(reinterpret_cast<const uint8_t*>(text.data()), text.size(),
                       serial ? &after : nullptr, fields_after, &edited);
    if (replace_locked(held, edited, &reason)) {
      r.taking = NumbersTaking::kOk;
      r.number = r.file.next;
    } else {
      r.values.clear();
      set_reason(&r, NumbersTaking::kWriteError, reason);
    }
  }
  return r;  // the lock goes with held, once the numbers are past the counters on the disk
}

}  // namespace

NumbersResult numbers_check(const char* path) {
  NumbersResult r;
  std::string text, reason;
  if (!read_regular_file(path, &text, &reason)) {
    set_reason(&r, NumbersTaking::kUnreadable, reason);
    return r;
  }
  if (!parse(text, &r)) return r;
  for (const NumbersField& f : r.file.fields) {
    std::string list;
    if (f.is_list && !read_list(path, f, &list, &r)) return r;
  }
  r.taking = NumbersTaking::kOk;
  return r;
}

NumbersResult numbers_take(const char* path) { return take(path, true); }

NumbersResult numbers_take_fields(const char* path) { return take(path, false); }

}  // namespace travek
