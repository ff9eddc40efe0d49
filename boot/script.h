// Running source text from the command line: --eval text, or a script file
// that must carry a Kiv header.
#pragma once

#include <string>
#include <string_view>

namespace kiv::boot {

// Loads and evaluates the text; the result is dropped.
void run_eval(std::string_view text);

// Finds the header (the first "Kiv", optionally "/System", blanks, then "["
// in the text, case-sensitively), loads the text from there, skips the
// header and evaluates the rest. No header: syntax no-header with the file
// name; a Kiv/System header: internal kiv-system.
void run_script(std::string_view text, const std::string& file_name);

// The offset of the header's "Kiv" in the text, or npos.
size_t find_header(std::string_view text);

}  // namespace kiv::boot
