#include "runtime/datatypes/time.h"

#include <charconv>
#include <cmath>
#include <string>

#include "runtime/datatypes/date.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/word.h"
#include "runtime/datatypes/actions.h"
#include "runtime/eval/lexer.h"
#include "runtime/float_text.h"
#include "runtime/hashtable.h"
#include "runtime/language_error.h"
#include "runtime/ownership.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/type_traits.h"
#include "runtime/words.h"

namespace kiv::time {

namespace {


[[noreturn]] void fire_bad_to_arg(const Cell* spec) {
  fire(ErrorCategory::kScript, "bad-to-arg", datatype_cell(TYPE_TIME), *spec);
}

[[noreturn]] void fire_not_related(words::Id action) {
  fire(ErrorCategory::kScript, "not-related", datatype_cell(TYPE_TIME), *words::cell_of(action));
}

// Appends ASCII text and counts it.
void put(Cell* buffer, std::string_view text, int32_t* written) {
  string::append_text(buffer, text);
  *written += static_cast<int32_t>(text.size());
}

// The decimal digits of a whole, non-negative double of any size.
void put_whole(Cell* buffer, double whole, int32_t* written) {
  char digits[400];  // the largest double has 309 digits
  auto r = std::to_chars(digits, digits + sizeof digits, whole, std::chars_format::fixed, 0);
  put(buffer, std::string_view(digits, static_cast<size_t>(r.ptr - digits)), written);
}

[[noreturn]] void fire_not_related_money() {
  Cell word;
  stack::calling_word(&word);
  fire(ErrorCategory::kScript, "not-related", datatype_cell(TYPE_MONEY), word);
}

}  // namespace

Cell* push(double seconds) { return init_cell(seconds, stack::push_new_cell()); }
Cell* at_tail(const Cell* block, uint32_t low, uint32_t high) {
  Cell* c = alloc_tail(block);
  *c = Cell{TYPE_TIME, 0, low, high};
  return c;
}

double hours(double seconds) { return std::trunc(seconds / kSecondsPerHour); }

int32_t minutes(double seconds) {
  double m = std::trunc(std::fmod(std::fabs(seconds), kSecondsPerHour) / kSecondsPerMinute);
  return float_::truncate_saturated<int32_t>(m);  // 0 to 59; NaN gives 0
}

void get_field(double seconds, int32_t field, Cell* out) {
  switch (field) {
    case kFieldHour: {
      int32_t h;
      if (!float_::truncate_checked(hours(seconds), &h)) fire(ErrorCategory::kMath, "overflow");
      integer::init_cell(out, h);
      return;
    }
    case kFieldMinute:
      integer::init_cell(out, minutes(seconds));
      return;
    default:
      float_::init_cell(out, std::fmod(seconds, kSecondsPerMinute));
      return;
  }
}

int32_t field_index(const Cell* word) {
  if (word::spells_q(word, words::SYM_HOUR)) return kFieldHour;
  if (word::spells_q(word, words::SYM_MINUTE)) return kFieldMinute;
  if (word::spells_q(word, words::SYM_SECOND)) return kFieldSecond;
  return -1;
}

int32_t to_text(double seconds, Cell* buffer, int32_t limit) {
  int32_t written = 0;
  if (!std::isfinite(seconds)) {
    // No h:mm:ss of an infinite or undefined duration: its float text.
    FloatText t = float_::to_text(seconds, float_::kTextFloat);
    put(buffer, t.view(), &written);
    return limit - written;
  }
  double s = seconds;
  if (s < 0) {
    put(buffer, "-", &written);
    s = -s;
  }
  // Seconds just below a whole minute round to "60" at six digits: carry
  // them into the minute so the text stays loadable (0:00:60 is not).
  double sec = std::fmod(s, kSecondsPerMinute);
  FloatText sec_text{};
  if (sec >= kSecondsTolerance) {
    sec_text = float_::to_text(sec, float_::kTextTime);
    if (sec_text.view() == "60") {
      s = s - sec + kSecondsPerMinute;
      sec = 0;
    }
  }
  put_whole(buffer, std::floor(s / kSecondsPerHour), &written);
  put(buffer, ":", &written);
  int32_t m = float_::truncate_saturated<int32_t>(
      std::floor(std::fmod(s, kSecondsPerHour) / kSecondsPerMinute));
  char mm[3] = {static_cast<char>('0' + m / 10), static_cast<char>('0' + m % 10), 0};
  put(buffer, mm, &written);
  put(buffer, ":", &written);
  if (sec < kSecondsTolerance) {
    put(buffer, "00", &written);
  } else {
    if (sec_text.length == 1 || sec_text.text[1] == '.') put(buffer, "0", &written);
    put(buffer, sec_text.view(), &written);
  }
  return limit - written;
}

int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) {
  return to_text(get(value), buffer, limit);
}

int32_t mold(Cell* value, Cell* buffer, MoldFlags, Cell*, int32_t limit, int32_t) {
  return to_text(get(value), buffer, limit);
}

Cell* make(Cell* type, Cell* spec) {
  double seconds;
  switch (string_group_type(TYPE_OF(spec))) {
    case TYPE_TIME:
      seconds = get(spec);
      break;
    case TYPE_BLOCK:
    case TYPE_PAREN:
    case TYPE_HASH: {
      // [hours minutes seconds]: only the first may be negative, and then
      // the whole duration is.
      int32_t count = static_cast<int32_t>(series_length(spec->data2)) - static_cast<int32_t>(spec->data1);
      if (count > 3) fire_bad_to_arg(spec);
      HeldPtr<const Cell> head = series_head_cell(spec->data2) + spec->data1;
      static const double kUnits[] = {kSecondsPerHour, kSecondsPerMinute, 1.0};
      double magnitude = 0;
      bool negative = false;
      for (int32_t i = 0; i < count; ++i) {
        const Cell* c = head + i;
        double v;
        if (TYPE_OF(c) == TYPE_INTEGER) v = integer::get(c);
        else if (TYPE_OF(c) == TYPE_FLOAT && i == 2) v = cell_float(c);
        else fire_bad_to_arg(spec);
        if (v < 0 || std::isnan(v)) {
          if (i != 0 || std::isnan(v)) fire_bad_to_arg(spec);
          negative = true;
          v = -v;
        }
        magnitude += v * kUnits[i];
      }
      seconds = negative ? -magnitude : magnitude;
      break;
    }
    case TYPE_STRING: {  // every any-string! kind
      Cell loaded;
      if (!float_::load_text_value(spec, uint64_t{1} << TYPE_TIME, &loaded)) fire_bad_to_arg(spec);
      seconds = get(&loaded);
      break;
    }
    case TYPE_INTEGER:
      seconds = integer::get(spec);
      break;
    case TYPE_FLOAT:
    case TYPE_PERCENT:
      seconds = cell_float(spec);
      break;
    default:
      fire_bad_to_arg(spec);
  }
  return init_cell(seconds, type);
}

namespace {

// The field an index value names (integer 1-3 or a field word), -1 if none.
int32_t field_of(const Cell* index) {
  if (TYPE_OF(index) == TYPE_INTEGER) {
    int32_t i = integer::get(index);
    return i >= kFieldHour && i <= kFieldSecond ? i : -1;
  }
  return field_index(index);
}

}  // namespace

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell*, Cell* grand_parent, Cell*,
                int32_t, PathFlags flags) {
  int32_t field = field_of(element);
  if (field < 0) fire(ErrorCategory::kScript, "invalid-path", *element);
  double s = get(parent);
  if (!value) {
    Cell* out = stack::push_new_cell();
    get_field(s, field, out);
    return out;
  }
  uint32_t vt = TYPE_OF(value);
  bool ok = vt == TYPE_INTEGER || (field == kFieldSecond && vt == TYPE_FLOAT);
  if (!ok) fire(ErrorCategory::kScript, "invalid-arg", *value);
  double v = vt == TYPE_INTEGER ? integer::get(value) : cell_float(value);
  switch (field) {
    case kFieldHour:
      s -= (std::floor(s / kSecondsPerHour) - v) * kSecondsPerHour;
      break;
    case kFieldMinute:
      s -= (std::floor(std::fmod(s, kSecondsPerHour) / kSecondsPerMinute) - v) * kSecondsPerMinute;
      break;
    default:
      s -= std::fmod(s, kSecondsPerMinute) - v;
      break;
  }
  set_cell_float(parent, s);
  // The time lives in its container: a series owner hears of the change.
  // (An object container notifies through object!'s on-change*.)
  if (flags.notify && grand_parent && TYPE_OF(grand_parent) != TYPE_OBJECT)
    ownership::check(grand_parent, words::WORD_SET_PATH, field, 1);
  return value;
}

Cell* pick(Cell* series, int32_t, Cell* index_cell) {
  int32_t field = field_of(index_cell);
  if (field < 0) fire(ErrorCategory::kScript, "out-of-range", *index_cell);
  Cell* out = stack::push_new_cell();
  get_field(get(series), field, out);
  return out;
}

Cell* round(Cell* value, Cell* scale, const RoundOptions& options) {
  double unit = 1.0;
  if (scale) {
    switch (TYPE_OF(scale)) {
      case TYPE_MONEY:
        fire_not_related_money();
      case TYPE_INTEGER:
        unit = std::fabs(static_cast<double>(integer::get(scale)));
        break;
      case TYPE_FLOAT:
      case TYPE_PERCENT:
      case TYPE_TIME:
        unit = std::fabs(cell_float(scale));
        break;
      default:
        fire(ErrorCategory::kScript, "invalid-arg", *scale);
    }
  }
  const float_::RoundModes modes = options;
  return init_cell(float_::round_value(get(value), unit, modes), value);
}

namespace {

void add() {
  Cell* left = stack::arguments();
  if (TYPE_OF(left + 1) == TYPE_DATE) {
    // time + date: the date plus the time.
    Cell t = *left;
    *left = left[1];
    left[1] = t;
    date::do_math(OP_ADD);
    return;
  }
  float_::arith(OP_ADD);
}

void subtract() {
  if (TYPE_OF(stack::arguments() + 1) == TYPE_DATE) fire_not_related(words::WORD_SUBTRACT);
  float_::arith(OP_SUBTRACT);
}

void multiply() {
  if (TYPE_OF(stack::arguments() + 1) == TYPE_TIME) fire_not_related(words::WORD_MULTIPLY);
  float_::arith(OP_MULTIPLY);
}

// time / time is the ratio, a float!.
void divide() {
  Cell* left = stack::arguments();
  bool ratio = TYPE_OF(left + 1) == TYPE_TIME;
  float_::arith(OP_DIVIDE);
  if (ratio) set_type(left, TYPE_FLOAT);
}

// The whole seconds of the minute, nudged away from zero so that a value a
// hair below a whole second counts as that second. False for a duration that
// is not finite: it is neither even nor odd.
bool whole_second(Cell* value, int32_t* n) {
  double s = get(value);
  s += std::copysign(kSecondsTolerance, s);
  return float_::truncate_checked(std::fmod(s, kSecondsPerMinute), n);
}
int32_t even_q(Cell* value) {
  int32_t n;
  return whole_second(value, &n) && (n & 1) == 0;
}
int32_t odd_q(Cell* value) {
  int32_t n;
  return whole_second(value, &n) && (n & 1) != 0;
}

}  // namespace

namespace {

// Digits at p as a whole number (any count); false when there are none.
bool read_digits(const uint8_t*& p, const uint8_t* e, double* out) {
  const uint8_t* start = p;
  double v = 0;
  while (p < e && *p >= '0' && *p <= '9') v = v * 10 + (*p++ - '0');
  *out = v;
  return p > start;
}

// Seconds at p: digits, then optionally "." or "," and more digits.
bool read_seconds(const uint8_t*& p, const uint8_t* e, double* out) {
  std::string text;
  while (p < e && *p >= '0' && *p <= '9') text += static_cast<char>(*p++);
  if (text.empty()) return false;
  if (p < e && (*p == '.' || *p == ',')) {
    ++p;
    text += '.';
    size_t before = text.size();
    while (p < e && *p >= '0' && *p <= '9') text += static_cast<char>(*p++);
    if (text.size() == before) return false;
  }
  ptrdiff_t unread = 0;
  *out = string_to_float(text.data(), text.data() + text.size(), 0, &unread);
  return unread == 0;
}

// [sign] hours:minutes[:seconds[.fraction]], or minutes:seconds.fraction
// when the second colon is missing and a fraction follows.
bool parse_time_text(const uint8_t* p, const uint8_t* e, double* out) {
  bool negative = false;
  if (p < e && (*p == '+' || *p == '-')) negative = *p++ == '-';
  double first, second;
  if (!read_digits(p, e, &first) || p >= e || *p != ':') return false;
  ++p;
  const uint8_t* second_start = p;
  if (!read_digits(p, e, &second)) return false;  // a negative minute count too
  double total;
  if (p < e && *p == ':') {
    ++p;
    double seconds;
    if (!read_seconds(p, e, &seconds) || seconds >= kSecondsPerMinute) return false;
    total = first * kSecondsPerHour + second * kSecondsPerMinute + seconds;
  } else if (p < e && (*p == '.' || *p == ',')) {
    p = second_start;
    double seconds;
    if (!read_seconds(p, e, &seconds) || seconds >= kSecondsPerMinute) return false;
    total = first * kSecondsPerMinute + seconds;
  } else {
    total = first * kSecondsPerHour + second * kSecondsPerMinute;
  }
  if (p != e) return false;
  *out = negative ? -total : total;
  return true;
}

int load_time_token(lexer::Lexer& lx, const lexer::Token& t, bool load) {
  double seconds;
  if (!parse_time_text(t.start, t.end, &seconds)) return TYPE_TIME;
  if (load) {
    Cell c;
    lexer::store_value(lx, *init_cell(seconds, &c));
  }
  return lexer::kLexOk;
}

}  // namespace

void init() {
  lexer::default_loaders()[lexer::kFinalTime] = load_time_token;
  datatype::register_type(TYPE_TIME, TYPE_FLOAT, "time!", {
      own<ACT_MAKE>(make), own<ACT_TO>(make), own<ACT_FORM>(form), own<ACT_MOLD>(mold),
      own<ACT_EVAL_PATH>(eval_path), own<ACT_ADD>(add), own<ACT_DIVIDE>(divide),
      own<ACT_MULTIPLY>(multiply), refuse<ACT_POWER>, own<ACT_ROUND>(round),
      own<ACT_SUBTRACT>(subtract), own<ACT_EVEN_Q>(even_q), own<ACT_ODD_Q>(odd_q),
      own<ACT_PICK>(pick),
  });
}

}  // namespace kiv::time
