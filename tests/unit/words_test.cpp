#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "runtime/words.h"

namespace kiv {
namespace {

// A stand-in symbol table and global context: symbol ids in interning
// order, global indexes in order of first addition.
struct FakeRuntime {
  static inline std::map<std::string, uint32_t> symbols;
  static inline std::vector<std::string> interned;  // every call, in order
  static inline std::map<uint32_t, uint32_t> global_index;

  static uint32_t intern(std::string_view text) {
    interned.emplace_back(text);
    auto [it, added] = symbols.emplace(std::string(text), uint32_t(symbols.size() + 1));
    return it->second;
  }
  static void global_word(uint32_t symbol, Cell* out) {
    auto [it, added] = global_index.emplace(symbol, uint32_t(global_index.size()));
    *out = Cell{TYPE_WORD, 7, symbol, it->second};
  }
  static void refinement(std::string_view text, Cell* out) {
    *out = Cell{TYPE_REFINEMENT, 0, intern(text), 0xFFFFFFFF};
  }
  static void issue(std::string_view text, Cell* out) { *out = Cell{TYPE_ISSUE, 0, intern(text), 0}; }
};

class Words : public ::testing::Test {
 protected:
  void SetUp() override {
    FakeRuntime::symbols.clear();
    FakeRuntime::interned.clear();
    FakeRuntime::global_index.clear();
    words::reset();
    words::Loader loader{FakeRuntime::intern, FakeRuntime::global_word, FakeRuntime::refinement,
                         FakeRuntime::issue};
    words::init_common_words(loader);
    words::init_refinement_words(loader);
    words::init_issue_word(loader);
  }
  void TearDown() override { words::reset(); }
};

TEST_F(Words, OwnerNotificationSpellingsArePutEdAndSwaped) {
  EXPECT_EQ(words::text(words::WORD_PUT_ED), "put-ed");
  EXPECT_EQ(words::text(words::WORD_SWAPED), "swaped");
  EXPECT_EQ(words::symbol_of(words::WORD_SWAPED), FakeRuntime::symbols.at("swaped"));
  EXPECT_EQ(words::symbol_of(words::WORD_PUT_ED), FakeRuntime::symbols.at("put-ed"));
}

TEST_F(Words, NoTwoSlotsOfOneKindShareAText) {
  std::set<std::pair<int, std::string_view>> seen;
  for (int i = 0; i < words::kWordCount; i++) {
    auto id = static_cast<words::Id>(i);
    EXPECT_TRUE(seen.emplace(int(words::kind(id)), words::text(id)).second)
        << "duplicate " << words::text(id);
  }
}

TEST_F(Words, KeywordAndGlobalSlotsHoldWordsOfTheirOwnSymbol) {
  for (int i = 0; i < words::kWordCount; i++) {
    auto id = static_cast<words::Id>(i);
    const Cell* c = words::cell_of(id);
    uint32_t sym = FakeRuntime::symbols.at(std::string(words::text(id)));
    EXPECT_EQ(words::symbol_of(id), sym) << words::text(id);
    switch (words::kind(id)) {
      case words::Kind::KEYWORD:
      case words::Kind::GLOBAL:
        EXPECT_EQ(TYPE_OF(c), TYPE_WORD) << words::text(id);
        EXPECT_EQ(c->data2, sym) << words::text(id);
        EXPECT_TRUE(words::is(c, id));
        break;
      case words::Kind::REFINEMENT:
        EXPECT_EQ(TYPE_OF(c), TYPE_REFINEMENT) << words::text(id);
        break;
      case words::Kind::ISSUE:
        EXPECT_EQ(TYPE_OF(c), TYPE_ISSUE) << words::text(id);
        break;
      default:
        EXPECT_EQ(TYPE_OF(c), TYPE_UNSET) << words::text(id);
    }
  }
}

// Symbol ids and global-context indexes depend on the interning order, so
// the order must be: symbols, then keyword words, then global words.
TEST_F(Words, CommonWordsAreInternedInListOrder) {
  ASSERT_GE(FakeRuntime::interned.size(), 3u);
  EXPECT_EQ(FakeRuntime::interned[0], "spec");
  EXPECT_EQ(FakeRuntime::interned[1], "body");
  EXPECT_EQ(FakeRuntime::global_index.at(words::symbol_of(words::KEY_WINDOWS)), 0u);
  EXPECT_LT(FakeRuntime::global_index.at(words::symbol_of(words::KEY_END)),
            FakeRuntime::global_index.at(words::symbol_of(words::WORD_AT)));
  EXPECT_EQ(FakeRuntime::symbols.count("stack"), 1u);
}

TEST_F(Words, SharedTextsShareOneSymbolAcrossKinds) {
  EXPECT_EQ(words::symbol_of(words::SYM_TYPE), words::symbol_of(words::WORD_TYPE));
  EXPECT_EQ(words::symbol_of(words::SYM_END), words::symbol_of(words::KEY_END));
  EXPECT_EQ(words::symbol_of(words::REF_LOCAL), words::symbol_of(words::WORD_LOCAL));
}

TEST_F(Words, IsRejectsNonWordsAndUnfilledSlots) {
  Cell integer{TYPE_INTEGER, 0, words::symbol_of(words::WORD_AT), 0};
  EXPECT_FALSE(words::is(&integer, words::WORD_AT));
  words::reset();
  Cell zero_word{TYPE_WORD, 0, 0, 0};
  EXPECT_FALSE(words::is(&zero_word, words::WORD_AT));
}

}  // namespace
}  // namespace kiv
