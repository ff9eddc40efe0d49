// DEFLATE compression and decompression with raw, zlib and gzip framing.
//
// Every routine writes into a caller's buffer whose size is the capacity and
// answers a Result: on kOk `size` is the number of bytes written; on
// kOutputTooSmall it is the number of bytes the whole output needs (the
// bytes that fit were written, the rest only counted), so the caller can
// retry with a buffer of that size. An empty output span therefore asks only
// for the size. Every other status means the input was refused; nothing is
// read outside the input span and nothing is written outside the output span.
//
// compress() and decompress() below wrap the routines in the calling order of
// the `compress` and `decompress` natives and return the bytes in a vector;
// the `decompress` native itself uses decompress_size() and decompress_into(),
// which let it inflate straight into the binary it answers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace kiv::compression {

// The numeric values are part of the routines' contract.
enum class Status : int {
  kOk = 0,
  kOutputTooSmall = 1,
  kBadData = 2,          // bad header, bad check value, bad code, truncated input
  kStoredPastInput = 3,  // a stored block runs past the input
  kBadBlockType = 4,     // block type 3
  kDistanceTooFar = 5,   // a distance reaches before the start of the output
};

struct Result {
  Status status;
  size_t size;
};

// No DEFLATE stream expands by more than this factor: a length-258 match
// costs at least two bits. Declared sizes beyond it are refused.
inline constexpr size_t kMaxInflateRatio = 1032;

// Compressors. `deflate` writes one final block with the fixed Huffman code;
// zlib adds the 0x78 0x01 header and the Adler-32 of the input, gzip a
// 10-byte header and the CRC-32 and length of the input.
Result deflate(std::span<uint8_t> out, std::span<const uint8_t> in);
Result zlib_compress(std::span<uint8_t> out, std::span<const uint8_t> in);
Result gzip_compress(std::span<uint8_t> out, std::span<const uint8_t> in);

// Decompressors. The data must run to the end of a final block; a stream that
// stops early is kBadData in every framing. zlib and gzip also check their
// headers and check values.
Result inflate(std::span<uint8_t> out, std::span<const uint8_t> in);
Result zlib_decompress(std::span<uint8_t> out, std::span<const uint8_t> in);
Result gzip_decompress(std::span<uint8_t> out, std::span<const uint8_t> in);

enum class Method { kZlib, kDeflate, kGzip };

// The method named by a method word (`zlib`, `deflate`, `gzip`, any ASCII
// case), or nothing: the natives raise invalid-arg then.
std::optional<Method> method_from_word(std::string_view word);

struct Outcome {
  Status status;               // kOk, or the reason the data was refused
  std::vector<uint8_t> bytes;  // the output on kOk, empty otherwise
};

// `compress`: a buffer of the input length + 32 bytes, one retry with the
// size asked for. Anything but kOk after that is script error invalid-data.
Outcome compress(Method method, std::span<const uint8_t> in);

// `decompress`, first step: the size of the buffer to inflate into. With a
// claimed size it is the claim capped by what the input can expand to; without
// one a first pass measures (gzip reads its trailer). Anything but kOk is the
// reason the input is refused. Nothing is allocated.
Result decompress_size(Method method, std::span<const uint8_t> in,
                       std::optional<size_t> expected_size = std::nullopt);
// `decompress`, second step: inflates into the caller's buffer. kOutputTooSmall
// (a claim below the true size) answers the size a second buffer needs.
Result decompress_into(Method method, std::span<uint8_t> out, std::span<const uint8_t> in);
// Both steps into a vector (one retry with the size asked for).
Outcome decompress(Method method, std::span<const uint8_t> in,
                   std::optional<size_t> expected_size = std::nullopt);

}  // namespace kiv::compression
