#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "runtime/collector.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/actions.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"

namespace kiv {
namespace {

// The symbol table is one per process: every test interns texts of its own
// (prefixed with "sym-") so the order of the tests does not matter. The
// collector is on, so under KIV_GC_TORTURE every few allocations move every
// buffer, the symbol block included.
class SymbolTest : public ::testing::Test {
 protected:
  CollectorEnableScope enable_{true};

  void SetUp() override {
    stack::init();
    support::init();
    symbol::init_table();
  }

  static std::u32string cached_text(uint32_t id) {
    Cell s = symbol::string_cell(id);
    std::u32string out;
    int32_t n = string::length(&s);
    for (int32_t i = 0; i < n; ++i) out.push_back(static_cast<char32_t>(string::char_at_index(&s, i)));
    return out;
  }

  // Garbage, so that collections find something to reclaim and move.
  static void churn() {
    for (int i = 0; i < 8; ++i) alloc_series(64, 1, 0);
  }
};

TEST_F(SymbolTest, OtherCaseSpellingsAreNewSymbolsAliasingTheFirst) {
  uint32_t lower = symbol::intern("sym-foo");
  uint32_t mixed = symbol::intern("sym-Foo");
  uint32_t upper = symbol::intern("sym-FOO");
  EXPECT_NE(lower, mixed);
  EXPECT_NE(mixed, upper);
  EXPECT_NE(lower, upper);
  EXPECT_EQ(symbol::intern("sym-foo"), lower);
  EXPECT_EQ(symbol::intern("sym-Foo"), mixed);
  EXPECT_EQ(symbol::canonical(lower), lower);
  EXPECT_LE(symbol::alias_of(lower), 0);
  EXPECT_EQ(symbol::alias_of(mixed), static_cast<int32_t>(lower));
  EXPECT_EQ(symbol::canonical(mixed), lower);
  // The third spelling names the first symbol, not the second.
  EXPECT_EQ(symbol::alias_of(upper), static_cast<int32_t>(lower));
}

TEST_F(SymbolTest, NonAsciiLettersFoldThroughTheCaseTables) {
  struct Case {
    const char* first;
    const char* other;
    bool same;
  };
  const Case cases[] = {
      {"sym-école", "sym-ÉCOLE", true},
      {"sym-σοφία", "sym-ΣΟΦΊΑ", true},
      {"sym-привет", "sym-ПРИВЕТ", true},
      {"sym-ǆ-x", "sym-Ǆ-X", true},
      {"sym-cafe", "sym-café", false},  // an accent is not a case
      {"sym-straße", "sym-strasse", false},  // no one-to-many folding
  };
  for (const Case& c : cases) {
    uint32_t a = symbol::intern(c.first);
    uint32_t b = symbol::intern(c.other);
    EXPECT_NE(a, b) << c.first;
    EXPECT_EQ(symbol::canonical(a) == symbol::canonical(b), c.same) << c.first << " / " << c.other;
  }
}

TEST_F(SymbolTest, CachedTextKeepsTheSymbolsOwnSpelling) {
  uint32_t lower = symbol::intern("sym-spelling");
  uint32_t upper = symbol::intern("sym-SPELLING");
  uint32_t wide = symbol::intern("sym-Ünïcødé-✓-𝄞");
  EXPECT_EQ(cached_text(upper), U"sym-SPELLING");
  EXPECT_EQ(cached_text(lower), U"sym-spelling");
  EXPECT_EQ(cached_text(wide), U"sym-Ünïcødé-✓-𝄞");
  EXPECT_EQ(symbol::utf8_of(wide), "sym-Ünïcødé-✓-𝄞");
}

TEST_F(SymbolTest, IdsAndTextsSurviveCollectionsThatMoveEveryBuffer) {
  std::vector<std::string> texts;
  std::vector<uint32_t> ids;
  for (int i = 0; i < 300; ++i) {
    texts.push_back("sym-stable-" + std::to_string(i) + (i % 3 ? "" : "-Ä"));
    ids.push_back(symbol::intern(texts.back().c_str()));
    if (i % 7 == 0) symbol::cache_text(ids.back());
    churn();
  }
  uint32_t count = symbol::count();
  ASSERT_TRUE(collector::collect());
  EXPECT_TRUE(collector::verify_heap().ok);
  for (size_t i = 0; i < texts.size(); ++i) {
    EXPECT_EQ(symbol::utf8_of(ids[i]), texts[i]);
    EXPECT_EQ(symbol::intern(texts[i].c_str()), ids[i]) << texts[i];
    churn();
  }
  EXPECT_EQ(symbol::count(), count);
  // Cached texts (made before and after the collection) still read right.
  for (size_t i = 0; i < texts.size(); i += 5) {
    std::u32string expected(texts[i].begin(), texts[i].end());
    if (i % 3 == 0) expected.replace(expected.size() - 2, 2, U"Ä");
    EXPECT_EQ(cached_text(ids[i]), expected);
  }
}

TEST_F(SymbolTest, LookupTakesTextWithoutTerminatorAndFromStringReadsTheWholeBuffer) {
  const char raw[] = {'s', 'y', 'm', '-', 'l', 'e', 'n', 'X', 'Y'};
  uint32_t id = symbol::lookup(raw, 7);
  EXPECT_EQ(id, symbol::intern("sym-len"));

  RootedCell s;
  string::init_cell(s.get(), 0);
  string::append_utf8(s.get(), "sym-fröm-string");
  s->data1 = 4;  // the head index is ignored: the whole buffer is read
  EXPECT_EQ(symbol::from_string(s.get()), symbol::intern("sym-fröm-string"));
}

TEST_F(SymbolTest, InternVariantAnswersTheCanonicalSymbol) {
  uint32_t first = symbol::intern("sym-variant");
  EXPECT_EQ(symbol::intern_variant("sym-VARIANT"), first);
  EXPECT_EQ(symbol::intern_variant("sym-variant"), first);
  uint32_t fresh = symbol::intern_variant("sym-Fresh-Variant");
  EXPECT_EQ(symbol::canonical(fresh), fresh);
}

TEST_F(SymbolTest, TextOfTerminatesATextThatFillsItsSeriesExactly) {
  // 16 ASCII characters fill a 16-byte series to the last byte.
  uint32_t id = symbol::intern("sym-sixteen-char");
  ASSERT_EQ(std::strlen("sym-sixteen-char"), 16u);
  Cell* entry = symbol::cache_text(id);
  SeriesBuffer* b = node_buffer(entry->data2);
  ASSERT_EQ(b->unit(), 1u);
  ASSERT_EQ(b->room(), 0u) << "the text should fill its series";
  const uint8_t* text = symbol::text_of(id);
  EXPECT_EQ(std::memcmp(text, "sym-sixteen-char", 16), 0);
  EXPECT_EQ(text[16], 0);
  EXPECT_EQ(cached_text(id), U"sym-sixteen-char");  // the length did not change

  // A text at unit 2 gets a zero unit of two bytes.
  uint32_t wide = symbol::intern("sym-ω");
  const uint8_t* w = symbol::text_of(wide);
  SeriesBuffer* wb = node_buffer(symbol::cache_text(wide)->data2);
  ASSERT_EQ(wb->unit(), 2u);
  EXPECT_EQ(string::get_char(w + 4 * 2, 2), 0x3C9u);
  EXPECT_EQ(string::get_char(w + 5 * 2, 2), 0u);
}

TEST_F(SymbolTest, CompareHandlerComparesTheTextsUnderTheOpCode) {
  uint32_t a = symbol::intern("sym-cmp-abc");
  uint32_t a_upper = symbol::intern("sym-cmp-ABC");
  uint32_t b = symbol::intern("sym-cmp-abd");
  // The entries are compared as copies: the handler may allocate.
  Cell ea = *symbol::entry_at(a);
  Cell eu = *symbol::entry_at(a_upper);
  Cell eb = *symbol::entry_at(b);
  Cell no_text = ea;
  no_text.data2 = 0;  // an entry whose string! text was never made
  EXPECT_EQ(symbol::compare(&ea, &eu, COMP_EQUAL), 0);
  EXPECT_NE(symbol::compare(&ea, &eu, COMP_STRICT_EQUAL), 0);
  EXPECT_LT(symbol::compare(&ea, &eb, COMP_LESSER), 0);
  EXPECT_GT(symbol::compare(&eb, &eu, COMP_GREATER), 0);
  EXPECT_EQ(symbol::compare(&no_text, &eu, COMP_EQUAL), 0);
  Cell integer{TYPE_INTEGER, 0, 1, 0};
  EXPECT_EQ(symbol::compare(&ea, &integer, COMP_EQUAL), kNotComparable);
}

}  // namespace
}  // namespace kiv
