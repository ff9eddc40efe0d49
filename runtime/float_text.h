// Float text conversion: IEEE 754 doubles to decimal text and back, both
// correctly rounded.
//
// Digits: a finite non-zero double is described by its significant digits
// d1 d2 ... dn (no trailing zeros) and its decimal point position decpt, so
// that the value is 0.d1d2...dn x 10^decpt. Two decpt codes mark values that
// have no digits: kDecptSpecial (infinities and NaN) and kDecptZero (zeros);
// their texts are fixed ("1.#INF", "-1.#INF", "1.#NaN"; "0.0"/"-0.0" or
// "0"/"-0").
//
// The shortest digit string that reads back as the same double, and the
// correctly rounded n-digit strings, come from std::to_chars; correctly rounded
// reading comes from std::from_chars. Everything above those primitives (the
// text forms, special values, exponent rules, the exponent adjustment and the
// handling of overflow and underflow) lives here.
#pragma once

#include <cstddef>
#include <string_view>

namespace kiv {

constexpr int kDecptSpecial = 9999;  // infinity or NaN
constexpr int kDecptZero = 9998;     // +0.0 or -0.0

// Longest digit string float_to_digits produces; larger precisions are cut
// to it (a double needs 17 digits to be told apart; money asks for 22).
constexpr int kMaxFloatDigits = 30;

struct FloatDigits {
  int decpt = 0;          // point position, or kDecptSpecial / kDecptZero
  bool negative = false;  // sign bit of the value (also for -0.0 and -inf)
  int count = 0;          // number of significant digits; 0 for special and zero
  // NUL-terminated: "-" for a negative value, then the digits; for special
  // and zero values the fixed text.
  char text[kMaxFloatDigits + 2] = {};

  // The digits without the sign (for finite non-zero values).
  const char* digits() const { return text + (negative ? 1 : 0); }
};

// Precision 0 or below: the shortest digits that read back as the same
// double. Precision n above 0: at most n significant digits (n is capped at
// kMaxFloatDigits), correctly rounded, trailing zeros removed. float_q picks
// the zero text: "0.0" when set, "0" otherwise.
FloatDigits float_to_digits(double value, int precision, bool float_q);

// A laid-out float text, NUL-terminated.
struct FloatText {
  char text[64] = {};
  int length = 0;

  const char* c_str() const { return text; }
  std::string_view view() const { return {text, static_cast<size_t>(length)}; }
};

// The digits of float_to_digits laid out as text: plain notation for decpt
// from -6 to 17, scientific ("1.5e20", "1.0e-8") outside it. float_q keeps
// ".0" after a whole number ("1.0", "1.0e17"); without it the point goes
// ("1", "1e17").
FloatText form_float(double value, int precision, bool float_q);

// Reads a decimal number from [start, end): optional sign, digits with an
// optional point, optional exponent ("e" or "E", optional sign, digits), or
// one of the special forms "1.#INF", "-1.#INF", "1.#NaN" (a single digit, ".#"
// and I or N in either case). adjustment is added to the decimal exponent.
// *unread (when given) receives the number of characters at the end that were
// not part of the number: 0 on a full parse, end - start when no number was
// found (the result is then 0.0). Results beyond the largest double are
// infinities, results below half the smallest subnormal are zeros, both with
// the sign of the text.
double string_to_float(const char* start, const char* end, int adjustment, ptrdiff_t* unread);

}  // namespace kiv
