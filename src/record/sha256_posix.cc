// SHA-256 through OpenSSL's EVP interface.
#include <openssl/evp.h>

#include "record/sha256.h"

namespace travek {
namespace {

EVP_MD_CTX* context = nullptr;

}  // namespace

bool sha256_begin() {
  if (context == nullptr) context = EVP_MD_CTX_new();
  return context != nullptr && EVP_DigestInit_ex(context, EVP_sha256(), nullptr) == 1;
}

void sha256_add(const uint8_t* data, size_t length) {
  if (context != nullptr) EVP_DigestUpdate(context, data, length);
}

bool sha256_end(char hex[SHA256_HEX_SIZE]) {
  uint8_t digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (context == nullptr || EVP_DigestFinal_ex(context, digest, &length) != 1 || length != 32) {
    return false;
  }
  sha256_hex(digest, hex);
  return true;
}

}  // namespace travek
