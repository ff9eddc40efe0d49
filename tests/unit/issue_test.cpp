// issue!: making issues from text and words, mold and form, comparison only
// with issues, and the actions it does not support.
#include <gtest/gtest.h>

#include <string>

#include "runtime/datatypes/context.h"
#include "runtime/datatypes/issue.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "tests/unit/actions_test_support.h"

namespace kiv {
namespace {

using testing::char_cell;
using testing::type_cell;

// Symbols are per process: the texts here are the tests' own ("it-...").
class IssueTest : public testing::CoreTypesTest {
 protected:
  void SetUp() override {
    CoreTypesTest::SetUp();
    _context::init_global();
  }
  void TearDown() override {
    set_boot_mode(false);
    CoreTypesTest::TearDown();
  }
  RootedCell str(const std::u32string& t) {
    RootedCell s;
    string::init_cell(s.get(), 0);
    for (char32_t c : t) string::append_char(s.get(), static_cast<uint32_t>(c));
    return s;
  }
  static std::u32string text(Cell s) {
    std::u32string out;
    int32_t n = string::length(&s);
    for (int32_t i = 0; i < n; ++i) out.push_back(static_cast<char32_t>(string::char_at_index(&s, string::index_of(&s) + i)));
    return out;
  }
  Cell act(uint32_t action, std::initializer_list<Cell> args) { return call_action(action, args, std::vector<int32_t>(16, -1)); }
  Cell issue(const char* t) {
    Cell c;
    issue::init_cell(t, &c);
    return c;
  }
};

TEST_F(IssueTest, AnIssueIsAnUnresolvedWordOfTheGlobalContext) {
  Cell i = issue("it-abc");
  EXPECT_EQ(TYPE_OF(&i), TYPE_ISSUE);
  EXPECT_EQ(i.data1, _context::global());
  EXPECT_EQ(i.data2, symbol::intern("it-abc"));
  EXPECT_EQ(i.data3, kUnresolved);
}

TEST_F(IssueTest, MoldWritesTheHashAndFormTheSpellingAlone) {
  Cell i = issue("it-2024-01");
  EXPECT_EQ(text(act(ACT_MOLD, {i})), U"#it-2024-01");
  EXPECT_EQ(text(act(ACT_FORM, {i})), U"it-2024-01");
  // mold/part counts the "#" too.
  Cell cut = call_action(ACT_MOLD, {i, testing::int_cell(4)}, {-1, -1, -1, 1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1});
  EXPECT_EQ(text(cut), U"#it-");
}

TEST_F(IssueTest, MakeFromTextTakesAnySpelling) {
  RootedCell spaced = str(U"it a b");
  Cell a = act(ACT_TO, {type_cell(TYPE_ISSUE), *spaced.get()});
  ASSERT_EQ(TYPE_OF(&a), TYPE_ISSUE);
  EXPECT_EQ(text(act(ACT_MOLD, {a})), U"#it a b");
  Cell c = act(ACT_MAKE, {type_cell(TYPE_ISSUE), char_cell(0xE9)});
  EXPECT_EQ(text(act(ACT_FORM, {c})), U"\u00E9");
  // The text from the head only.
  RootedCell tail = str(U"xxit-tail");
  tail.get()->data1 = 2;
  EXPECT_EQ(act(ACT_TO, {type_cell(TYPE_ISSUE), *tail.get()}).data2, symbol::intern("it-tail"));
  RootedCell empty = str(U"");
  EXPECT_EQ(raised_by([&] { act(ACT_TO, {type_cell(TYPE_ISSUE), *empty.get()}); }).id, "bad-to-arg");
}

TEST_F(IssueTest, MakeFromWordsRetypesAndDropsTheBinding) {
  Cell w;
  word::init_global(symbol::intern("it-word"), &w, TYPE_SET_WORD);
  ASSERT_NE(w.data3, kUnresolved);
  Cell i = act(ACT_TO, {type_cell(TYPE_ISSUE), w});
  EXPECT_EQ(TYPE_OF(&i), TYPE_ISSUE);
  EXPECT_EQ(i.data2, w.data2);
  EXPECT_EQ(i.data3, kUnresolved);
  EXPECT_EQ(i.data1, _context::global());
  Cell from_type = act(ACT_TO, {type_cell(TYPE_ISSUE), type_cell(TYPE_INTEGER)});
  EXPECT_EQ(text(act(ACT_FORM, {from_type})), U"integer!");
  EXPECT_EQ(raised_by([&] { act(ACT_TO, {type_cell(TYPE_ISSUE), testing::int_cell(3)}); }).id, "bad-to-arg");
}

TEST_F(IssueTest, ComparesLikeWordsButOnlyWithIssues) {
  Cell lower = issue("it-cmp");
  Cell upper = issue("IT-CMP");
  EXPECT_TRUE(actions::compare(&lower, &upper, COMP_EQUAL));
  EXPECT_FALSE(actions::compare(&lower, &upper, COMP_STRICT_EQUAL));
  Cell w;
  word::init_global(symbol::intern("it-cmp"), &w, TYPE_WORD);
  EXPECT_FALSE(actions::compare(&lower, &w, COMP_EQUAL));
  EXPECT_TRUE(actions::compare(&lower, &w, COMP_NOT_EQUAL));
  EXPECT_EQ(raised_by([&] { actions::compare(&lower, &w, COMP_LESSER); }).id, "invalid-compare");
  Cell later = issue("it-cmq");
  EXPECT_TRUE(actions::compare(&lower, &later, COMP_LESSER));
}

TEST_F(IssueTest, SeriesActionsAreNotIssueActions) {
  Cell i = issue("it-idx");
  EXPECT_EQ(raised_by([&] { act(ACT_INDEX_Q, {i}); }).id, "expect-arg");
  EXPECT_EQ(raised_by([&] { act(ACT_LENGTH_Q, {i}); }).id, "expect-arg");
}

TEST_F(IssueTest, LoadAppendsToTheRootInBootModeAndPushesOtherwise) {
  uint32_t top = stack::top_index();
  Cell pushed = issue::load("it-load");
  EXPECT_EQ(stack::top_index(), top + 1);
  EXPECT_EQ(stack::last_pushed()->data2, pushed.data2);
  stack::drop_cells(1);
  set_boot_mode(true);
  issue::load("it-boot");
  EXPECT_EQ(stack::top_index(), top);
}

}  // namespace
}  // namespace kiv
