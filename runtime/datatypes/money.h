// money! (type id 49, no parent): an exact decimal amount with an optional
// currency, computed digit by digit, never through binary floating point.
//
//   byte 0      type id 49 (header bits 0-7)
//   header bit 14 (0x4000) set for a negative amount
//   byte 4      the currency: 0 for none, else the 1-based position of its
//               code in system/locale/currencies/list
//   bytes 5-15  the magnitude: 22 packed decimal digits, most significant
//               first, two a byte (high nibble first); the last 5 digits
//               are the fraction
//
// The largest magnitude is 99999999999999999.99999. A zero amount is zero
// whatever its sign bit. Results that need more than 22 digits raise
// script/type-limit; a product or quotient is kept whenever it fits.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kiv::money {

constexpr int kDigits = 22;
constexpr int kFractionDigits = 5;
constexpr int kIntegralDigits = kDigits - kFractionDigits;
constexpr uint32_t kNegative = 0x4000;

// The magnitude, one decimal digit a byte, most significant first.
struct Amount {
  uint8_t d[kDigits] = {};
};

Amount amount_of(const Cell* c);
bool negative_q(const Cell* c);  // a non-zero amount with the sign bit
bool positive_q(const Cell* c);
bool zero_q(const Cell* c);
int32_t sign(const Cell* c);  // -1, 0 or 1
uint32_t currency_of(const Cell* c);

// Makes the cell a money! from its parts.
Cell* make_in(Cell* c, bool negative, uint32_t currency, const Amount& amount);

// The currency's position in the list (1-based), -1 when the word is not in it.
int32_t currency_index(const Cell* word);

// From digit texts: the integral digits (apostrophes skipped) and the
// fraction digits (beyond the fifth dropped). A currency of 0 is none.
// False when the integral part has more than 17 significant digits.
bool make_from_parts(Cell* c, bool negative, uint32_t currency, const char* integral, int integral_length,
                     const char* fraction, int fraction_length);

Cell* from_integer(Cell* c, int32_t n);
// A NaN, an infinity, a non-zero magnitude below 0.00001 or one of 1e17 or
// more raise script/bad-make-arg (money!, the float).
Cell* from_float(Cell* c, double x);
int32_t to_integer(const Cell* c);  // beyond 32 bits: script/type-limit integer!
double to_float(const Cell* c);

// Reads the text of a money literal ([sign][code]$digits[.digits]) from code
// points; false when it is not one.
bool scan_money_text(const uint32_t* chars, int32_t count, Cell* out);

// Arithmetic on the frame's first two cells: op 0 add, 1 subtract, 2
// multiply, 3 divide, 4 remainder. Either operand may be the money; the
// other an integer!, float! or percent!.
void do_math(int32_t op);

// Handlers other modules call.
int32_t compare(Cell* value1, Cell* value2, int32_t op);

// Registers money! (and its lexer loader).
void init();

}  // namespace kiv::money
