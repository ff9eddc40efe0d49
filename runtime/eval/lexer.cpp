// The lexer driver: token loop, levels, lines, callback events and syntax
// errors. Value building is the loaders' (lexer.h).
//
// Token loop: from the start state, each byte's class picks the next state
// until a final state names the token; state 0 skips blanks, controls and
// line feeds. The byte that caused the final state belongs to the token only
// when it closes the token (a closing quote, bracket, brace, > or %). Then, in
// order: prescan event; scanner (structural tokens, word kinds); check-only
// load and scan event (scan mode, or a callback that wants `scan`); load and
// load event (load mode); and, inside a path, the decision whether the path
// goes on after this element.
#include "runtime/eval/lexer.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string>

#include "runtime/collector.h"
#include "runtime/language_error.h"
#include "runtime/series.h"
#include "runtime/support.h"
#include "runtime/unicode.h"

namespace kiv::lexer {

namespace {

// Working states the driver starts in or tests.
constexpr uint8_t kStateBetween = 0;
constexpr uint8_t kStateBraced = 4;       // inside a braced string
constexpr uint8_t kStateFileQuoted = 8;   // %"...
constexpr uint8_t kStatePoint = 35;       // point literal content
constexpr uint8_t kStateHexLetters = 40;  // A-F at token start: a number or a word
constexpr uint8_t kStateHexLettersH = 41; // ...followed by h
constexpr uint8_t kStateHexDigitsH = 42;  // digits followed by h
constexpr uint8_t kStatePath = 59;        // start of a path element

constexpr uint32_t kInitialCells = 1000;
constexpr size_t kErrorTextBytes = 30;

// States in which a Unicode space ends the token (or is skipped, in state 0):
// the word states, and the hexadecimal start, which is still a word.
constexpr std::array<bool, kStateCount> make_word_states() {
  std::array<bool, kStateCount> r{};
  for (int s = 0; s < kStateCount; ++s) {
    uint8_t t = kLexPrescanType[s];
    r[s] = s == kStateBetween || s == kStateHexLetters || t == TYPE_WORD || t == TYPE_SET_WORD ||
           t == TYPE_REFINEMENT;
  }
  return r;
}
constexpr std::array<bool, kStateCount> kWordStates = make_word_states();

constexpr bool word_states_end_on_blank() {
  for (int s = 1; s < kStateCount; ++s)
    if (kWordStates[s] && kLexTransitions[s][kClassBlank] < kFirstFinal) return false;
  return true;
}
static_assert(word_states_end_on_blank(), "a Unicode space must end every word state");

constexpr bool only_state_zero_skips() {
  for (int s = 1; s < kStateCount; ++s)
    for (int c = 0; c < kClassCount; ++c)
      if (kLexTransitions[s][c] == kStateBetween) return false;
  return true;
}
static_assert(only_state_zero_skips(), "the skip loop assumes only state 0 returns to state 0");

// Bytes after a path element that end the path.
constexpr uint64_t class_bit(uint8_t byte) { return uint64_t{1} << class_of(byte); }
constexpr uint64_t kPathDelimiters = class_bit(' ') | class_bit('\n') | class_bit('[') | class_bit(']') |
                                     class_bit('(') | class_bit(')') | class_bit('{') | class_bit('"') |
                                     class_bit(':') | class_bit('<') | class_bit(';') | class_bit('!') |
                                     class_bit(0xC0) | class_bit(0);

bool is_path_type(uint32_t t) {
  return t == TYPE_PATH || t == TYPE_LIT_PATH || t == TYPE_SET_PATH || t == TYPE_GET_PATH;
}

// Whether the byte that made the final state closes (and so belongs to) the token.
bool includes_last_byte(uint8_t final, uint8_t from_state, uint8_t cls) {
  switch (final) {
    case kFinalError:  // the error token ends at the offending byte
      return false;
    case kFinalBlockOpen:
    case kFinalBlockClose:
    case kFinalParenOpen:
    case kFinalParenClose:
    case kFinalBraceOpen:
    case kFinalBraceClose:
    case kFinalMapOpen:
    case kFinalPathOpen:
    case kFinalConstruct:
    case kFinalComma:
    case kFinalString:
    case kFinalChar:
    case kFinalBinary:
    case kFinalPercent:
    case kFinalPoint:
    case kFinalTag:
      return true;
    case kFinalFile:
      return from_state == kStateFileQuoted;
    default:
      return false;
  }
}

// ---------------------------------------------------------------------------
// The shared cell buffer. Its series tail is the top of the innermost running
// lexer, so marking the series head to tail marks every value being built.
uint32_t g_buffer = 0;
Lexer* g_running = nullptr;

void mark_lexer_cells() {
  if (g_buffer) collector::mark_series_cells(g_buffer);
}

void ensure_buffer() {
  if (g_buffer) return;
  uint32_t node = alloc_cells(kInitialCells);
  g_buffer = node;
  collector::set_root_hook(collector::RootHook::kLexer, mark_lexer_cells);
}

uint32_t top() { return node_buffer(g_buffer)->length(); }

void truncate(uint32_t count) {
  SeriesBuffer* b = node_buffer(g_buffer);
  b->tail = b->head + count * static_cast<uint32_t>(sizeof(Cell));
}

uint32_t push_cell() {
  SeriesBuffer* b = node_buffer(g_buffer);
  if (b->room() < sizeof(Cell)) b = expand_series_copy(b, 0);  // may collect and move
  uint32_t index = b->length();
  set_unset(b->tail_cell());
  b->tail += sizeof(Cell);
  return index;
}

// Makes a series of the cells [first, first + count) of the shared buffer.
uint32_t make_series_of(uint32_t first, uint32_t count) {
  uint32_t node = alloc_cells(count);  // may move the shared buffer
  SeriesBuffer* b = node_buffer(node);
  if (count) std::memcpy(b->head_cell(), cell_at(first), count * sizeof(Cell));
  b->tail = b->head + count * static_cast<uint32_t>(sizeof(Cell));
  return node;
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool valid_utf8(const uint8_t* p, const uint8_t* end) {
  while (p < end) {
    uint8_t b = *p;
    if (b < 0x80) {
      ++p;
      continue;
    }
    size_t n;
    uint8_t lo = 0x80, hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
      n = 1;
    } else if (b >= 0xE0 && b <= 0xEF) {
      n = 2;
      if (b == 0xE0) lo = 0xA0;
      if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      n = 3;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (static_cast<size_t>(end - p) <= n) return false;
    if (p[1] < lo || p[1] > hi) return false;
    for (size_t i = 2; i <= n; ++i)
      if ((p[i] & 0xC0) != 0x80) return false;
    p += n + 1;
  }
  return true;
}

// The offending text of an error: from the offset, at most 30 bytes, up to the
// end of the line or of the input, cut at a character boundary; bytes that do
// not decode become U+FFFD so the message stays valid text.
std::string error_text(const uint8_t* start, const uint8_t* end) {
  const uint8_t* stop = start;
  while (stop < end && static_cast<size_t>(stop - start) < kErrorTextBytes && *stop != '\n' && *stop != '\r')
    ++stop;
  if (stop < end && static_cast<size_t>(stop - start) == kErrorTextBytes)
    while (stop > start && (*stop & 0xC0) == 0x80) --stop;  // do not split a character
  std::string out;
  const uint8_t* p = start;
  while (p < stop) {
    if (*p < 0x80) {
      out.push_back(static_cast<char>(*p++));
      continue;
    }
    size_t n = 1;
    while (n < 4 && p + n < stop && (p[n] & 0xC0) == 0x80) ++n;
    if (valid_utf8(p, p + n)) {
      out.append(reinterpret_cast<const char*>(p), n);
      p += n;
    } else {
      out.append("\xEF\xBF\xBD");
      ++p;
    }
  }
  return out;
}

uint32_t closer_of(uint32_t level_type) {
  switch (level_type) {
    case TYPE_BLOCK:
    case TYPE_MAP:
      return ']';
    default:
      return ')';
  }
}

}  // namespace

// ---------------------------------------------------------------------------

size_t unicode_space_length(const uint8_t* p, const uint8_t* end) {
  size_t left = static_cast<size_t>(end - p);
  if (left >= 2 && p[0] == 0xC2 && (p[1] == 0x85 || p[1] == 0xA0)) return 2;
  if (left < 3) return 0;
  uint8_t a = p[0], b = p[1], c = p[2];
  if (a == 0xE1) return ((b == 0x9A && c == 0x80) || (b == 0xA0 && c == 0x8E)) ? 3 : 0;  // U+1680, U+180E
  if (a == 0xE2 && b == 0x80)  // U+2000-U+200B, U+2028, U+2029, U+202F
    return (c <= 0x8B || c == 0xA8 || c == 0xA9 || c == 0xAF) && c >= 0x80 ? 3 : 0;
  if (a == 0xE2 && b == 0x81 && c == 0x9F) return 3;  // U+205F
  if (a == 0xE3 && b == 0x80 && c == 0x80) return 3;  // U+3000
  return 0;
}

Loaders& default_loaders() {
  static Loaders loaders;
  return loaders;
}

Cell* cell_at(uint32_t index) { return node_buffer(g_buffer)->head_cell() + index; }

uint32_t append_value(Lexer& lx) { return push_cell(); }

void store_value(Lexer& lx, const Cell& value) {
  uint32_t i = push_cell();
  *cell_at(i) = value;
}

Lexer::Lexer(const LexRequest& rq)
    : next_(g_running),
      input_(rq.input),
      end_(rq.input + rq.length),
      pos_(rq.input),
      mode_(rq.mode),
      one_(rq.one),
      tracer_(rq.tracer),
      loaders_(rq.loaders ? rq.loaders : &default_loaders()),
      into_(rq.into),
      base_(top()),
      level_(kNoLevel) {
  g_running = this;
}

Lexer::~Lexer() {
  truncate(base_);  // drops whatever this run left in the shared buffer
  g_running = next_;
}

bool Lexer::in_path() const { return level_ != kNoLevel && is_path_type(level_type()); }

uint32_t Lexer::level_type() const {
  if (level_ == kNoLevel) return 0;
  return cell_at(level_)->data2 & 0xFFFF;
}

LexResult Lexer::result() const {
  LexResult r;
  r.type = last_type_;
  r.consumed = static_cast<size_t>(pos_ - input_);
  r.stopped = stopped_by_callback_;
  return r;
}

uint32_t Lexer::output() {
  uint32_t count = top() - base_;
  if (into_) {
    uint8_t* dst = series_reserve_tail_bytes(into_, count * static_cast<uint32_t>(sizeof(Cell)));
    if (count) std::memcpy(dst, cell_at(base_), count * sizeof(Cell));  // nothing allocated since
    return into_;
  }
  return make_series_of(base_, count);
}

void Lexer::keep_top_values() {
  uint32_t end = top();
  for (uint32_t m = level_; m != kNoLevel;) {
    end = m;
    uint32_t back = cell_at(m)->data1;
    m = back ? m - back : kNoLevel;
  }
  uint32_t count = end - base_;
  if (!count) return;
  uint8_t* dst = series_reserve_tail_bytes(into_, count * static_cast<uint32_t>(sizeof(Cell)));
  std::memcpy(dst, cell_at(base_), count * sizeof(Cell));  // nothing allocated since
}

// ---------------------------------------------------------------------------
// Levels

void Lexer::push_marker(uint32_t type, size_t offset) {
  uint32_t i = push_cell();
  Cell* m = cell_at(i);
  m->header = TYPE_TRIPLE | (new_line_ ? kFlagNewLine : 0);
  m->data1 = level_ == kNoLevel ? 0 : i - level_;
  m->data2 = type;
  m->data3 = static_cast<uint32_t>(offset);
  new_line_ = false;
  level_ = i;
  ++depth_;
}

// Replaces the current marker by the level's value (load mode) or drops it,
// and makes the previous marker current. Returns a code when a map cannot be
// made of the values.
int Lexer::finish_level(uint32_t type, bool quiet) {
  uint32_t m = level_;
  const Cell* marker = cell_at(m);
  uint32_t back = marker->data1;
  uint32_t new_line = marker->header & kFlagNewLine;
  uint32_t count = top() - m - 1;
  if (mode_ != Mode::kLoad) {
    truncate(m);
  } else {
    bool made = false;
    if (type == TYPE_MAP) {
      int code = count % 2 ? static_cast<int>(TYPE_MAP) : kLexOk;
      if (code == kLexOk) {
        if (!loaders_->make_map) fire(ErrorCategory::kInternal, "not-done");
        code = loaders_->make_map(*this, m + 1, count, m);
      }
      if (code != kLexOk && !quiet) return code;
      made = code == kLexOk;
      if (!made) type = TYPE_BLOCK;  // a quiet close keeps the values as a block
    }
    if (!made) {
      if (type == TYPE_POINT2D) type = TYPE_PAREN;
      uint32_t node = make_series_of(m + 1, count);
      Cell* c = cell_at(m);
      *c = Cell{type, 0, node, 0};
    }
    cell_at(m)->header |= new_line;
    truncate(m + 1);
  }
  level_ = back ? m - back : kNoLevel;
  --depth_;
  return kLexOk;
}

void Lexer::close_paths_quietly() {
  while (in_path()) finish_level(level_type(), true);
}

void Lexer::close_all_quietly() {
  while (level_ != kNoLevel) finish_level(level_type(), true);
}

Lexer::Flow Lexer::open_level(uint32_t type, const Token& tok) {
  Flow flow = Flow::kNext;
  enter_level(type, tok, &flow);
  return flow;
}

bool Lexer::enter_level(uint32_t type, const Token& tok, Flow* flow) {
  if (level_type() == TYPE_POINT2D) {
    *flow = fail(TYPE_POINT2D, tok);
    return false;
  }
  if (wants(kEventOpen)) {
    bool ok = offer(kEventOpen, static_cast<int32_t>(type), tok, tok.start);
    if (resumed_ || !ok) {
      *flow = resumed_ ? Flow::kResume : Flow::kNext;
      return false;
    }
  }
  push_marker(type, static_cast<size_t>(tok.start - input_));
  *flow = Flow::kNext;
  return true;
}

Lexer::Flow Lexer::close_level(uint32_t type, const Token& tok) {
  int code = finish_level(type, false);
  if (code != kLexOk) return fail(code, tok);
  last_type_ = type;
  if (wants(kEventClose)) {
    offer(kEventClose, static_cast<int32_t>(type), tok, tok.end);
    if (resumed_) return Flow::kResume;
  }
  return after_value();
}

Lexer::Flow Lexer::closer(uint8_t kind, const Token& tok) {
  // Right after a path's / (paths close before any closer that follows an
  // element): the path would end in /.
  if (in_path()) return fail(TYPE_PATH, tok);
  new_line_ = false;  // a line feed before a closer belongs to the level's end
  uint32_t lt = level_type();
  if (kind == kFinalBlockClose) {
    if (lt == TYPE_BLOCK || lt == TYPE_MAP) return close_level(lt, tok);
    return fail(kLexMismatch, tok, lt ? ')' : '[');
  }
  if (lt == TYPE_PAREN) return close_level(lt, tok);
  // A paren marked as a point literal by a comma never closes: a valid point
  // literal is one token and opens no level.
  if (lt == TYPE_POINT2D) return fail(kLexMismatch, tok, ')');
  return fail(kLexMismatch, tok, lt ? ']' : '(');
}

Lexer::Flow Lexer::comma(const Token& tok) {
  uint32_t lt = level_type();
  if (lt != TYPE_PAREN && lt != TYPE_POINT2D) return fail(TYPE_POINT2D, tok);
  Cell* m = cell_at(level_);
  uint32_t commas = (m->data2 >> 16) + 1;
  m->data2 = TYPE_POINT2D | (commas << 16);
  return Flow::kNext;
}

// After a value was added to the current level (or would have been, when not
// loading): a path decides whether it goes on; at the top, scan, prescan and
// one-value runs stop after the first value.
Lexer::Flow Lexer::after_value() {
  while (in_path()) {
    uint8_t b = pos_ < end_ ? *pos_ : 0;
    if (pos_ < end_ && b == '/') {
      if (pos_ + 1 == end_) return fail(TYPE_PATH, current_token_);
      ++pos_;
      start_state_ = kStatePath;
      return Flow::kNext;
    }
    // Any other byte ends the path (a : after it makes a set-path!).
    uint32_t type = level_type();
    const uint8_t* opened = input_ + cell_at(level_)->data3;
    if (pos_ < end_ && b == ':') {
      if (pos_ + 1 < end_ && pos_[1] == '/') return fail(TYPE_PATH, current_token_);
      type = TYPE_SET_PATH;
      ++pos_;
    }
    int code = finish_level(type, false);
    if (code != kLexOk) return fail(code, current_token_);
    last_type_ = type;
    if (wants(kEventClose)) {
      Token t = current_token_;
      t.start = opened;
      t.end = pos_;
      offer(kEventClose, static_cast<int32_t>(type), t, pos_);
      if (resumed_) return Flow::kResume;
    }
  }
  start_state_ = kStateBetween;
  if (level_ == kNoLevel && (one_ || mode_ != Mode::kLoad)) return Flow::kStop;
  return Flow::kNext;
}

// ---------------------------------------------------------------------------
// Values

// Decides the kind of a word token from its first and last characters and
// narrows the token to the bare name.
int Lexer::scan_word(Token& tok) const {
  const uint8_t* s = tok.start;
  const uint8_t* e = tok.end;
  uint8_t type = TYPE_WORD;
  if (*s == ':') {
    type = TYPE_GET_WORD;
    ++s;
  } else if (*s == '\'') {
    type = TYPE_LIT_WORD;
    ++s;
  }
  if (tok.flags & kTokColon) {
    if (e > s && e[-1] == ':') {
      if (type == TYPE_LIT_WORD) return TYPE_LIT_WORD;
      if (type == TYPE_GET_WORD) return TYPE_WORD;
      --e;
      type = TYPE_SET_WORD;
      if (in_path() && pos_ < end_ && !(kPathDelimiters & (uint64_t{1} << class_of(*pos_)))) return TYPE_WORD;
    }
    if (std::memchr(s, ':', static_cast<size_t>(e - s))) return TYPE_WORD;
  }
  if (s == e) return TYPE_WORD;  // a lone ' or :
  tok.start = s;
  tok.end = e;
  tok.type = type;
  return kLexOk;
}

Loader Lexer::loader_for(uint8_t kind) const {
  Loader l = (*loaders_)[kind];
  if (!l && kind == kFinalBraceClose) l = (*loaders_)[kFinalString];
  return l;
}

// Scanner, check-only load, scan event, load, load event; then after_value.
// first_in_path: the first element of a path being opened (the / after it is
// already consumed).
Lexer::Flow Lexer::handle_value(Token& tok, bool first_in_path) {
  if (mode_ == Mode::kPrescan) {
    last_type_ = tok.type;
    if (first_in_path) {
      start_state_ = kStatePath;
      return Flow::kNext;
    }
    return after_value();
  }
  const Token written = tok;
  int code = kLexOk;
  if (tok.kind == kFinalWord) {
    code = scan_word(tok);
  } else if (tok.kind == kFinalIssue) {
    if (tok.end - tok.start < 2) code = TYPE_ISSUE;
    else ++tok.start;
  }
  if (code == kLexOk && (tok.flags & kTokHighByte) && !valid_utf8(tok.start, tok.end)) code = tok.type;
  if (code != kLexOk) return fail(code, written);

  Loader loader = loader_for(tok.kind);
  if (loader && (mode_ == Mode::kScan || wants(kEventScan))) {
    code = loader(*this, tok, false);
    if (code != kLexOk) return fail(code, written);
  }
  if (wants(kEventScan)) {
    int32_t type = tok.type ? tok.type : structural_type(tok.kind);
    bool ok = offer(kEventScan, type, written, written.end);
    if (resumed_) return Flow::kResume;
    if (!ok) {
      start_state_ = first_in_path ? kStatePath : kStateBetween;
      return Flow::kNext;
    }
  }
  last_type_ = tok.type;
  if (mode_ == Mode::kLoad) {
    if (!loader) fire(ErrorCategory::kInternal, "not-done");
    uint32_t before = top();
    code = loader(*this, tok, true);
    if (code != kLexOk) {
      truncate(before);
      return fail(code, written);
    }
    if (top() > before) {
      if (new_line_) cell_at(before)->header |= kFlagNewLine;
      last_type_ = TYPE_OF(cell_at(before));
    }
    new_line_ = false;
    if (wants(kEventLoad) && top() > before) {
      bool ok = offer(kEventLoad, static_cast<int32_t>(last_type_), written, written.end, cell_at(before));
      if (resumed_) return Flow::kResume;
      if (!ok) truncate(before);
    }
  }
  if (first_in_path) {
    start_state_ = kStatePath;
    return Flow::kNext;
  }
  return after_value();
}

Lexer::Flow Lexer::open_path(const Token& tok, uint8_t from_state) {
  uint32_t type = TYPE_PATH;
  const uint8_t* s = tok.start;
  if (*s == '\'') {
    type = TYPE_LIT_PATH;
    ++s;
  } else if (*s == ':') {
    type = TYPE_GET_PATH;
    ++s;
  }
  Flow flow;
  if (!enter_level(type, tok, &flow)) return flow;
  // The first element: the word before the /, without the path's prefix.
  Token first{s, tok.end - 1, 0, tok.line, kFinalWord, TYPE_WORD};
  for (const uint8_t* p = s; p < first.end; ++p) first.flags |= (kLexClassTable[*p] & ~kClassMask) | (*p & 0x80 ? kTokHighByte : 0);
  if (from_state == kStateHexLettersH || from_state == kStateHexDigitsH) {
    first.kind = kFinalHexInteger;
    first.type = TYPE_INTEGER;
  }
  return handle_value(first, true);
}

Lexer::Flow Lexer::end_of_input(const Token& tok) {
  // A NUL byte inside the input would end it silently and drop the rest.
  if (tok.start < end_) return fail(kLexBadChar, tok);
  pos_ = end_;
  close_paths_quietly();
  if (level_ != kNoLevel) {
    uint32_t lt = level_type();
    return fail(kLexLeftOpen, tok, closer_of(lt));
  }
  return Flow::kStop;
}

bool Lexer::point_literal_follows(const uint8_t* p) const {
  if (end_ - p < 3) return false;
  for (; p < end_; ++p) {
    switch (*p) {
      case ',':
        return true;
      case '0': case '1': case '2': case '3': case '4': case '5': case '6': case '7': case '8': case '9':
      case '.': case '+': case '-': case 'e': case 'E': case '#': case 'a': case 'A': case 'f': case 'F':
      case 'i': case 'I': case 'n': case 'N': case ' ': case '\t': case '\r':
        break;
      default:
        return false;
    }
  }
  return false;
}

// ---------------------------------------------------------------------------
// One token

Lexer::Flow Lexer::handle_token(Token& tok, uint8_t from_state) {
  current_token_ = tok;
  if (tok.kind == kFinalError) {
    uint32_t t = kLexPrescanType[from_state];
    return fail(t ? static_cast<int>(t) : kLexBadChar, tok);
  }
  bool braced_part = brace_depth_ > 0;  // parts of a braced string are reported as one string
  if (wants(kEventPrescan) && !braced_part) {
    bool typed = tok.type != 0;
    int32_t type = typed ? tok.type : structural_type(tok.kind);
    bool ok = offer(kEventPrescan, type, tok, typed ? tok.end : tok.start);
    if (resumed_) return Flow::kResume;
    if (!ok && tok.kind != kFinalEnd) {
      start_state_ = kStateBetween;
      return Flow::kNext;
    }
  }
  switch (tok.kind) {
    case kFinalEnd:
      return end_of_input(tok);
    case kFinalBlockOpen:
      return open_level(TYPE_BLOCK, tok);
    case kFinalMapOpen:
      if (*tok.start != '#') return fail(TYPE_MAP, tok);
      return open_level(TYPE_MAP, tok);
    case kFinalParenOpen:
      if (point_literal_follows(tok.end)) {
        start_state_ = kStatePoint;
        point_open_ = tok.start;
        return Flow::kNext;
      }
      return open_level(TYPE_PAREN, tok);
    case kFinalBlockClose:
    case kFinalParenClose:
      return closer(tok.kind, tok);
    case kFinalBraceOpen:
      if (brace_depth_ == 0) {
        if (wants(kEventOpen)) {
          bool ok = offer(kEventOpen, TYPE_STRING, tok, tok.start);
          if (resumed_) return Flow::kResume;
          if (!ok) return Flow::kNext;
        }
        brace_start_ = tok.start;
        brace_flags_ = 0;
        brace_line_ = tok.line;
      }
      ++brace_depth_;
      brace_flags_ |= tok.flags;
      start_state_ = kStateBraced;
      return Flow::kNext;
    case kFinalBraceClose: {
      brace_flags_ |= tok.flags;
      if (--brace_depth_ > 0) {
        start_state_ = kStateBraced;
        return Flow::kNext;
      }
      start_state_ = kStateBetween;
      Token whole{brace_start_, tok.end, brace_flags_, brace_line_, kFinalBraceClose, TYPE_STRING};
      current_token_ = whole;
      Flow f = handle_value(whole, false);
      if (f == Flow::kNext || f == Flow::kStop) {
        if (wants(kEventClose)) {
          offer(kEventClose, TYPE_STRING, whole, whole.end);
          if (resumed_) return Flow::kResume;
        }
      }
      return f;
    }
    case kFinalPathOpen:
      return open_path(tok, from_state);
    case kFinalComment:
      if (wants(kEventScan)) {
        offer(kEventScan, structural_type(kFinalComment), tok, tok.end);
        if (resumed_) return Flow::kResume;
      }
      return Flow::kNext;
    case kFinalComma:
      return comma(tok);
    case kFinalRawString:
      if (wants(kEventOpen)) {
        offer(kEventOpen, TYPE_STRING, tok, tok.start);
        if (resumed_) return Flow::kResume;
      }
      {
        Flow f = handle_value(tok, false);
        if ((f == Flow::kNext || f == Flow::kStop) && wants(kEventClose)) {
          offer(kEventClose, TYPE_STRING, tok, tok.end);
          if (resumed_) return Flow::kResume;
        }
        return f;
      }
    default:  // kFinalConstruct and the value kinds
      return handle_value(tok, false);
  }
}

void Lexer::run() {
  while (true) {
    uint8_t s = start_state_;
    const uint8_t* p = pos_;
    const uint8_t* tok = s == kStatePoint ? point_open_ : p;
    uint32_t flags = 0;
    uint32_t line_feeds = 0;
    uint8_t final;
    uint8_t cls;
    for (;;) {
      uint32_t e = p < end_ ? kLexClassTable[*p] : kClassEnd;
      cls = static_cast<uint8_t>(e & kClassMask);
      if ((e & kTokLead23) && kWordStates[s]) {
        if (size_t n = unicode_space_length(p, end_)) {
          if (s == kStateBetween) {
            p += n;
            tok = p;
            continue;
          }
          final = kLexTransitions[s][kClassBlank];  // ends the word; not part of it
          break;
        }
      }
      uint8_t next = kLexTransitions[s][cls];
      if (next == kStateBetween) {
        if (cls == kClassLineFeed) {
          ++line_;
          new_line_ = true;
        }
        tok = ++p;
        continue;
      }
      if (next >= kFirstFinal) {
        final = next;
        if (p < end_ && includes_last_byte(final, s, cls)) {
          flags |= (e & ~kClassMask) | (*p & 0x80 ? kTokHighByte : 0);
          ++p;
        }
        break;
      }
      flags |= (e & ~kClassMask) | (*p & 0x80 ? kTokHighByte : 0);
      if (cls == kClassLineFeed) ++line_feeds;
      s = next;
      ++p;
    }
    Token token{tok, p, flags, line_, final, static_cast<uint8_t>(final_type(final))};
    pos_ = p;
    start_state_ = kStateBetween;  // the handlers choose another one when they need it
    point_open_ = nullptr;
    resumed_ = false;
    Flow f = handle_token(token, s);
    line_ += line_feeds;
    if (f == Flow::kStop) return;
    if (f == Flow::kResume) {
      pos_ = input_ + resume_;
      close_paths_quietly();
      start_state_ = kStateBetween;
      brace_depth_ = 0;
    }
  }
}

// ---------------------------------------------------------------------------
// Errors and events

bool Lexer::offer(Event ev, int32_t type, const Token& tok, const uint8_t* position, const Cell* value) {
  TraceEvent e;
  e.event = ev;
  e.input = input_;
  e.type = type;
  e.line = tok.line;
  e.position = static_cast<size_t>(position - input_);
  e.token_start = static_cast<size_t>(tok.start - input_);
  e.token_end = static_cast<size_t>(tok.end - input_);
  e.value = value;
  e.resume = e.position;
  bool answer = tracer_->on_event(e);
  if (e.resume != e.position) {
    resumed_ = true;
    resume_ = std::min(e.resume, static_cast<size_t>(end_ - input_));
  }
  return answer;
}

Lexer::Flow Lexer::fail(int code, const Token& tok, uint32_t expected) {
  LexError err;
  err.code = code;
  err.expected = expected;
  err.line = line_;
  const uint8_t* text = tok.start;
  bool level_kind = code == kLexLeftOpen || code == kLexMismatch || code == TYPE_BLOCK || code == TYPE_PAREN || code == TYPE_MAP ||
                    is_path_type(static_cast<uint32_t>(code));
  if (brace_depth_ > 0) {
    text = brace_start_;
  } else if (level_kind && level_ != kNoLevel) {
    text = input_ + cell_at(level_)->data3;
  }
  err.text_offset = static_cast<size_t>(text - input_);
  // The type an error event reports: the datatype named, the level left
  // open, the kind of a wrong closer, or error! for the general ones.
  int32_t type = TYPE_ERROR;
  if (code > 0) type = code;
  else if (code == kLexLeftOpen) type = static_cast<int32_t>(level_type());
  else if (code == kLexMismatch) type = tok.kind == kFinalBlockClose ? TYPE_BLOCK : TYPE_PAREN;
  err.type = static_cast<uint32_t>(type);

  if (mode_ != Mode::kLoad) {  // scan and prescan end quietly
    last_type_ = TYPE_ERROR;
    return Flow::kStop;
  }
  if (wants(kEventError)) {
    close_paths_quietly();
    bool ok = offer(kEventError, type, tok, tok.end);
    if (resumed_) {
      brace_depth_ = 0;
      return Flow::kResume;
    }
    if (!ok) {
      close_all_quietly();
      stopped_by_callback_ = true;
      return Flow::kStop;
    }
    if (into_) keep_top_values();
  }
  raise(err);
}

void Lexer::raise(const LexError& err) const {
  std::string line = "(line " + std::to_string(err.line) + ")";
  std::string text = error_text(input_ + err.text_offset, end_);
  switch (err.code) {
    case kLexBadChar:
      fire(ErrorCategory::kSyntax, "bad-char", line, text);
    case kLexMalconstruct:
      fire(ErrorCategory::kSyntax, "malconstruct", line, text);
    case kLexMismatch:
    case kLexLeftOpen:
      fire(ErrorCategory::kSyntax, "missing", line, Cell{TYPE_CHAR, 0, err.expected, 0}, text);
    default:
      fire(ErrorCategory::kSyntax, "invalid", line, datatype_cell(err.type), text);
  }
}

// ---------------------------------------------------------------------------

void init() { ensure_buffer(); }

LexResult lex_source(const LexRequest& request) {
  ensure_buffer();
  Lexer lx(request);
  lx.run();
  LexResult r = lx.result();
  if (request.mode == Mode::kLoad) r.block = lx.output();
  return r;
}

}  // namespace kiv::lexer

namespace kiv::lexer {

namespace {

// Stable memory for series text being lexed. One shared buffer; a call takes
// the space above its caller's (a callback may lex again) and gives it back
// on exit; a call that does not fit gets a private buffer.
constexpr size_t kScratchBytes = 100000;
std::unique_ptr<uint8_t[]> g_scratch;
size_t g_scratch_free = 0;

class ScratchText {
 public:
  explicit ScratchText(size_t need) : saved_(g_scratch_free) {
    // Not cleared: each use writes its text (and the zero after it) first,
    // so start-up touches only the pages it uses.
    if (!g_scratch) g_scratch = std::make_unique_for_overwrite<uint8_t[]>(kScratchBytes);
    if (kScratchBytes - g_scratch_free >= need) {
      data_ = g_scratch.get() + g_scratch_free;
      g_scratch_free += need;
    } else {
      own_ = std::make_unique_for_overwrite<uint8_t[]>(need);
      data_ = own_.get();
    }
  }
  ~ScratchText() { g_scratch_free = saved_; }
  ScratchText(const ScratchText&) = delete;
  ScratchText& operator=(const ScratchText&) = delete;
  uint8_t* data() { return data_; }

 private:
  size_t saved_;
  std::unique_ptr<uint8_t[]> own_;
  uint8_t* data_ = nullptr;
};

// Units from the value's head to the tail (a head past the tail counts 0),
// cut to length when length is 0 or more.
uint32_t units_from_head(const Cell* value, int32_t length) {
  SeriesBuffer* b = node_buffer(value->data2);
  uint32_t total = b->length();
  uint32_t avail = value->data1 < total ? total - value->data1 : 0;
  if (length >= 0 && static_cast<uint32_t>(length) < avail) avail = static_cast<uint32_t>(length);
  return avail;
}

}  // namespace

LexResult transcode_string(const Cell* string, int32_t length, LexRequest request) {
  uint32_t chars = units_from_head(string, length);
  uint32_t unit = node_buffer(string->data2)->unit();
  size_t per_char = unit == 1 ? 2 : unit == 2 ? 3 : 4;  // the widest UTF-8 form of a unit
  ScratchText text(per_char * chars + 1);
  size_t bytes = chars ? string_range_to_utf8(string, text.data(), static_cast<int32_t>(chars), false) : 0;
  text.data()[bytes] = 0;
  request.input = text.data();
  request.length = bytes;
  LexResult r = lex_source(request);
  r.consumed = utf8_count_chars(text.data(), text.data() + r.consumed);
  return r;
}

LexResult transcode_binary(const Cell* binary, int32_t length, LexRequest request) {
  uint32_t bytes = units_from_head(binary, length);
  ScratchText text(bytes + 1);
  if (bytes) std::memcpy(text.data(), node_buffer(binary->data2)->head_ptr() + binary->data1, bytes);
  text.data()[bytes] = 0;
  request.input = text.data();
  request.length = bytes;
  return lex_source(request);
}

}  // namespace kiv::lexer
