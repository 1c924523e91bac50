// The input file on Windows: CreateFileA for reading, shared with readers,
// taken only if it is a disk file; its size is the handle's.
#include "common/messages.h"
#include "common/system_reason.h"
#include "console/console.h"
#include "driver/input_file.h"

#include <windows.h>

namespace travek {
namespace {

HANDLE handle_of(const InputFile& input) { return reinterpret_cast<HANDLE>(input.handle); }

}  // namespace

bool input_open(InputFile& input, const char* name) {
  input_close(input);
  HANDLE handle = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    char reason[256];
    system_reason(GetLastError(), reason, sizeof(reason));
    con_diagnostic(msg::kDiagReason, name, reason);
    return false;
  }
  LARGE_INTEGER size;
  if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileSizeEx(handle, &size)) {
    con_diagnostic(msg::kDiagNotRegular, name);
    CloseHandle(handle);
    return false;
  }
  input.handle = reinterpret_cast<intptr_t>(handle);
  input.size = static_cast<uint64_t>(size.QuadPart);
  return true;
}

bool input_is_open(const InputFile& input) { return handle_of(input) != INVALID_HANDLE_VALUE; }

void input_close(InputFile& input) {
  if (input_is_open(input)) CloseHandle(handle_of(input));
  input = InputFile{};
}

bool input_read(const InputFile& input, uint64_t offset, uint8_t* dest, uint32_t request,
                uint32_t* count) {
  *count = 0;
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(offset);
  if (!SetFilePointerEx(handle_of(input), at, nullptr, FILE_BEGIN)) return false;
  // Reaching the end early is the normal case: the request is the buffer size.
  while (*count < request) {
    DWORD got = 0;
    if (!ReadFile(handle_of(input), dest + *count, request - *count, &got, nullptr)) return false;
    if (got == 0) break;
    *count += got;
  }
  return true;
}

}  // namespace travek
