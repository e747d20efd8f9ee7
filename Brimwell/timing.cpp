// Timed trajectories along a planned joint path: the Python side.  Arguments
// become C++ values, ruckig (through its Python package) gives each straight
// piece's time-optimal profile (with unlimited jerk, the trapezoid or
// triangle of velocity), and timing_core.cpp does the rest without the
// interpreter.
#include "Brimwell/py_planning.hpp"
#include "Brimwell/timing_core.hpp"

#include "common/capture_reader.hpp"
#include "common/file_path.hpp"
#include "common/pybridge.hpp"
#include "common/text.hpp"

#include <nanobind/stl/filesystem.h>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>
#include <system_error>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;
using cellpath::py::Array;

namespace brimwell {

namespace {

// One limit argument: a scalar for every joint or one value per joint, each
// finite and positive.
std::vector<double> limit_values(nb::handle x, std::size_t n, const char* what) {
  Array<double> a;
  nb::object arr;
  try {
    arr = brimwell_py::float64_array(x);
    a = cellpath::py::as_f64(arr, cellpath::py::Scalar::keep);
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;  // an interrupt goes on
    const std::string message = std::string(what) +
                                " must be a number or one number per joint, got " +
                                cellpath::py::repr_of(x);
    // Text, complex numbers and objects: the error that is a TypeError as well.
    if (e.matches(cellpath::py::not_real_error().ptr())) {
      PyErr_SetString(cellpath::py::not_real_error().ptr(), message.c_str());
      throw nb::python_error();
    }
    throw nb::value_error(message.c_str());
  }
  const std::size_t ndim = a.ndim();
  if (!(ndim == 0 || (ndim == 1 && a.shape[0] == n)))
    throw nb::value_error((std::string(what) +
                           " must be one value for all joints or one per joint (" +
                           std::to_string(n) + "), got shape " + cellpath::py::shape_text(a.shape))
                              .c_str());
  std::vector<double> v(n);
  for (std::size_t j = 0; j < n; ++j) {
    v[j] = ndim == 0 ? a[0] : a[j];
    if (!(std::isfinite(v[j]) && v[j] > 0.0))
      throw nb::value_error((std::string(what) +
                             " must be positive and finite for every joint, got " +
                             cellpath::py::str_of(arr))
                                .c_str());
  }
  return v;
}

// The phases of a one-dimensional rest-to-rest ruckig trajectory.  A motion
// from rest within the limits needs no braking or pre-acceleration part; one
// that had some would not be the plain seven-phase profile read here.
Phases read_phases(nb::handle trajectory) {
  nb::object profile = trajectory.attr("profiles")[0][0];
  for (const char* part : {"brake", "accel"})
    if (nb::cast<double>(nb::getattr(nb::getattr(profile, part), "duration")) != 0.0)
      throw std::runtime_error("ruckig planned a braking phase for a motion from rest");
  Phases ph;
  const std::pair<const char*, double*> fields[] = {
      {"t", ph.t}, {"p", ph.p}, {"v", ph.v}, {"a", ph.a}, {"j", ph.j}};
  for (const auto& [name, out] : fields) {
    nb::object seq = nb::getattr(profile, name);
    for (int k = 0; k < 7; ++k) out[k] = nb::cast<double>(seq[k]);
  }
  return ph;
}

// The samples of a timed path, every dt: arrays numpy owns, and their rows.
struct Samples {
  std::size_t count = 0, n = 0;
  nb::object t, q, qd, qdd;
  double *t_rows = nullptr, *q_rows = nullptr, *qd_rows = nullptr, *qdd_rows = nullptr;
};

// Each piece's rest-to-rest profile in its arc length, from ruckig.
void profile_pieces(std::vector<Piece>& pieces) {
  nb::module_ ruckig = nb::module_::import_("ruckig");
  nb::object otg = ruckig.attr("Ruckig")(1);
  nb::object working = ruckig.attr("Result").attr("Working");
  const double inf = std::numeric_limits<double>::infinity();
  for (Piece& pc : pieces) {
    nb::object in = ruckig.attr("InputParameter")(1);
    // One joint (the arc length) from rest to rest, with unlimited jerk.
    const std::pair<const char*, double> values[] = {{"current_position", 0.0},
                                                     {"current_velocity", 0.0},
                                                     {"current_acceleration", 0.0},
                                                     {"target_position", pc.length},
                                                     {"target_velocity", 0.0},
                                                     {"target_acceleration", 0.0},
                                                     {"max_velocity", pc.speed},
                                                     {"max_acceleration", pc.accel},
                                                     {"max_jerk", inf}};
    for (const auto& [name, value] : values) nb::setattr(in, name, nb::make_tuple(value));
    nb::object profile = ruckig.attr("Trajectory")(1);
    nb::object result;
    try {
      result = otg.attr("calculate")(in, profile);
    } catch (nb::python_error& e) {
      if (!e.matches(PyExc_Exception)) throw;
      throw std::runtime_error(untimed_piece_text(pc));
    }
    if (!result.equal(working))
      throw std::runtime_error(untimed_piece_text(pc, cellpath::py::str_of(result)));
    pc.duration = nb::cast<double>(profile.attr("duration"));
    pc.phases = read_phases(profile);
  }
}

// Every sample (a row of q) tested with ctx.is_valid; a RuntimeError names those that fail.
void verify_samples(nb::handle ctx, const Samples& s) {
  nb::object is_valid = ctx.attr("is_valid");
  std::vector<std::size_t> bad;
  for (std::size_t k = 0; k < s.count; ++k)
    if (!cellpath::py::truthy(is_valid(s.q[nb::int_(k)]))) bad.push_back(k);
  if (!bad.empty()) throw std::runtime_error(failed_samples_message(bad));
}

// The samples of a checked problem, each verified with ctx when one is given.
Samples timed_samples(const TimingProblem& problem, nb::handle ctx) {
  std::vector<Piece> pieces;
  {
    nb::gil_scoped_release release;
    pieces = straight_pieces(problem);
  }
  profile_pieces(pieces);
  Samples s{.count = sample_count(chain_pieces(pieces), problem.dt), .n = problem.n};
  s.t = cellpath::py::new_f64({s.count}, &s.t_rows);
  s.q = cellpath::py::new_f64({s.count, s.n}, &s.q_rows);
  s.qd = cellpath::py::new_f64({s.count, s.n}, &s.qd_rows);
  s.qdd = cellpath::py::new_f64({s.count, s.n}, &s.qdd_rows);
  {
    nb::gil_scoped_release release;
    sample_pieces(problem, pieces, s.count, s.t_rows, s.q_rows, s.qd_rows, s.qdd_rows);
  }
  if (!ctx.is_none()) verify_samples(ctx, s);
  return s;
}

nb::object time_parameterize(const Array<double>& path, nb::handle max_velocity,
                             nb::handle max_acceleration, double dt, nb::handle ctx) {
  TimingProblem problem = timing_path(path);
  problem.vmax = limit_values(max_velocity, problem.n, "max_velocity");
  problem.amax = limit_values(max_acceleration, problem.n, "max_acceleration");
  problem.dt = checked_dt(dt);
  const Samples s = timed_samples(problem, ctx);
  return nb::make_tuple(s.t, s.q, s.qd, s.qdd);
}

// Each comma-separated part of a limit option as Python's float() reads it.
LimitParts limit_parts(const std::optional<std::string>& text) {
  LimitParts parts;
  if (!text) return parts;
  nb::object to_float = cellpath::py::builtin("float");
  for (const std::string& part : cellpath::split_commas(*text)) {
    try {
      parts.emplace_back(nb::cast<double>(to_float(part)));
    } catch (nb::python_error& e) {
      if (!e.matches(PyExc_Exception)) throw;  // an interrupt goes on
      parts.emplace_back(std::nullopt);
    }
  }
  return parts;
}

// The arm's joint count by the cache's screw list, or nothing (the planner
// names what is missing).
std::optional<std::size_t> cache_joints(const std::filesystem::path& cache) {
  const std::filesystem::path screws = cache / "ScrewAxis.npy";
  std::error_code unreadable;
  if (!std::filesystem::is_regular_file(screws, unreadable)) return std::nullopt;
  nb::module_ np = cellpath::py::numpy();
  nb::object shape = np.attr("load")(nb::cast(screws), "allow_pickle"_a = false).attr("shape");
  if (nb::len(shape) != 2) return std::nullopt;
  return nb::cast<std::size_t>(shape[1]);
}

// The joints' names the cache keeps for the CSV's header, or none.
std::vector<std::string> kept_joint_names(const std::filesystem::path& cache_dir, std::size_t n) {
  cellpath::capture::Capture capture;
  try {
    if (!cellpath::py::read_joint_names(capture, cache_dir)) return {};
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;  // an interrupt goes on
    return {};
  } catch (const nb::builtin_exception&) {
    return {};
  }
  return csv_joint_names(capture.joint_names, n);
}

// What verified samples save: the summary, the arrays and the CSV, its
// columns headed by `names` (none: q1..qn).
TimedFiles timed_files(const Samples& s, const std::vector<std::string>& names) {
  TimedFiles out;
  out.summary = timed_summary(s.t_rows[s.count - 1], s.count, kDefaultDt);
  {
    nb::gil_scoped_release release;
    out.csv = timed_csv(s.t_rows, s.q_rows, s.qd_rows, s.count, s.n, names);
  }
  const std::pair<const char*, nb::object> arrays[] = {
      {"t", s.t}, {"q", s.q}, {"qd", s.qd}, {"qdd", s.qdd}};
  for (const auto& [key, array] : arrays) out.arrays[key] = array;
  return out;
}

}  // namespace

std::string check_timing_options(TimingOptions& o, const std::filesystem::path& cache) {
  if (!o.text.timed) return timing_refusal(o.text, {}, {}, false);
  const LimitParts acceleration = limit_parts(o.text.max_acceleration);
  const LimitParts velocity = limit_parts(o.text.max_velocity);
  return timing_options_refusal(o, acceleration, velocity, cache,
                                [&] { return cache_joints(cache); });
}

std::optional<TimedFiles> timed_outputs(const TimingOptions& options,
                                        const std::filesystem::path& cache_dir,
                                        const cellpath::ArrayView<double>& path, nb::handle ctx) {
  if (!options.text.timed) return std::nullopt;
  const std::size_t n = path.ndim() == 2 ? path.shape[1] : 0;
  std::vector<double> vel = options.velocity_limits;
  if (!options.text.max_velocity) {
    nb::object kept =
        cellpath::py::load_npy(nb::cast(cellpath::in_dir(cache_dir, "JointVelocityLimits.npy")));
    vel = limit_values(kept, n, "JointVelocityLimits.npy");  // named by its file when it is wrong
  }
  TimingProblem problem = timing_path(path);
  problem.vmax = per_joint(vel, n, "max_velocity");
  problem.amax = per_joint(options.acceleration_limits, n, "max_acceleration");
  Samples timed;
  try {
    timed = timed_samples(problem, ctx);
  } catch (const TooManySamples&) {
    throw std::runtime_error(too_many_samples_text());
  }
  // The columns keep their q1..qn names unless the names are asked for: a
  // reader of the CSV may look its columns up by those.
  return timed_files(timed, options.text.joint_names ? kept_joint_names(cache_dir, timed.n)
                                                     : std::vector<std::string>{});
}

void say_timed_saved(const TimedFiles& timed, const std::filesystem::path& cache_dir) {
  cellpath::py::print_line(timed.summary);
  cellpath::py::print_line("Saved timed trajectory to " +
                           cellpath::in_dir(cache_dir, "TimedTrajectory.npz").native() + " and " +
                           cellpath::in_dir(cache_dir, "TimedTrajectory.csv").native());
}

void register_timing(nb::module_& m) {
  m.def("time_parameterize", &time_parameterize, "path"_a, "max_velocity"_a, "max_acceleration"_a,
        "dt"_a = kDefaultDt, "ctx"_a = nb::none(), doc::kTimeParameterize);
}

}  // namespace brimwell
