// The C++ entries of the library's routines, registered by name before the
// library modules run; a module makes the routine! value with
// `NAME: routine* [spec] 'ENTRY`.
#pragma once

namespace kiv::library {

// Registers every routine entry of the library. Safe to call again.
void register_routines();

// The entry behind routine*: makes a routine! from a spec block and the name
// of a registered entry; an unknown name raises script invalid-arg.
void make_routine();

// Sets the global typeset words (number!, series! ... any-type!) to their
// typeset! values; before the library modules run.
void bind_typeset_words();

}  // namespace kiv::library
