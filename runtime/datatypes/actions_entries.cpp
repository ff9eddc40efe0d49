// The entry points of the action table.
//
// Simple entries look the handler up by the first argument's type and call
// it with no arguments: it reads the argument stack and writes the base cell.
// Converting entries turn each refinement position into a flag and a cell
// pointer (base + position), call the typed dispatcher, and copy its result
// into the base cell.
#include <cmath>

#include "runtime/datatypes/block.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/map.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/series_common.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/string_actions.h"
#include "runtime/datatypes/word.h"
#include "runtime/datatypes/actions.h"
#include "runtime/hashtable.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/words.h"

namespace kiv {

ActionEntry action_table[kActionCount + 1];

namespace {

Cell* arg(int32_t position) { return stack::arguments() + position; }
bool flag(const int32_t* refs, int i) { return refs[i] >= 0; }
Cell* ref_arg(const int32_t* refs, int i) { return refs[i] >= 0 ? arg(refs[i]) : nullptr; }
void result(const Cell* value) { stack::set_last(value); }

// True when none of the first N refinements is used (every position is
// negative, so their AND is): the options are then the defaults, with
// nothing to decode.
template <size_t N>
[[gnu::always_inline]] inline bool none_refined(const int32_t* refs) {
  int32_t all = -1;
#pragma GCC unroll 16
  for (size_t i = 0; i < N; ++i) all &= refs[i];
  return all < 0;
}

// find and select with no refinement.
constexpr FindOptions kPlainFind{};

// integer!'s add, subtract and multiply of two integer! values whose result
// fits in 32 bits, as its math handler answers them: word 2 of the first
// argument takes the result, its header stays. False leaves everything to
// the handler (another type, an overflow to float!).
template <uint32_t A>
[[gnu::always_inline]] inline bool integer_math_quick() {
  if constexpr (A == ACT_ADD || A == ACT_SUBTRACT || A == ACT_MULTIPLY) {
    Cell* left = arg(0);
    if (TYPE_OF(left) != TYPE_INTEGER || TYPE_OF(left + 1) != TYPE_INTEGER) return false;
    constexpr int32_t op = A == ACT_ADD ? OP_ADD : A == ACT_SUBTRACT ? OP_SUBTRACT : OP_MULTIPLY;
    const int64_t wide = integer::exact_op(op, integer::get(left), integer::get(left + 1));
    if (!integer::fits_q(wide)) return false;
    left->data2 = static_cast<uint32_t>(static_cast<int32_t>(wide));
    return true;
  } else {
    return false;
  }
}

template <uint32_t A>
void simple_entry(const int32_t*) {
  if (integer_math_quick<A>()) return;
  // The registered handler of a type other than port! read in line; the
  // rest (a port's actor, an unsupported type's error) by the full lookup.
  const uint32_t type = TYPE_OF(arg(0));
  if (type != TYPE_PORT && type < kTypeTableSize) {
    if (Handler h = type_handler(type, A)) return handler_as<A>(h)();
  }
  handler_as<A>(get_argument_action_handler(A))();
}

// The types whose values hold a head index (word 1) and a buffer (word 2)
// that /part may count in.
bool part_series_q(uint32_t type) { return series::series_type_q(type) || type == TYPE_MAP; }

// The head index of a series value clamped to its buffer's tail.
int32_t clamped_index(const Cell* series) {
  int32_t index = static_cast<int32_t>(series->data1);
  int32_t length = static_cast<int32_t>(series_length(series->data2));
  return index < 0 ? 0 : (index > length ? length : index);
}

// An integer! or float! count (a float is truncated toward zero).
bool number_count(const Cell* c, int32_t* out) {
  if (TYPE_OF(c) == TYPE_INTEGER) {
    *out = integer::get(c);
    return true;
  }
  if (TYPE_OF(c) == TYPE_FLOAT || TYPE_OF(c) == TYPE_PERCENT) {
    double d = cell_float(c);
    *out = std::isnan(d) ? INT32_MIN : float_::truncate_saturated<int32_t>(d);
    return true;
  }
  return false;
}

[[noreturn]] void fire_invalid_part_refine(const Cell* part) {
  fire(ErrorCategory::kScript, "invalid-refine-arg", *words::cell_of(words::REF_PART), *part);
}

// The count a /part position stands for: its index less the value's index,
// both clamped to their tails. The position must be in the value's own
// series: the same type and buffer.
int32_t part_position_count(const Cell* value, const Cell* part) {
  if (TYPE_OF(part) != TYPE_OF(value) || part->data2 != value->data2 || TYPE_OF(value) == TYPE_PORT)
    fire_invalid_part_refine(part);
  return clamped_index(part) - clamped_index(value);
}

// A /dup count; absent is 1.
int32_t dup_count(const int32_t* refs, int i) {
  Cell* c = ref_arg(refs, i);
  if (!c) return 1;
  int32_t n = 1;
  number_count(c, &n);
  return n;
}

// append and insert: /part counts in the inserted value's own series.
void insert_entry(const int32_t* refs, bool append) {
  Cell* series = arg(0);
  Cell* value = arg(1);
  int32_t part = -1;
  if (Cell* p = ref_arg(refs, 0)) {
    if (!part_series_q(TYPE_OF(value)) || value->data2 == 0)
      fire(ErrorCategory::kScript, "invalid-part", *p);
    int32_t count;
    if (!number_count(p, &count)) count = part_position_count(value, p);
    int32_t index = clamped_index(value);
    if (count == 0 || (count < 0 && index == 0)) return;  // the series, unchanged
    if (count < 0) {
      // Insert the values before the value's index.
      int32_t from = index + count < 0 ? 0 : index + count;
      count = index - from;
      value->data1 = static_cast<uint32_t>(from);
    }
    part = count;
  }
  int32_t dup = dup_count(refs, 2);
  if (dup < 1) return;
  bool only = flag(refs, 1);
  result(append ? dispatch_append(series, value, part, only, dup)
                : dispatch_insert(series, value, part, only, dup));
}

// form and mold: a new string is the output; /part below 1 gives an empty
// string at once, otherwise the output is cut to the limit.
Cell* open_output(const int32_t* refs, int part_ref, int32_t* limit, Cell** part) {
  *part = ref_arg(refs, part_ref);
  *limit = kNoPartLimit;
  if (*part) {
    int32_t n = 0;
    if (!number_count(*part, &n)) n = 0;
    *limit = n;
  }
  Cell* out = stack::push_new_cell();
  string::init_cell(out, 0);
  return out;
}
void close_output(Cell* out, int32_t limit) {
  if (limit != kNoPartLimit) string::limit_tail(string::node_of(out), limit);
  result(out);
}

void make_entry(const int32_t*) { result(dispatch_make(arg(0), arg(1))); }
void random_entry(const int32_t* refs) {
  result(dispatch_random(arg(0), flag(refs, 0), flag(refs, 1), flag(refs, 2)));
}
void reflect_entry(const int32_t*) { result(dispatch_reflect(arg(0), arg(1))); }
void to_entry(const int32_t*) { result(dispatch_to(arg(0), arg(1))); }

void form_entry(const int32_t* refs) {
  Cell* part;
  int32_t limit;
  Cell* out = open_output(refs, 0, &limit, &part);
  if (limit >= 1) dispatch_form(arg(0), out, part, limit);
  close_output(out, limit < 1 ? 0 : limit);
}

void mold_entry(const int32_t* refs) {
  Cell* part;
  int32_t limit;
  Cell* out = open_output(refs, 3, &limit, &part);
  if (limit >= 1)
    dispatch_mold(arg(0), out, {.only = flag(refs, 0), .all = flag(refs, 1), .flat = flag(refs, 2)}, part, limit, 0);
  close_output(out, limit < 1 ? 0 : limit);
}

// refs[0] is the set flag: the new value is the third argument.
void eval_path_entry(const int32_t* refs) {
  bool set = refs && refs[0] >= 0;
  result(dispatch_eval_path(arg(0), arg(1), set ? arg(2) : nullptr, nullptr, nullptr, nullptr, -1,
                            {.tail = true}));
}

// value1, value2 and the op code as an integer!.
void compare_entry(const int32_t*) {
  Cell* base = arg(0);
  bool truth = actions::compare(base, base + 1, integer::get(base + 2));
  logic::init_cell(base, truth);
}

void negate_entry(const int32_t*) { result(dispatch_negate(arg(0))); }
void round_entry(const int32_t* refs) {
  result(dispatch_round(arg(0), ref_arg(refs, 0), {.even = flag(refs, 1), .down = flag(refs, 2), .half_down = flag(refs, 3), .floor = flag(refs, 4), .ceiling = flag(refs, 5), .half_ceiling = flag(refs, 6)}));
}
void even_q_entry(const int32_t*) { logic::init_cell(arg(0), dispatch_even_q(arg(0)) != 0); }
void odd_q_entry(const int32_t*) { logic::init_cell(arg(0), dispatch_odd_q(arg(0)) != 0); }
void complement_entry(const int32_t*) { result(dispatch_complement(arg(0))); }
void append_entry(const int32_t* refs) {
  // One value, no refinement, onto a block!: block::insert's quick case
  // without the dispatch.
  if (TYPE_OF(arg(0)) == TYPE_BLOCK && refs[0] < 0 && refs[1] < 0 && refs[2] < 0 &&
      block::append_quick(arg(0), arg(1))) {
    result(arg(0));
    return;
  }
  // The same onto a string!: string::insert's quick case.
  if (TYPE_OF(arg(0)) == TYPE_STRING && refs[0] < 0 && refs[1] < 0 && refs[2] < 0 &&
      string::append_quick(arg(0), arg(1))) {
    result(arg(0));
    return;
  }
  insert_entry(refs, true);
}
void insert_action_entry(const int32_t* refs) { insert_entry(refs, false); }

// change: /part counts in the changed series itself.
void change_entry(const int32_t* refs) {
  Cell* series = arg(0);
  int32_t part = -1;
  if (Cell* p = ref_arg(refs, 0)) {
    int32_t count;
    if (!number_count(p, &count)) {
      if (TYPE_OF(p) != TYPE_OF(series) || p->data2 != series->data2 || !part_series_q(TYPE_OF(p)))
        fire_invalid_part_refine(p);
      count = clamped_index(p) - clamped_index(series);
    }
    if (count < 0) {
      if (part_series_q(TYPE_OF(series)) && series->data2 != 0) {
        // Change the values between the new and the old index.
        int32_t index = clamped_index(series);
        int32_t from = index + count < 0 ? 0 : index + count;
        count = index - from;
        series->data1 = static_cast<uint32_t>(from);
      } else {
        count = 0;
      }
    }
    part = count;
  }
  int32_t dup = dup_count(refs, 2);
  if (dup < 1) return;
  result(dispatch_change(series, arg(1), part, flag(refs, 1), dup));
}

void clear_entry(const int32_t*) { result(dispatch_clear(arg(0))); }

void copy_entry(const int32_t* refs) {
  Cell* types = ref_arg(refs, 2);
  if (types && TYPE_OF(types) != TYPE_DATATYPE && TYPE_OF(types) != TYPE_TYPESET) {
    Cell word;
    stack::calling_word(&word);
    Cell type;
    type = Cell{TYPE_DATATYPE, TYPE_OF(types), 0, 0};
    fire(ErrorCategory::kScript, "expect-arg", word, type, word::load("kind"));
  }
  Cell* destination = stack::push_new_cell();
  result(dispatch_copy(arg(0), destination, ref_arg(refs, 0), flag(refs, 1), types));
}

void find_entry(const int32_t* refs) {
  if (none_refined<11>(refs)) return result(dispatch_find(arg(0), arg(1), kPlainFind));
  result(dispatch_find(arg(0), arg(1), {.part = ref_arg(refs, 0), .only = flag(refs, 1), .case_sensitive = flag(refs, 2), .same = flag(refs, 3), .any = flag(refs, 4), .with = ref_arg(refs, 5), .skip = ref_arg(refs, 6), .last = flag(refs, 7), .reverse = flag(refs, 8), .tail = flag(refs, 9), .match = flag(refs, 10)}));
}

void length_q_entry(const int32_t*) {
  int32_t n = dispatch_length_q(arg(0));
  if (n == -1) result(&none_value);
  else integer::init_cell(arg(0), n);
}

void move_entry(const int32_t* refs) { result(dispatch_move(arg(0), arg(1), ref_arg(refs, 0))); }

// pick and poke also receive the index as an integer: true 1, false 2, a
// char! its code point, an integer! its value, anything else 0.
int32_t index_as_integer(const Cell* index) {
  switch (TYPE_OF(index)) {
    case TYPE_LOGIC:
      return logic::get(index) ? 1 : 2;
    case TYPE_CHAR:
    case TYPE_INTEGER:
      return static_cast<int32_t>(index->data2);
    default:
      return 0;
  }
}

void pick_entry(const int32_t*) {
  if (TYPE_OF(arg(0)) == TYPE_BLOCK && TYPE_OF(arg(1)) == TYPE_INTEGER) {
    // The series handler's answer for a block, without the dispatch.
    Cell picked = block::pick_at(arg(0), index_as_integer(arg(1)));
    result(&picked);
    return;
  }
  result(dispatch_pick(arg(0), index_as_integer(arg(1)), arg(1)));
}

void poke_entry(const int32_t*) {
  dispatch_poke(arg(0), index_as_integer(arg(1)), arg(2), arg(1));
  result(arg(2));
}

void put_entry(const int32_t* refs) {
  if (TYPE_OF(arg(0)) == TYPE_MAP) {
    // map!'s handler without the dispatch.
    result(map::put(arg(0), arg(1), arg(2), flag(refs, 0)));
    return;
  }
  result(dispatch_put(arg(0), arg(1), arg(2), flag(refs, 0)));
}
void remove_entry(const int32_t* refs) {
  result(dispatch_remove(arg(0), ref_arg(refs, 0), ref_arg(refs, 1)));
}
void reverse_entry(const int32_t* refs) {
  result(dispatch_reverse(arg(0), ref_arg(refs, 0), ref_arg(refs, 1)));
}
void select_entry(const int32_t* refs) {
  if (TYPE_OF(arg(0)) == TYPE_MAP) {
    // map!'s handler, which reads only /case and /same, without the
    // dispatch; its answer is written over the base cell.
    map::select_in_place(arg(0), arg(1), map::find_op(flag(refs, 2), flag(refs, 3)));
    return;
  }
  if (none_refined<9>(refs)) return result(dispatch_select(arg(0), arg(1), kPlainFind));
  result(dispatch_select(arg(0), arg(1), {.part = ref_arg(refs, 0), .only = flag(refs, 1), .case_sensitive = flag(refs, 2), .same = flag(refs, 3), .any = flag(refs, 4), .with = ref_arg(refs, 5), .skip = ref_arg(refs, 6), .last = flag(refs, 7), .reverse = flag(refs, 8)}));
}
void sort_entry(const int32_t* refs) {
  result(dispatch_sort(arg(0), {.case_sensitive = flag(refs, 0), .skip = ref_arg(refs, 1), .comparator = ref_arg(refs, 2), .part = ref_arg(refs, 3), .all = flag(refs, 4), .reverse = flag(refs, 5), .stable = flag(refs, 6)}));
}
void swap_entry(const int32_t*) { result(dispatch_swap(arg(0), arg(1))); }
void take_entry(const int32_t* refs) {
  result(dispatch_take(arg(0), ref_arg(refs, 0), flag(refs, 1), flag(refs, 2)));
}
void trim_entry(const int32_t* refs) {
  result(dispatch_trim(arg(0), {.head = flag(refs, 0), .tail = flag(refs, 1), .auto_ = flag(refs, 2), .lines = flag(refs, 3), .all = flag(refs, 4), .with = ref_arg(refs, 5)}));
}
void create_entry(const int32_t*) { result(dispatch_create(arg(0))); }
void close_entry(const int32_t*) { result(dispatch_close(arg(0))); }
void delete_entry(const int32_t*) { result(dispatch_delete(arg(0))); }
void modify_entry(const int32_t* refs) {
  dispatch_modify(arg(0), arg(1), arg(2), flag(refs, 0));
  // The target itself is the result.
}
void open_entry(const int32_t* refs) {
  result(dispatch_open(arg(0), flag(refs, 0), flag(refs, 1), flag(refs, 2), flag(refs, 3),
                       ref_arg(refs, 4)));
}
void open_q_entry(const int32_t*) { result(dispatch_open_q(arg(0))); }
void query_entry(const int32_t*) { result(dispatch_query(arg(0))); }
void read_entry(const int32_t* refs) {
  result(dispatch_read(arg(0), ref_arg(refs, 0), ref_arg(refs, 1), flag(refs, 2), flag(refs, 3),
                       flag(refs, 4), ref_arg(refs, 5)));
}
void rename_entry(const int32_t*) { result(dispatch_rename(arg(0), arg(1))); }
void update_entry(const int32_t*) { result(dispatch_update(arg(0))); }
void write_entry(const int32_t* refs) {
  result(dispatch_write(arg(0), arg(1), flag(refs, 0), flag(refs, 1), flag(refs, 2), flag(refs, 3),
                        ref_arg(refs, 4), ref_arg(refs, 5), ref_arg(refs, 6), ref_arg(refs, 7)));
}

// The form routine of the runtime support (form_to_string): forms into the
// string series of the node.
int32_t form_into_node(const Cell* value, uint32_t string_node, int32_t limit) {
  Cell v = *value;
  Cell buffer{TYPE_STRING, 0, string_node, 0};
  return dispatch_form(&v, &buffer, nullptr, limit > 0 ? limit : kNoPartLimit);
}

// The compare routine of every hash table made without one of its own (a
// hash! from take or a set operation, the index rebuilt after a change): the
// compare action of the values' type, so a table meets the keys find meets.
// Identity never holds across types.
int32_t hash_table_compare(const Cell* a, const Cell* b, int32_t op) {
  if (op == COMP_SAME && TYPE_OF(a) != TYPE_OF(b)) return 1;
  Cell x = *a, y = *b;
  return dispatch_compare(&x, &y, op);
}

}  // namespace

void actions_init() {
  static const ActionEntry entries[kActionCount] = {
#define KIV_ACTION(name, word, sig, entry, ...) entry,
#include "runtime/datatypes/actions.def"
#undef KIV_ACTION
  };

  action_table[0] = nullptr;
  for (uint32_t k = 1; k <= kActionCount; ++k) action_table[k] = entries[k - 1];
  set_form_handler(form_into_node);
  set_hash_compare(hash_table_compare);
}

}  // namespace kiv
