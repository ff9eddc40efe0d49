// time! (type id 43, parent float!): a signed duration in seconds.
//
//   word 0  header, type id 43
//   word 1  not used
//   words 2-3  the seconds as a double (negative for a negative duration)
//
// Written h:mm:ss with an optional fraction of seconds ("1:02:03",
// "-0:01:30", "0:00:00.5"); hours take as many digits as they need. random,
// compare, absolute, negate and remainder are float!'s; the other arithmetic
// goes through float! arithmetic, which makes the result a time! when exactly
// one operand is one.
#pragma once

#include <cstdint>

#include "runtime/cell.h"
#include "runtime/checks.h"
#include "runtime/datatypes/actions.h"

namespace kiv::time {

constexpr double kSecondsPerHour = 3600.0;
constexpr double kSecondsPerMinute = 60.0;
// Seconds below this form as "00"; also the nudge of even? and odd?.
constexpr double kSecondsTolerance = 1e-06;

// Field indexes, as path elements and pick indexes.
enum Field : int32_t { kFieldHour = 1, kFieldMinute = 2, kFieldSecond = 3 };

inline double get(const Cell* c) {
  KIV_ASSERT(TYPE_OF(c) == TYPE_TIME);
  return cell_float(c);
}
inline Cell* init_cell(double seconds, Cell* c) {
  *c = Cell{TYPE_TIME, 0, 0, 0};
  set_cell_float(c, seconds);
  return c;
}
Cell* push(double seconds);  // a new cell on the argument stack
Cell* at_tail(const Cell* block, uint32_t low, uint32_t high);

// Whole hours, truncated toward zero (as a double: any magnitude).
double hours(double seconds);
// Whole minutes within the hour, of the magnitude: 0 to 59.
int32_t minutes(double seconds);
// The field as a value written into *out: hour and minute integer!, second
// float! (the signed remainder of the seconds by 60). An hour count beyond
// the 32-bit range raises math overflow.
void get_field(double seconds, int32_t field, Cell* out);
// 1, 2 or 3 for the words hour, minute and second; -1 for anything else.
int32_t field_index(const Cell* word);

// Appends the text of a duration; answers the limit less what it wrote.
int32_t to_text(double seconds, Cell* buffer, int32_t limit);

// Handlers.
Cell* make(Cell* type, Cell* spec);  // make and to
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, MoldFlags flags, Cell* part, int32_t limit,
             int32_t indent);
Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* grand_parent,
                Cell* prev_element, int32_t index, PathFlags flags);
Cell* pick(Cell* series, int32_t index, Cell* index_cell);
Cell* round(Cell* value, Cell* scale, const RoundOptions& options);

// Registers time! (after float!).
void init();

}  // namespace kiv::time
