#include <gtest/gtest.h>

#include <cstring>

#include "runtime/collector.h"
#include "runtime/language_error.h"
#include "runtime/memory.h"
#include "runtime/series.h"

namespace kiv {
namespace {

// The series here are rooted, so the tests hold under KIV_GC_TORTURE too.

TEST(SeriesAlloc, ZeroLengthBytesGetSixteenBytesAndStayEmpty) {
  RootedNode n(alloc_bytes(0));
  SeriesBuffer* b = n.buffer();
  EXPECT_EQ(b->size, 16);
  EXPECT_EQ(b->head, b->tail);
  EXPECT_EQ(b->unit(), 1u);
  EXPECT_EQ(b->flags & (kSeriesInUse | kSeriesAllocated), kSeriesInUse | kSeriesAllocated);
}

TEST(SeriesAlloc, OffsetMinusOnePutsHeadAndTailInTheMiddle) {
  RootedNode n(alloc_series(10, 4, -1));  // 40 bytes -> 48
  SeriesBuffer* b = n.buffer();
  EXPECT_EQ(b->size, 48);
  EXPECT_EQ(b->head, 24u);
  EXPECT_EQ(b->tail, 24u);
  EXPECT_TRUE(b->flags & kSeriesOffsetMiddle);
}

TEST(SeriesAlloc, OffsetBeyondTheDataIsClippedToItsEnd) {
  RootedNode n(alloc_series(1, 16, 1000));
  EXPECT_EQ(n.buffer()->head, 16u);
  EXPECT_EQ(n.buffer()->tail, 16u);
}

TEST(SeriesAlloc, StringOfZeroCountGetsSixteenBytesForEveryUnit) {
  for (uint32_t unit : {1u, 2u, 4u}) {
    RootedNode n(alloc_series_for_string(0, unit));
    EXPECT_EQ(n.buffer()->size, 16) << "unit " << unit;
    EXPECT_EQ(n.buffer()->unit(), unit);
  }
}

TEST(SeriesAlloc, UnsetCellsCoverTheWholeCapacityButTheSeriesIsEmpty) {
  RootedNode n(alloc_unset_cells(3));  // 48 bytes: three cells
  SeriesBuffer* b = n.buffer();
  EXPECT_EQ(b->length(), 0u);
  auto* c = reinterpret_cast<Cell*>(b->data());
  for (int i = 0; i < 3; ++i) EXPECT_EQ(c[i].header, TYPE_UNSET);
}

TEST(SeriesAlloc, SizeThatOverflowsTheSizeFieldRaisesNoMemory) {
  try {
    alloc_series(0x10000000, 16, 0);
    FAIL() << "no error";
  } catch (const LanguageError& e) {
    EXPECT_EQ(e.category, ErrorCategory::kInternal);
    EXPECT_EQ(e.id, "no-memory");
  }
}

TEST(SeriesAlloc, HeapSeriesCarriesTheHeapFlagsAndKeepsThemWhenGrown) {
  RootedNode n(alloc_heap_series(2, 16, 0));
  EXPECT_EQ(n.buffer()->flags & 0xFFF0001F, 0xA0100000u | 16u);
  for (int i = 0; i < 5; ++i) series_new_tail_cell(n.get())->data1 = i;
  SeriesBuffer* b = n.buffer();
  EXPECT_TRUE(b->flags & kSeriesHeap);
  EXPECT_EQ(b->length(), 5u);
  EXPECT_EQ(b->head_cell()[4].data1, 4u);
}

TEST(SeriesGrow, SeventeenthCellDoublesCapacityAndKeepsTheNode) {
  RootedNode n(alloc_cells(16));
  for (uint32_t i = 0; i < 16; ++i) series_new_tail_cell(n.get())->data1 = i;
  SeriesBuffer* old = n.buffer();
  ASSERT_EQ(old->size, 256);
  Cell* c = series_new_tail_cell(old);
  c->data1 = 16;
  SeriesBuffer* now = n.buffer();
  EXPECT_NE(now, old);
  EXPECT_EQ(now->size, 512);
  EXPECT_EQ(now->node, n.get());
  EXPECT_EQ(old->node, 0u);
  EXPECT_FALSE(old->flags & kSeriesInUse);
  ASSERT_EQ(now->length(), 17u);
  for (uint32_t i = 0; i < 17; ++i) EXPECT_EQ(now->head_cell()[i].data1, i);
}

TEST(SeriesGrow, ReservingMoreThanTheCapacityGrowsToTwiceTheRequest) {
  RootedNode n(alloc_bytes(16));
  std::memcpy(series_reserve_tail_bytes(n.get(), 3), "abc", 3);
  series_reserve_tail_bytes(n.get(), 40);
  SeriesBuffer* b = n.buffer();
  EXPECT_EQ(b->size, 80);
  EXPECT_EQ(b->used_bytes(), 43u);
  EXPECT_EQ(std::memcmp(b->head_ptr(), "abc", 3), 0);
}

TEST(SeriesGrow, ReservingWithinTwiceTheCapacityDoublesIt) {
  RootedNode n(alloc_bytes(32));
  series_reserve_tail_bytes(n.get(), 30);
  series_reserve_tail_bytes(n.get(), 10);
  EXPECT_EQ(n.buffer()->size, 64);
}

TEST(SeriesGrow, ExpandKeepsFlagsMovesHeadToStartAndKeepsTheLength) {
  RootedNode n(alloc_series(8, 2, -1));
  std::memcpy(series_reserve_tail_bytes(n.get(), 4), "\1\0\2\0", 4);
  set_flag_bits(n.get(), kSeriesOwned);
  SeriesBuffer* b = expand_series_copy(n.buffer(), 0);
  EXPECT_EQ(b->size, 32);
  EXPECT_EQ(b->head, 0u);
  EXPECT_EQ(b->tail, 4u);
  EXPECT_EQ(b->unit(), 2u);
  EXPECT_TRUE(b->flags & kSeriesOwned);
  EXPECT_TRUE(b->flags & kSeriesOffsetMiddle);
  EXPECT_EQ(b->head_ptr()[2], 2);
}

TEST(SeriesGrow, FilledExpansionFillsFromTheOldSizeToTheNewSize) {
  RootedNode n(alloc_bytes_filled(16, 0));
  SeriesBuffer* b = expand_series_filled(n.buffer(), 64, 0xEE);
  for (int i = 16; i < 64; ++i) ASSERT_EQ(b->data()[i], 0xEE) << i;
}

TEST(SeriesGrow, SizeBelowOneRaisesNoMemory) {
  RootedNode n(alloc_bytes(16));
  EXPECT_THROW(expand_series(n.buffer(), -16), LanguageError);
  EXPECT_EQ(n.buffer()->size, 16);  // untouched
}

TEST(SeriesGrow, EmptyCapacitySeriesGrowsInsteadOfFailing) {
  RootedNode n(alloc_cells(0));
  ASSERT_EQ(n.buffer()->size, 0);
  series_new_tail_cell(n.get())->data1 = 5;
  EXPECT_EQ(n.buffer()->length(), 1u);
}

TEST(SeriesCopy, CopyKeepsCapacityHeadOffsetAndContentButNotTheOwnerMark) {
  RootedNode n(alloc_series(40, 1, 8));
  std::memcpy(series_reserve_tail_bytes(n.get(), 5), "hello", 5);
  set_flag_bits(n.get(), kSeriesOwned);
  RootedNode c(copy_series(n.buffer())->node);
  SeriesBuffer* b = c.buffer();
  EXPECT_NE(c.get(), n.get());
  EXPECT_EQ(b->size, 48);
  EXPECT_EQ(b->head, 8u);
  EXPECT_EQ(b->tail, 13u);
  EXPECT_EQ(std::memcmp(b->head_ptr(), "hello", 5), 0);
  EXPECT_FALSE(b->flags & kSeriesOwned);
}

TEST(SeriesCopy, PartOfAnOwnedStringIsUnownedAndClippedToTheSource) {
  RootedNode n(alloc_series_for_string(8, 2));
  const uint16_t text[] = {'a', 'b', 'c', 'd'};
  std::memcpy(series_reserve_tail_bytes(n.get(), 8), text, 8);
  set_flag_bits(n.get(), kSeriesOwned);
  struct Case {
    uint32_t start, count, expect_len;
    uint16_t first;
  } cases[] = {{1, 2, 2, 'b'}, {2, 100, 2, 'c'}, {9, 1, 0, 0}};
  for (const auto& k : cases) {
    SeriesBuffer* p = copy_series_part(n.get(), k.start, k.count);
    EXPECT_EQ(p->length(), k.expect_len) << k.start;
    EXPECT_EQ(p->unit(), 2u);
    EXPECT_FALSE(p->flags & kSeriesOwned);
    if (k.expect_len) {
      uint16_t first;
      std::memcpy(&first, p->head_ptr(), 2);
      EXPECT_EQ(first, k.first);
    }
  }
}

TEST(SeriesAppend, AllocTailAppendsAnUnsetCellToTheBlockValue) {
  RootedCell block(Cell{TYPE_BLOCK, 0, alloc_cells(1), 0});
  alloc_tail(block.get())->header = TYPE_INTEGER;
  Cell* c = alloc_tail(block.get());
  EXPECT_EQ(c->header, TYPE_UNSET);
  EXPECT_EQ(series_length(block->data2), 2u);
  EXPECT_EQ(series_head_cell(block->data2)->header, TYPE_INTEGER);
}

TEST(RepeatFill, DoublingCopyFillsEveryUnit) {
  uint8_t buf[7 * 3 + 1];
  std::memset(buf, 0, sizeof buf);
  std::memcpy(buf, "xyz", 3);
  EXPECT_EQ(repeat_fill(buf, 3, 7), buf + 21);
  for (int i = 0; i < 21; ++i) EXPECT_EQ(buf[i], "xyz"[i % 3]) << i;
  EXPECT_EQ(buf[21], 0);
}

TEST(RawBuffer, Int32InsertFindRemoveKeepOrder) {
  RootedNode n(buffer_make(2, 4));
  for (int v : {10, 20, 30}) buffer_append_int32(n.get(), v);
  buffer_insert_int32(n.get(), 1, 15);
  buffer_insert_int32(n.get(), 99, 40);  // past the end: appended
  EXPECT_EQ(buffer_length(n.get()), 5u);
  int expect[] = {10, 15, 20, 30, 40};
  for (uint32_t i = 0; i < 5; ++i) EXPECT_EQ(buffer_get_int32_at(n.get(), i + 1), expect[i]);
  EXPECT_EQ(buffer_find_int32(n.get(), 30), 12);
  EXPECT_EQ(buffer_find_int32(n.get(), 31), -1);
  EXPECT_TRUE(buffer_remove_pointer(n.get(), 15));
  EXPECT_FALSE(buffer_remove_pointer(n.get(), 15));
  EXPECT_EQ(buffer_get_int32_at(n.get(), 2), 20);
  EXPECT_EQ(buffer_length(n.get()), 4u);
}

TEST(RawBuffer, IndexesOutsideTheSeriesReadZeroAndWriteNothing) {
  RootedNode n(buffer_make(4, 4));
  buffer_append_int32(n.get(), 7);
  EXPECT_EQ(buffer_get_int32_at(n.get(), 0), 0);
  EXPECT_EQ(buffer_get_int32_at(n.get(), 2), 0);
  EXPECT_EQ(buffer_int32_at(n.get(), 2), nullptr);
  buffer_set_int32_at(n.get(), 2, 9);
  EXPECT_EQ(buffer_length(n.get()), 1u);
  EXPECT_EQ(buffer_byte_at(n.get(), 5), 0);
  EXPECT_EQ(buffer_byte_at(n.get(), 1), 7);
}

TEST(RawBuffer, SetLengthTakesTheOneBasedTailPosition) {
  RootedNode n(alloc_zeroed_bytes(20));
  EXPECT_EQ(buffer_length(n.get()), 32u);  // whole capacity counted
  buffer_set_length(n.get(), 5);
  EXPECT_EQ(buffer_length(n.get()), 4u);
  buffer_clear(n.get());
  EXPECT_EQ(buffer_length(n.get()), 0u);
}

TEST(RawBuffer, RemoveBytesShiftsTheRestDown) {
  RootedNode n(alloc_bytes(16));
  buffer_append_bytes(n.get(), reinterpret_cast<const uint8_t*>("abcdef"), 6);
  buffer_remove_bytes(n.get(), 1, 2);
  buffer_remove_bytes(n.get(), 10, 2);  // outside: nothing
  SeriesBuffer* b = n.buffer();
  EXPECT_EQ(b->used_bytes(), 4u);
  EXPECT_EQ(std::memcmp(b->head_ptr(), "adef", 4), 0);
}

TEST(RawBuffer, NextPowerOfTwo) {
  struct {
    uint32_t n, p;
  } cases[] = {{0, 1}, {1, 1}, {2, 2}, {3, 4}, {5, 8}, {4096, 4096}, {4097, 8192}};
  for (auto c : cases) EXPECT_EQ(next_power_of_two(c.n), c.p) << c.n;
}

}  // namespace
}  // namespace kiv
