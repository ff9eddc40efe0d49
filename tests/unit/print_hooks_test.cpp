#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/print_hooks.h"

namespace kiv {
namespace {

std::vector<std::string> g_calls;

template <int N>
void text_hook(const char* text, size_t length, int flag) {
  g_calls.push_back(std::to_string(N) + ":" + std::string(text, length) + ":" + std::to_string(flag));
}
template <int N>
void value_hook(const Cell* value, int flag) {
  g_calls.push_back(std::to_string(N) + ":" + std::to_string(value->data2) + ":" + std::to_string(flag));
}

void removes_itself(const char*, size_t, int) {
  g_calls.push_back("self");
  dyn_print::remove(nullptr, removes_itself);
}

class PrintHooks : public ::testing::Test {
 protected:
  void SetUp() override {
    init_hooks();
    g_calls.clear();
  }
  void TearDown() override { init_hooks(); }
};

TEST_F(PrintHooks, NothingRegisteredCallsNothing) {
  call_print_hooks("x", 1, 0);
  Cell v{TYPE_INTEGER, 0, 5, 0};
  call_value_hooks(&v, 0);
  EXPECT_TRUE(g_calls.empty());
}

TEST_F(PrintHooks, SixthHookGrowsTheListToTenAndAllRunInOrder) {
  dyn_print::add(nullptr, text_hook<1>);
  dyn_print::add(nullptr, text_hook<2>);
  dyn_print::add(nullptr, text_hook<3>);
  dyn_print::add(nullptr, text_hook<4>);
  dyn_print::add(nullptr, text_hook<5>);
  EXPECT_EQ(dyn_print::text_hook_capacity(), 5u);
  dyn_print::add(nullptr, text_hook<6>);
  EXPECT_EQ(dyn_print::text_hook_capacity(), 10u);
  EXPECT_EQ(dyn_print::value_hook_count(), 0u);
  call_print_hooks("ab", 2, 1);
  EXPECT_EQ(g_calls, (std::vector<std::string>{"1:ab:1", "2:ab:1", "3:ab:1", "4:ab:1", "5:ab:1", "6:ab:1"}));
}

TEST_F(PrintHooks, RemoveTakesFirstOccurrenceAndKeepsOrder) {
  dyn_print::add(value_hook<1>, nullptr);
  dyn_print::add(value_hook<2>, nullptr);
  dyn_print::add(value_hook<1>, nullptr);
  dyn_print::add(value_hook<3>, nullptr);
  dyn_print::remove(value_hook<1>, nullptr);
  Cell v{TYPE_INTEGER, 0, 42, 0};
  call_value_hooks(&v, 0);
  EXPECT_EQ(g_calls, (std::vector<std::string>{"2:42:0", "1:42:0", "3:42:0"}));
}

TEST_F(PrintHooks, RemovingAnUnregisteredHookChangesNothing) {
  dyn_print::add(value_hook<1>, text_hook<1>);
  dyn_print::remove(value_hook<2>, text_hook<2>);
  EXPECT_EQ(dyn_print::value_hook_count(), 1u);
  EXPECT_EQ(dyn_print::text_hook_count(), 1u);
  call_print_hooks("z", 1, 0);
  EXPECT_EQ(g_calls, (std::vector<std::string>{"1:z:0"}));
}

TEST_F(PrintHooks, HookRemovingItselfDoesNotSkipTheNextOne) {
  dyn_print::add(nullptr, removes_itself);
  dyn_print::add(nullptr, text_hook<2>);
  call_print_hooks("q", 1, 0);
  call_print_hooks("r", 1, 0);
  EXPECT_EQ(g_calls, (std::vector<std::string>{"self", "2:q:0", "2:r:0"}));
}

TEST_F(PrintHooks, BuildStampHasDayMonthYearAndTime) {
  std::string s = build_stamp();
  // d-Mmm-yyyy/hh:mm:ss
  auto slash = s.find('/');
  ASSERT_NE(slash, std::string::npos);
  EXPECT_EQ(s.size() - slash - 1, 8u);
  EXPECT_EQ(s.substr(slash - 5, 1), "-");
  EXPECT_TRUE(isalpha(s[s.find('-') + 1]));
}

}  // namespace
}  // namespace kiv
