// The screen: how edges and configurations are answered while the model is
// exploring (a lazy proof's search, lazy_proof.hpp).  Nothing here is a
// proof; the screen only steers the search towards paths that have room for
// their proof, at a fraction of its cost.
#include "Brimwell/arm_model.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace brimwell {

namespace {

// Samples along a screened edge, at most this far apart (radians of the
// joint that moves most): the spacing of the peers' sampled edges.
constexpr double kScreenStep = 1.0 / 32.0;
// Configurations are screened at the clearance plus this margin, so that the
// path the search settles on has room for its proof: with none, shortcuts
// pull the path tight against the clearance and its proof takes hundreds of
// pieces an edge, or fails.
constexpr double kScreenMargin = 0.002;
// Towards an edge's ends the margin tapers (metres per radian of the widest
// joint change), so that an end that keeps barely the clearance can be left.
constexpr double kScreenTaper = 0.25;
// How near (radians, the joint farthest off) the search's start or goal a
// configuration is screened as a proof would test it.
constexpr double kAnchorReach = 0.5;

}  // namespace

double ArmModel::anchor_distance(const ArmData& data, const double* q) const {
  const std::vector<double>& anchors = data.anchors;
  double near = std::numeric_limits<double>::infinity();
  for (std::size_t off = 0; off + n_ <= anchors.size(); off += n_) {
    double d = 0.0;
    for (std::size_t k = 0; k < n_; ++k) d = std::max(d, std::fabs(q[k] - anchors[off + k]));
    near = std::min(near, d);
  }
  return near;
}

bool ArmModel::screen_posed(ArmData& d, const double* q, double share) const {
  // Within kAnchorReach of the search's start or goal the screen asks what a
  // proof would (the fine covers, exact tests where the field falls short),
  // the margin tapering to none at the end itself: an end that keeps barely
  // the clearance can be left and reached.  Everywhere else the field alone
  // decides, on the coarser covers and then on the fine ones: cheap, and
  // more careful than a proof; a thorough screen adds the exact tests there
  // too.
  const double near = anchor_distance(d, q);
  const bool exact = near < kAnchorReach;
  if (exact) share = std::min(share, kScreenTaper * near / kScreenMargin);
  const double t = clearance_ + kScreenMargin * std::min(share, 1.0);
  const bool coarse = !exact && screen_covers_ && screen_covers_->size() == n_;
  auto clear = [&](std::size_t link) {
    if (!coarse) return link_clear(d, link, true, t);
    bool certain = false;
    if (link_clear(d, link, false, t, -1.0, &certain)) return true;
    if (certain) return false;
    return link_clear(d, link, true, t,
                      d.thorough ? std::numeric_limits<double>::infinity() : -1.0);
  };
  return first_failing(d, clear) == 0;
}

bool ArmModel::edge_screened(ArmData& d, const double* a_in, const double* b_in) const {
  if (!in_limits(a_in) || !in_limits(b_in)) return false;
  // One direction for both orders of the ends, so the answer is symmetric.
  const double* a = a_in;
  const double* b = b_in;
  if (std::lexicographical_compare(b, b + n_, a, a + n_)) std::swap(a, b);
  double widest = 0.0;
  for (std::size_t k = 0; k < n_; ++k) widest = std::max(widest, std::fabs(b[k] - a[k]));
  const double steps = std::ceil(widest / kScreenStep);
  if (!(steps < 1e6)) return false;  // NaN, or an edge no search would ask about
  const std::size_t m = std::max<std::size_t>(1, static_cast<std::size_t>(steps));
  // The samples at (k + 1/2) / m, coarse to fine (every 2^j-th first), so
  // that a blocked edge is met after few of them.
  std::size_t stride = 1;
  while (stride < m) stride *= 2;
  std::vector<char>& seen = d.screen_seen;
  std::vector<double>& q = d.edge_q;
  seen.assign(m, 0);
  // The environment first, over every sample: most edges that fail, fail
  // there, and the self-collision test of their samples would be wasted.
  // The poses are kept for the self-collision pass that follows.
  const std::size_t links = d.poses.size();
  if (self_) {
    d.screen_poses.resize(m * links);
    d.screen_order.clear();
  }
  for (;; stride /= 2) {
    for (std::size_t k = stride / 2; k < m; k += stride) {
      if (seen[k]) continue;
      seen[k] = 1;
      const double t = (static_cast<double>(k) + 0.5) / static_cast<double>(m);
      for (std::size_t j = 0; j < n_; ++j) q[j] = a[j] + (b[j] - a[j]) * t;
      pose_quick(d, q.data());
      const double share = kScreenTaper * widest * std::min(t, 1.0 - t) / kScreenMargin;
      if (!screen_posed(d, q.data(), share)) return false;
      if (self_) {
        std::copy(d.poses.begin(), d.poses.end(), d.screen_poses.begin() + k * links);
        d.screen_order.push_back(k);
      }
    }
    if (stride <= 1) break;
  }
  if (!self_) return true;
  for (const std::size_t k : d.screen_order) {
    const double t = (static_cast<double>(k) + 0.5) / static_cast<double>(m);
    for (std::size_t j = 0; j < n_; ++j) q[j] = a[j] + (b[j] - a[j]) * t;
    if (self_->collides(d.screen_poses.data() + k * links, q.data(), d.self_hit)) return false;
  }
  return true;
}

}  // namespace brimwell
