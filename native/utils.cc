// Retrieval utilities: content hashing.
#include "utils.h"

#include <openssl/evp.h>

#include <memory>
#include <stdexcept>

namespace vantrel {
namespace {

struct MdCtxDelete {
  void operator()(EVP_MD_CTX* ctx) const noexcept { EVP_MD_CTX_free(ctx); }
};

// Fetching the algorithm is the expensive part of a one-shot EVP_Digest (about 300 ns of a
// 400 ns short-text hash), so the implementation is fetched once per process and each thread
// keeps one context to re-initialise. EVP picks the CPU's SHA extensions where present.
const EVP_MD* sha256_md() {
  static EVP_MD* const md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  if (md == nullptr) throw std::runtime_error("libcrypto has no SHA256 implementation");
  return md;
}

EVP_MD_CTX* thread_context() {
  thread_local std::unique_ptr<EVP_MD_CTX, MdCtxDelete> ctx(EVP_MD_CTX_new());
  if (!ctx) throw std::runtime_error("EVP_MD_CTX_new failed");
  return ctx.get();
}

}  // namespace

std::array<char, 16> content_hash(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  EVP_MD_CTX* ctx = thread_context();
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_len = 0;
  if (EVP_DigestInit_ex2(ctx, sha256_md(), nullptr) != 1 ||
      EVP_DigestUpdate(ctx, text.data(), text.size()) != 1 ||
      EVP_DigestFinal_ex(ctx, digest, &digest_len) != 1 || digest_len != 32) {
    throw std::runtime_error("SHA-256 digest failed");
  }
  std::array<char, 16> out;
  for (std::size_t i = 0; i < 8; ++i) {
    out[2 * i] = kHex[digest[i] >> 4];
    out[2 * i + 1] = kHex[digest[i] & 0x0f];
  }
  return out;
}

}  // namespace vantrel
