// Runtime support used by the interpreter, the natives and the datatypes:
// raising language errors, argument type checks, the cycle stack that stops
// mold, form, compare, copy and ownership binding on self-referring series,
// and small form and mold helpers.
//
// Raising an error never returns: fire ends in stack::throw_error, so the
// stack state at the throw is the caller's.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "runtime/cell.h"
#include "runtime/language_error.h"
#include "runtime/member_bits.h"

namespace kiv {

// The only way language errors are raised: throws the error (category, id
// and up to three arguments) through stack::throw_error.
[[noreturn]] void fire(ErrorCategory category, const char* id, ErrorArgument arg1 = {},
                       ErrorArgument arg2 = {}, ErrorArgument arg3 = {});

// script/bad-make-arg for a value that cannot make the type: the type is the
// first argument and the value the second, as the message reads them
// (cannot MAKE block! from: "a").
[[noreturn]] void fire_bad_make_arg(const Cell* value, uint32_t type);

// A datatype! value naming the type.
Cell datatype_cell(uint32_t type);

// ---------------------------------------------------------------------------
// Argument checks against a typeset bitmap: one bit per type id, most
// significant bit first (type t is bit 0x80 >> (t & 7) of byte t >> 3).
// A failed check raises script/expect-arg with the calling word
// (stack::calling_word), the datatype of the value and the argument's name
// (none! when the caller passes none).

bool typeset_has_q(const uint8_t* typeset, uint32_t type);
// A typeset bitmap for these checks, made at compile time:
//   constexpr ArgTypeset kBlockArg = arg_typeset({TYPE_BLOCK});
//   check_arg_type(arg, kBlockArg.bits);
// It has a bit for every type id the header's type byte can hold.
struct ArgTypeset {
  uint8_t bits[32] = {};
};
constexpr ArgTypeset arg_typeset(std::initializer_list<uint32_t> types) {
  ArgTypeset t;
  for (uint32_t type : types) add_member(t.bits, type & 0xFF);
  return t;
}
// Returns the cell when its type is in the typeset.
const Cell* check_arg_type(const Cell* arg, const uint8_t* typeset, const Cell* arg_name = nullptr);
// A negative index is an absent optional argument and is skipped; else the
// cell at base + index is checked.
void check_arg_type_at(int index, const uint8_t* typeset, const Cell* arg_name = nullptr);
// Checks the argument only when the refinement is set (its word 1 non-zero).
void check_refinement_arg_type(const Cell* refinement, const Cell* arg, const uint8_t* typeset,
                               const Cell* arg_name = nullptr);
// An argument that arrived as unset! raises expect-arg with the type unset!;
// any other value is returned.
const Cell* check_arg_type_opt(const Cell* arg, const Cell* arg_name = nullptr);

// The size argument of make for series: an integer! gives its value; a
// float! its value truncated toward zero when it lies in the 32-bit signed
// range, else script/out-of-range with the value (NaN included). Any other
// type raises script/invalid-arg.
int32_t get_make_size(const Cell* value);

// The word helpers of native code (set_word_keep, set_context_word_keep,
// set_global_word, set_context_word_at, set_object_word,
// get_word_value_checked, get_context_word_at and the context accessors)
// live with the contexts, in runtime/datatypes/context.h.

// ---------------------------------------------------------------------------
// Form and mold helpers. Form and mold handlers append to a string series
// and return the part limit less the characters they wrote.

// Appends ASCII text to a string series of any unit (1, 2 or 4 bytes).
void append_ascii(uint32_t string_node, const char* text, uint32_t length);

// The form action (set by the action table): appends the value's form to
// the string and returns the limit less what it wrote.
using FormHandler = int32_t (*)(const Cell* value, uint32_t string_node, int32_t limit);
void set_form_handler(FormHandler handler);
// Forms the value into a new string! pushed on the stack, cut to limit
// characters when limit is positive; returns the pushed cell.
Cell* form_to_string(const Cell* value, int32_t limit);

// Appends 4 spaces per level; returns limit - 4 * level.
int32_t mold_indent(uint32_t string_node, int32_t level, int32_t limit);

// ---------------------------------------------------------------------------
// The cycle stack: the nodes of the series (and the context nodes of the
// objects) being visited, so that a visit can tell it has come back to one.
// 1,000 places, at most 999 in use. Its entries are collector roots.
namespace support {
void init();  // empties the cycle stack, registers its root
}  // namespace support

namespace support::cycle_stack {
constexpr uint32_t kCapacity = 1000;

// Stores the key; a push with 999 entries on the stack empties it and raises
// internal/too-deep.
void push(uint32_t key);
void pop();  // never below the start
void drop(uint32_t n);
void reset();
bool find_q(uint32_t key);
uint32_t count();
// The key of a value: word 1 (its context) for an object!, word 2 (its
// series node) otherwise.
uint32_t key_of(const Cell* value);
// When the value's key is on the stack, appends the placeholder ("[...]",
// "(...)", "#[...]", "make object! [...]" when molding by type, "..."
// otherwise), subtracts its length from *limit and returns true.
bool mold_placeholder(const Cell* value, uint32_t string_node, int32_t* limit, bool mold);

// Pushes the value's key and pops it again when the scope ends.
class Entry {
 public:
  explicit Entry(uint32_t key) { push(key); }
  ~Entry() { pop(); }
  Entry(const Entry&) = delete;
  Entry& operator=(const Entry&) = delete;
};
}  // namespace support::cycle_stack

}  // namespace kiv
