#include "runtime/datatypes/url.h"

#include <optional>
#include <vector>

#include "runtime/collector.h"
#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/eval_hooks.h"
#include "runtime/datatypes/port.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/string_actions.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/datatypes/actions.h"
#include "runtime/eval/lexer.h"
#include "runtime/host/http.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/type_traits.h"
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

bool block_spec_q(uint32_t type) { return type_in_group(type, kGroupAnyList); }

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
  HeldPtr<const uint8_t> p = string::head_pointer(&s);
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

int32_t mold(Cell* value, Cell* buffer, MoldFlags, Cell* part, int32_t limit, int32_t) {
  Cell v = *value;
  // The scheme (up to the first colon) holds only what the lexer takes in a
  // word; a character from 128 there is written as it is, since its escape
  // would read back as a file! or not at all. The rest is escaped as usual.
  std::string bytes = utf8_text(&v);
  size_t colon = bytes.find(':');
  bool raw_scheme = false;
  for (size_t i = 0; colon != std::string::npos && i < colon; ++i)
    if (static_cast<unsigned char>(bytes[i]) >= 128) raw_scheme = true;
  if (!raw_scheme) return limit - encode_percent(&v, buffer, Table::kUrl, part ? limit : -1);
  int32_t scheme_chars = 0;
  std::string scheme;
  size_t cut = 0;
  while (cut < colon && (!part || scheme_chars < limit)) {
    auto b = static_cast<unsigned char>(bytes[cut]);
    if (b >= 128) {
      do scheme.push_back(bytes[cut++]);
      while (cut < colon && (static_cast<unsigned char>(bytes[cut]) & 0xC0) == 0x80);
      ++scheme_chars;
    } else if (unescaped_q(b, Table::kUrl)) {
      scheme.push_back(static_cast<char>(b));
      ++scheme_chars;
      ++cut;
    } else {
      for (char c : {'%', kHexDigits[b >> 4], kHexDigits[b & 15]}) {
        if (part && scheme_chars >= limit) break;
        scheme.push_back(c);
        ++scheme_chars;
      }
      ++cut;
    }
  }
  string::append_utf8(buffer, scheme);
  if (cut < colon) return limit - scheme_chars;
  Cell rest;
  string::init_cell(&rest, 0);
  RootedCell keep(rest);
  string::append_utf8(keep.get(), std::string_view(bytes).substr(colon));
  return limit - scheme_chars - encode_percent(keep.get(), buffer, Table::kUrl, part ? limit - scheme_chars : -1);
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell*, Cell*, int32_t, PathFlags) {
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

// ---------------------------------------------------------------------------
// I/O: http and https through the host's HTTP layer (runtime/host/http.h);
// other schemes go through a port made on the url.

namespace {

bool http_q(const Cell* url) {
  std::string text = utf8_text(url);
  if (text.size() < 4) return false;
  for (int i = 0; i < 4; ++i)
    if ((text[static_cast<size_t>(i)] | 0x20) != "http"[i]) return false;
  return true;
}

// Text of a header name or value: a word's spelling, a string's text, any
// other value formed.
std::string header_text(const Cell* value) {
  uint32_t t = TYPE_OF(value);
  if (t >= TYPE_WORD && t <= TYPE_GET_WORD) return std::string(symbol::utf8_of(value->data2));
  if (string::any_string_q(t)) return utf8_text(value);
  Cell* formed = form_to_string(value, 0);
  std::string text = utf8_text(formed);
  stack::drop_cells(1);
  return text;
}

// Body text of a reply: UTF-8 (an invalid byte read as the replacement
// character, as the reply cannot be asked for again), line ends made LF.
Cell* push_reply_text(const uint8_t* bytes, size_t n) {
  std::string text(reinterpret_cast<const char*>(bytes), n);
  std::string normal;
  normal.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    if (text[i] == '\r') {
      normal.push_back('\n');
      if (i + 1 < n && text[i + 1] == '\n') ++i;
    } else {
      normal.push_back(text[i]);
    }
  }
  Cell* made = stack::push_new_cell();
  string::init_cell(made, static_cast<int32_t>(normal.size()));
  string::append_utf8(made, normal);
  return made;
}

Cell* push_reply_body(const std::string& body, bool binary, bool lines) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(body.data());
  if (binary) {
    Cell* made = stack::push_new_cell();
    binary::load(bytes, body.size(), made);
    return made;
  }
  Cell* text = push_reply_text(bytes, body.size());
  if (!lines) return text;
  std::string normal = utf8_text(text);
  Cell* block = stack::push_new_cell();
  block::init_cell(block, 16);
  size_t start = 0;
  while (start < normal.size()) {
    size_t end = normal.find('\n', start);
    if (end == std::string::npos) end = normal.size();
    Cell* line = stack::push_new_cell();
    string::init_cell(line, static_cast<int32_t>(end - start));
    string::append_utf8(line, std::string_view(normal).substr(start, end - start));
    block::append_cell(block, line);
    stack::drop_cells(1);
    start = end + 1;
  }
  return block;
}

// The reply's headers as a map! of words: a name met more than once holds a
// block of its values, in order.
Cell* push_header_map(const std::string& header_text) {
  io::HeaderList headers = io::parse_reply_headers(header_text);
  Cell* spec = stack::push_new_cell();
  block::init_cell(spec, static_cast<int32_t>(2 * headers.size()));
  for (size_t i = 0; i < headers.size(); ++i) {
    const std::string& name = headers[i].first;
    bool seen = false;
    for (size_t k = 0; k < i && !seen; ++k) seen = headers[k].first == name;
    if (seen) continue;
    std::vector<size_t> same;
    for (size_t k = i; k < headers.size(); ++k)
      if (headers[k].first == name) same.push_back(k);
    Cell key = word::load(name);
    block::append_cell(spec, &key);
    if (same.size() == 1) {
      Cell* value = stack::push_new_cell();
      string::init_cell(value, static_cast<int32_t>(headers[i].second.size()));
      string::append_utf8(value, headers[i].second);
      block::append_cell(spec, value);
      stack::drop_cells(1);
      continue;
    }
    Cell* values = stack::push_new_cell();
    block::init_cell(values, static_cast<int32_t>(same.size()));
    for (size_t k : same) {
      Cell* value = stack::push_new_cell();
      string::init_cell(value, static_cast<int32_t>(headers[k].second.size()));
      string::append_utf8(value, headers[k].second);
      block::append_cell(values, value);
      stack::drop_cells(1);
    }
    block::append_cell(spec, values);
    stack::drop_cells(1);
  }
  Cell* type = stack::push_new_cell();
  *type = datatype_cell(TYPE_MAP);
  return dispatch_make(type, spec);
}

// Makes the request; none (the request could not be made) raises
// access/no-connect with the url.
Cell* request(Cell* url, const io::HttpRequest& http, bool binary, bool lines, bool info) {
  std::optional<io::HttpReply> reply = io::request_http(http);
  if (!reply) fire(ErrorCategory::kAccess, "no-connect", *url);
  if (!info) return push_reply_body(reply->body, binary, lines);
  Cell* result = stack::push_new_cell();
  block::init_cell(result, 3);
  Cell status{TYPE_INTEGER, 0, static_cast<uint32_t>(static_cast<int32_t>(reply->status)), 0};
  block::append_cell(result, &status);
  Cell* headers = push_header_map(reply->header_text);
  block::append_cell(result, headers);
  stack::drop_cells(1);
  Cell* body = push_reply_body(reply->body, binary, lines);
  block::append_cell(result, body);
  stack::drop_cells(1);
  return result;
}

std::string method_text(const Cell* word) {
  std::string text(symbol::utf8_of(word->data2));
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

std::optional<std::string> body_of(Cell* data) {
  switch (TYPE_OF(data)) {
    case TYPE_NONE:
      return std::nullopt;
    case TYPE_STRING:
      return utf8_text(data);
    case TYPE_BINARY: {
      std::vector<uint8_t> bytes = binary::bytes_of(data);
      return std::string(bytes.begin(), bytes.end());
    }
    default:
      fire(ErrorCategory::kScript, "invalid-arg", *data);
  }
}

}  // namespace

namespace {

// The port of a url: url-parser/parse-url, called in a function frame of
// its own, splits the url into the spec object the port is made from. A
// parser that answers anything but an object! (none for an invalid url)
// raises script invalid-arg with the url; a url-parser word that a script
// set to something else raises script no-value naming what is missing.
Cell* port_of(Cell* url) {
  Cell parser_name = word::load("url-parser");
  Cell parse_name = word::load("parse-url");
  Cell* parser = _context::global_value_cell(parser_name.data2);
  if (TYPE_OF(parser) != TYPE_OBJECT) fire(ErrorCategory::kScript, "no-value", parser_name);
  int32_t i = _context::find_symbol(parser->data1, parse_name.data2, true);
  Cell* fn = i < 0 ? nullptr : _context::value_at(parser->data1, static_cast<uint32_t>(i));
  if (!fn || TYPE_OF(fn) != TYPE_FUNCTION) fire(ErrorCategory::kScript, "no-value", parse_name);
  Cell function = *fn;
  Cell argument = *url;
  Cell* spec = stack::push_new_cell();
  eval_hooks::call_function(&function, &argument, 1, &parse_name, 0, spec);
  if (TYPE_OF(spec) != TYPE_OBJECT) fire(ErrorCategory::kScript, "invalid-arg", *url);
  return port::make_from_spec(spec);
}

}  // namespace

// A port on the url, opened with the refinements.
Cell* open(Cell* url, bool new_, bool read, bool write, bool seek, Cell* allow) {
  Cell* port = port_of(url);
  return dispatch_open(port, new_, read, write, seek, allow);
}

// An http or https url is fetched with GET; the body comes as a string!
// (line ends made LF), a binary! or a block! of lines, and with /info as
// [status headers body].
// Any other scheme is read through a port on the url.
Cell* read(Cell* source, Cell* part, Cell* seek, bool binary, bool lines, bool info, Cell* as) {
  if (!http_q(source)) return dispatch_read(port_of(source), part, seek, binary, lines, info, as);
  if (part || seek || as) fire(ErrorCategory::kInternal, "not-done");
  io::HttpRequest http;
  http.url = utf8_text(source);
  return request(source, http, binary, lines, info);
}

// Data of any type but a block is the body of a POST with the default
// headers; a block is [method [headers] body]: an empty one makes a GET.
// Any other scheme is written through a port on the url.
Cell* write(Cell* destination, Cell* data, bool binary, bool lines, bool info, bool append, Cell* part,
            Cell* seek, Cell* allow, Cell* as) {
  if (!http_q(destination))
    return dispatch_write(port_of(destination), data, binary, lines, info, append, part, seek, allow, as);
  if (seek || allow || as) fire(ErrorCategory::kInternal, "not-done");
  io::HttpRequest http;
  http.url = utf8_text(destination);
  if (TYPE_OF(data) != TYPE_BLOCK) {
    http.method = "POST";
    http.body = body_of(data);
    return request(destination, http, false, false, info);
  }
  int32_t n = block::rs_length_q(data);
  if (n > 0) {
    Cell* method = block::cell_at(data, 0);
    if (TYPE_OF(method) != TYPE_WORD) fire(ErrorCategory::kScript, "invalid-arg", *method);
    http.method = method_text(method);
  }
  if (n > 1) {
    // Cells are copied out before anything that may allocate moves the
    // blocks' buffers; data, on the stack, keeps them alive.
    Cell headers = *block::cell_at(data, 1);
    if (TYPE_OF(&headers) != TYPE_BLOCK) fire(ErrorCategory::kScript, "invalid-arg", headers);
    io::HeaderList list;
    int32_t count = block::rs_length_q(&headers);
    for (int32_t i = 0; i + 1 < count; i += 2) {
      Cell name = *block::cell_at(&headers, i);
      std::string name_text = header_text(&name);
      Cell value = *block::cell_at(&headers, i + 1);
      list.emplace_back(std::move(name_text), header_text(&value));
    }
    http.headers = std::move(list);
  }
  if (n > 2) {
    Cell* body = stack::push_copy(block::cell_at(data, 2));
    http.body = body_of(body);
    stack::drop_cells(1);
  }
  return request(destination, http, false, false, info);
}

void init() {
  datatype::register_type(TYPE_URL, TYPE_STRING, "url!", {
      own<ACT_MAKE>(make), refuse<ACT_RANDOM>, refuse<ACT_REFLECT>, own<ACT_TO>(to),
      own<ACT_MOLD>(mold), own<ACT_EVAL_PATH>(eval_path), refuse<ACT_SORT>, refuse<ACT_TRIM>,
      own<ACT_OPEN>(open), own<ACT_READ>(read), own<ACT_WRITE>(write),
  });
  lexer::default_loaders()[lexer::kFinalUrl] = load_token;
}

}  // namespace kiv::url
