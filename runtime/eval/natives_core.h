// The natives that drive evaluation: if, unless, either, any, all,
// set (of words and blocks of words), print, prin, reduce and compose. They follow the native entry convention
// (runtime/eval/natives.h): arguments from the frame's base, one integer per
// refinement, the result left in the base cell.
#pragma once

#include <cstdint>

#include "runtime/cell.h"
#include "runtime/eval/natives.h"

namespace kiv::natives {

// The branch that if, unless or either (by native index) takes for its
// arguments: the argument index of the block to run, or -1 for none (the
// result is then none!). either raises script no-return for an unset!
// condition. The natives and the interpreter's call of them both ask here.
int32_t branch_of(uint32_t native_index, const Cell* args);

// set with a word or a block of words as its target; the set native
// (set_value) hands these here.
void set(int32_t check, const int32_t* refinements);

// Whether the last text print or prin wrote ended with a line feed.
bool last_line_feed();

}  // namespace kiv::natives
