// Shared set-up for the tests of actions, natives and the core datatypes:
// a fresh value stack, the types registered, the action and native tables
// filled, and helpers to call an action or native as the interpreter would.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/datatypes/actions.h"
#include "runtime/eval/natives.h"
#include "runtime/language_error.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/words.h"

namespace kiv::testing {

inline Cell int_cell(int32_t v) { return Cell{TYPE_INTEGER, 0, static_cast<uint32_t>(v), 0}; }
inline Cell logic_cell(bool b) { return Cell{TYPE_LOGIC, b ? 1u : 0u, 0, 0}; }
inline Cell none_cell() { return Cell{TYPE_NONE, 0, 0, 0}; }
inline Cell unset_cell() { return Cell{TYPE_UNSET, 0, 0, 0}; }
inline Cell type_cell(uint32_t t) { return Cell{TYPE_DATATYPE, t, 0, 0}; }
inline Cell char_cell(uint32_t c) { return Cell{TYPE_CHAR, 0, c, 0}; }
inline Cell float_cell(double d) {
  Cell c{TYPE_FLOAT, 0, 0, 0};
  set_cell_float(&c, d);
  return c;
}

// The symbol the test frames are named by (no symbol table is needed: the
// word is only carried into error arguments).
constexpr uint32_t kFrameSymbol = 4242;

// The spelling of an error argument that is a word; "" for any other
// argument (a text among them).
inline std::string word_argument(ErrorArgument& a) {
  if (a.kind != ErrorArgument::Kind::kValue || TYPE_OF(a.value.get()) != TYPE_WORD) return "";
  return std::string(symbol::utf8_of(a.value->data2));
}

// What an error carried, for comparisons in tests.
struct Raised {
  bool raised = false;
  ErrorCategory category = ErrorCategory::kInternal;
  std::string id;
  std::vector<ErrorArgument> args;
};

// Saves the registry's tables and the action and native tables around each
// test, so tests that register types of their own leave no trace.
class CoreTypesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memcpy(saved_names_, type_name_table, sizeof saved_names_);
    std::memcpy(saved_handlers_, datatype_action_table, sizeof saved_handlers_);
    saved_highest_ = highest_type_id;
    stack::init();
    support::init();
    stack::set_uncaught_error_handler(nullptr);
    register_datatypes();
    actions_init();
    natives_init();
  }
  void TearDown() override {
    stack::init();
    set_port_actor_lookup(nullptr);
    std::memcpy(type_name_table, saved_names_, sizeof saved_names_);
    std::memcpy(datatype_action_table, saved_handlers_, sizeof saved_handlers_);
    highest_type_id = saved_highest_;
  }

  // Calls action `number` with the arguments pushed in a call frame, the
  // refinement positions given, and answers the result cell. The result is
  // copied out before the frame is popped; a series it holds stays reachable
  // through `keep_`.
  Cell call_action(uint32_t number, std::initializer_list<Cell> args,
                   std::vector<int32_t> refinements = {}) {
    return call([&](const int32_t* refs) { action_table[number](refs); }, args,
                refinements.empty() ? std::vector<int32_t>(16, -1) : refinements);
  }
  Cell call_native(uint32_t index, std::initializer_list<Cell> args,
                   std::vector<int32_t> refinements = {}) {
    return call([&](const int32_t* refs) { kiv::call_native(index, 1, refs); }, args,
                refinements.empty() ? std::vector<int32_t>(16, -1) : refinements);
  }

  // Runs the call and answers what error it raised, if any.
  template <typename F>
  Raised raised_by(F&& f) {
    Raised r;
    try {
      f();
    } catch (const LanguageError& e) {
      r.raised = true;
      r.category = e.category;
      r.id = e.id;
      for (const auto& a : e.args)
        if (a.present()) r.args.push_back(a);
    }
    return r;
  }

  // The text of a string! value as bytes (code points below 256).
  static std::string text_of(Cell* s) {
    std::string out;
    int32_t n = string::length(s);
    for (int32_t i = 0; i < n; ++i)
      out.push_back(static_cast<char>(string::char_at_index(s, string::index_of(s) + i)));
    return out;
  }

  // A new block! of the values, kept rooted.
  RootedCell block_of(std::initializer_list<Cell> values) {
    RootedCell b;
    block::init_cell(b.get(), static_cast<int32_t>(values.size()));
    for (const Cell& v : values) block::append_cell(b.get(), &v);
    return b;
  }

  // A new binary! of the bytes, kept rooted.
  RootedCell binary_of(std::initializer_list<uint8_t> bytes) {
    RootedCell c;
    uint32_t node = alloc_bytes(static_cast<uint32_t>(bytes.size()));
    SeriesBuffer* b = node_buffer(node);
    if (bytes.size()) std::memcpy(b->head_ptr(), bytes.begin(), bytes.size());
    b->tail = b->head + static_cast<uint32_t>(bytes.size());
    *c = Cell{TYPE_BINARY, 0, node, 0};
    return c;
  }

  RootedCell make_string(const std::string& text) {
    RootedCell s;
    string::init_cell(s.get(), 0);
    string::append_text(s.get(), text);
    return s;
  }

  RootedCell keep_;
  CollectorEnableScope enable_{true};

 private:
  template <typename Call>
  Cell call(Call&& c, std::initializer_list<Cell> args, std::vector<int32_t> refinements) {
    Cell word{TYPE_WORD, 0, kFrameSymbol, 0xFFFFFFFF};
    stack::open_call_frame(&word);
    for (const Cell& a : args) stack::push_copy(&a);
    c(refinements.data());
    Cell result = *stack::arguments();
    keep_ = result;
    stack::pop_frame_drop();
    return result;
  }

  TypeNameEntry saved_names_[kTypeTableSize];
  Handler saved_handlers_[kTypeTableSize * kHandlerRowSize];
  uint32_t saved_highest_;
};

// CoreTypesTest with the built-in words (refinement, field and path words
// the handlers look up), reset after each test.
class CoreTypesWithWordsTest : public CoreTypesTest {
 protected:
  void SetUp() override {
    CoreTypesTest::SetUp();
    word::init_builtin_words();
  }
  void TearDown() override {
    words::reset();
    CoreTypesTest::TearDown();
  }
};

}  // namespace kiv::testing
