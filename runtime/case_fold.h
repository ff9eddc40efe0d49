// Case folding: the upper- and lower-case form of every code point, by the
// simple one-to-one case mappings of the Unicode Character Database (one code
// point always maps to one code point; tables in case_fold_tables.h, made by
// tools/gen_case_fold.py).
//
// Case-insensitive comparison of text and the hashing of text must agree, or
// equal keys would miss each other in a hash table: both go through
// fold_case, which maps to upper case.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kiv {

// The tables are constant data built at compile time; this start-up step only
// marks the place in the initialisation order and does nothing.
void init_case_folding();

// The code point's upper case (upper true) or lower case (upper false); a
// code point without a mapping, including anything outside 0..0x10FFFF, maps
// to itself.
int32_t case_map_char(int32_t code_point, bool upper);

// The one folding used by every case-insensitive comparison, search and hash
// of text: two code points are equal ignoring case when their folds are
// equal. (Sorting the characters of a string ignoring case orders them by
// their lower case instead; see string sort.)
int32_t fold_case(int32_t code_point);

}  // namespace kiv
