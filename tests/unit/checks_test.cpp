#include <gtest/gtest.h>

#include <type_traits>

#include "runtime/checks.h"
#include "runtime/collector.h"
#include "runtime/datatypes/integer.h"
#include "runtime/fatal.h"
#include "runtime/series.h"

namespace kiv {
namespace {

// The held-address check fails on an ordinary checked run, without the
// collector's torture mode: any allocation that may move buffers between
// taking a buffer address and using it is reported where the address is used.
TEST(ChecksDeathTest, HeldAddressUsedAfterAnAllocationIsReported) {
  if (!kChecked) GTEST_SKIP() << "release build: the checks are compiled out";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        CollectorEnableScope on(true);
        collector::set_torture_interval(0);
        RootedNode n(alloc_bytes(16));
        Held<SeriesBuffer> b = node_buffer(n.get());
        alloc_bytes(1);  // no collection needs to run for the check to see it
        std::printf("%d\n", b->size);
      },
      ::testing::ExitedWithCode(kRuntimeErrorAssertion), "held across an allocation");
}

TEST(ChecksDeathTest, GrowingTheHeldBufferIsReportedEvenWithTheCollectorOff) {
  if (!kChecked) GTEST_SKIP() << "release build: the checks are compiled out";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        CollectorEnableScope off(false);
        RootedNode n(alloc_bytes(16));
        Held<uint8_t> p = node_buffer(n.get())->head_ptr();
        series_reserve_tail_bytes(n.get(), 4096);  // the buffer moves to a larger one
        std::printf("%d\n", p[0]);
      },
      ::testing::ExitedWithCode(kRuntimeErrorAssertion), "held across an allocation");
}

// The accessors that answer a cell or byte address answer a Held one in
// checked builds: a caller that keeps the answer (auto, HeldPtr) and uses it,
// or an address stepped from it, after an allocation is reported.
TEST(ChecksDeathTest, AnAccessorsAddressKeptAcrossAnAllocationIsReported) {
  if (!kChecked) GTEST_SKIP() << "release build: the checks are compiled out";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        CollectorEnableScope on(true);
        collector::set_torture_interval(0);
        RootedNode n(alloc_cells(4));
        auto cells = series_head_cell(n.get());
        HeldPtr<const Cell> second = cells + 1;
        alloc_cells(1);
        std::printf("%u\n", second->header);
      },
      ::testing::ExitedWithCode(kRuntimeErrorAssertion), "held across an allocation");
}

TEST(ChecksDeathTest, AnAllocationInsideAHoldScopeIsReportedWhereItHappens) {
  if (!kChecked) GTEST_SKIP() << "release build: the checks are compiled out";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        HoldScope hold;
        alloc_bytes(1);
      },
      ::testing::ExitedWithCode(kRuntimeErrorAssertion), "inside a HoldScope");
}

TEST(ChecksDeathTest, ReadingAPayloadAsAnotherTypeIsReported) {
  if (!kChecked) GTEST_SKIP() << "release build: the checks are compiled out";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Cell text{TYPE_STRING, 0, 1, 0};
  EXPECT_EXIT(std::printf("%d\n", integer::get(&text)), ::testing::ExitedWithCode(kRuntimeErrorAssertion),
              "TYPE_INTEGER");
}

// What the checks must let pass: an address taken again after the allocation,
// allocations with the collector off that leave the held buffer in place, and
// allocations after a HoldScope has closed.
TEST(Checks, AddressesTakenAgainAndAllocationsOutsideAHoldScopePass) {
  CollectorEnableScope on(true);
  RootedNode n(alloc_bytes(16));
  Held<SeriesBuffer> b = node_buffer(n.get());
  alloc_bytes(1);
  b = node_buffer(n.get());
  EXPECT_EQ(b->node, n.get());
  {
    CollectorEnableScope off(false);
    Held<SeriesBuffer> kept = node_buffer(n.get());
    alloc_bytes(1);
    EXPECT_EQ(kept->node, n.get());
  }
  { HoldScope hold; }
  alloc_bytes(1);
  if (!kChecked) {
    EXPECT_EQ(sizeof(Held<Cell>), sizeof(Cell*)) << "a bare pointer in release builds";
  }
  static_assert(kChecked || std::is_same_v<HeldPtr<Cell>, Cell*>, "accessors answer bare pointers in release builds");
}

}  // namespace
}  // namespace kiv
