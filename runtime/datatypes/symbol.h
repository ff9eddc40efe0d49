// symbol! (type id 13): the entries of the one global symbol table.
//
// Every word names a symbol, identified by a positive id: symbol id N is
// cell N-1 of the symbol block. Symbols are interned once and never removed
// or moved, so an id stays valid for the whole run. An entry cell:
//
//   word 0  header, type id 13
//   word 1  alias: the id of the canonical symbol when this symbol's text
//           equals an earlier symbol's text but for letter case; -1 (any
//           value of 0 or below) when the symbol is its own canonical symbol
//   word 2  node of the symbol's text as a string! series (made on first
//           need by cache_text), 0 until then
//   word 3  node of a byte series holding the text in UTF-8, followed by a
//           zero byte not counted in its tail
//
// The canonical id is the alias when above 0, else the id itself. Two words
// are equal ignoring case exactly when their canonical ids are equal; case
// is folded through fold_case (runtime/case_fold.h), non-ASCII letters too.
//
// The symbol block is the data block of the symbol hash table (kind 2,
// runtime/hashtable.h), which indexes the entries by their folded text. The
// table is a collector root (RootHook::kSymbolTable).
//
// Moving buffers: entry addresses (entry_at, cache_text) and text addresses
// (text_of, utf8_of) point into series and are good only until the next
// allocation; ids are always safe to keep.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "runtime/cell.h"

namespace kiv::symbol {

// Room made for the symbol table at start-up.
constexpr uint32_t kInitialSymbols = 4000;

// Makes the symbol table (once; later calls do nothing) and registers it as a
// collector root.
void init_table();
// The symbol hash table's node and its block of entries (0 before init_table).
uint32_t table();
uint32_t block_node();
// The number of symbols interned so far: ids run from 1 to count().
uint32_t count();
inline bool valid_q(uint32_t id) { return id != 0 && id <= count(); }

// Interns zero-terminated UTF-8 text: the id of the entry with exactly these
// bytes, made when absent (its alias then names the canonical symbol of an
// entry equal ignoring case, when there is one).
uint32_t intern(const char* text);
// Interns text with a case-insensitive lookup: the canonical symbol of the
// text's spelling, so every spelling of one word answers the same id.
uint32_t intern_variant(const char* text);
// As intern, for text given with its length in bytes (it may hold no zero).
uint32_t lookup(const char* text, size_t length);
inline uint32_t lookup(std::string_view text) { return lookup(text.data(), text.size()); }
// The id of a string! value's text, read from the start of its buffer (the
// head index is ignored: callers pass strings whose head is 0).
uint32_t from_string(const Cell* string);

// The entry cell with its string! text made first (raw address).
Cell* entry_at(uint32_t id);
// Makes the entry's string! text when it has none yet; answers the entry
// (raw address).
Cell* cache_text(uint32_t id);
// The start of the symbol's string! text, with a zero unit written just after
// its tail (the series grows by one unit first when it has no room for it).
// Raw address; the unit is that of the text's series (1, 2 or 4).
const uint8_t* text_of(uint32_t id);
// The symbol's UTF-8 text (raw: good until the next allocation).
std::string_view utf8_of(uint32_t id);
// A string! cell naming the symbol's cached text (head 0; shares the cache).
Cell string_cell(uint32_t id);

// The canonical id (see above) and the raw alias (word 1).
uint32_t canonical(uint32_t id);
int32_t alias_of(uint32_t id);
// Whether the word's canonical symbol is that of any-type!.
bool any_type_q(const Cell* word);

// The datatype that the symbol's text would load as (0 when it loads as
// nothing or as more than one value). The lexer answers it through the hook
// it installs; without the hook every text answers 0.
using LexTypeHook = uint32_t (*)(const uint8_t* text, size_t length);
void set_lex_type_hook(LexTypeHook hook);
uint32_t lex_type(const Cell* word);

// The compare handler of symbol! (slot 9): compares the two entries' texts as
// strings under the op code.
int32_t compare(Cell* value1, Cell* value2, int32_t op);

// Registers symbol! (no parent; compare only).
void init();

}  // namespace kiv::symbol
