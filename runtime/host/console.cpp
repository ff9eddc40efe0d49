#include "runtime/host/console.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "runtime/print_hooks.h"
#include "runtime/unicode.h"

namespace kiv::console {

namespace {

constexpr uint32_t kReplacement = 0xFFFD;

bool g_console_mode = false;

uint32_t unit_at(const uint8_t* p, int unit) {
  if (unit == 1) return *p;
  if (unit == 2) {
    uint16_t u;
    std::memcpy(&u, p, 2);
    return u;
  }
  uint32_t u;
  std::memcpy(&u, p, 4);
  return u;
}

}  // namespace

void init() { g_console_mode = isatty(STDOUT_FILENO) == 1; }

bool console_mode_q() { return g_console_mode; }

std::string to_utf8(const void* text, size_t size, int unit, bool line_end) {
  std::string out;
  const auto* p = static_cast<const uint8_t*>(text);
  size_t n = unit > 0 ? size / static_cast<size_t>(unit) : 0;
  out.reserve(n + 1);
  uint8_t bytes[4];
  for (size_t i = 0; i < n; ++i) {
    uint32_t c = unit_at(p + i * static_cast<size_t>(unit), unit);
    if (unit == 2 && c >= 0xD800 && c <= 0xDBFF && i + 1 < n) {
      uint32_t low = unit_at(p + (i + 1) * 2, 2);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = kReplacement;
    int len = encode_utf8_char(static_cast<int32_t>(c), bytes);
    out.append(reinterpret_cast<const char*>(bytes), static_cast<size_t>(len));
  }
  if (line_end) out.push_back('\n');
  return out;
}

bool write_utf8(const std::string& text) {
  // Through the C stream, so that the text keeps its place among what print
  // has written there.
  bool ok = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
  return std::fflush(stdout) == 0 && ok;
}

bool write(const void* text, size_t size, int unit, bool line_end) {
  return write_utf8(to_utf8(text, size, unit, line_end));
}

}  // namespace kiv::console

namespace kiv {

namespace {

void print_text(const char* text, size_t length) {
  console::write_utf8(std::string(text, length));
  call_print_hooks(text, length, 0);
}

void print_formatted(const char* format, auto value) {
  char buffer[64];
  int n = std::snprintf(buffer, sizeof buffer, format, value);
  if (n < 0) return;
  print_text(buffer, static_cast<size_t>(n) < sizeof buffer ? static_cast<size_t>(n) : sizeof buffer - 1);
}

}  // namespace

const char* print_cstring(const char* text) {
  print_text(text, std::strlen(text));
  return text;
}

void print_integer(int32_t value) { print_formatted("%i", value); }
void print_hex_byte(uint8_t value) { print_formatted("%02X", static_cast<unsigned>(value)); }
void print_hex(uint32_t value) { print_formatted("%08X", static_cast<unsigned>(value)); }
void print_float(double value) { print_formatted("%.16g", value); }
void print_float32(float value) { print_formatted("%.7g", static_cast<double>(value)); }

}  // namespace kiv
