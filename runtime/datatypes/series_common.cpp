#include "runtime/datatypes/series_common.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/vector.h"
#include "runtime/datatypes/word.h"
#include "runtime/datatypes/actions.h"
#include "runtime/hashtable.h"
#include "runtime/host/random.h"
#include "runtime/murmur3.h"
#include "runtime/ownership.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/type_traits.h"

namespace kiv::series {

namespace {

inline int32_t head_index(const Cell* s) { return static_cast<int32_t>(s->data1); }

// An image counts its pixels (none without a record); see image.h.
inline int32_t total_units(const Cell* s) {
  if (TYPE_OF(s) == TYPE_IMAGE) return s->data2 ? static_cast<int32_t>((s->data3 & 0xFFFF) * (s->data3 >> 16)) : 0;
  return static_cast<int32_t>(node_buffer(s->data2)->length());
}

inline uint32_t unit_of(const Cell* s) {
  uint32_t u = node_buffer(s->data2)->unit();
  return u ? u : 1;
}

// Address of unit n from the buffer's first unit (raw).
inline uint8_t* unit_ptr(const Cell* s, int32_t n) {
  SeriesBuffer* b = node_buffer(s->data2);
  return b->head_ptr() + static_cast<size_t>(n) * (b->unit() ? b->unit() : 1);
}

inline int32_t clamp32(int64_t v, int64_t lo, int64_t hi) {
  return static_cast<int32_t>(v < lo ? lo : (v > hi ? hi : v));
}

Cell integer_cell(int32_t n) {
  Cell c;
  integer::init_cell(&c, n);
  return c;
}

// An integer! argument of a navigation action, else script/invalid-arg.
int32_t integer_argument(const Cell* c) {
  if (TYPE_OF(c) != TYPE_INTEGER) fire(ErrorCategory::kScript, "invalid-arg", *c);
  return integer::get(c);
}

// The count an integer!, float! or percent! stands for (floats truncated and
// saturated); false for any other value.
bool number_value(const Cell* c, int32_t* out) {
  switch (TYPE_OF(c)) {
    case TYPE_INTEGER:
      *out = integer::get(c);
      return true;
    case TYPE_FLOAT:
    case TYPE_PERCENT: {
      *out = float_::truncate_saturated<int32_t>(cell_float(c));  // NaN counts 0
      return true;
    }
    default:
      return false;
  }
}

// True when the /part value is a position in the series' own buffer.
bool same_series_q(const Cell* series, const Cell* other) {
  return TYPE_OF(other) == TYPE_OF(series) && other->data2 == series->data2;
}

// Exchanges two records of bytes.
void swap_bytes(uint8_t* a, uint8_t* b, size_t n) {
  uint8_t tmp[64];
  while (n > 0) {
    size_t k = n < sizeof tmp ? n : sizeof tmp;
    std::memcpy(tmp, a, k);
    std::memcpy(a, b, k);
    std::memcpy(b, tmp, k);
    a += k;
    b += k;
    n -= k;
  }
}

// Removes count units at index (both within the buffer), shifting the rest
// down; keeps a hash! table in step.
void remove_units(const Cell* series, int32_t index, int32_t count) {
  SeriesBuffer* b = node_buffer(series->data2);
  uint32_t u = b->unit() ? b->unit() : 1;
  int32_t total = static_cast<int32_t>(b->length());
  if (index >= total || count <= 0) return;
  if (count > total - index) count = total - index;
  uint8_t* p = b->head_ptr() + static_cast<size_t>(index) * u;
  std::memmove(p, p + static_cast<size_t>(count) * u, static_cast<size_t>(total - index - count) * u);
  b->tail -= static_cast<uint32_t>(count) * u;
  hash_shifted(series, index, -count);
}

// Opens a gap of count units at index in the node's buffer (growing it),
// moving what follows up.
uint8_t* open_gap(uint32_t node, int32_t index, int32_t count) {
  SeriesBuffer* b = node_buffer(node);
  uint32_t u = b->unit() ? b->unit() : 1;
  uint64_t need = static_cast<uint64_t>(count) * u;
  if (static_cast<uint64_t>(b->used_bytes()) + need > kMaxSeriesBytes) fire(ErrorCategory::kInternal, "no-memory");
  if (b->room() < need) {
    uint64_t size = (static_cast<uint64_t>(b->used_bytes()) + need) * 2;
    if (size > kMaxSeriesBytes) size = static_cast<uint64_t>(b->used_bytes()) + need;
    b = expand_series_copy(b, static_cast<int64_t>(size));
  }
  int32_t total = static_cast<int32_t>(b->length());
  if (index > total) index = total;
  uint8_t* p = b->head_ptr() + static_cast<size_t>(index) * u;
  std::memmove(p + need, p, static_cast<size_t>(total - index) * u);
  b->tail += static_cast<uint32_t>(need);
  return p;
}

// The frame's word for errors that name the action.
Cell calling_word_cell() {
  Cell w;
  stack::calling_word(&w);
  return w;
}

FunctionInvoker& invoker() {
  static FunctionInvoker f;
  return f;
}

}  // namespace

// ---------------------------------------------------------------------------
// Type families and positions.

bool series_type_q(uint32_t type) { return series_group_q(type); }

bool at_tail_q(const Cell* series) { return head_index(series) >= total_units(series); }

int32_t buffer_length(const Cell* series) { return total_units(series); }

int32_t length(Cell* series, bool from_start) {
  int32_t total = total_units(series);
  if (from_start) return total;
  int32_t head = head_index(series);
  if (head < 0) head = 0;
  if (head > total) {
    series->data1 = static_cast<uint32_t>(total);
    return 0;
  }
  return total - head;
}

bool skip_and_test(Cell* series, int32_t n) {
  int64_t pos = static_cast<int64_t>(head_index(series)) + n;
  int32_t total = total_units(series);
  if (pos >= 0 && pos <= total) series->data1 = static_cast<uint32_t>(pos);
  return pos >= total;
}

int32_t clamp_head(Cell* series) {
  int32_t total = total_units(series);
  int32_t head = head_index(series);
  if (head < 0) head = 0;
  if (head > total) head = total;
  series->data1 = static_cast<uint32_t>(head);
  return head;
}

// ---------------------------------------------------------------------------
// Helpers.

void fire_invalid_refine(words::Id refinement, const Cell* value) {
  fire(ErrorCategory::kScript, "invalid-refine-arg", *words::cell_of(refinement), *value);
}

int32_t part_count(Cell* series, const Cell* part) {
  int32_t n;
  if (number_value(part, &n)) return n;
  if (!same_series_q(series, part)) fire_invalid_refine(words::REF_PART, part);
  Cell other = *part;
  return clamp_head(&other) - clamp_head(series);
}

int32_t skip_size(const Cell* skip) {
  if (TYPE_OF(skip) != TYPE_INTEGER) fire_invalid_refine(words::REF_SKIP, skip);
  return integer::get(skip);
}

Cell element_at(const Cell* series, int32_t index) {
  uint32_t type = TYPE_OF(series);
  SeriesBuffer* b = node_buffer(series->data2);
  uint32_t u = b->unit() ? b->unit() : 1;
  const uint8_t* at = b->head_ptr() + static_cast<size_t>(index) * u;
  if (any_block_q(type) || type == TYPE_MAP) return *reinterpret_cast<const Cell*>(at);
  if (type == TYPE_BINARY) return Cell{TYPE_INTEGER, 0, *at, 0};
  if (type == TYPE_VECTOR) return vector::pick_value(series, index);
  return Cell{TYPE_CHAR, 0, string::get_char(at, u), 0};
}

bool has_hash_table_q(const Cell* series) { return TYPE_OF(series) == TYPE_HASH && series->data3 != 0; }

void hash_shifted(const Cell* series, int32_t at, int32_t amount) {
  if (!has_hash_table_q(series) || amount == 0) return;
  uint32_t table = series->data3;
  uint32_t count = static_cast<uint32_t>(total_units(series));
  if (hashtable_update_range(table, amount, static_cast<uint32_t>(at), count) != 0) {
    hashtable_rebuild(table);
    return;
  }
  for (int32_t i = 0; i < amount; ++i) {
    bool rebuilt = false;
    hashtable_put_index(table, static_cast<uint32_t>(at + i), &rebuilt);
    if (rebuilt) break;  // the whole block was indexed afresh
  }
}

void hash_rebuild(const Cell* series) {
  if (has_hash_table_q(series)) hashtable_rebuild(series->data3);
}

// ---------------------------------------------------------------------------
// Callbacks into Kiv.

void set_function_invoker(FunctionInvoker f) { invoker() = std::move(f); }

bool function_invoker_q() { return static_cast<bool>(invoker()); }

void invoke_function(const Cell* function, const Cell* args, uint32_t count, uint32_t callback_kind,
                     Cell* result) {
  if (!invoker()) fire(ErrorCategory::kInternal, "not-done");
  invoker()(function, args, count, callback_kind, result);
}

int32_t comparator_result(const Cell* result) {
  switch (TYPE_OF(result)) {
    case TYPE_LOGIC:
      return logic::get(result) ? 1 : -1;
    case TYPE_INTEGER:
      return integer::sign(integer::get(result));
    case TYPE_FLOAT: {
      double d = cell_float(result);
      return d > 0.0 ? 1 : (d < 0.0 ? -1 : 0);
    }
    case TYPE_NONE:
      return -1;
    default:
      return 1;
  }
}

// ---------------------------------------------------------------------------
// Navigation. The base cell is the series and the result.

void at() {
  Cell* s = stack::arguments();
  int32_t n = integer_argument(s + 1);
  int64_t head = clamp_head(s);
  int64_t pos = n >= 1 ? head + n - 1 : head + n;
  s->data1 = static_cast<uint32_t>(clamp32(pos, 0, total_units(s)));
}

void skip() {
  Cell* s = stack::arguments();
  int32_t n = integer_argument(s + 1);
  int64_t pos = static_cast<int64_t>(clamp_head(s)) + n;
  s->data1 = static_cast<uint32_t>(clamp32(pos, 0, total_units(s)));
}

void back() {
  Cell* s = stack::arguments();
  int32_t head = clamp_head(s);
  if (head > 0) s->data1 = static_cast<uint32_t>(head - 1);
}

void next() {
  Cell* s = stack::arguments();
  clamp_head(s);
  skip_and_test(s, 1);
}

void head() { stack::arguments()->data1 = 0; }

void tail() {
  Cell* s = stack::arguments();
  s->data1 = static_cast<uint32_t>(total_units(s));
}

void head_q() {
  Cell* s = stack::arguments();
  logic::init_cell(s, clamp_head(s) == 0);
}

void tail_q() {
  Cell* s = stack::arguments();
  logic::init_cell(s, at_tail_q(s));
}

// The position as it stands, even past the tail of a series that shrank
// under it (length? and tail? clamp; index? tells where the value points).
void index_q() {
  Cell* s = stack::arguments();
  int32_t head = head_index(s);
  integer::init_cell(s, (head < 0 ? 0 : head) + 1);
}

int32_t length_q(Cell* series) { return length(series); }

// ---------------------------------------------------------------------------
// pick and poke.

Cell* pick(Cell* series, int32_t index, Cell*) {
  int64_t head = clamp_head(series);
  int64_t pos = head + (index > 0 ? index - 1 : index);
  if (index == 0 || pos < 0 || pos >= total_units(series)) {
    *series = none_value;
    return series;
  }
  // The result goes into the series' own cell (the frame's base cell).
  *series = element_at(series, static_cast<int32_t>(pos));
  return series;
}

Cell* poke(Cell* series, int32_t index, Cell* value, Cell* index_cell) {
  Cell v = *value;
  int64_t head = clamp_head(series);
  int64_t pos = head + (index > 0 ? index - 1 : index);
  Cell index_value = index_cell ? *index_cell : integer_cell(index);
  if (index == 0 || pos < 0 || pos >= total_units(series)) fire(ErrorCategory::kScript, "out-of-range", index_value);
  int32_t at = static_cast<int32_t>(pos);
  uint32_t type = TYPE_OF(series);
  ownership::notify_around(series, words::WORD_POKE, at, 1, [&] {
    // An owner's handler may have shortened the series meanwhile.
    if (at >= total_units(series)) fire(ErrorCategory::kScript, "out-of-range", index_value);
    if (any_block_q(type)) {
      bool indexed = has_hash_table_q(series);
      if (indexed) hashtable_delete_index(series->data3, static_cast<uint32_t>(at));
      *reinterpret_cast<Cell*>(unit_ptr(series, at)) = v;
      if (indexed) hashtable_put_index(series->data3, static_cast<uint32_t>(at));
    } else if (type == TYPE_BINARY) {
      uint8_t byte;
      if (TYPE_OF(&v) == TYPE_INTEGER) byte = static_cast<uint8_t>(integer::get(&v));
      else if (TYPE_OF(&v) == TYPE_CHAR && v.data2 <= 0xFF) byte = static_cast<uint8_t>(v.data2);
      else fire(ErrorCategory::kScript, "invalid-arg", v);
      *unit_ptr(series, at) = byte;
    } else if (type == TYPE_VECTOR) {
      vector::set_element(unit_ptr(series, at), &v, unit_of(series), vector::element_type_of(series));
    } else if (string::any_string_q(type)) {
      if (TYPE_OF(&v) != TYPE_CHAR) fire(ErrorCategory::kScript, "invalid-arg", v);
      string::put_char(series->data2, at, v.data2);
    } else {
      fire(ErrorCategory::kScript, "invalid-arg", v);
    }
  });
  *value = v;
  return value;
}

// ---------------------------------------------------------------------------
// clear, remove, reverse, random.

Cell* clear(Cell* series) {
  int32_t head = clamp_head(series);
  int32_t len = total_units(series) - head;
  if (len < 1) return series;
  ownership::notify_around(series, words::WORD_CLEAR, head, len, [&] {
    int32_t at = clamp_head(series);
    int32_t total = total_units(series);
    if (has_hash_table_q(series) && total > at)
      hashtable_clear_range(series->data3, static_cast<uint32_t>(at), static_cast<uint32_t>(total - at));
    SeriesBuffer* b = node_buffer(series->data2);
    b->tail = b->head + static_cast<uint32_t>(at) * (b->unit() ? b->unit() : 1);
  });
  return series;
}

Cell* remove(Cell* series, Cell* part, Cell* key) {
  int32_t count = 1;
  if (part) {
    count = part_count(series, part);
    if (count < 1) return series;
  }
  int32_t at = clamp_head(series);
  if (key) {
    Cell where = *series;
    Cell k = *key;
    RootedCell keep(where);
    Cell* found = dispatch_find(keep.get(), &k, {.case_sensitive = true});
    if (TYPE_OF(found) == TYPE_NONE) {
      *series = none_value;
      return series;
    }
    at = head_index(found);
    ++count;
  }
  if (at >= total_units(series)) return series;
  ownership::notify_around(series, words::KEY_REMOVE, at, count, [&] { remove_units(series, at, count); });
  return series;
}

Cell* reverse(Cell* series, Cell* part, Cell* skip) {
  int32_t head = clamp_head(series);
  int32_t span = total_units(series) - head;
  if (span < 1) return series;
  if (part) {
    int32_t n = part_count(series, part);
    if (n < 1) return series;
    if (n < span) span = n;
  }
  int32_t record = 1;
  if (skip) {
    record = skip_size(skip);
    if (record < 1) fire(ErrorCategory::kScript, "out-of-range", *skip);
    if (record == span) return series;  // one record
    if (span < record || span % record != 0) fire_invalid_refine(words::REF_SKIP, skip);
  }
  ownership::notify_around(series, words::WORD_REVERSE, head, span, [&] {
    // Measured again: an owner's handler may have shortened the series.
    int32_t n = std::min(span, total_units(series) - head);
    n -= n % record;
    uint32_t u = unit_of(series);
    size_t width = static_cast<size_t>(record) * u;
    uint8_t* low = unit_ptr(series, head);
    uint8_t* high = low + static_cast<size_t>(n) * u - width;
    while (low < high) {
      swap_bytes(low, high, width);
      low += width;
      high -= width;
    }
    hash_rebuild(series);
  });
  return series;
}

Cell* random(Cell* series, bool seed, bool secure, bool only) {
  int32_t head = clamp_head(series);
  int32_t total = total_units(series);
  random::Source source = secure ? random::Source::secure : random::Source::generator;
  if (seed) {
    uint32_t u = unit_of(series);
    const uint8_t* from = unit_ptr(series, head);
    uint32_t h = murmur3_hash(from, static_cast<size_t>(total - head) * u);
    random::seed(h);
    set_unset(series);
    return series;
  }
  if (only) {
    int32_t len = total - head;
    if (len < 1) {
      *series = none_value;
      return series;
    }
    int32_t k = random::integer(source, len);
    *series = element_at(series, head + k - 1);
    return series;
  }
  ownership::notify_around(series, words::WORD_RANDOM, head, total - head, [&] {
    int32_t end = total_units(series);
    uint32_t u = unit_of(series);
    for (int32_t i = head; i < end - 1; ++i) {
      int32_t j = i + random::integer(source, end - i) - 1;
      if (j != i) swap_bytes(unit_ptr(series, i), unit_ptr(series, j), u);
    }
    hash_rebuild(series);
  });
  return series;
}

// ---------------------------------------------------------------------------
// take and copy.

Cell* take(Cell* series, Cell* part, bool, bool last) {
  int32_t head = clamp_head(series);
  int32_t len = total_units(series) - head;
  if (len < 1) {
    *series = none_value;
    return series;
  }
  int32_t count = 1;
  if (part) {
    int32_t n;
    if (number_value(part, &n)) {
      count = n;
    } else {
      if (!same_series_q(series, part)) fire_invalid_refine(words::REF_PART, part);
      Cell other = *part;
      int32_t ph = clamp_head(&other);
      count = ph < head ? 0 : (last ? head + len - ph : ph - head);
    }
    if (count > len) count = len;
  }
  Cell source = *series;
  uint32_t header = series->header & ~kFlagNewLine;
  RootedNode taken(0);
  if (count < 1) {
    // Nothing to take: an empty series of the same type.
    taken = alloc_series(0, unit_of(&source), 0);
  } else {
    int32_t from = last ? head + len - count : head;
    ownership::notify_around(&source, words::WORD_TAKE, from, count, [&] {
      int32_t total = total_units(&source);
      int32_t n = std::min(count, total - (last ? 0 : head));
      int32_t start = last ? total - n : head;
      if (n < 1) {
        taken = alloc_series(0, unit_of(&source), 0);
        return;
      }
      taken = copy_series_part(source.data2, static_cast<uint32_t>(start), static_cast<uint32_t>(n))->node;
      remove_units(&source, start, n);
    });
  }
  *series = Cell{header, 0, taken.get(), TYPE_OF(series) == TYPE_VECTOR ? series->data3 : 0};
  if (TYPE_OF(series) == TYPE_HASH) {
    Cell plain = *series;
    series->data3 = hashtable_init(static_cast<uint32_t>(total_units(&plain)), &plain, hashtable::kKindHash, 0);
  }
  return series;
}

Range copy_range(Cell* series, const Cell* part) {
  int32_t head = clamp_head(series);
  int32_t total = total_units(series);
  int64_t start = head;
  int64_t count = total - head;
  if (part) {
    int32_t n;
    if (number_value(part, &n)) {
      count = n;
    } else if (TYPE_OF(part) == TYPE_PAIR) {
      int64_t x = static_cast<int32_t>(part->data2), y = static_cast<int32_t>(part->data3);
      start = x > 0 ? head + x - 1 : head + x;
      if (start < 0) start = 0;
      count = y < x ? 0 : y - x;
    } else {
      count = part_count(series, part);
    }
  }
  if (count < 0) {
    count = -count;
    start -= count;
    if (start < 0) {
      count = head;
      start = 0;
    }
  }
  if (start > total) {
    start = total;
    count = 0;
  }
  if (start + count > total) count = total - start;
  return Range{static_cast<int32_t>(start), static_cast<int32_t>(count)};
}

Cell* copy(Cell* value, Cell* destination, Cell* part, bool, Cell*) {
  Range r = copy_range(value, part);
  uint32_t node = copy_series_part(value->data2, static_cast<uint32_t>(r.start), static_cast<uint32_t>(r.count))->node;
  *destination = Cell{value->header, 0, node, TYPE_OF(value) == TYPE_VECTOR ? value->data3 : 0};
  return destination;
}

// ---------------------------------------------------------------------------
// move.

Cell* move(Cell* origin, Cell* target, Cell* part) {
  if (!series_type_q(TYPE_OF(origin)))
    fire(ErrorCategory::kScript, "expect-arg", calling_word_cell(), datatype_cell(TYPE_OF(origin)),
         word::load("origin"));
  if (!series_type_q(TYPE_OF(target)))
    fire(ErrorCategory::kScript, "expect-arg", calling_word_cell(), datatype_cell(TYPE_OF(target)),
         word::load("target"));
  int32_t from = clamp_head(origin);
  int32_t len = total_units(origin) - from;
  if (len < 1) return target;
  int32_t count = 1;
  if (part) {
    if (TYPE_OF(part) != TYPE_INTEGER) fire_invalid_refine(words::REF_PART, part);
    count = integer::get(part);
    if (count < 1) return target;
    if (count > len) count = len;
  }

  if (origin->data2 != target->data2) {
    bool block_origin = any_block_q(TYPE_OF(origin)), block_target = any_block_q(TYPE_OF(target));
    uint32_t u1 = unit_of(origin), u2 = unit_of(target);
    bool text = string::any_string_q(TYPE_OF(origin)) && string::any_string_q(TYPE_OF(target));
    // A vector exchanges elements only with a vector of its element type
    // (and, as every other series, of its width).
    bool vector_origin = TYPE_OF(origin) == TYPE_VECTOR, vector_target = TYPE_OF(target) == TYPE_VECTOR;
    bool vectors_apart = (vector_origin || vector_target) &&
                         (vector_origin != vector_target || origin->data3 != target->data3);
    if (block_origin != block_target || (u1 != u2 && !text) || vectors_apart)
      fire(ErrorCategory::kScript, "move-bad", datatype_cell(TYPE_OF(origin)), datatype_cell(TYPE_OF(target)));
    int32_t to = clamp_head(target);
    bool owned_origin = ownership::check(origin, words::WORD_MOVE, from, count);
    bool owned_target = ownership::check(target, words::WORD_MOVE, to, count);
    // Measured again after the owners' handlers.
    from = clamp_head(origin);
    count = std::min(count, total_units(origin) - from);
    to = clamp_head(target);
    if (count > 0) {
      if (u1 != u2) {
        string::move_chars(origin, target, count);
      } else {
        uint8_t* gap = open_gap(target->data2, to, count);
        std::memcpy(gap, unit_ptr(origin, from), static_cast<size_t>(count) * u1);
        hash_shifted(target, to, count);
        remove_units(origin, from, count);
      }
    }
    if (owned_origin) ownership::check(origin, words::WORD_MOVED, from, count);
    if (owned_target) ownership::check(target, words::WORD_MOVED, to, count);
    return target;
  }

  // Within one series: the target position counts in the series as it is
  // before the move; a target past the tail is the tail.
  int32_t total = total_units(origin);
  int32_t to = head_index(target) < 0 ? 0 : std::min(head_index(target), total);
  // A target inside the moved span has nowhere to go. Any other target has
  // room: the span lands after its element, or at the end for the tail, so a
  // target near the tail is not refused.
  if (to >= from && to < from + count) return target;
  ownership::notify_around(origin, words::WORD_MOVE, from, count, [&] {
    int32_t now = total_units(origin);
    if (from + count > now || to > now) return;  // shortened meanwhile
    uint32_t u = unit_of(origin);
    std::vector<uint8_t> moved(static_cast<size_t>(count) * u);
    uint8_t* base = unit_ptr(origin, 0);
    std::memcpy(moved.data(), base + static_cast<size_t>(from) * u, moved.size());
    if (to < from) {
      // Before the target element: the values between move up.
      std::memmove(base + static_cast<size_t>(to + count) * u, base + static_cast<size_t>(to) * u,
                   static_cast<size_t>(from - to) * u);
      std::memcpy(base + static_cast<size_t>(to) * u, moved.data(), moved.size());
    } else {
      // Just after the target element, or at the end when the target is the
      // tail: the values between move down.
      int32_t end = to == now ? now : to + 1;
      std::memmove(base + static_cast<size_t>(from) * u, base + static_cast<size_t>(from + count) * u,
                   static_cast<size_t>(end - from - count) * u);
      std::memcpy(base + static_cast<size_t>(end - count) * u, moved.data(), moved.size());
    }
    hash_rebuild(origin);
  });
  return target;
}

// ---------------------------------------------------------------------------
// reflect and modify: the series' owner.

Cell* reflect(Cell* series, Cell* field) {
  if (!words::is(field, words::SYM_OWNED)) fire(ErrorCategory::kInternal, "not-done");
  const Cell* record = ownership::owner_of(series->data2);
  if (!record) {
    *series = none_value;
    return series;
  }
  RootedCell owner(record[1]), word(record[2]);
  RootedCell out;
  block::init_cell(out.get(), 2);
  block::append_cell(out.get(), owner.get());
  block::append_cell(out.get(), word.get());
  *series = *out;
  return series;
}

Cell* modify(Cell* target, Cell* field, Cell* value, bool) {
  if (!words::is(field, words::SYM_OWNED)) return value;
  if (TYPE_OF(value) == TYPE_NONE) {
    ownership::unbind(target);
  } else if (TYPE_OF(value) == TYPE_BLOCK) {
    Cell spec = *value;
    if (length(&spec) < 2) fire(ErrorCategory::kScript, "invalid-arg", *value);
    Cell owner = element_at(&spec, head_index(&spec));
    Cell word = element_at(&spec, head_index(&spec) + 1);
    if (TYPE_OF(&owner) != TYPE_OBJECT) fire(ErrorCategory::kScript, "invalid-arg", *value);
    ownership::bind(target, &owner, &word);
  }
  return value;
}

// ---------------------------------------------------------------------------

void init() {
  datatype::register_type(TYPE_SERIES, 0, "series!", {
      own<ACT_RANDOM>(random), own<ACT_REFLECT>(reflect), own<ACT_AT>(at), own<ACT_BACK>(back),
      own<ACT_CLEAR>(clear), own<ACT_COPY>(copy), own<ACT_HEAD>(head), own<ACT_HEAD_Q>(head_q),
      own<ACT_INDEX_Q>(index_q), own<ACT_LENGTH_Q>(length_q), own<ACT_MOVE>(move),
      own<ACT_NEXT>(next), own<ACT_PICK>(pick), own<ACT_POKE>(poke), own<ACT_REMOVE>(remove),
      own<ACT_REVERSE>(reverse), own<ACT_SKIP>(skip), own<ACT_TAIL>(tail), own<ACT_TAIL_Q>(tail_q),
      own<ACT_TAKE>(take), own<ACT_MODIFY>(modify),
  });
}

}  // namespace kiv::series
