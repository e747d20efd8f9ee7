// One segment of the trajectory driver: planned within a budget (retried with
// larger budgets and fresh draws under 'auto' and 'connect'), or taken as given
// from LinearSegments.npz (straight tool moves solved beforehand) and checked.
#include "Brimwell/connect.hpp"
#include "Brimwell/py_planning.hpp"

#include <nanobind/stl/string.h>

#include <cmath>
#include <limits>

namespace brimwell_py {

Planner planner_of(nb::handle name) {
  if (nb::isinstance<nb::str>(name)) {
    const std::string s = nb::cast<std::string>(name);
    if (s == "rrtstar") return Planner::RrtStar;
    if (s == "connect") return Planner::Connect;
    if (s == "auto") return Planner::Auto;
  }
  throw nb::value_error(
      ("planner must be 'rrtstar', 'connect' or 'auto', got " + py_str(nb::repr(name))).c_str());
}

Budget budget_of(Planner planner, nb::handle max_iters, nb::handle time_limit) {
  Budget b;
  if (!max_iters.is_none()) {
    if (PyBool_Check(max_iters.ptr()) || !PyLong_Check(max_iters.ptr()))
      throw nb::value_error(
          ("max_iters must be a positive integer, got " + py_str(nb::repr(max_iters))).c_str());
    b.max_iters = as_index(max_iters);
    if (b.max_iters <= 0)
      throw nb::value_error(
          ("max_iters must be a positive integer, got " + py_str(nb::repr(max_iters))).c_str());
  }
  if (!time_limit.is_none()) {
    if (PyBool_Check(time_limit.ptr()))
      throw nb::value_error("time_limit must be a positive number of seconds, got a bool");
    b.time_limit = cellpath::py::to_double(time_limit);
    if (!(b.time_limit > 0.0) || !std::isfinite(b.time_limit))
      throw nb::value_error(
          ("time_limit must be a positive number of seconds, got " + py_str(nb::repr(time_limit)))
              .c_str());
  } else if (planner == Planner::Auto) {
    b.time_limit = module_float("AUTO_TIME_LIMIT");
  }
  return b;
}

namespace {

std::string attempts_text(const std::vector<std::int64_t>& tried) {
  if (tried.size() == 1) return std::to_string(tried[0]) + " iterations";
  return std::to_string(tried.size()) + " attempts of " + std::to_string(tried.front()) + " to " +
         std::to_string(tried.back()) + " iterations";
}

}  // namespace

// The first attempt of each planner is the one the module always made (same
// draws, same lines), so a run that succeeded before is unchanged.  Each retry
// multiplies the iterations by RETRY_GROWTH and draws on from the same
// generator: a segment that succeeds on a retry does so identically on every
// run with the seed; only the time limit, checked between and inside
// attempts, can end the search sooner on a slower machine.
std::vector<std::vector<double>> plan_one_segment(Planner planner, const Budget& budget,
                                                  nb::handle ctx_obj, nb::object start,
                                                  nb::object goal, nb::handle rng,
                                                  const std::string& seg, std::size_t n) {
  using clock = std::chrono::steady_clock;
  auto t1 = clock::now();
  const bool timed = std::isfinite(budget.time_limit);
  const clock::time_point deadline =
      timed ? t1 + std::chrono::duration_cast<clock::duration>(
                       std::chrono::duration<double>(budget.time_limit))
            : clock::time_point::max();
  const std::string its = std::to_string(budget.max_iters);
  nb::list segment;
  bool by_connect = planner == Planner::Connect;
  if (!by_connect) {
    try {
      segment = plan_segment_impl(ctx_obj, start, goal, rng, budget.max_iters, kStep, kGoalBias,
                                  "Segment " + seg);
    } catch (const PlanFailure&) {
      if (planner == Planner::RrtStar) {
        say("Segment " + seg + ": RRT* found no path in " + its +
            " iterations (try --planner auto, which falls back to RRT-Connect)");
        throw;
      }
      say("Segment " + seg + ": RRT* found no path in " + its + " iterations, trying RRT-Connect");
      by_connect = true;
    }
  }
  std::vector<std::int64_t> tried;
  if (by_connect) {
    const double growth = module_float("RETRY_GROWTH");
    double iters = static_cast<double>(budget.max_iters);
    for (;;) {
      const auto attempt = static_cast<std::int64_t>(std::min(iters, 1e15));
      tried.push_back(attempt);
      try {
        segment = plan_segment_connect_impl(ctx_obj, start, goal, rng, attempt, kStep,
                                            "Segment " + seg, deadline);
        break;
      } catch (const PlanFailure&) {
        if (!timed || clock::now() >= deadline) {
          std::string tries = attempts_text(tried);
          if (timed) tries += ", time limit " + fixed2(budget.time_limit) + "s reached";
          say("Segment " + seg + ": " +
              (planner == Planner::Auto
                   ? "neither RRT* (" + its + " iterations) nor RRT-Connect (" + tries +
                         ") found a path"
                   : "RRT-Connect found no path (" + tries + ")"));
          throw;
        }
        say("Segment " + seg + ": RRT-Connect found no path in " + std::to_string(attempt) +
            " iterations, trying again with more");
        iters *= growth;
      }
    }
  }
  std::string line = "Segment " + seg + ": " + std::to_string(nb::len(segment)) + " nodes in " +
                     fixed2(seconds_since(t1)) + "s";
  if (tried.size() > 1)
    line += " (RRT-Connect, attempt " + std::to_string(tried.size()) + " with " +
            std::to_string(tried.back()) + " iterations)";
  else if (planner == Planner::Auto)
    line += by_connect ? " (RRT-Connect)" : " (RRT*)";
  say(line);
  nb::list kept = segment;
  if (!by_connect) {  // RRT-Connect's path comes shortened already
    kept = smooth_path(ctx_obj, segment, rng, kSmoothIters);
    say("Segment " + seg + ": smoothed to " + std::to_string(nb::len(kept)) + " nodes");
  }
  std::vector<std::vector<double>> out;
  for (std::size_t e = 1; e < nb::len(kept); ++e)
    out.push_back(joint_vector(kept[e], n, "a path entry"));
  return out;
}

// The same as plan_one_segment under 'connect', for every segment i of
// `todo` at once, segment i drawing from rngs[i], on up to `jobs` threads.
// The lines are kept, not printed: the caller prints each segment's in turn.
std::map<std::size_t, PlannedSegment> plan_connect_segments(
    const Budget& budget, nb::handle ctx_obj, const std::vector<std::vector<double>>& waypoints,
    const std::vector<std::size_t>& todo, nb::handle rngs, std::size_t jobs) {
  using clock = std::chrono::steady_clock;
  const double growth = module_float("RETRY_GROWTH");
  const bool timed = std::isfinite(budget.time_limit);
  const std::size_t n = waypoints.empty() ? 0 : waypoints[0].size();
  std::vector<bitgen_t*> gens(todo.size());
  for (std::size_t j = 0; j < todo.size(); ++j) {
    nb::object capsule = rngs[nb::int_(todo[j])].attr("bit_generator").attr("capsule");
    void* p = PyCapsule_GetPointer(capsule.ptr(), "BitGenerator");
    if (!p) throw nb::python_error();
    gens[j] = static_cast<bitgen_t*>(p);  // lives as long as rngs does
  }
  struct Outcome {
    std::vector<std::int64_t> tried;
    brimwell::ConnectResult result;
    double seconds = 0.0;
    bool out_of_time = false;
  };
  std::vector<Outcome> outcomes(todo.size());
  run_on_workers(ctx_obj, todo.size(), jobs, [&](brimwell::NativeWorker& w, std::size_t j) {
    const auto t1 = clock::now();
    const clock::time_point deadline =
        timed ? t1 + std::chrono::duration_cast<clock::duration>(
                         std::chrono::duration<double>(budget.time_limit))
              : clock::time_point::max();
    Outcome& o = outcomes[j];
    w.set_generator(gens[j]);
    brimwell::NoProgress quiet;
    double iters = static_cast<double>(budget.max_iters);
    for (;;) {
      brimwell::ConnectSettings settings;
      settings.max_iters = static_cast<std::int64_t>(std::min(iters, 1e15));
      settings.step = kStep;
      settings.deadline = deadline;
      o.tried.push_back(settings.max_iters);
      const std::vector<double>& a = waypoints[todo[j]];
      const std::vector<double>& b = waypoints[todo[j] + 1];
      o.result = brimwell::plan_rrt_connect(w, w, quiet, settings, n, a.data(), b.data());
      if (o.result.status != brimwell::ConnectStatus::Failed) break;
      o.out_of_time = clock::now() >= deadline;
      if (!timed || o.out_of_time) break;
      iters *= growth;
    }
    o.seconds = std::chrono::duration<double>(clock::now() - t1).count();
  });
  std::map<std::size_t, PlannedSegment> planned;
  for (std::size_t j = 0; j < todo.size(); ++j) {
    const Outcome& o = outcomes[j];
    PlannedSegment& p = planned[todo[j]];
    const std::string seg =
        "Segment " + std::to_string(todo[j]) + "->" + std::to_string(todo[j] + 1);
    for (std::size_t t = 0; t + 1 < o.tried.size(); ++t)
      p.lines.push_back(seg + ": RRT-Connect found no path in " + std::to_string(o.tried[t]) +
                        " iterations, trying again with more");
    if (o.result.status == brimwell::ConnectStatus::Failed) {
      std::string text = attempts_text(o.tried);
      if (timed) text += ", time limit " + fixed2(budget.time_limit) + "s reached";
      p.lines.push_back(seg + ": RRT-Connect found no path (" + text + ")");
      p.failure = "RRT-Connect failed to connect start " +
                  py_str(to_numpy(waypoints[todo[j]].data(), n)) + " to goal " +
                  py_str(to_numpy(waypoints[todo[j] + 1].data(), n)) + " within " +
                  std::to_string(o.tried.back()) + " iterations" +
                  (o.out_of_time ? " (time limit reached)" : "");
      continue;
    }
    const std::size_t m = o.result.rows.size() / n;
    std::string line = seg + ": " + std::to_string(m) + " nodes in " + fixed2(o.seconds) + "s";
    if (o.tried.size() > 1)
      line += " (RRT-Connect, attempt " + std::to_string(o.tried.size()) + " with " +
              std::to_string(o.tried.back()) + " iterations)";
    p.lines.push_back(line);
    for (std::size_t e = 1; e < m; ++e)
      p.rows.emplace_back(o.result.rows.begin() + e * n, o.result.rows.begin() + (e + 1) * n);
  }
  return planned;
}

// ---------------------------------------------------------------------------
// LinearSegments.npz: one (m, n) array per straight tool move, keyed "i->i+1"
// by the waypoints it joins, its first and last rows those waypoints exactly.

std::map<std::size_t, std::vector<std::vector<double>>> load_given_segments(
    nb::handle cache_dir, const std::vector<std::vector<double>>& waypoints) {
  std::map<std::size_t, std::vector<std::vector<double>>> given;
  nb::object path = cache_dir.attr("__truediv__")(kLinearSegmentsFile);
  if (!truth(path.attr("exists")())) return given;
  nb::module_ np = numpy();
  nb::object archive = np.attr("load")(path, "allow_pickle"_a = false);
  const std::string name = kLinearSegmentsFile;
  try {
    if (!nb::hasattr(archive, "files"))
      throw nb::value_error((name + " is not an archive of arrays").c_str());
    const std::size_t K = waypoints.size(), n = waypoints.empty() ? 0 : waypoints[0].size();
    for (nb::handle key_h : nb::list(archive.attr("files"))) {
      const std::string key = nb::cast<std::string>(key_h);
      const auto arrow = key.find("->");
      std::size_t i = 0;
      bool ok = arrow != std::string::npos && arrow > 0 && arrow <= 9;
      if (ok) {
        for (std::size_t c = 0; c < arrow; ++c) ok = ok && key[c] >= '0' && key[c] <= '9';
        if (ok) i = std::stoul(key.substr(0, arrow));
        ok = ok && key.substr(arrow + 2) == std::to_string(i + 1) && i + 1 < K;
      }
      if (!ok)
        throw nb::value_error((name + ": '" + key +
                               "' names no segment between consecutive waypoints (0 .. " +
                               std::to_string(K ? K - 1 : 0) + ")")
                                  .c_str());
      nb::object arr =
          np.attr("asarray")(archive.attr("__getitem__")(key_h), "dtype"_a = np.attr("float64"));
      Array<double> a = cellpath::py::as_f64(arr);
      if (a.ndim() != 2 || a.shape[1] != n || a.shape[0] < 2)
        throw nb::value_error((name + ": segment " + key + " must have shape (m >= 2, " +
                               std::to_string(n) + "), got " + cellpath::py::shape_text(a.shape))
                                  .c_str());
      if (!cellpath::py::all_finite(a.data, a.size))
        throw nb::value_error(
            (name + ": segment " + key + " holds NaN or infinite joint values").c_str());
      const std::size_t m = a.shape[0];
      for (std::size_t k = 0; k < n; ++k)
        if (a.data[k] != waypoints[i][k] || a.data[(m - 1) * n + k] != waypoints[i + 1][k])
          throw nb::value_error((name + ": segment " + key +
                                 " does not start and end at waypoints " + std::to_string(i) +
                                 " and " + std::to_string(i + 1))
                                    .c_str());
      auto& rows = given[i];
      for (std::size_t r = 0; r < m; ++r) rows.emplace_back(a.data + r * n, a.data + (r + 1) * n);
    }
  } catch (...) {
    archive.attr("close")();
    throw;
  }
  archive.attr("close")();
  return given;
}

std::vector<std::vector<double>> check_given_segment(nb::handle ctx_obj,
                                                     const std::vector<std::vector<double>>& rows,
                                                     const std::string& seg) {
  auto t1 = std::chrono::steady_clock::now();
  ContextAdapter ctx(ctx_obj);
  for (std::size_t r = 0; r + 1 < rows.size(); ++r)
    if (!ctx.edge_valid(rows[r].data(), rows[r + 1].data())) {
      say("Segment " + seg + ": the straight tool move from " + std::string(kLinearSegmentsFile) +
          " is blocked between its configurations " + std::to_string(r) + " and " +
          std::to_string(r + 1));
      throw PlanFailure("the straight tool move of segment " + seg + " is blocked");
    }
  say("Segment " + seg + ": straight tool move taken from " + std::string(kLinearSegmentsFile) +
      ", " + std::to_string(rows.size()) + " configurations, every edge checked in " +
      fixed2(seconds_since(t1)) + "s");
  return {rows.begin() + 1, rows.end()};
}

}  // namespace brimwell_py
