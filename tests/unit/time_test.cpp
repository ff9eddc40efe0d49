#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "actions_test_support.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/time.h"
#include "runtime/datatypes/word.h"
#include "runtime/words.h"

namespace kiv {
namespace {

using namespace kiv::testing;

Cell time_cell(double seconds) {
  Cell c;
  return *time::init_cell(seconds, &c);
}

class Time : public CoreTypesWithWordsTest {
 protected:
  std::string form(double seconds) {
    Cell r = call_action(ACT_FORM, {time_cell(seconds)});
    return text_of(&r);
  }
  Cell word_cell(const char* text) {
    return Cell{TYPE_WORD, 0, symbol::intern(text), 0xFFFFFFFF};
  }
  Cell path_get(Cell t, Cell element) {
    std::vector<int32_t> refs(16, -1);
    return call_action(ACT_EVAL_PATH, {t, element}, refs);
  }
  // The time after setting the field; the action answers the value set.
  Cell path_set(Cell t, Cell element, Cell value) {
    Cell word{TYPE_WORD, 0, kFrameSymbol, 0xFFFFFFFF};
    stack::open_call_frame(&word);
    stack::push_copy(&t);
    stack::push_copy(&element);
    stack::push_copy(&value);
    Cell* parent = stack::arguments();
    Cell* answer = dispatch_eval_path(parent, parent + 1, parent + 2, nullptr, nullptr, nullptr, -1,
                                      {.tail = true});
    EXPECT_EQ(TYPE_OF(answer), TYPE_OF(&value));
    Cell out = *parent;
    stack::pop_frame_drop();
    return out;
  }
};

TEST_F(Time, FormOfDurations) {
  struct Case {
    double seconds;
    const char* text;
  };
  const Case cases[] = {
      {3723, "1:02:03"},
      {0.5, "0:00:00.5"},
      {-90, "-0:01:30"},
      {100000, "27:46:40"},
      {0, "0:00:00"},
      {5, "0:00:05"},
      {5.5, "0:00:05.5"},
      {12.25, "0:00:12.25"},
      {59.5, "0:00:59.5"},
      {1.0 / 3.0, "0:00:00.333333"},
      {1e-7, "0:00:00"},  // below a microsecond the seconds are "00"
      {-5400, "-1:30:00"},
      {3600e6, "1000000:00:00"},
      {std::numeric_limits<double>::infinity(), "1.#INF"},
  };
  for (const Case& c : cases) EXPECT_EQ(form(c.seconds), c.text) << c.seconds;
  Cell r = call_action(ACT_MOLD, {time_cell(3723.5)});
  EXPECT_EQ(text_of(&r), "1:02:03.5");
  // Hours take every digit they need, never an exponent.
  std::string big = form(1e20);
  EXPECT_EQ(big.find('e'), std::string::npos) << big;
  EXPECT_EQ(big, "27777777777777776:46:40");  // floor(s / 3600) in doubles
}

TEST_F(Time, MakeFromEachSpecKind) {
  struct Case {
    RootedCell spec;
    double seconds;
  };
  Case cases[] = {
      {block_of({int_cell(1), int_cell(2), int_cell(3)}), 3723},
      {block_of({int_cell(-1), int_cell(30)}), -5400},
      {block_of({}), 0},
      {block_of({int_cell(0), int_cell(0), float_cell(1.5)}), 1.5},
      {RootedCell(int_cell(90)), 90},
      {RootedCell(float_cell(1.5)), 1.5},
      {RootedCell(time_cell(7)), 7},
  };
  for (Case& c : cases) {
    Cell r = call_action(ACT_TO, {type_cell(TYPE_TIME), *c.spec});
    ASSERT_EQ(TYPE_OF(&r), TYPE_TIME) << c.seconds;
    EXPECT_EQ(time::get(&r), c.seconds);
  }
  Cell r = call_action(ACT_TO, {type_cell(TYPE_TIME), *cases[1].spec});
  Cell text = call_action(ACT_FORM, {r});
  EXPECT_EQ(text_of(&text), "-1:30:00");
}

TEST_F(Time, MakeRefusesBadSpecs) {
  RootedCell bad[] = {
      block_of({int_cell(1), int_cell(-30)}),  // only the hours may be negative
      block_of({int_cell(1), int_cell(2), int_cell(3), int_cell(4)}),
      block_of({float_cell(1.5)}),  // only the seconds may be a float
      block_of({int_cell(1), none_cell()}),
      RootedCell(none_cell()),
  };
  for (RootedCell& spec : bad) {
    Raised e = raised_by([&] { call_action(ACT_TO, {type_cell(TYPE_TIME), *spec}); });
    EXPECT_EQ(e.id, "bad-to-arg");
    ASSERT_FALSE(e.args.empty());
    EXPECT_EQ(e.args[0].value->data1, TYPE_TIME);
  }
}

TEST_F(Time, FieldsReadByPathAndPick) {
  Cell t = time_cell(3723);
  Cell r = path_get(t, word_cell("hour"));
  EXPECT_EQ(TYPE_OF(&r), TYPE_INTEGER);
  EXPECT_EQ(integer::get(&r), 1);
  r = path_get(t, word_cell("MINUTE"));  // letter case does not matter
  EXPECT_EQ(integer::get(&r), 2);
  r = path_get(t, word_cell("second"));
  EXPECT_EQ(TYPE_OF(&r), TYPE_FLOAT);
  EXPECT_EQ(cell_float(&r), 3.0);
  r = path_get(t, int_cell(2));
  EXPECT_EQ(integer::get(&r), 2);
  r = call_action(ACT_PICK, {t, int_cell(1)});
  EXPECT_EQ(integer::get(&r), 1);
  r = call_action(ACT_PICK, {t, word_cell("second")});
  EXPECT_EQ(cell_float(&r), 3.0);
  // A negative duration: hours truncated toward zero, minutes of the
  // magnitude, seconds signed.
  Cell neg = time_cell(-5430.5);
  Cell hour = path_get(neg, int_cell(1));
  EXPECT_EQ(integer::get(&hour), -1);
  Cell minute = path_get(neg, int_cell(2));
  EXPECT_EQ(integer::get(&minute), 30);
  Cell sec = path_get(neg, int_cell(3));
  EXPECT_EQ(cell_float(&sec), -30.5);

  EXPECT_EQ(raised_by([&] { call_action(ACT_PICK, {t, int_cell(4)}); }).id, "out-of-range");
  EXPECT_EQ(raised_by([&] { call_action(ACT_PICK, {t, word_cell("day")}); }).id, "out-of-range");
  EXPECT_EQ(raised_by([&] { path_get(t, int_cell(0)); }).id, "invalid-path");
  EXPECT_EQ(raised_by([&] { path_get(t, word_cell("minutes")); }).id, "invalid-path");
  Raised huge = raised_by([&] { path_get(time_cell(1e20), word_cell("hour")); });
  EXPECT_EQ(huge.id, "overflow") << "an hour count beyond 32 bits";
}

TEST_F(Time, FieldsWrittenByPath) {
  Cell t = path_set(time_cell(3723), word_cell("minute"), int_cell(5));
  EXPECT_EQ(time::get(&t), 3903);  // 1:05:03
  t = path_set(t, word_cell("second"), float_cell(7.5));
  EXPECT_EQ(time::get(&t), 3907.5);  // 1:05:07.5
  t = path_set(t, int_cell(1), int_cell(10));
  EXPECT_EQ(time::get(&t), 36307.5);  // 10:05:07.5
  EXPECT_EQ(raised_by([&] { path_set(t, word_cell("hour"), float_cell(1.5)); }).id, "invalid-arg");
  EXPECT_EQ(raised_by([&] { path_set(t, word_cell("minute"), none_cell()); }).id, "invalid-arg");
}

TEST_F(Time, ArithmeticKeepsTimeOrGivesTheRatio) {
  struct Case {
    uint32_t action;
    Cell a, b;
    uint32_t type;
    double value;
  };
  const Case cases[] = {
      {ACT_DIVIDE, time_cell(3600), time_cell(1800), TYPE_FLOAT, 2.0},
      {ACT_DIVIDE, time_cell(3600), int_cell(2), TYPE_TIME, 1800},
      {ACT_MULTIPLY, time_cell(10), int_cell(3), TYPE_TIME, 30},
      {ACT_ADD, time_cell(10), time_cell(5), TYPE_TIME, 15},
      {ACT_ADD, int_cell(1), time_cell(5), TYPE_TIME, 6},
      {ACT_SUBTRACT, time_cell(10), float_cell(0.5), TYPE_TIME, 9.5},
      {ACT_REMAINDER, time_cell(125), time_cell(60), TYPE_TIME, 5},
  };
  for (const Case& c : cases) {
    Cell r = call_action(c.action, {c.a, c.b});
    EXPECT_EQ(TYPE_OF(&r), c.type) << "action " << c.action;
    EXPECT_EQ(cell_float(&r), c.value) << "action " << c.action;
  }
  Raised e = raised_by([&] { call_action(ACT_MULTIPLY, {time_cell(10), time_cell(10)}); });
  EXPECT_EQ(e.id, "not-related");
  Cell date{TYPE_DATE, 0, 0, 0};
  EXPECT_EQ(raised_by([&] { call_action(ACT_SUBTRACT, {time_cell(10), date}); }).id, "not-related");
  EXPECT_EQ(raised_by([&] { call_action(ACT_ADD, {time_cell(10), char_cell('a')}); }).id,
            "invalid-type");
  Cell r = call_action(ACT_ABSOLUTE, {time_cell(-90)});
  EXPECT_EQ(TYPE_OF(&r), TYPE_TIME);
  EXPECT_EQ(time::get(&r), 90);
}

TEST_F(Time, CompareAsSeconds) {
  auto cmp = [&](Cell a, Cell b, int32_t op) {
    return call_action(ACT_COMPARE, {a, b, int_cell(op)}).data1 != 0;
  };
  EXPECT_TRUE(cmp(time_cell(60), time_cell(60), COMP_EQUAL));
  EXPECT_TRUE(cmp(time_cell(60), time_cell(120), COMP_LESSER));
  EXPECT_TRUE(cmp(time_cell(60), int_cell(60), COMP_EQUAL));
  EXPECT_FALSE(cmp(time_cell(60), int_cell(60), COMP_STRICT_EQUAL));
  EXPECT_FALSE(cmp(time_cell(60), float_cell(60), COMP_STRICT_EQUAL));
}

TEST_F(Time, RoundAlwaysGivesATime) {
  std::vector<int32_t> refs(16, -1);
  refs[0] = 1;
  Cell r = call_action(ACT_ROUND, {time_cell(3723.7), int_cell(1)}, refs);
  EXPECT_EQ(TYPE_OF(&r), TYPE_TIME);
  EXPECT_EQ(time::get(&r), 3724);
  r = call_action(ACT_ROUND, {time_cell(3723.7), time_cell(10)}, refs);
  EXPECT_EQ(time::get(&r), 3720);
  refs[0] = -1;
  refs[4] = 0;  // /floor
  r = call_action(ACT_ROUND, {time_cell(-3.5)}, refs);
  EXPECT_EQ(time::get(&r), -4);
  // A scale the integer range cannot hold the result in is no problem here.
  refs[4] = -1;
  refs[0] = 1;
  r = call_action(ACT_ROUND, {time_cell(1e20), int_cell(1)}, refs);
  EXPECT_EQ(time::get(&r), 1e20);
  Cell money{TYPE_MONEY, 0, 0, 0};
  EXPECT_EQ(raised_by([&] { call_action(ACT_ROUND, {time_cell(1), money}, refs); }).id,
            "not-related");
}

TEST_F(Time, EvenAndOddTestTheWholeSecondsOfTheMinute) {
  struct Case {
    double seconds;
    bool even;
  };
  const Case cases[] = {{4, true},      {63, false},        {3.9999999, true},  // nudged up to 4
                        {-3, false},    {120.5, true},      {59.99999999, true}};
  for (const Case& c : cases) {
    EXPECT_EQ(call_action(ACT_EVEN_Q, {time_cell(c.seconds)}).data1 != 0, c.even) << c.seconds;
    EXPECT_EQ(call_action(ACT_ODD_Q, {time_cell(c.seconds)}).data1 != 0, !c.even) << c.seconds;
  }
  double nan = std::nan("");
  EXPECT_EQ(call_action(ACT_EVEN_Q, {time_cell(nan)}).data1, 0u);
  EXPECT_EQ(call_action(ACT_ODD_Q, {time_cell(nan)}).data1, 0u);
}

}  // namespace
}  // namespace kiv
