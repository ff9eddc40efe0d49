#include "runtime/datatypes/argument_list.h"

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "runtime/datatypes/context.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/native.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/member_bits.h"
#include "runtime/series.h"
#include "runtime/support.h"
#include "runtime/words.h"

namespace kiv::interpreter {

namespace {

// The bits of a typeset being built, words 1-3 of the cell in memory order.
struct TypeBits {
  uint8_t bytes[12] = {};
  void set(uint32_t t) {
    if (t < 96) add_member(bytes, t);
  }
  void clear(uint32_t t) {
    if (t < 96) remove_member(bytes, t);
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

bool is_word(const Cell* w, words::Id id) {
  const Cell* known = words::cell_of(id);
  uint32_t sym = TYPE_OF(known) == TYPE_UNSET ? words::symbol_of(id) : known->data2;
  return sym != 0 && symbol::canonical(w->data2) == symbol::canonical(sym);
}

// Appends a cell to the list block (the node is reachable from the value's
// auxiliary block, which the caller keeps alive).
void append_entry(uint32_t list, const Cell& entry) {
  Cell block{TYPE_BLOCK, 0, list, 0};
  *alloc_tail(&block) = entry;
}

}  // namespace

// Refinement entries carry in word 3 their ordinal from 1 (natives,
// actions) or their slot: the index of their word in the function's
// context, which is their cell's offset from the call's base (functions,
// routines).
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

Cell argument_word(const Cell* fn, uint32_t list, uint32_t entry) {
  uint32_t k = 0;
  for (uint32_t i = 0; i < entry; ++i) {
    HeldPtr<const Cell> e = series_head_cell(list) + i;
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

bool named_typeset_q(uint32_t symbol) {
  TypeBits bits;
  return named_typeset(symbol::utf8_of(symbol::canonical(symbol)), &bits);
}

void for_each_named_typeset(void (*fn)(const char* name, const Cell& typeset)) {
  for (const NamedTypeset& n : named_typesets()) {
    TypeBits bits;
    named_typeset(n.name, &bits);
    fn(n.name, bits.cell(0));
  }
}

}  // namespace kiv::interpreter
