// Unicode conversion between string storage and external text.
//
// A string buffer stores code points in fixed-width units: 1 byte (Latin-1,
// code points 0-0xFF), 2 bytes (UCS-2, up to 0xFFFF) or 4 bytes (UCS-4, up to
// 0x10FFFF), little-endian, always as narrow as its widest code point allows
// and widened in place (1 -> 2 -> 4, never back) when a wider one arrives.
// External text is UTF-8 (source, files, network, the operating system) or
// UTF-16LE.
//
// Two UTF-8 decoders: a table-driven one for the lexer (accepts exactly the
// well-formed sequences, no surrogates) and a checking one for loading text
// (also accepts encoded surrogates, so that any string this runtime writes as
// UTF-8 reads back unchanged). Neither accepts overlong forms or values above
// 0x10FFFF. Every decoder is bounded by the end of its input.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/cell.h"
#include "runtime/series.h"

namespace kiv {

constexpr int32_t kMaxCodePoint = 0x10FFFF;

namespace unicode {

// The decoder's automaton: bytes 0-255 give each byte's class, the following
// 108 entries the transitions (state 0 accepts, state 12 rejects, the other
// states are multiples of 12).
extern const uint8_t kUtf8Dfa[364];
constexpr uint8_t kUtf8Accept = 0;
constexpr uint8_t kUtf8Reject = 12;

// Decodes one character at p, reading no further than end (p < end). Answers
// the address after it and stores the code point, or -1 for a stray
// continuation byte, an impossible lead (one byte consumed), a sequence broken
// by another byte (that byte consumed too) or cut by end (everything up to end
// consumed).
const uint8_t* fast_decode_utf8_char(const uint8_t* p, const uint8_t* end, int32_t* code_point);

}  // namespace unicode

// Number of characters in [start, end), one fast decoder step each.
size_t utf8_count_chars(const uint8_t* start, const uint8_t* end);

// The address after at most n characters from start, stopping at end.
const uint8_t* utf8_walk_chars(const uint8_t* start, const uint8_t* end, size_t n);

// 4, 3 or 2 when the top four, three or two bits of a lead byte are set;
// 0 for bytes below 0xC0.
int utf8_lead_length(uint8_t byte);

// decode_utf8_sequence answers a code point, or one of these.
constexpr int32_t kUtf8Truncated = -1;  // fewer bytes left than the lead announces
constexpr int32_t kUtf8Invalid = -2;    // not a well-formed sequence

// Decodes the sequence at p with *available bytes left (at least 1). On
// success *available becomes the sequence length. Overlong forms, values
// above 0x10FFFF, bad lead and continuation bytes are kUtf8Invalid.
int32_t decode_utf8_sequence(const uint8_t* p, size_t* available);

// Bytes of one code point in UTF-8: 1, 2, 3 or 4. A code point outside
// 0..0x10FFFF raises script invalid-char.
int utf8_char_size(int32_t code_point);

// UTF-8 bytes needed by the units in [start, end) of a buffer of the given
// unit (1, 2 or 4); script invalid-char for a unit above 0x10FFFF.
size_t utf8_size_of_range(const void* start, const void* end, int unit);

// Writes the UTF-8 form of a code point (1-4 bytes) and answers its length;
// script invalid-char outside 0..0x10FFFF.
int encode_utf8_char(int32_t code_point, uint8_t* destination);

// The same, writing only the first room bytes of the sequence; answers the
// number written.
int encode_utf8_char_bounded(int32_t code_point, uint8_t* destination, int room);

// Writes one UTF-16 unit below 0x10000, a surrogate pair up to 0x10FFFF;
// answers the number of units, 0 (nothing written) above 0x10FFFF.
int encode_utf16_char(int32_t code_point, uint16_t* destination);

// Widens each byte of a NUL-terminated text to one 16-bit unit, ending with a
// 16-bit NUL; destination holds strlen + 1 units.
void cstring_to_utf16(const char* bytes, uint16_t* destination);

// The code point of a code page 1251 byte (0x98, undefined there, is U+0098).
int32_t cp1251_to_code_point(uint8_t byte);

// ---------------------------------------------------------------------------
// String series. A string value's cell holds the head index in word 1, the
// node of its buffer in word 2, and in word 3 0 or the node of its conversion
// buffer. Routines below that allocate may move every buffer: addresses they
// answer are good until the next allocation.

// Rewrites the series in place at the wider unit, expanding it first when it
// lacks room for its units at the new width plus one; answers the buffer.
SeriesBuffer* widen_latin1_to_ucs2(uint32_t node);
SeriesBuffer* widen_latin1_to_ucs4(uint32_t node);
SeriesBuffer* widen_ucs2_to_ucs4(uint32_t node);

// Decodes count bytes of UTF-8 and appends the characters at the tail of the
// target series (a new unit-1 string series when target is 0), widening it as
// wider code points arrive; answers the series' node. A leading byte-order
// mark is skipped. With crlf, CR LF is stored as LF and a lone CR as LF.
// A sequence cut by the end of the input ends the loading: its bytes are
// counted in *remainder (when given) for the caller to feed again with the
// next chunk. Malformed input raises access invalid-utf8 with the offending
// bytes (at most 4) as a binary!, before anything is stored.
uint32_t load_utf8_string(const uint8_t* bytes, size_t count, uint32_t target, size_t* remainder,
                          bool crlf);
// The same into the series of a string value.
uint32_t load_utf8_from_series(const uint8_t* bytes, size_t count, const Cell* string, size_t* remainder,
                               bool crlf);
// A new string series from count bytes, no remainder kept, no CR handling.
uint32_t load_utf8_cstring(const uint8_t* bytes, size_t count);

// Decodes units 16-bit little-endian units and appends them to the target
// string value's series (a new series when target is null); answers the node.
// The unit of the result is chosen from the input (4 when it holds surrogate
// pairs, 2 when any unit is above 0xFF, else 1) and never narrows the target.
// A null bytes reads the target's conversion buffer (where an operating
// system call left the text). With crlf every CR is dropped. A high surrogate
// not followed by a low one raises script invalid-data with the offending
// bytes as a binary!, before anything is stored; a lone low surrogate is kept.
uint32_t load_utf16le_string(const uint8_t* bytes, size_t units, const Cell* target, bool crlf);

// Decodes count code page 1251 bytes into the target string value's series (a
// new one when null), CR handling as for UTF-8; answers the node.
uint32_t load_cp1251_string(const uint8_t* bytes, size_t count, const Cell* target, bool crlf);

// The data of the string value's conversion buffer, holding at least size
// bytes: made on first use (its node goes into word 3) and grown when short.
// Its bytes stay until the next conversion of the same value.
uint8_t* conversion_buffer(Cell* string, size_t size);

// Writes the units from the head (at most limit characters; -1 or a limit
// not below the length means all) as UTF-8, then a NUL when terminate is set;
// answers the byte count without the NUL. destination holds
// utf8_size_of_range + 1 bytes. Script invalid-char for a unit above 0x10FFFF.
size_t string_range_to_utf8(const Cell* string, uint8_t* destination, int32_t limit, bool terminate);

// The same through the bounded encoder, never writing past room bytes (the
// NUL included); a limit above 0 and below the length cuts the range.
size_t string_to_utf8_binary(const Cell* string, uint8_t* destination, size_t room, int32_t limit,
                             bool terminate);

// The UTF-8 text of the string from its head in its conversion buffer, ended
// by a NUL. *length: in, a character limit (-1 for all); out, the byte count
// without the NUL. With crlf, a CR is written before each LF.
uint8_t* string_to_utf8_buffer(Cell* string, int32_t* length, bool crlf);
inline const char* to_utf8_cstring(Cell* string, int32_t* length) {
  return reinterpret_cast<const char*>(string_to_utf8_buffer(string, length, false));
}
inline const char* to_utf8_cstring_part(Cell* string, int32_t* length, bool crlf) {
  return reinterpret_cast<const char*>(string_to_utf8_buffer(string, length, crlf));
}

// The UTF-16LE text of the string from its head in its conversion buffer,
// ended by a 16-bit NUL. *length: in, a character limit (-1 for all); out,
// the units written without the NUL. With crlf a CR precedes each LF. Null
// when a code point above 0x10FFFF is met.
const uint16_t* string_to_utf16_part(Cell* string, int32_t* length, bool crlf);
// The whole string from its head, each LF written as CR LF.
const uint16_t* to_utf16(Cell* string);

}  // namespace kiv
