// The SHA-256 of a byte stream, from the platform's own cryptography:
// OpenSSL's libcrypto on POSIX, CNG (BCryptHash) on Windows. One digest at a
// time, for the input file of the run. One back end per platform
// (sha256_posix.cc, sha256_win32.cc).
#pragma once

#include <cstddef>
#include <cstdint>

namespace travek {

inline constexpr size_t SHA256_HEX_SIZE = 65;  // 64 hex digits and a zero

// False if the platform cannot hash (a library that refuses).
bool sha256_begin();
void sha256_add(const uint8_t* data, size_t length);
// Ends the digest: 64 lower-case hex digits into hex.
bool sha256_end(char hex[SHA256_HEX_SIZE]);

// The digest's 32 bytes as hex, shared by both back ends.
void sha256_hex(const uint8_t digest[32], char hex[SHA256_HEX_SIZE]);

}  // namespace travek
