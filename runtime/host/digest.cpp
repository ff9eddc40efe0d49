#include "runtime/host/digest.h"

#include <openssl/evp.h>

#include <memory>

#include "runtime/host/checksum.h"

namespace kiv {
namespace {

constexpr uint8_t kHmacInnerPad = 0x36;
constexpr uint8_t kHmacOuterPad = 0x5C;
constexpr size_t kSmallHmacBlock = 64;
constexpr size_t kLargeHmacBlock = 128;  // sha384 and sha512

const EVP_MD* algorithm_of(int id) {
  switch (id) {
    case checksum::kMd5: return EVP_md5();
    case checksum::kSha1: return EVP_sha1();
    case checksum::kSha256: return EVP_sha256();
    case checksum::kSha384: return EVP_sha384();
    case checksum::kSha512: return EVP_sha512();
    default: return nullptr;
  }
}

struct MdCtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

// One running digest; feed() any number of pieces, then finish().
class Hasher {
 public:
  explicit Hasher(const EVP_MD* md) : ctx_(EVP_MD_CTX_new()) {
    ok_ = ctx_ && EVP_DigestInit_ex(ctx_.get(), md, nullptr) == 1;
  }
  void feed(std::span<const uint8_t> bytes) {
    if (ok_ && !bytes.empty()) ok_ = EVP_DigestUpdate(ctx_.get(), bytes.data(), bytes.size()) == 1;
  }
  std::optional<std::vector<uint8_t>> finish() {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (!ok_ || EVP_DigestFinal_ex(ctx_.get(), out, &n) != 1) return std::nullopt;
    return std::vector<uint8_t>(out, out + n);
  }

 private:
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx_;
  bool ok_ = false;
};

}  // namespace

namespace crypto {

std::optional<std::vector<uint8_t>> digest(std::span<const uint8_t> data, int id) {
  const EVP_MD* md = algorithm_of(id);
  if (!md) return std::nullopt;
  Hasher h(md);
  h.feed(data);
  return h.finish();
}

}  // namespace crypto

namespace checksum {

std::optional<std::vector<uint8_t>> hmac(std::span<const uint8_t> data,
                                         std::span<const uint8_t> key, int id) {
  const EVP_MD* md = algorithm_of(id);
  if (!md) return std::nullopt;
  const size_t block = (id == kSha384 || id == kSha512) ? kLargeHmacBlock : kSmallHmacBlock;

  std::vector<uint8_t> k(key.begin(), key.end());
  if (k.size() > block) {
    auto hashed = crypto::digest(key, id);
    if (!hashed) return std::nullopt;
    k = std::move(*hashed);
  }
  k.resize(block, 0);

  std::vector<uint8_t> pad(block);
  for (size_t i = 0; i < block; i++) pad[i] = k[i] ^ kHmacInnerPad;
  Hasher inner(md);
  inner.feed(pad);
  inner.feed(data);
  auto inner_digest = inner.finish();
  if (!inner_digest) return std::nullopt;

  for (size_t i = 0; i < block; i++) pad[i] = k[i] ^ kHmacOuterPad;
  Hasher outer(md);
  outer.feed(pad);
  outer.feed(*inner_digest);
  return outer.finish();
}

std::optional<std::vector<uint8_t>> hmac_entry(std::span<const uint8_t> data,
                                               std::span<const uint8_t> key,
                                               std::string_view method_word) {
  auto id = method_id(method_word);
  if (!id || digest_size(*id) == 0) return std::nullopt;
  return hmac(data, key, *id);
}

}  // namespace checksum
}  // namespace kiv
