// The Qt side of the image back-end: decoding through QImageReader (PNG,
// JPEG, BMP, GIF, TIFF and whatever other plugins are installed) and encoding
// PNG, JPEG and TIFF through QImageWriter. Built as a shared module and loaded
// by the back-end on first use (see image_backend.h); it needs no GUI
// application object and no display.
#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QtGlobal>

#include <cstring>

#include "view/backend/qt/image_codec_abi.h"

namespace {

// Qt reports damaged files on standard error as well as through the reader;
// the runtime turns the reader's answer into an error of its own, so the
// messages are dropped.
void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

int decode(const uint8_t* bytes, size_t size, uint32_t max_side, uint64_t max_bytes, KivImageAllocate allocate,
           void* context) {
  if (size > static_cast<size_t>(INT32_MAX)) return KIV_CODEC_UNDECODABLE;
  QByteArray data = QByteArray::fromRawData(reinterpret_cast<const char*>(bytes), static_cast<qsizetype>(size));
  QBuffer buffer(&data);
  if (!buffer.open(QIODevice::ReadOnly)) return KIV_CODEC_UNDECODABLE;
  QImageReader reader(&buffer);
  reader.setAutoTransform(false);
  // Our own limit is checked on the header's size below; Qt's is set just
  // above it so that a reader that reports no size still stops.
  reader.setAllocationLimit(static_cast<int>(max_bytes >> 20) + 1);
  if (!reader.canRead()) return KIV_CODEC_UNDECODABLE;
  QSize announced = reader.size();
  if (announced.isValid()) {
    if (static_cast<uint64_t>(announced.width()) > max_side || static_cast<uint64_t>(announced.height()) > max_side)
      return KIV_CODEC_TOO_LARGE;
    if (uint64_t{static_cast<uint32_t>(announced.width())} * static_cast<uint32_t>(announced.height()) * 4 > max_bytes)
      return KIV_CODEC_TOO_LARGE;
  }
  QImage image;
  if (!reader.read(&image) || image.isNull()) {
    // A reader that refused for size says so; anything else is damage.
    return KIV_CODEC_UNDECODABLE;
  }
  if (image.width() < 1 || image.height() < 1) return KIV_CODEC_UNDECODABLE;
  uint32_t width = static_cast<uint32_t>(image.width());
  uint32_t height = static_cast<uint32_t>(image.height());
  if (width > max_side || height > max_side) return KIV_CODEC_TOO_LARGE;
  if (image.format() != QImage::Format_ARGB32) image = image.convertToFormat(QImage::Format_ARGB32);
  if (image.isNull()) return KIV_CODEC_NO_MEMORY;
  uint32_t* out = allocate(context, width, height);
  if (!out) return KIV_CODEC_NO_MEMORY;
  for (uint32_t y = 0; y < height; ++y)
    std::memcpy(out + size_t{y} * width, image.constScanLine(static_cast<int>(y)), size_t{width} * 4);
  return KIV_CODEC_OK;
}

int encode(const uint32_t* pixels, uint32_t width, uint32_t height, int format, KivImageWrite write, void* context) {
  const char* name = format == 1 ? "PNG" : format == 3 ? "JPEG" : format == 4 ? "TIFF" : nullptr;
  if (!name) return KIV_CODEC_BAD_FORMAT;
  // A view of our pixels, not a copy: Format_ARGB32 is the same word layout.
  QImage image(reinterpret_cast<const uchar*>(pixels), static_cast<int>(width), static_cast<int>(height),
               static_cast<qsizetype>(width) * 4, QImage::Format_ARGB32);
  if (image.isNull()) return KIV_CODEC_NO_MEMORY;
  QByteArray data;
  QBuffer buffer(&data);
  if (!buffer.open(QIODevice::WriteOnly)) return KIV_CODEC_NO_MEMORY;
  QImageWriter writer(&buffer, name);
  if (!writer.write(image)) return writer.error() == QImageWriter::UnsupportedFormatError ? KIV_CODEC_BAD_FORMAT
                                                                                          : KIV_CODEC_NO_MEMORY;
  write(context, reinterpret_cast<const uint8_t*>(data.constData()), static_cast<size_t>(data.size()));
  return KIV_CODEC_OK;
}

const KivImageCodec kCodec = {KIV_IMAGE_CODEC_VERSION, decode, encode};

}  // namespace

extern "C" __attribute__((visibility("default"))) const KivImageCodec* kiv_image_codec() {
  static bool started = [] {
    qInstallMessageHandler(quiet);
    return true;
  }();
  (void)started;
  return &kCodec;
}
