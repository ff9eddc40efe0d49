#include "runtime/datatypes/money.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <string>

#include "runtime/datatypes/block.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/unset.h"
#include "runtime/datatypes/word.h"
#include "runtime/datatypes/actions.h"
#include "runtime/eval/lexer.h"
#include "runtime/float_text.h"
#include "runtime/host/random.h"
#include "runtime/language_error.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/type_traits.h"
#include "runtime/words.h"

namespace kiv::money {

namespace {

constexpr int kCurrencyByte = 4;
constexpr int kAmountByte = 5;
// Units of the last digit in one unit of the amount.
constexpr double kSmallest = 1e-5;
constexpr double kTooLarge = 1e17;
constexpr uint32_t kMaxCurrencies = 255;

[[noreturn]] void fire_limit() { fire(ErrorCategory::kScript, "type-limit", datatype_cell(TYPE_MONEY)); }

void bytes_of(const Cell* c, uint8_t out[16]) { std::memcpy(out, c, 16); }

bool zero_amount(const Amount& a) {
  for (uint8_t d : a.d)
    if (d) return false;
  return true;
}

// -1, 0 or 1 as |a| is below, equal to or above |b|.
int compare_magnitudes(const Amount& a, const Amount& b) {
  for (int i = 0; i < kDigits; ++i)
    if (a.d[i] != b.d[i]) return a.d[i] < b.d[i] ? -1 : 1;
  return 0;
}

// a + b; false on a carry out of the first digit.
bool add_digits(const Amount& a, const Amount& b, Amount* out) {
  int carry = 0;
  for (int i = kDigits - 1; i >= 0; --i) {
    int s = a.d[i] + b.d[i] + carry;
    carry = s >= 10;
    out->d[i] = static_cast<uint8_t>(carry ? s - 10 : s);
  }
  return carry == 0;
}

// a - b for a >= b.
void subtract_digits(const Amount& a, const Amount& b, Amount* out) {
  int borrow = 0;
  for (int i = kDigits - 1; i >= 0; --i) {
    int s = a.d[i] - b.d[i] - borrow;
    borrow = s < 0;
    out->d[i] = static_cast<uint8_t>(borrow ? s + 10 : s);
  }
}

// Signed sum of two signed magnitudes.
void signed_add(bool na, const Amount& a, bool nb, const Amount& b, bool* neg, Amount* out) {
  if (na == nb) {
    if (!add_digits(a, b, out)) fire_limit();
    *neg = na;
    return;
  }
  int c = compare_magnitudes(a, b);
  if (c >= 0) {
    subtract_digits(a, b, out);
    *neg = na && c != 0;
  } else {
    subtract_digits(b, a, out);
    *neg = nb;
  }
}

// The full product of two magnitudes, shifted right by the fraction digits
// (the dropped digits truncated); false when it needs more than 22 digits.
bool multiply_digits(const Amount& a, const Amount& b, Amount* out) {
  uint8_t p[2 * kDigits] = {};
  for (int i = kDigits - 1; i >= 0; --i) {
    if (a.d[i] == 0) continue;
    int carry = 0;
    for (int j = kDigits - 1; j >= 0; --j) {
      int k = i + j + 1;
      int s = p[k] + a.d[i] * b.d[j] + carry;
      p[k] = static_cast<uint8_t>(s % 10);
      carry = s / 10;
    }
    for (int k = i; carry && k >= 0; --k) {
      int s = p[k] + carry;
      p[k] = static_cast<uint8_t>(s % 10);
      carry = s / 10;
    }
  }
  // p holds 44 digits with 10 fraction digits: keep digits 17 .. 38.
  constexpr int kLead = 2 * kDigits - kFractionDigits - kDigits;
  for (int k = 0; k < kLead; ++k)
    if (p[k]) return false;
  std::memcpy(out->d, p + kLead, kDigits);
  return true;
}

// Long division by repeated subtraction of a dividend of n digits by a
// magnitude: the quotient's n digits and the remainder.
void long_divide(const uint8_t* dividend, int n, const Amount& divisor, uint8_t* quotient, Amount* remainder) {
  // The running remainder has one digit more than the divisor.
  uint8_t r[kDigits + 1] = {};
  uint8_t dv[kDigits + 1] = {};
  std::memcpy(dv + 1, divisor.d, kDigits);
  for (int i = 0; i < n; ++i) {
    std::memmove(r, r + 1, kDigits);
    r[kDigits] = dividend[i];
    int q = 0;
    for (;;) {
      // r >= dv ?
      int c = 0;
      for (int k = 0; k <= kDigits && c == 0; ++k)
        if (r[k] != dv[k]) c = r[k] < dv[k] ? -1 : 1;
      if (c < 0) break;
      int borrow = 0;
      for (int k = kDigits; k >= 0; --k) {
        int s = r[k] - dv[k] - borrow;
        borrow = s < 0;
        r[k] = static_cast<uint8_t>(borrow ? s + 10 : s);
      }
      ++q;
    }
    quotient[i] = static_cast<uint8_t>(q);
  }
  std::memcpy(remainder->d, r + 1, kDigits);
}

// a / b with five fraction digits (truncated); false when the quotient
// needs more than 22 digits.
bool divide_digits(const Amount& a, const Amount& b, Amount* out) {
  uint8_t dividend[kDigits + kFractionDigits] = {};
  std::memcpy(dividend, a.d, kDigits);
  uint8_t q[kDigits + kFractionDigits];
  Amount r;
  long_divide(dividend, kDigits + kFractionDigits, b, q, &r);
  for (int k = 0; k < kFractionDigits; ++k)
    if (q[k]) return false;
  std::memcpy(out->d, q + kFractionDigits, kDigits);
  return true;
}

// The whole quotient (as a count of units) and the remainder of a / b.
void divide_whole(const Amount& a, const Amount& b, Amount* quotient, Amount* remainder) {
  long_divide(a.d, kDigits, b, quotient->d, remainder);
}

Amount amount_of_digits(const char* text) {
  Amount a;
  int n = static_cast<int>(std::strlen(text));
  for (int i = 0; i < n && i < kDigits; ++i) a.d[kDigits - n + i] = static_cast<uint8_t>(text[i] - '0');
  return a;
}

Cell* words_list() {
  Cell* list = error::system_member({"locale", "currencies", "list"});
  if (!list || !(TYPE_OF(list) == TYPE_BLOCK || TYPE_OF(list) == TYPE_HASH)) return nullptr;
  return list;
}

// The currency's code word into *out; false when the list has no entry there.
bool currency_word(uint32_t index, Cell* out) {
  Cell* list = words_list();
  if (!list || index == 0) return false;
  int64_t n = static_cast<int64_t>(series_length(list->data2)) - list->data1;
  if (static_cast<int64_t>(index) > n) return false;
  *out = series_head_cell(list->data2)[list->data1 + index - 1];
  return TYPE_OF(out) == TYPE_WORD;
}

}  // namespace

Amount amount_of(const Cell* c) {
  uint8_t b[16];
  bytes_of(c, b);
  Amount a;
  for (int n = 0; n < kDigits; ++n) {
    uint8_t byte = b[kAmountByte + n / 2];
    a.d[n] = static_cast<uint8_t>(n % 2 == 0 ? byte >> 4 : byte & 15);
  }
  return a;
}

Cell* make_in(Cell* c, bool negative, uint32_t currency, const Amount& amount) {
  uint8_t b[16] = {};
  uint32_t header = TYPE_MONEY | (negative ? kNegative : 0);
  std::memcpy(b, &header, 4);
  b[kCurrencyByte] = static_cast<uint8_t>(currency);
  for (int n = 0; n < kDigits; ++n) {
    uint8_t& byte = b[kAmountByte + n / 2];
    byte = static_cast<uint8_t>(n % 2 == 0 ? (byte & 15) | amount.d[n] << 4 : (byte & 0xF0) | amount.d[n]);
  }
  std::memcpy(c, b, 16);
  return c;
}

bool zero_q(const Cell* c) { return zero_amount(amount_of(c)); }
bool negative_q(const Cell* c) { return (c->header & kNegative) && !zero_q(c); }
bool positive_q(const Cell* c) { return !(c->header & kNegative) && !zero_q(c); }
int32_t sign(const Cell* c) { return negative_q(c) ? -1 : positive_q(c) ? 1 : 0; }
uint32_t currency_of(const Cell* c) {
  uint8_t b[16];
  bytes_of(c, b);
  return b[kCurrencyByte];
}

int32_t currency_index(const Cell* word) {
  Cell* list = words_list();
  if (!list) return -1;
  uint32_t n = series_length(list->data2);
  for (uint32_t i = list->data1; i < n; ++i) {
    HeldPtr<const Cell> w = series_head_cell(list->data2) + i;
    if (TYPE_OF(w) == TYPE_WORD && symbol::canonical(word::symbol_of(w)) == symbol::canonical(word::symbol_of(word))) {
      uint32_t index = i - list->data1 + 1;
      return index <= kMaxCurrencies ? static_cast<int32_t>(index) : -1;
    }
  }
  return -1;
}

bool make_from_parts(Cell* c, bool negative, uint32_t currency, const char* integral, int integral_length,
                     const char* fraction, int fraction_length) {
  std::string whole;
  for (int i = 0; i < integral_length; ++i) {
    char ch = integral[i];
    if (ch == '\'') continue;
    if (ch < '0' || ch > '9') return false;
    if (whole.empty() && ch == '0') continue;
    whole += ch;
  }
  if (static_cast<int>(whole.size()) > kIntegralDigits) return false;
  Amount a;
  for (size_t i = 0; i < whole.size(); ++i)
    a.d[kIntegralDigits - whole.size() + i] = static_cast<uint8_t>(whole[i] - '0');
  for (int i = 0; i < fraction_length && i < kFractionDigits; ++i) {
    if (fraction[i] < '0' || fraction[i] > '9') return false;
    a.d[kIntegralDigits + i] = static_cast<uint8_t>(fraction[i] - '0');
  }
  make_in(c, negative, currency, a);
  return true;
}

Cell* from_integer(Cell* c, int32_t n) {
  int64_t m = n < 0 ? -static_cast<int64_t>(n) : n;
  std::string t = std::to_string(m);
  make_from_parts(c, n < 0, 0, t.data(), static_cast<int>(t.size()), "", 0);
  return c;
}

Cell* from_float(Cell* c, double x) {
  double m = std::fabs(x);
  if (!std::isfinite(x) || (m != 0.0 && m < kSmallest) || m >= kTooLarge) {
    Cell f;
    float_::init_cell(&f, x);
    fire(ErrorCategory::kScript, "bad-make-arg", datatype_cell(TYPE_MONEY), f);
  }
  // The shortest text that reads back as the float, so that 0.29 gives
  // $0.29 and not the digits of its binary neighbour; fraction digits past
  // the fifth are dropped.
  char text[400];
  auto r = std::to_chars(text, text + sizeof text, m, std::chars_format::fixed);
  std::string_view t(text, static_cast<size_t>(r.ptr - text));
  size_t dot = t.find('.');
  std::string_view whole = dot == std::string_view::npos ? t : t.substr(0, dot);
  std::string_view frac = dot == std::string_view::npos ? std::string_view() : t.substr(dot + 1);
  make_from_parts(c, x < 0, 0, whole.data(), static_cast<int>(whole.size()), frac.data(),
                  static_cast<int>(frac.size()));
  return c;
}

int32_t to_integer(const Cell* c) {
  Amount a = amount_of(c);
  int64_t v = 0;
  for (int i = 0; i < kIntegralDigits; ++i) {
    v = v * 10 + a.d[i];
    if (v > int64_t{1} << 32) break;
  }
  if (negative_q(c)) v = -v;
  if (v < INT32_MIN || v > INT32_MAX) fire(ErrorCategory::kScript, "type-limit", datatype_cell(TYPE_INTEGER));
  return static_cast<int32_t>(v);
}

double to_float(const Cell* c) {
  Amount a = amount_of(c);
  std::string t;
  if (negative_q(c)) t += '-';
  for (int i = 0; i < kDigits; ++i) {
    if (i == kIntegralDigits) t += '.';
    t += static_cast<char>('0' + a.d[i]);
  }
  ptrdiff_t unread = 0;
  return string_to_float(t.data(), t.data() + t.size(), 0, &unread);
}

// ---------------------------------------------------------------------------
// Text.

namespace {

// [sign][code]$digits[.digits] with the lexer's rules: apostrophes single,
// not first, not last, not in the fraction; at most 17 integral and 5
// fraction digits. fraction_comma accepts "," as the decimal point.
bool scan_parts(const uint32_t* s, int32_t n, bool fraction_comma, Cell* out) {
  int32_t i = 0;
  bool negative = false;
  if (i < n && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  uint32_t currency = 0;
  auto letter = [](uint32_t ch) { return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z'); };
  if (i < n && letter(s[i])) {
    if (n - i < 5 || !letter(s[i + 1]) || !letter(s[i + 2]) || s[i + 3] != '$') return false;
    char code[4] = {static_cast<char>(s[i]), static_cast<char>(s[i + 1]), static_cast<char>(s[i + 2]), 0};
    Cell w = word::load(code);
    int32_t index = currency_index(&w);
    if (index < 0) return false;
    currency = static_cast<uint32_t>(index);
    i += 3;
  }
  if (i >= n || s[i] != '$') return false;
  ++i;
  if (i >= n) return false;
  std::string whole, frac;
  bool point = false, after_apostrophe = false;
  int32_t digits_start = i;
  for (; i < n; ++i) {
    uint32_t ch = s[i];
    if (ch >= '0' && ch <= '9') {
      (point ? frac : whole) += static_cast<char>(ch);
      after_apostrophe = false;
    } else if (ch == '\'') {
      if (point || i == digits_start || after_apostrophe || i + 1 == n) return false;
      after_apostrophe = true;
    } else if (ch == '.' || (fraction_comma && ch == ',')) {
      if (point || i == digits_start || after_apostrophe || i + 1 == n) return false;
      point = true;
    } else {
      return false;
    }
  }
  if (whole.empty() && frac.empty()) return false;
  if (frac.size() > static_cast<size_t>(kFractionDigits)) return false;
  return make_from_parts(out, negative, currency, whole.data(), static_cast<int>(whole.size()), frac.data(),
                         static_cast<int>(frac.size()));
}

}  // namespace

bool scan_money_text(const uint32_t* chars, int32_t count, Cell* out) { return scan_parts(chars, count, false, out); }

namespace {

int load_money_token(lexer::Lexer& lx, const lexer::Token& t, bool load) {
  std::vector<uint32_t> chars;
  for (const uint8_t* p = t.start; p < t.end; ++p) chars.push_back(*p);
  Cell c;
  // Checking the text needs the currency list; so does loading.
  if (!scan_parts(chars.data(), static_cast<int32_t>(chars.size()), true, &c)) return TYPE_MONEY;
  if (load) lexer::store_value(lx, c);
  return lexer::kLexOk;
}

// The fraction digits form and mold show: system/options/money-digits
// (2 when it is not an integer), 5 at most.
int32_t shown_fraction_digits(bool all) {
  if (all) return kFractionDigits;
  Cell* v = error::system_member({"options", "money-digits"});
  int32_t c = v && TYPE_OF(v) == TYPE_INTEGER ? integer::get(v) : 2;
  return c > kFractionDigits ? kFractionDigits : c;
}

int32_t form_body(Cell* value, Cell* buffer, int32_t limit, int32_t fraction_digits, bool grouping) {
  Amount a = amount_of(value);
  std::string t;
  if (negative_q(value)) t += '-';
  Cell code;
  if (currency_word(currency_of(value), &code)) {
    Cell* text = stack::push_new_cell();
    string::init_cell(text, 4);
    word::form(&code, text, nullptr, kNoPartLimit);
    for (int32_t i = 0; i < string::length(text); ++i)
      t += static_cast<char>(string::char_at_index(text, string::index_of(text) + i));
    stack::drop_cells(1);
  }
  t += '$';
  int first = 0;
  while (first < kIntegralDigits - 1 && a.d[first] == 0) ++first;
  for (int i = first; i < kIntegralDigits; ++i) {
    t += static_cast<char>('0' + a.d[i]);
    // Groups of three counted from the decimal point.
    if (grouping && i < kIntegralDigits - 1 && (kIntegralDigits - 1 - i) % 3 == 0) t += '\'';
  }
  if (fraction_digits >= 1) {
    t += '.';
    for (int i = 0; i < fraction_digits; ++i) t += static_cast<char>('0' + a.d[kIntegralDigits + i]);
  }
  string::append_text(buffer, t);
  return limit - static_cast<int32_t>(t.size());
}

int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) {
  return form_body(value, buffer, limit, shown_fraction_digits(false), true);
}

// Mold writes every significant fraction digit even when money-digits asks
// for fewer, so that the molded text loads back as the same amount.
int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell*, int32_t limit, int32_t) {
  int32_t c = shown_fraction_digits(flags.all);
  Amount a = amount_of(value);
  int32_t significant = kFractionDigits;
  while (significant > 0 && a.d[kIntegralDigits + significant - 1] == 0) --significant;
  if (significant > c) c = significant;
  return form_body(value, buffer, limit, c, false);
}

}  // namespace

// ---------------------------------------------------------------------------
// Arithmetic.

namespace {

[[noreturn]] void fire_invalid_type(uint32_t type) {
  fire(ErrorCategory::kScript, "invalid-type", datatype_cell(type));
}

// An operand as money (a copy); integers and floats converted.
Cell as_money(const Cell* v) {
  Cell m;
  switch (TYPE_OF(v)) {
    case TYPE_MONEY:
      return *v;
    case TYPE_INTEGER:
      return *from_integer(&m, integer::get(v));
    case TYPE_FLOAT:
    case TYPE_PERCENT:
      return *from_float(&m, cell_float(v));
    default:
      fire_invalid_type(TYPE_OF(v));
  }
}

}  // namespace

void do_math(int32_t op) {
  Cell* left = stack::arguments();
  Cell* right = left + 1;
  uint32_t lt = TYPE_OF(left), rt = TYPE_OF(right);
  if (op < OP_ADD || op > OP_REMAINDER) fire_invalid_type(lt);
  if (op == OP_MULTIPLY && lt == TYPE_MONEY && rt == TYPE_MONEY) fire_invalid_type(lt);
  if ((op == OP_DIVIDE || op == OP_REMAINDER) && rt == TYPE_MONEY && lt != TYPE_MONEY) fire_invalid_type(lt);
  Cell a = as_money(left);
  Cell b = as_money(right);
  uint32_t ca = currency_of(&a), cb = currency_of(&b);
  if (ca && cb && ca != cb) fire(ErrorCategory::kScript, "wrong-denom", *left, *right);
  uint32_t currency = ca ? ca : (lt == TYPE_MONEY ? 0 : cb);
  if (lt == TYPE_MONEY && !ca) currency = 0;
  Amount x = amount_of(&a), y = amount_of(&b), r;
  bool nx = negative_q(&a), ny = negative_q(&b), nr = false;
  switch (op) {
    case OP_ADD:
      signed_add(nx, x, ny, y, &nr, &r);
      break;
    case OP_SUBTRACT:
      signed_add(nx, x, !ny, y, &nr, &r);
      break;
    case OP_MULTIPLY:
      if (!multiply_digits(x, y, &r)) fire_limit();
      nr = nx != ny;
      break;
    case OP_DIVIDE:
      if (zero_amount(y)) fire(ErrorCategory::kMath, "zero-divide");
      if (!divide_digits(x, y, &r)) fire_limit();
      nr = nx != ny;
      if (lt == TYPE_MONEY && rt == TYPE_MONEY) {
        Cell q;
        make_in(&q, nr, 0, r);
        float_::init_cell(left, to_float(&q));
        return;
      }
      break;
    default: {
      if (zero_amount(y)) fire(ErrorCategory::kMath, "zero-divide");
      Amount q;
      divide_whole(x, y, &q, &r);
      nr = nx;
      break;
    }
  }
  make_in(left, nr && !zero_amount(r), currency, r);
}

namespace {


void absolute() {
  Cell* v = stack::arguments();
  v->header &= ~kNegative;
}

Cell* negate(Cell* value) {
  value->header ^= kNegative;
  return value;
}

int32_t even_q(Cell* value) { return amount_of(value).d[kIntegralDigits - 1] % 2 == 0; }
int32_t odd_q(Cell* value) { return amount_of(value).d[kIntegralDigits - 1] % 2 != 0; }

}  // namespace

// ---------------------------------------------------------------------------
// Compare.

int32_t compare(Cell* a, Cell* b, int32_t op) {
  uint32_t tb = TYPE_OF(b);
  if ((op == COMP_STRICT_EQUAL || op == COMP_SAME || op == COMP_FIND) && tb != TYPE_MONEY) return 1;
  Cell other;
  switch (tb) {
    case TYPE_MONEY: {
      uint32_t ca = currency_of(a), cb = currency_of(b);
      if (ca != cb) {
        if (op == COMP_SORT || op == COMP_CASE_SORT) {
          if (!ca || !cb) return ca ? 1 : -1;
          Cell wa, wb;
          bool ha = currency_word(ca, &wa), hb = currency_word(cb, &wb);
          if (ha && hb) {
            RootedCell x(wa), y(wb);
            int32_t c = dispatch_compare(x.get(), y.get(), COMP_SORT);
            if (c != 0) return c;
          }
          return three_way(ca, cb);
        }
        if (equality_or_sort_op(op)) return 1;
        if (ca && cb) fire(ErrorCategory::kScript, "wrong-denom", *a, *b);
      }
      if (op == COMP_SAME) {
        uint8_t x[16], y[16];
        bytes_of(a, x);
        bytes_of(b, y);
        return std::memcmp(x + 4, y + 4, 12) == 0 && (a->header & kNegative) == (b->header & kNegative) ? 0 : 1;
      }
      other = *b;
      break;
    }
    case TYPE_INTEGER:
      from_integer(&other, integer::get(b));
      break;
    case TYPE_FLOAT:
    case TYPE_PERCENT: {
      double y = cell_float(b);
      double m = std::fabs(y);
      if (std::isnan(m)) return equality_or_sort_op(op) ? 1 : kNotComparable;
      if ((m != 0.0 && m < kSmallest) || m >= kTooLarge) {
        // Beyond what an amount holds: not equal, and ordered as floats.
        if (equality_or_sort_op(op) && op != COMP_SORT && op != COMP_CASE_SORT) return 1;
        double x = to_float(a);
        return x < y ? -1 : x > y ? 1 : (y > 0 ? -1 : 1);
      }
      from_float(&other, y);
      break;
    }
    default:
      return kNotComparable;
  }
  int sa = sign(a), sb = sign(&other);
  if (sa != sb) return sa < sb ? -1 : 1;
  int c = compare_magnitudes(amount_of(a), amount_of(&other));
  return sa < 0 ? -c : c;
}

// ---------------------------------------------------------------------------
// Round.

namespace {

Cell* round(Cell* value, Cell* scale, const RoundOptions& options) {
  if (zero_q(value)) return value;
  Amount unit = amount_of_digits("100000");  // 1
  if (scale) {
    uint32_t st = TYPE_OF(scale);
    if (st != TYPE_MONEY && st != TYPE_INTEGER && st != TYPE_FLOAT && st != TYPE_PERCENT) {
      Cell word;
      stack::calling_word(&word);
      fire(ErrorCategory::kScript, "not-related", word, datatype_cell(TYPE_MONEY));
    }
    Cell s = as_money(scale);
    unit = amount_of(&s);
  }
  if (zero_amount(unit)) fire(ErrorCategory::kMath, "zero-divide");
  Amount v = amount_of(value), q, r;
  divide_whole(v, unit, &q, &r);
  if (zero_amount(r)) return value;
  bool negative = negative_q(value);
  // Where the remainder lies against half the scale: 2r against the scale.
  Amount twice;
  int half = add_digits(r, r, &twice) ? compare_magnitudes(twice, unit) : 1;
  bool quotient_even = q.d[kDigits - 1] % 2 == 0;
  bool up;  // away from zero
  if (options.down) up = false;
  else if (options.floor) up = negative;
  else if (options.ceiling) up = !negative;
  else if (half != 0) up = half > 0;
  else if (options.even) up = !quotient_even;
  else if (options.half_down) up = false;
  else if (options.half_ceiling) up = !negative;
  else up = true;
  Amount out;
  subtract_digits(v, r, &out);
  if (up && !add_digits(out, unit, &out)) fire_limit();
  make_in(value, negative && !zero_amount(out), currency_of(value), out);
  return value;
}

// ---------------------------------------------------------------------------
// Make and to.

[[noreturn]] void fire_bad_make(const Cell* spec) {
  fire(ErrorCategory::kScript, "bad-make-arg", datatype_cell(TYPE_MONEY), *spec);
}

Cell* to(Cell* type, Cell* spec) {
  switch (string_group_type(TYPE_OF(spec))) {
    case TYPE_MONEY:
      return copy_cell(spec, type);
    case TYPE_INTEGER:
      return from_integer(type, integer::get(spec));
    case TYPE_FLOAT:
    case TYPE_PERCENT:
      return from_float(type, cell_float(spec));
    case TYPE_STRING: {  // every any-string! kind
      int32_t n = string::length(spec);
      std::vector<uint32_t> chars = string::head_chars(spec, n);
      Cell out;
      if (!scan_money_text(chars.data(), n, &out))
        fire(ErrorCategory::kScript, "bad-to-arg", datatype_cell(TYPE_MONEY), *spec);
      return copy_cell(&out, type);
    }
    default:
      fire(ErrorCategory::kScript, "bad-to-arg", datatype_cell(TYPE_MONEY), *spec);
  }
}

Cell* make(Cell* type, Cell* spec) {
  switch (TYPE_OF(spec)) {
    case TYPE_WORD: {
      int32_t index = currency_index(spec);
      if (index < 0) fire_bad_make(spec);
      return make_in(type, false, static_cast<uint32_t>(index), Amount{});
    }
    case TYPE_BLOCK: {
      int32_t count = static_cast<int32_t>(series_length(spec->data2)) - static_cast<int32_t>(spec->data1);
      if (count < 1 || count > 3) fire_bad_make(spec);
      HeldPtr<const Cell> head = series_head_cell(spec->data2) + spec->data1;
      int32_t i = 0;
      uint32_t currency = 0;
      if (TYPE_OF(head) == TYPE_WORD) {
        int32_t index = currency_index(head);
        if (index < 0) fire_bad_make(spec);
        currency = static_cast<uint32_t>(index);
        ++i;
      }
      if (i >= count) fire_bad_make(spec);
      Cell amount = head[i];
      ++i;
      Cell m;
      if (TYPE_OF(&amount) == TYPE_INTEGER) {
        from_integer(&m, integer::get(&amount));
        if (i < count) {
          Cell f = head[i];
          ++i;
          if (TYPE_OF(&f) != TYPE_INTEGER || integer::get(&f) < 0 || integer::get(&f) > 99999) fire_bad_make(spec);
          // Hundred-thousandths with the amount's sign.
          Amount a = amount_of(&m);
          int32_t n = integer::get(&f);
          for (int k = kDigits - 1; k >= kIntegralDigits; --k, n /= 10) a.d[k] = static_cast<uint8_t>(n % 10);
          make_in(&m, integer::get(&amount) < 0, 0, a);
        }
      } else if (TYPE_OF(&amount) == TYPE_FLOAT) {
        from_float(&m, cell_float(&amount));
      } else {
        fire_bad_make(spec);
      }
      if (i != count) fire_bad_make(spec);
      Amount a = amount_of(&m);
      return make_in(type, negative_q(&m), currency, a);
    }
    default:
      return to(type, spec);
  }
}

// ---------------------------------------------------------------------------
// Random, path and pick.

Cell* random(Cell* value, bool seed, bool secure, bool) {
  if (seed) {
    uint32_t s = value->data1 ^ value->data2 ^ value->data3 ^ (value->header & kNegative);
    random::seed(s);
    return &unset_value;
  }
  random::Source source = secure ? random::Source::secure : random::Source::generator;
  Amount bound = amount_of(value), out;
  bool free = false;
  for (int i = 0; i < kDigits; ++i) {
    if (free) {
      out.d[i] = static_cast<uint8_t>(random::integer(source, 10) - 1);
      continue;
    }
    for (;;) {
      int d = random::integer(source, bound.d[i] + 1) - 1;
      if (d < bound.d[i]) {
        out.d[i] = static_cast<uint8_t>(d);
        free = true;
        break;
      }
      // The bound digit itself is kept only when two further draws agree.
      int x = random::integer(source, 1000), y = random::integer(source, 1000);
      if (x == y || bound.d[i] == 0) {
        out.d[i] = static_cast<uint8_t>(d);
        break;
      }
    }
  }
  make_in(value, (value->header & kNegative) != 0, currency_of(value), out);
  return value;
}

// 1 code, 2 amount; -1 for another element.
int32_t field_of(const Cell* element) {
  if (TYPE_OF(element) == TYPE_INTEGER) {
    int32_t i = integer::get(element);
    return i == 1 || i == 2 ? i : -1;
  }
  if (TYPE_OF(element) != TYPE_WORD) return -1;
  if (word::spells_q(element, words::SYM_CODE)) return 1;
  if (word::spells_q(element, words::SYM_AMOUNT)) return 2;
  return -1;
}

void get_field(const Cell* value, int32_t field, Cell* out) {
  if (field == 1) {
    if (!currency_word(currency_of(value), out)) *out = none_value;
    return;
  }
  make_in(out, (value->header & kNegative) != 0, 0, amount_of(value));
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell*, Cell*, int32_t, PathFlags) {
  int32_t field = field_of(element);
  Cell at_path = path ? *path : *element;
  if (field < 0) fire(ErrorCategory::kScript, "invalid-path", at_path, *element);
  if (value) fire(ErrorCategory::kScript, "bad-path-set", at_path, *element);
  Cell* out = stack::push_new_cell();
  get_field(parent, field, out);
  return out;
}

Cell* pick(Cell* series, int32_t, Cell* index_cell) {
  int32_t field = field_of(index_cell);
  if (field < 0) fire(ErrorCategory::kScript, "out-of-range", *index_cell);
  Cell* out = stack::push_new_cell();
  get_field(series, field, out);
  return out;
}

}  // namespace

void init() {
  lexer::default_loaders()[lexer::kFinalMoney] = load_money_token;
  datatype::register_type(TYPE_MONEY, 0, "money!", {
      own<ACT_MAKE>(make), own<ACT_RANDOM>(random), own<ACT_TO>(to), own<ACT_FORM>(form),
      own<ACT_MOLD>(mold), own<ACT_EVAL_PATH>(eval_path), own<ACT_COMPARE>(compare),
      own<ACT_ABSOLUTE>(absolute), own_math<ACT_ADD, do_math>(), own_math<ACT_DIVIDE, do_math>(),
      own_math<ACT_MULTIPLY, do_math>(), own<ACT_NEGATE>(negate), own_math<ACT_REMAINDER, do_math>(),
      own<ACT_ROUND>(round), own_math<ACT_SUBTRACT, do_math>(), own<ACT_EVEN_Q>(even_q),
      own<ACT_ODD_Q>(odd_q), own<ACT_PICK>(pick),
  });
}

}  // namespace kiv::money
