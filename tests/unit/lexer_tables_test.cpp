// The generated class and transition tables, checked against rows and rules
// the lexer's behaviour depends on.
#include <gtest/gtest.h>

#include "runtime/eval/lexer.h"
#include "runtime/eval/lexer_tables.h"

namespace kiv::lexer {
namespace {

uint8_t next(uint8_t state, uint8_t byte) { return kLexTransitions[state][class_of(byte)]; }
uint8_t at_end(uint8_t state) { return kLexTransitions[state][kClassEnd]; }

TEST(LexerTables, EveryByteHasAClassBelowForty) {
  for (int b = 0; b < 256; ++b) EXPECT_LT(class_of(static_cast<uint8_t>(b)), kClassCount) << "byte " << b;
}

TEST(LexerTables, ClassesGroupTheBytesTheScannersTellApart) {
  struct Same {
    uint8_t a, b;
  } same[] = {{'\t', ' '}, {'\r', ' '}, {'1', '9'}, {'x', 'X'}, {'a', 'f'}, {'A', 'F'},
              {'!', '~'}, {'G', 'z'}, {0xC2, 0xF7}, {0x80, 0xBF}, {0xC0, 0xFF}};
  for (auto s : same) EXPECT_EQ(class_of(s.a), class_of(s.b)) << int(s.a) << " " << int(s.b);
  struct Differ {
    uint8_t a, b;
  } differ[] = {{'0', '1'}, {'e', 'a'}, {'E', 'A'}, {'h', 'g'}, {'T', 'U'}, {'\n', ' '}, {0x7F, 0x7E}, {0xBF, 0xC0}};
  for (auto d : differ) EXPECT_NE(class_of(d.a), class_of(d.b)) << int(d.a) << " " << int(d.b);
}

TEST(LexerTables, FlagBitsMarkMultiByteLeadsAndNumberSyntax) {
  EXPECT_TRUE(kLexClassTable[0xC3] & kTokLead23);
  EXPECT_TRUE(kLexClassTable[0xEF] & kTokLead23);
  EXPECT_FALSE(kLexClassTable[0xEF] & kTokLead4);
  EXPECT_TRUE(kLexClassTable[0xF0] & kTokLead4);
  EXPECT_FALSE(kLexClassTable[0x80] & (kTokLead23 | kTokLead4));
  EXPECT_TRUE(kLexClassTable['\''] & kTokApostrophe);
  EXPECT_TRUE(kLexClassTable['e'] & kTokExponent);
  EXPECT_TRUE(kLexClassTable['E'] & kTokExponent);
  EXPECT_TRUE(kLexClassTable['-'] & kTokSign);
  EXPECT_FALSE(kLexClassTable['a'] & ~kClassMask);
}

TEST(LexerTables, StateZeroStartsEachTokenKind) {
  struct Row {
    uint8_t byte;
    uint8_t state;
  } rows[] = {{'5', 23},  {'0', 23},  {'[', 68}, {']', 69}, {'(', 70}, {')', 71}, {'{', 72},
              {'}', 67},  {'\\', 67}, {0x80, 67}, {0xC0, 67}, {'"', 2}, {'#', 16}, {'\'', 51},
              {':', 51},  {'g', 52},  {'E', 40}, {'B', 40}, {'/', 13}, {'<', 43}, {'=', 58},
              {'%', 6},   {',', 78},  {';', 1},  {'@', 57}, {'.', 49}, {'$', 36}, {'+', 47},
              {'-', 47},  {' ', 0},   {'\n', 0}, {0x01, 0}, {0, 66}};
  for (auto r : rows) EXPECT_EQ(next(0, r.byte), r.state) << "byte " << int(r.byte);
}

TEST(LexerTables, QuotedStringEndsAtItsQuoteAndFailsAtLineEnd) {
  EXPECT_EQ(next(2, '"'), 79);
  EXPECT_EQ(next(2, '^'), 3);
  EXPECT_EQ(next(3, '"'), 2);  // an escaped quote does not end the string
  EXPECT_EQ(next(2, '\n'), 67);
  EXPECT_EQ(at_end(2), 67);
}

TEST(LexerTables, WordEndsAtDelimitersAndForksToSetWordPathEmail) {
  for (uint8_t d : {' ', '\n', '[', ']', '(', ')', '{', '}', '"', ';'}) EXPECT_EQ(next(52, d), 80) << int(d);
  EXPECT_EQ(at_end(52), 80);
  EXPECT_EQ(next(52, ':'), 53);
  EXPECT_EQ(next(52, '/'), 75);
  EXPECT_EQ(next(52, '@'), 56);
}

TEST(LexerTables, PathElementCannotStartWithABlank) { EXPECT_EQ(next(59, ' '), 67); }

TEST(LexerTables, EveryStateRejectsInvalidLeadBytes) {
  for (int s = 0; s < kStateCount; ++s) EXPECT_EQ(kLexTransitions[s][kClassInvalidLead], 67) << "state " << s;
}

TEST(LexerTables, EveryTargetIsAStateOrAFinal) {
  for (int s = 0; s < kStateCount; ++s)
    for (int c = 0; c < kClassCount; ++c) {
      uint8_t t = kLexTransitions[s][c];
      EXPECT_TRUE(t < kStateCount || (t >= kFirstFinal && t <= kLastFinal)) << s << "," << c;
    }
}

TEST(LexerTables, FinalTypesAndPrescanTypesNameTheDatatypes) {
  EXPECT_EQ(final_type(kFinalString), TYPE_STRING);
  EXPECT_EQ(final_type(kFinalWord), TYPE_WORD);
  EXPECT_EQ(final_type(kFinalHexInteger), TYPE_INTEGER);
  EXPECT_EQ(final_type(kFinalPoint), TYPE_POINT2D);
  EXPECT_EQ(final_type(kFinalRef), TYPE_REF);
  EXPECT_EQ(final_type(kFinalBlockOpen), 0u);
  EXPECT_EQ(final_type(kFinalError), TYPE_ERROR);
  EXPECT_EQ(kLexPrescanType[59], TYPE_PATH);
  EXPECT_EQ(kLexPrescanType[53], TYPE_SET_WORD);
  EXPECT_EQ(kLexPrescanType[0], 0);
}

}  // namespace
}  // namespace kiv::lexer
