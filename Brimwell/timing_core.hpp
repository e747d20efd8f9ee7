// Timing a planned joint path: the arithmetic, on C++ values only.
//
// The planner verified straight joint-space edges between its configurations,
// nothing near them, so the arm stays on those edges: it comes to rest at every
// corner and travels each straight piece rest to rest in minimum time under the
// per-joint velocity and acceleration limits.  Along a straight piece every
// joint moves in proportion, so the piece is one motion in its arc length s
// with the tightest joint's limits, v_s = min_j v_j / |u_j| and likewise for
// the acceleration (u the unit direction).  The one-dimensional profile of
// that motion comes from outside (timing.cpp asks ruckig for it); everything
// else is here.
#pragma once

#include "common/array_view.hpp"

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace brimwell {

// A row this close to the line of its piece (radians, Euclidean in joint space)
// is on it: the densified path's rows sit on their edges to rounding error.
inline constexpr double kLineTol = 1e-9;
inline constexpr double kRepeatTol = 1e-12;
inline constexpr double kDefaultDt = 0.01;
inline constexpr std::size_t kMaxSamples = 10'000'000;

// The path's straight pieces: indices of the rows where the motion comes to
// rest, first and last row included.  Rows that repeat the previous one (to
// within `repeat_tol`) are skipped; a row starts a new piece when it lies more
// than `line_tol` off the line of the current piece or turns back along it.
std::vector<std::size_t> rest_rows(const double* rows, std::size_t count, std::size_t n,
                                   double line_tol, double repeat_tol);

// The seven phases of a jerk-limited profile: each phase's length and the
// state and jerk it starts with.
struct Phases {
  double t[7], p[7], v[7], a[7], j[7];

  // Arc length, speed and acceleration `tau` seconds into the profile, by the
  // profile's own polynomials (so the samples are the library's to rounding).
  void at(double tau, double& s, double& sd, double& sdd) const;
};

// One straight piece, rows `from` to `to`, travelled rest to rest from time
// `start`; `speed` and `accel` are its arc-length limits.
struct Piece {
  std::size_t from = 0, to = 0;
  double length = 0.0, speed = 0.0, accel = 0.0;
  double start = 0.0, duration = 0.0;
  Phases phases{};
};

// Why ruckig could not time piece `pc`: in ruckig's own word (`result`), or,
// without one, because limits that small or large are beyond its precision
// (its own error is pages of its input).
std::string untimed_piece_text(const Piece& pc, const std::string& result = {});

// The command's word on a timed motion too long to sample (it has no dt: the
// limits are what make the motion that long).
std::string too_many_samples_text();

// A joint path of `rows` rows of n values, with per-joint limits.
struct TimingProblem {
  const double* q = nullptr;
  std::size_t rows = 0, n = 0;
  std::vector<double> vmax, amax;
  double dt = kDefaultDt;
};

// The problem of timing `path`, an (N, n_joints) array of finite joint
// vectors (N, n >= 1); its limits and dt still to be set.
// std::invalid_argument for any other path.
TimingProblem timing_path(const cellpath::ArrayView<double>& path);

// dt, or std::invalid_argument unless it is positive and finite.
double checked_dt(double dt);

// The straight pieces of the path with their arc-length limits; their
// profiles, durations and starts are still to be filled.
std::vector<Piece> straight_pieces(const TimingProblem& p);

// Starts the pieces one after the other and returns the whole motion's time.
double chain_pieces(std::vector<Piece>& pieces);

// Samples every dt from 0 over `total` seconds: past the end of the motion
// (at most one period) the arm rests on the last row, so the count is whole
// periods, plus one.  TooManySamples (a std::invalid_argument) when that is
// more than kMaxSamples.
struct TooManySamples : std::invalid_argument {
  using std::invalid_argument::invalid_argument;
};
std::size_t sample_count(double total, double dt);

// The K samples into t (K), q, qd and qdd (K x n).
void sample_pieces(const TimingProblem& p, const std::vector<Piece>& pieces, std::size_t K,
                   double* t, double* q, double* qd, double* qdd);

// The error for samples that failed validation (indices in order).
std::string failed_samples_message(const std::vector<std::size_t>& bad);

// "t,q1..qn,qd1..qdn", then one row per sample, each number the shortest
// text that reads back as the same double.  With the joints' names (n of
// them): "t,NAME..,NAME.velocity..", as cellpath-export heads its columns.
std::string timed_csv(const double* t, const double* q, const double* qd, std::size_t K,
                      std::size_t n, const std::vector<std::string>& names = {});

// A command line's limits for n joints: one value for all, or one per joint
// (std::invalid_argument naming `what` for any other count).
std::vector<double> per_joint(const std::vector<double>& given, std::size_t n, const char* what);

// The joints' names a CSV header can carry: n distinct names without commas,
// quotes or line breaks; none otherwise (the CSV then says q1..qn).
std::vector<std::string> csv_joint_names(const std::vector<std::string>& names, std::size_t n);

// What the planner prints once a timed trajectory is verified.
std::string timed_summary(double duration, std::size_t samples, double dt);

}  // namespace brimwell
