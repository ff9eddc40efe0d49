#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <string>
#include <string_view>
#include <vector>

#include "runtime/host/checksum.h"
#include "runtime/host/digest.h"

namespace kiv {
namespace {

std::span<const uint8_t> bytes_of(std::string_view s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

std::string hex(const std::optional<std::vector<uint8_t>>& v) {
  if (!v) return "(nothing)";
  static const char* d = "0123456789abcdef";
  std::string s;
  for (uint8_t b : *v) s += {d[b >> 4], d[b & 15]};
  return s;
}

TEST(HostDigest, KnownAnswersOfAbc) {
  struct Row {
    int id;
    std::string_view digest;
  };
  const Row rows[] = {
      {checksum::kMd5, "900150983cd24fb0d6963f7d28e17f72"},
      {checksum::kSha1, "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {checksum::kSha256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {checksum::kSha384,
       "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7"},
      {checksum::kSha512,
       "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feeb"
       "bd454d4423643ce80e2a9ac94fa54ca49f"},
  };
  for (const auto& r : rows) {
    auto d = crypto::digest(bytes_of("abc"), r.id);
    EXPECT_EQ(hex(d), r.digest) << r.id;
    ASSERT_TRUE(d);
    EXPECT_EQ(d->size(), checksum::digest_size(r.id));
  }
  EXPECT_EQ(hex(crypto::digest({}, checksum::kMd5)), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST(HostDigest, IdsWithoutAnAlgorithmGiveNothing) {
  for (int id : {int(checksum::kTcp), int(checksum::kCrc32), -1, 7, 100}) {
    EXPECT_FALSE(crypto::digest(bytes_of("abc"), id)) << id;
    EXPECT_FALSE(checksum::hmac(bytes_of("abc"), bytes_of("k"), id)) << id;
  }
}

// RFC 2202 (MD5, SHA-1) and RFC 4231 (SHA-2) test cases 1, 2 and 6; case 6
// has a key longer than the block.
TEST(HostDigest, HmacRfcVectors) {
  const std::string key1_16(16, '\x0b'), key1_20(20, '\x0b'), key6_80(80, '\xaa'),
      key6_131(131, '\xaa');
  const std::string_view hi = "Hi There", jefe = "what do ya want for nothing?",
                         big = "Test Using Larger Than Block-Size Key - Hash Key First";
  struct Row {
    int id;
    std::string_view key, data, mac;
  };
  const Row rows[] = {
      {checksum::kMd5, key1_16, hi, "9294727a3638bb1c13f48ef8158bfc9d"},
      {checksum::kMd5, "Jefe", jefe, "750c783e6ab0b503eaa86e310a5db738"},
      {checksum::kMd5, key6_80, big, "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
      {checksum::kSha1, key1_20, hi, "b617318655057264e28bc0b6fb378c8ef146be00"},
      {checksum::kSha1, "Jefe", jefe, "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
      {checksum::kSha1, key6_80, big, "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
      {checksum::kSha256, key1_20, hi,
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {checksum::kSha256, "Jefe", jefe,
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {checksum::kSha256, key6_131, big,
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {checksum::kSha384, key1_20, hi,
       "afd03944d84895626b0825f4ab46907f15f9dadbe4101ec682aa034c7cebc59cfaea9ea9076ede7f4af152e8b2fa9cb6"},
      {checksum::kSha384, "Jefe", jefe,
       "af45d2e376484031617f78d2b58a6b1b9c7ef464f5a01b47e42ec3736322445e8e2240ca5e69e2c78b3239ecfab21649"},
      {checksum::kSha384, key6_131, big,
       "4ece084485813e9088d2c63a041bc5b44f9ef1012a2b588f3cd11f05033ac4c60c2ef6ab4030fe8296248df163f44952"},
      {checksum::kSha512, key1_20, hi,
       "87aa7cdea5ef619d4ff0b4241a1d6cb02379f4e2ce4ec2787ad0b30545e17cdedaa833b7d6b8a702038b274eaea3f4e4"
       "be9d914eeb61f1702e696c203a126854"},
      {checksum::kSha512, "Jefe", jefe,
       "164b7a7bfcf819e2e395fbe73b56e0a387bd64222e831fd610270cd7ea2505549758bf75c05a994a6d034f65f8f0e6fd"
       "caeab1a34d4a6b4b636e070a38bce737"},
      {checksum::kSha512, key6_131, big,
       "80b24263c7c1a3ebb71493c1dd7be8b49b46d1f41b4aeec1121b013783f8f3526b56d037e05f2598bd0fd2215d6a1e52"
       "95e64f73f63f0aec8b915a985d786598"},
  };
  for (const auto& r : rows)
    EXPECT_EQ(hex(checksum::hmac(bytes_of(r.data), bytes_of(r.key), r.id)), r.mac)
        << r.id << " key of " << r.key.size() << " bytes";
}

// Keys around the block size (64 bytes, 128 for sha384/sha512) decide
// between padding and hashing the key; check every length against libcrypto.
TEST(HostDigest, HmacKeysAroundTheBlockSizeMatchLibcrypto) {
  const std::pair<int, const EVP_MD*> methods[] = {{checksum::kMd5, EVP_md5()},
                                                   {checksum::kSha1, EVP_sha1()},
                                                   {checksum::kSha256, EVP_sha256()},
                                                   {checksum::kSha384, EVP_sha384()},
                                                   {checksum::kSha512, EVP_sha512()}};
  std::string key;
  for (int i = 0; i < 140; i++) key.push_back(char('a' + i % 26));
  const std::string_view data = "message";
  for (auto [id, md] : methods)
    for (size_t len : {0, 1, 63, 64, 65, 127, 128, 129, 140}) {
      unsigned char mac[EVP_MAX_MD_SIZE];
      unsigned int n = 0;
      HMAC(md, key.data(), int(len), bytes_of(data).data(), data.size(), mac, &n);
      auto ours = checksum::hmac(bytes_of(data), bytes_of(std::string_view(key).substr(0, len)), id);
      ASSERT_TRUE(ours);
      EXPECT_EQ(*ours, std::vector<uint8_t>(mac, mac + n)) << "id " << id << " key " << len;
    }
}

TEST(HostDigest, HmacEntryRefusesMethodsWithoutDigest) {
  for (std::string_view w : {"crc32", "tcp", "adler32", "hash", "nonsense"})
    EXPECT_FALSE(checksum::hmac_entry(bytes_of("abc"), bytes_of("key"), w)) << w;
  EXPECT_EQ(hex(checksum::hmac_entry(bytes_of("what do ya want for nothing?"), bytes_of("Jefe"), "sha1")),
            "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
}

}  // namespace
}  // namespace kiv
