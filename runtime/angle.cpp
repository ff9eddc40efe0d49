#include "runtime/angle.h"

#include <cmath>

namespace kiv {

namespace {
constexpr double kPi = 3.141592653589793;
}

double normalize_angle(double degrees, int mode) {
  double a = std::fmod(degrees, 360.0);  // keeps the sign of degrees
  if (a > 180.0 || a < -180.0) a = (a >= 0.0) ? a - 360.0 : a + 360.0;
  if (a > 90.0 || a < -90.0) {
    if (mode == kAngleHalfTurn) {
      a = (a >= 0.0) ? a - 180.0 : a + 180.0;
    } else if (mode == kAngleMirror) {
      a = (a >= 0.0) ? 180.0 - a : -180.0 - a;
    }
  }
  return a * kPi / 180.0;
}

}  // namespace kiv
