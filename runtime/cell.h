// The value cell: every Kiv value is one 16-byte cell.
//
//   word 0  header: type id in bits 0-7, flag bits above (see kFlag* below;
//           bits not listed belong to the datatype that owns the cell)
//   word 1-3 payload, defined by each datatype module at the top of its file
//
// Invariant: nothing in a cell is a machine address. Series are referred to by
// 32-bit node ids, natives and actions by table index, handles by registry
// slot. Doubles and 64-bit integers occupy words 2-3 and are read and written
// with memcpy. A fresh cell is unset!: header 2, payload 0.
#pragma once

#include <cstdint>
#include <cstring>

namespace kiv {

enum TypeId : uint32_t {
  TYPE_VALUE = 0,  // "any value" in typesets; never the type of a cell
  TYPE_DATATYPE = 1,
  TYPE_UNSET = 2,
  TYPE_NONE = 3,
  TYPE_LOGIC = 4,
  TYPE_BLOCK = 5,
  TYPE_PAREN = 6,
  TYPE_STRING = 7,
  TYPE_FILE = 8,
  TYPE_URL = 9,
  TYPE_CHAR = 10,
  TYPE_INTEGER = 11,
  TYPE_FLOAT = 12,
  TYPE_SYMBOL = 13,
  TYPE_CONTEXT = 14,
  TYPE_WORD = 15,
  TYPE_SET_WORD = 16,
  TYPE_LIT_WORD = 17,
  TYPE_GET_WORD = 18,
  TYPE_REFINEMENT = 19,
  TYPE_ISSUE = 20,
  TYPE_NATIVE = 21,
  TYPE_ACTION = 22,
  TYPE_OP = 23,
  TYPE_FUNCTION = 24,
  TYPE_PATH = 25,
  TYPE_LIT_PATH = 26,
  TYPE_SET_PATH = 27,
  TYPE_GET_PATH = 28,
  TYPE_ROUTINE = 29,
  TYPE_BITSET = 30,
  TYPE_TRIPLE = 31,
  TYPE_OBJECT = 32,
  TYPE_TYPESET = 33,
  TYPE_ERROR = 34,
  TYPE_VECTOR = 35,
  TYPE_HASH = 36,
  TYPE_PAIR = 37,
  TYPE_PERCENT = 38,
  TYPE_TUPLE = 39,
  TYPE_MAP = 40,
  TYPE_BINARY = 41,
  TYPE_SERIES = 42,
  TYPE_TIME = 43,
  TYPE_TAG = 44,
  TYPE_EMAIL = 45,
  TYPE_HANDLE = 46,
  TYPE_DATE = 47,
  TYPE_PORT = 48,
  TYPE_MONEY = 49,
  TYPE_REF = 50,
  TYPE_POINT2D = 51,
  TYPE_POINT3D = 52,
  TYPE_IMAGE = 53,
  TYPE_EVENT = 54,
};

constexpr uint32_t kTypeMask = 0x000000FF;

// Header flag bits the runtime core sets or tests.
constexpr uint32_t kFlagNewLine = 0x40000000;        // starts a new line when molded
constexpr uint32_t kFlagContextOnStack = 0x00400000; // context!: values on the argument stack
constexpr uint32_t kFlagContextNoTable = 0x02000000; // context!: word 1 names the words block, no word table
constexpr uint32_t kFlagOwned = 0x00010000;          // image!, object context: has an owner
constexpr uint32_t kFlagOpTypeMask = 0x00FF0000;     // op!: type id of the wrapped function
constexpr uint32_t kFlagOpTypeShift = 16;
constexpr uint32_t kFlagEventFromValues = 0x00001000; // event!: word 2 refers to a block
constexpr uint32_t kFlagContextKindMask = 0x00001800; // context!: the context kind
constexpr uint32_t kFlagContextKindShift = 11;

struct Cell {
  uint32_t header;
  uint32_t data1;
  uint32_t data2;
  uint32_t data3;
};
static_assert(sizeof(Cell) == 16, "a cell is four 32-bit words");

inline uint32_t TYPE_OF(const Cell* c) { return c->header & kTypeMask; }

// Replaces the type id and keeps every flag bit.
inline void set_type(Cell* c, uint32_t type) { c->header = (c->header & ~kTypeMask) | type; }

inline void clear_new_line(Cell* c) { c->header &= ~kFlagNewLine; }

// The one routine all code uses to copy a value.
inline Cell* copy_cell(const Cell* src, Cell* dst) {
  if (src != dst) *dst = *src;
  return dst;
}

inline void set_unset(Cell* c) { *c = Cell{TYPE_UNSET, 0, 0, 0}; }

// Words 2-3 hold doubles and 64-bit integers.
inline double cell_float(const Cell* c) {
  double d;
  std::memcpy(&d, &c->data2, sizeof d);
  return d;
}
inline void set_cell_float(Cell* c, double d) { std::memcpy(&c->data2, &d, sizeof d); }
inline int64_t cell_int64(const Cell* c) {
  int64_t v;
  std::memcpy(&v, &c->data2, sizeof v);
  return v;
}
inline void set_cell_int64(Cell* c, int64_t v) { std::memcpy(&c->data2, &v, sizeof v); }

}  // namespace kiv
