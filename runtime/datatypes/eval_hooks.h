// Calls from datatypes into the evaluator. Datatypes sit below the
// evaluator and do not include it; the few places that must run Kiv code
// (an error's spec block, an object's change callbacks) go through these
// hooks, which the interpreter installs at start-up. Before that, calling
// one raises internal not-done.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kiv::eval_hooks {

// Evaluates a block as a native's body block (see interpreter::evaluate_block).
using BlockEvaluator = void (*)(const Cell* code, bool pop_with_result);
// Calls a function value with count arguments (see interpreter::call_function).
using FunctionCaller = void (*)(const Cell* fn, const Cell* args, uint32_t count, const Cell* name,
                                uint32_t callback_kind, Cell* result);

// Calls a function! with its whole frame given in spec order (see
// interpreter::call_function_frame).
using FrameCaller = void (*)(const Cell* fn, const Cell* args, uint32_t count, const Cell* name, Cell* result);

void install(BlockEvaluator evaluator, FunctionCaller caller);
void install_frame_caller(FrameCaller caller);

void evaluate_block(const Cell* code, bool pop_with_result);
void call_function(const Cell* fn, const Cell* args, uint32_t count, const Cell* name, uint32_t callback_kind,
                   Cell* result);
void call_function_frame(const Cell* fn, const Cell* args, uint32_t count, const Cell* name, Cell* result);

}  // namespace kiv::eval_hooks
