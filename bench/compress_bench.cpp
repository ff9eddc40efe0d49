// Compression ratio and speed of our DEFLATE, block compressor and checksums
// next to the system zlib. Run through bench/compress_bench.sh.
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "runtime/host/blockcomp.h"
#include "runtime/host/checksum.h"
#include "runtime/host/deflate.h"

using Bytes = std::vector<uint8_t>;
namespace cz = kiv::compression;

namespace {

Bytes read_file(const char* path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), {});
}

Bytes text_like(size_t n) {
  static const char* words[] = {"the ", "value ", "series ", "block ", "of ", "and ", "word ",
                                "context ", "binding ", "a ", "is ", "to ", "in ", "function\n"};
  std::mt19937 gen(1);
  Bytes v;
  while (v.size() < n) {
    const char* w = words[gen() % 14];
    v.insert(v.end(), w, w + std::strlen(w));
  }
  v.resize(n);
  return v;
}

Bytes random_bytes(size_t n) {
  std::mt19937 gen(2);
  Bytes v(n);
  for (auto& b : v) b = uint8_t(gen());
  return v;
}

// Megabytes of `input_size` per second, repeating the work for at least a
// fifth of a second.
double mb_per_s(size_t input_size, const std::function<void()>& work) {
  using clock = std::chrono::steady_clock;
  work();  // warm up
  int runs = 0;
  auto start = clock::now();
  double elapsed = 0;
  do {
    work();
    runs++;
    elapsed = std::chrono::duration<double>(clock::now() - start).count();
  } while (elapsed < 0.2);
  return double(input_size) * runs / elapsed / 1e6;
}

Bytes zlib_pack(const Bytes& in, int level) {
  uLongf n = compressBound(uLong(in.size()));
  Bytes out(n);
  compress2(out.data(), &n, in.data(), uLong(in.size()), level);
  out.resize(n);
  return out;
}

Bytes zlib_unpack(const Bytes& in, size_t size) {
  Bytes out(size);
  uLongf n = uLongf(size);
  uncompress(out.data(), &n, in.data(), uLong(in.size()));
  out.resize(n);
  return out;
}

Bytes ours_unpack(const Bytes& in, size_t size) {
  Bytes out(size);
  cz::zlib_decompress(out, in);
  return out;
}

void row(const char* what, size_t in, size_t out, double pack, double unpack) {
  std::printf("  %-24s %6.2f%%  %8.1f MB/s  %8.1f MB/s\n", what, 100.0 * double(out) / double(in),
              pack, unpack);
}

void bench_input(const char* name, const Bytes& data) {
  std::printf("%s (%zu bytes)              size    compress   decompress\n", name, data.size());
  Bytes ours = cz::compress(cz::Method::kZlib, data).bytes;
  if (ours_unpack(ours, data.size()) != data || zlib_unpack(ours, data.size()) != data)
    std::printf("  ROUND TRIP FAILED\n");
  row("ours zlib (fixed code)", data.size(), ours.size(),
      mb_per_s(data.size(), [&] { cz::compress(cz::Method::kZlib, data); }),
      mb_per_s(data.size(), [&] { ours_unpack(ours, data.size()); }));
  for (int level : {1, 6, 9}) {
    Bytes theirs = zlib_pack(data, level);
    char label[64];
    std::snprintf(label, sizeof label, "system zlib level %d", level);
    row(label, data.size(), theirs.size(), mb_per_s(data.size(), [&] { zlib_pack(data, level); }),
        mb_per_s(data.size(), [&] { zlib_unpack(theirs, data.size()); }));
    std::snprintf(label, sizeof label, "  read by our inflater");
    if (ours_unpack(theirs, data.size()) != data) std::printf("  OUR INFLATE FAILED\n");
    std::printf("  %-24s %7s  %13s  %8.1f MB/s\n", label, "", "",
                mb_per_s(data.size(), [&] { ours_unpack(theirs, data.size()); }));
  }
  auto lz = kiv::lz::compress(data);
  if (lz) {
    if (kiv::lz::decompress(*lz) != data) std::printf("  BLOCK ROUND TRIP FAILED\n");
    row("block compressor", data.size(), lz->size(),
        mb_per_s(data.size(), [&] { kiv::lz::compress(data); }),
        mb_per_s(data.size(), [&] { kiv::lz::decompress(*lz); }));
  } else {
    std::printf("  %-24s does not compress\n", "block compressor");
  }
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::pair<std::string, Bytes>> inputs;
  for (int i = 1; i < argc; i++) inputs.push_back({argv[i], read_file(argv[i])});
  inputs.push_back({"synthetic text", text_like(4 << 20)});
  inputs.push_back({"this executable", read_file("/proc/self/exe")});
  inputs.push_back({"random", random_bytes(1 << 20)});
  inputs.push_back({"zeros", Bytes(4 << 20, 0)});
  for (const auto& [name, data] : inputs)
    if (!data.empty()) bench_input(name.c_str(), data);

  const Bytes& data = inputs.back().second;
  Bytes r = random_bytes(16 << 20);
  volatile uint32_t sink = 0;
  std::printf("checksums over 16 MB       ours        system zlib\n");
  std::printf("  crc32                %8.0f MB/s  %8.0f MB/s\n",
              mb_per_s(r.size(), [&] { sink = sink + kiv::crc32(r); }),
              mb_per_s(r.size(), [&] { sink = sink + uint32_t(::crc32(0, r.data(), uInt(r.size()))); }));
  std::printf("  adler32              %8.0f MB/s  %8.0f MB/s\n",
              mb_per_s(r.size(), [&] { sink = sink + kiv::adler32(r); }),
              mb_per_s(r.size(), [&] { sink = sink + uint32_t(::adler32(1, r.data(), uInt(r.size()))); }));
  (void)data;
  return 0;
}
