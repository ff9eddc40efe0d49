#include "runtime/datatypes/block.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "runtime/collector.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/series_common.h"
#include "runtime/datatypes/string.h"
#include "runtime/eval/actions.h"
#include "runtime/memory.h"
#include "runtime/ownership.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/words.h"

namespace kiv::block {

int32_t mold_depth = 0;

namespace {

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

inline bool any_word_q(uint32_t t) {
  return t == TYPE_WORD || t == TYPE_SET_WORD || t == TYPE_LIT_WORD || t == TYPE_GET_WORD ||
         t == TYPE_REFINEMENT || t == TYPE_ISSUE;
}
inline bool number_q(uint32_t t) { return t == TYPE_INTEGER || t == TYPE_FLOAT || t == TYPE_PERCENT; }

// Action calls on single values. The value cells passed are C++ locals (the
// handlers may allocate; nothing here points into a buffer across the call).
inline int32_t mold_value(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part,
                          int32_t limit, int32_t indent) {
  return dispatch_mold(value, buffer, only, all, flat, part, limit, indent);
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
  if (src == node) cells.assign(node_buffer(src)->head_cell() + from, node_buffer(src)->head_cell() + from + n);
  SeriesBuffer* b = reserve_cells(node, static_cast<uint64_t>(n), true);
  const Cell* source = (src == node) ? cells.data() : node_buffer(src)->head_cell() + from;
  std::memcpy(b->tail_ptr(), source, static_cast<size_t>(n) * kCellSize);
  b->tail += static_cast<uint32_t>(n) * kCellSize;
}

void insert_cells(Cell* block, const Cell* value, bool at_start, bool advance) {
  Cell v = *value;
  uint32_t node = node_of(block);
  int32_t at = at_start ? 0 : clamp_head(block);
  SeriesBuffer* b = reserve_cells(node, 1, true);
  Cell* p = b->head_cell() + at;
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
    Cell* p = b->head_cell() + i;
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
    Cell* slot = node_buffer(copy)->head_cell() + i;
    slot->data1 = 0;
    slot->data2 = inner;
  }
  return copy;
}

}  // namespace

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

int32_t mold_values(Cell* block, Cell* buffer, bool only, bool all, bool flat, Cell* part,
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
      struct DepthGuard {
        ~DepthGuard() { --mold_depth; }
      } depth_guard;
      if (!flat && (value.header & kFlagNewLine)) {
        if (!only && first) {
          ++level;
          closing_line = true;
        }
        if (!(only && first)) {
          append_ascii_char(buffer, '\n');
          --limit;
        }
        limit = mold_indent(out, level, limit);
      } else if (!first) {
        append_ascii_char(buffer, ' ');
        --limit;
      }
      limit = mold_value(&value, buffer, false, all, flat, part, limit, level);
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

int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent) {
  Cell blk = *value;
  if (support::cycle_stack::mold_placeholder(&blk, string::node_of(buffer), &limit, true)) return limit;
  if (!only) {
    append_ascii_char(buffer, '[');
    --limit;
  }
  limit = mold_values(&blk, buffer, only, all, flat, part, limit, indent);
  if (!only) {
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
    bool compatible = t1 == t2 || (any_word_q(t1) && any_word_q(t2)) || (number_q(t1) && number_q(t2));
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

Cell* make(Cell* type, Cell* spec) {
  uint32_t target = TYPE_OF(type) == TYPE_DATATYPE ? datatype::named_type(type) : TYPE_OF(type);
  uint32_t st = TYPE_OF(spec);
  Cell result;
  if (series::any_block_q(st)) {
    result = Cell{target, 0, copy_cells(spec, false, false), 0};
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

  ownership::notify_around(series, append ? words::WORD_APPEND : words::KEY_INSERT, at,
                           static_cast<int32_t>(added), [&] {
    // The cells to insert, taken aside first: the value may be this very
    // block (its cells move when the gap opens) or live in a buffer that
    // grows. The value cell roots what they refer to meanwhile.
    RootedCell keep(v);
    std::vector<Cell> cells;
    if (spread) {
      // An owner's handler may have shortened the value meanwhile.
      int32_t available = total_cells(&v) - from;
      if (count > available) {
        count = available < 0 ? 0 : available;
        added = static_cast<uint64_t>(count) * static_cast<uint64_t>(dup);
      }
      const Cell* src = node_buffer(node_of(&v))->head_cell() + from;
      cells.assign(src, src + count);
    } else {
      cells.push_back(v);
    }
    SeriesBuffer* b = reserve_cells(node, added, dup < 5);
    int32_t len = static_cast<int32_t>(b->length());
    if (at > len) at = len;  // an owner's handler may have shortened the block
    Cell* p = b->head_cell() + at;
    std::memmove(p + added, p, static_cast<size_t>(len - at) * kCellSize);
    for (int32_t k = 0; k < dup; ++k)
      std::memcpy(p + static_cast<size_t>(k) * count, cells.data(), static_cast<size_t>(count) * kCellSize);
    b->tail += static_cast<uint32_t>(added * kCellSize);
  });

  if (append) {
    series->data1 = 0;
  } else {
    series->data1 = static_cast<uint32_t>(at + static_cast<int64_t>(added));
  }
  return series;
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
  static const HandlerEntry row[] = {
      own<ACT_MAKE>(make),
      kInherit<ACT_RANDOM>,
      kInherit<ACT_REFLECT>,
      kNone<ACT_TO>,
      own<ACT_FORM>(form),
      own<ACT_MOLD>(mold),
      kNone<ACT_EVAL_PATH>,
      kNone<ACT_EMPTY_8>,
      own<ACT_COMPARE>(compare),
      kNone<ACT_ABSOLUTE>,
      kNone<ACT_ADD>,
      kNone<ACT_DIVIDE>,
      kNone<ACT_MULTIPLY>,
      kNone<ACT_NEGATE>,
      kNone<ACT_POWER>,
      kNone<ACT_REMAINDER>,
      kNone<ACT_ROUND>,
      kNone<ACT_SUBTRACT>,
      kNone<ACT_EVEN_Q>,
      kNone<ACT_ODD_Q>,
      kNone<ACT_AND_T>,
      kNone<ACT_COMPLEMENT>,
      kNone<ACT_OR_T>,
      kNone<ACT_XOR_T>,
      own<ACT_APPEND>(append_handler),
      kInherit<ACT_AT>,
      kInherit<ACT_BACK>,
      kNone<ACT_CHANGE>,
      kInherit<ACT_CLEAR>,
      kNone<ACT_COPY>,
      kNone<ACT_FIND>,
      kInherit<ACT_HEAD>,
      kInherit<ACT_HEAD_Q>,
      kInherit<ACT_INDEX_Q>,
      own<ACT_INSERT>(insert_handler),
      kInherit<ACT_LENGTH_Q>,
      kInherit<ACT_MOVE>,
      kInherit<ACT_NEXT>,
      kInherit<ACT_PICK>,
      kInherit<ACT_POKE>,
      kNone<ACT_PUT>,
      kInherit<ACT_REMOVE>,
      kInherit<ACT_REVERSE>,
      kNone<ACT_SELECT>,
      kNone<ACT_SORT>,
      kInherit<ACT_SKIP>,
      kNone<ACT_SWAP>,
      kInherit<ACT_TAIL>,
      kInherit<ACT_TAIL_Q>,
      kNone<ACT_TAKE>,
      kNone<ACT_TRIM>,
      kNone<ACT_CREATE>,
      kNone<ACT_CLOSE>,
      kNone<ACT_DELETE>,
      kInherit<ACT_MODIFY>,
      kNone<ACT_OPEN>,
      kNone<ACT_OPEN_Q>,
      kNone<ACT_QUERY>,
      kNone<ACT_READ>,
      kNone<ACT_RENAME>,
      kNone<ACT_UPDATE>,
      kNone<ACT_WRITE>,
  };
  datatype::register_type(TYPE_BLOCK, TYPE_SERIES, "block!", row);
}

}  // namespace kiv::block

namespace kiv::paren {

int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent) {
  Cell blk = *value;
  if (support::cycle_stack::mold_placeholder(&blk, string::node_of(buffer), &limit, true)) return limit;
  if (!only) {
    string::append_char(buffer, '(');
    --limit;
  }
  limit = block::mold_values(&blk, buffer, only, all, flat, part, limit, indent);
  if (!only) {
    string::append_char(buffer, ')');
    --limit;
  }
  return limit;
}

void init() {
  // Everything but mold comes from block!.
  static const HandlerEntry row[] = {
      kInherit<ACT_MAKE>,       kInherit<ACT_RANDOM>,     kInherit<ACT_REFLECT>,
      kInherit<ACT_TO>,         kInherit<ACT_FORM>,       own<ACT_MOLD>(mold),
      kInherit<ACT_EVAL_PATH>,  kNone<ACT_EMPTY_8>,       kInherit<ACT_COMPARE>,
      kInherit<ACT_ABSOLUTE>,   kInherit<ACT_ADD>,        kInherit<ACT_DIVIDE>,
      kInherit<ACT_MULTIPLY>,   kInherit<ACT_NEGATE>,     kInherit<ACT_POWER>,
      kInherit<ACT_REMAINDER>,  kInherit<ACT_ROUND>,      kInherit<ACT_SUBTRACT>,
      kInherit<ACT_EVEN_Q>,     kInherit<ACT_ODD_Q>,      kInherit<ACT_AND_T>,
      kInherit<ACT_COMPLEMENT>, kInherit<ACT_OR_T>,       kInherit<ACT_XOR_T>,
      kInherit<ACT_APPEND>,     kInherit<ACT_AT>,         kInherit<ACT_BACK>,
      kInherit<ACT_CHANGE>,     kInherit<ACT_CLEAR>,      kInherit<ACT_COPY>,
      kInherit<ACT_FIND>,       kInherit<ACT_HEAD>,       kInherit<ACT_HEAD_Q>,
      kInherit<ACT_INDEX_Q>,    kInherit<ACT_INSERT>,     kInherit<ACT_LENGTH_Q>,
      kInherit<ACT_MOVE>,       kInherit<ACT_NEXT>,       kInherit<ACT_PICK>,
      kInherit<ACT_POKE>,       kInherit<ACT_PUT>,        kInherit<ACT_REMOVE>,
      kInherit<ACT_REVERSE>,    kInherit<ACT_SELECT>,     kInherit<ACT_SORT>,
      kInherit<ACT_SKIP>,       kInherit<ACT_SWAP>,       kInherit<ACT_TAIL>,
      kInherit<ACT_TAIL_Q>,     kInherit<ACT_TAKE>,       kInherit<ACT_TRIM>,
      kInherit<ACT_CREATE>,     kInherit<ACT_CLOSE>,      kInherit<ACT_DELETE>,
      kInherit<ACT_MODIFY>,     kInherit<ACT_OPEN>,       kInherit<ACT_OPEN_Q>,
      kInherit<ACT_QUERY>,      kInherit<ACT_READ>,       kInherit<ACT_RENAME>,
      kInherit<ACT_UPDATE>,     kInherit<ACT_WRITE>,
  };
  datatype::register_type(TYPE_PAREN, TYPE_BLOCK, "paren!", row);
}

}  // namespace kiv::paren
