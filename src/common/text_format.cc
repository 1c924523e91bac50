#include "common/text_format.h"

#include <cstdarg>
#include <cstdio>

namespace travek {

std::string format_text_v(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text(static_cast<size_t>(length > 0 ? length : 0), '\0');
  if (length > 0) std::vsnprintf(text.data(), text.size() + 1, format, args);
  return text;
}

std::string format_text_unchecked(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = format_text_v(format, args);
  va_end(args);
  return text;
}

}  // namespace travek
