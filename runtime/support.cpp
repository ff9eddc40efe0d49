#include "runtime/support.h"

#include <cmath>
#include <cstring>

#include "runtime/collector.h"
#include "runtime/member_bits.h"
#include "runtime/series.h"
#include "runtime/stack.h"

namespace kiv {

void fire(ErrorCategory category, const char* id, ErrorArgument arg1, ErrorArgument arg2, ErrorArgument arg3) {
  stack::throw_error(LanguageError(category, id, std::move(arg1), std::move(arg2), std::move(arg3)));
}

Cell datatype_cell(uint32_t type) { return Cell{TYPE_DATATYPE, type, 0, 0}; }

void fire_bad_make_arg(const Cell* value, uint32_t type) {
  fire(ErrorCategory::kScript, "bad-make-arg", datatype_cell(type), *value);
}

// ---------------------------------------------------------------------------
// Argument checks.

namespace {

const Cell kNone{TYPE_NONE, 0, 0, 0};

[[noreturn]] void fire_expect_arg(uint32_t type, const Cell* arg_name) {
  Cell word;
  stack::calling_word(&word);
  fire(ErrorCategory::kScript, "expect-arg", word, datatype_cell(type), arg_name ? *arg_name : kNone);
}

}  // namespace

bool typeset_has_q(const uint8_t* typeset, uint32_t type) {
  return has_member(typeset, type & 0xFF);
}

const Cell* check_arg_type(const Cell* arg, const uint8_t* typeset, const Cell* arg_name) {
  uint32_t type = TYPE_OF(arg);
  if (!typeset_has_q(typeset, type)) fire_expect_arg(type, arg_name);
  return arg;
}

void check_arg_type_at(int index, const uint8_t* typeset, const Cell* arg_name) {
  if (index < 0) return;
  check_arg_type(stack::arguments() + index, typeset, arg_name);
}

void check_refinement_arg_type(const Cell* refinement, const Cell* arg, const uint8_t* typeset,
                               const Cell* arg_name) {
  if (refinement->data1 != 0) check_arg_type(arg, typeset, arg_name);
}

const Cell* check_arg_type_opt(const Cell* arg, const Cell* arg_name) {
  if (TYPE_OF(arg) == TYPE_UNSET) fire_expect_arg(TYPE_UNSET, arg_name);
  return arg;
}

int32_t get_make_size(const Cell* value) {
  switch (TYPE_OF(value)) {
    case TYPE_INTEGER:
      return static_cast<int32_t>(value->data2);
    case TYPE_FLOAT: {
      double d = cell_float(value);
      // The comparisons are false for NaN, which therefore fails too.
      if (d >= -2147483648.0 && d <= 2147483647.0) return static_cast<int32_t>(std::trunc(d));
      fire(ErrorCategory::kScript, "out-of-range", *value);
    }
    default:
      fire(ErrorCategory::kScript, "invalid-arg", *value);
  }
}

// ---------------------------------------------------------------------------
// Form and mold helpers.

void append_ascii(uint32_t string_node, const char* text, uint32_t length) {
  uint32_t unit = node_buffer(string_node)->unit();
  uint8_t* p = series_reserve_tail_bytes(string_node, length * unit);
  for (uint32_t i = 0; i < length; i++) {
    uint32_t cp = static_cast<uint8_t>(text[i]);
    std::memcpy(p + i * unit, &cp, unit);  // little-endian: the low bytes hold the code point
  }
}

namespace {
FormHandler g_form_handler = nullptr;
}  // namespace

void set_form_handler(FormHandler handler) { g_form_handler = handler; }

Cell* form_to_string(const Cell* value, int32_t limit) {
  // A rooted copy: the value may live in a series that the allocation
  // below moves, and forming may run code.
  RootedCell v(*value);
  uint32_t node = alloc_series_for_string(0, 1);
  uint32_t index = stack::top_index();
  *stack::push_new_cell() = Cell{TYPE_STRING, 0, node, 0};
  if (!g_form_handler) fire(ErrorCategory::kInternal, "not-done");
  g_form_handler(v.get(), node, limit);
  if (limit > 0) {
    SeriesBuffer* b = node_buffer(node);
    if (b->length() > static_cast<uint32_t>(limit)) b->tail = b->head + static_cast<uint32_t>(limit) * b->unit();
  }
  return stack::at(index);
}

int32_t mold_indent(uint32_t string_node, int32_t level, int32_t limit) {
  if (level <= 0) return limit;
  static const char kSpaces[] = "    ";
  for (int32_t i = 0; i < level; i++) append_ascii(string_node, kSpaces, 4);
  return limit - 4 * level;
}

// ---------------------------------------------------------------------------
// The cycle stack.

namespace support {

namespace {
uint32_t g_cycle[cycle_stack::kCapacity];
uint32_t g_cycle_count = 0;

// The entries are series being visited, so they are reachable anyway; marking
// them keeps that true even for a visit that holds its series only here.
void mark_cycle_stack() {
  for (uint32_t i = 0; i < g_cycle_count; i++) collector::mark_series_cells(g_cycle[i]);
}
}  // namespace

void init() {
  g_cycle_count = 0;
  collector::register_mark_callback(mark_cycle_stack);
}

namespace cycle_stack {

void push(uint32_t key) {
  if (g_cycle_count >= kCapacity - 1) {
    g_cycle_count = 0;
    fire(ErrorCategory::kInternal, "too-deep");
  }
  g_cycle[g_cycle_count++] = key;
}

void pop() {
  if (g_cycle_count) g_cycle_count--;
}

void drop(uint32_t n) { g_cycle_count = n > g_cycle_count ? 0 : g_cycle_count - n; }

void reset() { g_cycle_count = 0; }

bool find_q(uint32_t key) {
  for (uint32_t i = 0; i < g_cycle_count; i++)
    if (g_cycle[i] == key) return true;
  return false;
}

uint32_t count() { return g_cycle_count; }

uint32_t key_of(const Cell* value) { return TYPE_OF(value) == TYPE_OBJECT ? value->data1 : value->data2; }

bool mold_placeholder(const Cell* value, uint32_t string_node, int32_t* limit, bool mold) {
  if (!find_q(key_of(value))) return false;
  const char* text = "...";
  if (mold) {
    switch (TYPE_OF(value)) {
      case TYPE_BLOCK:
      case TYPE_HASH:
        text = "[...]";
        break;
      case TYPE_PAREN:
        text = "(...)";
        break;
      case TYPE_MAP:
        text = "#[...]";
        break;
      case TYPE_OBJECT:
        text = "make object! [...]";
        break;
      default:
        break;
    }
  }
  uint32_t length = static_cast<uint32_t>(std::strlen(text));
  append_ascii(string_node, text, length);
  *limit -= static_cast<int32_t>(length);
  return true;
}

}  // namespace cycle_stack
}  // namespace support
}  // namespace kiv
