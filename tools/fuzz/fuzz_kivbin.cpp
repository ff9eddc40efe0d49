// Arbitrary bytes to the Kivbin decoder (codec mode) in the whole runtime:
// once as an image, once as the records area of an image with a small
// symbol table (so that the fuzzer reaches the records at once). What
// decodes is molded, encoded again in both forms, and must decode again.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "boot/startup.h"
#include "runtime/collector.h"
#include "runtime/datatypes/actions.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/kivbin.h"
#include "runtime/datatypes/string.h"
#include "runtime/host/kivbin.h"
#include "runtime/language_error.h"
#include "runtime/stack.h"

using namespace kiv;

namespace {

void exercise(const std::vector<uint8_t>& image) {
  uint32_t frames = stack::frame_count();
  RootedCell block;
  try {
    block::init_cell(block.get(), 4);
    kivbin::decode(image, block.get(), kivbin::Mode::kCodec);
  } catch (const LanguageError&) {
    stack::unwind_to(frames);
    return;
  }
  try {
    stack::TopGuard guard;
    Cell* v = stack::push_copy(block.get());
    Cell* out = stack::push_new_cell();
    string::init_cell(out, 16);
    dispatch_mold(v, out, {.all = true}, nullptr, 4096, 0);
  } catch (const LanguageError&) {
    stack::unwind_to(frames);
  }
  for (bool compact : {true, false}) {
    std::vector<uint8_t> again;
    try {
      again = kivbin::encode_bytes(block.get(), compact);
    } catch (const LanguageError& e) {
      stack::unwind_to(frames);
      continue;  // too deep to write again, or a value with no record
    }
    try {
      RootedCell back;
      block::init_cell(back.get(), 4);
      kivbin::decode(again, back.get(), kivbin::Mode::kCodec);
    } catch (const LanguageError& e) {
      std::fprintf(stderr, "re-encoded image does not decode: %s\n", e.what());
      abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  stack::set_uncaught_error_handler(nullptr);
  boot::start();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  exercise(bytes);
  if (size > 0) {
    static const std::vector<std::string> names = {"a", "b", "self", "on-change*", "x", "Foo"};
    std::vector<uint8_t> records(data + 1, data + size);
    bool compact = data[0] & 1;
    bool symbols = data[0] & 2;
    exercise(kivbin::assemble(compact, 2, 1, symbols ? names : std::vector<std::string>{}, records, false));
  }
  return 0;
}
