// POSIX console: standard output unbuffered, keys from standard input.
// A terminal on standard input is put into a no-echo, unbuffered mode that
// still raises signals on Ctrl+C and Ctrl+Z. The mode is undone on every
// way out (death by signal included), while the program is stopped, and put
// back when it resumes. A pipe or file on standard input gives one key per
// byte. A reader of standard output that goes away (a pager, tee) costs
// the run nothing: SIGPIPE is ignored and the output dropped.
//
// A held termination request: the handler only notes the signal. Every wait
// of the program goes through wait_for(), which blocks the two signals, looks
// for a held one, and unblocks them only inside ppoll, so a request can never
// slip in between the look and the wait. Other blocking calls return EINTR,
// since the handler is installed without SA_RESTART, and look again.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

#include "common/constants.h"
#include "common/messages.h"
#include "console/console.h"
#include "console/console_out.h"
#include "console/key_stream.h"
#include "console/wait_posix.h"

namespace travek {
namespace {

struct ConsoleState {
  bool input_is_terminal = false;
  bool colour = false;
  bool view_possible = false;
  int view_drawn = 0;  // lines of the view above the cursor
  bool saved_valid = false;
  termios saved{};  // the terminal as the program found it
  termios keys{};   // the terminal as the program reads keys
  void (*release)() = nullptr;
  void (*end_now)() = nullptr;  // the driver's end of the process at once
};

ConsoleState console;

// A termination request held for the run's own ending.
struct EndRequests {
  bool deferred = false;           // false: requests end the process at once
  volatile sig_atomic_t held = 0;  // the signal, once one has come
  volatile sig_atomic_t ending = 0;
};

EndRequests requests;

// Everything the signal handlers call is safe there: tcsetattr, ioctl,
// close, raise, and the driver's end of the process.
void restore_terminal() {
  if (console.saved_valid) tcsetattr(STDIN_FILENO, TCSANOW, &console.saved);
}

void apply_key_mode() {
  if (console.saved_valid) tcsetattr(STDIN_FILENO, TCSANOW, &console.keys);
}

void release_all() {
  restore_terminal();
  if (console.release != nullptr) console.release();
}

void on_signal(int sig, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(sig, &action, nullptr);
}

// Ctrl+C or Ctrl+\ before the run is under way: the usual death, with the
// terminal and the port let go first.
void die_by_signal(int sig) {
  release_all();
  on_signal(sig, SIG_DFL);
  raise(sig);
}

// A closed terminal or a termination request: a failed run.
void end_by_signal(int) {
  release_all();
  console.end_now();
}

// Held for the next wait; a second request while the run is ending (its
// record being written to a disk that hangs, say) ends it at once.
void hold_end_request(int sig) {
  if (requests.ending) end_by_signal(sig);
  requests.held = sig;
}

// Ctrl+Z before the run is under way: stop with the terminal as it was.
void stop_by_signal(int) {
  const int saved_errno = errno;
  restore_terminal();
  on_signal(SIGTSTP, SIG_DFL);
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTSTP);
  sigprocmask(SIG_UNBLOCK, &stop, nullptr);
  raise(SIGTSTP);  // here the program stands until it is resumed
  on_signal(SIGTSTP, stop_by_signal);
  errno = saved_errno;
}

// Resumed (after Ctrl+Z, or a SIGSTOP): whoever had the terminal meanwhile
// may have changed it.
void resume(int) {
  const int saved_errno = errno;
  apply_key_mode();
  errno = saved_errno;
}

void write_all(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t n = ::write(fd, data, length);
    if (n < 0) {
      if (errno == EINTR) {
        con_honour_end_request();
        continue;
      }
      return;  // nowhere left to report a console failure
    }
    data += n;
    length -= static_cast<size_t>(n);
  }
}

}  // namespace

void console_setup(void (*release)(), void (*end_now)(), bool text_output) {
  console = ConsoleState{};
  requests.deferred = false;
  requests.held = 0;
  requests.ending = 0;
  console_text_setup(text_output);
  console.release = release;
  console.end_now = end_now;
  console.input_is_terminal = isatty(STDIN_FILENO) == 1;
  key_stream_reset(console.input_is_terminal ? KeySource::kTerminal : KeySource::kScript);
  const bool output_is_terminal = isatty(STDOUT_FILENO) == 1;
  const char* no_colour = std::getenv("NO_COLOR");
  console.colour = output_is_terminal && (no_colour == nullptr || *no_colour == '\0');
  console.view_possible = output_is_terminal && text_output;

  on_signal(SIGPIPE, SIG_IGN);
  for (int sig : {SIGINT, SIGQUIT}) on_signal(sig, die_by_signal);
  for (int sig : {SIGTERM, SIGHUP}) on_signal(sig, end_by_signal);
  if (console.input_is_terminal && tcgetattr(STDIN_FILENO, &console.saved) == 0) {
    console.saved_valid = true;
    std::atexit(restore_terminal);
    console.keys = console.saved;
    console.keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL);
    console.keys.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR | IGNCR);  // Enter reads as 13
    console.keys.c_cc[VMIN] = 1;
    console.keys.c_cc[VTIME] = 0;
    on_signal(SIGTSTP, stop_by_signal);
    on_signal(SIGCONT, resume);
    apply_key_mode();
  }
  if (output_is_terminal && text_output) {
    write_all(STDOUT_FILENO, "\x1b[?25h", 6);  // the cursor shows, colour or not
  }
}

void console_defer_end_requests() {
  requests.deferred = true;
  struct sigaction action {};
  action.sa_handler = hold_end_request;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocked call returns and looks
  for (int sig : {SIGTERM, SIGHUP}) sigaction(sig, &action, nullptr);
}

void con_honour_end_request() {
  if (requests.held == 0 || !requests.deferred || requests.ending) return;
  requests.ending = 1;
  // The ending may wait on its own writes: a second request must reach it.
  sigset_t ends;
  sigemptyset(&ends);
  sigaddset(&ends, SIGTERM);
  sigaddset(&ends, SIGHUP);
  sigprocmask(SIG_UNBLOCK, &ends, nullptr);
  throw EndRequested{requests.held == SIGHUP ? "SIGHUP" : "SIGTERM"};
}

void console_end_requests_at_once() {
  requests.deferred = false;
  for (int sig : {SIGTERM, SIGHUP}) on_signal(sig, end_by_signal);
  if (requests.held != 0) end_by_signal(requests.held);
}

int wait_for(pollfd* fds, nfds_t count, const timespec* timeout) {
  if (!requests.deferred) return ppoll(fds, count, timeout, nullptr);
  sigset_t ends, before;
  sigemptyset(&ends);
  sigaddset(&ends, SIGTERM);
  sigaddset(&ends, SIGHUP);
  sigprocmask(SIG_BLOCK, &ends, &before);
  con_honour_end_request();  // throws when one is held
  sigset_t during = before;
  sigdelset(&during, SIGTERM);
  sigdelset(&during, SIGHUP);
  const int r = ppoll(fds, count, timeout, &during);
  const int saved_errno = errno;
  sigprocmask(SIG_SETMASK, &before, nullptr);
  con_honour_end_request();
  errno = saved_errno;
  return r;
}

void console_ignore_interrupts() {
  for (int sig : {SIGINT, SIGQUIT, SIGTSTP}) on_signal(sig, SIG_IGN);
}

void out_text(const char* text, size_t length) { write_all(STDOUT_FILENO, text, length); }

void out_char(char ch) { write_all(STDOUT_FILENO, &ch, 1); }

void out_colour(int attribute) {
  if (!console.colour) return;
  const char* code = attribute == COLOUR_RED ? "\x1b[91m" : "\x1b[0m";
  write_all(STDOUT_FILENO, code, std::strlen(code));
}

void out_line(const char* text, size_t length) {
  std::string line(text, length);
  line += '\n';
  write_all(STDOUT_FILENO, line.data(), line.size());
}

bool con_view_possible() { return console.view_possible; }

namespace {

bool is_lead(char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }

// The terminal's text is UTF-8: a character is a lead byte and what follows.
std::string cut_to(const char* text, size_t columns) {
  size_t at = 0;
  size_t shown = 0;
  for (; text[at] != '\0'; ++at) {
    if (is_lead(text[at]) && shown++ == columns) break;
  }
  return std::string(text, at);
}

}  // namespace

void con_view_draw(const ViewLine* lines, int count) {
  winsize size{};
  const size_t columns = ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1
                             ? size.ws_col - 1u  // the last column would wrap on some terminals
                             : 79u;
  std::string out;
  if (console.view_drawn > 0) out += "\r\x1b[" + std::to_string(console.view_drawn) + "A";
  for (int i = 0; i < count; ++i) {
    const ViewLine& line = lines[i];
    const std::string shown = cut_to(line.text, columns);
    // The red part, as much of it as the cut leaves.
    const size_t red_begin = line.failed ? 0 : std::min<size_t>(line.red_at, shown.size());
    const size_t red_end =
        line.failed ? shown.size() : std::min<size_t>(line.red_at + line.red_length, shown.size());
    out += '\r';
    if (console.colour && red_begin < red_end) {
      out.append(shown, 0, red_begin);
      out += "\x1b[91m";
      out.append(shown, red_begin, red_end - red_begin);
      out += "\x1b[0m";
      out.append(shown, red_end, std::string::npos);
    } else {
      out += shown;
    }
    out += "\x1b[K\n";
  }
  if (count < console.view_drawn) out += "\x1b[J";
  write_all(STDOUT_FILENO, out.data(), out.size());
  console.view_drawn = count;
}

void con_view_end() { console.view_drawn = 0; }

bool input_byte_within(int wait_ms) {
  pollfd input{STDIN_FILENO, POLLIN, 0};
  // A closed descriptor counts: its read ends the input.
  for (;;) {
    const timespec timeout{wait_ms / 1000, (wait_ms % 1000) * 1000000L};
    const int r = wait_for(&input, 1, wait_ms < 0 ? nullptr : &timeout);
    if (r >= 0 || errno != EINTR) return r > 0;
  }
}

bool input_byte_ready() { return input_byte_within(0); }

bool input_read_byte(unsigned char* byte) {
  for (;;) {
    input_byte_within(-1);  // a held request is honoured while waiting
    ssize_t n = ::read(STDIN_FILENO, byte, 1);
    if (n == 1) return true;
    if (n < 0 && errno == EINTR) continue;
    return false;
  }
}

bool con_key_waiting() { return key_stream_waiting(); }

int con_read_key() { return key_stream_read(); }

bool con_input_ended() { return key_stream_ended(); }

void con_discard_typed_keys() {
  if (!console.input_is_terminal) return;
  tcflush(STDIN_FILENO, TCIFLUSH);
  key_stream_discard();
}

// The terminal already shows the user's own encoding.
const char* con_user_text(const char* text) { return text; }
const char* con_typed_text(const char* text) { return text; }

void out_diagnostic(const char* text, size_t length) {
  std::string line = msg::kDiagPrefix;
  line.append(text, length);
  line += '\n';
  write_all(STDERR_FILENO, line.data(), line.size());
}

void console_restore() { restore_terminal(); }

}  // namespace travek
