#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/collector.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/actions.h"
#include "runtime/language_error.h"
#include "runtime/series.h"
#include "runtime/stack.h"

namespace kiv {
namespace {

// Strings held by the tests live in RootedCell guards, and the collector is
// enabled, so that under KIV_GC_TORTURE every few allocations move every
// buffer while the routines run.
class StringTest : public ::testing::Test {
 protected:
  CollectorEnableScope enable_{true};

  // A new string holding the code points (appended one by one).
  RootedCell make(const std::u32string& text, int32_t capacity = 0) {
    RootedCell s;
    string::init_cell(s.get(), capacity);
    for (char32_t c : text) string::append_char(s.get(), static_cast<uint32_t>(c));
    return s;
  }
  // The same text stored at the narrowest unit that holds it (as the loaders
  // and put_char leave it), built with overwrite_char.
  RootedCell make_narrow(const std::u32string& text) {
    RootedCell s;
    string::init_cell(s.get(), 0);
    for (size_t i = 0; i < text.size(); ++i)
      string::overwrite_char(string::node_of(s.get()), static_cast<int32_t>(i), static_cast<uint32_t>(text[i]));
    return s;
  }

  static std::u32string text(Cell* s) {
    std::u32string out;
    int32_t n = string::length(s);
    for (int32_t i = 0; i < n; ++i)
      out.push_back(static_cast<char32_t>(string::char_at_index(s, string::index_of(s) + i)));
    return out;
  }
  static uint32_t unit(const RootedCell& s) { return string::unit_of(s.get()); }

  // Allocations that are garbage at once, so that torture collections find
  // something to reclaim and move.
  static void churn() {
    for (int i = 0; i < 5; ++i) alloc_series(32, 1, 0);
  }
};

// ---------------------------------------------------------------------------
// Storage and widening.

TEST_F(StringTest, AppendWidensInPlaceAndKeepsContent) {
  RootedCell s = make(U"abc");
  EXPECT_EQ(unit(s), 1u);
  string::append_char(s.get(), 0xE9);  // above 127: an appended char widens a unit-1 buffer
  EXPECT_EQ(unit(s), 2u);
  string::append_char(s.get(), 0x20AC);
  EXPECT_EQ(unit(s), 2u);
  string::append_char(s.get(), 0x1F600);
  EXPECT_EQ(unit(s), 4u);
  EXPECT_EQ(text(s.get()), U"abc\u00E9\u20AC\U0001F600");
}

TEST_F(StringTest, AppendOfAstralCharToUnit1GoesStraightToUnit4) {
  RootedCell s = make(U"xy");
  string::append_char(s.get(), 0x1F600);
  EXPECT_EQ(unit(s), 4u);
  EXPECT_EQ(text(s.get()), U"xy\U0001F600");
}

TEST_F(StringTest, PutCharKeepsLatin1AtUnit1ButWidensAbove255) {
  RootedCell s = make(U"abc");
  string::put_char(string::node_of(s.get()), 1, 0xE9);
  EXPECT_EQ(unit(s), 1u);
  EXPECT_EQ(text(s.get()), U"a\u00E9c");
  string::put_char(string::node_of(s.get()), 2, 0x3A9);
  EXPECT_EQ(unit(s), 2u);
  EXPECT_EQ(text(s.get()), U"a\u00E9\u03A9");
  string::put_char(string::node_of(s.get()), 0, 0x10400);
  EXPECT_EQ(unit(s), 4u);
  EXPECT_EQ(text(s.get()), U"\U00010400\u00E9\u03A9");
}

TEST_F(StringTest, WideningOfALargeStringUnderAllocationPressureKeepsEveryChar) {
  // Many units, so that each widening must grow the buffer, with garbage
  // allocations between the writes.
  std::u32string expect;
  RootedCell s = make(U"");
  for (int i = 0; i < 700; ++i) {
    char32_t c = static_cast<char32_t>('a' + i % 26);
    if (i == 300) c = 0x3A9;     // to unit 2
    if (i == 600) c = 0x1F680;   // to unit 4
    string::append_char(s.get(), static_cast<uint32_t>(c));
    expect.push_back(c);
    if (i % 50 == 0) churn();
  }
  EXPECT_EQ(unit(s), 4u);
  EXPECT_EQ(text(s.get()), expect);
}

TEST_F(StringTest, InsertAndOverwriteWidenAndShiftTheRest) {
  RootedCell s = make_narrow(U"acd");
  string::insert_char(string::node_of(s.get()), 1, 'b');
  EXPECT_EQ(text(s.get()), U"abcd");
  string::insert_char(string::node_of(s.get()), 0, 0x3A9);
  EXPECT_EQ(unit(s), 2u);
  EXPECT_EQ(text(s.get()), U"\u03A9abcd");
  string::insert_char(string::node_of(s.get()), 99, 'z');  // past the tail: at the tail
  EXPECT_EQ(text(s.get()), U"\u03A9abcdz");
  string::overwrite_char(string::node_of(s.get()), 6, '!');  // at the tail: extends
  EXPECT_EQ(text(s.get()), U"\u03A9abcdz!");
  string::remove_part(s.get(), 1, 4);
  EXPECT_EQ(text(s.get()), U"\u03A9z!");
  string::remove_part(s.get(), 2, 50);  // a count past the tail stops there
  EXPECT_EQ(text(s.get()), U"\u03A9z");
}

TEST_F(StringTest, OverwritePastTheTailFillsTheGapWithNul) {
  RootedCell s = make_narrow(U"ab");
  string::overwrite_char(string::node_of(s.get()), 40, 'x');
  std::u32string expect = U"ab";
  expect.append(38, U'\0');
  expect.push_back('x');
  EXPECT_EQ(text(s.get()), expect);
}

TEST_F(StringTest, HeadPastTheTailReadsAsEmptyAndIsCorrected) {
  RootedCell s = make(U"abcdef");
  Cell view = *s.get();
  view.data1 = 5;
  string::remove_part(s.get(), 1, 4);  // "af": the view's head now lies past the tail
  EXPECT_EQ(string::length(&view), 0);
  EXPECT_EQ(view.data1, 2u);
  EXPECT_TRUE(string::at_tail_q(&view));
}

TEST_F(StringTest, ResetEmptiesAndNarrowsToUnit1) {
  RootedCell s = make(U"\U0001F600ab");
  s->data1 = 2;
  string::reset(s.get());
  EXPECT_EQ(unit(s), 1u);
  EXPECT_EQ(string::length(s.get()), 0);
  EXPECT_EQ(s->data1, 0u);
}

TEST_F(StringTest, LimitTailCutsOnlyLongerText) {
  RootedCell s = make(U"abcdef");
  string::limit_tail(string::node_of(s.get()), 10);
  EXPECT_EQ(text(s.get()), U"abcdef");
  string::limit_tail(string::node_of(s.get()), 3);
  EXPECT_EQ(text(s.get()), U"abc");
}

TEST_F(StringTest, SearchesFromTheHead) {
  RootedCell s = make(U"xAbc\u00C9");
  s->data1 = 1;
  EXPECT_EQ(string::index_of_char(s.get(), 'b'), 1);
  EXPECT_EQ(string::index_of_char(s.get(), 'x'), -1);  // before the head
  EXPECT_TRUE(string::contains_char_q(s.get(), 'a', 1, false));
  EXPECT_FALSE(string::contains_char_q(s.get(), 'a', 1, true));
  EXPECT_TRUE(string::contains_char_q(s.get(), 0xE9, 1, false));  // é against É
  EXPECT_FALSE(string::contains_char_q(s.get(), 'b', 2, true));   // every second unit: A, c
  EXPECT_TRUE(string::starts_with_text_q(s.get(), "Ab"));
  EXPECT_FALSE(string::starts_with_text_q(s.get(), "Abc\xC9x"));  // longer than the string
}

// ---------------------------------------------------------------------------
// Appending text.

TEST_F(StringTest, ConcatWidensTargetToTheSourceUnit) {
  RootedCell target = make(U"ab");
  RootedCell source = make(U"\U0001F600c");
  string::concat(target.get(), source.get(), -1, 0, true, string::kConcatAppend);
  EXPECT_EQ(unit(target), 4u);
  EXPECT_EQ(text(target.get()), U"ab\U0001F600c");
  EXPECT_EQ(text(source.get()), U"\U0001F600c");
}

TEST_F(StringTest, ConcatWithoutConvertWidensTheSourceInstead) {
  RootedCell target = make(U"\u03A9");
  RootedCell source = make(U"xy");
  string::concat(target.get(), source.get(), -1, 0, false, string::kConcatAppend);
  EXPECT_EQ(unit(source), 2u);
  EXPECT_EQ(text(source.get()), U"xy");
  EXPECT_EQ(text(target.get()), U"\u03A9xy");
}

struct ConcatCase {
  const char32_t* target;
  const char32_t* source;
  int32_t source_head;
  int32_t part;
  int32_t position;
  string::ConcatMode mode;
  const char32_t* expect;
};

TEST_F(StringTest, ConcatModesPartAndPosition) {
  const ConcatCase cases[] = {
      {U"abc", U"XYZ", 0, -1, 0, string::kConcatAppend, U"abcXYZ"},
      {U"abc", U"XYZ", 1, -1, 0, string::kConcatAppend, U"abcYZ"},
      {U"abc", U"XYZ", 0, 2, 0, string::kConcatAppend, U"abcXY"},
      {U"abc", U"XYZ", 0, 0, 0, string::kConcatAppend, U"abc"},
      {U"abc", U"XYZ", 0, -1, 1, string::kConcatInsert, U"aXYZbc"},
      {U"abc", U"XYZ", 0, -1, 0, string::kConcatInsert, U"XYZabc"},
      {U"abc", U"XY", 0, -1, 1, string::kConcatOverwrite, U"aXY"},
      {U"abc", U"XYZ", 0, -1, 2, string::kConcatOverwrite, U"abXYZ"},
      {U"abcdef", U"X", 0, -1, 2, string::kConcatOverwrite, U"abXdef"},
      {U"\u03A9bc", U"\u00E9", 0, -1, 3, string::kConcatInsert, U"\u03A9bc\u00E9"},
  };
  for (const auto& c : cases) {
    RootedCell t = make_narrow(c.target);
    RootedCell s = make_narrow(c.source);
    s->data1 = static_cast<uint32_t>(c.source_head);
    string::concat(t.get(), s.get(), c.part, c.position, true, c.mode);
    EXPECT_EQ(text(t.get()), std::u32string(c.expect)) << "mode " << c.mode << " position " << c.position;
  }
}

TEST_F(StringTest, ConcatOfAStringIntoItself) {
  RootedCell s = make_narrow(U"abc");
  string::concat(s.get(), s.get(), -1, 0, true, string::kConcatAppend);
  EXPECT_EQ(text(s.get()), U"abcabc");
  Cell tail_part = *s.get();
  tail_part.data1 = 4;  // "bc"
  string::concat(s.get(), &tail_part, -1, 1, true, string::kConcatInsert);
  EXPECT_EQ(text(s.get()), U"abcbcabc");
}

TEST_F(StringTest, AppendTextBytesAndUtf8) {
  RootedCell s = make(U"");
  string::append_text(s.get(), "abc");
  EXPECT_EQ(unit(s), 1u);
  string::append_utf8(s.get(), "-\xC3\xA9-\xE2\x82\xAC-\xF0\x9F\x98\x80");
  EXPECT_EQ(text(s.get()), U"abc-\u00E9-\u20AC-\U0001F600");
  EXPECT_EQ(unit(s), 4u);
  string::append_decimal(s.get(), -42);
  EXPECT_EQ(text(s.get()), U"abc-\u00E9-\u20AC-\U0001F600-42");
}

TEST_F(StringTest, AppendUtf8ReplacesMalformedBytes) {
  const struct {
    std::string bytes;
    std::u32string expect;
  } cases[] = {
      {"a\x80z", U"a\uFFFDz"},                  // stray continuation byte
      {"a\xC3", U"a\uFFFD"},                    // cut sequence at the end
      {"\xC0\x80", U"\uFFFD\uFFFD"},            // overlong NUL
      {"\xED\xA0\x80", U"\uFFFD\uFFFD\uFFFD"},  // surrogate
      {"\xF4\x90\x80\x80", U"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
  };
  for (const auto& c : cases) {
    RootedCell s = make(U"");
    string::append_utf8(s.get(), c.bytes);
    EXPECT_EQ(text(s.get()), c.expect);
  }
}

TEST_F(StringTest, LongAppendsSurviveCollectionsThatMoveBuffers) {
  uint32_t cycles = collector::series_cycles();
  RootedCell s = make(U"");
  std::u32string expect;
  for (int i = 0; i < 400; ++i) {
    string::append_text(s.get(), "ab");
    string::append_utf8(s.get(), "\xCE\xA9");
    expect += U"ab\u03A9";
    churn();
  }
  if (collector::torture_interval() > 0) {
    EXPECT_GT(collector::series_cycles(), cycles + 10);
  }
  collector::collect();
  EXPECT_EQ(text(s.get()), expect);
}

TEST_F(StringTest, WidenCopyConvertsARangeIntoAnotherSeries) {
  RootedCell s = make_narrow(U"abcdef");
  RootedNode copy(string::widen_copy(string::node_of(s.get()), 1, 4, 0, 2, false));
  Cell view{TYPE_STRING, 0, copy, 0};
  EXPECT_EQ(string::unit_of(&view), 2u);
  EXPECT_EQ(text(&view), U"bcd");
  // Into an existing series, keeping its tail and unit: only the units change.
  RootedCell t = make_narrow(U"\u03A9\u03A9\u03A9\u03A9");
  string::widen_copy(string::node_of(s.get()), 0, 2, string::node_of(t.get()), 2, true);
  EXPECT_EQ(text(t.get()), U"ab\u03A9\u03A9");
  string::widen_copy(string::node_of(s.get()), 0, 99, string::node_of(t.get()), 4, false);
  EXPECT_EQ(unit(t), 4u);
  EXPECT_EQ(text(t.get()), U"abcdef");
}

TEST_F(StringTest, MoveCharsInsertsAtTheTargetAndRemovesFromTheSource) {
  RootedCell source = make_narrow(U"x\u03A9yz");
  source->data1 = 1;
  RootedCell target = make_narrow(U"ab");
  target->data1 = 1;
  string::move_chars(source.get(), target.get(), 2);
  EXPECT_EQ(unit(target), 2u);
  target->data1 = 0;
  source->data1 = 0;
  EXPECT_EQ(text(target.get()), U"a\u03A9yb");
  EXPECT_EQ(text(source.get()), U"xz");
}

class StringLoadTest : public StringTest {
 protected:
  void SetUp() override { stack::init(); }
};

TEST_F(StringLoadTest, LoadsUtf8AndUtf16leAtTheNarrowestUnit) {
  RootedCell a;
  string::load_encoded(reinterpret_cast<const uint8_t*>("caf\xC3\xA9"), 5, string::kEncodingUtf8, a.get());
  EXPECT_EQ(TYPE_OF(a.get()), TYPE_STRING);
  EXPECT_EQ(unit(a), 1u);
  EXPECT_EQ(text(a.get()), U"caf\u00E9");
  const uint8_t utf16[] = {0x41, 0x00, 0x3D, 0xD8, 0x00, 0xDE};
  Cell* pushed = string::load_encoded_push(utf16, sizeof utf16, string::kEncodingUtf16le);
  RootedCell b(*pushed);
  EXPECT_EQ(unit(b), 4u);
  EXPECT_EQ(text(b.get()), U"A\U0001F600");
}

TEST_F(StringLoadTest, BadInputAndUnknownEncodingsRaiseErrors) {
  const struct {
    std::string bytes;
    int32_t encoding;
    const char* id;
  } cases[] = {
      {"a\xFF", string::kEncodingUtf8, "invalid-utf8"},
      {"a", string::kEncodingUtf16le, "invalid-data"},
      {"abc", 3, "invalid-arg"},
  };
  for (const auto& c : cases) {
    RootedCell out;
    try {
      string::load_encoded(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size(), c.encoding, out.get());
      ADD_FAILURE() << "expected " << c.id;
    } catch (const LanguageError& e) {
      EXPECT_EQ(e.id, c.id);
    }
  }
}

// ---------------------------------------------------------------------------
// Small text helpers.

TEST(StringFloat, TextToFloatReportsTheUnreadTail) {
  ptrdiff_t unread = -1;
  EXPECT_DOUBLE_EQ(string::text_to_float("1.5e2xy", 7, &unread), 150.0);
  EXPECT_EQ(unread, 2);
}

TEST(StringHex, IntegerToHex) {
  const struct {
    int32_t value;
    bool trim;
    const char* expect;
  } cases[] = {
      {255, true, "FF"},   {0, true, "00"},         {-1, false, "FFFFFFFF"}, {-2, true, "E"},
      {255, false, "000000FF"}, {0x1E, true, "1E"}, {0x10FFFF, true, "10FFFF"}, {-16, false, "FFFFFFF0"},
  };
  for (const auto& c : cases)
    EXPECT_STREQ(string::integer_to_hex(c.value, c.trim), c.expect) << c.value << " trim " << c.trim;
  EXPECT_STREQ(string::byte_to_hex(0xA5), "A5");
  EXPECT_STREQ(string::byte_to_hex(0x07), "07");
}

TEST(StringBlockExchange, SwapsAdjacentRangesOfEitherSize) {
  std::string a = "12345abc";
  string::block_exchange(reinterpret_cast<uint8_t*>(a.data()), 5, 3);
  EXPECT_EQ(a, "abc12345");
  std::string b = "xyABCDEF";
  string::block_exchange(reinterpret_cast<uint8_t*>(b.data()), 2, 6);
  EXPECT_EQ(b, "ABCDEFxy");
}

// ---------------------------------------------------------------------------
// Form and mold.

class StringMoldTest : public StringTest {
 protected:
  std::u32string mold(const std::u32string& value, bool all = false) {
    RootedCell v = make_narrow(value);
    RootedCell out;
    string::init_cell(out.get(), 0);
    string::mold(v.get(), out.get(), {.all = all}, nullptr, kNoPartLimit, 0);
    return text(out.get());
  }
  std::u32string form(const std::u32string& value) {
    RootedCell v = make_narrow(value);
    RootedCell out;
    string::init_cell(out.get(), 0);
    string::form(v.get(), out.get(), nullptr, kNoPartLimit);
    return text(out.get());
  }
};

struct MoldCase {
  std::u32string in;
  std::u32string out;
  const char* what;
};

TEST_F(StringMoldTest, QuotesBracesAndEscapes) {
  const MoldCase cases[] = {
      {U"abc", U"\"abc\"", "plain text in quotes"},
      {U"", U"\"\"", "empty"},
      {U"say \"hi\"", U"{say \"hi\"}", "a quote switches to braces, written as is"},
      {U"a\nb\nc", U"\"a^/b^/c\"", "two line feeds keep quotes"},
      {U"a\nb\nc\nd", U"{a^/b^/c^/d}", "three line feeds take braces, still escaped"},
      {U"a\tb", U"\"a^-b\"", "tab"},
      {U"\x1B", U"\"^[\"", "escape"},
      {U"\x1E", U"\"^(1E)\"", "0x1E by the hexadecimal rule"},
      {U"\x1C\x1D\x1F", U"\"^\\^]^_\"", "0x1C 0x1D 0x1F"},
      {U"\u0085", U"\"^(85)\"", "C1 control"},
      {U"\x7F", U"\"^~\"", "DEL"},
      {U"\u00E9", U"\"\u00E9\"", "Latin-1 letter as itself"},
      {U"a^b", U"\"a^^b\"", "caret"},
      {std::u32string(1, U'\0'), U"\"^@\"", "NUL"},
      {U"{a}", U"\"{a}\"", "braces within quotes stay plain"},
      {U"\"{x}\"", U"{\"{x}\"}", "matched braces stay plain"},
      {U"\"{x", U"{\"^{x}", "an unmatched open brace is escaped"},
      {U"\"x}", U"{\"x^}}", "an unmatched close brace is escaped"},
      {U"\"{a{b}", U"{\"^{a^{b^}}", "from the first unmatched brace on every brace is escaped"},
      {U"\"}{", U"{\"^}^{}", "close before open"},
      {U"\"a^b", U"{\"a^^b}", "caret in braces"},
  };
  for (const auto& c : cases) EXPECT_EQ(mold(c.in), c.out) << c.what;
}

TEST_F(StringMoldTest, FiftyCharactersTakeBraces) {
  std::u32string s49(49, U'x'), s50(50, U'x');
  EXPECT_EQ(mold(s49), U"\"" + s49 + U"\"");
  EXPECT_EQ(mold(s50), U"{" + s50 + U"}");
}

TEST_F(StringMoldTest, MoldAllEscapesEverythingAbove127) {
  EXPECT_EQ(mold(U"\u00E9", true), U"\"^(E9)\"");
  EXPECT_EQ(mold(U"a\U0001F600", true), U"\"a^(1F600)\"");
  EXPECT_EQ(mold(U"a\U0001F600"), U"\"a\U0001F600\"");
}

TEST_F(StringMoldTest, FormAndMoldStartAtTheHeadAndHonourThePart) {
  RootedCell v = make_narrow(U"abcdef");
  v->data1 = 2;
  RootedCell out;
  string::init_cell(out.get(), 0);
  Cell part{TYPE_INTEGER, 0, 3, 0};
  int32_t left = string::form(v.get(), out.get(), &part, 3);
  EXPECT_EQ(text(out.get()), U"cde");
  EXPECT_EQ(left, 0);
  string::reset(out.get());
  left = string::mold(v.get(), out.get(), {}, &part, 3, 0);
  EXPECT_EQ(text(out.get()), U"\"cde\"");
  EXPECT_EQ(left, -2);
  EXPECT_EQ(form(U"\u03A9\u00E9"), U"\u03A9\u00E9");
}

TEST_F(StringMoldTest, MoldOfAStringIntoItself) {
  RootedCell v = make_narrow(U"ab\"");
  string::mold(v.get(), v.get(), {}, nullptr, kNoPartLimit, 0);
  EXPECT_EQ(text(v.get()), U"ab\"{ab\"}");
}

TEST(StringBraces, BalancedFromTheOpeningBrace) {
  const struct {
    const char* text;
    bool balanced;
  } cases[] = {{"{}", true}, {"{a{b}c}", true}, {"{a{b}", false}, {"{", false}, {"{}}", true}};
  for (const auto& c : cases) {
    const auto* p = reinterpret_cast<const uint8_t*>(c.text);
    EXPECT_EQ(string::braces_balanced_q(p, p + std::strlen(c.text), 1), c.balanced) << c.text;
  }
}

// ---------------------------------------------------------------------------
// Comparison.

class StringCompareTest : public StringTest {
 protected:
  int32_t cmp(const std::u32string& a, const std::u32string& b, int32_t op) {
    RootedCell x = make_narrow(a), y = make_narrow(b);
    return string::compare(x.get(), y.get(), op);
  }
};

struct CompareCase {
  std::u32string a, b;
  int32_t op;
  int32_t expect;
  const char* what;
};

TEST_F(StringCompareTest, CaseInsensitiveUnlessStrictOrCaseSort) {
  const CompareCase cases[] = {
      {U"abc", U"ABC", COMP_EQUAL, 0, "= ignores case"},
      {U"abc", U"ABC", COMP_LESSER, 0, "neither is lesser"},
      {U"abc", U"ABC", COMP_STRICT_EQUAL, 1, "== tells them apart"},
      {U"abc", U"ABC", COMP_CASE_SORT, 1, "case sort: a after A"},
      {U"ABC", U"abc", COMP_CASE_SORT, -1, "case sort: A before a"},
      {U"ab", U"abc", COMP_LESSER, -1, "a prefix is lesser"},
      {U"abc", U"ab", COMP_LESSER, 1, "longer is greater"},
      {U"ab", U"abc", COMP_EQUAL, 1, "different lengths are not equal"},
      {U"", U"", COMP_EQUAL, 0, "empty strings are equal"},
      {U"", U"a", COMP_LESSER, -1, "empty is lesser"},
      {U"a", U"", COMP_LESSER, 1, "anything is greater than empty"},
      {U"b", U"abc", COMP_LESSER, 1, "the first difference decides before the length"},
      {U"\u00C9cole", U"\u00E9COLE", COMP_EQUAL, 0, "Latin-1 letters fold"},
      {U"\u00C9cole", U"\u00E9COLE", COMP_STRICT_EQUAL, -1, "strict keeps Latin-1 case: É before é"},
      {U"\u03A9mega", U"\u03C9MEGA", COMP_EQUAL, 0, "Greek at unit 2 folds"},
      {U"\u03A9", U"\u00E9", COMP_GREATER, 1, "different units compare by code point"},
      {U"\U00010400", U"\U00010428", COMP_EQUAL, 0, "Deseret above the BMP folds"},
      {U"\U00010400", U"\U00010428", COMP_STRICT_EQUAL, -1, "and is told apart by strict"},
      {U"abc", U"ABD", COMP_FIND, -1, "find equality: c before D"},
      {U"abc", U"ABC", COMP_FIND, 0, "find ignores case"},
  };
  for (const auto& c : cases) EXPECT_EQ(cmp(c.a, c.b, c.op), c.expect) << c.what;
}

TEST_F(StringCompareTest, OtherStringKindsOnlyForEquality) {
  RootedCell s = make_narrow(U"abc"), f = make_narrow(U"ABC");
  set_type(f.get(), TYPE_FILE);
  EXPECT_EQ(string::compare(s.get(), f.get(), COMP_EQUAL), 0);
  EXPECT_EQ(string::compare(s.get(), f.get(), COMP_NOT_EQUAL), 0);
  EXPECT_EQ(string::compare(s.get(), f.get(), COMP_LESSER), kNotComparable);
  EXPECT_EQ(string::compare(s.get(), f.get(), COMP_STRICT_EQUAL), kNotComparable);
  Cell integer{TYPE_INTEGER, 0, 1, 0};
  EXPECT_EQ(string::compare(s.get(), &integer, COMP_EQUAL), kNotComparable);
}

TEST_F(StringCompareTest, SameMeansSameSeriesAndHead) {
  RootedCell s = make_narrow(U"abc");
  RootedCell t = make_narrow(U"abc");
  Cell alias = *s.get();
  EXPECT_EQ(string::compare(s.get(), &alias, COMP_SAME), 0);
  EXPECT_EQ(string::compare(s.get(), t.get(), COMP_SAME), -1);
  alias.data1 = 1;
  EXPECT_EQ(string::compare(s.get(), &alias, COMP_SAME), -1);
}

TEST_F(StringCompareTest, SymbolsAreReadThroughTheirCachedTextFromIndexZero) {
  RootedCell upper = make_narrow(U"HELLO"), lower = make_narrow(U"hello");
  // Symbol entries: word 1 the alias (not a head index), word 2 the cached text.
  Cell sym_upper{TYPE_SYMBOL, 7, string::node_of(upper.get()), 0};
  Cell sym_lower{TYPE_SYMBOL, 0xFFFFFFFF, string::node_of(lower.get()), 0};
  EXPECT_EQ(string::compare(&sym_upper, &sym_lower, COMP_EQUAL), 0);
  EXPECT_NE(string::compare(&sym_upper, &sym_lower, COMP_STRICT_EQUAL), 0);
  Cell uncached{TYPE_SYMBOL, 0, 0, 0};
  EXPECT_EQ(string::compare_worker(&uncached, &sym_lower, COMP_LESSER, false), -1);
  RootedCell out = make(U"<");
  string::concat(out.get(), &sym_upper, -1, 0, true, string::kConcatAppend);
  EXPECT_EQ(text(out.get()), U"<HELLO");
}

TEST_F(StringCompareTest, MatchModeTestsAPrefix) {
  RootedCell in = make_narrow(U"Hello world");
  RootedCell hello = make_narrow(U"hello"), world = make_narrow(U"world"), empty = make_narrow(U"");
  RootedCell tag = make_narrow(U"b");
  set_type(tag.get(), TYPE_TAG);
  EXPECT_EQ(string::compare_worker(in.get(), hello.get(), COMP_EQUAL, true), 0);
  EXPECT_NE(string::compare_worker(in.get(), hello.get(), COMP_STRICT_EQUAL, true), 0);
  EXPECT_NE(string::compare_worker(in.get(), world.get(), COMP_EQUAL, true), 0);
  EXPECT_EQ(string::compare_worker(in.get(), empty.get(), COMP_EQUAL, true), 0);
  EXPECT_EQ(string::compare_worker(in.get(), empty.get(), COMP_FIND, true), 1);
  EXPECT_TRUE(string::match_head(in.get(), 6, world.get(), COMP_EQUAL));
  Cell h{TYPE_CHAR, 0, 'h', 0};
  EXPECT_TRUE(string::match_head(in.get(), 0, &h, COMP_EQUAL));
  EXPECT_FALSE(string::match_head(in.get(), 0, &h, COMP_STRICT_EQUAL));
  RootedCell html = make_narrow(U"x<b>y");
  EXPECT_TRUE(string::match_head(html.get(), 1, tag.get(), COMP_EQUAL));
  EXPECT_FALSE(string::match_head(html.get(), 0, tag.get(), COMP_EQUAL));
  RootedCell cut = make_narrow(U"<b");
  EXPECT_FALSE(string::angle_delimited_q(cut.get(), tag.get(), 0));
}

}  // namespace
}  // namespace kiv
