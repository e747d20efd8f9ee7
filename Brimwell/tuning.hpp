// The planner's tuning values, each given its default here and nowhere else:
// the module's attributes of the same names (STEP, EDGE_RES, MAX_ITERS, ...),
// the public functions' parameter defaults, the command line's help and the
// planners' own settings structs all start from these.
#pragma once

#include <cstdint>

namespace brimwell::tuning {

inline constexpr double kStep = 0.3;      // STEP: steer length, cap of the RRT* radius
inline constexpr double kEdgeRes = 0.05;  // EDGE_RES: spacing of tested and dense configurations
inline constexpr double kGoalConnectRadius = kStep;  // GOAL_CONNECT_RADIUS
inline constexpr double kGoalBias = 0.1;             // GOAL_BIAS
inline constexpr std::int64_t kMaxIters = 3000;      // MAX_ITERS: iterations per segment
inline constexpr double kRrtStarGamma = 3.0;         // RRT_STAR_GAMMA: scale of the RRT* radius
inline constexpr std::int64_t kSmoothIters = 200;    // SMOOTH_ITERS: shortcut attempts per segment
inline constexpr std::int64_t kSeed = 0;             // SEED of a planning run's generator
inline constexpr double kAutoTimeLimit = 5.0;        // AUTO_TIME_LIMIT: seconds per segment, 'auto'
inline constexpr double kRetryGrowth = 4.0;          // RETRY_GROWTH: budget factor between retries

}  // namespace brimwell::tuning
