#include <gtest/gtest.h>

#include "runtime/char_width.h"

namespace kiv {
namespace {

struct WidthCase {
  uint32_t cp;
  int width;
  const char* what;
};

TEST(CharWidth, ClassesByTable) {
  const WidthCase cases[] = {
      {0x0000, 0, "NUL"},
      {0x0001, 1, "C0 control"},
      {0x001F, 1, "last C0 control"},
      {0x0041, 1, "ASCII letter"},
      {0x007F, 1, "DEL"},
      {0x009F, 1, "last C1 control"},
      {0x00A0, 1, "no-break space"},
      {0x00AD, 1, "soft hyphen is shown"},
      {0x0300, 0, "combining grave accent"},
      {0x036F, 0, "last of the combining diacritics block"},
      {0x0488, 0, "enclosing mark (Me)"},
      {0x200B, 0, "zero width space"},
      {0x200D, 0, "zero width joiner (Cf)"},
      {0x1160, 0, "Hangul jungseong filler"},
      {0x1100, 2, "Hangul choseong is wide"},
      {0x3000, 2, "ideographic space (F)"},
      {0x4E00, 2, "CJK ideograph"},
      {0x9FFF, 2, "last CJK ideograph block code point"},
      {0xAC00, 2, "Hangul syllable"},
      {0xFF01, 2, "fullwidth exclamation mark"},
      {0xFF61, 1, "halfwidth katakana stop"},
      {0x231A, 2, "watch emoji, first of the emoji table"},
      {0x1F600, 2, "grinning face"},
      {0x20000, 2, "plane 2 ideograph"},
      {0x2FFFD, 2, "unassigned plane 2 defaults to wide"},
      {0xE0001, 0, "language tag (Cf)"},
      {0x10FFFF, 1, "last code point"},
      {0x110000, 1, "past the last code point"},
  };
  for (const auto& c : cases) EXPECT_EQ(char_width(c.cp), c.width) << c.what;
}

TEST(CharWidth, InRangesBoundsAreInclusiveAndGapsAreOut) {
  const uint32_t table[] = {10, 20, 30, 30, 40, 50};
  const struct {
    uint32_t v;
    bool in;
  } cases[] = {{9, false}, {10, true}, {20, true}, {21, false}, {29, false}, {30, true},
               {31, false}, {40, true}, {50, true}, {51, false}};
  for (const auto& c : cases) EXPECT_EQ(in_ranges_q(c.v, table, 6), c.in) << c.v;
  EXPECT_FALSE(in_ranges_q(10, table, 0));
}

TEST(CharWidth, GeneratedTablesAreSortedAndDisjoint) {
  const struct {
    const uint32_t* t;
    size_t words;
  } tables[] = {{kWideEmojiRanges, kWideEmojiRangeWords},
                {kCombiningRanges, kCombiningRangeWords},
                {kWideRanges, kWideRangeWords}};
  for (const auto& tb : tables) {
    ASSERT_EQ(tb.words % 2, 0u);
    for (size_t i = 0; i < tb.words; i += 2) {
      EXPECT_LE(tb.t[i], tb.t[i + 1]);
      if (i >= 2) {
        EXPECT_GT(tb.t[i], tb.t[i - 1] + 1) << "ranges touch or overlap at " << i;
      }
    }
  }
}

}  // namespace
}  // namespace kiv

// ---------------------------------------------------------------------------
// Errors, argument checks and the cycle stack: these need the value stack.

#include <cmath>
#include <limits>
#include <string>

#include "runtime/collector.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"

namespace kiv {
namespace {

Cell integer(int32_t v) { return Cell{TYPE_INTEGER, 0, static_cast<uint32_t>(v), 0}; }
Cell float_cell(double d) {
  Cell c{TYPE_FLOAT, 0, 0, 0};
  set_cell_float(&c, d);
  return c;
}
Cell block_of(uint32_t node) { return Cell{TYPE_BLOCK, 0, node, 0}; }

// Reads a Latin-1 or wider string series back as ASCII.
std::string text_of(uint32_t node) {
  SeriesBuffer* b = node_buffer(node);
  std::string s;
  for (uint32_t i = 0; i < b->length(); i++) {
    uint32_t cp = 0;
    std::memcpy(&cp, b->head_ptr() + i * b->unit(), b->unit());
    s += static_cast<char>(cp);
  }
  return s;
}

class Support : public ::testing::Test {
 protected:
  // Allocations may collect (every few of them under KIV_GC_TORTURE).
  CollectorEnableScope gc_{true};
  void SetUp() override {
    stack::init();
    support::init();
    stack::set_uncaught_error_handler(nullptr);
  }
  void TearDown() override {
    stack::init();
    support::init();
  }
  // Runs body under a try frame; answers the error it raised.
  template <typename Body>
  static LanguageError raised(Body body) {
    LanguageError e(ErrorCategory::kNote, "nothing raised");
    stack::open_try_frame(nullptr);
    stack::catch_throws(stack::THROW_ERROR, body, &e);
    return e;
  }
};

TEST_F(Support, FireCarriesCategoryIdAndArguments) {
  LanguageError e = raised([] { fire(ErrorCategory::kScript, "invalid-arg", integer(7), "text"); });
  EXPECT_EQ(e.category, ErrorCategory::kScript);
  EXPECT_EQ(e.id, "invalid-arg");
  ASSERT_EQ(e.arg_count(), 2);
  EXPECT_EQ(e.args[0].value->data2, 7u);
  EXPECT_EQ(e.args[1].text, "text");
}

TEST_F(Support, ArgumentTypeCheckNamesCallingWordAndDatatype) {
  uint8_t typeset[8] = {};
  typeset[TYPE_INTEGER >> 3] |= 0x80 >> (TYPE_INTEGER & 7);
  EXPECT_TRUE(typeset_has_q(typeset, TYPE_INTEGER));
  EXPECT_FALSE(typeset_has_q(typeset, TYPE_FLOAT));
  Cell name{TYPE_WORD, 0, 55, 0};
  Cell arg_name{TYPE_WORD, 0, 66, 0};
  LanguageError e = raised([&] {
    stack::open_interp_call_frame(&name);
    Cell ok = integer(1);
    EXPECT_EQ(check_arg_type(&ok, typeset), &ok);
    check_arg_type_at(-1, typeset);  // an absent optional argument
    Cell refinement{TYPE_LOGIC, 0, 0, 0};
    Cell bad = float_cell(1.5);
    check_refinement_arg_type(&refinement, &bad, typeset);  // refinement not set
    *stack::push_new_cell() = bad;
    check_arg_type_at(0, typeset, &arg_name);
  });
  EXPECT_EQ(e.id, "expect-arg");
  EXPECT_EQ(e.args[0].value->data2, 55u);
  EXPECT_EQ(TYPE_OF(e.args[1].value.get()), uint32_t(TYPE_DATATYPE));
  EXPECT_EQ(e.args[1].value->data1, uint32_t(TYPE_FLOAT));
  EXPECT_EQ(e.args[2].value->data2, 66u);
}

TEST_F(Support, OptionalArgumentThatArrivedUnsetIsRejected) {
  Cell unset{TYPE_UNSET, 0, 0, 0};
  LanguageError e = raised([&] { check_arg_type_opt(&unset); });
  EXPECT_EQ(e.id, "expect-arg");
  EXPECT_EQ(e.args[1].value->data1, uint32_t(TYPE_UNSET));
  EXPECT_EQ(TYPE_OF(e.args[0].value.get()), uint32_t(TYPE_NONE));  // no calling word
}

TEST_F(Support, MakeSizeTruncatesFloatsAndRefusesOutOfRange) {
  const struct {
    Cell value;
    int32_t size;
    const char* error;
  } cases[] = {
      {integer(12), 12, nullptr},
      {integer(-3), -3, nullptr},
      {float_cell(2.9), 2, nullptr},
      {float_cell(-2.9), -2, nullptr},
      {float_cell(2147483647.0), 2147483647, nullptr},
      {float_cell(-2147483648.0), -2147483647 - 1, nullptr},
      {float_cell(2147483648.0), 0, "out-of-range"},
      {float_cell(-2147483649.0), 0, "out-of-range"},
      {float_cell(std::numeric_limits<double>::quiet_NaN()), 0, "out-of-range"},
      {float_cell(INFINITY), 0, "out-of-range"},
      {Cell{TYPE_NONE, 0, 0, 0}, 0, "invalid-arg"},
  };
  for (const auto& c : cases) {
    if (c.error) {
      LanguageError e = raised([&] { get_make_size(&c.value); });
      EXPECT_EQ(e.id, c.error) << cell_float(&c.value);
    } else {
      EXPECT_EQ(get_make_size(&c.value), c.size);
    }
  }
}

TEST_F(Support, CycleStackRaisesTooDeepAtTheThousandthEntryAndEmpties) {
  for (uint32_t i = 1; i <= 999; i++) support::cycle_stack::push(i);
  EXPECT_EQ(support::cycle_stack::count(), 999u);
  EXPECT_TRUE(support::cycle_stack::find_q(999));
  LanguageError e = raised([] { support::cycle_stack::push(1000); });
  EXPECT_EQ(e.category, ErrorCategory::kInternal);
  EXPECT_EQ(e.id, "too-deep");
  EXPECT_EQ(support::cycle_stack::count(), 0u);
  support::cycle_stack::pop();  // never below the start
  EXPECT_EQ(support::cycle_stack::count(), 0u);
}

TEST_F(Support, PlaceholdersByTypeAndMode) {
  const struct {
    uint32_t type;
    bool mold;
    const char* text;
  } cases[] = {
      {TYPE_BLOCK, true, "[...]"},  {TYPE_HASH, true, "[...]"},  {TYPE_PAREN, true, "(...)"},
      {TYPE_MAP, true, "#[...]"},   {TYPE_OBJECT, true, "make object! [...]"},
      {TYPE_PATH, true, "..."},     {TYPE_STRING, true, "..."},   {TYPE_BLOCK, false, "..."},
      {TYPE_OBJECT, false, "..."},
  };
  for (const auto& c : cases) {
    support::cycle_stack::reset();
    RootedNode out(alloc_series_for_string(0, 1));
    RootedNode key(alloc_cells(1));
    Cell v{c.type, key, key, 0};  // the key in word 1 (object) and word 2 (others)
    int32_t limit = 100;
    EXPECT_FALSE(support::cycle_stack::mold_placeholder(&v, out, &limit, c.mold));
    support::cycle_stack::push(key);
    EXPECT_TRUE(support::cycle_stack::mold_placeholder(&v, out, &limit, c.mold));
    EXPECT_EQ(text_of(out), c.text);
    EXPECT_EQ(limit, 100 - int32_t(std::strlen(c.text)));
  }
}

// A small molder over blocks of integers and blocks, the way mold uses the
// cycle stack: a block that contains itself comes out with a placeholder.
void mold_block(const Cell* block, uint32_t out, int32_t* limit) {
  if (support::cycle_stack::mold_placeholder(block, out, limit, true)) return;
  support::cycle_stack::Entry entry(block->data2);
  append_ascii(out, "[", 1);
  for (uint32_t i = 0; i < series_length(block->data2); i++) {
    Cell v = series_head_cell(block->data2)[i];
    if (i) append_ascii(out, " ", 1);
    if (TYPE_OF(&v) == TYPE_BLOCK) {
      mold_block(&v, out, limit);
    } else {
      std::string n = std::to_string(int32_t(v.data2));
      append_ascii(out, n.data(), uint32_t(n.size()));
    }
  }
  append_ascii(out, "]", 1);
}

TEST_F(Support, CycleStackStopsASelfReferencingBlock) {
  RootedNode b(alloc_cells(4));
  *series_new_tail_cell(b) = integer(1);
  *series_new_tail_cell(b) = block_of(b);
  RootedNode inner(alloc_cells(4));
  *series_new_tail_cell(inner) = block_of(b);
  *series_new_tail_cell(b) = block_of(inner);
  RootedNode out(alloc_series_for_string(0, 1));
  int32_t limit = 100;
  Cell top = block_of(b);
  mold_block(&top, out, &limit);
  EXPECT_EQ(text_of(out), "[1 [...] [[...]]]");
  EXPECT_EQ(limit, 90);
  EXPECT_EQ(support::cycle_stack::count(), 0u);
}

TEST_F(Support, CycleStackEntriesSurviveACollection) {
  uint32_t node = alloc_cells(4);
  support::cycle_stack::push(node);
  ASSERT_TRUE(collector::collect());
  EXPECT_TRUE(node_valid_q(node));
  support::cycle_stack::pop();
  ASSERT_TRUE(collector::collect());
  EXPECT_FALSE(node_valid_q(node));
}

int32_t form_as_digits(const Cell* value, uint32_t out, int32_t limit) {
  std::string s = std::to_string(int32_t(value->data2));
  append_ascii(out, s.data(), uint32_t(s.size()));
  return limit - int32_t(s.size());
}

TEST_F(Support, FormToStringPushesAStringCutToTheLimit) {
  set_form_handler(form_as_digits);
  Cell v = integer(123456);
  const struct {
    int32_t limit;
    const char* text;
  } cases[] = {{0, "123456"}, {-1, "123456"}, {4, "1234"}, {6, "123456"}, {9, "123456"}};
  for (const auto& c : cases) {
    uint32_t before = stack::top_index();
    Cell* s = form_to_string(&v, c.limit);
    EXPECT_EQ(stack::top_index(), before + 1);
    EXPECT_EQ(TYPE_OF(s), uint32_t(TYPE_STRING));
    EXPECT_EQ(text_of(s->data2), c.text) << c.limit;
  }
  set_form_handler(nullptr);
}

TEST_F(Support, MoldIndentAndAsciiAppendWidenToTheUnit) {
  for (uint32_t unit : {1u, 2u, 4u}) {
    RootedNode out(alloc_series_for_string(0, unit));
    append_ascii(out, "a", 1);
    EXPECT_EQ(mold_indent(out, 2, 20), 12);
    append_ascii(out, "b", 1);
    EXPECT_EQ(text_of(out), "a        b") << unit;
    EXPECT_EQ(node_buffer(out)->length(), 10u);
  }
}

}  // namespace
}  // namespace kiv
