#include "runtime/datatypes/symbol.h"

#include <cstring>
#include <string>

#include "runtime/collector.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/string.h"
#include "runtime/hashtable.h"
#include "runtime/series.h"
#include "runtime/unicode.h"
#include "runtime/words.h"

namespace kiv::symbol {

namespace {

uint32_t g_table = 0;
LexTypeHook g_lex_type_hook = nullptr;

void mark_symbol_table() {
  if (g_table) collector::mark_hashtable(g_table);
}

// The entry of a valid id, without making its text (raw).
Cell* raw_entry(uint32_t id) { return series_head_cell(block_node()) + (id - 1); }

std::string utf8_copy(uint32_t id) { return std::string(utf8_of(id)); }

// A string! holding the UTF-8 text of a symbol entry, made afresh (for an
// entry whose id is unknown); kept in the rooted cell.
void fresh_text(const Cell* entry, RootedCell& out) {
  SeriesBuffer* b = node_buffer(entry->data3);
  std::string text(reinterpret_cast<const char*>(b->head_ptr()), b->used_bytes());
  string::init_cell(out.get(), static_cast<int32_t>(text.size()));
  string::append_utf8(out.get(), text);
}

}  // namespace

void init_table() {
  if (g_table) return;
  uint32_t table = hashtable_init(kInitialSymbols, nullptr, hashtable::kKindSymbols, 1);
  g_table = table;
  set_symbol_table(table);
  collector::set_root_hook(collector::RootHook::kSymbolTable, mark_symbol_table);
}

uint32_t table() { return g_table; }

uint32_t block_node() { return g_table ? hashtable::field(g_table, hashtable::kData) : 0; }

uint32_t count() { return g_table ? series_length(block_node()) : 0; }

uint32_t intern(const char* text) { return lookup(text, std::strlen(text)); }

uint32_t intern_variant(const char* text) { return canonical(intern(text)); }

uint32_t lookup(const char* text, size_t length) {
  init_table();
  return symbol_table_intern(g_table, text, static_cast<uint32_t>(length), false);
}

uint32_t from_string(const Cell* string) {
  Cell whole = *string;
  whole.data1 = 0;
  int32_t n = string::length_whole(&whole);
  std::string text(static_cast<size_t>(n) * 4 + 1, '\0');
  size_t bytes = string_range_to_utf8(&whole, reinterpret_cast<uint8_t*>(text.data()), -1, false);
  return lookup(text.data(), bytes);
}

Cell* cache_text(uint32_t id) {
  if (raw_entry(id)->data2 == 0) {
    std::string text = utf8_copy(id);
    RootedCell s;
    string::init_cell(s.get(), static_cast<int32_t>(text.size()));
    string::append_utf8(s.get(), text);
    raw_entry(id)->data2 = string::node_of(s.get());
  }
  return raw_entry(id);
}

Cell* entry_at(uint32_t id) { return cache_text(id); }

const uint8_t* text_of(uint32_t id) {
  uint32_t node = cache_text(id)->data2;
  SeriesBuffer* b = node_buffer(node);
  uint32_t unit = b->unit();
  if (b->room() < unit) b = expand_series_copy(b, static_cast<int64_t>(b->size) + 16);
  std::memset(b->tail_ptr(), 0, unit);
  return b->head_ptr();
}

std::string_view utf8_of(uint32_t id) {
  SeriesBuffer* b = node_buffer(raw_entry(id)->data3);
  return {reinterpret_cast<const char*>(b->head_ptr()), b->used_bytes()};
}

Cell string_cell(uint32_t id) { return Cell{TYPE_STRING, 0, cache_text(id)->data2, 0}; }

uint32_t canonical(uint32_t id) { return canonical_symbol(id); }

int32_t alias_of(uint32_t id) { return static_cast<int32_t>(raw_entry(id)->data1); }

bool any_type_q(const Cell* word) {
  uint32_t any_type = words::symbol_of(words::SYM_ANY_TYPE_T);
  if (any_type == 0) any_type = intern("any-type!");
  return canonical(word->data2) == canonical(any_type);
}

void set_lex_type_hook(LexTypeHook hook) { g_lex_type_hook = hook; }

uint32_t lex_type(const Cell* word) {
  if (!g_lex_type_hook) return 0;
  std::string text = utf8_copy(word->data2);  // the lexer allocates
  return g_lex_type_hook(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

int32_t compare(Cell* value1, Cell* value2, int32_t op) {
  if (TYPE_OF(value2) != TYPE_SYMBOL) return kNotComparable;
  // The entries may lie in the symbol block, which the allocations below
  // move: read them first. An entry without cached text is compared through
  // a fresh string of its UTF-8 text.
  Cell e1 = *value1, e2 = *value2;
  RootedCell s1, s2;
  if (e1.data2) *s1 = Cell{TYPE_STRING, 0, e1.data2, 0};
  else fresh_text(&e1, s1);
  if (e2.data2) *s2 = Cell{TYPE_STRING, 0, e2.data2, 0};
  else fresh_text(&e2, s2);
  return string::compare_worker(s1.get(), s2.get(), op, false);
}

void init() {
  datatype::register_type(TYPE_SYMBOL, 0, "symbol!", {own<ACT_COMPARE>(compare)});
}

}  // namespace kiv::symbol
