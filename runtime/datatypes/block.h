// block! (type id 5, parent series!) and paren! (type id 6, parent block!).
//
//   word 0  header, type id; bit 30 (kFlagNewLine) marks that the value
//           starts a new line in the block that holds it
//   word 1  head index, in cells from the buffer's first cell
//   word 2  node of a buffer of 16-byte cells
//   word 3  0 (a hash! keeps its hash table node here)
//
// paren! and the path kinds share this layout and inherit most handlers.
//
// Moving buffers: a Cell* into a block's buffer is good only until the next
// allocation. The routines below that may allocate take the block as a cell
// that does not move (argument stack, C++ local) and copy a value before
// growing the buffer it might live in. Routines answering a Cell* into a
// buffer say so ("raw").
#pragma once

#include <cstdint>

#include "runtime/cell.h"
#include "runtime/datatypes/actions.h"
#include "runtime/series.h"

namespace kiv::block {

inline uint32_t node_of(const Cell* block) { return block->data2; }

// ---------------------------------------------------------------------------
// Routines on block cells.

// Raw address of the head cell; a head index past the tail is first set to
// the tail.
Cell* rs_head(Cell* block);
// True when the head is at (or past) the tail.
bool rs_tail_q(const Cell* block);
// Cells from the head to the tail (0 when the head is past the tail).
int32_t rs_length_q(const Cell* block);
// Raw address of the buffer tail.
Cell* tail_cell(const Cell* block);
// Raw address of cell n counted from the buffer's first cell.
Cell* cell_at(const Cell* block, int32_t n);
// Moves the head one cell on unless it is at the tail; true when the new head
// is at the tail.
bool step_head(Cell* block);
// tail <- the head cell.
void clear_from_head(Cell* block);
// tail <- cell n from the buffer's first cell (when n lies within it).
void truncate_at(Cell* block, int32_t n);
// Drops the last cell (when any) and pulls the head back to the new tail if
// it lay beyond it.
void remove_last(Cell* block);
// Appends a copy of the value at the tail; answers the new cell (raw).
Cell* append_cell(const Cell* block, const Cell* value);
// Appends copies of every cell of other from its head.
void append_all_from(const Cell* block, const Cell* other);
// Inserts one cell at the head (at the buffer's first cell with at_start);
// with advance the head index moves past it.
void insert_cells(Cell* block, const Cell* value, bool at_start, bool advance);
// Inserts every cell of source through insert_cells with advance: the values
// end up in order before the head.
void append_each(Cell* block, const Cell* source);
// The cell after the first cell from the head that equals the value (find's
// equality, code 12); none! when nothing matches or the match is the last
// cell.
Cell select_value(const Cell* block, const Cell* value);
// Removes the first cell equal to the value (code 12), searching from the
// head or from the buffer's first cell; true when the removed cell's index
// was below head + 1, false otherwise or when nothing matched.
bool remove_found(Cell* block, const Cell* value, bool from_start);
// Appends the last pushed cell of the argument stack to the block just below
// it and drops it.
void append_top();
// A new block with copies of the cells from the head (room for at least one
// cell) of the source's type; deep copies nested blocks (and parens and paths
// with any_block). Answers the new node; a cyclic deep copy raises
// internal/no-cycle.
uint32_t copy_cells(const Cell* block, bool deep, bool any_block);

// The library's own code: every block and paren reached from the node is
// flagged so that tracing sees it as built in (flags only, no allocation).
void mark_library_code(uint32_t node);
inline bool library_code_q(uint32_t node) { return (node_buffer(node)->flags & kSeriesLibrary) != 0; }

// Makes the cell an empty block! with room for n cells (1 when n < 1).
Cell* init_cell(Cell* cell, int32_t n);
// The same; the memory manager puts a request of the big-series size in a
// block of its own whatever the flag says, so big only documents the intent.
Cell* init_cell_sized(Cell* cell, int32_t n, bool big);
// Pushes a copy of the block cell on the argument stack.
Cell* push(const Cell* block);
// Pushes a new empty block with room for n cells (0 gives 1).
Cell* push_only_star(int32_t n);
// A new empty block with room for n cells, appended to the parent block;
// answers the new block's cell (raw).
Cell* at_tail(const Cell* parent, int32_t n);
// The same, appended to the runtime's root block.
Cell* make_at_root(int32_t n);

// Writes the values of the block from its head with the new-line markers and
// indentation rules of mold (the brackets are the caller's); answers the
// limit left.
int32_t mold_values(Cell* block, Cell* buffer, MoldFlags flags, Cell* part,
                    int32_t limit, int32_t indent);
// Compares two blocks cell by cell (the types already agree): -1, 0 or 1,
// or the first deciding answer of a cell's compare handler.
int32_t compare_worker(Cell* block1, Cell* block2, int32_t op);

// The mold depth counter: raised around the molding of each value of a block.
extern int32_t mold_depth;

// ---------------------------------------------------------------------------
// Handlers.
Cell* make(Cell* type, Cell* spec);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent);
int32_t compare(Cell* value1, Cell* value2, int32_t op);
// append (append = true) and insert: answers the series at its head for
// append, just after the inserted cells for insert.
Cell* insert(Cell* series, Cell* value, int32_t part, bool only, int32_t dup, bool append);
// The common append of the action, taken before any dispatch: one value of
// no block kind onto a block! with no owner and room at its tail. The value
// is stored, the head index goes to 0 (as insert answers it) and the answer
// is true; otherwise nothing changes and the answer is false.
bool append_quick(Cell* block, const Cell* value);
// pick on a block! by an index number, as the series handler answers it:
// the cell at head + index - 1 (head + index for an index below 0), none!
// for 0 or a position outside the block.
// In line: the pick action's entry takes it for every block! pick.
inline Cell pick_at(const Cell* block, int32_t index) {
  SeriesBuffer* b = node_buffer(node_of(block));
  const int64_t total = b->length();
  int64_t head = static_cast<int32_t>(block->data1);
  if (head < 0) head = 0;
  if (head > total) head = total;
  const int64_t pos = head + (index > 0 ? index - 1 : index);
  if (index == 0 || pos < 0 || pos >= total) return Cell{TYPE_NONE, 0, 0, 0};
  return b->head_cell()[pos];
}

Cell* to(Cell* type, Cell* spec);
// Path access: an integer! element picks (get) or pokes (set, value given);
// a word! element on a block that is not a hash! selects by the word's
// symbol; any other element is selected (get) or found (set) with /only. A
// get writes the answer into the parent cell and answers it; a set answers
// the value.
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* grand_parent,
                Cell* prev_element, int32_t index, PathFlags flags);
Cell* change(Cell* series, Cell* value, int32_t part, bool only, int32_t dup);
Cell* copy(Cell* value, Cell* destination, Cell* part, bool deep, Cell* types);
Cell* find(Cell* series, Cell* value, const FindOptions& options);
Cell* put(Cell* series, Cell* key, Cell* value, bool case_sensitive);
Cell* select(Cell* series, Cell* value, const FindOptions& options);
Cell* sort(Cell* series, const SortOptions& options);
Cell* swap(Cell* series1, Cell* series2);
Cell* take(Cell* series, Cell* part, bool deep, bool last);
Cell* trim(Cell* series, const TrimOptions& options);

// The cell after the first word-kind cell (word!, set-word!, lit-word!,
// get-word!) from the head whose symbol is the word's: compared through the
// canonical (case-folded) symbol unless strict. none! when nothing matches
// or nothing follows.
Cell select_word(const Cell* block, const Cell* word, bool strict);

// Replaces, in the block's cells [from, to) taken every step cells, each
// series-kind, bitset!, object!, error! or map! value whose type is the
// datatype or lies in the typeset by its copy (deep when deep).
void find_by_type(Cell* block, int32_t from, int32_t to, int32_t step, bool deep, const Cell* types);

// Set operation codes (shared with the set natives).
enum SetOp : int32_t {
  SET_UNIQUE = 8,
  SET_UNION = 9,
  SET_INTERSECT = 10,
  SET_EXCLUDE = 11,
  SET_DIFFERENCE = 12,
};
// unique, union, intersect, exclude and difference on two any-blocks (set2
// is ignored for unique), records of skip cells (nullptr: 1). The result, a
// new series at head 0, is written into set1 and answered: a hash! when
// either series is one, else a series of set1's type.
Cell* set_operation(Cell* set1, Cell* set2, bool case_sensitive, Cell* skip, int32_t op);

// Registers block!.
void init();

}  // namespace kiv::block

namespace kiv::paren {

int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent);
// Registers paren! (parent block!).
void init();

}  // namespace kiv::paren

// path! (25, parent block!), and lit-path! (26), set-path! (27) and get-path!
// (28), children of path!: the block cell unchanged, only the type id
// differs. path! makes, converts, forms, molds and copies on its own; the
// three others only mold; everything else is block!'s.
namespace kiv::path {

Cell* make(Cell* type, Cell* spec);
Cell* to(Cell* type, Cell* spec);
// The values from the head joined by "/".
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent);
// Makes the cell an empty path! with room for n cells.
Cell* init_cell(Cell* cell, int32_t n);
// Pushes a copy of the series cell typed as path!.
Cell* push(const Cell* series);
// Registers path! (parent block!).
void init();

}  // namespace kiv::path

namespace kiv::lit_path {
int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent);
Cell* push(const Cell* series);
void init();
}  // namespace kiv::lit_path

namespace kiv::set_path {
int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent);
Cell* push(const Cell* series);
void init();
}  // namespace kiv::set_path

namespace kiv::get_path {
int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent);
Cell* push(const Cell* series);
void init();
}  // namespace kiv::get_path

namespace kiv::paren {
// Pushes a copy of the series cell typed as paren!.
Cell* push(const Cell* series);
}  // namespace kiv::paren
