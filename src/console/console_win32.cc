// Windows console: the program's UTF-8 text written as code page 866 (the
// one place it is converted), unbuffered; keys by _getch
// without echo (a two-byte key is one key), the status light by text
// attribute, and a control handler that swallows Ctrl+C and Ctrl+Break.
// When standard input or output is redirected (a script, a log file) keys
// come from the input stream, one byte a key, and the characters written in
// place go to the output stream, so nothing waits on a console that is not
// there and a log holds it all; that stream is read by a thread of its
// own, so a look for a key never waits on it. The system closes the port
// itself when the console window is closed, so nothing is left to release
// then.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/constants.h"
#include "common/messages.h"
#include "console/console.h"
#include "console/console_out.h"
#include "console/key_stream.h"
#include "console/oem_text.h"

// After our own headers: <windows.h> defines the CE_* constants again, as macros.
#include <conio.h>
#include <windows.h>

namespace travek {
namespace {

struct ConsoleState {
  bool keys_from_console = true;
  bool output_to_console = true;
  bool view_possible = false;
  int view_drawn = 0;  // lines of the view
  SHORT view_top = 0;  // the row of its first line
};

ConsoleState console;

// Standard input that is no console is read by a thread of its own, the
// bytes handed over under a lock: a look for a key then never blocks the
// tool, even on a pipe that cannot be peeked (Wine's pipes from its host).
struct InputReader {
  CRITICAL_SECTION lock;
  HANDLE waiting = nullptr;  // set while a byte waits or the input has ended
  std::string bytes;
  size_t taken = 0;
  bool ended = false;
};

InputReader reader;

DWORD WINAPI read_input(void*) {
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  for (bool more = true; more;) {
    char buffer[256];
    DWORD got = 0;
    more = ReadFile(input, buffer, sizeof(buffer), &got, nullptr) && got > 0;
    EnterCriticalSection(&reader.lock);
    if (more) reader.bytes.append(buffer, got);
    reader.ended = !more;
    SetEvent(reader.waiting);
    LeaveCriticalSection(&reader.lock);
  }
  return 0;
}

// Without its thread the input counts as ended: no key ever comes.
void start_input_reader() {
  if (reader.waiting != nullptr) return;
  InitializeCriticalSection(&reader.lock);
  reader.waiting = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (reader.waiting == nullptr) return;
  const HANDLE thread = CreateThread(nullptr, 0, read_input, nullptr, 0, nullptr);
  if (thread == nullptr) {
    CloseHandle(reader.waiting);
    reader.waiting = nullptr;
    return;
  }
  CloseHandle(thread);
}

BOOL WINAPI ignore_control_event(DWORD) { return TRUE; }

bool is_console(DWORD std_handle) {
  DWORD mode;
  return GetConsoleMode(GetStdHandle(std_handle), &mode) != 0;
}

}  // namespace

void console_setup(void (*)(), void (*)(), bool text_output) {
  console = ConsoleState{};
  console_text_setup(text_output);
  console.keys_from_console = is_console(STD_INPUT_HANDLE);
  console.output_to_console = is_console(STD_OUTPUT_HANDLE);
  console.view_possible = console.output_to_console && text_output;
  key_stream_reset(console.keys_from_console ? KeySource::kConsole : KeySource::kScript);
  if (!console.keys_from_console) start_input_reader();
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), ENABLE_PROCESSED_INPUT);
  CONSOLE_CURSOR_INFO cursor{12, TRUE};
  SetConsoleCursorInfo(GetStdHandle(STD_OUTPUT_HANDLE), &cursor);
}

void console_ignore_interrupts() { SetConsoleCtrlHandler(ignore_control_event, TRUE); }

// Through the runtime's text mode, as printf and puts write: a line feed
// goes out as CR LF.
void out_text(const char* text, size_t length) {
  const std::string shown = utf8_to_oem(text, length);
  std::fwrite(shown.data(), 1, shown.size(), stdout);
}

void out_char(char ch) {
  if (console.output_to_console) {
    _putch(static_cast<unsigned char>(ch));
  } else {
    std::putchar(static_cast<unsigned char>(ch));
  }
}

void out_colour(int attribute) {
  SetConsoleTextAttribute(GetStdHandle(STD_OUTPUT_HANDLE), static_cast<WORD>(attribute));
}

// Past the runtime: an event line ends in a line feed alone, as JSON Lines
// do everywhere, and stays UTF-8.
void out_line(const char* text, size_t length) {
  std::string line(text, length);
  line += '\n';
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD done = 0;
  for (size_t at = 0; at < line.size(); at += done) {
    if (!WriteFile(out, line.data() + at, static_cast<DWORD>(line.size() - at), &done, nullptr) ||
        done == 0) {
      return;  // nowhere left to report it
    }
  }
}

// No signals here: a closed console window is the system's to handle.
void console_defer_end_requests() {}
void con_honour_end_request() {}
void console_end_requests_at_once() {}

bool con_view_possible() { return console.view_possible; }

// By the console's cursor and attribute calls: back to the view's first
// row, each line written over the one there, padded to the width and cut
// to it (code page 866 has a byte a character). A line goes out in three
// parts, before, in and after its red part, the middle one in red.
void con_view_draw(const ViewLine* lines, int count) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(out, &info)) return;
  const size_t columns = info.dwSize.X > 1 ? static_cast<size_t>(info.dwSize.X - 1) : 79;
  if (console.view_drawn > 0) SetConsoleCursorPosition(out, COORD{0, console.view_top});
  const int drawn = std::max(count, console.view_drawn);
  for (int i = 0; i < drawn; ++i) {
    std::string parts[3];
    if (i < count) {
      const ViewLine& line = lines[i];
      const size_t length = std::strlen(line.text);
      const size_t begin = line.failed ? 0 : std::min<size_t>(line.red_at, length);
      const size_t end =
          line.failed ? length : std::min<size_t>(line.red_at + line.red_length, length);
      parts[0] = utf8_to_oem(line.text, begin);
      parts[1] = utf8_to_oem(line.text + begin, end - begin);
      parts[2] = utf8_to_oem(line.text + end, length - end);
    }
    size_t room = columns;
    for (std::string& part : parts) {
      if (part.size() > room) part.resize(room);
      room -= part.size();
    }
    parts[2].append(room, ' ');
    parts[2] += '\n';
    for (int p = 0; p < 3; ++p) {
      if (parts[p].empty()) continue;
      if (p == 1) SetConsoleTextAttribute(out, COLOUR_RED);
      DWORD done = 0;
      WriteConsoleA(out, parts[p].data(), static_cast<DWORD>(parts[p].size()), &done, nullptr);
      if (p == 1) SetConsoleTextAttribute(out, info.wAttributes);
    }
  }
  if (GetConsoleScreenBufferInfo(out, &info)) {
    console.view_top = static_cast<SHORT>(std::max(0, info.dwCursorPosition.Y - drawn));
  }
  console.view_drawn = drawn;
}

void con_view_end() { console.view_drawn = 0; }

bool input_byte_ready() { return input_byte_within(0); }

bool input_byte_within(int wait_ms) {
  if (!console.keys_from_console) {
    if (reader.waiting == nullptr) return true;
    const DWORD wait = wait_ms < 0 ? INFINITE : static_cast<DWORD>(wait_ms);
    return WaitForSingleObject(reader.waiting, wait) == WAIT_OBJECT_0;
  }
  const DWORD start = GetTickCount();
  while (_kbhit() == 0) {
    if (wait_ms >= 0 && GetTickCount() - start >= static_cast<DWORD>(wait_ms)) return false;
    Sleep(1);
  }
  return true;
}

bool input_read_byte(unsigned char* byte) {
  if (console.keys_from_console) {
    *byte = static_cast<unsigned char>(_getch());
    return true;
  }
  if (reader.waiting == nullptr || !input_byte_within(-1)) return false;
  EnterCriticalSection(&reader.lock);
  const bool got = reader.taken < reader.bytes.size();
  if (got) *byte = static_cast<unsigned char>(reader.bytes[reader.taken++]);
  if (reader.taken == reader.bytes.size()) {
    reader.bytes.clear();
    reader.taken = 0;
    if (!reader.ended) ResetEvent(reader.waiting);
  }
  LeaveCriticalSection(&reader.lock);
  return got;
}

bool con_key_waiting() { return key_stream_waiting(); }

int con_read_key() { return key_stream_read(); }

bool con_input_ended() { return key_stream_ended(); }

void con_discard_typed_keys() {
  if (!console.keys_from_console) return;
  FlushConsoleInputBuffer(GetStdHandle(STD_INPUT_HANDLE));
  while (_kbhit()) _getch();  // what the runtime had already taken
  key_stream_discard();
}

namespace {

// User text shown inside one message: a message has two at most.
std::string user_texts[4];
int next_user_text = 0;

const char* kept_user_text(std::string text) {
  std::string& kept = user_texts[next_user_text++ % 4];
  kept = std::move(text);
  return kept.c_str();
}

}  // namespace

// Arguments arrive in the Windows code page: their letters are shown as code
// page 866 has them, the rest as typed. Either way the bytes shown are held
// here as the UTF-8 that out_text turns back into exactly them.
const char* con_user_text(const char* text) {
  std::string letters = text;
  to_oem(letters.data());
  return kept_user_text(oem_to_utf8(letters.c_str()));
}

const char* con_typed_text(const char* text) { return kept_user_text(oem_to_utf8(text)); }

void out_diagnostic(const char* text, size_t length) {
  std::fputs(msg::kDiagPrefix, stderr);
  std::fwrite(text, 1, length, stderr);
  std::fputs("\n", stderr);
}

void console_restore() { std::fflush(stdout); }

}  // namespace travek
