// The numbers file on Windows. Windows cannot put a new file in the place
// of one that others hold open, atomically: MoveFileEx refuses, and
// ReplaceFile may leave a moment in which the name is missing. So holders
// wait on a lock of their own, LockFileEx on PATH.lock beside the numbers
// file, and open the numbers file only once they hold it: the holder before
// has then put its new file in place. The lock file is held open without
// sharing its deletion, so nobody deletes it while a holder holds it. The
// new text goes to PATH.tmp, is flushed, and takes the file's name by
// MoveFileEx with write-through; should a reader outside the lock hold the
// file open just then, ReplaceFile does it instead, and the file is flushed
// again under its name.
#include <string>

#include "common/system_reason.h"
#include "numbers/locked_file.h"

#include <windows.h>

namespace travek {
namespace {

// Every open of the numbers file lets it be replaced meanwhile.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool say(std::string* reason, DWORD error) {
  char text[256];
  system_reason(error, text, sizeof(text));
  *reason = text;
  return false;
}

HANDLE open_regular(const char* path, std::string* reason) {
  const HANDLE h = CreateFileA(path, GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    say(reason, GetLastError());
    return h;
  }
  if (GetFileType(h) == FILE_TYPE_DISK) return h;
  *reason = "not a regular file";
  CloseHandle(h);
  return INVALID_HANDLE_VALUE;
}

// The file's text; the file is closed either way.
bool read_text(HANDLE h, std::string* text, std::string* reason) {
  text->clear();
  char buffer[4096];
  bool read = true;
  for (DWORD got = 1; read && got > 0;) {
    read = ReadFile(h, buffer, sizeof(buffer), &got, nullptr) != 0;
    if (read) text->append(buffer, got);
  }
  if (!read) say(reason, GetLastError());
  CloseHandle(h);
  return read;
}

// Waits for the holders' lock beside the file: its handle, or none.
HANDLE lock_beside(const char* path, std::string* reason) {
  const std::string name = std::string(path) + ".lock";
  const HANDLE h =
      CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    say(reason, GetLastError());
    return h;
  }
  OVERLAPPED first{};
  if (LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &first)) return h;
  say(reason, GetLastError());
  CloseHandle(h);
  return INVALID_HANDLE_VALUE;
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

LockedFile::~LockedFile() {
  if (lock == -1) return;
  OVERLAPPED first{};
  UnlockFileEx(reinterpret_cast<HANDLE>(lock), 0, 1, 0, &first);
  CloseHandle(reinterpret_cast<HANDLE>(lock));
}

bool read_regular_file(const char* path, std::string* text, std::string* reason) {
  const HANDLE h = open_regular(path, reason);
  return h != INVALID_HANDLE_VALUE && read_text(h, text, reason);
}

bool lock_and_read(const char* given, LockedFile* held, std::string* text, std::string* reason) {
  // A full path: ReplaceFile is not given a relative one everywhere.
  char path[MAX_PATH];
  const DWORD length = GetFullPathNameA(given, MAX_PATH, path, nullptr);
  if (length == 0 || length >= MAX_PATH) {
    return say(reason, length == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE);
  }
  held->path = path;
  // A numbers file there first, before a lock file is made beside it.
  const HANDLE h = open_regular(path, reason);
  if (h == INVALID_HANDLE_VALUE) return false;
  CloseHandle(h);
  const HANDLE lock = lock_beside(path, reason);
  if (lock == INVALID_HANDLE_VALUE) return false;
  held->lock = reinterpret_cast<intptr_t>(lock);
  // Held open here, the file could not be replaced: it is read and closed.
  return read_regular_file(path, text, reason);
}

bool replace_locked(LockedFile& held, const std::string& text, std::string* reason) {
  const DWORD error = replace_file(held.path.c_str(), text);
  return error == 0 || say(reason, error);
}

}  // namespace travek
