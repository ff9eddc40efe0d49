// ASCII text helpers for words that name methods and options (checksum
// methods, compression methods): only A-Z and a-z meet without case.
#pragma once

#include <cstddef>
#include <string_view>

namespace kiv {

// Whether the two texts are equal with ASCII letters compared without case.
inline bool ascii_iequal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = char(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = char(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace kiv
