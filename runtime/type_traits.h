// Type groups and payload layouts: one row per type id.
//
// Every test of the kind "is this type one of the strings, blocks, words,
// series ..." reads this table, and so does code that needs to know which
// payload word holds a node. A new type is one row here (and its id in
// runtime/cell.h); no switch elsewhere lists the members of a group.
//
// The groups are those of the named typesets (any-string!, any-list!,
// any-path!, any-word! ...); a type may be in several. Composite groups
// (any-block!, series!, scalar! ...) are masks of the basic bits.
//
// Layouts, by payload word (word 0 is the header):
//   kImmediate  the payload is the value itself; no node
//   kWord       1 node of the bound context (0: unbound), 2 symbol id,
//               3 index in that context
//   kCells      1 head index, 2 node of a cell buffer (hash!: 3 the node of
//               its hash index, or 0)
//   kText       1 head index in units, 2 node of a unit buffer (1, 2 or 4
//               bytes a code point), 3 node of the conversion buffer or 0
//   kBytes      1 head index, 2 node of a byte buffer
//   kBits       2 node of a byte buffer holding the bits
//   kVector     1 head index, 2 node of an element buffer, 3 element type
//   kOwn        a layout of its own, described at the top of its module
#pragma once

#include <array>
#include <cstdint>

#include "runtime/cell.h"

namespace kiv {

// Basic group bits.
enum TypeGroup : uint32_t {
  kGroupAnyString = 1u << 0,    // string! file! url! tag! email! ref!
  kGroupAnyList = 1u << 1,      // block! paren! hash!
  kGroupAnyPath = 1u << 2,      // path! lit-path! set-path! get-path!
  kGroupAnyWord = 1u << 3,      // word! set-word! lit-word! get-word!
  kGroupOtherWord = 1u << 4,    // refinement! issue!: with any-word!, all-word!
  kGroupAnyFunction = 1u << 5,  // native! action! op! function! routine!
  kGroupAnyObject = 1u << 6,    // object! error! port!
  kGroupNumber = 1u << 7,       // integer! float! percent!
  kGroupAnyPoint = 1u << 8,     // point2D! point3D!
  kGroupOtherScalar = 1u << 9,  // money! char! pair! tuple! time! date!
  kGroupOtherSeries = 1u << 10, // binary! image! vector!
};

// Composite groups.
constexpr uint32_t kGroupAnyBlock = kGroupAnyList | kGroupAnyPath;
constexpr uint32_t kGroupAllWord = kGroupAnyWord | kGroupOtherWord;
constexpr uint32_t kGroupScalar = kGroupNumber | kGroupAnyPoint | kGroupOtherScalar;
constexpr uint32_t kGroupSeries = kGroupAnyBlock | kGroupAnyString | kGroupOtherSeries;

enum class Layout : uint8_t { kImmediate, kWord, kCells, kText, kBytes, kBits, kVector, kOwn };

struct TypeTraits {
  uint32_t type;    // the row's type id, checked against its place below
  uint32_t groups;  // TypeGroup bits
  Layout layout;
};

namespace detail {

constexpr uint32_t kTypeTraitsCount = TYPE_EVENT + 1;

// clang-format off
constexpr std::array<TypeTraits, kTypeTraitsCount> kTypeTraits = {{
    {TYPE_VALUE,      0,                  Layout::kImmediate},
    {TYPE_DATATYPE,   0,                  Layout::kImmediate},
    {TYPE_UNSET,      0,                  Layout::kImmediate},
    {TYPE_NONE,       0,                  Layout::kImmediate},
    {TYPE_LOGIC,      0,                  Layout::kImmediate},
    {TYPE_BLOCK,      kGroupAnyList,      Layout::kCells},
    {TYPE_PAREN,      kGroupAnyList,      Layout::kCells},
    {TYPE_STRING,     kGroupAnyString,    Layout::kText},
    {TYPE_FILE,       kGroupAnyString,    Layout::kText},
    {TYPE_URL,        kGroupAnyString,    Layout::kText},
    {TYPE_CHAR,       kGroupOtherScalar,  Layout::kImmediate},
    {TYPE_INTEGER,    kGroupNumber,       Layout::kImmediate},
    {TYPE_FLOAT,      kGroupNumber,       Layout::kImmediate},
    {TYPE_SYMBOL,     0,                  Layout::kOwn},
    {TYPE_CONTEXT,    0,                  Layout::kOwn},
    {TYPE_WORD,       kGroupAnyWord,      Layout::kWord},
    {TYPE_SET_WORD,   kGroupAnyWord,      Layout::kWord},
    {TYPE_LIT_WORD,   kGroupAnyWord,      Layout::kWord},
    {TYPE_GET_WORD,   kGroupAnyWord,      Layout::kWord},
    {TYPE_REFINEMENT, kGroupOtherWord,    Layout::kWord},
    {TYPE_ISSUE,      kGroupOtherWord,    Layout::kWord},
    {TYPE_NATIVE,     kGroupAnyFunction,  Layout::kOwn},
    {TYPE_ACTION,     kGroupAnyFunction,  Layout::kOwn},
    {TYPE_OP,         kGroupAnyFunction,  Layout::kOwn},
    {TYPE_FUNCTION,   kGroupAnyFunction,  Layout::kOwn},
    {TYPE_PATH,       kGroupAnyPath,      Layout::kCells},
    {TYPE_LIT_PATH,   kGroupAnyPath,      Layout::kCells},
    {TYPE_SET_PATH,   kGroupAnyPath,      Layout::kCells},
    {TYPE_GET_PATH,   kGroupAnyPath,      Layout::kCells},
    {TYPE_ROUTINE,    kGroupAnyFunction,  Layout::kOwn},
    {TYPE_BITSET,     0,                  Layout::kBits},
    {TYPE_TRIPLE,     0,                  Layout::kOwn},
    {TYPE_OBJECT,     kGroupAnyObject,    Layout::kOwn},
    {TYPE_TYPESET,    0,                  Layout::kImmediate},
    {TYPE_ERROR,      kGroupAnyObject,    Layout::kOwn},
    {TYPE_VECTOR,     kGroupOtherSeries,  Layout::kVector},
    {TYPE_HASH,       kGroupAnyList,      Layout::kCells},
    {TYPE_PAIR,       kGroupOtherScalar,  Layout::kImmediate},
    {TYPE_PERCENT,    kGroupNumber,       Layout::kImmediate},
    {TYPE_TUPLE,      kGroupOtherScalar,  Layout::kImmediate},
    {TYPE_MAP,        0,                  Layout::kOwn},
    {TYPE_BINARY,     kGroupOtherSeries,  Layout::kBytes},
    {TYPE_SERIES,     0,                  Layout::kOwn},
    {TYPE_TIME,       kGroupOtherScalar,  Layout::kImmediate},
    {TYPE_TAG,        kGroupAnyString,    Layout::kText},
    {TYPE_EMAIL,      kGroupAnyString,    Layout::kText},
    {TYPE_HANDLE,     0,                  Layout::kOwn},
    {TYPE_DATE,       kGroupOtherScalar,  Layout::kImmediate},
    {TYPE_PORT,       kGroupAnyObject,    Layout::kOwn},
    {TYPE_MONEY,      kGroupOtherScalar,  Layout::kImmediate},
    {TYPE_REF,        kGroupAnyString,    Layout::kText},
    {TYPE_POINT2D,    kGroupAnyPoint,     Layout::kImmediate},
    {TYPE_POINT3D,    kGroupAnyPoint,     Layout::kImmediate},
    {TYPE_IMAGE,      kGroupOtherSeries,  Layout::kOwn},
    {TYPE_EVENT,      0,                  Layout::kOwn},
}};
// clang-format on

constexpr bool rows_in_order() {
  for (uint32_t t = 0; t < kTypeTraits.size(); ++t)
    if (kTypeTraits[t].type != t) return false;
  return true;
}
static_assert(rows_in_order(), "each type's row sits at its type id");

}  // namespace detail

// The groups of a type id (0 for an id past the table, such as a hash
// table's internal key kinds).
constexpr uint32_t type_groups(uint32_t type) {
  return type < detail::kTypeTraitsCount ? detail::kTypeTraits[type].groups : 0;
}
constexpr bool type_in_group(uint32_t type, uint32_t groups) { return (type_groups(type) & groups) != 0; }
constexpr Layout type_layout(uint32_t type) {
  return type < detail::kTypeTraitsCount ? detail::kTypeTraits[type].layout : Layout::kOwn;
}

// The groups code asks about most.
constexpr bool any_string_type_q(uint32_t type) { return type_in_group(type, kGroupAnyString); }
constexpr bool any_block_type_q(uint32_t type) { return type_in_group(type, kGroupAnyBlock); }
constexpr bool any_path_type_q(uint32_t type) { return type_in_group(type, kGroupAnyPath); }
constexpr bool any_function_type_q(uint32_t type) { return type_in_group(type, kGroupAnyFunction); }
constexpr bool series_group_q(uint32_t type) { return type_in_group(type, kGroupSeries); }

// The type a switch over types reads so that it names the group once: string!
// stands for every any-string! kind (`case TYPE_STRING:` takes them all).
constexpr uint32_t string_group_type(uint32_t type) { return any_string_type_q(type) ? TYPE_STRING : type; }

}  // namespace kiv
