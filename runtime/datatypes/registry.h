// The type registry: the type name table and the handler table.
//
// Every datatype module makes itself known through one call of
// datatype::register_type with its id, its parent's id, its name and its row
// by difference: the type starts with its parent's row (every action
// unsupported when it has no parent) and lists, in slot order, only the
// handlers of its own (own<ACT_X>(fn)) and the actions it refuses
// (refuse<ACT_X>). Inheritance happens here and only here: a slot the row does
// not name copies the parent's handler (an address or 0) at the moment the
// child registers, so a parent registers before its children and later
// registrations never touch earlier rows. A full row of 62 entries (with
// kInherit and kNone) is still accepted and means the same.
//
//   type name table   57 entries (ids 0-56; 1-54 used): name with its "!",
//                     length without the "!", the global word of the name
//   handler table     57 rows of 256 slots; the handler of action k for type
//                     t is datatype_action_table[t * 256 + k - 1]; slots 63-256
//                     of every row stay 0; 0 means "unsupported"
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "runtime/cell.h"
#include "runtime/datatypes/actions.h"

namespace kiv {

constexpr uint32_t kTypeTableSize = 57;
constexpr uint32_t kHandlerRowSize = 256;

struct TypeNameEntry {
  const char* name;  // zero-terminated, with its final "!"; null until registered
  int32_t length;    // strlen(name) - 1
  Cell word;         // the global word! of the name; header 0 until the words exist
};

extern TypeNameEntry type_name_table[kTypeTableSize];
extern Handler datatype_action_table[kTypeTableSize * kHandlerRowSize];
// The largest type id registered so far; the name pass walks 1 to this value.
extern uint32_t highest_type_id;

inline Handler type_handler(uint32_t type, uint32_t action) {
  return datatype_action_table[type * kHandlerRowSize + action - 1];
}

// The name, with its "!", of every datatype id the system knows, whether its
// type has registered or not (null for an id without a type).
const char* builtin_type_name(uint32_t type);

// True once a type has registered.
inline bool type_registered(uint32_t type) {
  return type < kTypeTableSize && type_name_table[type].name != nullptr;
}

// Makes (interning when needed) the global word! of a text. The registry
// cannot set the words of the names before the symbol table and the global
// context exist; start-up installs this hook once they do.
using GlobalWordMaker = Cell (*)(const char* text, size_t length);
void set_global_word_maker(GlobalWordMaker maker);

// The name pass: sets the word of every name entry from 1 to the highest type
// id. Types registered after the maker is installed get their word at once.
void init_datatype_words();

namespace datatype {

// Fills the name entry and the handler row of a type. A row that does not
// hold exactly one entry per action slot, in slot order, is a fault of the
// build: the registry prints what it found and ends the process.
void register_type(uint32_t type, uint32_t parent, const char* name, const HandlerEntry* entries,
                   uint32_t count);

template <size_t N>
void register_type(uint32_t type, uint32_t parent, const char* name,
                   const HandlerEntry (&row)[N]) {
  static_assert(N == kActionCount, "a full registration row holds one entry per action slot");
  register_type(type, parent, name, row, static_cast<uint32_t>(N));
}

// Registers a type by its row by difference (a braced list of own<ACT_X>(fn)
// and refuse<ACT_X> entries). Entries out of slot order, twice for one slot,
// inherited entries or entries for the empty slot 8 are faults of the build:
// the registry prints what it found and ends the process.
void register_differences(uint32_t type, uint32_t parent, const char* name,
                          const HandlerEntry* differences, size_t count);
inline void register_type(uint32_t type, uint32_t parent, const char* name,
                          std::initializer_list<HandlerEntry> differences) {
  register_differences(type, parent, name, differences.begin(), differences.size());
}

}  // namespace datatype

// Registers every datatype that exists, parents first, in start-up order.
void register_datatypes();

}  // namespace kiv
