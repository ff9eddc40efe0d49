// The math natives: sine (55), cosine (56), tangent (57), arcsine (58),
// arccosine (59), arctangent (60), arctangent2 (61), NaN? (62), log-2 (63),
// log-10 (64), log-e (65), exp (66), square-root (67) and zero? (100). They
// follow the native entry convention (runtime/eval/natives.h).
//
// Trigonometry takes degrees unless /radians is given; degrees are folded by
// the angle normalisation first, so the exact multiples of 90 degrees give
// exact results (sine 180 is 0.0, tangent 90 is +infinity). Domain errors
// follow IEEE 754 (NaN, infinities); nothing here raises a math error.
#pragma once

#include <cstdint>

#include "runtime/eval/natives.h"

namespace kiv::natives {

// Shared steps of the natives.
// The first argument as a float!: an integer! or percent! one is converted
// in place.
double float_argument();
// The angle of the first argument in radians: degrees are folded and
// converted unless radians is set.
double trig_core(bool radians, int mode);

}  // namespace kiv::natives
