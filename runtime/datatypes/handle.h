// handle! (type id 46): an operating-system handle or pointer carried through
// the language. Scripts cannot make one; they pass handles along, form, mold
// and compare them. Runtime code makes them with the routines below.
//
//   word 0  header, type id 46
//   word 1  the handle kind: the number of a kind in the handle registry
//           (runtime/handles.h register_handle_kind), 0 for no kind
//   word 2  the 32-bit handle value
//   word 3  the handle registry slot the value holds on to, or -1 for none
//           (the collector marks the slot of every live handle)
//
// Form: the value as 8 upper-case hexadecimal digits and "h". Mold: the word
// handle!, or with /all "#[handle! " the form, " " and the kind's name when
// it has one, "]". Two handles compare by their values as signed 32-bit
// numbers, whatever their kinds; a handle is unequal to any other value and
// cannot be ordered against it. Every other action is unsupported.
#pragma once

#include <cstdint>

#include "runtime/cell.h"
#include "runtime/datatypes/actions.h"

namespace kiv::handle {

// Sets the cell to a handle of the value and kind (no registry slot).
Cell* make_in(Cell* cell, int32_t value, int kind);
// Pushes a new handle on the argument stack.
Cell* push(int32_t value, int kind);
// Pushes a handle of value 0 and kind 0.
Cell* push_null();
// Appends a new handle at the block's tail; answers it (raw).
Cell* append_to_block(const Cell* block, int32_t value, int kind);

// Handlers.
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent);
int32_t compare(Cell* value1, Cell* value2, int32_t op);

// Registers handle!.
void init();

}  // namespace kiv::handle
