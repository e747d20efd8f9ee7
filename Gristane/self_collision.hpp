// Self-collision of a posed arm: does any link come too close to another link
// it may not touch?
//
// Each link gets, once, in its own frame:
//   - points on its surface, no farther than `sample_spacing` apart along any
//     triangle (every surface point lies within rho = 0.6 * spacing of one),
//     grouped into a tree of bounding spheres;
//   - a distance field on a grid of `cell` edges over its box padded by
//     `reach`: per cell the distance from the cell's centre to the surface,
//     exact within `band` of it and a lower bound beyond (capped at `reach`),
//     or -1 for cells enclosed by the surface.
// A pair (A, B) is tested by posing A's points into B's frame and reading B's
// field: a point is "close" when its cell's value is at most tau = rho + e,
// where e = cell * sqrt(3) / 2 bounds how far a point can be from its cell's
// centre.  So
//   - links that touch or overlap always collide: some point of A lies within
//     rho of B's surface, and its cell's value is at most rho + e;
//   - links farther apart than tau + e and the field's rounding never do
//     (about 9 mm at the defaults),
//     which leaves ordinary close wrist poses free.
// Sphere tests skip a whole subtree of A's points when the field (or B's box)
// proves every point in it farther than tau + e, which only ever skips points
// that would not have been close: the answer is that of testing every point.
#pragma once

#include "Gristane/geometry.hpp"
#include "Gristane/surface_cover.hpp"
#include "common/se3.hpp"

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace gristane {

struct ModelStore;  // writes and reads the parts below (model_store.cpp)

struct SelfCollisionSettings {
  double sample_spacing = 0.006;  // metres between surface points along a triangle
  double cell = 0.003;            // distance-field cell edge
  double band = 0.012;            // exact distances within this of the surface
  double reach = 0.06;            // field padding around the link, and the cap of its values
};

class LinkShape {
 public:
  LinkShape(const MeshRef& mesh, const SelfCollisionSettings& s);

  bool empty() const { return cover_.empty(); }
  std::size_t n_points() const { return cover_.n_points(); }
  // Bounding sphere of the link's surface points (link frame).
  const double* centre() const { return cover_.centre(); }
  double radius() const { return cover_.radius(); }

  // Lower bound of the distance from p (link frame) to this link's surface,
  // or a negative number inside it; `reach` at most where nothing is near.
  double distance_bound(const double* p) const {
    std::size_t idx;
    if (cell_of(p, idx)) {
      const std::uint8_t v = field_[idx];
      return v == kInside ? -1.0 : static_cast<double>(v) * quantum_ - half_diag_;
    }
    // Outside the grid, more than `reach` beyond the mesh's box on some axis.
    const double box = box_distance(p);
    return box == box ? box : -1.0;  // NaN: no bound
  }
  // The field's value at p's cell: p is close when it is at most tau.  Off
  // the grid the field says nothing, and the distance to the mesh's box
  // (more than `reach` there) decides: a threshold widened by a motion
  // bound can reach beyond the grid, and a point there may still be near.
  bool close(const double* p, double tau) const {
    std::size_t idx;
    if (!cell_of(p, idx)) return !(box_distance(p) > tau);  // NaN: close
    const std::uint8_t v = field_[idx];
    return v == kInside || static_cast<double>(v) * quantum_ <= tau;
  }
  // How far p lies beyond the mesh's box along the axis where it lies
  // farthest (a lower bound of its distance to the surface), at least
  // `reach` since only points off the grid ask; NaN for NaN.
  double box_distance(const double* p) const {
    double box = reach_;
    for (int a = 0; a < 3; ++a) {
      const double below = box_lo_[a] - p[a], above = p[a] - box_hi_[a];
      box = below > box ? below : box;
      box = above > box ? above : box;
    }
    const double sum = p[0] + p[1] + p[2];
    return sum == sum ? box : sum;
  }

  // True when some point of `this`, posed by M (this link's frame into
  // `other`'s frame), is close to `other`.
  bool touches(const LinkShape& other, const cellpath::Mat4& M, double tau, double skip) const;
  // How far beyond `skip` every point of `this`, posed by M, lies outside
  // `other` (a lower bound, at most `cap`); none (<= 0, or NaN) when some
  // point may lie within `skip`.
  double room(const LinkShape& other, const cellpath::Mat4& M, double skip, double cap) const;

 private:
  friend struct ModelStore;
  LinkShape() = default;
  void build_field(const MeshRef& mesh, const SelfCollisionSettings& s);
  // The steps of build_field: the field's cells, the exact squared distances
  // within `band` of the surface (cells of edge h), the quantised field, and
  // the inside.
  void layout_field(const MeshRef& mesh, const SelfCollisionSettings& s);
  std::vector<double> band_distances(const MeshRef& mesh, double band, double h) const;
  void quantise_field(std::vector<double>& best, double band, double h);
  void mark_inside(const std::vector<double>& value);
  // The cell floor((p - lo) / cell) as an index into the field, or false
  // outside the grid (NaN included).  For x >= 0 truncation is floor.
  bool cell_of(const double* p, std::size_t& idx) const {
    const double x = (p[0] - lo_[0]) * inv_cell_, y = (p[1] - lo_[1]) * inv_cell_,
                 z = (p[2] - lo_[2]) * inv_cell_;
    if (!(x >= 0.0 && x < extent_[0] && y >= 0.0 && y < extent_[1] && z >= 0.0 && z < extent_[2]))
      return false;
    idx = (static_cast<std::size_t>(x) * static_cast<std::size_t>(shape_[1]) +
           static_cast<std::size_t>(y)) *
              static_cast<std::size_t>(shape_[2]) +
          static_cast<std::size_t>(z);
    return true;
  }

  SurfaceCover cover_;  // the surface points, spheres over the points alone
  // Distance field.
  double lo_[3] = {0, 0, 0};      // grid corner
  double box_lo_[3] = {0, 0, 0};  // the mesh's own box
  double box_hi_[3] = {0, 0, 0};
  double inv_cell_ = 1.0, half_diag_ = 0.0, reach_ = 0.0;
  std::int64_t shape_[3] = {0, 0, 0};
  double extent_[3] = {0, 0, 0};  // shape_ as doubles
  // Per cell the distance in steps of quantum_ = reach / 254, rounded down
  // (so never more than the distance), or kInside.  A byte per cell keeps
  // the fields of a whole arm small enough to stay in the caches.
  static constexpr std::uint8_t kInside = 255;
  double quantum_ = 1.0;
  std::vector<std::uint8_t> field_;
};

class SelfCollisionModel {
 public:
  // One mesh per link, base first; an empty mesh is a link without geometry.
  SelfCollisionModel(const std::vector<MeshRef>& links, const SelfCollisionSettings& s = {});

  std::size_t n_links() const { return shapes_.size(); }
  const LinkShape& shape(std::size_t i) const { return shapes_[i]; }

  // Pairs (i < j) tested by collides(); initially every pair of links with
  // geometry that are not neighbours in the chain.
  const std::vector<std::pair<std::size_t, std::size_t>>& checked() const { return checked_; }
  void set_checked(std::vector<std::pair<std::size_t, std::size_t>> pairs) {
    checked_ = std::move(pairs);
    tables_.clear();
    index_tables();
  }

  // Whether links i and j, at world poses Ti and Tj, come close (the sphere
  // test first, then the points of the link with fewer against the other's field).
  bool pair_collides(std::size_t i, std::size_t j, const cellpath::Mat4& Ti,
                     const cellpath::Mat4& Tj) const {
    return pair_within(i, j, Ti, Tj, tau_, skip_);
  }
  // The same with a wider threshold: true unless no point of one link comes
  // within `extra` more than the margin of the other (`extra` >= 0).
  bool pair_within_extra(std::size_t i, std::size_t j, const cellpath::Mat4& Ti,
                         const cellpath::Mat4& Tj, double extra) const {
    return pair_within(i, j, Ti, Tj, tau_ + extra, skip_ + extra);
  }

  // A table over the two joints between links i and i + 2 (joints i and
  // i + 1): cells of `delta` rad from `lo`, each marked when the pair is
  // clear everywhere in it, so that collides() can skip the pair there.
  struct PairTable {
    std::size_t pair = 0;   // index into checked()
    std::size_t joint = 0;  // the first of the two joints
    double lo[2] = {0, 0}, inv_delta = 1.0;
    std::int64_t cells[2] = {0, 0};
    std::vector<std::uint8_t> clear;
    // Per cell not marked clear (when not empty): the room the pair keeps at
    // the cell's centre, in steps of `room_step` metres, every point of one
    // link lying that much beyond the margin from the other.  At q the links
    // have moved at most |q_k - centre_k| * swing[k] relative to each other
    // along the table's joints, so the pair is clear while that is less: a
    // pair that passes close to the margin in a part of the plane is not
    // walked at every query there.
    double swing[2] = {0, 0};
    double room_step = 0.0;
    std::vector<std::uint8_t> room;
  };
  void add_table(PairTable table) {
    tables_.push_back(std::move(table));
    index_tables();
  }
  // The room links i and j, at world poses Ti and Tj, keep beyond the
  // margin (LinkShape::room; at most `cap`).
  double pair_room(std::size_t i, std::size_t j, const cellpath::Mat4& Ti, const cellpath::Mat4& Tj,
                   double cap) const;
  // Whether the table of checked pair `pair` (if it has one) marks every cell
  // of the box lo .. hi (joint vectors) clear: then the pair is clear for
  // every configuration in the box, as collides() would find.
  bool table_clear_box(std::size_t pair, const double* lo, const double* hi) const;
  // Whether any checked pair does, for the world poses of all links (with q,
  // the joint vector, the pair tables skip pairs).  The pair that collided
  // last, the caller's `last_hit`, is tried first: consecutive queries of a
  // planner lie close together.
  bool collides(const cellpath::Mat4* poses, const double* q, std::size_t& last_hit) const;

  double tau() const { return tau_; }
  // How far a point can lie from its field cell's centre.
  double cell_reach() const { return e_; }
  // Distance below which two links may be reported colliding (tau + e).
  double margin() const { return skip_; }

 private:
  friend struct ModelStore;
  SelfCollisionModel() = default;
  std::vector<LinkShape> shapes_;
  std::vector<std::pair<std::size_t, std::size_t>> checked_;
  double tau_ = 0.0, skip_ = 0.0, e_ = 0.0;
  std::vector<PairTable> tables_;
  // Per checked pair what collides() asks at every query, derived from the
  // shapes and tables (index_tables): the index of its table in tables_ or
  // -1, whether both links have geometry, and how far apart their bounding
  // spheres' centres must lie to settle the pair (squared); per link that
  // centre.
  struct PairFacts {
    int table = -1;
    bool walked = false;
    double reach2 = 0.0;
  };
  std::vector<PairFacts> facts_;
  std::vector<cellpath::Vec3> centres_;
  void index_tables();
  const PairTable* table_for(std::size_t pair) const {
    const int t = pair < facts_.size() ? facts_[pair].table : -1;
    return t < 0 ? nullptr : &tables_[static_cast<std::size_t>(t)];
  }
  bool pair_within(std::size_t i, std::size_t j, const cellpath::Mat4& Ti, const cellpath::Mat4& Tj,
                   double tau, double skip) const;
  // The two steps of pair_within: whether the links' bounding spheres (about
  // their posed centres ca, cb) lie more than `skip` apart, and whether some
  // point of one comes within tau of the other.
  bool spheres_apart(std::size_t i, std::size_t j, const cellpath::Vec3& ca,
                     const cellpath::Vec3& cb, double skip) const;
  bool points_within(std::size_t i, std::size_t j, const cellpath::Mat4& Ti,
                     const cellpath::Mat4& Tj, double tau, double skip) const;
  bool collides_pairwise(const cellpath::Mat4* poses, const double* q, std::size_t& last_hit) const;
  // Whether checked pair `pair`'s table (if it has one) clears it at q (none
  // without q).
  bool tabled_clear(std::size_t pair, const double* q) const;
  bool table_clear(const PairTable& t, const double* q) const;
};

}  // namespace gristane
