// Clearance: configurations and straight edges proven clear of the
// environment by the distance engine, with self-collision where it is on.
#include "Brimwell/arm_model.hpp"

#include "common/text.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>

namespace brimwell {

namespace {

// Pieces one edge may be cut into before it is given up as not proven.
constexpr std::size_t kMaxPieces = 1024;
// An edge that comes closer than this above the clearance is not worth
// proving: a piece whose links move less than this and still fail ends it.
constexpr double kFinestReach = 1e-4;
}  // namespace

namespace {

gristane::MotionBound motion_of(std::size_t n, const std::vector<gristane::SurfaceCover>& covers,
                                const cellpath::Vec6* screws, const cellpath::Mat4* home,
                                const double* lower, const double* upper) {
  std::vector<double> centres(3 * n, 0.0), radii(n, 0.0);
  for (std::size_t i = 0; i < n; ++i)
    if (!covers[i].empty()) {
      for (int a = 0; a < 3; ++a) centres[3 * i + a] = covers[i].centre()[a];
      radii[i] = covers[i].radius();
    }
  return gristane::MotionBound(n, screws, home, centres.data(), radii.data(), lower, upper);
}

}  // namespace

bool ArmModel::reach_box(const std::vector<gristane::SurfaceCover>& covers, double lo[3],
                         double hi[3]) const {
  if (covers.size() != n_) return false;
  double c[3], r;
  if (!motion_of(n_, covers, screws_.data(), home_.data(), lower_.data(), upper_.data())
           .reach(c, r))
    return false;
  for (int a = 0; a < 3; ++a) {
    lo[a] = c[a] - r;
    hi[a] = c[a] + r;
  }
  return std::isfinite(r);
}

void ArmModel::set_clearance(double c, std::unique_ptr<gristane::EnvironmentDistance> env,
                             std::vector<gristane::SurfaceCover> covers) {
  if (!(c >= 0.0) || !std::isfinite(c))
    throw std::invalid_argument("clearance must be finite and not negative");
  if (covers.size() != n_)
    throw std::invalid_argument("one surface cover per moving link is needed");
  if (n_ > 64) throw std::invalid_argument("clearance handles arms of at most 64 joints");
  motion_ = motion_of(n_, covers, screws_.data(), home_.data(), lower_.data(), upper_.data());
  clearance_ = c;
  env_ = std::move(env);
  covers_ = std::make_unique<const std::vector<gristane::SurfaceCover>>(std::move(covers));
  auto wide = [](const std::vector<gristane::SurfaceCover>& from) {
    std::vector<gristane::WideCover> out;
    for (const gristane::SurfaceCover& c : from) out.emplace_back(c);
    return std::make_unique<const std::vector<gristane::WideCover>>(std::move(out));
  };
  wide_covers_ = wide(*covers_);
  wide_screen_ = screen_covers_ ? wide(*screen_covers_) : nullptr;
}

bool ArmModel::link_clear(const ArmData& d, std::size_t link, bool fine, double t,
                          double exact_up_to, bool* certain) const {
  const auto& covers = fine ? *covers_ : *screen_covers_;
  const auto* wide = fine ? wide_covers_.get() : wide_screen_.get();
  const double* T = d.poses[link].data();
  if (!lazy_ || !wide)
    return gristane::surface_clear(covers[link - 1], T, *env_, t, exact_up_to, certain);
  return gristane::wide_surface_clear((*wide)[link - 1], covers[link - 1], T, *env_, t, exact_up_to,
                                      certain);
}

std::size_t ArmModel::first_unclear(ArmData& d, const double* extra) const {
  return first_failing(d, [&](std::size_t link) {
    const double t = clearance_ + (extra ? extra[link - 1] : 0.0);
    return link_clear(d, link, true, t);
  });
}

bool ArmModel::clear_at(ArmData& d, const double* q) const {
  pose_proving(d, q);
  if (d.exploring) return screen_posed(d, q, 1.0);
  return first_unclear(d) == 0;
}

std::string ArmModel::clearance_metres() const {
  return cellpath::python_float_text(clearance_words_ >= 0.0 ? clearance_words_ : clearance_);
}

double ArmModel::link_distance(const ArmData& d, std::size_t link, std::size_t* body) const {
  const gristane::SurfaceCover& cover = (*covers_)[link - 1];
  double best = std::numeric_limits<double>::infinity();
  *body = static_cast<std::size_t>(-1);
  cellpath::Vec3 w;
  for (std::size_t k = 0; k < cover.n_points(); ++k) {
    cellpath::transform_points(cover.points() + 3 * k, 1, d.poses[link], w.data());
    std::size_t b;
    // The body the link is shortest of its clearance from, with offsets.
    const double d = env_->offset_distance(w.data(), &b);
    if (d < best) {
      best = d;
      *body = b;
    }
  }
  return *body == static_cast<std::size_t>(-1) ? best : best - env_->offset(*body);
}

EdgeVerdict ArmModel::edge_verdict(ArmData& d, const double* a, const double* b) const {
  if (!env_) throw std::logic_error("edge_proven needs the clearance model");
  // A proof about every configuration between a and b includes a and b, by
  // the same test as is_valid (self-collision included): the pieces next to
  // an end cover it for the environment, but not every self-collision pair.
  if (!is_valid(d, a) || !is_valid(d, b)) return EdgeVerdict::Invalid;
  return walk_pieces(d, a, b);
}

bool ArmModel::edge_proven(ArmData& d, const double* a, const double* b) const {
  return edge_verdict(d, a, b) == EdgeVerdict::Proven;
}

bool ArmModel::edge_checked(ArmData& d, const double* a, const double* b) const {
  return d.exploring ? edge_screened(d, a, b) : edge_proven(d, a, b);
}

EdgeVerdict ArmModel::piece_links(ArmData& d, std::uint64_t links, std::uint64_t& split) const {
  // The link that failed last goes first: an invalid edge ends sooner.
  const std::size_t last = d.last_unclear;
  const std::size_t first = last >= 1 && last <= n_ ? last - 1 : 0;
  for (std::size_t step = 0; step < n_; ++step) {
    const std::size_t i = (first + step) % n_;
    if (!(links >> i & 1u)) continue;
    const std::size_t link = i + 1;
    const double reach = d.edge_full[i];
    if (link_clear(d, link, true, clearance_ + reach, clearance_ + kExactReach)) continue;
    // Not covered by the motion bound: an invalid configuration ends the
    // edge, anything else is cut in two.
    if (!link_clear(d, link, true, clearance_)) {
      d.last_unclear = link;
      return EdgeVerdict::Invalid;
    }
    if (reach < kFinestReach) return EdgeVerdict::Unsettled;
    split |= std::uint64_t{1} << i;
  }
  return EdgeVerdict::Proven;
}

EdgeVerdict ArmModel::piece_pairs(ArmData& d, const ArmData::Piece& p, const double* a,
                                  const double* b, double half, std::uint64_t& split) const {
  const gristane::SelfCollisionModel* self = self_.get();
  const std::vector<cellpath::Mat4>& poses = d.poses;
  const auto& pairs = self->checked();
  const bool pair_masks = pairs.size() <= 64;
  bool box_known = false;
  for (std::size_t k = 0; k < pairs.size(); ++k) {
    if (pair_masks && !(p.pairs >> k & 1u)) continue;
    if (!box_known) {  // the joints' range over the piece, for the pair tables
      for (std::size_t m = 0; m < n_; ++m) {
        const double u = a[m] + (b[m] - a[m]) * p.t0, v = a[m] + (b[m] - a[m]) * p.t1;
        d.edge_lo[m] = std::min(u, v);
        d.edge_hi[m] = std::max(u, v);
      }
      box_known = true;
    }
    if (self->table_clear_box(k, d.edge_lo.data(), d.edge_hi.data())) continue;
    const auto [i, j] = pairs[k];
    // Only the joints between the two links change their distance.
    const auto [lo, hi] = std::minmax(i, j);
    const double extra =
        hi == 0 ? 0.0
                : motion_.link_piece_bound(poses.data() + 1, d.edge_dq.data(), half, hi - 1, lo);
    if (!self->pair_within_extra(i, j, poses[i], poses[j], extra)) continue;
    if (self->pair_collides(i, j, poses[i], poses[j])) return EdgeVerdict::Invalid;
    split |= pair_masks ? std::uint64_t{1} << k : ~std::uint64_t{0};
  }
  return EdgeVerdict::Proven;
}

EdgeVerdict ArmModel::walk_pieces(ArmData& d, const double* a_in, const double* b_in) const {
  // One direction for both orders of the ends, so the answer is symmetric.
  const double* a = a_in;
  const double* b = b_in;
  if (std::lexicographical_compare(b, b + n_, a, a + n_)) std::swap(a, b);
  for (std::size_t k = 0; k < n_; ++k) d.edge_dq[k] = std::fabs(b[k] - a[k]);
  const std::size_t n_pairs = self_ ? self_->checked().size() : 0;
  const std::uint64_t all_links = n_ == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n_) - 1;
  const std::uint64_t all_pairs =
      n_pairs >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n_pairs) - 1;

  // Breadth first, so a collision anywhere along the edge shows up early.
  std::vector<ArmData::Piece>& pieces = d.pieces;
  pieces.clear();
  pieces.push_back({0.0, 1.0, all_links, all_pairs});
  for (std::size_t head = 0; head < pieces.size(); ++head) {
    const ArmData::Piece p = pieces[head];
    const double tm = 0.5 * (p.t0 + p.t1), half = 0.5 * (p.t1 - p.t0);
    for (std::size_t k = 0; k < n_; ++k) d.edge_q[k] = a[k] + (b[k] - a[k]) * tm;
    pose_proving(d, d.edge_q.data());
    // How far each link can move within the piece, from where it is now.
    motion_.piece_bound(d.poses.data() + 1, d.edge_dq.data(), half, d.edge_full.data());
    std::uint64_t split_links = 0, split_pairs = 0;
    EdgeVerdict v = piece_links(d, p.links, split_links);
    if (v == EdgeVerdict::Proven && n_pairs > 0) v = piece_pairs(d, p, a, b, half, split_pairs);
    if (v != EdgeVerdict::Proven) return v;
    split_pairs &= all_pairs;
    if (split_links == 0 && split_pairs == 0) continue;
    if (pieces.size() + 2 > kMaxPieces) return EdgeVerdict::Unsettled;
    pieces.push_back({p.t0, tm, split_links, split_pairs});
    pieces.push_back({tm, p.t1, split_links, split_pairs});
  }
  return EdgeVerdict::Proven;
}

}  // namespace brimwell
