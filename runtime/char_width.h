// Display width of a code point in columns (0, 1 or 2), from range tables
// generated out of the Unicode Character Database (tools/gen_char_width.py).
#pragma once

#include <cstddef>
#include <cstdint>

namespace kiv {

// Sorted tables of (low, high) pairs, bounds included; *RangeWords counts
// 32-bit words, two per range.
extern const uint32_t kWideEmojiRanges[];
extern const size_t kWideEmojiRangeWords;
extern const uint32_t kCombiningRanges[];
extern const size_t kCombiningRangeWords;
extern const uint32_t kWideRanges[];
extern const size_t kWideRangeWords;

// True when value lies in one of the table's ranges.
bool in_ranges_q(uint32_t value, const uint32_t* table, size_t words);

// 2 for emoji shown in presentation form; 0 for NUL; 1 for the other C0 and
// C1 controls and DEL; 0 for combining and format characters; 2 for East
// Asian wide and fullwidth characters; 1 for everything else.
int char_width(uint32_t cp);

}  // namespace kiv
