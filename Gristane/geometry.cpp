// Geometry shared by the self-collision model and the distance engine.
#include "Gristane/geometry.hpp"

#include <stdexcept>
#include <tuple>
#include <utility>

namespace gristane {

namespace geom {

namespace {

// Squared distance from p to the point s + t * e of the line through s along e.
inline double sq_to_line_point(V3 p, V3 s, V3 e, double t) {
  return norm2(sub(p, add(s, mul(e, t))));
}

}  // namespace

double point_triangle_sq(V3 p, V3 a, V3 b, V3 c) {
  const V3 ab = sub(b, a), ac = sub(c, a), ap = sub(p, a);
  const double d1 = dot(ab, ap), d2 = dot(ac, ap);
  if (d1 <= 0.0 && d2 <= 0.0) return norm2(ap);
  const V3 bp = sub(p, b);
  const double d3 = dot(ab, bp), d4 = dot(ac, bp);
  if (d3 >= 0.0 && d4 <= d3) return norm2(bp);
  const double vc = d1 * d4 - d3 * d2;
  if (vc <= 0.0 && d1 >= 0.0 && d3 <= 0.0) return sq_to_line_point(p, a, ab, d1 / (d1 - d3));
  const V3 cp = sub(p, c);
  const double d5 = dot(ab, cp), d6 = dot(ac, cp);
  if (d6 >= 0.0 && d5 <= d6) return norm2(cp);
  const double vb = d5 * d2 - d1 * d6;
  if (vb <= 0.0 && d2 >= 0.0 && d6 <= 0.0) return sq_to_line_point(p, a, ac, d2 / (d2 - d6));
  const double va = d3 * d6 - d5 * d4;
  if (va <= 0.0 && (d4 - d3) >= 0.0 && (d5 - d6) >= 0.0)
    return sq_to_line_point(p, b, sub(c, b), (d4 - d3) / ((d4 - d3) + (d5 - d6)));
  const double denom = 1.0 / (va + vb + vc);
  if (!std::isfinite(denom)) {  // degenerate (zero-area) triangle: its edges decide
    double best = norm2(ap);
    for (auto [s, e] : {std::pair{a, b}, std::pair{b, c}, std::pair{c, a}}) {
      const V3 se = sub(e, s);
      const double l2 = norm2(se);
      double t = l2 > 0.0 ? dot(sub(p, s), se) / l2 : 0.0;
      t = std::clamp(t, 0.0, 1.0);
      best = std::min(best, sq_to_line_point(p, s, se, t));
    }
    return best;
  }
  const double v = vb * denom, w = vc * denom;
  return norm2(sub(p, add(a, add(mul(ab, v), mul(ac, w)))));
}

}  // namespace geom

using namespace geom;

std::vector<double> surface_points(const MeshRef& m, double spacing) {
  std::vector<double> pts;
  for (std::size_t f = 0; f < m.n_faces; ++f) {
    const std::int64_t* F = m.faces + 3 * f;
    const V3 a = vertex(m, F[0]), b = vertex(m, F[1]), c = vertex(m, F[2]);
    const double longest =
        std::sqrt(std::max({norm2(sub(b, a)), norm2(sub(c, b)), norm2(sub(a, c))}));
    const double steps = std::ceil(longest / spacing);
    if (!(steps <= 1e5)) throw std::invalid_argument("link mesh has a non-finite or huge triangle");
    const int n = std::max(1, static_cast<int>(steps));
    for (int i = 0; i <= n; ++i)
      for (int j = 0; i + j <= n; ++j) {
        const double u = static_cast<double>(i) / n, v = static_cast<double>(j) / n;
        const V3 p = add(a, add(mul(sub(b, a), u), mul(sub(c, a), v)));
        pts.insert(pts.end(), {p[0], p[1], p[2]});
      }
  }
  // Drop exact duplicates (lattice points on shared edges and vertices).
  const std::size_t k = pts.size() / 3;
  std::vector<std::uint32_t> order(k);
  for (std::uint32_t i = 0; i < k; ++i) order[i] = i;
  auto key = [&](std::uint32_t i) { return std::tie(pts[3 * i], pts[3 * i + 1], pts[3 * i + 2]); };
  std::sort(order.begin(), order.end(),
            [&](std::uint32_t x, std::uint32_t y) { return key(x) < key(y); });
  std::vector<double> out;
  out.reserve(pts.size());
  for (std::size_t n = 0; n < k; ++n) {
    if (n > 0 && key(order[n]) == key(order[n - 1])) continue;
    out.insert(out.end(), {pts[3 * order[n]], pts[3 * order[n] + 1], pts[3 * order[n] + 2]});
  }
  return out;
}

namespace {

// Squared distances (in cells) along one line, in place (Felzenszwalb and
// Huttenlocher's lower envelope of parabolas).
void transform_line(double* f, std::int64_t n, std::int64_t stride, std::vector<double>& d,
                    std::vector<std::int64_t>& v, std::vector<double>& z) {
  d.resize(static_cast<std::size_t>(n));
  v.resize(static_cast<std::size_t>(n));
  z.resize(static_cast<std::size_t>(n) + 1);
  auto F = [&](std::int64_t q) { return f[q * stride]; };
  std::int64_t k = 0;
  v[0] = 0;
  z[0] = -kFarSq;
  z[1] = kFarSq;
  for (std::int64_t q = 1; q < n; ++q) {
    double sv;
    for (;;) {
      const std::int64_t p = v[static_cast<std::size_t>(k)];
      sv = ((F(q) + static_cast<double>(q * q)) - (F(p) + static_cast<double>(p * p))) /
           static_cast<double>(2 * q - 2 * p);
      if (sv <= z[static_cast<std::size_t>(k)] && k > 0) {
        --k;
        continue;
      }
      break;
    }
    if (sv <= z[static_cast<std::size_t>(k)]) {  // k == 0: replace the first parabola
      v[0] = q;
      z[0] = -kFarSq;
      z[1] = kFarSq;
      continue;
    }
    ++k;
    v[static_cast<std::size_t>(k)] = q;
    z[static_cast<std::size_t>(k)] = sv;
    z[static_cast<std::size_t>(k) + 1] = kFarSq;
  }
  k = 0;
  for (std::int64_t q = 0; q < n; ++q) {
    while (z[static_cast<std::size_t>(k) + 1] < static_cast<double>(q)) ++k;
    const std::int64_t p = v[static_cast<std::size_t>(k)];
    d[static_cast<std::size_t>(q)] = static_cast<double>((q - p) * (q - p)) + F(p);
  }
  for (std::int64_t q = 0; q < n; ++q) f[q * stride] = d[static_cast<std::size_t>(q)];
}

}  // namespace

void distance_transform(std::vector<double>& f, const std::int64_t shape[3]) {
  const std::int64_t sx = shape[0], sy = shape[1], sz = shape[2];
  // Each pass transforms independent lines: split them between threads.
  auto pass = [&](std::int64_t outer, auto&& line) {
    parallel_for(static_cast<std::size_t>(outer), [&](std::size_t begin, std::size_t end) {
      std::vector<double> d, z;
      std::vector<std::int64_t> v;
      for (std::size_t o = begin; o < end; ++o) line(static_cast<std::int64_t>(o), d, v, z);
    });
  };
  pass(sx, [&](std::int64_t i, auto& d, auto& v, auto& z) {
    for (std::int64_t j = 0; j < sy; ++j)
      transform_line(&f[static_cast<std::size_t>((i * sy + j) * sz)], sz, 1, d, v, z);
  });
  pass(sx, [&](std::int64_t i, auto& d, auto& v, auto& z) {
    for (std::int64_t l = 0; l < sz; ++l)
      transform_line(&f[static_cast<std::size_t>(i * sy * sz + l)], sy, sz, d, v, z);
  });
  pass(sy, [&](std::int64_t j, auto& d, auto& v, auto& z) {
    for (std::int64_t l = 0; l < sz; ++l)
      transform_line(&f[static_cast<std::size_t>(j * sz + l)], sx, sy * sz, d, v, z);
  });
}

}  // namespace gristane
