#include "runtime/datatypes/typeset.h"

#include <bit>
#include <string>

#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/actions.h"
#include "runtime/language_error.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"

namespace kiv::typeset {

namespace {

// The value a bound word stands for; any other value, and a word bound to
// no context, stands for itself.
Cell resolve(const Cell* value) {
  if (TYPE_OF(value) != TYPE_WORD || value->data1 == 0) return *value;
  return *_context::get_word(value);
}

void merge(Cell* into, const Cell* other) {
  into->data1 |= other->data1;
  into->data2 |= other->data2;
  into->data3 |= other->data3;
}

}  // namespace

Cell* push(const Cell* typeset) { return stack::push_copy(typeset); }

Cell* at_tail(const Cell* block, uint32_t word1, uint32_t word2, uint32_t word3) {
  Cell* c = alloc_tail(block);
  *c = Cell{TYPE_TYPESET, word1, word2, word3};
  return c;
}

Cell* at_tail_default(const Cell* block) {
  Cell all{TYPE_TYPESET, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF};
  clear_bit(&all, TYPE_UNSET);
  return at_tail(block, all.data1, all.data2, all.data3);
}

Cell* at_tail_from_block(const Cell* block, const Cell* spec) {
  Cell result;
  init_cell(&result);
  uint32_t node = spec->data2;
  uint32_t length = series_length(node);
  for (uint32_t i = spec->data1; i < length; ++i) {
    Cell value = resolve(series_head_cell(node) + i);
    switch (TYPE_OF(&value)) {
      case TYPE_DATATYPE:
        set_bit(&result, datatype::named_type(&value));
        break;
      case TYPE_TYPESET:
        merge(&result, &value);
        break;
      case TYPE_WORD:  // a word whose value is a word
        set_bit(&result, TYPE_OBJECT);
        break;
      case TYPE_BLOCK:
        break;
      default:
        fire(ErrorCategory::kScript, "invalid-type-spec", value);
    }
  }
  return at_tail(block, result.data1, result.data2, result.data3);
}

int32_t count(const Cell* typeset) {
  int32_t n = 0;
  for (uint32_t t = 1; t <= highest_type_id && t < kBitCount; ++t) n += has_q(typeset, t) ? 1 : 0;
  return n;
}

void set_type(Cell* typeset, const Cell* value) {
  Cell v = resolve(value);
  switch (TYPE_OF(&v)) {
    case TYPE_TYPESET:
      merge(typeset, &v);
      return;
    case TYPE_DATATYPE:
      set_bit(typeset, datatype::named_type(&v));
      return;
    default:
      fire(ErrorCategory::kScript, "invalid-arg", *value);
  }
}

void to_block(const Cell* typeset, const Cell* block) {
  for (uint32_t t = 1; t <= highest_type_id && t < kBitCount; ++t)
    if (has_q(typeset, t)) datatype::at_tail(block, t);
}

void do_bitwise(int32_t op) {
  Cell* left = stack::arguments();
  Cell right = left[1];
  if (TYPE_OF(&right) == TYPE_DATATYPE) {
    uint32_t type = datatype::named_type(&right);
    init_cell(&right);
    set_bit(&right, type);
  } else if (TYPE_OF(&right) != TYPE_TYPESET) {
    fire(ErrorCategory::kScript, "invalid-arg", right);
  }
  uint32_t* l[] = {&left->data1, &left->data2, &left->data3};
  const uint32_t r[] = {right.data1, right.data2, right.data3};
  for (int i = 0; i < 3; ++i) {
    switch (op) {
      case OP_OR:
      case 9:  // union
        *l[i] |= r[i];
        break;
      case OP_AND:
      case 10:  // intersect
        *l[i] &= r[i];
        break;
      case OP_XOR:
      case 12:  // difference
        *l[i] ^= r[i];
        break;
      case 11:  // exclude
        *l[i] &= ~r[i];
        break;
      default:
        fatal_runtime_error(101);
    }
  }
  left->header = TYPE_TYPESET;
}

int32_t form_body(const Cell* typeset, Cell* buffer, bool only, int32_t limit) {
  std::string text = only ? "" : "make typeset! [";
  size_t prefix = text.size();
  for (uint32_t t = 1; t <= highest_type_id && t < kBitCount; ++t) {
    if (static_cast<int64_t>(text.size()) >= limit) break;  // the /part limit is used up
    if (!has_q(typeset, t) || !type_name_table[t].name) continue;
    text += type_name_table[t].name;
    text += ' ';
  }
  bool trailing_space = text.size() > prefix && text.back() == ' ';
  if (only) {
    if (trailing_space) text.pop_back();
  } else if (trailing_space) {
    text.back() = ']';
  } else {
    text += ']';
  }
  string::append_text(buffer, text);
  return limit - static_cast<int32_t>(text.size());
}

Cell* make(Cell* type, Cell* spec) {
  switch (TYPE_OF(spec)) {
    case TYPE_TYPESET:
      *type = *spec;
      return type;
    case TYPE_BLOCK: {
      Cell result;
      init_cell(&result);
      uint32_t node = spec->data2;
      for (uint32_t i = spec->data1; i < series_length(node); ++i) {
        Cell value = series_head_cell(node)[i];
        set_type(&result, &value);
      }
      *type = result;
      return type;
    }
    default:
      fire(ErrorCategory::kScript, "bad-to-arg", datatype_cell(TYPE_TYPESET), *spec);
  }
}

int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) {
  return form_body(value, buffer, false, limit);
}

int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell*, int32_t limit, int32_t) {
  return form_body(value, buffer, flags.only, limit);
}

int32_t compare(Cell* value1, Cell* value2, int32_t op) {
  if (TYPE_OF(value2) != TYPE_TYPESET) return kNotComparable;
  switch (op) {
    case COMP_EQUAL:
    case COMP_NOT_EQUAL:
    case COMP_STRICT_EQUAL:
    case COMP_SAME:
    case COMP_FIND:
      return value1->data1 == value2->data1 && value1->data2 == value2->data2 &&
                     value1->data3 == value2->data3
                 ? 0
                 : 1;
    case COMP_SORT:
    case COMP_CASE_SORT:
      return three_way(count(value1), count(value2));
    default:
      return kNotComparable;
  }
}

Cell* complement(Cell* value) {
  value->data1 = ~value->data1;
  value->data2 = ~value->data2;
  value->data3 = ~value->data3;
  return value;
}

namespace {

Cell* find(Cell* series, Cell* value, const FindOptions&) {
  if (TYPE_OF(value) != TYPE_DATATYPE) fire(ErrorCategory::kScript, "invalid-arg", *value);
  return logic::constant(has_q(series, datatype::named_type(value)));
}

void and_t() { do_bitwise(OP_AND); }
void or_t() { do_bitwise(OP_OR); }
void xor_t() { do_bitwise(OP_XOR); }

}  // namespace

void init() {
  datatype::register_type(TYPE_TYPESET, 0, "typeset!", {
      own<ACT_MAKE>(make), own<ACT_TO>(make), own<ACT_FORM>(form), own<ACT_MOLD>(mold),
      own<ACT_COMPARE>(compare), own<ACT_AND_T>(and_t), own<ACT_COMPLEMENT>(complement),
      own<ACT_OR_T>(or_t), own<ACT_XOR_T>(xor_t), own<ACT_FIND>(find),
  });
}

}  // namespace kiv::typeset
