// The set natives and their neighbours: union (41), intersect (42), unique
// (43), difference (44), exclude (45), complement? (46), negative? (49),
// positive? (50), max (51), min (52), shift (53) and sign? (97). They follow
// the native entry convention (runtime/eval/natives.h).
#pragma once

#include <cstdint>

#include "runtime/eval/natives.h"

namespace kiv::natives {

// The shared body of union, intersect, unique, difference and exclude (set
// operation codes 8 to 12) on the frame's arguments.
void set_operation(bool case_sensitive, int32_t skip_position, int32_t op);
// The larger (max) or smaller value of the frame's first two arguments,
// written into the first.
void max_min_core(bool max);

}  // namespace kiv::natives
