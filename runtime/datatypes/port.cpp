#include "runtime/datatypes/port.h"

#include <initializer_list>
#include <vector>

#include "runtime/collector.h"
#include "runtime/datatypes/actions.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/eval_hooks.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/object.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/handles.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"

namespace kiv::port {

namespace {

constexpr Cell kNone{TYPE_NONE, 0, 0, 0};

Cell flag(bool on) { return Cell{TYPE_LOGIC, on ? 1u : 0u, 0, 0}; }
Cell integer_cell(int32_t n) { return Cell{TYPE_INTEGER, 0, static_cast<uint32_t>(n), 0}; }
// A refinement's argument: its cell, or none! when the refinement is absent.
Cell arg_or_none(const Cell* c) { return c ? *c : kNone; }

uint32_t symbol_of_text(const char* text) { return word::load(text).data2; }

// The value cell of a field of an object-like value (raw), nullptr when the
// object has no such word.
Cell* field(const Cell* object, const char* name) {
  int32_t i = _context::find_symbol(object->data1, symbol_of_text(name), true);
  if (i < 0) return nullptr;
  return _context::value_at(object->data1, static_cast<uint32_t>(i));
}

bool object_q(const Cell* c) { return c && TYPE_OF(c) == TYPE_OBJECT; }

// The definition of a scheme in system/schemes, a block of name/definition
// pairs whose names are words compared by their canonical symbols; nullptr
// when it is not there. Raw address.
Cell* find_scheme(uint32_t name_symbol) {
  Cell* schemes = error::system_member({"schemes"});
  if (!schemes || TYPE_OF(schemes) != TYPE_BLOCK) return nullptr;
  uint32_t node = schemes->data2;
  uint32_t n = series_length(node);
  uint32_t canonical = symbol::canonical(name_symbol);
  for (uint32_t i = schemes->data1; i + 1 < n; i += 2) {
    HeldPtr<Cell> name = series_head_cell(node) + i;
    if (word::any_word_q(TYPE_OF(name)) && symbol::canonical(name->data2) == canonical) return name + 1;
  }
  return nullptr;
}

// The cells of an action's frame handed to the actor, then the call.
Cell* forward(const Cell* port, uint32_t action, std::initializer_list<Cell> cells) {
  std::vector<Cell> frame;
  frame.reserve(cells.size() + 1);
  frame.push_back(*port);
  frame.insert(frame.end(), cells.begin(), cells.end());
  return call_actor(port, action, frame.data(), static_cast<uint32_t>(frame.size()));
}

// The simple actions read their arguments from the frame and leave the
// result in its base cell.
void forward_simple(uint32_t action, bool with_argument) {
  Cell* base = stack::arguments();
  Cell port = base[0];
  Cell* made = with_argument ? forward(&port, action, {base[1]}) : forward(&port, action, {});
  stack::set_last(made);
}

// The /part, /dup and like counts the action entries have already turned
// into integers: below 0 (or 1 for /dup) the refinement was not given.
Cell count_or_none(int32_t n, int32_t absent_below) {
  return n < absent_below ? kNone : integer_cell(n);
}

// ---------------------------------------------------------------------------
// Handlers.

Cell* make(Cell* type, Cell* spec) {
  Cell* made = make_from_spec(spec);
  *type = *made;
  return type;
}

int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit, int32_t indent) {
  return object::mold_as(value, buffer, "make port! [", flags, part, limit, indent);
}

int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit) { return mold(value, buffer, {}, part, limit, 0); }

Cell* insert_like(uint32_t action, Cell* series, Cell* value, int32_t part, bool only, int32_t dup) {
  return forward(series, action,
                 {*value, flag(part >= 0), count_or_none(part, 0), flag(only), flag(dup != 1),
                  dup != 1 ? integer_cell(dup) : kNone});
}

Cell* insert(Cell* series, Cell* value, int32_t part, bool only, int32_t dup, bool append) {
  return insert_like(append ? ACT_APPEND : ACT_INSERT, series, value, part, only, dup);
}

void at() { forward_simple(ACT_AT, true); }
void back() { forward_simple(ACT_BACK, false); }
void head() { forward_simple(ACT_HEAD, false); }
void head_q() { forward_simple(ACT_HEAD_Q, false); }
void index_q() { forward_simple(ACT_INDEX_Q, false); }
void next() { forward_simple(ACT_NEXT, false); }
void skip() { forward_simple(ACT_SKIP, true); }
void tail() { forward_simple(ACT_TAIL, false); }
void tail_q() { forward_simple(ACT_TAIL_Q, false); }

Cell* change(Cell* series, Cell* value, int32_t part, bool only, int32_t dup) {
  return forward(series, ACT_CHANGE,
                 {*value, flag(part >= 0), count_or_none(part, 0), flag(only), flag(dup != 1),
                  dup != 1 ? integer_cell(dup) : kNone});
}

Cell* clear(Cell* port) { return forward(port, ACT_CLEAR, {}); }

Cell* copy(Cell* value, Cell*, Cell* part, bool deep, Cell* types) {
  return forward(value, ACT_COPY, {flag(part), arg_or_none(part), flag(deep), flag(types), arg_or_none(types)});
}

Cell* find(Cell* series, Cell* value, const FindOptions& o) {
  return forward(series, ACT_FIND,
                 {*value, flag(o.part), arg_or_none(o.part), flag(o.only), flag(o.case_sensitive), flag(o.same),
                  flag(o.any), flag(o.with), arg_or_none(o.with), flag(o.skip), arg_or_none(o.skip), flag(o.last),
                  flag(o.reverse), flag(o.tail), flag(o.match)});
}

// The actor's answer must be an integer!; none! answers none.
int32_t length_q(Cell* series) {
  Cell* n = forward(series, ACT_LENGTH_Q, {});
  if (TYPE_OF(n) == TYPE_NONE) return -1;
  if (TYPE_OF(n) != TYPE_INTEGER)
    fire(ErrorCategory::kScript, "expect-val", datatype_cell(TYPE_INTEGER), datatype_cell(TYPE_OF(n)));
  return integer::get(n);
}

Cell* move(Cell* origin, Cell* target, Cell* part) {
  return forward(origin, ACT_MOVE, {*target, flag(part), arg_or_none(part)});
}

Cell* pick(Cell* series, int32_t, Cell* index) { return forward(series, ACT_PICK, {*index}); }

Cell* poke(Cell* series, int32_t, Cell* value, Cell* index) {
  return forward(series, ACT_POKE, {*index, *value});
}

Cell* put(Cell* series, Cell* key, Cell* value, bool case_sensitive) {
  return forward(series, ACT_PUT, {*key, *value, flag(case_sensitive)});
}

Cell* remove(Cell* series, Cell* part, Cell* key) {
  return forward(series, ACT_REMOVE, {flag(part), arg_or_none(part), flag(key), arg_or_none(key)});
}

Cell* reverse(Cell* series, Cell* part, Cell* skip) {
  return forward(series, ACT_REVERSE, {flag(part), arg_or_none(part), flag(skip), arg_or_none(skip)});
}

Cell* select(Cell* series, Cell* value, const FindOptions& o) {
  return forward(series, ACT_SELECT,
                 {*value, flag(o.part), arg_or_none(o.part), flag(o.only), flag(o.case_sensitive), flag(o.same),
                  flag(o.any), flag(o.with), arg_or_none(o.with), flag(o.skip), arg_or_none(o.skip), flag(o.last),
                  flag(o.reverse)});
}

Cell* sort(Cell* series, const SortOptions& o) {
  return forward(series, ACT_SORT,
                 {flag(o.case_sensitive), flag(o.skip), arg_or_none(o.skip), flag(o.comparator),
                  arg_or_none(o.comparator), flag(o.part), arg_or_none(o.part), flag(o.all), flag(o.reverse),
                  flag(o.stable)});
}

Cell* swap(Cell* series1, Cell* series2) { return forward(series1, ACT_SWAP, {*series2}); }

Cell* take(Cell* series, Cell* part, bool deep, bool last) {
  return forward(series, ACT_TAKE, {flag(part), arg_or_none(part), flag(deep), flag(last)});
}

Cell* trim(Cell* series, const TrimOptions& o) {
  return forward(series, ACT_TRIM,
                 {flag(o.head), flag(o.tail), flag(o.auto_), flag(o.lines), flag(o.all), flag(o.with),
                  arg_or_none(o.with)});
}

Cell* create(Cell* port) { return forward(port, ACT_CREATE, {}); }
Cell* close(Cell* port) { return forward(port, ACT_CLOSE, {}); }
Cell* delete_(Cell* port) { return forward(port, ACT_DELETE, {}); }
Cell* query(Cell* port) { return forward(port, ACT_QUERY, {}); }
Cell* update(Cell* port) { return forward(port, ACT_UPDATE, {}); }

Cell* modify(Cell* target, Cell* field_word, Cell* value, bool case_sensitive) {
  return forward(target, ACT_MODIFY, {*field_word, *value, flag(case_sensitive)});
}

Cell* open(Cell* port, bool new_, bool read, bool write, bool seek, Cell* allow) {
  return forward(port, ACT_OPEN, {flag(new_), flag(read), flag(write), flag(seek), flag(allow), arg_or_none(allow)});
}

Cell* rename(Cell* from, Cell* to) { return forward(from, ACT_RENAME, {*to}); }

// open (with /seek when given), copy (with /part), close: the answer is
// copy's.
Cell* read(Cell* source, Cell* part, Cell* seek, bool, bool, bool, Cell*) {
  Cell* port = stack::push_copy(source);
  open(port, false, false, false, seek != nullptr, nullptr);
  Cell* data = copy(port, nullptr, part, false, nullptr);
  close(port);
  return data;
}

// open/write (with /seek when given), insert of the data (with /part when
// its length is an integer!), copy, close: the answer is copy's.
Cell* write(Cell* destination, Cell* data, bool, bool, bool, bool, Cell* part, Cell* seek, Cell*, Cell*) {
  Cell* port = stack::push_copy(destination);
  Cell* value = stack::push_copy(data);
  open(port, false, false, true, seek != nullptr, nullptr);
  int32_t count = part && TYPE_OF(part) == TYPE_INTEGER ? integer::get(part) : -1;
  forward(port, ACT_INSERT,
          {*value, flag(count >= 0), count >= 0 ? integer_cell(count) : kNone, flag(false), flag(false), kNone});
  Cell* answer = copy(port, nullptr, nullptr, false, nullptr);
  close(port);
  return answer;
}

// A handle! actor answers the actions from 25 on from its own table.
bool handle_actor_lookup(const Cell* port, uint32_t action, Handler* out) {
  Cell* actor = field(port, "actor");
  if (!actor || TYPE_OF(actor) != TYPE_HANDLE) return false;
  const auto* table = static_cast<const Handler*>(handle_pointer(static_cast<int32_t>(actor->data3)));
  uint32_t at = action - ACT_APPEND;
  *out = table && at < kNativeTableSize ? table[at] : nullptr;
  return true;
}

}  // namespace

Cell* get_actor(const Cell* port) {
  Cell* actor = field(port, "actor");
  if (!object_q(actor)) fire(ErrorCategory::kAccess, "invalid-port");
  return actor;
}

Cell* call_actor(const Cell* port, uint32_t action, const Cell* cells, uint32_t count) {
  // The action's word is made before anything is read raw: making it may
  // allocate.
  Cell name = word::load(kActionInfo[action].word);
  Cell* actor = get_actor(port);
  int32_t i = _context::find_symbol(actor->data1, name.data2, true);
  Cell* fn = i < 0 ? nullptr : _context::value_at(actor->data1, static_cast<uint32_t>(i));
  if (!fn || TYPE_OF(fn) != TYPE_FUNCTION) fire(ErrorCategory::kAccess, "no-port-action");
  Cell function = *fn;
  Cell* result = stack::push_new_cell();
  eval_hooks::call_function_frame(&function, cells, count, &name, result);
  return result;
}

Cell* make_from_spec(Cell* spec_in) {
  uint32_t slot = stack::top_index();
  Cell* spec = stack::push_copy(spec_in);
  // The spec object: an object! as it is, anything else extends a copy of
  // system/standard/url-parts.
  if (TYPE_OF(spec) != TYPE_OBJECT) {
    Cell* parts = error::system_member({"standard", "url-parts"});
    if (!object_q(parts)) fire(ErrorCategory::kInternal, "not-done");
    Cell* made = stack::push_copy(parts);
    object::make(made, spec);
    *spec = *made;
  }
  uint32_t spec_ctx = spec->data1;
  Cell* first = _context::word_count(spec_ctx) ? _context::value_at(spec_ctx, 0) : nullptr;
  if (!first || TYPE_OF(first) != TYPE_WORD) fire(ErrorCategory::kAccess, "no-scheme", *spec);
  Cell scheme_word = *first;
  // The port: a copy of system/standard/port.
  Cell* prototype = error::system_member({"standard", "port"});
  if (!object_q(prototype)) fire(ErrorCategory::kInternal, "not-done");
  Cell* port = stack::push_copy(prototype);
  port->header = TYPE_PORT;
  port->data3 = 0;
  _context::duplicate(port);
  *_context::self_cell(port->data1) = *port;
  if (Cell* f = field(port, "spec")) *f = *spec;
  if (Cell* f = field(port, "scheme")) *f = scheme_word;
  // The scheme and its actor.
  Cell* scheme = find_scheme(scheme_word.data2);
  if (!object_q(scheme)) fire(ErrorCategory::kAccess, "unknown-scheme", *spec);
  Cell* actor = field(scheme, "actor");
  if (!actor || (TYPE_OF(actor) != TYPE_OBJECT && TYPE_OF(actor) != TYPE_HANDLE))
    fire(ErrorCategory::kAccess, "invalid-actor", *spec);
  Cell actor_value = *actor;
  if (Cell* f = field(port, "actor")) *f = actor_value;
  *stack::at(slot) = *port;
  stack::drop_cells(stack::top_index() - slot - 1);
  return stack::at(slot);
}

void init() {
  datatype::register_type(TYPE_PORT, TYPE_OBJECT, "port!", {
      own<ACT_MAKE>(make), own<ACT_FORM>(form), own<ACT_MOLD>(mold),
      own<ACT_APPEND>(insert), own<ACT_AT>(at), own<ACT_BACK>(back), own<ACT_CHANGE>(change),
      own<ACT_CLEAR>(clear), own<ACT_COPY>(copy), own<ACT_FIND>(find), own<ACT_HEAD>(head),
      own<ACT_HEAD_Q>(head_q), own<ACT_INDEX_Q>(index_q), own<ACT_INSERT>(insert), own<ACT_LENGTH_Q>(length_q),
      own<ACT_MOVE>(move), own<ACT_NEXT>(next), own<ACT_PICK>(pick), own<ACT_POKE>(poke), own<ACT_PUT>(put),
      own<ACT_REMOVE>(remove), own<ACT_REVERSE>(reverse), own<ACT_SELECT>(select), own<ACT_SORT>(sort),
      own<ACT_SKIP>(skip), own<ACT_SWAP>(swap), own<ACT_TAIL>(tail), own<ACT_TAIL_Q>(tail_q),
      own<ACT_TAKE>(take), own<ACT_TRIM>(trim), own<ACT_CREATE>(create), own<ACT_CLOSE>(close),
      own<ACT_DELETE>(delete_), own<ACT_MODIFY>(modify), own<ACT_OPEN>(open), own<ACT_QUERY>(query),
      own<ACT_READ>(read), own<ACT_RENAME>(rename), own<ACT_UPDATE>(update), own<ACT_WRITE>(write),
  });
  set_port_actor_lookup(handle_actor_lookup);
}

}  // namespace kiv::port
