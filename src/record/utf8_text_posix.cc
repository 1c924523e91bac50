#include "record/utf8_text.h"

namespace travek {

// The terminal and the file system already speak the user's own encoding.
std::string utf8_from_argument(const char* text) { return text; }

}  // namespace travek
