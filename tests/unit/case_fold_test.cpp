#include "runtime/case_fold.h"
#include "runtime/datatypes/string_case.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "runtime/case_fold_tables.h"

namespace {

using kiv::case_map_char;
using kiv::fold_case;

TEST(CaseFold, MapsPairsBothWays) {
  struct Case {
    int32_t cp, upper, lower;
    const char* what;
  } cases[] = {
      {'a', 'A', 'a', "ASCII lower"},
      {'Z', 'Z', 'z', "ASCII upper"},
      {'1', '1', '1', "digit"},
      {0xDF, 0xDF, 0xDF, "sharp s has no one-code-point upper case"},
      {0x1E9E, 0x1E9E, 0xDF, "capital sharp s lowers to sharp s"},
      {0x3C3, 0x3A3, 0x3C3, "sigma"},
      {0x3C2, 0x3A3, 0x3C2, "final sigma uppers to capital sigma"},
      {0x3A3, 0x3A3, 0x3C3, "capital sigma lowers to the non-final form"},
      {0x130, 0x130, 'i', "capital I with dot lowers to i"},
      {0x131, 'I', 0x131, "dotless i uppers to I"},
      {0x17F, 'S', 0x17F, "long s uppers to S"},
      {0x212A, 0x212A, 'k', "Kelvin sign lowers to k"},
      {0x1C5, 0x1C4, 0x1C6, "title-case digraph"},
      {0xFF, 0x178, 0xFF, "y with diaeresis leaves Latin-1"},
      {0xFB01, 0xFB01, 0xFB01, "ligature fi has no one-code-point upper case"},
      {0x149, 0x149, 0x149, "n preceded by apostrophe keeps its n"},
      {0xFF5A, 0xFF3A, 0xFF5A, "fullwidth z, last BMP pair"},
      {0x10400, 0x10400, 0x10428, "Deseret capital"},
      {0x10428, 0x10400, 0x10428, "Deseret small"},
      {0x1E943, 0x1E921, 0x1E943, "Adlam, last pair above the BMP"},
      {0x1E922, 0x1E900, 0x1E922, "Adlam small"},
      {0x1F600, 0x1F600, 0x1F600, "emoji has no case"},
      {0x10FFFF, 0x10FFFF, 0x10FFFF, "last code point"},
      {0x110000, 0x110000, 0x110000, "beyond Unicode maps to itself"},
      {-1, -1, -1, "negative maps to itself"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(case_map_char(c.cp, true), c.upper) << c.what;
    EXPECT_EQ(case_map_char(c.cp, false), c.lower) << c.what;
  }
}

TEST(CaseFold, FoldMakesCaseVariantsEqual) {
  EXPECT_EQ(fold_case(0x3C2), fold_case(0x3A3));  // final sigma = capital sigma
  EXPECT_EQ(fold_case(0x3C3), fold_case(0x3C2));
  EXPECT_EQ(fold_case('i'), fold_case('I'));
  EXPECT_EQ(fold_case(0x1C4), fold_case(0x1C5));
  EXPECT_EQ(fold_case(0x1C5), fold_case(0x1C6));
  EXPECT_EQ(fold_case(0x10400), fold_case(0x10428));
  EXPECT_NE(fold_case(0xDF), fold_case('s'));  // sharp s is no plain s
  EXPECT_NE(fold_case(0x130), fold_case('I'));
}

// Hash tables store keys by their fold: folding twice must change nothing,
// or a key folded once would miss the same key folded again.
TEST(CaseFold, FoldIsStableForEveryCodePoint) {
  for (int32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    int32_t f = fold_case(cp);
    ASSERT_EQ(fold_case(f), f) << std::hex << cp;
  }
}

TEST(CaseFold, PairListsSortedAndBounded) {
  namespace t = kiv::case_fold_tables;
  auto check = [](const t::CasePair* pairs, size_t n, bool bmp) {
    for (size_t i = 0; i < n; ++i) {
      EXPECT_EQ(pairs[i].code_point <= 0xFFFF, bmp);
      EXPECT_EQ(pairs[i].mapped <= 0xFFFF, bmp);
      if (i) {
        EXPECT_LT(pairs[i - 1].code_point, pairs[i].code_point);
      }
    }
  };
  check(t::kUpperBmp, std::size(t::kUpperBmp), true);
  check(t::kLowerBmp, std::size(t::kLowerBmp), true);
  check(t::kUpperAstral, std::size(t::kUpperAstral), false);
  check(t::kLowerAstral, std::size(t::kLowerAstral), false);
  EXPECT_EQ(t::kUpperAstral[0].code_point, 0x10428);
  EXPECT_EQ(t::kLowerAstral[std::size(t::kLowerAstral) - 1].code_point, 0x1E921);
}

// The committed table is what the committed script makes from the installed
// Unicode data; a hand edit or a stale table shows here.
TEST(CaseFold, CommittedTablesMatchGenerator) {
  namespace fs = std::filesystem;
  fs::path source_dir = fs::path(__FILE__).parent_path().parent_path().parent_path();
  fs::path script = source_dir / "tools" / "gen_case_fold.py";
  fs::path committed = source_dir / "runtime" / "case_fold_tables.h";
  if (!fs::exists(script) || !fs::exists("/usr/share/unicode/UnicodeData.txt") ||
      std::system("python3 -c '' 2>/dev/null") != 0) {
    GTEST_SKIP() << "generator, python3 or Unicode data not available";
  }
  fs::path out_dir = fs::temp_directory_path() / ("kiv-case-fold-" + std::to_string(::getpid()));
  fs::create_directories(out_dir);
  std::string cmd = "python3 '" + script.string() + "' /usr/share/unicode '" + out_dir.string() + "' >/dev/null";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  auto slurp = [](const fs::path& p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  };
  std::string fresh = slurp(out_dir / "case_fold_tables.h");
  fs::remove_all(out_dir);
  EXPECT_TRUE(fresh == slurp(committed)) << "run tools/gen_case_fold.py and commit runtime/case_fold_tables.h";
}

}  // namespace

// ---------------------------------------------------------------------------
// uppercase and lowercase on values.

#include "runtime/collector.h"
#include "runtime/language_error.h"
#include "runtime/series.h"
#include "tests/unit/string_units_support.h"

namespace {

using kiv::Cell;
using kiv::RootedCell;

class ChangeCase : public ::testing::Test {
 protected:
  kiv::CollectorEnableScope collect_{true};
};

RootedCell make_string(const std::u32string& text, uint32_t unit) { return kiv::testing::string_of_units(text, unit); }

std::u32string text_of(const Cell* s) {
  kiv::SeriesBuffer* b = kiv::node_buffer(s->data2);
  std::u32string out;
  for (const uint8_t* p = b->head_ptr(); p < b->tail_ptr(); p += b->unit()) {
    uint32_t v = 0;
    std::memcpy(&v, p, b->unit());
    out.push_back(static_cast<char32_t>(v));
  }
  return out;
}

TEST_F(ChangeCase, StringMapsEveryCharacterOneToOne) {
  RootedCell s = make_string(U"stra\u00DFe \u03C3\u03C2", 2);
  kiv::change_case(s.get(), true, nullptr);
  EXPECT_EQ(text_of(s.get()), U"STRA\u00DFE \u03A3\u03A3");  // sharp s keeps its letter
  kiv::change_case(s.get(), false, nullptr);
  EXPECT_EQ(text_of(s.get()), U"stra\u00DFe \u03C3\u03C3");
}

TEST_F(ChangeCase, UppercaseWidensLatin1String) {
  RootedCell s = make_string(U"a\u00FF", 1);
  kiv::change_case(s.get(), true, nullptr);
  EXPECT_EQ(text_of(s.get()), U"A\u0178");
  EXPECT_EQ(kiv::node_buffer(s->data2)->unit(), 2u);
}

TEST_F(ChangeCase, CharValues) {
  struct Case {
    uint32_t in;
    bool upper;
    uint32_t out;
  } cases[] = {{0x10400, false, 0x10428}, {0x1E943, true, 0x1E921}, {0x1E922, true, 0x1E900}, {'q', true, 'Q'}};
  for (const Case& c : cases) {
    Cell ch{kiv::TYPE_CHAR, 0, c.in, 0};
    kiv::change_case(&ch, c.upper, nullptr);
    EXPECT_EQ(ch.data2, c.out);
  }
}

TEST_F(ChangeCase, PartLimitsTheRange) {
  struct Case {
    int32_t limit;
    const char32_t* want;
  } cases[] = {{2, U"aBCdef"}, {100, U"aBCDEF"}, {-3, U"abcdef"}, {0, U"abcdef"}};
  for (const Case& c : cases) {
    RootedCell s = make_string(U"abcdef", 1);
    s->data1 = 1;
    Cell part{kiv::TYPE_INTEGER, 0, static_cast<uint32_t>(c.limit), 0};
    kiv::change_case(s.get(), true, &part);
    EXPECT_EQ(text_of(s.get()), c.want) << c.limit;
  }
}

TEST_F(ChangeCase, PartPositionInSameSeries) {
  RootedCell s = make_string(U"abcdef", 1);
  Cell end = *s.get();
  end.data1 = 3;
  kiv::change_case(s.get(), true, &end);
  EXPECT_EQ(text_of(s.get()), U"ABCdef");
  end.data1 = 0;
  s->data1 = 4;  // a position before the head changes nothing
  kiv::change_case(s.get(), false, &end);
  EXPECT_EQ(text_of(s.get()), U"ABCdef");
}

TEST_F(ChangeCase, PartInAnotherSeriesIsRefused) {
  RootedCell s = make_string(U"abc", 1);
  RootedCell other = make_string(U"abc", 1);
  try {
    kiv::change_case(s.get(), true, other.get());
    ADD_FAILURE() << "no error";
  } catch (const kiv::LanguageError& e) {
    EXPECT_EQ(e.id, "invalid-refine-arg");
  }
  EXPECT_EQ(text_of(s.get()), U"abc");
}

TEST_F(ChangeCase, HeadPastTailMovesBack) {
  RootedCell s = make_string(U"ab", 1);
  s->data1 = 10;
  kiv::change_case(s.get(), true, nullptr);
  EXPECT_EQ(s->data1, 2u);
  EXPECT_EQ(text_of(s.get()), U"ab");
}

}  // namespace
