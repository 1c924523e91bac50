// Printf formats checked against their arguments by the compiler. A format
// given beside its arguments is taken as a CheckedFormat<Args...>, whose
// constructor runs at compile time: it reads the format's conversions and
// compares them with the arguments' types, so a wrong count or a wrong type
// does not build (the error names format_argument_mismatch). Each
// conversion takes exactly one type, with no promotion taken on trust: "%s"
// a C string (or UserText, TypedText), "%u" and "%x" unsigned, "%lu"
// unsigned long, "%d" int.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>
#include <type_traits>

namespace travek {

// Text the user gave (a file name, an argument) echoed inside a message: the
// console shows its letters in the console's own encoding.
struct UserText {
  const char* text;
};
// An argument echoed exactly as typed, byte for byte, whatever it holds.
struct TypedText {
  const char* text;
};

// What a conversion, or an argument, is: 's', 'u', 'U' (unsigned long),
// 'd', or 0 for anything else.
template <class T>
constexpr char arg_kind() {
  if constexpr (std::is_same_v<T, const char*> || std::is_same_v<T, char*> ||
                std::is_same_v<T, UserText> || std::is_same_v<T, TypedText>) {
    return 's';
  }
  if constexpr (std::is_same_v<T, unsigned>) return 'u';
  if constexpr (std::is_same_v<T, unsigned long>) return 'U';
  if constexpr (std::is_same_v<T, int>) return 'd';
  return 0;
}

// True when the format's conversions are exactly these kinds, in order.
constexpr bool format_fits(const char* format, const char* kinds, size_t count) {
  size_t k = 0;
  for (const char* p = format; *p != '\0'; ++p) {
    if (*p != '%' || *++p == '%') continue;
    while (*p == '#' || *p == '-' || *p == '0' || *p == ' ' || *p == '.' ||
           (*p >= '1' && *p <= '9'))
      ++p;
    const bool is_long = *p == 'l';
    char kind = *(p += is_long) == 'x' ? 'u' : *p;
    if (is_long) kind = kind == 'u' ? 'U' : 0;
    if ((kind != 's' && kind != 'u' && kind != 'U' && kind != 'd') || k == count ||
        kinds[k++] != kind) {
      return false;
    }
  }
  return k == count;
}

// The conversions of a format ("%%" is none).
constexpr size_t count_conversions(const char* format) {
  size_t count = 0;
  for (const char* p = format; *p != '\0' && p[1] != '\0'; ++p) {
    if (*p == '%' && *++p != '%') ++count;
  }
  return count;
}

// Not constexpr: reaching it while checking a format stops the build.
inline void format_argument_mismatch() {}

template <class... Args>
consteval void check_arguments(const char* format) {
  constexpr char kinds[] = {arg_kind<Args>()..., 0};
  if (format[0] == '\0' || !format_fits(format, kinds, sizeof...(Args))) {
    format_argument_mismatch();
  }
}

template <class... Args>
struct CheckedFormat {
  const char* text;
  consteval CheckedFormat(const char* format) : text(format) { check_arguments<Args...>(format); }
};

// As a parameter beside Args... args: the arguments decide the types, and
// the format is checked against them.
template <class... Args>
using FormatFor = std::type_identity_t<CheckedFormat<Args...>>;

// The formatted text; the unchecked forms are reached only through checked
// ones. User text is shown through the console's procedures.
std::string format_text_unchecked(const char* format, ...);
std::string format_text_v(const char* format, va_list args);
template <class... Args>
std::string format_text(FormatFor<Args...> format, Args... args) {
  static_assert(((arg_kind<Args>() != 's' || std::is_pointer_v<Args>)&&...), "console text");
  return format_text_unchecked(format.text, args...);
}

}  // namespace travek
