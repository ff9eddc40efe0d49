// The runtime's built-in words: a fixed set of words interned once at
// start-up, each kept in a slot of its own, so that runtime code compares
// words by symbol id and hands words to the language (error arguments, event
// names, owner notifications, frame names) without looking them up by text.
//
// The one list is runtime/words.def; it makes the Id enum, the texts and the
// kinds. Slots are filled once by the three init routines and read-only
// afterwards:
//   symbol_of(id)  the symbol id of the text
//   cell_of(id)    KEYWORD, GLOBAL: the word! bound in the global context;
//                  REFINEMENT: the refinement!; ISSUE: the issue!
//                  (unset! for the other kinds)
// Until the slots are filled, symbols read 0 and cells unset!.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "runtime/cell.h"

namespace kiv::words {

enum class Kind : uint8_t { SYMBOL, INTERN, KEYWORD, GLOBAL, REFINEMENT, ISSUE };

enum Id : uint16_t {
#define KIV_WORD(kind, name, text) name,
#include "runtime/words.def"
#undef KIV_WORD
  kWordCount
};

std::string_view text(Id id);
Kind kind(Id id);

uint32_t symbol_of(Id id);
const Cell* cell_of(Id id);

// True when the cell is a word of any kind whose symbol is the slot's
// symbol, compared exactly (case-insensitive comparison needs the symbol
// table's canonical ids and belongs to the caller).
bool is(const Cell* word, Id id);

// What start-up supplies to fill the slots; the symbol table, the global
// context and the loaders live elsewhere.
struct Loader {
  // Interns UTF-8 text and answers its symbol id (never 0).
  uint32_t (*intern)(std::string_view text);
  // Writes the word! of the symbol bound in the global context, adding the
  // word to the global context when missing.
  void (*global_word)(uint32_t symbol, Cell* out);
  // The refinement! and issue! loaders.
  void (*refinement)(std::string_view text, Cell* out);
  void (*issue)(std::string_view text, Cell* out);
};

// Fills the SYMBOL, INTERN, KEYWORD and GLOBAL slots in list order.
void init_common_words(const Loader& loader);
// Fills the REFINEMENT slots.
void init_refinement_words(const Loader& loader);
// Fills the ISSUE slot.
void init_issue_word(const Loader& loader);

// Every slot back to 0 / unset! (tests and a second start-up).
void reset();

}  // namespace kiv::words
