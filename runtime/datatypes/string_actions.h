// The action handlers of string! proper, inherited by the other string kinds
// (file!, url!, tag!, email!, ref!) as their rows say, and the set
// operations on strings that the set natives call.
//
// Handlers follow the conventions of runtime/datatypes/actions.h: the argument
// cells lie on the argument stack and do not move; a handler that answers a
// new value writes it into its first argument's cell (the frame's base) and
// answers that cell, or answers &none_value.
//
// Every handler that changes a string tells the series' owner, when it has
// one, before and after the change (runtime/ownership.h), and raises every
// error before the first notification.
#pragma once

#include <cstdint>

#include "runtime/cell.h"
#include "runtime/datatypes/actions.h"

namespace kiv::string {

// make: an integer! or float! spec gives an empty string with that capacity
// (a negative size raises script out-of-range); any other spec is `to`.
Cell* make(Cell* type, Cell* spec);
// to: none! raises bad-to-arg; a block!, paren! or hash! joins its formed
// elements; a string kind is copied; a binary! is decoded as UTF-8; a
// refinement! is formed for string! and molded for the other kinds; any
// other value is formed. The result takes the target type.
Cell* to(Cell* type, Cell* spec);
// Path access: an integer! element picks or pokes a character; a word!
// element raises invalid-path; any other element selects (get) or finds
// and pokes the character after the match (set).
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* grand_parent,
                Cell* prev_element, int32_t index, PathFlags flags);

// The usual append, answered before any source is set up: the text of a
// string of the target's unit (not the target itself), a character the
// target's unit holds, or an integer's digits onto a unit-1 target, when the
// target is unowned and has room. Sets the series to its head and answers
// true; false (nothing done) leaves it to insert. Allocates nothing.
bool append_quick(Cell* series, const Cell* value);
// append (append = true: at the tail, answers the series at index 0) and
// insert (at the head, answers the series just past the insertion). part
// limits the characters added (-1: no limit); dup repeats them.
Cell* insert(Cell* series, Cell* value, int32_t part, bool only, int32_t dup, bool append);
// copy (string kinds, and binary! and vector!, whose rows take it): without
// part the units from the head; with part as series! copies.
Cell* copy(Cell* value, Cell* destination, Cell* part, bool deep, Cell* types);
// Replaces as many characters as it writes (or part characters when part is
// 0 or more) by the value's text; answers the series just past the change.
Cell* change(Cell* series, Cell* value, int32_t part, bool only, int32_t dup);

Cell* find(Cell* series, Cell* value, const FindOptions& options);
// The character after the match, or none.
Cell* select(Cell* series, Cell* value, const FindOptions& options);
Cell* sort(Cell* series, const SortOptions& options);
Cell* swap(Cell* series1, Cell* series2);
// Without part the taken character is answered as a char!; with part a new
// string of the series' type.
Cell* take(Cell* series, Cell* part, bool deep, bool last);
Cell* trim(Cell* series, const TrimOptions& options);

// union, intersect, exclude, difference and unique (the SetOp codes of
// runtime/datatypes/bitset.h) of two strings (b is not read for unique): a new string of a's type written into out (a cell that
// does not move; it may be a). skip is null or the /skip size: records of
// that many characters, compared by their first character. Without
// case_sensitive characters compare through fold_case.
Cell* set_operation(int32_t op, Cell* a, Cell* b, bool case_sensitive, const Cell* skip, Cell* out);

// The value's text as it joins a string (the rules of append): a string kind
// its characters from its head, a char! its character, a tag! "<" text ">",
// a block!, paren! or hash! each element formed in turn, anything else its
// form; at most limit characters (-1: all). Appended to the target string.
void append_value_text(Cell* target, Cell* value, int32_t limit);

}  // namespace kiv::string
