// The driver's segments: one planned within a budget (retried with larger
// budgets and fresh draws under 'auto' and 'connect'), several planned at once
// on threads of their own, or one given beforehand and checked.  No Python
// here: what needs the interpreter (the caller's generators, printing, numpy's
// text of a vector) is asked of the host.
#pragma once

#include "Brimwell/native_context.hpp"
#include "Brimwell/planner_settings.hpp"
#include "Brimwell/validity.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace brimwell {

using Rows = std::vector<std::vector<double>>;

// What the planning core asks of the side that holds the interpreter.
class PlannerHost {
 public:
  virtual void say(const std::string& line) = 0;
  // A joint vector as the caller prints it (in failure messages).
  virtual std::string vector_text(const std::vector<double>& q) = 0;
  // One run of a planner on segment `seg`, drawing on from the segment's
  // generator; `stage` names its progress.
  virtual RrtResult rrt_star(std::size_t seg, const RrtSettings& settings, const double* start,
                             const double* goal, const std::string& stage) = 0;
  virtual ConnectResult connect(std::size_t seg, const ConnectSettings& settings,
                                const double* start, const double* goal,
                                const std::string& stage) = 0;
  // Two uniform picks in [0, len) from the segment's generator, for shortcuts.
  virtual std::pair<std::int64_t, std::int64_t> pick_two(std::size_t seg, std::size_t len) = 0;
  // work() with the interpreter free for other threads; work calls no Python.
  virtual void released(const std::function<void()>& work) = 0;

 protected:
  ~PlannerHost() = default;
};

// Segment `seg` (named `name`, "i->i+1") from start to goal: the rows after
// the start, the goal last.  Prints the segment's lines; throws PlanFailure.
Rows plan_one_segment(const PlannerSettings& settings, Planner planner, const Budget& budget,
                      PlannerHost& host, Validity& ctx, std::size_t seg, const std::string& name,
                      const std::vector<double>& start, const std::vector<double>& goal);

// A segment planned on a worker thread: its lines for the terminal, then its
// rows after the start, or the reason it failed.
struct PlannedSegment {
  std::vector<std::string> lines;
  Rows rows;
  std::string failure;  // empty when planned
};

// The same as plan_one_segment under 'connect' for every segment i of `todo`
// at once, segment i drawing from gens[i], on up to `jobs` workers of `arm`
// (run_on_workers; the threads run inside host.released).
std::map<std::size_t, PlannedSegment> plan_connect_segments(const PlannerSettings& settings,
                                                            const Budget& budget, PlannerHost& host,
                                                            NativeArm arm, const Rows& waypoints,
                                                            const std::vector<std::size_t>& todo,
                                                            const std::vector<bitgen_t*>& gens,
                                                            std::size_t jobs);

// The rows of a straight tool move given beforehand, after the first, once
// every edge is checked (by ctx, or on `native`'s workers when nothing
// Python watches it); throws PlanFailure for a blocked one.
Rows check_given_segment(PlannerHost& host, Validity& ctx, NativeArm native, double res,
                         const Rows& rows, const std::string& name);

// plan(worker, i) for every i < count on up to `jobs` threads, each with a
// worker of its own made on the calling thread: the shared model and a copy
// of `arm`'s data.  The calling thread's worker continues arm's queries, and
// its data becomes arm's data again afterwards (the other workers' data is
// dropped: it holds hints only, and the occupancy summary they built is the
// model's, shared).  Rethrows the first problem's error.  `res`: the
// workers' edge resolution.
void run_on_workers(NativeArm arm, double res, std::size_t count, std::size_t jobs,
                    const std::function<void(NativeWorker&, std::size_t)>& plan,
                    const std::function<void(const std::function<void()>&)>& released);

// ok[i] = test(worker, i) for every i < count, in pieces shared among up to
// `jobs` workers of `arm`, the interpreter free.
template <class Test>
std::vector<char> on_workers(PlannerHost& host, NativeArm arm, double res, std::size_t count,
                             std::size_t jobs, Test&& test) {
  std::vector<char> ok(count);
  const std::size_t pieces = std::min<std::size_t>(count, 64);
  run_on_workers(
      arm, res, pieces, std::max<std::size_t>(jobs, 1),
      [&](NativeWorker& w, std::size_t p) {
        for (std::size_t i = p * count / pieces; i < (p + 1) * count / pieces; ++i)
          ok[i] = test(w, i);
      },
      [&](const std::function<void()>& work) { host.released(work); });
  return ok;
}

// LinearSegments.npz: one (m, n) array per straight tool move, keyed "i->i+1"
// by the waypoints it joins, its first and last rows those waypoints exactly.
inline constexpr const char* kLinearSegmentsFile = "LinearSegments.npz";
// The i a key names, for K waypoints; std::invalid_argument when it names none.
std::size_t given_segment_index(const std::string& key, std::size_t K);
// The rows of the array stored under `key` (float64 data of `shape`), once
// checked against the waypoints it joins.
Rows given_segment_rows(const std::string& key, std::size_t i, const double* data,
                        const std::vector<std::size_t>& shape, const Rows& waypoints);

// "1.23": seconds as the driver's lines print them.
inline std::string fixed2(double seconds) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2f", seconds);
  return buf;
}

inline double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace brimwell
