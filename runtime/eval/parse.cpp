// The parse engine and the parse native. The layout of the two stacks and
// their frames is described in parse.h.
//
// States of the machine (the loop in Engine::run dispatches on them):
//   0 open block      push a block frame, enter the sub-rule block
//   1 end of block    leave the current block (pop its frame)
//   2 open command    push a command frame for the pending command
//   3 apply command   complete the command on top (or, with a block frame
//                     on top, go on after fail, break or reject)
//   4 after an item   command frame on top: 3; else go on or backtrack
//   5 item            dispatch the rule value by its type
//   6 advance one     the input moves one unit on
//   7 fetch           step to the next rule value
//   8 literal         match the value as it stands
//   9 command arg     the value after a command keyword or count
//  10 backtrack       input back to the block's entry, try the next `|`
//  11 word            keyword or rule word
//  12 finish          the match stands only if the rules and input are done
//  13 exit
//
// Every value the engine holds across something that can allocate lives in
// a RootedCell, on the argument stack or on one of the parse stacks; the
// current input's node is always on the input stack.
#include "runtime/eval/parse.h"

#include <algorithm>
#include <iterator>
#include <unordered_map>

#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/series_common.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/triple.h"
#include "runtime/datatypes/typeset.h"
#include "runtime/datatypes/word.h"
#include "runtime/datatypes/actions.h"
#include "runtime/eval/interpreter.h"
#include "runtime/eval/natives.h"
#include "runtime/eval/parse_match.h"
#include "runtime/hashtable.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/type_traits.h"
#include "runtime/words.h"

namespace kiv::parse {

namespace {

uint32_t g_input_stack = 0;
uint32_t g_rule_stack = 0;

void mark_stacks() {
  if (g_input_stack) collector::mark_series_cells(g_input_stack);
  if (g_rule_stack) collector::mark_series_cells(g_rule_stack);
}

void make_stacks() {
  if (g_input_stack && node_valid_q(g_input_stack) && g_rule_stack && node_valid_q(g_rule_stack)) return;
  collector::register_mark_callback(mark_stacks);
  g_input_stack = alloc_cells(kInputStackCells);
  g_rule_stack = alloc_cells(kRuleStackCells);
}

// The stacks hold cells: their length by shift.
uint32_t cells_of(uint32_t node) { return node_buffer(node)->used_bytes() / sizeof(Cell); }

// Cuts a stack back to n cells.
void cut_to(uint32_t node, uint32_t n) {
  SeriesBuffer* b = node_buffer(node);
  if (b->length() > n) b->tail = b->head + n * sizeof(Cell);
}

// Appends the cells at the tail (one grow at most), copied before anything
// allocates.
void push_cells(uint32_t node, std::initializer_list<Cell> cells) {
  const uint32_t bytes = static_cast<uint32_t>(cells.size() * sizeof(Cell));
  SeriesBuffer* b = node_buffer(node);
  if (static_cast<uint64_t>(b->tail) + bytes <= static_cast<uint64_t>(b->size)) {
    // Room at the tail: nothing allocates.
    std::memcpy(b->tail_ptr(), cells.begin(), bytes);
    b->tail += bytes;
    return;
  }
  Cell copies[3];
  size_t n = 0;
  for (const Cell& c : cells) copies[n++] = c;
  uint8_t* at = series_reserve_tail_bytes(node, static_cast<uint32_t>(n * sizeof(Cell)));
  std::memcpy(at, copies, n * sizeof(Cell));
}

// The keywords, by canonical symbol.
enum Keyword : uint8_t {
  KW_NOT_A_KEYWORD,
  KW_ANY,
  KW_BREAK,
  KW_COPY,
  KW_END,
  KW_FAIL,
  KW_INTO,
  KW_OPT,
  KW_NOT,
  KW_QUOTE,
  KW_CASE,
  KW_REJECT,
  KW_SET,
  KW_SKIP,
  KW_SOME,
  KW_THRU,
  KW_TO,
  KW_NONE,
  KW_BAR,
  KW_IF,
  KW_REMOVE,
  KW_WHILE,
  KW_INSERT,
  KW_COLLECT,
  KW_KEEP,
  KW_AHEAD,
  KW_CHANGE,
  // Words with a meaning only after another keyword.
  KW_ONLY,
  KW_PICK,
  KW_AFTER,
};

struct KeywordTable {
  uint32_t built_for = 0;  // the symbol id of `any` the table was built with
  std::unordered_map<uint32_t, Keyword> by_symbol;
};

// The answers for recently seen symbols (as written, before their canonical
// form is looked up), valid for one symbol table.
struct KeywordCache {
  static constexpr uint32_t kSlots = 64;
  uint32_t table = 0;
  uint32_t symbol[kSlots] = {};
  Keyword keyword[kSlots] = {};
};
KeywordCache g_keyword_cache;

Keyword keyword_lookup(uint32_t symbol) {
  static KeywordTable table;
  KeywordCache& cache = g_keyword_cache;
  uint32_t any = words::symbol_of(words::SYM_ANY);
  if (cache.table != symbol_table() || table.built_for != any) {
    std::fill(std::begin(cache.symbol), std::end(cache.symbol), 0u);
    cache.table = symbol_table();
  }
  if (table.built_for != any) {
    static const std::pair<words::Id, Keyword> kList[] = {
        {words::SYM_ANY, KW_ANY},       {words::SYM_BREAK, KW_BREAK},   {words::SYM_COPY, KW_COPY},
        {words::SYM_END, KW_END},       {words::SYM_FAIL, KW_FAIL},     {words::SYM_INTO, KW_INTO},
        {words::SYM_OPT, KW_OPT},       {words::SYM_NOT, KW_NOT},       {words::SYM_QUOTE, KW_QUOTE},
        {words::SYM_CASE, KW_CASE},     {words::SYM_REJECT, KW_REJECT}, {words::SYM_SET, KW_SET},
        {words::SYM_SKIP, KW_SKIP},     {words::SYM_SOME, KW_SOME},     {words::SYM_THRU, KW_THRU},
        {words::SYM_TO, KW_TO},         {words::SYM_NONE, KW_NONE},     {words::SYM_BAR, KW_BAR},
        {words::SYM_IF, KW_IF},         {words::SYM_REMOVE, KW_REMOVE}, {words::SYM_WHILE, KW_WHILE},
        {words::SYM_INSERT, KW_INSERT}, {words::SYM_COLLECT, KW_COLLECT}, {words::SYM_KEEP, KW_KEEP},
        {words::SYM_AHEAD, KW_AHEAD},   {words::WORD_CHANGE, KW_CHANGE}, {words::SYM_ONLY, KW_ONLY},
        {words::SYM_PICK, KW_PICK},     {words::SYM_AFTER, KW_AFTER},
    };
    table.by_symbol.clear();
    for (const auto& [id, kw] : kList) table.by_symbol[symbol::canonical(words::symbol_of(id))] = kw;
    table.built_for = any;
  }
  auto it = table.by_symbol.find(symbol::canonical(symbol));
  Keyword kw = it == table.by_symbol.end() ? KW_NOT_A_KEYWORD : it->second;
  uint32_t slot = symbol % KeywordCache::kSlots;
  cache.symbol[slot] = symbol;
  cache.keyword[slot] = kw;
  return kw;
}

inline Keyword keyword_of(const Cell* word) {
  const KeywordCache& cache = g_keyword_cache;
  uint32_t symbol = word->data2;
  uint32_t slot = symbol % KeywordCache::kSlots;
  if (cache.symbol[slot] == symbol && symbol != 0 && cache.table == symbol_table()) return cache.keyword[slot];
  return keyword_lookup(symbol);
}

bool word_is(const Cell& c, Keyword kw) { return TYPE_OF(&c) == TYPE_WORD && keyword_of(&c) == kw; }

Cell triple_cell(int32_t a, int32_t b, int32_t c) {
  Cell t;
  triple::init_cell(&t, a, b, c);
  return t;
}

Cell pair_cell(int32_t code, int32_t pick) {
  return Cell{TYPE_PAIR, 0, static_cast<uint32_t>(code), static_cast<uint32_t>(pick)};
}

inline int32_t field(const Cell* c, int n) {
  return static_cast<int32_t>(n == 1 ? c->data1 : n == 2 ? c->data2 : c->data3);
}

Cell none_cell() { return Cell{TYPE_NONE, 0, 0, 0}; }

bool series_value_q(uint32_t t) {
  return block_input_q(t) || string_input_q(t) || t == TYPE_BINARY;
}

// Raised by a trace callback's stop answer; caught by the run itself.
struct TraceStop {};

enum State : int {
  S_OPEN_BLOCK = 0,
  S_END_BLOCK = 1,
  S_OPEN_COMMAND = 2,
  S_APPLY = 3,
  S_AFTER_ITEM = 4,
  S_ITEM = 5,
  S_ADVANCE = 6,
  S_FETCH = 7,
  S_LITERAL = 8,
  S_ARGUMENT = 9,
  S_BACKTRACK = 10,
  S_WORD = 11,
  S_FINISH = 12,
  S_EXIT = 13,
};

// The stack regions of one run: both stacks are cut back to where they were
// when the run began, on every way out.
class Region {
 public:
  Region() : input_base(cells_of(g_input_stack)), rule_base(cells_of(g_rule_stack)) {}
  ~Region() { cut(); }
  void cut() {
    cut_to(g_input_stack, input_base);
    cut_to(g_rule_stack, rule_base);
  }
  Region(const Region&) = delete;
  Region& operator=(const Region&) = delete;

  const uint32_t input_base;
  const uint32_t rule_base;
};

class Engine {
 public:
  Engine(const Cell* input, const Cell* rules, const Options& options)
      : options_(options), case_op_(options.case_op), limit_(options.limit) {
    input_ = *input;
    clamp_input();
    item_ = *rules;
    value_base_ = stack::top_index();
  }

  void run(Cell* result);

 private:
  // --- stacks -------------------------------------------------------------
  uint32_t rule_cells() const { return cells_of(g_rule_stack) - region_.rule_base; }
  Cell* rule_cell(uint32_t i) const { return series_head_cell(g_rule_stack) + i; }  // raw
  uint32_t top_frame() const { return cells_of(g_rule_stack) - 3; }
  bool command_on_top() const {
    return rule_cells() >= 3 && TYPE_OF(rule_cell(cells_of(g_rule_stack) - 1)) == TYPE_PAIR;
  }
  int32_t top_code() const { return field(rule_cell(top_frame() + 2), 2); }
  int32_t top_item() const { return field(rule_cell(top_frame() + 1), 1); }
  int32_t top_start() const { return field(rule_cell(top_frame() + 1), 2); }
  void check_room(uint32_t node, uint32_t base) {
    if (cells_of(node) - base >= kStackLimit) raise("parse-stack");
  }
  void push_frame(const Cell& a, const Cell& b, const Cell& c) {
    check_room(g_rule_stack, region_.rule_base);
    push_cells(g_rule_stack, {a, b, c});
  }
  void drop_frame() { cut_to(g_rule_stack, cells_of(g_rule_stack) - 3); }
  bool repetition_open() const {
    for (uint32_t i = cells_of(g_rule_stack); i >= region_.rule_base + 3; i -= 3) {
      const Cell* c = rule_cell(i - 1);
      if (TYPE_OF(c) == TYPE_PAIR && (field(c, 2) == CMD_REPEAT || field(c, 2) == CMD_WHILE)) return true;
    }
    return false;
  }
  // Pops the command frame on top and tells the frame below which command
  // just completed.
  void pop_command() {
    int32_t code = top_code();
    event(words::WORD_POP);
    drop_frame();
    if (command_on_top()) rule_cell(cells_of(g_rule_stack) - 1)->data1 = static_cast<uint32_t>(code);
  }

  // --- input --------------------------------------------------------------
  int32_t index() const { return static_cast<int32_t>(input_.data1); }
  void set_index(int32_t i) { input_.data1 = static_cast<uint32_t>(std::max(i, 0)); }
  int32_t input_tail() const { return total_units(&input_); }
  bool bottom_q() const { return cells_of(g_input_stack) - region_.input_base == 1; }
  // Where matching must stop: the tail, or the /part limit on the parse
  // input itself (a nested input has no limit).
  int32_t end_index() const { return end_for(input_tail()); }
  int32_t end_for(int32_t tail) const { return bottom_q() && limit_ >= 0 && limit_ < tail ? limit_ : tail; }
  void clamp_input() {
    int32_t t = total_units(&input_);
    if (index() > t) set_index(t);
  }
  void recompute_end() {
    int32_t t = total_units(&input_);
    if (index() > t) set_index(t);
    end_ = index() >= end_for(t);
  }

  // --- rules --------------------------------------------------------------
  // Rule blocks hold cells: their length by shift.
  int32_t rules_tail() const {
    return static_cast<int32_t>(node_buffer(rules_.get()->data2)->used_bytes() / sizeof(Cell));
  }
  int32_t rules_head() const { return std::min(static_cast<int32_t>(rules_.get()->data1), rules_tail()); }
  bool has_item(int32_t p) const {
    int32_t tail = rules_tail();
    return p >= std::min(static_cast<int32_t>(rules_.get()->data1), tail) && p < tail;
  }
  Cell rule_at(int32_t p) const { return series_head_cell(rules_.get()->data2)[p]; }
  // After Kiv code ran (a paren, an action's owner, a trace callback): the
  // rules and the input may have changed under the engine. A position past
  // a shortened block comes back to its tail.
  void after_code_ran() {
    int32_t t = rules_tail();
    if (pos_ > t) pos_ = t;
    recompute_end();
  }
  // In the place of a command's argument: the value right after the keyword
  // (or count) of the command frame on top. collect and keep take words as
  // plain items.
  bool argument_q() const {
    if (!command_on_top() || pos_ != top_item() + 1) return false;
    int32_t code = top_code();
    return code != CMD_COLLECT && code != CMD_KEEP && code != CMD_KEEP_PAREN;
  }

  // --- helpers ------------------------------------------------------------
  [[noreturn]] void raise(const char* id, ErrorArgument arg = {}) {
    region_.cut();
    fire(ErrorCategory::kScript, id, std::move(arg));
  }
  Cell word_value(const Cell& word) {
    Cell w = word;
    return *_context::get_word(&w);
  }
  // Setting a word may run an object's change hook.
  void set_word(const Cell& word, const Cell& value) {
    RootedCell w(word);
    RootedCell v(value);
    _context::set_word(w.get(), v.get());
    after_code_ran();
  }
  void evaluate_paren(const Cell& paren);  // leaves the value pushed
  Cell value_after(int32_t p, const char* keyword_for_end, bool evaluate);  // may push
  void event(words::Id id);
  void keep_value(uint32_t target_at, const Cell& value);
  void keep_matched(uint32_t target_at, int32_t start, int32_t count, bool pick);
  Cell copy_part(int32_t start, int32_t count);  // pushed
  void check_collect_target(const Cell& target);

  // --- states -------------------------------------------------------------
  int open_block();
  int end_block();
  int open_command();
  int apply_command();
  int after_item();
  int item();
  int fetch();
  int literal();
  int argument();
  int backtrack();
  int word();
  int finish();
  int counts();
  int datatype_rule();

  Region region_;
  Options options_;
  Cell input_;
  RootedCell rules_;
  int32_t pos_ = -1;
  RootedCell item_;
  bool via_word_ = false;  // item_ is the value of a rule word
  RootedCell keyword_;     // the last keyword read, for parse-end
  bool match_ = true;
  bool end_ = false;
  bool stop_ = false;
  bool reached_tail_ = false;
  int32_t case_op_;
  int32_t limit_;
  int32_t collect_depth_ = 0;
  int32_t cmd_ = 0, cmd_min_ = 0, cmd_max_ = 0, cmd_pick_ = 0;
  RootedCell cmd_word_;
  RootedCell result_;
  bool have_result_ = false;
  RootedCell paren_value_;  // the value of the last paren (keep reads it)
  RootedCell copied_;       // the value the last copy set
  uint32_t value_base_;
};

// ---------------------------------------------------------------------------

void Engine::event(words::Id id) {
  if (!options_.callback) return;
  uint32_t mark = stack::top_index();
  Cell* args = stack::push_copy(words::cell_of(id));
  logic::push(match_);
  Cell rule = *rules_;
  rule.data1 = static_cast<uint32_t>(std::clamp(pos_, rules_head(), rules_tail()));
  stack::push_copy(&rule);
  stack::push_copy(&input_);
  // The callback sees a copy of this run's frames: it cannot disturb them.
  uint32_t n = rule_cells();
  Cell* frames = block::push_only_star(static_cast<int32_t>(n));
  if (n) {
    uint8_t* to = series_reserve_tail_bytes(frames->data2, n * sizeof(Cell));
    std::memcpy(to, rule_cell(region_.rule_base), n * sizeof(Cell));
  }
  Cell* answer = stack::push_new_cell();
  interpreter::call_function(options_.callback, args, 5, words::cell_of(words::WORD_PARSE_CALLBACK),
                             kCallbackParse, answer);
  bool go = !logic::falsy(answer);
  stack::drop_cells(stack::top_index() - mark);
  after_code_ran();
  if (!go) throw TraceStop{};
}

void Engine::evaluate_paren(const Cell& paren) {
  RootedCell code(paren);
  code->header &= ~kFlagNewLine;
  interpreter::evaluate_block(code.get(), false);
  paren_value_ = *stack::last_pushed();
  after_code_ran();
  event(words::WORD_PAREN);
}

// The value that insert and change put in: a paren's value, a word's value
// or the value as it stands; a path is refused. Pushed on the argument stack.
Cell Engine::value_after(int32_t p, const char* keyword_for_end, bool evaluate) {
  if (!has_item(p)) raise("parse-end", word::load(keyword_for_end));
  Cell v = rule_at(p);
  if (TYPE_OF(&v) == TYPE_PATH) raise("parse-rule", v);
  if (!evaluate) return v;
  if (TYPE_OF(&v) == TYPE_PAREN) {
    evaluate_paren(v);
    return *stack::last_pushed();
  }
  if (TYPE_OF(&v) == TYPE_WORD) {
    Cell value = word_value(v);
    if (TYPE_OF(&value) == TYPE_UNSET) {
      region_.cut();
      fire(ErrorCategory::kScript, "no-value", v);
    }
    stack::push_copy(&value);
    return value;
  }
  stack::push_copy(&v);
  return v;
}

Cell Engine::copy_part(int32_t start, int32_t count) {
  Cell* at = stack::push_copy(&input_);
  at->data1 = static_cast<uint32_t>(start);
  at->header &= ~kFlagNewLine;
  Cell* part = integer::push(count);
  dispatch_copy(at, at, part, false, nullptr);
  stack::drop_cells(1);
  return *at;
}

void Engine::check_collect_target(const Cell& target) {
  uint32_t t = TYPE_OF(&target);
  bool ok = series_value_q(t);
  if (ok && t == TYPE_BINARY && TYPE_OF(&input_) != TYPE_BINARY) ok = false;
  if (ok && string_input_q(t) && block_input_q(TYPE_OF(&input_))) ok = false;
  if (!ok) raise("parse-into-type");
}

// Keeps one value in the collect whose entry is at target_at on the value
// stack: appended to its block, or inserted into the series of its
// into/after word.
void Engine::keep_value(uint32_t target_at, const Cell& value) {
  Cell target = *stack::at(target_at);
  RootedCell v(value);
  v->header &= ~kFlagNewLine;
  if (TYPE_OF(&target) == TYPE_BLOCK) {
    block::append_cell(&target, v.get());
    return;
  }
  // An into (get-word!) or after (refinement!) marker.
  Cell word = target;
  set_type(&word, TYPE_WORD);
  Cell series = word_value(word);
  if (TYPE_OF(&series) != TYPE_OF(&input_)) check_collect_target(series);
  Cell* at = stack::push_copy(&series);
  if (TYPE_OF(&target) == TYPE_REFINEMENT) {
    dispatch_append(at, v.get(), -1, true, 1);
  } else {
    Cell after = *dispatch_insert(at, v.get(), -1, true, 1);
    set_word(word, after);
  }
  stack::drop_cells(1);
}

void Engine::keep_matched(uint32_t target_at, int32_t start, int32_t count, bool pick) {
  if (count <= 0) return;
  if (count == 1 || pick) {
    for (int32_t i = 0; i < count; ++i) {
      Cell* holder = stack::push_new_cell();
      *holder = series::element_at(&input_, start + i);
      keep_value(target_at, *holder);
      stack::drop_cells(1);
    }
    return;
  }
  copy_part(start, count);  // pushed
  Cell copied = *stack::last_pushed();
  keep_value(target_at, copied);
  stack::drop_cells(1);
}

// ---------------------------------------------------------------------------
// States.

int Engine::open_block() {
  bool first = rule_cells() == 0;
  Cell enclosing = first ? *item_ : *rules_;
  enclosing.header &= ~kFlagNewLine;
  push_frame(none_cell(), triple_cell(pos_, index(), input_tail()), enclosing);
  rules_ = *item_;
  pos_ = rules_head() - 1;
  match_ = true;
  recompute_end();
  event(words::WORD_PUSH);
  return S_FETCH;
}

int Engine::end_block() {
  if (rule_cells() == 3) {
    event(words::WORD_POP);
    return S_FINISH;
  }
  reached_tail_ = pos_ >= rules_tail();
  event(words::WORD_POP);
  uint32_t f = top_frame();
  rules_ = *rule_cell(f + 2);
  pos_ = field(rule_cell(f + 1), 1);
  drop_frame();
  if (pos_ >= rules_tail()) pos_ = rules_tail() - 1;
  if (command_on_top()) return S_APPLY;
  if (stop_) return S_END_BLOCK;
  return match_ ? S_FETCH : S_BACKTRACK;
}

int Engine::open_command() {
  Cell first = (cmd_ == CMD_COPY || cmd_ == CMD_SET) ? *cmd_word_ : triple_cell(cmd_min_, cmd_max_, 1);
  push_frame(first, triple_cell(pos_, index(), input_tail()), pair_cell(cmd_, cmd_pick_));
  ++pos_;
  event(words::WORD_PUSH);
  if (has_item(pos_)) {
    item_ = rule_at(pos_);
    via_word_ = false;
  }
  return S_ARGUMENT;
}

int Engine::apply_command() {
  if (!command_on_top()) return stop_ ? S_END_BLOCK : S_BACKTRACK;
  uint32_t f = top_frame();
  int32_t code = top_code();
  int32_t start = top_start();
  switch (code) {
    case CMD_REPEAT:
    case CMD_WHILE: {
      Cell counts = *rule_cell(f);
      int32_t min = field(&counts, 1), max = field(&counts, 2), iteration = field(&counts, 3);
      bool again = match_ && (max < 0 || iteration < max) && !stop_;
      if (again && code != CMD_WHILE) {
        // An iteration that moved nothing (and shortened nothing) would
        // repeat forever: it ends the loop.
        int32_t length_before = field(rule_cell(f + 1), 3);
        again = index() != start || input_tail() < length_before;
      }
      if (again) {
        Cell* place = rule_cell(f + 1);
        place->data2 = static_cast<uint32_t>(index());
        place->data3 = static_cast<uint32_t>(input_tail());
        rule_cell(f)->data3 = static_cast<uint32_t>(iteration + 1);
        pos_ = top_item();
        event(words::WORD_ITERATE);
        return S_FETCH;
      }
      if (match_) {
        if (iteration < min) match_ = false;
      } else if (iteration - 1 >= min || min == 0) {
        match_ = true;
        set_index(start);  // the failed iteration leaves nothing behind
      }
      stop_ = false;
      break;
    }
    case CMD_TO:
    case CMD_THRU: {
      if (match_) {
        if (code == CMD_TO) set_index(start);
        break;
      }
      if (start >= end_index()) break;  // tried at the end too: not found
      // Try the sub-rule again one unit further on.
      set_index(start + 1);
      rule_cell(f + 1)->data2 = static_cast<uint32_t>(start + 1);
      pos_ = top_item();
      match_ = true;
      recompute_end();
      event(words::WORD_ITERATE);
      return S_FETCH;
    }
    case CMD_COPY:
      if (match_) {
        Cell value = copy_part(start, index() - start);  // pushed
        copied_ = value;
        set_word(*rule_cell(f), value);
        stack::drop_cells(1);
      }
      break;
    case CMD_SET:
      if (match_) {
        RootedCell value(index() > start ? series::element_at(&input_, start) : none_cell());
        set_word(*rule_cell(f), *value);
      }
      break;
    case CMD_NOT:
      // A look-ahead: the input stays where it was, whatever matched.
      match_ = !match_;
      set_index(start);
      break;
    case CMD_AHEAD:
      set_index(start);
      break;
    case CMD_INTO: {
      bool whole = match_ && index() >= input_tail() && reached_tail_;
      cut_to(g_input_stack, cells_of(g_input_stack) - 1);
      input_ = *(series_tail_cell(g_input_stack) - 1);
      match_ = whole;
      if (whole) set_index(index() + 1);
      break;
    }
    case CMD_REMOVE:
      if (match_ && index() > start) {
        Cell* at = stack::push_copy(&input_);
        at->data1 = static_cast<uint32_t>(start);
        Cell* part = integer::push(index() - start);
        dispatch_remove(at, part, nullptr);
        stack::drop_cells(2);
        set_index(start);
        after_code_ran();
      }
      break;
    case CMD_CHANGE:
    case CMD_CHANGE_ONLY: {
      uint32_t mark = stack::top_index();
      Cell value = value_after(pos_ + 1, "change", match_);
      ++pos_;
      if (match_) {
        start = std::min(top_start(), input_tail());
        int32_t count = std::max(index() - start, 0);
        Cell* at = stack::push_copy(&input_);
        at->data1 = static_cast<uint32_t>(start);
        Cell* v = stack::push_copy(&value);
        Cell after = *dispatch_change(at, v, count, code == CMD_CHANGE_ONLY, 1);
        set_index(static_cast<int32_t>(after.data1));
        after_code_ran();
      }
      stack::drop_cells(stack::top_index() - mark);
      break;
    }
    case CMD_CASE:
      case_op_ = field(rule_cell(f), 2);
      break;
    case CMD_COLLECT: {
      --collect_depth_;
      Cell top = *stack::last_pushed();
      if (TYPE_OF(&top) != TYPE_BLOCK) {
        // collect into/after: the word's series gets its starting index back.
        Cell word = top;
        set_type(&word, TYPE_WORD);
        Cell series = word_value(word);
        if (series_value_q(TYPE_OF(&series))) {
          series.data1 = static_cast<uint32_t>(field(rule_cell(f), 2));
          set_word(word, series);
        }
        stack::drop_cells(1);
        break;
      }
      RootedCell collected(top);
      stack::drop_cells(1);
      Cell below = stack::top_index() > value_base_ ? *stack::last_pushed() : none_cell();
      if (TYPE_OF(&below) == TYPE_WORD) {  // collect set
        stack::drop_cells(1);
        set_word(below, *collected);
      } else if (collect_depth_ == 0) {
        if (!have_result_) {
          result_ = *collected;
          have_result_ = true;
        } else {
          block::append_cell(result_.get(), collected.get());
        }
      } else if (TYPE_OF(&below) == TYPE_BLOCK) {
        block::append_cell(&below, collected.get());
      } else {
        // Inside a collect into/after: the values go into its series.
        Cell word = below;
        set_type(&word, TYPE_WORD);
        Cell series = word_value(word);
        Cell* at = stack::push_copy(&series);
        if (TYPE_OF(&below) == TYPE_REFINEMENT) {
          dispatch_append(at, collected.get(), -1, false, 1);
        } else {
          Cell after = *dispatch_insert(at, collected.get(), -1, false, 1);
          set_word(word, after);
        }
        stack::drop_cells(1);
      }
      break;
    }
    case CMD_KEEP:
    case CMD_KEEP_PAREN: {
      if (!match_) break;
      uint32_t target_at = stack::top_index() - 1;  // the innermost collect's entry
      bool pick = field(rule_cell(f + 2), 3) != 0;
      int32_t inner = field(rule_cell(f + 2), 1);
      if (code == CMD_KEEP_PAREN || inner == CMD_COPY) {
        RootedCell value(code == CMD_KEEP_PAREN ? *paren_value_ : *copied_);
        if (pick && TYPE_OF(value.get()) == TYPE_BLOCK) {
          int32_t n = block::rs_length_q(value.get());
          for (int32_t i = 0; i < n; ++i) {
            Cell one = series_head_cell(value->data2)[value->data1 + i];
            keep_value(target_at, one);
          }
        } else {
          keep_value(target_at, *value);
        }
      } else {
        keep_matched(target_at, start, index() - start, pick);
      }
      break;
    }
    default:
      break;
  }
  after_code_ran();
  pop_command();
  return S_AFTER_ITEM;
}

int Engine::after_item() {
  if (command_on_top()) return S_APPLY;
  if (stop_) return S_END_BLOCK;
  return match_ ? S_FETCH : S_BACKTRACK;
}

int Engine::fetch() {
  ++pos_;
  if (pos_ >= rules_tail()) return command_on_top() ? S_APPLY : S_END_BLOCK;
  event(words::WORD_FETCH);
  if (pos_ < rules_head() || pos_ >= rules_tail()) {
    pos_ = rules_tail();
    return command_on_top() ? S_APPLY : S_END_BLOCK;
  }
  item_ = rule_at(pos_);
  via_word_ = false;
  return S_ITEM;
}

int Engine::literal() {
  match_ = match_value(&input_, end_index(), item_.get(), case_op_);
  recompute_end();
  event(words::WORD_MATCH);
  return S_AFTER_ITEM;
}

int Engine::datatype_rule() {
  uint32_t t = TYPE_OF(&input_);
  if (string_input_q(t)) raise("parse-unsupported");
  if (end_) {
    match_ = false;
  } else if (t == TYPE_BINARY) {
    match_ = match_binary_type(&input_, end_index(), item_.get());
  } else {
    uint32_t type = TYPE_OF(&series_head_cell(input_.data2)[index()]);
    match_ = TYPE_OF(item_.get()) == TYPE_TYPESET ? typeset::has_q(item_.get(), type) : type == item_->data1;
    if (match_) set_index(index() + 1);
  }
  recompute_end();
  event(words::WORD_MATCH);
  return S_AFTER_ITEM;
}

int Engine::counts() {
  Cell first = *item_;
  int32_t min = integer::get(&first);
  if (min < 0) raise("out-of-range", first);
  if (!has_item(pos_ + 1)) raise("parse-rule", first);
  Cell next = rule_at(pos_ + 1);
  if (TYPE_OF(&next) == TYPE_WORD && keyword_of(&next) == KW_NOT_A_KEYWORD) next = word_value(next);
  int32_t max = min, last = pos_;
  if (TYPE_OF(&next) == TYPE_INTEGER) {
    max = integer::get(&next);
    last = pos_ + 1;
    if (max < 0) raise("out-of-range", next);
    if (!has_item(pos_ + 2) || max < min) raise("parse-rule", first);
  }
  if (max == 0) {
    // Zero times: the counts and the rule after them are skipped.
    pos_ = last + 1;
    match_ = true;
    return S_AFTER_ITEM;
  }
  cmd_ = CMD_REPEAT;
  cmd_min_ = min;
  cmd_max_ = max;
  cmd_pick_ = 0;
  pos_ = last;
  return S_OPEN_COMMAND;
}

int Engine::item() {
  switch (TYPE_OF(item_.get())) {
    case TYPE_WORD:
      if (via_word_) raise("parse-rule", *item_);
      return S_WORD;
    case TYPE_BLOCK:
      return S_OPEN_BLOCK;
    case TYPE_DATATYPE:
    case TYPE_TYPESET:
      return datatype_rule();
    case TYPE_SET_WORD:
      set_word(*item_, input_);
      return S_FETCH;
    case TYPE_GET_WORD: {
      Cell value = word_value(*item_);
      if (TYPE_OF(&value) != TYPE_OF(&input_) || value.data2 != input_.data2) raise("parse-invalid-ref", *item_);
      set_index(static_cast<int32_t>(value.data1));
      recompute_end();
      match_ = true;
      return S_AFTER_ITEM;
    }
    case TYPE_INTEGER:
      return counts();
    case TYPE_PAREN:
      evaluate_paren(*item_);
      stack::drop_cells(1);
      return S_AFTER_ITEM;
    case TYPE_PATH:
      raise("parse-rule", *item_);
    default:
      return S_LITERAL;
  }
}

int Engine::argument() {
  int32_t code = top_code();
  if (!has_item(pos_)) {
    switch (code) {
      case CMD_TO:
      case CMD_THRU:
      case CMD_NOT:
      case CMD_REMOVE:
      case CMD_WHILE:
      case CMD_COLLECT:
      case CMD_KEEP:
      case CMD_KEEP_PAREN:
      case CMD_AHEAD:
        raise("parse-end", *keyword_);
      default:
        match_ = true;
        recompute_end();
        return S_AFTER_ITEM;
    }
  }
  switch (TYPE_OF(item_.get())) {
    case TYPE_BLOCK:
      return S_OPEN_BLOCK;
    case TYPE_WORD:
      return S_WORD;
    case TYPE_INTEGER:
    case TYPE_PAREN:
    case TYPE_TYPESET:
    case TYPE_DATATYPE:
      return S_ITEM;
    default:
      break;
  }
  if (code == CMD_REPEAT || code == CMD_WHILE) {
    // A literal repeated: counted in one pass.
    Cell counts = *rule_cell(top_frame());
    int32_t min = field(&counts, 1), max = field(&counts, 2);
    int32_t start = index(), n = 0;
    bool ok = match_repeat(&input_, end_index(), item_.get(), min, max, case_op_, &n);
    if (!ok) {
      set_index(start);
      ok = min == 0;
    }
    match_ = ok;
    recompute_end();
    event(words::WORD_MATCH);
    pop_command();
    return S_AFTER_ITEM;
  }
  if (code == CMD_TO || code == CMD_THRU) {
    if (!searchable_q(&input_, item_.get())) raise("parse-rule", *item_);
    int32_t found_at = 0;
    bool found = find_to_thru(&input_, end_index(), item_.get(), case_op_, &found_at);
    if (found) {
      if (code == CMD_TO) set_index(found_at);
      match_ = true;
    } else {
      match_ = bottom_q() && limit_ >= 0 && index() > limit_;
    }
    recompute_end();
    event(words::WORD_MATCH);
    pop_command();
    return S_AFTER_ITEM;
  }
  return S_ITEM;
}

int Engine::backtrack() {
  set_index(field(rule_cell(top_frame() + 1), 2));
  recompute_end();
  int32_t from = std::max(pos_, rules_head());
  // The next `|` from there (nothing here allocates).
  int32_t tail = rules_tail();
  HeldPtr<const Cell> cells = series_head_cell(rules_.get()->data2);
  int32_t p = from;
  while (p < tail && !(TYPE_OF(cells + p) == TYPE_WORD && keyword_of(cells + p) == KW_BAR)) ++p;
  if (p >= tail) {
    match_ = false;
    return S_END_BLOCK;
  }
  pos_ = p;
  match_ = true;
  return S_FETCH;
}

int Engine::word() {
  Keyword kw = keyword_of(item_.get());
  Cell next = has_item(pos_ + 1) ? rule_at(pos_ + 1) : Cell{TYPE_UNSET, 0, 0, 0};
  bool has_next = has_item(pos_ + 1);
  if (kw != KW_NOT_A_KEYWORD && kw < KW_ONLY) keyword_ = *item_;
  auto command = [&](int32_t code, int32_t min, int32_t max) {
    cmd_ = code;
    cmd_min_ = min;
    cmd_max_ = max;
    cmd_pick_ = 0;
    return S_OPEN_COMMAND;
  };
  switch (kw) {
    case KW_BAR:
      pos_ = rules_tail();
      return command_on_top() ? S_APPLY : S_END_BLOCK;
    case KW_SKIP:
      match_ = !end_;
      event(words::WORD_MATCH);
      return match_ ? S_ADVANCE : S_AFTER_ITEM;
    case KW_ANY:
    case KW_SOME:
    case KW_OPT:
      if (!has_next) raise("parse-end", *item_);
      return command(CMD_REPEAT, kw == KW_SOME ? 1 : 0, kw == KW_OPT ? 1 : -1);
    case KW_WHILE:
      return command(CMD_WHILE, 0, -1);
    case KW_TO:
    case KW_THRU:
      if (word_is(next, KW_END)) {
        match_ = true;
        event(words::WORD_MATCH);
        ++pos_;
        set_index(end_index());
        recompute_end();
        return S_AFTER_ITEM;
      }
      return command(kw == KW_TO ? CMD_TO : CMD_THRU, 0, 0);
    case KW_REMOVE: {
      if (has_next && TYPE_OF(&next) == TYPE_PATH) raise("parse-rule", next);
      if (has_next && (TYPE_OF(&next) == TYPE_WORD || TYPE_OF(&next) == TYPE_GET_WORD) &&
          keyword_of(&next) == KW_NOT_A_KEYWORD) {
        Cell mark = word_value(next);
        if (TYPE_OF(&mark) == TYPE_OF(&input_) && mark.data2 == input_.data2) {
          // remove from a marked position to here, at once.
          int32_t a = std::min(static_cast<int32_t>(mark.data1), index());
          int32_t b = std::max(static_cast<int32_t>(mark.data1), index());
          a = std::min(a, input_tail());
          if (b > a) {
            Cell* at = stack::push_copy(&input_);
            at->data1 = static_cast<uint32_t>(a);
            Cell* part = integer::push(b - a);
            dispatch_remove(at, part, nullptr);
            stack::drop_cells(2);
          }
          set_index(a);
          ++pos_;
          after_code_ran();
          match_ = true;
          return S_AFTER_ITEM;
        }
      }
      return command(CMD_REMOVE, 0, 0);
    }
    case KW_BREAK:
    case KW_REJECT:
      match_ = kw == KW_BREAK;
      event(words::WORD_MATCH);
      if (repetition_open()) stop_ = true;
      if (command_on_top()) return S_APPLY;
      // The block ends here: as a success for break, a failure for reject.
      if (match_) pos_ = rules_tail();
      return S_END_BLOCK;
    case KW_FAIL:
      match_ = false;
      event(words::WORD_MATCH);
      return S_APPLY;
    case KW_KEEP: {
      if (collect_depth_ == 0) raise("parse-keep");
      int32_t pick = 0;
      if (has_next && word_is(next, KW_PICK)) {
        pick = 1;
        ++pos_;
        has_next = has_item(pos_ + 1);
        next = has_next ? rule_at(pos_ + 1) : Cell{TYPE_UNSET, 0, 0, 0};
      }
      command(has_next && TYPE_OF(&next) == TYPE_PAREN ? CMD_KEEP_PAREN : CMD_KEEP, 0, 0);
      cmd_pick_ = pick;
      return S_OPEN_COMMAND;
    }
    case KW_AHEAD:
      return command(CMD_AHEAD, 0, 0);
    case KW_NOT:
      return command(CMD_NOT, 0, 0);
    case KW_INTO: {
      if (!block_input_q(TYPE_OF(&input_))) raise("parse-block", input_);
      Cell sub = next;
      if (has_next && TYPE_OF(&sub) == TYPE_WORD) sub = word_value(sub);
      if (!has_next || TYPE_OF(&sub) != TYPE_BLOCK) raise("parse-end", *item_);
      // When there is nothing to descend into, the sub-rule is stepped over
      // with the keyword, so that a loop around `into` goes on after it.
      if (end_) {
        match_ = false;
        ++pos_;
        return S_AFTER_ITEM;
      }
      Cell nested = series_head_cell(input_.data2)[index()];
      uint32_t t = TYPE_OF(&nested);
      if (!series_value_q(t)) {
        match_ = false;
        ++pos_;
        event(words::WORD_MATCH);
        return S_AFTER_ITEM;
      }
      check_room(g_input_stack, region_.input_base);
      nested.header &= ~kFlagNewLine;
      series_tail_cell(g_input_stack)[-1].data1 = input_.data1;
      push_cells(g_input_stack, {nested});
      input_ = nested;
      clamp_input();
      recompute_end();
      return command(CMD_INTO, 0, 0);
    }
    case KW_INSERT: {
      int32_t p = pos_ + 1;
      bool only = has_item(p) && word_is(rule_at(p), KW_ONLY);
      if (only) ++p;
      if (!has_item(p)) raise("parse-end", *item_);
      int32_t at_index = index();
      bool marked = false;
      Cell v = rule_at(p);
      if (TYPE_OF(&v) == TYPE_WORD || TYPE_OF(&v) == TYPE_GET_WORD) {
        Cell mark = word_value(v);
        if (TYPE_OF(&mark) == TYPE_OF(&input_) && mark.data2 == input_.data2) {
          at_index = std::min(static_cast<int32_t>(mark.data1), input_tail());
          marked = true;
          ++p;
          if (!has_item(p)) raise("parse-rule", *item_);
        }
      }
      uint32_t mark = stack::top_index();
      Cell value = value_after(p, "insert", true);
      if (!marked) at_index = index();
      int32_t saved = index();
      int32_t before = input_tail();
      Cell* at = stack::push_copy(&input_);
      at->data1 = static_cast<uint32_t>(std::min(at_index, before));
      Cell* val = stack::push_copy(&value);
      dispatch_insert(at, val, -1, only, 1);
      int32_t inserted = input_tail() - before;
      stack::drop_cells(stack::top_index() - mark);
      if (at_index <= saved) set_index(saved + inserted);
      pos_ = p;
      after_code_ran();
      return S_FETCH;
    }
    case KW_CHANGE: {
      int32_t p = pos_ + 1;
      bool only = has_item(p) && word_is(rule_at(p), KW_ONLY);
      if (only) ++p;
      if (!has_item(p)) raise("parse-rule", word::load("change"));
      Cell v = rule_at(p);
      if (TYPE_OF(&v) == TYPE_WORD || TYPE_OF(&v) == TYPE_GET_WORD) {
        Cell mark = word_value(v);
        if (TYPE_OF(&mark) == TYPE_OF(&input_) && mark.data2 == input_.data2) {
          // change from a marked position to here, at once.
          if (!has_item(p + 1)) raise("parse-rule", word::load("change"));
          uint32_t stack_mark = stack::top_index();
          Cell value = value_after(p + 1, "change", true);
          int32_t a = std::min(std::min(static_cast<int32_t>(mark.data1), index()), input_tail());
          int32_t b = std::min(std::max(static_cast<int32_t>(mark.data1), index()), input_tail());
          Cell* at = stack::push_copy(&input_);
          at->data1 = static_cast<uint32_t>(a);
          Cell* val = stack::push_copy(&value);
          dispatch_change(at, val, b - a, only, 1);
          stack::drop_cells(stack::top_index() - stack_mark);
          set_index(a);
          pos_ = p + 1;
          after_code_ran();
          match_ = true;
          return S_AFTER_ITEM;
        }
      }
      if (only) ++pos_;
      return command(only ? CMD_CHANGE_ONLY : CMD_CHANGE, 0, 0);
    }
    case KW_END:
      match_ = end_;
      event(words::WORD_MATCH);
      return S_AFTER_ITEM;
    case KW_IF: {
      if (!has_next || TYPE_OF(&next) != TYPE_PAREN) raise("parse-end", *item_);
      ++pos_;
      evaluate_paren(next);
      match_ = !logic::falsy(stack::last_pushed());
      stack::drop_cells(1);
      event(words::WORD_MATCH);
      return S_AFTER_ITEM;
    }
    case KW_QUOTE:
      if (!has_next) raise("parse-end", *item_);
      ++pos_;
      item_ = next;
      return S_LITERAL;
    case KW_CASE: {
      if (!has_next || TYPE_OF(&next) != TYPE_WORD) raise("parse-end", *item_);
      Cell value = word_value(next);
      int32_t previous = case_op_;
      ++pos_;
      command(CMD_CASE, 0, previous);
      case_op_ = logic::falsy(&value) ? COMP_EQUAL : COMP_STRICT_EQUAL;
      return S_OPEN_COMMAND;
    }
    case KW_COLLECT: {
      int32_t target_index = 0;
      bool marked = has_next && (word_is(next, KW_SET) || word_is(next, KW_INTO) || word_is(next, KW_AFTER));
      if (marked) {
        Keyword form = keyword_of(&next);
        Cell word = has_item(pos_ + 2) ? rule_at(pos_ + 2) : Cell{TYPE_UNSET, 0, 0, 0};
        if (TYPE_OF(&word) != TYPE_WORD) raise("parse-end", *item_);
        if (form == KW_SET) {
          stack::push_copy(&word);
          block::push_only_star(8);
        } else {
          Cell target = word_value(word);
          check_collect_target(target);
          if (target.data2 == input_.data2) raise("parse-into-bad");
          target_index = static_cast<int32_t>(target.data1);
          Cell* marker = stack::push_copy(&word);
          set_type(marker, form == KW_INTO ? TYPE_GET_WORD : TYPE_REFINEMENT);
        }
        pos_ += 2;
      } else {
        block::push_only_star(8);
      }
      ++collect_depth_;
      return command(CMD_COLLECT, 0, target_index);
    }
    case KW_SET:
    case KW_COPY:
      if (!has_next || TYPE_OF(&next) != TYPE_WORD || !has_item(pos_ + 2)) raise("parse-end", *item_);
      ++pos_;
      cmd_word_ = next;
      return command(kw == KW_SET ? CMD_SET : CMD_COPY, 0, 0);
    case KW_NONE:
      match_ = true;
      event(words::WORD_MATCH);
      return S_AFTER_ITEM;
    default:
      break;
  }
  // A rule word: its value is the rule.
  Cell rule_word = *item_;
  Cell value = word_value(rule_word);
  if (TYPE_OF(&value) == TYPE_UNSET) raise("parse-rule", rule_word);
  bool as_argument = argument_q();
  item_ = value;
  via_word_ = true;
  if (as_argument) return TYPE_OF(&value) == TYPE_WORD ? S_LITERAL : S_ARGUMENT;
  return S_ITEM;
}

int Engine::finish() {
  if (pos_ < rules_tail()) match_ = false;
  if (index() < end_index() && bottom_q()) match_ = false;
  event(words::KEY_END);
  return S_EXIT;
}

void Engine::run(Cell* result) {
  push_cells(g_input_stack, {input_});
  rules_ = *item_;
  bool stopped = false;
  try {
    int state = S_OPEN_BLOCK;
    while (state != S_EXIT) {
      switch (state) {
        case S_OPEN_BLOCK: state = open_block(); break;
        case S_END_BLOCK: state = end_block(); break;
        case S_OPEN_COMMAND: state = open_command(); break;
        case S_APPLY: state = apply_command(); break;
        case S_AFTER_ITEM: state = after_item(); break;
        case S_ITEM: state = item(); break;
        case S_ADVANCE:
          set_index(index() + 1);
          recompute_end();
          state = S_AFTER_ITEM;
          break;
        case S_FETCH: state = fetch(); break;
        case S_LITERAL: state = literal(); break;
        case S_ARGUMENT: state = argument(); break;
        case S_BACKTRACK: state = backtrack(); break;
        case S_WORD: state = word(); break;
        case S_FINISH: state = finish(); break;
        default: state = S_EXIT; break;
      }
    }
  } catch (const TraceStop&) {
    stopped = true;
  }
  region_.cut();
  if (stack::top_index() > value_base_) stack::drop_cells(stack::top_index() - value_base_);
  if (have_result_ && !stopped) *result = *result_;
  else *result = Cell{TYPE_LOGIC, match_ ? 1u : 0u, 0, 0};
}

}  // namespace

void init() { make_stacks(); }

void run(const Cell* input, const Cell* rules, const Options& options, Cell* result) {
  make_stacks();
  Engine engine(input, rules, options);
  engine.run(result);
}


}  // namespace kiv::parse

// ---------------------------------------------------------------------------
// The native.

namespace kiv::natives {

namespace {

bool any_function_q(uint32_t t) { return any_function_type_q(t); }

}  // namespace

// parse (native 40): input, rules, /case, /part length, /trace callback.
void parse(int32_t check, const int32_t* refinements) {
  Cell* input = stack::arguments();
  Cell* rules = input + 1;
  if (check) {
    uint32_t t = TYPE_OF(input);
    if (!(parse::block_input_q(t) || parse::string_input_q(t) || t == TYPE_BINARY))
      fire(ErrorCategory::kScript, "expect-arg", word::load("parse"), datatype_cell(t), word::load("input"));
    if (TYPE_OF(rules) != TYPE_BLOCK)
      fire(ErrorCategory::kScript, "expect-arg", word::load("parse"), datatype_cell(TYPE_OF(rules)),
           word::load("rules"));
  }
  parse::Options options;
  options.case_op = refinements && refinements[0] >= 0 ? COMP_STRICT_EQUAL : COMP_EQUAL;
  int32_t total = parse::total_units(input);
  if (static_cast<int32_t>(input->data1) > total) input->data1 = static_cast<uint32_t>(total);
  int32_t index = static_cast<int32_t>(input->data1);
  if (refinements && refinements[1] >= 0) {
    Cell* part = stack::arguments() + refinements[1];
    int64_t limit;
    if (TYPE_OF(part) == TYPE_INTEGER) {
      limit = static_cast<int64_t>(index) + integer::get(part);
    } else if (TYPE_OF(part) == TYPE_OF(input) && part->data2 == input->data2) {
      limit = std::min(static_cast<int32_t>(part->data1), total);
    } else {
      fire(ErrorCategory::kScript, "invalid-refine-arg", word::load("part", TYPE_REFINEMENT), *part);
    }
    if (limit <= index) {
      logic::init_cell(input, index >= total);
      stack::keep_first();
      return;
    }
    options.limit = static_cast<int32_t>(std::min<int64_t>(limit, total));
  }
  if (refinements && refinements[2] >= 0) {
    Cell* callback = stack::arguments() + refinements[2];
    if (!any_function_q(TYPE_OF(callback))) fire(ErrorCategory::kScript, "invalid-arg", *callback);
    options.callback = callback;
  }
  Cell* result = stack::push_new_cell();
  parse::run(input, rules, options, result);
  Cell answer = *result;
  stack::set_only_result(&answer);
}

}  // namespace kiv::natives
