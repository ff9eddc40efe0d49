#include "runtime/float_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

namespace {

using kiv::form_float;
using kiv::string_to_float;

uint64_t bits_of(double d) {
  uint64_t b;
  std::memcpy(&b, &d, sizeof b);
  return b;
}

double from_bits(uint64_t b) {
  double d;
  std::memcpy(&d, &b, sizeof d);
  return d;
}

std::string form(double v, int precision, bool float_q) { return std::string(form_float(v, precision, float_q).view()); }

double read(const std::string& text, ptrdiff_t* unread = nullptr, int adjustment = 0) {
  return string_to_float(text.data(), text.data() + text.size(), adjustment, unread);
}

struct ShortestCase {
  uint64_t bits;
  const char* repr;
};
struct ReadCase {
  const char* text;
  uint64_t bits;
};
#include "float_text_oracle.inc"

// The digits and point position of a text in the oracle's notation
// ("-1.5e+20", "0.001", "123.0").
void digits_of(const std::string& text, std::string* digits, int* decpt) {
  std::string s = text[0] == '-' ? text.substr(1) : text;
  int exponent = 0;
  size_t e = s.find('e');
  if (e != std::string::npos) {
    exponent = std::stoi(s.substr(e + 1));
    s = s.substr(0, e);
  }
  size_t point = s.find('.');
  std::string all = s;
  int int_len = static_cast<int>(s.size());
  if (point != std::string::npos) {
    all = s.substr(0, point) + s.substr(point + 1);
    int_len = static_cast<int>(point);
  }
  size_t first = all.find_first_not_of('0');
  *decpt = int_len - static_cast<int>(first) + exponent;
  all = all.substr(first);
  while (all.size() > 1 && all.back() == '0') all.pop_back();
  *digits = all;
}

TEST(FloatText, LayoutFollowsPointPosition) {
  struct Case {
    double value;
    const char* with_point;
    const char* without_point;
  } cases[] = {
      {1.0, "1.0", "1"},
      {123.0, "123.0", "123"},
      {0.5, "0.5", "0.5"},
      {1e-7, "0.0000001", "0.0000001"},
      {1e-8, "1.0e-8", "1e-8"},
      {1.5e20, "1.5e20", "1.5e20"},
      {1e17, "1.0e17", "1e17"},
      {1e16, "10000000000000000.0", "10000000000000000"},
      {-2.5, "-2.5", "-2.5"},
      {-1e-8, "-1.0e-8", "-1e-8"},
      {1.25e-7, "0.000000125", "0.000000125"},
      {1.25e-8, "1.25e-8", "1.25e-8"},
      {0.000001234, "0.000001234", "0.000001234"},
      {12345678901234567.0, "12345678901234568.0", "12345678901234568"},
      {1.7976931348623157e308, "1.7976931348623157e308", "1.7976931348623157e308"},
      {5e-324, "5.0e-324", "5e-324"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(form(c.value, 0, true), c.with_point) << c.with_point;
    EXPECT_EQ(form(c.value, 0, false), c.without_point) << c.without_point;
  }
}

TEST(FloatText, ShortestDigitsNotFullExpansion) {
  EXPECT_EQ(form(0.1, 0, true), "0.1");
  EXPECT_EQ(form(0.1 + 0.2, 0, true), "0.30000000000000004");
  EXPECT_EQ(form(1.0 / 3.0, 0, true), "0.3333333333333333");
}

TEST(FloatText, PrecisionRoundsAndDropsTrailingZeros) {
  EXPECT_EQ(form(1.0 / 3.0, 6, true), "0.333333");
  EXPECT_EQ(form(2.0 / 3.0, 6, true), "0.666667");
  EXPECT_EQ(form(0.5, 6, true), "0.5");
  EXPECT_EQ(form(9.9999999, 3, true), "10.0");  // carry out of the first digit
  EXPECT_EQ(form(999999.5, 6, false), "1000000");
  EXPECT_EQ(form(0.1, 22, true), "0.1000000000000000055511");
  EXPECT_EQ(form(123456.789, 2, false), "120000");
  // More digits than the buffer holds are cut to kMaxFloatDigits, never overflow it.
  kiv::FloatDigits d = kiv::float_to_digits(1.0 / 3.0, 1000, true);
  EXPECT_EQ(d.count, kiv::kMaxFloatDigits);
  EXPECT_EQ(std::strlen(d.text), static_cast<size_t>(kiv::kMaxFloatDigits));
}

TEST(FloatText, SpecialAndZeroTexts) {
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(form(inf, 0, true), "1.#INF");
  EXPECT_EQ(form(-inf, 0, true), "-1.#INF");
  EXPECT_EQ(form(std::nan(""), 0, true), "1.#NaN");
  EXPECT_EQ(form(-0.0, 0, true), "-0.0");
  EXPECT_EQ(form(0.0, 0, true), "0.0");
  EXPECT_EQ(form(0.0, 0, false), "0");
  EXPECT_EQ(form(-0.0, 5, false), "-0");
  EXPECT_EQ(kiv::float_to_digits(inf, 0, true).decpt, kiv::kDecptSpecial);
  EXPECT_EQ(kiv::float_to_digits(-0.0, 0, true).decpt, kiv::kDecptZero);
  EXPECT_TRUE(kiv::float_to_digits(-0.0, 0, true).negative);
}

TEST(FloatText, DigitsReportSignCountAndPoint) {
  kiv::FloatDigits d = kiv::float_to_digits(-1234.5, 0, true);
  EXPECT_TRUE(d.negative);
  EXPECT_STREQ(d.text, "-12345");
  EXPECT_STREQ(d.digits(), "12345");
  EXPECT_EQ(d.count, 5);
  EXPECT_EQ(d.decpt, 4);
}

TEST(FloatText, ShortestDigitsMatchOracle) {
  for (const ShortestCase& c : kShortestCases) {
    double v = from_bits(c.bits);
    std::string want_digits;
    int want_decpt;
    digits_of(c.repr, &want_digits, &want_decpt);
    kiv::FloatDigits d = kiv::float_to_digits(v, 0, true);
    ASSERT_EQ(std::string(d.digits()), want_digits) << c.repr;
    ASSERT_EQ(d.decpt, want_decpt) << c.repr;
    ASSERT_EQ(d.negative, c.repr[0] == '-') << c.repr;
    // Our own text reads back to the very same double, and so does the oracle's.
    ASSERT_EQ(bits_of(read(form(v, 0, true))), c.bits) << c.repr;
    ASSERT_EQ(bits_of(read(c.repr)), c.bits) << c.repr;
  }
}

TEST(FloatText, ReadingRoundsCorrectlyLikeOracle) {
  for (const ReadCase& c : kReadCases) {
    ptrdiff_t unread = -1;
    double v = read(c.text, &unread);
    ASSERT_EQ(bits_of(v), c.bits) << c.text;
    ASSERT_EQ(unread, 0) << c.text;
  }
}

TEST(FloatText, ReadsSpecialForms) {
  ptrdiff_t unread = -1;
  EXPECT_EQ(read("1.#INF", &unread), std::numeric_limits<double>::infinity());
  EXPECT_EQ(unread, 0);
  EXPECT_EQ(read("-1.#INF", &unread), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(unread, 0);
  EXPECT_TRUE(std::isnan(read("1.#NaN", &unread)));
  EXPECT_EQ(unread, 0);
  EXPECT_EQ(read("1.#inf", &unread), std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::isnan(read("1.#n", &unread)));
  EXPECT_EQ(unread, 0);
  // "#" followed by anything else is no special form: the number ends at the point.
  EXPECT_EQ(read("1.#x", &unread), 1.0);
  EXPECT_EQ(unread, 2);
}

TEST(FloatText, OverflowAndUnderflowKeepTheSign) {
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(read("1e400"), inf);
  EXPECT_EQ(read("-1e400"), -inf);
  EXPECT_EQ(bits_of(read("1e-400")), bits_of(0.0));
  EXPECT_EQ(bits_of(read("-1e-400")), bits_of(-0.0));
  EXPECT_EQ(read("1.7976931348623158e308"), 1.7976931348623157e308);
  EXPECT_EQ(read("1.7976931348623159e308"), inf);
  EXPECT_EQ(read("2.4703282292062328e-324"), 5e-324);  // just above half the smallest subnormal
  EXPECT_EQ(read("2.4703282292062327e-324"), 0.0);
  // Exponents far beyond any int must saturate, not wrap around.
  EXPECT_EQ(read("1e99999999999999999999"), inf);
  EXPECT_EQ(read("1e-99999999999999999999"), 0.0);
  EXPECT_EQ(read("0e99999999999999999999"), 0.0);
}

TEST(FloatText, NearSubnormalBoundaryRoundsCorrectly) {
  EXPECT_EQ(bits_of(read("2.2250738585072011e-308")), 0x000FFFFFFFFFFFFFULL);
  EXPECT_EQ(bits_of(read("2.2250738585072012e-308")), 0x0010000000000000ULL);
}

TEST(FloatText, DigitsBeyondLimitStillDecideRounding) {
  // The midpoint between 1 and the next double rounds to even (1); any
  // non-zero digit far behind it tips it up.
  std::string mid = "1.00000000000000011102230246251565404236316680908203125";
  std::string zeros(2000, '0');
  EXPECT_EQ(read(mid + zeros), 1.0);
  EXPECT_EQ(bits_of(read(mid + zeros + "1")), bits_of(1.0) + 1);
  // Integer digits beyond the limit still count toward the magnitude.
  EXPECT_EQ(read("1" + zeros), std::numeric_limits<double>::infinity());
  EXPECT_EQ(read("1" + std::string(300, '0')), 1e300);
}

TEST(FloatText, UnreadCountMarksWhereTheNumberEnds) {
  struct Case {
    const char* text;
    double value;
    ptrdiff_t unread;
  } cases[] = {
      {"12.5abc", 12.5, 3},  {"1e", 1.0, 1},         {"1e+", 1.0, 2},    {"1ex", 1.0, 2},
      {"2E3", 2000.0, 0},    {"+7", 7.0, 0},         {"-.5", -0.5, 0},   {"5.", 5.0, 0},
      {"", 0.0, 0},          {"abc", 0.0, 3},        {"-", 0.0, 1},      {".", 0.0, 1},
      {"000123", 123.0, 0},  {"0.000123", 0.000123, 0}, {"1e-2x", 0.01, 1}, {"3.25e1 ", 32.5, 1},
  };
  for (const Case& c : cases) {
    ptrdiff_t unread = -1;
    EXPECT_EQ(read(c.text, &unread), c.value) << c.text;
    EXPECT_EQ(unread, c.unread) << c.text;
  }
}

TEST(FloatText, AdjustmentScalesTheExponent) {
  EXPECT_EQ(read("15", nullptr, -1), 1.5);
  EXPECT_EQ(read("1.5e2", nullptr, 3), 150000.0);
  EXPECT_EQ(read("314", nullptr, -2), 3.14);
  EXPECT_EQ(read("1", nullptr, 400), std::numeric_limits<double>::infinity());
}

}  // namespace
