#include "runtime/float_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace kiv {

namespace {

// Point positions outside [kPlainLowestDecpt, kPlainHighestDecpt] are written
// in scientific notation.
constexpr int kPlainHighestDecpt = 17;
constexpr int kPlainLowestDecpt = -6;

void set_text(FloatDigits& d, const char* text) {
  std::strncpy(d.text, text, sizeof d.text - 1);
}

}  // namespace

FloatDigits float_to_digits(double value, int precision, bool float_q) {
  FloatDigits d;
  if (std::isnan(value)) {
    d.decpt = kDecptSpecial;
    set_text(d, "1.#NaN");
    return d;
  }
  d.negative = std::signbit(value);
  if (std::isinf(value)) {
    d.decpt = kDecptSpecial;
    set_text(d, d.negative ? "-1.#INF" : "1.#INF");
    return d;
  }
  if (value == 0.0) {
    d.decpt = kDecptZero;
    set_text(d, d.negative ? (float_q ? "-0.0" : "-0") : (float_q ? "0.0" : "0"));
    return d;
  }

  // Scientific output of to_chars is "d[.ddd]e[+-]xx" with a non-zero first
  // digit; with a precision it is correctly rounded to that many digits.
  char sci[64];
  double magnitude = std::fabs(value);
  std::to_chars_result res =
      precision <= 0
          ? std::to_chars(sci, sci + sizeof sci, magnitude, std::chars_format::scientific)
          : std::to_chars(sci, sci + sizeof sci, magnitude, std::chars_format::scientific,
                          std::min(precision, kMaxFloatDigits) - 1);
  const char* end = res.ptr;
  const char* e = std::find(static_cast<const char*>(sci), end, 'e');

  char* out = d.text;
  if (d.negative) *out++ = '-';
  char* first_digit = out;
  for (const char* p = sci; p < e; ++p) {
    if (*p != '.') *out++ = *p;
  }
  while (out - first_digit > 1 && out[-1] == '0') --out;  // trailing zeros go
  *out = '\0';
  d.count = static_cast<int>(out - first_digit);

  const char* exp_start = e + 1;
  if (exp_start < end && *exp_start == '+') ++exp_start;
  int exponent = 0;
  std::from_chars(exp_start, end, exponent);
  d.decpt = exponent + 1;
  return d;
}

FloatText form_float(double value, int precision, bool float_q) {
  FloatDigits d = float_to_digits(value, precision, float_q);
  FloatText t;
  if (d.decpt == kDecptSpecial || d.decpt == kDecptZero) {
    t.length = static_cast<int>(std::strlen(d.text));
    std::memcpy(t.text, d.text, t.length + 1);
    return t;
  }

  char* out = t.text;
  auto put = [&out](char c) { *out++ = c; };
  const char* digits = d.digits();
  const int n = d.count;
  if (d.negative) put('-');

  if (d.decpt > kPlainHighestDecpt || d.decpt < kPlainLowestDecpt) {
    put(digits[0]);
    if (n > 1) {
      put('.');
      for (int i = 1; i < n; ++i) put(digits[i]);
    } else if (float_q) {
      put('.');
      put('0');
    }
    put('e');
    std::to_chars_result r = std::to_chars(out, t.text + sizeof t.text - 1, d.decpt - 1);
    out = r.ptr;
  } else if (d.decpt >= 1) {
    for (int i = 0; i < d.decpt; ++i) put(i < n ? digits[i] : '0');
    if (n > d.decpt) {
      put('.');
      for (int i = d.decpt; i < n; ++i) put(digits[i]);
    } else if (float_q) {
      put('.');
      put('0');
    }
  } else {
    put('0');
    put('.');
    for (int i = 0; i < -d.decpt; ++i) put('0');
    for (int i = 0; i < n; ++i) put(digits[i]);
  }
  *out = '\0';
  t.length = static_cast<int>(out - t.text);
  return t;
}

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// Matches the letters of word (lower case) at p, case-insensitively.
bool matches_word(const char* p, const char* end, const char* word) {
  size_t n = std::strlen(word);
  if (static_cast<size_t>(end - p) < n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (lower(p[i]) != word[i]) return false;
  }
  return true;
}

// Significant digits handed to from_chars. A double is decided by its first
// 768 significant digits; past that only whether any further digit is
// non-zero matters, which one sticky "1" keeps.
constexpr int kMaxSignificant = 800;

// Exponents are saturated here while reading: far beyond any double in both
// directions, and far from overflowing when digit counts are added.
constexpr int64_t kExponentClamp = 100000000;

}  // namespace

double string_to_float(const char* start, const char* end, int adjustment, ptrdiff_t* unread) {
  const char* p = start;
  auto report = [&](const char* stop) {
    if (unread) *unread = end - stop;
  };

  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) {
    negative = (*p == '-');
    ++p;
  }

  // A single digit, ".#" and I or N: the special forms written for
  // infinities and NaN.
  if (end - p >= 4 && is_digit(p[0]) && p[1] == '.' && p[2] == '#') {
    char kind = lower(p[3]);
    if (kind == 'i' || kind == 'n') {
      const char* q = p + 4;
      double special;
      if (kind == 'i') {
        if (matches_word(q, end, "nf")) q += 2;
        special = std::numeric_limits<double>::infinity();
      } else {
        if (matches_word(q, end, "an")) q += 2;
        special = std::numeric_limits<double>::quiet_NaN();
      }
      report(q);
      return negative ? -special : special;
    }
  }

  // Mantissa: collect the significant digits (leading zeros dropped) and the
  // decimal exponent of the last collected digit.
  char sig[kMaxSignificant + 16];
  int sig_count = 0;
  bool dropped_nonzero = false;
  int64_t exponent = 0;  // value = sig x 10^exponent
  bool any_digit = false;

  for (; p < end && is_digit(*p); ++p) {
    any_digit = true;
    if (sig_count == 0 && *p == '0') continue;
    if (sig_count < kMaxSignificant) {
      sig[sig_count++] = *p;
    } else {
      if (*p != '0') dropped_nonzero = true;
      if (exponent < kExponentClamp) ++exponent;
    }
  }
  if (p < end && *p == '.') {
    const char* frac = p + 1;
    const char* q = frac;
    for (; q < end && is_digit(*q); ++q) {
      if (sig_count == 0 && *q == '0') {
        if (exponent > -kExponentClamp) --exponent;
        continue;
      }
      if (sig_count < kMaxSignificant) {
        sig[sig_count++] = *q;
        if (exponent > -kExponentClamp) --exponent;
      } else if (*q != '0') {
        dropped_nonzero = true;
      }
    }
    if (q > frac) any_digit = true;
    // The point belongs to the number only when digits stand next to it.
    if (any_digit) p = q;
  }
  if (!any_digit) {
    report(start);
    return 0.0;
  }

  // The exponent part counts only with at least one digit after "e" and its
  // optional sign; otherwise the "e" stays unread.
  if (p < end && (*p == 'e' || *p == 'E')) {
    const char* q = p + 1;
    bool exp_negative = false;
    if (q < end && (*q == '+' || *q == '-')) {
      exp_negative = (*q == '-');
      ++q;
    }
    if (q < end && is_digit(*q)) {
      int64_t e = 0;
      for (; q < end && is_digit(*q); ++q) {
        if (e < kExponentClamp) e = e * 10 + (*q - '0');
      }
      exponent += exp_negative ? -e : e;
      p = q;
    }
  }
  report(p);

  if (sig_count == 0) return negative ? -0.0 : 0.0;
  if (dropped_nonzero) sig[sig_count++] = '1', --exponent;

  exponent += adjustment;
  exponent = std::clamp(exponent, -kExponentClamp, kExponentClamp);

  char* out = sig + sig_count;
  *out++ = 'e';
  std::to_chars_result w = std::to_chars(out, sig + sizeof sig, exponent);
  double result = 0.0;
  std::from_chars_result r = std::from_chars(sig, w.ptr, result);
  if (r.ec == std::errc::result_out_of_range) {
    // from_chars leaves the value alone outside the double range: the
    // position of the first digit tells overflow from underflow.
    bool at_least_one = exponent + sig_count > 0;
    result = at_least_one ? std::numeric_limits<double>::infinity() : 0.0;
  }
  return negative ? -result : result;
}

}  // namespace kiv
