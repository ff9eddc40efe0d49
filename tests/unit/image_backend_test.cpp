// The image back-end: codecs round trips of images made here (PNG, BMP and
// GIF exact, JPEG within a tolerance, TIFF), our GIF quantiser, damaged,
// truncated and oversized files (an error, never a crash or a huge
// allocation), the pixel operations, and the geometry routines on exact
// cases. Runs headless: the Qt codec module needs no display.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/image.h"
#include "runtime/datatypes/image_geometry.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/pair.h"
#include "tests/unit/actions_test_support.h"
#include "view/backend/qt/image_backend.h"

namespace kiv::testing {
namespace {

using image_backend::Bitmap;
using image_backend::Status;
using Bytes = std::vector<uint8_t>;

struct Deleter {
  void operator()(Bitmap* b) const { image_backend::destroy(b); }
};
using Held = std::unique_ptr<Bitmap, Deleter>;

Held make(uint32_t w, uint32_t h, uint32_t (*fill)(uint32_t x, uint32_t y)) {
  Status s;
  Held b(image_backend::create(w, h, &s));
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x) b->pixels[y * w + x] = fill(x, y);
  return b;
}

Held decode(const Bytes& bytes, Status* status) {
  Bitmap* out = nullptr;
  *status = image_backend::decode(bytes.data(), bytes.size(), &out);
  return Held(out);
}

Bytes encode(const Bitmap& b, int format) {
  Bytes out;
  EXPECT_EQ(image_backend::encode(b, format, &out), Status::kOk) << "format " << format;
  return out;
}

// Alpha and colour that vary over the image, every alpha present.
uint32_t varied(uint32_t x, uint32_t y) {
  return ((x * 37 + y * 11) & 0xFF) << 24 | ((x * 7) & 0xFF) << 16 | ((y * 13) & 0xFF) << 8 | ((x ^ y) & 0xFF);
}
uint32_t opaque_varied(uint32_t x, uint32_t y) { return varied(x, y) | 0xFF000000u; }
uint32_t smooth(uint32_t x, uint32_t y) { return 0xFF000000u | (x * 4) << 16 | (y * 4) << 8 | 128; }
// Eight colours and holes of full transparency.
uint32_t few_colours(uint32_t x, uint32_t y) {
  static const uint32_t kColours[] = {0xFFFF0000, 0xFF00FF00, 0xFF0000FF, 0xFF000000,
                                      0xFFFFFFFF, 0xFF123456, 0xFF808080, 0xFFFEDCBA};
  if ((x * 5 + y * 3) % 17 == 0) return 0;
  return kColours[(x * 31 + y * 17 + x * y) % 8];
}

TEST(ImageBackend, CodecModuleLoadsWithoutADisplay) {
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  EXPECT_TRUE(image_backend::codec_available());
}

TEST(ImageBackend, LosslessFormatsRoundTripExactly) {
  Held img = make(61, 23, varied);
  Held opaque = make(13, 7, opaque_varied);
  struct Case {
    const char* what;
    const Bitmap* image;
    int format;
  } cases[] = {
      {"png with alpha", img.get(), image_backend::kPng},
      {"bmp with alpha (32-bit)", img.get(), image_backend::kBmp},
      {"bmp opaque (24-bit, padded rows)", opaque.get(), image_backend::kBmp},
      {"tiff opaque", opaque.get(), image_backend::kTiff},
  };
  for (const Case& c : cases) {
    Bytes file = encode(*c.image, c.format);
    Status s;
    Held back = decode(file, &s);
    ASSERT_EQ(s, Status::kOk) << c.what;
    ASSERT_EQ(back->width, c.image->width) << c.what;
    ASSERT_EQ(back->height, c.image->height) << c.what;
    EXPECT_EQ(std::memcmp(back->pixels, c.image->pixels, c.image->count() * 4), 0) << c.what;
  }
  EXPECT_EQ(encode(*opaque, image_backend::kBmp)[28], 24);  // bits a pixel
  EXPECT_EQ(encode(*img, image_backend::kBmp)[28], 32);
}

TEST(ImageBackend, GifKeepsFewColoursExactlyAndTransparencyAsAlphaZero) {
  // Large enough for the LZW table to fill and start again many times.
  for (auto [w, h] : {std::pair{1u, 1u}, std::pair{5u, 3u}, std::pair{317u, 211u}}) {
    Held img = make(w, h, few_colours);
    Status s;
    Held back = decode(encode(*img, image_backend::kGif), &s);
    ASSERT_EQ(s, Status::kOk) << w << "x" << h;
    ASSERT_EQ(back->width, w);
    ASSERT_EQ(back->height, h);
    for (size_t i = 0; i < img->count(); ++i) {
      uint32_t want = img->pixels[i];
      uint32_t got = back->pixels[i];
      if (want >> 24 == 0) ASSERT_EQ(got >> 24, 0u) << "pixel " << i;
      else ASSERT_EQ(got, want) << "pixel " << i;
    }
  }
  // Exactly 256 colours, no transparency: still exact.
  Held all = make(16, 16, [](uint32_t x, uint32_t y) { return 0xFF000000u | (x * 16 + y) << 8 | (x * 16 + y); });
  Status s;
  Held back = decode(encode(*all, image_backend::kGif), &s);
  ASSERT_EQ(s, Status::kOk);
  EXPECT_EQ(std::memcmp(back->pixels, all->pixels, all->count() * 4), 0);
}

TEST(ImageBackend, GifQuantisesManyColoursToNearPalette) {
  Held img = make(64, 64, smooth);  // 4,096 colours
  Status s;
  Held back = decode(encode(*img, image_backend::kGif), &s);
  ASSERT_EQ(s, Status::kOk);
  double total = 0;
  int worst = 0;
  for (size_t i = 0; i < img->count(); ++i) {
    for (int shift = 0; shift < 24; shift += 8) {
      int e = std::abs(int(img->pixels[i] >> shift & 0xFF) - int(back->pixels[i] >> shift & 0xFF));
      total += e;
      worst = std::max(worst, e);
    }
    ASSERT_EQ(back->pixels[i] >> 24, 0xFFu);
  }
  EXPECT_LT(total / (img->count() * 3), 6.0);
  EXPECT_LT(worst, 40);
}

TEST(ImageBackend, JpegRoundTripsWithinATolerance) {
  Held img = make(64, 48, smooth);
  Status s;
  Held back = decode(encode(*img, image_backend::kJpeg), &s);
  ASSERT_EQ(s, Status::kOk);
  ASSERT_EQ(back->width, 64u);
  ASSERT_EQ(back->height, 48u);
  double total = 0;
  for (size_t i = 0; i < img->count(); ++i) {
    ASSERT_EQ(back->pixels[i] >> 24, 0xFFu);
    for (int shift = 0; shift < 24; shift += 8)
      total += std::abs(int(img->pixels[i] >> shift & 0xFF) - int(back->pixels[i] >> shift & 0xFF));
  }
  EXPECT_LT(total / (img->count() * 3), 4.0);
}

TEST(ImageBackend, DamagedAndTruncatedFilesAreErrorsNeverCrashes) {
  Held img = make(40, 30, varied);
  Held few = make(40, 30, few_colours);
  std::mt19937 g(22);
  Status s;
  EXPECT_FALSE(decode(Bytes{}, &s));
  EXPECT_EQ(s, Status::kUndecodable);
  EXPECT_FALSE(decode(Bytes{'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e'}, &s));
  EXPECT_EQ(s, Status::kUndecodable);
  EXPECT_FALSE(decode(Bytes{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}, &s));
  EXPECT_EQ(s, Status::kUndecodable);
  for (int format : {image_backend::kPng, image_backend::kBmp, image_backend::kGif, image_backend::kJpeg,
                     image_backend::kTiff}) {
    Bytes file = encode(format == image_backend::kGif ? *few : *img, format);
    // Cut anywhere: an error, or (for formats that tolerate a short last
    // part) an image of the right size.
    for (size_t cut = 0; cut < file.size(); cut += 1 + file.size() / 40) {
      Held back = decode(Bytes(file.begin(), file.begin() + static_cast<long>(cut)), &s);
      if (s == Status::kOk) {
        EXPECT_LE(back->width, 40u);
        EXPECT_LE(back->height, 30u);
      } else {
        EXPECT_TRUE(s == Status::kUndecodable || s == Status::kTooLarge) << "format " << format << " cut " << cut;
      }
    }
    for (int i = 0; i < 40; ++i) {
      Bytes damaged = file;
      for (int k = 0; k < 3; ++k) damaged[g() % damaged.size()] ^= static_cast<uint8_t>(1u << (g() % 8));
      decode(damaged, &s);
      EXPECT_NE(s, Status::kNoCodec);
    }
  }
}

// A BMP header with its sides replaced: the size is refused before any
// pixel memory is claimed.
TEST(ImageBackend, OversizedHeadersAreRefusedBeforeAllocating) {
  Held img = make(2, 2, opaque_varied);
  Bytes file = encode(*img, image_backend::kBmp);
  auto with_size = [&](uint32_t w, uint32_t h) {
    Bytes b = file;
    std::memcpy(&b[18], &w, 4);
    std::memcpy(&b[22], &h, 4);
    return b;
  };
  Status s;
  EXPECT_FALSE(decode(with_size(70000, 2), &s));
  EXPECT_TRUE(s == Status::kTooLarge || s == Status::kUndecodable);
  // A GIF whose screen claims 30,000 x 30,000 (3.6 GB of pixels) in a few
  // bytes: refused from the header.
  Bytes gif = encode(*img, image_backend::kGif);
  size_t frame = 13 + 3 * (size_t{2} << (gif[10] & 7));  // after the global palette
  ASSERT_EQ(gif[frame], 0x2C);
  for (size_t i : {size_t{6}, size_t{8}, frame + 5, frame + 7}) gif[i] = 0x30, gif[i + 1] = 0x75;
  EXPECT_FALSE(decode(gif, &s));
  EXPECT_EQ(s, Status::kTooLarge);
  // Sides the type cannot hold are refused by create.
  EXPECT_EQ(image_backend::create(65536, 1, &s), nullptr);
  EXPECT_EQ(s, Status::kTooLarge);
  EXPECT_EQ(image_backend::create(0, 1, &s), nullptr);
  std::vector<uint8_t> out;
  EXPECT_EQ(image_backend::encode(*img, 9, &out), Status::kBadFormat);
}

TEST(ImageBackend, PixelOperations) {
  Held img = make(3, 2, [](uint32_t x, uint32_t y) { return y * 3 + x + 1; });
  Held region(image_backend::copy_region(*img, 1, 0, 2, 2));
  EXPECT_EQ(std::vector<uint32_t>(region->pixels, region->pixels + 4), (std::vector<uint32_t>{2, 3, 5, 6}));
  Held flipped(image_backend::flip(*img));
  EXPECT_EQ(std::vector<uint32_t>(flipped->pixels, flipped->pixels + 6), (std::vector<uint32_t>{4, 5, 6, 1, 2, 3}));
  Held bigger(image_backend::scale(*img, 6, 4));
  EXPECT_EQ(std::vector<uint32_t>(bigger->pixels, bigger->pixels + 6), (std::vector<uint32_t>{1, 1, 2, 2, 3, 3}));
  EXPECT_EQ(bigger->pixels[18], 4u);
  Held smaller(image_backend::scale(*img, 1, 1));
  EXPECT_EQ(smaller->pixels[0], 5u);  // the centre pixel
  Held alpha = make(1, 3, [](uint32_t, uint32_t y) { return y == 0 ? 0x80FF8040u : y == 1 ? 0x00FFFFFFu : 0xFF102030u; });
  image_backend::premultiply(*alpha);
  EXPECT_EQ(alpha->pixels[0], 0x80804020u);
  EXPECT_EQ(alpha->pixels[1], 0u);
  EXPECT_EQ(alpha->pixels[2], 0xFF102030u);
  image_backend::unpremultiply(*alpha);
  EXPECT_EQ(alpha->pixels[0], 0x80FF8040u);
  EXPECT_EQ(alpha->pixels[2], 0xFF102030u);
}

TEST(ImageGeometry, QuadTestsAndMappingOnExactCases) {
  geometry::Quad square = {0, 0, 2, 0, 2, 2, 0, 2};
  EXPECT_TRUE(geometry::inside_quad_q(square, 1, 1));
  EXPECT_TRUE(geometry::inside_quad_q(square, 2, 1));  // on an edge
  EXPECT_TRUE(geometry::inside_quad_q(square, 0, 0));  // a corner
  EXPECT_FALSE(geometry::inside_quad_q(square, 2.01, 1));
  EXPECT_FALSE(geometry::inside_quad_q(square, 1, -0.01));
  EXPECT_DOUBLE_EQ(geometry::edge_distance(1, 3, 0, 0, 5, 0), 3.0);

  // A 2x2 image onto the rectangle (0,0)-(2,2) gives back its pixels.
  uint32_t src[4] = {0xFF000001, 0xFF000002, 0xFF000003, 0xFF000004};
  int32_t l, t, w, h;
  std::vector<uint32_t> out = geometry::map_to_quad(src, 2, 2, square, &l, &t, &w, &h);
  EXPECT_EQ(l, 0);
  EXPECT_EQ(t, 0);
  EXPECT_EQ(w, 2);
  EXPECT_EQ(h, 2);
  EXPECT_EQ(out, (std::vector<uint32_t>(src, src + 4)));
  // Twice the size: each source pixel where it lands, blends between.
  std::vector<uint32_t> scaled = geometry::scale_to(src, 2, 2, 4, 4);
  ASSERT_EQ(scaled.size(), 16u);
  EXPECT_EQ(scaled[0], src[0]);
  EXPECT_EQ(scaled[2], src[1]);
  EXPECT_EQ(scaled[8], src[2]);
  EXPECT_EQ(scaled[1], 0xFF000002u);  // halfway between 1 and 2, rounded
  EXPECT_TRUE(geometry::map_to_quad(src, 0, 2, square, &l, &t, &w, &h).empty());

  geometry::Quad q = {1, 2, 3, 4, 5, 6, 7, 8};
  geometry::mirror_x(q, 1);
  EXPECT_EQ(q[2], -1.0f);
  EXPECT_EQ(q[3], 4.0f);

  uint32_t yuv_out[4];
  const uint8_t grey[8] = {128, 128, 128, 128, 0, 128, 255, 128};
  geometry::ycbcr_to_rgb(2, 1, grey, yuv_out);
  EXPECT_EQ(yuv_out[0], 0xFF808080u);
  EXPECT_EQ(yuv_out[1], 0xFF808080u);
  EXPECT_EQ(yuv_out[2], 0xFF000000u);
  EXPECT_EQ(yuv_out[3], 0xFFFFFFFFu);
}

class ImageTransform : public CoreTypesTest {};

TEST_F(ImageTransform, PointsPlaceAndMirrorTheImage) {
  RootedCell img;
  const uint8_t argb[16] = {1, 0, 0, 255, 2, 0, 0, 255, 3, 0, 0, 255, 4, 0, 0, 255};
  image::make_from_argb(img.get(), 2, 2, argb);
  RootedCell result;
  int32_t box[4];
  Cell points[4];
  pair::make_in(&points[0], 10, 20);
  image::transform(img.get(), result.get(), nullptr, nullptr, points, 1, box);
  ASSERT_EQ(TYPE_OF(result.get()), TYPE_IMAGE);
  EXPECT_EQ((std::vector<int32_t>{box[0], box[1], box[2], box[3]}), (std::vector<int32_t>{10, 20, 2, 2}));
  EXPECT_EQ(image::bitmap_of(result.get())->pixels[3], 0xFF000004u);
  // Two corners given right to left: mirrored in x, the width negated.
  pair::make_in(&points[0], 4, 0);
  pair::make_in(&points[1], 0, 4);
  image::transform(img.get(), result.get(), nullptr, nullptr, points, 2, box);
  EXPECT_EQ((std::vector<int32_t>{box[0], box[1], box[2], box[3]}), (std::vector<int32_t>{4, 0, -4, 4}));
  // A crop of one pixel placed at a point.
  Cell offset, size;
  pair::make_in(&offset, 1, 1);
  pair::make_in(&size, 5, 5);  // clipped to the image
  pair::make_in(&points[0], 0, 0);
  image::transform(img.get(), result.get(), &offset, &size, points, 1, box);
  EXPECT_EQ((std::vector<int32_t>{box[2], box[3]}), (std::vector<int32_t>{1, 1}));
  EXPECT_EQ(image::bitmap_of(result.get())->pixels[0], 0xFF000004u);
  // More than four points: none.
  image::transform(img.get(), result.get(), nullptr, nullptr, points, 5, box);
  EXPECT_EQ(TYPE_OF(result.get()), TYPE_NONE);
}

// The datatype's codec entries: every format back to equal pixels (JPEG
// close), the errors for damaged data, oversized images and images without
// pixels.
TEST_F(ImageTransform, EncodeAndDecodeThroughTheDatatype) {
  RootedCell img;
  image::make_from_argb(img.get(), 2, 1, std::vector<uint8_t>{1, 2, 3, 255, 4, 5, 6, 255}.data());
  for (int format = 0; format <= 4; ++format) {
    RootedCell file, back;
    image::encode(img.get(), format, file.get());
    ASSERT_EQ(TYPE_OF(file.get()), TYPE_BINARY);
    EXPECT_TRUE(image::known_format_q(binary::head_pointer(file.get()), binary::length(file.get()))) << format;
    image::decode(file.get(), back.get());
    ASSERT_EQ(TYPE_OF(back.get()), TYPE_IMAGE) << format;
    EXPECT_EQ(back->data3, img->data3);
    if (format != image_backend::kJpeg) {
      EXPECT_EQ(std::memcmp(image::bitmap_of(back.get())->pixels, image::bitmap_of(img.get())->pixels, 8), 0) << format;
    }
  }
  RootedCell junk = binary_of({'G', 'I', 'F', '8', '9', 'a', 1, 0});
  RootedCell out;
  Raised r = raised_by([&] { image::decode(junk.get(), out.get()); });
  EXPECT_EQ(r.id, "bad-media");
  r = raised_by([&] { image::make_from_argb(out.get(), 65536, 1, nullptr); });
  EXPECT_EQ(r.id, "size-limit");
  RootedCell empty;
  image::make_in(empty.get(), nullptr, 0, 4);
  image::encode(empty.get(), image_backend::kPng, out.get());
  EXPECT_EQ(binary::length(out.get()), 0);
  r = raised_by([&] { image::encode(img.get(), 7, out.get()); });
  EXPECT_EQ(r.id, "invalid-arg");
  EXPECT_FALSE(image::known_format_q(reinterpret_cast<const uint8_t*>("GIF8"), 4));
  EXPECT_TRUE(image::known_format_q(reinterpret_cast<const uint8_t*>("MM\0*"), 4));
}

}  // namespace
}  // namespace kiv::testing
