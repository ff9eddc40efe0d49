#include "runtime/datatypes/bitset.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/word.h"
#include "runtime/datatypes/actions.h"
#include "runtime/hashtable.h"
#include "runtime/language_error.h"
#include "runtime/member_bits.h"
#include "runtime/ownership.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/type_traits.h"
#include "runtime/words.h"

namespace kiv::bitset {

namespace {


constexpr uint8_t kNoBits = 0x00;
constexpr uint8_t kAllBits = 0xFF;

inline uint8_t bit_of(uint32_t n) { return member_mask(n); }

bool complemented_node(uint32_t node) { return (node_buffer(node)->flags & kComplemented) != 0; }

void set_complemented(uint32_t node, bool on) {
  SeriesBuffer* b = node_buffer(node);
  if (on) b->flags |= kComplemented;
  else b->flags &= ~kComplemented;
}

// A new byte series of count bytes, all of them the fill byte.
uint32_t alloc_bits(uint32_t count, uint8_t fill) {
  uint32_t node = alloc_bytes(count);
  SeriesBuffer* b = node_buffer(node);
  std::memset(b->head_ptr(), fill, count);
  b->tail = b->head + count;
  return node;
}

// Grows the stored bytes to count, the new ones all fill. May move the buffer.
void ensure_bytes(uint32_t node, uint32_t count, uint8_t fill) {
  SeriesBuffer* b = node_buffer(node);
  uint32_t used = b->used_bytes();
  if (count <= used) return;
  if (b->head + static_cast<uint64_t>(count) > static_cast<uint64_t>(b->size))
    b = expand_series_copy(b, count);
  std::memset(b->head_ptr() + used, fill, count - used);
  b->tail = b->head + count;
}

// Bytes that hold member n.
inline uint32_t bytes_for(uint32_t n) { return n / 8 + 1; }

[[noreturn]] void fire_bad_value(const Cell* value, Caller caller) {
  switch (caller) {
    case kCallerMake:
      fire_bad_make_arg(value, TYPE_BITSET);
    case kCallerTo:
      fire(ErrorCategory::kScript, "bad-to-arg", datatype_cell(TYPE_BITSET), *value);
    default:
      fire(ErrorCategory::kScript, "invalid-arg", *value);
  }
}

// The walk of one spec: members one at a time, ranges as a whole.
class Walker {
 public:
  Walker(Cell* bitset, Mode mode, Caller caller)
      : node_(bitset ? node_of(bitset) : 0), mode_(mode), caller_(caller) {}

  int64_t answer() const {
    if (mode_ == kMeasure) return largest_plus_one_;
    if (mode_ == kTest) return all_members_ ? 1 : 0;
    return 0;
  }
  bool done() const { return mode_ == kTest && !all_members_; }

  void value(const Cell* v) {
    switch (string_group_type(TYPE_OF(v))) {
      case TYPE_CHAR:
        member(v->data2);
        return;
      case TYPE_INTEGER:
      case TYPE_FLOAT: {
        int64_t n;
        if (!number(v, &n)) return;
        member(static_cast<uint32_t>(n));
        return;
      }
      case TYPE_STRING: {  // every any-string! kind
        Cell s = *v;
        int32_t length = string::length(&s);
        int32_t start = string::index_of(&s);
        for (int32_t i = 0; i < length && !done(); ++i) member(string::char_at_index(&s, start + i));
        return;
      }
      case TYPE_BLOCK:
        block(v);
        return;
      case TYPE_BINARY:
        fire(ErrorCategory::kInternal, "not-done");
      default:
        fire_bad_value(v, caller_);
    }
  }

 private:
  // The member an integer! or float! names; false in test mode for a
  // negative number (never a member), which the other modes refuse.
  bool number(const Cell* v, int64_t* n) {
    if (TYPE_OF(v) == TYPE_INTEGER) {
      *n = integer::get(v);
    } else if (!float_::truncate_checked(cell_float(v), n) || *n > INT32_MAX) {
      fire(ErrorCategory::kScript, "out-of-range", *v);
    }
    if (*n >= 0) return true;
    if (mode_ == kTest) {
      all_members_ = false;
      return false;
    }
    fire(ErrorCategory::kScript, "out-of-range", *v);
  }

  void block(const Cell* blk) {
    uint32_t node = blk->data2;
    // A block that holds itself would be walked without end.
    if (support::cycle_stack::find_q(node)) fire(ErrorCategory::kInternal, "no-cycle");
    support::cycle_stack::Entry visiting(node);
    // Cells are copied out by index: growing the bitset may move the block.
    for (uint32_t i = blk->data1; i < series_length(node) && !done(); ++i) {
      Cell v = series_head_cell(node)[i];
      bool ranged = i + 1 < series_length(node) &&
                    TYPE_OF(series_head_cell(node) + i + 1) == TYPE_WORD &&
                    word::spells_q(series_head_cell(node) + i + 1, words::SYM_DASH);
      if (!ranged) {
        value(&v);
        continue;
      }
      if (i + 2 >= series_length(node)) fire(ErrorCategory::kScript, "past-end", v);
      Cell end = series_head_cell(node)[i + 2];
      i += 2;
      range(&v, &end);
    }
  }

  void range(const Cell* first, const Cell* last) {
    uint32_t type = TYPE_OF(first);
    if ((type != TYPE_CHAR && type != TYPE_INTEGER) || TYPE_OF(last) != type)
      fire(ErrorCategory::kScript, "invalid-arg", *last);
    int64_t lo, hi;
    if (type == TYPE_CHAR) {
      lo = first->data2;
      hi = last->data2;
    } else {
      lo = integer::get(first);
      hi = integer::get(last);
    }
    if (hi < lo) fire(ErrorCategory::kScript, "past-end", *last);
    if (lo < 0) {
      if (mode_ != kTest) fire(ErrorCategory::kScript, "out-of-range", *first);
      all_members_ = false;
      return;
    }
    span(static_cast<uint32_t>(lo), static_cast<uint32_t>(hi));
  }

  void member(uint32_t n) { span(n, n); }

  // The numbers lo to hi (inclusive), a byte at a time where whole bytes
  // are covered: a range over every code point costs little.
  void span(uint32_t lo, uint32_t hi) {
    if (mode_ == kMeasure) {
      largest_plus_one_ = std::max<int64_t>(largest_plus_one_, int64_t{hi} + 1);
      return;
    }
    bool comp = complemented_node(node_);
    uint64_t stored_bits = uint64_t{node_buffer(node_)->used_bytes()} * 8;
    uint64_t top = hi;
    if (mode_ == kTest) {
      // Beyond the stored bytes the complement flag answers.
      if (hi >= stored_bits && !comp) {
        all_members_ = false;
        return;
      }
      if (lo >= stored_bits) return;
      top = std::min<uint64_t>(hi, stored_bits - 1);
      const uint8_t* bytes = node_buffer(node_)->head_ptr();
      for (uint64_t n = lo; n <= top; ++n) {
        if ((n & 7) == 0 && n + 7 <= top) {
          if (bytes[n / 8] != kAllBits) {
            all_members_ = false;
            return;
          }
          n += 7;
        } else if (!(bytes[n / 8] & bit_of(static_cast<uint32_t>(n)))) {
          all_members_ = false;
          return;
        }
      }
      return;
    }
    bool set = mode_ == kSet;
    if (comp == set) {
      // Beyond the stored bytes a complemented bitset already has every
      // member and a plain one none.
      if (lo >= stored_bits) return;
      top = std::min<uint64_t>(hi, stored_bits - 1);
    } else {
      ensure_bytes(node_, bytes_for(hi), comp ? kAllBits : kNoBits);
    }
    uint8_t* bytes = node_buffer(node_)->head_ptr();
    for (uint64_t n = lo; n <= top; ++n) {
      if ((n & 7) == 0 && n + 7 <= top) {
        bytes[n / 8] = set ? kAllBits : kNoBits;
        n += 7;
      } else if (set) {
        bytes[n / 8] |= bit_of(static_cast<uint32_t>(n));
      } else {
        bytes[n / 8] &= static_cast<uint8_t>(~bit_of(static_cast<uint32_t>(n)));
      }
    }
  }

  uint32_t node_;
  Mode mode_;
  Caller caller_;
  int64_t largest_plus_one_ = 0;
  bool all_members_ = true;
};

// The bytes a binary! value holds from its head.
struct Bytes {
  uint32_t node;
  uint32_t offset;
  uint32_t count;
};
Bytes binary_bytes(const Cell* binary) {
  uint32_t node = binary->data2;
  uint32_t total = series_length(node);
  uint32_t index = std::min(binary->data1, total);
  return {node, index, total - index};
}

// The cell becomes a bitset holding the binary's bytes (inverted and
// complemented with invert).
Cell* from_binary(Cell* result, const Cell* binary, bool invert) {
  Bytes src = binary_bytes(binary);
  uint32_t node = alloc_bits(src.count, kNoBits);
  const uint8_t* from = node_buffer(src.node)->head_ptr() + src.offset;
  uint8_t* to = node_buffer(node)->head_ptr();
  for (uint32_t i = 0; i < src.count; ++i) to[i] = invert ? static_cast<uint8_t>(~from[i]) : from[i];
  if (invert) set_complemented(node, true);
  *result = Cell{TYPE_BITSET, 0, node, 0};
  return result;
}

Cell* make_or_to(Cell* type, Cell* spec, Caller caller) {
  Cell* result = type;  // the frame's base cell
  switch (TYPE_OF(spec)) {
    case TYPE_INTEGER:
    case TYPE_FLOAT: {
      if (caller == kCallerTo) fire_bad_value(spec, caller);
      int64_t bits;
      if (TYPE_OF(spec) == TYPE_INTEGER) bits = integer::get(spec);
      else if (!float_::truncate_checked(cell_float(spec), &bits) || bits > INT32_MAX)
        fire(ErrorCategory::kScript, "out-of-range", *spec);
      if (bits < 0) fire(ErrorCategory::kScript, "out-of-range", *spec);
      return init_cell(result, static_cast<uint32_t>((bits + 7) / 8), false);
    }
    case TYPE_BITSET: {
      uint32_t node = buffer_copy(node_of(spec));
      *result = Cell{TYPE_BITSET, 0, node, 0};
      return result;
    }
    case TYPE_BINARY:
      return from_binary(result, spec, false);
    default:
      break;
  }
  // A block led by the word not: a complemented bitset of the rest.
  bool comp = false;
  Cell rest = *spec;
  if (TYPE_OF(spec) == TYPE_BLOCK && series_length(spec->data2) > spec->data1) {
    HeldPtr<const Cell> first = series_head_cell(spec->data2) + spec->data1;
    if (TYPE_OF(first) == TYPE_WORD && word::spells_q(first, words::SYM_NOT)) {
      comp = true;
      rest.data1 += 1;
      uint32_t left = series_length(spec->data2) - rest.data1;
      HeldPtr<const Cell> next = series_head_cell(spec->data2) + rest.data1;
      if (left >= 1 && TYPE_OF(next) == TYPE_BINARY) {
        // The stored bits as given; nothing may follow them.
        if (left > 1) fire_bad_value(spec, caller);
        Cell binary = *next;
        return from_binary(result, &binary, true);
      }
    }
  }
  int64_t largest_plus_one = process(&rest, nullptr, kMeasure, caller);
  uint32_t count = largest_plus_one > 0 ? bytes_for(static_cast<uint32_t>(largest_plus_one - 1)) : 1;
  init_cell(result, count, comp);
  process(&rest, result, comp ? kClear : kSet, caller);
  return result;
}

// Runs a change with the owner told before and after.
template <typename Change>
void changing(Cell* bitset, words::Id action, Change&& change) {
  ownership::notify_around(bitset, action, 0, 0, change);
}

}  // namespace

bool complemented_q(const Cell* bitset) { return complemented_node(node_of(bitset)); }
uint32_t byte_count(const Cell* bitset) { return node_buffer(node_of(bitset))->used_bytes(); }

bool member_q(const Cell* bitset, uint32_t n) {
  SeriesBuffer* b = node_buffer(node_of(bitset));
  if (n / 8 >= b->used_bytes()) return (b->flags & kComplemented) != 0;
  return (b->head_ptr()[n / 8] & bit_of(n)) != 0;
}

Cell* init_cell(Cell* cell, uint32_t count, bool complemented) {
  uint32_t node = alloc_bits(count, complemented ? kAllBits : kNoBits);
  if (complemented) set_complemented(node, true);
  *cell = Cell{TYPE_BITSET, 0, node, 0};
  return cell;
}

int64_t process(const Cell* value, Cell* bitset, Mode mode, Caller caller) {
  Walker w(bitset, mode, caller);
  w.value(value);
  return w.answer();
}

void bitwise(int32_t op) {
  Cell* left = stack::arguments();
  Cell* right = left + 1;
  if (TYPE_OF(right) != TYPE_BITSET)
    fire(ErrorCategory::kScript, "invalid-type", datatype_cell(TYPE_OF(right)));
  uint32_t a = node_of(left), b = node_of(right);
  uint32_t na = node_buffer(a)->used_bytes(), nb = node_buffer(b)->used_bytes();
  bool ca = complemented_node(a), cb = complemented_node(b);
  // Beyond its stored bytes each operand is all members or none; the result
  // applies the operation there too, through its own complement flag.
  auto combine = [op](uint8_t x, uint8_t y) -> uint8_t {
    switch (op) {
      case OP_OR:
      case SET_UNION:
        return x | y;
      case OP_AND:
      case SET_INTERSECT:
        return x & y;
      case OP_XOR:
      case SET_DIFFERENCE:
        return x ^ y;
      case SET_EXCLUDE:
        return x & static_cast<uint8_t>(~y);
      default:
        fatal_runtime_error(101);
    }
  };
  bool comp = combine(ca ? kAllBits : kNoBits, cb ? kAllBits : kNoBits) != 0;
  uint32_t count = std::max(na, nb);
  if (op == OP_AND && !ca && !cb) count = std::min(na, nb);  // and~ keeps the common bytes
  uint32_t node = alloc_bits(count, kNoBits);
  const uint8_t* pa = node_buffer(a)->head_ptr();
  const uint8_t* pb = node_buffer(b)->head_ptr();
  uint8_t* out = node_buffer(node)->head_ptr();
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t x = i < na ? pa[i] : (ca ? kAllBits : kNoBits);
    uint8_t y = i < nb ? pb[i] : (cb ? kAllBits : kNoBits);
    out[i] = combine(x, y);
  }
  if (comp) set_complemented(node, true);
  *left = Cell{TYPE_BITSET, 0, node, 0};
}

Cell* make(Cell* type, Cell* spec) { return make_or_to(type, spec, kCallerMake); }
Cell* to(Cell* type, Cell* spec) { return make_or_to(type, spec, kCallerTo); }

int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) {
  bool comp = complemented_q(value);
  std::string text = comp ? "make bitset! [not #{" : "make bitset! #{";
  uint32_t node = node_of(value);
  uint32_t count = node_buffer(node)->used_bytes();
  for (uint32_t i = 0; i < count; ++i) {
    if (static_cast<int64_t>(text.size()) >= limit) break;  // the /part limit is used up
    uint8_t byte = node_buffer(node)->head_ptr()[i];
    text += string::byte_to_hex(comp ? static_cast<uint8_t>(~byte) : byte);
  }
  text += comp ? "}]" : "}";
  string::append_text(buffer, text);
  return limit - static_cast<int32_t>(text.size());
}

int32_t mold(Cell* value, Cell* buffer, MoldFlags, Cell* part, int32_t limit, int32_t) {
  return form(value, buffer, part, limit);
}

int32_t compare(Cell* value1, Cell* value2, int32_t op) {
  if (TYPE_OF(value2) != TYPE_BITSET) return kNotComparable;
  uint32_t a = node_of(value1), b = node_of(value2);
  if (op == COMP_SAME) return a == b ? 0 : 1;
  uint32_t na = node_buffer(a)->used_bytes(), nb = node_buffer(b)->used_bytes();
  if (na != nb) return na < nb ? -1 : 1;
  if (na == 0) return 0;
  bool ca = complemented_node(a), cb = complemented_node(b);
  if (ca != cb) return ca ? 1 : -1;
  const uint8_t* pa = node_buffer(a)->head_ptr();
  const uint8_t* pb = node_buffer(b)->head_ptr();
  for (uint32_t i = na; i-- > 0;)
    if (pa[i] != pb[i]) return pa[i] < pb[i] ? -1 : 1;
  return 0;
}

Cell* complement(Cell* value) {
  uint32_t node = buffer_copy(node_of(value));
  SeriesBuffer* b = node_buffer(node);
  for (uint8_t* p = b->head_ptr(); p < b->tail_ptr(); ++p) *p = static_cast<uint8_t>(~*p);
  b->flags ^= kComplemented;
  value->data2 = node;
  return value;
}

namespace {

Cell* reflect(Cell* value, Cell* field) {
  if (!word::spells_q(field, words::SYM_OWNED)) fire(ErrorCategory::kInternal, "not-done");
  const Cell* record = ownership::owner_of(node_of(value));
  if (!record) return &none_value;
  *value = record[1];
  return value;
}

Cell* insert(Cell* series, Cell* value, int32_t, bool, int32_t, bool append) {
  changing(series, append ? words::WORD_APPEND : words::KEY_INSERT,
           [&] { process(value, series, kSet, kCallerOther); });
  return series;
}

// Removes every member: a complemented bitset loses the numbers beyond its
// bytes too.
Cell* clear(Cell* series) {
  changing(series, words::WORD_CLEAR, [&] {
    SeriesBuffer* b = node_buffer(node_of(series));
    std::memset(b->head_ptr(), kNoBits, b->used_bytes());
    b->flags &= ~kComplemented;
  });
  return series;
}

Cell* copy(Cell* value, Cell* destination, Cell*, bool, Cell*) {
  uint32_t node = buffer_copy(node_of(value));
  *destination = Cell{TYPE_BITSET, 0, node, 0};
  return destination;
}

Cell* find(Cell* series, Cell* value, const FindOptions&) {
  return process(value, series, kTest, kCallerOther) ? &true_value : &none_value;
}

int32_t length_q(Cell* series) {
  int64_t bits = int64_t{byte_count(series)} * 8;
  return bits > INT32_MAX ? INT32_MAX : static_cast<int32_t>(bits);
}

Cell* pick(Cell* series, int32_t, Cell* index_cell) {
  return logic::constant(process(index_cell, series, kTest, kCallerOther) != 0);
}

bool clears_q(const Cell* value) {
  switch (TYPE_OF(value)) {
    case TYPE_NONE:
      return true;
    case TYPE_LOGIC:
      return logic::get(value) == 0;
    case TYPE_INTEGER:
      return integer::get(value) == 0;
    case TYPE_FLOAT:
      return cell_float(value) == 0.0;
    default:
      return false;
  }
}

Cell* poke(Cell* series, int32_t, Cell* value, Cell* index_cell) {
  changing(series, words::WORD_POKE, [&] {
    process(index_cell, series, clears_q(value) ? kClear : kSet, kCallerOther);
  });
  return value;
}

Cell* remove(Cell* series, Cell*, Cell* key) {
  if (!key) {
    Cell word;
    stack::calling_word(&word);
    fire(ErrorCategory::kScript, "missing-arg", word, ErrorArgument("key"));
  }
  changing(series, words::KEY_REMOVE, [&] { process(key, series, kClear, kCallerOther); });
  return series;
}

Cell* modify(Cell* target, Cell* field, Cell* value, bool) {
  // Only ownership can be modified; another field changes nothing, as for
  // the other series.
  if (!word::spells_q(field, words::SYM_OWNED)) return value;
  if (TYPE_OF(value) == TYPE_NONE) {
    ownership::unbind(target);
  } else if (TYPE_OF(value) == TYPE_BLOCK && series_length(value->data2) >= value->data1 + 2) {
    Cell owner = series_head_cell(value->data2)[value->data1];
    Cell word = series_head_cell(value->data2)[value->data1 + 1];
    ownership::bind(target, &owner, &word);
  } else {
    fire(ErrorCategory::kScript, "invalid-arg", *value);
  }
  return target;
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell*, Cell*, Cell*, int32_t, PathFlags) {
  uint32_t et = TYPE_OF(element);
  if (et != TYPE_INTEGER && et != TYPE_CHAR)
    fire(ErrorCategory::kScript, "invalid-type", datatype_cell(et));
  if (!value) return pick(parent, 0, element);
  return poke(parent, 0, value, element);
}

Cell* negate(Cell* value) { return complement(value); }

void and_t() { bitwise(OP_AND); }
void or_t() { bitwise(OP_OR); }
void xor_t() { bitwise(OP_XOR); }

}  // namespace

void init() {
  datatype::register_type(TYPE_BITSET, 0, "bitset!", {
      own<ACT_MAKE>(make), own<ACT_REFLECT>(reflect), own<ACT_TO>(to), own<ACT_FORM>(form),
      own<ACT_MOLD>(mold), own<ACT_EVAL_PATH>(eval_path), own<ACT_COMPARE>(compare),
      own<ACT_NEGATE>(negate), own<ACT_AND_T>(and_t), own<ACT_COMPLEMENT>(complement),
      own<ACT_OR_T>(or_t), own<ACT_XOR_T>(xor_t), own<ACT_APPEND>(insert), own<ACT_CLEAR>(clear),
      own<ACT_COPY>(copy), own<ACT_FIND>(find), own<ACT_INSERT>(insert),
      own<ACT_LENGTH_Q>(length_q), own<ACT_PICK>(pick), own<ACT_POKE>(poke),
      own<ACT_REMOVE>(remove), own<ACT_MODIFY>(modify),
  });
}

}  // namespace kiv::bitset
