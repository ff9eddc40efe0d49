#include "runtime/datatypes/date.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "runtime/datatypes/block.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/registry.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/time.h"
#include "runtime/datatypes/unset.h"
#include "runtime/datatypes/word.h"
#include "runtime/datatypes/actions.h"
#include "runtime/eval/lexer.h"
#include "runtime/float_text.h"
#include "runtime/host/random.h"
#include "runtime/hashtable.h"
#include "runtime/language_error.h"
#include "runtime/ownership.h"
#include "runtime/platform.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/type_traits.h"
#include "runtime/words.h"

namespace kiv::date {

namespace {

constexpr int64_t kSecondsPerDayInt = 86400;
constexpr int32_t kZoneHoursShift = 2;
constexpr uint32_t kZoneQuarterMask = 3;
constexpr uint32_t kZoneHoursMask = 15;
constexpr int32_t kSecondsPerQuarter = 900;
// Sixteen hours: a zone given as a time! is taken modulo this.
constexpr double kZoneSpan = 57600.0;
// The field words in field order (yearday and julian both name 11).
constexpr words::Id kFieldWords[] = {words::SYM_DATE,   words::SYM_YEAR,    words::SYM_MONTH,
                                     words::SYM_DAY,    words::SYM_ZONE,    words::SYM_TIME,
                                     words::SYM_HOUR,   words::SYM_MINUTE,  words::SYM_SECOND,
                                     words::SYM_WEEKDAY, words::SYM_YEARDAY, words::SYM_TIMEZONE,
                                     words::SYM_WEEK,   words::SYM_ISOWEEK};

int64_t floor_div(int64_t a, int64_t b) {
  int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}
int64_t floor_mod(int64_t a, int64_t b) { return a - floor_div(a, b) * b; }

// Days before 1 March of the March-based year y.
int64_t year_base(int64_t y) { return 365 * y + floor_div(y, 4) - floor_div(y, 100) + floor_div(y, 400); }

[[noreturn]] void fire_limit() { fire(ErrorCategory::kScript, "type-limit", datatype_cell(TYPE_DATE)); }
[[noreturn]] void fire_bad_to_arg(const Cell* spec) {
  fire(ErrorCategory::kScript, "bad-to-arg", datatype_cell(TYPE_DATE), *spec);
}

// The local time of day of a date (stored time plus zone; 0 without a time).
double local_time(const Cell* c) {
  uint32_t p = packed_of(c);
  return has_time_q(p) ? cell_float(c) + zone_seconds(p) : 0.0;
}

// Moves whole days between the time and the day number so that the local
// time of day (time + zone) lies in 0 to 86400.
void normalize_time(int64_t* days, double* time, int32_t zone) {
  double local = *time + zone;
  if (!std::isfinite(local)) fire_limit();
  double k = std::floor(local / kSecondsPerDay);
  if (std::fabs(k) > 1e10) fire_limit();
  *days += static_cast<int64_t>(k);
  *time -= k * kSecondsPerDay;
  // Rounding may leave the local time a hair outside the day.
  if (*time + zone < 0) {
    *time += kSecondsPerDay;
    *days -= 1;
  } else if (*time + zone >= kSecondsPerDay) {
    *time -= kSecondsPerDay;
    *days += 1;
  }
}

// Repacks a date from a day number and a stored time, normalised against
// its zone; the result replaces the cell.
void store(Cell* c, int64_t days, double time, uint32_t zone, bool has_time) {
  if (has_time) {
    normalize_time(&days, &time, zone_seconds(zone));
  } else {
    time = 0.0;
  }
  uint32_t packed = days_to_date(days, zone, has_time);
  init_cell(c, packed, time);
}

// A date's stored time taken as a local time: the zone is subtracted and
// whole days carry into the date.
void store_local(Cell* c, int64_t days, double local, uint32_t zone) {
  store(c, days, local - zone_seconds(zone), zone, true);
}

// Weekday 0 (Monday) to 6 of a day number.
int32_t weekday0(int64_t days) { return static_cast<int32_t>(floor_mod(days + 2, 7)); }

int64_t days_to_year_start(int64_t year) { return days_from_civil(year, 1, 1); }

// The day number of Monday of ISO week 1 of a year, and 1 January's ISO
// weekday (1 Monday .. 7 Sunday).
int64_t iso_week_start(int64_t year, int32_t* jan1_weekday) {
  int64_t j = days_to_year_start(year);
  int32_t b = weekday0(j);
  if (jan1_weekday) *jan1_weekday = b + 1;
  return b >= 4 ? j - b + 7 : j - b;
}

int32_t iso_week(int64_t days, int64_t year) {
  int32_t b1;
  int64_t s = iso_week_start(year, &b1);
  if (days < s) {
    if (b1 == 5) return 53;
    if (b1 == 6 && leap_year_q(year - 1)) return 53;
    return 52;
  }
  int64_t s2 = iso_week_start(year + 1, nullptr);
  if (days >= s2) return 1;
  return static_cast<int32_t>((days - s) / 7 + 1);
}

int32_t sunday_week(int64_t days, int64_t year) {
  int64_t start = days_to_year_start(year);
  int64_t e = floor_mod(start + 3, 7);  // 1 January's weekday from Sunday = 0
  int64_t d = days - start + 1;
  return static_cast<int32_t>((d + e - 1) / 7 + 1);
}

}  // namespace

int32_t zone_seconds(uint32_t packed) {
  int32_t hours = static_cast<int32_t>((packed >> kZoneHoursShift) & kZoneHoursMask);
  int32_t quarters = static_cast<int32_t>(packed & kZoneQuarterMask);
  int32_t s = hours * 3600 + quarters * kSecondsPerQuarter;
  return (packed & kZoneWest) ? -s : s;
}

uint32_t zone_bits(int32_t seconds) {
  uint32_t sign = seconds < 0 ? kZoneWest : 0;
  int32_t m = seconds < 0 ? -seconds : seconds;
  uint32_t hours = static_cast<uint32_t>(m / 3600);
  uint32_t quarters = static_cast<uint32_t>(m % 3600 / kSecondsPerQuarter);
  if (hours > kZoneHoursMask) hours = kZoneHoursMask;
  if (hours == 0 && quarters == 0) sign = 0;
  return sign | hours << kZoneHoursShift | quarters;
}

bool leap_year_q(int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int64_t days_from_civil(int64_t year, int64_t month, int64_t day) {
  // Months outside 1-12 carry into the year first.
  year += floor_div(month - 1, 12);
  month = floor_mod(month - 1, 12) + 1;
  int64_t m = (month + 9) % 12;  // March 0 .. February 11
  int64_t y = year - m / 10;
  return year_base(y) + (m * 306 + 5) / 10 + (day - 1);
}

void civil_from_days(int64_t days, int64_t* year, int32_t* month, int32_t* day) {
  int64_t y = static_cast<int64_t>(std::floor((10000.0 * static_cast<double>(days) + 14780.0) / 3652425.0));
  int64_t ddd = days - year_base(y);
  if (ddd < 0) {
    --y;
    ddd = days - year_base(y);
  } else if (ddd >= 366 || (ddd == 365 && year_base(y + 1) - year_base(y) == 365)) {
    ++y;
    ddd = days - year_base(y);
  }
  int64_t mi = (100 * ddd + 52) / 3060;
  *month = static_cast<int32_t>((mi + 2) % 12 + 1);
  *year = y + (mi + 2) / 12;
  *day = static_cast<int32_t>(ddd - (mi * 306 + 5) / 10 + 1);
}

int64_t date_to_days(uint32_t packed) { return days_from_civil(year_of(packed), month_of(packed), day_of(packed)); }

uint32_t days_to_date(int64_t days, uint32_t zone, bool has_time) {
  int64_t year;
  int32_t month, day;
  civil_from_days(days, &year, &month, &day);
  if (year < kMinYear || year > kMaxYear) fire_limit();
  return static_cast<uint32_t>(static_cast<int32_t>(year) << kYearShift) | static_cast<uint32_t>(month) << 12 |
         static_cast<uint32_t>(day) << 7 | (has_time ? kHasTime : 0) | (zone & kZoneMask);
}

Cell* init_cell(Cell* c, uint32_t packed, double time) {
  *c = Cell{TYPE_DATE, packed, 0, 0};
  set_cell_float(c, time);
  return c;
}
Cell* push(uint32_t packed, double time) { return init_cell(stack::push_new_cell(), packed, time); }
Cell* at_tail(const Cell* block, uint32_t packed, double time) {
  return init_cell(alloc_tail(block), packed, time);
}

Cell* make_in(Cell* c, int32_t year, int32_t month, int32_t day, double local, int32_t zone, bool has_time) {
  uint32_t zbits = zone_bits(zone);
  uint32_t packed = static_cast<uint32_t>(year << kYearShift) | static_cast<uint32_t>(month & 15) << 12 |
                    static_cast<uint32_t>(day & 31) << 7 | zbits;
  if (!has_time) return init_cell(c, packed, 0.0);
  return init_cell(c, packed | kHasTime, local - zone_seconds(zbits));
}

Cell* make_in_from_system_time(Cell* c, int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute,
                               int32_t second, int32_t nanoseconds) {
  double time = hour * 3600.0 + minute * 60.0 + second + nanoseconds * 1e-9;
  return make_in(c, year, month, day, time, 0, true);
}

Cell* from_unix_time(Cell* c, int64_t seconds, double fraction) {
  int64_t days = days_from_civil(1970, 1, 1) + floor_div(seconds, kSecondsPerDayInt);
  double time = static_cast<double>(floor_mod(seconds, kSecondsPerDayInt)) + fraction;
  store(c, days, time, 0, true);
  return c;
}

void instant(const Cell* c, int64_t* days, double* seconds) {
  int64_t d = date_to_days(packed_of(c));
  double t = cell_float(c);
  double k = std::floor(t / kSecondsPerDay);
  *days = d + static_cast<int64_t>(k);
  *seconds = t - k * kSecondsPerDay;
}

int64_t to_unix_time(const Cell* c) {
  int64_t days = date_to_days(packed_of(c)) - days_from_civil(1970, 1, 1);
  // Rounded to the nearest second; the stored time may be negative.
  return days * kSecondsPerDayInt + static_cast<int64_t>(std::floor(cell_float(c) + 0.5));
}

double difference(const Cell* a, const Cell* b) {
  int64_t d = date_to_days(packed_of(a)) - date_to_days(packed_of(b));
  return static_cast<double>(d) * kSecondsPerDay + (cell_float(a) - cell_float(b));
}

// ---------------------------------------------------------------------------
// Fields.

int32_t field_index(const Cell* word) {
  for (int32_t i = 0; i < 14; ++i)
    if (word::spells_q(word, kFieldWords[i])) return i + 1;
  if (word::spells_q(word, words::SYM_JULIAN)) return kFieldYearday;
  return -1;
}

void get_field(const Cell* c, int32_t field, Cell* out) {
  uint32_t p = packed_of(c);
  int64_t days = date_to_days(p);
  double local = local_time(c);
  switch (field) {
    case kFieldDate:
      init_cell(out, p & ~(kHasTime | kZoneMask), 0.0);
      return;
    case kFieldYear:
      integer::init_cell(out, year_of(p));
      return;
    case kFieldMonth:
      integer::init_cell(out, month_of(p));
      return;
    case kFieldDay:
      integer::init_cell(out, day_of(p));
      return;
    case kFieldZone:
    case kFieldTimezone:
      if (!has_time_q(p)) *out = none_value;
      else time::init_cell(zone_seconds(p), out);
      return;
    case kFieldTime:
      if (!has_time_q(p)) *out = none_value;
      else time::init_cell(local, out);
      return;
    case kFieldHour:
      integer::init_cell(out, static_cast<int32_t>(std::floor(local / 3600.0)));
      return;
    case kFieldMinute:
      integer::init_cell(out, static_cast<int32_t>(std::floor(std::fmod(local, 3600.0) / 60.0)));
      return;
    case kFieldSecond:
      float_::init_cell(out, std::fmod(local, 60.0));
      return;
    case kFieldWeekday:
      integer::init_cell(out, weekday0(days) + 1);
      return;
    case kFieldYearday:
      integer::init_cell(out, static_cast<int32_t>(days - days_to_year_start(year_of(p)) + 1));
      return;
    case kFieldWeek:
      integer::init_cell(out, sunday_week(days, year_of(p)));
      return;
    case kFieldIsoweek:
      integer::init_cell(out, iso_week(days, year_of(p)));
      return;
    default:
      {
      Cell n;
      integer::init_cell(&n, field);
      fire(ErrorCategory::kScript, "out-of-range", n);
    }
  }
}

namespace {

// Sets the zone from an integer (hours) or a time!. keep_instant: the same
// instant shown in the new zone; else the local clock is kept.
void set_zone(Cell* c, const Cell* value, bool keep_instant) {
  int32_t seconds;
  if (TYPE_OF(value) == TYPE_INTEGER) {
    seconds = (integer::get(value) % 16) * 3600;
  } else if (TYPE_OF(value) == TYPE_TIME) {
    double t = std::fmod(time::get(value), kZoneSpan);
    if (std::isnan(t)) fire(ErrorCategory::kScript, "invalid-arg", *value);
    double m = std::fabs(t);
    int32_t hours = static_cast<int32_t>(m / 3600.0);
    int32_t quarters = static_cast<int32_t>(std::fmod(m, 3600.0) / 60.0) / 15 % 4;
    seconds = hours * 3600 + quarters * kSecondsPerQuarter;
    if (t < 0) seconds = -seconds;
  } else {
    fire(ErrorCategory::kScript, "invalid-arg", *value);
  }
  uint32_t p = packed_of(c);
  uint32_t zone = zone_bits(seconds);
  int64_t days = date_to_days(p);
  if (keep_instant) {
    double time = has_time_q(p) ? cell_float(c) : -static_cast<double>(zone_seconds(p));
    store(c, days, time, zone, true);
  } else {
    store_local(c, days, local_time(c), zone);
  }
}

// Replaces the local time of day, keeping the date and zone.
void set_local(Cell* c, double local) {
  uint32_t p = packed_of(c);
  store_local(c, date_to_days(p), local, p & kZoneMask);
}

// A date moved to another day number, keeping its local time and zone.
void set_days(Cell* c, int64_t days) {
  uint32_t p = packed_of(c);
  if (!has_time_q(p)) {
    store(c, days, 0.0, p & kZoneMask, false);
    return;
  }
  store(c, days, cell_float(c), p & kZoneMask, true);
}

int32_t integer_value(const Cell* v) {
  if (TYPE_OF(v) != TYPE_INTEGER) fire(ErrorCategory::kScript, "invalid-arg", *v);
  return integer::get(v);
}

void set_field(Cell* c, int32_t field, const Cell* v) {
  uint32_t p = packed_of(c);
  int64_t days = date_to_days(p);
  int64_t year = year_of(p);
  switch (field) {
    case kFieldDate: {
      if (TYPE_OF(v) != TYPE_DATE) fire(ErrorCategory::kScript, "invalid-arg", *v);
      uint32_t q = packed_of(v);
      bool has_time = has_time_q(q);
      uint32_t packed = (q & ~(kZoneMask | kHasTime)) | (p & kZoneMask) | (has_time ? kHasTime : 0);
      double time = has_time ? (has_time_q(p) ? cell_float(c) : -zone_seconds(p)) : 0.0;
      init_cell(c, packed, time);
      return;
    }
    case kFieldYear:
      set_days(c, days_from_civil(integer_value(v), month_of(p), day_of(p)));
      return;
    case kFieldMonth:
      set_days(c, days_from_civil(year, integer_value(v), day_of(p)));
      return;
    case kFieldDay:
      set_days(c, days_from_civil(year, month_of(p), 1) + integer_value(v) - 1);
      return;
    case kFieldZone:
      set_zone(c, v, false);
      return;
    case kFieldTimezone:
      set_zone(c, v, true);
      return;
    case kFieldTime:
      if (TYPE_OF(v) == TYPE_NONE) {
        init_cell(c, p & ~kHasTime, 0.0);
        return;
      }
      if (TYPE_OF(v) != TYPE_TIME) fire(ErrorCategory::kScript, "invalid-arg", *v);
      set_local(c, time::get(v));
      return;
    case kFieldHour: {
      double local = local_time(c);
      set_local(c, local - (std::floor(local / 3600.0) - integer_value(v)) * 3600.0);
      return;
    }
    case kFieldMinute: {
      double local = local_time(c);
      set_local(c, local - (std::floor(std::fmod(local, 3600.0) / 60.0) - integer_value(v)) * 60.0);
      return;
    }
    case kFieldSecond: {
      double s;
      if (TYPE_OF(v) == TYPE_INTEGER) s = integer::get(v);
      else if (TYPE_OF(v) == TYPE_FLOAT) s = cell_float(v);
      else fire(ErrorCategory::kScript, "invalid-arg", *v);
      double local = local_time(c);
      set_local(c, local - std::fmod(local, 60.0) + s);
      return;
    }
    case kFieldWeekday:
      set_days(c, days - weekday0(days) + integer_value(v) - 1);
      return;
    case kFieldYearday:
      set_days(c, days_to_year_start(year) + integer_value(v) - 1);
      return;
    case kFieldWeek: {
      int32_t n = integer_value(v);
      int64_t start = days_to_year_start(year);
      if (n <= 1) {
        set_days(c, start);
      } else {
        int64_t sunday = start - floor_mod(start + 3, 7);
        set_days(c, sunday + static_cast<int64_t>(n - 1) * 7);
      }
      return;
    }
    case kFieldIsoweek:
      set_days(c, iso_week_start(year, nullptr) + (static_cast<int64_t>(integer_value(v)) - 1) * 7);
      return;
    default:
      fire(ErrorCategory::kScript, "invalid-arg", *v);
  }
}

// The field an index value names (integer 1-14 or a field word), -1 if none.
int32_t field_of(const Cell* index) {
  if (TYPE_OF(index) == TYPE_INTEGER) {
    int32_t i = integer::get(index);
    return i >= kFieldDate && i <= kFieldIsoweek ? i : -1;
  }
  if (TYPE_OF(index) == TYPE_WORD) return field_index(index);
  return -1;
}

}  // namespace

// ---------------------------------------------------------------------------
// Arithmetic.

void do_math(int32_t op) {
  Cell* left = stack::arguments();
  Cell* right = left + 1;
  uint32_t p = packed_of(left);
  int64_t days = date_to_days(p);
  double time = cell_float(left);
  bool has_time = has_time_q(p);
  double sign = op == OP_SUBTRACT ? -1.0 : 1.0;
  switch (TYPE_OF(right)) {
    case TYPE_INTEGER:
      days += (op == OP_SUBTRACT ? -1 : 1) * static_cast<int64_t>(integer::get(right));
      break;
    case TYPE_TIME: {
      double t = time::get(right);
      if (!std::isfinite(t)) fire_limit();
      if (!has_time) time = 0.0;
      time += sign * t;
      has_time = true;
      break;
    }
    case TYPE_DATE: {
      if (op != OP_SUBTRACT)
        fire(ErrorCategory::kScript, "not-related", *words::cell_of(words::WORD_ADD), datatype_cell(TYPE_DATE));
      days -= date_to_days(packed_of(right));
      time -= cell_float(right);
      normalize_time(&days, &time, zone_seconds(p));
      if (days < INT32_MIN || days > INT32_MAX) fire_limit();
      integer::init_cell(left, static_cast<int32_t>(days));
      return;
    }
    default:
      fire(ErrorCategory::kScript, "invalid-type", datatype_cell(TYPE_OF(right)));
  }
  store(left, days, time, p & kZoneMask, has_time);
}


// ---------------------------------------------------------------------------
// Make and to.

namespace {

enum Slot : uint8_t {
  kNoSlot,
  kDayOrYear,
  kMonth,
  kYearOrDay,
  kHour,
  kTimeSlot,
  kZoneHours,
  kZoneTime,
  kZoneMinutes,
  kMinute,
  kSecond,
  kSecondFloat,
};
constexpr uint8_t kEnd = 0xFF;
struct Step {
  uint8_t next;
  Slot slot;
};
// By state and class (integer!, time!, float!).
constexpr Step kBlockSteps[14][3] = {
    {{1, kDayOrYear}, {kEnd, kNoSlot}, {kEnd, kNoSlot}},
    {{2, kMonth}, {kEnd, kNoSlot}, {kEnd, kNoSlot}},
    {{3, kYearOrDay}, {kEnd, kNoSlot}, {kEnd, kNoSlot}},
    {{8, kHour}, {4, kTimeSlot}, {kEnd, kNoSlot}},
    {{6, kZoneHours}, {5, kZoneTime}, {kEnd, kNoSlot}},
    {{kEnd, kNoSlot}, {kEnd, kNoSlot}, {kEnd, kNoSlot}},
    {{7, kZoneMinutes}, {kEnd, kNoSlot}, {kEnd, kNoSlot}},
    {{kEnd, kNoSlot}, {kEnd, kNoSlot}, {kEnd, kNoSlot}},
    {{9, kMinute}, {kEnd, kNoSlot}, {kEnd, kNoSlot}},
    {{10, kSecond}, {kEnd, kNoSlot}, {10, kSecondFloat}},
    {{12, kZoneHours}, {11, kZoneTime}, {kEnd, kNoSlot}},
    {{kEnd, kNoSlot}, {kEnd, kNoSlot}, {kEnd, kNoSlot}},
    {{13, kZoneMinutes}, {kEnd, kNoSlot}, {kEnd, kNoSlot}},
    {{kEnd, kNoSlot}, {kEnd, kNoSlot}, {kEnd, kNoSlot}},
};

Cell* from_block(Cell* out, Cell* spec, bool strict) {
  int32_t count = static_cast<int32_t>(series_length(spec->data2)) - static_cast<int32_t>(spec->data1);
  if (count < 3) fire_bad_to_arg(spec);
  HeldPtr<const Cell> head = series_head_cell(spec->data2) + spec->data1;
  int64_t first = 0, month = 0, third = 0, hour = 0, minute = 0, isec = 0, zh = 0, zm = 0;
  double fsec = 0, time_value = 0, zone_time = 0;
  bool has_time = false, separate = false, zone_is_time = false, zone_given = false;
  uint8_t state = 0;
  for (int32_t i = 0; i < count; ++i) {
    const Cell* v = head + i;
    int cls;
    switch (TYPE_OF(v)) {
      case TYPE_INTEGER: cls = 0; break;
      case TYPE_TIME: cls = 1; break;
      case TYPE_FLOAT: cls = 2; break;
      default: fire_bad_to_arg(spec);
    }
    Step s = kBlockSteps[state][cls];
    if (s.next == kEnd) fire_bad_to_arg(spec);
    state = s.next;
    switch (s.slot) {
      case kDayOrYear: first = integer::get(v); break;
      case kMonth: month = integer::get(v); break;
      case kYearOrDay: third = integer::get(v); break;
      case kHour: hour = integer::get(v); has_time = separate = true; break;
      case kTimeSlot: time_value = time::get(v); has_time = true; break;
      case kZoneHours: zh = integer::get(v); zone_given = true; break;
      case kZoneTime: zone_time = time::get(v); zone_is_time = zone_given = true; break;
      case kZoneMinutes: zm = integer::get(v); break;
      case kMinute: minute = integer::get(v); break;
      case kSecond: isec = integer::get(v); break;
      case kSecondFloat: fsec = cell_float(v); break;
      default: break;
    }
  }
  int64_t year, day;
  if (first > 99 && third < first) {
    year = first;
    day = third;
  } else {
    day = first;
    year = third;
  }
  int32_t zone = 0;
  if (zone_given) {
    bool west;
    int64_t hours, minutes;
    if (zone_is_time) {
      if (!std::isfinite(zone_time)) fire_bad_to_arg(spec);
      west = zone_time < 0;
      double m = std::fabs(zone_time);
      hours = static_cast<int64_t>(m / 3600.0);
      minutes = static_cast<int64_t>(std::fmod(m, 3600.0) / 60.0);
    } else {
      west = zh < 0;
      hours = zh < 0 ? -zh : zh;
      minutes = zm < 0 ? -zm : zm;
    }
    // A zone beyond the zone bits would be stored as another zone.
    if (hours > 15 || minutes > 59) fire_bad_to_arg(spec);
    zone = static_cast<int32_t>(hours * 3600 + minutes / 15 * kSecondsPerQuarter);
    if (west) zone = -zone;
  }
  if (separate) {
    double seconds = fsec != 0.0 ? fsec : static_cast<double>(isec);
    time_value = static_cast<double>(hour) * 3600.0 + static_cast<double>(minute) * 60.0 + seconds;
    if (strict && (hour < 0 || hour > 23 || minute < 0 || minute > 59 || seconds < 0 || seconds >= 60))
      fire_bad_to_arg(spec);
  }
  if (!std::isfinite(time_value)) fire_bad_to_arg(spec);
  if (strict && has_time && (time_value < 0 || time_value >= kSecondsPerDay)) fire_bad_to_arg(spec);
  if (year < kMinYear || year > kMaxYear) fire_bad_to_arg(spec);
  int64_t days = days_from_civil(year, month, 1) + day - 1;
  uint32_t zbits = zone_bits(zone);
  if (has_time) store_local(out, days, time_value, zbits);
  else store(out, days, 0.0, zbits, false);
  if (strict) {
    uint32_t p = packed_of(out);
    if (year_of(p) != year || month_of(p) != month || day_of(p) != day) fire_bad_to_arg(spec);
  }
  return out;
}

Cell* convert(Cell* type, Cell* spec, bool strict) {
  switch (string_group_type(TYPE_OF(spec))) {
    case TYPE_DATE:
      return copy_cell(spec, type);
    case TYPE_BLOCK:
    case TYPE_PAREN:
    case TYPE_HASH: {
      Cell out;
      from_block(&out, spec, strict);
      return copy_cell(&out, type);
    }
    case TYPE_INTEGER:
      return from_unix_time(type, integer::get(spec), 0.0);
    case TYPE_STRING: {  // every any-string! kind
      Cell loaded;
      if (!float_::load_text_value(spec, uint64_t{1} << TYPE_DATE, &loaded)) fire_bad_to_arg(spec);
      return copy_cell(&loaded, type);
    }
    default:
      fire_bad_to_arg(spec);
  }
}

}  // namespace

Cell* make(Cell* type, Cell* spec) { return convert(type, spec, true); }
Cell* to(Cell* type, Cell* spec) { return convert(type, spec, false); }

// ---------------------------------------------------------------------------
// Form and mold.

namespace {

void put(Cell* buffer, const char* text, int32_t* written) {
  string::append_text(buffer, text);
  *written += static_cast<int32_t>(std::strlen(text));
}

}  // namespace

int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) {
  uint32_t p = packed_of(value);
  int32_t year = year_of(p);
  int32_t month = month_of(p);
  // The month's name from the locale: the first three characters.
  uint32_t name[3];
  int32_t name_length = 0;
  {
    Cell* months = error::system_member({"locale", "months"});
    bool ok = months && (TYPE_OF(months) == TYPE_BLOCK || TYPE_OF(months) == TYPE_HASH) && month >= 1 &&
              static_cast<int64_t>(series_length(months->data2)) - months->data1 >= month;
    Cell entry{};
    if (ok) {
      entry = series_head_cell(months->data2)[months->data1 + month - 1];
      ok = TYPE_OF(&entry) == TYPE_STRING;
    }
    if (!ok) fire(ErrorCategory::kScript, "invalid-months");
    int32_t n = string::length(&entry);
    name_length = n < 3 ? n : 3;
    for (int32_t i = 0; i < name_length; ++i)
      name[i] = string::char_at_index(&entry, string::index_of(&entry) + i);
  }
  const char* sep = year < 0 ? "/" : "-";
  int32_t written = 0;
  char text[64];
  std::snprintf(text, sizeof text, "%d%s", day_of(p), sep);
  put(buffer, text, &written);
  for (int32_t i = 0; i < name_length; ++i) string::append_char(buffer, name[i]);
  written += name_length;
  int32_t ay = year < 0 ? -year : year;
  std::snprintf(text, sizeof text, ay < 100 ? "%s%s%04d" : "%s%s%d", sep, year < 0 ? "-" : "", ay);
  put(buffer, text, &written);
  if (has_time_q(p)) {
    put(buffer, "/", &written);
    int32_t left = time::to_text(local_time(value), buffer, limit - written);
    written = limit - left;
    int32_t z = zone_seconds(p);
    if (z != 0) {
      int32_t m = z < 0 ? -z : z;
      std::snprintf(text, sizeof text, "%c%02d:%02d", z < 0 ? '-' : '+', m / 3600, m % 3600 / 60);
      put(buffer, text, &written);
    }
  }
  return limit - written;
}

int32_t mold(Cell* value, Cell* buffer, MoldFlags, Cell* part, int32_t limit, int32_t) {
  return form(value, buffer, part, limit);
}

// ---------------------------------------------------------------------------
// Compare: dates are equal when they name the same instant, whatever their
// zones; the order is the order of the instants.

int32_t compare(Cell* a, Cell* b, int32_t op) {
  if (TYPE_OF(b) != TYPE_DATE) return op == COMP_STRICT_EQUAL || op == COMP_FIND || op == COMP_SAME ? 1 : kNotComparable;
  if (op == COMP_SAME) return a->data1 == b->data1 && a->data2 == b->data2 && a->data3 == b->data3 ? 0 : 1;
  int64_t da, db;
  double ta, tb;
  instant(a, &da, &ta);
  instant(b, &db, &tb);
  // Times a hair apart across midnight compare through their difference.
  double diff = static_cast<double>(da - db) * kSecondsPerDay + (ta - tb);
  bool equal = da == db ? float_::nearly_equal_q(ta, tb) : std::fabs(diff) < 1e-9;
  if (equal) return 0;
  if (op == COMP_EQUAL || op == COMP_NOT_EQUAL || op == COMP_STRICT_EQUAL || op == COMP_FIND) return 1;
  if (da != db) return da < db ? -1 : 1;
  return ta < tb ? -1 : 1;
}

// ---------------------------------------------------------------------------
// Random.

namespace {

Cell* random(Cell* value, bool seed, bool secure, bool) {
  uint32_t p = packed_of(value);
  if (seed) {
    double t = cell_float(value);
    uint32_t s = p + static_cast<uint32_t>(static_cast<int64_t>(std::isfinite(t) ? std::trunc(t) : 0));
    random::seed(s);
    return &unset_value;
  }
  random::Source source = secure ? random::Source::secure : random::Source::generator;
  int64_t days = date_to_days(p);
  int64_t drawn = 0;
  if (days > 0) {
    int32_t bound = days > INT32_MAX ? INT32_MAX : static_cast<int32_t>(days);
    drawn = random::integer(source, bound) - 1;
  }
  if (!has_time_q(p)) {
    store(value, drawn, 0.0, p & kZoneMask, false);
    return value;
  }
  uint32_t zone = static_cast<uint32_t>(random::integer(source, 128) - 1);
  // Seconds past the hour 15 in a zone's bits: keep them within 15 hours.
  double r = static_cast<double>(secure ? random::secure() : random::next()) / 2147483648.0;
  double local = std::floor(r * 3600.0) / 3600.0 * kSecondsPerDay;
  store_local(value, drawn, local, zone);
  return value;
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* grand_parent, Cell*, int32_t,
                PathFlags flags) {
  int32_t field = field_of(element);
  if (field < 0) fire(ErrorCategory::kScript, "invalid-path", path ? *path : *element, *element);
  if (!value) {
    Cell* out = stack::push_new_cell();
    get_field(parent, field, out);
    return out;
  }
  Cell changed = *parent;
  set_field(&changed, field, value);
  *parent = changed;
  if (flags.notify && grand_parent && TYPE_OF(grand_parent) != TYPE_OBJECT)
    ownership::check(grand_parent, words::WORD_SET_PATH, field, 1);
  return value;
}

Cell* pick(Cell* series, int32_t, Cell* index_cell) {
  int32_t field = field_of(index_cell);
  if (field < 0) fire(ErrorCategory::kScript, "out-of-range", *index_cell);
  Cell* out = stack::push_new_cell();
  get_field(series, field, out);
  return out;
}

}  // namespace

// ---------------------------------------------------------------------------
// The clock.

Cell* now(Cell* c, bool utc, bool precise) {
  platform::ClockReading r = platform::read_clock();
  from_unix_time(c, r.seconds, precise ? r.nanoseconds / 1e9 : 0.0);
  if (!utc) {
    uint32_t p = packed_of(c);
    store(c, date_to_days(p), cell_float(c), zone_bits(r.utc_offset), true);
  }
  return c;
}

// ---------------------------------------------------------------------------
// The lexer's date loader.

namespace {

struct DateText {
  int64_t year = 0;
  int32_t month = 1, day = 1;
  enum Kind { kCalendar, kWeek, kOrdinal } kind = kCalendar;
  int32_t week = 0, weekday = 0, yearday = 0;
  bool has_time = false;
  double time = 0;
  int32_t zone = 0;
};

struct Reader {
  const uint8_t* p;
  const uint8_t* e;
  bool at(char c) const { return p < e && *p == c; }
  bool digit() const { return p < e && *p >= '0' && *p <= '9'; }
  // Up to max digits; answers how many were read.
  int read_digits(int max, int64_t* out) {
    int n = 0;
    int64_t v = 0;
    while (n < max && digit()) {
      v = v * 10 + (*p++ - '0');
      ++n;
    }
    *out = v;
    return n;
  }
  bool exact_digits(int count, int64_t* out) { return read_digits(count, out) == count; }
};

// hh:mm[:ss[.fraction]] (or the compact hhmm[ss[.fraction]]), then Z or a
// zone: +hh[:]mm, -hh[:]mm, +hh.
bool read_time(Reader& r, DateText* d, bool compact) {
  int64_t h, m;
  double s = 0;
  if (compact) {
    if (!r.exact_digits(2, &h) || !r.exact_digits(2, &m)) return false;
  } else {
    if (r.read_digits(2, &h) == 0 || !r.at(':')) return false;
    ++r.p;
    if (r.read_digits(2, &m) == 0) return false;
  }
  bool seconds = compact ? r.digit() : r.at(':');
  if (seconds) {
    if (!compact) ++r.p;
    std::string text;
    int n = 0;
    while (r.digit() && n < 2) {
      text += static_cast<char>(*r.p++);
      ++n;
    }
    if (n == 0) return false;
    if (r.at('.') || r.at(',')) {
      ++r.p;
      text += '.';
      size_t before = text.size();
      while (r.digit()) text += static_cast<char>(*r.p++);
      if (text.size() == before) return false;
    }
    ptrdiff_t unread = 0;
    s = string_to_float(text.data(), text.data() + text.size(), 0, &unread);
    if (unread != 0) return false;
  }
  if (h > 23 || m > 59 || !(s < 60.0)) return false;
  d->has_time = true;
  d->time = static_cast<double>(h) * 3600.0 + static_cast<double>(m) * 60.0 + s;
  if (r.at('Z') || r.at('z')) {
    ++r.p;
    return true;
  }
  if (r.at('+') || r.at('-')) {
    bool west = *r.p++ == '-';
    int64_t zh, zm = 0;
    int nh = r.read_digits(2, &zh);
    if (nh == 0) return false;
    if (r.at(':')) {
      ++r.p;
      if (!r.exact_digits(2, &zm)) return false;
    } else if (r.digit()) {
      if (nh != 2 || !r.exact_digits(2, &zm)) return false;
    }
    if (zh > 15 || zm > 59) return false;
    d->zone = static_cast<int32_t>(zh * 3600 + zm / 15 * kSecondsPerQuarter);
    if (west) d->zone = -d->zone;
  }
  return true;
}

// An optional time after "/" or "T" at the end of the text.
bool read_tail(Reader& r, DateText* d) {
  if (r.p == r.e) return true;
  if (!(r.at('/') || r.at('T') || r.at('t'))) return false;
  ++r.p;
  return read_time(r, d, false) && r.p == r.e;
}

const char* const kMonthNames[] = {"january", "february", "march",     "april",   "may",      "june",
                                   "july",    "august",   "september", "october", "november", "december"};

int32_t month_by_name(const uint8_t* s, size_t n) {
  if (n < 3 || n > 9) return 0;
  for (int32_t m = 0; m < 12; ++m) {
    const char* name = kMonthNames[m];
    if (std::strlen(name) < n) continue;
    bool match = true;
    for (size_t i = 0; i < n && match; ++i) match = (s[i] | 0x20) == name[i];
    if (match) return m + 1;
  }
  return 0;
}

int32_t month_length(int64_t year, int32_t month) {
  static const int32_t kLengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && leap_year_q(year) ? 29 : kLengths[month - 1];
}

bool parse_date_text(const uint8_t* start, const uint8_t* end, DateText* d) {
  Reader r{start, end};
  bool negative = false;
  if (r.at('-')) {
    negative = true;
    ++r.p;
  }
  int64_t first;
  int first_digits = r.read_digits(4, &first);
  if (first_digits == 0) return false;
  if (negative) first = -first;
  if (r.digit()) {
    // yyyymmddThhmm[ss[.fff]][Z or zone]
    if (first_digits != 4 || negative) return false;
    int64_t mo, da;
    if (!r.exact_digits(2, &mo) || !r.exact_digits(2, &da)) return false;
    if (!(r.at('T') || r.at('t'))) return false;
    ++r.p;
    if (!read_time(r, d, true) || r.p != r.e) return false;
    d->year = first;
    d->month = static_cast<int32_t>(mo);
    d->day = static_cast<int32_t>(da);
  } else if (first_digits == 4 && r.at('-') && r.p + 1 < r.e && (r.p[1] == 'W' || r.p[1] == 'w')) {
    // yyyy-Www[-d]
    r.p += 2;
    int64_t week, wd = 1;
    if (!r.exact_digits(2, &week)) return false;
    if (r.at('-')) {
      ++r.p;
      if (!r.exact_digits(1, &wd) || wd < 1 || wd > 7) return false;
    }
    if (week < 1 || week > 53) return false;
    if (r.p != r.e) {
      if (!(r.at('T') || r.at('t'))) return false;
      ++r.p;
      if (!read_time(r, d, false) || r.p != r.e) return false;
    }
    d->year = first;
    d->kind = DateText::kWeek;
    d->week = static_cast<int32_t>(week);
    d->weekday = static_cast<int32_t>(wd);
  } else if (first_digits == 4 && r.at('-') && r.e - r.p >= 4 && r.p[1] >= '0' && r.p[1] <= '9' &&
             r.p[2] >= '0' && r.p[2] <= '9' && r.p[3] >= '0' && r.p[3] <= '9' &&
             (r.e - r.p == 4 || !(r.p[4] >= '0' && r.p[4] <= '9'))) {
    // yyyy-ddd
    ++r.p;
    int64_t yd;
    r.exact_digits(3, &yd);
    if (yd < 1 || yd > (leap_year_q(first) ? 366 : 365)) return false;
    if (r.p != r.e) {
      if (!(r.at('T') || r.at('t'))) return false;
      ++r.p;
      if (!read_time(r, d, false) || r.p != r.e) return false;
    }
    d->year = first;
    d->kind = DateText::kOrdinal;
    d->yearday = static_cast<int32_t>(yd);
  } else {
    if (!(r.at('-') || r.at('/'))) return false;
    char sep = static_cast<char>(*r.p++);
    int64_t month;
    if (r.digit()) {
      if (r.read_digits(2, &month) == 0) return false;
    } else {
      const uint8_t* name = r.p;
      while (r.p < r.e && ((*r.p | 0x20) >= 'a' && (*r.p | 0x20) <= 'z')) ++r.p;
      month = month_by_name(name, static_cast<size_t>(r.p - name));
      if (month == 0) return false;
    }
    if (!r.at(sep)) return false;
    ++r.p;
    bool last_negative = false;
    if (r.at('-') || r.at('+')) last_negative = *r.p++ == '-';
    int64_t last;
    int last_digits = r.read_digits(4, &last);
    if (last_digits == 0 || r.digit()) return false;
    if (last_negative) last = -last;
    int64_t year, day;
    int year_digits;
    if (last < 0 || last > 31 || first <= 99) {
      day = first;
      year = last;
      year_digits = last_negative ? 0 : last_digits;
    } else {
      year = first;
      day = last;
      year_digits = negative ? 0 : first_digits;
    }
    if (year_digits != 0 && year_digits <= 2 && year >= 0 && year <= 99) year += year >= 50 ? 1900 : 2000;
    d->year = year;
    d->month = static_cast<int32_t>(month);
    d->day = static_cast<int32_t>(day);
    if (!read_tail(r, d)) return false;
  }
  if (d->year < -9999 || d->year > 9999) return false;
  if (d->kind == DateText::kCalendar) {
    if (d->month < 1 || d->month > 12) return false;
    if (d->day < 1 || d->day > month_length(d->year, d->month)) return false;
  }
  return true;
}

int load_date_token(lexer::Lexer& lx, const lexer::Token& t, bool load) {
  DateText d;
  if (!parse_date_text(t.start, t.end, &d)) return TYPE_DATE;
  if (!load) return lexer::kLexOk;
  Cell c;
  int32_t year = static_cast<int32_t>(d.year);
  switch (d.kind) {
    case DateText::kCalendar:
      make_in(&c, year, d.month, d.day, d.time, d.zone, d.has_time);
      break;
    case DateText::kWeek: {
      make_in(&c, year, 1, 1, d.time, d.zone, d.has_time);
      int64_t monday = iso_week_start(year, nullptr) + static_cast<int64_t>(d.week - 1) * 7;
      int64_t target = monday + d.weekday - 1;
      uint32_t p = packed_of(&c);
      uint32_t packed = days_to_date(target, p & kZoneMask, has_time_q(p));
      init_cell(&c, packed, cell_float(&c));
      break;
    }
    case DateText::kOrdinal: {
      make_in(&c, year, 1, 1, d.time, d.zone, d.has_time);
      uint32_t p = packed_of(&c);
      uint32_t packed = days_to_date(days_to_year_start(year) + d.yearday - 1, p & kZoneMask, has_time_q(p));
      init_cell(&c, packed, cell_float(&c));
      break;
    }
  }
  lexer::store_value(lx, c);
  return lexer::kLexOk;
}

}  // namespace

void init() {
  lexer::default_loaders()[lexer::kFinalDate] = load_date_token;
  set_date_instant_reader(instant);
  datatype::register_type(TYPE_DATE, 0, "date!", {
      own<ACT_MAKE>(make), own<ACT_RANDOM>(random), own<ACT_TO>(to), own<ACT_FORM>(form),
      own<ACT_MOLD>(mold), own<ACT_EVAL_PATH>(eval_path), own<ACT_COMPARE>(compare),
      own_math<ACT_ADD, do_math>(), own_math<ACT_SUBTRACT, do_math>(), own<ACT_PICK>(pick),
  });
}

}  // namespace kiv::date
