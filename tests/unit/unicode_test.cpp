#include "runtime/unicode.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Decodes every character of the bytes with the fast decoder.
std::vector<int32_t> fast_decode_all(const Bytes& b) {
  std::vector<int32_t> out;
  const uint8_t* p = b.data();
  const uint8_t* end = p + b.size();
  while (p < end) {
    int32_t cp;
    p = kiv::unicode::fast_decode_utf8_char(p, end, &cp);
    out.push_back(cp);
  }
  return out;
}

int32_t strict(const Bytes& b, size_t* length = nullptr) {
  size_t avail = b.size();
  int32_t cp = kiv::decode_utf8_sequence(b.data(), &avail);
  if (length) *length = avail;
  return cp;
}

TEST(Utf8Fast, DecodesWellFormedCharacters) {
  EXPECT_EQ(fast_decode_all({'a', 0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80}),
            (std::vector<int32_t>{'a', 0xE9, 0x20AC, 0x1F600}));
  EXPECT_EQ(fast_decode_all({0xF4, 0x8F, 0xBF, 0xBF}), (std::vector<int32_t>{0x10FFFF}));
  EXPECT_EQ(fast_decode_all({0xEF, 0xBF, 0xBE}), (std::vector<int32_t>{0xFFFE}));
}

TEST(Utf8Fast, RejectsMalformedAndConsumesAsDescribed) {
  struct Case {
    Bytes in;
    std::vector<int32_t> out;
    const char* what;
  } cases[] = {
      {{0x80, 'a'}, {-1, 'a'}, "stray continuation takes one byte"},
      {{0xC0, 0x80}, {-1, -1}, "overlong NUL: impossible lead, then a stray continuation"},
      {{0xC1, 0xBF}, {-1, -1}, "overlong 0x7F"},
      {{0xF5, 0x80, 0x80, 0x80}, {-1, -1, -1, -1}, "lead above the code space"},
      {{0xFF}, {-1}, "FF"},
      {{0xC3, 'a', 'b'}, {-1, 'b'}, "broken sequence takes the breaking byte"},
      {{0xE0, 0x80, 0x80}, {-1, -1}, "overlong three-byte form"},
      {{0xED, 0xA0, 0x80}, {-1, -1}, "surrogate D800"},
      {{0xF4, 0x90, 0x80, 0x80}, {-1, -1, -1}, "above 0x10FFFF"},
      {{0xE2, 0x82}, {-1}, "cut by the end of the input"},
  };
  for (const Case& c : cases) EXPECT_EQ(fast_decode_all(c.in), c.out) << c.what;
}

TEST(Utf8Fast, NeverReadsPastTheEnd) {
  // A lead byte at the very end of a buffer: the decoder must stop at end.
  Bytes b = {'x', 0xF0};
  int32_t cp = 0;
  const uint8_t* after = kiv::unicode::fast_decode_utf8_char(b.data() + 1, b.data() + 2, &cp);
  EXPECT_EQ(after, b.data() + 2);
  EXPECT_EQ(cp, -1);
}

TEST(Utf8Fast, CountAndWalk) {
  Bytes b = {'a', 0xC3, 0xA9, 0xE2, 0x82, 0xAC, 'z'};
  const uint8_t* s = b.data();
  const uint8_t* e = s + b.size();
  EXPECT_EQ(kiv::utf8_count_chars(s, e), 4u);
  EXPECT_EQ(kiv::utf8_walk_chars(s, e, 2), s + 3);
  EXPECT_EQ(kiv::utf8_walk_chars(s, e, 100), e);
  EXPECT_EQ(kiv::utf8_walk_chars(s, e, 0), s);
}

TEST(Utf8Strict, DecodesAndReportsLength) {
  size_t len = 0;
  EXPECT_EQ(strict({0xC3, 0xA9}, &len), 0xE9);
  EXPECT_EQ(len, 2u);
  EXPECT_EQ(strict({0xF0, 0x9F, 0x98, 0x80, 'x'}, &len), 0x1F600);
  EXPECT_EQ(len, 4u);
  EXPECT_EQ(strict({'A', 0xFF}, &len), 'A');
  EXPECT_EQ(len, 1u);
}

TEST(Utf8Strict, MalformedInputIsInvalidNotTruncated) {
  struct Case {
    Bytes in;
    int32_t want;
    const char* what;
  } cases[] = {
      {{0x80}, kiv::kUtf8Invalid, "continuation as lead"},
      {{0xF8, 0x80, 0x80, 0x80}, kiv::kUtf8Invalid, "F8 lead"},
      {{0xC0, 0x80}, kiv::kUtf8Invalid, "overlong NUL would hide a terminator"},
      {{0xC1, 0xAF}, kiv::kUtf8Invalid, "overlong slash"},
      {{0xE0, 0x80, 0xAF}, kiv::kUtf8Invalid, "overlong three-byte slash"},
      {{0xF0, 0x80, 0x80, 0xAF}, kiv::kUtf8Invalid, "overlong four-byte slash"},
      {{0xF4, 0x90, 0x80, 0x80}, kiv::kUtf8Invalid, "above 0x10FFFF"},
      {{0xF7, 0xBF, 0xBF, 0xBF}, kiv::kUtf8Invalid, "far above 0x10FFFF"},
      {{0xC3, 0x41}, kiv::kUtf8Invalid, "bad continuation"},
      {{0xE2, 0x41}, kiv::kUtf8Invalid, "bad continuation in a cut sequence"},
      {{0xE2, 0x82}, kiv::kUtf8Truncated, "clean cut"},
      {{0xF0}, kiv::kUtf8Truncated, "lone four-byte lead at the end"},
      {{0xED, 0xA0, 0x80}, 0xD800, "encoded surrogates read back"},
      {{0xED, 0xB0, 0x80}, 0xDC00, "low surrogate reads back"},
      {{0xEF, 0xBF, 0xBE}, 0xFFFE, "U+FFFE is a valid character"},
      {{0xF4, 0x8F, 0xBF, 0xBF}, 0x10FFFF, "last code point"},
  };
  for (const Case& c : cases) EXPECT_EQ(strict(c.in), c.want) << c.what;
}

// Both decoders agree on every well-formed non-surrogate character, and the
// encoder writes what they read.
TEST(Utf8, EncoderAndDecodersRoundTripEveryCodePoint) {
  for (int32_t cp = 0; cp <= kiv::kMaxCodePoint; ++cp) {
    uint8_t buf[4];
    int n = kiv::encode_utf8_char(cp, buf);
    ASSERT_EQ(n, kiv::utf8_char_size(cp));
    size_t avail = static_cast<size_t>(n);
    ASSERT_EQ(kiv::decode_utf8_sequence(buf, &avail), cp);
    ASSERT_EQ(avail, static_cast<size_t>(n));
    int32_t fast;
    const uint8_t* after = kiv::unicode::fast_decode_utf8_char(buf, buf + n, &fast);
    if (cp >= 0xD800 && cp <= 0xDFFF) {
      ASSERT_EQ(fast, -1) << cp;  // the lexer takes no surrogates
    } else {
      ASSERT_EQ(fast, cp);
      ASSERT_EQ(after, buf + n);
    }
  }
}

// Over all two-byte inputs the fast decoder accepts exactly what the checking
// one accepts, with the same code point.
TEST(Utf8, DecodersAgreeOnShortInputs) {
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      Bytes in = {static_cast<uint8_t>(a), static_cast<uint8_t>(b)};
      size_t avail = 2;
      int32_t s = kiv::decode_utf8_sequence(in.data(), &avail);
      int32_t f;
      kiv::unicode::fast_decode_utf8_char(in.data(), in.data() + 2, &f);
      if (s >= 0) {
        ASSERT_EQ(f, s) << a << " " << b;
      } else {
        ASSERT_EQ(f, -1) << a << " " << b;
      }
    }
  }
}

TEST(Utf8, LeadLength) {
  EXPECT_EQ(kiv::utf8_lead_length(0x41), 0);
  EXPECT_EQ(kiv::utf8_lead_length(0xBF), 0);
  EXPECT_EQ(kiv::utf8_lead_length(0xC3), 2);
  EXPECT_EQ(kiv::utf8_lead_length(0xE2), 3);
  EXPECT_EQ(kiv::utf8_lead_length(0xF0), 4);
  EXPECT_EQ(kiv::utf8_lead_length(0xFF), 4);
}

TEST(Utf8, SizeOfRangeByUnit) {
  uint8_t latin1[] = {'a', 0xE9, 0xFF};
  EXPECT_EQ(kiv::utf8_size_of_range(latin1, latin1 + 3, 1), 5u);
  uint16_t ucs2[] = {'a', 0x20AC, 0x7FF};
  EXPECT_EQ(kiv::utf8_size_of_range(ucs2, ucs2 + 3, 2), 6u);
  uint32_t ucs4[] = {'a', 0x1F600, 0x10000};
  EXPECT_EQ(kiv::utf8_size_of_range(ucs4, ucs4 + 3, 4), 9u);
}

TEST(Utf8, BoundedEncoderStopsAtRoom) {
  uint8_t buf[4] = {0, 0, 0, 0};
  EXPECT_EQ(kiv::encode_utf8_char_bounded(0x20AC, buf, 2), 2);
  EXPECT_EQ(buf[0], 0xE2);
  EXPECT_EQ(buf[1], 0x82);
  EXPECT_EQ(buf[2], 0);
  EXPECT_EQ(kiv::encode_utf8_char_bounded(0x20AC, buf, 0), 0);
  EXPECT_EQ(kiv::encode_utf8_char_bounded('a', buf, 4), 1);
}

TEST(Utf16, EncodesSurrogatePairsAndRefusesBeyondUnicode) {
  uint16_t u[2] = {0, 0};
  EXPECT_EQ(kiv::encode_utf16_char(0x41, u), 1);
  EXPECT_EQ(u[0], 0x41);
  EXPECT_EQ(kiv::encode_utf16_char(0x1F600, u), 2);
  EXPECT_EQ(u[0], 0xD83D);
  EXPECT_EQ(u[1], 0xDE00);
  EXPECT_EQ(kiv::encode_utf16_char(0x10000, u), 2);
  EXPECT_EQ(u[0], 0xD800);
  EXPECT_EQ(u[1], 0xDC00);
  EXPECT_EQ(kiv::encode_utf16_char(0x110000, u), 0);
  EXPECT_EQ(kiv::encode_utf16_char(-5, u), 0);
}

TEST(Utf16, CStringWidensEachByte) {
  uint16_t out[5];
  kiv::cstring_to_utf16("a\xE9z", out);
  EXPECT_EQ(out[0], 'a');
  EXPECT_EQ(out[1], 0xE9);
  EXPECT_EQ(out[2], 'z');
  EXPECT_EQ(out[3], 0);
}

TEST(Cp1251, MapsHighBytes) {
  EXPECT_EQ(kiv::cp1251_to_code_point('A'), 'A');
  EXPECT_EQ(kiv::cp1251_to_code_point(0xC0), 0x410);  // first capital Cyrillic letter
  EXPECT_EQ(kiv::cp1251_to_code_point(0xFF), 0x44F);
  EXPECT_EQ(kiv::cp1251_to_code_point(0x88), 0x20AC);
  EXPECT_EQ(kiv::cp1251_to_code_point(0x98), 0x98);
  EXPECT_EQ(kiv::cp1251_to_code_point(0xB9), 0x2116);
}

}  // namespace

// ---------------------------------------------------------------------------
// String series.

#include "runtime/collector.h"
#include "runtime/language_error.h"
#include "tests/unit/string_units_support.h"

namespace {

using kiv::Cell;
using kiv::LanguageError;
using kiv::RootedCell;
using kiv::RootedNode;

// Collections may run (and under KIV_GC_TORTURE move every buffer) during
// these tests, so everything is kept in rooted holders.
class StringSeries : public ::testing::Test {
 protected:
  kiv::CollectorEnableScope collect_{true};
};

std::u32string text_of(uint32_t node) {
  kiv::SeriesBuffer* b = kiv::node_buffer(node);
  std::u32string out;
  uint32_t unit = b->unit();
  for (const uint8_t* p = b->head_ptr(); p < b->tail_ptr(); p += unit) {
    uint32_t v = 0;
    std::memcpy(&v, p, unit);
    out.push_back(static_cast<char32_t>(v));
  }
  return out;
}

uint32_t unit_of(uint32_t node) { return kiv::node_buffer(node)->unit(); }

// A string! value holding the code points, at the narrowest unit.
RootedCell make_string(const std::u32string& text) {
  uint32_t widest = 0;
  for (char32_t c : text) widest = std::max<uint32_t>(widest, c);
  return kiv::testing::string_of_units(text, widest <= 0xFF ? 1 : widest <= 0xFFFF ? 2 : 4);
}

uint32_t load8(const Bytes& b, uint32_t target = 0, size_t* remainder = nullptr, bool crlf = false) {
  size_t dummy;
  return kiv::load_utf8_string(b.data(), b.size(), target, remainder ? remainder : &dummy, crlf);
}

Bytes bytes_of_error(const LanguageError& e) {
  const Cell* arg = e.args[0].value.get();
  kiv::SeriesBuffer* b = kiv::node_buffer(arg->data2);
  return Bytes(b->head_ptr(), b->tail_ptr());
}

TEST_F(StringSeries, Utf8LoadPicksNarrowestUnit) {
  struct Case {
    Bytes in;
    std::u32string text;
    uint32_t unit;
  } cases[] = {
      {{0xC3, 0xA9}, U"\u00E9", 1},
      {{'a', 0xE2, 0x82, 0xAC}, U"a\u20AC", 2},
      {{'a', 0xF0, 0x9F, 0x98, 0x80, 0xC3, 0xA9}, U"a\U0001F600\u00E9", 4},
      {{0xEF, 0xBB, 0xBF}, U"", 1},
      {{0xEF, 0xBB, 0xBF, 'x'}, U"x", 1},
      {{}, U"", 1},
      {{0xED, 0xB0, 0x80}, U"\xDC00", 2},  // a lone surrogate this runtime wrote reads back
  };
  for (const Case& c : cases) {
    RootedNode n(load8(c.in));
    EXPECT_EQ(text_of(n), c.text);
    EXPECT_EQ(unit_of(n), c.unit);
  }
}

TEST_F(StringSeries, Utf8CutSequenceLeftForNextChunk) {
  size_t remainder = 99;
  RootedNode n(load8({'a', 'b', 0xE2, 0x82}, 0, &remainder));
  EXPECT_EQ(text_of(n), U"ab");
  EXPECT_EQ(remainder, 2u);
}

// Feeding a text in two chunks at every split point, with the remainder fed
// again, gives the same string as loading it whole.
TEST_F(StringSeries, Utf8ChunkedLoadingLosesNothing) {
  Bytes whole = {'h', 0xC3, 0xA9, 'l', 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80, '!'};
  for (size_t split = 0; split <= whole.size(); ++split) {
    size_t remainder = 0;
    RootedNode n(load8(Bytes(whole.begin(), whole.begin() + split), 0, &remainder));
    Bytes rest(whole.begin() + split - remainder, whole.end());
    size_t last = 0;
    load8(rest, n, &last);
    EXPECT_EQ(last, 0u);
    EXPECT_EQ(text_of(n), U"h\u00E9l\u20AC\U0001F600!") << split;
  }
}

TEST_F(StringSeries, Utf8CrlfBecomesLf) {
  size_t remainder;
  RootedNode n(load8({'a', '\r', '\n', 'b', '\r', 'c', '\r'}, 0, &remainder, true));
  EXPECT_EQ(text_of(n), U"a\nb\nc\n");
  RootedNode keep(load8({'a', '\r', '\n'}, 0, &remainder, false));
  EXPECT_EQ(text_of(keep), U"a\r\n");
}

// Texts of every mix of ASCII runs, CR, LF and wider characters, checked
// against a plain reference of the CR rules: catches slips in the 8-byte
// ASCII shortcut at run edges.
TEST_F(StringSeries, Utf8LoadMatchesReferenceOnMixedTexts) {
  const std::u32string alphabet = U"abcdefgh\r\r\n\u00E9\u20AC\U0001F600";
  uint32_t seed = 12345;
  auto next = [&seed] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7FFF; };
  for (int round = 0; round < 300; ++round) {
    std::u32string text;
    size_t length = next() % 40;
    for (size_t i = 0; i < length; ++i) text.push_back(alphabet[next() % alphabet.size()]);
    Bytes utf8;
    for (char32_t c : text) {
      uint8_t buf[4];
      int n = kiv::encode_utf8_char(static_cast<int32_t>(c), buf);
      utf8.insert(utf8.end(), buf, buf + n);
    }
    for (bool crlf : {false, true}) {
      std::u32string want;
      for (size_t i = 0; i < text.size(); ++i) {
        if (crlf && text[i] == U'\r') {
          if (i + 1 < text.size() && text[i + 1] == U'\n') continue;
          want.push_back(U'\n');
        } else {
          want.push_back(text[i]);
        }
      }
      size_t remainder = 1;
      RootedNode n(load8(utf8, 0, &remainder, crlf));
      ASSERT_EQ(text_of(n), want) << round << (crlf ? " crlf" : "");
      ASSERT_EQ(remainder, 0u);
    }
  }
}

TEST_F(StringSeries, Utf8MalformedRaisesWithBytesAndKeepsTarget) {
  RootedNode target(load8({'o', 'l', 'd'}));
  struct Case {
    Bytes in;
    Bytes reported;
  } cases[] = {
      {{'x', 0xC0, 0x80}, {0xC0, 0x80}},
      {{0xFF, 'a', 'b', 'c', 'd'}, {0xFF, 'a', 'b', 'c'}},
      {{'a', 0xC3, 0x41}, {0xC3, 0x41}},
      {{0xF4, 0x90, 0x80, 0x80}, {0xF4, 0x90, 0x80, 0x80}},
  };
  for (const Case& c : cases) {
    try {
      load8(c.in, target);
      ADD_FAILURE() << "no error";
    } catch (const LanguageError& e) {
      EXPECT_EQ(e.category, kiv::ErrorCategory::kAccess);
      EXPECT_EQ(e.id, "invalid-utf8");
      EXPECT_EQ(bytes_of_error(e), c.reported);
    }
    EXPECT_EQ(text_of(target), U"old");
  }
}

TEST_F(StringSeries, Utf8CutSequenceWithoutRemainderIsAnError) {
  Bytes in = {'a', 0xE2, 0x82};
  try {
    kiv::load_utf8_cstring(in.data(), in.size());
    ADD_FAILURE() << "no error";
  } catch (const LanguageError& e) {
    EXPECT_EQ(e.id, "invalid-utf8");
    EXPECT_EQ(bytes_of_error(e), (Bytes{0xE2, 0x82}));
  }
}

TEST_F(StringSeries, LoadingAppendsAndWidensExistingText) {
  RootedNode n(load8({'a', 0xC3, 0xA9}));
  load8({0xE2, 0x82, 0xAC}, n);
  EXPECT_EQ(text_of(n), U"a\u00E9\u20AC");
  EXPECT_EQ(unit_of(n), 2u);
  load8({'z'}, n);  // a narrow load never narrows the target
  EXPECT_EQ(unit_of(n), 2u);
  load8({0xF0, 0x9F, 0x98, 0x80}, n);
  EXPECT_EQ(text_of(n), U"a\u00E9\u20ACz\U0001F600");
  EXPECT_EQ(unit_of(n), 4u);
}

TEST_F(StringSeries, WideningKeepsEveryCharacter) {
  std::u32string text;
  for (char32_t c = 0; c < 300; ++c) text.push_back(c % 256);
  RootedCell s = make_string(text);
  kiv::SeriesBuffer* b = kiv::widen_latin1_to_ucs2(s->data2);
  EXPECT_EQ(b->unit(), 2u);
  EXPECT_EQ(text_of(s->data2), text);
  b = kiv::widen_ucs2_to_ucs4(s->data2);
  EXPECT_EQ(b->unit(), 4u);
  EXPECT_EQ(text_of(s->data2), text);
  RootedCell t = make_string(U"abc");
  kiv::widen_latin1_to_ucs4(t->data2);
  EXPECT_EQ(text_of(t->data2), U"abc");
  EXPECT_EQ(unit_of(t->data2), 4u);
}

TEST_F(StringSeries, Utf16LoadChoosesUnit) {
  struct Case {
    Bytes in;
    std::u32string text;
    uint32_t unit;
  } cases[] = {
      {{0x41, 0x00, 0x42, 0x00}, U"AB", 1},
      {{0xE9, 0x00}, U"\u00E9", 1},
      {{0xAC, 0x20, 0x41, 0x00}, U"\u20AC" U"A", 2},
      {{0x3D, 0xD8, 0x00, 0xDE}, U"\U0001F600", 4},
      {{0x00, 0xDC, 0x41, 0x00}, U"\xDC00" U"A", 2},  // a lone low surrogate is kept
  };
  for (const Case& c : cases) {
    RootedNode n(kiv::load_utf16le_string(c.in.data(), c.in.size() / 2, nullptr, false));
    EXPECT_EQ(text_of(n), c.text);
    EXPECT_EQ(unit_of(n), c.unit);
  }
}

TEST_F(StringSeries, Utf16LoneHighSurrogateRaisesNotExits) {
  struct Case {
    Bytes in;
    Bytes reported;
  } cases[] = {
      {{0x3D, 0xD8, 0x41, 0x00}, {0x3D, 0xD8, 0x41, 0x00}},
      {{0x41, 0x00, 0x3D, 0xD8}, {0x3D, 0xD8}},
      {{0x3D, 0xD8, 0x3D, 0xD8, 0x00, 0xDE}, {0x3D, 0xD8, 0x3D, 0xD8}},
  };
  for (const Case& c : cases) {
    try {
      kiv::load_utf16le_string(c.in.data(), c.in.size() / 2, nullptr, false);
      ADD_FAILURE() << "no error";
    } catch (const LanguageError& e) {
      EXPECT_EQ(e.category, kiv::ErrorCategory::kScript);
      EXPECT_EQ(e.id, "invalid-data");
      EXPECT_EQ(bytes_of_error(e), c.reported);
    }
  }
}

TEST_F(StringSeries, Utf16CrDroppedWithCrlf) {
  Bytes in = {'a', 0, '\r', 0, '\n', 0, 'b', 0, '\r', 0};
  RootedNode n(kiv::load_utf16le_string(in.data(), 5, nullptr, true));
  EXPECT_EQ(text_of(n), U"a\nb");
}

TEST_F(StringSeries, ToUtf16WritesCrLfAndTerminator) {
  RootedCell s = make_string(U"a\nb");
  const uint16_t* u = kiv::to_utf16(s.get());
  ASSERT_NE(u, nullptr);
  EXPECT_EQ(std::vector<uint16_t>(u, u + 5), (std::vector<uint16_t>{0x61, 0x0D, 0x0A, 0x62, 0}));
  int32_t length = -1;
  u = kiv::string_to_utf16_part(s.get(), &length, false);
  EXPECT_EQ(length, 3);
  EXPECT_EQ(std::vector<uint16_t>(u, u + 4), (std::vector<uint16_t>{0x61, 0x0A, 0x62, 0}));
}

TEST_F(StringSeries, Utf16RoundTripThroughConversionBuffer) {
  std::u32string text = U"x\U00010000y\u20AC\U0010FFFF\u00E9";
  RootedCell s = make_string(text);
  int32_t length = -1;
  const uint16_t* u = kiv::string_to_utf16_part(s.get(), &length, false);
  ASSERT_NE(u, nullptr);
  EXPECT_EQ(length, 8);  // six characters, two of them surrogate pairs
  EXPECT_EQ(u[1], 0xD800);
  EXPECT_EQ(u[2], 0xDC00);
  EXPECT_EQ(u[length], 0);
  // Loading back from the value's own conversion buffer (bytes null), into an
  // empty string that owns it.
  RootedCell back = make_string(U"");
  back->data3 = s->data3;
  RootedNode n(kiv::load_utf16le_string(nullptr, static_cast<size_t>(length), back.get(), false));
  EXPECT_EQ(text_of(n), text);
  // Asking for more than the conversion buffer holds reads no further than it.
  RootedCell empty = make_string(U"");
  empty->data3 = s->data3;
  RootedNode m(kiv::load_utf16le_string(nullptr, 1u << 30, empty.get(), false));
  EXPECT_LE(text_of(m).size(), kiv::node_buffer(s->data3)->size / 2u);
}

TEST_F(StringSeries, Utf16RefusesCodePointsBeyondUnicode) {
  RootedCell s = make_string(U"a\U0010FFFF");
  kiv::node_buffer(s->data2)->head_ptr()[4 + 2] = 0x11;  // now 0x11FFFF
  int32_t length = -1;
  EXPECT_EQ(kiv::string_to_utf16_part(s.get(), &length, false), nullptr);
}

TEST_F(StringSeries, Utf8OutputRoundTripsAndHonoursLimitAndCrlf) {
  std::u32string text = U"a\n\u00E9\u20AC\U0001F600z";
  RootedCell s = make_string(text);
  int32_t length = -1;
  const char* utf8 = kiv::to_utf8_cstring(s.get(), &length);
  EXPECT_EQ(std::string(utf8), "a\n\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z");
  EXPECT_EQ(length, 12);
  Bytes copy(utf8, utf8 + length);
  RootedNode back(load8(copy));
  EXPECT_EQ(text_of(back), text);

  length = 3;
  utf8 = kiv::to_utf8_cstring_part(s.get(), &length, true);
  EXPECT_EQ(std::string(utf8), "a\r\n\xC3\xA9");
  EXPECT_EQ(length, 5);
}

TEST_F(StringSeries, Utf8FromHeadIndexClampedToTail) {
  RootedCell s = make_string(U"abc\u20AC");
  s->data1 = 2;
  uint8_t buf[16];
  EXPECT_EQ(kiv::string_range_to_utf8(s.get(), buf, -1, true), 4u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf)), "c\xE2\x82\xAC");
  s->data1 = 50;  // past the tail after another reference shortened it
  EXPECT_EQ(kiv::string_range_to_utf8(s.get(), buf, -1, true), 0u);
  EXPECT_EQ(buf[0], 0);
}

TEST_F(StringSeries, Utf8BinaryNeverWritesPastRoom) {
  RootedCell s = make_string(U"a\u20AC\u20AC");
  uint8_t buf[8];
  std::memset(buf, 0xEE, sizeof buf);
  EXPECT_EQ(kiv::string_to_utf8_binary(s.get(), buf, 3, -1, false), 3u);  // "a" and 2 bytes of the euro
  EXPECT_EQ(buf[3], 0xEE);
  std::memset(buf, 0xEE, sizeof buf);
  EXPECT_EQ(kiv::string_to_utf8_binary(s.get(), buf, 5, -1, true), 4u);
  EXPECT_EQ(buf[4], 0);
  EXPECT_EQ(buf[5], 0xEE);
  EXPECT_EQ(kiv::string_to_utf8_binary(s.get(), buf, 8, 1, false), 1u);
}

TEST_F(StringSeries, EncodingBeyondUnicodeRaisesInvalidChar) {
  uint8_t buf[4];
  try {
    kiv::encode_utf8_char(0x110000, buf);
    ADD_FAILURE() << "no error";
  } catch (const LanguageError& e) {
    EXPECT_EQ(e.category, kiv::ErrorCategory::kScript);
    EXPECT_EQ(e.id, "invalid-char");
    EXPECT_EQ(static_cast<int32_t>(e.args[0].value.get()->data2), 0x110000);
  }
  EXPECT_THROW(kiv::utf8_char_size(-1), LanguageError);
}

TEST_F(StringSeries, Cp1251Load) {
  Bytes in = {0xCF, 0xF0, 0xE8, '\r', '\n', 0x98};
  RootedCell target = make_string(U"");
  RootedNode n(kiv::load_cp1251_string(in.data(), in.size(), target.get(), true));
  EXPECT_EQ(text_of(n), U"\u041F\u0440\u0438\n\u0098");
  EXPECT_EQ(unit_of(n), 2u);
}

}  // namespace
