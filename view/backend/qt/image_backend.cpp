// The image back-end's own pixel work, the BMP encoder and the loading of the
// Qt codec module. See image_backend.h.
#include "view/backend/qt/image_backend.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "view/backend/qt/image_codec_abi.h"

namespace kiv::image_backend {

namespace {

Bitmap* g_live = nullptr;  // see Bitmap::next

Bitmap* allocate(uint32_t width, uint32_t height, Status* status) {
  if (width == 0 || height == 0 || width > kMaxSide || height > kMaxSide) {
    if (status) *status = Status::kTooLarge;
    return nullptr;
  }
  Bitmap* b = new (std::nothrow) Bitmap{width, height, nullptr, nullptr, nullptr};
  if (b) b->pixels = static_cast<uint32_t*>(std::malloc(size_t{width} * height * 4));
  if (!b || !b->pixels) {
    delete b;
    if (status) *status = Status::kNoMemory;
    return nullptr;
  }
  b->next = g_live;
  if (g_live) g_live->previous = b;
  g_live = b;
  if (status) *status = Status::kOk;
  return b;
}

// ---------------------------------------------------------------------------
// The codec module.

const KivImageCodec* g_codec = nullptr;
std::once_flag g_codec_once;

std::string directory_of_executable() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return {};
  std::string s(path, static_cast<size_t>(n));
  size_t slash = s.rfind('/');
  return slash == std::string::npos ? std::string() : s.substr(0, slash);
}

void load_codec() {
  // Beside the executable first, then the build directory this runtime was
  // built in (test programs in subdirectories of it).
  std::string places[] = {directory_of_executable(),
#ifdef KIV_IMAGE_MODULE_DIR
                          KIV_IMAGE_MODULE_DIR
#endif
  };
  for (const std::string& dir : places) {
    if (dir.empty()) continue;
    std::string path = dir + "/" + KIV_IMAGE_CODEC_MODULE;
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) continue;
    auto entry = reinterpret_cast<KivImageCodecEntry>(dlsym(module, KIV_IMAGE_CODEC_ENTRY));
    const KivImageCodec* codec = entry ? entry() : nullptr;
    if (codec && codec->version == KIV_IMAGE_CODEC_VERSION) {
      g_codec = codec;  // the module stays loaded for the life of the process
      return;
    }
    dlclose(module);
  }
}

const KivImageCodec* codec() {
  std::call_once(g_codec_once, load_codec);
  return g_codec;
}

Status status_of(int code) {
  switch (code) {
    case KIV_CODEC_OK: return Status::kOk;
    case KIV_CODEC_NO_MEMORY: return Status::kNoMemory;
    case KIV_CODEC_TOO_LARGE: return Status::kTooLarge;
    case KIV_CODEC_BAD_FORMAT: return Status::kBadFormat;
    default: return Status::kUndecodable;
  }
}

struct DecodeTarget {
  Bitmap* bitmap = nullptr;
  Status status = Status::kOk;
};

uint32_t* allocate_for_decoder(void* context, uint32_t width, uint32_t height) {
  auto* target = static_cast<DecodeTarget*>(context);
  if (target->bitmap) return nullptr;
  target->bitmap = allocate(width, height, &target->status);
  return target->bitmap ? target->bitmap->pixels : nullptr;
}

void append_bytes(void* context, const uint8_t* bytes, size_t size) {
  auto* out = static_cast<std::vector<uint8_t>*>(context);
  out->insert(out->end(), bytes, bytes + size);
}

// ---------------------------------------------------------------------------
// BMP.

void put16(std::vector<uint8_t>* out, uint32_t v) {
  out->push_back(static_cast<uint8_t>(v));
  out->push_back(static_cast<uint8_t>(v >> 8));
}
void put32(std::vector<uint8_t>* out, uint32_t v) {
  put16(out, v & 0xFFFF);
  put16(out, v >> 16);
}

}  // namespace

Bitmap* create(uint32_t width, uint32_t height, Status* status) { return allocate(width, height, status); }

void destroy(Bitmap* bitmap) {
  if (!bitmap) return;
  if (bitmap->previous) bitmap->previous->next = bitmap->next;
  else g_live = bitmap->next;
  if (bitmap->next) bitmap->next->previous = bitmap->previous;
  std::free(bitmap->pixels);
  delete bitmap;
}

Bitmap* copy(const Bitmap& source) { return copy_region(source, 0, 0, source.width, source.height); }

Bitmap* copy_region(const Bitmap& source, uint32_t x, uint32_t y, uint32_t width, uint32_t height) {
  Bitmap* b = allocate(width, height, nullptr);
  if (!b) return nullptr;
  for (uint32_t row = 0; row < height; ++row)
    std::memcpy(b->pixels + size_t{row} * width, source.pixels + size_t{y + row} * source.width + x,
                size_t{width} * 4);
  return b;
}

Bitmap* scale(const Bitmap& source, uint32_t width, uint32_t height) {
  Bitmap* b = allocate(width, height, nullptr);
  if (!b) return nullptr;
  for (uint32_t row = 0; row < height; ++row) {
    // The source pixel whose area holds the centre of the target pixel.
    uint32_t sy = static_cast<uint32_t>((uint64_t{row} * 2 + 1) * source.height / (uint64_t{height} * 2));
    const uint32_t* from = source.pixels + size_t{sy} * source.width;
    uint32_t* to = b->pixels + size_t{row} * width;
    for (uint32_t col = 0; col < width; ++col)
      to[col] = from[(uint64_t{col} * 2 + 1) * source.width / (uint64_t{width} * 2)];
  }
  return b;
}

Bitmap* flip(const Bitmap& source) {
  Bitmap* b = allocate(source.width, source.height, nullptr);
  if (!b) return nullptr;
  for (uint32_t row = 0; row < source.height; ++row)
    std::memcpy(b->pixels + size_t{row} * source.width, source.pixels + size_t{source.height - 1 - row} * source.width,
                size_t{source.width} * 4);
  return b;
}

void premultiply(Bitmap& bitmap) {
  for (size_t i = 0, n = bitmap.count(); i < n; ++i) {
    uint32_t p = bitmap.pixels[i];
    uint32_t a = p >> 24;
    auto mul = [a](uint32_t c) { return (c * a + 127) / 255; };
    bitmap.pixels[i] = a << 24 | mul(p >> 16 & 0xFF) << 16 | mul(p >> 8 & 0xFF) << 8 | mul(p & 0xFF);
  }
}

void unpremultiply(Bitmap& bitmap) {
  for (size_t i = 0, n = bitmap.count(); i < n; ++i) {
    uint32_t p = bitmap.pixels[i];
    uint32_t a = p >> 24;
    if (a == 0) {
      bitmap.pixels[i] = 0;
      continue;
    }
    auto div = [a](uint32_t c) {
      uint32_t v = (c * 255 + a / 2) / a;
      return v > 255 ? 255u : v;
    };
    bitmap.pixels[i] = a << 24 | div(p >> 16 & 0xFF) << 16 | div(p >> 8 & 0xFF) << 8 | div(p & 0xFF);
  }
}

bool codec_available() { return codec() != nullptr; }

Status decode(const uint8_t* bytes, size_t size, Bitmap** out) {
  *out = nullptr;
  const KivImageCodec* c = codec();
  if (!c) return Status::kNoCodec;
  DecodeTarget target;
  int code = c->decode(bytes, size, kMaxSide, kMaxDecodedBytes, allocate_for_decoder, &target);
  Status status = target.status != Status::kOk ? target.status : status_of(code);
  if (status != Status::kOk || !target.bitmap) {
    destroy(target.bitmap);
    return status == Status::kOk ? Status::kUndecodable : status;
  }
  *out = target.bitmap;
  return Status::kOk;
}

Status encode(const Bitmap& bitmap, int format, std::vector<uint8_t>* out) {
  out->clear();
  try {
    switch (format) {
      case kBmp:
        encode_bmp(bitmap, out);
        return Status::kOk;
      case kGif:
        encode_gif(bitmap, out);
        return Status::kOk;
      case kPng:
      case kJpeg:
      case kTiff: {
        const KivImageCodec* c = codec();
        if (!c) return Status::kNoCodec;
        return status_of(c->encode(bitmap.pixels, bitmap.width, bitmap.height, format, append_bytes, out));
      }
      default:
        return Status::kBadFormat;
    }
  } catch (const std::bad_alloc&) {
    out->clear();
    return Status::kNoMemory;
  }
}

void encode_bmp(const Bitmap& bitmap, std::vector<uint8_t>* out) {
  bool opaque = true;
  for (size_t i = 0, n = bitmap.count(); i < n && opaque; ++i) opaque = (bitmap.pixels[i] >> 24) == 0xFF;
  uint32_t w = bitmap.width, h = bitmap.height;
  uint32_t row_bytes = opaque ? (w * 3 + 3) & ~3u : w * 4;
  uint32_t info_size = opaque ? 40 : 108;  // version 4 header: it carries the alpha mask
  uint32_t offset = 14 + info_size;
  uint64_t file_size = offset + uint64_t{row_bytes} * h;
  out->clear();
  out->reserve(static_cast<size_t>(file_size));
  out->push_back('B');
  out->push_back('M');
  put32(out, file_size > UINT32_MAX ? 0 : static_cast<uint32_t>(file_size));
  put32(out, 0);
  put32(out, offset);
  put32(out, info_size);
  put32(out, w);
  put32(out, h);  // positive: rows bottom-up
  put16(out, 1);
  put16(out, opaque ? 24 : 32);
  put32(out, opaque ? 0 : 3);  // BI_RGB or BI_BITFIELDS
  put32(out, row_bytes * h);
  put32(out, 2835);  // 72 dots an inch
  put32(out, 2835);
  put32(out, 0);
  put32(out, 0);
  if (!opaque) {
    put32(out, 0x00FF0000);  // red, green, blue and alpha masks
    put32(out, 0x0000FF00);
    put32(out, 0x000000FF);
    put32(out, 0xFF000000);
    put32(out, 0x73524742);  // colour space "sRGB"
    for (int i = 0; i < 12; ++i) put32(out, 0);  // end points and gamma: unused with sRGB
  }
  for (uint32_t row = h; row-- > 0;) {
    const uint32_t* p = bitmap.pixels + size_t{row} * w;
    size_t start = out->size();
    for (uint32_t col = 0; col < w; ++col) {
      uint32_t v = p[col];
      out->push_back(static_cast<uint8_t>(v));
      out->push_back(static_cast<uint8_t>(v >> 8));
      out->push_back(static_cast<uint8_t>(v >> 16));
      if (!opaque) out->push_back(static_cast<uint8_t>(v >> 24));
    }
    while (out->size() - start < row_bytes) out->push_back(0);
  }
}

}  // namespace kiv::image_backend
