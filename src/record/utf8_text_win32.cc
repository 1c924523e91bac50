#include <windows.h>

#include "record/utf8_text.h"

namespace travek {
namespace {

std::string utf8_from(UINT code_page, const char* text) {
  const int wide_length = MultiByteToWideChar(code_page, 0, text, -1, nullptr, 0);
  if (wide_length <= 0) return text;
  std::wstring wide(static_cast<size_t>(wide_length), L'\0');
  MultiByteToWideChar(code_page, 0, text, -1, wide.data(), wide_length);
  const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), -1, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return text;
  std::string utf8(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), -1, utf8.data(), length, nullptr, nullptr);
  utf8.resize(static_cast<size_t>(length - 1));  // without the terminating zero
  return utf8;
}

std::string utf8_to(UINT code_page, const std::string& text) {
  const int wide_length = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
  if (wide_length <= 0) return text;
  std::wstring wide(static_cast<size_t>(wide_length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(), wide_length);
  const int length =
      WideCharToMultiByte(code_page, 0, wide.data(), -1, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return text;
  std::string converted(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(code_page, 0, wide.data(), -1, converted.data(), length, nullptr, nullptr);
  converted.resize(static_cast<size_t>(length - 1));
  return converted;
}

}  // namespace

std::string console_from_utf8(const std::string& text) { return utf8_to(866, text); }
std::string utf8_from_argument(const char* text) { return utf8_from(1251, text); }
std::string utf8_from_console(const char* text) { return utf8_from(866, text); }

}  // namespace travek
