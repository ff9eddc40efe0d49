#include "runtime/datatypes/string.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/case_fold.h"
#include "runtime/collector.h"
#include "runtime/float_text.h"
#include "runtime/memory.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/text_units.h"
#include "runtime/unicode.h"

namespace kiv::string {

namespace {

constexpr uint32_t kReplacementChar = 0xFFFD;

// The unit a buffer of unit `unit` must have to hold cp when the value is
// appended: a unit-1 buffer keeps only ASCII on append.
inline uint32_t unit_for_append(uint32_t unit, uint32_t cp) {
  if (cp > 0xFFFF) return 4;
  if (unit == 1 && cp > 127) return 2;
  return unit;
}

// The unit needed to overwrite a unit with cp: unit 1 keeps up to 255.
inline uint32_t unit_for_put(uint32_t unit, uint32_t cp) {
  if (cp > 0xFFFF) return 4;
  if (unit == 1 && cp > 255) return 2;
  return unit;
}

inline uint32_t round16(uint64_t n) { return static_cast<uint32_t>((n + 15) & ~uint64_t{15}); }

// Makes room for `extra` more bytes after the tail; grows to twice the used
// plus the extra bytes when short. Answers the (possibly new) buffer.
SeriesBuffer* ensure_room(uint32_t node, uint64_t extra) {
  SeriesBuffer* b = node_buffer(node);
  if (b->room() >= extra) return b;
  uint64_t want = (static_cast<uint64_t>(b->used_bytes()) + extra) * 2;
  if (want > kMaxSeriesBytes) want = static_cast<uint64_t>(b->used_bytes()) + extra;
  return expand_series_copy(b, round16(want));
}

// Clamps the head index of a string value to [0, length] and stores it back.
inline int32_t clamp_head(Cell* value) {
  const SeriesBuffer* b = node_buffer(node_of(value));
  int32_t total = static_cast<int32_t>(b->length());
  int32_t idx = index_of(value);
  if (idx < 0) idx = 0;
  if (idx > total) {
    idx = total;
    value->data1 = static_cast<uint32_t>(idx);
  }
  return idx;
}

// A string view of a value read as text: a string kind as it is, a symbol!
// entry through its cached text from index 0. A symbol without cached text
// reads as empty.
inline Cell text_cell(const Cell* value) {
  if (TYPE_OF(value) == TYPE_SYMBOL) return Cell{TYPE_STRING, 0, value->data2, 0};
  return *value;
}

inline bool readable_q(const Cell& c) { return c.data2 != 0; }

}  // namespace

// ---------------------------------------------------------------------------
// Cells.

Cell* init_sized(Cell* cell, int32_t capacity, uint32_t unit) {
  if (unit != 1 && unit != 2 && unit != 4) text_unit_fault(unit);
  uint32_t count = capacity > 0 ? static_cast<uint32_t>(capacity) : 1;
  uint32_t node = alloc_series(count, unit, 0);
  *cell = Cell{TYPE_STRING, 0, node, 0};
  return cell;
}

Cell* init_cell(Cell* cell, int32_t capacity) { return init_sized(cell, capacity, 1); }

Cell* push(const Cell* value) { return stack::push_copy(value); }

Cell* load_encoded(const uint8_t* bytes, size_t length, int32_t encoding, Cell* target) {
  uint32_t node = 0;
  switch (encoding) {
    case kEncodingUtf8:
      node = load_utf8_cstring(bytes, length);
      break;
    case kEncodingUtf16le:
      if (length % 2 != 0) fire(ErrorCategory::kScript, "invalid-data", "odd byte count in UTF-16LE text");
      node = load_utf16le_string(bytes, length / 2, nullptr, false);
      break;
    default:
      fire(ErrorCategory::kScript, "invalid-arg", Cell{TYPE_INTEGER, 0, static_cast<uint32_t>(encoding), 0});
  }
  Cell made{TYPE_STRING, 0, node, 0};
  if (target == nullptr) target = stack::push_new_cell();
  *target = made;
  return target;
}

Cell* load_encoded_at_tail(const Cell* block, const uint8_t* bytes, size_t length, int32_t encoding) {
  RootedCell made;
  load_encoded(bytes, length, encoding, made.get());
  Cell* slot = series_new_tail_cell(block->data2);
  *slot = *made.get();
  return slot;
}

// ---------------------------------------------------------------------------
// Measuring and addressing.

int32_t length(Cell* value) {
  int32_t idx = clamp_head(value);
  return static_cast<int32_t>(node_buffer(node_of(value))->length()) - idx;
}

int32_t length_whole(const Cell* value) {
  return static_cast<int32_t>(node_buffer(node_of(value))->length());
}

uint32_t unit_of(const Cell* value) { return node_buffer(node_of(value))->unit(); }

HeldPtr<uint8_t> head_pointer(Cell* value) {
  int32_t idx = clamp_head(value);
  SeriesBuffer* b = node_buffer(node_of(value));
  return b->head_ptr() + static_cast<size_t>(idx) * b->unit();
}

bool at_tail_q(Cell* value) { return length(value) <= 0; }

std::vector<uint32_t> head_chars(Cell* value, int32_t count) {
  std::vector<uint32_t> out(static_cast<size_t>(count > 0 ? count : 0));
  HeldPtr<const uint8_t> p = head_pointer(value);
  uint32_t u = unit_of(value);
  for (size_t i = 0; i < out.size(); ++i) out[i] = read_unit(p + i * u, u);
  return out;
}

uint32_t char_at_index(const Cell* value, int32_t n) {
  SeriesBuffer* b = node_buffer(node_of(value));
  return read_unit(b->head_ptr() + static_cast<size_t>(n) * b->unit(), b->unit());
}

uint32_t get_char(const uint8_t* address, uint32_t unit) { return read_unit(address, unit); }

int32_t index_of_char(Cell* value, uint32_t code_point) {
  int32_t n = length(value);
  HeldPtr<const uint8_t> p = head_pointer(value);
  uint32_t u = unit_of(value);
  for (int32_t i = 0; i < n; ++i)
    if (read_unit(p + static_cast<size_t>(i) * u, u) == code_point) return i;
  return -1;
}

bool contains_char_q(Cell* value, uint32_t code_point, int32_t step, bool case_sensitive) {
  if (step < 1) step = 1;
  int32_t n = length(value);
  HeldPtr<const uint8_t> p = head_pointer(value);
  uint32_t u = unit_of(value);
  int32_t want = case_sensitive ? static_cast<int32_t>(code_point) : fold_case(static_cast<int32_t>(code_point));
  for (int64_t i = 0; i < n; i += step) {
    int32_t c = static_cast<int32_t>(read_unit(p + static_cast<size_t>(i) * u, u));
    if (!case_sensitive) c = fold_case(c);
    if (c == want) return true;
  }
  return false;
}

bool starts_with_text_q(Cell* value, const char* text) {
  size_t len = std::strlen(text);
  if (static_cast<size_t>(length(value)) < len) return false;
  HeldPtr<const uint8_t> p = head_pointer(value);
  uint32_t u = unit_of(value);
  for (size_t i = 0; i < len; ++i)
    if (read_unit(p + i * u, u) != static_cast<uint8_t>(text[i])) return false;
  return true;
}

// ---------------------------------------------------------------------------
// Widening.

void widen(uint32_t node, uint32_t from_unit, uint32_t to_unit) {
  if (node_buffer(node)->unit() != from_unit) text_unit_fault(node_buffer(node)->unit());
  if (from_unit == 1 && to_unit == 2) widen_latin1_to_ucs2(node);
  else if (from_unit == 1 && to_unit == 4) widen_latin1_to_ucs4(node);
  else if (from_unit == 2 && to_unit == 4) widen_ucs2_to_ucs4(node);
  else text_unit_fault(to_unit);
}

uint32_t widen_copy(uint32_t source, int32_t offset, int32_t end, uint32_t target, uint32_t new_unit,
                    bool keep) {
  if (new_unit != 2 && new_unit != 4) text_unit_fault(new_unit);
  int32_t total = static_cast<int32_t>(node_buffer(source)->length());
  if (offset < 0) offset = 0;
  if (end > total) end = total;
  int32_t n = end > offset ? end - offset : 0;
  uint64_t bytes = static_cast<uint64_t>(n) * new_unit;
  if (bytes > kMaxSeriesBytes) throw_no_memory();
  if (target == 0) {
    target = alloc_series(static_cast<uint32_t>(n > 0 ? n : 1), new_unit, 0);
  } else if (static_cast<uint64_t>(node_buffer(target)->size) - node_buffer(target)->head < bytes) {
    expand_series_copy(node_buffer(target), round16(bytes));
  }
  // Both buffers are fetched after the allocations above.
  const SeriesBuffer* sb = node_buffer(source);
  SeriesBuffer* tb = node_buffer(target);
  uint32_t su = sb->unit();
  const uint8_t* from = sb->data() + sb->head + static_cast<size_t>(offset) * su;
  uint8_t* to = tb->head_ptr();
  for (int32_t i = 0; i < n; ++i)
    write_unit(to + static_cast<size_t>(i) * new_unit, new_unit, read_unit(from + static_cast<size_t>(i) * su, su));
  if (!keep) {
    tb->tail = tb->head + static_cast<uint32_t>(bytes);
    tb->flags = (tb->flags & ~kSeriesUnitMask) | new_unit;
  }
  return target;
}

void move_chars(Cell* source, Cell* target, int32_t count) {
  int32_t from = clamp_head(source);
  int32_t available = length(source);
  if (count > available) count = available;
  if (count <= 0) return;
  int32_t at = clamp_head(target);
  for (int32_t i = 0; i < count; ++i)
    insert_char(node_of(target), at + i, char_at_index(source, from + i));
  remove_part(source, from, count);
}

namespace {
inline void widen_to(uint32_t node, uint32_t needed_unit) {
  uint32_t u = node_buffer(node)->unit();
  if (needed_unit > u) widen(node, u, needed_unit);
}
}  // namespace

// ---------------------------------------------------------------------------
// Writing characters.

void append_char(uint32_t node, uint32_t code_point) {
  widen_to(node, unit_for_append(node_buffer(node)->unit(), code_point));
  uint32_t u = node_buffer(node)->unit();
  uint8_t* p = series_reserve_tail_bytes(node, u);
  write_unit(p, u, code_point);
}

void put_char(uint32_t node, int32_t index, uint32_t code_point) {
  widen_to(node, unit_for_put(node_buffer(node)->unit(), code_point));
  SeriesBuffer* b = node_buffer(node);
  write_unit(b->head_ptr() + static_cast<size_t>(index) * b->unit(), b->unit(), code_point);
}

void overwrite_char(uint32_t node, int32_t index, uint32_t code_point) {
  if (index < 0) return;
  widen_to(node, unit_for_put(node_buffer(node)->unit(), code_point));
  SeriesBuffer* b = node_buffer(node);
  uint32_t u = b->unit();
  uint64_t end = static_cast<uint64_t>(index + 1) * u;  // bytes from head
  if (b->head + end > static_cast<uint64_t>(b->size)) {
    b = expand_series_copy(b, round16(end * 2));
  }
  uint32_t old_len = b->length();
  if (static_cast<uint32_t>(index) >= old_len) {
    // Never expose stale bytes: a gap between the old tail and the index is
    // filled with code point 0.
    std::memset(b->tail_ptr(), 0, static_cast<size_t>(index - static_cast<int32_t>(old_len)) * u);
    b->tail = b->head + static_cast<uint32_t>(end);
  }
  write_unit(b->head_ptr() + static_cast<size_t>(index) * u, u, code_point);
}

void insert_char(uint32_t node, int32_t index, uint32_t code_point) {
  widen_to(node, unit_for_put(node_buffer(node)->unit(), code_point));
  SeriesBuffer* b = node_buffer(node);
  uint32_t u = b->unit();
  b = ensure_room(node, u);
  uint32_t len = b->length();
  if (index < 0) index = 0;
  if (static_cast<uint32_t>(index) > len) index = static_cast<int32_t>(len);
  uint8_t* at = b->head_ptr() + static_cast<size_t>(index) * u;
  std::memmove(at + u, at, static_cast<size_t>(len - static_cast<uint32_t>(index)) * u);
  write_unit(at, u, code_point);
  b->tail += u;
}

Cell* remove_part(Cell* value, int32_t index, int32_t count) {
  SeriesBuffer* b = node_buffer(node_of(value));
  int32_t len = static_cast<int32_t>(b->length());
  if (index < 0 || index >= len || count <= 0) return value;
  if (count > len - index) count = len - index;
  uint32_t u = b->unit();
  uint8_t* at = b->head_ptr() + static_cast<size_t>(index) * u;
  std::memmove(at, at + static_cast<size_t>(count) * u, static_cast<size_t>(len - index - count) * u);
  b->tail -= static_cast<uint32_t>(count) * u;
  return value;
}

void reset(Cell* value) {
  SeriesBuffer* b = node_buffer(node_of(value));
  b->tail = b->head;
  b->flags = (b->flags & ~kSeriesUnitMask) | 1;
  value->data1 = 0;
}

void limit_tail(uint32_t node, int32_t count) {
  if (count < 0) return;
  SeriesBuffer* b = node_buffer(node);
  uint64_t bytes = static_cast<uint64_t>(count) * b->unit();
  if (static_cast<uint64_t>(b->size) - b->head < bytes) return;
  if (b->tail > b->head + bytes) b->tail = b->head + static_cast<uint32_t>(bytes);
}

// ---------------------------------------------------------------------------
// Appending text.

void concat(Cell* target, const Cell* source_value, int32_t part, int32_t position, bool convert,
            ConcatMode mode) {
  Cell tgt = text_cell(target);
  Cell src = text_cell(source_value);
  if (!readable_q(tgt) || !readable_q(src)) return;
  uint32_t tnode = tgt.data2, snode = src.data2;

  uint32_t tu = node_buffer(tnode)->unit();
  uint32_t su = node_buffer(snode)->unit();
  if (tu < su) {
    widen(tnode, tu, su);
    tu = su;
  } else if (tu > su && !convert) {
    widen(snode, su, tu);
    su = tu;
  }

  int32_t sidx = clamp_head(&src);
  int32_t count = static_cast<int32_t>(node_buffer(snode)->length()) - sidx;
  if (part >= 0 && part < count) count = part;
  if (count <= 0) return;

  // A source sharing the target's buffer would shift under its own insertion:
  // take its units aside first.
  std::vector<uint8_t> copy;
  if (snode == tnode) {
    const SeriesBuffer* sb = node_buffer(snode);
    const uint8_t* from = sb->data() + sb->head + static_cast<size_t>(sidx) * su;
    copy.assign(from, from + static_cast<size_t>(count) * su);
  }

  uint64_t bytes = static_cast<uint64_t>(count) * tu;
  if (bytes > kMaxSeriesBytes) throw_no_memory();
  SeriesBuffer* tb = ensure_room(tnode, bytes);
  uint32_t tlen = tb->length();
  if (position < 0) position = 0;
  if (static_cast<uint32_t>(position) > tlen) position = static_cast<int32_t>(tlen);
  uint32_t at = (mode == kConcatAppend) ? tlen : static_cast<uint32_t>(position);
  uint8_t* dst = tb->head_ptr() + static_cast<size_t>(at) * tu;
  if (mode == kConcatInsert)
    std::memmove(dst + bytes, dst, static_cast<size_t>(tlen - at) * tu);

  // The source buffer is fetched after every allocation above.
  const uint8_t* from;
  if (snode == tnode) {
    from = copy.data();
  } else {
    SeriesBuffer* sb = node_buffer(snode);
    from = sb->head_ptr() + static_cast<size_t>(sidx) * su;
  }
  if (su == tu) {
    std::memmove(dst, from, static_cast<size_t>(bytes));
  } else {
    for (int32_t i = 0; i < count; ++i)
      write_unit(dst + static_cast<size_t>(i) * tu, tu, read_unit(from + static_cast<size_t>(i) * su, su));
  }

  switch (mode) {
    case kConcatAppend:
    case kConcatInsert:
      tb->tail += static_cast<uint32_t>(bytes);
      break;
    case kConcatOverwrite: {
      uint32_t end = tb->head + (at * tu) + static_cast<uint32_t>(bytes);
      if (end > tb->tail) tb->tail = end;
      break;
    }
  }
}

void append_string(Cell* target, const Cell* source, int32_t part) {
  concat(target, source, part, 0, true, kConcatAppend);
}

void append_bytes(Cell* target, const uint8_t* bytes, size_t n) {
  uint32_t node = node_of(target);
  size_t i = 0;
  while (i < n) {
    uint32_t u = node_buffer(node)->unit();
    if (u == 1) {
      size_t j = i;
      while (j < n && bytes[j] < 128) ++j;
      if (j > i) {
        uint8_t* p = series_reserve_tail_bytes(node, static_cast<uint32_t>(j - i));
        std::memcpy(p, bytes + i, j - i);
      }
      if (j < n) append_char(node, bytes[j++]);
      i = j;
    } else {
      uint8_t* p = series_reserve_tail_bytes(node, static_cast<uint32_t>((n - i) * u));
      for (; i < n; ++i, p += u) write_unit(p, u, bytes[i]);
    }
  }
}

void append_text(Cell* target, const char* text) {
  append_bytes(target, reinterpret_cast<const uint8_t*>(text), std::strlen(text));
}

namespace {

// Decodes one well-formed UTF-8 sequence at p (n bytes available); answers
// its length, or 0 when the bytes do not form one (overlong forms,
// surrogates and values above 0x10FFFF included).
size_t decode_utf8(const uint8_t* p, size_t n, uint32_t* cp) {
  uint8_t b = p[0];
  if (b < 0x80) {
    *cp = b;
    return 1;
  }
  size_t len;
  uint32_t v, min;
  if (b >= 0xC2 && b <= 0xDF) {
    len = 2, v = b & 0x1F, min = 0x80;
  } else if (b >= 0xE0 && b <= 0xEF) {
    len = 3, v = b & 0x0F, min = 0x800;
  } else if (b >= 0xF0 && b <= 0xF4) {
    len = 4, v = b & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (n < len) return 0;
  for (size_t k = 1; k < len; ++k) {
    if ((p[k] & 0xC0) != 0x80) return 0;
    v = (v << 6) | (p[k] & 0x3F);
  }
  if (v < min || v > static_cast<uint32_t>(kMaxCodePoint) || (v >= 0xD800 && v <= 0xDFFF)) return 0;
  *cp = v;
  return len;
}

}  // namespace

void append_utf8(Cell* target, std::string_view utf8) {
  const auto* p = reinterpret_cast<const uint8_t*>(utf8.data());
  size_t n = utf8.size(), i = 0;
  uint32_t node = node_of(target);
  while (i < n) {
    size_t j = i;
    while (j < n && p[j] < 0x80) ++j;
    if (j > i) append_bytes(target, p + i, j - i);
    if (j >= n) break;
    uint32_t cp;
    size_t len = decode_utf8(p + j, n - j, &cp);
    if (len == 0) {
      cp = kReplacementChar;
      len = 1;
    }
    append_char(node, cp);
    i = j + len;
  }
}

void append_chars(Cell* target, const uint32_t* code_points, size_t n) {
  if (n == 0) return;
  uint32_t node = node_of(target);
  uint32_t u = node_buffer(node)->unit(), need = u;
  for (size_t i = 0; i < n; ++i) need = std::max(need, unit_for_append(u, code_points[i]));
  widen_to(node, need);
  u = node_buffer(node)->unit();
  uint64_t bytes = static_cast<uint64_t>(n) * u;
  if (bytes > kMaxSeriesBytes) throw_no_memory();
  uint8_t* p = series_reserve_tail_bytes(node, static_cast<uint32_t>(bytes));
  for (size_t i = 0; i < n; ++i, p += u) write_unit(p, u, code_points[i]);
}

void append_decimal(Cell* target, int64_t value) {
  char buf[24];
  int len = std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(value));
  append_bytes(target, reinterpret_cast<const uint8_t*>(buf), static_cast<size_t>(len));
}

// ---------------------------------------------------------------------------
// Small text helpers.

namespace {
constexpr char kHexDigits[] = "0123456789ABCDEF";
}

const char* byte_to_hex(uint8_t byte) {
  static char buf[3];
  buf[0] = kHexDigits[byte >> 4];
  buf[1] = kHexDigits[byte & 15];
  buf[2] = 0;
  return buf;
}

// Digits are produced from the lowest upwards while the remaining value
// (shifted arithmetically) differs from the fill: 0, or -1 for a negative
// value. Without trim the positions left are filled with "0" (or "F" for a
// negative value); with trim only the produced digits are answered, and 0
// gives "00".
const char* integer_to_hex(int32_t value, bool trim) {
  static char buf[9];
  int32_t fill = value < 0 ? -1 : 0;
  int pos = 8;
  buf[8] = 0;
  int32_t v = value;
  while (pos > 0 && v != fill) {
    buf[--pos] = kHexDigits[v & 15];
    v >>= 4;
  }
  if (trim) {
    if (pos == 8) return "00";
    return buf + pos;
  }
  while (pos > 0) buf[--pos] = fill ? 'F' : '0';
  return buf;
}

double text_to_float(const char* bytes, size_t length, ptrdiff_t* unread) {
  return string_to_float(bytes, bytes + length, 0, unread);
}

void block_exchange(uint8_t* start, size_t len_a, size_t len_b) {
  if (len_a == 0 || len_b == 0) return;
  // The shorter range waits aside while the longer one moves.
  if (len_a <= len_b) {
    std::vector<uint8_t> aside(start, start + len_a);
    std::memmove(start, start + len_a, len_b);
    std::memcpy(start + len_b, aside.data(), len_a);
  } else {
    std::vector<uint8_t> aside(start + len_a, start + len_a + len_b);
    std::memmove(start + len_b, start, len_a);
    std::memcpy(start, aside.data(), len_b);
  }
}

}  // namespace kiv::string
