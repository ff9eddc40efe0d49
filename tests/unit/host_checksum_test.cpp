#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string_view>
#include <vector>

#include "runtime/host/checksum.h"
#include "tests/unit/host_test_support.h"

namespace kiv {
namespace {

std::span<const uint8_t> bytes_of(std::string_view s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

using testing::random_bytes;

struct KnownAnswer {
  std::string_view text;
  uint32_t crc;
  uint32_t adler;
};

constexpr KnownAnswer kKnownAnswers[] = {
    {"", 0x00000000, 0x00000001},
    {"abc", 0x352441C2, 0x024D0127},
    {"123456789", 0xCBF43926, 0x091E01DE},
    {"Wikipedia", 0xADAAC02E, 0x11E60398},
    {"The quick brown fox jumps over the lazy dog", 0x414FA339, 0x5BDC0FDA},
};

TEST(HostChecksum, KnownAnswersForCrc32AndAdler32) {
  for (const auto& k : kKnownAnswers) {
    EXPECT_EQ(crc32(bytes_of(k.text)), k.crc) << k.text;
    EXPECT_EQ(adler32(bytes_of(k.text)), k.adler) << k.text;
  }
}

// The eight-byte fast path and the byte tail must agree at every length and
// alignment, and with the reference implementation.
TEST(HostChecksum, Crc32AgreesWithZlibAtEveryLengthAndOffset) {
  auto data = random_bytes(300, 1);
  for (size_t offset = 0; offset < 8; offset++)
    for (size_t len = 0; len + offset <= data.size(); len += 7) {
      std::span<const uint8_t> s(data.data() + offset, len);
      ASSERT_EQ(crc32(s), ::crc32(0, s.data(), uInt(s.size()))) << offset << " " << len;
    }
}

TEST(HostChecksum, RunningValuesContinueAcrossPieces) {
  auto data = random_bytes(10000, 2);
  std::span<const uint8_t> all(data);
  for (size_t cut : {size_t(0), size_t(1), size_t(4999), size_t(10000)}) {
    EXPECT_EQ(crc32(all.subspan(cut), crc32(all.first(cut))), crc32(all));
    EXPECT_EQ(adler32(all.subspan(cut), adler32(all.first(cut))), adler32(all));
  }
}

// All-0xFF input maximises both sums: any missing reduction overflows.
TEST(HostChecksum, Adler32OfLongMaximalInputDoesNotOverflow) {
  std::vector<uint8_t> ff(1 << 20, 0xFF);
  EXPECT_EQ(adler32(ff), ::adler32(1, ff.data(), uInt(ff.size())));
  auto data = random_bytes(100003, 3);
  EXPECT_EQ(adler32(data), ::adler32(1, data.data(), uInt(data.size())));
}

// Ones' complement sum folded after every word: the definition, slowly.
uint16_t internet_reference(std::span<const uint8_t> d) {
  uint32_t sum = 0;
  for (size_t i = 0; i < d.size(); i += 2) {
    sum += i + 1 < d.size() ? uint32_t(d[i]) << 8 | d[i + 1] : d[i];
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  return uint16_t(~sum);
}

TEST(HostChecksum, InternetChecksumKnownAnswers) {
  const std::vector<uint8_t> pair = {0x00, 0x01};
  const std::vector<uint8_t> odd = {0x01};  // an odd final byte is a low byte
  const std::vector<uint8_t> rfc = {0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7};
  EXPECT_EQ(checksum::internet(pair), 0xFFFE);
  EXPECT_EQ(checksum::internet(odd), 0xFFFE);
  EXPECT_EQ(checksum::internet(rfc), 0x220D);
  EXPECT_EQ(checksum::internet({}), 0xFFFF);
}

// 100,000 words of 0xFFFF overflow a 32-bit sum that is folded only at the
// end.
TEST(HostChecksum, InternetChecksumOfLongInputDoesNotOverflow) {
  std::vector<uint8_t> ff(200001, 0xFF);
  EXPECT_EQ(checksum::internet(ff), internet_reference(ff));
  auto data = random_bytes(300001, 4);
  EXPECT_EQ(checksum::internet(data), internet_reference(data));
}

TEST(HostChecksum, MethodWordsIdsAndDigestSizes) {
  struct Row {
    std::string_view word;
    int id;  // -1: a method without an id
    size_t digest;
  };
  const Row rows[] = {{"tcp", 0, 0},     {"crc32", 1, 0},   {"md5", 2, 16},
                      {"sha1", 3, 20},   {"sha256", 4, 32}, {"sha384", 5, 48},
                      {"sha512", 6, 64}, {"adler32", -1, 0}, {"hash", -1, 0}};
  for (const auto& r : rows) {
    EXPECT_TRUE(checksum::method_q(r.word)) << r.word;
    auto id = checksum::method_id(r.word);
    if (r.id < 0) {
      EXPECT_FALSE(id) << r.word;
    } else {
      ASSERT_TRUE(id) << r.word;
      EXPECT_EQ(int(*id), r.id);
      EXPECT_EQ(checksum::digest_size(*id), r.digest);
    }
  }
  EXPECT_TRUE(checksum::method_q("SHA256"));  // words ignore case
  for (std::string_view w : {"sha", "crc", "", "md55", "zlib"}) {
    EXPECT_FALSE(checksum::method_q(w)) << w;
    EXPECT_FALSE(checksum::method_id(w)) << w;
  }
  EXPECT_EQ(checksum::digest_size(7), 0u);
}

}  // namespace
}  // namespace kiv
