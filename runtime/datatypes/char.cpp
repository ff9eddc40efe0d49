#include "runtime/datatypes/char.h"

#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/actions.h"
#include "runtime/datatypes/vector.h"
#include "runtime/eval/lexer.h"
#include "runtime/language_error.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/type_traits.h"
#include "runtime/unicode.h"

namespace kiv::char_ {

namespace {

[[noreturn]] void fire_overflow() { fire(ErrorCategory::kMath, "overflow"); }

[[noreturn]] void fire_bad_to_arg(const Cell* spec) {
  fire(ErrorCategory::kScript, "bad-to-arg", datatype_cell(TYPE_CHAR), *spec);
}

// The code point a number names, checked against the Unicode range.
uint32_t checked_code_point(int64_t n, const Cell* spec) {
  if (n < 0 || n > kMaxCodePoint) fire(ErrorCategory::kScript, "out-of-range", *spec);
  return static_cast<uint32_t>(n);
}

}  // namespace

Cell* push(uint32_t code_point) { return init_cell(stack::push_new_cell(), code_point); }
Cell* at_tail(const Cell* block, uint32_t code_point) { return init_cell(alloc_tail(block), code_point); }

void arith(int32_t op) {
  Cell* left = stack::arguments();
  Cell* right = left + 1;
  int32_t b;
  switch (TYPE_OF(right)) {
    case TYPE_CHAR:
    case TYPE_INTEGER:
      b = static_cast<int32_t>(right->data2);
      break;
    case TYPE_FLOAT:
      // A float too large for 32 bits could only give an overflowing result.
      if (!float_::truncate_checked(cell_float(right), &b)) fire_overflow();
      break;
    case TYPE_VECTOR:
      vector::scalar_math(op);
      return;
    default:
      fire(ErrorCategory::kScript, "invalid-type", datatype_cell(TYPE_OF(right)));
  }
  int32_t a = static_cast<int32_t>(left->data2);
  int64_t result;
  switch (op) {
    case OP_ADD:
      result = int64_t{a} + b;
      break;
    case OP_SUBTRACT:
      result = int64_t{a} - b;
      break;
    case OP_MULTIPLY:
      result = int64_t{a} * b;
      break;
    default:
      // Without a target the worker truncates a division and raises
      // zero-divide itself.
      result = integer::do_op(op, a, b, nullptr);
      break;
  }
  if (result < 0 || result > kMaxCodePoint) fire_overflow();
  left->data2 = static_cast<uint32_t>(result);
}

Cell* make(Cell* type, Cell* spec) {
  uint32_t cp;
  switch (string_group_type(TYPE_OF(spec))) {
    case TYPE_STRING:  // every any-string! kind
      if (string::length(spec) == 0) fire_bad_to_arg(spec);
      cp = string::get_char(string::head_pointer(spec), string::unit_of(spec));
      break;
    case TYPE_CHAR:
    case TYPE_INTEGER:
      cp = checked_code_point(static_cast<int32_t>(spec->data2), spec);
      break;
    case TYPE_FLOAT:
    case TYPE_PERCENT: {
      int64_t n;
      if (!float_::truncate_checked(cell_float(spec), &n))
        fire(ErrorCategory::kScript, "out-of-range", *spec);
      cp = checked_code_point(n, spec);
      break;
    }
    case TYPE_BINARY: {
      // The UTF-8 character at the head.
      uint32_t node = spec->data2;
      int32_t total = static_cast<int32_t>(series_length(node));
      int32_t index = static_cast<int32_t>(spec->data1);
      if (index >= total) fire_bad_to_arg(spec);
      size_t available = static_cast<size_t>(total - index);
      int32_t decoded = decode_utf8_sequence(node_buffer(node)->head_ptr() + index, &available);
      if (decoded < 0) fire_bad_to_arg(spec);
      cp = static_cast<uint32_t>(decoded);
      break;
    }
    default:
      fire_bad_to_arg(spec);
  }
  return init_cell(type, cp);
}

int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) {
  string::append_char(buffer, get(value));
  return limit - 1;
}

int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell*, int32_t limit, int32_t) {
  int32_t before = string::length_whole(buffer);
  string::append_text(buffer, "#\"");
  string::escape_char(buffer, get(value), flags.all);
  string::append_char(buffer, '"');
  return limit - (string::length_whole(buffer) - before);
}

int32_t compare(Cell* value1, Cell* value2, int32_t op) {
  uint32_t t2 = TYPE_OF(value2);
  if ((op == COMP_STRICT_EQUAL || op == COMP_FIND) && t2 != TYPE_CHAR) return 1;
  if (t2 != TYPE_CHAR && t2 != TYPE_INTEGER) return kNotComparable;
  return three_way(static_cast<int32_t>(value1->data2), static_cast<int32_t>(value2->data2));
}


namespace {

// The lexer's loader of #"c": one character or one caret escape between the
// quotes.
int load_char_token(lexer::Lexer& lx, const lexer::Token& t, bool load) {
  const uint8_t* s = t.start;
  const uint8_t* e = t.end;
  if (e - s < 4 || s[0] != '#' || s[1] != '"' || e[-1] != '"') return TYPE_CHAR;
  const uint8_t* p = s + 2;
  const uint8_t* end = e - 1;
  uint32_t cp;
  if (*p == '^') {
    ++p;
    if (!lexer::read_escape(p, end, &cp)) return TYPE_CHAR;
  } else {
    size_t available = static_cast<size_t>(end - p);
    int32_t decoded = decode_utf8_sequence(p, &available);
    if (decoded < 0) return TYPE_CHAR;
    cp = static_cast<uint32_t>(decoded);
    p += available;
  }
  if (p != end || cp > kMaxCodePoint) return TYPE_CHAR;
  if (load) {
    Cell c;
    lexer::store_value(lx, *init_cell(&c, cp));
  }
  return lexer::kLexOk;
}

}  // namespace

void init() {
  lexer::default_loaders()[lexer::kFinalChar] = load_char_token;
  datatype::register_type(TYPE_CHAR, TYPE_INTEGER, "char!", {
      own<ACT_MAKE>(make), own<ACT_TO>(make), own<ACT_FORM>(form), own<ACT_MOLD>(mold),
      own<ACT_COMPARE>(compare), own_math<ACT_ADD, arith>(), own_math<ACT_DIVIDE, arith>(),
      own_math<ACT_MULTIPLY, arith>(), refuse<ACT_NEGATE>, refuse<ACT_POWER>,
      own_math<ACT_REMAINDER, arith>(), refuse<ACT_ROUND>, own_math<ACT_SUBTRACT, arith>(),
      own_math<ACT_AND_T, arith>(), refuse<ACT_COMPLEMENT>, own_math<ACT_OR_T, arith>(), own_math<ACT_XOR_T, arith>(),
  });
}

}  // namespace kiv::char_
