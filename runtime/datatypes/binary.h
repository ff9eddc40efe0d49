// binary! (type id 41, parent string!): a series of bytes.
//
//   word 0  header, type id 41
//   word 1  head index, in bytes from the buffer's first used byte
//   word 2  node of a series buffer of unit 1
//   word 3  0
//
// A head index beyond the tail counts as the tail: routines that measure clamp
// it and store the clamped index back in the cell.
//
// Most series behaviour (at, next, pick, copy, find ...) is string!'s; binary!
// has its own to, form, mold, compare, the bitwise actions and complement,
// append/insert, change and trim, plus the byte routines below that the
// codecs, compression, checksums and parse use to build and read binaries.
//
// Moving buffers: every routine that may allocate may move any buffer. A
// Cell* handed in must stay where it is (argument stack, C++ local or
// RootedCell), never a cell inside a series buffer. Bytes taken from a value
// that is about to grow (or from another series) are copied aside first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "runtime/cell.h"
#include "runtime/checks.h"
#include "runtime/datatypes/actions.h"

namespace kiv::binary {

inline uint32_t node_of(const Cell* value) { return value->data2; }

// ---------------------------------------------------------------------------
// Making binaries.

// The cell as an empty binary! with room for capacity bytes (16 when 0 or
// less). Answers the cell.
Cell* make_at(Cell* cell, int32_t capacity);
// A new binary! holding a copy of count bytes, written to target, or to a new
// cell pushed on the argument stack when target is null. The bytes must not
// live in a series buffer (the allocation may move it). Answers the cell.
Cell* load(const uint8_t* bytes, size_t count, Cell* target);
inline Cell* load(std::span<const uint8_t> bytes, Cell* target) {
  return load(bytes.data(), bytes.size(), target);
}
// load into a new cell pushed on the argument stack.
Cell* push_bytes(const uint8_t* bytes, size_t count);
// Pushes a copy of the binary cell (the buffer is shared).
Cell* push(const Cell* value);

// ---------------------------------------------------------------------------
// Reading.

// Bytes from the head to the tail (0 when the head is at or past the tail).
int32_t length(Cell* value);
// Address of the head byte (raw: good until the next allocation).
HeldPtr<uint8_t> head_pointer(Cell* value);
// The byte at the head; 0 at the tail.
uint8_t byte_at_head(Cell* value);
// The bytes from the head, copied out.
std::vector<uint8_t> bytes_of(Cell* value);
// The first bytes from the head (at most max_bytes, at most 8) read as one
// big-endian number; 0 at the tail.
uint64_t head_big_endian(const Cell* value, int32_t max_bytes);

// ---------------------------------------------------------------------------
// Writing raw bytes (the owner is not notified: these build values).

// Appends count bytes at the tail, growing the buffer.
void append_bytes(Cell* value, const uint8_t* bytes, size_t count);
// Inserts count bytes at head + position (clamped to the tail), moving the
// rest up.
void insert_bytes(Cell* value, int32_t position, const uint8_t* bytes, size_t count);
// Stores the low byte of an integer! or the code point of a char! at the
// address; any other value raises script/invalid-arg with it.
void poke_byte(uint8_t* target, const Cell* value);

// ---------------------------------------------------------------------------
// Conversions.

// The bytes a value stands for when appended, inserted or changed into a
// binary: a char! as UTF-8, an integer! -128 ... 255 as one byte (else
// script/invalid-arg), a binary! from its head, a tuple!'s components, the
// UTF-8 of a string kind from its head, a block!, paren! or hash! element by
// element. part (>= 0) limits the units taken from a series value. Any other
// value answers false (the caller decides: append and insert refuse it,
// change forms it).
bool value_bytes(Cell* value, int32_t part, std::vector<uint8_t>& out);
// The UTF-8 bytes of a string kind from its head, at most part characters
// when part >= 0; script/invalid-char for a code point above 0x10FFFF.
std::vector<uint8_t> string_utf8(Cell* string, int32_t part = -1);
// The spelling of an issue! decoded as base 16 into target; script
// invalid-data with the issue for a text that is not hexadecimal.
Cell* from_string(const Cell* issue, Cell* target);

// ---------------------------------------------------------------------------
// Comparison and parse.

// Compares the bytes from the binary's head with another binary! or string
// kind from its head under a compare op code: -1, 0 or 1. In match mode the
// binary must begin with the other value (0 when it does). A character of a
// string kind compares with a byte as its code point.
int32_t compare_series(Cell* binary, Cell* other, int32_t op, bool match);
// True when the head byte is a member of the bitset (a byte beyond the
// bitset's bytes answers its complement flag); false at the tail.
bool head_in_bitset_q(Cell* binary, const Cell* bitset);
// True when the bytes at the head begin with a binary! or string kind value,
// or when the head byte equals a char!'s code point.
bool match_head_q(Cell* binary, Cell* value, int32_t op);

// ---------------------------------------------------------------------------
// Handlers.

Cell* to(Cell* type, Cell* spec);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent);
int32_t compare(Cell* value1, Cell* value2, int32_t op);
void and_t();
void or_t();
void xor_t();
Cell* complement(Cell* value);
// append (append = true) and insert share one handler.
Cell* insert(Cell* series, Cell* value, int32_t part, bool only, int32_t dup, bool append);
Cell* change(Cell* series, Cell* value, int32_t part, bool only, int32_t dup);
Cell* trim(Cell* series, const TrimOptions& options);

// Registers binary! (parent string!) and the lexer's loader of #{...}.
void init();

}  // namespace kiv::binary
