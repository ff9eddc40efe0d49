#include "runtime/datatypes/image.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "runtime/collector.h"
#include "runtime/datatypes/actions.h"
#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/file.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/pair.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/routine.h"
#include "runtime/datatypes/series_common.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/tuple.h"
#include "runtime/datatypes/word.h"
#include "runtime/handles.h"
#include "runtime/host/files.h"
#include "runtime/ownership.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/words.h"
#include "view/backend/qt/image_backend.h"

namespace kiv::image {

using image_backend::Bitmap;

namespace {

// Record words.
constexpr uint32_t kRecordFlags = 0;
constexpr uint32_t kRecordHandle = 1;
constexpr uint32_t kRecordSize = 2;
constexpr uint32_t kRecordWords = 3;
// Flag: the pixels were written since the image was made.
constexpr uint32_t kFlagWritten = 0x02;

constexpr int64_t kMaxPixels = 0x7FFFFFFF;
constexpr int kMoldLinePixels = 10;
constexpr int32_t kMoldLineFrom = 31;  // bytes of pixel data (4 a pixel)

int g_handle_kind = 0;

void release_bitmap(void* pointer) { image_backend::destroy(static_cast<Bitmap*>(pointer)); }

uint32_t* record_words(uint32_t node) { return reinterpret_cast<uint32_t*>(node_buffer(node)->head_ptr()); }

int32_t handle_of(const Cell* c) {
  if (!c->data2) return -1;
  return static_cast<int32_t>(record_words(c->data2)[kRecordHandle]);
}

void mark_image(const Cell* c) {
  int32_t h = handle_of(c);
  if (h >= 0) handle_mark(h, nullptr);
}

struct BitmapDeleter {
  void operator()(Bitmap* b) const { image_backend::destroy(b); }
};
using BitmapPtr = std::unique_ptr<Bitmap, BitmapDeleter>;

Cell integer_cell_of(int64_t v) {
  Cell c;
  integer::init_cell(&c, static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX)));
  return c;
}

[[noreturn]] void fire_no_memory() { fire(ErrorCategory::kInternal, "no-memory"); }

[[noreturn]] void fire_size_limit(int64_t width, int64_t height) {
  Cell size;
  pair::make_in(&size, static_cast<int32_t>(std::min<int64_t>(width, INT32_MAX)),
                static_cast<int32_t>(std::min<int64_t>(height, INT32_MAX)));
  fire(ErrorCategory::kScript, "size-limit", size);
}

// Refuses a size whose sides or pixel count the type cannot hold, before
// anything is allocated.
void check_size(int64_t width, int64_t height) {
  if (width > image_backend::kMaxSide || height > image_backend::kMaxSide || width * height > kMaxPixels)
    fire_size_limit(width, height);
}

BitmapPtr new_bitmap(uint32_t width, uint32_t height) {
  check_size(width, height);
  image_backend::Status status;
  BitmapPtr b(image_backend::create(width, height, &status));
  if (!b) fire_no_memory();
  return b;
}

void mark_written(const Cell* c) {
  if (c->data2) record_words(c->data2)[kRecordFlags] |= kFlagWritten;
}

// The pixel as the language sees it: r.g.b.t with t = 255 - alpha.
Cell pixel_tuple(uint32_t p) {
  uint8_t b[4] = {static_cast<uint8_t>(p >> 16), static_cast<uint8_t>(p >> 8), static_cast<uint8_t>(p),
                  static_cast<uint8_t>(255 - (p >> 24))};
  Cell t;
  tuple::make_in(&t, b, 4);
  return t;
}

// A tuple as a pixel word: its 4th component, when present, is 255 - alpha.
uint32_t tuple_pixel(const Cell* t) {
  const uint8_t* b = tuple::bytes(t);
  uint32_t alpha = tuple::count(t) >= 4 ? 255u - b[3] : 255u;
  return alpha << 24 | uint32_t{b[0]} << 16 | uint32_t{b[1]} << 8 | b[2];
}

uint32_t head_of(const Cell* c) {
  int64_t total = pixel_count(c);
  return static_cast<uint32_t>(std::min<int64_t>(c->data1, total));
}

// The clamped pixel offset of an integer or pair index from the head, with
// base 1 (pick, poke, at) or 0 (skip); *out_of_range tells whether it names
// no pixel.
int64_t pixel_offset(const Cell* image, const Cell* index, int base, bool* out_of_range) {
  int64_t w = width_of(image), h = height_of(image);
  int64_t total = pixel_count(image);
  bool oor = false;
  int64_t i;
  if (TYPE_OF(index) == TYPE_PAIR) {
    int64_t x = pair::x(index), y = pair::y(index);
    oor = base == 1 ? (x > w || x <= 0 || y > h || y <= 0) : (x >= w || x < 0 || y >= h || y < 0);
    i = x + w * (base == 1 && y > 0 ? y - 1 : y);
  } else if (TYPE_OF(index) == TYPE_INTEGER) {
    i = integer::get(index);
  } else {
    fire(ErrorCategory::kScript, "invalid-arg", *index);
  }
  int64_t offset = static_cast<int64_t>(head_of(image)) + i - base + (base == 1 && i <= 0 ? 1 : 0);
  if (i == 0 || offset < 0 || offset >= total) oor = true;
  if (out_of_range) *out_of_range = oor;
  return std::clamp<int64_t>(offset, 0, total);
}

// ---------------------------------------------------------------------------
// make and to.

// A new image of the size filled from a colour tuple, or from rgb and alpha
// bytes (opaque white where they run out).
Cell* make_filled(Cell* out, int64_t width, int64_t height, const Cell* colour, const Cell* rgb, const Cell* alpha) {
  width = std::max<int64_t>(width, 0);
  height = std::max<int64_t>(height, 0);
  check_size(width, height);
  if (width == 0 || height == 0) return make_in(out, nullptr, static_cast<uint32_t>(width), static_cast<uint32_t>(height));
  BitmapPtr b = new_bitmap(static_cast<uint32_t>(width), static_cast<uint32_t>(height));
  size_t n = b->count();
  uint32_t* px = b->pixels;
  if (colour) {
    std::fill(px, px + n, tuple_pixel(colour));
  } else {
    // Bytes from the binaries' heads, read before anything allocates.
    Cell r = rgb ? *rgb : none_value, a = alpha ? *alpha : none_value;
    const uint8_t* rb = rgb ? binary::head_pointer(&r) : nullptr;
    size_t rn = rgb ? static_cast<size_t>(binary::length(&r)) / 3 : 0;
    const uint8_t* ab = alpha ? binary::head_pointer(&a) : nullptr;
    size_t an = alpha ? static_cast<size_t>(binary::length(&a)) : 0;
    for (size_t i = 0; i < n; ++i) {
      uint32_t al = i < an ? 255u - ab[i] : 255u;
      uint32_t rgbw = i < rn ? uint32_t{rb[i * 3]} << 16 | uint32_t{rb[i * 3 + 1]} << 8 | rb[i * 3 + 2] : 0xFFFFFF;
      px[i] = al << 24 | rgbw;
    }
  }
  return make_in(out, b.release());
}

Cell* copy_whole(const Cell* source, Cell* out);

Cell* to(Cell* type, Cell* spec) {
  if (TYPE_OF(spec) == TYPE_IMAGE) return copy_whole(spec, type);
  fire(ErrorCategory::kScript, "bad-to-arg", datatype_cell(TYPE_IMAGE), *spec);
}

constexpr ArgTypeset kPairArg = arg_typeset({TYPE_PAIR});

Cell* make(Cell* type, Cell* spec) {
  uint32_t st = TYPE_OF(spec);
  if (st == TYPE_PAIR) return make_filled(type, pair::x(spec), pair::y(spec), nullptr, nullptr, nullptr);
  if (st != TYPE_BLOCK) return to(type, spec);
  RootedCell s(*spec);
  int32_t n = series::length(s.get(), false);
  if (n == 0) {
    if (TYPE_OF(type) == TYPE_IMAGE) return copy_whole(type, type);
    fire(ErrorCategory::kScript, "invalid-arg", *s);
  }
  Cell items[3];
  for (int32_t i = 0; i < std::min(n, 3); ++i) items[i] = series_head_cell(s->data2)[s->data1 + static_cast<uint32_t>(i)];
  check_arg_type(&items[0], kPairArg.bits);
  const Cell* colour = nullptr;
  const Cell* rgb = nullptr;
  const Cell* alpha = nullptr;
  if (n >= 2) {
    if (TYPE_OF(&items[1]) == TYPE_TUPLE) colour = &items[1];
    else if (TYPE_OF(&items[1]) == TYPE_BINARY) rgb = &items[1];
    else fire(ErrorCategory::kScript, "invalid-arg", items[1]);
  }
  if (n >= 3) {
    constexpr ArgTypeset kBinaryArg = arg_typeset({TYPE_BINARY});
    check_arg_type(&items[2], kBinaryArg.bits);
    if (!colour) alpha = &items[2];
  }
  return make_filled(type, pair::x(&items[0]), pair::y(&items[0]), colour, rgb, alpha);
}

// ---------------------------------------------------------------------------
// Form and mold.

void push_indent(std::string& out, int32_t level, int32_t* limit) {
  for (int32_t i = 0; i < level; ++i) out.append("    ");
  if (level > 0) *limit -= 4 * level;
}

void hex_byte(std::string& out, uint32_t b) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  out.push_back(kDigits[b >> 4 & 0xF]);
  out.push_back(kDigits[b & 0xF]);
}

int32_t mold_body(Cell* value, Cell* buffer, bool only, bool flat, Cell* part, int32_t limit, int32_t indent) {
  Cell v = *value;
  std::string out;
  auto emit = [&](const char* text) {
    out.append(text);
    limit -= static_cast<int32_t>(std::strlen(text));
  };
  auto line = [&](int32_t level) {
    if (flat) return;
    out.push_back('\n');
    --limit;
    push_indent(out, level, &limit);
  };
  bool stopped = false;
  if (!only) emit("make image! [");
  emit((std::to_string(width_of(&v)) + "x" + std::to_string(height_of(&v))).c_str());
  Bitmap* b = bitmap_of(&v);
  if (!b) {
    emit(" #{}");
  } else {
    uint32_t head = head_of(&v);
    size_t n = b->count() - head;
    const uint32_t* px = b->pixels + head;
    bool lines = !flat && n * 4 >= static_cast<size_t>(kMoldLineFrom);
    emit(" #{");
    if (lines) line(indent + 1);
    for (size_t i = 0; i < n && !stopped; ++i) {
      hex_byte(out, px[i] >> 16 & 0xFF);
      hex_byte(out, px[i] >> 8 & 0xFF);
      hex_byte(out, px[i] & 0xFF);
      limit -= 6;
      if (part && limit <= 0) stopped = true;
      else if ((i + 1) % kMoldLinePixels == 0) line(indent + 1);
    }
    if (!stopped) {
      if (lines && n % kMoldLinePixels != 0) line(indent);
      emit("}");
      bool transparent = std::any_of(px, px + n, [](uint32_t p) { return (p >> 24) != 255; });
      if (transparent) {
        emit(" #{");
        line(indent + 1);
        for (size_t i = 0; i < n && !stopped; ++i) {
          hex_byte(out, 255 - (px[i] >> 24));
          limit -= 2;
          if (part && limit <= 0) stopped = true;
          else if ((i + 1) % kMoldLinePixels == 0) line(indent + 1);
        }
        if (!stopped) {
          line(indent);
          emit("}");
        }
      }
    }
  }
  if (!stopped && !only) emit("]");
  string::append_text(buffer, std::string_view(out));
  return limit;
}

int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit) {
  return mold_body(value, buffer, false, false, part, limit, 0);
}

int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit, int32_t indent) {
  return mold_body(value, buffer, flags.only, flags.flat, part, limit, indent);
}

// ---------------------------------------------------------------------------
// Channels.

Cell* set_channel(Cell* image, const Cell* value, int kind) {
  Bitmap* b = bitmap_of(image);
  if (!b) {
    uint32_t t = TYPE_OF(value);
    if (t != TYPE_BINARY && t != TYPE_TUPLE && t != TYPE_INTEGER) fire(ErrorCategory::kScript, "invalid-arg", *value);
    return const_cast<Cell*>(value);
  }
  size_t n = b->count();
  uint32_t* px = b->pixels;
  Cell v = *value;
  uint32_t t = TYPE_OF(&v);
  if (t == TYPE_BINARY) {
    HeldPtr<const uint8_t> bytes = binary::head_pointer(&v);
    size_t len = static_cast<size_t>(binary::length(&v));
    if (kind == kArgb) {
      std::memcpy(px, bytes, std::min(len, n * 4));
    } else if (kind == kRgb) {
      size_t m = std::min(len / 3, n);
      for (size_t i = 0; i < m; ++i)
        px[i] = (px[i] & 0xFF000000u) | uint32_t{bytes[i * 3]} << 16 | uint32_t{bytes[i * 3 + 1]} << 8 | bytes[i * 3 + 2];
    } else {
      size_t m = std::min(len, n);
      for (size_t i = 0; i < m; ++i) px[i] = (px[i] & 0xFFFFFF) | (255u - bytes[i]) << 24;
    }
  } else if (t == TYPE_TUPLE || t == TYPE_INTEGER) {
    uint8_t c[4] = {0, 0, 0, 0};
    if (t == TYPE_TUPLE) {
      std::memcpy(c, tuple::bytes(&v), 4);
      if (tuple::count(&v) < 4) c[3] = 0;
    } else {
      uint32_t i = static_cast<uint32_t>(integer::get(&v));
      for (int k = 0; k < 4; ++k) c[k] = static_cast<uint8_t>(i >> (8 * k));
    }
    uint32_t rgbw = uint32_t{c[0]} << 16 | uint32_t{c[1]} << 8 | c[2];
    for (size_t i = 0; i < n; ++i) {
      if (kind == kArgb) px[i] = (255u - c[3]) << 24 | rgbw;
      else if (kind == kRgb) px[i] = (px[i] & 0xFF000000u) | rgbw;
      else px[i] = (px[i] & 0xFFFFFF) | (255u - c[0]) << 24;
    }
  } else {
    fire(ErrorCategory::kScript, "invalid-arg", v);
  }
  mark_written(image);
  ownership::check(image, words::WORD_CHANGED, static_cast<int32_t>(head_of(image)), 0);
  return const_cast<Cell*>(value);
}

// ---------------------------------------------------------------------------
// Pixel access.

Cell* pick(Cell* series, int32_t index, Cell* index_cell) {
  Cell i = index_cell ? *index_cell : Cell{TYPE_INTEGER, 0, static_cast<uint32_t>(index), 0};
  bool oor;
  int64_t at = pixel_offset(series, &i, 1, &oor);
  Bitmap* b = bitmap_of(series);
  if (oor || !b) {
    *series = none_value;
    return series;
  }
  *series = pixel_tuple(b->pixels[at]);
  return series;
}

Cell* poke(Cell* series, int32_t index, Cell* value, Cell* index_cell) {
  Cell i = index_cell ? *index_cell : Cell{TYPE_INTEGER, 0, static_cast<uint32_t>(index), 0};
  bool oor;
  int64_t at = pixel_offset(series, &i, 1, &oor);
  Bitmap* b = bitmap_of(series);
  if (oor || !b) fire(ErrorCategory::kScript, "out-of-range", i);
  if (TYPE_OF(value) != TYPE_TUPLE) fire(ErrorCategory::kScript, "invalid-arg", *value);
  b->pixels[at] = tuple_pixel(value);
  mark_written(series);
  ownership::check(series, words::WORD_POKED, static_cast<int32_t>(at), 1);
  return value;
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell*, Cell*, int32_t, PathFlags) {
  uint32_t et = TYPE_OF(element);
  if (et == TYPE_INTEGER || et == TYPE_PAIR) {
    // A set leaves the parent as it is: the path writes it back.
    if (value) return poke(parent, 0, value, element);
    return pick(parent, 0, element);
  }
  int kind = -1;
  bool size = false;
  if (et == TYPE_WORD) {
    if (word::spells_q(element, words::SYM_SIZE)) size = true;
    else if (word::spells_q(element, words::SYM_RGB)) kind = kRgb;
    else if (word::spells_q(element, words::SYM_ALPHA)) kind = kAlpha;
    else if (word::spells_q(element, words::SYM_ARGB)) kind = kArgb;
  }
  if ((size && value) || (!size && kind < 0))
    fire(ErrorCategory::kScript, "invalid-path", path ? *path : none_value, *element);
  if (size) {
    pair::make_in(parent, static_cast<int32_t>(width_of(parent)), static_cast<int32_t>(height_of(parent)));
    return parent;
  }
  if (value) return set_channel(parent, value, kind);
  RootedCell source(*parent);
  extract_channel(source.get(), kind, parent);
  return parent;
}

// ---------------------------------------------------------------------------
// Navigation: the series! handlers count pixels through the series helpers;
// these take pair indexes too.

void at() {
  Cell* s = stack::arguments();
  s->data1 = static_cast<uint32_t>(pixel_offset(s, s + 1, 1, nullptr));
}

void skip() {
  Cell* s = stack::arguments();
  s->data1 = static_cast<uint32_t>(pixel_offset(s, s + 1, 0, nullptr));
}

int32_t length_q(Cell* series) { return static_cast<int32_t>(pixel_count(series)); }

// ---------------------------------------------------------------------------
// Copy and change.

Cell* copy_whole(const Cell* source, Cell* out) {
  Cell s = *source;
  Bitmap* b = bitmap_of(&s);
  if (!b) return make_in(out, nullptr, width_of(&s), height_of(&s));
  BitmapPtr c(image_backend::copy(*b));
  if (!c) fire_no_memory();
  return make_in(out, c.release());
}

Cell* copy_rect(const Cell* source, int64_t x, int64_t y, int64_t w, int64_t h, Cell* out) {
  Bitmap* b = bitmap_of(source);
  if (!b || w < 1 || h < 1) return make_in(out, nullptr);
  BitmapPtr c(image_backend::copy_region(*b, static_cast<uint32_t>(x), static_cast<uint32_t>(y),
                                         static_cast<uint32_t>(w), static_cast<uint32_t>(h)));
  if (!c) fire_no_memory();
  return make_in(out, c.release());
}

Cell* copy(Cell* value, Cell* destination, Cell* part, bool, Cell*) {
  Cell v = *value;
  int64_t w = width_of(&v), h = height_of(&v);
  if (w < 1 || h < 1 || !v.data2) return make_in(destination, nullptr);
  int64_t head = head_of(&v);
  int64_t col = head % w, row = head / w;
  if (!part) {
    if (head == 0) return copy_whole(&v, destination);
    if (head >= w * h) return make_in(destination, nullptr);
    return copy_rect(&v, col, row, w - col, h - row, destination);
  }
  uint32_t pt = TYPE_OF(part);
  if (pt == TYPE_INTEGER) fire(ErrorCategory::kInternal, "not-done");
  int64_t x = col, y = row, cw = 0, ch = 0;
  if (pt == TYPE_PAIR) {
    int64_t pw = pair::x(part), ph = pair::y(part);
    if (pw >= 1 && ph >= 1 && head < w * h) {
      cw = std::min(pw, w - col);
      ch = std::min(ph, h - row);
    } else if (pw < 0 && ph < 0 && head >= 1) {
      // Up and to the left of the head.
      int64_t c0 = col == 0 ? w : col;
      int64_t r0 = row < h ? row + 1 : row;
      x = c0 + pw;
      y = r0 + ph;
      cw = -pw;
      ch = -ph;
      if (x < 0) cw += x, x = 0;
      if (y < 0) ch += y, y = 0;
    }
  } else if (pt == TYPE_IMAGE) {
    if (part->data2 != v.data2) fire(ErrorCategory::kScript, "invalid-refine-arg", *words::cell_of(words::REF_PART), *part);
    int64_t other = head_of(part);
    int64_t lo = std::min(head, other), hi = std::max(head, other);
    int64_t c1 = lo % w, r1 = lo / w, c2 = hi % w, r2 = hi / w;
    x = std::min(c1, c2);
    y = r1;
    cw = std::max(c1, c2) - x;
    ch = r2 - r1;
  } else {
    fire(ErrorCategory::kScript, "invalid-refine-arg", *words::cell_of(words::REF_PART), *part);
  }
  if (cw < 1 || ch < 1 || x >= w || y >= h) return make_in(destination, nullptr);
  cw = std::min(cw, w - x);
  ch = std::min(ch, h - y);
  return copy_rect(&v, x, y, cw, ch, destination);
}

Cell* change(Cell* series, Cell* value, int32_t part, bool, int32_t dup) {
  if (part >= 0 || dup != 1) fire(ErrorCategory::kInternal, "not-done");
  Cell target = *series;
  uint32_t vt = TYPE_OF(value);
  int64_t w = width_of(&target), total = pixel_count(&target);
  int64_t head = head_of(&target);
  if (vt == TYPE_TUPLE) {
    Bitmap* b = bitmap_of(&target);
    if (!b || head >= total) fire(ErrorCategory::kScript, "out-of-range", integer_cell_of(head + 1));
    ownership::check(&target, words::WORD_CHANGE, static_cast<int32_t>(head), 1);
    b->pixels[head] = tuple_pixel(value);
    mark_written(&target);
    ownership::check(&target, words::WORD_CHANGED, static_cast<int32_t>(head), 1);
    series->data1 = static_cast<uint32_t>(head + 1);
    return series;
  }
  if (vt != TYPE_IMAGE) fire(ErrorCategory::kScript, "invalid-type", datatype_cell(vt));
  if (head >= total) return series;
  Bitmap* to = bitmap_of(&target);
  Bitmap* from = bitmap_of(value);
  if (!to || !from) return series;
  int64_t h = height_of(&target);
  int64_t col = head % w, row = head / w;
  int64_t cw = std::min<int64_t>(from->width, w - col);
  int64_t ch = std::min<int64_t>(from->height, h - row);
  // A copy first: the source may be the target itself.
  std::vector<uint32_t> rows(static_cast<size_t>(cw * ch));
  for (int64_t r = 0; r < ch; ++r)
    std::memcpy(rows.data() + r * cw, from->pixels + r * from->width, static_cast<size_t>(cw) * 4);
  for (int64_t r = 0; r < ch; ++r)
    std::memcpy(to->pixels + (row + r) * w + col, rows.data() + r * cw, static_cast<size_t>(cw) * 4);
  mark_written(&target);
  ownership::check(&target, words::WORD_CHANGED, static_cast<int32_t>(head), static_cast<int32_t>(cw * ch));
  series->data1 = static_cast<uint32_t>((row + ch - 1) * w + std::min(col + cw, w));
  return series;
}

// ---------------------------------------------------------------------------
// Comparison.

int32_t compare(Cell* value1, Cell* value2, int32_t op) {
  if (TYPE_OF(value2) != TYPE_IMAGE) return kNotComparable;
  bool same_place = value1->data2 == value2->data2 && value1->data1 == value2->data1;
  if (op == COMP_SAME) return same_place ? 0 : 1;
  if (same_place && (op == COMP_EQUAL || op == COMP_NOT_EQUAL || op == COMP_STRICT_EQUAL)) return 0;
  switch (op) {
    case COMP_EQUAL:
    case COMP_NOT_EQUAL:
    case COMP_STRICT_EQUAL:
    case COMP_SORT:
    case COMP_CASE_SORT:
    case COMP_FIND:
      break;
    default:
      return kNotComparable;
  }
  int64_t n1 = pixel_count(value1), n2 = pixel_count(value2);
  if (n1 != n2) return n1 < n2 ? -1 : 1;
  Bitmap* a = bitmap_of(value1);
  Bitmap* b = bitmap_of(value2);
  if (!a || !b) return 0;
  int r = std::memcmp(a->pixels, b->pixels, static_cast<size_t>(n1) * 4);
  return r < 0 ? -1 : r > 0 ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Routines for the codecs.

void decode_entry() {
  RootedCell data(stack::arguments()[0]);
  RootedCell out;
  decode(data.get(), out.get());
  *stack::arguments() = *out;
}

void encode_with(int format) {
  RootedCell img(stack::arguments()[0]);
  if (TYPE_OF(img.get()) != TYPE_IMAGE) fire(ErrorCategory::kScript, "invalid-arg", *img);
  RootedCell out;
  encode(img.get(), format, out.get());
  *stack::arguments() = *out;
}

void encode_entry() {
  Cell format = stack::arguments()[2];
  if (TYPE_OF(&format) != TYPE_INTEGER) fire(ErrorCategory::kScript, "invalid-arg", format);
  encode_with(integer::get(&format));
}

}  // namespace

// ---------------------------------------------------------------------------
// Routines.

int64_t pixel_count(const Cell* c) {
  if (!c->data2) return 0;
  return int64_t{width_of(c)} * height_of(c);
}

Bitmap* bitmap_of(const Cell* c) {
  int32_t h = handle_of(c);
  return h < 0 ? nullptr : static_cast<Bitmap*>(handle_pointer(h));
}

Cell* make_in(Cell* cell, Bitmap* bitmap, uint32_t width, uint32_t height) {
  if (!bitmap) {
    *cell = Cell{TYPE_IMAGE, 0, 0, (height & 0xFFFF) << 16 | (width & 0xFFFF)};
    return cell;
  }
  BitmapPtr held(bitmap);
  uint32_t size = bitmap->height << 16 | bitmap->width;
  uint32_t node = alloc_bytes(kRecordWords * 4);
  *cell = Cell{TYPE_IMAGE, 0, node, size};  // rooted by the caller's cell from here on
  uint8_t* at = series_reserve_tail_bytes(node_buffer(node), kRecordWords * 4);
  int32_t handle = alloc_handle(bitmap, g_handle_kind);
  held.release();
  uint32_t words[kRecordWords] = {};
  words[kRecordFlags] = 0;
  words[kRecordHandle] = static_cast<uint32_t>(handle);
  words[kRecordSize] = size;
  at = node_buffer(node)->head_ptr();
  std::memcpy(at, words, sizeof words);
  return cell;
}

Cell* make_from_argb(Cell* cell, uint32_t width, uint32_t height, const uint8_t* bytes) {
  check_size(width, height);
  if (width == 0 || height == 0) return make_in(cell, nullptr, width, height);
  BitmapPtr b = new_bitmap(width, height);
  std::memcpy(b->pixels, bytes, b->count() * 4);
  return make_in(cell, b.release());
}

Cell* extract_channel(const Cell* image, int kind, Cell* out) {
  Cell v = *image;
  Bitmap* b = bitmap_of(&v);
  size_t n = b ? b->count() : 0;
  size_t unit = kind == kArgb ? 4 : kind == kRgb ? 3 : 1;
  if (n * unit > kMaxSeriesBytes) fire_no_memory();
  std::vector<uint8_t> bytes(n * unit);
  for (size_t i = 0; i < n; ++i) {
    uint32_t p = b->pixels[i];
    if (kind == kArgb) {
      std::memcpy(&bytes[i * 4], &p, 4);
    } else if (kind == kRgb) {
      bytes[i * 3] = static_cast<uint8_t>(p >> 16);
      bytes[i * 3 + 1] = static_cast<uint8_t>(p >> 8);
      bytes[i * 3 + 2] = static_cast<uint8_t>(p);
    } else {
      bytes[i] = static_cast<uint8_t>(255 - (p >> 24));
    }
  }
  return binary::load(bytes.data(), bytes.size(), out);
}

bool known_format_q(const uint8_t* b, size_t n) {
  auto starts = [&](const char* sig, size_t len) { return n >= len && std::memcmp(b, sig, len) == 0; };
  return starts("\x89PNG", 4) || starts("\xFF\xD8\xFF", 3) || starts("BM", 2) || starts("GIF87a", 6) ||
         starts("GIF89a", 6) || starts("II*\0", 4) || starts("MM\0*", 4);
}

Cell* decode_bytes(const uint8_t* bytes, size_t size, Cell* out) {
  Bitmap* raw = nullptr;
  image_backend::Status status = image_backend::decode(bytes, size, &raw);
  switch (status) {
    case image_backend::Status::kOk:
      return make_in(out, raw);
    case image_backend::Status::kNoMemory:
      fire_no_memory();
    case image_backend::Status::kTooLarge:
      fire(ErrorCategory::kScript, "size-limit", "image");
    case image_backend::Status::kNoCodec:
      fire(ErrorCategory::kInternal, "not-here", "image codecs");
    default:
      fire(ErrorCategory::kAccess, "bad-media");
  }
}

Cell* decode(const Cell* source, Cell* out) {
  Cell s = *source;
  if (TYPE_OF(&s) == TYPE_BINARY) {
    // Decoding allocates: the bytes are copied out of the series first.
    HeldPtr<const uint8_t> p = binary::head_pointer(&s);
    std::vector<uint8_t> bytes(p, p + binary::length(&s));
    return decode_bytes(bytes.data(), bytes.size(), out);
  }
  if (TYPE_OF(&s) == TYPE_FILE) {
    auto bytes = simple_io::read_bytes(file::to_os_path(&s), -1, -1);
    if (!bytes) fire(ErrorCategory::kAccess, "cannot-open", s);
    Bitmap* raw = nullptr;
    image_backend::Status status = image_backend::decode(bytes->data(), bytes->size(), &raw);
    if (status == image_backend::Status::kOk) return make_in(out, raw);
    if (status == image_backend::Status::kUndecodable) fire(ErrorCategory::kAccess, "cannot-open", s);
    return decode_bytes(bytes->data(), bytes->size(), out);
  }
  fire(ErrorCategory::kScript, "invalid-arg", s);
}

Cell* encode(const Cell* image, int format, Cell* out) {
  Cell v = *image;
  Bitmap* b = bitmap_of(&v);
  if (format < image_backend::kBmp || format > image_backend::kTiff)
    fire(ErrorCategory::kScript, "invalid-arg", integer_cell_of(format));
  if (!b) {
    if (width_of(&v) == 0 || height_of(&v) == 0) return binary::load(nullptr, 0, out);
    fire(ErrorCategory::kAccess, "bad-media");
  }
  std::vector<uint8_t> bytes;
  image_backend::Status status = image_backend::encode(*b, format, &bytes);
  if (status == image_backend::Status::kNoMemory) fire_no_memory();
  if (status == image_backend::Status::kNoCodec)
    fire(ErrorCategory::kInternal, "not-here", "image codecs");
  if (status != image_backend::Status::kOk) fire(ErrorCategory::kAccess, "bad-media");
  if (bytes.size() > kMaxSeriesBytes) fire_no_memory();
  return binary::load(bytes.data(), bytes.size(), out);
}

void register_routines() {
  routine::register_entry("image-decode", decode_entry);
  routine::register_entry("image-encode", encode_entry);
  routine::register_entry("image-encode-bmp", [] { encode_with(image_backend::kBmp); });
  routine::register_entry("image-encode-png", [] { encode_with(image_backend::kPng); });
  routine::register_entry("image-encode-gif", [] { encode_with(image_backend::kGif); });
  routine::register_entry("image-encode-jpeg", [] { encode_with(image_backend::kJpeg); });
  routine::register_entry("image-encode-tiff", [] { encode_with(image_backend::kTiff); });
}

void init() {
  // Start-up registers the kind afresh after clearing the registry; a second
  // initialisation without a clear gets the same kind back.
  if (int kind = register_handle_kind("image", release_bitmap)) g_handle_kind = kind;
  collector::set_image_marker(mark_image);
  datatype::register_type(TYPE_IMAGE, TYPE_SERIES, "image!", {
      own<ACT_MAKE>(make), refuse<ACT_RANDOM>, refuse<ACT_REFLECT>, own<ACT_TO>(to), own<ACT_FORM>(form),
      own<ACT_MOLD>(mold), own<ACT_EVAL_PATH>(eval_path), own<ACT_COMPARE>(compare), own<ACT_AT>(at),
      own<ACT_CHANGE>(change), refuse<ACT_CLEAR>, own<ACT_COPY>(copy), own<ACT_LENGTH_Q>(length_q),
      refuse<ACT_MOVE>, own<ACT_PICK>(pick), own<ACT_POKE>(poke), refuse<ACT_REMOVE>, refuse<ACT_REVERSE>,
      own<ACT_SKIP>(skip), refuse<ACT_TAKE>,
  });
}

}  // namespace kiv::image
