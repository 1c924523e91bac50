// What the numbers store reads and writes, the same on every platform, over
// the platform's locked file (numbers/locked_file.h).
#include "numbers/numbers_store.h"

#include <cstdio>
#include <string>

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

}  // namespace

NumbersResult numbers_check(const char* path) {
  NumbersResult r;
  std::string text, reason;
  if (!read_regular_file(path, &text, &reason)) {
    set_reason(&r, NumbersTaking::kUnreadable, reason);
  } else if (parse(text, &r)) {
    r.taking = NumbersTaking::kOk;
  }
  return r;
}

NumbersResult numbers_take(const char* path) {
  NumbersResult r;
  LockedFile held;
  std::string text, reason, edited;
  uint64_t after = 0;
  if (!lock_and_read(path, &held, &text, &reason)) {
    set_reason(&r, NumbersTaking::kUnreadable, reason);
  } else if (!parse(text, &r)) {
    // told by its verdict
  } else if (r.file.from_command) {
    r.taking = NumbersTaking::kNoCounter;
  } else if (!counter_advance(r.file, &after)) {
    r.taking = NumbersTaking::kExhausted;
  } else {
    edit_numbers_next(reinterpret_cast<const uint8_t*>(text.data()), text.size(), after, &edited);
    if (replace_locked(held, edited, &reason)) {
      r.taking = NumbersTaking::kOk;
      r.number = r.file.next;
    } else {
      set_reason(&r, NumbersTaking::kWriteError, reason);
    }
  }
  return r;  // the lock goes with held, once the number is past the counter on the disk
}

}  // namespace travek
