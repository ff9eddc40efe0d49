// The C entry of the Qt codec module (image_codec_qt.cpp), which the back-end
// loads with dlopen on first use. Plain C types only: the module and the
// runtime share no C++ objects.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

// Answers of the module's functions.
enum KivImageCodecStatus {
  KIV_CODEC_OK = 0,
  KIV_CODEC_NO_MEMORY = 1,
  KIV_CODEC_TOO_LARGE = 2,
  KIV_CODEC_UNDECODABLE = 3,
  KIV_CODEC_BAD_FORMAT = 4,
};

// Hands the decoder the buffer for width x height pixel words; null when the
// memory cannot be had. Called at most once, before any pixel is written.
typedef uint32_t* (*KivImageAllocate)(void* context, uint32_t width, uint32_t height);
// Receives encoded bytes (called any number of times, in order).
typedef void (*KivImageWrite)(void* context, const uint8_t* bytes, size_t size);

struct KivImageCodec {
  int version;  // kKivImageCodecVersion
  // Decodes the first frame of the bytes into the buffer allocate gives.
  // Sides above max_side or more than max_bytes of pixels answer
  // KIV_CODEC_TOO_LARGE before anything is allocated.
  int (*decode)(const uint8_t* bytes, size_t size, uint32_t max_side, uint64_t max_bytes,
                KivImageAllocate allocate, void* context);
  // Encodes the pixels (words A<<24|R<<16|G<<8|B, rows without padding) as
  // PNG (1), JPEG (3) or TIFF (4).
  int (*encode)(const uint32_t* pixels, uint32_t width, uint32_t height, int format, KivImageWrite write,
                void* context);
};

#define KIV_IMAGE_CODEC_VERSION 1
#define KIV_IMAGE_CODEC_ENTRY "kiv_image_codec"
#define KIV_IMAGE_CODEC_MODULE "libkiv-image-qt.so"

// The module's one exported function.
typedef const struct KivImageCodec* (*KivImageCodecEntry)(void);
}
