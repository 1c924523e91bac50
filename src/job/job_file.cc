#include "job/job_file.h"

#include <algorithm>
#include <cctype>
#include <iterator>
#include <string_view>

#include "common/constants.h"
#include "formats/key_values.h"

namespace travek {
namespace {

enum Key {
  kName,
  kImage,
  kSha256,
  kFormat,
  kOffset,
  kAddress,
  kPorts,
  kNumbers,
  kLog,
  kMode,
  kRestart,
  kKeyCount
};

constexpr const char* kKeyNames[kKeyCount] = {"name",   "image",   "sha256", "format",
                                              "offset", "address", "ports",  "numbers",
                                              "log",    "mode",    "restart"};
constexpr Key kRequired[] = {kName, kImage, kSha256, kPorts, kMode};
constexpr const char* kModeNames[] = {"single", "batch", "auto"};

bool same_word(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == y;
         });
}

// As the switches read them: decimal, 0x hex or leading-zero octal, but the
// whole value, non-zero, and within 32 bits.
bool parse_address(std::string_view v, uint32_t* value) {
  int base = 10;
  if (v.size() > 2 && v[0] == '0' && (v[1] | 0x20) == 'x') {
    base = 16;
    v.remove_prefix(2);
  } else if (v.size() > 1 && v[0] == '0') {
    base = 8;
    v.remove_prefix(1);
  }
  uint64_t x = 0;
  for (char c : v) {
    const int d = c >= '0' && c <= '9' ? c - '0' : (c | 0x20) >= 'a' ? (c | 0x20) - 'a' + 10 : 99;
    if (d >= base || (x = x * base + d) > UINT32_MAX) return false;
  }
  *value = static_cast<uint32_t>(x);
  return !v.empty() && x != 0;
}

// "A, B, ..." with none empty and none twice.
bool parse_ports(std::string_view list, std::vector<std::string>* ports) {
  for (size_t at = 0; at <= list.size();) {
    const size_t comma = std::min(list.find(',', at), list.size());
    std::string_view name = list.substr(at, comma - at);
    while (!name.empty() && (name.front() == ' ' || name.front() == '\t')) name.remove_prefix(1);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
    if (name.empty() || std::find(ports->begin(), ports->end(), name) != ports->end() ||
        ports->size() == MAX_PORTS) {
      return false;
    }
    ports->emplace_back(name);
    at = comma + 1;
  }
  return true;
}

// One of the names, by its index.
template <size_t N>
bool one_of(std::string_view v, const char* const (&names)[N], size_t* index) {
  for (*index = 0; *index < N; ++*index) {
    if (v == names[*index]) return true;
  }
  return false;
}

bool take_format(std::string_view v, JobFile* job) {
  for (size_t i = 0; i < std::size(kImageFormats); ++i) {
    if (same_word(v, kImageFormats[i].key)) {
      job->format = static_cast<ImageFormat>(i);
      job->format_given = true;
    }
  }
  return job->format_given;
}

bool take_value(Key key, std::string_view v, JobFile* job) {
  constexpr const char* kRestartNames[] = {"prompt", "yes"};
  size_t index = 0;
  switch (key) {
    case kSha256:
      return normal_sha256(v, &job->sha256);
    case kFormat:
      return take_format(v, job);
    case kOffset:
      return parse_address(v, &job->offset);
    case kAddress:
      return parse_address(v, &job->address);
    case kPorts:
      return parse_ports(v, &job->ports);
    case kMode:
      if (!one_of(v, kModeNames, &index)) return false;
      job->mode = static_cast<JobMode>(index);
      return true;
    case kRestart:
      if (!one_of(v, kRestartNames, &index)) return false;
      job->restart_at_once = index == 1;
      return true;
    default:
      break;
  }
  // The others are texts, taken as they are written.
  std::string* const texts[kKeyCount] = {&job->name, &job->image, nullptr,       nullptr,  nullptr,
                                         nullptr,    nullptr,     &job->numbers, &job->log};
  texts[key]->assign(v);
  return true;
}

// The faults that need more than one key, once every line has been read.
JobVerdict check_together(const JobFile& job, const uint32_t (&line_of)[kKeyCount]) {
  for (Key key : kRequired) {
    if (line_of[key] == 0) return {JobFault::kMissingKey, 0, kKeyNames[key]};
  }
  if (job.mode == JobMode::kSingle && job.ports.size() > 1) {
    return {JobFault::kBadValue, line_of[kPorts], nullptr};
  }
  // A file that places its data itself takes no offset nor address: the
  // first of them is at fault.
  if (job.format_given && job.format != ImageFormat::kBinary) {
    uint32_t first = UINT32_MAX;
    for (Key key : {kOffset, kAddress}) {
      if (line_of[key] != 0) first = std::min(first, line_of[key]);
    }
    if (first != UINT32_MAX) return {JobFault::kBadValue, first, nullptr};
  }
  return {JobFault::kNone, 0, nullptr};
}

}  // namespace

bool normal_sha256(std::string_view text, std::string* hex) {
  hex->clear();
  for (char c : text) {
    if (c == ' ' || c == '\t') continue;
    const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    hex->push_back(lower);
  }
  return hex->size() == 64;
}

JobVerdict parse_job_file(const uint8_t* text, size_t size, JobFile* job) {
  *job = JobFile{};
  uint32_t line_of[kKeyCount] = {};
  for (const KeyValue& kv : key_values(text, size)) {
    int key = 0;
    while (key < kKeyCount && kv.key != kKeyNames[key]) ++key;
    if (key == kKeyCount) return {JobFault::kUnknownKey, kv.line, nullptr};
    if (line_of[key] != 0) return {JobFault::kKeyTwice, kv.line, nullptr};
    line_of[key] = kv.line;
    if (kv.value.empty() || !take_value(static_cast<Key>(key), kv.value, job)) {
      return {JobFault::kBadValue, kv.line, nullptr};
    }
  }
  return check_together(*job, line_of);
}

}  // namespace travek
