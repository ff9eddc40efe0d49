#include "runtime/host/kivbin.h"

#include <cstring>

#include "runtime/host/blockcomp.h"
#include "runtime/support.h"
#include "runtime/unicode.h"

namespace kiv::kivbin {

void fire_invalid_record(size_t offset) {
  Cell at{TYPE_INTEGER, 0, static_cast<uint32_t>(offset + 1), 0};
  fire(ErrorCategory::kScript, "kb-invalid-record", at);
}

// ---------------------------------------------------------------------------
// Reader.

uint32_t Reader::uvar() {
  uint32_t v = 0;
  for (int i = 0; i < 5; ++i) {
    uint8_t b = u8();
    if (i == 4) {
      if (b >= 0x10) {
        --pos_;
        fail();
      }
      return v | static_cast<uint32_t>(b) << 28;
    }
    v |= static_cast<uint32_t>(b & 0x7F) << (7 * i);
    if (!(b & 0x80)) return v;
  }
  return v;  // not reached
}

uint32_t Reader::u32() {
  const uint8_t* p = take(4);
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

float Reader::f32() {
  uint32_t bits = u32();
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

double Reader::f64() {
  uint64_t low = u32();
  uint64_t high = u32();
  uint64_t bits = high << 32 | low;
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

double Reader::f64_high_first() {
  uint64_t high = u32();
  uint64_t low = u32();
  uint64_t bits = high << 32 | low;
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

void Reader::align(size_t n) {
  size_t rem = pos_ % n;
  if (rem) take(n - rem);
}

// ---------------------------------------------------------------------------
// Writer.

void Writer::uvar(uint32_t v) {
  while (v >= 0x80) {
    out_.push_back(static_cast<uint8_t>(v | 0x80));
    v >>= 7;
  }
  out_.push_back(static_cast<uint8_t>(v));
}

void Writer::u32(uint32_t v) {
  out_.push_back(static_cast<uint8_t>(v));
  out_.push_back(static_cast<uint8_t>(v >> 8));
  out_.push_back(static_cast<uint8_t>(v >> 16));
  out_.push_back(static_cast<uint8_t>(v >> 24));
}

void Writer::f32(float v) {
  uint32_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  u32(bits);
}

void Writer::f64(double v) {
  uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  u32(static_cast<uint32_t>(bits));
  u32(static_cast<uint32_t>(bits >> 32));
}

void Writer::f64_high_first(double v) {
  uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  u32(static_cast<uint32_t>(bits >> 32));
  u32(static_cast<uint32_t>(bits));
}

void Writer::patch_u32(size_t at, uint32_t v) {
  out_[at] = static_cast<uint8_t>(v);
  out_[at + 1] = static_cast<uint8_t>(v >> 8);
  out_[at + 2] = static_cast<uint8_t>(v >> 16);
  out_[at + 3] = static_cast<uint8_t>(v >> 24);
}

// ---------------------------------------------------------------------------
// Opening an image.

namespace {

uint32_t read_le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

bool valid_utf8(const uint8_t* p, size_t n) {
  size_t i = 0;
  while (i < n) {
    if (p[i] < 0x80) {
      ++i;
      continue;
    }
    size_t available = n - i;
    if (decode_utf8_sequence(p + i, &available) < 0) return false;
    i += available;
  }
  return true;
}

}  // namespace

std::string_view Image::symbol_name(uint32_t index, size_t fault_offset) const {
  if (index >= symbol_count) fire_invalid_record(fault_offset);
  uint32_t at = read_le32(offsets + 4 * static_cast<size_t>(index));
  if (at >= names_size || at >= 0x80000000u) fire_invalid_record(fault_offset);
  const uint8_t* start = names + at;
  const void* nul = std::memchr(start, 0, names_size - at);
  // open() made sure the area ends in NUL, so a name always ends inside it.
  size_t length = static_cast<const uint8_t*>(nul) - start;
  if (length == 0 || !valid_utf8(start, length)) fire_invalid_record(fault_offset);
  return std::string_view(reinterpret_cast<const char*>(start), length);
}

OpenStatus open(std::span<const uint8_t> bytes, Image* image) {
  if (bytes.size() < kFileHeaderBytes || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0)
    return OpenStatus::kNotKivbin;
  image->version = bytes[6];
  uint8_t flags = bytes[7];
  image->compact = flags & kFlagCompact;
  image->symbols = flags & kFlagSymbols;
  std::span<const uint8_t> body = bytes.subspan(kFileHeaderBytes);
  if (flags & kFlagCompressed) {
    auto unpacked = lz::decompress(body);
    if (!unpacked) return OpenStatus::kCorrupted;
    image->unpacked = std::move(*unpacked);
    body = std::span<const uint8_t>(image->unpacked);
  }
  // The fixed header needs its two counts in full.
  if (!image->compact && body.size() < 8) return OpenStatus::kNotKivbin;
  Reader r(body.data(), body.size(), kFileHeaderBytes);
  uint32_t records_size;
  if (image->compact) {
    image->root_count = r.uvar();
    records_size = r.uvar();
    if (image->symbols) {
      image->symbol_count = r.uvar();
      image->names_size = r.uvar();
    }
  } else {
    image->root_count = r.u32();
    records_size = r.u32();
    if (image->symbols) {
      image->symbol_count = r.u32();
      image->names_size = r.u32();
    }
  }
  if (image->symbols) {
    size_t fault = r.offset();
    uint64_t n = image->symbol_count;
    if (n > 0x7FFFFFFF || image->names_size > 0x7FFFFFFF) fire_invalid_record(fault);
    if (n > r.left() / 4) fire_invalid_record(fault);
    if (image->names_size > r.left() - 4 * n) fire_invalid_record(fault);
    image->offsets_base = r.offset();
    image->offsets = r.take(4 * n);
    image->names = r.take(image->names_size);
    if (image->names_size > 0 && image->names[image->names_size - 1] != 0) fire_invalid_record(fault);
    if (n > 0 && image->names_size == 0) fire_invalid_record(fault);
  }
  if (records_size > 0x7FFFFFFF || records_size > r.left()) fire_invalid_record(r.offset());
  image->records_base = r.offset();
  image->records = r.take(records_size);
  image->records_size = records_size;
  return OpenStatus::kOk;
}

// ---------------------------------------------------------------------------
// Assembling an image.

std::vector<uint8_t> assemble(bool compact, uint8_t version, uint32_t root_count,
                              const std::vector<std::string>& names, const std::vector<uint8_t>& records,
                              bool compress) {
  bool symbols = !names.empty();
  Writer body;
  // The names area and each name's offset in it.
  std::vector<uint8_t> area;
  std::vector<uint32_t> offsets;
  offsets.reserve(names.size());
  for (const std::string& name : names) {
    offsets.push_back(static_cast<uint32_t>(area.size()));
    area.insert(area.end(), name.begin(), name.end());
    area.push_back(0);
    if (!compact)
      while (area.size() % 8) area.push_back(0);
  }
  if (compact) {
    body.uvar(root_count);
    body.uvar(static_cast<uint32_t>(records.size()));
    if (symbols) {
      body.uvar(static_cast<uint32_t>(names.size()));
      body.uvar(static_cast<uint32_t>(area.size()));
    }
  } else {
    body.u32(root_count);
    body.u32(static_cast<uint32_t>(records.size()));
    if (symbols) {
      body.u32(static_cast<uint32_t>(names.size()));
      body.u32(static_cast<uint32_t>(area.size()));
    }
  }
  if (symbols) {
    for (uint32_t at : offsets) body.u32(at);
    body.append(area.data(), area.size());
  }
  body.append(records.data(), records.size());

  uint8_t flags = (compact ? kFlagCompact : 0) | (symbols ? kFlagSymbols : 0);
  std::vector<uint8_t> out(kMagic, kMagic + sizeof kMagic);
  out.push_back(version);
  if (compress) {
    if (auto packed = lz::compress(body.bytes())) {
      out.push_back(flags | kFlagCompressed);
      out.insert(out.end(), packed->begin(), packed->end());
      return out;
    }
  }
  out.push_back(flags);
  out.insert(out.end(), body.bytes().begin(), body.bytes().end());
  return out;
}

}  // namespace kiv::kivbin
