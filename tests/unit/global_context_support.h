// What the tests of the global context and of the values bound in it share:
// a fixture with fresh stacks, the global context made and the collector on
// (under KIV_GC_TORTURE every few allocations move every buffer), and the
// error a call raises as text. The symbol table and the global context are
// per process, so each test file uses symbols of its own.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "runtime/collector.h"
#include "runtime/datatypes/context.h"
#include "runtime/language_error.h"
#include "runtime/stack.h"
#include "runtime/support.h"

namespace kiv::testing {

class GlobalContextTest : public ::testing::Test {
 protected:
  CollectorEnableScope enable_{true};

  void SetUp() override {
    stack::init();
    support::init();
    stack::set_uncaught_error_handler(nullptr);
    _context::init_global();
  }
  void TearDown() override { stack::init(); }
};

// Runs f and answers "category/id" of the language error it raised ("" when
// none); arg, when given, receives the error's first argument if that is a
// value.
template <typename F>
std::string error_of(F&& f, Cell* arg = nullptr) {
  try {
    f();
  } catch (const LanguageError& e) {
    if (arg && e.args[0].kind == ErrorArgument::Kind::kValue) *arg = *e.args[0].value.get();
    return std::string(error_category_name(e.category)) + "/" + e.id;
  }
  return "";
}

}  // namespace kiv::testing
