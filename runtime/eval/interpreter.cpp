#include "runtime/eval/interpreter.h"

#include <array>
#include <cmath>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include <pthread.h>

#include "runtime/collector.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/native.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/routine.h"
#include "runtime/datatypes/series_common.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/eval/actions.h"
#include "runtime/eval/natives.h"
#include "runtime/eval/trace.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/words.h"

namespace kiv::interpreter {

namespace detail {
uint32_t g_pending = 0;
uint32_t g_pending_target = 0;
}  // namespace detail

namespace {

class CodeScope;
// The innermost open code scope (nullptr: none). Each names the block it
// evaluates, the position of the expression being evaluated in it, and links
// to the scope it interrupted, so the chain holds every code block still
// being evaluated: all of them are collector roots, so code stays alive while
// it runs even when nothing else refers to it any more.
CodeScope* g_code_scopes = nullptr;
// The code position when the last error was raised (its near field).
Cell g_error_code{TYPE_UNSET, 0, 0, 0};

// A quick departure on its way to its frame (interpreter.h): the throw code
// (return, exit, break or continue; 0 when none), the target frame's index
// and the value.
using detail::g_pending;
using detail::g_pending_target;
Cell g_pending_value{TYPE_UNSET, 0, 0, 0};

inline bool pending() { return g_pending != 0; }

// Puts a pending departure aside while native code runs Kiv code (the
// tracer, a callback), and back afterwards.
class PendingHold {
 public:
  PendingHold() : code_(g_pending), target_(g_pending_target), value_(g_pending_value) { g_pending = 0; }
  ~PendingHold() {
    g_pending = code_;
    g_pending_target = target_;
    g_pending_value = *value_;
  }
  PendingHold(const PendingHold&) = delete;
  PendingHold& operator=(const PendingHold&) = delete;

 private:
  uint32_t code_;
  uint32_t target_;
  RootedCell value_;
};

// The natives that return at once after evaluating their branch block, so
// that their call frame may pass a pending departure: if, unless, either
// (runtime/eval/natives_core.cpp keeps them so).
inline bool passes_return_q(const Cell* fn) {
  return TYPE_OF(fn) == TYPE_NATIVE && fn->data1 >= 1 && fn->data1 <= 3;
}

void mark_passes_return() { stack::current_frame()->header |= stack::kFramePassesReturn; }

void mark_code_scopes();

void mark_roots() {
  collector::mark_cell(&g_error_code);
  collector::mark_cell(&g_pending_value);
  mark_code_scopes();
  trace::mark_roots();
}

// Makes a code block the current one while it is evaluated. The scopes live
// on the C++ stack and link to each other; a scope refers to the code cell
// of its caller (a local that outlives it), so opening and closing one copies
// no cell and allocates nothing. The current position is the innermost
// scope's own: closing a scope leaves the one it interrupted at its position
// with nothing to put back.
class CodeScope {
 public:
  explicit CodeScope(const Cell& code) : code_(&code), pos_(code.data1), prev_(g_code_scopes) { g_code_scopes = this; }
  ~CodeScope() { g_code_scopes = prev_; }
  CodeScope(const CodeScope&) = delete;
  CodeScope& operator=(const CodeScope&) = delete;

  // The position of the expression being evaluated.
  void at(uint32_t pos) { pos_ = pos; }

  friend void mark_code_scopes();
  friend const Cell* current_code_cell();
  friend uint32_t current_pos();

 private:
  const Cell* code_;
  uint32_t pos_;
  CodeScope* prev_;
};

void mark_code_scopes() {
  for (const CodeScope* s = g_code_scopes; s; s = s->prev_) collector::mark_cell(s->code_);
}

// The code of the innermost scope, nullptr when none is open.
const Cell* current_code_cell() { return g_code_scopes ? g_code_scopes->code_ : nullptr; }
// The position in it; only meaningful while a scope is open.
uint32_t current_pos() { return g_code_scopes ? g_code_scopes->pos_ : 0; }

// The most refinements a native or action has (now has 10).
constexpr uint32_t kMaxRefinements = 16;

inline Cell read_at(const Cell* code, uint32_t pos) { return series_head_cell(code->data2)[pos]; }

// The number of cells of a block's series (code, argument lists, values):
// its used bytes by sixteen, with no unit to read.
inline uint32_t cells_in(uint32_t node) { return node_buffer(node)->used_bytes() >> 4; }
// The tail position of code.
inline uint32_t tail_of(const Cell* code) { return cells_in(code->data2); }

// The word that names block frames. The word table is a fixed array: the
// cell's address never changes (set by init).
const Cell* g_body_word = nullptr;

inline bool word_kind_q(uint32_t t) { return t >= TYPE_WORD && t <= TYPE_REFINEMENT; }

// A value that a word evaluates to as it is, and that no fast operator
// takes: anything but a number, a function of any kind, an op! or unset!.
inline bool plain_value_q(uint32_t t) {
  switch (t) {
    case TYPE_UNSET: case TYPE_INTEGER: case TYPE_FLOAT: case TYPE_NATIVE: case TYPE_ACTION: case TYPE_OP:
    case TYPE_FUNCTION: case TYPE_ROUTINE:
      return false;
    default:
      return true;
  }
}

inline bool callable_q(uint32_t t) {
  return t == TYPE_NATIVE || t == TYPE_ACTION || t == TYPE_FUNCTION || t == TYPE_ROUTINE;
}

const Cell* word_cell(words::Id id) { return words::cell_of(id); }

Cell datatype_of(const Cell* v) { return datatype_cell(TYPE_OF(v)); }

// ---------------------------------------------------------------------------
// Typesets of argument lists: type id t is bit 0x80 >> (t & 7) of byte t >> 3
// of the 12 payload bytes, words 1-3 in memory order.

struct TypeBits {
  uint8_t bytes[12] = {};
  void set(uint32_t t) {
    if (t < 96) bytes[t >> 3] |= static_cast<uint8_t>(0x80u >> (t & 7));
  }
  void clear(uint32_t t) {
    if (t < 96) bytes[t >> 3] &= static_cast<uint8_t>(~(0x80u >> (t & 7)));
  }
  void add(const TypeBits& o) {
    for (int i = 0; i < 12; ++i) bytes[i] |= o.bytes[i];
  }
  void add_cell(const Cell* typeset) {
    uint8_t b[12];
    std::memcpy(b, &typeset->data1, 12);
    for (int i = 0; i < 12; ++i) bytes[i] |= b[i];
  }
  Cell cell(uint32_t kind) const {
    Cell c{TYPE_TYPESET | (kind << kArgKindShift), 0, 0, 0};
    std::memcpy(&c.data1, bytes, 12);
    return c;
  }
};

inline bool typeset_admits(const Cell* typeset, uint32_t type) {
  // typeset_has_q's test, inline: every argument of every call comes here.
  const uint8_t* bits = reinterpret_cast<const uint8_t*>(&typeset->data1);
  return (bits[(type & 0xFF) >> 3] & (0x80 >> (type & 7))) != 0;
}

inline uint32_t arg_kind(const Cell* entry) { return (entry->header & kArgKindMask) >> kArgKindShift; }

TypeBits default_typeset() {
  TypeBits t;
  std::memset(t.bytes, 0xFF, sizeof t.bytes);
  t.clear(TYPE_UNSET);
  t.clear(0);
  return t;
}

// The typesets that specs name, by name. They become values of the library
// once typeset! exists; until then a type block word without a value is
// looked up here.
struct NamedTypeset {
  const char* name;
  std::vector<uint32_t> members;      // type ids
  std::vector<const char*> includes;  // other named typesets
};

const std::vector<NamedTypeset>& named_typesets() {
  static const std::vector<NamedTypeset> table = {
      {"internal!", {TYPE_UNSET}, {}},
      {"external!", {TYPE_EVENT}, {}},
      {"number!", {TYPE_INTEGER, TYPE_FLOAT, TYPE_PERCENT}, {}},
      {"planar!", {TYPE_PAIR, TYPE_POINT2D}, {}},
      {"any-point!", {TYPE_POINT2D, TYPE_POINT3D}, {}},
      {"scalar!", {TYPE_MONEY, TYPE_CHAR, TYPE_PAIR, TYPE_TUPLE, TYPE_TIME, TYPE_DATE}, {"number!", "any-point!"}},
      {"any-word!", {TYPE_WORD, TYPE_SET_WORD, TYPE_LIT_WORD, TYPE_GET_WORD}, {}},
      {"all-word!", {TYPE_REFINEMENT, TYPE_ISSUE}, {"any-word!"}},
      {"any-list!", {TYPE_BLOCK, TYPE_PAREN, TYPE_HASH}, {}},
      {"any-path!", {TYPE_PATH, TYPE_LIT_PATH, TYPE_SET_PATH, TYPE_GET_PATH}, {}},
      {"any-block!", {}, {"any-path!", "any-list!"}},
      {"any-function!", {TYPE_NATIVE, TYPE_ACTION, TYPE_OP, TYPE_FUNCTION, TYPE_ROUTINE}, {}},
      {"any-object!", {TYPE_OBJECT, TYPE_ERROR, TYPE_PORT}, {}},
      {"any-string!", {TYPE_STRING, TYPE_FILE, TYPE_URL, TYPE_TAG, TYPE_EMAIL, TYPE_REF}, {}},
      {"series!", {TYPE_BINARY, TYPE_IMAGE, TYPE_VECTOR}, {"any-block!", "any-string!"}},
      {"immediate!",
       {TYPE_NONE, TYPE_LOGIC, TYPE_DATATYPE, TYPE_TYPESET, TYPE_HANDLE, TYPE_DATE},
       {"scalar!", "all-word!"}},
      {"default!", {TYPE_MAP, TYPE_BITSET}, {"series!", "immediate!", "any-object!", "external!", "any-function!"}},
      {"any-type!", {}, {"default!", "internal!"}},
  };
  return table;
}

bool same_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] + 32) : a[i];
    char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] + 32) : b[i];
    if (x != y) return false;
  }
  return true;
}

// A typeset name, else a datatype name (series! names the typeset).
bool named_typeset(std::string_view name, TypeBits* out) {
  for (const NamedTypeset& n : named_typesets()) {
    if (!same_name(name, n.name)) continue;
    for (uint32_t t : n.members) out->set(t);
    for (const char* inc : n.includes) named_typeset(inc, out);
    return true;
  }
  for (uint32_t t = 1; t < kTypeTableSize; ++t) {
    const char* type_name = builtin_type_name(t);
    if (!type_name || !same_name(name, type_name)) continue;
    out->set(t);
    return true;
  }
  return false;
}

// The typeset of a spec's type block: datatypes set their bit, typesets are
// ORed in, a word whose value is a word adds object!, nested blocks are
// skipped; anything else raises script invalid-type-spec.
TypeBits typeset_from_block(uint32_t block_node) {
  TypeBits bits;
  uint32_t n = series_length(block_node);
  for (uint32_t i = 0; i < n && i < series_length(block_node); ++i) {
    Cell v = series_head_cell(block_node)[i];
    if (TYPE_OF(&v) == TYPE_BLOCK) continue;
    Cell value = v;
    if (TYPE_OF(&v) == TYPE_WORD && v.data1 != 0) value = *_context::get_word(&v);
    switch (TYPE_OF(&value)) {
      case TYPE_DATATYPE:
        bits.set(value.data1);
        continue;
      case TYPE_TYPESET:
        bits.add_cell(&value);
        continue;
      case TYPE_WORD:
        if (TYPE_OF(&v) == TYPE_WORD) {
          bits.set(TYPE_OBJECT);
          continue;
        }
        break;
      case TYPE_UNSET:
        if (TYPE_OF(&v) == TYPE_WORD) {
          std::string_view name = symbol::utf8_of(symbol::canonical(v.data2));
          if (named_typeset(name, &bits)) continue;
        }
        break;
      default:
        break;
    }
    fire(ErrorCategory::kScript, "invalid-type-spec", v);
  }
  return bits;
}

bool same_symbol(const Cell* a, const Cell* b) { return symbol::canonical(a->data2) == symbol::canonical(b->data2); }

bool is_word(const Cell* w, words::Id id) {
  const Cell* known = word_cell(id);
  uint32_t sym = TYPE_OF(known) == TYPE_UNSET ? words::symbol_of(id) : known->data2;
  return sym != 0 && symbol::canonical(w->data2) == symbol::canonical(sym);
}

// Appends a cell to the list block (the node is reachable from the value's
// auxiliary block, which the caller keeps alive).
void append_entry(uint32_t list, const Cell& entry) {
  Cell block{TYPE_BLOCK, 0, list, 0};
  *alloc_tail(&block) = entry;
}

inline bool builtin_q(const Cell* fn) { return TYPE_OF(fn) == TYPE_NATIVE || TYPE_OF(fn) == TYPE_ACTION; }

// The argument list of a spec. Refinement entries carry in word 3 their
// ordinal from 1 (natives, actions) or their slot: the index of their word in
// the function's context, which is their cell's offset from the call's base
// (functions, routines).
uint32_t build_argument_list(const Cell* fn) {
  uint32_t spec = native::spec_node(fn);
  uint32_t aux = native::aux_node(fn);
  bool builtin = builtin_q(fn);
  uint32_t list = alloc_cells(series_length(spec) + 2);
  // Rooted from here on: the auxiliary block is reachable through fn.
  series_head_cell(aux)[native::kAuxArgumentList] = Cell{TYPE_BLOCK, 0, list, 0};

  uint32_t refinements = 0;
  uint32_t slot = 0;
  int32_t locals = -1;  // entries from /local on, -1 while not seen
  for (uint32_t i = 0; i < series_length(spec); ++i) {
    Cell v = series_head_cell(spec)[i];
    uint32_t t = TYPE_OF(&v);
    if (locals >= 0 && t != TYPE_SET_WORD) {
      if (t == TYPE_WORD || t == TYPE_GET_WORD || t == TYPE_LIT_WORD || t == TYPE_REFINEMENT) ++locals;
      continue;
    }
    auto type_block_after = [&](uint32_t kind) {
      TypeBits bits;
      bool typed = false;
      if (i + 1 < series_length(spec)) {
        Cell next = series_head_cell(spec)[i + 1];
        if (TYPE_OF(&next) == TYPE_BLOCK && series_length(next.data2) > next.data1) {
          bits = typeset_from_block(next.data2);
          typed = true;
        }
      }
      if (!typed) bits = default_typeset();
      append_entry(list, bits.cell(kind));
    };
    switch (t) {
      case TYPE_WORD:
        type_block_after(kArgEvaluated);
        ++slot;
        break;
      case TYPE_GET_WORD:
        type_block_after(kArgLiteral);
        ++slot;
        break;
      case TYPE_LIT_WORD:
        type_block_after(kArgQuoted);
        ++slot;
        break;
      case TYPE_SET_WORD:
        if (!is_word(&v, words::SYM_RETURN)) fire(ErrorCategory::kScript, "bad-func-def", v);
        if (locals >= 0) {
          append_entry(list, Cell{TYPE_INTEGER, 0, static_cast<uint32_t>(locals), 0});
          locals = -2;  // counted; later words are not arguments either
        }
        type_block_after(kArgReturn);
        break;
      case TYPE_REFINEMENT:
        if (locals == -1 && is_word(&v, words::REF_LOCAL)) {
          locals = 1;
          break;
        }
        ++refinements;
        v.header &= ~kFlagNewLine;
        v.data3 = builtin ? refinements : slot;
        ++slot;
        append_entry(list, v);
        break;
      default:
        break;  // doc strings, type blocks, attributes
    }
  }
  if (locals > 0) append_entry(list, Cell{TYPE_INTEGER, 0, static_cast<uint32_t>(locals), 0});
  if (builtin && refinements > 0) append_entry(list, Cell{TYPE_INTEGER, 0, refinements, 0});
  return list;
}

// The word of argument entry `entry` of the list, for error reports: the
// spec is walked again (errors only).
Cell argument_word(const Cell* fn, uint32_t list, uint32_t entry) {
  uint32_t k = 0;
  for (uint32_t i = 0; i < entry; ++i) {
    const Cell* e = series_head_cell(list) + i;
    if (TYPE_OF(e) == TYPE_TYPESET && arg_kind(e) != kArgReturn) ++k;
  }
  uint32_t spec = native::spec_node(fn);
  for (uint32_t i = 0, seen = 0; i < series_length(spec); ++i) {
    Cell v = series_head_cell(spec)[i];
    uint32_t t = TYPE_OF(&v);
    if (t == TYPE_REFINEMENT && is_word(&v, words::REF_LOCAL)) break;
    if (t != TYPE_WORD && t != TYPE_GET_WORD && t != TYPE_LIT_WORD) continue;
    if (seen++ == k) {
      v.header = TYPE_WORD;
      return v;
    }
  }
  return Cell{TYPE_NONE, 0, 0, 0};
}

// ---------------------------------------------------------------------------
// The native stack.

// The lowest address the native stack may reach; the highest address until
// it is known, so that the first check takes the slow path and computes it.
thread_local uintptr_t t_stack_limit = UINTPTR_MAX;

[[gnu::noinline]] void compute_stack_limit() {
  pthread_attr_t attr;
  void* low = nullptr;
  size_t size = 0;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
  }
  uintptr_t limit = reinterpret_cast<uintptr_t>(low) + kNativeStackReserve;
  // Without a usable answer: 1 MiB below here, the least any thread has.
  char here;
  uintptr_t h = reinterpret_cast<uintptr_t>(&here);
  if (low == nullptr || size <= kNativeStackReserve || limit >= h) limit = h > (size_t{1} << 20) ? h - (size_t{1} << 20) : 1;
  t_stack_limit = limit;
}

// The first check of a thread computes the limit; any other is an overflow.
[[gnu::noinline, gnu::cold]] void stack_limit_reached() {
  if (t_stack_limit == UINTPTR_MAX) {
    compute_stack_limit();
    return;
  }
  fire(ErrorCategory::kInternal, "stack-overflow");
}

inline void check_stack() {
  char here;
  if (reinterpret_cast<uintptr_t>(&here) < t_stack_limit) [[unlikely]] stack_limit_reached();
}

// ---------------------------------------------------------------------------
// Calls.

// The function's argument list, built on its first call and kept in its
// auxiliary block.
[[gnu::always_inline]] inline uint32_t cached_argument_list(const Cell* fn) {
  const Cell* cached = series_head_cell(native::aux_node(fn)) + native::kAuxArgumentList;
  if (TYPE_OF(cached) == TYPE_BLOCK) [[likely]] return cached->data2;
  return build_argument_list(fn);
}

struct CallSite {
  const Cell* code;      // the code the arguments come from (the block of apply)
  const Cell* name;      // the word that named the call (its frame name), never null
  const Cell* path;      // the path the call came from, or null
  uint32_t path_pos;     // the path's first refinement element
  uint32_t mode = kApplyNone;
};

uint32_t evaluate_path(const Cell* path, const Cell* code, uint32_t pos, bool set, bool get, const Cell* new_value);
uint32_t evaluate_call(const Cell& fn_value, const CallSite& site, uint32_t pos, bool infix);

Cell name_or_path(const CallSite& site) { return site.path ? *site.path : *site.name; }

[[noreturn]] void expect_arg(const CallSite& site, const Cell* fn, uint32_t list, uint32_t entry, const Cell* value) {
  Cell name = *site.name;
  Cell word = argument_word(fn, list, entry);
  fire(ErrorCategory::kScript, "expect-arg", name, datatype_of(value), word);
}

void check_argument(const CallSite& site, const Cell* fn, uint32_t list, uint32_t entry) {
  const Cell* value = stack::last_pushed();
  Cell typeset = series_head_cell(list)[entry];
  if (!typeset_admits(&typeset, TYPE_OF(value))) expect_arg(site, fn, list, entry, value);
}

// Fetches one argument from the code and pushes it.
uint32_t fetch_argument(const CallSite& site, const Cell* fn, uint32_t list, uint32_t entry, uint32_t pos,
                        bool no_infix) {
  Cell typeset = series_head_cell(list)[entry];
  uint32_t kind = arg_kind(&typeset);
  if (pos >= tail_of(site.code)) {
    if (kind == kArgQuoted && typeset_admits(&typeset, TYPE_UNSET)) {
      stack::push_new_cell();
      return pos;
    }
    Cell name = *site.name;
    fire(ErrorCategory::kScript, "no-arg", name, argument_word(fn, list, entry));
  }
  switch (kind) {
    case kArgLiteral: {
      Cell v = read_at(site.code, pos);
      trace::event(trace::EV_FETCH, site.code, pos, &v);
      stack::push_copy(&v);
      trace::event(trace::EV_PUSH, site.code, pos, &v);
      return pos + 1;
    }
    case kArgQuoted: {
      Cell v = read_at(site.code, pos);
      trace::event(trace::EV_FETCH, site.code, pos, &v);
      switch (TYPE_OF(&v)) {
        case TYPE_PAREN: {
          stack::FrameGuard guard;
          stack::open_interp_call_frame(word_cell(words::WORD_ANON));
          evaluate_block(&v, true);
          stack::pop_frame();
          break;
        }
        case TYPE_GET_WORD:
          stack::push_copy(_context::get_word(&v));
          break;
        case TYPE_GET_PATH:
          return evaluate_path(&v, site.code, pos + 1, false, true, nullptr);
        default:
          stack::push_copy(&v);
          break;
      }
      trace::event(trace::EV_PUSH, site.code, pos, stack::last_pushed());
      return pos + 1;
    }
    default:
      return evaluate_expression(site.code, pos, no_infix, true, false);
  }
}

// Skips one argument without evaluating it (apply/safer).
uint32_t skip_argument(const CallSite& site, uint32_t pos) { return pos < tail_of(site.code) ? pos + 1 : pos; }

// Finds the refinement entry for a word: its index in the list, or -1.
int32_t find_refinement(uint32_t list, const Cell* word) {
  uint32_t n = series_length(list);
  for (uint32_t i = 0; i < n; ++i) {
    const Cell* e = series_head_cell(list) + i;
    if (TYPE_OF(e) == TYPE_REFINEMENT && same_symbol(e, word)) return static_cast<int32_t>(i);
  }
  return -1;
}

// Reads the logic! that says whether a refinement is used (apply modes).
bool read_refinement_flag(const CallSite& site, const Cell* refinement, uint32_t* pos) {
  if (*pos >= tail_of(site.code)) return false;
  *pos = evaluate_expression(site.code, *pos, false, true, false);
  Cell flag = *stack::last_pushed();
  stack::drop_cells(1);
  if (TYPE_OF(&flag) != TYPE_LOGIC) {
    Cell name = *site.name;
    Cell word = *refinement;
    word.header = TYPE_WORD;
    fire(ErrorCategory::kScript, "expect-arg", name, datatype_of(&flag), word);
  }
  return flag.data1 != 0;
}

// The state of one argument fetch.
struct Fetch {
  const CallSite& site;
  uint32_t fn_slot;  // the function cell's stack index (just below the frame)
  uint32_t list;
  bool builtin;
  std::array<int32_t, kMaxRefinements> refs;
  uint32_t fetched = 0;  // the arguments pushed so far (natives' positions)
  std::vector<uint32_t> seen;  // refinements met through the path or block

  Fetch(const CallSite& s, uint32_t slot, uint32_t l, bool b) : site(s), fn_slot(slot), list(l), builtin(b) {
    std::memset(refs.data(), 0xFF, sizeof refs);  // every entry -1: unused
  }
  const Cell* fn() const { return stack::at(fn_slot); }

  // A refinement met through a path or an apply block: a second use of the
  // same refinement raises dup-refine; used is what the element says. Its
  // arguments are fetched in order (evaluated even when unused, unless
  // safer) and stored in their slots when it is used.
  void use_refinement(int32_t at, bool used, uint32_t* pos, bool from_block, bool safer) {
    Cell e = series_head_cell(list)[at];
    for (uint32_t s : seen) {
      if (s == e.data3) {
        Cell p = name_or_path(site);
        fire(ErrorCategory::kScript, "dup-refine", p);
      }
    }
    seen.push_back(e.data3);
    uint32_t base = stack::base_index();
    if (builtin) {
      uint32_t ordinal = e.data3;
      if (ordinal == 0 || ordinal > kMaxRefinements) fire(ErrorCategory::kInternal, "limit-hit", "refinements");
      if (used) refs[ordinal - 1] = static_cast<int32_t>(fetched);
    } else if (used) {
      *stack::at(base + e.data3) = Cell{TYPE_LOGIC, 1, 0, 0};
    }
    uint32_t count = 0;
    for (uint32_t j = static_cast<uint32_t>(at) + 1; j < series_length(list); ++j) {
      Cell a = series_head_cell(list)[j];
      if (TYPE_OF(&a) != TYPE_TYPESET || arg_kind(&a) == kArgReturn) break;
      ++count;
      if (!used && safer) {
        *pos = skip_argument(site, *pos);
        continue;
      }
      if (from_block && *pos >= tail_of(site.code)) {
        stack::push_copy(&kNoneCell);
      } else {
        *pos = fetch_argument(site, fn(), list, j, *pos, false);
        check_argument(site, fn(), list, j);
      }
      if (used && !builtin) {
        copy_cell(stack::last_pushed(), stack::at(base + e.data3 + count));
        stack::drop_cells(1);
      } else if (used) {
        ++fetched;
      } else {
        stack::drop_cells(1);  // evaluated for its effects, then dropped
      }
    }
  }

  static constexpr Cell kNoneCell{TYPE_NONE, 0, 0, 0};
};

// Reports the call to the tracer, then calls a native or action entry with
// the refinement positions, or pushes a function's locals.
[[gnu::always_inline]] inline void finish_fetch(const CallSite& site, uint32_t fn_slot, uint32_t pos, const int32_t* refs,
                                              int32_t locals) {
  if (trace::on()) {
    Cell fn_value = *stack::at(fn_slot);
    Cell ref = name_or_path(site);
    trace::event(trace::EV_CALL, site.code, pos, &fn_value, &ref);
  }
  Cell fn_value = *stack::at(fn_slot);
  switch (TYPE_OF(&fn_value)) {
    case TYPE_NATIVE:
      // The arguments are fetched: from here on if, unless and either only
      // evaluate their block, so their frame may let a departure pass.
      if (passes_return_q(&fn_value)) mark_passes_return();
      call_native(native::entry_index(&fn_value), 0, refs);
      break;
    case TYPE_ACTION: {
      uint32_t index = native::entry_index(&fn_value);
      ActionEntry entry = index <= kActionCount ? action_table[index] : nullptr;
      if (!entry) fire(ErrorCategory::kInternal, "not-done");
      entry(refs);
      break;
    }
    default:
      if (locals > 0) function::init_locals(locals);
      break;
  }
}

// Every refinement unused: the positions a native or action gets.
constexpr std::array<int32_t, kMaxRefinements> kNoRefinements = [] {
  std::array<int32_t, kMaxRefinements> a{};
  for (int32_t& r : a) r = -1;
  return a;
}();

uint32_t fetch_arguments_full(const CallSite& site, uint32_t fn_slot, uint32_t pos, bool infix, uint32_t pushed);

struct ValuesCache;
template <bool kCached>
[[gnu::always_inline]] inline uint32_t number_prefix(const Cell* code, uint32_t pos, Cell* result, bool* complete, ValuesCache* values);
uint32_t infix_after(const Cell* code, uint32_t pos);

// One evaluated argument, tracing off and pos before the tail of the code
// whose cells and tail the caller holds: pushes its value and answers the
// position after it. The cheap cases first, each giving what
// evaluate_expression gives: a block, string or number written in the code
// with no operator after it that could take it (no word follows, or none
// may) is pushed as it is; a word whose value is a number starts a number
// chain (n - 1), computed at once, the operators the fast start declined
// running as calls; a word whose value is no number, function, operator or
// unset!, with no word after it, is pushed as evaluate_value pushes it.
// Anything else is evaluated. *ran is set when code ran: the buffers may
// have moved, and the caller takes its addresses again.
[[gnu::always_inline]] inline uint32_t fetch_evaluated(const Cell* code, uint32_t pos, bool infix, const Cell* cells,
                                                       uint32_t tail, bool* ran) {
  const Cell* c = cells + pos;
  const uint32_t t = TYPE_OF(c);
  const bool alone = pos + 1 >= tail || TYPE_OF(c + 1) != TYPE_WORD;
  if ((t == TYPE_BLOCK || t == TYPE_INTEGER || t == TYPE_FLOAT || t == TYPE_STRING) && (infix || alone)) {
    stack::push_copy(c);
    return pos + 1;
  }
  if (t == TYPE_WORD) {
    Cell prefix;
    bool complete = false;
    uint32_t after = infix ? 0 : number_prefix<false>(code, pos, &prefix, &complete, nullptr);
    if (after) {
      stack::push_copy(&prefix);
      // Only a word can be an operator.
      if (complete || after >= tail || TYPE_OF(cells + after) != TYPE_WORD) return after;
      *ran = true;
      return infix_after(code, after);
    }
    const Cell* value = c->data1 != 0 && c->data3 != kUnresolved ? _context::value_at(c->data1, c->data3) : nullptr;
    if (value && alone && plain_value_q(TYPE_OF(value))) {
      stack::push_copy(value);
      return pos + 1;
    }
  }
  *ran = true;
  return evaluate_expression(code, pos, infix, true, false);
}

// Fetches the arguments of a call (the frame is open, the function cell sits
// at fn_slot just below its base), then calls a native or action entry, or
// pushes a function's locals. In infix position the left operand is already
// the first argument.
//
// The common call (no apply mode, no path, nothing pushed by the caller)
// walks the list once: its mandatory arguments, then the unused refinements
// and their arguments (none! and false for a function, nothing for a native).
uint32_t fetch_arguments(const CallSite& site, uint32_t fn_slot, uint32_t pos, bool infix, uint32_t pushed = 0) {
  if (site.mode != kApplyNone || site.path || pushed) [[unlikely]]
    return fetch_arguments_full(site, fn_slot, pos, infix, pushed);
  uint32_t list = cached_argument_list(stack::at(fn_slot));
  uint32_t fetched = 0;
  uint32_t i = 0;
  // The list is built once and never changes, and the code changes only when
  // code runs; but both buffers may move whenever anything allocates. So the
  // addresses below are taken again after every argument that was evaluated
  // as an expression, and kept over the ones pushed or computed in place.
  const SeriesBuffer* lb = node_buffer(list);
  const uint32_t entries = lb->used_bytes() >> 4;
  const Cell* e = reinterpret_cast<const Cell*>(lb->data() + lb->head);
  const SeriesBuffer* cb = node_buffer(site.code->data2);
  uint32_t tail = cb->used_bytes() >> 4;
  const Cell* cells = reinterpret_cast<const Cell*>(cb->data() + cb->head);
  auto again = [&] {
    lb = node_buffer(list);
    e = reinterpret_cast<const Cell*>(lb->data() + lb->head) + i;
    cb = node_buffer(site.code->data2);
    tail = cb->used_bytes() >> 4;
    cells = reinterpret_cast<const Cell*>(cb->data() + cb->head);
  };
  for (; i < entries; ++i, ++e) {
    if (TYPE_OF(e) != TYPE_TYPESET) break;
    uint32_t kind = arg_kind(e);
    if (kind == kArgReturn) continue;
    if (infix && fetched == 0) {
      check_argument(site, stack::at(fn_slot), list, i);
    } else if (kind == kArgEvaluated && pos < tail && !trace::on()) {
      bool ran = false;
      pos = fetch_evaluated(site.code, pos, infix, cells, tail, &ran);
      if (ran) again();
      if (!typeset_admits(e, stack::top_type())) expect_arg(site, stack::at(fn_slot), list, i, stack::last_pushed());
    } else {
      pos = fetch_argument(site, stack::at(fn_slot), list, i, pos, infix);
      again();
      check_argument(site, stack::at(fn_slot), list, i);
    }
    ++fetched;
  }
  int32_t locals = 0;
  if (!builtin_q(stack::at(fn_slot))) {
    for (; i < entries; ++i) {
      Cell e = series_head_cell(list)[i];
      switch (TYPE_OF(&e)) {
        case TYPE_TYPESET:
          if (arg_kind(&e) != kArgReturn) stack::push_copy(&Fetch::kNoneCell);
          break;
        case TYPE_REFINEMENT: {
          Cell flag{TYPE_LOGIC, 0, 0, 0};
          stack::push_copy(&flag);
          break;
        }
        case TYPE_INTEGER:
          if (locals == 0) locals = static_cast<int32_t>(e.data2);
          break;
        default:
          break;
      }
    }
  }
  finish_fetch(site, fn_slot, pos, kNoRefinements.data(), locals);
  return pos;
}

// Every other call: apply modes, refinements named by a path, operands
// pushed by the caller.
uint32_t fetch_arguments_full(const CallSite& site, uint32_t fn_slot, uint32_t pos, bool infix, uint32_t pushed) {
  uint32_t list = cached_argument_list(stack::at(fn_slot));
  Fetch f(site, fn_slot, list, builtin_q(stack::at(fn_slot)));
  uint32_t mode = site.mode;
  bool all = mode & kApplyAll;
  bool safer = mode & kApplySafer;
  bool active = true;
  int32_t locals = 0;
  // The list is built once and never changes; its buffer may move.
  uint32_t entries = series_length(list);
  for (uint32_t i = 0; i < entries; ++i) {
    Cell e = series_head_cell(list)[i];
    switch (TYPE_OF(&e)) {
      case TYPE_TYPESET:
        if (arg_kind(&e) == kArgReturn) break;
        if (!active) {
          // The argument of an unused refinement: in apply/all the block
          // still holds it.
          if (all) {
            if (safer) {
              pos = skip_argument(site, pos);
            } else if (pos < tail_of(site.code)) {
              pos = fetch_argument(site, f.fn(), list, i, pos, false);
              stack::drop_cells(1);
            }
          }
          if (!f.builtin) stack::push_copy(&Fetch::kNoneCell);
          break;
        }
        if (f.fetched < pushed) {
          // Pushed by the caller already (an operator's operands): checked
          // where they lie.
          const Cell* value = stack::at(stack::base_index() + f.fetched);
          if (!typeset_admits(&e, TYPE_OF(value))) expect_arg(site, f.fn(), list, i, value);
        } else if (mode && pos >= tail_of(site.code)) {
          stack::push_copy(&Fetch::kNoneCell);
        } else if (infix && f.fetched == 0) {
          check_argument(site, f.fn(), list, i);
        } else if (arg_kind(&e) == kArgEvaluated && pos < tail_of(site.code)) {
          // The common argument, fetched and checked here against the
          // entry read above.
          pos = evaluate_expression(site.code, pos, infix, true, false);
          if (!typeset_admits(&e, stack::top_type())) expect_arg(site, f.fn(), list, i, stack::last_pushed());
        } else {
          pos = fetch_argument(site, f.fn(), list, i, pos, infix);
          check_argument(site, f.fn(), list, i);
        }
        ++f.fetched;
        break;
      case TYPE_REFINEMENT: {
        bool used = all && read_refinement_flag(site, &e, &pos);
        if (f.builtin) {
          if (used) f.refs[e.data3 - 1] = static_cast<int32_t>(f.fetched);
        } else {
          Cell flag{TYPE_LOGIC, used ? 1u : 0u, 0, 0};
          stack::push_copy(&flag);
        }
        active = used;
        break;
      }
      case TYPE_INTEGER:
        if (!f.builtin && locals == 0) locals = static_cast<int32_t>(e.data2);
        break;
      default:
        break;
    }
  }

  if (site.path) {
    uint32_t path_node = site.path->data2;
    uint32_t head = site.path->data1;
    for (uint32_t k = head + site.path_pos; k < series_length(path_node); ++k) {
      Cell element = series_head_cell(path_node)[k];
      bool used;
      if (TYPE_OF(&element) == TYPE_WORD) {
        used = true;
      } else if (TYPE_OF(&element) == TYPE_GET_WORD) {
        used = !logic::falsy(_context::get_word(&element));
      } else {
        fire(ErrorCategory::kScript, "bad-refine", element);
      }
      int32_t at = find_refinement(list, &element);
      if (at < 0) {
        Cell name = *site.name;
        fire(ErrorCategory::kScript, "no-refine", name, element);
      }
      f.use_refinement(at, used, &pos, mode != 0, false);
    }
  }

  if (mode & kApplyRefinements) {
    // refinement! values, each followed by a logic! and its arguments.
    bool any = false;
    for (uint32_t i = 0; i < series_length(list) && !any; ++i) any = TYPE_OF(series_head_cell(list) + i) == TYPE_REFINEMENT;
    while (any && pos < tail_of(site.code)) {
      Cell element = read_at(site.code, pos);
      if (TYPE_OF(&element) != TYPE_REFINEMENT) fire(ErrorCategory::kScript, "bad-refine", element);
      ++pos;
      int32_t at = find_refinement(list, &element);
      if (at < 0) {
        Cell name = *site.name;
        fire(ErrorCategory::kScript, "no-refine", name, element);
      }
      bool used = read_refinement_flag(site, &element, &pos);
      f.use_refinement(at, used, &pos, true, safer);
    }
  }

  finish_fetch(site, fn_slot, pos, f.refs.data(), locals);
  return pos;
}

// Runs a routine whose arguments are pushed (its frame is open).
void invoke_routine(const Cell* fn) {
  Cell r = *fn;
  int32_t index = 0;
  Cell entry_cell = *function::aux_cell(&r, function::kAuxNative);
  if (TYPE_OF(&entry_cell) == TYPE_INTEGER) index = static_cast<int32_t>(entry_cell.data2);
  routine::Entry entry = routine::entry_at(index);
  if (!entry) fire(ErrorCategory::kInternal, "routines");
  if (r.header & routine::kFlagRoutine) {
    entry();
    return;
  }
  // Each argument against the type its spec names; the result made from
  // the declared return type.
  uint32_t spec = function::spec_node(&r);
  uint32_t arg = 0;
  uint32_t result_type = 0;
  for (uint32_t i = 0; i < series_length(spec); ++i) {
    Cell v = series_head_cell(spec)[i];
    uint32_t t = TYPE_OF(&v);
    if (t == TYPE_REFINEMENT) break;
    if (t != TYPE_WORD && t != TYPE_SET_WORD) continue;
    uint32_t type = 0;
    if (i + 1 < series_length(spec) && TYPE_OF(series_head_cell(spec) + i + 1) == TYPE_BLOCK) {
      Cell types = series_head_cell(spec)[i + 1];
      Cell first = series_length(types.data2) > types.data1 ? series_head_cell(types.data2)[types.data1]
                                                            : Cell{TYPE_NONE, 0, 0, 0};
      Cell value = TYPE_OF(&first) == TYPE_WORD && first.data1 ? *_context::get_word(&first) : first;
      if (TYPE_OF(&value) == TYPE_DATATYPE) {
        type = value.data1;
      } else if (TYPE_OF(&value) == TYPE_TYPESET && t == TYPE_WORD) {
        Cell* a = stack::arguments() + arg;
        if (!typeset_admits(&value, TYPE_OF(a))) {
          Cell name = *_context::self_cell(function::context_node(&r));
          Cell w = v;
          w.header = TYPE_WORD;
          Cell at = *a;
          stack::calling_word(&name);
          fire(ErrorCategory::kScript, "expect-arg", name, datatype_of(&at), w);
        }
        ++arg;
        continue;
      } else {
        fire(ErrorCategory::kScript, "invalid-type-spec", first);
      }
    }
    if (t == TYPE_SET_WORD) {
      result_type = type;
      continue;
    }
    Cell* a = stack::arguments() + arg;
    if (type != 0 && TYPE_OF(a) != type) {
      Cell name;
      stack::calling_word(&name);
      Cell w = v;
      w.header = TYPE_WORD;
      Cell at = *a;
      fire(ErrorCategory::kScript, "expect-arg", name, datatype_of(&at), w);
    }
    ++arg;
  }
  entry();
  Cell* result = stack::arguments();
  switch (result_type) {
    case TYPE_LOGIC:
      if (TYPE_OF(result) == TYPE_INTEGER) *result = Cell{TYPE_LOGIC, result->data2 != 0 ? 1u : 0u, 0, 0};
      break;
    case TYPE_INTEGER:
      if (TYPE_OF(result) == TYPE_LOGIC) *result = Cell{TYPE_INTEGER, 0, result->data1 ? 1u : 0u, 0};
      break;
    case TYPE_FLOAT:
      if (TYPE_OF(result) == TYPE_INTEGER) {
        double d = static_cast<int32_t>(result->data2);
        *result = Cell{TYPE_FLOAT, 0, 0, 0};
        set_cell_float(result, d);
      }
      break;
    default:
      break;
  }
}

// Runs the body of the function whose frame is the top frame; the result is
// left in the frame's base cell.
[[gnu::always_inline]] inline void run_function_body(const Cell* fn, const Cell* name) {
  Cell f = *fn;
  uint32_t ctx = function::context_node(&f);
  uint32_t frame = stack::frame_count() - 1;
  // The arguments and locals live on the stack from the base on, one cell
  // for each word of the context: the cells pushed are the values, and no
  // word reaches past them.
  stack::start_function_body(ctx);

  bool trace_on = trace::on();
  if (trace::active() && (f.header & function::kFlagTrace)) trace_on = true;
  if (f.header & function::kFlagNoTrace) trace_on = false;
  trace::Scope tracing(trace_on);

  Cell body = series_head_cell(function::aux_node(&f))[function::kAuxBody];
  trace::event(trace::EV_PROLOG, &body, -1, &f, name);
  // A return aimed at this frame ends here, however the body is left.
  struct PendingEnd {
    uint32_t frame;
    ~PendingEnd() {
      if (g_pending && g_pending_target == frame) g_pending = 0;
    }
  } pending_end{frame};
  if (TYPE_OF(&body) == TYPE_BLOCK) {
    try {
      evaluate_block_in(&body, true, true);
    } catch (const stack::NonLocalExit& e) {
      // return and exit aimed at this frame end here, their value in the
      // base cell; everything else goes on unwinding.
      bool ours = (e.code == stack::THROW_RETURN || e.code == stack::THROW_EXIT) && stack::frame_count() == frame + 1;
      if (!ours) throw;
    }
    if (g_pending && g_pending_target == frame) {
      g_pending = 0;
      stack::set_only_result(&g_pending_value);
      g_pending_value = Cell{TYPE_UNSET, 0, 0, 0};
    }
  } else {
    Cell unset{TYPE_UNSET, 0, 0, 0};
    stack::set_only_result(&unset);
  }
  trace::event(trace::EV_EPILOG, &body, -1, &f, name);
  stack::keep_first();
}

uint32_t call_branch_native(const CallSite& site, uint32_t fn_slot, uint32_t pos);

// Calls a function value: pushes exactly one cell, its result. In infix
// position the left operand (the last pushed cell) becomes the first
// argument and the result takes its place.
uint32_t evaluate_call(const Cell& fn_value, const CallSite& site, uint32_t pos, bool infix) {
  check_stack();
  uint32_t t = TYPE_OF(&fn_value);
  if (trace::on()) trace::event(trace::EV_OPEN, site.code, static_cast<int64_t>(pos) - 1, site.name);
  Cell left{TYPE_UNSET, 0, 0, 0};
  if (infix) {
    left = *stack::last_pushed();
    stack::drop_cells(1);
  }
  uint32_t slot = stack::top_index();
  // The function cell stays on the stack during the call so that its spec,
  // body and argument list live even when its word is set to something else
  // meanwhile.
  Cell fn = fn_value;
  fn.header &= ~kFlagNewLine;
  stack::push_copy(&fn);
  {
    stack::FrameGuard guard;
    switch (t) {
      case TYPE_FUNCTION:
        // Opened as a call frame while the arguments are fetched (a return
        // met there leaves the enclosing function), turned into a function
        // frame when the body starts.
        stack::open_interp_fetch_frame(site.name, function::context_node(&fn_value));
        if (infix) stack::push_copy(&left);
        pos = fetch_arguments(site, slot, pos, infix);
        run_function_body(stack::at(slot), site.name);
        stack::pop_body_frame();
        break;
      case TYPE_ROUTINE:
        stack::open_interp_call_frame(site.name);
        if (infix) stack::push_copy(&left);
        pos = fetch_arguments(site, slot, pos, infix);
        invoke_routine(stack::at(slot));
        stack::pop_frame();
        break;
      case TYPE_NATIVE:
      case TYPE_ACTION:
        stack::open_interp_call_frame(site.name);
        if (!infix && passes_return_q(&fn_value)) {
          pos = call_branch_native(site, slot, pos);
          stack::pop_frame();
          break;
        }
        if (infix) stack::push_copy(&left);
        pos = fetch_arguments(site, slot, pos, infix);
        stack::pop_frame();
        break;
      default:
        fatal_runtime_error(101);
    }
  }
  // The result (the frame's base cell, just above the function) takes the
  // function cell's place.
  *stack::at(slot) = *stack::at(slot + 1);
  stack::drop_cells(1);
  if (trace::on()) {
    Cell ref = name_or_path(site);
    trace::event(trace::EV_RETURN, site.code, pos, stack::at(slot), &ref);
  }
  return pos;
}

// The function an op! calls: the cell retyped to the wrapped type.
Cell op_target(const Cell* op) {
  Cell fn = *op;
  set_type(&fn, op_source_type(&fn));
  fn.header &= ~kFlagOpTypeMask;
  return fn;
}

// ---------------------------------------------------------------------------
// Operator fast paths: while tracing is off, an operator on integer! and
// float! operands that cannot raise is computed here, without a call frame,
// argument list or action dispatch. Every answer is the one the action or
// native would give (the same integer and float routines do the work); any
// other case (other types, a zero divisor, NaN in an ordering, an operand
// that needs evaluating) takes the ordinary call.

enum FastKind { kFastNone, kFastArith, kFastCompare };

// What the function an operator calls is: arithmetic (add subtract multiply
// divide remainder and~ or~ xor~) or a comparison native, with its op code.
[[gnu::always_inline]] inline FastKind fast_operator(const Cell* fn, int32_t* op) {
  if (TYPE_OF(fn) == TYPE_ACTION) {
    switch (native::entry_index(fn)) {
      case ACT_ADD: *op = OP_ADD; return kFastArith;
      case ACT_SUBTRACT: *op = OP_SUBTRACT; return kFastArith;
      case ACT_MULTIPLY: *op = OP_MULTIPLY; return kFastArith;
      case ACT_DIVIDE: *op = OP_DIVIDE; return kFastArith;
      case ACT_REMAINDER: *op = OP_REMAINDER; return kFastArith;
      case ACT_AND_T: *op = OP_AND; return kFastArith;
      case ACT_OR_T: *op = OP_OR; return kFastArith;
      case ACT_XOR_T: *op = OP_XOR; return kFastArith;
      default: return kFastNone;
    }
  }
  if (TYPE_OF(fn) == TYPE_NATIVE) {
    // The comparison natives 25-31 (runtime/eval/natives.cpp).
    static constexpr int32_t kCompareOf[] = {COMP_EQUAL,   COMP_NOT_EQUAL,    COMP_STRICT_EQUAL,  COMP_LESSER,
                                             COMP_GREATER, COMP_LESSER_EQUAL, COMP_GREATER_EQUAL};
    uint32_t index = native::entry_index(fn);
    if (index >= 25 && index <= 31) {
      *op = kCompareOf[index - 25];
      return kFastCompare;
    }
  }
  return kFastNone;
}

inline bool number_type_q(uint32_t t) { return t == TYPE_INTEGER || t == TYPE_FLOAT; }
inline double number_value(const Cell* c) {
  return TYPE_OF(c) == TYPE_INTEGER ? static_cast<double>(integer::get(c)) : cell_float(c);
}

// Arithmetic on two numbers, as integer! and float! compute it; false when
// the action must run (it would raise).
[[gnu::always_inline]] inline bool fast_arith(int32_t op, const Cell* left, const Cell* right, Cell* out) {
  if (TYPE_OF(left) == TYPE_INTEGER && TYPE_OF(right) == TYPE_INTEGER) {
    int32_t l = integer::get(left), r = integer::get(right);
    if (op <= OP_MULTIPLY) {
      // The exact result in 64 bits; outside 32 bits it is a float!, as
      // integer::do_op makes it.
      int64_t wide = op == OP_ADD ? int64_t{l} + r : op == OP_SUBTRACT ? int64_t{l} - r : int64_t{l} * r;
      if (wide >= INT32_MIN && wide <= INT32_MAX) integer::init_cell(out, static_cast<int32_t>(wide));
      else float_::init_cell(out, static_cast<double>(wide));
      return true;
    }
    if ((op == OP_DIVIDE || op == OP_REMAINDER) && (r == 0 || (r == -1 && l == INT32_MIN))) return false;
    if (op == OP_REMAINDER) {
      // Truncating, the sign of the left operand; it always fits.
      integer::init_cell(out, l % r);
      return true;
    }
    integer::init_cell(out, 0);
    integer::do_op(op, l, r, out);
    return true;
  }
  if (op == OP_AND || op == OP_OR || op == OP_XOR) return false;
  // The four common operators here; float_::do_op computes them alike.
  double l = number_value(left), r = number_value(right), d;
  switch (op) {
    case OP_ADD: d = l + r; break;
    case OP_SUBTRACT: d = l - r; break;
    case OP_MULTIPLY: d = l * r; break;
    case OP_DIVIDE: d = l / r; break;
    default: d = float_::do_op(op, l, r); break;
  }
  float_::init_cell(out, d);
  return true;
}

// A comparison of two numbers, as the comparison natives answer it; false
// when the native must run (an ordering with NaN raises).
[[gnu::always_inline]] inline bool fast_compare(int32_t op, const Cell* left, const Cell* right, Cell* out) {
  bool truth;
  if (TYPE_OF(left) == TYPE_INTEGER && TYPE_OF(right) == TYPE_INTEGER) {
    int32_t l = integer::get(left), r = integer::get(right);
    switch (op) {
      case COMP_EQUAL: case COMP_STRICT_EQUAL: truth = l == r; break;
      case COMP_NOT_EQUAL: truth = l != r; break;
      case COMP_LESSER: truth = l < r; break;
      case COMP_LESSER_EQUAL: truth = l <= r; break;
      case COMP_GREATER: truth = l > r; break;
      default: truth = l >= r; break;
    }
  } else {
    if (std::isnan(number_value(left)) || std::isnan(number_value(right))) return false;
    Cell l = *left, r = *right;
    truth = actions::compare(&l, &r, op);
  }
  out->header = TYPE_LOGIC;
  out->data1 = truth ? 1u : 0u;
  out->data2 = 0;
  out->data3 = 0;
  return true;
}

// An operator whose right operand needs evaluating (a paren), called as
// evaluate_call calls it in infix position: the same frame, the same order
// of checks and evaluation. When both operands are numbers the fast path
// computes the result in place of the action or native; anything else goes
// on through fetch_arguments with both operands already pushed.
[[gnu::noinline]] uint32_t call_fast_operator(const Cell* code, uint32_t pos, Cell fn_value, FastKind kind, int32_t op) {
  Cell word = read_at(code, pos);
  CallSite site{code, &word, nullptr, 0};
  ++pos;
  check_stack();
  Cell left = *stack::last_pushed();
  stack::drop_cells(1);
  uint32_t slot = stack::top_index();
  fn_value.header &= ~kFlagNewLine;
  stack::push_copy(&fn_value);
  {
    stack::FrameGuard guard;
    stack::open_interp_call_frame(site.name);
    stack::push_copy(&left);
    // The first two arguments: the left operand must pass the first's check
    // and the second must be an evaluated one, or the ordinary fetch runs.
    const SeriesBuffer* lb = node_buffer(cached_argument_list(stack::at(slot)));
    const Cell* e = reinterpret_cast<const Cell*>(lb->data() + lb->head);
    const Cell* end = e + (lb->used_bytes() >> 4);
    const Cell* first = nullptr;
    const Cell* second = nullptr;
    for (; e < end && !second; ++e) {
      if (TYPE_OF(e) == TYPE_REFINEMENT) break;
      if (TYPE_OF(e) != TYPE_TYPESET || arg_kind(e) == kArgReturn) continue;
      if (!first) first = e;
      else second = e;
    }
    if (!second || !typeset_admits(first, TYPE_OF(&left)) || arg_kind(second) != kArgEvaluated) {
      pos = fetch_arguments(site, slot, pos, true);
    } else {
      // The paren is evaluated as evaluate_value would (tracing is off: no
      // fetch event), straight into its block frame.
      Cell paren = read_at(site.code, pos);
      if (TYPE_OF(&paren) == TYPE_PAREN) [[likely]] {
        evaluate_block_in(&paren, false, true);
        if (trace::on()) trace::event(trace::EV_PUSH, site.code, pos, stack::last_pushed());
        ++pos;
      } else {
        pos = evaluate_expression(site.code, pos, true, true, false);
      }
      Cell* l = stack::at(stack::base_index());
      const Cell* r = stack::last_pushed();
      if (!pending() && !trace::on() && stack::top_index() == stack::base_index() + 2 && number_type_q(TYPE_OF(r)) &&
          (kind == kFastArith ? fast_arith(op, l, r, l) : fast_compare(op, l, r, l))) {
        stack::drop_cells(1);
      } else {
        pos = fetch_arguments(site, slot, pos, true, 2);
      }
    }
    stack::pop_frame();
  }
  *stack::at(slot) = *stack::at(slot + 1);
  stack::drop_cells(1);
  if (trace::on()) {
    Cell ref = name_or_path(site);
    trace::event(trace::EV_RETURN, site.code, pos, stack::at(slot), &ref);
  }
  return pos;
}

// The number of cells of a code buffer.
inline uint32_t cell_count(const SeriesBuffer* b) { return b->used_bytes() >> 4; }

// The values of the context looked up last, kept while nothing can move
// them or change the context (one run of number_prefix: no allocation, no
// call out): the words of a loop body are mostly of one context. Answers
// what _context::value_at answers.
struct ValuesCache {
  uint32_t ctx = 0;  // none yet (a bound word's context is never 0)
  Cell* base = nullptr;
  uint32_t count = 0;
  bool plain = false;  // setting a value is a plain store (_context::plain_slot)

  [[gnu::always_inline]] const Cell* at(uint32_t c, uint32_t index) {
    if (c != ctx) fill(c);
    return index < count ? base + index : nullptr;
  }

  // What _context::plain_slot answers for a word of the cached context;
  // null for any other word (and when there is no slot).
  [[gnu::always_inline]] Cell* plain_slot(const Cell* word) const {
    if (word->data1 != ctx || ctx == 0 || !plain || word->data3 == kUnresolved) return nullptr;
    return word->data3 < count ? base + word->data3 : nullptr;
  }

  [[gnu::always_inline]] void fill(uint32_t c) {
    ctx = c;
    if (c == _context::detail::g_global_node) {
      // The global context: no object's, values in its series.
      plain = true;
      SeriesBuffer* values = reinterpret_cast<SeriesBuffer*>(*_context::detail::g_global_values_slot);
      count = values->used_bytes() >> 4;
      base = values->head_cell();
      return;
    }
    base = nullptr;
    count = 0;
    const Cell* rec = series_head_cell(c);  // the record
    plain = !(rec->header & kFlagObjectContext) || (rec->header & kFlagContextOnStack);
    if (rec->data2 == 0) return;
    if (rec->header & kFlagContextOnStack) {
      if (rec->data2 >= stack::kArgumentStackCells) return;
      uint32_t room = stack::kArgumentStackCells - rec->data2;
      count = rec->data3 < room ? rec->data3 : room;
      base = stack::at(rec->data2);
      return;
    }
    SeriesBuffer* values = node_buffer(rec->data2);
    count = values->used_bytes() >> 4;
    base = values->head_cell();
  }
};

// The value of a bound word, through the cache when there is one.
[[gnu::always_inline]] inline const Cell* bound_value(const Cell* w, ValuesCache* cache) {
  return cache ? cache->at(w->data1, w->data3) : _context::value_at(w->data1, w->data3);
}

// A number written in the code, or the number a bound word has for value.
[[gnu::always_inline]] inline const Cell* number_operand(const Cell* c, ValuesCache* cache = nullptr) {
  if (TYPE_OF(c) == TYPE_WORD) {
    c = c->data1 != 0 && c->data3 != kUnresolved ? bound_value(c, cache) : nullptr;
    if (!c) return nullptr;
  }
  return number_type_q(TYPE_OF(c)) ? c : nullptr;
}

// The op! value of a word of the code, or null. Only a word that has a
// value now can name an operator; looking at any other word must not raise.
[[gnu::always_inline]] inline const Cell* op_value(const Cell* w, ValuesCache* cache = nullptr) {
  if (TYPE_OF(w) != TYPE_WORD || w->data1 == 0 || w->data3 == kUnresolved) return nullptr;
  const Cell* value = bound_value(w, cache);  // nullptr without values
  return value && TYPE_OF(value) == TYPE_OP ? value : nullptr;
}

// Applies the operators that follow an expression whose value was pushed.
// The code's buffer is looked up once per operator; nothing between that
// and the fast path's store can move it.
[[gnu::always_inline]] inline uint32_t apply_infix(const Cell* code, uint32_t pos, uint32_t* seen_tail = nullptr) {
  for (;;) {
    const SeriesBuffer* b = node_buffer(code->data2);
    uint32_t tail = cell_count(b);
    if (seen_tail) *seen_tail = tail;
    if (pos >= tail) break;
    const Cell* cells = reinterpret_cast<const Cell*>(b->data() + b->head);
    const Cell* w = cells + pos;
    const Cell* value = op_value(w);
    if (!value) break;
    Cell fn = op_target(value);
    if (!trace::on() && pos + 1 < tail) {
      int32_t op;
      FastKind kind = fast_operator(&fn, &op);
      Cell* left = stack::last_pushed();
      if (kind != kFastNone && number_type_q(TYPE_OF(left))) {
        // The right operand when it needs no evaluation: a number written
        // in the code, or a bound word whose value is a number.
        if (const Cell* r = number_operand(cells + pos + 1)) {
          // The result goes straight over the left operand: both operands
          // are read before it is written, and nothing is written when the
          // fast path declines.
          Cell right = *r;
          if (kind == kFastArith ? fast_arith(op, left, &right, left) : fast_compare(op, left, &right, left)) {
            pos += 2;
            continue;
          }
        } else if (TYPE_OF(cells + pos + 1) == TYPE_PAREN) [[unlikely]] {
          pos = call_fast_operator(code, pos, fn, kind, op);
          continue;
        }
      }
    }
    Cell word = *w;
    trace::event(trace::EV_FETCH, code, pos, &word);
    CallSite site{code, &word, nullptr, 0};
    pos = evaluate_call(fn, site, pos + 1, true);
  }
  return pos;
}

// The operators after a pushed value, out of line.
[[gnu::noinline]] uint32_t infix_after(const Cell* code, uint32_t pos) { return apply_infix(code, pos); }

// ---------------------------------------------------------------------------
// Paths.

bool path_function_q(const Cell* v) { return callable_q(TYPE_OF(v)); }

// After a call a path ended in: the result (last pushed) takes the path's
// place at slot.
uint32_t end_path_call(uint32_t slot, uint32_t tail, uint32_t pos) {
  if (trace::on()) {
    Cell path = *stack::at(slot);
    trace::event(trace::EV_EXIT, &path, tail, stack::last_pushed());
  }
  copy_cell(stack::last_pushed(), stack::at(slot));
  stack::drop_cells(1);
  return pos;
}

// Types whose whole value lives in the cell: setting a field of one through
// a path changes a copy, which must then be stored back where it came from.
inline bool value_in_cell_q(uint32_t t) {
  switch (t) {
    case TYPE_CHAR: case TYPE_INTEGER: case TYPE_FLOAT: case TYPE_LOGIC: case TYPE_TRIPLE: case TYPE_PAIR:
    case TYPE_PERCENT: case TYPE_TUPLE: case TYPE_TIME: case TYPE_DATE: case TYPE_MONEY: case TYPE_TYPESET:
      return true;
    default:
      return false;
  }
}

// Stores value at element in container (the set step of a path), through the
// container's path handler; the container cell is changed in place.
void store_through_path(Cell* container, const Cell& element, const Cell& value, uint32_t path_slot, int32_t k) {
  uint32_t at = stack::top_index();
  stack::push_copy(container);
  stack::push_copy(&element);
  stack::push_copy(&value);
  stack::push_new_cell();  // no grand parent: the write-back reaches it itself
  Handler h = get_path_action_handler(stack::at(at), ACT_EVAL_PATH, stack::at(path_slot), stack::at(at + 1), k);
  handler_as<ACT_EVAL_PATH>(h)(stack::at(at), stack::at(at + 1), stack::at(at + 2), stack::at(path_slot),
                                stack::at(at + 3), stack::at(at + 1), k, false, false, true, false);
  copy_cell(stack::at(at), container);
  stack::drop_cells(stack::top_index() - at);
}

// Evaluates a path: pushes its value (or the result of the call it ends in).
// In set mode the new value is stored at the last element; when the value
// changed lives in a cell (a time's minute), the changed copy is stored back
// level by level up to the first container that is not such a value (a
// block, an object) or to the path's word.
uint32_t evaluate_path(const Cell* path_value, const Cell* code, uint32_t pos, bool set, bool get,
                       const Cell* new_value) {
  uint32_t base_top = stack::top_index();
  // The path and the values met on the way live on the stack:
  //   slot+0 the path, slot+1 the value before the parent, slot+2 the parent,
  //   slot+3 the element, slot+4 the previous element.
  Cell* p = stack::push_copy(path_value);
  p->header &= ~kFlagNewLine;
  uint32_t slot = base_top;
  uint32_t node = p->data2;
  uint32_t head = p->data1;
  uint32_t length = series_length(node) > head ? series_length(node) - head : 0;
  if (length == 0) fire(ErrorCategory::kScript, "empty-path");
  if (trace::on()) {
    Cell path = *stack::at(slot);
    trace::event(trace::EV_ENTER, &path, head, &path);
    trace::event(trace::EV_FETCH, &path, head, &path);
  }
  Cell first = series_head_cell(node)[head];
  if (TYPE_OF(&first) != TYPE_WORD) {
    Cell path = *stack::at(slot);
    fire(ErrorCategory::kScript, "word-first", path);
  }
  Cell value = *_context::get_word(&first);
  if (TYPE_OF(&value) == TYPE_UNSET) {
    Cell path = *stack::at(slot);
    fire(ErrorCategory::kScript, "unset-path", path, first);
  }
  if (path_function_q(&value)) {
    Cell path = *stack::at(slot);
    if (set) fire(ErrorCategory::kScript, "invalid-path-set", path);
    if (get) fire(ErrorCategory::kScript, "invalid-path-get", path);
    // The path stays on the stack below the call, which reads it from there.
    CallSite site{code, &first, stack::at(slot), 1};
    pos = evaluate_call(value, site, pos, false);
    return end_path_call(slot, head + length, pos);
  }
  if (trace::on()) trace::event(trace::EV_PUSH, stack::at(slot), head, &value);
  stack::push_new_cell();    // slot+1: the value before the parent
  stack::push_copy(&value);  // slot+2: the parent
  stack::push_new_cell();    // slot+3: the element
  stack::push_new_cell();    // slot+4: the previous element
  copy_cell(&first, stack::at(slot + 4));
  // Set mode: each level's container and element, for the write-back.
  std::vector<RootedCell> chain;
  if (set) {
    chain.reserve(2 * length);
    chain.emplace_back(value);
    chain.emplace_back(first);
  }
  for (uint32_t k = 1; k < length; ++k) {
    Cell element = series_head_cell(stack::at(slot)->data2)[head + k];
    if (trace::on()) {
      Cell path = *stack::at(slot);
      trace::event(trace::EV_FETCH, &path, head + k, &element);
    }
    if (TYPE_OF(&element) == TYPE_GET_WORD) {
      element = *_context::get_word(&element);
    } else if (TYPE_OF(&element) == TYPE_PAREN) {
      evaluate_block_in(&element, false, false);
      element = *stack::last_pushed();
      stack::drop_cells(1);
    }
    if (TYPE_OF(&element) == TYPE_UNSET) {
      Cell path = *stack::at(slot);
      fire(ErrorCategory::kScript, "invalid-path", path, element);
    }
    copy_cell(&element, stack::at(slot + 3));
    if (trace::on()) {
      Cell path = *stack::at(slot);
      trace::event(trace::EV_PUSH, &path, head + k, &element);
    }
    bool last = k + 1 == length;
    Cell* parent = stack::at(slot + 2);
    Handler h = get_path_action_handler(parent, ACT_EVAL_PATH, stack::at(slot), stack::at(slot + 3),
                                        static_cast<int32_t>(k));
    uint32_t grand_type = TYPE_OF(stack::at(slot + 1));
    bool notify = set && last &&
                  (grand_type == TYPE_BLOCK || grand_type == TYPE_PAREN || grand_type == TYPE_HASH ||
                   (grand_type >= TYPE_PATH && grand_type <= TYPE_GET_PATH) ||
                   (grand_type == TYPE_OBJECT && TYPE_OF(stack::at(slot + 4)) == TYPE_WORD));
    Cell* set_value = nullptr;
    if (set && last) set_value = stack::push_copy(new_value);
    Cell* result = handler_as<ACT_EVAL_PATH>(h)(parent, stack::at(slot + 3), set_value, stack::at(slot),
                                                stack::at(slot + 1), stack::at(slot + 4),
                                                static_cast<int32_t>(k), false, get, last, notify);
    Cell next = result ? *result : Cell{TYPE_NONE, 0, 0, 0};
    stack::drop_cells(stack::top_index() - (slot + 5));
    copy_cell(stack::at(slot + 2), stack::at(slot + 1));
    copy_cell(&next, stack::at(slot + 2));
    if (set && last && value_in_cell_q(TYPE_OF(stack::at(slot + 1)))) {
      // stack slot+1 holds the changed parent now.
      Cell changed = *stack::at(slot + 1);
      int32_t level = static_cast<int32_t>(k) - 1;
      for (;;) {
        if (level == 0) {
          _context::set_word(chain[1].get(), &changed);
          break;
        }
        Cell* container = chain[2 * (level - 1)].get();
        store_through_path(container, *chain[2 * level + 1], changed, slot, level);
        if (!value_in_cell_q(TYPE_OF(container))) break;
        changed = *container;
        --level;
      }
    } else if (set && !last) {
      chain.emplace_back(next);
      chain.emplace_back(*stack::at(slot + 3));
    }
    copy_cell(stack::at(slot + 3), stack::at(slot + 4));
    if (!set && !get && path_function_q(&next)) {
      Cell fn = next;
      stack::drop_cells(stack::top_index() - (slot + 1));
      CallSite site{code, &element, stack::at(slot), k + 1};
      Cell name = element;
      if (TYPE_OF(&name) != TYPE_WORD) name = *word_cell(words::WORD_ANON);
      site.name = &name;
      pos = evaluate_call(fn, site, pos, false);
      return end_path_call(slot, head + length, pos);
    }
  }
  Cell result = *stack::at(slot + 2);
  if (set && new_value) result = *new_value;
  if (trace::on()) {
    Cell path = *stack::at(slot);
    trace::event(trace::EV_EXIT, &path, head + length, &result);
  }
  stack::drop_cells(stack::top_index() - slot);
  stack::push_copy(&result);
  return pos;
}

// ---------------------------------------------------------------------------
// One value of code: pushes exactly one cell.

// The longest start of the expression at pos that is numbers joined by
// operators of the fast path (i + 1 * 2), computed into result as the
// ordinary evaluation computes it. Answers the position after it (an
// operator the fast path declined, or the end of the expression, when
// complete is set), or 0 when the expression does not start with a number.
// Nothing in it can raise, call out or allocate. kCached: the words'
// values are read through the cache given (set-words: the words of a loop
// body share a context; an argument like n - 1 mixes a function's and the
// global one).
template <bool kCached>
[[gnu::always_inline]] inline uint32_t number_prefix(const Cell* code, uint32_t pos, Cell* result, bool* complete,
                                                     ValuesCache* values) {
  ValuesCache* cache = kCached ? values : nullptr;
  const SeriesBuffer* b = node_buffer(code->data2);
  uint32_t tail = cell_count(b);
  const Cell* cells = reinterpret_cast<const Cell*>(b->data() + b->head);
  *complete = false;
  if (pos >= tail) return 0;
  const Cell* first = number_operand(cells + pos, cache);
  if (!first) return 0;
  *result = *first;
  uint32_t at = pos + 1;
  while (at < tail) {
    // The right operand is looked at first: when it is no number the
    // ordinary evaluation goes on from here, operator or not, and the
    // operator's lookup is left to it.
    const Cell* r = at + 1 < tail ? number_operand(cells + at + 1, cache) : nullptr;
    if (!r) return at;
    const Cell* value = op_value(cells + at, cache);
    if (!value) break;
    if (!number_type_q(TYPE_OF(result))) return at;
    Cell fn = op_target(value);
    int32_t op;
    FastKind kind = fast_operator(&fn, &op);
    if (kind == kFastNone) return at;
    Cell right = *r;
    if (!(kind == kFastArith ? fast_arith(op, result, &right, result) : fast_compare(op, result, &right, result)))
      return at;
    at += 2;
  }
  *complete = true;
  return at;
}

// if, unless and either (passes_return_q) called by a word of the code, not
// in infix position, their frame open: their two or three evaluated
// arguments are fetched as fetch_arguments fetches them, in the same order
// with the same checks, without its walk of a general argument list; then the
// native runs. A path or an apply, tracing, or a native made with another
// argument list take fetch_arguments.
uint32_t call_branch_native(const CallSite& site, uint32_t fn_slot, uint32_t pos) {
  const uint32_t index = native::entry_index(stack::at(fn_slot));  // 1 if, 2 unless, 3 either
  const uint32_t count = index == 3 ? 3 : 2;
  const uint32_t list = cached_argument_list(stack::at(fn_slot));
  // The natives' own lists: count evaluated arguments and nothing else.
  constexpr uint32_t kMask = kTypeMask | kArgKindMask;
  constexpr uint32_t kEvaluated = TYPE_TYPESET | (kArgEvaluated << kArgKindShift);
  const SeriesBuffer* lb = node_buffer(list);
  const Cell* e = reinterpret_cast<const Cell*>(lb->data() + lb->head);
  if (site.mode != kApplyNone || site.path || trace::on() || (lb->used_bytes() >> 4) != count ||
      (e[0].header & kMask) != kEvaluated || (e[1].header & kMask) != kEvaluated ||
      (count == 3 && (e[2].header & kMask) != kEvaluated)) [[unlikely]]
    return fetch_arguments(site, fn_slot, pos, false);
  // Each argument as the common fetch takes an evaluated one. The list's and
  // the code's addresses are taken again after anything that evaluated code.
  const SeriesBuffer* cb = node_buffer(site.code->data2);
  uint32_t tail = cb->used_bytes() >> 4;
  const Cell* cells = reinterpret_cast<const Cell*>(cb->data() + cb->head);
  for (uint32_t i = 0; i < count; ++i) {
    if (pos < tail && !trace::on()) {
      bool moved = false;
      pos = fetch_evaluated(site.code, pos, false, cells, tail, &moved);
      if (moved) {
        lb = node_buffer(list);
        e = reinterpret_cast<const Cell*>(lb->data() + lb->head);
      }
      if (!typeset_admits(e + i, stack::top_type()))
        expect_arg(site, stack::at(fn_slot), list, i, stack::last_pushed());
      if (!moved) continue;
    } else {
      pos = fetch_argument(site, stack::at(fn_slot), list, i, pos, false);
      check_argument(site, stack::at(fn_slot), list, i);
      lb = node_buffer(list);
      e = reinterpret_cast<const Cell*>(lb->data() + lb->head);
    }
    cb = node_buffer(site.code->data2);
    tail = cb->used_bytes() >> 4;
    cells = reinterpret_cast<const Cell*>(cb->data() + cb->head);
  }
  if (trace::on()) {
    Cell fn_value = *stack::at(fn_slot);
    Cell ref = name_or_path(site);
    trace::event(trace::EV_CALL, site.code, pos, &fn_value, &ref);
  }
  // The arguments are fetched: the frame may let a departure from the
  // block pass.
  mark_passes_return();
  call_native(index, 0, kNoRefinements.data());
  return pos;
}

// A set-word and the expression after it, under a frame named by the word.
//
// While tracing is off, an expression of numbers and fast operators only
// (i: i + 1) is computed and stored without the frame: nothing in it can
// raise. Otherwise the fast start of it, if any, is kept and the ordinary
// evaluation goes on from where it stopped.
[[gnu::noinline]] uint32_t evaluate_set_word(const Cell* code, uint32_t pos) {
  Cell prefix;
  bool complete = false;
  ValuesCache cache;
  uint32_t after = trace::on() ? 0 : number_prefix<true>(code, pos + 1, &prefix, &complete, &cache);
  if (complete) {
    // Nothing has moved since the chain was read: the cache still holds.
    const Cell* word = series_head_cell(code->data2) + pos;
    Cell* slot = cache.plain_slot(word);
    if (!slot) slot = _context::plain_slot(word);
    if (slot) {
      *slot = prefix;
      stack::push_copy(&prefix);
      return after;
    }
  }
  Cell v = read_at(code, pos);
  uint32_t at = pos;
  ++pos;
  trace::event(trace::EV_FETCH, code, at, &v);
  stack::FrameGuard guard;
  stack::open_interp_call_frame(&v);
  stack::push_copy(&v);
  trace::event(trace::EV_PUSH, code, at, &v);
  if (pos >= tail_of(code)) fire(ErrorCategory::kScript, "need-value", v);
  if (after) {
    stack::push_copy(&prefix);
    pos = apply_infix(code, after);
  } else {
    pos = evaluate_expression(code, pos, false, true, false);
  }
  Cell value = *stack::last_pushed();
  trace::event(trace::EV_SET, code, at, &value, &v);
  if (TYPE_OF(&value) == TYPE_UNSET) fire(ErrorCategory::kScript, "need-value", v);
  Cell word = v;
  _context::set_word(&word, &value);
  stack::set_only_result(&value);
  stack::pop_frame();
  return pos;
}

// Every kind of value; evaluate_value below takes the common ones itself.
[[gnu::noinline]] uint32_t evaluate_any_value(const Cell* code, uint32_t pos, bool no_call) {
  Cell v = read_at(code, pos);
  if (TYPE_OF(&v) == TYPE_SET_WORD) return evaluate_set_word(code, pos);
  uint32_t at = pos;
  ++pos;
  trace::event(trace::EV_FETCH, code, at, &v);
  switch (TYPE_OF(&v)) {
    case TYPE_PAREN:
      // Its expression's caller checks for a pending return.
      evaluate_block_in(&v, false, true);
      break;
    case TYPE_WORD: {
      Cell value = *_context::get_word(&v);
      switch (TYPE_OF(&value)) {
        case TYPE_UNSET:
          fire(ErrorCategory::kScript, "no-value", v);
        case TYPE_NATIVE:
        case TYPE_ACTION:
        case TYPE_FUNCTION:
        case TYPE_ROUTINE: {
          if (no_call) {
            stack::push_copy(&value);
            break;
          }
          CallSite site{code, &v, nullptr, 0};
          return evaluate_call(value, site, pos, false);
        }
        case TYPE_OP:
          fire(ErrorCategory::kScript, "no-op-arg", v);
        default:
          stack::push_copy(&value);
          break;
      }
      break;
    }
    case TYPE_LIT_WORD:
      set_type(&v, TYPE_WORD);
      stack::push_copy(&v);
      break;
    case TYPE_GET_WORD:
      stack::push_copy(_context::get_word(&v));
      break;
    case TYPE_ISSUE:
      if (pos < tail_of(code)) {
        Cell next = read_at(code, pos);
        std::string_view name = symbol::utf8_of(v.data2);
        if (TYPE_OF(&next) == TYPE_BLOCK && (name == "system" || name == "system-global"))
          fire(ErrorCategory::kInternal, "kiv-system");
      }
      stack::push_copy(&v);
      break;
    case TYPE_NATIVE:
    case TYPE_ACTION:
    case TYPE_FUNCTION:
    case TYPE_ROUTINE: {
      if (no_call) {
        stack::push_copy(&v);
        break;
      }
      CallSite site{code, word_cell(words::WORD_ANON), nullptr, 0};
      return evaluate_call(v, site, pos, false);
    }
    case TYPE_OP:
      fire(ErrorCategory::kInternal, "not-done");
    case TYPE_PATH:
      pos = evaluate_path(&v, code, pos, false, false, nullptr);
      break;
    case TYPE_LIT_PATH:
      set_type(&v, TYPE_PATH);
      stack::push_copy(&v);
      break;
    case TYPE_SET_PATH: {
      stack::FrameGuard guard;
      stack::open_interp_call_frame(word_cell(words::WORD_SET_PATH));
      if (pos >= tail_of(code)) fire(ErrorCategory::kScript, "need-value", v);
      pos = evaluate_expression(code, pos, false, true, false);
      Cell value = *stack::last_pushed();
      trace::event(trace::EV_SET, code, at, &value, &v);
      if (TYPE_OF(&value) == TYPE_UNSET) fire(ErrorCategory::kScript, "need-value", v);
      evaluate_path(&v, code, pos, true, false, stack::last_pushed());
      Cell result = *stack::last_pushed();
      stack::set_only_result(&result);
      stack::pop_frame();
      return pos;
    }
    case TYPE_GET_PATH:
      pos = evaluate_path(&v, code, pos, false, true, nullptr);
      break;
    default:
      stack::push_copy(&v);
      break;
  }
  trace::event(trace::EV_PUSH, code, at, stack::last_pushed());
  return pos;
}

// A paren of the code, in its own block frame, while tracing is on (the
// fetch and push events around it). Its expression's caller checks for a
// pending return.
[[gnu::noinline]] uint32_t evaluate_paren_traced(const Cell* code, uint32_t pos) {
  Cell v = read_at(code, pos);
  trace::event(trace::EV_FETCH, code, pos, &v);
  evaluate_block_in(&v, false, true);
  if (trace::on()) trace::event(trace::EV_PUSH, code, pos, stack::last_pushed());
  return pos + 1;
}

// A word evaluated to an unset! or op! value.
[[noreturn, gnu::noinline, gnu::cold]] void word_value_error(Cell word, uint32_t type) {
  if (type == TYPE_OP) fire(ErrorCategory::kScript, "no-op-arg", word);
  fire(ErrorCategory::kScript, "no-value", word);
}

// The values met most: a word whose value is no op!, and values that push
// themselves. Kept small so that its entry and exit cost little; the rest
// goes to evaluate_any_value.
[[gnu::always_inline]] inline uint32_t evaluate_value(const Cell* code, uint32_t pos, bool no_call) {
  const Cell* c = series_head_cell(code->data2) + pos;
  switch (TYPE_OF(c)) {
    case TYPE_WORD: {
      Cell v = *c;
      trace::event(trace::EV_FETCH, code, pos, &v);
      const Cell* value = _context::get_word(&v);
      switch (TYPE_OF(value)) {
        case TYPE_UNSET:
        case TYPE_OP:
          word_value_error(v, TYPE_OF(value));
        case TYPE_NATIVE:
        case TYPE_ACTION:
        case TYPE_FUNCTION:
        case TYPE_ROUTINE: {
          if (no_call) break;
          Cell fn = *value;
          CallSite site{code, &v, nullptr, 0};
          return evaluate_call(fn, site, pos + 1, false);
        }
        default:
          break;
      }
      stack::push_copy(value);
      if (trace::on()) trace::event(trace::EV_PUSH, code, pos, stack::last_pushed());
      return pos + 1;
    }
    case TYPE_INTEGER:
    case TYPE_FLOAT:
    case TYPE_BLOCK:
    case TYPE_STRING: {
      Cell v = *c;
      trace::event(trace::EV_FETCH, code, pos, &v);
      stack::push_copy(&v);
      if (trace::on()) trace::event(trace::EV_PUSH, code, pos, stack::last_pushed());
      return pos + 1;
    }
    case TYPE_SET_WORD:
      return evaluate_set_word(code, pos);
    case TYPE_PAREN:
      // Straight into its block scope: evaluate_block_in reads the cell
      // before anything can move the code.
      if (trace::on()) [[unlikely]] return evaluate_paren_traced(code, pos);
      evaluate_block_in(c, false, true);
      return pos + 1;
    default:
      return evaluate_any_value(code, pos, no_call);
  }
}

// Notes where an error is raised, before anything unwinds, and reports it
// to the tracer.
void on_error(const LanguageError& error) {
  const Cell* code = current_code_cell();
  g_error_code = code ? *code : Cell{TYPE_UNSET, 0, 0, 0};
  g_error_code.header &= ~kFlagNewLine;
  g_error_code.data1 = current_pos();
  if (!trace::on()) return;
  RootedCell e;
  error::from_language_error(error, e.get());
  Cell here;
  bool has_code = current_code(&here);
  trace::event(trace::EV_ERROR, has_code ? &here : nullptr, has_code ? here.data1 : -1, e.get());
}

}  // namespace

// ---------------------------------------------------------------------------

void init() {
  g_error_code = Cell{TYPE_UNSET, 0, 0, 0};
  g_pending = 0;
  g_pending_value = Cell{TYPE_UNSET, 0, 0, 0};
  g_code_scopes = nullptr;
  g_body_word = word_cell(words::WORD_BODY);
  trace::init();
  collector::set_root_hook(collector::RootHook::kInterpreterPosition, mark_roots);
  stack::set_error_hook(on_error);
  series::set_function_invoker([](const Cell* fn, const Cell* args, uint32_t count, uint32_t kind, Cell* result) {
    call_function(fn, args, count, word_cell(words::WORD_COMPARE_CALLBACK), kind, result);
  });
}

const char* type_name(uint32_t type) {
  return builtin_type_name(type);
}

bool named_typeset_q(uint32_t symbol) {
  TypeBits bits;
  return named_typeset(symbol::utf8_of(symbol::canonical(symbol)), &bits);
}

bool current_code(Cell* out) {
  const Cell* code = current_code_cell();
  if (!code) return false;
  uint32_t t = TYPE_OF(code);
  if (t != TYPE_BLOCK && t != TYPE_PAREN) return false;
  *out = *code;
  out->header &= ~kFlagNewLine;
  out->data1 = current_pos();
  return true;
}

bool error_position(Cell* out) {
  uint32_t t = TYPE_OF(&g_error_code);
  if (t != TYPE_BLOCK && t != TYPE_PAREN) return false;
  *out = g_error_code;
  return true;
}

void check_native_stack() { check_stack(); }

uint32_t code_tail(const Cell* code) { return tail_of(code); }

uint32_t argument_list(const Cell* fn) { return cached_argument_list(fn); }

namespace {

// evaluate_expression, for the block loop to take in. With tail, the code's
// tail as it stands once the expression is done is left there (unless a
// departure is pending): the operator step has read it last, and only the
// tracer could change the code after that.
[[gnu::always_inline]] inline uint32_t evaluate_expression_inline(const Cell* code, uint32_t pos, bool no_infix,
                                                                  bool keep, bool no_call, uint32_t* tail = nullptr) {
  uint32_t start = stack::top_index();
  pos = evaluate_value(code, pos, no_call);
  if (pending()) return pos;
  if (!no_infix) pos = apply_infix(code, pos, tail);
  if (!keep) {
    Cell value = *stack::at(start);
    stack::set_only_result(&value);
    if (trace::on()) {
      trace::event(trace::EV_EXPR, code, pos, &value);
      if (tail) *tail = tail_of(code);
    }
  }
  return pos;
}

}  // namespace

namespace {

// The expressions of a block from its index to its tail, the last one's value
// left in the current base cell.
[[gnu::always_inline]] inline void run_block_body(const Cell& block) {
  CodeScope scope(block);
  uint32_t pos = block.data1;
  uint32_t tail = tail_of(&block);
  if (pos > tail) pos = tail;
  trace::event(trace::EV_ENTER, &block, pos, &block);
  tail = tail_of(&block);
  while (pos < tail && !pending()) {
    scope.at(pos);
    pos = evaluate_expression_inline(&block, pos, false, false, false, &tail);
  }
  if (trace::on()) trace::event(trace::EV_EXIT, &block, tail_of(&block), stack::arguments());
}

// A block frame that stops departures: a real frame record, so that the
// walk of a quick departure stops at it.
[[gnu::noinline]] void evaluate_block_framed(const Cell& block, bool pop_with_result) {
  stack::FrameGuard guard;
  stack::open_eval_block_frame(g_body_word, 0);
  run_block_body(block);
  if (pop_with_result) {
    stack::pop_frame_return();
  } else {
    stack::pop_frame();
  }
}

}  // namespace

void evaluate_block_in(const Cell* code, bool pop_with_result, bool passes_return) {
  // Copied whole, first (code may point into a series), and left as it is:
  // changing a field of the copy just before it is read whole again stalls
  // the processor. Where the block is shown (current_code, the tracer's
  // arguments) its line flag is dropped.
  const Cell block = *code;
  check_stack();
  if (!passes_return) [[unlikely]] {
    evaluate_block_framed(block, pop_with_result);
    return;
  }
  // A frame that lets every departure pass, named by the hidden <body>
  // word, would be skipped by every walk of the frames: the block runs in a
  // scope with no record, the stack laid out as under the frame. A
  // departure or error leaving it resets the stacks to its target frame.
  uint32_t base = stack::top_index();
  uint32_t saved = stack::open_block_scope();
  run_block_body(block);
  stack::close_block_scope(base, saved, pop_with_result);
}

uint32_t evaluate_expression(const Cell* code, uint32_t pos, bool no_infix, bool keep, bool no_call) {
  return evaluate_expression_inline(code, pos, no_infix, keep, no_call);
}

uint32_t evaluate_next(const Cell* code, uint32_t pos, bool keep) {
  Cell block = *code;
  CodeScope scope(block);
  scope.at(pos);
  stack::FrameGuard guard;
  stack::open_interp_call_frame(word_cell(words::WORD_BODY));
  pos = evaluate_expression(&block, pos, false, false, false);
  if (keep) {
    stack::pop_frame();
  } else {
    stack::pop_frame_return();
    stack::keep_first();
  }
  return pos;
}

uint32_t evaluate_next_position(const Cell* code) {
  Cell block = *code;
  uint32_t tail = tail_of(&block);
  uint32_t pos = block.data1 > tail ? tail : block.data1;
  if (pos >= tail) {
    stack::push_new_cell();
    return pos;
  }
  return evaluate_next(&block, pos, true);
}

void invoke_function_value(const Cell* fn, const Cell* name, uint32_t callback_kind) {
  // An ordinary call: the body's own tracing scope puts the state back.
  if (callback_kind == trace::CB_NONE) {
    run_function_body(fn, name);
    return;
  }
  // Tracing stays on inside a callback only when its kind is enabled.
  bool traced = trace::on();
  if (traced && callback_kind != trace::CB_NONE && !trace::callback_traced_q(callback_kind)) traced = false;
  trace::Scope tracing(traced);
  Cell f = *fn;
  if (callback_kind != trace::CB_NONE && trace::on()) trace::event(trace::EV_CALL, nullptr, -1, &f, name);
  run_function_body(&f, name);
  if (callback_kind != trace::CB_NONE && trace::on()) trace::event(trace::EV_RETURN, nullptr, -1, stack::arguments(), name);
}

void call_function(const Cell* fn, const Cell* args, uint32_t count, const Cell* name, uint32_t callback_kind,
                   Cell* result) {
  check_stack();
  Cell f = *fn;
  if (TYPE_OF(&f) == TYPE_OP) f = op_target(&f);
  f.header &= ~kFlagNewLine;
  uint32_t t = TYPE_OF(&f);
  bool builtin = t == TYPE_NATIVE || t == TYPE_ACTION;
  if (!builtin && t != TYPE_FUNCTION && t != TYPE_ROUTINE) fatal_runtime_error(101);
  Cell frame_name = name ? *name : *word_cell(words::WORD_ANON);
  uint32_t slot = stack::top_index();
  stack::push_copy(&f);
  PendingHold hold;
  {
    stack::FrameGuard guard;
    if (t == TYPE_FUNCTION) {
      stack::open_interp_function_frame(&frame_name, function::context_node(&f));
    } else {
      stack::open_interp_call_frame(&frame_name);
    }
    // The given arguments go on the stack before anything allocates: they
    // may be held nowhere else (the tracer's arguments are C++ copies).
    for (uint32_t k = 0; k < count; ++k) {
      Cell a = args[k];
      a.header &= ~kFlagNewLine;
      stack::push_copy(&a);
    }
    uint32_t base = stack::base_index();
    uint32_t list = argument_list(stack::at(slot));
    CallSite site{nullptr, &frame_name, nullptr, 0};
    // The mandatory arguments: the given ones checked in place, extra ones
    // dropped, missing ones none!.
    uint32_t n = series_length(list);
    uint32_t i = 0;
    uint32_t k = 0;
    for (; i < n; ++i) {
      Cell e = series_head_cell(list)[i];
      if (TYPE_OF(&e) == TYPE_REFINEMENT || TYPE_OF(&e) == TYPE_INTEGER) break;
      if (TYPE_OF(&e) != TYPE_TYPESET || arg_kind(&e) == kArgReturn) continue;
      if (k < count) {
        Cell value = *stack::at(base + k);
        if (!typeset_admits(&e, TYPE_OF(&value))) expect_arg(site, stack::at(slot), list, i, &value);
      }
      ++k;
    }
    if (count > k) stack::drop_cells(count - k);
    for (uint32_t m = count; m < k; ++m) stack::push_copy(&Fetch::kNoneCell);
    // Refinements unused, their arguments none!; then the locals.
    int32_t locals = 0;
    for (; i < n; ++i) {
      Cell e = series_head_cell(list)[i];
      if (TYPE_OF(&e) == TYPE_INTEGER) {
        if (!builtin && locals == 0) locals = static_cast<int32_t>(e.data2);
        continue;
      }
      if (builtin) continue;
      if (TYPE_OF(&e) == TYPE_REFINEMENT) {
        Cell flag{TYPE_LOGIC, 0, 0, 0};
        stack::push_copy(&flag);
      } else if (TYPE_OF(&e) == TYPE_TYPESET && arg_kind(&e) != kArgReturn) {
        stack::push_copy(&Fetch::kNoneCell);
      }
    }
    std::array<int32_t, kMaxRefinements> refs;
    refs.fill(-1);
    switch (t) {
      case TYPE_FUNCTION:
        function::init_locals(locals);
        invoke_function_value(stack::at(slot), &frame_name, callback_kind);
        stack::pop_function_frame();
        break;
      case TYPE_ROUTINE:
        invoke_routine(stack::at(slot));
        stack::pop_frame();
        break;
      case TYPE_NATIVE:
        call_native(native::entry_index(&f), 0, refs.data());
        stack::pop_frame();
        break;
      default: {
        uint32_t index = native::entry_index(&f);
        ActionEntry entry = index <= kActionCount ? action_table[index] : nullptr;
        if (!entry) fire(ErrorCategory::kInternal, "not-done");
        entry(refs.data());
        stack::pop_frame();
        break;
      }
    }
  }
  *result = *stack::at(slot + 1);
  stack::drop_cells(stack::top_index() - slot);
}

namespace {

// The frame a quick departure goes to: the nearest frame of the kind below
// the top frame (the call of the departing native itself), when every frame
// between lets departures pass; -1 otherwise.
int32_t quick_target(uint32_t kind) {
  for (int32_t i = static_cast<int32_t>(stack::frame_count()) - 2; i >= 0; --i) {
    const stack::CallFrame* f = stack::frame_at(static_cast<uint32_t>(i));
    if (f->kind() == kind) return i;
    if (!(f->header & stack::kFramePassesReturn)) return -1;
  }
  return -1;
}

void set_pending(uint32_t code, int32_t target, const Cell* value) {
  g_pending = code;
  g_pending_target = static_cast<uint32_t>(target);
  g_pending_value = value ? *value : Cell{TYPE_UNSET, 0, 0, 0};
  g_pending_value.header &= ~kFlagNewLine;
  Cell unset{TYPE_UNSET, 0, 0, 0};
  stack::set_only_result(&unset);
}

}  // namespace

void leave_function(const Cell* value) {
  int32_t target = quick_target(stack::FRAME_INTERP_FUNCTION & 0x0F);
  if (target < 0) stack::throw_return(value);
  set_pending(value ? stack::THROW_RETURN : stack::THROW_EXIT, target, value);
}

void leave_loop(bool continue_loop, const Cell* value) {
  int32_t target = quick_target(stack::FRAME_LOOP);
  if (target < 0) stack::throw_break(continue_loop, value);
  set_pending(continue_loop ? stack::THROW_CONTINUE : stack::THROW_BREAK, target, value);
}

uint32_t LoopBody::take_pending() {
  uint32_t code = g_pending;
  g_pending = 0;
  stack::set_only_result(&g_pending_value);
  g_pending_value = Cell{TYPE_UNSET, 0, 0, 0};
  return code;
}

void apply(const Cell* fn, const Cell* block, const Cell* path, uint32_t mode) {
  Cell f = *fn;
  if (TYPE_OF(&f) == TYPE_OP) f = op_target(&f);
  // The block and the path stay on the stack below the call.
  uint32_t slot = stack::top_index();
  Cell* code = stack::push_copy(block);
  code->header = TYPE_BLOCK;
  uint32_t tail = tail_of(code);
  if (code->data1 > tail) code->data1 = tail;
  Cell* p = path ? stack::push_copy(path) : nullptr;
  Cell name = *word_cell(words::WORD_ANON);
  if (p) {
    Cell first = series_length(p->data2) > p->data1 ? series_head_cell(p->data2)[p->data1] : name;
    if (TYPE_OF(&first) == TYPE_WORD) name = first;
  }
  CallSite site{code, &name, p, 1, mode};
  {
    stack::FrameGuard guard;
    stack::open_interp_call_frame(&name);
    stack::mark_top_interpreted();
    evaluate_call(f, site, code->data1, false);
    stack::pop_frame();
  }
  copy_cell(stack::at(slot + (p ? 2 : 1)), stack::at(slot));
  stack::drop_cells(stack::top_index() - slot - 1);
}

}  // namespace kiv::interpreter
