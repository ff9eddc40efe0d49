// The string! actions through the action table, as the interpreter calls
// them: arguments on the stack in a call frame, refinements as positions.
//
// Strings live in RootedCell guards and the collector is enabled, so under
// KIV_GC_TORTURE every few allocations move every buffer while the handlers
// run.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/case_fold.h"
#include "runtime/datatypes/bitset.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/series_common.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/string_actions.h"
#include "runtime/ownership.h"
#include "runtime/words.h"
#include "tests/unit/actions_test_support.h"

namespace kiv {
namespace {

using testing::char_cell;
using testing::int_cell;
using testing::none_cell;
using testing::type_cell;

constexpr int32_t kOn = 1;   // marker of a refinement without argument
constexpr int32_t kOff = -1;

class StringActions : public testing::CoreTypesTest {
 protected:
  // A string holding the text at its narrowest unit, with its head at index.
  RootedCell str(const std::u32string& text, uint32_t index = 0) {
    RootedCell s;
    string::init_cell(s.get(), 0);
    for (size_t i = 0; i < text.size(); ++i)
      string::overwrite_char(string::node_of(s.get()), static_cast<int32_t>(i), static_cast<uint32_t>(text[i]));
    s.get()->data1 = index;
    return s;
  }
  // The characters from the head (or from the buffer's start).
  static std::u32string text(Cell s, bool whole = false) {
    if (whole) s.data1 = 0;
    std::u32string out;
    int32_t n = string::length(&s);
    for (int32_t i = 0; i < n; ++i)
      out.push_back(static_cast<char32_t>(string::char_at_index(&s, string::index_of(&s) + i)));
    return out;
  }
  static uint32_t unit(const Cell& s) { return string::unit_of(&s); }

  // Calls an action with refinement positions given per refinement.
  Cell act(uint32_t action, std::initializer_list<Cell> args, std::vector<int32_t> refs) {
    refs.resize(16, kOff);
    return call_action(action, args, refs);
  }
};

// ---------------------------------------------------------------------------
// append and insert.

enum class Kind { kString, kChar, kInteger };

struct InsertCase {
  const char* what;
  bool append;
  std::u32string series;
  uint32_t head;
  Kind kind;
  std::u32string value;  // text, or the char / the integer's digits
  int32_t part;          // -1: no /part
  int32_t dup;           // -1: no /dup
  std::u32string expect;
  uint32_t expect_index;
};

void PrintTo(const InsertCase& c, std::ostream* os) { *os << c.what; }

class StringInsert : public StringActions, public ::testing::WithParamInterface<InsertCase> {};

TEST_P(StringInsert, WritesTheTextAndAnswersThePosition) {
  const InsertCase& c = GetParam();
  RootedCell s = str(c.series, c.head);
  RootedCell v;
  switch (c.kind) {
    case Kind::kString:
      v = str(c.value);
      break;
    case Kind::kChar:
      v = char_cell(c.value[0]);
      break;
    case Kind::kInteger:
      v = int_cell(std::stoi(std::string(c.value.begin(), c.value.end())));
  }
  std::vector<Cell> args{*s.get(), *v.get()};
  std::vector<int32_t> refs(3, kOff);
  if (c.part >= 0) {
    refs[0] = static_cast<int32_t>(args.size());
    args.push_back(int_cell(c.part));
  }
  if (c.dup >= 0) {
    refs[2] = static_cast<int32_t>(args.size());
    args.push_back(int_cell(c.dup));
  }
  refs.resize(16, kOff);
  Cell word{TYPE_WORD, 0, testing::kFrameSymbol, 0xFFFFFFFF};
  stack::open_call_frame(&word);
  for (const Cell& a : args) stack::push_copy(&a);
  action_table[c.append ? ACT_APPEND : ACT_INSERT](refs.data());
  Cell result = *stack::arguments();
  stack::pop_frame_drop();
  EXPECT_EQ(text(result, true), c.expect) << c.what;
  EXPECT_EQ(result.data1, c.expect_index) << c.what;
  EXPECT_EQ(result.data2, s.get()->data2) << c.what << ": the series itself is changed";
}

INSTANTIATE_TEST_SUITE_P(
    Table, StringInsert,
    ::testing::Values(
        InsertCase{"append at the tail answers the head", true, U"ab", 1, Kind::kString, U"cd", -1, -1, U"abcd", 0},
        InsertCase{"insert at the head answers the place after", false, U"ab", 0, Kind::kString, U"xy", -1, -1, U"xyab", 2},
        InsertCase{"insert in the middle", false, U"abcd", 2, Kind::kString, U"XY", -1, -1, U"abXYcd", 4},
        InsertCase{"insert at the tail behaves as append", false, U"ab", 2, Kind::kString, U"c", -1, -1, U"abc", 3},
        InsertCase{"/part limits the characters", true, U"x", 0, Kind::kString, U"abcdef", 2, -1, U"xab", 0},
        InsertCase{"/part above the length takes all", true, U"x", 0, Kind::kString, U"ab", 9, -1, U"xab", 0},
        InsertCase{"/dup repeats", true, U"x", 0, Kind::kString, U"ab", -1, 3, U"xababab", 0},
        InsertCase{"insert/dup answers after every copy", false, U"z", 0, Kind::kString, U"ab", -1, 2, U"ababz", 4},
        InsertCase{"/part and /dup together", true, U"", 0, Kind::kString, U"abc", 2, 2, U"abab", 0},
        InsertCase{"/dup 0 changes nothing", true, U"ab", 0, Kind::kString, U"c", -1, 0, U"ab", 0},
        InsertCase{"a char", true, U"ab", 0, Kind::kChar, U"c", -1, -1, U"abc", 0},
        InsertCase{"a char with /dup", false, U"ab", 1, Kind::kChar, U"-", -1, 3, U"a---b", 4},
        InsertCase{"an integer is formed", true, U"n=", 0, Kind::kInteger, U"-42", -1, -1, U"n=-42", 0},
        InsertCase{"wide text widens the target", true, U"ab", 0, Kind::kString, U"\u03A9\U0001F600", -1, -1,
                   U"ab\u03A9\U0001F600", 0},
        InsertCase{"a wide char inserted in the middle", false, U"ab", 1, Kind::kChar, U"\u20AC", -1, -1, U"a\u20ACb", 2},
        InsertCase{"narrow text into a wide string", false, U"\u03A9\u03A9", 1, Kind::kString, U"ab", -1, 2,
                   U"\u03A9abab\u03A9", 5}));

TEST_F(StringActions, AppendPartAsAPositionInTheValue) {
  RootedCell s = str(U"x");
  RootedCell v = str(U"abcdef", 1);
  Cell end = *v.get();
  end.data1 = 4;
  Cell r = act(ACT_APPEND, {*s.get(), *v.get(), end}, {2});
  EXPECT_EQ(text(r), U"xbcd");
  // A position before the value's head counts backwards from it.
  end.data1 = 0;
  Cell r2 = act(ACT_APPEND, {*s.get(), *v.get(), end}, {2});
  EXPECT_EQ(text(r2), U"xbcda");
}

TEST_F(StringActions, AppendOfAPositionInAnotherSeriesIsRefused) {
  RootedCell s = str(U"x");
  RootedCell v = str(U"abc");
  RootedCell other = str(U"abc");
  Cell pos = *other.get();
  pos.data1 = 2;
  auto r = raised_by([&] { act(ACT_APPEND, {*s.get(), *v.get(), pos}, {2}); });
  EXPECT_EQ(r.id, "invalid-refine-arg");
  EXPECT_EQ(text(*s.get()), U"x");
}

TEST_F(StringActions, AppendOfACharWidensInPlaceForEveryReference) {
  RootedCell s = str(U"abc");
  RootedCell alias(*s.get());  // another reference to the same series
  alias.get()->data1 = 1;
  ASSERT_EQ(unit(*s.get()), 1u);
  act(ACT_APPEND, {*s.get(), char_cell(0x3A9)}, {});
  EXPECT_EQ(unit(*s.get()), 2u);
  EXPECT_EQ(text(*alias.get()), U"bc\u03A9");
  act(ACT_APPEND, {*s.get(), char_cell(0x1F600)}, {});
  EXPECT_EQ(unit(*alias.get()), 4u);
  EXPECT_EQ(text(*alias.get()), U"bc\u03A9\U0001F600");
}

TEST_F(StringActions, TextFromAWideStringKeepsTheTargetNarrowWhenItFits) {
  RootedCell s = str(U"ab");
  RootedCell wide = str(U"\u03A9xyz", 1);  // unit 2, but only ASCII from its head
  ASSERT_EQ(unit(*wide.get()), 2u);
  act(ACT_APPEND, {*s.get(), *wide.get()}, {});
  EXPECT_EQ(text(*s.get()), U"abxyz");
  EXPECT_EQ(unit(*s.get()), 1u);
}

TEST_F(StringActions, InsertingAStringIntoItselfUsesItsTextBeforeTheMove) {
  RootedCell s = str(U"abc");
  Cell r = act(ACT_INSERT, {*s.get(), *s.get()}, {});
  EXPECT_EQ(text(r, true), U"abcabc");
  EXPECT_EQ(r.data1, 3u);
  // From a position inside: the text from there on, twice, at the tail.
  Cell mid = *s.get();
  mid.data1 = 1;
  Cell r2 = act(ACT_APPEND, {mid, mid, int_cell(2)}, {kOff, kOff, 2});
  EXPECT_EQ(text(r2, true), U"abcabcbcabcbcabc");
}

TEST_F(StringActions, AppendOfBlocksTagsAndTheirParts) {
  RootedCell s = str(U"");
  // A tag! contributes its text between angle brackets.
  RootedCell tag = str(U"a");
  set_type(tag.get(), TYPE_TAG);
  act(ACT_APPEND, {*s.get(), *tag.get()}, {});
  EXPECT_EQ(text(*s.get()), U"<a>");
  // A block contributes each element formed, without separators.
  RootedCell blk;
  block::init_cell(blk.get(), 4);
  RootedCell part1 = str(U"xy");
  block::append_cell(blk.get(), part1.get());
  Cell n = int_cell(12);
  block::append_cell(blk.get(), &n);
  Cell ch = char_cell('!');
  block::append_cell(blk.get(), &ch);
  RootedCell t = str(U"");
  act(ACT_APPEND, {*t.get(), *blk.get()}, {});
  EXPECT_EQ(text(*t.get()), U"xy12!");
  // /part stops inside the formed elements.
  RootedCell u = str(U"");
  act(ACT_APPEND, {*u.get(), *blk.get(), int_cell(3)}, {2});
  EXPECT_EQ(text(*u.get()), U"xy1");
}

TEST_F(StringActions, OverflowingDupRaisesNoMemoryAndChangesNothing) {
  RootedCell s = str(U"ab");
  RootedCell v = str(U"0123456789");
  auto r = raised_by([&] { act(ACT_APPEND, {*s.get(), *v.get(), int_cell(0x7FFFFFFF)}, {kOff, kOff, 2}); });
  EXPECT_TRUE(r.raised);
  EXPECT_EQ(r.id, "no-memory");
  EXPECT_EQ(text(*s.get()), U"ab");
}

TEST_F(StringActions, ManyAppendsWhileBuffersMoveKeepEveryCharacter) {
  RootedCell s = str(U"");
  std::u32string expect;
  for (int i = 0; i < 300; ++i) {
    char32_t c = static_cast<char32_t>(i == 150 ? 0x3A9 : (i == 250 ? 0x1F600 : 'a' + i % 26));
    RootedCell piece = str(std::u32string(2, c));
    act(ACT_APPEND, {*s.get(), *piece.get()}, {});
    expect += std::u32string(2, c);
    alloc_series(64, 1, 0);  // garbage, so that collections find work
  }
  EXPECT_EQ(text(*s.get()), expect);
  EXPECT_EQ(unit(*s.get()), 4u);
}

// ---------------------------------------------------------------------------
// change.

struct ChangeCase {
  const char* what;
  std::u32string series;
  uint32_t head;
  std::u32string value;  // one char when is_char
  bool is_char;
  int32_t part;
  int32_t dup;
  std::u32string expect;
  uint32_t expect_index;
};

void PrintTo(const ChangeCase& c, std::ostream* os) { *os << c.what; }

class StringChange : public StringActions, public ::testing::WithParamInterface<ChangeCase> {};

TEST_P(StringChange, ReplacesAndAnswersThePlaceAfter) {
  const ChangeCase& c = GetParam();
  RootedCell s = str(c.series, c.head);
  RootedCell v = c.is_char ? RootedCell(char_cell(c.value[0])) : str(c.value);
  std::vector<int32_t> refs(3, kOff);
  Cell r;
  if (c.part >= 0 && c.dup >= 0) r = act(ACT_CHANGE, {*s.get(), *v.get(), int_cell(c.part), int_cell(c.dup)}, {2, kOff, 3});
  else if (c.part >= 0) r = act(ACT_CHANGE, {*s.get(), *v.get(), int_cell(c.part)}, {2});
  else if (c.dup >= 0) r = act(ACT_CHANGE, {*s.get(), *v.get(), int_cell(c.dup)}, {kOff, kOff, 2});
  else r = act(ACT_CHANGE, {*s.get(), *v.get()}, {});
  EXPECT_EQ(text(r, true), c.expect) << c.what;
  EXPECT_EQ(r.data1, c.expect_index) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Table, StringChange,
    ::testing::Values(
        ChangeCase{"as many as written", U"abcdef", 1, U"XY", false, -1, -1, U"aXYdef", 3},
        ChangeCase{"a char at the head", U"abc", 0, U"z", true, -1, -1, U"zbc", 1},
        ChangeCase{"longer than the rest extends", U"abc", 2, U"XYZ", false, -1, -1, U"abXYZ", 5},
        ChangeCase{"at the tail appends", U"ab", 2, U"c", false, -1, -1, U"abc", 3},
        ChangeCase{"/part replaces that range", U"abcdef", 1, U"X", false, 3, -1, U"aXef", 2},
        ChangeCase{"/part 0 inserts", U"abc", 1, U"XY", false, 0, -1, U"aXYbc", 3},
        ChangeCase{"/part with empty text removes", U"abcdef", 0, U"", false, 2, -1, U"cdef", 0},
        ChangeCase{"/dup writes the copies over as many", U"abcdefgh", 0, U"xy", false, -1, 2, U"xyxyefgh", 4},
        ChangeCase{"/part and /dup", U"abcdef", 0, U"-", false, 1, 3, U"---bcdef", 3},
        ChangeCase{"a Latin-1 char keeps unit 1", U"abc", 1, U"\u00E9", true, -1, -1, U"a\u00E9c", 2},
        ChangeCase{"a wide char widens", U"abc", 1, U"\U0001F600", true, -1, -1, U"a\U0001F600c", 2}));

TEST_F(StringActions, ChangeOfALatin1CharKeepsUnit1ButAppendWidens) {
  RootedCell s = str(U"abc");
  act(ACT_CHANGE, {*s.get(), char_cell(0xE9)}, {});
  EXPECT_EQ(unit(*s.get()), 1u);
  act(ACT_APPEND, {*s.get(), char_cell(0xE9)}, {});
  EXPECT_EQ(unit(*s.get()), 2u);
  EXPECT_EQ(text(*s.get()), U"\u00E9bc\u00E9");
}

TEST_F(StringActions, ChangePartAsAPositionAndFromAnotherSeriesRefused) {
  RootedCell s = str(U"abcdef");
  Cell end = *s.get();
  end.data1 = 4;
  Cell r = act(ACT_CHANGE, {*s.get(), char_cell('-'), end}, {2});
  EXPECT_EQ(text(r, true), U"-ef");
  RootedCell other = str(U"abc");
  auto e = raised_by([&] { act(ACT_CHANGE, {*s.get(), char_cell('-'), *other.get()}, {2}); });
  EXPECT_EQ(e.id, "invalid-refine-arg");
}

// ---------------------------------------------------------------------------
// find and select.

struct FindCase {
  const char* what;
  std::u32string series;
  uint32_t head;
  std::u32string value;
  bool is_char;
  std::vector<int32_t> flags;  // refinement slots switched on (no argument)
  int32_t part;                // -1: none
  int32_t skip;                // -1: none
  int32_t expect;              // index of the answer, -1 for none
};

void PrintTo(const FindCase& c, std::ostream* os) { *os << c.what; }

class StringFind : public StringActions, public ::testing::WithParamInterface<FindCase> {};

// Refinement slots of find.
enum FindRef { F_PART = 0, F_ONLY, F_CASE, F_SAME, F_ANY, F_WITH, F_SKIP, F_LAST, F_REVERSE, F_TAIL, F_MATCH };

TEST_P(StringFind, AnswersTheSeriesAtTheMatchOrNone) {
  const FindCase& c = GetParam();
  RootedCell s = str(c.series, c.head);
  RootedCell v = c.is_char ? RootedCell(char_cell(c.value[0])) : str(c.value);
  std::vector<Cell> args{*s.get(), *v.get()};
  std::vector<int32_t> refs(16, kOff);
  for (int32_t f : c.flags) refs[static_cast<size_t>(f)] = kOn;
  if (c.part >= 0) {
    refs[F_PART] = static_cast<int32_t>(args.size());
    args.push_back(int_cell(c.part));
  }
  if (c.skip >= 0) {
    refs[F_SKIP] = static_cast<int32_t>(args.size());
    args.push_back(int_cell(c.skip));
  }
  Cell word{TYPE_WORD, 0, testing::kFrameSymbol, 0xFFFFFFFF};
  stack::open_call_frame(&word);
  for (const Cell& a : args) stack::push_copy(&a);
  action_table[ACT_FIND](refs.data());
  Cell r = *stack::arguments();
  stack::pop_frame_drop();
  if (c.expect < 0) {
    EXPECT_EQ(TYPE_OF(&r), TYPE_NONE) << c.what;
  } else {
    ASSERT_EQ(TYPE_OF(&r), TYPE_STRING) << c.what;
    EXPECT_EQ(r.data1, static_cast<uint32_t>(c.expect)) << c.what;
    EXPECT_EQ(r.data2, s.get()->data2) << c.what;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, StringFind,
    ::testing::Values(
        FindCase{"text ignoring case", U"abcABC", 0, U"B", false, {}, -1, -1, 1},
        FindCase{"text with /case", U"abcABC", 0, U"B", false, {F_CASE}, -1, -1, 4},
        FindCase{"text with /same", U"abcABC", 0, U"B", false, {F_SAME}, -1, -1, 4},
        FindCase{"char ignoring case", U"xyzXYZ", 0, U"Z", true, {}, -1, -1, 2},
        FindCase{"char with /case", U"xyzXYZ", 0, U"z", true, {F_CASE}, -1, -1, 2},
        FindCase{"non-ASCII letters fold", U"stra\u00DFe \u00C9t\u00C9", 0, U"\u00E9T", false, {}, -1, -1, 7},
        FindCase{"from the head on", U"abab", 1, U"a", false, {}, -1, -1, 2},
        FindCase{"nothing", U"abc", 0, U"d", false, {}, -1, -1, -1},
        FindCase{"longer than the rest", U"abc", 1, U"bcd", false, {}, -1, -1, -1},
        FindCase{"at the tail", U"abc", 3, U"c", false, {}, -1, -1, -1},
        FindCase{"empty text finds nothing", U"abc", 0, U"", false, {}, -1, -1, -1},
        FindCase{"/tail answers after the match", U"abcabc", 0, U"bc", false, {F_TAIL}, -1, -1, 3},
        FindCase{"/last", U"abcabc", 0, U"bc", false, {F_LAST}, -1, -1, 4},
        FindCase{"/last /tail", U"abcabc", 0, U"bc", false, {F_LAST, F_TAIL}, -1, -1, 6},
        FindCase{"/last stays at or after the head", U"abcabc", 2, U"ab", false, {F_LAST}, -1, -1, 3},
        FindCase{"/reverse from before the head", U"abcabc", 4, U"a", false, {F_REVERSE}, -1, -1, 3},
        FindCase{"/reverse skips the head itself", U"abcabc", 3, U"a", false, {F_REVERSE}, -1, -1, 0},
        FindCase{"/reverse at the head finds nothing", U"abc", 0, U"a", false, {F_REVERSE}, -1, -1, -1},
        FindCase{"/reverse from the tail", U"abcabc", 6, U"c", false, {F_REVERSE}, -1, -1, 5},
        FindCase{"/reverse with /match finds nothing", U"abc", 2, U"a", false, {F_REVERSE, F_MATCH}, -1, -1, -1},
        FindCase{"/match only at the head", U"abcd", 0, U"AB", false, {F_MATCH}, -1, -1, 0},
        FindCase{"/match /tail", U"abcd", 0, U"ab", false, {F_MATCH, F_TAIL}, -1, -1, 2},
        FindCase{"/match elsewhere fails", U"xabcd", 0, U"ab", false, {F_MATCH}, -1, -1, -1},
        FindCase{"/part keeps the match inside", U"abcdef", 0, U"de", false, {}, 4, -1, -1},
        FindCase{"/part long enough", U"abcdef", 0, U"de", false, {}, 5, -1, 3},
        FindCase{"/part 0 finds nothing", U"abc", 0, U"a", false, {}, 0, -1, -1},
        FindCase{"/part with /last", U"abcabcabc", 0, U"a", false, {F_LAST}, 6, -1, 3},
        FindCase{"/part with /reverse counts back", U"abcabc", 5, U"a", false, {F_REVERSE}, 1, -1, -1},
        FindCase{"/part with /reverse reaches", U"abcabc", 5, U"a", false, {F_REVERSE}, 2, -1, 3},
        FindCase{"/skip tests record starts", U"a1b2c3", 0, U"2", false, {}, -1, 2, -1},
        FindCase{"/skip finds a record key", U"a1b2c3", 0, U"c", false, {}, -1, 2, 4},
        FindCase{"/skip /last steps from the last unit", U"xa1ba3", 0, U"a", true, {F_LAST}, -1, 2, 1},
        FindCase{"/skip /last misses keys off its grid", U"a1a2a3", 0, U"a", true, {F_LAST}, -1, 2, -1},
        FindCase{"/skip /last from the /part end", U"xa1ba3", 0, U"a", true, {F_LAST}, 5, 2, 4},
        FindCase{"/skip /last stops at the head", U"a1xa3", 1, U"a", true, {F_LAST}, -1, 2, -1},
        FindCase{"/skip /last text on the grid", U"abXab", 0, U"ab", false, {F_LAST}, -1, 2, 0},
        FindCase{"/skip /last in a wide string", U"\u03A9a1ba3", 0, U"A", true, {F_LAST}, -1, 2, 1},
        FindCase{"/skip /reverse steps from before the head", U"xa1ba3", 6, U"a", true, {F_REVERSE}, -1, 2, 1},
        FindCase{"/skip /reverse tests the unit before the head", U"xa1ba3", 5, U"a", true, {F_REVERSE}, -1, 2, 4},
        FindCase{"wide series, narrow value", U"\u03A9xy\u03A9xy", 1, U"XY", false, {}, -1, -1, 1},
        FindCase{"narrow series, wide value", U"abc", 0, U"\u03A9", false, {}, -1, -1, -1},
        FindCase{"astral chars", U"a\U0001F600b\U0001F600", 2, U"\U0001F600", true, {}, -1, -1, 3}));

TEST_F(StringActions, FindPartAsAPosition) {
  RootedCell s = str(U"abcabc");
  Cell end = *s.get();
  end.data1 = 3;
  Cell r = act(ACT_FIND, {*s.get(), char_cell('c'), end}, {2});
  EXPECT_EQ(r.data1, 2u);
  RootedCell other = str(U"abcabc");
  auto e = raised_by([&] { act(ACT_FIND, {*s.get(), char_cell('c'), *other.get()}, {2}); });
  EXPECT_EQ(e.id, "invalid-refine-arg");
}

TEST_F(StringActions, FindOfFormedValuesBitsetsAndBadArguments) {
  RootedCell s = str(U"ab12cd");
  Cell r = act(ACT_FIND, {*s.get(), int_cell(12)}, {});
  EXPECT_EQ(r.data1, 2u);
  // A bitset! of the digits finds the first digit.
  RootedNode bits(alloc_series(8, 1, 0));
  {
    SeriesBuffer* b = node_buffer(bits);
    std::memset(b->head_ptr(), 0, 8);
    b->head_ptr()['1' >> 3] |= static_cast<uint8_t>(0x80u >> ('1' & 7));
    b->head_ptr()['2' >> 3] |= static_cast<uint8_t>(0x80u >> ('2' & 7));
    b->tail = b->head + 8;
  }
  Cell r2 = act(ACT_FIND, {*s.get(), Cell{TYPE_BITSET, 0, bits, 0}}, {});
  EXPECT_EQ(r2.data1, 2u);
  // A binary! in a string is refused; /any, /with and a /skip below 1 too.
  RootedNode bytes(alloc_bytes(4));
  EXPECT_EQ(raised_by([&] { act(ACT_FIND, {*s.get(), Cell{TYPE_BINARY, 0, bytes, 0}}, {}); }).id, "invalid-arg");
  EXPECT_EQ(raised_by([&] { act(ACT_FIND, {*s.get(), char_cell('a')}, {kOff, kOff, kOff, kOff, kOn}); }).id,
            "not-done");
  EXPECT_EQ(raised_by([&] { act(ACT_FIND, {*s.get(), char_cell('a'), char_cell('?')}, {kOff, kOff, kOff, kOff, kOff, 2}); }).id,
            "not-done");
  EXPECT_EQ(raised_by([&] { act(ACT_FIND, {*s.get(), char_cell('a'), int_cell(0)}, {kOff, kOff, kOff, kOff, kOff, kOff, 2}); }).id,
            "out-of-range");
}

TEST_F(StringActions, FindWithAHeadPastTheTailAnswersNone) {
  RootedCell s = str(U"abcdef", 5);
  RootedCell whole = str(U"");
  *whole.get() = *s.get();
  whole.get()->data1 = 0;
  string::remove_part(whole.get(), 2, 4);  // another reference shortens it
  Cell r = act(ACT_FIND, {*s.get(), char_cell('a')}, {});
  EXPECT_EQ(TYPE_OF(&r), TYPE_NONE);
  Cell r2 = act(ACT_FIND, {*s.get(), char_cell('a')}, {kOff, kOff, kOff, kOff, kOff, kOff, kOff, kOff, kOn});
  ASSERT_EQ(TYPE_OF(&r2), TYPE_STRING);
  EXPECT_EQ(r2.data1, 0u);
}

TEST_F(StringActions, SelectAnswersTheCharAfterTheMatch) {
  RootedCell s = str(U"abc");
  Cell r = act(ACT_SELECT, {*s.get(), char_cell('b')}, {});
  ASSERT_EQ(TYPE_OF(&r), TYPE_CHAR);
  EXPECT_EQ(r.data2, uint32_t('c'));
  Cell r2 = act(ACT_SELECT, {*s.get(), char_cell('c')}, {});
  EXPECT_EQ(TYPE_OF(&r2), TYPE_NONE);
  RootedCell ab = str(U"AB");
  Cell r3 = act(ACT_SELECT, {*s.get(), *ab.get()}, {});
  EXPECT_EQ(r3.data2, uint32_t('c'));
  Cell r4 = act(ACT_SELECT, {*s.get(), *ab.get()}, {kOff, kOff, kOn});
  EXPECT_EQ(TYPE_OF(&r4), TYPE_NONE);
  RootedCell w = str(U"a\U0001F600b\U0001F600");
  Cell r5 = act(ACT_SELECT, {*w.get(), char_cell('a')}, {});
  EXPECT_EQ(r5.data2, 0x1F600u);
}

// ---------------------------------------------------------------------------
// sort.

TEST_F(StringActions, SortIgnoresCaseUnlessAsked) {
  RootedCell s = str(U"cBa");
  act(ACT_SORT, {*s.get()}, {});
  EXPECT_EQ(text(*s.get()), U"aBc");
  RootedCell t = str(U"cBa");
  act(ACT_SORT, {*t.get()}, {kOn});
  EXPECT_EQ(text(*t.get()), U"Bac");
}

TEST_F(StringActions, SortOrderDoesNotDependOnTheStringsUnit) {
  // Ignoring case, characters sort by their lower case: the signs between
  // "Z" and "a" come before the letters, and one text sorts alike whether it
  // sits in 1-, 2- or 4-byte units.
  struct Case {
    std::u32string text, expect;
  } cases[] = {
      {U"b_A", U"_Ab"},
      {U"a[Z]^`", U"[]^`aZ"},
      {U"zY\u00C0x", U"xYz\u00C0"},
      {U"\u03A3\u03B1B_", U"_B\u03B1\u03A3"},
      {U"\U0001042A\U00010401\U00010428", U"\U00010428\U00010401\U0001042A"},
  };
  for (const Case& c : cases) {
    for (uint32_t u : {1u, 2u, 4u}) {
      RootedCell s = str(c.text);
      if (unit(*s.get()) > u) continue;  // the text needs a wider unit
      if (unit(*s.get()) < u) string::widen(string::node_of(s.get()), unit(*s.get()), u);
      ASSERT_EQ(unit(*s.get()), u);
      act(ACT_SORT, {*s.get()}, {});
      EXPECT_EQ(text(*s.get()), c.expect) << "unit " << u;
    }
  }
}

// Sort refinement slots: /case /skip /compare /part /all /reverse /stable.
enum SortRef { S_CASE = 0, S_SKIP, S_COMPARE, S_PART, S_ALL, S_REVERSE, S_STABLE };

TEST_F(StringActions, SortRefinements) {
  struct Case {
    const char* what;
    std::u32string text;
    uint32_t head;
    int32_t skip, compare, part;
    std::vector<int32_t> flags;
    std::u32string expect;  // the whole series
  };
  const Case cases[] = {
      {"from the head only", U"zyxcba", 3, -1, -1, -1, {}, U"zyxabc"},
      {"/reverse", U"acb", 0, -1, -1, -1, {S_REVERSE}, U"cba"},
      {"/part count", U"dcba", 0, -1, -1, 2, {}, U"cdba"},
      {"/part negative sorts before the head", U"dcba", 2, -1, -1, -2, {}, U"cdba"},
      {"/skip sorts records by their first char", U"b2a1c3", 0, 2, -1, -1, {}, U"a1b2c3"},
      {"/skip /stable keeps equal keys in order", U"a3b1a2a1", 0, 2, -1, -1, {S_STABLE}, U"a3a2a1b1"},
      {"/skip /all compares whole records", U"a3b1a2a1", 0, 2, -1, -1, {S_ALL}, U"a1a2a3b1"},
      {"/skip /compare offset", U"a3b1a2", 0, 2, 2, -1, {S_STABLE}, U"b1a2a3"},
      {"/skip /compare /reverse", U"a3b1a2", 0, 2, 2, -1, {S_STABLE, S_REVERSE}, U"a3a2b1"},
      {"wide records", U"\u03A9z\u03B1y", 0, 2, -1, -1, {}, U"\u03B1y\u03A9z"},
  };
  for (const Case& c : cases) {
    RootedCell s = str(c.text, c.head);
    std::vector<Cell> args{*s.get()};
    std::vector<int32_t> refs(16, kOff);
    for (int32_t f : c.flags) refs[static_cast<size_t>(f)] = kOn;
    if (c.skip >= 0) {
      refs[S_SKIP] = static_cast<int32_t>(args.size());
      args.push_back(int_cell(c.skip));
    }
    if (c.compare >= 0) {
      refs[S_COMPARE] = static_cast<int32_t>(args.size());
      args.push_back(int_cell(c.compare));
    }
    if (c.part != -1) {
      refs[S_PART] = static_cast<int32_t>(args.size());
      args.push_back(int_cell(c.part));
    }
    Cell word{TYPE_WORD, 0, testing::kFrameSymbol, 0xFFFFFFFF};
    stack::open_call_frame(&word);
    for (const Cell& a : args) stack::push_copy(&a);
    action_table[ACT_SORT](refs.data());
    Cell r = *stack::arguments();
    stack::pop_frame_drop();
    EXPECT_EQ(text(r, true), c.expect) << c.what;
    EXPECT_EQ(r.data1, c.head) << c.what;
  }
}

TEST_F(StringActions, SortStabilityHoldsForManyEqualKeys) {
  // Records "k<n>" with keys that repeat; /stable must keep each key's
  // records in their input order.
  std::u32string in;
  for (int i = 0; i < 200; ++i) {
    in.push_back(static_cast<char32_t>('a' + (i * 7) % 5));
    in.push_back(static_cast<char32_t>('0' + i % 10));
  }
  RootedCell s = str(in);
  act(ACT_SORT, {*s.get(), int_cell(2)}, {kOff, 1, kOff, kOff, kOff, kOff, kOn});
  std::u32string out = text(*s.get());
  for (char32_t key = 'a'; key <= 'e'; ++key) {
    std::u32string expect_seq, got_seq;
    for (size_t i = 0; i < in.size(); i += 2)
      if (in[i] == key) expect_seq.push_back(in[i + 1]);
    for (size_t i = 0; i < out.size(); i += 2)
      if (out[i] == key) got_seq.push_back(out[i + 1]);
    EXPECT_EQ(got_seq, expect_seq);
  }
  for (size_t i = 2; i < out.size(); i += 2) EXPECT_LE(out[i - 2], out[i]);
}

TEST_F(StringActions, SortErrors) {
  RootedCell s = str(U"abcde");
  EXPECT_EQ(raised_by([&] { act(ACT_SORT, {*s.get(), int_cell(2)}, {kOff, 1}); }).id, "invalid-refine-arg");
  EXPECT_EQ(raised_by([&] { act(ACT_SORT, {*s.get(), int_cell(0)}, {kOff, 1}); }).id, "invalid-refine-arg");
  EXPECT_EQ(raised_by([&] { act(ACT_SORT, {*s.get()}, {kOff, kOff, kOff, kOff, kOn}); }).id, "bad-refines");
  EXPECT_EQ(raised_by([&] { act(ACT_SORT, {*s.get(), int_cell(1)}, {kOff, kOff, 1}); }).id, "bad-refines");
  EXPECT_EQ(raised_by([&] { act(ACT_SORT, {*s.get(), int_cell(5), int_cell(6)}, {kOff, 1, 2}); }).id, "out-of-range");
  RootedCell other = str(U"xyz");
  EXPECT_EQ(raised_by([&] { act(ACT_SORT, {*s.get(), *other.get()}, {kOff, kOff, kOff, 1}); }).id,
            "invalid-refine-arg");
  EXPECT_EQ(text(*s.get()), U"abcde");
}

// A comparator "function" run by a stand-in invoker: g_comparator picks what
// it does with its two arguments (the function cell itself holds no nodes).
enum FakeComparator : uint32_t { kLess, kDifference, kFloatDifference, kRecordsLess, kThrowsOnA, kClearsSeries };
Cell g_sorted_series;
FakeComparator g_comparator;

void fake_invoker(const Cell* function, const Cell* args, uint32_t count, uint32_t kind, Cell* result) {
  ASSERT_EQ(count, 2u);
  ASSERT_EQ(kind, series::kCallbackSort);
  uint32_t a = args[0].data2, b = args[1].data2;
  (void)function;
  switch (g_comparator) {
    case kLess:
      *result = Cell{TYPE_LOGIC, a < b, 0, 0};
      break;
    case kDifference:
      *result = Cell{TYPE_INTEGER, 0, static_cast<uint32_t>(static_cast<int32_t>(a) - static_cast<int32_t>(b)), 0};
      break;
    case kFloatDifference:
      *result = testing::float_cell(static_cast<double>(a) - static_cast<double>(b));
      break;
    case kRecordsLess: {
      Cell x = args[0], y = args[1];
      ASSERT_EQ(TYPE_OF(&x), TYPE_STRING);
      ASSERT_EQ(string::length(&x), 2);
      uint32_t kx = string::char_at_index(&x, 1), ky = string::char_at_index(&y, 1);
      *result = Cell{TYPE_LOGIC, kx < ky, 0, 0};
      break;
    }
    case kThrowsOnA:
      if (a == 'a' || b == 'a') throw LanguageError(ErrorCategory::kUser, "message", "boom");
      *result = Cell{TYPE_LOGIC, a < b, 0, 0};
      break;
    case kClearsSeries: {
      SeriesBuffer* buf = node_buffer(g_sorted_series.data2);
      buf->tail = buf->head;
      *result = Cell{TYPE_LOGIC, a < b, 0, 0};
      break;
    }
  }
}

class StringSortCompare : public StringActions {
 protected:
  void SetUp() override {
    StringActions::SetUp();
    series::set_function_invoker(fake_invoker);
  }
  void TearDown() override {
    series::set_function_invoker(nullptr);
    StringActions::TearDown();
  }
  static Cell fn(FakeComparator what) {
    g_comparator = what;
    return Cell{TYPE_FUNCTION, 0, 0, 0};
  }
};

TEST_F(StringSortCompare, FunctionResultsMapToTheOrder) {
  struct Case {
    const char* what;
    FakeComparator f;
    bool reverse;
    std::u32string in, expect;
  } cases[] = {
      {"logic a < b sorts ascending", kLess, false, U"cabd", U"abcd"},
      {"/reverse hands the records in order", kLess, true, U"cabd", U"dcba"},
      {"an integer a - b sorts ascending", kDifference, false, U"cabd", U"abcd"},
      {"a float a - b sorts ascending", kFloatDifference, false, U"cabd", U"abcd"},
      {"wide characters", kLess, false, U"😀Ωa", U"aΩ😀"},
  };
  for (const Case& c : cases) {
    RootedCell s = str(c.in);
    std::vector<int32_t> refs(16, kOff);
    refs[S_COMPARE] = 1;
    if (c.reverse) refs[S_REVERSE] = kOn;
    act(ACT_SORT, {*s.get(), fn(c.f)}, refs);
    EXPECT_EQ(text(*s.get()), c.expect) << c.what;
  }
}

TEST_F(StringSortCompare, AllHandsWholeRecordsAsStrings) {
  RootedCell s = str(U"a3b1c2");
  act(ACT_SORT, {*s.get(), int_cell(2), fn(kRecordsLess)}, {kOff, 1, 2, kOff, kOn});
  EXPECT_EQ(text(*s.get()), U"b1c2a3");
}

TEST_F(StringSortCompare, AFailingComparatorLeavesEveryCharacter) {
  RootedCell s = str(U"dcbaefg");
  auto e = raised_by([&] { act(ACT_SORT, {*s.get(), fn(kThrowsOnA)}, {kOff, kOff, 1}); });
  EXPECT_EQ(e.id, "message");
  EXPECT_EQ(text(*s.get()), U"dcbaefg");
}

TEST_F(StringSortCompare, AComparatorThatEmptiesTheSeriesCannotCorruptIt) {
  RootedCell s = str(U"dcba");
  g_sorted_series = *s.get();
  act(ACT_SORT, {*s.get(), fn(kClearsSeries)}, {kOff, kOff, 1});
  EXPECT_EQ(text(*s.get()), U"");
}

TEST_F(StringSortCompare, OtherComparatorValuesAreRefused) {
  RootedCell s = str(U"abc");
  RootedCell bad = str(U"x");
  EXPECT_EQ(raised_by([&] { act(ACT_SORT, {*s.get(), *bad.get()}, {kOff, kOff, 1}); }).id, "invalid-refine-arg");
}

// ---------------------------------------------------------------------------
// take, swap.

TEST_F(StringActions, TakeAnswersACharOrAString) {
  RootedCell s = str(U"abcdef");
  Cell c = act(ACT_TAKE, {*s.get()}, {});
  ASSERT_EQ(TYPE_OF(&c), TYPE_CHAR);
  EXPECT_EQ(c.data2, uint32_t('a'));
  EXPECT_EQ(text(*s.get()), U"bcdef");
  Cell last = act(ACT_TAKE, {*s.get()}, {kOff, kOff, kOn});
  EXPECT_EQ(last.data2, uint32_t('f'));
  Cell part = act(ACT_TAKE, {*s.get(), int_cell(2)}, {1});
  ASSERT_EQ(TYPE_OF(&part), TYPE_STRING);
  EXPECT_EQ(text(part), U"bc");
  EXPECT_NE(part.data2, s.get()->data2);
  EXPECT_EQ(text(*s.get()), U"de");
  Cell too_many = act(ACT_TAKE, {*s.get(), int_cell(9)}, {1, kOff, kOn});
  EXPECT_EQ(text(too_many), U"de");
  EXPECT_EQ(text(*s.get()), U"");
  Cell empty = act(ACT_TAKE, {*s.get()}, {});
  EXPECT_EQ(TYPE_OF(&empty), TYPE_NONE);
}

TEST_F(StringActions, TakePartAsAPositionWithAndWithoutLast) {
  RootedCell s = str(U"abcdef", 1);
  Cell pos = *s.get();
  pos.data1 = 4;
  Cell r = act(ACT_TAKE, {*s.get(), pos}, {1});
  EXPECT_EQ(text(r), U"bcd");
  EXPECT_EQ(text(*s.get(), true), U"aef");
  RootedCell t = str(U"abcdef");
  Cell p2 = *t.get();
  p2.data1 = 4;
  Cell r2 = act(ACT_TAKE, {*t.get(), p2}, {1, kOff, kOn});
  EXPECT_EQ(text(r2), U"ef");
  Cell zero = act(ACT_TAKE, {*t.get(), int_cell(0)}, {1});
  ASSERT_EQ(TYPE_OF(&zero), TYPE_STRING);
  EXPECT_EQ(text(zero), U"");
  EXPECT_EQ(text(*t.get()), U"abcd");
}

TEST_F(StringActions, SwapExchangesTheHeadCharsWidening) {
  RootedCell a = str(U"abc", 1);
  RootedCell b = str(U"\u03A9yz");
  act(ACT_SWAP, {*a.get(), *b.get()}, {});
  EXPECT_EQ(text(*a.get(), true), U"a\u03A9c");
  EXPECT_EQ(text(*b.get(), true), U"byz");
  RootedCell at_tail = str(U"x", 1);
  act(ACT_SWAP, {*a.get(), *at_tail.get()}, {});
  EXPECT_EQ(text(*a.get(), true), U"a\u03A9c");
  EXPECT_EQ(raised_by([&] { act(ACT_SWAP, {*a.get(), int_cell(1)}, {}); }).id, "invalid-arg");
}

// ---------------------------------------------------------------------------
// trim.

TEST_F(StringActions, TrimRefinements) {
  struct Case {
    const char* what;
    std::u32string text;
    std::vector<int32_t> flags;  // /head /tail /auto /lines /all
    std::u32string expect;
  };
  const Case cases[] = {
      {"default: ends and around inner line feeds", U"  a  \n  b \t\n\n  ", {}, U"a\nb\n"},
      {"default: no line feed at the end stays without", U" \u3000a b  ", {}, U"a b"},
      {"default: inner blanks stay", U"a   b", {}, U"a   b"},
      {"/head", U" \t a b ", {0}, U"a b "},
      {"/tail", U" a b \n ", {1}, U" a b"},
      {"/head /tail", U"  a \n b  ", {0, 1}, U"a \n b"},
      {"/lines", U"  a  \n\t b \r\n c  ", {3}, U"a b c"},
      {"/all", U" a\tb\r\nc d ", {4}, U"abcd"},
      {"/all keeps other blanks", U"a\u00A0b", {4}, U"a\u00A0b"},
      {"empty", U"", {}, U""},
      {"only blanks", U" \n \t", {}, U""},
  };
  for (const Case& c : cases) {
    RootedCell s = str(c.text);
    std::vector<int32_t> refs(16, kOff);
    for (int32_t f : c.flags) refs[static_cast<size_t>(f)] = kOn;
    Cell r = act(ACT_TRIM, {*s.get()}, refs);
    EXPECT_EQ(text(r), c.expect) << c.what;
  }
}

TEST_F(StringActions, TrimWithRemovesGivenCharsFromTheHeadOn) {
  RootedCell s = str(U"x-a-b-c", 1);
  RootedCell set = str(U"-b");
  act(ACT_TRIM, {*s.get(), *set.get()}, {kOff, kOff, kOff, kOff, kOff, 1});
  EXPECT_EQ(text(*s.get(), true), U"xac");
  RootedCell t = str(U"a.b.c");
  act(ACT_TRIM, {*t.get(), char_cell('.')}, {kOff, kOff, kOff, kOff, kOff, 1});
  EXPECT_EQ(text(*t.get()), U"abc");
  EXPECT_EQ(raised_by([&] { act(ACT_TRIM, {*t.get()}, {kOff, kOff, kOn}); }).id, "not-done");
  EXPECT_EQ(raised_by([&] { act(ACT_TRIM, {*t.get(), none_cell()}, {kOff, kOff, kOff, kOff, kOff, 1}); }).id,
            "invalid-arg");
}

// ---------------------------------------------------------------------------
// Set operations.

TEST_F(StringActions, SetOperationsKeepFirstOccurrencesInOrder) {
  struct Case {
    const char* what;
    int32_t op;
    std::u32string a, b;
    bool case_sensitive;
    int32_t skip;
    std::u32string expect;
  };
  const Case cases[] = {
      {"unique", SET_UNIQUE, U"abacbA", U"", false, -1, U"abc"},
      {"unique /case", SET_UNIQUE, U"abacbA", U"", true, -1, U"abcA"},
      {"union", SET_UNION, U"abca", U"dBe", false, -1, U"abcde"},
      {"intersect", SET_INTERSECT, U"abcdab", U"DBX", false, -1, U"bd"},
      {"exclude", SET_EXCLUDE, U"abcdab", U"bx", false, -1, U"acd"},
      {"difference", SET_DIFFERENCE, U"abc", U"bcd", false, -1, U"ad"},
      {"difference /case", SET_DIFFERENCE, U"abc", U"Abc", true, -1, U"aA"},
      {"union /skip records", SET_UNION, U"a1b2", U"a9c3", false, 2, U"a1b2c3"},
      {"wide chars", SET_INTERSECT, U"\u03A9\U0001F600x", U"\U0001F600\u03C9", false, -1, U"\u03A9\U0001F600"},
  };
  for (const Case& c : cases) {
    RootedCell a = str(c.a);
    RootedCell b = str(c.b);
    RootedCell skip(int_cell(c.skip));
    RootedCell out;
    string::set_operation(c.op, a.get(), b.get(), c.case_sensitive, c.skip > 0 ? skip.get() : nullptr, out.get());
    ASSERT_EQ(TYPE_OF(out.get()), TYPE_STRING) << c.what;
    EXPECT_EQ(text(*out.get()), c.expect) << c.what;
    EXPECT_EQ(text(*a.get()), c.a) << c.what << ": the operands stay";
  }
  RootedCell a = str(U"ab");
  RootedCell out;
  Cell zero = int_cell(0);
  EXPECT_EQ(raised_by([&] { string::set_operation(SET_UNIQUE, a.get(), a.get(), false, &zero, out.get()); }).id,
            "invalid-refine-arg");
}

// ---------------------------------------------------------------------------
// make, to.

TEST_F(StringActions, MakeFromASizeAndErrors) {
  Cell r = act(ACT_MAKE, {type_cell(TYPE_STRING), int_cell(10)}, {});
  ASSERT_EQ(TYPE_OF(&r), TYPE_STRING);
  EXPECT_EQ(text(r), U"");
  EXPECT_GE(node_buffer(r.data2)->size, 10);
  EXPECT_EQ(raised_by([&] { act(ACT_MAKE, {type_cell(TYPE_STRING), int_cell(-1)}, {}); }).id, "out-of-range");
  EXPECT_EQ(raised_by([&] { act(ACT_TO, {type_cell(TYPE_STRING), none_cell()}, {}); }).id, "bad-to-arg");
}

TEST_F(StringActions, ToCopiesFormsJoinsAndDecodes) {
  RootedCell s = str(U"abc\u03A9", 1);
  Cell copy = act(ACT_TO, {type_cell(TYPE_STRING), *s.get()}, {});
  EXPECT_EQ(text(copy), U"bc\u03A9");
  EXPECT_EQ(copy.data1, 0u);
  EXPECT_NE(copy.data2, s.get()->data2);
  Cell n = act(ACT_TO, {type_cell(TYPE_STRING), int_cell(-7)}, {});
  EXPECT_EQ(text(n), U"-7");
  Cell c = act(ACT_MAKE, {type_cell(TYPE_STRING), char_cell(0x20AC)}, {});
  EXPECT_EQ(text(c), U"\u20AC");
  RootedCell blk;
  block::init_cell(blk.get(), 2);
  Cell one = int_cell(1);
  block::append_cell(blk.get(), &one);
  block::append_cell(blk.get(), s.get());
  Cell joined = act(ACT_TO, {type_cell(TYPE_STRING), *blk.get()}, {});
  EXPECT_EQ(text(joined), U"1bc\u03A9");
  // The example value's type is the target.
  Cell as_example = act(ACT_TO, {*s.get(), int_cell(5)}, {});
  EXPECT_EQ(TYPE_OF(&as_example), TYPE_STRING);
}

TEST_F(StringActions, ToFromBinaryDecodesUtf8AndRefusesACutSequence) {
  auto binary = [](std::initializer_list<uint8_t> bytes) {
    uint32_t node = alloc_bytes(static_cast<uint32_t>(bytes.size()));
    SeriesBuffer* b = node_buffer(node);
    std::memcpy(b->head_ptr(), bytes.begin(), bytes.size());
    b->tail = b->head + static_cast<uint32_t>(bytes.size());
    return Cell{TYPE_BINARY, 0, node, 0};
  };
  RootedCell good(binary({'a', 0xC3, 0xA9, 0xE2, 0x82, 0xAC}));
  Cell r = act(ACT_TO, {type_cell(TYPE_STRING), *good.get()}, {});
  EXPECT_EQ(text(r), U"a\u00E9\u20AC");
  RootedCell cut(binary({'a', 0xE2, 0x82}));
  auto e = raised_by([&] { act(ACT_TO, {type_cell(TYPE_STRING), *cut.get()}, {}); });
  EXPECT_EQ(e.category, ErrorCategory::kAccess);
  EXPECT_EQ(e.id, "invalid-utf8");
  ASSERT_EQ(e.args.size(), 1u);
  Cell bytes = *e.args[0].value.get();
  ASSERT_EQ(TYPE_OF(&bytes), TYPE_BINARY);
  EXPECT_EQ(node_buffer(bytes.data2)->length(), 2u);
}

// ---------------------------------------------------------------------------
// Path access.

TEST_F(StringActions, PathPicksPokesSelectsAndSets) {
  RootedCell s = str(U"abc");
  Cell got = *s.get();
  Cell two = int_cell(2);
  Cell* r = dispatch_eval_path(&got, &two, nullptr, nullptr, nullptr, nullptr, 1, {.get = true, .tail = true});
  EXPECT_EQ(r->data2, uint32_t('b'));
  Cell four = int_cell(4);
  Cell again = *s.get();
  EXPECT_EQ(TYPE_OF(dispatch_eval_path(&again, &four, nullptr, nullptr, nullptr, nullptr, 1, {.get = true, .tail = true})),
            TYPE_NONE);
  Cell target = *s.get();
  Cell omega = char_cell(0x3A9);
  dispatch_eval_path(&target, &two, &omega, nullptr, nullptr, nullptr, 1, {.tail = true, .notify = true});
  EXPECT_EQ(text(*s.get()), U"a\u03A9c");
  // Any other element selects, and setting pokes after the match.
  RootedCell key = str(U"A");
  Cell sel = *s.get();
  EXPECT_EQ(dispatch_eval_path(&sel, key.get(), nullptr, nullptr, nullptr, nullptr, 1, {.get = true, .tail = true})->data2,
            0x3A9u);
  Cell set = *s.get();
  Cell z = char_cell('z');
  dispatch_eval_path(&set, key.get(), &z, nullptr, nullptr, nullptr, 1, {.tail = true, .notify = true});
  EXPECT_EQ(text(*s.get()), U"azc");
  RootedCell missing = str(U"q");
  EXPECT_EQ(raised_by([&] {
              Cell p = *s.get();
              dispatch_eval_path(&p, missing.get(), &z, nullptr, nullptr, nullptr, 1, {.tail = true, .notify = true});
            }).id,
            "bad-path-set");
  Cell w{TYPE_WORD, 0, 1, 0};
  EXPECT_EQ(raised_by([&] {
              Cell p = *s.get();
              dispatch_eval_path(&p, &w, nullptr, nullptr, nullptr, nullptr, 1, {.get = true, .tail = true});
            }).id,
            "invalid-path");
  EXPECT_EQ(raised_by([&] {
              Cell p = *s.get();
              Cell nine = int_cell(9);
              dispatch_eval_path(&p, &nine, &z, nullptr, nullptr, nullptr, 1, {.tail = true, .notify = true});
            }).id,
            "out-of-range");
}

// ---------------------------------------------------------------------------
// Owner notifications.

struct Heard {
  uint32_t action_symbol;
  int32_t index, part;
};
std::vector<Heard> g_heard;
uint32_t g_next_symbol;
uint32_t fake_intern(std::string_view) { return ++g_next_symbol; }
void fake_global(uint32_t symbol, Cell* out) { *out = Cell{TYPE_WORD, 0, symbol, 0}; }
void fake_refinement(std::string_view, Cell* out) { *out = Cell{TYPE_REFINEMENT, 0, ++g_next_symbol, 0}; }
void heard(const Cell*, const Cell*, const Cell*, const Cell* action, const Cell*, int32_t index, int32_t part) {
  g_heard.push_back({action->data2, index, part});
}

class StringOwnership : public StringActions {
 protected:
  void SetUp() override {
    StringActions::SetUp();
    ownership::init();
    ownership::set_deep_change_handler(heard);
    g_heard.clear();
    g_next_symbol = 0;
    words::reset();
    words::Loader loader{fake_intern, fake_global, fake_refinement, nullptr};
    words::init_common_words(loader);
    words::init_refinement_words(loader);
  }
  void TearDown() override {
    ownership::init();
    ownership::set_deep_change_handler(nullptr);
    words::reset();
    StringActions::TearDown();
  }
  // An object that wants to hear about changes (word 3 non-zero), owning s.
  void own(Cell* s) {
    RootedNode ctx(alloc_cells(2));
    *series_new_tail_cell(ctx) = Cell{TYPE_CONTEXT | (2u << kFlagContextKindShift), 0, 0, 0};
    *series_new_tail_cell(ctx) = none_cell();
    owner_ = Cell{TYPE_OBJECT, ctx, 0, alloc_cells(2)};
    Cell field{TYPE_WORD, 0, 9999, 0};
    ownership::bind(s, owner_.get(), &field);
  }
  std::vector<uint32_t> heard_words() {
    std::vector<uint32_t> out;
    for (const Heard& h : g_heard) out.push_back(h.action_symbol);
    return out;
  }
  static uint32_t sym(words::Id id) { return words::symbol_of(id); }
  RootedCell owner_;
};

TEST_F(StringOwnership, EveryChangingActionTellsTheOwnerBeforeAndAfter) {
  RootedCell s = str(U"b a c");
  own(s.get());
  act(ACT_APPEND, {*s.get(), char_cell('!')}, {});
  act(ACT_INSERT, {*s.get(), char_cell('<')}, {});
  act(ACT_CHANGE, {*s.get(), char_cell('>')}, {});
  act(ACT_SORT, {*s.get()}, {});
  act(ACT_TRIM, {*s.get()}, {});
  act(ACT_TAKE, {*s.get()}, {});
  RootedCell other = str(U"xy");
  act(ACT_SWAP, {*s.get(), *other.get()}, {});
  std::vector<uint32_t> expect{sym(words::WORD_APPEND), sym(words::WORD_APPENDED), sym(words::KEY_INSERT),
                               sym(words::WORD_INSERTED), sym(words::WORD_CHANGE), sym(words::WORD_CHANGED),
                               sym(words::WORD_SORT),   sym(words::WORD_SORTED),   sym(words::WORD_TRIM),
                               sym(words::WORD_TRIMMED), sym(words::WORD_TAKE),    sym(words::WORD_TAKEN),
                               sym(words::WORD_SWAP),   sym(words::WORD_SWAPED)};
  EXPECT_EQ(heard_words(), expect);
  EXPECT_EQ(g_heard[0].index, 5);  // append: at the old tail
  EXPECT_EQ(g_heard[0].part, 1);
}

TEST_F(StringOwnership, ErrorsComeBeforeAnyNotification) {
  RootedCell s = str(U"abc");
  own(s.get());
  raised_by([&] { act(ACT_SORT, {*s.get(), int_cell(2)}, {kOff, 1}); });
  raised_by([&] { act(ACT_TRIM, {*s.get()}, {kOff, kOff, kOn}); });
  raised_by([&] { act(ACT_TAKE, {*s.get(), none_cell()}, {1}); });
  EXPECT_TRUE(g_heard.empty());
  EXPECT_EQ(text(*s.get()), U"abc");
}

}  // namespace
}  // namespace kiv
