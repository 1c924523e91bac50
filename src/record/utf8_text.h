// Text for the record, which is UTF-8 like every text of the program: file
// and port names as the command line gave them. On POSIX they are taken as
// they are (bytes that are not UTF-8 become U+FFFD when written); on Windows
// the command line is in code page 1251. One back end per platform
// (utf8_text_posix.cc, utf8_text_win32.cc).
#pragma once

#include <string>

namespace travek {

std::string utf8_from_argument(const char* text);

}  // namespace travek
