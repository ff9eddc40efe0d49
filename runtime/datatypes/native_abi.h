// What a native! value and the native table share: the count of natives,
// the table's size, an entry's signature and what start-up knows of each
// native's spec. The table itself and the natives live in the evaluator.
#pragma once

#include <cstdint>

namespace kiv {

// A native's index in the native table, named after its word (natives.def).
enum class NativeId : uint32_t {
  kUnused = 0,
#define KIV_NATIVE(name, ...) k##name,
#include "runtime/datatypes/natives.def"
#undef KIV_NATIVE
};

constexpr uint32_t kNativeCount = 0
#define KIV_NATIVE(...) +1
#include "runtime/datatypes/natives.def"
#undef KIV_NATIVE
    ;
constexpr uint32_t kNativeTableSize = 120;

constexpr uint32_t native_index(NativeId id) { return static_cast<uint32_t>(id); }

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
