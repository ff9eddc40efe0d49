// The memory manager. Frame metadata lives on the process heap; the virtual
// blocks hold only nodes and buffers. A series frame's buffers start 4 bytes
// into its block (after the size word), which puts every data area on an
// 8-byte boundary: each buffer takes 24 + a multiple of 16 bytes.
#include "runtime/memory.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "runtime/collector.h"
#include "runtime/language_error.h"
#include "runtime/platform_memory.h"

namespace kiv {

namespace detail {
uintptr_t* g_node_table = nullptr;
uint32_t g_node_slot_count[kMaxNodeFrames];
}  // namespace detail

namespace {

MemoryState g_mem;
std::vector<NodeFrame*> g_frames_by_index(1, nullptr);  // index 0 never used
uint32_t g_root_block = 0;

// Heap buffers: every one made, and those abandoned by a grow (freed at the
// next collection, since the grower may still read them until then).
// Heap series are never swept: the map keeps each block's own address and is
// never destroyed, so the blocks stay reachable until the process ends.
auto& g_heap_buffers = *new std::unordered_map<SeriesBuffer*, void*>;
std::vector<SeriesBuffer*> g_abandoned_heap_buffers;

// Blocks kept inaccessible by the torture mode until the next collection.
struct Quarantined {
  void* base;
  uint32_t size;
};
std::vector<Quarantined> g_quarantine;       // from the collection before the last
std::vector<Quarantined> g_quarantine_next;  // from the last collection

// The root block's first size: what start-up puts there (the stack blocks,
// the words made in boot mode, the boot payload's values) fits without a
// grow. It may still grow: it is reached by its node, never by an address.
constexpr uint32_t kRootBlockCells = 9696;
constexpr uint32_t kHeapBufferLead = 4;  // puts a heap buffer's data on 8 bytes

uint64_t round_up(uint64_t n, uint64_t to) { return (n + to - 1) / to * to; }

void write_header(SeriesBuffer* b, uint32_t data_size, uint32_t flags, int32_t offset) {
  b->flags = flags;
  b->node = 0;
  b->size = static_cast<int32_t>(data_size);
  uint32_t at = 0;
  if (offset == -1) {
    at = data_size / 2;
    b->flags |= kSeriesOffsetMiddle;
  } else if (offset > 0) {
    at = std::min<uint32_t>(static_cast<uint32_t>(offset), data_size);
  }
  b->head = at;
  b->tail = at;
  *b->guard() = kBufferGuard;
}

uint64_t data_size_for(uint32_t count, uint32_t unit) {
  uint64_t data = round_up(static_cast<uint64_t>(count) * unit, 16);
  if (data > kMaxSeriesBytes) throw_no_memory();
  return data;
}

void insert_series_frame(SeriesFrame* f) {
  SeriesFrame* after = nullptr;  // the last frame below f
  for (SeriesFrame* s = g_mem.series_first; s && s->start < f->start; s = s->next) after = s;
  f->prev = after;
  f->next = after ? after->next : g_mem.series_first;
  if (f->next) f->next->prev = f;
  else g_mem.series_last = f;
  if (after) after->next = f;
  else g_mem.series_first = f;
}

}  // namespace

MemoryState& memory_state() { return g_mem; }

void throw_no_memory() { throw LanguageError(ErrorCategory::kInternal, "no-memory"); }

// ---------------------------------------------------------------------------
// Virtual memory

void* allocate_virtual(uint32_t size, bool executable) {
  uint64_t rounded = round_up(static_cast<uint64_t>(size) + 4, kVirtualPageSize);
  if (rounded > 0xFFFFF000u) throw_no_memory();
  void* base = platform::alloc_virtual(rounded, executable);
  if (!base) throw_no_memory();
  *static_cast<uint32_t*>(base) = static_cast<uint32_t>(rounded);
  g_mem.total += rounded;
  return static_cast<uint8_t*>(base) + 4;
}

void free_virtual(void* address) {
  void* base = static_cast<uint8_t*>(address) - 4;
  uint32_t size = *static_cast<uint32_t*>(base);
  if (!platform::free_virtual(base, size)) throw_no_memory();
  g_mem.total -= size;
}

// Torture mode: the block becomes inaccessible now and is released at the next
// collection, so an address kept across a collection faults at once.
void quarantine_virtual(void* address) {
  void* base = static_cast<uint8_t*>(address) - 4;
  uint32_t size = *static_cast<uint32_t*>(base);
  platform::protect_virtual(base, size);
  g_quarantine_next.push_back({base, size});
}

// Releases the blocks quarantined by the collection before the last one. The
// newest stay mapped (and inaccessible) for one more collection, so the blocks
// that collection makes cannot take their addresses.
void release_quarantine() {
  for (const auto& q : g_quarantine) {
    if (platform::free_virtual(q.base, q.size)) g_mem.total -= q.size;
  }
  g_quarantine.swap(g_quarantine_next);
  g_quarantine_next.clear();
}

// ---------------------------------------------------------------------------
// Nodes

namespace {
// Frame indexes the node table's reserved range has room for.
uint32_t g_node_table_frames = 0;
}  // namespace

NodeFrame* alloc_node_frame(uint32_t count) {
  if (count == 0 || count >= kNoFreeSlot) count = kNodesPerFrame;
  uint32_t index = 1;
  while (index < g_frames_by_index.size() && g_frames_by_index[index]) ++index;
  // The table's range is reserved once; each frame's slots are committed
  // where its index puts them. Room for every frame index takes 32 GiB of
  // address space: under a limit on it, the largest range granted serves
  // (a half at each refusal, down to 16 frames).
  if (!detail::g_node_table) {
    for (uint32_t frames = kMaxNodeFrames; frames >= 16 && !detail::g_node_table; frames /= 2) {
      detail::g_node_table = static_cast<uintptr_t*>(platform::reserve_virtual(size_t{frames} << kNodeSlotBits << 3));
      if (detail::g_node_table) g_node_table_frames = frames;
    }
    if (!detail::g_node_table) throw_no_memory();
  }
  if (index >= g_node_table_frames) throw_no_memory();
  uintptr_t* slots = detail::g_node_table + (static_cast<size_t>(index) << kNodeSlotBits);
  const uint32_t bytes = static_cast<uint32_t>(round_up(uint64_t{count} * sizeof(uintptr_t), kVirtualPageSize));
  if (!platform::commit_virtual(slots, bytes)) throw_no_memory();
  g_mem.total += bytes;
  auto* f = new NodeFrame;
  f->committed = bytes;
  f->slots = slots;
  f->index = index;
  f->capacity = count;
  f->free_head = 0;
  for (uint32_t i = 0; i < count; ++i) f->slots[i] = ((i + 1 < count ? i + 1 : kNoFreeSlot) << 1) | 1;
  f->born = collector::series_cycles();
  if (index == g_frames_by_index.size()) g_frames_by_index.push_back(f);
  else g_frames_by_index[index] = f;
  detail::g_node_slot_count[index] = count;
  f->prev = g_mem.node_last;
  if (g_mem.node_last) g_mem.node_last->next = f;
  else g_mem.node_first = f;
  g_mem.node_last = f;
  if (!g_mem.node_current) g_mem.node_current = f;
  return f;
}

uint32_t alloc_node() {
  NodeFrame* f = g_mem.node_current;
  if (!f || f->free_head == kNoFreeSlot || f->evacuated) {
    f = nullptr;
    for (NodeFrame* n = g_mem.node_first; n; n = n->next) {
      if (n->free_head != kNoFreeSlot && !n->evacuated) {
        f = n;
        break;
      }
    }
    if (!f) f = alloc_node_frame(kNodesPerFrame);
    g_mem.node_current = f;
  }
  uint32_t slot = f->free_head;
  f->free_head = static_cast<uint32_t>(f->slots[slot] >> 1);
  f->slots[slot] = 0;
  ++f->used;
  return (f->index << kNodeSlotBits) | slot;
}

NodeFrame* node_frame_of(uint32_t node) {
  uint32_t index = node >> kNodeSlotBits;
  return index < g_frames_by_index.size() ? g_frames_by_index[index] : nullptr;
}

void free_node(NodeFrame* f, uint32_t node) {
  uint32_t slot = node & kNodeSlotMask;
  f->slots[slot] = (static_cast<uintptr_t>(f->free_head) << 1) | 1;
  f->free_head = slot;
  --f->used;
}

void free_node(uint32_t node) {
  NodeFrame* f = node ? node_frame_of(node) : nullptr;
  if (!f || (node & kNodeSlotMask) >= f->capacity || (f->slots[node & kNodeSlotMask] & 1)) return;
  free_node(f, node);
}

static void release_node_frame(NodeFrame* f) {
  if (f->prev) f->prev->next = f->next;
  else g_mem.node_first = f->next;
  if (f->next) f->next->prev = f->prev;
  else g_mem.node_last = f->prev;
  if (g_mem.node_current == f) g_mem.node_current = nullptr;
  detail::g_node_slot_count[f->index] = 0;
  g_frames_by_index[f->index] = nullptr;
  if (platform::decommit_virtual(f->slots, f->committed)) g_mem.total -= f->committed;
  delete f;
}

void release_empty_node_frames() {
  for (NodeFrame* f = g_mem.node_first; f;) {
    NodeFrame* next = f->next;
    if (f->used == 0 || f->evacuated) {
      try {
        release_node_frame(f);
      } catch (const LanguageError&) {
        // The system refused to take the block back: keep the frame.
      }
    }
    f = next;
  }
  g_mem.node_current = nullptr;
  for (NodeFrame* f = g_mem.node_first; f; f = f->next) {
    if (!g_mem.node_current && f->free_head != kNoFreeSlot) g_mem.node_current = f;
    f->history = f->history * 2 + (f->used == f->used_at_last_collection ? 1 : 0);
    f->used_at_last_collection = f->used;
  }
  if (!g_mem.node_current) g_mem.node_current = g_mem.node_first;
}

// ---------------------------------------------------------------------------
// Series frames

SeriesFrame* alloc_series_frame() {
  uint32_t size = g_mem.next_frame_size;
  void* block = allocate_virtual(size, false);
  auto* f = new SeriesFrame;
  f->block = block;
  f->total = size;
  f->start = static_cast<uint8_t*>(block);
  f->heap = f->start;
  f->end = f->start + size;
  insert_series_frame(f);
  if (g_mem.next_frame_size < g_mem.big_threshold)
    g_mem.next_frame_size = std::min(g_mem.next_frame_size * 2, g_mem.big_threshold);
  return f;
}

void unlink_series_frame(SeriesFrame* f) {
  free_virtual(f->block);  // first: on refusal the lists stay as they were
  if (f->prev) f->prev->next = f->next;
  else g_mem.series_first = f->next;
  if (f->next) f->next->prev = f->prev;
  else g_mem.series_last = f->prev;
  if (g_mem.series_current == f) g_mem.series_current = g_mem.series_last;
  delete f;
}

SeriesFrame* find_series_frame_with_room(uint32_t bytes) {
  for (SeriesFrame* f = g_mem.series_first; f; f = f->next)
    if (f->heap + bytes < f->end) return f;
  return nullptr;
}

SeriesBuffer* alloc_series_buffer(uint32_t count, uint32_t unit, int32_t offset) {
  if (!g_mem.initialised) init_memory();
  uint64_t data = data_size_for(count, unit);
  uint64_t needed = data + kBufferOverhead;
  collector::allocation_tick();
  SeriesBuffer* b;
  uint32_t flags = (unit & kSeriesUnitMask) | kSeriesInUse | kSeriesAllocated;
  if (needed < g_mem.big_threshold) {
    auto n = static_cast<uint32_t>(needed);
    SeriesFrame* f = g_mem.series_current;
    if (!f || !(f->heap + n < f->end)) {
      f = find_series_frame_with_room(n);
      // A frame with only a little room left is passed over below. It must
      // not put off the collection for good, or a leftover of a few bytes in
      // one frame makes every later frame a new one and garbage piles up:
      // once enough has been allocated since the last collection, it counts
      // as no room.
      if (!f || (f->room() < kFrameLowRoom && g_mem.allocated_since_collection >=
                                                  kCollectAfterLiveTimes * g_mem.live_after_collection)) {
        collector::collect_if_needed();
        f = find_series_frame_with_room(n);
      }
      if (!f || f->room() < kFrameLowRoom) {
        if (n >= g_mem.next_frame_size) g_mem.next_frame_size = g_mem.big_threshold;
        f = alloc_series_frame();
      }
    }
    g_mem.series_current = f;
    b = reinterpret_cast<SeriesBuffer*>(f->heap);
    f->heap += n;
    g_mem.allocated_since_collection += n;
  } else {
    // Collecting before every big series marked the whole heap at each grow
    // of a large series. The buffers that grows left behind are known dead
    // and go at once; the rest of the garbage waits for a collection, run
    // once the bytes held have grown by a share of the bytes live.
    if (collector::may_collect_q()) release_abandoned_big_series();
    const uint64_t live = g_mem.live_after_collection + g_mem.big_live_after_collection;
    const uint64_t held = g_mem.live_after_collection + g_mem.allocated_since_collection + g_mem.big_bytes;
    if (held > live && (held - live) * 100 >= kBigCollectGrowthPercent * live) collector::collect_if_needed();
    b = alloc_big_series(static_cast<uint32_t>(needed));
    flags |= kSeriesBig;
  }
  write_header(b, static_cast<uint32_t>(data), flags, offset);
  return b;
}

// ---------------------------------------------------------------------------
// Big series

SeriesBuffer* alloc_big_series(uint32_t bytes) {
  // size word, 4 bytes of padding, the header, then the buffer.
  uint8_t* p = static_cast<uint8_t*>(allocate_virtual(4 + BigSeries::kBigHeaderSize + bytes, false));
  auto* big = reinterpret_cast<BigSeries*>(p + 4);
  big->size = bytes;
  big->next = nullptr;
  big->prev = g_mem.big_last;
  if (g_mem.big_last) g_mem.big_last->next = big;
  else g_mem.big_first = big;
  g_mem.big_last = big;
  g_mem.big_bytes += bytes;
  return big->buffer();
}

static BigSeries* big_of(SeriesBuffer* b) {
  return reinterpret_cast<BigSeries*>(reinterpret_cast<uint8_t*>(b) - BigSeries::kBigHeaderSize);
}

void free_big_series(SeriesBuffer* buffer) {
  BigSeries* big = big_of(buffer);
  BigSeries* prev = big->prev;
  BigSeries* next = big->next;
  const uint32_t bytes = big->size;
  free_virtual(reinterpret_cast<uint8_t*>(big) - 4);  // first: on refusal the list stays
  if (prev) prev->next = next;
  else g_mem.big_first = next;
  if (next) next->prev = prev;
  else g_mem.big_last = prev;
  g_mem.big_bytes -= bytes;
}

void sweep_big_series() {
  for (BigSeries* big = g_mem.big_first; big;) {
    BigSeries* next = big->next;
    SeriesBuffer* b = big->buffer();
    if (b->flags & kSeriesMarked) {
      b->flags &= ~kSeriesMarked;
    } else {
      if ((b->flags & kSeriesInUse) && b->node) collector::queue_free_node(b->node);
      try {
        free_big_series(b);
      } catch (const LanguageError&) {
        b->flags &= ~kSeriesInUse;  // refused: keep it abandoned, try again next time
        b->node = 0;
      }
    }
    big = next;
  }
}

void release_abandoned_big_series() {
  for (BigSeries* big = g_mem.big_first; big;) {
    BigSeries* next = big->next;
    SeriesBuffer* b = big->buffer();
    if (!(b->flags & kSeriesInUse)) {
      try {
        free_big_series(b);
      } catch (const LanguageError&) {
        // Refused: the next collection tries again.
      }
    }
    big = next;
  }
}

void note_collection() {
  uint64_t live = 0;
  for (SeriesFrame* f = g_mem.series_first; f; f = f->next) live += static_cast<uint64_t>(f->heap - f->start);
  g_mem.live_after_collection = live;
  g_mem.big_live_after_collection = g_mem.big_bytes;
  g_mem.allocated_since_collection = 0;
}

// Torture mode: copies a big series to a new block and quarantines the old one.
bool move_big_series(BigSeries* big) {
  SeriesBuffer* old = big->buffer();
  uint32_t bytes = big->size;
  uint8_t* p;
  try {
    p = static_cast<uint8_t*>(allocate_virtual(4 + BigSeries::kBigHeaderSize + bytes, false));
  } catch (const LanguageError&) {
    return false;
  }
  auto* nb = reinterpret_cast<BigSeries*>(p + 4);
  std::memcpy(nb, big, BigSeries::kBigHeaderSize + kBufferHeaderSize + old->size + 4);
  if (nb->prev) nb->prev->next = nb;
  else g_mem.big_first = nb;
  if (nb->next) nb->next->prev = nb;
  else g_mem.big_last = nb;
  SeriesBuffer* b = nb->buffer();
  if ((b->flags & kSeriesInUse) && b->node) set_node_buffer(b->node, b);
  quarantine_virtual(reinterpret_cast<uint8_t*>(big) - 4);
  return true;
}

// Torture mode: copies a frame's buffers to a new block, keeping the frame
// record, and quarantines the old block. The list is re-sorted by the caller.
bool move_series_frame(SeriesFrame* f) {
  uint8_t* nblock;
  try {
    nblock = static_cast<uint8_t*>(allocate_virtual(f->total, false));
  } catch (const LanguageError&) {
    return false;
  }
  size_t used = f->heap - f->start;
  std::memcpy(nblock, f->start, used);
  void* old = f->block;
  f->block = nblock;
  f->start = nblock;
  f->heap = nblock + used;
  f->end = nblock + f->total;
  for (uint8_t* p = f->start; p < f->heap;) {
    auto* b = reinterpret_cast<SeriesBuffer*>(p);
    if ((b->flags & kSeriesInUse) && b->node) set_node_buffer(b->node, b);
    p += kBufferOverhead + b->size;
  }
  quarantine_virtual(old);
  return true;
}

void sort_series_frames() {
  std::vector<SeriesFrame*> v;
  for (SeriesFrame* f = g_mem.series_first; f; f = f->next) v.push_back(f);
  std::sort(v.begin(), v.end(), [](SeriesFrame* a, SeriesFrame* b) { return a->start < b->start; });
  g_mem.series_first = v.empty() ? nullptr : v.front();
  g_mem.series_last = v.empty() ? nullptr : v.back();
  for (size_t i = 0; i < v.size(); ++i) {
    v[i]->prev = i ? v[i - 1] : nullptr;
    v[i]->next = i + 1 < v.size() ? v[i + 1] : nullptr;
  }
}

// ---------------------------------------------------------------------------
// Heap buffers

SeriesBuffer* alloc_heap_buffer(uint32_t count, uint32_t unit, int32_t offset) {
  if (!g_mem.initialised) init_memory();
  uint64_t data = data_size_for(count, unit);
  void* raw = std::malloc(kHeapBufferLead + kBufferOverhead + data);
  if (!raw) throw_no_memory();
  auto* b = reinterpret_cast<SeriesBuffer*>(static_cast<uint8_t*>(raw) + kHeapBufferLead);
  write_header(b, static_cast<uint32_t>(data),
               (unit & kSeriesUnitMask) | kSeriesInUse | kSeriesAllocated | kSeriesHeap, offset);
  g_heap_buffers.emplace(b, raw);
  return b;
}

void abandon_heap_buffer(SeriesBuffer* b) { g_abandoned_heap_buffers.push_back(b); }

static void free_heap_buffer(SeriesBuffer* b) {
  g_heap_buffers.erase(b);
  std::free(reinterpret_cast<uint8_t*>(b) - kHeapBufferLead);
}

void free_abandoned_heap_buffers() {
  for (SeriesBuffer* b : g_abandoned_heap_buffers) free_heap_buffer(b);
  g_abandoned_heap_buffers.clear();
}

const std::unordered_map<SeriesBuffer*, void*>& heap_buffers() { return g_heap_buffers; }

// ---------------------------------------------------------------------------
// Start and end

void init_memory() {
  if (g_mem.initialised) return;
  g_mem = MemoryState{};
  g_mem.initialised = true;
  collector::init();
  alloc_node_frame(kNodesPerFrame);
  g_mem.series_current = alloc_series_frame();
  g_root_block = alloc_heap_series(kRootBlockCells, sizeof(Cell), 0);
}

uint32_t root_block() {
  if (!g_mem.initialised) init_memory();
  return g_root_block;
}

void free_all_frames() {
  release_quarantine();
  release_quarantine();
  free_abandoned_heap_buffers();
  while (g_mem.node_first) release_node_frame(g_mem.node_first);
  while (g_mem.series_first) unlink_series_frame(g_mem.series_first);
  while (g_mem.big_first) free_big_series(g_mem.big_first->buffer());
  std::vector<SeriesBuffer*> heap;
  for (const auto& [b, raw] : g_heap_buffers) heap.push_back(b);
  for (SeriesBuffer* b : heap) free_heap_buffer(b);
  g_mem = MemoryState{};
  g_root_block = 0;
}

MemoryStats memory_stats() {
  if (!g_mem.initialised) init_memory();
  MemoryStats s;
  for (NodeFrame* f = g_mem.node_first; f; f = f->next)
    s.node_frames.push_back({f->capacity - f->used, f->used, f->capacity});
  for (SeriesFrame* f = g_mem.series_first; f; f = f->next) {
    uint64_t used = f->heap - f->start, total = f->end - f->start;
    s.series_frames.push_back({total - used, used, total});
    s.series_used += used;
  }
  for (BigSeries* b = g_mem.big_first; b; b = b->next) {
    s.big_series.push_back(b->size);
    s.series_used += b->size;
  }
  s.os_total = g_mem.total;
  return s;
}

}  // namespace kiv
