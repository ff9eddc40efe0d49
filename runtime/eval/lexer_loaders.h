// The lexer's loaders for the datatypes that exist so far: word kinds,
// refinements, integers, strings and construction syntax.
#pragma once

#include <cstdint>

namespace kiv::lexer {

// Fills the entries of default_loaders() that these loaders serve.
void install_default_loaders();

}  // namespace kiv::lexer
