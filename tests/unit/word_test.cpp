#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/datatypes/actions.h"
#include "runtime/language_error.h"
#include "runtime/memory.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/unicode.h"
#include "runtime/words.h"
#include "tests/unit/global_context_support.h"

namespace kiv {
namespace {

using testing::GlobalContextTest;

Cell integer(int32_t v) { return Cell{TYPE_INTEGER, 0, static_cast<uint32_t>(v), 0}; }

template <typename F>
std::string error_of(F&& f) {
  try {
    f();
  } catch (const LanguageError& e) {
    return std::string(error_category_name(e.category)) + "/" + e.id;
  }
  return "";
}

std::string utf8(Cell* s) {
  std::string out(static_cast<size_t>(string::length(s)) * 4 + 1, '\0');
  out.resize(string_range_to_utf8(s, reinterpret_cast<uint8_t*>(out.data()), -1, false));
  return out;
}

// A stand-in for the lexer's single-value loader: the word kinds by their
// marks, an issue after "#", and nothing for text with a blank or a leading
// digit (which the lexer does not load as one word).
bool fake_loader(const uint8_t* text, size_t length, Cell* out) {
  std::string t(reinterpret_cast<const char*>(text), length);
  if (t.empty() || t.find(' ') != std::string::npos || (t[0] >= '0' && t[0] <= '9')) return false;
  uint32_t type = TYPE_WORD;
  if (t[0] == '\'') type = TYPE_LIT_WORD;
  else if (t[0] == ':') type = TYPE_GET_WORD;
  else if (t[0] == '/') type = TYPE_REFINEMENT;
  else if (t[0] == '#') type = TYPE_ISSUE;
  else if (t.back() == ':') type = TYPE_SET_WORD;
  if (type == TYPE_SET_WORD) t.pop_back();
  else if (type != TYPE_WORD) t.erase(0, 1);
  if (t == "int") {  // loads as something that is not a word
    *out = integer(1);
    return true;
  }
  *out = Cell{type, 0, symbol::intern(t.c_str()), kUnresolved};
  return true;
}

uint32_t fake_lex_type(const uint8_t* text, size_t) {
  return (text[0] >= '0' && text[0] <= '9') ? TYPE_INTEGER : TYPE_WORD;
}

// Words, the strings they mold into and the blocks holding them are rooted
// and the collector is on (moved under KIV_GC_TORTURE). Symbols are per
// process: each test uses texts of its own ("wt-...").
class WordTest : public GlobalContextTest {
 protected:
  void SetUp() override {
    GlobalContextTest::SetUp();
    register_datatypes();
    word::set_text_value_loader(fake_loader);
    symbol::set_lex_type_hook(fake_lex_type);
  }
  void TearDown() override {
    word::set_text_value_loader(nullptr);
    symbol::set_lex_type_hook(nullptr);
    set_boot_mode(false);
    GlobalContextTest::TearDown();
  }

  static uint32_t sym(const std::string& text) { return symbol::intern(text.c_str()); }
  static Cell global(const std::string& text, uint32_t type = TYPE_WORD) {
    Cell w;
    word::init_global(sym(text), &w, type);
    return w;
  }

  // Molds (or forms) the value through its type's handler; *left gets the
  // limit answered.
  static std::string render(const Cell& value, bool mold, int32_t limit = kNoPartLimit, int32_t* left = nullptr) {
    RootedCell out;
    string::init_cell(out.get(), 0);
    Cell v = value;
    Cell part = integer(limit);
    Cell* part_arg = limit == kNoPartLimit ? nullptr : &part;
    int32_t r;
    if (mold) {
      auto fn = handler_as<ACT_MOLD>(type_handler(TYPE_OF(&v), ACT_MOLD));
      r = fn(&v, out.get(), {}, part_arg, limit, 0);
    } else {
      auto fn = handler_as<ACT_FORM>(type_handler(TYPE_OF(&v), ACT_FORM));
      r = fn(&v, out.get(), part_arg, limit);
    }
    if (left) *left = r;
    return utf8(out.get());
  }

  static int32_t compare(const Cell& a, const Cell& b, int32_t op) {
    Cell x = a, y = b;
    return handler_as<ACT_COMPARE>(type_handler(TYPE_OF(&x), ACT_COMPARE))(&x, &y, op);
  }

  static Cell make(uint32_t target, const Cell& spec) {
    Cell type{TYPE_DATATYPE, target, 0, 0};
    Cell s = spec;
    return *handler_as<ACT_TO>(type_handler(target, ACT_TO))(&type, &s);
  }
};

// ---------------------------------------------------------------------------
// form and mold.

TEST_F(WordTest, EachKindMoldsWithItsMarkAndFormsAsTheBareSpelling) {
  struct Case {
    uint32_t type;
    const char* text;
    const char* mold;
  };
  const Case cases[] = {
      {TYPE_WORD, "wt-abc", "wt-abc"},         {TYPE_SET_WORD, "wt-abc", "wt-abc:"},
      {TYPE_LIT_WORD, "wt-abc", "'wt-abc"},    {TYPE_GET_WORD, "wt-abc", ":wt-abc"},
      {TYPE_REFINEMENT, "wt-abc", "/wt-abc"},  {TYPE_SET_WORD, "wt-wörd-✓", "wt-wörd-✓:"},
      {TYPE_REFINEMENT, "wt-ÉTÉ", "/wt-ÉTÉ"},
  };
  for (const Case& c : cases) {
    Cell w = global(c.text, c.type);
    EXPECT_EQ(render(w, true), c.mold);
    EXPECT_EQ(render(w, false), c.text) << c.mold;
  }
}

TEST_F(WordTest, ABlockOfWordKindsMoldsEachWithItsMark) {
  RootedCell blk;
  block::init_cell(blk.get(), 0);
  const std::pair<const char*, uint32_t> items[] = {
      {"wt-a", TYPE_WORD}, {"wt-b", TYPE_SET_WORD}, {"wt-c", TYPE_LIT_WORD},
      {"wt-d", TYPE_GET_WORD}, {"wt-e", TYPE_REFINEMENT}};
  for (auto [text, type] : items) word::at_tail_global(sym(text), blk.get(), type);
  EXPECT_EQ(render(*blk, true), "[wt-a wt-b: 'wt-c :wt-d /wt-e]");
  EXPECT_EQ(render(*blk, false), "wt-a wt-b wt-c wt-d wt-e");
}

TEST_F(WordTest, AWordOfAnAliasedSymbolFormsItsOwnSpelling) {
  Cell first = global("wt-spell");
  Cell other = global("wt-SPELL");
  EXPECT_EQ(first.data3, other.data3) << "one global slot";
  EXPECT_EQ(render(other, false), "wt-SPELL");
  EXPECT_EQ(render(first, true), "wt-spell");
}

TEST_F(WordTest, MoldWithAPartLimitAnswersTheLimitLessWhatWasWritten) {
  int32_t left = 0;
  render(global("wt-abcd", TYPE_SET_WORD), true, 10, &left);
  EXPECT_EQ(left, 10 - 7 - 1);
  render(global("wt-abcd", TYPE_REFINEMENT), true, 20, &left);
  EXPECT_EQ(left, 20 - 7 - 1);
  render(global("wt-abcd"), true, 10, &left);
  EXPECT_EQ(left, 10 - 7);
  render(global("wt-abcd", TYPE_GET_WORD), false, 10, &left);
  EXPECT_EQ(left, 10 - 7);
}

// ---------------------------------------------------------------------------
// compare.

TEST_F(WordTest, CompareFollowsTheOpCode) {
  RootedNode other_ctx(_context::allocate(1, false, true, 0, kContextObject));
  Cell a = global("wt-cmp-a");
  Cell upper = global("wt-cmp-A");
  Cell lit = global("wt-cmp-a", TYPE_LIT_WORD);
  Cell lit_upper = global("wt-cmp-A", TYPE_LIT_WORD);
  Cell set = global("wt-cmp-a", TYPE_SET_WORD);
  Cell elsewhere = a;
  elsewhere.data1 = other_ctx;
  Cell issue = a;
  issue.header = TYPE_ISSUE;
  Cell b = global("wt-cmp-b");
  Cell upper_b = global("wt-cmp-B");

  enum Want { kEqual, kDifferent, kBefore, kAfter, kIncomparable };
  struct Case {
    const char* what;
    Cell v1, v2;
    int32_t op;
    Want want;
  };
  const Case cases[] = {
      {"'a = 'A", a, upper, COMP_EQUAL, kEqual},
      {"a = 'a whatever the kinds", a, lit, COMP_EQUAL, kEqual},
      {"a = a: for find", a, set, COMP_FIND, kEqual},
      {"a <> b", a, b, COMP_NOT_EQUAL, kDifferent},
      {"strict-equal? 'a 'A", a, upper, COMP_STRICT_EQUAL, kDifferent},
      {"strict-equal? across kinds", a, lit, COMP_STRICT_EQUAL, kDifferent},
      {"strict-equal? 'a 'a", a, a, COMP_STRICT_EQUAL, kEqual},
      {"same? bound to different contexts", a, elsewhere, COMP_SAME, kDifferent},
      {"same? one binding", a, a, COMP_SAME, kEqual},
      {"parse word against lit-word, exact", a, lit, COMP_PARSE_WORD, kEqual},
      {"parse word against lit-word, other case", a, lit_upper, COMP_PARSE_WORD, kDifferent},
      {"parse word/lit-word ignoring case", a, lit_upper, COMP_PARSE_WORD_CASE, kEqual},
      {"parse set-word is not a word", a, set, COMP_PARSE_WORD_CASE, kDifferent},
      {"parse same kind other case", a, upper, COMP_PARSE_WORD_CASE, kEqual},
      {"word against issue", a, issue, COMP_EQUAL, kIncomparable},
      {"word against integer", a, integer(1), COMP_EQUAL, kIncomparable},
      {"a < b", a, b, COMP_LESSER, kBefore},
      {"A < b ignoring case", upper, b, COMP_LESSER, kBefore},
      {"B > a ignoring case", upper_b, a, COMP_GREATER, kAfter},
      {"B before a by code point", upper_b, a, COMP_CASE_SORT, kBefore},
  };
  for (const Case& c : cases) {
    int32_t got = compare(c.v1, c.v2, c.op);
    switch (c.want) {
      case kEqual: EXPECT_EQ(got, 0) << c.what; break;
      case kDifferent: EXPECT_TRUE(got != 0 && got != kNotComparable) << c.what; break;
      case kBefore: EXPECT_EQ(got, -1) << c.what; break;
      case kAfter: EXPECT_EQ(got, 1) << c.what; break;
      case kIncomparable: EXPECT_EQ(got, kNotComparable) << c.what; break;
    }
  }
}

// ---------------------------------------------------------------------------
// Getting and setting.

TEST_F(WordTest, GettingAnUnboundOrUnsetWordRaisesNoValue) {
  Cell unbound{TYPE_WORD, 0, sym("wt-get-unbound"), kUnresolved};
  Cell unset_word = global("wt-get-unset");
  EXPECT_EQ(error_of([&] { word::get(&unbound); }), "script/no-value");
  EXPECT_EQ(error_of([&] { word::get(&unset_word); }), "script/no-value");

  Cell v = integer(12);
  word::set(&unset_word, &v);
  Cell* pushed = word::get(&unset_word);
  EXPECT_EQ(pushed->data2, 12u);
  EXPECT_EQ(pushed, stack::last_pushed());
}

TEST_F(WordTest, SettingFromAnUnsetResultRaisesNeedValueAndKeepsTheOldValue) {
  Cell w = global("wt-set-result");
  Cell one = integer(1);
  word::set(&w, &one);
  stack::open_call_frame(nullptr);
  Cell unset{TYPE_UNSET, 0, 0, 0};
  stack::push_copy(&unset);
  EXPECT_EQ(error_of([&] { word::set_from_result(&w); }), "script/need-value");
  EXPECT_EQ(_context::get_word(&w)->data2, 1u);
  Cell dest;
  stack::open_call_frame(nullptr);
  stack::push_copy(&unset);
  EXPECT_EQ(error_of([&] { word::copy_result_checked(&dest, &w); }), "script/need-value");

  stack::open_call_frame(nullptr);
  Cell five = integer(5);
  stack::push_copy(&five);
  word::set_from_result(&w);
  EXPECT_EQ(_context::get_word(&w)->data2, 5u);
  stack::pop_frame_drop();
}

TEST_F(WordTest, EntryPointsSetAndGetThroughTheResultCell) {
  Cell w = global("wt-entry", TYPE_SET_WORD);
  Cell v = integer(77);
  stack::open_call_frame(nullptr);
  stack::push_copy(&w);
  stack::push_copy(&v);
  Cell* result = word::set_at_base();
  EXPECT_EQ(result->data2, 77u);
  EXPECT_EQ(TYPE_OF(result), TYPE_INTEGER);
  stack::pop_frame_drop();

  stack::open_call_frame(nullptr);
  Cell g = global("wt-entry", TYPE_GET_WORD);
  stack::push_copy(&g);
  EXPECT_EQ(word::get_at_base()->data2, 77u);
  stack::pop_frame_drop();

  // :x pushes the value even when it is unset.
  Cell fresh = global("wt-entry-unset", TYPE_GET_WORD);
  EXPECT_EQ(TYPE_OF(get_word::push_value(&fresh)), TYPE_UNSET);
}

TEST_F(WordTest, IndexedAccessMarksObjectWordsChanged) {
  RootedNode obj(_context::allocate(2, false, true, 0, kContextObject));
  for (const char* t : {"wt-idx-a", "wt-idx-b"}) {
    Cell w{TYPE_WORD, 0, sym(t), kUnresolved};
    _context::word_index(obj, &w);
  }
  Cell v = integer(3);
  stack::push_copy(&v);
  word::set_indexed(obj, 1);
  EXPECT_EQ(_context::value_at(obj, 1)->data2, 3u);
  EXPECT_NE(_context::word_at(obj, 1)->header & kFlagWordChanged, 0u);
  EXPECT_EQ(word::get_indexed(obj, 1)->data2, 3u);

  Cell w = integer(4);
  stack::push_copy(&w);
  word::set_indexed_keep_old(obj, 1);
  EXPECT_EQ(stack::last_pushed()->data2, 3u) << "the old value is pushed";
  EXPECT_EQ(_context::value_at(obj, 1)->data2, 4u);

  RootedNode fn(_context::allocate(1, true, false, 0, kContextFunction));
  EXPECT_EQ(error_of([&] { word::get_indexed(fn, 0); }), "script/not-defined");

  word::push_local(obj, 0, TYPE_LIT_WORD);
  EXPECT_EQ(TYPE_OF(stack::last_pushed()), TYPE_LIT_WORD);
  EXPECT_EQ(stack::last_pushed()->data2, sym("wt-idx-a"));
  EXPECT_EQ(stack::last_pushed()->data1, obj.get());
}

TEST_F(WordTest, ContextValueOrGlobalFallsBackToTheGlobalWord) {
  RootedNode obj(_context::allocate(1, false, true, 0, kContextObject));
  Cell local{TYPE_WORD, 0, sym("wt-cvg-local"), kUnresolved};
  Cell v = integer(8);
  _context::put_symbol(obj, &local, &v);
  Cell g = global("wt-cvg-global");
  Cell nine = integer(9);
  word::set(&g, &nine);
  EXPECT_EQ(word::context_value_or_global(obj, sym("wt-cvg-local"))->data2, 8u);
  EXPECT_EQ(word::context_value_or_global(obj, sym("wt-cvg-global"))->data2, 9u);
}

// ---------------------------------------------------------------------------
// make / to and index?.

TEST_F(WordTest, MakeAndToTurnTheSupportedTypesIntoWords) {
  RootedCell text;
  string::init_cell(text.get(), 0);
  string::append_text(text.get(), "wt-mk-a:");
  RootedCell bad_text;
  string::init_cell(bad_text.get(), 0);
  string::append_text(bad_text.get(), "1wt");
  RootedCell two_words;
  string::init_cell(two_words.get(), 0);
  string::append_text(two_words.get(), "wt-a wt-b");

  Cell r = make(TYPE_WORD, Cell{TYPE_DATATYPE, TYPE_INTEGER, 0, 0});
  EXPECT_EQ(r.data2, sym("integer!"));
  EXPECT_EQ(r.data1, _context::global());
  EXPECT_EQ(make(TYPE_WORD, Cell{TYPE_LOGIC, 1, 0, 0}).data2, sym("true"));
  EXPECT_EQ(make(TYPE_WORD, Cell{TYPE_LOGIC, 0, 0, 0}).data2, sym("false"));

  r = make(TYPE_WORD, *text);
  EXPECT_EQ(TYPE_OF(&r), TYPE_WORD);
  EXPECT_EQ(r.data2, sym("wt-mk-a"));
  EXPECT_EQ(r.data1, _context::global());
  EXPECT_NE(r.data3, kUnresolved);

  r = make(TYPE_SET_WORD, global("wt-mk-b", TYPE_LIT_WORD));
  EXPECT_EQ(TYPE_OF(&r), TYPE_SET_WORD);
  EXPECT_EQ(render(r, true), "wt-mk-b:");

  r = make(TYPE_WORD, Cell{TYPE_CHAR, 0, 0xE9, 0});
  EXPECT_EQ(r.data2, sym("é"));

  Cell ref{TYPE_REFINEMENT, 0, sym("wt-mk-ref"), kUnresolved};
  r = make(TYPE_WORD, ref);
  EXPECT_EQ(r.data2, sym("wt-mk-ref"));
  EXPECT_EQ(r.data1, _context::global()) << "bound to the global context";

  struct Bad {
    const char* what;
    uint32_t target;
    Cell spec;
    const char* error;
  };
  const Bad bad[] = {
      {"text that is not a word", TYPE_WORD, *bad_text, "script/invalid-chars"},
      {"text of two words", TYPE_WORD, *two_words, "script/invalid-chars"},
      {"a refinement that would load as a number", TYPE_WORD,
       Cell{TYPE_REFINEMENT, 0, sym("1wt"), kUnresolved}, "script/bad-to-arg"},
      {"an integer", TYPE_WORD, integer(12), "script/bad-to-arg"},
      {"none", TYPE_LIT_WORD, Cell{TYPE_NONE, 0, 0, 0}, "script/bad-to-arg"},
  };
  for (const Bad& b : bad) EXPECT_EQ(error_of([&] { make(b.target, b.spec); }), b.error) << b.what;

  RootedCell int_text;
  string::init_cell(int_text.get(), 0);
  string::append_text(int_text.get(), "int");
  EXPECT_EQ(error_of([&] { make(TYPE_WORD, *int_text); }), "script/invalid-chars");

  word::set_text_value_loader(nullptr);
  EXPECT_EQ(error_of([&] { make(TYPE_WORD, *text); }), "internal/not-done");
}

TEST_F(WordTest, IndexAnswersThePositionFromOneOrNoneWhenUnresolved) {
  RootedNode obj(_context::allocate(3, false, true, 0, kContextObject));
  for (const char* t : {"wt-ix-a", "wt-ix-b", "wt-ix-c"}) {
    Cell w{TYPE_WORD, 0, sym(t), kUnresolved};
    _context::word_index(obj, &w);
  }
  auto index_of = [](const Cell& w) {
    stack::open_call_frame(nullptr);
    stack::push_copy(&w);
    type_handler(TYPE_OF(&w), ACT_INDEX_Q)();
    Cell r = *stack::arguments();
    stack::pop_frame_drop();
    return r;
  };
  Cell r = index_of(*_context::word_at(obj, 2));
  EXPECT_EQ(TYPE_OF(&r), TYPE_INTEGER);
  EXPECT_EQ(r.data2, 3u);
  r = index_of(Cell{TYPE_WORD, 0, sym("wt-ix-x"), kUnresolved});
  EXPECT_EQ(TYPE_OF(&r), TYPE_NONE);
  Cell get = *_context::word_at(obj, 0);
  get.header = TYPE_GET_WORD;
  EXPECT_EQ(index_of(get).data2, 1u);
}

TEST_F(WordTest, KindsInheritWordHandlersAsRegistered) {
  for (uint32_t t : {TYPE_SET_WORD, TYPE_LIT_WORD, TYPE_GET_WORD, TYPE_REFINEMENT}) {
    EXPECT_EQ(type_handler(t, ACT_MAKE), type_handler(TYPE_WORD, ACT_MAKE)) << t;
    EXPECT_EQ(type_handler(t, ACT_FORM), type_handler(TYPE_WORD, ACT_FORM)) << t;
    EXPECT_EQ(type_handler(t, ACT_COMPARE), type_handler(TYPE_WORD, ACT_COMPARE)) << t;
    EXPECT_NE(type_handler(t, ACT_MOLD), type_handler(TYPE_WORD, ACT_MOLD)) << t;
    EXPECT_EQ(type_handler(t, ACT_APPEND), nullptr) << t;
  }
  EXPECT_EQ(type_handler(TYPE_SET_WORD, ACT_INDEX_Q), type_handler(TYPE_WORD, ACT_INDEX_Q));
  EXPECT_EQ(type_handler(TYPE_REFINEMENT, ACT_INDEX_Q), nullptr);
  EXPECT_NE(type_handler(TYPE_SYMBOL, ACT_COMPARE), nullptr);
  EXPECT_EQ(type_handler(TYPE_SYMBOL, ACT_FORM), nullptr);
  EXPECT_EQ(type_handler(TYPE_CONTEXT, ACT_COMPARE), nullptr);
}

// ---------------------------------------------------------------------------
// Loading and the built-in words.

TEST_F(WordTest, LoadKeepsTheSpellingAndBootModeKeepsACopyInTheRootBlock) {
  Cell lower = word::load("wt-load");
  Cell upper = word::load("wt-LOAD", TYPE_SET_WORD);
  EXPECT_EQ(upper.data3, lower.data3);
  EXPECT_EQ(upper.data2, sym("wt-LOAD"));
  EXPECT_EQ(TYPE_OF(&upper), TYPE_SET_WORD);

  uint32_t before = series_length(root_block());
  word::load("wt-load-unrooted");
  EXPECT_EQ(series_length(root_block()), before);
  set_boot_mode(true);
  Cell kept = word::load("wt-load-rooted");
  set_boot_mode(false);
  ASSERT_EQ(series_length(root_block()), before + 1);
  EXPECT_EQ(series_tail_cell(root_block())[-1].data2, kept.data2);

  Cell ref = refinement::at_tail_interned("wt-ref");
  EXPECT_EQ(TYPE_OF(&ref), TYPE_REFINEMENT);
  EXPECT_EQ(ref.data1, 0u) << "unbound";
  EXPECT_EQ(render(ref, true), "/wt-ref");
}

TEST_F(WordTest, BuiltinWordsAreInternedAndBoundInTheGlobalContext) {
  word::init_builtin_words();
  EXPECT_EQ(words::symbol_of(words::SYM_SELF), sym("self"));
  EXPECT_EQ(words::symbol_of(words::WORD_SWAPED), sym("swaped"));
  for (int i = 0; i < words::kWordCount; ++i) {
    auto id = static_cast<words::Id>(i);
    const Cell* c = words::cell_of(id);
    switch (words::kind(id)) {
      case words::Kind::KEYWORD:
      case words::Kind::GLOBAL: {
        EXPECT_EQ(c->data1, _context::global()) << words::text(id);
        Cell again = global(std::string(words::text(id)));
        EXPECT_EQ(c->data3, again.data3) << words::text(id);
        break;
      }
      case words::Kind::REFINEMENT:
        EXPECT_EQ(TYPE_OF(c), TYPE_REFINEMENT) << words::text(id);
        EXPECT_EQ(c->data1, 0u) << words::text(id);
        break;
      default:
        EXPECT_EQ(symbol::utf8_of(words::symbol_of(id)), words::text(id));
        break;
    }
  }
  words::reset();
}

TEST_F(WordTest, SymbolToStringSharesTheCachedText) {
  uint32_t s = sym("wt-shared");
  Cell* str = word::symbol_to_string_push(s);
  EXPECT_EQ(TYPE_OF(str), TYPE_STRING);
  EXPECT_EQ(str->data2, symbol::entry_at(s)->data2);
  EXPECT_EQ(utf8(str), "wt-shared");
}

}  // namespace
}  // namespace kiv
