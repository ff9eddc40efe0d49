#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "actions_test_support.h"
#include "runtime/datatypes/char.h"
#include "runtime/datatypes/integer.h"

namespace kiv {
namespace {

using namespace kiv::testing;

class Char : public CoreTypesTest {
 protected:
  std::string mold(uint32_t cp) {
    Cell r = call_action(ACT_MOLD, {char_cell(cp)});
    return text_of(&r);
  }
};

TEST_F(Char, ArithmeticKeepsACharWithinTheUnicodeRange) {
  struct Case {
    uint32_t action;
    Cell a, b;
    uint32_t type;
    int32_t value;
  };
  const Case cases[] = {
      {ACT_ADD, char_cell('a'), int_cell(1), TYPE_CHAR, 'b'},
      {ACT_SUBTRACT, char_cell('b'), char_cell('a'), TYPE_CHAR, 1},
      {ACT_DIVIDE, char_cell('d'), int_cell(2), TYPE_CHAR, '2'},  // truncated, no float
      {ACT_MULTIPLY, char_cell('a'), float_cell(2.9), TYPE_CHAR, 194},  // the float truncated
      {ACT_REMAINDER, char_cell('a'), int_cell(10), TYPE_CHAR, 7},
      {ACT_AND_T, char_cell('a'), int_cell(0xDF), TYPE_CHAR, 'A'},
      {ACT_OR_T, char_cell('A'), int_cell(0x20), TYPE_CHAR, 'a'},
      {ACT_XOR_T, char_cell('a'), char_cell(0x20), TYPE_CHAR, 'A'},
      {ACT_ADD, int_cell(1), char_cell('a'), TYPE_INTEGER, 98},  // the left operand decides
  };
  for (const Case& c : cases) {
    Cell r = call_action(c.action, {c.a, c.b});
    EXPECT_EQ(TYPE_OF(&r), c.type) << "action " << c.action;
    EXPECT_EQ(static_cast<int32_t>(r.data2), c.value) << "action " << c.action;
  }
}

TEST_F(Char, ResultsOutsideTheRangeAndZeroDivisorsRaise) {
  struct Case {
    uint32_t action;
    Cell a, b;
    const char* id;
  };
  const Case cases[] = {
      {ACT_SUBTRACT, char_cell('a'), char_cell('b'), "overflow"},  // -1
      {ACT_ADD, char_cell(0x10FFFF), int_cell(1), "overflow"},
      {ACT_MULTIPLY, char_cell(0x10FFFF), int_cell(INT32_MAX), "overflow"},  // no 32-bit wrap
      {ACT_ADD, char_cell('a'), int_cell(INT32_MAX), "overflow"},
      {ACT_ADD, char_cell('a'), float_cell(1e300), "overflow"},
      {ACT_DIVIDE, char_cell('a'), int_cell(0), "zero-divide"},
      {ACT_REMAINDER, char_cell('a'), char_cell(0), "zero-divide"},
      {ACT_ADD, char_cell('a'), none_cell(), "invalid-type"},
  };
  for (const Case& c : cases) {
    Raised r = raised_by([&] { call_action(c.action, {c.a, c.b}); });
    EXPECT_EQ(r.id, c.id) << "action " << c.action;
  }
  Raised r = raised_by([&] { call_action(ACT_ADD, {char_cell(0x10FFFF), int_cell(1)}); });
  EXPECT_EQ(r.category, ErrorCategory::kMath);
}

TEST_F(Char, MakeFromEachSpecKind) {
  RootedCell text = make_string("hello");
  RootedCell euro = binary_of({0xE2, 0x82, 0xAC, 'x'});
  struct Case {
    Cell spec;
    uint32_t cp;
  };
  const Case cases[] = {
      {int_cell(65), 'A'},          {char_cell('z'), 'z'},       {float_cell(65.9), 'A'},
      {int_cell(0x10FFFF), 0x10FFFF}, {int_cell(0), 0},           {*text, 'h'},
      {*euro, 0x20AC},
  };
  for (const Case& c : cases) {
    Cell r = call_action(ACT_TO, {type_cell(TYPE_CHAR), c.spec});
    ASSERT_EQ(TYPE_OF(&r), TYPE_CHAR);
    EXPECT_EQ(r.data2, c.cp);
  }
}

TEST_F(Char, MakeRefusesOutOfRangeAndEmptySpecs) {
  RootedCell empty = make_string("");
  RootedCell no_bytes = binary_of({});
  RootedCell broken = binary_of({0xE2, 0x82});
  RootedCell stray = binary_of({0x82});
  struct Case {
    Cell spec;
    const char* id;
  };
  const Case cases[] = {
      {int_cell(-1), "out-of-range"},
      {int_cell(0x110000), "out-of-range"},
      {float_cell(-0.5 - 1), "out-of-range"},
      {float_cell(1e300), "out-of-range"},
      {float_cell(std::nan("")), "out-of-range"},
      {*empty, "bad-to-arg"},
      {*no_bytes, "bad-to-arg"},
      {*broken, "bad-to-arg"},
      {*stray, "bad-to-arg"},
      {none_cell(), "bad-to-arg"},
  };
  for (const Case& c : cases) {
    Raised r = raised_by([&] { call_action(ACT_MAKE, {type_cell(TYPE_CHAR), c.spec}); });
    EXPECT_EQ(r.id, c.id) << "spec type " << TYPE_OF(&c.spec);
  }
}

TEST_F(Char, FormIsTheCharacterMoldTheEscapedLiteral) {
  Cell r = call_action(ACT_FORM, {char_cell('a')});
  EXPECT_EQ(text_of(&r), "a");
  EXPECT_EQ(mold('a'), "#\"a\"");
  EXPECT_EQ(mold('\n'), "#\"^/\"");
  EXPECT_EQ(mold('\t'), "#\"^-\"");
  EXPECT_EQ(mold('"'), "#\"^\"\"");
  EXPECT_EQ(mold('^'), "#\"^^\"");
}

TEST_F(Char, CompareByCodePointWithLetterCase) {
  auto cmp = [&](Cell a, Cell b, int32_t op) {
    return call_action(ACT_COMPARE, {a, b, int_cell(op)}).data1 != 0;
  };
  EXPECT_FALSE(cmp(char_cell('a'), char_cell('A'), COMP_EQUAL));
  EXPECT_TRUE(cmp(char_cell('a'), char_cell('b'), COMP_LESSER));
  EXPECT_TRUE(cmp(char_cell('a'), int_cell(97), COMP_EQUAL));
  EXPECT_FALSE(cmp(char_cell('a'), int_cell(97), COMP_STRICT_EQUAL));
  EXPECT_TRUE(cmp(char_cell(0x10FFFF), char_cell('a'), COMP_GREATER));
  Cell a = char_cell('a'), f = float_cell(97);
  EXPECT_EQ(char_::compare(&a, &f, COMP_EQUAL), kNotComparable);
}

TEST_F(Char, InheritedIntegerHandlersKeepTheType) {
  for (int i = 0; i < 20; ++i) {
    Cell r = call_action(ACT_RANDOM, {char_cell('z')});
    ASSERT_EQ(TYPE_OF(&r), TYPE_CHAR) << "random of a char is a char";
    EXPECT_GE(r.data2, 1u);
    EXPECT_LE(r.data2, static_cast<uint32_t>('z'));
  }
  Cell r = call_action(ACT_ABSOLUTE, {char_cell('a')});
  EXPECT_EQ(TYPE_OF(&r), TYPE_CHAR);
  EXPECT_EQ(call_action(ACT_EVEN_Q, {char_cell('b')}).data1, 1u);
  EXPECT_EQ(call_action(ACT_ODD_Q, {char_cell('b')}).data1, 0u);
  EXPECT_EQ(raised_by([&] { call_action(ACT_NEGATE, {char_cell('a')}); }).id, "expect-arg");
}

}  // namespace
}  // namespace kiv
