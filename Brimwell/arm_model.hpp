// The planner's model of the arm in its workcell: joint limits, world-frame
// screws and home poses of the moving links, their point sets, and the
// environment grid.  Answers the two questions every planning step asks: is a
// joint vector inside the limits, and does the posed arm touch the environment.
#pragma once

#include "collision.hpp"
#include "common/se3.hpp"
#include "link_cloud.hpp"
#include "occupancy_summary.hpp"

#include <cstddef>
#include <vector>

namespace brimwell {

class ArmModel {
 public:
  // slist: row-major (6, n) world-frame screws; home: n row-major 4x4 home poses
  // of links 1 .. n; lower/upper: n bounds each; links: the point sets of links
  // 1 .. n (the base never moves and never counts as a collision).
  ArmModel(std::size_t n, const double* slist, const double* home, const double* lower,
           const double* upper, std::vector<LinkCloud> links, const gristane::GridView& grid);

  std::size_t n_joints() const { return n_; }
  double lower(std::size_t k) const { return lower_[k]; }
  double upper(std::size_t k) const { return upper_[k]; }

  // Every q[k] >= lower[k], then every q[k] <= upper[k]; both bounds inclusive,
  // NaN fails.
  bool in_limits(const double* q) const {
    for (std::size_t k = 0; k < n_; ++k)
      if (!(q[k] >= lower_[k])) return false;
    for (std::size_t k = 0; k < n_; ++k)
      if (!(q[k] <= upper_[k])) return false;
    return true;
  }

  // True when a point of a moving link, posed by the product of exponentials
  // at q, lies in an occupied cell.  Links are posed and tested base to tip and
  // the test stops at the first hit.
  bool collides(const double* q);

  bool is_valid(const double* q) { return in_limits(q) && !collides(q); }

  OccupancySummary& summary() { return summary_; }

 private:
  std::size_t n_;
  std::vector<cellpath::Vec6> screws_;
  std::vector<cellpath::Mat4> home_;
  std::vector<double> lower_, upper_;
  std::vector<LinkCloud> links_;
  OccupancySummary summary_;
};

}  // namespace brimwell
