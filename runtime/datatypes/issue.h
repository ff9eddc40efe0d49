// issue! (type id 20, parent word!): a word-like value written with a
// leading "#" (#abc, #2024-01), a symbol that is never looked up.
//
//   word 0  header, type id 20
//   word 1  node of the global context
//   word 2  symbol id (runtime/datatypes/symbol.h)
//   word 3  always -1 (kUnresolved): an issue names no slot
//
// Issues are made by the lexer and by make/to. They form as their spelling
// (inherited from word!), mold with the "#", and compare like words, but only
// with other issues.
#pragma once

#include <string_view>

#include "runtime/cell.h"
#include "runtime/datatypes/actions.h"

namespace kiv::issue {

// Writes the issue of the text (interned as it is) into the cell.
Cell* init_cell(std::string_view text, Cell* cell);
// The same appended at the block's tail; answers the new cell (raw).
Cell* at_tail(std::string_view text, const Cell* block);
// While the runtime's boot flag is set, appends the issue to the root
// block; otherwise pushes it on the argument stack. Answers the issue.
Cell load(std::string_view text);
// Pushes a copy of a word cell retyped to issue!.
Cell* push(const Cell* word);

// Handlers.
Cell* make(Cell* type, Cell* spec);  // make and to
int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent);
int32_t compare(Cell* value1, Cell* value2, int32_t op);

// Registers issue! (parent word!) and its lexer loader.
void init();

}  // namespace kiv::issue
