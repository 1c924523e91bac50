// libFuzzer target: every input parsed as a numbers file, edited, and its
// number encoded. A verdict is kNone, a missing key by its name, or a fault
// on one of the text's lines. A file that parses holds what the parser
// promises: a field inside the 1 MB, a length its encoding takes, a last
// that fits the field and a next that does unless it is used up, a step
// above 0. An edit keeps every byte but the value of next, and its text
// parses to the same file with the new next; the counter's own step is
// always such a text. A number encoded into the field reads back the same.
// Each field of a station's own that parses has a sound name of its own, a
// list's keys or a counter's (held to what the serial number is held to),
// and no two fields' bytes overlap, the serial number's included. Moving
// every next at once keeps every byte but the values, and the text parses to
// the same fields with the new nexts.
// The same input is read as a job file too, which the same reader reads: a
// job that parses has its required keys, a hash of 64 lower-case hex
// digits, distinct ports (one for a single run), and an offset or address
// only for a binary image.
// Anything else, a crash or a sanitizer report is a failure.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "job/job_file.h"
#include "numbers/numbers_file.h"

namespace {

using travek::NumberEncoding;
using travek::NumbersFault;
using travek::NumbersFile;
using travek::NumbersVerdict;

constexpr uint32_t kSpace = 0x100000;

void check(bool ok) {
  if (!ok) std::abort();
}

uint32_t line_count(const uint8_t* text, size_t size) {
  uint32_t lines = 0;
  for (size_t i = 0; i < size; ++i) lines += text[i] == '\n';
  if (size > 0 && text[size - 1] != '\n') ++lines;
  return lines;
}

uint32_t most_bytes(NumberEncoding e) {
  return e == NumberEncoding::kDec ? 20 : e == NumberEncoding::kHex ? 16 : 8;
}

// The field read back, apart from the encoder.
uint64_t decode(const uint8_t* field, NumberEncoding e, uint32_t bytes) {
  uint64_t value = 0;
  for (uint32_t i = 0; i < bytes; ++i) {
    switch (e) {
      case NumberEncoding::kLe:
        value |= uint64_t{field[i]} << (8 * i);
        break;
      case NumberEncoding::kBe:
        value = value << 8 | field[i];
        break;
      case NumberEncoding::kDec:
        check(field[i] >= '0' && field[i] <= '9');
        value = value * 10 + (field[i] - '0');
        break;
      case NumberEncoding::kHex: {
        const uint8_t c = field[i];
        check((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'));
        value = value << 4 | static_cast<uint64_t>(c <= '9' ? c - '0' : c - 'A' + 10);
        break;
      }
    }
  }
  return value;
}

bool same_but_next(const NumbersFile& a, const NumbersFile& b) {
  return a.address == b.address && a.bytes == b.bytes && a.encoding == b.encoding &&
         a.from_command == b.from_command && a.command == b.command && a.has_last == b.has_last &&
         a.last == b.last && a.step == b.step;
}

bool is_number_char(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == 'x' ||
         c == 'X';
}

void check_edit(const uint8_t* data, size_t size, const NumbersFile& file, uint64_t next) {
  std::string edited;
  const NumbersVerdict v = travek::edit_numbers_next(data, size, next, &edited);
  if (file.from_command) {
    check(v.fault == NumbersFault::kMissingKey && std::strcmp(v.key, "next") == 0);
    return;
  }
  check(v.fault == NumbersFault::kNone);
  // Only the value differs: what the two texts share at both ends leaves
  // number characters alone between.
  const std::string text(reinterpret_cast<const char*>(data), size);
  size_t head = 0;
  while (head < text.size() && head < edited.size() && text[head] == edited[head]) ++head;
  size_t tail = 0;
  while (tail < text.size() - head && tail < edited.size() - head &&
         text[text.size() - 1 - tail] == edited[edited.size() - 1 - tail]) {
    ++tail;
  }
  for (size_t i = head; i < text.size() - tail; ++i) check(is_number_char(text[i]));
  for (size_t i = head; i < edited.size() - tail; ++i) check(is_number_char(edited[i]));
  NumbersFile moved;
  const NumbersVerdict again = travek::parse_numbers_file(
      reinterpret_cast<const uint8_t*>(edited.data()), edited.size(), &moved);
  const bool valid =
      next <= travek::field_limit(file.encoding, file.bytes) || (file.has_last && next > file.last);
  if (valid) {
    check(again.fault == NumbersFault::kNone && moved.next == next && same_but_next(file, moved));
  } else {
    check(again.fault == NumbersFault::kBadValue);
  }
}

bool is_field_name(const std::string& name) {
  if (name.empty() || name.size() > 16 || name[0] < 'a' || name[0] > 'z') return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
  });
}

void check_field(const travek::NumbersField& f, uint32_t lines) {
  check(is_field_name(f.name) && f.bytes >= 1 && f.address + f.bytes <= kSpace);
  if (f.is_list) {
    check(f.bytes <= 256 && !f.list.empty() && f.next >= 1 && f.next <= UINT32_MAX);
    check(f.list_line >= 1 && f.list_line <= lines);
    check(!f.has_last && f.step == 1 && !f.show_hex);
    return;
  }
  const uint64_t limit = travek::field_limit(f.encoding, f.bytes);
  check(f.bytes <= most_bytes(f.encoding) && f.step >= 1 && f.list.empty() && f.list_line == 0);
  check(!f.has_last || f.last <= limit);
  check(f.next <= limit || (f.has_last && f.next > f.last));
  uint8_t field[24];
  if (travek::encode_number(f.next, f.encoding, f.bytes, field)) {
    check(decode(field, f.encoding, f.bytes) == f.next);
  }
}

// Names of their own, and no two fields' bytes overlapping, the serial
// number's counting as one.
void check_fields(const NumbersFile& file, uint32_t lines) {
  std::vector<std::pair<uint32_t, uint32_t>> spans = {{file.address, file.address + file.bytes}};
  for (const travek::NumbersField& f : file.fields) {
    check_field(f, lines);
    for (const auto& [from, to] : spans) check(f.address >= to || f.address + f.bytes <= from);
    spans.emplace_back(f.address, f.address + f.bytes);
  }
  for (size_t i = 0; i < file.fields.size(); ++i) {
    for (size_t j = i + 1; j < file.fields.size(); ++j) {
      check(file.fields[i].name != file.fields[j].name);
    }
  }
}

bool same_but_next(const travek::NumbersField& a, const travek::NumbersField& b) {
  return a.name == b.name && a.address == b.address && a.bytes == b.bytes &&
         a.is_list == b.is_list && a.list == b.list && a.encoding == b.encoding &&
         a.has_last == b.has_last && a.last == b.last && a.step == b.step &&
         a.show_hex == b.show_hex && a.list_line == b.list_line;
}

std::string without_number_chars(const std::string& text) {
  std::string rest;
  for (char c : text) {
    if (!is_number_char(c)) rest += c;
  }
  return rest;
}

// Every next moved as a taking moves it, at once: only the values change.
void check_nexts_edit(const uint8_t* data, size_t size, const NumbersFile& file) {
  uint64_t serial = 0;
  const bool serial_moves = travek::counter_advance(file, &serial);
  std::vector<uint64_t> nexts;
  for (const travek::NumbersField& f : file.fields) {
    uint64_t after = f.next;
    if (f.is_list && f.next < UINT32_MAX) after = f.next + 1;
    if (!f.is_list && !travek::field_advance(f, &after)) after = f.next;
    nexts.push_back(after);
  }
  std::string edited;
  const NumbersVerdict v =
      travek::edit_numbers_nexts(data, size, serial_moves ? &serial : nullptr, nexts, &edited);
  check(v.fault == NumbersFault::kNone);
  const std::string text(reinterpret_cast<const char*>(data), size);
  check(without_number_chars(text) == without_number_chars(edited));
  NumbersFile moved;
  const NumbersVerdict again = travek::parse_numbers_file(
      reinterpret_cast<const uint8_t*>(edited.data()), edited.size(), &moved);
  check(again.fault == NumbersFault::kNone && same_but_next(file, moved));
  check(moved.next == (serial_moves ? serial : file.next));
  check(moved.fields.size() == file.fields.size());
  for (size_t i = 0; i < nexts.size(); ++i) {
    check(same_but_next(file.fields[i], moved.fields[i]) && moved.fields[i].next == nexts[i]);
  }
}

void check_job(const uint8_t* data, size_t size) {
  travek::JobFile job;
  const travek::JobVerdict v = travek::parse_job_file(data, size, &job);
  if (v.fault == travek::JobFault::kMissingKey) return check(v.line == 0 && v.key != nullptr);
  if (v.fault != travek::JobFault::kNone) {
    return check(v.line >= 1 && v.line <= line_count(data, size) && v.key == nullptr);
  }
  check(!job.name.empty() && !job.image.empty() && job.sha256.size() == 64);
  check(std::all_of(job.sha256.begin(), job.sha256.end(),
                    [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }));
  check(!job.ports.empty() && job.ports.size() <= 64);
  check(job.mode != travek::JobMode::kSingle || job.ports.size() == 1);
  for (size_t i = 0; i < job.ports.size(); ++i) {
    check(!job.ports[i].empty() &&
          std::count(job.ports.begin(), job.ports.end(), job.ports[i]) == 1);
  }
  const bool placed = job.format_given && job.format != travek::ImageFormat::kBinary;
  check(!placed || (job.offset == 0 && job.address == 0));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  check_job(data, size);
  NumbersFile file;
  const NumbersVerdict v = travek::parse_numbers_file(data, size, &file);
  switch (v.fault) {
    case NumbersFault::kNone:
      check(v.line == 0 && v.key == nullptr);
      break;
    case NumbersFault::kMissingKey:
      check(v.line == 0 && v.key != nullptr);
      return 0;
    case NumbersFault::kUnknownKey:
    case NumbersFault::kKeyTwice:
    case NumbersFault::kBadValue:
      check(v.line >= 1 && v.line <= line_count(data, size) && v.key == nullptr);
      return 0;
    default:
      std::abort();
  }
  check(file.bytes >= 1 && file.bytes <= most_bytes(file.encoding));
  check(file.address < kSpace && file.address + file.bytes <= kSpace);
  const uint64_t limit = travek::field_limit(file.encoding, file.bytes);
  if (file.from_command) {
    check(!file.command.empty() && file.command.find('\0') == std::string::npos);
  } else {
    check(file.step >= 1);
    check(!file.has_last || file.last <= limit);
    check(file.next <= limit || (file.has_last && file.next > file.last));
  }

  uint8_t field[24];
  const bool fits = travek::encode_number(file.next, file.encoding, file.bytes, field);
  check(fits == (file.next <= limit));
  if (fits) check(decode(field, file.encoding, file.bytes) == file.next);

  uint64_t after = 0;
  if (travek::counter_advance(file, &after)) {
    check(after > file.next && (!file.has_last || file.next <= file.last));
    check_edit(data, size, file, after);
  }
  for (uint64_t next : {uint64_t{0}, file.next, limit, UINT64_MAX})
    check_edit(data, size, file, next);
  check_fields(file, line_count(data, size));
  check_nexts_edit(data, size, file);
  return 0;
}
