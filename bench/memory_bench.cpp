// Memory benchmark: cost of making small series, of appending cells, and of a
// collection with a given number of live blocks among garbage.
//
//   build/bench/kiv-memory-bench [live blocks]
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "runtime/collector.h"
#include "runtime/memory.h"
#include "runtime/series.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

}  // namespace

int main(int argc, char** argv) {
  using namespace kiv;
  const uint32_t live = argc > 1 ? static_cast<uint32_t>(std::atoi(argv[1])) : 100000;
  init_memory();

  {
    CollectorEnableScope off(false);
    const uint32_t n = 1000000;
    auto t = Clock::now();
    for (uint32_t i = 0; i < n; ++i) alloc_cells(4);
    double s = seconds_since(t);
    std::printf("alloc_cells(4):        %7.1f ns each (%u)\n", s * 1e9 / n, n);
    collector::collect();
  }
  {
    RootedNode block(alloc_cells(16));
    const uint32_t n = 4000000;
    auto t = Clock::now();
    for (uint32_t i = 0; i < n; ++i) series_new_tail_cell(block.get())->data1 = i;
    double s = seconds_since(t);
    std::printf("series_new_tail_cell:  %7.1f ns each (%u, doubling)\n", s * 1e9 / n, n);
  }
  collector::collect();
  {
    CollectorEnableScope off(false);
    // A block holding `live` blocks of four cells, each with a string, and
    // as many dead series between them.
    RootedCell top(Cell{TYPE_BLOCK, 0, alloc_cells(live), 0});
    for (uint32_t i = 0; i < live; ++i) {
      uint32_t b = alloc_cells(4);
      *alloc_tail(top.get()) = Cell{TYPE_BLOCK, 0, b, 0};
      *series_new_tail_cell(b) = Cell{TYPE_STRING, 0, alloc_bytes(24), 0};
      alloc_cells(4);
      alloc_bytes(24);
    }
    auto t = Clock::now();
    collector::collect();
    double first = seconds_since(t);
    t = Clock::now();
    collector::collect();
    double second = seconds_since(t);
    std::printf("collect, %u live blocks with half the heap dead: %.2f ms; again, all live: %.2f ms\n", live,
                first * 1e3, second * 1e3);
    MemoryStats st = memory_stats();
    std::printf("after: %zu series frames, %zu node frames, %.1f MB taken from the system\n",
                st.series_frames.size(), st.node_frames.size(), st.os_total / 1048576.0);
  }
  return 0;
}
