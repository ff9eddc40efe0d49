#include "runtime/eval/parse_match.h"

#include <algorithm>

#include "runtime/case_fold.h"
#include "runtime/datatypes/bitset.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/typeset.h"
#include "runtime/datatypes/actions.h"
#include "runtime/eval/lexer.h"
#include "runtime/member_bits.h"
#include "runtime/series.h"
#include "runtime/text_units.h"
#include "runtime/type_traits.h"
#include "runtime/words.h"

namespace kiv::parse {

namespace {

// A raw view of a text or byte series: good only until the next allocation,
// so the loops that use it allocate nothing.
struct Units {
  const uint8_t* data;  // the buffer's first used unit
  uint32_t unit;
  uint32_t at(int32_t i) const { return read_unit(data + static_cast<size_t>(i) * unit, unit); }
};

Units units_of(uint32_t node) {
  SeriesBuffer* b = node_buffer(node);
  return Units{b->head_ptr(), b->unit()};
}

inline uint32_t fold(uint32_t cp) { return static_cast<uint32_t>(fold_case(static_cast<int32_t>(cp))); }

inline bool same_unit(uint32_t a, uint32_t b, bool folding) {
  return a == b || (folding && fold(a) == fold(b));
}

bool text_rule_q(uint32_t type) { return string_input_q(type) || type == TYPE_BINARY; }

// The units a text rule covers from its head: its own length, and two more
// for a tag!'s angle brackets.
int32_t rule_span(const Cell* rule) {
  int32_t n = total_units(rule) - static_cast<int32_t>(rule->data1);
  if (n < 0) n = 0;
  return TYPE_OF(rule) == TYPE_TAG ? n + 2 : n;
}

// True when the text rule's units (a tag! between "<" and ">") stand at p.
// The caller has checked that p + rule_span fits.
bool text_at(const Units& in, int32_t p, const Cell* rule, bool folding) {
  int32_t first = static_cast<int32_t>(rule->data1);
  int32_t n = total_units(rule) - first;
  if (n < 0) n = 0;
  bool tag = TYPE_OF(rule) == TYPE_TAG;
  if (tag) {
    if (in.at(p) != '<' || in.at(p + n + 1) != '>') return false;
    ++p;
  }
  Units r = units_of(rule->data2);
  for (int32_t i = 0; i < n; ++i)
    if (!same_unit(in.at(p + i), r.at(first + i), folding)) return false;
  return true;
}

// One unit against a char! or bitset! rule.
bool unit_matches(uint32_t cp, const Cell* rule, uint32_t folded_rule, bool folding) {
  if (TYPE_OF(rule) == TYPE_BITSET) return bitset::member_q(rule, cp);
  return cp == rule->data2 || (folding && fold(cp) == folded_rule);
}

// The compare op a block comparison uses for this rule value.
int32_t block_op(const Cell* rule, int32_t case_op) {
  uint32_t t = TYPE_OF(rule);
  if (t == TYPE_LIT_WORD || t == TYPE_LIT_PATH)
    return case_op == COMP_STRICT_EQUAL ? COMP_PARSE_WORD : COMP_PARSE_WORD_CASE;
  return case_op;
}

// The value at cell index p of a block input equals the rule value.
bool block_value_at(const Cell* input, int32_t p, const Cell* rule, int32_t op) {
  Cell value = series_head_cell(input->data2)[p];
  Cell wanted = *rule;
  return actions::compare(&value, &wanted, op);
}

}  // namespace

bool string_input_q(uint32_t type) { return string::any_string_q(type); }

bool block_input_q(uint32_t type) { return any_block_type_q(type); }

bool match_value(Cell* input, int32_t end, const Cell* rule, int32_t case_op) {
  int32_t idx = static_cast<int32_t>(input->data1);
  uint32_t in_type = TYPE_OF(input), rule_type = TYPE_OF(rule);
  if (block_input_q(in_type)) {
    if (idx >= end) return false;
    if (!block_value_at(input, idx, rule, block_op(rule, case_op))) return false;
    input->data1 = static_cast<uint32_t>(idx + 1);
    return true;
  }
  bool text = string_input_q(in_type);
  bool folding = text && case_op != COMP_STRICT_EQUAL;
  if (idx >= end) {
    // An empty string still matches at the end of text.
    return text && (rule_type == TYPE_STRING || rule_type == TYPE_FILE || rule_type == TYPE_URL) &&
           rule_span(rule) == 0;
  }
  Units in = units_of(input->data2);
  if (rule_type == TYPE_CHAR || rule_type == TYPE_BITSET) {
    uint32_t folded = rule_type == TYPE_CHAR ? fold(rule->data2) : 0;
    if (!unit_matches(in.at(idx), rule, folded, folding)) return false;
    input->data1 = static_cast<uint32_t>(idx + 1);
    return true;
  }
  if (!text_rule_q(rule_type)) return false;
  int32_t span = rule_span(rule);
  if (idx + span > end || !text_at(in, idx, rule, folding)) return false;
  input->data1 = static_cast<uint32_t>(idx + span);
  return true;
}

bool searchable_q(const Cell* input, const Cell* rule) {
  if (block_input_q(TYPE_OF(input))) return true;
  uint32_t t = TYPE_OF(rule);
  return text_rule_q(t) || t == TYPE_CHAR || t == TYPE_BITSET;
}

bool find_to_thru(Cell* input, int32_t end, const Cell* rule, int32_t case_op, int32_t* start) {
  int32_t idx = static_cast<int32_t>(input->data1);
  uint32_t rule_type = TYPE_OF(rule);
  if (block_input_q(TYPE_OF(input))) {
    int32_t op = block_op(rule, case_op);
    for (int32_t p = idx; p < end; ++p) {
      if (block_value_at(input, p, rule, op)) {
        *start = p;
        input->data1 = static_cast<uint32_t>(p + 1);
        return true;
      }
    }
    return false;
  }
  if (!searchable_q(input, rule)) return false;
  bool folding = string_input_q(TYPE_OF(input)) && case_op != COMP_STRICT_EQUAL;
  Units in = units_of(input->data2);
  if (rule_type == TYPE_CHAR || rule_type == TYPE_BITSET) {
    uint32_t folded = rule_type == TYPE_CHAR ? fold(rule->data2) : 0;
    for (int32_t p = idx; p < end; ++p) {
      if (unit_matches(in.at(p), rule, folded, folding)) {
        *start = p;
        input->data1 = static_cast<uint32_t>(p + 1);
        return true;
      }
    }
    return false;
  }
  int32_t span = rule_span(rule);
  for (int32_t p = idx; p + span <= end; ++p) {
    if (text_at(in, p, rule, folding)) {
      *start = p;
      input->data1 = static_cast<uint32_t>(p + span);
      return true;
    }
  }
  return false;
}

bool match_repeat(Cell* input, int32_t end, const Cell* rule, int32_t min, int32_t max, int32_t case_op,
                  int32_t* count) {
  int32_t idx = static_cast<int32_t>(input->data1);
  int32_t n = 0;
  *count = 0;
  int32_t left = end - idx;
  if (left <= 0 || left < min) return false;
  uint32_t rule_type = TYPE_OF(rule);
  bool block = block_input_q(TYPE_OF(input));
  if (!block && (rule_type == TYPE_CHAR || rule_type == TYPE_BITSET)) {
    // A run of one character or of a class: one scan, nothing allocated.
    bool folding = string_input_q(TYPE_OF(input)) && case_op != COMP_STRICT_EQUAL;
    uint32_t folded = rule_type == TYPE_CHAR ? fold(rule->data2) : 0;
    Units in = units_of(input->data2);
    int32_t p = idx;
    if (rule_type == TYPE_BITSET) {
      // The set's bits read in place, as member_q reads them.
      const SeriesBuffer* bits = node_buffer(bitset::node_of(rule));
      const uint8_t* set = bits->data() + bits->head;
      const uint32_t stored = bits->used_bytes();
      const bool beyond = (bits->flags & bitset::kComplemented) != 0;
      auto member = [&](uint32_t cp) {
        return member_byte(cp) < stored ? has_member(set, cp) : beyond;
      };
      while (p < end && (max < 0 || n < max) && member(in.at(p))) {
        ++p;
        ++n;
      }
    } else {
      while (p < end && (max < 0 || n < max) && unit_matches(in.at(p), rule, folded, folding)) {
        ++p;
        ++n;
      }
    }
    input->data1 = static_cast<uint32_t>(p);
  } else if (block || text_rule_q(rule_type)) {
    while ((max < 0 || n < max) && static_cast<int32_t>(input->data1) < end) {
      int32_t before = static_cast<int32_t>(input->data1);
      if (!match_value(input, end, rule, case_op)) break;
      ++n;
      // An empty text matches without moving: once is as good as forever.
      if (static_cast<int32_t>(input->data1) == before) break;
    }
  }
  *count = n;
  return n >= min && (max < 0 || n <= max);
}

bool match_binary_type(Cell* input, int32_t end, const Cell* rule) {
  int32_t idx = static_cast<int32_t>(input->data1);
  if (idx >= end) return false;
  lexer::LexRequest request;
  request.mode = lexer::Mode::kScan;
  request.one = true;
  lexer::LexResult r = lexer::transcode_binary(input, end - idx, request);
  if (r.type == 0 || r.type == TYPE_ERROR) return false;
  bool ok = TYPE_OF(rule) == TYPE_TYPESET ? typeset::has_q(rule, r.type) : r.type == rule->data1;
  if (!ok) return false;
  input->data1 = static_cast<uint32_t>(idx + static_cast<int32_t>(r.consumed));
  return true;
}

int32_t find_word_in_rule(const Cell* rules, int32_t pos) {
  uint32_t bar = symbol::canonical(words::symbol_of(words::SYM_BAR));
  int32_t tail = static_cast<int32_t>(series_length(rules->data2));
  HeldPtr<const Cell> cells = series_head_cell(rules->data2);
  for (int32_t p = pos; p < tail; ++p) {
    const Cell* c = cells + p;
    if (TYPE_OF(c) != TYPE_WORD) continue;
    if (symbol::canonical(c->data2) == bar) return p - pos;
  }
  return -1;
}

}  // namespace kiv::parse
