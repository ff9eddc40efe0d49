// url! (type id 9, parent string!): a string that names a resource.
//
// The cell and the storage are those of string! (runtime/datatypes/string.h):
//   word 0  header, type id 9
//   word 1  head index, in characters
//   word 2  node of the text, in the string's unit (1, 2 or 4 bytes)
//   word 3  0, or the node of the conversion buffer
// The text is held decoded: percent escapes are decoded when a url is read
// from source text (decode_percent) and written again when it is molded
// (encode_percent with the url table).
//
// url! has its own make, to, mold and path access, and answers open, read
// and write; form, compare and the series actions come from string!.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "runtime/cell.h"
#include "runtime/datatypes/actions.h"

namespace kiv::url {

// The characters that may show unescaped.
enum class Table {
  kUrl,     // "!#$&'()*+,-./:=?@_~", digits and letters (url and file mold)
  kStrict,  // the unreserved ones only: "-._~", digits and letters
};
bool unescaped_q(uint32_t code_point, Table table);

// The UTF-8 bytes of a string value's text from its head.
std::string utf8_text(const Cell* string);

// Appends the text from the head of the string value to the output string,
// each UTF-8 byte as itself when the table allows it, else as "%" and two
// upper-case hexadecimal digits (bytes from 128 always escaped). At most
// limit characters are written (-1: no limit); answers the count written.
int32_t encode_percent(const Cell* text, Cell* output, Table table, int32_t limit = -1);
// Appends the text with its percent escapes decoded: an escape that leads a
// UTF-8 sequence whose other bytes are escapes too gives that character, any
// other escaped byte the character of its code, and everything else is
// copied.
void decode_percent(const Cell* text, Cell* output);
// The same from UTF-8 bytes (the lexer's reading of url text).
void decode_percent_bytes(const uint8_t* utf8, size_t length, Cell* output);

// Pushes a copy of the url cell on the argument stack.
Cell* push(const Cell* url);

// Handlers.
Cell* make(Cell* type, Cell* spec);
Cell* to(Cell* type, Cell* spec);
int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent);
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* grand_parent,
                Cell* prev_element, int32_t index, PathFlags flags);
Cell* open(Cell* port, bool new_, bool read, bool write, bool seek, Cell* allow);
Cell* read(Cell* source, Cell* part, Cell* seek, bool binary, bool lines, bool info, Cell* as);
Cell* write(Cell* destination, Cell* data, bool binary, bool lines, bool info, bool append,
            Cell* part, Cell* seek, Cell* allow, Cell* as);

// Registers url! (parent string!).
void init();

}  // namespace kiv::url
