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
#include <new>

#include "runtime/datatypes/native_abi.h"

namespace kiv {

// Indexed by native index; filled by natives_init.
extern NativeEntry native_table[kNativeTableSize + 1];

// Makes the table and the print scratch block, registers the entry of every
// native (natives.def) in index order and gives do/trace its runner. Runs
// once at start-up, after the built-in words and before the boot payload.
void natives_init();

// Stores each entry at the next free index (the counter starts at 1).
void register_natives(uint32_t count, const NativeEntry* list);

// The node of the 32-cell block that print reduces its argument into.
constexpr int32_t kPrintScratchCells = 32;
uint32_t print_scratch_block();

// Calls native `index` with the current frame's arguments.
void call_native(uint32_t index, int32_t check, const int32_t* refinements);

// Raises internal no-memory through the throw routine.
[[noreturn]] void raise_no_memory();

// Runs the entry of a native, action or routine. C++ code inside it may run
// out of heap (a std::vector, a std::string): that std::bad_alloc becomes the
// internal no-memory error, raised as if the entry had raised it, so try
// catches it and the frames unwind as for any language error.
template <typename Call>
inline void run_entry(Call&& call) {
  try {
    call();
  } catch (const std::bad_alloc&) {
    raise_no_memory();
  }
}

namespace natives {

// The entry of every native, named in natives.def; each natives_*.cpp
// defines its share.
#define KIV_NATIVE(name, word, arguments, refinements, entry) void entry(int32_t check, const int32_t* refs);
#include "runtime/datatypes/natives.def"
#undef KIV_NATIVE

// What an index with no native raises: internal not-done.
void not_yet_available(int32_t check, const int32_t* refinements);

}  // namespace natives
}  // namespace kiv
