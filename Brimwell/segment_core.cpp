// The driver's segments (segment_core.hpp).
#include "Brimwell/segment_core.hpp"

#include "Brimwell/lazy_proof.hpp"
#include "Brimwell/path_tools.hpp"
#include "Brimwell/spare_core.hpp"
#include "common/array_view.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace brimwell {

namespace {

using clock = std::chrono::steady_clock;

std::string attempts_text(const std::vector<std::int64_t>& tried) {
  if (tried.size() == 1) return std::to_string(tried[0]) + " iterations";
  return std::to_string(tried.size()) + " attempts of " + std::to_string(tried.front()) + " to " +
         std::to_string(tried.back()) + " iterations";
}

clock::time_point deadline_after(clock::time_point t0, double seconds) {
  if (!std::isfinite(seconds)) return clock::time_point::max();
  return t0 + std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(seconds));
}

// Row-major (m, d) into m rows.
Rows split_rows(const std::vector<double>& flat, std::size_t d) {
  Rows out;
  for (std::size_t off = 0; off < flat.size(); off += d)
    out.emplace_back(flat.begin() + off, flat.begin() + off + d);
  return out;
}

// The line after a planned segment.
std::string planned_line(const std::string& stage, std::size_t nodes, double seconds,
                         const std::vector<std::int64_t>& tried) {
  std::string line = stage + ": " + std::to_string(nodes) + " nodes in " + fixed2(seconds) + "s";
  if (tried.size() > 1)
    line += " (RRT-Connect, attempt " + std::to_string(tried.size()) + " with " +
            std::to_string(tried.back()) + " iterations)";
  return line;
}

std::string retry_line(const std::string& stage, std::int64_t iters) {
  return stage + ": RRT-Connect found no path in " + std::to_string(iters) +
         " iterations, trying again with more";
}

std::string gave_up_text(const std::vector<std::int64_t>& tried, const Budget& budget) {
  std::string tries = attempts_text(tried);
  if (std::isfinite(budget.time_limit))
    tries += ", time limit " + fixed2(budget.time_limit) + "s reached";
  return tries;
}

}  // namespace

// The first attempt of each planner is the one the module always made (same
// draws, same lines), so a run that succeeded before is unchanged.  Each retry
// multiplies the iterations by the retry growth and draws on from the same
// generator: a segment that succeeds on a retry does so identically on every
// run with the seed; only the time limit, checked between and inside
// attempts, can end the search sooner on a slower machine.
namespace {

// RRT-Connect within the budget: retried with more iterations (while time
// is left under a time limit); the lazy screen searched again thoroughly
// before a retry.  `tried`: the iterations of each attempt.
Rows connect_with_retries(const PlannerSettings& settings, Planner planner, const Budget& budget,
                          PlannerHost& host, Validity& ctx, std::size_t seg,
                          const std::vector<double>& start, const std::vector<double>& goal,
                          std::vector<std::int64_t>& tried, const std::string& stage,
                          clock::time_point t1) {
  const bool timed = std::isfinite(budget.time_limit);
  const clock::time_point deadline = deadline_after(t1, budget.time_limit);
  const std::string its = std::to_string(budget.max_iters);
  for (double iters = static_cast<double>(budget.max_iters);; iters *= settings.retry_growth) {
    const auto attempt = static_cast<std::int64_t>(std::min(iters, 1e15));
    tried.push_back(attempt);
    ConnectSettings cs = settings.connect(attempt, settings.step, deadline);
    const NativeArm lazy = ctx.lazy_arm();
    const bool screening = lazy && lazy.data->exploring;
    if (screening) cs = lazy_search(cs);
    ConnectResult r = host.connect(seg, cs, start.data(), goal.data(), stage);
    if (screening && r.status == ConnectStatus::Failed) {
      // The quick screen found no path: a thorough one, same budget.
      ExploringScope thorough(lazy.data, true, start.data(), goal.data(), true);
      r = host.connect(seg, cs, start.data(), goal.data(), stage);
    }
    if (r.status != ConnectStatus::Failed) {
      Rows entries = split_rows(r.rows, start.size());
      entries.back() = goal;
      return entries;
    }
    const bool out_of_time = clock::now() >= deadline;
    if (!timed || out_of_time) {
      host.say(stage + ": " +
               (planner == Planner::Auto
                    ? "neither RRT* (" + its + " iterations) nor RRT-Connect (" +
                          gave_up_text(tried, budget) + ") found a path"
                    : "RRT-Connect found no path (" + gave_up_text(tried, budget) + ")"));
      throw PlanFailure(
          failure_text("RRT-Connect", host.vector_text(start), host.vector_text(goal), attempt) +
          (out_of_time ? " (time limit reached)" : ""));
    }
    host.say(retry_line(stage, attempt));
  }
}

Rows search_segment(const PlannerSettings& settings, Planner planner, const Budget& budget,
                    PlannerHost& host, Validity& ctx, std::size_t seg, const std::string& name,
                    const std::vector<double>& start, const std::vector<double>& goal) {
  const auto t1 = clock::now();
  const std::string its = std::to_string(budget.max_iters);
  const std::string stage = "Segment " + name;
  const std::size_t d = start.size();
  Rows entries;  // start ... goal
  bool by_connect = planner == Planner::Connect;
  if (!by_connect) {
    const RrtResult r =
        host.rrt_star(seg, settings.rrt(budget.max_iters, settings.step, settings.goal_bias),
                      start.data(), goal.data(), stage);
    if (r.status == RrtStatus::Failed) {
      if (planner == Planner::RrtStar) {
        host.say(stage + ": RRT* found no path in " + its +
                 " iterations (try --planner auto, which falls back to RRT-Connect)");
        throw PlanFailure(failure_text("RRT*", host.vector_text(start), host.vector_text(goal),
                                       budget.max_iters));
      }
      host.say(stage + ": RRT* found no path in " + its + " iterations, trying RRT-Connect");
      by_connect = true;
    } else {
      entries = split_rows(r.rows, d);
      if (r.status == RrtStatus::Direct) entries = {start};
      entries.push_back(goal);
    }
  }
  std::vector<std::int64_t> tried;
  if (by_connect)
    entries = connect_with_retries(settings, planner, budget, host, ctx, seg, start, goal, tried,
                                   stage, t1);
  std::string line = planned_line(stage, entries.size(), seconds_since(t1), tried);
  if (tried.size() <= 1 && planner == Planner::Auto)
    line += by_connect ? " (RRT-Connect)" : " (RRT*)";
  host.say(line);
  if (by_connect) return Rows(entries.begin() + 1, entries.end());  // shortened already
  const std::vector<std::size_t> kept = shortcut_path(
      entries.size(), settings.smooth_iters,
      [&](std::size_t len) { return host.pick_two(seg, len); },
      [&](std::size_t a, std::size_t b) {
        return ctx.edge_valid(entries[a].data(), entries[b].data());
      });
  host.say(stage + ": smoothed to " + std::to_string(kept.size()) + " nodes");
  Rows out;
  for (std::size_t e = 1; e < kept.size(); ++e) out.push_back(std::move(entries[kept[e]]));
  return out;
}

std::string lazy_line(const std::string& stage, const LazyReport& r, double seconds) {
  std::string line =
      stage + ": " + std::to_string(r.edges) + " edges proven in " + fixed2(seconds) + "s";
  if (r.splits || r.replans)
    line += " (" + std::to_string(r.splits) + " split, " + std::to_string(r.replans) +
            " stretches re-planned)";
  return line;
}

}  // namespace

// With a lazy proof the segment is searched and shortened on screened edges
// (the same lines as ever), then its path proven; a segment whose repairs
// run out is searched again with proven edges, from the generator as it then
// stands.
Rows plan_one_segment(const PlannerSettings& settings, Planner planner, const Budget& budget,
                      PlannerHost& host, Validity& ctx, std::size_t seg, const std::string& name,
                      const std::vector<double>& start, const std::vector<double>& goal) {
  const NativeArm lazy = ctx.lazy_arm();
  if (!lazy) return search_segment(settings, planner, budget, host, ctx, seg, name, start, goal);
  const std::string stage = "Segment " + name;
  if (lazy.model->edge_proven(*lazy.data, start.data(), goal.data())) {
    host.say(stage + ": the straight edge between the waypoints is proven, 2 nodes");
    return {goal};
  }
  Rows path{start};
  {
    ExploringScope screen(lazy.data, true, start.data(), goal.data());
    Rows rows = search_segment(settings, planner, budget, host, ctx, seg, name, start, goal);
    for (auto& q : rows) path.push_back(std::move(q));
  }
  const auto t1 = clock::now();
  const LazySettings ls;
  const clock::time_point deadline = deadline_after(t1, budget.time_limit);
  LazyReport report;
  auto replan = [&](const std::vector<double>& a, const std::vector<double>& b) {
    return lazy_detour(
        *lazy.model, *lazy.data, settings.connect(budget.max_iters, settings.step, deadline), a, b,
        [&](const ConnectSettings& cs, const double* from, const double* to) {
          return host.connect(seg, cs, from, to, stage);
        },
        ls, report);
  };
  if (prove_path(*lazy.model, *lazy.data, path, replan, ls, report)) {
    host.say(lazy_line(stage, report, seconds_since(t1)));
    return Rows(path.begin() + 1, path.end());
  }
  host.say(stage + ": the path could not be proven after " + std::to_string(report.replans) +
           " repairs; searching again with proven edges");
  return search_segment(settings, planner, budget, host, ctx, seg, name, start, goal);
}

void run_on_workers(NativeArm arm, double res, std::size_t count, std::size_t jobs,
                    const std::function<void(NativeWorker&, std::size_t)>& plan,
                    const std::function<void(const std::function<void()>&)>& released) {
  const std::size_t threads = std::max<std::size_t>(1, std::min(jobs, count));
  // Each worker's data is copied, and the calling thread's given back, while
  // the interpreter lock keeps every other user of the context away.
  std::vector<std::unique_ptr<NativeWorker>> workers;
  for (std::size_t t = 0; t < threads; ++t)
    workers.push_back(std::make_unique<NativeWorker>(*arm.model, *arm.data, res));
  std::vector<std::exception_ptr> errors(count);
  std::atomic<std::size_t> next{0};
  auto work = [&](NativeWorker* w) {
    for (std::size_t i = next++; i < count; i = next++) {
      try {
        plan(*w, i);
      } catch (...) {
        errors[i] = std::current_exception();
      }
    }
  };
  released([&] {
    // The pool's threads beyond this one hold the spare cores they run on,
    // so that no step inside them takes one more (the threads run whether a
    // core was spare or not: their number was asked for).
    std::vector<std::unique_ptr<SpareCore>> cores;
    for (std::size_t t = 1; t < threads; ++t) cores.push_back(std::make_unique<SpareCore>());
    std::vector<std::thread> pool;
    for (std::size_t t = 1; t < threads; ++t) {
      try {
        pool.emplace_back(work, workers[t].get());
      } catch (const std::system_error&) {
        break;  // no thread to be had: the others take its share
      }
    }
    work(workers[0].get());
    for (std::thread& th : pool) th.join();
  });
  *arm.data = std::move(workers[0]->data());
  for (std::exception_ptr& e : errors)
    if (e) std::rethrow_exception(e);
}

namespace {

// What one segment's RRT-Connect runs came to.
struct ConnectOutcome {
  std::vector<std::int64_t> tried;
  ConnectResult result;
  double seconds = 0.0;
  bool out_of_time = false;
};

// The segments' lines, rows and failures from their outcomes.
std::map<std::size_t, PlannedSegment> planned_segments(const Budget& budget, PlannerHost& host,
                                                       const Rows& waypoints,
                                                       const std::vector<std::size_t>& todo,
                                                       const std::vector<ConnectOutcome>& outcomes,
                                                       std::size_t n) {
  std::map<std::size_t, PlannedSegment> planned;
  for (std::size_t j = 0; j < todo.size(); ++j) {
    const ConnectOutcome& o = outcomes[j];
    PlannedSegment& p = planned[todo[j]];
    const std::size_t i = todo[j];
    const std::string stage = "Segment " + std::to_string(i) + "->" + std::to_string(i + 1);
    for (std::size_t t = 0; t + 1 < o.tried.size(); ++t)
      p.lines.push_back(retry_line(stage, o.tried[t]));
    if (o.result.status == ConnectStatus::Failed) {
      p.lines.push_back(stage + ": RRT-Connect found no path (" + gave_up_text(o.tried, budget) +
                        ")");
      p.failure = failure_text("RRT-Connect", host.vector_text(waypoints[i]),
                               host.vector_text(waypoints[i + 1]), o.tried.back()) +
                  (o.out_of_time ? " (time limit reached)" : "");
      continue;
    }
    const Rows rows = split_rows(o.result.rows, n);
    p.lines.push_back(planned_line(stage, rows.size(), o.seconds, o.tried));
    p.rows.assign(rows.begin() + 1, rows.end());
  }
  return planned;
}

}  // namespace

std::map<std::size_t, PlannedSegment> plan_connect_segments(const PlannerSettings& settings,
                                                            const Budget& budget, PlannerHost& host,
                                                            NativeArm arm, const Rows& waypoints,
                                                            const std::vector<std::size_t>& todo,
                                                            const std::vector<bitgen_t*>& gens,
                                                            std::size_t jobs) {
  const std::size_t n = waypoints.empty() ? 0 : waypoints[0].size();
  std::vector<ConnectOutcome> outcomes(todo.size());
  auto plan = [&](NativeWorker& w, std::size_t j) {
    const auto t1 = clock::now();
    const clock::time_point deadline = deadline_after(t1, budget.time_limit);
    ConnectOutcome& o = outcomes[j];
    w.set_generator(gens[j]);
    NoProgress quiet;
    const std::vector<double>& a = waypoints[todo[j]];
    const std::vector<double>& b = waypoints[todo[j] + 1];
    for (double iters = static_cast<double>(budget.max_iters);; iters *= settings.retry_growth) {
      const ConnectSettings s = settings.connect(static_cast<std::int64_t>(std::min(iters, 1e15)),
                                                 settings.step, deadline);
      o.tried.push_back(s.max_iters);
      auto run = [&](const ConnectSettings& cs, const double* from, const double* to) {
        return plan_rrt_connect(w, w, quiet, cs, n, from, to);
      };
      LazyReport report;
      o.result = w.model().lazy()
                     ? connect_lazily(w.model(), w.data(), s, a.data(), b.data(), run, report)
                     : run(s, a.data(), b.data());
      if (o.result.status != ConnectStatus::Failed) break;
      o.out_of_time = clock::now() >= deadline;
      if (!std::isfinite(budget.time_limit) || o.out_of_time) break;
    }
    o.seconds = seconds_since(t1);
  };
  run_on_workers(arm, settings.context_edge_res, todo.size(), jobs, plan,
                 [&](const std::function<void()>& work) { host.released(work); });
  return planned_segments(budget, host, waypoints, todo, outcomes, n);
}

std::size_t given_segment_index(const std::string& key, std::size_t K) {
  const auto arrow = key.find("->");
  std::size_t i = 0;
  bool ok = arrow != std::string::npos && arrow > 0 && arrow <= 9;
  if (ok) {
    for (std::size_t c = 0; c < arrow; ++c) ok = ok && key[c] >= '0' && key[c] <= '9';
    if (ok) i = std::stoul(key.substr(0, arrow));
    ok = ok && key.substr(arrow + 2) == std::to_string(i + 1) && i + 1 < K;
  }
  if (!ok)
    throw std::invalid_argument(std::string(kLinearSegmentsFile) + ": '" + key +
                                "' names no segment between consecutive waypoints (0 .. " +
                                std::to_string(K ? K - 1 : 0) + ")");
  return i;
}

Rows given_segment_rows(const std::string& key, std::size_t i, const double* data,
                        const std::vector<std::size_t>& shape, const Rows& waypoints) {
  const std::string what = std::string(kLinearSegmentsFile) + ": segment " + key;
  const std::size_t n = waypoints[0].size();
  if (shape.size() != 2 || shape[1] != n || shape[0] < 2)
    throw std::invalid_argument(what + " must have shape (m >= 2, " + std::to_string(n) +
                                "), got " + cellpath::shape_text(shape));
  const std::size_t m = shape[0];
  if (!cellpath::all_finite(data, m * n))
    throw std::invalid_argument(what + " holds NaN or infinite joint values");
  for (std::size_t k = 0; k < n; ++k)
    if (data[k] != waypoints[i][k] || data[(m - 1) * n + k] != waypoints[i + 1][k])
      throw std::invalid_argument(what + " does not start and end at waypoints " +
                                  std::to_string(i) + " and " + std::to_string(i + 1));
  Rows rows;
  for (std::size_t r = 0; r < m; ++r) rows.emplace_back(data + r * n, data + (r + 1) * n);
  return rows;
}

Rows check_given_segment(PlannerHost& host, Validity& ctx, NativeArm native, double res,
                         const Rows& rows, const std::string& name) {
  const auto t1 = clock::now();
  const std::size_t edges = rows.size() - 1;
  std::vector<char> ok;
  if (native)
    ok = on_workers(host, native, res, edges, 1, [&](NativeWorker& w, std::size_t e) {
      return w.edge_valid(rows[e].data(), rows[e + 1].data());
    });
  for (std::size_t r = 0; r < edges; ++r)
    if (native ? !ok[r] : !ctx.edge_valid(rows[r].data(), rows[r + 1].data())) {
      host.say("Segment " + name + ": the straight tool move from " +
               std::string(kLinearSegmentsFile) + " is blocked between its configurations " +
               std::to_string(r) + " and " + std::to_string(r + 1));
      throw PlanFailure("the straight tool move of segment " + name + " is blocked");
    }
  host.say("Segment " + name + ": straight tool move taken from " +
           std::string(kLinearSegmentsFile) + ", " + std::to_string(rows.size()) +
           " configurations, every edge checked in " + fixed2(seconds_since(t1)) + "s");
  return {rows.begin() + 1, rows.end()};
}

}  // namespace brimwell
