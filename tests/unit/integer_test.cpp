#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/actions.h"

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

// ---------------------------------------------------------------------------
// Arithmetic, conversions and the other handlers, through the action entries.

#include "actions_test_support.h"
#include "runtime/datatypes/unset.h"

namespace kiv {
namespace {

using namespace kiv::testing;

// float! arithmetic belongs to the float module; these tests stand in a
// small float! of their own (its power handler only) to see integer! hand
// its float results over.
void stub_float_power() {
  Cell* base = stack::arguments();
  Cell* e = base + 1;
  double exponent = TYPE_OF(e) == TYPE_INTEGER ? static_cast<double>(integer::get(e)) : cell_float(e);
  set_cell_float(base, std::pow(cell_float(base), exponent));
}

class IntegerOps : public CoreTypesTest {
 protected:
  void register_float_stub() {
    std::vector<HandlerEntry> row;
    for (uint32_t k = 1; k <= kActionCount; ++k) row.push_back({nullptr, k, HandlerEntry::kUnsupported});
    row[ACT_POWER - 1] = own<ACT_POWER>(stub_float_power);
    datatype::register_type(TYPE_FLOAT, 0, "float!", row.data(), kActionCount);
  }
  Cell op(uint32_t action, int32_t a, Cell b) { return call_action(action, {int_cell(a), b}); }
  Cell op(uint32_t action, int32_t a, int32_t b) { return op(action, a, int_cell(b)); }
};

TEST_F(IntegerOps, ArithmeticThatStaysInRangeGivesIntegers) {
  struct Case {
    uint32_t action;
    int32_t a, b, expected;
  };
  const Case cases[] = {
      {ACT_ADD, 1, 2, 3},
      {ACT_ADD, 2147483646, 1, 2147483647},
      {ACT_SUBTRACT, -2147483647, 1, INT32_MIN},
      {ACT_MULTIPLY, -3, 4, -12},
      {ACT_MULTIPLY, -65536, 32768, INT32_MIN},
      {ACT_DIVIDE, 6, 2, 3},
      {ACT_DIVIDE, -6, 3, -2},
      {ACT_REMAINDER, -7, 2, -1},  // the sign of the left operand
      {ACT_REMAINDER, 7, -2, 1},
      {ACT_AND_T, 12, 10, 8},
      {ACT_OR_T, 12, 10, 14},
      {ACT_XOR_T, 12, 10, 6},
  };
  for (const Case& c : cases) {
    Cell r = op(c.action, c.a, c.b);
    EXPECT_EQ(TYPE_OF(&r), TYPE_INTEGER) << c.a << " action " << c.action << " " << c.b;
    EXPECT_EQ(integer::get(&r), c.expected) << c.a << " action " << c.action << " " << c.b;
  }
  // A char! right operand counts by its code point.
  Cell r = op(ACT_ADD, 1, char_cell('A'));
  EXPECT_EQ(TYPE_OF(&r), TYPE_INTEGER);
  EXPECT_EQ(integer::get(&r), 66);
}

TEST_F(IntegerOps, OverflowAndInexactDivisionGiveTheExactFloat) {
  register_float_stub();
  struct Case {
    uint32_t action;
    int32_t a, b;
    double expected;
  };
  const Case cases[] = {
      {ACT_ADD, 2147483647, 1, 2147483648.0},
      {ACT_SUBTRACT, INT32_MIN, 1, -2147483649.0},
      {ACT_MULTIPLY, 65536, 65536, 4294967296.0},
      {ACT_MULTIPLY, INT32_MIN, -1, 2147483648.0},
      {ACT_DIVIDE, 7, 2, 3.5},
      {ACT_DIVIDE, -7, 2, -3.5},
  };
  for (const Case& c : cases) {
    Cell r = op(c.action, c.a, c.b);
    ASSERT_EQ(r.header, TYPE_FLOAT) << c.a << " action " << c.action << " " << c.b;
    EXPECT_EQ(cell_float(&r), c.expected);
  }
}

TEST_F(IntegerOps, ArithmeticErrors) {
  struct Case {
    const char* what;
    uint32_t action;
    int32_t a;
    Cell b;
    ErrorCategory category;
    const char* id;
  };
  const Case cases[] = {
      {"1 / 0", ACT_DIVIDE, 1, int_cell(0), ErrorCategory::kMath, "zero-divide"},
      {"1 // 0", ACT_REMAINDER, 1, int_cell(0), ErrorCategory::kMath, "zero-divide"},
      {"min / -1", ACT_DIVIDE, INT32_MIN, int_cell(-1), ErrorCategory::kMath, "overflow"},
      {"min // -1", ACT_REMAINDER, INT32_MIN, int_cell(-1), ErrorCategory::kMath, "overflow"},
      {"1 + none", ACT_ADD, 1, none_cell(), ErrorCategory::kScript, "invalid-type"},
      {"1 / pair", ACT_DIVIDE, 1, Cell{TYPE_PAIR, 0, 1, 1}, ErrorCategory::kScript, "not-related"},
      {"1 - tuple", ACT_SUBTRACT, 1, Cell{TYPE_TUPLE, 0, 0, 0}, ErrorCategory::kScript, "not-related"},
      {"1 / tuple", ACT_DIVIDE, 1, Cell{TYPE_TUPLE, 0, 0, 0}, ErrorCategory::kScript, "not-related"},
      {"1 * date", ACT_MULTIPLY, 1, Cell{TYPE_DATE, 0, 0, 0}, ErrorCategory::kScript, "not-related"},
  };
  for (const Case& c : cases) {
    Raised r = raised_by([&] { op(c.action, c.a, c.b); });
    EXPECT_TRUE(r.raised) << c.what;
    EXPECT_EQ(r.category, c.category) << c.what;
    EXPECT_EQ(r.id, c.id) << c.what;
  }
  Raised r = raised_by([&] { op(ACT_ADD, 1, none_cell()); });
  ASSERT_EQ(r.args.size(), 1u);
  EXPECT_EQ(r.args[0].value->data1, TYPE_NONE) << "invalid-type names the right operand's type";
  for (uint32_t action : {ACT_ABSOLUTE, ACT_NEGATE}) {
    r = raised_by([&] { call_action(action, {int_cell(INT32_MIN)}); });
    EXPECT_EQ(r.id, "overflow") << action;
  }
}

TEST_F(IntegerOps, AbsoluteNegateComplement) {
  Cell r = call_action(ACT_ABSOLUTE, {int_cell(-5)});
  EXPECT_EQ(integer::get(&r), 5);
  r = call_action(ACT_NEGATE, {int_cell(2147483647)});
  EXPECT_EQ(integer::get(&r), -2147483647);
  r = call_action(ACT_COMPLEMENT, {int_cell(0)});
  EXPECT_EQ(integer::get(&r), -1);
}

TEST_F(IntegerOps, PowerStaysIntegerUntilItOverflows) {
  Cell r = op(ACT_POWER, 3, 2);
  EXPECT_EQ(TYPE_OF(&r), TYPE_INTEGER);
  EXPECT_EQ(integer::get(&r), 9);
  r = op(ACT_POWER, -2, 31);
  EXPECT_EQ(TYPE_OF(&r), TYPE_INTEGER);
  EXPECT_EQ(integer::get(&r), INT32_MIN);
  r = op(ACT_POWER, 5, 0);
  EXPECT_EQ(integer::get(&r), 1);
  Raised e = raised_by([&] { op(ACT_POWER, 2, none_cell()); });
  EXPECT_EQ(e.id, "expect-arg");
  ASSERT_EQ(e.args.size(), 3u);
  EXPECT_EQ(word_argument(e.args[2]), "exponent");

  register_float_stub();
  r = op(ACT_POWER, 2, 31);
  ASSERT_EQ(TYPE_OF(&r), TYPE_FLOAT);
  EXPECT_EQ(cell_float(&r), 2147483648.0);
  r = op(ACT_POWER, 2, -1);
  ASSERT_EQ(TYPE_OF(&r), TYPE_FLOAT);
  EXPECT_EQ(cell_float(&r), 0.5);
  r = op(ACT_POWER, 2, 40);
  EXPECT_EQ(cell_float(&r), 1099511627776.0);
}

TEST_F(IntegerOps, RoundToAScaleInEveryMode) {
  // refinements: /to, /even, /down, /half-down, /floor, /ceiling, /half-ceiling
  enum Mode { kDefault = -1, kEven = 1, kDown, kHalfDown, kFloor, kCeiling, kHalfCeiling };
  struct Case {
    int32_t value, scale;
    int mode;
    int32_t expected;
  };
  const Case cases[] = {
      {15, 10, kDefault, 20},      {25, 10, kDefault, 30},     {-25, 10, kDefault, -30},
      {14, 10, kDefault, 10},      {25, 10, kEven, 20},        {35, 10, kEven, 40},
      {25, 10, kHalfDown, 20},     {-15, 10, kFloor, -20},     {15, 10, kFloor, 10},
      {-15, 10, kCeiling, -10},    {11, 10, kCeiling, 20},     {-19, 10, kDown, -10},
      {-25, 10, kHalfCeiling, -20}, {25, 10, kHalfCeiling, 30}, {17, 5, kDefault, 15},
      {17, -5, kDefault, 15},      {7, 0, kDefault, 7},        {20, 10, kFloor, 20},
      {INT32_MIN, 10, kDefault, INT32_MIN},
  };
  for (const Case& c : cases) {
    std::vector<int32_t> refs(7, -1);
    refs[0] = 1;
    if (c.mode != kDefault) refs[c.mode] = 0;
    Cell r = call_action(ACT_ROUND, {int_cell(c.value), int_cell(c.scale)}, refs);
    EXPECT_EQ(integer::get(&r), c.expected) << c.value << " scale " << c.scale << " mode " << c.mode;
  }
  // Without /to nothing changes.
  Cell r = call_action(ACT_ROUND, {int_cell(7)}, std::vector<int32_t>(7, -1));
  EXPECT_EQ(integer::get(&r), 7);
}

TEST_F(IntegerOps, RoundErrors) {
  std::vector<int32_t> floor_to(7, -1);
  floor_to[0] = 1;
  floor_to[4] = 0;
  Raised r = raised_by([&] { call_action(ACT_ROUND, {int_cell(2147483647), int_cell(10)}, floor_to); });
  EXPECT_EQ(r.id, "overflow") << "the next multiple up does not fit";
  std::vector<int32_t> to(7, -1);
  to[0] = 1;
  r = raised_by([&] { call_action(ACT_ROUND, {int_cell(2147483647), int_cell(10)}, to); });
  EXPECT_EQ(r.id, "overflow");
  r = raised_by([&] { call_action(ACT_ROUND, {int_cell(5), int_cell(INT32_MIN)}, to); });
  EXPECT_EQ(r.id, "overflow") << "the scale's magnitude does not fit";
  r = raised_by([&] { call_action(ACT_ROUND, {int_cell(5), Cell{TYPE_MONEY, 0, 0, 0}}, to); });
  EXPECT_EQ(r.id, "not-related");
}

TEST_F(IntegerOps, ToAndMakeConversions) {
  RootedCell text = make_string("12'345"), minimum = make_string("-2147483648");
  RootedCell too_big = make_string("2147483648"), bad = make_string("1x");
  RootedCell binary;
  {
    uint32_t node = alloc_series(8, 1, 0);
    *binary = Cell{TYPE_BINARY, 0, node, 0};
    const uint8_t bytes[] = {0x01, 0x00, 0x00, 0x00, 0x05};
    buffer_append_bytes(node, bytes, 5);
  }
  Cell binary_at_3 = *binary;
  binary_at_3.data1 = 3;  // two bytes left: 00 05
  struct Case {
    const char* what;
    Cell spec;
    int32_t expected;
    const char* error;  // null: no error
  };
  const Case cases[] = {
      {"integer", int_cell(-4), -4, nullptr},
      {"char", char_cell(0x263A), 0x263A, nullptr},
      {"-1.5", float_cell(-1.5), -1, nullptr},
      {"2.9", float_cell(2.9), 2, nullptr},
      {"2147483647.0", float_cell(2147483647.0), 2147483647, nullptr},
      {"2147483648.0", float_cell(2147483648.0), 0, "type-limit"},
      {"NaN", float_cell(std::nan("")), 0, "type-limit"},
      {"text 12'345", *text, 12345, nullptr},
      {"text -2147483648", *minimum, INT32_MIN, nullptr},
      {"text 2147483648", *too_big, 0, "bad-to-arg"},
      {"text 1x", *bad, 0, "bad-to-arg"},
      {"binary #{0100000005}", *binary, 16777216, nullptr},
      {"binary at its last two bytes", binary_at_3, 5, nullptr},
      {"none", none_cell(), 0, "bad-to-arg"},
      {"logic (only make takes it)", logic_cell(true), 0, "bad-to-arg"},
  };
  for (const Case& c : cases) {
    Cell r{};
    Raised e = raised_by([&] { r = call_action(ACT_TO, {type_cell(TYPE_INTEGER), c.spec}); });
    if (c.error) {
      EXPECT_EQ(e.id, c.error) << c.what;
    } else {
      EXPECT_FALSE(e.raised) << c.what << ": " << e.id;
      EXPECT_EQ(TYPE_OF(&r), TYPE_INTEGER) << c.what;
      EXPECT_EQ(integer::get(&r), c.expected) << c.what;
    }
  }
  Cell r = call_action(ACT_MAKE, {type_cell(TYPE_INTEGER), logic_cell(true)});
  EXPECT_EQ(integer::get(&r), 1);
  r = call_action(ACT_MAKE, {type_cell(TYPE_INTEGER), float_cell(-2.9)});
  EXPECT_EQ(integer::get(&r), -2);
}

TEST_F(IntegerOps, RandomSeedAnswersUnsetAndRangesFollowTheSign) {
  Cell r = call_action(ACT_RANDOM, {int_cell(10)}, {0, -1, -1});
  EXPECT_EQ(TYPE_OF(&r), TYPE_UNSET);
  std::vector<int32_t> first;
  for (int i = 0; i < 5; ++i) first.push_back(integer::get(&(r = call_action(ACT_RANDOM, {int_cell(1000)}))));
  call_action(ACT_RANDOM, {int_cell(10)}, {0, -1, -1});
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(integer::get(&(r = call_action(ACT_RANDOM, {int_cell(1000)}))), first[i]) << "same seed, same values";
  r = call_action(ACT_RANDOM, {int_cell(0)});
  EXPECT_EQ(integer::get(&r), 0);
  for (int i = 0; i < 50; ++i) {
    int32_t up = integer::get(&(r = call_action(ACT_RANDOM, {int_cell(5)})));
    EXPECT_TRUE(up >= 1 && up <= 5) << up;
    int32_t down = integer::get(&(r = call_action(ACT_RANDOM, {int_cell(-5)})));
    EXPECT_TRUE(down >= -5 && down <= -1) << down;
  }
}

TEST(IntegerScan, TextScannerEdgeCases) {
  struct Case {
    const char* text;
    int32_t value, error;
  };
  const Case cases[] = {
      {"12'345", 12345, 0},       {"1x", 0, -1},          {"2147483647", 2147483647, 0},
      {"2147483648", 0, -2},      {"-2147483648", INT32_MIN, 0}, {"-21474836480", 0, -2},
      {"-2147483649", 0, -2},     {"+7", 7, 0},           {"'1'", 1, 0},
      {"1 2", 0, -1},
  };
  for (const Case& c : cases) {
    int32_t error = 99;
    int32_t v = scan_integer_text(reinterpret_cast<const uint8_t*>(c.text),
                                  static_cast<int32_t>(std::strlen(c.text)), 1, &error);
    EXPECT_EQ(error, c.error) << c.text;
    if (c.error == 0) {
      EXPECT_EQ(v, c.value) << c.text;
    }
  }
  // Units of 2 and 4 bytes read the same text.
  const uint16_t wide[] = {'-', '4', '2'};
  int32_t error = 0;
  EXPECT_EQ(scan_integer_text(reinterpret_cast<const uint8_t*>(wide), 3, 2, &error), -42);
  const uint32_t wider[] = {'9', 0x663};  // a non-ASCII digit is not a digit
  EXPECT_EQ(scan_integer_text(reinterpret_cast<const uint8_t*>(wider), 2, 4, &error), 0);
  EXPECT_EQ(error, -1);
}

}  // namespace
}  // namespace kiv
