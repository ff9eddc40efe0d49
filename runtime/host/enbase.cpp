#include "runtime/host/enbase.h"

#include <algorithm>
#include <array>

namespace kiv::binary {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kBase58Alphabet[] = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";
constexpr uint32_t kBase58 = 58;
// 58^5, the largest power of 58 that fits 32 bits: five digits per limb step.
constexpr uint32_t kBase58Pow5 = 656356768;
constexpr unsigned kBase58DigitsPerStep = 5;

// Decode-table entries besides digit values.
constexpr uint8_t kSkip = 0x40;
constexpr uint8_t kInvalid = 0x80;
constexpr uint32_t kAsciiLimit = 128;
constexpr uint32_t kCommentStart = ';';
constexpr uint32_t kLineFeed = '\n';

using DecodeTable = std::array<uint8_t, kAsciiLimit>;

// Digit values of an alphabet; backspace, tab, line feed, form feed,
// carriage return, space and the apostrophe are skipped.
constexpr DecodeTable make_decode_table(const char* alphabet) {
  DecodeTable t{};
  for (auto& e : t) e = kInvalid;
  for (uint8_t v = 0; alphabet[v]; v++) t[uint8_t(alphabet[v])] = v;
  constexpr char kSkipped[] = "\b\t\n\f\r '";
  for (char c : std::string_view(kSkipped)) t[uint8_t(c)] = kSkip;
  return t;
}

constexpr DecodeTable kBase64Table = make_decode_table(kBase64Alphabet);
constexpr DecodeTable kBase58Table = make_decode_table(kBase58Alphabet);

// Hands out the characters of the text, stepping over comments: ";" to the
// next line feed. A comment that runs to the end ends the data.
class Reader {
 public:
  explicit Reader(CodeUnits text) : text_(text) {}
  bool next(uint32_t* c) {
    while (i_ < text_.size()) {
      *c = text_[i_++];
      if (*c != kCommentStart) return true;
      while (i_ < text_.size() && text_[i_] != kLineFeed) i_++;
    }
    return false;
  }

 private:
  CodeUnits text_;
  size_t i_ = 0;
};

int hex_value(uint32_t c) {
  if (c >= '0' && c <= '9') return int(c - '0');
  if (c >= 'A' && c <= 'F') return int(c - 'A' + 10);
  if (c >= 'a' && c <= 'f') return int(c - 'a' + 10);
  return -1;
}

}  // namespace

bool base_q(int64_t base) { return base == 2 || base == 16 || base == 58 || base == 64; }

uint64_t encoded_size_max(int64_t base, uint64_t count) {
  switch (base) {
    case 2: return count * 8;
    case 16: return count * 2;
    case 58: return count * 2;
    case 64: return (count + 2) / 3 * 4;
    default: return 0;
  }
}

std::string encode_2(std::span<const uint8_t> bytes) {
  std::string s;
  s.reserve(bytes.size() * 8);
  for (uint8_t b : bytes)
    for (int bit = 7; bit >= 0; bit--) s.push_back((b >> bit) & 1 ? '1' : '0');
  return s;
}

std::string encode_16(std::span<const uint8_t> bytes) {
  std::string s;
  s.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    s.push_back(kHexDigits[b >> 4]);
    s.push_back(kHexDigits[b & 15]);
  }
  return s;
}

std::string encode_64(std::span<const uint8_t> bytes) {
  std::string s;
  s.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    uint32_t v = uint32_t(bytes[i]) << 16 | uint32_t(bytes[i + 1]) << 8 | bytes[i + 2];
    for (int shift = 18; shift >= 0; shift -= 6) s.push_back(kBase64Alphabet[(v >> shift) & 63]);
  }
  const size_t rest = bytes.size() - i;
  if (rest == 1) {
    uint32_t v = uint32_t(bytes[i]) << 16;
    s.push_back(kBase64Alphabet[v >> 18]);
    s.push_back(kBase64Alphabet[(v >> 12) & 63]);
    s += "==";
  } else if (rest == 2) {
    uint32_t v = uint32_t(bytes[i]) << 16 | uint32_t(bytes[i + 1]) << 8;
    s.push_back(kBase64Alphabet[v >> 18]);
    s.push_back(kBase64Alphabet[(v >> 12) & 63]);
    s.push_back(kBase64Alphabet[(v >> 6) & 63]);
    s += "=";
  }
  return s;
}

std::string encode_58(std::span<const uint8_t> bytes) {
  size_t zeros = 0;
  while (zeros < bytes.size() && bytes[zeros] == 0) zeros++;

  // The rest as a big-endian number in 32-bit limbs, divided repeatedly by
  // 58^5; each remainder gives five digits, least significant first.
  std::vector<uint32_t> limbs;
  const size_t rest = bytes.size() - zeros;
  size_t i = zeros;
  if (rest % 4) {
    uint32_t v = 0;
    for (size_t k = 0; k < rest % 4; k++) v = v << 8 | bytes[i++];
    limbs.push_back(v);
  }
  for (; i < bytes.size(); i += 4)
    limbs.push_back(uint32_t(bytes[i]) << 24 | uint32_t(bytes[i + 1]) << 16 |
                    uint32_t(bytes[i + 2]) << 8 | bytes[i + 3]);

  std::string digits;
  size_t head = 0;
  while (head < limbs.size() && limbs[head] == 0) head++;
  while (head < limbs.size()) {
    uint64_t rem = 0;
    for (size_t k = head; k < limbs.size(); k++) {
      uint64_t cur = rem << 32 | limbs[k];
      limbs[k] = uint32_t(cur / kBase58Pow5);
      rem = cur % kBase58Pow5;
    }
    while (head < limbs.size() && limbs[head] == 0) head++;
    for (unsigned k = 0; k < kBase58DigitsPerStep; k++) {
      digits.push_back(kBase58Alphabet[rem % kBase58]);
      rem /= kBase58;
    }
  }
  // The last step pads with zero digits at the most significant end.
  while (!digits.empty() && digits.back() == kBase58Alphabet[0]) digits.pop_back();
  std::reverse(digits.begin(), digits.end());
  return std::string(zeros, kBase58Alphabet[0]) + digits;
}

std::optional<std::vector<uint8_t>> decode_2(CodeUnits text) {
  std::vector<uint8_t> out;
  out.reserve(text.size() / 8);
  Reader r(text);
  uint32_t c, acc = 0;
  unsigned bits = 0;
  while (r.next(&c)) {
    if (c <= ' ') continue;
    if (c != '0' && c != '1') return std::nullopt;
    acc = acc << 1 | (c - '0');
    if (++bits == 8) {
      out.push_back(uint8_t(acc));
      acc = 0;
      bits = 0;
    }
  }
  if (bits) return std::nullopt;
  return out;
}

std::optional<std::vector<uint8_t>> decode_16(CodeUnits text) {
  std::vector<uint8_t> out;
  out.reserve(text.size() / 2);
  Reader r(text);
  uint32_t c;
  int high = -1;
  while (r.next(&c)) {
    if (c <= ' ') continue;
    int v = hex_value(c);
    if (v < 0) return std::nullopt;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(uint8_t(high << 4 | v));
      high = -1;
    }
  }
  return out;  // a single digit left over is dropped
}

std::optional<std::vector<uint8_t>> decode_64(CodeUnits text) {
  std::vector<uint8_t> out;
  out.reserve(text.size() / 4 * 3 + 3);
  Reader r(text);
  uint32_t c, acc = 0;
  unsigned count = 0;
  while (r.next(&c)) {
    if (c >= kAsciiLimit) return std::nullopt;
    if (c == '=') {
      if (count == 3) {
        out.push_back(uint8_t(acc >> 10));
        out.push_back(uint8_t(acc >> 2));
      } else if (count == 2) {
        out.push_back(uint8_t(acc >> 4));
      } else {
        return std::nullopt;
      }
      return out;
    }
    uint8_t v = kBase64Table[c];
    if (v == kSkip) continue;
    if (v == kInvalid) return std::nullopt;
    acc = acc << 6 | v;
    if (++count == 4) {
      out.push_back(uint8_t(acc >> 16));
      out.push_back(uint8_t(acc >> 8));
      out.push_back(uint8_t(acc));
      acc = 0;
      count = 0;
    }
  }
  return out;  // digits left over without padding are dropped
}

std::optional<std::vector<uint8_t>> decode_58(CodeUnits text) {
  std::vector<uint8_t> digits;
  Reader r(text);
  uint32_t c;
  while (r.next(&c)) {
    if (c >= kAsciiLimit) return std::nullopt;
    uint8_t v = kBase58Table[c];
    if (v == kSkip) continue;
    if (v == kInvalid) return std::nullopt;
    digits.push_back(v);
  }
  size_t zeros = 0;
  while (zeros < digits.size() && digits[zeros] == 0) zeros++;

  // number = number * 58^k + next k digits, in little-endian 32-bit limbs.
  std::vector<uint32_t> limbs;
  for (size_t i = zeros; i < digits.size();) {
    uint32_t mult = 1, add = 0;
    for (unsigned k = 0; k < kBase58DigitsPerStep && i < digits.size(); k++, i++) {
      mult *= kBase58;
      add = add * kBase58 + digits[i];
    }
    uint64_t carry = add;
    for (uint32_t& limb : limbs) {
      uint64_t cur = uint64_t(limb) * mult + carry;
      limb = uint32_t(cur);
      carry = cur >> 32;
    }
    if (carry) limbs.push_back(uint32_t(carry));
  }

  std::vector<uint8_t> out(zeros, 0);
  bool leading = true;
  for (size_t k = limbs.size(); k-- > 0;) {
    for (int shift = 24; shift >= 0; shift -= 8) {
      uint8_t b = uint8_t(limbs[k] >> shift);
      if (leading && b == 0) continue;
      leading = false;
      out.push_back(b);
    }
  }
  return out;
}

}  // namespace kiv::binary
