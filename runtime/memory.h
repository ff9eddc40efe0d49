// The memory manager: node frames, series frames and big series.
//
// Nodes come from node frames of kNodesPerFrame slots. Buffers are bump-
// allocated from series frames (1 MB, then 2 MB each) taken from the operating
// system; a request whose size with overhead reaches kBigSeriesThreshold gets a
// block of its own (a big series). Nothing is freed one value at a time: the
// collector compacts the frames, sweeps the big series and returns dead nodes.
//
// Every frame and big series is one block of virtual memory whose first 32-bit
// word holds its size; the total counts whole pages (size + 4 rounded up to
// 4,096). A refusal by the operating system raises internal/no-memory and
// leaves every list as it was.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "runtime/series.h"

namespace kiv {

constexpr uint32_t kNodesPerFrame = 10000;
constexpr uint32_t kFirstSeriesFrameSize = 0x100000;  // 1 MB of data
constexpr uint32_t kBigSeriesThreshold = 0x200000;    // 2 MB: also the largest frame
// A frame found by search (not the current one) with less room than this is
// passed over in favour of a new frame, so frames fill before new ones appear.
constexpr uint32_t kFrameLowRoom = 52428;  // 0xCCCC
// Such a frame stops counting as room once the bytes of frame buffers
// allocated since the last collection reach this many times the frame bytes
// live after it.
constexpr uint64_t kCollectAfterLiveTimes = 3;
// A big series is preceded by a collection once the bytes held in frames and
// big series have grown since the last collection by this share (in percent)
// of the bytes live after it. The share trades collections for peak memory:
// at 75 the benchmark programs peak no higher than with a collection before
// every big series; at 100 some peak a tenth higher.
constexpr uint64_t kBigCollectGrowthPercent = 75;
constexpr uint32_t kVirtualPageSize = 4096;

struct NodeFrame {
  NodeFrame* next = nullptr;  // creation order
  NodeFrame* prev = nullptr;
  uint32_t index = 0;         // position in the node table: node id = index << 14 | slot
  uint32_t capacity = 0;
  uint32_t free_head = 0;     // first free slot, kNoFreeSlot when full
  uint32_t used = 0;
  uint32_t born = 0;          // series-cycles when made
  uint32_t used_at_last_collection = 0;
  uint32_t history = 0;       // bit per collection, newest in bit 0: 1 = used unchanged
  bool evacuated = false;     // never set: this build has no node pass
  uintptr_t* slots = nullptr; // in the node table's range, at index << kNodeSlotBits
  uint32_t committed = 0;     // bytes of it committed
};
constexpr uint32_t kNoFreeSlot = kNodeSlotMask;

struct SeriesFrame {
  SeriesFrame* prev = nullptr;  // address order
  SeriesFrame* next = nullptr;
  uint32_t total = 0;           // bytes of the virtual block asked for
  uint8_t* start = nullptr;     // first buffer
  uint8_t* heap = nullptr;      // first free byte
  uint8_t* end = nullptr;       // one past the data area
  void* block = nullptr;
  uint32_t room() const { return static_cast<uint32_t>(end - heap); }
};

// Big series: the block holds this header, then one buffer.
struct BigSeries {
  BigSeries* next;
  BigSeries* prev;
  uint32_t size;  // bytes asked for (buffer with overhead)
  uint32_t pad;
  SeriesBuffer* buffer() { return reinterpret_cast<SeriesBuffer*>(reinterpret_cast<uint8_t*>(this) + kBigHeaderSize); }
  static constexpr uint32_t kBigHeaderSize = 28;  // keeps the data 8-byte aligned
};

struct MemoryState {
  uint64_t total = 0;  // bytes taken from the operating system (whole pages)
  NodeFrame* node_first = nullptr;
  NodeFrame* node_last = nullptr;
  NodeFrame* node_current = nullptr;
  SeriesFrame* series_first = nullptr;
  SeriesFrame* series_current = nullptr;
  SeriesFrame* series_last = nullptr;
  uint32_t first_frame_size = kFirstSeriesFrameSize;
  uint32_t next_frame_size = kFirstSeriesFrameSize;
  uint32_t big_threshold = kBigSeriesThreshold;
  BigSeries* big_first = nullptr;
  BigSeries* big_last = nullptr;
  // Bytes of frame buffers allocated since the last collection, and the
  // bytes the frames and the big series held right after it (set by
  // note_collection). The frames hold live_after_collection +
  // allocated_since_collection bytes until the next collection.
  uint64_t allocated_since_collection = 0;
  uint64_t live_after_collection = 0;
  uint64_t big_live_after_collection = 0;
  uint64_t big_bytes = 0;  // bytes of every big series in the list
  bool initialised = false;
};

MemoryState& memory_state();

// Sets the sizes, empty lists, the collector's tables, the first node frame and
// the first series frame, and the root block. Runs at most once; every
// allocation calls it when nothing did before.
void init_memory();

// Virtual memory in whole pages, accounted in the total.
void* allocate_virtual(uint32_t size, bool executable);
void free_virtual(void* address);

NodeFrame* alloc_node_frame(uint32_t count);
uint32_t alloc_node();
void free_node(NodeFrame* frame, uint32_t node);
void free_node(uint32_t node);
NodeFrame* node_frame_of(uint32_t node);
// After a collection: releases every node frame with no node in use, picks the
// current frame again and shifts the frames' history.
void release_empty_node_frames();

SeriesFrame* alloc_series_frame();
void unlink_series_frame(SeriesFrame* frame);
SeriesFrame* find_series_frame_with_room(uint32_t bytes);

// A new buffer (no node yet): data size = count x unit rounded up to 16.
SeriesBuffer* alloc_series_buffer(uint32_t count, uint32_t unit, int32_t offset);
SeriesBuffer* alloc_big_series(uint32_t bytes);
void free_big_series(SeriesBuffer* buffer);
// Collector step: unmarked big series are released (their nodes queued), marked
// ones lose their mark.
void sweep_big_series();
// Releases the big series no longer in use (left by a grow), as the next
// collection would; only where an allocation may collect.
void release_abandoned_big_series();
// Releases every frame and big series (process exit).
void free_all_frames();
// Collector step, once the frames are compacted and the big series swept:
// the bytes held become the live bytes of the triggers, the count since
// starts at 0.
void note_collection();

// The block kept alive by the collector above all else (a heap series: it never
// moves). Start-up keeps the stack blocks and other permanent values in it.
uint32_t root_block();

[[noreturn]] void throw_no_memory();

// Points a node at a buffer (the buffer's node field is the caller's business).
inline void set_node_buffer(uint32_t node, SeriesBuffer* buffer) {
  detail::g_node_table[node] = reinterpret_cast<uintptr_t>(buffer);
}

// For the series routines and the collector.
// A buffer from the process heap (flag kSeriesHeap), no node yet.
SeriesBuffer* alloc_heap_buffer(uint32_t count, uint32_t unit, int32_t offset);
// A heap buffer left by a grow: freed at the end of the next collection.
void abandon_heap_buffer(SeriesBuffer* buffer);
void free_abandoned_heap_buffers();
const std::unordered_map<SeriesBuffer*, void*>& heap_buffers();  // buffer -> block
// Torture mode: move a frame's buffers or a big series to a new block, keeping
// the old block mapped but inaccessible for two collections.
bool move_series_frame(SeriesFrame* frame);
bool move_big_series(BigSeries* big);
void sort_series_frames();
void quarantine_virtual(void* address);
void release_quarantine();

// What `stats` reports: [free used total] per node frame and per series frame,
// the sizes of the big series, and the totals.
struct MemoryStats {
  struct Frame {
    uint64_t free, used, total;
  };
  std::vector<Frame> node_frames;    // in nodes
  std::vector<Frame> series_frames;  // in bytes
  std::vector<uint64_t> big_series;  // bytes each
  uint64_t os_total = 0;             // bytes taken from the operating system
  uint64_t series_used = 0;          // bytes of buffers in frames and big series
};
MemoryStats memory_stats();

}  // namespace kiv
