// string!: make, to, path access and the actions that change or search a
// string, and the registration of the type.
//
// Moving buffers: every handler here holds node ids and unit indexes across
// anything that allocates (growing or widening the target, forming a value,
// making a result series, an owner notification that runs language code)
// and fetches buffer addresses again afterwards. Text that must survive the
// target's own change (a string inserted into itself) is copied aside into
// C++ memory first. Temporary strings live in RootedCell guards.
#include "runtime/datatypes/string_actions.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <unordered_set>
#include <vector>

#include "runtime/case_fold.h"
#include "runtime/checks.h"
#include "runtime/collector.h"
#include "runtime/datatypes/bitset.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/series_common.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/actions.h"
#include "runtime/memory.h"
#include "runtime/ownership.h"
#include "runtime/series.h"
#include "runtime/sort.h"
#include "runtime/support.h"
#include "runtime/text_units.h"
#include "runtime/unicode.h"
#include "runtime/words.h"

namespace kiv::string {

namespace {

// ---------------------------------------------------------------------------
// Characters and heads.

// fold_case, with ASCII answered inline (searches fold every character).
inline int32_t fold(uint32_t cp, bool case_sensitive) {
  if (case_sensitive) return static_cast<int32_t>(cp);
  if (cp < 128) return static_cast<int32_t>(cp - 'a' < 26u ? cp - 32 : cp);
  return fold_case(static_cast<int32_t>(cp));
}

// The key a character sorts by when case is ignored: its lower case, at
// every unit width, so a text orders the same whichever unit holds it and
// "_" and the other signs between "Z" and "a" sort before the letters.
// Equality ignoring case (fold) is unaffected: this only orders.
inline int32_t sort_key(uint32_t cp, bool case_sensitive) {
  if (case_sensitive) return static_cast<int32_t>(cp);
  if (cp < 128) return static_cast<int32_t>(cp - 'A' < 26u ? cp + 32 : cp);
  return case_map_char(static_cast<int32_t>(cp), false);
}

inline int32_t total_of(const Cell* v) { return static_cast<int32_t>(node_buffer(node_of(v))->length()); }

// The head index clamped to [0, total], stored back when it lay past the tail.
inline int32_t head_of(Cell* v) {
  int32_t total = total_of(v);
  int32_t idx = index_of(v);
  if (idx < 0) idx = 0;
  if (idx > total) {
    idx = total;
    v->data1 = static_cast<uint32_t>(idx);
  }
  return idx;
}

// Grows the buffer so that `extra` more bytes fit after the tail: to at least
// twice its size when short.
SeriesBuffer* ensure_room(uint32_t node, uint64_t extra) {
  SeriesBuffer* b = node_buffer(node);
  if (b->room() >= extra) return b;
  uint64_t want = std::max<uint64_t>(static_cast<uint64_t>(b->size) * 2, static_cast<uint64_t>(b->tail) + extra);
  if (want > kMaxSeriesBytes) want = static_cast<uint64_t>(b->tail) + extra;
  if (want > kMaxSeriesBytes) throw_no_memory();
  return expand_series_copy(b, static_cast<int64_t>((want + 15) & ~uint64_t{15}));
}

// The code points of count units from index of the node's series (raw read).
std::vector<uint32_t> read_range(uint32_t node, int32_t index, int32_t count) {
  std::vector<uint32_t> out(static_cast<size_t>(count > 0 ? count : 0));
  const SeriesBuffer* b = node_buffer(node);
  uint32_t u = b->unit();
  const uint8_t* p = b->data() + b->head + static_cast<size_t>(index) * u;
  for (size_t i = 0; i < out.size(); ++i) out[i] = read_unit(p + i * u, u);
  return out;
}

// Writes the code points over the units from index (which must fit the unit)
// and puts the tail just after them.
void write_range_and_cut(uint32_t node, int32_t index, const std::vector<uint32_t>& cps) {
  SeriesBuffer* b = node_buffer(node);
  uint32_t u = b->unit();
  uint8_t* p = b->head_ptr() + static_cast<size_t>(index) * u;
  for (size_t i = 0; i < cps.size(); ++i) write_unit(p + i * u, u, cps[i]);
  b->tail = b->head + static_cast<uint32_t>((static_cast<size_t>(index) + cps.size()) * u);
}

// A new empty series of the type with room for capacity characters, in out.
Cell* new_string(Cell* out, uint32_t type, int32_t capacity) {
  init_cell(out, capacity);
  set_type(out, type);
  return out;
}

[[noreturn]] void fire_refine(words::Id refinement, const Cell* value) {
  fire(ErrorCategory::kScript, "invalid-refine-arg", *words::cell_of(refinement), *value);
}

// An integer! or float! count (a float truncated toward zero); false for
// other types.
bool number_count(const Cell* c, int32_t* out) {
  if (TYPE_OF(c) == TYPE_INTEGER) {
    *out = integer::get(c);
    return true;
  }
  if (TYPE_OF(c) == TYPE_FLOAT) {
    double d = cell_float(c);
    *out = d != d ? INT32_MIN : float_::truncate_saturated<int32_t>(d);
    return true;
  }
  return false;
}

// A /part argument as a signed count from the series' head: a number, or a
// position in the same series (same type and buffer).
int32_t part_count(Cell* series, const Cell* part) {
  int32_t n;
  if (number_count(part, &n)) return n;
  if (TYPE_OF(part) != TYPE_OF(series) || part->data2 != series->data2) fire_refine(words::REF_PART, part);
  Cell p = *part;
  return head_of(&p) - head_of(series);
}

// ---------------------------------------------------------------------------
// Text to put into a string: units of a series (node, index, count), or
// units held aside in C++ memory when they come from the target itself or
// from a single character.

struct Source {
  uint32_t node = 0;  // 0: the units are in aside (or in small when small_used)
  int32_t index = 0;
  int32_t count = 0;
  uint32_t unit = 1;
  uint32_t need_unit = 1;  // the narrowest unit the target must have
  bool small_used = false;
  uint8_t small[16];  // a character or a formed integer, without a heap block
  std::vector<uint8_t> aside;

  // Raw address of the first unit, fetched afresh.
  const uint8_t* data() const {
    if (node == 0) return small_used ? small : aside.data();
    SeriesBuffer* b = node_buffer(node);
    return b->head_ptr() + static_cast<size_t>(index) * unit;
  }
};

// How a char! value sets the unit it needs: appending keeps only code points
// up to 127 in a unit-1 string; writing over a character keeps up to 255.
enum class CharRule { kAppend, kPut };

uint32_t need_for_char(uint32_t cp, CharRule rule) {
  if (cp > 0xFFFF) return 4;
  if (cp > (rule == CharRule::kAppend ? 127u : 255u)) return 2;
  return 1;
}

// The narrowest unit holding every unit of the source.
uint32_t narrowest_unit(const Source& s) {
  if (s.unit == 1) return 1;
  const uint8_t* p = s.data();
  uint32_t widest = 0;
  for (int32_t i = 0; i < s.count; ++i) widest = std::max(widest, read_unit(p + static_cast<size_t>(i) * s.unit, s.unit));
  return unit_holding(widest);
}

// Points the source at count units of a string value from its head; units
// of the target's own buffer are copied aside.
void source_from_string(Source& s, Cell* value, int32_t limit, uint32_t target_node) {
  Cell v = *value;
  int32_t head = head_of(&v);
  int32_t count = total_of(&v) - head;
  if (limit >= 0 && limit < count) count = limit;
  s.node = node_of(&v);
  s.index = head;
  s.count = count;
  s.unit = unit_of(&v);
  s.need_unit = narrowest_unit(s);
  if (s.node == target_node) {
    const uint8_t* p = s.data();
    s.aside.assign(p, p + static_cast<size_t>(count) * s.unit);
    s.node = 0;
  }
}

// The source for a value put into the target: strings are read in place,
// characters and integers held aside, everything else formed into temp
// first (made only then).
void gather(Source& s, Cell* value, int32_t limit, uint32_t target_node, std::optional<RootedCell>& temp,
            CharRule rule) {
  uint32_t type = TYPE_OF(value);
  if (type == TYPE_CHAR) {
    uint32_t cp = value->data2;
    s.node = 0;
    s.unit = 4;
    s.count = limit == 0 ? 0 : 1;
    s.need_unit = need_for_char(cp, rule);
    s.small_used = true;
    std::memcpy(s.small, &cp, 4);
    return;
  }
  if (any_string_q(type) && type != TYPE_TAG) {
    source_from_string(s, value, limit, target_node);
    return;
  }
  if (type == TYPE_INTEGER) {
    // Its decimal text, as integer! forms it, with no temporary string.
    integer::DecimalText t = integer::to_decimal(integer::get(value));
    s.node = 0;
    s.unit = 1;
    s.need_unit = 1;
    s.count = limit >= 0 && limit < t.length ? limit : t.length;
    s.small_used = true;
    static_assert(sizeof t.text <= sizeof s.small);
    std::memcpy(s.small, t.text, sizeof t.text);  // a fixed size: copied in line
    return;
  }
  temp.emplace();
  init_cell(temp->get(), 16);
  append_value_text(temp->get(), value, limit);
  source_from_string(s, temp->get(), -1, target_node);
}

// Replaces `removed` units at `at` of the target series by dup copies of the
// source, widening the target first when needed; answers the index just past
// the written units.
int32_t splice(uint32_t node, int32_t at, int32_t removed, Source& s, int32_t dup) {
  uint32_t tu = node_buffer(node)->unit();
  if (s.need_unit > tu) {
    widen(node, tu, s.need_unit);
    tu = s.need_unit;
  }
  if (s.node != 0) {
    // The source may have shrunk meanwhile (an owner's handler ran).
    int32_t available = static_cast<int32_t>(node_buffer(s.node)->length()) - s.index;
    if (s.count > available) s.count = available < 0 ? 0 : available;
  }
  int32_t len = static_cast<int32_t>(node_buffer(node)->length());
  if (at < 0) at = 0;
  if (at > len) at = len;
  if (removed < 0) removed = 0;
  if (removed > len - at) removed = len - at;
  uint64_t added = static_cast<uint64_t>(s.count) * static_cast<uint64_t>(dup < 1 ? 0 : dup);
  uint64_t new_len = static_cast<uint64_t>(len - removed) + added;
  if (new_len * tu > kMaxSeriesBytes) throw_no_memory();
  if (added > static_cast<uint64_t>(removed)) ensure_room(node, (added - static_cast<uint64_t>(removed)) * tu);

  SeriesBuffer* b = node_buffer(node);
  uint8_t* dst = b->head_ptr() + static_cast<size_t>(at) * tu;
  if (len - at - removed > 0)
    std::memmove(dst + added * tu, dst + static_cast<size_t>(removed) * tu,
                 static_cast<size_t>(len - at - removed) * tu);
  if (added > 0) {
    const uint8_t* from = s.data();
    if (s.unit == tu) {
      std::memmove(dst, from, static_cast<size_t>(s.count) * tu);
    } else {
      for (int32_t i = 0; i < s.count; ++i)
        write_unit(dst + static_cast<size_t>(i) * tu, tu, read_unit(from + static_cast<size_t>(i) * s.unit, s.unit));
    }
    if (dup > 1) repeat_fill(dst, static_cast<uint32_t>(s.count) * tu, static_cast<uint32_t>(dup));
  }
  b->tail = b->head + static_cast<uint32_t>(new_len * tu);
  return at + static_cast<int32_t>(added);
}

// Forms one value into the target (a char! directly, so that it needs no
// form handler).
void form_into(Cell* target, Cell* value) {
  if (TYPE_OF(value) == TYPE_CHAR) {
    append_char(target, value->data2);
    return;
  }
  Cell v = *value;
  dispatch_form(&v, target, nullptr, kNoPartLimit);
}

}  // namespace

// ---------------------------------------------------------------------------
// The text a value contributes.

void append_value_text(Cell* target, Cell* value, int32_t limit) {
  if (limit == 0) return;
  uint32_t type = TYPE_OF(value);
  uint32_t tnode = node_of(target);
  int32_t start = static_cast<int32_t>(node_buffer(tnode)->length());
  auto cut = [&] {
    if (limit >= 0) limit_tail(tnode, start + limit);
  };
  if (type == TYPE_CHAR) {
    append_char(target, value->data2);
  } else if (type == TYPE_TAG) {
    append_char(target, '<');
    append_string(target, value);
    append_char(target, '>');
    cut();
  } else if (any_string_q(type)) {
    append_string(target, value, limit);
  } else if (type == TYPE_BLOCK || type == TYPE_PAREN || type == TYPE_HASH) {
    Cell blk = *value;  // the caller keeps the block reachable
    uint32_t bnode = blk.data2;
    int32_t head = static_cast<int32_t>(blk.data1);
    for (int32_t i = head < 0 ? 0 : head; i < static_cast<int32_t>(node_buffer(bnode)->length()); ++i) {
      if (limit >= 0 && static_cast<int32_t>(node_buffer(tnode)->length()) - start >= limit) break;
      Cell element = *(node_buffer(bnode)->head_cell() + i);
      form_into(target, &element);
    }
    cut();
  } else {
    form_into(target, value);
    cut();
  }
}

// ---------------------------------------------------------------------------
// make and to.

Cell* make(Cell* type, Cell* spec) {
  uint32_t st = TYPE_OF(spec);
  uint32_t target = target_type(type);
  if (target == TYPE_BINARY && st != TYPE_INTEGER && st != TYPE_FLOAT) {
    // binary! shares the storage: a size makes it here, every other spec is
    // the binary conversion.
    if (st == TYPE_MONEY) fire_bad_make_arg(spec, target);
    return dispatch_to(type, spec);
  }
  if (st == TYPE_INTEGER || st == TYPE_FLOAT) {
    int32_t size = get_make_size(spec);
    if (size < 0) fire(ErrorCategory::kScript, "out-of-range", *spec);
    RootedCell made;
    new_string(made.get(), target, size);
    *type = *made.get();
    return type;
  }
  return to(type, spec);
}

Cell* to(Cell* type, Cell* spec) {
  uint32_t target = target_type(type);
  uint32_t st = TYPE_OF(spec);
  RootedCell made;
  switch (st) {
    case TYPE_NONE:
      fire(ErrorCategory::kScript, "bad-to-arg", datatype_cell(target), *spec);
    case TYPE_BINARY: {
      // The bytes go aside first: decoding allocates the new string.
      Cell b = *spec;
      SeriesBuffer* buf = node_buffer(b.data2);
      int32_t head = std::clamp(static_cast<int32_t>(b.data1), 0, static_cast<int32_t>(buf->length()));
      std::vector<uint8_t> bytes(buf->head_ptr() + head, buf->tail_ptr());
      uint32_t node = load_utf8_cstring(bytes.data(), bytes.size());
      *made.get() = Cell{target, 0, node, 0};
      break;
    }
    case TYPE_REFINEMENT: {
      new_string(made.get(), target, 16);
      Cell v = *spec;
      if (target == TYPE_STRING) dispatch_form(&v, made.get(), nullptr, kNoPartLimit);
      else dispatch_mold(&v, made.get(), {}, nullptr, kNoPartLimit, 0);
      break;
    }
    default:
      if (any_string_q(st)) {
        Cell v = *spec;
        int32_t head = head_of(&v);
        SeriesBuffer* copy = copy_series_part(v.data2, static_cast<uint32_t>(head),
                                              static_cast<uint32_t>(total_of(&v) - head));
        *made.get() = Cell{target, 0, copy->node, 0};
      } else {
        new_string(made.get(), target, 16);
        append_value_text(made.get(), spec, -1);
      }
  }
  *type = *made.get();
  return type;
}

// ---------------------------------------------------------------------------
// append, insert, change.

namespace {

// Copies bytes onto the tail of an unowned series that has room for them and
// answers the series at its head, as append does; false (nothing done) when
// the general path must do it. Nothing allocates and no handler runs.
bool append_at_tail(Cell* series, SeriesBuffer* b, const void* from, uint64_t bytes) {
  if ((b->flags & kSeriesOwned) || b->room() < bytes) return false;
  std::memcpy(b->tail_ptr(), from, static_cast<size_t>(bytes));
  b->tail += static_cast<uint32_t>(bytes);
  series->data1 = 0;
  return true;
}

// insert and append past the quick append: gathers the value's text and
// splices it in. Kept out of line so that the quick append pays for none of
// its locals.
[[gnu::noinline]] Cell* insert_gathered(Cell* series, Cell* value, int32_t part, int32_t dup, bool append) {
  uint32_t node = node_of(series);
  head_of(series);
  if (dup < 1 || part == 0) {
    if (append) series->data1 = 0;
    return series;
  }
  std::optional<RootedCell> temp;
  Source s;
  gather(s, value, part, node, temp, CharRule::kAppend);
  if (s.count == 0) {
    if (append) series->data1 = 0;
    return series;
  }
  if (append && dup == 1) {
    // The common append: units of the target's width onto its tail.
    SeriesBuffer* b = node_buffer(node);
    const uint32_t tu = b->unit();
    if (s.unit == tu && s.need_unit <= tu && append_at_tail(series, b, s.data(), static_cast<uint64_t>(s.count) * tu))
      return series;
  }
  int32_t at = append ? total_of(series) : head_of(series);
  int32_t end = at;
  int32_t added = static_cast<int32_t>(std::min<int64_t>(int64_t{s.count} * dup, INT32_MAX));
  ownership::notify_series_around(series, node, append ? words::WORD_APPEND : words::KEY_INSERT, at, added, [&] {
    // An owner's handler may have changed the series: the place is read again.
    at = append ? total_of(series) : head_of(series);
    end = splice(node, at, 0, s, dup);
  });
  series->data1 = append ? 0 : static_cast<uint32_t>(end);
  return series;
}

}  // namespace

bool append_quick(Cell* series, const Cell* value) {
  const uint32_t node = node_of(series);
  SeriesBuffer* b = node_buffer(node);
  const uint32_t tu = b->unit();
  const uint32_t type = TYPE_OF(value);
  if (type == TYPE_INTEGER) {
    if (tu != 1) return false;
    if (!(b->flags & kSeriesOwned) && b->room() >= static_cast<uint32_t>(integer::kMaxDecimalLength)) {
      // The digits go straight onto the tail.
      b->tail += static_cast<uint32_t>(integer::write_decimal(integer::get(value), b->tail_ptr()));
      series->data1 = 0;
      return true;
    }
    const integer::DecimalText t = integer::to_decimal(integer::get(value));
    return append_at_tail(series, b, t.text, static_cast<uint64_t>(t.length));
  }
  if (type == TYPE_CHAR) {
    const uint32_t cp = value->data2;
    if (need_for_char(cp, CharRule::kAppend) > tu) return false;
    uint8_t unit[4];
    write_unit(unit, tu, cp);
    return append_at_tail(series, b, unit, tu);
  }
  if (any_string_q(type) && type != TYPE_TAG) {
    const uint32_t from = node_of(value);
    if (from == node) return false;
    SeriesBuffer* vb = node_buffer(from);
    if (vb->unit() != tu) return false;
    const int32_t total = static_cast<int32_t>(vb->length());
    const int32_t head = std::clamp(index_of(value), 0, total);
    return append_at_tail(series, b, vb->head_ptr() + static_cast<size_t>(head) * tu,
                          static_cast<uint64_t>(total - head) * tu);
  }
  return false;
}

Cell* insert(Cell* series, Cell* value, int32_t part, bool, int32_t dup, bool append) {
  if (append && dup == 1 && part < 0 && append_quick(series, value)) return series;
  return insert_gathered(series, value, part, dup, append);
}

Cell* copy(Cell* value, Cell* destination, Cell* part, bool deep, Cell* types) {
  if (part) return series::copy(value, destination, part, deep, types);
  // The usual copy: the units from the head (clamped to the tail), in one
  // series copy; a vector keeps its element type (word 3).
  const auto total = static_cast<int32_t>(node_buffer(value->data2)->length());
  const int32_t head = std::clamp(static_cast<int32_t>(value->data1), 0, total);
  const uint32_t node =
      copy_series_part(value->data2, static_cast<uint32_t>(head), static_cast<uint32_t>(total - head))->node;
  *destination = Cell{value->header, 0, node, TYPE_OF(value) == TYPE_VECTOR ? value->data3 : 0};
  return destination;
}

Cell* change(Cell* series, Cell* value, int32_t part, bool, int32_t dup) {
  uint32_t node = node_of(series);
  head_of(series);
  if (dup < 1) return series;
  std::optional<RootedCell> temp;
  Source s;
  gather(s, value, -1, node, temp, CharRule::kPut);
  int32_t written = static_cast<int32_t>(std::min<int64_t>(int64_t{s.count} * dup, INT32_MAX));
  int32_t at = head_of(series);
  int32_t removed = part >= 0 ? part : written;
  if (s.count == 0 && part < 0) return series;
  int32_t end = at;
  ownership::notify_around(series, words::WORD_CHANGE, at, removed, [&] {
    at = head_of(series);
    end = splice(node, at, removed, s, dup);
  });
  series->data1 = static_cast<uint32_t>(end);
  return series;
}

// ---------------------------------------------------------------------------
// find and select.

namespace {

// The units of a text pattern: up to kInline held in line, so that the
// usual short pattern costs no heap block.
class PatternUnits {
 public:
  void resize(size_t n) {
    size_ = n;
    if (n > kInline) heap_.resize(n);
  }
  int32_t* data() { return size_ > kInline ? heap_.data() : in_line_.data(); }
  const int32_t* data() const { return size_ > kInline ? heap_.data() : in_line_.data(); }
  size_t size() const { return size_; }
  int32_t operator[](size_t k) const { return data()[k]; }

 private:
  static constexpr size_t kInline = 16;
  std::array<int32_t, kInline> in_line_;
  std::vector<int32_t> heap_;
  size_t size_ = 0;
};

// What find looks for.
struct Pattern {
  enum Kind { kChar, kBitset, kText } kind = kText;
  int32_t cp = 0;               // kChar, folded unless case-sensitive
  Cell bitset{};                // kBitset
  PatternUnits text;            // kText, folded unless case-sensitive
  int32_t length() const { return kind == kText ? static_cast<int32_t>(text.size()) : 1; }
};

Pattern make_pattern(Cell* series, Cell* value, bool case_sensitive) {
  Pattern p;
  uint32_t type = TYPE_OF(value);
  if (TYPE_OF(series) == TYPE_BINARY) {
    // Bytes: an integer! (or a float! with an integral value) is one
    // element, a binary! its bytes; everything else as in a string.
    int32_t n = -1;
    if (type == TYPE_INTEGER) n = integer::get(value);
    if (type == TYPE_FLOAT) {
      double d = cell_float(value);
      n = (d >= 0 && d <= 255 && d == static_cast<double>(static_cast<int32_t>(d))) ? static_cast<int32_t>(d) : -1;
    }
    if (type == TYPE_INTEGER || type == TYPE_FLOAT) {
      p.kind = Pattern::kChar;
      p.cp = n;  // -1 and anything above 255 never match a byte
      return p;
    }
    if (type == TYPE_BINARY) {
      Cell b = *value;
      SeriesBuffer* buf = node_buffer(b.data2);
      int32_t head = std::clamp(static_cast<int32_t>(b.data1), 0, static_cast<int32_t>(buf->length()));
      const uint8_t* bytes = buf->head_ptr() + head;
      p.text.resize(static_cast<size_t>(buf->tail_ptr() - bytes));
      std::copy(bytes, static_cast<const uint8_t*>(buf->tail_ptr()), p.text.data());
      return p;
    }
  }
  if (type == TYPE_CHAR) {
    p.kind = Pattern::kChar;
    p.cp = fold(value->data2, case_sensitive);
    return p;
  }
  if (type == TYPE_BITSET) {
    p.kind = Pattern::kBitset;
    p.bitset = *value;
    return p;
  }
  if (type == TYPE_BINARY && any_string_q(TYPE_OF(series))) fire(ErrorCategory::kScript, "invalid-arg", *value);
  RootedCell temp;
  Cell text = *value;
  // A tag is looked for with its angle brackets, as append writes it and
  // parse matches it.
  if (!any_string_q(type) || type == TYPE_TAG) {
    init_cell(temp.get(), 16);
    append_value_text(temp.get(), value, -1);
    text = *temp.get();
  }
  const int32_t head = head_of(&text);
  const int32_t count = total_of(&text) - head;
  p.text.resize(static_cast<size_t>(count > 0 ? count : 0));
  const SeriesBuffer* b = node_buffer(text.data2);
  const uint32_t u = b->unit();
  const uint8_t* units = b->data() + b->head + static_cast<size_t>(head) * u;
  int32_t* out = p.text.data();
  for (size_t i = 0; i < p.text.size(); ++i) out[i] = fold(read_unit(units + i * u, u), case_sensitive);
  return p;
}

// The raw characters of a string, read through its unit.
struct Haystack {
  const uint8_t* base;
  uint32_t unit;
  bool case_sensitive;
  int32_t at(int32_t i) const { return fold(read_unit(base + static_cast<size_t>(i) * unit, unit), case_sensitive); }
};

bool matches_at(const Haystack& h, const Pattern& p, int32_t i) {
  switch (p.kind) {
    case Pattern::kChar:
      return h.at(i) == p.cp;
    case Pattern::kBitset:
      return bitset::member_q(&p.bitset, read_unit(h.base + static_cast<size_t>(i) * h.unit, h.unit));
    case Pattern::kText:
      for (size_t k = 0; k < p.text.size(); ++k)
        if (h.at(i + static_cast<int32_t>(k)) != p.text[k]) return false;
      return true;
  }
  return false;
}

// The folds of the 256 code points a one-byte unit holds, as fold answers
// them ignoring case: a search of such a text reads one entry a unit.
const int32_t* latin_folds() {
  static const std::array<int32_t, 256> folds = [] {
    std::array<int32_t, 256> a{};
    for (uint32_t c = 0; c < 256; ++c) a[c] = fold(c, false);
    return a;
  }();
  return folds.data();
}

// The forward walk of search_walk with a step of 1 for a pattern of units
// (len 1 or more, already folded unless case_sensitive) in a text of
// Unit-byte units: the first unit of the pattern is looked for by a loop
// made for the unit width, the rest compared only where it is found. Starts
// at head; a match must start by last. Answers the index or -1, as the
// walk with matches_at does.
template <uint32_t Unit, bool CaseSensitive>
int32_t forward_walk(const uint8_t* base, int32_t head, int64_t last, const int32_t* text, int32_t len) {
  [[maybe_unused]] const int32_t* folds = nullptr;
  if constexpr (Unit == 1 && !CaseSensitive) folds = latin_folds();
  auto at = [&](int64_t i) -> int32_t {
    const uint32_t c = read_unit(base + static_cast<size_t>(i) * Unit, Unit);
    if constexpr (CaseSensitive) return static_cast<int32_t>(c);
    else if constexpr (Unit == 1) return folds[c];
    else return fold(c, false);
  };
  const int32_t first = text[0];
  for (int64_t i = head; i <= last; ++i) {
    if (at(i) != first) continue;
    int32_t k = 1;
    while (k < len && at(i + k) == text[k]) ++k;
    if (k == len) return static_cast<int32_t>(i);
  }
  return -1;
}

template <bool CaseSensitive>
int32_t forward_walk_by_unit(uint32_t unit, const uint8_t* base, int32_t head, int64_t last, const int32_t* text,
                             int32_t len) {
  switch (unit) {
    case 1: return forward_walk<1, CaseSensitive>(base, head, last, text, len);
    case 2: return forward_walk<2, CaseSensitive>(base, head, last, text, len);
    default: return forward_walk<4, CaseSensitive>(base, head, last, text, len);
  }
}

// The index of the match (from the buffer's first unit) and its length, or
// -1 when there is none.
struct Found {
  int32_t index = -1;
  int32_t length = 0;
};

// exact: the units compare as they are, with no case folding.
Found search(Cell* series, Cell* value, const FindOptions& options, bool exact) {
  Found none;
  if (options.any || options.with) fire(ErrorCategory::kInternal, "not-done");
  int32_t step = 1;
  if (options.skip) {
    if (!number_count(options.skip, &step)) fire(ErrorCategory::kScript, "invalid-arg", *options.skip);
    if (step < 1) fire(ErrorCategory::kScript, "out-of-range", *options.skip);
  }
  int32_t total = total_of(series);
  int32_t head = head_of(series);
  int32_t part = options.part ? part_count(series, options.part) : 0;
  series::SearchRange range =
      series::search_range(head, total, options.part ? &part : nullptr, options.reverse, options.match);
  if (range.empty) return none;

  Pattern p = make_pattern(series, value, exact);
  int32_t len = p.length();
  HoldScope hold;  // no allocation from here on: the buffer address holds
  SeriesBuffer* b = node_buffer(node_of(series));
  Haystack h{b->head_ptr(), b->unit(), exact};
  int32_t at;
  const uint32_t unit = b->unit();
  if (p.kind != Pattern::kBitset && len > 0 && step == 1 && !options.match && !options.reverse && !options.last &&
      (unit == 1 || unit == 2 || unit == 4)) {
    // The plain forward find: the same walk, a unit or character pattern
    // looked for by its first unit.
    const int32_t* text = p.kind == Pattern::kChar ? &p.cp : p.text.data();
    const int64_t last = int64_t{range.head} + range.count - len;
    at = exact ? forward_walk_by_unit<true>(unit, h.base, range.head, last, text, len)
               : forward_walk_by_unit<false>(unit, h.base, range.head, last, text, len);
  } else {
    at = series::search_walk(range, len, step, options.last, options.reverse, options.match,
                             [&](int32_t i) { return matches_at(h, p, i); });
  }
  return at < 0 ? none : Found{at, len};
}

}  // namespace

Cell* find(Cell* series, Cell* value, const FindOptions& options) {
  bool exact = options.case_sensitive || options.same || !any_string_q(TYPE_OF(series));
  Found f = search(series, value, options, exact);
  if (f.index < 0) return &none_value;
  series->data1 = static_cast<uint32_t>(options.tail ? f.index + f.length : f.index);
  return series;
}

Cell* select(Cell* series, Cell* value, const FindOptions& options) {
  bool exact = options.case_sensitive || options.same || !any_string_q(TYPE_OF(series));
  Found f = search(series, value, options, exact);
  if (f.index < 0) return &none_value;
  int32_t after = f.index + f.length;
  if (after >= total_of(series)) return &none_value;
  *series = series::element_at(series, after);
  return series;
}

// ---------------------------------------------------------------------------
// sort.

namespace {

struct SortRecords {
  const std::vector<uint32_t>* cps;
  uint32_t record;   // characters per record
  uint32_t offset;   // the compared character within a record (0-based)
  bool whole;        // compare the whole record (/all)
  bool case_sensitive;
  bool reverse;
  // A comparator function: its cell, and with /all two scratch strings that
  // receive the records it is handed.
  RootedCell function;
  RootedCell scratch_a, scratch_b;
  uint32_t string_type = TYPE_STRING;
};

int32_t compare_records(uint32_t a, uint32_t b, intptr_t extra1, intptr_t) {
  const SortRecords& r = *reinterpret_cast<const SortRecords*>(extra1);
  const uint32_t* pa = r.cps->data() + static_cast<size_t>(a) * r.record;
  const uint32_t* pb = r.cps->data() + static_cast<size_t>(b) * r.record;
  uint32_t from = r.whole ? 0 : r.offset;
  uint32_t to = r.whole ? r.record : r.offset + 1;
  int32_t result = 0;
  for (uint32_t k = from; k < to && result == 0; ++k) {
    int32_t ca = sort_key(pa[k], r.case_sensitive), cb = sort_key(pb[k], r.case_sensitive);
    result = three_way(ca, cb);
  }
  return r.reverse ? -result : result;
}

// The sign a comparator function's result stands for, given that it was
// called with the second record first: logic! true 1, false -1; an integer!
// negated; a float! above 0 -1, below 0 1; none! -1; anything else 1.
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

// Calls the comparator function with the second record first (in their
// order with /reverse): char! values of their first characters, or with
// /all strings holding the whole records. The records live in C++ memory, so
// whatever the function does to the series cannot disturb the sort.
int32_t function_compare_records(uint32_t a, uint32_t b, intptr_t extra1, intptr_t) {
  SortRecords& r = *reinterpret_cast<SortRecords*>(extra1);
  uint32_t first = r.reverse ? a : b, second = r.reverse ? b : a;
  const uint32_t* p1 = r.cps->data() + static_cast<size_t>(first) * r.record;
  const uint32_t* p2 = r.cps->data() + static_cast<size_t>(second) * r.record;
  Cell args[2];
  if (r.whole) {
    for (RootedCell* scratch : {&r.scratch_a, &r.scratch_b}) {
      SeriesBuffer* buf = node_buffer(node_of(scratch->get()));
      buf->tail = buf->head;
    }
    append_chars(r.scratch_a.get(), p1, r.record);
    append_chars(r.scratch_b.get(), p2, r.record);
    args[0] = *r.scratch_a.get();
    args[1] = *r.scratch_b.get();
  } else {
    args[0] = Cell{TYPE_CHAR, 0, p1[0], 0};
    args[1] = Cell{TYPE_CHAR, 0, p2[0], 0};
  }
  RootedCell result;
  series::invoke_function(r.function.get(), args, 2, series::kCallbackSort, result.get());
  return function_result_sign(result.get());
}

}  // namespace

Cell* sort(Cell* series, const SortOptions& options) {
  int32_t head = head_of(series);
  int32_t total = total_of(series);
  int32_t start = head, count = total - head;
  if (options.part) {
    int32_t n = part_count(series, options.part);
    if (n < 0) {
      start = std::max(0, head + n);
      count = head - start;
    } else {
      count = std::min(n, total - head);
    }
  }
  int32_t record = 1;
  if (options.skip) {
    if (!number_count(options.skip, &record) || record < 1 || (count > 0 && (record > count || count % record != 0)))
      fire_refine(words::REF_SKIP, options.skip);
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
      fire_refine(words::REF_COMPARE, options.comparator);
    }
  }
  if (count <= 1 || count / record <= 1) return series;

  uint32_t node = node_of(series);
  ownership::notify_around(series, words::WORD_SORT, start, count, [&] {
    int32_t now = total_of(series);
    if (start + count > now) return;  // an owner's handler shortened it: nothing to sort safely
    std::vector<uint32_t> cps = read_range(node, start, count);
    SortRecords r;
    r.cps = &cps;
    r.record = static_cast<uint32_t>(record);
    r.offset = static_cast<uint32_t>(offset);
    r.whole = options.all;
    r.case_sensitive = options.case_sensitive || !any_string_q(TYPE_OF(series));
    r.reverse = options.reverse;
    if (by_function) {
      *r.function.get() = *options.comparator;
      if (options.all) {
        init_cell(r.scratch_a.get(), record);
        init_cell(r.scratch_b.get(), record);
      }
    }
    uint32_t records = static_cast<uint32_t>(count / record);
    std::vector<uint32_t> order = sort_order(records, options.stable, reinterpret_cast<intptr_t>(&r), 0,
                                             by_function ? function_compare_records : compare_records);
    std::vector<uint32_t> sorted;
    sorted.reserve(cps.size());
    for (uint32_t i : order)
      sorted.insert(sorted.end(), cps.begin() + static_cast<ptrdiff_t>(i) * record,
                    cps.begin() + static_cast<ptrdiff_t>(i + 1) * record);
    // The comparator may have run language code that changed the series.
    if (start + count > total_of(series)) return;
    uint32_t need = 1;
    for (uint32_t c : sorted) need = std::max(need, unit_holding(c));
    if (need > unit_of(series)) widen(node, unit_of(series), need);
    SeriesBuffer* b = node_buffer(node);
    uint32_t u = b->unit();
    uint8_t* p = b->head_ptr() + static_cast<size_t>(start) * u;
    for (size_t i = 0; i < sorted.size(); ++i) write_unit(p + i * u, u, sorted[i]);
  });
  return series;
}

// ---------------------------------------------------------------------------
// swap, take.

namespace {

// Writes a code point over unit i: a binary! takes bytes only (the caller has
// checked), a string widens as needed.
void put_unit(Cell* series, int32_t i, uint32_t cp) {
  if (i >= total_of(series)) return;  // shortened by an owner's handler
  if (TYPE_OF(series) == TYPE_BINARY) node_buffer(series->data2)->head_ptr()[i] = static_cast<uint8_t>(cp);
  else put_char(node_of(series), i, cp);
}

}  // namespace

Cell* swap(Cell* series1, Cell* series2) {
  uint32_t t2 = TYPE_OF(series2);
  if (!any_string_q(t2) && t2 != TYPE_BINARY) fire(ErrorCategory::kScript, "invalid-arg", *series2);
  if (head_of(series1) >= total_of(series1) || head_of(series2) >= total_of(series2)) return series1;
  int32_t i1 = head_of(series1);
  int32_t i2 = head_of(series2);
  uint32_t c1 = char_at_index(series1, i1);
  uint32_t c2 = char_at_index(series2, i2);
  // A binary! holds bytes: a wider character cannot go there.
  if (t2 == TYPE_BINARY && c1 > 0xFF) fire(ErrorCategory::kScript, "invalid-arg", *series1);
  if (TYPE_OF(series1) == TYPE_BINARY && c2 > 0xFF) fire(ErrorCategory::kScript, "invalid-arg", *series2);
  bool other = series2->data2 != series1->data2;
  bool owned2 = other && ownership::check(series2, words::WORD_SWAP, i2, 1);
  ownership::notify_around(series1, words::WORD_SWAP, i1, 1, [&] {
    put_unit(series1, i1, c2);
    put_unit(series2, i2, c1);
  });
  if (owned2) ownership::check(series2, words::WORD_SWAPED, i2, 1);
  return series1;
}

Cell* take(Cell* series, Cell* part, bool, bool last) {
  int32_t head = head_of(series);
  int32_t length = total_of(series) - head;
  if (length < 1) return &none_value;
  int32_t count = 1;
  if (part) {
    int32_t n;
    if (number_count(part, &n)) {
      count = n;
    } else {
      if (TYPE_OF(part) != TYPE_OF(series) || part->data2 != series->data2) fire_refine(words::REF_PART, part);
      Cell p = *part;
      int32_t at = head_of(&p);
      count = at < head ? 0 : (last ? head + length - at : at - head);
    }
    if (count > length) count = length;
    if (count < 0) count = 0;
  }
  uint32_t node = node_of(series);
  uint32_t type = TYPE_OF(series);
  RootedCell taken;
  int32_t from = last ? head + length - count : head;
  ownership::notify_around(series, words::WORD_TAKE, from, count, [&] {
    int32_t now = total_of(series) - head;
    if (count > now) count = now < 0 ? 0 : now;
    from = last ? head + now - count : head;
    if (!part) {
      *taken.get() = count > 0 ? series::element_at(series, from) : none_value;
    } else {
      SeriesBuffer* copy = copy_series_part(node, static_cast<uint32_t>(from), static_cast<uint32_t>(count));
      // A vector's copy keeps its element type (word 3).
      *taken.get() = Cell{type, 0, copy->node, type == TYPE_VECTOR ? series->data3 : 0};
    }
    remove_part(series, from, count);
  });
  *series = *taken.get();
  return series;
}

// ---------------------------------------------------------------------------
// trim.

namespace {

bool in_default_set(uint32_t c) { return c == 9 || c == 10 || c == 13 || c == 32; }

bool in_wide_blanks(uint32_t c) {
  return c == 0x85 || c == 0xA0 || c == 0x1680 || c == 0x180E || (c >= 0x2000 && c <= 0x200A) ||
         c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

bool in_blank_set(uint32_t c) { return (c >= 1 && c <= 32) || in_wide_blanks(c); }

bool in_line_blank(uint32_t c) { return c == ' ' || c == '\t' || in_wide_blanks(c); }

// The code points /with names: a char! or integer! one, a string kind or
// binary! its characters from the head.
std::vector<uint32_t> with_set(Cell* with) {
  switch (TYPE_OF(with)) {
    case TYPE_CHAR:
    case TYPE_INTEGER:
      return {with->data2};
    case TYPE_BINARY: {
      Cell b = *with;
      SeriesBuffer* buf = node_buffer(b.data2);
      int32_t head = std::clamp(static_cast<int32_t>(b.data1), 0, static_cast<int32_t>(buf->length()));
      return std::vector<uint32_t>(buf->head_ptr() + head, buf->tail_ptr());
    }
    default:
      if (any_string_q(TYPE_OF(with))) {
        Cell s = *with;
        int32_t head = head_of(&s);
        return read_range(s.data2, head, total_of(&s) - head);
      }
      fire(ErrorCategory::kScript, "invalid-arg", *with);
  }
}

std::vector<uint32_t> trim_text(const std::vector<uint32_t>& in, bool head, bool tail, bool lines,
                                bool all, const std::vector<uint32_t>* with) {
  std::vector<uint32_t> out;
  out.reserve(in.size());
  if (with || all) {
    for (uint32_t c : in) {
      bool drop = with ? std::find(with->begin(), with->end(), c) != with->end() : in_default_set(c);
      if (!drop) out.push_back(c);
    }
    return out;
  }
  if (lines) {
    bool blank_run = false;
    for (uint32_t c : in) {
      if (in_blank_set(c)) {
        blank_run = true;
        continue;
      }
      if (blank_run && !out.empty()) out.push_back(' ');
      blank_run = false;
      out.push_back(c);
    }
    return out;
  }
  size_t first = 0, end = in.size();
  bool both = !head && !tail;
  if (head || both)
    while (first < end && in_blank_set(in[first])) ++first;
  bool trailing_line_feed = false;
  if (tail || both)
    while (end > first && in_blank_set(in[end - 1])) trailing_line_feed |= in[--end] == '\n';
  if (!both) return std::vector<uint32_t>(in.begin() + static_cast<ptrdiff_t>(first), in.begin() + static_cast<ptrdiff_t>(end));

  // Inside: the in-line blanks at the start and at the end of every line go.
  for (size_t i = first; i < end; ++i) {
    uint32_t c = in[i];
    if (c == '\n') {
      while (!out.empty() && in_line_blank(out.back())) out.pop_back();
      out.push_back(c);
      while (i + 1 < end && in_line_blank(in[i + 1])) ++i;
      continue;
    }
    out.push_back(c);
  }
  if (trailing_line_feed) out.push_back('\n');
  return out;
}

}  // namespace

Cell* trim(Cell* series, const TrimOptions& options) {
  if (options.auto_) fire(ErrorCategory::kInternal, "not-done");
  std::vector<uint32_t> with_cps;
  if (options.with) with_cps = with_set(options.with);
  uint32_t node = node_of(series);
  int32_t h = head_of(series);
  ownership::notify_around(series, words::WORD_TRIM, h, total_of(series) - h, [&] {
    h = head_of(series);
    std::vector<uint32_t> in = read_range(node, h, total_of(series) - h);
    std::vector<uint32_t> out = trim_text(in, options.head, options.tail, options.lines, options.all, options.with ? &with_cps : nullptr);
    // Trimming only drops characters or puts back a space or line feed: the
    // unit always holds the result.
    write_range_and_cut(node, h, out);
  });
  return series;
}

// ---------------------------------------------------------------------------
// Set operations.

Cell* set_operation(int32_t op, Cell* a, Cell* b, bool case_sensitive, const Cell* skip, Cell* out) {
  int32_t record = 1;
  if (skip) {
    if (!number_count(skip, &record) || record < 1) fire_refine(words::REF_SKIP, skip);
  }
  if (op < SET_UNIQUE || op > SET_DIFFERENCE) fatal_runtime_error(101);
  uint32_t type = TYPE_OF(a);
  std::vector<uint32_t> first, second;
  {
    Cell va = *a;
    int32_t ha = head_of(&va);
    first = read_range(va.data2, ha, total_of(&va) - ha);
    if (op != SET_UNIQUE) {
      Cell vb = *b;
      int32_t hb = head_of(&vb);
      second = read_range(vb.data2, hb, total_of(&vb) - hb);
    }
  }
  // Records are compared by their first character.
  auto keys_of = [&](const std::vector<uint32_t>& cps) {
    std::unordered_set<int32_t> keys;
    for (size_t i = 0; i < cps.size(); i += static_cast<size_t>(record)) keys.insert(fold(cps[i], case_sensitive));
    return keys;
  };
  std::unordered_set<int32_t> in_result;
  std::vector<uint32_t> result;
  result.reserve(first.size() + second.size());
  auto take_records = [&](const std::vector<uint32_t>& from, const std::unordered_set<int32_t>* other, bool keep_found) {
    for (size_t i = 0; i < from.size(); i += static_cast<size_t>(record)) {
      int32_t key = fold(from[i], case_sensitive);
      if (other && (other->count(key) != 0) != keep_found) continue;
      if (!in_result.insert(key).second) continue;
      size_t end = std::min(from.size(), i + static_cast<size_t>(record));
      result.insert(result.end(), from.begin() + static_cast<ptrdiff_t>(i), from.begin() + static_cast<ptrdiff_t>(end));
    }
  };
  switch (op) {
    case SET_UNIQUE:
      take_records(first, nullptr, true);
      break;
    case SET_UNION:
      take_records(first, nullptr, true);
      take_records(second, nullptr, true);
      break;
    case SET_INTERSECT: {
      auto keys = keys_of(second);
      take_records(first, &keys, true);
      break;
    }
    case SET_EXCLUDE: {
      auto keys = keys_of(second);
      take_records(first, &keys, false);
      break;
    }
    case SET_DIFFERENCE: {
      auto keys_b = keys_of(second);
      auto keys_a = keys_of(first);
      take_records(first, &keys_b, false);
      take_records(second, &keys_a, false);
      break;
    }
  }
  RootedCell made;
  new_string(made.get(), type, static_cast<int32_t>(result.size()));
  append_chars(made.get(), result.data(), result.size());
  *out = *made.get();
  return out;
}

// ---------------------------------------------------------------------------
// Path access.

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell*, Cell*, int32_t, PathFlags flags) {
  bool set = value != nullptr;
  uint32_t et = TYPE_OF(element);
  if (et == TYPE_INTEGER) {
    int32_t i = integer::get(element);
    if (set) return dispatch_poke(parent, i, value, element);
    return dispatch_pick(parent, i, element);
  }
  if (et == TYPE_WORD) fire(ErrorCategory::kScript, "invalid-path", path ? *path : none_value, *element);
  if (!set) return select(parent, element, {.case_sensitive = flags.case_sensitive});
  // Set: the value goes over the element after the match.
  Cell at = *parent;
  bool exact = flags.case_sensitive || !any_string_q(TYPE_OF(parent));
  Found f = search(&at, element, {}, exact);
  if (f.index < 0) fire(ErrorCategory::kScript, "bad-path-set", path ? *path : *parent, *element);
  at.data1 = static_cast<uint32_t>(f.index);
  Cell two = Cell{TYPE_INTEGER, 0, 2, 0};
  return dispatch_poke(&at, 2, value, &two);
}

// ---------------------------------------------------------------------------
// Registration.

void init() {
  datatype::register_type(TYPE_STRING, TYPE_SERIES, "string!", {
      own<ACT_MAKE>(make), own<ACT_TO>(to), own<ACT_FORM>(form), own<ACT_MOLD>(mold),
      own<ACT_EVAL_PATH>(eval_path), own<ACT_COMPARE>(compare), own<ACT_APPEND>(insert),
      own<ACT_CHANGE>(change), own<ACT_COPY>(copy), own<ACT_FIND>(find), own<ACT_INSERT>(insert),
      own<ACT_SELECT>(select), own<ACT_SORT>(sort), own<ACT_SWAP>(swap), own<ACT_TAKE>(take),
      own<ACT_TRIM>(trim),
  });
}

}  // namespace kiv::string
