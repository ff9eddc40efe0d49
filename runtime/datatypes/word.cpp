#include "runtime/datatypes/word.h"

#include <string>

#include "runtime/collector.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/memory.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/unicode.h"
#include "runtime/words.h"

namespace kiv::word {

namespace {

TextValueLoader g_text_loader = nullptr;

void append_to_root(const Cell& value) {
  Cell copy = value;
  *series_new_tail_cell(root_block()) = copy;
}

Cell global_word(uint32_t symbol, uint32_t type) {
  Cell w = _context::add_global(symbol, true, true);
  w.header = type;
  return w;
}

bool unset_q(const Cell* value) { return TYPE_OF(value) == TYPE_UNSET || TYPE_OF(value) == TYPE_VALUE; }

Cell word_n(uint32_t ctx, uint32_t index) {
  if (index < _context::word_count(ctx)) {
    Cell w = *_context::word_at(ctx, index);
    w.header = TYPE_WORD;
    return w;
  }
  return Cell{TYPE_NONE, 0, 0, 0};
}

void mark_changed(uint32_t ctx, uint32_t index) {
  if (_context::kind_of(ctx) == kContextObject && index < _context::word_count(ctx))
    _context::word_at(ctx, index)->header |= kFlagWordChanged;
}

Cell* checked_value_at(uint32_t ctx, uint32_t index) {
  Cell* slot = _context::value_at(ctx, index);
  if (!slot) fire(ErrorCategory::kScript, "not-defined", word_n(ctx, index));
  return slot;
}

// The symbol's spelling into the output (the form of a word).
int32_t write_spelling(const Cell* word, Cell* buffer, Cell* part, int32_t limit) {
  Cell text = symbol::string_cell(word->data2);
  return string::form(&text, buffer, part, limit);
}

[[noreturn]] void bad_to_arg(uint32_t target, const Cell* spec) {
  fire(ErrorCategory::kScript, "bad-to-arg", datatype_cell(target), *spec);
}

// The word that text loads as (make/to from string! and char!).
Cell word_from_text(const std::string& text) {
  if (!g_text_loader) fire(ErrorCategory::kInternal, "not-done");
  RootedCell loaded;
  bool one = g_text_loader(reinterpret_cast<const uint8_t*>(text.data()), text.size(), loaded.get());
  if (!one || !word_kind_q(TYPE_OF(loaded.get()))) fire(ErrorCategory::kScript, "invalid-chars");
  return _context::add_global(loaded->data2, true, true);
}

}  // namespace

// ---------------------------------------------------------------------------
// Constructors.

Cell* init_global(uint32_t symbol, Cell* out, uint32_t type) {
  Cell w = global_word(symbol, type);
  *out = w;
  return out;
}

Cell* at_tail_global(uint32_t symbol, const Cell* block, uint32_t type) {
  uint32_t node = block->data2;
  RootedNode keep(node);
  Cell w = global_word(symbol, type);
  Cell* cell = series_new_tail_cell(node);
  *cell = w;
  return cell;
}

Cell* push_global(uint32_t symbol, uint32_t type) {
  Cell w = global_word(symbol, type);
  return stack::push_copy(&w);
}

Cell* init_cell_from_text(const char* text, const Cell* block, uint32_t type) {
  Cell b = *block;
  RootedNode keep(b.data2);
  return at_tail_global(symbol::intern(text), &b, type);
}

bool spells_q(const Cell* cell, words::Id id) {
  uint32_t symbol = words::symbol_of(id);
  if (!word_kind_q(TYPE_OF(cell)) || symbol == 0) return false;
  return symbol::canonical(cell->data2) == symbol::canonical(symbol);
}

Cell load(std::string_view text, uint32_t type) {
  Cell w = global_word(symbol::lookup(text), type);
  if (boot_mode_q()) append_to_root(w);
  return w;
}

Cell* push(const Cell* word, uint32_t type) {
  Cell w = *word;
  if (type) set_type(&w, type);
  return stack::push_copy(&w);
}

Cell* push_local(uint32_t ctx, uint32_t index, uint32_t type) {
  Cell w = word_n(ctx, index);
  if (TYPE_OF(&w) != TYPE_NONE) w.header = type;
  return stack::push_copy(&w);
}

void keep_in_root(const Cell* word) { append_to_root(*word); }

Cell* symbol_to_string_push(uint32_t symbol) {
  Cell s = symbol::string_cell(symbol);
  return stack::push_copy(&s);
}

namespace {

uint32_t loader_intern(std::string_view text) { return symbol::lookup(text); }

void loader_global_word(uint32_t symbol, Cell* out) { *out = _context::global_word_add(symbol); }

void loader_refinement(std::string_view text, Cell* out) {
  *out = refinement::at_tail_interned(std::string(text).c_str());
}

// An issue! of the text: the word layout with the global context and no
// index (issues are never looked up).
void loader_issue(std::string_view text, Cell* out) {
  Cell issue{TYPE_ISSUE, _context::global(), symbol::lookup(text), kUnresolved};
  if (boot_mode_q()) append_to_root(issue);
  *out = issue;
}

}  // namespace

void init_builtin_words() {
  _context::init_global();
  const words::Loader loader{loader_intern, loader_global_word, loader_refinement, loader_issue};
  words::init_common_words(loader);
  words::init_refinement_words(loader);
  words::init_issue_word(loader);
}

// ---------------------------------------------------------------------------
// Getting and setting.

Cell* get(const Cell* word) {
  Cell w = *word;
  Cell* value = _context::get_word(&w);
  if (unset_q(value)) fire(ErrorCategory::kScript, "no-value", w);
  return stack::push_copy(value);
}

Cell* set(Cell* word, const Cell* value) { return _context::set_word(word, value); }

void set_from_result(Cell* word) {
  Cell w = *word;
  const Cell* result = stack::arguments();
  if (unset_q(result)) fire(ErrorCategory::kScript, "need-value", w);
  _context::set_word(&w, result);
}

Cell* set_at_base() {
  Cell* base = stack::arguments();
  Cell w = base[0];
  _context::set_word(&w, base + 1);
  base[0] = base[1];
  return base;
}

Cell* get_at_base() {
  Cell* base = stack::arguments();
  Cell w = base[0];
  *base = *_context::get_word(&w);
  return base;
}

void copy_result_checked(Cell* destination, const Cell* word) {
  const Cell* result = stack::arguments();
  if (unset_q(result)) fire(ErrorCategory::kScript, "need-value", word ? *word : Cell{TYPE_NONE, 0, 0, 0});
  *destination = *result;
}

Cell* context_value_cell(uint32_t ctx, uint32_t index) { return _context::value_at(ctx, index); }

Cell* get_indexed(uint32_t ctx, uint32_t index) {
  Cell* slot = checked_value_at(ctx, index);
  return stack::push_copy(slot);
}

void set_indexed(uint32_t ctx, uint32_t index) {
  Cell* slot = checked_value_at(ctx, index);
  mark_changed(ctx, index);
  *slot = *stack::last_pushed();
}

void set_indexed_from_result(uint32_t ctx, uint32_t index) {
  Cell* slot = checked_value_at(ctx, index);
  mark_changed(ctx, index);
  *slot = *stack::arguments();
}

void set_indexed_keep_old(uint32_t ctx, uint32_t index) {
  checked_value_at(ctx, index);
  stack::push_copy(_context::value_at(ctx, index));
  uint32_t new_at = stack::top_index() - 2;
  mark_changed(ctx, index);
  *_context::value_at(ctx, index) = *stack::at(new_at);
}

Cell* context_value_or_global(uint32_t ctx, uint32_t symbol) {
  int32_t index = _context::find_symbol(ctx, symbol, true);
  if (index >= 0) {
    Cell* slot = _context::value_at(ctx, static_cast<uint32_t>(index));
    if (slot) return slot;
  }
  return _context::global_value_cell(symbol);
}

void set_text_value_loader(TextValueLoader loader) { g_text_loader = loader; }

// ---------------------------------------------------------------------------
// Handlers.

Cell* make(Cell* type, Cell* spec) {
  uint32_t target = TYPE_OF(type) == TYPE_DATATYPE ? datatype::named_type(type) : TYPE_OF(type);
  Cell result;
  switch (TYPE_OF(spec)) {
    case TYPE_DATATYPE: {
      uint32_t named = datatype::named_type(spec);
      if (!type_registered(named)) bad_to_arg(target, spec);
      result = load(type_name_table[named].name);
      break;
    }
    case TYPE_LOGIC:
      result = load(spec->data1 ? "true" : "false");
      break;
    case TYPE_STRING: {
      int32_t n = string::length(spec);
      std::string text(static_cast<size_t>(n) * 4 + 1, '\0');
      text.resize(string_range_to_utf8(spec, reinterpret_cast<uint8_t*>(text.data()), -1, false));
      result = word_from_text(text);
      break;
    }
    case TYPE_CHAR: {
      uint8_t bytes[8];
      int n = encode_utf8_char(static_cast<int32_t>(spec->data2), bytes);
      result = word_from_text(std::string(reinterpret_cast<const char*>(bytes), static_cast<size_t>(n)));
      break;
    }
    case TYPE_WORD:
    case TYPE_SET_WORD:
    case TYPE_LIT_WORD:
    case TYPE_GET_WORD:
      result = *spec;
      break;
    case TYPE_REFINEMENT:
    case TYPE_ISSUE: {
      uint32_t loads_as = symbol::lex_type(spec);
      if (loads_as < TYPE_WORD || loads_as > TYPE_GET_WORD) bad_to_arg(target, spec);
      result = _context::add_global(spec->data2, true, true);
      break;
    }
    default:
      bad_to_arg(target, spec);
  }
  result.header = target;
  *type = result;
  return type;
}

int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit) {
  return write_spelling(value, buffer, part, limit);
}

int32_t mold(Cell* value, Cell* buffer, MoldFlags, Cell* part, int32_t limit, int32_t) {
  return write_spelling(value, buffer, part, limit);
}

int32_t compare(Cell* value1, Cell* value2, int32_t op) {
  uint32_t t1 = TYPE_OF(value1), t2 = TYPE_OF(value2);
  if (!word_kind_q(t2) || (t2 == TYPE_ISSUE && t1 != TYPE_ISSUE)) return kNotComparable;
  uint32_t s1 = value1->data2, s2 = value2->data2;
  bool canonical_equal = symbol::canonical(s1) == symbol::canonical(s2);
  bool word_and_lit = (t1 == TYPE_WORD && t2 == TYPE_LIT_WORD) || (t1 == TYPE_LIT_WORD && t2 == TYPE_WORD);
  switch (op) {
    case COMP_SAME:
      return (s1 == s2 && value1->data1 == value2->data1 && t1 == t2) ? 0 : 1;
    case COMP_STRICT_EQUAL:
      return (t1 == t2 && s1 == s2) ? 0 : 1;
    case COMP_PARSE_WORD:
      if (word_and_lit) return s1 == s2 ? 0 : 1;
      return (t1 == t2 && s1 == s2) ? 0 : 1;
    case COMP_PARSE_WORD_CASE:
      if (word_and_lit) return canonical_equal ? 0 : 1;
      return (t1 == t2 && canonical_equal) ? 0 : 1;
    case COMP_EQUAL:
    case COMP_NOT_EQUAL:
    case COMP_FIND:
      return canonical_equal ? 0 : 1;
    default: {
      // The orderings compare the spellings as strings.
      RootedCell a(symbol::string_cell(s1));
      RootedCell b(symbol::string_cell(s2));
      return string::compare_worker(a.get(), b.get(), op, false);
    }
  }
}

void index_q() {
  Cell* base = stack::arguments();
  if (base->data3 == kUnresolved) *base = Cell{TYPE_NONE, 0, 0, 0};
  else *base = Cell{TYPE_INTEGER, 0, base->data3 + 1, 0};
}

void init() {
  datatype::register_type(TYPE_WORD, TYPE_SYMBOL, "word!", {
      own<ACT_MAKE>(make), own<ACT_TO>(make), own<ACT_FORM>(form), own<ACT_MOLD>(mold),
      own<ACT_COMPARE>(compare), own<ACT_INDEX_Q>(index_q),
  });
}

}  // namespace kiv::word

// ---------------------------------------------------------------------------
// The other kinds: one character around the spelling.

namespace kiv {
namespace {

int32_t mold_with(Cell* value, Cell* buffer, Cell* part, int32_t limit, char before, char after) {
  if (before) string::append_char(buffer, static_cast<uint32_t>(before));
  int32_t left = word::form(value, buffer, part, limit);
  if (after) string::append_char(buffer, static_cast<uint32_t>(after));
  return left - 1;
}

}  // namespace

namespace set_word {
int32_t mold(Cell* value, Cell* buffer, MoldFlags, Cell* part, int32_t limit, int32_t) {
  return mold_with(value, buffer, part, limit, 0, ':');
}
void init() {
  datatype::register_type(TYPE_SET_WORD, TYPE_WORD, "set-word!", {own<ACT_MOLD>(mold)});
}
}  // namespace set_word

namespace lit_word {
int32_t mold(Cell* value, Cell* buffer, MoldFlags, Cell* part, int32_t limit, int32_t) {
  return mold_with(value, buffer, part, limit, '\'', 0);
}
void init() {
  datatype::register_type(TYPE_LIT_WORD, TYPE_WORD, "lit-word!", {own<ACT_MOLD>(mold)});
}
}  // namespace lit_word

namespace get_word {
Cell* push_value(const Cell* word) {
  Cell w = *word;
  return stack::push_copy(_context::get_word(&w));
}
int32_t mold(Cell* value, Cell* buffer, MoldFlags, Cell* part, int32_t limit, int32_t) {
  return mold_with(value, buffer, part, limit, ':', 0);
}
void init() {
  datatype::register_type(TYPE_GET_WORD, TYPE_WORD, "get-word!", {own<ACT_MOLD>(mold)});
}
}  // namespace get_word

namespace refinement {
Cell at_tail_interned(const char* text) {
  Cell r{TYPE_REFINEMENT, 0, symbol::intern(text), kUnresolved};
  *series_new_tail_cell(root_block()) = r;
  return r;
}
int32_t mold(Cell* value, Cell* buffer, MoldFlags, Cell* part, int32_t limit, int32_t) {
  return mold_with(value, buffer, part, limit, '/', 0);
}
void init() {
  datatype::register_type(TYPE_REFINEMENT, TYPE_WORD, "refinement!", {
      own<ACT_MOLD>(mold), refuse<ACT_INDEX_Q>,
  });
}
}  // namespace refinement

}  // namespace kiv
