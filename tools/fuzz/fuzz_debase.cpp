// Arbitrary text (one-, two- and four-byte units) to every base decoder,
// and every encoder's output back through its decoder.
#include <cstdlib>
#include <vector>

#include "runtime/host/enbase.h"

using namespace kiv::binary;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> bytes(data, size);
  std::vector<uint16_t> u16(size / 2);
  std::vector<uint32_t> u32(size / 4);
  for (size_t i = 0; i < u16.size(); i++) u16[i] = uint16_t(data[2 * i] | data[2 * i + 1] << 8);
  for (size_t i = 0; i < u32.size(); i++)
    u32[i] = data[4 * i] | data[4 * i + 1] << 8 | data[4 * i + 2] << 16 | uint32_t(data[4 * i + 3]) << 24;
  for (CodeUnits t : {CodeUnits(bytes), CodeUnits(std::span<const uint16_t>(u16)),
                      CodeUnits(std::span<const uint32_t>(u32))}) {
    decode_2(t);
    decode_16(t);
    decode_58(t);
    decode_64(t);
  }
  const std::vector<uint8_t> original(data, data + size);
  if (decode_2(encode_2(bytes)) != original) abort();
  if (decode_16(encode_16(bytes)) != original) abort();
  if (size <= 256 && decode_58(encode_58(bytes)) != original) abort();  // quadratic
  if (decode_64(encode_64(bytes)) != original) abort();
  return 0;
}
