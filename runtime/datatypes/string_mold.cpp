// string!: form, mold, the escaping of single characters, and comparison.
#include <string>
#include <vector>

#include "runtime/case_fold.h"
#include "runtime/datatypes/bitset.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/actions.h"
#include "runtime/series.h"

namespace kiv::string {

namespace {

// Molding a range of more than this many line feeds, or holding a double
// quote, or a string this long, takes braces instead of double quotes.
constexpr int32_t kBraceLineFeeds = 3;
constexpr int32_t kBraceLength = 50;

// The character written after "^" for code points 0-94; 0 for none. 0x1E has
// no entry: it is written by the hexadecimal rule.
constexpr char kEscapes[95] = {
    '@', 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', '-', '/', 'K', 'L', 'M', 'N', 'O',   // 0x00-0x0F
    'P', 'Q', 'R', 'S', 'T', 'U', 'V', 'W', 'X', 'Y', 'Z', '[', '\\', ']', 0, '_',  // 0x10-0x1F
    0,   0,   '"', 0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,    // 0x20-0x2F
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,    // 0x30-0x3F
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,    // 0x40-0x4F
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   '^',      // 0x50-0x5E
};

void push_ascii(std::u32string& out, const char* s) {
  while (*s) out.push_back(static_cast<unsigned char>(*s++));
}

void escape_into(std::u32string& out, uint32_t cp, bool all) {
  if (cp == 0x1E || (cp >= 0x80 && cp <= 0x9F) || (all && cp > 127)) {
    push_ascii(out, "^(");
    push_ascii(out, integer_to_hex(static_cast<int32_t>(cp), true));
    out.push_back(')');
  } else if (cp < 95 && kEscapes[cp] != 0) {
    out.push_back('^');
    out.push_back(static_cast<unsigned char>(kEscapes[cp]));
  } else if (cp == 127) {
    push_ascii(out, "^~");
  } else {
    out.push_back(cp);
  }
}

inline void append_u32(Cell* buffer, const std::u32string& s) {
  append_chars(buffer, reinterpret_cast<const uint32_t*>(s.data()), s.size());
}

// A string view of a value read as text: string kinds as they are, a symbol!
// entry through its cached text from index 0.
inline Cell text_cell(const Cell* value) {
  if (TYPE_OF(value) == TYPE_SYMBOL) return Cell{TYPE_STRING, 0, value->data2, 0};
  return *value;
}

inline bool ordering_folds(int32_t op) { return op != COMP_STRICT_EQUAL && op != COMP_CASE_SORT; }

}  // namespace

// ---------------------------------------------------------------------------
// Form and mold.

int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit) {
  Cell v = *value;  // the handler's own copy: `value` may alias the output
  int32_t n = length(&v);
  if (part != nullptr && limit >= 0 && limit < n) n = limit;
  concat(buffer, &v, n, 0, true, kConcatAppend);
  return limit - n;
}

void escape_char(Cell* buffer, uint32_t code_point, bool all) {
  std::u32string out;
  escape_into(out, code_point, all);
  append_u32(buffer, out);
}

void count_quotes_lines(const uint8_t* start, const uint8_t* end, uint32_t unit, int32_t* quotes,
                        int32_t* line_feeds) {
  int32_t q = 0, lf = 0;
  for (const uint8_t* p = start; p < end; p += unit) {
    uint32_t c = get_char(p, unit);
    if (c == '"') ++q;
    else if (c == '\n') ++lf;
  }
  *quotes = q;
  *line_feeds = lf;
}

bool braces_balanced_q(const uint8_t* start, const uint8_t* end, uint32_t unit) {
  int32_t depth = 0;
  for (const uint8_t* p = start; p < end; p += unit) {
    uint32_t c = get_char(p, unit);
    if (c == '{') {
      ++depth;
    } else if (c == '}') {
      if (depth == 1) return true;
      --depth;
    }
  }
  return false;
}

namespace {

// Index of the first "{" in cps that finds no matching "}" before the end, or
// cps.size() when every "{" is matched. A "{" is matched exactly when the
// walk of braces_balanced_q from it succeeds, which is ordinary bracket
// matching; the unmatched ones are those left open at the end, and the first
// of them is the one that opened the last run that never closed. One pass,
// where testing every "{" by its own walk would be quadratic.
size_t first_unmatched_brace(const std::vector<uint32_t>& cps) {
  size_t open_at = cps.size();
  int64_t depth = 0;
  for (size_t i = 0; i < cps.size(); ++i) {
    if (cps[i] == '{') {
      if (depth == 0) open_at = i;
      ++depth;
    } else if (cps[i] == '}' && depth > 0) {
      --depth;
    }
  }
  return depth > 0 ? open_at : cps.size();
}

}  // namespace

int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent) {
  Cell v = *value;
  int32_t len = length(&v);
  int32_t n = len;
  if (part != nullptr && limit >= 0 && limit < n) n = limit;
  std::vector<uint32_t> cps = head_chars(&v, n);  // the output may grow and move it

  int32_t quotes = 0, line_feeds = 0;
  for (uint32_t c : cps) {
    if (c == '"') ++quotes;
    else if (c == '\n') ++line_feeds;
  }
  bool braces = line_feeds >= kBraceLineFeeds || quotes > 0 || len >= kBraceLength;

  std::u32string out;
  out.reserve(cps.size() + 2);
  if (!braces) {
    out.push_back('"');
    for (uint32_t c : cps) escape_into(out, c, flags.all);
    out.push_back('"');
  } else {
    out.push_back('{');
    size_t unmatched = first_unmatched_brace(cps);
    int32_t depth = 0;
    for (size_t i = 0; i < cps.size(); ++i) {
      uint32_t c = cps[i];
      switch (c) {
        case '{':
          // Braces stay plain up to the first one without a match; from there
          // on every "{" is escaped.
          if (i < unmatched) {
            ++depth;
            out.push_back('{');
          } else {
            push_ascii(out, "^{");
          }
          break;
        case '}':
          if (depth < 1) {
            push_ascii(out, "^}");
          } else {
            --depth;
            out.push_back('}');
          }
          break;
        case '"':
          out.push_back('"');
          break;
        case '^':
          push_ascii(out, "^^");
          break;
        default:
          escape_into(out, c, flags.all);
      }
    }
    out.push_back('}');
  }
  append_u32(buffer, out);
  return limit - n - 2;
}

// ---------------------------------------------------------------------------
// Comparison.

int32_t compare_worker(Cell* value1, Cell* value2, int32_t op, bool match) {
  Cell a = text_cell(value1), b = text_cell(value2);
  int32_t len1 = (a.data2 != 0) ? length(&a) : 0;
  int32_t len2 = (b.data2 != 0) ? length(&b) : 0;
  bool same_place = a.data2 == b.data2 && a.data1 == b.data1;

  if (op == COMP_SAME) return same_place ? 0 : -1;
  if (same_place && (op == COMP_EQUAL || op == COMP_NOT_EQUAL || op == COMP_STRICT_EQUAL || op == COMP_FIND))
    return 0;

  int32_t n;
  if (match) {
    if (len2 == 0) return op == COMP_FIND ? 1 : 0;
    if (len1 < len2) return 1;
    n = len2;
  } else {
    bool equality = op == COMP_EQUAL || op == COMP_NOT_EQUAL || op == COMP_STRICT_EQUAL || op == COMP_FIND;
    if (len1 != len2 && equality) return 1;
    if (len1 == 0 && len2 == 0) return 0;
    if (len2 == 0) return 1;
    n = len1 < len2 ? len1 : len2;
  }

  if (n == 0) return match ? 0 : (len1 < len2 ? -1 : (len1 > len2 ? 1 : 0));
  bool fold = ordering_folds(op);
  HeldPtr<const uint8_t> p1 = head_pointer(&a);
  HeldPtr<const uint8_t> p2 = head_pointer(&b);
  uint32_t u1 = unit_of(&a), u2 = unit_of(&b);
  for (int32_t i = 0; i < n; ++i) {
    int32_t c1 = static_cast<int32_t>(get_char(p1 + static_cast<size_t>(i) * u1, u1));
    int32_t c2 = static_cast<int32_t>(get_char(p2 + static_cast<size_t>(i) * u2, u2));
    if (fold) {
      c1 = fold_case(c1);
      c2 = fold_case(c2);
    }
    if (c1 != c2) return c1 > c2 ? 1 : -1;
  }
  if (match) return 0;
  return len1 < len2 ? -1 : (len1 > len2 ? 1 : 0);
}

int32_t compare(Cell* value1, Cell* value2, int32_t op) {
  if (TYPE_OF(value1) != TYPE_OF(value2)) {
    if (!any_string_q(TYPE_OF(value2)) || (op != COMP_EQUAL && op != COMP_NOT_EQUAL)) return kNotComparable;
  }
  return compare_worker(value1, value2, op, false);
}

bool head_in_bitset_q(Cell* string, const Cell* bitset) {
  if (at_tail_q(string)) return false;
  return bitset::member_q(bitset, get_char(head_pointer(string), unit_of(string)));
}

bool angle_delimited_q(Cell* input, Cell* tag, int32_t position) {
  int32_t total = length_whole(input);
  int32_t tag_len = length(tag);
  int64_t close = static_cast<int64_t>(position) + 1 + tag_len;
  if (position < 0 || close >= total) return false;
  return char_at_index(input, position) == '<' && char_at_index(input, static_cast<int32_t>(close)) == '>';
}

bool match_head(Cell* input, int32_t position, Cell* rule, int32_t op) {
  uint32_t type = TYPE_OF(rule);
  if (type == TYPE_CHAR) {
    if (position < 0 || position >= length_whole(input)) return false;
    int32_t c = static_cast<int32_t>(char_at_index(input, position));
    int32_t want = static_cast<int32_t>(rule->data2);
    if (op == COMP_STRICT_EQUAL) return c == want;
    return fold_case(c) == fold_case(want);
  }
  if (type == TYPE_TAG) {
    if (!angle_delimited_q(input, rule, position)) return false;
    Cell at = *input;
    at.data1 = static_cast<uint32_t>(position + 1);
    return compare_worker(&at, rule, op, true) == 0;
  }
  if (any_string_q(type)) {
    Cell at = *input;
    at.data1 = static_cast<uint32_t>(position < 0 ? 0 : position);
    return compare_worker(&at, rule, op, true) == 0;
  }
  return false;
}

}  // namespace kiv::string
