// Kivbin encode and decode speed on a large block of mixed values, in both
// record forms. Prints MB/s of image bytes; bench/kivbin_bench.sh runs it
// next to Python's pickle on an equivalent structure.
#include <pthread.h>

#include <chrono>
#include <cstdio>
#include <vector>

#include "boot/startup.h"
#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/kivbin.h"
#include "runtime/eval/interpreter.h"
#include "runtime/stack.h"

using namespace kiv;

namespace {

// 100,000 records of mixed values, the same as kivbin_bench.py builds.
const char* kBuild =
    "b: make block! 100000 repeat i 100000 [append/only b reduce [i i * 1.5 append copy \"text \" i "
    "to word! \"w\" [nested 1 2] 12-Dec-2026 1.2.3 make object! [a: i]]] b";

double seconds_since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

void* run(void*) {
  stack::set_uncaught_error_handler(nullptr);
  boot::start();
  stack::open_call_frame(nullptr);
  Cell* code = stack::push_new_cell();
  boot::load_text(kBuild, code);
  Cell block = *code;
  interpreter::evaluate_block(&block, false);
  RootedCell value(*stack::last_pushed());
  for (bool compact : {true, false}) {
    const int rounds = 5;
    std::vector<uint8_t> image;
    auto t = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; ++i) image = kivbin::encode_bytes(value.get(), compact);
    double enc = seconds_since(t) / rounds;
    double dec = 0;
    for (int i = 0; i < rounds; ++i) {
      RootedCell out;
      block::init_cell(out.get(), 4);
      t = std::chrono::steady_clock::now();
      kivbin::decode(image, out.get(), kivbin::Mode::kCodec);
      dec += seconds_since(t) / rounds;
      *out = Cell{TYPE_NONE, 0, 0, 0};
      collector::collect();
    }
    double mb = image.size() / 1e6;
    std::printf("kivbin %-7s image %6.2f MB  encode %7.1f MB/s (%5.0f ms)  decode %7.1f MB/s (%5.0f ms)\n",
                compact ? "compact" : "fixed", mb, mb / enc, enc * 1e3, mb / dec, dec * 1e3);
  }
  return nullptr;
}

}  // namespace

int main() {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, size_t{64} << 20);
  pthread_t thread;
  pthread_create(&thread, &attr, run, nullptr);
  pthread_join(thread, nullptr);
  return 0;
}
