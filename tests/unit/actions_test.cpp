#include <gtest/gtest.h>

#include <cmath>

#include "actions_test_support.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/unset.h"
#include "runtime/host/random.h"

namespace kiv {
namespace {

using namespace kiv::testing;

class Actions : public CoreTypesTest {};

// ---------------------------------------------------------------------------
// Handler lookup.

TEST_F(Actions, UnsupportedActionRaisesExpectArgNamingCallTypeAndFirstArgument) {
  Raised r = raised_by([&] { call_action(ACT_APPEND, {int_cell(1), int_cell(2)}); });
  ASSERT_TRUE(r.raised);
  EXPECT_EQ(r.category, ErrorCategory::kScript);
  EXPECT_EQ(r.id, "expect-arg");
  ASSERT_EQ(r.args.size(), 3u);
  EXPECT_EQ(TYPE_OF(r.args[0].value.get()), TYPE_WORD);
  EXPECT_EQ(r.args[0].value->data2, kFrameSymbol) << "the word of the current call";
  EXPECT_EQ(TYPE_OF(r.args[1].value.get()), TYPE_DATATYPE);
  EXPECT_EQ(r.args[1].value->data1, TYPE_INTEGER);
  EXPECT_EQ(word_argument(r.args[2]), "series");
}

TEST_F(Actions, UnsupportedActionOutsideAnyCallNamesTheAction) {
  Cell v = int_cell(1);
  Raised r = raised_by([&] { dispatch_clear(&v); });
  ASSERT_TRUE(r.raised);
  EXPECT_EQ(r.id, "expect-arg");
  EXPECT_EQ(word_argument(r.args[0]), "clear");
  EXPECT_EQ(word_argument(r.args[2]), "series");
}

TEST_F(Actions, MakeDispatchesOnTheNamedTypeNotOnDatatype) {
  // make integer! true: the handler of integer!, not of datatype! (which has
  // no make).
  Cell r = call_action(ACT_MAKE, {type_cell(TYPE_INTEGER), logic_cell(true)});
  EXPECT_EQ(TYPE_OF(&r), TYPE_INTEGER);
  EXPECT_EQ(r.data2, 1u);
  // An example value names its own type.
  r = call_action(ACT_MAKE, {int_cell(99), logic_cell(false)});
  EXPECT_EQ(TYPE_OF(&r), TYPE_INTEGER);
  EXPECT_EQ(r.data2, 0u);
  Raised e = raised_by([&] { call_action(ACT_MAKE, {type_cell(TYPE_DATATYPE), int_cell(1)}); });
  EXPECT_EQ(e.id, "expect-arg");
  EXPECT_EQ(e.args[1].value->data1, TYPE_DATATYPE);
}

// A port! whose actor table answers actions 25 to 62.
Cell* port_clear(Cell* c) { return &none_value; }
bool fake_port_lookup(const Cell* port, uint32_t action, Handler* out) {
  if (port->data1 == 0) return false;  // no actor: the port! row
  *out = action == ACT_CLEAR ? reinterpret_cast<Handler>(port_clear) : nullptr;
  return true;
}

TEST_F(Actions, PortActorTableAnswersFromAppendOnAndMissingEntryIsNoPortAction) {
  PortActorLookup installed = port_actor_lookup();
  set_port_actor_lookup(fake_port_lookup);
  Cell with_actor{TYPE_PORT, 1, 0, 0}, without_actor{TYPE_PORT, 0, 0, 0};
  EXPECT_EQ(get_value_action_handler(&with_actor, ACT_CLEAR), reinterpret_cast<Handler>(port_clear));
  Raised r = raised_by([&] { get_value_action_handler(&with_actor, ACT_TAKE); });
  EXPECT_EQ(r.category, ErrorCategory::kAccess);
  EXPECT_EQ(r.id, "no-port-action");
  EXPECT_TRUE(r.args.empty());
  // Actions below 25 and ports without an actor use the port! row.
  EXPECT_EQ(raised_by([&] { get_value_action_handler(&with_actor, ACT_RANDOM); }).id, "expect-arg");
  EXPECT_EQ(get_value_action_handler(&with_actor, ACT_FORM), type_handler(TYPE_PORT, ACT_FORM));
  EXPECT_EQ(get_value_action_handler(&without_actor, ACT_CLEAR), type_handler(TYPE_PORT, ACT_CLEAR));
  EXPECT_EQ(raised_by([&] { get_value_action_handler(&without_actor, ACT_OPEN_Q); }).id, "expect-arg");
  set_port_actor_lookup(installed);
}

TEST_F(Actions, PathAccessOnTypeWithoutEvalPathNamesElementOrPath) {
  Cell parent = int_cell(1), element = int_cell(2);
  Raised r = raised_by([&] { get_path_action_handler(&parent, ACT_EVAL_PATH, nullptr, &element, 1); });
  EXPECT_EQ(r.id, "bad-path-type2");
  ASSERT_EQ(r.args.size(), 2u);
  EXPECT_EQ(r.args[1].value->data1, TYPE_INTEGER);
  // a/b/c where b holds an integer: the third argument is a/b.
  RootedCell path;
  block::init_cell(path.get(), 3);
  set_type(path.get(), TYPE_PATH);
  for (int32_t v : {10, 20, 30}) {
    Cell c = int_cell(v);
    block::append_cell(path.get(), &c);
  }
  r = raised_by([&] { get_path_action_handler(&parent, ACT_EVAL_PATH, path.get(), &element, 1); });
  EXPECT_EQ(r.id, "bad-path-type");
  ASSERT_EQ(r.args.size(), 3u);
  EXPECT_EQ(r.args[0].value->data2, path->data2) << "the path itself";
  Cell* cut = r.args[2].value.get();
  EXPECT_EQ(TYPE_OF(cut), TYPE_PATH);
  EXPECT_NE(cut->data2, path->data2) << "a copy";
  EXPECT_EQ(block::rs_length_q(cut), 2);
  EXPECT_EQ(block::rs_length_q(path.get()), 3);
}

// ---------------------------------------------------------------------------
// The compare entry and the op codes.

struct CompareCase {
  const char* what;
  Cell a, b;
  int32_t op;
  int expected;  // 0 false, 1 true, -1 raises invalid-compare
};

TEST_F(Actions, CompareOpCodesOnIntegerLogicNoneUnsetAndDatatype) {
  const CompareCase cases[] = {
      {"1 = 1", int_cell(1), int_cell(1), COMP_EQUAL, 1},
      {"1 <> 2", int_cell(1), int_cell(2), COMP_NOT_EQUAL, 1},
      {"-1 < 1 signed", int_cell(-1), int_cell(1), COMP_LESSER, 1},
      {"2 <= 2", int_cell(2), int_cell(2), COMP_LESSER_EQUAL, 1},
      {"3 > 2", int_cell(3), int_cell(2), COMP_GREATER, 1},
      {"2 >= 3", int_cell(2), int_cell(3), COMP_GREATER_EQUAL, 0},
      {"1 == #\"^A\"", int_cell(1), char_cell(1), COMP_STRICT_EQUAL, 0},
      {"1 = #\"^A\"", int_cell(1), char_cell(1), COMP_EQUAL, 1},
      {"1 = none", int_cell(1), none_cell(), COMP_EQUAL, 0},
      {"1 <> none", int_cell(1), none_cell(), COMP_NOT_EQUAL, 1},
      {"1 < none", int_cell(1), none_cell(), COMP_LESSER, -1},
      {"true = true", logic_cell(true), logic_cell(true), COMP_EQUAL, 1},
      {"false = none (different types)", logic_cell(false), none_cell(), COMP_EQUAL, 0},
      {"false <> none", logic_cell(false), none_cell(), COMP_NOT_EQUAL, 1},
      {"true > false not comparable", logic_cell(true), logic_cell(false), COMP_GREATER, -1},
      {"lesser? true false not comparable", logic_cell(true), logic_cell(false), COMP_LESSER, -1},
      {"same? true true", logic_cell(true), logic_cell(true), COMP_SAME, 1},
      {"none = none", none_cell(), none_cell(), COMP_EQUAL, 1},
      {"none == none", none_cell(), none_cell(), COMP_STRICT_EQUAL, 1},
      {"none < none", none_cell(), none_cell(), COMP_LESSER, -1},
      {"none = false", none_cell(), logic_cell(false), COMP_EQUAL, 0},
      {"unset = unset", unset_cell(), unset_cell(), COMP_EQUAL, 1},
      {"unset <> unset", unset_cell(), unset_cell(), COMP_NOT_EQUAL, 0},
      {"unset = none", unset_cell(), none_cell(), COMP_EQUAL, 0},
      {"unset >= unset", unset_cell(), unset_cell(), COMP_GREATER_EQUAL, -1},
      {"integer! = integer!", type_cell(TYPE_INTEGER), type_cell(TYPE_INTEGER), COMP_EQUAL, 1},
      {"integer! = logic!", type_cell(TYPE_INTEGER), type_cell(TYPE_LOGIC), COMP_EQUAL, 0},
      {"integer! = 11", type_cell(TYPE_INTEGER), int_cell(TYPE_INTEGER), COMP_EQUAL, 0},
      {"integer! < logic!", type_cell(TYPE_INTEGER), type_cell(TYPE_LOGIC), COMP_LESSER, -1},
      // Sorting a not-comparable pair is an error too; find's equality is not.
      {"sort 1 none", int_cell(1), none_cell(), COMP_SORT, -1},
      {"find 1 in none", int_cell(1), none_cell(), COMP_FIND, 0},
      {"find 1 1", int_cell(1), int_cell(1), COMP_FIND, 1},
      {"parse word 1 none", int_cell(1), none_cell(), COMP_PARSE_WORD, 0},
  };
  for (const CompareCase& c : cases) {
    Cell a = c.a, b = c.b;
    bool truth = false;
    Raised r = raised_by([&] { truth = actions::compare(&a, &b, c.op); });
    if (c.expected < 0) {
      EXPECT_TRUE(r.raised) << c.what;
      EXPECT_EQ(r.id, "invalid-compare") << c.what;
      if (r.raised) {
        EXPECT_EQ(r.args.size(), 2u) << c.what;
      }
    } else {
      EXPECT_FALSE(r.raised) << c.what << " raised " << r.id;
      EXPECT_EQ(truth, c.expected == 1) << c.what;
    }
  }
}

TEST_F(Actions, CompareEntryLeavesALogicInTheBaseCell) {
  Cell r = call_action(ACT_COMPARE, {int_cell(1), int_cell(2), int_cell(COMP_LESSER)});
  EXPECT_EQ(TYPE_OF(&r), TYPE_LOGIC);
  EXPECT_EQ(r.data1, 1u);
}

using ActionsDeathTest = Actions;

TEST_F(ActionsDeathTest, CompareOpCodeOutOfRangeIsRuntimeError101) {
  Cell a = int_cell(1), b = int_cell(1);
  EXPECT_EXIT(actions::compare(&a, &b, 13), ::testing::ExitedWithCode(101),
              "Runtime Error 101: no value matched in SWITCH");
}

// ---------------------------------------------------------------------------
// Converting entries.

TEST_F(Actions, FormAndMoldThroughTheirEntries) {
  struct Case {
    Cell value;
    uint32_t action;
    std::vector<int32_t> refs;
    const char* text;
  };
  const std::vector<int32_t> none1{-1}, none4{-1, -1, -1, -1}, all{-1, 0, -1, -1};
  const Case cases[] = {
      {unset_cell(), ACT_FORM, none1, ""},
      {unset_cell(), ACT_MOLD, none4, "unset"},
      {unset_cell(), ACT_MOLD, all, "#(unset)"},
      {none_cell(), ACT_FORM, none1, "none"},
      {none_cell(), ACT_MOLD, all, "#(none)"},
      {logic_cell(true), ACT_FORM, none1, "true"},
      {logic_cell(false), ACT_MOLD, none4, "false"},
      {logic_cell(false), ACT_MOLD, all, "#(false)"},
      {type_cell(TYPE_INTEGER), ACT_FORM, none1, "integer"},
      {type_cell(TYPE_INTEGER), ACT_MOLD, none4, "integer!"},
      {type_cell(TYPE_INTEGER), ACT_MOLD, all, "#(integer!)"},
      {int_cell(INT32_MIN), ACT_FORM, none1, "-2147483648"},
      {int_cell(0), ACT_MOLD, none4, "0"},
  };
  for (const Case& c : cases) {
    Cell r = call_action(c.action, {c.value}, c.refs);
    ASSERT_EQ(TYPE_OF(&r), TYPE_STRING);
    EXPECT_EQ(text_of(keep_.get()), c.text);
  }
}

TEST_F(Actions, FormPartCutsTheOutputAndPartBelowOneFormsNothing) {
  Cell r = call_action(ACT_MOLD, {type_cell(TYPE_INTEGER), int_cell(5)}, {-1, 0, -1, 1});
  EXPECT_EQ(text_of(keep_.get()), "#(int");
  r = call_action(ACT_FORM, {int_cell(123456), int_cell(0)}, {1});
  EXPECT_EQ(TYPE_OF(&r), TYPE_STRING);
  EXPECT_EQ(text_of(keep_.get()), "");
  r = call_action(ACT_FORM, {int_cell(123456), int_cell(-3)}, {1});
  EXPECT_EQ(text_of(keep_.get()), "");
}

TEST_F(Actions, LengthOfNoneIsNoneAndSeriesActionsOnNoneAnswerNone) {
  Cell r = call_action(ACT_LENGTH_Q, {none_cell()});
  EXPECT_EQ(TYPE_OF(&r), TYPE_NONE);
  for (uint32_t action : {ACT_CLEAR, ACT_TAKE, ACT_REMOVE}) {
    r = call_action(action, {none_cell()});
    EXPECT_EQ(TYPE_OF(&r), TYPE_NONE) << action;
  }
  for (uint32_t action : {ACT_FIND, ACT_SELECT}) {
    r = call_action(action, {none_cell(), int_cell(1)});
    EXPECT_EQ(TYPE_OF(&r), TYPE_NONE) << action;
  }
}

TEST_F(Actions, EvenAndOddLeaveALogic) {
  Cell r = call_action(ACT_ODD_Q, {int_cell(-3)});
  EXPECT_EQ(TYPE_OF(&r), TYPE_LOGIC);
  EXPECT_EQ(r.data1, 1u);
  r = call_action(ACT_EVEN_Q, {int_cell(-3)});
  EXPECT_EQ(r.data1, 0u);
}

// A series type of the test's own (id 55) whose append handler records what
// the entry handed it, to check the /part and /dup rules.
struct Recorded {
  int calls = 0;
  int32_t part = 0, dup = 0;
  bool only = false, append = false;
  uint32_t value_index = 0;
} recorded;

Cell* record_insert(Cell* series, Cell* value, int32_t part, bool only, int32_t dup, bool append) {
  ++recorded.calls;
  recorded.part = part;
  recorded.dup = dup;
  recorded.only = only;
  recorded.append = append;
  recorded.value_index = value->data1;
  return series;
}

class InsertEntry : public Actions {
 protected:
  void SetUp() override {
    Actions::SetUp();
    recorded = Recorded{};
    std::vector<HandlerEntry> row;
    for (uint32_t k = 1; k <= kActionCount; ++k) row.push_back({nullptr, k, HandlerEntry::kUnsupported});
    row[ACT_APPEND - 1] = own<ACT_APPEND>(record_insert);
    row[ACT_INSERT - 1] = own<ACT_INSERT>(record_insert);
    datatype::register_type(kSeriesType, 0, "test-series!", row.data(), kActionCount);
  }
  static constexpr uint32_t kSeriesType = 55;
  Cell series_{kSeriesType, 0, 0, 0};
};

TEST_F(InsertEntry, PartPositionBeforeTheValueInsertsTheValuesBetween) {
  RootedCell s = make_string("abcdef");
  Cell value = *s, position = *s;
  value.data1 = 3;
  position.data1 = 1;
  // append/part series at s 4 at s 2: count -2 from index 3
  call_action(ACT_APPEND, {series_, value, position}, {2, -1, -1});
  ASSERT_EQ(recorded.calls, 1);
  EXPECT_EQ(recorded.part, 2);
  EXPECT_EQ(recorded.value_index, 1u);
  EXPECT_TRUE(recorded.append);
  EXPECT_EQ(recorded.dup, 1);
}

TEST_F(InsertEntry, PartZeroOrNegativeAtHeadOrDupBelowOneInsertsNothing) {
  RootedCell s = make_string("abc");
  Cell r = call_action(ACT_INSERT, {series_, *s, int_cell(0)}, {2, -1, -1});
  EXPECT_EQ(recorded.calls, 0);
  EXPECT_EQ(TYPE_OF(&r), kSeriesType) << "the series comes back unchanged";
  call_action(ACT_INSERT, {series_, *s, int_cell(-2)}, {2, -1, -1});
  EXPECT_EQ(recorded.calls, 0);
  call_action(ACT_APPEND, {series_, int_cell(7), int_cell(0)}, {-1, -1, 2});
  EXPECT_EQ(recorded.calls, 0);
  call_action(ACT_INSERT, {series_, int_cell(7), int_cell(3)}, {-1, 0, 2});
  EXPECT_EQ(recorded.calls, 1);
  EXPECT_EQ(recorded.dup, 3);
  EXPECT_EQ(recorded.part, -1) << "no /part: -1";
  EXPECT_TRUE(recorded.only);
  EXPECT_FALSE(recorded.append);
}

TEST_F(InsertEntry, PartOnANonSeriesValueOrAForeignPositionIsRefused) {
  Raised r = raised_by([&] { call_action(ACT_APPEND, {series_, int_cell(7), int_cell(1)}, {2, -1, -1}); });
  EXPECT_EQ(r.id, "invalid-part");
  RootedCell a = make_string("abc"), b = make_string("abc");
  r = raised_by([&] { call_action(ACT_APPEND, {series_, *a, *b}, {2, -1, -1}); });
  EXPECT_EQ(r.id, "invalid-refine-arg");
  EXPECT_EQ(recorded.calls, 0);
}


// ---------------------------------------------------------------------------
// logic!, none! and unset! handlers and helpers.

TEST_F(Actions, MakeAndToLogicDifferOnNumbers) {
  RootedCell x = make_string("x");
  struct Case {
    const char* what;
    uint32_t action;
    Cell spec;
    bool expected;
  };
  const Case cases[] = {
      {"to logic! 0", ACT_TO, int_cell(0), true},
      {"make logic! 0", ACT_MAKE, int_cell(0), false},
      {"make logic! 2", ACT_MAKE, int_cell(2), true},
      {"make logic! 0.0", ACT_MAKE, float_cell(0.0), false},
      {"make logic! -0.0", ACT_MAKE, float_cell(-0.0), false},
      {"make logic! NaN", ACT_MAKE, float_cell(std::nan("")), true},
      {"to logic! 0.0", ACT_TO, float_cell(0.0), true},
      {"make logic! \"x\"", ACT_MAKE, *x, true},
      {"to logic! none", ACT_TO, none_cell(), false},
      {"make logic! none", ACT_MAKE, none_cell(), false},
      {"to logic! false", ACT_TO, logic_cell(false), false},
      {"to logic! unset", ACT_TO, unset_cell(), true},
  };
  for (const Case& c : cases) {
    Cell r = call_action(c.action, {type_cell(TYPE_LOGIC), c.spec});
    EXPECT_EQ(TYPE_OF(&r), TYPE_LOGIC) << c.what;
    EXPECT_EQ(r.data1 != 0, c.expected) << c.what;
  }
  Cell r = call_action(ACT_MAKE, {type_cell(TYPE_NONE), int_cell(1)});
  EXPECT_EQ(TYPE_OF(&r), TYPE_NONE);
  r = call_action(ACT_TO, {type_cell(TYPE_UNSET), int_cell(1)});
  EXPECT_EQ(TYPE_OF(&r), TYPE_UNSET);
}

TEST_F(Actions, LogicBitwiseActionsAndTheirSecondArgument) {
  struct Case {
    uint32_t action;
    bool a, b, expected;
  };
  const Case cases[] = {
      {ACT_AND_T, true, false, false}, {ACT_AND_T, true, true, true}, {ACT_OR_T, false, true, true},
      {ACT_OR_T, false, false, false}, {ACT_XOR_T, true, true, false}, {ACT_XOR_T, true, false, true},
  };
  for (const Case& c : cases) {
    Cell r = call_action(c.action, {logic_cell(c.a), logic_cell(c.b)});
    EXPECT_EQ(TYPE_OF(&r), TYPE_LOGIC);
    EXPECT_EQ(r.data1 != 0, c.expected) << c.action << " " << c.a << " " << c.b;
  }
  Cell r = call_action(ACT_COMPLEMENT, {logic_cell(true)});
  EXPECT_EQ(r.data1, 0u);
  Raised e = raised_by([&] { call_action(ACT_AND_T, {logic_cell(true), int_cell(1)}); });
  EXPECT_EQ(e.id, "expect-arg");
  ASSERT_EQ(e.args.size(), 3u);
  EXPECT_EQ(e.args[0].value->data2, kFrameSymbol);
  EXPECT_EQ(e.args[1].value->data1, TYPE_INTEGER);
  EXPECT_EQ(word_argument(e.args[2]), "value2");
}

TEST_F(Actions, RandomSeedOnLogicReseedsWithItsBitAndAnswersUnset) {
  Cell r = call_action(ACT_RANDOM, {logic_cell(true)}, {0, -1, -1});
  EXPECT_EQ(TYPE_OF(&r), TYPE_UNSET);
  int32_t after_seed = random::next();
  random::seed(1);
  EXPECT_EQ(random::next(), after_seed) << "seeded with 1";
  int trues = 0;
  for (int i = 0; i < 200; ++i) {
    r = call_action(ACT_RANDOM, {logic_cell(false)});
    ASSERT_EQ(TYPE_OF(&r), TYPE_LOGIC);
    trues += r.data1 != 0;
  }
  EXPECT_GT(trues, 50);
  EXPECT_LT(trues, 150);
}

TEST_F(Actions, TruthTestsAndTheirUnsetChecks) {
  Cell word{TYPE_WORD, 0, 77, 0};
  Cell u = unset_cell(), n = none_cell(), z = int_cell(0), f = logic_cell(false);
  EXPECT_TRUE(logic::cell_true_q(&u, false, &word)) << "lenient: unset is truthy";
  EXPECT_FALSE(logic::cell_true_q(&n, true, &word));
  EXPECT_TRUE(logic::cell_true_q(&z, true, &word));
  Raised r = raised_by([&] { logic::cell_true_q(&u, true, &word); });
  EXPECT_EQ(r.id, "no-value");
  ASSERT_EQ(r.args.size(), 1u);
  EXPECT_EQ(r.args[0].value->data2, 77u);

  Cell frame_word{TYPE_WORD, 0, kFrameSymbol, 0xFFFFFFFF};
  stack::open_call_frame(&frame_word);
  stack::push_copy(&f);
  EXPECT_FALSE(logic::result_true_q());
  EXPECT_TRUE(logic::result_false_q());
  EXPECT_TRUE(logic::top_false_q()) << "the base cell when nothing is pushed above it";
  stack::push_copy(&z);
  EXPECT_TRUE(logic::top_true_q()) << "the last pushed cell";
  unset::into_result();
  EXPECT_FALSE(logic::result_false_q());
  r = raised_by([&] { logic::result_true_q(); });
  EXPECT_EQ(r.id, "no-return");
}

TEST_F(Actions, ConstructorsWriteResultPushAndAppend) {
  Cell frame_word{TYPE_WORD, 0, kFrameSymbol, 0xFFFFFFFF};
  stack::open_call_frame(&frame_word);
  stack::push_copy(&frame_word);
  EXPECT_EQ(TYPE_OF(none::into_result()), TYPE_NONE);
  EXPECT_EQ(logic::box(true)->data1, 1u);
  EXPECT_EQ(integer::into_result(-9)->data2, static_cast<uint32_t>(-9));
  EXPECT_EQ(integer::result_value(), -9);
  EXPECT_EQ(integer::get(integer::push(4)), 4);
  EXPECT_EQ(datatype::push(TYPE_LOGIC)->data1, TYPE_LOGIC);
  EXPECT_EQ(stack::top_index() - stack::base_index(), 3u);
  logic::box(false);
  EXPECT_EQ(integer::result_or_zero(), 0) << "the result is not an integer!";

  RootedCell b;
  block::init_cell(b.get(), 0);
  unset::at_tail(b.get());
  none::at_tail(b.get());
  logic::at_tail(b.get(), true);
  integer::at_tail(b.get(), 12);
  datatype::at_tail(b.get(), TYPE_NONE);
  ASSERT_EQ(block::rs_length_q(b.get()), 5);
  const uint32_t types[] = {TYPE_UNSET, TYPE_NONE, TYPE_LOGIC, TYPE_INTEGER, TYPE_DATATYPE};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(TYPE_OF(block::cell_at(b.get(), i)), types[i]) << i;
  EXPECT_EQ(integer::get(block::cell_at(b.get(), 3)), 12);
}

}  // namespace
}  // namespace kiv
