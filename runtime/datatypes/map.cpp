#include "runtime/datatypes/map.h"

#include <algorithm>
#include <cstring>

#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/series_common.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/actions.h"
#include "runtime/eval/lexer.h"
#include "runtime/hashtable.h"
#include "runtime/language_error.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/type_traits.h"
#include "runtime/words.h"

namespace kiv::map {

namespace {

Cell g_none{TYPE_NONE, 0, 0, 0};

inline uint32_t pairs_of(const Cell* map) { return map->data2; }
inline uint32_t table_of(const Cell* map) { return map->data3; }
inline int32_t cell_count(uint32_t node) { return static_cast<int32_t>(node_buffer(node)->length()); }
inline Cell* cells_of(uint32_t node) { return node_buffer(node)->head_cell(); }
// A pair whose value slot is empty (header 0) was removed.
inline bool live_q(uint32_t pairs, int32_t key_index) { return cells_of(pairs)[key_index + 1].header != 0; }

bool word_key_q(uint32_t t) { return type_in_group(t, kGroupAnyWord); }

// Keys held as private copies.
bool series_key_q(uint32_t t) { return any_string_type_q(t) || t == TYPE_BINARY; }

bool block_spec_q(uint32_t t) { return type_in_group(t, kGroupAnyList); }

[[noreturn]] void fire_key_type(const Cell* key) {
  fire(ErrorCategory::kScript, "invalid-key-type", datatype_cell(TYPE_OF(key)));
}

// A private copy of a series key's units from its head (a text or binary
// key: the copy has the key's header and no other payload).
Cell copy_key(const Cell* key) {
  const int32_t total = static_cast<int32_t>(node_buffer(key->data2)->length());
  const int32_t head = std::clamp(static_cast<int32_t>(key->data1), 0, total);
  const uint32_t node =
      copy_series_part(key->data2, static_cast<uint32_t>(head), static_cast<uint32_t>(total - head))->node;
  return Cell{key->header, 0, node, 0};
}

// The key as the table stores it. May allocate (series keys are copied);
// key points to a stack cell.
void normalize(Cell* key, bool copy_series) {
  clear_new_line(key);
  uint32_t t = TYPE_OF(key);
  if (word_key_q(t)) {
    set_type(key, TYPE_SET_WORD);
  } else if (series_key_q(t)) {
    if (copy_series) *key = copy_key(key);
  } else if (!key_type_q(t)) {
    fire_key_type(key);
  }
}

// The key as a walk answers it: a set-word! key as a word!.
Cell key_as_word(Cell key) {
  clear_new_line(&key);
  if (TYPE_OF(&key) == TYPE_SET_WORD) set_type(&key, TYPE_WORD);
  return key;
}

// A block spec's cells from its head: the first index and the count.
void spec_range(const Cell* block, int32_t* first, int32_t* count) {
  int32_t total = cell_count(block->data2);
  int32_t head = static_cast<int32_t>(block->data1);
  if (head > total) head = total;
  *first = head;
  *count = total - head;
}

// Checks a spec of pairs before anything changes: even length, keys of
// accepted types.
void check_spec(const Cell* block) {
  int32_t first, count;
  spec_range(block, &first, &count);
  if (count % 2) fire(ErrorCategory::kScript, "invalid-arg", *block);
  const Cell* cells = cells_of(block->data2) + first;
  for (int32_t i = 0; i < count; i += 2)
    if (!key_type_q(TYPE_OF(&cells[i]))) fire_key_type(&cells[i]);
}

// Over the pairs block held by the rooted cell, its keys normalised.
void build_over(Cell* out, RootedCell& pairs, bool copy_series) {
  uint32_t node = pairs->data2;
  int32_t n = cell_count(node);
  for (int32_t i = 0; i + 1 < n; i += 2) {
    Cell* value = &cells_of(node)[i + 1];
    clear_new_line(value);
    Cell* key = stack::push_copy(&cells_of(node)[i]);
    normalize(key, copy_series);
    cells_of(node)[i] = *key;
    stack::drop_cells(1);
  }
  uint32_t table = hashtable_init(static_cast<uint32_t>(n / 2), pairs.get(), hashtable::kKindMap, 0);
  *out = Cell{TYPE_MAP, 0, node, table};
}

void make_from_block(Cell* out, const Cell* block, bool copy_series) {
  int32_t first, count;
  spec_range(block, &first, &count);
  RootedCell pairs(Cell{TYPE_BLOCK, 0, alloc_cells(static_cast<uint32_t>(count > 2 ? count : 2)), 0});
  SeriesBuffer* b = node_buffer(pairs->data2);
  if (count) std::memcpy(b->head_cell(), cells_of(block->data2) + first, static_cast<size_t>(count) * sizeof(Cell));
  b->tail = b->head + static_cast<uint32_t>(count) * static_cast<uint32_t>(sizeof(Cell));
  build_over(out, pairs, copy_series);
}

// The index of the key cell matching the value under the op (0: folding
// case, 2: case-sensitive, 9: the same), or -1. Removed pairs are answered
// too.
inline int32_t lookup(const Cell* map, const Cell* key, int32_t op) {
  if (TYPE_OF(key) == TYPE_INTEGER) return hashtable::map_find_integer(table_of(map), key->data2, murmur3_fmix(key->data2));
  if (!key_type_q(TYPE_OF(key))) return -1;
  uint32_t hash;
  return hashtable_find_hashed(table_of(map), key, op, &hash);
}

[[gnu::always_inline]] inline int32_t lookup_live(const Cell* map, const Cell* key, int32_t op) {
  int32_t at = lookup(map, key, op);
  return at >= 0 && live_q(pairs_of(map), at) ? at : -1;
}

inline int32_t key_op(bool case_sensitive) { return case_sensitive ? COMP_STRICT_EQUAL : COMP_EQUAL; }

// Sets the value of a key, adding the pair when the key is new. The map and
// the value must be rooted (stack cells).
void set_pair(const Cell* map, const Cell* key, const Cell* value, bool case_sensitive) {
  uint32_t pairs = pairs_of(map), table = table_of(map);
  if (!key_type_q(TYPE_OF(key))) fire_key_type(key);
  uint32_t hash;
  int32_t at = hashtable_find_hashed(table, key, key_op(case_sensitive), &hash);
  if (at < 0) {
    // No key equal under the op, so none under the stricter one a put keeps
    // keys apart by: the new pair goes in without a second search. Its
    // stored key (a copy, a word as a set-word) hashes as the key given.
    stack::TopGuard guard;
    Cell* k = stack::push_copy(key);
    normalize(k, true);
    Cell v = *value;
    clear_new_line(&v);
    SeriesBuffer* b = node_buffer(pairs);
    const auto index = static_cast<uint32_t>(b->length());
    if (b->room() >= 2 * sizeof(Cell)) {
      // The usual case: room for the pair in the block.
      Cell* tail = b->tail_cell();
      tail[0] = *k;
      tail[1] = v;
      b->tail += 2 * sizeof(Cell);
    } else {
      Cell block{TYPE_BLOCK, 0, pairs, 0};
      Cell* vs = stack::push_copy(&v);
      block::append_cell(&block, k);
      block::append_cell(&block, vs);
    }
    hashtable_put_absent(table, index, hash);
    return;
  }
  if (!live_q(pairs, at)) hashtable_put_index(table, static_cast<uint32_t>(at));  // counts it live again
  Cell v = *value;
  clear_new_line(&v);
  cells_of(pairs)[at + 1] = v;
}

bool equality_op_q(int32_t op) {
  return op == COMP_EQUAL || op == COMP_NOT_EQUAL || op == COMP_STRICT_EQUAL || op == COMP_SAME ||
         op == COMP_FIND;
}

// Pair by pair: every live pair of a has a matching pair in b (their counts
// being equal, the maps hold the same pairs).
bool pairs_equal(const Cell* a, const Cell* b, int32_t op) {
  uint32_t pa = pairs_of(a), pb = pairs_of(b);
  int32_t value_op = op == COMP_STRICT_EQUAL ? COMP_STRICT_EQUAL : op == COMP_FIND ? COMP_FIND : COMP_EQUAL;
  for (int32_t i = 0; i + 1 < cell_count(pa); i += 2) {
    if (!live_q(pa, i)) continue;
    RootedCell key(cells_of(pa)[i]);
    RootedCell value(cells_of(pa)[i + 1]);
    bool matched = false;
    if (op == COMP_STRICT_EQUAL) {
      int32_t at = lookup_live(b, key.get(), COMP_STRICT_EQUAL);
      if (at >= 0) {
        RootedCell other(cells_of(pb)[at + 1]);
        matched = dispatch_compare(value.get(), other.get(), value_op) == 0;
      }
    } else {
      HashCursor cursor;
      for (int32_t at; !matched && (at = hashtable_find_next(table_of(b), key.get(), cursor)) >= 0;) {
        if (!live_q(pb, at)) continue;
        RootedCell other(cells_of(pb)[at + 1]);
        matched = dispatch_compare(value.get(), other.get(), value_op) == 0;
      }
    }
    if (!matched) return false;
  }
  return true;
}

// The pairs as text: each live pair as the molded key, a space and the
// molded value; between pairs the separator, and with indent the pairs at
// level, each followed by a line feed. Answers the limit left.
int32_t write_pairs(const Cell* map, Cell* buffer, bool all, bool flat, Cell* part, int32_t limit,
                    int32_t level, const char* separator, bool indent) {
  uint32_t pairs = pairs_of(map);
  uint32_t out = string::node_of(buffer);
  bool first = true;
  for (int32_t i = 0; i + 1 < cell_count(pairs); i += 2) {
    if (limit < 1) break;
    if (!live_q(pairs, i)) continue;
    if (!first && !indent) {
      string::append_text(buffer, separator);
      limit -= static_cast<int32_t>(std::strlen(separator));
    }
    first = false;
    if (indent) limit = mold_indent(out, level, limit);
    stack::TopGuard guard;
    Cell* key = stack::push_copy(&cells_of(pairs)[i]);
    Cell* value = stack::push_copy(&cells_of(pairs)[i + 1]);
    clear_new_line(key);
    clear_new_line(value);
    limit = dispatch_mold(key, buffer, {.all = all, .flat = flat}, part, limit, level);
    string::append_char(buffer, ' ');
    --limit;
    limit = dispatch_mold(value, buffer, {.all = all, .flat = flat}, part, limit, level);
    if (indent) {
      string::append_char(buffer, '\n');
      --limit;
    }
  }
  return limit;
}

}  // namespace

// foreach over a map: the two words take the next live key (a set-word! key
// as a word!) and its value.
bool foreach_step(uint32_t slot, const Cell* key_word, const Cell* value_word) {
  Cell* map = stack::at(slot);
  uint32_t pairs = pairs_of(map);
  auto pos = static_cast<int32_t>(map->data1);
  int32_t total = cell_count(pairs);
  while (pos + 1 < total && !live_q(pairs, pos)) pos += 2;
  if (pos + 1 >= total) return false;
  Cell key = key_as_word(cells_of(pairs)[pos]);
  Cell value = cells_of(pairs)[pos + 1];
  map->data1 = static_cast<uint32_t>(pos + 2);
  stack::TopGuard guard;
  Cell* k = stack::push_copy(&key);
  Cell* v = stack::push_copy(&value);
  Cell kw = *key_word, vw = *value_word;
  _context::set_word(&kw, k);
  _context::set_word(&vw, v);
  return true;
}

namespace {

// The lexer's #[...]: the count cells from first, keys and values in turn.
int make_literal(lexer::Lexer&, uint32_t first, uint32_t count, uint32_t out) {
  for (uint32_t i = 0; i < count; i += 2)
    if (!key_type_q(TYPE_OF(lexer::cell_at(first + i)))) return TYPE_MAP;
  RootedCell pairs(Cell{TYPE_BLOCK, 0, alloc_cells(count > 2 ? count : 2), 0});
  SeriesBuffer* b = node_buffer(pairs->data2);
  if (count) std::memcpy(b->head_cell(), lexer::cell_at(first), count * sizeof(Cell));
  b->tail = b->head + count * static_cast<uint32_t>(sizeof(Cell));
  RootedCell made;
  build_over(made.get(), pairs, false);
  *lexer::cell_at(out) = *made;
  return lexer::kLexOk;
}

}  // namespace

bool key_type_q(uint32_t type) {
  return type_in_group(type, kGroupAnyString | kGroupAllWord | kGroupScalar) || type == TYPE_BINARY;
}

void make_in(Cell* out, const Cell* block, int32_t size) {
  if (block) {
    RootedCell spec(*block);
    check_spec(spec.get());
    make_from_block(out, spec.get(), true);
    return;
  }
  if (size < 0) size = 0;
  RootedCell pairs;
  block::init_cell(pairs.get(), size > 0 ? 2 * size : 2);
  uint32_t table = hashtable_init(static_cast<uint32_t>(size), pairs.get(), hashtable::kKindMap, 0);
  *out = Cell{TYPE_MAP, 0, pairs->data2, table};
}

int32_t pair_count(const Cell* map) { return static_cast<int32_t>(hashtable::field(table_of(map), hashtable::kSize)); }

void extend(Cell* map, const Cell* block, bool case_sensitive) {
  stack::TopGuard guard;
  Cell* m = stack::push_copy(map);
  Cell* spec = stack::push_copy(block);
  check_spec(spec);
  int32_t first, count;
  spec_range(spec, &first, &count);
  for (int32_t i = 0; i < count; i += 2) {
    Cell* key = stack::push_copy(&cells_of(spec->data2)[first + i]);
    Cell* value = stack::push_copy(&cells_of(spec->data2)[first + i + 1]);
    set_pair(m, key, value, case_sensitive);
    stack::drop_cells(2);
  }
}

Cell* push(const Cell* map) { return stack::push_copy(map); }

// ---------------------------------------------------------------------------
// Handlers.

Cell* make(Cell* type, Cell* spec) {
  uint32_t st = TYPE_OF(spec);
  RootedCell made;
  if (block_spec_q(st)) {
    make_in(made.get(), spec, 0);
  } else if (st == TYPE_INTEGER || st == TYPE_FLOAT) {
    int32_t size = get_make_size(spec);
    if (size < 0) fire(ErrorCategory::kScript, "out-of-range", *spec);
    make_in(made.get(), nullptr, size);
  } else if (st == TYPE_MAP) {
    copy(spec, made.get(), nullptr, false, nullptr);
  } else {
    fire(ErrorCategory::kScript, "bad-to-arg", datatype_cell(TYPE_MAP), *spec);
  }
  *type = *made;
  return type;
}

Cell* to(Cell* type, Cell* spec) {
  uint32_t st = TYPE_OF(spec);
  if (st == TYPE_INTEGER || st == TYPE_FLOAT) fire(ErrorCategory::kScript, "bad-to-arg", datatype_cell(TYPE_MAP), *spec);
  return make(type, spec);
}

Cell* reflect(Cell* value, Cell* field) {
  bool keys = words::is(field, words::SYM_WORDS);
  bool values = words::is(field, words::SYM_VALUES);
  bool body = words::is(field, words::SYM_BODY);
  if (!keys && !values && !body) fire(ErrorCategory::kInternal, "not-done");
  RootedCell map(*value);
  RootedCell out;
  int32_t live = pair_count(map.get());
  block::init_cell(out.get(), body ? 2 * live : live);
  uint32_t pairs = pairs_of(map.get());
  for (int32_t i = 0; i + 1 < cell_count(pairs); i += 2) {
    if (!live_q(pairs, i)) continue;
    Cell key = cells_of(pairs)[i];
    Cell val = cells_of(pairs)[i + 1];
    clear_new_line(&key);
    if (keys) {
      key = key_as_word(key);
      block::append_cell(out.get(), &key);
    } else if (values) {
      block::append_cell(out.get(), &val);
    } else {
      key.header |= kFlagNewLine;
      block::append_cell(out.get(), &key);
      block::append_cell(out.get(), &val);
    }
  }
  *value = *out;
  return value;
}

int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit) {
  stack::TopGuard guard;
  Cell* map = stack::push_copy(value);
  if (support::cycle_stack::mold_placeholder(map, string::node_of(buffer), &limit, false)) return limit;
  support::cycle_stack::Entry visiting(pairs_of(map));
  return write_pairs(map, buffer, false, false, part, limit, 0, "\n", false);
}

int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent) {
  stack::TopGuard guard;
  Cell* map = stack::push_copy(value);
  if (support::cycle_stack::mold_placeholder(map, string::node_of(buffer), &limit, true)) return limit;
  support::cycle_stack::Entry visiting(pairs_of(map));
  if (!flags.only) {
    string::append_text(buffer, "#[");
    limit -= 2;
  }
  if (pair_count(map) > 0) {
    if (flags.flat) {
      limit = write_pairs(map, buffer, flags.all, flags.flat, part, limit, indent + 1, " ", false);
    } else {
      string::append_char(buffer, '\n');
      --limit;
      limit = write_pairs(map, buffer, flags.all, flags.flat, part, limit, indent + 1, " ", true);
      if (indent >= 1) limit = mold_indent(string::node_of(buffer), indent, limit);
    }
  }
  if (!flags.only) {
    string::append_char(buffer, ']');
    --limit;
  }
  return limit;
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell*, Cell*, Cell*, int32_t, PathFlags flags) {
  if (value) {
    set_pair(parent, element, value, flags.case_sensitive);
    return value;
  }
  int32_t at = lookup_live(parent, element, key_op(flags.case_sensitive));
  if (at < 0) return &g_none;
  return &cells_of(pairs_of(parent))[at + 1];
}

int32_t compare(Cell* value1, Cell* value2, int32_t op) {
  if (TYPE_OF(value2) != TYPE_MAP) return kNotComparable;
  if (op == COMP_SORT || op == COMP_CASE_SORT) return three_way(pairs_of(value1), pairs_of(value2));
  if (!equality_op_q(op)) return kNotComparable;
  if (pairs_of(value1) == pairs_of(value2) && value1->data1 == value2->data1) return 0;
  if (op == COMP_SAME) return -1;
  uint32_t a = pairs_of(value1), b = pairs_of(value2);
  if (support::cycle_stack::find_q(a)) return support::cycle_stack::find_q(b) ? 0 : -1;
  int32_t na = pair_count(value1), nb = pair_count(value2);
  if (na != nb) return na > nb ? 1 : -1;
  if (na == 0) return 0;
  stack::TopGuard guard;
  Cell* x = stack::push_copy(value1);
  Cell* y = stack::push_copy(value2);
  support::cycle_stack::Entry visit_a(a);
  support::cycle_stack::Entry visit_b(b);
  return pairs_equal(x, y, op) ? 0 : -1;
}

Cell* clear(Cell* map) {
  hashtable_clear(table_of(map));
  return map;
}

Cell* copy(Cell* value, Cell* destination, Cell* /*part*/, bool deep, Cell* types) {
  RootedCell source(*value);
  RootedCell block(Cell{TYPE_BLOCK, 0, pairs_of(value), 0});
  RootedCell copied;
  if (deep || types) {
    block::copy(block.get(), copied.get(), nullptr, deep, types);
  } else {
    *copied = Cell{TYPE_BLOCK, 0, block::copy_cells(block.get(), false, false), 0};
  }
  uint32_t table = hashtable_copy(table_of(source.get()), copied->data2);
  *destination = Cell{TYPE_MAP, 0, copied->data2, table};
  return destination;
}

Cell* find(Cell* series, Cell* value, const FindOptions& options) {
  int32_t at = lookup_live(series, value, find_op(options.case_sensitive, options.same));
  if (at < 0) {
    *series = g_none;
    return series;
  }
  *series = key_as_word(cells_of(pairs_of(series))[at]);
  return series;
}

int32_t length_q(Cell* map) { return pair_count(map); }

Cell* put(Cell* map, Cell* key, Cell* value, bool case_sensitive) {
  set_pair(map, key, value, case_sensitive);
  return value;
}

Cell* remove(Cell* map, Cell*, Cell* key) {
  if (!key) {
    Cell word;
    stack::calling_word(&word);
    fire(ErrorCategory::kScript, "missing-arg", word, ErrorArgument("key"));
  }
  int32_t at = lookup_live(map, key, COMP_STRICT_EQUAL);
  if (at >= 0) hashtable_delete_index(table_of(map), static_cast<uint32_t>(at));
  return map;
}

void select_in_place(Cell* series, const Cell* value, int32_t op) {
  int32_t at = lookup_live(series, value, op);
  *series = at < 0 ? g_none : cells_of(pairs_of(series))[at + 1];
}

Cell* select(Cell* series, Cell* value, const FindOptions& options) {
  select_in_place(series, value, find_op(options.case_sensitive, options.same));
  return series;
}

void init() {
  datatype::register_type(TYPE_MAP, 0, "map!", {
      own<ACT_MAKE>(make), own<ACT_REFLECT>(reflect), own<ACT_TO>(to), own<ACT_FORM>(form),
      own<ACT_MOLD>(mold), own<ACT_EVAL_PATH>(eval_path), own<ACT_COMPARE>(compare),
      own<ACT_CLEAR>(clear), own<ACT_COPY>(copy), own<ACT_FIND>(find), own<ACT_LENGTH_Q>(length_q),
      own<ACT_PUT>(put), own<ACT_REMOVE>(remove), own<ACT_SELECT>(select),
  });
  lexer::default_loaders().make_map = make_literal;
}

}  // namespace kiv::map
