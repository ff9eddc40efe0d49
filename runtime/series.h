// Series buffers and the node table.
//
// Every variable-length thing (block, string, binary, vector, image pixels, a
// context's words and values, the stacks) lives in a series buffer reached
// through a node. A node is a 32-bit id (0 = none) naming one slot of the node
// table; the slot holds the buffer's address. Values hold node ids, never
// addresses, so the collector moves a buffer by rewriting one slot.
//
// Invariants of a buffer in use:
//   data start <= data start + head <= data start + tail <= data start + size
//   node_buffer(b->node) == b, and b->node is the only node naming b
//   size is a multiple of 16; head and tail are byte offsets from data start
//   length in units = (tail - head) / unit
// A buffer abandoned by a grow has node 0 and the in-use bit clear; nothing
// may refer to it and the next collection reclaims it.
//
// Layout of a buffer in memory (the 24-byte overhead is exact: it decides which
// requests become big series):
//   flags, node, size, head, tail   five 32-bit words
//   data                            size bytes, 8-byte aligned
//   guard                           one 32-bit word (kBufferGuard), checked
//                                   by the heap verifier
//
// Moving: any allocation may move any buffer (a grow moves its own buffer at
// once, a collection compacts all of them). A SeriesBuffer* or an address
// inside the data is good only until the next allocation, grow, or call into
// code that may allocate. Hold the node id and fetch the buffer again with
// node_buffer(). A series that must never move (the stacks, the root block)
// is made with alloc_heap_series.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/cell.h"
#include "runtime/checks.h"

namespace kiv {

// Flags word of a buffer.
constexpr uint32_t kSeriesUnitMask = 0x0000001F;     // unit size in bytes: 1, 2, 4 text, 16 cells
constexpr uint32_t kSeriesInUse = 0x80000000;        // cleared when a grow abandons the buffer
constexpr uint32_t kSeriesAllocated = 0x20000000;    // set on every buffer the allocator makes
constexpr uint32_t kSeriesOffsetMiddle = 0x10000000; // made with head in the middle of the data
constexpr uint32_t kSeriesMarked = 0x08000000;       // the collector's mark (only during a collection)
constexpr uint32_t kSeriesBig = 0x01000000;          // lives in its own block outside the frames
constexpr uint32_t kSeriesHeap = 0x00100000;         // process heap: never moved, never swept
constexpr uint32_t kSeriesOwned = 0x00020000;        // the series has an owner record
constexpr uint32_t kSeriesHashtable = 0x00200000;    // the record of a hash table: the collector walks
                                                     // its fields however the record is reached
constexpr uint32_t kSeriesLibrary = 0x00400000;      // a block of the library's own code: tracing sees it
                                                     // as built in (copies are user code again)

constexpr uint32_t kBufferHeaderSize = 20;
constexpr uint32_t kBufferOverhead = 24;  // header + trailing guard word
constexpr uint32_t kBufferGuard = 0x5E41E5D1;
// The largest data area: the size field is a signed 32-bit byte count.
constexpr uint64_t kMaxSeriesBytes = 0x7FFFFFF0;

struct SeriesBuffer {
  uint32_t flags;
  uint32_t node;  // 0 once abandoned
  int32_t size;   // capacity of the data area in bytes
  uint32_t head;  // byte offset of the first used byte
  uint32_t tail;  // byte offset one past the last used byte

  uint8_t* data() { return reinterpret_cast<uint8_t*>(this) + kBufferHeaderSize; }
  const uint8_t* data() const { return reinterpret_cast<const uint8_t*>(this) + kBufferHeaderSize; }
  uint32_t unit() const { return flags & kSeriesUnitMask; }
  uint8_t* head_ptr() { return data() + head; }
  uint8_t* tail_ptr() { return data() + tail; }
  uint8_t* end_ptr() { return data() + size; }
  // Cell addresses are good until the next allocation (runtime/checks.h).
  HeldPtr<Cell> head_cell() { return reinterpret_cast<Cell*>(data() + head); }
  HeldPtr<Cell> tail_cell() { return reinterpret_cast<Cell*>(data() + tail); }
  uint32_t used_bytes() const { return tail - head; }
  // Units are powers of two (1, 2, 4 for text, 16 for cells): a shift, not
  // a division, on every length asked of a series.
  uint32_t length() const {
    uint32_t u = unit();
    if (u == 0) return 0;
    return (u & (u - 1)) == 0 ? (tail - head) >> __builtin_ctz(u) : (tail - head) / u;
  }
  uint32_t room() const { return static_cast<uint32_t>(size) - tail; }  // bytes free after tail
  uint32_t* guard() { return reinterpret_cast<uint32_t*>(data() + size); }
};
static_assert(sizeof(SeriesBuffer) == kBufferHeaderSize, "a buffer header is five 32-bit words");

// ---------------------------------------------------------------------------
// Node table. A node id is (frame index << kNodeSlotBits) | slot; frame index
// 0 is never used, so id 0 is never a node. The lookup is two loads.
constexpr uint32_t kNodeSlotBits = 14;
constexpr uint32_t kNodeSlotMask = (1u << kNodeSlotBits) - 1;
constexpr uint32_t kMaxNodeFrames = 1u << (32 - kNodeSlotBits);

namespace detail {
// The node slots: every node frame's slots lie in one reserved range, frame
// N's from slot N << kNodeSlotBits, so a node id is the index of its slot
// (memory.cpp). A used slot holds a buffer address (or 0 just after
// alloc_node); a free slot holds (next free slot << 1) | 1.
extern uintptr_t* g_node_table;
// The slots each frame index has (0 for no frame).
extern uint32_t g_node_slot_count[kMaxNodeFrames];
}  // namespace detail

// The buffer a live node refers to. The node must be live: check untrusted ids
// with node_valid_q.
inline SeriesBuffer* node_buffer(uint32_t node) { return reinterpret_cast<SeriesBuffer*>(detail::g_node_table[node]); }

// True when the id names a node in use that refers to a buffer.
inline bool node_valid_q(uint32_t node) {
  uint32_t f = node >> kNodeSlotBits, s = node & kNodeSlotMask;
  if (node == 0 || s >= detail::g_node_slot_count[f]) return false;
  uintptr_t v = detail::g_node_table[node];
  return v != 0 && (v & 1) == 0;
}

// Cells of a block node from head to tail (raw: valid until the next allocation).
inline HeldPtr<Cell> series_head_cell(uint32_t node) { return node_buffer(node)->head_cell(); }
inline HeldPtr<Cell> series_tail_cell(uint32_t node) { return node_buffer(node)->tail_cell(); }
inline uint32_t series_length(uint32_t node) { return node_buffer(node)->length(); }

// ---------------------------------------------------------------------------
// Making series. Each returns the new series' node. Failure to get memory
// raises internal/no-memory (LanguageError).

// A buffer of count x unit bytes (rounded up to 16) with a fresh node. Offset 0
// puts head and tail at the start; -1 in the middle (size / 2, flag
// kSeriesOffsetMiddle); any other offset that many bytes in (at most size).
uint32_t alloc_series(uint32_t count, uint32_t unit, int32_t offset);
// Cells: unit 16, offset 0.
uint32_t alloc_cells(uint32_t count);
// Cells, with every cell of the whole capacity set to unset; the series is empty.
uint32_t alloc_unset_cells(uint32_t count);
// Bytes: unit 1; length 0 means 16 bytes.
uint32_t alloc_bytes(uint32_t length);
// A text buffer of the unit (1, 2 or 4); count 0 means 16 bytes.
uint32_t alloc_series_for_string(uint32_t count, uint32_t unit);
// alloc_bytes with the whole capacity filled with the byte; the series is empty.
uint32_t alloc_bytes_filled(uint32_t length, uint8_t byte);
// Like alloc_series, but the buffer comes from the process heap: it never
// moves and is never swept (use it for series whose address is kept in C++).
uint32_t alloc_heap_series(uint32_t count, uint32_t unit, int32_t offset);

// ---------------------------------------------------------------------------
// Growing and copying. Each returns the new buffer (its node is b->node); the
// source buffer pointer passed in is stale afterwards.

// A new buffer of new_size bytes (0: twice the old size) with the old unit;
// the node now refers to it, the old flags carry over (the big bit follows the
// new buffer), head is at the data start and tail at head + the old length in
// bytes. The old buffer is abandoned (node 0, in-use clear). Nothing is copied.
SeriesBuffer* expand_series(SeriesBuffer* buffer, int64_t new_size);
// expand_series, then the used bytes copied to the new head.
SeriesBuffer* expand_series_copy(SeriesBuffer* buffer, int64_t new_size);
// expand_series_copy, then the bytes from the old size to the new size filled.
SeriesBuffer* expand_series_filled(SeriesBuffer* buffer, int64_t new_size, uint8_t byte);
// A new series with the same capacity, unit and flags (less the owner mark);
// the used bytes copied at the same head offset.
SeriesBuffer* copy_series(SeriesBuffer* buffer);
// A new series holding count units from unit index start of the node's series
// (clipped to what the source holds), with the source's flags less the owner mark.
SeriesBuffer* copy_series_part(uint32_t node, uint32_t start, uint32_t count);

// ---------------------------------------------------------------------------
// Appending at the tail.

// Appends an unset cell at the tail of the block value's series and returns it.
Cell* alloc_tail(const Cell* block);
// The cell at the tail, set to unset, with the tail advanced by 16 bytes; a full
// buffer is first grown to twice its size (the buffer may move).
Cell* series_new_tail_cell(SeriesBuffer* buffer);
// Node form of the same.
Cell* series_new_tail_cell(uint32_t node);
// Returns the old tail address and advances the tail by n bytes; when short of
// room the buffer first grows to twice its size, or to 2 x n when n exceeds it.
uint8_t* series_reserve_tail_bytes(SeriesBuffer* buffer, uint32_t n);
uint8_t* series_reserve_tail_bytes(uint32_t node, uint32_t n);
void series_append_int32(SeriesBuffer* buffer, int32_t value);

// ORs bits into the flags word of the node's buffer.
void set_flag_bits(uint32_t node, uint32_t bits);

void fill_bytes(uint8_t* start, uint8_t* end, uint8_t byte);
// Fills count x unit_bytes at dest by doubling the copied run from the first
// unit; returns the end.
uint8_t* repeat_fill(uint8_t* dest, uint32_t unit_bytes, uint32_t count);

// ---------------------------------------------------------------------------
// Raw buffer routines on byte and 32-bit series, by node. Indexes marked
// "1-based" count from 1; an index outside the series reads 0 / nullptr and
// writes nothing.

// A series of count x unit bytes carrying that unit.
uint32_t buffer_make(uint32_t count, uint32_t unit);
// Byte series whose whole capacity is filled and counted as used.
uint32_t alloc_zeroed_bytes(uint32_t length);
uint32_t alloc_filled_bytes(uint32_t length, uint8_t byte);
void buffer_fill(uint32_t node, uint8_t byte);  // the whole capacity
uint32_t buffer_length(uint32_t node);           // in units
void buffer_clear(uint32_t node);                // tail = head
// tail = head + (n - 1) units: n is the 1-based position the tail moves to.
void buffer_set_length(uint32_t node, uint32_t n);
uint32_t buffer_copy(uint32_t node);  // copy_series of the node's buffer; returns the new node
uint32_t buffer_flags(uint32_t node);
void buffer_append_byte(uint32_t node, uint8_t byte);
void buffer_append_bytes(uint32_t node, const uint8_t* bytes, uint32_t n);
void buffer_append_int32(uint32_t node, int32_t value);
uint8_t buffer_byte_at(uint32_t node, uint32_t n);             // 1-based, byte value
int32_t* buffer_int32_at(uint32_t node, uint32_t n);           // 1-based, raw address
int32_t buffer_get_int32_at(uint32_t node, uint32_t n);        // 1-based
void buffer_set_int32_at(uint32_t node, uint32_t n, int32_t v);  // 1-based
// Byte offset from head of the first 32-bit element equal to value, -1 if none.
int32_t buffer_find_int32(uint32_t node, int32_t value);
// Inserts at a 0-based unit index (clipped to the length), shifting the rest up.
void buffer_insert_int32(uint32_t node, uint32_t index, int32_t value);
// Removes n bytes at a byte offset from head, shifting the rest down.
void buffer_remove_bytes(uint32_t node, uint32_t offset, uint32_t n);
// Finds a 32-bit value and removes it; true when it was there.
bool buffer_remove_pointer(uint32_t node, int32_t value);
// A process-heap block of n bytes filled with the byte; release with std::free.
void* heap_filled_block(size_t n, uint8_t byte);
// The smallest power of two >= n (1 for 0).
uint32_t next_power_of_two(uint32_t n);

}  // namespace kiv
