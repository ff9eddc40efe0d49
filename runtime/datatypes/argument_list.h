// Argument lists: what a call needs of a function value's spec, read once.
//
// Every function-kind value (native!, action!, op!, function!, routine!)
// has an argument list cached in its auxiliary block, built from its spec on
// first use: one typeset! per argument, its kind in header bits 20-21
// (evaluated, literal for a get-word in the spec, quoted for a lit-word, and
// the return: type spec), then the refinements (refinement! cells whose word
// 3 is their ordinal from 1 for natives and actions, their context slot for
// functions and routines) each followed by its arguments' typesets; an
// integer! with the locals count (functions) and one with the refinements
// count (natives and actions) close it. A typeset's type id t is bit
// 0x80 >> (t & 7) of byte t >> 3 of its 12 payload bytes.
//
// The named typesets (number!, any-type! ...) are the ones a spec may use
// before the library defines them as values.
#pragma once

#include <cstdint>

#include "runtime/cell.h"
#include "runtime/datatypes/native.h"
#include "runtime/member_bits.h"
#include "runtime/series.h"

namespace kiv::interpreter {

// Typeset header bits 20-21 of an argument-list entry: the argument kind.
constexpr uint32_t kArgKindShift = 20;
constexpr uint32_t kArgKindMask = 0x00300000;
enum ArgKind : uint32_t {
  kArgEvaluated = 0,
  kArgLiteral = 1,  // get-word in the spec: the next value as it is
  kArgQuoted = 2,   // lit-word in the spec: parens and get-words still evaluated
  kArgReturn = 3,   // the return: type spec
};

// Builds the argument list of a function value from its spec and caches it
// in the value's auxiliary block: the node of its block.
uint32_t build_argument_list(const Cell* fn);

// The argument list of a native!, action!, function!, routine! or op!
// (built and cached on first use): the node of its block.
[[gnu::always_inline]] inline uint32_t argument_list(const Cell* fn) {
  HeldPtr<const Cell> cached = series_head_cell(native::aux_node(fn)) + native::kAuxArgumentList;
  if (TYPE_OF(cached) == TYPE_BLOCK) [[likely]] return cached->data2;
  return build_argument_list(fn);
}

// Natives and actions: their refinements go by ordinal, their arguments by
// position; functions and routines get a stack image of their context.
inline bool builtin_q(const Cell* fn) { return TYPE_OF(fn) == TYPE_NATIVE || TYPE_OF(fn) == TYPE_ACTION; }

// Whether an argument-list typeset admits the type id.
inline bool typeset_admits(const Cell* typeset, uint32_t type) {
  // typeset_has_q's test, inline: every argument of every call comes here.
  const uint8_t* bits = reinterpret_cast<const uint8_t*>(&typeset->data1);
  return has_member(bits, type & 0xFF);
}

// The kind of an argument-list typeset (ArgKind).
inline uint32_t arg_kind(const Cell* entry) { return (entry->header & kArgKindMask) >> kArgKindShift; }

// The word of argument entry `entry` of the list, for error reports: the
// spec is walked again (errors only).
Cell argument_word(const Cell* fn, uint32_t list, uint32_t entry);

// Whether the symbol names a typeset a spec may use before the library
// defines it (number!, any-type! ...).
bool named_typeset_q(uint32_t symbol);

// Calls fn with each named typeset's name and its typeset! value, in the
// order the library binds them (each after the typesets it includes).
void for_each_named_typeset(void (*fn)(const char* name, const Cell& typeset));

}  // namespace kiv::interpreter
