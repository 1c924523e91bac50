#include "record/utf8_text.h"

namespace travek {

// The terminal and the file system already speak the user's own encoding.
std::string utf8_from_argument(const char* text) { return text; }
std::string utf8_from_console(const char* text) { return text; }
std::string console_from_utf8(const std::string& text) { return text; }

}  // namespace travek
