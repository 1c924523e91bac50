// The numbers file on disk: read and checked before a run sends anything,
// and a number taken from its counter just before the number is used.
//
// Principles of operation:
//  - A number is taken under the file's exclusive lock
//    (numbers/locked_file.h): the file is read, parsed, and written back
//    with `next` moved on by `step`, crash-safely.
//  - Only then is the lock released and the number returned: a number once
//    returned is past the counter on the disk. A number may be skipped (the
//    taker died, or the last flush failed); it is never given twice.
//  - A station's fields are taken in the same step, under the one lock,
//    with the one write-back: every `next` moves on, or none does. A field
//    used up, or a list's line that is no value, takes nothing at all.
//  - A list is read, never written; its values are never told, only their
//    lines.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "numbers/numbers_file.h"

namespace travek {

enum class NumbersTaking {
  kOk,              // number was taken (numbers_check: the file is valid)
  kUnreadable,      // could not be opened or read, or is not a regular file: reason
  kInvalid,         // does not parse: verdict
  kExhausted,       // no number left to give; the file is as it was
  kNoCounter,       // the file names a command instead; nothing was taken
  kWriteError,      // the write-back failed: reason; no number is given
  kFieldExhausted,  // a field has nothing left to give: field; nothing was taken
  kListError,       // a list's line is no value: field, list_line; nothing was taken
};

// A field's value as taken: a counter's number, or a list's line and the
// value it holds.
struct FieldValue {
  uint64_t value = 0;  // a counter's number; a list's line
  std::vector<uint8_t> bytes;
};

struct NumbersResult {
  NumbersTaking taking = NumbersTaking::kUnreadable;
  uint64_t number = 0;                                      // with kOk from numbers_take
  NumbersFile file;                                         // as read, when it parsed
  NumbersVerdict verdict{NumbersFault::kNone, 0, nullptr};  // with kInvalid
  char reason[256] = {};           // the operating system's reason, in English
  std::vector<FieldValue> values;  // with kOk from a taking: each field's, in the file's order
  std::string field;               // the field at fault
  uint32_t list_line = 0;          // with kListError, the list's line
};

// Reads and parses the file, taking nothing: kOk when it is valid (a
// counter or a command) and every list can be read, kUnreadable or
// kInvalid (a list that cannot: its list's line).
NumbersResult numbers_check(const char* path);

// Takes the counter's next number, and every field's value.
NumbersResult numbers_take(const char* path);
// Takes every field's value alone: the number came from the command.
NumbersResult numbers_take_fields(const char* path);

}  // namespace travek
