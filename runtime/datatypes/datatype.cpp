#include "runtime/datatypes/datatype.h"

#include <string_view>

#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/string.h"
#include "runtime/series.h"
#include "runtime/stack.h"

namespace kiv::datatype {

Cell* push(uint32_t type) { return init_cell(stack::push_new_cell(), type); }
Cell* at_tail(const Cell* block, uint32_t type) { return init_cell(alloc_tail(block), type); }

// The type's name with its "!": the registered one, or the one the system
// knows for a type that is not built (so that an error naming it reads).
std::string_view name_of(const Cell* value) {
  uint32_t type = named_type(value) % kTypeTableSize;
  const TypeNameEntry& entry = type_name_table[type];
  if (entry.name) return std::string_view(entry.name, static_cast<size_t>(entry.length) + 1);
  const char* name = builtin_type_name(type);
  return name ? std::string_view(name) : std::string_view();
}

// The name without its final "!": integer! forms as integer.
int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) {
  std::string_view name = name_of(value);
  if (name.empty()) return limit;
  name.remove_suffix(1);
  string::append_text(buffer, name);
  return limit - static_cast<int32_t>(name.size());
}

// The name with its "!"; with /all inside "#(" and ")".
int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell*, int32_t limit, int32_t) {
  std::string_view name = name_of(value);
  if (name.empty()) return limit;
  if (flags.all) string::append_text(buffer, "#(");
  string::append_text(buffer, name);
  if (flags.all) string::append_text(buffer, ")");
  return limit - static_cast<int32_t>(name.size()) - (flags.all ? 3 : 0);
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
  datatype::register_type(TYPE_DATATYPE, 0, "datatype!", {
      own<ACT_FORM>(form), own<ACT_MOLD>(mold), own<ACT_COMPARE>(compare),
  });
}

}  // namespace kiv::datatype
