// Sorting benchmark: comparisons and time of merge_sort and quick_sort on
// input shapes of one million 32-bit keys, beside the C++ library's sorts.
// Presorted and reverse-sorted inputs must stay near one comparison per
// element; the rest should stay near n log2 n.
//
//   build/bench/kiv-sort-bench [count]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "runtime/sort.h"

namespace {

uint64_t g_calls = 0;

int32_t compare_ints(const void* a, const void* b, intptr_t, intptr_t) {
  g_calls++;
  int32_t x, y;
  std::memcpy(&x, a, 4);
  std::memcpy(&y, b, 4);
  return x < y ? -1 : x > y ? 1 : 0;
}

struct Shape {
  const char* name;
  std::function<std::vector<int32_t>(size_t)> make;
};

}  // namespace

int main(int argc, char** argv) {
  const size_t n = argc > 1 ? size_t(std::atol(argv[1])) : 1000000;
  std::mt19937 rng(42);
  const Shape shapes[] = {
      {"sorted", [](size_t n) { std::vector<int32_t> v(n); for (size_t i = 0; i < n; i++) v[i] = int32_t(i); return v; }},
      {"reverse", [](size_t n) { std::vector<int32_t> v(n); for (size_t i = 0; i < n; i++) v[i] = int32_t(n - i); return v; }},
      {"random", [&](size_t n) { std::vector<int32_t> v(n); for (auto& k : v) k = int32_t(rng()); return v; }},
      {"few distinct", [&](size_t n) { std::vector<int32_t> v(n); for (auto& k : v) k = int32_t(rng() % 16); return v; }},
      {"nearly sorted 1%", [&](size_t n) {
         std::vector<int32_t> v(n);
         for (size_t i = 0; i < n; i++) v[i] = int32_t(i);
         for (size_t i = 0; i < n / 100; i++) v[rng() % n] = int32_t(rng() % n);
         return v; }},
      {"sorted + 10 random at end", [&](size_t n) {
         std::vector<int32_t> v(n);
         for (size_t i = 0; i < n; i++) v[i] = int32_t(i);
         for (size_t i = n - 10; i < n; i++) v[i] = int32_t(rng() % n);
         return v; }},
      {"organ pipe", [](size_t n) { std::vector<int32_t> v(n); for (size_t i = 0; i < n; i++) v[i] = int32_t(i < n / 2 ? i : n - i); return v; }},
      {"sawtooth 1000", [](size_t n) { std::vector<int32_t> v(n); for (size_t i = 0; i < n; i++) v[i] = int32_t(i % 1000); return v; }},
  };
  std::printf("%zu elements; comparisons per element and milliseconds (log2 n = %.1f)\n", n, std::log2(double(n)));
  std::printf("%-28s %12s %9s %12s %9s %9s %9s\n", "shape", "merge cmp/n", "ms", "quick cmp/n", "ms",
              "std::ss", "std::s");
  for (const auto& shape : shapes) {
    const auto input = shape.make(n);
    double results[6];
    int slot = 0;
    for (auto fn : {kiv::merge_sort, kiv::quick_sort}) {
      auto v = input;
      g_calls = 0;
      auto t0 = std::chrono::steady_clock::now();
      fn(v.data(), uint32_t(n), 4, 0, 0, compare_ints);
      auto t1 = std::chrono::steady_clock::now();
      if (!std::is_sorted(v.begin(), v.end())) std::printf("NOT SORTED\n");
      results[slot++] = double(g_calls) / double(n);
      results[slot++] = std::chrono::duration<double, std::milli>(t1 - t0).count();
    }
    for (int stable = 1; stable >= 0; stable--) {
      auto v = input;
      auto t0 = std::chrono::steady_clock::now();
      auto less = [](int32_t a, int32_t b) { g_calls++; return a < b; };
      if (stable) std::stable_sort(v.begin(), v.end(), less); else std::sort(v.begin(), v.end(), less);
      auto t1 = std::chrono::steady_clock::now();
      results[slot++] = std::chrono::duration<double, std::milli>(t1 - t0).count();
    }
    std::printf("%-28s %12.2f %9.1f %12.2f %9.1f %9.1f %9.1f\n", shape.name, results[0], results[1],
                results[2], results[3], results[4], results[5]);
  }
  return 0;
}
