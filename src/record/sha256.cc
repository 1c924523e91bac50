#include "record/sha256.h"

namespace travek {

void sha256_hex(const uint8_t digest[32], char hex[SHA256_HEX_SIZE]) {
  static const char kDigits[] = "0123456789abcdef";
  for (int i = 0; i < 32; ++i) {
    hex[2 * i] = kDigits[digest[i] >> 4];
    hex[2 * i + 1] = kDigits[digest[i] & 0x0F];
  }
  hex[64] = '\0';
}

}  // namespace travek
