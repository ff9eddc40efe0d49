#include "runtime/handles.h"

#include <string>
#include <string_view>
#include <vector>

#include "runtime/collector.h"
#include "runtime/memory.h"
#include "runtime/series.h"

namespace kiv {

namespace {

struct HandleKind {
  std::string name;
  HandleRelease release = nullptr;
};

struct HandleSlot {
  uint32_t kind_word;
  void* pointer;
  int32_t next;  // free list or used list; -1 ends it
};

struct PendingRelease {
  uint32_t kind_word;
  void* pointer;
};

std::vector<HandleKind> g_kinds;
std::vector<HandleSlot> g_slots;
int32_t g_free_head = -1;
int32_t g_used_head = -1;
uint32_t g_in_use = 0;
std::vector<PendingRelease> g_pending;

void chain_free(uint32_t from, uint32_t to) {
  for (uint32_t i = from; i < to; ++i) g_slots[i] = {kHandleFree, nullptr, i + 1 < to ? static_cast<int32_t>(i + 1) : -1};
}

void ensure_handles() {
  if (g_slots.empty()) init_handles();
}

bool in_use(int32_t index) {
  return index >= 0 && static_cast<uint32_t>(index) < g_slots.size() && g_slots[index].kind_word != kHandleFree;
}

void unlink_used(int32_t index) {
  int32_t* link = &g_used_head;
  while (*link != -1 && *link != index) link = &g_slots[*link].next;
  if (*link == index) *link = g_slots[index].next;
}

void push_free(int32_t index) {
  g_slots[index] = {kHandleFree, nullptr, g_free_head};
  g_free_head = index;
  --g_in_use;
}

}  // namespace

void init_handles() {
  g_kinds.clear();
  g_kinds.reserve(kMaxHandleKinds);
  g_slots.assign(kInitialHandleSlots, {});
  chain_free(0, kInitialHandleSlots);
  g_free_head = 0;
  g_used_head = -1;
  g_in_use = 0;
}

int register_handle_kind(const char* name, HandleRelease release) {
  ensure_handles();
  // Registering the same kind again (a module initialised twice) answers the
  // kind it has, so repeated initialisation cannot use up the registry.
  std::string_view wanted = name ? name : "";
  for (size_t i = 0; i < g_kinds.size(); ++i) {
    if (g_kinds[i].release == release && g_kinds[i].name == wanted) return static_cast<int>(i + 1);
  }
  if (g_kinds.size() >= static_cast<size_t>(kMaxHandleKinds)) return 0;
  g_kinds.push_back({name ? name : "", release});
  return static_cast<int>(g_kinds.size());
}

const char* handle_kind_name(int kind) {
  if (kind < 1 || static_cast<size_t>(kind) > g_kinds.size()) return nullptr;
  return g_kinds[static_cast<size_t>(kind) - 1].name.c_str();
}

int32_t alloc_handle(void* pointer, int kind) {
  ensure_handles();
  int32_t index = g_free_head;
  if (g_slots[index].next == -1) {
    // The last free slot: double the array first and chain the new half.
    auto old = static_cast<uint32_t>(g_slots.size());
    g_slots.resize(old * 2);
    chain_free(old, old * 2);
    g_slots[index].next = static_cast<int32_t>(old);
  }
  g_free_head = g_slots[index].next;
  g_slots[index] = {static_cast<uint32_t>(kind) & kHandleKindMask, pointer, g_used_head};
  g_used_head = index;
  ++g_in_use;
  return index;
}

void handle_release_pointer(uint32_t kind_word, void* pointer) {
  uint32_t kind = kind_word & kHandleKindMask;
  if (kind >= 1 && kind <= g_kinds.size() && g_kinds[kind - 1].release) g_kinds[kind - 1].release(pointer);
}

void handle_set_pointer(int32_t index, void* pointer) {
  if (!in_use(index)) return;
  void* old = g_slots[index].pointer;
  g_slots[index].pointer = pointer;
  if (old != pointer) handle_release_pointer(g_slots[index].kind_word, old);
}

void free_handle(int32_t index, bool release) {
  if (!in_use(index)) return;
  HandleSlot slot = g_slots[index];
  unlink_used(index);
  push_free(index);
  if (release) handle_release_pointer(slot.kind_word, slot.pointer);
}

bool handle_mark(int32_t index, void* pointer) {
  if (!in_use(index)) return false;
  HandleSlot& s = g_slots[index];
  bool fresh = !(s.kind_word & kHandleMark);
  s.kind_word |= kHandleMark;
  if (pointer) s.pointer = pointer;
  return fresh;
}

void handle_foreach_of_kind(int kind, void (*fn)(void*)) {
  for (int32_t i = g_used_head; i != -1;) {
    int32_t next = g_slots[i].next;  // the callback may free the slot
    if (static_cast<int>(g_slots[i].kind_word & kHandleKindMask) == kind) fn(g_slots[i].pointer);
    i = next;
  }
}

void handle_sweep() {
  int32_t* link = &g_used_head;
  while (*link != -1) {
    int32_t i = *link;
    HandleSlot& s = g_slots[i];
    if (s.kind_word & kHandleMark) {
      s.kind_word &= ~kHandleMark;
      link = &s.next;
    } else {
      *link = s.next;
      g_pending.push_back({s.kind_word, s.pointer});
      push_free(i);
    }
  }
}

void run_handle_releases() {
  // Taken out first: a callback may free or make handles, or even collect.
  std::vector<PendingRelease> pending;
  pending.swap(g_pending);
  for (const auto& p : pending) handle_release_pointer(p.kind_word, p.pointer);
}

void clear_handle_marks() {
  for (auto& s : g_slots)
    if (s.kind_word != kHandleFree) s.kind_word &= ~kHandleMark;
}

void* handle_pointer(int32_t index) { return in_use(index) ? g_slots[index].pointer : nullptr; }
int handle_kind(int32_t index) {
  return in_use(index) ? static_cast<int>(g_slots[index].kind_word & kHandleKindMask) : 0;
}
uint32_t handle_slot_count() { return static_cast<uint32_t>(g_slots.size()); }
uint32_t handles_in_use() { return g_in_use; }

// ---------------------------------------------------------------------------
// Cell slot table. A free cell has type id 0, which no value has, and holds
// the next free index (0-based) in word 2, -1 ending the list; every cell of
// the capacity is counted in the block, so marking covers them all (the
// collector passes over type 0).

namespace slot_table {

namespace {
uint32_t g_block = 0;
int32_t g_free = -1;

void chain(Cell* cells, uint32_t from, uint32_t to) {
  for (uint32_t i = from; i < to; ++i)
    cells[i] = Cell{TYPE_VALUE, 0, i + 1 < to ? i + 1 : 0xFFFFFFFFu, 0};
}

uint32_t capacity() { return g_block ? node_buffer(g_block)->length() : 0; }

// The cell at a 1-based index, free or not; nullptr outside the table.
Cell* cell_at(int32_t index) {
  if (index < 1 || static_cast<uint32_t>(index) > capacity()) return nullptr;
  return node_buffer(g_block)->head_cell() + (index - 1);
}
}  // namespace

void init() {
  g_block = alloc_cells(kInitialCells);
  SeriesBuffer* b = node_buffer(g_block);
  chain(b->head_cell(), 0, kInitialCells);
  b->tail = b->head + kInitialCells * sizeof(Cell);
  g_free = 0;
}

int32_t keep(const Cell* value) {
  // A copy, rooted: the value may sit in a buffer that the grow moves, and
  // what it refers to may have no other root yet.
  RootedCell saved(*value);
  if (!g_block) init();
  if (g_free == -1) {
    uint32_t old = capacity();
    SeriesBuffer* b = expand_series_copy(node_buffer(g_block), static_cast<int64_t>(old) * 2 * sizeof(Cell));
    uint32_t cap = static_cast<uint32_t>(b->size) / sizeof(Cell);
    chain(b->head_cell(), old, cap);
    b->tail = cap * sizeof(Cell);
    g_free = static_cast<int32_t>(old);
  }
  HeldPtr<Cell> cells = node_buffer(g_block)->head_cell();
  int32_t index = g_free;
  g_free = static_cast<int32_t>(cells[index].data2);
  cells[index] = *saved;
  return index + 1;
}

Cell* get(int32_t index) {
  Cell* c = cell_at(index);
  return c && TYPE_OF(c) != TYPE_VALUE ? c : nullptr;
}

void release(int32_t index) {
  // A free cell is already on the free list: chaining it again would make
  // the list hand it out twice.
  Cell* c = get(index);
  if (!c) return;
  *c = Cell{TYPE_VALUE, 0, static_cast<uint32_t>(g_free), 0};
  g_free = index - 1;
}

uint32_t block_node() { return g_block; }

}  // namespace slot_table

}  // namespace kiv
