#include "runtime/host/digest.h"

#include <openssl/evp.h>

#include <memory>

#include "runtime/host/checksum.h"
#include "runtime/host/shared_library.h"

#ifndef KIV_CRYPTO_SONAME
#define KIV_CRYPTO_SONAME "libcrypto.so.3"
#endif

namespace kiv {
namespace {

constexpr uint8_t kHmacInnerPad = 0x36;
constexpr uint8_t kHmacOuterPad = 0x5C;
constexpr size_t kSmallHmacBlock = 64;
constexpr size_t kLargeHmacBlock = 128;  // sha384 and sha512

// The functions of libcrypto used here, bound when the first digest is
// asked for (start-up does not load the library).
struct Crypto {
  decltype(&EVP_md5) md5;
  decltype(&EVP_sha1) sha1;
  decltype(&EVP_sha256) sha256;
  decltype(&EVP_sha384) sha384;
  decltype(&EVP_sha512) sha512;
  decltype(&EVP_MD_CTX_new) ctx_new;
  decltype(&EVP_MD_CTX_free) ctx_free;
  decltype(&EVP_DigestInit_ex) init;
  decltype(&EVP_DigestUpdate) update;
  decltype(&EVP_DigestFinal_ex) final;
};

// Null when the library or one of its functions cannot be had: every
// digest then answers nothing.
const Crypto* crypto_library() {
  static const Crypto* const library = []() -> const Crypto* {
    static Crypto c;
    void* lib = shared_library::open(KIV_CRYPTO_SONAME);
    if (!lib) return nullptr;
    using shared_library::bind;
    bool ok = bind(lib, "EVP_md5", &c.md5) && bind(lib, "EVP_sha1", &c.sha1) &&
              bind(lib, "EVP_sha256", &c.sha256) && bind(lib, "EVP_sha384", &c.sha384) &&
              bind(lib, "EVP_sha512", &c.sha512) && bind(lib, "EVP_MD_CTX_new", &c.ctx_new) &&
              bind(lib, "EVP_MD_CTX_free", &c.ctx_free) && bind(lib, "EVP_DigestInit_ex", &c.init) &&
              bind(lib, "EVP_DigestUpdate", &c.update) && bind(lib, "EVP_DigestFinal_ex", &c.final);
    return ok ? &c : nullptr;
  }();
  return library;
}

const EVP_MD* algorithm_of(int id) {
  const Crypto* c = crypto_library();
  if (!c) return nullptr;
  switch (id) {
    case checksum::kMd5: return c->md5();
    case checksum::kSha1: return c->sha1();
    case checksum::kSha256: return c->sha256();
    case checksum::kSha384: return c->sha384();
    case checksum::kSha512: return c->sha512();
    default: return nullptr;
  }
}

// Used only once algorithm_of has answered an algorithm, so the library is
// there.
struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { crypto_library()->ctx_free(ctx); }
};

// One running digest; feed() any number of pieces, then finish().
class Hasher {
 public:
  explicit Hasher(const EVP_MD* md) : c_(*crypto_library()), ctx_(c_.ctx_new()) {
    ok_ = ctx_ && c_.init(ctx_.get(), md, nullptr) == 1;
  }
  void feed(std::span<const uint8_t> bytes) {
    if (ok_ && !bytes.empty()) ok_ = c_.update(ctx_.get(), bytes.data(), bytes.size()) == 1;
  }
  std::optional<std::vector<uint8_t>> finish() {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (!ok_ || c_.final(ctx_.get(), out, &n) != 1) return std::nullopt;
    return std::vector<uint8_t>(out, out + n);
  }

 private:
  const Crypto& c_;
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
