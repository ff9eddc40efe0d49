// The string kin: tag! (type id 44), email! (45) and ref! (50), strings with a
// notation of their own. Each has string!'s cell and storage
// (runtime/datatypes/string.h) and string! as parent, and takes its
// behaviour from string! but for the rows below.
//
//   tag!    written between "<" and ">" (the text holds neither bracket);
//           form and mold give the brackets
//   email!  written as it is (user@host); its paths user and host read and
//           set the text before and after the first "@"
//   ref!    written after an "@" (the text holds no "@"); mold gives the
//           "@", form does not; no append, put or path access
//
// None of the three sorts, trims or takes random.
#pragma once

#include <cstdint>

#include "runtime/cell.h"
#include "runtime/datatypes/actions.h"

namespace kiv::tag {

// Pushes a copy of the cell on the argument stack (the buffer is shared).
Cell* push(const Cell* tag);

// Handlers: form and mold write "<", the characters from the head (at most
// limit of them with part), ">".
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent);

// Registers tag! (parent string!) and its lexer loader.
void init();

}  // namespace kiv::tag

namespace kiv::email {

Cell* push(const Cell* email);

// mold writes the characters as they are.
int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent);
// An integer! element is string path access. The words user and host (any
// letter case) address the text before the first "@" and after it (without
// an "@" the user is the whole text and the host empty): read, a new
// string! copy of the part; set, the part replaced in place as change/part
// does, answering the value. Anything else raises script/invalid-path.
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* grand_parent,
                Cell* prev_element, int32_t index, PathFlags flags);

// Registers email! (parent string!) and its lexer loader.
void init();

}  // namespace kiv::email

namespace kiv::ref {

Cell* push(const Cell* ref);

// mold writes "@" and the characters.
int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent);

// Registers ref! (parent string!) and its lexer loader.
void init();

}  // namespace kiv::ref
