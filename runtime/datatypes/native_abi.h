// What a native! value and the native table share: the count of natives,
// the table's size, an entry's signature and what start-up knows of each
// native's spec. The table itself and the natives live in the evaluator.
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
