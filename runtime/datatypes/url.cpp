#include "runtime/datatypes/url.h"

#include <vector>

#include "runtime/collector.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/string_actions.h"
#include "runtime/datatypes/word.h"
#include "runtime/eval/actions.h"
#include "runtime/eval/lexer.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/unicode.h"

namespace kiv::url {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// The value of a hexadecimal digit, or -1.
int hex_value(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool alnum_q(uint32_t c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The escaped byte at p (p[0] == '%' and two hexadecimal digits), or -1.
int escaped_byte(const uint8_t* p, const uint8_t* end) {
  if (end - p < 3 || p[0] != '%') return -1;
  int hi = hex_value(p[1]), lo = hex_value(p[2]);
  return hi < 0 || lo < 0 ? -1 : hi * 16 + lo;
}

// Forms a value into the string (a char! directly).
void form_into(Cell* out, Cell* value) {
  if (TYPE_OF(value) == TYPE_CHAR) {
    string::append_char(out, value->data2);
    return;
  }
  Cell v = *value;
  dispatch_form(&v, out, nullptr, kNoPartLimit);
}

// make/to url! from a block: scheme "://" host [":" port] then "/" (or "#"
// before an issue!) and each further value, all formed.
Cell* from_block(Cell* type, Cell* spec) {
  Cell blk = *spec;
  uint32_t node = blk.data2;
  int32_t total = static_cast<int32_t>(node_buffer(node)->length());
  int32_t head = static_cast<int32_t>(blk.data1);
  if (head < 0) head = 0;
  if (head >= total) fire(ErrorCategory::kScript, "bad-to-arg", datatype_cell(TYPE_URL), *spec);
  RootedCell made;
  string::init_cell(made.get(), 32);
  set_type(made.get(), TYPE_URL);
  for (int32_t i = head; i < static_cast<int32_t>(node_buffer(node)->length()); ++i) {
    Cell element = *(node_buffer(node)->head_cell() + i);  // fetched afresh: forming allocates
    int32_t k = i - head;
    if (k == 1) {
      string::append_text(made.get(), "://");
    } else if (k == 2 && TYPE_OF(&element) == TYPE_INTEGER) {
      string::append_char(made.get(), ':');
    } else if (k >= 2) {
      string::append_char(made.get(), TYPE_OF(&element) == TYPE_ISSUE ? '#' : '/');
    }
    form_into(made.get(), &element);
  }
  if (total - head == 1) string::append_text(made.get(), "://");
  *type = *made.get();
  return type;
}

// scheme:text, its percent escapes decoded (no string escapes).
int load_token(lexer::Lexer& lx, const lexer::Token& t, bool load) {
  if (t.end <= t.start) return TYPE_URL;
  if (t.start[0] == ':') return TYPE_GET_WORD;
  if (t.start[0] == '\'') return TYPE_LIT_WORD;
  if (!load) return lexer::kLexOk;
  RootedCell made;
  string::init_cell(made.get(), static_cast<int32_t>(t.end - t.start));
  decode_percent_bytes(t.start, static_cast<size_t>(t.end - t.start), made.get());
  set_type(made.get(), TYPE_URL);
  lexer::store_value(lx, *made.get());
  return lexer::kLexOk;
}

bool block_spec_q(uint32_t type) { return type == TYPE_BLOCK || type == TYPE_PAREN || type == TYPE_HASH; }

}  // namespace

bool unescaped_q(uint32_t c, Table table) {
  if (alnum_q(c)) return true;
  switch (c) {
    case '-':
    case '.':
    case '_':
    case '~':
      return true;
    case '!':
    case '#':
    case '$':
    case '&':
    case '\'':
    case '(':
    case ')':
    case '*':
    case '+':
    case ',':
    case '/':
    case ':':
    case '=':
    case '?':
    case '@':
      return table == Table::kUrl;
    default:
      return false;
  }
}

std::string utf8_text(const Cell* string) {
  Cell s = *string;
  int32_t n = string::length(&s);
  std::string out;
  out.reserve(static_cast<size_t>(n));
  const uint8_t* p = string::head_pointer(&s);
  uint32_t u = string::unit_of(&s);
  uint8_t bytes[4];
  for (int32_t i = 0; i < n; ++i) {
    int len = encode_utf8_char(static_cast<int32_t>(string::get_char(p + static_cast<size_t>(i) * u, u)), bytes);
    out.append(reinterpret_cast<const char*>(bytes), static_cast<size_t>(len));
  }
  return out;
}

int32_t encode_percent(const Cell* text, Cell* output, Table table, int32_t limit) {
  std::string bytes = utf8_text(text);
  std::string out;
  out.reserve(bytes.size());
  for (unsigned char b : bytes) {
    if (b < 128 && unescaped_q(b, table)) {
      out.push_back(static_cast<char>(b));
    } else {
      out.push_back('%');
      out.push_back(kHexDigits[b >> 4]);
      out.push_back(kHexDigits[b & 15]);
    }
    if (limit >= 0 && static_cast<int64_t>(out.size()) >= limit) {
      out.resize(static_cast<size_t>(limit));
      break;
    }
  }
  string::append_text(output, out);
  return static_cast<int32_t>(out.size());
}

void decode_percent_bytes(const uint8_t* p, size_t length, Cell* output) {
  const uint8_t* end = p + length;
  std::vector<uint32_t> cps;
  cps.reserve(length);
  while (p < end) {
    int b = escaped_byte(p, end);
    if (b >= 0) {
      int n = utf8_lead_length(static_cast<uint8_t>(b));
      if (n >= 2) {
        uint8_t seq[4] = {static_cast<uint8_t>(b), 0, 0, 0};
        bool all_escaped = true;
        for (int k = 1; k < n && all_escaped; ++k) {
          int next = escaped_byte(p + 3 * k, end);
          if (next < 0) all_escaped = false;
          else seq[k] = static_cast<uint8_t>(next);
        }
        if (all_escaped) {
          size_t available = static_cast<size_t>(n);
          int32_t cp = decode_utf8_sequence(seq, &available);
          if (cp >= 0 && available == static_cast<size_t>(n)) {
            cps.push_back(static_cast<uint32_t>(cp));
            p += 3 * n;
            continue;
          }
        }
      }
      cps.push_back(static_cast<uint32_t>(b));
      p += 3;
      continue;
    }
    size_t available = static_cast<size_t>(end - p);
    int32_t cp = decode_utf8_sequence(p, &available);
    if (cp < 0) {
      cps.push_back(*p++);
    } else {
      cps.push_back(static_cast<uint32_t>(cp));
      p += available;
    }
  }
  string::append_chars(output, cps.data(), cps.size());
}

void decode_percent(const Cell* text, Cell* output) {
  std::string bytes = utf8_text(text);
  decode_percent_bytes(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), output);
}

Cell* push(const Cell* url) { return stack::push_copy(url); }

// ---------------------------------------------------------------------------
// Handlers.

Cell* make(Cell* type, Cell* spec) {
  if (target_type(type) == TYPE_URL && block_spec_q(TYPE_OF(spec))) return from_block(type, spec);
  return string::make(type, spec);
}

Cell* to(Cell* type, Cell* spec) {
  if (target_type(type) == TYPE_URL && block_spec_q(TYPE_OF(spec))) return from_block(type, spec);
  return string::to(type, spec);
}

int32_t mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* part, int32_t limit, int32_t) {
  Cell v = *value;
  return limit - encode_percent(&v, buffer, Table::kUrl, part ? limit : -1);
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell*, Cell*, int32_t, bool, bool, bool,
                bool) {
  if (value) fire(ErrorCategory::kScript, "bad-path-set", path ? *path : *parent, *element);
  RootedCell el(*element);
  if (TYPE_OF(el.get()) == TYPE_GET_WORD) {
    Cell* got = word::get(el.get());
    el = *got;
    stack::drop_cells(1);
  }
  RootedCell made;
  {
    Cell p = *parent;
    int32_t head = static_cast<int32_t>(p.data1);
    int32_t total = string::length_whole(&p);
    if (head < 0) head = 0;
    if (head > total) head = total;
    SeriesBuffer* copy = copy_series_part(p.data2, static_cast<uint32_t>(head), static_cast<uint32_t>(total - head));
    *made.get() = Cell{TYPE_OF(&p), 0, copy->node, 0};
  }
  RootedCell formed;
  string::init_cell(formed.get(), 16);
  form_into(formed.get(), el.get());
  int32_t len = string::length(made.get());
  bool trailing = len > 0 && string::char_at_index(made.get(), len - 1) == '/';
  bool leading = string::length(formed.get()) > 0 && string::char_at_index(formed.get(), 0) == '/';
  if (trailing && leading) formed.get()->data1 = 1;
  else if (!trailing && !leading) string::append_char(made.get(), '/');
  string::append_string(made.get(), formed.get());
  *parent = *made.get();
  return parent;
}

// The host services (HTTP, ports) are not part of this runtime yet: the I/O
// actions refuse clearly rather than answer something wrong.
Cell* open(Cell*, bool, bool, bool, bool, Cell*) { fire(ErrorCategory::kInternal, "not-done"); }

Cell* read(Cell*, Cell*, Cell*, bool, bool, bool, Cell*) { fire(ErrorCategory::kInternal, "not-done"); }

Cell* write(Cell*, Cell*, bool, bool, bool, bool, Cell*, Cell*, Cell*, Cell*) {
  fire(ErrorCategory::kInternal, "not-done");
}

void init() {
  static const HandlerEntry row[] = {
      own<ACT_MAKE>(make),
      kNone<ACT_RANDOM>,
      kNone<ACT_REFLECT>,
      own<ACT_TO>(to),
      kInherit<ACT_FORM>,
      own<ACT_MOLD>(mold),
      own<ACT_EVAL_PATH>(eval_path),
      kNone<ACT_EMPTY_8>,
      kInherit<ACT_COMPARE>,
      kNone<ACT_ABSOLUTE>,
      kNone<ACT_ADD>,
      kNone<ACT_DIVIDE>,
      kNone<ACT_MULTIPLY>,
      kNone<ACT_NEGATE>,
      kNone<ACT_POWER>,
      kNone<ACT_REMAINDER>,
      kNone<ACT_ROUND>,
      kNone<ACT_SUBTRACT>,
      kNone<ACT_EVEN_Q>,
      kNone<ACT_ODD_Q>,
      kNone<ACT_AND_T>,
      kNone<ACT_COMPLEMENT>,
      kNone<ACT_OR_T>,
      kNone<ACT_XOR_T>,
      kInherit<ACT_APPEND>,
      kInherit<ACT_AT>,
      kInherit<ACT_BACK>,
      kInherit<ACT_CHANGE>,
      kInherit<ACT_CLEAR>,
      kInherit<ACT_COPY>,
      kInherit<ACT_FIND>,
      kInherit<ACT_HEAD>,
      kInherit<ACT_HEAD_Q>,
      kInherit<ACT_INDEX_Q>,
      kInherit<ACT_INSERT>,
      kInherit<ACT_LENGTH_Q>,
      kInherit<ACT_MOVE>,
      kInherit<ACT_NEXT>,
      kInherit<ACT_PICK>,
      kInherit<ACT_POKE>,
      kNone<ACT_PUT>,
      kInherit<ACT_REMOVE>,
      kInherit<ACT_REVERSE>,
      kInherit<ACT_SELECT>,
      kNone<ACT_SORT>,
      kInherit<ACT_SKIP>,
      kInherit<ACT_SWAP>,
      kInherit<ACT_TAIL>,
      kInherit<ACT_TAIL_Q>,
      kInherit<ACT_TAKE>,
      kNone<ACT_TRIM>,
      kNone<ACT_CREATE>,
      kNone<ACT_CLOSE>,
      kNone<ACT_DELETE>,
      kInherit<ACT_MODIFY>,
      own<ACT_OPEN>(open),
      kNone<ACT_OPEN_Q>,
      kNone<ACT_QUERY>,
      own<ACT_READ>(read),
      kNone<ACT_RENAME>,
      kNone<ACT_UPDATE>,
      own<ACT_WRITE>(write),
  };
  datatype::register_type(TYPE_URL, TYPE_STRING, "url!", row);
  lexer::default_loaders()[lexer::kFinalUrl] = load_token;
}

}  // namespace kiv::url
