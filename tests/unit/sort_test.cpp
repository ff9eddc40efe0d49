#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "runtime/language_error.h"
#include "runtime/sort.h"

namespace kiv {
namespace {

// A record as the callers sort them: a key and the record's input position,
// so that stability and lost or duplicated records show.
struct Rec {
  int32_t key;
  uint32_t pos;
};

// Counts comparisons through extra2; extra1 must arrive unchanged.
constexpr intptr_t kExtraMagic = 0x5EED;
struct CompareStats {
  uint64_t calls = 0;
  bool extra_ok = true;
};

int32_t compare_keys(const void* a, const void* b, intptr_t extra1, intptr_t extra2) {
  auto* stats = reinterpret_cast<CompareStats*>(extra2);
  stats->calls++;
  if (extra1 != kExtraMagic) stats->extra_ok = false;
  Rec x, y;
  std::memcpy(&x, a, sizeof x);
  std::memcpy(&y, b, sizeof y);
  return x.key < y.key ? -1 : x.key > y.key ? 1 : 0;
}

using Sorter = void (*)(void*, uint32_t, uint32_t, intptr_t, intptr_t, SortComparator);
struct Routine {
  const char* name;
  Sorter sort;
  bool stable;
};
const Routine kRoutines[] = {{"merge_sort", merge_sort, true}, {"quick_sort", quick_sort, false}};

std::vector<Rec> records(const std::vector<int32_t>& keys) {
  std::vector<Rec> v(keys.size());
  for (size_t i = 0; i < keys.size(); i++) v[i] = Rec{keys[i], uint32_t(i)};
  return v;
}

// The records are sorted by key, stable when asked, and each input record is
// there exactly once.
::testing::AssertionResult sorted_permutation(const std::vector<Rec>& out, size_t n, bool stable) {
  if (out.size() != n) return ::testing::AssertionFailure() << "size changed";
  std::vector<bool> seen(n, false);
  for (size_t i = 0; i < n; i++) {
    if (out[i].pos >= n || seen[out[i].pos]) {
      return ::testing::AssertionFailure() << "record lost or duplicated at " << i;
    }
    seen[out[i].pos] = true;
    if (i > 0 && out[i - 1].key > out[i].key) {
      return ::testing::AssertionFailure() << "out of order at " << i;
    }
    if (stable && i > 0 && out[i - 1].key == out[i].key && out[i - 1].pos > out[i].pos) {
      return ::testing::AssertionFailure() << "equal keys reordered at " << i;
    }
  }
  return ::testing::AssertionSuccess();
}

// Input shapes that send each routine down a different path: the tiny sizes
// around the insertion-sort threshold, runs in both directions, nearly sorted
// input (prefix growth), few distinct keys (three-way partition), and large
// random input (sampled pivots and the 16x working ranges).
struct Shape {
  const char* name;
  std::vector<int32_t> keys;
};

std::vector<Shape> shapes() {
  std::mt19937 rng(12345);
  auto random_keys = [&](size_t n, int32_t range) {
    std::vector<int32_t> v(n);
    for (auto& k : v) k = int32_t(rng() % uint32_t(range));
    return v;
  };
  auto ascending = [](size_t n) {
    std::vector<int32_t> v(n);
    for (size_t i = 0; i < n; i++) v[i] = int32_t(i);
    return v;
  };
  std::vector<Shape> s;
  s.push_back({"empty", {}});
  s.push_back({"one", {5}});
  s.push_back({"two reversed", {2, 1}});
  s.push_back({"seven", {7, 3, 5, 1, 6, 2, 4}});
  s.push_back({"eight", {8, 3, 5, 1, 6, 2, 4, 7}});
  s.push_back({"descending with ties", {3, 2, 2, 1}});
  s.push_back({"512 equal", std::vector<int32_t>(512, 9)});
  s.push_back({"sorted 10000", ascending(10000)});
  auto rev = ascending(10000);
  std::reverse(rev.begin(), rev.end());
  s.push_back({"reverse 10000", rev});
  s.push_back({"random 20000", random_keys(20000, 1 << 30)});
  s.push_back({"random 300", random_keys(300, 1000)});
  s.push_back({"few distinct 20000", random_keys(20000, 4)});
  auto nearly = ascending(20000);
  for (int i = 0; i < 200; i++) nearly[rng() % nearly.size()] = int32_t(rng() % 20000);
  s.push_back({"nearly sorted", nearly});
  auto nearly_rev = nearly;
  std::reverse(nearly_rev.begin(), nearly_rev.end());
  s.push_back({"nearly reverse sorted", nearly_rev});
  std::vector<int32_t> organ;
  for (int i = 0; i < 5000; i++) organ.push_back(i);
  for (int i = 5000; i > 0; i--) organ.push_back(i);
  s.push_back({"organ pipe", organ});
  std::vector<int32_t> saw;
  for (int i = 0; i < 20000; i++) saw.push_back(i % 37);
  s.push_back({"sawtooth", saw});
  auto head = ascending(3000);
  auto tail = random_keys(60000, 1 << 20);
  head.insert(head.end(), tail.begin(), tail.end());
  s.push_back({"sorted head, random tail", head});
  auto pairs = ascending(9000);
  for (size_t i = 0; i + 1 < pairs.size(); i += 2) std::swap(pairs[i], pairs[i + 1]);
  s.push_back({"adjacent pairs swapped", pairs});
  return s;
}

TEST(Sort, EveryRoutineSortsEveryShapeWithoutLosingRecords) {
  for (const auto& routine : kRoutines) {
    for (const auto& shape : shapes()) {
      auto v = records(shape.keys);
      CompareStats stats;
      routine.sort(v.data(), uint32_t(v.size()), sizeof(Rec), kExtraMagic,
                   reinterpret_cast<intptr_t>(&stats), compare_keys);
      EXPECT_TRUE(sorted_permutation(v, shape.keys.size(), routine.stable))
          << routine.name << " on " << shape.name;
      EXPECT_TRUE(stats.extra_ok) << routine.name << " changed the extra arguments";
    }
  }
}

TEST(Sort, MergeSortKeepsTiesInInputOrderInsideDescendingRuns) {
  // [3 2 2 1]: a descending run must stop at the equal pair, or reversing it
  // would swap the two 2s.
  auto v = records({3, 2, 2, 1});
  CompareStats stats;
  merge_sort(v.data(), 4, sizeof(Rec), kExtraMagic, reinterpret_cast<intptr_t>(&stats), compare_keys);
  const uint32_t expected_pos[] = {3, 1, 2, 0};
  for (int i = 0; i < 4; i++) EXPECT_EQ(v[i].pos, expected_pos[i]) << i;
}

TEST(Sort, SortedAndReverseInputTakesAboutCountComparisons) {
  const uint32_t n = 10000;
  for (const auto& routine : kRoutines) {
    for (bool reverse : {false, true}) {
      std::vector<int32_t> keys(n);
      for (uint32_t i = 0; i < n; i++) keys[i] = int32_t(reverse ? n - i : i);
      auto v = records(keys);
      CompareStats stats;
      routine.sort(v.data(), n, sizeof(Rec), kExtraMagic, reinterpret_cast<intptr_t>(&stats),
                   compare_keys);
      EXPECT_TRUE(sorted_permutation(v, n, routine.stable));
      EXPECT_LE(stats.calls, uint64_t(n) + n / 10) << routine.name << (reverse ? " reverse" : " sorted");
    }
  }
}

// Widths that are not a multiple of 4 take the byte-wise swap.
TEST(Sort, OddWidthElementsSortByteWise) {
  for (const auto& routine : kRoutines) {
    std::mt19937 rng(7);
    const uint32_t n = 1000, width = 6;
    std::vector<uint8_t> data(n * width);
    for (uint32_t i = 0; i < n; i++) {
      const uint16_t key = uint16_t(rng() % 500);
      std::memcpy(&data[i * width], &key, 2);
      std::memcpy(&data[i * width + 2], &i, 4);  // payload travels with the key
    }
    routine.sort(
        data.data(), n, width, 0, 0, [](const void* a, const void* b, intptr_t, intptr_t) -> int32_t {
          uint16_t x, y;
          std::memcpy(&x, a, 2);
          std::memcpy(&y, b, 2);
          return int32_t(x) - int32_t(y);
        });
    std::vector<bool> seen(n, false);
    for (uint32_t i = 0; i < n; i++) {
      uint16_t key, prev;
      uint32_t pos;
      std::memcpy(&key, &data[i * width], 2);
      std::memcpy(&pos, &data[i * width + 2], 4);
      ASSERT_LT(pos, n);
      EXPECT_FALSE(seen[pos]) << routine.name;
      seen[pos] = true;
      if (i > 0) {
        std::memcpy(&prev, &data[(i - 1) * width], 2);
        EXPECT_LE(prev, key) << routine.name << " at " << i;
      }
    }
  }
}

// A comparator that raises an error after a given number of calls, as Kiv
// code run by a sort comparator may.
struct FailAfter {
  uint64_t calls = 0;
  uint64_t limit;
};
struct ComparatorFailed : std::runtime_error {
  ComparatorFailed() : std::runtime_error("comparator failed") {}
};

int32_t compare_then_fail(const void* a, const void* b, intptr_t extra1, intptr_t) {
  auto* f = reinterpret_cast<FailAfter*>(extra1);
  if (++f->calls > f->limit) throw ComparatorFailed();
  Rec x, y;
  std::memcpy(&x, a, sizeof x);
  std::memcpy(&y, b, sizeof y);
  return x.key < y.key ? -1 : x.key > y.key ? 1 : 0;
}

TEST(Sort, FailingComparatorLeavesEveryRecordInPlaceOfSomeRecord) {
  std::mt19937 rng(99);
  std::vector<int32_t> keys(3000);
  for (auto& k : keys) k = int32_t(rng() % 1000);
  for (const auto& routine : kRoutines) {
    // Fail at many points, so that some failures land inside merges from
    // the back and from the front.
    for (uint64_t limit = 0; limit < 40000; limit += 997) {
      auto v = records(keys);
      FailAfter f{0, limit};
      bool threw = false;
      try {
        routine.sort(v.data(), uint32_t(v.size()), sizeof(Rec), reinterpret_cast<intptr_t>(&f), 0,
                     compare_then_fail);
      } catch (const ComparatorFailed&) {
        threw = true;
      }
      std::vector<bool> seen(v.size(), false);
      for (const Rec& r : v) {
        ASSERT_LT(r.pos, v.size());
        ASSERT_FALSE(seen[r.pos]) << routine.name << " duplicated a record failing at call " << limit;
        seen[r.pos] = true;
        ASSERT_EQ(r.key, keys[r.pos]) << routine.name << " mixed a record's bytes";
      }
      if (!threw) {
        EXPECT_TRUE(sorted_permutation(v, v.size(), routine.stable));
      }
    }
  }
}

// An inconsistent comparator (random answers) gives some order, but the
// routines must stay inside the array and keep every record.
TEST(Sort, InconsistentComparatorNeitherOverrunsNorLosesRecords) {
  for (const auto& routine : kRoutines) {
    for (uint32_t n : {5u, 8u, 100u, 600u, 20000u}) {
      std::vector<Rec> v(n + 2);
      for (uint32_t i = 0; i < n + 2; i++) v[i] = Rec{int32_t(i), i};
      std::mt19937 rng(n);
      routine.sort(
          v.data() + 1, n, sizeof(Rec), reinterpret_cast<intptr_t>(&rng), 0,
          [](const void*, const void*, intptr_t e1, intptr_t) -> int32_t {
            return int32_t(
                (*reinterpret_cast<std::mt19937*>(e1))() % 3) - 1;
          });
      // Guard records just outside the sorted range are untouched.
      EXPECT_EQ(v[0].pos, 0u);
      EXPECT_EQ(v[n + 1].pos, n + 1);
      std::vector<bool> seen(n + 2, false);
      for (uint32_t i = 1; i <= n; i++) {
        ASSERT_GE(v[i].pos, 1u);
        ASSERT_LE(v[i].pos, n);
        ASSERT_FALSE(seen[v[i].pos]) << routine.name << " n=" << n;
        seen[v[i].pos] = true;
      }
    }
  }
}

TEST(Sort, MergeSortRefusesATemporaryBufferBeyond32Bits) {
  // 2^31 elements of 4 bytes need a 2^32-byte buffer: refused before the
  // array is touched (there is none here).
  try {
    merge_sort(nullptr, 0x80000000u, 4, 0, 0, compare_keys);
    FAIL() << "no error";
  } catch (const LanguageError& e) {
    EXPECT_EQ(e.category, ErrorCategory::kScript);
    EXPECT_EQ(e.id, "too-long");
  }
}

TEST(Sort, KernelUsesSortedPrefixAndSortedSuffixHints) {
  std::mt19937 rng(3);
  for (int64_t hint : {300, 5000, -300, -5000}) {
    const size_t n = 20000, h = size_t(hint < 0 ? -hint : hint);
    std::vector<int32_t> keys(n);
    for (auto& k : keys) k = int32_t(rng() % 100000);
    const size_t from = hint > 0 ? 0 : n - h;
    std::sort(keys.begin() + from, keys.begin() + from + h);
    auto v = records(keys);
    CompareStats stats;
    sort::quick_kernel(hint, uint32_t(n), reinterpret_cast<uint8_t*>(v.data()), sizeof(Rec), kExtraMagic,
                       reinterpret_cast<intptr_t>(&stats), compare_keys);
    EXPECT_TRUE(sorted_permutation(v, n, false)) << "hint " << hint;
  }
}

// Sorting positions for storage that may move under the comparator.
struct Strings {
  std::vector<std::string> items;
};

int32_t compare_strings_at(uint32_t a, uint32_t b, intptr_t extra1, intptr_t) {
  const auto* s = reinterpret_cast<const Strings*>(extra1);
  return s->items[a].compare(s->items[b]) < 0 ? -1 : s->items[a] == s->items[b] ? 0 : 1;
}

TEST(Sort, OrderOfPositionsAppliedOnceSortsTheRecords) {
  Strings s{{"pear", "apple", "fig", "apple", "kiwi", "date", "fig"}};
  for (bool stable : {true, false}) {
    auto order = sort_order(uint32_t(s.items.size()), stable, reinterpret_cast<intptr_t>(&s), 0,
                            compare_strings_at);
    if (stable) {
      const std::vector<uint32_t> expected = {1, 3, 5, 2, 6, 4, 0};
      EXPECT_EQ(order, expected);
    }
    // Records of 16 bytes, like cells: the position in the first word.
    std::vector<uint32_t> cells(s.items.size() * 4);
    for (uint32_t i = 0; i < s.items.size(); i++) cells[i * 4] = i;
    ASSERT_TRUE(apply_order(cells.data(), uint32_t(s.items.size()), 16, order));
    for (size_t i = 1; i < s.items.size(); i++) {
      EXPECT_LE(s.items[cells[(i - 1) * 4]], s.items[cells[i * 4]]);
    }
  }
}

int32_t compare_positions_then_fail(uint32_t a, uint32_t b, intptr_t extra1, intptr_t) {
  auto* f = reinterpret_cast<FailAfter*>(extra1);
  if (++f->calls > f->limit) throw ComparatorFailed();
  return a < b ? 1 : -1;  // reverses the records
}

// The caller's pattern: the records move only after the last comparator call,
// so an error raised by the comparator leaves them as they were.
TEST(Sort, FailingComparatorOverPositionsRaisesBeforeAnyRecordMoves) {
  std::vector<uint32_t> recs = {10, 20, 30, 40, 50, 60, 70, 80, 90, 100};
  const auto before = recs;
  for (bool stable : {true, false}) {
    FailAfter f{0, 3};
    try {
      auto order = sort_order(uint32_t(recs.size()), stable, reinterpret_cast<intptr_t>(&f), 0,
                              compare_positions_then_fail);
      apply_order(recs.data(), uint32_t(recs.size()), 4, order);
      FAIL() << "the comparator's error was swallowed";
    } catch (const ComparatorFailed&) {
    }
    EXPECT_EQ(recs, before);
  }
}

struct Keys {
  const std::vector<int32_t>* keys;
  bool reverse;
};

int32_t compare_keys_at(uint32_t a, uint32_t b, intptr_t extra1, intptr_t) {
  const auto* k = reinterpret_cast<const Keys*>(extra1);
  if (k->reverse) std::swap(a, b);
  const int32_t x = (*k->keys)[a], y = (*k->keys)[b];
  return x < y ? -1 : x > y ? 1 : 0;
}

// Sorting (key, position) pairs inline gives exactly the order sort_order
// gives through a comparator over the positions, equal keys included (their
// order is what an unstable sort leaves, and it must not change).
TEST(Sort, OrderByKeysIsTheOrderOfTheKeyComparator) {
  std::mt19937 rng(7);
  const std::vector<size_t> sizes = {0, 1, 2, 7, 8, 100, 600, 5000, 40000};
  for (size_t n : sizes) {
    for (int32_t spread : {3, 1000, INT32_MAX}) {
      std::vector<int32_t> keys(n);
      std::uniform_int_distribution<int32_t> d(spread == INT32_MAX ? INT32_MIN : -spread, spread);
      for (auto& k : keys) k = d(rng);
      // Also a presorted run followed by noise, which takes the prefix paths.
      if (n > 100 && spread == 1000) {
        for (size_t i = 0; i < n * 3 / 4; i++) keys[i] = int32_t(i);
      }
      for (bool stable : {true, false}) {
        for (bool reverse : {false, true}) {
          Keys k{&keys, reverse};
          auto expected = sort_order(uint32_t(n), stable, reinterpret_cast<intptr_t>(&k), 0, compare_keys_at);
          EXPECT_EQ(sort_order_by_keys(keys, stable, reverse), expected)
              << "n " << n << " spread " << spread << " stable " << stable << " reverse " << reverse;
        }
      }
    }
  }
}

TEST(Sort, ApplyOrderRefusesWhatIsNotAPermutation) {
  std::vector<uint32_t> data = {1, 2, 3};
  const std::vector<std::vector<uint32_t>> bad = {{0, 0, 1}, {0, 1, 3}, {0, 1}};
  for (const auto& order : bad) {
    EXPECT_FALSE(apply_order(data.data(), 3, 4, order));
    EXPECT_EQ(data, (std::vector<uint32_t>{1, 2, 3}));
  }
}

}  // namespace
}  // namespace kiv
