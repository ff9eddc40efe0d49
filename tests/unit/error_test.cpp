#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/datatypes/actions.h"
#include "runtime/language_error.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/unicode.h"
#include "runtime/words.h"
#include "tests/unit/global_context_support.h"

namespace kiv {
namespace {

using testing::error_of;
using testing::GlobalContextTest;

namespace fs = std::filesystem;

const fs::path kRepo = fs::path(__FILE__).parent_path().parent_path().parent_path();

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

Cell integer(int32_t v) { return Cell{TYPE_INTEGER, 0, static_cast<uint32_t>(v), 0}; }
Cell none() { return Cell{TYPE_NONE, 0, 0, 0}; }

Cell word_of(const char* text, uint32_t type = TYPE_WORD) {
  Cell w;
  word::init_global(symbol::intern(text), &w, type);
  return w;
}

// A string! pushed on the argument stack.
Cell* push_string(const std::string& text) {
  Cell* s = stack::push_new_cell();
  string::init_cell(s, static_cast<int32_t>(text.size()));
  string::append_utf8(s, text);
  return s;
}

// Reads the notation the system source uses (blocks, strings without
// escapes, integers, the word kinds, comments) into a block pushed on the
// stack, standing in for the lexer in these tests.
class MiniReader {
 public:
  explicit MiniReader(std::string text) : text_(std::move(text)) {}

  Cell* read() {
    Cell* out = stack::push_new_cell();
    block::init_cell(out, 16);
    read_into(out);
    return out;
  }

 private:
  void read_into(Cell* block) {
    while (pos_ < text_.size()) {
      char c = text_[pos_];
      if (std::isspace(static_cast<unsigned char>(c))) {
        ++pos_;
      } else if (c == ';') {
        while (pos_ < text_.size() && text_[pos_] != '\n') ++pos_;
      } else if (c == '[') {
        ++pos_;
        Cell* inner = stack::push_new_cell();
        block::init_cell(inner, 4);
        read_into(inner);
        block::append_cell(block, inner);
        stack::drop_cells(1);
      } else if (c == ']') {
        ++pos_;
        return;
      } else if (c == '"') {
        size_t end = text_.find('"', pos_ + 1);
        Cell* s = push_string(text_.substr(pos_ + 1, end - pos_ - 1));
        block::append_cell(block, s);
        stack::drop_cells(1);
        pos_ = end + 1;
      } else {
        size_t end = pos_;
        while (end < text_.size() && !std::isspace(static_cast<unsigned char>(text_[end])) && text_[end] != '[' &&
               text_[end] != ']')
          ++end;
        std::string token = text_.substr(pos_, end - pos_);
        pos_ = end;
        Cell v;
        if (std::isdigit(static_cast<unsigned char>(token[0]))) v = integer(std::stoi(token));
        else if (token.back() == ':') v = word_of(token.substr(0, token.size() - 1).c_str(), TYPE_SET_WORD);
        else if (token[0] == ':') v = word_of(token.substr(1).c_str(), TYPE_GET_WORD);
        else if (token[0] == '\'') v = word_of(token.substr(1).c_str(), TYPE_LIT_WORD);
        else v = word_of(token.c_str());
        block::append_cell(block, &v);
      }
    }
  }

  std::string text_;
  size_t pos_ = 0;
};

std::string utf8(Cell* s) {
  int32_t length = -1;
  const char* bytes = to_utf8_cstring(s, &length);
  return std::string(bytes, static_cast<size_t>(length));
}

// The runtime with the system object built from library/system.kiv; the
// collector is on (and moves everything under KIV_GC_TORTURE).
class ErrorTest : public GlobalContextTest {
 protected:
  void SetUp() override {
    GlobalContextTest::SetUp();
    register_datatypes();
    word::init_builtin_words();
    Cell* source = MiniReader(read_file(kRepo / "library/system.kiv")).read();
    error::load_system(source);
    stack::drop_cells(1);
    set_stack_trace(1);
  }

  static void set_stack_trace(int32_t level) { *error::system_member({"state", "stack-trace"}) = integer(level); }

  // A new error pushed on the stack, made by the catalogue's names.
  static Cell* make_error(ErrorCategory category, const char* id, const Cell* a1 = nullptr,
                          const Cell* a2 = nullptr, const Cell* a3 = nullptr) {
    Cell* e = stack::push_new_cell();
    error::create(e, static_cast<uint32_t>(category), symbol::intern(id), a1, a2, a3);
    return e;
  }

  static std::string formed(Cell* e) { return error::form_text(e); }

  static std::string molded(Cell* e, bool flat) {
    Cell* out = stack::push_new_cell();
    string::init_cell(out, 64);
    Cell v = *e;
    error::mold(&v, out, {.flat = flat}, nullptr, kNoPartLimit, 0);
    std::string text = utf8(out);
    stack::drop_cells(1);
    return text;
  }

  static std::string category_word(const Cell* e) {
    return std::string(symbol::utf8_of(error::type_symbol(e))) + "/" + std::string(symbol::utf8_of(error::id_symbol(e)));
  }
};

// ---------------------------------------------------------------------------
// The catalogue.

TEST_F(ErrorTest, CatalogueHoldsTheTenCategoriesInCodeOrderWithTitlesAndIdCounts) {
  struct Case {
    const char* name;
    const char* title;
    uint32_t ids;
  };
  const Case cases[] = {
      {"throw", "Throw Error", 5},         {"note", "note", 1},
      {"syntax", "Syntax Error", 7},       {"script", "Script Error", 94},
      {"math", "Math Error", 3},           {"access", "Access Error", 15},
      {"reserved1", "Reserved1 Error", 0}, {"reserved2", "Reserved2 Error", 0},
      {"user", "User Error", 1},           {"internal", "Internal Error", 14},
  };
  uint32_t catalog = error::catalog_context();
  ASSERT_NE(catalog, 0u);
  ASSERT_EQ(_context::word_count(catalog), 10u);
  for (uint32_t i = 0; i < 10; ++i) {
    SCOPED_TRACE(cases[i].name);
    EXPECT_EQ(symbol::utf8_of(_context::word_at(catalog, i)->data2), cases[i].name);
    EXPECT_STREQ(error_category_name(static_cast<ErrorCategory>(i)), cases[i].name);
    uint32_t cat = error::category_context(i);
    ASSERT_NE(cat, 0u);
    EXPECT_EQ(symbol::utf8_of(_context::word_at(cat, 0)->data2), "code");
    EXPECT_EQ(symbol::utf8_of(_context::word_at(cat, 1)->data2), "type");
    Cell* code = _context::value_at(cat, 0);
    EXPECT_EQ(TYPE_OF(code), TYPE_INTEGER);
    EXPECT_EQ(code->data2, 100 * i);
    Cell title = *_context::value_at(cat, 1);
    EXPECT_EQ(utf8(&title), cases[i].title);
    EXPECT_EQ(error::id_count(i), cases[i].ids);
  }
}

TEST_F(ErrorTest, CodeIsHundredTimesCategoryPlusIdPosition) {
  struct Case {
    ErrorCategory category;
    const char* id;
    int32_t code;
  };
  const Case cases[] = {
      {ErrorCategory::kScript, "no-value", 300},           {ErrorCategory::kScript, "need-value", 301},
      {ErrorCategory::kScript, "not-defined", 302},        {ErrorCategory::kScript, "not-in-context", 303},
      {ErrorCategory::kScript, "invalid-arg", 309},        {ErrorCategory::kScript, "invalid-type", 310},
      {ErrorCategory::kScript, "invalid-type-spec", 311},  {ErrorCategory::kScript, "invalid-key-type", 312},
      {ErrorCategory::kScript, "bad-op-spec", 315},        {ErrorCategory::kScript, "bad-func-def", 321},
      {ErrorCategory::kScript, "bad-func-extern", 323},    {ErrorCategory::kScript, "unset-path", 330},
      {ErrorCategory::kScript, "invalid-path", 331},       {ErrorCategory::kScript, "invalid-path-set", 332},
      {ErrorCategory::kScript, "bad-field-set", 337},      {ErrorCategory::kScript, "dup-vars", 338},
      {ErrorCategory::kScript, "out-of-range", 341},       {ErrorCategory::kScript, "invalid-chars", 342},
      {ErrorCategory::kScript, "invalid-refine-arg", 345}, {ErrorCategory::kScript, "bad-make-arg", 353},
      {ErrorCategory::kScript, "bad-to-arg", 354},         {ErrorCategory::kScript, "invalid-spec-field", 356},
      {ErrorCategory::kScript, "invalid-obj-evt", 364},    {ErrorCategory::kScript, "kb-invalid-record", 393},
      {ErrorCategory::kSyntax, "malconstruct", 205},       {ErrorCategory::kInternal, "no-cycle", 907},
      {ErrorCategory::kInternal, "not-done", 909},         {ErrorCategory::kInternal, "invalid-error", 910},
      {ErrorCategory::kThrow, "break", 0},                 {ErrorCategory::kUser, "message", 800},
      {ErrorCategory::kAccess, "invalid-cmd", 514},        {ErrorCategory::kMath, "zero-divide", 400},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    EXPECT_EQ(error::code_of(c.category, c.id), c.code);
    Cell* e = make_error(c.category, c.id);
    EXPECT_EQ(error::field(e, error::FIELD_CODE)->data2, static_cast<uint32_t>(c.code));
    stack::drop_cells(1);
  }
  EXPECT_EQ(error::code_of(ErrorCategory::kScript, "no-such-id"), -1);
}

// Every category/id the C++ sources raise must be in the catalogue: a
// missing one would form as internal invalid-error instead of its message.
TEST_F(ErrorTest, EveryIdTheRuntimeRaisesIsInTheCatalogue) {
  static const std::map<std::string, ErrorCategory> kCategories = {
      {"Throw", ErrorCategory::kThrow},         {"Note", ErrorCategory::kNote},
      {"Syntax", ErrorCategory::kSyntax},       {"Script", ErrorCategory::kScript},
      {"Math", ErrorCategory::kMath},           {"Access", ErrorCategory::kAccess},
      {"Reserved1", ErrorCategory::kReserved1}, {"Reserved2", ErrorCategory::kReserved2},
      {"User", ErrorCategory::kUser},           {"Internal", ErrorCategory::kInternal},
  };
  // ErrorCategory::kX followed by a comma: the literals of the next argument
  // (a ternary may give two) are ids.
  const std::regex category_re(R"(ErrorCategory::k(\w+)\s*,)");
  const std::regex literal_re(R"re("([^"\\]*)")re");
  std::set<std::string> missing;
  size_t found = 0;
  for (const char* dir : {"runtime", "boot", "library"}) {
    if (!fs::exists(kRepo / dir)) continue;
    for (const auto& entry : fs::recursive_directory_iterator(kRepo / dir)) {
      std::string ext = entry.path().extension().string();
      if (ext != ".cpp" && ext != ".h" && ext != ".inc") continue;
      std::string text = read_file(entry.path());
      for (auto it = std::sregex_iterator(text.begin(), text.end(), category_re); it != std::sregex_iterator(); ++it) {
        auto cat = kCategories.find((*it)[1].str());
        if (cat == kCategories.end()) continue;
        size_t p = static_cast<size_t>(it->position() + it->length());
        int depth = 0;
        size_t end = p;
        for (; end < text.size(); ++end) {
          char ch = text[end];
          if (ch == '"') end = text.find('"', end + 1);
          else if (ch == '(') ++depth;
          else if ((ch == ')' || ch == ',') && depth == 0) break;
          else if (ch == ')') --depth;
          if (end == std::string::npos) break;
        }
        std::string argument = text.substr(p, end == std::string::npos ? 0 : end - p);
        for (auto lit = std::sregex_iterator(argument.begin(), argument.end(), literal_re); lit != std::sregex_iterator();
             ++lit) {
          ++found;
          std::string id = (*lit)[1].str();
          if (error::code_of(cat->second, id.c_str()) < 0)
            missing.insert(entry.path().filename().string() + ": " + error_category_name(cat->second) + "/" + id);
        }
      }
    }
  }
  EXPECT_GT(found, 50u) << "the scan found too few raised ids to be reading the sources";
  std::string list;
  for (const std::string& m : missing) list += "\n  " + m;
  EXPECT_TRUE(missing.empty()) << "ids raised but not in the catalogue:" << list;
}

// ---------------------------------------------------------------------------
// Forming.

TEST_F(ErrorTest, FormFillsArgumentsMoldedForMostCategoriesAndFormedForSyntax) {
  Cell x = word_of("x");
  Cell* path = push_string("foo.kiv");
  Cell* text_arg = push_string("word");
  Cell* at = push_string("x:y 1");
  Cell five = integer(5);
  Cell print_word = word_of("print");
  struct Case {
    ErrorCategory category;
    const char* id;
    const Cell* args[3];
    const char* expected;
  };
  const Case cases[] = {
      {ErrorCategory::kScript, "no-value", {&x}, "*** Script Error: x has no value\n*** Where: ???\n*** Near : none"},
      {ErrorCategory::kScript, "expect-arg", {&print_word, &five, &x},
       "*** Script Error: print does not allow 5 for its x argument\n*** Where: ???\n*** Near : none"},
      {ErrorCategory::kScript, "unset-path", {&print_word, &x},
       "*** Script Error: x is unset in path print\n*** Where: ???\n*** Near : none"},
      {ErrorCategory::kScript, "invalid-chars", {&x},
       "*** Script Error: contains invalid characters\n*** Where: ???\n*** Near : none"},
      {ErrorCategory::kMath, "zero-divide", {}, "*** Math Error: attempt to divide by zero\n*** Where: ???\n*** Near : none"},
      {ErrorCategory::kAccess, "cannot-open", {path},
       "*** Access Error: cannot open: \"foo.kiv\"\n*** Where: ???\n*** Near : none"},
      {ErrorCategory::kAccess, "no-connect", {path},
       "*** Access Error: cannot connect: \"foo.kiv\" reason: timeout\n*** Where: ???\n*** Near : none"},
      {ErrorCategory::kSyntax, "invalid", {text_arg, at, at},
       "*** Syntax Error: word invalid x:y 1 at x:y 1\n*** Where: ???\n*** Near : none"},
      {ErrorCategory::kThrow, "throw", {&five}, "*** Throw Error: no catch for throw: 5\n*** Where: ???\n*** Near : none"},
      {ErrorCategory::kThrow, "break", {}, "*** Throw Error: no loop to break\n*** Where: ???\n*** Near : none"},
      {ErrorCategory::kNote, "no-load", {&x}, "*** note: cannot load:  x\n*** Where: ???\n*** Near : none"},
      {ErrorCategory::kInternal, "bad-path", {&x}, "*** Internal Error: bad path: x\n*** Where: ???\n*** Near : none"},
      {ErrorCategory::kInternal, "deprecated", {&x, &print_word},
       "*** Internal Error: x is DEPRECATED, please use print instead\n*** Where: ???\n*** Near : none"},
      {ErrorCategory::kUser, "message", {path}, "*** User Error: \"foo.kiv\"\n*** Where: ???\n*** Near : none"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    Cell* e = make_error(c.category, c.id, c.args[0], c.args[1], c.args[2]);
    EXPECT_EQ(formed(e), c.expected);
    stack::drop_cells(1);
  }
}

TEST_F(ErrorTest, FormWritesWhereAsSpellingOrStringAndNearWithoutBracketsCutAtForty) {
  Cell x = word_of("x");
  Cell* e = make_error(ErrorCategory::kScript, "no-value", &x);
  *error::field(e, error::FIELD_WHERE) = word_of("print");
  Cell* near = stack::push_new_cell();
  block::init_cell(near, 4);
  Cell p = word_of("print");
  block::append_cell(near, &p);
  block::append_cell(near, &x);
  *error::field(e, error::FIELD_NEAR) = *near;
  EXPECT_EQ(formed(e), "*** Script Error: x has no value\n*** Where: print\n*** Near : print x");

  *error::field(e, error::FIELD_WHERE) = *push_string("system/console/prompt");
  for (int i = 0; i < 30; ++i) {
    Cell w = word_of("abcdef");
    block::append_cell(near, &w);
  }
  std::string text = formed(e);
  std::string expected_near = std::string("print x abcdef abcdef abcdef abcdef abcdef abcdef").substr(0, 40);
  EXPECT_EQ(text, "*** Script Error: x has no value\n*** Where: system/console/prompt\n*** Near : " + expected_near);

  // The near position starts at the block's index.
  near->data1 = 1;
  *error::field(e, error::FIELD_NEAR) = *near;
  *error::field(e, error::FIELD_WHERE) = integer(3);
  EXPECT_EQ(formed(e), "*** Script Error: x has no value\n*** Where: ???\n*** Near : " +
                           std::string("x abcdef abcdef abcdef abcdef abcdef abcdef").substr(0, 40));
}

TEST_F(ErrorTest, ArgumentsAreMoldedFlatAndCutAtEighty) {
  Cell* arg = stack::push_new_cell();
  block::init_cell(arg, 4);
  std::string expected = "[";
  for (int i = 0; i < 20; ++i) {
    Cell n = integer(1000 + i);
    n.header |= kFlagNewLine;
    block::append_cell(arg, &n);
    expected += (i ? " " : "") + std::to_string(1000 + i);
  }
  expected = expected.substr(0, 80);
  Cell* e = make_error(ErrorCategory::kScript, "invalid-arg", arg);
  EXPECT_EQ(formed(e), "*** Script Error: invalid argument: " + expected + "\n*** Where: ???\n*** Near : none");
}

TEST_F(ErrorTest, StackLineFollowsStackTraceAndFilesLineFollowsFiles) {
  Cell* e = make_error(ErrorCategory::kMath, "overflow");
  Cell* calls = stack::push_new_cell();
  block::init_cell(calls, 2);
  Cell f = word_of("f"), g = word_of("g");
  block::append_cell(calls, &f);
  block::append_cell(calls, &g);
  *error::field(e, error::FIELD_STACK) = *calls;
  const std::string head = "*** Math Error: math or number overflow\n*** Where: ???\n*** Near : none";
  EXPECT_EQ(formed(e), head + "\n*** Stack: f g");
  set_stack_trace(0);
  EXPECT_EQ(formed(e), head);
  *error::system_member({"state", "stack-trace"}) = none();
  EXPECT_EQ(formed(e), head);

  Cell* files = stack::push_new_cell();
  block::init_cell(files, 2);
  Cell* name = push_string("/home/someone/projects/dir/script.kiv");
  block::append_cell(files, name);
  *error::field(e, error::FIELD_FILES) = *files;
  EXPECT_EQ(formed(e), head + "\n*** Files: " + std::string("[\"/home/someone/projects/dir/script.kiv\"]").substr(0, 40));
}

TEST_F(ErrorTest, StackIntegerFormsTheFunctionFramesUpToIt) {
  // Frames: <body>, a call of the function f, a call of the native-like word n.
  Cell f = word_of("f"), n = word_of("n");
  Cell fn{TYPE_FUNCTION, 0, 0, 0};
  // A function! value for f only: level 1 takes function frames alone.
  _context::set_word(&f, &fn);
  stack::open_eval_block_frame(words::cell_of(words::WORD_BODY));
  stack::open_interp_function_frame(&f);
  stack::open_interp_call_frame(&n);
  uint32_t top = stack::frame_count();
  Cell* e = make_error(ErrorCategory::kMath, "overflow");
  *error::field(e, error::FIELD_STACK) = integer(static_cast<int32_t>(top));
  const std::string head = "*** Math Error: math or number overflow\n*** Where: ???\n*** Near : none";
  EXPECT_EQ(formed(e), head + "\n*** Stack: f");
  set_stack_trace(2);
  EXPECT_EQ(formed(e), head + "\n*** Stack: f n");
  Cell none_value = none();
  _context::set_word(&f, &none_value);
  stack::init();
}

TEST_F(ErrorTest, UnknownTypeOrIdFormsAsInvalidErrorNamingTheWord) {
  Cell* e = make_error(ErrorCategory::kMath, "overflow");
  *error::field(e, error::FIELD_TYPE) = word_of("no-such-category");
  EXPECT_EQ(formed(e), "*** Internal Error: invalid error object field value: no-such-category\n*** Where: ???\n*** Near : none");
  EXPECT_EQ(category_word(e), "internal/invalid-error");
  EXPECT_EQ(error::field(e, error::FIELD_CODE)->data2, 910u);

  Cell* e2 = make_error(ErrorCategory::kMath, "overflow");
  *error::field(e2, error::FIELD_ID) = word_of("no-such-id");
  EXPECT_EQ(formed(e2), "*** Internal Error: invalid error object field value: no-such-id\n*** Where: ???\n*** Near : none");

  // An id the runtime raises that the catalogue lacks.
  Cell* e3 = make_error(ErrorCategory::kScript, "never-catalogued");
  EXPECT_EQ(category_word(e3), "internal/invalid-error");
  EXPECT_EQ(formed(e3), "*** Internal Error: invalid error object field value: never-catalogued\n*** Where: ???\n*** Near : none");
}

TEST_F(ErrorTest, AValueThatCannotBeMoldedShowsItsTypeAndFormingGoesOn) {
  // context! cells are internal and have no mold: molding one raises an
  // error inside forming.
  Cell ctx = *_context::record(error::system_member({"state"})->data1);
  Cell* e = make_error(ErrorCategory::kScript, "invalid-arg", &ctx);
  EXPECT_EQ(formed(e), "*** Script Error: invalid argument: ?context!?\n*** Where: ???\n*** Near : none");
  EXPECT_EQ(stack::frame_count(), 0u);
}

// ---------------------------------------------------------------------------
// Making.

TEST_F(ErrorTest, MakeFromIntegerBlockAndString) {
  struct Case {
    const char* spec;  // integer text, or a block of words
    const char* expected;
  };
  const Case cases[] = {
      {"300", "script/no-value"},     {"303", "script/not-in-context"}, {"0", "throw/break"},
      {"910", "internal/invalid-error"}, {"800", "user/message"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.spec);
    Cell type{TYPE_DATATYPE, TYPE_ERROR, 0, 0};
    Cell spec = integer(std::stoi(c.spec));
    Cell* result = error::make(&type, &spec);
    EXPECT_EQ(TYPE_OF(result), TYPE_ERROR);
    EXPECT_EQ(category_word(result), c.expected);
    Cell keep = *result;
    stack::push_copy(&keep);
    EXPECT_EQ(error::field(&keep, error::FIELD_CODE)->data2, static_cast<uint32_t>(std::stoi(c.spec)));
    stack::drop_cells(1);
  }
  for (int32_t code : {1000, -1, 399, 600, 105, 999}) {
    SCOPED_TRACE(code);
    Cell type{TYPE_DATATYPE, TYPE_ERROR, 0, 0};
    Cell spec = integer(code);
    EXPECT_EQ(error_of([&] { error::make(&type, &spec); }), "script/out-of-range");
  }

  auto make_block = [](const char* text) {
    Cell* b = MiniReader(text).read();
    Cell type{TYPE_DATATYPE, TYPE_ERROR, 0, 0};
    Cell* r = error::make(&type, b);
    *b = *r;
    return b;
  };
  Cell* e = make_block("script no-value");
  EXPECT_EQ(category_word(e), "script/no-value");
  EXPECT_EQ(error::field(e, error::FIELD_CODE)->data2, 300u);
  EXPECT_EQ(error_of([&] { make_block("script nothing"); }), "script/invalid-spec-field");
  EXPECT_EQ(error_of([&] { make_block("nothing no-value"); }), "script/invalid-spec-field");
  EXPECT_EQ(error_of([&] { make_block("script 5"); }), "script/invalid-arg");
  // A block whose first value is neither a word nor a set-word is raised
  // as internal invalid-error, not answered as an error value.
  EXPECT_EQ(error_of([&] { make_block("5 6"); }), "internal/invalid-error");
  EXPECT_EQ(error_of([&] { make_block(""); }), "internal/invalid-error");

  Cell type{TYPE_DATATYPE, TYPE_ERROR, 0, 0};
  Cell* s = push_string("boom");
  Cell* user = error::make(&type, s);
  EXPECT_EQ(formed(user), "*** User Error: \"boom\"\n*** Where: ???\n*** Near : none");
  EXPECT_EQ(error::field(user, error::FIELD_CODE)->data2, 800u);

  Cell type2{TYPE_DATATYPE, TYPE_ERROR, 0, 0};
  Cell bad = Cell{TYPE_LOGIC, 1, 0, 0};
  EXPECT_EQ(error_of([&] { error::make(&type2, &bad); }), "script/bad-make-arg");
}

TEST_F(ErrorTest, EachErrorHasItsOwnFieldsCopiedFromThePrototype) {
  Cell* a = make_error(ErrorCategory::kMath, "overflow");
  Cell* b = make_error(ErrorCategory::kMath, "overflow");
  EXPECT_NE(error::context_of(a), error::context_of(b));
  *error::field(a, error::FIELD_ARG1) = integer(1);
  EXPECT_EQ(TYPE_OF(error::field(b, error::FIELD_ARG1)), TYPE_NONE);
  uint32_t proto = error::system_member({"standard", "error"})->data1;
  EXPECT_EQ(TYPE_OF(_context::value_at(proto, error::FIELD_ARG1)), TYPE_NONE);
  EXPECT_EQ(a->data2, error::kErrorClassId);
  EXPECT_EQ(TYPE_OF(_context::self_cell(error::context_of(a))), TYPE_ERROR);
}

// ---------------------------------------------------------------------------
// Mold, compare, paths.

TEST_F(ErrorTest, MoldWritesMakeErrorWithTheFieldsOneALine) {
  Cell* e = make_error(ErrorCategory::kMath, "zero-divide");
  EXPECT_EQ(molded(e, true),
            "make error! [code: 400 type: 'math id: 'zero-divide arg1: none arg2: none arg3: none near: none "
            "where: none stack: none files: none]");
  EXPECT_EQ(molded(e, false),
            "make error! [\n    code: 400\n    type: 'math\n    id: 'zero-divide\n    arg1: none\n    arg2: none\n"
            "    arg3: none\n    near: none\n    where: none\n    stack: none\n    files: none\n]");
}

TEST_F(ErrorTest, CompareOnlyWithErrorsFieldByField) {
  Cell* a = make_error(ErrorCategory::kMath, "overflow");
  Cell* b = make_error(ErrorCategory::kMath, "overflow");
  Cell* c = make_error(ErrorCategory::kMath, "zero-divide");
  EXPECT_EQ(error::compare(a, a, COMP_EQUAL), 0);
  EXPECT_EQ(error::compare(a, b, COMP_EQUAL), 0);
  EXPECT_EQ(error::compare(a, b, COMP_SAME), -1);
  EXPECT_NE(error::compare(a, c, COMP_EQUAL), 0);
  Cell n = integer(400);
  EXPECT_EQ(error::compare(a, &n, COMP_EQUAL), kNotComparable);
}

TEST_F(ErrorTest, PathsReadAndSetFieldsButRefuseStack) {
  // An uncaught error empties the argument stack: the error is held rooted
  // elsewhere so that it outlives the refused paths below.
  RootedCell held(*make_error(ErrorCategory::kMath, "overflow"));
  Cell* e = held.get();
  Cell id = word_of("id");
  Cell* v = error::eval_path(e, &id, nullptr, nullptr, nullptr, nullptr, 1, {.get = true, .tail = true});
  EXPECT_EQ(symbol::utf8_of(v->data2), "overflow");
  Cell arg1 = word_of("arg1");
  Cell seven = integer(7);
  error::eval_path(e, &arg1, &seven, nullptr, nullptr, nullptr, 1, {.tail = true});
  EXPECT_EQ(error::field(e, error::FIELD_ARG1)->data2, 7u);
  Cell st = word_of("stack");
  EXPECT_EQ(error_of([&] { error::eval_path(e, &st, nullptr, nullptr, nullptr, nullptr, 1, {.get = true, .tail = true}); }),
            "script/invalid-path-set");
  Cell missing = word_of("nowhere");
  EXPECT_EQ(error_of([&] { error::eval_path(e, &missing, nullptr, nullptr, nullptr, nullptr, 1, {.tail = true}); }),
            "script/invalid-path");
  EXPECT_EQ(TYPE_OF(error::eval_path(e, &missing, nullptr, nullptr, nullptr, nullptr, 1, {.get = true, .tail = true})),
            TYPE_NONE);
}

// ---------------------------------------------------------------------------
// Language errors raised by the runtime.

std::string g_reported;
void record_uncaught(const LanguageError& e) { g_reported = error::form_language_error(e); }

TEST_F(ErrorTest, UncaughtLanguageErrorFormsWithWhereAndStackOfTheFramesItLeft) {
  Cell f = word_of("f"), n = word_of("sqrt-it");
  Cell fn{TYPE_FUNCTION, 0, 0, 0};
  _context::set_word(&f, &fn);
  stack::set_uncaught_error_handler(record_uncaught);
  g_reported.clear();
  Cell x = word_of("x");
  EXPECT_EQ(error_of([&] {
              stack::open_eval_block_frame(words::cell_of(words::WORD_BODY));
              stack::open_interp_function_frame(&f);
              stack::open_interp_call_frame(&n);
              fire(ErrorCategory::kScript, "no-value", x);
            }),
            "script/no-value");
  stack::set_uncaught_error_handler(nullptr);
  EXPECT_EQ(g_reported, "*** Script Error: x has no value\n*** Where: sqrt-it\n*** Near : none\n*** Stack: f");
  EXPECT_EQ(stack::frame_count(), 0u);
  Cell none_value = none();
  _context::set_word(&f, &none_value);
}

TEST_F(ErrorTest, LanguageErrorTextArgumentsBecomeStrings) {
  stack::open_call_frame(nullptr);
  try {
    fire(ErrorCategory::kAccess, "cannot-open", "nothing-here.kiv");
  } catch (const LanguageError& e) {
    Cell* err = stack::push_new_cell();
    error::from_language_error(e, err);
    EXPECT_EQ(TYPE_OF(error::field(err, error::FIELD_ARG1)), TYPE_STRING);
    EXPECT_EQ(TYPE_OF(error::field(err, error::FIELD_STACK)), TYPE_INTEGER);
    error::capture_stack(err);
    EXPECT_EQ(TYPE_OF(error::field(err, error::FIELD_STACK)), TYPE_BLOCK);
    EXPECT_EQ(formed(err), "*** Access Error: cannot open: \"nothing-here.kiv\"\n*** Where: ???\n*** Near : none\n*** Stack: ");
  }
}

TEST_F(ErrorTest, CaptureStackCopiesTheSourceFiles) {
  // Copied out at once: the member lives in a series that the next
  // allocation may move.
  Cell list = *error::system_member({"state", "source-files"});
  ASSERT_EQ(TYPE_OF(&list), TYPE_BLOCK);
  Cell* name = push_string("a.kiv");
  block::append_cell(&list, name);
  Cell* e = make_error(ErrorCategory::kMath, "overflow");
  *error::field(e, error::FIELD_STACK) = integer(0);
  error::capture_stack(e);
  Cell copied = *error::field(e, error::FIELD_FILES);
  EXPECT_EQ(TYPE_OF(&copied), TYPE_BLOCK);
  EXPECT_NE(copied.data2, list.data2);
  EXPECT_EQ(block::rs_length_q(&copied), 1);
  block::clear_from_head(&list);
}

TEST_F(ErrorTest, BeforeTheCatalogueExistsALanguageErrorFormsPlainly) {
  Cell saved = *error::system_member({});
  Cell none_value = none();
  Cell sys = word_of("system");
  _context::set_word(&sys, &none_value);
  LanguageError e(ErrorCategory::kInternal, "no-memory");
  EXPECT_EQ(error::form_language_error(e), "*** internal/no-memory");
  _context::set_word(&sys, &saved);
}

}  // namespace
}  // namespace kiv
