// context! (type id 14): the map from words to values that words bind into.
// The global context, every object, every function and every native or
// action spec has one. Context cells are internal: scripts never hold them.
//
// A context is a node whose series holds exactly two cells:
//   cell 0, the record (type 14):
//     word 0  header: bits 11-12 the kind (0 global, 1 function, native and
//             action specs, 2 object); bit 22 values on the argument stack;
//             bit 24 object context; bit 16 the object has an owner;
//             bit 25 no word table (kFlagContextNoTable)
//     word 1  node of the word table: a hash table (kind 2) whose data block
//             (the words block) holds the context's words in order, each a
//             word! bound to the context itself (node, symbol, own index);
//             with bit 25, the node of the words block itself. An object's
//             context of up to eight words starts without a table (a lookup
//             scans so few words) and gets one when a ninth word is added
//     word 2  node of the value series, one cell per word in the same order;
//             with bit 22, the argument-stack index of the running call's
//             first argument, 0 while no call runs (the call frames set and
//             restore it)
//     word 3  with bit 22, the number of values of the running call's
//             stack image (the words the context had when the call's body
//             started; words added later have no value there); set and
//             restored with word 2
//   cell 1, the self cell: a copy of the value owning the context (its
//           object! or function! cell); word 3 of an object's self cell is
//           the object's hook node, 0 when it has no hooks
//
// Index: the 0-based position of a word in the words block and of its value
// in the values. Words are only ever appended, never reordered or removed,
// so indexes stay valid for good. A word cell bound with index -1 is not yet
// resolved (or, with the symbol `self`, names the self cell).
//
// A new value slot is unset!; a slot of type 0 (not filled yet) reads as
// unset too. A word of a words block may carry bit 13, the changed mark of
// object words. Lookups compare canonical symbol ids (letter case ignored)
// unless said otherwise; in the global context every spelling of a symbol
// shares one slot.
//
// Moving buffers: addresses answered (records, value cells) point into
// series and are good only until the next allocation. Context nodes are safe
// to keep, but a context must stay reachable (from a word, a value, the
// argument stack or a RootedNode) across allocations.
#pragma once

#include <cstdint>

#include "runtime/cell.h"
#include "runtime/series.h"
#include "runtime/stack.h"

namespace kiv {

constexpr uint32_t kContextGlobal = 0;
constexpr uint32_t kContextFunction = 1;
constexpr uint32_t kContextObject = 2;

constexpr uint32_t kFlagObjectContext = 0x01000000;  // context!: an object's context
constexpr uint32_t kFlagWordChanged = 0x00002000;    // a word of an object's words block was set

// Index of a word not resolved in its context.
constexpr uint32_t kUnresolved = 0xFFFFFFFF;

// Words the global context is made for at start-up.
constexpr uint32_t kGlobalContextWords = 4000;

// The runtime's boot flag: while it is set, every global word made by
// word::load or _context::global_word_add (and every issue made by the
// issue loader) is also appended to the root block. Start-up sets it and
// clears it when its boot phase ends.
bool boot_mode_q();
void set_boot_mode(bool on);

namespace context {
// Registers context! (no parent, no handlers).
void init();
}  // namespace context

namespace _context {

// ---------------------------------------------------------------------------
// The global context.

// Makes the global context (once; later calls do nothing), registers it as a
// collector root and installs the type registry's word maker.
void init_global(uint32_t size = kGlobalContextWords);
// Its node (0 before init_global).
uint32_t global();

namespace detail {
// The global context's node and the node table slot of its value series:
// both are fixed once init_global has made them (the context lives as long
// as the runtime, its value series is never replaced, and a node slot stays
// where it is while its node lives), so a global word's value is read with
// no pass through the context's record. The slot holds the buffer's current
// address, rewritten whenever the buffer moves.
inline uint32_t g_global_node = 0;
inline const uintptr_t* g_global_values_slot = nullptr;
}  // namespace detail

// ---------------------------------------------------------------------------
// Reading a context.

// The record and the self cell (raw): cells 0 and 1 of the node.
inline Cell* record(uint32_t ctx) { return series_head_cell(ctx); }
inline Cell* self_cell(uint32_t ctx) { return series_head_cell(ctx) + 1; }
uint32_t kind_of(uint32_t ctx);
bool object_q(uint32_t ctx);
bool on_stack_q(uint32_t ctx);
// The word table's node, 0 for a context without one.
uint32_t word_table(uint32_t ctx);
// The words block's node and the number of words.
uint32_t words_block(uint32_t ctx);
uint32_t word_count(uint32_t ctx);
// Word N of the words block (raw).
Cell* word_at(uint32_t ctx, uint32_t index);
// Whether the context has values now (a function context outside a call
// has none), and the address of its first value (raw; nullptr when none).
bool has_values_q(uint32_t ctx);
Cell* values(uint32_t ctx);
// Value N (raw); nullptr when the context has no values or no value N.
// Inline: every word read of the interpreter comes here.
inline Cell* value_at(uint32_t ctx, uint32_t index) {
  if (ctx == detail::g_global_node) {
    SeriesBuffer* values = reinterpret_cast<SeriesBuffer*>(*detail::g_global_values_slot);
    if (index >= values->used_bytes() >> 4) return nullptr;
    return values->head_cell() + index;
  }
  HeldPtr<const Cell> rec = series_head_cell(ctx);  // the record
  if (rec->data2 == 0) return nullptr;
  if (rec->header & kFlagContextOnStack) {
    if (index >= rec->data3 || static_cast<uint64_t>(rec->data2) + index >= stack::kArgumentStackCells) return nullptr;
    return stack::at(rec->data2 + index);
  }
  // A value series holds cells: its length is its used bytes by sixteen.
  SeriesBuffer* values = node_buffer(rec->data2);
  if (index >= values->used_bytes() >> 4) return nullptr;
  return values->head_cell() + index;
}

// ---------------------------------------------------------------------------
// Making contexts. The answered node is not rooted: store it before the
// next allocation.

// A context for count words (at least 1 place). Without on_stack a value
// series for count cells is made (empty); with it word 2 is 0 and bit 22 is
// set. source (a context node, or 0) gives the words to start with. Both
// cells of the node start unset, then the record gets its type and flags.
uint32_t allocate(uint32_t count, bool on_stack, bool object, uint32_t source, uint32_t kind);
// A context holding the symbols of the spec block's word!, get-word!,
// lit-word! and refinement! values in order of appearance (read from the
// start of the spec's buffer; set-words, strings and type blocks skipped).
// Without on_stack the values are that many unset slots.
uint32_t from_spec(const Cell* spec, bool on_stack, bool object, uint32_t kind);
// A context with the same words, flags and kind (and copies of the values)
// as the holder's context (word 1), its words bound to it; the new node is
// stored in the holder's word 1 and answered.
uint32_t duplicate(Cell* holder);

// ---------------------------------------------------------------------------
// Lookup and insertion.

// The symbol's index, or -1. case_insensitive compares canonical ids.
int32_t find_symbol(uint32_t ctx, uint32_t symbol, bool case_insensitive = true);
// find_symbol, case ignored, for count symbols at once:
// indexes[k] receives the index of symbols[k], or -1.
void find_symbols(uint32_t ctx, const uint32_t* symbols, int32_t* indexes, uint32_t count);
// The index of the word's symbol, adding it when absent (with an unset
// value appended when the context keeps its values in a series).
int32_t word_index(uint32_t ctx, const Cell* word);
// Adds the word with the value only when its symbol is absent.
void add_if_absent(uint32_t ctx, const Cell* word, const Cell* value);
// Sets the symbol's value, adding the word (and a value slot) when absent.
void put_symbol(uint32_t ctx, const Cell* word, const Cell* value);

// The word! of the global words block for the symbol, added (with an unset
// value) when absent. The global context always resolves a symbol through
// its canonical id; case_insensitive is accepted for the callers' sake.
// When the word found has another spelling and keep_spelling is set, the
// answered word carries the requested symbol (same slot).
Cell add_global(uint32_t symbol, bool case_insensitive, bool keep_spelling);
// add_global; in boot mode a copy of the word also goes to the root block.
Cell global_word_add(uint32_t symbol);

// The symbol's value cell in the context; a context whose values are on the
// stack is answered from the global context instead (raw). Absent: nullptr.
Cell* value_of_symbol(uint32_t symbol, uint32_t ctx);
// Copies the symbol's global value (the word added when absent).
void global_value(uint32_t symbol, Cell* destination);
// The symbol's global value cell (the word added when absent; raw).
Cell* global_value_cell(uint32_t symbol);
// Sets the word's value to an integer! (resolving an index of -1 first).
void set_integer(Cell* word, uint32_t ctx, int32_t value);

// ---------------------------------------------------------------------------
// Binding.

// When the context holds the word's symbol, binds the word cell to it
// (word 1 the context, word 3 the index) and answers the index; otherwise
// leaves the cell alone and answers -1.
int32_t word_bind_to(uint32_t ctx, Cell* word);
// Binds every word kind from the block's head to its tail, deeply through
// the any-block values, to the context when it holds the word's symbol;
// other words keep their binding. With self, a word! whose symbol is
// exactly `self` binds to the self cell (index -1). A block met again
// through a cycle is not walked twice. Answers the block.
Cell* bind_block(Cell* block, uint32_t ctx, bool self);
// Adds the symbol of every set-word! from the block's head to its tail;
// answers whether the context grew.
bool collect_set_words(uint32_t ctx, const Cell* block);
// A new object context for the block, as allocate, collect_set_words and
// bind_block with self make it, reading the block's set-words once: a word
// per canonical symbol of the set-words from the block's head to its tail
// (spelled as first met, in that order), each with an unset value, and no
// word table; the block bound to it. found[k] receives the index of
// find[k] among the words (case ignored), or -1. Answers 0, having done
// nothing, when there are more than eight such words. The answered node is
// not rooted; the block must lie in a cell the collector sees.
uint32_t object_for_block(Cell* block, const uint32_t* find, int32_t* found, uint32_t find_count);

// ---------------------------------------------------------------------------
// Values through words.

// The word's value cell in its own context (raw).
Cell* get_word_slow(const Cell* word);
inline Cell* get_word(const Cell* word) {
  if (word->data1 != 0 && word->data3 != kUnresolved) {
    if (Cell* v = value_at(word->data1, word->data3)) return v;
  }
  return get_word_slow(word);
}
// The word's value cell in the context (raw). An index of -1 names the self
// cell when the symbol is `self`, else raises script no-value; a context
// without values raises script not-in-context.
Cell* get_in(const Cell* word, uint32_t ctx);
// Stores the value for the word in the context and answers the stored cell
// (raw). An index of -1 is resolved first (the word is added when absent;
// the word cell itself is left as it is). Object
// contexts mark the word changed and, with fire set and hooks present, call
// the object's change hook with the old and the new value. A context without
// values raises script not-defined.
Cell* set_in(Cell* word, const Cell* value, uint32_t ctx, bool fire);
// set_in in the word's own context, hooks on.
Cell* set_word_slow(Cell* word, const Cell* value);
// The value cell of a resolved word of a context that is no object's (or
// whose values are on the stack): setting it is a plain store, as set_in
// makes it, with no change hook to call. Null for any other word.
inline Cell* plain_slot(const Cell* word) {
  if (word->data1 == 0 || word->data3 == kUnresolved) return nullptr;
  if (word->data1 == detail::g_global_node) return value_at(word->data1, word->data3);  // no object's
  HeldPtr<const Cell> rec = series_head_cell(word->data1);
  if ((rec->header & kFlagObjectContext) && !(rec->header & kFlagContextOnStack)) return nullptr;
  return value_at(word->data1, word->data3);
}
// The store set_word makes when it calls no hook and cannot raise: the
// plain store of plain_slot, and the store and changed mark of an object's
// word when the object has no hooks and its context no word table. Answers
// the slot, or nullptr (nothing stored) when set_word_slow must run.
inline Cell* store_word_quietly(const Cell* word, const Cell* value) {
  if (word->data1 == 0 || word->data3 == kUnresolved) return nullptr;
  Cell* slot = nullptr;
  if (word->data1 == detail::g_global_node) {
    slot = value_at(word->data1, word->data3);
  } else {
    HeldPtr<Cell> rec = series_head_cell(word->data1);
    const uint32_t flags = rec->header;
    if (!(flags & kFlagObjectContext) || (flags & kFlagContextOnStack)) {
      slot = value_at(word->data1, word->data3);
    } else if ((flags & kFlagContextNoTable) && rec[1].data3 == 0) {
      // An object's word, no hook to call: the changed mark, then the store.
      slot = value_at(word->data1, word->data3);
      if (slot) node_buffer(rec->data1)->head_cell()[word->data3].header |= kFlagWordChanged;
    }
  }
  if (slot) *slot = *value;
  return slot;
}
// Stores the value for the word in its own context as set_in with hooks on
// does it: the quiet stores here, the rest by set_word_slow.
inline Cell* set_word(Cell* word, const Cell* value) {
  if (Cell* slot = store_word_quietly(word, value)) return slot;
  return set_word_slow(word, value);
}

// The object module's part of setting a word of an object with hooks: it
// calls the object's on-change* with the word, the old and the new value.
using ChangeHook = void (*)(uint32_t ctx, const Cell* word, const Cell* old_value, const Cell* new_value);
void set_change_hook(ChangeHook hook);

}  // namespace _context

// ---------------------------------------------------------------------------
// Word helpers for native code: the value is the last pushed cell; "clear"
// leaves top = base afterwards.

// Unset raises script need-value with the word; else sets the word in its
// context; the value stays pushed.
void set_word_keep(Cell* word);
// Unset raises script need-value with word N of the context; else copies the
// value into value N.
void set_context_word_keep(uint32_t ctx, uint32_t index);
// set_word_keep, then clear.
void set_global_word(Cell* word);
// set_context_word_keep, then clear.
void set_context_word_at(uint32_t ctx, uint32_t index);
// Copies the value into value N of an object's context, unset allowed,
// marking word N changed when the context is an object's; then clear.
void set_object_word(uint32_t ctx, uint32_t index);
// The word's value (raw); unset raises script no-value with the word.
Cell* get_word_value_checked(const Cell* word);
// Value N of the context (raw); a context without values raises script
// not-defined with word N.
Cell* get_context_word_at(uint32_t ctx, uint32_t index);
// Word N of the context's words block (raw), the words block's first cell
// (raw) and the number of words.
Cell* context_word_at(uint32_t ctx, uint32_t index);
Cell* context_symbols(uint32_t ctx);
uint32_t context_word_count(uint32_t ctx);

}  // namespace kiv
