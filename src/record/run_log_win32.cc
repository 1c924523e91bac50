// The run log on Windows: opened for writing with others allowed to write
// too, LockFileEx around the write at the end of the file, FlushFileBuffers
// after it, and SetEndOfFile back to where the file ended when the write
// fell short.
#include <cstdio>
#include <string>

#include "common/messages.h"
#include "common/system_reason.h"
#include "console/console.h"
#include "record/run_log.h"

#include <windows.h>

namespace travek {
namespace {

bool fail(DWORD error, char* reason, size_t reason_size) {
  system_reason(error, reason, reason_size);
  return false;
}

HANDLE handle_of(const RunLog& log) { return reinterpret_cast<HANDLE>(log.handle); }

}  // namespace

bool run_log_open(RunLog& log, const char* path) {
  run_log_close(log);
  log.path = path;
  const HANDLE log_handle = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (log_handle == INVALID_HANDLE_VALUE) {
    char reason[256];
    system_reason(GetLastError(), reason, sizeof(reason));
    con_diagnostic(msg::kDiagReason, path, reason);
    return false;
  }
  log.handle = reinterpret_cast<intptr_t>(log_handle);
  return true;
}

bool run_log_is_open(const RunLog& log) { return handle_of(log) != INVALID_HANDLE_VALUE; }

bool run_log_append(RunLog& log, const char* line, size_t length, char* reason,
                    size_t reason_size) {
  const HANDLE log_handle = handle_of(log);
  std::string record(line, length);
  record += '\n';
  OVERLAPPED whole{};
  if (!LockFileEx(log_handle, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
    return fail(GetLastError(), reason, reason_size);
  }
  // Where the file ends now, under the lock: no other writer moves it.
  LARGE_INTEGER zero{}, end{};
  DWORD error = 0;
  DWORD written = 0;
  if (!SetFilePointerEx(log_handle, zero, &end, FILE_END)) {
    error = GetLastError();
  } else if (!WriteFile(log_handle, record.data(), static_cast<DWORD>(record.size()), &written,
                        nullptr)) {
    error = GetLastError();
  } else if (written != record.size()) {
    error = ERROR_DISK_FULL;
  } else if (!FlushFileBuffers(log_handle)) {
    error = GetLastError();
  }
  if (error != 0 && written > 0 && SetFilePointerEx(log_handle, end, nullptr, FILE_BEGIN)) {
    SetEndOfFile(log_handle);
    FlushFileBuffers(log_handle);
  }
  UnlockFileEx(log_handle, 0, MAXDWORD, MAXDWORD, &whole);
  return error == 0 || fail(error, reason, reason_size);
}

void run_log_close(RunLog& log) {
  if (run_log_is_open(log)) CloseHandle(handle_of(log));
  log.handle = -1;
}

}  // namespace travek
