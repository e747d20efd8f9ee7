// The distance engine's environment: how far a point is from the obstacles,
// as a proven lower bound read from a grid in a few operations, and exactly
// where that bound is not enough.
//
// The obstacles are triangle meshes in world coordinates.  A body whose mesh
// is closed (every edge shared by exactly two faces) is solid: a point
// inside it is at distance 0.  Any other body is its surface alone.
//
// The field: a grid of `cell` edges over the obstacles' box padded by `pad`.
// Each cell holds a number v <= the distance from its centre c to the
// solids (0 when c is inside one), rounded down to a multiple of 0.1 mm:
// exact point-triangle distances within `band` of a triangle, farther out a
// lower bound from a Euclidean distance transform of the cells the surfaces
// pass near.  The distance is 1-Lipschitz, so for any point x of the cell
//     d(x) >= v - |x - c|,
// and when that is positive, x lies in the ball around c that no surface
// reaches, hence outside every solid too.  Beyond the grid, the distance to
// the obstacles' box is the bound.
//
// The exact test (`ball_clear`): no triangle within t of x (a bounding
// volume tree over the triangles) and x outside every closed body (parity of
// the crossings of a vertical ray, with a symbolic perturbation that counts a
// ray through a shared edge or vertex exactly once).
//
// Offsets: a body b may be given an offset o_b >= 0 (the part of a clearance
// it is spared).  Everything above then holds for
//     D(x) = min over b of (d_b(x) + o_b),
// d_b the distance to solid b: a minimum of 1-Lipschitz functions, so the
// field's argument is unchanged, and D(x) > t says that x is farther than
// t - o_b from every body b (no condition on a body with t < o_b).  Callers
// ask about t at least the largest offset, so every body is kept out of
// contact.  Without offsets D = d, bit for bit.
#pragma once

#include "Gristane/geometry.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace gristane {

struct ModelStore;  // writes and reads the parts below (model_store.cpp)

struct EnvDistanceSettings {
  double cell = 0.005;     // metres: the field's cell edge
  double pad = 0.1;        // metres of field beyond the obstacles' box
  double band = 0.03;      // exact distances within this of a triangle
  double max_cells = 8e6;  // cells beyond this make the cell coarser
  // Per body, metres added to its distance (finite, >= 0); empty: none.
  std::vector<double> offsets;
  // The exact test's candidate lists: for each brick of kBrick^3 field cells,
  // the triangles that can come within this of a point of it.  A ball test
  // of radius up to this reads the short list instead of walking the
  // triangle tree; 0: no lists.
  double list_reach = 0.0;
  // Where the field is needed at all (the arm's reach): the grid covers the
  // obstacles' padded box only inside this box.
  double clip_lo[3] = {-std::numeric_limits<double>::infinity(),
                       -std::numeric_limits<double>::infinity(),
                       -std::numeric_limits<double>::infinity()};
  double clip_hi[3] = {std::numeric_limits<double>::infinity(),
                       std::numeric_limits<double>::infinity(),
                       std::numeric_limits<double>::infinity()};
};

class EnvironmentDistance {
 public:
  explicit EnvironmentDistance(const std::vector<MeshRef>& bodies,
                               const EnvDistanceSettings& s = {});

  std::size_t n_bodies() const { return closed_.size(); }
  bool closed(std::size_t body) const { return closed_[body] != 0; }
  bool empty() const { return tris_.empty(); }
  // Body b's offset (0 without offsets).
  double offset(std::size_t body) const { return offset_.empty() ? 0.0 : offset_[body]; }
  bool has_offsets() const { return !offset_.empty(); }

  // A lower bound of the distance from x to the solids; 0 or less wherever
  // nothing is proven.  A few operations: the hot path.
  double lower_bound(const double* x) const {
    if (tris_.empty()) return kNothing;
    double v, d;
    if (field_cell(x, v, d)) return v - d;
    return box_distance(x);
  }

  // Whether the ball of radius r around x is proven farther than t from the
  // solids (lower_bound(x) - r > t, without its square root where the field
  // holds x); `key`: a rough measure of its room (less: nearer), for
  // ordering only.
  bool ball_settled(const double* x, double r, double t, double& key) const {
    if (tris_.empty()) {
      key = kNothing;
      return true;
    }
    double v, d2;
    if (field_cell_sq(x, v, d2)) {
      const double room = v - r - t;
      key = room;
      return room > 0.0 && d2 < room * room;
    }
    key = box_distance(x) - r - t;
    return key > 0.0;
  }

  // The field cell x lies in: its stored value v and the distance d from x
  // to the cell's centre; false when x is outside the field.
  bool field_cell(const double* x, double& v, double& d) const {
    double d2;
    if (!field_cell_sq(x, v, d2)) return false;
    d = std::sqrt(d2);
    return true;
  }
  // The same with the squared distance d2.
  bool field_cell_sq(const double* x, double& v, double& d2) const {
    const double gx = (x[0] - lo_[0]) * inv_cell_, gy = (x[1] - lo_[1]) * inv_cell_,
                 gz = (x[2] - lo_[2]) * inv_cell_;
    if (!(gx >= 0.0 && gx < extent_[0] && gy >= 0.0 && gy < extent_[1] && gz >= 0.0 &&
          gz < extent_[2]))
      return false;
    const auto i = static_cast<std::int64_t>(gx), j = static_cast<std::int64_t>(gy),
               k = static_cast<std::int64_t>(gz);
    v = static_cast<double>(field_[static_cast<std::size_t>((i * shape_[1] + j) * shape_[2] + k)]) *
        kQuantum;
    const double dx = x[0] - (lo_[0] + (static_cast<double>(i) + 0.5) * cell_),
                 dy = x[1] - (lo_[1] + (static_cast<double>(j) + 0.5) * cell_),
                 dz = x[2] - (lo_[2] + (static_cast<double>(k) + 0.5) * cell_);
    d2 = dx * dx + dy * dy + dz * dz;
    return true;
  }

  // An upper bound of the distance from x to the solids where the field
  // holds exact values (within its band of the surfaces, or 0 inside a
  // closed body), +inf elsewhere: the stored value is the exact distance of
  // the cell's centre rounded down by less than a quantum, and the distance
  // is 1-Lipschitz.  Lets a test that is bound to fail end without an exact
  // query.
  double upper_bound(const double* x) const {
    double v, d;
    if (tris_.empty() || !field_cell(x, v, d) || !(v < exact_below_))
      return std::numeric_limits<double>::infinity();
    return v + kQuantum + d;
  }

  // What the field alone says of the point x standing for a ball of radius
  // r, against t: proven farther than t (lower_bound(x) - r > t), proven
  // within t (upper_bound(x) <= t), or open; one look-up of the field, and
  // no square root unless the first answer is no.
  enum class PointVerdict { Clear, Within, Open };
  PointVerdict point_verdict(const double* x, double r, double t) const {
    if (tris_.empty()) return PointVerdict::Clear;
    double v, d2;
    if (!field_cell_sq(x, v, d2))
      return box_distance(x) - r > t ? PointVerdict::Clear : PointVerdict::Open;
    const double room = v - r - t;
    if (room > 0.0 && d2 < room * room) return PointVerdict::Clear;
    if (v < exact_below_ && v + kQuantum + std::sqrt(d2) <= t) return PointVerdict::Within;
    return PointVerdict::Open;
  }

  // The field's layout, for the vectorised verdicts (env_distance.cpp).
  struct FieldView {
    double lo[3], inv, cell, extent[3];
    std::int64_t shape[3];
    const std::uint16_t* field;
    double quantum, exact_below;
  };
  // The layout of the field, or false with none (no environment).
  bool field_view(FieldView& out) const {
    if (tris_.empty()) return false;
    out = FieldView{{lo_[0], lo_[1], lo_[2]},
                    inv_cell_,
                    cell_,
                    {extent_[0], extent_[1], extent_[2]},
                    {shape_[0], shape_[1], shape_[2]},
                    field_.data(),
                    kQuantum,
                    exact_below_};
    return true;
  }
  // point_verdict of each of the n row-major points p posed by T (row-major
  // 4x4), into out[k] (a PointVerdict); four points at a time where the CPU
  // has AVX2, with the same arithmetic in the same order, so the verdicts
  // are the scalar ones bit for bit.
  void point_verdicts(const double* T, const double* p, std::uint32_t n, double r, double t,
                      PointVerdict* out) const;

  // True when no point within t (>= 0) of x belongs to a solid: exact.
  bool ball_clear(const double* x, double t) const;
  // Field cells per brick edge of the candidate lists, and the longest list
  // kept (a brick with more triangles near it is left to the tree).
  static constexpr std::int64_t kBrick = 4;
  static constexpr std::uint32_t kMaxList = 64;
  // Exact distance from x to the solids (0 inside a closed body), and the
  // body that distance is to (none: the environment is empty).
  double distance(const double* x, std::size_t* body = nullptr) const;
  // min over bodies b of (exact distance to b + its offset), and that body:
  // which obstacle a point is shortest of its clearance from.
  double offset_distance(const double* x, std::size_t* body = nullptr) const;
  // Whether x lies inside a closed body.
  bool inside(const double* x) const { return enclosing_body(x) != static_cast<std::size_t>(-1); }
  // The closed body x lies inside (the lowest index, if several), or -1.
  std::size_t enclosing_body(const double* x) const;

  double cell() const { return cell_; }
  const std::int64_t* shape() const { return shape_; }
  const double* origin() const { return lo_; }
  std::size_t field_bytes() const { return field_.size() * sizeof(field_[0]); }

  static constexpr double kQuantum = 1e-4;  // metres per step of a field value
  static constexpr double kNothing = 1e9;   // the bound when there are no obstacles

 private:
  friend struct ModelStore;
  EnvironmentDistance() = default;
  struct Tri {
    geom::V3 a, b, c;
    std::uint32_t body;
    // The triangle's box, derived from a, b, c (set by bound()): most
    // triangles an exact test is given lie well away, and the box says so
    // first.
    geom::V3 lo{}, hi{};
    void bound() {
      for (int ax = 0; ax < 3; ++ax) {
        lo[ax] = std::min(a[ax], std::min(b[ax], c[ax]));
        hi[ax] = std::max(a[ax], std::max(b[ax], c[ax]));
      }
    }
    // Whether p's squared distance to the triangle exceeds t2: the box first,
    // a handful of operations where the exact distance takes a hundred, with
    // a margin of its own (1e-9 relative) so that it settles only what the
    // exact distance settles too.
    bool beyond(const geom::V3& p, double t2) const {
      return geom::box_sq(lo.data(), hi.data(), p.data()) > t2 * (1.0 + 1e-9) ||
             geom::point_triangle_sq(p, a, b, c) > t2;
    }
  };
  struct BvhNode {
    double lo[3], hi[3];
    std::uint32_t begin = 0, count = 0;
    std::int32_t left = -1, right = -1;
  };

  double box_distance(const double* x) const {
    double s = 0.0;
    for (int a = 0; a < 3; ++a) {
      const double below = box_lo_[a] - x[a], above = x[a] - box_hi_[a];
      const double d = below > 0.0 ? below : (above > 0.0 ? above : 0.0);
      s += d * d;
    }
    const double d = std::sqrt(s);
    return d == d ? d : 0.0;  // NaN: nothing proven
  }
  std::int32_t build_bvh(std::uint32_t begin, std::uint32_t end);
  void build_columns(double bin);
  void build_field(const EnvDistanceSettings& s);
  // The steps of build_field: the field's cells (true when the region of
  // interest cut the obstacles' box), the exact squared distances within
  // `band` of a surface, the quantised field, and 0 inside closed bodies.
  bool layout_field(const EnvDistanceSettings& s);
  std::vector<double> band_distances(double band) const;
  // visit(triangle, cell, squared distance of the cell's centre to it) for
  // every cell within `band` of each triangle, on all threads (slabs of x).
  template <class Visit>
  void each_band_cell(double band, Visit&& visit) const;
  // With offsets: D itself (not squared) within the band, and in `seeds` the
  // cells a surface passes within half a diagonal of.
  std::vector<double> band_offset_distances(double band, std::vector<std::uint8_t>& seeds) const;
  void quantise_field(std::vector<double>& best, double band, bool clipped,
                      const std::vector<std::uint8_t>* seeds = nullptr);
  void mark_inside();
  // Closed bodies' triangles whose vertical projection holds (x, y), each with
  // the height at which it is crossed there.
  template <class Visit>
  void crossings(double x, double y, Visit&& visit) const;

  std::vector<Tri> tris_;  // in tree order
  std::vector<BvhNode> bvh_;
  std::vector<std::uint8_t> closed_;
  double box_lo_[3] = {0, 0, 0}, box_hi_[3] = {0, 0, 0};
  // Bins over (x, y) of the closed bodies' triangles.
  double bin_lo_[2] = {0, 0}, inv_bin_ = 1.0;
  std::int64_t bins_[2] = {0, 0};
  std::vector<std::uint32_t> bin_start_, bin_tris_;
  // The field.
  double lo_[3] = {0, 0, 0};
  double cell_ = 1.0, inv_cell_ = 1.0;
  std::int64_t shape_[3] = {0, 0, 0};
  double extent_[3] = {0, 0, 0};
  std::vector<std::uint16_t> field_;
  double exact_below_ = 0.0;  // field values below this are exact (rounded down)
  // Candidate lists: triangles (tree order) per brick, from list_start_[b]
  // to list_start_[b + 1]; kNoList marks a brick left to the tree.
  void build_lists(double reach);
  // Given no surface within t of x: whether x is outside every solid.
  bool outside_near(const double* x, double t) const;
  // Whether every triangle within t of x (the list of x's brick, else the
  // tree) passes clear_of(tri).
  template <class Clear>
  bool triangles_clear(const double* x, double t, Clear&& clear_of) const;
  // outside_near with offsets: body b is asked about t - o_b.
  bool outside_near_offset(const double* x, double t) const;
  // The closed bodies x lies inside, by parity (at most kMaxOdd of them);
  // false when there are more, which callers take as inside.
  static constexpr int kMaxOdd = 32;
  bool odd_bodies(const double* x, std::uint32_t* odd, int& n_odd) const;
  // The list of the brick x lies in, or false (no lists, outside the field, or
  // a brick left to the tree).
  bool brick_list(const double* x, const std::uint32_t*& begin, const std::uint32_t*& end) const;
  static constexpr std::uint32_t kNoList = 0xffffffffu;
  double list_reach_ = 0.0;
  std::int64_t bricks_[3] = {0, 0, 0};
  std::vector<std::uint32_t> list_start_, list_tris_;
  // Offsets per body (empty: all 0), and the largest of a closed body's.
  std::vector<double> offset_;
  double closed_offset_ = 0.0;
};

// True when every surface point that `cover` stands for (built with surface
// radii), posed by T, lies farther than t from the solids.  Spheres proven by
// the field are not opened; the others are opened down to a leaf's points,
// each with the cover's rho.  A point the field cannot prove is tested
// exactly when t is at most `exact_up_to`, and counts as not clear otherwise
// (a wide test that fails is cheaper to split than to settle exactly).
//
// `certain` (optional): set when false is certain, a point of the cover being
// proven within t by the field's upper bound (no exact test is needed to
// refuse it); left false when false only means "not proven".
bool surface_clear(const class SurfaceCover& cover, const double* T, const EnvironmentDistance& env,
                   double t, double exact_up_to = std::numeric_limits<double>::infinity(),
                   bool* certain = nullptr);
// surface_clear's test of one leaf of `cover` whose sphere the field did not
// prove: its points by the field, then (when `exact`) the ones left open by
// the exact test.  `c`: the leaf's centre as posed by T.
bool leaf_clear(const class SurfaceCover& cover, const struct CoverNode& n, const double* c,
                const double* T, const EnvironmentDistance& env, double t, bool exact,
                bool* certain);
// What one point's verdict means for its leaf's test: go on to the next
// point, keep it for the exact test, or stop, the leaf not clear (`certain`
// set when the point is proven within t: no exact test would clear it).
enum class LeafStep { Next, Keep, Stop };
inline LeafStep leaf_step(EnvironmentDistance::PointVerdict verdict, bool exact, bool* certain) {
  using V = EnvironmentDistance::PointVerdict;
  if (verdict == V::Clear) return LeafStep::Next;
  if (verdict == V::Within) {
    if (certain) *certain = true;
    return LeafStep::Stop;
  }
  return exact ? LeafStep::Keep : LeafStep::Stop;
}
// The exact test of a leaf's points that the field left open (indices into
// the leaf, n_open of them): all at once by the leaf's sphere when there are
// several, else one by one.
bool open_points_clear(const class SurfaceCover& cover, const struct CoverNode& n, const double* c,
                       const double* T, const EnvironmentDistance& env, double t,
                       const std::uint32_t* open, std::uint32_t n_open);

}  // namespace gristane
