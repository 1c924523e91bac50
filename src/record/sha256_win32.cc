// SHA-256 through CNG: a hash object on the system's SHA-256 provider.
#include <windows.h>
// After windows.h, which bcrypt.h needs.
#include <bcrypt.h>

#include "record/sha256.h"

namespace travek {
namespace {

BCRYPT_ALG_HANDLE algorithm = nullptr;
BCRYPT_HASH_HANDLE hash = nullptr;

bool succeeded(NTSTATUS status) { return status >= 0; }

}  // namespace

bool sha256_begin() {
  if (hash != nullptr) {
    BCryptDestroyHash(hash);
    hash = nullptr;
  }
  if (algorithm == nullptr &&
      !succeeded(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
    algorithm = nullptr;
    return false;
  }
  return succeeded(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0));
}

void sha256_add(const uint8_t* data, size_t length) {
  if (hash == nullptr) return;
  // CNG takes at most 4 GB a call.
  while (length > 0) {
    const ULONG part = length > 0x40000000 ? 0x40000000 : static_cast<ULONG>(length);
    BCryptHashData(hash, const_cast<PUCHAR>(data), part, 0);
    data += part;
    length -= part;
  }
}

bool sha256_end(char hex[SHA256_HEX_SIZE]) {
  uint8_t digest[32];
  if (hash == nullptr || !succeeded(BCryptFinishHash(hash, digest, sizeof(digest), 0))) {
    return false;
  }
  BCryptDestroyHash(hash);
  hash = nullptr;
  sha256_hex(digest, hex);
  return true;
}

}  // namespace travek
