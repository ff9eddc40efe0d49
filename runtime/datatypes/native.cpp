#include "runtime/datatypes/native.h"

#include <string_view>
#include <vector>

#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/actions.h"
#include "runtime/datatypes/argument_list.h"
#include "runtime/datatypes/native_abi.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/words.h"

namespace kiv {
namespace {

constexpr uint32_t kAuxCells = 2;

int32_t write_fixed(Cell* buffer, std::string_view text, int32_t limit) {
  string::append_text(buffer, text);
  return limit - static_cast<int32_t>(text.size());
}

// Molds the spec block of a function-kind value with its brackets.
int32_t mold_spec(const Cell* fn, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
                  int32_t indent) {
  Cell spec{TYPE_BLOCK, 0, native::spec_node(fn), 0};
  return dispatch_mold(&spec, buffer, flags, part, limit, indent);
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
  HeldPtr<Cell> cells = b->head_cell();
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

namespace {

// The values start-up made, by entry index (a header of 0: none).
Cell g_builtin_natives[kNativeTableSize + 1];
Cell g_builtin_actions[kActionCount + 1];
bool g_builtins_made = false;

void mark_builtins() {
  for (Cell& c : g_builtin_natives)
    if (c.header) collector::mark_cell(&c);
  for (Cell& c : g_builtin_actions)
    if (c.header) collector::mark_cell(&c);
}

const Cell* builtin_of(uint32_t type, uint32_t index) {
  const Cell* c = type == TYPE_NATIVE ? (index <= kNativeTableSize ? &g_builtin_natives[index] : nullptr)
                                      : (index <= kActionCount ? &g_builtin_actions[index] : nullptr);
  return c && c->header ? c : nullptr;
}

// The entries of an argument list that say what a call fetches: every one
// but the return type and the final refinement count (which is all an extra
// refinement changes).
std::vector<Cell> fetched_entries(uint32_t list) {
  std::vector<Cell> out;
  uint32_t n = series_length(list);
  for (uint32_t i = 0; i < n; ++i) {
    Cell e = series_head_cell(list)[i];
    if (TYPE_OF(&e) == TYPE_INTEGER && i + 1 == n) break;
    if (TYPE_OF(&e) == TYPE_TYPESET && ((e.header & interpreter::kArgKindMask) >> interpreter::kArgKindShift) ==
                                           interpreter::kArgReturn)
      continue;
    out.push_back(e);
  }
  return out;
}

bool typeset_within(const Cell& inner, const Cell& outer) {
  const uint8_t* a = reinterpret_cast<const uint8_t*>(&inner.data1);
  const uint8_t* b = reinterpret_cast<const uint8_t*>(&outer.data1);
  for (int i = 0; i < 12; ++i)
    if (a[i] & ~b[i]) return false;
  return true;
}

// Whether the entry written for `original` can take the arguments `made`
// fetches (see make in native.h).
bool entry_takes(uint32_t type, const Cell* made, const Cell* original) {
  uint32_t m_list = interpreter::argument_list(made);
  uint32_t o_list = interpreter::argument_list(original);
  std::vector<Cell> m = fetched_entries(m_list);
  std::vector<Cell> o = fetched_entries(o_list);
  if (m.size() < o.size()) return false;
  for (size_t i = 0; i < o.size(); ++i) {
    if (TYPE_OF(&m[i]) != TYPE_OF(&o[i])) return false;
    if (TYPE_OF(&o[i]) != TYPE_TYPESET) continue;
    if ((m[i].header & interpreter::kArgKindMask) != (o[i].header & interpreter::kArgKindMask)) return false;
    if (type == TYPE_NATIVE && !typeset_within(m[i], o[i])) return false;
  }
  // Anything more comes behind a refinement of its own.
  return m.size() == o.size() || TYPE_OF(&m[o.size()]) == TYPE_REFINEMENT;
}

}  // namespace

void remember_builtin(const Cell* value) {
  collector::register_mark_callback(mark_builtins);  // once: a second registration is ignored
  uint32_t index = entry_index(value);
  Cell* slot = TYPE_OF(value) == TYPE_NATIVE ? (index <= kNativeTableSize ? &g_builtin_natives[index] : nullptr)
                                             : (index <= kActionCount ? &g_builtin_actions[index] : nullptr);
  if (slot) *slot = *value;
  g_builtins_made = true;
}

bool entry_accepts_q(const Cell* made) {
  uint32_t type = TYPE_OF(made);
  const Cell* original = builtin_of(type, entry_index(made));
  return original ? entry_takes(type, made, original) : !g_builtins_made;
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
  // Once start-up has made its values, an entry it made none for (one not
  // built, or an internal action slot) has no arguments anyone knows.
  const Cell* original = builtin_of(target, index.data2);
  if (original ? !entry_takes(target, out, original) : g_builtins_made) fire_bad_make_arg(spec, target);
  *spec = *out;
  stack::drop_cells(1);
  return spec;
}

int32_t form(Cell*, Cell* buffer, Cell*, int32_t limit) { return write_fixed(buffer, "?native?", limit); }

int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent) {
  limit = write_fixed(buffer, "make native! [", limit);
  limit = mold_spec(value, buffer, flags, part, limit, indent);
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
  datatype::register_type(TYPE_NATIVE, 0, "native!",
                          {own<ACT_MAKE>(make), own<ACT_REFLECT>(reflect), own<ACT_FORM>(form),
                           own<ACT_MOLD>(mold), own<ACT_COMPARE>(compare)});
}

}  // namespace native

namespace action {

int32_t form(Cell*, Cell* buffer, Cell*, int32_t limit) { return write_fixed(buffer, "?action?", limit); }

int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent) {
  limit = write_fixed(buffer, "make action! [", limit);
  limit = mold_spec(value, buffer, flags, part, limit, indent);
  return write_fixed(buffer, "]", limit);
}

void init() {
  datatype::register_type(TYPE_ACTION, TYPE_NATIVE, "action!",
                          {own<ACT_FORM>(form), own<ACT_MOLD>(mold)});
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
    HeldPtr<const Cell> v = series_head_cell(spec) + i;
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

bool spec_valid_q(uint32_t spec) { return valid_op_spec(spec); }

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

int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent) {
  bool function = op_source_type(value) == TYPE_FUNCTION;
  limit = write_fixed(buffer, function ? "make op! func " : "make op! [", limit);
  stack::FrameGuard guard;
  stack::open_frame(words::cell_of(words::WORD_ANON), stack::FRAME_CALL);
  limit = mold_spec(value, buffer, flags, part, limit, indent);
  stack::pop_frame_drop();
  if (function) {
    Cell body = *function::aux_cell(value, function::kAuxBody);
    if (TYPE_OF(&body) == TYPE_BLOCK) return dispatch_mold(&body, buffer, flags.nested(), part, limit, indent);
    return write_fixed(buffer, " none", limit);
  }
  return write_fixed(buffer, "]", limit);
}

void init() {
  datatype::register_type(TYPE_OP, TYPE_NATIVE, "op!",
                          {own<ACT_MAKE>(make), own<ACT_FORM>(form), own<ACT_MOLD>(mold)});
}

}  // namespace op
}  // namespace kiv
