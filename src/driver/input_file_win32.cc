// The input file on Windows: CreateFileA for reading, shared with readers,
// taken only if it is a disk file; its size is the handle's.
#include "common/messages.h"
#include "common/system_reason.h"
#include "console/console.h"
#include "driver/input_file.h"

#include <windows.h>

namespace travek {
namespace {

struct InputFile {
  HANDLE handle = INVALID_HANDLE_VALUE;
  uint64_t size = 0;
};

InputFile input;

void report(const char* name, DWORD error) {
  char reason[256];
  system_reason(error, reason, sizeof(reason));
  con_diagnostic(msg::kDiagReason, name, reason);
}

}  // namespace

bool input_open(const char* name) {
  input_close();
  HANDLE handle = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    report(name, GetLastError());
    return false;
  }
  LARGE_INTEGER size;
  if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileSizeEx(handle, &size)) {
    con_diagnostic(msg::kDiagNotRegular, name);
    CloseHandle(handle);
    return false;
  }
  input.handle = handle;
  input.size = static_cast<uint64_t>(size.QuadPart);
  return true;
}

bool input_is_open() { return input.handle != INVALID_HANDLE_VALUE; }

void input_close() {
  if (input.handle != INVALID_HANDLE_VALUE) CloseHandle(input.handle);
  input = InputFile{};
}

uint64_t input_size() { return input.size; }

bool input_read(uint64_t offset, uint8_t* dest, uint32_t request, uint32_t* count) {
  *count = 0;
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(offset);
  if (!SetFilePointerEx(input.handle, at, nullptr, FILE_BEGIN)) return false;
  // Reaching the end early is the normal case: the request is the buffer size.
  while (*count < request) {
    DWORD got = 0;
    if (!ReadFile(input.handle, dest + *count, request - *count, &got, nullptr)) return false;
    if (got == 0) break;
    *count += got;
  }
  return true;
}

}  // namespace travek
