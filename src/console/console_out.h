// What each console back end provides to the shared text procedures
// (console_text.cc): bytes to standard output, as its platform writes them.
#pragma once

#include <cstddef>

namespace travek {

// Called by each back end's console_setup.
void console_text_setup(bool text_output);

void out_text(const char* text, size_t length);
void out_char(char ch);
void out_colour(int attribute);
// The text and a line feed, in one write that no other output splits.
void out_line(const char* text, size_t length);
// One diagnostic to standard error: the tool's prefix, the text, a line feed.
void out_diagnostic(const char* text, size_t length);

}  // namespace travek
