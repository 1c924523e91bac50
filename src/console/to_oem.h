// Converts Windows Cyrillic (code page 1251) text to the console code page
// 866 in place; only Cyrillic letters change.
#pragma once

namespace travek {

void to_oem(char* text);

}  // namespace travek
