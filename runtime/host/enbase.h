// Text encodings of bytes in bases 2, 16, 58 and 64, behind `enbase` and
// `debase` (and the base-16 spelling of issue! values).
//
// Encoders write ASCII text. Decoders read text of any unit size, skip
// blanks, treat ";" as the start of a comment that runs to the next line
// feed, and answer nothing for text that is not valid in their base.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kiv::binary {

// Characters of a string in its own unit size (1, 2 or 4 bytes).
class CodeUnits {
 public:
  CodeUnits(std::span<const uint8_t> s) : data_(s.data()), count_(s.size()), unit_(1) {}
  CodeUnits(std::span<const uint16_t> s) : data_(s.data()), count_(s.size()), unit_(2) {}
  CodeUnits(std::span<const uint32_t> s) : data_(s.data()), count_(s.size()), unit_(4) {}
  CodeUnits(std::string_view s) : data_(s.data()), count_(s.size()), unit_(1) {}
  CodeUnits(const char* s) : CodeUnits(std::string_view(s)) {}
  CodeUnits(const std::string& s) : CodeUnits(std::string_view(s)) {}

  size_t size() const { return count_; }
  uint32_t operator[](size_t i) const {
    switch (unit_) {
      case 1: return static_cast<const uint8_t*>(data_)[i];
      case 2: return static_cast<const uint16_t*>(data_)[i];
      default: return static_cast<const uint32_t*>(data_)[i];
    }
  }

 private:
  const void* data_;
  size_t count_;
  unsigned unit_;
};

// True for the bases `enbase` and `debase` accept: 2, 16, 58 and 64.
bool base_q(int64_t base);

// Characters the encoding of `count` bytes in `base` can take at most; the
// `enbase` native refuses sizes beyond 32 bits with too-long.
uint64_t encoded_size_max(int64_t base, uint64_t count);

std::string encode_2(std::span<const uint8_t> bytes);
std::string encode_16(std::span<const uint8_t> bytes);
std::string encode_58(std::span<const uint8_t> bytes);
std::string encode_64(std::span<const uint8_t> bytes);

std::optional<std::vector<uint8_t>> decode_2(CodeUnits text);
std::optional<std::vector<uint8_t>> decode_16(CodeUnits text);
std::optional<std::vector<uint8_t>> decode_58(CodeUnits text);
std::optional<std::vector<uint8_t>> decode_64(CodeUnits text);

}  // namespace kiv::binary
