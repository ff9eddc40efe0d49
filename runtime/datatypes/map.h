// map! (type id 40, no parent): key/value pairs found through a hash table.
//
//   word 0  header, type id 40
//   word 1  head index of the pairs block (0 for every map made here)
//   word 2  node of the pairs block: key, value, key, value ... in the order
//           the keys arrived
//   word 3  node of the kind-1 hash table indexing the keys of that block
//
// The table keeps the live pair count. Removing a pair leaves its key in the
// block and in the table and empties its value slot (a cell with header 0);
// every walk over the pairs skips such pairs, and setting the key again
// fills the slot and counts the pair live again. So the block never shrinks
// but by clear, and a key once entered keeps its place.
//
// Keys are normalised when they enter: the word kinds become set-word! (one
// key for a, a:, :a and 'a), series keys become private copies from their
// head, the other accepted kinds stay as they are (key_type_q). Lookup folds
// case unless asked not to; building from a block compares the block's keys
// case-sensitively.
#pragma once

#include <cstdint>

#include "runtime/cell.h"
#include "runtime/datatypes/actions.h"

namespace kiv::map {

// Whether a value of the type may be a key.
bool key_type_q(uint32_t type);

// Sets the cell to a map over the block (a block-kind cell, its cells from
// its head taken as they are, pairs of key and value; its length must be
// even and its keys of accepted types) or, with block null, over a new empty
// block with room for size pairs. Keys are normalised; a key met twice keeps
// its first place and its last value.
void make_in(Cell* out, const Cell* block, int32_t size);

// The number of live pairs.
int32_t pair_count(const Cell* map);

// Adds the block's pairs to the map, or replaces the values of keys already
// there (compared case-sensitively with case_sensitive).
void extend(Cell* map, const Cell* block, bool case_sensitive);

// Pushes a copy of the map cell on the argument stack.
Cell* push(const Cell* map);

// Handlers.
Cell* make(Cell* type, Cell* spec);
Cell* to(Cell* type, Cell* spec);
Cell* reflect(Cell* value, Cell* field);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent);
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* grand_parent,
                Cell* prev_element, int32_t index, PathFlags flags);
int32_t compare(Cell* value1, Cell* value2, int32_t op);
Cell* clear(Cell* map);
Cell* copy(Cell* value, Cell* destination, Cell* part, bool deep, Cell* types);
Cell* find(Cell* series, Cell* value, const FindOptions& options);
int32_t length_q(Cell* map);
Cell* put(Cell* map, Cell* key, Cell* value, bool case_sensitive);
Cell* remove(Cell* map, Cell* part, Cell* key);
// select and find read only options.case_sensitive and options.same.
Cell* select(Cell* series, Cell* value, const FindOptions& options);
// select's answer written over the map cell itself, the key compared under
// the op code find_op gives. The select entry calls it directly.
void select_in_place(Cell* series, const Cell* value, int32_t op);
// How find and select compare keys under their /case and /same.
inline int32_t find_op(bool case_sensitive, bool same) {
  return same ? COMP_SAME : case_sensitive ? COMP_STRICT_EQUAL : COMP_EQUAL;
}

// foreach over a map: sets the two words (key, value) to the next live key
// and value of the map at argument-stack slot `slot` and advances past them;
// answers false at the end.
bool foreach_step(uint32_t slot, const Cell* key_word, const Cell* value_word);

// Registers map! and its literal maker with the lexer.
void init();

}  // namespace kiv::map
