#include "runtime/datatypes/tuple.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/unset.h"
#include "runtime/datatypes/actions.h"
#include "runtime/eval/lexer.h"
#include "runtime/host/random.h"
#include "runtime/language_error.h"
#include "runtime/ownership.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/type_traits.h"
#include "runtime/words.h"

namespace kiv::tuple {

namespace {

[[noreturn]] void fire_bad_to_arg(const Cell* spec) {
  fire(ErrorCategory::kScript, "bad-to-arg", datatype_cell(TYPE_TUPLE), *spec);
}

[[noreturn]] void fire_invalid_type(const Cell* value) {
  fire(ErrorCategory::kScript, "invalid-type", datatype_cell(TYPE_OF(value)));
}

void set_count(Cell* c, int32_t n) {
  c->header = (c->header & ~(kCountMask << kCountShift)) | (static_cast<uint32_t>(n) << kCountShift);
}

uint8_t clamp_byte(int64_t v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

// A double truncated toward zero and clamped to a byte; NaN gives 0.
uint8_t clamp_byte(double d) {
  if (std::isnan(d)) return 0;
  d = std::trunc(d);
  return static_cast<uint8_t>(d < 0 ? 0 : d > 255 ? 255 : d);
}

int hex_digit(uint32_t c) {
  if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
  return -1;
}

}  // namespace

Cell* make_in(Cell* c, const uint8_t* components, int32_t n) {
  n = std::min(n, kMaxCount);
  *c = Cell{TYPE_TUPLE, 0, 0, 0};
  std::copy(components, components + n, bytes(c));
  set_count(c, std::max(n, kMinCount));
  return c;
}
Cell* push_bytes(const uint8_t* components, int32_t n) { return make_in(stack::push_new_cell(), components, n); }
Cell* at_tail(const Cell* block, const uint8_t* components, int32_t n) {
  return make_in(alloc_tail(block), components, n);
}

bool zero_q(const Cell* c) {
  const uint8_t* b = bytes(c);
  return std::all_of(b, b + count(c), [](uint8_t v) { return v == 0; });
}

namespace {

Cell* make(Cell* type, Cell* spec) {
  uint8_t out[kMaxCount] = {};
  int32_t n = 0;
  switch (string_group_type(TYPE_OF(spec))) {
    case TYPE_BLOCK:
    case TYPE_PAREN:
    case TYPE_HASH: {
      int32_t total = static_cast<int32_t>(series_length(spec->data2)) - static_cast<int32_t>(spec->data1);
      if (total > kMaxCount) fire_bad_to_arg(spec);
      HeldPtr<const Cell> head = series_head_cell(spec->data2) + spec->data1;
      for (; n < total; ++n) {
        const Cell* v = head + n;
        if (TYPE_OF(v) != TYPE_INTEGER && TYPE_OF(v) != TYPE_CHAR) fire_bad_to_arg(spec);
        int64_t value = TYPE_OF(v) == TYPE_INTEGER ? integer::get(v) : v->data2;
        if (value < 0 || value > 255) fire_bad_to_arg(spec);
        out[n] = static_cast<uint8_t>(value);
      }
      break;
    }
    case TYPE_STRING: {  // every any-string! kind
      Cell loaded;
      if (!float_::load_text_value(spec, uint64_t{1} << TYPE_TUPLE, &loaded)) fire_bad_to_arg(spec);
      return copy_cell(&loaded, type);
    }
    case TYPE_ISSUE: {
      // A hex colour: #F0A (each digit doubled), #FF00AA, #FF000080.
      std::string text(symbol::utf8_of(spec->data2));
      size_t len = text.size();
      if (len != 3 && len != 6 && len != 8) fire(ErrorCategory::kScript, "invalid-data", *spec);
      for (char ch : text)
        if (hex_digit(static_cast<uint8_t>(ch)) < 0) fire(ErrorCategory::kScript, "invalid-data", *spec);
      if (len == 3) {
        for (; n < 3; ++n) out[n] = static_cast<uint8_t>(hex_digit(static_cast<uint8_t>(text[n])) * 17);
      } else {
        for (; n < static_cast<int32_t>(len / 2); ++n)
          out[n] = static_cast<uint8_t>(hex_digit(static_cast<uint8_t>(text[2 * n])) * 16 +
                                        hex_digit(static_cast<uint8_t>(text[2 * n + 1])));
      }
      break;
    }
    case TYPE_BINARY: {
      n = std::min(binary::length(spec), kMaxCount);
      HeldPtr<const uint8_t> p = binary::head_pointer(spec);
      std::copy(p, p + n, out);
      break;
    }
    case TYPE_TUPLE:
      return copy_cell(spec, type);
    default:
      fire_bad_to_arg(spec);
  }
  return make_in(type, out, n);
}

// One component with an integer: wide arithmetic, then clamped.
uint8_t integer_op(int32_t op, int64_t a, int64_t b) {
  switch (op) {
    case OP_ADD:
      return clamp_byte(a + b);
    case OP_SUBTRACT:
      return clamp_byte(a - b);
    case OP_MULTIPLY:
      return clamp_byte(a * b);
    case OP_DIVIDE:
      if (b == 0) fire(ErrorCategory::kMath, "zero-divide");
      return clamp_byte(a / b);
    case OP_REMAINDER:
      if (b == 0) fire(ErrorCategory::kMath, "zero-divide");
      return clamp_byte(a % b);
    case OP_OR:
      return clamp_byte(static_cast<int64_t>(static_cast<int32_t>(a) | static_cast<int32_t>(b)));
    case OP_AND:
      return clamp_byte(static_cast<int64_t>(static_cast<int32_t>(a) & static_cast<int32_t>(b)));
    case OP_XOR:
      return clamp_byte(static_cast<int64_t>(static_cast<int32_t>(a) ^ static_cast<int32_t>(b)));
    default:
      fatal_runtime_error(101);
  }
}

}  // namespace

void do_math(int32_t op) {
  Cell* left = stack::arguments();
  Cell* right = left + 1;
  if (TYPE_OF(left) != TYPE_TUPLE) {
    if (op == OP_SUBTRACT || op == OP_DIVIDE) {
      Cell word;
      stack::calling_word(&word);
      fire(ErrorCategory::kScript, "not-related", word, datatype_cell(TYPE_OF(left)));
    }
    std::swap(*left, *right);
  }
  int32_t n = count(left);
  uint8_t* a = bytes(left);
  switch (TYPE_OF(right)) {
    case TYPE_INTEGER: {
      int64_t b = integer::get(right);
      for (int32_t i = 0; i < n; ++i) a[i] = integer_op(op, a[i], b);
      break;
    }
    case TYPE_FLOAT:
    case TYPE_PERCENT: {
      double b = cell_float(right);
      if ((op == OP_DIVIDE || op == OP_REMAINDER) && b == 0) fire(ErrorCategory::kMath, "zero-divide");
      for (int32_t i = 0; i < n; ++i) a[i] = clamp_byte(float_::do_op(op, a[i], b));
      break;
    }
    case TYPE_TUPLE: {
      int32_t m = std::max(n, count(right));
      const uint8_t* b = bytes(right);
      uint8_t out[kMaxCount] = {};
      for (int32_t i = 0; i < m; ++i) out[i] = integer_op(op, a[i], b[i]);
      make_in(left, out, m);
      break;
    }
    default:
      fire_invalid_type(right);
  }
}

int32_t compare(Cell* value1, Cell* value2, int32_t op) {
  if (TYPE_OF(value2) != TYPE_TUPLE) {
    if (op == COMP_STRICT_EQUAL || op == COMP_SAME || op == COMP_FIND) return 1;
    return kNotComparable;
  }
  int32_t n1 = count(value1), n2 = count(value2);
  // Strict equality and sameness also ask for the same length.
  if ((op == COMP_STRICT_EQUAL || op == COMP_SAME) && n1 != n2) return 1;
  const uint8_t* a = bytes(value1);
  const uint8_t* b = bytes(value2);
  for (int32_t i = 0; i < std::max(n1, n2); ++i)
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  return 0;
}

void set_component(Cell* tuple, int32_t n, const Cell* value) {
  int32_t c = count(tuple);
  if (n < 1 || n > c) {
    Cell index;
    integer::init_cell(&index, n);
    fire(ErrorCategory::kScript, "out-of-range", index);
  }
  uint8_t* b = bytes(tuple);
  if (TYPE_OF(value) == TYPE_NONE) {
    std::fill(b + n - 1, b + c, uint8_t{0});
    set_count(tuple, std::max(n - 1, kMinCount));
    return;
  }
  b[n - 1] = clamp_byte(static_cast<int64_t>(integer::get(value)));
}

namespace {

int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) {
  std::string text;
  for (int32_t i = 0; i < count(value); ++i) {
    if (i > 0) text += '.';
    text += std::to_string(bytes(value)[i]);
  }
  string::append_text(buffer, text);
  return limit - static_cast<int32_t>(text.size());
}

int32_t mold(Cell* value, Cell* buffer, MoldFlags, Cell* part, int32_t limit, int32_t) {
  return form(value, buffer, part, limit);
}

Cell* pick(Cell* series, int32_t, Cell* index_cell) {
  int32_t n = TYPE_OF(index_cell) == TYPE_INTEGER ? integer::get(index_cell) : 0;
  if (n < 1 || n > count(series)) fire(ErrorCategory::kScript, "out-of-range", *index_cell);
  return integer::push(bytes(series)[n - 1]);
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell*, Cell* grand_parent, Cell*, int32_t, PathFlags flags) {
  if (TYPE_OF(element) != TYPE_INTEGER) fire_invalid_type(element);
  if (!value) return pick(parent, integer::get(element), element);
  if (TYPE_OF(value) != TYPE_INTEGER && TYPE_OF(value) != TYPE_NONE) fire_invalid_type(value);
  set_component(parent, integer::get(element), value);
  // The tuple lives in its container: a series owner hears of the change.
  // (An object container notifies through object!'s on-change*.)
  if (flags.notify && grand_parent && TYPE_OF(grand_parent) != TYPE_OBJECT)
    ownership::check(grand_parent, words::WORD_SET_PATH, integer::get(element), 1);
  return value;
}

int32_t length_q(Cell* value) { return count(value); }

Cell* complement(Cell* value) {
  uint8_t* b = bytes(value);
  for (int32_t i = 0; i < count(value); ++i) b[i] = static_cast<uint8_t>(~b[i]);
  return value;
}

[[noreturn]] void fire_refine_arg(words::Id refinement, const Cell* value) {
  fire(ErrorCategory::kScript, "invalid-refine-arg", *words::cell_of(refinement), *value);
}

// A /part or /skip count: an integer! or a float! truncated.
int32_t count_of(const Cell* c, words::Id refinement) {
  if (TYPE_OF(c) == TYPE_INTEGER) return integer::get(c);
  if (TYPE_OF(c) == TYPE_FLOAT) return float_::truncate_saturated<int32_t>(cell_float(c));
  fire_refine_arg(refinement, c);
}

// The first n components reversed (all by default); with /skip k the groups
// of k are reversed, each keeping its inner order.
Cell* reverse(Cell* value, Cell* part, Cell* skip) {
  int32_t n = count(value);
  if (part) {
    int32_t p = count_of(part, words::REF_PART);
    if (p < 0) fire(ErrorCategory::kScript, "out-of-range", *part);
    n = std::min(n, p);
  }
  int32_t k = 1;
  if (skip) {
    k = count_of(skip, words::REF_SKIP);
    if (k < 1) fire(ErrorCategory::kScript, "out-of-range", *skip);
    if (k == n) return value;
    if (k > n || n % k != 0) fire_refine_arg(words::REF_SKIP, skip);
  }
  uint8_t* b = bytes(value);
  uint8_t out[kMaxCount];
  int32_t groups = n / k;
  for (int32_t g = 0; g < groups; ++g)
    std::copy(b + (groups - 1 - g) * k, b + (groups - g) * k, out + g * k);
  std::copy(out, out + groups * k, b);
  return value;
}

Cell* random(Cell* value, bool seed, bool secure, bool) {
  if (seed) {
    random::seed(value->data1 ^ value->data2 ^ value->data3);
    return &unset_value;
  }
  random::Source source = secure ? random::Source::secure : random::Source::generator;
  uint8_t* b = bytes(value);
  for (int32_t i = 0; i < count(value); ++i) b[i] = static_cast<uint8_t>(random::integer(source, b[i] + 1) - 1);
  return value;
}


// 1.2.3 to 1.2.3.4.5.6.7.8.9.10.11.12: numbers 0-255 joined by single dots.
int load_tuple_token(lexer::Lexer& lx, const lexer::Token& t, bool load) {
  uint8_t out[kMaxCount] = {};
  int32_t n = 0;
  const uint8_t* p = t.start;
  while (true) {
    if (n == kMaxCount) return TYPE_TUPLE;
    int32_t v = 0, digits = 0;
    while (p < t.end && *p >= '0' && *p <= '9') {
      v = v * 10 + (*p++ - '0');
      if (v > 255) return TYPE_TUPLE;
      ++digits;
    }
    if (digits == 0) return TYPE_TUPLE;
    out[n++] = static_cast<uint8_t>(v);
    if (p == t.end) break;
    if (*p++ != '.') return TYPE_TUPLE;
  }
  if (n < kMinCount) return TYPE_TUPLE;
  if (load) {
    Cell c;
    lexer::store_value(lx, *make_in(&c, out, n));
  }
  return lexer::kLexOk;
}

}  // namespace

void init() {
  lexer::default_loaders()[lexer::kFinalTuple] = load_tuple_token;
  datatype::register_type(TYPE_TUPLE, 0, "tuple!", {
      own<ACT_MAKE>(make), own<ACT_RANDOM>(random), own<ACT_TO>(make), own<ACT_FORM>(form),
      own<ACT_MOLD>(mold), own<ACT_EVAL_PATH>(eval_path), own<ACT_COMPARE>(compare),
      own_math<ACT_ADD, do_math>(), own_math<ACT_DIVIDE, do_math>(), own_math<ACT_MULTIPLY, do_math>(),
      own_math<ACT_REMAINDER, do_math>(), own_math<ACT_SUBTRACT, do_math>(), own_math<ACT_AND_T, do_math>(),
      own<ACT_COMPLEMENT>(complement), own_math<ACT_OR_T, do_math>(), own_math<ACT_XOR_T, do_math>(),
      own<ACT_LENGTH_Q>(length_q), own<ACT_PICK>(pick), own<ACT_REVERSE>(reverse),
  });
}

}  // namespace kiv::tuple
