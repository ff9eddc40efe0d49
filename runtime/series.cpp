// Making, growing, copying and appending to series.
//
// Every routine here that allocates holds node ids, never buffer addresses,
// across the allocation, and keeps the source series alive through it with a
// RootedNode: the caller's series may not be rooted yet.
#include "runtime/scope_guard.h"
#include "runtime/series.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "runtime/checks.h"
#include "runtime/collector.h"
#include "runtime/memory.h"

namespace kiv {

namespace {

uint32_t link_new_node(SeriesBuffer* b) {
  ScopeExit release([b] { b->flags &= ~kSeriesInUse; });  // left for the collector to reclaim
  uint32_t node = alloc_node();
  release.dismiss();
  set_node_buffer(node, b);
  b->node = node;
  return node;
}

// The flags a buffer takes from another whose content it receives: every bit
// but the ones that say where this buffer lives and the collector's mark.
uint32_t carried_flags(uint32_t from, uint32_t to_buffer_flags) {
  constexpr uint32_t kPlace = kSeriesBig | kSeriesHeap | kSeriesMarked;
  return (from & ~kPlace) | (to_buffer_flags & (kSeriesBig | kSeriesHeap));
}

struct Expanded {
  SeriesBuffer* old_buffer;
  SeriesBuffer* new_buffer;
};

Expanded expand(SeriesBuffer* buffer, int64_t new_size) {
  note_allocation(true);  // the buffer itself moves, whether or not others do
  uint32_t node = buffer->node;
  int64_t old_size = buffer->size;
  if (new_size == 0) new_size = old_size > 0 ? old_size * 2 : 16;
  if (new_size < 1 || static_cast<uint64_t>(new_size) > kMaxSeriesBytes) throw_no_memory();
  bool heap = buffer->flags & kSeriesHeap;
  SeriesBuffer* nb;
  if (node) {
    // The old content must outlive a collection that the allocation may run.
    RootedNode keep(node);
    nb = heap ? alloc_heap_buffer(static_cast<uint32_t>(new_size), 1, 0)
              : alloc_series_buffer(static_cast<uint32_t>(new_size), 1, 0);
    buffer = node_buffer(node);
  } else {
    NoCollectScope no_collect;
    nb = heap ? alloc_heap_buffer(static_cast<uint32_t>(new_size), 1, 0)
              : alloc_series_buffer(static_cast<uint32_t>(new_size), 1, 0);
  }
  nb->flags = carried_flags(buffer->flags, nb->flags) | kSeriesInUse;
  nb->head = 0;
  nb->tail = std::min<uint32_t>(buffer->used_bytes(), static_cast<uint32_t>(nb->size));
  if (node) {
    set_node_buffer(node, nb);
    nb->node = node;
  }
  buffer->node = 0;
  buffer->flags &= ~kSeriesInUse;
  if (heap) abandon_heap_buffer(buffer);
  return {buffer, nb};
}

}  // namespace

// ---------------------------------------------------------------------------
// Making series

uint32_t alloc_series(uint32_t count, uint32_t unit, int32_t offset) {
  return link_new_node(alloc_series_buffer(count, unit, offset));
}

uint32_t alloc_cells(uint32_t count) { return alloc_series(count, sizeof(Cell), 0); }

uint32_t alloc_unset_cells(uint32_t count) {
  uint32_t node = alloc_cells(count);
  SeriesBuffer* b = node_buffer(node);
  auto* c = reinterpret_cast<Cell*>(b->data());
  for (uint32_t i = 0, n = static_cast<uint32_t>(b->size) / sizeof(Cell); i < n; ++i) set_unset(c + i);
  return node;
}

uint32_t alloc_bytes(uint32_t length) { return alloc_series(length ? length : 16, 1, 0); }

uint32_t alloc_series_for_string(uint32_t count, uint32_t unit) {
  if (count == 0) count = 16 >> (unit >> 1);
  return alloc_series(count, unit, 0);
}

uint32_t alloc_bytes_filled(uint32_t length, uint8_t byte) {
  uint32_t node = alloc_bytes(length);
  SeriesBuffer* b = node_buffer(node);
  std::memset(b->data(), byte, b->size);
  return node;
}

uint32_t alloc_heap_series(uint32_t count, uint32_t unit, int32_t offset) {
  return link_new_node(alloc_heap_buffer(count, unit, offset));
}

// ---------------------------------------------------------------------------
// Growing and copying

SeriesBuffer* expand_series(SeriesBuffer* buffer, int64_t new_size) { return expand(buffer, new_size).new_buffer; }

SeriesBuffer* expand_series_copy(SeriesBuffer* buffer, int64_t new_size) {
  Expanded e = expand(buffer, new_size);
  std::memcpy(e.new_buffer->data(), e.old_buffer->head_ptr(), e.new_buffer->tail);
  return e.new_buffer;
}

SeriesBuffer* expand_series_filled(SeriesBuffer* buffer, int64_t new_size, uint8_t byte) {
  Expanded e = expand(buffer, new_size);
  std::memcpy(e.new_buffer->data(), e.old_buffer->head_ptr(), e.new_buffer->tail);
  auto old_size = static_cast<uint32_t>(e.old_buffer->size);
  if (old_size < static_cast<uint32_t>(e.new_buffer->size))
    std::memset(e.new_buffer->data() + old_size, byte, e.new_buffer->size - old_size);
  return e.new_buffer;
}

SeriesBuffer* copy_series(SeriesBuffer* buffer) {
  uint32_t src = buffer->node;
  RootedNode keep(src);
  uint32_t node = alloc_series(static_cast<uint32_t>(buffer->size), 1, static_cast<int32_t>(buffer->head));
  SeriesBuffer* from = node_buffer(src);
  SeriesBuffer* to = node_buffer(node);
  // An owner record belongs to the original only; a copy starts unowned,
  // and a copy of library code is the user's.
  to->flags = carried_flags(from->flags & ~(kSeriesOwned | kSeriesLibrary), to->flags) | kSeriesInUse;
  to->head = from->head;
  to->tail = from->tail;
  std::memcpy(to->head_ptr(), from->head_ptr(), from->used_bytes());
  return to;
}

SeriesBuffer* copy_series_part(uint32_t node, uint32_t start, uint32_t count) {
  RootedNode keep(node);
  SeriesBuffer* from = node_buffer(node);
  uint32_t unit = from->unit() ? from->unit() : 1;
  uint32_t length = from->length();
  start = std::min(start, length);
  count = std::min(count, length - start);
  uint32_t copy = alloc_series(count, unit, 0);
  from = node_buffer(node);
  SeriesBuffer* to = node_buffer(copy);
  to->flags = carried_flags(from->flags & ~(kSeriesOwned | kSeriesLibrary), to->flags) | kSeriesInUse;
  to->head = 0;
  to->tail = count * unit;
  std::memcpy(to->data(), from->head_ptr() + start * unit, count * unit);
  return to;
}

// ---------------------------------------------------------------------------
// Appending

Cell* series_new_tail_cell(SeriesBuffer* b) {
  if (static_cast<uint64_t>(b->tail) + sizeof(Cell) > static_cast<uint64_t>(b->size)) b = expand_series_copy(b, 0);
  HeldPtr<Cell> c = b->tail_cell();
  set_unset(c);
  b->tail += sizeof(Cell);
  return c;
}

Cell* series_new_tail_cell(uint32_t node) { return series_new_tail_cell(node_buffer(node)); }

Cell* alloc_tail(const Cell* block) { return series_new_tail_cell(block->data2); }

uint8_t* series_reserve_tail_bytes(SeriesBuffer* b, uint32_t n) {
  if (static_cast<uint64_t>(b->tail) + n > static_cast<uint64_t>(b->size)) {
    int64_t size = b->size;
    b = expand_series_copy(b, n > size ? 2 * static_cast<int64_t>(n) : 2 * size);
  }
  uint8_t* p = b->tail_ptr();
  b->tail += n;
  return p;
}

uint8_t* series_reserve_tail_bytes(uint32_t node, uint32_t n) {
  return series_reserve_tail_bytes(node_buffer(node), n);
}

void series_append_int32(SeriesBuffer* b, int32_t value) {
  std::memcpy(series_reserve_tail_bytes(b, 4), &value, 4);
}

void set_flag_bits(uint32_t node, uint32_t bits) { node_buffer(node)->flags |= bits; }

void fill_bytes(uint8_t* start, uint8_t* end, uint8_t byte) {
  if (end > start) std::memset(start, byte, end - start);
}

uint8_t* repeat_fill(uint8_t* dest, uint32_t unit_bytes, uint32_t count) {
  size_t total = static_cast<size_t>(unit_bytes) * count;
  if (total == 0) return dest;
  size_t done = unit_bytes;
  while (done * 2 <= total) {
    std::memcpy(dest + done, dest, done);
    done *= 2;
  }
  std::memcpy(dest + done, dest, total - done);
  return dest + total;
}

// ---------------------------------------------------------------------------
// Raw buffer routines

uint32_t buffer_make(uint32_t count, uint32_t unit) { return alloc_series(count, unit, 0); }

uint32_t alloc_filled_bytes(uint32_t length, uint8_t byte) {
  uint32_t node = alloc_bytes(length);
  SeriesBuffer* b = node_buffer(node);
  std::memset(b->data(), byte, b->size);
  b->head = 0;
  b->tail = static_cast<uint32_t>(b->size);
  return node;
}

uint32_t alloc_zeroed_bytes(uint32_t length) { return alloc_filled_bytes(length, 0); }

void buffer_fill(uint32_t node, uint8_t byte) {
  SeriesBuffer* b = node_buffer(node);
  std::memset(b->data(), byte, b->size);
}

uint32_t buffer_length(uint32_t node) { return node_buffer(node)->length(); }

void buffer_clear(uint32_t node) {
  SeriesBuffer* b = node_buffer(node);
  b->tail = b->head;
}

void buffer_set_length(uint32_t node, uint32_t n) {
  SeriesBuffer* b = node_buffer(node);
  uint64_t units = n ? n - 1 : 0;
  uint64_t tail = b->head + units * (b->unit() ? b->unit() : 1);
  b->tail = static_cast<uint32_t>(std::min<uint64_t>(tail, static_cast<uint32_t>(b->size)));
}

uint32_t buffer_copy(uint32_t node) { return copy_series(node_buffer(node))->node; }

uint32_t buffer_flags(uint32_t node) { return node_buffer(node)->flags; }

void buffer_append_byte(uint32_t node, uint8_t byte) { *series_reserve_tail_bytes(node, 1) = byte; }

void buffer_append_bytes(uint32_t node, const uint8_t* bytes, uint32_t n) {
  if (n) std::memcpy(series_reserve_tail_bytes(node, n), bytes, n);
}

void buffer_append_int32(uint32_t node, int32_t value) {
  std::memcpy(series_reserve_tail_bytes(node, 4), &value, 4);
}

uint8_t buffer_byte_at(uint32_t node, uint32_t n) {
  SeriesBuffer* b = node_buffer(node);
  return n >= 1 && n <= b->used_bytes() ? b->head_ptr()[n - 1] : 0;
}

int32_t* buffer_int32_at(uint32_t node, uint32_t n) {
  SeriesBuffer* b = node_buffer(node);
  if (n < 1 || n > b->used_bytes() / 4) return nullptr;
  return reinterpret_cast<int32_t*>(b->head_ptr() + (n - 1) * 4);
}

int32_t buffer_get_int32_at(uint32_t node, uint32_t n) {
  int32_t* p = buffer_int32_at(node, n);
  return p ? *p : 0;
}

void buffer_set_int32_at(uint32_t node, uint32_t n, int32_t v) {
  if (int32_t* p = buffer_int32_at(node, n)) *p = v;
}

int32_t buffer_find_int32(uint32_t node, int32_t value) {
  SeriesBuffer* b = node_buffer(node);
  const uint8_t* p = b->head_ptr();
  for (uint32_t off = 0; off + 4 <= b->used_bytes(); off += 4) {
    int32_t v;
    std::memcpy(&v, p + off, 4);
    if (v == value) return static_cast<int32_t>(off);
  }
  return -1;
}

void buffer_insert_int32(uint32_t node, uint32_t index, int32_t value) {
  uint32_t len = node_buffer(node)->used_bytes() / 4;
  index = std::min(index, len);
  series_reserve_tail_bytes(node, 4);  // may move the buffer
  SeriesBuffer* b = node_buffer(node);
  uint8_t* at = b->head_ptr() + index * 4;
  std::memmove(at + 4, at, (len - index) * 4);
  std::memcpy(at, &value, 4);
}

void buffer_remove_bytes(uint32_t node, uint32_t offset, uint32_t n) {
  SeriesBuffer* b = node_buffer(node);
  uint32_t used = b->used_bytes();
  if (offset >= used) return;
  n = std::min(n, used - offset);
  uint8_t* at = b->head_ptr() + offset;
  std::memmove(at, at + n, used - offset - n);
  b->tail -= n;
}

bool buffer_remove_pointer(uint32_t node, int32_t value) {
  int32_t off = buffer_find_int32(node, value);
  if (off < 0) return false;
  buffer_remove_bytes(node, static_cast<uint32_t>(off), 4);
  return true;
}

void* heap_filled_block(size_t n, uint8_t byte) {
  void* p = std::malloc(n ? n : 1);
  if (!p) throw_no_memory();
  std::memset(p, byte, n);
  return p;
}

uint32_t next_power_of_two(uint32_t n) {
  uint32_t p = 1;
  while (p < n && p < 0x80000000u) p <<= 1;
  return p;
}

}  // namespace kiv
