// object! (type id 32, no parent): a context with a value cell around it.
//
//   word 0  header, type 32
//   word 1  node of the object's context (kind object); the context's self
//           cell holds a copy of this cell
//   word 2  class id (signed 32 bits)
//   word 3  node of the hook record, 0 when the object has neither hook
//
// Class ids: objects made from the same spec by the same route share one.
// A counter (kFirstClassId when the program starts) is incremented before
// each new id is taken, so ids made at run time start above it. A new id is
// taken when an object gains words its prototype lacks, or has no prototype.
//
// Hook record: a series of two cells, typed pair! (37): cell 0 for
// on-change*, cell 1 for on-deep-change*. Word 2 of each is
// (index of the hook word << 16) | local count, word 3 the node of the
// hook function's spec when the count was taken. An index of 0xFFFF means
// the hook word is absent. The local count is what a call pushes after the
// arguments: the /local refinement's own value and one cell per local.
//
// Changed mark: bit 13 of a word cell in the words block (kFlagWordChanged),
// set by every setter, cleared by make and by `modify obj 'changed none`.
// Owner flag: kFlagOwned on the context record while the object owns its
// values (runtime/ownership.h).
//
// error! (34) and port! (48) are object types: their cells share this
// layout and inherit the handlers that they do not write themselves.
//
// Moving buffers: every routine here may allocate unless it says otherwise;
// object cells handed in must lie in cells the collector sees (the argument
// stack, a RootedCell), and addresses answered are raw.
#pragma once

#include <cstdint>

#include "runtime/cell.h"
#include "runtime/datatypes/actions.h"

namespace kiv::object {

constexpr int32_t kFirstClassId = 1000000;
constexpr uint32_t kNoHookIndex = 0xFFFF;
constexpr uint32_t kHookChange = 0;
constexpr uint32_t kHookDeepChange = 1;
// The callback kind bits the hooks are invoked with.
constexpr uint32_t kCallbackChange = 8;
constexpr uint32_t kCallbackDeep = 16;

inline uint32_t context_of(const Cell* object) { return object->data1; }
inline int32_t class_of(const Cell* object) { return static_cast<int32_t>(object->data2); }
inline uint32_t hooks_of(const Cell* object) { return object->data3; }
// object!, error! and port!.
inline bool any_object_q(uint32_t type) { return type == TYPE_OBJECT || type == TYPE_ERROR || type == TYPE_PORT; }

// ---------------------------------------------------------------------------
// Construction and access.

// The incremented class counter.
int32_t next_class_id();
// Pushes an object cell and copies it into the context's self cell.
Cell* push(uint32_t ctx, int32_t class_id, uint32_t hooks);
// As push with no hooks, first setting the value series' tail to the word
// count (for contexts made by start-up).
Cell* push_context(uint32_t ctx, int32_t class_id);
// Writes a new object with a fresh object context for `words` words, class
// id 0 and no hooks into the cell (which must be one the collector sees).
void init_new(Cell* out, uint32_t words);
// Whether the value is an object! of that class id (the guard of code that
// reads fields by fixed index).
bool word_value_is_class_q(const Cell* word, int32_t class_id);
bool context_value_is_class_q(uint32_t ctx, uint32_t index, int32_t class_id);
// The value cell of the word's symbol in the object (raw), or the shared
// none value when absent.
Cell* get_field(const Cell* object, const Cell* word);
// The index of the word's symbol in the object, -1 when absent.
int32_t find_field(const Cell* object, const Cell* word);
Cell* values_head(const Cell* object);
uint32_t word_count(const Cell* object);
// Cell N of a series holder (raw); the first cell.
Cell* series_cell_at(const Cell* holder, uint32_t n);
Cell* first_value(const Cell* holder);
// Clears the new-line mark of every cell of a series node; clears the
// changed mark of every word of a context.
void series_clear_new_lines(uint32_t node);
void clear_changed(uint32_t ctx);

// ---------------------------------------------------------------------------
// Hooks.

// Scans the object's words for on-change* and on-deep-change* and builds its
// hook record (each present one must hold a function! or routine!, else
// script bad-field-set); with the deep hook the object becomes the owner of
// its values. The object cell (word 3) and its context's self cell are
// updated; answers the hook node (0 for none).
uint32_t find_hooks(Cell* object);
// Whether the context's object has an on-deep-change* hook.
bool has_deep_hook_q(uint32_t ctx);
// Calls the object's on-change* with the word, the old and the new value.
// Nothing happens without a hook; a hook word no longer holding a function
// raises script invalid-obj-evt.
void fire_on_change(const Cell* object, const Cell* word, const Cell* old_value, const Cell* new_value);
// Calls the owner's on-deep-change* with the owner, the word, the changed
// value, the action word, the new value (none when unset), the index and
// the part. An owner without hooks raises script invalid-obj-evt.
void fire_on_deep_change(const Cell* owner, const Cell* word, const Cell* target, const Cell* action,
                         const Cell* new_value, int32_t index, int32_t part);

// ---------------------------------------------------------------------------
// Natives' parts.

// set with an object target: from a block's values in order, from another
// object's fields, else every word the value. Unless any, only or some,
// unset values raise script need-value before anything is stored; some
// skips none values. Objects with hooks fire on-change* per word and leave
// the hook words themselves alone.
void set_many(Cell* object, Cell* value, bool any, bool only, bool some);
// construct: out (a rooted cell) receives a copy of the prototype (or a new
// object of a new class), then its set-words take the values after them
// without evaluation (logic and none words turned into values unless only).
void construct(Cell* out, const Cell* spec, const Cell* prototype, bool only);
// For each word of the source that the target also has, the source's value
// goes into the target's slot (series copied).
void copy_values_from(const Cell* source, Cell* target);
// The set-word runs of the spec take the value after them (see construct).
void set_from_spec(uint32_t ctx, const Cell* spec, bool only);

// ---------------------------------------------------------------------------
// Handlers.

Cell* make(Cell* type, Cell* spec);
Cell* reflect(Cell* value, Cell* field);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent);
// mold with another opening text than "make object! [" (port! writes its own).
int32_t mold_as(Cell* value, Cell* buffer, const char* opener, MoldFlags flags, Cell* part, int32_t limit,
                int32_t indent);
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* grand_parent,
                Cell* prev_element, int32_t index, PathFlags flags);
int32_t compare(Cell* value1, Cell* value2, int32_t op);
Cell* copy(Cell* value, Cell* destination, Cell* part, bool deep, Cell* types);
Cell* put(Cell* series, Cell* key, Cell* value, bool case_sensitive);
Cell* select(Cell* series, Cell* value, const FindOptions& options);
Cell* modify(Cell* target, Cell* field, Cell* value, bool case_sensitive);

// Registers object! and installs the change hook of the contexts and the
// deep-change handler and object walker of the ownership table.
void init();

}  // namespace kiv::object
