// The lexer's byte-class and state-transition tables.
//
// kLexClassTable[byte]: the byte's class (0-39) in bits 0-7 and flag bits
// above; the driver ORs the flags of every byte of a token together, so a
// loader learns from one word whether the token holds escapes, apostrophes or
// multi-byte characters without a second pass.
//
// kLexTransitions[state][class]: the next state. States 0-64 are working
// states; 66 and above are final states naming the token kind (see Final in
// lexer.h). State 0 is "between tokens": blanks, controls and line feeds stay
// in it and are skipped.
//
// The data is generated from runtime/eval/lexer_tables.txt by
// tools/gen_lexer_tables.py; this header only names the few classes and flags
// the driver and the loaders refer to.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kiv::lexer {

#include "runtime/eval/lexer_tables.inc"

constexpr int kClassCount = 40;
constexpr int kStateCount = 65;
constexpr int kFirstFinal = 66;
constexpr int kLastFinal = 101;
constexpr int kFinalCount = kLastFinal - kFirstFinal + 1;

constexpr uint32_t kClassMask = 0x000000FF;

constexpr uint8_t class_of(uint8_t byte) { return static_cast<uint8_t>(kLexClassTable[byte] & kClassMask); }

// Classes the driver names, found through a byte of each class.
constexpr uint8_t kClassBlank = class_of(' ');
constexpr uint8_t kClassLineFeed = class_of('\n');
constexpr uint8_t kClassEnd = class_of(0);
constexpr uint8_t kClassOther = class_of('!');
constexpr uint8_t kClassInvalidLead = class_of(0xC0);
constexpr uint8_t kClassControl = class_of(0x01);

// Token flag bits.
constexpr uint32_t kTokPercent = 0x00040000;     // %
constexpr uint32_t kTokGreater = 0x00080000;     // >
constexpr uint32_t kTokLess = 0x00100000;        // <
constexpr uint32_t kTokSign = 0x00200000;        // + or -
constexpr uint32_t kTokNul = 0x00400000;         // NUL
constexpr uint32_t kTokHash = 0x00800000;        // #
constexpr uint32_t kTokExponent = 0x01000000;    // e or E
constexpr uint32_t kTokApostrophe = 0x02000000;  // '
constexpr uint32_t kTokColon = 0x04000000;       // :
constexpr uint32_t kTokComma = 0x08000000;       // ,
constexpr uint32_t kTokDot = 0x10000000;         // .
constexpr uint32_t kTokCaret = 0x20000000;       // ^ (escapes)
constexpr uint32_t kTokLead23 = 0x40000000;      // lead byte of a 2- or 3-byte sequence
constexpr uint32_t kTokLead4 = 0x80000000;       // lead byte of a 4-byte sequence
// Not in the table: the driver sets it on a token holding any byte of 0x80 or
// above (bit 8 is free: classes use bits 0-7, the flags start at bit 18).
constexpr uint32_t kTokHighByte = 0x00000100;

static_assert(kClassBlank == 0 && kClassLineFeed == 1 && kClassEnd == 39,
              "the driver relies on blank 0, line feed 1 and end 39");
static_assert((kLexClassTable[':'] & kTokColon) && (kLexClassTable['^'] & kTokCaret) &&
                  (kLexClassTable[0xC2] & kTokLead23) && (kLexClassTable[0xF0] & kTokLead4),
              "flag bits as the loaders read them");

}  // namespace kiv::lexer
