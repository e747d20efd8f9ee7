// The trajectory driver (ProvideRRTPlan) and the command line: waypoints
// checked, one segment planned per consecutive pair, the chain densified,
// re-checked and saved.
#include "Brimwell/py_planning.hpp"

#include "common/text.hpp"

#include "common/atomic_file.hpp"
#include "common/file_path.hpp"
#include "common/py_cli.hpp"

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <climits>
#include <filesystem>
#include <optional>

namespace brimwell_py {

namespace {

// Files are written whole (common/atomic_file.hpp): a failed or interrupted
// write never leaves a partial file and never destroys the previous one.
using cellpath::py::write_atomically;

}  // namespace

void save_colliding_waypoint(nb::handle cache_dir, std::int64_t index, nb::handle theta_in) {
  nb::module_ np = numpy();
  nb::object theta = float64_array(theta_in);
  print_line("\nWaypoint " + std::to_string(index) + " is in collision");
  print_line("  theta: " + cellpath::py::theta_text(theta));
  const std::filesystem::path path =
      cellpath::in_dir(cellpath::py::path_arg(cache_dir), "CollisionWaypoint.npz");
  write_atomically(path, [&](nb::handle fh) {
    np.attr("savez")(fh, "index"_a = cellpath::py::new_array<std::int64_t>({}, &index),
                     "theta"_a = theta);
  });
  print_line("  Saved to " + path.native() + " -- run Velquist to inspect it.");
}

namespace {

// ---------------------------------------------------------------------------
// ProvideRRTPlan

// The generator's seed: the module's SEED when none is given, otherwise a
// non-negative integer (a bool or a float is refused, though Python would
// take them as numbers).
nb::object seed_of(nb::handle seed) {
  if (seed.is_none()) return self_module().attr("SEED");
  if (!PyBool_Check(seed.ptr())) {
    PyObject* idx = PyNumber_Index(seed.ptr());
    if (idx) {
      nb::object v = nb::steal(idx);
      if (PyObject_RichCompareBool(v.ptr(), nb::int_(0).ptr(), Py_GE) == 1) return v;
    }
    PyErr_Clear();
  }
  throw nb::value_error(("seed must be a non-negative integer, got " + repr_of(seed)).c_str());
}

// The driver's options as the caller gave them: the plan is made from them,
// and the run record keeps them so.
struct RunOptions {
  nb::object planner, seed, clearance, max_iters, time_limit, jobs;
  bool self_collision = false, lazy_proof = false;
};

// The driver's context, and its lines.
nb::object load_context(const std::filesystem::path& cache_dir, const RunOptions& o) {
  const auto t0 = std::chrono::steady_clock::now();
  // Built in place: the driver's context is the module's own class, never a
  // name a caller could replace, so its constructor is called directly.
  ClearanceArg clearance = clearance_arg(o.clearance);
  check_body_names(clearance, cache_dir);
  nb::object ctx_obj = nb::inst_alloc(nb::type<PlanningContext>());
  PlanningContext* ctx = nb::inst_ptr<PlanningContext>(ctx_obj);
  new (ctx) PlanningContext(cache_dir, o.self_collision, clearance, o.lazy_proof);
  nb::inst_mark_ready(ctx_obj);
  const double seconds = brimwell::seconds_since(t0);
  const std::string pairs = o.self_collision ? str_of(ctx->allowed_pairs) : std::string();
  for (const std::string& line :
       brimwell::context_lines(seconds, *ctx->model, !o.clearance.is_none(), o.lazy_proof,
                               o.self_collision ? &pairs : nullptr))
    print_line(line);
  return ctx_obj;
}

brimwell::Rows load_waypoints(const std::filesystem::path& cache_dir, std::size_t n) {
  nb::object wp_obj =
      cellpath::py::load_npy(nb::cast(cellpath::in_dir(cache_dir, "WaypointJointAngles.npy")));
  Array<double> wp = cellpath::py::as_f64(cellpath::py::asarray_f64(wp_obj));
  brimwell::Rows rows = brimwell::waypoint_rows(wp.data, wp.shape, n);
  print_line("Loaded " + std::to_string(rows.size()) + " waypoints, shape " +
             cellpath::py::shape_text(wp.shape));
  return rows;
}

// The plan (rows x n, and as a numpy array) and the context it was planned
// with (the command line times the plan with the same context: the
// environment is built once per run).
struct Plan {
  nb::object dense, ctx;
  std::vector<double> values;
  std::size_t rows = 0, n = 0;

  cellpath::ArrayView<double> view() const { return {values.data(), {rows, n}, values.size()}; }
};

// The options that need no cache, checked before anything is loaded: the
// module's tuning values, the planner and its budget, the seed and the
// clearance's values.
struct CheckedOptions {
  brimwell::TrajectoryRequest request;
  nb::object seed;
};

CheckedOptions checked_options(const RunOptions& o) {
  CheckedOptions c;
  brimwell::TrajectoryRequest& request = c.request;
  request.settings = settings_from_module();
  request.planner = planner_of(o.planner);
  request.budget = budget_of(request.settings, request.planner, o.max_iters, o.time_limit);
  c.seed = seed_of(o.seed);
  const bool clearance_on = !o.clearance.is_none();
  if (clearance_on) clearance_arg(o.clearance);
  if (o.lazy_proof && !clearance_on)
    throw nb::value_error("lazy_proof needs a clearance: without one no edge is proven");
  return c;
}

Plan plan_through_waypoints(const std::filesystem::path& cache_dir, const RunOptions& o,
                            CheckedOptions checked) {
  brimwell::TrajectoryRequest& request = checked.request;
  RunGenerators generators(checked.seed);
  request.jobs = o.jobs.is_none() ? 0 : jobs_of(o.jobs);

  Plan plan;
  plan.ctx = load_context(cache_dir, o);
  request.waypoints = load_waypoints(cache_dir, nb::inst_ptr<PlanningContext>(plan.ctx)->n);
  ContextAdapter ctx(plan.ctx);
  brimwell::Trajectory t = plan_on_context(ctx, cache_dir, generators, request);
  plan.rows = t.count;
  plan.n = request.waypoints[0].size();
  plan.values = std::move(t.rows);
  plan.dense = cellpath::py::new_array(plan.values, {plan.rows, plan.n});
  return plan;
}

// A run's files as the command layer keeps them (cellpath_cli.runs: the
// cache's lock for the life of the run, a run's outputs put in place together
// and its record), or, in a bare build tree without it, the trajectory written
// alone, as it always was.
class RunFiles {
 public:
  // Locks the cache for the life of the run: a second run on it waits.
  RunFiles(nb::handle cache_dir, const char* who) {
    try {
      runs_ = nb::module_::import_("cellpath_cli.runs");
    } catch (nb::python_error& e) {
      if (!e.matches(PyExc_ModuleNotFoundError)) throw;
      return;
    }
    lock_ = runs_.attr("cache_lock")(cache_dir, who);
    lock_.attr("__enter__")();
  }
  ~RunFiles() {
    if (lock_.is_valid()) call_keeping_error(lock_, "__exit__", nb::none(), nb::none(), nb::none());
  }
  RunFiles(const RunFiles&) = delete;
  RunFiles& operator=(const RunFiles&) = delete;

  // The command line as the record keeps it.
  nb::object command_text(const char* name, nb::handle argv) const {
    if (!runs_.is_valid()) return nb::str(name);
    return runs_.attr("command_text")(name, cellpath::py::command_args(argv));
  }
  void save_plan(const std::filesystem::path& cache_dir, const Plan& plan,
                 const std::optional<brimwell::TimedFiles>& timed, nb::dict record) const;

 private:
  nb::object runs_, lock_;
};

// The run's options for its record.
nb::dict run_options(const RunOptions& o) {
  nb::dict d;
  d["planner"] = o.planner.is_none() ? nb::object(nb::str("rrtstar")) : o.planner;
  d["seed"] = seed_of(o.seed);
  d["self_collision"] = o.self_collision;
  d["clearance"] = o.clearance;
  d["max_iters"] = o.max_iters;
  d["time_limit"] = o.time_limit;
  d["jobs"] = o.jobs;
  d["lazy_proof"] = o.lazy_proof;
  return d;
}

// The plan's files put in place as one set (the trajectory, the timed files or
// none at all, the run record last), then the line that says where.
void RunFiles::save_plan(const std::filesystem::path& cache_dir, const Plan& plan,
                         const std::optional<brimwell::TimedFiles>& timed, nb::dict record) const {
  const std::filesystem::path out_path =
      cellpath::in_dir(cache_dir, "JointAnglesToTravelAlong.npy");
  if (!runs_.is_valid()) {
    write_atomically(out_path, [&](nb::handle fh) { numpy().attr("save")(fh, plan.dense); });
    if (timed) {
      write_atomically(cellpath::in_dir(cache_dir, "TimedTrajectory.npz"),
                       [&](nb::handle fh) { numpy().attr("savez")(fh, **timed->arrays); });
      write_atomically(cellpath::in_dir(cache_dir, "TimedTrajectory.csv"), [&](nb::handle fh) {
        fh.attr("write")(nb::bytes(timed->csv.data(), timed->csv.size()));
      });
    }
  } else {
    nb::object files =
        timed ? nb::object(nb::make_tuple(timed->summary, timed->arrays,
                                          nb::bytes(timed->csv.data(), timed->csv.size())))
              : nb::none();
    runs_.attr("save_plan")(nb::cast(cache_dir), plan.dense, files, record);
  }
  print_line("Saved trajectory to " + out_path.native() + " with shape " +
             cellpath::py::shape_text({plan.rows, plan.n}));
}

nb::object provide_rrt_plan(nb::handle cache_dir, nb::handle planner, nb::handle seed,
                            bool self_collision, nb::handle clearance, nb::handle max_iters,
                            nb::handle time_limit, nb::handle jobs, bool lazy_proof) {
  const RunOptions o{.planner = nb::borrow(planner),
                     .seed = nb::borrow(seed),
                     .clearance = nb::borrow(clearance),
                     .max_iters = nb::borrow(max_iters),
                     .time_limit = nb::borrow(time_limit),
                     .jobs = nb::borrow(jobs),
                     .self_collision = self_collision,
                     .lazy_proof = lazy_proof};
  const RunFiles files(cache_dir, "ProvideRRTPlan");
  CheckedOptions checked = checked_options(o);
  const std::filesystem::path cache = cellpath::py::path_arg(cache_dir);
  const Plan plan = plan_through_waypoints(cache, o, std::move(checked));
  nb::dict record = run_options(o);
  record["command"] = "ProvideRRTPlan";
  files.save_plan(cache, plan, std::nullopt, record);
  return plan.dense;
}

// One line on stderr.
void say_on_stderr(const std::string& line) {
  cellpath::py::builtin("print")(line, "file"_a = nb::module_::import_("sys").attr("stderr"));
}

// An integer option; one beyond 64 bits is refused by name (a seed that large
// is a seed like any other: numpy takes it) into `refused`, unless something
// was refused before it.
std::optional<long long> given_count(nb::handle v, const char* flag, std::string& refused) {
  if (v.is_none()) return std::nullopt;
  const long long x = PyLong_AsLongLong(v.ptr());
  if (!(x == -1 && PyErr_Occurred())) return x;
  PyErr_Clear();
  const bool negative = PyObject_RichCompareBool(v.ptr(), nb::int_(0).ptr(), Py_LT) == 1;
  if (std::string(flag) == "--seed") return negative ? -1 : LLONG_MAX;
  if (refused.empty())
    refused = std::string("argument ") + flag + ": " + str_of(v) +
              (negative ? " must be a positive integer" : " is too large");
  return std::nullopt;
}

// The command line read and checked, each option read once: the cache to plan
// on, the planner's options as given (run.clearance: --clearance, or a dict
// of it with the --clearance-for exceptions), the switches and the timing
// options.
struct CommandLine {
  std::filesystem::path cache_dir;
  RunOptions run;
  std::optional<double> clearance;  // --clearance
  std::optional<std::vector<std::string>> clearance_for;
  bool strict = false;
  brimwell::TimingOptions timing{};
};

// --clearance with its --clearance-for exceptions as the context's dict, or
// the refusal that says what to give.
std::string read_clearances(CommandLine& c) {
  c.run.clearance = nb::cast(c.clearance);
  if (!c.clearance_for) return "";
  nb::object to_float = cellpath::py::builtin("float");
  auto metres_of = [&](const std::string& text) {
    try {
      return nb::cast<double>(to_float(text));
    } catch (nb::python_error& e) {
      if (!e.matches(PyExc_ValueError)) throw;
      return std::numeric_limits<double>::quiet_NaN();
    }
  };
  brimwell::BodyClearances given;
  const std::string refused =
      brimwell::body_clearances_refusal(c.clearance, *c.clearance_for, metres_of, given);
  if (!refused.empty()) return refused;
  nb::dict out;
  for (const auto& [name, metres] : given) out[nb::str(name.c_str())] = metres;
  c.run.clearance = out;
  // Names the cache does not list are refused here, before anything loads.
  std::vector<std::string> names;
  try {
    for (const auto& body : cellpath::py::read_capture(c.cache_dir).env) names.push_back(body.name);
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return "";  // the planner says what is wrong with the cache
  } catch (const nb::builtin_exception&) {
    return "";
  }
  return brimwell::unknown_body_refusal(given, names, c.cache_dir.native());
}

// The options' values out of argparse's namespace `args` (a dict of it).
CommandLine command_values(nb::dict args) {
  CommandLine c;
  nb::object cache_dir = args["cache_dir"];
  c.cache_dir = cellpath::py::path_arg(
      cache_dir.is_none() ? nb::object(self_module().attr("CACHE_DIR")) : cache_dir);
  c.run = {.planner = args["planner"],
           .seed = args["seed"],
           .clearance = nb::none(),
           .max_iters = args["max_iters"],
           .time_limit = args["time_limit"],
           .jobs = args["jobs"],
           .self_collision = nb::cast<bool>(args["self_collision"]),
           .lazy_proof = nb::cast<bool>(args["lazy_proof"])};
  c.clearance = nb::cast<std::optional<double>>(args["clearance"]);
  c.clearance_for = nb::cast<std::optional<std::vector<std::string>>>(args["clearance_for"]);
  c.strict = nb::cast<bool>(args["strict"]);
  c.timing.text = {
      .timed = nb::cast<bool>(args["timed"]),
      .max_velocity = nb::cast<std::optional<std::string>>(args["max_velocity"]),
      .max_acceleration = nb::cast<std::optional<std::string>>(args["max_acceleration"]),
      .joint_names = nb::cast<bool>(args["joint_names"])};
  return c;
}

// The refusals that need the cache, in the order argparse would meet them.
std::string cache_refusal(CommandLine& c) {
  std::string refused = brimwell::lazy_proof_refusal(c.run.lazy_proof, c.clearance.has_value());
  if (refused.empty()) refused = read_clearances(c);
  if (refused.empty()) refused = brimwell::check_timing_options(c.timing, c.cache_dir);
  if (refused.empty()) refused = brimwell::strict_refusal(c.strict, c.clearance.has_value());
  return refused;
}

CommandLine read_command_line(nb::handle argv) {
  nb::object parser = cellpath::py::make_parser(brimwell::planner_command_line(), self_module());
  // Anything else is ignored (so main() also runs from inside other programs
  // whatever their argv), with a note on stderr so that a directory typed on
  // the command line is not silently mistaken for the one planned.
  nb::object known = parser.attr("parse_known_args")(argv);
  nb::dict args = nb::cast<nb::dict>(cellpath::py::builtin("vars")(known[nb::int_(0)]));
  nb::object ignored = known[nb::int_(1)];
  CommandLine c = command_values(args);
  std::string first;  // refused before the note on ignored arguments
  brimwell::CommandLineNumbers numbers{given_count(c.run.seed, "--seed", first), c.clearance,
                                       given_count(c.run.max_iters, "--max-iters", first),
                                       nb::cast<std::optional<double>>(c.run.time_limit),
                                       given_count(c.run.jobs, "--jobs", first)};
  std::string refused = brimwell::command_line_error(numbers);
  if (first.empty() && cellpath::starts_with(refused, "argument --seed")) first = refused;
  if (!first.empty()) {
    refused = first;
  } else {
    if (nb::len(ignored) > 0)
      say_on_stderr("Brimwell: ignoring arguments " + repr_of(ignored) + " (it plans on " +
                    c.cache_dir.native() + "; set CELLPATH_CACHE_DIR to plan elsewhere)");
    if (refused.empty()) refused = cache_refusal(c);
  }
  if (!refused.empty()) parser.attr("error")(refused);
  return c;
}

// After a plan without a clearance: the line naming the rows, and the motions
// between rows, that touch under the exact meshes ("" when none does, or when
// the check cannot run here).
std::string exact_contacts(const std::filesystem::path& cache_dir, const Plan& plan) {
  nb::object check;
  try {
    check = nb::module_::import_("cellpath_cli.contacts").attr("contacts_line");
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_ModuleNotFoundError)) throw;
    return "";
  }
  const PlanningContext& ctx = *nb::inst_ptr<PlanningContext>(plan.ctx);
  nb::object line = check(nb::cast(cache_dir), plan.dense, "allowed_pairs"_a = ctx.allowed_pairs,
                          "self_collision"_a = ctx.self_collision);
  return line.is_none() ? std::string() : str_of(line);
}

// Exit status 1 after one line on stderr, as a failed timing ends.
[[noreturn]] void exit_with(const std::string& line) {
  say_on_stderr(line);
  nb::object code = nb::int_(1);
  PyErr_SetObject(PyExc_SystemExit, code.ptr());
  throw nb::python_error();
}

// The timed files of the plan, or a line on stderr and exit status 1 when the
// timing fails (a bad limits file or value stays the Python error it was).
std::optional<brimwell::TimedFiles> timed_plan(const CommandLine& c, const Plan& plan) {
  try {
    return brimwell::timed_outputs(c.timing, c.cache_dir, plan.view(), plan.ctx);
  } catch (const nb::builtin_exception&) {
    throw;
  } catch (const std::runtime_error& e) {
    exit_with(std::string("Brimwell: error: ") + e.what() +
              " (nothing saved: the cache keeps its earlier trajectory)");
  }
}

void main_entry(nb::handle argv) {
  const CommandLine c = read_command_line(argv);
  // One run at a time on a cache; the plan, its timing and its record are put
  // in place together after everything succeeded, so a run that fails or is
  // interrupted leaves the earlier set as it was.
  const RunFiles files(nb::cast(c.cache_dir), "Brimwell");
  const Plan plan = plan_through_waypoints(c.cache_dir, c.run, checked_options(c.run));
  const std::optional<brimwell::TimedFiles> timed = timed_plan(c, plan);
  const std::string contacts = c.clearance ? std::string() : exact_contacts(c.cache_dir, plan);
  if (c.strict && !contacts.empty())
    exit_with("Brimwell: error: " + contacts +
              " (--strict: nothing saved, the cache keeps its earlier trajectory)");
  nb::dict record = run_options(c.run);
  record["command"] = files.command_text("Brimwell", argv);
  if (timed) {
    record["max_velocity"] = nb::cast(c.timing.text.max_velocity);
    record["max_acceleration"] = nb::cast(c.timing.text.max_acceleration);
  }
  files.save_plan(c.cache_dir, plan, timed, record);
  if (timed) brimwell::say_timed_saved(*timed, c.cache_dir);
  if (!contacts.empty()) print_line(contacts);
}

}  // namespace

void register_driver(nb::module_& m) {
  m.def("ProvideRRTPlan", &provide_rrt_plan, "cache_dir"_a = m.attr("CACHE_DIR"), nb::kw_only(),
        nb::arg("planner").none() = "rrtstar", nb::arg("seed").none().sig("SEED") = nb::none(),
        "self_collision"_a = false, nb::arg("clearance").none() = nb::none(),
        "max_iters"_a = nb::none(), "time_limit"_a = nb::none(), "jobs"_a = nb::none(),
        "lazy_proof"_a = false, doc::kProvideRRTPlan);
  m.def("save_colliding_waypoint", &save_colliding_waypoint, "cache_dir"_a, "index"_a, "theta"_a,
        doc::kSaveCollidingWaypoint);
  m.def("main", &main_entry, "argv"_a = nb::none(), doc::kMain);
}

}  // namespace brimwell_py
