// Lazy proofs: search with screened edges, prove only the path that is kept.
//
// Proving every edge a planner tries costs far more than the search itself:
// most tried edges are thrown away, and the few that hug an obstacle cost
// hundreds of pieces each.  With a lazy proof the planner explores and
// shortens with its data exploring (ArmData::set_exploring: edges sampled
// about 1/32 rad apart against the distance field, no exact tests), and
// then every edge of the path it returns is proven by the exact engine,
// both ends included.  An edge that fails is repaired:
//   - not settled within its budget of pieces: split at its middle (when the
//     middle is valid) and each half proven on its own, a few levels deep;
//   - an invalid configuration on it, or still not settled: the stretch
//     joined through a proven point near its middle (lazy_via), else
//     re-planned on the screen and proven (lazy_detour), and where that
//     fails, by the proven planner alone (short, so quick);
// and after a bounded number of re-plans the lazy attempt is given up for
// planning with proven edges throughout.  No edge reaches the caller
// without its proof, so the guarantee is the proven planner's.
#pragma once

#include "Brimwell/arm_model.hpp"
#include "Brimwell/connect.hpp"
#include "Brimwell/spare_core.hpp"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

namespace brimwell {

struct LazySettings {
  int split_depth = 3;              // halvings of one unsettled edge
  int max_replans = 5;              // stretches re-planned before giving up
  std::int64_t replan_iters = 500;  // RRT-Connect extensions per re-planned stretch
};

// What proving a path took, for the planner's line.
struct LazyReport {
  std::size_t edges = 0;    // edges proven in the path returned
  std::size_t splits = 0;   // edges split
  std::size_t replans = 0;  // stretches re-planned
};

// While alive, `data` (if any) screens instead of proving, the search
// running between `start` and `goal` (see ArmData::set_exploring), or
// proves; restores the previous state however the scope ends.
class ExploringScope {
 public:
  ExploringScope(ArmData* data, bool on, const double* start = nullptr,
                 const double* goal = nullptr, bool thorough = false)
      : data_(data) {
    if (!data_) return;
    was_ = data_->exploring;
    was_thorough_ = data_->thorough;
    anchors_ = data_->anchors;
    data_->set_exploring(on, start, goal, thorough);
  }
  ~ExploringScope() {
    if (!data_) return;
    const std::size_t d = data_->poses.size() - 1;
    data_->set_exploring(was_, anchors_.size() >= d ? anchors_.data() : nullptr,
                         anchors_.size() >= 2 * d ? anchors_.data() + d : nullptr, was_thorough_);
  }
  ExploringScope(const ExploringScope&) = delete;
  ExploringScope& operator=(const ExploringScope&) = delete;

 private:
  ArmData* data_;
  bool was_ = false, was_thorough_ = false;
  std::vector<double> anchors_;
};

// The verdict of each edge of `path` (edge_verdict_fresh), the edges taken
// in turn by the caller's thread with `data` and, when a core is spare, by a
// second thread with a copy of it.
inline std::vector<EdgeVerdict> prove_edges(const ArmModel& model, ArmData& data,
                                            const std::vector<std::vector<double>>& path) {
  const std::size_t m = path.size() < 2 ? 0 : path.size() - 1;
  std::vector<EdgeVerdict> out(m, EdgeVerdict::Unsettled);
  std::atomic<std::size_t> next{0};
  auto work = [&](ArmData& on) {
    for (std::size_t e = next++; e < m; e = next++)
      out[e] = model.edge_verdict_fresh(on, path[e].data(), path[e + 1].data());
  };
  // Afterwards the data remembers no failure, however the edges were
  // shared out, so that what it proves next does not depend on that either.
  SpareCore core;
  if (m < 2 || !core.held()) {
    work(data);
    data.forget_failures();
    return out;
  }
  ArmData copy = data;
  std::exception_ptr failed;
  std::thread helper;
  try {
    helper = std::thread([&] {
      try {
        work(copy);
      } catch (...) {
        failed = std::current_exception();
      }
    });
  } catch (const std::system_error&) {
    // No thread to be had: this one proves them all.
  }
  try {
    work(data);
  } catch (...) {
    next = m;
    if (helper.joinable()) helper.join();
    throw;
  }
  if (helper.joinable()) helper.join();
  if (failed) std::rethrow_exception(failed);
  data.forget_failures();
  return out;
}

// Proves every edge of `path` (start first, goal last) on `model` with
// `data`, which must not be exploring, repairing as the header says.  replan(a, b) returns
// a path from a to b whose every edge is proven (empty when none was found:
// lazy_detour, or nothing at all inside a detour).  On success `path` is replaced by the proven
// path (same ends) and true returned; false when the repairs ran out.
//
// The path's own edges are proven first, all of them, on two threads when a
// core is spare (prove_edges); the repairs then run in order with `data`.
// The answer does not depend on the threads: each verdict is the edge's own.
template <class Replan>
bool prove_path(const ArmModel& model, ArmData& data, std::vector<std::vector<double>>& path,
                Replan&& replan, const LazySettings& s, LazyReport& report) {
  using Row = std::vector<double>;
  const std::size_t d = model.n_joints();
  const std::vector<EdgeVerdict> ahead = prove_edges(model, data, path);
  std::vector<Row> out{path.front()};
  // Pending stretches, the next on top: (a, b, depth); a is out.back().
  struct Stretch {
    Row b;
    int depth;
  };
  for (std::size_t e = 0; e + 1 < path.size(); ++e) {
    std::vector<Stretch> todo{{path[e + 1], 0}};
    while (!todo.empty()) {
      Stretch st = std::move(todo.back());
      todo.pop_back();
      const Row a = out.back();
      // A stretch still whole, from the path's own entry: proven ahead.
      const bool whole = st.depth == 0 && a == path[e];
      const EdgeVerdict v = whole ? ahead[e] : model.edge_verdict(data, a.data(), st.b.data());
      if (v == EdgeVerdict::Proven) {
        out.push_back(std::move(st.b));
        ++report.edges;
        continue;
      }
      if (v == EdgeVerdict::Unsettled && st.depth < s.split_depth) {
        Row m(d);
        for (std::size_t k = 0; k < d; ++k) m[k] = 0.5 * (a[k] + st.b[k]);
        if (model.is_valid(data, m.data())) {
          ++report.splits;
          todo.push_back({std::move(st.b), st.depth + 1});
          todo.push_back({std::move(m), st.depth + 1});
          continue;
        }
      }
      if (static_cast<int>(report.replans) >= s.max_replans) return false;
      ++report.replans;
      std::vector<Row> detour = replan(a, st.b);
      if (detour.size() < 2) return false;
      for (std::size_t r = 1; r < detour.size(); ++r) out.push_back(std::move(detour[r]));
      report.edges += detour.size() - 1;
    }
  }
  // The goal as given, bit for bit (a re-planned stretch ends on a copy).
  out.back() = path.back();
  path = std::move(out);
  return true;
}

// Row-major (m, d) into m rows, and back.
inline std::vector<std::vector<double>> rows_of(const std::vector<double>& flat, std::size_t d) {
  std::vector<std::vector<double>> out;
  for (std::size_t off = 0; off + d <= flat.size(); off += d)
    out.emplace_back(flat.begin() + static_cast<std::ptrdiff_t>(off),
                     flat.begin() + static_cast<std::ptrdiff_t>(off + d));
  return out;
}
inline std::vector<double> flat_of(const std::vector<std::vector<double>>& rows) {
  std::vector<double> out;
  for (const auto& r : rows) out.insert(out.end(), r.begin(), r.end());
  return out;
}

// A detour from a to b for a stretch that failed its proof: searched on
// screened edges in at most ls.replan_iters extensions, then proven with
// splits but no further detours.  Empty when either fails.
template <class Run>
std::vector<std::vector<double>> lazy_detour(const ArmModel& model, ArmData& data,
                                             const ConnectSettings& settings,
                                             const std::vector<double>& a,
                                             const std::vector<double>& b, Run&& run,
                                             const LazySettings& ls, LazyReport& report) {
  ConnectSettings local = lazy_search(settings);
  local.max_iters = std::min(settings.max_iters, ls.replan_iters);
  ConnectResult r;
  {
    ExploringScope screen(&data, true, a.data(), b.data(), true);
    r = run(local, a.data(), b.data());
  }
  if (r.status == ConnectStatus::Failed) return {};
  ExploringScope prove(&data, false);
  std::vector<std::vector<double>> path = rows_of(r.rows, model.n_joints());
  LazySettings inner = ls;
  inner.max_replans = 0;
  auto none = [](const std::vector<double>&, const std::vector<double>&) {
    return std::vector<std::vector<double>>{};
  };
  LazyReport sub;
  if (!prove_path(model, data, path, none, inner, sub)) return {};
  report.splits += sub.splits;
  return path;
}

// A stretch from a to b that failed its proof, joined through one point near
// its middle instead: up to kViaTries points drawn about the middle, each
// joint up to a radius that grows with the tries, the first whose two edges
// prove.  The draws come from a generator seeded by the stretch's ends, so a
// plan does not depend on how often this runs.  Cheap beside a search, and
// enough where the stretch grazes something along a short span (two links
// touching between the screen's samples, say).  Empty when no point serves.
inline std::vector<std::vector<double>> lazy_via(const ArmModel& model, ArmData& data,
                                                 const std::vector<double>& a,
                                                 const std::vector<double>& b) {
  constexpr int kViaTries = 12;
  const std::size_t d = model.n_joints();
  std::uint64_t seed = 0x9e3779b97f4a7c15ull;
  for (const std::vector<double>* row : {&a, &b})
    for (const double x : *row) {
      std::uint64_t bits;
      std::memcpy(&bits, &x, sizeof bits);
      seed = (seed ^ bits) * 0x100000001b3ull;
    }
  // splitmix64, each draw a double in [-1, 1): the same on every platform.
  auto unit = [&seed] {
    std::uint64_t z = (seed += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) * 0x1.0p-52 - 1.0;
  };
  std::vector<double> m(d);
  for (int k = 0; k < kViaTries; ++k) {
    const double radius = 0.05 * (1 + k / 3);
    for (std::size_t j = 0; j < d; ++j)
      m[j] = std::clamp(0.5 * (a[j] + b[j]) + radius * unit(), model.lower(j), model.upper(j));
    if (!model.is_valid(data, m.data())) continue;
    if (model.edge_proven(data, a.data(), m.data()) && model.edge_proven(data, m.data(), b.data()))
      return {a, m, b};
  }
  return {};
}

// One RRT-Connect search made lazy.  run(settings, a, b) runs the planner on
// a context over `model` and `data` (how it checks edges follows the data's
// exploring state).  The search and its shortening screen; the path is then proven,
// failed stretches replaced by lazy detours; when the repairs run out the
// search is made again with proven edges throughout, with the same settings.
template <class Run>
ConnectResult connect_lazily(const ArmModel& model, ArmData& data, const ConnectSettings& settings,
                             const double* start, const double* goal, Run&& run, LazyReport& report,
                             const LazySettings& ls = {}) {
  const std::size_t d = model.n_joints();
  ConnectResult r;
  // A straight edge that proves needs no search (and draws nothing, as the
  // planner's own direct edge does not).
  if (model.edge_proven(data, start, goal)) return direct_result(start, goal, d);
  // The quick screen first; where it finds no path, a thorough one.
  for (const bool thorough : {false, true}) {
    ExploringScope screen(&data, true, start, goal, thorough);
    r = run(lazy_search(settings), start, goal);
    if (r.status != ConnectStatus::Failed) break;
  }
  if (r.status == ConnectStatus::Failed) return r;
  ExploringScope prove(&data, false);
  std::vector<std::vector<double>> path = rows_of(r.rows, d);
  auto replan = [&](const std::vector<double>& a, const std::vector<double>& b) {
    std::vector<std::vector<double>> detour = lazy_via(model, data, a, b);
    if (detour.size() >= 2) return detour;
    detour = lazy_detour(model, data, settings, a, b, run, ls, report);
    if (detour.size() >= 2) return detour;
    // The screen keeps missing what the proof finds on this stretch (two
    // links that touch between its samples, say): the stretch searched with
    // proven edges, within a detour's budget, before the whole segment is.
    ConnectSettings local = settings;
    local.max_iters = std::min(settings.max_iters, ls.replan_iters);
    const ConnectResult proven = run(local, a.data(), b.data());
    if (proven.status == ConnectStatus::Failed) return std::vector<std::vector<double>>{};
    return rows_of(proven.rows, d);
  };
  if (prove_path(model, data, path, replan, ls, report)) {
    r.rows = flat_of(path);
    return r;
  }
  return run(settings, start, goal);
}

}  // namespace brimwell
