// The numbers file on Windows. Windows cannot put a new file in the place
// of one that others hold open, atomically: MoveFileEx refuses, and
// ReplaceFile may leave a moment in which the name is missing. So takers
// wait on a lock of their own, LockFileEx on PATH.lock beside the numbers
// file, and open the numbers file only once they hold it: the taker before
// has then put its new file in place. The lock file is held open without
// sharing its deletion, so nobody deletes it while a taker holds it. The
// new text goes to PATH.tmp, is flushed, and takes the file's name by
// MoveFileEx with write-through; should a reader outside the lock hold the
// file open just then, ReplaceFile does it instead, and the file is flushed
// again under its name.
#include <cstdio>
#include <string>

#include "common/system_reason.h"
#include "numbers/numbers_store.h"

#include <windows.h>

namespace travek {
namespace {

// Every open of the numbers file lets it be replaced meanwhile.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

void set_reason(NumbersResult* r, NumbersTaking taking, DWORD error) {
  r->taking = taking;
  system_reason(error, r->reason, sizeof(r->reason));
}

HANDLE open_regular(const char* path, NumbersResult* r) {
  const HANDLE h = CreateFileA(path, GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    set_reason(r, NumbersTaking::kUnreadable, GetLastError());
    return h;
  }
  if (GetFileType(h) == FILE_TYPE_DISK) return h;
  r->taking = NumbersTaking::kUnreadable;
  std::snprintf(r->reason, sizeof(r->reason), "not a regular file");
  CloseHandle(h);
  return INVALID_HANDLE_VALUE;
}

bool read_text(HANDLE h, std::string* text, NumbersResult* r) {
  text->clear();
  char buffer[4096];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(h, buffer, sizeof(buffer), &got, nullptr)) {
      set_reason(r, NumbersTaking::kUnreadable, GetLastError());
      return false;
    }
    if (got == 0) return true;
    text->append(buffer, got);
  }
}

bool parse(const std::string& text, NumbersResult* r) {
  r->verdict =
      parse_numbers_file(reinterpret_cast<const uint8_t*>(text.data()), text.size(), &r->file);
  if (r->verdict.fault == NumbersFault::kNone) return true;
  r->taking = NumbersTaking::kInvalid;
  return false;
}

// Waits for the takers' lock beside the file: its handle, or none.
HANDLE lock_beside(const char* path, NumbersResult* r) {
  const std::string name = std::string(path) + ".lock";
  const HANDLE h =
      CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    set_reason(r, NumbersTaking::kUnreadable, GetLastError());
    return h;
  }
  OVERLAPPED first{};
  if (LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &first)) return h;
  set_reason(r, NumbersTaking::kUnreadable, GetLastError());
  CloseHandle(h);
  return INVALID_HANDLE_VALUE;
}

void unlock(HANDLE h) {
  OVERLAPPED first{};
  UnlockFileEx(h, 0, 1, 0, &first);
  CloseHandle(h);
}

// The file is open elsewhere (a reader outside the lock): ReplaceFile puts
// the new one in its place all the same, without write-through, so the
// file is flushed again under its name. 0, or the error.
DWORD replace_open_file(const char* path, const char* temporary) {
  if (!ReplaceFileA(path, temporary, nullptr, 0, nullptr, nullptr)) {
    const DWORD error = GetLastError();
    // Without a backup this one means the old file is gone and the new one
    // still has its own name: it takes the old one's now, or stays, the
    // counter's one copy, for the engineer to rename (this error kept).
    if (error != ERROR_UNABLE_TO_MOVE_REPLACEMENT) return error;
    return MoveFileExA(temporary, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? 0
                                                                                            : error;
  }
  const HANDLE done = CreateFileA(path, GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (done == INVALID_HANDLE_VALUE) return GetLastError();
  const DWORD error = FlushFileBuffers(done) ? 0 : GetLastError();
  CloseHandle(done);
  return error;
}

// The new text in a file of its own beside the old one, on the disk, then
// in the old one's place. 0, or the error.
DWORD replace_file(const char* path, const std::string& text) {
  const std::string temporary = std::string(path) + ".tmp";
  const HANDLE h = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return GetLastError();
  DWORD error = 0;
  DWORD written = 0;
  if (!WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) {
    error = GetLastError();
  } else if (written != text.size()) {
    error = ERROR_DISK_FULL;
  } else if (!FlushFileBuffers(h)) {
    error = GetLastError();
  }
  if (!CloseHandle(h) && error == 0) error = GetLastError();
  if (error == 0 &&
      !MoveFileExA(temporary.c_str(), path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = GetLastError();
    if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
      error = replace_open_file(path, temporary.c_str());
    }
  }
  if (error != 0 && error != ERROR_UNABLE_TO_MOVE_REPLACEMENT) DeleteFileA(temporary.c_str());
  return error;
}

}  // namespace

NumbersResult numbers_check(const char* path) {
  NumbersResult r;
  const HANDLE h = open_regular(path, &r);
  if (h == INVALID_HANDLE_VALUE) return r;
  std::string text;
  if (read_text(h, &text, &r) && parse(text, &r)) r.taking = NumbersTaking::kOk;
  CloseHandle(h);
  return r;
}

NumbersResult numbers_take(const char* given) {
  NumbersResult r;
  // A full path: ReplaceFile is not given a relative one everywhere.
  char path[MAX_PATH];
  const DWORD length = GetFullPathNameA(given, MAX_PATH, path, nullptr);
  if (length == 0 || length >= MAX_PATH) {
    set_reason(&r, NumbersTaking::kUnreadable,
               length == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE);
    return r;
  }
  // A numbers file there first, before a lock file is made beside it.
  HANDLE h = open_regular(path, &r);
  if (h == INVALID_HANDLE_VALUE) return r;
  CloseHandle(h);
  const HANDLE lock = lock_beside(path, &r);
  if (lock == INVALID_HANDLE_VALUE) return r;
  h = open_regular(path, &r);
  if (h == INVALID_HANDLE_VALUE) {
    unlock(lock);
    return r;
  }
  std::string text, edited;
  const bool read = read_text(h, &text, &r) && parse(text, &r);
  CloseHandle(h);  // held open here, the file could not be replaced
  uint64_t after = 0;
  if (read) {
    if (r.file.from_command) {
      r.taking = NumbersTaking::kNoCounter;
    } else if (!counter_advance(r.file, &after)) {
      r.taking = NumbersTaking::kExhausted;
    } else {
      edit_numbers_next(reinterpret_cast<const uint8_t*>(text.data()), text.size(), after, &edited);
      const DWORD error = replace_file(path, edited);
      if (error == 0) {
        r.taking = NumbersTaking::kOk;
        r.number = r.file.next;
      } else {
        set_reason(&r, NumbersTaking::kWriteError, error);
      }
    }
  }
  unlock(lock);
  return r;
}

}  // namespace travek
