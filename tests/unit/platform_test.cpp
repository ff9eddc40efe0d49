#include "runtime/platform.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>

namespace {

namespace platform = kiv::platform;

// Changes the process's time zone for one test and puts the old one back.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* tz) {
    if (const char* old = std::getenv("TZ")) old_ = old;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (old_) setenv("TZ", old_->c_str(), 1);
    else unsetenv("TZ");
    tzset();
  }

 private:
  std::optional<std::string> old_;
};

TEST(Platform, ZoneBitsPackHoursQuartersAndSign) {
  struct Case {
    long offset;
    uint32_t bits;
  } cases[] = {
      {0, 0},
      {5 * 3600 + 30 * 60, (5 << 2) | 2},          // 5:30 east
      {-(3 * 3600 + 30 * 60), 0x40 | (3 << 2) | 2}, // 3:30 west
      {5 * 3600 + 45 * 60, (5 << 2) | 3},
      {-8 * 3600, 0x40 | (8 << 2)},
      {14 * 3600, 14 << 2},
  };
  for (const Case& c : cases) EXPECT_EQ(platform::zone_bits(c.offset), c.bits) << c.offset;
}

TEST(Platform, LocalDateCarriesTheZone) {
  ScopedTimeZone tz("XST-5:30");  // 5 hours 30 minutes ahead of UTC
  uint32_t packed = platform::get_date(false);
  EXPECT_EQ(packed & 0x7F, (5u << 2) | 2);
  EXPECT_EQ(platform::get_date(true) & 0x7F, 0u);
}

TEST(Platform, DateFieldsMatchTheCalendar) {
  ScopedTimeZone tz("UTC0");
  time_t now = time(nullptr);
  tm fields{};
  gmtime_r(&now, &fields);
  uint32_t packed = platform::get_date(true);
  if (fields.tm_hour == 23 && fields.tm_min == 59) GTEST_SKIP() << "too close to midnight";
  EXPECT_EQ(packed >> 17, static_cast<uint32_t>(fields.tm_year + 1900));
  EXPECT_EQ((packed >> 12) & 0xF, static_cast<uint32_t>(fields.tm_mon + 1));
  EXPECT_EQ((packed >> 7) & 0x1F, static_cast<uint32_t>(fields.tm_mday));
}

TEST(Platform, TimeOfDayWholeUnlessPrecise) {
  double whole = platform::get_time(false);
  EXPECT_EQ(whole, std::floor(whole));
  EXPECT_GE(whole, 0.0);
  EXPECT_LT(whole, 86400.0);
  double precise = platform::get_time(true);
  EXPECT_GE(precise, 0.0);
  EXPECT_LT(precise, 86400.0);
}

TEST(Platform, SleepLastsAtLeastOneMillisecond) {
  for (double seconds : {0.0, 0.0004, -5.0, std::nan("")}) {
    auto start = std::chrono::steady_clock::now();
    platform::sleep(seconds);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(1)) << seconds;
  }
}

TEST(Platform, EnvironmentSetGetRemove) {
  const char* name = "KIV_PLATFORM_TEST_VAR";
  ASSERT_TRUE(platform::set_env(name, "h\xC3\xA9llo"));
  EXPECT_EQ(platform::get_env(name), std::optional<std::string>("h\xC3\xA9llo"));
  ASSERT_TRUE(platform::set_env(name, nullptr));
  EXPECT_EQ(platform::get_env(name), std::nullopt);
  EXPECT_FALSE(platform::set_env("", "x"));
  EXPECT_FALSE(platform::set_env("A=B", "x"));
}

TEST(Platform, CurrentDirectoryChangesAndComesBack) {
  std::optional<std::string> start = platform::get_current_dir();
  ASSERT_TRUE(start);
  std::string tmp = std::filesystem::canonical(std::filesystem::temp_directory_path()).string();
  ASSERT_TRUE(platform::set_current_dir(tmp.c_str()));
  EXPECT_EQ(platform::get_current_dir(), tmp);
  EXPECT_FALSE(platform::set_current_dir("/no/such/kiv/directory"));
  EXPECT_EQ(platform::get_current_dir(), tmp);
  ASSERT_TRUE(platform::set_current_dir(start->c_str()));
}

}  // namespace
