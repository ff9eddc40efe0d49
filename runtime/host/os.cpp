#include "runtime/host/os.h"

#include <sys/utsname.h>

#include <fstream>
#include <iterator>

namespace kiv::os {

namespace {

std::string file_text(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool digit_q(char c) { return c >= '0' && c <= '9'; }

// The value of KEY=value or KEY="value" in an os-release text.
std::string release_field(std::string_view text, std::string_view key) {
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (line.size() <= key.size() || line.substr(0, key.size()) != key || line[key.size()] != '=') continue;
    std::string_view value = line.substr(key.size() + 1);
    if (!value.empty() && value.back() == '\r') value.remove_suffix(1);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
      value = value.substr(1, value.size() - 2);
    std::string out;
    for (size_t i = 0; i < value.size(); ++i) {
      if (value[i] == '\\' && i + 1 < value.size()) ++i;
      out.push_back(value[i]);
    }
    return out;
  }
  return {};
}

}  // namespace

std::vector<std::string> command_line_words() {
  std::string text = file_text("/proc/self/cmdline");
  std::vector<std::string> words;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\0', start);
    if (end == std::string::npos) end = text.size();
    words.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return words;
}

std::string join_command_line(const std::vector<std::string>& words) {
  std::string line;
  for (const std::string& word : words) {
    if (!line.empty()) line.push_back(' ');
    bool plain = !word.empty() && word.find_first_of(" \t\n\r\"'\\") == std::string::npos;
    if (plain) {
      line += word;
      continue;
    }
    line.push_back('"');
    for (char c : word) {
      if (c == '"' || c == '\\') line.push_back('\\');
      line.push_back(c);
    }
    line.push_back('"');
  }
  return line;
}

std::string get_command_line() { return join_command_line(command_line_words()); }

std::string os_release_name(std::string_view os_release) {
  std::string name = release_field(os_release, "PRETTY_NAME");
  return name.empty() ? release_field(os_release, "NAME") : name;
}

std::string arch_of_machine(std::string_view machine) {
  if (machine == "x86_64" || machine == "amd64") return "x86-64";
  if (machine == "aarch64" || machine == "arm64") return "ARM64";
  if (machine == "i386" || machine == "i486" || machine == "i586" || machine == "i686") return "x86-32";
  if (machine == "ia64") return "IA-64";
  if (machine.substr(0, 3) == "arm") return "ARM";
  return "Unknown";
}

void kernel_version(std::string_view release, uint8_t version[3]) {
  size_t i = 0;
  for (int part = 0; part < 3; ++part) {
    version[part] = 0;
    if (i >= release.size() || !digit_q(release[i])) continue;
    uint32_t n = 0;
    while (i < release.size() && digit_q(release[i])) {
      n = n * 10 + static_cast<uint32_t>(release[i++] - '0');
      if (n > 255) n = 255;
    }
    version[part] = static_cast<uint8_t>(n);
    if (i < release.size() && release[i] == '.') ++i;
    else i = release.size();
  }
}

int32_t kernel_build(std::string_view version) {
  size_t hash = version.find('#');
  if (hash == std::string_view::npos) return 0;
  int64_t n = 0;
  for (size_t i = hash + 1; i < version.size() && digit_q(version[i]); ++i) {
    n = n * 10 + (version[i] - '0');
    if (n > INT32_MAX) return INT32_MAX;
  }
  return static_cast<int32_t>(n);
}

Info info() {
  Info result;
  std::string release = file_text("/etc/os-release");
  if (release.empty()) release = file_text("/usr/lib/os-release");
  result.name = os_release_name(release);
  if (result.name.empty()) result.name = "Linux";
  struct utsname names;
  if (uname(&names) == 0) {
    result.arch = arch_of_machine(names.machine);
    kernel_version(names.release, result.version);
    result.build = kernel_build(names.version);
  } else {
    result.arch = "Unknown";
  }
  return result;
}

}  // namespace kiv::os
