#include "runtime/datatypes/string_kin.h"

#include <string_view>

#include "runtime/datatypes/none.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/string_actions.h"
#include "runtime/datatypes/word.h"
#include "runtime/eval/lexer.h"
#include "runtime/language_error.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/words.h"

namespace kiv {

namespace {

// Stores a new value of the type holding the UTF-8 text from start to end as
// it is (no escapes): the lexer checked the bytes already.
void store_text(lexer::Lexer& lx, const uint8_t* start, const uint8_t* end, uint32_t type) {
  RootedCell made;
  string::init_cell(made.get(), static_cast<int32_t>(end - start));
  string::append_utf8(made.get(), std::string_view(reinterpret_cast<const char*>(start),
                                                   static_cast<size_t>(end - start)));
  set_type(made.get(), type);
  lexer::store_value(lx, *made.get());
}

}  // namespace

// ---------------------------------------------------------------------------
// tag!

namespace tag {

namespace {

// <text>: the text between the angle brackets.
int load_token(lexer::Lexer& lx, const lexer::Token& t, bool load) {
  if (t.end - t.start < 2 || t.start[0] != '<' || t.end[-1] != '>') return TYPE_TAG;
  if (load) store_text(lx, t.start + 1, t.end - 1, TYPE_TAG);
  return lexer::kLexOk;
}

}  // namespace

Cell* push(const Cell* tag) { return stack::push_copy(tag); }

int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit) {
  Cell v = *value;  // `value` may alias the output
  string::append_char(buffer, '<');
  int32_t left = string::form(&v, buffer, part, limit - 1);
  string::append_char(buffer, '>');
  return left - 1;
}

int32_t mold(Cell* value, Cell* buffer, MoldFlags, Cell* part, int32_t limit, int32_t) {
  return form(value, buffer, part, limit);
}

void init() {
  datatype::register_type(TYPE_TAG, TYPE_STRING, "tag!", {
      refuse<ACT_RANDOM>, own<ACT_FORM>(form), own<ACT_MOLD>(mold), refuse<ACT_SORT>,
      refuse<ACT_TRIM>,
  });
  lexer::default_loaders()[lexer::kFinalTag] = load_token;
}

}  // namespace tag

// ---------------------------------------------------------------------------
// email!

namespace email {

namespace {

// user@host: the whole token.
int load_token(lexer::Lexer& lx, const lexer::Token& t, bool load) {
  if (std::string_view(reinterpret_cast<const char*>(t.start), static_cast<size_t>(t.end - t.start))
          .find('@') == std::string_view::npos)
    return TYPE_EMAIL;
  if (load) store_text(lx, t.start, t.end, TYPE_EMAIL);
  return lexer::kLexOk;
}

}  // namespace

Cell* push(const Cell* email) { return stack::push_copy(email); }

int32_t mold(Cell* value, Cell* buffer, MoldFlags, Cell* part, int32_t limit, int32_t) {
  return string::form(value, buffer, part, limit);
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* grand_parent,
                Cell* prev_element, int32_t index, PathFlags flags) {
  if (TYPE_OF(element) == TYPE_INTEGER)
    return string::eval_path(parent, element, value, path, grand_parent, prev_element, index, flags);
  bool user = TYPE_OF(element) == TYPE_WORD && word::spells_q(element, words::SYM_USER);
  bool host = !user && TYPE_OF(element) == TYPE_WORD && word::spells_q(element, words::SYM_HOST);
  if (!user && !host) fire(ErrorCategory::kScript, "invalid-path", path ? *path : none_value, *element);
  Cell at = *parent;
  int32_t n = string::length(&at);  // clamps the head
  int32_t head = string::index_of(&at);
  int32_t sign = string::index_of_char(&at, '@');
  int32_t start = 0;
  int32_t count = sign < 0 ? n : sign;
  if (host) {
    start = sign < 0 ? n : sign + 1;
    count = n - start;
  }
  if (value) {
    at.data1 = static_cast<uint32_t>(head + start);
    // A host set on an email without "@" gets one before it: the host text
    // would otherwise join the user's.
    if (host && sign < 0) {
      Cell sign_char{TYPE_CHAR, 0, '@', 0};
      string::insert(&at, &sign_char, -1, false, 1, false);
    }
    string::change(&at, value, count, false, 1);
    return value;
  }
  // The answer's cell is on the stack before the copy is made, so the new
  // series is held from the moment it exists.
  Cell* part = stack::push_new_cell();
  SeriesBuffer* copy = copy_series_part(at.data2, static_cast<uint32_t>(head + start), static_cast<uint32_t>(count));
  *part = Cell{TYPE_STRING, 0, copy->node, 0};
  return part;
}

void init() {
  datatype::register_type(TYPE_EMAIL, TYPE_STRING, "email!", {
      refuse<ACT_RANDOM>, own<ACT_MOLD>(mold), own<ACT_EVAL_PATH>(eval_path), refuse<ACT_SORT>,
      refuse<ACT_TRIM>,
  });
  lexer::default_loaders()[lexer::kFinalEmail] = load_token;
}

}  // namespace email

// ---------------------------------------------------------------------------
// ref!

namespace ref {

namespace {

// @text: the text after the "@"; "@" alone is the empty ref (the mold of
// one), so that every ref reads back.
int load_token(lexer::Lexer& lx, const lexer::Token& t, bool load) {
  if (t.end <= t.start || t.start[0] != '@') return TYPE_REF;
  if (load) store_text(lx, t.start + 1, t.end, TYPE_REF);
  return lexer::kLexOk;
}

}  // namespace

Cell* push(const Cell* ref) { return stack::push_copy(ref); }

int32_t mold(Cell* value, Cell* buffer, MoldFlags, Cell* part, int32_t limit, int32_t) {
  Cell v = *value;
  string::append_char(buffer, '@');
  return string::form(&v, buffer, part, limit - 1);
}

void init() {
  datatype::register_type(TYPE_REF, TYPE_STRING, "ref!", {
      refuse<ACT_RANDOM>, own<ACT_MOLD>(mold), refuse<ACT_EVAL_PATH>, refuse<ACT_APPEND>,
      refuse<ACT_SORT>, refuse<ACT_TRIM>,
  });
  lexer::default_loaders()[lexer::kFinalRef] = load_token;
}

}  // namespace ref

}  // namespace kiv
