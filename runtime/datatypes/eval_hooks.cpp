#include "runtime/datatypes/eval_hooks.h"

#include "runtime/support.h"

namespace kiv::eval_hooks {

namespace {
BlockEvaluator g_evaluator = nullptr;
FunctionCaller g_caller = nullptr;
FrameCaller g_frame_caller = nullptr;
}  // namespace

void install(BlockEvaluator evaluator, FunctionCaller caller) {
  g_evaluator = evaluator;
  g_caller = caller;
}

void install_frame_caller(FrameCaller caller) { g_frame_caller = caller; }

void evaluate_block(const Cell* code, bool pop_with_result) {
  if (g_evaluator == nullptr) fire(ErrorCategory::kInternal, "not-done");
  g_evaluator(code, pop_with_result);
}

void call_function(const Cell* fn, const Cell* args, uint32_t count, const Cell* name, uint32_t callback_kind,
                   Cell* result) {
  if (g_caller == nullptr) fire(ErrorCategory::kInternal, "not-done");
  g_caller(fn, args, count, name, callback_kind, result);
}

void call_function_frame(const Cell* fn, const Cell* args, uint32_t count, const Cell* name, Cell* result) {
  if (g_frame_caller == nullptr) fire(ErrorCategory::kInternal, "not-done");
  g_frame_caller(fn, args, count, name, result);
}

}  // namespace kiv::eval_hooks
