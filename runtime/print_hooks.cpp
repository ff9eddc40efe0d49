#include "runtime/print_hooks.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace kiv {

namespace {

constexpr size_t kHookListGrowth = 5;

// A list with the growth rule made explicit: std::vector's own growth is
// not the one the registry promises.
template <typename Hook>
struct HookList {
  std::vector<Hook> hooks;

  void reset() {
    hooks.clear();
    hooks.shrink_to_fit();
    hooks.reserve(kHookListGrowth);
  }
  void add(Hook h) {
    if (!h) return;
    if (hooks.size() == hooks.capacity()) hooks.reserve(hooks.capacity() + kHookListGrowth);
    hooks.push_back(h);
  }
  void remove(Hook h) {
    if (!h) return;
    for (size_t i = 0; i < hooks.size(); i++) {
      if (hooks[i] == h) {
        hooks.erase(hooks.begin() + static_cast<std::ptrdiff_t>(i));
        return;
      }
    }
  }
  // Calls by position against a snapshot of the count, so that a hook that
  // adds or removes hooks neither runs a new one twice nor skips past the end.
  template <typename... Args>
  void call(Args... args) {
    std::vector<Hook> snapshot = hooks;
    for (Hook h : snapshot) {
      if (contains(h)) h(args...);
    }
  }
  bool contains(Hook h) const {
    for (Hook x : hooks)
      if (x == h) return true;
    return false;
  }
};

HookList<ValueHook> g_value_hooks;
HookList<TextHook> g_text_hooks;

}  // namespace

void init_hooks() {
  g_value_hooks.reset();
  g_text_hooks.reset();
}

namespace dyn_print {

void add(ValueHook value_hook, TextHook text_hook) {
  g_value_hooks.add(value_hook);
  g_text_hooks.add(text_hook);
}

void remove(ValueHook value_hook, TextHook text_hook) {
  g_value_hooks.remove(value_hook);
  g_text_hooks.remove(text_hook);
}

size_t value_hook_count() { return g_value_hooks.hooks.size(); }
size_t text_hook_count() { return g_text_hooks.hooks.size(); }
size_t value_hook_capacity() { return g_value_hooks.hooks.capacity(); }
size_t text_hook_capacity() { return g_text_hooks.hooks.capacity(); }

}  // namespace dyn_print

void call_value_hooks(const Cell* value, int flag) { g_value_hooks.call(value, flag); }

void call_print_hooks(const char* text, size_t length, int flag) {
  g_text_hooks.call(text, length, flag);
}

std::string build_stamp() {
  // __DATE__ is "Mmm dd yyyy" (day space-padded), __TIME__ "hh:mm:ss".
  const char* date = __DATE__;
  char month[4] = {date[0], date[1], date[2], 0};
  int day = std::atoi(date + 4);
  char out[32];
  std::snprintf(out, sizeof out, "%d-%s-%s/%s", day, month, date + 7, __TIME__);
  return out;
}

}  // namespace kiv
