// The platform layer: the few operating-system services the runtime core and
// the host services share (start-up, current directory, environment, sleep,
// clock and calendar). Text crosses this boundary as UTF-8. Virtual memory
// lives in runtime/platform_memory.h.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kiv::platform {

// Process start-up of the platform services. On Linux only the time zone
// needs preparing (the local calendar reads it); safe to call again.
void init();

// The process's current directory, or nothing when the system cannot tell
// (for example when the directory has been removed).
std::optional<std::string> get_current_dir();
bool set_current_dir(const char* path);

// An environment variable's value, or nothing when it is not set.
std::optional<std::string> get_env(const char* name);
// Sets a variable; a null value removes it. False when the system refuses
// (an empty name or one holding "=").
bool set_env(const char* name, const char* value);

// Sleeps seconds x 1,000 whole milliseconds, at least 1 millisecond.
void sleep(double seconds);

// Seconds since midnight UTC: a whole number, or with the fraction of the
// current second when precise is set.
double get_time(bool precise);

// The packed date: year << 17 | month << 12 | day << 7 | zone. The zone is 0
// with utc set; otherwise the local offset from UTC: 0x40 when west of UTC,
// the whole hours in bits 2-5, the quarter hours in bits 0-1.
uint32_t get_date(bool utc);

// One reading of the system clock: seconds and nanoseconds since 1970 UTC
// (64-bit: no wrap in 2038), and the local zone's offset from UTC at that
// instant in seconds (east positive).
struct ClockReading {
  int64_t seconds;
  int32_t nanoseconds;
  int32_t utc_offset;
};
ClockReading read_clock();

// The zone bits of an offset from UTC in seconds (east positive).
uint32_t zone_bits(long offset_seconds);

}  // namespace kiv::platform
