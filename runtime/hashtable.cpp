// Hash tables (layout and invariants in hashtable.h).
//
// Probing: start at hash & (buckets - 1); the k-th further probe adds k
// (steps 1, 2, 3 ...), which visits every bucket of a power-of-two table once
// in `buckets` probes. A lookup stops at an empty bucket or a matching live
// one and skips deleted ones; an insert of an absent key takes the first
// deleted bucket it passed.
//
// Moving collector: nothing below keeps a buffer address across a call that
// can allocate or compare (a compare routine is treated as able to allocate).
// Values being compared are copied into locals first; their series stay
// alive through the table or the caller.
#include "runtime/hashtable.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "runtime/case_fold.h"
#include "runtime/checks.h"
#include "runtime/collector.h"
#include "runtime/language_error.h"
#include "runtime/memory.h"
#include "runtime/murmur3.h"
#include "runtime/series.h"
#include "runtime/support.h"
#include "runtime/type_traits.h"

namespace kiv {

using namespace hashtable;

namespace {

DateInstantReader g_date_instant = nullptr;

void date_instant(const Cell* date, int64_t* days, double* seconds) {
  if (g_date_instant == nullptr) fire(ErrorCategory::kInternal, "not-done");
  g_date_instant(date, days, seconds);
}

// ---------------------------------------------------------------------------
// Record, flags and slots.

constexpr uint32_t kBucketLive = 0;
constexpr uint32_t kBucketDeleted = 1;
constexpr uint32_t kBucketEmpty = 2;
constexpr uint8_t kFlagsFill = 0xAA;   // every bucket empty
constexpr uint8_t kReverseFill = 0xFF; // every cell unindexed
constexpr uint32_t kBucketsPerWord = 16;
constexpr uint32_t kMinBuckets = 4;
// Keys take 4 bytes a bucket and must fit a series.
constexpr uint32_t kMaxBuckets = 1u << 28;
constexpr uint32_t kSymbolGrowth = 16;     // symbol and context tables grow 16 x the request
constexpr uint32_t kBigSymbolTable = 4000; // ... and start twice as big from this size
constexpr uint32_t kListBytes = 16;        // a new duplicate list
constexpr uint32_t kEntryHeaderLive = TYPE_UNSET;  // registry entry header type while live

uint32_t* words_of(uint32_t node) { return reinterpret_cast<uint32_t*>(node_buffer(node)->head_ptr()); }
uint32_t word_count(uint32_t node) { return node_buffer(node)->used_bytes() / 4; }
Cell* cells_of(uint32_t node) { return node_buffer(node)->head_cell(); }
uint32_t cell_count(uint32_t node) { return node_buffer(node)->used_bytes() / sizeof(Cell); }

uint32_t get(uint32_t table, Field f) { return words_of(table)[f]; }
void set(uint32_t table, Field f, uint32_t v) { words_of(table)[f] = v; }

uint32_t bucket_state(uint32_t table, uint32_t b) {
  const uint32_t* f = words_of(get(table, kFlags));
  return (f[b / kBucketsPerWord] >> ((b % kBucketsPerWord) * 2)) & 3;
}
void set_bucket_state(uint32_t table, uint32_t b, uint32_t state) {
  uint32_t* f = words_of(get(table, kFlags));
  const uint32_t shift = (b % kBucketsPerWord) * 2;
  f[b / kBucketsPerWord] = (f[b / kBucketsPerWord] & ~(3u << shift)) | (state << shift);
}
int32_t slot(uint32_t table, uint32_t b) { return static_cast<int32_t>(words_of(get(table, kKeys))[b]); }
void set_slot(uint32_t table, uint32_t b, int32_t v) { words_of(get(table, kKeys))[b] = static_cast<uint32_t>(v); }

// Kind 1 buckets (MapBucket): the key's hash beside its cell index, so that
// one probe reads one place, compares only keys of the same hash, and a
// resize hashes no key again. An index of kMapEmpty marks an empty bucket; a
// map deletes no bucket (a removed pair keeps its key), so it needs no flags.
static_assert(sizeof(MapBucket) == 8, "a map bucket is two 32-bit words");
constexpr uint8_t kMapBucketsFill = 0xFF;  // every bucket empty
constexpr uint32_t kMapBucketWords = sizeof(MapBucket) / 4;
// Map buckets take 8 bytes each and must fit a series.
constexpr uint32_t kMaxMapBuckets = kMaxBuckets / 2;

MapBucket* map_buckets(uint32_t table) { return reinterpret_cast<MapBucket*>(words_of(get(table, kKeys))); }

// A series of count 32-bit words, all bytes `fill`, counted as used.
uint32_t new_words(uint32_t count, uint8_t fill) {
  if (count == 0) count = 1;
  uint32_t node = alloc_series(count, 4, 0);
  SeriesBuffer* b = node_buffer(node);
  std::memset(b->data(), fill, count * 4);
  b->tail = count * 4;
  return node;
}

void fill_words(uint32_t node, uint8_t fill) {
  SeriesBuffer* b = node_buffer(node);
  std::memset(b->head_ptr(), fill, b->used_bytes());
}

uint32_t flag_words(uint32_t buckets) { return (buckets + kBucketsPerWord - 1) / kBucketsPerWord; }

uint32_t buckets_for(uint64_t size) {
  if (size < kMinBuckets) size = kMinBuckets;
  const double want = static_cast<double>(size) / kLoadBound;
  if (want >= kMaxBuckets) throw_no_memory();
  return std::max(kMinBuckets, next_power_of_two(static_cast<uint32_t>(want)));
}
uint32_t upper_bound_of(uint32_t buckets) { return static_cast<uint32_t>(buckets * kLoadBound); }
uint32_t rebuilt_upper_bound_of(uint32_t buckets) {
  return std::min(buckets - 1, static_cast<uint32_t>(buckets * kLoadBound + 0.5));
}

// Tables under construction, kept alive (with all their series) by a mark
// callback until something else refers to them.
std::vector<uint32_t> g_pinned;

void mark_pinned() {
  for (uint32_t t : g_pinned) collector::mark_hashtable(t);
}

class TablePin {
 public:
  explicit TablePin(uint32_t table) {
    collector::register_mark_callback(mark_pinned);
    g_pinned.push_back(table);
  }
  ~TablePin() { g_pinned.pop_back(); }
  TablePin(const TablePin&) = delete;
  TablePin& operator=(const TablePin&) = delete;
};

// ---------------------------------------------------------------------------
// Reading values.

HashCompare g_compare = nullptr;
uint32_t g_symbol_table = 0;

HashCompare pick(HashCompare c) { return c ? c : g_compare ? g_compare : basic_compare; }

bool word_type_q(uint32_t t) { return type_in_group(t, kGroupAllWord); }
// The word kinds a map treats as one key.
bool map_word_type_q(uint32_t t) { return type_in_group(t, kGroupAnyWord); }
// The word kinds that equal one another by spelling (issue! stands apart).
bool search_word_type_q(uint32_t t) { return type_in_group(t, kGroupAnyWord) || t == TYPE_REFINEMENT; }

// The type for "same type" tests: a string with an explicit length is a string.
uint32_t key_type(const Cell* c) {
  uint32_t t = TYPE_OF(c);
  return t == kTypeStringWithLength ? TYPE_STRING : t;
}

// Code points of a text value from its head (clamped to the tail).
struct Text {
  const uint8_t* p = nullptr;
  uint32_t unit = 1;
  uint32_t count = 0;
  uint32_t at(uint32_t i) const {
    switch (unit) {
      case 1: return p[i];
      case 2: {
        uint16_t v;
        std::memcpy(&v, p + 2 * i, 2);
        return v;
      }
      default: {
        uint32_t v;
        std::memcpy(&v, p + 4 * i, 4);
        return v;
      }
    }
  }
};

[[gnu::always_inline]] inline Text text_of(const Cell* c) {
  Text t;
  if (c->data2 == 0 || !node_valid_q(c->data2)) return t;
  SeriesBuffer* b = node_buffer(c->data2);
  const uint32_t unit = b->unit();
  if (unit != 1 && unit != 2 && unit != 4) return t;
  const uint32_t len = b->length();
  const uint32_t head = std::min(c->data1, len);
  t.p = b->head_ptr() + head * unit;
  t.unit = unit;
  t.count = len - head;
  if (TYPE_OF(c) == kTypeStringWithLength && static_cast<int32_t>(c->data3) >= 0) {
    t.count = std::min(t.count, c->data3);
  }
  return t;
}

// fold_case, with ASCII answered inline (it folds to upper case).
inline uint32_t fold_code_point(uint32_t cp) {
  if (cp < 128) return cp - 'a' < 26u ? cp - 32 : cp;
  return static_cast<uint32_t>(fold_case(static_cast<int32_t>(cp)));
}

// fold_code_point of every code point below 256, for text of one byte a
// code point.
struct Latin1Fold {
  uint32_t to[256];
  Latin1Fold() {
    for (uint32_t cp = 0; cp < 256; cp++) to[cp] = fold_code_point(cp);
  }
};
const Latin1Fold& latin1_fold() {
  static const Latin1Fold table;
  return table;
}

// Bytes of a binary! from its head.
struct Bytes {
  const uint8_t* p = nullptr;
  uint32_t count = 0;
};
Bytes bytes_of(const Cell* c) {
  Bytes r;
  if (c->data2 == 0 || !node_valid_q(c->data2)) return r;
  SeriesBuffer* b = node_buffer(c->data2);
  const uint32_t len = b->used_bytes();
  const uint32_t head = std::min(c->data1, len);
  r.p = b->head_ptr() + head;
  r.count = len - head;
  return r;
}

// UTF-8 decoding for symbol names: lenient (a byte that does not start a
// valid sequence stands for itself), as names come from the lexer already
// checked.
uint32_t next_utf8(const uint8_t*& p, const uint8_t* end) {
  const uint8_t c = *p++;
  int extra = c >= 0xF0 && c < 0xF8 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
  if (extra == 0 || end - p < extra) return c;
  uint32_t cp = c & (0x3F >> extra);
  for (int i = 0; i < extra; i++) {
    if ((p[i] & 0xC0) != 0x80) return c;
    cp = (cp << 6) | (p[i] & 0x3F);
  }
  p += extra;
  return cp;
}

bool utf8_equal_folded(const uint8_t* a, size_t alen, const uint8_t* b, size_t blen) {
  const uint8_t *ae = a + alen, *be = b + blen;
  while (a < ae && b < be) {
    if (fold_case(static_cast<int32_t>(next_utf8(a, ae))) != fold_case(static_cast<int32_t>(next_utf8(b, be)))) {
      return false;
    }
  }
  return a == ae && b == be;
}

// The UTF-8 name of a symbol entry (word 3: bytes, a zero byte after the tail).
Bytes symbol_name(const Cell* entry) {
  Bytes r;
  if (entry->data3 == 0 || !node_valid_q(entry->data3)) return r;
  SeriesBuffer* b = node_buffer(entry->data3);
  r.p = b->head_ptr();
  r.count = b->used_bytes();
  return r;
}

uint32_t hash_words(const Cell* c, int first, int count) {
  const uint32_t w[3] = {c->data1, c->data2, c->data3};
  return murmur3_hash(&w[first - 1], static_cast<size_t>(count) * 4);
}

// Floats in words 2-3 (or 32-bit floats in words 1-3): -0 hashes as 0, since
// the two compare equal.
uint32_t hash_double(const Cell* c) {
  Cell copy = *c;
  if (cell_float(&copy) == 0.0) set_cell_float(&copy, 0.0);
  return hash_words(&copy, 2, 2);
}
uint32_t hash_floats32(const Cell* c, int count) {
  uint32_t w[3] = {c->data1, c->data2, c->data3};
  for (int i = 0; i < count; i++) {
    float f;
    std::memcpy(&f, &w[i], 4);
    if (f == 0.0f) w[i] = 0;
  }
  return murmur3_hash(w, static_cast<size_t>(count) * 4);
}

constexpr uint32_t kMoneyNegative = 0x4000;
constexpr uint32_t kTupleCountShift = 19;
constexpr uint32_t kTupleCountMask = 0xF;

// A money! cell with only the type id and the sign left in its header; a zero
// amount drops the sign, as it has no effect on the value.
Cell money_key(const Cell* c) {
  Cell m = *c;
  m.header = TYPE_MONEY | (c->header & kMoneyNegative);
  const auto* bytes = reinterpret_cast<const uint8_t*>(&m);
  bool zero = true;
  for (int i = 5; i < 16; i++) zero = zero && bytes[i] == 0;
  if (zero) m.header = TYPE_MONEY;
  return m;
}

}  // namespace

// ---------------------------------------------------------------------------
// Hashing

uint32_t hash_utf8(const uint8_t* text, size_t length, bool case_sensitive) {
  Murmur3Stream s;
  const uint8_t* p = text;
  const uint8_t* end = text + length;
  uint32_t count = 0;
  while (p < end) {
    uint32_t cp = next_utf8(p, end);
    s.add_block(case_sensitive ? cp : fold_code_point(cp));
    count++;
  }
  return s.finish(count * 4);
}

uint32_t hash_value(const Cell* c, bool case_sensitive) {
  switch (string_group_type(TYPE_OF(c))) {
    case TYPE_UNSET: return static_cast<uint32_t>(-2);
    case TYPE_NONE: return static_cast<uint32_t>(-1);
    case TYPE_DATATYPE:
    case TYPE_LOGIC:
    case TYPE_OBJECT:
    case TYPE_ERROR:
    case TYPE_PORT:
      return murmur3_fmix(c->data1);
    case TYPE_CHAR:
    case TYPE_INTEGER:
    case TYPE_MAP:
    case TYPE_HANDLE:
    case TYPE_EVENT:
      return murmur3_fmix(c->data2);
    case TYPE_NATIVE:
    case TYPE_ACTION:
      return murmur3_fmix(c->data3);
    case TYPE_BLOCK:
    case TYPE_PAREN:
    case TYPE_PATH:
    case TYPE_LIT_PATH:
    case TYPE_SET_PATH:
    case TYPE_GET_PATH:
    case TYPE_HASH:
    case TYPE_IMAGE:
      return hash_words(c, 1, 2);  // identity: head index and node
    case TYPE_POINT2D: return hash_floats32(c, 2);
    case TYPE_POINT3D: return hash_floats32(c, 3);
    case TYPE_FLOAT:
    case TYPE_PERCENT:
    case TYPE_TIME:
      return hash_double(c);
    case TYPE_PAIR: return hash_words(c, 2, 2);
    case TYPE_OP:
    case TYPE_FUNCTION:
    case TYPE_TRIPLE:
    case TYPE_TYPESET:
      return hash_words(c, 1, 3);
    case TYPE_DATE: {
      // By instant, as dates compare: the same moment in two zones meets.
      int64_t days;
      double seconds;
      date_instant(c, &days, &seconds);
      if (seconds == 0.0) seconds = 0.0;  // no -0.0
      uint32_t w[4];
      std::memcpy(w, &days, 8);
      std::memcpy(w + 2, &seconds, 8);
      return murmur3_hash(w, sizeof w);
    }
    case TYPE_TUPLE: {
      // Trailing zero bytes left out: 1.2.3 equals 1.2.3.0.
      uint32_t n = std::min<uint32_t>((c->header >> kTupleCountShift) & kTupleCountMask, 12);
      const auto* bytes = reinterpret_cast<const uint8_t*>(&c->data1);
      while (n > 0 && bytes[n - 1] == 0) n--;
      return murmur3_hash(bytes, n);
    }
    case TYPE_BINARY: {
      Bytes b = bytes_of(c);
      return murmur3_hash(b.p ? b.p : reinterpret_cast<const uint8_t*>(""), b.count);
    }
    case TYPE_MONEY: {
      Cell m = money_key(c);
      return murmur3_hash(&m, sizeof m);
    }
    case TYPE_SYMBOL: {
      Bytes name = symbol_name(c);
      return hash_utf8(name.p, name.count, case_sensitive);
    }
    case TYPE_WORD:
    case TYPE_SET_WORD:
    case TYPE_LIT_WORD:
    case TYPE_GET_WORD:
    case TYPE_REFINEMENT:
    case TYPE_ISSUE:
      return murmur3_fmix(canonical_symbol(c->data2));
    case TYPE_STRING:  // every any-string! kind
    case kTypeStringWithLength: {
      Text t = text_of(c);
      Murmur3Stream s;
      if (t.unit == 1) {
        // The usual key: one byte a code point, folded through a table.
        if (case_sensitive) {
          for (uint32_t i = 0; i < t.count; i++) s.add_block(t.p[i]);
        } else {
          const uint32_t* fold = latin1_fold().to;
          for (uint32_t i = 0; i < t.count; i++) s.add_block(fold[t.p[i]]);
        }
        return s.finish(t.count * 4);
      }
      for (uint32_t i = 0; i < t.count; i++) {
        const uint32_t cp = t.at(i);
        s.add_block(case_sensitive ? cp : fold_code_point(cp));
      }
      return s.finish(t.count * 4);
    }
    default:
      return 0;
  }
}

// ---------------------------------------------------------------------------
// Comparison

void set_hash_compare(HashCompare compare) { g_compare = compare; }
void set_date_instant_reader(DateInstantReader reader) { g_date_instant = reader; }
HashCompare hash_compare() { return pick(nullptr); }

namespace {

int32_t order_of(bool less, bool equal) { return equal ? 0 : less ? -1 : 1; }

int32_t compare_text(const Cell* a, const Cell* b, bool fold) {
  Text x = text_of(a), y = text_of(b);
  const uint32_t n = std::min(x.count, y.count);
  for (uint32_t i = 0; i < n; i++) {
    uint32_t p = x.at(i), q = y.at(i);
    if (fold) {
      p = static_cast<uint32_t>(fold_case(static_cast<int32_t>(p)));
      q = static_cast<uint32_t>(fold_case(static_cast<int32_t>(q)));
    }
    if (p != q) return p < q ? -1 : 1;
  }
  return order_of(x.count < y.count, x.count == y.count);
}

int32_t compare_words(const Cell* a, const Cell* b) {
  for (uint32_t i = 1; i <= 3; i++) {
    const uint32_t x = (&a->header)[i], y = (&b->header)[i];
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}

}  // namespace

int32_t basic_compare(const Cell* a, const Cell* b, int32_t op) {
  const uint32_t t = key_type(a);
  const bool strict = op == 2 || op == 8 || op == 9;
  if (t != key_type(b)) {
    // Two word kinds are equal by spelling, except under the strict codes.
    if (!search_word_type_q(t) || !search_word_type_q(TYPE_OF(b))) return -2;
    if (strict) return 1;
    const uint32_t x = canonical_symbol(a->data2), y = canonical_symbol(b->data2);
    return order_of(x < y, x == y);
  }
  switch (string_group_type(t)) {
    case TYPE_STRING:  // every any-string! kind
      if (op == 9) return order_of(false, a->data1 == b->data1 && a->data2 == b->data2);
      return compare_text(a, b, !strict);
    case TYPE_BINARY: {
      if (op == 9) return order_of(false, a->data1 == b->data1 && a->data2 == b->data2);
      Bytes x = bytes_of(a), y = bytes_of(b);
      const int r = std::memcmp(x.p, y.p, std::min(x.count, y.count));
      if (r != 0) return r < 0 ? -1 : 1;
      return order_of(x.count < y.count, x.count == y.count);
    }
    case TYPE_WORD:
    case TYPE_SET_WORD:
    case TYPE_LIT_WORD:
    case TYPE_GET_WORD:
    case TYPE_REFINEMENT:
    case TYPE_ISSUE: {
      uint32_t x = a->data2, y = b->data2;
      if (!strict) {
        x = canonical_symbol(x);
        y = canonical_symbol(y);
      }
      return order_of(x < y, x == y);
    }
    case TYPE_SYMBOL: {
      Bytes x = symbol_name(a), y = symbol_name(b);
      if (strict) {
        if (x.count != y.count) return x.count < y.count ? -1 : 1;
        const int r = std::memcmp(x.p, y.p, x.count);
        return r == 0 ? 0 : r < 0 ? -1 : 1;
      }
      return utf8_equal_folded(x.p, x.count, y.p, y.count) ? 0 : 1;
    }
    case TYPE_FLOAT:
    case TYPE_PERCENT:
    case TYPE_TIME: {
      const double x = cell_float(a), y = cell_float(b);
      return order_of(x < y, x == y);
    }
    case TYPE_DATE: {
      int64_t da, db;
      double sa, sb;
      date_instant(a, &da, &sa);
      date_instant(b, &db, &sb);
      if (da != db) return da < db ? -1 : 1;
      return order_of(sa < sb, sa == sb);
    }
    case TYPE_POINT2D:
    case TYPE_POINT3D: {
      const int n = t == TYPE_POINT2D ? 2 : 3;
      for (int i = 1; i <= n; i++) {
        float x, y;
        std::memcpy(&x, &(&a->header)[i], 4);
        std::memcpy(&y, &(&b->header)[i], 4);
        if (!(x == y)) return x < y ? -1 : 1;
      }
      return 0;
    }
    case TYPE_MONEY: {
      Cell x = money_key(a), y = money_key(b);
      return std::memcmp(&x, &y, sizeof x) == 0 ? 0 : 1;
    }
    case TYPE_TUPLE:
      if ((a->header ^ b->header) & (kTupleCountMask << kTupleCountShift)) return 1;
      return compare_words(a, b);
    case TYPE_UNSET:
    case TYPE_NONE:
      return 0;
    default:
      return compare_words(a, b);
  }
}

// ---------------------------------------------------------------------------
// Symbols

void set_symbol_table(uint32_t table) { g_symbol_table = table; }
uint32_t symbol_table() { return g_symbol_table; }

uint32_t symbol_canonical(uint32_t table, uint32_t id) {
  if (table == 0 || id == 0) return id;
  const uint32_t data = get(table, kData);
  if (id > cell_count(data)) return id;
  const int32_t alias = static_cast<int32_t>(cells_of(data)[id - 1].data1);
  return alias > 0 ? static_cast<uint32_t>(alias) : id;
}

uint32_t canonical_symbol(uint32_t id) { return symbol_canonical(g_symbol_table, id); }

namespace hashtable {
uint32_t field(uint32_t table, Field f) { return get(table, f); }
}  // namespace hashtable

namespace {

// ---------------------------------------------------------------------------
// Probing

struct Probe {
  uint32_t mask, bucket, step = 0, limit;
  Probe(uint32_t hash, uint32_t buckets) : mask(buckets - 1), bucket(hash & (buckets - 1)), limit(buckets) {}
  bool next() {
    if (++step >= limit) return false;
    bucket = (bucket + step) & mask;
    return true;
  }
};

Cell data_cell(uint32_t table, uint32_t index) { return cells_of(get(table, kData))[index]; }

// Duplicate lists (kind 0): list k is at position k - 1 of the lists series.
uint32_t list_node(uint32_t table, uint32_t k) { return words_of(get(table, kLists))[k - 1]; }

// The first cell index of a kind-0 bucket: the value every other one equals.
uint32_t representative(uint32_t table, uint32_t b) {
  const int32_t s = slot(table, b);
  if (s >= 0) return static_cast<uint32_t>(s);
  return words_of(list_node(table, static_cast<uint32_t>(-s)))[0];
}

bool bucket_holds(uint32_t table, uint32_t b, uint32_t index) {
  const int32_t s = slot(table, b);
  if (s >= 0) return static_cast<uint32_t>(s) == index;
  const uint32_t list = list_node(table, static_cast<uint32_t>(-s));
  const uint32_t* e = words_of(list);
  return std::find(e, e + word_count(list), index) != e + word_count(list);
}

// Kind-0 reverse index.
uint32_t reverse_count(uint32_t table) { return word_count(get(table, kAux)); }
uint32_t* reverse_of(uint32_t table) { return words_of(get(table, kAux)); }

// Makes the reverse index cover at least count cells (new entries unindexed).
void ensure_reverse(uint32_t table, uint32_t count) {
  const uint32_t rev = get(table, kAux);
  SeriesBuffer* b = node_buffer(rev);
  if (b->used_bytes() / 4 >= count) return;
  const uint64_t want = static_cast<uint64_t>(count) * 4;
  if (want > static_cast<uint64_t>(b->size)) {
    b = expand_series_filled(b, std::max<int64_t>(static_cast<int64_t>(want), 2 * static_cast<int64_t>(b->size)),
                             kReverseFill);
  }
  std::memset(b->tail_ptr(), kReverseFill, want - b->tail);
  b->tail = static_cast<uint32_t>(want);
}

bool same_type(const Cell* a, const Cell* b) { return key_type(a) == key_type(b); }

// Whether a lookup for b may find a cell of a's class: the same type, or two
// word kinds (a word equals a set-word of its spelling under the search
// codes). Issues meet only issues.
bool classes_meet(const Cell* a, const Cell* b) {
  return same_type(a, b) || (search_word_type_q(TYPE_OF(a)) && search_word_type_q(TYPE_OF(b)));
}

// A map compares its word keys as set-words.
Cell map_key(const Cell* c) {
  Cell k = *c;
  if (map_word_type_q(TYPE_OF(&k))) set_type(&k, TYPE_SET_WORD);
  return k;
}

bool map_keys_equal(const Cell& stored, const Cell& value, int32_t op, HashCompare cmp) {
  // Two integers are equal by value under every equality op: no routine call.
  if (TYPE_OF(&stored) == TYPE_INTEGER && TYPE_OF(&value) == TYPE_INTEGER && (cmp == g_compare || cmp == basic_compare)) {
    return stored.data2 == value.data2;
  }
  Cell a = map_key(&stored), b = map_key(&value);
  return same_type(&a, &b) && cmp(&a, &b, op) == 0;
}

// hash_value with the integer key answered inline.
inline uint32_t quick_hash(const Cell& c) {
  return TYPE_OF(&c) == TYPE_INTEGER ? murmur3_fmix(c.data2) : hash_value(&c);
}

// Text of one byte a code point whose code points are all ASCII hashes, in a
// map, as the bytes of its folded text: four code points a block instead of
// one. Bytes are read four at a time; kAsciiHigh finds a byte of 128 and up.
constexpr uint32_t kAsciiHigh = 0x80808080u;

// The four ASCII bytes of x folded as fold_code_point folds them (a-z to
// A-Z): a byte b has b + 0x1F >= 0x80 exactly when b >= 'a', and b + 0x05 >=
// 0x80 exactly when b > 'z' (no byte carries into the next, all being below
// 0x80).
inline uint32_t fold_ascii4(uint32_t x) {
  const uint32_t lower = (x + 0x1F1F1F1Fu) & ~(x + 0x05050505u) & kAsciiHigh;
  return x - (lower >> 2);
}

// The hash of a map key. Text whose folded code points are all ASCII hashes
// as murmur3_x86_32 of the folded bytes (the same for every unit width, as
// its folded code points are the same); other text, and every other value,
// as hash_value. Only maps use it: a map's table holds these hashes, and
// nothing outside the table sees them.
uint32_t map_hash(const Cell& c) {
  const uint32_t t = TYPE_OF(&c);
  if (t == TYPE_INTEGER) return murmur3_fmix(c.data2);
  if (string_group_type(t) != TYPE_STRING && t != kTypeStringWithLength) return hash_value(&c);
  const Text text = text_of(&c);
  const uint32_t n = text.count;
  Murmur3Stream s;
  if (text.unit == 1) {
    // The usual key: bytes below 128, folded four at a time. A byte of 128
    // or more sends the text the general way (this stream is dropped).
    const uint8_t* p = text.p;
    uint32_t high = 0;
    uint32_t i = 0;
    for (; i + 4 <= n; i += 4) {
      uint32_t w;
      std::memcpy(&w, p + i, 4);
      high |= w;
      s.add_block(fold_ascii4(w));
    }
    // The last one to three bytes, little-endian.
    uint32_t tail = 0;
    switch (n & 3) {
      case 3: tail |= static_cast<uint32_t>(p[i + 2]) << 16; [[fallthrough]];
      case 2: tail |= static_cast<uint32_t>(p[i + 1]) << 8; [[fallthrough]];
      case 1: tail |= p[i]; break;
      default: break;
    }
    if (!((high | tail) & kAsciiHigh)) {
      if (n & 3) s.add_tail(fold_ascii4(tail));
      return s.finish(n);
    }
    s = Murmur3Stream();
  }
  // Any width, code point by code point: the same bytes when every folded
  // code point is ASCII.
  for (uint32_t i = 0; i < n; i++)
    if (fold_code_point(text.at(i)) >= 0x80) return hash_value(&c);
  uint32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    uint32_t w = 0;
    for (uint32_t k = 0; k < 4; k++) w |= fold_code_point(text.at(i + k)) << (8 * k);
    s.add_block(w);
  }
  if (i < n) {
    uint32_t tail = 0;
    for (uint32_t k = 0; i + k < n; k++) tail |= fold_code_point(text.at(i + k)) << (8 * k);
    s.add_tail(tail);
  }
  return s.finish(n);
}

uint32_t hash_of_data_cell(uint32_t table, uint32_t index) {
  Cell c = data_cell(table, index);
  return hash_value(&c);
}

// ---------------------------------------------------------------------------
// Resizing

void index_kind0_range(uint32_t table, uint32_t start, HashCompare cmp);

// Kind 0: a new index of the given bucket count built from the whole block.
void rebuild_kind0(uint32_t table, uint32_t buckets, HashCompare cmp) {
  const uint32_t len = cell_count(get(table, kData));
  buckets = std::max(buckets, buckets_for(len));
  const uint32_t rev_count = std::max(len, reverse_count(table));
  // Each new series goes into the record at once: nothing needs the old ones.
  uint32_t n = new_words(flag_words(buckets), kFlagsFill);
  set(table, kFlags, n);
  n = new_words(buckets, 0);
  set(table, kKeys, n);
  n = new_words(rev_count, kReverseFill);
  set(table, kAux, n);
  n = alloc_series(4, 4, 0);
  set(table, kLists, n);
  set(table, kSize, 0);
  set(table, kOccupied, 0);
  set(table, kBuckets, buckets);
  set(table, kUpperBound, rebuilt_upper_bound_of(buckets));
  set(table, kStamp, 1);
  index_kind0_range(table, 0, cmp);
}

uint32_t key_hash_for_rehash(uint32_t table, uint32_t kind, uint32_t b) {
  if (kind >= kKindRegistry) {
    const Cell* entry = reinterpret_cast<const Cell*>(node_buffer(get(table, kData))->head_ptr() +
                                                      static_cast<uint32_t>(slot(table, b)));
    return murmur3_fmix(entry->data1);
  }
  return hash_of_data_cell(table, static_cast<uint32_t>(slot(table, b)));
}

// Kind 1: every key moves, with its stored hash, into fresh buckets of the
// given count. Keys are distinct, so no comparison is made. A map's removed
// pairs keep their keys in the table but are not counted: its size stays as
// it was.
void rehash_map(uint32_t table, uint32_t buckets) {
  if (buckets > kMaxMapBuckets) throw_no_memory();
  const uint32_t fresh = new_words(buckets * kMapBucketWords, kMapBucketsFill);
  const uint32_t old_buckets = get(table, kBuckets);
  const MapBucket* from = map_buckets(table);
  auto* to = reinterpret_cast<MapBucket*>(words_of(fresh));
  const uint32_t mask = buckets - 1;
  uint32_t live = 0;
  for (uint32_t b = 0; b < old_buckets; b++) {
    const MapBucket e = from[b];
    if (e.index == kMapEmpty) continue;
    uint32_t nb = e.hash & mask;
    for (uint32_t step = 1; to[nb].index != kMapEmpty; step++) nb = (nb + step) & mask;
    to[nb] = e;
    live++;
  }
  set(table, kKeys, fresh);
  set(table, kOccupied, live);
  set(table, kBuckets, buckets);
  set(table, kUpperBound, rebuilt_upper_bound_of(buckets));
}

// Kinds 2 and up: every live key moves into fresh flags and slots of the
// given bucket count; deleted buckets disappear. Registries also compact
// their entries, dropping deleted ones. Keys are distinct, so no comparison
// is made.
void rehash(uint32_t table, uint32_t buckets) {
  const uint32_t kind = get(table, kKind);
  if (kind == kKindMap) {
    rehash_map(table, buckets);
    return;
  }
  RootedNode flags(new_words(flag_words(buckets), kFlagsFill));
  RootedNode keys(new_words(buckets, 0));
  RootedNode entries(0);
  const uint32_t entry_size = kind >= kKindRegistry ? get(table, kAux) : 0;
  if (kind >= kKindRegistry) {
    const uint32_t live = get(table, kSize);
    entries = alloc_series(std::max<uint32_t>(live, 1) * entry_size / sizeof(Cell), sizeof(Cell), 0);
  }
  HoldScope hold;  // no allocation from here on
  const uint32_t old_buckets = get(table, kBuckets);
  const uint32_t mask = buckets - 1;
  uint32_t* nf = words_of(flags);
  uint32_t* nk = words_of(keys);
  uint32_t live = 0;
  for (uint32_t b = 0; b < old_buckets; b++) {
    if (bucket_state(table, b) != kBucketLive) continue;
    const uint32_t h = key_hash_for_rehash(table, kind, b);
    int32_t s = slot(table, b);
    if (kind >= kKindRegistry) {
      SeriesBuffer* to = node_buffer(entries);
      const uint8_t* from = node_buffer(get(table, kData))->head_ptr() + static_cast<uint32_t>(s);
      std::memcpy(to->tail_ptr(), from, entry_size);
      s = static_cast<int32_t>(to->tail - to->head);
      to->tail += entry_size;
    }
    uint32_t nb = h & mask;
    for (uint32_t step = 1; ((nf[nb / kBucketsPerWord] >> ((nb % kBucketsPerWord) * 2)) & 3) != kBucketEmpty;
         step++) {
      nb = (nb + step) & mask;
    }
    const uint32_t shift = (nb % kBucketsPerWord) * 2;
    nf[nb / kBucketsPerWord] &= ~(3u << shift);
    nk[nb] = static_cast<uint32_t>(s);
    live++;
  }
  set(table, kFlags, flags);
  set(table, kKeys, keys);
  if (kind >= kKindRegistry) {
    set(table, kData, entries);
    set(table, kStamp, collector::nodes_cycles() + 1);
  }
  set(table, kSize, live);
  set(table, kOccupied, live);
  set(table, kBuckets, buckets);
  set(table, kUpperBound, rebuilt_upper_bound_of(buckets));
}

// Before an insert: resizes when the occupied count has reached the upper
// bound. Answers true when a kind-0 index was rebuilt (it then indexes the
// whole block).
bool resize_if_full(uint32_t table, HashCompare cmp) {
  if (get(table, kOccupied) < get(table, kUpperBound)) return false;
  const uint32_t kind = get(table, kKind);
  const uint32_t buckets = get(table, kBuckets);
  const uint32_t size = get(table, kSize);
  const bool sparse = static_cast<uint64_t>(size) * 2 < buckets;
  const uint64_t request = sparse ? buckets - 1 : static_cast<uint64_t>(buckets) + 1;
  uint64_t target;
  if (kind == kKindHash) {
    // Mostly deleted buckets: rebuild at the size the live cells need, so
    // that insert-and-remove cycles do not grow the index without end.
    target = sparse ? buckets_for(cell_count(get(table, kData))) : request + request / 2;
  } else if (kind == kKindMap) {
    target = static_cast<uint64_t>(buckets) + 1;
  } else if (kind == kKindSymbols) {
    target = request * kSymbolGrowth;
  } else {
    target = request;
  }
  if (target > kMaxBuckets) throw_no_memory();
  const uint32_t new_buckets = std::max(kMinBuckets, next_power_of_two(static_cast<uint32_t>(target)));
  if (kind == kKindHash) {
    rebuild_kind0(table, new_buckets, cmp);
    return true;
  }
  rehash(table, new_buckets);
  return false;
}

// Registries keyed by node ids are rebuilt when the collector has moved nodes
// since their last build.
void check_stamp(uint32_t table) {
  if (get(table, kStamp) != collector::nodes_cycles() + 1 && !collector::active_q()) {
    rehash(table, get(table, kBuckets));
  }
}

// ---------------------------------------------------------------------------
// Kind 0

// A new duplicate list holding two cell indexes; answers its number k.
uint32_t new_list(uint32_t table, uint32_t first, uint32_t second) {
  const uint32_t lists = get(table, kLists);
  uint32_t count = word_count(lists);
  uint32_t k = std::max<uint32_t>(get(table, kStamp), 1);
  while (k <= count && words_of(lists)[k - 1] != 0) k++;
  if (k > count) {
    buffer_append_int32(get(table, kLists), 0);
    k = count + 1;
  }
  const uint32_t list = alloc_series(kListBytes / 4, 4, 0);
  words_of(get(table, kLists))[k - 1] = list;
  set(table, kStamp, k + 1);
  SeriesBuffer* lb = node_buffer(list);
  uint32_t pair[2] = {first, second};
  std::memcpy(lb->head_ptr(), pair, 8);
  lb->tail = 8;
  return k;
}

// Enters cell index i of a kind-0 table (reverse index already covering it).
// Answers true when the index had to be rebuilt.
bool put_kind0(uint32_t table, uint32_t index, HashCompare cmp) {
  if (reverse_of(table)[index] != kNotIndexed) return false;
  if (resize_if_full(table, cmp)) return true;
  const Cell value = data_cell(table, index);
  Probe p(hash_value(&value), get(table, kBuckets));
  int64_t first_deleted = -1;
  for (;;) {
    const uint32_t state = bucket_state(table, p.bucket);
    if (state == kBucketEmpty) break;
    if (state == kBucketDeleted) {
      if (first_deleted < 0) first_deleted = p.bucket;
    } else {
      const Cell other = data_cell(table, representative(table, p.bucket));
      if (same_type(&other, &value) && cmp(&other, &value, 0) == 0) {
        const uint32_t b = p.bucket;
        const int32_t s = slot(table, b);
        if (s >= 0) {
          const uint32_t k = new_list(table, static_cast<uint32_t>(s), index);
          set_slot(table, b, -static_cast<int32_t>(k));
        } else {
          buffer_append_int32(list_node(table, static_cast<uint32_t>(-s)), static_cast<int32_t>(index));
        }
        reverse_of(table)[index] = b + 1;
        set(table, kSize, get(table, kSize) + 1);
        return false;
      }
    }
    if (!p.next()) break;
  }
  uint32_t b;
  if (first_deleted >= 0) {
    b = static_cast<uint32_t>(first_deleted);
  } else if (bucket_state(table, p.bucket) == kBucketEmpty) {
    b = p.bucket;
    set(table, kOccupied, get(table, kOccupied) + 1);
  } else {
    // No room at all (cannot happen below the upper bound): grow and retry.
    rebuild_kind0(table, get(table, kBuckets) * 2, cmp);
    return true;
  }
  set_bucket_state(table, b, kBucketLive);
  set_slot(table, b, static_cast<int32_t>(index));
  reverse_of(table)[index] = b + 1;
  set(table, kSize, get(table, kSize) + 1);
  return false;
}

void index_kind0_range(uint32_t table, uint32_t start, HashCompare cmp) {
  ensure_reverse(table, cell_count(get(table, kData)));
  for (uint32_t i = start; i < cell_count(get(table, kData)); i++) {
    // A rebuild on the way indexes everything, this range included.
    if (put_kind0(table, i, cmp)) return;
  }
}

// The bucket holding cell index i of a kind-0 table, or -1: through the
// reverse index, checked, else by probing with the cell's hash.
int64_t kind0_bucket_of(uint32_t table, uint32_t index) {
  if (index >= reverse_count(table)) return -1;
  const uint32_t r = reverse_of(table)[index];
  if (r == kNotIndexed) return -1;
  const uint32_t buckets = get(table, kBuckets);
  if (r >= 1 && r <= buckets && bucket_state(table, r - 1) == kBucketLive && bucket_holds(table, r - 1, index)) {
    return r - 1;
  }
  if (index >= cell_count(get(table, kData))) return -1;
  Probe p(hash_of_data_cell(table, index), buckets);
  do {
    const uint32_t state = bucket_state(table, p.bucket);
    if (state == kBucketEmpty) return -1;
    if (state == kBucketLive && bucket_holds(table, p.bucket, index)) return p.bucket;
  } while (p.next());
  return -1;
}

bool delete_kind0(uint32_t table, uint32_t index) {
  const int64_t found = kind0_bucket_of(table, index);
  if (index < reverse_count(table)) reverse_of(table)[index] = kNotIndexed;
  if (found < 0) return false;
  const auto b = static_cast<uint32_t>(found);
  const int32_t s = slot(table, b);
  set(table, kSize, get(table, kSize) - 1);
  if (s >= 0) {
    set_bucket_state(table, b, kBucketDeleted);
    return true;
  }
  const auto k = static_cast<uint32_t>(-s);
  const uint32_t list = list_node(table, k);
  SeriesBuffer* lb = node_buffer(list);
  uint32_t* e = reinterpret_cast<uint32_t*>(lb->head_ptr());
  const uint32_t n = lb->used_bytes() / 4;
  const uint32_t at = static_cast<uint32_t>(std::find(e, e + n, index) - e);
  std::memmove(e + at, e + at + 1, (n - at - 1) * 4);
  lb->tail -= 4;
  if (n == 1) {
    words_of(get(table, kLists))[k - 1] = 0;
    set(table, kStamp, std::min(get(table, kStamp), k));
    set_bucket_state(table, b, kBucketDeleted);
  }
  return true;
}

// Empties the index (not the block).
void reset_kind0(uint32_t table) {
  fill_words(get(table, kFlags), kFlagsFill);
  fill_words(get(table, kAux), kReverseFill);
  node_buffer(get(table, kLists))->tail = node_buffer(get(table, kLists))->head;
  set(table, kSize, 0);
  set(table, kOccupied, 0);
  set(table, kStamp, 1);
}

// Renumbers the stored indexes of the cells listed in `from` (old indexes,
// found through the reverse index, which still has the old layout) by map,
// visiting each duplicate list once. Moving the reverse index is the caller's.
template <typename Map>
void renumber(uint32_t table, const std::vector<uint32_t>& from, Map map) {
  std::vector<bool> visited(word_count(get(table, kLists)) + 1, false);
  const uint32_t buckets = get(table, kBuckets);
  for (uint32_t i : from) {
    const uint32_t r = reverse_of(table)[i];
    if (r == kNotIndexed || r == 0 || r > buckets || bucket_state(table, r - 1) != kBucketLive) continue;
    const uint32_t b = r - 1;
    const int32_t s = slot(table, b);
    if (s >= 0) {
      if (static_cast<uint32_t>(s) == i) set_slot(table, b, static_cast<int32_t>(map(i)));
      continue;
    }
    const auto k = static_cast<uint32_t>(-s);
    if (visited[k]) continue;
    visited[k] = true;
    const uint32_t list = list_node(table, k);
    uint32_t* e = words_of(list);
    for (uint32_t j = 0, n = word_count(list); j < n; j++) e[j] = map(e[j]);
  }
}

// ---------------------------------------------------------------------------
// Kind 1

// Enters the key of cell index, whose hash is given, into the first empty
// bucket of its probe chain. The caller knows the key is absent.
int32_t put_kind1_absent(uint32_t table, uint32_t index, uint32_t hash) {
  uint32_t* record = words_of(table);
  auto* buckets = reinterpret_cast<MapBucket*>(words_of(record[kKeys]));
  const uint32_t mask = record[kBuckets] - 1;
  uint32_t b = hash & mask;
  for (uint32_t step = 1; buckets[b].index != kMapEmpty; step++) {
    if (step > mask) throw_no_memory();  // full: cannot happen below the bound
    b = (b + step) & mask;
  }
  buckets[b] = MapBucket{hash, index};
  record[kOccupied]++;
  record[kSize]++;
  return static_cast<int32_t>(index);
}

int32_t put_kind1(uint32_t table, uint32_t index, HashCompare cmp) {
  resize_if_full(table, cmp);
  const Cell key = data_cell(table, index);
  const uint32_t hash = map_hash(key);
  const uint32_t mask = get(table, kBuckets) - 1;
  uint32_t b = hash & mask;
  for (uint32_t step = 1;; step++) {
    const MapBucket e = map_buckets(table)[b];
    if (e.index == kMapEmpty) break;
    if (e.index == index || (e.hash == hash && map_keys_equal(data_cell(table, e.index), key, 2, cmp))) {
      // A removed pair comes back to life.
      const uint32_t data = get(table, kData);
      if (e.index + 1 < cell_count(data) && cells_of(data)[e.index + 1].header == 0) {
        set_unset(&cells_of(data)[e.index + 1]);
        set(table, kSize, get(table, kSize) + 1);
      }
      return static_cast<int32_t>(e.index);
    }
    if (step > mask) throw_no_memory();  // full: cannot happen below the bound
    b = (b + step) & mask;
  }
  map_buckets(table)[b] = MapBucket{hash, index};
  set(table, kOccupied, get(table, kOccupied) + 1);
  set(table, kSize, get(table, kSize) + 1);
  return static_cast<int32_t>(index);
}

// The bucket of a map whose key is the cell index, or -1.
int64_t map_bucket_of_index(uint32_t table, uint32_t index) {
  const uint32_t hash = map_hash(data_cell(table, index));
  const MapBucket* buckets = map_buckets(table);
  const uint32_t mask = get(table, kBuckets) - 1;
  uint32_t b = hash & mask;
  for (uint32_t step = 1;; step++) {
    const MapBucket e = buckets[b];
    if (e.index == kMapEmpty) return -1;
    if (e.index == index) return b;
    if (step > mask) return -1;
    b = (b + step) & mask;
  }
}

// ---------------------------------------------------------------------------
// Finding

bool on_grid(uint32_t i, uint32_t start, uint32_t skip) {
  return (i >= start ? i - start : start - i) % skip == 0;
}

int32_t find_kind0(uint32_t table, const Cell& value, uint32_t start, uint32_t skip, int32_t op, bool last,
                   bool reverse, HashCompare cmp) {
  // Every class the value can equal lies on its probe chain: one class for
  // most values, one per word kind for a word (the kinds hash alike). The
  // chain is walked to its end and the best position over all of them kept.
  Probe p(hash_value(&value), get(table, kBuckets));
  int64_t best = -1;
  do {
    const uint32_t state = bucket_state(table, p.bucket);
    if (state == kBucketEmpty) break;
    if (state != kBucketLive) continue;
    const Cell rep = data_cell(table, representative(table, p.bucket));
    if (!classes_meet(&rep, &value) || cmp(&rep, &value, 0) != 0) continue;
    // A bucket of a class the value may equal: choose among its cells.
    const uint32_t b = p.bucket;
    const int32_t s = slot(table, b);
    const uint32_t count = s >= 0 ? 1 : word_count(list_node(table, static_cast<uint32_t>(-s)));
    for (uint32_t j = 0; j < count; j++) {
      const uint32_t i = s >= 0 ? static_cast<uint32_t>(s) : words_of(list_node(table, static_cast<uint32_t>(-s)))[j];
      if (!on_grid(i, start, skip)) continue;
      bool better;
      if (reverse) {
        better = i < start && (best < 0 || i > best);
      } else if (last) {
        better = i >= start && (best < 0 || i > best);
      } else {
        better = i >= start && (best < 0 || i < best);
      }
      if (!better) continue;
      const Cell c = data_cell(table, i);
      if (cmp(&c, &value, op) == 0) best = i;
    }
  } while (p.next());
  return static_cast<int32_t>(best);
}

// Kind 2: whether the stored key at a bucket matches the value.
bool key_matches(uint32_t table, uint32_t b, const Cell& value, int32_t op, HashCompare cmp) {
  const Cell stored = data_cell(table, static_cast<uint32_t>(slot(table, b)));
  if (word_type_q(TYPE_OF(&value)) && (word_type_q(TYPE_OF(&stored)) || TYPE_OF(&stored) == TYPE_SYMBOL)) {
    // Context tables hold words, the symbol table symbol entries (whose id is
    // their position + 1).
    const uint32_t sym = TYPE_OF(&stored) == TYPE_SYMBOL ? static_cast<uint32_t>(slot(table, b)) + 1 : stored.data2;
    if (op == 2 || op == 9) return sym == value.data2;
    return canonical_symbol(sym) == canonical_symbol(value.data2);
  }
  return same_type(&stored, &value) && cmp(&stored, &value, op) == 0;
}

// Kind 1's probe: the first key in probe order of the value's hash and equal
// to it under op. The buckets and the data are read again after a compare
// routine ran (it may allocate). Keys of another hash are passed over unread.
int32_t find_map_key(uint32_t table, const Cell& value, int32_t op, HashCompare cmp, uint32_t hash) {
  const uint32_t* record = words_of(table);
  const MapBucket* buckets = reinterpret_cast<const MapBucket*>(words_of(record[kKeys]));
  const Cell* data = cells_of(record[kData]);
  const uint32_t mask = record[kBuckets] - 1;
  // Two integers are equal by value under every equality op.
  const bool integer = TYPE_OF(&value) == TYPE_INTEGER && (cmp == g_compare || cmp == basic_compare);
  uint32_t b = hash & mask;
  for (uint32_t step = 1;; step++) {
    const MapBucket e = buckets[b];
    if (e.index == kMapEmpty) return -1;
    if (e.hash == hash) {
      const Cell stored = data[e.index];
      bool equal;
      if (integer) {
        equal = TYPE_OF(&stored) == TYPE_INTEGER && stored.data2 == value.data2;
      } else {
        equal = map_keys_equal(stored, value, op, cmp);
        record = words_of(table);
        buckets = reinterpret_cast<const MapBucket*>(words_of(record[kKeys]));
        data = cells_of(record[kData]);
      }
      if (equal) return static_cast<int32_t>(e.index);
    }
    if (step > mask) return -1;
    b = (b + step) & mask;
  }
}

int32_t find_keyed(uint32_t table, const Cell& value, int32_t op, HashCompare cmp, uint32_t hash) {
  const uint32_t kind = get(table, kKind);
  if (kind == kKindMap) return find_map_key(table, value, op, cmp, hash);
  Probe p(hash, get(table, kBuckets));
  do {
    const uint32_t state = bucket_state(table, p.bucket);
    if (state == kBucketEmpty) return -1;
    if (state == kBucketLive && key_matches(table, p.bucket, value, op, cmp)) return slot(table, p.bucket);
  } while (p.next());
  return -1;
}

int32_t index_in_data(uint32_t table, const Cell* cell) {
  SeriesBuffer* b = node_buffer(get(table, kData));
  HeldPtr<const Cell> head = b->head_cell();
  HeldPtr<const Cell> tail = b->tail_cell();
  if (cell < head || cell >= tail) return -1;
  return static_cast<int32_t>(cell - head);
}

// ---------------------------------------------------------------------------
// Registries

Cell* entry_values(uint32_t table, uint32_t offset) {
  return reinterpret_cast<Cell*>(node_buffer(get(table, kData))->head_ptr() + offset) + 1;
}

// The bucket of a registry key, or -1; *first_deleted gets the first deleted
// bucket passed and *stop the bucket where the search ended.
int64_t registry_bucket(uint32_t table, uint32_t key, int64_t* first_deleted, uint32_t* stop) {
  Probe p(murmur3_fmix(key), get(table, kBuckets));
  const uint8_t* entries = node_buffer(get(table, kData))->head_ptr();
  if (first_deleted) *first_deleted = -1;
  do {
    const uint32_t state = bucket_state(table, p.bucket);
    if (stop) *stop = p.bucket;
    if (state == kBucketEmpty) return -1;
    if (state == kBucketDeleted) {
      if (first_deleted && *first_deleted < 0) *first_deleted = p.bucket;
      continue;
    }
    const Cell* header = reinterpret_cast<const Cell*>(entries + static_cast<uint32_t>(slot(table, p.bucket)));
    if (header->data1 == key) return p.bucket;
  } while (p.next());
  return -1;
}

// A node that is not a table record, or a table of the wrong kind, is a
// fault of the calling code: refused with an internal error.
bool table_q(uint32_t table) {
  return table != 0 && node_valid_q(table) && node_buffer(table)->used_bytes() >= kFieldCount * 4;
}
[[noreturn, gnu::noinline, gnu::cold]] void refuse_table() {
  throw LanguageError(ErrorCategory::kInternal, "not-done");
}
void require_table(uint32_t table) {
  if (!table_q(table)) refuse_table();
}
void require_kind(uint32_t table, uint32_t kind) {
  require_table(table);
  if (get(table, kKind) != kind) throw LanguageError(ErrorCategory::kInternal, "not-done");
}
void require_registry(uint32_t table) {
  require_table(table);
  if (get(table, kKind) < kKindRegistry) throw LanguageError(ErrorCategory::kInternal, "not-done");
}

}  // namespace

// ---------------------------------------------------------------------------
// Tables

uint32_t hashtable_init(uint32_t size, const Cell* block, uint32_t kind, uint32_t value_count,
                        HashCompare compare) {
  HashCompare cmp = pick(compare);
  if (kind == kKindSymbols && value_count == 2 && block && TYPE_OF(block) == TYPE_CONTEXT && block->data1) {
    return hashtable_copy(block->data1, 0);
  }
  // Read the block cell before anything allocates: it may live in a series.
  const uint32_t data_given = block && kind <= kKindSymbols ? block->data2 : 0;
  const uint32_t head_given = block ? block->data1 : 0;
  RootedNode keep_data(data_given);

  if (kind == kKindSymbols && size >= kBigSymbolTable) size *= 2;
  const uint32_t buckets = buckets_for(size < kMinBuckets ? kMinBuckets : size);

  const uint32_t table = new_words(kFieldCount, 0);
  set_flag_bits(table, kSeriesHashtable);
  TablePin pin(table);
  uint32_t n;
  if (kind == kKindMap) {
    if (buckets > kMaxMapBuckets) throw_no_memory();
    n = new_words(buckets * kMapBucketWords, kMapBucketsFill);
    set(table, kKeys, n);
  } else {
    n = new_words(flag_words(buckets), kFlagsFill);
    set(table, kFlags, n);
    n = new_words(buckets, 0);
    set(table, kKeys, n);
  }
  set(table, kBuckets, buckets);
  set(table, kUpperBound, upper_bound_of(buckets));
  set(table, kKind, kind);
  if (kind >= kKindRegistry) {
    const uint32_t entry_size = sizeof(Cell) * value_count + sizeof(Cell);
    set(table, kAux, entry_size);
    set(table, kStamp, collector::nodes_cycles() + 1);
    n = alloc_cells(std::max<uint32_t>(size, 1) * (value_count + 1));
    set(table, kData, n);
    return table;
  }
  if (kind == kKindHash) {
    n = new_words(std::max<uint32_t>(size, 1), kReverseFill);
    set(table, kAux, n);
    n = alloc_series(4, 4, 0);
    set(table, kLists, n);
    set(table, kStamp, 1);
  }
  if (data_given) {
    set(table, kData, data_given);
    const uint32_t len = cell_count(data_given);
    hashtable_put_range(table, std::min(head_given, len), kind == kKindMap ? 2 : 1, cmp);
  } else {
    n = alloc_cells(std::max<uint32_t>(size, 1) * (kind == kKindMap ? 2 : 1));
    set(table, kData, n);
  }
  return table;
}

int32_t hashtable_put_index(uint32_t table, uint32_t index, bool* rebuilt, HashCompare compare) {
  require_table(table);
  HashCompare cmp = pick(compare);
  const uint32_t kind = get(table, kKind);
  if (rebuilt) *rebuilt = false;
  if (index >= cell_count(get(table, kData))) return -1;
  if (kind == kKindHash) {
    ensure_reverse(table, index + 1);
    const bool r = put_kind0(table, index, cmp);
    if (rebuilt) *rebuilt = r;
    return static_cast<int32_t>(index);
  }
  if (kind == kKindMap) return put_kind1(table, index, cmp);
  return -1;
}

int32_t hashtable_put(uint32_t table, const Cell* cell, bool* rebuilt, HashCompare compare) {
  require_table(table);
  const int32_t index = index_in_data(table, cell);
  if (index < 0) {
    if (rebuilt) *rebuilt = false;
    return -1;
  }
  return hashtable_put_index(table, static_cast<uint32_t>(index), rebuilt, compare);
}

void hashtable_put_range(uint32_t table, uint32_t start, uint32_t step, HashCompare compare) {
  require_table(table);
  HashCompare cmp = pick(compare);
  const uint32_t kind = get(table, kKind);
  if (kind == kKindHash) {
    index_kind0_range(table, start, cmp);
    return;
  }
  if (kind == kKindMap) {
    if (step < 2) step = 2;
    uint32_t i = start;
    while (i + 1 < cell_count(get(table, kData))) {
      const int32_t at = put_kind1(table, i, cmp);
      if (at == static_cast<int32_t>(i)) {
        i += step;
        continue;
      }
      // The key was entered before: this pair's value wins, the pair goes.
      const uint32_t data = get(table, kData);
      Cell* cells = cells_of(data);
      cells[at + 1] = cells[i + 1];
      SeriesBuffer* b = node_buffer(data);
      const uint32_t len = b->used_bytes() / sizeof(Cell);
      std::memmove(cells + i, cells + i + 2, (len - i - 2) * sizeof(Cell));
      b->tail -= 2 * sizeof(Cell);
    }
    return;
  }
  if (kind == kKindSymbols) {
    if (step == 0) step = 1;
    for (uint32_t i = start; i < cell_count(get(table, kData)); i += step) {
      resize_if_full(table, cmp);
      const uint32_t h = hash_of_data_cell(table, i);
      Probe p(h, get(table, kBuckets));
      while (bucket_state(table, p.bucket) == kBucketLive && p.next()) {
      }
      const uint32_t state = bucket_state(table, p.bucket);
      if (state == kBucketLive) throw_no_memory();  // full: cannot happen below the bound
      if (state == kBucketEmpty) set(table, kOccupied, get(table, kOccupied) + 1);
      set_bucket_state(table, p.bucket, kBucketLive);
      set_slot(table, p.bucket, static_cast<int32_t>(i));
      set(table, kSize, get(table, kSize) + 1);
    }
  }
}

int32_t hashtable_find_index(uint32_t table, const Cell* value, int32_t start, int32_t skip, int32_t op, bool last,
                             bool reverse, HashCompare compare) {
  require_table(table);
  HashCompare cmp = pick(compare);
  const Cell v = *value;
  const uint32_t kind = get(table, kKind);
  if (kind >= kKindRegistry) return -1;
  if (kind == kKindHash) {
    return find_kind0(table, v, static_cast<uint32_t>(std::max(start, 0)), static_cast<uint32_t>(std::max(skip, 1)),
                      op, last, reverse, cmp);
  }
  return find_keyed(table, v, op, cmp, kind == kKindMap ? map_hash(v) : quick_hash(v));
}

int32_t hashtable_find_hashed(uint32_t table, const Cell* value, int32_t op, uint32_t* hash, HashCompare compare) {
  // The lookup of every map read and write: the record is a map's own
  // (checked builds check it is a record at all), so only its kind is
  // checked here.
  KIV_ASSERT(table_q(table));
  const uint32_t* record = words_of(table);
  if (record[kKind] != kKindMap) refuse_table();
  if (TYPE_OF(value) == TYPE_INTEGER && (compare == nullptr || compare == g_compare || compare == basic_compare)) {
    *hash = murmur3_fmix(value->data2);
    return map_find_integer(table, value->data2, *hash);
  }
  const Cell v = *value;
  *hash = map_hash(v);
  return find_map_key(table, v, op, pick(compare), *hash);
}

int32_t hashtable_put_absent(uint32_t table, uint32_t index, uint32_t hash) {
  KIV_ASSERT(table_q(table));
  if (get(table, kKind) != kKindMap) refuse_table();
  if (index >= cell_count(get(table, kData))) return -1;
  resize_if_full(table, nullptr);
  return put_kind1_absent(table, index, hash);
}

Cell* hashtable_find(uint32_t table, const Cell* value, int32_t start, int32_t skip, int32_t op, bool last,
                     bool reverse, HashCompare compare) {
  const int32_t i = hashtable_find_index(table, value, start, skip, op, last, reverse, compare);
  return i < 0 ? nullptr : cells_of(get(table, kData)) + i;
}

int32_t hashtable_find_next(uint32_t table, const Cell* value, HashCursor& cursor, HashCompare compare) {
  require_table(table);
  HashCompare cmp = pick(compare);
  const Cell v = *value;
  const uint32_t kind = get(table, kKind);
  if (kind != kKindMap && kind != kKindSymbols) return -1;
  const uint32_t buckets = get(table, kBuckets);
  const uint32_t mask = buckets - 1;
  if (!cursor.started) {
    cursor.started = true;
    cursor.hash = kind == kKindMap ? map_hash(v) : hash_value(&v);
    cursor.bucket = cursor.hash & mask;
    cursor.step = 0;
  } else {
    if (++cursor.step >= buckets) return -1;
    cursor.bucket = (cursor.bucket + cursor.step) & mask;
  }
  for (;;) {
    if (kind == kKindMap) {
      const MapBucket e = map_buckets(table)[cursor.bucket];
      if (e.index == kMapEmpty) {
        cursor.step = buckets;  // nothing further
        return -1;
      }
      if (e.hash == cursor.hash && map_keys_equal(data_cell(table, e.index), v, 0, cmp)) {
        return static_cast<int32_t>(e.index);
      }
    } else {
      const uint32_t state = bucket_state(table, cursor.bucket);
      if (state == kBucketEmpty) {
        cursor.step = buckets;  // nothing further
        return -1;
      }
      if (state == kBucketLive && key_matches(table, cursor.bucket, v, 0, cmp)) return slot(table, cursor.bucket);
    }
    if (++cursor.step >= buckets) return -1;
    cursor.bucket = (cursor.bucket + cursor.step) & mask;
  }
}

bool hashtable_delete_index(uint32_t table, uint32_t index, HashCompare compare) {
  require_table(table);
  const uint32_t kind = get(table, kKind);
  if (index >= cell_count(get(table, kData))) return false;
  if (kind == kKindHash) return delete_kind0(table, index);
  if (kind != kKindMap) return false;
  if (map_bucket_of_index(table, index) < 0) return false;
  const uint32_t data = get(table, kData);
  if (index + 1 >= cell_count(data)) return false;
  Cell* value = &cells_of(data)[index + 1];
  if (value->header == 0) return false;  // removed already
  *value = Cell{0, 0, 0, 0};
  set(table, kSize, get(table, kSize) - 1);
  return true;
}

bool hashtable_delete(uint32_t table, const Cell* cell, HashCompare compare) {
  require_table(table);
  int32_t index = index_in_data(table, cell);
  if (index < 0) {
    // A value to look up rather than a cell of the block.
    if (get(table, kKind) != kKindMap) return false;
    index = hashtable_find_index(table, cell, 0, 1, 2, false, false, compare);
    if (index < 0) return false;
  }
  return hashtable_delete_index(table, static_cast<uint32_t>(index), compare);
}

void hashtable_clear(uint32_t table) {
  require_table(table);
  if (get(table, kKind) == kKindMap) fill_words(get(table, kKeys), kMapBucketsFill);
  else fill_words(get(table, kFlags), kFlagsFill);
  set(table, kSize, 0);
  set(table, kOccupied, 0);
  if (get(table, kKind) == kKindHash) reset_kind0(table);
  SeriesBuffer* d = node_buffer(get(table, kData));
  d->tail = d->head;
}

void hashtable_clear_range(uint32_t table, uint32_t start, uint32_t count) {
  require_kind(table, kKindHash);
  const uint32_t end = static_cast<uint32_t>(std::min<uint64_t>(static_cast<uint64_t>(start) + count, reverse_count(table)));
  for (uint32_t i = start; i < end; i++) {
    if (reverse_of(table)[i] != kNotIndexed) delete_kind0(table, i);
  }
  if (get(table, kSize) == 0) reset_kind0(table);
}

int hashtable_update_range(uint32_t table, int32_t amount, uint32_t start, uint32_t count, bool flag) {
  require_kind(table, kKindHash);
  if (count > kMaxMovedCells) return 1;
  if (amount == 0) return 0;
  const uint32_t old_count = reverse_count(table);
  if (start >= old_count) {
    if (amount > 0) ensure_reverse(table, old_count + static_cast<uint32_t>(amount));
    return 0;
  }
  if (amount < 0) {
    const uint32_t removed = std::min(static_cast<uint32_t>(-static_cast<int64_t>(amount)), old_count - start);
    for (uint32_t i = start; i < start + removed; i++) {
      if (reverse_of(table)[i] != kNotIndexed) delete_kind0(table, i);
    }
    std::vector<uint32_t> moved;
    for (uint32_t i = start + removed; i < old_count; i++) {
      if (reverse_of(table)[i] != kNotIndexed) moved.push_back(i);
    }
    const uint32_t from = start + removed;
    renumber(table, moved, [&](uint32_t i) { return i >= from ? i - removed : i; });
    uint32_t* rev = reverse_of(table);
    std::memmove(rev + start, rev + from, (old_count - from) * 4);
    std::memset(rev + old_count - removed, kReverseFill, removed * 4);
    return 0;
  }
  const auto added = static_cast<uint32_t>(amount);
  ensure_reverse(table, old_count + added);
  std::vector<uint32_t> moved;
  for (uint32_t i = start; i < old_count; i++) {
    if (reverse_of(table)[i] != kNotIndexed) moved.push_back(i);
  }
  renumber(table, moved, [&](uint32_t i) { return i >= start ? i + added : i; });
  uint32_t* rev = reverse_of(table);
  std::memmove(rev + start + added, rev + start, (old_count - start) * 4);
  std::memset(rev + start, kReverseFill, added * 4);
  (void)flag;
  return 0;
}

int hashtable_move_keys(uint32_t table, uint32_t to, uint32_t from, uint32_t count) {
  require_kind(table, kKindHash);
  if (count == 0 || to == from) return 0;
  const uint32_t lo = std::min(from, to);
  const uint32_t hi = std::max(from, to) + count;
  if (hi - lo > kMaxMovedCells) return 1;
  ensure_reverse(table, hi);
  auto map = [&](uint32_t i) -> uint32_t {
    if (i >= from && i < from + count) return i - from + to;
    if (to < from && i >= to && i < from) return i + count;
    if (to > from && i >= from + count && i < to + count) return i - count;
    return i;
  };
  std::vector<uint32_t> moved;
  std::vector<uint32_t> saved(hi - lo);
  for (uint32_t i = lo; i < hi; i++) {
    saved[i - lo] = reverse_of(table)[i];
    if (saved[i - lo] != kNotIndexed) moved.push_back(i);
  }
  renumber(table, moved, map);
  uint32_t* rev = reverse_of(table);
  for (uint32_t i = lo; i < hi; i++) rev[map(i)] = saved[i - lo];
  return 0;
}

uint32_t hashtable_copy(uint32_t table, uint32_t data) {
  require_table(table);
  RootedNode keep_data(data);
  const uint32_t kind = get(table, kKind);
  const uint32_t copy = buffer_copy(table);
  TablePin pin(copy);
  // Until each series is copied, the copy must not share the original's.
  for (Field f : {kFlags, kKeys, kData, kLists}) set(copy, f, 0);
  if (kind == kKindHash) set(copy, kAux, 0);
  uint32_t n;
  if (kind != kKindMap) {
    n = buffer_copy(get(table, kFlags));
    set(copy, kFlags, n);
  }
  n = buffer_copy(get(table, kKeys));
  set(copy, kKeys, n);
  if (kind == kKindHash) {
    n = buffer_copy(get(table, kAux));
    set(copy, kAux, n);
    n = buffer_copy(get(table, kLists));
    set(copy, kLists, n);
    // Each duplicate list is the copy's own.
    for (uint32_t k = 1; k <= word_count(get(copy, kLists)); k++) {
      const uint32_t list = words_of(get(copy, kLists))[k - 1];
      if (list == 0) continue;
      const uint32_t own = buffer_copy(list);
      words_of(get(copy, kLists))[k - 1] = own;
    }
  }
  if (data == 0) data = buffer_copy(get(table, kData));
  set(copy, kData, data);
  return copy;
}

void hashtable_rebuild(uint32_t table, HashCompare compare) {
  require_kind(table, kKindHash);
  rebuild_kind0(table, get(table, kBuckets), pick(compare));
}

// ---------------------------------------------------------------------------
// Registries

Cell* hashtable_put_key(uint32_t registry, uint32_t key) {
  require_registry(registry);
  check_stamp(registry);
  resize_if_full(registry, nullptr);
  int64_t first_deleted;
  uint32_t stop;
  const int64_t found = registry_bucket(registry, key, &first_deleted, &stop);
  if (found >= 0) return entry_values(registry, static_cast<uint32_t>(slot(registry, static_cast<uint32_t>(found))));
  const uint32_t entry_size = get(registry, kAux);
  uint32_t b, offset;
  if (first_deleted >= 0) {
    b = static_cast<uint32_t>(first_deleted);
    offset = static_cast<uint32_t>(slot(registry, b));
  } else {
    b = stop;
    const uint32_t data = get(registry, kData);
    uint8_t* at = series_reserve_tail_bytes(data, entry_size);
    offset = static_cast<uint32_t>(at - node_buffer(data)->head_ptr());
    set(registry, kOccupied, get(registry, kOccupied) + 1);
  }
  Cell* entry = entry_values(registry, offset) - 1;
  *entry = Cell{kEntryHeaderLive, key, 0, 0};
  for (uint32_t i = 1; i < entry_size / sizeof(Cell); i++) set_unset(entry + i);
  set_bucket_state(registry, b, kBucketLive);
  set_slot(registry, b, static_cast<int32_t>(offset));
  set(registry, kSize, get(registry, kSize) + 1);
  return entry + 1;
}

Cell* hashtable_get_key(uint32_t registry, uint32_t key) {
  require_registry(registry);
  check_stamp(registry);
  const int64_t found = registry_bucket(registry, key, nullptr, nullptr);
  if (found < 0) return nullptr;
  return entry_values(registry, static_cast<uint32_t>(slot(registry, static_cast<uint32_t>(found))));
}

Cell* hashtable_delete_key(uint32_t registry, uint32_t key) {
  require_registry(registry);
  check_stamp(registry);
  const int64_t found = registry_bucket(registry, key, nullptr, nullptr);
  if (found < 0) return nullptr;
  const auto b = static_cast<uint32_t>(found);
  Cell* values = entry_values(registry, static_cast<uint32_t>(slot(registry, b)));
  (values - 1)->header = 0;
  set_bucket_state(registry, b, kBucketDeleted);
  set(registry, kSize, get(registry, kSize) - 1);
  return values;
}

void hashtable_each_key(uint32_t registry, void (*fn)(uint32_t key, Cell* values, void* arg), void* arg) {
  require_registry(registry);
  const uint32_t entry_size = get(registry, kAux);
  SeriesBuffer* d = node_buffer(get(registry, kData));
  for (uint32_t off = 0; off + entry_size <= d->used_bytes(); off += entry_size) {
    Cell* e = reinterpret_cast<Cell*>(d->head_ptr() + off);
    if (TYPE_OF(e) == kEntryHeaderLive && e->header == kEntryHeaderLive) fn(e->data1, e + 1, arg);
  }
}

// ---------------------------------------------------------------------------
// Symbol and context tables

uint32_t symbol_table_intern(uint32_t table, const char* text, uint32_t length, bool case_flag) {
  require_kind(table, kKindSymbols);
  // The text may lie in a series that the allocations below move.
  const std::string name(text, length);
  const auto* bytes = reinterpret_cast<const uint8_t*>(name.data());
  resize_if_full(table, nullptr);

  Probe p(hash_utf8(bytes, length), get(table, kBuckets));
  int64_t first_deleted = -1;
  uint32_t folded_match = 0;
  do {
    const uint32_t state = bucket_state(table, p.bucket);
    if (state == kBucketEmpty) break;
    if (state == kBucketDeleted) {
      if (first_deleted < 0) first_deleted = p.bucket;
      continue;
    }
    const auto index = static_cast<uint32_t>(slot(table, p.bucket));
    const Cell entry = data_cell(table, index);
    const Bytes other = symbol_name(&entry);
    if (other.count == length && std::memcmp(other.p, bytes, length) == 0) return index + 1;
    if (!case_flag && folded_match == 0 && utf8_equal_folded(other.p, other.count, bytes, length)) {
      folded_match = index + 1;
    }
  } while (p.next());
  const uint32_t b = first_deleted >= 0 ? static_cast<uint32_t>(first_deleted) : p.bucket;
  if (first_deleted < 0) {
    if (bucket_state(table, b) != kBucketEmpty) throw_no_memory();  // full: cannot happen below the bound
    set(table, kOccupied, get(table, kOccupied) + 1);
  }
  const uint32_t alias = folded_match ? symbol_canonical(table, folded_match) : static_cast<uint32_t>(-1);

  RootedNode text_node(alloc_series(length + 1, 1, 0));
  SeriesBuffer* tb = node_buffer(text_node);
  std::memcpy(tb->head_ptr(), bytes, length);
  tb->head_ptr()[length] = 0;
  tb->tail = length;
  Cell* entry = series_new_tail_cell(get(table, kData));
  *entry = Cell{TYPE_SYMBOL, alias, 0, text_node};
  const uint32_t index = cell_count(get(table, kData)) - 1;
  set_bucket_state(table, b, kBucketLive);
  set_slot(table, b, static_cast<int32_t>(index));
  set(table, kSize, get(table, kSize) + 1);
  return index + 1;
}

int32_t context_table_find(uint32_t table, uint32_t symbol, bool canonical, uint32_t context, int32_t* out_index) {
  require_kind(table, kKindSymbols);
  if (context) resize_if_full(table, nullptr);
  const uint32_t wanted = canonical_symbol(symbol);
  Probe p(murmur3_fmix(wanted), get(table, kBuckets));
  int64_t first_deleted = -1;
  do {
    const uint32_t state = bucket_state(table, p.bucket);
    if (state == kBucketEmpty) break;
    if (state == kBucketDeleted) {
      if (first_deleted < 0) first_deleted = p.bucket;
      continue;
    }
    const auto index = static_cast<uint32_t>(slot(table, p.bucket));
    const uint32_t sym = data_cell(table, index).data2;
    // The same symbol needs no folding (the usual hit).
    if (sym == symbol || (canonical && canonical_symbol(sym) == wanted)) return static_cast<int32_t>(index);
  } while (p.next());
  if (!context) return -1;
  const uint32_t b = first_deleted >= 0 ? static_cast<uint32_t>(first_deleted) : p.bucket;
  if (first_deleted < 0) {
    if (bucket_state(table, b) != kBucketEmpty) throw_no_memory();
    set(table, kOccupied, get(table, kOccupied) + 1);
  }
  Cell* word = series_new_tail_cell(get(table, kData));
  const uint32_t index = cell_count(get(table, kData)) - 1;
  *word = Cell{TYPE_WORD, context, symbol, index};
  set_bucket_state(table, b, kBucketLive);
  set_slot(table, b, static_cast<int32_t>(index));
  set(table, kSize, get(table, kSize) + 1);
  if (out_index) *out_index = static_cast<int32_t>(index);
  return -1;
}

// ---------------------------------------------------------------------------
// Pointer map

struct PointerMap {
  uint32_t size = 0;
  uint32_t occupied = 0;
  uint32_t buckets = 0;
  uint32_t upper_bound = 0;
  std::vector<uint32_t> flags;
  std::vector<uint32_t> pairs;  // key, value per bucket

  uint32_t state(uint32_t b) const { return (flags[b / kBucketsPerWord] >> ((b % kBucketsPerWord) * 2)) & 3; }
  void set_state(uint32_t b, uint32_t s) {
    const uint32_t shift = (b % kBucketsPerWord) * 2;
    flags[b / kBucketsPerWord] = (flags[b / kBucketsPerWord] & ~(3u << shift)) | (s << shift);
  }
  void reset(uint32_t n) {
    buckets = n;
    upper_bound = upper_bound_of(n);
    flags.assign(flag_words(n), 0xAAAAAAAAu);
    pairs.assign(static_cast<size_t>(n) * 2, 0);
    size = occupied = 0;
  }
  // The bucket of the key, or -1 with *insert_at the bucket an insert takes.
  int64_t locate(uint32_t key, uint32_t* insert_at) const {
    Probe p(murmur3_fmix(key), buckets);
    int64_t first_deleted = -1;
    do {
      const uint32_t s = state(p.bucket);
      if (s == kBucketEmpty) break;
      if (s == kBucketDeleted) {
        if (first_deleted < 0) first_deleted = p.bucket;
        continue;
      }
      if (pairs[2 * p.bucket] == key) return p.bucket;
    } while (p.next());
    if (insert_at) *insert_at = first_deleted >= 0 ? static_cast<uint32_t>(first_deleted) : p.bucket;
    return -1;
  }
  void grow() {
    const bool sparse = static_cast<uint64_t>(size) * 2 < buckets;
    const uint32_t target = next_power_of_two(sparse ? buckets - 1 : buckets + 1);
    PointerMap fresh;
    fresh.reset(std::max(target, kMinBuckets));
    for (uint32_t b = 0; b < buckets; b++) {
      if (state(b) != kBucketLive) continue;
      uint32_t at = 0;
      fresh.locate(pairs[2 * b], &at);
      fresh.set_state(at, kBucketLive);
      fresh.pairs[2 * at] = pairs[2 * b];
      fresh.pairs[2 * at + 1] = pairs[2 * b + 1];
      fresh.size++;
      fresh.occupied++;
    }
    *this = std::move(fresh);
  }
};

namespace {
template <typename F>
auto heap_work(F f) -> decltype(f()) {
  try {
    return f();
  } catch (const std::bad_alloc&) {
    throw_no_memory();
  }
}
}  // namespace

PointerMap* pointer_map_init(uint32_t size) {
  return heap_work([&] {
    auto map = std::make_unique<PointerMap>();
    map->reset(buckets_for(size));
    return map.release();
  });
}

void pointer_map_put(PointerMap* map, uint32_t key, uint32_t value) {
  heap_work([&] {
    uint32_t at = 0;
    const int64_t found = map->locate(key, &at);
    if (found >= 0) {
      map->pairs[2 * found + 1] = value;
      return;
    }
    if (map->occupied >= map->upper_bound) {
      map->grow();
      map->locate(key, &at);
    }
    if (map->state(at) == kBucketEmpty) map->occupied++;
    map->set_state(at, kBucketLive);
    map->pairs[2 * at] = key;
    map->pairs[2 * at + 1] = value;
    map->size++;
  });
}

uint32_t* pointer_map_get(PointerMap* map, uint32_t key) {
  const int64_t found = map->locate(key, nullptr);
  return found < 0 ? nullptr : &map->pairs[2 * found + 1];
}

bool pointer_map_delete(PointerMap* map, uint32_t key) {
  const int64_t found = map->locate(key, nullptr);
  if (found < 0) return false;
  map->set_state(static_cast<uint32_t>(found), kBucketDeleted);
  map->size--;
  return true;
}

void pointer_map_clear(PointerMap* map) {
  std::fill(map->flags.begin(), map->flags.end(), 0xAAAAAAAAu);
  map->size = map->occupied = 0;
}

void pointer_map_free(PointerMap* map) { delete map; }

uint32_t pointer_map_size(const PointerMap* map) { return map->size; }

}  // namespace kiv
