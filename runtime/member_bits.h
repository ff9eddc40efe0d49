// The bit layout every set of small numbers shares: typesets (type ids), the
// argument checks' typesets and bitsets (code points and bytes). Member n is
// bit 0x80 >> (n & 7) of byte n >> 3: the most significant bit of byte 0 is
// member 0. Callers bound n by their own size.
#pragma once

#include <cstdint>

namespace kiv {

constexpr uint32_t member_byte(uint32_t n) { return n >> 3; }
constexpr uint8_t member_mask(uint32_t n) { return static_cast<uint8_t>(0x80u >> (n & 7)); }

constexpr bool has_member(const uint8_t* bits, uint32_t n) { return (bits[member_byte(n)] & member_mask(n)) != 0; }
constexpr void add_member(uint8_t* bits, uint32_t n) { bits[member_byte(n)] |= member_mask(n); }
constexpr void remove_member(uint8_t* bits, uint32_t n) {
  bits[member_byte(n)] &= static_cast<uint8_t>(~member_mask(n));
}

}  // namespace kiv
