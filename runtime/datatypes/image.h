// image! (type id 53, parent series!): a rectangle of 32-bit pixels that
// behaves as a series of pixels.
//
//   word 0  header, type id 53 (kFlagOwned when an owner object holds it)
//   word 1  head: 0-based pixel offset, 0 <= head <= width x height
//   word 2  node of the image record, or 0 for an image without pixels
//   word 3  size: width in the low 16 bits, height in the high 16 bits
//
// The record is a byte series of three 32-bit words: flags, the slot of the
// image's bitmap in the handle registry (kind "image"), and the size. The
// pixels live in the back-end's Bitmap (view/backend/qt/image_backend.h),
// which is C++ heap memory: it never moves, so a Bitmap pointer stays good
// while the image value is reachable. The collector marks the record node
// and, through the image marker, the handle slot; a slot left unmarked is
// freed after the collection and its bitmap released.
//
// Pixel offsets count row by row: offset = y x width + x. At the language
// level a pixel is the tuple r.g.b.t, t being the transparency 255 - alpha.
// Sides are at most 65,535 and the pixel count at most 2^31 - 1 (offsets are
// 32-bit integers): larger sizes are refused with script/size-limit before
// anything is allocated.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/cell.h"

namespace kiv::image_backend {
struct Bitmap;
}

namespace kiv::image {

inline uint32_t width_of(const Cell* c) { return c->data3 & 0xFFFF; }
inline uint32_t height_of(const Cell* c) { return c->data3 >> 16; }
// Pixels of the bitmap (0 for an image without a record).
int64_t pixel_count(const Cell* c);

// The bitmap of an image value, null when it has none.
image_backend::Bitmap* bitmap_of(const Cell* c);

// The cell as an image! with head 0 over the bitmap (taken over: released
// with the record, or at once when the record cannot be made). A null bitmap
// makes an image without pixels of the given size.
Cell* make_in(Cell* cell, image_backend::Bitmap* bitmap, uint32_t width = 0, uint32_t height = 0);
// A new image of the size whose pixels are the bytes as the argb channel
// holds them (B, G, R, A a pixel); bytes may be null for an empty size.
// Sides above 65,535 raise script/size-limit, a failed allocation
// internal/no-memory.
Cell* make_from_argb(Cell* cell, uint32_t width, uint32_t height, const uint8_t* bytes);

// Channels (kinds): 0 alpha (one byte a pixel, 255 - alpha), 1 rgb (three),
// 2 argb (the raw pixel memory, four).
enum Channel : int { kAlpha = 0, kRgb = 1, kArgb = 2 };
// A new binary! of all pixels (from offset 0, whatever the head) in out.
Cell* extract_channel(const Cell* image, int kind, Cell* out);

// True when the bytes start with a PNG, JPEG, BMP, GIF or TIFF signature.
bool known_format_q(const uint8_t* bytes, size_t size);
// A new image decoded from the bytes into out: script/size-limit for sides
// above 65,535, internal/no-memory when the pixels cannot be had,
// access/bad-media for damaged or unknown data.
Cell* decode_bytes(const uint8_t* bytes, size_t size, Cell* out);
// The image decoded from a binary! (bytes from its head), or from a file!
// read first (access/cannot-open with the file when it cannot be read or
// decoded).
Cell* decode(const Cell* source, Cell* out);
// The image encoded in the format (0 BMP, 1 PNG, 2 GIF, 3 JPEG, 4 TIFF) as a
// new binary! in out; an image without pixels encodes as an empty binary.
Cell* encode(const Cell* image, int format, Cell* out);

// Routines for the codecs (registered by name, made with routine*):
//   image-decode [data]            decode
//   image-encode [img where format] encode (where is not used)
//   image-encode-bmp, -png, -gif, -jpeg, -tiff [img where]
void register_routines();

// Registers image! and the "image" handle kind.
void init();

}  // namespace kiv::image
