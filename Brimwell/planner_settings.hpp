// The planner's tuning values, gathered once per call and passed down: no
// planner reads them from anywhere else.
#pragma once

#include "Brimwell/connect.hpp"
#include "Brimwell/rrt_star.hpp"
#include "Brimwell/tuning.hpp"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace brimwell {

struct PlannerSettings {
  // The module's attributes of these names are read at each call, so that a
  // caller can retune a run by assigning them.
  double rrt_star_gamma = tuning::kRrtStarGamma;
  double goal_connect_radius = tuning::kGoalConnectRadius;
  double edge_res = tuning::kEdgeRes;  // of the driver's densified trajectory
  double auto_time_limit = tuning::kAutoTimeLimit;
  double retry_growth = tuning::kRetryGrowth;
  // Compiled in, as a Python default is fixed when its function is defined:
  // the module's attributes show these values, and the public functions take
  // them as their defaults.
  double step = tuning::kStep;
  double goal_bias = tuning::kGoalBias;
  std::int64_t max_iters = tuning::kMaxIters;
  std::int64_t smooth_iters = tuning::kSmoothIters;
  std::int64_t seed = tuning::kSeed;
  // The native context's edge resolution (PlanningContext.edge_valid's default).
  double context_edge_res = tuning::kEdgeRes;

  RrtSettings rrt(std::int64_t iters, double step_length, double bias) const {
    RrtSettings s;
    s.max_iters = iters;
    s.step = step_length;
    s.goal_bias = bias;
    s.gamma = rrt_star_gamma;
    s.goal_radius = goal_connect_radius;
    return s;
  }
  ConnectSettings connect(std::int64_t iters, double step_length,
                          std::chrono::steady_clock::time_point deadline =
                              std::chrono::steady_clock::time_point::max()) const {
    ConnectSettings s;
    s.max_iters = iters;
    s.step = step_length;
    s.deadline = deadline;
    return s;
  }
};

// The driver's choice of segment planner and its budget.
enum class Planner { RrtStar, Connect, Auto };
struct Budget {
  std::int64_t max_iters = tuning::kMaxIters;                   // of each planner's first attempt
  double time_limit = std::numeric_limits<double>::infinity();  // per segment, s; inf: no retries
};

// A segment planner that ran out of iterations (a RuntimeError in Python).
struct PlanFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// "RRT* failed to connect start [..] to goal [..] within N iterations", the
// vectors as the caller prints them.
inline std::string failure_text(const char* planner, const std::string& start,
                                const std::string& goal, std::int64_t iters) {
  return std::string(planner) + " failed to connect start " + start + " to goal " + goal +
         " within " + std::to_string(iters) + " iterations";
}

// The command line's numbers as given (nothing: not given), and the first
// one refused, as argparse words an error ("" when none is).
struct CommandLineNumbers {
  std::optional<long long> seed;
  std::optional<double> clearance;
  std::optional<long long> max_iters;
  std::optional<double> time_limit;
  std::optional<long long> jobs;
};

inline std::string command_line_error(const CommandLineNumbers& c) {
  if (c.seed && *c.seed < 0) return "argument --seed: must be a non-negative integer";
  if (c.clearance && !(*c.clearance >= 0.0 && std::isfinite(*c.clearance)))
    return "argument --clearance: must be a finite number of metres, not negative";
  if (c.max_iters && *c.max_iters <= 0) return "argument --max-iters: must be a positive integer";
  if (c.time_limit && !(*c.time_limit > 0.0 && std::isfinite(*c.time_limit)))
    return "argument --time-limit: must be a positive number of seconds";
  if (c.jobs && *c.jobs <= 0) return "argument --jobs: must be a positive integer";
  return "";
}

}  // namespace brimwell
