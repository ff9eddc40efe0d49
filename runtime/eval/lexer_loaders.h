// The lexer's loaders for the datatypes that exist so far: word kinds,
// refinements, integers, strings and construction syntax.
#pragma once

#include <cstdint>

namespace kiv::lexer {

// Fills the entries of default_loaders() that these loaders serve.
void install_default_loaders();

// The caret escape at p, just after its "^" (strings, chars, files and
// tags share them): stores the code point, moves p past the escape and
// answers true; false for a malformed escape. The text must be valid UTF-8.
bool read_escape(const uint8_t*& p, const uint8_t* end, uint32_t* out);

}  // namespace kiv::lexer
