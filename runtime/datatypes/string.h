// string! (type id 7) and the storage layer shared by every string kind
// (file! 8, url! 9, tag! 44, email! 45, ref! 50) and, for several routines,
// binary! (unit 1).
//
//   word 0  header, type id (7 for string!, the kinds' own ids otherwise)
//   word 1  head index, in characters (units) from the buffer's first unit
//   word 2  node of the series buffer
//   word 3  0, or the node of the value's conversion buffer (UTF-8 / UTF-16
//           form kept for operating-system calls)
//
// A buffer holds code points in units of 1 (0-255), 2 (up to 0xFFFF) or 4
// bytes (up to 0x10FFFF); the unit is in the buffer's flags. A buffer is never
// narrower than its widest code point: writers widen it in place (1 -> 2 -> 4,
// never back). A 16-bit unit is little-endian.
//
// The head index may lie past the tail after the series shrank through
// another reference: routines that need the head address clamp the index to
// the tail first and store the clamped index back in the cell.
//
// Moving buffers: every routine here that writes may grow the buffer, and so
// may move any buffer. The routines hold node ids, never buffer addresses,
// across allocations. A Cell* handed to them must stay where it is (a cell on
// the argument stack or a C++ local), never a cell inside a series buffer,
// and the series it names must be reachable by the collector meanwhile (the
// argument stack, a RootedCell, or a block that is itself reachable).
//
// Output of form and mold: handlers append to the output string with
// append_char, append_text (ASCII / Latin-1 bytes, one character each),
// append_utf8 (UTF-8 text) and append_string (another string value).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "runtime/cell.h"
#include "runtime/checks.h"
#include "runtime/datatypes/actions.h"
#include "runtime/type_traits.h"

namespace kiv::string {

// Modes of concat.
enum ConcatMode : int32_t {
  kConcatAppend = 0,     // at the tail
  kConcatInsert = 1,     // at a position, moving the rest up
  kConcatOverwrite = 2,  // from a position, over what is there
};

// ---------------------------------------------------------------------------
// Cells.

// The cell as an empty string!: head 0, a new unit-1 series with room for
// capacity characters (1 when 0 or less), word 3 zero. Answers the cell.
Cell* init_cell(Cell* cell, int32_t capacity);
// The same with a series of the given unit (1, 2 or 4).
Cell* init_sized(Cell* cell, int32_t capacity, uint32_t unit);

// Pushes a copy of the string value on the argument stack (the buffer is
// shared, not copied).
Cell* push(const Cell* value);

// Text encodings of load_encoded.
enum Encoding : int32_t {
  kEncodingUtf8 = 0,
  kEncodingUtf16le = -1,
};
// The cell as a new string! holding the decoded text of length bytes:
// UTF-8 (invalid input raises access/invalid-utf8) or UTF-16LE without CR
// handling (an odd byte count or a broken surrogate pair raises
// script/invalid-data). Any other encoding raises script/invalid-arg with
// it. With no target cell a new cell is pushed on the argument stack.
Cell* load_encoded(const uint8_t* bytes, size_t length, int32_t encoding, Cell* target);
// The same into a new cell at the tail of the block; answers it (raw).
Cell* load_encoded_at_tail(const Cell* block, const uint8_t* bytes, size_t length, int32_t encoding);
// The same into a new cell pushed on the argument stack.
inline Cell* load_encoded_push(const uint8_t* bytes, size_t length, int32_t encoding) {
  return load_encoded(bytes, length, encoding, nullptr);
}

inline uint32_t node_of(const Cell* value) { return value->data2; }
inline int32_t index_of(const Cell* value) { return static_cast<int32_t>(value->data1); }

// True for string!, file!, url!, tag!, email! and ref!.
inline bool any_string_q(uint32_t type) { return any_string_type_q(type); }

// ---------------------------------------------------------------------------
// Measuring and addressing.

// Characters from the head to the tail (0 when the head is at or past the
// tail); clamps a head past the tail.
int32_t length(Cell* value);
// Characters from the buffer's first unit, whatever the head.
int32_t length_whole(const Cell* value);
// Unit size of the value's buffer.
uint32_t unit_of(const Cell* value);
// Address of the head unit (clamping the head index first). Raw: good only
// until the next allocation.
HeldPtr<uint8_t> head_pointer(Cell* value);
// True when the head is at or past the tail.
bool at_tail_q(Cell* value);
// The code points of the first count characters from the head (count at
// most the length), copied out of the buffer: the caller may allocate while
// it holds them.
std::vector<uint32_t> head_chars(Cell* value, int32_t count);
// Code point of unit n of the series, counted from its first unit.
uint32_t char_at_index(const Cell* value, int32_t n);
// Code point stored at the address for unit 1, 2 or 4.
uint32_t get_char(const uint8_t* address, uint32_t unit);
// Index, from the head, of the first occurrence of the code point; -1 if none.
int32_t index_of_char(Cell* value, uint32_t code_point);
// True when the code point occurs among the units from the head taken every
// step units; without case_sensitive both sides are folded.
bool contains_char_q(Cell* value, uint32_t code_point, int32_t step, bool case_sensitive);
// True when the characters from the head begin with the bytes of text (each
// byte one character); false when the string is shorter.
bool starts_with_text_q(Cell* value, const char* text);

// ---------------------------------------------------------------------------
// Writing characters. `node` is the series' node; indexes count units from
// the buffer's first unit.

// Appends one code point at the tail, widening the buffer first when it does
// not fit (on a unit-1 buffer anything above 127 widens).
void append_char(uint32_t node, uint32_t code_point);
// Writes the code point over unit `index` (which must exist), widening when
// it does not fit the unit (unit 1 keeps code points up to 255).
void put_char(uint32_t node, int32_t index, uint32_t code_point);
// Writes unit `index`; an index at or past the tail extends the tail to just
// after it (the gap, if any, is filled with code point 0).
void overwrite_char(uint32_t node, int32_t index, uint32_t code_point);
// Inserts the code point before unit `index` (clamped to the tail).
void insert_char(uint32_t node, int32_t index, uint32_t code_point);
// Removes count units at index; a count reaching past the tail stops there.
Cell* remove_part(Cell* value, int32_t index, int32_t count);
// Empties the buffer, sets unit 1 and head index 0.
void reset(Cell* value);
// When the buffer's room holds count units, lowers the tail to count units
// from the buffer's first unit if it lies beyond (cuts /part output).
void limit_tail(uint32_t node, int32_t count);
// Converts the buffer in place from one unit to a wider one (1->2, 1->4, 2->4).
void widen(uint32_t node, uint32_t from_unit, uint32_t to_unit);
// Copies the units in [offset, end) of the source series (from its first
// unit) to the start of the target series at new_unit (2 or 4), making the
// target when it is 0; unless keep, the target's tail and unit become those
// of the copy. Answers the target node.
uint32_t widen_copy(uint32_t source, int32_t offset, int32_t end, uint32_t target, uint32_t new_unit,
                    bool keep);
// The move action between strings of different units: inserts count
// characters from the source's head one by one at the target's head (widening
// it as needed), then removes them from the source.
void move_chars(Cell* source, Cell* target, int32_t count);

// ---------------------------------------------------------------------------
// Appending text.

// Copies the source's characters from its head (at most part of them when
// part >= 0) into the target: mode append at the tail, insert or overwrite at
// position (units from the buffer's first unit). A target narrower than the
// source is widened first; with convert off a source narrower than the target
// is widened in place instead. A symbol! source or target is read through its
// text. Source and target may share a buffer.
void concat(Cell* target, const Cell* source, int32_t part, int32_t position, bool convert,
            ConcatMode mode);

// Appends each byte of the NUL-terminated text as one character (ASCII or
// Latin-1 text).
void append_text(Cell* target, const char* text);
// Appends n bytes, each as one character.
void append_bytes(Cell* target, const uint8_t* bytes, size_t n);
inline void append_text(Cell* target, std::string_view text) {
  append_bytes(target, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}
// Appends UTF-8 text, decoding it; a byte that does not start a well-formed
// sequence is appended as U+FFFD (meant for the runtime's own texts; text
// from outside goes through the unicode loaders, which raise an error).
void append_utf8(Cell* target, std::string_view utf8);
// Appends one code point to the string value's buffer.
inline void append_char(Cell* target, uint32_t code_point) { append_char(node_of(target), code_point); }
// Appends the characters of another string value from its head (at most
// part of them when part >= 0).
void append_string(Cell* target, const Cell* source, int32_t part = -1);
// Appends n code points at once (widening once, growing once).
void append_chars(Cell* target, const uint32_t* code_points, size_t n);
// Appends the decimal text of a signed integer.
void append_decimal(Cell* target, int64_t value);

// ---------------------------------------------------------------------------
// Small text helpers.

// Two upper-case hexadecimal digits of a byte.
const char* byte_to_hex(uint8_t byte);
// Up to eight upper-case hexadecimal digits of value (see the .cpp).
const char* integer_to_hex(int32_t value, bool trim);
// The number read from length bytes of text; *unread (when given) receives
// the count of characters at the end that were not part of it.
double text_to_float(const char* bytes, size_t length, ptrdiff_t* unread);
// Exchanges two adjacent byte ranges inside one buffer: A (at start, len_a
// bytes) followed by B (len_b bytes) becomes B followed by A.
void block_exchange(uint8_t* start, size_t len_a, size_t len_b);

// ---------------------------------------------------------------------------
// Form, mold and comparison.

// form and mold handlers (action slots 5 and 6): append to the output string
// and answer the limit less what they wrote.
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent);
// Appends one character in molded form (char! and vector! molding share it).
void escape_char(Cell* buffer, uint32_t code_point, bool all);
// Counts the double quotes and line feeds among the units in [start, end).
void count_quotes_lines(const uint8_t* start, const uint8_t* end, uint32_t unit, int32_t* quotes,
                        int32_t* line_feeds);
// True when the "{" at start finds its matching "}" before end.
bool braces_balanced_q(const uint8_t* start, const uint8_t* end, uint32_t unit);

// The compare handler (slot 9): -1, 0, 1, or -2 when not comparable.
int32_t compare(Cell* value1, Cell* value2, int32_t op);
// The comparison worker: -1, 0 or 1. With match the first value must begin
// with the second (0 when it does).
int32_t compare_worker(Cell* value1, Cell* value2, int32_t op, bool match);
// True when the code point at the string's head is in the bitset (a code
// point beyond the bitset's bytes answers its complement flag).
bool head_in_bitset_q(Cell* string, const Cell* bitset);
// True when the input has "<" at the position and ">" right after the tag's
// text.
bool angle_delimited_q(Cell* input, Cell* tag, int32_t position);
// True when the rule value matches the input at position (index from the
// buffer's first unit): a string kind other than tag! as a prefix, a char!,
// or a tag! between angle brackets; any other type never matches.
bool match_head(Cell* input, int32_t position, Cell* rule, int32_t op);

// Registers string! (parent series!).
void init();

}  // namespace kiv::string
