// Inputs for the tests of the byte-level codecs: seeded random bytes (which
// do not compress) and text-like bytes drawn from a small vocabulary (which
// do). The same seed always gives the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <span>
#include <string_view>
#include <vector>

namespace kiv::testing {

using Bytes = std::vector<uint8_t>;

inline Bytes bytes_of(std::string_view s) { return Bytes(s.begin(), s.end()); }

inline Bytes random_bytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  Bytes v(n);
  for (auto& b : v) b = uint8_t(gen());
  return v;
}

// n bytes of words picked at random from the vocabulary.
inline Bytes text_like(size_t n, uint32_t seed, std::span<const char* const> words) {
  std::mt19937 gen(seed);
  Bytes v;
  while (v.size() < n) {
    const char* w = words[gen() % words.size()];
    v.insert(v.end(), w, w + std::strlen(w));
  }
  v.resize(n);
  return v;
}

// Builds a bit stream by hand, fields least significant bit first (the
// order of DEFLATE and of the block compressor). Self, the test's own
// writer, adds its codes; every call answers Self so that calls chain.
template <typename Self>
struct LsbBitWriter {
  Bytes bytes;
  uint64_t buf = 0;
  unsigned n = 0;
  Self& put(uint32_t v, unsigned count) {
    buf |= uint64_t(v) << n;
    n += count;
    while (n >= 8) {
      bytes.push_back(uint8_t(buf));
      buf >>= 8;
      n -= 8;
    }
    return static_cast<Self&>(*this);
  }
  // Pads to the next byte with zero bits.
  Self& align() {
    if (n) put(0, 8 - n);
    return static_cast<Self&>(*this);
  }
  Bytes done() {
    align();
    return bytes;
  }
};

}  // namespace kiv::testing
