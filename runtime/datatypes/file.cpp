#include "runtime/datatypes/file.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/date.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/word.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/url.h"
#include "runtime/collector.h"
#include "runtime/datatypes/actions.h"
#include "runtime/eval/lexer.h"
#include "runtime/host/files.h"
#include "runtime/language_error.h"
#include "runtime/platform.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/unicode.h"

namespace kiv::file {

namespace {

// The characters from the head (at most limit of them when limit >= 0).
std::vector<uint32_t> chars_of(const Cell* value, int32_t limit) {
  Cell v = *value;
  int32_t n = string::length(&v);
  if (limit >= 0 && limit < n) n = limit;
  return string::head_chars(&v, n);
}

// %"name": the quoted part is read exactly as a string literal (escapes and
// all) by a lexer run of its own, inside a try frame so that a malformed
// literal comes back as a failure here rather than a string! error. Answers
// false when the text is no valid string literal.
bool load_quoted(const uint8_t* start, const uint8_t* end, bool load, Cell* out) {
  stack::FrameGuard guard;
  stack::open_try_frame(nullptr);
  try {
    lexer::LexRequest request;
    request.input = start;
    request.length = static_cast<size_t>(end - start);
    request.mode = load ? lexer::Mode::kLoad : lexer::Mode::kScan;
    lexer::LexResult r = lexer::lex_source(request);
    bool ok;
    if (load) {
      ok = series_length(r.block) == 1 && TYPE_OF(series_head_cell(r.block)) == TYPE_STRING;
      if (ok) *out = *series_head_cell(r.block);
    } else {
      ok = r.type == TYPE_STRING && r.consumed == request.length;
    }
    stack::pop_frame_drop();
    return ok;
  } catch (const LanguageError& e) {
    if (e.category != ErrorCategory::kSyntax) stack::throw_error(e);
    return false;
  }
}

// %name (percent escapes decoded) and %"name" (string escapes).
int load_token(lexer::Lexer& lx, const lexer::Token& t, bool load) {
  const uint8_t* s = t.start;
  const uint8_t* e = t.end;
  if (e - s < 1 || *s != '%') return TYPE_FILE;
  ++s;
  RootedCell made;
  if (s < e && *s == '"') {
    if (e - s < 2 || e[-1] != '"') return TYPE_FILE;
    if (!load_quoted(s, e, load, made.get())) return TYPE_FILE;
    if (!load) return lexer::kLexOk;
  } else {
    if (!load) return lexer::kLexOk;
    string::init_cell(made.get(), static_cast<int32_t>(e - s));
    url::decode_percent_bytes(s, static_cast<size_t>(e - s), made.get());
  }
  set_type(made.get(), TYPE_FILE);
  lexer::store_value(lx, *made.get());
  return lexer::kLexOk;
}

}  // namespace

std::string get_current_dir() {
  std::optional<std::string> dir = platform::get_current_dir();
  if (!dir || dir->empty()) return {};
  if (dir->back() != '/') dir->push_back('/');
  return *dir;
}

void to_local_text(Cell* file, Cell* output, bool full) {
  std::vector<uint32_t> name = chars_of(file, -1);
  if (full && (name.empty() || name[0] != '/')) string::append_utf8(output, get_current_dir());
  string::append_chars(output, name.data(), name.size());
}

std::string to_os_path(const Cell* file) { return url::utf8_text(file); }

Cell* push(const Cell* file) { return stack::push_copy(file); }

// ---------------------------------------------------------------------------
// Handlers.

// "%" and the name; a name holding a character below 127 that a url could
// not show unescaped goes between double quotes. The quoted form is read back
// like a string, so a double quote, a caret and control characters in it are
// written as string escapes, and it reads back as the same name.
int32_t mold(Cell* value, Cell* buffer, MoldFlags, Cell* part, int32_t limit, int32_t) {
  std::vector<uint32_t> name = chars_of(value, part ? limit : -1);
  string::append_char(buffer, '%');
  if (name.empty()) {
    string::append_text(buffer, "\"\"");
    return limit - 3;
  }
  bool quoted = false;
  for (uint32_t c : name)
    if (c < 127 && !url::unescaped_q(c, url::Table::kUrl)) quoted = true;
  if (!quoted) {
    string::append_chars(buffer, name.data(), name.size());
    return limit - 1 - static_cast<int32_t>(name.size());
  }
  string::append_char(buffer, '"');
  for (uint32_t c : name) {
    // The lexer ends a quoted file at the first double quote, escaped or not.
    if (c == '"') string::append_text(buffer, "^(22)");
    else string::escape_char(buffer, c, false);
  }
  string::append_char(buffer, '"');
  return limit - 3 - static_cast<int32_t>(name.size());
}

// ---------------------------------------------------------------------------
// I/O through the host file layer (runtime/host/files.h).

namespace {

[[noreturn]] void cannot_open(const Cell* file) { fire(ErrorCategory::kAccess, "cannot-open", *file); }

Cell* push_logic(bool value) {
  Cell c{TYPE_LOGIC, value ? 1u : 0u, 0, 0};
  return stack::push_copy(&c);
}

// A /part or /seek count: an integer!, or a float! truncated toward zero;
// absent is -1.
int64_t count_of(const Cell* cell) {
  if (!cell) return -1;
  if (TYPE_OF(cell) == TYPE_INTEGER) return integer::get(cell);
  double d = cell_float(cell);
  if (std::isnan(d)) return 0;
  if (d >= 9.0e18) return INT64_MAX;
  if (d <= -9.0e18) return INT64_MIN;
  return static_cast<int64_t>(d);
}

// A new file! value pushed on the stack from a name the system gave: UTF-8,
// an invalid byte read as the replacement character.
Cell* push_file_name(const std::string& name) {
  Cell* made = stack::push_new_cell();
  string::init_cell(made, static_cast<int32_t>(name.size()));
  string::append_utf8(made, name);
  set_type(made, TYPE_FILE);
  return made;
}

// The listing of a directory as a block! of file! values pushed on the stack.
Cell* list_dir(Cell* dir) {
  std::optional<std::vector<std::string>> names = simple_io::read_dir(to_os_path(dir));
  if (!names) cannot_open(dir);
  Cell* listing = stack::push_new_cell();
  block::init_cell(listing, static_cast<int32_t>(names->size()));
  for (const std::string& name : *names) {
    Cell* made = push_file_name(name);
    block::append_cell(listing, made);
    stack::drop_cells(1);
  }
  return listing;
}

// The lines of a text (line ends already LF) as a block! of strings: an
// empty line gives an empty string, text after the last line end a last line.
Cell* push_lines(Cell* text) {
  Cell* lines = stack::push_new_cell();
  block::init_cell(lines, 16);
  int32_t n = string::length(text);
  int32_t start = 0;
  while (start < n) {
    int32_t end = start;
    {
      SeriesBuffer* b = node_buffer(text->data2);
      uint32_t u = b->unit();
      const uint8_t* p = b->head_ptr();
      while (end < n && string::get_char(p + static_cast<size_t>(end) * u, u) != '\n') ++end;
    }
    SeriesBuffer* part = copy_series_part(text->data2, static_cast<uint32_t>(start), static_cast<uint32_t>(end - start));
    Cell* line = stack::push_new_cell();
    *line = Cell{TYPE_STRING, 0, part->node, 0};
    block::append_cell(lines, line);
    stack::drop_cells(1);
    start = end + 1;
  }
  return lines;
}

// The bytes a value writes: a string! as UTF-8 (at most part characters), a
// binary! from its head (at most part bytes), anything else molded.
std::string value_bytes(Cell* value, int64_t part) {
  uint32_t type = TYPE_OF(value);
  int32_t limit = part < 0 ? -1 : static_cast<int32_t>(std::min<int64_t>(part, INT32_MAX));
  if (type == TYPE_STRING) {
    std::vector<uint8_t> utf8 = binary::string_utf8(value, limit);
    return std::string(utf8.begin(), utf8.end());
  }
  if (type == TYPE_BINARY) {
    Cell v = *value;
    int32_t n = binary::length(&v);
    if (limit >= 0 && limit < n) n = limit;
    HeldPtr<const uint8_t> p = binary::head_pointer(&v);
    return std::string(reinterpret_cast<const char*>(bare(p)), static_cast<size_t>(n));
  }
  Cell* molded = stack::push_new_cell();
  string::init_cell(molded, 64);
  dispatch_mold(value, molded, {}, nullptr, kNoPartLimit, 0);
  std::vector<uint8_t> utf8 = binary::string_utf8(molded);
  stack::drop_cells(1);
  return std::string(utf8.begin(), utf8.end());
}

// The bytes a binary!, or a string! held as ASCII, writes, seen where they
// lie: good until the next allocation. Nothing for other values.
std::optional<std::string_view> direct_bytes(Cell* value, int64_t part) {
  uint32_t type = TYPE_OF(value);
  if (type != TYPE_BINARY && type != TYPE_STRING) return std::nullopt;
  Cell v = *value;
  int64_t n = type == TYPE_BINARY ? binary::length(&v) : string::length(&v);
  if (part >= 0 && part < n) n = part;
  if (n < 0) n = 0;
  const uint8_t* p = type == TYPE_BINARY ? binary::head_pointer(&v) : string::head_pointer(&v);
  if (type == TYPE_STRING) {
    if (string::unit_of(&v) != 1) return std::nullopt;
    for (int64_t i = 0; i < n; ++i)
      if (p[i] >= 0x80) return std::nullopt;
  }
  return std::string_view(reinterpret_cast<const char*>(bare(p)), static_cast<size_t>(n));
}

// Receives a file's bytes straight into a binary series (rooted by the
// cell pushed on the stack), grown as they come.
class SeriesSink : public simple_io::ByteSink {
 public:
  SeriesSink() : cell_(stack::push_new_cell()) { binary::make_at(cell_, 0); }
  Cell* cell() { return cell_; }
  uint8_t* room(size_t n) override {
    SeriesBuffer* b = node_buffer(cell_->data2);
    uint64_t need = static_cast<uint64_t>(b->tail) + n;
    if (need > kMaxSeriesBytes) return nullptr;
    if (need > static_cast<uint64_t>(b->size)) {
      uint64_t grown = std::max<uint64_t>(need, std::min<uint64_t>(2 * static_cast<uint64_t>(b->size), kMaxSeriesBytes));
      b = expand_series_copy(b, static_cast<int64_t>(grown));
    }
    return b->tail_ptr();
  }
  void received(size_t n) override { node_buffer(cell_->data2)->tail += static_cast<uint32_t>(n); }

 private:
  Cell* cell_;
};

}  // namespace

// A directory name gives its listing; any other name the file's content as
// a string! (line ends made LF), a binary! or a block! of lines.
Cell* read(Cell* source, Cell* part, Cell* seek, bool binary, bool lines, bool, Cell* as) {
  if (as) fire(ErrorCategory::kInternal, "not-done");
  std::string path = to_os_path(source);
  if (simple_io::dir_q(path)) return list_dir(source);
  SeriesSink sink;
  if (!simple_io::read_into(path, count_of(part), count_of(seek), sink)) cannot_open(source);
  if (binary) return sink.cell();
  // The text is decoded from the bytes in the series: nothing allocates
  // between taking their address and the decoding's copy of them.
  uint32_t node;
  {
    NoCollectScope no_collection;
    // Sized for the bytes, so that text of one-byte characters never grows.
    uint32_t size = node_buffer(sink.cell()->data2)->used_bytes();
    node = alloc_series_for_string(size, 1);
    SeriesBuffer* b = node_buffer(sink.cell()->data2);
    node = load_utf8_string(b->head_ptr(), size, node, nullptr, true);
  }
  Cell* text = stack::push_new_cell();
  *text = Cell{TYPE_STRING, 0, node, 0};
  if (lines) return push_lines(text);
  return text;
}

// Writes the value's bytes (with /lines a block's elements, each on its own
// line) to the file: replacing it, appended with /append, or over its
// content from byte seek on with /seek. Answers the file.
Cell* write(Cell* destination, Cell* data, bool, bool lines, bool, bool append, Cell* part, Cell* seek,
            Cell* allow, Cell* as) {
  if (allow || as) fire(ErrorCategory::kInternal, "not-done");
  if (part && TYPE_OF(part) != TYPE_INTEGER)
    fire(ErrorCategory::kScript, "invalid-refine-arg", word::load("part", TYPE_REFINEMENT), *part);
  int64_t limit = count_of(part);
  // A negative part writes nothing, and leaves the file as it was.
  if (part && limit < 0) return destination;
  std::vector<std::string> pieces;
  if (!lines) {
    // A binary or an ASCII string is written from where it lies: nothing
    // allocates before the write is done.
    std::string path = to_os_path(destination);
    std::optional<std::string_view> bytes = direct_bytes(data, limit);
    if (bytes) {
      if (!simple_io::write_pieces(path, append, count_of(seek), {*bytes}))
        cannot_open(destination);
      return destination;
    }
  }
  if (lines && TYPE_OF(data) == TYPE_BLOCK) {
    int32_t n = block::rs_length_q(data);
    for (int32_t i = 0; i < n; ++i) {
      Cell* element = stack::push_copy(block::cell_at(data, i));
      pieces.push_back(value_bytes(element, limit));
      pieces.emplace_back("\n");
      stack::drop_cells(1);
    }
  } else {
    pieces.push_back(value_bytes(data, limit));
    if (lines) pieces.emplace_back("\n");
  }
  std::vector<std::string_view> views(pieces.begin(), pieces.end());
  if (!simple_io::write_pieces(to_os_path(destination), append, count_of(seek), views)) cannot_open(destination);
  return destination;
}

// A directory name removes the (empty) directory; any other the file.
Cell* delete_(Cell* file) {
  std::string path = to_os_path(file);
  bool done = simple_io::delete_(path, simple_io::dir_q(path));
  return push_logic(done);
}

// The date of the file's last change, in UTC; none for a missing file or a
// directory name that names no directory.
Cell* query(Cell* file) {
  std::string path = to_os_path(file);
  bool as_dir = !path.empty() && path.back() == '/';
  std::optional<simple_io::FileTime> when = simple_io::query(path, as_dir);
  if (!when) {
    Cell none{TYPE_NONE, 0, 0, 0};
    return stack::push_copy(&none);
  }
  Cell* date = stack::push_new_cell();
  return date::make_in_from_system_time(date, when->year, when->month, when->day, when->hour, when->minute,
                                        when->second, when->nanosecond);
}

Cell* rename(Cell* from, Cell* to) {
  bool done = simple_io::rename(to_os_path(from), to_os_path(to));
  return push_logic(done);
}

void init() {
  datatype::register_type(TYPE_FILE, TYPE_URL, "file!", {
      own<ACT_MOLD>(mold), own<ACT_DELETE>(delete_), refuse<ACT_OPEN>, own<ACT_QUERY>(query),
      own<ACT_READ>(read), own<ACT_RENAME>(rename), own<ACT_WRITE>(write),
  });
  lexer::default_loaders()[lexer::kFinalFile] = load_token;
}

}  // namespace kiv::file
