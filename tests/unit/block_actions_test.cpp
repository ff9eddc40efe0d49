// block!'s own actions where a case table cannot reach: sort comparators that
// call back into Kiv (through the function invoker, here a C++ stand-in),
// the set operations, hash! index upkeep and the owner notifications of
// block!'s changing actions.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "runtime/datatypes/block.h"
#include "runtime/datatypes/series_common.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/hashtable.h"
#include "runtime/ownership.h"
#include "tests/unit/series_test_support.h"

namespace kiv::testing {
namespace {

// A function! value as the sort sees it: only its type matters here.
Cell function_cell() { return Cell{TYPE_FUNCTION, 0, 0, 0}; }

class BlockSort : public SeriesFixture {
 protected:
  // Installs a comparator standing in for a Kiv function: it receives the
  // two values as the function would and answers its result.
  template <typename F>
  void comparator(F f) {
    series::set_function_invoker([this, f](const Cell* fn, const Cell* args, uint32_t count, uint32_t kind,
                                           Cell* result) {
      EXPECT_EQ(TYPE_OF(fn), TYPE_FUNCTION);
      EXPECT_EQ(count, 2u);
      EXPECT_EQ(kind, series::kCallbackSort);
      ++calls_;
      *result = f(args[0], args[1]);
    });
  }
  int calls_ = 0;
};

// The function is called with the second value first: a "less than"
// function sorts ascending, and /reverse turns it around.
TEST_F(BlockSort, FunctionComparatorGetsTheSecondValueFirst) {
  comparator([](const Cell& x, const Cell& y) { return logic_cell(static_cast<int32_t>(x.data2) < static_cast<int32_t>(y.data2)); });
  RootedCell b = parse("3 1 4 1 5 9 2 6");
  act(ACT_SORT, {*b, function_cell()}, {{"compare", 1}});
  EXPECT_EQ(whole(*b), "[1 1 2 3 4 5 6 9]");
  EXPECT_GT(calls_, 0);
  act(ACT_SORT, {*b, function_cell(), logic_cell(true)}, {{"compare", 1}, {"reverse", 2}});
  EXPECT_EQ(whole(*b), "[9 6 5 4 3 2 1 1]");
}

TEST_F(BlockSort, FunctionResultsOfEveryType) {
  struct {
    Cell result;
    int32_t sign;
  } cases[] = {
      {logic_cell(true), 1},    {logic_cell(false), -1}, {int_cell(-7), -1},  {int_cell(0), 0},
      {int_cell(3), 1},         {float_cell(0.5), 1},    {float_cell(-2), -1}, {float_cell(0), 0},
      {float_cell(std::nan("")), 0}, {none_cell(), -1}, {unset_cell(), 1},
  };
  for (const auto& c : cases) EXPECT_EQ(series::comparator_result(&c.result), c.sign);
}

TEST_F(BlockSort, WholeRecordsGoToTheFunctionWithAllAndSkip) {
  std::vector<std::string> seen;
  comparator([&](const Cell& x, const Cell& y) {
    seen.push_back(mold(x));
    // Orders records by their second value.
    Cell a = series::element_at(&x, 1), b = series::element_at(&y, 1);
    return logic_cell(static_cast<int32_t>(a.data2) < static_cast<int32_t>(b.data2));
  });
  RootedCell b = parse("1 30 2 10 3 20");
  act(ACT_SORT, {*b, int_cell(2), function_cell(), logic_cell(true)}, {{"skip", 1}, {"compare", 2}, {"all", 3}});
  EXPECT_EQ(whole(*b), "[2 10 3 20 1 30]");
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen[0].size() > 2 && seen[0].front() == '[', true) << seen[0];
}

// A comparator that fails part-way leaves every value in place.
TEST_F(BlockSort, AFailingComparatorLeavesTheBlockWhole) {
  comparator([&](const Cell& x, const Cell& y) {
    if (calls_ == 5) throw LanguageError(ErrorCategory::kUser, "message");
    return logic_cell(static_cast<int32_t>(x.data2) < static_cast<int32_t>(y.data2));
  });
  RootedCell b = parse("5 3 8 1 9 2 7 4 6");
  Raised e = act_error(ACT_SORT, {*b, function_cell()}, {{"compare", 1}});
  EXPECT_EQ(e.id, "message");
  EXPECT_EQ(whole(*b), "[5 3 8 1 9 2 7 4 6]");
}

// The comparator's code may change the block it sorts: the sort reads past
// the new tail as none and never writes outside the block.
TEST_F(BlockSort, AComparatorThatShortensTheBlockDoesNoHarm) {
  RootedCell b = parse("5 3 8 1 9 2 7 4 6");
  comparator([&](const Cell& x, const Cell& y) {
    if (calls_ == 3) {
      Cell s = *b;
      s.data1 = 2;
      series::clear(&s);
    }
    return logic_cell(static_cast<int32_t>(x.data2) < static_cast<int32_t>(y.data2));
  });
  act(ACT_SORT, {*b, function_cell()}, {{"compare", 1}});
  EXPECT_EQ(whole(*b), "[5 3]");
}

TEST_F(BlockSort, WithoutAnInvokerAFunctionComparatorIsNotDone) {
  RootedCell b = parse("2 1");
  EXPECT_EQ(act_error(ACT_SORT, {*b, function_cell()}, {{"compare", 1}}).id, "not-done");
  EXPECT_EQ(whole(*b), "[2 1]");
}

// Equal keys keep their order under /stable whatever the input size (the
// merge sort runs over natural runs of many lengths).
TEST_F(BlockSort, StableSortKeepsTheOrderOfEqualRecords) {
  RootedCell b = parse("");
  const int kRecords = 300;
  for (int i = 0; i < kRecords; ++i) {
    Cell key = int_cell((i * 7919) % 13), seq = int_cell(i);
    block::append_cell(b.get(), &key);
    block::append_cell(b.get(), &seq);
  }
  act(ACT_SORT, {*b, int_cell(2), int_cell(1), logic_cell(true)}, {{"skip", 1}, {"compare", 2}, {"stable", 3}});
  for (int i = 1; i < kRecords; ++i) {
    int32_t k0 = static_cast<int32_t>(series::element_at(b.get(), 2 * (i - 1)).data2);
    int32_t k1 = static_cast<int32_t>(series::element_at(b.get(), 2 * i).data2);
    int32_t s0 = static_cast<int32_t>(series::element_at(b.get(), 2 * (i - 1) + 1).data2);
    int32_t s1 = static_cast<int32_t>(series::element_at(b.get(), 2 * i + 1).data2);
    ASSERT_TRUE(k0 < k1 || (k0 == k1 && s0 < s1)) << i;
  }
}

// ---------------------------------------------------------------------------
// Set operations.

class BlockSets : public SeriesFixture {
 protected:
  std::string run(int32_t op, const char* a, const char* b, int32_t skip = 0, bool case_sensitive = false) {
    RootedCell x = parse(a), y = parse(b);
    Cell s = int_cell(skip);
    block::set_operation(x.get(), y.get(), case_sensitive, skip ? &s : nullptr, op);
    return mold(*x);
  }
};

TEST_F(BlockSets, EachOperationKeepsFirstOccurrencesInOrder) {
  struct {
    int32_t op;
    const char* a;
    const char* b;
    const char* expected;
  } cases[] = {
      {block::SET_UNIQUE, "1 2 1 3 2", "", "[1 2 3]"},
      {block::SET_UNIQUE, "", "", "[]"},
      {block::SET_UNION, "1 2 1", "3 2 4", "[1 2 3 4]"},
      {block::SET_INTERSECT, "1 2 3 2", "2 3 4", "[2 3]"},
      {block::SET_INTERSECT, "1 2", "3 4", "[]"},
      {block::SET_EXCLUDE, "1 2 3 2 4", "2 4", "[1 3]"},
      {block::SET_DIFFERENCE, "1 2 3", "2 3 4 4", "[1 4]"},
      {block::SET_UNION, "\"a\" \"B\"", "\"A\" \"b\" \"c\"", "[\"a\" \"B\" \"c\"]"},
      {block::SET_UNION, "[1] [2]", "[1] 3", "[[1] [2] 3]"},
      {block::SET_INTERSECT, "[1] [2] 5", "[2]", "[[2]]"},
      {block::SET_EXCLUDE, "1 [2] 3", "[2] 3", "[1]"},
  };
  for (const auto& c : cases) EXPECT_EQ(run(c.op, c.a, c.b), c.expected) << c.op << " " << c.a << " | " << c.b;
}

TEST_F(BlockSets, CaseMakesTextComparisonsExact) {
  EXPECT_EQ(run(block::SET_UNIQUE, "\"a\" \"A\" \"a\"", "", 0, true), "[\"a\" \"A\"]");
  EXPECT_EQ(run(block::SET_INTERSECT, "\"a\" \"B\"", "\"A\" \"B\"", 0, true), "[\"B\"]");
  EXPECT_EQ(run(block::SET_INTERSECT, "\"a\" \"B\"", "\"A\" \"B\"", 0, false), "[\"a\" \"B\"]");
}

TEST_F(BlockSets, SkipComparesTheFirstValueOfEachRecord) {
  EXPECT_EQ(run(block::SET_UNIQUE, "1 10 2 20 1 30", "", 2), "[1 10 2 20]");
  EXPECT_EQ(run(block::SET_UNION, "1 10", "2 20 1 30", 2), "[1 10 2 20]");
  // 10 is a record's second value in the second series: not a member.
  EXPECT_EQ(run(block::SET_INTERSECT, "1 10 10 5", "2 10 1 7", 2), "[1 10]");
  EXPECT_EQ(run(block::SET_EXCLUDE, "1 10 2 20", "2 0", 2), "[1 10]");
  EXPECT_EQ(run(block::SET_DIFFERENCE, "1 10 2 20", "2 0 3 30", 2), "[1 10 3 30]");
  RootedCell x = parse("1 2"), y = parse("1");
  Cell bad = int_cell(0);
  Raised e = raised_by([&] { block::set_operation(x.get(), y.get(), false, &bad, block::SET_UNION); });
  EXPECT_EQ(e.id, "invalid-refine-arg");
}

// Many values: the result's table grows (and is rebuilt) on the way.
TEST_F(BlockSets, LargeUnionStaysExact) {
  RootedCell x = parse(""), y = parse("");
  for (int i = 0; i < 2000; ++i) {
    Cell a = int_cell(i % 700), b = int_cell(500 + i % 900);
    block::append_cell(x.get(), &a);
    block::append_cell(y.get(), &b);
  }
  block::set_operation(x.get(), y.get(), false, nullptr, block::SET_UNION);
  ASSERT_EQ(series::length(x.get()), 1400);
  for (int i = 0; i < 1400; ++i) ASSERT_EQ(series::element_at(x.get(), i).data2, static_cast<uint32_t>(i)) << i;
}

// ---------------------------------------------------------------------------
// hash! upkeep: the handlers keep a hash!'s index in step with its cells.

class HashUpkeep : public SeriesFixture {
 protected:
  RootedCell hashed(const char* text) {
    RootedCell b = parse(text);
    Cell plain = *b;
    b->data3 = hashtable_init(static_cast<uint32_t>(series::length(&plain)), &plain, hashtable::kKindHash, 0);
    set_type(b.get(), TYPE_HASH);
    return b;
  }
  // The index the table answers for an integer, -1 when absent.
  static int32_t where(Cell* h, int32_t v) {
    Cell key = int_cell(v);
    return hashtable_find_index(h->data3, &key);
  }
};

TEST_F(HashUpkeep, IndexFollowsRemovePokeReverseAndSort) {
  RootedCell h = hashed("5 6 7 8");
  Cell s = *h;
  s.data1 = 1;
  series::remove(&s, nullptr, nullptr);
  EXPECT_EQ(where(h.get(), 6), -1);
  EXPECT_EQ(where(h.get(), 7), 1);
  EXPECT_EQ(where(h.get(), 8), 2);
  Cell nine = int_cell(9);
  s = *h;
  series::poke(&s, 1, &nine, nullptr);
  EXPECT_EQ(where(h.get(), 5), -1);
  EXPECT_EQ(where(h.get(), 9), 0);
  s = *h;
  series::reverse(&s, nullptr, nullptr);
  EXPECT_EQ(where(h.get(), 9), 2);
  EXPECT_EQ(where(h.get(), 8), 0);
  s = *h;
  block::sort(&s, {});
  EXPECT_EQ(where(h.get(), 7), 0);
  EXPECT_EQ(where(h.get(), 9), 2);
  // insert shifts the entries after the new cells and indexes them.
  s = *h;
  s.data1 = 1;
  Cell four = int_cell(4);
  block::insert(&s, &four, -1, false, 2, false);
  EXPECT_EQ(where(h.get(), 4), 1);
  EXPECT_EQ(where(h.get(), 8), 3);
  EXPECT_EQ(where(h.get(), 9), 4);
  s = *h;
  series::remove(&s, nullptr, nullptr);
  s = *h;
  series::remove(&s, nullptr, nullptr);
  s = *h;
  series::remove(&s, nullptr, nullptr);
  EXPECT_EQ(where(h.get(), 7), -1);
  EXPECT_EQ(where(h.get(), 8), 0);
  // find answers from the table.
  s = *h;
  Cell eight = int_cell(8);
  block::find(&s, &eight, {});
  EXPECT_EQ(s.data1, 0u);
}

TEST_F(HashUpkeep, SetOperationOnAHashGivesAnIndexedHash) {
  RootedCell x = hashed("1 2 2 3");
  RootedCell y = parse("3 4");
  block::set_operation(x.get(), y.get(), false, nullptr, block::SET_UNION);
  EXPECT_EQ(TYPE_OF(x.get()), TYPE_HASH);
  ASSERT_NE(x->data3, 0u);
  EXPECT_EQ(where(x.get(), 4), 3);
}

// Words of every kind hash alike, so a hash! finds a word at a set-word, a
// lit-word or a refinement of its spelling as a scan of a block does; with
// /case only the same kind and spelling, and an issue only an issue.
TEST_F(HashUpkeep, WordKindsMeetInTheTableAsInAScan) {
  const uint32_t a = symbol::intern("a"), upper = symbol::intern("A"), x = symbol::intern("x");
  auto w = [](uint32_t type, uint32_t sym) { return Cell{type, 0, sym, 0xFFFFFFFFu}; };
  // x a: 1 A 2 a 3 'a #a
  const Cell cells[] = {w(TYPE_WORD, x), w(TYPE_SET_WORD, a), int_cell(1), w(TYPE_WORD, upper), int_cell(2),
                        w(TYPE_WORD, a), int_cell(3), w(TYPE_LIT_WORD, a), w(TYPE_ISSUE, a)};
  RootedCell plain = parse(""), indexed = parse("");
  for (const Cell& c : cells) {
    block::append_cell(plain.get(), &c);
    block::append_cell(indexed.get(), &c);
  }
  Cell whole = *indexed;
  indexed->data3 = hashtable_init(static_cast<uint32_t>(series::length(&whole)), &whole, hashtable::kKindHash, 0);
  set_type(indexed.get(), TYPE_HASH);

  const Cell word_a = w(TYPE_WORD, a);
  for (const Cell& kind : {w(TYPE_SET_WORD, upper), w(TYPE_LIT_WORD, a), w(TYPE_GET_WORD, a), w(TYPE_REFINEMENT, a)})
    EXPECT_EQ(hash_value(&kind), hash_value(&word_a)) << TYPE_OF(&kind);

  struct {
    Cell value;
    bool case_sensitive, last;
    int32_t start, expected;  // 0-based; -1 for none
  } cases[] = {
      {word_a, false, false, 0, 1},                         // the set-word a:
      {word_a, true, false, 0, 5},                          // only the word a
      {w(TYPE_SET_WORD, upper), false, false, 0, 1},
      {w(TYPE_SET_WORD, upper), true, false, 0, -1},
      {w(TYPE_SET_WORD, a), true, false, 0, 1},
      {w(TYPE_LIT_WORD, a), true, false, 0, 7},
      {w(TYPE_REFINEMENT, a), false, false, 0, 1},
      {word_a, false, false, 2, 3},                         // A, from the third cell
      {word_a, false, true, 0, 7},                          // 'a; never the issue
      {word_a, true, true, 0, 5},
      {w(TYPE_ISSUE, a), false, false, 0, 8},
      {w(TYPE_ISSUE, a), false, true, 0, 8},
  };
  for (const auto& c : cases) {
    for (Cell* series : {plain.get(), indexed.get()}) {
      Cell s = *series, v = c.value;
      s.data1 = static_cast<uint32_t>(c.start);
      block::find(&s, &v, {.case_sensitive = c.case_sensitive, .last = c.last});
      const int32_t got = TYPE_OF(&s) == TYPE_NONE ? -1 : static_cast<int32_t>(s.data1);
      EXPECT_EQ(got, c.expected) << "type " << TYPE_OF(&c.value) << " case " << c.case_sensitive << " last "
                                 << c.last << " start " << c.start << (series == indexed.get() ? " hash!" : " block!");
    }
  }

  // The set operations take one word of each spelling, or of each kind and
  // spelling with /case.
  RootedCell u = plain, none_second(none_cell());
  block::set_operation(u.get(), none_second.get(), false, nullptr, block::SET_UNIQUE);
  EXPECT_EQ(mold(*u), "[x a: 1 2 3 #a]");
  u = plain;
  block::set_operation(u.get(), none_second.get(), true, nullptr, block::SET_UNIQUE);
  EXPECT_EQ(mold(*u), "[x a: 1 A 2 a 3 'a #a]");
  // Membership in a hash! goes through its table.
  RootedCell first = parse("1 2 3"), second = indexed;
  Cell word_upper = w(TYPE_LIT_WORD, upper);
  block::append_cell(first.get(), &word_upper);
  block::set_operation(first.get(), second.get(), false, nullptr, block::SET_INTERSECT);
  ASSERT_EQ(TYPE_OF(first.get()), TYPE_HASH);
  EXPECT_EQ(series::length(first.get()), 4);
  first = parse("1 2 3");
  block::append_cell(first.get(), &word_upper);
  block::set_operation(first.get(), second.get(), true, nullptr, block::SET_INTERSECT);
  EXPECT_EQ(series::length(first.get()), 3);
}

// ---------------------------------------------------------------------------
// Owner notifications of block!'s own changing actions.

using BlockOwnership = OwnershipFixture;

TEST_F(BlockOwnership, ChangingActionsAnnounceBeforeAndAfter) {
  RootedCell b = owned("3 1 2");
  RootedCell other = parse("9");
  act(ACT_SORT, {*b});
  act(ACT_CHANGE, {*b, int_cell(7)});
  act(ACT_PUT, {*b, int_cell(2), int_cell(5)});
  act(ACT_SWAP, {*b, *other});
  act(ACT_TRIM, {*b});
  EXPECT_EQ(heard(), "sort:0,3 sorted:0,3 change:0,1 changed:0,1 put:2,1 put-ed:2,1 swap:0,1 swaped:0,1 "
                     "trim:0,3 trimmed:0,3");
  EXPECT_EQ(whole(*b), "[9 2 5]");
}

TEST_F(BlockOwnership, ErrorsComeBeforeAnyAnnouncement) {
  RootedCell b = owned("3 1 2");
  act_error(ACT_SORT, {*b, int_cell(2)}, {{"skip", 1}});
  act_error(ACT_SORT, {*b, logic_cell(true)}, {{"all", 1}});
  EXPECT_EQ(heard(), "");
  EXPECT_EQ(whole(*b), "[3 1 2]");
}

}  // namespace
}  // namespace kiv::testing
