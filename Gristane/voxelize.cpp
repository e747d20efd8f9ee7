// Native solid voxelizer.
//
// The points must be exactly the ones trimesh lists for
//     Trimesh(v, f, process=False).voxelized(pitch).fill().points
// so every step below repeats trimesh's arithmetic in its order:
//
//  1. Surface.  Faces are subdivided until no edge is longer than pitch / 2;
//     every vertex of the subdivided mesh (the input vertices, referenced or
//     not, and every edge midpoint made on the way) is snapped to the voxel
//     `rint(x / pitch)` (round half to even).  A long edge is bisected at
//     (a + b) / 2; a face with one, two or three long edges is cut by a fixed
//     template, and the two-edge template picks the shorter quad diagonal.
//     Whether an edge is long, and which diagonal is shorter, are decided on
//     squared lengths summed x, y, z in that order, as numpy sums a row.
//  2. Fill.  In the box spanned by the surface voxels, every empty cell that
//     cannot reach the box boundary through face-adjacent empty cells is
//     filled (six-connected hole filling).
//  3. Points.  Filled cells in row-major (x, y, z) order, each at
//     i * pitch + origin_index * pitch.
//
// The surface step works one input face at a time.  A face's subdivision
// depends only on its own three corner positions (a shared edge is split, and
// at the same point, from whichever side it is seen), so recursing per face
// yields the same vertex set as subdividing the whole mesh level by level,
// without ever holding the subdivided mesh.  Two things keep this cheap:
//  - Every descendant of a triangle lies, axis by axis, between the
//    triangle's smallest and largest corner coordinate, and snapping is
//    monotonic, so once every voxel in that range is already marked the
//    triangle can add nothing and is not refined further.
//  - trimesh stops after ten refinement rounds and raises; here refinement
//    simply goes on until every edge is short, so large faces at fine
//    pitches still get an answer.  As a safeguard, an edge whose computed
//    midpoint lands on one of its own ends (float spacing comparable to the
//    pitch, which the coordinate limits below already refuse) is treated as
//    short: bisecting it again would only repeat positions already seen.
#include "Gristane/voxelize.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

namespace gristane {
namespace {

// The dense box may hold at most this many cells (one byte each while
// filling); beyond it a pitch is absurdly small for the mesh's extent.
constexpr double kMaxCells = 2147483648.0;  // 2^31
// At most this many filled voxels are returned (24 bytes each).
constexpr std::size_t kMaxPoints = std::size_t(1) << 28;
// Coordinates are kept far enough from the origin, in pitches, that an edge
// longer than half a pitch is always much longer than the float spacing, and
// that voxel indices stay exact in a double.
constexpr double kMaxIndex = 17592186044416.0;  // 2^44
// Squared edge lengths must not overflow.
constexpr double kMaxCoordinate = 1e150;
// Refinement depth beyond anything a mesh that fits the limits above needs
// (about 2 * log2(box diagonal / half pitch)); a guard against runaway
// recursion, never reached in practice.
constexpr int kMaxDepth = 512;

// Round half to even, as np.round / rint do, for |x| < 2^51: adding
// 1.5 * 2^52 leaves no fraction bits, so the addition itself rounds.
inline double round_half_even(double x) {
  constexpr double kShift = 6755399441055744.0;  // 1.5 * 2^52
  return (x + kShift) - kShift;
}

std::string number_text(double x) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.6g", x);
  return buf;
}

struct Vtx {
  double p[3];
  std::int32_t c[3];  // voxel index relative to the box origin
};

struct Tri {
  Vtx v[3];
  int depth;
  unsigned flags;  // bit k: edge (v[k], v[k+1]) is longer than half a pitch
};

// Squared distance, summed x then y then z.
inline double sqdist(const double* a, const double* b) {
  const double dx = a[0] - b[0];
  const double dy = a[1] - b[1];
  const double dz = a[2] - b[2];
  return (dx * dx + dy * dy) + dz * dz;
}

class SurfaceVoxels {
 public:
  SurfaceVoxels(double pitch, const double lo[3], const std::int64_t n[3])
      : pitch_(pitch), long_above_(long_threshold(pitch / 2.0)) {
    for (int a = 0; a < 3; ++a) {
      lo_[a] = lo[a];
      n_[a] = n[a];
    }
    sy_ = static_cast<std::size_t>(n_[2]);
    sx_ = static_cast<std::size_t>(n_[1]) * sy_;
    grid_.assign(sx_ * static_cast<std::size_t>(n_[0]), 0);
  }

  std::vector<std::uint8_t>& grid() { return grid_; }

  void make(const double* p, Vtx& v) const {
    for (int a = 0; a < 3; ++a) v.p[a] = p[a];
    snap(v);
  }

  // Sets the voxel index of a vertex from its position.
  void snap(Vtx& v) const {
    for (int a = 0; a < 3; ++a) {
      const double r = round_half_even(v.p[a] / pitch_) - lo_[a];
      // Snapping is monotonic and the box spans the input vertices, so this
      // only fails on a logic error; never write outside the grid.
      if (!(r >= 0.0 && r < static_cast<double>(n_[a])))
        throw std::logic_error("voxelize: voxel index outside the box");
      v.c[a] = static_cast<std::int32_t>(r);
    }
  }

  void mark(const Vtx& v) { grid_[cell(v.c[0], v.c[1], v.c[2])] = 1; }

  void add_face(const double* p0, const double* p1, const double* p2) {
    top_ = 0;
    Vtx a, b, c;
    make(p0, a);
    make(p1, b);
    make(p2, c);
    push(a, b, c, 0);
    while (top_ > 0) {
      const Tri t = stack_[--top_];
      refine(t);
    }
  }

 private:
  std::size_t cell(std::int64_t i, std::int64_t j, std::int64_t k) const {
    return static_cast<std::size_t>(i) * sx_ + static_cast<std::size_t>(j) * sy_ +
           static_cast<std::size_t>(k);
  }

  // True when every voxel between the triangle's corners is already marked.
  bool covered(const Tri& t) const {
    std::int32_t lo[3], hi[3];
    std::int64_t count = 1;
    for (int a = 0; a < 3; ++a) {
      lo[a] = std::min({t.v[0].c[a], t.v[1].c[a], t.v[2].c[a]});
      hi[a] = std::max({t.v[0].c[a], t.v[1].c[a], t.v[2].c[a]});
      count *= hi[a] - lo[a] + 1;
    }
    if (count > 8) return false;
    for (std::int32_t i = lo[0]; i <= hi[0]; ++i)
      for (std::int32_t j = lo[1]; j <= hi[1]; ++j)
        for (std::int32_t k = lo[2]; k <= hi[2]; ++k)
          if (!grid_[cell(i, j, k)]) return false;
    return true;
  }

  // sqrt(s) > max_edge, decided without the square root: sqrt is correctly
  // rounded and monotonic, so it holds exactly when s exceeds the largest s
  // whose rounded root is still <= max_edge.
  bool is_long(const Vtx& a, const Vtx& b) const { return sqdist(a.p, b.p) > long_above_; }

  static double long_threshold(double m) {
    const double inf = std::numeric_limits<double>::infinity();
    double t = m * m;
    while (std::sqrt(t) > m) t = std::nextafter(t, 0.0);
    while (t < inf && !(std::sqrt(std::nextafter(t, inf)) > m)) t = std::nextafter(t, inf);
    return t;
  }

  // Queues a triangle for refinement unless all its edges are already short
  // (its corners are marked by whoever made them).
  void push(const Vtx& a, const Vtx& b, const Vtx& c, int depth) {
    const unsigned flags =
        (is_long(a, b) ? 1u : 0u) | (is_long(b, c) ? 2u : 0u) | (is_long(c, a) ? 4u : 0u);
    if (!flags) return;
    if (top_ == stack_.size()) stack_.resize(2 * stack_.size() + 64);
    Tri& t = stack_[top_++];
    t.v[0] = a;
    t.v[1] = b;
    t.v[2] = c;
    t.depth = depth;
    t.flags = flags;
  }

  // The midpoints of the edges `t` asks to split, in m; an edge whose
  // midpoint rounds onto one of its ends is not split.  Returns how many are.
  static int midpoints(const Tri& t, bool split[3], Vtx m[3]) {
    const Vtx* f = t.v;
    int count = 0;
    for (int k = 0; k < 3; ++k) {
      split[k] = (t.flags >> k) & 1u;
      if (!split[k]) continue;
      const double* a = f[k].p;
      const double* b = f[(k + 1) % 3].p;
      double* mp = m[k].p;
      for (int ax = 0; ax < 3; ++ax) mp[ax] = (a[ax] + b[ax]) / 2.0;
      const bool at_a = mp[0] == a[0] && mp[1] == a[1] && mp[2] == a[2];
      const bool at_b = mp[0] == b[0] && mp[1] == b[1] && mp[2] == b[2];
      if (at_a || at_b) {
        split[k] = false;
        continue;
      }
      ++count;
    }
    return count;
  }

  void refine(const Tri& t) {
    const Vtx* f = t.v;
    bool split[3];
    Vtx m[3];
    const int count = midpoints(t, split, m);
    if (count == 0 || t.depth >= kMaxDepth || covered(t)) return;

    for (int k = 0; k < 3; ++k) {
      if (!split[k]) continue;
      snap(m[k]);
      mark(m[k]);
    }
    const int d = t.depth + 1;
    if (count == 1) {
      // Fan the midpoint of the long edge (a, b) to the opposite corner c.
      const int j = split[0] ? 0 : (split[1] ? 1 : 2);
      const Vtx& a = f[j];
      const Vtx& b = f[(j + 1) % 3];
      const Vtx& c = f[(j + 2) % 3];
      const Vtx& p = m[j];
      push(a, p, c, d);
      push(p, b, c, d);
    } else if (count == 2) {
      // Rotate so the short edge is (c, a): corner triangle (p, b, q) and the
      // quad (a, p, q, c) cut along its shorter diagonal (a-q on a tie).
      const int u = !split[0] ? 0 : (!split[1] ? 1 : 2);
      const int j = (u + 1) % 3;
      const Vtx& a = f[j];
      const Vtx& b = f[(j + 1) % 3];
      const Vtx& c = f[(j + 2) % 3];
      const Vtx& p = m[j];
      const Vtx& q = m[(j + 1) % 3];
      push(p, b, q, d);
      if (sqdist(a.p, q.p) <= sqdist(p.p, c.p)) {
        push(a, p, q, d);
        push(a, q, c, d);
      } else {
        push(a, p, c, d);
        push(p, q, c, d);
      }
    } else {
      push(f[0], m[0], m[2], d);
      push(m[0], f[1], m[1], d);
      push(m[2], m[1], f[2], d);
      push(m[0], m[1], m[2], d);
    }
  }

  double pitch_;
  double long_above_;
  double lo_[3];
  std::int64_t n_[3];
  std::size_t sx_ = 0, sy_ = 0;
  std::vector<std::uint8_t> grid_;
  std::vector<Tri> stack_;  // pending triangles are stack_[0, top_)
  std::size_t top_ = 0;
};

// Marks (with 2) every empty cell six-connected to the box boundary through
// empty cells, filling one run along the last axis at a time.
void mark_outside(std::vector<std::uint8_t>& g, const std::int64_t n[3]) {
  const std::size_t nx = n[0], ny = n[1], nz = n[2];
  struct Seed {
    std::size_t i, j, k;
  };
  std::vector<Seed> stack;
  auto flood = [&](std::size_t i0, std::size_t j0, std::size_t k0) {
    stack.push_back({i0, j0, k0});
    while (!stack.empty()) {
      const Seed s = stack.back();
      stack.pop_back();
      std::uint8_t* row = g.data() + (s.i * ny + s.j) * nz;
      if (row[s.k] != 0) continue;
      std::size_t a = s.k, b = s.k;
      while (a > 0 && row[a - 1] == 0) --a;
      while (b + 1 < nz && row[b + 1] == 0) ++b;
      std::memset(row + a, 2, b - a + 1);
      auto scan = [&](std::size_t i, std::size_t j) {
        const std::uint8_t* r = g.data() + (i * ny + j) * nz;
        bool run = false;
        for (std::size_t k = a; k <= b; ++k) {
          if (r[k] == 0) {
            if (!run) stack.push_back({i, j, k});
            run = true;
          } else {
            run = false;
          }
        }
      };
      if (s.i > 0) scan(s.i - 1, s.j);
      if (s.i + 1 < nx) scan(s.i + 1, s.j);
      if (s.j > 0) scan(s.i, s.j - 1);
      if (s.j + 1 < ny) scan(s.i, s.j + 1);
    }
  };
  for (std::size_t i = 0; i < nx; ++i) {
    for (std::size_t j = 0; j < ny; ++j) {
      std::uint8_t* row = g.data() + (i * ny + j) * nz;
      if (i == 0 || i + 1 == nx || j == 0 || j + 1 == ny) {
        for (std::size_t k = 0; k < nz; ++k)
          if (row[k] == 0) flood(i, j, k);
      } else {
        if (row[0] == 0) flood(i, j, 0);
        if (row[nz - 1] == 0) flood(i, j, nz - 1);
      }
    }
  }
}

}  // namespace

namespace {

// The mesh's extent, its vertices checked finite and within range.
struct Extent {
  double vmin[3], vmax[3], max_abs = 0.0;
};

Extent checked_extent(const double* vertices, std::size_t n_vertices, const std::int64_t* faces,
                      std::size_t n_faces) {
  for (std::size_t f = 0; f < 3 * n_faces; ++f)
    if (faces[f] < 0 || static_cast<std::uint64_t>(faces[f]) >= n_vertices)
      throw std::out_of_range("voxelize: face index out of range");
  Extent e;
  for (int a = 0; a < 3; ++a) e.vmin[a] = e.vmax[a] = vertices[a];
  for (std::size_t i = 0; i < n_vertices; ++i) {
    for (int a = 0; a < 3; ++a) {
      const double x = vertices[3 * i + a];
      if (!std::isfinite(x)) throw std::invalid_argument("voxelize: vertices must be finite");
      if (std::fabs(x) > kMaxCoordinate)
        throw std::invalid_argument("voxelize: vertex coordinates are too large");
      e.max_abs = std::max(e.max_abs, std::fabs(x));
      e.vmin[a] = std::min(e.vmin[a], x);
      e.vmax[a] = std::max(e.vmax[a], x);
    }
  }
  return e;
}

// The box of surface voxels: snapping is monotonic and every midpoint lies
// between its edge's ends, so the extreme vertices give the extreme voxels.
void voxel_box(const Extent& e, double pitch, double lo[3], std::int64_t n[3]) {
  double cells = 1.0;
  for (int a = 0; a < 3; ++a) {
    const double l = e.vmin[a] / pitch, h = e.vmax[a] / pitch;
    if (!(std::fabs(l) <= kMaxIndex && std::fabs(h) <= kMaxIndex))
      throw std::invalid_argument("voxelize: pitch " + number_text(pitch) +
                                  " is too small for vertex coordinates as large as " +
                                  number_text(e.max_abs));
    lo[a] = round_half_even(l);
    const double extent = round_half_even(h) - lo[a] + 1.0;
    cells *= extent;
    n[a] = static_cast<std::int64_t>(std::min(extent, kMaxCells + 1.0));
  }
  if (cells > kMaxCells)
    throw std::length_error("voxelize: pitch " + number_text(pitch) +
                            " is too small for the mesh's extent (more than 2^31 voxels "
                            "in its bounding box)");
}

// Voxel centres of the cells not marked outside (2): index * pitch +
// origin_index * pitch.  A transform within 1e-8 of the identity (pitch ~ 1 at
// the origin) is skipped, leaving the bare indices, as trimesh does.
std::vector<double> filled_centres(const std::vector<std::uint8_t>& g, const double lo[3],
                                   const std::int64_t n[3], double pitch) {
  std::size_t filled = 0;
  for (std::uint8_t c : g) filled += (c != 2);
  if (filled > kMaxPoints)
    throw std::length_error("voxelize: " + std::to_string(filled) +
                            " filled voxels are more than can be returned; use a coarser pitch");
  double origin[3];
  bool identity = std::fabs(pitch - 1.0) < 1e-8;
  for (int a = 0; a < 3; ++a) {
    origin[a] = lo[a] * pitch;
    identity = identity && std::fabs(origin[a]) < 1e-8;
  }
  std::vector<double> out(3 * filled);
  double* o = out.data();
  std::size_t c = 0;
  for (std::int64_t i = 0; i < n[0]; ++i)
    for (std::int64_t j = 0; j < n[1]; ++j)
      for (std::int64_t k = 0; k < n[2]; ++k, ++c) {
        if (g[c] == 2) continue;
        const double idx[3] = {static_cast<double>(i), static_cast<double>(j),
                               static_cast<double>(k)};
        for (int a = 0; a < 3; ++a) *o++ = identity ? idx[a] : idx[a] * pitch + origin[a];
      }
  return out;
}

}  // namespace

std::vector<double> voxelize_filled(const double* vertices, std::size_t n_vertices,
                                    const std::int64_t* faces, std::size_t n_faces, double pitch) {
  if (!(pitch > 0.0) || !std::isfinite(pitch))
    throw std::invalid_argument("voxelize: pitch must be positive and finite");
  if (n_vertices == 0) {
    if (n_faces != 0) throw std::out_of_range("voxelize: faces refer to vertices of an empty mesh");
    return {};
  }
  const Extent extent = checked_extent(vertices, n_vertices, faces, n_faces);
  double lo[3];
  std::int64_t n[3];
  voxel_box(extent, pitch, lo, n);

  SurfaceVoxels surface(pitch, lo, n);
  Vtx v;
  for (std::size_t i = 0; i < n_vertices; ++i) {
    surface.make(vertices + 3 * i, v);
    surface.mark(v);
  }
  for (std::size_t f = 0; f < n_faces; ++f)
    surface.add_face(vertices + 3 * faces[3 * f], vertices + 3 * faces[3 * f + 1],
                     vertices + 3 * faces[3 * f + 2]);

  std::vector<std::uint8_t>& g = surface.grid();
  mark_outside(g, n);
  return filled_centres(g, lo, n, pitch);
}

}  // namespace gristane
