#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/series_common.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/actions.h"
#include "runtime/language_error.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"

namespace kiv {
namespace {

// Blocks of strings and nested blocks, held in RootedCell guards with the
// collector enabled: under KIV_GC_TORTURE every few allocations move every
// buffer while mold, form and append run.
class BlockTest : public ::testing::Test {
 protected:
  CollectorEnableScope enable_{true};

  void SetUp() override {
    stack::init();
    support::init();
    register_datatypes();
  }

  static RootedCell str(const char* text) {
    RootedCell s;
    string::init_cell(s.get(), 0);
    string::append_text(s.get(), text);
    return s;
  }
  static RootedCell blk() {
    RootedCell b;
    block::init_cell(b.get(), 0);
    return b;
  }
  // Appends a value, with the new-line marker when asked.
  static void add(RootedCell& b, const Cell* value, bool new_line = false) {
    Cell v = *value;
    if (new_line) v.header |= kFlagNewLine;
    else clear_new_line(&v);
    block::append_cell(b.get(), &v);
  }
  static void add(RootedCell& b, const char* text, bool new_line = false) {
    RootedCell s = str(text);
    add(b, s.get(), new_line);
  }
  // A block of strings, one per character of `texts` separated by spaces.
  static RootedCell strings(std::initializer_list<const char*> texts) {
    RootedCell b = blk();
    for (const char* t : texts) add(b, t);
    return b;
  }

  static std::string text(const Cell* s) {
    Cell v = *s;
    std::string out;
    int32_t n = string::length(&v);
    for (int32_t i = 0; i < n; ++i) {
      uint32_t c = string::char_at_index(&v, string::index_of(&v) + i);
      out.push_back(c < 128 ? static_cast<char>(c) : '?');
    }
    return out;
  }

  static std::string mold(Cell* value, bool only = false, bool flat = false, int32_t indent = 0) {
    RootedCell out;
    string::init_cell(out.get(), 0);
    Cell v = *value;
    Handler h = type_handler(TYPE_OF(&v), ACT_MOLD);
    handler_as<ACT_MOLD>(h)(&v, out.get(), {.only = only, .flat = flat}, nullptr, kNoPartLimit, indent);
    return text(out.get());
  }
  static std::string form(Cell* value) {
    RootedCell out;
    string::init_cell(out.get(), 0);
    Cell v = *value;
    block::form(&v, out.get(), nullptr, kNoPartLimit);
    return text(out.get());
  }

  static void churn() {
    for (int i = 0; i < 5; ++i) alloc_series(64, 1, 0);
  }
};

// ---------------------------------------------------------------------------
// Mold and form.

TEST_F(BlockTest, MoldSeparatesValuesBySpaces) {
  RootedCell b = strings({"a", "b"});
  EXPECT_EQ(mold(b.get()), "[\"a\" \"b\"]");
  RootedCell empty = blk();
  EXPECT_EQ(mold(empty.get()), "[]");
}

struct NewLineCase {
  bool first, second;
  bool only, flat;
  const char* expect;
  const char* what;
};

TEST_F(BlockTest, MoldWritesNewLineMarkersWithIndentation) {
  const NewLineCase cases[] = {
      {true, false, false, false, "[\n    \"a\" \"b\"\n]", "a marked first value indents and closes on a new line"},
      {true, true, false, false, "[\n    \"a\"\n    \"b\"\n]", "both marked"},
      {false, true, false, false, "[\"a\"\n\"b\"]", "only a later value marked: no indent, no closing line"},
      {true, true, false, true, "[\"a\" \"b\"]", "flat ignores the markers"},
      {true, false, true, false, "\"a\" \"b\"", "only: no brackets and no first line feed"},
      {true, true, true, false, "\"a\"\n\"b\"", "only with both marked"},
  };
  for (const auto& c : cases) {
    RootedCell b = blk();
    add(b, "a", c.first);
    add(b, "b", c.second);
    EXPECT_EQ(mold(b.get(), c.only, c.flat), c.expect) << c.what;
  }
}

TEST_F(BlockTest, NestedMarkedBlocksIndentFourMoreSpacesPerLevel) {
  RootedCell inner = blk();
  add(inner, "x", true);
  add(inner, "y", true);
  RootedCell outer = blk();
  add(outer, inner.get(), true);
  add(outer, "z", true);
  EXPECT_EQ(mold(outer.get()), "[\n    [\n        \"x\"\n        \"y\"\n    ]\n    \"z\"\n]");
  // A marked later value inside a block that is already indented by one level.
  EXPECT_EQ(mold(inner.get(), false, false, 1), "[\n        \"x\"\n        \"y\"\n    ]");
  RootedCell second = blk();
  add(second, "p");
  add(second, "q", true);
  EXPECT_EQ(mold(second.get(), false, false, 1), "[\"p\"\n    \"q\"]");
}

TEST_F(BlockTest, MoldAndFormStopAtASelfReference) {
  RootedCell b = blk();
  add(b, b.get());
  EXPECT_EQ(mold(b.get()), "[[...]]");
  EXPECT_EQ(form(b.get()), "...");
  RootedCell p = blk();
  set_type(p.get(), TYPE_PAREN);
  add(p, "a");
  add(p, p.get());
  EXPECT_EQ(mold(p.get()), "(\"a\" (...))");
  EXPECT_EQ(support::cycle_stack::count(), 0u);
}

TEST_F(BlockTest, FormFlattensNestedBlocksWithSpaces) {
  RootedCell inner = strings({"2", "3"});
  RootedCell b = strings({"1"});
  add(b, inner.get());
  add(b, "a");
  EXPECT_EQ(form(b.get()), "1 2 3 a");
  RootedCell lines = strings({"x\n", "y", "\t", "z"});
  EXPECT_EQ(form(lines.get()), "x\ny \tz");  // no space after a line feed or a tab
}

TEST_F(BlockTest, MoldAndFormStartAtTheHead) {
  RootedCell b = strings({"a", "b", "c"});
  b->data1 = 1;
  EXPECT_EQ(mold(b.get()), "[\"b\" \"c\"]");
  b->data1 = 3;
  EXPECT_EQ(mold(b.get()), "[]");
}

TEST_F(BlockTest, MoldPartStopsWhenTheLimitRunsOut) {
  RootedCell b = strings({"aaaa", "bbbb", "cccc"});
  RootedCell out;
  string::init_cell(out.get(), 0);
  Cell part{TYPE_INTEGER, 0, 8, 0};
  Cell v = *b.get();
  int32_t left = block::mold(&v, out.get(), {}, &part, 8, 0);
  // "[" and the first value in quotes leave 1; the space leaves 0, so the
  // second string is cut to nothing and the third is not written. The mold
  // action then cuts the output to the /part length.
  EXPECT_EQ(text(out.get()), "[\"aaaa\" \"\"]");
  EXPECT_EQ(left, -3);
}

TEST_F(BlockTest, ParenMoldsInParentheses) {
  RootedCell p = strings({"1", "2"});
  set_type(p.get(), TYPE_PAREN);
  EXPECT_EQ(mold(p.get()), "(\"1\" \"2\")");
  EXPECT_EQ(mold(p.get(), true), "\"1\" \"2\"");
  RootedCell b = blk();
  add(b, p.get());
  EXPECT_EQ(mold(b.get()), "[(\"1\" \"2\")]");
}

TEST_F(BlockTest, LargeNestedMoldSurvivesMovingBuffers) {
  RootedCell outer = blk();
  std::string expect = "[";
  for (int i = 0; i < 60; ++i) {
    RootedCell inner = strings({"ab", "cd"});
    add(outer, inner.get(), i % 7 == 0);
    churn();
  }
  for (int i = 0; i < 60; ++i) {
    if (i % 7 == 0) expect += "\n    ";
    else if (i) expect += " ";
    expect += "[\"ab\" \"cd\"]";
  }
  expect += "\n]";
  EXPECT_EQ(mold(outer.get()), expect);
}

TEST_F(BlockTest, MoldAndFormOfIntegersAndNestedBlocks) {
  RootedCell b = blk();
  Cell one{TYPE_INTEGER, 0, 1, 0}, two{TYPE_INTEGER, 0, 2, 0}, three{TYPE_INTEGER, 0, 3, 0};
  add(b, &one);
  add(b, &two);
  EXPECT_EQ(mold(b.get()), "[1 2]");
  RootedCell inner = blk();
  add(inner, &two);
  add(inner, &three);
  RootedCell outer = blk();
  add(outer, &one);
  add(outer, inner.get());
  add(outer, "a");
  EXPECT_EQ(form(outer.get()), "1 2 3 a");
  EXPECT_EQ(mold(outer.get()), "[1 [2 3] \"a\"]");
}

// ---------------------------------------------------------------------------
// Comparison.

TEST_F(BlockTest, CompareOfIntegersAndMixedTypes) {
  Cell one{TYPE_INTEGER, 0, 1, 0}, two{TYPE_INTEGER, 0, 2, 0}, three{TYPE_INTEGER, 0, 3, 0};
  RootedCell a = blk(), b = blk(), c = blk();
  add(a, &one);
  add(a, &two);  // [1 2]
  add(b, &one);
  add(b, &two);
  add(b, &three);  // [1 2 3]
  add(c, &one);
  add(c, "a");  // [1 "a"]
  EXPECT_EQ(block::compare(a.get(), b.get(), COMP_LESSER), -1);
  // "a" (string! 7) against 2 (integer! 11): the type ids decide.
  EXPECT_EQ(block::compare(c.get(), a.get(), COMP_LESSER), -1);
  EXPECT_EQ(block::compare(a.get(), c.get(), COMP_LESSER), 1);
}

TEST_F(BlockTest, CompareOrdersByCellsThenLength) {
  RootedCell ab = strings({"a", "b"}), abc = strings({"a", "b", "c"}), empty = blk();
  RootedCell AB = strings({"A", "B"}), ac = strings({"a", "c"});
  const struct {
    Cell* x;
    Cell* y;
    int32_t op;
    int32_t expect;
    const char* what;
  } cases[] = {
      {ab.get(), abc.get(), COMP_LESSER, -1, "a prefix is lesser"},
      {abc.get(), ab.get(), COMP_LESSER, 1, "longer is greater"},
      {ab.get(), abc.get(), COMP_EQUAL, 1, "different lengths are not equal"},
      {ab.get(), AB.get(), COMP_EQUAL, 0, "cells compare ignoring case"},
      {ab.get(), AB.get(), COMP_STRICT_EQUAL, 1, "strict equality keeps case"},
      {ab.get(), ac.get(), COMP_LESSER, -1, "the first differing cell decides"},
      {empty.get(), ab.get(), COMP_LESSER, -1, "[] is lesser than a non-empty block"},
      {ab.get(), empty.get(), COMP_LESSER, 1, "and the other way round agrees"},
      {empty.get(), empty.get(), COMP_EQUAL, 0, "empty blocks are equal"},
  };
  for (const auto& c : cases) EXPECT_EQ(block::compare(c.x, c.y, c.op), c.expect) << c.what;
}

TEST_F(BlockTest, IncompatibleCellsCompareByTypeId) {
  RootedCell with_string = strings({"a"});
  RootedCell with_block = blk();
  RootedCell nested = blk();
  add(with_block, nested.get());
  // string! (7) against block! (5)
  EXPECT_EQ(block::compare(with_string.get(), with_block.get(), COMP_LESSER), 1);
  EXPECT_EQ(block::compare(with_block.get(), with_string.get(), COMP_LESSER), -1);
}

TEST_F(BlockTest, CompareOfDifferentTypesOrSameSeries) {
  RootedCell b = strings({"a"});
  Cell paren = *b.get();
  set_type(&paren, TYPE_PAREN);
  EXPECT_EQ(block::compare(b.get(), &paren, COMP_EQUAL), kNotComparable);
  Cell alias = *b.get();
  EXPECT_EQ(block::compare(b.get(), &alias, COMP_SAME), 0);
  RootedCell copy = strings({"a"});
  EXPECT_EQ(block::compare(b.get(), copy.get(), COMP_SAME), -1);
  EXPECT_EQ(block::compare(b.get(), copy.get(), COMP_EQUAL), 0);
}

TEST_F(BlockTest, SelfReferringBlocksCompareWithoutEndlessRecursion) {
  RootedCell x = blk(), y = blk();
  add(x, x.get());
  add(y, y.get());
  EXPECT_EQ(block::compare(x.get(), y.get(), COMP_EQUAL), 0);
  EXPECT_EQ(support::cycle_stack::count(), 0u);
}

// ---------------------------------------------------------------------------
// append and insert.

class BlockInsertTest : public BlockTest {
 protected:
  static std::string contents(const RootedCell& b) {
    Cell v = *b.get();
    v.data1 = 0;
    return mold(&v);
  }
};

TEST_F(BlockInsertTest, AppendSpreadsABlockAndAnswersTheHead) {
  RootedCell b = strings({"1"});
  b->data1 = 1;
  RootedCell v = strings({"2", "3"});
  block::insert(b.get(), v.get(), -1, false, 1, true);
  EXPECT_EQ(b->data1, 0u);
  EXPECT_EQ(contents(b), "[\"1\" \"2\" \"3\"]");
}

TEST_F(BlockInsertTest, AppendOnlyDupAndPart) {
  RootedCell v = strings({"2", "3"});
  RootedCell only = strings({"1"});
  block::insert(only.get(), v.get(), -1, true, 1, true);
  EXPECT_EQ(contents(only), "[\"1\" [\"2\" \"3\"]]");

  RootedCell dup = blk();
  RootedCell x = str("x");
  block::insert(dup.get(), x.get(), -1, false, 3, true);
  EXPECT_EQ(contents(dup), "[\"x\" \"x\" \"x\"]");

  RootedCell part = blk();
  RootedCell abc = strings({"a", "b", "c"});
  block::insert(part.get(), abc.get(), 2, false, 2, true);
  EXPECT_EQ(contents(part), "[\"a\" \"b\" \"a\" \"b\"]");

  RootedCell none_added = strings({"k"});
  block::insert(none_added.get(), abc.get(), -1, false, 0, true);  // dup below 1
  block::insert(none_added.get(), abc.get(), 0, false, 1, true);   // part 0
  EXPECT_EQ(contents(none_added), "[\"k\"]");
}

struct InsertCase {
  uint32_t head;
  const char* expect;
  uint32_t answer_head;
};

TEST_F(BlockInsertTest, InsertAtHeadMiddleAndTailAnswersThePositionAfter) {
  const InsertCase cases[] = {
      {0, "[\"x\" \"y\" \"a\" \"b\"]", 2},
      {1, "[\"a\" \"x\" \"y\" \"b\"]", 3},
      {2, "[\"a\" \"b\" \"x\" \"y\"]", 4},
      {9, "[\"a\" \"b\" \"x\" \"y\"]", 4},  // a head past the tail inserts at the tail
  };
  for (const auto& c : cases) {
    RootedCell b = strings({"a", "b"});
    b->data1 = c.head;
    RootedCell v = strings({"x", "y"});
    block::insert(b.get(), v.get(), -1, false, 1, false);
    EXPECT_EQ(b->data1, c.answer_head) << "head " << c.head;
    EXPECT_EQ(contents(b), c.expect) << "head " << c.head;
  }
}

TEST_F(BlockInsertTest, InsertingABlockIntoItselfUsesItsCellsBeforeTheMove) {
  RootedCell b = strings({"a", "b", "c"});
  Cell tail_part = *b.get();
  tail_part.data1 = 1;  // ["b" "c"]
  block::insert(b.get(), &tail_part, -1, false, 1, false);
  EXPECT_EQ(contents(b), "[\"b\" \"c\" \"a\" \"b\" \"c\"]");
  RootedCell self = strings({"p", "q"});
  block::insert(self.get(), self.get(), -1, false, 2, true);
  EXPECT_EQ(contents(self), "[\"p\" \"q\" \"p\" \"q\" \"p\" \"q\"]");
}

TEST_F(BlockInsertTest, ManyAppendsKeepEveryValueWhileBuffersMove) {
  uint32_t cycles = collector::series_cycles();
  RootedCell b = blk();
  for (int i = 0; i < 300; ++i) {
    RootedCell s = str(std::to_string(i).c_str());
    block::insert(b.get(), s.get(), -1, false, 1, true);
    churn();
  }
  if (collector::torture_interval() > 0) {
    EXPECT_GT(collector::series_cycles(), cycles + 10);
  }
  collector::collect();
  ASSERT_EQ(block::rs_length_q(b.get()), 300);
  for (int i = 0; i < 300; i += 37) EXPECT_EQ(text(block::cell_at(b.get(), i)), std::to_string(i));
}

TEST_F(BlockInsertTest, OverflowingDupRaisesNoMemoryAndChangesNothing) {
  RootedCell b = strings({"a"});
  RootedCell v = strings({"x", "y"});
  try {
    block::insert(b.get(), v.get(), -1, false, 0x7FFFFFFF, true);
    FAIL() << "expected internal/no-memory";
  } catch (const LanguageError& e) {
    EXPECT_EQ(e.category, ErrorCategory::kInternal);
    EXPECT_EQ(e.id, "no-memory");
  }
  EXPECT_EQ(contents(b), "[\"a\"]");
}

// ---------------------------------------------------------------------------
// pick and length? (inherited from series!).

TEST_F(BlockTest, PickCountsFromTheHead) {
  RootedCell b = strings({"a", "b", "c", "d"});
  const struct {
    uint32_t head;
    int32_t index;
    const char* expect;  // nullptr: none
  } cases[] = {
      {0, 1, "a"}, {0, 4, "d"}, {0, 5, nullptr}, {0, 0, nullptr}, {0, -1, nullptr},
      {2, 1, "c"}, {2, -1, "b"}, {2, -2, "a"},  {2, -3, nullptr}, {4, 1, nullptr},
      {4, -1, "d"},
  };
  for (const auto& c : cases) {
    Cell s = *b.get();
    s.data1 = c.head;
    Cell* r = series::pick(&s, c.index, nullptr);
    if (c.expect == nullptr) {
      EXPECT_EQ(TYPE_OF(r), TYPE_NONE) << "head " << c.head << " index " << c.index;
    } else {
      ASSERT_EQ(TYPE_OF(r), TYPE_STRING) << "head " << c.head << " index " << c.index;
      EXPECT_EQ(text(r), c.expect);
    }
  }
}

TEST_F(BlockTest, PickOfAStringAnswersChars) {
  RootedCell s = str("ab");
  string::append_char(s.get(), 0x1F600);
  Cell v = *s.get();
  Cell* r = series::pick(&v, 3, nullptr);
  ASSERT_EQ(TYPE_OF(r), TYPE_CHAR);
  EXPECT_EQ(r->data2, 0x1F600u);
}

TEST_F(BlockTest, LengthFromTheHeadClampsAHeadPastTheTail) {
  RootedCell b = strings({"a", "b", "c"});
  Cell view = *b.get();
  view.data1 = 2;
  EXPECT_EQ(series::length_q(&view), 1);
  block::truncate_at(b.get(), 1);
  EXPECT_EQ(series::length_q(&view), 0);
  EXPECT_EQ(view.data1, 1u);
}

TEST_F(BlockTest, SelectValueAnswersTheCellAfterTheFirstMatch) {
  RootedCell b = strings({"a", "1", "b", "2"});
  RootedCell key_b = str("B"), key_2 = str("2"), key_x = str("x");
  Cell r = block::select_value(b.get(), key_b.get());
  EXPECT_EQ(text(&r), "2");  // find's equality ignores case
  EXPECT_EQ(TYPE_OF(&(r = block::select_value(b.get(), key_2.get()))), TYPE_NONE);  // match is last
  EXPECT_EQ(TYPE_OF(&(r = block::select_value(b.get(), key_x.get()))), TYPE_NONE);
  b->data1 = 3;  // from the head only
  EXPECT_EQ(TYPE_OF(&(r = block::select_value(b.get(), key_b.get()))), TYPE_NONE);
}

TEST_F(BlockInsertTest, RemoveFoundSearchesFromTheHeadOrTheStart) {
  RootedCell b = strings({"a", "b", "a", "c"});
  b->data1 = 1;
  RootedCell a = str("a"), z = str("z");
  EXPECT_FALSE(block::remove_found(b.get(), a.get(), false));  // the "a" at index 2
  EXPECT_EQ(contents(b), "[\"a\" \"b\" \"c\"]");
  EXPECT_TRUE(block::remove_found(b.get(), a.get(), true));  // index 0, before the head
  EXPECT_EQ(contents(b), "[\"b\" \"c\"]");
  EXPECT_FALSE(block::remove_found(b.get(), z.get(), true));
}

TEST_F(BlockTest, AppendTopMovesTheLastPushedValueIntoTheBlockBelow) {
  RootedCell b = strings({"a"});
  block::push(b.get());
  RootedCell s = str("b");
  stack::push_copy(s.get());
  uint32_t top = stack::top_index();
  block::append_top();
  EXPECT_EQ(stack::top_index(), top - 1);
  EXPECT_EQ(mold(b.get()), "[\"a\" \"b\"]");
}

// ---------------------------------------------------------------------------
// make.

TEST_F(BlockTest, MakeFromASizeOrAShallowCopy) {
  Cell type = datatype_cell(TYPE_BLOCK);
  Cell size{TYPE_INTEGER, 0, 10, 0};
  Cell* r = block::make(&type, &size);
  EXPECT_EQ(TYPE_OF(r), TYPE_BLOCK);
  EXPECT_EQ(block::rs_length_q(r), 0);

  RootedCell inner = strings({"x"});
  RootedCell src = strings({"a", "b"});
  add(src, inner.get());
  src->data1 = 1;
  Cell paren_type = datatype_cell(TYPE_PAREN);
  r = block::make(&paren_type, src.get());
  RootedCell made(*r);
  EXPECT_EQ(TYPE_OF(made.get()), TYPE_PAREN);
  EXPECT_NE(block::node_of(made.get()), block::node_of(src.get()));
  EXPECT_EQ(mold(made.get()), "(\"b\" [\"x\"])");
  // Shallow: the nested block is shared.
  EXPECT_EQ(block::node_of(block::cell_at(made.get(), 1)), block::node_of(inner.get()));
}

TEST_F(BlockTest, MakeFromAnUnusableSpecRaisesBadMakeArg) {
  Cell type = datatype_cell(TYPE_BLOCK);
  RootedCell spec = str("text");
  try {
    block::make(&type, spec.get());
    FAIL() << "expected script/bad-make-arg";
  } catch (const LanguageError& e) {
    EXPECT_EQ(e.category, ErrorCategory::kScript);
    EXPECT_EQ(e.id, "bad-make-arg");
  }
}

TEST_F(BlockTest, DeepCopyCopiesNestedBlocksAndRefusesCycles) {
  RootedCell inner = strings({"x"});
  RootedCell src = blk();
  add(src, inner.get());
  RootedCell copy;
  *copy = Cell{TYPE_BLOCK, 0, block::copy_cells(src.get(), true, false), 0};
  EXPECT_NE(block::node_of(block::cell_at(copy.get(), 0)), block::node_of(inner.get()));
  EXPECT_EQ(mold(copy.get()), "[[\"x\"]]");

  RootedCell cyclic = blk();
  add(cyclic, cyclic.get());
  try {
    block::copy_cells(cyclic.get(), true, false);
    FAIL() << "expected internal/no-cycle";
  } catch (const LanguageError& e) {
    EXPECT_EQ(e.id, "no-cycle");
  }
  EXPECT_EQ(support::cycle_stack::count(), 0u);
}

}  // namespace
}  // namespace kiv
