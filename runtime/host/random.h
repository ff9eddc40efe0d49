// The system's pseudo-random generator and its secure source.
//
// The generator is a Mersenne Twister on signed 32-bit words: all arithmetic
// is modulo 2^32 and every right shift is arithmetic (it copies bit 31), so
// its sequences differ from the textbook generator's and every value it gives
// lies in 0 .. 2^31 - 1. State: 624 words and an index 0..624; one process-wide
// generator, seeded with kInitialSeed at start-up.
#pragma once

#include <cstdint>

namespace kiv::random {

constexpr uint32_t kInitialSeed = 19650218;

// Which source random::integer draws from.
enum class Source { generator, secure };

// Seeds the generator with kInitialSeed and fixes the process's MurmurHash3
// seed. Runs once during runtime initialisation.
void init();

// Restarts the sequence from a 32-bit seed.
void seed(uint32_t s);

// The generator's next value, 0 .. 0x7FFFFFFF.
int32_t next();

// A value 0 .. 0x7FFFFFFF from the operating system's random source.
int32_t secure();

// A uniform integer from 1 to n for n > 0, from -1 to n for n < 0, 0 for 0.
int32_t integer(Source source, int32_t n);

}  // namespace kiv::random
