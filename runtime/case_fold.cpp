#include "runtime/case_fold.h"

#include <algorithm>
#include <array>

#include "runtime/case_fold_tables.h"
#include "runtime/series.h"
#include "runtime/support.h"

namespace kiv {

namespace {

using case_fold_tables::CasePair;

constexpr int kBmpSize = 0x10000;

// Entry 0 means "maps to itself"; anything else is the mapped code point.
using BmpTable = std::array<uint32_t, kBmpSize>;

template <size_t N>
constexpr BmpTable build_bmp_table(const CasePair (&pairs)[N]) {
  BmpTable table{};
  for (const CasePair& p : pairs) table[p.code_point] = static_cast<uint32_t>(p.mapped);
  return table;
}

constinit const BmpTable kUpperTable = build_bmp_table(case_fold_tables::kUpperBmp);
constinit const BmpTable kLowerTable = build_bmp_table(case_fold_tables::kLowerBmp);

template <size_t N>
int32_t map_astral(const CasePair (&pairs)[N], int32_t cp) {
  if (cp < pairs[0].code_point || cp > pairs[N - 1].code_point) return cp;
  const CasePair* it = std::lower_bound(pairs, pairs + N, cp,
                                        [](const CasePair& p, int32_t c) { return p.code_point < c; });
  return (it != pairs + N && it->code_point == cp) ? it->mapped : cp;
}

}  // namespace

void init_case_folding() {}

int32_t case_map_char(int32_t code_point, bool upper) {
  if (code_point >= 0 && code_point < kBmpSize) {
    uint32_t mapped = (upper ? kUpperTable : kLowerTable)[code_point];
    return mapped ? static_cast<int32_t>(mapped) : code_point;
  }
  return upper ? map_astral(case_fold_tables::kUpperAstral, code_point)
               : map_astral(case_fold_tables::kLowerAstral, code_point);
}

int32_t fold_case(int32_t code_point) { return case_map_char(code_point, true); }

}  // namespace kiv
