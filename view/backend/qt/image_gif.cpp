// GIF encoding (our own: Qt writes no GIF). One frame, a global palette, an
// optional transparent entry for pixels whose alpha is below 128, LZW codes of
// 3 to 12 bits. Images of at most 256 colours keep them exactly; others go
// through a median-cut quantiser over colours reduced to 5 bits a component.
#include <algorithm>
#include <array>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "view/backend/qt/image_backend.h"

namespace kiv::image_backend {

namespace {

constexpr uint32_t kMaxColours = 256;
constexpr uint32_t kTransparentBelow = 128;

inline bool transparent_q(uint32_t p) { return (p >> 24) < kTransparentBelow; }
inline uint32_t rgb_of(uint32_t p) { return p & 0xFFFFFF; }
inline uint32_t reduced(uint32_t rgb) { return (rgb >> 9 & 0x7C00) | (rgb >> 6 & 0x3E0) | (rgb >> 3 & 0x1F); }

// A box of the reduced colour cube for median cut: its buckets, and their
// pixel count.
struct Box {
  std::vector<uint16_t> buckets;
  uint64_t pixels = 0;
};

struct Histogram {
  std::vector<uint32_t> count = std::vector<uint32_t>(32768);
  std::vector<std::array<uint64_t, 3>> sum = std::vector<std::array<uint64_t, 3>>(32768);
};

int component(uint16_t bucket, int c) { return bucket >> (10 - 5 * c) & 0x1F; }

// Splits boxes until there are `wanted` or none can be split; answers the
// average colour of each box.
std::vector<uint32_t> median_cut(const Histogram& h, uint32_t wanted) {
  std::vector<Box> boxes(1);
  for (uint32_t b = 0; b < 32768; ++b) {
    if (!h.count[b]) continue;
    boxes[0].buckets.push_back(static_cast<uint16_t>(b));
    boxes[0].pixels += h.count[b];
  }
  while (boxes.size() < wanted) {
    // The box with the widest component range, weighted by its pixels.
    int best = -1, axis = 0;
    uint64_t best_score = 0;
    for (size_t i = 0; i < boxes.size(); ++i) {
      if (boxes[i].buckets.size() < 2) continue;
      for (int c = 0; c < 3; ++c) {
        int lo = 31, hi = 0;
        for (uint16_t b : boxes[i].buckets) {
          lo = std::min(lo, component(b, c));
          hi = std::max(hi, component(b, c));
        }
        uint64_t score = uint64_t(hi - lo) * (boxes[i].pixels + 1);
        if (score > best_score) best_score = score, best = static_cast<int>(i), axis = c;
      }
    }
    if (best < 0) break;
    Box& box = boxes[static_cast<size_t>(best)];
    std::sort(box.buckets.begin(), box.buckets.end(),
              [axis](uint16_t a, uint16_t b) { return component(a, axis) < component(b, axis); });
    // The split point: half the pixels on each side, at least one bucket each.
    uint64_t half = box.pixels / 2, seen = 0;
    size_t cut = 1;
    for (; cut < box.buckets.size() - 1; ++cut) {
      seen += h.count[box.buckets[cut - 1]];
      if (seen >= half) break;
    }
    Box upper;
    upper.buckets.assign(box.buckets.begin() + static_cast<long>(cut), box.buckets.end());
    box.buckets.resize(cut);
    box.pixels = 0;
    for (uint16_t b : box.buckets) box.pixels += h.count[b];
    for (uint16_t b : upper.buckets) upper.pixels += h.count[b];
    boxes.push_back(std::move(upper));
  }
  std::vector<uint32_t> palette;
  for (const Box& box : boxes) {
    uint64_t s[3] = {0, 0, 0}, n = 0;
    for (uint16_t b : box.buckets) {
      for (int c = 0; c < 3; ++c) s[c] += h.sum[b][c];
      n += h.count[b];
    }
    if (!n) continue;
    uint32_t rgb = 0;
    for (int c = 0; c < 3; ++c) rgb = rgb << 8 | static_cast<uint32_t>((s[c] + n / 2) / n);
    palette.push_back(rgb);
  }
  return palette;
}

uint32_t nearest(const std::vector<uint32_t>& palette, size_t first, uint32_t rgb) {
  uint32_t best = static_cast<uint32_t>(first);
  int64_t best_d = INT64_MAX;
  for (size_t i = first; i < palette.size(); ++i) {
    int64_t d = 0;
    for (int shift = 0; shift <= 16; shift += 8) {
      int64_t e = int64_t(rgb >> shift & 0xFF) - int64_t(palette[i] >> shift & 0xFF);
      d += e * e;
    }
    if (d < best_d) best_d = d, best = static_cast<uint32_t>(i);
  }
  return best;
}

class BitWriter {
 public:
  explicit BitWriter(std::vector<uint8_t>* out) : out_(out) {}
  void put(uint32_t code, int bits) {
    acc_ |= code << used_;
    used_ += bits;
    while (used_ >= 8) {
      byte(static_cast<uint8_t>(acc_));
      acc_ >>= 8;
      used_ -= 8;
    }
  }
  void finish() {
    if (used_ > 0) byte(static_cast<uint8_t>(acc_));
    if (fill_) flush_block();
    out_->push_back(0);  // block terminator
  }

 private:
  void byte(uint8_t b) {
    block_[fill_++] = b;
    if (fill_ == 255) flush_block();
  }
  void flush_block() {
    out_->push_back(static_cast<uint8_t>(fill_));
    out_->insert(out_->end(), block_, block_ + fill_);
    fill_ = 0;
  }
  std::vector<uint8_t>* out_;
  uint32_t acc_ = 0;
  int used_ = 0;
  uint8_t block_[255];
  size_t fill_ = 0;
};

void lzw(const std::vector<uint8_t>& indexes, int min_size, std::vector<uint8_t>* out) {
  constexpr uint32_t kMaxCode = 4096;
  constexpr size_t kSlots = 8192;  // open addressing over (prefix, byte)
  const uint32_t clear = 1u << min_size, end = clear + 1;
  std::vector<uint32_t> keys(kSlots), values(kSlots);
  BitWriter w(out);
  int size = min_size + 1;
  uint32_t next = clear + 2;
  auto reset = [&] {
    std::fill(keys.begin(), keys.end(), 0);
    size = min_size + 1;
    next = clear + 2;
  };
  w.put(clear, size);
  uint32_t prefix = indexes[0];
  for (size_t i = 1; i < indexes.size(); ++i) {
    uint32_t key = (prefix << 8 | indexes[i]) + 1;
    size_t slot = (key * 2654435761u) >> 19 & (kSlots - 1);
    while (keys[slot] && keys[slot] != key) slot = (slot + 1) & (kSlots - 1);
    if (keys[slot]) {
      prefix = values[slot];
      continue;
    }
    w.put(prefix, size);
    if (next < kMaxCode) {
      keys[slot] = key;
      values[slot] = next++;
      // The decoder adds its entries one code later, so it widens when our
      // count passes a power of two.
      if (next > (1u << size) && size < 12) ++size;
    } else {
      w.put(clear, size);
      reset();
    }
    prefix = indexes[i];
  }
  w.put(prefix, size);
  w.put(end, size);
  w.finish();
}

}  // namespace

void encode_gif(const Bitmap& bitmap, std::vector<uint8_t>* out) {
  const size_t n = bitmap.count();
  bool any_transparent = false;
  std::unordered_map<uint32_t, uint32_t> exact;
  bool few = true;
  for (size_t i = 0; i < n; ++i) {
    uint32_t p = bitmap.pixels[i];
    if (transparent_q(p)) {
      any_transparent = true;
      continue;
    }
    if (few && exact.emplace(rgb_of(p), 0).second && exact.size() > kMaxColours) few = false;
  }
  size_t first = any_transparent ? 1 : 0;  // entry 0 is the transparent one
  if (few && exact.size() + first > kMaxColours) few = false;
  std::vector<uint32_t> palette(first, 0);
  std::vector<uint8_t> indexes(n);
  if (few) {
    std::vector<uint32_t> colours;
    for (const auto& [rgb, unused] : exact) colours.push_back(rgb);
    std::sort(colours.begin(), colours.end());
    for (uint32_t rgb : colours) {
      exact[rgb] = static_cast<uint32_t>(palette.size());
      palette.push_back(rgb);
    }
    for (size_t i = 0; i < n; ++i) {
      uint32_t p = bitmap.pixels[i];
      indexes[i] = static_cast<uint8_t>(transparent_q(p) ? 0 : exact[rgb_of(p)]);
    }
  } else {
    Histogram h;
    for (size_t i = 0; i < n; ++i) {
      uint32_t p = bitmap.pixels[i];
      if (transparent_q(p)) continue;
      uint32_t b = reduced(p);
      ++h.count[b];
      h.sum[b][0] += p >> 16 & 0xFF;
      h.sum[b][1] += p >> 8 & 0xFF;
      h.sum[b][2] += p & 0xFF;
    }
    std::vector<uint32_t> colours = median_cut(h, static_cast<uint32_t>(kMaxColours - first));
    palette.insert(palette.end(), colours.begin(), colours.end());
    // Each pixel to the entry nearest its own colour, remembered per colour.
    std::unordered_map<uint32_t, uint8_t> memo;
    for (size_t i = 0; i < n; ++i) {
      uint32_t p = bitmap.pixels[i];
      if (transparent_q(p)) {
        indexes[i] = 0;
        continue;
      }
      auto [it, added] = memo.emplace(rgb_of(p), 0);
      if (added) it->second = static_cast<uint8_t>(nearest(palette, first, rgb_of(p)));
      indexes[i] = it->second;
    }
  }
  int bits = 1;
  while ((1u << bits) < palette.size()) ++bits;
  palette.resize(size_t{1} << bits, 0);
  int min_size = std::max(bits, 2);

  out->clear();
  const char* signature = "GIF89a";
  out->insert(out->end(), signature, signature + 6);
  auto put16 = [out](uint32_t v) {
    out->push_back(static_cast<uint8_t>(v));
    out->push_back(static_cast<uint8_t>(v >> 8));
  };
  put16(bitmap.width);
  put16(bitmap.height);
  out->push_back(static_cast<uint8_t>(0x80 | (bits - 1) << 4 | (bits - 1)));  // global table of 2^bits
  out->push_back(0);  // background entry
  out->push_back(0);  // no aspect ratio
  for (uint32_t rgb : palette) {
    out->push_back(static_cast<uint8_t>(rgb >> 16));
    out->push_back(static_cast<uint8_t>(rgb >> 8));
    out->push_back(static_cast<uint8_t>(rgb));
  }
  if (any_transparent) {
    const uint8_t control[] = {0x21, 0xF9, 4, 0x01, 0, 0, 0, 0};  // transparent entry 0
    out->insert(out->end(), control, control + sizeof control);
  }
  out->push_back(0x2C);
  put16(0);
  put16(0);
  put16(bitmap.width);
  put16(bitmap.height);
  out->push_back(0);  // no local table, not interlaced
  out->push_back(static_cast<uint8_t>(min_size));
  lzw(indexes, min_size, out);
  out->push_back(0x3B);
}

}  // namespace kiv::image_backend
