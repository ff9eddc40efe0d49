// event! and port! where a case table cannot reach: an event made by the GUI
// side in C++ and read by Kiv after its record is gone, and a port whose
// scheme brings a native table of handlers behind a handle!. Each test boots
// the runtime in a child process of its own (the runtime is process-wide).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "boot/startup.h"
#include "runtime/collector.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/event.h"
#include "runtime/datatypes/port.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/word.h"
#include "runtime/datatypes/actions.h"
#include "runtime/eval/interpreter.h"
#include "runtime/handles.h"
#include "runtime/language_error.h"
#include "runtime/stack.h"
#include "runtime/support.h"
#include "runtime/unicode.h"
#include "tests/unit/child_runtime_support.h"

namespace kiv::testing {
namespace {

// Evaluates the text; answers its result molded, or "error category/id".
std::string run(const char* text) {
  try {
    return evaluate_text(text, [](Cell* result) {
      Cell* out = stack::push_new_cell();
      string::init_cell(out, 16);
      dispatch_mold(result, out, {}, nullptr, kNoPartLimit, 0);
      int32_t length = -1;
      return std::string(to_utf8_cstring(out, &length));
    });
  } catch (const LanguageError& e) {
    return std::string("error ") + error_category_name(e.category) + "/" + e.id;
  }
}

bool expect_all(const std::string* results, const char* const* expected, size_t n) {
  bool ok = true;
  for (size_t i = 0; i < n; ++i) {
    std::printf("%zu: %s\n", i, results[i].c_str());
    ok = ok && results[i] == expected[i];
  }
  return ok;
}

// Makes an event as the GUI back-end does, from a record that then goes
// away, and keeps it in the word ev.
void make_native_event(uint32_t type) {
  uint32_t top = stack::top_index();
  {
    event::NativeEvent record;
    record.type = type;
    record.flags = event::kFlagShift | event::kFlagDown;
    Cell* face = stack::push_new_cell();
    boot::load_text("make object! [a: 42]", face);
    Cell code = *face;
    interpreter::evaluate_block(&code, false);
    record.face = *stack::last_pushed();
    record.window = record.face;
    record.offset = Cell{TYPE_PAIR, 0, 7, 9};
    record.key = word::load("left");
    record.picked = Cell{TYPE_INTEGER, 0, 3, 0};
    record.orientation = word::load("vertical");
    Cell* made = event::push_native(record);
    Cell word = word::load("ev");
    _context::set_word(&word, made);
    stack::drop_cells(stack::top_index() - top);
  }
  collector::collect();
}

TEST(EventDeathTest, AnEventMadeByTheGuiKeepsItsFieldsAfterItsRecordIsGone) {
  EXPECT_EXIT(run_on_thread([] {
                stack::set_uncaught_error_handler(nullptr);
                boot::start();
                make_native_event(35);  // scroll
                std::string results[] = {
                    run("ev/type"),  run("ev/face/a"),     run("ev/window/a"), run("ev/offset"),
                    run("ev/key"),   run("ev/picked"),     run("ev/flags"),    run("ev/orientation"),
                    run("reduce [ev/shift? ev/down? ev/ctrl?]"),
                    run("kept: ev recycle kept/offset"),
                };
                const char* expected[] = {"scroll", "42", "42", "7x9", "left", "3", "[down shift]",
                                          "vertical", "[true true false]", "7x9"};
                bool ok = expect_all(results, expected, sizeof expected / sizeof expected[0]);
                // Only a scroll event has an orientation.
                make_native_event(9);
                ok = ok && run("ev/orientation") == "none" && run("ev/type") == "click";
                return ok;
              }),
              ::testing::ExitedWithCode(0), "");
}

// A native scheme's handlers: length? answers 7, pick the index it was
// given plus 100; every other entry is missing.
int32_t native_length(Cell*) { return 7; }
Cell* native_pick(Cell*, int32_t index, Cell*) {
  Cell answer{TYPE_INTEGER, 0, static_cast<uint32_t>(index + 100), 0};
  return stack::push_copy(&answer);
}

TEST(PortDeathTest, AHandleActorAnswersTheActionsFromItsOwnTable) {
  EXPECT_EXIT(run_on_thread([] {
                stack::set_uncaught_error_handler(nullptr);
                boot::start();
                static Handler table[port::kNativeTableSize] = {};
                table[ACT_LENGTH_Q - ACT_APPEND] = reinterpret_cast<Handler>(&native_length);
                table[ACT_PICK - ACT_APPEND] = reinterpret_cast<Handler>(&native_pick);
                // The scheme's actor is set from C++: no Kiv literal makes a handle!.
                run("native-scheme: make object! [name: 'native title: info: actor: awake: none]"
                    " append system/schemes reduce ['native native-scheme]");
                // The words are made before any raw address is taken.
                Cell scheme_word = word::load("native-scheme");
                Cell actor_word = word::load("actor");
                // The slot is taken once nothing allocates before a cell holds it:
                // a collection frees the slots no live handle! refers to.
                int kind = register_handle_kind("test-scheme", nullptr);
                int32_t slot = alloc_handle(table, kind);
                Cell* scheme = _context::global_value_cell(scheme_word.data2);
                int32_t at = _context::find_symbol(scheme->data1, actor_word.data2, true);
                *_context::value_at(scheme->data1, static_cast<uint32_t>(at)) =
                    Cell{TYPE_HANDLE, 0, 0, static_cast<uint32_t>(slot)};
                std::string results[] = {
                    run("p: make port! [scheme: 'native] port! = type? p"),
                    run("length? p"),
                    run("pick p 5"),
                    run("open p"),
                    run("p/scheme"),
                };
                const char* expected[] = {"true", "7", "105", "error access/no-port-action", "native"};
                return expect_all(results, expected, sizeof expected / sizeof expected[0]);
              }),
              ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace kiv::testing
