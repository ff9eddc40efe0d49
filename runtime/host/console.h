// Console text output: the lowest output layer. Text of any unit width is
// written to the standard output as UTF-8 with LF line ends; the runtime's
// low-level print primitives (numbers, hexadecimal values, C strings, for
// error reports and diagnostics) write through it and hand every text they
// write to the print hooks, through which a graphical console shows it.
//
// Console mode (standard output is a terminal) changes nothing in the bytes:
// a Linux terminal carries out escape sequences itself, so they pass through
// unchanged in either mode.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kiv::console {

// Probes the console mode; safe to call again.
void init();
bool console_mode_q();

// The UTF-8 bytes of size bytes of text in units of unit bytes (1 Latin-1,
// 2 UTF-16, 4 UTF-32), with an LF after them when line_end is set. A UTF-16
// surrogate pair gives its character; a lone surrogate or a unit above
// 0x10FFFF gives the replacement character.
std::string to_utf8(const void* text, size_t size, int unit, bool line_end);

// Writes the text to the standard output; false when the write fails.
bool write(const void* text, size_t size, int unit, bool line_end);
bool write_utf8(const std::string& text);

}  // namespace kiv::console

namespace kiv {

// The low-level print primitives: each writes its text to the standard
// output, then calls the print hooks with it (flag 0).
const char* print_cstring(const char* text);
void print_integer(int32_t value);     // "%i"
void print_hex_byte(uint8_t value);    // "%02X"
void print_hex(uint32_t value);        // "%08X"
void print_float(double value);        // "%.16g"
void print_float32(float value);       // "%.7g", widened to double first

}  // namespace kiv
