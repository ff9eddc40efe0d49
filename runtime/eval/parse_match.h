// The single-value matchers of the parse engine (runtime/eval/parse.h):
// comparing one rule value with the input at its index, searching forward
// for `to` and `thru`, counting runs of a literal, and testing datatype
// rules on binary input.
//
// The input is a series cell (type, index, node) that the caller keeps
// reachable (it lies on the parse input stack). Every matcher that consumes
// moves the cell's index (word 1) past what matched and leaves it alone on
// failure. `end` is the index no match may reach past: the input's tail, or
// the /part limit when that is smaller.
//
// Units: a string kind is read one code point at a time (1, 2 or 4 bytes a
// unit), a binary! one byte at a time, a block kind one cell at a time. Text
// is compared as code points; without the case-sensitive op both sides are
// folded (runtime/case_fold.h). Binary input is always compared as it is.
//
// Tight loops read the buffers through raw addresses and allocate nothing;
// only the block comparisons call the compare handlers, and they keep
// indexes.
#pragma once

#include <cstdint>

#include "runtime/cell.h"
#include "runtime/series.h"

namespace kiv::parse {

// True for string!, file!, url!, tag!, email! and ref!.
bool string_input_q(uint32_t type);
// True for the any-block types parse walks (block!, paren!, hash!, the path
// kinds).
bool block_input_q(uint32_t type);

// Units of the input's series from its buffer's first unit to its tail.
inline int32_t total_units(const Cell* input) { return static_cast<int32_t>(series_length(input->data2)); }

// Matches the rule value at the input's index; on a match the index moves
// past it. Block input: the value at the index compared through the compare
// handlers (a lit-word! or lit-path! rule also matches a word! or path! of
// the same spelling). String and binary input: a char!, bitset!, string kind
// (a tag! with its angle brackets) or binary! rule. At the end only an empty
// string!, file! or url! rule matches, and only on string input.
bool match_value(Cell* input, int32_t end, const Cell* rule, int32_t case_op);

// Searches forward from the index for the rule value. When found, *start
// receives the index where the occurrence begins and the input's index moves
// past it. Answers false, the input unchanged, when nothing is found. On
// string and binary input a rule value that cannot be searched for raises
// script parse-rule (the caller restores its stacks first: see on_error).
bool find_to_thru(Cell* input, int32_t end, const Cell* rule, int32_t case_op, int32_t* start);
// True when find_to_thru can search for the rule value in this input.
bool searchable_q(const Cell* input, const Cell* rule);

// Matches the literal again and again from the index: at least min times,
// at most max times (max < 0: no maximum). Answers whether the count landed
// in range; *count receives the number of matches. The index moves past
// everything matched, even when the count fell short (the caller resets it).
bool match_repeat(Cell* input, int32_t end, const Cell* rule, int32_t min, int32_t max, int32_t case_op,
                  int32_t* count);

// A datatype! or typeset! rule on binary input: one value is lexed from the
// bytes at the index (as UTF-8 source text, up to end) and its type tested;
// on a match the index moves past the bytes the value's text took.
bool match_binary_type(Cell* input, int32_t end, const Cell* rule);

// The offset from pos of the next word! `|` in the block's cells, scanning
// pos .. tail; -1 when there is none.
int32_t find_word_in_rule(const Cell* rules, int32_t pos);

}  // namespace kiv::parse
