// Image geometry: 2D vector helpers on doubles, the point-in-quadrilateral
// test, a pixel-rectangle copy, the mapping of an image onto an arbitrary
// quadrilateral with bilinear sampling, the image transform built on them,
// and packed YUV 4:2:2 to pixels. Pixel buffers are width x height 32-bit
// words without row padding, as image_backend.h lays them out. Nothing in the
// language calls these; they are offered to a drawing back-end.
//
// A quadrilateral is four points (x, y) as floats, p1 p2 p3 p4, its edges
// p1->p2, p2->p3, p3->p4, p4->p1; on the screen (y down) p1 is the top-left
// corner and the points run clockwise.
#pragma once

#include <cstdint>
#include <vector>

#include "runtime/cell.h"

namespace kiv::geometry {

struct Vector {
  double x = 0;
  double y = 0;
};
using Quad = float[8];  // x1 y1 x2 y2 x3 y3 x4 y4

double vector_length(const Vector& v);
void normalize(Vector& v);
void set_vector(Vector& v, float x, float y);
void difference(Vector& out, double ax, double ay, double bx, double by);
double cross(const Vector& a, const Vector& b);
double dot(const Vector& a, const Vector& b);
// The cross product of (a - b) and (c - b) below (left) or above (right) 0.
bool left_of_q(double ax, double ay, double bx, double by, double cx, double cy);
bool right_of_q(double ax, double ay, double bx, double by, double cx, double cy);
// The distance of a from the line through b and c.
double edge_distance(double ax, double ay, double bx, double by, double cx, double cy);
// True unless the point lies strictly right of one of the four edges: a point
// on an edge is inside.
bool inside_quad_q(const Quad quad, double x, double y);
// Each x (or y) coordinate c becomes 2 x axis - c, in single precision.
void mirror_x(Quad quad, float axis);
void mirror_y(Quad quad, float axis);
// Copies the rectangle row by row into destination (width x height words),
// clipped to the source's right and bottom edges; false when x or y lies
// outside the source.
bool copy_rect(const uint32_t* source, int32_t source_width, int32_t source_height, int32_t x, int32_t y,
               int32_t width, int32_t height, uint32_t* destination);

// The image mapped onto the quad: a buffer covering the quad's bounding box
// (its left, top, width and height through the out arguments), pixels outside
// the quad 0. Empty when the source has a side below 1 or the box is empty.
std::vector<uint32_t> map_to_quad(const uint32_t* source, int32_t width, int32_t height, const Quad quad,
                                  int32_t* left, int32_t* top, int32_t* box_width, int32_t* box_height);
// map_to_quad onto the rectangle (0,0)-(new width, new height); empty unless
// the result has exactly that size.
std::vector<uint32_t> scale_to(const uint32_t* source, int32_t width, int32_t height, int32_t new_width,
                               int32_t new_height);

// Packed 4:2:2 data (Y0 U Y1 V a pixel pair) to opaque pixels: pairs per
// row x rows quadruples in, twice as many pixels out.
void ycbcr_to_rgb(int32_t pairs_per_row, int32_t rows, const uint8_t* yuv, uint32_t* destination);

}  // namespace kiv::geometry

namespace kiv::image {

// The image mapped through 1 to 4 consecutive points (pair! or point2D!):
// one point places the (cropped) image's rectangle there; two are opposite
// corners; three are top-left, top-right and bottom-left (the fourth
// completes the parallelogram); four are top-left, top-right, bottom-left,
// bottom-right. An optional crop (offset and size pairs, nullptr for none)
// is clipped to the image first. The new image goes to result (none when
// the mapping gives nothing, or for more than four points); box gets its
// left, top, width and height, the width negated when x was mirrored and the
// height when y was.
Cell* transform(const Cell* image, Cell* result, const Cell* crop_offset, const Cell* crop_size, const Cell* points,
                int32_t point_count, int32_t box[4]);

}  // namespace kiv::image
