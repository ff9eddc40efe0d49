// The native table and the natives' calling convention.
//
// Natives are the built-in functions that are not polymorphic actions; each
// has a fixed index from 1 to 107, and a native! value carries that index.
// Calling one means calling the entry stored at its index of the native
// table (120 slots, 1-based; 108-120 stay unused).
//
// Entry convention: the caller has opened a call frame whose base cell is the
// first argument, the other arguments following in spec order. The entry
// receives a check flag (non-zero: check each argument's type against the
// spec first) and one integer per refinement in spec order: -1 when absent,
// else the position (0-based, from the base) of the refinement's first
// argument, or any non-negative marker for a refinement without argument.
// The native leaves its result in the base cell.
#pragma once

#include <cstdint>

namespace kiv {

constexpr uint32_t kNativeCount = 107;
constexpr uint32_t kNativeTableSize = 120;

using NativeEntry = void (*)(int32_t check, const int32_t* refinements);

// The word of each native, and how many arguments and refinements its spec
// (boot/natives.kiv) has. Indexed by native index; entry 0 is unused.
struct NativeInfo {
  const char* word;
  uint8_t arguments;
  uint8_t refinements;
};
extern const NativeInfo kNativeInfo[kNativeCount + 1];

}  // namespace kiv
