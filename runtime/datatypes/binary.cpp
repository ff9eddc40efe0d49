#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/image.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

#include "runtime/collector.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/actions.h"
#include "runtime/eval/lexer.h"
#include "runtime/host/enbase.h"
#include "runtime/member_bits.h"
#include "runtime/memory.h"
#include "runtime/ownership.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/unicode.h"
#include "runtime/words.h"

namespace kiv::binary {

namespace {

// tuple!: the component count sits in header bits 19-22, the components in
// the bytes of words 1-3.
constexpr uint32_t kTupleCountShift = 19;
constexpr uint32_t kTupleCountMask = 0xF;
constexpr uint32_t kTupleMaxBytes = 12;
// bitset!: the series flag of a complemented bitset.
constexpr uint32_t kBitsetComplemented = 0x00080000;

// Mold breaks the hexadecimal text into lines of this many bytes; data of
// kMoldLineFrom bytes or more starts on a line of its own.
constexpr size_t kMoldLineBytes = 32;
constexpr size_t kMoldLineFrom = 31;
constexpr int32_t kIndentWidth = 4;

// Clamps the head index to the tail, storing the clamped index back.
int32_t clamp_head(Cell* value) {
  const SeriesBuffer* b = node_buffer(node_of(value));
  int32_t total = static_cast<int32_t>(b->length());
  int32_t index = static_cast<int32_t>(value->data1);
  if (index < 0) index = 0;
  if (index > total) {
    index = total;
    value->data1 = static_cast<uint32_t>(index);
  }
  return index;
}

inline uint32_t round16(uint64_t n) { return static_cast<uint32_t>((n + 15) & ~uint64_t{15}); }

// Room for extra more bytes after the tail: grows to twice the used bytes
// plus the extra when short. The buffer may move; answers it.
SeriesBuffer* ensure_room(uint32_t node, uint64_t extra) {
  SeriesBuffer* b = node_buffer(node);
  if (b->room() >= extra) return b;
  uint64_t need = static_cast<uint64_t>(b->used_bytes()) + extra;
  if (need > kMaxSeriesBytes) fire(ErrorCategory::kInternal, "no-memory");
  uint64_t want = need * 2;
  if (want > kMaxSeriesBytes) want = need;
  return expand_series_copy(b, round16(want));
}

[[noreturn]] void fire_bad_to_arg(const Cell* value) {
  fire(ErrorCategory::kScript, "bad-to-arg", datatype_cell(TYPE_BINARY), *value);
}

void append_utf8_char(uint32_t code_point, std::vector<uint8_t>& out) {
  uint8_t buf[4];
  int n = encode_utf8_char(static_cast<int32_t>(code_point), buf);
  out.insert(out.end(), buf, buf + n);
}

void append_big_endian(uint64_t value, int bytes, std::vector<uint8_t>& out) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// The bytes of a series value from its head, at most part units.
void append_string_utf8(Cell* string, int32_t part, std::vector<uint8_t>& out) {
  int32_t n = string::length(string);
  if (part >= 0 && part < n) n = part;
  uint32_t unit = string::unit_of(string);
  HeldPtr<const uint8_t> p = string::head_pointer(string);
  out.reserve(out.size() + static_cast<size_t>(n));
  // Nothing below allocates a series, so p stays good.
  for (int32_t i = 0; i < n; ++i) {
    uint32_t cp = string::get_char(p + static_cast<size_t>(i) * unit, unit);
    if (cp < 0x80) out.push_back(static_cast<uint8_t>(cp));
    else append_utf8_char(cp, out);
  }
}

bool collect_bytes(Cell* value, int32_t part, std::vector<uint8_t>& out, bool top);

void append_block_bytes(Cell* block, int32_t part, std::vector<uint8_t>& out) {
  uint32_t node = block->data2;
  if (support::cycle_stack::find_q(node)) fire(ErrorCategory::kInternal, "no-cycle");
  support::cycle_stack::Entry visiting(node);
  int32_t head = static_cast<int32_t>(block->data1);
  int32_t total = static_cast<int32_t>(series_length(node));
  if (head > total) head = total;
  int32_t n = total - head;
  if (part >= 0 && part < n) n = part;
  for (int32_t i = 0; i < n; ++i) {
    // A copy of the cell: nothing here allocates a series, but the cell must
    // not be read through a pointer into the block while it is being used.
    Cell element = node_buffer(node)->head_cell()[head + i];
    collect_bytes(&element, -1, out, false);
  }
}

// The measuring rules shared by to, append, insert and change. An
// unsupported value answers false at the top level; inside a block it raises
// bad-to-arg with the element.
bool collect_bytes(Cell* value, int32_t part, std::vector<uint8_t>& out, bool top) {
  uint32_t type = TYPE_OF(value);
  switch (type) {
    case TYPE_CHAR:
      append_utf8_char(value->data2, out);
      return true;
    case TYPE_INTEGER: {
      int32_t n = integer::get(value);
      if (n < -128 || n > 255) fire(ErrorCategory::kScript, "invalid-arg", *value);
      out.push_back(static_cast<uint8_t>(n));
      return true;
    }
    case TYPE_BINARY: {
      int32_t n = length(value);
      if (part >= 0 && part < n) n = part;
      HeldPtr<const uint8_t> p = head_pointer(value);
      out.insert(out.end(), p, p + n);
      return true;
    }
    case TYPE_TUPLE: {
      uint32_t count = (value->header >> kTupleCountShift) & kTupleCountMask;
      if (count > kTupleMaxBytes) count = kTupleMaxBytes;
      uint8_t bytes[kTupleMaxBytes];
      std::memcpy(bytes, &value->data1, kTupleMaxBytes);
      out.insert(out.end(), bytes, bytes + count);
      return true;
    }
    case TYPE_BLOCK:
    case TYPE_PAREN:
    case TYPE_HASH:
      append_block_bytes(value, part, out);
      return true;
    default:
      if (string::any_string_q(type)) {
        append_string_utf8(value, part, out);
        return true;
      }
      if (!top) fire_bad_to_arg(value);
      return false;
  }
}

// A base-16 text into bytes: pairs of hexadecimal digits (either case),
// characters up to and including space skipped. Anything else, or an odd
// count of digits, is no result.
std::optional<std::vector<uint8_t>> decode_hex_strict(const uint8_t* p, const uint8_t* end) {
  std::vector<uint8_t> out;
  int high = -1;
  for (; p < end; ++p) {
    uint8_t c = *p;
    if (c <= ' ') continue;
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else return std::nullopt;
    if (high < 0) {
      high = d;
    } else {
      out.push_back(static_cast<uint8_t>(high << 4 | d));
      high = -1;
    }
  }
  if (high >= 0) return std::nullopt;
  return out;
}

// The text of a #{...} literal with its comments (";" to the line feed)
// blanked out, so that the per-base checks below see only data.
std::string without_comments(const uint8_t* p, const uint8_t* end) {
  std::string text;
  text.reserve(static_cast<size_t>(end - p));
  bool comment = false;
  for (; p < end; ++p) {
    uint8_t c = *p;
    if (comment) {
      if (c == '\n') comment = false;
      text.push_back(' ');
    } else if (c == ';') {
      comment = true;
      text.push_back(' ');
    } else {
      text.push_back(static_cast<char>(c));
    }
  }
  return text;
}

// Base 64 in source text: the digits and "=" signs must make whole groups of
// four, and nothing but blanks may follow the padding.
bool base64_groups_complete_q(const std::string& text) {
  size_t symbols = 0;
  bool padded = false;
  for (unsigned char c : text) {
    if (c <= ' ') continue;
    if (c == '=') {
      padded = true;
    } else if (padded) {
      return false;
    }
    ++symbols;
  }
  return symbols % 4 == 0;
}

// The lexer's loader of binary literals: #{...} (base 16), 2#{...},
// 16#{...} and 64#{...}.
int load_token(lexer::Lexer& lx, const lexer::Token& token, bool load_value) {
  const uint8_t* p = token.start;
  const uint8_t* end = token.end;
  int base = 16;
  if (p < end && *p != '#') {
    int value = 0;
    while (p < end && *p >= '0' && *p <= '9' && value < 100) value = value * 10 + (*p++ - '0');
    base = value;
  }
  if (base != 2 && base != 16 && base != 64) return TYPE_BINARY;
  if (end - p < 3 || p[0] != '#' || p[1] != '{' || end[-1] != '}') return TYPE_BINARY;
  std::string text = without_comments(p + 2, end - 1);
  const auto* t = reinterpret_cast<const uint8_t*>(text.data());
  std::optional<std::vector<uint8_t>> bytes;
  switch (base) {
    case 2:
      bytes = decode_2(CodeUnits(text));
      break;
    case 16:
      bytes = decode_hex_strict(t, t + text.size());
      break;
    default:
      if (base64_groups_complete_q(text)) bytes = decode_64(CodeUnits(text));
      break;
  }
  if (!bytes) return TYPE_BINARY;
  if (!load_value) return lexer::kLexOk;
  // The cell is reserved before the series is made, and the series stored
  // before anything else allocates.
  uint32_t index = lexer::append_value(lx);
  Cell made;
  load(bytes->data(), bytes->size(), &made);
  *lexer::cell_at(index) = made;
  return lexer::kLexOk;
}

inline bool equality_op_q(int32_t op) {
  return op == COMP_EQUAL || op == COMP_NOT_EQUAL || op == COMP_STRICT_EQUAL || op == COMP_FIND;
}

// Length from the head of a binary! or a string kind.
int32_t series_length_of(Cell* value) {
  return TYPE_OF(value) == TYPE_BINARY ? length(value) : string::length(value);
}

}  // namespace

// ---------------------------------------------------------------------------
// Making binaries.

Cell* make_at(Cell* cell, int32_t capacity) {
  uint32_t node = alloc_bytes(capacity > 0 ? static_cast<uint32_t>(capacity) : 0);
  *cell = Cell{TYPE_BINARY, 0, node, 0};
  return cell;
}

Cell* load(const uint8_t* bytes, size_t count, Cell* target) {
  if (count > kMaxSeriesBytes) fire(ErrorCategory::kInternal, "no-memory");
  uint32_t node = alloc_bytes(static_cast<uint32_t>(count));
  SeriesBuffer* b = node_buffer(node);
  if (count) std::memcpy(b->tail_ptr(), bytes, count);
  b->tail += static_cast<uint32_t>(count);
  if (target == nullptr) target = stack::push_new_cell();
  *target = Cell{TYPE_BINARY, 0, node, 0};
  return target;
}

Cell* push_bytes(const uint8_t* bytes, size_t count) { return load(bytes, count, nullptr); }

Cell* push(const Cell* value) { return stack::push_copy(value); }

// ---------------------------------------------------------------------------
// Reading.

int32_t length(Cell* value) {
  int32_t index = clamp_head(value);
  return static_cast<int32_t>(node_buffer(node_of(value))->length()) - index;
}

HeldPtr<uint8_t> head_pointer(Cell* value) {
  int32_t index = clamp_head(value);
  return node_buffer(node_of(value))->head_ptr() + index;
}

uint8_t byte_at_head(Cell* value) { return length(value) > 0 ? *head_pointer(value) : 0; }

uint64_t head_big_endian(const Cell* value, int32_t max_bytes) {
  Cell v = *value;
  int32_t n = std::min(length(&v), std::min(max_bytes, 8));
  HeldPtr<const uint8_t> p = head_pointer(&v);
  uint64_t u = 0;
  for (int32_t i = 0; i < n; ++i) u = (u << 8) | p[i];
  return u;
}

std::vector<uint8_t> bytes_of(Cell* value) {
  int32_t n = length(value);
  HeldPtr<const uint8_t> p = head_pointer(value);
  return std::vector<uint8_t>(p, p + n);
}

// ---------------------------------------------------------------------------
// Writing raw bytes.

void append_bytes(Cell* value, const uint8_t* bytes, size_t count) {
  if (count == 0) return;
  if (count > kMaxSeriesBytes) fire(ErrorCategory::kInternal, "no-memory");
  SeriesBuffer* b = ensure_room(node_of(value), count);
  std::memcpy(b->tail_ptr(), bytes, count);
  b->tail += static_cast<uint32_t>(count);
}

void insert_bytes(Cell* value, int32_t position, const uint8_t* bytes, size_t count) {
  if (count == 0) return;
  if (count > kMaxSeriesBytes) fire(ErrorCategory::kInternal, "no-memory");
  int32_t head = clamp_head(value);
  uint32_t node = node_of(value);
  SeriesBuffer* b = ensure_room(node, count);
  int32_t total = static_cast<int32_t>(b->length());
  int64_t at = static_cast<int64_t>(head) + (position > 0 ? position : 0);
  if (at > total) at = total;
  uint8_t* p = b->head_ptr() + at;
  std::memmove(p + count, p, static_cast<size_t>(total - at));
  std::memcpy(p, bytes, count);
  b->tail += static_cast<uint32_t>(count);
}

void poke_byte(uint8_t* target, const Cell* value) {
  switch (TYPE_OF(value)) {
    case TYPE_INTEGER:
    case TYPE_CHAR:
      *target = static_cast<uint8_t>(value->data2);
      return;
    default:
      fire(ErrorCategory::kScript, "invalid-arg", *value);
  }
}

// ---------------------------------------------------------------------------
// Conversions.

bool value_bytes(Cell* value, int32_t part, std::vector<uint8_t>& out) {
  return collect_bytes(value, part, out, true);
}

std::vector<uint8_t> string_utf8(Cell* string, int32_t part) {
  std::vector<uint8_t> out;
  append_string_utf8(string, part, out);
  return out;
}

Cell* from_string(const Cell* issue, Cell* target) {
  // The spelling is copied out of the symbol table before anything allocates.
  std::string text(symbol::utf8_of(issue->data2));
  std::optional<std::vector<uint8_t>> bytes = decode_16(CodeUnits(text));
  if (!bytes) fire(ErrorCategory::kScript, "invalid-data", *issue);
  return load(bytes->data(), bytes->size(), target);
}

Cell* to(Cell* type, Cell* spec) {
  std::vector<uint8_t> bytes;
  uint32_t st = TYPE_OF(spec);
  switch (st) {
    case TYPE_INTEGER:
      append_big_endian(static_cast<uint32_t>(integer::get(spec)), 4, bytes);
      break;
    case TYPE_FLOAT:
    case TYPE_PERCENT: {
      uint64_t bits;
      double d = cell_float(spec);
      std::memcpy(&bits, &d, sizeof bits);
      append_big_endian(bits, 8, bytes);
      break;
    }
    case TYPE_ISSUE:
      return from_string(spec, type);
    case TYPE_BITSET: {
      const SeriesBuffer* b = node_buffer(spec->data2);
      bytes.assign(b->data() + b->head, b->data() + b->tail);
      break;
    }
    case TYPE_IMAGE: {
      // The raw pixel memory, 4 bytes a pixel (the argb channel).
      RootedCell img(*spec);
      return image::extract_channel(img.get(), image::kArgb, type);
    }
    default:
      if (!collect_bytes(spec, -1, bytes, true)) fire_bad_to_arg(spec);
  }
  // The result replaces the first argument: the frame's base cell.
  return load(bytes.data(), bytes.size(), type);
}

// ---------------------------------------------------------------------------
// Form and mold.

namespace {

void push_indent(std::string& out, int32_t level, int32_t* limit) {
  for (int32_t i = 0; i < level; ++i) out.append("    ");
  if (level > 0) *limit -= kIndentWidth * level;
}

int32_t mold_body(Cell* value, Cell* buffer, bool only, bool flat, Cell* part, int32_t limit,
                  int32_t indent) {
  // The bytes are copied first: the output may grow into a new buffer, and
  // value may be the output string's own frame cell.
  Cell v = *value;
  std::vector<uint8_t> bytes = bytes_of(&v);
  size_t n = bytes.size();
  std::string out;
  out.reserve(n * 2 + 8);
  bool lines = !flat && n >= kMoldLineFrom;
  bool stopped = false;
  if (!only) {
    out.append("#{");
    limit -= 2;
  }
  if (lines) {
    out.push_back('\n');
    --limit;
    push_indent(out, indent + 1, &limit);
  }
  for (size_t i = 0; i < n; ++i) {
    out.append(string::byte_to_hex(bytes[i]));
    limit -= 2;
    if (part != nullptr && limit <= 0) {
      stopped = true;
      break;
    }
    if (!flat && (i + 1) % kMoldLineBytes == 0) {
      out.push_back('\n');
      --limit;
      push_indent(out, indent + 1, &limit);
    }
  }
  if (!stopped) {
    if (lines && n % kMoldLineBytes != 0) {
      out.push_back('\n');
      --limit;
      push_indent(out, indent, &limit);
    }
    if (!only) {
      out.push_back('}');
      --limit;
    }
  }
  string::append_text(buffer, std::string_view(out));
  return limit;
}

}  // namespace

int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit) {
  return mold_body(value, buffer, false, false, part, limit, 0);
}

int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent) {
  return mold_body(value, buffer, flags.only, flags.flat, part, limit, indent);
}

// ---------------------------------------------------------------------------
// Comparison and parse.

int32_t compare_series(Cell* binary, Cell* other, int32_t op, bool match) {
  uint32_t ot = TYPE_OF(other);
  if (ot != TYPE_BINARY && !string::any_string_q(ot)) return kNotComparable;
  Cell a = *binary, b = *other;
  bool same_place = a.data2 == b.data2 && a.data1 == b.data1;
  if (op == COMP_SAME) return same_place ? 0 : -1;
  if (same_place && equality_op_q(op)) return 0;

  int32_t len1 = length(&a);
  int32_t len2 = series_length_of(&b);
  int32_t n;
  if (match) {
    if (len2 == 0) return (op == COMP_EQUAL || op == COMP_STRICT_EQUAL || op == COMP_FIND) ? 0 : 1;
    if (len1 < len2) return 1;
    n = len2;
  } else {
    if (len1 != len2 && equality_op_q(op)) return 1;
    n = std::min(len1, len2);
  }

  HeldPtr<const uint8_t> p1 = head_pointer(&a);
  if (ot == TYPE_BINARY) {
    HeldPtr<const uint8_t> p2 = head_pointer(&b);
    int r = n > 0 ? std::memcmp(p1, p2, static_cast<size_t>(n)) : 0;
    if (r != 0) return r < 0 ? -1 : 1;
  } else {
    HeldPtr<const uint8_t> p2 = string::head_pointer(&b);
    uint32_t unit = string::unit_of(&b);
    for (int32_t i = 0; i < n; ++i) {
      uint32_t c1 = p1[i];
      uint32_t c2 = string::get_char(p2 + static_cast<size_t>(i) * unit, unit);
      if (c1 != c2) return c1 < c2 ? -1 : 1;
    }
  }
  if (match) return 0;
  return len1 < len2 ? -1 : (len1 > len2 ? 1 : 0);
}

bool head_in_bitset_q(Cell* binary, const Cell* bitset) {
  if (length(binary) <= 0) return false;
  uint32_t byte = *head_pointer(binary);
  const SeriesBuffer* b = node_buffer(bitset->data2);
  uint32_t at = byte >> 3;
  if (at >= b->used_bytes()) return (b->flags & kBitsetComplemented) != 0;
  return (b->data()[b->head + at] & member_mask(byte)) != 0;
}

bool match_head_q(Cell* binary, Cell* value, int32_t op) {
  uint32_t type = TYPE_OF(value);
  if (type == TYPE_CHAR) return length(binary) > 0 && *head_pointer(binary) == value->data2;
  if (type == TYPE_BINARY || string::any_string_q(type)) return compare_series(binary, value, op, true) == 0;
  return false;
}

int32_t compare(Cell* value1, Cell* value2, int32_t op) {
  if (TYPE_OF(value2) != TYPE_BINARY) return kNotComparable;
  return compare_series(value1, value2, op, false);
}

// ---------------------------------------------------------------------------
// Bitwise actions.

namespace {

// and~, or~ and xor~ on the two arguments of the current call: a new binary
// as long as the longer one; the rest of the longer one is copied (or, xor)
// or zeroed (and).
void bitwise(int32_t op) {
  Cell* base = stack::arguments();
  Cell* other = base + 1;
  if (TYPE_OF(other) != TYPE_BINARY) fire(ErrorCategory::kScript, "invalid-arg", *other);
  std::vector<uint8_t> a = bytes_of(base);
  std::vector<uint8_t> b = bytes_of(other);
  const std::vector<uint8_t>& longer = a.size() >= b.size() ? a : b;
  size_t common = std::min(a.size(), b.size());
  std::vector<uint8_t> r(longer.size(), 0);
  for (size_t i = 0; i < common; ++i) {
    switch (op) {
      case OP_AND: r[i] = a[i] & b[i]; break;
      case OP_OR: r[i] = a[i] | b[i]; break;
      default: r[i] = a[i] ^ b[i]; break;
    }
  }
  if (op != OP_AND) std::copy(longer.begin() + static_cast<ptrdiff_t>(common), longer.end(),
                              r.begin() + static_cast<ptrdiff_t>(common));
  load(r.data(), r.size(), base);
}

}  // namespace

void and_t() { bitwise(OP_AND); }
void or_t() { bitwise(OP_OR); }
void xor_t() { bitwise(OP_XOR); }

Cell* complement(Cell* value) {
  int32_t n = length(value);
  HeldPtr<uint8_t> p = head_pointer(value);
  for (int32_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(~p[i]);
  return value;
}

// ---------------------------------------------------------------------------
// append, insert, change and trim.

Cell* insert(Cell* series, Cell* value, int32_t part, bool, int32_t dup, bool append) {
  if (dup < 1) return series;
  // The value's bytes are taken aside before anything moves: the value may
  // be this very binary.
  std::vector<uint8_t> one;
  if (!collect_bytes(value, part, one, true)) fire_bad_to_arg(value);

  uint32_t node = node_of(series);
  int32_t head = clamp_head(series);
  int32_t total = static_cast<int32_t>(node_buffer(node)->length());
  uint64_t added = static_cast<uint64_t>(one.size()) * static_cast<uint64_t>(dup);
  if (added > kMaxSeriesBytes || static_cast<uint64_t>(total) + added > kMaxSeriesBytes)
    fire(ErrorCategory::kInternal, "no-memory");
  int32_t at = append ? total : head;
  if (added > 0) {
    ownership::notify_around(series, append ? words::WORD_APPEND : words::KEY_INSERT, at,
                             static_cast<int32_t>(added), [&] {
      SeriesBuffer* b = ensure_room(node, added);
      int32_t len = static_cast<int32_t>(b->length());
      if (at > len) at = len;  // an owner's handler may have shortened the binary
      uint8_t* p = b->head_ptr() + at;
      std::memmove(p + added, p, static_cast<size_t>(len - at));
      std::memcpy(p, one.data(), one.size());
      repeat_fill(p, static_cast<uint32_t>(one.size()), static_cast<uint32_t>(dup));
      b->tail += static_cast<uint32_t>(added);
    });
  }
  series->data1 = append ? 0 : static_cast<uint32_t>(at + static_cast<int64_t>(added));
  return series;
}

Cell* change(Cell* series, Cell* value, int32_t part, bool, int32_t dup) {
  if (dup < 1) dup = 1;
  std::vector<uint8_t> one;
  if (!collect_bytes(value, -1, one, true)) {
    // Any other value is written as the UTF-8 of its form.
    Cell* text = form_to_string(value, 0);
    one = string_utf8(text);
    stack::drop_cells(1);
  }

  uint32_t node = node_of(series);
  int32_t head = clamp_head(series);
  int32_t total = static_cast<int32_t>(node_buffer(node)->length());
  int64_t left = total - head;
  uint64_t written = static_cast<uint64_t>(one.size()) * static_cast<uint64_t>(dup);
  if (written > kMaxSeriesBytes) fire(ErrorCategory::kInternal, "no-memory");
  int64_t replaced = part >= 0 ? std::min<int64_t>(part, left) : std::min<int64_t>(written, left);
  if (static_cast<uint64_t>(total - replaced) + written > kMaxSeriesBytes)
    fire(ErrorCategory::kInternal, "no-memory");

  ownership::notify_around(series, words::WORD_CHANGE, head, static_cast<int32_t>(written), [&] {
    SeriesBuffer* b = node_buffer(node);
    int64_t len = b->length();
    if (head > len) head = static_cast<int32_t>(len);
    if (replaced > len - head) replaced = len - head;
    int64_t grow = static_cast<int64_t>(written) - replaced;
    if (grow > 0) b = ensure_room(node, static_cast<uint64_t>(grow));
    uint8_t* p = b->head_ptr() + head;
    std::memmove(p + written, p + replaced, static_cast<size_t>(len - head - replaced));
    if (!one.empty()) {
      std::memcpy(p, one.data(), one.size());
      repeat_fill(p, static_cast<uint32_t>(one.size()), static_cast<uint32_t>(dup));
    }
    b->tail = static_cast<uint32_t>(static_cast<int64_t>(b->tail) + grow);
  });
  series->data1 = static_cast<uint32_t>(head + static_cast<int64_t>(written));
  return series;
}

Cell* trim(Cell* series, const TrimOptions& options) {
  if (options.auto_ || options.lines) fire(ErrorCategory::kInternal, "not-done");
  // The bytes /with removes, as a membership table.
  bool removed[256] = {};
  if (options.with) {
    uint32_t wt = TYPE_OF(options.with);
    if (wt == TYPE_CHAR || wt == TYPE_INTEGER) {
      if (options.with->data2 <= 255) removed[options.with->data2] = true;
    } else if (wt == TYPE_BINARY) {
      for (uint8_t c : bytes_of(options.with)) removed[c] = true;
    } else if (string::any_string_q(wt)) {
      int32_t n = string::length(options.with);
      HeldPtr<const uint8_t> p = string::head_pointer(options.with);
      uint32_t unit = string::unit_of(options.with);
      for (int32_t i = 0; i < n; ++i) {
        uint32_t c = string::get_char(p + static_cast<size_t>(i) * unit, unit);
        if (c <= 255) removed[c] = true;
      }
    } else {
      fire(ErrorCategory::kScript, "invalid-arg", *options.with);
    }
  } else if (options.all) {
    removed[0] = true;
  }

  int32_t start = clamp_head(series);
  uint32_t node = node_of(series);
  int32_t n = static_cast<int32_t>(node_buffer(node)->length()) - start;
  ownership::notify_around(series, words::WORD_TRIM, start, n, [&] {
    SeriesBuffer* b = node_buffer(node);
    int32_t len = static_cast<int32_t>(b->length());
    if (start > len) start = len;
    uint8_t* p = b->head_ptr() + start;
    size_t count = static_cast<size_t>(len - start);
    size_t kept;
    if (options.with || options.all) {
      kept = 0;
      for (size_t i = 0; i < count; ++i)
        if (!removed[p[i]]) p[kept++] = p[i];
    } else {
      size_t from = 0, to = count;
      if (options.head || !options.tail)
        while (from < to && p[from] == 0) ++from;
      if (options.tail || !options.head)
        while (to > from && p[to - 1] == 0) --to;
      kept = to - from;
      std::memmove(p, p + from, kept);
    }
    b->tail = b->head + static_cast<uint32_t>(start) + static_cast<uint32_t>(kept);
  });
  return series;
}

// ---------------------------------------------------------------------------
// Registration.

void init() {
  datatype::register_type(TYPE_BINARY, TYPE_STRING, "binary!", {
      own<ACT_TO>(to), own<ACT_FORM>(form), own<ACT_MOLD>(mold), own<ACT_COMPARE>(compare),
      own<ACT_AND_T>(and_t), own<ACT_COMPLEMENT>(complement), own<ACT_OR_T>(or_t),
      own<ACT_XOR_T>(xor_t), own<ACT_APPEND>(insert), own<ACT_CHANGE>(change),
      own<ACT_INSERT>(insert), own<ACT_TRIM>(trim),
  });
  lexer::default_loaders()[lexer::kFinalBinary] = load_token;
}

}  // namespace kiv::binary
