// The lexer: Kiv source text (UTF-8) to values.
//
// The driver (lexer.cpp) walks the bytes through the class and transition
// tables (lexer_tables.h) to find each token's extent and kind, tracks the
// nesting levels (blocks, parens, maps, paths, braced strings, point
// literals), counts lines, sets the new-line marker and reports syntax errors.
// Every token that makes a value is handed to a loader, one per token kind,
// that the datatype modules provide (Loaders below): the driver knows no value
// layout except the series kinds it builds when a level closes.
//
// Values under construction live in one cell buffer shared by all running
// lexers (a callback may run the lexer again; the inner run works above the
// outer one's cells). A level is a marker cell (triple!) followed by its
// values:
//   word 1  distance in cells back to the previous marker (0: none)
//   word 2  the level's series type in bits 0-15, a comma count in bits 16-31
//   word 3  byte offset of the opening token in the input
//   header  bit 30 when the level's value starts a new line
// Closing a level copies its values into a new series of its type and puts the
// series value in place of the marker. The buffer is a series and may move at
// any allocation: the driver and the loaders hold cell indexes, never
// addresses, across anything that can allocate.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/cell.h"
#include "runtime/eval/lexer_tables.h"

namespace kiv::lexer {

// Token kinds: the final states of the transition table.
enum Final : uint8_t {
  kFinalEnd = 66,         // end of input
  kFinalError = 67,       // no token can be made of these bytes
  kFinalBlockOpen = 68,   // [
  kFinalBlockClose = 69,  // ]
  kFinalParenOpen = 70,   // (
  kFinalParenClose = 71,  // )
  kFinalBraceOpen = 72,   // {
  kFinalBraceClose = 73,  // }  (a whole braced string once the depth is back to 0)
  kFinalMapOpen = 74,     // #[
  kFinalPathOpen = 75,    // a word followed by /
  kFinalConstruct = 76,   // #( ... )
  kFinalComment = 77,     // ; up to the line feed
  kFinalComma = 78,       // ,
  kFinalString = 79,      // "..."
  kFinalWord = 80,
  kFinalIssue = 81,
  kFinalInteger = 82,
  kFinalRefinement = 83,
  kFinalChar = 84,
  kFinalFile = 85,
  kFinalBinary = 86,
  kFinalPercent = 87,
  kFinalFloat = 88,
  kFinalSpecialFloat = 89,  // 1.#INF, 1.#NaN
  kFinalTuple = 90,
  kFinalDate = 91,
  kFinalPair = 92,
  kFinalPoint = 93,  // (x, y) or (x, y, z)
  kFinalTime = 94,
  kFinalMoney = 95,
  kFinalTag = 96,
  kFinalUrl = 97,
  kFinalEmail = 98,
  kFinalHexInteger = 99,  // FFh
  kFinalRawString = 100,  // %{...}%
  kFinalRef = 101,        // @ref
};

// The datatype of a final state, 0 for the structural ones.
inline uint32_t final_type(uint8_t final) { return kLexFinalType[final - kFirstFinal]; }

// ---------------------------------------------------------------------------
// Loaders

// Codes a scanner or loader returns: 0 for success, a datatype id for a
// syntax error `invalid` naming that type, or one of these.
constexpr int kLexOk = 0;
constexpr int kLexBadChar = -1;       // syntax `bad-char`
constexpr int kLexMalconstruct = -2;  // syntax `malconstruct`
constexpr int kLexMismatch = -3;      // syntax `missing`: wrong closer
constexpr int kLexLeftOpen = -4;      // syntax `missing`: level open at the end

// One token as a loader sees it. The text a loader reads runs from start to
// end; by kind:
//   kFinalWord        the bare name (no leading ' or :, no trailing :);
//                     type says the word kind (word!, set-word!, lit-word!,
//                     get-word!)
//   kFinalIssue       the text after #
//   kFinalBraceClose  the whole braced string, from { to } inclusive
//   kFinalPoint       from ( to ) inclusive
//   every other kind  the whole token as written ("..." with its quotes,
//                     %file, /refinement, #{...}, <tag> ...)
// flags is the OR of the class-table flags of the token's bytes (kTok*).
struct Token {
  const uint8_t* start;
  const uint8_t* end;
  uint32_t flags;
  uint32_t line;  // line of the token's first byte, from 1
  uint8_t kind;   // a Final
  uint8_t type;   // the datatype the token makes (final_type, or the word kind)
};

class Lexer;

// Builds the token's value and appends it to the current level (append_value),
// or with load false only checks the text and appends nothing. Returns kLexOk
// or a code above. May allocate and may throw LanguageError (no-memory ...).
using Loader = int (*)(Lexer& lx, const Token& token, bool load);

// Turns the count cells from cell index first (keys and values in turn, count
// even) into a map! value written to the cell at index out. Returns kLexOk, or
// TYPE_MAP when a key's type is not accepted.
using MapMaker = int (*)(Lexer& lx, uint32_t first, uint32_t count, uint32_t out);

struct Loaders {
  // By final state; only kFinalConstruct and the value kinds kFinalString ..
  // kFinalRef (and kFinalBraceClose, which reuses kFinalString's loader when
  // its own entry is empty) are called. An empty entry in load mode raises
  // internal `not-done`; in check-only mode the token passes.
  Loader load[kFinalCount] = {};
  MapMaker make_map = nullptr;

  Loader& operator[](uint8_t final) { return load[final - kFirstFinal]; }
  Loader operator[](uint8_t final) const { return load[final - kFirstFinal]; }
};

// The loaders used when a request names none; the datatype modules fill their
// entries at start-up.
Loaders& default_loaders();

// For loaders: append one unset cell to the current level and return its index.
// Reserve the cell first, then allocate the value's series, then store: the
// reserved cell keeps nothing alive, but the series must be stored before the
// next allocation.
uint32_t append_value(Lexer& lx);
// The cell at an index of the shared buffer; the address is good until the
// next allocation.
Cell* cell_at(uint32_t index);
// Appends a finished value (a copy of the cell) to the current level.
void store_value(Lexer& lx, const Cell& value);

// ---------------------------------------------------------------------------
// Trace callback (transcode/trace)

enum Event : uint32_t {
  kEventPrescan = 1,
  kEventScan = 2,
  kEventLoad = 4,
  kEventOpen = 8,
  kEventClose = 16,
  kEventError = 32,
};
constexpr uint32_t kAllEvents = 63;

// Type reported with an event: a datatype id (> 0), 0 for none, or for a
// structural token -(final state - 65): -1 end of input, -3 [, -4 ], -5 (,
// -6 ), -7 {, -9 #[, -10 path opener, -11 construction, -12 comment, -13 comma.
// The language-level adapter names them through system/lexer/exit-states.
inline int32_t structural_type(uint8_t final) { return -(static_cast<int32_t>(final) - 65); }

struct TraceEvent {
  Event event;
  // The UTF-8 text being lexed (stable during the run), for turning the byte
  // offsets below into character positions.
  const uint8_t* input;
  int32_t type;
  uint32_t line;
  // Byte offsets from the start of the input: the position the callback sees
  // (the token start for `open` and for `prescan` of a token without a type,
  // else the token end), and the token's extent.
  size_t position;
  size_t token_start;
  size_t token_end;
  // kEventLoad: the value just stored. Copy it before anything allocates.
  const Cell* value;
  // The callback moves the input by changing this (a byte offset, clamped to
  // the input); lexing then resumes there.
  size_t resume;
};

class Tracer {
 public:
  explicit Tracer(uint32_t event_mask = kAllEvents) : mask(event_mask) {}
  virtual ~Tracer() = default;
  // The callback's answer: false skips the token (prescan), prevents loading
  // (scan), removes the value again (load), leaves the level unopened (open)
  // or ends lexing without raising (error). May throw (a language throw or
  // error unwinds through the lexer, which drops its partial values).
  virtual bool on_event(TraceEvent& event) = 0;
  uint32_t mask;
};

// ---------------------------------------------------------------------------
// Running the lexer

enum class Mode : uint8_t {
  kLoad,     // build values
  kScan,     // check the first value's text and report its type
  kPrescan,  // report the first token's guessed type; only nesting is checked
};

struct LexRequest {
  const uint8_t* input = nullptr;
  size_t length = 0;
  Mode mode = Mode::kLoad;
  bool one = false;  // load only the first complete value
  Tracer* tracer = nullptr;
  const Loaders* loaders = nullptr;  // null: default_loaders()
  // Load mode: append the values to this block series (0: make a new block).
  uint32_t into = 0;
};

struct LexResult {
  uint32_t type = 0;      // type of the last token (scan and prescan): 0 none, TYPE_ERROR after an error
  size_t consumed = 0;    // bytes of input used
  uint32_t block = 0;     // load mode: the node of the block holding the values (request.into when given)
  bool stopped = false;   // a callback ended lexing early (false answer to `error`)
};

// Lexes the input. Syntax errors are fired (category syntax, ids invalid,
// bad-char, malconstruct, missing) unless the mode or a callback says
// otherwise. The new block's node in the result is not rooted: store it
// before the next allocation.
//
// The input must not move while the lexer runs: loaders and callbacks
// allocate, and any allocation may move a series buffer. Series text goes
// through transcode_string or transcode_binary, which copy it first.
LexResult lex_source(const LexRequest& request);

// Lexes a string! value (or another string kind) from its head: length
// characters, -1 for all. The text is converted to UTF-8 in a scratch buffer
// first; the consumed length is reported in characters. request.input and
// request.length are ignored.
LexResult transcode_string(const Cell* string, int32_t length, LexRequest request);

// Lexes a binary! value's bytes from its head (length bytes, -1 for all),
// copied to stable memory first. A leading UTF-8 byte-order mark is the
// caller's to skip.
LexResult transcode_binary(const Cell* binary, int32_t length, LexRequest request);

// Prepares the shared cell buffer and registers the collector's root hook.
// Runs by itself on first use; start-up may call it early.
void init();

// ---------------------------------------------------------------------------
// State of one running lexer. Loaders read it through the accessors.

struct LexError {
  int code = kLexOk;
  uint32_t type = 0;       // the type an error event reports
  uint32_t expected = 0;   // missing: the expected character
  uint32_t line = 0;
  size_t text_offset = 0;  // where the offending text starts
};

class Lexer {
 public:
  explicit Lexer(const LexRequest& request);
  ~Lexer();
  Lexer(const Lexer&) = delete;
  Lexer& operator=(const Lexer&) = delete;

  bool loading() const { return mode_ == Mode::kLoad; }
  const uint8_t* input() const { return input_; }
  const uint8_t* input_end() const { return end_; }
  // Line of the token being handled, from 1.
  uint32_t line() const { return line_; }
  // True while the current level is a path (the value being loaded is a
  // path element).
  bool in_path() const;

  // For lex_source.
  void run();
  LexResult result() const;
  uint32_t output();
  // Appends the complete top-level values to the /into block (the values
  // lexed before an error that a callback saw).
  void keep_top_values();

 private:
  enum class Flow { kNext, kStop, kResume };

  Flow handle_token(Token& tok, uint8_t from_state);
  Flow handle_value(Token& tok, bool first_in_path);
  Flow open_path(const Token& tok, uint8_t from_state);
  Flow after_value();
  Flow open_level(uint32_t type, const Token& tok);
  // Offers the opening to the event handler, then pushes the level's marker.
  // True when the level is open; otherwise *flow says how to go on.
  bool enter_level(uint32_t type, const Token& tok, Flow* flow);
  Flow close_level(uint32_t type, const Token& tok);
  Flow closer(uint8_t kind, const Token& tok);
  Flow comma(const Token& tok);
  Flow end_of_input(const Token& tok);
  int scan_word(Token& tok) const;
  Loader loader_for(uint8_t kind) const;
  bool point_literal_follows(const uint8_t* after_paren) const;

  uint32_t level_type() const;
  void push_marker(uint32_t type, size_t offset);
  int finish_level(uint32_t type, bool quiet);
  void close_paths_quietly();
  void close_all_quietly();

  Flow fail(int code, const Token& tok, uint32_t expected = 0);
  bool offer(Event ev, int32_t type, const Token& tok, const uint8_t* position, const Cell* value = nullptr);
  bool wants(Event ev) const { return tracer_ && (tracer_->mask & ev); }
  [[noreturn]] void raise(const LexError& err) const;

  Lexer* next_;  // the lexer this one runs inside (a callback ran it), if any
  const uint8_t* input_;
  const uint8_t* end_;
  const uint8_t* pos_;  // where the next token starts
  Mode mode_;
  bool one_;
  Tracer* tracer_;
  const Loaders* loaders_;
  uint32_t into_;

  uint32_t base_;   // this run's first cell in the shared buffer
  uint32_t level_;  // index of the current level's marker, kNoLevel at the top
  uint32_t depth_ = 0;

  uint32_t line_ = 1;
  bool new_line_ = false;  // a line feed came before the next value
  uint8_t start_state_ = 0;
  const uint8_t* point_open_ = nullptr;  // the ( of a point literal token
  Token current_token_{};

  uint32_t brace_depth_ = 0;
  const uint8_t* brace_start_ = nullptr;
  uint32_t brace_flags_ = 0;
  uint32_t brace_line_ = 0;

  uint32_t last_type_ = 0;
  bool resumed_ = false;  // the last callback moved the input
  size_t resume_ = 0;
  bool stopped_by_callback_ = false;
};

constexpr uint32_t kNoLevel = 0xFFFFFFFF;

// Unicode code points that count as blanks between tokens; returns the byte
// length of the one at p (0 when p does not start one).
size_t unicode_space_length(const uint8_t* p, const uint8_t* end);

// The caret escape at p, just after its "^" (strings, chars, files and
// tags share them): stores the code point, moves p past the escape and
// answers true; false for a malformed escape. The text must be valid UTF-8.
bool read_escape(const uint8_t*& p, const uint8_t* end, uint32_t* out);

}  // namespace kiv::lexer
