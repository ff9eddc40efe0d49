// date! (type id 47, no parent): a calendar date with an optional time of
// day and an optional zone, all in one cell.
//
//   word 0  header, type id 47
//   word 1  the packed date: bits 17-31 the year (signed), bits 12-15 the
//           month 1-12, bits 7-11 the day 1-31, bit 16 set when the date has
//           a time, bits 0-6 the zone (bit 6 set west of UTC, bits 2-5 the
//           whole hours 0-15, bits 0-1 the quarter hours)
//   words 2-3  the time as a double of seconds, 0.0 without a time
//
// The packed date is the local calendar date as written; the stored time is
// the UTC time measured from that local date's midnight, so that the local
// time of day is the stored time plus the zone's offset and the instant is
// day number x 86400 + stored time. Made values keep the local time of day
// in 0 to 24 hours.
//
// Day numbers count days of the proleptic Gregorian calendar from 1 March
// of the year 0 (day 0, a Wednesday), with floor division throughout so
// that years before 0 keep the same leap rule.
#pragma once

#include <cstdint>

#include "runtime/cell.h"
#include "runtime/datatypes/actions.h"

namespace kiv::date {

constexpr uint32_t kHasTime = 0x10000;
constexpr uint32_t kZoneMask = 0x7F;
constexpr uint32_t kZoneWest = 0x40;
constexpr int32_t kYearShift = 17;
// The years a packed word holds (15 signed bits).
constexpr int32_t kMinYear = -16384;
constexpr int32_t kMaxYear = 16383;
constexpr double kSecondsPerDay = 86400.0;

// Field numbers, as path elements and pick indexes.
enum Field : int32_t {
  kFieldDate = 1,
  kFieldYear = 2,
  kFieldMonth = 3,
  kFieldDay = 4,
  kFieldZone = 5,
  kFieldTime = 6,
  kFieldHour = 7,
  kFieldMinute = 8,
  kFieldSecond = 9,
  kFieldWeekday = 10,
  kFieldYearday = 11,
  kFieldTimezone = 12,
  kFieldWeek = 13,
  kFieldIsoweek = 14,
};

inline int32_t year_of(uint32_t packed) { return static_cast<int32_t>(packed) >> kYearShift; }
inline int32_t month_of(uint32_t packed) { return static_cast<int32_t>((packed >> 12) & 15); }
inline int32_t day_of(uint32_t packed) { return static_cast<int32_t>((packed >> 7) & 31); }
inline bool has_time_q(uint32_t packed) { return (packed & kHasTime) != 0; }
// The zone's offset from UTC in seconds (east positive).
int32_t zone_seconds(uint32_t packed);
// The zone bits of an offset in seconds (whole quarter hours, at most 15
// hours 45 minutes either way).
uint32_t zone_bits(int32_t seconds);

bool leap_year_q(int64_t year);
int64_t days_from_civil(int64_t year, int64_t month, int64_t day);  // day may overflow the month
void civil_from_days(int64_t days, int64_t* year, int32_t* month, int32_t* day);
int64_t date_to_days(uint32_t packed);
// The packed word of a day number with zone bits and the has-time flag; a
// year outside the packed range raises script/type-limit with date!.
uint32_t days_to_date(int64_t days, uint32_t zone, bool has_time);

// Cells.
Cell* init_cell(Cell* c, uint32_t packed, double time);
Cell* push(uint32_t packed, double time);
Cell* at_tail(const Cell* block, uint32_t packed, double time);
inline uint32_t packed_of(const Cell* c) { return c->data1; }

// A date from its local fields (no range check, no normalisation): with a
// time, the stored time is the local time less the zone.
Cell* make_in(Cell* c, int32_t year, int32_t month, int32_t day, double local_time, int32_t zone_seconds,
              bool has_time);
// A UTC date with a time and zone 0 from the parts of a system time.
Cell* make_in_from_system_time(Cell* c, int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute,
                               int32_t second, int32_t nanoseconds);
// A UTC date with a time and zone 0 from a Unix time (any 64-bit count).
Cell* from_unix_time(Cell* c, int64_t seconds, double fraction);
// Seconds since 1970 of the instant (the time rounded to the nearest second).
int64_t to_unix_time(const Cell* c);
// The time! between two dates: (days1 - days2) x 86400 + (time1 - time2).
double difference(const Cell* a, const Cell* b);
// Date arithmetic on the frame's first two cells, the date first: op 0 add
// (integer days or a time!), 1 subtract (also a date! giving whole days).
void do_math(int32_t op);
// The field's value written into *out.
void get_field(const Cell* date, int32_t field, Cell* out);
// 1-14 for the field words, -1 for another word.
int32_t field_index(const Cell* word);

// The current date and time with the local zone (zone 0 with utc), whole
// seconds unless precise.
Cell* now(Cell* c, bool utc, bool precise);

// Handlers.
Cell* make(Cell* type, Cell* spec);
Cell* to(Cell* type, Cell* spec);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent);
int32_t compare(Cell* value1, Cell* value2, int32_t op);

// The instant of a date as whole days and seconds within the day (0 to
// 86400): equal dates, in whatever zone, give the same pair.
void instant(const Cell* c, int64_t* days, double* seconds);

// Registers date! (and its lexer loader).
void init();

}  // namespace kiv::date
