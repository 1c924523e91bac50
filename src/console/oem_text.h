// Text for a Windows console, which shows code page 866. Pure: bytes in,
// bytes out.
//
// Between UTF-8, in which the program keeps every text, and code page 866,
// the two directions are exact inverses: any bytes taken to UTF-8 and back
// are the same bytes. Bytes that are not UTF-8 pass through unchanged, and
// a character code page 866 has no place for becomes '?', as the system's
// own conversion writes it.
#pragma once

#include <cstddef>
#include <string>

namespace travek {

std::string utf8_to_oem(const char* text, size_t length);
std::string oem_to_utf8(const char* text);

// Windows Cyrillic (code page 1251) to code page 866 in place; only the
// Cyrillic letters change.
void to_oem(char* text);

}  // namespace travek
