// SHA-256 through CNG: a hash object on the system's SHA-256 provider.
#include <windows.h>
// After windows.h, which bcrypt.h needs.
#include <bcrypt.h>

#include "record/sha256.h"

namespace travek {
namespace {

struct Cng {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
};

bool succeeded(NTSTATUS status) { return status >= 0; }

Cng& cng(const Sha256& digest) { return *static_cast<Cng*>(digest.state); }

}  // namespace

Sha256::Sha256() : state(new Cng) {
  Cng& c = cng(*this);
  ok = succeeded(BCryptOpenAlgorithmProvider(&c.algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) &&
       succeeded(BCryptCreateHash(c.algorithm, &c.hash, nullptr, 0, nullptr, 0, 0));
}

Sha256::~Sha256() {
  Cng& c = cng(*this);
  if (c.hash != nullptr) BCryptDestroyHash(c.hash);
  if (c.algorithm != nullptr) BCryptCloseAlgorithmProvider(c.algorithm, 0);
  delete &c;
}

void sha256_add(Sha256& digest, const uint8_t* data, size_t length) {
  // CNG takes at most 4 GB a call.
  while (digest.ok && length > 0) {
    const ULONG part = length > 0x40000000 ? 0x40000000 : static_cast<ULONG>(length);
    digest.ok = succeeded(BCryptHashData(cng(digest).hash, const_cast<PUCHAR>(data), part, 0));
    data += part;
    length -= part;
  }
}

bool sha256_end(Sha256& digest, char hex[SHA256_HEX_SIZE]) {
  uint8_t bytes[32];
  if (!digest.ok || !succeeded(BCryptFinishHash(cng(digest).hash, bytes, sizeof(bytes), 0))) {
    return false;
  }
  digest.ok = false;  // finished
  sha256_hex(bytes, hex);
  return true;
}

}  // namespace travek
