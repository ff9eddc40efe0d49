// Angle normalisation for the trigonometric natives: a degree value is folded
// into -180..180 (and by mode into -90..90) and converted to radians before
// the platform's sine, cosine or tangent sees it, so that results at the
// exact multiples of 90 degrees come out exact.
#pragma once

namespace kiv {

// How a value beyond -90..90 is folded back.
enum AngleMode : int {
  kAngleHalfTurn = 0,  // a -= 180 (a >= 0) or a += 180: for the tangent
  kAngleKeep = 1,      // left as it is: for the cosine
  kAngleMirror = 2,    // a = 180 - a (a >= 0) or -180 - a: for the sine
};

// Degrees to radians after folding by mode. NaN and infinities give NaN.
double normalize_angle(double degrees, int mode);

}  // namespace kiv
