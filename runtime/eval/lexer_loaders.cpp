// The loaders of the word kinds, refinements, integers (decimal and
// hexadecimal), quoted, braced and raw strings, and construction syntax. The
// loaders of the other value tokens are installed by their datatype modules.
#include "runtime/eval/lexer_loaders.h"

#include <cstring>
#include <string>
#include <vector>

#include "runtime/datatypes/context.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/eval/lexer.h"
#include "runtime/float_text.h"
#include "runtime/datatypes/word.h"
#include "runtime/language_error.h"
#include "runtime/series.h"
#include "runtime/stack.h"

namespace kiv::lexer {
namespace {

// The global word of a text, as the given word kind.
Cell global_word(const uint8_t* start, const uint8_t* end, uint32_t type) {
  uint32_t sym = symbol::lookup(reinterpret_cast<const char*>(start), static_cast<size_t>(end - start));
  Cell word = _context::add_global(sym, true, true);
  word.header = type;
  return word;
}

int load_word(Lexer& lx, const Token& t, bool load) {
  if (load) store_value(lx, global_word(t.start, t.end, t.type));
  return kLexOk;
}

// /name; a lone / and // are words.
int load_refinement(Lexer& lx, const Token& t, bool load) {
  size_t n = static_cast<size_t>(t.end - t.start);
  if (n == 0 || t.start[0] != '/') return TYPE_REFINEMENT;
  bool slashes = n == 1 || (n == 2 && t.start[1] == '/');
  if (load) {
    if (slashes) store_value(lx, global_word(t.start, t.end, TYPE_WORD));
    else store_value(lx, global_word(t.start + 1, t.end, TYPE_REFINEMENT));
  }
  return kLexOk;
}

// Decimal integers; more than 10 digits or a value outside the 32-bit range
// make a float! (the exact text -2147483648 stays an integer).
int load_integer(Lexer& lx, const Token& t, bool load) {
  const uint8_t* s = t.start;
  const uint8_t* e = t.end;
  int digits = 0;
  for (const uint8_t* p = s; p < e; ++p) {
    if (*p == '\'' && p + 1 < e && p[1] == '\'') return TYPE_INTEGER;
    if (*p >= '0' && *p <= '9') ++digits;
  }
  int32_t error = 0;
  int32_t value = 0;
  if (digits <= 10) value = scan_integer_text(s, static_cast<int32_t>(e - s), 1, &error);
  if (error == -1) return TYPE_INTEGER;
  if (digits > 10 || error == -2) {
    std::string text;
    for (const uint8_t* p = s; p < e; ++p)
      if (*p != '\'') text.push_back(static_cast<char>(*p));
    ptrdiff_t unread = 0;
    double d = string_to_float(text.data(), text.data() + text.size(), 0, &unread);
    if (unread != 0) return TYPE_FLOAT;
    if (load) {
      Cell c{TYPE_FLOAT, 0, 0, 0};
      set_cell_float(&c, d);
      store_value(lx, c);
    }
    return kLexOk;
  }
  if (load) store_value(lx, Cell{TYPE_INTEGER, 0, static_cast<uint32_t>(value), 0});
  return kLexOk;
}

int hex_digit(uint32_t c) {
  if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
  return -1;
}

// FFh: 2 to 8 hexadecimal digits and h.
int load_hex_integer(Lexer& lx, const Token& t, bool load) {
  size_t n = static_cast<size_t>(t.end - t.start);
  if (n < 1 || (t.end[-1] != 'h' && t.end[-1] != 'H')) return TYPE_WORD;
  size_t digits = n - 1;
  uint32_t value = 0;
  for (size_t i = 0; i < digits; ++i) {
    uint8_t c = t.start[i];
    if (c == '+' || c == '-' || c == '\'') return TYPE_INTEGER;
    int d = hex_digit(c);
    if (d < 0) return TYPE_WORD;
    value = (value << 4) | static_cast<uint32_t>(d);
  }
  if (digits < 2 || digits > 8) return TYPE_INTEGER;
  if (load) store_value(lx, Cell{TYPE_INTEGER, 0, value, 0});
  return kLexOk;
}

// Decodes one UTF-8 character (the lexer has checked the bytes).
uint32_t next_char(const uint8_t*& p, const uint8_t* end) {
  uint32_t c = *p++;
  if (c < 0x80) return c;
  int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : 1;
  c &= 0x3Fu >> extra;
  for (int i = 0; i < extra && p < end; ++i) c = (c << 6) | (*p++ & 0x3Fu);
  return c;
}

bool same_name(const uint8_t* s, size_t n, const char* name) {
  if (std::strlen(name) != n) return false;
  for (size_t i = 0; i < n; ++i) {
    uint8_t c = s[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<uint8_t>(c + 32);
    if (c != static_cast<uint8_t>(name[i])) return false;
  }
  return true;
}

}  // namespace

bool read_escape(const uint8_t*& p, const uint8_t* end, uint32_t* out) {
  if (p >= end) return false;
  uint8_t c = *p;
  switch (c) {
    case '"': *out = '"'; ++p; return true;
    case '-': *out = '\t'; ++p; return true;
    case '/': *out = '\n'; ++p; return true;
    case '^': *out = '^'; ++p; return true;
    case '{': *out = '{'; ++p; return true;
    case '}': *out = '}'; ++p; return true;
    case '~': *out = 127; ++p; return true;
    case '@': *out = 0; ++p; return true;
    case '(': {
      const uint8_t* close = p + 1;
      while (close < end && *close != ')') ++close;
      if (close >= end) return false;
      const uint8_t* s = p + 1;
      size_t n = static_cast<size_t>(close - s);
      static const struct {
        const char* name;
        uint32_t code;
      } names[] = {{"null", 0}, {"back", 8}, {"tab", 9}, {"line", 10}, {"page", 12}, {"esc", 27}, {"del", 127}};
      for (const auto& nm : names) {
        if (same_name(s, n, nm.name)) {
          *out = nm.code;
          p = close + 1;
          return true;
        }
      }
      if (n < 1 || n > 6) return false;
      uint32_t v = 0;
      for (size_t i = 0; i < n; ++i) {
        int d = hex_digit(s[i]);
        if (d < 0) return false;
        v = (v << 4) | static_cast<uint32_t>(d);
      }
      // A surrogate code point is no character: refused as its UTF-8 bytes
      // would be.
      if (v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return false;
      *out = v;
      p = close + 1;
      return true;
    }
    default:
      break;
  }
  if (c >= 'a' && c <= 'z') {
    *out = c - 'a' + 1u;
    ++p;
    return true;
  }
  if (c >= 0x40 && c <= 0x5F) {
    *out = c - 64u;
    ++p;
    return true;
  }
  *out = next_char(p, end);
  return true;
}

namespace {

// Text to code points, escapes processed when asked.
bool decode_text(const uint8_t* s, const uint8_t* e, bool escapes, std::vector<uint32_t>* out) {
  out->clear();
  out->reserve(static_cast<size_t>(e - s));
  const uint8_t* p = s;
  while (p < e) {
    if (escapes && *p == '^') {
      ++p;
      uint32_t c;
      if (!read_escape(p, e, &c)) return false;
      out->push_back(c);
      continue;
    }
    out->push_back(next_char(p, e));
  }
  return true;
}

void store_string(Lexer& lx, const std::vector<uint32_t>& chars, uint32_t type) {
  uint32_t widest = 0;
  for (uint32_t c : chars) widest = c > widest ? c : widest;
  uint32_t unit = widest > 0xFFFF ? 4 : widest > 0xFF ? 2 : 1;
  uint32_t slot = append_value(lx);
  // The cell is built in a local first: the series must be stored before the
  // next allocation, and appending may allocate.
  Cell s;
  string::init_sized(&s, static_cast<int32_t>(chars.size()), unit);
  *cell_at(slot) = s;
  if (!chars.empty()) {
    Cell target = *cell_at(slot);
    string::append_chars(&target, chars.data(), chars.size());
  }
  cell_at(slot)->header = type;
}

// "text" and {text}: the text between the delimiters, with escapes.
int load_string(Lexer& lx, const Token& t, bool load) {
  if (t.end - t.start < 2) return TYPE_STRING;
  std::vector<uint32_t> chars;
  if (!decode_text(t.start + 1, t.end - 1, true, &chars)) return TYPE_STRING;
  if (load) store_string(lx, chars, TYPE_STRING);
  return kLexOk;
}

// %{text}%, %%{text}%%: taken as it is.
int load_raw_string(Lexer& lx, const Token& t, bool load) {
  const uint8_t* s = t.start;
  const uint8_t* e = t.end;
  size_t open = 0;
  while (s + open < e && s[open] == '%') ++open;
  if (open == 0 || s + open >= e || s[open] != '{') return TYPE_STRING;
  size_t close = 0;
  while (close < static_cast<size_t>(e - s) && e[-1 - static_cast<ptrdiff_t>(close)] == '%') ++close;
  if (close != open || e - s < static_cast<ptrdiff_t>(2 * open + 2) || e[-1 - static_cast<ptrdiff_t>(close)] != '}')
    return TYPE_STRING;
  std::vector<uint32_t> chars;
  decode_text(s + open + 1, e - close - 1, false, &chars);
  if (load) store_string(lx, chars, TYPE_STRING);
  return kLexOk;
}

// #(true), #(none), #(integer!) ...
int load_construct(Lexer& lx, const Token& t, bool load) {
  const uint8_t* s = t.start;
  const uint8_t* e = t.end;
  if (e - s < 3 || s[0] != '#' || s[1] != '(' || e[-1] != ')') return kLexMalconstruct;
  const uint8_t* name = s + 2;
  size_t n = static_cast<size_t>(e - 1 - name);
  Cell v;
  if (same_name(name, n, "true")) v = Cell{TYPE_LOGIC, 1, 0, 0};
  else if (same_name(name, n, "false")) v = Cell{TYPE_LOGIC, 0, 0, 0};
  else if (same_name(name, n, "none")) v = Cell{TYPE_NONE, 0, 0, 0};
  else if (same_name(name, n, "unset")) v = Cell{TYPE_UNSET, 0, 0, 0};
  else {
    uint32_t found = 0;
    std::string lower;
    for (uint32_t type = 1; type < kTypeTableSize && !found; ++type) {
      const char* tn = type_name_table[type].name;
      if (!tn) continue;
      std::string low(tn);
      for (char& c : low) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
      if (same_name(name, n, low.c_str())) found = type;
    }
    if (!found) return kLexMalconstruct;
    v = Cell{TYPE_DATATYPE, found, 0, 0};
  }
  if (load) store_value(lx, v);
  return kLexOk;
}

// Runs the lexer on text inside a try frame: a syntax error answers false
// instead of reaching the caller; any other error goes on.
template <typename Body>
bool quietly(Body&& body) {
  stack::FrameGuard guard;
  stack::open_try_frame(nullptr);
  try {
    bool ok = body();
    stack::pop_frame_drop();
    return ok;
  } catch (const LanguageError& e) {
    if (e.category != ErrorCategory::kSyntax) stack::throw_error(e);
    return false;
  }
}

// The one value the whole text loads as (make/to word! from text).
bool load_one_value(const uint8_t* text, size_t length, Cell* out) {
  return quietly([&] {
    LexRequest request;
    request.input = text;
    request.length = length;
    LexResult result = lex_source(request);
    *stack::push_new_cell() = Cell{TYPE_BLOCK, 0, result.block, 0};
    if (series_length(result.block) != 1) return false;
    *out = series_head_cell(result.block)[0];
    return true;
  });
}

// The datatype the text loads as when it is exactly one value, else 0. Scan
// mode checks the text without building values, so datatypes without a
// loader answer too.
uint32_t lex_type_of(const uint8_t* text, size_t length) {
  uint32_t type = 0;
  quietly([&] {
    LexRequest request;
    request.input = text;
    request.length = length;
    request.mode = Mode::kScan;
    LexResult result = lex_source(request);
    if (result.type != TYPE_ERROR && result.consumed == length) type = result.type;
    return true;
  });
  return type;
}

}  // namespace

void install_default_loaders() {
  word::set_text_value_loader(load_one_value);
  symbol::set_lex_type_hook(lex_type_of);
  Loaders& l = default_loaders();
  l[kFinalWord] = load_word;
  l[kFinalRefinement] = load_refinement;
  l[kFinalInteger] = load_integer;
  l[kFinalHexInteger] = load_hex_integer;
  l[kFinalString] = load_string;
  l[kFinalBraceClose] = load_string;
  l[kFinalRawString] = load_raw_string;
  l[kFinalConstruct] = load_construct;
}

}  // namespace kiv::lexer
