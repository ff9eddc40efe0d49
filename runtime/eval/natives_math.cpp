#include "runtime/eval/natives_math.h"

#include <cmath>

#include "runtime/angle.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/money.h"
#include "runtime/datatypes/point.h"
#include "runtime/datatypes/tuple.h"
#include "runtime/eval/natives.h"
#include "runtime/language_error.h"
#include "runtime/stack.h"
#include "runtime/support.h"

namespace kiv::natives {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kLn2 = 0.6931471805599453;
constexpr double kE = 2.718281828459045;

inline Cell* arg(int32_t n) { return stack::arguments() + n; }
inline bool refined(const int32_t* refs, int n) { return refs && refs[n] >= 0; }

constexpr ArgTypeset kAngleArg = arg_typeset({TYPE_FLOAT, TYPE_INTEGER});
constexpr ArgTypeset kFloatArg = arg_typeset({TYPE_FLOAT, TYPE_INTEGER, TYPE_PERCENT});
constexpr ArgTypeset kNumberArg = arg_typeset({TYPE_INTEGER, TYPE_FLOAT, TYPE_PERCENT});
constexpr ArgTypeset kZeroArg =
    arg_typeset({TYPE_INTEGER, TYPE_FLOAT, TYPE_PERCENT, TYPE_MONEY, TYPE_PAIR, TYPE_TIME, TYPE_CHAR,
                 TYPE_TUPLE, TYPE_POINT2D, TYPE_POINT3D});

// The entry's own type check, for callers that ask for one.
void check_args(int32_t check, int32_t count, const ArgTypeset& types) {
  if (!check) return;
  for (int32_t i = 0; i < count; ++i) check_arg_type(arg(i), types.bits);
}

double number_of(const Cell* c) {
  return TYPE_OF(c) == TYPE_INTEGER ? static_cast<double>(static_cast<int32_t>(c->data2))
                                    : cell_float(c);
}

void result(double d) { float_::init_cell(arg(0), d); }

// The arc functions: 0 arctangent, 1 arccosine, 2 arcsine.
void arc_trig_core(int32_t check, const int32_t* refs, int which) {
  check_args(check, 1, kAngleArg);
  double x = float_argument();
  double r = which == 2 ? std::asin(x) : which == 1 ? std::acos(x) : std::atan(x);
  if (!refined(refs, 0)) r = r * 180.0 / kPi;
  result(r);
}

// A sine or cosine residue below the epsilon is exactly zero.
double flush_tiny(double d) { return std::fabs(d) < float_::kEpsilon ? 0.0 : d; }

void float_function(int32_t check, double (*fn)(double)) {
  check_args(check, 1, kFloatArg);
  result(fn(float_argument()));
}

}  // namespace

double float_argument() {
  Cell* a = arg(0);
  double d = number_of(a);
  float_::init_cell(a, d);
  return d;
}

double trig_core(bool radians, int mode) {
  double d = float_argument();
  return radians ? d : normalize_angle(d, mode);
}

void sine(int32_t check, const int32_t* refs) {
  check_args(check, 1, kAngleArg);
  result(flush_tiny(std::sin(trig_core(refined(refs, 0), kAngleMirror))));
}

void cosine(int32_t check, const int32_t* refs) {
  check_args(check, 1, kAngleArg);
  result(flush_tiny(std::cos(trig_core(refined(refs, 0), kAngleKeep))));
}

void tangent(int32_t check, const int32_t* refs) {
  check_args(check, 1, kAngleArg);
  double a = trig_core(refined(refs, 0), kAngleHalfTurn);
  // Exactly a quarter turn: the tangent's pole, not the platform's large
  // finite value.
  if (a == kPi / 2) result(float_::kPositiveInfinity);
  else if (a == -kPi / 2) result(float_::kNegativeInfinity);
  else result(std::tan(a));
}

void arcsine(int32_t check, const int32_t* refs) { arc_trig_core(check, refs, 2); }
void arccosine(int32_t check, const int32_t* refs) { arc_trig_core(check, refs, 1); }
void arctangent(int32_t check, const int32_t* refs) { arc_trig_core(check, refs, 0); }

void arctangent2(int32_t check, const int32_t* refs) {
  check_args(check, 2, kAngleArg);
  double r = std::atan2(number_of(arg(0)), number_of(arg(1)));
  if (!refined(refs, 0)) r = r * 180.0 / kPi;
  result(r);
}

void nan_q(int32_t check, const int32_t*) {
  check_args(check, 1, kNumberArg);
  Cell* a = arg(0);
  bool nan = TYPE_OF(a) != TYPE_INTEGER && std::isnan(cell_float(a));
  logic::init_cell(a, nan);
}

void log_2(int32_t check, const int32_t*) {
  float_function(check, [](double x) { return std::log(x) / kLn2; });
}
void log_10(int32_t check, const int32_t*) {
  float_function(check, [](double x) { return std::log10(x); });
}
void log_e(int32_t check, const int32_t*) {
  float_function(check, [](double x) { return std::log(x); });
}
void exp(int32_t check, const int32_t*) {
  float_function(check, [](double x) { return std::pow(kE, x); });
}
void square_root(int32_t check, const int32_t*) {
  float_function(check, [](double x) { return std::sqrt(x); });
}

void zero_q(int32_t check, const int32_t*) {
  check_args(check, 1, kZeroArg);
  Cell* a = arg(0);
  bool zero;
  switch (TYPE_OF(a)) {
    case TYPE_CHAR:
    case TYPE_INTEGER:
      zero = a->data2 == 0;
      break;
    case TYPE_FLOAT:
    case TYPE_PERCENT:
    case TYPE_TIME:
      zero = cell_float(a) == 0.0;  // false for NaN
      break;
    case TYPE_PAIR:
      zero = a->data2 == 0 && a->data3 == 0;
      break;
    case TYPE_TUPLE:
      zero = tuple::zero_q(a);
      break;
    case TYPE_POINT2D:
    case TYPE_POINT3D:
      zero = true;
      for (int i = 0; i < point::dimensions(TYPE_OF(a)); ++i) zero = zero && point::coordinate(a, i) == 0.0f;
      break;
    case TYPE_MONEY:
      zero = money::zero_q(a);
      break;
    default:
      zero = false;
      break;
  }
  logic::init_cell(a, zero);
}

}  // namespace kiv::natives
