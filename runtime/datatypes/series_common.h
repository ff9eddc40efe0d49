// series! (type id 42): the abstract parent of every series type, and the
// routines on series cells that the whole runtime uses.
//
// No value carries id 42. Its row holds the handlers that work the same on
// every series whatever its unit (1, 2 or 4 bytes a character, 1 for binary!,
// 16 for the cells of blocks, the element size of a vector!); the series types
// inherit them.
//
// A series value:
//   word 0  header (type id)
//   word 1  head index, in units from the buffer's first used unit
//   word 2  node of the series buffer
//   word 3  type-specific (hash table node of a hash!, element type of a
//           vector!), otherwise 0
//
// "length" is the number of units from the head index to the buffer's tail,
// "total" the number of units from the buffer's first used unit to its tail.
// A head index may lie past the tail after another reference removed values:
// the routines clamp it as they say.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kiv::series {

// True for the series kinds: the any-block and any-string families plus
// binary!, vector! and image!.
bool series_type_q(uint32_t type);
// True for block!, paren!, hash! and the four path kinds.
bool any_block_q(uint32_t type);

// True when the head index is at or past the tail.
bool at_tail_q(const Cell* series);
// total: the units of the buffer, ignoring the head index.
int32_t buffer_length(const Cell* series);
// Units from the head index (from 0 with from_start; a negative head counts as
// 0). A head past the tail is set to total and 0 is answered.
int32_t length(Cell* series, bool from_start = false);
// Moves the head by n units when the new position is still within the buffer
// (<= tail); answers true when the new position, moved or not, is at or past
// the tail.
bool skip_and_test(Cell* series, int32_t n);

// Handlers inherited by every series type (the others come later).
int32_t length_q(Cell* series);
Cell* pick(Cell* series, int32_t index, Cell* index_cell);

// Registers series! (no parent).
void init();

}  // namespace kiv::series
