#include "runtime/angle.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

constexpr double kPi = 3.141592653589793;

TEST(Angle, FoldsByModeIntoQuarterTurns) {
  struct Case {
    double degrees;
    int mode;
    double radians;
  } cases[] = {
      {450, kiv::kAngleMirror, kPi / 2},    {270, kiv::kAngleMirror, -kPi / 2},
      {135, kiv::kAngleHalfTurn, -kPi / 4}, {135, kiv::kAngleKeep, 3 * kPi / 4},
      {135, kiv::kAngleMirror, kPi / 4},    {-135, kiv::kAngleMirror, -kPi / 4},
      {-135, kiv::kAngleHalfTurn, kPi / 4}, {-540, kiv::kAngleHalfTurn, 0.0},
      {-540, kiv::kAngleMirror, 0.0},       {-540, kiv::kAngleKeep, -kPi},
      {180, kiv::kAngleKeep, kPi},          {190, kiv::kAngleKeep, -170 * kPi / 180},
      {720, kiv::kAngleKeep, 0.0},          {30, kiv::kAngleHalfTurn, kPi / 6},
  };
  for (const Case& c : cases) {
    EXPECT_DOUBLE_EQ(kiv::normalize_angle(c.degrees, c.mode), c.radians) << c.degrees << " mode " << c.mode;
  }
}

TEST(Angle, FoldingKeepsTheTrigonometricValue) {
  for (double deg = -1000; deg <= 1000; deg += 7.5) {
    double r = deg * kPi / 180;
    EXPECT_NEAR(std::sin(kiv::normalize_angle(deg, kiv::kAngleMirror)), std::sin(r), 1e-12) << deg;
    EXPECT_NEAR(std::cos(kiv::normalize_angle(deg, kiv::kAngleKeep)), std::cos(r), 1e-12) << deg;
    if (std::fabs(std::cos(r)) > 1e-6) {
      EXPECT_NEAR(std::tan(kiv::normalize_angle(deg, kiv::kAngleHalfTurn)), std::tan(r), 1e-9) << deg;
    }
  }
}

TEST(Angle, NonFiniteInputGivesNaN) {
  EXPECT_TRUE(std::isnan(kiv::normalize_angle(std::numeric_limits<double>::quiet_NaN(), 0)));
  EXPECT_TRUE(std::isnan(kiv::normalize_angle(std::numeric_limits<double>::infinity(), 1)));
  EXPECT_TRUE(std::isnan(kiv::normalize_angle(-std::numeric_limits<double>::infinity(), 2)));
}

}  // namespace
