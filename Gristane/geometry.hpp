// Small geometry shared by the self-collision model and the distance engine:
// triangle meshes by reference, the point-triangle distance, points spread
// over a surface, and the Euclidean distance transform of a grid.
#pragma once

#include "common/mesh.hpp"
#include "common/se3.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <thread>
#include <vector>

namespace gristane {

using cellpath::MeshRef;

namespace geom {

// Points and directions are the shared 3-vectors, with their arithmetic.
using V3 = cellpath::Vec3;
using cellpath::add;
using cellpath::dot;
using cellpath::norm2;
using cellpath::sub;
inline V3 mul(const V3& a, double s) { return cellpath::scale(a, s); }

inline V3 vertex(const MeshRef& m, std::int64_t i) {
  const double* v = m.vertices + 3 * i;
  return {v[0], v[1], v[2]};
}

// The cells, per axis [r0, r1] clamped to the grid, whose range comes within
// `band` of the box of triangle abc, in a grid of `shape` cells of 1 /
// inv_cell from lo.
inline void band_cells(const V3& a, const V3& b, const V3& c, double band, const double lo[3],
                       double inv_cell, const std::int64_t shape[3], std::int64_t r0[3],
                       std::int64_t r1[3]) {
  for (int ax = 0; ax < 3; ++ax) {
    const double tlo = std::min({a[ax], b[ax], c[ax]}), thi = std::max({a[ax], b[ax], c[ax]});
    r0[ax] = std::max<std::int64_t>(
        0, static_cast<std::int64_t>(std::floor((tlo - band - lo[ax]) * inv_cell)));
    r1[ax] = std::min<std::int64_t>(
        shape[ax] - 1, static_cast<std::int64_t>(std::floor((thi + band - lo[ax]) * inv_cell)));
  }
}

// Squared distance from p to the triangle abc (closest-point regions of
// Ericson, Real-Time Collision Detection, 5.1.5; a zero-area triangle is
// measured by its edges).
double point_triangle_sq(V3 p, V3 a, V3 b, V3 c);

// Squared distance from x to the box lo .. hi (0 inside it).
inline double box_sq(const double* lo, const double* hi, const double* x) {
  double s = 0.0;
  for (int a = 0; a < 3; ++a) {
    const double d = x[a] < lo[a] ? lo[a] - x[a] : (x[a] > hi[a] ? x[a] - hi[a] : 0.0);
    s += d * d;
  }
  return s;
}

}  // namespace geom

// Points spread over a surface: on every triangle a barycentric lattice whose
// sub-triangles have edges of at most `spacing`, shared points once.  Every
// point of the surface then lies within kCoverFactor * spacing of one of them
// (a point of a triangle with longest edge L is within L / sqrt(3) of one of
// its corners).
constexpr double kCoverFactor = 0.6;
std::vector<double> surface_points(const MeshRef& m, double spacing);

// fn(begin, end) over [0, n) in contiguous parts, one per hardware thread (at
// most 8): for construction work whose parts write disjoint cells, so the
// result does not depend on how many threads there are.
template <class Fn>
void parallel_for(std::size_t n, Fn&& fn) {
  const std::size_t threads = std::min<std::size_t>(
      {std::max(1u, std::thread::hardware_concurrency()), 8, std::max<std::size_t>(n, 1)});
  if (threads <= 1) {
    fn(std::size_t{0}, n);
    return;
  }
  std::vector<std::thread> pool;
  std::vector<std::exception_ptr> errors(threads);
  for (std::size_t t = 0; t < threads; ++t)
    pool.emplace_back([&, t] {
      try {
        fn(n * t / threads, n * (t + 1) / threads);
      } catch (...) {
        errors[t] = std::current_exception();
      }
    });
  for (std::thread& th : pool) th.join();
  for (const std::exception_ptr& e : errors)
    if (e) std::rethrow_exception(e);
}

// f: 0 at the marked cells, kFarSq elsewhere, row-major over `shape`; on
// return the squared distance (in cells) from each cell centre to the nearest
// marked one (Felzenszwalb and Huttenlocher's lower envelope of parabolas).
constexpr double kFarSq = 1e20;
void distance_transform(std::vector<double>& f, const std::int64_t shape[3]);

}  // namespace gristane
