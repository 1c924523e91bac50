// The console as the flasher uses it: text written at once and in order,
// keys read one at a time without echo, a colour for the status light, and
// the control-event handler. Which way the process ends is the driver's to
// say; the console only puts itself back.
//
// Principles of operation:
//  - Every write reaches the screen before the call returns: the spinner,
//    the percentage and the status light overwrite each other by cursor
//    position, so nothing may be held back in a buffer.
//  - Texts are UTF-8: the fixed messages of common/messages.h and whatever
//    is made of them. A console of another encoding (code page 866 on
//    Windows) gets them converted where they are written, in one place.
//    User text (file names, arguments) inside a message is marked as such
//    (UserText, TypedText), so the console can show it as it must.
//  - Whatever the console was set to is put back on every way out, and
//    again after the program was stopped and resumed.
//  - Keys come one at a time: a key that sends several bytes (an arrow, a
//    function key) is one key, and never Esc or Enter (console/key_stream.h).
//  - Keys typed ahead on a keyboard can be discarded before a question, so
//    that only a key pressed after it answers; keys from a pipe or a file
//    are the operator's script and are always kept.
//  - Output that cannot be written (a reader that has gone away) is dropped,
//    and the run goes on.
//  - A run that writes events for a program instead of text for an operator
//    turns text output off: keys, diagnostics and event lines go on as ever.
//  - Once a run keeps a record, a termination request (SIGTERM, SIGHUP) is
//    not acted on in the signal handler but held until the next wait, which
//    throws it (EndRequested) to the run's own ending, so the record is
//    still written.
//
// One back end per platform (console_posix.cc, console_win32.cc) and one for
// the virtual-time test line; the build selects it.
#pragma once

#include <string>
#include <type_traits>

#include "common/text_format.h"

namespace travek {

// A termination request held for the run's own ending is thrown from the
// next wait as this, so that the run unwinds to its one ending, which still
// writes the record.
struct EndRequested {
  const char* signal_name;  // "SIGTERM" or "SIGHUP"
};

// Start-up: keys unbuffered and without echo, cursor visible. When the
// program is ended from outside at once (its terminal closed, a termination
// request not held), the console is put back, release() is called, then
// end_now(), which ends the process with status 255. Both must be safe in a
// signal handler: release() may only close things.
// text_output false: nothing but event lines reaches standard output.
void console_setup(void (*release)(), void (*end_now)(), bool text_output = true);
// What the console was set to, put back: the last step before the process
// ends normally.
void console_restore();
// From here on Ctrl+C, Ctrl+Break, Ctrl+\ and Ctrl+Z no longer interrupt
// the program.
void console_ignore_interrupts();

void con_write(const char* text);
// User-supplied text as a message shows it: its letters in the console's
// encoding (con_user_text), or its bytes as typed (con_typed_text). The
// result lasts until the message is written.
const char* con_user_text(const char* text);
const char* con_typed_text(const char* text);
// What the console's formatting is given for each argument.
inline const char* console_arg(UserText text) { return con_user_text(text.text); }
inline const char* console_arg(TypedText text) { return con_typed_text(text.text); }
template <class T>
T console_arg(T value) {
  return value;
}
// Reached only through con_printf, which checks the format's arguments.
void con_print_unchecked(const char* format, ...);
template <class... Args>
void con_printf(FormatFor<Args...> format, Args... args) {
  con_print_unchecked(format.text, console_arg(args)...);
}
// The text followed by one newline.
void con_line(const char* text);
void con_putch(char ch);

// Text attribute: 12 is bright red on black, 7 grey on black (normal).
inline constexpr int COLOUR_RED = 12;
inline constexpr int COLOUR_NORMAL = 7;
void con_set_colour(int attribute);

// One whole line (the text, then a line feed added here) to standard output,
// in one write, whether text output is on or not.
void con_emit_line(const char* text, unsigned long length);

// Termination requests are held from here on and thrown as EndRequested
// from the next wait. Without this call they end the process at once, as
// set up by console_setup.
void console_defer_end_requests();
// Throws EndRequested if a termination request is being held. Long
// computations need not call it: every wait does.
void con_honour_end_request();
// Back to ending the process at once on a request, one held included: for
// the last steps of a run whose record is already written.
void console_end_requests_at_once();

// A view of lines kept up to date in place (the runs of many stations):
// only where standard output is a terminal (a console) and text output is
// on. Each draw goes over the lines of the draw before; a line is cut to
// the terminal's width, so that a narrow terminal never wraps the view
// apart. Where colour is allowed a failed line is red, and so is the part
// of any line its red bytes name (a count that must catch the eye): from
// byte red_at of its text, red_length bytes, whole characters.
struct ViewLine {
  const char* text;
  bool failed;
  unsigned long red_at = 0;
  unsigned long red_length = 0;
};
bool con_view_possible();
// The columns a text of the console's encoding takes.
unsigned long con_text_columns(const char* text);
void con_view_draw(const ViewLine* lines, int count);
// The view stands as drawn; what is written next goes below it.
void con_view_end();

// True when a key is waiting to be read (never at end of input).
bool con_key_waiting();
// Waits for one key; KEY_END_OF_INPUT when standard input has ended.
int con_read_key();
// True once con_key_waiting() or con_read_key() has met the input's end.
bool con_input_ended();
// Drops the keys typed so far on a keyboard; keys from a script stay.
void con_discard_typed_keys();

// One English line on standard error with an operating-system reason. Its
// text is kept too, as the reason a failure's record gives.
void con_diagnostic_unchecked(const char* format, ...);
template <class... Args>
void con_diagnostic(FormatFor<Args...> format, Args... args) {
  static_assert(((arg_kind<Args>() != 's' || std::is_pointer_v<Args>)&&...),
                "a diagnostic names its subject as plain text");
  con_diagnostic_unchecked(format.text, args...);
}
// The last diagnostic written since the last call (its text without the
// tool's prefix), and forgotten; empty when there was none.
std::string con_take_diagnostic();
// While muted, diagnostics are kept but not written: for attempts made again
// and again, whose reason was told once.
void con_mute_diagnostics(bool muted);

}  // namespace travek
