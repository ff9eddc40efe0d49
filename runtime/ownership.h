// Series ownership: objects that want to hear about deep changes (faces,
// reactive objects) own the series held in their fields. Ownership is kept
// outside the values, in one table keyed by the node of the owned series (or
// the context node of an owned object); the actions that modify a series ask
// it, before and after each change, whether someone must be told.
//
// A record (three cells): the owned value as it was bound, the owner object
// (its word 3 is non-zero when the owner wants notifications), the word of
// the owner's field that holds the value.
//
// Owned marks: the kSeriesOwned buffer flag; for image! the cell header bit
// kFlagOwned; for an owner object, kFlagOwned on its context record (the
// object is an owner boundary).
//
// Collection: the table lives in C++ memory and is not a root. After marking,
// every record whose owned series or whose owner's context was not marked is
// deleted; a series that outlives its owner loses its owned mark, so it can
// be bound again.
//
// What the owner does with a notification belongs to object!: it installs
// the deep-change handler.
#pragma once

#include <cstdint>

#include <utility>

#include "runtime/cell.h"
#include "runtime/series.h"
#include "runtime/words.h"

namespace kiv::ownership {

// Creates (empties) the table and registers its sweep with the collector.
void init();

// value: the cell in the owner's field (an image! cell gets its owned bit);
// owner: the owner object! value; word: the owner's field word.
// A series not yet owned gets the mark and a record; the values of block-like
// series (block!, paren!, hash!, the path kinds) are bound in turn, with the
// cycle stack stopping a series that contains itself. An object! value gets
// no record of its own.
void bind(Cell* value, const Cell* owner, const Cell* word);
// bind, then marks the owner's context as an owner boundary.
void bind_value(Cell* value, const Cell* owner, const Cell* word);
// The reverse of bind: clears the mark and deletes the record, recursing as
// bind does.
void unbind(Cell* value);
// unbind for count values of the block from the index.
void unbind_range(const Cell* block, uint32_t index, uint32_t count);

// The record's three cells, nullptr when the node has none.
const Cell* owner_of(uint32_t node);
uint32_t record_count();

// The owner side of a notification: (owner, field word, the changed value,
// action word, new value or unset!, index, part).
using DeepChangeHandler = void (*)(const Cell* owner, const Cell* word, const Cell* target,
                                   const Cell* action, const Cell* new_value, int32_t index,
                                   int32_t part);
void set_deep_change_handler(DeepChangeHandler handler);

// The walk over an owned object's values belongs to object!, which installs
// it: bind (and unbind) call it for an object! value; it binds (unbinds)
// each value of the object with the object's own field word. Without a
// walker, object values are passed over.
using ObjectWalker = void (*)(Cell* object, const Cell* owner, bool unbind);
void set_object_walker(ObjectWalker walker);

// Called by every handler that changes a series or object in place: when the
// value has a record whose owner wants notifications, calls the deep-change
// handler and returns true; else returns false. The action word is sent as
// given (extra: the new value, nullptr for none).
bool check(const Cell* value, const Cell* action, int32_t index, int32_t part, const Cell* extra = nullptr);
bool check(const Cell* value, words::Id action, int32_t index, int32_t part, const Cell* extra = nullptr);

// The word sent when the change announced by the action word is done:
// change -> changed, clear -> cleared, append -> appended, insert ->
// inserted, remove -> removed, move -> moved, poke -> poked, put -> put-ed,
// random -> randomized, reverse -> reversed, sort -> sorted, swap -> swaped,
// take -> taken, trim -> trimmed. Any other word is its own done word.
words::Id done_word(words::Id action);

// The usual pair: check with the action word before the change and, when
// that answered true, with its done word after it.
template <typename Change>
void notify_around(const Cell* value, words::Id action, int32_t index, int32_t part, Change&& change,
                   const Cell* extra = nullptr) {
  bool owned = check(value, action, index, part, extra);
  change();
  if (owned) check(value, done_word(action), index, part, extra);
}

// notify_around for a change to a block-like or text series whose node is
// known (word 2 of the value): a series without the owned mark has no record,
// so it is changed at once, with no table lookup.
template <typename Change>
void notify_series_around(const Cell* value, uint32_t node, words::Id action, int32_t index, int32_t part,
                          Change&& change, const Cell* extra = nullptr) {
  if (node != 0 && (node_buffer(node)->flags & kSeriesOwned) == 0) {
    change();
    return;
  }
  notify_around(value, action, index, part, std::forward<Change>(change), extra);
}

}  // namespace kiv::ownership
