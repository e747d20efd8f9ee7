// The trajectory driver (ProvideRRTPlan) and the command line: waypoints
// checked, one segment planned per consecutive pair, the chain densified,
// re-checked and saved.
#include "Brimwell/py_planning.hpp"

#include "Brimwell/timing.hpp"
#include "common/text.hpp"

#include "common/atomic_file.hpp"
#include "common/py_cli.hpp"

#include <nanobind/stl/string.h>

#include <climits>
#include <optional>

namespace brimwell_py {

namespace {

// Files are written whole (common/atomic_file.hpp): a failed or interrupted
// write never leaves a partial file and never destroys the previous one.
using cellpath::py::write_atomically;

}  // namespace

void save_colliding_waypoint(nb::handle cache_dir, std::int64_t index, nb::handle theta_in) {
  nb::module_ np = numpy();
  nb::object theta =
      np.attr("asarray")(cellpath::py::real_numbers(theta_in), "dtype"_a = np.attr("float64"));
  print_line("\nWaypoint " + std::to_string(index) + " is in collision");
  print_line("  theta: " + cellpath::py::theta_text(theta));
  nb::object path = cellpath::py::join_path(cache_dir, "CollisionWaypoint.npz");
  write_atomically(path, [&](nb::handle fh) {
    np.attr("savez")(fh, "index"_a = np.attr("int64")(index), "theta"_a = theta);
  });
  print_line("  Saved to " + str_of(path) + " -- run Velquist to inspect it.");
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

// The driver's context, and its lines.
nb::object load_context(nb::handle cache_dir, bool self_collision, nb::handle clearance,
                        bool lazy_proof) {
  const auto t0 = std::chrono::steady_clock::now();
  // Built in place: the driver's context is the module's own class, never a
  // name a caller could replace, so its constructor is called directly.
  nb::object ctx_obj = nb::inst_alloc(nb::type<PlanningContext>());
  new (nb::inst_ptr<PlanningContext>(ctx_obj))
      PlanningContext(cache_dir, self_collision, clearance, lazy_proof);
  nb::inst_mark_ready(ctx_obj);
  print_line("Environment loaded in " + brimwell::fixed2(brimwell::seconds_since(t0)) + "s");
  if (!clearance.is_none()) {
    const brimwell::ArmModel& m = *nb::inst_ptr<PlanningContext>(ctx_obj)->model;
    print_line("Clearance: every configuration, and the motion between them, proven at least " +
               m.clearance_metres() + " m from the environment" + m.clearance_note());
  }
  if (lazy_proof && !clearance.is_none())
    print_line(
        "Lazy proof: segments searched on sampled edges, then every edge of the path kept "
        "proven (split or re-planned where it is not)");
  if (self_collision)
    print_line(
        "Self-collision: links tested against each other, except the pairs allowed to touch " +
        str_of(ctx_obj.attr("allowed_pairs")));
  return ctx_obj;
}

brimwell::Rows load_waypoints(nb::handle cache_dir, std::size_t n) {
  nb::module_ np = numpy();
  nb::object wp_obj = np.attr("load")(cellpath::py::join_path(cache_dir, "WaypointJointAngles.npy"),
                                      "allow_pickle"_a = false);
  Array<double> wp =
      cellpath::py::as_f64(np.attr("asarray")(wp_obj, "dtype"_a = np.attr("float64")));
  brimwell::Rows rows = brimwell::waypoint_rows(wp.data, wp.shape, n);
  print_line("Loaded " + std::to_string(rows.size()) + " waypoints, shape " +
             cellpath::py::shape_text(wp.shape));
  return rows;
}

// The plan and the context it was planned with (the command line times the
// plan with the same context: the environment is built once per run).
std::pair<nb::object, nb::object> plan_through_waypoints(
    nb::handle cache_dir_in, nb::handle planner_in, nb::handle seed_in, bool self_collision,
    nb::handle clearance_in, nb::handle max_iters, nb::handle time_limit,
    nb::handle jobs_in = nb::none(), bool lazy_proof = false) {
  brimwell::TrajectoryRequest request;
  request.settings = settings_from_module();
  request.planner = planner_of(planner_in);
  request.budget = budget_of(request.settings, request.planner, max_iters, time_limit);
  nb::object seed = seed_of(seed_in);
  // A bad clearance is refused before anything is loaded.
  const bool clearance_on = !clearance_in.is_none();
  if (clearance_on) clearance_arg(clearance_in);
  if (lazy_proof && !clearance_on)
    throw nb::value_error("lazy_proof needs a clearance: without one no edge is proven");
  nb::module_ np = numpy();
  nb::object cache_dir = cellpath::py::as_path(cache_dir_in);
  nb::object rng = np.attr("random").attr("default_rng")(seed);
  request.jobs = jobs_in.is_none() ? 0 : jobs_of(jobs_in);

  nb::object ctx_obj = load_context(cache_dir, self_collision, clearance_in, lazy_proof);
  request.waypoints = load_waypoints(cache_dir, nb::inst_ptr<PlanningContext>(ctx_obj)->n);
  const brimwell::Trajectory t = plan_on_context(ctx_obj, cache_dir, rng, seed, request);

  const std::size_t n = request.waypoints[0].size();
  nb::object dense = cellpath::py::new_array(t.rows, {t.count, n});
  return {dense, ctx_obj};
}

// cellpath_cli.runs (the cache's lock, a run's outputs put in place together and
// its record), or None in a bare build tree without it: the trajectory is then
// written alone, as it always was.
nb::object runs_module() {
  try {
    return nb::module_::import_("cellpath_cli.runs");
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_ModuleNotFoundError)) throw;
    return nb::none();
  }
}

// The cache's lock for the life of a run: a second run on the same cache waits.
class CacheLock {
 public:
  CacheLock(nb::handle runs, nb::handle cache_dir, const char* who) {
    if (runs.is_none()) return;
    lock_ = runs.attr("cache_lock")(cache_dir, who);
    lock_.attr("__enter__")();
  }
  ~CacheLock() {
    if (!lock_.is_valid()) return;
    PyObject *type, *value, *trace;
    PyErr_Fetch(&type, &value, &trace);
    try {
      nb::object none = nb::none();
      lock_.attr("__exit__")(none, none, none);
    } catch (...) {
    }
    PyErr_Clear();
    PyErr_Restore(type, value, trace);
  }
  CacheLock(const CacheLock&) = delete;
  CacheLock& operator=(const CacheLock&) = delete;

 private:
  nb::object lock_;
};

// The run's options for its record.
nb::dict run_options(nb::handle planner, nb::handle seed, bool self_collision, nb::handle clearance,
                     nb::handle max_iters, nb::handle time_limit, nb::handle jobs) {
  nb::dict d;
  d["planner"] = planner.is_none() ? nb::object(nb::str("rrtstar")) : nb::borrow(planner);
  d["seed"] = seed_of(seed);
  d["self_collision"] = self_collision;
  d["clearance"] = clearance;
  d["max_iters"] = max_iters;
  d["time_limit"] = time_limit;
  d["jobs"] = jobs;
  return d;
}

// The plan's files put in place as one set (the trajectory, the timed files or
// none at all, the run record last), then the line that says where.
void save_plan(nb::handle runs, nb::handle cache_dir_in, nb::handle dense, nb::handle timed,
               nb::dict record) {
  nb::object cache_dir = cellpath::py::as_path(cache_dir_in);
  nb::object out_path = cellpath::py::join_path(cache_dir, "JointAnglesToTravelAlong.npy");
  if (runs.is_none()) {
    write_atomically(out_path, [&](nb::handle fh) { numpy().attr("save")(fh, dense); });
    if (!timed.is_none()) {
      write_atomically(cellpath::py::join_path(cache_dir, "TimedTrajectory.npz"),
                       [&](nb::handle fh) { numpy().attr("savez")(fh, **timed[1]); });
      write_atomically(cellpath::py::join_path(cache_dir, "TimedTrajectory.csv"),
                       [&](nb::handle fh) { fh.attr("write")(timed[2]); });
    }
  } else
    runs.attr("save_plan")(cache_dir, dense, timed, record);
  nb::object shape = dense.attr("shape");
  print_line(
      "Saved trajectory to " + str_of(out_path) + " with shape " +
      cellpath::py::shape_text({nb::cast<std::size_t>(shape[0]), nb::cast<std::size_t>(shape[1])}));
}

nb::object provide_rrt_plan(nb::handle cache_dir, nb::handle planner, nb::handle seed,
                            bool self_collision, nb::handle clearance, nb::handle max_iters,
                            nb::handle time_limit, nb::handle jobs, bool lazy_proof) {
  nb::object runs = runs_module();
  CacheLock lock(runs, cache_dir, "ProvideRRTPlan");
  nb::object dense = plan_through_waypoints(cache_dir, planner, seed, self_collision, clearance,
                                            max_iters, time_limit, jobs, lazy_proof)
                         .first;
  nb::dict record =
      run_options(planner, seed, self_collision, clearance, max_iters, time_limit, jobs);
  record["lazy_proof"] = lazy_proof;
  record["command"] = "ProvideRRTPlan";
  save_plan(runs, cache_dir, dense, nb::none(), record);
  return dense;
}

// The planning options of the command line, in --help's order; two of them
// name a tuning default in their help.
std::vector<cellpath::cli::Argument> planning_options() {
  using cellpath::cli::Default;
  using cellpath::cli::Type;
  static const std::string max_iters_help =
      "iterations of each planner's first attempt at a segment (default " +
      std::to_string(brimwell::tuning::kMaxIters) + ")";
  static const std::string time_limit_help = [] {
    char limit[32];
    std::snprintf(limit, sizeof limit, "%g", brimwell::tuning::kAutoTimeLimit);
    return "per segment: retry a failed RRT-Connect with larger budgets until this much time "
           "has passed (auto: " +
           std::string(limit) + " s unless given)";
  }();
  auto number = [](const char* flag, const char* metavar, Type type, const char* help) {
    return cellpath::cli::Argument{.flag = flag,
                                   .help = help,
                                   .metavar = metavar,
                                   .type = type,
                                   .default_value = Default::none};
  };
  auto with = [](const char* flag, const char* help) {
    return cellpath::cli::Argument{.flag = flag, .help = help, .action = "store_true"};
  };
  return {
      number("--seed", "N", Type::integer,
             "seed of the random generator (default: the module's SEED)"),
      with("--self-collision",
           "also reject configurations in which two links that may not touch overlap"),
      number("--clearance", "METRES", Type::real,
             "prove every configuration and every motion of the plan at least this far from "
             "the environment (exact meshes)"),
      with("--lazy-proof",
           "with --clearance: search on sampled edges and prove only the path kept (much "
           "faster; the same guarantee)"),
      number("--max-iters", "N", Type::integer, max_iters_help.c_str()),
      number("--time-limit", "SECONDS", Type::real, time_limit_help.c_str()),
      number("--jobs", "N", Type::integer,
             "plan the segments on N threads, each segment drawing from a generator of its own "
             "derived from the seed (the same plan for every N)"),
      with("--strict",
           "without --clearance: fail (exit status 1, the earlier trajectory kept) when the "
           "exact meshes find the plan touching an obstacle"),
  };
}

// The command line as data (common/command_line.hpp), in --help's order.
cellpath::cli::Parser command_line() {
  cellpath::cli::Parser c{
      .prog = "Brimwell",
      .description =
          "Plan a collision-free joint trajectory through the waypoints of the "
          "capture cache beside the module (or the directory named by "
          "CELLPATH_CACHE_DIR, or --cache-dir) and save it there as "
          "JointAnglesToTravelAlong.npy.",
      .arguments = {
          {.flag = "--cache-dir",
           .help = "the capture cache to plan on",
           .metavar = "DIR",
           .default_value = cellpath::cli::Default::none},
          {.flag = "--planner",
           .help = "rrtstar (default); connect: RRT-Connect for every segment; auto: RRT* "
                   "first, RRT-Connect for a segment RRT* cannot plan",
           .default_value = cellpath::cli::Default::text,
           .default_text = "rrtstar",
           .choices = {"rrtstar", "connect", "auto"}},
      }};
  for (const cellpath::cli::Argument& a : planning_options()) c.arguments.push_back(a);
  c.arguments.push_back(
      {.flag = "--clearance-for",
       .help = "with --clearance: keep the environment body BODY (as meta.json names it) "
               "METRES away instead (0: out of the clearance, contact still forbidden); "
               "repeatable",
       .action = "append",
       .metavar = "BODY=METRES",
       .default_value = cellpath::cli::Default::none});
  brimwell::add_timing_options(c);
  return c;
}

nb::object make_parser() { return cellpath::py::make_parser(command_line(), self_module()); }

// --clearance with its --clearance-for exceptions as the context's dict, or a
// command-line error that says what to give.
nb::object clearance_of(nb::handle parser, nb::handle args, nb::handle cache_dir) {
  nb::object clearance = args.attr("clearance"), exceptions = args.attr("clearance_for");
  if (exceptions.is_none()) return clearance;
  auto error = [&](const std::string& text) {
    parser.attr("error")("argument --clearance-for: " + text);
  };
  if (clearance.is_none())
    error(
        "needs --clearance METRES, the clearance of the bodies it does not name (say "
        "--clearance 0.01 --clearance-for pedestal=0)");
  nb::dict out;
  out["default"] = clearance;
  for (nb::handle item : exceptions) {
    const std::string text = str_of(item);
    const std::size_t eq = text.rfind('=');
    if (eq == std::string::npos || eq == 0) error("expected BODY=METRES, got '" + text + "'");
    double metres = std::numeric_limits<double>::quiet_NaN();
    try {
      metres = nb::cast<double>(cellpath::py::builtin("float")(text.substr(eq + 1)));
    } catch (nb::python_error& e) {
      if (!e.matches(PyExc_ValueError)) throw;
    }
    if (!(metres >= 0.0) || !std::isfinite(metres))
      error("'" + text + "': METRES must be a finite number of metres, not negative");
    out[nb::str(text.substr(0, eq).c_str())] = metres;
  }
  // Names the cache does not list are refused here, before anything loads.
  std::vector<std::string> names;
  try {
    for (const auto& body : cellpath::py::read_capture(cache_dir).env) names.push_back(body.name);
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return out;  // the planner says what is wrong with the cache
  } catch (const nb::builtin_exception&) {
    return out;
  }
  for (nb::handle key : out.keys()) {
    const std::string name = str_of(key);
    if (name == "default" || std::find(names.begin(), names.end(), name) != names.end()) continue;
    std::string listed;
    for (const std::string& n : names) listed += (listed.empty() ? "" : ", ") + n;
    error(str_of(cache_dir) + " lists no environment body named '" + name + "' (" +
          (names.empty() ? std::string("it lists none") : "its bodies: " + listed) + ")");
  }
  return out;
}

// An option's number, or nothing when it was not given.
std::optional<double> given_real(nb::handle args, const char* name) {
  nb::object v = args.attr(name);
  return v.is_none() ? std::nullopt : std::optional<double>(nb::cast<double>(v));
}

// An integer option; one beyond 64 bits is refused by name (a seed that large
// is a seed like any other: numpy takes it).
std::optional<long long> given_count(nb::handle parser, nb::handle args, const char* name,
                                     const char* flag) {
  nb::object v = args.attr(name);
  if (v.is_none()) return std::nullopt;
  const long long x = PyLong_AsLongLong(v.ptr());
  if (!(x == -1 && PyErr_Occurred())) return x;
  PyErr_Clear();
  const bool negative = PyObject_RichCompareBool(v.ptr(), nb::int_(0).ptr(), Py_LT) == 1;
  if (std::string(flag) == "--seed") return negative ? -1 : LLONG_MAX;
  parser.attr("error")(std::string("argument ") + flag + ": " + str_of(v) +
                       (negative ? " must be a positive integer" : " is too large"));
  return std::nullopt;
}

// After a plan without a clearance: the line naming the rows, and the motions
// between rows, that touch under the exact meshes ("" when none does, or when
// the check cannot run here).
std::string exact_contacts(nb::handle cache_dir, nb::handle dense, nb::handle ctx) {
  nb::object check;
  try {
    check = nb::module_::import_("cellpath_cli.contacts").attr("contacts_line");
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_ModuleNotFoundError)) throw;
    return "";
  }
  nb::object line = check(cache_dir, dense, "allowed_pairs"_a = ctx.attr("allowed_pairs"),
                          "self_collision"_a = ctx.attr("self_collision"));
  return line.is_none() ? std::string() : str_of(line);
}

// Exit status 1 after one line on stderr, as a failed timing ends.
[[noreturn]] void exit_with(const std::string& line) {
  cellpath::py::builtin("print")(line, "file"_a = nb::module_::import_("sys").attr("stderr"));
  nb::object code = nb::int_(1);
  PyErr_SetObject(PyExc_SystemExit, code.ptr());
  throw nb::python_error();
}

nb::object argv_of(nb::handle argv) {
  if (!argv.is_none()) return nb::borrow(argv);
  nb::list rest;
  nb::object all = nb::module_::import_("sys").attr("argv");
  for (std::size_t i = 1; i < nb::len(all); ++i) rest.append(all[i]);
  return rest;
}

// The command line read and checked, each option read once: the cache to plan
// on, the planner's options as given (the run record keeps them so), the
// clearance the context is given (--clearance, or a dict of it with the
// --clearance-for exceptions), the switches and the timing options.
struct CommandLine {
  nb::object cache_dir, planner, seed, clearance, max_iters, time_limit, jobs;
  nb::object clearances{};
  bool self_collision = false, lazy_proof = false, strict = false;
  brimwell::TimingOptions timing{};
};

CommandLine read_command_line(nb::handle argv) {
  nb::object parser = make_parser();
  // Anything else is ignored (so main() also runs from inside other programs
  // whatever their argv), with a note on stderr so that a directory typed on
  // the command line is not silently mistaken for the one planned.
  nb::object known = parser.attr("parse_known_args")(argv);
  nb::object args = known[nb::int_(0)];
  nb::object ignored = known[nb::int_(1)];
  brimwell::CommandLineNumbers numbers{
      given_count(parser, args, "seed", "--seed"), given_real(args, "clearance"),
      given_count(parser, args, "max_iters", "--max-iters"), given_real(args, "time_limit"),
      given_count(parser, args, "jobs", "--jobs")};
  const std::string refused = brimwell::command_line_error(numbers);
  if (refused.rfind("argument --seed", 0) == 0) parser.attr("error")(refused);
  nb::object cache_dir = args.attr("cache_dir");
  if (cache_dir.is_none()) cache_dir = self_module().attr("CACHE_DIR");
  if (nb::len(ignored) > 0)
    cellpath::py::builtin("print")("Brimwell: ignoring arguments " + repr_of(ignored) +
                                       " (it plans on " + str_of(cache_dir) +
                                       "; set CELLPATH_CACHE_DIR to plan elsewhere)",
                                   "file"_a = nb::module_::import_("sys").attr("stderr"));
  if (!refused.empty()) parser.attr("error")(refused);
  CommandLine c{.cache_dir = cache_dir,
                .planner = args.attr("planner"),
                .seed = args.attr("seed"),
                .clearance = args.attr("clearance"),
                .max_iters = args.attr("max_iters"),
                .time_limit = args.attr("time_limit"),
                .jobs = args.attr("jobs"),
                .self_collision = truth(args.attr("self_collision")),
                .lazy_proof = truth(args.attr("lazy_proof")),
                .strict = truth(args.attr("strict"))};
  if (c.lazy_proof && c.clearance.is_none())
    parser.attr("error")("argument --lazy-proof: needs --clearance METRES (it proves a clearance)");
  c.clearances = clearance_of(parser, args, cache_dir);
  c.timing = brimwell::check_timing_options(parser, args, cache_dir);
  if (c.strict && !c.clearance.is_none())
    parser.attr("error")(
        "--strict checks a plan made without --clearance; with it every motion "
        "is proven already: leave one out");
  return c;
}

void main_entry(nb::handle argv) {
  const CommandLine c = read_command_line(argv);
  // One run at a time on a cache; the plan, its timing and its record are put
  // in place together after everything succeeded, so a run that fails or is
  // interrupted leaves the earlier set as it was.
  nb::object runs = runs_module();
  CacheLock lock(runs, c.cache_dir, "Brimwell");
  auto [dense, ctx] =
      plan_through_waypoints(c.cache_dir, c.planner, c.seed, c.self_collision, c.clearances,
                             c.max_iters, c.time_limit, c.jobs, c.lazy_proof);
  nb::object timed;
  try {
    timed = brimwell::timed_outputs(c.timing, c.cache_dir, dense, ctx);
  } catch (const nb::builtin_exception&) {
    throw;  // a bad limits file or value: the Python error it always was
  } catch (const std::runtime_error& e) {
    exit_with(std::string("Brimwell: error: ") + e.what() +
              " (nothing saved: the cache keeps its earlier trajectory)");
  }
  const std::string contacts =
      c.clearance.is_none() ? exact_contacts(c.cache_dir, dense, ctx) : std::string();
  if (c.strict && !contacts.empty())
    exit_with("Brimwell: error: " + contacts +
              " (--strict: nothing saved, the cache keeps its earlier trajectory)");
  nb::dict record = run_options(c.planner, c.seed, c.self_collision, c.clearances, c.max_iters,
                                c.time_limit, c.jobs);
  record["lazy_proof"] = c.lazy_proof;
  record["command"] = runs.is_none() ? nb::object(nb::str("Brimwell"))
                                     : runs.attr("command_text")("Brimwell", argv_of(argv));
  if (!timed.is_none()) {
    record["max_velocity"] = c.timing.max_velocity;
    record["max_acceleration"] = c.timing.max_acceleration;
  }
  save_plan(runs, c.cache_dir, dense, timed, record);
  brimwell::say_timed_saved(timed, c.cache_dir);
  if (!contacts.empty()) print_line(contacts);
}

}  // namespace

void register_driver(nb::module_& m) {
  m.def("ProvideRRTPlan", &provide_rrt_plan, "cache_dir"_a = m.attr("CACHE_DIR"), nb::kw_only(),
        nb::arg("planner").none() = "rrtstar", nb::arg("seed").none().sig("SEED") = nb::none(),
        "self_collision"_a = false, nb::arg("clearance").none() = nb::none(),
        "max_iters"_a = nb::none(), "time_limit"_a = nb::none(), "jobs"_a = nb::none(),
        "lazy_proof"_a = false,
        "Plan through every waypoint of the cache: validate the waypoints, plan one segment "
        "per consecutive pair, densify at EDGE_RES, re-check every configuration and save "
        "JointAnglesToTravelAlong.npy into the cache.  Returns the trajectory.\n\n"
        "planner: 'rrtstar' (RRT*, each segment then smoothed), 'connect' (plan_segment_connect "
        "for every segment) or 'auto' (RRT* first, plan_segment_connect for a segment RRT* "
        "cannot plan; the segment line names the planner).  seed: the generator's seed "
        "(default the module's SEED, read at each call).  self_collision: the context also "
        "rejects configurations in which two links that may not touch overlap.  clearance: "
        "metres (finite, >= 0) that every configuration and every motion of the plan is proven "
        "to keep from the environment, or a dict of them per body with \"default\" for the "
        "others (PlanningContext's clearance); a waypoint closer than that is refused with a line "
        "naming the link, the obstacle and the distance.  max_iters: "
        "iterations of each planner's first attempt at a segment (default MAX_ITERS).  "
        "time_limit: seconds per segment; under 'auto' and 'connect' a failed RRT-Connect is "
        "tried again with RETRY_GROWTH times the iterations, drawing on from the same "
        "generator, until the limit (default AUTO_TIME_LIMIT under 'auto', none otherwise: "
        "no retries).  A segment stored in the cache's LinearSegments.npz (a straight tool "
        "move, keyed 'i->i+1') is taken as given: every edge is checked, nothing planned.  jobs: "
        "segment i draws from numpy.random.default_rng(SeedSequence(seed).spawn(K - 1)[i]) "
        "instead of one generator for the run, so the plan is the same for any jobs; under "
        "'connect' with a native context the segments are planned on `jobs` threads.  "
        "lazy_proof (with a clearance): each segment is searched and shortened on sampled "
        "edges, then every edge of its path is proven (PlanningContext's lazy_proof).  Raises "
        "ValueError for an unknown planner, a seed that is not a non-negative integer, a bad "
        "clearance or lazy_proof without one, RuntimeError when a segment cannot be planned (after "
        "a line naming it).");
  m.def("save_colliding_waypoint", &save_colliding_waypoint, "cache_dir"_a, "index"_a, "theta"_a,
        "Report a waypoint in collision and store it as CollisionWaypoint.npz (index, theta) in "
        "the cache for the collision viewer.");
  m.def("main", &main_entry, "argv"_a = nb::none(),
        "Command line: Brimwell [--cache-dir DIR] [--planner {rrtstar,connect,auto}] [--seed N] "
        "[--self-collision] [--clearance METRES [--clearance-for BODY=METRES ...] [--lazy-proof]] "
        "[--max-iters N] [--time-limit "
        "SECONDS] [--jobs N] "
        "[--timed [--max-velocity V[,V...]] "
        "[--max-acceleration A[,A...]] [--joint-names]]; "
        "plans on the default cache directory with RRT* when no option is given (see "
        "ProvideRRTPlan).  --timed also times the trajectory (time_parameterize, every sample "
        "checked) into TimedTrajectory.npz and TimedTrajectory.csv (its columns named after the "
        "cache's JointNames.json with --joint-names), with the plan's own context; "
        "the timed files of an earlier run are removed first, and a timing that fails ends "
        "with one line on stderr and exit status 1.");
}

}  // namespace brimwell_py
