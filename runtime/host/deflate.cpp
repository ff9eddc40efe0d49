// The DEFLATE compressor: one final block with the fixed Huffman code.
//
// Matches are found through a small hash of recent match starts: 1,024
// buckets of 4 positions, no history beyond the input itself. The first three
// bytes are always literals and no match starts in the last two bytes.
#include "runtime/host/deflate.h"

#include <array>

#include "runtime/ascii.h"

namespace kiv::compression {
namespace {

constexpr size_t kBuckets = 1024;
constexpr size_t kSlotsPerBucket = 4;
constexpr size_t kMinMatch = 3;
constexpr size_t kMaxMatch = 258;
constexpr size_t kWindow = 32768;
constexpr uint32_t kEndOfBlock = 256;

// Writes bits least significant first. A byte is stored only while it lies
// inside the buffer, but the count always advances, so that the final count
// is the size a large enough buffer needs.
class BitWriter {
 public:
  explicit BitWriter(std::span<uint8_t> out) : out_(out) {}

  void put(uint32_t bits, unsigned n) {
    buf_ |= uint64_t(bits) << count_;
    count_ += n;
    while (count_ >= 8) {
      emit(uint8_t(buf_));
      buf_ >>= 8;
      count_ -= 8;
    }
  }

  // Pads the last byte with zero bits; answers the total byte count.
  size_t finish() {
    if (count_ > 0) emit(uint8_t(buf_));
    buf_ = 0;
    count_ = 0;
    return pos_;
  }

 private:
  void emit(uint8_t b) {
    if (pos_ < out_.size()) out_[pos_] = b;
    pos_++;
  }

  std::span<uint8_t> out_;
  size_t pos_ = 0;
  uint64_t buf_ = 0;
  unsigned count_ = 0;
};

uint32_t reverse_bits(uint32_t code, unsigned n) {
  uint32_t r = 0;
  for (unsigned i = 0; i < n; i++) r |= ((code >> i) & 1) << (n - 1 - i);
  return r;
}

// The fixed literal/length code, bit-reversed because Huffman codes are sent
// most significant bit first while the writer packs least significant first.
struct FixedCode {
  std::array<uint16_t, 288> code{};
  std::array<uint8_t, 288> length{};
  FixedCode() {
    for (uint32_t s = 0; s < 288; s++) {
      uint32_t c;
      unsigned n;
      if (s < 144) c = 0x30 + s, n = 8;
      else if (s < 256) c = 0x190 + (s - 144), n = 9;
      else if (s < 280) c = s - 256, n = 7;
      else c = 0xC0 + (s - 280), n = 8;
      code[s] = uint16_t(reverse_bits(c, n));
      length[s] = uint8_t(n);
    }
  }
};

const FixedCode& fixed_code() {
  static const FixedCode table;
  return table;
}

unsigned floor_log2(uint32_t v) { return 31 - unsigned(__builtin_clz(v)); }

void put_symbol(BitWriter& w, uint32_t sym) {
  const FixedCode& f = fixed_code();
  w.put(f.code[sym], f.length[sym]);
}

// Length 3-258 as symbol 257-285 with its extra bits.
void put_length(BitWriter& w, uint32_t len) {
  if (len == kMaxMatch) return put_symbol(w, 285);
  uint32_t v = len - kMinMatch;
  if (v < 8) return put_symbol(w, 257 + v);
  unsigned nb = floor_log2(v);
  put_symbol(w, 257 + 4 * (nb - 1) + ((v >> (nb - 2)) & 3));
  w.put(v & ((1u << (nb - 2)) - 1), nb - 2);
}

// Distance 1-32768: a 5-bit fixed distance code and its extra bits.
void put_distance(BitWriter& w, uint32_t dist) {
  uint32_t v = dist - 1;
  if (v < 4) return w.put(reverse_bits(v, 5), 5);
  unsigned nb = floor_log2(v);
  w.put(reverse_bits(2 * nb + ((v >> (nb - 1)) & 1), 5), 5);
  w.put(v & ((1u << (nb - 1)) - 1), nb - 1);
}

// The next three bytes as one number; bytes past the end count as 0.
uint32_t three_bytes(std::span<const uint8_t> in, size_t pos) {
  uint32_t x = 0;
  for (size_t k = 0; k < 3; k++) x = x << 8 | (pos + k < in.size() ? in[pos + k] : 0);
  return x;
}

uint32_t bucket_of(uint32_t x) {
  x ^= x >> 16;
  x *= 0x7FEB352Du;
  x ^= x >> 15;
  x *= 0x846CA68Bu;
  x ^= x >> 16;
  return x & (kBuckets - 1);
}

Result run(Method method, std::span<uint8_t> out, std::span<const uint8_t> in, bool packing) {
  switch (method) {
    case Method::kZlib: return packing ? zlib_compress(out, in) : zlib_decompress(out, in);
    case Method::kGzip: return packing ? gzip_compress(out, in) : gzip_decompress(out, in);
    case Method::kDeflate: break;
  }
  return packing ? deflate(out, in) : inflate(out, in);
}

// Runs the method into a buffer of `capacity` bytes, retrying once with the
// size it asks for.
Outcome run_twice(Method method, std::span<const uint8_t> in, size_t capacity, bool packing) {
  std::vector<uint8_t> out(capacity);
  Result r = run(method, out, in, packing);
  if (r.status == Status::kOutputTooSmall) {
    out.assign(r.size, 0);
    r = run(method, out, in, packing);
  }
  if (r.status != Status::kOk) return {r.status, {}};
  out.resize(r.size);
  return {Status::kOk, std::move(out)};
}

}  // namespace

Result deflate(std::span<uint8_t> out, std::span<const uint8_t> in) {
  BitWriter w(out);
  w.put(1, 1);  // BFINAL
  w.put(1, 2);  // BTYPE 01: fixed Huffman

  // Slot value 0 means empty: position 0 is never a match source.
  std::vector<std::array<uint32_t, kSlotsPerBucket>> table(kBuckets);
  const size_t n = in.size();
  size_t pos = 0;
  uint32_t here = three_bytes(in, 0);
  while (pos < n) {
    auto& bucket = table[bucket_of(here)];
    size_t len = 0, source = 0;
    if (pos >= kMinMatch && pos + kMinMatch <= n) {
      for (uint32_t p : bucket) {
        // p < pos, so its three bytes lie inside the input.
        if (p != 0 && p < pos && pos < p + kWindow &&
            (uint32_t(in[p]) << 16 | uint32_t(in[p + 1]) << 8 | in[p + 2]) == here) {
          source = p;
          len = kMinMatch;
          while (len < kMaxMatch && pos + len < n && in[p + len] == in[pos + len]) len++;
          break;
        }
      }
    }
    const size_t start = pos;
    if (len) {
      put_length(w, uint32_t(len));
      put_distance(w, uint32_t(pos - source));
      pos += len;
    } else {
      put_symbol(w, in[pos]);
      pos += 1;
    }
    const uint32_t next = three_bytes(in, pos);
    bucket[((next >> 14) - next) & 3] = uint32_t(start);
    here = next;
  }
  put_symbol(w, kEndOfBlock);
  size_t size = w.finish();
  return {size <= out.size() ? Status::kOk : Status::kOutputTooSmall, size};
}

std::optional<Method> method_from_word(std::string_view word) {
  if (ascii_iequal(word, "zlib")) return Method::kZlib;
  if (ascii_iequal(word, "deflate")) return Method::kDeflate;
  if (ascii_iequal(word, "gzip")) return Method::kGzip;
  return std::nullopt;
}

Outcome compress(Method method, std::span<const uint8_t> in) {
  constexpr size_t kSlack = 32;
  return run_twice(method, in, in.size() + kSlack, true);
}

Result decompress_size(Method method, std::span<const uint8_t> in, std::optional<size_t> expected_size) {
  const size_t most = in.size() * kMaxInflateRatio;
  if (expected_size) return {Status::kOk, *expected_size < most ? *expected_size : most};
  Result measured = run(method, {}, in, false);
  if (measured.status == Status::kOutputTooSmall) return {Status::kOk, measured.size};
  return measured;
}

Result decompress_into(Method method, std::span<uint8_t> out, std::span<const uint8_t> in) {
  return run(method, out, in, false);
}

Outcome decompress(Method method, std::span<const uint8_t> in, std::optional<size_t> expected_size) {
  Result size = decompress_size(method, in, expected_size);
  if (size.status != Status::kOk) return {size.status, {}};
  if (size.size == 0 && !expected_size) return {Status::kOk, {}};
  return run_twice(method, in, size.size, false);
}

}  // namespace kiv::compression
