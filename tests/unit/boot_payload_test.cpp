// The boot payload: the programs boot from it, it holds the same library as
// the source text (each source's block molds the same, /all, from either),
// and a payload that is damaged ends start-up with a message and a
// non-zero status, never with 0 or a crash.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "boot/startup.h"
#include "runtime/datatypes/actions.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/kivbin.h"
#include "runtime/datatypes/string.h"
#include "runtime/series.h"
#include "runtime/stack.h"
#include "runtime/unicode.h"

#ifndef KIV_SOURCE_DIR
#error "KIV_SOURCE_DIR names the repository root"
#endif

namespace kiv {
namespace {

std::string mold_all(const Cell& value) {
  stack::TopGuard guard;
  Cell* v = stack::push_copy(&value);
  Cell* out = stack::push_new_cell();
  string::init_cell(out, 16);
  dispatch_mold(v, out, {.all = true}, nullptr, kNoPartLimit, 0);
  int32_t length = -1;
  const char* text = to_utf8_cstring(out, &length);
  return std::string(text, static_cast<size_t>(length));
}

std::string read_source(const char* name) {
  std::string path = std::string(KIV_SOURCE_DIR) + "/" + name;
  std::string text;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return text;
  char buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
  std::fclose(f);
  return text;
}

// The checks run in a fresh process (other tests of this binary change the
// runtime's state underneath a booted library); it ends with 0 when every
// check holds and prints the first that does not.
[[noreturn]] void check_payload_against_text() {
  boot::start();
  auto fail = [](const std::string& what) {
    std::fprintf(stderr, "%s\n", what.c_str());
    std::_Exit(1);
  };
  if (boot::boot_payload().empty()) fail("no boot payload linked");
  if (boot::library_origin() != boot::LibraryOrigin::kPayload) fail("the library was not loaded from the payload");
  uint32_t count = 0;
  const boot::Source* sources = boot::sources(&count);
  Cell* decoded = stack::push_new_cell();
  block::init_cell(decoded, static_cast<int32_t>(count));
  kivbin::decode(boot::boot_payload(), decoded, kivbin::Mode::kBoot);
  if (series_length(decoded->data2) != count) fail("the payload holds another number of sources");
  for (uint32_t i = 0; i < count; ++i) {
    std::string text = read_source(sources[i].name);
    if (text.empty()) fail(std::string("cannot read ") + sources[i].name);
    Cell* lexed = stack::push_new_cell();
    boot::load_text(text, lexed);
    std::string from_text = mold_all(*lexed);
    std::string from_payload = mold_all(series_head_cell(decoded->data2)[i]);
    if (from_payload != from_text) fail(std::string(sources[i].name) + ": payload and text differ");
    Cell* embedded = stack::push_new_cell();
    boot::load_text(sources[i].text, embedded);
    if (mold_all(*embedded) != from_text) fail(std::string(sources[i].name) + ": embedded text and file differ");
  }
  std::_Exit(0);
}

TEST(BootPayloadDeathTest, ProgramsBootFromAPayloadHoldingTheSourceText) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(check_payload_against_text(), ::testing::ExitedWithCode(0), "");
}

// Each death test runs in a fresh process, which boots from the payload
// given here.
std::vector<uint8_t> g_damaged;

[[noreturn]] void boot_from(std::vector<uint8_t> payload) {
  g_damaged = std::move(payload);
  boot::set_boot_payload(g_damaged.data(), g_damaged.size());
  boot::start();
  std::_Exit(0);
}

std::vector<uint8_t> real_payload() {
  auto p = boot::boot_payload();
  return std::vector<uint8_t>(p.begin(), p.end());
}

TEST(BootPayloadDeathTest, NotKivbinEndsStartUp) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::vector<uint8_t> p = real_payload();
  p[0] = 'X';
  EXPECT_EXIT(boot_from(p), ::testing::ExitedWithCode(1), "Not a Kivbin file");
}

TEST(BootPayloadDeathTest, TruncatedPayloadEndsStartUp) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::vector<uint8_t> p = real_payload();
  p.resize(p.size() / 2);
  EXPECT_EXIT(boot_from(p), ::testing::ExitedWithCode(1), "Boot Error: the boot payload is damaged");
}

// An image of one empty block where start-up expects every source.
[[noreturn]] void boot_from_one_block() {
  boot::runtime_core_init();
  Cell* block = stack::push_new_cell();
  block::init_cell(block, 1);
  kivbin::EncodeOptions options;
  options.mode = kivbin::Mode::kBoot;
  kivbin::Encoder encoder(options);
  encoder.add(block);
  boot_from(encoder.finish());
}

TEST(BootPayloadDeathTest, PayloadOfOtherSourcesEndsStartUp) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(boot_from_one_block(), ::testing::ExitedWithCode(1), "Boot Error: the boot payload holds 1 sources");
}

}  // namespace
}  // namespace kiv
