// Invariant checks of the runtime, on in checked builds and compiled out of
// release builds.
//
// A checked build defines KIV_CHECKS everywhere: the CMake option of that name
// is on by default in Debug and sanitizer builds and off in release builds.
// There KIV_ASSERT(cond) ends the process with runtime error 98
// ("assertion failed") and the failed condition with its file and line on
// standard error; KIV_UNREACHABLE() does the same for a branch that no valid
// state reaches. In release builds KIV_ASSERT evaluates nothing and
// KIV_UNREACHABLE tells the compiler the branch cannot be taken.
//
// Held addresses. An address inside a series buffer (a cell, a buffer header,
// a byte) is stale after any allocation that may collect, and after any growth
// of its own buffer: the collector slides buffers, growth copies them. Torture
// runs find a stale address only when a collection happens to fall between
// taking and using it. The move epoch finds it on every checked run: it counts
// every allocation that could have moved a buffer (whether or not one moved),
// and Held<T> remembers the epoch of its address and asserts on each use that
// the epoch is unchanged. Code that holds an address across calls says so with
// Held<T> (or opens a HoldScope over a stretch that must not allocate); in
// release builds both are the bare pointer and nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <type_traits>

namespace kiv {

[[noreturn]] void assertion_failed(const char* what, const char* file, int line);

#if defined(KIV_CHECKS)
inline constexpr bool kChecked = true;
#define KIV_ASSERT(cond) ((cond) ? void(0) : ::kiv::assertion_failed(#cond, __FILE__, __LINE__))
#define KIV_UNREACHABLE() ::kiv::assertion_failed("unreachable", __FILE__, __LINE__)
#else
inline constexpr bool kChecked = false;
#define KIV_ASSERT(cond) ((void)0)
#define KIV_UNREACHABLE() __builtin_unreachable()
#endif

namespace detail {
// Bumped by every allocation that may move a buffer (checked builds only).
inline uint64_t g_move_epoch = 0;
// Open HoldScopes: an allocation while one is open is a fault.
inline int g_hold_depth = 0;
}  // namespace detail

// For the memory manager: an allocation is about to happen; may_move is true
// when it may move buffers (a collection may run, or a buffer grows into a
// new one).
inline void note_allocation(bool may_move) {
#if defined(KIV_CHECKS)
  KIV_ASSERT(detail::g_hold_depth == 0 && "an allocation inside a HoldScope");
  if (may_move) ++detail::g_move_epoch;
#else
  (void)may_move;
#endif
}

// An address inside a series buffer, held by C++ code. Every use asserts that
// no allocation that may move buffers came after the address was taken;
// assigning a fresh address starts over. Arithmetic keeps the epoch of the
// address it started from; converting to a bare pointer checks once, there.
template <typename T>
class Held {
 public:
  // A random-access iterator too, so a range of held cells or bytes can be
  // copied with the standard algorithms.
  using iterator_category = std::random_access_iterator_tag;
  using iterator_concept = std::contiguous_iterator_tag;
  using value_type = std::remove_cv_t<T>;
  using difference_type = std::ptrdiff_t;
  using pointer = T*;
  using reference = T&;

  Held(T* p = nullptr) : p_(p) { stamp(); }  // NOLINT: converts like the pointer
  template <typename U>
    requires std::is_convertible_v<U*, T*>
  Held(const Held<U>& other) : p_(other.p_) {  // NOLINT: Held<T> to Held<const T>
#if defined(KIV_CHECKS)
    epoch_ = other.epoch_;
#endif
  }
  Held& operator=(T* p) {
    p_ = p;
    stamp();
    return *this;
  }
  T* get() const {
#if defined(KIV_CHECKS)
    KIV_ASSERT(epoch_ == detail::g_move_epoch && "a buffer address held across an allocation");
#endif
    return p_;
  }
  operator T*() const { return get(); }  // NOLINT: passes where the pointer does
  T* operator->() const { return get(); }
  T& operator*() const { return *get(); }
  T& operator[](std::ptrdiff_t i) const { return get()[i]; }

  Held operator+(std::ptrdiff_t n) const { return moved(n); }
  Held operator-(std::ptrdiff_t n) const { return moved(-n); }
  friend Held operator+(std::ptrdiff_t n, const Held& h) { return h.moved(n); }
  std::ptrdiff_t operator-(const T* other) const { return get() - other; }
  template <typename U>
  std::ptrdiff_t operator-(const Held<U>& other) const {
    return get() - other.get();
  }
  Held& operator+=(std::ptrdiff_t n) { return *this = moved(n); }
  Held& operator-=(std::ptrdiff_t n) { return *this = moved(-n); }
  Held& operator++() { return *this = moved(1); }
  Held& operator--() { return *this = moved(-1); }
  Held operator++(int) {
    Held was = *this;
    ++*this;
    return was;
  }
  Held operator--(int) {
    Held was = *this;
    --*this;
    return was;
  }

 private:
  template <typename U>
  friend class Held;
  Held moved(std::ptrdiff_t n) const {
    Held h = *this;
    h.p_ = get() + n;
    return h;
  }
  void stamp() {
#if defined(KIV_CHECKS)
    epoch_ = detail::g_move_epoch;
#endif
  }
  T* p_;
#if defined(KIV_CHECKS)
  uint64_t epoch_ = 0;
#endif
};

// The bare address, for a cast or a library call that takes no Held (checks
// the epoch once, here).
template <typename T>
T* bare(T* p) {
  return p;
}
template <typename T>
T* bare(const Held<T>& p) {
  return p.get();
}

// What an accessor answers for an address inside a buffer ("good until the
// next allocation"): Held<T> in checked builds, so a caller that keeps it
// (auto p = series_head_cell(n)) is checked on every use, and the bare
// pointer in release builds, at no cost.
#if defined(KIV_CHECKS)
template <typename T>
using HeldPtr = Held<T>;
#else
template <typename T>
using HeldPtr = T*;
#endif

// A stretch of code that holds buffer addresses and must not allocate: in
// checked builds an allocation inside it fails at once, where it happens.
class HoldScope {
 public:
  HoldScope() {
    if constexpr (kChecked) ++detail::g_hold_depth;
  }
  ~HoldScope() {
    if constexpr (kChecked) --detail::g_hold_depth;
  }
  HoldScope(const HoldScope&) = delete;
  HoldScope& operator=(const HoldScope&) = delete;
};

}  // namespace kiv
