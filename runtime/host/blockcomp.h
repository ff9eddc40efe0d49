// The block compressor: the system's own LZ77 codec with a bit-level code,
// used for compressed Kivbin images.
//
// Packed data:
//   offset 0  u32 LE  P, bytes of block data after this 8-byte head
//   offset 4  u32 LE  U, unpacked size
//   offset 8  blocks: u32 LE length L (1 to 1,048,576 output bytes), then a
//             bit stream producing exactly L bytes, padded with zero bits
//             to a byte boundary. Blocks never refer to each other's output.
//
// Bit stream, least significant bit first, fields least significant first:
//   0, 8 bits                 a literal byte
//   1, length, distance       copy n + 3 bytes from d + 1 bytes back
// Length n: 1+2 bits (0-3) | 01+2 (4-7) | 001+2 (8-11) | 0001+3 (12-19)
//           | 00001+5 (20-51) | 00000+9 (52-563).
// Distance d: 4 bits give j - 2 (j = 2..17); j = 2: 3 bits give d; else
//           j bits plus 2^j give d.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kiv::lz {

inline constexpr size_t kHeadBytes = 8;
inline constexpr size_t kMaxBlock = 1048576;
inline constexpr size_t kMinInput = 128;  // shorter input is not compressed
// No block stream expands by more than this factor (566 bytes for a 22-bit
// match); a declared unpacked size beyond it is refused.
inline constexpr size_t kMaxExpansion = 206;

// The packed form of the source, or nothing when the source is shorter than
// kMinInput bytes or its packed form would be longer than the source.
std::optional<std::vector<uint8_t>> compress(std::span<const uint8_t> source);

// The unpacked bytes, or nothing when the data is malformed: a bad block
// length, a block that runs past P or past the input, a match reaching
// before its block or past its length, or a total other than U.
std::optional<std::vector<uint8_t>> decompress(std::span<const uint8_t> packed);

}  // namespace kiv::lz
