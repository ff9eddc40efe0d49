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
