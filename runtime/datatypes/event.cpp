#include "runtime/datatypes/event.h"

#include "runtime/datatypes/actions.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/char.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/pair.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"

namespace kiv::event {

namespace {

// The type words by code (entry 0 unused).
const char* const kTypeWords[kTypeCount + 1] = {
    nullptr,   "down",      "up",        "mid-down", "mid-up",    "alt-down", "alt-up",    "aux-down",
    "aux-up",  "click",     "dbl-click", "wheel",    "over",      "key",      "key-down",  "key-up",
    "ime",     "focus",     "unfocus",   "enter",    "zoom",      "pan",      "rotate",    "two-tap",
    "press-tap", "select",  "change",    "menu",     "close",     "move",     "resize",    "moving",
    "resizing", "time",     "drawing",   "scroll",
};
constexpr uint32_t kScrollType = 35;

struct FlagWord {
  const char* word;
  uint32_t mask;
};
// The words a make spec's flags: block accepts.
const FlagWord kFlagWords[] = {
    {"control", kFlagControl}, {"shift", kFlagShift},       {"alt", kFlagAlt},
    {"command", kFlagCommand}, {"away", kFlagAway},         {"down", kFlagDown},
    {"mid-down", kFlagMidDown}, {"alt-down", kFlagAltDown}, {"aux-down", kFlagAuxDown},
};
// The words the flags field answers, in this order (command has none).
const FlagWord kFlagFieldWords[] = {
    {"away", kFlagAway},         {"down", kFlagDown},   {"mid-down", kFlagMidDown},
    {"alt-down", kFlagAltDown},  {"aux-down", kFlagAuxDown}, {"control", kFlagControl},
    {"shift", kFlagShift},       {"alt", kFlagAlt},
};

// The field words by number (entry 0 unused).
const char* const kFieldWords[kFieldCount + 1] = {
    nullptr,   "type",      "face",      "window",    "offset",    "key",   "picked", "flags",
    "away?",   "down?",     "mid-down?", "alt-down?", "aux-down?", "ctrl?", "shift?", "orientation",
};
// The flag bit each of the fields 8 to 14 tests.
const uint32_t kFieldBits[] = {kFlagAway, kFlagDown, kFlagMidDown, kFlagAltDown, kFlagAuxDown, kFlagControl,
                               kFlagShift};

// Cells of the fields block: made from values, and made by the GUI.
constexpr uint32_t kValFace = 0, kValWindow = 1, kValOffset = 2, kValPicked = 3, kValuesCells = 4;
constexpr uint32_t kNatFace = 0, kNatWindow = 1, kNatOffset = 2, kNatKey = 3, kNatPicked = 4,
                   kNatOrientation = 5, kNativeCells = 6;

constexpr Cell kNone{TYPE_NONE, 0, 0, 0};
Cell zero_pair() { return Cell{TYPE_PAIR, 0, 0, 0}; }
Cell integer_cell(int32_t n) { return Cell{TYPE_INTEGER, 0, static_cast<uint32_t>(n), 0}; }

bool from_values_q(const Cell* event) { return (event->header & kFlagEventFromValues) != 0; }

uint32_t canonical_of_text(const char* text) { return symbol::canonical(word::load(text).data2); }

// Whether the word spells the text, case ignored.
bool spells(const Cell* word, const char* text) {
  return symbol::canonical(word->data2) == canonical_of_text(text);
}

bool any_word_q(const Cell* c) { return word::any_word_q(TYPE_OF(c)); }

// Cell n of the event's fields block, or the fallback when it has none.
Cell block_cell(const Cell* event, uint32_t n, Cell fallback) {
  uint32_t node = event->data2;
  if (node == 0 || series_length(node) <= n) return fallback;
  return series_head_cell(node)[n];
}

// A set-word's value in a make spec: a word! or get-word! bound to a context
// gives the value it has there (one level, no evaluation).
Cell resolved(const Cell* value) {
  uint32_t t = TYPE_OF(value);
  if ((t != TYPE_WORD && t != TYPE_GET_WORD) || value->data1 == 0) return *value;
  Cell w = *value;
  if (w.data3 != kUnresolved) return *_context::get_word(&w);
  Cell* found = _context::value_of_symbol(w.data2, w.data1);
  return found ? *found : Cell{TYPE_UNSET, 0, 0, 0};
}

Cell* push_flag_words(uint32_t flags) {
  Cell* out = stack::push_new_cell();
  block::init_cell(out, 4);
  for (const FlagWord& f : kFlagFieldWords) {
    if (!(flags & f.mask)) continue;
    Cell w = word::load(f.word);
    block::append_cell(out, &w);
  }
  return out;
}

Sender g_sender = nullptr;

// ---------------------------------------------------------------------------
// Handlers.

// make: a block of set-words and values; unknown keys and values of other
// types are passed over.
Cell* make(Cell* type, Cell* spec) {
  Cell made{TYPE_EVENT | kFlagEventFromValues, 0, 0, 0};
  if (TYPE_OF(spec) != TYPE_BLOCK) {
    *type = made;
    return type;
  }
  Cell* values = stack::push_new_cell();
  *values = kNone;
  Cell kept[kValuesCells] = {kNone, kNone, zero_pair(), integer_cell(0)};
  bool any_kept = false;
  Cell* s = stack::push_copy(spec);
  uint32_t n = series_length(s->data2);
  for (uint32_t i = s->data1; i < n;) {
    Cell key = series_head_cell(s->data2)[i];
    if (TYPE_OF(&key) != TYPE_SET_WORD || i + 1 >= n) {
      ++i;
      continue;
    }
    Cell value = resolved(series_head_cell(s->data2) + i + 1);
    i += 2;
    uint32_t t = TYPE_OF(&value);
    if (spells(&key, "type")) {
      if (t == TYPE_WORD || t == TYPE_LIT_WORD) word_to_type(&made, &value);
    } else if (spells(&key, "key")) {
      if (t == TYPE_CHAR) made.data3 |= value.data2 & kKeyMask;
    } else if (spells(&key, "flags")) {
      if (t != TYPE_BLOCK) continue;
      uint32_t m = series_length(value.data2);
      for (uint32_t k = value.data1; k < m; ++k) {
        Cell f = series_head_cell(value.data2)[k];
        if (TYPE_OF(&f) == TYPE_WORD) made.data3 |= flag_word_to_bit(&f);
      }
    } else if (spells(&key, "face") || spells(&key, "window")) {
      if (t != TYPE_OBJECT) continue;
      kept[spells(&key, "face") ? kValFace : kValWindow] = value;
      any_kept = true;
    } else if (spells(&key, "offset")) {
      if (t != TYPE_PAIR && t != TYPE_POINT2D) continue;
      kept[kValOffset] = value;
      any_kept = true;
    } else if (spells(&key, "picked")) {
      if (t != TYPE_INTEGER) continue;
      kept[kValPicked] = value;
      any_kept = true;
    }
  }
  if (any_kept) {
    // The kept values stay reachable through the spec meanwhile.
    block::init_cell(values, kValuesCells);
    for (const Cell& c : kept) block::append_cell(values, &c);
    made.data2 = values->data2;
  }
  *type = made;
  return type;
}

int32_t form(Cell*, Cell* buffer, Cell*, int32_t limit) {
  string::append_text(buffer, "event");
  return limit - 5;
}

int32_t mold(Cell* value, Cell* buffer, MoldFlags, Cell* part, int32_t limit, int32_t) {
  return form(value, buffer, part, limit);
}

// Path access: reading any field; setting only the type, to a word.
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell*, Cell*, int32_t, PathFlags) {
  Cell p = path ? *path : *element;
  int32_t n = any_word_q(element) ? field_index(element, nullptr) : -1;
  if (!value) {
    if (n < 0) fire(ErrorCategory::kScript, "invalid-path", p, *element);
    return get_field(parent, n);
  }
  if (n != 1) fire(ErrorCategory::kScript, "bad-path-set", p, *element);
  if (TYPE_OF(value) != TYPE_WORD) fire(ErrorCategory::kScript, "bad-path-set", p, *value);
  word_to_type(parent, value);
  return value;
}

// Any two events are equal; they have no order.
int32_t compare(Cell*, Cell* other, int32_t op) {
  if (TYPE_OF(other) != TYPE_EVENT) return -2;
  switch (op) {
    case 0: case 1: case 2: case 7: case 8: case 9: case 12:
      return 0;
    default:
      return -2;
  }
}

Cell* pick(Cell* series, int32_t index, Cell* index_cell) {
  int32_t n = index;
  if (any_word_q(index_cell)) n = field_index(index_cell, series);
  if (n < 1 || n > static_cast<int32_t>(kFieldCount)) fire(ErrorCategory::kScript, "out-of-range", *index_cell);
  return get_field(series, n);
}

// ---------------------------------------------------------------------------
// Routines.

// event? value: whether the value is an event!.
void event_q_entry() {
  Cell* base = stack::arguments();
  logic::init_cell(base, TYPE_OF(base) == TYPE_EVENT);
}

// send-event-os event queued?: the GUI's answer.
void send_event_os_entry() {
  Cell* base = stack::arguments();
  if (!g_sender) fire(ErrorCategory::kInternal, "not-done");
  Cell ev = base[0];
  bool queued = !logic::falsy(base + 1);
  bool sent = g_sender(&ev, queued);
  logic::init_cell(stack::arguments(), sent);
}

// find-flag? facet flag: the facet is the flag word, or a block holding it
// as a word! or lit-word!.
void find_flag_q_entry() {
  Cell* base = stack::arguments();
  Cell facet = base[0];
  Cell flag = base[1];
  uint32_t want = symbol::canonical(flag.data2);
  bool found = false;
  if (TYPE_OF(&facet) == TYPE_WORD) {
    found = symbol::canonical(facet.data2) == want;
  } else if (TYPE_OF(&facet) == TYPE_BLOCK) {
    uint32_t n = series_length(facet.data2);
    for (uint32_t i = facet.data1; i < n && !found; ++i) {
      HeldPtr<Cell> c = series_head_cell(facet.data2) + i;
      found = (TYPE_OF(c) == TYPE_WORD || TYPE_OF(c) == TYPE_LIT_WORD) && symbol::canonical(c->data2) == want;
    }
  }
  logic::init_cell(base, found);
}

}  // namespace

const Routine kRoutines[3] = {
    {"event?", R"(["Returns true if the value is this type" value [any-type!] return: [logic!]])", event_q_entry},
    {"send-event-os", "[event [event!] queued? [logic!] return: [logic!]]", send_event_os_entry},
    {"find-flag?", R"(["Checks a flag in a face object" facet [any-type!] flag [word!]])", find_flag_q_entry},
};

Cell* push_native(const NativeEvent& fields) {
  uint32_t base = stack::top_index();
  const Cell* cells[kNativeCells] = {&fields.face, &fields.window, &fields.offset,
                                      &fields.key,  &fields.picked, &fields.orientation};
  // The field cells are rooted on the stack before the block is made.
  for (const Cell* c : cells) stack::push_copy(c);
  Cell* block = stack::push_new_cell();
  block::init_cell(block, kNativeCells);
  for (uint32_t i = 0; i < kNativeCells; ++i) block::append_cell(block, stack::at(base + i));
  Cell made{TYPE_EVENT, fields.type, block->data2, fields.flags & ~kKeyMask};
  *stack::at(base) = made;
  stack::drop_cells(stack::top_index() - base - 1);
  return stack::at(base);
}

Cell* push(const Cell* event) { return stack::push_copy(event); }

Cell type_to_word(const Cell* event) {
  uint32_t code = event->data1;
  if (code < 1 || code > kTypeCount) return kNone;
  return word::load(kTypeWords[code]);
}

void word_to_type(Cell* event, const Cell* word) {
  uint32_t want = symbol::canonical(word->data2);
  for (uint32_t code = 1; code <= kTypeCount; ++code) {
    if (canonical_of_text(kTypeWords[code]) == want) {
      event->data1 = code;
      return;
    }
  }
  Cell w = *word;
  fire(ErrorCategory::kScript, "not-event-type", w);
}

uint32_t flag_word_to_bit(const Cell* word) {
  uint32_t want = symbol::canonical(word->data2);
  for (const FlagWord& f : kFlagWords)
    if (canonical_of_text(f.word) == want) return f.mask;
  return 0;
}

int32_t field_index(const Cell* word, const Cell* context) {
  uint32_t want = symbol::canonical(word->data2);
  for (uint32_t n = 1; n <= kFieldCount; ++n)
    if (canonical_of_text(kFieldWords[n]) == want) return static_cast<int32_t>(n);
  if (context && TYPE_OF(context) == TYPE_EVENT) fire(ErrorCategory::kScript, "cannot-use", *word, *context);
  return -1;
}

Cell* get_field(const Cell* event_in, int32_t n) {
  Cell event = *event_in;
  bool made = from_values_q(&event);
  uint32_t flags = event.data3;
  Cell out = kNone;
  switch (n) {
    case 1:
      out = type_to_word(&event);
      break;
    case 2:
      out = block_cell(&event, made ? kValFace : kNatFace, kNone);
      break;
    case 3:
      out = block_cell(&event, made ? kValWindow : kNatWindow, kNone);
      break;
    case 4:
      out = block_cell(&event, made ? kValOffset : kNatOffset, zero_pair());
      break;
    case 5:
      if (!made) out = block_cell(&event, kNatKey, kNone);
      else if (flags & kKeyMask) char_::init_cell(&out, flags & kKeyMask);
      break;
    case 6:
      out = block_cell(&event, made ? kValPicked : kNatPicked, made ? integer_cell(0) : kNone);
      break;
    case 7:
      return push_flag_words(flags);
    case 15:
      // Only a scroll event made by the GUI has an orientation.
      if (!made && event.data1 == kScrollType) out = block_cell(&event, kNatOrientation, kNone);
      break;
    default:
      if (n >= 8 && n <= 14) logic::init_cell(&out, (flags & kFieldBits[n - 8]) != 0);
      break;
  }
  return stack::push_copy(&out);
}

void set_sender(Sender sender) { g_sender = sender; }

void init() {
  datatype::register_type(TYPE_EVENT, 0, "event!", {
      own<ACT_MAKE>(make), own<ACT_FORM>(form), own<ACT_MOLD>(mold), own<ACT_EVAL_PATH>(eval_path),
      own<ACT_COMPARE>(compare), own<ACT_PICK>(pick),
  });
}

}  // namespace kiv::event
