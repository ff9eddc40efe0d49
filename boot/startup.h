// Start-up: the runtime initialisation in its fixed order, the loading of
// the Kiv sources (boot/modules.txt names them in binding order), the
// binding of the native and action words from their spec files, and the
// top-level code of the library modules.
//
// The sources come from the boot payload: a Kivbin image made at build time
// by kiv-boot-payload (one block a source, in binding order), linked into
// the executables (the generated boot_payload.cpp registers it before main
// runs). Two other ways stay for developers: KIV_BOOT_SOURCES naming a
// folder (the repository root) loads the files from there through the
// lexer, and a program linked without a payload loads the text embedded in
// the runtime library (boot_sources.inc). A payload that is not Kivbin or is
// damaged, a missing source file or a spec entry out of shape ends the
// process with a message and a non-zero status.
//
// Order of runtime_init: boot mode on, print hooks, platform, random
// generator and hash seed, memory manager and collector (the first node and
// series frames, the root block), handles, the type registry and the
// datatype registrations, the action entries, the symbol table and the
// global context with the words of the type names, case folding, the
// built-in words, the natives and the parse stacks, ownership, the value
// stack, the lexer (runtime_core_init ends here); the sources (payload
// decoded with the collector off, kept in the root block), then the type
// name, native and action words bound; the interpreter, the cell-slot table,
// the collector's counters and the library's routine entries.
// boot_library then enables the collector, leaves boot mode and runs the
// library modules in binding order, each marked as library code; while they
// run, `routine* spec 'entry` makes a routine! over a registered C++ entry
// (library/routines.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
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

// The environment variable naming a folder to load the sources from.
constexpr const char* kSourceFolderVariable = "KIV_BOOT_SOURCES";
// The exit status of a start-up that cannot go on.
constexpr int kBootFailureStatus = 1;

// Registers the boot payload (static data; called before main by the
// generated payload file).
void set_boot_payload(const uint8_t* data, size_t size);
// The registered payload, empty when there is none.
std::span<const uint8_t> boot_payload();

// Where the sources were loaded from.
enum class LibraryOrigin { kPayload, kSourceFolder, kEmbeddedText };
LibraryOrigin library_origin();

// The runtime without the library: everything of runtime_init up to the
// lexer (what the payload build tool needs to lex and encode). Runs once.
void runtime_core_init();

// The runtime initialisation, the loading of the sources and the binding of
// the spec files. Runs once.
void runtime_init();

// Runs the top-level code of every library module.
void boot_library();

// Both of the above: the runtime as the executables start it.
void start();

// Lexes UTF-8 source text into a new block; the block is written into out,
// which must be a cell the collector sees (the argument stack ...).
void load_text(std::string_view text, Cell* out);

}  // namespace kiv::boot
