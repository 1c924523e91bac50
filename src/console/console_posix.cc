// POSIX console: standard output unbuffered, keys from standard input.
// A terminal on standard input is put into a no-echo, unbuffered mode that
// still raises SIGINT on Ctrl+C; it is restored at every exit, including
// death by signal. A pipe or file on standard input gives one key per byte.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "common/constants.h"
#include "common/messages.h"
#include "console/console.h"
#include "console/key_stream.h"

namespace travek {
namespace {

struct ConsoleState {
  bool input_is_terminal = false;
  bool colour = false;
  bool saved_valid = false;
  termios saved{};
};

ConsoleState console;

void restore_terminal() {
  if (console.saved_valid) tcsetattr(STDIN_FILENO, TCSANOW, &console.saved);
}

void die_by_signal(int sig) {
  restore_terminal();
  signal(sig, SIG_DFL);
  raise(sig);
}

void write_all(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t n = ::write(fd, data, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // nowhere left to report a console failure
    }
    data += n;
    length -= static_cast<size_t>(n);
  }
}

}  // namespace

void console_setup() {
  console = ConsoleState{};
  console.input_is_terminal = isatty(STDIN_FILENO) == 1;
  key_stream_reset(!console.input_is_terminal);
  const char* no_colour = std::getenv("NO_COLOR");
  console.colour = isatty(STDOUT_FILENO) == 1 && (no_colour == nullptr || *no_colour == '\0');

  if (console.input_is_terminal && tcgetattr(STDIN_FILENO, &console.saved) == 0) {
    console.saved_valid = true;
    std::atexit(restore_terminal);
    for (int sig : {SIGINT, SIGQUIT, SIGTERM, SIGHUP}) signal(sig, die_by_signal);
    termios keys = console.saved;
    keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL);
    keys.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR | IGNCR);  // Enter reads as 13
    keys.c_cc[VMIN] = 1;
    keys.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &keys);
  }
  if (console.colour) con_write("\x1b[?25h");
}

void console_ignore_interrupts() {
  signal(SIGINT, SIG_IGN);
  signal(SIGQUIT, SIG_IGN);
}

void con_write(const char* text) { write_all(STDOUT_FILENO, text, std::strlen(text)); }

void con_printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vdprintf(STDOUT_FILENO, format, args);
  va_end(args);
}

void con_line(const char* text) {
  con_write(text);
  con_putch('\n');
}

void con_putch(char ch) { write_all(STDOUT_FILENO, &ch, 1); }

void con_set_colour(int attribute) {
  if (!console.colour) return;
  con_write(attribute == COLOUR_RED ? "\x1b[91m" : "\x1b[0m");
}

bool input_byte_ready() {
  pollfd input{STDIN_FILENO, POLLIN, 0};
  return poll(&input, 1, 0) > 0;  // a closed descriptor counts: its read ends the input
}

bool input_read_byte(unsigned char* byte) {
  for (;;) {
    ssize_t n = ::read(STDIN_FILENO, byte, 1);
    if (n == 1) return true;
    if (n < 0 && errno == EINTR) continue;
    return false;
  }
}

bool con_key_waiting() { return key_stream_waiting(); }

int con_read_key() { return key_stream_read(); }

// The terminal already shows the user's own encoding.
void con_user_text(char*) {}

void con_diagnostic(const char* format, ...) {
  write_all(STDERR_FILENO, msg::kDiagPrefix, std::strlen(msg::kDiagPrefix));
  va_list args;
  va_start(args, format);
  vdprintf(STDERR_FILENO, format, args);
  va_end(args);
  write_all(STDERR_FILENO, "\n", 1);
}

void con_end_process(int status) {
  restore_terminal();
  std::exit(status & 0xFF);
}

}  // namespace travek
