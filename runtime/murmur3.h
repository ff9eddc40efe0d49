// MurmurHash3, x86 32-bit variant: the hash of every hash table.
//
// The process seed is set once at start-up (the random generator's start-up
// step calls set_murmur3_seed) and never changes afterwards; hashes are never
// stored outside the running process, so any fixed value serves. Until it is
// set, kDefaultMurmur3Seed is used.
//
// Text is hashed one code point per 32-bit block through Murmur3Stream, so
// that the same text hashes alike whatever its storage unit (1, 2 or 4 bytes).
#pragma once

#include <cstddef>
#include <cstdint>

namespace kiv {

constexpr uint32_t kDefaultMurmur3Seed = 0x4B69761Fu;

void set_murmur3_seed(uint32_t seed);
uint32_t murmur3_seed();

// The full hash of len bytes with an explicit seed (little-endian blocks).
uint32_t murmur3_x86_32(const void* key, size_t len, uint32_t seed);

// The same with the process seed.
uint32_t murmur3_hash(const void* key, size_t len);

// The finaliser alone: the hash of a 32-bit key.
constexpr uint32_t murmur3_fmix(uint32_t h) {
  h ^= h >> 16;
  h *= 0x85EBCA6Bu;
  h ^= h >> 13;
  h *= 0xC2B2AE35u;
  h ^= h >> 16;
  return h;
}

// Block-at-a-time hashing: feeding the 32-bit blocks k1..kn and finishing
// with the byte length 4n gives the same result as murmur3_x86_32 over the
// n blocks laid out little-endian. Used for text, one code point a block.
class Murmur3Stream {
 public:
  explicit Murmur3Stream(uint32_t seed = murmur3_seed()) : h_(seed) {}

  void add_block(uint32_t k) {
    k *= kC1;
    k = rotl(k, 15);
    k *= kC2;
    h_ ^= k;
    h_ = rotl(h_, 13);
    h_ = h_ * 5 + 0xE6546B64u;
  }

  // The last 1-3 bytes of a byte input, assembled little-endian: mixed in
  // without the rotate-and-add step. At most once, right before finish.
  void add_tail(uint32_t k) {
    k *= kC1;
    k = rotl(k, 15);
    k *= kC2;
    h_ ^= k;
  }

  uint32_t finish(uint32_t byte_length) const {
    return murmur3_fmix(h_ ^ byte_length);
  }

 private:
  static constexpr uint32_t kC1 = 0xCC9E2D51u;
  static constexpr uint32_t kC2 = 0x1B873593u;
  static constexpr uint32_t rotl(uint32_t x, int r) { return (x << r) | (x >> (32 - r)); }
  uint32_t h_;
};

}  // namespace kiv
