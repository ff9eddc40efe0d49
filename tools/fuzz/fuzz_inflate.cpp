// Feeds arbitrary bytes to the three decompressors with a capacity taken
// from the first two bytes, and checks that compressing the input and
// decompressing the result gives it back.
#include <cstdlib>
#include <vector>

#include "runtime/host/deflate.h"

using namespace kiv::compression;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t capacity = data[0] | size_t(data[1]) << 8;
  std::span<const uint8_t> in(data + 2, size - 2);
  std::vector<uint8_t> out(capacity);
  for (auto decode : {inflate, zlib_decompress, gzip_decompress}) {
    Result r = decode(out, in);
    if (r.status == Status::kOk && r.size > out.size()) abort();
    if (r.status == Status::kOutputTooSmall && r.size <= out.size()) abort();
  }
  for (Method m : {Method::kDeflate, Method::kZlib, Method::kGzip}) {
    Outcome packed = compress(m, in);
    if (packed.status != Status::kOk) abort();
    Outcome back = decompress(m, packed.bytes);
    if (back.status != Status::kOk || back.bytes != std::vector<uint8_t>(in.begin(), in.end()))
      abort();
  }
  return 0;
}
