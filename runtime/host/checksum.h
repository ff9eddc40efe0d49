// Checksums over byte spans: CRC-32, Adler-32 and the 16-bit Internet
// checksum, plus the table of checksum method words that the `checksum`
// native dispatches on. Digests and HMAC are in runtime/host/digest.h.
//
// Method words and ids (the ids are what the digest routines take):
//   tcp 0, crc32 1, md5 2, sha1 3, sha256 4, sha384 5, sha512 6;
//   adler32 and hash are method words without an id.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace kiv {

// CRC-32 with the reflected polynomial 0xEDB88320, initial value and final
// xor 0xFFFFFFFF (the check value of gzip). `crc` continues a running value:
// crc32(b, crc32(a)) == crc32(a followed by b).
uint32_t crc32(std::span<const uint8_t> data, uint32_t crc = 0);

// Adler-32 of zlib streams. `adler` continues a running value (start: 1).
uint32_t adler32(std::span<const uint8_t> data, uint32_t adler = 1);

namespace checksum {

enum MethodId : int {
  kTcp = 0,
  kCrc32 = 1,
  kMd5 = 2,
  kSha1 = 3,
  kSha256 = 4,
  kSha384 = 5,
  kSha512 = 6,
};

// Text printed by the native for an integer /with spec.
inline constexpr std::string_view kHashNotImplementedMessage =
    "** /hash support not yet implemented; algorithm TBD.";
// Text reported when HMAC is asked of a method that has no digest.
inline constexpr std::string_view kHmacUnsupportedMessage =
    "The selected algorithm doesn't support HMAC calculation";

// The Internet checksum: ones' complement of the ones' complement sum of the
// bytes taken as big-endian 16-bit words. A final odd byte is added as the
// low byte of a word.
uint16_t internet(std::span<const uint8_t> data);

// True for the nine method words tcp, md5, sha1, crc32, adler32, sha256,
// sha384, sha512 and hash (compared without regard to ASCII case, as words
// are).
bool method_q(std::string_view word);

// The id of a method word, or nothing for adler32, hash and non-methods.
std::optional<MethodId> method_id(std::string_view word);

// Digest length in bytes of a method id; 0 for ids without a digest.
size_t digest_size(int id);

}  // namespace checksum
}  // namespace kiv
