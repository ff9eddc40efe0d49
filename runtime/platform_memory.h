// Virtual memory from the operating system: the one place the memory manager
// meets mmap. Blocks are read-write (read-write-execute when asked) and
// released whole.
#pragma once

#include <cstddef>

namespace kiv::platform {

// Maps size bytes (a multiple of the page size); nullptr when refused.
void* alloc_virtual(size_t size, bool executable);
// Unmaps a block made by alloc_virtual; false when refused.
bool free_virtual(void* address, size_t size);
// Makes a block inaccessible (the torture mode keeps moved-from frames so, to
// catch stale addresses); false when refused.
bool protect_virtual(void* address, size_t size);

// Address space only: size bytes that no access may touch until committed,
// and that take no memory until then; nullptr when refused.
void* reserve_virtual(size_t size);
// Makes pages of a reserved range read-write (zeroed when first touched);
// false when refused. Decommitting gives their memory back and makes them
// inaccessible again.
bool commit_virtual(void* address, size_t size);
bool decommit_virtual(void* address, size_t size);

// Test aid: the next `count` calls of alloc_virtual or commit_virtual are
// refused.
void refuse_virtual_allocations(int count);

}  // namespace kiv::platform
