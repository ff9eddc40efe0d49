// The pure parts of the host services: the command splitter of call, the
// reply header parser of HTTP, the console's text conversion, the file
// layer's directory names and line ends.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/host/console.h"
#include "runtime/host/files.h"
#include "runtime/host/http.h"
#include "runtime/host/os.h"
#include "runtime/host/process.h"

namespace kiv {
namespace {

TEST(HostProcess, SplitArgumentsKeepsQuotedBlanksAndEscapes) {
  struct Case {
    const char* command;
    std::vector<std::string> words;
  };
  const Case cases[] = {
      {"", {}},
      {"   ", {}},
      {"ls -l  /tmp", {"ls", "-l", "/tmp"}},
      {"a\tb\nc", {"a", "b", "c"}},
      {"echo 'a b' \"c d\"", {"echo", "a b", "c d"}},
      {"x''y \"\"", {"xy", ""}},
      {"'it\\'s'", {"it\\s"}},
      {"\"say \\\"hi\\\" \\\\ \\n\"", {"say \"hi\" \\ \\n"}},
      {"a\\ b c\\\\d", {"a b", "c\\d"}},
      {"pre'mid dle'post", {"premid dlepost"}},
      {"'unclosed quote", {"unclosed quote"}},
      {"\"unclosed", {"unclosed"}},
      {"trailing\\", {"trailing\\"}},
  };
  for (const Case& c : cases) EXPECT_EQ(os::split_arguments(c.command), c.words) << c.command;
}

TEST(HostHttp, ReplyHeadersNeedNoSpaceAfterTheColonNorACarriageReturn) {
  std::string text =
      "HTTP/1.1 200 OK\r\n"
      "Content-Type: text/plain\r\n"
      "X-Tight:v\n"
      "X-Spaces:   a b  \r\n"
      "Set-Cookie: one\r\n"
      "Set-Cookie: two\r\n"
      "X-Url: http://h:80/x\r\n"
      "no colon here\r\n"
      ": no name\r\n"
      "X-Empty:\r\n"
      "\r\n";
  io::HeaderList expected = {
      {"Content-Type", "text/plain"}, {"X-Tight", "v"},  {"X-Spaces", "a b"}, {"Set-Cookie", "one"},
      {"Set-Cookie", "two"},          {"X-Url", "http://h:80/x"}, {"X-Empty", ""},
  };
  EXPECT_EQ(io::parse_reply_headers(text), expected);
  EXPECT_TRUE(io::parse_reply_headers("").empty());
  EXPECT_EQ(io::parse_reply_headers("A: 1"), (io::HeaderList{{"A", "1"}}));
}

TEST(HostConsole, TextOfEveryUnitWidthIsWrittenAsUtf8) {
  const uint8_t latin1[] = {'a', 0xE9};
  EXPECT_EQ(console::to_utf8(latin1, 2, 1, false), "a\xC3\xA9");
  EXPECT_EQ(console::to_utf8(latin1, 2, 1, true), "a\xC3\xA9\n");
  const uint16_t utf16[] = {0x20AC, 0xD834, 0xDD1E, 0xDC00, 0xD800};
  EXPECT_EQ(console::to_utf8(utf16, sizeof utf16, 2, false), "\xE2\x82\xAC\xF0\x9D\x84\x9E\xEF\xBF\xBD\xEF\xBF\xBD");
  const uint32_t utf32[] = {0x1F600, 0x110000, 'z'};
  EXPECT_EQ(console::to_utf8(utf32, sizeof utf32, 4, false), "\xF0\x9F\x98\x80\xEF\xBF\xBDz");
  EXPECT_EQ(console::to_utf8(nullptr, 0, 2, true), "\n");
}

TEST(HostFiles, DirectoryNamesEndInASlashOrAreDots) {
  struct Case {
    const char* name;
    bool dir;
  };
  const Case cases[] = {
      {"", false},     {"/", true},      {"a/", true},    {".", true},     {"..", true},
      {"a/.", true},   {"a/..", true},   {"a.", false},   {"a..", false},  {"...", false},
      {"a/b", false},  {"a\\", true},    {"a\\.", true},  {".x", false},   {"x/.y", false},
  };
  for (const Case& c : cases) EXPECT_EQ(simple_io::dir_q(c.name), c.dir) << c.name;
}

TEST(HostFiles, AnyLineEndBecomesLf) {
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"", ""},           {"a\nb", "a\nb"},   {"a\r\nb", "a\nb"},     {"a\rb", "a\nb"},
      {"\r\r\n\n", "\n\n\n"}, {"x\r", "x\n"}, {"\r\n", "\n"},          {"a\n\rb", "a\n\nb"},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> bytes(c.in.begin(), c.in.end());
    simple_io::normalise_line_ends(bytes);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), c.out);
  }
}

}  // namespace
}  // namespace kiv

namespace kiv {
namespace {

TEST(HostOs, CommandLineJoinsWordsSoTheSplitterGivesThemBack) {
  const std::vector<std::string> lines[] = {
      {"kiv-run", "script.kiv"},
      {"prog", "a b", "", "q\"uote", "back\\slash", "it's", "tab\there"},
      {},
  };
  for (const auto& words : lines) EXPECT_EQ(os::split_arguments(os::join_command_line(words)), words);
  EXPECT_EQ(os::join_command_line({"a", "b c"}), "a \"b c\"");
  EXPECT_FALSE(os::command_line_words().empty());
}

TEST(HostOs, InfoPiecesFromTheSystemsTexts) {
  EXPECT_EQ(os::os_release_name("NAME=\"Debian\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n"),
            "Debian GNU/Linux 12 (bookworm)");
  EXPECT_EQ(os::os_release_name("ID=x\nNAME=Plain\n"), "Plain");
  EXPECT_EQ(os::os_release_name("PRETTY_NAME='Single \\\"q\\\"'\r\n"), "Single \"q\"");
  EXPECT_EQ(os::os_release_name("PRETTY_NAMES=no\nXNAME=no\n"), "");
  EXPECT_EQ(os::os_release_name(""), "");

  struct Arch {
    const char* machine;
    const char* arch;
  };
  for (Arch a : {Arch{"x86_64", "x86-64"}, Arch{"aarch64", "ARM64"}, Arch{"i686", "x86-32"},
                 Arch{"armv7l", "ARM"}, Arch{"riscv64", "Unknown"}, Arch{"", "Unknown"}})
    EXPECT_EQ(os::arch_of_machine(a.machine), a.arch) << a.machine;

  struct Release {
    const char* text;
    uint8_t version[3];
  };
  for (const Release& r : {Release{"6.1.0-18-amd64", {6, 1, 0}}, Release{"5.15", {5, 15, 0}},
                           Release{"4.19.300", {4, 19, 255}}, Release{"x", {0, 0, 0}},
                           Release{"3.2-rc1.7", {3, 2, 0}}}) {
    uint8_t v[3] = {9, 9, 9};
    os::kernel_version(r.text, v);
    EXPECT_EQ(std::vector<int>(v, v + 3), std::vector<int>(r.version, r.version + 3)) << r.text;
  }
  EXPECT_EQ(os::kernel_build("#1 SMP PREEMPT_DYNAMIC Debian 6.1.76-1"), 1);
  EXPECT_EQ(os::kernel_build("#137-Ubuntu SMP"), 137);
  EXPECT_EQ(os::kernel_build("SMP"), 0);

  os::Info here = os::info();
  EXPECT_FALSE(here.name.empty());
  EXPECT_FALSE(here.arch.empty());
}

}  // namespace
}  // namespace kiv
