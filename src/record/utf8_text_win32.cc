#include <windows.h>

#include "record/utf8_text.h"

namespace travek {

// From code page 1251 through UTF-16, the one encoding both conversions know.
std::string utf8_from_argument(const char* text) {
  const int wide_length = MultiByteToWideChar(1251, 0, text, -1, nullptr, 0);
  if (wide_length <= 0) return text;
  std::wstring wide(static_cast<size_t>(wide_length), L'\0');
  MultiByteToWideChar(1251, 0, text, -1, wide.data(), wide_length);
  const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), -1, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return text;
  std::string out(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), -1, out.data(), length, nullptr, nullptr);
  out.resize(static_cast<size_t>(length - 1));  // without the terminating zero
  return out;
}

}  // namespace travek
