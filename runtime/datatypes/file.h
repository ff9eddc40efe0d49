// file! (type id 8, parent url!): a string that names a file or directory.
//
// The cell and the storage are those of string! (runtime/datatypes/string.h):
//   word 0  header, type id 8
//   word 1  head index, in characters
//   word 2  node of the name, without the "%" of its source form
//   word 3  0, or the node of the conversion buffer
//
// Names use "/" as separator; one not starting with "/" is relative to the
// current directory. On Linux the operating system's notation is the same,
// so the local form of a name is the name itself (made absolute on request).
//
// file! molds itself and answers read, write, delete, query and rename; make,
// to, form, path access, compare and the series actions come from url!.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/cell.h"
#include "runtime/datatypes/actions.h"

namespace kiv::file {

// The process's current directory, ending in "/" (empty when it cannot be
// read, for example after the directory was removed).
std::string get_current_dir();
// Appends the name in the operating system's notation to the output string;
// with full a relative name gets the current directory first.
void to_local_text(Cell* file, Cell* output, bool full);
// The name from the head as the operating system takes it: UTF-8 text.
std::string to_os_path(const Cell* file);

// Pushes a copy of the file cell on the argument stack.
Cell* push(const Cell* file);

// Handlers.
int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent);
Cell* read(Cell* source, Cell* part, Cell* seek, bool binary, bool lines, bool info, Cell* as);
Cell* write(Cell* destination, Cell* data, bool binary, bool lines, bool info, bool append,
            Cell* part, Cell* seek, Cell* allow, Cell* as);
Cell* delete_(Cell* file);
Cell* query(Cell* file);
Cell* rename(Cell* from, Cell* to);

// Registers file! (parent url!).
void init();

}  // namespace kiv::file
