#include "Gristane/query.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define GRISTANE_HAVE_AVX2_PATH 1
#endif

namespace gristane {

namespace {

// The per-point work, one axis at a time, in the order written:
//   w = ((p0 r0 + p1 r1) + p2 r2) + t;   x = (w - origin) * inv_pitch
// The cell index is floor(x), valid when 0 <= x < n (see query.hpp).
struct Posed {
  double r[9], t[3], o[3], inv, n[3];

  Posed(const Mat4& T, const GridView& g) {
    for (int a = 0; a < 3; ++a) {
      r[3 * a + 0] = T[4 * a + 0];
      r[3 * a + 1] = T[4 * a + 1];
      r[3 * a + 2] = T[4 * a + 2];
      t[a] = T[4 * a + 3];
      o[a] = g.origin[a];
      n[a] = static_cast<double>(g.shape[a]);
    }
    inv = g.inv_pitch;
  }

  double grid_coord(double p0, double p1, double p2, int a) const {
    double w = p0 * r[3 * a + 0];
    w += p1 * r[3 * a + 1];
    w += p2 * r[3 * a + 2];
    w = w + t[a];
    return gristane::grid_coord(w, o[a], inv);
  }
};

// Straightforward loop for any layout, strides and grid size.
bool hits_scalar(const PointsView& pts, const Posed& f, const GridView& g) {
  for (std::int64_t n = 0; n < pts.k; ++n) {
    const double p0 = pts.at(n, 0), p1 = pts.at(n, 1), p2 = pts.at(n, 2);
    std::int64_t idx[3];
    bool in = true;
    for (int a = 0; a < 3 && in; ++a) in = cell_of(f.grid_coord(p0, p1, p2, a), g.shape[a], idx[a]);
    if (in && g.occupied(idx[0], idx[1], idx[2])) return true;
  }
  return false;
}

#ifdef GRISTANE_HAVE_AVX2_PATH

// Four points at a time.  The same IEEE operations in the same order as
// Posed::grid_coord (no fused multiply-add), so every point gets exactly the
// cell the scalar loop gives it.  Cell offsets are formed in doubles, exact
// because the caller checked that every offset stays below 2^53 and every
// index below 2^31; a point outside the grid gets offset -1.
__attribute__((target("avx2"))) void offsets_avx2(const double* q, int m, const Posed& f,
                                                  const double s[3], double* off) {
  const __m256d r00 = _mm256_set1_pd(f.r[0]), r01 = _mm256_set1_pd(f.r[1]),
                r02 = _mm256_set1_pd(f.r[2]);
  const __m256d r10 = _mm256_set1_pd(f.r[3]), r11 = _mm256_set1_pd(f.r[4]),
                r12 = _mm256_set1_pd(f.r[5]);
  const __m256d r20 = _mm256_set1_pd(f.r[6]), r21 = _mm256_set1_pd(f.r[7]),
                r22 = _mm256_set1_pd(f.r[8]);
  const __m256d t0 = _mm256_set1_pd(f.t[0]), t1 = _mm256_set1_pd(f.t[1]),
                t2 = _mm256_set1_pd(f.t[2]);
  const __m256d o0 = _mm256_set1_pd(f.o[0]), o1 = _mm256_set1_pd(f.o[1]),
                o2 = _mm256_set1_pd(f.o[2]);
  const __m256d n0 = _mm256_set1_pd(f.n[0]), n1 = _mm256_set1_pd(f.n[1]),
                n2 = _mm256_set1_pd(f.n[2]);
  const __m256d s0 = _mm256_set1_pd(s[0]), s1 = _mm256_set1_pd(s[1]), s2 = _mm256_set1_pd(s[2]);
  const __m256d inv = _mm256_set1_pd(f.inv), zero = _mm256_setzero_pd(),
                outside = _mm256_set1_pd(-1.0);
  for (int n = 0; n + 4 <= m; n += 4) {
    const double* p = q + 3 * n;
    // (x0 y0 z0 x1) (y1 z1 x2 y2) (z2 x3 y3 z3) -> (x0..x3) (y0..y3) (z0..z3)
    const __m256d a = _mm256_loadu_pd(p), b = _mm256_loadu_pd(p + 4), c = _mm256_loadu_pd(p + 8);
    const __m256d u0 = _mm256_permute2f128_pd(a, b, 0x30);  // x0 y0 x2 y2
    const __m256d u1 = _mm256_permute2f128_pd(a, c, 0x21);  // z0 x1 z2 x3
    const __m256d u2 = _mm256_permute2f128_pd(b, c, 0x30);  // y1 z1 y3 z3
    const __m256d p0 = _mm256_shuffle_pd(u0, u1, 0xA);
    const __m256d p1 = _mm256_shuffle_pd(u0, u2, 0x5);
    const __m256d p2 = _mm256_shuffle_pd(u1, u2, 0xA);

    __m256d w0 = _mm256_mul_pd(p0, r00);
    w0 = _mm256_add_pd(w0, _mm256_mul_pd(p1, r01));
    w0 = _mm256_add_pd(w0, _mm256_mul_pd(p2, r02));
    w0 = _mm256_add_pd(w0, t0);
    __m256d w1 = _mm256_mul_pd(p0, r10);
    w1 = _mm256_add_pd(w1, _mm256_mul_pd(p1, r11));
    w1 = _mm256_add_pd(w1, _mm256_mul_pd(p2, r12));
    w1 = _mm256_add_pd(w1, t1);
    __m256d w2 = _mm256_mul_pd(p0, r20);
    w2 = _mm256_add_pd(w2, _mm256_mul_pd(p1, r21));
    w2 = _mm256_add_pd(w2, _mm256_mul_pd(p2, r22));
    w2 = _mm256_add_pd(w2, t2);
    const __m256d x0 = _mm256_mul_pd(_mm256_sub_pd(w0, o0), inv);
    const __m256d x1 = _mm256_mul_pd(_mm256_sub_pd(w1, o1), inv);
    const __m256d x2 = _mm256_mul_pd(_mm256_sub_pd(w2, o2), inv);

    // Ordered comparisons: NaN is never inside.
    __m256d in =
        _mm256_and_pd(_mm256_cmp_pd(x0, zero, _CMP_GE_OQ), _mm256_cmp_pd(x0, n0, _CMP_LT_OQ));
    in = _mm256_and_pd(
        in, _mm256_and_pd(_mm256_cmp_pd(x1, zero, _CMP_GE_OQ), _mm256_cmp_pd(x1, n1, _CMP_LT_OQ)));
    in = _mm256_and_pd(
        in, _mm256_and_pd(_mm256_cmp_pd(x2, zero, _CMP_GE_OQ), _mm256_cmp_pd(x2, n2, _CMP_LT_OQ)));
    // Lanes outside are zeroed before the conversion, which then never overflows.
    const __m256d i0 = _mm256_cvtepi32_pd(_mm256_cvttpd_epi32(_mm256_and_pd(in, x0)));
    const __m256d i1 = _mm256_cvtepi32_pd(_mm256_cvttpd_epi32(_mm256_and_pd(in, x1)));
    const __m256d i2 = _mm256_cvtepi32_pd(_mm256_cvttpd_epi32(_mm256_and_pd(in, x2)));
    __m256d o = _mm256_add_pd(_mm256_mul_pd(i0, s0), _mm256_mul_pd(i1, s1));
    o = _mm256_add_pd(o, _mm256_mul_pd(i2, s2));
    _mm256_storeu_pd(off + n, _mm256_blendv_pd(outside, o, in));
  }
}

bool cpu_has_avx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}

constexpr int kBlock = 64;

bool hits_avx2(const PointsView& pts, const Posed& f, const GridView& g) {
  const double s[3] = {static_cast<double>(g.stride[0]), static_cast<double>(g.stride[1]),
                       static_cast<double>(g.stride[2])};
  const double* p = reinterpret_cast<const double*>(pts.base);
  alignas(32) double off[kBlock];
  for (std::int64_t start = 0; start < pts.k; start += kBlock) {
    const int m = static_cast<int>(std::min<std::int64_t>(kBlock, pts.k - start));
    const double* q = p + 3 * start;
    offsets_avx2(q, m, f, s, off);
    for (int n = m & ~3; n < m; ++n) {  // the last few points of the link
      std::int64_t c[3];
      bool in = true;
      for (int a = 0; a < 3 && in; ++a)
        in = cell_of(f.grid_coord(q[3 * n], q[3 * n + 1], q[3 * n + 2], a), g.shape[a], c[a]);
      off[n] = in ? static_cast<double>(c[0]) * s[0] + static_cast<double>(c[1]) * s[1] +
                        static_cast<double>(c[2]) * s[2]
                  : -1.0;
    }
    for (int n = 0; n < m; ++n)
      if (off[n] >= 0.0 && g.cells[static_cast<std::int64_t>(off[n])] != 0) return true;
  }
  return false;
}

// The vector path needs contiguous points, non-negative strides, indices that
// fit 32 bits and offsets that doubles hold exactly.
bool vector_path_ok(const PointsView& pts, const GridView& g) {
  if (!cpu_has_avx2()) return false;
  if (pts.row_stride != 24 || pts.col_stride != 8) return false;
  if (reinterpret_cast<std::uintptr_t>(pts.base) % alignof(double) != 0) return false;
  double last = 0.0;
  for (int a = 0; a < 3; ++a) {
    if (g.stride[a] < 0 || g.shape[a] >= (std::int64_t(1) << 31)) return false;
    if (g.shape[a] > 0)
      last += static_cast<double>(g.shape[a] - 1) * static_cast<double>(g.stride[a]);
  }
  return last < 9007199254740992.0;  // 2^53
}

#endif

// --- Proving a link free without posing its points -------------------------
//
// Most configurations the planner asks about are free, and most of a link's
// neighbourhood is empty grid.  The link's points lie in their bounding box;
// posed, that box covers a range of cells.  If every cell of that range is
// empty, no point can hit, and reading those cells is much cheaper than
// posing every point.  Otherwise the points are tested one by one as usual, so the answer
// is the same either way.

// Bounding box of the link's points.  NaN coordinates are skipped (such a
// point is never inside the grid); an infinite one makes the box infinite
// and the proof is then not attempted.
void point_bounds(const PointsView& pts, double lo[3], double hi[3]) {
  for (int a = 0; a < 3; ++a) {
    lo[a] = HUGE_VAL;
    hi[a] = -HUGE_VAL;
  }
  for (std::int64_t n = 0; n < pts.k; ++n)
    for (int a = 0; a < 3; ++a) {
      const double x = pts.at(n, a);
      lo[a] = x < lo[a] ? x : lo[a];  // NaN compares false: skipped
      hi[a] = x > hi[a] ? x : hi[a];
    }
}

#ifdef GRISTANE_HAVE_AVX2_PATH
// The same box for contiguous points, 4 points per step: the three
// accumulators see the coordinate pattern (x y z x), (y z x y), (z x y z).
// _mm256_min_pd(x, acc) returns acc when x is NaN, so NaN is skipped here too.
__attribute__((target("avx2"))) void point_bounds_avx2(const double* p, std::int64_t k,
                                                       double lo[3], double hi[3]) {
  __m256d mn0 = _mm256_set1_pd(HUGE_VAL), mn1 = mn0, mn2 = mn0;
  __m256d mx0 = _mm256_set1_pd(-HUGE_VAL), mx1 = mx0, mx2 = mx0;
  std::int64_t n = 0;
  for (; n + 4 <= k; n += 4) {
    const double* q = p + 3 * n;
    const __m256d a = _mm256_loadu_pd(q), b = _mm256_loadu_pd(q + 4), c = _mm256_loadu_pd(q + 8);
    mn0 = _mm256_min_pd(a, mn0);
    mx0 = _mm256_max_pd(a, mx0);
    mn1 = _mm256_min_pd(b, mn1);
    mx1 = _mm256_max_pd(b, mx1);
    mn2 = _mm256_min_pd(c, mn2);
    mx2 = _mm256_max_pd(c, mx2);
  }
  alignas(32) double m[3][4], M[3][4];
  _mm256_store_pd(m[0], mn0);
  _mm256_store_pd(m[1], mn1);
  _mm256_store_pd(m[2], mn2);
  _mm256_store_pd(M[0], mx0);
  _mm256_store_pd(M[1], mx1);
  _mm256_store_pd(M[2], mx2);
  for (int a = 0; a < 3; ++a) {
    lo[a] = HUGE_VAL;
    hi[a] = -HUGE_VAL;
  }
  // Lane l of accumulator r holds coordinate (4 r + l) mod 3.
  for (int r = 0; r < 3; ++r)
    for (int l = 0; l < 4; ++l) {
      const int a = (4 * r + l) % 3;
      lo[a] = std::min(lo[a], m[r][l]);
      hi[a] = std::max(hi[a], M[r][l]);
    }
  for (; n < k; ++n)
    for (int a = 0; a < 3; ++a) {
      const double x = p[3 * n + a];
      lo[a] = x < lo[a] ? x : lo[a];
      hi[a] = x > hi[a] ? x : hi[a];
    }
}
#endif

bool row_empty(const std::uint8_t* row, std::int64_t len, std::int64_t stride) {
  if (stride == 1) {
    // Overlapping word loads that stay inside [row, row + len).
    auto word = [row](std::int64_t at) {
      std::uint64_t w;
      std::memcpy(&w, row + at, 8);
      return w;
    };
    if (len >= 8) {
      if (len <= 16) return (word(0) | word(len - 8)) == 0;
      if (len <= 32) return (word(0) | word(8) | word(len - 16) | word(len - 8)) == 0;
      std::int64_t i = 0;
      for (; i + 32 <= len; i += 32)
        if (word(i) | word(i + 8) | word(i + 16) | word(i + 24)) return false;
      return (word(len - 32) | word(len - 24) | word(len - 16) | word(len - 8)) == 0;
    }
    for (std::int64_t i = 0; i < len; ++i)
      if (row[i]) return false;
    return true;
  }
  for (std::int64_t i = 0; i < len; ++i)
    if (row[i * stride]) return false;
  return true;
}

// True when the link provably touches no occupied cell.  `budget` caps the
// cells worth reading (beyond it, posing the points is cheaper).
bool provably_free(const PointsView& pts, const Posed& f, const GridView& g, double budget) {
  double lo[3], hi[3];
#ifdef GRISTANE_HAVE_AVX2_PATH
  if (cpu_has_avx2() && pts.row_stride == 24 && pts.col_stride == 8 &&
      reinterpret_cast<std::uintptr_t>(pts.base) % alignof(double) == 0)
    point_bounds_avx2(reinterpret_cast<const double*>(pts.base), pts.k, lo, hi);
  else
#endif
    point_bounds(pts, lo, hi);
  if (!(lo[0] <= hi[0] && lo[1] <= hi[1] && lo[2] <= hi[2])) return true;  // every point NaN
  std::int64_t first[3], last[3];
  double cells = 1.0;
  for (int a = 0; a < 3; ++a) {
    // Range of w_a = r . p + t over the box, and a bound on the rounding of
    // the per-point sum (a few ulps of its largest term).
    double wlo = f.t[a], whi = f.t[a], scale = std::fabs(f.t[a]);
    for (int b = 0; b < 3; ++b) {
      const double u = f.r[3 * a + b] * lo[b], v = f.r[3 * a + b] * hi[b];
      wlo += std::min(u, v);
      whi += std::max(u, v);
      scale += std::max(std::fabs(u), std::fabs(v));
    }
    const double slack = 16.0 * 2.220446049250313e-16 * scale;
    // Every posed point's rounded w lies in [wlo - slack, whi + slack], and
    // rounding is monotonic: pushing these two bounds through the very
    // operations a point goes through, (w - origin) * inv_pitch, bounds every
    // point's x from below and above.
    const double xlo = ((wlo - slack) - f.o[a]) * f.inv, xhi = ((whi + slack) - f.o[a]) * f.inv;
    if (!(std::fabs(xlo) < 1e15) || !(std::fabs(xhi) < 1e15))
      return false;  // absurd or non-finite pose
    const double c0 = std::max(std::floor(xlo), 0.0);
    const double c1 = std::min(std::floor(xhi), f.n[a] - 1.0);
    if (c0 > c1) return true;  // the whole link is outside the grid on this axis
    first[a] = static_cast<std::int64_t>(c0);
    last[a] = static_cast<std::int64_t>(c1);
    cells *= c1 - c0 + 1.0;
  }
  if (cells > budget) return false;
  const std::int64_t len = last[2] - first[2] + 1;
  for (std::int64_t i = first[0]; i <= last[0]; ++i)
    for (std::int64_t j = first[1]; j <= last[1]; ++j) {
      const std::uint8_t* row =
          g.cells + i * g.stride[0] + j * g.stride[1] + first[2] * g.stride[2];
      if (!row_empty(row, len, g.stride[2])) return false;
    }
  return true;
}

// Reading a contiguous cell costs a small fraction of posing a point.
constexpr double kCellsPerPoint = 16.0;
// Points per run when a whole link could not be proved free.
constexpr std::int64_t kChunk = 128;

// The leaf test on a prepared pose.
bool hits_points(const PointsView& pts, const Posed& f, const GridView& g) {
#ifdef GRISTANE_HAVE_AVX2_PATH
  if (vector_path_ok(pts, g)) return hits_avx2(pts, f, g);
#endif
  return hits_scalar(pts, f, g);
}

bool grid_empty(const GridView& g) { return g.shape[0] == 0 || g.shape[1] == 0 || g.shape[2] == 0; }

}  // namespace

bool points_hit(const PointsView& pts, const Mat4& T, const GridView& g) {
  if (pts.k == 0 || grid_empty(g)) return false;
  return hits_points(pts, Posed(T, g), g);
}

bool link_hits_any(const PointsView& pts, const Mat4& T, const GridView& g) {
  if (pts.k == 0 || grid_empty(g)) return false;  // an empty grid has no occupied cell
  const Posed f(T, g);
  if (provably_free(pts, f, g, kCellsPerPoint * static_cast<double>(pts.k))) return false;
  // Something occupied lies near the link: most of the link is usually still
  // far from it, so try the same proof on runs of consecutive points (voxel
  // centres come in spatial order) before posing them one by one.
  for (std::int64_t start = 0; start < pts.k; start += kChunk) {
    PointsView sub = pts;
    sub.base = pts.base + start * pts.row_stride;
    sub.k = std::min<std::int64_t>(kChunk, pts.k - start);
    if (pts.k > kChunk && provably_free(sub, f, g, kCellsPerPoint * static_cast<double>(sub.k)))
      continue;
    if (hits_points(sub, f, g)) return true;
  }
  return false;
}

}  // namespace gristane
