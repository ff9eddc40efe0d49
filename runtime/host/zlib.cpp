// zlib framing: a two-byte header, raw DEFLATE data, and the Adler-32 of the
// uncompressed bytes, most significant byte first.
#include <algorithm>

#include "runtime/host/checksum.h"
#include "runtime/host/deflate.h"

namespace kiv::compression {
namespace {

constexpr size_t kHeaderBytes = 2;
constexpr size_t kTrailerBytes = 4;
constexpr uint8_t kMethodDeflate = 8;
constexpr uint8_t kPresetDictionary = 0x20;

uint32_t load_be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

}  // namespace

Result zlib_compress(std::span<uint8_t> out, std::span<const uint8_t> in) {
  // 0x78 0x01: deflate with a 32 KB window, lowest compression level, and a
  // check value that makes the pair a multiple of 31.
  const uint8_t header[kHeaderBytes] = {0x78, 0x01};
  for (size_t i = 0; i < kHeaderBytes && i < out.size(); i++) out[i] = header[i];
  Result body = deflate(out.subspan(std::min(kHeaderBytes, out.size())), in);
  const size_t total = kHeaderBytes + body.size + kTrailerBytes;
  if (total > out.size()) return {Status::kOutputTooSmall, total};
  uint32_t adler = adler32(in);
  uint8_t* t = &out[kHeaderBytes + body.size];
  t[0] = uint8_t(adler >> 24);
  t[1] = uint8_t(adler >> 16);
  t[2] = uint8_t(adler >> 8);
  t[3] = uint8_t(adler);
  return {Status::kOk, total};
}

Result zlib_decompress(std::span<uint8_t> out, std::span<const uint8_t> in) {
  if (in.size() < kHeaderBytes + kTrailerBytes) return {Status::kBadData, 0};
  const uint8_t cmf = in[0], flg = in[1];
  if ((cmf * 256u + flg) % 31 != 0 || (cmf & 0x0F) != kMethodDeflate || (cmf & 0x80) ||
      (flg & kPresetDictionary))
    return {Status::kBadData, 0};
  Result r = inflate(out, in.subspan(kHeaderBytes, in.size() - kHeaderBytes - kTrailerBytes));
  if (r.status != Status::kOk) return r;
  if (adler32(out.first(r.size)) != load_be32(&in[in.size() - kTrailerBytes]))
    return {Status::kBadData, 0};
  return r;
}

}  // namespace kiv::compression
