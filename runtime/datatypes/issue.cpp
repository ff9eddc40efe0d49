#include "runtime/datatypes/issue.h"

#include <string>

#include "runtime/datatypes/context.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/url.h"
#include "runtime/datatypes/word.h"
#include "runtime/datatypes/actions.h"
#include "runtime/eval/lexer.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/unicode.h"

namespace kiv::issue {

namespace {

Cell issue_of(uint32_t symbol, uint32_t type = TYPE_ISSUE) {
  return Cell{type, _context::global(), symbol, kUnresolved};
}

// An issue needs a spelling: "#" alone reads back as no issue at all.
Cell from_text(const std::string& text, uint32_t type, const Cell* spec) {
  if (text.empty()) fire(ErrorCategory::kScript, "bad-to-arg", datatype_cell(type), *spec);
  return issue_of(symbol::lookup(text), type);
}

// #text: the token's text is what follows the "#".
int load_token(lexer::Lexer& lx, const lexer::Token& t, bool load) {
  if (t.end <= t.start) return TYPE_ISSUE;
  if (load) {
    std::string_view text(reinterpret_cast<const char*>(t.start), static_cast<size_t>(t.end - t.start));
    lexer::store_value(lx, issue_of(symbol::lookup(text)));
  }
  return lexer::kLexOk;
}

}  // namespace

Cell* init_cell(std::string_view text, Cell* cell) {
  *cell = issue_of(symbol::lookup(text));
  return cell;
}

Cell* at_tail(std::string_view text, const Cell* block) {
  uint32_t node = block->data2;
  RootedNode keep(node);
  Cell issue = issue_of(symbol::lookup(text));
  Cell* cell = series_new_tail_cell(node);
  *cell = issue;
  return cell;
}

Cell load(std::string_view text) {
  Cell issue = issue_of(symbol::lookup(text));
  if (boot_mode_q()) word::keep_in_root(&issue);
  else stack::push_copy(&issue);
  return issue;
}

Cell* push(const Cell* word) {
  Cell w = *word;
  set_type(&w, TYPE_ISSUE);
  return stack::push_copy(&w);
}

// ---------------------------------------------------------------------------
// Handlers.

Cell* make(Cell* type, Cell* spec) {
  uint32_t target = target_type(type);
  Cell result;
  switch (TYPE_OF(spec)) {
    case TYPE_STRING:
      // The text is taken as it is, without a lexical check: any spelling.
      result = from_text(url::utf8_text(spec), target, spec);
      break;
    case TYPE_CHAR: {
      uint8_t bytes[4];
      int n = encode_utf8_char(static_cast<int32_t>(spec->data2), bytes);
      result = from_text(std::string(reinterpret_cast<const char*>(bytes), static_cast<size_t>(n)), target, spec);
      break;
    }
    default:
      if (word::word_kind_q(TYPE_OF(spec))) {
        result = *spec;
      } else {
        Cell t = *type;
        result = *word::make(&t, spec);
      }
      result.header = (result.header & ~kTypeMask) | target;
  }
  if (target == TYPE_ISSUE) result = issue_of(result.data2);
  *type = result;
  return type;
}

int32_t mold(Cell* value, Cell* buffer, MoldFlags, Cell* part, int32_t limit, int32_t) {
  string::append_char(buffer, '#');
  return word::form(value, buffer, part, limit - 1);
}

int32_t compare(Cell* value1, Cell* value2, int32_t op) {
  if (TYPE_OF(value2) != TYPE_ISSUE) return kNotComparable;
  return word::compare(value1, value2, op);
}

void init() {
  datatype::register_type(TYPE_ISSUE, TYPE_WORD, "issue!", {
      own<ACT_MAKE>(make), own<ACT_TO>(make), own<ACT_MOLD>(mold), own<ACT_COMPARE>(compare),
      refuse<ACT_INDEX_Q>,
  });
  lexer::default_loaders()[lexer::kFinalIssue] = load_token;
}

}  // namespace kiv::issue
