// Kivbin images in the whole runtime: byte-exact records, round trips of
// random nested values (sharing and cycles included) through both record
// forms and the compressed form, the structural faults with their errors,
// and damaged images of real values. Each test boots the runtime in a child
// process of its own (the runtime is process-wide).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "boot/startup.h"
#include "runtime/datatypes/actions.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/image.h"
#include "runtime/datatypes/kivbin.h"
#include "runtime/datatypes/native.h"
#include "runtime/datatypes/object.h"
#include "runtime/datatypes/routine.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/eval/interpreter.h"
#include "runtime/host/kivbin.h"
#include "runtime/collector.h"
#include "runtime/language_error.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"
#include "tests/unit/child_runtime_support.h"
#include "view/backend/qt/image_backend.h"

namespace kiv::testing {
namespace {

using Bytes = std::vector<uint8_t>;

// Fewer rounds when every few allocations collect.
int rounds(int full, int tortured) { return collector::torture_interval() ? tortured : full; }

// A block nested n deep, made without collections.
RootedCell nested_block(int n) {
  NoCollectScope no_collect;
  RootedCell b;
  block::init_cell(b.get(), 1);
  for (int i = 0; i < n; ++i) {
    Cell inner = *b;
    block::init_cell(b.get(), 1);
    block::append_cell(b.get(), &inner);
  }
  return b;
}

// The value of Kiv source text.
RootedCell eval(const std::string& text) {
  return evaluate_text(text, [](Cell* value) { return RootedCell(*value); });
}

std::string mold(const Cell& value, bool all = true) {
  stack::TopGuard guard;
  Cell* v = stack::push_copy(&value);
  Cell* out = stack::push_new_cell();
  string::init_cell(out, 16);
  dispatch_mold(v, out, {.all = all}, nullptr, kNoPartLimit, 0);
  int32_t length = -1;
  const char* text = to_utf8_cstring(out, &length);
  return std::string(text, static_cast<size_t>(length));
}

std::string error_text(const LanguageError& e) {
  std::string s = std::string(error_category_name(e.category)) + "/" + e.id;
  for (const auto& a : e.args) {
    if (a.kind == ErrorArgument::Kind::kText) s += " " + a.text;
    if (a.kind == ErrorArgument::Kind::kValue) {
      Cell v = *a.value.get();
      s += " " + (TYPE_OF(&v) == TYPE_INTEGER ? std::to_string(static_cast<int32_t>(v.data2)) : mold(v, false));
    }
  }
  return s;
}

// Decodes in codec mode into a new block; answers "ok" or the error.
std::string decode_result(const Bytes& image, RootedCell* out = nullptr) {
  try {
    RootedCell block;
    block::init_cell(block.get(), 4);
    kivbin::decode(image, block.get(), kivbin::Mode::kCodec);
    if (out) *out = *block;
    return "ok";
  } catch (const LanguageError& e) {
    return error_text(e);
  }
}

std::string hex(const Bytes& b) {
  std::string s;
  char buf[4];
  for (uint8_t x : b) {
    std::snprintf(buf, sizeof buf, "%02X", x);
    s += buf;
  }
  return s;
}

// The records area of an image without symbols or compression.
Bytes records_of(const Bytes& image) {
  kivbin::Image im;
  if (kivbin::open(image, &im) != kivbin::OpenStatus::kOk) return {};
  return Bytes(im.records, im.records + im.records_size);
}

// ---------------------------------------------------------------------------
// Structural equality with sharing: the two value graphs must be the same
// shape, and a node met again on one side must be met again, at the same
// place, on the other (same?-ness kept, cycles kept).

class Iso {
 public:
  bool same(const Cell* a, const Cell* b, const std::string& where) {
    if (TYPE_OF(a) != TYPE_OF(b)) return fail(where, "type " + std::to_string(TYPE_OF(a)) + " vs " + std::to_string(TYPE_OF(b)));
    if ((a->header & kFlagNewLine) != (b->header & kFlagNewLine)) return fail(where, "new-line flag");
    uint32_t t = TYPE_OF(a);
    switch (t) {
      case TYPE_BLOCK: case TYPE_PAREN: case TYPE_PATH: case TYPE_LIT_PATH: case TYPE_SET_PATH:
      case TYPE_GET_PATH: case TYPE_MAP: case TYPE_HASH:
        if (a->data1 != b->data1) return fail(where, "head index");
        if (t == TYPE_HASH && (b->data3 == 0) != (a->data3 == 0)) return fail(where, "hash index");
        return cells(a->data2, b->data2, where);
      case TYPE_IMAGE: {
        if (a->data1 != b->data1 || a->data3 != b->data3) return fail(where, "head or size");
        if ((a->data2 == 0) != (b->data2 == 0)) return fail(where, "pixels");
        if (!a->data2) return true;
        bool seen = false;
        if (!pair(a->data2, b->data2, where, &seen)) return false;
        const image_backend::Bitmap* x = image::bitmap_of(a);
        const image_backend::Bitmap* y = image::bitmap_of(b);
        if (std::memcmp(x->pixels, y->pixels, x->count() * 4)) return fail(where, "pixel bytes");
        return true;
      }
      case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_BINARY: case TYPE_BITSET: case TYPE_TAG:
      case TYPE_EMAIL: case TYPE_REF: case TYPE_VECTOR: {
        if (a->data1 != b->data1) return fail(where, "head index");
        if (t == TYPE_VECTOR && a->data3 != b->data3) return fail(where, "element type");
        if (!pair(a->data2, b->data2, where)) return false;
        SeriesBuffer* x = node_buffer(a->data2);
        SeriesBuffer* y = node_buffer(b->data2);
        if ((x->flags & 0x80000) != (y->flags & 0x80000)) return fail(where, "complement");
        if (x->unit() != y->unit() && t != TYPE_BINARY && t != TYPE_BITSET) return fail(where, "unit");
        if (x->used_bytes() != y->used_bytes() || std::memcmp(x->head_ptr(), y->head_ptr(), x->used_bytes()))
          return fail(where, "bytes");
        return true;
      }
      case TYPE_WORD: case TYPE_SET_WORD: case TYPE_LIT_WORD: case TYPE_GET_WORD: case TYPE_REFINEMENT: {
        if (a->data2 != b->data2) return fail(where, "symbol");
        bool ga = a->data1 == 0 || a->data1 == _context::global();
        bool gb = b->data1 == _context::global();
        if (ga || gb) return ga && gb ? true : fail(where, "global binding");
        if (a->data3 != b->data3) return fail(where, "word index");
        return context(a->data1, b->data1, where + "/binding");
      }
      case TYPE_OBJECT:
        if ((a->data3 != 0) != (b->data3 != 0)) return fail(where, "hooks");
        return context(a->data1, b->data1, where);
      case TYPE_ERROR:
        return context(a->data1, b->data1, where);
      case TYPE_FUNCTION:
        return function(a, b, where);
      case TYPE_OP: {
        if (op_source_type(a) != op_source_type(b)) return fail(where, "op source");
        Cell x = *a, y = *b;
        x.header = y.header = op_source_type(a);
        return same(&x, &y, where);
      }
      case TYPE_NATIVE: case TYPE_ACTION:
        if (a->data1 != b->data1) return fail(where, "entry");
        return cells(a->data2, b->data2, where + "/spec");
      case TYPE_PAIR: case TYPE_INTEGER: case TYPE_CHAR:
        return a->data2 == b->data2 && a->data3 == b->data3 ? true : fail(where, "payload");
      case TYPE_FLOAT: case TYPE_PERCENT: case TYPE_TIME: case TYPE_DATE:
        return std::memcmp(&a->data1, &b->data1, 12) == 0 || (t != TYPE_DATE && a->data2 == b->data2 && a->data3 == b->data3)
                   ? true
                   : fail(where, "number bits");
      case TYPE_MONEY:
        return (a->header == b->header && std::memcmp(&a->data1, &b->data1, 12) == 0) ? true : fail(where, "money");
      case TYPE_ISSUE:
        return a->data2 == b->data2 ? true : fail(where, "issue");
      default:
        return (a->header == b->header && a->data1 == b->data1 && a->data2 == b->data2 && a->data3 == b->data3)
                   ? true
                   : fail(where, "cell");
    }
  }
  std::string why;

 private:
  bool fail(const std::string& where, const std::string& what) {
    if (why.empty()) why = where + ": " + what;
    return false;
  }
  // Records the pairing of two nodes; answers false when either was paired
  // with another; *seen says whether this pair was met before.
  bool pair(uint32_t x, uint32_t y, const std::string& where, bool* seen = nullptr) {
    auto i = fwd_.find(x);
    auto j = back_.find(y);
    if (i != fwd_.end() || j != back_.end()) {
      if (i == fwd_.end() || j == back_.end() || i->second != y || j->second != x) return fail(where, "sharing differs");
      if (seen) *seen = true;
      return true;
    }
    fwd_[x] = y;
    back_[y] = x;
    if (seen) *seen = false;
    return true;
  }
  bool cells(uint32_t x, uint32_t y, const std::string& where) {
    bool seen;
    if (!pair(x, y, where, &seen)) return false;
    if (seen) return true;
    uint32_t n = series_length(x);
    if (n != series_length(y)) return fail(where, "length " + std::to_string(n) + " vs " + std::to_string(series_length(y)));
    for (uint32_t i = 0; i < n; ++i) {
      Cell a = series_head_cell(x)[i], b = series_head_cell(y)[i];
      if (!same(&a, &b, where + "/" + std::to_string(i))) return false;
    }
    return true;
  }
  bool context(uint32_t x, uint32_t y, const std::string& where) {
    bool seen;
    if (!pair(x, y, where, &seen)) return false;
    if (seen) return true;
    uint32_t n = _context::word_count(x);
    if (n != _context::word_count(y)) return fail(where, "word count");
    for (uint32_t i = 0; i < n; ++i)
      if (_context::word_at(x, i)->data2 != _context::word_at(y, i)->data2) return fail(where, "context words");
    Cell sa = *_context::self_cell(x), sb = *_context::self_cell(y);
    if (TYPE_OF(&sa) == TYPE_FUNCTION) return function(&sa, &sb, where);
    for (uint32_t i = 0; i < n; ++i) {
      const Cell* va = _context::value_at(x, i);
      const Cell* vb = _context::value_at(y, i);
      Cell a = va ? *va : Cell{TYPE_UNSET, 0, 0, 0}, b = vb ? *vb : Cell{TYPE_UNSET, 0, 0, 0};
      if (TYPE_OF(&sa) == TYPE_ERROR && i == error::FIELD_STACK && TYPE_OF(&a) == TYPE_INTEGER) a = Cell{TYPE_NONE, 0, 0, 0};
      if (TYPE_OF(&sa) == TYPE_ERROR && i == error::FIELD_FILES) continue;
      if (!same(&a, &b, where + "." + std::string(symbol::utf8_of(_context::word_at(x, i)->data2)))) return false;
    }
    return true;
  }
  bool function(const Cell* a, const Cell* b, const std::string& where) {
    if (TYPE_OF(b) != TYPE_FUNCTION) return fail(where, "not a function");
    bool seen;
    if (!pair(a->data1 | 0x80000000u, b->data1 | 0x80000000u, where, &seen)) return false;
    if (seen) return true;
    if (!context_words(a->data1, b->data1, where)) return false;
    if (!cells(function::spec_node(a), function::spec_node(b), where + "/spec")) return false;
    Cell x = *function::aux_cell(a, function::kAuxBody), y = *function::aux_cell(b, function::kAuxBody);
    return cells(x.data2, y.data2, where + "/body");
  }
  bool context_words(uint32_t x, uint32_t y, const std::string& where) {
    bool seen;
    if (!pair(x, y, where, &seen)) return false;
    uint32_t n = _context::word_count(x);
    if (n != _context::word_count(y)) return fail(where, "word count");
    for (uint32_t i = 0; i < n; ++i)
      if (_context::word_at(x, i)->data2 != _context::word_at(y, i)->data2) return fail(where, "context words");
    return true;
  }
  std::map<uint32_t, uint32_t> fwd_, back_;
};

// ---------------------------------------------------------------------------
// Random programs that build nested values with sharing and cycles.

class Gen {
 public:
  explicit Gen(uint32_t seed) : g_(seed) {}

  std::string program() {
    std::string s;
    int n = 3 + pick(6);
    kinds_.clear();
    for (int i = 1; i <= n; ++i) s += "v" + std::to_string(i) + ": " + definition(i) + "\n";
    // Sharing and cycles between what was made.
    for (int k = pick(4); k > 0; --k) {
      int a = series_var(), b = 1 + pick(n);
      if (a) s += "append/only v" + std::to_string(a) + " :v" + std::to_string(b) + "\n";
    }
    for (int k = pick(2); k > 0; --k) {
      int a = object_var(), b = 1 + pick(n);
      if (a) s += "v" + std::to_string(a) + "/a: :v" + std::to_string(b) + "\n";
    }
    s += "reduce [";
    for (int i = 1; i <= n; ++i) s += " :v" + std::to_string(i);
    for (int k = pick(3); k > 0; --k) s += " :v" + std::to_string(1 + pick(n));
    return s + "]";
  }

 private:
  int pick(int n) { return static_cast<int>(g_() % static_cast<uint32_t>(n)); }
  template <size_t N>
  const char* any(const char* const (&list)[N]) {
    return list[pick(N)];
  }
  int series_var() {
    std::vector<int> v;
    for (auto& [i, k] : kinds_)
      if (k == 'b') v.push_back(i);
    return v.empty() ? 0 : v[pick(static_cast<int>(v.size()))];
  }
  int object_var() {
    std::vector<int> v;
    for (auto& [i, k] : kinds_)
      if (k == 'o') v.push_back(i);
    return v.empty() ? 0 : v[pick(static_cast<int>(v.size()))];
  }

  std::string literal() {
    static const char* const kLiterals[] = {
        "0", "63", "64", "-1", "2147483647", "-2147483648", "1000000", "0.0", "-0.0", "0.1", "1.0", "2.5",
        "1e300", "-123456.75", "1.5e-10", "2147483647.0", "50%", "0.5%", "12.34%", "-7%", "1:02:03", "-0:01:30",
        "0:00:00.5", "100:00", "1-Jan-2000", "29-Feb-2024/10:20:30", "5-May-2010/1:02:03+5:30",
        "31-Dec-1999/23:59:59-8:00", "#\"a\"", "#\"^(e9)\"", "#\"^(20AC)\"", "#\"^(1F600)\"", "#\"^(00)\"",
        "\"abc\"", "\"caf^(e9)\"", "\"^(20AC)uro\"", "\"^(1F600)!\"", "\"\"", "{two^/lines}", "%foo/bar.txt",
        "%\"\"", "http://example.com/x?y=1", "#{DEADBEEF}", "#{}", "#abc", "#x-1", "foo", "foo:", ":foo", "'foo",
        "/foo", "Foo", "a/b/c", "'a/b", ":a/b", "a/b:", "(1 + 2)", "()", "10x20", "-1x5", "1.2.3",
        "1.2.3.4.5.6.7.8.9.10.11.12", "255.0.0", "(1.5, 2)", "(1, 2, 3)", "$12.50", "-$3.14159", "EUR$1",
        "-USD$0.00001", "$0"};
    return any(kLiterals);
  }

  std::string block_literal(int depth, bool block = false) {
    std::string s = block || pick(4) ? "[" : "(";
    std::string close = s == "[" ? "]" : ")";
    int n = pick(6);
    for (int i = 0; i < n; ++i) {
      s += pick(5) == 0 ? "\n" : " ";
      if (depth > 0 && pick(4) == 0)
        s += block_literal(depth - 1);
      else
        s += literal();
    }
    return s + close;
  }

  std::string earlier(int i) { return i > 1 ? ":v" + std::to_string(1 + pick(i - 1)) : "none"; }

  std::string definition(int i) {
    switch (pick(14)) {
      case 0:
      case 1:
      case 2:
        kinds_[i] = 'b';
        return block_literal(3, true);
      case 3:
        kinds_[i] = 'b';
        return "reduce [true false none integer! make typeset! [integer! string!] make typeset! [] " + earlier(i) +
               " " + earlier(i) + " make bitset! \"abc\" complement make bitset! \"xyz\" make bitset! 0 s: copy \"t^(e9)xt\" s next s"
               " b: make bitset! \"q\" b f: %a/b next f t: [1 2] next t]";
      case 4:
        kinds_[i] = 'o';
        return "make object! [a: " + earlier(i) + " b: pick [" + literal() + "] 1 f: func [x] [x a b] g: none]";
      case 5:
        return "func [x [integer!] /r y \"doc\" /local z] [z: x + 1 print [z y " + earlier(i) + "] " +
               block_literal(1) + "]";
      case 6: {
        kinds_[i] = 'm';
        return "make map! [a 1 \"k\" " + earlier(i) + " 3 [x y] b 2]";
      }
      case 7:
        return "next next [1 2 3 4]";
      case 8:
        return "try [1 / 0]";
      case 9:
        return any({"make op! func [a b] [a + b]", ":add", ":if", "make op! :add", ":append"});
      case 10:
        kinds_[i] = 'b';
        return "to path! [a b c]";
      case 11:
        kinds_[i] = 'b';
        return "reduce [w: make vector! [integer! 16 [1 -2 300]] w next w make vector! [char! 32 [#\"a\" "
               "#\"^(1F600)\"]] make vector! [float! 32 [1.5 2.5]] make vector! [percent! 64 [50% 1%]] "
               "make vector! [char! 8 []] make vector! [float! 64 [-0.0 1e300]]]";
      case 12:
        kinds_[i] = 'b';
        return "reduce [i: make image! [2x1 #{0102030405FF} #{00C0}] i next i make image! [0x3] "
               "h: make hash! [a 1 \"k\" [x]] h next h " + earlier(i) + " make image! [1x1 7.8.9]]";
      default: {
        kinds_[i] = 'o';
        return "make object! [a: 1 b: func [] [a] c: make object! [d: 'a e: self]]";
      }
    }
  }

  std::mt19937 g_;
  std::map<int, char> kinds_;
};

// Encodes, decodes and compares; answers "" or what went wrong.
std::string round_trip(const Cell& value, bool compact, bool compress) {
  RootedCell v(value);
  Bytes image;
  try {
    image = kivbin::encode_bytes(v.get(), compact, compress);
  } catch (const LanguageError& e) {
    return "encode: " + error_text(e);
  }
  RootedCell decoded;
  std::string r = decode_result(image, &decoded);
  if (r != "ok") return "decode: " + r;
  if (series_length(decoded->data2) != 1) return "decode: not one value";
  RootedCell back(*series_head_cell(decoded->data2));
  Iso iso;
  if (!iso.same(v.get(), back.get(), "")) return "shape: " + iso.why;
  std::string a = mold(*v), b = mold(*back);
  if (a != b) return "mold: " + a + " vs " + b;
  return "";
}

TEST(KivbinDeathTest, RandomNestedValuesWithSharingAndCyclesRoundTripInEveryForm) {
  EXPECT_EXIT(run_booted([] {
                bool ok = true;
                Gen gen(20261211);
                for (int i = 0; i < rounds(250, 6) && ok; ++i) {
                  std::string program = gen.program();
                  RootedCell value;
                  try {
                    value = *eval(program);
                  } catch (const LanguageError& e) {
                    std::fprintf(stderr, "program failed: %s\n%s\n", error_text(e).c_str(), program.c_str());
                    return false;
                  }
                  for (int form = 0; form < 3; ++form) {
                    std::string r = round_trip(*value, form != 1, form == 2);
                    if (!r.empty()) {
                      std::fprintf(stderr, "form %d: %s\n%s\n", form, r.c_str(), program.c_str());
                      ok = false;
                      break;
                    }
                  }
                }
                return ok;
              }),
              ::testing::ExitedWithCode(0), "");
}

// Records as the format lays them out, byte for byte.
TEST(KivbinDeathTest, RecordsAreWrittenByteForByte) {
  EXPECT_EXIT(run_booted([] {
                struct Case {
                  const char* source;
                  bool compact;
                  const char* records;
                } cases[] = {
                    {"0", true, "80"},
                    {"63", true, "BF"},
                    {"64", true, "0B8001"},
                    {"-1", true, "0B01"},
                    {"1.2.3", true, "27010203"},
                    {"1.2.3.4", true, "670401020304"},
                    {"0.5", true, "0C000000000000E03F"},
                    {"2.0", true, "4C04"},
                    {"1.0", true, "4C02"},
                    {"0.1", true, "0C9A9999999999B93F"},
                    {"-0.0", true, "0C0000000000000080"},
                    {"50%", true, "6664"},
                    {"make typeset! []", true, "2100"},
                    {"true", true, "C2"},
                    {"none", true, "03"},
                    {"#\"a\"", true, "0A61"},
                    {"\"ab\"", true, "07086162"},
                    {"\"^(20AC)\"", true, "0705AC20"},
                    {"next \"ab\"", true, "4701086162"},
                    {"#{0102}", true, "29020102"},
                    {"3x-4", true, "250607"},
                    {"[1 [2]]", true, "0502810501" "82"},
                    {"x: [1] append/only x x x", true, "050281C10501" "00"},
                    {"reduce [s: \"a\" s]", true, "0502070461" "C107020000"},
                    {"1-Jan-2000", true, "2F" "8010A00F"},
                    {"1.0", false, "0C000000" "0000F03F" "00000000"},
                    {"[1.0]", false, "05000000" "00000000" "01000000" "00000000" "0C000000" "0000F03F" "00000000"},
                    {"\"abc\"", false, "07010000" "00000000" "03000000" "61626300"},
                    {"5", false, "0B000000" "05000000"},
                    {"make vector! [integer! 8 [1 2]]", true, "232C020102"},
                    {"make vector! [integer! 16 [1]]", false, "23020000" "00000000" "01000000" "0B000000" "01000000"},
                    {"make image! [1x1 1.2.3]", true, "350101" "030201FF"},
                    {"next make image! [2x1 1.2.3.255]", true, "750102" "01" "03020100" "03020100"},
                    {"make image! [0x3]", true, "350003"},
                    {"make image! [1x1 1.2.3]", false, "35000000" "00000000" "01000100" "030201FF"},
                    {"make hash! [1]", true, "240181"},
                    {"reduce [i: make image! 1x1 i]", true, "0502" "350101FFFFFFFF" "C13502" "0000"},
                };
                bool ok = true;
                for (const Case& c : cases) {
                  RootedCell v = eval(c.source);
                  std::string got = hex(records_of(kivbin::encode_bytes(v.get(), c.compact)));
                  if (got != c.records) {
                    std::fprintf(stderr, "%s (%s): %s, expected %s\n", c.source, c.compact ? "compact" : "fixed",
                                 got.c_str(), c.records);
                    ok = false;
                  }
                }
                // The image around them: magic, version 2, flags, counts.
                RootedCell v = eval("5");
                std::string image = hex(kivbin::encode_bytes(v.get(), true));
                if (image != "4B495642494E" "02" "01" "01" "01" "85") {
                  std::fprintf(stderr, "image %s\n", image.c_str());
                  ok = false;
                }
                v = eval("'abc");
                image = hex(kivbin::encode_bytes(v.get(), true));
                if (image != "4B495642494E" "02" "05" "01" "02" "01" "04" "00000000" "61626300" "0F00") {
                  std::fprintf(stderr, "image %s\n", image.c_str());
                  ok = false;
                }
                return ok;
              }),
              ::testing::ExitedWithCode(0), "");
}

// ---------------------------------------------------------------------------
// Faults.

// A compact image around the records, with the names given as a symbol
// table when there are any.
Bytes compact_image(const Bytes& records, const std::vector<std::string>& names = {}) {
  return kivbin::assemble(true, 2, 1, names, records, false);
}
Bytes fixed_image(const Bytes& records, const std::vector<std::string>& names = {}) {
  return kivbin::assemble(false, 2, 1, names, records, false);
}

TEST(KivbinDeathTest, StructuralFaultsRaiseTheirErrors) {
  EXPECT_EXIT(run_booted([] {
                Bytes nested;
                for (int i = 0; i < 5000; ++i) nested.insert(nested.end(), {0x05, 0x01});
                nested.push_back(0x80);
                struct Case {
                  const char* what;
                  Bytes image;
                  const char* expected;
                } cases[] = {
                    {"empty records", compact_image({}), "ok"},
                    {"not kivbin", Bytes{'K', 'I', 'V', 'B', 'I', 'X', 2, 1, 1, 0}, "script/invalid-data"},
                    {"short", Bytes{'K', 'I', 'V'}, "script/invalid-data"},
                    {"fixed header cut", Bytes{'K', 'I', 'V', 'B', 'I', 'N', 2, 0, 1, 0, 0}, "script/invalid-data"},
                    {"compressed data corrupted", Bytes{'K', 'I', 'V', 'B', 'I', 'N', 2, 3, 9, 0, 0, 0, 5, 0, 0, 0, 1},
                     "script/invalid-data"},
                    {"records size past the end", Bytes{'K', 'I', 'V', 'B', 'I', 'N', 2, 1, 1, 5, 0x80},
                     "script/kb-invalid-record 11"},
                    {"definition in codec mode", compact_image({0xC4, 0x0F, 0x00}, {"a"}),
                     "script/kb-invalid-record 19"},
                    {"header byte with no meaning", compact_image({0xC5}), "script/kb-invalid-record 11"},
                    {"prefix before a small integer", compact_image({0xC1, 0x80}), "script/kb-invalid-record 12"},
                    {"type 0", compact_image({0x00}), "script/kb-invalid-record 11"},
                    {"logic typed record", compact_image({0x04}), "script/kb-invalid-record 11"},
                    {"symbol! record", compact_image({0x0D}), "script/kb-invalid-record 11"},
                    {"series! record", compact_image({0x2A}), "script/kb-invalid-record 11"},
                    {"image side above 65,535", compact_image({0x35, 0x80, 0x80, 0x04, 0x01}),
                     "script/kb-invalid-record 12"},
                    {"image pixels past the end", compact_image({0x35, 0x02, 0x02, 1, 2, 3}),
                     "script/kb-invalid-record 12"},
                    {"image of 65,535 x 65,535 claimed in a few bytes", compact_image({0x35, 0xFF, 0xFF, 0x03, 0xFF, 0xFF, 0x03}),
                     "script/kb-invalid-record 12"},
                    {"image reference to a block", compact_image({0x05, 0x01, 0x80, 0xC1, 0x35, 0x01, 0x00}),
                     "script/kb-invalid-record"},
                    {"hash! count past the end", compact_image({0x24, 0x05, 0x80}), "script/kb-invalid-record 12"},
                    {"escaped type id past the last", compact_image({0x3F, 0x40}), "script/kb-invalid-record 11"},
                    {"routine! record", compact_image({0x1D}), "access/no-codec routine!"},
                    {"event! record", compact_image({0x36}), "access/no-codec event!"},
                    {"uvar fifth byte 0x10", compact_image({0x0B, 0xFF, 0xFF, 0xFF, 0xFF, 0x10}),
                     "script/kb-invalid-record 16"},
                    {"uvar fifth byte 0x0F", compact_image({0x0B, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F}), "ok"},
                    {"record cut short", compact_image({0x0B}), "script/kb-invalid-record 12"},
                    {"block count past the bytes left", compact_image({0x05, 0x7F}), "script/kb-invalid-record 12"},
                    {"block count huge", compact_image({0x05, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F}),
                     "script/kb-invalid-record 12"},
                    {"string unit code 3", compact_image({0x07, 0x07, 0x61}), "script/kb-invalid-record 12"},
                    {"string past the end", compact_image({0x07, 0x0C, 0x61}), "script/kb-invalid-record 12"},
                    {"string code point past 10FFFF", compact_image({0x07, 0x06, 0x00, 0x00, 0x11, 0x00}),
                     "script/kb-invalid-record 12"},
                    {"char past 10FFFF", compact_image({0x0A, 0x80, 0x80, 0xC4, 0x00}),
                     "script/kb-invalid-record 11"},
                    {"date without time, F clear", compact_image({0x2F, 0x80, 0x10, 0xA0, 0x0F}), "ok"},
                    {"date time bit set, F clear", compact_image({0x2F, 0x80, 0x10, 0xA1, 0x0F}),
                     "script/kb-invalid-record 11"},
                    {"date with F and no time bit",
                     compact_image({0x6F, 0x80, 0x10, 0xA0, 0x0F, 0, 0, 0, 0, 0, 0, 0, 0}),
                     "script/kb-invalid-record 11"},
                    {"date with a time far outside its day",
                     compact_image({0x6F, 0x80, 0x10, 0xA1, 0x0F, 0x9C, 0x75, 0x00, 0x88, 0x3C, 0xE4, 0x37, 0x7E}),
                     "script/kb-invalid-record 11"},
                    {"date of 31 February", compact_image({0x2F, 0x80, 0x2F, 0xA0, 0x0F}),
                     "script/kb-invalid-record 11"},
                    {"typeset of 13 bytes", compact_image({0x21, 13}), "script/kb-invalid-record 11"},
                    {"tuple of 13 bytes", compact_image({0x67, 13}), "script/kb-invalid-record 11"},
                    {"money digit above 9", compact_image({0x31, 0, 0xA0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
                     "script/kb-invalid-record 11"},
                    {"symbol index past N", compact_image({0x0F, 0x01}, {"a"}), "script/kb-invalid-record 20"},
                    {"reference path of 0 indexes", compact_image({0x05, 0x01, 0xFF, 0x00}),
                     "script/kb-invalid-record 14"},
                    {"reference path of 65537 indexes", compact_image(Bytes{0x05, 0x01, 0xFF, 0x81, 0x80, 0x04}),
                     "script/kb-invalid-record 14"},
                    {"reference to a later value", compact_image({0xFF, 0x01, 0x00}), "script/kb-invalid-record 13"},
                    {"reference into a string", compact_image({0x07, 0x04, 0x61, 0xFF, 0x02, 0x00, 0x00}),
                     "script/kb-invalid-record 17"},
                    {"map reference naming a block", compact_image({0x05, 0x00, 0xC1, 0x28, 0x01, 0x00}),
                     "script/kb-invalid-record 14"},
                    {"string reference naming a block", compact_image({0x05, 0x00, 0xC1, 0x07, 0x01, 0x00}),
                     "script/kb-invalid-record 14"},
                    {"a block holding itself", compact_image({0x05, 0x01, 0xC1, 0x05, 0x01, 0x00}), "ok"},
                    {"nesting past the limit", compact_image(nested), "script/kb-invalid-record"},
                    {"map with an odd count", compact_image({0x28, 0x01, 0x80}), "script/kb-invalid-record 12"},
                    {"native index 0", compact_image({0x15, 0x00, 0x05, 0x00}), "script/kb-invalid-record 11"},
                    {"native index past the table", compact_image({0x15, 0x6C, 0x05, 0x00}),
                     "script/kb-invalid-record 11"},
                    {"native with a spec its entry cannot take", compact_image({0x15, 0x01, 0x05, 0x00}),
                     "script/kb-invalid-record 11"},
                    {"error code with no id", compact_image({0x22, 0x8F, 0x03, 0x03, 0x03, 0x03, 0x03, 0x03, 0x03}),
                     "script/kb-invalid-record 11"},
                    {"word bound to a block", compact_image({0x05, 0x00, 0xC1, 0x4F, 0x00, 0x00, 0x01, 0x00}, {"a"}),
                     "script/kb-invalid-record 22"},
                    {"object word index past its words",
                     compact_image({0x4F, 0x00, 0x02, 0x20, 0x01, 0x0E, 0x0A, 0x01, 0x00}, {"a"}),
                     "script/kb-invalid-record 19"},
                    {"duplicate words in a context", compact_image({0x20, 0x01, 0x0E, 0x0A, 0x02, 0x00, 0x00}, {"a"}),
                     "script/kb-invalid-record 25"},
                    {"function whose words disagree with its spec",
                     compact_image({0x18, 0x00, 0x00, 0x0E, 0x05, 0x01, 0x00, 0x05, 0x00, 0x05, 0x00}, {"a"}),
                     "script/kb-invalid-record 19"},
                    {"vector of 16-bit floats", compact_image({0x23, 0x31, 0x00}), "script/kb-invalid-record 11"},
                    {"vector past the end", compact_image({0x23, 0x2E, 0x05, 0x00}), "script/kb-invalid-record 11"},
                    {"fixed padding then a record", fixed_image({0, 0, 0, 0, 0x0B, 0, 0, 0, 7, 0, 0, 0}), "ok"},
                    {"fixed record cut", fixed_image({0x0B, 0, 0, 0, 7, 0}), "script/kb-invalid-record 21"},
                    {"fixed string count past the end", fixed_image({0x07, 1, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0, 0}),
                     "script/kb-invalid-record 25"},
                    {"fixed string unit 3", fixed_image({0x07, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
                     "script/kb-invalid-record 17"},
                };
                bool ok = true;
                for (const Case& c : cases) {
                  std::string got = decode_result(c.image);
                  if (got.rfind(c.expected, 0) != 0) {
                    std::fprintf(stderr, "%s: %s, expected %s\n", c.what, got.c_str(), c.expected);
                    ok = false;
                  }
                }
                // Names: a table whose names area does not end in NUL is
                // refused before any record is read.
                Bytes image = compact_image({0x80}, {"ab"});
                image[image.size() - 2] = 'c';  // the NUL after "ab"
                std::string got = decode_result(image);
                if (got.rfind("script/kb-invalid-record", 0) != 0) {
                  std::fprintf(stderr, "names without NUL: %s\n", got.c_str());
                  ok = false;
                }
                return ok;
              }),
              ::testing::ExitedWithCode(0), "");
}

// Boot mode: set-word definitions set words and leave nothing among the
// literals; words bound through a literal's context find it; literal numbers
// count from the decode's start.
TEST(KivbinDeathTest, BootModeDefinitionsAndLiteralBindings) {
  EXPECT_EXIT(run_booted([] {
                bool ok = true;
                for (bool compact : {true, false}) {
                  kivbin::EncodeOptions opt;
                  opt.compact = compact;
                  opt.mode = kivbin::Mode::kBoot;
                  kivbin::Encoder enc(opt);
                  RootedCell obj = eval("kb-obj: make object! [field: 7 other: \"s\"]");
                  RootedCell code = eval("bind [field other kb-free] kb-obj");
                  RootedCell word = eval("pick [kb-defined:] 1");
                  RootedCell value = eval("[1 2 3]");
                  enc.add(obj.get());
                  enc.define(word.get(), value.get());
                  enc.add(code.get());
                  Bytes image = enc.finish();
                  if (image[6] != kivbin::kVersionBoot) ok = false;
                  uint32_t before = series_length(root_block());
                  uint32_t n = kivbin::boot_decode(image, false);
                  if (n != 2 || series_length(root_block()) != before + 2) {
                    std::fprintf(stderr, "literals %u, root grew by %u\n", n, series_length(root_block()) - before);
                    ok = false;
                  }
                  RootedCell got = eval("mold kb-defined");
                  if (mold(*got) != "\"[1 2 3]\"") {
                    std::fprintf(stderr, "definition: %s\n", mold(*got).c_str());
                    ok = false;
                  }
                  Cell* lit0 = kivbin::literal_cell(0);
                  Cell* lit1 = kivbin::literal_cell(1);
                  if (!lit0 || TYPE_OF(lit0) != TYPE_OBJECT || !lit1 || TYPE_OF(lit1) != TYPE_BLOCK ||
                      kivbin::literal_cell(2) != nullptr || kivbin::literal_context(0) != lit0->data1) {
                    std::fprintf(stderr, "literal cells\n");
                    return false;
                  }
                  // The block's first two words are bound to the decoded object.
                  Cell w0 = series_head_cell(lit1->data2)[0];
                  Cell w2 = series_head_cell(lit1->data2)[2];
                  if (w0.data1 != lit0->data1 || w2.data1 != _context::global()) {
                    std::fprintf(stderr, "bindings\n");
                    ok = false;
                  }
                  RootedCell block(*lit1);
                  stack::TopGuard guard;
                  Cell* v = _context::get_word(&w0);
                  if (!v || TYPE_OF(v) != TYPE_INTEGER || v->data2 != 7) {
                    std::fprintf(stderr, "bound value\n");
                    ok = false;
                  }
                  // keep_base: a later decode leaves the literal base alone.
                  kivbin::Encoder other(opt);
                  RootedCell five = eval("5");
                  other.add(five.get());
                  kivbin::boot_decode(other.finish(), true);
                  if (kivbin::literal_cell(0) == nullptr || TYPE_OF(kivbin::literal_cell(0)) != TYPE_OBJECT) {
                    std::fprintf(stderr, "keep base\n");
                    ok = false;
                  }
                  // Without it the new literals count.
                  kivbin::boot_decode(other.finish(), false);
                  if (TYPE_OF(kivbin::literal_cell(0)) != TYPE_INTEGER) ok = false;
                }
                return ok;
              }),
              ::testing::ExitedWithCode(0), "");
}

void bind_routine(const char* word_text, const char* spec_text, const char* entry) {
  Cell* spec = stack::push_new_cell();
  boot::load_text(spec_text, spec);
  routine::push(spec, nullptr, routine::find_entry(entry), 0, false);
  Cell word = word::load(word_text);
  _context::set_word(&word, stack::last_pushed());
  stack::drop_cells(2);
}

// The codec's routines as Kiv calls them.
TEST(KivbinDeathTest, CodecRoutinesFromKiv) {
  EXPECT_EXIT(run_booted([] {
                bind_routine("kb-encode", "data compact? [logic!]", kivbin::kEncodeRoutine);
                bind_routine("kb-decode", "payload", kivbin::kDecodeRoutine);
                struct Case {
                  const char* source;
                  const char* expected;
                } cases[] = {
                    {"mold kb-decode kb-encode [1 \"a\" [b]] true", "{[1 \"a\" [b]]}"},
                    {"mold kb-decode kb-encode [1 \"a\" [b]] false", "{[1 \"a\" [b]]}"},
                    {"kb-decode kb-encode 12 true", "12"},
                    {"x: [1] append/only x x y: kb-decode kb-encode x false same? y pick y 2", "true"},
                    {"o: make object! [a: 1 f: func [] [a + 1]] p: kb-decode kb-encode o true p/a: 41 p/f", "42"},
                    {"kb-decode #{4B495642494E0201000000}", "[]"},
                    {"kb-decode #{4B495642494F0201000000}", "script/invalid-data"},
                    {"kb-decode #{4B495642494E02010000}", "script/invalid-data"},
                    {"kb-decode \"KIVBIN.......\"", "script/invalid-data"},
                    {"kb-decode #{4B495642494E0201010300}", "script/kb-invalid-record"},
                    {"length? kb-encode \"\" true", "12"},
                };
                bool ok = true;
                for (const Case& c : cases) {
                  std::string got;
                  try {
                    got = mold(*eval(c.source), false);
                  } catch (const LanguageError& e) {
                    got = error_text(e);
                  }
                  if (got.rfind(c.expected, 0) != 0) {
                    std::fprintf(stderr, "%s: %s, expected %s\n", c.source, got.c_str(), c.expected);
                    ok = false;
                  }
                }
                return ok;
              }),
              ::testing::ExitedWithCode(0), "");
}

// Values with no record are refused and nothing is left half written.
void echo_entry() {}

TEST(KivbinDeathTest, ValuesWithNoRecordAreRefusedWholly) {
  EXPECT_EXIT(run_booted([] {
                Cell* spec = stack::push_new_cell();
                boot::load_text("a", spec);
                routine::push(spec, nullptr, routine::register_entry("kivbin-test-echo", echo_entry), 0, false);
                RootedCell r(*stack::last_pushed());
                stack::drop_cells(2);
                RootedCell block = eval("[1 2 3]");
                block::append_cell(block.get(), r.get());
                bool ok = true;
                try {
                  kivbin::encode_bytes(block.get(), true);
                  ok = false;
                } catch (const LanguageError& e) {
                  std::string t = error_text(e);
                  ok = t.rfind("access/no-codec", 0) == 0;
                  if (!ok) std::fprintf(stderr, "%s\n", t.c_str());
                }
                // An encoder that refused one value goes on as before.
                kivbin::Encoder enc;
                RootedCell one = eval("[a b]");
                enc.add(one.get());
                try {
                  enc.add(block.get());
                  ok = false;
                } catch (const LanguageError&) {
                }
                // Nesting the decoder would refuse is refused when writing.
                RootedCell deep = nested_block(1500);
                try {
                  kivbin::encode_bytes(deep.get(), true);
                  ok = false;
                } catch (const LanguageError& e) {
                  if (error_text(e) != "internal/too-deep") ok = false;
                }
                RootedCell fits = nested_block(600);
                if (round_trip(*fits, true, false) != "" || round_trip(*fits, false, false) != "") {
                  std::fprintf(stderr, "600 levels do not round-trip\n");
                  ok = false;
                }
                Bytes image = enc.finish();
                RootedCell out;
                if (decode_result(image, &out) != "ok" || mold(*out) != "[[a b]]") {
                  std::fprintf(stderr, "after refusal: %s\n", mold(*out).c_str());
                  ok = false;
                }
                return ok;
              }),
              ::testing::ExitedWithCode(0), "");
}

// Damaged images of real values: every cut and many flipped bits decode to a
// value or an error, never a crash, a hang or a huge allocation.
TEST(KivbinDeathTest, TruncatedAndBitFlippedImagesNeverCrash) {
  EXPECT_EXIT(run_booted([] {
                std::mt19937 g(7);
                Gen gen(99);
                for (int i = 0; i < rounds(12, 2); ++i) {
                  RootedCell value = eval(gen.program());
                  for (int form = 0; form < 3; ++form) {
                    Bytes image = kivbin::encode_bytes(value.get(), form != 1, form == 2);
                    for (size_t cut = 0; cut < image.size(); cut += 1 + image.size() / 64) {
                      decode_result(Bytes(image.begin(), image.begin() + static_cast<ptrdiff_t>(cut)));
                    }
                    for (int flip = 0; flip < 64; ++flip) {
                      Bytes damaged = image;
                      size_t at = g() % damaged.size();
                      damaged[at] ^= static_cast<uint8_t>(1u << (g() % 8));
                      if (g() % 4 == 0) damaged[g() % damaged.size()] = static_cast<uint8_t>(g());
                      decode_result(damaged);
                    }
                  }
                }
                return true;
              }),
              ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace kiv::testing
