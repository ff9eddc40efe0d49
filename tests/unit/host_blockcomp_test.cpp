#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "runtime/host/blockcomp.h"
#include "tests/unit/host_test_support.h"

namespace kiv::lz {
namespace {

using testing::Bytes;
using testing::random_bytes;

Bytes text_like(size_t n, uint32_t seed) {
  static const char* const words[] = {"alpha ", "beta ", "gamma ", "delta ", "epsilon ", "zeta\n",
                                      "eta ",   "theta ", "iota ", "kappa ", "lambda ", "mu "};
  return testing::text_like(n, seed, words);
}

void put_le32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; i++) b.push_back(uint8_t(v >> (8 * i)));
}

// Writes a block's bit stream by hand, least significant bit first.
struct Bits : testing::LsbBitWriter<Bits> {
  Bits& literal(uint8_t b) { return put(0, 1).put(b, 8); }
  // A match of 3-6 bytes from up to 8 bytes back: the shortest fields.
  Bits& short_match(unsigned length, unsigned distance) {
    return put(1, 1).put(1, 1).put(length - 3, 2).put(0, 4).put(distance - 1, 3);
  }
};

// Packed data of the given blocks (length word, stream) with head P and U.
Bytes packed(const std::vector<std::pair<uint32_t, Bytes>>& blocks, uint32_t unpacked) {
  Bytes body;
  for (const auto& [length, stream] : blocks) {
    put_le32(body, length);
    body.insert(body.end(), stream.begin(), stream.end());
  }
  Bytes out;
  put_le32(out, uint32_t(body.size()));
  put_le32(out, unpacked);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

TEST(HostBlockComp, RoundTripsOfTypicalInputs) {
  Bytes block_plus = text_like(kMaxBlock + 5000, 1);  // two blocks
  Bytes exactly_min(kMinInput, 'q');
  const std::pair<const char*, Bytes> inputs[] = {
      {"text", text_like(200000, 2)},
      {"zeros", Bytes(100000, 0)},
      {"shortest input", exactly_min},
      {"two blocks", block_plus},
  };
  for (const auto& [name, data] : inputs) {
    auto p = compress(data);
    ASSERT_TRUE(p) << name;
    EXPECT_LT(p->size(), data.size()) << name;
    auto back = decompress(*p);
    ASSERT_TRUE(back) << name;
    EXPECT_EQ(*back, data) << name;
  }
}

TEST(HostBlockComp, ShortOrIncompressibleInputIsNotCompressed) {
  EXPECT_FALSE(compress(Bytes(kMinInput - 1, 'a')));
  EXPECT_FALSE(compress({}));
  EXPECT_FALSE(compress(random_bytes(5000, 3)));  // would grow
}

// Matches at every length class and far distances, checked against the data.
TEST(HostBlockComp, LongAndFarMatchesRoundTrip) {
  Bytes data = random_bytes(70000, 4);
  Bytes copy(data.begin(), data.begin() + 600);  // longer than the longest match
  data.insert(data.end(), copy.begin(), copy.end());
  for (size_t len : {3, 4, 7, 8, 11, 12, 19, 20, 51, 52, 300, 566}) {
    Bytes piece(data.begin() + 1000 + len, data.begin() + 1000 + 2 * len);
    data.insert(data.end(), piece.begin(), piece.end());
    data.insert(data.end(), 40, uint8_t(len));
  }
  Bytes far = random_bytes(3000, 5);
  data.insert(data.begin(), far.begin(), far.end());
  Bytes filler = text_like(200000, 6);
  data.insert(data.end(), filler.begin(), filler.end());
  data.insert(data.end(), far.begin(), far.end());  // 270 KB later: beyond the window
  auto p = compress(data);
  ASSERT_TRUE(p);
  auto back = decompress(*p);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, data);
}

TEST(HostBlockComp, OverlappingMatchRepeatsTheLastByte) {
  // One literal, then a match of length 10 from one byte back: 11 bytes.
  Bits b;
  b.literal('z').put(1, 1).put(0, 1).put(1, 1).put(10 - 3 - 4, 2).put(0, 4).put(0, 3);
  auto out = decompress(packed({{11, b.done()}}, 11));
  ASSERT_TRUE(out);
  EXPECT_EQ(*out, Bytes(11, 'z'));
}

TEST(HostBlockComp, MalformedDataIsRefused) {
  const Bytes abc = Bits().literal('a').literal('b').literal('c').done();
  const Bytes abcabc = Bits().literal('a').literal('b').literal('c').short_match(3, 3).done();
  struct Case {
    const char* what;
    Bytes data;
  };
  Bytes p_too_long = packed({{3, abc}}, 3);
  p_too_long[0] += 1;
  Bytes shorter_than_head = {1, 0, 0};
  Bytes u_beyond_bound = packed({{3, abc}}, 3);
  u_beyond_bound[7] = 0x10;  // 256 MB from a few bytes
  const Case cases[] = {
      {"first code is a match", packed({{3, Bits().short_match(3, 1).done()}}, 3)},
      {"match reaches before the block", packed({{6, Bits().literal('a').short_match(5, 2).done()}}, 6)},
      {"match runs past the block length", packed({{5, abcabc}}, 5)},
      {"length word 0", packed({{0, {}}, {3, abc}}, 3)},
      {"length word 1,048,577", packed({{kMaxBlock + 1, abc}}, kMaxBlock + 1)},
      {"stream ends inside the block", packed({{4, abc}}, 4)},
      {"fewer bytes than U", packed({{3, abc}}, 4)},
      {"more bytes than U", packed({{3, abc}}, 2)},
      {"P past the input", p_too_long},
      {"shorter than the head", shorter_than_head},
      {"U beyond what P can hold", u_beyond_bound},
      {"length word cut short", [&] {
         Bytes b = packed({{3, abc}}, 3);
         b[0] += 2;
         b.push_back(1);
         b.push_back(0);
         return b;
       }()},
  };
  for (const auto& c : cases) EXPECT_FALSE(decompress(c.data)) << c.what;
  EXPECT_EQ(decompress(packed({{6, abcabc}}, 6)), Bytes({'a', 'b', 'c', 'a', 'b', 'c'}));
}

// Blocks never refer to each other's output.
TEST(HostBlockComp, MatchCannotReachIntoThePreviousBlock) {
  Bytes second = Bits().literal('x').short_match(3, 2).done();
  EXPECT_FALSE(decompress(packed({{3, Bits().literal('a').literal('b').literal('c').done()}, {4, second}}, 7)));
}

TEST(HostBlockComp, EveryTruncationIsRefused) {
  auto p = compress(text_like(5000, 7));
  ASSERT_TRUE(p);
  for (size_t len = 0; len < p->size(); len++) {
    Bytes cut(p->begin(), p->begin() + len);
    ASSERT_FALSE(decompress(cut)) << "cut at " << len;
    // The head still claiming the whole length: the bound is the input.
    if (len >= 8) {
      Bytes claimed = cut;
      uint32_t body = uint32_t(len - 8);
      for (int i = 0; i < 4; i++) claimed[i] = uint8_t(body >> (8 * i));
      ASSERT_FALSE(decompress(claimed)) << "cut at " << len << " with P adjusted";
    }
  }
}

TEST(HostBlockComp, RandomAndDamagedInputIsRefusedSafely) {
  std::mt19937 gen(8);
  const Bytes good = *compress(text_like(3000, 9));
  for (int round = 0; round < 2000; round++) {
    Bytes in = good;
    if (round % 2) {
      in = random_bytes(gen() % 200, uint32_t(round));
    } else {
      for (int k = 0; k < 2; k++) in[8 + gen() % (in.size() - 8)] ^= uint8_t(1 << (gen() % 8));
    }
    auto out = decompress(in);
    if (out) {
      EXPECT_LE(out->size(), (in.size() >= 8 ? in.size() : 8) * kMaxExpansion);
    }
  }
}

}  // namespace
}  // namespace kiv::lz
