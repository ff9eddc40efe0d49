// The natives of URL-style escapes, hex issues and file sizes: dehex (47),
// enhex (48), to-hex (54) and size? (101). They follow the native entry
// convention (runtime/eval/natives.h).
#pragma once

#include <cstdint>

namespace kiv::natives {

void dehex(int32_t check, const int32_t* refinements);
void enhex(int32_t check, const int32_t* refinements);
void to_hex(int32_t check, const int32_t* refinements);
void size_q(int32_t check, const int32_t* refinements);

// Stores the natives above at their indexes of the native table (after
// natives_init has filled it).
void install_encoding_natives();

}  // namespace kiv::natives
