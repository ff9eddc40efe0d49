// The operating system as a whole: the process's command line and the
// description of the running system that os-info gives (name, architecture,
// kernel version and build).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kiv::os {

// The words of the process's command line, program first (from
// /proc/self/cmdline); empty when the system does not tell.
std::vector<std::string> command_line_words();
// The command line as one text: the words joined by blanks, a word holding
// a blank, a quote or a backslash (or an empty one) in double quotes with
// its quotes and backslashes escaped, so split_arguments gives the words
// back.
std::string get_command_line();
std::string join_command_line(const std::vector<std::string>& words);

struct Info {
  std::string name;   // the distribution's name, else "Linux"
  std::string arch;   // x86-64, x86-32, ARM64, ARM, or Unknown
  uint8_t version[3] = {0, 0, 0};  // the kernel's release, major.minor.patch
  int32_t build = 0;  // the kernel's build number (the "#N" of its version)
};
Info info();

// The pieces of info, from the texts the system gives.
// PRETTY_NAME of an os-release text (quotes taken off), else NAME, else "".
std::string os_release_name(std::string_view os_release);
// The architecture word of a machine name (uname's machine field).
std::string arch_of_machine(std::string_view machine);
// The first three numbers of a kernel release text ("6.1.0-18-amd64"), each
// kept to a byte; missing ones are 0.
void kernel_version(std::string_view release, uint8_t version[3]);
// The number after the first "#" of a kernel version text ("#1 SMP ..."), or 0.
int32_t kernel_build(std::string_view version);

}  // namespace kiv::os
