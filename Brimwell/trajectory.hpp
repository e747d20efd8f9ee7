// The trajectory driver's work between reading the cache and writing the
// plan: the waypoints checked, one segment planned (or taken as given) per
// consecutive pair, the chain densified and every configuration of it, and
// with a clearance every edge, checked again.  No Python here: printing,
// explanations and the caller's generators are the host's.
#pragma once

#include "Brimwell/segment_core.hpp"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace brimwell {

// Progress through a counted stage (a bar on a terminal), ended when destroyed.
class Counter {
 public:
  virtual ~Counter() = default;
  virtual void count(std::int64_t done) = 0;
};

class DriverHost : public PlannerHost {
 public:
  // A refused waypoint: the host says why (and keeps what a viewer needs),
  // then throws.
  [[noreturn]] virtual void refuse_out_of_limits(std::size_t index) = 0;
  [[noreturn]] virtual void refuse_too_close(std::size_t index) = 0;
  [[noreturn]] virtual void refuse_in_collision(std::size_t index) = 0;
  // The segments given beforehand (LinearSegments.npz), by first waypoint.
  virtual std::map<std::size_t, Rows> given_segments() = 0;
  // The generators of segments `todo`, for planners on threads of their own.
  virtual std::vector<bitgen_t*> native_generators(const std::vector<std::size_t>& todo) = 0;
  virtual std::unique_ptr<Counter> counter(const std::string& stage, std::int64_t total) = 0;

 protected:
  ~DriverHost() = default;
};

struct TrajectoryRequest {
  PlannerSettings settings;
  Planner planner = Planner::RrtStar;
  Budget budget;
  std::size_t jobs = 0;  // 0: one generator for the run, planned in turn
  Rows waypoints;
};

struct Trajectory {
  std::vector<double> rows;  // row-major (count, n)
  std::size_t count = 0;
};

// `ctx` answers every question; `arm` is the context's own model and data
// (its clearance proofs); `native` is the same when nothing Python watches
// the context's tests (then the checks run on threads, the interpreter free),
// else none.
Trajectory plan_trajectory(DriverHost& host, Validity& ctx, NativeArm arm, NativeArm native,
                           const TrajectoryRequest& request);

// Indices of the rows of `dense` (row-major, n joints) that are not valid:
// through ctx in order with a progress counter, or on `native`'s workers.
std::vector<std::int64_t> invalid_rows(DriverHost& host, Validity& ctx, NativeArm native,
                                       const PlannerSettings& settings, std::size_t jobs,
                                       const std::vector<double>& dense, std::size_t n);

// WaypointJointAngles.npy's rows, once checked: (K, n) finite joint values,
// K >= 1 (std::invalid_argument otherwise).
Rows waypoint_rows(const double* data, const std::vector<std::size_t>& shape, std::size_t n);

// The refusal of a waypoint outside the limits, in words: "Waypoint i: joint
// j (moves <link>) is x, below its lower limit lo; ...".  `limits` holds
// (lower, upper) per joint; link_names[j] names link j (0: the base).
std::string limits_explained(std::size_t index, const std::vector<double>& q, const double* limits,
                             std::size_t limit_values, const std::vector<std::string>& link_names);
// The refusal of waypoint `index`, valid but for its clearance (`data`
// posed there, `link` the first link not clear, 0 for none): which link comes
// closest to which obstacle, and how close, named by link_names and
// body_names where they reach.
std::string too_close_text(std::size_t index, const ArmModel& model, const ArmData& data,
                           std::size_t link, const std::vector<std::string>& link_names,
                           const std::vector<std::string>& body_names);
// The driver's lines once its context is loaded, in `seconds`: the
// clearance `model` proves (with one), lazy proofs (with a clearance), and
// the link pairs self-collision leaves out, as `allowed_pairs` words them
// (null without self-collision).
std::vector<std::string> context_lines(double seconds, const ArmModel& model, bool clearance,
                                       bool lazy_proof, const std::string* allowed_pairs);
// The explanation of a waypoint in collision: the contacts the exact meshes
// name ("A-B" pairs), and the links in occupied cells of `pitch` metres.
std::string contacts_explained(std::size_t index, const std::vector<std::string>& pairs,
                               const std::vector<std::string>& in_cells, double pitch);
std::string joined(const std::vector<std::string>& parts, const char* sep = ", ");
// "%.6g", as explanations print lengths and angles.
std::string short_number(double x);

}  // namespace brimwell
