// Kivbin, the binary form of values: the bytes of an image. This module knows
// the file header, the symbol table, the variable-length integers and the
// record headers of both record forms; turning records into values and back
// is runtime/datatypes/kivbin.h, one layer up.
//
// An image:
//   offset 0  "KIVBIN"
//   offset 6  version (1 in the boot payload, 2 when written here; not tested)
//   offset 7  flags: kFlagCompact, kFlagCompressed (everything from offset 8
//             is block-compressed, runtime/host/blockcomp.h), kFlagSymbols
//   offset 8  root count, records size, then with symbols N and S: uvars in
//             the compact form, 32-bit words in the fixed form
//             then with symbols: N 4-byte offsets into the names area, the
//             names area (S bytes of NUL-ended names; in the fixed form each
//             name is padded with zeros to 8 bytes)
//             then the records area (records size bytes)
//
// All multi-byte integers are little-endian. A compact record is one header
// byte (after optional prefix bytes); a fixed record starts with a 32-bit
// header word. Alignment in the fixed form counts from the records area.
//
// Untrusted input: every count is checked against the bytes left before
// anything is made from it, and every fault raises script kb-invalid-record
// with the 1-based byte offset of the fault (for a compressed image, the
// offset into the unpacked bytes plus the 8 header bytes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kiv::kivbin {

inline constexpr char kMagic[6] = {'K', 'I', 'V', 'B', 'I', 'N'};
inline constexpr size_t kFileHeaderBytes = 8;
inline constexpr uint8_t kVersionBoot = 1;
inline constexpr uint8_t kVersionWritten = 2;

// Flags byte.
inline constexpr uint8_t kFlagCompact = 0x01;
inline constexpr uint8_t kFlagCompressed = 0x02;
inline constexpr uint8_t kFlagSymbols = 0x04;

// Compact header bytes.
inline constexpr uint8_t kRecordFlag = 0x40;     // F, the record's own flag
inline constexpr uint8_t kTypeBits = 0x3F;       // type id; kTypeEscape: a uvar follows
inline constexpr uint8_t kTypeEscape = 63;
inline constexpr uint8_t kSmallInteger = 0x80;   // 0x80-0xBF: integer! 0-63
inline constexpr uint8_t kNewLinePrefix = 0xC0;
inline constexpr uint8_t kReferencePrefix = 0xC1;
inline constexpr uint8_t kTrue = 0xC2;
inline constexpr uint8_t kFalse = 0xC3;
inline constexpr uint8_t kDefinitionPrefix = 0xC4;  // boot form only
inline constexpr uint8_t kReferenceRecord = 0xFF;

// Fixed header word bits.
inline constexpr uint32_t kFixedNewLine = 0x80000000;
inline constexpr uint32_t kFixedReference = 0x00080000;
inline constexpr uint32_t kFixedUnitShift = 8;     // strings, binary, vector: unit bytes
inline constexpr uint32_t kFixedTupleShift = 8;    // tuple length
inline constexpr uint32_t kFixedOpTypeShift = 16;  // op!: type of the called value
inline constexpr uint32_t kFixedMoneySign = 0x00400000;
inline constexpr uint32_t kFixedNegated = 0x00800000;  // bitset!
inline constexpr uint32_t kFixedHooks = 0x01000000;    // object!: two handler indexes follow
inline constexpr uint32_t kFixedGlobal = 0x02000000;   // words: bound globally (boot: a definition)
inline constexpr uint32_t kFixedReferenceType = 255;
// Fixed context! flags word.
inline constexpr uint32_t kFixedContextKindShift = 26;
inline constexpr uint32_t kFixedContextObject = 0x10000000;
inline constexpr uint32_t kFixedContextOnStack = 0x20000000;
inline constexpr uint32_t kFixedContextValues = 0x40000000;
// Compact context! flags byte.
inline constexpr uint8_t kContextKindBits = 0x03;
inline constexpr uint8_t kContextOnStack = 0x04;
inline constexpr uint8_t kContextObject = 0x08;
inline constexpr uint8_t kContextValues = 0x10;

// A reference path holds 1 to this many indexes.
inline constexpr uint32_t kMaxPathLength = 65536;
// Records nest at most this deep (blocks in blocks, objects, functions, word
// bindings); deeper data is an invalid record, so a hostile image cannot use
// up the native stack.
inline constexpr uint32_t kMaxDepth = 1000;

// Raises script kb-invalid-record with the 1-based offset.
[[noreturn]] void fire_invalid_record(size_t offset);

// Reads one area of an image with every read checked against its end.
class Reader {
 public:
  // base: the offset of data[0] in the image, for error offsets.
  Reader(const uint8_t* data, size_t size, size_t base) : data_(data), size_(size), base_(base) {}

  size_t position() const { return pos_; }
  size_t left() const { return size_ - pos_; }
  bool at_end() const { return pos_ >= size_; }
  const uint8_t* here() const { return data_ + pos_; }
  // The image offset of the current position (0-based).
  size_t offset() const { return base_ + pos_; }

  [[noreturn]] void fail() const { fire_invalid_record(offset()); }
  // Fails unless n more bytes are there.
  void need(uint64_t n) const {
    if (n > left()) fail();
  }
  uint8_t u8() {
    need(1);
    return data_[pos_++];
  }
  uint8_t peek() const {
    need(1);
    return data_[pos_];
  }
  // Unsigned LEB128: at most 5 bytes, the fifth below 0x10.
  uint32_t uvar();
  // Zigzag on top of uvar.
  int32_t svar() {
    uint32_t u = uvar();
    return static_cast<int32_t>((u >> 1) ^ (0u - (u & 1)));
  }
  uint32_t u32();
  int32_t i32() { return static_cast<int32_t>(u32()); }
  float f32();
  double f64();               // least significant byte first
  double f64_high_first();    // fixed form: the high 32-bit word, then the low one
  const uint8_t* take(uint64_t n) {
    need(n);
    const uint8_t* p = data_ + pos_;
    pos_ += static_cast<size_t>(n);
    return p;
  }
  // Moves to the next multiple of n from the area's start (fixed form).
  void align(size_t n);

 private:
  const uint8_t* data_;
  size_t size_;
  size_t base_;
  size_t pos_ = 0;
};

// Builds one area of an image.
class Writer {
 public:
  std::vector<uint8_t>& bytes() { return out_; }
  size_t size() const { return out_.size(); }
  void u8(uint8_t b) { out_.push_back(b); }
  void uvar(uint32_t v);
  void svar(int32_t v) { uvar((static_cast<uint32_t>(v) << 1) ^ static_cast<uint32_t>(v >> 31)); }
  void u32(uint32_t v);
  void i32(int32_t v) { u32(static_cast<uint32_t>(v)); }
  void f32(float v);
  void f64(double v);
  void f64_high_first(double v);
  void append(const uint8_t* p, size_t n) { out_.insert(out_.end(), p, p + n); }
  // Zero bytes up to the next multiple of n.
  void align(size_t n) {
    while (out_.size() % n) out_.push_back(0);
  }
  // Overwrites a 32-bit word written earlier.
  void patch_u32(size_t at, uint32_t v);

 private:
  std::vector<uint8_t> out_;
};

// An opened image: where its parts lie, after any decompression.
struct Image {
  bool compact = false;
  bool symbols = false;
  uint8_t version = 0;
  uint32_t root_count = 0;
  uint32_t symbol_count = 0;  // N
  uint32_t names_size = 0;    // S
  const uint8_t* offsets = nullptr;
  const uint8_t* names = nullptr;
  const uint8_t* records = nullptr;
  size_t records_size = 0;
  size_t records_base = 0;    // image offset of the records area, for errors
  size_t offsets_base = 0;
  std::vector<uint8_t> unpacked;  // the decompressed bytes, when compressed

  // The name of symbol `index`, checked: the index below N, its offset below
  // S, the name NUL-ended inside the names area, not empty and valid UTF-8.
  // A fault raises kb-invalid-record at `fault_offset`.
  std::string_view symbol_name(uint32_t index, size_t fault_offset) const;
};

enum class OpenStatus { kOk, kNotKivbin, kCorrupted };

// Opens the image: the magic, the flags, decompression, the counts and the
// symbol table (N within a quarter of the bytes left, S within what follows
// the offsets, a non-empty names area ending in NUL, the records area within
// the bytes left). A wrong magic or a short header answers kNotKivbin, bad
// compressed data kCorrupted; the other faults raise kb-invalid-record.
OpenStatus open(std::span<const uint8_t> bytes, Image* image);

// Assembles an image around a records area: the header with the version and
// flags (kFlagSymbols added when there are names), root count, records size,
// the symbol table of the names (in order), the records. With compress, the
// part from offset 8 on is block-compressed when that makes it smaller.
std::vector<uint8_t> assemble(bool compact, uint8_t version, uint32_t root_count,
                              const std::vector<std::string>& names, const std::vector<uint8_t>& records,
                              bool compress);

}  // namespace kiv::kivbin
