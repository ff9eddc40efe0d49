// The Kivbin decoder: records of both forms into values (see kivbin.h).
//
// Every record appends exactly one cell to the block being filled (a
// set-word definition appends none). A value that others may refer to is
// appended before its contents are read: a block cell before its cells, an
// object before its values, a function before its spec and body, so that a
// reference path met inside them (a cycle) finds it. Nothing collects while
// a decode runs (NoCollectScope), but buffers still move when they grow:
// the code holds nodes and cell indexes, never cell addresses, across
// anything that allocates.
#include <cmath>
#include <cstring>
#include <vector>

#include "runtime/collector.h"
#include "runtime/host/kivbin.h"
#include "runtime/memory.h"
#include "runtime/series.h"
#include "runtime/support.h"
#include "runtime/datatypes/actions.h"
#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/bitset.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/date.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/hash.h"
#include "runtime/datatypes/image.h"
#include "runtime/datatypes/kivbin.h"
#include "view/backend/qt/image_backend.h"
#include "runtime/datatypes/map.h"
#include "runtime/datatypes/money.h"
#include "runtime/datatypes/native.h"
#include "runtime/datatypes/native_abi.h"
#include "runtime/datatypes/object.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/tuple.h"
#include "runtime/datatypes/vector.h"
#include "runtime/datatypes/word.h"
#include "runtime/type_traits.h"

namespace kiv::kivbin {
namespace {

constexpr uint32_t kLastTypeId = TYPE_EVENT;
constexpr uint32_t kErrorCategories = 10;
constexpr uint32_t kCodesPerCategory = 100;
constexpr uint32_t kMaxCodePoint = 0x10FFFF;
constexpr double kMaxDateSeconds = 2 * 86400.0;

bool block_kind_q(uint32_t t) { return any_block_type_q(t) && t != TYPE_HASH; }
bool text_kind_q(uint32_t t) { return any_string_type_q(t); }
bool refused_q(uint32_t t) {
  return t == TYPE_ROUTINE || t == TYPE_TRIPLE || t == TYPE_HANDLE || t == TYPE_PORT || t == TYPE_EVENT;
}

// A reference with a series record's type may name a value whose storage has
// the same layout: block kinds among themselves (and the spec of a native,
// action or function, whose cell keeps its spec where a block keeps its
// buffer), text kinds among themselves, every other kind only itself.
bool shares_storage_q(uint32_t record, const Cell* named) {
  uint32_t t = TYPE_OF(named);
  if (block_kind_q(record) || record == TYPE_HASH) {
    if (block_kind_q(t) || t == TYPE_HASH) return true;
    if (t == TYPE_NATIVE || t == TYPE_ACTION || t == TYPE_FUNCTION) return true;
    return t == TYPE_OP;
  }
  if (text_kind_q(record)) return text_kind_q(t);
  return record == t;
}

struct Literals {
  uint32_t base = 0;   // the root block's cell count before the last boot decode
  uint32_t count = 0;  // literals it appended
  bool set = false;
};
Literals g_literals;

class Decoder {
 public:
  Decoder(const Image& image, Mode mode, uint32_t target)
      : image_(image),
        r_(image.records, image.records_size, image.records_base),
        mode_(mode),
        compact_(image.compact),
        target_(target),
        base_(series_length(target)),
        symbols_(image.symbol_count, 0) {}

  uint32_t base() const { return base_; }

  void run() {
    for (;;) {
      if (!compact_) skip_padding();
      if (r_.at_end()) break;
      record(target_);
    }
  }

 private:
  // ---------------------------------------------------------------------
  // Small readers shared by both forms.

  [[noreturn]] void fail_at(size_t offset) const { fire_invalid_record(offset); }

  uint32_t count_field() { return compact_ ? r_.uvar() : r_.u32(); }
  int32_t signed_field() { return compact_ ? r_.svar() : r_.i32(); }
  // A count of things each at least `bytes_each` bytes long: no more than
  // the bytes left can hold.
  uint32_t bounded_count(uint64_t bytes_each) {
    size_t at = r_.offset();
    uint32_t n = count_field();
    if (uint64_t{n} * bytes_each > r_.left()) fail_at(at);
    return n;
  }

  void skip_padding() {
    while (r_.left() >= 4 && (r_.here()[0] == 0)) r_.take(4);
  }

  uint32_t symbol() {
    size_t at = r_.offset();
    uint32_t index = compact_ ? r_.uvar() : r_.u32();
    if (index >= symbols_.size()) fail_at(at);
    uint32_t& id = symbols_[index];
    if (!id) {
      std::string_view name = image_.symbol_name(index, at);
      id = symbol::lookup(name);
    }
    return id;
  }

  // Appends an unset cell to the node's series; answers its index.
  static uint32_t append(uint32_t node, const Cell& value) {
    Cell* c = series_new_tail_cell(node);
    *c = value;
    return series_length(node) - 1;
  }
  static Cell* cell(uint32_t node, uint32_t index) { return series_head_cell(node) + index; }

  struct DepthGuard {
    explicit DepthGuard(Decoder* d, size_t at) : d_(d) {
      if (++d_->depth_ > kMaxDepth) fire_invalid_record(at);
    }
    ~DepthGuard() { --d_->depth_; }
    Decoder* d_;
  };

  // ---------------------------------------------------------------------
  // Reference paths.

  // Reads a path (the count and the indexes) and answers a copy of the
  // value it names.
  Cell path() {
    size_t at = r_.offset();
    if (!compact_ && r_.u32() != kFixedReferenceType) fail_at(at);
    at = r_.offset();
    uint32_t n = count_field();
    if (n == 0 || n > kMaxPathLength || uint64_t{n} * (compact_ ? 1 : 4) > r_.left()) fail_at(at);
    Cell current{TYPE_BLOCK, 0, target_, 0};
    for (uint32_t i = 0; i < n; ++i) {
      size_t index_at = r_.offset();
      uint64_t index = count_field();
      if (i == 0) index += base_;
      if (!step(&current, index)) fail_at(index_at);
    }
    return current;
  }

  // One index of a path: the cell it selects inside *current.
  static bool step(Cell* current, uint64_t index) {
    uint32_t t = TYPE_OF(current);
    if (word::any_word_q(t)) {
      uint32_t ctx = current->data1;
      if (ctx == 0 || !node_valid_q(ctx)) return false;
      // A word bound to a function's context acts as that function.
      const Cell* self = _context::self_cell(ctx);
      if (TYPE_OF(self) == TYPE_FUNCTION) {
        *current = *self;
        return step(current, index);
      }
      Cell* v = index < _context::word_count(ctx) ? _context::value_at(ctx, static_cast<uint32_t>(index)) : nullptr;
      if (!v) return false;
      *current = *v;
      return true;
    }
    switch (t) {
      case TYPE_BLOCK:
      case TYPE_PAREN:
      case TYPE_PATH:
      case TYPE_LIT_PATH:
      case TYPE_SET_PATH:
      case TYPE_GET_PATH:
      case TYPE_HASH:
      case TYPE_MAP:
      case TYPE_NATIVE:
      case TYPE_ACTION: {
        uint32_t node = current->data2;
        if (index >= series_length(node)) return false;
        *current = *cell(node, static_cast<uint32_t>(index));
        return true;
      }
      case TYPE_FUNCTION:
      case TYPE_OP: {
        bool has_body = t == TYPE_FUNCTION || op_source_type(current) == TYPE_FUNCTION;
        if (index == 0) {
          *current = Cell{TYPE_BLOCK, 0, current->data2, 0};
          return true;
        }
        if (index == 1 && has_body) {
          *current = *function::aux_cell(current, function::kAuxBody);
          return true;
        }
        return false;
      }
      case TYPE_OBJECT: {
        uint32_t ctx = object::context_of(current);
        Cell* v = index < _context::word_count(ctx) ? _context::value_at(ctx, static_cast<uint32_t>(index)) : nullptr;
        if (!v) return false;
        *current = *v;
        return true;
      }
      case TYPE_ERROR: {
        if (index >= error::kFieldCount - error::FIELD_ARG1) return false;
        *current = *error::field(current, error::FIELD_ARG1 + static_cast<uint32_t>(index));
        return true;
      }
      default:
        return false;
    }
  }

  // The context that binds a word, from the value a reference names: an
  // object, a function, an op calling a function, or a word met first.
  static uint32_t binding_context(const Cell* v) {
    uint32_t t = TYPE_OF(v);
    if (t == TYPE_OBJECT || t == TYPE_FUNCTION || t == TYPE_ERROR) return v->data1;
    if (t == TYPE_OP && op_source_type(v) == TYPE_FUNCTION) return v->data1;
    if (word::any_word_q(t) && v->data1 && v->data1 != _context::global()) return v->data1;
    return 0;
  }

  // ---------------------------------------------------------------------
  // One record.

  void record(uint32_t into) {
    size_t at = r_.offset();
    DepthGuard depth(this, at);
    if (compact_)
      compact_record(into);
    else
      fixed_record(into);
  }

  void compact_record(uint32_t into) {
    bool new_line = false, reference = false, definition = false;
    uint8_t b;
    for (;;) {
      b = r_.u8();
      if (b == kNewLinePrefix) {
        new_line = true;
      } else if (b == kReferencePrefix) {
        reference = true;
      } else if (b == kDefinitionPrefix) {
        if (mode_ == Mode::kCodec) fail_at(r_.offset() - 1);
        definition = true;
      } else {
        break;
      }
    }
    size_t header_at = r_.offset() - 1;
    if (b >= 0x80) {
      if (reference || definition) fail_at(header_at);
      Cell v;
      if (b < kNewLinePrefix)
        v = Cell{TYPE_INTEGER, 0, static_cast<uint32_t>(b & kTypeBits), 0};
      else if (b == kTrue || b == kFalse)
        v = Cell{TYPE_LOGIC, b == kTrue ? 1u : 0u, 0, 0};
      else if (b == kReferenceRecord)
        v = path();
      else
        fail_at(header_at);
      v.header &= ~kFlagNewLine;
      if (new_line) v.header |= kFlagNewLine;
      append(into, v);
      return;
    }
    uint32_t type = b & kTypeBits;
    bool flag = b & kRecordFlag;
    if (type == kTypeEscape) type = r_.uvar();
    if (type == 0) fail_at(header_at);
    if (definition) {
      if (type < TYPE_WORD || type > TYPE_ISSUE) fail_at(header_at);
      define(type, flag, into, header_at);
      return;
    }
    uint32_t index = series_length(into);
    payload(type, flag, reference, 0, into, header_at);
    set_new_line(into, index, new_line);
  }

  void fixed_record(uint32_t into) {
    skip_padding();
    size_t header_at = r_.offset();
    uint32_t header = r_.u32();
    uint32_t type = header & kTypeMask;
    bool new_line = header & kFixedNewLine;
    if (type == kFixedReferenceType) {
      // The stand-alone reference record: count and indexes follow the
      // header directly.
      Cell v = path_after_marker();
      v.header &= ~kFlagNewLine;
      if (new_line) v.header |= kFlagNewLine;
      append(into, v);
      return;
    }
    if (type == 0) fail_at(header_at);
    bool reference = header & kFixedReference;
    if (mode_ == Mode::kBoot && word::word_kind_q(type) && (header & kFixedGlobal)) {
      define(type, false, into, header_at);
      return;
    }
    uint32_t index = series_length(into);
    payload(type, false, reference, header, into, header_at);
    set_new_line(into, index, new_line);
  }

  // The fixed reference record: the marker word was its header.
  Cell path_after_marker() {
    size_t at = r_.offset();
    uint32_t n = r_.u32();
    if (n == 0 || n > kMaxPathLength || uint64_t{n} * 4 > r_.left()) fail_at(at);
    Cell current{TYPE_BLOCK, 0, target_, 0};
    for (uint32_t i = 0; i < n; ++i) {
      size_t index_at = r_.offset();
      uint64_t index = r_.u32();
      if (i == 0) index += base_;
      if (!step(&current, index)) fail_at(index_at);
    }
    return current;
  }

  static void set_new_line(uint32_t node, uint32_t index, bool new_line) {
    if (index >= series_length(node)) return;
    Cell* c = cell(node, index);
    if (new_line)
      c->header |= kFlagNewLine;
    else
      c->header &= ~kFlagNewLine;
  }

  // ---------------------------------------------------------------------
  // Payloads. `flag` is the compact F bit, `header` the fixed header word.

  void payload(uint32_t type, bool flag, bool reference, uint32_t header, uint32_t into, size_t at) {
    if (refused_q(type)) fire(ErrorCategory::kAccess, "no-codec", datatype_cell(type));
    if (type > kLastTypeId || !type_registered(type)) fail_at(at);
    switch (string_group_type(type)) {
      case TYPE_DATATYPE: {
        uint32_t t = count_field();
        if (t == 0 || t > kLastTypeId) fail_at(at);
        append(into, datatype_cell(t));
        return;
      }
      case TYPE_UNSET:
      case TYPE_NONE:
        append(into, Cell{type, 0, 0, 0});
        return;
      case TYPE_LOGIC:
        if (compact_) fail_at(at);
        append(into, Cell{TYPE_LOGIC, r_.u32() != 0 ? 1u : 0u, 0, 0});
        return;
      case TYPE_CHAR: {
        uint32_t cp = count_field();
        if (cp > kMaxCodePoint) fail_at(at);
        append(into, Cell{TYPE_CHAR, 0, cp, 0});
        return;
      }
      case TYPE_INTEGER:
        append(into, Cell{TYPE_INTEGER, 0, static_cast<uint32_t>(signed_field()), 0});
        return;
      case TYPE_FLOAT:
      case TYPE_TIME:
      case TYPE_PERCENT: {
        double d;
        if (!compact_)
          d = r_.f64_high_first();
        else if (flag)
          d = type == TYPE_PERCENT ? r_.svar() / 100.0 : static_cast<double>(r_.svar());
        else
          d = r_.f64();
        Cell v{type, 0, 0, 0};
        set_cell_float(&v, d);
        append(into, v);
        return;
      }
      case TYPE_PAIR: {
        int32_t x = signed_field();
        int32_t y = signed_field();
        append(into, Cell{TYPE_PAIR, 0, static_cast<uint32_t>(x), static_cast<uint32_t>(y)});
        return;
      }
      case TYPE_POINT2D:
      case TYPE_POINT3D: {
        Cell v{type, 0, 0, 0};
        int n = type == TYPE_POINT3D ? 3 : 2;
        for (int i = 0; i < n; ++i) (&v.data1)[i] = r_.u32();
        append(into, v);
        return;
      }
      case TYPE_TYPESET: {
        Cell v{TYPE_TYPESET, 0, 0, 0};
        uint32_t n = 12;
        if (compact_) {
          n = r_.u8();
          if (n > 12) fail_at(at);
        }
        std::memcpy(&v.data1, r_.take(n), n);
        append(into, v);
        return;
      }
      case TYPE_TUPLE: {
        uint32_t n = 3;
        if (compact_ ? flag : true) {
          n = compact_ ? r_.u8() : (header >> kFixedTupleShift) & 0xFF;
          if (n < 1 || n > static_cast<uint32_t>(tuple::kMaxCount)) fail_at(at);
        }
        const uint8_t* bytes = r_.take(compact_ ? n : 12);
        Cell v;
        tuple::make_in(&v, bytes, static_cast<int32_t>(n));
        append(into, v);
        return;
      }
      case TYPE_MONEY: {
        bool negative = compact_ ? flag : (header & kFixedMoneySign) != 0;
        const uint8_t* bytes = r_.take(12);
        for (int i = 1; i < 12; ++i)
          if ((bytes[i] >> 4) > 9 || (bytes[i] & 15) > 9) fail_at(at);
        Cell v{TYPE_MONEY | (negative ? money::kNegative : 0u), 0, 0, 0};
        std::memcpy(reinterpret_cast<uint8_t*>(&v) + 4, bytes, 12);
        append(into, v);
        return;
      }
      case TYPE_DATE: {
        uint32_t packed = r_.u32();
        bool has_time = packed & date::kHasTime;
        double time = 0;
        if (compact_) {
          if (has_time != flag) fail_at(at);
          if (has_time) time = r_.f64();
        } else {
          time = r_.f64_high_first();
          if (!has_time) time = 0;
        }
        int32_t month = date::month_of(packed);
        int32_t day = static_cast<int32_t>((packed >> 7) & 31);
        int32_t year = static_cast<int32_t>(packed) >> date::kYearShift;
        // A made date keeps its local time of day within the day: stored as UTC,
        // within a day and the widest zone of it.
        if (month < 1 || month > 12 || day < 1 || !(std::fabs(time) <= kMaxDateSeconds)) fail_at(at);
        int64_t y;
        int32_t m, d;
        date::civil_from_days(date::days_from_civil(year, month, day), &y, &m, &d);
        if (m != month || d != day) fail_at(at);
        Cell v;
        date::init_cell(&v, packed, time);
        append(into, v);
        return;
      }
      case TYPE_ISSUE: {
        uint32_t sym = symbol();
        append(into, Cell{TYPE_ISSUE, _context::global(), sym, kUnresolved});
        return;
      }
      case TYPE_BLOCK:
      case TYPE_PAREN:
      case TYPE_PATH:
      case TYPE_LIT_PATH:
      case TYPE_SET_PATH:
      case TYPE_GET_PATH:
      case TYPE_HASH:
        block_record(type, flag, reference, into, at);
        return;
      case TYPE_IMAGE:
        image_record(flag, reference, into, at);
        return;
      case TYPE_STRING:  // every any-string! kind
      case TYPE_BINARY:
        text_record(type, flag, reference, header, into, at);
        return;
      case TYPE_VECTOR:
        vector_record(flag, reference, header, into, at);
        return;
      case TYPE_BITSET:
        bitset_record(compact_ ? flag : (header & kFixedNegated) != 0, reference, into, at);
        return;
      case TYPE_MAP:
        map_record(reference, into, at);
        return;
      case TYPE_CONTEXT: {
        // A context standing on its own: an object over it (start-up takes
        // the contexts of library functions and objects from such literals).
        uint32_t flags = context_flags(header);
        if (mode_ == Mode::kCodec && (flags & kContextOnStack)) fail_at(at);
        object_over_context(flags, -1, false, into, at, nullptr);
        return;
      }
      case TYPE_OBJECT:
        object_record(flag, reference, header, into, at, nullptr);
        return;
      case TYPE_FUNCTION:
        function_record(reference, into, at, nullptr);
        return;
      case TYPE_WORD:
      case TYPE_SET_WORD:
      case TYPE_LIT_WORD:
      case TYPE_GET_WORD:
      case TYPE_REFINEMENT:
        word_record(type, flag, reference, header, into, at);
        return;
      case TYPE_NATIVE:
      case TYPE_ACTION:
        native_record(type, into, at);
        return;
      case TYPE_OP:
        op_record(header, into, at);
        return;
      case TYPE_ERROR:
        error_record(into, at);
        return;
      default:
        // symbol!, series! and the kinds with no record here yet.
        fail_at(at);
    }
  }

  // The head index of a series record.
  uint32_t head_field(bool flag) {
    if (compact_) return flag ? r_.uvar() : 0;
    return r_.u32();
  }

  // A 0xC1 (or bit 19) record of a series type: the named value retyped.
  void series_reference(uint32_t type, uint32_t head, uint32_t into, size_t at) {
    Cell v = path();
    if (!shares_storage_q(type, &v)) fail_at(at);
    uint32_t length = series_length(v.data2);
    if (text_kind_q(type) || type == TYPE_BINARY) {
      // Text series count units, not cells.
      length = node_buffer(v.data2)->length();
    }
    if (type == TYPE_VECTOR) length = node_buffer(v.data2)->length();
    // map! and hash! keep their table in word 3, vector! its element type.
    bool keep = (type == TYPE_MAP || type == TYPE_HASH || type == TYPE_VECTOR) && TYPE_OF(&v) == type;
    v = Cell{type, head > length ? length : head, v.data2, keep ? v.data3 : 0};
    append(into, v);
  }

  void block_record(uint32_t type, bool flag, bool reference, uint32_t into, size_t at) {
    uint32_t head = head_field(flag);
    if (reference) {
      series_reference(type, head, into, at);
      return;
    }
    uint32_t n = bounded_count(compact_ ? 1 : 4);
    uint32_t node = alloc_cells(n > 0 ? n : 1);
    uint32_t index = append(into, Cell{type == TYPE_HASH ? TYPE_BLOCK : type, 0, node, 0});
    for (uint32_t i = 0; i < n; ++i) record(node);
    cell(into, index)->data1 = head > n ? n : head;
    if (type == TYPE_HASH) {
      // Indexed once filled; a reference to it made from inside its own
      // cells has no index and searches by scanning.
      RootedCell h(*cell(into, index));
      hash::index_in_place(h.get());
      *cell(into, index) = *h;
    }
  }

  // image!: sides of at most 65,535 whose pixels fit the bytes left, checked
  // before the bitmap is made; or a reference to an image met before.
  void image_record(bool flag, bool reference, uint32_t into, size_t at) {
    uint32_t head = head_field(flag);
    if (reference) {
      Cell v = path();
      if (TYPE_OF(&v) != TYPE_IMAGE) fail_at(at);
      int64_t total = image::pixel_count(&v);
      v = Cell{TYPE_IMAGE, head > total ? static_cast<uint32_t>(total) : head, v.data2, v.data3};
      append(into, v);
      return;
    }
    size_t size_at = r_.offset();
    uint64_t width, height;
    if (compact_) {
      width = r_.uvar();
      height = r_.uvar();
    } else {
      uint32_t size = r_.u32();
      width = size & 0xFFFF;
      height = size >> 16;
    }
    if (width > image_backend::kMaxSide || height > image_backend::kMaxSide || width * height > 0x7FFFFFFF)
      fail_at(size_at);
    uint64_t bytes = width * height * 4;
    if (bytes > r_.left()) fail_at(size_at);
    const uint8_t* pixels = r_.take(bytes);
    // The pixels lie in the image, which no allocation moves.
    RootedCell v;
    image::make_from_argb(v.get(), static_cast<uint32_t>(width), static_cast<uint32_t>(height), pixels);
    int64_t total = image::pixel_count(v.get());
    v->data1 = head > total ? static_cast<uint32_t>(total) : head;
    append(into, *v);
  }

  void text_record(uint32_t type, bool flag, bool reference, uint32_t header, uint32_t into, size_t at) {
    uint32_t unit = 1;
    if (!compact_) {
      unit = (header >> kFixedUnitShift) & 0xFF;
      if (type == TYPE_BINARY ? unit != 1 : (unit != 1 && unit != 2 && unit != 4)) fail_at(at);
    }
    uint32_t head = head_field(flag);
    if (reference) {
      series_reference(type, head, into, at);
      return;
    }
    size_t count_at = r_.offset();
    uint32_t count = count_field();
    if (compact_ && type != TYPE_BINARY) {
      uint32_t code = count & 3;
      if (code == 3) fail_at(count_at);
      unit = 1u << code;
      count >>= 2;
    }
    if (uint64_t{count} * unit > r_.left()) fail_at(count_at);
    const uint8_t* units = r_.take(uint64_t{count} * unit);
    if (unit == 4) {
      for (uint32_t i = 0; i < count; ++i) {
        uint32_t cp;
        std::memcpy(&cp, units + 4 * i, 4);
        if (cp > kMaxCodePoint) fail_at(count_at);
      }
    }
    uint32_t node = type == TYPE_BINARY ? alloc_bytes(count) : alloc_series_for_string(count, unit);
    SeriesBuffer* b = node_buffer(node);
    // The units pointer lies in the image, which no allocation moves.
    std::memcpy(b->head_ptr(), units, uint64_t{count} * unit);
    b->tail = b->head + count * unit;
    if (!compact_) r_.align(4);
    append(into, Cell{type, head > count ? count : head, node, 0});
  }

  void vector_record(bool flag, bool reference, uint32_t header, uint32_t into, size_t at) {
    uint32_t width = 0;
    if (!compact_) width = (header >> kFixedUnitShift) & 0xFF;
    uint32_t head = head_field(flag);
    if (reference) {
      series_reference(TYPE_VECTOR, head, into, at);
      return;
    }
    uint32_t element;
    uint32_t count;
    if (compact_) {
      uint8_t b = r_.u8();
      width = 1u << (b & 3);
      element = b >> 2;
      count = count_field();
    } else {
      count = r_.u32();
      element = r_.u32();
    }
    // The element kinds and widths a vector holds.
    bool valid = ((element == TYPE_CHAR || element == TYPE_INTEGER) && (width == 1 || width == 2 || width == 4)) ||
                 (element == TYPE_FLOAT && (width == 4 || width == 8)) || (element == TYPE_PERCENT && width == 8);
    if (!valid || uint64_t{count} * width > r_.left()) fail_at(at);
    const uint8_t* elements = r_.take(uint64_t{count} * width);
    if (element == TYPE_CHAR && width == 4) {
      for (uint32_t i = 0; i < count; ++i) {
        uint32_t cp;
        std::memcpy(&cp, elements + 4 * i, 4);
        if (cp > kMaxCodePoint) fail_at(at);
      }
    }
    Cell v;
    vector::make_at(&v, count > 0 ? count : 1, element, width);
    SeriesBuffer* b = node_buffer(v.data2);
    std::memcpy(b->head_ptr(), elements, uint64_t{count} * width);
    b->tail = b->head + count * width;
    v.data1 = head > count ? count : head;
    if (!compact_) r_.align(4);
    append(into, v);
  }

  void bitset_record(bool negated, bool reference, uint32_t into, size_t at) {
    if (reference) {
      series_reference(TYPE_BITSET, 0, into, at);
      return;
    }
    uint32_t n = bounded_count(1);
    const uint8_t* bits = r_.take(n);
    Cell v;
    bitset::init_cell(&v, n, false);
    SeriesBuffer* b = node_buffer(v.data2);
    std::memcpy(b->head_ptr(), bits, n);
    if (negated) set_flag_bits(v.data2, bitset::kComplemented);
    if (!compact_) r_.align(4);
    append(into, v);
  }

  void map_record(bool reference, uint32_t into, size_t at) {
    if (reference) {
      series_reference(TYPE_MAP, 0, into, at);
      return;
    }
    size_t count_at = r_.offset();
    uint32_t n = bounded_count(compact_ ? 1 : 4);
    if (n % 2) fail_at(count_at);
    Cell m;
    map::make_in(&m, nullptr, static_cast<int32_t>(n / 2));
    uint32_t index = append(into, m);
    uint32_t pairs = m.data2;
    // The pairs are read into the map's own block, so that references made
    // inside them find the map; then the map is indexed over them.
    for (uint32_t i = 0; i < n; ++i) record(pairs);
    for (uint32_t i = 0; i < n; i += 2)
      if (!map::key_type_q(TYPE_OF(cell(pairs, i))) || TYPE_OF(cell(pairs, i + 1)) == TYPE_UNSET) fail_at(at);
    SeriesBuffer* b = node_buffer(pairs);
    uint32_t copy = alloc_cells(n > 0 ? n : 1);
    b = node_buffer(pairs);
    SeriesBuffer* c = node_buffer(copy);
    std::memcpy(c->head_ptr(), b->head_ptr(), uint64_t{n} * sizeof(Cell));
    c->tail = c->head + n * static_cast<uint32_t>(sizeof(Cell));
    b->tail = b->head;
    Cell map_cell = *cell(into, index);
    Cell spec{TYPE_BLOCK, 0, copy, 0};
    RootedCell keep_map(map_cell), keep_spec(spec);
    map::extend(keep_map.get(), keep_spec.get(), true);
  }

  // ---------------------------------------------------------------------
  // Contexts, objects, functions.

  // A word appended before the record of the object or function that binds
  // it: it takes the context as soon as that exists.
  struct Pending {
    uint32_t node;
    uint32_t index;
  };
  static void bind_pending(const Pending* pending, uint32_t ctx) {
    if (pending) cell(pending->node, pending->index)->data1 = ctx;
  }

  // The flags of a context! record, in the compact form's bits. The fixed
  // form's flags are its header word; the compact form's a byte after it.
  uint32_t context_flags(uint32_t header) {
    if (compact_) return r_.u8();
    uint32_t flags = (header >> kFixedContextKindShift) & 3;
    if (header & kFixedContextOnStack) flags |= kContextOnStack;
    if (header & kFixedContextObject) flags |= kContextObject;
    if (header & kFixedContextValues) flags |= kContextValues;
    return flags;
  }

  // Reads the header of the context! record nested in an object! or
  // function! record; answers its flags.
  uint32_t nested_context_header() {
    size_t at = r_.offset();
    if (compact_) {
      if (r_.u8() != TYPE_CONTEXT) fail_at(at);
      return r_.u8();
    }
    skip_padding();
    at = r_.offset();
    uint32_t header = r_.u32();
    if ((header & kTypeMask) != TYPE_CONTEXT) fail_at(at);
    return context_flags(header);
  }

  // The words of a context! record into a new context.
  uint32_t context_words(uint32_t flags, bool on_stack, bool object, uint32_t kind) {
    (void)flags;
    uint32_t m = bounded_count(compact_ ? 1 : 4);
    uint32_t ctx = _context::allocate(m, on_stack, object, 0, kind);
    RootedNode keep(ctx);
    for (uint32_t i = 0; i < m; ++i) {
      size_t at = r_.offset();
      uint32_t sym = symbol();
      if (_context::find_symbol(ctx, sym, true) >= 0) fail_at(at);
      Cell w{TYPE_WORD, 0, sym, 0};
      _context::word_index(ctx, &w);
    }
    return ctx;
  }

  // The values of a context! record, read into the context's value series.
  void context_values(uint32_t ctx, size_t at) {
    uint32_t m = _context::word_count(ctx);
    uint32_t values = _context::record(ctx)->data2;
    SeriesBuffer* b = node_buffer(values);
    b->tail = b->head;
    for (uint32_t i = 0; i < m; ++i) record(values);
    if (series_length(values) != m) fail_at(at);
  }

  // An object over the context record that follows (its flags read); the
  // cell is appended to `into`, and a word waiting for its binding gets the
  // context as soon as it exists.
  void object_over_context(uint32_t flags, int32_t class_id, bool hooks, uint32_t into, size_t at,
                           const Pending* pending) {
    if ((flags & kContextKindBits) == 3) fail_at(at);
    uint32_t ctx;
    if (flags & kContextOnStack) {
      // Only the boot payload holds these: function contexts start-up takes.
      ctx = context_words(flags, true, false, flags & kContextKindBits);
    } else {
      ctx = context_words(flags, false, true, kContextObject);
    }
    Cell obj{TYPE_OBJECT, ctx, static_cast<uint32_t>(class_id), 0};
    *_context::self_cell(ctx) = obj;
    uint32_t index = append(into, obj);
    bind_pending(pending, ctx);
    if ((flags & kContextValues) && !(flags & kContextOnStack)) context_values(ctx, at);
    if (hooks) {
      // Handler positions are found again from the words: each present
      // handler must hold a function.
      static const char* const kHandlers[] = {"on-change*", "on-deep-change*"};
      for (const char* name : kHandlers) {
        int32_t i = _context::find_symbol(ctx, symbol::intern(name), true);
        if (i < 0) continue;
        const Cell* v = _context::value_at(ctx, static_cast<uint32_t>(i));
        if (!v || (TYPE_OF(v) != TYPE_FUNCTION && TYPE_OF(v) != TYPE_ROUTINE)) fail_at(at);
      }
      RootedCell o(*cell(into, index));
      object::find_hooks(o.get());
      *cell(into, index) = *o;
    }
  }

  void object_record(bool flag, bool reference, uint32_t header, uint32_t into, size_t at, const Pending* pending) {
    if (reference) {
      Cell v = path();
      if (word::any_word_q(TYPE_OF(&v)) && v.data1) v = *_context::self_cell(v.data1);
      if (TYPE_OF(&v) != TYPE_OBJECT) fail_at(at);
      v.header = TYPE_OBJECT;
      append(into, v);
      bind_pending(pending, v.data1);
      return;
    }
    int32_t class_id = signed_field();
    bool hooks = compact_ ? flag : (header & kFixedHooks) != 0;
    if (hooks) {
      signed_field();
      signed_field();
    }
    uint32_t flags = nested_context_header();
    if (flags & kContextOnStack) fail_at(at);
    object_over_context(flags, mode_ == Mode::kCodec ? -1 : class_id, hooks, into, at, pending);
  }

  // A block! record read into an existing block (a function's spec or
  // body); a reference makes the slot name the referenced block instead.
  // Answers the node the slot ends up with.
  uint32_t block_into(uint32_t node) {
    size_t at = r_.offset();
    bool reference;
    if (compact_) {
      uint8_t b = r_.u8();
      reference = b == kReferencePrefix;
      if (reference) {
        at = r_.offset();
        b = r_.u8();
      }
      if ((b & ~kRecordFlag) != TYPE_BLOCK) fail_at(at);
      head_field(b & kRecordFlag);
    } else {
      skip_padding();
      at = r_.offset();
      uint32_t header = r_.u32();
      if ((header & kTypeMask) != TYPE_BLOCK) fail_at(at);
      reference = header & kFixedReference;
      r_.u32();  // head index, dropped
    }
    if (reference) {
      Cell v = path();
      if (!block_kind_q(TYPE_OF(&v))) fail_at(at);
      return v.data2;
    }
    uint32_t n = bounded_count(compact_ ? 1 : 4);
    for (uint32_t i = 0; i < n; ++i) record(node);
    return node;
  }

  void function_record(bool reference, uint32_t into, size_t at, const Pending* pending) {
    if (reference) {
      Cell v = path();
      if (word::any_word_q(TYPE_OF(&v)) && v.data1) v = *_context::self_cell(v.data1);
      bool fn = TYPE_OF(&v) == TYPE_FUNCTION || (TYPE_OF(&v) == TYPE_OP && op_source_type(&v) == TYPE_FUNCTION);
      if (!fn) fail_at(at);
      // The context's self cell is the function itself (an op's too).
      v = *_context::self_cell(v.data1);
      if (TYPE_OF(&v) != TYPE_FUNCTION) fail_at(at);
      append(into, v);
      bind_pending(pending, v.data1);
      return;
    }
    uint32_t spec_capacity = count_field();
    uint32_t body_capacity = count_field();
    uint32_t flags = nested_context_header();
    if (flags & kContextValues && !(flags & kContextOnStack)) fail_at(at);
    uint32_t ctx = context_words(flags, true, false, kContextFunction);
    RootedNode keep(ctx);
    // Capacities are hints: never more than the bytes left could fill.
    uint64_t left = r_.left();
    uint32_t spec = alloc_cells(static_cast<uint32_t>(std::max<uint64_t>(1, std::min<uint64_t>(spec_capacity, left))));
    RootedNode keep_spec(spec);
    uint32_t body = alloc_cells(static_cast<uint32_t>(std::max<uint64_t>(1, std::min<uint64_t>(body_capacity, left))));
    RootedNode keep_body(body);
    uint32_t aux = alloc_cells(function::kAuxCells);
    {
      SeriesBuffer* b = node_buffer(aux);
      HeldPtr<Cell> cells = b->head_cell();
      for (uint32_t i = 0; i < function::kAuxCells; ++i) cells[i] = Cell{TYPE_UNSET, 0, 0, 0};
      cells[function::kAuxBody] = Cell{TYPE_BLOCK, 0, body, 0};
      b->tail = b->head + function::kAuxCells * static_cast<uint32_t>(sizeof(Cell));
    }
    Cell fn{TYPE_FUNCTION, ctx, spec, aux};
    *_context::self_cell(ctx) = fn;
    uint32_t index = append(into, fn);
    bind_pending(pending, ctx);

    uint32_t spec_node = block_into(spec);
    if (spec_node != spec) {
      cell(into, index)->data2 = spec_node;
      _context::self_cell(ctx)->data2 = spec_node;
    }
    uint32_t body_node = block_into(body);
    if (body_node != body) series_head_cell(aux)[function::kAuxBody].data2 = body_node;

    // The context must hold exactly the words the spec declares, in order:
    // calls lay their arguments out by those indexes.
    Cell spec_block{TYPE_BLOCK, 0, spec_node, 0};
    uint32_t declared = _context::from_spec(&spec_block, true, false, kContextFunction);
    uint32_t count = _context::word_count(ctx);
    if (_context::word_count(declared) != count) fail_at(at);
    for (uint32_t i = 0; i < count; ++i)
      if (_context::word_at(declared, i)->data2 != _context::word_at(ctx, i)->data2) fail_at(at);
    RootedCell checked(spec_block);
    uint32_t attributes = function::check_spec(checked.get());
    cell(into, index)->header |= attributes;
    _context::self_cell(ctx)->header |= attributes;
  }

  // ---------------------------------------------------------------------
  // Words.

  // The context a boot-form word names: that of root literal N.
  uint32_t literal_binding(uint32_t literal, size_t at) {
    uint64_t i = uint64_t{base_} + literal;
    if (i >= series_length(target_)) fail_at(at);
    const Cell* v = cell(target_, static_cast<uint32_t>(i));
    uint32_t t = TYPE_OF(v);
    if (t == TYPE_OBJECT || t == TYPE_FUNCTION || t == TYPE_ERROR) return v->data1;
    if (t == TYPE_NATIVE || t == TYPE_ACTION) {
      HeldPtr<const Cell> ctx = series_head_cell(native::aux_node(v)) + native::kAuxContext;
      if (TYPE_OF(ctx) == TYPE_CONTEXT) return ctx->data2;
    }
    fail_at(at);
  }

  // A bound word's index, checked against its context.
  void check_index(uint32_t ctx, uint32_t sym, int32_t index, size_t at) {
    if (index == -1) return;
    if (index < 0 || static_cast<uint32_t>(index) >= _context::word_count(ctx)) fail_at(at);
    if (symbol::canonical(_context::word_at(ctx, static_cast<uint32_t>(index))->data2) != symbol::canonical(sym))
      fail_at(at);
  }

  // The global context's word for the symbol, as a word of that type. Each
  // symbol is looked up once per decode: the global context only gains
  // words while a decode runs, so the answer cannot change.
  Cell global_word(uint32_t sym, uint32_t type) {
    if (sym >= global_words_.size()) global_words_.resize(sym + 1, Cell{0, 0, 0, 0});
    if (global_words_[sym].header == 0) {
      Cell w;
      word::init_global(sym, &w, TYPE_WORD);
      global_words_[sym] = w;
    }
    Cell w = global_words_[sym];
    w.header = type;
    return w;
  }

  Cell boot_word(uint32_t type, uint32_t sym, bool bound, size_t at) {
    if (!bound) {
      return global_word(sym, type);
    }
    size_t literal_at = r_.offset();
    int64_t literal = compact_ ? int64_t{r_.uvar()} : int64_t{r_.i32()};
    int32_t index = signed_field();
    if (literal < 0) {
      // The fixed form's -1: the global context.
      return global_word(sym, type);
    }
    uint32_t ctx = literal_binding(static_cast<uint32_t>(literal), literal_at);
    if (index == -1) {
      int32_t found = _context::find_symbol(ctx, sym, true);
      index = found;
    } else {
      check_index(ctx, sym, index, at);
    }
    return Cell{type, ctx, sym, index < 0 ? kUnresolved : static_cast<uint32_t>(index)};
  }

  void word_record(uint32_t type, bool flag, bool reference, uint32_t header, uint32_t into, size_t at) {
    uint32_t sym = symbol();
    if (mode_ == Mode::kBoot) {
      append(into, boot_word(type, sym, compact_ ? flag : true, at));
      return;
    }
    int32_t index = 0;
    bool bound = compact_ ? flag : (header & kFixedGlobal) == 0;
    if (!compact_) index = r_.i32();
    if (!bound) {
      append(into, global_word(sym, type));
      return;
    }
    if (compact_) index = r_.svar();
    if (reference) {
      Cell v = path();
      uint32_t ctx = binding_context(&v);
      if (!ctx) fail_at(at);
      check_index(ctx, sym, index, at);
      append(into, Cell{type, ctx, sym, index < 0 ? kUnresolved : static_cast<uint32_t>(index)});
      return;
    }
    // The word goes in first, so that a reference to it from inside its
    // binding's record finds it; the binding record itself lands in a
    // scratch block, and the word takes its context as soon as it exists.
    uint32_t word_index = append(into, Cell{type, 0, sym, index < 0 ? kUnresolved : static_cast<uint32_t>(index)});
    RootedNode scratch(alloc_cells(1));
    Pending pending{into, word_index};
    binding_record(scratch, &pending);
    uint32_t ctx = series_length(scratch) == 1 ? binding_context(cell(scratch, 0)) : 0;
    if (!ctx) fail_at(at);
    check_index(ctx, sym, index, at);
    cell(into, word_index)->data1 = ctx;
  }

  // The object! or function! record nested in a word, read into scratch.
  void binding_record(uint32_t scratch, const Pending* pending) {
    size_t at = r_.offset();
    DepthGuard depth(this, at);
    bool flag = false, reference = false;
    uint32_t type, header = 0;
    if (compact_) {
      uint8_t b = r_.u8();
      if (b == kReferencePrefix) {
        reference = true;
        at = r_.offset();
        b = r_.u8();
      }
      if (b >= 0x80) fail_at(at);
      type = b & kTypeBits;
      flag = b & kRecordFlag;
    } else {
      skip_padding();
      at = r_.offset();
      header = r_.u32();
      type = header & kTypeMask;
      reference = header & kFixedReference;
    }
    if (type == TYPE_OBJECT)
      object_record(flag, reference, header, scratch, at, pending);
    else if (type == TYPE_FUNCTION)
      function_record(reference, scratch, at, pending);
    else
      fail_at(at);
  }

  // ---------------------------------------------------------------------
  // Natives, actions, operators, errors.

  void native_record(uint32_t type, uint32_t into, size_t at) {
    uint32_t index = compact_ ? r_.uvar() : r_.u32();
    uint32_t limit = type == TYPE_NATIVE ? kNativeCount : kActionCount;
    if (index < 1 || index > limit) fail_at(at);
    RootedNode scratch(alloc_cells(1));
    size_t spec_at = r_.offset();
    record(scratch);
    Cell spec = *cell(scratch, 0);
    if (TYPE_OF(&spec) != TYPE_BLOCK) fail_at(spec_at);
    RootedCell made;
    native::init_cell(made.get(), type, spec.data2, index);
    if (mode_ == Mode::kCodec && !native::entry_accepts_q(made.get())) fail_at(at);
    append(into, *made);
  }

  void op_record(uint32_t header, uint32_t into, size_t at) {
    uint32_t index = series_length(into);
    record(into);
    Cell* c = cell(into, index);
    uint32_t source = TYPE_OF(c);
    if (source != TYPE_NATIVE && source != TYPE_ACTION && source != TYPE_FUNCTION) fail_at(at);
    if (!compact_ && ((header >> kFixedOpTypeShift) & 0xFF) != source) fail_at(at);
    if (mode_ == Mode::kCodec && !op::spec_valid_q(native::spec_node(c))) fail_at(at);
    if (source == TYPE_FUNCTION) *function::aux_cell(c, function::kAuxOpSource) = *c;
    c = cell(into, index);
    c->header = (c->header & ~(kTypeMask | kFlagOpTypeMask)) | TYPE_OP | (source << kFlagOpTypeShift);
  }

  void error_record(uint32_t into, size_t at) {
    uint32_t code = compact_ ? r_.uvar() : r_.u32();
    uint32_t category = code / kCodesPerCategory, id = code % kCodesPerCategory;
    if (category >= kErrorCategories || !error::category_context(category) || id >= error::id_count(category))
      fail_at(at);
    RootedCell made;
    error::make_from_code(made.get(), static_cast<int32_t>(code));
    uint32_t index = append(into, *made);
    // The six records land in the fields arg1 to stack, read in place so
    // that references made inside them find the error.
    uint32_t values = _context::record(error::context_of(made.get()))->data2;
    uint32_t fields = series_length(values);
    SeriesBuffer* b = node_buffer(values);
    b->tail = b->head + error::FIELD_ARG1 * static_cast<uint32_t>(sizeof(Cell));
    for (uint32_t i = 0; i < 6; ++i) record(values);
    b = node_buffer(values);
    b->tail = b->head + fields * static_cast<uint32_t>(sizeof(Cell));
    // A call-stack index means something only while the error travels.
    Cell* stack = error::field(cell(into, index), error::FIELD_STACK);
    if (TYPE_OF(stack) == TYPE_INTEGER) *stack = Cell{TYPE_NONE, 0, 0, 0};
  }

  // ---------------------------------------------------------------------
  // Set-word definitions (boot form).

  void define(uint32_t type, bool flag, uint32_t into, size_t at) {
    uint32_t sym = symbol();
    Cell w;
    if (compact_) {
      w = boot_word(type, sym, flag, at);
    } else {
      int32_t literal = r_.i32();
      int32_t index = r_.i32();
      if (literal < 0) {
        w = global_word(sym, type);
      } else {
        uint32_t ctx = literal_binding(static_cast<uint32_t>(literal), at);
        if (index == -1) index = _context::find_symbol(ctx, sym, true);
        else check_index(ctx, sym, index, at);
        w = Cell{type, ctx, sym, index < 0 ? kUnresolved : static_cast<uint32_t>(index)};
      }
    }
    uint32_t word_index = append(into, w);
    record(into);
    if (series_length(into) != word_index + 2) fail_at(at);
    RootedCell value(*cell(into, word_index + 1));
    RootedCell word(*cell(into, word_index));
    value->header &= ~kFlagNewLine;
    _context::set_word(word.get(), value.get());
    // The definition leaves nothing among the literals.
    SeriesBuffer* b = node_buffer(into);
    b->tail -= 2 * static_cast<uint32_t>(sizeof(Cell));
  }

  const Image& image_;
  Reader r_;
  Mode mode_;
  bool compact_;
  uint32_t target_;
  uint32_t base_;
  uint32_t depth_ = 0;
  std::vector<uint32_t> symbols_;
  std::vector<Cell> global_words_;  // by symbol id; header 0 until looked up
};

// Cuts the target back to its length before the decode unless the decode
// finished.
class TargetGuard {
 public:
  explicit TargetGuard(uint32_t node) : node_(node), length_(series_length(node)) {}
  ~TargetGuard() {
    if (!done_) {
      SeriesBuffer* b = node_buffer(node_);
      b->tail = b->head + length_ * static_cast<uint32_t>(sizeof(Cell));
    }
  }
  void done() { done_ = true; }

 private:
  uint32_t node_;
  uint32_t length_;
  bool done_ = false;
};

uint32_t decode_into(std::span<const uint8_t> bytes, uint32_t target, Mode mode, const Cell* argument,
                     uint32_t* base) {
  Image image;
  OpenStatus status = open(bytes, &image);
  if (status != OpenStatus::kOk) {
    if (mode == Mode::kBoot) {
      // Start-up cannot go on without its payload.
      std::fputs(status == OpenStatus::kNotKivbin ? "Error: Not a Kivbin file!\n"
                                                  : "Error: Kivbin compressed data corrupted!\n",
                 stderr);
      std::exit(1);
    }
    Cell none{TYPE_NONE, 0, 0, 0};
    fire(ErrorCategory::kScript, "invalid-data", argument ? *argument : none);
  }
  NoCollectScope no_collect;
  TargetGuard guard(target);
  Decoder decoder(image, mode, target);
  decoder.run();
  guard.done();
  if (base) *base = decoder.base();
  return series_length(target) - decoder.base();
}

}  // namespace

void decode(std::span<const uint8_t> image, Cell* target, Mode mode, const Cell* argument) {
  RootedCell keep(*target);
  RootedCell arg(argument ? *argument : Cell{TYPE_NONE, 0, 0, 0});
  decode_into(image, target->data2, mode, argument ? arg.get() : nullptr, nullptr);
}

void codec_decode(const Cell* payload, Cell* out) {
  RootedCell arg(*payload);
  if (TYPE_OF(payload) != TYPE_BINARY) fire(ErrorCategory::kScript, "invalid-data", *payload);
  SeriesBuffer* b = node_buffer(payload->data2);
  uint32_t length = b->length();
  uint32_t head = payload->data1 > length ? length : payload->data1;
  if (length - head <= 10) fire(ErrorCategory::kScript, "invalid-data", *payload);
  // The image is copied out of the binary: decoding allocates, and the
  // binary's buffer may move.
  std::vector<uint8_t> bytes(b->head_ptr() + head, b->head_ptr() + length);
  RootedCell block;
  block::init_cell(block.get(), 4);
  decode_into(bytes, block->data2, Mode::kCodec, arg.get(), nullptr);
  if (series_length(block->data2) == 1) {
    *out = *series_head_cell(block->data2);
    out->header &= ~kFlagNewLine;
  } else {
    *out = *block;
  }
}

uint32_t boot_decode(std::span<const uint8_t> payload, bool keep_base) {
  Literals saved = g_literals;
  uint32_t base = 0;
  uint32_t count = decode_into(payload, root_block(), Mode::kBoot, nullptr, &base);
  if (keep_base && saved.set) {
    g_literals = saved;
  } else {
    g_literals = Literals{base, count, true};
  }
  return count;
}

Cell* literal_cell(uint32_t n) {
  if (!g_literals.set || n >= g_literals.count) return nullptr;
  uint32_t i = g_literals.base + n;
  if (i >= series_length(root_block())) return nullptr;
  return series_head_cell(root_block()) + i;
}

uint32_t literal_context(uint32_t n) {
  Cell* c = literal_cell(n);
  if (!c) return 0;
  uint32_t t = TYPE_OF(c);
  if (t == TYPE_OBJECT || t == TYPE_FUNCTION || t == TYPE_ERROR) return c->data1;
  return 0;
}

}  // namespace kiv::kivbin
