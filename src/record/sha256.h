// The SHA-256 of a byte stream, from the platform's own cryptography:
// OpenSSL's libcrypto on POSIX, CNG (BCryptHash) on Windows. One back end
// per platform (sha256_posix.cc, sha256_win32.cc).
#pragma once

#include <cstddef>
#include <cstdint>

namespace travek {

inline constexpr size_t SHA256_HEX_SIZE = 65;  // 64 hex digits and a zero

// One digest in the making; the platform's state is let go with it.
struct Sha256 {
  Sha256();  // false in ok if the platform cannot hash (a library that refuses)
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  void* state = nullptr;
  bool ok = false;
};

void sha256_add(Sha256& digest, const uint8_t* data, size_t length);
// Ends the digest: 64 lower-case hex digits into hex.
bool sha256_end(Sha256& digest, char hex[SHA256_HEX_SIZE]);

// The digest's 32 bytes as hex, shared by both back ends.
void sha256_hex(const uint8_t digest[32], char hex[SHA256_HEX_SIZE]);

}  // namespace travek
