// The collector: stop-the-world mark and compact.
//
// What moves and when: a collection marks every series reachable from the
// roots, releases the handles and owner records of what died, slides the live
// buffers of each series frame down (into the previous frame when it has room),
// releases unmarked big series, and returns the nodes of dead buffers. Node ids
// never change, so values and C++ code holding node ids are unaffected; every
// SeriesBuffer* and every address inside a buffer is stale afterwards. Buffers
// made with alloc_heap_series never move.
//
// When: only while the collector is enabled (start-up enables it before the
// library's top-level code; nothing collects before), when an allocation finds
// no room in the frames, before a big-series allocation once the big-series
// bytes allocated since the last collection reach kCollectAfterLiveTimes
// times the bytes live after it (memory.h), every N allocations under
// KIV_GC_TORTURE=N, and on an explicit collect() (which runs even when
// disabled). Never inside a NoCollectScope or another collection.
//
// Roots, in order: the root block, the root hooks the subsystems install
// (symbol table, ownership table, argument stack, call frames, global context,
// take scratch, interpreter position, lexer), the cell slot table, the
// RootedCell and RootedNode guards alive in C++, then the mark callbacks.
//
// Marking uses an explicit stack of nodes whose cells remain to be scanned, so
// a deep or cyclic structure costs no native stack; a buffer already marked is
// not entered again.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "runtime/cell.h"
#include "runtime/series.h"

namespace kiv {

// A cell that the collector treats as a root while the object lives: the way
// C++ code keeps a value (and everything it refers to) alive across
// allocations. The object itself may live anywhere in C++ (locals, members,
// containers of stable address); its cell pointer stays valid.
class RootedCell {
 public:
  RootedCell();
  explicit RootedCell(const Cell& value);
  RootedCell(const RootedCell& other);
  // Assignments only change the held cell: the guard stays linked.
  RootedCell& operator=(const RootedCell& other) {
    cell_ = other.cell_;
    return *this;
  }
  RootedCell& operator=(const Cell& value) {
    cell_ = value;
    return *this;
  }
  ~RootedCell();

  Cell* get() { return &cell_; }
  const Cell* get() const { return &cell_; }
  Cell& operator*() { return cell_; }
  Cell* operator->() { return &cell_; }

 private:
  void link();
  Cell cell_;
  RootedCell* prev_;
  RootedCell* next_;
  friend void mark_rooted_guards();
};

// A node kept alive (with its cells, when it holds cells) while the object
// lives. Holds 0 for none; may be reassigned.
class RootedNode {
 public:
  explicit RootedNode(uint32_t node = 0);
  RootedNode(const RootedNode& other);
  RootedNode& operator=(const RootedNode& other);
  RootedNode& operator=(uint32_t node) {
    node_ = node;
    return *this;
  }
  ~RootedNode();

  uint32_t get() const { return node_; }
  operator uint32_t() const { return node_; }
  SeriesBuffer* buffer() const { return node_buffer(node_); }

 private:
  void link();
  uint32_t node_;
  RootedNode* prev_;
  RootedNode* next_;
  friend void mark_rooted_guards();
};

// No collection starts while one of these is open (allocations still work:
// they take new frames instead). Nests.
class NoCollectScope {
 public:
  NoCollectScope();
  ~NoCollectScope();
  NoCollectScope(const NoCollectScope&) = delete;
  NoCollectScope& operator=(const NoCollectScope&) = delete;
};

// Sets whether allocations may collect, restoring the previous setting on exit
// (the boot decoder disables it around its work; tests enable it).
class CollectorEnableScope {
 public:
  explicit CollectorEnableScope(bool enabled);
  ~CollectorEnableScope();
  CollectorEnableScope(const CollectorEnableScope&) = delete;
  CollectorEnableScope& operator=(const CollectorEnableScope&) = delete;

 private:
  bool saved_;
};

namespace collector {

// One full collection, whether enabled or not; false (and nothing done) inside
// a NoCollectScope or a running collection.
bool collect();
// Collects only when enabled; true when it collected.
bool collect_if_needed();
bool active_q();
bool enabled_q();
// Whether an allocation here may collect: enabled, and neither inside a
// NoCollectScope nor during a collection or a heap verification. Only then
// may an allocation release what a collection would release.
bool may_collect_q();
void set_enabled(bool enabled);

using MarkCallback = void (*)();
constexpr int kMaxMarkCallbacks = 100;
// Appends a root-marking function, called at every collection after the other
// roots, in registration order. False when all kMaxMarkCallbacks places are
// taken (nothing registered). Registering the same function twice is a no-op.
bool register_mark_callback(MarkCallback fn);
// Clears the place holding the function; later entries keep their places.
void unregister_mark_callback(MarkCallback fn);

// The fixed roots that later subsystems provide, marked in this order before
// the cell slot table and the mark callbacks. One function per hook; nullptr
// removes it.
enum class RootHook : int {
  kSymbolTable,
  kOwnership,
  kArgumentStack,
  kCallFrames,
  kGlobalContext,
  kTakeScratch,
  kInterpreterPosition,
  kLexer,
  kCount,
};
void set_root_hook(RootHook hook, MarkCallback fn);
// The function installed for a hook (nullptr for none).
MarkCallback root_hook(RootHook hook);

// Runs after marking and the handle sweep, before compaction: the ownership
// table drops the records whose series or owner were not marked (marked_q).
void set_ownership_sweep(MarkCallback fn);

// The image back-end's own marking of an image! cell (after its node).
using CellMarker = void (*)(const Cell*);
void set_image_marker(CellMarker fn);

// Marking, for root hooks and mark callbacks. Each may be called only while a
// collection marks (from a hook or callback); elsewhere they do nothing.
// Marks a node's buffer; true when it was not marked before.
bool mark_node(uint32_t node);
// Marks the node and, when newly marked and it holds cells, its cells head to tail.
bool mark_series_cells(uint32_t node);
// Marks what each cell of the range refers to, by type.
void mark_cells(const Cell* begin, const Cell* end);
void mark_cell(const Cell* cell);
// mark_series_cells on the node of a block value (word 2).
void mark_block(const Cell* block);
// A context node: its record and self cell, its word table and values.
bool mark_context(uint32_t node);
// A hash table: its record (a series of 32-bit fields: size, aux, lists,
// flags, keys, data, occupied, buckets, upper bound, kind, stamp) and its
// series; the cells of its data block (kinds 0-2) or of its live registry
// entries (kinds 3 and above).
void mark_hashtable(uint32_t node);
// The record and its series only, not what the entries hold: for a registry
// whose entries must not keep their values alive (the ownership table).
void mark_hashtable_storage(uint32_t node);
void clear_mark(SeriesBuffer* buffer);
// During a collection's sweeps: whether the node's buffer was marked.
bool marked_q(uint32_t node);

void init();
// For the memory manager: counts an allocation (the torture mode collects every
// N-th) and queues the node of a dead buffer for freeing.
void allocation_tick();
void queue_free_node(uint32_t node);
// series-cycles = 0, nodes-cycles = 0; the last step of start-up.
void init_counters();
uint32_t series_cycles();
// Collections that moved nodes: always 0 here (no node pass).
uint32_t nodes_cycles();

// Debug aids.
// Under KIV_GC_TORTURE=N (read at start-up) every N-th allocation collects
// (when enabled) and every live buffer moves; the heap is verified after each
// such collection and a failed verification aborts with its report.
int torture_interval();
void set_torture_interval(int n);  // 0 turns it off

struct HeapReport {
  bool ok = true;
  std::vector<std::string> problems;  // the first few, one line each
  uint64_t buffers = 0;                // live buffers seen
};
// Checks: every buffer lies inside its frame with head <= tail <= size and its
// guard intact; every node in use and its buffer name each other; no mark bit
// is left; every node reachable from the roots is in use. Not during a collection.
HeapReport verify_heap();

}  // namespace collector
}  // namespace kiv
