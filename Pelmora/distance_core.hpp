// The bookkeeping of Pelmora's distance queries, apart from the mesh distance
// itself (python-fcl's, asked through a callback): which pairs are measured,
// the bounding-box pruning of a trajectory's smallest distance, the touch rule
// for distances near zero, and how repeated names and ties are settled.
//
// The fixed base is left out: it never moves, so its distance to the
// environment is the same for every configuration.  A trajectory's smallest
// distance per row skips the pairs whose bounding boxes lie farther apart than
// the nearest pair found: the answer stays exact.
#pragma once

#include "Pelmora/pelmora.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

namespace pelmora {

// Below this a distance is checked against the collision query, which decides
// whether the pair touches (then it is 0.0, exactly where query() reports it).
inline constexpr double kTouchCheck = 1e-6;

using Box = std::array<double, 6>;  // lower x, y, z; upper x, y, z

// The box around n_values / 3 points (x, y, z rows).
inline Box box_of(const double* V, std::size_t n_values) {
  const double inf = std::numeric_limits<double>::infinity();
  Box b{inf, inf, inf, -inf, -inf, -inf};
  for (std::size_t i = 0; i + 2 < n_values; i += 3)
    for (int k = 0; k < 3; ++k) {
      b[k] = std::min(b[k], V[i + k]);
      b[k + 3] = std::max(b[k + 3], V[i + k]);
    }
  return b;
}

// A rigid motion's rotation, row-major, and translation.
struct RigidParts {
  double R[9], t[3];
};
inline RigidParts rigid_parts(const Mat4& T) {
  return {{T[0], T[1], T[2], T[4], T[5], T[6], T[8], T[9], T[10]}, {T[3], T[7], T[11]}};
}

// The box around a link-frame box posed by T (its eight corners carried).
inline Box posed_box(const Box& b, const Mat4& T) {
  const double inf = std::numeric_limits<double>::infinity();
  Box w{inf, inf, inf, -inf, -inf, -inf};
  for (int c = 0; c < 8; ++c) {
    const double p[3] = {b[(c & 1) ? 3 : 0], b[(c & 2) ? 4 : 1], b[(c & 4) ? 5 : 2]};
    for (int r = 0; r < 3; ++r) {
      const double x = T[4 * r] * p[0] + T[4 * r + 1] * p[1] + T[4 * r + 2] * p[2] + T[4 * r + 3];
      w[r] = std::min(w[r], x);
      w[r + 3] = std::max(w[r + 3], x);
    }
  }
  return w;
}

// The gap between two boxes: never more than the distance between what they hold.
inline double box_gap(const Box& a, const Box& b) {
  double s = 0.0;
  for (int k = 0; k < 3; ++k) {
    const double d = std::max({0.0, a[k] - b[k + 3], b[k] - a[k + 3]});
    s += d * d;
  }
  return std::sqrt(s);
}

// An environment body or a moving link as the distance queries see it: its
// name and the box around its vertices (in the world for a body, in the
// link's frame for a link).
struct Body {
  ObjectName name;
  Box box;
};

using PairDistance = std::pair<Pair, double>;

// The distances at one pose.  measure(i, j) is the mesh distance between
// environment body i and moving link j; touching() the pairs the collision
// query finds in contact, asked at most once per pose and only for a distance
// under kTouchCheck (intersecting meshes come back as 0 or about it).
template <class Measure, class Touching>
class PoseDistances {
 public:
  PoseDistances(const std::vector<Body>& envs, const std::vector<Body>& links,
                const std::set<Pair>& ignored, Measure measure, Touching touching)
      : envs_(envs), links_(links), ignored_(ignored), measure_(measure), touching_(touching) {}

  // Every pair not ignored, environment-major; a link name that repeats keeps
  // the nearer of its links, at the place of its first.
  std::vector<PairDistance> all() {
    std::vector<PairDistance> out;
    for (std::size_t i = 0; i < envs_.size(); ++i)
      for (std::size_t j = 0; j < links_.size(); ++j) {
        const Pair p = pair(i, j);
        if (ignored_.count(p)) continue;
        const double d = exact(i, j, p);
        auto seen =
            std::find_if(out.begin(), out.end(), [&](const auto& e) { return e.first == p; });
        if (seen == out.end())
          out.emplace_back(p, d);
        else if (!(seen->second <= d))
          seen->second = d;
      }
    return out;
  }

  // The smallest distance over the pairs not ignored (inf without any), for
  // the links' boxes at this pose: pairs in the order of their boxes' gaps,
  // stopping at the first whose gap is no smaller than the best distance found.
  double smallest(const std::vector<Box>& link_boxes) {
    std::vector<std::tuple<double, std::size_t, std::size_t>> order;
    for (std::size_t i = 0; i < envs_.size(); ++i)
      for (std::size_t j = 0; j < links_.size(); ++j)
        if (!ignored_.count(pair(i, j)))
          order.emplace_back(box_gap(envs_[i].box, link_boxes[j]), i, j);
    std::sort(order.begin(), order.end());
    double best = std::numeric_limits<double>::infinity();
    for (const auto& [gap, i, j] : order) {
      if (gap >= best) break;
      best = std::min(best, exact(i, j, pair(i, j)));
    }
    return best;
  }

 private:
  Pair pair(std::size_t i, std::size_t j) const {
    return ordered_pair(envs_[i].name, links_[j].name);
  }

  // The exact distance of one pair: the measured one, and 0.0 for a pair the
  // collision query finds touching.
  double exact(std::size_t i, std::size_t j, const Pair& p) {
    const double d = std::max(0.0, measure_(i, j));
    if (d > kTouchCheck) return d;
    if (!touching_set_) touching_set_ = touching_();
    return touching_set_->count(p) ? 0.0 : d;
  }

  const std::vector<Body>& envs_;
  const std::vector<Body>& links_;
  const std::set<Pair>& ignored_;
  Measure measure_;
  Touching touching_;
  std::optional<std::set<Pair>> touching_set_;
};

// The smallest entry of a pose's distances; ties go to the first pair in pair
// order.  None when there is no entry (or every distance is infinite).
inline std::optional<PairDistance> nearest(const std::vector<PairDistance>& distances) {
  std::optional<PairDistance> best;
  double best_d = std::numeric_limits<double>::infinity();
  for (const auto& [p, d] : distances)
    if (d < best_d || (d == best_d && best && p < best->first)) {
      best_d = d;
      best = PairDistance{p, d};
    }
  return best;
}

}  // namespace pelmora
