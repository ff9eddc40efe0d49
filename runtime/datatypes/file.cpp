#include "runtime/datatypes/file.h"

#include <vector>

#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/url.h"
#include "runtime/collector.h"
#include "runtime/eval/actions.h"
#include "runtime/eval/lexer.h"
#include "runtime/language_error.h"
#include "runtime/platform.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"

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
int32_t mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* part, int32_t limit, int32_t) {
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

// The host file services are not part of this runtime yet: the file actions
// refuse clearly rather than answer something wrong.
Cell* read(Cell*, Cell*, Cell*, bool, bool, bool, Cell*) { fire(ErrorCategory::kInternal, "not-done"); }

Cell* write(Cell*, Cell*, bool, bool, bool, bool, Cell*, Cell*, Cell*, Cell*) {
  fire(ErrorCategory::kInternal, "not-done");
}

Cell* delete_(Cell*) { fire(ErrorCategory::kInternal, "not-done"); }

Cell* query(Cell*) { fire(ErrorCategory::kInternal, "not-done"); }

Cell* rename(Cell*, Cell*) { fire(ErrorCategory::kInternal, "not-done"); }

void init() {
  static const HandlerEntry row[] = {
      kInherit<ACT_MAKE>,
      kNone<ACT_RANDOM>,
      kNone<ACT_REFLECT>,
      kInherit<ACT_TO>,
      kInherit<ACT_FORM>,
      own<ACT_MOLD>(mold),
      kInherit<ACT_EVAL_PATH>,
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
      own<ACT_DELETE>(delete_),
      kInherit<ACT_MODIFY>,
      kNone<ACT_OPEN>,
      kNone<ACT_OPEN_Q>,
      own<ACT_QUERY>(query),
      own<ACT_READ>(read),
      own<ACT_RENAME>(rename),
      kNone<ACT_UPDATE>,
      own<ACT_WRITE>(write),
  };
  datatype::register_type(TYPE_FILE, TYPE_URL, "file!", row);
  lexer::default_loaders()[lexer::kFinalFile] = load_token;
}

}  // namespace kiv::file
