#include "runtime/host/random.h"

#include <sys/random.h>

#include <cerrno>

#include "runtime/murmur3.h"
#include "runtime/support.h"

namespace kiv::random {

namespace {

constexpr int kStateWords = 624;
constexpr int kShift = 397;
constexpr uint32_t kMatrix = 0x9908B0DF;
constexpr uint32_t kSeedMultiplier = 1812433253;
constexpr uint32_t kUpperBit = 0x80000000;
constexpr uint32_t kLowerBits = 0x7FFFFFFF;

// The hash seed fixed by init(): any constant serves, hashes are never stored.
constexpr uint32_t kMurmur3Seed = 0x4B495631;

uint32_t state[kStateWords];
int state_index = kStateWords;
bool seeded = false;

// Right shift that copies bit 31 into the vacated bits.
inline uint32_t sar(uint32_t x, int n) { return static_cast<uint32_t>(static_cast<int32_t>(x) >> n); }

void regenerate() {
  for (int i = 0; i < kStateWords - 1; ++i) {
    uint32_t y = (state[i] & kUpperBit) | (state[i + 1] & kLowerBits);
    state[i] = state[(i + kShift) % kStateWords] ^ sar(y, 1) ^ ((y & 1) ? kMatrix : 0);
  }
  uint32_t y = (state[kStateWords - 1] & kUpperBit) | (state[0] & kLowerBits);
  state[kStateWords - 1] = state[kShift - 1] ^ sar(y, 1) ^ ((y & 1) ? kMatrix : 0);
  state_index = 0;
}

}  // namespace

void init() {
  seed(kInitialSeed);
  set_murmur3_seed(kMurmur3Seed);
}

void seed(uint32_t s) {
  state[0] = s;
  for (int i = 1; i < kStateWords; ++i) {
    state[i] = kSeedMultiplier * (state[i - 1] ^ sar(state[i - 1], 30)) + static_cast<uint32_t>(i);
  }
  state_index = 0;
  seeded = true;
}

int32_t next() {
  if (!seeded) seed(kInitialSeed);
  if (state_index == kStateWords) regenerate();
  uint32_t y = state[state_index++];
  y ^= sar(y, 11);
  y ^= (y << 7) & 0x9D2C5680;
  y ^= (y << 15) & 0xEFC60000;
  y ^= sar(y, 18);
  return static_cast<int32_t>(y);
}

int32_t secure() {
  uint32_t v = 0;
  size_t got = 0;
  auto* bytes = reinterpret_cast<unsigned char*>(&v);
  while (got < sizeof v) {
    ssize_t n = getrandom(bytes + got, sizeof v - got, 0);
    if (n > 0) {
      got += static_cast<size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      // The kernel has had getrandom since 3.17; without it there is no
      // secure source to fall back to that is any better.
      fire(ErrorCategory::kInternal, "not-here", "secure random source");
    }
  }
  return static_cast<int32_t>(v & kLowerBits);
}

int32_t integer(Source source, int32_t n) {
  auto draw = [source] { return source == Source::secure ? secure() : next(); };
  if (n == 0) return 0;
  if (n == INT32_MIN) return -draw() - 1;  // -1 .. -2^31
  int32_t m = n < 0 ? -n : n;
  int32_t limit = (INT32_MAX / m) * m;
  int32_t v;
  do {
    v = draw();
  } while (v >= limit);
  int32_t r = v % m + 1;
  return n < 0 ? -r : r;
}

}  // namespace kiv::random
