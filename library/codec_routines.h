// The C++ entries of the text codecs' routines (library/json.kiv).
#pragma once

namespace kiv::library {

// Registers the codecs' routine entries by name. Safe to call again.
void register_codec_routines();

}  // namespace kiv::library
