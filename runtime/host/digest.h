// Message digests (MD5, SHA-1, SHA-256, SHA-384, SHA-512) and HMAC over
// them. The digest algorithms come from libcrypto (opened on the first digest); HMAC is built here on top
// of them. Method ids are those of runtime/host/checksum.h.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace kiv {
namespace crypto {

// The digest of the data under a method id (2 md5 ... 6 sha512), as many
// bytes as checksum::digest_size(id). Nothing for an id without a digest
// algorithm (tcp, crc32, anything else): the caller reports invalid-arg with
// the id.
std::optional<std::vector<uint8_t>> digest(std::span<const uint8_t> data, int id);

}  // namespace crypto

namespace checksum {

// HMAC of the data with the key under a digest method id. The block is 128
// bytes for sha384 and sha512 and 64 bytes otherwise; a longer key is
// replaced by its digest. Nothing for an id without a digest.
std::optional<std::vector<uint8_t>> hmac(std::span<const uint8_t> data,
                                         std::span<const uint8_t> key, int id);

// HMAC by method word. Nothing for tcp, crc32, adler32, hash and non-method
// words: the caller then reports kHmacUnsupportedMessage.
std::optional<std::vector<uint8_t>> hmac_entry(std::span<const uint8_t> data,
                                               std::span<const uint8_t> key,
                                               std::string_view method_word);

}  // namespace checksum
}  // namespace kiv
