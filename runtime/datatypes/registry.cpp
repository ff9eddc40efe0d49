#include "runtime/datatypes/registry.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/bitset.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/char.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/date.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/file.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/issue.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/money.h"
#include "runtime/datatypes/port.h"
#include "runtime/datatypes/map.h"
#include "runtime/datatypes/native.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/handle.h"
#include "runtime/datatypes/hash.h"
#include "runtime/datatypes/image.h"
#include "runtime/datatypes/object.h"
#include "runtime/datatypes/pair.h"
#include "runtime/datatypes/percent.h"
#include "runtime/datatypes/point.h"
#include "runtime/datatypes/routine.h"
#include "runtime/datatypes/series_common.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/string_kin.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/time.h"
#include "runtime/datatypes/triple.h"
#include "runtime/datatypes/tuple.h"
#include "runtime/datatypes/typeset.h"
#include "runtime/datatypes/unset.h"
#include "runtime/datatypes/url.h"
#include "runtime/datatypes/vector.h"
#include "runtime/datatypes/word.h"

namespace kiv {

namespace {
const char* const kBuiltinTypeNames[] = {
    nullptr,     "datatype!", "unset!",     "none!",     "logic!",     "block!",    "paren!",   "string!",
    "file!",     "url!",      "char!",      "integer!",  "float!",     "symbol!",   "context!", "word!",
    "set-word!", "lit-word!", "get-word!",  "refinement!", "issue!",   "native!",   "action!",  "op!",
    "function!", "path!",     "lit-path!",  "set-path!", "get-path!",  "routine!",  "bitset!",  "triple!",
    "object!",   "typeset!",  "error!",     "vector!",   "hash!",      "pair!",     "percent!", "tuple!",
    "map!",      "binary!",   "series!",    "time!",     "tag!",       "email!",    "handle!",  "date!",
    "port!",     "money!",    "ref!",       "point2D!",  "point3D!",   "image!",    "event!"};
}  // namespace

const char* builtin_type_name(uint32_t type) {
  return type < sizeof kBuiltinTypeNames / sizeof kBuiltinTypeNames[0] ? kBuiltinTypeNames[type] : nullptr;
}

TypeNameEntry type_name_table[kTypeTableSize];
Handler datatype_action_table[kTypeTableSize * kHandlerRowSize];
uint32_t highest_type_id = 0;

namespace {

GlobalWordMaker global_word_maker = nullptr;

void set_name_word(TypeNameEntry& entry) {
  if (global_word_maker && entry.name) entry.word = global_word_maker(entry.name, std::strlen(entry.name));
}

[[noreturn]] void fail_registration(const char* what, uint32_t type, long found, long expected) {
  std::fprintf(stderr, "*** Datatype Error: %s: %u\n*** Found: %ld\n*** Expected: %ld\n", what, type,
               found, expected);
  std::fflush(stderr);
  std::exit(EXIT_FAILURE);
}

}  // namespace

void set_global_word_maker(GlobalWordMaker maker) { global_word_maker = maker; }

void init_datatype_words() {
  for (uint32_t i = 1; i <= highest_type_id; ++i) set_name_word(type_name_table[i]);
}

namespace datatype {

void register_type(uint32_t type, uint32_t parent, const char* name, const HandlerEntry* entries,
                   uint32_t count) {
  // These checks guard the fixed init routines: a failure is a fault of the
  // build, found at the first start.
  if (count != kActionCount)
    fail_registration("invalid actions count for type", type, count, kActionCount);
  if (type == 0 || type >= kTypeTableSize)
    fail_registration("invalid type id", type, type, kTypeTableSize - 1);
  if (parent != 0 && (parent >= kTypeTableSize || !type_registered(parent)))
    fail_registration("parent not registered before type", type, parent, parent);
  for (uint32_t k = 1; k <= kActionCount; ++k) {
    if (entries[k - 1].slot != k)
      fail_registration("action entry out of order for type", type, entries[k - 1].slot, k);
    if (entries[k - 1].kind == HandlerEntry::kInherited && parent == 0)
      fail_registration("inherited action without a parent for type", type, k, 0);
  }

  if (type > highest_type_id) highest_type_id = type;
  TypeNameEntry& entry = type_name_table[type];
  entry.name = name;
  entry.length = static_cast<int32_t>(std::strlen(name)) - 1;
  entry.word = Cell{};
  set_name_word(entry);

  Handler* row = &datatype_action_table[type * kHandlerRowSize];
  for (uint32_t k = 1; k <= kActionCount; ++k) {
    const HandlerEntry& e = entries[k - 1];
    Handler h = nullptr;
    if (e.kind == HandlerEntry::kOwn) h = e.fn;
    else if (e.kind == HandlerEntry::kInherited) h = type_handler(parent, k);
    // Slot 8 stays empty whatever the row says.
    row[k - 1] = (k == ACT_EMPTY_8) ? nullptr : h;
  }
}

void register_differences(uint32_t type, uint32_t parent, const char* name,
                          const HandlerEntry* differences, size_t count) {
  HandlerEntry row[kActionCount];
  HandlerEntry::Kind unnamed = parent != 0 ? HandlerEntry::kInherited : HandlerEntry::kUnsupported;
  for (uint32_t k = 1; k <= kActionCount; ++k) row[k - 1] = HandlerEntry{nullptr, k, unnamed};
  uint32_t previous = 0;
  for (const HandlerEntry& e : std::span(differences, count)) {
    if (e.slot <= previous || e.slot > kActionCount)
      fail_registration("action entry out of order for type", type, e.slot, previous + 1);
    if (e.slot == ACT_EMPTY_8) fail_registration("entry for the empty slot for type", type, e.slot, 0);
    if (e.kind == HandlerEntry::kInherited)
      fail_registration("inherited entry in a row by difference for type", type, e.slot, 0);
    row[e.slot - 1] = e;
    previous = e.slot;
  }
  row[ACT_EMPTY_8 - 1].kind = HandlerEntry::kUnsupported;
  register_type(type, parent, name, row, kActionCount);
}

}  // namespace datatype

// Start-up order, parents first. A type whose module does not exist yet has
// its line commented out; adding the type is uncommenting its line.
void register_datatypes() {
  datatype::init();
  unset::init();
  none::init();
  logic::init();
  series::init();
  block::init();
  string::init();
  binary::init();
  integer::init();
  symbol::init();
  context::init();
  word::init();
  lit_word::init();
  set_word::init();
  get_word::init();
  refinement::init();
  char_::init();
  native::init();
  action::init();
  op::init();
  path::init();
  lit_path::init();
  set_path::init();
  get_path::init();
  function::init();
  routine::init();
  paren::init();
  issue::init();
  url::init();
  file::init();
  object::init();
  bitset::init();
  triple::init();
  float_::init();
  typeset::init();
  error::init();
  vector::init();
  map::init();
  hash::init();
  pair::init();
  percent::init();
  tuple::init();
  time::init();
  tag::init();
  email::init();
  handle::init();
  date::init();
  port::init();
  money::init();
  ref::init();
  point::init();  // point2D! and point3D!
  image::init();
  // event! registers later, when the GUI event type is set up.
}

}  // namespace kiv
