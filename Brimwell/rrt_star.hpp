// RRT* over straight joint-space edges, one segment between two configurations.
//
// The planner only asks its context questions (OMPL's split between a state
// validity checker, a motion validator and the planner):
//
//   struct Context {
//     bool is_valid(const double* q);
//     bool edge_valid(const double* a, const double* b);  // tests b, not a
//     void sample(double* out);                           // one uniform draw per joint
//   };
//   struct Random { double random(); };                    // uniform in [0, 1)
//   struct Watch  { void tick(std::int64_t iteration, std::size_t nodes, double best_goal_cost); };
//
// so the same loop runs on the native context with no call into Python, and on
// any context written in Python through thin adapters.  Every iteration draws
// exactly one number from `Random` and, unless it picked the goal, one sample:
// the caller's generator advances identically whatever the context is.
#pragma once

#include "Brimwell/joint_space.hpp"
#include "Brimwell/node_store.hpp"

#include <algorithm>
#include <cmath>
#include "Brimwell/tuning.hpp"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <unordered_map>
#include <vector>

namespace brimwell {

struct RrtSettings {
  std::int64_t max_iters = tuning::kMaxIters;  // iterations; the loop never ends early
  double step = tuning::kStep;                 // steer length and cap of the neighbour radius
  double goal_bias = tuning::kGoalBias;        // probability of sampling the goal itself
  double gamma = tuning::kRrtStarGamma;        // scale of the shrinking neighbour radius
  double goal_radius =
      tuning::kGoalConnectRadius;  // largest node-to-goal distance worth an edge check
};

enum class RrtStatus {
  Direct,     // start -> goal was a valid edge; no tree was grown
  Connected,  // some node reached the goal
  Failed,     // no node reached the goal within max_iters
};

struct RrtResult {
  RrtStatus status = RrtStatus::Failed;
  // Tree configurations from the start to the node that reached the goal,
  // row-major (m, d); the goal itself is not included.
  std::vector<double> rows;
  std::size_t tree_nodes = 0;
  double best_goal_cost = std::numeric_limits<double>::infinity();
};

template <class Context, class Random, class Watch>
class RrtStar {
 public:
  RrtStar(Context& ctx, Random& random, Watch& watch, const RrtSettings& settings, std::size_t d)
      : ctx_(ctx), random_(random), watch_(watch), s_(settings), d_(d), tree_(d) {
    if (d == 0) throw std::invalid_argument("plan_segment needs at least one joint");
    if (s_.max_iters < 0) throw std::invalid_argument("max_iters must not be negative");
  }

  RrtResult plan(const double* start, const double* goal) {
    RrtResult result;
    if (ctx_.edge_valid(start, goal)) {
      result.status = RrtStatus::Direct;
      return result;
    }
    init_tree(start);
    goal_ = goal;
    for (std::int64_t it = 0; it < s_.max_iters; ++it) {
      watch_.tick(it, tree_.size(), best_goal_cost_);
      iterate();
    }
    watch_.tick(s_.max_iters, tree_.size(), best_goal_cost_);
    result.tree_nodes = tree_.size();
    result.best_goal_cost = best_goal_cost_;
    if (best_goal_idx_ < 0) return result;
    result.status = RrtStatus::Connected;
    extract(result.rows);
    return result;
  }

 private:
  const double* row(std::size_t k) const { return tree_.row(k); }

  void init_tree(const double* start) {
    // One row per possible node: at most one node joins per iteration.  The
    // store grows on demand, so a huge max_iters costs memory only as used.
    const auto capacity = static_cast<std::size_t>(s_.max_iters) + 1;
    const std::size_t reserve =
        capacity < (std::size_t{1} << 20) ? capacity : (std::size_t{1} << 20);
    tree_.reserve(reserve);
    cost_.reserve(reserve);
    tree_.add(start, -1);
    cost_.assign(1, 0.0);
    buckets_.clear();
    // Cells a little wider than the largest neighbour radius (the step), so
    // that every node within the radius lies in one of the 3 x 3 cells around
    // a query, whatever the rounding of the cell computation.
    cell_ = s_.step * (1.0 + 1e-9);
    use_buckets_ = d_ >= 2 && cell_ > 0.0 && std::isfinite(cell_);
    bucket_add(0);
    best_goal_idx_ = -1;
    best_goal_cost_ = std::numeric_limits<double>::infinity();
    q_rand_.resize(d_);
    q_new_.resize(d_);
    q_near_.resize(d_);
  }

  void iterate() {
    // Sample: the goal-bias draw comes first in every iteration.
    const double* q_rand = goal_;
    if (!(random_.random() < s_.goal_bias)) {
      ctx_.sample(q_rand_.data());
      q_rand = q_rand_.data();
    }
    const std::size_t near = tree_.nearest(q_rand);
    // The store may grow below; keep the nearest configuration by value.
    for (std::size_t k = 0; k < d_; ++k) q_near_[k] = row(near)[k];
    if (!steer(q_near_.data(), q_rand)) return;
    if (!ctx_.is_valid(q_new_.data()) || !ctx_.edge_valid(q_near_.data(), q_new_.data())) return;

    const double r = radius();
    find_neighbours(near, r);
    const std::size_t parent = choose_parent(near);
    const double cost = best_cost_;
    const std::size_t new_idx = insert(parent, cost);
    rewire(new_idx, parent, cost);
    connect_goal(new_idx, cost);
  }

  // q_new = q_near + (q_rand - q_near) * (min(step, dist) / dist); false when
  // the sample coincides with its nearest node.
  bool steer(const double* q_near, const double* q_rand) {
    const double dist = distance(q_near, q_rand, d_);
    if (dist < 1e-9) return false;
    const double reach = dist < s_.step ? dist : s_.step;
    const double scale = reach / dist;
    for (std::size_t k = 0; k < d_; ++k) q_new_[k] = q_near[k] + (q_rand[k] - q_near[k]) * scale;
    return true;
  }

  // gamma * (ln(n + 1) / (n + 1))^(1/d) for the n nodes before insertion,
  // capped at the step.
  double radius() const {
    const double n1 = static_cast<double>(tree_.size() + 1);
    const double r = s_.gamma * std::pow(std::log(n1) / n1, 1.0 / static_cast<double>(d_));
    return r < s_.step ? r : s_.step;
  }

  // Nodes within r of q_new (inclusive), ascending; the nearest node alone when
  // none is.  Also the distance from q_new to the nearest node.
  void find_neighbours(std::size_t near, double r) {
    neighbours_.clear();
    neighbour_dist_.clear();
    // sqrt(x) <= r implies x <= r^2 (1 + 2u)^2 / (1 - u); the bound below is
    // wider, and the exact comparison of the rounded distance decides.
    const double bound = r * r * (1.0 + 1e-12);
    if (use_buckets_ && r <= s_.step && bucket_candidates(q_new_.data())) {
      // Only the nodes of the 3 x 3 cells around q_new (first two joints)
      // can be within r; their distances are summed as the full scan sums.
      for (const std::uint32_t i : candidates_) {
        const double sq = squared_distance(q_new_.data(), row(i), d_);
        if (!(sq <= bound)) continue;
        const double dist = std::sqrt(sq);
        if (dist <= r) {
          neighbours_.push_back(i);
          neighbour_dist_.push_back(dist);
        }
      }
    } else {
      const std::vector<double>& all = tree_.squared_distances(q_new_.data());
      for (std::size_t i = 0; i < all.size(); ++i) {
        const double sq = all[i];
        if (!(sq <= bound)) continue;
        const double dist = std::sqrt(sq);
        if (dist <= r) {
          neighbours_.push_back(i);
          neighbour_dist_.push_back(dist);
        }
      }
    }
    near_dist_ = distance(q_new_.data(), row(near), d_);
    if (neighbours_.empty()) {
      neighbours_.push_back(near);
      neighbour_dist_.push_back(near_dist_);
    }
  }

  // The neighbour through which q_new is cheapest to reach; the nearest node
  // unless another is strictly cheaper and joined by a valid edge.
  std::size_t choose_parent(std::size_t near) {
    std::size_t best = near;
    best_cost_ = cost_[near] + near_dist_;
    for (std::size_t n = 0; n < neighbours_.size(); ++n) {
      const std::size_t j = neighbours_[n];
      const double c = cost_[j] + neighbour_dist_[n];
      if (c < best_cost_ && ctx_.edge_valid(row(j), q_new_.data())) {
        best_cost_ = c;
        best = j;
      }
    }
    return best;
  }

  std::size_t insert(std::size_t parent, double cost) {
    const std::size_t idx = tree_.add(q_new_.data(), static_cast<std::int64_t>(parent));
    cost_.push_back(cost);
    bucket_add(idx);
    return idx;
  }

  // Nodes bucketed by the cells of their first two joint values.
  bool bucket_key(const double* q, std::int64_t& kx, std::int64_t& ky) const {
    const double fx = std::floor(q[0] / cell_), fy = std::floor(q[1] / cell_);
    if (!(std::fabs(fx) < 1e9 && std::fabs(fy) < 1e9)) return false;  // huge or NaN
    kx = static_cast<std::int64_t>(fx);
    ky = static_cast<std::int64_t>(fy);
    return true;
  }
  static std::int64_t pack(std::int64_t kx, std::int64_t ky) { return kx * 4'000'000'003LL + ky; }

  void bucket_add(std::size_t idx) {
    if (!use_buckets_) return;
    std::int64_t kx, ky;
    if (!bucket_key(row(idx), kx, ky)) {
      use_buckets_ = false;  // a node no cell holds: scan everything from now on
      return;
    }
    buckets_[pack(kx, ky)].push_back(static_cast<std::uint32_t>(idx));
  }

  // The nodes of the 3 x 3 cells around q, ascending; false when q has no cell.
  bool bucket_candidates(const double* q) {
    std::int64_t kx, ky;
    if (!bucket_key(q, kx, ky)) return false;
    candidates_.clear();
    for (std::int64_t dx = -1; dx <= 1; ++dx)
      for (std::int64_t dy = -1; dy <= 1; ++dy) {
        const auto it = buckets_.find(pack(kx + dx, ky + dy));
        if (it != buckets_.end())
          candidates_.insert(candidates_.end(), it->second.begin(), it->second.end());
      }
    std::sort(candidates_.begin(), candidates_.end());
    return true;
  }

  // Re-parent a neighbour on the new node when that is strictly cheaper and
  // the edge new -> neighbour is valid.  Descendants keep their recorded costs.
  void rewire(std::size_t new_idx, std::size_t parent, double cost) {
    for (std::size_t n = 0; n < neighbours_.size(); ++n) {
      const std::size_t j = neighbours_[n];
      if (j == parent) continue;
      const double c = cost + neighbour_dist_[n];
      if (c < cost_[j] && ctx_.edge_valid(q_new_.data(), row(j))) {
        tree_.set_parent(j, static_cast<std::int64_t>(new_idx));
        cost_[j] = c;
      }
    }
  }

  // Remember the new node if the goal is within reach of it by a valid edge
  // and the path through it is strictly the cheapest so far.  The cost is the
  // one at connection time.
  void connect_goal(std::size_t new_idx, double cost) {
    const double to_goal = distance(q_new_.data(), goal_, d_);
    if (!(to_goal <= s_.goal_radius)) return;
    if (!ctx_.edge_valid(q_new_.data(), goal_)) return;
    const double total = cost + to_goal;
    if (total < best_goal_cost_) {
      best_goal_cost_ = total;
      best_goal_idx_ = static_cast<std::int64_t>(new_idx);
    }
  }

  // Walk the parent links from the node that reached the goal back to the root
  // (costs never decrease from parent to child, so the links form a tree).
  void extract(std::vector<double>& rows) const {
    const std::vector<std::size_t> chain = tree_.chain(static_cast<std::size_t>(best_goal_idx_));
    rows.clear();
    rows.reserve(chain.size() * d_);
    for (auto it = chain.rbegin(); it != chain.rend(); ++it)
      rows.insert(rows.end(), row(*it), row(*it) + d_);
  }

  Context& ctx_;
  Random& random_;
  Watch& watch_;
  RrtSettings s_;
  std::size_t d_;
  const double* goal_ = nullptr;

  NodeStore tree_;
  std::vector<double> cost_;
  std::int64_t best_goal_idx_ = -1;
  double best_goal_cost_ = std::numeric_limits<double>::infinity();

  std::vector<double> q_rand_, q_new_, q_near_;
  std::unordered_map<std::int64_t, std::vector<std::uint32_t>> buckets_;
  std::vector<std::uint32_t> candidates_;
  double cell_ = 0.0;
  bool use_buckets_ = false;
  std::vector<std::size_t> neighbours_;
  std::vector<double> neighbour_dist_;
  double near_dist_ = 0.0;
  double best_cost_ = 0.0;
};

template <class Context, class Random, class Watch>
RrtResult plan_rrt_star(Context& ctx, Random& random, Watch& watch, const RrtSettings& settings,
                        std::size_t d, const double* start, const double* goal) {
  RrtStar<Context, Random, Watch> planner(ctx, random, watch, settings, d);
  return planner.plan(start, goal);
}

}  // namespace brimwell
