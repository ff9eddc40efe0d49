// The natives over the byte codecs of runtime/host: debase (84), checksum
// (87), enbase (91), compress (103) and decompress (104). They follow the
// native entry convention (runtime/eval/natives.h).
#pragma once

#include <cstdint>

namespace kiv::natives {

void debase(int32_t check, const int32_t* refinements);
void checksum(int32_t check, const int32_t* refinements);
void enbase(int32_t check, const int32_t* refinements);
void compress(int32_t check, const int32_t* refinements);
void decompress(int32_t check, const int32_t* refinements);

// Stores the natives above at their indexes of the native table (after
// natives_init has filled it).
void install_byte_natives();

}  // namespace kiv::natives
