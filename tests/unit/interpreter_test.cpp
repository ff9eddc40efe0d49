// The interpreter in the whole runtime: the faults that case tables cannot
// show, because the case runner gives the interpreter a large stack and
// cannot make routine! values. Each test boots the runtime in a child
// process of its own (the runtime is process-wide), so the other tests keep
// their fresh state.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "boot/startup.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/routine.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/datatypes/actions.h"
#include "runtime/eval/interpreter.h"
#include "runtime/eval/natives.h"
#include "runtime/hashtable.h"
#include "runtime/series.h"
#include "runtime/language_error.h"
#include "runtime/stack.h"
#include "tests/unit/child_runtime_support.h"

namespace kiv::testing {
namespace {

// Evaluates the text; answers "ok <molded-ish result>" for an integer
// result, "error <category/id>" for an error, "other" otherwise. As library
// code, the text is flagged as the library's own modules are.
std::string run(const char* text, bool as_library = false) {
  try {
    stack::FrameGuard guard;
    stack::open_call_frame(nullptr);
    Cell* code = stack::push_new_cell();
    boot::load_text(text, code);
    if (as_library) block::mark_library_code(code->data2);
    Cell block = *code;
    interpreter::evaluate_block(&block, false);
    Cell result = *stack::last_pushed();
    stack::pop_frame_drop();
    if (TYPE_OF(&result) == TYPE_INTEGER) return "ok " + std::to_string(static_cast<int32_t>(result.data2));
    if (TYPE_OF(&result) == TYPE_WORD) return "word " + std::string(symbol::utf8_of(result.data2));
    return "other " + std::to_string(TYPE_OF(&result));
  } catch (const LanguageError& e) {
    return std::string("error ") + error_category_name(e.category) + "/" + e.id;
  }
}

TEST(InterpreterDeathTest, DeepRecursionOnASmallNativeStackRaisesStackOverflowInsteadOfCrashing) {
  // 2 MiB is far less than the value stack's 12,000 frames need: the native
  // stack check must be what stops the recursion.
  EXPECT_EXIT(run_on_thread(size_t{2} << 20,
                            [] {
                              stack::set_uncaught_error_handler(nullptr);
                              boot::start();
                              std::string a = run("f: func [n] [1 + f n + 1] e: try [f 1] e/id");
                              std::string b = run("g: func [] [do [g]] e: try [g] e/id");
                              // The runtime is whole again afterwards.
                              std::string c = run("h: func [n] [either n < 2 [1] [n * h n - 1]] h 10");
                              std::printf("%s|%s|%s\n", a.c_str(), b.c_str(), c.c_str());
                              return a == "word stack-overflow" && b == "word stack-overflow" && c == "ok 3628800";
                            }),
              ::testing::ExitedWithCode(0), "");
}

TEST(InterpreterDeathTest, TracingSeesLibraryCodeAsBuiltInAndTracesTheUserCodeItRuns) {
  EXPECT_EXIT(run_on_thread(size_t{64} << 20,
                            [] {
                              stack::set_uncaught_error_handler(nullptr);
                              boot::start();
                              // A library function that runs the user's block, and one that
                              // makes a function: its body is still the library's.
                              run("lib-run: func [b] [do b] lib-make: does [func [] [1 + 1]]", true);
                              const char* tracer =
                                  "log: copy [] tracer: func [ev code off val ref frame] "
                                  "[append log ev if ev = 'fetch [append log :val]] ";
                              // Its call and return are seen, nothing of its body ("fetch do"),
                              // and the user's block is traced ("fetch +").
                              std::string a = run((std::string(tracer) +
                                                   "do/trace [lib-run [1 + 2]] :tracer "
                                                   "either all [find log 'call find log 'return find log '+ "
                                                   "not find log 'do] [1] [0]")
                                                      .c_str());
                              std::string b = run((std::string(tracer) +
                                                   "f: lib-make do/trace [f] :tracer "
                                                   "either all [find log 'call not find log 'prolog "
                                                   "not find log '+] [1] [0]")
                                                      .c_str());
                              // A copy of library code is the user's again.
                              std::string c = run((std::string(tracer) +
                                                   "g: func [] copy/deep body-of :lib-make do/trace [g] :tracer "
                                                   "either all [find log 'prolog find log 'func] [1] [0]")
                                                      .c_str());
                              std::fprintf(stderr, "%s|%s|%s\n", a.c_str(), b.c_str(), c.c_str());
                              return a == "ok 1" && b == "ok 1" && c == "ok 1";
                            }),
              ::testing::ExitedWithCode(0), "");
}

// The tracer's frame argument (the base and top of the argument stack at each
// event) through function bodies, branches and parens: the stack is laid out
// the same whatever the interpreter keeps for those blocks. Events are
// written as the word and the base and top from the first event's base.
TEST(InterpreterDeathTest, TracerFramesThroughBodiesBranchesAndParensKeepTheirLayout) {
  EXPECT_EXIT(run_on_thread(size_t{64} << 20,
                            [] {
                              stack::set_uncaught_error_handler(nullptr);
                              boot::start();
                              std::string r = run(
                                  "log: copy [] tr: func [ev code off val [any-type!] ref frame] "
                                  "[append log ev append/only log :frame] "
                                  "f: func [n] [either n > 0 [(n) + (f n - 1)] [n]] "
                                  "g: func [] [if true [(return 3)] 4] "
                                  "do/trace [f 1 if true [(1) 2] g loop 2 [(break)]] :tr 0");
                              Cell word = word::load("log");
                              Cell log = *_context::get_word(&word);
                              std::string text;
                              uint32_t b0 = 0;
                              bool first = true;
                              for (uint32_t i = log.data1; i + 1 < series_length(log.data2); i += 2) {
                                Cell ev = series_head_cell(log.data2)[i];
                                Cell frame = series_head_cell(log.data2)[i + 1];
                                if (TYPE_OF(&ev) != TYPE_WORD || TYPE_OF(&frame) != TYPE_PAIR) {
                                  text += "?" + std::to_string(TYPE_OF(&ev)) + "/" + std::to_string(TYPE_OF(&frame)) + ",";
                                  continue;
                                }
                                if (first) b0 = frame.data2;
                                first = false;
                                text += std::string(symbol::utf8_of(ev.data2)) + " " +
                                        std::to_string(int64_t{frame.data2} - b0) + " " +
                                        std::to_string(int64_t{frame.data3} - b0) + ",";
                              }
                              std::fprintf(stderr, "%s\n%s\n", r.c_str(), text.c_str());
                              const char* expected =
                                "init 0 2,enter 2 2,fetch 2 2,open 2 2,fetch 3 3,push 3 4,call 3 4,prolog 3 4,enter 4 4,"
                                "fetch 4 4,open 4 4,fetch 5 5,push 5 6,fetch 5 6,open 5 6,fetch 6 7,push 6 8,call 6 8,"
                                "return 5 6,fetch 5 6,push 5 7,fetch 5 7,push 5 8,call 5 8,enter 8 8,fetch 8 8,enter 8 8,"
                                "fetch 8 8,push 8 9,expr 8 9,exit 8 9,push 8 9,fetch 8 9,open 8 9,fetch 9 10,enter 10 10,"
                                "fetch 10 10,open 10 10,fetch 11 11,push 11 12,fetch 11 12,open 11 12,fetch 12 13,"
                                "push 12 14,call 12 14,return 11 12,call 11 12,prolog 11 12,enter 12 12,fetch 12 12,"
                                "open 12 12,fetch 13 13,push 13 14,fetch 13 14,open 13 14,fetch 14 15,push 14 16,"
                                "call 14 16,return 13 14,fetch 13 14,push 13 15,fetch 13 15,push 13 16,call 13 16,"
                                "enter 16 16,fetch 16 16,push 16 17,expr 16 17,exit 16 17,return 12 13,expr 12 13,"
                                "exit 12 13,epilog 11 13,return 10 11,expr 10 11,exit 10 11,push 9 11,call 9 11,"
                                "return 8 9,expr 8 9,exit 8 9,return 4 5,expr 4 5,exit 4 5,epilog 3 5,return 2 3,"
                                "expr 2 3,fetch 2 3,open 2 3,fetch 4 4,push 4 5,fetch 4 5,push 4 6,call 4 6,enter 6 6,"
                                "fetch 6 6,enter 6 6,fetch 6 6,push 6 7,expr 6 7,exit 6 7,push 6 7,expr 6 7,fetch 6 7,"
                                "push 6 8,expr 6 7,exit 6 7,return 2 4,expr 2 3,fetch 2 3,open 2 3,call 4 4,prolog 4 4,"
                                "enter 4 4,fetch 4 4,open 4 4,fetch 5 5,push 5 6,fetch 5 6,push 5 7,call 5 7,enter 7 7,"
                                "fetch 7 7,enter 7 7,fetch 7 7,open 7 7,fetch 8 8,push 8 9,call 8 9,return 7 8,exit 7 8,"
                                "push 7 8,exit 7 8,return 4 5,exit 4 5,epilog 4 5,return 2 4,expr 2 3,fetch 2 3,open 2 3,"
                                "fetch 4 4,push 4 5,fetch 4 5,push 4 6,call 4 6,enter 7 7,fetch 7 7,enter 7 7,fetch 7 7,"
                                "open 7 7,call 8 8,return 7 8,exit 7 8,push 7 8,exit 7 8,return 2 4,expr 2 3,exit 2 3,"
                                "end 0 1,";
                              return r == "ok 0" && text == expected;
                            }),
              ::testing::ExitedWithCode(0), "");
}

// A routine's entry: the sum of its two arguments.
void add_entry() {
  Cell* base = stack::arguments();
  int32_t sum = static_cast<int32_t>(base[0].data2) + static_cast<int32_t>(base[1].data2);
  *base = Cell{TYPE_INTEGER, 0, static_cast<uint32_t>(sum), 0};
}

// A routine that answers an integer where its spec promises logic!.
void nonzero_entry() {
  Cell* base = stack::arguments();
  *base = Cell{TYPE_INTEGER, 0, base[0].data2, 0};
}

// Binds a routine! made from the spec text to the word.
void bind_routine(const char* word_text, const char* spec_text, routine::Entry entry, bool flag) {
  Cell* spec = stack::push_new_cell();
  boot::load_text(spec_text, spec);
  int32_t index = routine::register_entry(word_text, entry);
  routine::push(spec, nullptr, index, 0, flag);
  Cell word = word::load(word_text);
  _context::set_word(&word, stack::last_pushed());
  stack::drop_cells(2);
}

TEST(InterpreterDeathTest, RoutinesAreCalledWithTheirArgumentsCheckedAndResultsConverted) {
  EXPECT_EXIT(run_on_thread(size_t{64} << 20,
                            [] {
                              stack::set_uncaught_error_handler(nullptr);
                              boot::start();
                              bind_routine("r-add", "a [integer!] b [integer!] return: [integer!]", add_entry, false);
                              bind_routine("r-nz", "a [integer!] return: [logic!]", nonzero_entry, false);
                              bind_routine("r-raw", "a b", add_entry, true);
                              std::string results[] = {
                                  run("r-add 2 3"),
                                  run("r-add 2 \"x\""),
                                  run("either r-nz 5 [1] [0]"),
                                  run("either r-nz 0 [1] [0]"),
                                  run("r-raw 4 5"),
                                  run("length? mold :r-add"),
                                  run("either (mold :r-add) = {routine [a [integer!] b [integer!] return: [integer!]] none} [1] [0]"),
                                  run("either (form :r-add) = \"?routine?\" [1] [0]"),
                                  run("either (:r-add) = (:r-add) [1] [0]"),
                              };
                              const char* expected[] = {"ok 5",  "error script/expect-arg", "ok 1", "ok 0", "ok 9",
                                                        "ok 59", "ok 1",                    "ok 1", "ok 1"};
                              bool ok = true;
                              for (size_t i = 0; i < sizeof expected / sizeof expected[0]; ++i) {
                                std::printf("%zu: %s\n", i, results[i].c_str());
                                ok = ok && results[i] == expected[i];
                              }
                              return ok;
                            }),
              ::testing::ExitedWithCode(0), "");
}

// Entries whose C++ code runs out of heap.
void native_out_of_heap(int32_t, const int32_t*) { throw std::bad_alloc(); }
void action_out_of_heap(const int32_t*) { throw std::bad_alloc(); }
void routine_out_of_heap() { throw std::bad_alloc(); }

// A std::bad_alloc inside a native, an action or a routine becomes internal
// no-memory at the entry: try catches it and the evaluation goes on with the
// stacks intact. Before, it escaped try and ended the process.
TEST(InterpreterDeathTest, HeapExhaustionInAnEntryIsACatchableNoMemoryError) {
  EXPECT_EXIT(run_on_thread(size_t{64} << 20,
                            [] {
                              stack::set_uncaught_error_handler(nullptr);
                              boot::start();
                              for (uint32_t i = 1; i <= kNativeCount; ++i)
                                if (std::string(kNativeInfo[i].word) == "enbase") native_table[i] = native_out_of_heap;
                              action_table[ACT_APPEND] = action_out_of_heap;
                              bind_routine("r-oom", "", routine_out_of_heap, true);
                              struct Case {
                                const char* source;
                                const char* expected;
                              };
                              const Case cases[] = {
                                  {"enbase #{01}", "error internal/no-memory"},
                                  {"append [] 1", "error internal/no-memory"},
                                  {"r-oom", "error internal/no-memory"},
                                  {"e: try [enbase #{01}] e/id", "word no-memory"},
                                  {"e: try [1 + append [] 1] e/id", "word no-memory"},
                                  {"e: try [r-oom] e/id", "word no-memory"},
                                  {"f: func [] [enbase #{01}] e: try [f] 1 + 2", "ok 3"},
                              };
                              bool ok = true;
                              for (const Case& c : cases) {
                                std::string got = run(c.source);
                                std::printf("%s: %s\n", c.source, got.c_str());
                                ok = ok && got == c.expected;
                              }
                              return ok;
                            }),
              ::testing::ExitedWithCode(0), "");
}

// Hash tables made without a comparator of their own (a hash! that take or a
// set operation makes, an index rebuilt after a change) compare through the
// compare action once the runtime is up, not through the core's payload
// equality, which takes two equal blocks for different keys.
TEST(InterpreterDeathTest, HashTablesWithoutAComparatorUseTheCompareAction) {
  EXPECT_EXIT(run_on_thread(size_t{64} << 20,
                            [] {
                              stack::set_uncaught_error_handler(nullptr);
                              boot::start();
                              Cell* loaded = stack::push_new_cell();
                              boot::load_text("[1 2] [1 2] [1 3] 1 1.0 \"ab\" \"AB\"", loaded);
                              auto item = [&](uint32_t i) { return series_head_cell(loaded->data2)[i]; };
                              struct Case {
                                uint32_t a, b;
                                int32_t op;
                                bool equal;
                              };
                              const Case cases[] = {
                                  {0, 1, COMP_EQUAL, true},          // two equal blocks
                                  {0, 2, COMP_EQUAL, false},
                                  {5, 6, COMP_EQUAL, true},          // text ignores case
                                  {5, 6, COMP_STRICT_EQUAL, false},
                                  {3, 4, COMP_SAME, false},          // identity never crosses types
                                  {0, 0, COMP_SAME, true},
                              };
                              bool ok = hash_compare() != basic_compare;
                              for (const Case& c : cases) {
                                Cell a = item(c.a), b = item(c.b);
                                bool got = hash_compare()(&a, &b, c.op) == 0;
                                std::printf("%u %u op %d: %d\n", c.a, c.b, c.op, got);
                                ok = ok && got == c.equal;
                              }
                              Cell a = item(0), b = item(1);
                              ok = ok && basic_compare(&a, &b, COMP_EQUAL) != 0;  // what tables used before
                              return ok;
                            }),
              ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace kiv::testing
