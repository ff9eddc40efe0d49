#include "runtime/datatypes/handle.h"

#include <cstring>

#include "runtime/datatypes/block.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/string.h"
#include "runtime/handles.h"
#include "runtime/stack.h"

namespace kiv::handle {

Cell* make_in(Cell* cell, int32_t value, int kind) {
  *cell = Cell{TYPE_HANDLE, static_cast<uint32_t>(kind), static_cast<uint32_t>(value), static_cast<uint32_t>(-1)};
  return cell;
}

Cell* push(int32_t value, int kind) { return make_in(stack::push_new_cell(), value, kind); }

Cell* push_null() { return push(0, 0); }

Cell* append_to_block(const Cell* block, int32_t value, int kind) {
  Cell made;
  make_in(&made, value, kind);
  return block::append_cell(block, &made);
}

int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) {
  int32_t v = static_cast<int32_t>(value->data2);
  string::append_text(buffer, string::integer_to_hex(v, false));
  string::append_char(buffer, 'h');
  return limit - 9;
}

int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit, int32_t) {
  if (!flags.all) {
    string::append_text(buffer, "handle!");
    return limit - 7;
  }
  Cell v = *value;
  string::append_text(buffer, "#[handle! ");
  int32_t left = form(&v, buffer, part, limit - 10);
  if (const char* name = handle_kind_name(static_cast<int>(v.data1)); name && *name) {
    string::append_char(buffer, ' ');
    string::append_utf8(buffer, name);
    left -= 1 + static_cast<int32_t>(std::strlen(name));
  }
  string::append_char(buffer, ']');
  return left - 1;
}

int32_t compare(Cell* value1, Cell* value2, int32_t) {
  if (TYPE_OF(value2) != TYPE_HANDLE) return kNotComparable;
  return three_way(static_cast<int32_t>(value1->data2), static_cast<int32_t>(value2->data2));
}

// Nothing is taken from integer!: the row holds only these three handlers.
void init() {
  datatype::register_type(TYPE_HANDLE, 0, "handle!", {
      own<ACT_FORM>(form), own<ACT_MOLD>(mold), own<ACT_COMPARE>(compare),
  });
}

}  // namespace kiv::handle
