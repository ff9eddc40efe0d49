#include "runtime/murmur3.h"

namespace kiv {

namespace {
uint32_t g_seed = kDefaultMurmur3Seed;
}  // namespace

void set_murmur3_seed(uint32_t seed) { g_seed = seed; }
uint32_t murmur3_seed() { return g_seed; }

uint32_t murmur3_x86_32(const void* key, size_t len, uint32_t seed) {
  const auto* data = static_cast<const uint8_t*>(key);
  const size_t nblocks = len / 4;
  Murmur3Stream stream(seed);
  for (size_t i = 0; i < nblocks; i++) {
    const uint8_t* p = data + i * 4;
    // Assembled byte by byte: the blocks are little-endian whatever the
    // alignment of the input.
    stream.add_block(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
                     uint32_t(p[3]) << 24);
  }

  const uint8_t* tail = data + nblocks * 4;
  uint32_t k1 = 0;
  switch (len & 3) {
    case 3: k1 ^= uint32_t(tail[2]) << 16; [[fallthrough]];
    case 2: k1 ^= uint32_t(tail[1]) << 8; [[fallthrough]];
    case 1: k1 ^= tail[0]; stream.add_tail(k1); break;
    default: break;
  }
  // Only the low 32 bits of the length are mixed in, as the 32-bit variant
  // defines it.
  return stream.finish(uint32_t(len));
}

uint32_t murmur3_hash(const void* key, size_t len) { return murmur3_x86_32(key, len, g_seed); }

}  // namespace kiv
