// Guards for every "remember to restore": the restoring step runs when the
// scope ends, on a return and on an exception alike, so no exit path can
// forget it. A guard's step must not throw (it may run during unwinding).
#pragma once

#include <utility>

namespace kiv {

// Runs fn when the scope ends, unless dismissed: a guard that undoes work
// only when the work fails is dismissed once the work is done.
template <typename F>
class ScopeExit {
 public:
  explicit ScopeExit(F fn) : fn_(std::move(fn)) {}
  ~ScopeExit() {
    if (armed_) fn_();
  }
  void dismiss() { armed_ = false; }
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;

 private:
  F fn_;
  bool armed_ = true;
};

// Gives a variable a value for the scope and puts its old value back on exit.
template <typename T>
class Restore {
 public:
  Restore(T& variable, T value) : variable_(variable), saved_(variable) { variable_ = std::move(value); }
  ~Restore() { variable_ = std::move(saved_); }
  Restore(const Restore&) = delete;
  Restore& operator=(const Restore&) = delete;

 private:
  T& variable_;
  T saved_;
};

}  // namespace kiv
