// Start-up: the runtime initialisation in its fixed order, the binding of
// the native and action words from their spec files, and the top-level code
// of the library modules. The Kiv sources (boot/modules.txt names them in
// binding order) are embedded in the executable as text (boot_sources.inc,
// made at build time) and loaded through the lexer.
//
// Order of runtime_init: boot mode on, print hooks, platform, random
// generator and hash seed, memory manager and collector (the first node and
// series frames, the root block), handles, the type registry and the
// datatype registrations, the action entries, the symbol table and the
// global context with the words of the type names, case folding, the
// built-in words, the natives and the parse stacks, ownership, the value
// stack, the lexer; then the spec files bind every native and action word
// and every type name word; then the interpreter, the cell-slot table, the
// collector's counters and the library's routine entries.
// boot_library then enables the collector, leaves boot mode and runs the
// library modules in binding order; while they run, `routine* spec 'entry`
// makes a routine! over a registered C++ entry (library/routines.h).
#pragma once

#include <cstdint>
#include <string_view>

#include "runtime/cell.h"

namespace kiv::boot {

// One embedded Kiv source file.
struct Source {
  const char* name;  // its path in the repository, e.g. "library/ops.kiv"
  const char* text;
};

// The embedded sources in binding order.
const Source* sources(uint32_t* count);
// The embedded source of that name, or null.
const char* source_text(std::string_view name);

// The runtime initialisation and the binding of the spec files. Runs once.
void runtime_init();

// Runs the top-level code of every library module.
void boot_library();

// Both of the above: the runtime as the executables start it.
void start();

// Lexes UTF-8 source text into a new block; the block is written into out,
// which must be a cell the collector sees (the argument stack ...).
void load_text(std::string_view text, Cell* out);

}  // namespace kiv::boot
