// The driver's segments as Python sees them: the module's tuning values and
// the driver's options read once per call, and the host the planning core
// (segment_core.hpp, trajectory.hpp) asks for what needs the interpreter:
// the caller's generators, printing, the cache's files and explanations.
#include "Brimwell/py_planning.hpp"

#include "common/text.hpp"

#include "common/capture_reader.hpp"
#include "common/file_path.hpp"
#include "common/mesh_archive.hpp"

#include <nanobind/stl/string.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <optional>
#include <system_error>

namespace brimwell_py {

PlannerSettings settings_from_module() {
  nb::module_ m = self_module();
  auto number = [&](const char* name) { return nb::cast<double>(m.attr(name)); };
  PlannerSettings s;
  s.rrt_star_gamma = number("RRT_STAR_GAMMA");
  s.goal_connect_radius = number("GOAL_CONNECT_RADIUS");
  s.edge_res = number("EDGE_RES");
  s.auto_time_limit = number("AUTO_TIME_LIMIT");
  s.retry_growth = number("RETRY_GROWTH");
  return s;
}

Planner planner_of(nb::handle name) {
  if (nb::isinstance<nb::str>(name)) {
    const std::string s = nb::cast<std::string>(name);
    if (s == "rrtstar") return Planner::RrtStar;
    if (s == "connect") return Planner::Connect;
    if (s == "auto") return Planner::Auto;
  }
  throw nb::value_error(
      ("planner must be 'rrtstar', 'connect' or 'auto', got " + repr_of(name)).c_str());
}

Budget budget_of(const PlannerSettings& settings, Planner planner, nb::handle max_iters,
                 nb::handle time_limit) {
  Budget b;
  b.max_iters = settings.max_iters;
  if (!max_iters.is_none()) {
    if (PyBool_Check(max_iters.ptr()) || !PyLong_Check(max_iters.ptr()))
      throw nb::value_error(
          ("max_iters must be a positive integer, got " + repr_of(max_iters)).c_str());
    b.max_iters = to_index(max_iters);
    if (b.max_iters <= 0)
      throw nb::value_error(
          ("max_iters must be a positive integer, got " + repr_of(max_iters)).c_str());
  }
  if (!time_limit.is_none()) {
    if (PyBool_Check(time_limit.ptr()))
      throw nb::value_error("time_limit must be a positive number of seconds, got a bool");
    b.time_limit = cellpath::py::to_double(time_limit);
    if (!(b.time_limit > 0.0) || !std::isfinite(b.time_limit))
      throw nb::value_error(
          ("time_limit must be a positive number of seconds, got " + repr_of(time_limit)).c_str());
  } else if (planner == Planner::Auto) {
    b.time_limit = settings.auto_time_limit;
  }
  return b;
}

namespace {

// ---------------------------------------------------------------------------
// LinearSegments.npz: one (m, n) array per straight tool move, keyed "i->i+1"
// by the waypoints it joins, its first and last rows those waypoints exactly.

std::map<std::size_t, brimwell::Rows> load_given_segments(const std::filesystem::path& cache_dir,
                                                          const brimwell::Rows& waypoints) {
  std::map<std::size_t, brimwell::Rows> given;
  const std::filesystem::path path = cellpath::in_dir(cache_dir, brimwell::kLinearSegmentsFile);
  std::error_code missing;
  if (!std::filesystem::exists(path, missing)) return given;
  // Anything but an .npz archive (a .npy under this name, garbage numpy takes for
  // pickled data) is named with what to do, not with numpy's words.
  const std::string refused =
      path.native() +
      " is not an archive of straight tool moves: cellpath-task writes it; run that again, or "
      "remove the file to plan every segment";
  std::optional<cellpath::py::OpenArchive> archive;
  try {
    archive.emplace(path);
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception) || e.matches(PyExc_OSError)) throw;
    throw nb::value_error(refused.c_str());
  } catch (const nb::builtin_exception&) {
    throw nb::value_error(refused.c_str());
  }
  for (nb::handle key_h : archive->names()) {
    const std::string key = nb::cast<std::string>(key_h);
    const std::size_t i = brimwell::given_segment_index(key, waypoints.size());
    Array<double> a = cellpath::py::as_f64(cellpath::py::asarray_f64(archive->member(key_h)));
    for (auto& row : brimwell::given_segment_rows(key, i, a.data, a.shape, waypoints))
      given[i].push_back(std::move(row));
  }
  archive->close();
  return given;
}

// The refusal of a waypoint that is valid but for its clearance, the link
// and obstacle named as the cache's meta.json names them.
[[noreturn]] void refuse_close_waypoint(PlanningContext& c, const std::filesystem::path& cache_dir,
                                        std::size_t index) {
  // The names only word the refusal: a meta.json that cannot give them
  // leaves the numbers.
  const std::size_t link = c.model->first_unclear(*c.data);
  cellpath::capture::Capture capture;
  if (link != 0) {
    try {
      capture = cellpath::py::read_capture(cache_dir);
    } catch (nb::python_error& e) {
      if (!e.matches(PyExc_Exception)) throw;  // an interrupt goes on
    } catch (std::exception&) {
    }
  }
  std::vector<std::string> bodies;
  for (const auto& body : capture.env) bodies.push_back(body.name);
  const std::string text =
      brimwell::too_close_text(index, *c.model, *c.data, link, capture.link_names(), bodies);
  print_line(text);
  throw std::runtime_error(text);
}

// A dense-path check's progress bar.
struct ProgressCounter final : brimwell::Counter {
  TerminalBar display;
  brimwell::Progress progress;
  ProgressCounter(const std::string& stage, std::int64_t total)
      : display(stage, total), progress(display) {}
  void count(std::int64_t done) override { progress.count(done); }
};

class PyDriverHost final : public brimwell::DriverHost {
 public:
  PyDriverHost(ContextAdapter& ctx, const std::filesystem::path& cache_dir,
               RunGenerators& generators, const brimwell::TrajectoryRequest& request)
      : ctx_(ctx),
        context_(*nb::inst_ptr<PlanningContext>(ctx.object())),
        cache_dir_(cache_dir),
        generators_(generators),
        request_(request) {}

  void say(const std::string& line) override { brimwell_py::print_line(line); }
  std::string vector_text(const std::vector<double>& q) override {
    return str_of(to_numpy(q.data(), q.size()));
  }
  brimwell::RrtResult rrt_star(std::size_t seg, const brimwell::RrtSettings& settings,
                               const double* start, const double* goal,
                               const std::string& stage) override {
    return run_rrt_star(ctx_, rng(seg), settings, start, goal, stage);
  }
  brimwell::ConnectResult connect(std::size_t seg, const brimwell::ConnectSettings& settings,
                                  const double* start, const double* goal,
                                  const std::string& stage) override {
    return run_connect(ctx_, rng(seg), settings, start, goal, stage);
  }
  std::pair<std::int64_t, std::int64_t> pick_two(std::size_t seg, std::size_t len) override {
    return draw_pair(rng(seg), len);
  }
  void released(const std::function<void()>& work) override { without_interpreter(work); }

  [[noreturn]] void refuse_out_of_limits(std::size_t i) override {
    explain_limits(context_, cache_dir_, i, request_.waypoints[i]);
    throw std::runtime_error("Waypoint " + std::to_string(i) +
                             " violates joint limits: " + vector_text(request_.waypoints[i]));
  }
  [[noreturn]] void refuse_too_close(std::size_t i) override {
    refuse_close_waypoint(context_, cache_dir_, i);
  }
  [[noreturn]] void refuse_in_collision(std::size_t i) override {
    const std::vector<double>& q = request_.waypoints[i];
    save_colliding_waypoint(nb::cast(cache_dir_), static_cast<std::int64_t>(i),
                            to_numpy(q.data(), q.size()));
    explain_contacts(context_, cache_dir_, i, q);
    throw std::runtime_error("Waypoint " + std::to_string(i) +
                             " is in collision: " + vector_text(q));
  }
  std::map<std::size_t, brimwell::Rows> given_segments() override {
    return load_given_segments(cache_dir_, request_.waypoints);
  }
  std::vector<brimwell::bitgen_t*> native_generators(
      const std::vector<std::size_t>& todo) override {
    return generator_states(segment_rngs(), todo);
  }
  std::unique_ptr<brimwell::Counter> counter(const std::string& stage,
                                             std::int64_t total) override {
    return std::make_unique<ProgressCounter>(stage, total);
  }

 private:
  // With jobs, segment i draws from a generator of its own (spawned from the
  // seed), else every segment from the run's one generator.
  nb::handle rng(std::size_t seg) {
    return request_.jobs ? nb::handle(segment_rngs()[seg]) : generators_.run();
  }
  const std::vector<nb::object>& segment_rngs() {
    const std::size_t n = request_.waypoints.size();
    return generators_.per_segment(n > 1 ? n - 1 : 0);
  }

  ContextAdapter& ctx_;
  PlanningContext& context_;  // the driver's own context
  const std::filesystem::path& cache_dir_;
  RunGenerators& generators_;
  const brimwell::TrajectoryRequest& request_;
};

}  // namespace

brimwell::Trajectory plan_on_context(ContextAdapter& ctx, const std::filesystem::path& cache_dir,
                                     RunGenerators& generators,
                                     const brimwell::TrajectoryRequest& request) {
  PyDriverHost host(ctx, cache_dir, generators, request);
  PlanningContext& c = *nb::inst_ptr<PlanningContext>(ctx.object());
  return brimwell::plan_trajectory(host, ctx, {c.model.get(), c.data.get()}, ctx.native_arm(),
                                   request);
}

}  // namespace brimwell_py
