// The two general sorting routines: a stable merge sort and an adaptive,
// unstable quicksort. Both sort count elements of width bytes each, in place,
// through a comparator; they know nothing about cells.
//
// Comparator contract: cmp(a, b, extra1, extra2) answers the sign of the order
// of the elements at a and b: negative when a goes before b, 0 when they are
// equal, positive when a goes after b. extra1 and extra2 are handed through
// unchanged. An inconsistent comparator gives an unspecified order but never
// makes the routines read or write outside the array.
//
// Failure: a comparator may throw (a language error raised by Kiv code it
// runs). Both routines then leave the array holding every one of its elements,
// in some order: nothing is lost or duplicated.
//
// Storage that can move: a comparator that runs Kiv code may allocate, and an
// allocation may move any series buffer, so a base address into a series is
// not stable across comparator calls. Such callers sort positions instead:
// sort_order() sorts the numbers 0..count-1 in C++ memory with a comparator
// over positions, and apply_order() rearranges the records once, after the
// last comparator call, from a freshly fetched buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kiv {

using SortComparator = int32_t (*)(const void* a, const void* b, intptr_t extra1, intptr_t extra2);

// Stable: equal elements keep their input order. Allocates one temporary
// buffer of floor(count / 2) * width bytes (script/too-long when that size does
// not fit in 32 bits, internal/no-memory when it cannot be had).
void merge_sort(void* base, uint32_t count, uint32_t width, intptr_t extra1, intptr_t extra2,
                SortComparator cmp);

// Not stable; needs no memory beyond a stack depth logarithmic in count.
void quick_sort(void* base, uint32_t count, uint32_t width, intptr_t extra1, intptr_t extra2,
                SortComparator cmp);

// A comparator over record positions (0-based), for records whose storage may
// move while the comparator runs.
using SortIndexComparator = int32_t (*)(uint32_t a, uint32_t b, intptr_t extra1, intptr_t extra2);

// Sorts the positions 0..count-1 with merge_sort (stable) or quick_sort and
// answers the order: order[i] is the position of the record that belongs at i.
std::vector<uint32_t> sort_order(uint32_t count, bool stable, intptr_t extra1, intptr_t extra2,
                                 SortIndexComparator cmp);

// sort_order for records whose keys are 32-bit integers read beforehand,
// compared by number (reverse: the other way round): the same order as
// sort_order with a comparator answering the keys' three-way order, but each
// comparison is made inline on (key, position) pairs, which sort in place of
// the positions.
std::vector<uint32_t> sort_order_by_keys(const std::vector<int32_t>& keys, bool stable, bool reverse);

// Rearranges count records of width bytes so that record i becomes the former
// record order[i]. order must be a permutation of 0..count-1 (as sort_order
// makes it); anything else is refused with false and the records unchanged.
bool apply_order(void* base, uint32_t count, uint32_t width, const std::vector<uint32_t>& order);

namespace sort {

// Exchanges width bytes between a and b: four bytes at a time when width is a
// multiple of 4, else byte by byte.
void swap(void* a, void* b, uint32_t width);

// Everything a merge needs besides the runs.
struct MergeRecord {
  uint32_t width;
  intptr_t extra1;
  intptr_t extra2;
  SortComparator cmp;
};

// The end of the natural run beginning at start: non-descending (comparator
// <= 0), or strictly descending, which is then reversed in place.
uint8_t* find_run(uint8_t* start, uint8_t* end, uint32_t width, intptr_t extra1, intptr_t extra2,
                  SortComparator cmp);

// Merges the adjacent sorted runs [left, middle) and [middle, right_end)
// through tmp, which holds at least the shorter run. Ties keep the left
// element first.
void merge_runs(uint8_t* left, uint8_t* middle, uint8_t* right_end, uint8_t* tmp,
                const MergeRecord& rec);

// Sorts count elements at base whose first `sorted` elements are already in
// order (a negative value: the last -sorted elements are in order).
void quick_kernel(int64_t sorted, uint32_t count, uint8_t* base, uint32_t width, intptr_t extra1,
                  intptr_t extra2, SortComparator cmp);

}  // namespace sort
}  // namespace kiv
