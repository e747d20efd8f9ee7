#include "Gristane/self_collision.hpp"

#include "Gristane/collision.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <deque>
#include <limits>
#include <stdexcept>
#include <tuple>

namespace gristane {

using namespace geom;

namespace {

// Rounding of posed points and of the bounds below is many orders of
// magnitude under this; it keeps every shortcut on the safe side.
constexpr double kSlack = 1e-9;
// More cells than this for one link means a runaway mesh size or cell; refused.
constexpr double kMaxCells = 64.0 * 1024 * 1024;

}  // namespace

LinkShape::LinkShape(const MeshRef& mesh, const SelfCollisionSettings& s)
    : cover_(mesh, s.sample_spacing, false) {
  if (!(s.sample_spacing > 0.0) || !(s.cell > 0.0) || !(s.reach > 0.0))
    throw std::invalid_argument("self-collision spacing, cell and reach must be positive");
  if (mesh.n_faces == 0) return;
  build_field(mesh, s);
}

void LinkShape::build_field(const MeshRef& mesh, const SelfCollisionSettings& s) {
  layout_field(mesh, s);
  std::vector<double> value = band_distances(mesh, s.band, s.cell);
  quantise_field(value, s.band, s.cell);
  mark_inside(value);
}

void LinkShape::layout_field(const MeshRef& mesh, const SelfCollisionSettings& s) {
  // The box of the vertices the faces use.
  for (int a = 0; a < 3; ++a) {
    box_lo_[a] = std::numeric_limits<double>::infinity();
    box_hi_[a] = -std::numeric_limits<double>::infinity();
  }
  for (std::size_t f = 0; f < 3 * mesh.n_faces; ++f) {
    const double* v = mesh.vertices + 3 * mesh.faces[f];
    for (int a = 0; a < 3; ++a) {
      box_lo_[a] = std::min(box_lo_[a], v[a]);
      box_hi_[a] = std::max(box_hi_[a], v[a]);
    }
  }
  const double h = s.cell;
  reach_ = s.reach;
  inv_cell_ = 1.0 / h;
  half_diag_ = h * std::sqrt(3.0) / 2.0;
  double total = 1.0;
  for (int a = 0; a < 3; ++a) {
    lo_[a] = box_lo_[a] - reach_;
    const double n = std::ceil((box_hi_[a] - box_lo_[a] + 2.0 * reach_) / h) + 1.0;
    if (!std::isfinite(n)) throw std::invalid_argument("link mesh has non-finite vertices");
    total *= n;
    if (!(total <= kMaxCells))
      throw std::invalid_argument("link mesh too large for its self-collision field");
    shape_[a] = static_cast<std::int64_t>(n);
    extent_[a] = n;
  }
}

std::vector<double> LinkShape::band_distances(const MeshRef& mesh, double band, double h) const {
  const std::int64_t sx = shape_[0], sy = shape_[1], sz = shape_[2];
  std::vector<double> best(static_cast<std::size_t>(sx * sy * sz), band * band);
  auto centre = [&](std::int64_t i, int a) { return lo_[a] + (static_cast<double>(i) + 0.5) * h; };

  // Exact distances to each triangle for the cells within `band` of it.
  for (std::size_t f = 0; f < mesh.n_faces; ++f) {
    const std::int64_t* F = mesh.faces + 3 * f;
    const V3 a = vertex(mesh, F[0]), b = vertex(mesh, F[1]), c = vertex(mesh, F[2]);
    std::int64_t r0[3], r1[3];
    band_cells(a, b, c, band, lo_, inv_cell_, shape_, r0, r1);
    for (std::int64_t i = r0[0]; i <= r1[0]; ++i)
      for (std::int64_t j = r0[1]; j <= r1[1]; ++j)
        for (std::int64_t l = r0[2]; l <= r1[2]; ++l) {
          const std::size_t idx = static_cast<std::size_t>((i * sy + j) * sz + l);
          const double d2 = point_triangle_sq({centre(i, 0), centre(j, 1), centre(l, 2)}, a, b, c);
          if (d2 < best[idx]) best[idx] = d2;
        }
  }
  return best;
}

// On return `best` holds each cell's distance (capped at the reach) that the
// field stores rounded down.
void LinkShape::quantise_field(std::vector<double>& best, double band, double h) {
  // Beyond the band, a lower bound: every surface point lies in a cell whose
  // centre is within e of it (such a cell's exact value is at most e), so the
  // distance from a centre to the surface is at least its distance to the
  // nearest such centre, less e.  That distance comes from an exact Euclidean
  // distance transform over the cells.
  std::vector<double> far(best.size());
  for (std::size_t idx = 0; idx < best.size(); ++idx)
    far[idx] = std::sqrt(best[idx]) <= half_diag_ ? 0.0 : kFarSq;
  distance_transform(far, shape_);
  quantum_ = reach_ / 254.0;
  field_.resize(best.size());
  for (std::size_t idx = 0; idx < best.size(); ++idx) {
    double d = std::sqrt(best[idx]);
    if (!(d < band)) d = std::max(band, std::sqrt(far[idx]) * h - half_diag_);
    d = std::min(d, reach_);
    best[idx] = d;
    double steps = std::floor(d / quantum_);
    while (steps > 0.0 && steps * quantum_ > d) steps -= 1.0;  // never above the distance
    field_[idx] = static_cast<std::uint8_t>(std::min(steps, 254.0));
  }
}

void LinkShape::mark_inside(const std::vector<double>& value) {
  const std::int64_t sx = shape_[0], sy = shape_[1], sz = shape_[2];

  // Cells that hold no surface and cannot be reached from the border through
  // such cells lie inside the link.
  std::vector<std::uint8_t> outside(field_.size(), 0);
  std::deque<std::int64_t> queue;
  auto free_cell = [&](std::size_t idx) { return value[idx] > half_diag_; };
  for (std::int64_t i = 0; i < sx; ++i)
    for (std::int64_t j = 0; j < sy; ++j)
      for (std::int64_t l = 0; l < sz; ++l) {
        if (i != 0 && j != 0 && l != 0 && i != sx - 1 && j != sy - 1 && l != sz - 1) continue;
        const std::size_t idx = static_cast<std::size_t>((i * sy + j) * sz + l);
        if (free_cell(idx) && !outside[idx]) {
          outside[idx] = 1;
          queue.push_back(static_cast<std::int64_t>(idx));
        }
      }
  while (!queue.empty()) {
    const std::int64_t idx = queue.front();
    queue.pop_front();
    const std::int64_t i = idx / (sy * sz), j = (idx / sz) % sy, l = idx % sz;
    const std::int64_t nb[6][3] = {{i - 1, j, l}, {i + 1, j, l}, {i, j - 1, l},
                                   {i, j + 1, l}, {i, j, l - 1}, {i, j, l + 1}};
    for (const auto& n : nb) {
      if (n[0] < 0 || n[1] < 0 || n[2] < 0 || n[0] >= sx || n[1] >= sy || n[2] >= sz) continue;
      const std::size_t k = static_cast<std::size_t>((n[0] * sy + n[1]) * sz + n[2]);
      if (outside[k] || !free_cell(k)) continue;
      outside[k] = 1;
      queue.push_back(static_cast<std::int64_t>(k));
    }
  }
  for (std::size_t idx = 0; idx < field_.size(); ++idx)
    if (!outside[idx] && free_cell(idx)) field_[idx] = kInside;
}

bool LinkShape::touches(const LinkShape& other, const cellpath::Mat4& M, double tau,
                        double skip) const {
  if (empty() || other.empty()) return false;
  return !cover_.walk(
      M.data(),
      [&](const double* c, double radius) {
        return other.distance_bound(c) - radius > skip + kSlack;
      },
      [&](const CoverNode& n, const double*) {
        const double* p = cover_.points() + 3 * std::size_t{n.begin};
        for (std::uint32_t k = 0; k < n.count; ++k, p += 3) {
          const cellpath::Vec3 w = cellpath::transform_point(M, p);
          if (other.close(w.data(), tau)) return false;
        }
        return true;
      });
}

double LinkShape::room(const LinkShape& other, const cellpath::Mat4& M, double skip,
                       double cap) const {
  double least = cap;
  if (empty() || other.empty()) return least;
  // A sphere that leaves at least the least room found so far is not
  // opened: nothing in it lowers the answer.  A point within skip, or
  // inside, ends the walk.
  cover_.walk(
      M.data(),
      [&](const double* c, double radius) {
        return other.distance_bound(c) - radius - skip - kSlack >= least;
      },
      [&](const CoverNode& n, const double*) {
        const double* p = cover_.points() + 3 * std::size_t{n.begin};
        for (std::uint32_t k = 0; k < n.count; ++k, p += 3) {
          const cellpath::Vec3 w = cellpath::transform_point(M, p);
          const double left = other.distance_bound(w.data()) - skip - kSlack;
          if (!(left >= least)) least = left;
          if (!(least > 0.0)) return false;
        }
        return true;
      });
  return least;
}

SelfCollisionModel::SelfCollisionModel(const std::vector<MeshRef>& links,
                                       const SelfCollisionSettings& s) {
  shapes_.reserve(links.size());
  for (const MeshRef& m : links) shapes_.emplace_back(m, s);
  const double rho = kCoverFactor * s.sample_spacing;
  const double e = s.cell * std::sqrt(3.0) / 2.0;
  tau_ = rho + e;
  e_ = e;
  // A point is close when its cell's stored value (its centre's distance,
  // rounded down by less than reach / 254) is at most tau: the point itself
  // is then nearer than this.
  skip_ = tau_ + s.reach / 254.0 + e;
  if (!(skip_ < s.reach) || !(tau_ < s.band))
    throw std::invalid_argument("self-collision band and reach must exceed the margin");
  for (std::size_t i = 0; i < shapes_.size(); ++i)
    for (std::size_t j = i + 2; j < shapes_.size(); ++j)
      if (!shapes_[i].empty() && !shapes_[j].empty()) checked_.emplace_back(i, j);
  index_tables();
}

bool SelfCollisionModel::spheres_apart(std::size_t i, std::size_t j, const cellpath::Vec3& ca,
                                       const cellpath::Vec3& cb, double skip) const {
  const double dx = ca[0] - cb[0], dy = ca[1] - cb[1], dz = ca[2] - cb[2];
  const double reach = shapes_[i].radius() + shapes_[j].radius() + skip + kSlack;
  return dx * dx + dy * dy + dz * dz > reach * reach;
}

bool SelfCollisionModel::points_within(std::size_t i, std::size_t j, const cellpath::Mat4& Ti,
                                       const cellpath::Mat4& Tj, double tau, double skip) const {
  const LinkShape& A = shapes_[i];
  const LinkShape& B = shapes_[j];
  // The link with fewer points walks its tree against the other's field.
  if (A.n_points() <= B.n_points())
    return A.touches(B, cellpath::mul4(cellpath::rigid_inverse(Tj), Ti), tau, skip);
  return B.touches(A, cellpath::mul4(cellpath::rigid_inverse(Ti), Tj), tau, skip);
}

double SelfCollisionModel::pair_room(std::size_t i, std::size_t j, const cellpath::Mat4& Ti,
                                     const cellpath::Mat4& Tj, double cap) const {
  const LinkShape& A = shapes_[i];
  const LinkShape& B = shapes_[j];
  if (A.empty() || B.empty()) return cap;
  if (A.n_points() <= B.n_points())
    return A.room(B, cellpath::mul4(cellpath::rigid_inverse(Tj), Ti), skip_, cap);
  return B.room(A, cellpath::mul4(cellpath::rigid_inverse(Ti), Tj), skip_, cap);
}

bool SelfCollisionModel::pair_within(std::size_t i, std::size_t j, const cellpath::Mat4& Ti,
                                     const cellpath::Mat4& Tj, double tau, double skip) const {
  if (shapes_[i].empty() || shapes_[j].empty()) return false;
  const cellpath::Vec3 ca = cellpath::transform_point(Ti, shapes_[i].centre());
  const cellpath::Vec3 cb = cellpath::transform_point(Tj, shapes_[j].centre());
  if (spheres_apart(i, j, ca, cb, skip)) return false;
  return points_within(i, j, Ti, Tj, tau, skip);
}

void SelfCollisionModel::index_tables() {
  facts_.assign(checked_.size(), PairFacts{});
  // The first table of a pair answers for it.
  for (std::size_t k = tables_.size(); k-- > 0;)
    if (tables_[k].pair < facts_.size()) facts_[tables_[k].pair].table = static_cast<int>(k);
  centres_.assign(shapes_.size(), cellpath::Vec3{});
  for (std::size_t l = 0; l < shapes_.size(); ++l)
    if (!shapes_[l].empty())
      centres_[l] = {shapes_[l].centre()[0], shapes_[l].centre()[1], shapes_[l].centre()[2]};
  for (std::size_t k = 0; k < checked_.size(); ++k) {
    const auto [i, j] = checked_[k];
    if (i >= shapes_.size() || j >= shapes_.size() || shapes_[i].empty() || shapes_[j].empty())
      continue;
    // As spheres_apart() sums it.
    const double reach = shapes_[i].radius() + shapes_[j].radius() + skip_ + kSlack;
    facts_[k].walked = true;
    facts_[k].reach2 = reach * reach;
  }
}

bool SelfCollisionModel::tabled_clear(std::size_t pair, const double* q) const {
  const PairTable* t = q ? table_for(pair) : nullptr;
  return t && table_clear(*t, q);
}

bool SelfCollisionModel::table_clear(const PairTable& t, const double* q) const {
  std::int64_t c[2];
  for (int a = 0; a < 2; ++a) {
    const double f = std::floor((q[t.joint + a] - t.lo[a]) * t.inv_delta);
    if (!(f >= 0.0 && f < static_cast<double>(t.cells[a]))) return false;
    c[a] = static_cast<std::int64_t>(f);
  }
  const auto cell = static_cast<std::size_t>(c[0] * t.cells[1] + c[1]);
  if (t.clear[cell]) return true;
  if (t.room.empty() || t.room[cell] == 0) return false;
  double moved = 0.0;
  for (int a = 0; a < 2; ++a) {
    const double centre = t.lo[a] + (static_cast<double>(c[a]) + 0.5) / t.inv_delta;
    moved += std::fabs(q[t.joint + a] - centre) * t.swing[a];
  }
  return moved * (1.0 + 1e-9) + kSlack < t.room[cell] * t.room_step;
}

bool SelfCollisionModel::table_clear_box(std::size_t pair, const double* lo,
                                         const double* hi) const {
  // A box over more cells than this is not worth the look-ups.
  constexpr std::int64_t kMaxCells = 64;
  if (const PairTable* tp = table_for(pair)) {
    const PairTable& t = *tp;
    std::int64_t c0[2], c1[2];
    for (int a = 0; a < 2; ++a) {
      const double f0 = std::floor((lo[t.joint + a] - t.lo[a]) * t.inv_delta);
      const double f1 = std::floor((hi[t.joint + a] - t.lo[a]) * t.inv_delta);
      if (!(f0 >= 0.0 && f1 < static_cast<double>(t.cells[a]) && f0 <= f1)) return false;
      c0[a] = static_cast<std::int64_t>(f0);
      c1[a] = static_cast<std::int64_t>(f1);
    }
    if ((c1[0] - c0[0] + 1) * (c1[1] - c0[1] + 1) > kMaxCells) return false;
    for (std::int64_t u = c0[0]; u <= c1[0]; ++u)
      for (std::int64_t v = c0[1]; v <= c1[1]; ++v)
        if (!t.clear[static_cast<std::size_t>(u * t.cells[1] + v)]) return false;
    return true;
  }
  return false;
}

bool SelfCollisionModel::collides(const cellpath::Mat4* poses, const double* q,
                                  std::size_t& last_hit) const {
  const std::size_t n = checked_.size();
  // Each link's bounding centre is posed once a query, not once a pair: most
  // pairs end at the sphere test.
  constexpr std::size_t kMaxLinks = 32;
  if (shapes_.size() > kMaxLinks) return collides_pairwise(poses, q, last_hit);
  std::array<cellpath::Vec3, kMaxLinks> centre;
  std::uint32_t posed = 0;
  auto centre_of = [&](std::size_t link) -> const cellpath::Vec3& {
    if (!(posed >> link & 1u)) {
      centre[link] = cellpath::transform_point(poses[link], centres_[link].data());
      posed |= 1u << link;
    }
    return centre[link];
  };
  if (n == 0) return false;
  // From the pair that collided last, round to the one before it.
  for (std::size_t k = 0, at = last_hit % n; k < n; ++k, at = at + 1 < n ? at + 1 : 0) {
    const PairFacts& f = facts_[at];
    if (!f.walked) continue;
    if (q && f.table >= 0 && table_clear(tables_[static_cast<std::size_t>(f.table)], q)) continue;
    const auto& [i, j] = checked_[at];
    const cellpath::Vec3 &ca = centre_of(i), &cb = centre_of(j);
    const double dx = ca[0] - cb[0], dy = ca[1] - cb[1], dz = ca[2] - cb[2];
    if (dx * dx + dy * dy + dz * dz > f.reach2) continue;
    if (points_within(i, j, poses[i], poses[j], tau_, skip_)) {
      last_hit = at;
      return true;
    }
  }
  return false;
}

bool SelfCollisionModel::collides_pairwise(const cellpath::Mat4* poses, const double* q,
                                           std::size_t& last_hit) const {
  const std::size_t n = checked_.size();
  if (n == 0) return false;
  // From the pair that collided last, round to the one before it.
  for (std::size_t k = 0, at = last_hit % n; k < n; ++k, at = at + 1 < n ? at + 1 : 0) {
    if (tabled_clear(at, q)) continue;
    const auto& [i, j] = checked_[at];
    if (pair_collides(i, j, poses[i], poses[j])) {
      last_hit = at;
      return true;
    }
  }
  return false;
}

}  // namespace gristane
