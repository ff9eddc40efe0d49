#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/datatypes/actions.h"
#include "runtime/eval/natives.h"

namespace kiv {
namespace {

// The spec files are read by the lexer at start-up; these tests read them with
// a small tokenizer of their own so that the files and the C++ tables, which
// must agree on every index and refinement position, are checked now.

std::string read_boot_file(const char* name) {
  auto path = std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() / "boot" / name;
  std::ifstream in(path);
  EXPECT_TRUE(in) << path;
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Tokens: "[" "]", strings (kept with their quotes), everything else split at
// blanks and brackets; comments dropped.
std::vector<std::string> tokenize(const std::string& text) {
  std::vector<std::string> tokens;
  size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (c == ';') {
      while (i < text.size() && text[i] != '\n') ++i;
    } else if (isspace(static_cast<unsigned char>(c))) {
      ++i;
    } else if (c == '[' || c == ']') {
      tokens.emplace_back(1, c);
      ++i;
    } else if (c == '"') {
      size_t start = i++;
      while (i < text.size() && text[i] != '"') i += (text[i] == '^') ? 2 : 1;
      tokens.push_back(text.substr(start, ++i - start));
    } else {
      size_t start = i;
      while (i < text.size() && !isspace(static_cast<unsigned char>(text[i])) && text[i] != '[' &&
             text[i] != ']' && text[i] != '"')
        ++i;
      tokens.push_back(text.substr(start, i - start));
    }
  }
  return tokens;
}

struct Spec {
  std::string word;
  int index = 0;
  int arguments = 0;
  int refinements = 0;
  bool has_doc = false;
  std::vector<std::string> type_words;
  std::vector<std::string> names;
  std::string error;
};

std::vector<Spec> parse_specs(const std::string& text) {
  std::vector<Spec> specs;
  auto tokens = tokenize(text);
  size_t i = 0;
  while (i < tokens.size()) {
    Spec spec;
    const std::string& head = tokens[i++];
    if (head.size() < 2 || head.back() != ':') {
      spec.error = "expected a set-word at " + head;
      specs.push_back(spec);
      return specs;
    }
    spec.word = head.substr(0, head.size() - 1);
    if (i >= tokens.size() || tokens[i] != "[") spec.error = "no spec block";
    ++i;
    bool in_refinements = false, after_return = false, first = true;
    int depth = 0;
    while (i < tokens.size() && !(depth == 0 && tokens[i] == "]")) {
      const std::string& t = tokens[i++];
      if (t == "[") {
        ++depth;
      } else if (t == "]") {
        --depth;
      } else if (depth > 0) {
        spec.type_words.push_back(t);
      } else if (t[0] == '"') {
        if (first) spec.has_doc = true;
      } else if (after_return) {
        spec.error = "value after return: " + t;
      } else if (t == "return:") {
        after_return = true;
      } else if (t[0] == '/') {
        in_refinements = true;
        ++spec.refinements;
        spec.names.push_back(t.substr(1));
      } else {
        std::string name = (t[0] == '\'' || t[0] == ':') ? t.substr(1) : t;
        spec.names.push_back(name);
        if (!in_refinements) ++spec.arguments;
      }
      first = false;
    }
    ++i;  // the closing bracket
    if (i < tokens.size()) spec.index = std::atoi(tokens[i++].c_str());
    specs.push_back(spec);
  }
  return specs;
}

// Datatype names and the typeset names the library defines.
const std::set<std::string>& known_type_words() {
  static const std::set<std::string> words = {
      "datatype!", "unset!", "none!", "logic!", "block!", "paren!", "string!", "file!", "url!",
      "char!", "integer!", "float!", "symbol!", "context!", "word!", "set-word!", "lit-word!",
      "get-word!", "refinement!", "issue!", "native!", "action!", "op!", "function!", "path!",
      "lit-path!", "set-path!", "get-path!", "routine!", "bitset!", "triple!", "object!",
      "typeset!", "error!", "vector!", "hash!", "pair!", "percent!", "tuple!", "map!", "binary!",
      "series!", "time!", "tag!", "email!", "handle!", "date!", "port!", "money!", "ref!",
      "point2D!", "point3D!", "image!", "event!",
      // typesets
      "any-type!", "number!", "scalar!", "any-word!", "all-word!", "any-block!", "any-string!",
      "any-object!", "any-function!", "any-path!", "any-point!"};
  return words;
}

void check_spec_shape(const Spec& s) {
  EXPECT_TRUE(s.error.empty()) << s.word << ": " << s.error;
  EXPECT_TRUE(s.has_doc) << s.word << " has no doc string first";
  for (const auto& t : s.type_words)
    EXPECT_TRUE(known_type_words().count(t)) << s.word << ": unknown type word " << t;
  std::set<std::string> seen;
  for (const auto& n : s.names) EXPECT_TRUE(seen.insert(n).second) << s.word << ": duplicate " << n;
}

TEST(NativeSpecs, FileMatchesTheNativeTableIndexWordAndRefinementPositions) {
  auto specs = parse_specs(read_boot_file("natives.kiv"));
  ASSERT_EQ(specs.size(), kNativeCount);
  for (size_t k = 0; k < specs.size(); ++k) {
    const Spec& s = specs[k];
    const NativeInfo& info = kNativeInfo[k + 1];
    EXPECT_EQ(s.index, static_cast<int>(k + 1)) << s.word;
    EXPECT_EQ(s.word, info.word) << "index " << k + 1;
    EXPECT_EQ(s.arguments, info.arguments) << s.word;
    EXPECT_EQ(s.refinements, info.refinements) << s.word;
    check_spec_shape(s);
  }
}

TEST(ActionSpecs, FileMatchesTheActionTableExceptTheThreeWordlessSlots) {
  auto specs = parse_specs(read_boot_file("actions.kiv"));
  size_t n = 0;
  for (uint32_t k = 1; k <= kActionCount; ++k) {
    const ActionInfo& info = kActionInfo[k];
    if (!info.word) {
      EXPECT_TRUE(k == ACT_EVAL_PATH || k == ACT_EMPTY_8 || k == ACT_COMPARE) << k;
      continue;
    }
    ASSERT_LT(n, specs.size());
    const Spec& s = specs[n++];
    EXPECT_EQ(s.index, static_cast<int>(k)) << s.word;
    EXPECT_EQ(s.word, info.word) << "action " << k;
    EXPECT_EQ(s.arguments, info.arguments) << s.word;
    EXPECT_EQ(s.refinements, info.refinements) << s.word;
    ASSERT_FALSE(s.names.empty()) << s.word;
    EXPECT_EQ(s.names[0], info.first_argument) << s.word << ": expect-arg names the first argument";
    check_spec_shape(s);
  }
  EXPECT_EQ(n, specs.size()) << "entries past the last action";
  EXPECT_EQ(n, kActionCount - 3);
}

}  // namespace
}  // namespace kiv

// ---------------------------------------------------------------------------
// The native table and the natives built so far.

#include "actions_test_support.h"

namespace kiv {
namespace {

using namespace kiv::testing;

class Natives : public CoreTypesTest {};

TEST_F(Natives, TableHoldsAnEntryForEveryIndexAndNothingPastTheLast) {
  for (uint32_t i = 1; i <= kNativeCount; ++i) EXPECT_NE(native_table[i], nullptr) << i;
  for (uint32_t i = kNativeCount + 1; i <= kNativeTableSize; ++i) EXPECT_EQ(native_table[i], nullptr) << i;
  EXPECT_NE(print_scratch_block(), 0u);
}

TEST_F(Natives, NativeNotBuiltYetRaisesNotDone) {
  // natives_init fills every index from the native list: an index left
  // without an entry stands for a native not built.
  for (uint32_t index : {1u, 23u, 107u}) native_table[index] = nullptr;
  for (uint32_t index : {1u, 23u, 107u, 108u, 500u}) {
    Raised r = raised_by([&] { call_native(index, {int_cell(1), int_cell(2)}); });
    EXPECT_EQ(r.category, ErrorCategory::kInternal) << index;
    EXPECT_EQ(r.id, "not-done") << index;
  }
}

TEST_F(Natives, ComparisonNativesUseTheirOpCodes) {
  RootedCell a = make_string("a");
  struct Case {
    const char* what;
    uint32_t index;
    Cell a, b;
    int expected;  // 0 false, 1 true, -1 invalid-compare
  };
  const Case cases[] = {
      {"equal? 1 1", 25, int_cell(1), int_cell(1), 1},
      {"equal? 1 \"a\"", 25, int_cell(1), *a, 0},
      {"not-equal? 1 \"a\"", 26, int_cell(1), *a, 1},
      {"strict-equal? 1 #\"^A\"", 27, int_cell(1), char_cell(1), 0},
      {"lesser? 1 2", 28, int_cell(1), int_cell(2), 1},
      {"lesser? 1 \"a\"", 28, int_cell(1), *a, -1},
      {"greater? 1 2", 29, int_cell(1), int_cell(2), 0},
      {"lesser-or-equal? 2 2", 30, int_cell(2), int_cell(2), 1},
      {"greater-or-equal? 1 2", 31, int_cell(1), int_cell(2), 0},
      {"greater-or-equal? none none", 31, none_cell(), none_cell(), -1},
      {"equal? false none", 25, logic_cell(false), none_cell(), 0},
  };
  for (const Case& c : cases) {
    Cell r{};
    Raised e = raised_by([&] { r = call_native(c.index, {c.a, c.b}); });
    if (c.expected < 0) {
      EXPECT_EQ(e.id, "invalid-compare") << c.what;
    } else {
      ASSERT_FALSE(e.raised) << c.what << ": " << e.id;
      EXPECT_EQ(TYPE_OF(&r), TYPE_LOGIC) << c.what;
      EXPECT_EQ(r.data1, static_cast<uint32_t>(c.expected)) << c.what;
    }
  }
}

TEST_F(Natives, NotIsTrueOnlyForNoneAndFalse) {
  const struct {
    Cell value;
    bool expected;
  } cases[] = {
      {none_cell(), true},   {logic_cell(false), true}, {logic_cell(true), false},
      {int_cell(0), false},  {unset_cell(), false},     {type_cell(TYPE_NONE), false},
  };
  for (const auto& c : cases) {
    Cell r = call_native(33, {c.value});
    EXPECT_EQ(TYPE_OF(&r), TYPE_LOGIC);
    EXPECT_EQ(r.data1 != 0, c.expected) << "type " << TYPE_OF(&c.value);
  }
}

Cell fake_name_word(const char* text, size_t length) {
  return Cell{TYPE_WORD, 0, static_cast<uint32_t>(length), static_cast<uint32_t>(text[0])};
}

TEST_F(Natives, TypeOfAValueAndTheWordOfItsName) {
  Cell r = call_native(34, {int_cell(5)});
  EXPECT_EQ(TYPE_OF(&r), TYPE_DATATYPE);
  EXPECT_EQ(r.data1, TYPE_INTEGER);
  r = call_native(34, {type_cell(TYPE_LOGIC)});
  EXPECT_EQ(r.data1, TYPE_DATATYPE);
  r = call_native(34, {unset_cell()});
  EXPECT_EQ(r.data1, TYPE_UNSET);

  set_global_word_maker(fake_name_word);
  init_datatype_words();
  r = call_native(34, {int_cell(5)}, {0});
  set_global_word_maker(nullptr);
  EXPECT_EQ(TYPE_OF(&r), TYPE_WORD);
  EXPECT_EQ(r.data2, 8u) << "the word of integer!";
  EXPECT_EQ(r.data3, static_cast<uint32_t>('i'));
}

}  // namespace
}  // namespace kiv
