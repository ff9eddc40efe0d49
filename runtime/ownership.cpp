#include "runtime/ownership.h"

#include <unordered_map>

#include "runtime/collector.h"
#include "runtime/series.h"
#include "runtime/support.h"
#include "runtime/type_traits.h"

namespace kiv::ownership {

namespace {

struct Record {
  Cell cells[3];  // owned value, owner object, field word
};

// Keyed by node id; node ids never change, so the keys survive every
// collection. std::unordered_map keeps element addresses across rehashing,
// which owner_of's answer relies on until the record is deleted.
std::unordered_map<uint32_t, Record> g_table;
DeepChangeHandler g_handler = nullptr;
ObjectWalker g_object_walker = nullptr;

enum class Shape { kNone, kBlockLike, kFlat, kImage, kObject };

Shape shape_of(const Cell* value) {
  const uint32_t t = TYPE_OF(value);
  if (any_block_type_q(t)) return Shape::kBlockLike;
  switch (type_layout(t)) {
    case Layout::kText:
    case Layout::kBytes:
    case Layout::kBits:
    case Layout::kVector:
      return Shape::kFlat;  // one buffer of units, no cells
    default:
      break;
  }
  if (t == TYPE_IMAGE) return Shape::kImage;
  if (t == TYPE_OBJECT) return Shape::kObject;
  return Shape::kNone;
}

bool owned_q(const Cell* value, Shape shape) {
  if (shape == Shape::kImage) return (value->header & kFlagOwned) != 0;
  return (node_buffer(value->data2)->flags & kSeriesOwned) != 0;
}

void set_owned(Cell* value, Shape shape, bool on) {
  if (shape == Shape::kImage) {
    if (on) value->header |= kFlagOwned;
    else value->header &= ~kFlagOwned;
    return;
  }
  SeriesBuffer* b = node_buffer(value->data2);
  if (on) b->flags |= kSeriesOwned;
  else b->flags &= ~kSeriesOwned;
}

void bind_series(Cell* value, const Cell* owner, const Cell* word);

// Binds every value of a block-like series, from the value's head to the
// series' tail. Nothing here allocates, so the series cannot move under the
// walk; the cell pointer is still fetched again each step for clarity.
void bind_block_values(const Cell* block, const Cell* owner, const Cell* word) {
  uint32_t node = block->data2;
  if (support::cycle_stack::find_q(node)) return;
  support::cycle_stack::Entry entry(node);
  for (uint32_t i = block->data1; i < series_length(node); i++) {
    bind_series(series_head_cell(node) + i, owner, word);
  }
}

void bind_series(Cell* value, const Cell* owner, const Cell* word) {
  Shape shape = shape_of(value);
  if (shape == Shape::kObject) {
    // An object's values are bound with the object's own field words.
    if (g_object_walker && value->data1) g_object_walker(value, owner, false);
    return;
  }
  if (shape == Shape::kNone || value->data2 == 0) return;
  if (!owned_q(value, shape)) {
    set_owned(value, shape, true);
    Record& r = g_table[value->data2];
    r.cells[0] = *value;
    r.cells[1] = *owner;
    r.cells[2] = *word;
  }
  if (shape == Shape::kBlockLike) bind_block_values(value, owner, word);
}

void unbind_series(Cell* value);

void unbind_block_values(const Cell* block) {
  uint32_t node = block->data2;
  if (support::cycle_stack::find_q(node)) return;
  support::cycle_stack::Entry entry(node);
  for (uint32_t i = block->data1; i < series_length(node); i++) unbind_series(series_head_cell(node) + i);
}

void unbind_series(Cell* value) {
  Shape shape = shape_of(value);
  if (shape == Shape::kObject) {
    if (g_object_walker && value->data1) g_object_walker(value, nullptr, true);
    return;
  }
  if (shape == Shape::kNone || value->data2 == 0) return;
  set_owned(value, shape, false);
  auto it = g_table.find(value->data2);
  if (it != g_table.end()) {
    for (Cell& c : it->second.cells) set_unset(&c);
    g_table.erase(it);
  }
  if (shape == Shape::kBlockLike) unbind_block_values(value);
}

// After marking: a record goes when its series or its owner's context died.
// A series that lives on loses its owned mark with the record.
void sweep() {
  for (auto it = g_table.begin(); it != g_table.end();) {
    uint32_t series = it->first;
    uint32_t owner_context = it->second.cells[1].data1;
    bool series_live = collector::marked_q(series);
    if (series_live && owner_context && collector::marked_q(owner_context)) {
      ++it;
      continue;
    }
    if (series_live) node_buffer(series)->flags &= ~kSeriesOwned;
    it = g_table.erase(it);
  }
}

struct DonePair {
  words::Id action, done;
};
constexpr DonePair kDoneWords[] = {
    {words::WORD_CHANGE, words::WORD_CHANGED},   {words::WORD_CLEAR, words::WORD_CLEARED},
    {words::WORD_APPEND, words::WORD_APPENDED},  {words::KEY_INSERT, words::WORD_INSERTED},
    {words::KEY_REMOVE, words::WORD_REMOVED},    {words::WORD_MOVE, words::WORD_MOVED},
    {words::WORD_POKE, words::WORD_POKED},       {words::WORD_PUT, words::WORD_PUT_ED},
    {words::WORD_RANDOM, words::WORD_RANDOMIZED}, {words::WORD_REVERSE, words::WORD_REVERSED},
    {words::WORD_SORT, words::WORD_SORTED},      {words::WORD_SWAP, words::WORD_SWAPED},
    {words::WORD_TAKE, words::WORD_TAKEN},       {words::WORD_TRIM, words::WORD_TRIMMED},
};

}  // namespace

void init() {
  g_table.clear();
  collector::set_ownership_sweep(sweep);
}

void bind(Cell* value, const Cell* owner, const Cell* word) {
  // Copies: the owner and word may be cells of a series that a record refers to.
  Cell o = *owner, w = *word;
  bind_series(value, &o, &w);
}

void bind_value(Cell* value, const Cell* owner, const Cell* word) {
  bind(value, owner, word);
  if (TYPE_OF(owner) == TYPE_OBJECT && owner->data1) series_head_cell(owner->data1)->header |= kFlagOwned;
}

void unbind(Cell* value) { unbind_series(value); }

void unbind_range(const Cell* block, uint32_t index, uint32_t count) {
  uint32_t node = block->data2;
  for (uint32_t i = index; i < series_length(node) && i - index < count; i++) {
    unbind_series(series_head_cell(node) + i);
  }
}

const Cell* owner_of(uint32_t node) {
  auto it = g_table.find(node);
  return it == g_table.end() ? nullptr : it->second.cells;
}

uint32_t record_count() { return static_cast<uint32_t>(g_table.size()); }

void set_deep_change_handler(DeepChangeHandler handler) { g_handler = handler; }
void set_object_walker(ObjectWalker walker) { g_object_walker = walker; }

bool check(const Cell* value, const Cell* action, int32_t index, int32_t part, const Cell* extra) {
  Shape shape = shape_of(value);
  if (shape == Shape::kNone) return false;
  uint32_t key = shape == Shape::kObject ? value->data1 : value->data2;
  if (key == 0) return false;
  // The flag answers for unowned series without a table lookup.
  if ((shape == Shape::kBlockLike || shape == Shape::kFlat) && !owned_q(value, shape)) return false;
  auto it = g_table.find(key);
  if (it == g_table.end() || it->second.cells[1].data3 == 0) return false;
  if (g_handler) {
    // The handler runs language code: the record may go and the collector
    // may run, so it gets rooted copies.
    RootedCell owner(it->second.cells[1]), word(it->second.cells[2]), target(*value), act(*action);
    RootedCell fresh(extra ? *extra : Cell{TYPE_UNSET, 0, 0, 0});
    g_handler(owner.get(), word.get(), target.get(), act.get(), fresh.get(), index, part);
  }
  return true;
}

bool check(const Cell* value, words::Id action, int32_t index, int32_t part, const Cell* extra) {
  return check(value, words::cell_of(action), index, part, extra);
}

words::Id done_word(words::Id action) {
  for (const auto& p : kDoneWords)
    if (p.action == action) return p.done;
  return action;
}

}  // namespace kiv::ownership
