#include "runtime/datatypes/context.h"

#include <algorithm>
#include <cstring>

#include "runtime/collector.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/series_common.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/words.h"

namespace kiv {

namespace {

bool g_boot_mode = false;
uint32_t g_global = 0;
_context::ChangeHook g_change_hook = nullptr;

constexpr uint32_t kRecordCell = 0;
constexpr uint32_t kSelfCell = 1;

void mark_global_context() {
  if (g_global) collector::mark_context(g_global);
}

uint32_t self_symbol() {
  uint32_t s = words::symbol_of(words::SYM_SELF);
  return s ? s : symbol::intern("self");
}

// The words of a spec that name arguments, locals and refinements.
bool spec_word_q(uint32_t type) {
  return type == TYPE_WORD || type == TYPE_GET_WORD || type == TYPE_LIT_WORD || type == TYPE_REFINEMENT;
}

// The node of a context with its two cells, both unset.
uint32_t new_context_node() {
  uint32_t node = alloc_cells(2);
  SeriesBuffer* b = node_buffer(node);
  set_unset(b->head_cell());
  set_unset(b->head_cell() + 1);
  b->tail = b->head + 2 * sizeof(Cell);
  return node;
}

// Up to this many words a lookup scans the words block instead of probing
// the word table: a few symbol compares cost less than hashing and probing,
// and objects and small functions seldom have more. A context holds at most
// one word per canonical symbol (every insertion looks the canonical symbol
// up first), so a scan and a probe find the same word. An object's context
// of up to this many words has no word table at all (kFlagContextNoTable);
// the word that would pass the count builds one.
constexpr uint32_t kSmallContextWords = 8;

// The words block's node: word 1 of the record names it, or names the word
// table whose record's fields name it.
inline uint32_t words_node(const Cell* rec) {
  if (rec->header & kFlagContextNoTable) return rec->data1;
  const auto* fields = reinterpret_cast<const uint32_t*>(node_buffer(rec->data1)->head_ptr());
  return fields[hashtable::kData];
}

// The buffer of the context's words block (raw).
SeriesBuffer* words_buffer(uint32_t ctx) { return node_buffer(words_node(series_head_cell(ctx))); }

// The source context's words in their order, bound to ctx, into ctx's record
// (whose header says whether they get a word table).
void copy_words(uint32_t source, uint32_t ctx) {
  if (_context::record(ctx)->header & kFlagContextNoTable) {
    uint32_t words = buffer_copy(_context::words_block(source));
    _context::record(ctx)->data1 = words;
    SeriesBuffer* b = node_buffer(words);
    HeldPtr<Cell> w = b->head_cell();
    const uint32_t n = b->used_bytes() >> 4;
    for (uint32_t i = 0; i < n; ++i) w[i] = Cell{TYPE_WORD, ctx, w[i].data2, i};
    return;
  }
  uint32_t n = _context::word_count(source);
  uint32_t table = hashtable_init(std::max<uint32_t>(n, 1), nullptr, hashtable::kKindSymbols, 1);
  _context::record(ctx)->data1 = table;
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t symbol = _context::word_at(source, i)->data2;
    int32_t added = -1;
    context_table_find(table, symbol, true, ctx, &added);
  }
}

// Whether a context made with these properties starts without a word table:
// an object's, its values in a series, small.
bool starts_without_table(uint32_t count, bool on_stack, uint32_t kind) {
  return kind == kContextObject && !on_stack && count <= kSmallContextWords;
}

// Gives a context without a word table one, indexing the words it has.
void build_word_table(uint32_t ctx) {
  RootedNode keep(ctx);
  Cell* rec = _context::record(ctx);
  Cell words{TYPE_BLOCK, 0, rec->data1, 0};
  const uint32_t n = series_length(words.data2);
  uint32_t table = hashtable_init(n + 1, &words, hashtable::kKindSymbols, 1);
  rec = _context::record(ctx);
  rec->data1 = table;
  rec->header &= ~kFlagContextNoTable;
}

// Canonical symbols read straight from the symbol table's entries, as
// symbol_canonical reads them (word 1 of entry id - 1 is the alias when
// above 0), without a call per symbol: lookups and binds ask for several.
// Good until the next allocation.
class CanonicalReader {
 public:
  CanonicalReader() {
    const uint32_t table = symbol_table();
    if (table == 0) return;
    const auto* fields = reinterpret_cast<const uint32_t*>(node_buffer(table)->head_ptr());
    SeriesBuffer* entries = node_buffer(fields[hashtable::kData]);
    entries_ = entries->head_cell();
    count_ = entries->used_bytes() >> 4;
  }
  uint32_t operator()(uint32_t id) const {
    if (id == 0 || id > count_) return id;
    const auto alias = static_cast<int32_t>(entries_[id - 1].data1);
    return alias > 0 ? static_cast<uint32_t>(alias) : id;
  }

 private:
  const Cell* entries_ = nullptr;
  uint32_t count_ = 0;
};

// The index of the symbol among count word cells, the exact symbol first,
// then (when case_insensitive) any spelling of its canonical symbol; -1 when
// absent.
int32_t scan_words(const Cell* words, uint32_t count, uint32_t symbol, bool case_insensitive) {
  for (uint32_t i = 0; i < count; ++i)
    if (words[i].data2 == symbol) return static_cast<int32_t>(i);
  if (!case_insensitive || count == 0) return -1;
  const CanonicalReader canonical;
  const uint32_t wanted = canonical(symbol);
  for (uint32_t i = 0; i < count; ++i)
    if (canonical(words[i].data2) == wanted) return static_cast<int32_t>(i);
  return -1;
}

// Value N of the context (raw), or nullptr when the context has no values
// or no value N.
inline Cell* value_cell(uint32_t ctx, uint32_t index) { return _context::value_at(ctx, index); }

// Appends to the root block (boot mode keeps its global words there).
void keep_in_root_block(const Cell& value) {
  Cell copy = value;
  *series_new_tail_cell(root_block()) = copy;
}

Cell error_word(const Cell* word) { return *word; }

// Word N of the context for an error report; none! when there is no word N.
Cell error_word_at(uint32_t ctx, uint32_t index) {
  if (index < _context::word_count(ctx)) {
    Cell w = _context::word_at(ctx, index)[0];
    w.header &= ~kFlagWordChanged;
    return w;
  }
  return Cell{TYPE_NONE, 0, 0, 0};
}

}  // namespace

bool boot_mode_q() { return g_boot_mode; }
void set_boot_mode(bool on) { g_boot_mode = on; }

namespace context {

void init() {
  // Context cells are internal and answer no action.
  datatype::register_type(TYPE_CONTEXT, 0, "context!", {});
}

}  // namespace context

namespace _context {

// ---------------------------------------------------------------------------
// The global context.

namespace {
Cell make_global_word(const char* text, size_t length) {
  return add_global(symbol::lookup(text, length), true, true);
}
}  // namespace

void init_global(uint32_t size) {
  if (g_global) return;
  symbol::init_table();
  g_global = allocate(size, false, false, 0, kContextGlobal);
  uint32_t values = record(g_global)->data2;
  detail::g_global_values_slot = &::kiv::detail::g_node_table[values];
  detail::g_global_node = g_global;
  collector::set_root_hook(collector::RootHook::kGlobalContext, mark_global_context);
  set_global_word_maker(make_global_word);
  init_datatype_words();
}

uint32_t global() { return g_global; }

// ---------------------------------------------------------------------------
// Reading a context.


uint32_t kind_of(uint32_t ctx) {
  return (record(ctx)->header & kFlagContextKindMask) >> kFlagContextKindShift;
}
bool object_q(uint32_t ctx) { return (record(ctx)->header & kFlagObjectContext) != 0; }
bool on_stack_q(uint32_t ctx) { return (record(ctx)->header & kFlagContextOnStack) != 0; }
uint32_t word_table(uint32_t ctx) {
  const Cell* rec = record(ctx);
  return (rec->header & kFlagContextNoTable) ? 0 : rec->data1;
}
uint32_t words_block(uint32_t ctx) { return words_node(record(ctx)); }
uint32_t word_count(uint32_t ctx) { return series_length(words_block(ctx)); }
Cell* word_at(uint32_t ctx, uint32_t index) { return series_head_cell(words_block(ctx)) + index; }

bool has_values_q(uint32_t ctx) { return record(ctx)->data2 != 0; }


Cell* values(uint32_t ctx) {
  Cell* rec = record(ctx);
  if (rec->data2 == 0) return nullptr;
  if (rec->header & kFlagContextOnStack) return stack::at(rec->data2);
  return series_head_cell(rec->data2);
}

// ---------------------------------------------------------------------------
// Making contexts.

namespace {
int32_t append_word(uint32_t ctx, uint32_t symbol);
}  // namespace

uint32_t allocate(uint32_t count, bool on_stack, bool object, uint32_t source, uint32_t kind) {
  RootedNode keep_source(source);
  RootedNode node(new_context_node());
  uint32_t header = TYPE_CONTEXT | ((kind << kFlagContextKindShift) & kFlagContextKindMask);
  if (on_stack) header |= kFlagContextOnStack;
  if (object) header |= kFlagObjectContext;
  *record(node) = Cell{header, 0, 0, 0};

  if (source) {
    if (record(source)->header & kFlagContextNoTable) record(node)->header |= kFlagContextNoTable;
    copy_words(source, node);
  } else if (starts_without_table(count, on_stack, kind)) {
    record(node)->header |= kFlagContextNoTable;
    record(node)->data1 = alloc_cells(std::max<uint32_t>(count, 1));
  } else {
    record(node)->data1 = hashtable_init(std::max<uint32_t>(count, 1), nullptr, hashtable::kKindSymbols, 1);
  }
  if (!on_stack) {
    uint32_t words = source ? word_count(node) : 0;
    uint32_t vals = alloc_unset_cells(std::max<uint32_t>({count, words, 1}));
    // A context that starts with a source's words has an unset value for each.
    SeriesBuffer* b = node_buffer(vals);
    b->tail = b->head + words * static_cast<uint32_t>(sizeof(Cell));
    record(node)->data2 = vals;
  }
  return node;
}

uint32_t from_spec(const Cell* spec, bool on_stack, bool object, uint32_t kind) {
  uint32_t spec_node = spec->data2;
  RootedNode keep_spec(spec_node);
  uint32_t n = series_length(spec_node);
  uint32_t count = 0;
  {
    HeldPtr<const Cell> c = series_head_cell(spec_node);
    for (uint32_t i = 0; i < n; ++i) count += spec_word_q(TYPE_OF(&c[i])) ? 1 : 0;
  }
  RootedNode node(allocate(count, on_stack, object, 0, kind));
  for (uint32_t i = 0; i < n && i < series_length(spec_node); ++i) {
    Cell c = series_head_cell(spec_node)[i];
    if (!spec_word_q(TYPE_OF(&c))) continue;
    if (!(record(node)->header & kFlagContextNoTable)) {
      int32_t added = -1;
      context_table_find(word_table(node), c.data2, true, node, &added);
    } else if (find_symbol(node, c.data2, true) < 0) {
      append_word(node, c.data2);
    }
  }
  if (!on_stack) {
    // The values stay unfilled (type 0) until the maker of the context sets them.
    uint32_t words = word_count(node);
    SeriesBuffer* b = node_buffer(record(node)->data2);
    if (b->room() + b->used_bytes() < words * sizeof(Cell)) b = expand_series(b, words * sizeof(Cell));
    std::memset(b->head_ptr(), 0, words * sizeof(Cell));
    b->tail = b->head + words * static_cast<uint32_t>(sizeof(Cell));
  }
  return node;
}

uint32_t duplicate(Cell* holder) {
  RootedNode source(holder->data1);
  RootedNode node(new_context_node());
  *record(node) = Cell{record(source)->header, 0, 0, 0};
  copy_words(source, node);
  if (!on_stack_q(source) && record(source)->data2) {
    uint32_t vals = buffer_copy(record(source)->data2);
    record(node)->data2 = vals;
  } else {
    record(node)->data2 = 0;
  }
  holder->data1 = node;
  *self_cell(node) = *holder;
  return node;
}

// ---------------------------------------------------------------------------
// Lookup and insertion.

int32_t find_symbol(uint32_t ctx, uint32_t symbol, bool case_insensitive) {
  SeriesBuffer* words = words_buffer(ctx);
  const uint32_t count = words->used_bytes() >> 4;
  if (count <= kSmallContextWords) return scan_words(words->head_cell(), count, symbol, case_insensitive);
  return context_table_find(word_table(ctx), symbol, case_insensitive, 0, nullptr);
}

namespace {

// Appends a word for the symbol, known to be absent, to the context's words
// (a context without a word table that would pass kSmallContextWords gets
// one first) and answers its index. The values are left alone.
int32_t append_word(uint32_t ctx, uint32_t symbol) {
  RootedNode keep(ctx);
  if (record(ctx)->header & kFlagContextNoTable) {
    const uint32_t words = record(ctx)->data1;
    const uint32_t count = series_length(words);
    if (count < kSmallContextWords) {
      Cell* w = series_new_tail_cell(words);
      *w = Cell{TYPE_WORD, ctx, symbol, count};
      return static_cast<int32_t>(count);
    }
    build_word_table(ctx);
  }
  int32_t added = -1;
  int32_t index = context_table_find(record(ctx)->data1, symbol, true, ctx, &added);
  return index >= 0 ? index : added;
}

}  // namespace

int32_t word_index(uint32_t ctx, const Cell* word) {
  if (ctx != g_global) {
    // The usual case, a word the context has, found without the table.
    SeriesBuffer* words = words_buffer(ctx);
    const uint32_t count = words->used_bytes() >> 4;
    if (count <= kSmallContextWords) {
      int32_t found = scan_words(words->head_cell(), count, word->data2, true);
      if (found >= 0) return found;
      const Cell* rec = record(ctx);
      if (rec->header & kFlagContextNoTable) {
        // Absent for certain: a context without a table has only these words.
        // With room for the word and its value nothing allocates.
        if (count < kSmallContextWords && words->room() >= sizeof(Cell) && rec->data2 &&
            !(rec->header & kFlagContextOnStack)) {
          SeriesBuffer* vals = node_buffer(rec->data2);
          if (vals->room() >= sizeof(Cell)) {
            *words->tail_cell() = Cell{TYPE_WORD, ctx, word->data2, count};
            words->tail += sizeof(Cell);
            set_unset(vals->tail_cell());
            vals->tail += sizeof(Cell);
            return static_cast<int32_t>(count);
          }
        }
        RootedNode keep(ctx);
        const int32_t added = append_word(ctx, word->data2);
        if (!on_stack_q(ctx) && record(ctx)->data2) set_unset(series_new_tail_cell(record(ctx)->data2));
        return added;
      }
    }
  }
  RootedNode keep(ctx);
  int32_t added = -1;
  int32_t index = context_table_find(word_table(ctx), word->data2, true, ctx, &added);
  if (index >= 0) return index;
  if (!on_stack_q(ctx) && record(ctx)->data2) set_unset(series_new_tail_cell(record(ctx)->data2));
  return added;
}

void add_if_absent(uint32_t ctx, const Cell* word, const Cell* value) {
  if (find_symbol(ctx, word->data2, true) >= 0) return;
  put_symbol(ctx, word, value);
}

void put_symbol(uint32_t ctx, const Cell* word, const Cell* value) {
  RootedCell v(*value);  // the value may lie in a series that adding moves
  RootedNode keep(ctx);
  Cell w = *word;
  int32_t index = word_index(ctx, &w);
  Cell* slot = value_cell(ctx, static_cast<uint32_t>(index));
  if (!slot) fire(ErrorCategory::kScript, "not-defined", error_word(&w));
  *slot = *v;
}

Cell add_global(uint32_t symbol, bool /*case_insensitive*/, bool keep_spelling) {
  if (!g_global) init_global();
  Cell w{TYPE_WORD, 0, symbol, 0};
  int32_t index = word_index(g_global, &w);
  Cell found = *word_at(g_global, static_cast<uint32_t>(index));
  found.header = TYPE_WORD;
  if (keep_spelling) found.data2 = symbol;
  return found;
}

Cell global_word_add(uint32_t symbol) {
  Cell w = add_global(symbol, true, true);
  if (g_boot_mode) keep_in_root_block(w);
  return w;
}

Cell* value_of_symbol(uint32_t symbol, uint32_t ctx) {
  if (on_stack_q(ctx)) ctx = g_global;
  int32_t index = find_symbol(ctx, symbol, true);
  if (index < 0) return nullptr;
  return value_cell(ctx, static_cast<uint32_t>(index));
}

Cell* global_value_cell(uint32_t symbol) {
  Cell w = add_global(symbol, true, false);
  return value_cell(g_global, w.data3);
}

void global_value(uint32_t symbol, Cell* destination) { *destination = *global_value_cell(symbol); }

void set_integer(Cell* word, uint32_t ctx, int32_t value) {
  Cell v{TYPE_INTEGER, 0, static_cast<uint32_t>(value), 0};
  set_in(word, &v, ctx, true);
}

// ---------------------------------------------------------------------------
// Binding.

void find_symbols(uint32_t ctx, const uint32_t* symbols, int32_t* indexes, uint32_t count) {
  SeriesBuffer* words = words_buffer(ctx);
  const uint32_t n = words->used_bytes() >> 4;
  if (n > kSmallContextWords || count > kSmallContextWords) {
    for (uint32_t k = 0; k < count; ++k) indexes[k] = find_symbol(ctx, symbols[k], true);
    return;
  }
  // One pass over the words, each word's canonical symbol taken once.
  const CanonicalReader canonical_of;
  uint32_t wanted[kSmallContextWords];
  for (uint32_t k = 0; k < count; ++k) {
    wanted[k] = canonical_of(symbols[k]);
    indexes[k] = -1;
  }
  const Cell* w = words->head_cell();
  for (uint32_t i = 0; i < n; ++i) {
    const uint32_t canonical = canonical_of(w[i].data2);
    for (uint32_t k = 0; k < count; ++k)
      if (indexes[k] < 0 && canonical == wanted[k]) indexes[k] = static_cast<int32_t>(i);
  }
}

int32_t word_bind_to(uint32_t ctx, Cell* word) {
  int32_t index = find_symbol(ctx, word->data2, true);
  if (index >= 0) {
    word->data1 = ctx;
    word->data3 = static_cast<uint32_t>(index);
  }
  return index;
}

namespace {

// The target of one bind. A small context's symbols and their canonical
// symbols are read once, so that each word of the block costs a few
// compares; a bind adds no word, so they stay right for the whole walk.
struct BindTarget {
  uint32_t ctx = 0;
  bool self = false;
  uint32_t self_sym = 0;
  uint32_t count = 0;
  bool small = false;
  uint32_t canonicals[kSmallContextWords];
  uint64_t filter = 0;  // bit (canonical & 63) of each word
  CanonicalReader canonical;

  // self_symbol may intern (early in start-up): it runs before the reader
  // takes the symbol table's address.
  BindTarget(uint32_t context, bool with_self)
      : ctx(context), self(with_self), self_sym(with_self ? self_symbol() : 0) {
    SeriesBuffer* words = words_buffer(ctx);
    count = words->used_bytes() >> 4;
    small = count <= kSmallContextWords;
    if (!small) return;
    const Cell* w = words->head_cell();
    for (uint32_t i = 0; i < count; ++i) canonicals[i] = canonical(w[i].data2);
    make_filter();
  }

  // A small context whose words' canonical symbols the caller has read
  // already (n at most kSmallContextWords).
  BindTarget(uint32_t context, bool with_self, const uint32_t* canons, uint32_t n)
      : ctx(context), self(with_self), self_sym(with_self ? self_symbol() : 0), count(n), small(true) {
    for (uint32_t i = 0; i < n; ++i) canonicals[i] = canons[i];
    make_filter();
  }

  // As find_symbol with case ignored. A context holds one word per
  // canonical symbol, so comparing canonical symbols alone finds the word
  // the exact symbol would; a word whose canonical symbol's bit is not in
  // the filter is in none of them.
  int32_t find(uint32_t symbol) const {
    if (!small) return find_symbol(ctx, symbol, true);
    const uint32_t wanted = canonical(symbol);
    if (!((filter >> (wanted & 63)) & 1)) return -1;
    for (uint32_t i = 0; i < count; ++i)
      if (canonicals[i] == wanted) return static_cast<int32_t>(i);
    return -1;
  }

  void make_filter() {
    for (uint32_t i = 0; i < count; ++i) filter |= uint64_t{1} << (canonicals[i] & 63);
  }
};

// Nothing below allocates (lookups without a context to add to, the cycle
// stack's fixed array), so the block's cells are read from one address.
void bind_cells(uint32_t node, uint32_t head, const BindTarget& target) {
  if (support::cycle_stack::find_q(node)) return;
  support::cycle_stack::Entry entry(node);
  SeriesBuffer* b = node_buffer(node);
  const uint32_t n = b->length();
  HeldPtr<Cell> cells = b->head_cell();  // checked: nothing below moves it
  for (uint32_t i = head; i < n; ++i) {
    HeldPtr<Cell> c = cells + i;
    uint32_t type = TYPE_OF(c);
    if (series::any_block_q(type)) {
      bind_cells(c->data2, c->data1, target);
    } else if (word::any_word_q(type)) {
      if (target.self && type == TYPE_WORD && c->data2 == target.self_sym) {
        c->data1 = target.ctx;
        c->data3 = kUnresolved;
      } else if (int32_t index = target.find(c->data2); index >= 0) {
        c->data1 = target.ctx;
        c->data3 = static_cast<uint32_t>(index);
      }
    }
  }
}

}  // namespace

Cell* bind_block(Cell* block, uint32_t ctx, bool self) {
  BindTarget target(ctx, self);
  bind_cells(block->data2, block->data1, target);
  return block;
}

namespace {

// collect_set_words into a context without a word table, as long as each new
// word and its unset value fit in their series as they are: nothing
// allocates, so the block, the words and the values are read from one
// address each. Answers the position of the first set-word that needs more
// (or the tail).
uint32_t collect_in_place(uint32_t ctx, const Cell* block, bool* grew) {
  const Cell* rec = record(ctx);
  if (!(rec->header & kFlagContextNoTable) || (rec->header & kFlagContextOnStack) || !rec->data2)
    return block->data1;
  SeriesBuffer* b = node_buffer(block->data2);
  SeriesBuffer* words = node_buffer(rec->data1);
  SeriesBuffer* vals = node_buffer(rec->data2);
  const uint32_t n = b->length();
  HeldPtr<const Cell> cells = b->head_cell();
  uint32_t i = block->data1;
  for (; i < n; ++i) {
    if (TYPE_OF(&cells[i]) != TYPE_SET_WORD) continue;
    const uint32_t symbol = cells[i].data2;
    const uint32_t count = words->used_bytes() >> 4;
    if (scan_words(words->head_cell(), count, symbol, true) >= 0) continue;
    if (count >= kSmallContextWords || words->room() < sizeof(Cell) || vals->room() < sizeof(Cell)) break;
    *words->tail_cell() = Cell{TYPE_WORD, ctx, symbol, count};
    words->tail += sizeof(Cell);
    set_unset(vals->tail_cell());
    vals->tail += sizeof(Cell);
    *grew = true;
  }
  return i;
}

}  // namespace

uint32_t object_for_block(Cell* block, const uint32_t* find, int32_t* found, uint32_t find_count) {
  uint32_t symbols[kSmallContextWords];
  uint32_t canonicals[kSmallContextWords];
  uint32_t n = 0;
  {
    // The set-words, one per canonical symbol, read before anything allocates.
    const CanonicalReader canonical;
    SeriesBuffer* b = node_buffer(block->data2);
    const uint32_t tail = b->length();
    HeldPtr<const Cell> cells = b->head_cell();
    for (uint32_t i = block->data1; i < tail; ++i) {
      if (TYPE_OF(&cells[i]) != TYPE_SET_WORD) continue;
      const uint32_t symbol = cells[i].data2;
      const uint32_t canon = canonical(symbol);
      uint32_t k = 0;
      while (k < n && canonicals[k] != canon) ++k;
      if (k < n) continue;
      if (n == kSmallContextWords) return 0;
      symbols[n] = symbol;
      canonicals[n++] = canon;
    }
    for (uint32_t f = 0; f < find_count; ++f) {
      const uint32_t canon = canonical(find[f]);
      found[f] = -1;
      for (uint32_t k = 0; k < n; ++k) {
        if (canonicals[k] == canon) {
          found[f] = static_cast<int32_t>(k);
          break;
        }
      }
    }
  }
  RootedNode node(new_context_node());
  *record(node) = Cell{TYPE_CONTEXT | ((kContextObject << kFlagContextKindShift) & kFlagContextKindMask) |
                           kFlagObjectContext | kFlagContextNoTable,
                       0, 0, 0};
  const uint32_t room = std::max<uint32_t>(n, 1);
  const uint32_t words = alloc_cells(room);
  record(node)->data1 = words;
  const uint32_t vals = alloc_unset_cells(room);
  record(node)->data2 = vals;
  SeriesBuffer* wb = node_buffer(words);
  HeldPtr<Cell> w = wb->head_cell();
  for (uint32_t i = 0; i < n; ++i) w[i] = Cell{TYPE_WORD, node, symbols[i], i};
  wb->tail = wb->head + n * static_cast<uint32_t>(sizeof(Cell));
  SeriesBuffer* vb = node_buffer(vals);
  vb->tail = vb->head + n * static_cast<uint32_t>(sizeof(Cell));
  const BindTarget target(node, true, canonicals, n);
  bind_cells(block->data2, block->data1, target);
  return node;
}

bool collect_set_words(uint32_t ctx, const Cell* block) {
  bool grew = false;
  uint32_t i = collect_in_place(ctx, block, &grew);
  if (i >= series_length(block->data2)) return grew;
  RootedNode keep_ctx(ctx);
  RootedNode node(block->data2);
  uint32_t before = word_count(ctx);
  for (; i < series_length(node); ++i) {
    Cell c = series_head_cell(node)[i];
    if (TYPE_OF(&c) == TYPE_SET_WORD) word_index(ctx, &c);
  }
  return grew || word_count(ctx) != before;
}

// ---------------------------------------------------------------------------
// Values through words.

Cell* get_in(const Cell* word, uint32_t ctx) {
  if (word->data3 == kUnresolved) {
    if (word->data2 == self_symbol()) return self_cell(ctx);
    fire(ErrorCategory::kScript, "no-value", error_word(word));
  }
  Cell* value = value_cell(ctx, word->data3);
  if (!value) fire(ErrorCategory::kScript, "not-in-context", error_word(word));
  return value;
}

Cell* get_word_slow(const Cell* word) {
  if (word->data1 == 0) fire(ErrorCategory::kScript, "no-value", error_word(word));
  return get_in(word, word->data1);
}

Cell* set_in(Cell* word, const Cell* value, uint32_t ctx, bool fire_hooks) {
  // A resolved word of a context that is no object's (or whose values are
  // on the stack): a plain store, nothing allocates.
  if (word->data3 != kUnresolved) {
    const Cell* rec = record(ctx);
    if (!(rec->header & kFlagObjectContext) || (rec->header & kFlagContextOnStack)) {
      if (Cell* slot = value_cell(ctx, word->data3)) {
        *slot = *value;
        return slot;
      }
    } else if (!fire_hooks || self_cell(ctx)->data3 == 0 || !g_change_hook) {
      // An object's word with no hook to call: the store and the changed
      // mark, nothing allocates.
      if (Cell* slot = value_cell(ctx, word->data3)) {
        words_buffer(ctx)->head_cell()[word->data3].header |= kFlagWordChanged;
        *slot = *value;
        return slot;
      }
    }
  }
  RootedNode keep(ctx);
  RootedCell v(*value);  // the value may lie in a series that adding moves
  Cell w = *word;
  uint32_t index = w.data3;
  if (index == kUnresolved) {
    int32_t found = find_symbol(ctx, w.data2, true);
    index = static_cast<uint32_t>(found >= 0 ? found : word_index(ctx, &w));
  }
  Cell* slot = value_cell(ctx, index);
  if (!slot) fire(ErrorCategory::kScript, "not-defined", error_word(&w));
  if (!on_stack_q(ctx) && object_q(ctx)) {
    word_at(ctx, index)->header |= kFlagWordChanged;
    if (fire_hooks && self_cell(ctx)->data3 != 0 && g_change_hook) {
      // The old value stays on the stack while the hook runs.
      stack::push_copy(slot);
      uint32_t old_at = stack::top_index() - 1;
      *value_cell(ctx, index) = *v;
      Cell bound = w;
      bound.data1 = ctx;
      bound.data3 = index;
      g_change_hook(ctx, &bound, stack::at(old_at), v.get());
      stack::drop_cells(stack::top_index() - old_at);
      Cell* stored = value_cell(ctx, index);
      if (!stored) fire(ErrorCategory::kScript, "not-defined", error_word(&w));
      return stored;
    }
  }
  *slot = *v;
  return slot;
}

Cell* set_word_slow(Cell* word, const Cell* value) {
  if (word->data1 == 0) fire(ErrorCategory::kScript, "not-defined", error_word(word));
  return set_in(word, value, word->data1, true);
}

void set_change_hook(ChangeHook hook) { g_change_hook = hook; }

}  // namespace _context

// ---------------------------------------------------------------------------
// Word helpers for native code.

void set_word_keep(Cell* word) {
  Cell* value = stack::last_pushed();
  if (TYPE_OF(value) == TYPE_UNSET) fire(ErrorCategory::kScript, "need-value", *word);
  _context::set_word(word, value);
}

void set_context_word_keep(uint32_t ctx, uint32_t index) {
  Cell* value = stack::last_pushed();
  if (TYPE_OF(value) == TYPE_UNSET) fire(ErrorCategory::kScript, "need-value", error_word_at(ctx, index));
  Cell* slot = value_cell(ctx, index);
  if (!slot) fire(ErrorCategory::kScript, "not-defined", error_word_at(ctx, index));
  *slot = *value;
}

void set_global_word(Cell* word) {
  set_word_keep(word);
  stack::clear_arguments();
}

void set_context_word_at(uint32_t ctx, uint32_t index) {
  set_context_word_keep(ctx, index);
  stack::clear_arguments();
}

void set_object_word(uint32_t ctx, uint32_t index) {
  Cell* slot = value_cell(ctx, index);
  if (!slot) fire(ErrorCategory::kScript, "not-defined", error_word_at(ctx, index));
  if (_context::kind_of(ctx) == kContextObject && index < _context::word_count(ctx))
    _context::word_at(ctx, index)->header |= kFlagWordChanged;
  *slot = *stack::last_pushed();
  stack::clear_arguments();
}

Cell* get_word_value_checked(const Cell* word) {
  Cell* value = _context::get_word(word);
  if (TYPE_OF(value) == TYPE_UNSET || TYPE_OF(value) == TYPE_VALUE)
    fire(ErrorCategory::kScript, "no-value", *word);
  return value;
}

Cell* get_context_word_at(uint32_t ctx, uint32_t index) {
  Cell* slot = value_cell(ctx, index);
  if (!slot) fire(ErrorCategory::kScript, "not-defined", error_word_at(ctx, index));
  return slot;
}

Cell* context_word_at(uint32_t ctx, uint32_t index) { return _context::word_at(ctx, index); }
Cell* context_symbols(uint32_t ctx) { return series_head_cell(_context::words_block(ctx)); }
uint32_t context_word_count(uint32_t ctx) { return _context::word_count(ctx); }

}  // namespace kiv
