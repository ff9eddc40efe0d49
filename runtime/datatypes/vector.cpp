#include "runtime/datatypes/vector.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "runtime/checks.h"
#include "runtime/collector.h"
#include "runtime/datatypes/actions.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/char.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/percent.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/series_common.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/word.h"
#include "runtime/ownership.h"
#include "runtime/series.h"
#include "runtime/sort.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/type_traits.h"
#include "runtime/words.h"

namespace kiv::vector {

namespace {

constexpr uint32_t kMaxCodePoint = 0x10FFFF;

inline uint32_t node_of(const Cell* v) { return v->data2; }
inline int32_t total_of(const Cell* v) { return static_cast<int32_t>(node_buffer(v->data2)->length()); }
// Address of element index (from the buffer's first element). Raw.
inline uint8_t* element_ptr(const Cell* v, int32_t index) {
  SeriesBuffer* b = node_buffer(v->data2);
  return b->head_ptr() + static_cast<size_t>(index) * b->unit();
}

bool number_kind_q(uint32_t t) { return type_in_group(t, kGroupNumber) || t == TYPE_CHAR; }
bool float_kind_q(uint32_t t) { return t == TYPE_FLOAT || t == TYPE_PERCENT; }

bool block_kind_q(uint32_t t) { return type_in_group(t, kGroupAnyList); }
bool path_kind_q(uint32_t t) { return any_path_type_q(t); }

uint32_t get_char_element(const uint8_t* at, uint32_t width) {
  switch (width) {
    case 1:
      return *at;
    case 2: {
      uint16_t u;
      std::memcpy(&u, at, 2);
      return u;
    }
    default: {
      uint32_t u;
      std::memcpy(&u, at, 4);
      return u;
    }
  }
}

// The element as a number: exact for every element type and width.
double number_at(const uint8_t* at, uint32_t width, uint32_t type) {
  if (float_kind_q(type)) return get_float_element(at, width);
  if (type == TYPE_CHAR) return get_char_element(at, width);
  return get_integer_element(at, width);
}

// The 32-bit value integer arithmetic works on: a char element unsigned, an
// integer element sign-extended.
int32_t int_at(const uint8_t* at, uint32_t width, uint32_t type) {
  if (type == TYPE_CHAR) return static_cast<int32_t>(get_char_element(at, width));
  return get_integer_element(at, width);
}

void store_int(uint8_t* at, uint32_t width, int32_t n) {
  uint32_t u = static_cast<uint32_t>(n);
  switch (width) {
    case 1:
      *at = static_cast<uint8_t>(u);
      return;
    case 2: {
      uint16_t h = static_cast<uint16_t>(u);
      std::memcpy(at, &h, 2);
      return;
    }
    default:
      std::memcpy(at, &u, 4);
  }
}

void store_float(uint8_t* at, uint32_t width, double d) {
  if (width == 4) {
    float f = static_cast<float>(d);
    std::memcpy(at, &f, 4);
  } else {
    std::memcpy(at, &d, 8);
  }
}

// The number a char!, integer!, float! or percent! value holds.
double value_number(const Cell* v) {
  switch (TYPE_OF(v)) {
    case TYPE_CHAR:
      return static_cast<double>(v->data2);
    case TYPE_INTEGER:
      return static_cast<double>(integer::get(v));
    default:
      return cell_float(v);
  }
}

// The same as a 32-bit integer (a float truncated toward zero, saturated).
int32_t value_int(const Cell* v) {
  switch (TYPE_OF(v)) {
    case TYPE_CHAR:
      return static_cast<int32_t>(v->data2);
    case TYPE_INTEGER:
      return integer::get(v);
    default:
      return float_::truncate_saturated<int32_t>(cell_float(v));
  }
}

// The value of an element type holding a number read from an element.
Cell value_of(double d, uint32_t type) {
  Cell c;
  switch (type) {
    case TYPE_CHAR:
      char_::init_cell(&c, static_cast<uint32_t>(d));
      break;
    case TYPE_INTEGER:
      integer::init_cell(&c, static_cast<int32_t>(d));
      break;
    case TYPE_PERCENT:
      percent::init_cell(&c, d);
      break;
    default:
      float_::init_cell(&c, d);
      break;
  }
  return c;
}

bool valid_width_q(uint32_t type, uint32_t width) {
  if (type == TYPE_PERCENT) return width == 8;
  if (type == TYPE_FLOAT) return width == 4 || width == 8;
  return width == 1 || width == 2 || width == 4;
}

[[noreturn]] void fire_no_memory() { fire(ErrorCategory::kInternal, "no-memory"); }

Cell calling_word_cell() {
  Cell w;
  stack::calling_word(&w);
  return w;
}

// ---------------------------------------------------------------------------
// Elements to put in: values converted to raw elements in C++ memory, so that
// nothing the target's change does can disturb them and every value is
// checked before anything changes.

struct Elements {
  std::vector<uint8_t> bytes;
  int32_t count = 0;
};

// The elements a value stands for: a block!, paren! or hash! its values from
// the head (at most limit of them when limit >= 0); with for_change also a
// path's values and another vector's elements; any other value itself.
Elements gather(Cell* value, int32_t limit, bool for_change, uint32_t width, uint32_t type) {
  Elements e;
  uint32_t vt = TYPE_OF(value);
  if (block_kind_q(vt) || (for_change && path_kind_q(vt))) {
    Cell b = *value;
    int32_t head = series::clamp_head(&b);
    int32_t n = total_of(&b) - head;
    if (limit >= 0 && limit < n) n = limit;
    e.bytes.resize(static_cast<size_t>(n) * width);
    // Nothing allocates in this loop (an error ends it): the cells hold.
    HeldPtr<const Cell> cells = node_buffer(b.data2)->head_cell() + head;
    for (int32_t i = 0; i < n; ++i) set_element(e.bytes.data() + static_cast<size_t>(i) * width, &cells[i], width, type);
    e.count = n;
  } else if (for_change && vt == TYPE_VECTOR) {
    Cell s = *value;
    int32_t head = series::clamp_head(&s);
    int32_t n = total_of(&s) - head;
    e.bytes.resize(static_cast<size_t>(n) * width);
    for (int32_t i = 0; i < n; ++i) {
      Cell element = pick_value(&s, head + i);
      set_element(e.bytes.data() + static_cast<size_t>(i) * width, &element, width, type);
    }
    e.count = n;
  } else {
    e.bytes.resize(width);
    set_element(e.bytes.data(), value, width, type);
    e.count = 1;
  }
  return e;
}

// The elements written dup times, as a count checked against the largest
// series (internal/no-memory beyond it).
int32_t written_count(const Elements& e, int32_t dup, uint32_t width, int32_t total) {
  uint64_t n = static_cast<uint64_t>(e.count) * static_cast<uint64_t>(dup);
  if ((n + static_cast<uint64_t>(total)) * width > kMaxSeriesBytes) fire_no_memory();
  return static_cast<int32_t>(n);
}

// Replaces removed elements at index `at` of the node's series by dup copies
// of the elements, growing the buffer as needed; answers the index just past
// the written elements.
int32_t splice(uint32_t node, int32_t at, int32_t removed, const Elements& e, int32_t dup) {
  SeriesBuffer* b = node_buffer(node);
  uint32_t u = b->unit();
  int32_t total = static_cast<int32_t>(b->length());
  if (at > total) at = total;
  if (removed > total - at) removed = total - at;
  if (removed < 0) removed = 0;
  int64_t written = static_cast<int64_t>(e.count) * dup;
  int64_t delta = written - removed;
  if (delta > 0) {
    uint64_t need = static_cast<uint64_t>(delta) * u;
    if (static_cast<uint64_t>(b->used_bytes()) + need > kMaxSeriesBytes) fire_no_memory();
    if (b->room() < need) {
      uint64_t size = (static_cast<uint64_t>(b->used_bytes()) + need) * 2;
      if (size > kMaxSeriesBytes) size = static_cast<uint64_t>(b->used_bytes()) + need;
      b = expand_series_copy(b, static_cast<int64_t>(size));
    }
  }
  uint8_t* base = b->head_ptr();
  uint8_t* from = base + static_cast<size_t>(at + removed) * u;
  uint8_t* to = base + static_cast<size_t>(at + written) * u;
  std::memmove(to, from, static_cast<size_t>(total - at - removed) * u);
  b->tail = static_cast<uint32_t>(static_cast<int64_t>(b->tail) + delta * u);
  uint8_t* p = base + static_cast<size_t>(at) * u;
  for (int32_t k = 0; k < dup; ++k) {
    if (!e.bytes.empty()) std::memcpy(p, e.bytes.data(), e.bytes.size());
    p += e.bytes.size();
  }
  return static_cast<int32_t>(at + written);
}

// ---------------------------------------------------------------------------
// make.

// The vector of the type and width with the values (already elements) and
// zero elements up to count; a count below 1 makes an empty vector.
void build(Cell* out, uint32_t type, uint32_t width, int32_t count, const Elements& values) {
  int32_t n = std::max(count, values.count);
  make_at(out, n < 1 ? 1 : n, type, width);
  if (n < 1) return;
  SeriesBuffer* b = node_buffer(out->data2);
  uint8_t* p = b->head_ptr();
  if (!values.bytes.empty()) std::memcpy(p, values.bytes.data(), values.bytes.size());
  std::memset(p + values.bytes.size(), 0, static_cast<size_t>(n - values.count) * width);
  b->tail = b->head + static_cast<uint32_t>(n) * width;
}

uint32_t type_of_word(const Cell* word) {
  if (word::spells_q(word, words::SYM_CHAR_T)) return TYPE_CHAR;
  if (word::spells_q(word, words::SYM_INTEGER_T)) return TYPE_INTEGER;
  if (word::spells_q(word, words::SYM_FLOAT_T)) return TYPE_FLOAT;
  if (word::spells_q(word, words::SYM_PERCENT_T)) return TYPE_PERCENT;
  return 0;
}

// A spec block: [type width count [values]] with its optional parts, or a
// block of values whose first value gives the type.
void make_from_block(Cell* out, Cell* spec) {
  Cell b = *spec;
  int32_t head = series::clamp_head(&b);
  int32_t n = total_of(&b) - head;
  if (n == 0) {
    build(out, TYPE_INTEGER, 4, 0, Elements{});
    return;
  }
  auto cell = [&](int32_t i) { return node_buffer(b.data2)->head_cell()[head + i]; };
  Cell first = cell(0);
  if (TYPE_OF(&first) != TYPE_WORD) {
    uint32_t type = TYPE_OF(&first);
    if (!number_kind_q(type)) fire(ErrorCategory::kScript, "invalid-type", datatype_cell(type));
    uint32_t width = default_width(type);
    Elements values = gather(&b, -1, false, width, type);
    build(out, type, width, 0, values);
    return;
  }
  uint32_t type = type_of_word(&first);
  if (type == 0 || n < 2) fire_bad_make_arg(spec, TYPE_VECTOR);
  int32_t i = 1;
  uint32_t width = 8;
  Cell second = cell(1);
  if (TYPE_OF(&second) == TYPE_INTEGER) {
    if (type != TYPE_PERCENT) {
      int32_t bits = integer::get(&second);
      width = static_cast<uint32_t>(bits / 8);
      if (bits % 8 != 0 || bits <= 0 || !valid_width_q(type, width)) fire_bad_make_arg(spec, TYPE_VECTOR);
    }
    i = 2;
  } else if (type != TYPE_PERCENT) {
    fire(ErrorCategory::kScript, "invalid-spec-field", *spec);
  }
  int32_t count = 0;
  Elements values;
  if (i < n) {
    Cell next = cell(i);
    if (TYPE_OF(&next) == TYPE_INTEGER) {
      count = integer::get(&next);
      ++i;
    }
  }
  if (i < n) {
    Cell next = cell(i);
    if (TYPE_OF(&next) != TYPE_BLOCK) fire(ErrorCategory::kScript, "invalid-spec-field", *spec);
    values = gather(&next, -1, false, width, type);
    ++i;
  }
  if (i < n) fire(ErrorCategory::kScript, "invalid-spec-field", *spec);
  build(out, type, width, count, values);
}

Cell* make(Cell* type, Cell* spec) {
  RootedCell result;
  switch (TYPE_OF(spec)) {
    case TYPE_INTEGER:
    case TYPE_FLOAT:
      build(result.get(), TYPE_INTEGER, 4, get_make_size(spec), Elements{});
      break;
    case TYPE_BLOCK:
      make_from_block(result.get(), spec);
      break;
    default:
      fire_bad_make_arg(spec, TYPE_VECTOR);
  }
  // The result replaces the first argument: the frame's base cell.
  *type = *result;
  return type;
}

// ---------------------------------------------------------------------------
// form and mold.

// Appends text and answers the limit less the characters appended.
int32_t put_text(Cell* buffer, std::string_view text, int32_t limit) {
  string::append_text(buffer, text);
  return limit - static_cast<int32_t>(text.size());
}

// The elements from the head, separated by single spaces; molded char!
// elements as #"x", formed ones bare. Stops once a /part limit is used up.
int32_t write_elements(const Cell* vector, Cell* buffer, bool molded, Cell* part, int32_t limit) {
  Cell v = *vector;
  int32_t head = series::clamp_head(&v);
  uint32_t type = element_type_of(&v), width = width_of(&v);
  for (int32_t i = head; i < total_of(&v); ++i) {
    if (i > head) limit = put_text(buffer, " ", limit);
    if (part && limit <= 0) return limit;
    // Read before writing: the output may grow and move any buffer.
    double d = number_at(element_ptr(&v, i), width, type);
    switch (type) {
      case TYPE_CHAR: {
        int32_t before = string::length_whole(buffer);
        uint32_t cp = static_cast<uint32_t>(d);
        if (molded) {
          string::append_text(buffer, "#\"");
          string::escape_char(buffer, cp, false);
          string::append_text(buffer, "\"");
        } else {
          string::append_char(buffer, cp);
        }
        limit -= string::length_whole(buffer) - before;
        break;
      }
      case TYPE_INTEGER:
        limit = put_text(buffer, integer::to_decimal(static_cast<int32_t>(d)).text, limit);
        break;
      case TYPE_FLOAT:
        limit = put_text(buffer, float_::to_text(d, width == 4 ? float_::kTextSingle : float_::kTextFloat).view(),
                         limit);
        break;
      default:
        limit = put_text(buffer, float_::to_text(d * 100.0, float_::kTextPercent).view(), limit);
        break;
    }
    if (part && limit <= 0) return limit;
  }
  return limit;
}

int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit) {
  return write_elements(value, buffer, false, part, limit);
}

// "make vector! [1 2 3]" for a vector of the default width with elements,
// else "make vector! [integer! 16 [1 2 3]]"; /only leaves out the outer
// "make vector! [" and "]".
int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit, int32_t) {
  Cell v = *value;
  uint32_t type = element_type_of(&v), width = width_of(&v);
  bool plain = length(&v) > 0 && width == default_width(type);
  if (!flags.only) {
    limit = put_text(buffer, "make vector! [", limit);
    if (part && limit <= 0) return limit;
  }
  if (!plain) {
    limit = put_text(buffer, builtin_type_name(type), limit);
    limit = put_text(buffer, " ", limit);
    limit = put_text(buffer, integer::to_decimal(static_cast<int32_t>(width * 8)).text, limit);
    limit = put_text(buffer, " [", limit);
    if (part && limit <= 0) return limit;
  }
  limit = write_elements(&v, buffer, true, part, limit);
  if (part && limit <= 0) return limit;
  if (!plain) limit = put_text(buffer, "]", limit);
  if (!flags.only) limit = put_text(buffer, "]", limit);
  return limit;
}

// ---------------------------------------------------------------------------
// Comparison.

bool equality_test_q(int32_t op) {
  return op == COMP_EQUAL || op == COMP_NOT_EQUAL || op == COMP_STRICT_EQUAL || op == COMP_FIND;
}

// Float elements: equal and not-equal (and find) tolerate the last units of
// precision as float! does, strict equality does not; orderings compare
// exactly. A pair involving NaN is never equal; for an ordering it ends the
// comparison with "equal".
int32_t compare(Cell* value1, Cell* value2, int32_t op) {
  if (TYPE_OF(value2) != TYPE_VECTOR) return kNotComparable;
  Cell a = *value1, b = *value2;
  bool same_place = a.data2 == b.data2 && a.data1 == b.data1;
  if (op == COMP_SAME) return same_place ? 0 : 1;
  if (element_type_of(&a) != element_type_of(&b)) {
    // A search through a block passes over a vector of another element type
    // rather than failing on it; a direct comparison is refused.
    if (op == COMP_FIND) return 1;
    fire(ErrorCategory::kScript, "not-same-type");
  }
  if (same_place && equality_test_q(op)) return 0;
  int32_t ha = series::clamp_head(&a), hb = series::clamp_head(&b);
  int32_t la = total_of(&a) - ha, lb = total_of(&b) - hb;
  if (la == 0 && lb == 0) return 0;
  if (la != lb && equality_test_q(op)) return 1;
  int32_t n = std::min(la, lb);
  uint32_t type = element_type_of(&a), wa = width_of(&a), wb = width_of(&b);
  bool tolerant = op == COMP_EQUAL || op == COMP_NOT_EQUAL || op == COMP_FIND;
  for (int32_t i = 0; i < n; ++i) {
    double x = number_at(element_ptr(&a, ha + i), wa, type);
    double y = number_at(element_ptr(&b, hb + i), wb, type);
    if (float_kind_q(type)) {
      if (x != x || y != y) return equality_test_q(op) ? 1 : 0;
      if (x == y) continue;
      if (tolerant) {
        // A single float is compared at its own precision.
        bool near = (wa == 4 || wb == 4) ? float_::float32_nearly_equal_q(static_cast<float>(x), static_cast<float>(y))
                                         : float_::nearly_equal_q(x, y);
        if (near) continue;
      }
    } else if (x == y) {
      continue;
    }
    return x < y ? -1 : 1;
  }
  if (la != lb) return la < lb ? -1 : 1;
  return 0;
}

// ---------------------------------------------------------------------------
// Arithmetic.

// 32-bit integer arithmetic wrapping like the element storage: the smallest
// integer divided by -1 gives itself (its remainder 0); a zero divisor raises
// math/zero-divide.
int32_t int_op(int32_t op, int32_t a, int32_t b) {
  if (op == OP_DIVIDE || op == OP_REMAINDER) {
    if (b == 0) fire(ErrorCategory::kMath, "zero-divide");
    if (b == -1 && a == std::numeric_limits<int32_t>::min()) return op == OP_DIVIDE ? a : 0;
  }
  return integer::do_op(op, a, b, nullptr);
}

bool bitwise_q(int32_t op) { return op == OP_OR || op == OP_AND || op == OP_XOR; }

void check_float_op(int32_t op, uint32_t type) {
  if (bitwise_q(op)) fire(ErrorCategory::kScript, "cannot-use", calling_word_cell(), datatype_cell(type));
}

// A char element must stay a code point: a 32-bit result outside 0 to
// 0x10FFFF raises math/overflow (narrower elements keep their low bits).
void check_char_result(uint32_t type, uint32_t width, int32_t r) {
  if (type == TYPE_CHAR && width == 4 && (r < 0 || static_cast<uint32_t>(r) > kMaxCodePoint))
    fire(ErrorCategory::kMath, "overflow");
}

// The vector changed in place from its head: each element set to element op
// scalar, or scalar op element when the scalar is the left operand. Every
// result is computed (and every error raised) before the vector changes.
void math_in_place(Cell* vector, const Cell* scalar, int32_t op, bool scalar_left) {
  uint32_t st = TYPE_OF(scalar);
  if (!number_kind_q(st)) fire(ErrorCategory::kScript, "invalid-type", datatype_cell(scalar_left ? TYPE_VECTOR : st));
  uint32_t type = element_type_of(vector), width = width_of(vector);
  bool is_float = float_kind_q(type);
  if (is_float) check_float_op(op, type);
  int32_t head = series::clamp_head(vector);
  int32_t n = total_of(vector) - head;
  if (n <= 0) return;
  double s = is_float ? value_number(scalar) : static_cast<double>(value_int(scalar));
  // Adding or subtracting 0 and multiplying or dividing by 1 change nothing.
  bool identity = (op == OP_ADD && s == 0) || (op == OP_MULTIPLY && s == 1) ||
                  (!scalar_left && ((op == OP_SUBTRACT && s == 0) || (op == OP_DIVIDE && s == 1)));
  if (identity) return;
  std::vector<double> floats;
  std::vector<int32_t> ints;
  if (is_float) {
    floats.resize(static_cast<size_t>(n));
    for (int32_t i = 0; i < n; ++i) {
      double x = get_float_element(element_ptr(vector, head + i), width);
      floats[static_cast<size_t>(i)] = scalar_left ? float_::do_op(op, s, x) : float_::do_op(op, x, s);
    }
  } else {
    int32_t k = static_cast<int32_t>(s);
    ints.resize(static_cast<size_t>(n));
    for (int32_t i = 0; i < n; ++i) {
      int32_t x = int_at(element_ptr(vector, head + i), width, type);
      int32_t r = scalar_left ? int_op(op, k, x) : int_op(op, x, k);
      check_char_result(type, width, r);
      ints[static_cast<size_t>(i)] = r;
    }
  }
  ownership::notify_around(vector, words::WORD_CHANGE, head, n, [&] {
    // An owner's handler may have shortened the vector meanwhile.
    int32_t m = std::min(n, total_of(vector) - head);
    for (int32_t i = 0; i < m; ++i) {
      uint8_t* at = element_ptr(vector, head + i);
      if (is_float) store_float(at, width, floats[static_cast<size_t>(i)]);
      else store_int(at, width, ints[static_cast<size_t>(i)]);
    }
  });
}

// Two vectors: a new vector of the shorter length and the wider width,
// element i = left[i] op right[i], left in the base cell.
void vector_math(int32_t op) {
  Cell* left = stack::arguments();
  Cell* right = left + 1;
  uint32_t type = element_type_of(left);
  if (type != element_type_of(right)) fire(ErrorCategory::kScript, "not-same-type");
  bool is_float = float_kind_q(type);
  if (is_float) check_float_op(op, type);
  uint32_t wl = width_of(left), wr = width_of(right), width = std::max(wl, wr);
  int32_t hl = series::clamp_head(left), hr = series::clamp_head(right);
  int32_t n = std::max(0, std::min(total_of(left) - hl, total_of(right) - hr));
  std::vector<double> floats;
  std::vector<int32_t> ints;
  if (is_float) {
    floats.resize(static_cast<size_t>(n));
    for (int32_t i = 0; i < n; ++i)
      floats[static_cast<size_t>(i)] = float_::do_op(op, get_float_element(element_ptr(left, hl + i), wl),
                                                     get_float_element(element_ptr(right, hr + i), wr));
  } else {
    ints.resize(static_cast<size_t>(n));
    for (int32_t i = 0; i < n; ++i) {
      int32_t r = int_op(op, int_at(element_ptr(left, hl + i), wl, type), int_at(element_ptr(right, hr + i), wr, type));
      check_char_result(type, width, r);
      ints[static_cast<size_t>(i)] = r;
    }
  }
  RootedCell out;
  make_at(out.get(), n < 1 ? 1 : n, type, width);
  SeriesBuffer* b = node_buffer(out->data2);
  for (int32_t i = 0; i < n; ++i) {
    uint8_t* at = b->head_ptr() + static_cast<size_t>(i) * width;
    if (is_float) store_float(at, width, floats[static_cast<size_t>(i)]);
    else store_int(at, width, ints[static_cast<size_t>(i)]);
  }
  b->tail = b->head + static_cast<uint32_t>(n) * width;
  *left = *out;
}

// A vector on the left: with a vector, a new vector; with a scalar, the
// vector itself changed in place (it stays in the base cell as the result).
void do_math(int32_t op) {
  Cell* left = stack::arguments();
  Cell* right = left + 1;
  if (TYPE_OF(right) == TYPE_VECTOR) {
    vector_math(op);
    return;
  }
  Cell scalar = *right;
  math_in_place(left, &scalar, op, false);
}


// ---------------------------------------------------------------------------
// append, insert, change.

// append answers the vector with its head as given; insert answers it just
// past the inserted elements.
Cell* insert(Cell* series, Cell* value, int32_t part, bool, int32_t dup, bool append) {
  if (dup < 1 || part == 0) return series;
  uint32_t node = node_of(series);
  uint32_t width = width_of(series);
  Elements e = gather(value, part, false, width, element_type_of(series));
  if (e.count == 0) return series;
  int32_t added = written_count(e, dup, width, total_of(series));
  int32_t at = append ? total_of(series) : series::clamp_head(series);
  int32_t end = at;
  ownership::notify_series_around(series, node, append ? words::WORD_APPEND : words::KEY_INSERT, at, added, [&] {
    // An owner's handler may have changed the series: the place is read again.
    at = append ? total_of(series) : series::clamp_head(series);
    end = splice(node, at, 0, e, dup);
  });
  if (!append) series->data1 = static_cast<uint32_t>(end);
  return series;
}

// Replaces elements from the head (the /part count of them, else as many as
// are written) and answers the vector just past the written elements.
Cell* change(Cell* series, Cell* value, int32_t part, bool, int32_t dup) {
  if (dup < 1) return series;
  uint32_t node = node_of(series);
  uint32_t width = width_of(series);
  Elements e = gather(value, -1, true, width, element_type_of(series));
  int32_t written = written_count(e, dup, width, total_of(series));
  int32_t at = series::clamp_head(series);
  if (e.count == 0 && part < 0) return series;
  int32_t removed = part >= 0 ? part : written;
  int32_t end = at;
  ownership::notify_around(series, words::WORD_CHANGE, at, removed, [&] {
    at = series::clamp_head(series);
    end = splice(node, at, removed, e, dup);
  });
  series->data1 = static_cast<uint32_t>(end);
  return series;
}

// ---------------------------------------------------------------------------
// find and select: elements compared as numbers (a float element within the
// tolerance of float! equality at its width).

// What find looks for: one number, or the elements of another vector from its
// head. False for any other value, which matches nothing.
bool make_needle(Cell* value, std::vector<double>* out) {
  uint32_t t = TYPE_OF(value);
  if (number_kind_q(t)) {
    out->push_back(value_number(value));
    return true;
  }
  if (t != TYPE_VECTOR) return false;
  Cell v = *value;
  int32_t head = series::clamp_head(&v);
  uint32_t type = element_type_of(&v), width = width_of(&v);
  for (int32_t i = head; i < total_of(&v); ++i) out->push_back(number_at(element_ptr(&v, i), width, type));
  return true;
}

struct Found {
  int32_t index = -1;
  int32_t length = 0;
};

Found search(Cell* series, Cell* value, const FindOptions& options) {
  Found none;
  if (options.any || options.with) fire(ErrorCategory::kScript, "bad-refines");
  int32_t step = 1;
  if (options.skip) {
    step = series::skip_size(options.skip);
    if (step < 1) fire(ErrorCategory::kScript, "out-of-range", *options.skip);
  }
  int32_t total = total_of(series);
  int32_t head = series::clamp_head(series);
  int32_t part = options.part ? series::part_count(series, options.part) : 0;
  series::SearchRange range =
      series::search_range(head, total, options.part ? &part : nullptr, options.reverse, options.match);
  if (range.empty) return none;
  std::vector<double> needle;
  if (!make_needle(value, &needle)) return none;
  int32_t len = static_cast<int32_t>(needle.size());
  uint32_t type = element_type_of(series), width = width_of(series);
  HoldScope hold;  // no allocation from here on: element addresses hold
  auto same = [&](double x, double y) {
    if (x == y) return true;
    if (!float_kind_q(type) || x != x || y != y) return false;
    return width == 4 ? float_::float32_nearly_equal_q(static_cast<float>(x), static_cast<float>(y))
                      : float_::nearly_equal_q(x, y);
  };
  auto matches_at = [&](int32_t i) {
    for (int32_t k = 0; k < len; ++k)
      if (!same(number_at(element_ptr(series, i + k), width, type), needle[static_cast<size_t>(k)])) return false;
    return true;
  };
  int32_t at = series::search_walk(range, len, step, options.last, options.reverse, options.match, matches_at);
  return at < 0 ? none : Found{at, len};
}

Cell* find(Cell* series, Cell* value, const FindOptions& options) {
  Found f = search(series, value, options);
  if (f.index < 0) return &none_value;
  series->data1 = static_cast<uint32_t>(options.tail ? f.index + f.length : f.index);
  return series;
}

Cell* select(Cell* series, Cell* value, const FindOptions& options) {
  Found f = search(series, value, {.part = options.part, .any = options.any, .with = options.with,
                                   .skip = options.skip, .last = options.last, .reverse = options.reverse});
  if (f.index < 0) return &none_value;
  int32_t after = f.index + f.length;
  if (after >= total_of(series)) return &none_value;
  *series = pick_value(series, after);
  return series;
}

// ---------------------------------------------------------------------------
// sort: by value (always stable); NaN after every number.

struct SortRecords {
  const std::vector<double>* keys;
  uint32_t record;  // elements per record
  uint32_t offset;  // the compared element within a record
  bool whole;       // compare the whole record (/all)
  bool reverse;
  uint32_t type;
  uint32_t width;
  RootedCell function;
};

int32_t order_of(double x, double y) {
  bool nx = x != x, ny = y != y;
  if (nx || ny) return static_cast<int32_t>(nx) - static_cast<int32_t>(ny);
  return three_way(x, y);
}

int32_t compare_records(uint32_t a, uint32_t b, intptr_t extra1, intptr_t) {
  const SortRecords& r = *reinterpret_cast<const SortRecords*>(extra1);
  const double* pa = r.keys->data() + static_cast<size_t>(a) * r.record;
  const double* pb = r.keys->data() + static_cast<size_t>(b) * r.record;
  uint32_t from = r.whole ? 0 : r.offset;
  uint32_t to = r.whole ? r.record : r.offset + 1;
  int32_t result = 0;
  for (uint32_t k = from; k < to && result == 0; ++k) result = order_of(pa[k], pb[k]);
  return r.reverse ? -result : result;
}

// The sign a comparator function's result stands for, given that it was
// called with the second record first (as string! and block! sorts call it).
int32_t function_result_sign(const Cell* result) {
  switch (TYPE_OF(result)) {
    case TYPE_LOGIC:
      return result->data1 ? 1 : -1;
    case TYPE_INTEGER: {
      int32_t n = integer::get(result);
      return (n < 0) - (n > 0);
    }
    case TYPE_FLOAT: {
      double d = cell_float(result);
      return d > 0.0 ? -1 : (d < 0.0 ? 1 : 0);
    }
    case TYPE_NONE:
      return -1;
    default:
      return 1;
  }
}

// A record handed to a comparator function: its compared element as a value,
// or with /all a new vector of the whole record.
void record_value(const SortRecords& r, uint32_t index, Cell* out) {
  const double* p = r.keys->data() + static_cast<size_t>(index) * r.record;
  if (!r.whole) {
    *out = value_of(p[r.offset], r.type);
    return;
  }
  make_at(out, r.record, r.type, r.width);
  SeriesBuffer* b = node_buffer(out->data2);
  for (uint32_t k = 0; k < r.record; ++k) {
    uint8_t* at = b->head_ptr() + static_cast<size_t>(k) * r.width;
    if (float_kind_q(r.type)) store_float(at, r.width, p[k]);
    else store_int(at, r.width, static_cast<int32_t>(static_cast<int64_t>(p[k])));
  }
  b->tail = b->head + r.record * r.width;
}

int32_t function_compare_records(uint32_t a, uint32_t b, intptr_t extra1, intptr_t) {
  SortRecords& r = *reinterpret_cast<SortRecords*>(extra1);
  uint32_t first = r.reverse ? a : b, second = r.reverse ? b : a;
  RootedCell x, y;
  record_value(r, first, x.get());
  record_value(r, second, y.get());
  Cell args[2] = {*x, *y};
  RootedCell result;
  series::invoke_function(r.function.get(), args, 2, series::kCallbackSort, result.get());
  return function_result_sign(result.get());
}

Cell* sort(Cell* series, const SortOptions& options) {
  int32_t head = series::clamp_head(series);
  int32_t total = total_of(series);
  int32_t start = head, count = total - head;
  if (options.part) {
    int32_t n = series::part_count(series, options.part);
    if (n < 0) {
      start = std::max(0, head + n);
      count = head - start;
    } else {
      count = std::min(n, total - head);
    }
  }
  int32_t record = 1;
  if (options.skip) {
    record = series::skip_size(options.skip);
    if (record < 1 || (count > 0 && (record > count || count % record != 0)))
      series::fire_invalid_refine(words::REF_SKIP, options.skip);
  }
  if (options.all && !options.skip) fire(ErrorCategory::kScript, "bad-refines");
  int32_t offset = 0;
  bool by_function = false;
  if (options.comparator) {
    uint32_t ct = TYPE_OF(options.comparator);
    if (ct == TYPE_INTEGER) {
      if (!options.skip) fire(ErrorCategory::kScript, "bad-refines");
      int32_t k = integer::get(options.comparator);
      if (k < 1 || k > record) fire(ErrorCategory::kScript, "out-of-range", *options.comparator);
      offset = k - 1;
    } else if (ct == TYPE_FUNCTION) {
      by_function = true;
    } else {
      series::fire_invalid_refine(words::REF_COMPARE, options.comparator);
    }
  }
  if (count <= 1 || count / record <= 1) return series;

  uint32_t type = element_type_of(series), width = width_of(series);
  ownership::notify_around(series, words::WORD_SORT, start, count, [&] {
    if (start + count > total_of(series)) return;  // shortened by an owner's handler
    std::vector<double> keys(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i) keys[static_cast<size_t>(i)] = number_at(element_ptr(series, start + i), width, type);
    SortRecords r{&keys, static_cast<uint32_t>(record), static_cast<uint32_t>(offset), options.all, options.reverse, type, width, {}};
    if (by_function) *r.function = *options.comparator;
    uint32_t records = static_cast<uint32_t>(count / record);
    std::vector<uint32_t> order = sort_order(records, true, reinterpret_cast<intptr_t>(&r), 0,
                                             by_function ? function_compare_records : compare_records);
    // The comparator may have run code that changed the vector: the records
    // are put back only when they are all still there.
    if (start + count > total_of(series)) return;
    apply_order(element_ptr(series, start), records, static_cast<uint32_t>(record) * width, order);
  });
  return series;
}

// ---------------------------------------------------------------------------
// Path access: an integer picks or pokes; another value selects the element
// after its match (and a set writes there).

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell*, Cell*, int32_t, PathFlags) {
  bool set = value != nullptr;
  uint32_t et = TYPE_OF(element);
  if (et == TYPE_INTEGER) {
    int32_t i = integer::get(element);
    if (set) return dispatch_poke(parent, i, value, element);
    return dispatch_pick(parent, i, element);
  }
  if (!number_kind_q(et) && et != TYPE_VECTOR)
    fire(ErrorCategory::kScript, "invalid-path", path ? *path : none_value, *element);
  if (!set) return select(parent, element, {});
  Cell at = *parent;
  Found f = search(&at, element, {});
  if (f.index < 0) fire(ErrorCategory::kScript, "bad-path-set", path ? *path : *parent, *element);
  at.data1 = static_cast<uint32_t>(f.index + f.length - 1);
  Cell two = Cell{TYPE_INTEGER, 0, 2, 0};
  return dispatch_poke(&at, 2, value, &two);
}

}  // namespace

// ---------------------------------------------------------------------------
// Routines.

uint32_t default_width(uint32_t element_type) { return float_kind_q(element_type) ? 8 : 4; }

uint32_t width_of(const Cell* vector) { return node_buffer(vector->data2)->unit(); }

Cell* make_at(Cell* cell, int64_t count, uint32_t element_type, uint32_t width) {
  if (count < 1) count = 1;
  if (static_cast<uint64_t>(count) * width > kMaxSeriesBytes) fire_no_memory();
  uint32_t node = alloc_series(static_cast<uint32_t>(count), width, 0);
  *cell = Cell{TYPE_VECTOR, 0, node, element_type};
  return cell;
}

int32_t length(Cell* vector) {
  int32_t head = series::clamp_head(vector);
  return total_of(vector) - head;
}

int32_t get_integer_element(const uint8_t* at, uint32_t width) {
  switch (width) {
    case 1:
      return static_cast<int8_t>(*at);
    case 2: {
      int16_t h;
      std::memcpy(&h, at, 2);
      return h;
    }
    default: {
      int32_t n;
      std::memcpy(&n, at, 4);
      return n;
    }
  }
}

double get_float_element(const uint8_t* at, uint32_t width) {
  if (width == 4) {
    float f;
    std::memcpy(&f, at, 4);
    return static_cast<double>(f);
  }
  double d;
  std::memcpy(&d, at, 8);
  return d;
}

Cell pick_value(const Cell* vector, int32_t index) {
  uint32_t type = element_type_of(vector);
  return value_of(number_at(element_ptr(vector, index), width_of(vector), type), type);
}

void check_element(const Cell* value, uint32_t element_type) {
  uint32_t t = TYPE_OF(value);
  if (!number_kind_q(t)) fire(ErrorCategory::kScript, "invalid-type", datatype_cell(t));
  if (t != element_type) fire(ErrorCategory::kScript, "invalid-arg", *value);
}

void store_element(uint8_t* at, const Cell* value, uint32_t width, uint32_t element_type) {
  if (float_kind_q(element_type)) store_float(at, width, value_number(value));
  else store_int(at, width, value_int(value));
}

void set_element(uint8_t* at, const Cell* value, uint32_t width, uint32_t element_type) {
  check_element(value, element_type);
  store_element(at, value, width, element_type);
}

void append_value(Cell* vector, const Cell* value) {
  uint32_t width = width_of(vector);
  uint8_t element[8];
  set_element(element, value, width, element_type_of(vector));
  std::memcpy(series_reserve_tail_bytes(node_of(vector), width), element, width);
}

void append_int32(Cell* vector, int32_t value) { series_append_int32(node_buffer(node_of(vector)), value); }

void truncate_at_head(Cell* vector) {
  int32_t head = series::clamp_head(vector);
  SeriesBuffer* b = node_buffer(node_of(vector));
  b->tail = b->head + static_cast<uint32_t>(head) * b->unit();
}

void load_block(Cell* vector, const Cell* block) {
  Cell b = *block;
  Elements e = gather(&b, -1, false, width_of(vector), element_type_of(vector));
  if (e.count == 0) return;
  written_count(e, 1, width_of(vector), total_of(vector));
  splice(node_of(vector), total_of(vector), 0, e, 1);
}

Cell* to_block(Cell* vector, Cell* out) {
  RootedCell v(*vector);
  int32_t head = series::clamp_head(v.get());
  int32_t n = total_of(v.get()) - head;
  block::init_cell(out, n < 1 ? 1 : n);
  for (int32_t i = 0; i < n; ++i) {
    Cell element = pick_value(v.get(), head + i);
    block::append_cell(out, &element);
  }
  return out;
}

void scalar_math(int32_t op) {
  Cell* left = stack::arguments();
  Cell* right = left + 1;
  Cell scalar = *left;
  math_in_place(right, &scalar, op, true);
  *left = *right;
}

Cell* push(const Cell* vector) { return stack::push_copy(vector); }

void init() {
  datatype::register_type(TYPE_VECTOR, TYPE_STRING, "vector!", {
      own<ACT_MAKE>(make), refuse<ACT_TO>, own<ACT_FORM>(form), own<ACT_MOLD>(mold),
      own<ACT_EVAL_PATH>(eval_path), own<ACT_COMPARE>(compare), own_math<ACT_ADD, do_math>(), own_math<ACT_DIVIDE, do_math>(),
      own_math<ACT_MULTIPLY, do_math>(), own_math<ACT_REMAINDER, do_math>(), own_math<ACT_SUBTRACT, do_math>(),
      own_math<ACT_AND_T, do_math>(), own_math<ACT_OR_T, do_math>(), own_math<ACT_XOR_T, do_math>(), own<ACT_APPEND>(insert),
      own<ACT_CHANGE>(change), own<ACT_FIND>(find), own<ACT_INSERT>(insert), refuse<ACT_PUT>,
      own<ACT_SELECT>(select), own<ACT_SORT>(sort), refuse<ACT_SWAP>, refuse<ACT_TRIM>,
  });
}

}  // namespace kiv::vector
