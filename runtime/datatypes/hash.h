// hash! (type id 36, parent block!): a block whose values are indexed by a
// hash table, so that find and select do not scan.
//
//   word 0  header, type id 36
//   word 1  head index, in cells
//   word 2  node of the block's buffer of cells
//   word 3  node of the kind-0 hash table (runtime/hashtable.h) indexing
//           every cell of the buffer, from its first cell
//
// Everything else is block!'s: its handlers keep the table in step whenever
// they insert, remove, replace or reorder cells of a hash! (series::
// hash_shifted, hash_rebuild). The table indexes values as they were when
// they entered: a string or binary changed in place afterwards is found by
// its old text until something reorders the hash!.
//
// hash! has its own make, to, copy (the result stays a hash!, with a table
// of its own) and mold ("make hash! [...]"); it refuses random.
#pragma once

#include <cstdint>

#include "runtime/cell.h"
#include "runtime/datatypes/actions.h"

namespace kiv::hash {

// Makes the cell, a block-kind cell whose buffer holds the values from its
// first cell, a hash! over that buffer with a new index. The cell must stay
// where it is (a rooted cell or a stack cell) meanwhile.
void index_in_place(Cell* block);

// Handlers.
Cell* make(Cell* type, Cell* spec);
Cell* to(Cell* type, Cell* spec);
int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit, int32_t indent);
Cell* copy(Cell* value, Cell* destination, Cell* part, bool deep, Cell* types);

void init();

}  // namespace kiv::hash
