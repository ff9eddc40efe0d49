#include "runtime/unicode.h"

#include <algorithm>
#include <cstring>

#include "runtime/collector.h"
#include "runtime/language_error.h"
#include "runtime/support.h"
#include "runtime/text_units.h"

namespace kiv {

namespace unicode {

// Classes: 0 for 00-7F, 1 for 80-8F, 9 for 90-9F, 7 for A0-BF, 8 for C0-C1
// and F5-FF, 2 for C2-DF, 10 for E0, 3 for E1-EC and EE-EF, 4 for ED, 11 for
// F0, 6 for F1-F3, 5 for F4. States: 24 needs one continuation, 36 two, 48
// after E0 (A0-BF next), 60 after ED (80-9F next, no surrogates), 72 after F0
// (90-BF next), 84 after F1-F3, 96 after F4 (80-8F next).
const uint8_t kUtf8Dfa[364] = {
    // byte classes
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 00-1F
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 20-3F
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 40-5F
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 60-7F
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9,  // 80-9F
    7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7,  // A0-BF
    8, 8, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,  // C0-DF
    10, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 4, 3, 3, 11, 6, 6, 6, 5, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8,  // E0-FF
    // transitions: state + class
    0, 12, 24, 36, 60, 96, 84, 12, 12, 12, 48, 72,        // 0
    12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12,       // 12
    12, 0, 12, 12, 12, 12, 12, 0, 12, 0, 12, 12,          // 24
    12, 24, 12, 12, 12, 12, 12, 24, 12, 24, 12, 12,       // 36
    12, 12, 12, 12, 12, 12, 12, 24, 12, 12, 12, 12,       // 48
    12, 24, 12, 12, 12, 12, 12, 12, 12, 24, 12, 12,       // 60
    12, 12, 12, 12, 12, 12, 12, 36, 12, 36, 12, 12,       // 72
    12, 36, 12, 12, 12, 12, 12, 36, 12, 36, 12, 12,       // 84
    12, 36, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12,       // 96
};

const uint8_t* fast_decode_utf8_char(const uint8_t* p, const uint8_t* end, int32_t* code_point) {
  uint8_t type = kUtf8Dfa[*p];
  uint32_t cp = (0xFFu >> type) & *p;
  uint32_t state = kUtf8Dfa[256 + type];
  ++p;
  for (;;) {
    if (state == kUtf8Accept) break;
    if (state == kUtf8Reject || p == end) {
      *code_point = -1;
      return p;
    }
    uint8_t c = *p++;
    cp = (cp << 6) | (c & 0x3Fu);
    state = kUtf8Dfa[256 + state + kUtf8Dfa[c]];
  }
  *code_point = static_cast<int32_t>(cp);
  return p;
}

}  // namespace unicode

size_t utf8_count_chars(const uint8_t* start, const uint8_t* end) {
  size_t count = 0;
  int32_t cp;
  while (start < end) {
    start = unicode::fast_decode_utf8_char(start, end, &cp);
    ++count;
  }
  return count;
}

const uint8_t* utf8_walk_chars(const uint8_t* start, const uint8_t* end, size_t n) {
  int32_t cp;
  while (n > 0 && start < end) {
    start = unicode::fast_decode_utf8_char(start, end, &cp);
    --n;
  }
  return start;
}

int utf8_lead_length(uint8_t byte) {
  if ((byte & 0xF0) == 0xF0) return 4;
  if ((byte & 0xE0) == 0xE0) return 3;
  if ((byte & 0xC0) == 0xC0) return 2;
  return 0;
}

int32_t decode_utf8_sequence(const uint8_t* p, size_t* available) {
  const uint8_t b = p[0];
  if (b < 0x80) {
    *available = 1;
    return b;
  }
  int length;
  int32_t cp;
  int32_t smallest;  // below it the form is overlong
  if (b >= 0xC0 && b <= 0xDF) {
    length = 2, cp = b & 0x1F, smallest = 0x80;
  } else if (b >= 0xE0 && b <= 0xEF) {
    length = 3, cp = b & 0x0F, smallest = 0x800;
  } else if (b >= 0xF0 && b <= 0xF7) {
    length = 4, cp = b & 0x07, smallest = 0x10000;
  } else {
    return kUtf8Invalid;  // a continuation byte or F8-FF as lead
  }
  // A continuation byte that is wrong is an error even when the sequence is
  // also cut short: only a clean cut is left for the next chunk.
  size_t have = *available < static_cast<size_t>(length) ? *available : static_cast<size_t>(length);
  for (size_t i = 1; i < have; ++i) {
    if ((p[i] & 0xC0) != 0x80) return kUtf8Invalid;
    cp = (cp << 6) | (p[i] & 0x3F);
  }
  if (have < static_cast<size_t>(length)) return kUtf8Truncated;
  if (cp < smallest || cp > kMaxCodePoint) return kUtf8Invalid;
  *available = static_cast<size_t>(length);
  return cp;
}

namespace {

[[noreturn]] void raise_invalid_char(int32_t code_point) {
  Cell arg{TYPE_INTEGER, 0, static_cast<uint32_t>(code_point), 0};
  fire(ErrorCategory::kScript, "invalid-char", arg);
}

bool valid_code_point(int32_t cp) { return cp >= 0 && cp <= kMaxCodePoint; }

}  // namespace

int utf8_char_size(int32_t code_point) {
  if (!valid_code_point(code_point)) raise_invalid_char(code_point);
  if (code_point < 0x80) return 1;
  if (code_point < 0x800) return 2;
  if (code_point < 0x10000) return 3;
  return 4;
}

size_t utf8_size_of_range(const void* start, const void* end, int unit) {
  size_t total = 0;
  auto add = [&total](int32_t cp) { total += static_cast<size_t>(utf8_char_size(cp)); };
  switch (unit) {
    case 1:
      for (auto* p = static_cast<const uint8_t*>(start); p < end; ++p) total += *p < 0x80 ? 1 : 2;
      break;
    case 2:
      for (auto* p = static_cast<const uint8_t*>(start); p < end; p += 2) add(p[0] | p[1] << 8);
      break;
    case 4:
      for (auto* p = static_cast<const uint8_t*>(start); p < end; p += 4) {
        uint32_t v;
        std::memcpy(&v, p, 4);
        add(static_cast<int32_t>(v));
      }
      break;
  }
  return total;
}

int encode_utf8_char(int32_t code_point, uint8_t* destination) {
  uint8_t* d = destination;
  const uint32_t cp = static_cast<uint32_t>(code_point);
  switch (utf8_char_size(code_point)) {
    case 1:
      d[0] = static_cast<uint8_t>(cp);
      return 1;
    case 2:
      d[0] = static_cast<uint8_t>(0xC0 | cp >> 6);
      d[1] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
      return 2;
    case 3:
      d[0] = static_cast<uint8_t>(0xE0 | cp >> 12);
      d[1] = static_cast<uint8_t>(0x80 | (cp >> 6 & 0x3F));
      d[2] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
      return 3;
    default:
      d[0] = static_cast<uint8_t>(0xF0 | cp >> 18);
      d[1] = static_cast<uint8_t>(0x80 | (cp >> 12 & 0x3F));
      d[2] = static_cast<uint8_t>(0x80 | (cp >> 6 & 0x3F));
      d[3] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
      return 4;
  }
}

int encode_utf8_char_bounded(int32_t code_point, uint8_t* destination, int room) {
  uint8_t bytes[4];
  int n = encode_utf8_char(code_point, bytes);
  if (room < n) n = room < 0 ? 0 : room;
  std::memcpy(destination, bytes, static_cast<size_t>(n));
  return n;
}

int encode_utf16_char(int32_t code_point, uint16_t* destination) {
  if (code_point < 0) return 0;
  if (code_point < 0x10000) {
    destination[0] = static_cast<uint16_t>(code_point);
    return 1;
  }
  if (code_point > kMaxCodePoint) return 0;
  uint32_t v = static_cast<uint32_t>(code_point) - 0x10000;
  destination[0] = static_cast<uint16_t>(0xD800 | v >> 10);
  destination[1] = static_cast<uint16_t>(0xDC00 | (v & 0x3FF));
  return 2;
}

void cstring_to_utf16(const char* bytes, uint16_t* destination) {
  for (; *bytes; ++bytes) *destination++ = static_cast<uint8_t>(*bytes);
  *destination = 0;
}

namespace {

// Code page 1251, bytes 0x80-0xFF.
const uint16_t kCp1251High[128] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
};

}  // namespace

int32_t cp1251_to_code_point(uint8_t byte) { return byte < 0x80 ? byte : kCp1251High[byte - 0x80]; }

// ---------------------------------------------------------------------------
// String series.

namespace {

constexpr uint8_t kCR = 0x0D;
constexpr uint8_t kLF = 0x0A;

uint32_t text_unit(const SeriesBuffer* b) {
  uint32_t unit = b->unit();
  if (unit != 1 && unit != 2 && unit != 4) fire(ErrorCategory::kInternal, "feature-na");
  return unit;
}

// Raises an error whose argument is a binary! of the offending bytes.
[[noreturn]] void raise_with_bytes(ErrorCategory category, const char* id, const uint8_t* bytes, size_t n) {
  // Copied first: the bytes may live in a series that the allocation moves.
  uint8_t copy[4];
  n = std::min<size_t>(n, sizeof copy);
  std::memcpy(copy, bytes, n);
  uint32_t node = alloc_bytes(static_cast<uint32_t>(n));
  buffer_append_bytes(node, copy, static_cast<uint32_t>(n));
  fire(category, id, Cell{TYPE_BINARY, 0, node, 0});
}

void check_series_size(uint64_t bytes) {
  if (bytes > kMaxSeriesBytes) fire(ErrorCategory::kInternal, "no-memory");
}

SeriesBuffer* widen_series(uint32_t node, uint32_t from, uint32_t to) {
  SeriesBuffer* b = node_buffer(node);
  uint32_t units = (b->tail - b->head) / from;
  uint64_t need = static_cast<uint64_t>(b->head) + static_cast<uint64_t>(units) * to + to;
  if (static_cast<uint64_t>(b->size) < need) {
    check_series_size(need);
    b = expand_series_copy(b, static_cast<int64_t>(need));  // head moves to the data start
  }
  // From the last unit backwards: every destination lies at or after its
  // source, so source and destination can share the buffer.
  uint8_t* base = b->head_ptr();
  for (uint32_t i = units; i-- > 0;) write_unit(base + static_cast<size_t>(i) * to, to, read_unit(base + static_cast<size_t>(i) * from, from));
  b->tail = b->head + units * to;
  b->flags = (b->flags & ~kSeriesUnitMask) | to;
  return b;
}

// Widens the series to at least unit and makes room for units more units at
// the tail; answers the buffer.
SeriesBuffer* make_room(uint32_t node, uint32_t unit, uint64_t units) {
  SeriesBuffer* b = node_buffer(node);
  uint32_t have = text_unit(b);
  if (have < unit) {
    b = widen_series(node, have, unit);
  } else {
    unit = have;
  }
  uint64_t need = static_cast<uint64_t>(b->tail) + units * unit;
  if (need > static_cast<uint64_t>(b->size)) {
    check_series_size(need);
    b = expand_series_copy(b, static_cast<int64_t>(need));
  }
  return b;
}

// A new string series with room for units units (at least one) of the unit.
uint32_t new_string_series(uint64_t units, uint32_t unit) {
  check_series_size((units + 1) * unit);
  return alloc_series_for_string(static_cast<uint32_t>(std::max<uint64_t>(units, 1)), unit);
}

// Length of the run of plain ASCII bytes at p (no CR when crlf is set), in
// steps of 8 bytes: the part of the input that needs no decoding.
size_t plain_ascii_run(const uint8_t* p, const uint8_t* end, bool crlf) {
  constexpr uint64_t kHighBits = 0x8080808080808080ull;
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  constexpr uint64_t kCRs = 0x0D0D0D0D0D0D0D0Dull;
  const uint8_t* q = p;
  while (end - q >= 8) {
    uint64_t w;
    std::memcpy(&w, q, 8);
    if (w & kHighBits) break;
    if (crlf) {
      uint64_t x = w ^ kCRs;  // a zero byte where a CR was
      if ((x - kOnes) & ~x & kHighBits) break;
    }
    q += 8;
  }
  return static_cast<size_t>(q - p);
}

// The target (new when 0) made ready to take count more characters, none
// wider than widest: widened and grown as needed.
struct Destination {
  uint32_t node;
  uint8_t* out;  // the tail, where the next unit goes
  uint32_t unit;
};

Destination prepare_destination(uint32_t target, uint64_t count, uint32_t widest) {
  uint32_t unit = unit_holding(widest);
  if (target == 0) target = new_string_series(count, unit);
  SeriesBuffer* b = make_room(target, unit, count);
  return {target, b->tail_ptr(), b->unit()};
}

void finish_destination(const Destination& d, const uint8_t* out) {
  SeriesBuffer* b = node_buffer(d.node);
  b->tail = static_cast<uint32_t>(out - b->data());
}

// Calls body.template operator()<unit>() with the unit as a constant, so
// the per-character loops are compiled once per width.
template <typename Body>
void by_unit(uint32_t unit, Body&& body) {
  if (unit == 1) {
    body.template operator()<1>();
  } else if (unit == 2) {
    body.template operator()<2>();
  } else {
    body.template operator()<4>();
  }
}

// Appends decoded code points at the tail of target (new when 0). read(emit)
// walks the input and calls emit(code point) for each character; it runs
// twice: once to count and measure, once to store.
template <typename Reader>
uint32_t store_code_points(uint32_t target, Reader read) {
  uint64_t count = 0;
  uint32_t widest = 0;
  read([&](uint32_t cp) {
    ++count;
    widest = std::max(widest, cp);
  });
  Destination d = prepare_destination(target, count, widest);
  uint8_t* out = d.out;
  read([&](uint32_t cp) {
    write_unit(out, d.unit, cp);
    out += d.unit;
  });
  finish_destination(d, out);
  return d.node;
}

// The start and length of a string value from its head (an index past the
// tail counts as the tail).
struct StringRange {
  const uint8_t* start;
  uint32_t length;  // in units
  uint32_t unit;
};

StringRange string_range(const Cell* string) {
  SeriesBuffer* b = node_buffer(string->data2);
  uint32_t unit = text_unit(b);
  uint32_t length = b->length();
  uint32_t index = std::min(string->data1, length);
  return {b->head_ptr() + static_cast<size_t>(index) * unit, length - index, unit};
}

uint32_t limited(uint32_t length, int32_t limit) {
  return (limit >= 0 && static_cast<uint32_t>(limit) < length) ? static_cast<uint32_t>(limit) : length;
}

}  // namespace

SeriesBuffer* widen_latin1_to_ucs2(uint32_t node) { return widen_series(node, 1, 2); }
SeriesBuffer* widen_latin1_to_ucs4(uint32_t node) { return widen_series(node, 1, 4); }
SeriesBuffer* widen_ucs2_to_ucs4(uint32_t node) { return widen_series(node, 2, 4); }

uint32_t load_utf8_string(const uint8_t* bytes, size_t count, uint32_t target, size_t* remainder,
                          bool crlf) {
  // bytes may lie in a series: no collection may move it while we read.
  NoCollectScope no_collect;
  if (remainder) *remainder = 0;
  const uint8_t* start = bytes;
  const uint8_t* end = bytes + count;
  if (count >= 3 && start[0] == 0xEF && start[1] == 0xBB && start[2] == 0xBF) start += 3;

  // Check, count and measure everything before storing anything, and find
  // where a cut final sequence begins. ASCII takes the short way.
  const uint8_t* stop = end;
  uint64_t chars = 0;
  uint32_t widest = 0;
  for (const uint8_t* p = start; p < end;) {
    size_t run = plain_ascii_run(p, end, crlf);
    chars += run;
    p += run;
    if (p == end) break;
    if (*p < 0x80) {
      // A CR before an LF is dropped; a lone one becomes an LF: neither
      // changes the width.
      if (!(crlf && *p == kCR && p + 1 < end && p[1] == kLF)) ++chars;
      ++p;
      continue;
    }
    size_t length = static_cast<size_t>(end - p);
    int32_t cp = decode_utf8_sequence(p, &length);
    if (cp == kUtf8Truncated) {
      stop = p;
      break;
    }
    if (cp == kUtf8Invalid) raise_with_bytes(ErrorCategory::kAccess, "invalid-utf8", p, static_cast<size_t>(end - p));
    ++chars;
    widest = std::max(widest, static_cast<uint32_t>(cp));
    p += length;
  }
  if (stop != end) {
    // Without a remainder to hand them back through, the cut bytes would be
    // lost without a word: that is an error too.
    if (!remainder) raise_with_bytes(ErrorCategory::kAccess, "invalid-utf8", stop, static_cast<size_t>(end - stop));
    *remainder = static_cast<size_t>(end - stop);
  }

  Destination d = prepare_destination(target, chars, widest);
  uint8_t* out = d.out;
  by_unit(d.unit, [&]<uint32_t kUnit>() {
    for (const uint8_t* p = start; p < stop;) {
      size_t run = plain_ascii_run(p, stop, crlf);
      if (run) {
        if constexpr (kUnit == 1) {
          std::memcpy(out, p, run);
          out += run;
        } else {
          for (size_t i = 0; i < run; ++i, out += kUnit) write_unit(out, kUnit, p[i]);
        }
        p += run;
        if (p == stop) break;
      }
      uint32_t cp = *p;
      if (cp < 0x80) {
        ++p;
        if (crlf && cp == kCR) {
          if (p < stop && *p == kLF) continue;  // the LF is stored next
          cp = kLF;
        }
      } else {
        size_t length = static_cast<size_t>(stop - p);
        cp = static_cast<uint32_t>(decode_utf8_sequence(p, &length));
        p += length;
      }
      write_unit(out, kUnit, cp);
      out += kUnit;
    }
  });
  finish_destination(d, out);
  return d.node;
}

uint32_t load_utf8_from_series(const uint8_t* bytes, size_t count, const Cell* string, size_t* remainder,
                               bool crlf) {
  return load_utf8_string(bytes, count, string->data2, remainder, crlf);
}

uint32_t load_utf8_cstring(const uint8_t* bytes, size_t count) {
  return load_utf8_string(bytes, count, 0, nullptr, false);
}

uint32_t load_utf16le_string(const uint8_t* bytes, size_t units, const Cell* target, bool crlf) {
  NoCollectScope no_collect;
  if (!bytes) {
    // The text an operating-system call left in the conversion buffer; never
    // more than that buffer holds.
    uint32_t conv = target ? target->data3 : 0;
    if (conv == 0 || !node_valid_q(conv)) {
      units = 0;
      static const uint8_t kNothing[2] = {0, 0};
      bytes = kNothing;
    } else {
      SeriesBuffer* cb = node_buffer(conv);
      bytes = cb->data();
      units = std::min(units, static_cast<size_t>(cb->size) / 2);
    }
  }
  auto unit_at = [bytes](size_t i) { return static_cast<uint32_t>(bytes[2 * i] | bytes[2 * i + 1] << 8); };
  auto high_surrogate = [](uint32_t u) { return u >= 0xD800 && u <= 0xDBFF; };
  auto low_surrogate = [](uint32_t u) { return u >= 0xDC00 && u <= 0xDFFF; };

  for (size_t i = 0; i < units; ++i) {
    if (high_surrogate(unit_at(i))) {
      if (i + 1 == units || !low_surrogate(unit_at(i + 1))) {
        raise_with_bytes(ErrorCategory::kScript, "invalid-data", bytes + 2 * i, (i + 1 == units) ? 2 : 4);
      }
      ++i;
    }
  }
  return store_code_points(target ? target->data2 : 0, [&](auto&& emit) {
    for (size_t i = 0; i < units; ++i) {
      uint32_t u = unit_at(i);
      if (crlf && u == kCR) continue;
      if (high_surrogate(u)) {
        u = (((u & 0x3FF) << 10) | (unit_at(i + 1) & 0x3FF)) + 0x10000;
        ++i;
      }
      emit(u);
    }
  });
}

uint32_t load_cp1251_string(const uint8_t* bytes, size_t count, const Cell* target, bool crlf) {
  NoCollectScope no_collect;
  return store_code_points(target ? target->data2 : 0, [&](auto&& emit) {
    for (size_t i = 0; i < count; ++i) {
      uint32_t cp = static_cast<uint32_t>(cp1251_to_code_point(bytes[i]));
      if (crlf && cp == kCR) {
        if (i + 1 < count && bytes[i + 1] == kLF) continue;
        cp = kLF;
      }
      emit(cp);
    }
  });
}

uint8_t* conversion_buffer(Cell* string, size_t size) {
  check_series_size(size);
  uint32_t node = string->data3;
  if (node == 0 || !node_valid_q(node)) {
    node = alloc_bytes(static_cast<uint32_t>(size));
    string->data3 = node;
  } else if (static_cast<size_t>(node_buffer(node)->size) < size) {
    expand_series(node_buffer(node), static_cast<int64_t>(size));
  }
  return node_buffer(node)->data();
}

size_t string_range_to_utf8(const Cell* string, uint8_t* destination, int32_t limit, bool terminate) {
  StringRange r = string_range(string);
  uint32_t n = limited(r.length, limit);
  uint8_t* out = destination;
  for (uint32_t i = 0; i < n; ++i) {
    out += encode_utf8_char(static_cast<int32_t>(read_unit(r.start + static_cast<size_t>(i) * r.unit, r.unit)), out);
  }
  if (terminate) *out = 0;
  return static_cast<size_t>(out - destination);
}

size_t string_to_utf8_binary(const Cell* string, uint8_t* destination, size_t room, int32_t limit,
                             bool terminate) {
  StringRange r = string_range(string);
  uint32_t n = (limit > 0) ? limited(r.length, limit) : r.length;
  if (terminate) {
    if (room == 0) return 0;
    --room;  // keep a place for the NUL
  }
  size_t written = 0;
  for (uint32_t i = 0; i < n && written < room; ++i) {
    int32_t cp = static_cast<int32_t>(read_unit(r.start + static_cast<size_t>(i) * r.unit, r.unit));
    written += static_cast<size_t>(
        encode_utf8_char_bounded(cp, destination + written, static_cast<int>(std::min<size_t>(room - written, 4))));
  }
  if (terminate) destination[written] = 0;
  return written;
}

uint8_t* string_to_utf8_buffer(Cell* string, int32_t* length, bool crlf) {
  StringRange r = string_range(string);
  uint32_t n = limited(r.length, *length);
  size_t per_char = r.unit == 1 ? 2 : r.unit == 2 ? 3 : 4;
  uint8_t* out = conversion_buffer(string, (static_cast<size_t>(n) + 1) * per_char);
  r = string_range(string);  // the allocation may have moved the string
  uint8_t* p = out;
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t cp = read_unit(r.start + static_cast<size_t>(i) * r.unit, r.unit);
    if (crlf && cp == kLF) *p++ = kCR;
    p += encode_utf8_char(static_cast<int32_t>(cp), p);
  }
  *p = 0;
  *length = static_cast<int32_t>(p - out);
  return out;
}

const uint16_t* string_to_utf16_part(Cell* string, int32_t* length, bool crlf) {
  StringRange r = string_range(string);
  uint32_t n = limited(r.length, *length);
  size_t units = static_cast<size_t>(n) + 1;
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t cp = read_unit(r.start + static_cast<size_t>(i) * r.unit, r.unit);
    if (cp == kLF || cp > 0xFFFF) ++units;
  }
  uint8_t* out = conversion_buffer(string, units * 2);
  r = string_range(string);
  auto* dst = reinterpret_cast<uint16_t*>(out);  // series data is 8-byte aligned
  uint16_t* p = dst;
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t cp = read_unit(r.start + static_cast<size_t>(i) * r.unit, r.unit);
    if (crlf && cp == kLF) *p++ = kCR;
    int written = encode_utf16_char(static_cast<int32_t>(cp), p);
    if (written == 0) return nullptr;
    p += written;
  }
  *p = 0;
  *length = static_cast<int32_t>(p - dst);
  return dst;
}

const uint16_t* to_utf16(Cell* string) {
  int32_t length = -1;
  return string_to_utf16_part(string, &length, true);
}

}  // namespace kiv
