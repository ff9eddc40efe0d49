#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "runtime/datatypes/integer.h"
#include "runtime/eval/actions.h"

namespace kiv {
namespace {

Cell int_cell(int32_t v) {
  Cell c;
  integer::init_cell(&c, v);
  return c;
}
Cell float_cell(double d) {
  Cell c{TYPE_FLOAT, 0, 0, 0};
  set_cell_float(&c, d);
  return c;
}

TEST(IntegerText, DecimalTextOfEdgeValues) {
  struct Case {
    int32_t n;
    const char* text;
  };
  const Case cases[] = {
      {0, "0"},           {7, "7"},
      {-7, "-7"},         {10, "10"},
      {-100, "-100"},     {2147483647, "2147483647"},
      {INT32_MIN, "-2147483648"},
  };
  for (const Case& c : cases) {
    auto t = integer::to_decimal(c.n);
    EXPECT_STREQ(t.text, c.text);
    EXPECT_EQ(t.length, static_cast<int32_t>(std::strlen(c.text)));
  }
}

TEST(IntegerConvert, FloatOutOfIntRangeIncludesNaNAndExcludesTheBounds) {
  const struct {
    double d;
    bool out;
  } cases[] = {
      {2147483647.0, false}, {-2147483648.0, false}, {2147483648.0, true},
      {-2147483649.0, true}, {std::nan(""), true},   {std::numeric_limits<double>::infinity(), true},
      {-1.5, false},
  };
  for (const auto& c : cases) {
    Cell f = float_cell(c.d);
    EXPECT_EQ(integer::float_out_of_int_range_q(&f), c.out) << c.d;
  }
}

TEST(IntegerCompare, SignedOrderAndStrictOpsRefuseOtherTypes) {
  Cell minus = int_cell(-5), plus = int_cell(3), plus2 = int_cell(3);
  Cell ch{TYPE_CHAR, 0, 3, 0};
  Cell none{TYPE_NONE, 0, 0, 0};
  Cell text{TYPE_STRING, 0, 0, 0};
  struct Case {
    Cell* a;
    Cell* b;
    int32_t op;
    int32_t expected;
  };
  const Case cases[] = {
      {&minus, &plus, COMP_LESSER, -1},  // signed, not unsigned
      {&plus, &minus, COMP_GREATER, 1},
      {&plus, &plus2, COMP_EQUAL, 0},
      {&plus, &ch, COMP_EQUAL, 0},  // char compares by code point
      {&plus, &ch, COMP_STRICT_EQUAL, 1},
      {&plus, &ch, COMP_FIND, 1},
      {&plus, &plus2, COMP_STRICT_EQUAL, 0},
      {&plus, &none, COMP_EQUAL, kNotComparable},
      {&plus, &text, COMP_LESSER, kNotComparable},
  };
  for (const Case& c : cases)
    EXPECT_EQ(integer::compare(c.a, c.b, c.op), c.expected)
        << integer::get(c.a) << " op " << c.op << " type " << TYPE_OF(c.b);
}

}  // namespace
}  // namespace kiv
