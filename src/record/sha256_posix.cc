// SHA-256 through OpenSSL's EVP interface.
#include <openssl/evp.h>

#include "record/sha256.h"

namespace travek {
namespace {

EVP_MD_CTX* context(const Sha256& digest) { return static_cast<EVP_MD_CTX*>(digest.state); }

}  // namespace

Sha256::Sha256() : state(EVP_MD_CTX_new()) {
  ok = state != nullptr && EVP_DigestInit_ex(context(*this), EVP_sha256(), nullptr) == 1;
}

Sha256::~Sha256() { EVP_MD_CTX_free(context(*this)); }

void sha256_add(Sha256& digest, const uint8_t* data, size_t length) {
  if (digest.ok) digest.ok = EVP_DigestUpdate(context(digest), data, length) == 1;
}

bool sha256_end(Sha256& digest, char hex[SHA256_HEX_SIZE]) {
  uint8_t bytes[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!digest.ok || EVP_DigestFinal_ex(context(digest), bytes, &length) != 1 || length != 32) {
    return false;
  }
  digest.ok = false;  // finished
  sha256_hex(bytes, hex);
  return true;
}

}  // namespace travek
