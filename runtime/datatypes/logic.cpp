#include "runtime/datatypes/logic.h"

#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/unset.h"
#include "runtime/datatypes/word.h"
#include "runtime/datatypes/actions.h"
#include "runtime/host/random.h"
#include "runtime/language_error.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"

namespace kiv {

Cell true_value{TYPE_LOGIC, 1, 0, 0};
Cell false_value{TYPE_LOGIC, 0, 0, 0};

namespace logic {

Cell* box(bool flag) { return init_cell(stack::arguments(), flag); }
Cell* push(bool flag) { return init_cell(stack::push_new_cell(), flag); }
Cell* at_tail(const Cell* block, bool flag) { return init_cell(alloc_tail(block), flag); }

bool cell_true_q(const Cell* cell, bool check, const Cell* word) {
  if (check && TYPE_OF(cell) == TYPE_UNSET) {
    if (word) fire(ErrorCategory::kScript, "no-value", *word);
    fire(ErrorCategory::kScript, "no-value");
  }
  return !falsy(cell);
}

bool result_true_q() {
  const Cell* r = stack::arguments();
  if (TYPE_OF(r) == TYPE_UNSET) fire(ErrorCategory::kScript, "no-return");
  return !falsy(r);
}

bool result_false_q() { return falsy(stack::arguments()); }

namespace {

const Cell* top_cell() {
  return stack::top_index() > stack::base_index() ? stack::top() - 1 : stack::arguments();
}

}  // namespace

bool top_false_q() { return falsy(top_cell()); }
bool top_true_q() { return !top_false_q(); }

void do_op(int32_t op) {
  Cell* left = stack::arguments();
  Cell* right = left + 1;
  if (TYPE_OF(right) != TYPE_LOGIC) {
    Cell word, type;
    stack::calling_word(&word);
    datatype::init_cell(&type, TYPE_OF(right));
    fire(ErrorCategory::kScript, "expect-arg", word, type, word::load("value2"));
  }
  switch (op) {
    case OP_AND:
      left->data1 &= right->data1;
      break;
    case OP_OR:
      left->data1 |= right->data1;
      break;
    case OP_XOR:
      left->data1 ^= right->data1;
      break;
    default:
      fatal_runtime_error(101);
  }
}

Cell* to(Cell*, Cell* spec) {
  switch (TYPE_OF(spec)) {
    case TYPE_LOGIC:
      return spec;
    case TYPE_NONE:
      return &false_value;
    default:
      return &true_value;
  }
}

Cell* make(Cell* type, Cell* spec) {
  switch (TYPE_OF(spec)) {
    case TYPE_INTEGER:
      return constant(static_cast<int32_t>(spec->data2) != 0);
    case TYPE_FLOAT:
    case TYPE_PERCENT:
      // A NaN is not equal to 0.0, so it gives true.
      return constant(!(cell_float(spec) == 0.0));
    default:
      return to(type, spec);
  }
}

Cell* random(Cell* value, bool seed, bool secure, bool) {
  if (seed) {
    random::seed(get(value));
    return &unset_value;
  }
  // Both sources give 0 .. 0x7FFFFFFF, so each answer is equally likely.
  int32_t r = secure ? random::secure() : random::next();
  return init_cell(value, r > 0x3FFFFFFF);
}

int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) {
  bool t = get(value) != 0;
  string::append_text(buffer, t ? "true" : "false");
  return limit - (t ? 4 : 5);
}

int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit, int32_t) {
  if (!flags.all) return form(value, buffer, part, limit);
  bool t = get(value) != 0;
  string::append_text(buffer, t ? "#(true)" : "#(false)");
  return limit - (t ? 7 : 8);
}

int32_t compare(Cell* value1, Cell* value2, int32_t op) {
  if (TYPE_OF(value2) != TYPE_LOGIC) return kNotComparable;
  if (!equality_or_sort_op(op)) return kNotComparable;
  // false sorts before true
  return static_cast<int32_t>(get(value1)) - static_cast<int32_t>(get(value2));
}

Cell* complement(Cell* value) {
  value->data1 ^= 1;
  return value;
}

namespace {

void and_t() { do_op(OP_AND); }
void or_t() { do_op(OP_OR); }
void xor_t() { do_op(OP_XOR); }

}  // namespace

void init() {
  true_value = Cell{TYPE_LOGIC, 1, 0, 0};
  false_value = Cell{TYPE_LOGIC, 0, 0, 0};
  datatype::register_type(TYPE_LOGIC, 0, "logic!", {
      own<ACT_MAKE>(make), own<ACT_RANDOM>(random), own<ACT_TO>(to), own<ACT_FORM>(form),
      own<ACT_MOLD>(mold), own<ACT_COMPARE>(compare), own<ACT_AND_T>(and_t),
      own<ACT_COMPLEMENT>(complement), own<ACT_OR_T>(or_t), own<ACT_XOR_T>(xor_t),
  });
}

}  // namespace logic
}  // namespace kiv
