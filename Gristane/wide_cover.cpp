#include "Gristane/wide_cover.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define GRISTANE_HAVE_WIDE_WALK 1
#endif

namespace gristane {

namespace {

float round_up(double x) {
  const float f = static_cast<float>(x);
  return static_cast<double>(f) >= x ? f
                                     : std::nextafter(f, std::numeric_limits<float>::infinity());
}
float round_down(double x) {
  const float f = static_cast<float>(x);
  return static_cast<double>(f) <= x ? f
                                     : std::nextafter(f, -std::numeric_limits<float>::infinity());
}

}  // namespace

WideCover::WideCover(const SurfaceCover& cover) : source_nodes_(cover.nodes().size()) {
  // A root that is a leaf needs no wide node: the walk tests it directly.
  if (cover.empty() || cover.nodes().front().left < 0) return;
  for (int a = 0; a < 3; ++a) centre_[a] = cover.centre()[a];
  radius_ = cover.radius();
  build(cover, 0, 1);
  if (depth_ > kMaxDepth) nodes_.clear();
  if (!nodes_.empty()) build_blocks(cover);
}

void WideCover::build_blocks(const SurfaceCover& cover) {
  const std::vector<CoverNode>& bin = cover.nodes();
  leaf_block_.assign(bin.size(), -1);
  const float rho = round_up(cover.rho());
  for (std::size_t b = 0; b < bin.size(); ++b) {
    const CoverNode& n = bin[b];
    if (n.left >= 0) continue;
    leaf_block_[b] = static_cast<std::int32_t>(blocks_.size());
    for (std::uint32_t k0 = 0; k0 < n.count; k0 += kWidth) {
      Node out{};
      out.count = static_cast<std::int32_t>(std::min<std::uint32_t>(kWidth, n.count - k0));
      for (int l = 0; l < kWidth; ++l) {
        out.r[l] = rho;
        out.next[l] = out.source[l] = -1;
      }
      for (int l = 0; l < out.count; ++l) {
        const double* p = cover.points() + 3 * (std::size_t{n.begin} + k0 + l);
        out.x[l] = static_cast<float>(p[0] - centre_[0]);
        out.y[l] = static_cast<float>(p[1] - centre_[1]);
        out.z[l] = static_cast<float>(p[2] - centre_[2]);
      }
      blocks_.push_back(out);
    }
  }
}

std::int32_t WideCover::build(const SurfaceCover& cover, std::int32_t node, int level) {
  const std::vector<CoverNode>& bin = cover.nodes();
  // The descendants that stand for `node`: its two children, then the widest
  // of them opened in turn until there are eight, or only leaves.
  std::int32_t lanes[kWidth];
  int count = 0;
  lanes[count++] = bin[static_cast<std::size_t>(node)].left;
  lanes[count++] = bin[static_cast<std::size_t>(node)].right;
  while (count < kWidth) {
    int widest = -1;
    for (int i = 0; i < count; ++i) {
      const CoverNode& n = bin[static_cast<std::size_t>(lanes[i])];
      if (n.left >= 0 &&
          (widest < 0 || n.radius > bin[static_cast<std::size_t>(lanes[widest])].radius))
        widest = i;
    }
    if (widest < 0) break;
    const CoverNode& w = bin[static_cast<std::size_t>(lanes[widest])];
    lanes[widest] = w.left;
    lanes[count++] = w.right;
  }
  depth_ = std::max(depth_, level);
  Node out{};
  out.count = count;
  for (int i = 0; i < kWidth; ++i) {
    out.r[i] = -1.0f;
    out.next[i] = out.source[i] = -1;
  }
  const auto index = static_cast<std::int32_t>(nodes_.size());
  nodes_.emplace_back();
  for (int i = 0; i < count; ++i) {
    const CoverNode& n = bin[static_cast<std::size_t>(lanes[i])];
    out.x[i] = static_cast<float>(n.centre[0] - centre_[0]);
    out.y[i] = static_cast<float>(n.centre[1] - centre_[1]);
    out.z[i] = static_cast<float>(n.centre[2] - centre_[2]);
    out.r[i] = round_up(n.radius);
    out.source[i] = lanes[i];
    out.next[i] = n.left < 0 ? -1 - lanes[i] : build(cover, lanes[i], level + 1);
  }
  nodes_[static_cast<std::size_t>(index)] = out;
  return index;
}

namespace {

// The field and the pose in single precision, relative to the field's corner.
struct FloatFrame {
  float R[9];      // the pose's rotation
  float shift[3];  // where the root's centre lands, from the field's corner
  float inv, cell, extent[3], quantum;
  float limit;   // t plus the slack, rounded up: a sphere beyond it is settled
  float within;  // t less the slack, rounded down: a point whose upper bound is no more is within
  std::int32_t raw_within;  // the largest stored value whose upper bound holds (-1: none)
  std::int32_t last[3], stride[2];
  const std::uint16_t* field;
};

// Lane l's centre posed, from the field's corner.
void pose_lane(const WideCover::Node& n, int l, const FloatFrame& f, float* w) {
  for (int a = 0; a < 3; ++a)
    w[a] = std::fma(f.R[3 * a], n.x[l],
                    std::fma(f.R[3 * a + 1], n.y[l], std::fma(f.R[3 * a + 2], n.z[l], f.shift[a])));
}

// settle8 lane by lane, with the same operations in the same order (fused
// where it fuses), so that every machine settles the same spheres and plans
// alike.
void settle8_portable(const WideCover::Node& n, const FloatFrame& f, int& settled, int& inside,
                      float* room_out, int* within) {
  settled = inside = 0;
  if (within) *within = 0;
  for (int l = 0; l < WideCover::kWidth; ++l) {
    room_out[l] = 0.0f;
    if (l >= n.count) continue;
    float w[3], g[3];
    bool in = true;
    pose_lane(n, l, f, w);
    for (int a = 0; a < 3; ++a) {
      g[a] = w[a] * f.inv;
      in = in && g[a] >= 0.0f && g[a] < f.extent[a];
    }
    if (!in) continue;
    inside |= 1 << l;
    std::int32_t cell[3];
    for (int a = 0; a < 3; ++a) cell[a] = std::min(static_cast<std::int32_t>(g[a]), f.last[a]);
    const std::int32_t raw = f.field[(cell[0] * f.stride[0] + cell[1]) * f.stride[1] + cell[2]];
    const float v = static_cast<float>(raw) * f.quantum;
    float d2 = 0.0f;
    for (int a = 0; a < 3; ++a) {
      const float d = w[a] - (static_cast<float>(cell[a]) + 0.5f) * f.cell;
      d2 = std::fma(d, d, d2);
    }
    const float room = (v - n.r[l]) - f.limit;
    room_out[l] = room;
    if (room > 0.0f && d2 < room * room) settled |= 1 << l;
    if (within && raw <= f.raw_within && (v + f.quantum) + std::sqrt(d2) <= f.within)
      *within |= 1 << l;
  }
}

}  // namespace

#ifdef GRISTANE_HAVE_WIDE_WALK
namespace {

bool cpu_has_wide_walk() {
  static const bool has = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return has;
}

// The lanes of `n` settled by the field (lower bound minus radius beyond
// limit), those inside the field, each lane's room (the ordering key), and
// when asked, the lanes whose centre the field proves within t.
__attribute__((target("avx2,fma"))) void settle8(const WideCover::Node& n, const FloatFrame& f,
                                                 int& settled, int& inside, float* room_out,
                                                 int* within) {
  __m256 g[3], w[3];
  const __m256 x = _mm256_load_ps(n.x), y = _mm256_load_ps(n.y), z = _mm256_load_ps(n.z);
  __m256 in = _mm256_castsi256_ps(
      _mm256_cmpgt_epi32(_mm256_set1_epi32(n.count), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7)));
  __m256i cell[3];
  for (int a = 0; a < 3; ++a) {
    w[a] = _mm256_fmadd_ps(_mm256_set1_ps(f.R[3 * a]), x,
                           _mm256_fmadd_ps(_mm256_set1_ps(f.R[3 * a + 1]), y,
                                           _mm256_fmadd_ps(_mm256_set1_ps(f.R[3 * a + 2]), z,
                                                           _mm256_set1_ps(f.shift[a]))));
    g[a] = _mm256_mul_ps(w[a], _mm256_set1_ps(f.inv));
    in = _mm256_and_ps(in, _mm256_cmp_ps(g[a], _mm256_setzero_ps(), _CMP_GE_OQ));
    in = _mm256_and_ps(in, _mm256_cmp_ps(g[a], _mm256_set1_ps(f.extent[a]), _CMP_LT_OQ));
    // Clamped, so that a lane outside (or NaN) still names a cell.
    cell[a] = _mm256_min_epi32(_mm256_max_epi32(_mm256_cvttps_epi32(g[a]), _mm256_setzero_si256()),
                               _mm256_set1_epi32(f.last[a]));
  }
  inside = _mm256_movemask_ps(in);
  const __m256i index = _mm256_add_epi32(
      _mm256_mullo_epi32(
          _mm256_add_epi32(_mm256_mullo_epi32(cell[0], _mm256_set1_epi32(f.stride[0])), cell[1]),
          _mm256_set1_epi32(f.stride[1])),
      cell[2]);
  alignas(32) std::int32_t idx[8], vals[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(idx), index);
  for (int l = 0; l < 8; ++l) vals[l] = (inside >> l & 1) ? f.field[idx[l]] : 0;
  const __m256i raw = _mm256_load_si256(reinterpret_cast<const __m256i*>(vals));
  const __m256 v = _mm256_mul_ps(_mm256_cvtepi32_ps(raw), _mm256_set1_ps(f.quantum));
  __m256 d2 = _mm256_setzero_ps();
  for (int a = 0; a < 3; ++a) {
    const __m256 centre = _mm256_mul_ps(
        _mm256_add_ps(_mm256_cvtepi32_ps(cell[a]), _mm256_set1_ps(0.5f)), _mm256_set1_ps(f.cell));
    const __m256 d = _mm256_sub_ps(w[a], centre);
    d2 = _mm256_fmadd_ps(d, d, d2);
  }
  const __m256 room = _mm256_sub_ps(_mm256_sub_ps(v, _mm256_load_ps(n.r)), _mm256_set1_ps(f.limit));
  const __m256 ok = _mm256_and_ps(_mm256_cmp_ps(room, _mm256_setzero_ps(), _CMP_GT_OQ),
                                  _mm256_cmp_ps(d2, _mm256_mul_ps(room, room), _CMP_LT_OQ));
  settled = _mm256_movemask_ps(_mm256_and_ps(ok, in));
  _mm256_storeu_ps(room_out, room);
  if (!within) return;
  const __m256 stored = _mm256_castsi256_ps(
      _mm256_cmpgt_epi32(_mm256_set1_epi32(f.raw_within + 1), raw));  // raw <= raw_within
  const __m256 near =
      _mm256_cmp_ps(_mm256_add_ps(_mm256_add_ps(v, _mm256_set1_ps(f.quantum)), _mm256_sqrt_ps(d2)),
                    _mm256_set1_ps(f.within), _CMP_LE_OQ);
  *within = _mm256_movemask_ps(_mm256_and_ps(_mm256_and_ps(stored, near), in));
}

}  // namespace
#endif

namespace {

void settle(const WideCover::Node& n, const FloatFrame& f, bool portable, int& settled, int& inside,
            float* room, int* within = nullptr) {
#ifdef GRISTANE_HAVE_WIDE_WALK
  if (!portable && cpu_has_wide_walk()) return settle8(n, f, settled, inside, room, within);
#endif
  settle8_portable(n, f, settled, inside, room, within);
}

struct Walk {
  const WideCover& wide;
  const SurfaceCover& cover;
  const double* T;
  const EnvironmentDistance& env;
  double t;
  bool exact;
  bool* certain;
  WideWalkProbe* probe;
  FloatFrame f;
  double lo[3];

  // The probe's account of node n.
  void measure(const WideCover::Node& n) const {
    ++probe->opened;
    for (int l = 0; l < n.count; ++l) {
      float w[3];
      pose_lane(n, l, f, w);
      double c[3], e2 = 0.0;
      SurfaceCover::pose(T, cover.nodes()[static_cast<std::size_t>(n.source[l])].centre, c);
      for (int a = 0; a < 3; ++a) {
        const double e = static_cast<double>(w[a]) - (c[a] - lo[a]);
        e2 += e * e;
      }
      probe->centre_error = std::max(probe->centre_error, std::sqrt(e2));
    }
  }

  // leaf_clear with the points judged by the field eight at a time in single
  // precision (proven clear or within t with the slack to spare), the open
  // ones then in double precision.
  bool leaf(std::int32_t b) const {
    const CoverNode& n = cover.nodes()[static_cast<std::size_t>(b)];
    std::uint32_t open[SurfaceCover::kLeafPoints];
    std::uint32_t n_open = 0;
    const std::int32_t first = wide.leaf_block(static_cast<std::size_t>(b));
    for (std::uint32_t k0 = 0; k0 < n.count; k0 += WideCover::kWidth) {
      const WideCover::Node& block = wide.block(static_cast<std::size_t>(first) + k0 / 8);
      int clear = 0, inside = 0, within = 0;
      alignas(32) float room[8];
      settle(block, f, probe && probe->portable, clear, inside, room, &within);
      for (int l = 0; l < block.count; ++l) {
        const std::uint32_t k = k0 + static_cast<std::uint32_t>(l);
        auto verdict = EnvironmentDistance::PointVerdict::Open;
        if (clear >> l & 1)
          verdict = EnvironmentDistance::PointVerdict::Clear;
        else if (within >> l & 1)
          verdict = EnvironmentDistance::PointVerdict::Within;
        else if (!(inside >> l & 1))
          verdict = point_verdict_double(n, k);
        const LeafStep step = leaf_step(verdict, exact, certain);
        if (step == LeafStep::Stop) return false;
        if (step == LeafStep::Keep) open[n_open++] = k;
      }
    }
    if (n_open == 0) return true;
    double c[3];
    SurfaceCover::pose(T, n.centre, c);
    return open_points_clear(cover, n, c, T, env, t, open, n_open);
  }
  // Point k of leaf n as the field judges it in double precision (a point
  // off the field).
  EnvironmentDistance::PointVerdict point_verdict_double(const CoverNode& n,
                                                         std::uint32_t k) const {
    double w[3];
    SurfaceCover::pose(T, cover.points() + 3 * (std::size_t{n.begin} + k), w);
    return env.point_verdict(w, cover.rho(), t);
  }

  bool run() const {
    return wide.walk(
        [&](const WideCover::Node& n, float* room) {
          int settled = 0, inside = 0;
          if (probe) measure(n);
          settle(n, f, probe && probe->portable, settled, inside, room);
          for (int l = 0; l < n.count; ++l) {
            if ((settled | inside) >> l & 1) continue;
            // Outside the field: the box's distance, in double precision.
            const CoverNode& b = cover.nodes()[static_cast<std::size_t>(n.source[l])];
            double c[3], key;
            SurfaceCover::pose(T, b.centre, c);
            if (env.ball_settled(c, b.radius, t, key)) settled |= 1 << l;
            room[l] = static_cast<float>(key);
          }
          return settled;
        },
        [&](std::int32_t b) { return leaf(b); });
  }
};

}  // namespace

bool wide_surface_clear(const WideCover& wide, const SurfaceCover& cover, const double* T,
                        const EnvironmentDistance& env, double t, double exact_up_to, bool* certain,
                        WideWalkProbe* probe) {
  EnvironmentDistance::FieldView fv;
  const bool usable = !wide.empty() && wide.source_nodes() == cover.nodes().size() &&
                      env.field_view(fv) &&
                      fv.shape[0] * fv.shape[1] * fv.shape[2] < (std::int64_t{1} << 31);
  if (!usable) return surface_clear(cover, T, env, t, exact_up_to, certain);
  if (certain) *certain = false;
  // The root as the binary walk tests it.
  {
    double c[3], key;
    SurfaceCover::pose(T, cover.centre(), c);
    if (env.ball_settled(c, cover.radius(), t, key)) return true;
  }
  Walk walk{
      wide, cover, T, env, t, t <= exact_up_to, certain, probe, {}, {fv.lo[0], fv.lo[1], fv.lo[2]}};
  FloatFrame& f = walk.f;
  double span = 0.0;
  for (int a = 0; a < 3; ++a) {
    for (int k = 0; k < 3; ++k) f.R[3 * a + k] = static_cast<float>(T[4 * a + k]);
    const double* c = wide.centre();
    f.shift[a] = static_cast<float>(T[4 * a] * c[0] + T[4 * a + 1] * c[1] + T[4 * a + 2] * c[2] +
                                    T[4 * a + 3] - fv.lo[a]);
    f.extent[a] = static_cast<float>(fv.extent[a]);
    f.last[a] = static_cast<std::int32_t>(fv.shape[a] - 1);
    span = std::max(span, fv.extent[a] * fv.cell);
  }
  // The pose carries the link beyond the field's extent: the float error
  // bound would not hold; the binary walk decides.
  for (int a = 0; a < 3; ++a)
    if (!(std::fabs(static_cast<double>(f.shift[a])) <= 2.0 * span))
      return surface_clear(cover, T, env, t, exact_up_to, certain);
  f.stride[0] = static_cast<std::int32_t>(fv.shape[1]);
  f.stride[1] = static_cast<std::int32_t>(fv.shape[2]);
  f.inv = static_cast<float>(fv.inv);
  f.cell = static_cast<float>(fv.cell);
  f.quantum = static_cast<float>(fv.quantum);
  f.field = fv.field;
  // 64 roundings of everything the numbers span: the link's sphere, the
  // field's extent (each axis's, thrice over for the pose's shift) and its
  // largest value.
  const double L = wide.radius() + 4.0 * span + 65535.0 * fv.quantum;
  const double slack = 64.0 * std::ldexp(L, -24);
  f.limit = round_up(t + slack);
  f.within = round_down(t - slack);
  // The largest stored value below the field's exact band, as the double
  // test compares it.
  const double below = fv.exact_below / fv.quantum;
  double raw = std::floor(std::min(below, 65536.0));
  while (raw >= 0.0 && !(raw * fv.quantum < fv.exact_below)) raw -= 1.0;
  f.raw_within = static_cast<std::int32_t>(std::max(raw, -1.0));
  if (probe) probe->slack = slack;
  return walk.run();
}

}  // namespace gristane
