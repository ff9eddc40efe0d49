#include "runtime/host/blockcomp.h"

#include <algorithm>

namespace kiv::lz {
namespace {

constexpr size_t kMinMatch = 3;
constexpr size_t kMaxMatch = 566;
constexpr size_t kWindow = 262144;  // farthest distance the code can express
constexpr size_t kFarShortMatch = 65536;  // a 3-byte match beyond this costs more than literals
constexpr size_t kHash3Size = 1u << 19;
constexpr size_t kHash4Size = 1u << 20;
constexpr size_t kChainSize = 1u << 18;
constexpr int kChainTries = 256;
constexpr int32_t kNone = -1;

uint32_t load_le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void store_le32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = uint8_t(v >> (8 * i));
}

class BitWriter {
 public:
  explicit BitWriter(std::vector<uint8_t>& out) : out_(out) {}
  void put(uint32_t bits, unsigned n) {
    buf_ |= uint64_t(bits) << count_;
    count_ += n;
    while (count_ >= 8) {
      out_.push_back(uint8_t(buf_));
      buf_ >>= 8;
      count_ -= 8;
    }
  }
  void pad_to_byte() {
    if (count_ > 0) out_.push_back(uint8_t(buf_));
    buf_ = 0;
    count_ = 0;
  }

 private:
  std::vector<uint8_t>& out_;
  uint64_t buf_ = 0;
  unsigned count_ = 0;
};

void put_length(BitWriter& w, uint32_t n) {
  if (n < 4) w.put(1 | n << 1, 3);             // 1, 2 bits
  else if (n < 8) w.put(2 | (n - 4) << 2, 4);  // 0 1, 2 bits
  else if (n < 12) w.put(4 | (n - 8) << 3, 5);
  else if (n < 20) w.put(8 | (n - 12) << 4, 7);
  else if (n < 52) w.put(16 | (n - 20) << 5, 10);
  else w.put((n - 52) << 5, 14);  // 0 0 0 0 0, 9 bits
}

void put_distance(BitWriter& w, uint32_t d) {
  unsigned j = 2;
  while (d >= (1u << (j + 1))) j++;
  w.put(j - 2, 4);
  if (j == 2) w.put(d, 3);
  else w.put(d - (1u << j), j);
}

// Hash tables of one block: the last position of each 3-byte and 4-byte
// hash, and a chain from each position to the previous one with its 4-byte
// hash (indexed modulo the window, so links older than the window are stale).
struct MatchFinder {
  std::vector<int32_t> head3 = std::vector<int32_t>(kHash3Size);
  std::vector<int32_t> head4 = std::vector<int32_t>(kHash4Size);
  std::vector<int32_t> chain = std::vector<int32_t>(kChainSize);
  const uint8_t* block = nullptr;
  size_t length = 0;

  void reset(const uint8_t* b, size_t n) {
    block = b;
    length = n;
    std::fill(head3.begin(), head3.end(), kNone);
    std::fill(head4.begin(), head4.end(), kNone);
  }
  uint32_t hash3(size_t i) const {
    return ((uint32_t(block[i]) << 14) + (uint32_t(block[i + 1]) << 7) + block[i + 2]) &
           (kHash3Size - 1);
  }
  uint32_t hash4(size_t i) const {
    return ((uint32_t(block[i]) << 15) + (uint32_t(block[i + 1]) << 10) +
            (uint32_t(block[i + 2]) << 5) + block[i + 3]) &
           (kHash4Size - 1);
  }
  void insert(size_t i) {
    if (i + 3 <= length) head3[hash3(i)] = int32_t(i);
    if (i + 4 <= length) {
      uint32_t h = hash4(i);
      chain[i & (kChainSize - 1)] = head4[h];
      head4[h] = int32_t(i);
    }
  }

  // A candidate replaces the best only when it is longer by more than the
  // cost of its extra distance: one for every factor of 8 that
  // (distance / 16) stands above the best distance.
  void consider(size_t i, size_t c, size_t limit, size_t& best_len, size_t& best_dist) const {
    if (best_len > 0 && block[c + best_len] != block[i + best_len]) return;
    size_t len = 0;
    while (len < limit && block[c + len] == block[i + len]) len++;
    const size_t dist = i - c;
    size_t cost = 0;
    for (size_t x = dist / 16; x > best_dist; x /= 8) cost++;
    if (len > best_len + cost) {
      best_len = len;
      best_dist = dist;
    }
  }

  void longest_match(size_t i, size_t& best_len, size_t& best_dist) const {
    best_len = best_dist = 0;
    const size_t limit = std::min(kMaxMatch, length - i);
    if (limit < kMinMatch) return;
    int32_t c = head3[hash3(i)];
    if (c != kNone && i - size_t(c) <= kWindow) consider(i, size_t(c), limit, best_len, best_dist);
    if (best_len >= limit || i + 4 > length) return;
    c = head4[hash4(i)];
    for (int tries = kChainTries; tries > 0 && c != kNone && i - size_t(c) <= kWindow; tries--) {
      consider(i, size_t(c), limit, best_len, best_dist);
      if (best_len >= limit) return;
      int32_t next = chain[size_t(c) & (kChainSize - 1)];
      if (next >= c) return;
      c = next;
    }
  }
};

// Reads one block's bit stream; false once the stream would read past its
// end.
class BitReader {
 public:
  BitReader(const uint8_t* p, const uint8_t* end) : p_(p), end_(end) {}
  bool take(unsigned n, uint32_t* v) {
    while (count_ < n) {
      if (p_ == end_) return false;
      buf_ |= uint64_t(*p_++) << count_;
      count_ += 8;
    }
    *v = uint32_t(buf_ & ((uint64_t(1) << n) - 1));
    buf_ >>= n;
    count_ -= n;
    return true;
  }
  // Position after the last byte any bit was taken from.
  const uint8_t* position() const { return p_; }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
  uint64_t buf_ = 0;
  unsigned count_ = 0;
};

bool read_length(BitReader& r, uint32_t* n) {
  static constexpr struct {
    uint32_t base;
    unsigned bits;
  } kClasses[] = {{0, 2}, {4, 2}, {8, 2}, {12, 3}, {20, 5}};
  uint32_t bit;
  for (const auto& c : kClasses) {
    if (!r.take(1, &bit)) return false;
    if (bit) {
      if (!r.take(c.bits, n)) return false;
      *n += c.base;
      return true;
    }
  }
  if (!r.take(9, n)) return false;
  *n += 52;
  return true;
}

bool read_distance(BitReader& r, uint32_t* d) {
  uint32_t j;
  if (!r.take(4, &j)) return false;
  j += 2;
  if (j == 2) return r.take(3, d);
  if (!r.take(j, d)) return false;
  *d += 1u << j;
  return true;
}

// Decodes one block of `length` bytes, appending to `out`.
bool decode_block(BitReader& r, size_t length, std::vector<uint8_t>& out) {
  const size_t start = out.size();
  while (out.size() - start < length) {
    uint32_t bit, v;
    if (!r.take(1, &bit)) return false;
    if (!bit) {
      if (!r.take(8, &v)) return false;
      out.push_back(uint8_t(v));
      continue;
    }
    uint32_t n, d;
    if (!read_length(r, &n) || !read_distance(r, &d)) return false;
    const size_t done = out.size() - start;
    if (d >= done || n + kMinMatch > length - done) return false;
    // One byte at a time: the copy may overlap its own output.
    size_t from = out.size() - d - 1;
    for (size_t k = 0; k < n + kMinMatch; k++) out.push_back(out[from + k]);
  }
  return true;
}

}  // namespace

std::optional<std::vector<uint8_t>> compress(std::span<const uint8_t> source) {
  const size_t n = source.size();
  if (n < kMinInput || n > UINT32_MAX) return std::nullopt;
  std::vector<uint8_t> out(kHeadBytes);
  out.reserve(n);
  MatchFinder finder;
  for (size_t block_start = 0; block_start < n; block_start += kMaxBlock) {
    const size_t length = std::min(kMaxBlock, n - block_start);
    out.resize(out.size() + 4);
    store_le32(&out[out.size() - 4], uint32_t(length));
    finder.reset(source.data() + block_start, length);
    BitWriter w(out);
    const uint8_t* block = finder.block;
    for (size_t i = 0; i < length;) {
      size_t len, dist;
      finder.longest_match(i, len, dist);
      if (len == kMinMatch && dist > kFarShortMatch) len = 0;
      size_t consumed;
      if (len < kMinMatch) {
        w.put(uint32_t(block[i]) << 1, 9);  // bit 0, then the byte
        consumed = 1;
      } else {
        w.put(1, 1);
        put_length(w, uint32_t(len - kMinMatch));
        put_distance(w, uint32_t(dist - 1));
        consumed = len;
      }
      for (size_t k = 0; k < consumed; k++) finder.insert(i + k);
      i += consumed;
      if (out.size() > n) return std::nullopt;
    }
    w.pad_to_byte();
    if (out.size() > n) return std::nullopt;
  }
  store_le32(&out[0], uint32_t(out.size() - kHeadBytes));
  store_le32(&out[4], uint32_t(n));
  return out;
}

std::optional<std::vector<uint8_t>> decompress(std::span<const uint8_t> packed) {
  if (packed.size() < kHeadBytes) return std::nullopt;
  const size_t p = load_le32(&packed[0]);
  const size_t u = load_le32(&packed[4]);
  if (p > packed.size() - kHeadBytes || u > p * kMaxExpansion) return std::nullopt;

  std::vector<uint8_t> out;
  out.reserve(u);
  const uint8_t* pos = packed.data() + kHeadBytes;
  const uint8_t* end = pos + p;
  while (pos < end) {
    if (end - pos < 4) return std::nullopt;
    const size_t length = load_le32(pos);
    pos += 4;
    if (length < 1 || length > kMaxBlock || length > u - out.size()) return std::nullopt;
    BitReader r(pos, end);
    if (!decode_block(r, length, out)) return std::nullopt;
    pos = r.position();
  }
  if (out.size() != u) return std::nullopt;
  return out;
}

}  // namespace kiv::lz
