#include "runtime/datatypes/native.h"

#include <string_view>

#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/eval/actions.h"
#include "runtime/eval/natives.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/words.h"

namespace kiv {
namespace {

constexpr uint32_t kAuxCells = 2;

// A row with every slot unsupported; the caller fills its own entries.
struct Row {
  HandlerEntry entries[kActionCount];
  Row() {
    for (uint32_t k = 1; k <= kActionCount; ++k) entries[k - 1] = HandlerEntry{nullptr, k, HandlerEntry::kUnsupported};
  }
  void set(const HandlerEntry& e) { entries[e.slot - 1] = e; }
  void inherit(uint32_t slot) { entries[slot - 1] = HandlerEntry{nullptr, slot, HandlerEntry::kInherited}; }
};

int32_t write_fixed(Cell* buffer, std::string_view text, int32_t limit) {
  string::append_text(buffer, text);
  return limit - static_cast<int32_t>(text.size());
}

// Molds the spec block of a function-kind value with its brackets.
int32_t mold_spec(const Cell* fn, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
                  int32_t indent) {
  Cell spec{TYPE_BLOCK, 0, native::spec_node(fn), 0};
  return dispatch_mold(&spec, buffer, only, all, flat, part, limit, indent);
}

uint32_t canonical_symbol(const Cell* word) { return symbol::canonical(word->data2); }

bool same_symbol(const Cell* word, words::Id id) {
  const Cell* known = words::cell_of(id);
  uint32_t sym = TYPE_OF(known) == TYPE_UNSET ? words::symbol_of(id) : known->data2;
  return sym != 0 && canonical_symbol(word) == symbol::canonical(sym);
}

}  // namespace

namespace native {

void init_cell(Cell* out, uint32_t type, uint32_t spec, uint32_t index) {
  uint32_t aux = alloc_cells(kAuxCells);
  SeriesBuffer* b = node_buffer(aux);
  Cell* cells = b->head_cell();
  cells[kAuxContext] = Cell{TYPE_NONE, 0, 0, 0};
  cells[kAuxArgumentList] = Cell{TYPE_NONE, 0, 0, 0};
  b->tail = b->head + kAuxCells * sizeof(Cell);
  *out = Cell{type, index, spec, aux};
  // The spec's context: its words are the arguments and refinements; the
  // values live on the argument stack while a call runs.
  Cell spec_block{TYPE_BLOCK, 0, spec, 0};
  uint32_t ctx = _context::from_spec(&spec_block, true, false, kContextFunction);
  node_buffer(aux)->head_cell()[kAuxContext] = Cell{TYPE_CONTEXT, 0, ctx, 0};
}

Cell* make(Cell* type, Cell* spec) {
  uint32_t target = target_type(type);
  if (TYPE_OF(spec) != TYPE_BLOCK || block::rs_length_q(spec) != 2) fire_bad_make_arg(spec, target);
  Cell* head = block::rs_head(spec);
  Cell spec_block = head[0];
  Cell index = head[1];
  uint32_t limit = target == TYPE_NATIVE ? kNativeTableSize : kActionCount;
  if (TYPE_OF(&spec_block) != TYPE_BLOCK || TYPE_OF(&index) != TYPE_INTEGER ||
      static_cast<int32_t>(index.data2) < 1 || index.data2 > limit)
    fire_bad_make_arg(spec, target);
  // The spec block stays reachable through the argument until the new value
  // replaces it, and through the new value afterwards.
  Cell* out = stack::push_copy(&spec_block);
  init_cell(out, target, block::node_of(&spec_block), index.data2);
  *spec = *out;
  stack::drop_cells(1);
  return spec;
}

int32_t form(Cell*, Cell* buffer, Cell*, int32_t limit) { return write_fixed(buffer, "?native?", limit); }

int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent) {
  limit = write_fixed(buffer, "make native! [", limit);
  limit = mold_spec(value, buffer, only, all, flat, part, limit, indent);
  return write_fixed(buffer, "]", limit);
}

int32_t compare(Cell* value1, Cell* value2, int32_t op) {
  if (TYPE_OF(value2) != TYPE_OF(value1) || !equality_or_sort_op(op)) return kNotComparable;
  return three_way(value1->data1, value2->data1);
}

Cell* reflect(Cell* value, Cell* field) {
  bool word = TYPE_OF(field) >= TYPE_WORD && TYPE_OF(field) <= TYPE_REFINEMENT;
  if (word && same_symbol(field, words::SYM_SPEC)) {
    *value = Cell{TYPE_BLOCK, 0, spec_node(value), 0};
    return value;
  }
  if (word && same_symbol(field, words::SYM_BODY)) {
    if (TYPE_OF(value) == TYPE_OP && (op_source_type(value) == TYPE_FUNCTION || op_source_type(value) == TYPE_ROUTINE)) {
      *value = *function::aux_cell(value, function::kAuxBody);
      return value;
    }
    *value = Cell{TYPE_INTEGER, 0, entry_index(value), 0};
    return value;
  }
  fire(ErrorCategory::kInternal, "not-done");
}

void init() {
  Row row;
  row.set(own<ACT_MAKE>(make));
  row.set(own<ACT_REFLECT>(reflect));
  row.set(own<ACT_FORM>(form));
  row.set(own<ACT_MOLD>(mold));
  row.set(own<ACT_COMPARE>(compare));
  datatype::register_type(TYPE_NATIVE, 0, "native!", row.entries, kActionCount);
}

}  // namespace native

namespace action {

int32_t form(Cell*, Cell* buffer, Cell*, int32_t limit) { return write_fixed(buffer, "?action?", limit); }

int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent) {
  limit = write_fixed(buffer, "make action! [", limit);
  limit = mold_spec(value, buffer, only, all, flat, part, limit, indent);
  return write_fixed(buffer, "]", limit);
}

void init() {
  Row row;
  row.set(own<ACT_MAKE>(native::make));
  row.inherit(ACT_REFLECT);
  row.set(own<ACT_FORM>(form));
  row.set(own<ACT_MOLD>(mold));
  row.set(own<ACT_COMPARE>(native::compare));
  datatype::register_type(TYPE_ACTION, TYPE_NATIVE, "action!", row.entries, kActionCount);
}

}  // namespace action

namespace op {

namespace {

// True when the spec describes exactly two arguments, the first a plain
// word, and no refinement other than /local or /extern.
bool valid_op_spec(uint32_t spec) {
  uint32_t count = 0;
  bool plain = false;
  uint32_t length = series_length(spec);
  for (uint32_t i = 0; i < length; ++i) {
    const Cell* v = series_head_cell(spec) + i;
    switch (TYPE_OF(v)) {
      case TYPE_WORD:
        ++count;
        plain = true;
        break;
      case TYPE_LIT_WORD:
      case TYPE_GET_WORD:
        if (!plain) return false;
        ++count;
        break;
      case TYPE_SET_WORD:
        return count == 2;
      case TYPE_REFINEMENT:
        if (same_symbol(v, words::REF_LOCAL) || same_symbol(v, words::REF_EXTERN)) return count == 2;
        return false;
      default:
        break;
    }
  }
  return count == 2;
}

}  // namespace

Cell* make(Cell*, Cell* spec) {
  uint32_t source = TYPE_OF(spec);
  if (source != TYPE_NATIVE && source != TYPE_ACTION && source != TYPE_FUNCTION && source != TYPE_ROUTINE)
    fire(ErrorCategory::kScript, "invalid-type", datatype_cell(source));
  if (!valid_op_spec(native::spec_node(spec))) fire(ErrorCategory::kScript, "bad-op-spec");
  if (source == TYPE_FUNCTION || source == TYPE_ROUTINE) *function::aux_cell(spec, function::kAuxOpSource) = *spec;
  spec->header = (spec->header & ~(kTypeMask | kFlagOpTypeMask)) | TYPE_OP | (source << kFlagOpTypeShift);
  return spec;
}

int32_t form(Cell*, Cell* buffer, Cell*, int32_t limit) { return write_fixed(buffer, "?op?", limit); }

int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent) {
  bool function = op_source_type(value) == TYPE_FUNCTION;
  limit = write_fixed(buffer, function ? "make op! func " : "make op! [", limit);
  stack::FrameGuard guard;
  stack::open_frame(words::cell_of(words::WORD_ANON), stack::FRAME_CALL);
  limit = mold_spec(value, buffer, only, all, flat, part, limit, indent);
  stack::pop_frame_drop();
  if (function) {
    Cell body = *function::aux_cell(value, function::kAuxBody);
    if (TYPE_OF(&body) == TYPE_BLOCK) return dispatch_mold(&body, buffer, false, all, flat, part, limit, indent);
    return write_fixed(buffer, " none", limit);
  }
  return write_fixed(buffer, "]", limit);
}

void init() {
  Row row;
  row.set(own<ACT_MAKE>(make));
  row.inherit(ACT_REFLECT);
  row.set(own<ACT_FORM>(form));
  row.set(own<ACT_MOLD>(mold));
  row.set(own<ACT_COMPARE>(native::compare));
  datatype::register_type(TYPE_OP, TYPE_NATIVE, "op!", row.entries, kActionCount);
}

}  // namespace op
}  // namespace kiv
