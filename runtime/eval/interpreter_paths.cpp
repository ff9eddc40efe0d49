// Paths: a path evaluated, or set, element by element through each
// container's path handler; a path that reaches a function calls it with the
// path's remaining elements as its refinements.
#include <cstdint>
#include <vector>

#include "runtime/datatypes/context.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/actions.h"
#include "runtime/eval/interpreter_fast.h"
#include "runtime/eval/interpreter_internal.h"
#include "runtime/eval/trace.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"

namespace kiv::interpreter::internal {

namespace {

bool path_function_q(const Cell* v) { return callable_q(TYPE_OF(v)); }

// After a call a path ended in: the result (last pushed) takes the path's
// place at slot.
uint32_t end_path_call(uint32_t slot, uint32_t tail, uint32_t pos) {
  if (trace::on()) {
    Cell path = *stack::at(slot);
    trace::event(trace::EV_EXIT, &path, tail, stack::last_pushed());
  }
  copy_cell(stack::last_pushed(), stack::at(slot));
  stack::drop_cells(1);
  return pos;
}

// Types whose whole value lives in the cell: setting a field of one through
// a path changes a copy, which must then be stored back where it came from.
inline bool value_in_cell_q(uint32_t t) {
  switch (t) {
    case TYPE_CHAR: case TYPE_INTEGER: case TYPE_FLOAT: case TYPE_LOGIC: case TYPE_TRIPLE: case TYPE_PAIR:
    case TYPE_PERCENT: case TYPE_TUPLE: case TYPE_TIME: case TYPE_DATE: case TYPE_MONEY: case TYPE_TYPESET:
    case TYPE_POINT2D: case TYPE_POINT3D: case TYPE_EVENT:
      return true;
    default:
      return false;
  }
}

// Stores value at element in container (the set step of a path), through the
// container's path handler; the container cell is changed in place.
void store_through_path(Cell* container, const Cell& element, const Cell& value, uint32_t path_slot, int32_t k) {
  uint32_t at = stack::top_index();
  stack::push_copy(container);
  stack::push_copy(&element);
  stack::push_copy(&value);
  stack::push_new_cell();  // no grand parent: the write-back reaches it itself
  Handler h = get_path_action_handler(stack::at(at), ACT_EVAL_PATH, stack::at(path_slot), stack::at(at + 1), k);
  handler_as<ACT_EVAL_PATH>(h)(stack::at(at), stack::at(at + 1), stack::at(at + 2), stack::at(path_slot),
                                stack::at(at + 3), stack::at(at + 1), k, {.tail = true});
  copy_cell(stack::at(at), container);
  stack::drop_cells(stack::top_index() - at);
}

// The cells of a path from its head and how many there are, and the value
// of its first cell when that is a bound word; null for any other first
// cell. Reads only.
const Cell* first_word_value(const Cell* path, const Cell** cells, uint32_t* count) {
  const SeriesBuffer* b = node_buffer(path->data2);
  const uint32_t length = cell_count(b);
  if (path->data1 >= length) return nullptr;
  const Cell* c = reinterpret_cast<const Cell*>(b->data() + b->head) + path->data1;
  if (TYPE_OF(c) != TYPE_WORD || c->data1 == 0 || c->data3 == kUnresolved) return nullptr;
  *cells = c;
  *count = length - path->data1;
  return _context::value_at(c->data1, c->data3);
}

// The slot of the field of the object (the value of the first of the
// path's cells) that the second names, for a path of two words, its index
// in *at; null for any other path, an object whose context lies on the
// stack, or no such field. Nothing here allocates or raises.
Cell* field_slot(const Cell* cells, uint32_t count, const Cell* object, uint32_t* at) {
  if (count != 2 || TYPE_OF(&cells[1]) != TYPE_WORD) return nullptr;
  const uint32_t ctx = object->data1;
  const uint32_t flags = _context::record(ctx)->header;
  if (flags & kFlagContextOnStack) return nullptr;
  const uint32_t symbol = cells[1].data2;
  int32_t index = -1;
  if (flags & kFlagContextNoTable) {
    // The usual field: its word spelled as in the path, found by a scan of
    // the few words; find_symbol answers the rest.
    SeriesBuffer* words = node_buffer(_context::record(ctx)->data1);
    const Cell* w = words->head_cell();
    for (uint32_t i = 0, n = words->used_bytes() >> 4; i < n && index < 0; ++i) {
      if (w[i].data2 == symbol) index = static_cast<int32_t>(i);
    }
  }
  if (index < 0) index = _context::find_symbol(ctx, symbol, true);
  if (index < 0) return nullptr;
  *at = static_cast<uint32_t>(index);
  return _context::value_at(ctx, *at);
}

// A path of two words whose first word's value is an object! without hooks,
// and whose second names a field holding a value: the field is read (pushed)
// or, in set mode, stored and marked changed, as the walk below does through
// object!'s path handler. cells are the path's from its head, count of them,
// the first a word whose value is the object. Answers false, having done
// nothing, for any other path or case (an error to raise, a function to
// call, a hook to fire): the walk takes it from the start.
bool object_field_path(const Cell* cells, uint32_t count, const Cell* object, bool set, bool get,
                       const Cell* new_value) {
  uint32_t at = 0;
  Cell* slot = field_slot(cells, count, object, &at);
  if (!slot) return false;
  if (set) {
    if (object->data3 != 0) return false;  // hooks: the handler calls them
    const uint32_t ctx = object->data1;
    if (_context::record(ctx)->header & kFlagObjectContext) _context::word_at(ctx, at)->header |= kFlagWordChanged;
    *slot = *new_value;
    stack::push_copy(new_value);
    return true;
  }
  const uint32_t t = TYPE_OF(slot);
  if (t == TYPE_UNSET || t == 0 || (!get && path_function_q(slot))) return false;
  stack::push_copy(slot);
  return true;
}

// A path whose first word (first, a copy: the frame's name, read again
// after the buffers may have moved) names a function, native or action (fn,
// a copy of its value: finding the call shape may allocate) of simple
// shape, not a routine, if, unless or either: the call the walk would make
// at the first element, made as the walk makes it (the path on the stack
// below the call, where the call reads its refinements, the result then in
// the path's place), by the word-call route. Answers 0, having done
// nothing, for any other function.
uint32_t path_word_call(const Cell* code, const Cell* path, const Cell first, const Cell fn, uint32_t tail,
                        uint32_t pos) {
  if (passes_return_q(&fn)) return 0;
  const uint32_t shape = word_call_shape(&fn);
  if (!shape) return 0;
  const uint32_t slot = stack::top_index();
  Cell* p = stack::push_copy(path);
  p->header &= ~kFlagNewLine;
  return end_path_call(slot, tail, call_by_word(code, &first, fn, pos, shape, p));
}

// The element walk of evaluate_path, out of line so that a field reached by
// object_field_path pays for none of its frame.
[[gnu::noinline]] uint32_t walk_path(const Cell* path_value, const Cell* code, uint32_t pos, bool set, bool get,
                                     const Cell* new_value) {
  uint32_t base_top = stack::top_index();
  // The path and the values met on the way live on the stack:
  //   slot+0 the path, slot+1 the value before the parent, slot+2 the parent,
  //   slot+3 the element, slot+4 the previous element.
  Cell* p = stack::push_copy(path_value);
  p->header &= ~kFlagNewLine;
  uint32_t slot = base_top;
  uint32_t node = p->data2;
  uint32_t head = p->data1;
  uint32_t length = series_length(node) > head ? series_length(node) - head : 0;
  if (length == 0) fire(ErrorCategory::kScript, "empty-path");
  if (trace::on()) {
    Cell path = *stack::at(slot);
    trace::event(trace::EV_ENTER, &path, head, &path);
    trace::event(trace::EV_FETCH, &path, head, &path);
  }
  Cell first = series_head_cell(node)[head];
  if (TYPE_OF(&first) != TYPE_WORD) {
    Cell path = *stack::at(slot);
    fire(ErrorCategory::kScript, "word-first", path);
  }
  Cell value = *_context::get_word(&first);
  if (TYPE_OF(&value) == TYPE_UNSET) {
    Cell path = *stack::at(slot);
    fire(ErrorCategory::kScript, "unset-path", path, first);
  }
  if (path_function_q(&value)) {
    Cell path = *stack::at(slot);
    if (set) fire(ErrorCategory::kScript, "invalid-path-set", path);
    if (get) fire(ErrorCategory::kScript, "invalid-path-get", path);
    // The path stays on the stack below the call, which reads it from there.
    CallSite site{code, &first, stack::at(slot), 1};
    pos = evaluate_call(value, site, pos, false);
    return end_path_call(slot, head + length, pos);
  }
  if (trace::on()) trace::event(trace::EV_PUSH, stack::at(slot), head, &value);
  stack::push_new_cell();    // slot+1: the value before the parent
  stack::push_copy(&value);  // slot+2: the parent
  stack::push_new_cell();    // slot+3: the element
  stack::push_new_cell();    // slot+4: the previous element
  copy_cell(&first, stack::at(slot + 4));
  // Set mode: each level's container and element, for the write-back.
  std::vector<RootedCell> chain;
  if (set) {
    chain.reserve(2 * length);
    chain.emplace_back(value);
    chain.emplace_back(first);
  }
  for (uint32_t k = 1; k < length; ++k) {
    Cell element = series_head_cell(stack::at(slot)->data2)[head + k];
    if (trace::on()) {
      Cell path = *stack::at(slot);
      trace::event(trace::EV_FETCH, &path, head + k, &element);
    }
    if (TYPE_OF(&element) == TYPE_GET_WORD) {
      element = *_context::get_word(&element);
    } else if (TYPE_OF(&element) == TYPE_PAREN) {
      evaluate_block_in(&element, false, false);
      element = *stack::last_pushed();
      stack::drop_cells(1);
    }
    if (TYPE_OF(&element) == TYPE_UNSET) {
      Cell path = *stack::at(slot);
      fire(ErrorCategory::kScript, "invalid-path", path, element);
    }
    copy_cell(&element, stack::at(slot + 3));
    if (trace::on()) {
      Cell path = *stack::at(slot);
      trace::event(trace::EV_PUSH, &path, head + k, &element);
    }
    bool last = k + 1 == length;
    Cell* parent = stack::at(slot + 2);
    Handler h = get_path_action_handler(parent, ACT_EVAL_PATH, stack::at(slot), stack::at(slot + 3),
                                        static_cast<int32_t>(k));
    uint32_t grand_type = TYPE_OF(stack::at(slot + 1));
    bool notify = set && last &&
                  (grand_type == TYPE_BLOCK || grand_type == TYPE_PAREN || grand_type == TYPE_HASH ||
                   (grand_type >= TYPE_PATH && grand_type <= TYPE_GET_PATH) ||
                   (grand_type == TYPE_OBJECT && TYPE_OF(stack::at(slot + 4)) == TYPE_WORD));
    Cell* set_value = nullptr;
    if (set && last) set_value = stack::push_copy(new_value);
    Cell* result = handler_as<ACT_EVAL_PATH>(h)(parent, stack::at(slot + 3), set_value, stack::at(slot),
                                                stack::at(slot + 1), stack::at(slot + 4),
                                                static_cast<int32_t>(k), {.get = get, .tail = last, .notify = notify});
    Cell next = result ? *result : Cell{TYPE_NONE, 0, 0, 0};
    stack::drop_cells(stack::top_index() - (slot + 5));
    copy_cell(stack::at(slot + 2), stack::at(slot + 1));
    copy_cell(&next, stack::at(slot + 2));
    if (set && last && value_in_cell_q(TYPE_OF(stack::at(slot + 1)))) {
      // stack slot+1 holds the changed parent now.
      Cell changed = *stack::at(slot + 1);
      int32_t level = static_cast<int32_t>(k) - 1;
      for (;;) {
        if (level == 0) {
          _context::set_word(chain[1].get(), &changed);
          break;
        }
        Cell* container = chain[2 * (level - 1)].get();
        store_through_path(container, *chain[2 * level + 1], changed, slot, level);
        if (!value_in_cell_q(TYPE_OF(container))) break;
        changed = *container;
        --level;
      }
    } else if (set && !last) {
      chain.emplace_back(next);
      chain.emplace_back(*stack::at(slot + 3));
    }
    copy_cell(stack::at(slot + 3), stack::at(slot + 4));
    if (!set && !get && path_function_q(&next)) {
      Cell fn = next;
      stack::drop_cells(stack::top_index() - (slot + 1));
      CallSite site{code, &element, stack::at(slot), k + 1};
      Cell name = element;
      if (TYPE_OF(&name) != TYPE_WORD) name = *word_cell(words::WORD_ANON);
      site.name = &name;
      pos = evaluate_call(fn, site, pos, false);
      return end_path_call(slot, head + length, pos);
    }
  }
  Cell result = *stack::at(slot + 2);
  if (set && new_value) result = *new_value;
  if (trace::on()) {
    Cell path = *stack::at(slot);
    trace::event(trace::EV_EXIT, &path, head + length, &result);
  }
  stack::drop_cells(stack::top_index() - slot);
  stack::push_copy(&result);
  return pos;
}

}  // namespace

bool set_field_quietly(const Cell* path, const Cell* value) {
  const Cell* cells = nullptr;
  uint32_t count = 0;
  const Cell* object = first_word_value(path, &cells, &count);
  return object && TYPE_OF(object) == TYPE_OBJECT && object_field_path(cells, count, object, true, false, value);
}

const Cell* path_field_number(const Cell* path) {
  const Cell* cells = nullptr;
  uint32_t count = 0;
  const Cell* object = first_word_value(path, &cells, &count);
  if (!object || TYPE_OF(object) != TYPE_OBJECT) return nullptr;
  uint32_t at = 0;
  const Cell* slot = field_slot(cells, count, object, &at);
  return slot && number_type_q(TYPE_OF(slot)) ? slot : nullptr;
}

// Evaluates a path: pushes its value (or the result of the call it ends in).
// In set mode the new value is stored at the last element; when the value
// changed lives in a cell (a time's minute), the changed copy is stored back
// level by level up to the first container that is not such a value (a
// block, an object) or to the path's word.
//
// Tracing off, a path whose first word's value is an object! or a function
// may take a shorter way first: a field of the object (object_field_path),
// a call of the function by the word-call route (path_word_call). The walk
// takes the rest.
uint32_t evaluate_path(const Cell* path_value, const Cell* code, uint32_t pos, bool set, bool get,
                       const Cell* new_value) {
  if (!trace::on()) {
    const Cell* cells = nullptr;
    uint32_t count = 0;
    const Cell* value = first_word_value(path_value, &cells, &count);
    if (value && TYPE_OF(value) == TYPE_OBJECT) {
      if (object_field_path(cells, count, value, set, get, new_value)) return pos;
    } else if (value && !set && !get && g_resolved && callable_q(TYPE_OF(value))) {
      const uint32_t tail = path_value->data1 + count;
      if (const uint32_t after = path_word_call(code, path_value, *cells, *value, tail, pos)) return after;
    }
  }
  return walk_path(path_value, code, pos, set, get, new_value);
}

}  // namespace kiv::interpreter::internal
