// The value natives that reach words, paths, objects and contexts: get (21),
// set (22, which hands word and block targets to the core set), same? (32),
// stats (37), bind (38), in (39) and construct (68). They follow the native
// entry convention (runtime/eval/natives.h): arguments from the frame's base,
// one integer per refinement, the result left in the base cell.
#pragma once

#include <cstdint>

#include "runtime/cell.h"
#include "runtime/eval/natives.h"

namespace kiv::natives {

// The identity test behind same?.
bool same_core(const Cell* value1, const Cell* value2);

// Reads (new_value null) or writes a path value outside evaluation: the first
// element is a word, the others are looked up through each value's path
// access as the interpreter does, a get-word element by its value and a paren
// by evaluating it; functions met on the way are values, not calls. Pushes
// the value read (or the value written).
void path_access(const Cell* path, const Cell* new_value, bool case_sensitive);

// What stats counts: 4 bytes per node in use, the bytes in use in every
// series frame and the size of every big series.
double memory_in_use();

}  // namespace kiv::natives
