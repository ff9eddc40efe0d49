// routine! (type id 29, parent function!): a function that only has a
// native implementation, a C++ routine of the library bound by name.
//
// The cell is function!'s (runtime/datatypes/function.h): word 1 the context
// made from the spec, word 2 the spec node, word 3 the five-cell block
// [body or none!, argument list, the routine's entry index as integer!,
// unset!, the second entry as integer! or unset!]. Header bit 15
// (kFlagRoutine) marks routines called directly with their arguments; bits
// 25-29 hold the number of word! values in the spec (at most 31: a larger
// count is stored as 31, never spilling into bit 30, the new-line flag).
//
// Entries: C++ functions registered once under a name; a routine value
// refers to its entry by index. An entry reads its arguments at the current
// frame's base, one cell per argument word of the spec in order, and leaves
// its result in the base cell.
#pragma once

#include <cstdint>
#include <string_view>

#include "runtime/cell.h"
#include "runtime/datatypes/actions.h"

namespace kiv::routine {

constexpr uint32_t kFlagRoutine = 0x8000;
constexpr uint32_t kArgCountShift = 25;
constexpr uint32_t kArgCountMask = 0x3E000000;
constexpr uint32_t kMaxArgCount = 31;

using Entry = void (*)();

// Registers an entry under a name (once per name: a second registration of
// the name replaces the entry); answers its index, from 1.
int32_t register_entry(std::string_view name, Entry entry);
// The index of a registered name, 0 when there is none.
int32_t find_entry(std::string_view name);
// The entry at an index, nullptr when there is none.
Entry entry_at(int32_t index);

// Pushes a new routine! cell: spec and body as function::push takes them
// (body nullptr: none), the entry index, the second entry (0: none) and the
// routine flag.
void push(const Cell* spec, const Cell* body, int32_t entry, int32_t second, bool routine_flag);

// Header bits 25-29: the number of argument words of the spec.
uint32_t function_header_bits(const Cell* routine);

int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent);

// Registers routine! (parent function!).
void init();

}  // namespace kiv::routine
