// The Kivbin encoder: values into records of either form (see kivbin.h).
//
// The walk keeps the position of the next value at each level (pos_) and
// the positions of the enclosing levels (path_); a series, object, function
// or word binding written for the first time is keyed by its buffer or
// context node with the path where it was written, and written again as that
// path. The walk only reads values: nothing is allocated in the runtime
// until the image is finished, so no buffer moves under it.
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "runtime/host/kivbin.h"
#include "runtime/series.h"
#include "runtime/support.h"
#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/bitset.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/image.h"
#include "runtime/datatypes/kivbin.h"
#include "view/backend/qt/image_backend.h"
#include "runtime/datatypes/money.h"
#include "runtime/datatypes/native.h"
#include "runtime/datatypes/object.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/tuple.h"
#include "runtime/datatypes/vector.h"
#include "runtime/type_traits.h"

namespace kiv::kivbin {

namespace {

constexpr double kWholeFloatLimit = 2147483000.0;
constexpr double kWholePercentLimit = 21474836.0;

bool block_kind_q(uint32_t t) { return any_block_type_q(t) && t != TYPE_HASH; }

}  // namespace

struct Encoder::State {
  EncodeOptions options;
  Writer w;
  std::vector<std::string> names;
  std::unordered_map<uint32_t, uint32_t> symbol_index;  // symbol id -> table index
  // node -> where its path lies in `paths` (offset, length)
  std::unordered_map<uint32_t, std::pair<uint32_t, uint32_t>> refs;
  std::vector<uint32_t> paths;
  std::vector<uint32_t> added;  // keys added since the current add() began
  std::unordered_map<uint32_t, uint32_t> literal_contexts;  // boot form: context -> literal
  std::vector<uint32_t> path;
  uint32_t pos = 0;
  uint32_t roots = 0;
  uint32_t depth = 0;

  bool compact() const { return options.compact; }
  bool boot() const { return options.mode == Mode::kBoot; }

  // -------------------------------------------------------------------------
  // Headers.

  void typed(uint32_t type, bool flag) {
    uint8_t f = flag ? kRecordFlag : 0;
    if (type < kTypeEscape) {
      w.u8(static_cast<uint8_t>(type) | f);
    } else {
      w.u8(kTypeEscape | f);
      w.uvar(type);
    }
  }
  // The fixed header word.
  void fixed(uint32_t type, uint32_t bits, bool new_line) { w.u32(type | bits | (new_line ? kFixedNewLine : 0)); }
  void header(uint32_t type, bool flag, uint32_t bits, bool new_line) {
    if (compact())
      typed(type, flag);
    else
      fixed(type, bits, new_line);
  }
  void count(uint32_t n) {
    if (compact())
      w.uvar(n);
    else
      w.u32(n);
  }
  void sval(int32_t v) {
    if (compact())
      w.svar(v);
    else
      w.i32(v);
  }
  // The header of a value with a head index (a series): in the compact form
  // the head flag and the head when it is not 0, in the fixed form the
  // header word and the head.
  void series_header(uint32_t type, uint32_t head, uint32_t bits, bool new_line) {
    if (compact()) {
      typed(type, head != 0);
      if (head) w.uvar(head);
    } else {
      fixed(type, bits, new_line);
      w.u32(head);
    }
  }

  uint32_t symbol(uint32_t id) {
    auto it = symbol_index.find(id);
    if (it != symbol_index.end()) return it->second;
    uint32_t index = static_cast<uint32_t>(names.size());
    names.emplace_back(symbol::utf8_of(id));
    symbol_index.emplace(id, index);
    return index;
  }
  void symbol_field(uint32_t id) { count(symbol(id)); }

  // -------------------------------------------------------------------------
  // Paths and the reference table.

  // A stored path; good until the next remember().
  struct Path {
    const uint32_t* begin_;
    uint32_t size_;
    const uint32_t* begin() const { return begin_; }
    const uint32_t* end() const { return begin_ + size_; }
    size_t size() const { return size_; }
  };
  std::optional<Path> find(uint32_t key) const {
    auto it = refs.find(key);
    if (it == refs.end()) return std::nullopt;
    return Path{paths.data() + it->second.first, it->second.second};
  }
  void remember(uint32_t key) {
    uint32_t at = static_cast<uint32_t>(paths.size());
    paths.insert(paths.end(), path.begin(), path.end());
    paths.push_back(pos);
    refs.emplace(key, std::make_pair(at, static_cast<uint32_t>(path.size() + 1)));
    added.push_back(key);
  }
  void write_path(const Path& p) {
    if (!compact()) w.u32(kFixedReferenceType);
    count(static_cast<uint32_t>(p.size()));
    for (uint32_t i : p) count(i);
  }
  // A keyed value met before is written as a reference to the path where
  // it was first written (answers true); met for the first time, it is
  // keyed here (answers false) and its record follows. In the compact form
  // the 0xC1 prefix and the header, in the fixed form the header with bit
  // 19; a series (head given) also writes its head index.
  bool reference(uint32_t key, uint32_t type, bool flag, uint32_t bits, bool new_line,
                 std::optional<uint32_t> head = std::nullopt) {
    const auto p = find(key);
    if (!p) {
      remember(key);
      return false;
    }
    if (compact()) w.u8(kReferencePrefix);
    if (head)
      series_header(type, *head, bits | kFixedReference, new_line);
    else
      header(type, flag, bits | kFixedReference, new_line);
    write_path(*p);
    return true;
  }
  // Entering a series, object, function or error: its values count from 0.
  void enter() {
    path.push_back(pos);
    pos = 0;
  }
  void leave() {
    pos = path.back();
    path.pop_back();
  }

  struct Depth {
    explicit Depth(State* s) : s_(s) {
      if (++s_->depth > kMaxDepth) fire(ErrorCategory::kInternal, "too-deep");
    }
    ~Depth() { --s_->depth; }
    State* s_;
  };

  [[noreturn]] static void refuse(const Cell* v) { fire(ErrorCategory::kAccess, "no-codec", *v); }

  // -------------------------------------------------------------------------
  // Values.

  void value(const Cell* v) {
    body(v);
    ++pos;
  }

  // One record at the current position.
  void body(const Cell* v) {
    Depth depth(this);
    uint32_t type = TYPE_OF(v);
    bool nl = v->header & kFlagNewLine;
    if (nl && compact()) w.u8(kNewLinePrefix);
    switch (string_group_type(type)) {
      case TYPE_UNSET:
      case TYPE_NONE:
        header(type, false, 0, nl);
        return;
      case TYPE_DATATYPE:
        header(type, false, 0, nl);
        count(v->data1);
        return;
      case TYPE_LOGIC:
        if (compact()) {
          w.u8(v->data1 ? kTrue : kFalse);
        } else {
          fixed(type, 0, nl);
          w.u32(v->data1 ? 1 : 0);
        }
        return;
      case TYPE_INTEGER: {
        int32_t n = static_cast<int32_t>(v->data2);
        if (compact() && n >= 0 && n <= 63) {
          w.u8(static_cast<uint8_t>(kSmallInteger + n));
          return;
        }
        header(type, false, 0, nl);
        sval(n);
        return;
      }
      case TYPE_CHAR:
        header(type, false, 0, nl);
        count(v->data2);
        return;
      case TYPE_PAIR:
        header(type, false, 0, nl);
        sval(static_cast<int32_t>(v->data2));
        sval(static_cast<int32_t>(v->data3));
        return;
      case TYPE_POINT2D:
      case TYPE_POINT3D:
        header(type, false, 0, nl);
        w.u32(v->data1);
        w.u32(v->data2);
        if (type == TYPE_POINT3D) w.u32(v->data3);
        return;
      case TYPE_FLOAT:
      case TYPE_TIME:
      case TYPE_PERCENT:
        number(type, cell_float(v), nl);
        return;
      case TYPE_DATE: {
        bool has_time = v->data1 & 0x10000;
        double time = cell_float(v);
        header(type, has_time, 0, nl);
        w.u32(v->data1);
        if (!compact())
          w.f64_high_first(has_time ? time : 0.0);
        else if (has_time)
          w.f64(time);
        return;
      }
      case TYPE_TYPESET: {
        const uint8_t* bits = reinterpret_cast<const uint8_t*>(&v->data1);
        header(type, false, 0, nl);
        uint32_t n = 12;
        if (compact()) {
          while (n > 0 && bits[n - 1] == 0) --n;
          w.u8(static_cast<uint8_t>(n));
        }
        w.append(bits, n);
        return;
      }
      case TYPE_TUPLE: {
        uint32_t n = static_cast<uint32_t>(tuple::count(v));
        const uint8_t* bytes = tuple::bytes(v);
        if (compact()) {
          typed(type, n != 3);
          if (n != 3) w.u8(static_cast<uint8_t>(n));
          w.append(bytes, n);
        } else {
          fixed(type, n << kFixedTupleShift, nl);
          w.append(bytes, 12);
        }
        return;
      }
      case TYPE_MONEY: {
        bool negative = money::negative_q(v);
        header(type, negative, negative ? kFixedMoneySign : 0, nl);
        w.append(reinterpret_cast<const uint8_t*>(v) + 4, 12);
        return;
      }
      case TYPE_ISSUE:
        header(type, false, 0, nl);
        symbol_field(v->data2);
        return;
      case TYPE_BLOCK:
      case TYPE_PAREN:
      case TYPE_PATH:
      case TYPE_LIT_PATH:
      case TYPE_SET_PATH:
      case TYPE_GET_PATH:
      case TYPE_HASH:
        block(v, nl);
        return;
      case TYPE_STRING:  // every any-string! kind
      case TYPE_BINARY:
        text(v, nl);
        return;
      case TYPE_VECTOR:
        vector(v, nl);
        return;
      case TYPE_IMAGE:
        image(v, nl);
        return;
      case TYPE_BITSET:
        bitset(v, nl);
        return;
      case TYPE_MAP:
        map(v, nl);
        return;
      case TYPE_OBJECT:
        object(v, nl, true);
        return;
      case TYPE_FUNCTION:
        function(v, nl, true);
        return;
      case TYPE_WORD:
      case TYPE_SET_WORD:
      case TYPE_LIT_WORD:
      case TYPE_GET_WORD:
      case TYPE_REFINEMENT:
        word(v, nl);
        return;
      case TYPE_NATIVE:
      case TYPE_ACTION:
        header(type, false, 0, nl);
        count(native::entry_index(v));
        {
          Cell spec{TYPE_BLOCK, 0, native::spec_node(v), 0};
          body(&spec);
        }
        return;
      case TYPE_OP: {
        uint32_t source = op_source_type(v);
        if (source != TYPE_NATIVE && source != TYPE_ACTION && source != TYPE_FUNCTION) refuse(v);
        header(type, false, source << kFixedOpTypeShift, nl);
        Cell called = *v;
        called.header = (v->header & ~(kTypeMask | kFlagOpTypeMask | kFlagNewLine)) | source;
        body(&called);
        return;
      }
      case TYPE_ERROR:
        error(v, nl);
        return;
      default:
        // routine!, triple!, handle!, port!, event!, and the kinds with no
        // record (context!, symbol!, series!, and types not written here).
        refuse(v);
    }
  }

  void number(uint32_t type, double d, bool nl) {
    bool whole = false;
    int32_t n = 0;
    if (compact() && !(d == 0 && std::signbit(d))) {
      if (type == TYPE_PERCENT) {
        if (d >= -kWholePercentLimit && d <= kWholePercentLimit) {
          double hundred = std::round(d * 100.0);
          n = static_cast<int32_t>(hundred);
          whole = n / 100.0 == d;
        }
      } else if (d >= -kWholeFloatLimit && d <= kWholeFloatLimit) {
        n = static_cast<int32_t>(d);
        whole = static_cast<double>(n) == d;
      }
    }
    if (compact()) {
      typed(type, whole);
      if (whole)
        w.svar(n);
      else
        w.f64(d);
      return;
    }
    w.align(8);
    fixed(type, 0, nl);
    w.f64_high_first(d);
  }

  void block(const Cell* v, bool nl) {
    uint32_t type = TYPE_OF(v);
    uint32_t node = v->data2;
    uint32_t head = v->data1;
    if (reference(node, type, head != 0, 0, nl, head)) return;
    series_header(type, head, 0, nl);
    uint32_t n = series_length(node);
    count(n);
    enter();
    for (uint32_t i = 0; i < n; ++i) {
      Cell c = series_head_cell(node)[i];
      value(&c);
    }
    leave();
  }

  void text(const Cell* v, bool nl) {
    uint32_t type = TYPE_OF(v);
    uint32_t node = v->data2;
    uint32_t head = v->data1;
    SeriesBuffer* b = node_buffer(node);
    uint32_t unit = type == TYPE_BINARY ? 1 : b->unit();
    uint32_t bits = unit << kFixedUnitShift;
    if (reference(node, type, head != 0, bits, nl, head)) return;
    uint32_t n = b->length();
    series_header(type, head, bits, nl);
    if (!compact()) {
      w.u32(n);
    } else if (type == TYPE_BINARY) {
      w.uvar(n);
    } else {
      if (n >= (1u << 30)) fire(ErrorCategory::kInternal, "limit-hit", *v);
      uint32_t code = unit == 1 ? 0 : unit == 2 ? 1 : 2;
      w.uvar(n << 2 | code);
    }
    b = node_buffer(node);
    w.append(b->head_ptr(), uint64_t{n} * unit);
    if (!compact()) w.align(4);
  }

  // The pixels as the argb channel holds them (B, G, R, A a pixel); an
  // image without pixels keeps its size and writes no bytes.
  void image(const Cell* v, bool nl) {
    uint32_t node = v->data2;
    uint32_t head = v->data1;
    if (node && reference(node, TYPE_IMAGE, head != 0, 0, nl, head)) return;
    uint32_t width = image::width_of(v), height = image::height_of(v);
    series_header(TYPE_IMAGE, head, 0, nl);
    if (compact()) {
      w.uvar(width);
      w.uvar(height);
    } else {
      w.u32(height << 16 | width);
    }
    const image_backend::Bitmap* b = image::bitmap_of(v);
    if (b) w.append(reinterpret_cast<const uint8_t*>(b->pixels), uint64_t{b->count()} * 4);
  }

  void vector(const Cell* v, bool nl) {
    uint32_t node = v->data2;
    uint32_t head = v->data1;
    SeriesBuffer* b = node_buffer(node);
    uint32_t width = b->unit();
    uint32_t bits = width << kFixedUnitShift;
    if (reference(node, TYPE_VECTOR, head != 0, bits, nl, head)) return;
    uint32_t n = b->length();
    uint32_t element = vector::element_type_of(v);
    series_header(TYPE_VECTOR, head, bits, nl);
    if (compact()) {
      uint32_t code = width == 1 ? 0 : width == 2 ? 1 : width == 4 ? 2 : 3;
      w.u8(static_cast<uint8_t>(element << 2 | code));
      w.uvar(n);
    } else {
      w.u32(n);
      w.u32(element);
    }
    b = node_buffer(node);
    w.append(b->head_ptr(), uint64_t{n} * width);
    if (!compact()) w.align(4);
  }

  void bitset(const Cell* v, bool nl) {
    uint32_t node = v->data2;
    bool negated = (node_buffer(node)->flags & bitset::kComplemented) != 0;
    uint32_t bits = negated ? kFixedNegated : 0;
    if (reference(node, TYPE_BITSET, negated, bits, nl)) return;
    header(TYPE_BITSET, negated, bits, nl);
    SeriesBuffer* b = node_buffer(node);
    uint32_t n = b->used_bytes();
    count(n);
    w.append(b->head_ptr(), n);
    if (!compact()) w.align(4);
  }

  void map(const Cell* v, bool nl) {
    uint32_t node = v->data2;
    if (reference(node, TYPE_MAP, false, 0, nl)) return;
    header(TYPE_MAP, false, 0, nl);
    // Removed pairs keep their key with an empty value slot (header 0):
    // only live pairs are written.
    uint32_t n = series_length(node);
    uint32_t live = 0;
    for (uint32_t i = v->data1; i + 1 < n; i += 2)
      if (series_head_cell(node)[i + 1].header != 0) ++live;
    count(2 * live);
    enter();
    for (uint32_t i = v->data1; i + 1 < n; i += 2) {
      Cell key = series_head_cell(node)[i];
      Cell val = series_head_cell(node)[i + 1];
      if (val.header == 0) continue;
      value(&key);
      value(&val);
    }
    leave();
  }

  // The context record after an object's or function's header.
  void context_record(uint32_t ctx, bool object_values) {
    uint32_t m = _context::word_count(ctx);
    bool on_stack = _context::on_stack_q(ctx);
    uint32_t kind = _context::kind_of(ctx);
    bool values = false;
    if (object_values && !on_stack) {
      for (uint32_t i = 0; i < m && !values; ++i) {
        const Cell* c = _context::value_at(ctx, i);
        values = c && TYPE_OF(c) != TYPE_UNSET && TYPE_OF(c) != TYPE_VALUE;
      }
    }
    if (compact()) {
      w.u8(TYPE_CONTEXT);
      w.u8(static_cast<uint8_t>(kind | (on_stack ? kContextOnStack : 0) | (object_values ? kContextObject : 0) |
                                (values ? kContextValues : 0)));
    } else {
      fixed(TYPE_CONTEXT,
            kind << kFixedContextKindShift | (on_stack ? kFixedContextOnStack : 0) |
                (object_values ? kFixedContextObject : 0) | (values ? kFixedContextValues : 0),
            false);
    }
    count(m);
    for (uint32_t i = 0; i < m; ++i) symbol_field(_context::word_at(ctx, i)->data2);
    if (!values) return;
    enter();
    for (uint32_t i = 0; i < m; ++i) {
      const Cell* c = _context::value_at(ctx, i);
      Cell copy = c && TYPE_OF(c) != TYPE_VALUE ? *c : Cell{TYPE_UNSET, 0, 0, 0};
      value(&copy);
    }
    leave();
  }

  // register_key: false when a word already entered the context.
  void object(const Cell* v, bool nl, bool register_key) {
    uint32_t ctx = object::context_of(v);
    if (register_key && reference(ctx, TYPE_OBJECT, false, 0, nl)) return;
    uint32_t hooks = object::hooks_of(v);
    header(TYPE_OBJECT, hooks != 0, hooks ? kFixedHooks : 0, nl);
    sval(object::class_of(v));
    if (hooks) {
      for (uint32_t i = 0; i < 2; ++i) {
        uint32_t index = series_head_cell(hooks)[i].data2 >> 16;
        sval(index == object::kNoHookIndex ? -1 : static_cast<int32_t>(index));
      }
    }
    // The context record's values count from the object's own position.
    context_record(ctx, true);
  }

  void function(const Cell* v, bool nl, bool register_key) {
    uint32_t ctx = function::context_node(v);
    if (register_key && reference(ctx, TYPE_FUNCTION, false, 0, nl)) return;
    Cell body_cell = *function::aux_cell(v, function::kAuxBody);
    bool has_body = block_kind_q(TYPE_OF(&body_cell));
    uint32_t spec = function::spec_node(v);
    header(TYPE_FUNCTION, false, 0, nl);
    count(series_length(spec));
    count(has_body ? series_length(body_cell.data2) : 0);
    context_record(ctx, false);
    enter();
    Cell spec_cell{TYPE_BLOCK, 0, spec, 0};
    value(&spec_cell);
    if (has_body) {
      body_cell.header = TYPE_BLOCK;
      body_cell.data1 = 0;
      body_cell.data3 = 0;
      value(&body_cell);
    } else {
      // A function with no body block: an empty one.
      Depth depth(this);
      header(TYPE_BLOCK, false, 0, false);
      if (!compact()) w.u32(0);
      count(0);
      ++pos;
    }
    leave();
  }

  void error(const Cell* v, bool nl) {
    uint32_t ctx = error::context_of(v);
    if (const auto p = find(ctx)) {
      // Met again: a reference record, a copy of the error written first.
      if (compact())
        w.u8(kReferenceRecord);
      else
        fixed(kFixedReferenceType, 0, nl);
      if (compact()) {
        count(static_cast<uint32_t>(p->size()));
        for (uint32_t i : *p) count(i);
      } else {
        w.u32(static_cast<uint32_t>(p->size()));
        for (uint32_t i : *p) w.u32(i);
      }
      return;
    }
    remember(ctx);
    header(TYPE_ERROR, false, 0, nl);
    const Cell* code = error::field(v, error::FIELD_CODE);
    count(TYPE_OF(code) == TYPE_INTEGER ? code->data2 : 0);
    enter();
    for (uint32_t f = error::FIELD_ARG1; f <= error::FIELD_STACK; ++f) {
      Cell c = *error::field(v, f);
      if (f == error::FIELD_STACK && TYPE_OF(&c) == TYPE_INTEGER) c = Cell{TYPE_NONE, 0, 0, 0};
      value(&c);
    }
    leave();
  }

  // The value owning a word's context when the word is written through the
  // reference table: an object or a function (an error only once written).
  static bool keyed_binding_q(const Cell* self) {
    uint32_t t = TYPE_OF(self);
    return t == TYPE_OBJECT || t == TYPE_FUNCTION || t == TYPE_ERROR;
  }

  void word(const Cell* v, bool nl) {
    uint32_t type = TYPE_OF(v);
    uint32_t ctx = v->data1;
    uint32_t sym = v->data2;
    int32_t index = v->data3 == kUnresolved ? -1 : static_cast<int32_t>(v->data3);
    bool global = ctx == 0 || ctx == _context::global() || !node_valid_q(ctx);
    const Cell* self = global ? nullptr : _context::self_cell(ctx);
    if (!global && !keyed_binding_q(self)) global = true;
    if (!global && TYPE_OF(self) == TYPE_ERROR && !find(ctx)) global = true;
    if (boot()) {
      boot_word(type, ctx, sym, index, global, nl, false);
      return;
    }
    if (global) {
      if (compact()) {
        typed(type, false);
        symbol_field(sym);
      } else {
        fixed(type, kFixedGlobal, nl);
        w.u32(symbol(sym));
        w.u32(v->data3);
      }
      return;
    }
    const auto p = find(ctx);
    if (compact()) {
      if (p) w.u8(kReferencePrefix);
      typed(type, true);
      symbol_field(sym);
      w.svar(index);
    } else {
      fixed(type, p ? kFixedReference : 0, nl);
      w.u32(symbol(sym));
      w.i32(index);
    }
    if (p) {
      write_path(*p);
      return;
    }
    // First met through this word: the binding's record follows, keyed at
    // the word's own position (the decoder finds the context through the
    // word).
    remember(ctx);
    Depth depth(this);
    Cell owner = *self;
    owner.header &= ~kFlagNewLine;
    if (TYPE_OF(&owner) == TYPE_OBJECT)
      object(&owner, false, false);
    else
      function(&owner, false, false);
  }

  // Boot form: global words unbound, words of a literal's context with the
  // literal's number.
  void boot_word(uint32_t type, uint32_t ctx, uint32_t sym, int32_t index, bool global, bool nl, bool definition) {
    int32_t literal = -1;
    if (!global) {
      auto it = literal_contexts.find(ctx);
      if (it == literal_contexts.end()) {
        Cell w_cell{type, ctx, sym, static_cast<uint32_t>(index)};
        refuse(&w_cell);
      }
      literal = static_cast<int32_t>(it->second);
    }
    if (compact()) {
      if (definition) w.u8(kDefinitionPrefix);
      typed(type, !global);
      symbol_field(sym);
      if (!global) {
        w.uvar(static_cast<uint32_t>(literal));
        w.svar(index);
      }
    } else {
      fixed(type, definition ? kFixedGlobal : 0, nl);
      w.u32(symbol(sym));
      w.i32(literal);
      w.i32(global ? -1 : index);
    }
  }

  // -------------------------------------------------------------------------
  // Undoing a failed add: the records, names and keys it wrote go.

  struct Mark {
    size_t bytes, names, added;
    uint32_t pos;
  };
  Mark mark() const { return Mark{w.size(), names.size(), added.size(), pos}; }
  void forget_keys(size_t from) {
    for (size_t i = from; i < added.size(); ++i) refs.erase(added[i]);
    added.resize(from);
  }
  void undo(const Mark& m) {
    w.bytes().resize(m.bytes);
    for (size_t i = m.names; i < names.size(); ++i) {
      for (auto it = symbol_index.begin(); it != symbol_index.end(); ++it)
        if (it->second == i) {
          symbol_index.erase(it);
          break;
        }
    }
    names.resize(m.names);
    forget_keys(m.added);
    path.clear();
    pos = m.pos;
    depth = 0;
  }
};

Encoder::Encoder(EncodeOptions options) : state_(new State) { state_->options = options; }
Encoder::~Encoder() { delete state_; }

uint32_t Encoder::add(const Cell* value) {
  State& s = *state_;
  State::Mark m = s.mark();
  try {
    s.value(value);
  } catch (...) {
    s.undo(m);
    throw;
  }
  uint32_t literal = s.roots++;
  if (s.boot()) {
    uint32_t t = TYPE_OF(value);
    if (t == TYPE_OBJECT || t == TYPE_FUNCTION || t == TYPE_ERROR) s.literal_contexts.emplace(value->data1, literal);
  }
  return literal;
}

void Encoder::define(const Cell* word, const Cell* value) {
  State& s = *state_;
  if (!s.boot() || TYPE_OF(word) < TYPE_WORD || TYPE_OF(word) > TYPE_ISSUE) fire(ErrorCategory::kScript, "invalid-arg", *word);
  State::Mark m = s.mark();
  try {
    uint32_t ctx = word->data1;
    bool global = ctx == 0 || ctx == _context::global();
    int32_t index = word->data3 == kUnresolved ? -1 : static_cast<int32_t>(word->data3);
    s.boot_word(TYPE_OF(word), ctx, word->data2, index, global, false, true);
    // The word and the value stand at the next two positions while the
    // payload is read, then leave: nothing may refer into them later.
    ++s.pos;
    s.value(value);
  } catch (...) {
    s.undo(m);
    throw;
  }
  s.pos = m.pos;
  s.forget_keys(m.added);
}

std::vector<uint8_t> Encoder::finish() {
  State& s = *state_;
  uint8_t version = s.boot() ? kVersionBoot : kVersionWritten;
  return assemble(s.compact(), version, s.roots, s.names, s.w.bytes(), s.options.compress);
}

std::vector<uint8_t> encode_bytes(const Cell* value, bool compact, bool compress) {
  EncodeOptions options;
  options.compact = compact;
  options.compress = compress;
  Encoder e(options);
  e.add(value);
  return e.finish();
}

void encode(const Cell* value, bool compact, Cell* out) {
  std::vector<uint8_t> bytes = encode_bytes(value, compact);
  binary::load(bytes.data(), bytes.size(), out);
}

}  // namespace kiv::kivbin
