#include "runtime/char_width.h"

namespace kiv {

bool in_ranges_q(uint32_t value, const uint32_t* table, size_t words) {
  if (words < 2 || value < table[0] || value > table[words - 1]) return false;
  // Binary search over the pairs: the last pair whose low bound is <= value.
  size_t lo = 0, hi = words / 2;
  while (hi - lo > 1) {
    size_t mid = (lo + hi) / 2;
    if (table[2 * mid] <= value) lo = mid;
    else hi = mid;
  }
  return value <= table[2 * lo + 1];
}

int char_width(uint32_t cp) {
  if (in_ranges_q(cp, kWideEmojiRanges, kWideEmojiRangeWords)) return 2;
  if (cp == 0) return 0;
  if (cp < 32 || (cp >= 127 && cp < 160)) return 1;
  if (in_ranges_q(cp, kCombiningRanges, kCombiningRangeWords)) return 0;
  if (in_ranges_q(cp, kWideRanges, kWideRangeWords)) return 2;
  return 1;
}

}  // namespace kiv
