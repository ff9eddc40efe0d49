// Merge sort (stable, powersort merge policy over natural runs) and an
// adaptive quicksort that grows and uses sorted prefixes.
//
// Every step of both routines only swaps elements, except the merge of two
// runs, which parks the shorter run in a temporary buffer; if the comparator
// throws during a merge, the parked elements are copied back into the hole
// they left before the exception travels on. So the array always holds all
// of its elements.
#include "runtime/scope_guard.h"
#include "runtime/sort.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "runtime/language_error.h"

namespace kiv {
namespace sort {

namespace {

constexpr size_t kMinRun = 24;              // merge sort: shorter runs are extended to this
constexpr size_t kInsertionMax = 7;         // quicksort: ranges this small use insertion sort
constexpr size_t kSampleSize = 63;          // quicksort: sample that bootstraps a sorted prefix
constexpr size_t kSampleMinRange = 512;     // ... for ranges of at least this many elements
constexpr size_t kPresortSampleStep = 97;   // every 97th pair feeds the presortedness score
constexpr size_t kPresortScoreDivisor = 512;
constexpr size_t kPrefixJump = 10;          // prefix growth looks this far past the mark
constexpr size_t kPrefixMinRun = 4;         // shorter runs are not worth moving
constexpr size_t kPrefixGrowth = 16;        // a partial working range is 16 x the prefix
constexpr size_t kWholeRangeDivisor = 256;  // prefixes above count / 256 partition everything

// A comparator through a function pointer, with its two extra arguments.
struct CallComparator {
  SortComparator fn;
  intptr_t extra1;
  intptr_t extra2;
  int32_t operator()(const uint8_t* a, const uint8_t* b) const { return fn(a, b, extra1, extra2); }
};

// The array with its comparator, addressed by element index. Every routine
// below is written once over it: the public entries compare through a
// function pointer, sort_order_by_keys through an inline comparison.
template <class Cmp>
struct ArrayOf {
  uint8_t* base;
  uint32_t width;
  Cmp cmp;

  uint8_t* at(size_t i) const { return base + i * width; }
  int32_t compare(size_t i, size_t j) const { return cmp(at(i), at(j)); }
  void exchange(size_t i, size_t j) const {
    // Positions and (key, position) pairs are swapped in line.
    if (width == 4) {
      exchange_words<uint32_t>(at(i), at(j));
    } else if (width == 8) {
      exchange_words<uint64_t>(at(i), at(j));
    } else {
      swap(at(i), at(j), width);
    }
  }
  template <class Word>
  static void exchange_words(uint8_t* p, uint8_t* q) {
    Word x, y;
    std::memcpy(&x, p, sizeof(Word));
    std::memcpy(&y, q, sizeof(Word));
    std::memcpy(p, &y, sizeof(Word));
    std::memcpy(q, &x, sizeof(Word));
  }
  ArrayOf from(size_t i) const { return ArrayOf{at(i), width, cmp}; }

  void reverse(size_t lo, size_t hi) const {
    while (hi > lo + 1) exchange(lo++, --hi);
  }
  // Exchanges the blocks [a, a + n) and [b, b + n), which must not overlap.
  void swap_blocks(size_t a, size_t b, size_t n) const {
    for (size_t i = 0; i < n; i++) exchange(a + i, b + i);
  }
  // Moves the first k elements of [lo, hi) to its end, each block keeping its
  // order.
  void rotate_left(size_t lo, size_t hi, size_t k) const {
    if (k == 0 || k >= hi - lo) return;
    reverse(lo, lo + k);
    reverse(lo + k, hi);
    reverse(lo, hi);
  }
  // Each element swapped backwards while its predecessor sorts after it;
  // the first `sorted` elements are already in order.
  void insertion_sort(size_t sorted, size_t n) const {
    for (size_t i = std::max<size_t>(sorted, 1); i < n; i++) {
      for (size_t j = i; j > 0 && compare(j - 1, j) > 0; j--) exchange(j - 1, j);
    }
  }
};

using Array = ArrayOf<CallComparator>;

// ---- merge sort ----------------------------------------------------------

// The power of the boundary between the adjacent runs [s1, e1) and [e1, e2)
// of an array of n elements: the depth of the first bit in which the
// midpoints of the two runs, as fractions of n, differ.
uint32_t boundary_power(size_t s1, size_t e1, size_t e2, size_t n) {
  uint64_t a = uint64_t(s1) + e1;  // twice the midpoints
  uint64_t b = uint64_t(e1) + e2;
  uint32_t power = 0;
  for (;;) {
    if ((a < n) != (b < n)) break;
    power++;
    if (a >= n) {
      a -= n;
      b -= n;
    }
    a *= 2;
    b *= 2;
  }
  return power + 1;
}

template <class Cmp>
uint8_t* find_run_in(uint8_t* start, uint8_t* end, uint32_t width, const Cmp& cmp) {
  if (size_t(end - start) <= width) return end;
  uint8_t* p = start + width;
  if (cmp(start, p) <= 0) {
    while (p + width < end && cmp(p, p + width) <= 0) p += width;
    return p + width;
  }
  // Strictly descending only: an equal pair ends the run, so reversing it
  // never reorders equal elements.
  while (p + width < end && cmp(p, p + width) > 0) p += width;
  uint8_t* run_end = p + width;
  ArrayOf<Cmp>{start, width, cmp}.reverse(0, size_t(run_end - start) / width);
  return run_end;
}

template <class Cmp>
void merge_runs_in(uint8_t* left, uint8_t* middle, uint8_t* right_end, uint8_t* tmp, uint32_t width,
                   const Cmp& cmp) {
  const size_t w = width;
  const size_t left_bytes = size_t(middle - left);
  const size_t right_bytes = size_t(right_end - middle);
  if (left_bytes == 0 || right_bytes == 0) return;

  if (right_bytes < left_bytes) {
    // Park the right run and fill from the back. The hole [l, dest) always
    // has the size of what is still parked, [tmp, t).
    std::memcpy(tmp, middle, right_bytes);
    uint8_t* dest = right_end;
    uint8_t* l = middle;
    uint8_t* t = tmp + right_bytes;
    // The parked values still in tmp go back into the hole, also when the
    // comparator fails.
    ScopeExit put_back([&] { std::memcpy(l, tmp, size_t(t - tmp)); });
    while (l > left && t > tmp) {
      const bool take_left = cmp(l - w, t - w) > 0;
      dest -= w;
      if (take_left) {
        l -= w;
        std::memcpy(dest, l, w);
      } else {
        t -= w;
        std::memcpy(dest, t, w);
      }
    }
    return;
  }

  // Park the left run and fill from the front; the hole [dest, r) always has
  // the size of [t, t_end).
  std::memcpy(tmp, left, left_bytes);
  uint8_t* dest = left;
  uint8_t* r = middle;
  uint8_t* t = tmp;
  uint8_t* const t_end = tmp + left_bytes;
  ScopeExit put_back([&] { std::memcpy(dest, t, size_t(t_end - t)); });
  while (t < t_end && r < right_end) {
    if (cmp(t, r) <= 0) {
      std::memcpy(dest, t, w);
      t += w;
    } else {
      std::memcpy(dest, r, w);
      r += w;
    }
    dest += w;
  }
}

template <class Cmp>
void merge_sort_in(uint8_t* base, uint32_t count, uint32_t width, const Cmp& cmp) {
  if (count < 2 || width == 0) return;
  const uint64_t tmp_bytes = uint64_t(count / 2) * width;
  if (tmp_bytes > UINT32_MAX) throw LanguageError(ErrorCategory::kScript, "too-long");
  std::unique_ptr<uint8_t[]> tmp(new (std::nothrow) uint8_t[size_t(tmp_bytes)]);
  if (!tmp) throw LanguageError(ErrorCategory::kInternal, "no-memory");

  const ArrayOf<Cmp> a{base, width, cmp};
  const size_t n = count;

  // The next run from start: natural, then extended to the minimum length.
  auto next_run = [&](size_t start) {
    size_t end = size_t(find_run_in(a.at(start), a.at(n), width, cmp) - base) / width;
    const size_t target = std::min(start + kMinRun, n);
    if (end < target) {
      a.from(start).insertion_sort(end - start, target - start);
      end = target;
    }
    return end;
  };
  auto merge = [&](size_t lo, size_t mid, size_t hi) {
    merge_runs_in(a.at(lo), a.at(mid), a.at(hi), tmp.get(), width, cmp);
  };

  // Pending runs: their start and the power of the boundary after them.
  // Powers strictly increase up the stack, and a power is at most the number
  // of bits of count plus one.
  struct Pending {
    size_t start;
    uint32_t power;
  };
  constexpr size_t kStackMax = 66;
  Pending stack[kStackMax];
  size_t top = 0;

  size_t cur_start = 0;
  size_t cur_end = next_run(0);
  while (cur_end < n) {
    const size_t next_start = cur_end;
    const size_t next_end = next_run(next_start);
    const uint32_t power = boundary_power(cur_start, cur_end, next_end, n);
    while (top > 0 && (stack[top - 1].power > power || top == kStackMax)) {
      merge(stack[top - 1].start, cur_start, cur_end);
      cur_start = stack[--top].start;
    }
    stack[top++] = Pending{cur_start, power};
    cur_start = next_start;
    cur_end = next_end;
  }
  while (top > 0) {
    merge(stack[top - 1].start, cur_start, n);
    cur_start = stack[--top].start;
  }
}

// ---- quicksort -------------------------------------------------------------

// Three-way partition of [lo, hi) around the element at pivot (outside the
// range): answers (lt, gt) with [lo, lt) below, [lt, gt) equal, [gt, hi)
// above the pivot. Every element is compared once.
template <class Cmp>
std::pair<size_t, size_t> partition3(const ArrayOf<Cmp>& a, size_t pivot, size_t lo, size_t hi) {
  size_t lt = lo, i = lo, gt = hi;
  while (i < gt) {
    const int32_t r = a.compare(i, pivot);
    if (r < 0) {
      a.exchange(lt++, i++);
    } else if (r > 0) {
      a.exchange(i, --gt);
    } else {
      i++;
    }
  }
  return {lt, gt};
}

// True when the elements i, j stand in the direction dir (1 ascending,
// -1 descending); equal elements stand in either.
template <class Cmp>
bool in_direction(const ArrayOf<Cmp>& a, size_t i, size_t j, int dir) {
  const int32_t r = a.compare(i, j);
  return dir > 0 ? r <= 0 : r >= 0;
}

// Grows the sorted prefix [0, p) of a nearly sorted array by moving runs in
// the prefix's direction down behind it. The elements a run displaces go to
// where the run was and the search continues past them, so every element is
// looked at a bounded number of times and swapped at most twice per run it
// belongs to: the whole growth is linear.
template <class Cmp>
size_t grow_prefix(const ArrayOf<Cmp>& a, size_t n, size_t p, int dir) {
  size_t mark = p;
  while (mark + kPrefixJump < n) {
    const size_t j = mark + kPrefixJump;
    size_t run_end = j + 1;
    while (run_end < n && in_direction(a, run_end - 1, run_end, dir)) run_end++;
    size_t run_start = j;
    while (run_start > mark && in_direction(a, run_start - 1, run_start, dir)) run_start--;
    const size_t len = run_end - run_start;
    if (len < kPrefixMinRun) {
      mark = run_end;
      continue;
    }
    // Does the run (without its first t elements) follow the prefix (without
    // its last t elements)?
    size_t t = 0;
    bool fits = p == 0;
    if (!fits) {
      const size_t tries = std::max<size_t>(1, std::min(len / 2, p / 4));
      for (t = 0; t < tries; t++) {
        if (in_direction(a, p - 1 - t, run_start + t, dir)) {
          fits = true;
          break;
        }
      }
    }
    if (!fits) {
      mark = run_end;
      continue;
    }
    const size_t dst = p - t, src = run_start + t, moved = run_end - src, gap = src - dst;
    if (gap >= moved) {
      a.swap_blocks(dst, src, moved);
    } else {
      a.rotate_left(dst, run_end, gap);  // costs gap + moved < 2 x moved
    }
    p = dst + moved;
    mark = run_end;
  }
  return p;
}

template <class Cmp>
void kernel(ArrayOf<Cmp> a, size_t n, int64_t hint) {
  while (n > kInsertionMax) {
    if (hint < 0) {
      // The last h elements are sorted: bring them to the front, in order.
      const size_t h = std::min<size_t>(size_t(-hint), n);
      if (2 * h <= n) {
        a.swap_blocks(0, n - h, h);
      } else {
        a.rotate_left(0, n, n - h);
      }
      hint = int64_t(h);
    }
    const size_t h = std::min<size_t>(size_t(hint), n);
    if (h >= n) return;

    size_t below_n, above_start, above_end;
    int64_t below_hint, above_hint;
    size_t work = n;  // the working range [0, work)

    if (h <= 2) {
      if (n >= kSampleMinRange) {
        // Bootstrap: sort a sample spread over the range; it becomes the
        // sorted prefix whose middle is the next pivot.
        for (size_t s = 1; s < kSampleSize; s++) a.exchange(s, s * (n - 1) / (kSampleSize - 1));
        kernel(a, kSampleSize, 0);
        hint = int64_t(kSampleSize);
        continue;
      }
      // Median of the first, middle and last elements, moved to position 1;
      // the largest of the three ends the range.
      const size_t m = n / 2, last = n - 1;
      if (a.compare(0, m) > 0) a.exchange(0, m);
      if (a.compare(m, last) > 0) {
        a.exchange(m, last);
        if (a.compare(0, m) > 0) a.exchange(0, m);
      }
      a.exchange(1, m);
      auto [lt, gt] = partition3(a, 1, 2, last);
      if (lt > 2) a.exchange(1, lt - 1);
      below_n = lt - 1;
      below_hint = 0;
      above_start = gt;
      above_end = n;
      above_hint = 0;
    } else {
      if (h <= n / kWholeRangeDivisor) {
        work = kPrefixGrowth * h - 1;
        // Spread elements from all over the range into the working range so
        // that its order statistics stand for the whole range's.
        for (size_t s = h; s < work; s++) a.exchange(s, h + (s - h) * (n - h) / (work - h));
      }
      // Pivot: the prefix's middle. Its upper half goes to the end of the
      // working range, where it stays sorted and above the pivot.
      const size_t mid = (h - 1) / 2;
      const size_t upper = h - 1 - mid;
      if (work - h >= upper) {
        a.swap_blocks(mid + 1, work - upper, upper);
      } else {
        a.rotate_left(mid + 1, work, upper);
      }
      auto [lt, gt] = partition3(a, mid, mid + 1, work - upper);
      // The pivot joins the equal block; the lower half of the prefix stays
      // in place at the front of the part below.
      if (lt > mid + 1) a.exchange(mid, lt - 1);
      below_n = lt - 1;
      below_hint = int64_t(mid);
      above_start = gt;
      above_end = work;
      above_hint = -int64_t(upper);
    }

    const size_t above_n = above_end - above_start;
    if (work < n) {
      // Both parts of the working range, then the whole of it is the sorted
      // prefix of the next pass.
      kernel(a, below_n, below_hint);
      kernel(a.from(above_start), above_n, above_hint);
      hint = int64_t(work);
      continue;
    }
    // Recurse into the smaller part, loop on the larger: the stack stays
    // logarithmic whatever the pivots.
    if (below_n <= above_n) {
      kernel(a, below_n, below_hint);
      a = a.from(above_start);
      n = above_n;
      hint = above_hint;
    } else {
      kernel(a.from(above_start), above_n, above_hint);
      n = below_n;
      hint = below_hint;
    }
  }
  if (hint < 0) hint = 0;  // insertion sort only uses a sorted front
  a.insertion_sort(std::min<size_t>(size_t(hint), n), n);
}

template <class Cmp>
void quick_sort_in(const ArrayOf<Cmp>& a, uint32_t count) {
  const size_t n = count;

  // The initial run: its direction is fixed by the first unequal pair.
  int dir = 0;
  size_t i = 1;
  for (; i < n; i++) {
    const int32_t r = a.compare(i - 1, i);
    if (r == 0) continue;
    const int d = r < 0 ? 1 : -1;
    if (dir == 0) {
      dir = d;
    } else if (d != dir) {
      break;
    }
  }
  if (dir == 0) dir = 1;
  size_t prefix = i;
  if (prefix < n) {
    // Sample the rest for the overall direction.
    int64_t score = dir * int64_t(prefix);
    for (size_t j = prefix + 1; j < n; j += kPresortSampleStep) {
      const int32_t r = a.compare(j - 1, j);
      score += r < 0 ? 1 : r > 0 ? -1 : 0;
    }
    if (uint64_t(score < 0 ? -score : score) > n / kPresortScoreDivisor) {
      const int score_dir = score > 0 ? 1 : -1;
      if (score_dir != dir) {
        prefix = 0;
        dir = score_dir;
      }
      prefix = grow_prefix(a, n, prefix, dir);
    }
  }
  if (dir < 0) a.reverse(0, prefix);
  if (prefix >= n) return;
  kernel(a, n, int64_t(prefix));
}

}  // namespace

void swap(void* a, void* b, uint32_t width) {
  auto* p = static_cast<uint8_t*>(a);
  auto* q = static_cast<uint8_t*>(b);
  if (p == q) return;
  if ((width & 3) == 0) {
    for (uint32_t i = 0; i < width; i += 4) {
      uint32_t x, y;
      std::memcpy(&x, p + i, 4);
      std::memcpy(&y, q + i, 4);
      std::memcpy(p + i, &y, 4);
      std::memcpy(q + i, &x, 4);
    }
  } else {
    for (uint32_t i = 0; i < width; i++) std::swap(p[i], q[i]);
  }
}

uint8_t* find_run(uint8_t* start, uint8_t* end, uint32_t width, intptr_t extra1, intptr_t extra2,
                  SortComparator cmp) {
  return find_run_in(start, end, width, CallComparator{cmp, extra1, extra2});
}

void merge_runs(uint8_t* left, uint8_t* middle, uint8_t* right_end, uint8_t* tmp,
                const MergeRecord& rec) {
  merge_runs_in(left, middle, right_end, tmp, rec.width, CallComparator{rec.cmp, rec.extra1, rec.extra2});
}

void quick_kernel(int64_t sorted, uint32_t count, uint8_t* base, uint32_t width, intptr_t extra1,
                  intptr_t extra2, SortComparator cmp) {
  kernel(Array{base, width, CallComparator{cmp, extra1, extra2}}, count, sorted);
}

}  // namespace sort

void merge_sort(void* base, uint32_t count, uint32_t width, intptr_t extra1, intptr_t extra2,
                SortComparator cmp) {
  sort::merge_sort_in(static_cast<uint8_t*>(base), count, width, sort::CallComparator{cmp, extra1, extra2});
}

void quick_sort(void* base, uint32_t count, uint32_t width, intptr_t extra1, intptr_t extra2,
                SortComparator cmp) {
  if (count < 2 || width == 0) return;
  sort::quick_sort_in(sort::Array{static_cast<uint8_t*>(base), width, sort::CallComparator{cmp, extra1, extra2}},
                      count);
}

namespace {

struct IndexComparison {
  SortIndexComparator cmp;
  intptr_t extra1;
  intptr_t extra2;
};

int32_t compare_positions(const void* a, const void* b, intptr_t record, intptr_t) {
  const auto* rec = reinterpret_cast<const IndexComparison*>(record);
  uint32_t x, y;
  std::memcpy(&x, a, 4);
  std::memcpy(&y, b, 4);
  return rec->cmp(x, y, rec->extra1, rec->extra2);
}

}  // namespace

std::vector<uint32_t> sort_order(uint32_t count, bool stable, intptr_t extra1, intptr_t extra2,
                                 SortIndexComparator cmp) {
  std::vector<uint32_t> order;
  try {
    order.resize(count);
  } catch (const std::bad_alloc&) {
    throw LanguageError(ErrorCategory::kInternal, "no-memory");
  }
  for (uint32_t i = 0; i < count; i++) order[i] = i;
  const IndexComparison rec{cmp, extra1, extra2};
  const auto record = reinterpret_cast<intptr_t>(&rec);
  if (stable) {
    merge_sort(order.data(), count, 4, record, 0, compare_positions);
  } else {
    quick_sort(order.data(), count, 4, record, 0, compare_positions);
  }
  return order;
}

namespace {

// A key with the position of its record, compared by key alone.
struct KeyPosition {
  int32_t key;
  uint32_t position;
};

struct KeyComparator {
  bool reverse;
  int32_t operator()(const uint8_t* a, const uint8_t* b) const {
    int32_t x, y;
    std::memcpy(&x, a, 4);
    std::memcpy(&y, b, 4);
    if (reverse) std::swap(x, y);
    return (x > y) - (x < y);
  }
};

}  // namespace

std::vector<uint32_t> sort_order_by_keys(const std::vector<int32_t>& keys, bool stable, bool reverse) {
  const auto count = static_cast<uint32_t>(keys.size());
  std::vector<KeyPosition> records;
  std::vector<uint32_t> order;
  try {
    records.resize(count);
    order.resize(count);
  } catch (const std::bad_alloc&) {
    throw LanguageError(ErrorCategory::kInternal, "no-memory");
  }
  for (uint32_t i = 0; i < count; i++) records[i] = KeyPosition{keys[i], i};
  // The pairs go through the very steps the positions would: each
  // comparison answers as the keys' comparator would, so the order is the same.
  auto* base = reinterpret_cast<uint8_t*>(records.data());
  const KeyComparator cmp{reverse};
  if (stable) {
    sort::merge_sort_in(base, count, sizeof(KeyPosition), cmp);
  } else if (count >= 2) {
    sort::quick_sort_in(sort::ArrayOf<KeyComparator>{base, sizeof(KeyPosition), cmp}, count);
  }
  for (uint32_t i = 0; i < count; i++) order[i] = records[i].position;
  return order;
}

bool apply_order(void* base_ptr, uint32_t count, uint32_t width, const std::vector<uint32_t>& order) {
  if (order.size() != count) return false;
  std::vector<bool> done(count, false);
  for (uint32_t p : order) {
    if (p >= count || done[p]) return false;
    done[p] = true;
  }
  std::fill(done.begin(), done.end(), false);

  auto* base = static_cast<uint8_t*>(base_ptr);
  std::vector<uint8_t> held(width);
  auto rec = [&](size_t i) { return base + i * width; };
  // Follow each cycle of the permutation, holding its first record aside.
  for (size_t start = 0; start < count; start++) {
    if (done[start] || order[start] == start) continue;
    std::memcpy(held.data(), rec(start), width);
    size_t cur = start;
    for (;;) {
      done[cur] = true;
      const size_t next = order[cur];
      if (next == start) {
        std::memcpy(rec(cur), held.data(), width);
        break;
      }
      std::memcpy(rec(cur), rec(next), width);
      cur = next;
    }
  }
  return true;
}

}  // namespace kiv
