// Changing the case of a char! or of the characters of a string value.
#pragma once

#include "runtime/cell.h"

namespace kiv {

// The worker of the uppercase and lowercase natives: maps a char! value, or
// the characters of a string value from its head (a head past the tail is
// first moved back to it), in place; answers the value. part is the /part
// argument or null: an integer! limits the count (negative counts as 0), a
// position in the same series of the same type ends the range there; any
// other value raises script invalid-refine-arg. The count never reaches past
// the tail. A string widens when a mapped character needs a wider unit. The
// series' owner, when it has one, is told with the action word uppercase or
// lowercase, the head index and the count.
Cell* change_case(Cell* value, bool upper, const Cell* part);

}  // namespace kiv
