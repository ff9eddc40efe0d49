// The word kinds: word! (15), set-word! (16), lit-word! (17), get-word! (18)
// and refinement! (19). They share one cell layout (issue!, 20, too):
//
//   word 0  header, type id; bit 30 the new-line mark as for every cell
//   word 1  node of the context the word is bound to (0: unbound)
//   word 2  its symbol id (runtime/datatypes/symbol.h)
//   word 3  its index in that context, -1 (kUnresolved) when not resolved
//
// A word made from text is bound to the global context (index found or
// added there). word! carries the behaviour (make, to, form, mold, compare,
// index?); the other kinds inherit it and write their own mold ("x:", "'x",
// ":x", "/x"); refinement! does not inherit index?.
//
// Moving buffers: addresses answered are raw (good until the next
// allocation) unless they lie on the argument stack.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "runtime/cell.h"
#include "runtime/datatypes/actions.h"
#include "runtime/type_traits.h"
#include "runtime/words.h"

namespace kiv::word {

inline uint32_t context_of(const Cell* word) { return word->data1; }
inline uint32_t symbol_of(const Cell* word) { return word->data2; }
inline uint32_t index_of(const Cell* word) { return word->data3; }

// word!, set-word!, lit-word!, get-word!, refinement!; with issue!.
inline bool any_word_q(uint32_t type) { return type_in_group(type, kGroupAnyWord) || type == TYPE_REFINEMENT; }
inline bool word_kind_q(uint32_t type) { return type_in_group(type, kGroupAllWord); }

// True when the cell is of a word kind (word! to issue!) and spells the
// built-in word (a words::Id), letter case ignored.
bool spells_q(const Cell* cell, words::Id id);

// ---------------------------------------------------------------------------
// Constructors. The type argument retypes the word made (word! by default).

// Writes the symbol's word bound in the global context (index found or
// added) into the cell.
Cell* init_global(uint32_t symbol, Cell* out, uint32_t type = TYPE_WORD);
// The same appended at the block's tail (raw) or pushed.
Cell* at_tail_global(uint32_t symbol, const Cell* block, uint32_t type = TYPE_WORD);
Cell* push_global(uint32_t symbol, uint32_t type = TYPE_WORD);
// Interns zero-terminated text and appends its global word at the block's tail (raw).
Cell* init_cell_from_text(const char* text, const Cell* block, uint32_t type = TYPE_WORD);
// Interns the text and answers its global word, keeping the text's own
// spelling; in boot mode a copy also goes to the root block.
Cell load(std::string_view text, uint32_t type = TYPE_WORD);
// Pushes a copy of a word cell, retyped when type is not 0.
Cell* push(const Cell* word, uint32_t type = 0);
// Pushes a copy of word N of the context's words block.
Cell* push_local(uint32_t ctx, uint32_t index, uint32_t type = TYPE_WORD);
// Appends a copy of the word to the root block.
void keep_in_root(const Cell* word);
// Pushes a string! (head 0) sharing the symbol's cached text (not a copy).
Cell* symbol_to_string_push(uint32_t symbol);

// Fills the built-in word table (runtime/words.h) with real interning and
// global words: init_common_words, init_refinement_words, init_issue_word.
// Needs the symbol table and the global context.
void init_builtin_words();

// ---------------------------------------------------------------------------
// Getting and setting.

// Pushes a copy of the word's value; unset raises script no-value.
Cell* get(const Cell* word);
// Sets the word in its own context (hooks fire); answers the stored cell (raw).
Cell* set(Cell* word, const Cell* value);
// Sets the word to the result cell (the frame's base); unset raises script
// need-value with the word.
void set_from_result(Cell* word);
// The entry points shared by all kinds: set takes the word in the result
// cell and the value in the next cell, sets it (hooks fire) and leaves the
// value as the result; get leaves the word's value as the result.
Cell* set_at_base();
Cell* get_at_base();
// Copies the result cell to the destination; unset raises script need-value
// with the word given (none when nullptr).
void copy_result_checked(Cell* destination, const Cell* word = nullptr);

// By index, for code that knows a word's index. Each setter marks the word
// changed when the context is an object's.
// Value N of the context (raw); nullptr when the context has no values.
Cell* context_value_cell(uint32_t ctx, uint32_t index);
// Pushes value N; a context without values raises script not-defined.
Cell* get_indexed(uint32_t ctx, uint32_t index);
// Sets value N from the last pushed value.
void set_indexed(uint32_t ctx, uint32_t index);
// Sets value N from the result cell.
void set_indexed_from_result(uint32_t ctx, uint32_t index);
// Pushes the old value N, then sets value N from the value pushed before it;
// the old value stays pushed for the change hook.
void set_indexed_keep_old(uint32_t ctx, uint32_t index);
// The symbol's value cell in the context, else its global one (the global
// word added when absent); raw.
Cell* context_value_or_global(uint32_t ctx, uint32_t symbol);

// ---------------------------------------------------------------------------
// Text loading for make/to from string! and char!. The lexer installs a
// loader that writes the one value the whole text loads as into out (a cell
// that does not move) and answers true, or answers false, raising nothing,
// when the text is not exactly one value or not valid source.
using TextValueLoader = bool (*)(const uint8_t* text, size_t length, Cell* out);
void set_text_value_loader(TextValueLoader loader);

// ---------------------------------------------------------------------------
// Handlers of word! (inherited by the other kinds as the table says).
Cell* make(Cell* type, Cell* spec);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent);
int32_t compare(Cell* value1, Cell* value2, int32_t op);
void index_q();

// Registers word! (parent symbol!).
void init();

}  // namespace kiv::word

namespace kiv::set_word {
int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent);
void init();
}  // namespace kiv::set_word

namespace kiv::lit_word {
int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent);
void init();
}  // namespace kiv::lit_word

namespace kiv::get_word {
// Pushes a copy of the word's value, unset allowed (what :x evaluates to).
Cell* push_value(const Cell* word);
int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent);
void init();
}  // namespace kiv::get_word

namespace kiv::refinement {
// Appends an unbound refinement! of the text to the root block and answers it.
Cell at_tail_interned(const char* text);
int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent);
void init();
}  // namespace kiv::refinement
