// The set natives and their neighbours: union (41), intersect (42), unique
// (43), difference (44), exclude (45), complement? (46), negative? (49),
// positive? (50), max (51), min (52), shift (53) and sign? (97). They follow
// the native entry convention (runtime/eval/natives.h).
#pragma once

#include <cstdint>

namespace kiv::natives {

void union_(int32_t check, const int32_t* refinements);
void intersect(int32_t check, const int32_t* refinements);
void unique(int32_t check, const int32_t* refinements);
void difference(int32_t check, const int32_t* refinements);
void exclude(int32_t check, const int32_t* refinements);
void complement_q(int32_t check, const int32_t* refinements);
void negative_q(int32_t check, const int32_t* refinements);
void positive_q(int32_t check, const int32_t* refinements);
void max(int32_t check, const int32_t* refinements);
void min(int32_t check, const int32_t* refinements);
void shift(int32_t check, const int32_t* refinements);
void sign_q(int32_t check, const int32_t* refinements);

// The shared body of union, intersect, unique, difference and exclude (set
// operation codes 8 to 12) on the frame's arguments.
void set_operation(bool case_sensitive, int32_t skip_position, int32_t op);
// The larger (max) or smaller value of the frame's first two arguments,
// written into the first.
void max_min_core(bool max);

// Stores the natives above at their indexes of the native table (after
// natives_init has filled it).
void install_set_natives();

}  // namespace kiv::natives
