// The series! actions that every series type inherits: navigation, pick and
// poke, clear, remove, reverse, random, take, copy, move, reflect and modify,
// their /part forms, their errors, heads left past the tail by another
// reference, and the owner notifications around each change.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "runtime/datatypes/block.h"
#include "runtime/datatypes/series_common.h"
#include "runtime/datatypes/string.h"
#include "runtime/ownership.h"
#include "tests/unit/series_test_support.h"

namespace kiv::testing {
namespace {

using SeriesActions = SeriesFixture;

uint32_t type(const Cell& c) { return TYPE_OF(&c); }

Cell pair_cell(int32_t x, int32_t y) {
  return Cell{TYPE_PAIR, 0, static_cast<uint32_t>(x), static_cast<uint32_t>(y)};
}

// ---------------------------------------------------------------------------
// Navigation.

struct NavCase {
  const char* name;
  uint32_t action;
  int32_t from;      // 1-based index before
  int32_t argument;  // for at and skip
  int32_t expected;  // 1-based index after
};

TEST_F(SeriesActions, NavigationStaysWithinHeadAndTail) {
  const NavCase cases[] = {
      {"at 1 stays", ACT_AT, 3, 1, 3},
      {"at 0 stays like at 1", ACT_AT, 3, 0, 3},
      {"at -1 moves back one", ACT_AT, 3, -1, 2},
      {"at 2 moves on one", ACT_AT, 3, 2, 4},
      {"at far below stops at the head", ACT_AT, 3, -100, 1},
      {"at far beyond stops at the tail", ACT_AT, 3, 100, 6},
      {"skip 1000 stops at the tail", ACT_SKIP, 1, 1000, 6},
      {"skip -1 moves back one", ACT_SKIP, 3, -1, 2},
      {"skip 0 stays", ACT_SKIP, 3, 0, 3},
      {"skip far back stops at the head", ACT_SKIP, 3, -1000, 1},
      {"next moves on", ACT_NEXT, 1, 0, 2},
      {"next at the tail stays", ACT_NEXT, 6, 0, 6},
      {"back moves back", ACT_BACK, 3, 0, 2},
      {"back at the head stays", ACT_BACK, 1, 0, 1},
      {"head", ACT_HEAD, 4, 0, 1},
      {"tail", ACT_TAIL, 2, 0, 6},
  };
  RootedCell b = parse("1 2 3 4 5");
  for (const auto& c : cases) {
    Cell s = at(*b, c.from);
    Cell r = (c.action == ACT_AT || c.action == ACT_SKIP) ? act(c.action, {s, int_cell(c.argument)})
                                                          : act(c.action, {s});
    EXPECT_EQ(TYPE_OF(&r), TYPE_BLOCK) << c.name;
    EXPECT_EQ(index_of(r), c.expected) << c.name;
  }
}

TEST_F(SeriesActions, AtAndSkipRefuseAnOffsetThatIsNotAnInteger) {
  RootedCell b = parse("1 2");
  RootedCell text = str("x");
  for (uint32_t action : {ACT_AT, ACT_SKIP}) {
    Raised e = act_error(action, {*b, *text});
    EXPECT_EQ(e.id, "invalid-arg");
  }
}

TEST_F(SeriesActions, PredicatesAndIndex) {
  RootedCell b = parse("1 2 3");
  EXPECT_EQ(act(ACT_HEAD_Q, {*b}).data1, 1u);
  EXPECT_EQ(act(ACT_HEAD_Q, {at(*b, 2)}).data1, 0u);
  EXPECT_EQ(act(ACT_TAIL_Q, {at(*b, 4)}).data1, 1u);
  EXPECT_EQ(act(ACT_TAIL_Q, {at(*b, 3)}).data1, 0u);
  EXPECT_EQ(act(ACT_INDEX_Q, {at(*b, 3)}).data2, 3u);
  EXPECT_EQ(act(ACT_LENGTH_Q, {at(*b, 2)}).data2, 2u);
}

// Another reference clears the series: a head left beyond the tail reads as
// the tail everywhere but in index?, and writing there appends.
TEST_F(SeriesActions, HeadPastTheTailActsAsTheTail) {
  RootedCell b = parse("1 2 3 4 5");
  RootedCell late(at(*b, 5));
  act(ACT_CLEAR, {at(*b, 2)});
  EXPECT_EQ(whole(*b), "[1]");

  Cell len = act(ACT_LENGTH_Q, {*late});
  EXPECT_EQ(len.data2, 0u);
  EXPECT_EQ(act(ACT_TAIL_Q, {*late}).data1, 1u);
  EXPECT_EQ(act(ACT_INDEX_Q, {*late}).data2, 5u);  // the position it holds, not clamped
  EXPECT_EQ(index_of(act(ACT_NEXT, {*late})), 2);
  EXPECT_EQ(index_of(act(ACT_BACK, {*late})), 1);
  EXPECT_EQ(index_of(act(ACT_SKIP, {*late, int_cell(-1)})), 1);
  EXPECT_EQ(type(act(ACT_PICK, {*late, int_cell(1)})), TYPE_NONE);
  EXPECT_EQ(type(act(ACT_PICK, {*late, int_cell(-1)})), TYPE_INTEGER);
  EXPECT_EQ(type(act(ACT_TAKE, {*late})), TYPE_NONE);
  EXPECT_EQ(mold(act(ACT_COPY, {*late})), "[]");
  act(ACT_REMOVE, {*late});
  act(ACT_REVERSE, {*late});
  act(ACT_INSERT, {*late, int_cell(9)});
  EXPECT_EQ(whole(*b), "[1 9]");
  RootedCell n = parse("7");
  EXPECT_EQ(act_error(ACT_POKE, {*late, int_cell(1), *n}).id, "out-of-range");
}

// ---------------------------------------------------------------------------
// pick and poke.

TEST_F(SeriesActions, PickCountsFromTheHeadAndAnswersNoneOutside) {
  RootedCell b = parse("10 20 30 40");
  struct {
    int32_t from, index;
    int32_t expected;  // 0: none
  } cases[] = {{1, 1, 10}, {1, 4, 40}, {1, 5, 0}, {1, 0, 0}, {3, -1, 20}, {3, -2, 10}, {3, -3, 0}, {2, 0, 0}};
  for (const auto& c : cases) {
    Cell r = act(ACT_PICK, {at(*b, c.from), int_cell(c.index)});
    if (c.expected == 0) EXPECT_EQ(TYPE_OF(&r), TYPE_NONE) << c.from << " " << c.index;
    else EXPECT_EQ(r.data2, static_cast<uint32_t>(c.expected)) << c.from << " " << c.index;
  }
  RootedCell s = str("abc");
  Cell ch = act(ACT_PICK, {*s, int_cell(2)});
  EXPECT_EQ(TYPE_OF(&ch), TYPE_CHAR);
  EXPECT_EQ(ch.data2, static_cast<uint32_t>('b'));
}

TEST_F(SeriesActions, PokeStoresAndRefusesIndexesOutside) {
  RootedCell b = parse("1 2 3");
  RootedCell v = parse("[8]");
  Cell inner = series::element_at(v.get(), 0);
  Cell r = act(ACT_POKE, {at(*b, 2), int_cell(2), inner});
  EXPECT_EQ(TYPE_OF(&r), TYPE_BLOCK);
  EXPECT_EQ(whole(*b), "[1 2 [8]]");
  act(ACT_POKE, {at(*b, 3), int_cell(-2), int_cell(7)});
  EXPECT_EQ(whole(*b), "[7 2 [8]]");
  for (int32_t i : {0, 4, -1}) {
    Raised e = act_error(ACT_POKE, {*b, int_cell(i), int_cell(0)});
    EXPECT_EQ(e.id, "out-of-range") << i;
  }
  EXPECT_EQ(whole(*b), "[7 2 [8]]");
}

TEST_F(SeriesActions, PokeIntoAStringNeedsACharAndWidens) {
  RootedCell s = str("abc");
  EXPECT_EQ(act_error(ACT_POKE, {*s, int_cell(1), int_cell(65)}).id, "invalid-arg");
  act(ACT_POKE, {*s, int_cell(2), char_cell(0x3A9)});
  EXPECT_EQ(string::unit_of(s.get()), 2u);
  EXPECT_EQ(string::char_at_index(s.get(), 1), 0x3A9u);
  EXPECT_EQ(string::char_at_index(s.get(), 2), static_cast<uint32_t>('c'));
}

// ---------------------------------------------------------------------------
// clear and remove.

TEST_F(SeriesActions, ClearCutsAtTheHead) {
  RootedCell b = parse("1 2 3 4");
  Cell r = act(ACT_CLEAR, {at(*b, 3)});
  EXPECT_EQ(index_of(r), 3);
  EXPECT_EQ(whole(*b), "[1 2]");
  RootedCell s = str("hello");
  act(ACT_CLEAR, {at(*s, 2)});
  EXPECT_EQ(text_of(s.get()), "h");
}

TEST_F(SeriesActions, RemoveWithItsPartForms) {
  struct {
    const char* name;
    int32_t from;
    int32_t part;  // INT32_MIN: no /part; else a count
    const char* expected;
  } cases[] = {
      {"one value", 2, INT32_MIN, "[1 3 4 5]"},
      {"a count", 2, 2, "[1 4 5]"},
      {"a count past the tail", 4, 10, "[1 2 3]"},
      {"a count of 0 changes nothing", 2, 0, "[1 2 3 4 5]"},
      {"a negative count changes nothing", 2, -1, "[1 2 3 4 5]"},
      {"at the tail nothing", 6, INT32_MIN, "[1 2 3 4 5]"},
  };
  for (const auto& c : cases) {
    RootedCell b = parse("1 2 3 4 5");
    Cell r = c.part == INT32_MIN ? act(ACT_REMOVE, {at(*b, c.from)})
                                 : act(ACT_REMOVE, {at(*b, c.from), int_cell(c.part)}, {{"part", 1}});
    EXPECT_EQ(whole(*b), c.expected) << c.name;
    EXPECT_EQ(index_of(r), c.from) << c.name;
  }
}

TEST_F(SeriesActions, RemovePartAsAPositionOfTheSameSeriesOnly) {
  RootedCell b = parse("1 2 3 4 5");
  act(ACT_REMOVE, {at(*b, 2), at(*b, 4)}, {{"part", 1}});
  EXPECT_EQ(whole(*b), "[1 4 5]");
  RootedCell other = parse("1 2 3");
  Raised e = act_error(ACT_REMOVE, {*b, at(*other, 2)}, {{"part", 1}});
  EXPECT_EQ(e.id, "invalid-refine-arg");
  EXPECT_EQ(whole(*b), "[1 4 5]");
}

TEST_F(SeriesActions, RemoveKeyDropsTheKeyAndItsValue) {
  RootedCell b = parse("1 10 2 20 3 30");
  act(ACT_REMOVE, {*b, int_cell(2)}, {{"key", 1}});
  EXPECT_EQ(whole(*b), "[1 10 3 30]");
  Cell r = act(ACT_REMOVE, {*b, int_cell(9)}, {{"key", 1}});
  EXPECT_EQ(TYPE_OF(&r), TYPE_NONE);
  EXPECT_EQ(whole(*b), "[1 10 3 30]");
}

// ---------------------------------------------------------------------------
// reverse.

TEST_F(SeriesActions, ReverseWithPartAndSkip) {
  struct {
    const char* name;
    int32_t from, part, skip;  // 0: refinement absent
    const char* expected;
    const char* error;
  } cases[] = {
      {"whole", 1, 0, 0, "[6 5 4 3 2 1]", nullptr},
      {"from the head index", 3, 0, 0, "[1 2 6 5 4 3]", nullptr},
      {"a part", 1, 3, 0, "[3 2 1 4 5 6]", nullptr},
      {"records of two", 1, 0, 2, "[5 6 3 4 1 2]", nullptr},
      {"records of three", 1, 0, 3, "[4 5 6 1 2 3]", nullptr},
      {"one record changes nothing", 1, 0, 6, "[1 2 3 4 5 6]", nullptr},
      {"a span not a multiple", 1, 0, 4, "[1 2 3 4 5 6]", "invalid-refine-arg"},
      {"a record longer than the part", 1, 3, 4, "[1 2 3 4 5 6]", "invalid-refine-arg"},
      {"a record size below 1", 1, 0, -1, "[1 2 3 4 5 6]", "out-of-range"},
  };
  for (const auto& c : cases) {
    RootedCell b = parse("1 2 3 4 5 6");
    std::map<std::string, int32_t> refs;
    std::vector<Cell> args{at(*b, c.from)};
    Cell part = int_cell(c.part), skip = int_cell(c.skip);
    Raised e = raised_by([&] {
      if (c.part && c.skip) act(ACT_REVERSE, {args[0], part, skip}, {{"part", 1}, {"skip", 2}});
      else if (c.part) act(ACT_REVERSE, {args[0], part}, {{"part", 1}});
      else if (c.skip) act(ACT_REVERSE, {args[0], skip}, {{"skip", 1}});
      else act(ACT_REVERSE, {args[0]});
    });
    EXPECT_EQ(e.id, c.error ? c.error : "") << c.name;
    EXPECT_EQ(whole(*b), c.expected) << c.name;
  }
}

TEST_F(SeriesActions, ReverseOfAWideString) {
  RootedCell s = str("ab");
  string::append_char(s.get(), 0x10348);
  act(ACT_REVERSE, {*s});
  EXPECT_EQ(string::char_at_index(s.get(), 0), 0x10348u);
  EXPECT_EQ(string::char_at_index(s.get(), 2), static_cast<uint32_t>('a'));
}

// ---------------------------------------------------------------------------
// copy.

TEST_F(SeriesActions, CopyWithItsPartForms) {
  RootedCell b = parse("1 2 3 4 5");
  struct {
    const char* name;
    int32_t from;
    Cell part;
    bool has_part;
    const char* expected;
  } cases[] = {
      {"all from the head index", 2, {}, false, "[2 3 4 5]"},
      {"a count", 2, int_cell(2), true, "[2 3]"},
      {"a count past the tail", 4, int_cell(9), true, "[4 5]"},
      {"a negative count copies backwards", 4, int_cell(-2), true, "[2 3]"},
      {"a negative count beyond the head", 3, int_cell(-10), true, "[1 2]"},
      {"a pair: from the second, two values", 1, pair_cell(2, 4), true, "[2 3]"},
      {"a pair from the head index", 2, pair_cell(1, 3), true, "[2 3]"},
      {"a pair reversed is empty", 1, pair_cell(4, 2), true, "[]"},
      {"a pair beyond the tail is empty", 1, pair_cell(9, 12), true, "[]"},
      {"a position", 2, at(*b, 4), true, "[2 3]"},
      {"a position before the head copies backwards", 4, at(*b, 2), true, "[2 3]"},
  };
  for (const auto& c : cases) {
    Cell r = c.has_part ? act(ACT_COPY, {at(*b, c.from), c.part}, {{"part", 1}}) : act(ACT_COPY, {at(*b, c.from)});
    EXPECT_EQ(mold(r), c.expected) << c.name;
    EXPECT_EQ(index_of(r), 1) << c.name;
  }
  EXPECT_EQ(whole(*b), "[1 2 3 4 5]");
}

TEST_F(SeriesActions, CopyIsIndependentOfItsSource) {
  RootedCell b = parse("1 2 3");
  RootedCell c(act(ACT_COPY, {*b}));
  act(ACT_CLEAR, {*b});
  EXPECT_EQ(mold(*c), "[1 2 3]");
  RootedCell s = str("abc");
  RootedCell t(act(ACT_COPY, {at(*s, 2)}));
  EXPECT_EQ(TYPE_OF(t.get()), TYPE_STRING);
  EXPECT_EQ(text_of(t.get()), "bc");
}

TEST_F(SeriesActions, CopyPartOfAnotherSeriesIsRefused) {
  RootedCell b = parse("1 2 3");
  RootedCell other = parse("1 2 3");
  EXPECT_EQ(act_error(ACT_COPY, {*b, at(*other, 2)}, {{"part", 1}}).id, "invalid-refine-arg");
}

// ---------------------------------------------------------------------------
// take.

TEST_F(SeriesActions, TakeFromTheHeadOrTheTail) {
  struct {
    const char* name;
    int32_t from;
    int32_t part;  // INT32_MIN: none
    bool last;
    const char* taken;
    const char* left;
  } cases[] = {
      {"one", 1, INT32_MIN, false, "1", "[2 3 4]"},
      {"one from the head index", 2, INT32_MIN, false, "2", "[1 3 4]"},
      {"the last", 2, INT32_MIN, true, "4", "[1 2 3]"},
      {"a count", 1, 2, false, "[1 2]", "[3 4]"},
      {"a count from the tail", 1, 2, true, "[3 4]", "[1 2]"},
      {"a count above the length", 3, 9, false, "[3 4]", "[1 2]"},
      {"a count of 0 takes nothing", 1, 0, false, "[]", "[1 2 3 4]"},
      {"a negative count takes nothing", 2, -2, false, "[]", "[1 2 3 4]"},
      {"at the tail: none", 5, INT32_MIN, false, "none", "[1 2 3 4]"},
  };
  for (const auto& c : cases) {
    RootedCell b = parse("1 2 3 4");
    Cell s = at(*b, c.from);
    RootedCell r;
    if (c.part == INT32_MIN) *r = c.last ? act(ACT_TAKE, {s, logic_cell(true)}, {{"last", 1}}) : act(ACT_TAKE, {s});
    else if (c.last) *r = act(ACT_TAKE, {s, int_cell(c.part)}, {{"part", 1}, {"last", 2}});
    else *r = act(ACT_TAKE, {s, int_cell(c.part)}, {{"part", 1}});
    EXPECT_EQ(mold(*r), c.taken) << c.name;
    EXPECT_EQ(whole(*b), c.left) << c.name;
  }
}

TEST_F(SeriesActions, TakePartAsAPosition) {
  RootedCell b = parse("1 2 3 4 5");
  RootedCell r(act(ACT_TAKE, {at(*b, 2), at(*b, 4)}, {{"part", 1}}));
  EXPECT_EQ(mold(*r), "[2 3]");
  EXPECT_EQ(whole(*b), "[1 4 5]");
  // With /last the position marks where the taken values start.
  *r = act(ACT_TAKE, {*b, at(*b, 2), logic_cell(true)}, {{"part", 1}, {"last", 2}});
  EXPECT_EQ(mold(*r), "[4 5]");
  EXPECT_EQ(whole(*b), "[1]");
}

// Each taken series has a buffer of its own: a later take does not change
// an earlier result.
TEST_F(SeriesActions, TakenSeriesShareNoBuffer) {
  RootedCell s = str("abc");
  RootedCell first;
  Cell arg = *s;
  *first = *series::take(&arg, nullptr, false, false);
  arg = *s;
  RootedCell second(*series::take(&arg, nullptr, false, false));
  EXPECT_EQ(text_of(first.get()), "a");
  EXPECT_EQ(text_of(second.get()), "b");
  EXPECT_EQ(text_of(s.get()), "c");
}

// ---------------------------------------------------------------------------
// move.

TEST_F(SeriesActions, MoveWithinOneSeries) {
  struct {
    const char* name;
    int32_t from, to, part;
    const char* expected;
  } cases[] = {
      {"after the target value", 1, 3, 0, "[2 3 1 4 5]"},
      {"to the tail", 1, 6, 0, "[2 3 4 5 1]"},
      {"a part to the tail", 1, 6, 2, "[3 4 5 1 2]"},
      {"a part after the last value", 1, 5, 2, "[3 4 5 1 2]"},
      {"before the target value", 4, 1, 0, "[4 1 2 3 5]"},
      {"a part before", 4, 2, 2, "[1 4 5 2 3]"},
      {"onto itself changes nothing", 2, 2, 0, "[1 2 3 4 5]"},
      {"inside the moved span changes nothing", 2, 3, 3, "[1 2 3 4 5]"},
      {"a part of 0 moves nothing", 1, 6, -1, "[1 2 3 4 5]"},
  };
  for (const auto& c : cases) {
    RootedCell b = parse("1 2 3 4 5");
    Cell r = c.part ? act(ACT_MOVE, {at(*b, c.from), at(*b, c.to), int_cell(c.part < 0 ? 0 : c.part)}, {{"part", 2}})
                    : act(ACT_MOVE, {at(*b, c.from), at(*b, c.to)});
    EXPECT_EQ(whole(*b), c.expected) << c.name;
    EXPECT_EQ(index_of(r), c.to) << c.name;
  }
}

TEST_F(SeriesActions, MoveBetweenSeries) {
  RootedCell a = parse("1 2 3");
  RootedCell b = parse("7 8");
  act(ACT_MOVE, {*a, at(*b, 2), int_cell(2)}, {{"part", 2}});
  EXPECT_EQ(whole(*a), "[3]");
  EXPECT_EQ(whole(*b), "[7 1 2 8]");

  RootedCell s = str("abc");
  RootedCell t = str("xy");
  act(ACT_MOVE, {*s, *t});
  EXPECT_EQ(text_of(s.get()), "bc");
  EXPECT_EQ(text_of(t.get()), "axy");
}

TEST_F(SeriesActions, MoveBetweenABlockAndAStringIsRefused) {
  RootedCell b = parse("1 2");
  RootedCell s = str("ab");
  EXPECT_EQ(act_error(ACT_MOVE, {*b, *s}).id, "move-bad");
  EXPECT_EQ(act_error(ACT_MOVE, {*s, *b}).id, "move-bad");
  EXPECT_EQ(whole(*b), "[1 2]");
  EXPECT_EQ(text_of(s.get()), "ab");
}

// ---------------------------------------------------------------------------
// random.

TEST_F(SeriesActions, RandomShufflesInPlaceAndSeedRepeats) {
  RootedCell seed_text = str("seed");
  RootedCell b1 = parse("1 2 3 4 5 6 7 8 9 10");
  RootedCell b2 = parse("1 2 3 4 5 6 7 8 9 10");
  act(ACT_RANDOM, {*seed_text, logic_cell(true)}, {{"seed", 1}});
  act(ACT_RANDOM, {*b1});
  act(ACT_RANDOM, {*seed_text, logic_cell(true)}, {{"seed", 1}});
  act(ACT_RANDOM, {*b2});
  EXPECT_EQ(whole(*b1), whole(*b2));
  std::vector<int32_t> values;
  for (int32_t i = 0; i < 10; ++i) values.push_back(static_cast<int32_t>(series::element_at(b1.get(), i).data2));
  std::sort(values.begin(), values.end());
  for (int32_t i = 0; i < 10; ++i) EXPECT_EQ(values[i], i + 1);
}

TEST_F(SeriesActions, RandomOnlyPicksOneOrNone) {
  RootedCell empty = parse("");
  EXPECT_EQ(type(act(ACT_RANDOM, {*empty, logic_cell(true)}, {{"only", 1}})), TYPE_NONE);
  RootedCell b = parse("5 6 7");
  for (int i = 0; i < 20; ++i) {
    Cell r = act(ACT_RANDOM, {at(*b, 2), logic_cell(true)}, {{"only", 1}});
    EXPECT_TRUE(r.data2 == 6 || r.data2 == 7);
  }
}

// ---------------------------------------------------------------------------
// Owner notifications.

using SeriesOwnership = OwnershipFixture;

TEST_F(SeriesOwnership, EachChangeIsAnnouncedBeforeAndAfter) {
  RootedCell b = owned("1 2 3 4 5 6");
  act(ACT_POKE, {*b, int_cell(2), int_cell(9)});
  act(ACT_REMOVE, {at(*b, 3), int_cell(2)}, {{"part", 1}});
  act(ACT_REVERSE, {*b});
  act(ACT_TAKE, {*b, logic_cell(true)}, {{"last", 1}});
  act(ACT_MOVE, {*b, at(*b, 3)});
  act(ACT_CLEAR, {at(*b, 2)});
  EXPECT_EQ(heard(),
            "poke:1,1 poked:1,1 remove:2,2 removed:2,2 reverse:0,4 reversed:0,4 take:3,1 taken:3,1 "
            "move:0,1 moved:0,1 clear:1,2 cleared:1,2");
}

TEST_F(SeriesOwnership, NothingIsAnnouncedWhenNothingChangesOrAnErrorComesFirst) {
  RootedCell b = owned("1 2 3 4 5 6");
  act(ACT_CLEAR, {at(*b, 7)});
  act(ACT_REMOVE, {*b, int_cell(0)}, {{"part", 1}});
  act_error(ACT_REVERSE, {*b, int_cell(4)}, {{"skip", 1}});
  act_error(ACT_POKE, {*b, int_cell(9), int_cell(0)});
  EXPECT_EQ(heard(), "");
}

TEST_F(SeriesOwnership, ReflectAndModifyReadAndDropTheOwner) {
  RootedCell b = owned("1 2");
  Cell owned_word = Cell{TYPE_WORD, 0, words::symbol_of(words::SYM_OWNED), 0};
  RootedCell r(act(ACT_REFLECT, {*b, owned_word}));
  ASSERT_EQ(TYPE_OF(r.get()), TYPE_BLOCK);
  EXPECT_EQ(series::element_at(r.get(), 0).data1, owner_->data1);
  act(ACT_MODIFY, {*b, owned_word, none_cell()});
  EXPECT_EQ(type(act(ACT_REFLECT, {*b, owned_word})), TYPE_NONE);
  act(ACT_POKE, {*b, int_cell(1), int_cell(5)});
  EXPECT_EQ(heard(), "");
  Cell other{TYPE_WORD, 0, 12345, 0};
  EXPECT_EQ(act_error(ACT_REFLECT, {*b, other}).id, "not-done");
}

}  // namespace
}  // namespace kiv::testing
