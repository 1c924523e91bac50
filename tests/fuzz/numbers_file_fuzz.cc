// libFuzzer target: every input parsed as a numbers file, edited, and its
// number encoded. A verdict is kNone, a missing key by its name, or a fault
// on one of the text's lines. A file that parses holds what the parser
// promises: a field inside the 1 MB, a length its encoding takes, a last
// that fits the field and a next that does unless it is used up, a step
// above 0. An edit keeps every byte but the value of next, and its text
// parses to the same file with the new next; the counter's own step is
// always such a text. A number encoded into the field reads back the same.
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
  return 0;
}
