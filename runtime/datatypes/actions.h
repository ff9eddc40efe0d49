// Actions: the numbering of the 62 polymorphic actions, the calling
// convention of the handlers a datatype registers for them, and dispatch.
//
// Every type has one row of handler slots in the registry; the handler of
// action k for type t sits in slot k of row t (1-based). Slot 8 is empty for
// every type. Slots 7 (eval-path) and 9 (compare) have entry points but no
// word in the language.
//
// A handler slot holds a plain code pointer (Handler); each action has one
// signature, given below, and only own<ACTION>(fn) turns a function into a
// slot entry, so a handler of the wrong shape does not compile.
//
// Handler conventions:
// - "simple" handlers take no C++ arguments: they read the call's arguments
//   from the argument stack (first argument at the frame's base) and leave the
//   result in the base cell;
// - the others receive the argument cells and refinement flags explicitly and
//   return the result cell (the action entry copies it into the base cell);
//   compare, form, mold, length?, even? and odd? return an integer instead.
// - Cell pointers passed to a handler point into the argument stack, whose
//   cells never move; pointers into series buffers must not be held across an
//   allocation.
#pragma once

#include <cstdint>

#include "runtime/cell.h"
#include "runtime/fatal.h"

namespace kiv {

// Action numbers are slots, 1-based, in the order of actions.def.
enum ActionNumber : uint32_t {
  ACT_UNUSED_0 = 0,
#define KIV_ACTION(name, ...) ACT_##name,
#include "runtime/datatypes/actions.def"
#undef KIV_ACTION
};

constexpr uint32_t kActionCount = 0
#define KIV_ACTION(...) +1
#include "runtime/datatypes/actions.def"
#undef KIV_ACTION
    ;
static_assert(kActionCount == ACT_WRITE, "actions.def lists the slots in order");

// Compare op codes, shared by comparison, sorting, searching and parse.
enum CompareOp : int32_t {
  COMP_EQUAL = 0,
  COMP_NOT_EQUAL = 1,
  COMP_STRICT_EQUAL = 2,
  COMP_LESSER = 3,
  COMP_LESSER_EQUAL = 4,
  COMP_GREATER = 5,
  COMP_GREATER_EQUAL = 6,
  COMP_SORT = 7,
  COMP_CASE_SORT = 8,
  COMP_SAME = 9,
  COMP_PARSE_WORD = 10,
  COMP_PARSE_WORD_CASE = 11,
  COMP_FIND = 12,
};

// A compare handler's answer when the two values cannot be compared under
// the op code.
constexpr int32_t kNotComparable = -2;

// -1, 0 or 1 as a is below, equal to or above b: a compare handler's answer.
template <typename T>
constexpr int32_t three_way(T a, T b) {
  return (a > b) - (a < b);
}

// The op codes under which two values of one type are tested for equality or
// sorted, as opposed to the orderings (lesser, greater, ...) and the parse
// word matches.
constexpr bool equality_or_sort_op(int32_t op) {
  switch (op) {
    case COMP_EQUAL:
    case COMP_NOT_EQUAL:
    case COMP_STRICT_EQUAL:
    case COMP_SORT:
    case COMP_CASE_SORT:
    case COMP_SAME:
    case COMP_FIND:
      return true;
    default:
      return false;
  }
}

// Arithmetic op codes, shared by the number modules.
enum ArithOp : int32_t {
  OP_ADD = 0,
  OP_SUBTRACT = 1,
  OP_MULTIPLY = 2,
  OP_DIVIDE = 3,
  OP_REMAINDER = 4,
  OP_OR = 5,
  OP_AND = 6,
  OP_XOR = 7,
};

// The limit told to form and mold handlers when no /part is given.
constexpr int32_t kNoPartLimit = 0x7FFFFFFF;

using Handler = void (*)();

// The refinements of mold: /only (a block's outer brackets left out), /all
// (values in their construction syntax), /flat (no indentation). /only applies
// to the outermost value alone: nested() is what a value passes to its parts.
struct MoldFlags {
  bool only = false;
  bool all = false;
  bool flat = false;
  MoldFlags nested() const { return {false, all, flat}; }
};

// The refinements of find and select (select takes neither /tail nor
// /match). A null cell is a refinement not given; with holds the wildcard
// characters of /any.
struct FindOptions {
  Cell* part = nullptr;
  bool only = false;
  bool case_sensitive = false;
  bool same = false;
  bool any = false;
  Cell* with = nullptr;
  Cell* skip = nullptr;
  bool last = false;
  bool reverse = false;
  bool tail = false;
  bool match = false;
};

// How a path step runs: case_sensitive selects by case, get reads without
// calling a function found, tail marks the path's last element, notify tells
// the owner of a series the step changes.
struct PathFlags {
  bool case_sensitive = false;
  bool get = false;
  bool tail = false;
  bool notify = false;
};

// The refinements of round: the rounding rule (half away from zero when
// none is given).
struct RoundOptions {
  bool even = false;
  bool down = false;
  bool half_down = false;
  bool floor = false;
  bool ceiling = false;
  bool half_ceiling = false;
};

// The refinements of sort: /case, /skip size, /compare comparator, /part,
// /all (records compare whole), /reverse, /stable.
struct SortOptions {
  bool case_sensitive = false;
  Cell* skip = nullptr;
  Cell* comparator = nullptr;
  Cell* part = nullptr;
  bool all = false;
  bool reverse = false;
  bool stable = false;
};

// The refinements of trim: which white space goes (/head, /tail, /auto
// indentation, /lines, /all) and /with the characters given instead.
struct TrimOptions {
  bool head = false;
  bool tail = false;
  bool auto_ = false;
  bool lines = false;
  bool all = false;
  Cell* with = nullptr;
};

// Handler signatures, one per action.
namespace handler {
using Simple = void (*)();
using Make = Cell* (*)(Cell* type, Cell* spec);  // make and to
using Random = Cell* (*)(Cell* value, bool seed, bool secure, bool only);
using Reflect = Cell* (*)(Cell* value, Cell* field);
using Form = int32_t (*)(Cell* value, Cell* buffer, Cell* part, int32_t limit);
using Mold = int32_t (*)(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
                         int32_t indent);
// parent, element, value to set (null when reading), the path, the value
// before the parent, the previous element, the element's index in the path,
// then how the step runs.
using EvalPath = Cell* (*)(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* grand_parent,
                           Cell* prev_element, int32_t index, PathFlags flags);
using Compare = int32_t (*)(Cell* value1, Cell* value2, int32_t op);
using Unary = Cell* (*)(Cell* value);  // negate, complement, clear, create ...
using Round = Cell* (*)(Cell* value, Cell* scale, const RoundOptions& options);
using Test = int32_t (*)(Cell* value);  // even?, odd?: 0 or 1
using Insert = Cell* (*)(Cell* series, Cell* value, int32_t part, bool only, int32_t dup,
                         bool append);
using Change = Cell* (*)(Cell* series, Cell* value, int32_t part, bool only, int32_t dup);
using Copy = Cell* (*)(Cell* value, Cell* destination, Cell* part, bool deep, Cell* types);
using Find = Cell* (*)(Cell* series, Cell* value, const FindOptions& options);
using Length = int32_t (*)(Cell* series);  // -1 answers none
using Move = Cell* (*)(Cell* origin, Cell* target, Cell* part);
using Pick = Cell* (*)(Cell* series, int32_t index, Cell* index_cell);
using Poke = Cell* (*)(Cell* series, int32_t index, Cell* value, Cell* index_cell);
using Put = Cell* (*)(Cell* series, Cell* key, Cell* value, bool case_sensitive);
using Remove = Cell* (*)(Cell* series, Cell* part, Cell* key);
using Reverse = Cell* (*)(Cell* series, Cell* part, Cell* skip);
using Select = Cell* (*)(Cell* series, Cell* value, const FindOptions& options);
using Sort = Cell* (*)(Cell* series, const SortOptions& options);
using Swap = Cell* (*)(Cell* series1, Cell* series2);
using Take = Cell* (*)(Cell* series, Cell* part, bool deep, bool last);
using Trim = Cell* (*)(Cell* series, const TrimOptions& options);
using Modify = Cell* (*)(Cell* target, Cell* field, Cell* value, bool case_sensitive);
using Open = Cell* (*)(Cell* port, bool new_, bool read, bool write, bool seek, Cell* allow);
using Read = Cell* (*)(Cell* source, Cell* part, Cell* seek, bool binary, bool lines, bool info,
                       Cell* as);
using Rename = Cell* (*)(Cell* from, Cell* to);
using Write = Cell* (*)(Cell* destination, Cell* data, bool binary, bool lines, bool info,
                        bool append, Cell* part, Cell* seek, Cell* allow, Cell* as);
using None = void (*)();  // slot 8
}  // namespace handler

template <uint32_t A>
struct ActionSignature;
#define KIV_ACTION(name, word, sig, ...) \
  template <>                             \
  struct ActionSignature<ACT_##name> {    \
    using type = handler::sig;            \
  };
#include "runtime/datatypes/actions.def"
#undef KIV_ACTION

template <uint32_t A>
using ActionHandler = typename ActionSignature<A>::type;

// One entry of a type's registration row: the handler of one action slot,
// "unsupported" (0) or "take the parent's handler" (-1). Each entry carries
// its slot number, so the registry can refuse a row written out of order.
struct HandlerEntry {
  enum Kind : uint8_t { kUnsupported, kInherited, kOwn };
  Handler fn;
  uint32_t slot;
  Kind kind;
};

template <uint32_t A>
inline constexpr HandlerEntry kNone{nullptr, A, HandlerEntry::kUnsupported};

template <uint32_t A>
inline constexpr HandlerEntry kInherit{nullptr, A, HandlerEntry::kInherited};

// In a row by difference: an action the parent answers and this type refuses.
template <uint32_t A>
inline constexpr HandlerEntry refuse{nullptr, A, HandlerEntry::kUnsupported};

template <uint32_t A>
inline HandlerEntry own(ActionHandler<A> fn) {
  return HandlerEntry{reinterpret_cast<Handler>(fn), A, HandlerEntry::kOwn};
}

// The op code of each arithmetic action that a type's math routine serves
// (add, subtract, multiply, divide, remainder, and, or, xor); -1 otherwise.
constexpr int32_t arith_op_of(uint32_t action) {
  switch (action) {
    case ACT_ADD: return OP_ADD;
    case ACT_SUBTRACT: return OP_SUBTRACT;
    case ACT_MULTIPLY: return OP_MULTIPLY;
    case ACT_DIVIDE: return OP_DIVIDE;
    case ACT_REMAINDER: return OP_REMAINDER;
    case ACT_AND_T: return OP_AND;
    case ACT_OR_T: return OP_OR;
    case ACT_XOR_T: return OP_XOR;
    default: return -1;
  }
}

template <uint32_t A, void (*Math)(int32_t op)>
void math_handler() {
  Math(arith_op_of(A));
}

// The row entry of an arithmetic action for a type whose math routine takes
// the op code: the handler runs Math with the action's op. Each type and
// action gets a function of its own, as a hand-written handler would.
template <uint32_t A, void (*Math)(int32_t op)>
inline HandlerEntry own_math() {
  static_assert(arith_op_of(A) >= 0, "not an arithmetic action");
  return own<A>(&math_handler<A, Math>);
}

// Reads a handler slot back with the signature of its action.
template <uint32_t A>
inline ActionHandler<A> handler_as(Handler h) {
  return reinterpret_cast<ActionHandler<A>>(h);
}

}  // namespace kiv

namespace kiv {

// What the interpreter and start-up need to know of each action: its word
// (null for slots 7, 8 and 9, which have none), how many arguments it takes
// and how many refinements it has, in the order of its spec (boot/actions.kiv).
// A simple action's entry hands the arguments to the handler unchanged; the
// others turn refinements into flags and argument cells first.
struct ActionInfo {
  const char* word;
  uint8_t arguments;
  uint8_t refinements;
  bool simple;
  const char* first_argument;  // the name of its first argument in the spec
};

// Indexed by action number; entry 0 is unused.
extern const ActionInfo kActionInfo[kActionCount + 1];

}  // namespace kiv

namespace kiv {

// ---------------------------------------------------------------------------
// Action entry points. An entry runs with the call's arguments on the
// argument stack (first argument at the frame's base) and receives one
// integer per refinement in spec order: -1 when the refinement is absent,
// else the position (from the base) of its first argument, or any
// non-negative marker for a refinement without argument. The result is left
// in the base cell. Slot 7 (eval-path) reads its first integer as the set
// flag (non-negative: set, with the new value as third argument); slot 9
// (compare) reads the op code from its third argument and leaves a logic!.
using ActionEntry = void (*)(const int32_t* refinements);

// Indexed by action number; slot 8 holds null.
extern ActionEntry action_table[kActionCount + 1];

// Fills the action entry table. Runs once at start-up, after the datatypes
// have registered.
void actions_init();

// ---------------------------------------------------------------------------
// Handler lookup. None returns null: a type without a handler raises script
// expect-arg (the calling word, the value's datatype, the first argument's
// name), a port! whose actor table lacks the action raises access
// no-port-action.
Handler get_action_handler(uint32_t type, uint32_t action, const Cell* first);
// The handler for the type of the first argument of the current call.
Handler get_argument_action_handler(uint32_t action);
Handler get_value_action_handler(const Cell* value, uint32_t action);
// Slot 7 only: a parent without path access raises script bad-path-type2
// (element, datatype) when no path is given, else bad-path-type (path,
// datatype, the path cut just after the failing element).
Handler get_path_action_handler(const Cell* parent, uint32_t action, const Cell* path,
                                const Cell* element, int32_t index);

// A port! whose actor field is a handle! answers actions 25 to 62 from its
// own table. The port module installs the lookup: it answers true when the
// port has such an actor, with the table's entry (null: unsupported) in *out.
using PortActorLookup = bool (*)(const Cell* port, uint32_t action, Handler* out);
void set_port_actor_lookup(PortActorLookup lookup);
PortActorLookup port_actor_lookup();

// The type make and to build: the type a datatype! names, else the type of
// the example value.
inline uint32_t target_type(const Cell* type) {
  return TYPE_OF(type) == TYPE_DATATYPE ? type->data1 : TYPE_OF(type);
}

// ---------------------------------------------------------------------------
// Typed dispatchers: call an action on values held by runtime code, without
// the argument stack. Each looks the handler up by the first value's type
// (make and to by the target type) and answers what the handler answers.
Cell* dispatch_make(Cell* type, Cell* spec);
Cell* dispatch_random(Cell* value, bool seed, bool secure, bool only);
Cell* dispatch_reflect(Cell* value, Cell* field);
Cell* dispatch_to(Cell* type, Cell* spec);
int32_t dispatch_form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t dispatch_mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part,
                      int32_t limit, int32_t indent);
Cell* dispatch_eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* grand_parent,
                         Cell* prev_element, int32_t index, PathFlags flags);
// -1, 0 or 1 like a three-way comparison, or kNotComparable.
int32_t dispatch_compare(Cell* value1, Cell* value2, int32_t op);
Cell* dispatch_negate(Cell* value);
Cell* dispatch_round(Cell* value, Cell* scale, const RoundOptions& options);
int32_t dispatch_even_q(Cell* value);
int32_t dispatch_odd_q(Cell* value);
Cell* dispatch_complement(Cell* value);
Cell* dispatch_append(Cell* series, Cell* value, int32_t part, bool only, int32_t dup);
Cell* dispatch_insert(Cell* series, Cell* value, int32_t part, bool only, int32_t dup);
Cell* dispatch_change(Cell* series, Cell* value, int32_t part, bool only, int32_t dup);
Cell* dispatch_clear(Cell* series);
Cell* dispatch_copy(Cell* value, Cell* destination, Cell* part, bool deep, Cell* types);
Cell* dispatch_find(Cell* series, Cell* value, const FindOptions& options);
int32_t dispatch_length_q(Cell* series);
Cell* dispatch_move(Cell* origin, Cell* target, Cell* part);
Cell* dispatch_pick(Cell* series, int32_t index, Cell* index_cell);
Cell* dispatch_poke(Cell* series, int32_t index, Cell* value, Cell* index_cell);
Cell* dispatch_put(Cell* series, Cell* key, Cell* value, bool case_sensitive);
Cell* dispatch_remove(Cell* series, Cell* part, Cell* key);
Cell* dispatch_reverse(Cell* series, Cell* part, Cell* skip);
Cell* dispatch_select(Cell* series, Cell* value, const FindOptions& options);
Cell* dispatch_sort(Cell* series, const SortOptions& options);
Cell* dispatch_swap(Cell* series1, Cell* series2);
Cell* dispatch_take(Cell* series, Cell* part, bool deep, bool last);
Cell* dispatch_trim(Cell* series, const TrimOptions& options);
Cell* dispatch_create(Cell* port);
Cell* dispatch_close(Cell* port);
Cell* dispatch_delete(Cell* file);
Cell* dispatch_modify(Cell* target, Cell* field, Cell* value, bool case_sensitive);
Cell* dispatch_open(Cell* port, bool new_, bool read, bool write, bool seek, Cell* allow);
Cell* dispatch_open_q(Cell* port);
Cell* dispatch_query(Cell* target);
Cell* dispatch_read(Cell* source, Cell* part, Cell* seek, bool binary, bool lines, bool info,
                    Cell* as);
Cell* dispatch_rename(Cell* from, Cell* to);
Cell* dispatch_update(Cell* port);
Cell* dispatch_write(Cell* destination, Cell* data, bool binary, bool lines, bool info, bool append,
                     Cell* part, Cell* seek, Cell* allow, Cell* as);


namespace actions {

// The compare entry: the truth of comparing two values under an op code.
// A kNotComparable answer raises script invalid-compare (value1, value2)
// for every op code but the equality ones (0, 1, 2, 9 to 12); there it is
// simply "not equal".
bool compare(Cell* value1, Cell* value2, int32_t op);

}  // namespace actions

// Compares the base cell with the next argument cell under the op code and
// writes the logic! answer into the base cell.
void compare_to_logic(int32_t op);

}  // namespace kiv
