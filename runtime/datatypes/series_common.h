// series! (type id 42): the abstract parent of every series type, and the
// routines on series cells that the whole runtime uses.
//
// No value carries id 42. Its row holds the handlers that work the same on
// every series whatever its unit (1, 2 or 4 bytes a character, 1 for binary!,
// 16 for the cells of blocks, the element size of a vector!); the series types
// inherit them.
//
// A series value:
//   word 0  header (type id)
//   word 1  head index, in units from the buffer's first used unit
//   word 2  node of the series buffer
//   word 3  type-specific (hash table node of a hash!, element type of a
//           vector!), otherwise 0
//
// "length" is the number of units from the head index to the buffer's tail,
// "total" the number of units from the buffer's first used unit to its tail.
// A head index may lie past the tail after another reference removed values:
// every handler here clamps it to the tail (and stores the clamped index
// back) before it reads or writes.
//
// Owner notifications: every handler that changes a series calls
// ownership::check before the change and, when that answered true, after it
// with the done word. The owner's handler runs Kiv code, so the handlers
// measure the series again after the first call.
//
// Moving buffers: the handlers hold node ids and unit indexes across
// anything that can allocate; a SeriesBuffer* is fetched again after each
// such call.
#pragma once

#include <cstdint>
#include <functional>

#include "runtime/cell.h"
#include "runtime/type_traits.h"
#include "runtime/words.h"

namespace kiv::series {

// True for the series kinds: the any-block and any-string families plus
// binary!, vector! and image!.
bool series_type_q(uint32_t type);
// True for block!, paren!, hash! and the four path kinds. In line: binds,
// copies and loops ask it for every cell.
inline bool any_block_q(uint32_t type) { return any_block_type_q(type); }

// True when the head index is at or past the tail.
bool at_tail_q(const Cell* series);
// total: the units of the buffer, ignoring the head index.
int32_t buffer_length(const Cell* series);
// Units from the head index (from 0 with from_start; a negative head counts as
// 0). A head past the tail is set to total and 0 is answered.
int32_t length(Cell* series, bool from_start = false);
// Moves the head by n units when the new position is still within the buffer
// (<= tail); answers true when the new position, moved or not, is at or past
// the tail.
bool skip_and_test(Cell* series, int32_t n);
// The head index clamped to 0 .. total; a head past the tail is stored back.
int32_t clamp_head(Cell* series);

// ---------------------------------------------------------------------------
// Helpers shared by the series handlers of every type.

// script/invalid-refine-arg with the refinement's word and the value.
[[noreturn]] void fire_invalid_refine(words::Id refinement, const Cell* value);
// The count a /part argument stands for, from the series' (clamped) head: an
// integer! (a float! or percent! truncated), or a position in the same
// series (same type and buffer) whose clamped head less the series' head is
// the count. Any other value raises invalid-refine-arg with `part`.
int32_t part_count(Cell* series, const Cell* part);
// A /skip size: an integer! (else invalid-refine-arg with `skip`).
int32_t skip_size(const Cell* skip);
// The element of the series at a unit index (from the buffer's first unit),
// as pick answers it: the cell of a block kind, a char! of a string kind, an
// integer! byte of a binary!.
Cell element_at(const Cell* series, int32_t index);

// hash! upkeep: every handler that inserts, removes or reorders cells of a
// hash! keeps its table (word 3) in step through these. A series without a
// table is left alone.
bool has_hash_table_q(const Cell* series);
// After amount cells were inserted (> 0) or removed (< 0) at unit index at:
// shifts the table's entries, and indexes the inserted cells.
void hash_shifted(const Cell* series, int32_t at, int32_t amount);
// After the cells were reordered or replaced wholesale: indexes them afresh.
void hash_rebuild(const Cell* series);

// ---------------------------------------------------------------------------
// Calling Kiv functions back (sort and compare comparators). The interpreter
// installs the invoker at start-up: it calls the function value with the
// given arguments under a call frame named by the frame word ("<compare-
// callback>") and with the callback kind bit (sort: 4), and writes the
// function's result. Errors raised by the function propagate as
// LanguageError; the caller leaves its data whole.
constexpr uint32_t kCallbackSort = 4;
using FunctionInvoker = std::function<void(const Cell* function, const Cell* args, uint32_t count,
                                           uint32_t callback_kind, Cell* result)>;
void set_function_invoker(FunctionInvoker invoker);
// True once an invoker is installed.
bool function_invoker_q();
// Calls through the installed invoker; without one raises internal/not-done.
void invoke_function(const Cell* function, const Cell* args, uint32_t count, uint32_t callback_kind,
                     Cell* result);
// The sign a comparator function's result stands for: logic! true 1, false
// -1; integer! its value (clamped to -1 .. 1); float! 1 above 0.0, 0 at 0.0 or
// NaN, -1 below; none! -1; any other value 1.
int32_t comparator_result(const Cell* result);

// ---------------------------------------------------------------------------
// Handlers registered by series! (inherited by every series type).

// Navigation: simple handlers on the frame's base cell (the series), which
// is also the result.
void at();
void back();
void head();
void head_q();
void index_q();
void next();
void skip();
void tail();
void tail_q();

Cell* random(Cell* series, bool seed, bool secure, bool only);
Cell* reflect(Cell* series, Cell* field);
Cell* clear(Cell* series);
// A new series of the source's type into destination (see copy_range for
// /part); deep and types belong to the block kinds.
Cell* copy(Cell* value, Cell* destination, Cell* part, bool deep, Cell* types);
int32_t length_q(Cell* series);
Cell* move(Cell* origin, Cell* target, Cell* part);
Cell* pick(Cell* series, int32_t index, Cell* index_cell);
Cell* poke(Cell* series, int32_t index, Cell* value, Cell* index_cell);
Cell* remove(Cell* series, Cell* part, Cell* key);
Cell* reverse(Cell* series, Cell* part, Cell* skip);
// Answers a new series of the source's type holding the taken units, or
// none! when the series is empty from its head. The string and block kinds
// turn a single taken element into the element itself.
Cell* take(Cell* series, Cell* part, bool deep, bool last);
Cell* modify(Cell* target, Cell* field, Cell* value, bool case_sensitive);

// The units copy takes: start (from the buffer's first unit) and count,
// after the /part rules (a count, a pair! x×y, or a position in the same
// series; a negative count copies backwards).
struct Range {
  int32_t start;
  int32_t count;
};
Range copy_range(Cell* series, const Cell* part);

// Registers series! (no parent).
void init();

// ---------------------------------------------------------------------------
// The walk of find and select over a series of packed units (the string
// kinds, binary!, vector!): the same range and order whatever a unit holds
// and however a pattern is compared.

// The range a search covers. count is the units it may cover forward from
// the head, or back from it with /reverse, cut to the /part count (part is
// null without /part). empty: nothing can match.
struct SearchRange {
  int32_t head = 0;
  int32_t total = 0;
  int32_t count = 0;
  bool empty = true;
};
inline SearchRange search_range(int32_t head, int32_t total, const int32_t* part, bool reverse, bool match) {
  SearchRange r{head, total, reverse ? head : total - head, true};
  if (part) {
    int32_t n = *part;
    if (reverse && n < 0) n = -n;
    if (n < 1) return r;
    if (n < r.count) r.count = n;
  }
  if (total == 0 || (!reverse && head >= total)) return r;
  if (reverse && (head == 0 || match)) return r;
  r.empty = false;
  return r;
}

// The index (from the buffer's first unit) of the first match of a pattern
// len units long that matches_at(i) finds, or -1, walking as find's
// refinements ask: /match only at the head; /reverse backward from the unit
// before the head; /last backward from the end of the range; otherwise
// forward. Backward walks count their skip grid from where they start.
template <typename MatchesAt>
int32_t search_walk(const SearchRange& r, int32_t len, int32_t step, bool last, bool reverse, bool match,
                    MatchesAt&& matches_at) {
  if (r.empty || len == 0) return -1;
  int32_t head = r.head;
  if (match) return len <= r.count && matches_at(head) ? head : -1;
  if (reverse) {
    for (int32_t i = head - 1; i >= head - r.count; i -= step)
      if (i + len <= r.total && matches_at(i)) return i;
    return -1;
  }
  int32_t end = head + r.count;  // the match must end by here
  if (last) {
    for (int32_t i = end - 1; i >= head; i -= step)
      if (i + len <= end && matches_at(i)) return i;
    return -1;
  }
  // 64-bit steps: a skip near the integer limit must end the walk, not wrap.
  for (int64_t i = head; i + len <= end; i += step)
    if (matches_at(static_cast<int32_t>(i))) return static_cast<int32_t>(i);
  return -1;
}

}  // namespace kiv::series
