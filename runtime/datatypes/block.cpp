#include "runtime/datatypes/block.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "runtime/collector.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/series_common.h"
#include "runtime/datatypes/word.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/vector.h"
#include "runtime/datatypes/actions.h"
#include "runtime/eval/lexer.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"
#include "runtime/ownership.h"
#include "runtime/scope_guard.h"
#include "runtime/series.h"
#include "runtime/sort.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/type_traits.h"
#include "runtime/words.h"

namespace kiv::block {

int32_t mold_depth = 0;

namespace {

// A copy of the series cell pushed on the argument stack under another
// any-block type: the push of paren! and the path kinds.
Cell* push_as(const Cell* series, uint32_t type) {
  Cell* c = stack::push_copy(series);
  set_type(c, type);
  return c;
}

constexpr uint32_t kCellSize = sizeof(Cell);

inline int32_t total_cells(const Cell* block) { return static_cast<int32_t>(node_buffer(node_of(block))->length()); }

// The head index clamped to [0, total] (stored back when it lay past the tail).
inline int32_t clamp_head(Cell* block) {
  int32_t total = total_cells(block);
  int32_t head = static_cast<int32_t>(block->data1);
  if (head < 0) head = 0;
  if (head > total) {
    head = total;
    block->data1 = static_cast<uint32_t>(head);
  }
  return head;
}

inline int32_t head_of(const Cell* block) {
  int32_t head = static_cast<int32_t>(block->data1);
  int32_t total = total_cells(block);
  return head < 0 ? 0 : (head > total ? total : head);
}

// A copy of cell n of the block's buffer.
inline Cell cell_copy(uint32_t node, int32_t n) { return node_buffer(node)->head_cell()[n]; }

// Grows the buffer so it holds `extra` more cells after the tail; to twice
// the needed size when `twice`.
SeriesBuffer* reserve_cells(uint32_t node, uint64_t extra, bool twice) {
  SeriesBuffer* b = node_buffer(node);
  uint64_t need = extra * kCellSize;
  if (b->room() >= need) return b;
  uint64_t size = static_cast<uint64_t>(b->used_bytes()) + need;
  if (size > kMaxSeriesBytes) fire(ErrorCategory::kInternal, "no-memory");
  if (twice && size * 2 <= kMaxSeriesBytes) size *= 2;
  return expand_series_copy(b, static_cast<int64_t>(size));
}

inline bool number_q(uint32_t t) { return type_in_group(t, kGroupNumber); }

// Action calls on single values. The value cells passed are C++ locals (the
// handlers may allocate; nothing here points into a buffer across the call).
inline int32_t mold_value(Cell* value, Cell* buffer, MoldFlags flags, Cell* part,
                          int32_t limit, int32_t indent) {
  return dispatch_mold(value, buffer, flags, part, limit, indent);
}
inline int32_t form_value(Cell* value, Cell* buffer, Cell* part, int32_t limit) {
  return dispatch_form(value, buffer, part, limit);
}
inline int32_t compare_values(Cell* value1, Cell* value2, int32_t op) {
  return dispatch_compare(value1, value2, op);
}

inline void append_ascii_char(Cell* buffer, char c) { string::append_char(buffer, static_cast<uint8_t>(c)); }

}  // namespace

// ---------------------------------------------------------------------------
// Routines on block cells.

Cell* rs_head(Cell* block) {
  int32_t head = clamp_head(block);
  return node_buffer(node_of(block))->head_cell() + head;
}

bool rs_tail_q(const Cell* block) { return static_cast<int32_t>(block->data1) >= total_cells(block); }

int32_t rs_length_q(const Cell* block) {
  int32_t n = total_cells(block) - static_cast<int32_t>(block->data1);
  return n < 0 ? 0 : n;
}

Cell* tail_cell(const Cell* block) { return node_buffer(node_of(block))->tail_cell(); }

Cell* cell_at(const Cell* block, int32_t n) { return node_buffer(node_of(block))->head_cell() + n; }

bool step_head(Cell* block) {
  int32_t total = total_cells(block);
  int32_t head = head_of(block);
  if (head < total) ++head;
  block->data1 = static_cast<uint32_t>(head);
  return head >= total;
}

void clear_from_head(Cell* block) {
  int32_t head = clamp_head(block);
  SeriesBuffer* b = node_buffer(node_of(block));
  b->tail = b->head + static_cast<uint32_t>(head) * kCellSize;
}

void truncate_at(Cell* block, int32_t n) {
  SeriesBuffer* b = node_buffer(node_of(block));
  if (n < 0 || static_cast<uint32_t>(n) > b->length()) return;
  b->tail = b->head + static_cast<uint32_t>(n) * kCellSize;
}

void remove_last(Cell* block) {
  SeriesBuffer* b = node_buffer(node_of(block));
  if (b->length() == 0) return;
  b->tail -= kCellSize;
  if (static_cast<int32_t>(block->data1) > static_cast<int32_t>(b->length())) block->data1 = b->length();
}

Cell* append_cell(const Cell* block, const Cell* value) {
  Cell v = *value;  // the value may live in the buffer that grows
  Cell* slot = series_new_tail_cell(node_of(block));
  *slot = v;
  return slot;
}

void append_all_from(const Cell* block, const Cell* other) {
  uint32_t node = node_of(block), src = node_of(other);
  int32_t from = head_of(other);
  int32_t n = total_cells(other) - from;
  if (n <= 0) return;
  std::vector<Cell> cells;
  if (src == node) {
    HeldPtr<const Cell> first = node_buffer(src)->head_cell() + from;
    cells.assign(first, first + n);
  }
  SeriesBuffer* b = reserve_cells(node, static_cast<uint64_t>(n), true);
  const Cell* source = (src == node) ? cells.data() : bare(node_buffer(src)->head_cell() + from);
  std::memcpy(b->tail_ptr(), source, static_cast<size_t>(n) * kCellSize);
  b->tail += static_cast<uint32_t>(n) * kCellSize;
}

void insert_cells(Cell* block, const Cell* value, bool at_start, bool advance) {
  Cell v = *value;
  uint32_t node = node_of(block);
  int32_t at = at_start ? 0 : clamp_head(block);
  SeriesBuffer* b = reserve_cells(node, 1, true);
  HeldPtr<Cell> p = b->head_cell() + at;
  std::memmove(p + 1, p, static_cast<size_t>(static_cast<int32_t>(b->length()) - at) * kCellSize);
  *p = v;
  b->tail += kCellSize;
  if (advance) block->data1 = static_cast<uint32_t>(at + 1);
}

void append_each(Cell* block, const Cell* source) {
  Cell src = *source;
  int32_t from = head_of(&src);
  int32_t n = total_cells(&src) - from;
  for (int32_t i = 0; i < n; ++i) {
    Cell v = cell_copy(node_of(&src), from + i);
    insert_cells(block, &v, false, true);
  }
}

Cell select_value(const Cell* block, const Cell* value) {
  Cell blk = *block, v = *value;
  uint32_t node = node_of(&blk);
  int32_t total = total_cells(&blk);
  for (int32_t i = head_of(&blk); i < total; ++i) {
    Cell c = cell_copy(node, i);
    if (compare_values(&v, &c, COMP_FIND) == 0) {
      // The compare handler may have run code: measure again.
      if (i + 1 < total_cells(&blk)) return cell_copy(node, i + 1);
      break;
    }
    total = total_cells(&blk);
  }
  return none_value;
}

bool remove_found(Cell* block, const Cell* value, bool from_start) {
  Cell v = *value;
  uint32_t node = node_of(block);
  int32_t head = head_of(block);
  for (int32_t i = from_start ? 0 : head; i < total_cells(block); ++i) {
    Cell c = cell_copy(node, i);
    if (compare_values(&v, &c, COMP_FIND) != 0) continue;
    SeriesBuffer* b = node_buffer(node);
    if (i >= static_cast<int32_t>(b->length())) return false;
    HeldPtr<Cell> p = b->head_cell() + i;
    std::memmove(p, p + 1, static_cast<size_t>(static_cast<int32_t>(b->length()) - i - 1) * kCellSize);
    b->tail -= kCellSize;
    return i < head + 1;
  }
  return false;
}

void append_top() {
  Cell* top = stack::last_pushed();
  if (stack::top_index() < 2) return;
  Cell value = *top;
  append_cell(top - 1, &value);
  stack::drop_cells(1);
}

namespace {

uint32_t copy_cells_guarded(const Cell* block, bool deep, bool any_block) {
  uint32_t src = node_of(block);
  int32_t from = head_of(block);
  int32_t n = total_cells(block) - from;
  if (n < 0) n = 0;
  RootedNode copy(alloc_cells(static_cast<uint32_t>(n > 0 ? n : 1)));
  SeriesBuffer* b = node_buffer(copy);
  std::memcpy(b->head_ptr(), node_buffer(src)->head_cell() + from, static_cast<size_t>(n) * kCellSize);
  b->tail = b->head + static_cast<uint32_t>(n) * kCellSize;
  if (!deep) return copy;

  support::cycle_stack::Entry visiting(src);
  for (int32_t i = 0; i < n; ++i) {
    Cell c = cell_copy(copy, i);
    uint32_t t = TYPE_OF(&c);
    bool nested = t == TYPE_BLOCK || (any_block && series::any_block_q(t) && t != TYPE_HASH);
    if (!nested) continue;
    if (support::cycle_stack::find_q(node_of(&c))) {
      support::cycle_stack::reset();
      fire(ErrorCategory::kInternal, "no-cycle");
    }
    uint32_t inner = copy_cells_guarded(&c, true, any_block);
    HeldPtr<Cell> slot = node_buffer(copy)->head_cell() + i;
    slot->data1 = 0;
    slot->data2 = inner;
  }
  return copy;
}

}  // namespace

void mark_library_code(uint32_t node) {
  std::vector<uint32_t> pending{node};
  while (!pending.empty()) {
    uint32_t n = pending.back();
    pending.pop_back();
    if (library_code_q(n)) continue;  // met already
    node_buffer(n)->flags |= kSeriesLibrary;
    for (uint32_t i = 0, count = series_length(n); i < count; ++i) {
      HeldPtr<const Cell> c = series_head_cell(n) + i;
      // Paths too: the words a library path reads are library code.
      if (series::any_block_q(TYPE_OF(c))) pending.push_back(c->data2);
    }
  }
}

uint32_t copy_cells(const Cell* block, bool deep, bool any_block) {
  return copy_cells_guarded(block, deep, any_block);
}

Cell* init_cell(Cell* cell, int32_t n) {
  uint32_t node = alloc_cells(static_cast<uint32_t>(n < 1 ? 1 : n));
  *cell = Cell{TYPE_BLOCK, 0, node, 0};
  return cell;
}

Cell* init_cell_sized(Cell* cell, int32_t n, bool) { return init_cell(cell, n); }

Cell* push(const Cell* block) { return stack::push_copy(block); }

Cell* push_only_star(int32_t n) {
  Cell* slot = stack::push_new_cell();
  Cell fresh;
  init_cell(&fresh, n);
  *slot = fresh;
  return slot;
}

Cell* at_tail(const Cell* parent, int32_t n) {
  Cell fresh;
  init_cell(&fresh, n);
  // Until it is in the parent the new block is held by this guard only.
  RootedCell keep(fresh);
  return append_cell(parent, keep.get());
}

Cell* make_at_root(int32_t n) {
  Cell root{TYPE_BLOCK, 0, root_block(), 0};
  return at_tail(&root, n);
}

// ---------------------------------------------------------------------------
// Form and mold.

int32_t mold_values(Cell* block, Cell* buffer, MoldFlags flags, Cell* part,
                    int32_t limit, int32_t indent) {
  Cell blk = *block;
  uint32_t node = node_of(&blk);
  int32_t head = clamp_head(&blk);
  int32_t level = indent;
  bool closing_line = false;
  uint32_t out = string::node_of(buffer);
  {
    support::cycle_stack::Entry visiting(node);
    for (int32_t i = head; i < total_cells(&blk); ++i) {
      if (part != nullptr && limit < 1) break;
      bool first = i == head;
      Cell value = cell_copy(node, i);
      ++mold_depth;
      ScopeExit depth_guard([] { --mold_depth; });
      if (!flags.flat && (value.header & kFlagNewLine)) {
        if (!flags.only && first) {
          ++level;
          closing_line = true;
        }
        if (!(flags.only && first)) {
          append_ascii_char(buffer, '\n');
          --limit;
        }
        limit = mold_indent(out, level, limit);
      } else if (!first) {
        append_ascii_char(buffer, ' ');
        --limit;
      }
      limit = mold_value(&value, buffer, flags.nested(), part, limit, level);
    }
  }
  if (closing_line) {
    --level;
    append_ascii_char(buffer, '\n');
    --limit;
    limit = mold_indent(out, level, limit);
  }
  return limit;
}

int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent) {
  Cell blk = *value;
  if (support::cycle_stack::mold_placeholder(&blk, string::node_of(buffer), &limit, true)) return limit;
  if (!flags.only) {
    append_ascii_char(buffer, '[');
    --limit;
  }
  limit = mold_values(&blk, buffer, flags, part, limit, indent);
  if (!flags.only) {
    append_ascii_char(buffer, ']');
    --limit;
  }
  return limit;
}

int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit) {
  Cell blk = *value;
  if (support::cycle_stack::mold_placeholder(&blk, string::node_of(buffer), &limit, false)) return limit;
  uint32_t node = node_of(&blk);
  int32_t head = clamp_head(&blk);
  support::cycle_stack::Entry visiting(node);
  for (int32_t i = head; i < total_cells(&blk); ++i) {
    if (part != nullptr && limit < 1) break;
    if (i != head) {
      // A value after the first is separated by a space unless the output
      // already ends a line or a tab.
      SeriesBuffer* ob = node_buffer(string::node_of(buffer));
      uint32_t last = ob->length() ? string::get_char(ob->tail_ptr() - ob->unit(), ob->unit()) : 0;
      if (last != '\t' && last != '\n' && last != '\r') {
        append_ascii_char(buffer, ' ');
        --limit;
      }
    }
    Cell v = cell_copy(node, i);
    limit = form_value(&v, buffer, part, limit);
  }
  return limit;
}

// ---------------------------------------------------------------------------
// Comparison.

int32_t compare_worker(Cell* block1, Cell* block2, int32_t op) {
  Cell a = *block1, b = *block2;
  uint32_t n1 = node_of(&a), n2 = node_of(&b);
  int32_t h1 = head_of(&a), h2 = head_of(&b);
  if (n1 == n2 && h1 == h2) return 0;
  if (op == COMP_SAME) return -1;
  if (support::cycle_stack::find_q(n1)) return support::cycle_stack::find_q(n2) ? 0 : -1;

  int32_t l1 = total_cells(&a) - h1, l2 = total_cells(&b) - h2;
  bool equality = op == COMP_EQUAL || op == COMP_NOT_EQUAL || op == COMP_STRICT_EQUAL ||
                  op == COMP_PARSE_WORD || op == COMP_PARSE_WORD_CASE || op == COMP_FIND;
  if (l1 != l2 && equality) return 1;

  // An empty first block falls through to the length rule, so that [] < [1]
  // and [1] > [] agree.
  int32_t n = l1 < l2 ? l1 : l2;
  support::cycle_stack::Entry visiting1(n1);
  support::cycle_stack::Entry visiting2(n2);
  for (int32_t i = 0; i < n; ++i) {
    Cell c1 = cell_copy(n1, h1 + i), c2 = cell_copy(n2, h2 + i);
    uint32_t t1 = TYPE_OF(&c1), t2 = TYPE_OF(&c2);
    bool compatible = t1 == t2 || (word::word_kind_q(t1) && word::word_kind_q(t2)) || (number_q(t1) && number_q(t2));
    if (!compatible) return t1 < t2 ? -1 : 1;
    int32_t r = compare_values(&c1, &c2, op);
    if (r != 0) return r;
  }
  return l1 < l2 ? -1 : (l1 > l2 ? 1 : 0);
}

int32_t compare(Cell* value1, Cell* value2, int32_t op) {
  uint32_t t1 = TYPE_OF(value1), t2 = TYPE_OF(value2);
  if (t1 != t2) {
    bool paths = (t1 == TYPE_PATH || t1 == TYPE_LIT_PATH) && (t2 == TYPE_PATH || t2 == TYPE_LIT_PATH);
    if (!(paths && (op == COMP_PARSE_WORD || op == COMP_PARSE_WORD_CASE))) return kNotComparable;
  }
  return compare_worker(value1, value2, op);
}

// ---------------------------------------------------------------------------
// make, append and insert.

namespace {

// The object's body as reflect answers it: set-word and value pairs.
Cell object_body(const Cell* object, uint32_t target) {
  RootedCell body(*object);
  Cell field{TYPE_WORD, 0, words::symbol_of(words::SYM_BODY), 0};
  dispatch_reflect(body.get(), &field);
  set_type(body.get(), target);
  return *body;
}

}  // namespace

Cell* make(Cell* type, Cell* spec) {
  uint32_t target = TYPE_OF(type) == TYPE_DATATYPE ? datatype::named_type(type) : TYPE_OF(type);
  uint32_t st = TYPE_OF(spec);
  Cell result;
  if (series::any_block_q(st)) {
    result = Cell{target, 0, copy_cells(spec, false, false), 0};
  } else if (st == TYPE_OBJECT || st == TYPE_MAP) {
    result = object_body(spec, target);
  } else if (st == TYPE_VECTOR) {
    RootedCell elements;
    vector::to_block(spec, elements.get());
    set_type(elements.get(), target);
    result = *elements;
  } else if (st == TYPE_INTEGER || st == TYPE_FLOAT) {
    init_cell(&result, get_make_size(spec));
    set_type(&result, target);
  } else {
    fire_bad_make_arg(spec, target);
  }
  // The result replaces the first argument: the frame's base cell.
  *type = result;
  return type;
}

namespace {
// A buffer that takes one more cell at its tail with nothing allocated and no
// owner told.
inline bool quick_room_q(const SeriesBuffer* b) { return (b->flags & kSeriesOwned) == 0 && b->room() >= kCellSize; }
inline void store_at_tail(SeriesBuffer* b, const Cell& v) {
  *b->tail_cell() = v;
  b->tail += kCellSize;
}
}  // namespace

bool append_quick(Cell* block, const Cell* value) {
  if (series::any_block_q(TYPE_OF(value))) return false;
  SeriesBuffer* b = node_buffer(node_of(block));
  // insert's size check, left to insert to raise.
  if ((static_cast<uint64_t>(b->length()) + 1) * kCellSize > kMaxSeriesBytes || !quick_room_q(b)) return false;
  store_at_tail(b, *value);
  block->data1 = 0;
  return true;
}

Cell* insert(Cell* series, Cell* value, int32_t part, bool only, int32_t dup, bool append) {
  if (dup < 1) return series;
  Cell v = *value;
  bool spread = !only && series::any_block_q(TYPE_OF(&v));
  int32_t count = 1;
  int32_t from = 0;
  if (spread) {
    from = head_of(&v);
    count = total_cells(&v) - from;
  }
  if (part >= 0 && part < count) count = part;

  uint32_t node = node_of(series);
  int32_t total = total_cells(series);
  int32_t head = clamp_head(series);
  int32_t at = append ? total : head;
  if (count <= 0) {
    if (append) series->data1 = 0;
    return series;
  }

  uint64_t added = static_cast<uint64_t>(count) * static_cast<uint64_t>(dup);
  if (added > kMaxSeriesBytes / kCellSize ||
      (static_cast<uint64_t>(total) + added) * kCellSize > kMaxSeriesBytes)
    fire(ErrorCategory::kInternal, "no-memory");

  if (append && !spread && dup == 1) {
    // The common append: one value onto an unowned block with room at its
    // tail. Nothing allocates and no handler runs.
    if (quick_room_q(node_buffer(node))) {
      store_at_tail(node_buffer(node), v);
      series::hash_shifted(series, at, 1);
      series->data1 = 0;
      return series;
    }
  }

  ownership::notify_series_around(series, node, append ? words::WORD_APPEND : words::KEY_INSERT, at,
                                  static_cast<int32_t>(added), [&] {
    // The cells to insert, taken aside first: the value may be this very
    // block (its cells move when the gap opens) or live in a buffer that
    // grows. The value cell roots what they refer to meanwhile.
    RootedCell keep(v);
    std::vector<Cell> spread_cells;
    const Cell* cells = &v;  // one value: the copy in v
    if (spread) {
      // An owner's handler may have shortened the value meanwhile.
      int32_t available = total_cells(&v) - from;
      if (count > available) {
        count = available < 0 ? 0 : available;
        added = static_cast<uint64_t>(count) * static_cast<uint64_t>(dup);
      }
      HeldPtr<const Cell> src = node_buffer(node_of(&v))->head_cell() + from;
      spread_cells.assign(src, src + count);
      cells = spread_cells.data();
    }
    SeriesBuffer* b = reserve_cells(node, added, dup < 5);
    int32_t len = static_cast<int32_t>(b->length());
    if (at > len) at = len;  // an owner's handler may have shortened the block
    HeldPtr<Cell> p = b->head_cell() + at;
    std::memmove(p + added, p, static_cast<size_t>(len - at) * kCellSize);
    for (int32_t k = 0; k < dup; ++k)
      std::memcpy(p + static_cast<size_t>(k) * count, cells, static_cast<size_t>(count) * kCellSize);
    b->tail += static_cast<uint32_t>(added * kCellSize);
    series::hash_shifted(series, at, static_cast<int32_t>(added));
  }, value);

  if (append) {
    series->data1 = 0;
  } else {
    series->data1 = static_cast<uint32_t>(at + static_cast<int64_t>(added));
  }
  return series;
}

// ---------------------------------------------------------------------------
// Searching: find, select, put, select-word.

namespace {

// The equality op code find and its kin use.
inline int32_t find_op(bool case_sensitive, bool same) {
  return same ? COMP_SAME : (case_sensitive ? COMP_STRICT_EQUAL : COMP_FIND);
}

// A cell against the value under a search op code (2, 9, 12), as the cell's
// compare handler answers it: values of two types are unequal except the
// word kinds, which meet on their spelling under code 12 (and only as one
// kind under code 2). Identity (9) never holds across types, whatever a
// number handler would answer for 1 and 1.0.
int32_t search_compare(const Cell* cell, const Cell* value, int32_t op) {
  if (op == COMP_SAME && TYPE_OF(cell) != TYPE_OF(value)) return 1;
  Cell a = *cell, b = *value;
  return compare_values(&a, &b, op);
}

bool cell_matches(const Cell* cell, const Cell* value, int32_t op) { return search_compare(cell, value, op) == 0; }

// The compare routine handed to the hash tables. The tables only ask it
// about cells of the value's type, or of any word kind for a word.
int32_t table_compare(const Cell* a, const Cell* b, int32_t op) { return search_compare(a, b, op); }

// Types whose values the hash tables hash as find compares them: by their
// contents, or by identity where they compare by identity. A value of
// another type (a block, object, map, error, function ... that find
// compares by its contents but the table knows by its identity) is looked
// for by scanning, unless /same asks for identity.
bool hashed_by_content_q(uint32_t type) {
  switch (type) {
    case TYPE_UNSET:
    case TYPE_NONE:
    case TYPE_DATATYPE:
    case TYPE_LOGIC:
    case TYPE_CHAR:
    case TYPE_INTEGER:
    case TYPE_FLOAT:
    case TYPE_PERCENT:
    case TYPE_TIME:
    case TYPE_PAIR:
    case TYPE_POINT2D:
    case TYPE_POINT3D:
    case TYPE_TUPLE:
    case TYPE_DATE:
    case TYPE_MONEY:
    case TYPE_BINARY:
    case TYPE_TYPESET:
    case TYPE_NATIVE:
    case TYPE_ACTION:
    case TYPE_HANDLE:
      return true;
    default:
      return word::word_kind_q(type) || string::any_string_q(type);
  }
}

enum class MatchKind { kValue, kType, kTypeset, kSequence };

struct FindHit {
  int32_t at = -1;      // the matching cell, -1 for none
  int32_t length = 1;   // cells the match spans
  int32_t step = 1;
};

// The search of find and select over the series' cells (see find).
FindHit find_cells(Cell* series, const Cell* value_in, const FindOptions& q) {
  FindHit hit;
  Cell value = *value_in;
  RootedCell keep(value);  // the value may be a series that the compares must not lose
  uint32_t node = node_of(series);
  int32_t total = total_cells(series);
  int32_t head = clamp_head(series);
  if (total == 0 || (head >= total && !q.reverse)) return hit;

  int32_t step = 1;
  if (q.skip) {
    step = series::skip_size(q.skip);
    if (step < 1) fire(ErrorCategory::kScript, "out-of-range", *q.skip);
  }
  hit.step = step;

  int32_t limit = total - 1;  // the last cell searched going forward
  bool limited = false;
  if (q.part) {
    int32_t n;
    if (TYPE_OF(q.part) == TYPE_INTEGER || TYPE_OF(q.part) == TYPE_FLOAT || TYPE_OF(q.part) == TYPE_PERCENT) {
      n = series::part_count(series, q.part);
      if (n < 1) return hit;
      int64_t end = static_cast<int64_t>(head) + n - 1;
      limit = end > total - 1 ? total - 1 : static_cast<int32_t>(end);
    } else {
      if (TYPE_OF(q.part) != TYPE_OF(series) || q.part->data2 != node)
        series::fire_invalid_refine(words::REF_PART, q.part);
      Cell other = *q.part;
      int32_t other_head = clamp_head(&other);
      if (other_head <= head) return hit;
      limit = other_head - 1;
    }
    limited = true;
  }

  MatchKind kind = MatchKind::kValue;
  int32_t seq_from = 0, seq_length = 1;
  uint32_t vt = TYPE_OF(&value);
  if (!q.only) {
    if (vt == TYPE_DATATYPE) {
      kind = MatchKind::kType;
    } else if (vt == TYPE_TYPESET) {
      kind = MatchKind::kTypeset;
    } else if (series::any_block_q(vt)) {
      kind = MatchKind::kSequence;
      seq_from = clamp_head(keep.get());
      seq_length = total_cells(keep.get()) - seq_from;
      if (seq_length < 1) return hit;  // an empty sequence never matches
    }
  }
  hit.length = seq_length;
  int32_t op = find_op(q.case_sensitive, q.same);

  // A hash! answers single values from its table.
  // Backward searches keep their grid only with a step of 1.
  bool table_ok = kind == MatchKind::kValue && !q.match && (q.same || hashed_by_content_q(vt)) &&
                  (step == 1 || (!q.last && !q.reverse));
  if (table_ok && series::has_hash_table_q(series)) {
    // /reverse wins over /last, as in the scan below.
    bool last = q.last && !q.reverse;
    int32_t at;
    if (last && limited) {
      // Backwards from the /part limit: the last match before the cell after it.
      at = hashtable_find_index(series->data3, keep.get(), limit + 1, step, op, false, true, table_compare);
    } else {
      at = hashtable_find_index(series->data3, keep.get(), last ? 0 : head, step, op, last, q.reverse,
                                table_compare);
      if (at >= 0 && limited && !q.reverse && !last && at > limit) at = -1;
    }
    hit.at = at;
    return hit;
  }

  auto matches_at = [&](int32_t i) -> bool {
    if (i < 0 || i + seq_length > total_cells(series)) return false;
    switch (kind) {
      case MatchKind::kType: {
        Cell c = cell_copy(node, i);
        return TYPE_OF(&c) == keep->data1;
      }
      case MatchKind::kTypeset: {
        Cell c = cell_copy(node, i);
        return typeset_has_q(reinterpret_cast<const uint8_t*>(&keep->data1), TYPE_OF(&c));
      }
      case MatchKind::kSequence:
        for (int32_t k = 0; k < seq_length; ++k) {
          if (seq_from + k >= total_cells(keep.get())) return false;
          Cell c = cell_copy(node, i + k);
          Cell v = cell_copy(node_of(keep.get()), seq_from + k);
          if (!cell_matches(&c, &v, op)) return false;
        }
        return true;
      default: {
        Cell c = cell_copy(node, i);
        return cell_matches(&c, keep.get(), op);
      }
    }
  };

  if (q.last || q.reverse) {
    int32_t start;
    if (q.reverse) start = head - seq_length;
    else start = limited ? limit : total - seq_length;
    for (int32_t i = start; i >= 0; i -= step) {
      if (matches_at(i)) {
        hit.at = i;
        return hit;
      }
      if (q.match) break;
    }
    return hit;
  }
  // 64-bit steps: a skip near the integer limit must end the walk, not wrap.
  for (int64_t i = head; i + seq_length - 1 <= limit; i += step) {
    if (matches_at(static_cast<int32_t>(i))) {
      hit.at = static_cast<int32_t>(i);
      return hit;
    }
    if (q.match) break;
  }
  return hit;
}

}  // namespace

Cell* find(Cell* series, Cell* value, const FindOptions& options) {
  FindHit hit = find_cells(series, value, options);
  if (hit.at < 0) {
    *series = none_value;
    return series;
  }
  int32_t at = hit.at;
  if (options.tail) {
    if (hit.length > 1) at += hit.length;
    else at += (options.last || options.reverse) ? 1 : hit.step;
    int32_t total = total_cells(series);
    if (at > total) at = total;
  }
  series->data1 = static_cast<uint32_t>(at);
  return series;
}

Cell* select(Cell* series, Cell* value, const FindOptions& options) {
  FindHit hit = find_cells(series, value, options);
  if (hit.at < 0) {
    *series = none_value;
    return series;
  }
  int32_t after = hit.at + hit.length;
  if (after >= total_cells(series)) {
    *series = none_value;
    return series;
  }
  *series = cell_copy(node_of(series), after);
  return series;
}

Cell* put(Cell* series, Cell* key, Cell* value, bool case_sensitive) {
  Cell k = *key, v = *value;
  RootedCell keep_key(k), keep_value(v);
  Cell where = *series;
  FindHit hit = find_cells(&where, keep_key.get(), {.only = true, .case_sensitive = case_sensitive});
  uint32_t node = node_of(series);
  if (hit.at < 0) {
    int32_t total = total_cells(series);
    ownership::notify_around(series, words::WORD_PUT, total, 2, [&] {
      int32_t at = total_cells(series);
      append_cell(series, keep_key.get());
      append_cell(series, keep_value.get());
      series::hash_shifted(series, at, 2);
    });
    return value;
  }
  int32_t at = hit.at + 1;
  ownership::notify_around(series, words::WORD_PUT, at, 1, [&] {
    if (at < total_cells(series)) {
      Cell current = cell_copy(node, at);
      if (cell_matches(&current, keep_value.get(), COMP_FIND)) return;
      bool indexed = series::has_hash_table_q(series);
      if (indexed) hashtable_delete_index(series->data3, static_cast<uint32_t>(at));
      node_buffer(node)->head_cell()[at] = *keep_value;
      if (indexed) hashtable_put_index(series->data3, static_cast<uint32_t>(at));
    } else {
      int32_t end = total_cells(series);
      append_cell(series, keep_value.get());
      series::hash_shifted(series, end, 1);
    }
  });
  return value;
}

namespace {
inline bool word_kind_q(uint32_t t) { return type_in_group(t, kGroupAnyWord); }
}  // namespace

Cell select_word(const Cell* block, const Cell* word, bool strict) {
  Cell blk = *block;
  uint32_t node = node_of(&blk);
  uint32_t symbol = strict ? word->data2 : canonical_symbol(word->data2);
  int32_t total = total_cells(&blk);
  for (int32_t i = head_of(&blk); i < total; ++i) {
    HeldPtr<const Cell> c = node_buffer(node)->head_cell() + i;
    if (!word_kind_q(TYPE_OF(c))) continue;
    uint32_t s = strict ? c->data2 : canonical_symbol(c->data2);
    if (s != symbol) continue;
    if (i + 1 < total) return cell_copy(node, i + 1);
    break;
  }
  return none_value;
}

// ---------------------------------------------------------------------------
// Path access.

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell*, Cell*, Cell*, int32_t,
                PathFlags flags) {
  Cell e = *element;
  if (TYPE_OF(&e) == TYPE_INTEGER) {
    int32_t i = static_cast<int32_t>(e.data2);
    if (!value) return series::pick(parent, i, &e);
    Cell where = *parent;
    RootedCell keep(where);
    series::poke(keep.get(), i, value, &e);
    return value;
  }
  if (!value) {
    if (TYPE_OF(&e) == TYPE_WORD && TYPE_OF(parent) != TYPE_HASH) {
      *parent = select_word(parent, &e, flags.case_sensitive);
      return parent;
    }
    return select(parent, &e, {.only = true, .case_sensitive = flags.case_sensitive});
  }
  Cell where = *parent;
  RootedCell keep(where), keep_element(e), keep_value(*value);
  FindHit hit = find_cells(keep.get(), keep_element.get(), {.only = true, .case_sensitive = flags.case_sensitive});
  if (hit.at < 0) fire(ErrorCategory::kScript, "bad-path-set", *keep_element, *keep_value);
  int32_t at = hit.at + 1;
  ownership::notify_around(keep.get(), words::WORD_POKE, at, 1, [&] {
    if (at < total_cells(keep.get())) {
      bool indexed = series::has_hash_table_q(keep.get());
      if (indexed) hashtable_delete_index(keep->data3, static_cast<uint32_t>(at));
      node_buffer(node_of(keep.get()))->head_cell()[at] = *keep_value;
      if (indexed) hashtable_put_index(keep->data3, static_cast<uint32_t>(at));
    } else {
      int32_t end = total_cells(keep.get());
      append_cell(keep.get(), keep_value.get());
      series::hash_shifted(keep.get(), end, 1);
    }
  });
  return value;
}

// ---------------------------------------------------------------------------
// change, take, swap, trim.

Cell* change(Cell* series, Cell* value, int32_t part, bool only, int32_t dup) {
  if (dup < 1) return series;
  Cell v = *value;
  RootedCell keep(v);
  bool spread = !only && series::any_block_q(TYPE_OF(&v));
  int32_t head = clamp_head(series);
  int32_t room = total_cells(series) - head;
  int32_t count = 1;
  if (spread) count = total_cells(&v) - head_of(&v);
  if (count < 0) count = 0;
  uint64_t inserted = static_cast<uint64_t>(count) * static_cast<uint64_t>(dup);
  if (inserted > kMaxSeriesBytes / kCellSize) fire(ErrorCategory::kInternal, "no-memory");
  int32_t removed = part >= 0 ? std::min(room, part) : static_cast<int32_t>(std::min<uint64_t>(inserted, room));
  if ((static_cast<uint64_t>(total_cells(series)) - removed + inserted) * kCellSize > kMaxSeriesBytes)
    fire(ErrorCategory::kInternal, "no-memory");

  uint32_t node = node_of(series);
  ownership::notify_around(series, words::WORD_CHANGE, head, removed, [&] {
    // The cells to write, taken aside first: the value may be this very
    // block, or live in a buffer that moves when this one grows.
    std::vector<Cell> cells;
    if (spread) {
      int32_t from = head_of(&v);
      int32_t available = total_cells(&v) - from;
      if (count > available) count = available < 0 ? 0 : available;
      HeldPtr<const Cell> src = node_buffer(node_of(&v))->head_cell() + from;
      cells.assign(src, src + count);
    } else {
      cells.push_back(v);
    }
    inserted = static_cast<uint64_t>(count) * static_cast<uint64_t>(dup);
    int32_t total = total_cells(series);
    if (head > total) head = total;
    if (removed > total - head) removed = total - head;
    SeriesBuffer* b = node_buffer(node);
    if (inserted > static_cast<uint64_t>(removed)) b = reserve_cells(node, inserted - removed, false);
    HeldPtr<Cell> p = b->head_cell() + head;
    std::memmove(p + inserted, p + removed, static_cast<size_t>(total - head - removed) * kCellSize);
    if (count > 0)  // an empty source has no data pointer to copy from
      for (int32_t k = 0; k < dup; ++k)
        std::memcpy(p + static_cast<size_t>(k) * count, cells.data(), static_cast<size_t>(count) * kCellSize);
    b->tail = b->head + static_cast<uint32_t>((total - removed + inserted) * kCellSize);
    series::hash_rebuild(series);
  });
  int64_t at = static_cast<int64_t>(head) + static_cast<int64_t>(inserted);
  int32_t total = total_cells(series);
  series->data1 = static_cast<uint32_t>(at > total ? total : at);
  return series;
}

namespace {

// A copy of a series-kind value (deep for the block kinds) into out.
void copy_value(const Cell* value, bool deep, const Cell* types, Cell* out) {
  RootedCell source(*value);
  RootedCell result;
  dispatch_copy(source.get(), result.get(), nullptr, deep, const_cast<Cell*>(types));
  Cell copied = *result;
  // A copy keeps the new-line marker of the cell it replaces.
  copied.header = (copied.header & ~kFlagNewLine) | (value->header & kFlagNewLine);
  *out = copied;
}

bool copyable_kind_q(uint32_t t) {
  return series::series_type_q(t) || t == TYPE_BITSET || t == TYPE_OBJECT || t == TYPE_ERROR || t == TYPE_MAP;
}

bool type_in_q(uint32_t t, const Cell* types) {
  if (TYPE_OF(types) == TYPE_DATATYPE) return types->data1 == t;
  return typeset_has_q(reinterpret_cast<const uint8_t*>(&types->data1), t);
}

// Replaces every series-kind cell of the block by its deep copy.
void deep_copy_cells(Cell* block) {
  uint32_t node = node_of(block);
  for (int32_t i = 0; i < total_cells(block); ++i) {
    Cell c = cell_copy(node, i);
    if (!series::series_type_q(TYPE_OF(&c))) continue;
    Cell copied;
    copy_value(&c, true, nullptr, &copied);
    if (i < total_cells(block)) node_buffer(node)->head_cell()[i] = copied;
  }
}

}  // namespace

void find_by_type(Cell* block, int32_t from, int32_t to, int32_t step, bool deep, const Cell* types) {
  uint32_t node = node_of(block);
  RootedCell kind(*types);
  if (step < 1) step = 1;
  for (int64_t at = from; at < to && at < total_cells(block); at += step) {
    int32_t i = static_cast<int32_t>(at);
    Cell c = cell_copy(node, i);
    uint32_t t = TYPE_OF(&c);
    if (!copyable_kind_q(t) || !type_in_q(t, kind.get())) continue;
    Cell copied;
    copy_value(&c, deep, deep ? kind.get() : nullptr, &copied);
    if (i < total_cells(block)) node_buffer(node)->head_cell()[i] = copied;
  }
}

Cell* take(Cell* series, Cell* part, bool deep, bool last) {
  series::take(series, part, false, last);
  if (TYPE_OF(series) == TYPE_NONE) return series;
  RootedCell taken(*series);
  if (deep) deep_copy_cells(taken.get());
  if (!part) {
    // One value: the taken cell itself.
    *series = total_cells(taken.get()) > 0 ? cell_copy(node_of(taken.get()), 0) : none_value;
    return series;
  }
  *series = *taken;
  return series;
}

Cell* swap(Cell* series1, Cell* series2) {
  if (!series::any_block_q(TYPE_OF(series2))) fire(ErrorCategory::kScript, "invalid-arg", *series2);
  int32_t h1 = clamp_head(series1), h2 = clamp_head(series2);
  if (h1 >= total_cells(series1) || h2 >= total_cells(series2)) return series1;
  bool owned1 = ownership::check(series1, words::WORD_SWAP, h1, 1);
  bool owned2 = ownership::check(series2, words::WORD_SWAP, h2, 1);
  // Measured again after the owners' handlers.
  if (h1 < total_cells(series1) && h2 < total_cells(series2)) {
    bool i1 = series::has_hash_table_q(series1), i2 = series::has_hash_table_q(series2);
    if (i1) hashtable_delete_index(series1->data3, static_cast<uint32_t>(h1));
    if (i2) hashtable_delete_index(series2->data3, static_cast<uint32_t>(h2));
    HeldPtr<Cell> a = node_buffer(node_of(series1))->head_cell() + h1;
    HeldPtr<Cell> b = node_buffer(node_of(series2))->head_cell() + h2;
    std::swap(*a, *b);
    if (i1) hashtable_put_index(series1->data3, static_cast<uint32_t>(h1));
    if (i2) hashtable_put_index(series2->data3, static_cast<uint32_t>(h2));
  }
  if (owned1) ownership::check(series1, words::WORD_SWAPED, h1, 1);
  if (owned2) ownership::check(series2, words::WORD_SWAPED, h2, 1);
  return series1;
}

Cell* trim(Cell* series, const TrimOptions&) {
  int32_t head = clamp_head(series);
  int32_t len = total_cells(series) - head;
  ownership::notify_around(series, words::WORD_TRIM, head, len, [&] {
    SeriesBuffer* b = node_buffer(node_of(series));
    int32_t total = static_cast<int32_t>(b->length());
    HeldPtr<Cell> cells = b->head_cell();
    int32_t out = head < total ? head : total;
    for (int32_t i = out; i < total; ++i)
      if (TYPE_OF(&cells[i]) != TYPE_NONE) cells[out++] = cells[i];
    b->tail = b->head + static_cast<uint32_t>(out) * kCellSize;
    series::hash_rebuild(series);
  });
  return series;
}

// ---------------------------------------------------------------------------
// copy and to.

Cell* copy(Cell* value, Cell* destination, Cell* part, bool deep, Cell* types) {
  series::copy(value, destination, part, false, nullptr);
  if (!deep && !types) return destination;
  // A deep or typed copy of a hash! is a plain block.
  if (TYPE_OF(destination) == TYPE_HASH) set_type(destination, TYPE_BLOCK);
  destination->data3 = 0;
  uint32_t source = node_of(value);
  if (deep && support::cycle_stack::find_q(source)) {
    support::cycle_stack::reset();
    fire(ErrorCategory::kInternal, "no-cycle");
  }
  support::cycle_stack::Entry visiting(source);
  if (types) find_by_type(destination, 0, total_cells(destination), 1, deep, types);
  else deep_copy_cells(destination);
  return destination;
}

Cell* to(Cell* type, Cell* spec) {
  uint32_t target = target_type(type);
  Cell s = *spec;
  RootedCell keep(s);
  RootedCell result;
  uint32_t st = TYPE_OF(&s);
  if (series::any_block_q(st)) {
    *result = Cell{target, 0, copy_cells(&s, false, false), 0};
  } else if (st == TYPE_OBJECT || st == TYPE_MAP) {
    *result = object_body(keep.get(), target);
  } else if (st == TYPE_VECTOR) {
    vector::to_block(keep.get(), result.get());
    set_type(result.get(), target);
  } else if (st == TYPE_STRING) {
    lexer::LexRequest request;
    lexer::LexResult r = lexer::transcode_string(keep.get(), -1, request);
    *result = Cell{target, 0, r.block, 0};
  } else if (st == TYPE_TYPESET) {
    init_cell(result.get(), 8);
    for (uint32_t t = 1; t < kTypeTableSize; ++t) {
      if (!typeset_has_q(reinterpret_cast<const uint8_t*>(&keep->data1), t)) continue;
      Cell d = datatype_cell(t);
      append_cell(result.get(), &d);
    }
    set_type(result.get(), target);
  } else {
    init_cell(result.get(), 1);
    clear_new_line(keep.get());
    append_cell(result.get(), keep.get());
    set_type(result.get(), target);
  }
  *type = *result;
  return type;
}

// ---------------------------------------------------------------------------
// sort.

namespace {

constexpr uint32_t kSortReverse = 1;
constexpr uint32_t kSortRecords = 2;
constexpr uint32_t kSortShift = 2;

struct SortState {
  uint32_t node;
  int32_t first;   // the first cell of the sorted span
  int32_t record;  // cells per record
  int32_t op;
  uint32_t flags;  // kSortReverse, kSortRecords, and the offset or record size above kSortShift
  RootedCell function;
  bool whole_records_to_function = false;
  RootedCell scratch_a, scratch_b;
};

// The cell n of the node, or none! when the series shrank below it (a
// comparator's code may change the series it sorts).
Cell cell_or_none(uint32_t node, int32_t n) {
  return n < static_cast<int32_t>(node_buffer(node)->length()) ? cell_copy(node, n) : none_value;
}

int32_t compare_sort_cells(const Cell* a, const Cell* b, int32_t op) {
  Cell x = *a, y = *b;
  int32_t r = compare_values(&x, &y, op);
  if (r == kNotComparable) {
    return three_way(TYPE_OF(a), TYPE_OF(b));
  }
  return r;
}

int32_t default_record_compare(uint32_t a, uint32_t b, intptr_t extra, intptr_t) {
  const SortState& s = *reinterpret_cast<const SortState*>(extra);
  if (s.flags & kSortReverse) std::swap(a, b);
  int32_t ra = s.first + static_cast<int32_t>(a) * s.record;
  int32_t rb = s.first + static_cast<int32_t>(b) * s.record;
  int32_t width = static_cast<int32_t>(s.flags >> kSortShift);
  if (s.flags & kSortRecords) {
    for (int32_t k = 0; k < width; ++k) {
      Cell x = cell_or_none(s.node, ra + k), y = cell_or_none(s.node, rb + k);
      int32_t r = compare_sort_cells(&x, &y, s.op);
      if (r != 0) return r;
    }
    return 0;
  }
  Cell x = cell_or_none(s.node, ra + width), y = cell_or_none(s.node, rb + width);
  return compare_sort_cells(&x, &y, s.op);
}

// Reads the key of each of count records into keys when every key is an
// integer!; false (keys left partial) at the first other value.
bool read_integer_keys(const SortState& s, uint32_t count, std::vector<int32_t>& keys) {
  const SeriesBuffer* b = node_buffer(s.node);
  int32_t offset = static_cast<int32_t>(s.flags >> kSortShift);
  int64_t last = s.first + int64_t{count - 1} * s.record + offset;
  if (count == 0 || last >= static_cast<int64_t>(b->length())) return false;
  const Cell* cells = reinterpret_cast<const Cell*>(b->data() + b->head) + s.first + offset;
  keys.resize(count);
  for (uint32_t i = 0; i < count; ++i) {
    const Cell* c = cells + static_cast<size_t>(i) * static_cast<size_t>(s.record);
    if (TYPE_OF(c) != TYPE_INTEGER) return false;
    keys[i] = integer::get(c);
  }
  return true;
}

// Fills a scratch block with the record's cells.
void fill_record(Cell* scratch, uint32_t node, int32_t from, int32_t count) {
  SeriesBuffer* b = node_buffer(node_of(scratch));
  b->tail = b->head;
  for (int32_t k = 0; k < count; ++k) {
    Cell c = cell_or_none(node, from + k);
    append_cell(scratch, &c);
  }
}

int32_t function_record_compare(uint32_t a, uint32_t b, intptr_t extra, intptr_t) {
  SortState& s = *reinterpret_cast<SortState*>(extra);
  int32_t ra = s.first + static_cast<int32_t>(a) * s.record;
  int32_t rb = s.first + static_cast<int32_t>(b) * s.record;
  // The second record first, unless reversed.
  bool reversed = (s.flags & kSortReverse) != 0;
  int32_t first = reversed ? ra : rb, second = reversed ? rb : ra;
  Cell args[2];
  if (s.whole_records_to_function) {
    fill_record(s.scratch_a.get(), s.node, first, s.record);
    fill_record(s.scratch_b.get(), s.node, second, s.record);
    args[0] = *s.scratch_a;
    args[1] = *s.scratch_b;
  } else {
    args[0] = cell_or_none(s.node, first);
    args[1] = cell_or_none(s.node, second);
  }
  // The call puts the arguments on the value stack before anything
  // allocates, and the result is only read for its sign: neither needs a
  // guard of its own.
  Cell result{TYPE_UNSET, 0, 0, 0};
  series::invoke_function(s.function.get(), args, 2, series::kCallbackSort, &result);
  return series::comparator_result(&result);
}

}  // namespace

Cell* sort(Cell* series, const SortOptions& options) {
  int32_t head = clamp_head(series);
  int32_t span = total_cells(series) - head;
  if (options.part) {
    int32_t n = series::part_count(series, options.part);
    if (n < 0) {
      int32_t from = head + n < 0 ? 0 : head + n;
      span = head - from;
      head = from;
      series->data1 = static_cast<uint32_t>(head);
    } else if (n < span) {
      span = n;
    }
  }
  if (span <= 0) return series;

  int32_t record = 1;
  if (options.skip) {
    record = series::skip_size(options.skip);
    if (record < 1 || span < record || span % record != 0) series::fire_invalid_refine(words::REF_SKIP, options.skip);
  } else if (options.all) {
    fire(ErrorCategory::kScript, "bad-refines");
  }

  SortState state;
  state.node = node_of(series);
  state.first = head;
  state.record = record;
  state.op = options.case_sensitive ? COMP_CASE_SORT : COMP_SORT;
  state.flags = options.reverse ? kSortReverse : 0;
  SortIndexComparator cmp = default_record_compare;
  if (options.comparator) {
    uint32_t ct = TYPE_OF(options.comparator);
    if (ct == TYPE_FUNCTION) {
      *state.function = *options.comparator;
      cmp = function_record_compare;
      if (options.all && options.skip) {
        state.whole_records_to_function = true;
        init_cell(state.scratch_a.get(), record);
        init_cell(state.scratch_b.get(), record);
      }
    } else if (ct == TYPE_INTEGER) {
      if (!options.skip || options.all) fire(ErrorCategory::kScript, "bad-refines");
      int32_t k = integer::get(options.comparator);
      if (k < 1 || k > record) fire(ErrorCategory::kScript, "out-of-range", *options.comparator);
      state.flags |= static_cast<uint32_t>(k - 1) << kSortShift;
    } else {
      series::fire_invalid_refine(words::REF_COMPARE, options.comparator);
    }
  } else if (options.all) {
    state.flags |= kSortRecords | (static_cast<uint32_t>(record) << kSortShift);
  }

  uint32_t count = static_cast<uint32_t>(span / record);
  ownership::notify_around(series, words::WORD_SORT, head, span, [&] {
    // Positions are sorted first; the cells move once, after the last
    // comparison, so a comparator that fails leaves every value in place.
    // Keys that are all integer! are read once and compared as numbers,
    // which is what the default comparison answers for them.
    std::vector<int32_t> keys;
    std::vector<uint32_t> order =
        cmp == default_record_compare && !(state.flags & kSortRecords) && read_integer_keys(state, count, keys)
            ? sort_order_by_keys(keys, options.stable, options.reverse)
            : sort_order(count, options.stable, reinterpret_cast<intptr_t>(&state), 0, cmp);
    SeriesBuffer* b = node_buffer(state.node);
    if (static_cast<int64_t>(head) + span > static_cast<int64_t>(b->length())) return;  // shrunk meanwhile
    apply_order(b->head_cell() + head, count, static_cast<uint32_t>(record) * kCellSize, order);
    series::hash_rebuild(series);
  });
  return series;
}

// ---------------------------------------------------------------------------
// Set operations.

namespace {

// Looks for a value among the record heads of a block: through a hash table
// when given, else by scanning (any-block values are always scanned).
struct Membership {
  RootedCell block;
  RootedNode table;
  int32_t step = 1;        // records are this many cells
  int32_t table_skip = 1;  // the skip grid of the table lookups
  int32_t op = COMP_FIND;

  bool contains(const Cell* value) {
    int32_t head = head_of(block.get());
    if (table.get() != 0 && !series::any_block_q(TYPE_OF(value))) {
      return hashtable_find_index(table, value, head, table_skip, op, false, false, table_compare) >= 0;
    }
    uint32_t node = node_of(block.get());
    for (int64_t i = head; i < total_cells(block.get()); i += step) {
      Cell c = cell_copy(node, static_cast<int32_t>(i));
      if (cell_matches(&c, value, op)) return true;
    }
    return false;
  }
};

void membership_over(Membership& m, const Cell* series, int32_t step, int32_t op) {
  *m.block = *series;
  clamp_head(m.block.get());
  m.step = step;
  m.table_skip = step;
  m.op = op;
  if (series::has_hash_table_q(series)) {
    m.table = series->data3;
  } else {
    Cell plain = *m.block;
    plain.data3 = 0;
    m.table = hashtable_init(static_cast<uint32_t>(rs_length_q(&plain)), &plain, hashtable::kKindHash, 0,
                             table_compare);
  }
}

}  // namespace

Cell* set_operation(Cell* set1, Cell* set2, bool case_sensitive, Cell* skip, int32_t op) {
  int32_t step = 1;
  if (skip) {
    step = TYPE_OF(skip) == TYPE_INTEGER ? integer::get(skip) : 0;
    if (step < 1) series::fire_invalid_refine(words::REF_SKIP, skip);
  }
  if (op < SET_UNIQUE || op > SET_DIFFERENCE) fatal_runtime_error(101);
  bool two = op != SET_UNIQUE;
  RootedCell first(*set1), second(two ? *set2 : none_value);
  if (two && !series::any_block_q(TYPE_OF(second.get()))) fire(ErrorCategory::kScript, "invalid-arg", *second);
  int32_t cmp_op = case_sensitive ? COMP_STRICT_EQUAL : COMP_FIND;
  bool hashed = TYPE_OF(first.get()) == TYPE_HASH || (two && TYPE_OF(second.get()) == TYPE_HASH);

  int32_t len1 = rs_length_q(first.get()), len2 = two ? rs_length_q(second.get()) : 0;
  int32_t size = len1 + (op == SET_UNION ? len2 : 0);
  RootedCell result;
  init_cell(result.get(), size < 1 ? 1 : size);
  RootedNode taken(hashtable_init(static_cast<uint32_t>(size), result.get(), hashtable::kKindHash, 0, table_compare));
  Membership in_result;
  *in_result.block = *result;
  in_result.table = taken.get();
  in_result.step = step;
  in_result.op = cmp_op;  // its table indexes record heads only: table_skip stays 1

  // Walks a series record by record; a record passes when its first cell's
  // membership in `other` is as wanted (no test without other), and joins
  // the result unless its first cell is already there.
  auto walk = [&](const Cell* series, Membership* other, bool wanted) {
    RootedCell s(*series);
    uint32_t node = node_of(s.get());
    for (int64_t record = clamp_head(s.get()); record < total_cells(s.get()); record += step) {
      int32_t i = static_cast<int32_t>(record);
      RootedCell value(cell_copy(node, i));
      if (other && other->contains(value.get()) != wanted) continue;
      if (in_result.contains(value.get())) continue;
      int32_t at = total_cells(result.get());
      int32_t end = static_cast<int32_t>(std::min<int64_t>(record + step, total_cells(s.get())));
      for (int32_t k = i; k < end; ++k) {
        Cell c = cell_copy(node, k);
        append_cell(result.get(), &c);
      }
      if (!series::any_block_q(TYPE_OF(value.get()))) {
        bool rebuilt = false;
        hashtable_put_index(taken, static_cast<uint32_t>(at), &rebuilt, table_compare);
        if (rebuilt && step > 1) {
          // The table indexed every cell afresh: keep only record heads.
          hashtable_clear_range(taken, 0, static_cast<uint32_t>(total_cells(result.get())));
          for (int64_t r = 0; r < total_cells(result.get()); r += step) {
            Cell c = cell_copy(node_of(result.get()), static_cast<int32_t>(r));
            if (!series::any_block_q(TYPE_OF(&c))) hashtable_put_index(taken, static_cast<uint32_t>(r), nullptr, table_compare);
          }
        }
      }
    }
  };

  switch (op) {
    case SET_UNIQUE:
      walk(first.get(), nullptr, true);
      break;
    case SET_UNION:
      walk(first.get(), nullptr, true);
      walk(second.get(), nullptr, true);
      break;
    case SET_INTERSECT:
    case SET_EXCLUDE: {
      Membership in_second;
      membership_over(in_second, second.get(), step, cmp_op);
      walk(first.get(), &in_second, op == SET_INTERSECT);
      break;
    }
    case SET_DIFFERENCE: {
      Membership in_second, in_first;
      membership_over(in_second, second.get(), step, cmp_op);
      membership_over(in_first, first.get(), step, cmp_op);
      walk(first.get(), &in_second, false);
      walk(second.get(), &in_first, false);
      break;
    }
    default:
      break;
  }

  Cell out = *result;
  if (hashed) {
    out.header = TYPE_HASH;
    RootedCell keep(out);
    Cell plain = out;
    out.data3 = hashtable_init(static_cast<uint32_t>(total_cells(&plain)), &plain, hashtable::kKindHash, 0);
  } else {
    out.header = TYPE_OF(first.get());
  }
  *set1 = out;
  return set1;
}

namespace {
Cell* append_handler(Cell* series, Cell* value, int32_t part, bool only, int32_t dup, bool) {
  return insert(series, value, part, only, dup, true);
}
Cell* insert_handler(Cell* series, Cell* value, int32_t part, bool only, int32_t dup, bool) {
  return insert(series, value, part, only, dup, false);
}
}  // namespace

void init() {
  datatype::register_type(TYPE_BLOCK, TYPE_SERIES, "block!", {
      own<ACT_MAKE>(make), own<ACT_TO>(to), own<ACT_FORM>(form), own<ACT_MOLD>(mold),
      own<ACT_EVAL_PATH>(eval_path), own<ACT_COMPARE>(compare), own<ACT_APPEND>(append_handler),
      own<ACT_CHANGE>(change), own<ACT_COPY>(copy), own<ACT_FIND>(find),
      own<ACT_INSERT>(insert_handler), own<ACT_PUT>(put), own<ACT_SELECT>(select),
      own<ACT_SORT>(sort), own<ACT_SWAP>(swap), own<ACT_TAKE>(take), own<ACT_TRIM>(trim),
  });
}

}  // namespace kiv::block

namespace kiv::paren {

int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent) {
  Cell blk = *value;
  if (support::cycle_stack::mold_placeholder(&blk, string::node_of(buffer), &limit, true)) return limit;
  if (!flags.only) {
    string::append_char(buffer, '(');
    --limit;
  }
  limit = block::mold_values(&blk, buffer, flags, part, limit, indent);
  if (!flags.only) {
    string::append_char(buffer, ')');
    --limit;
  }
  return limit;
}

void init() {
  // Everything but mold comes from block!.
  datatype::register_type(TYPE_PAREN, TYPE_BLOCK, "paren!", {own<ACT_MOLD>(mold)});
}

}  // namespace kiv::paren

namespace kiv::paren {
Cell* push(const Cell* series) { return block::push_as(series, TYPE_PAREN); }
}  // namespace kiv::paren

namespace kiv::path {

namespace {

// The values from the head, each formed or molded, joined by "/".
int32_t write_values(Cell* value, Cell* buffer, bool mold_values, bool all, bool flat, Cell* part,
                     int32_t limit) {
  Cell p = *value;
  uint32_t out = string::node_of(buffer);
  if (support::cycle_stack::mold_placeholder(&p, out, &limit, mold_values)) return limit;
  uint32_t node = block::node_of(&p);
  int32_t head = series::clamp_head(&p);
  support::cycle_stack::Entry visiting(node);
  for (int32_t i = head; i < static_cast<int32_t>(node_buffer(node)->length()); ++i) {
    if (part != nullptr && limit < 1) break;
    if (i != head) {
      string::append_char(buffer, '/');
      --limit;
    }
    Cell v = node_buffer(node)->head_cell()[i];
    clear_new_line(&v);  // no line breaks inside a path
    limit = mold_values ? dispatch_mold(&v, buffer, {.all = all, .flat = flat}, part, limit, 0)
                        : dispatch_form(&v, buffer, part, limit);
  }
  return limit;
}

}  // namespace

Cell* init_cell(Cell* cell, int32_t n) {
  block::init_cell(cell, n);
  set_type(cell, TYPE_PATH);
  return cell;
}

Cell* push(const Cell* series) { return block::push_as(series, TYPE_PATH); }

Cell* make(Cell* type, Cell* spec) {
  uint32_t target = target_type(type);
  uint32_t st = TYPE_OF(spec);
  Cell result;
  if (series::any_block_q(st)) {
    result = Cell{target, 0, block::copy_cells(spec, false, false), 0};
  } else if (st == TYPE_INTEGER || st == TYPE_FLOAT || st == TYPE_PERCENT) {
    int32_t n;
    if (st != TYPE_PERCENT) n = get_make_size(spec);
    else if (!float_::truncate_checked(cell_float(spec), &n))
      fire(ErrorCategory::kScript, "out-of-range", *spec);
    block::init_cell(&result, n < 1 ? 1 : n);
    set_type(&result, target);
  } else {
    fire_bad_make_arg(spec, target);
  }
  *type = result;
  return type;
}

Cell* to(Cell* type, Cell* spec) {
  uint32_t st = TYPE_OF(spec);
  if (st == TYPE_OBJECT || st == TYPE_TYPESET || st == TYPE_MAP) {
    uint32_t target = target_type(type);
    RootedCell value(*spec);
    RootedCell result;
    block::init_cell(result.get(), 1);
    block::append_cell(result.get(), value.get());
    set_type(result.get(), target);
    *type = *result;
    return type;
  }
  return block::to(type, spec);
}

int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit) {
  return write_values(value, buffer, false, false, false, part, limit);
}

int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit, int32_t) {
  return write_values(value, buffer, true, flags.all, flags.flat, part, limit);
}

void init() {
  datatype::register_type(TYPE_PATH, TYPE_BLOCK, "path!", {
      own<ACT_MAKE>(make), own<ACT_TO>(to), own<ACT_FORM>(form), own<ACT_MOLD>(mold),
      own<ACT_COPY>(block::copy),
  });
}

}  // namespace kiv::path

namespace kiv::lit_path {
int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent) {
  string::append_char(buffer, '\'');
  return path::mold(value, buffer, flags, part, limit - 1, indent);
}
Cell* push(const Cell* series) { return block::push_as(series, TYPE_LIT_PATH); }
void init() {
  datatype::register_type(TYPE_LIT_PATH, TYPE_PATH, "lit-path!", {own<ACT_MOLD>(mold)});
}
}  // namespace kiv::lit_path

namespace kiv::get_path {
int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent) {
  string::append_char(buffer, ':');
  return path::mold(value, buffer, flags, part, limit - 1, indent);
}
Cell* push(const Cell* series) { return block::push_as(series, TYPE_GET_PATH); }
void init() {
  datatype::register_type(TYPE_GET_PATH, TYPE_PATH, "get-path!", {own<ACT_MOLD>(mold)});
}
}  // namespace kiv::get_path

namespace kiv::set_path {
int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent) {
  limit = path::mold(value, buffer, flags, part, limit, indent);
  string::append_char(buffer, ':');
  return limit - 1;
}
Cell* push(const Cell* series) { return block::push_as(series, TYPE_SET_PATH); }
void init() {
  datatype::register_type(TYPE_SET_PATH, TYPE_PATH, "set-path!", {own<ACT_MOLD>(mold)});
}
}  // namespace kiv::set_path

