// gzip framing (one member): a 10-byte header with optional fields, raw
// DEFLATE data, then the CRC-32 and the length of the uncompressed bytes,
// least significant byte first.
#include <algorithm>
#include <cstring>

#include "runtime/host/checksum.h"
#include "runtime/host/deflate.h"

namespace kiv::compression {
namespace {

constexpr size_t kHeaderBytes = 10;
constexpr size_t kTrailerBytes = 8;
constexpr uint8_t kMagic[3] = {31, 139, 8};  // ID1, ID2, CM = deflate
constexpr uint8_t kFlagHeaderCrc = 0x02;
constexpr uint8_t kFlagExtra = 0x04;
constexpr uint8_t kFlagName = 0x08;
constexpr uint8_t kFlagComment = 0x10;
constexpr uint8_t kFlagsKnown = 0x20;  // flags at or above this are reserved

uint32_t load_le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void store_le32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = uint8_t(v >> (8 * i));
}

}  // namespace

Result gzip_compress(std::span<uint8_t> out, std::span<const uint8_t> in) {
  // Magic, no flags, no modification time, extra flags 4, operating system 4.
  const uint8_t header[kHeaderBytes] = {31, 139, 8, 0, 0, 0, 0, 0, 4, 4};
  for (size_t i = 0; i < kHeaderBytes && i < out.size(); i++) out[i] = header[i];
  Result body = deflate(out.subspan(std::min(kHeaderBytes, out.size())), in);
  const size_t total = kHeaderBytes + body.size + kTrailerBytes;
  if (total > out.size()) return {Status::kOutputTooSmall, total};
  uint8_t* t = &out[kHeaderBytes + body.size];
  store_le32(t, crc32(in));
  store_le32(t + 4, uint32_t(in.size()));
  return {Status::kOk, total};
}

Result gzip_decompress(std::span<uint8_t> out, std::span<const uint8_t> in) {
  const Result bad{Status::kBadData, 0};
  if (in.size() < kHeaderBytes + kTrailerBytes || std::memcmp(in.data(), kMagic, 3) != 0) return bad;
  const uint8_t flags = in[3];
  if (flags >= kFlagsKnown) return bad;

  // Optional header fields must end before the trailer.
  const size_t body_end = in.size() - kTrailerBytes;
  size_t pos = kHeaderBytes;
  if (flags & kFlagExtra) {
    if (body_end - pos < 2) return bad;
    size_t xlen = in[pos] | size_t(in[pos + 1]) << 8;
    pos += 2;
    if (body_end - pos < xlen) return bad;
    pos += xlen;
  }
  for (uint8_t field : {kFlagName, kFlagComment}) {
    if (!(flags & field)) continue;
    const uint8_t* nul = static_cast<const uint8_t*>(std::memchr(&in[pos], 0, body_end - pos));
    if (!nul) return bad;
    pos = size_t(nul - in.data()) + 1;
  }
  if (flags & kFlagHeaderCrc) {
    if (body_end - pos < 2) return bad;
    uint32_t stored = in[pos] | uint32_t(in[pos + 1]) << 8;
    if ((crc32(in.first(pos)) & 0xFFFF) != stored) return bad;
    pos += 2;
  }

  const uint32_t stored_crc = load_le32(&in[body_end]);
  const size_t stored_size = load_le32(&in[body_end + 4]);
  // The stored size is untrusted: refuse one the data cannot expand to
  // before anyone allocates for it.
  if (stored_size > (body_end - pos) * kMaxInflateRatio) return bad;
  if (out.size() < stored_size) return {Status::kOutputTooSmall, stored_size};

  Result r = inflate(out, in.subspan(pos, body_end - pos));
  if (r.status == Status::kOutputTooSmall) return bad;  // more bytes than stored
  if (r.status != Status::kOk) return r;
  if (r.size != stored_size || crc32(out.first(r.size)) != stored_crc) return bad;
  return r;
}

}  // namespace kiv::compression
