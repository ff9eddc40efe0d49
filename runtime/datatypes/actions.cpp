// Action dispatch: handler lookup, the typed dispatchers and the compare
// entry. The entry points of the action table are in actions_entries.cpp.
#include "runtime/datatypes/actions.h"

#include <cstdio>
#include <cstdlib>

#include "runtime/datatypes/block.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/word.h"
#include "runtime/collector.h"
#include "runtime/language_error.h"
#include "runtime/stack.h"
#include "runtime/support.h"

namespace kiv {

namespace {

PortActorLookup g_port_actor_lookup = nullptr;

Cell datatype_of(uint32_t type) {
  Cell c;
  datatype::init_cell(&c, type);
  return c;
}

// script/expect-arg: the word of the current call, the datatype, the name of
// the first argument. Outside any call the action's own word names it.
[[noreturn]] void fire_expect_arg(uint32_t type, uint32_t action) {
  const ActionInfo& info = kActionInfo[action];
  Cell word;
  stack::calling_word(&word);
  if (TYPE_OF(&word) == TYPE_NONE && info.word) word = word::load(info.word);
  fire(ErrorCategory::kScript, "expect-arg", word, datatype_of(type),
       word::load(info.first_argument ? info.first_argument : "value"));
}

template <uint32_t A>
ActionHandler<A> lookup(const Cell* value) {
  // The usual case in line: the registered handler of a type other than port!.
  uint32_t type = TYPE_OF(value);
  if (type != TYPE_PORT && type < kTypeTableSize) {
    if (Handler h = type_handler(type, A)) return handler_as<A>(h);
  }
  return handler_as<A>(get_value_action_handler(value, A));
}

template <uint32_t A>
ActionHandler<A> lookup_target(const Cell* type) {
  return handler_as<A>(get_action_handler(target_type(type), A, type));
}

}  // namespace

void set_port_actor_lookup(PortActorLookup lookup) { g_port_actor_lookup = lookup; }
PortActorLookup port_actor_lookup() { return g_port_actor_lookup; }

Handler get_action_handler(uint32_t type, uint32_t action, const Cell* first) {
  if (type == TYPE_PORT && action >= ACT_APPEND && g_port_actor_lookup) {
    Handler h = nullptr;
    if (g_port_actor_lookup(first, action, &h)) {
      if (!h) fire(ErrorCategory::kAccess, "no-port-action");
      return h;
    }
  }
  Handler h = type < kTypeTableSize ? type_handler(type, action) : nullptr;
  if (!h) fire_expect_arg(type, action);
  return h;
}

Handler get_argument_action_handler(uint32_t action) {
  const Cell* first = stack::arguments();
  return get_action_handler(TYPE_OF(first), action, first);
}

Handler get_value_action_handler(const Cell* value, uint32_t action) {
  return get_action_handler(TYPE_OF(value), action, value);
}

Handler get_path_action_handler(const Cell* parent, uint32_t action, const Cell* path,
                                const Cell* element, int32_t index) {
  uint32_t type = TYPE_OF(parent);
  Handler h = type < kTypeTableSize ? type_handler(type, action) : nullptr;
  if (h) return h;
  if (!path) fire(ErrorCategory::kScript, "bad-path-type2", *element, datatype_of(type));
  // A copy of the path cut just after the failing element: its first
  // index + 1 values.
  RootedCell cut(*path);
  cut->data2 = block::copy_cells(path, false, true);
  cut->data1 = 0;
  if (index >= 0) block::truncate_at(cut.get(), index + 1);
  fire(ErrorCategory::kScript, "bad-path-type", *path, datatype_of(type), *cut);
}

// ---------------------------------------------------------------------------
// Typed dispatchers.

Cell* dispatch_make(Cell* type, Cell* spec) { return lookup_target<ACT_MAKE>(type)(type, spec); }
Cell* dispatch_random(Cell* value, bool seed, bool secure, bool only) {
  return lookup<ACT_RANDOM>(value)(value, seed, secure, only);
}
Cell* dispatch_reflect(Cell* value, Cell* field) { return lookup<ACT_REFLECT>(value)(value, field); }
Cell* dispatch_to(Cell* type, Cell* spec) { return lookup_target<ACT_TO>(type)(type, spec); }
int32_t dispatch_form(Cell* value, Cell* buffer, Cell* part, int32_t limit) {
  return lookup<ACT_FORM>(value)(value, buffer, part, limit);
}
int32_t dispatch_mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part,
                      int32_t limit, int32_t indent) {
  return lookup<ACT_MOLD>(value)(value, buffer, flags, part, limit, indent);
}
Cell* dispatch_eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* grand_parent,
                         Cell* prev_element, int32_t index, PathFlags flags) {
  auto h = handler_as<ACT_EVAL_PATH>(
      get_path_action_handler(parent, ACT_EVAL_PATH, path, element, index));
  return h(parent, element, value, path, grand_parent, prev_element, index, flags);
}

int32_t dispatch_compare(Cell* value1, Cell* value2, int32_t op) {
  uint32_t type = TYPE_OF(value1);
  // Functions of the same type compare by identity without their handler:
  // natives, actions and ops by their entry (word 1), functions and routines
  // by their block (word 3). Only for two values of the same type, and only
  // under the equality and sorting codes, where the handlers answer the same.
  if (type == TYPE_OF(value2) && equality_or_sort_op(op)) {
    switch (type) {
      case TYPE_NATIVE:
      case TYPE_ACTION:
      case TYPE_OP:
        return three_way(value1->data1, value2->data1);
      case TYPE_FUNCTION:
      case TYPE_ROUTINE:
        return three_way(value1->data3, value2->data3);
      default:
        break;
    }
  }
  return lookup<ACT_COMPARE>(value1)(value1, value2, op);
}

Cell* dispatch_negate(Cell* value) { return lookup<ACT_NEGATE>(value)(value); }
Cell* dispatch_round(Cell* value, Cell* scale, const RoundOptions& options) {
  return lookup<ACT_ROUND>(value)(value, scale, options);
}
int32_t dispatch_even_q(Cell* value) { return lookup<ACT_EVEN_Q>(value)(value); }
int32_t dispatch_odd_q(Cell* value) { return lookup<ACT_ODD_Q>(value)(value); }
Cell* dispatch_complement(Cell* value) { return lookup<ACT_COMPLEMENT>(value)(value); }
Cell* dispatch_append(Cell* series, Cell* value, int32_t part, bool only, int32_t dup) {
  return lookup<ACT_APPEND>(series)(series, value, part, only, dup, true);
}
Cell* dispatch_insert(Cell* series, Cell* value, int32_t part, bool only, int32_t dup) {
  return lookup<ACT_INSERT>(series)(series, value, part, only, dup, false);
}
Cell* dispatch_change(Cell* series, Cell* value, int32_t part, bool only, int32_t dup) {
  return lookup<ACT_CHANGE>(series)(series, value, part, only, dup);
}
Cell* dispatch_clear(Cell* series) { return lookup<ACT_CLEAR>(series)(series); }
Cell* dispatch_copy(Cell* value, Cell* destination, Cell* part, bool deep, Cell* types) {
  return lookup<ACT_COPY>(value)(value, destination, part, deep, types);
}
Cell* dispatch_find(Cell* series, Cell* value, const FindOptions& options) {
  return lookup<ACT_FIND>(series)(series, value, options);
}
int32_t dispatch_length_q(Cell* series) { return lookup<ACT_LENGTH_Q>(series)(series); }
Cell* dispatch_move(Cell* origin, Cell* target, Cell* part) {
  return lookup<ACT_MOVE>(origin)(origin, target, part);
}
Cell* dispatch_pick(Cell* series, int32_t index, Cell* index_cell) {
  return lookup<ACT_PICK>(series)(series, index, index_cell);
}
Cell* dispatch_poke(Cell* series, int32_t index, Cell* value, Cell* index_cell) {
  return lookup<ACT_POKE>(series)(series, index, value, index_cell);
}
Cell* dispatch_put(Cell* series, Cell* key, Cell* value, bool case_sensitive) {
  return lookup<ACT_PUT>(series)(series, key, value, case_sensitive);
}
Cell* dispatch_remove(Cell* series, Cell* part, Cell* key) {
  return lookup<ACT_REMOVE>(series)(series, part, key);
}
Cell* dispatch_reverse(Cell* series, Cell* part, Cell* skip) {
  return lookup<ACT_REVERSE>(series)(series, part, skip);
}
Cell* dispatch_select(Cell* series, Cell* value, const FindOptions& options) {
  return lookup<ACT_SELECT>(series)(series, value, options);
}
Cell* dispatch_sort(Cell* series, const SortOptions& options) {
  return lookup<ACT_SORT>(series)(series, options);
}
Cell* dispatch_swap(Cell* series1, Cell* series2) {
  return lookup<ACT_SWAP>(series1)(series1, series2);
}
Cell* dispatch_take(Cell* series, Cell* part, bool deep, bool last) {
  return lookup<ACT_TAKE>(series)(series, part, deep, last);
}
Cell* dispatch_trim(Cell* series, const TrimOptions& options) {
  return lookup<ACT_TRIM>(series)(series, options);
}
Cell* dispatch_create(Cell* port) { return lookup<ACT_CREATE>(port)(port); }
Cell* dispatch_close(Cell* port) { return lookup<ACT_CLOSE>(port)(port); }
Cell* dispatch_delete(Cell* file) { return lookup<ACT_DELETE>(file)(file); }
Cell* dispatch_modify(Cell* target, Cell* field, Cell* value, bool case_sensitive) {
  return lookup<ACT_MODIFY>(target)(target, field, value, case_sensitive);
}
Cell* dispatch_open(Cell* port, bool new_, bool read, bool write, bool seek, Cell* allow) {
  return lookup<ACT_OPEN>(port)(port, new_, read, write, seek, allow);
}
Cell* dispatch_open_q(Cell* port) { return lookup<ACT_OPEN_Q>(port)(port); }
Cell* dispatch_query(Cell* target) { return lookup<ACT_QUERY>(target)(target); }
Cell* dispatch_read(Cell* source, Cell* part, Cell* seek, bool binary, bool lines, bool info,
                    Cell* as) {
  return lookup<ACT_READ>(source)(source, part, seek, binary, lines, info, as);
}
Cell* dispatch_rename(Cell* from, Cell* to) { return lookup<ACT_RENAME>(from)(from, to); }
Cell* dispatch_update(Cell* port) { return lookup<ACT_UPDATE>(port)(port); }
Cell* dispatch_write(Cell* destination, Cell* data, bool binary, bool lines, bool info, bool append,
                     Cell* part, Cell* seek, Cell* allow, Cell* as) {
  return lookup<ACT_WRITE>(destination)(destination, data, binary, lines, info, append, part, seek,
                                        allow, as);
}

// ---------------------------------------------------------------------------
// The compare entry.

namespace actions {

bool compare(Cell* value1, Cell* value2, int32_t op) {
  int32_t answer = dispatch_compare(value1, value2, op);
  if (answer == kNotComparable) {
    switch (op) {
      case COMP_EQUAL:
      case COMP_NOT_EQUAL:
      case COMP_STRICT_EQUAL:
      case COMP_SAME:
      case COMP_PARSE_WORD:
      case COMP_PARSE_WORD_CASE:
      case COMP_FIND:
        break;
      default:
        fire(ErrorCategory::kScript, "invalid-compare", *value1, *value2);
    }
  }
  switch (op) {
    case COMP_EQUAL:
    case COMP_STRICT_EQUAL:
    case COMP_SAME:
    case COMP_PARSE_WORD:
    case COMP_PARSE_WORD_CASE:
    case COMP_FIND:
      return answer == 0;
    case COMP_NOT_EQUAL:
      return answer != 0;
    case COMP_LESSER:
      return answer < 0;
    case COMP_LESSER_EQUAL:
      return answer <= 0;
    case COMP_GREATER:
      return answer > 0;
    case COMP_GREATER_EQUAL:
      return answer >= 0;
    default:
      fatal_runtime_error(101);
  }
}

}  // namespace actions

void compare_to_logic(int32_t op) {
  Cell* base = stack::arguments();
  bool truth = actions::compare(base, base + 1, op);
  *base = Cell{TYPE_LOGIC, truth ? 1u : 0u, 0, 0};
}

}  // namespace kiv
