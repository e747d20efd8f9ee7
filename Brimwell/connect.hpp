// Bidirectional RRT-Connect over straight joint-space edges, with the path
// shortening that makes its answer usable as it stands.
//
// It asks the same context questions as the RRT* planner (see rrt_star.hpp):
// is_valid(q), edge_valid(a, b) (which tests b and not a) and sample(out), and
// draws its uniform numbers from Random::random().  One tree grows from the
// start, one from the goal; each iteration extends one of them towards a
// uniform sample (a blocked step is retried shorter) and then pulls the other
// greedily towards the new node, step after step, until it arrives or is
// blocked; then the roles swap.
//
// Edge directions follow the order of the final path, start to goal, so that
// every consecutive pair of the answer is exactly an edge that passed
// edge_valid(a, b): the start tree checks parent -> child, the goal tree
// child -> parent (with is_valid on the new child, which such an edge does not
// test).  The start is never tested, as in the RRT* planner; the goal is the
// end point of the first goal-tree edge.
//
// Shortening, in three passes that keep that property:
//   1. greedy: from each kept entry jump to the farthest later entry joined to
//      it by a valid edge (no draws);
//   2. random shortcuts between two points drawn uniformly along the path's
//      length (two draws per attempt), kept when the three new edges are valid;
//      it stops after a budget of attempts or a run of failed ones;
//   3. pruning: drop every entry whose neighbours are joined by a valid edge,
//      until none is.
#pragma once

#include "Brimwell/joint_space.hpp"
#include "Brimwell/node_store.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <utility>
#include <vector>

namespace brimwell {

struct ConnectSettings {
  std::int64_t max_iters = 3000;         // extensions towards a random sample
  double step = 0.3;                     // longest edge a tree grows in one extension
  std::int64_t shortcut_attempts = 200;  // random shortcut attempts at most
  std::int64_t shortcut_patience = 40;   // consecutive failed attempts that end them
  // The search gives up here even with iterations left (a caller's time
  // budget); a path found before it is the same as without one.
  std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
  // Dynamic-domain sampling: a sample farther from its nearest node than
  // that node's radius is drawn again (up to 1000 times); a node whose
  // extension is blocked gets a radius of domain_radius, shrunk by
  // domain_alpha at each further block (never below domain_min) and grown
  // by it at each success.  Samples then gather where the trees can still
  // grow, instead of beyond walls they keep running into.
  bool dynamic_domain = false;
  double domain_radius = 4.0, domain_alpha = 1e-4, domain_min = 1.0;
  // Each iteration extends the smaller tree towards the sample, instead of
  // the two in turn.
  bool balance = false;
  // Shortcuts take a part of a path's edge as valid without asking: right
  // for a screen whose edges are proven afterwards (lazy proofs), where the
  // edge's samples already stood for its parts.
  bool trust_parts = false;
};

// The search settings of a lazily proven plan (lazy_proof.hpp): its checks
// cost a sampler's, so it searches as the fastest sampling planners do.
// A step of 1 rad (where the given one is shorter) reaches past the small
// detours a 0.3 rad tree wastes its iterations on; the screen samples a long
// edge as finely as a short one.
inline constexpr double kLazyRange = 1.0;
inline ConnectSettings lazy_search(ConnectSettings s) {
  s.dynamic_domain = true;
  s.balance = true;
  s.step = std::max(s.step, kLazyRange);
  s.trust_parts = true;
  return s;
}

enum class ConnectStatus { Direct, Connected, Failed };

struct ConnectResult {
  ConnectStatus status = ConnectStatus::Failed;
  // The shortened path, start first and goal last, row-major (m, d).
  std::vector<double> rows;
  std::size_t tree_nodes = 0;   // both trees together
  std::size_t raw_entries = 0;  // path entries before shortening
};

// The answer when start and goal are joined by a valid edge: the two of them.
inline ConnectResult direct_result(const double* start, const double* goal, std::size_t d) {
  ConnectResult r;
  r.status = ConnectStatus::Direct;
  r.rows.assign(start, start + d);
  r.rows.insert(r.rows.end(), goal, goal + d);
  return r;
}

// Path shortening on row-major paths of d joints.  Separate from the planner
// so that it can shorten any valid path.
template <class Context, class Random>
class PathShortener {
 public:
  PathShortener(Context& ctx, Random& random, std::size_t d, const ConnectSettings& s)
      : ctx_(ctx), random_(random), d_(d), s_(s), a_(d), b_(d) {}

  std::vector<std::vector<double>> shorten(std::vector<std::vector<double>> path) {
    path = greedy(std::move(path));
    path = random_shortcuts(std::move(path));
    prune(path);
    return path;
  }

 private:
  bool edge(const std::vector<double>& a, const std::vector<double>& b) {
    return ctx_.edge_valid(a.data(), b.data());
  }

  std::vector<std::vector<double>> greedy(std::vector<std::vector<double>> path) {
    if (path.size() < 3) return path;
    std::vector<std::vector<double>> out{path.front()};
    std::size_t i = 0;
    const std::size_t last = path.size() - 1;
    while (i < last) {
      std::size_t j = last;
      // path[i] -> path[i + 1] is an edge of the input, valid already.
      while (j > i + 1 && !edge(path[i], path[j])) --j;
      out.push_back(path[j]);
      i = j;
    }
    return out;
  }

  static double length(const std::vector<std::vector<double>>& p, std::vector<double>& cumulative,
                       std::size_t d) {
    cumulative.assign(1, 0.0);
    for (std::size_t k = 0; k + 1 < p.size(); ++k)
      cumulative.push_back(cumulative.back() + distance(p[k].data(), p[k + 1].data(), d));
    return cumulative.back();
  }

  // The point at arc length t, on the edge from entry `seg` to seg + 1.
  void point_at(const std::vector<std::vector<double>>& p, const std::vector<double>& cum, double t,
                std::size_t& seg, double& frac, std::vector<double>& out) const {
    seg = 0;
    while (seg + 2 < p.size() && cum[seg + 1] <= t) ++seg;
    const double len = cum[seg + 1] - cum[seg];
    frac = len > 0.0 ? (t - cum[seg]) / len : 0.0;
    if (frac < 0.0) frac = 0.0;
    if (frac > 1.0) frac = 1.0;
    for (std::size_t k = 0; k < d_; ++k) out[k] = p[seg][k] + (p[seg + 1][k] - p[seg][k]) * frac;
  }

  std::vector<std::vector<double>> random_shortcuts(std::vector<std::vector<double>> path) {
    std::vector<double> cum;
    std::int64_t failures = 0;
    for (std::int64_t it = 0; it < s_.shortcut_attempts && failures < s_.shortcut_patience; ++it) {
      if (path.size() < 3) break;  // a straight edge cannot get shorter
      const double total = length(path, cum, d_);
      double t1 = random_.random() * total;
      double t2 = random_.random() * total;
      if (t2 < t1) std::swap(t1, t2);
      std::size_t sa, sb;
      double fa, fb;
      point_at(path, cum, t1, sa, fa, a_);
      point_at(path, cum, t2, sb, fb, b_);
      if (sa == sb) {  // both on one edge: nothing to cut
        ++failures;
        continue;
      }
      // Ends that fall on an entry reuse it instead of adding a copy.
      const bool a_is_entry = fa == 0.0;
      const bool b_is_entry = fb == 1.0;
      const std::vector<double>& a = a_is_entry ? path[sa] : a_;
      const std::vector<double>& b = b_is_entry ? path[sb + 1] : b_;
      if (!edge(a, b) || (!a_is_entry && !s_.trust_parts && !edge(path[sa], a)) ||
          (!b_is_entry && !s_.trust_parts && !edge(b, path[sb + 1]))) {
        ++failures;
        continue;
      }
      const double before = cum[sb + 1] - cum[sa];
      const double after = (a_is_entry ? 0.0 : distance(path[sa].data(), a.data(), d_)) +
                           distance(a.data(), b.data(), d_) +
                           (b_is_entry ? 0.0 : distance(b.data(), path[sb + 1].data(), d_));
      if (!(after < before)) {
        ++failures;
        continue;
      }
      std::vector<std::vector<double>> next(path.begin(),
                                            path.begin() + static_cast<std::ptrdiff_t>(sa) + 1);
      if (!a_is_entry) next.push_back(a);
      if (!b_is_entry) next.push_back(b);
      next.insert(next.end(), path.begin() + static_cast<std::ptrdiff_t>(sb) + 1, path.end());
      path = std::move(next);
      failures = 0;
    }
    return path;
  }

  void prune(std::vector<std::vector<double>>& path) {
    bool changed = true;
    while (changed) {
      changed = false;
      for (std::size_t k = 1; k + 1 < path.size();) {
        if (edge(path[k - 1], path[k + 1])) {
          path.erase(path.begin() + static_cast<std::ptrdiff_t>(k));
          changed = true;
        } else {
          ++k;
        }
      }
    }
  }

  Context& ctx_;
  Random& random_;
  std::size_t d_;
  ConnectSettings s_;
  std::vector<double> a_, b_;
};

template <class Context, class Random, class Watch>
class RrtConnect {
 public:
  RrtConnect(Context& ctx, Random& random, Watch& watch, const ConnectSettings& settings,
             std::size_t d)
      : ctx_(ctx), random_(random), watch_(watch), s_(settings), d_(d), q_rand_(d), q_new_(d) {
    if (d == 0) throw std::invalid_argument("plan_segment_connect needs at least one joint");
    if (s_.max_iters < 0) throw std::invalid_argument("max_iters must not be negative");
    if (!(s_.step > 0.0) || !std::isfinite(s_.step))
      throw std::invalid_argument("step must be a positive finite number");
    // The trees' work grows as 1 / step^2 (each pull crosses the gap in
    // steps, and there are as many more gaps): below this no search ends in
    // a time anyone waits for.
    if (s_.step < kMinStep)
      throw std::invalid_argument(
          "step must be at least 0.0001 rad: a shorter one only multiplies the work");
  }
  static constexpr double kMinStep = 1e-4;

  ConnectResult plan(const double* start, const double* goal) {
    ConnectResult result;
    if (ctx_.edge_valid(start, goal)) return direct_result(start, goal, d_);
    NodeStore trees[2] = {NodeStore(d_), NodeStore(d_)};
    trees[0].add(start, -1);
    trees[1].add(goal, -1);
    radius_[0].assign(1, kUnbounded);
    radius_[1].assign(1, kUnbounded);
    std::size_t joint[2] = {0, 0};
    bool connected = false;
    int a = 0;  // the tree extended towards the sample
    for (std::int64_t it = 0; it < s_.max_iters && !connected; ++it, a = 1 - a) {
      if ((it & 63) == 0 && std::chrono::steady_clock::now() >= s_.deadline) break;
      watch_.tick(it, trees[0].size() + trees[1].size(), std::numeric_limits<double>::infinity());
      if (s_.balance) a = trees[0].size() <= trees[1].size() ? 0 : 1;
      ctx_.sample(q_rand_.data());
      std::size_t added;
      std::size_t near = static_cast<std::size_t>(-1);
      if (s_.dynamic_domain) {
        near = draw_in_domain(trees[a], a);
        if (near == static_cast<std::size_t>(-1)) continue;
      }
      const Step grown = extend(trees[a], a == 1, q_rand_.data(), false, added, near);
      if (s_.dynamic_domain) {
        if (near == static_cast<std::size_t>(-1)) near = trees[a].nearest(q_rand_.data());
        grow_domain(a, trees[a].size(), near, grown != Step::Trapped);
      }
      if (grown == Step::Trapped) continue;
      connected = pull_other(trees, a, added, it, joint);
    }
    result.tree_nodes = trees[0].size() + trees[1].size();
    watch_.tick(s_.max_iters, result.tree_nodes, std::numeric_limits<double>::infinity());
    if (!connected) return result;
    return joined(trees, joint, result);
  }

 private:
  static constexpr double kUnbounded = std::numeric_limits<double>::infinity();

  // The nearest node of tree `a` to q_rand_ with the sample inside its
  // domain: samples outside are drawn again (an iteration is one extension,
  // as without dynamic domains); none (-1) after kMaxRedraws of them.
  std::size_t draw_in_domain(NodeStore& tree, int a) {
    for (int redraw = 0;; ++redraw) {
      const std::size_t near = tree.nearest(q_rand_.data());
      if (distance(tree.row(near), q_rand_.data(), d_) <= radius_[a][near]) return near;
      if (redraw >= kMaxRedraws) return static_cast<std::size_t>(-1);
      ctx_.sample(q_rand_.data());
    }
  }

  // Pulls the other tree towards tree a's new node, one step at a time; true
  // (and the joint of both trees) when it reaches it.
  bool pull_other(NodeStore (&trees)[2], int a, std::size_t added, std::int64_t it,
                  std::size_t (&joint)[2]) {
    const std::vector<double> target(trees[a].row(added), trees[a].row(added) + d_);
    const int b = 1 - a;
    for (std::size_t pulls = 1;; ++pulls) {
      // A long pull lets the watch see it (Ctrl-C, the progress line).
      if ((pulls & 255) == 0)
        watch_.tick(it, trees[0].size() + trees[1].size(), std::numeric_limits<double>::infinity());
      std::size_t reached;
      const Step st = extend(trees[b], b == 1, target.data(), true, reached);
      radius_[b].resize(trees[b].size(), kUnbounded);
      if (st == Step::Trapped) return false;
      if (st == Step::Reached) {
        joint[a] = added;
        joint[b] = reached;
        return true;
      }
    }
  }

  // The path through the joint of the two trees (start ... joint in the
  // start tree, then past it up to the goal), shortened.
  ConnectResult& joined(NodeStore (&trees)[2], const std::size_t (&joint)[2],
                        ConnectResult& result) {
    std::vector<std::vector<double>> path;
    const std::vector<std::size_t> from_start = trees[0].chain(joint[0]);
    for (auto it = from_start.rbegin(); it != from_start.rend(); ++it)
      path.emplace_back(trees[0].row(*it), trees[0].row(*it) + d_);
    const std::vector<std::size_t> to_goal = trees[1].chain(joint[1]);
    for (std::size_t k = 1; k < to_goal.size(); ++k)
      path.emplace_back(trees[1].row(to_goal[k]), trees[1].row(to_goal[k]) + d_);
    result.raw_entries = path.size();

    PathShortener<Context, Random> shortener(ctx_, random_, d_, s_);
    path = shortener.shorten(std::move(path));
    result.status = ConnectStatus::Connected;
    for (const auto& q : path) result.rows.insert(result.rows.end(), q.begin(), q.end());
    return result;
  }

  enum class Step { Trapped, Advanced, Reached };

  // One step of `tree` towards q: a new node at most `step` away from the
  // nearest one, or q itself when it is that close.  `towards_root` marks the
  // goal tree, whose edges run child -> parent.  `q_known_valid`: q is a node
  // of the other tree (already tested), so reaching it needs only the edge.
  Step extend(NodeStore& tree, bool towards_root, const double* q, bool q_known_valid,
              std::size_t& added, std::size_t near_known = static_cast<std::size_t>(-1)) {
    const std::size_t near = near_known < tree.size() ? near_known : tree.nearest(q);
    const double* q_near = tree.row(near);
    const double dist = distance(q_near, q, d_);
    if (dist == 0.0 && q_known_valid) {  // already there
      added = near;
      return Step::Reached;
    }
    if (dist < 1e-9 && !q_known_valid) return Step::Trapped;
    bool reach = dist <= s_.step;
    double length = reach ? dist : s_.step;
    // Towards a random sample, a blocked step is retried at half and a
    // quarter of its length, so that the trees creep into narrow passages.
    const int tries = q_known_valid ? 1 : 3;
    for (int t = 0;; ++t) {
      if (reach) {
        for (std::size_t k = 0; k < d_; ++k) q_new_[k] = q[k];
      } else {
        const double scale = length / dist;
        for (std::size_t k = 0; k < d_; ++k) q_new_[k] = q_near[k] + (q[k] - q_near[k]) * scale;
      }
      const bool point_known = reach && q_known_valid;
      bool ok = point_known || ctx_.is_valid(q_new_.data());
      if (ok)
        ok = towards_root ? ctx_.edge_valid(q_new_.data(), q_near)
                          : ctx_.edge_valid(q_near, q_new_.data());
      if (ok) break;
      if (t + 1 >= tries) return Step::Trapped;
      reach = false;
      length *= 0.5;
    }
    added = tree.add(q_new_.data(), static_cast<std::int64_t>(near));
    return reach ? Step::Reached : Step::Advanced;
  }

  static constexpr int kMaxRedraws = 1000;
  // Dynamic domain: the radius of node `near` of tree t after an extension
  // from it that succeeded or not; new nodes (up to `size`) start unbounded.
  void grow_domain(int t, std::size_t size, std::size_t near, bool grew) {
    std::vector<double>& r = radius_[t];
    r.resize(size, std::numeric_limits<double>::infinity());
    double& own = r[near];
    if (grew) {
      if (std::isfinite(own)) own *= 1.0 + s_.domain_alpha;
    } else {
      own = std::isfinite(own) ? std::max(own * (1.0 - s_.domain_alpha), s_.domain_min)
                               : s_.domain_radius;
    }
  }

  Context& ctx_;
  Random& random_;
  Watch& watch_;
  ConnectSettings s_;
  std::size_t d_;
  std::vector<double> q_rand_, q_new_;
  std::vector<double> radius_[2];  // dynamic domain, per node of each tree
};

template <class Context, class Random, class Watch>
ConnectResult plan_rrt_connect(Context& ctx, Random& random, Watch& watch,
                               const ConnectSettings& settings, std::size_t d, const double* start,
                               const double* goal) {
  RrtConnect<Context, Random, Watch> planner(ctx, random, watch, settings, d);
  return planner.plan(start, goal);
}

}  // namespace brimwell
