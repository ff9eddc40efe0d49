#include "runtime/eval/interpreter.h"

#include <array>
#include <cstring>
#include <string_view>
#include <vector>

#include "runtime/collector.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/native.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/eval/actions.h"
#include "runtime/eval/natives.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/words.h"

namespace kiv::interpreter {
namespace {

// The block whose expression is being evaluated, and the ones it interrupted:
// all of them are collector roots, so code stays alive while it runs even
// when nothing else refers to it any more.
Cell g_current_code{TYPE_UNSET, 0, 0, 0};
std::vector<Cell> g_saved_code;

void mark_roots() {
  collector::mark_cell(&g_current_code);
  for (const Cell& c : g_saved_code) collector::mark_cell(&c);
}

class CodeScope {
 public:
  explicit CodeScope(const Cell& code) {
    g_saved_code.push_back(g_current_code);
    g_current_code = code;
  }
  ~CodeScope() {
    g_current_code = g_saved_code.back();
    g_saved_code.pop_back();
  }
  CodeScope(const CodeScope&) = delete;
  CodeScope& operator=(const CodeScope&) = delete;
};

// The most refinements a native or action has (now has 10).
constexpr uint32_t kMaxRefinements = 16;

inline Cell read_at(const Cell* code, uint32_t pos) { return series_head_cell(code->data2)[pos]; }

inline bool word_kind_q(uint32_t t) { return t >= TYPE_WORD && t <= TYPE_REFINEMENT; }

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
  return typeset_has_q(reinterpret_cast<const uint8_t*>(&typeset->data1), type);
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

// The names of every datatype by id, for the type words of specs whose
// datatype is not registered yet.
const char* const kTypeNames[] = {
    nullptr,     "datatype!", "unset!",     "none!",     "logic!",     "block!",    "paren!",   "string!",
    "file!",     "url!",      "char!",      "integer!",  "float!",     "symbol!",   "context!", "word!",
    "set-word!", "lit-word!", "get-word!",  "refinement!", "issue!",   "native!",   "action!",  "op!",
    "function!", "path!",     "lit-path!",  "set-path!", "get-path!",  "routine!",  "bitset!",  "triple!",
    "object!",   "typeset!",  "error!",     "vector!",   "hash!",      "pair!",     "percent!", "tuple!",
    "map!",      "binary!",   "series!",    "time!",     "tag!",       "email!",    "handle!",  "date!",
    "port!",     "money!",    "ref!",       "point2D!",  "point3D!",   "image!",    "event!"};

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
  for (uint32_t t = 1; t < sizeof kTypeNames / sizeof kTypeNames[0]; ++t) {
    if (!same_name(name, kTypeNames[t])) continue;
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

uint32_t build_argument_list(const Cell* fn) {
  uint32_t spec = native::spec_node(fn);
  uint32_t aux = native::aux_node(fn);
  bool builtin = TYPE_OF(fn) == TYPE_NATIVE || TYPE_OF(fn) == TYPE_ACTION;
  uint32_t list = alloc_cells(series_length(spec) + 2);
  // Rooted from here on: the auxiliary block is reachable through fn.
  series_head_cell(aux)[native::kAuxArgumentList] = Cell{TYPE_BLOCK, 0, list, 0};

  uint32_t refinements = 0;
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
        break;
      case TYPE_GET_WORD:
        type_block_after(kArgLiteral);
        break;
      case TYPE_LIT_WORD:
        type_block_after(kArgQuoted);
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
        if (builtin) v.data3 = refinements;
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
// Calls.

struct CallSite {
  const Cell* code;
  const Cell* name;  // the word that named the call (its frame name), never null
  const Cell* path;  // the path the call came from, or null
  uint32_t path_pos; // the path's first refinement element
};

uint32_t evaluate_path(const Cell* path, const Cell* code, uint32_t pos, bool set, bool get, const Cell* new_value);

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
  if (pos >= code_tail(site.code)) {
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
      stack::push_copy(&v);
      return pos + 1;
    }
    case kArgQuoted: {
      Cell v = read_at(site.code, pos);
      switch (TYPE_OF(&v)) {
        case TYPE_PAREN:
          evaluate_block(&v, false);
          return pos + 1;
        case TYPE_GET_WORD:
          stack::push_copy(_context::get_word(&v));
          return pos + 1;
        case TYPE_GET_PATH:
          return evaluate_path(&v, site.code, pos + 1, false, true, nullptr);
        default:
          stack::push_copy(&v);
          return pos + 1;
      }
    }
    default:
      return evaluate_expression(site.code, pos, no_infix, true, false);
  }
}

// Finds the refinement entry for a word: its index in the list, or -1.
int32_t find_refinement(uint32_t list, const Cell* word) {
  uint32_t n = series_length(list);
  for (uint32_t i = 0; i < n; ++i) {
    const Cell* e = series_head_cell(list) + i;
    if (TYPE_OF(e) == TYPE_REFINEMENT && same_symbol(e, word)) return static_cast<int32_t>(i);
  }
  return -1;
}

// Fetches the arguments of a native or action call (the frame is open, the
// function cell sits just below its base) and calls its entry.
uint32_t fetch_arguments(const CallSite& site, const Cell* fn, uint32_t pos, bool infix) {
  uint32_t list = argument_list(fn);
  std::array<int32_t, kMaxRefinements> refs;
  refs.fill(-1);
  uint32_t fetched = 0;
  bool active = true;
  for (uint32_t i = 0; i < series_length(list); ++i) {
    Cell e = series_head_cell(list)[i];
    switch (TYPE_OF(&e)) {
      case TYPE_TYPESET:
        if (arg_kind(&e) == kArgReturn || !active) break;
        if (infix && fetched == 0) {
          // The left operand is already on the stack; it is checked like any argument.
          check_argument(site, fn, list, i);
        } else {
          pos = fetch_argument(site, fn, list, i, pos, infix);
          check_argument(site, fn, list, i);
        }
        ++fetched;
        break;
      case TYPE_REFINEMENT:
        active = false;
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
      uint32_t ordinal = series_head_cell(list)[at].data3;
      if (ordinal == 0 || ordinal > kMaxRefinements) fire(ErrorCategory::kInternal, "limit-hit", "refinements");
      if (refs[ordinal - 1] != -1) {
        Cell path = *site.path;
        fire(ErrorCategory::kScript, "dup-refine", path);
      }
      uint32_t first = fetched;
      uint32_t count = 0;
      for (uint32_t j = static_cast<uint32_t>(at) + 1; j < series_length(list); ++j) {
        Cell e = series_head_cell(list)[j];
        if (TYPE_OF(&e) != TYPE_TYPESET || arg_kind(&e) == kArgReturn) break;
        pos = fetch_argument(site, fn, list, j, pos, false);
        check_argument(site, fn, list, j);
        ++count;
      }
      if (used) {
        refs[ordinal - 1] = static_cast<int32_t>(first);
        fetched += count;
      } else {
        stack::drop_cells(count);  // evaluated for their effects, then dropped
      }
    }
  }

  if (TYPE_OF(fn) == TYPE_NATIVE) {
    call_native(native::entry_index(fn), 0, refs.data());
  } else {
    uint32_t index = native::entry_index(fn);
    ActionEntry entry = index <= kActionCount ? action_table[index] : nullptr;
    if (!entry) fire(ErrorCategory::kInternal, "not-done");
    entry(refs.data());
  }
  return pos;
}

// Calls a function value: pushes exactly one cell, its result. In infix
// position the left operand (the last pushed cell) becomes the first
// argument and the result takes its place.
uint32_t evaluate_call(const Cell& fn_value, const CallSite& site, uint32_t pos, bool infix) {
  uint32_t t = TYPE_OF(&fn_value);
  if (t == TYPE_FUNCTION || t == TYPE_ROUTINE) fire(ErrorCategory::kInternal, "not-done");
  if (t != TYPE_NATIVE && t != TYPE_ACTION) fatal_runtime_error(101);

  Cell left{TYPE_UNSET, 0, 0, 0};
  if (infix) {
    left = *stack::last_pushed();
    stack::drop_cells(1);
  }
  uint32_t slot = stack::top_index();
  // The function cell stays on the stack during the call so that its spec and
  // argument list live even when its word is set to something else meanwhile.
  Cell* fn = stack::push_copy(&fn_value);
  fn->header &= ~kFlagNewLine;
  stack::FrameGuard guard;
  stack::open_interp_call_frame(site.name);
  if (infix) stack::push_copy(&left);
  pos = fetch_arguments(site, stack::at(slot), pos, infix);
  stack::pop_frame();
  copy_cell(stack::at(slot + 1), stack::at(slot));
  stack::drop_cells(1);
  return pos;
}

// Applies the operators that follow an expression whose value was pushed at
// index start.
uint32_t apply_infix(const Cell* code, uint32_t pos) {
  while (pos < code_tail(code)) {
    Cell w = read_at(code, pos);
    // Only a word that has a value now can name an operator; looking at any
    // other word must not raise.
    if (TYPE_OF(&w) != TYPE_WORD || w.data1 == 0 || w.data3 == kUnresolved || !_context::has_values_q(w.data1))
      break;
    const Cell* value = _context::get_word(&w);
    if (TYPE_OF(value) != TYPE_OP) break;
    Cell fn = *value;
    set_type(&fn, op_source_type(&fn));
    fn.header &= ~kFlagOpTypeMask;
    CallSite site{code, &w, nullptr, 0};
    pos = evaluate_call(fn, site, pos + 1, true);
  }
  return pos;
}

// ---------------------------------------------------------------------------
// Paths.

bool path_function_q(const Cell* v) { return callable_q(TYPE_OF(v)); }

// Evaluates a path: pushes its value (or the result of the call it ends in).
// In set mode the new value is stored at the last element.
uint32_t evaluate_path(const Cell* path_value, const Cell* code, uint32_t pos, bool set, bool get,
                       const Cell* new_value) {
  uint32_t base_top = stack::top_index();
  // The path and the values met on the way live on the stack:
  //   slot+0 the path, slot+1 the value before the parent, slot+2 the parent,
  //   slot+3 the element, slot+4 the previous element.
  Cell* p = stack::push_copy(path_value);
  p->header = (p->header & ~kFlagNewLine);
  uint32_t slot = base_top;
  uint32_t node = p->data2;
  uint32_t head = p->data1;
  uint32_t length = series_length(node) > head ? series_length(node) - head : 0;
  if (length == 0) fire(ErrorCategory::kScript, "empty-path");
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
    stack::drop_cells(1);
    // The path stays reachable from the code; the call reads it from a local.
    CallSite site{code, &first, &path, 1};
    return evaluate_call(value, site, pos, false);
  }
  stack::push_new_cell();          // slot+1: the value before the parent
  stack::push_copy(&value);        // slot+2: the parent
  stack::push_new_cell();          // slot+3: the element
  stack::push_new_cell();          // slot+4: the previous element
  copy_cell(&first, stack::at(slot + 4));
  for (uint32_t k = 1; k < length; ++k) {
    Cell element = series_head_cell(stack::at(slot)->data2)[head + k];
    if (TYPE_OF(&element) == TYPE_GET_WORD) {
      element = *_context::get_word(&element);
    } else if (TYPE_OF(&element) == TYPE_PAREN) {
      evaluate_block(&element, false);
      element = *stack::last_pushed();
      stack::drop_cells(1);
    }
    if (TYPE_OF(&element) == TYPE_UNSET) {
      Cell path = *stack::at(slot);
      fire(ErrorCategory::kScript, "invalid-path", path, element);
    }
    copy_cell(&element, stack::at(slot + 3));
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
    copy_cell(stack::at(slot + 3), stack::at(slot + 4));
    if (!set && !get && !last && path_function_q(&next)) {
      Cell path = *stack::at(slot);
      Cell fn = next;
      stack::drop_cells(stack::top_index() - slot);
      CallSite site{code, &element, &path, k + 1};
      return evaluate_call(fn, site, pos, false);
    }
  }
  Cell result = *stack::at(slot + 2);
  stack::drop_cells(stack::top_index() - slot);
  if (set && new_value) result = *new_value;
  stack::push_copy(&result);
  return pos;
}

// ---------------------------------------------------------------------------
// One value of code: pushes exactly one cell.

uint32_t evaluate_value(const Cell* code, uint32_t pos, bool no_call) {
  Cell v = read_at(code, pos);
  ++pos;
  switch (TYPE_OF(&v)) {
    case TYPE_PAREN:
      evaluate_block(&v, false);
      return pos;
    case TYPE_WORD: {
      const Cell* found = _context::get_word(&v);
      Cell value = *found;
      switch (TYPE_OF(&value)) {
        case TYPE_UNSET:
          fire(ErrorCategory::kScript, "no-value", v);
        case TYPE_NATIVE:
        case TYPE_ACTION:
        case TYPE_FUNCTION:
        case TYPE_ROUTINE: {
          if (no_call) {
            stack::push_copy(&value);
            return pos;
          }
          CallSite site{code, &v, nullptr, 0};
          return evaluate_call(value, site, pos, false);
        }
        case TYPE_OP:
          fire(ErrorCategory::kScript, "no-op-arg", v);
        default:
          stack::push_copy(&value);
          return pos;
      }
    }
    case TYPE_SET_WORD: {
      uint32_t slot = stack::top_index();
      stack::FrameGuard guard;
      stack::open_interp_call_frame(&v);
      stack::push_copy(&v);
      if (pos >= code_tail(code)) fire(ErrorCategory::kScript, "need-value", v);
      pos = evaluate_expression(code, pos, false, true, false);
      Cell value = *stack::last_pushed();
      if (TYPE_OF(&value) == TYPE_UNSET) fire(ErrorCategory::kScript, "need-value", v);
      Cell word = v;
      _context::set_word(&word, &value);
      stack::set_only_result(&value);
      stack::pop_frame();
      (void)slot;
      return pos;
    }
    case TYPE_LIT_WORD:
      set_type(&v, TYPE_WORD);
      stack::push_copy(&v);
      return pos;
    case TYPE_GET_WORD:
      stack::push_copy(_context::get_word(&v));
      return pos;
    case TYPE_ISSUE:
      if (pos < code_tail(code)) {
        Cell next = read_at(code, pos);
        std::string_view name = symbol::utf8_of(v.data2);
        if (TYPE_OF(&next) == TYPE_BLOCK && (name == "system" || name == "system-global"))
          fire(ErrorCategory::kInternal, "kiv-system");
      }
      stack::push_copy(&v);
      return pos;
    case TYPE_NATIVE:
    case TYPE_ACTION:
    case TYPE_FUNCTION:
    case TYPE_ROUTINE: {
      if (no_call) {
        stack::push_copy(&v);
        return pos;
      }
      CallSite site{code, word_cell(words::WORD_ANON), nullptr, 0};
      return evaluate_call(v, site, pos, false);
    }
    case TYPE_OP:
      fire(ErrorCategory::kInternal, "not-done");
    case TYPE_PATH:
      return evaluate_path(&v, code, pos, false, false, nullptr);
    case TYPE_LIT_PATH:
      set_type(&v, TYPE_PATH);
      stack::push_copy(&v);
      return pos;
    case TYPE_SET_PATH: {
      stack::FrameGuard guard;
      stack::open_interp_call_frame(word_cell(words::WORD_SET_PATH));
      if (pos >= code_tail(code)) fire(ErrorCategory::kScript, "need-value", v);
      pos = evaluate_expression(code, pos, false, true, false);
      Cell value = *stack::last_pushed();
      if (TYPE_OF(&value) == TYPE_UNSET) fire(ErrorCategory::kScript, "need-value", v);
      evaluate_path(&v, code, pos, true, false, stack::last_pushed());
      Cell result = *stack::last_pushed();
      stack::set_only_result(&result);
      stack::pop_frame();
      return pos;
    }
    case TYPE_GET_PATH:
      return evaluate_path(&v, code, pos, false, true, nullptr);
    default:
      stack::push_copy(&v);
      return pos;
  }
}

}  // namespace

// ---------------------------------------------------------------------------

void init() {
  g_current_code = Cell{TYPE_UNSET, 0, 0, 0};
  g_saved_code.clear();
  collector::set_root_hook(collector::RootHook::kInterpreterPosition, mark_roots);
}

const char* type_name(uint32_t type) {
  return type >= 1 && type < sizeof kTypeNames / sizeof kTypeNames[0] ? kTypeNames[type] : nullptr;
}

bool current_code(Cell* out) {
  uint32_t t = TYPE_OF(&g_current_code);
  if (t != TYPE_BLOCK && t != TYPE_PAREN) return false;
  *out = g_current_code;
  return true;
}

uint32_t code_tail(const Cell* code) { return series_length(code->data2); }

uint32_t argument_list(const Cell* fn) {
  uint32_t aux = native::aux_node(fn);
  const Cell* cached = series_head_cell(aux) + native::kAuxArgumentList;
  if (TYPE_OF(cached) == TYPE_BLOCK) return cached->data2;
  return build_argument_list(fn);
}

void evaluate_block(const Cell* code, bool pop_with_result) {
  Cell block = *code;
  block.header &= ~kFlagNewLine;
  stack::FrameGuard guard;
  stack::open_eval_block_frame(word_cell(words::WORD_BODY));
  CodeScope scope(block);
  uint32_t pos = block.data1;
  while (pos < code_tail(&block)) {
    g_current_code.data1 = pos;
    pos = evaluate_expression(&block, pos, false, false, false);
  }
  if (pop_with_result) {
    stack::pop_frame_return();
  } else {
    stack::pop_frame();
  }
}

uint32_t evaluate_expression(const Cell* code, uint32_t pos, bool no_infix, bool keep, bool no_call) {
  uint32_t start = stack::top_index();
  pos = evaluate_value(code, pos, no_call);
  if (!no_infix) pos = apply_infix(code, pos);
  if (!keep) {
    Cell value = *stack::at(start);
    stack::set_only_result(&value);
  }
  return pos;
}

uint32_t evaluate_next(const Cell* code, uint32_t pos, bool keep) {
  Cell block = *code;
  CodeScope scope(block);
  g_current_code.data1 = pos;
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

}  // namespace kiv::interpreter
