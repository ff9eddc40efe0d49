// DEFLATE, zlib and gzip: our output read by the system zlib, the system
// zlib's output read by us, the sizing contract of the routines, and
// malformed or truncated streams.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/host/checksum.h"
#include "runtime/host/deflate.h"
#include "tests/unit/host_test_support.h"

namespace kiv::compression {
namespace {

using testing::Bytes;
using testing::bytes_of;
using testing::random_bytes;

Bytes text_like(size_t n, uint32_t seed) {
  static const char* const words[] = {"the ",  "quick ",  "brown ", "fox ",   "jumps ", "over ",
                                      "lazy ", "dog ",    "series ", "block ", "value ", "cell\n"};
  return testing::text_like(n, seed, words);
}

struct Sample {
  const char* name;
  Bytes data;
};

const std::vector<Sample>& samples() {
  static const std::vector<Sample> s = [] {
    std::vector<Sample> v;
    v.push_back({"empty", {}});
    v.push_back({"one byte", {'a'}});
    v.push_back({"sentence", bytes_of("The quick brown fox jumps over the lazy dog.")});
    v.push_back({"text", text_like(100000, 5)});
    v.push_back({"zeros", Bytes(300000, 0)});
    Bytes repetitive;
    for (int i = 0; i < 20000; i++) repetitive.push_back(uint8_t("abcdefg"[i % 7]));
    v.push_back({"repetitive", repetitive});
    v.push_back({"random", random_bytes(65536, 6)});
    // The same random run twice, farther apart than the window.
    Bytes far = random_bytes(40000, 7);
    far.insert(far.end(), far.begin(), far.end());
    v.push_back({"repeat beyond window", far});
    Bytes mixed = text_like(50000, 8);
    Bytes noise = random_bytes(20000, 9);
    mixed.insert(mixed.begin() + 25000, noise.begin(), noise.end());
    v.push_back({"mixed", mixed});
    return v;
  }();
  return s;
}

// --- The oracle ---------------------------------------------------------

constexpr int kZlibBits = 15, kRawBits = -15, kGzipBits = 31;

int window_bits_of(Method m) {
  return m == Method::kZlib ? kZlibBits : m == Method::kDeflate ? kRawBits : kGzipBits;
}

struct OracleOptions {
  int level = Z_DEFAULT_COMPRESSION;
  int strategy = Z_DEFAULT_STRATEGY;
  size_t flush_every = 0;  // a sync flush (an empty stored block) every so many bytes
  gz_header* header = nullptr;
};

Bytes oracle_pack(const Bytes& in, int window_bits, const OracleOptions& o = {}) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, o.level, Z_DEFLATED, window_bits, 8, o.strategy), Z_OK);
  if (o.header) {
    EXPECT_EQ(deflateSetHeader(&z, o.header), Z_OK);
  }
  Bytes out(deflateBound(&z, uLong(in.size())) + 64 + in.size() / 8);
  z.next_out = out.data();
  z.avail_out = uInt(out.size());
  size_t pos = 0;
  const size_t step = o.flush_every ? o.flush_every : in.size() + 1;
  for (;;) {
    const size_t n = std::min(step, in.size() - pos);
    z.next_in = const_cast<Bytes::value_type*>(in.data()) + pos;
    z.avail_in = uInt(n);
    pos += n;
    const bool last = pos == in.size();
    int r = ::deflate(&z, last ? Z_FINISH : Z_SYNC_FLUSH);
    if (last) {
      EXPECT_EQ(r, Z_STREAM_END);
      break;
    }
  }
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::optional<Bytes> oracle_unpack(const Bytes& in, int window_bits, size_t expected) {
  z_stream z{};
  EXPECT_EQ(inflateInit2(&z, window_bits), Z_OK);
  Bytes out(expected + 1);
  z.next_in = const_cast<Bytes::value_type*>(in.data());
  z.avail_in = uInt(in.size());
  z.next_out = out.data();
  z.avail_out = uInt(out.size());
  int r = ::inflate(&z, Z_FINISH);
  const bool whole = r == Z_STREAM_END && z.avail_in == 0;
  out.resize(z.total_out);
  inflateEnd(&z);
  if (!whole) return std::nullopt;
  return out;
}

const Method kMethods[] = {Method::kZlib, Method::kDeflate, Method::kGzip};
const char* name_of(Method m) {
  return m == Method::kZlib ? "zlib" : m == Method::kDeflate ? "deflate" : "gzip";
}

// --- Interoperability ---------------------------------------------------

TEST(HostDeflate, OurStreamsAreReadBySystemZlib) {
  for (Method m : kMethods)
    for (const auto& s : samples()) {
      Outcome packed = compress(m, s.data);
      ASSERT_EQ(packed.status, Status::kOk) << name_of(m) << " " << s.name;
      auto back = oracle_unpack(packed.bytes, window_bits_of(m), s.data.size());
      ASSERT_TRUE(back) << name_of(m) << " " << s.name;
      EXPECT_EQ(*back, s.data) << name_of(m) << " " << s.name;
    }
}

TEST(HostDeflate, SystemZlibStreamsAreReadByUs) {
  const OracleOptions variants[] = {
      {Z_NO_COMPRESSION},         {1},
      {Z_DEFAULT_COMPRESSION},    {9},
      {6, Z_HUFFMAN_ONLY},        {6, Z_RLE},
      {6, Z_FIXED},               {6, Z_DEFAULT_STRATEGY, 1000},  // many blocks, empty stored blocks
      {Z_NO_COMPRESSION, Z_DEFAULT_STRATEGY, 777},
  };
  for (Method m : kMethods)
    for (const auto& s : samples())
      for (size_t v = 0; v < std::size(variants); v++) {
        Bytes packed = oracle_pack(s.data, window_bits_of(m), variants[v]);
        Outcome back = decompress(m, packed);
        ASSERT_EQ(back.status, Status::kOk) << name_of(m) << " " << s.name << " variant " << v;
        EXPECT_EQ(back.bytes, s.data) << name_of(m) << " " << s.name << " variant " << v;
      }
}

TEST(HostDeflate, GzipOptionalHeaderFieldsAreSkippedAndChecked) {
  Bytes data = text_like(5000, 10);
  char name[] = "file.txt", comment[] = "a comment";
  Bytes extra = {'A', 'B', 2, 0, 'x', 'y'};
  gz_header h{};
  h.name = reinterpret_cast<Bytef*>(name);
  h.comment = reinterpret_cast<Bytef*>(comment);
  h.extra = extra.data();
  h.extra_len = uInt(extra.size());
  h.hcrc = 1;
  OracleOptions o;
  o.header = &h;
  Bytes packed = oracle_pack(data, kGzipBits, o);
  ASSERT_EQ(packed[3], 0x02 | 0x04 | 0x08 | 0x10);
  Outcome back = decompress(Method::kGzip, packed);
  ASSERT_EQ(back.status, Status::kOk);
  EXPECT_EQ(back.bytes, data);

  // The header CRC covers the name: change one letter of it.
  Bytes bad = packed;
  auto at = std::search(bad.begin(), bad.end(), name, name + 4);
  ASSERT_NE(at, bad.end());
  *at = 'F';
  EXPECT_EQ(decompress(Method::kGzip, bad).status, Status::kBadData);
}

// --- Known output -------------------------------------------------------

TEST(HostDeflate, EmptyInputDeflatesToTwoBytes) {
  Outcome r = compress(Method::kDeflate, {});
  EXPECT_EQ(r.bytes, (Bytes{0x03, 0x00}));
  EXPECT_EQ(compress(Method::kZlib, {}).bytes, (Bytes{0x78, 0x01, 0x03, 0x00, 0, 0, 0, 1}));
  Bytes gz = compress(Method::kGzip, {}).bytes;
  EXPECT_EQ(gz, (Bytes{31, 139, 8, 0, 0, 0, 0, 0, 4, 4, 0x03, 0x00, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(HostDeflate, RepetitiveInputShrinks) {
  Bytes zeros(100000, 0);
  EXPECT_LT(compress(Method::kDeflate, zeros).bytes.size(), 1000u);
}

// Data that starts like a gzip stream is compressed like any other, so that
// decompressing gives back exactly what was compressed.
TEST(HostDeflate, DataStartingWithGzipMagicRoundTrips) {
  Bytes data = {31, 139, 8, 'n', 'o', 't', ' ', 'g', 'z'};
  Outcome packed = compress(Method::kGzip, data);
  ASSERT_EQ(packed.status, Status::kOk);
  EXPECT_NE(packed.bytes, data);
  EXPECT_EQ(decompress(Method::kGzip, packed.bytes).bytes, data);
}

// --- The sizing contract ------------------------------------------------

TEST(HostDeflate, ShortOutputIsCountedAndTheFitPartStored) {
  const Bytes& data = samples()[3].data;  // text
  for (Method m : kMethods) {
    Bytes packed = compress(m, data).bytes;
    Result need = (m == Method::kZlib ? zlib_compress : m == Method::kGzip ? gzip_compress : deflate)(
        {}, data);
    EXPECT_EQ(need.status, Status::kOutputTooSmall) << name_of(m);
    EXPECT_EQ(need.size, packed.size()) << name_of(m);

    auto unpack = m == Method::kZlib ? zlib_decompress : m == Method::kGzip ? gzip_decompress : inflate;
    Result measured = unpack({}, packed);
    EXPECT_EQ(measured.status, Status::kOutputTooSmall) << name_of(m);
    EXPECT_EQ(measured.size, data.size()) << name_of(m);

    Bytes exact(data.size());
    EXPECT_EQ(unpack(exact, packed).status, Status::kOk) << name_of(m);
    EXPECT_EQ(exact, data) << name_of(m);
  }
  // Raw inflate into a buffer one byte short stores all it can.
  Bytes packed = compress(Method::kDeflate, data).bytes;
  Bytes partial(data.size() - 1);
  Result r = inflate(partial, packed);
  EXPECT_EQ(r.status, Status::kOutputTooSmall);
  EXPECT_EQ(r.size, data.size());
  EXPECT_TRUE(std::equal(partial.begin(), partial.end(), data.begin()));
}

TEST(HostDeflate, GzipStoredSizeAboveCapacityAsksForItWithoutInflating) {
  Bytes packed = compress(Method::kGzip, Bytes(100, 'x')).bytes;
  Bytes small(5);
  Result r = gzip_decompress(small, packed);
  EXPECT_EQ(r.status, Status::kOutputTooSmall);
  EXPECT_EQ(r.size, 100u);
  EXPECT_EQ(small, Bytes(5, 0));
}

// An untrusted trailer must not make anyone allocate gigabytes.
TEST(HostDeflate, GzipStoredSizeBeyondWhatTheDataCanHoldIsBadData) {
  Bytes packed = compress(Method::kGzip, bytes_of("hello")).bytes;
  for (int i = 1; i <= 4; i++) packed[packed.size() - i] = 0xFF;
  EXPECT_EQ(gzip_decompress({}, packed).status, Status::kBadData);
  EXPECT_EQ(decompress(Method::kGzip, packed).status, Status::kBadData);
}

TEST(HostDeflate, DecompressSizeHintIsOnlyAHint) {
  const Bytes& data = samples()[3].data;
  for (Method m : kMethods) {
    Bytes packed = compress(m, data).bytes;
    for (size_t hint : {size_t(0), size_t(10), data.size(), data.size() + 1000, SIZE_MAX}) {
      Outcome back = decompress(m, packed, hint);
      ASSERT_EQ(back.status, Status::kOk) << name_of(m) << " hint " << hint;
      EXPECT_EQ(back.bytes, data) << name_of(m) << " hint " << hint;
    }
  }
}

TEST(HostDeflate, MethodWords) {
  EXPECT_EQ(method_from_word("zlib"), Method::kZlib);
  EXPECT_EQ(method_from_word("deflate"), Method::kDeflate);
  EXPECT_EQ(method_from_word("GZIP"), Method::kGzip);
  EXPECT_FALSE(method_from_word("lz"));
  EXPECT_FALSE(method_from_word(""));
}

// --- Malformed streams --------------------------------------------------

// Builds DEFLATE bit streams by hand: fields least significant bit first,
// Huffman codes most significant bit first.
struct Bits : testing::LsbBitWriter<Bits> {
  Bits& code(uint32_t c, unsigned len) {
    for (unsigned i = len; i-- > 0;) put((c >> i) & 1, 1);
    return *this;
  }
};

// Fixed-code symbols.
Bits& lit(Bits& b, uint32_t s) {
  if (s < 144) return b.code(0x30 + s, 8);
  if (s < 256) return b.code(0x190 + s - 144, 9);
  if (s < 280) return b.code(s - 256, 7);
  return b.code(0xC0 + s - 280, 8);
}
Bits& dist(Bits& b, uint32_t s) { return b.code(s, 5); }

Bytes fixed_block(std::initializer_list<std::pair<uint32_t, int>> symbols) {
  Bits b;
  b.put(1, 1).put(1, 2);
  for (auto [s, d] : symbols) {
    lit(b, s);
    if (d >= 0) dist(b, uint32_t(d));
  }
  return b.done();
}

// A dynamic block header whose code-length code gives 1-bit codes to the two
// symbols `low` < `high` (0 and 1 as codes), followed by `body`.
Bits dynamic_header(unsigned low, unsigned high) {
  static const unsigned order[] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
  unsigned last = 0;
  for (unsigned i = 0; i < 19; i++)
    if (order[i] == low || order[i] == high) last = i;
  Bits b;
  b.put(1, 1).put(2, 2).put(0, 5).put(0, 5).put(last + 1 - 4, 4);  // HLIT 257, HDIST 1
  for (unsigned i = 0; i <= last; i++) b.put(order[i] == low || order[i] == high ? 1 : 0, 3);
  return b;
}

TEST(HostDeflate, MalformedRawStreamsAreRefusedWithTheirStatus) {
  struct Case {
    const char* what;
    Bytes stream;
    Status expected;
  };
  Bits repeat_past = dynamic_header(1, 18);
  repeat_past.code(1, 1).put(127, 7).code(1, 1).put(127, 7);  // 138 + 138 zeros > 258 lengths
  Bits repeat_first = dynamic_header(1, 16);
  repeat_first.code(1, 1).put(0, 2);  // "repeat the previous length" with none before
  Bits oversubscribed;
  oversubscribed.put(1, 1).put(2, 2).put(0, 5).put(0, 5).put(0, 4).put(1, 3).put(1, 3).put(1, 3).put(0, 3);

  const Case cases[] = {
      {"empty input", {}, Status::kBadData},
      {"block type 3", Bits().put(1, 1).put(3, 2).done(), Status::kBadBlockType},
      {"stored block past the input", {0x01, 10, 0, 0xF5, 0xFF, 'a', 'b', 'c'}, Status::kStoredPastInput},
      {"stored block with a wrong NLEN", {0x01, 1, 0, 0, 0, 'a'}, Status::kBadData},
      {"stored header cut short", {0x01, 1, 0}, Status::kBadData},
      {"first symbol a match", fixed_block({{257, 0}}), Status::kDistanceTooFar},
      {"distance beyond the output", fixed_block({{'a', -1}, {257, 1}}), Status::kDistanceTooFar},
      {"length symbol 286", fixed_block({{'a', -1}, {286, -1}}), Status::kBadData},
      {"length symbol 287", fixed_block({{'a', -1}, {287, -1}}), Status::kBadData},
      {"distance symbol 30", fixed_block({{'a', -1}, {257, 30}}), Status::kBadData},
      {"distance symbol 31", fixed_block({{'a', -1}, {257, 31}}), Status::kBadData},
      {"no end of block", Bits().put(1, 1).put(1, 2).code(0x30 + 'a', 8).done(), Status::kBadData},
      {"not final, then nothing", {0x00, 0x00, 0x00, 0xFF, 0xFF}, Status::kBadData},
      {"code lengths repeated past their count", repeat_past.done(), Status::kBadData},
      {"repeat with no previous length", repeat_first.done(), Status::kBadData},
      {"over-subscribed code-length code", oversubscribed.done(), Status::kBadData},
  };
  for (const auto& c : cases) {
    Bytes out(64);
    EXPECT_EQ(inflate(out, c.stream).status, c.expected) << c.what;
    EXPECT_EQ(inflate({}, c.stream).status, c.expected) << c.what << " (measuring)";
  }
}

TEST(HostDeflate, StoredBlockOfLengthZeroIsAccepted) {
  Bytes stream = {0x01, 0x00, 0x00, 0xFF, 0xFF};
  Result r = inflate({}, stream);
  EXPECT_EQ(r.status, Status::kOk);
  EXPECT_EQ(r.size, 0u);
}

TEST(HostDeflate, ZlibHeaderAndCheckValueAreVerified) {
  Bytes good = oracle_pack(bytes_of("hello hello hello"), kZlibBits);
  ASSERT_EQ(good[0], 0x78);
  ASSERT_EQ(good[1], 0x9C);  // the default header of other writers is accepted
  EXPECT_EQ(decompress(Method::kZlib, good).bytes, bytes_of("hello hello hello"));

  auto with_header = [&](uint8_t cmf, uint8_t flg) {
    Bytes b = good;
    b[0] = cmf;
    b[1] = flg;
    return b;
  };
  auto check_flg = [](uint8_t cmf, uint8_t flags) {  // completes FCHECK
    return uint8_t(flags + (31 - (cmf * 256 + flags) % 31) % 31);
  };
  Bytes bad_adler = good;
  bad_adler.back() ^= 1;
  const std::pair<const char*, Bytes> cases[] = {
      {"preset dictionary", with_header(0x78, 0x20)},
      {"header check", with_header(0x78, 0x9D)},
      {"method 7", with_header(0x77, check_flg(0x77, 0))},
      {"window above 32K", with_header(0x88, check_flg(0x88, 0))},
      {"Adler-32 mismatch", bad_adler},
      {"shorter than a frame", Bytes{0x78, 0x9C, 0x03, 0x00, 0x00}},
  };
  for (const auto& [what, stream] : cases) {
    Bytes out(64);
    EXPECT_EQ(zlib_decompress(out, stream).status, Status::kBadData) << what;
  }
}

TEST(HostDeflate, GzipHeaderAndTrailerAreVerified) {
  const Bytes data = bytes_of("gzip gzip gzip gzip");
  const Bytes good = compress(Method::kGzip, data).bytes;
  auto changed = [&](size_t at, uint8_t v) {
    Bytes b = good;
    b[at < b.size() ? at : b.size() + at] = v;  // negative offsets count from the end
    return b;
  };
  Bytes name_without_end = good;
  name_without_end[3] = 0x08;  // FNAME, and no NUL before the trailer
  for (size_t i = 10; i < name_without_end.size() - 8; i++)
    if (!name_without_end[i]) name_without_end[i] = 'n';
  Bytes long_extra = good;
  long_extra[3] = 0x04;
  long_extra[10] = 0xFF;
  long_extra[11] = 0x00;
  const std::pair<const char*, Bytes> cases[] = {
      {"first magic byte", changed(0, 30)},
      {"second magic byte", changed(1, 138)},
      {"method", changed(2, 7)},
      {"reserved flag", changed(3, 0x20)},
      {"CRC-32", changed(size_t(-8), good[good.size() - 8] ^ 1)},
      {"stored size one more", changed(size_t(-4), good[good.size() - 4] + 1)},
      {"stored size one less", changed(size_t(-4), good[good.size() - 4] - 1)},
      {"name runs into the trailer", name_without_end},
      {"extra field longer than the data", long_extra},
      {"shorter than a frame", Bytes(good.begin(), good.begin() + 17)},
  };
  for (const auto& [what, stream] : cases) {
    Bytes out(data.size() + 64);
    EXPECT_EQ(gzip_decompress(out, stream).status, Status::kBadData) << what;
    EXPECT_NE(decompress(Method::kGzip, stream).status, Status::kOk) << what;
  }
}

// A stream cut anywhere is refused, never answered with what was decoded so
// far.
TEST(HostDeflate, EveryTruncationIsRefused) {
  const Bytes data = text_like(3000, 11);
  for (Method m : kMethods) {
    Bytes ours = compress(m, data).bytes;
    Bytes theirs = oracle_pack(data, window_bits_of(m));
    for (const Bytes* stream : {&ours, &theirs})
      for (size_t len = 0; len < stream->size(); len++) {
        Bytes cut(stream->begin(), stream->begin() + len);
        ASSERT_NE(decompress(m, cut).status, Status::kOk) << name_of(m) << " cut at " << len;
      }
  }
}

// Random bytes and random damage to good streams: any status but a crash, and
// (under the sanitizers) no read or write outside the spans.
TEST(HostDeflate, RandomAndDamagedInputNeverEscapesItsBuffers) {
  std::mt19937 gen(12);
  const Bytes good = compress(Method::kDeflate, text_like(2000, 13)).bytes;
  const Bytes good_dynamic = oracle_pack(text_like(2000, 13), kRawBits);
  for (int round = 0; round < 3000; round++) {
    Bytes in;
    switch (round % 3) {
      case 0: in = random_bytes(gen() % 300, uint32_t(round)); break;
      case 1: in = good; break;
      default: in = good_dynamic; break;
    }
    if (round % 3 && !in.empty())
      for (int k = 0; k < 3; k++) in[gen() % in.size()] ^= uint8_t(1 << (gen() % 8));
    Bytes out(gen() % 3000);
    Result r = inflate(out, in);
    if (r.status == Status::kOk) {
      EXPECT_LE(r.size, out.size());
    }
    zlib_decompress(out, in);
    gzip_decompress(out, in);
  }
}

}  // namespace
}  // namespace kiv::compression
