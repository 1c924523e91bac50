#include "console/to_oem.h"

namespace travek {

void to_oem(char* text) {
  for (unsigned char* p = reinterpret_cast<unsigned char*>(text); *p != 0; ++p) {
    if (*p == 0xA8) {
      *p = 0xF0;  // Ё
    } else if (*p == 0xB8) {
      *p = 0xF1;  // ё
    } else if (*p >= 0xC0 && *p <= 0xEF) {
      *p = static_cast<unsigned char>(*p - 0x40);  // А..п
    } else if (*p >= 0xF0) {
      *p = static_cast<unsigned char>(*p - 0x10);  // р..я
    }
  }
}

}  // namespace travek
