// Arbitrary bytes as packed data, and a round trip of the input itself.
#include <cstdlib>
#include <vector>

#include "runtime/host/blockcomp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> in(data, size);
  auto out = kiv::lz::decompress(in);
  if (out && out->size() > size * kiv::lz::kMaxExpansion) abort();
  auto packed = kiv::lz::compress(in);
  if (packed) {
    auto back = kiv::lz::decompress(*packed);
    if (!back || *back != std::vector<uint8_t>(in.begin(), in.end())) abort();
  }
  return 0;
}
