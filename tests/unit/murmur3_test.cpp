#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "runtime/murmur3.h"

namespace kiv {

struct Murmur3Case {
  const char* text;
  uint32_t seed;
  uint32_t expected;
};

// Published answers of the x86 32-bit variant; together they cover every
// tail length (0-3 bytes), a zero block, and seeds with the high bit set.
TEST(Murmur3, KnownAnswersForEveryTailLength) {
  const Murmur3Case cases[] = {
      {"", 0, 0x00000000},
      {"", 1, 0x514E28B7},
      {"", 0xFFFFFFFF, 0x81F16F39},
      {"a", 0x9747B28C, 0x7FA09EA6},
      {"aa", 0x9747B28C, 0x5D211726},
      {"aaa", 0x9747B28C, 0x283E0130},
      {"aaaa", 0x9747B28C, 0x5A97808A},
      {"ab", 0x9747B28C, 0x74875592},
      {"abc", 0x9747B28C, 0xC84A62DD},
      {"abcd", 0x9747B28C, 0xF0478627},
      {"Hello, world!", 0x9747B28C, 0x24884CBA},
      {"The quick brown fox jumps over the lazy dog", 0x9747B28C, 0x2FA826CD},
      {"The quick brown fox jumps over the lazy dog", 0, 0x2E4FF723},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(murmur3_x86_32(c.text, std::strlen(c.text), c.seed), c.expected)
        << '"' << c.text << "\" seed " << std::hex << c.seed;
  }
}

TEST(Murmur3, ZeroBytesAreHashedNotSkipped) {
  const uint8_t zeros[4] = {0, 0, 0, 0};
  EXPECT_EQ(murmur3_x86_32(zeros, 4, 0), 0x2362F9DEu);
  EXPECT_NE(murmur3_x86_32(zeros, 3, 0), murmur3_x86_32(zeros, 4, 0));
}

TEST(Murmur3, UnalignedInputHashesLikeAligned) {
  const std::string text = "unaligned input of several blocks";
  std::vector<char> buf(text.size() + 1);
  std::memcpy(buf.data() + 1, text.data(), text.size());
  EXPECT_EQ(murmur3_x86_32(buf.data() + 1, text.size(), 7), murmur3_x86_32(text.data(), text.size(), 7));
}

TEST(Murmur3, StreamOfBlocksMatchesLittleEndianBytes) {
  const uint32_t blocks[] = {'K', 'i', 'v', 0x10FFFF, 0xE9};
  uint8_t bytes[sizeof blocks];
  for (size_t i = 0; i < 5; i++) {
    for (int b = 0; b < 4; b++) bytes[i * 4 + b] = uint8_t(blocks[i] >> (8 * b));
  }
  Murmur3Stream s(123);
  for (uint32_t k : blocks) s.add_block(k);
  EXPECT_EQ(s.finish(sizeof blocks), murmur3_x86_32(bytes, sizeof bytes, 123));
}

TEST(Murmur3, ProcessSeedIsUsedByTheSeedlessHash) {
  const uint32_t saved = murmur3_seed();
  set_murmur3_seed(0x9747B28C);
  EXPECT_EQ(murmur3_hash("abcd", 4), 0xF0478627u);
  set_murmur3_seed(0);
  EXPECT_EQ(murmur3_hash("abcd", 4), murmur3_x86_32("abcd", 4, 0));
  set_murmur3_seed(saved);
}

TEST(Murmur3, FinaliserSpreadsSmallKeys) {
  EXPECT_EQ(murmur3_fmix(0), 0u);
  // Consecutive keys must land far apart, else a table indexed by small
  // integers would cluster.
  EXPECT_NE(murmur3_fmix(1) & 7, murmur3_fmix(2) & 7);
  EXPECT_EQ(murmur3_fmix(1), 0x514E28B7u);  // equals the empty text with seed 1
}

}  // namespace kiv
