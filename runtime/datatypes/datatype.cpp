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
int32_t mold(Cell* value, Cell* buffer, bool, bool all, bool, Cell*, int32_t limit, int32_t) {
  std::string_view name = name_of(value);
  if (name.empty()) return limit;
  if (all) string::append_text(buffer, "#(");
  string::append_text(buffer, name);
  if (all) string::append_text(buffer, ")");
  return limit - static_cast<int32_t>(name.size()) - (all ? 3 : 0);
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
  const HandlerEntry row[] = {
      kNone<ACT_MAKE>,
      kNone<ACT_RANDOM>,
      kNone<ACT_REFLECT>,
      kNone<ACT_TO>,
      own<ACT_FORM>(form),
      own<ACT_MOLD>(mold),
      kNone<ACT_EVAL_PATH>,
      kNone<ACT_EMPTY_8>,
      own<ACT_COMPARE>(compare),
      kNone<ACT_ABSOLUTE>,
      kNone<ACT_ADD>,
      kNone<ACT_DIVIDE>,
      kNone<ACT_MULTIPLY>,
      kNone<ACT_NEGATE>,
      kNone<ACT_POWER>,
      kNone<ACT_REMAINDER>,
      kNone<ACT_ROUND>,
      kNone<ACT_SUBTRACT>,
      kNone<ACT_EVEN_Q>,
      kNone<ACT_ODD_Q>,
      kNone<ACT_AND_T>,
      kNone<ACT_COMPLEMENT>,
      kNone<ACT_OR_T>,
      kNone<ACT_XOR_T>,
      kNone<ACT_APPEND>,
      kNone<ACT_AT>,
      kNone<ACT_BACK>,
      kNone<ACT_CHANGE>,
      kNone<ACT_CLEAR>,
      kNone<ACT_COPY>,
      kNone<ACT_FIND>,
      kNone<ACT_HEAD>,
      kNone<ACT_HEAD_Q>,
      kNone<ACT_INDEX_Q>,
      kNone<ACT_INSERT>,
      kNone<ACT_LENGTH_Q>,
      kNone<ACT_MOVE>,
      kNone<ACT_NEXT>,
      kNone<ACT_PICK>,
      kNone<ACT_POKE>,
      kNone<ACT_PUT>,
      kNone<ACT_REMOVE>,
      kNone<ACT_REVERSE>,
      kNone<ACT_SELECT>,
      kNone<ACT_SORT>,
      kNone<ACT_SKIP>,
      kNone<ACT_SWAP>,
      kNone<ACT_TAIL>,
      kNone<ACT_TAIL_Q>,
      kNone<ACT_TAKE>,
      kNone<ACT_TRIM>,
      kNone<ACT_CREATE>,
      kNone<ACT_CLOSE>,
      kNone<ACT_DELETE>,
      kNone<ACT_MODIFY>,
      kNone<ACT_OPEN>,
      kNone<ACT_OPEN_Q>,
      kNone<ACT_QUERY>,
      kNone<ACT_READ>,
      kNone<ACT_RENAME>,
      kNone<ACT_UPDATE>,
      kNone<ACT_WRITE>,
  };
  datatype::register_type(TYPE_DATATYPE, 0, "datatype!", row);
}

}  // namespace kiv::datatype
