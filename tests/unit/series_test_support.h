// Fixture for the tests of the series and block actions: builds blocks from a
// small notation, calls actions as the interpreter would (refinements by
// name), and shows results in molded form.
//
// Notation: integers, "strings" (no spaces inside), none, [blocks] and
// (parens), separated by spaces. Every value lives in a RootedCell or on the
// argument stack, so the tests hold under KIV_GC_TORTURE.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <initializer_list>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/series_common.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/actions.h"
#include "runtime/ownership.h"
#include "runtime/words.h"
#include "tests/unit/actions_test_support.h"

namespace kiv::testing {

class SeriesFixture : public CoreTypesTest {
 protected:
  void SetUp() override {
    CoreTypesTest::SetUp();
    ownership::init();
    next_symbol_ = 0;
    words::reset();
    words::init_common_words({fake_intern, fake_global, fake_refinement, nullptr});
    words::init_refinement_words({fake_intern, fake_global, fake_refinement, nullptr});
  }
  void TearDown() override {
    ownership::init();
    ownership::set_deep_change_handler(nullptr);
    series::set_function_invoker(nullptr);
    words::reset();
    CoreTypesTest::TearDown();
  }

  // The value the notation describes: one value, or a block of several when
  // `as_block` (the default).
  RootedCell parse(const std::string& text) {
    size_t pos = 0;
    RootedCell out;
    block::init_cell(out.get(), 4);
    parse_into(out, text, pos, '\0');
    return out;
  }
  RootedCell str(const std::string& text) { return make_string(text); }

  // The molded text of a value (a series from its head index).
  std::string mold(const Cell& value) {
    RootedCell v(value);
    RootedCell out;
    string::init_cell(out.get(), 0);
    dispatch_mold(v.get(), out.get(), {}, nullptr, kNoPartLimit, 0);
    return text_of(out.get());
  }
  // The molded text of a block from its buffer's first cell, whatever its
  // head index.
  std::string whole(const Cell& value) {
    Cell v = value;
    v.data1 = 0;
    return mold(v);
  }
  static int32_t index_of(const Cell& series) { return static_cast<int32_t>(series.data1) + 1; }
  static Cell at(const Cell& series, int32_t index) {
    Cell c = series;
    c.data1 = static_cast<uint32_t>(index - 1);
    return c;
  }

  // Calls an action with the arguments in order and refinements by name: a
  // refinement maps to the argument position of its first argument (or any
  // position for one without), counted from the first argument.
  Cell act(uint32_t action, std::initializer_list<Cell> args, std::map<std::string, int32_t> refs = {}) {
    std::vector<int32_t> positions(16, -1);
    for (auto& [name, position] : refs) positions.at(refinement_slot(action, name)) = position;
    return call_action(action, args, positions);
  }
  // The same, answering the error raised (none raised: id "").
  Raised act_error(uint32_t action, std::initializer_list<Cell> args, std::map<std::string, int32_t> refs = {}) {
    return raised_by([&] { act(action, args, refs); });
  }

 private:
  static uint32_t next_symbol_;
  static uint32_t fake_intern(std::string_view) { return ++next_symbol_; }
  static void fake_global(uint32_t symbol, Cell* out) { *out = Cell{TYPE_WORD, 0, symbol, 0}; }
  static void fake_refinement(std::string_view, Cell* out) { *out = Cell{TYPE_REFINEMENT, 0, ++next_symbol_, 0}; }

  // The refinement's place in the action's spec order.
  static int refinement_slot(uint32_t action, const std::string& name) {
    static const std::map<uint32_t, std::vector<std::string>> specs = {
        {ACT_RANDOM, {"seed", "secure", "only"}},
        {ACT_APPEND, {"part", "only", "dup"}},
        {ACT_INSERT, {"part", "only", "dup"}},
        {ACT_CHANGE, {"part", "only", "dup"}},
        {ACT_COPY, {"part", "deep", "types"}},
        {ACT_FIND, {"part", "only", "case", "same", "any", "with", "skip", "last", "reverse", "tail", "match"}},
        {ACT_SELECT, {"part", "only", "case", "same", "any", "with", "skip", "last", "reverse"}},
        {ACT_MOVE, {"part"}},
        {ACT_PUT, {"case"}},
        {ACT_REMOVE, {"part", "key"}},
        {ACT_REVERSE, {"part", "skip"}},
        {ACT_SORT, {"case", "skip", "compare", "part", "all", "reverse", "stable"}},
        {ACT_TAKE, {"part", "deep", "last"}},
        {ACT_TRIM, {"head", "tail", "auto", "lines", "all", "with"}},
    };
    const auto& names = specs.at(action);
    for (size_t i = 0; i < names.size(); ++i)
      if (names[i] == name) return static_cast<int>(i);
    ADD_FAILURE() << "no refinement " << name;
    return 15;
  }

  void parse_into(RootedCell& block, const std::string& text, size_t& pos, char close) {
    while (pos < text.size()) {
      char c = text[pos];
      if (std::isspace(static_cast<unsigned char>(c))) {
        ++pos;
        continue;
      }
      if (c == close) {
        ++pos;
        return;
      }
      RootedCell value;
      if (c == '[' || c == '(') {
        ++pos;
        block::init_cell(value.get(), 4);
        parse_into(value, text, pos, c == '[' ? ']' : ')');
        if (c == '(') set_type(value.get(), TYPE_PAREN);
      } else if (c == '"') {
        size_t end = text.find('"', pos + 1);
        value = make_string(text.substr(pos + 1, end - pos - 1));
        pos = end + 1;
      } else {
        size_t end = pos;
        while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end])) && text[end] != ']' &&
               text[end] != ')')
          ++end;
        std::string token = text.substr(pos, end - pos);
        pos = end;
        if (token == "none") *value = none_cell();
        else *value = int_cell(std::stoi(token));
      }
      block::append_cell(block.get(), value.get());
    }
  }
};

inline uint32_t SeriesFixture::next_symbol_ = 0;

// A series bound to an owner object that wants notifications, and what the
// owner heard: each changing action announces itself before and after.
class OwnershipFixture : public SeriesFixture {
 protected:
  void SetUp() override {
    SeriesFixture::SetUp();
    ownership::set_deep_change_handler(hear);
    heard_.clear();
  }
  // A block of the notation bound to the owner.
  RootedCell owned(const char* text) {
    RootedCell b = parse(text);
    RootedNode ctx(alloc_cells(2));
    *series_new_tail_cell(ctx) = Cell{TYPE_CONTEXT | (2u << kFlagContextKindShift), 0, 0, 0};
    *series_new_tail_cell(ctx) = none_cell();
    RootedNode hooks(alloc_cells(2));
    owner_ = Cell{TYPE_OBJECT, ctx, 0, hooks};
    Cell field{TYPE_WORD, 0, 9999, 0};
    ownership::bind(b.get(), owner_.get(), &field);
    return b;
  }
  // The words heard, as "word:index,part" separated by spaces.
  static std::string heard() {
    std::string out;
    for (const Heard& h : heard_) {
      if (!out.empty()) out += ' ';
      for (uint16_t id = 0; id < words::kWordCount; ++id)
        if (words::symbol_of(static_cast<words::Id>(id)) == h.action_symbol &&
            words::kind(static_cast<words::Id>(id)) != words::Kind::SYMBOL) {
          out += std::string(words::text(static_cast<words::Id>(id)));
          break;
        }
      out += ":" + std::to_string(h.index) + "," + std::to_string(h.part);
    }
    return out;
  }
  RootedCell owner_;

 private:
  struct Heard {
    uint32_t action_symbol;
    int32_t index, part;
  };
  static void hear(const Cell*, const Cell*, const Cell*, const Cell* action, const Cell*, int32_t index,
                   int32_t part) {
    heard_.push_back({action->data2, index, part});
  }
  static inline std::vector<Heard> heard_;
};

}  // namespace kiv::testing
