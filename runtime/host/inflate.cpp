// The DEFLATE decompressor (stored, fixed and dynamic Huffman blocks).
//
// Input is untrusted: every read is checked against the end of the input, a
// stream that ends before its final block is refused, code lengths may not
// run past their declared count, and symbols outside the length and distance
// tables are refused. Output past the capacity is counted, not stored, so a
// call with no buffer measures the output; back-references are checked
// against the bytes produced, never against the buffer.
#include <algorithm>
#include <array>
#include <cstring>

#include "runtime/host/deflate.h"

namespace kiv::compression {
namespace {

constexpr unsigned kMaxCodeBits = 15;
constexpr unsigned kPrimaryBits = 9;  // first-level table index width
constexpr unsigned kMaxLitLen = 288;
constexpr unsigned kMaxDist = 32;
constexpr unsigned kCodeLengthCodes = 19;
constexpr uint32_t kEndOfBlock = 256;
constexpr uint32_t kFirstLength = 257;
constexpr uint32_t kLastLength = 285;
constexpr uint32_t kLastDistance = 29;

constexpr uint16_t kLengthBase[] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                    31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                    2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t kDistBase[] = {1,    2,    3,    4,    5,    7,     9,     13,    17,  25,
                                  33,   49,   65,   97,   129,  193,   257,   385,   513, 769,
                                  1025, 1537, 2049, 3073, 4097, 6145,  8193,  12289, 16385, 24577};
constexpr uint8_t kDistExtra[] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                  6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr uint8_t kCodeLengthOrder[kCodeLengthCodes] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                        11, 4,  12, 3, 13, 2, 14, 1, 15};

// Reads bits least significant first from whole bytes.
class BitReader {
 public:
  explicit BitReader(std::span<const uint8_t> in) : p_(in.data()), end_(in.data() + in.size()) {}

  // At least n (<= 32) bits buffered; false when the input has run out.
  bool need(unsigned n) {
    while (count_ <= 56 && p_ < end_) {
      buf_ |= uint64_t(*p_++) << count_;
      count_ += 8;
    }
    return count_ >= n;
  }
  unsigned available() const { return count_; }
  uint32_t peek(unsigned n) const { return uint32_t(buf_ & ((uint64_t(1) << n) - 1)); }
  void drop(unsigned n) {
    buf_ >>= n;
    count_ -= n;
  }
  bool take(unsigned n, uint32_t* v) {
    if (!need(n)) return false;
    *v = peek(n);
    drop(n);
    return true;
  }

  // Skips to the next byte boundary and hands the buffered whole bytes back
  // to the input, so that raw bytes can be read from position().
  void align_to_byte() {
    drop(count_ % 8);
    p_ -= count_ / 8;
    buf_ = 0;
    count_ = 0;
  }
  const uint8_t* position() const { return p_; }
  size_t bytes_left() const { return size_t(end_ - p_); }
  void skip_bytes(size_t n) { p_ += n; }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
  uint64_t buf_ = 0;
  unsigned count_ = 0;
};

// A canonical Huffman code as lookup tables indexed by the next input bits
// (codes arrive bit-reversed). Entries of the first table either hold a
// symbol, `symbol << 8 | length`, or link to a second-level table,
// `offset << 8 | kLink | index bits`. Length 0 marks bit patterns that are no
// code of an incomplete set.
class Huffman {
 public:
  static constexpr uint32_t kLink = 0x80;

  // False for an over-subscribed set of lengths.
  bool build(const uint8_t* lengths, unsigned n) {
    unsigned count[kMaxCodeBits + 1] = {};
    for (unsigned s = 0; s < n; s++) count[lengths[s]]++;
    count[0] = 0;
    int left = 1;
    for (unsigned len = 1; len <= kMaxCodeBits; len++) {
      left = left * 2 - int(count[len]);
      if (left < 0) return false;
    }
    uint32_t next[kMaxCodeBits + 2] = {};
    for (unsigned len = 1; len <= kMaxCodeBits; len++) next[len + 1] = (next[len] + count[len]) << 1;

    // Codes and, for codes longer than the first level, the widest tail
    // below each first-level prefix.
    std::array<uint16_t, kMaxLitLen> rev{};
    uint8_t sub_bits[1u << kPrimaryBits] = {};
    for (unsigned s = 0; s < n; s++) {
      unsigned len = lengths[s];
      if (!len) continue;
      rev[s] = uint16_t(reverse(next[len]++, len));
      if (len > kPrimaryBits) {
        unsigned prefix = rev[s] & ((1u << kPrimaryBits) - 1);
        if (len - kPrimaryBits > sub_bits[prefix]) sub_bits[prefix] = uint8_t(len - kPrimaryBits);
      }
    }
    table_.assign(1u << kPrimaryBits, 0);
    for (unsigned prefix = 0; prefix < (1u << kPrimaryBits); prefix++) {
      if (!sub_bits[prefix]) continue;
      table_[prefix] = uint32_t(table_.size()) << 8 | kLink | sub_bits[prefix];
      table_.resize(table_.size() + (size_t(1) << sub_bits[prefix]), 0);
    }
    for (unsigned s = 0; s < n; s++) {
      unsigned len = lengths[s];
      if (!len) continue;
      uint32_t entry = uint32_t(s) << 8 | len;
      if (len <= kPrimaryBits) {
        for (uint32_t i = rev[s]; i < (1u << kPrimaryBits); i += 1u << len) table_[i] = entry;
      } else {
        uint32_t link = table_[rev[s] & ((1u << kPrimaryBits) - 1)];
        uint32_t base = link >> 8, width = link & 0x7F;
        for (uint32_t i = rev[s] >> kPrimaryBits; i < (1u << width); i += 1u << (len - kPrimaryBits))
          table_[base + i] = entry;
      }
    }
    return true;
  }

  // The next symbol, or -1 for bits that are no code or run past the input.
  int decode(BitReader& in) const {
    in.need(kMaxCodeBits);
    uint32_t bits = in.peek(kMaxCodeBits);
    uint32_t e = table_[bits & ((1u << kPrimaryBits) - 1)];
    if (e & kLink) e = table_[(e >> 8) + ((bits >> kPrimaryBits) & ((1u << (e & 0x7F)) - 1))];
    unsigned len = e & 0x7F;
    if (len == 0 || len > in.available()) return -1;
    in.drop(len);
    return int(e >> 8);
  }

 private:
  static uint32_t reverse(uint32_t code, unsigned n) {
    uint32_t r = 0;
    for (unsigned i = 0; i < n; i++) r |= ((code >> i) & 1) << (n - 1 - i);
    return r;
  }

  std::vector<uint32_t> table_;
};

struct FixedTables {
  Huffman lit, dist;
  FixedTables() {
    uint8_t len[kMaxLitLen];
    for (unsigned s = 0; s < kMaxLitLen; s++) len[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
    lit.build(len, kMaxLitLen);
    std::memset(len, 5, kMaxDist);
    dist.build(len, kMaxDist);
  }
};

const FixedTables& fixed_tables() {
  static const FixedTables tables;
  return tables;
}

// The output: bytes up to the capacity are stored, the rest only counted.
class Output {
 public:
  explicit Output(std::span<uint8_t> out) : out_(out) {}
  size_t produced() const { return pos_; }

  void put(uint8_t b) {
    if (pos_ < out_.size()) out_[pos_] = b;
    pos_++;
  }
  void put_bytes(const uint8_t* p, size_t n) {
    if (pos_ < out_.size()) std::memcpy(&out_[pos_], p, std::min(n, out_.size() - pos_));
    pos_ += n;
  }
  // Copies `len` bytes from `dist` back; the source may overlap the copy.
  void copy_back(size_t dist, size_t len) {
    if (pos_ + len <= out_.size()) {
      uint8_t* d = &out_[pos_];
      const uint8_t* s = d - dist;
      pos_ += len;
      if (dist == 1) {
        std::memset(d, *s, len);
      } else if (dist >= len) {
        std::memcpy(d, s, len);
      } else {
        // Overlapping: copy in steps of `dist`, each from bytes already written.
        while (len > 0) {
          size_t step = std::min(dist, len);
          std::memcpy(d, s, step);
          d += step;
          s += step;
          len -= step;
        }
      }
      return;
    }
    if (pos_ >= out_.size()) {
      // Past the capacity only the count matters: a measuring pass stays fast.
      pos_ += len;
      return;
    }
    for (size_t i = 0; i < len; i++) {
      size_t from = pos_ - dist;
      put(from < out_.size() ? out_[from] : 0);
    }
  }

 private:
  std::span<uint8_t> out_;
  size_t pos_ = 0;
};

Status inflate_codes(BitReader& in, Output& out, const Huffman& lit, const Huffman& dist) {
  for (;;) {
    int sym = lit.decode(in);
    if (sym < 0) return Status::kBadData;
    if (uint32_t(sym) < kEndOfBlock) {
      out.put(uint8_t(sym));
      continue;
    }
    if (uint32_t(sym) == kEndOfBlock) return Status::kOk;
    if (uint32_t(sym) > kLastLength) return Status::kBadData;
    unsigned li = unsigned(sym) - kFirstLength;
    uint32_t extra = 0;
    if (!in.take(kLengthExtra[li], &extra)) return Status::kBadData;
    size_t len = kLengthBase[li] + extra;

    int dsym = dist.decode(in);
    if (dsym < 0 || uint32_t(dsym) > kLastDistance) return Status::kBadData;
    if (!in.take(kDistExtra[dsym], &extra)) return Status::kBadData;
    size_t d = kDistBase[dsym] + extra;
    if (d > out.produced()) return Status::kDistanceTooFar;
    out.copy_back(d, len);
  }
}

Status inflate_stored(BitReader& in, Output& out) {
  in.align_to_byte();
  uint32_t len = 0, nlen = 0;
  if (!in.take(16, &len) || !in.take(16, &nlen)) return Status::kBadData;
  if ((len ^ 0xFFFF) != nlen) return Status::kBadData;
  in.align_to_byte();
  if (len > in.bytes_left()) return Status::kStoredPastInput;
  out.put_bytes(in.position(), len);
  in.skip_bytes(len);
  return Status::kOk;
}

Status inflate_dynamic(BitReader& in, Output& out) {
  uint32_t hlit, hdist, hclen;
  if (!in.take(5, &hlit) || !in.take(5, &hdist) || !in.take(4, &hclen)) return Status::kBadData;
  hlit += 257;
  hdist += 1;
  hclen += 4;

  uint8_t cl_lengths[kCodeLengthCodes] = {};
  for (uint32_t i = 0; i < hclen; i++) {
    uint32_t v;
    if (!in.take(3, &v)) return Status::kBadData;
    cl_lengths[kCodeLengthOrder[i]] = uint8_t(v);
  }
  Huffman cl;
  if (!cl.build(cl_lengths, kCodeLengthCodes)) return Status::kBadData;

  // Literal/length and distance lengths follow each other; a repeat may
  // cross from one set into the other but not past their total.
  uint8_t lengths[kMaxLitLen + kMaxDist] = {};
  const uint32_t total = hlit + hdist;
  uint32_t i = 0;
  while (i < total) {
    int sym = cl.decode(in);
    if (sym < 0) return Status::kBadData;
    if (sym < 16) {
      lengths[i++] = uint8_t(sym);
      continue;
    }
    uint32_t repeat = 0, value = 0;
    if (sym == 16) {
      if (i == 0 || !in.take(2, &repeat)) return Status::kBadData;
      value = lengths[i - 1];
      repeat += 3;
    } else if (sym == 17) {
      if (!in.take(3, &repeat)) return Status::kBadData;
      repeat += 3;
    } else {
      if (!in.take(7, &repeat)) return Status::kBadData;
      repeat += 11;
    }
    if (repeat > total - i) return Status::kBadData;
    while (repeat--) lengths[i++] = uint8_t(value);
  }
  Huffman lit, dist;
  if (!lit.build(lengths, hlit) || !dist.build(lengths + hlit, hdist)) return Status::kBadData;
  return inflate_codes(in, out, lit, dist);
}

}  // namespace

Result inflate(std::span<uint8_t> out_span, std::span<const uint8_t> in_span) {
  BitReader in(in_span);
  Output out(out_span);
  for (;;) {
    uint32_t final_block, type;
    if (!in.take(1, &final_block) || !in.take(2, &type)) return {Status::kBadData, out.produced()};
    Status s;
    switch (type) {
      case 0: s = inflate_stored(in, out); break;
      case 1: s = inflate_codes(in, out, fixed_tables().lit, fixed_tables().dist); break;
      case 2: s = inflate_dynamic(in, out); break;
      default: s = Status::kBadBlockType; break;
    }
    if (s != Status::kOk) return {s, out.produced()};
    if (final_block) break;
  }
  size_t n = out.produced();
  return {n <= out_span.size() ? Status::kOk : Status::kOutputTooSmall, n};
}

}  // namespace kiv::compression
