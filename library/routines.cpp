#include "library/routines.h"

#include <cstdio>
#include <cstdlib>

#include "runtime/datatypes/routine.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/stack.h"
#include "runtime/support.h"

namespace kiv::library {
namespace {

// quit-return status: ends the process at once with the status (the system
// keeps its low 8 bits); buffered output is written first, nothing else runs.
void quit_return() {
  int32_t status = static_cast<int32_t>(stack::arguments()[0].data2);
  std::fflush(nullptr);
  std::_Exit(status & 0xFF);
}

}  // namespace

void make_routine() {
  Cell* base = stack::arguments();
  Cell spec = base[0];
  Cell name = base[1];
  int32_t entry = routine::find_entry(symbol::utf8_of(name.data2));
  if (entry == 0) fire(ErrorCategory::kScript, "invalid-arg", name);
  routine::push(&spec, nullptr, entry, 0, false);
  base = stack::arguments();
  base[0] = *stack::last_pushed();
  stack::drop_cells(1);
}

void register_routines() {
  routine::register_entry("quit-return", quit_return);
}

}  // namespace kiv::library
