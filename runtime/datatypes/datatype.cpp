#include "runtime/datatypes/datatype.h"

#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/string.h"
#include "runtime/series.h"
#include "runtime/stack.h"

namespace kiv::datatype {

Cell* push(uint32_t type) { return init_cell(stack::push_new_cell(), type); }
Cell* at_tail(const Cell* block, uint32_t type) { return init_cell(alloc_tail(block), type); }

// The name without its final "!": integer! forms as integer.
int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) {
  const TypeNameEntry& entry = type_name_table[named_type(value) % kTypeTableSize];
  if (!entry.name) return limit;
  string::append_text(buffer, std::string_view(entry.name, static_cast<size_t>(entry.length)));
  return limit - entry.length;
}

// The name with its "!"; with /all inside "#(" and ")".
int32_t mold(Cell* value, Cell* buffer, bool, bool all, bool, Cell*, int32_t limit, int32_t) {
  const TypeNameEntry& entry = type_name_table[named_type(value) % kTypeTableSize];
  if (!entry.name) return limit;
  if (all) string::append_text(buffer, "#(");
  string::append_text(buffer, std::string_view(entry.name, static_cast<size_t>(entry.length) + 1));
  if (all) string::append_text(buffer, ")");
  return limit - (entry.length + 1) - (all ? 3 : 0);
}

int32_t compare(Cell* value1, Cell* value2, int32_t op) {
  switch (op) {
    case COMP_EQUAL:
    case COMP_NOT_EQUAL:
    case COMP_STRICT_EQUAL:
    case COMP_SAME:
    case COMP_FIND:
      return (TYPE_OF(value2) == TYPE_DATATYPE && named_type(value2) == named_type(value1)) ? 0 : 1;
    default:
      return kNotComparable;
  }
}

void init() {
  const HandlerEntry row[] = {own<ACT_FORM>(form), own<ACT_MOLD>(mold), own<ACT_COMPARE>(compare)};
  datatype::register_type(TYPE_DATATYPE, 0, "datatype!", row);
}

}  // namespace kiv::datatype
