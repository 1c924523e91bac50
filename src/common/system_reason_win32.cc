#include "common/system_reason.h"

#include <cstdio>
#include <cstring>

#include <windows.h>

namespace travek {

void system_reason(unsigned long error, char* out, size_t size) {
  if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                     MAKELANGID(LANG_ENGLISH, SUBLANG_DEFAULT), out, static_cast<DWORD>(size),
                     nullptr) == 0) {
    std::snprintf(out, size, "error %lu", error);
  }
  for (size_t n = std::strlen(out); n > 0 && (out[n - 1] == '\n' || out[n - 1] == '\r');) {
    out[--n] = '\0';
  }
}

}  // namespace travek
