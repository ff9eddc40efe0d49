#include "runtime/datatypes/image_geometry.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "runtime/collector.h"
#include "runtime/datatypes/image.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/pair.h"
#include "runtime/datatypes/point.h"
#include "view/backend/qt/image_backend.h"

namespace kiv::geometry {

double vector_length(const Vector& v) { return std::sqrt(v.x * v.x + v.y * v.y); }

void normalize(Vector& v) {
  double n = vector_length(v);
  if (n == 0) return;  // a zero vector stays zero rather than becoming NaN
  v.x /= n;
  v.y /= n;
}

void set_vector(Vector& v, float x, float y) {
  v.x = x;
  v.y = y;
}

void difference(Vector& out, double ax, double ay, double bx, double by) {
  out.x = bx - ax;
  out.y = by - ay;
}

double cross(const Vector& a, const Vector& b) { return a.x * b.y - a.y * b.x; }
double dot(const Vector& a, const Vector& b) { return a.x * b.x + a.y * b.y; }

namespace {
double cross_at(double ax, double ay, double bx, double by, double cx, double cy) {
  return cross(Vector{ax - bx, ay - by}, Vector{cx - bx, cy - by});
}
}  // namespace

bool left_of_q(double ax, double ay, double bx, double by, double cx, double cy) {
  return cross_at(ax, ay, bx, by, cx, cy) < 0;
}

bool right_of_q(double ax, double ay, double bx, double by, double cx, double cy) {
  return cross_at(ax, ay, bx, by, cx, cy) > 0;
}

double edge_distance(double ax, double ay, double bx, double by, double cx, double cy) {
  Vector d{cx - bx, cy - by};
  normalize(d);
  return std::fabs(cross(Vector{ax - bx, ay - by}, d));
}

bool inside_quad_q(const Quad q, double x, double y) {
  for (int e = 0; e < 4; ++e) {
    int s = e * 2, t = ((e + 1) % 4) * 2;
    if (right_of_q(x, y, q[s], q[s + 1], q[t], q[t + 1])) return false;
  }
  return true;
}

void mirror_x(Quad q, float axis) {
  for (int i = 0; i < 8; i += 2) q[i] = 2.0f * axis - q[i];
}

void mirror_y(Quad q, float axis) {
  for (int i = 1; i < 8; i += 2) q[i] = 2.0f * axis - q[i];
}

bool copy_rect(const uint32_t* source, int32_t sw, int32_t sh, int32_t x, int32_t y, int32_t width, int32_t height,
               uint32_t* destination) {
  if (x < 0 || y < 0 || x >= sw || y >= sh) return false;
  int32_t w = std::min(width, sw - x), h = std::min(height, sh - y);
  for (int32_t row = 0; row < h; ++row)
    std::memcpy(destination + size_t(row) * size_t(width), source + size_t(y + row) * size_t(sw) + size_t(x),
                size_t(w) * 4);
  return true;
}

std::vector<uint32_t> map_to_quad(const uint32_t* source, int32_t width, int32_t height, const Quad q, int32_t* left,
                                  int32_t* top, int32_t* box_width, int32_t* box_height) {
  if (width < 1 || height < 1) return {};
  int32_t x0 = INT32_MAX, y0 = INT32_MAX, x1 = INT32_MIN, y1 = INT32_MIN;
  for (int i = 0; i < 8; i += 2) {
    int32_t x = static_cast<int32_t>(q[i]), y = static_cast<int32_t>(q[i + 1]);
    x0 = std::min(x0, x), x1 = std::max(x1, x);
    y0 = std::min(y0, y), y1 = std::max(y1, y);
  }
  *left = x0, *top = y0, *box_width = x1 - x0, *box_height = y1 - y0;
  int64_t bw = int64_t{x1} - x0, bh = int64_t{y1} - y0;
  if (bw < 1 || bh < 1 || bw > image_backend::kMaxSide || bh > image_backend::kMaxSide) return {};
  std::vector<uint32_t> out(static_cast<size_t>(bw * bh), 0);
  for (int32_t y = 0; y < bh; ++y) {
    for (int32_t x = 0; x < bw; ++x) {
      double px = double(x0) + x, py = double(y0) + y;
      if (!inside_quad_q(q, px, py)) continue;
      double d1 = edge_distance(px, py, q[0], q[1], q[2], q[3]);
      double d2 = edge_distance(px, py, q[2], q[3], q[4], q[5]);
      double d3 = edge_distance(px, py, q[4], q[5], q[6], q[7]);
      double d4 = edge_distance(px, py, q[6], q[7], q[0], q[1]);
      if (d4 + d2 == 0 || d1 + d3 == 0) continue;
      double u = d4 / (d4 + d2) * width, v = d1 / (d1 + d3) * height;
      if (!(u >= 0 && u < width && v >= 0 && v < height)) continue;
      int32_t ix = static_cast<int32_t>(u), iy = static_cast<int32_t>(v);
      double fx = std::max(0.0, u - ix), fy = std::max(0.0, v - iy);
      int32_t nx = ix + 1 < width ? ix + 1 : ix, ny = iy + 1 < height ? iy + 1 : iy;
      uint32_t p00 = source[size_t(iy) * size_t(width) + size_t(ix)], p10 = source[size_t(iy) * size_t(width) + size_t(nx)];
      uint32_t p01 = source[size_t(ny) * size_t(width) + size_t(ix)], p11 = source[size_t(ny) * size_t(width) + size_t(nx)];
      double w00 = (1 - fx) * (1 - fy), w10 = fx * (1 - fy), w01 = (1 - fx) * fy, w11 = fx * fy;
      uint32_t p = 0;
      for (int shift = 0; shift < 32; shift += 8) {
        double c = w00 * (p00 >> shift & 0xFF) + w10 * (p10 >> shift & 0xFF) + w01 * (p01 >> shift & 0xFF) +
                   w11 * (p11 >> shift & 0xFF);
        uint32_t b = static_cast<uint32_t>(std::clamp(c + 0.5, 0.0, 255.0));
        p |= b << shift;
      }
      out[size_t(y) * size_t(bw) + size_t(x)] = p;
    }
  }
  return out;
}

std::vector<uint32_t> scale_to(const uint32_t* source, int32_t width, int32_t height, int32_t new_width,
                               int32_t new_height) {
  Quad q = {0, 0, float(new_width), 0, float(new_width), float(new_height), 0, float(new_height)};
  int32_t l, t, w, h;
  std::vector<uint32_t> out = map_to_quad(source, width, height, q, &l, &t, &w, &h);
  if (w != new_width || h != new_height) return {};
  return out;
}

void ycbcr_to_rgb(int32_t pairs_per_row, int32_t rows, const uint8_t* yuv, uint32_t* destination) {
  auto clamp = [](int32_t v) { return static_cast<uint32_t>(std::clamp(v, 0, 255)); };
  int64_t n = int64_t{pairs_per_row} * rows;
  for (int64_t i = 0; i < n; ++i) {
    const uint8_t* q = yuv + i * 4;
    int32_t u = q[1] - 128, v = q[3] - 128;
    for (int k = 0; k < 2; ++k) {
      int32_t y = q[k * 2];
      uint32_t first = clamp(y + ((v * 91881) >> 16));
      uint32_t second = clamp(y - ((v * 46792) >> 16) - ((u * 21889) >> 16));
      uint32_t third = clamp(y + ((u * 116129) >> 16));
      destination[i * 2 + k] = 0xFF000000u | third << 16 | second << 8 | first;
    }
  }
}

}  // namespace kiv::geometry

namespace kiv::image {

namespace {
bool point_of(const Cell* c, float* x, float* y) {
  if (TYPE_OF(c) == TYPE_PAIR) {
    *x = static_cast<float>(pair::x(c));
    *y = static_cast<float>(pair::y(c));
    return true;
  }
  if (TYPE_OF(c) == TYPE_POINT2D) {
    *x = point::coordinate(c, 0);
    *y = point::coordinate(c, 1);
    return true;
  }
  return false;
}
}  // namespace

Cell* transform(const Cell* image, Cell* result, const Cell* crop_offset, const Cell* crop_size, const Cell* points,
                int32_t point_count, int32_t box[4]) {
  box[0] = box[1] = box[2] = box[3] = 0;
  image_backend::Bitmap* b = bitmap_of(image);
  if (point_count < 1 || point_count > 4 || !b) {
    *result = none_value;
    return result;
  }
  int32_t cx = 0, cy = 0, cw = static_cast<int32_t>(b->width), ch = static_cast<int32_t>(b->height);
  bool crop = crop_offset && crop_size;
  if (crop) {
    cx = std::clamp<int32_t>(pair::x(crop_offset), 0, cw);
    cy = std::clamp<int32_t>(pair::y(crop_offset), 0, ch);
    cw = std::clamp<int32_t>(pair::x(crop_size), 0, cw - cx);
    ch = std::clamp<int32_t>(pair::y(crop_size), 0, ch - cy);
  }
  float p[8];
  for (int32_t i = 0; i < point_count; ++i)
    if (!point_of(&points[i], &p[i * 2], &p[i * 2 + 1])) {
      *result = none_value;
      return result;
    }
  geometry::Quad q;
  switch (point_count) {
    case 1: {
      float x = p[0], y = p[1];
      float qs[8] = {x, y, x + cw, y, x + cw, y + ch, x, y + ch};
      std::copy(qs, qs + 8, q);
      break;
    }
    case 2: {
      float qs[8] = {p[0], p[1], p[2], p[1], p[2], p[3], p[0], p[3]};
      std::copy(qs, qs + 8, q);
      break;
    }
    case 3: {
      float qs[8] = {p[0], p[1], p[2], p[3], p[2] + p[4] - p[0], p[3] + p[5] - p[1], p[4], p[5]};
      std::copy(qs, qs + 8, q);
      break;
    }
    default: {
      float qs[8] = {p[0], p[1], p[2], p[3], p[6], p[7], p[4], p[5]};
      std::copy(qs, qs + 8, q);
      break;
    }
  }
  bool flip_x = q[0] > q[2], flip_y = q[1] > q[5];
  if (flip_x) geometry::mirror_x(q, q[0]);
  if (flip_y) geometry::mirror_y(q, q[1]);
  std::vector<uint32_t> source;
  const uint32_t* pixels = b->pixels;
  int32_t sw = static_cast<int32_t>(b->width), sh = static_cast<int32_t>(b->height);
  if (crop) {
    source.assign(size_t(cw) * size_t(ch), 0);
    if (cw > 0 && ch > 0) geometry::copy_rect(b->pixels, sw, sh, cx, cy, cw, ch, source.data());
    pixels = source.data();
    sw = cw, sh = ch;
  }
  int32_t left, top, w, h;
  std::vector<uint32_t> mapped = geometry::map_to_quad(pixels, sw, sh, q, &left, &top, &w, &h);
  if (mapped.empty()) {
    *result = none_value;
    return result;
  }
  make_from_argb(result, static_cast<uint32_t>(w), static_cast<uint32_t>(h),
                 reinterpret_cast<const uint8_t*>(mapped.data()));
  box[0] = left, box[1] = top, box[2] = flip_x ? -w : w, box[3] = flip_y ? -h : h;
  return result;
}

}  // namespace kiv::image
