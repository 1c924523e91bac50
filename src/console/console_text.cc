// The console's text procedures, shared by every back end: text output can
// be turned off for a run that writes events instead.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "console/console.h"
#include "console/console_out.h"

namespace travek {
namespace {

struct TextState {
  bool on = true;
  std::string diagnostic;  // the last one, for a failure's record
  bool muted = false;
};

TextState output;

void put(const char* data, size_t length) {
  if (output.on) out_text(data, length);
}

}  // namespace

void console_text_setup(bool text_output) {
  output = TextState{};
  output.on = text_output;
}

void con_diagnostic_unchecked(const char* format, ...) {
  va_list args;
  va_start(args, format);
  output.diagnostic = format_text_v(format, args);
  va_end(args);
  if (!output.muted) out_diagnostic(output.diagnostic.data(), output.diagnostic.size());
}

void con_mute_diagnostics(bool muted) { output.muted = muted; }

std::string con_take_diagnostic() { return std::exchange(output.diagnostic, std::string()); }

void con_write(const char* text) { put(text, std::strlen(text)); }

void con_print_unchecked(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = format_text_v(format, args);
  va_end(args);
  put(text.data(), text.size());
}

void con_line(const char* text) {
  con_write(text);
  put("\n", 1);
}

void con_putch(char ch) {
  if (output.on) out_char(ch);
}

void con_set_colour(int attribute) {
  if (output.on) out_colour(attribute);
}

void con_emit_line(const char* line, unsigned long length) { out_line(line, length); }

// UTF-8: a character is a lead byte and what follows.
unsigned long con_text_columns(const char* text) {
  unsigned long columns = 0;
  for (; *text != '\0'; ++text) columns += (static_cast<unsigned char>(*text) & 0xC0) != 0x80;
  return columns;
}

}  // namespace travek
