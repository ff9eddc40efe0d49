// Print hooks: every text the runtime prints can be diverted. The registry
// keeps two lists of callbacks, in registration order: value hooks, called
// by print and prin with the value printed, and text hooks, called by the
// low-level output primitives with the UTF-8 bytes just written.
//
// Each list starts with room for 5 hooks and grows by 5. A hook may add or
// remove hooks while it runs; a hook added during a call runs from the next
// call on, a hook removed during a call is not called afterwards.
#pragma once

#include <cstddef>
#include <string>

#include "runtime/cell.h"

namespace kiv {

using ValueHook = void (*)(const Cell* value, int flag);
using TextHook = void (*)(const char* text, size_t length, int flag);

// Empties both lists and gives each room for 5 hooks; the first step of
// runtime start-up.
void init_hooks();

namespace dyn_print {
// Appends each hook that is not null to its list.
void add(ValueHook value_hook, TextHook text_hook);
// Removes the first occurrence of each hook from its list, keeping the order
// of the rest; a hook that is not registered changes nothing.
void remove(ValueHook value_hook, TextHook text_hook);

size_t value_hook_count();
size_t text_hook_count();
size_t value_hook_capacity();
size_t text_hook_capacity();
}  // namespace dyn_print

void call_value_hooks(const Cell* value, int flag);
void call_print_hooks(const char* text, size_t length, int flag);

// The date and time of the build, "day-Mon-year/hh:mm:ss".
std::string build_stamp();

}  // namespace kiv
