// Text for the record, which is UTF-8: file names as the command line gave
// them, and messages as the console was given them. On POSIX both are taken
// as they are (bytes that are not UTF-8 become U+FFFD when written); on
// Windows the command line is in code page 1251 and the console's texts in
// 866. One back end per platform (utf8_text_posix.cc, utf8_text_win32.cc).
#pragma once

#include <string>

namespace travek {

std::string utf8_from_argument(const char* text);
std::string utf8_from_console(const char* text);
// Back the other way, for a record's message shown on the console.
std::string console_from_utf8(const std::string& text);

}  // namespace travek
