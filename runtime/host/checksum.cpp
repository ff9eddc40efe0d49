#include "runtime/host/checksum.h"

#include <array>
#include <cstring>

#include "runtime/ascii.h"

namespace kiv {
namespace {

constexpr uint32_t kCrcPolynomial = 0xEDB88320u;
constexpr uint32_t kAdlerModulus = 65521;
// Largest run of bytes whose Adler-32 sums cannot overflow 32 bits before
// they are reduced: 255 n (n + 1) / 2 + (n + 1) (modulus - 1) < 2^32.
constexpr size_t kAdlerRun = 5552;

// Slicing by 8: table[k][b] is the CRC of byte b followed by k zero bytes,
// so eight input bytes fold into the running value with eight lookups.
using CrcTables = std::array<std::array<uint32_t, 256>, 8>;

constexpr CrcTables make_crc_tables() {
  CrcTables t{};
  for (uint32_t b = 0; b < 256; b++) {
    uint32_t c = b;
    for (int bit = 0; bit < 8; bit++) c = (c & 1) ? (c >> 1) ^ kCrcPolynomial : c >> 1;
    t[0][b] = c;
  }
  for (int k = 1; k < 8; k++)
    for (int b = 0; b < 256; b++) t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFF];
  return t;
}

constexpr CrcTables kCrcTables = make_crc_tables();

uint32_t load_le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

struct MethodEntry {
  std::string_view word;
  int id;  // -1: a method word without an id
  size_t digest_bytes;
};

constexpr MethodEntry kMethods[] = {
    {"tcp", checksum::kTcp, 0},        {"md5", checksum::kMd5, 16},
    {"sha1", checksum::kSha1, 20},     {"crc32", checksum::kCrc32, 0},
    {"adler32", -1, 0},                {"sha256", checksum::kSha256, 32},
    {"sha384", checksum::kSha384, 48}, {"sha512", checksum::kSha512, 64},
    {"hash", -1, 0},
};

}  // namespace

uint32_t crc32(std::span<const uint8_t> data, uint32_t crc) {
  const auto& t = kCrcTables;
  const uint8_t* p = data.data();
  size_t n = data.size();
  crc = ~crc;
  while (n >= 8) {
    uint32_t lo = load_le32(p) ^ crc;
    uint32_t hi = load_le32(p + 4);
    crc = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
          t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
    p += 8;
    n -= 8;
  }
  while (n--) crc = (crc >> 8) ^ t[0][(crc ^ *p++) & 0xFF];
  return ~crc;
}

uint32_t adler32(std::span<const uint8_t> data, uint32_t adler) {
  uint32_t a = adler & 0xFFFF, b = adler >> 16;
  const uint8_t* p = data.data();
  size_t n = data.size();
  while (n > 0) {
    size_t run = n < kAdlerRun ? n : kAdlerRun;
    n -= run;
    while (run--) {
      a += *p++;
      b += a;
    }
    a %= kAdlerModulus;
    b %= kAdlerModulus;
  }
  return b << 16 | a;
}

namespace checksum {

uint16_t internet(std::span<const uint8_t> data) {
  // 64 bits so that no input is long enough to overflow before the fold.
  uint64_t sum = 0;
  size_t i = 0;
  for (; i + 1 < data.size(); i += 2) sum += uint32_t(data[i]) << 8 | data[i + 1];
  if (i < data.size()) sum += data[i];
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return uint16_t(~sum & 0xFFFF);
}

bool method_q(std::string_view word) {
  for (const auto& m : kMethods)
    if (ascii_iequal(m.word, word)) return true;
  return false;
}

std::optional<MethodId> method_id(std::string_view word) {
  for (const auto& m : kMethods)
    if (m.id >= 0 && ascii_iequal(m.word, word)) return MethodId(m.id);
  return std::nullopt;
}

size_t digest_size(int id) {
  for (const auto& m : kMethods)
    if (m.id == id) return m.digest_bytes;
  return 0;
}

}  // namespace checksum
}  // namespace kiv
