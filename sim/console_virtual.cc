// The console back end of the virtual-time line: output captured with its
// time, event lines apart, keys and termination requests from the script. The status light is
// captured as the markers {red} and {normal}.
#include <algorithm>
#include <string>
#include <vector>

#include "console/console.h"
#include "console/console_out.h"
#include "console/wait_posix.h"
#include "virtual_line.h"

namespace travek {

void console_setup(void (*release)(), void (*)(), bool text_output) {
  travek::console_text_setup(text_output);
  sim::VirtualLine::current().console_setup(release, text_output);
}

// A terminal when the line's options say so: each draw of the view is
// captured whole, its red parts marked as the status light's are.
bool con_view_possible() { return sim::VirtualLine::current().view_possible(); }

void con_view_draw(const ViewLine* lines, int count) {
  std::vector<std::string> drawn;
  for (int i = 0; i < count; ++i) {
    const std::string text = lines[i].text;
    const size_t begin = lines[i].failed ? 0 : std::min<size_t>(lines[i].red_at, text.size());
    const size_t end = lines[i].failed
                           ? text.size()
                           : std::min<size_t>(lines[i].red_at + lines[i].red_length, text.size());
    drawn.push_back(begin < end
                        ? text.substr(0, begin) + "{red}" + text.substr(begin, end - begin) +
                              "{normal}" + text.substr(end)
                        : text);
  }
  sim::VirtualLine::current().view_draw(std::move(drawn));
}

void con_view_end() {}
void console_ignore_interrupts() { sim::VirtualLine::current().ignore_interrupts(); }

void out_text(const char* text, size_t length) {
  sim::VirtualLine::current().console_write(std::string(text, length));
}

void out_char(char ch) { sim::VirtualLine::current().console_write(std::string(1, ch)); }

void out_colour(int attribute) {
  sim::VirtualLine::current().console_write(attribute == COLOUR_RED ? "{red}" : "{normal}");
}

void out_line(const char* text, size_t length) {
  sim::VirtualLine::current().event_line(std::string(text, length));
}

// Termination requests come from the line's script (VirtualLine::request_end).
void console_defer_end_requests() { sim::VirtualLine::current().defer_end_requests(); }
void con_honour_end_request() { sim::VirtualLine::current().honour_end_request(); }

// What waits on a real descriptor even here (a numbers command) waits in
// real time.
int wait_for(pollfd* fds, nfds_t count, const timespec* timeout) {
  con_honour_end_request();
  return ppoll(fds, count, timeout, nullptr);
}
void console_end_requests_at_once() { sim::VirtualLine::current().end_requests_at_once(); }

bool con_key_waiting() { return sim::VirtualLine::current().key_waiting(); }

int con_read_key() { return sim::VirtualLine::current().read_key(); }

bool con_input_ended() { return sim::VirtualLine::current().input_ended(); }

void con_discard_typed_keys() { sim::VirtualLine::current().discard_typed_keys(); }

const char* con_user_text(const char* text) { return text; }
const char* con_typed_text(const char* text) { return text; }

void out_diagnostic(const char* text, size_t length) {
  sim::VirtualLine::current().diagnostic(std::string(text, length) + "\n");
}

void console_restore() {}

}  // namespace travek
