// The collector. See collector.h for what moves and when.
//
// A collection, in order: mark the roots (draining the mark stack after each),
// sweep the handle registry, let the ownership table drop dead records, compact
// the series frames (dead buffers' nodes are queued), sweep the big series,
// restart the memory manager's counts of bytes allocated since, return the
// queued nodes, release empty node frames, clear the marks of heap
// buffers, count the cycle. Handle releases run after the collection ends.
//
// This build has no compiled code, hence no native stack to scan: C++ code
// roots its values explicitly (RootedCell, RootedNode, the argument stack).
// Nodes never move either: C++ code holds node ids across allocations, and
// nothing could rewrite them.
#include "runtime/collector.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_set>

#include "runtime/checks.h"
#include "runtime/handles.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"
#include "runtime/type_traits.h"

namespace kiv {

void mark_rooted_guards();

namespace {

int torture_from_environment() {
  const char* t = std::getenv("KIV_GC_TORTURE");
  int n = t ? std::atoi(t) : 0;
  return n > 0 ? n : 0;
}

struct CollectorState {
  bool enabled = false;
  std::atomic<int> active{0};
  int no_collect = 0;
  bool marking = false;
  bool verifying = false;
  uint32_t series_cycles = 0;
  uint32_t nodes_cycles = 0;
  collector::MarkCallback callbacks[collector::kMaxMarkCallbacks] = {};
  collector::MarkCallback hooks[static_cast<int>(collector::RootHook::kCount)] = {};
  collector::MarkCallback ownership_sweep = nullptr;
  collector::CellMarker image_marker = nullptr;
  int torture = torture_from_environment();
  int torture_count = 0;
};

CollectorState g_gc;

constexpr size_t kFreedNodeBatch = 20000;
constexpr int kMaxReportedProblems = 20;
// A frame before the one being compacted takes live buffers only when it has
// more room than this: nearly full frames are left alone.
constexpr uint32_t kCrossFrameRoom = 52429;

std::vector<uint32_t> g_mark_stack;         // nodes whose cells remain to be scanned
std::vector<SeriesBuffer*> g_marked_heap;   // heap buffers marked this cycle
std::vector<uint32_t> g_freed_nodes;        // batch of nodes to return
collector::HeapReport* g_report = nullptr;  // set while the verifier marks

RootedCell* g_rooted_cells = nullptr;
RootedNode* g_rooted_nodes = nullptr;

void problem(const std::string& text) {
  if (!g_report) return;
  g_report->ok = false;
  if (static_cast<int>(g_report->problems.size()) < kMaxReportedProblems) g_report->problems.push_back(text);
}

std::string hex(uint64_t v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
  return buf;
}

void drain() {
  while (!g_mark_stack.empty()) {
    uint32_t node = g_mark_stack.back();
    g_mark_stack.pop_back();
    SeriesBuffer* b = node_buffer(node);
    collector::mark_cells(b->head_cell(), b->tail_cell());
  }
}

void mark_root(collector::MarkCallback fn) {
  if (!fn) return;
  fn();
  drain();
}

// A field of a hash table's record (hashtable.h), read from a buffer the
// collector holds.
uint32_t record_field(SeriesBuffer* b, hashtable::Field field) {
  uint32_t v;
  std::memcpy(&v, b->head_ptr() + field * 4, 4);
  return v;
}

void mark_all_roots() {
  collector::mark_series_cells(root_block());
  drain();
  for (auto fn : g_gc.hooks) mark_root(fn);
  if (uint32_t slots = slot_table::block_node()) {
    collector::mark_series_cells(slots);
    drain();
  }
  mark_rooted_guards();
  drain();
  for (auto fn : g_gc.callbacks) mark_root(fn);
}

// Slides the live buffers of every series frame down, into the previous frame
// while that has room, queuing the nodes of dead buffers.
void relocate(uint8_t* from, uint8_t* to, size_t bytes) {
  std::memmove(to, from, bytes);
  for (uint8_t* p = to; p < to + bytes;) {
    auto* b = reinterpret_cast<SeriesBuffer*>(p);
    set_node_buffer(b->node, b);
    p += kBufferOverhead + b->size;
  }
}

void compact_series_frames() {
  MemoryState& m = memory_state();
  SeriesFrame* prev = nullptr;
  for (SeriesFrame* f = m.series_first; f;) {
    SeriesFrame* next = f->next;
    uint8_t* dst = f->start;
    uint8_t* p = f->start;
    while (p < f->heap) {
      auto* b = reinterpret_cast<SeriesBuffer*>(p);
      if (!(b->flags & kSeriesMarked)) {
        if ((b->flags & kSeriesInUse) && b->node) collector::queue_free_node(b->node);
        p += kBufferOverhead + b->size;
        continue;
      }
      uint8_t* run = p;
      while (p < f->heap && (reinterpret_cast<SeriesBuffer*>(p)->flags & kSeriesMarked)) {
        auto* r = reinterpret_cast<SeriesBuffer*>(p);
        r->flags &= ~kSeriesMarked;
        p += kBufferOverhead + r->size;
      }
      uint8_t* split = run;  // [run, split) goes to the previous frame
      if (prev && prev->room() >= kCrossFrameRoom) {
        while (split < p) {
          size_t len = kBufferOverhead + reinterpret_cast<SeriesBuffer*>(split)->size;
          if (static_cast<size_t>(split - run) + len > prev->room()) break;
          split += len;
        }
        if (split > run) {
          relocate(run, prev->heap, split - run);
          prev->heap += split - run;
        }
      }
      if (p > split) {
        if (dst != split) relocate(split, dst, p - split);
        dst += p - split;
      }
    }
    f->heap = dst;
    if (f->heap == f->start && f != m.series_last) {
      try {
        unlink_series_frame(f);
        f = nullptr;
      } catch (const std::exception&) {
        // Refused by the system: the frame stays, empty.
      }
    }
    if (f) prev = f;
    f = next;
  }
}

// Sorts the queued nodes in ascending order. A batch holds up to
// kFreedNodeBatch ids, where a comparison sort costs a few hundred
// instructions per id: a least-significant-digit radix sort, kRadixBits a
// pass and only as many passes as the largest id needs, costs a tenth of it
// and gives the same order.
constexpr uint32_t kRadixBits = 11;
constexpr uint32_t kRadixMask = (1u << kRadixBits) - 1;
constexpr size_t kRadixSortMin = 256;  // below: std::sort is as quick
std::vector<uint32_t> g_radix_scratch;

void sort_freed_nodes() {
  std::vector<uint32_t>& v = g_freed_nodes;
  const size_t n = v.size();
  if (n < kRadixSortMin) {
    std::sort(v.begin(), v.end());
    return;
  }
  uint32_t bits = 0;
  for (uint32_t node : v) bits |= node;
  g_radix_scratch.resize(n);
  uint32_t* from = v.data();
  uint32_t* to = g_radix_scratch.data();
  for (uint32_t shift = 0; shift < 32 && (bits >> shift) != 0; shift += kRadixBits) {
    uint32_t start[kRadixMask + 1] = {};
    for (size_t i = 0; i < n; ++i) ++start[(from[i] >> shift) & kRadixMask];
    uint32_t sum = 0;
    for (uint32_t& s : start) {
      const uint32_t count = s;
      s = sum;
      sum += count;
    }
    for (size_t i = 0; i < n; ++i) to[start[(from[i] >> shift) & kRadixMask]++] = from[i];
    std::swap(from, to);
  }
  if (from != v.data()) std::copy(from, from + n, v.data());
}

void flush_freed_nodes() {
  sort_freed_nodes();
  for (uint32_t node : g_freed_nodes) free_node(node);
  g_freed_nodes.clear();
}

void clear_heap_marks() {
  for (SeriesBuffer* b : g_marked_heap) b->flags &= ~kSeriesMarked;
  g_marked_heap.clear();
}

// Torture mode: every frame and big series moves to a fresh block.
void move_everything() {
  MemoryState& m = memory_state();
  for (SeriesFrame* f = m.series_first; f; f = f->next) move_series_frame(f);
  sort_series_frames();
  for (BigSeries* big = m.big_first; big;) {
    BigSeries* next = big->next;
    move_big_series(big);
    big = next;
  }
}

void check_buffer(SeriesBuffer* b, const char* where, std::unordered_set<SeriesBuffer*>& live) {
  auto at = hex(reinterpret_cast<uintptr_t>(b));
  if (b->size < 0 || (b->size & 15)) problem(std::string(where) + " buffer " + at + ": size " + std::to_string(b->size));
  if (*b->guard() != kBufferGuard) problem(std::string(where) + " buffer " + at + ": guard word overwritten");
  if (b->flags & kSeriesMarked) problem(std::string(where) + " buffer " + at + ": mark left set");
  if (!(b->flags & kSeriesInUse)) {
    if (b->node) problem(std::string(where) + " abandoned buffer " + at + " still names node " + hex(b->node));
    return;
  }
  ++g_report->buffers;
  if (!(b->head <= b->tail && b->tail <= static_cast<uint32_t>(b->size)))
    problem(std::string(where) + " buffer " + at + ": head " + std::to_string(b->head) + " tail " +
            std::to_string(b->tail) + " size " + std::to_string(b->size));
  if (!node_valid_q(b->node) || node_buffer(b->node) != b)
    problem(std::string(where) + " buffer " + at + ": node " + hex(b->node) + " does not name it");
  live.insert(b);
}

void clear_all_marks() {
  MemoryState& m = memory_state();
  for (SeriesFrame* f = m.series_first; f; f = f->next)
    for (uint8_t* p = f->start; p < f->heap;) {
      auto* b = reinterpret_cast<SeriesBuffer*>(p);
      b->flags &= ~kSeriesMarked;
      p += kBufferOverhead + b->size;
    }
  for (BigSeries* big = m.big_first; big; big = big->next) big->buffer()->flags &= ~kSeriesMarked;
  clear_heap_marks();
  clear_handle_marks();
}

}  // namespace

// ---------------------------------------------------------------------------
// Rooted guards

void RootedCell::link() {
  prev_ = nullptr;
  next_ = g_rooted_cells;
  if (next_) next_->prev_ = this;
  g_rooted_cells = this;
}
RootedCell::RootedCell() : cell_{TYPE_UNSET, 0, 0, 0} { link(); }
RootedCell::RootedCell(const Cell& value) : cell_(value) { link(); }
RootedCell::RootedCell(const RootedCell& other) : cell_(other.cell_) { link(); }
RootedCell::~RootedCell() {
  if (prev_) prev_->next_ = next_;
  else g_rooted_cells = next_;
  if (next_) next_->prev_ = prev_;
}

void RootedNode::link() {
  prev_ = nullptr;
  next_ = g_rooted_nodes;
  if (next_) next_->prev_ = this;
  g_rooted_nodes = this;
}
RootedNode::RootedNode(uint32_t node) : node_(node) { link(); }
RootedNode::RootedNode(const RootedNode& other) : node_(other.node_) { link(); }
RootedNode& RootedNode::operator=(const RootedNode& other) {
  node_ = other.node_;
  return *this;
}
RootedNode::~RootedNode() {
  if (prev_) prev_->next_ = next_;
  else g_rooted_nodes = next_;
  if (next_) next_->prev_ = prev_;
}

void mark_rooted_guards() {
  for (RootedCell* r = g_rooted_cells; r; r = r->next_) collector::mark_cell(&r->cell_);
  for (RootedNode* r = g_rooted_nodes; r; r = r->next_)
    if (r->node_) collector::mark_series_cells(r->node_);
}

NoCollectScope::NoCollectScope() { ++g_gc.no_collect; }
NoCollectScope::~NoCollectScope() { --g_gc.no_collect; }

CollectorEnableScope::CollectorEnableScope(bool enabled) : saved_(g_gc.enabled) { g_gc.enabled = enabled; }
CollectorEnableScope::~CollectorEnableScope() { g_gc.enabled = saved_; }

namespace collector {

// ---------------------------------------------------------------------------
// Marking

namespace {
void walk_hashtable_record(uint32_t node, bool entries);
}

bool mark_node(uint32_t node) {
  if (!g_gc.marking || node == 0) return false;
  if (!node_valid_q(node)) {
    problem("a reachable value refers to node " + hex(node) + ", which is not in use");
    return false;
  }
  SeriesBuffer* b = node_buffer(node);
  if (b->flags & kSeriesMarked) return false;
  b->flags |= kSeriesMarked;
  if (b->flags & kSeriesHeap) g_marked_heap.push_back(b);
  // A table record reached as a plain node (a RootedNode, a copy in progress)
  // still keeps its buffers and entries alive.
  if (b->flags & kSeriesHashtable) walk_hashtable_record(node, true);
  return true;
}

bool mark_series_cells(uint32_t node) {
  if (!mark_node(node)) return false;
  if (node_buffer(node)->unit() == sizeof(Cell)) g_mark_stack.push_back(node);
  return true;
}

bool mark_context(uint32_t node) { return mark_series_cells(node); }

void mark_block(const Cell* block) { mark_series_cells(block->data2); }

namespace {
// Walks the fields of a table record that has just been marked.
void walk_hashtable_record(uint32_t node, bool entries) {
  SeriesBuffer* rec = node_buffer(node);
  if (rec->used_bytes() < hashtable::kFieldCount * 4) return;
  uint32_t kind = record_field(rec, hashtable::kKind);
  mark_node(record_field(rec, hashtable::kFlags));
  mark_node(record_field(rec, hashtable::kKeys));
  uint32_t data = record_field(rec, hashtable::kData);
  if (kind == hashtable::kKindHash) {
    mark_node(record_field(rec, hashtable::kAux));  // reverse index
    uint32_t lists = record_field(rec, hashtable::kLists);
    // The duplicate lists are walked even when the lists series was marked
    // already: a guard that held it while it grew marked it, not its lists.
    mark_node(lists);
    if (lists && node_valid_q(lists)) {
      // The duplicate lists: one node per list, 0 for a free list slot.
      SeriesBuffer* l = node_buffer(lists);
      for (uint32_t off = 0; off + 4 <= l->used_bytes(); off += 4) {
        uint32_t list;
        std::memcpy(&list, l->head_ptr() + off, 4);
        if (list) mark_node(list);
      }
    }
  }
  if (kind < hashtable::kKindRegistry) {
    if (entries) mark_series_cells(data);  // the indexed block, the map's block, the symbols
    else mark_node(data);
  } else if (mark_node(data) && entries) {
    // Registry entries: a header cell (type 2 while live) then the value cells.
    uint32_t entry = record_field(rec, hashtable::kAux);
    SeriesBuffer* d = node_buffer(data);
    if (entry < 2 * sizeof(Cell) || entry % sizeof(Cell)) return;
    for (uint32_t off = 0; off + entry <= d->used_bytes(); off += entry) {
      Cell* e = reinterpret_cast<Cell*>(d->head_ptr() + off);
      if (TYPE_OF(e) == TYPE_UNSET) mark_cells(e + 1, e + entry / sizeof(Cell));
    }
  }
}
}  // namespace

void mark_hashtable(uint32_t node) {
  // A tagged record is walked by mark_node itself.
  if (mark_node(node) && !(node_buffer(node)->flags & kSeriesHashtable)) walk_hashtable_record(node, true);
}

void mark_hashtable_storage(uint32_t node) {
  if (!g_gc.marking || node == 0 || !node_valid_q(node)) {
    mark_node(node);  // reports a dangling node
    return;
  }
  SeriesBuffer* b = node_buffer(node);
  if (b->flags & kSeriesMarked) return;
  b->flags |= kSeriesMarked;
  if (b->flags & kSeriesHeap) g_marked_heap.push_back(b);
  walk_hashtable_record(node, false);
}

void mark_cell(const Cell* c) {
  switch (string_group_type(TYPE_OF(c))) {
    case TYPE_BLOCK:
    case TYPE_PAREN:
    case TYPE_PATH:
    case TYPE_LIT_PATH:
    case TYPE_SET_PATH:
    case TYPE_GET_PATH:
      mark_series_cells(c->data2);
      break;
    case TYPE_STRING:  // every any-string! kind
      mark_node(c->data2);
      if (c->data3) mark_node(c->data3);  // conversion buffer
      break;
    case TYPE_SYMBOL:
      mark_node(c->data3);                // UTF-8 text
      if (c->data2) mark_node(c->data2);  // cached string
      break;
    case TYPE_CONTEXT:
      if (c->header & kFlagContextNoTable) mark_series_cells(c->data1);  // the words block itself
      else if (c->data1) mark_hashtable(c->data1);
      if (!(c->header & kFlagContextOnStack)) mark_series_cells(c->data2);
      break;
    case TYPE_WORD:
    case TYPE_SET_WORD:
    case TYPE_LIT_WORD:
    case TYPE_GET_WORD:
    case TYPE_REFINEMENT:
    case TYPE_ISSUE:  // an issue keeps the context of the word it was made from
      if (c->data1) mark_context(c->data1);
      break;
    case TYPE_NATIVE:
    case TYPE_ACTION:
      mark_series_cells(c->data2);
      mark_series_cells(c->data3);
      break;
    case TYPE_OP: {
      mark_series_cells(c->data2);
      mark_series_cells(c->data3);
      uint32_t wrapped = (c->header & kFlagOpTypeMask) >> kFlagOpTypeShift;
      if (wrapped == TYPE_FUNCTION || wrapped == TYPE_ROUTINE) mark_context(c->data1);
      break;
    }
    case TYPE_FUNCTION:
    case TYPE_ROUTINE:
      mark_context(c->data1);
      mark_series_cells(c->data2);
      mark_series_cells(c->data3);
      break;
    case TYPE_BITSET:
    case TYPE_VECTOR:
    case TYPE_BINARY:
      mark_node(c->data2);
      break;
    case TYPE_OBJECT:
    case TYPE_ERROR:
    case TYPE_PORT:
      mark_context(c->data1);
      if (c->data3) mark_series_cells(c->data3);
      break;
    case TYPE_HASH:
    case TYPE_MAP:
      mark_series_cells(c->data2);
      if (c->data3) mark_hashtable(c->data3);
      break;
    case TYPE_HANDLE:
      if (static_cast<int32_t>(c->data3) >= 0) handle_mark(static_cast<int32_t>(c->data3), nullptr);
      break;
    case TYPE_IMAGE:
      if (c->data2) {
        mark_node(c->data2);
        if (g_gc.image_marker) g_gc.image_marker(c);
      }
      break;
    case TYPE_EVENT:
      if (c->data2) mark_series_cells(c->data2);  // the fields block of either kind
      break;
    default:  // scalars and the rest hold no node
      break;
  }
}

void mark_cells(const Cell* begin, const Cell* end) {
  for (const Cell* c = begin; c < end; ++c) mark_cell(c);
}

void clear_mark(SeriesBuffer* buffer) { buffer->flags &= ~kSeriesMarked; }

bool marked_q(uint32_t node) { return node_valid_q(node) && (node_buffer(node)->flags & kSeriesMarked); }

// ---------------------------------------------------------------------------
// Collection

bool collect() {
  if (g_gc.active.load() || g_gc.no_collect > 0 || g_gc.verifying) return false;
  init_memory();
  g_gc.active.store(1);  // sequentially consistent: a full fence
  note_allocation(true);  // every buffer may move

  g_gc.marking = true;
  mark_all_roots();
  g_gc.marking = false;

  handle_sweep();
  if (g_gc.ownership_sweep) g_gc.ownership_sweep();
  compact_series_frames();
  sweep_big_series();
  note_collection();
  flush_freed_nodes();
  release_empty_node_frames();
  clear_heap_marks();
  free_abandoned_heap_buffers();
  if (g_gc.torture) move_everything();
  release_quarantine();

  ++g_gc.series_cycles;
  g_gc.active.store(0);

  run_handle_releases();
  if (g_gc.torture) {
    HeapReport r = verify_heap();
    if (!r.ok) {
      std::fprintf(stderr, "heap verification failed after collection %u:\n", g_gc.series_cycles);
      for (const auto& p : r.problems) std::fprintf(stderr, "  %s\n", p.c_str());
      std::abort();
    }
  }
  return true;
}

bool collect_if_needed() { return g_gc.enabled && collect(); }

void allocation_tick() {
  note_allocation(g_gc.enabled && g_gc.no_collect == 0);
  if (g_gc.torture && g_gc.enabled && ++g_gc.torture_count >= g_gc.torture) {
    g_gc.torture_count = 0;
    collect();
  }
}

void queue_free_node(uint32_t node) {
  g_freed_nodes.push_back(node);
  if (g_freed_nodes.size() >= kFreedNodeBatch) flush_freed_nodes();
}

bool active_q() { return g_gc.active.load() != 0; }
bool enabled_q() { return g_gc.enabled; }
bool may_collect_q() { return g_gc.enabled && !g_gc.active.load() && g_gc.no_collect == 0 && !g_gc.verifying; }
void set_enabled(bool enabled) { g_gc.enabled = enabled; }

bool register_mark_callback(MarkCallback fn) {
  if (!fn) return false;
  for (auto f : g_gc.callbacks)
    if (f == fn) return true;
  // Appended after the last used place, so the order of registration holds.
  int last = -1;
  for (int i = 0; i < kMaxMarkCallbacks; ++i)
    if (g_gc.callbacks[i]) last = i;
  if (last + 1 >= kMaxMarkCallbacks) return false;
  g_gc.callbacks[last + 1] = fn;
  return true;
}

void unregister_mark_callback(MarkCallback fn) {
  for (auto& f : g_gc.callbacks)
    if (f == fn) f = nullptr;
}

void set_root_hook(RootHook hook, MarkCallback fn) {
  auto i = static_cast<int>(hook);
  if (i >= 0 && i < static_cast<int>(RootHook::kCount)) g_gc.hooks[i] = fn;
}

MarkCallback root_hook(RootHook hook) {
  auto i = static_cast<int>(hook);
  return (i >= 0 && i < static_cast<int>(RootHook::kCount)) ? g_gc.hooks[i] : nullptr;
}

void set_ownership_sweep(MarkCallback fn) { g_gc.ownership_sweep = fn; }
void set_image_marker(CellMarker fn) { g_gc.image_marker = fn; }

void init() {
  g_freed_nodes.reserve(kFreedNodeBatch);
  g_mark_stack.reserve(1024);
}

void init_counters() {
  g_gc.series_cycles = 0;
  g_gc.nodes_cycles = 0;
}

uint32_t series_cycles() { return g_gc.series_cycles; }
uint32_t nodes_cycles() { return g_gc.nodes_cycles; }

int torture_interval() { return g_gc.torture; }
void set_torture_interval(int n) {
  g_gc.torture = n > 0 ? n : 0;
  g_gc.torture_count = 0;
}

// ---------------------------------------------------------------------------
// Heap verifier

HeapReport verify_heap() {
  HeapReport report;
  if (g_gc.active.load() || g_gc.verifying) {
    report.ok = false;
    report.problems.push_back("the heap cannot be verified during a collection");
    return report;
  }
  init_memory();
  g_gc.verifying = true;
  g_report = &report;
  MemoryState& m = memory_state();
  std::unordered_set<SeriesBuffer*> live;

  for (SeriesFrame* f = m.series_first; f; f = f->next) {
    if (f->next && f->next->start <= f->start) problem("series frames out of address order");
    uint8_t* p = f->start;
    while (p < f->heap) {
      auto* b = reinterpret_cast<SeriesBuffer*>(p);
      if (b->size < 0 || p + kBufferOverhead + static_cast<uint32_t>(b->size) > f->heap) {
        problem("frame " + hex(reinterpret_cast<uintptr_t>(f->start)) + ": buffer " +
                hex(reinterpret_cast<uintptr_t>(b)) + " runs past the heap pointer");
        break;
      }
      check_buffer(b, "frame", live);
      p += kBufferOverhead + b->size;
    }
  }
  for (BigSeries* big = m.big_first; big; big = big->next) {
    SeriesBuffer* b = big->buffer();
    if (!(b->flags & kSeriesBig)) problem("big series " + hex(reinterpret_cast<uintptr_t>(b)) + " lacks the big bit");
    check_buffer(b, "big", live);
  }
  for (const auto& [b, block] : heap_buffers()) check_buffer(b, "heap", live);

  for (NodeFrame* f = m.node_first; f; f = f->next) {
    uint32_t free_count = 0;
    for (uint32_t s = f->free_head; s != kNoFreeSlot && free_count <= f->capacity; ++free_count) {
      if (s >= f->capacity || !(f->slots[s] & 1)) {
        problem("node frame " + std::to_string(f->index) + ": free list broken at slot " + std::to_string(s));
        break;
      }
      s = static_cast<uint32_t>(f->slots[s] >> 1);
    }
    if (free_count + f->used != f->capacity)
      problem("node frame " + std::to_string(f->index) + ": " + std::to_string(f->used) + " used and " +
              std::to_string(free_count) + " free of " + std::to_string(f->capacity));
    for (uint32_t s = 0; s < f->capacity; ++s) {
      uintptr_t v = f->slots[s];
      if (v & 1) continue;
      uint32_t node = (f->index << kNodeSlotBits) | s;
      if (!live.count(reinterpret_cast<SeriesBuffer*>(v)))
        problem("node " + hex(node) + " is in use but names no live buffer (" + hex(v) + ")");
      else if (reinterpret_cast<SeriesBuffer*>(v)->node != node)
        problem("node " + hex(node) + " names a buffer that names node " + hex(reinterpret_cast<SeriesBuffer*>(v)->node));
    }
  }

  // Every node reachable from the roots must be in use (mark_node reports).
  if (report.ok) {
    g_gc.marking = true;
    mark_all_roots();
    g_gc.marking = false;
    clear_all_marks();
  }
  g_report = nullptr;
  g_gc.verifying = false;
  return report;
}

}  // namespace collector
}  // namespace kiv
