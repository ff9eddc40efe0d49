// file! and url!: molds, percent encoding, conversions, path joining, the
// local form of names, and the I/O actions that refuse until the host
// services exist.
#include <gtest/gtest.h>

#include <string>

#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/file.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/url.h"
#include "runtime/datatypes/word.h"
#include "runtime/platform.h"
#include "runtime/unicode.h"
#include "tests/unit/actions_test_support.h"

namespace kiv {
namespace {

using testing::int_cell;
using testing::type_cell;

class FileUrl : public testing::CoreTypesTest {
 protected:
  void SetUp() override {
    CoreTypesTest::SetUp();
    _context::init_global();
  }

  // A value of the type holding the text (code points).
  RootedCell value(const std::u32string& text, uint32_t type = TYPE_STRING) {
    RootedCell s;
    string::init_cell(s.get(), 0);
    for (size_t i = 0; i < text.size(); ++i)
      string::overwrite_char(string::node_of(s.get()), static_cast<int32_t>(i), static_cast<uint32_t>(text[i]));
    set_type(s.get(), type);
    return s;
  }
  static std::u32string text(Cell s) {
    std::u32string out;
    int32_t n = string::length(&s);
    for (int32_t i = 0; i < n; ++i)
      out.push_back(static_cast<char32_t>(string::char_at_index(&s, string::index_of(&s) + i)));
    return out;
  }
  std::u32string mold(const Cell& v, int32_t part = -1) {
    if (part < 0) return text(act(ACT_MOLD, {v}, {}));
    return text(act(ACT_MOLD, {v, int_cell(part)}, {-1, -1, -1, 1}));
  }
  Cell act(uint32_t action, std::initializer_list<Cell> args, std::vector<int32_t> refs) {
    refs.resize(16, -1);
    return call_action(action, args, refs);
  }
  static Cell word_of(const char* text, uint32_t type = TYPE_WORD) {
    Cell w;
    word::init_global(symbol::intern(text), &w, type);
    return w;
  }
};

// ---------------------------------------------------------------------------
// Percent encoding.

TEST_F(FileUrl, PercentEncodingRoundTripsEveryText) {
  const std::u32string texts[] = {
      U"plain",
      U"a b",
      U"100%",
      U"%41 is not an escape once encoded",
      U"caf\u00E9",
      U"\u20AC and \U0001F600",
      U"reserved !#$&'()*+,/:;=?@[]",
      U"controls \t\n\x7F",
      U"",
  };
  for (const std::u32string& t : texts) {
    for (url::Table table : {url::Table::kUrl, url::Table::kStrict}) {
      RootedCell in = value(t);
      RootedCell encoded = value(U"");
      url::encode_percent(in.get(), encoded.get(), table);
      for (char32_t c : text(*encoded.get())) {
        EXPECT_LT(c, 128u) << "encoded text is ASCII";
        EXPECT_NE(c, U' ');
      }
      RootedCell decoded = value(U"");
      url::decode_percent(encoded.get(), decoded.get());
      EXPECT_EQ(text(*decoded.get()), t);
    }
  }
}

TEST_F(FileUrl, EncodingTablesDifferOnReservedCharacters) {
  RootedCell in = value(U"a/b?c=d~e f\u00E9");
  RootedCell u = value(U"");
  url::encode_percent(in.get(), u.get(), url::Table::kUrl);
  EXPECT_EQ(text(*u.get()), U"a/b?c=d~e%20f%C3%A9");
  RootedCell s = value(U"");
  url::encode_percent(in.get(), s.get(), url::Table::kStrict);
  EXPECT_EQ(text(*s.get()), U"a%2Fb%3Fc%3Dd~e%20f%C3%A9");
  RootedCell cut = value(U"");
  EXPECT_EQ(url::encode_percent(in.get(), cut.get(), url::Table::kUrl, 11), 11);
  EXPECT_EQ(text(*cut.get()), U"a/b?c=d~e%2");
}

TEST_F(FileUrl, DecodingKeepsWhatIsNoValidEscape) {
  struct Case {
    const char* in;
    std::u32string expect;
  } cases[] = {
      {"a%C3%A9b", U"a\u00E9b"},           // a two-byte character
      {"%E2%82%AC", U"\u20AC"},            // three bytes
      {"%F0%9F%98%80", U"\U0001F600"},     // four bytes
      {"%41%42", U"AB"},                   // single bytes
      {"%E9", U"\u00E9"},                  // a lone byte is the character of its code
      {"%C3x", U"\u00C3x"},                // a lead without its continuation
      {"%C3%28", U"\u00C3("},              // a lead followed by no continuation byte
      {"%zz%4", U"%zz%4"},                 // no hexadecimal digits: copied
      {"%", U"%"},
      {"\xC3\xA9%20", U"\u00E9 "},         // raw UTF-8 is decoded as it is
  };
  for (const Case& c : cases) {
    RootedCell out = value(U"");
    url::decode_percent_bytes(reinterpret_cast<const uint8_t*>(c.in), std::strlen(c.in), out.get());
    EXPECT_EQ(text(*out.get()), c.expect) << c.in;
  }
}

// ---------------------------------------------------------------------------
// url!.

TEST_F(FileUrl, UrlMoldEscapesAndPartCountsBytes) {
  RootedCell u = value(U"http://h/a b\u00E9", TYPE_URL);
  EXPECT_EQ(mold(*u.get()), U"http://h/a%20b%C3%A9");
  EXPECT_EQ(mold(*u.get(), 12), U"http://h/a%2");
  // form is the text itself, as string! forms it.
  Cell f = act(ACT_FORM, {*u.get()}, {});
  EXPECT_EQ(text(f), U"http://h/a b\u00E9");
}

TEST_F(FileUrl, UrlFromABlockJoinsItsParts) {
  RootedCell blk;
  block::init_cell(blk.get(), 8);
  Cell parts[] = {word_of("http"), word_of("example.org"), int_cell(8080), word_of("docs")};
  for (Cell& p : parts) block::append_cell(blk.get(), &p);
  RootedCell s = value(U"a b");
  block::append_cell(blk.get(), s.get());
  Cell issue{TYPE_ISSUE, _context::global(), symbol::intern("top"), 0xFFFFFFFF};
  block::append_cell(blk.get(), &issue);
  Cell r = act(ACT_TO, {type_cell(TYPE_URL), *blk.get()}, {});
  ASSERT_EQ(TYPE_OF(&r), TYPE_URL);
  EXPECT_EQ(text(r), U"http://example.org:8080/docs/a b#top");
  EXPECT_EQ(mold(r), U"http://example.org:8080/docs/a%20b#top");
  // Without a port the third value is a path segment.
  RootedCell two;
  block::init_cell(two.get(), 4);
  Cell p3[] = {word_of("ftp"), word_of("h"), word_of("x")};
  for (Cell& p : p3) block::append_cell(two.get(), &p);
  EXPECT_EQ(text(act(ACT_MAKE, {type_cell(TYPE_URL), *two.get()}, {})), U"ftp://h/x");
  RootedCell empty;
  block::init_cell(empty.get(), 1);
  auto e = raised_by([&] { act(ACT_TO, {type_cell(TYPE_URL), *empty.get()}, {}); });
  EXPECT_EQ(e.id, "bad-to-arg");
  // A file! from a block is the string rule: the elements joined.
  EXPECT_EQ(text(act(ACT_TO, {type_cell(TYPE_FILE), *two.get()}, {})), U"ftphx");
}

TEST_F(FileUrl, ToUrlOfTextKeepsTheTextAsItIs) {
  RootedCell s = value(U"http://h/a%20b");
  Cell r = act(ACT_TO, {type_cell(TYPE_URL), *s.get()}, {});
  ASSERT_EQ(TYPE_OF(&r), TYPE_URL);
  EXPECT_EQ(text(r), U"http://h/a%20b");
  EXPECT_NE(r.data2, s.get()->data2);
}

TEST_F(FileUrl, PathAccessJoinsWithExactlyOneSlash) {
  struct Case {
    std::u32string base;
    uint32_t type;
    std::u32string element;  // a string element
    std::u32string expect;
  } cases[] = {
      {U"dir", TYPE_FILE, U"readme", U"dir/readme"},
      {U"dir/", TYPE_FILE, U"readme", U"dir/readme"},
      {U"dir/", TYPE_FILE, U"/readme", U"dir/readme"},
      {U"dir", TYPE_FILE, U"/readme", U"dir/readme"},
      {U"http://h", TYPE_URL, U"a b", U"http://h/a b"},
  };
  for (const Case& c : cases) {
    RootedCell base = value(c.base, c.type);
    RootedCell el = value(c.element);
    Cell parent = *base.get();
    Cell* r = dispatch_eval_path(&parent, el.get(), nullptr, nullptr, nullptr, nullptr, 1, {.get = true, .tail = true});
    EXPECT_EQ(TYPE_OF(r), c.type);
    EXPECT_EQ(text(*r), c.expect);
    EXPECT_EQ(text(*base.get()), c.base) << "the parent stays";
  }
  RootedCell base = value(U"dir", TYPE_FILE);
  Cell w = word_of("readme");
  Cell parent = *base.get();
  EXPECT_EQ(text(*dispatch_eval_path(&parent, &w, nullptr, nullptr, nullptr, nullptr, 1, {.get = true, .tail = true})),
            U"dir/readme");
  Cell setter = *base.get();
  auto e = raised_by([&] {
    dispatch_eval_path(&setter, &w, &w, nullptr, nullptr, nullptr, 1, {.tail = true, .notify = true});
  });
  EXPECT_EQ(e.id, "bad-path-set");
}

// ---------------------------------------------------------------------------
// file!.

TEST_F(FileUrl, FileMoldQuotesOnlyWhenNeeded) {
  struct Case {
    std::u32string name;
    std::u32string expect;
  } cases[] = {
      {U"", U"%\"\""},
      {U"a/b.txt", U"%a/b.txt"},
      {U"/c/dir/x~y_z", U"%/c/dir/x~y_z"},
      {U"my file", U"%\"my file\""},
      {U"caf\u00E9/\u20AC", U"%caf\u00E9/\u20AC"},  // above 126: never quoted
      {U"50%", U"%\"50%\""},
      {U"a\"b", U"%\"a^(22)b\""},                // a quote cannot end the name early
      {U"a^b\tc", U"%\"a^^b^-c\""},
  };
  for (const Case& c : cases) {
    RootedCell f = value(c.name, TYPE_FILE);
    EXPECT_EQ(mold(*f.get()), c.expect);
  }
  RootedCell f = value(U"abcdef", TYPE_FILE);
  EXPECT_EQ(mold(*f.get(), 4), U"%abc");
}

TEST_F(FileUrl, FileInheritsStringActions) {
  RootedCell f = value(U"dir", TYPE_FILE);
  RootedCell tail = value(U"/x.txt");
  Cell r = act(ACT_APPEND, {*f.get(), *tail.get()}, {});
  EXPECT_EQ(TYPE_OF(&r), TYPE_FILE);
  EXPECT_EQ(text(r), U"dir/x.txt");
  Cell found = act(ACT_FIND, {*f.get(), Cell{TYPE_CHAR, 0, '.', 0}}, {});
  EXPECT_EQ(found.data1, 5u);
  Cell copy = act(ACT_COPY, {*f.get()}, {});
  EXPECT_EQ(TYPE_OF(&copy), TYPE_FILE);
  // Equal to a string of the same text, but not ordered against it.
  RootedCell s = value(U"DIR/X.TXT");
  EXPECT_TRUE(actions::compare(f.get(), s.get(), COMP_EQUAL));
  auto e = raised_by([&] { actions::compare(f.get(), s.get(), COMP_LESSER); });
  EXPECT_EQ(e.id, "invalid-compare");
  // Sorting and trimming are not file actions.
  EXPECT_EQ(raised_by([&] { act(ACT_SORT, {*f.get()}, {}); }).id, "expect-arg");
}

TEST_F(FileUrl, LocalFormIsTheNameOnLinux) {
  std::string cwd = file::get_current_dir();
  ASSERT_FALSE(cwd.empty());
  EXPECT_EQ(cwd.back(), '/');
  struct Case {
    std::u32string name;
    bool full;
    std::string expect;
  } cases[] = {
      {U"/c/dir/a.txt", false, "/c/dir/a.txt"},
      {U"/c/dir/a.txt", true, "/c/dir/a.txt"},
      {U"a/b", false, "a/b"},
      {U"a/b", true, cwd + "a/b"},
      {U"caf\u00E9", false, "caf\xC3\xA9"},
  };
  for (const Case& c : cases) {
    RootedCell f = value(c.name, TYPE_FILE);
    RootedCell out = value(U"");
    file::to_local_text(f.get(), out.get(), c.full);
    std::string got(static_cast<size_t>(string::length(out.get())) * 4 + 1, '\0');
    got.resize(string_range_to_utf8(out.get(), reinterpret_cast<uint8_t*>(got.data()), -1, false));
    EXPECT_EQ(got, c.expect);
  }
  RootedCell f = value(U"d\u00E9j\u00E0/vu", TYPE_FILE);
  EXPECT_EQ(file::to_os_path(f.get()), "d\xC3\xA9j\xC3\xA0/vu");
}

// The I/O actions reach the host file layer (names in a directory that does
// not exist, so no file is touched); schemes other than http need the
// library's url-parser, which this fixture does not load.
TEST_F(FileUrl, IoActionsReachTheHostServices) {
  RootedCell f = value(U"no-such-dir/x.txt", TYPE_FILE);
  RootedCell u = value(U"ftp://h/", TYPE_URL);
  EXPECT_EQ(raised_by([&] { act(ACT_READ, {*f.get()}, {}); }).id, "cannot-open");
  EXPECT_EQ(raised_by([&] { act(ACT_WRITE, {*f.get(), *u.get()}, {}); }).id, "cannot-open");
  EXPECT_EQ(raised_by([&] { act(ACT_READ, {*u.get()}, {}); }).id, "no-value");
  EXPECT_EQ(raised_by([&] { act(ACT_OPEN, {*u.get()}, {}); }).id, "no-value");
  EXPECT_EQ(raised_by([&] { act(ACT_OPEN, {*f.get()}, {}); }).id, "expect-arg");
}

}  // namespace
}  // namespace kiv
