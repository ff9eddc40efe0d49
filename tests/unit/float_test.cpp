#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "actions_test_support.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"

namespace kiv {
namespace {

using namespace kiv::testing;

constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::nan("");

Cell typed_float(double d, uint32_t type) {
  Cell c;
  return *float_::init_cell(&c, d, type);
}
Cell percent_cell(double d) { return typed_float(d, TYPE_PERCENT); }
Cell time_cell(double d) { return typed_float(d, TYPE_TIME); }

// Restores the text options a test changes.
struct PrettyScope {
  bool saved = float_::pretty_print_q;
  explicit PrettyScope(bool on) { float_::pretty_print_q = on; }
  ~PrettyScope() { float_::pretty_print_q = saved; }
};

class Float : public CoreTypesTest {
 protected:
  std::string form(double d) {
    Cell r = call_action(ACT_FORM, {float_cell(d)});
    return text_of(&r);
  }
  std::string mold(double d) {
    Cell r = call_action(ACT_MOLD, {float_cell(d)});
    return text_of(&r);
  }
  Cell arith(uint32_t action, Cell a, Cell b) { return call_action(action, {a, b}); }
  bool compare(Cell a, Cell b, int32_t op) {
    Cell r = call_action(ACT_COMPARE, {a, b, int_cell(op)});
    return r.data1 != 0;
  }
  // round with its refinements: scale, then the flag that is set (1 even,
  // 2 down, 3 half-down, 4 floor, 5 ceiling, 6 half-ceiling; 0 for none).
  Cell round(Cell value, int flag, const Cell* scale = nullptr) {
    std::vector<int32_t> refs(16, -1);
    if (flag) refs[flag] = 0;
    if (scale) {
      refs[0] = 1;
      return call_action(ACT_ROUND, {value, *scale}, refs);
    }
    return call_action(ACT_ROUND, {value}, refs);
  }
};

// ---------------------------------------------------------------------------
// The checked conversion.

TEST(FloatTruncate, CheckedConversionRefusesNaNInfinitiesAndValuesPastTheRange) {
  struct Case {
    double d;
    bool ok32;
    int32_t v32;
    bool ok64;
    int64_t v64;
  };
  const double two63 = 9223372036854775808.0;
  const Case cases[] = {
      {kNaN, false, 0, false, 0},
      {kInf, false, 0, false, 0},
      {-kInf, false, 0, false, 0},
      {two63, false, 0, false, 0},  // one past INT64_MAX
      {-two63, false, 0, true, INT64_MIN},
      {std::nextafter(two63, 0.0), false, 0, true, 9223372036854774784LL},
      {2147483647.9, true, INT32_MAX, true, 2147483647},
      {2147483648.0, false, 0, true, 2147483648LL},
      {-2147483648.9, true, INT32_MIN, true, -2147483648LL},
      {-2147483649.0, false, 0, true, -2147483649LL},
      {-0.5, true, 0, true, 0},
      {-2.9, true, -2, true, -2},
  };
  for (const Case& c : cases) {
    int32_t v32 = 12345;
    EXPECT_EQ(float_::truncate_checked(c.d, &v32), c.ok32) << c.d;
    EXPECT_EQ(v32, c.ok32 ? c.v32 : 12345) << "a refused value leaves the output alone: " << c.d;
    int64_t v64 = 0;
    EXPECT_EQ(float_::truncate_checked(c.d, &v64), c.ok64) << c.d;
    if (c.ok64) {
      EXPECT_EQ(v64, c.v64) << c.d;
    }
  }
}

TEST(FloatTruncate, SaturatedConversionClampsAndMapsNaNToZero) {
  EXPECT_EQ(float_::truncate_saturated<int32_t>(kNaN), 0);
  EXPECT_EQ(float_::truncate_saturated<int32_t>(1e300), INT32_MAX);
  EXPECT_EQ(float_::truncate_saturated<int32_t>(-kInf), INT32_MIN);
  EXPECT_EQ(float_::truncate_saturated<int64_t>(9223372036854775808.0), INT64_MAX);
  EXPECT_EQ(float_::to_int_truncate(1.2), 1);
  EXPECT_EQ(float_::to_int_truncate(1.7), 2);
  EXPECT_EQ(float_::to_int_truncate(0.49999999999999994), 0);
  EXPECT_EQ(float_::to_int_truncate(1e20), INT32_MAX);
}

TEST_F(Float, ConversionsToIntegersRefuseNaNAndHugeValuesWithLanguageErrors) {
  const double bad[] = {kNaN, kInf, -kInf, 1e300};
  for (double d : bad) {
    EXPECT_EQ(raised_by([&] { call_action(ACT_TO, {type_cell(TYPE_INTEGER), float_cell(d)}); }).id,
              "type-limit")
        << d;
    EXPECT_EQ(raised_by([&] { call_action(ACT_MAKE, {type_cell(TYPE_CHAR), float_cell(d)}); }).id,
              "out-of-range")
        << d;
    EXPECT_EQ(raised_by([&] { call_action(ACT_MAKE, {type_cell(TYPE_PATH), percent_cell(d)}); }).id,
              "out-of-range")
        << d;
  }
  // A NaN count counts nothing rather than being undefined.
  RootedCell text = make_string("abc");
  std::vector<int32_t> refs(16, -1);
  refs[0] = 1;
  Cell r = call_action(ACT_COPY, {*text, float_cell(kNaN)}, refs);
  EXPECT_EQ(TYPE_OF(&r), TYPE_STRING);
}

// ---------------------------------------------------------------------------
// Text.

TEST_F(Float, FormAndMoldOfEverydayValues) {
  struct Case {
    double d;
    const char* form;
    const char* mold;
  };
  const Case cases[] = {
      {1.0, "1.0", "1.0"},
      {0.1, "0.1", "0.1"},
      {-2.5, "-2.5", "-2.5"},
      {1e20, "1.0e20", "1.0e20"},
      {1.5e-7, "1.5e-7", "0.00000015"},
      {0.7 + 0.1, "0.8", "0.7999999999999999"},
      {0.1 + 0.2, "0.3", "0.30000000000000004"},
      {0.01 * 7, "0.07", "0.07"},       // "...01" residue in form
      {4.35 * 100, "435.0", "434.99999999999994"},  // "...99" residue
      {-4.35 * 100, "-435.0", "-434.99999999999994"},
      {3.0000000000000006e+17, "3.0e17", "3.0000000000000006e17"},  // residue before "e"
      {kInf, "1.#INF", "1.#INF"},
      {-kInf, "-1.#INF", "-1.#INF"},
      {kNaN, "1.#NaN", "1.#NaN"},
      {0.0, "0.0", "0.0"},
      {1e-300, "0.0", "1.0e-300"},  // below the epsilon forms as zero while pretty
  };
  for (const Case& c : cases) {
    EXPECT_EQ(form(c.d), c.form) << c.mold;
    EXPECT_EQ(mold(c.d), c.mold) << c.mold;
  }
}

TEST_F(Float, FormAroundTheScientificThresholds) {
  // form: 16 significant digits, exponent notation from 1e16 and below 1e-4.
  // mold: plain notation for point positions -6 to 17.
  struct Case {
    double d;
    const char* form;
    const char* mold;
  };
  const Case cases[] = {
      {1e15, "1000000000000000.0", "1000000000000000.0"},
      {1e16, "1.0e16", "10000000000000000.0"},
      {1e17, "1.0e17", "1.0e17"},
      {123456789012345680.0, "1.234567890123457e17", "1.2345678901234568e17"},
      {0.0001, "0.0001", "0.0001"},
      {0.00001, "1.0e-5", "0.00001"},
      {1e-7, "1.0e-7", "0.0000001"},
      {1e-8, "1.0e-8", "1.0e-8"},
      {-1e-8, "-1.0e-8", "-1.0e-8"},
      {1e100, "1.0e100", "1.0e100"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(form(c.d), c.form) << c.mold;
    EXPECT_EQ(mold(c.d), c.mold) << c.mold;
  }
}

TEST_F(Float, WithoutPrettyPrintFormShowsResiduesAndTinyValues) {
  PrettyScope off(false);
  EXPECT_EQ(form(0.7 + 0.1), "0.7999999999999999");
  EXPECT_EQ(form(4.35 * 100), "434.9999999999999");
  EXPECT_EQ(form(1e-300), "1.0e-300");
  EXPECT_EQ(form(-0.0), "-0.0");
}

TEST(FloatToText, ModesOfOtherTypes) {
  PrettyScope on(true);
  struct Case {
    double d;
    int mode;
    const char* text;
  };
  const Case cases[] = {
      {0.5, float_::kTextSingle, "0.5"},
      {3.0, float_::kTextSingle, "3.0"},
      {0.25, float_::kTextSinglePercent, "25%"},
      {12.5, float_::kTextPercent, "12.5%"},
      {0.0, float_::kTextPercent, "0%"},
      {5.0, float_::kTextTime, "5"},
      {5.5, float_::kTextTime, "5.5"},
      {1.0 / 3.0, float_::kTextTime, "0.333333"},
      {3.0, float_::kTextPoint, "3"},
      {0.0, float_::kTextPoint, "0"},
      {1e20, float_::kTextPoint, "1e20"},
      {kNaN, float_::kTextPercent, "1.#NaN"},
  };
  for (const Case& c : cases) EXPECT_STREQ(float_::to_text(c.d, c.mode).c_str(), c.text) << c.text;
}

// ---------------------------------------------------------------------------
// Equality and ordering.

TEST(FloatBits, NaNTestsAndSingleFloatTolerance) {
  EXPECT_TRUE(float_::nan_bits_q(0, float_::kQuietNaNHigh));
  EXPECT_TRUE(float_::nan_bits_q(1, 0x7FF00000));  // a mantissa bit in the low word only
  EXPECT_FALSE(float_::nan_bits_q(0, 0x7FF00000)) << "infinity";
  EXPECT_TRUE(std::isnan(float_::quiet_nan()));
  EXPECT_TRUE(float_::not_finite_q(-kInf));
  EXPECT_FALSE(float_::not_finite_q(1e308));
  EXPECT_TRUE(float_::float32_nan_q(std::nanf("")));
  EXPECT_FALSE(float_::float32_nan_q(std::numeric_limits<float>::infinity()));
  EXPECT_EQ(float_::abs_bits(-0.0), 0.0);
  EXPECT_FALSE(std::signbit(float_::abs_bits(-0.0)));

  float x = 1.0f, y10 = x, y11 = x;
  for (int i = 0; i < 10; ++i) y10 = std::nextafter(y10, 2.0f);
  for (int i = 0; i < 11; ++i) y11 = std::nextafter(y11, 2.0f);
  EXPECT_TRUE(float_::float32_nearly_equal_q(x, y10));
  EXPECT_FALSE(float_::float32_nearly_equal_q(x, y11));
  EXPECT_TRUE(float_::float32_nearly_equal_q(0.0f, -0.0f));
  EXPECT_FALSE(float_::float32_nearly_equal_q(std::nanf(""), std::nanf("")));
  float inf = std::numeric_limits<float>::infinity();
  EXPECT_TRUE(float_::float32_nearly_equal_q(inf, inf));
  EXPECT_FALSE(float_::float32_nearly_equal_q(inf, -inf));
}

TEST_F(Float, EqualityIsTolerantAndStrictEqualityExact) {
  EXPECT_TRUE(compare(float_cell(0.1 + 0.2), float_cell(0.3), COMP_EQUAL));
  EXPECT_FALSE(compare(float_cell(0.1 + 0.2), float_cell(0.3), COMP_STRICT_EQUAL));
  EXPECT_FALSE(compare(float_cell(0.1 + 0.2), float_cell(0.3), COMP_NOT_EQUAL));
  // Far from zero the epsilon does not help: 10 units in the last place do.
  double x = 1e10, y10 = x, y11 = x;
  for (int i = 0; i < 10; ++i) y10 = std::nextafter(y10, kInf);
  for (int i = 0; i < 11; ++i) y11 = std::nextafter(y11, kInf);
  EXPECT_TRUE(compare(float_cell(x), float_cell(y10), COMP_EQUAL));
  EXPECT_FALSE(compare(float_cell(x), float_cell(y11), COMP_EQUAL));
  EXPECT_TRUE(compare(float_cell(-x), float_cell(-y10), COMP_EQUAL));
  // Across zero: the two zeros meet.
  EXPECT_TRUE(compare(float_cell(-0.0), float_cell(0.0), COMP_EQUAL));
  EXPECT_TRUE(compare(float_cell(-0.0), float_cell(0.0), COMP_STRICT_EQUAL));
  EXPECT_FALSE(compare(float_cell(-0.0), float_cell(0.0), COMP_SAME));
  EXPECT_TRUE(compare(float_cell(1.5), float_cell(1.5), COMP_SAME));
  // Integers compare by value; a strict comparison wants the same type.
  EXPECT_TRUE(compare(float_cell(1.0), int_cell(1), COMP_EQUAL));
  EXPECT_TRUE(compare(int_cell(1), float_cell(1.0), COMP_EQUAL));
  EXPECT_FALSE(compare(float_cell(1.0), int_cell(1), COMP_STRICT_EQUAL));
  EXPECT_FALSE(compare(float_cell(0.5), percent_cell(0.5), COMP_STRICT_EQUAL));
  EXPECT_TRUE(compare(float_cell(0.5), percent_cell(0.5), COMP_EQUAL));
}

TEST_F(Float, EveryOrderingTestWithNaNIsFalseAndNaNIsNeverEqual) {
  const int32_t orderings[] = {COMP_LESSER, COMP_LESSER_EQUAL, COMP_GREATER, COMP_GREATER_EQUAL};
  const Cell others[] = {float_cell(1.0), float_cell(kNaN), float_cell(kInf), int_cell(0)};
  for (const Cell& other : others) {
    for (int32_t op : orderings) {
      EXPECT_FALSE(compare(float_cell(kNaN), other, op)) << "op " << op;
      EXPECT_FALSE(compare(other, float_cell(kNaN), op)) << "op " << op;
    }
    EXPECT_FALSE(compare(float_cell(kNaN), other, COMP_EQUAL));
    EXPECT_FALSE(compare(float_cell(kNaN), other, COMP_STRICT_EQUAL));
    EXPECT_TRUE(compare(float_cell(kNaN), other, COMP_NOT_EQUAL));
  }
}

TEST_F(Float, OrderingIsExactAndOtherTypesAreNotComparable) {
  double a = 1.0, b = std::nextafter(1.0, 2.0);  // tolerantly equal, yet ordered
  EXPECT_TRUE(compare(float_cell(a), float_cell(b), COMP_LESSER));
  EXPECT_FALSE(compare(float_cell(a), float_cell(b), COMP_GREATER_EQUAL));
  EXPECT_TRUE(compare(float_cell(2.5), int_cell(2), COMP_GREATER));
  Cell none = none_cell();
  Cell f = float_cell(1.0);
  EXPECT_EQ(float_::compare(&f, &none, COMP_EQUAL), kNotComparable);
  Raised r = raised_by([&] { compare(float_cell(1.0), none_cell(), COMP_LESSER); });
  EXPECT_EQ(r.id, "invalid-compare");
}

// ---------------------------------------------------------------------------
// Arithmetic.

TEST_F(Float, ArithmeticTypesFollowTheOperands) {
  struct Case {
    uint32_t action;
    Cell a, b;
    uint32_t type;
    double value;
  };
  const Case cases[] = {
      {ACT_ADD, float_cell(1.5), int_cell(1), TYPE_FLOAT, 2.5},
      {ACT_ADD, int_cell(1), float_cell(1.5), TYPE_FLOAT, 2.5},
      {ACT_ADD, int_cell(1), percent_cell(0.1), TYPE_FLOAT, 1.1},
      {ACT_MULTIPLY, float_cell(1.5), time_cell(2), TYPE_TIME, 3},
      {ACT_ADD, float_cell(1.5), time_cell(1), TYPE_TIME, 2.5},
      {ACT_SUBTRACT, float_cell(1.0), char_cell('a'), TYPE_FLOAT, -96},
      {ACT_DIVIDE, float_cell(7.0), int_cell(2), TYPE_FLOAT, 3.5},
      {ACT_REMAINDER, float_cell(5.5), int_cell(2), TYPE_FLOAT, 1.5},
      {ACT_REMAINDER, float_cell(-5.5), int_cell(2), TYPE_FLOAT, -1.5},
      {ACT_REMAINDER, float_cell(5.5), float_cell(kInf), TYPE_FLOAT, 5.5},
  };
  for (const Case& c : cases) {
    Cell r = arith(c.action, c.a, c.b);
    EXPECT_EQ(TYPE_OF(&r), c.type) << "action " << c.action << " -> " << c.value;
    EXPECT_DOUBLE_EQ(cell_float(&r), c.value) << "action " << c.action;
  }
}

TEST_F(Float, DivisionByZeroAndRemainderSpecialsFollowIEEE) {
  Cell r = arith(ACT_DIVIDE, float_cell(1.0), int_cell(0));
  EXPECT_EQ(cell_float(&r), kInf);
  r = arith(ACT_DIVIDE, float_cell(-1.0), float_cell(0.0));
  EXPECT_EQ(cell_float(&r), -kInf);
  r = arith(ACT_DIVIDE, float_cell(0.0), float_cell(0.0));
  EXPECT_TRUE(std::isnan(cell_float(&r)));
  r = arith(ACT_REMAINDER, float_cell(kInf), int_cell(2));
  EXPECT_TRUE(std::isnan(cell_float(&r)));
  r = arith(ACT_REMAINDER, float_cell(kInf), float_cell(kInf));
  EXPECT_TRUE(std::isnan(cell_float(&r)));
  r = arith(ACT_REMAINDER, float_cell(3.0), float_cell(kNaN));
  EXPECT_TRUE(std::isnan(cell_float(&r)));
  r = arith(ACT_REMAINDER, float_cell(3.0), int_cell(0));
  EXPECT_TRUE(std::isnan(cell_float(&r)));
}

TEST_F(Float, UnsupportedOperandsAndBitwiseOpsRaise) {
  EXPECT_EQ(raised_by([&] { arith(ACT_ADD, float_cell(1.0), none_cell()); }).id, "invalid-type");
  EXPECT_EQ(raised_by([&] { arith(ACT_ADD, time_cell(1.0), char_cell('a')); }).id, "invalid-type");
  Cell pair{TYPE_PAIR, 0, 1, 2};
  EXPECT_EQ(raised_by([&] { arith(ACT_SUBTRACT, float_cell(1.0), pair); }).id, "not-related");
  // and~ with an integer left operand and a float right one.
  Raised r = raised_by([&] { arith(ACT_AND_T, int_cell(1), float_cell(1.0)); });
  EXPECT_EQ(r.id, "cannot-use");
  ASSERT_EQ(r.args.size(), 2u);
  EXPECT_EQ(r.args[1].value->data1, TYPE_FLOAT);
  // float! itself has no and~.
  EXPECT_EQ(raised_by([&] { arith(ACT_AND_T, float_cell(1.0), float_cell(1.0)); }).id,
            "expect-arg");
}

TEST_F(Float, IntegerOverflowAndInexactDivisionGiveFloats) {
  struct Case {
    uint32_t action;
    int32_t a, b;
    double expected;
  };
  const Case cases[] = {
      {ACT_ADD, INT32_MAX, 1, 2147483648.0},
      {ACT_SUBTRACT, INT32_MIN, 1, -2147483649.0},
      {ACT_MULTIPLY, 65536, 65536, 4294967296.0},
      {ACT_DIVIDE, 7, 2, 3.5},
      {ACT_DIVIDE, -7, 2, -3.5},
      {ACT_POWER, 2, 31, 2147483648.0},
      {ACT_POWER, 2, 40, 1099511627776.0},
      {ACT_POWER, 2, -1, 0.5},
  };
  for (const Case& c : cases) {
    Cell r = call_action(c.action, {int_cell(c.a), int_cell(c.b)});
    ASSERT_EQ(TYPE_OF(&r), TYPE_FLOAT) << c.a << " action " << c.action << " " << c.b;
    EXPECT_EQ(cell_float(&r), c.expected);
  }
  Cell r = call_action(ACT_POWER, {int_cell(2), float_cell(0.5)});
  EXPECT_DOUBLE_EQ(cell_float(&r), std::sqrt(2.0));
  r = call_action(ACT_POWER, {int_cell(3), int_cell(2)});
  EXPECT_EQ(TYPE_OF(&r), TYPE_INTEGER);
  EXPECT_EQ(integer::get(&r), 9);
}

TEST_F(Float, PowerWantsANumberExponent) {
  Cell r = call_action(ACT_POWER, {float_cell(2.0), int_cell(10)});
  EXPECT_EQ(cell_float(&r), 1024.0);
  Raised e = raised_by([&] { call_action(ACT_POWER, {float_cell(2.0), char_cell('a')}); });
  EXPECT_EQ(e.id, "expect-arg");
}

TEST_F(Float, NegateAbsoluteAndParity) {
  Cell r = call_action(ACT_NEGATE, {float_cell(0.0)});
  EXPECT_FALSE(std::signbit(cell_float(&r))) << "negate 0.0 is 0.0, not -0.0";
  r = call_action(ACT_NEGATE, {time_cell(5)});
  EXPECT_EQ(TYPE_OF(&r), TYPE_TIME);
  EXPECT_EQ(cell_float(&r), -5.0);
  r = call_action(ACT_ABSOLUTE, {float_cell(-0.0)});
  EXPECT_FALSE(std::signbit(cell_float(&r)));
  struct Case {
    double d;
    bool even, odd;
  };
  const Case cases[] = {{2.7, true, false}, {3.2, false, true},  {-3.9, false, true},
                        {1e20, true, false}, {kNaN, false, false}, {kInf, false, false}};
  for (const Case& c : cases) {
    EXPECT_EQ(call_action(ACT_EVEN_Q, {float_cell(c.d)}).data1 != 0, c.even) << c.d;
    EXPECT_EQ(call_action(ACT_ODD_Q, {float_cell(c.d)}).data1 != 0, c.odd) << c.d;
  }
}

// ---------------------------------------------------------------------------
// Rounding.

TEST_F(Float, RoundInEveryMode) {
  enum { kNone = 0, kEven = 1, kDown = 2, kHalfDown = 3, kFloor = 4, kCeiling = 5, kHalfCeiling = 6 };
  struct Case {
    double value;
    int mode;
    double expected;
  };
  const Case cases[] = {
      {2.5, kNone, 3.0},         {-2.5, kNone, -3.0},        {2.4, kNone, 2.0},
      {2.5, kEven, 2.0},         {3.5, kEven, 4.0},          {-2.5, kEven, -2.0},
      {2.5, kHalfDown, 2.0},     {-2.5, kHalfDown, -2.0},    {2.6, kHalfDown, 3.0},
      {-2.5, kHalfCeiling, -2.0}, {2.5, kHalfCeiling, 3.0},  {-2.1, kFloor, -3.0},
      {2.9, kFloor, 2.0},        {-2.9, kCeiling, -2.0},     {2.1, kCeiling, 3.0},
      {-2.9, kDown, -2.0},       {2.9, kDown, 2.0},          {-0.4, kNone, -0.0},
      {1e300, kNone, 1e300},     {4503599627370497.0, kNone, 4503599627370497.0},
  };
  for (const Case& c : cases) {
    Cell r = round(float_cell(c.value), c.mode);
    EXPECT_EQ(TYPE_OF(&r), TYPE_FLOAT);
    EXPECT_EQ(cell_float(&r), c.expected) << c.value << " mode " << c.mode;
  }
}

TEST_F(Float, RoundToAScaleTakesTheScalesType) {
  Cell scale = float_cell(0.01);
  Cell r = round(float_cell(1.2345), 0, &scale);
  EXPECT_EQ(TYPE_OF(&r), TYPE_FLOAT);
  EXPECT_DOUBLE_EQ(cell_float(&r), 1.23);
  scale = int_cell(2);
  r = round(float_cell(7.6), 0, &scale);
  ASSERT_EQ(TYPE_OF(&r), TYPE_INTEGER);
  EXPECT_EQ(integer::get(&r), 8);
  scale = int_cell(10);
  r = round(float_cell(-15.0), 4, &scale);  // floor
  EXPECT_EQ(integer::get(&r), -20);
  // A percent! value rounds at 1% without /to, at scale% with it.
  Cell p = percent_cell(0.12345);
  float_::round(&p, nullptr, {});
  EXPECT_EQ(TYPE_OF(&p), TYPE_PERCENT);
  EXPECT_DOUBLE_EQ(cell_float(&p), 0.12);
  p = percent_cell(0.12345);
  scale = float_cell(0.1);
  float_::round(&p, &scale, {});
  EXPECT_EQ(TYPE_OF(&p), TYPE_FLOAT) << "the scale's type";
  EXPECT_DOUBLE_EQ(cell_float(&p), 0.123);
  // An integer value with a float scale is rounded as a float.
  scale = float_cell(0.5);
  r = round(int_cell(7), 0, &scale);
  EXPECT_EQ(TYPE_OF(&r), TYPE_FLOAT);
  EXPECT_EQ(cell_float(&r), 7.0);
  // A zero scale leaves the value alone.
  scale = float_cell(0.0);
  r = round(float_cell(1.25), 0, &scale);
  EXPECT_EQ(cell_float(&r), 1.25);
}

TEST_F(Float, RoundToATinyScaleDoesNotOverflowItsReciprocal) {
  double unit = std::ldexp(1.0, -1070);  // 1 / unit is beyond the largest double
  double x = unit * 5.6;
  float_::RoundModes plain;
  EXPECT_EQ(float_::round_value(x, unit, plain), unit * 6);
  float_::RoundModes down;
  down.down = true;
  EXPECT_EQ(float_::round_value(x, unit, down), unit * 5);
}

TEST_F(Float, RoundResultsThatCannotBeHeldRaise) {
  Cell scale = int_cell(1);
  Raised r = raised_by([&] { round(float_cell(1e20), 0, &scale); });
  EXPECT_EQ(r.category, ErrorCategory::kMath);
  EXPECT_EQ(r.id, "overflow") << "an integer scale cannot hold 1e20";
  Cell big = float_cell(std::numeric_limits<double>::max());
  scale = float_cell(std::numeric_limits<double>::max());
  EXPECT_EQ(raised_by([&] { round(big, 0, &scale); }).id, "overflow");
  Cell money{TYPE_MONEY, 0, 0, 0};
  EXPECT_EQ(raised_by([&] { round(float_cell(1.0), 0, &money); }).id, "not-related");
}

// ---------------------------------------------------------------------------
// make and to.

TEST_F(Float, MakeFromEachSpecKind) {
  RootedCell block = block_of({int_cell(15), int_cell(2)});
  Cell r = call_action(ACT_TO, {type_cell(TYPE_FLOAT), *block});
  EXPECT_EQ(cell_float(&r), 1500.0);
  block = block_of({float_cell(1.5), float_cell(-1.9)});  // exponent truncated to -1
  r = call_action(ACT_MAKE, {type_cell(TYPE_FLOAT), *block});
  EXPECT_DOUBLE_EQ(cell_float(&r), 0.15);
  RootedCell bin = binary_of({0x3F, 0xF0, 0, 0, 0, 0, 0, 0});
  r = call_action(ACT_TO, {type_cell(TYPE_FLOAT), *bin});
  EXPECT_EQ(cell_float(&r), 1.0);
  bin = binary_of({0x00, 0x01});  // fewer bytes: the low-order bits of the pattern
  r = call_action(ACT_TO, {type_cell(TYPE_FLOAT), *bin});
  EXPECT_EQ(cell_float(&r), std::ldexp(1.0, -1074));
  RootedCell text = make_string("1'000.5");
  r = call_action(ACT_TO, {type_cell(TYPE_FLOAT), *text});
  EXPECT_EQ(cell_float(&r), 1000.5);
  text = make_string("1,5");
  r = call_action(ACT_TO, {type_cell(TYPE_FLOAT), *text});
  EXPECT_EQ(cell_float(&r), 1.5);
  r = call_action(ACT_TO, {type_cell(TYPE_FLOAT), char_cell('A')});
  EXPECT_EQ(cell_float(&r), 65.0);
  r = call_action(ACT_TO, {type_cell(TYPE_FLOAT), time_cell(90)});
  EXPECT_EQ(TYPE_OF(&r), TYPE_FLOAT);
  EXPECT_EQ(cell_float(&r), 90.0);
  // percent! reuses this routine: the result takes the requested type.
  Cell type = type_cell(TYPE_PERCENT), half = float_cell(0.5);
  float_::make(&type, &half);
  EXPECT_EQ(TYPE_OF(&type), TYPE_PERCENT);
  EXPECT_EQ(cell_float(&type), 0.5);
}

TEST_F(Float, MakeRefusesBadSpecs) {
  const char* bad_texts[] = {"", "1e", "abc", "1..2", "1''0", "."};
  for (const char* t : bad_texts) {
    RootedCell text = make_string(t);
    Raised r = raised_by([&] { call_action(ACT_TO, {type_cell(TYPE_FLOAT), *text}); });
    EXPECT_EQ(r.id, "bad-to-arg") << '"' << t << '"';
  }
  RootedCell three = block_of({int_cell(1), int_cell(2), int_cell(3)});
  EXPECT_EQ(raised_by([&] { call_action(ACT_TO, {type_cell(TYPE_FLOAT), *three}); }).id,
            "bad-to-arg");
  RootedCell words = block_of({none_cell(), int_cell(2)});
  EXPECT_EQ(raised_by([&] { call_action(ACT_TO, {type_cell(TYPE_FLOAT), *words}); }).id,
            "bad-to-arg");
  EXPECT_EQ(raised_by([&] { call_action(ACT_TO, {type_cell(TYPE_FLOAT), none_cell()}); }).id,
            "bad-to-arg");
}

TEST(FloatScan, GrammarAndScanner) {
  auto valid = [](const std::string& s) {
    auto p = reinterpret_cast<const uint8_t*>(s.data());
    return float_text_valid_q(p, p + s.size());
  };
  EXPECT_TRUE(valid("1.5"));
  EXPECT_TRUE(valid("-1'000.5e+10"));
  EXPECT_TRUE(valid(".5"));
  EXPECT_TRUE(valid("."));
  EXPECT_TRUE(valid("1."));
  EXPECT_FALSE(valid("1e"));
  EXPECT_FALSE(valid("1''0"));
  EXPECT_FALSE(valid("1.e5"));
  EXPECT_FALSE(valid("'1"));
  EXPECT_FALSE(valid(std::string(313, '1')));
  EXPECT_TRUE(valid(std::string(312, '1')));

  auto scan = [](const std::string& s, int32_t* error) {
    return scan_float_text(reinterpret_cast<const uint8_t*>(s.data()), static_cast<int32_t>(s.size()),
                           1, error);
  };
  int32_t error;
  EXPECT_EQ(scan("1,5", &error), 1.5);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(scan("1'000.5", &error), 1000.5);
  EXPECT_EQ(scan("-2.5e-3", &error), -0.0025);
  EXPECT_TRUE(std::isnan(scan("1e", &error)));
  EXPECT_EQ(error, -1);
  scan(".", &error);
  EXPECT_EQ(error, -1) << "a lone point holds no number";
  // Wider units: "2.5" in UCS-2.
  const uint8_t wide[] = {'2', 0, '.', 0, '5', 0};
  EXPECT_EQ(scan_float_text(wide, 3, 2, &error), 2.5);
  EXPECT_EQ(error, 0);
}

// ---------------------------------------------------------------------------
// random.

TEST_F(Float, RandomStaysWithinTheValueAndSeedAnswersUnset) {
  std::vector<int32_t> refs(16, -1);
  refs[0] = 0;  // /seed
  Cell r = call_action(ACT_RANDOM, {float_cell(1.5)}, refs);
  EXPECT_EQ(TYPE_OF(&r), TYPE_UNSET);
  for (int i = 0; i < 50; ++i) {
    r = call_action(ACT_RANDOM, {float_cell(10.0)});
    EXPECT_GE(cell_float(&r), 0.0);
    EXPECT_LE(cell_float(&r), 10.0);
  }
  refs[0] = -1;
  refs[1] = 0;  // /secure
  r = call_action(ACT_RANDOM, {float_cell(10.0)}, refs);
  EXPECT_GE(cell_float(&r), 0.0);
  EXPECT_LE(cell_float(&r), 10.0);
}

}  // namespace
}  // namespace kiv
