// event! (type id 54, no parent): how the GUI hands a user or system event
// to language code; scripts may also make events from a block.
//
//   word 0  header, type 54; bit 12 (kFlagEventFromValues) set when the
//           event was made from values by make
//   word 1  event type code, 1 to 35 (0: none given)
//   word 2  node of the event's own block of fields, 0 when it has none:
//             made from values  4 cells: face, window, offset, picked
//             made by the GUI   6 cells: face, window, offset, key, picked,
//                               orientation
//   word 3  flags: the flag bits (kFlag* below) in bits 22-31; for an event
//           made from values the code point of its key in bits 0-20
//
// An event made by the GUI keeps its own copy of the fields it was made
// with, so an event kept past its dispatch still answers them (rather than
// reading a window message that is gone). The collector marks the block of
// either kind.
//
// Field words compare through their canonical symbols. Any two events are
// equal; they have no order. Form and mold write "event".
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kiv::event {

constexpr uint32_t kTypeCount = 35;
constexpr uint32_t kFieldCount = 15;

// Flag bits of word 3.
constexpr uint32_t kFlagControl = 0x10000000;
constexpr uint32_t kFlagShift = 0x20000000;
constexpr uint32_t kFlagAlt = 0x40000000;
constexpr uint32_t kFlagCommand = 0x80000000;
constexpr uint32_t kFlagAway = 0x04000000;
constexpr uint32_t kFlagDown = 0x02000000;
constexpr uint32_t kFlagMidDown = 0x01000000;
constexpr uint32_t kFlagAltDown = 0x00800000;
constexpr uint32_t kFlagAuxDown = 0x00400000;
// Bits 0-20: the key's code point, of an event made from values.
constexpr uint32_t kKeyMask = 0x001FFFFF;

// What the GUI back-end reads from a system message to make an event. Every
// cell must hold a value the collector reaches otherwise (a face in the
// face tree, a scalar); push_native copies them into the event.
struct NativeEvent {
  uint32_t type = 0;  // code 1-35
  uint32_t flags = 0; // the flag bits
  Cell face{TYPE_NONE, 0, 0, 0};
  Cell window{TYPE_NONE, 0, 0, 0};
  Cell offset{TYPE_PAIR, 0, 0, 0};
  Cell key{TYPE_NONE, 0, 0, 0};  // a char! or a key word
  Cell picked{TYPE_NONE, 0, 0, 0};
  Cell orientation{TYPE_NONE, 0, 0, 0};  // vertical or horizontal for scroll events
};

// Pushes a new event made by the GUI, with its own copy of the fields.
Cell* push_native(const NativeEvent& fields);
// Pushes a copy of the event cell.
Cell* push(const Cell* event);

// The word of the event's type code, none! for a code outside the table.
Cell type_to_word(const Cell* event);
// Stores the code of the type word into the event; a word outside the
// table raises script not-event-type.
void word_to_type(Cell* event, const Cell* word);
// The mask of a flag word, 0 for any other word.
uint32_t flag_word_to_bit(const Cell* word);
// The field number 1-15 of a word; for another word, script cannot-use
// (word, event) when the context value is an event!, else -1.
int32_t field_index(const Cell* word, const Cell* context);
// Field n of the event, pushed on the stack.
Cell* get_field(const Cell* event, int32_t n);

// Sends an event through the GUI (the queued flag asks for a posted message
// rather than one dispatched at once); answers the GUI's answer. The GUI
// back-end installs it; without one, send-event-os raises internal not-done.
using Sender = bool (*)(const Cell* event, bool queued);
void set_sender(Sender sender);

// The routines bound to global words once event! is registered: the word,
// its spec as source text and the routine's entry (arguments at the frame's
// base, result left in the base cell).
struct Routine {
  const char* word;
  const char* spec;
  void (*entry)();
};
extern const Routine kRoutines[3];

// Registers event! (start-up calls it after the library's top-level code).
void init();

}  // namespace kiv::event
