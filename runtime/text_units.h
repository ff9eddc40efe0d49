// The units of a text buffer: one code point a unit, stored in 1, 2 or 4
// bytes (little-endian, as the machine stores them). Every reader and writer
// of string!-like buffers goes through these three.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kiv {

// A unit size other than 1, 2 or 4 means a corrupted buffer: nothing sensible
// can continue.
[[noreturn]] inline void text_unit_fault(uint32_t unit) {
  std::fprintf(stderr, "*** Runtime Error 101: invalid string unit size %u\n", unit);
  std::fflush(stderr);
  std::abort();
}

inline uint32_t read_unit(const uint8_t* p, uint32_t unit) {
  switch (unit) {
    case 1:
      return *p;
    case 2: {
      uint16_t v;
      std::memcpy(&v, p, 2);
      return v;
    }
    case 4: {
      uint32_t v;
      std::memcpy(&v, p, 4);
      return v;
    }
    default:
      text_unit_fault(unit);
  }
}

inline void write_unit(uint8_t* p, uint32_t unit, uint32_t cp) {
  switch (unit) {
    case 1:
      *p = static_cast<uint8_t>(cp);
      break;
    case 2: {
      uint16_t v = static_cast<uint16_t>(cp);
      std::memcpy(p, &v, 2);
      break;
    }
    case 4:
      std::memcpy(p, &cp, 4);
      break;
    default:
      text_unit_fault(unit);
  }
}

// The narrowest unit that holds the code point.
inline uint32_t unit_holding(uint32_t cp) { return cp <= 0xFF ? 1 : (cp <= 0xFFFF ? 2 : 4); }

}  // namespace kiv
