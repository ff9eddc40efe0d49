#include "runtime/eval/natives.h"

#include "runtime/datatypes/block.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/actions.h"
#include "runtime/eval/natives_control.h"
#include "runtime/eval/trace.h"
#include "runtime/language_error.h"
#include "runtime/stack.h"
#include "runtime/support.h"

namespace kiv {

NativeEntry native_table[kNativeTableSize + 1];

namespace {

uint32_t next_native_index = 1;
uint32_t scratch_node = 0;

}  // namespace

uint32_t print_scratch_block() { return scratch_node; }

void register_natives(uint32_t count, const NativeEntry* list) {
  for (uint32_t i = 0; i < count && next_native_index <= kNativeTableSize; ++i)
    native_table[next_native_index++] = list[i];
}

void call_native(uint32_t index, int32_t check, const int32_t* refinements) {
  NativeEntry entry = (index >= 1 && index <= kNativeTableSize) ? native_table[index] : nullptr;
  if (!entry) entry = natives::not_yet_available;
  run_entry([&] { entry(check, refinements); });
}

void raise_no_memory() { fire(ErrorCategory::kInternal, "no-memory"); }

namespace natives {

void not_yet_available(int32_t, const int32_t*) { fire(ErrorCategory::kInternal, "not-done"); }

// The comparison natives: compare-to-logic with their op code.
void equal_q(int32_t, const int32_t*) { compare_to_logic(COMP_EQUAL); }
void not_equal_q(int32_t, const int32_t*) { compare_to_logic(COMP_NOT_EQUAL); }
void strict_equal_q(int32_t, const int32_t*) { compare_to_logic(COMP_STRICT_EQUAL); }
void lesser_q(int32_t, const int32_t*) { compare_to_logic(COMP_LESSER); }
void greater_q(int32_t, const int32_t*) { compare_to_logic(COMP_GREATER); }
void lesser_or_equal_q(int32_t, const int32_t*) { compare_to_logic(COMP_LESSER_EQUAL); }
void greater_or_equal_q(int32_t, const int32_t*) { compare_to_logic(COMP_GREATER_EQUAL); }

// true for none and false (unset counts as truthy here), false otherwise.
void not_(int32_t, const int32_t*) {
  Cell* base = stack::arguments();
  logic::init_cell(base, logic::falsy(base));
}

// The value's datatype!, or with /word the word of its type's name.
void type_q(int32_t, const int32_t* refinements) {
  Cell* base = stack::arguments();
  uint32_t type = TYPE_OF(base);
  if (refinements && refinements[0] >= 0) {
    const Cell& word = type_name_table[type].word;
    // The words of the type names exist once start-up has run the name pass.
    if (word.header == 0) fire(ErrorCategory::kInternal, "not-done");
    *base = word;
    return;
  }
  datatype::init_cell(base, type);
}

}  // namespace natives

void natives_init() {
  static constexpr NativeEntry kEntries[kNativeCount] = {
#define KIV_NATIVE(name, word, arguments, refinements, entry) natives::entry,
#include "runtime/datatypes/natives.def"
#undef KIV_NATIVE
  };
  // print reduces its block argument into this block (kept in the root
  // block for the life of the process).
  if (scratch_node == 0) scratch_node = block::node_of(block::make_at_root(kPrintScratchCells));
  for (auto& slot : native_table) slot = nullptr;
  next_native_index = 1;
  register_natives(kNativeCount, kEntries);
  natives::set_do_trace_runner(trace::run);  // do/trace
}

}  // namespace kiv
