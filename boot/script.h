// Running source text from the command line: --eval text, or a script file
// that must carry a Kiv header.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kiv::boot {

// Loads and evaluates the text; the result is dropped.
void run_eval(std::string_view text);

// Finds the header (the first "Kiv", optionally "/System", blanks, then "["
// in the text, case-sensitively), loads the text from there, skips the
// header and evaluates the rest. No header: syntax no-header with the file
// name; a Kiv/System header: internal kiv-system.
void run_script(std::string_view text, const std::string& file_name);

// Hands the command line to the script as the console does after reading
// its script argument: system/script/args the text of the arguments after
// the script (joined so that splitting gives them back; empty when there are
// none), system/options/args the block of those argument strings,
// system/options/script the script's file (none when empty) and
// system/options/boot the program. A member that the system object lacks is
// left alone.
void set_script_args(const std::string& program, const std::string& script,
                     const std::vector<std::string>& args);

// The offset of the header's "Kiv" in the text, or npos.
size_t find_header(std::string_view text);

}  // namespace kiv::boot
