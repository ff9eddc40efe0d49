// The lexer driver with recording loaders: token kinds and extents, nesting,
// paths, lines and new-line markers, modes, callback events and syntax errors.
//
// The recording loaders stand in for the datatype modules: each stores a cell
// of the token's type. String kinds and binaries hold a real byte series with
// the token's text (so the collector sees them); every other value keeps the
// index of its record in word 3. dump() prints a loaded block as
//   type:text  for values (the text the loader was given)
//   type[...]  for blocks, parens, the path kinds and maps
// with "¶" before a value that carries the new-line marker.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "runtime/collector.h"
#include "runtime/eval/lexer.h"
#include "runtime/language_error.h"
#include "runtime/series.h"
#include "runtime/type_traits.h"
#include "runtime/unicode.h"

namespace kiv::lexer {
namespace {

struct Record {
  uint8_t kind;
  uint8_t type;
  std::string text;
  uint32_t line;
  uint32_t flags;
  bool in_path;
};

std::vector<Record> g_records;
std::vector<std::string> g_checks;  // texts loaders were asked to check only
bool g_collect_in_loader = false;

bool is_text_type(uint32_t t) { return any_string_type_q(t) || t == TYPE_BINARY; }

// Stores a value of the token's type. Text containing "!!" is refused as
// invalid for the token's type, to show how loader errors travel.
int record(Lexer& lx, const Token& t, bool load) {
  std::string text(reinterpret_cast<const char*>(t.start), static_cast<size_t>(t.end - t.start));
  if (text.find("!!") != std::string::npos) return t.type;
  if (!load) {
    g_checks.push_back(text);
    return kLexOk;
  }
  uint32_t index = static_cast<uint32_t>(g_records.size());
  g_records.push_back(Record{t.kind, t.type, text, t.line, t.flags, lx.in_path()});
  uint32_t slot = append_value(lx);  // reserve first, then allocate, then store
  if (is_text_type(t.type)) {
    uint32_t node = alloc_bytes(static_cast<uint32_t>(text.size()));
    if (!text.empty()) std::memcpy(series_reserve_tail_bytes(node, static_cast<uint32_t>(text.size())), text.data(), text.size());
    *cell_at(slot) = Cell{t.type, 0, node, 0};
  } else {
    *cell_at(slot) = Cell{t.type, 0, 0, index};
  }
  if (g_collect_in_loader) collector::collect();
  return kLexOk;
}

int construct(Lexer& lx, const Token& t, bool load) {
  std::string text(reinterpret_cast<const char*>(t.start), static_cast<size_t>(t.end - t.start));
  if (text != "#(true)") return kLexMalconstruct;
  if (load) {
    uint32_t index = static_cast<uint32_t>(g_records.size());
    g_records.push_back(Record{t.kind, TYPE_LOGIC, text, t.line, t.flags, lx.in_path()});
    store_value(lx, Cell{TYPE_LOGIC, 1, 0, index});
  }
  return kLexOk;
}

// Keys must not be blocks; the map keeps its cells in a block series.
int make_map(Lexer& lx, uint32_t first, uint32_t count, uint32_t out) {
  for (uint32_t i = 0; i < count; i += 2)
    if (TYPE_OF(cell_at(first + i)) == TYPE_BLOCK) return TYPE_MAP;
  uint32_t node = alloc_cells(count);
  SeriesBuffer* b = node_buffer(node);
  std::memcpy(b->head_cell(), cell_at(first), count * sizeof(Cell));
  b->tail = b->head + count * 16;
  *cell_at(out) = Cell{TYPE_MAP, 0, node, 0};
  return kLexOk;
}

const Loaders& recording_loaders() {
  static Loaders l = [] {
    Loaders r;
    for (int k = kFinalString; k <= kLastFinal; ++k) r[static_cast<uint8_t>(k)] = record;
    r[kFinalConstruct] = construct;
    r.make_map = make_map;
    return r;
  }();
  return l;
}

const char* type_name(uint32_t t) {
  switch (t) {
    case TYPE_BLOCK: return "block";
    case TYPE_PAREN: return "paren";
    case TYPE_PATH: return "path";
    case TYPE_LIT_PATH: return "lit-path";
    case TYPE_SET_PATH: return "set-path";
    case TYPE_GET_PATH: return "get-path";
    case TYPE_MAP: return "map";
    case TYPE_STRING: return "string";
    case TYPE_FILE: return "file";
    case TYPE_URL: return "url";
    case TYPE_TAG: return "tag";
    case TYPE_EMAIL: return "email";
    case TYPE_REF: return "ref";
    case TYPE_BINARY: return "binary";
    case TYPE_WORD: return "word";
    case TYPE_SET_WORD: return "set-word";
    case TYPE_GET_WORD: return "get-word";
    case TYPE_LIT_WORD: return "lit-word";
    case TYPE_REFINEMENT: return "refinement";
    case TYPE_ISSUE: return "issue";
    case TYPE_INTEGER: return "integer";
    case TYPE_FLOAT: return "float";
    case TYPE_PERCENT: return "percent";
    case TYPE_CHAR: return "char";
    case TYPE_PAIR: return "pair";
    case TYPE_TUPLE: return "tuple";
    case TYPE_TIME: return "time";
    case TYPE_DATE: return "date";
    case TYPE_MONEY: return "money";
    case TYPE_POINT2D: return "point2D";
    case TYPE_LOGIC: return "logic";
    case TYPE_ERROR: return "error";
    default: return "?";
  }
}

void dump_cells(const Cell* cells, uint32_t count, std::string& out);

void dump_series(uint32_t node, std::string& out) {
  SeriesBuffer* b = node_buffer(node);
  dump_cells(b->head_cell(), b->length(), out);
}

void dump_cells(const Cell* cells, uint32_t count, std::string& out) {
  for (uint32_t i = 0; i < count; ++i) {
    const Cell* c = cells + i;
    if (i) out += ' ';
    if (c->header & kFlagNewLine) out += "¶";
    uint32_t t = TYPE_OF(c);
    out += type_name(t);
    switch (t) {
      case TYPE_BLOCK: case TYPE_PAREN: case TYPE_PATH: case TYPE_LIT_PATH: case TYPE_SET_PATH:
      case TYPE_GET_PATH: case TYPE_MAP:
        out += '[';
        dump_series(c->data2, out);
        out += ']';
        break;
      default:
        out += ':';
        if (is_text_type(t)) {
          SeriesBuffer* b = node_buffer(c->data2);
          out.append(reinterpret_cast<const char*>(b->head_ptr()), b->used_bytes());
        } else {
          out += g_records.at(c->data3).text;
        }
    }
  }
}

class LexerDriver : public ::testing::Test {
 protected:
  void SetUp() override {
    g_records.clear();
    g_checks.clear();
    g_collect_in_loader = false;
  }

  LexResult lex(const std::string& src, Mode mode = Mode::kLoad, Tracer* tracer = nullptr, bool one = false,
                uint32_t into = 0) {
    LexRequest rq;
    rq.input = reinterpret_cast<const uint8_t*>(src.data());
    rq.length = src.size();
    rq.mode = mode;
    rq.one = one;
    rq.tracer = tracer;
    rq.loaders = &recording_loaders();
    rq.into = into;
    LexResult r = lex_source(rq);
    if (r.block) block_ = r.block;
    return r;
  }

  // The loaded block, dumped (and kept rooted while the test runs).
  std::string load(const std::string& src) {
    lex(src);
    std::string out;
    dump_series(block_.get(), out);
    return out;
  }

  // The syntax error src raises: "id arg1 | arg2 | arg3" with value
  // arguments shown as type:id or char:c.
  std::string error_of(const std::string& src) {
    try {
      lex(src);
    } catch (const LanguageError& e) {
      EXPECT_EQ(e.category, ErrorCategory::kSyntax);
      std::string s = e.id;
      for (const auto& a : e.args) {
        if (!a.present()) continue;
        s += a.kind == ErrorArgument::Kind::kText ? " " + a.text : "";
        if (a.kind == ErrorArgument::Kind::kValue) {
          const Cell* v = a.value.get();
          if (TYPE_OF(v) == TYPE_DATATYPE) s += std::string(" ") + type_name(v->data1) + "!";
          else if (TYPE_OF(v) == TYPE_CHAR) s += std::string(" char:") + static_cast<char>(v->data2);
        }
        s += " |";
      }
      if (!s.empty() && s.back() == '|') s.pop_back();
      while (!s.empty() && s.back() == ' ') s.pop_back();
      return s;
    }
    return "no error";
  }

  CollectorEnableScope collecting_{true};
  RootedNode block_;
};

// ---------------------------------------------------------------------------
// Token kinds

struct Case {
  const char* source;
  const char* expected;
};

TEST_F(LexerDriver, EachTokenKindReachesItsLoaderWithItsText) {
  const Case cases[] = {
      {"abc", "word:abc"},
      {"a: :a 'a", "set-word:a get-word:a lit-word:a"},
      {"/ // /ref", "word:/ word:// refinement:/ref"},
      {"+ - . = < <= >", "word:+ word:- word:. word:= word:< word:<= word:>"},
      {"#iss", "issue:iss"},
      {"12 -3 2'147 +0", "integer:12 integer:-3 integer:2'147 integer:+0"},
      {"FFh 0Ah", "integer:FFh integer:0Ah"},
      {"1.5 1e3 .5 -1.2E-3", "float:1.5 float:1e3 float:.5 float:-1.2E-3"},
      {"1.#INF 1.#NaN", "float:1.#INF float:1.#NaN"},
      {"50% 1.5%", "percent:50% percent:1.5%"},
      {"1.2.3 255.0.0.1", "tuple:1.2.3 tuple:255.0.0.1"},
      {"1-Jan-2000 2000-01-31 1/1/99", "date:1-Jan-2000 date:2000-01-31 date:1/1/99"},
      {"10x20 -1X2", "pair:10x20 pair:-1X2"},
      {"(1, 2) (1.5,-2,3)", "point2D:(1, 2) point2D:(1.5,-2,3)"},
      {"12:30 -0:0:1.5", "time:12:30 time:-0:0:1.5"},
      {"$1.50 USD$1'000.50 -$2", "money:$1.50 money:USD$1'000.50 money:-$2"},
      {"<a> <a href=\"x>y\"> <b c='d'>", "tag:<a> tag:<a href=\"x>y\"> tag:<b c='d'>"},
      {"http://a.b/c?d=e", "url:http://a.b/c?d=e"},
      {"a@b.c", "email:a@b.c"},
      {"@ref", "ref:@ref"},
      {"\"abc\" \"a^\"b\"", "string:\"abc\" string:\"a^\"b\""},
      {"{a {b} c} {^}}", "string:{a {b} c} string:{^}}"},
      {"%{raw}% %%{a}b}%%", "string:%{raw}% string:%%{a}b}%%"},
      {"%a/b.txt %\"a b\"", "file:%a/b.txt file:%\"a b\""},
      {"#\"c\" #\"^\"\"", "char:#\"c\" char:#\"^\"\""},
      {"#{0F 1e} 2#{00000001}", "binary:#{0F 1e} binary:2#{00000001}"},
      {"#(true)", "logic:#(true)"},
      {"a ; note\nb", "word:a ¶word:b"},
      {"", ""},
      {"  \t\r\n ; only a comment", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(load(c.source), c.expected) << "source: " << c.source;
}

TEST_F(LexerDriver, BlocksParensMapsAndPathsNest) {
  const Case cases[] = {
      {"[a [b (c)] d]", "block[word:a block[word:b paren[word:c]] word:d]"},
      {"[]()", "block[] paren[]"},
      {"#[a 1 b 2]", "map[word:a integer:1 word:b integer:2]"},
      {"a/b/c", "path[word:a word:b word:c]"},
      {"'a/b :a/b a/b:", "lit-path[word:a word:b] get-path[word:a word:b] set-path[word:a word:b]"},
      {"a/1/\"s\"/:g", "path[word:a integer:1 string:\"s\" get-word:g]"},
      {"a/(b c)/d", "path[word:a paren[word:b word:c] word:d]"},
      {"[a/b] (c/d)", "block[path[word:a word:b]] paren[path[word:c word:d]]"},
      {"a/b[c]", "path[word:a word:b] block[word:c]"},
      {"a/b: 1", "set-path[word:a word:b] integer:1"},
      {"a/b/c:", "set-path[word:a word:b word:c]"},
      {"a/(b/c)", "path[word:a paren[path[word:b word:c]]]"},
      {"FFh/x", "path[integer:FFh word:x]"},
      {"[(1, 2)]", "block[point2D:(1, 2)]"},
  };
  for (const auto& c : cases) EXPECT_EQ(load(c.source), c.expected) << "source: " << c.source;
}

TEST_F(LexerDriver, DeepNestingNeedsNoNativeRecursion) {
  const int depth = 5000;
  std::string src(depth, '[');
  src += "x";
  src += std::string(depth, ']');
  std::string out = load(src);
  EXPECT_EQ(out.size(), depth * std::strlen("block[]") + std::strlen("word:x"));
}

TEST_F(LexerDriver, ManyValuesGrowTheSharedBufferWithoutLosingAny) {
  std::string src = "[";
  for (int i = 0; i < 5000; ++i) src += "w" + std::to_string(i) + " \"s\" ";
  src += "]";
  g_collect_in_loader = false;
  LexResult r = lex(src);
  SeriesBuffer* outer = node_buffer(r.block);
  ASSERT_EQ(outer->length(), 1u);
  SeriesBuffer* inner = node_buffer(outer->head_cell()->data2);
  ASSERT_EQ(inner->length(), 10000u);
  EXPECT_EQ(g_records.at(inner->head_cell()[9998].data3).text, "w4999");
}

TEST_F(LexerDriver, ValuesUnderConstructionSurviveCollections) {
  g_collect_in_loader = true;  // a collection after each value: buffers move under the driver
  EXPECT_EQ(load("[\"a\" [%b <c>] #[d \"e\"]] x/\"y\""),
            "block[string:\"a\" block[file:%b tag:<c>] map[word:d string:\"e\"]] path[word:x string:\"y\"]");
  EXPECT_TRUE(collector::verify_heap().ok);
}

TEST_F(LexerDriver, IntoAppendsAfterTheBlocksValues) {
  RootedNode into(alloc_cells(2));
  *series_new_tail_cell(into.get()) = Cell{TYPE_NONE, 0, 0, 0};
  LexResult r = lex("a b", Mode::kLoad, nullptr, false, into.get());
  EXPECT_EQ(r.block, into.get());
  EXPECT_EQ(series_length(into.get()), 3u);
  EXPECT_EQ(TYPE_OF(series_head_cell(into.get()) + 2), TYPE_WORD);
}

TEST_F(LexerDriver, StringSourceIsLexedAsUtf8AndConsumedCountsCharacters) {
  const std::string text = "x \"é€\" 😀 tail";
  for (int skip : {0, 2}) {
    RootedCell src(Cell{TYPE_STRING, static_cast<uint32_t>(skip),
                        load_utf8_cstring(reinterpret_cast<const uint8_t*>(text.data()), text.size()), 0});
    LexRequest rq;
    rq.loaders = &recording_loaders();
    rq.mode = Mode::kScan;
    LexResult r = transcode_string(src.get(), -1, rq);
    EXPECT_EQ(r.type, skip ? TYPE_STRING : TYPE_WORD);
    EXPECT_EQ(r.consumed, skip ? 4u : 1u) << "characters, not bytes";
    rq.mode = Mode::kLoad;
    r = transcode_string(src.get(), 6 - skip, rq);  // up to the emoji, which is left out
    block_ = r.block;
    std::string out;
    dump_series(r.block, out);
    EXPECT_EQ(out, skip ? "string:\"é€\"" : "word:x string:\"é€\"");
    EXPECT_EQ(r.consumed, 6u - skip);
  }
}

TEST_F(LexerDriver, BinarySourceIsCopiedSoCollectionsCannotMoveTheInput) {
  const std::string text = "[\"a\" \"b\" \"c\"] d";
  uint32_t node = alloc_bytes(static_cast<uint32_t>(text.size()));
  std::memcpy(series_reserve_tail_bytes(node, static_cast<uint32_t>(text.size())), text.data(), text.size());
  RootedCell src(Cell{TYPE_BINARY, 0, node, 0});
  g_collect_in_loader = true;  // the binary's buffer moves after every value
  LexRequest rq;
  rq.loaders = &recording_loaders();
  LexResult r = transcode_binary(src.get(), -1, rq);
  block_ = r.block;
  std::string out;
  dump_series(r.block, out);
  EXPECT_EQ(out, "block[string:\"a\" string:\"b\" string:\"c\"] word:d");
}

// ---------------------------------------------------------------------------
// Lines, new-line markers, UTF-8

TEST_F(LexerDriver, NewLineMarkerGoesToTheValueAfterALineFeed) {
  const Case cases[] = {
      {"a\nb c", "word:a ¶word:b word:c"},
      {"\na", "¶word:a"},
      {"[\n a\n]\nb", "block[¶word:a] ¶word:b"},
      {"a\n[b] c", "word:a ¶block[word:b] word:c"},
      {"a\n{x\ny} z", "word:a ¶string:{x\ny} word:z"},
      {"a ; c\n\n; d\n b", "word:a ¶word:b"},
      {"[a\n] b", "block[word:a] word:b"},
      {"x\n(1, 2)", "word:x ¶point2D:(1, 2)"},
  };
  for (const auto& c : cases) EXPECT_EQ(load(c.source), c.expected) << "source: " << c.source;
}

TEST_F(LexerDriver, LinesCountEveryLineFeedAlsoInsideTokens) {
  load("a\n\"s\" {x\ny\n} #{00\n11}\nb ; c\nd");
  std::vector<std::pair<std::string, uint32_t>> got;
  for (const auto& r : g_records) got.emplace_back(r.text, r.line);
  std::vector<std::pair<std::string, uint32_t>> want = {
      {"a", 1}, {"\"s\"", 2}, {"{x\ny\n}", 2}, {"#{00\n11}", 4}, {"b", 6}, {"d", 7}};
  EXPECT_EQ(got, want);
}

TEST_F(LexerDriver, MultiByteCharactersStayInWordsAndStrings) {
  EXPECT_EQ(load("café \"日本語\" {😀}"), "word:café string:\"日本語\" string:{😀}");
  ASSERT_EQ(g_records.size(), 3u);
  EXPECT_TRUE(g_records[1].flags & kTokLead23);
  EXPECT_FALSE(g_records[1].flags & kTokLead4);
  EXPECT_TRUE(g_records[2].flags & kTokLead4);
  EXPECT_TRUE(g_records[0].flags & kTokHighByte);
}

TEST_F(LexerDriver, UnicodeSpacesSeparateTokensLikeBlanks) {
  const Case cases[] = {
      {"a\u00A0b", "word:a word:b"},
      {"\u3000\u2003\u200B", ""},
      {"\u00A0" "123", "integer:123"},
      {"x:\u2028y", "set-word:x word:y"},
      {"\"a\u00A0b\"", "string:\"a\u00A0b\""},
  };
  for (const auto& c : cases) EXPECT_EQ(load(c.source), c.expected) << "source: " << c.source;
}

// ---------------------------------------------------------------------------
// Syntax errors

TEST_F(LexerDriver, SyntaxErrorsNameTheirKindLineAndText) {
  const Case cases[] = {
      {"[a (b]", "missing (line 1) | char:) | (b]"},
      {"[a", "missing (line 1) | char:] | [a"},
      {"x\n(a [b", "missing (line 2) | char:] | [b"},
      {"]", "missing (line 1) | char:[ | ]"},
      {")", "missing (line 1) | char:( | )"},
      {"(a]", "missing (line 1) | char:) | (a]"},
      {"#[a 1", "missing (line 1) | char:] | #[a 1"},
      {"\"abc\ndef\"", "invalid (line 1) | string! | \"abc"},
      {"a\n{abc\ndef", "invalid (line 2) | string! | {abc"},
      {"a/", "invalid (line 1) | path! | a/"},
      {"a/ b", "invalid (line 1) | path! | a/ b"},
      {"(a/)", "invalid (line 1) | path! | a/)"},
      {"a/b:/c", "invalid (line 1) | path! | a/b:/c"},
      {"#[a 1 b]", "invalid (line 1) | map! | #[a 1 b]"},
      {"#[[a] 1]", "invalid (line 1) | map! | #[[a] 1]"},
      {"[1, 2]", "invalid (line 1) | point2D! | , 2]"},
      {"(x , y)", "missing (line 1) | char:) | (x , y)"},
      {"(x , [y])", "invalid (line 1) | point2D! | [y])"},
      {"(x, y)", "invalid (line 1) | word! | x, y)"},
      {"(1, [2])", "invalid (line 1) | point2D! | (1, [2])"},
      {"}", "bad-char (line 1) | }"},
      {"a \\b", "bad-char (line 1) | \\b"},
      {"a,b", "invalid (line 1) | word! | a,b"},
      {"'a:", "invalid (line 1) | lit-word! | 'a:"},
      {":a:", "invalid (line 1) | word! | :a:"},
      {"' x", "invalid (line 1) | word! | ' x"},
      {"#", "invalid (line 1) | issue! | #"},
      {"#(foo)", "malconstruct (line 1) | #(foo)"},
      {"\n\n ok!! x", "invalid (line 3) | word! | ok!! x"},
      {"\n\"s!!\"", "invalid (line 2) | string! | \"s!!\""},
  };
  for (const auto& c : cases) EXPECT_EQ(error_of(c.source), c.expected) << "source: " << c.source;
}

TEST_F(LexerDriver, BadBytesAreErrorsNotSilentlyDropped) {
  EXPECT_EQ(error_of(std::string("a \0 b", 5)), std::string("bad-char (line 1) | \0 b", 23));
  EXPECT_EQ(error_of("\x80"), "bad-char (line 1) | \xEF\xBF\xBD");
  EXPECT_EQ(error_of("a \xC0\xAF"), "bad-char (line 1) | \xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(error_of("ab\xE2\x82"), "invalid (line 1) | word! | ab\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(error_of("\"\xED\xA0\x80\""), "invalid (line 1) | string! | \"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"");
  EXPECT_EQ(error_of("\xF4\x90\x80\x80"), "invalid (line 1) | word! | \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST_F(LexerDriver, ErrorTextStopsAtThirtyBytesOrTheLineEndOnACharacterBoundary) {
  EXPECT_EQ(error_of("\"abc def ghi jkl mno pqr stu vwx yz"), "invalid (line 1) | string! | \"abc def ghi jkl mno pqr stu v");
  EXPECT_EQ(error_of("[a b\nc"), "missing (line 2) | char:] | [a b");
  // 29 ASCII bytes then a two-byte character: the character is left out whole.
  std::string src = "\"" + std::string(28, 'x') + "é";
  EXPECT_EQ(error_of(src), "invalid (line 1) | string! | \"" + std::string(28, 'x'));
}

TEST_F(LexerDriver, AnErrorDropsThePartialValuesAndTheNextRunStartsClean) {
  EXPECT_NE(error_of("[a b [c"), "no error");
  EXPECT_EQ(load("x"), "word:x");
  EXPECT_TRUE(collector::verify_heap().ok);
}

// ---------------------------------------------------------------------------
// Modes

TEST_F(LexerDriver, ScanReportsTheFirstValuesTypeAndWhereItEnds) {
  struct ScanCase {
    const char* source;
    uint32_t type;
    size_t consumed;
  } cases[] = {
      {"a: 1", TYPE_SET_WORD, 2},
      {"[1 2] x", TYPE_BLOCK, 5},
      {"a/b c", TYPE_PATH, 3},
      {"a/b: c", TYPE_SET_PATH, 4},
      {"  \"s\"", TYPE_STRING, 5},
      {"", 0, 0},
      {"; just a comment", 0, 16},
      {"[1 2", TYPE_ERROR, 4},
      {"x!! y", TYPE_ERROR, 3},
  };
  for (const auto& c : cases) {
    LexResult r = lex(c.source, Mode::kScan);
    EXPECT_EQ(r.type, c.type) << c.source;
    EXPECT_EQ(r.consumed, c.consumed) << c.source;
  }
  EXPECT_TRUE(g_records.empty()) << "scan mode loaded a value";
}

TEST_F(LexerDriver, ScanChecksTheTokenThroughTheLoaderWithoutLoading) {
  lex("[a \"s\"]", Mode::kScan);
  EXPECT_EQ(g_checks, (std::vector<std::string>{"a", "\"s\""}));
  EXPECT_TRUE(g_records.empty());
}

TEST_F(LexerDriver, PrescanGuessesWithoutCallingLoaders) {
  LexResult r = lex("abc: 1", Mode::kPrescan);
  EXPECT_EQ(r.type, TYPE_WORD);
  r = lex("{a [ b} c", Mode::kPrescan);
  EXPECT_EQ(r.type, TYPE_STRING);
  EXPECT_EQ(r.consumed, 7u);
  r = lex("(a b) c", Mode::kPrescan);
  EXPECT_EQ(r.type, TYPE_PAREN);
  EXPECT_TRUE(g_checks.empty());
  EXPECT_TRUE(g_records.empty());
}

TEST_F(LexerDriver, OneValueStopsAfterTheFirstCompleteValue) {
  const struct {
    const char* source;
    const char* expected;
    size_t consumed;
  } cases[] = {
      {"a b", "word:a", 1},
      {" [a b] c", "block[word:a word:b]", 6},
      {"a/b c", "path[word:a word:b]", 3},
      {"; c\n{x} y", "¶string:{x}", 7},
      {"", "", 0},
  };
  for (const auto& c : cases) {
    LexResult r = lex(c.source, Mode::kLoad, nullptr, true);
    std::string out;
    dump_series(r.block, out);
    EXPECT_EQ(out, c.expected) << c.source;
    EXPECT_EQ(r.consumed, c.consumed) << c.source;
  }
}

// ---------------------------------------------------------------------------
// Callback events

const char* event_name(Event e) {
  switch (e) {
    case kEventPrescan: return "prescan";
    case kEventScan: return "scan";
    case kEventLoad: return "load";
    case kEventOpen: return "open";
    case kEventClose: return "close";
    case kEventError: return "error";
  }
  return "?";
}

std::string type_text(int32_t type) {
  if (type > 0) return std::string(type_name(static_cast<uint32_t>(type))) + "!";
  if (type == 0) return "none";
  return "#" + std::to_string(-type);
}

// Records "event type line position start-end" and answers from a table.
class RecordingTracer : public Tracer {
 public:
  explicit RecordingTracer(uint32_t mask = kAllEvents) : Tracer(mask) {}
  bool on_event(TraceEvent& e) override {
    log.push_back(std::string(event_name(e.event)) + " " + type_text(e.type) + " " + std::to_string(e.line) + " " +
                  std::to_string(e.position) + " " + std::to_string(e.token_start) + "-" +
                  std::to_string(e.token_end));
    if (e.event == refuse) return false;
    if (e.event == kEventError && skip_on_error) e.resume = e.position + 1;  // past the bad character
    return true;
  }
  std::vector<std::string> log;
  Event refuse = static_cast<Event>(0);
  bool skip_on_error = false;
};

TEST_F(LexerDriver, EventsComeInTokenOrderWithTypesAndPositions) {
  RecordingTracer t;
  lex("[a] ;c\n\"s\"", Mode::kLoad, &t);
  std::vector<std::string> want = {
      "prescan #3 1 0 0-1",  "open block! 1 0 0-1",     "prescan word! 1 2 1-2",   "scan word! 1 2 1-2",
      "load word! 1 2 1-2",  "prescan #4 1 2 2-3",      "close block! 1 3 2-3",    "prescan #12 1 4 4-6",
      "scan #12 1 6 4-6",    "prescan string! 2 10 7-10", "scan string! 2 10 7-10", "load string! 2 10 7-10",
      "prescan #1 2 10 10-10",
  };
  EXPECT_EQ(t.log, want);
}

TEST_F(LexerDriver, PathAndBracedStringEventsOpenAndClose) {
  RecordingTracer t(kEventOpen | kEventClose);
  lex("a/b {x {y}} %{r}%", Mode::kLoad, &t);
  std::vector<std::string> want = {
      "open path! 1 0 0-2",     "close path! 1 3 0-3",     "open string! 1 4 4-5",
      "close string! 1 11 4-11", "open string! 1 12 12-17", "close string! 1 17 12-17",
  };
  EXPECT_EQ(t.log, want);
}

TEST_F(LexerDriver, ConsoleLikeTracerSeesOpenLevelsAndTheErrorAtTheEnd) {
  RecordingTracer t(kEventOpen | kEventClose | kEventError);
  t.refuse = kEventError;
  LexResult r = lex("[a (b\n", Mode::kLoad, &t);
  std::vector<std::string> want = {"open block! 1 0 0-1", "open paren! 1 3 3-4", "error paren! 2 6 6-6"};
  EXPECT_EQ(t.log, want);
  EXPECT_TRUE(r.stopped);
  std::string out;
  dump_series(r.block, out);
  EXPECT_EQ(out, "block[word:a paren[word:b]]") << "values loaded so far are kept";
}

TEST_F(LexerDriver, MismatchedCloserReportsTheCloserKind) {
  RecordingTracer t(kEventError);
  t.refuse = kEventError;
  lex("(a]", Mode::kLoad, &t);
  EXPECT_EQ(t.log, (std::vector<std::string>{"error block! 1 3 2-3"}));
}

TEST_F(LexerDriver, ErrorAnsweredTrueIsRaised) {
  RecordingTracer t(kEventError);
  EXPECT_THROW(lex("a }", Mode::kLoad, &t), LanguageError);
  EXPECT_EQ(t.log, (std::vector<std::string>{"error error! 1 2 2-2"}));
}

TEST_F(LexerDriver, CallbackMovingTheInputResumesThere) {
  RecordingTracer t(kEventError);
  t.skip_on_error = true;
  load("");  // reset
  LexResult r = lex("a } b \\ c", Mode::kLoad, &t);
  std::string out;
  dump_series(r.block, out);
  EXPECT_EQ(out, "word:a word:b word:c");
}

TEST_F(LexerDriver, FalseAnswersSkipRefuseOrRemoveTheToken) {
  for (Event e : {kEventPrescan, kEventScan, kEventLoad}) {
    RecordingTracer t(e);
    t.refuse = e;
    LexResult r = lex("a [b] c", Mode::kLoad, &t);
    std::string out;
    dump_series(r.block, out);
    EXPECT_EQ(out, e == kEventPrescan ? "" : "block[]") << event_name(e);
  }
  RecordingTracer t(kEventOpen);
  t.refuse = kEventOpen;
  LexResult r = lex("a (b c", Mode::kLoad, &t);
  std::string out;
  dump_series(r.block, out);
  EXPECT_EQ(out, "word:a word:b word:c") << "a refused open leaves the level unopened";
}

// A callback runs the lexer again: the inner run works above the outer one's
// values and leaves them as they were.
class NestingTracer : public Tracer {
 public:
  explicit NestingTracer(LexerDriver* t) : Tracer(kEventLoad), test(t) {}
  bool on_event(TraceEvent&) override {
    LexRequest rq;
    static const char inner[] = "[x y z] \"q\"";
    rq.input = reinterpret_cast<const uint8_t*>(inner);
    rq.length = sizeof inner - 1;
    rq.loaders = &recording_loaders();
    LexResult r = lex_source(rq);
    std::string out;
    dump_series(r.block, out);
    inner_dumps.push_back(out);
    return true;
  }
  LexerDriver* test;
  std::vector<std::string> inner_dumps;
};

TEST_F(LexerDriver, NestedRunFromACallbackKeepsTheOuterValues) {
  NestingTracer t(this);
  EXPECT_EQ(load(""), "");
  LexResult r = lex("[a [b]] c", Mode::kLoad, &t);
  std::string out;
  dump_series(r.block, out);
  EXPECT_EQ(out, "block[word:a block[word:b]] word:c");
  ASSERT_EQ(t.inner_dumps.size(), 3u);
  EXPECT_EQ(t.inner_dumps[2], "block[word:x word:y word:z] string:\"q\"");
}

class ThrowingTracer : public Tracer {
 public:
  ThrowingTracer() : Tracer(kEventOpen) {}
  bool on_event(TraceEvent& e) override {
    if (++opens == 3) throw std::runtime_error("stop");
    return true;
  }
  int opens = 0;
};

TEST_F(LexerDriver, AThrowOutOfTheCallbackUnwindsCleanly) {
  ThrowingTracer t;
  EXPECT_THROW(lex("[[[[a]]]]", Mode::kLoad, &t), std::runtime_error);
  EXPECT_EQ(load("b"), "word:b");
  EXPECT_TRUE(collector::verify_heap().ok);
}

// Answers and moves the input at random (only forward, so lexing ends).
class RandomTracer : public Tracer {
 public:
  explicit RandomTracer(uint32_t seed) : state(seed) {}
  bool on_event(TraceEvent& e) override {
    uint32_t r = next();
    if (r % 13 == 0) e.resume = e.position + 1 + (r >> 8) % 3;
    return r % 5 != 0;
  }
  uint32_t next() {
    state = state * 1103515245u + 12345u;
    return state >> 8;
  }
  uint32_t state;
};

TEST_F(LexerDriver, ArbitraryInputEndsInValuesOrASyntaxErrorNeverACrash) {
  static const char alphabet[] = "ab1:/'#[](){}\"^%;,.@$<>=+-xeE \n\t\\hT\x00\x80\xC3\xA9\xE2\x80\xA8\xF0\x9F\x98\x80\xFF";
  const size_t letters = sizeof alphabet - 1;
  uint32_t seed = 12345;
  auto rnd = [&seed] {
    seed = seed * 1664525u + 1013904223u;
    return seed >> 8;
  };
  for (int round = 0; round < 1500; ++round) {
    std::string src;
    size_t n = rnd() % 24;
    for (size_t i = 0; i < n; ++i) src += alphabet[rnd() % letters];
    for (Mode mode : {Mode::kLoad, Mode::kScan, Mode::kPrescan}) {
      RandomTracer tracer(rnd());
      for (Tracer* t : {static_cast<Tracer*>(nullptr), static_cast<Tracer*>(&tracer)}) {
        g_records.clear();
        try {
          LexResult r = lex(src, mode, t);
          EXPECT_LE(r.consumed, src.size());
        } catch (const LanguageError& e) {
          EXPECT_EQ(e.category, ErrorCategory::kSyntax) << e.what();
        }
      }
    }
  }
  EXPECT_TRUE(collector::verify_heap().ok);
}

}  // namespace
}  // namespace kiv::lexer
