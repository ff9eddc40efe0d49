#include "runtime/platform.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <vector>

namespace kiv::platform {

namespace {

constexpr uint32_t kZoneWest = 0x40;
constexpr int kZoneHoursShift = 2;
constexpr uint32_t kZoneHoursMask = 0x0F;
constexpr long kSecondsPerDay = 86400;
// The longest sleep: the millisecond count of the original 32-bit interface.
constexpr double kMaxSleepMs = 4294967294.0;

}  // namespace

void init() {
  // localtime_r need not read TZ by itself; tzset makes it do so once.
  tzset();
}

std::optional<std::string> get_current_dir() {
  std::vector<char> buffer(256);
  for (;;) {
    if (getcwd(buffer.data(), buffer.size())) return std::string(buffer.data());
    if (errno != ERANGE) return std::nullopt;
    buffer.resize(buffer.size() * 2);
  }
}

bool set_current_dir(const char* path) { return path && chdir(path) == 0; }

std::optional<std::string> get_env(const char* name) {
  const char* value = name ? std::getenv(name) : nullptr;
  if (!value) return std::nullopt;
  return std::string(value);
}

bool set_env(const char* name, const char* value) {
  if (!name) return false;
  return (value ? setenv(name, value, 1) : unsetenv(name)) == 0;
}

void sleep(double seconds) {
  double ms = std::floor(seconds * 1000.0);
  if (!(ms >= 1.0)) ms = 1.0;  // also NaN and negative durations
  if (ms > kMaxSleepMs) ms = kMaxSleepMs;
  uint64_t whole_ms = static_cast<uint64_t>(ms);
  timespec request{static_cast<time_t>(whole_ms / 1000), static_cast<long>(whole_ms % 1000) * 1000000L};
  timespec remaining{};
  while (nanosleep(&request, &remaining) != 0 && errno == EINTR) request = remaining;
}

double get_time(bool precise) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  // Unix time counts no leap seconds, so every day is 86,400 seconds and the
  // remainder is the time since midnight UTC.
  long of_day = static_cast<long>(now.tv_sec % kSecondsPerDay);
  if (of_day < 0) of_day += kSecondsPerDay;
  double seconds = static_cast<double>(of_day);
  if (precise) seconds += static_cast<double>(now.tv_nsec) / 1e9;
  return seconds;
}

uint32_t zone_bits(long offset_seconds) {
  uint32_t zone = offset_seconds < 0 ? kZoneWest : 0;
  long magnitude = offset_seconds < 0 ? -offset_seconds : offset_seconds;
  uint32_t hours = static_cast<uint32_t>(magnitude / 3600) & kZoneHoursMask;
  uint32_t quarters = static_cast<uint32_t>((magnitude / 60) % 60 / 15);
  return zone | hours << kZoneHoursShift | quarters;
}

ClockReading read_clock() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm fields{};
  time_t seconds = now.tv_sec;
  localtime_r(&seconds, &fields);
  return ClockReading{static_cast<int64_t>(now.tv_sec), static_cast<int32_t>(now.tv_nsec),
                      static_cast<int32_t>(fields.tm_gmtoff)};
}

uint32_t get_date(bool utc) {
  time_t now = time(nullptr);
  tm fields{};
  uint32_t zone = 0;
  if (utc) {
    gmtime_r(&now, &fields);
  } else {
    localtime_r(&now, &fields);
    zone = zone_bits(fields.tm_gmtoff);
  }
  uint32_t year = static_cast<uint32_t>(fields.tm_year + 1900);
  uint32_t month = static_cast<uint32_t>(fields.tm_mon + 1);
  uint32_t day = static_cast<uint32_t>(fields.tm_mday);
  return year << 17 | month << 12 | day << 7 | zone;
}

}  // namespace kiv::platform
