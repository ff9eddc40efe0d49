#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "runtime/host/enbase.h"
#include "tests/unit/host_test_support.h"

namespace kiv::binary {
namespace {

using testing::Bytes;
using testing::bytes_of;

std::string encode(int base, const Bytes& b) {
  switch (base) {
    case 2: return encode_2(b);
    case 16: return encode_16(b);
    case 58: return encode_58(b);
    default: return encode_64(b);
  }
}

std::optional<Bytes> decode(int base, CodeUnits t) {
  switch (base) {
    case 2: return decode_2(t);
    case 16: return decode_16(t);
    case 58: return decode_58(t);
    default: return decode_64(t);
  }
}

struct Vector {
  int base;
  Bytes bytes;
  std::string_view text;
};

const Vector kVectors[] = {
    {2, {}, ""},
    {2, {0x41, 0x0F}, "0100000100001111"},
    {16, {}, ""},
    {16, {0x00, 0xAB, 0xFF}, "00ABFF"},
    {58, {}, ""},
    {58, {0}, "1"},
    {58, {0, 0, 1}, "112"},
    {58, {0xFF}, "5Q"},
    {58, {0, 0, 0, 0x28, 0x7F, 0xB4, 0xCD}, "111233QC4"},
    {58, bytes_of("Hello World!"), "2NEpo7TZRRrLZSi2U"},
    {58, bytes_of("The quick brown fox jumps over the lazy dog."),
     "USm3fpXnKG5EUBx2ndxBDMPVciP5hGey2Jh4NDv6gmeo1LkMeiKrLJUUBk6Z"},
    {64, {}, ""},
    {64, {0xFF}, "/w=="},
    {64, bytes_of("ab"), "YWI="},
    {64, bytes_of("abc"), "YWJj"},
    {64, bytes_of("Hello, World"), "SGVsbG8sIFdvcmxk"},
};

TEST(HostEnbase, KnownVectorsBothWays) {
  for (const auto& v : kVectors) {
    EXPECT_EQ(encode(v.base, v.bytes), v.text) << "base " << v.base;
    EXPECT_EQ(decode(v.base, v.text), v.bytes) << "base " << v.base << " " << v.text;
  }
}

// Plain byte-at-a-time long division: the definition of base 58.
std::string base58_reference(const Bytes& in) {
  static const char* alphabet = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";
  size_t zeros = 0;
  while (zeros < in.size() && in[zeros] == 0) zeros++;
  Bytes num(in.begin() + zeros, in.end());
  std::string digits;
  while (!num.empty()) {
    unsigned rem = 0;
    Bytes q;
    for (uint8_t b : num) {
      unsigned cur = rem * 256 + b;
      if (!q.empty() || cur / 58) q.push_back(uint8_t(cur / 58));
      rem = cur % 58;
    }
    digits.insert(digits.begin(), alphabet[rem]);
    num = q;
  }
  return std::string(zeros, '1') + digits;
}

// Limb arithmetic crosses word boundaries at lengths 4k and 5 digits a step.
TEST(HostEnbase, Base58MatchesLongDivisionAtEveryLength) {
  std::mt19937 gen(1);
  for (size_t len = 0; len < 80; len++)
    for (int round = 0; round < 4; round++) {
      Bytes b(len);
      for (auto& x : b) x = uint8_t(gen());
      if (round == 1 && len) b[0] = 0;
      if (round == 2) for (size_t i = 0; i < len / 2; i++) b[i] = 0;
      if (round == 3) for (auto& x : b) x = 0xFF;
      std::string text = encode_58(b);
      ASSERT_EQ(text, base58_reference(b)) << "length " << len << " round " << round;
      ASSERT_EQ(decode_58(std::string_view(text)), b) << "length " << len << " round " << round;
    }
}

TEST(HostEnbase, RandomRoundTripsInEveryBase) {
  std::mt19937 gen(2);
  for (int base : {2, 16, 58, 64})
    for (size_t len : {1, 2, 3, 4, 5, 31, 32, 33, 100}) {
      Bytes b(len);
      for (auto& x : b) x = uint8_t(gen());
      EXPECT_EQ(decode(base, std::string_view(encode(base, b))), b) << "base " << base << " length " << len;
    }
}

TEST(HostEnbase, DecodersSkipBlanksAndComments) {
  struct Case {
    int base;
    std::string_view text;
    Bytes bytes;
  };
  const Case cases[] = {
      {2, " 0100 0001\n\t01000010 ", {0x41, 0x42}},
      {2, "01000001 ; the letter A", {0x41}},
      {16, "de ad\r\nBE ef", {0xDE, 0xAD, 0xBE, 0xEF}},
      {16, "; a comment\nFF", {0xFF}},
      {16, "FF ; 12 comment runs to the end", {0xFF}},
      {58, " 2NEpo7TZRRrL\nZSi2U ", bytes_of("Hello World!")},
      {58, "'5Q' ; quoted", {0xFF}},
      {64, "SGVs bG8s\nIFdv\tcmxk", bytes_of("Hello, World")},
      {64, "'YWJj'", bytes_of("abc")},
      {64, "YW;comment\nJj", bytes_of("abc")},
      {64, "YWJj ; the rest is a comment: !!!", bytes_of("abc")},
  };
  for (const auto& c : cases) EXPECT_EQ(decode(c.base, c.text), c.bytes) << c.base << " " << c.text;
}

TEST(HostEnbase, PartialGroupsAtTheEnd) {
  EXPECT_EQ(decode_64("/w"), Bytes{});        // digits without padding are dropped
  EXPECT_EQ(decode_64("YWJjYW"), bytes_of("abc"));
  EXPECT_EQ(decode_64("/w=garbage!"), Bytes{0xFF});  // "=" ends the data
  EXPECT_EQ(decode_16("ABC"), Bytes{0xAB});   // a lone digit is dropped
  EXPECT_EQ(decode_16("a"), Bytes{});
}

TEST(HostEnbase, InvalidTextGivesNothing) {
  const std::pair<int, std::string_view> cases[] = {
      {2, "0100"},       // bits left over
      {2, "01000012"},   // not a bit
      {16, "0G"},        // not a digit
      {16, "0x41"},
      {58, "0OIl"},      // letters missing from the alphabet
      {58, "2NEp+"},
      {64, "A="},        // padding after a single digit
      {64, "=="},
      {64, "YW-j"},
      {64, std::string_view("YW\0j", 4)},
  };
  for (const auto& [base, text] : cases) EXPECT_FALSE(decode(base, text)) << base << " " << text;
}

// Characters above 127 never pass for ASCII digits (U+0141 has the low
// seven bits of "A"), and never end the data quietly.
TEST(HostEnbase, WideCharactersAreInvalidInEveryBase) {
  const std::pair<int, std::string_view> valid[] = {{2, "01000001"}, {16, "41"}, {58, "5Q"}, {64, "YWJj"}};
  for (const auto& [base, text] : valid) {
    ASSERT_TRUE(decode(base, text)) << base;
    for (uint16_t wide : {uint16_t(0x0141), uint16_t(0x00E9), uint16_t(0x013B)}) {
      std::vector<uint16_t> units(text.begin(), text.end());
      units.push_back(wide);
      EXPECT_FALSE(decode(base, std::span<const uint16_t>(units))) << base << " " << wide;
    }
    std::vector<uint8_t> latin1(text.begin(), text.end());
    latin1.push_back(0xC1);  // low seven bits: "A"
    EXPECT_FALSE(decode(base, std::span<const uint8_t>(latin1))) << base;
  }
}

TEST(HostEnbase, TextOfEveryUnitSizeDecodes) {
  const std::string_view text = "SGVsbG8sIFdvcmxk";
  const std::vector<uint16_t> u16(text.begin(), text.end());
  const std::vector<uint32_t> u32(text.begin(), text.end());
  EXPECT_EQ(decode_64(std::span<const uint16_t>(u16)), bytes_of("Hello, World"));
  EXPECT_EQ(decode_64(std::span<const uint32_t>(u32)), bytes_of("Hello, World"));
  const std::vector<uint32_t> hex = {'0', 'A', ' ', 0x10FFFF};
  EXPECT_FALSE(decode_16(std::span<const uint32_t>(hex)));
}

TEST(HostEnbase, BasesAndEncodedSizes) {
  for (int64_t b : {2, 16, 58, 64}) EXPECT_TRUE(base_q(b));
  for (int64_t b : {0, 8, 10, 32, 85, -64}) EXPECT_FALSE(base_q(b));
  std::mt19937 gen(3);
  for (int base : {2, 16, 58, 64})
    for (size_t len : {0, 1, 2, 3, 10, 100}) {
      Bytes b(len, 0xFF);
      EXPECT_LE(encode(base, b).size(), encoded_size_max(base, len)) << base << " " << len;
    }
  EXPECT_GT(encoded_size_max(2, uint64_t(1) << 30), UINT32_MAX);  // the native's too-long case
}

}  // namespace
}  // namespace kiv::binary
