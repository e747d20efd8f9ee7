// Timed trajectories along a planned joint path: the Python side.  Arguments
// become C++ values, ruckig (through its Python package) gives each straight
// piece's time-optimal profile (with unlimited jerk, the trapezoid or
// triangle of velocity), and timing_core.cpp does the rest without the
// interpreter.
#include "Brimwell/timing.hpp"

#include "Brimwell/timing_core.hpp"

#include "common/capture_reader.hpp"
#include "common/pybridge.hpp"
#include "common/text.hpp"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
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
  std::size_t ndim = 0;
  nb::object arr;
  try {
    nb::module_ np = cellpath::py::numpy();
    arr = np.attr("asarray")(cellpath::py::real_numbers(x), "dtype"_a = np.attr("float64"));
    ndim = nb::cast<std::size_t>(arr.attr("ndim"));
    a = cellpath::py::as_f64(arr);  // a scalar comes back as shape (1,)
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
  if (nb::cast<double>(profile.attr("brake").attr("duration")) != 0.0 ||
      nb::cast<double>(profile.attr("accel").attr("duration")) != 0.0)
    throw std::runtime_error("ruckig planned a braking phase for a motion from rest");
  Phases ph;
  nb::object t = profile.attr("t"), p = profile.attr("p"), v = profile.attr("v"),
             a = profile.attr("a"), j = profile.attr("j");
  for (int k = 0; k < 7; ++k) {
    ph.t[k] = nb::cast<double>(t[k]);
    ph.p[k] = nb::cast<double>(p[k]);
    ph.v[k] = nb::cast<double>(v[k]);
    ph.a[k] = nb::cast<double>(a[k]);
    ph.j[k] = nb::cast<double>(j[k]);
  }
  return ph;
}

// The checked arguments of time_parameterize; `path` owns the rows.
struct TimingArgs {
  Array<double> path;
  TimingProblem problem;
};

TimingArgs read_timing_args(nb::handle path_in, nb::handle max_velocity,
                            nb::handle max_acceleration, double dt) {
  TimingArgs in;
  in.path = cellpath::py::as_f64(path_in);
  in.problem = timing_path(in.path);
  in.problem.vmax = limit_values(max_velocity, in.problem.n, "max_velocity");
  in.problem.amax = limit_values(max_acceleration, in.problem.n, "max_acceleration");
  in.problem.dt = checked_dt(dt);
  return in;
}

// Each piece's rest-to-rest profile in its arc length, from ruckig.
void profile_pieces(std::vector<Piece>& pieces) {
  nb::module_ ruckig = nb::module_::import_("ruckig");
  nb::object otg = ruckig.attr("Ruckig")(1);
  nb::object working = ruckig.attr("Result").attr("Working");
  const double inf = std::numeric_limits<double>::infinity();
  for (Piece& pc : pieces) {
    nb::object in = ruckig.attr("InputParameter")(1);
    in.attr("current_position") = nb::make_tuple(0.0);
    in.attr("current_velocity") = nb::make_tuple(0.0);
    in.attr("current_acceleration") = nb::make_tuple(0.0);
    in.attr("target_position") = nb::make_tuple(pc.length);
    in.attr("target_velocity") = nb::make_tuple(0.0);
    in.attr("target_acceleration") = nb::make_tuple(0.0);
    in.attr("max_velocity") = nb::make_tuple(pc.speed);
    in.attr("max_acceleration") = nb::make_tuple(pc.accel);
    in.attr("max_jerk") = nb::make_tuple(inf);
    nb::object profile = ruckig.attr("Trajectory")(1);
    nb::object result;
    try {
      result = otg.attr("calculate")(in, profile);
    } catch (nb::python_error& e) {
      if (!e.matches(PyExc_Exception)) throw;
      // ruckig's own error is pages of its input: say which piece and limits.
      throw std::runtime_error("ruckig could not time the straight piece from path row " +
                               std::to_string(pc.from) + " to row " + std::to_string(pc.to) +
                               " at velocity " + cellpath::python_float_text(pc.speed) +
                               " and acceleration " + cellpath::python_float_text(pc.accel) +
                               " along it: limits that small or large are beyond its precision");
    }
    if (!result.equal(working))
      throw std::runtime_error("ruckig could not time the straight piece from path row " +
                               std::to_string(pc.from) + " to row " + std::to_string(pc.to) + ": " +
                               cellpath::py::str_of(result));
    pc.duration = nb::cast<double>(profile.attr("duration"));
    pc.phases = read_phases(profile);
  }
}

// Every sample (a row of q) tested with ctx.is_valid; a RuntimeError names those that fail.
void verify_samples(nb::handle ctx, nb::handle q_arr, std::size_t K) {
  nb::object is_valid = ctx.attr("is_valid");
  std::vector<std::size_t> bad;
  for (std::size_t k = 0; k < K; ++k)
    if (!cellpath::py::truthy(is_valid(q_arr[nb::int_(k)]))) bad.push_back(k);
  if (!bad.empty()) throw std::runtime_error(failed_samples_message(bad));
}

nb::object time_parameterize(nb::handle path_in, nb::handle max_velocity,
                             nb::handle max_acceleration, double dt, nb::handle ctx) {
  TimingArgs in = read_timing_args(path_in, max_velocity, max_acceleration, dt);
  std::vector<Piece> pieces;
  {
    nb::gil_scoped_release release;
    pieces = straight_pieces(in.problem);
  }
  profile_pieces(pieces);
  const std::size_t K = sample_count(chain_pieces(pieces), dt);
  const std::size_t n = in.problem.n;
  double *t_out = nullptr, *q_out = nullptr, *qd_out = nullptr, *qdd_out = nullptr;
  nb::object t_arr = cellpath::py::new_f64({K}, &t_out);
  nb::object q_arr = cellpath::py::new_f64({K, n}, &q_out);
  nb::object qd_arr = cellpath::py::new_f64({K, n}, &qd_out);
  nb::object qdd_arr = cellpath::py::new_f64({K, n}, &qdd_out);
  {
    nb::gil_scoped_release release;
    sample_pieces(in.problem, pieces, K, t_out, q_out, qd_out, qdd_out);
  }
  if (!ctx.is_none()) verify_samples(ctx, q_arr, K);
  return nb::make_tuple(t_arr, q_arr, qd_arr, qdd_arr);
}

// "V[,V...]" from the command line: one or more positive finite numbers, as
// one float or a float64 array.
nb::object option_limits(nb::handle parser, nb::handle text, const char* option) {
  const std::string s = nb::cast<std::string>(text);
  nb::list values;
  for (nb::handle part : text.attr("split")(",")) {
    double v = 0.0;
    try {
      v = nb::cast<double>(cellpath::py::builtin("float")(part));
    } catch (nb::python_error& e) {
      if (!e.matches(PyExc_Exception)) throw;  // an interrupt goes on
      parser.attr("error")(std::string(option) + ": '" + s +
                           "' is not one number or a comma-separated list of numbers");
    }
    if (!(std::isfinite(v) && v > 0.0))
      parser.attr("error")(std::string(option) +
                           ": every limit must be positive and finite, got '" + s + "'");
    values.append(v);
  }
  if (nb::len(values) == 1) return values[0];
  nb::module_ np = cellpath::py::numpy();
  return np.attr("array")(values, "dtype"_a = np.attr("float64"));
}

}  // namespace

void add_timing_options(cellpath::cli::Parser& command) {
  using cellpath::cli::Default;
  command.arguments.push_back(
      {.flag = "--timed",
       .help = "also time the trajectory (at rest at every corner, each straight piece in "
               "minimum time) and save it as TimedTrajectory.npz and TimedTrajectory.csv in the "
               "cache",
       .action = "store_true"});
  command.arguments.push_back(
      {.flag = "--max-velocity",
       .help = "with --timed: joint velocity limits in rad/s, one for all joints or one per "
               "joint (default: the cache's JointVelocityLimits.npy)",
       .metavar = "V[,V...]",
       .default_value = Default::none});
  command.arguments.push_back(
      {.flag = "--max-acceleration",
       .help = "with --timed (required): joint acceleration limits in rad/s^2, one for all "
               "joints or one per joint",
       .metavar = "A[,A...]",
       .default_value = Default::none});
  command.arguments.push_back(
      {.flag = "--joint-names",
       .help = "with --timed: head the CSV's columns with the cache's joint names "
               "(JointNames.json: NAME..., NAME.velocity...) instead of q1..qn, qd1..qdn",
       .action = "store_true"});
}

namespace {

// A list of limits that does not fit the arm is refused now, not after a whole plan.
void check_limit_counts(nb::handle parser, const TimingOptions& o, nb::handle cache_dir) {
  nb::object screws = cellpath::py::join_path(cache_dir, "ScrewAxis.npy");
  if (!nb::cast<bool>(screws.attr("is_file")())) return;  // the planner names what is missing
  nb::module_ np = cellpath::py::numpy();
  nb::object shape = np.attr("load")(screws, "allow_pickle"_a = false).attr("shape");
  if (nb::len(shape) != 2) return;
  const std::size_t n = nb::cast<std::size_t>(shape[1]);
  for (auto [option, given] : {std::pair{"--max-acceleration", o.acceleration_limits},
                               std::pair{"--max-velocity", o.velocity_limits}}) {
    if (given.is_none() || nb::isinstance<nb::float_>(given) || nb::len(given) == n) continue;
    parser.attr("error")(std::string(option) + " gives " + std::to_string(nb::len(given)) +
                         " limits, but the arm has " + std::to_string(n) +
                         " joints: give one value for all joints or one per joint");
  }
}

// The joints' names the cache keeps (JointNames.json: n distinct names that
// a CSV header can carry), or none: the CSV then says q1..qn.
std::vector<std::string> csv_joint_names(nb::handle cache_dir, std::size_t n) {
  cellpath::capture::Capture capture;
  try {
    if (!cellpath::py::read_joint_names(capture, cache_dir)) return {};
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;  // an interrupt goes on
    return {};
  } catch (const nb::builtin_exception&) {
    return {};
  }
  std::vector<std::string> names;
  if (capture.joint_names.size() != n) return {};
  for (const std::string& s : capture.joint_names) {
    if (s.empty() || s.find_first_of(",\"\r\n") != std::string::npos ||
        std::find(names.begin(), names.end(), s) != names.end())
      return {};
    names.push_back(s);
  }
  return names;
}

}  // namespace

TimingOptions check_timing_options(nb::handle parser, nb::handle args, nb::handle cache_dir) {
  TimingOptions o{.timed = nb::cast<bool>(args.attr("timed")),
                  .max_velocity = args.attr("max_velocity"),
                  .max_acceleration = args.attr("max_acceleration"),
                  .velocity_limits = nb::none(),
                  .acceleration_limits = nb::none(),
                  .joint_names = nb::cast<bool>(args.attr("joint_names"))};
  if (!o.timed) {
    if (!o.max_velocity.is_none() || !o.max_acceleration.is_none())
      parser.attr("error")("--max-velocity and --max-acceleration need --timed");
    if (o.joint_names)
      parser.attr("error")("argument --joint-names: names the timed CSV's columns: needs --timed");
    return o;
  }
  if (o.max_acceleration.is_none())
    parser.attr("error")(
        "--timed needs --max-acceleration A[,A...]: the joints' acceleration limits in "
        "rad/s^2, one value for all joints or one per joint");
  o.acceleration_limits = option_limits(parser, o.max_acceleration, "--max-acceleration");
  if (o.max_velocity.is_none()) {
    nb::object file = cellpath::py::join_path(cache_dir, "JointVelocityLimits.npy");
    if (!nb::cast<bool>(file.attr("is_file")()))
      parser.attr("error")(
          "--timed needs --max-velocity V[,V...] (rad/s, one value for all joints or one "
          "per joint): the cache holds no JointVelocityLimits.npy");
  } else {
    o.velocity_limits = option_limits(parser, o.max_velocity, "--max-velocity");
  }
  check_limit_counts(parser, o, cache_dir);
  return o;
}

nb::object timed_outputs(const TimingOptions& options, nb::handle cache_dir, nb::handle dense,
                         nb::handle ctx) {
  if (!options.timed) return nb::none();
  nb::module_ np = cellpath::py::numpy();
  Array<double> path = cellpath::py::as_f64(dense);
  const std::size_t n = path.ndim() == 2 ? path.shape[1] : 0;

  nb::object vel = options.velocity_limits;
  if (vel.is_none()) {
    nb::object file = cellpath::py::join_path(cache_dir, "JointVelocityLimits.npy");
    nb::object kept = np.attr("load")(file, "allow_pickle"_a = false);
    limit_values(kept, n, "JointVelocityLimits.npy");  // named by its file when it is wrong
    vel = kept;
  }
  nb::object timed;
  try {
    timed = time_parameterize(dense, vel, options.acceleration_limits, kDefaultDt, ctx);
  } catch (const TooManySamples&) {
    // The command has no dt: the limits are what make the motion that long.
    throw std::runtime_error("the timed motion would need more than " +
                             std::to_string(kMaxSamples) +
                             " samples of 0.01 s: give larger --max-velocity and "
                             "--max-acceleration limits");
  }
  Array<double> t = cellpath::py::as_f64(timed[0]);
  Array<double> q = cellpath::py::as_f64(timed[1]);
  Array<double> qd = cellpath::py::as_f64(timed[2]);
  // The columns keep their q1..qn names unless the names are asked for: a
  // reader of the CSV may look its columns up by those.
  const std::vector<std::string> names =
      options.joint_names ? csv_joint_names(cache_dir, q.shape[1]) : std::vector<std::string>{};
  std::string text;
  {
    nb::gil_scoped_release release;
    text = timed_csv(t.data, q.data, qd.data, t.size, q.shape[1], names);
  }
  nb::dict arrays;
  arrays["t"] = timed[0];
  arrays["q"] = timed[1];
  arrays["qd"] = timed[2];
  arrays["qdd"] = timed[3];
  return nb::make_tuple(timed_summary(t[t.size - 1], t.size, kDefaultDt), arrays,
                        nb::bytes(text.data(), text.size()));
}

void say_timed_saved(nb::handle timed, nb::handle cache_dir) {
  if (timed.is_none()) return;
  cellpath::py::builtin("print")(timed[0]);
  cellpath::py::builtin("print")(
      "Saved timed trajectory to " +
      cellpath::py::str_of(cellpath::py::join_path(cache_dir, "TimedTrajectory.npz")) + " and " +
      cellpath::py::str_of(cellpath::py::join_path(cache_dir, "TimedTrajectory.csv")));
}

void register_timing(nb::module_& m) {
  m.def("time_parameterize", &time_parameterize, "path"_a, "max_velocity"_a, "max_acceleration"_a,
        "dt"_a = kDefaultDt, "ctx"_a = nb::none(),
        "Time a joint path (N, n) under per-joint velocity and acceleration limits (each one "
        "value for all joints or one per joint, positive and finite).  Returns (t, q, qd, qdd) "
        "sampled every dt seconds from t = 0: at rest on the path's first row at the start and "
        "on its last row at the end.  The motion keeps to the path's straight pieces: it comes "
        "to rest at every corner and travels each piece in minimum time (a trapezoid of "
        "velocity, from ruckig), so it never leaves the edges the planner checked.  When the "
        "motion ends between two samples the last sample rests on the last row.  With a "
        "planning context `ctx`, every sample is tested with ctx.is_valid and a RuntimeError "
        "names the ones that fail.  Raises ValueError for an empty path and for zero, negative, "
        "non-finite or wrongly counted limits.");
}

}  // namespace brimwell
