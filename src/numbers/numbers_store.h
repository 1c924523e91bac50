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
#pragma once

#include <cstdint>

#include "numbers/numbers_file.h"

namespace travek {

enum class NumbersTaking {
  kOk,          // number was taken (numbers_check: the file is valid)
  kUnreadable,  // could not be opened or read, or is not a regular file: reason
  kInvalid,     // does not parse: verdict
  kExhausted,   // no number left to give; the file is as it was
  kNoCounter,   // the file names a command instead; nothing was taken
  kWriteError,  // the write-back failed: reason; no number is given
};

struct NumbersResult {
  NumbersTaking taking = NumbersTaking::kUnreadable;
  uint64_t number = 0;                                      // with kOk from numbers_take
  NumbersFile file;                                         // as read, when it parsed
  NumbersVerdict verdict{NumbersFault::kNone, 0, nullptr};  // with kInvalid
  char reason[256] = {};  // the operating system's reason, in English
};

// Reads and parses the file, taking nothing: kOk when it is valid (a
// counter or a command), kUnreadable or kInvalid.
NumbersResult numbers_check(const char* path);

// Takes the counter's next number.
NumbersResult numbers_take(const char* path);

}  // namespace travek
