#include "Gristane/env_distance.hpp"

#include "Gristane/surface_cover.hpp"

#include <algorithm>
#include <numeric>
#include <stdexcept>
#include <tuple>
#include <utility>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define GRISTANE_HAVE_AVX2_VERDICTS 1
#endif

namespace gristane {

using namespace geom;

namespace {

constexpr std::uint32_t kLeafTris = 4;

// Which side of the line s -> t (s before t in (x, y) order) the point p lies
// on, +1 or -1, with p moved by (eps, eps^2) when it lies on the line: the
// same perturbation for every triangle that shares the edge, so a ray through
// an edge or a vertex is counted once.
int side(double sx, double sy, double tx, double ty, double px, double py) {
  const double v = (tx - sx) * (py - sy) - (ty - sy) * (px - sx);
  if (v > 0.0) return 1;
  if (v < 0.0) return -1;
  if (ty != sy) return ty < sy ? 1 : -1;
  return tx > sx ? 1 : -1;
}

int edge_sign(const V3& u, const V3& v, double px, double py) {
  const bool ordered = u[0] < v[0] || (u[0] == v[0] && u[1] < v[1]);
  return ordered ? side(u[0], u[1], v[0], v[1], px, py) : -side(v[0], v[1], u[0], u[1], px, py);
}

// Whether the vertical line through (px, py) crosses the triangle, and at
// which height.
bool vertical_hit(const V3& a, const V3& b, const V3& c, double px, double py, double& z) {
  const int s0 = edge_sign(b, c, px, py), s1 = edge_sign(c, a, px, py),
            s2 = edge_sign(a, b, px, py);
  if (s0 != s1 || s1 != s2) return false;
  const double w0 = (c[0] - b[0]) * (py - b[1]) - (c[1] - b[1]) * (px - b[0]);
  const double w1 = (a[0] - c[0]) * (py - c[1]) - (a[1] - c[1]) * (px - c[0]);
  const double w2 = (b[0] - a[0]) * (py - a[1]) - (b[1] - a[1]) * (px - a[0]);
  const double sum = w0 + w1 + w2;
  z = sum != 0.0 ? (w0 * a[2] + w1 * b[2] + w2 * c[2]) / sum : std::max({a[2], b[2], c[2]});
  return true;
}

// A mesh is closed when, with vertices at the same place taken as one, every
// edge belongs to exactly two faces.
bool is_closed(const MeshRef& m) {
  if (m.n_faces == 0) return false;
  std::vector<std::uint32_t> order(m.n_vertices);
  std::iota(order.begin(), order.end(), 0u);
  auto key = [&](std::uint32_t i) {
    const double* v = m.vertices + 3 * i;
    return std::tie(v[0], v[1], v[2]);
  };
  std::sort(order.begin(), order.end(),
            [&](std::uint32_t x, std::uint32_t y) { return key(x) < key(y); });
  std::vector<std::uint32_t> id(m.n_vertices);
  std::uint32_t next = 0;
  for (std::size_t k = 0; k < order.size(); ++k) {
    if (k > 0 && key(order[k]) != key(order[k - 1])) ++next;
    id[order[k]] = next;
  }
  std::vector<std::pair<std::uint32_t, std::uint32_t>> edges;
  edges.reserve(3 * m.n_faces);
  for (std::size_t f = 0; f < m.n_faces; ++f) {
    const std::int64_t* F = m.faces + 3 * f;
    for (int e = 0; e < 3; ++e) {
      std::uint32_t u = id[static_cast<std::size_t>(F[e])],
                    v = id[static_cast<std::size_t>(F[(e + 1) % 3])];
      if (u == v) return false;  // a collapsed face
      edges.emplace_back(std::min(u, v), std::max(u, v));
    }
  }
  std::sort(edges.begin(), edges.end());
  for (std::size_t k = 0; k < edges.size();) {
    std::size_t r = k;
    while (r < edges.size() && edges[r] == edges[k]) ++r;
    if (r - k != 2) return false;
    k = r;
  }
  return true;
}

// The largest float-free step count q with q * quantum <= d.
std::uint16_t quantise_down(double d) {
  if (!(d > 0.0)) return 0;
  double steps = std::floor(d / EnvironmentDistance::kQuantum);
  while (steps > 0.0 && steps * EnvironmentDistance::kQuantum > d) steps -= 1.0;
  return static_cast<std::uint16_t>(std::min(steps, 65535.0));
}

}  // namespace

EnvironmentDistance::EnvironmentDistance(const std::vector<MeshRef>& bodies,
                                         const EnvDistanceSettings& s) {
  if (!(s.cell > 0.0) || !std::isfinite(s.cell) || !(s.pad >= 0.0) || !(s.band > 0.0) ||
      !(s.max_cells >= 8.0))
    throw std::invalid_argument("distance field: cell and band must be positive, pad not negative");
  if (bodies.size() >= (std::size_t{1} << 31))
    throw std::length_error("too many environment bodies");
  if (!s.offsets.empty()) {
    if (s.offsets.size() != bodies.size())
      throw std::invalid_argument("distance field: one offset per environment body is needed");
    for (double o : s.offsets)
      if (!(o >= 0.0) || !std::isfinite(o))
        throw std::invalid_argument("distance field: offsets must be finite and not negative");
    // All zero is no offset at all: the field is then the plain one, bit for bit.
    if (std::any_of(s.offsets.begin(), s.offsets.end(), [](double o) { return o > 0.0; }))
      offset_ = s.offsets;
  }
  for (int a = 0; a < 3; ++a) {
    box_lo_[a] = std::numeric_limits<double>::infinity();
    box_hi_[a] = -std::numeric_limits<double>::infinity();
  }
  for (std::size_t b = 0; b < bodies.size(); ++b) {
    const MeshRef& m = bodies[b];
    closed_.push_back(is_closed(m) ? 1 : 0);
    for (std::size_t f = 0; f < m.n_faces; ++f) {
      const std::int64_t* F = m.faces + 3 * f;
      Tri t{vertex(m, F[0]), vertex(m, F[1]), vertex(m, F[2]), static_cast<std::uint32_t>(b)};
      for (const V3& v : {t.a, t.b, t.c}) {
        if (!std::isfinite(v[0]) || !std::isfinite(v[1]) || !std::isfinite(v[2]))
          throw std::invalid_argument("environment mesh has non-finite vertices");
        for (int a = 0; a < 3; ++a) {
          box_lo_[a] = std::min(box_lo_[a], v[a]);
          box_hi_[a] = std::max(box_hi_[a], v[a]);
        }
      }
      t.bound();
      tris_.push_back(t);
    }
  }
  if (tris_.size() >= (std::size_t{1} << 31))
    throw std::length_error("environment meshes too large");
  for (std::size_t b = 0; b < offset_.size(); ++b)
    if (closed_[b]) closed_offset_ = std::max(closed_offset_, offset_[b]);
  if (tris_.empty()) return;
  bvh_.reserve(2 * (tris_.size() / kLeafTris + 1));
  build_bvh(0, static_cast<std::uint32_t>(tris_.size()));
  build_columns(std::max(s.cell, 0.02));
  build_field(s);
  if (s.list_reach > 0.0 && std::isfinite(s.list_reach)) build_lists(s.list_reach);
}

void EnvironmentDistance::build_lists(double reach) {
  const double brick = static_cast<double>(kBrick) * cell_;
  // A point of a brick lies within half its diagonal of the brick's centre:
  // a triangle within `reach` of the point is within this of the centre.
  const double within = reach + brick * std::sqrt(3.0) / 2.0;
  std::int64_t total = 1;
  for (int a = 0; a < 3; ++a) {
    bricks_[a] = (shape_[a] + kBrick - 1) / kBrick;
    total *= bricks_[a];
  }
  std::vector<std::uint32_t> count(static_cast<std::size_t>(total), 0);
  std::vector<std::pair<std::uint32_t, std::uint32_t>> hits;  // (brick, triangle)
  const std::int64_t bshape[3] = {bricks_[0], bricks_[1], bricks_[2]};
  for (std::uint32_t i = 0; i < tris_.size(); ++i) {
    const Tri& t = tris_[i];
    // A body with an offset is asked about that much less.
    const double o = offset(t.body);
    if (o > reach) continue;
    const double within_t = within - o;
    std::int64_t r0[3], r1[3];
    band_cells(t.a, t.b, t.c, within_t, lo_, 1.0 / brick, bshape, r0, r1);
    for (std::int64_t u = r0[0]; u <= r1[0]; ++u)
      for (std::int64_t v = r0[1]; v <= r1[1]; ++v)
        for (std::int64_t w = r0[2]; w <= r1[2]; ++w) {
          const V3 c{lo_[0] + (static_cast<double>(u) + 0.5) * brick,
                     lo_[1] + (static_cast<double>(v) + 0.5) * brick,
                     lo_[2] + (static_cast<double>(w) + 0.5) * brick};
          if (point_triangle_sq(c, t.a, t.b, t.c) > within_t * within_t) continue;
          const auto b = static_cast<std::uint32_t>((u * bricks_[1] + v) * bricks_[2] + w);
          if (count[b] <= kMaxList) {
            ++count[b];
            hits.emplace_back(b, i);
          }
        }
  }
  list_start_.assign(static_cast<std::size_t>(total) + 1, 0);
  for (std::size_t b = 0; b < count.size(); ++b)
    list_start_[b + 1] = list_start_[b] + (count[b] > kMaxList ? 0 : count[b]);
  list_tris_.assign(list_start_.back(), 0);
  std::vector<std::uint32_t> fill(list_start_.begin(), list_start_.end() - 1);
  for (const auto& [b, i] : hits)
    if (count[b] <= kMaxList) list_tris_[fill[b]++] = i;
  for (std::size_t b = 0; b < count.size(); ++b)
    if (count[b] > kMaxList) list_start_[b] = kNoList;  // the tree answers there
  list_reach_ = reach;
}

bool EnvironmentDistance::brick_list(const double* x, const std::uint32_t*& begin,
                                     const std::uint32_t*& end) const {
  if (list_start_.empty()) return false;
  const double gx = (x[0] - lo_[0]) * inv_cell_, gy = (x[1] - lo_[1]) * inv_cell_,
               gz = (x[2] - lo_[2]) * inv_cell_;
  if (!(gx >= 0.0 && gx < extent_[0] && gy >= 0.0 && gy < extent_[1] && gz >= 0.0 &&
        gz < extent_[2]))
    return false;
  const std::int64_t u = static_cast<std::int64_t>(gx) / kBrick,
                     v = static_cast<std::int64_t>(gy) / kBrick,
                     w = static_cast<std::int64_t>(gz) / kBrick;
  const auto b = static_cast<std::size_t>((u * bricks_[1] + v) * bricks_[2] + w);
  if (list_start_[b] == kNoList) return false;
  // The next brick's start, or the end when the next one is left to the tree.
  std::size_t next = b + 1;
  while (list_start_[next] == kNoList) ++next;
  begin = list_tris_.data() + list_start_[b];
  end = list_tris_.data() + list_start_[next];
  return true;
}

std::int32_t EnvironmentDistance::build_bvh(std::uint32_t begin, std::uint32_t end) {
  const auto index = static_cast<std::int32_t>(bvh_.size());
  bvh_.emplace_back();
  BvhNode n;
  for (int a = 0; a < 3; ++a) {
    n.lo[a] = std::numeric_limits<double>::infinity();
    n.hi[a] = -std::numeric_limits<double>::infinity();
  }
  for (std::uint32_t i = begin; i < end; ++i)
    for (const V3& v : {tris_[i].a, tris_[i].b, tris_[i].c}) {
      for (int a = 0; a < 3; ++a) {
        n.lo[a] = std::min(n.lo[a], v[a]);
        n.hi[a] = std::max(n.hi[a], v[a]);
      }
    }
  n.begin = begin;
  n.count = end - begin;
  if (end - begin > kLeafTris) {
    int axis = 0;
    for (int a = 1; a < 3; ++a)
      if (n.hi[a] - n.lo[a] > n.hi[axis] - n.lo[axis]) axis = a;
    auto mid_of = [axis](const Tri& t) { return t.a[axis] + t.b[axis] + t.c[axis]; };
    const std::uint32_t mid = begin + (end - begin) / 2;
    std::nth_element(tris_.begin() + begin, tris_.begin() + mid, tris_.begin() + end,
                     [&](const Tri& x, const Tri& y) { return mid_of(x) < mid_of(y); });
    n.left = build_bvh(begin, mid);
    n.right = build_bvh(mid, end);
  }
  bvh_[static_cast<std::size_t>(index)] = n;
  return index;
}

void EnvironmentDistance::build_columns(double bin) {
  inv_bin_ = 1.0 / bin;
  bin_lo_[0] = box_lo_[0] - bin;
  bin_lo_[1] = box_lo_[1] - bin;
  for (int a = 0; a < 2; ++a) {
    const double n = std::floor((box_hi_[a] - bin_lo_[a]) * inv_bin_) + 2.0;
    if (!(n <= 4096.0)) {  // a wide scene: coarser bins
      inv_bin_ = std::min(inv_bin_, 4000.0 / (box_hi_[a] - box_lo_[a] + 2.0 * bin));
    }
  }
  for (int a = 0; a < 2; ++a) {
    bin_lo_[a] = box_lo_[a] - 1.0 / inv_bin_;
    bins_[a] = static_cast<std::int64_t>(std::floor((box_hi_[a] - bin_lo_[a]) * inv_bin_)) + 2;
  }
  const std::size_t nb = static_cast<std::size_t>(bins_[0] * bins_[1]);
  std::vector<std::uint32_t> count(nb + 1, 0);
  auto range = [&](const Tri& t, std::int64_t r[4]) {
    r[0] = static_cast<std::int64_t>(
        std::floor((std::min({t.a[0], t.b[0], t.c[0]}) - bin_lo_[0]) * inv_bin_));
    r[1] = static_cast<std::int64_t>(
        std::floor((std::max({t.a[0], t.b[0], t.c[0]}) - bin_lo_[0]) * inv_bin_));
    r[2] = static_cast<std::int64_t>(
        std::floor((std::min({t.a[1], t.b[1], t.c[1]}) - bin_lo_[1]) * inv_bin_));
    r[3] = static_cast<std::int64_t>(
        std::floor((std::max({t.a[1], t.b[1], t.c[1]}) - bin_lo_[1]) * inv_bin_));
  };
  for (int pass = 0; pass < 2; ++pass) {
    for (std::uint32_t i = 0; i < tris_.size(); ++i) {
      if (!closed_[tris_[i].body]) continue;
      std::int64_t r[4];
      range(tris_[i], r);
      for (std::int64_t u = r[0]; u <= r[1]; ++u)
        for (std::int64_t v = r[2]; v <= r[3]; ++v) {
          const std::size_t b = static_cast<std::size_t>(u * bins_[1] + v);
          if (pass == 0)
            ++count[b + 1];
          else
            bin_tris_[count[b]++] = i;
        }
    }
    if (pass == 0) {
      for (std::size_t b = 0; b < nb; ++b) count[b + 1] += count[b];
      bin_start_ = count;
      bin_tris_.resize(count[nb]);
    }
  }
}

template <class Visit>
void EnvironmentDistance::crossings(double x, double y, Visit&& visit) const {
  const double gx = (x - bin_lo_[0]) * inv_bin_, gy = (y - bin_lo_[1]) * inv_bin_;
  if (!(gx >= 0.0 && gx < static_cast<double>(bins_[0]) && gy >= 0.0 &&
        gy < static_cast<double>(bins_[1])))
    return;
  const std::size_t b = static_cast<std::size_t>(static_cast<std::int64_t>(gx) * bins_[1] +
                                                 static_cast<std::int64_t>(gy));
  for (std::uint32_t k = bin_start_[b]; k < bin_start_[b + 1]; ++k) {
    const Tri& t = tris_[bin_tris_[k]];
    double z;
    if (vertical_hit(t.a, t.b, t.c, x, y, z)) visit(z, t.body);
  }
}

bool EnvironmentDistance::odd_bodies(const double* x, std::uint32_t* odd, int& n_odd) const {
  // Parity of the crossings above x, per closed body (bodies with an odd
  // count so far, in a small fixed list: no heap on this path).
  n_odd = 0;
  bool overflow = false;
  crossings(x[0], x[1], [&](double z, std::uint32_t body) {
    if (!(z > x[2])) return;
    for (int k = 0; k < n_odd; ++k)
      if (odd[k] == body) {
        odd[k] = odd[--n_odd];
        return;
      }
    if (n_odd < kMaxOdd)
      odd[n_odd++] = body;
    else
      overflow = true;
  });
  return !overflow;
}

std::size_t EnvironmentDistance::enclosing_body(const double* x) const {
  constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  if (tris_.empty()) return kNone;
  std::uint32_t odd[kMaxOdd];
  int n_odd = 0;
  const bool counted = odd_bodies(x, odd, n_odd);
  if (n_odd > 0) return *std::min_element(odd, odd + n_odd);
  return counted ? kNone : 0;  // more than kMaxOdd bodies at once: inside, to be safe
}

template <class Clear>
bool EnvironmentDistance::triangles_clear(const double* x, double t, Clear&& clear_of) const {
  const std::uint32_t *first, *last;
  if (t <= list_reach_ && brick_list(x, first, last)) {
    // Every triangle within t of x (t less its body's offset) is on the list
    // of x's brick.
    for (const std::uint32_t* i = first; i != last; ++i)
      if (!clear_of(tris_[*i])) return false;
    return true;
  }
  const double t2 = t * t;
  std::int32_t stack[64];
  int top = 0;
  stack[top++] = 0;
  while (top > 0) {
    const BvhNode& n = bvh_[static_cast<std::size_t>(stack[--top])];
    if (box_sq(n.lo, n.hi, x) > t2) continue;
    if (n.left < 0) {
      for (std::uint32_t i = n.begin; i < n.begin + n.count; ++i)
        if (!clear_of(tris_[i])) return false;
      continue;
    }
    // The nearer child first: a triangle within reach, if any, turns up sooner.
    const BvhNode& l = bvh_[static_cast<std::size_t>(n.left)];
    const BvhNode& r = bvh_[static_cast<std::size_t>(n.right)];
    if (box_sq(l.lo, l.hi, x) <= box_sq(r.lo, r.hi, x)) {
      stack[top++] = n.right;
      stack[top++] = n.left;
    } else {
      stack[top++] = n.left;
      stack[top++] = n.right;
    }
  }
  return true;
}

bool EnvironmentDistance::ball_clear(const double* x, double t) const {
  if (tris_.empty()) return true;
  if (!(t >= 0.0) || !std::isfinite(x[0]) || !std::isfinite(x[1]) || !std::isfinite(x[2]))
    return false;
  const V3 p{x[0], x[1], x[2]};
  if (!offset_.empty()) {
    // Body b is clear when every triangle of it is farther than t - o_b; a
    // body whose offset exceeds t asks nothing.
    return triangles_clear(x, t,
                           [&](const Tri& tri) {
                             const double r = t - offset_[tri.body];
                             return r < 0.0 || tri.beyond(p, r * r);
                           }) &&
           outside_near_offset(x, t);
  }
  const double t2 = t * t;
  return triangles_clear(x, t, [&](const Tri& tri) { return tri.beyond(p, t2); }) &&
         outside_near(x, t);
}

bool EnvironmentDistance::outside_near_offset(const double* x, double t) const {
  // For each closed body b with r = t - o_b >= 0 no surface of b lies within
  // r of x.  The field's centre c holds v <= d_b(c) + o_b, so c is outside b
  // with no point of b within v - o_b of it; when |x - c| < (v - o_b) + r the
  // segment from x to c meets no surface of b, and x is outside b as c is.
  // The largest closed body's offset makes that one test for all of them.
  double v, d;
  if (!field_cell(x, v, d)) return true;  // beyond the grid, which holds every body
  const double o = closed_offset_;
  if (v - o > 0.0 && d < v + t - 2.0 * o) return true;
  std::uint32_t odd[kMaxOdd];
  int n_odd = 0;
  if (!odd_bodies(x, odd, n_odd)) return false;  // too many to count: inside, to be safe
  for (int k = 0; k < n_odd; ++k)
    if (!(offset_[odd[k]] > t)) return false;
  return true;
}

bool EnvironmentDistance::outside_near(const double* x, double t) const {
  // No surface within t of x: x is on the same side as any point of a
  // surface-free ball its own ball meets, such as the ball of radius v
  // around its field cell's centre when v > 0 (that centre is outside).
  double v, d;
  if (!field_cell(x, v, d)) return true;  // beyond the grid, which holds every body
  if (v > 0.0 && d < v + t) return true;
  return !inside(x);
}

double EnvironmentDistance::distance(const double* x, std::size_t* body) const {
  if (body) *body = static_cast<std::size_t>(-1);
  if (tris_.empty()) return std::numeric_limits<double>::infinity();
  const V3 p{x[0], x[1], x[2]};
  double best = std::numeric_limits<double>::infinity();
  std::uint32_t best_body = 0;
  std::int32_t stack[64];
  int top = 0;
  stack[top++] = 0;
  while (top > 0) {
    const BvhNode& n = bvh_[static_cast<std::size_t>(stack[--top])];
    if (!(box_sq(n.lo, n.hi, x) < best)) continue;
    if (n.left < 0) {
      for (std::uint32_t i = n.begin; i < n.begin + n.count; ++i) {
        const double d2 = point_triangle_sq(p, tris_[i].a, tris_[i].b, tris_[i].c);
        if (d2 < best) {
          best = d2;
          best_body = tris_[i].body;
        }
      }
      continue;
    }
    stack[top++] = n.right;
    stack[top++] = n.left;
  }
  if (!std::isfinite(best)) return std::numeric_limits<double>::quiet_NaN();
  // Inside a closed body: distance 0, to that body.
  const std::size_t enclosing = enclosing_body(x);
  if (enclosing != static_cast<std::size_t>(-1)) {
    if (body) *body = enclosing;
    return 0.0;
  }
  if (body) *body = best_body;
  return std::sqrt(best);
}

double EnvironmentDistance::offset_distance(const double* x, std::size_t* body) const {
  if (offset_.empty()) return distance(x, body);
  if (body) *body = static_cast<std::size_t>(-1);
  if (tris_.empty()) return std::numeric_limits<double>::infinity();
  if (!std::isfinite(x[0]) || !std::isfinite(x[1]) || !std::isfinite(x[2]))
    return std::numeric_limits<double>::quiet_NaN();
  const V3 p{x[0], x[1], x[2]};
  double best = std::numeric_limits<double>::infinity();
  std::size_t best_body = 0;
  // Inside a closed body: its distance is 0, so its offset is a candidate.
  std::uint32_t odd[kMaxOdd];
  int n_odd = 0;
  odd_bodies(x, odd, n_odd);
  for (int k = 0; k < n_odd; ++k)
    if (offset_[odd[k]] < best) best = offset_[odd[k]], best_body = odd[k];
  std::int32_t stack[64];
  int top = 0;
  stack[top++] = 0;
  while (top > 0) {
    const BvhNode& n = bvh_[static_cast<std::size_t>(stack[--top])];
    // Offsets are not negative: a box farther than the best cannot win.
    if (!(box_sq(n.lo, n.hi, x) < best * best)) continue;
    if (n.left < 0) {
      for (std::uint32_t i = n.begin; i < n.begin + n.count; ++i) {
        const double dd = std::sqrt(point_triangle_sq(p, tris_[i].a, tris_[i].b, tris_[i].c)) +
                          offset_[tris_[i].body];
        if (dd < best) best = dd, best_body = tris_[i].body;
      }
      continue;
    }
    stack[top++] = n.right;
    stack[top++] = n.left;
  }
  if (body) *body = best_body;
  return best;
}

void EnvironmentDistance::build_field(const EnvDistanceSettings& s) {
  const bool clipped = layout_field(s);
  const double band = std::max(s.band, 2.0 * cell_);
  if (!offset_.empty()) {
    std::vector<std::uint8_t> seeds;
    std::vector<double> best = band_offset_distances(band, seeds);
    quantise_field(best, band, clipped, &seeds);
    best.clear();
    best.shrink_to_fit();
    mark_inside();
    return;
  }
  std::vector<double> best = band_distances(band);
  quantise_field(best, band, clipped);
  best.clear();
  best.shrink_to_fit();
  mark_inside();
}

bool EnvironmentDistance::layout_field(const EnvDistanceSettings& s) {
  // The padded box of the obstacles, within the region of interest.
  double glo[3], ghi[3];
  bool clipped = false;
  for (int a = 0; a < 3; ++a) {
    glo[a] = box_lo_[a] - s.pad;
    ghi[a] = box_hi_[a] + s.pad;
    if (s.clip_lo[a] > glo[a]) glo[a] = s.clip_lo[a], clipped = true;
    if (s.clip_hi[a] < ghi[a]) ghi[a] = s.clip_hi[a], clipped = true;
    if (!(ghi[a] > glo[a])) ghi[a] = glo[a];  // nothing of interest here: one cell
  }
  double h = s.cell;
  double total = 0.0;
  for (int attempt = 0; attempt < 64; ++attempt) {
    total = 1.0;
    for (int a = 0; a < 3; ++a) total *= std::ceil((ghi[a] - glo[a]) / h) + 1.0;
    if (total <= s.max_cells) break;
    h *= std::cbrt(total / s.max_cells) * 1.001;
  }
  if (!(total <= s.max_cells))
    throw std::invalid_argument("environment too large for its distance field");
  cell_ = h;
  inv_cell_ = 1.0 / h;
  for (int a = 0; a < 3; ++a) {
    lo_[a] = glo[a];
    shape_[a] = static_cast<std::int64_t>(std::ceil((ghi[a] - glo[a]) / h) + 1.0);
    extent_[a] = static_cast<double>(shape_[a]);
  }
  return clipped;
}

template <class Visit>
void EnvironmentDistance::each_band_cell(double band, Visit&& visit) const {
  const std::int64_t sy = shape_[1], sz = shape_[2];
  const double h = cell_;
  auto centre = [&](std::int64_t i, int a) { return lo_[a] + (static_cast<double>(i) + 0.5) * h; };
  // Threads take slabs of x: each writes only its own cells.
  parallel_for(static_cast<std::size_t>(shape_[0]), [&](std::size_t i_begin, std::size_t i_end) {
    for (const Tri& t : tris_) {
      std::int64_t r0[3], r1[3];
      band_cells(t.a, t.b, t.c, band, lo_, inv_cell_, shape_, r0, r1);
      r0[0] = std::max<std::int64_t>(r0[0], static_cast<std::int64_t>(i_begin));
      r1[0] = std::min<std::int64_t>(r1[0], static_cast<std::int64_t>(i_end) - 1);
      for (std::int64_t i = r0[0]; i <= r1[0]; ++i)
        for (std::int64_t j = r0[1]; j <= r1[1]; ++j)
          for (std::int64_t l = r0[2]; l <= r1[2]; ++l) {
            const std::size_t idx = static_cast<std::size_t>((i * sy + j) * sz + l);
            visit(t, idx,
                  point_triangle_sq({centre(i, 0), centre(j, 1), centre(l, 2)}, t.a, t.b, t.c));
          }
    }
  });
}

std::vector<double> EnvironmentDistance::band_distances(double band) const {
  const std::size_t cells = static_cast<std::size_t>(shape_[0] * shape_[1] * shape_[2]);
  // Exact squared distances within `band` of each triangle.
  std::vector<double> best(cells, band * band);
  each_band_cell(band, [&](const Tri&, std::size_t idx, double d2) {
    if (d2 < best[idx]) best[idx] = d2;
  });
  return best;
}

std::vector<double> EnvironmentDistance::band_offset_distances(
    double band, std::vector<std::uint8_t>& seeds) const {
  const std::size_t cells = static_cast<std::size_t>(shape_[0] * shape_[1] * shape_[2]);
  const double half_diag = cell_ * std::sqrt(3.0) / 2.0;
  // D within the band: a centre with D < band has some body within the band,
  // so the triangles within the band of it find D exactly.
  std::vector<double> best(cells, band * band);
  seeds.assign(cells, 0);
  each_band_cell(band, [&](const Tri& t, std::size_t idx, double d2) {
    if (d2 <= half_diag * half_diag) seeds[idx] = 1;
    if (!(d2 < band * band)) return;
    // Compared squared, as the plain field's values are kept.
    const double dd = std::sqrt(d2) + offset_[t.body];
    if (dd * dd < best[idx]) best[idx] = dd * dd;
  });
  return best;
}

void EnvironmentDistance::quantise_field(std::vector<double>& best, double band, bool clipped,
                                         const std::vector<std::uint8_t>* seeds) {
  const std::int64_t sy = shape_[1], sz = shape_[2];
  const std::size_t cells = best.size();
  const double h = cell_;
  const double half_diag = h * std::sqrt(3.0) / 2.0;
  auto centre = [&](std::int64_t i, int a) { return lo_[a] + (static_cast<double>(i) + 0.5) * h; };
  // Farther out: every surface point lies in a cell whose centre is within
  // half a diagonal of it (that cell's exact value is at most half a
  // diagonal), so a centre is at least its distance to the nearest such
  // centre, less half a diagonal, from every surface.  The band's values are
  // kept first; the same array then holds the distance transform.
  constexpr std::uint16_t kUnset = 65535;
  field_.assign(cells, kUnset);
  for (std::size_t idx = 0; idx < cells; ++idx) {
    const double d = std::sqrt(best[idx]);
    if (d < band) field_[idx] = std::min<std::uint16_t>(quantise_down(d), kUnset - 1);
    // The transform starts where a surface passes near a centre: with
    // offsets that is not where D is small, so the cells are given.
    const bool seed = seeds ? (*seeds)[idx] != 0 : d <= half_diag;
    best[idx] = seed ? 0.0 : kFarSq;
  }
  distance_transform(best, shape_);
  const std::uint16_t band_floor = std::min<std::uint16_t>(quantise_down(band), kUnset - 1);
  // Values below the band's floor were set from exact distances (or are the
  // 0 of an inside); the floor and everything the transform sets are not.
  exact_below_ = static_cast<double>(band_floor) * kQuantum;
  for (std::size_t idx = 0; idx < cells; ++idx) {
    if (field_[idx] != kUnset) continue;
    double far = std::sqrt(best[idx]) * h - half_diag;
    if (clipped) {
      // Surfaces beyond the grid left no cells behind: they are at least as
      // far as the grid's own border.
      const std::int64_t ijk[3] = {static_cast<std::int64_t>(idx) / (sy * sz),
                                   (static_cast<std::int64_t>(idx) / sz) % sy,
                                   static_cast<std::int64_t>(idx) % sz};
      for (int a = 0; a < 3; ++a) {
        const double c = centre(ijk[a], a);
        far = std::min({far, c - lo_[a], lo_[a] + extent_[a] * h - c});
      }
    }
    field_[idx] = std::max(band_floor, std::min<std::uint16_t>(quantise_down(far), kUnset - 1));
  }
}

void EnvironmentDistance::mark_inside() {
  const std::int64_t sx = shape_[0], sy = shape_[1], sz = shape_[2];
  const double h = cell_;
  auto centre = [&](std::int64_t i, int a) { return lo_[a] + (static_cast<double>(i) + 0.5) * h; };
  // Centres inside a closed body hold 0: walk each column of cells upwards
  // through the crossings of its vertical line.
  parallel_for(static_cast<std::size_t>(sx), [&](std::size_t i_begin, std::size_t i_end) {
    std::vector<std::pair<double, std::uint32_t>> hits;
    std::vector<std::uint32_t> parity(closed_.size(), 0);
    for (auto i = static_cast<std::int64_t>(i_begin); i < static_cast<std::int64_t>(i_end); ++i)
      for (std::int64_t j = 0; j < sy; ++j) {
        hits.clear();
        crossings(centre(i, 0), centre(j, 1),
                  [&](double z, std::uint32_t b) { hits.emplace_back(z, b); });
        if (hits.empty()) continue;
        std::sort(hits.begin(), hits.end());
        std::fill(parity.begin(), parity.end(), 0u);
        std::size_t odd = 0, next = 0;
        for (std::int64_t l = 0; l < sz; ++l) {
          const double z = centre(l, 2);
          while (next < hits.size() && hits[next].first < z) {
            std::uint32_t& p = parity[hits[next].second];
            p ^= 1u;
            odd += p ? 1 : static_cast<std::size_t>(-1);
            ++next;
          }
          if (odd == 0) continue;
          std::uint16_t& f = field_[static_cast<std::size_t>((i * sy + j) * sz + l)];
          if (offset_.empty()) {
            f = 0;
            continue;
          }
          // Inside body b, D is at most b's offset.
          for (std::size_t b = 0; b < parity.size(); ++b)
            if (parity[b]) f = std::min(f, quantise_down(offset_[b]));
        }
      }
  });
}

#ifdef GRISTANE_HAVE_AVX2_VERDICTS
namespace {

bool cpu_has_avx2_verdicts() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}

// Four points (row-major from q) posed by T: w, their world coordinates, and
// g, their cell coordinates; returns the mask of the lanes inside the field.
__attribute__((target("avx2"))) int place4(const EnvironmentDistance::FieldView& f, const double* T,
                                           const double* q, __m256d* w, __m256d* g) {
  const __m256d px = _mm256_set_pd(q[9], q[6], q[3], q[0]);
  const __m256d py = _mm256_set_pd(q[10], q[7], q[4], q[1]);
  const __m256d pz = _mm256_set_pd(q[11], q[8], q[5], q[2]);
  __m256d inside = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
  for (int a = 0; a < 3; ++a) {
    w[a] =
        _mm256_add_pd(_mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(_mm256_set1_pd(T[4 * a]), px),
                                                  _mm256_mul_pd(_mm256_set1_pd(T[4 * a + 1]), py)),
                                    _mm256_mul_pd(_mm256_set1_pd(T[4 * a + 2]), pz)),
                      _mm256_set1_pd(T[4 * a + 3]));
    g[a] = _mm256_mul_pd(_mm256_sub_pd(w[a], _mm256_set1_pd(f.lo[a])), _mm256_set1_pd(f.inv));
    inside = _mm256_and_pd(inside, _mm256_cmp_pd(g[a], _mm256_setzero_pd(), _CMP_GE_OQ));
    inside = _mm256_and_pd(inside, _mm256_cmp_pd(g[a], _mm256_set1_pd(f.extent[a]), _CMP_LT_OQ));
  }
  return _mm256_movemask_pd(inside);
}

// The verdicts of four points inside the field, placed by place4.
__attribute__((target("avx2"))) void judge4(const EnvironmentDistance::FieldView& f,
                                            const __m256d* w, const __m256d* g, double r, double t,
                                            EnvironmentDistance::PointVerdict* out) {
  using V = EnvironmentDistance::PointVerdict;
  const __m256d quantum = _mm256_set1_pd(f.quantum), tv = _mm256_set1_pd(t);
  __m256d d2 = _mm256_setzero_pd();
  alignas(16) std::int32_t idx[3][4];
  for (int a = 0; a < 3; ++a) {
    const __m128i i = _mm256_cvttpd_epi32(g[a]);
    _mm_store_si128(reinterpret_cast<__m128i*>(idx[a]), i);
    const __m256d centre =
        _mm256_add_pd(_mm256_set1_pd(f.lo[a]),
                      _mm256_mul_pd(_mm256_add_pd(_mm256_cvtepi32_pd(i), _mm256_set1_pd(0.5)),
                                    _mm256_set1_pd(f.cell)));
    const __m256d d = _mm256_sub_pd(w[a], centre);
    d2 = a == 0 ? _mm256_mul_pd(d, d) : _mm256_add_pd(d2, _mm256_mul_pd(d, d));
  }
  alignas(32) double vs[4];
  for (int l = 0; l < 4; ++l) {
    const std::int64_t cell_index =
        (std::int64_t{idx[0][l]} * f.shape[1] + idx[1][l]) * f.shape[2] + idx[2][l];
    vs[l] = static_cast<double>(f.field[static_cast<std::size_t>(cell_index)]);
  }
  const __m256d v = _mm256_mul_pd(_mm256_load_pd(vs), quantum);
  const __m256d room = _mm256_sub_pd(_mm256_sub_pd(v, _mm256_set1_pd(r)), tv);
  const __m256d clear = _mm256_and_pd(_mm256_cmp_pd(room, _mm256_setzero_pd(), _CMP_GT_OQ),
                                      _mm256_cmp_pd(d2, _mm256_mul_pd(room, room), _CMP_LT_OQ));
  const __m256d within = _mm256_and_pd(
      _mm256_cmp_pd(v, _mm256_set1_pd(f.exact_below), _CMP_LT_OQ),
      _mm256_cmp_pd(_mm256_add_pd(_mm256_add_pd(v, quantum), _mm256_sqrt_pd(d2)), tv, _CMP_LE_OQ));
  const int c = _mm256_movemask_pd(clear), wi = _mm256_movemask_pd(within);
  for (int l = 0; l < 4; ++l)
    out[l] = (c >> l & 1) ? V::Clear : ((wi >> l & 1) ? V::Within : V::Open);
}

// Four points at a time: posed, placed in the field and judged with the
// scalar path's operations in its order (no fused multiply-add), so every
// verdict is the one point_verdict gives.  Lanes outside the field go to it.
__attribute__((target("avx2"))) std::uint32_t verdicts_avx2(
    const EnvironmentDistance& env, const EnvironmentDistance::FieldView& f, const double* T,
    const double* p, std::uint32_t n, double r, double t, EnvironmentDistance::PointVerdict* out) {
  std::uint32_t k = 0;
  for (; k + 4 <= n; k += 4) {
    __m256d w[3], g[3];
    if (place4(f, T, p + 3 * std::size_t{k}, w, g) == 0xf) {
      judge4(f, w, g, r, t, out + k);
      continue;
    }
    // Some lane outside the field: the scalar path for all four.
    alignas(32) double ws[3][4];
    for (int a = 0; a < 3; ++a) _mm256_store_pd(ws[a], w[a]);
    for (int l = 0; l < 4; ++l) {
      const double x[3] = {ws[0][l], ws[1][l], ws[2][l]};
      out[k + l] = env.point_verdict(x, r, t);
    }
  }
  return k;
}

}  // namespace
#endif

void EnvironmentDistance::point_verdicts(const double* T, const double* p, std::uint32_t n,
                                         double r, double t, PointVerdict* out) const {
  std::uint32_t k = 0;
#ifdef GRISTANE_HAVE_AVX2_VERDICTS
  // The lanes' cell coordinates are int32: a field longer than that along an
  // axis is left to the scalar path.
  constexpr double kInt32 = 2147483647.0;
  FieldView f;
  if (cpu_has_avx2_verdicts() && field_view(f) && extent_[0] < kInt32 && extent_[1] < kInt32 &&
      extent_[2] < kInt32) {
    k = verdicts_avx2(*this, f, T, p, n, r, t, out);
  }
#endif
  for (; k < n; ++k) {
    double w[3];
    SurfaceCover::pose(T, p + 3 * std::size_t{k}, w);
    out[k] = point_verdict(w, r, t);
  }
}

bool leaf_clear(const SurfaceCover& cover, const CoverNode& n, const double* c, const double* T,
                const EnvironmentDistance& env, double t, bool exact, bool* certain) {
  // The field first for every point; the exact test only for the points it
  // leaves open (all at once by the leaf's sphere when there are several of
  // them).
  const double rho = cover.rho();
  std::uint32_t open[SurfaceCover::kLeafPoints];
  std::uint32_t n_open = 0;
  const double* p = cover.points() + 3 * std::size_t{n.begin};
  EnvironmentDistance::PointVerdict verdicts[SurfaceCover::kLeafPoints];
  env.point_verdicts(T, p, n.count, rho, t, verdicts);
  for (std::uint32_t k = 0; k < n.count; ++k) {
    const LeafStep step = leaf_step(verdicts[k], exact, certain);
    if (step == LeafStep::Stop) return false;
    if (step == LeafStep::Keep) open[n_open++] = k;
  }
  return n_open == 0 || open_points_clear(cover, n, c, T, env, t, open, n_open);
}

bool open_points_clear(const SurfaceCover& cover, const CoverNode& n, const double* c,
                       const double* T, const EnvironmentDistance& env, double t,
                       const std::uint32_t* open, std::uint32_t n_open) {
  if (n_open > 2 && env.ball_clear(c, t + n.radius)) return true;
  const double* p = cover.points() + 3 * std::size_t{n.begin};
  for (std::uint32_t m = 0; m < n_open; ++m) {
    double w[3];
    SurfaceCover::pose(T, p + 3 * open[m], w);
    if (!env.ball_clear(w, t + cover.rho())) return false;
  }
  return true;
}

bool surface_clear(const SurfaceCover& cover, const double* T, const EnvironmentDistance& env,
                   double t, double exact_up_to, bool* certain) {
  const bool exact = t <= exact_up_to;
  if (certain) *certain = false;
  return cover.walk_tightest_first(
      T,
      [&](const double* c, double radius, double& key) {
        return env.ball_settled(c, radius, t, key);
      },
      [&](const CoverNode& n, const double* c) {
        return leaf_clear(cover, n, c, T, env, t, exact, certain);
      });
}

}  // namespace gristane
