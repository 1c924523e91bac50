// The console's text procedures, shared by every back end: text output can
// be turned off for a run that writes events instead, and the text of a
// failure can be kept for the run's record.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "console/console.h"
#include "console/console_out.h"

namespace travek {
namespace {

// Failure messages are a few lines; a long file name fits as well.
constexpr size_t kKeptMax = 8192;

struct TextState {
  bool on = true;
  bool capturing = false;
  size_t kept_length = 0;
  char kept[kKeptMax + 1] = {};
};

TextState output;

void keep(const char* data, size_t length) {
  if (!output.capturing) return;
  const size_t room = kKeptMax - output.kept_length;
  const size_t n = length < room ? length : room;
  std::memcpy(output.kept + output.kept_length, data, n);
  output.kept_length += n;
  output.kept[output.kept_length] = '\0';
}

void put(const char* data, size_t length) {
  keep(data, length);
  if (output.on) out_text(data, length);
}

}  // namespace

void console_text_setup(bool text_output) {
  output = TextState{};
  output.on = text_output;
}

void con_write(const char* text) { put(text, std::strlen(text)); }

void con_printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  char small[1024];
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(small, sizeof(small), format, copy);
  va_end(copy);
  if (length >= 0 && static_cast<size_t>(length) < sizeof(small)) {
    put(small, static_cast<size_t>(length));
  } else if (length >= 0) {
    std::string large(static_cast<size_t>(length), '\0');
    std::vsnprintf(large.data(), large.size() + 1, format, args);
    put(large.data(), large.size());
  }
  va_end(args);
}

void con_line(const char* text) {
  con_write(text);
  put("\n", 1);
}

void con_putch(char ch) {
  keep(&ch, 1);
  if (output.on) out_char(ch);
}

void con_set_colour(int attribute) {
  if (output.on) out_colour(attribute);
}

void con_capture_begin() {
  output.capturing = true;
  output.kept_length = 0;
  output.kept[0] = '\0';
}

const char* con_captured() { return output.kept; }

void con_emit_line(const char* line, unsigned long length) { out_line(line, length); }

}  // namespace travek
