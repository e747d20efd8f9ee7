// The trajectory driver's core (trajectory.hpp).
#include "Brimwell/trajectory.hpp"

#include "Brimwell/arm_model.hpp"
#include "Brimwell/path_tools.hpp"
#include "common/array_view.hpp"
#include "common/text.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace brimwell {

namespace {

void check_waypoints(DriverHost& host, Validity& ctx, NativeArm arm, const Rows& waypoints) {
  for (std::size_t i = 0; i < waypoints.size(); ++i) {
    const double* q = waypoints[i].data();
    if (!ctx.in_limits(q)) host.refuse_out_of_limits(i);
    if (arm.model->clearance_on() && !arm.model->clear_at(*arm.data, q)) host.refuse_too_close(i);
    if (!ctx.is_valid(q)) host.refuse_in_collision(i);
  }
  host.say("All waypoints validated (within limits, collision-free).");
}

// Every segment's rows after its start, in order.  With jobs, segment i
// draws from a generator of its own (so the plan is the same for every
// number of threads); RRT-Connect on a native context plans them all on
// threads first, and their lines come in order below.
Rows chain_segments(DriverHost& host, Validity& ctx, NativeArm native, const TrajectoryRequest& r) {
  const Rows& wp = r.waypoints;
  const std::size_t K = wp.size();
  std::map<std::size_t, Rows> given = host.given_segments();
  std::map<std::size_t, PlannedSegment> planned;
  if (r.jobs && r.planner == Planner::Connect && native) {
    std::vector<std::size_t> todo;
    for (std::size_t i = 0; i + 1 < K; ++i)
      if (!given.count(i)) todo.push_back(i);
    planned = plan_connect_segments(r.settings, r.budget, host, native, wp, todo,
                                    host.native_generators(todo), r.jobs);
  }
  Rows path{wp[0]};
  for (std::size_t i = 0; i + 1 < K; ++i) {
    const std::string name = std::to_string(i) + "->" + std::to_string(i + 1);
    Rows rows;
    if (given.count(i)) {
      rows = check_given_segment(host, ctx, native, r.settings.context_edge_res, given[i], name);
    } else if (planned.count(i)) {
      for (const std::string& line : planned[i].lines) host.say(line);
      if (!planned[i].failure.empty()) throw PlanFailure(planned[i].failure);
      rows = std::move(planned[i].rows);
    } else {
      rows =
          plan_one_segment(r.settings, r.planner, r.budget, host, ctx, i, name, wp[i], wp[i + 1]);
    }
    for (auto& q : rows) path.push_back(std::move(q));
  }
  host.say("Chained (per-segment-smoothed) path: " + std::to_string(path.size()) + " configs");
  return path;
}

// The chained edges, not only the dense rows, are what a clearance promises.
void prove_edges(DriverHost& host, NativeArm arm, NativeArm native, const TrajectoryRequest& r,
                 const Rows& path) {
  const std::size_t edges = path.size() - 1;
  const ArmModel& model = *arm.model;
  std::vector<char> ok(edges);
  if (native)
    ok = on_workers(host, native, r.settings.context_edge_res, edges, r.jobs,
                    [&](NativeWorker& w, std::size_t e) {
                      return model.edge_proven(w.data(), path[e].data(), path[e + 1].data());
                    });
  else
    for (std::size_t e = 0; e < edges; ++e)
      ok[e] = model.edge_proven(*arm.data, path[e].data(), path[e + 1].data());
  const std::string metres = model.clearance_metres();
  for (std::size_t e = 0; e < edges; ++e)
    if (!ok[e])
      throw std::runtime_error("edge " + std::to_string(e) +
                               " of the chained path could not be proven " + metres +
                               " m clear of the environment" + model.clearance_note());
  host.say("All " + std::to_string(edges) + " edges between them proven at least " + metres +
           " m from the environment" + model.clearance_note() + ".");
}

}  // namespace

Rows waypoint_rows(const double* data, const std::vector<std::size_t>& shape, std::size_t n) {
  const std::string file = "WaypointJointAngles.npy";
  if (shape.size() != 2)
    throw std::invalid_argument(file + " must have shape (K, " + std::to_string(n) + "), got " +
                                cellpath::shape_text(shape));
  if (shape[1] != n)
    throw std::invalid_argument(file + " has " + std::to_string(shape[1]) +
                                " columns but the arm has " + std::to_string(n) + " joints");
  if (shape[0] == 0) throw std::invalid_argument(file + " holds no waypoints");
  if (!cellpath::all_finite(data, shape[0] * n))
    throw std::invalid_argument(file + " holds NaN or infinite joint values");
  Rows rows;
  for (std::size_t i = 0; i < shape[0]; ++i) rows.emplace_back(data + i * n, data + (i + 1) * n);
  return rows;
}

std::string short_number(double x) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.6g", x);
  return buf;
}

std::string joined(const std::vector<std::string>& parts, const char* sep) {
  std::string s;
  for (const std::string& p : parts) s += (s.empty() ? "" : sep) + p;
  return s;
}

std::string limits_explained(std::size_t index, const std::vector<double>& q, const double* limits,
                             std::size_t limit_values, const std::vector<std::string>& link_names) {
  std::vector<std::string> broken;
  for (std::size_t j = 0; j < q.size() && 2 * j + 1 < limit_values; ++j) {
    const double lo = limits[2 * j], hi = limits[2 * j + 1];
    if (q[j] >= lo && q[j] <= hi) continue;
    const std::string which = q[j] < lo ? "below its lower limit " + short_number(lo)
                                        : "above its upper limit " + short_number(hi);
    const std::string moves = j + 1 < link_names.size() ? " (moves " + link_names[j + 1] + ")" : "";
    broken.push_back("joint " + std::to_string(j + 1) + moves + " is " + short_number(q[j]) + ", " +
                     which);
  }
  return "Waypoint " + std::to_string(index) + ": " + joined(broken, "; ");
}

std::vector<std::int64_t> invalid_rows(DriverHost& host, Validity& ctx, NativeArm native,
                                       const PlannerSettings& settings, std::size_t jobs,
                                       const std::vector<double>& dense, std::size_t n) {
  const std::size_t count = n ? dense.size() / n : 0;
  std::vector<std::int64_t> bad;
  if (native) {
    const std::vector<char> ok = on_workers(
        host, native, settings.context_edge_res, count, jobs,
        [&](NativeWorker& w, std::size_t i) { return w.is_valid(dense.data() + i * n); });
    for (std::size_t i = 0; i < count; ++i)
      if (!ok[i]) bad.push_back(static_cast<std::int64_t>(i));
    return bad;
  }
  std::unique_ptr<Counter> progress =
      host.counter("Validating dense path", static_cast<std::int64_t>(count));
  for (std::size_t i = 0; i < count; ++i) {
    progress->count(static_cast<std::int64_t>(i));
    if (!ctx.is_valid(dense.data() + i * n)) bad.push_back(static_cast<std::int64_t>(i));
  }
  return bad;
}

Trajectory plan_trajectory(DriverHost& host, Validity& ctx, NativeArm arm, NativeArm native,
                           const TrajectoryRequest& r) {
  check_waypoints(host, ctx, arm, r.waypoints);
  const Rows path = chain_segments(host, ctx, native, r);

  Trajectory out;
  std::vector<const double*> ptrs;
  for (const auto& q : path) ptrs.push_back(q.data());
  const std::size_t n = path[0].size();
  host.released([&] { out.rows = densify_rows(ptrs, n, r.settings.edge_res, out.count); });
  host.say("Densified path: " + std::to_string(out.count) + " configs");

  const std::vector<std::int64_t> bad =
      invalid_rows(host, ctx, native, r.settings, r.jobs, out.rows, n);
  if (!bad.empty()) {
    std::string first = "[";
    for (std::size_t k = 0; k < bad.size() && k < 5; ++k)
      first += (k ? ", " : "") + std::to_string(bad[k]);
    throw std::runtime_error(std::to_string(bad.size()) +
                             " configs in final dense path failed validation, e.g. indices " +
                             first + "]");
  }
  host.say("All " + std::to_string(out.count) + " configs verified valid (limits + collision).");
  if (arm.model->clearance_on()) prove_edges(host, arm, native, r, path);
  return out;
}

std::vector<std::string> context_lines(double seconds, const ArmModel& model, bool clearance,
                                       bool lazy_proof, const std::string* allowed_pairs) {
  std::vector<std::string> lines{"Environment loaded in " + fixed2(seconds) + "s"};
  if (clearance)
    lines.push_back(
        "Clearance: every configuration, and the motion between them, proven at least " +
        model.clearance_metres() + " m from the environment" + model.clearance_note());
  if (lazy_proof && clearance)
    lines.push_back(
        "Lazy proof: segments searched on sampled edges, then every edge of the path kept "
        "proven (split or re-planned where it is not)");
  if (allowed_pairs)
    lines.push_back(
        "Self-collision: links tested against each other, except the pairs allowed to touch " +
        *allowed_pairs);
  return lines;
}

std::string too_close_text(std::size_t index, const ArmModel& m, const ArmData& data,
                           std::size_t link, const std::vector<std::string>& link_names,
                           const std::vector<std::string>& body_names) {
  std::string text = "Waypoint " + std::to_string(index) + " is closer than " +
                     m.clearance_metres() + " m to the environment" + m.clearance_note();
  if (link == 0) return text;
  std::size_t body;
  const double d = m.link_distance(data, link, &body);
  char dist[64];
  std::snprintf(dist, sizeof dist, "%.4f", std::max(d, 0.0));
  return text + ": link " + (link < link_names.size() ? link_names[link] : std::to_string(link)) +
         " is about " + dist + " m from " +
         (body < body_names.size() ? body_names[body] : std::string("an obstacle"));
}

std::string contacts_explained(std::size_t index, const std::vector<std::string>& pairs,
                               const std::vector<std::string>& in_cells, double pitch) {
  std::string line = "Waypoint " + std::to_string(index) + ": ";
  line += pairs.empty() ? "the exact meshes do not touch" : "in contact: " + joined(pairs);
  if (!in_cells.empty())
    line +=
        "; in the environment's voxels (" + short_number(pitch) + " m cells): " + joined(in_cells);
  else if (pairs.empty())
    line += "; links closer than the self-collision margin";
  return line;
}

}  // namespace brimwell
