// Routines of the text codecs (library/json.kiv): the one piece of the JSON
// reader that works below the grammar, decoding the escapes of a string body.
#include "library/codec_routines.h"

#include <cstdint>
#include <vector>

#include "runtime/datatypes/routine.h"
#include "runtime/datatypes/string.h"
#include "runtime/stack.h"
#include "runtime/support.h"

namespace kiv::library {
namespace {

constexpr uint32_t kHighSurrogateFirst = 0xD800;
constexpr uint32_t kLowSurrogateFirst = 0xDC00;
constexpr uint32_t kLowSurrogateLast = 0xDFFF;

int hex_value(uint32_t c) {
  if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
  if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
  return -1;
}

// The value of four hex digits at in[at]; -1 when they are short or bad.
int32_t hex4(const std::vector<uint32_t>& in, size_t at) {
  if (at + 4 > in.size()) return -1;
  int32_t v = 0;
  for (size_t i = at; i < at + 4; ++i) {
    int d = hex_value(in[i]);
    if (d < 0) return -1;
    v = v * 16 + d;
  }
  return v;
}

// Decodes JSON escapes; false for a malformed escape. A surrogate must come
// as a high and low pair: a lone one of either kind has no code point a
// string can hold, so it is refused too.
bool decode_escapes(const std::vector<uint32_t>& in, std::vector<uint32_t>& out) {
  out.reserve(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    uint32_t c = in[i];
    if (c != '\\') {
      out.push_back(c);
      continue;
    }
    if (++i >= in.size()) return false;
    switch (in[i]) {
      case '"': case '\\': case '/': out.push_back(in[i]); break;
      case 'b': out.push_back(0x08); break;
      case 'f': out.push_back(0x0C); break;
      case 'n': out.push_back(0x0A); break;
      case 'r': out.push_back(0x0D); break;
      case 't': out.push_back(0x09); break;
      case 'u': {
        int32_t high = hex4(in, i + 1);
        if (high < 0) return false;
        i += 4;
        uint32_t code = static_cast<uint32_t>(high);
        if (code >= kLowSurrogateFirst && code <= kLowSurrogateLast) return false;
        if (code >= kHighSurrogateFirst && code < kLowSurrogateFirst) {
          if (i + 2 >= in.size() || in[i + 1] != '\\' || in[i + 2] != 'u') return false;
          int32_t low = hex4(in, i + 3);
          if (low < static_cast<int32_t>(kLowSurrogateFirst) || low > static_cast<int32_t>(kLowSurrogateLast))
            return false;
          i += 6;
          code = 0x10000 + ((code - kHighSurrogateFirst) << 10) + (static_cast<uint32_t>(low) - kLowSurrogateFirst);
        }
        out.push_back(code);
        break;
      }
      default: return false;
    }
  }
  return true;
}

// json-unescape str: the string's characters from its head with their
// escapes decoded, written back over them; the string is the result.
void json_unescape() {
  Cell* str = stack::arguments();
  int32_t n = string::length(str);
  std::vector<uint32_t> in = string::head_chars(str, n);
  std::vector<uint32_t> out;
  if (!decode_escapes(in, out)) fire(ErrorCategory::kScript, "invalid-data", *str);
  str = stack::arguments();
  string::remove_part(str, string::index_of(str), n);
  string::append_chars(stack::arguments(), out.data(), out.size());
}

}  // namespace

void register_codec_routines() { routine::register_entry("json-unescape", json_unescape); }

}  // namespace kiv::library
