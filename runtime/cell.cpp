#include "runtime/cell.h"

namespace kiv {
static_assert(alignof(Cell) == 4);
}  // namespace kiv
