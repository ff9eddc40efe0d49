// The handle registry and the cell slot table: two ways for values and native
// code to refer to things by a small number.
//
// Handle registry: external resources (bitmaps, fonts, window resources) live
// in numbered slots with their kind; handle! and image! values hold the slot
// index. Each collection marks the slots that live values refer to; the
// others are freed and their resources released through their kind's callback,
// exactly once, after the collection has finished (so a callback may allocate).
//
// Slot kind word: kind number in bits 0-7, bit 31 the collector's mark; a
// free slot holds kHandleFree. Slot indexes are 0-based and stay valid while
// the slot is in use (the array only grows).
//
// Cell slot table: a block of cells, marked as a root, where native code keeps
// values by a 1-based index until it releases them.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kiv {

using HandleRelease = void (*)(void* pointer);
constexpr int kMaxHandleKinds = 20;
constexpr uint32_t kInitialHandleSlots = 1000;
constexpr uint32_t kHandleMark = 0x80000000;
constexpr uint32_t kHandleFree = 0x40000000;
constexpr uint32_t kHandleKindMask = 0xFF;

void init_handles();
// The new kind's number, from 1; 0 when all kMaxHandleKinds are taken. A name
// and release already registered answer their existing kind.
int register_handle_kind(const char* name, HandleRelease release);
// The name a kind registered with; null for 0 or a number never registered.
const char* handle_kind_name(int kind);
// A slot holding the pointer under the kind; returns its index.
int32_t alloc_handle(void* pointer, int kind);
// Stores a new pointer; a different old one is released through the kind.
void handle_set_pointer(int32_t index, void* pointer);
// Frees the slot (releasing its pointer when asked). A free or unknown index
// is ignored.
void free_handle(int32_t index, bool release);
// Calls the release callback of kind (kind_word & 0xFF) with the pointer.
void handle_release_pointer(uint32_t kind_word, void* pointer);
// Collector: marks the slot; a non-null pointer replaces the stored one. True
// when it was not marked before. Unknown or free slots are ignored.
bool handle_mark(int32_t index, void* pointer);
// Calls fn with the pointer of every used slot of the kind, in used-list order.
void handle_foreach_of_kind(int kind, void (*fn)(void* pointer));
// Collector: frees every unmarked used slot (its release is queued), clears
// the marks of the others.
void handle_sweep();
// Collector, after a collection: runs the releases queued by handle_sweep.
void run_handle_releases();
// Clears every slot mark (after the heap verifier's marking).
void clear_handle_marks();

void* handle_pointer(int32_t index);  // nullptr for a free or unknown slot
int handle_kind(int32_t index);       // 0 for a free or unknown slot
uint32_t handle_slot_count();         // capacity of the slot array
uint32_t handles_in_use();

namespace slot_table {
constexpr uint32_t kInitialCells = 100;
void init();
// Copies the value into a free cell; returns its 1-based index.
int32_t keep(const Cell* value);
// The cell at a 1-based index (raw: valid until the next allocation); nullptr
// outside the table or for a free index.
Cell* get(int32_t index);
// Frees the cell; 0, indexes outside the table and free indexes are ignored.
void release(int32_t index);
// The table's block node (0 before init), marked by the collector.
uint32_t block_node();
}  // namespace slot_table

}  // namespace kiv
