// The console back end of the virtual-time line: output captured with its
// time, keys from the script, the end of the process thrown to the test.
// The status light is captured as the markers {red} and {normal}.
#include <cstdarg>
#include <cstdio>
#include <string>

#include "console/console.h"
#include "virtual_line.h"

namespace travek {
namespace {

std::string formatted(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text(static_cast<size_t>(length > 0 ? length : 0), '\0');
  std::vsnprintf(text.data(), text.size() + 1, format, args);
  return text;
}

}  // namespace

void console_setup(void (*)()) {}
void console_ignore_interrupts() { sim::VirtualLine::current().ignore_interrupts(); }

void con_write(const char* text) { sim::VirtualLine::current().console_write(text); }

void con_printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = formatted(format, args);
  va_end(args);
  sim::VirtualLine::current().console_write(text);
}

void con_line(const char* text) {
  sim::VirtualLine::current().console_write(std::string(text) + "\n");
}

void con_putch(char ch) { sim::VirtualLine::current().console_write(std::string(1, ch)); }

void con_set_colour(int attribute) {
  sim::VirtualLine::current().console_write(attribute == COLOUR_RED ? "{red}" : "{normal}");
}

bool con_key_waiting() { return sim::VirtualLine::current().key_waiting(); }

int con_read_key() { return sim::VirtualLine::current().read_key(); }

void con_discard_typed_keys() { sim::VirtualLine::current().discard_typed_keys(); }

void con_user_text(char*) {}

void con_diagnostic(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = formatted(format, args);
  va_end(args);
  sim::VirtualLine::current().diagnostic(text + "\n");
}

// As the POSIX process would end: -1 is 255.
void con_end_process(int status) { throw sim::ProcessEnded{status & 0xFF}; }

}  // namespace travek
