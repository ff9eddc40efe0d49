// The image back-end: the pixels behind every image! value, and the codecs
// that turn them into files and back.
//
// A Bitmap is width x height pixels, rows top to bottom without padding, each
// pixel the 32-bit word A<<24 | R<<16 | G<<8 | B in the machine's byte order
// (in memory on this little-endian machine: B, G, R, A). A is the true alpha
// (255 = opaque). Sides are 1 to kMaxSide; a Bitmap never has a zero side.
//
// This header is plain C++: it includes nothing of the runtime and nothing of
// Qt. Pixel work (create, copy, region, scale, flip, premultiply) and the BMP
// and GIF encoders are our own code; decoding every format and encoding PNG,
// JPEG and TIFF go through Qt's image readers and writers, which live in a
// module of their own (image_codec_qt.cpp, built as a shared object) loaded
// the first time a codec is needed, so programs that never touch an image
// file do not pay for loading Qt at start-up. No GUI application object and
// no display are needed: QImage reads and writes without them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kiv::image_backend {

constexpr uint32_t kMaxSide = 65535;
// Decoding refuses images whose pixels would take more than this many bytes
// (about 16,384 x 16,384): a damaged header must not make the process claim
// gigabytes it then touches.
constexpr uint64_t kMaxDecodedBytes = uint64_t{1} << 30;

struct Bitmap {
  uint32_t width;
  uint32_t height;
  uint32_t* pixels;  // width x height words, owned (malloc)
  // Every live bitmap is on one list from a plain global, so a leak checker
  // run at exit (after the handle registry's storage is destroyed) still
  // finds the bitmaps that live values held.
  Bitmap* previous = nullptr;
  Bitmap* next = nullptr;
  size_t count() const { return size_t{width} * height; }
};

// Encoder format index, as the codecs pass it.
enum Format : int { kBmp = 0, kPng = 1, kGif = 2, kJpeg = 3, kTiff = 4 };

enum class Status {
  kOk,
  kNoMemory,     // the pixel memory could not be had
  kTooLarge,     // a side above kMaxSide, or more than kMaxDecodedBytes to decode
  kUndecodable,  // no known format, or damaged or truncated data
  kNoCodec,      // the Qt codec module could not be loaded
  kBadFormat,    // an encoder format index outside the table
};

// A new bitmap with uninitialised pixels; null with *status set when a side
// is 0 or above kMaxSide (kTooLarge) or the memory cannot be had (kNoMemory).
Bitmap* create(uint32_t width, uint32_t height, Status* status);
void destroy(Bitmap* bitmap);

// New bitmaps made from an existing one; null when memory fails.
Bitmap* copy(const Bitmap& source);
// The rectangle, which must lie inside the source with both sides >= 1.
Bitmap* copy_region(const Bitmap& source, uint32_t x, uint32_t y, uint32_t width, uint32_t height);
// Nearest-neighbour scaling to the new size (sides 1 to kMaxSide).
Bitmap* scale(const Bitmap& source, uint32_t width, uint32_t height);
// Flipped vertically (the last row first).
Bitmap* flip(const Bitmap& source);

// In place: colour components multiplied by alpha / 255 (rounded), and back
// (divided, rounded, capped at 255; pixels with alpha 0 become 0).
void premultiply(Bitmap& bitmap);
void unpremultiply(Bitmap& bitmap);

// Decodes PNG, JPEG, BMP, GIF or TIFF bytes (the first frame). On kOk *out
// holds the new bitmap.
Status decode(const uint8_t* bytes, size_t size, Bitmap** out);

// Encodes in the format (0 BMP, 1 PNG, 2 GIF, 3 JPEG, 4 TIFF), replacing *out.
Status encode(const Bitmap& bitmap, int format, std::vector<uint8_t>* out);

// Our own encoders (encode calls them for BMP and GIF).
// BMP: 24 bits a pixel when every pixel is opaque, else 32 bits with an alpha
// mask (a version 4 header), so no alpha is lost.
void encode_bmp(const Bitmap& bitmap, std::vector<uint8_t>* out);
// GIF 89a, one frame: the exact colours when at most 256 (counting one
// transparent entry for pixels with alpha below 128), else a 256-colour
// palette from a median-cut quantiser with each pixel mapped to its nearest
// entry. LZW codes up to 12 bits.
void encode_gif(const Bitmap& bitmap, std::vector<uint8_t>* out);

// Whether the Qt codec module can be loaded (loading it when not yet done).
bool codec_available();

}  // namespace kiv::image_backend
