// Brimwell: collision-free joint trajectories through the captured waypoints.
//
// The planning itself (validity checks, RRT*, RRT-Connect, shortcutting,
// densification) lives in the C++ headers beside this file, the Python face of
// the context in py_bridge.hpp.  This file binds the context, the RRT* segment
// planner, smoothing and densification, and registers the bidirectional
// planner (connect_bindings.cpp) and the driver (driver.cpp).
#include "Brimwell/path_tools.hpp"
#include "Brimwell/py_planning.hpp"
#include "Brimwell/rrt_star.hpp"
#include "Brimwell/stopwatch.hpp"

#include <nanobind/eval.h>
#include <nanobind/stl/string.h>

#include <optional>

namespace brimwell_py {

// ---------------------------------------------------------------------------
// plan_segment

nb::list plan_segment(nb::handle ctx_obj, nb::handle start_in, nb::handle goal_in, nb::handle rng,
                      std::int64_t max_iters, double step, double goal_bias) {
  brimwell::require_positive(step, "plan_segment: step");
  SegmentEnds ends(start_in, goal_in);
  ContextAdapter ctx(ctx_obj);
  const std::size_t d = ends.read(ctx.dims());
  refuse_invalid_ends(ctx, ends);
  const brimwell::RrtResult r =
      run_rrt_star(ctx, rng, settings_from_module().rrt(max_iters, step, goal_bias), ends.s.data(),
                   ends.g.data(), "RRT*");
  if (r.status == brimwell::RrtStatus::Failed)
    throw PlanFailure(
        brimwell::failure_text("RRT*", str_of(ends.start), str_of(ends.goal), max_iters));
  nb::list path;
  if (r.status == brimwell::RrtStatus::Direct) path.append(ends.start);
  for (std::size_t off = 0; off < r.rows.size(); off += d) path.append(to_numpy(&r.rows[off], d));
  path.append(ends.goal);
  return path;
}

// ---------------------------------------------------------------------------
// smooth_path

nb::list smooth_path(nb::handle ctx_obj, nb::handle path_in, nb::handle rng, std::int64_t iters) {
  nb::list entries(path_in);
  const std::size_t m = nb::len(entries);
  ContextAdapter ctx(ctx_obj);
  // Entries are converted the first time an edge check needs their numbers;
  // a Python edge_valid gets the caller's own entries, unconverted.
  std::vector<std::optional<std::vector<double>>> values(m);
  auto value = [&](std::size_t e) -> const std::vector<double>& {
    if (!values[e] && !ctx.caller_edges())
      values[e] = joint_vector(entries[e], ctx.dims(), "a path entry");
    static const std::vector<double> none;
    return values[e] ? *values[e] : none;
  };
  std::vector<std::size_t> kept = brimwell::shortcut_path(
      m, iters, [&](std::size_t len) { return draw_pair(rng, len); },
      [&](std::size_t a, std::size_t b) {
        return ctx.edge_valid_objects(entries[a], entries[b], value(a), value(b));
      });
  nb::list out;
  for (std::size_t e : kept) out.append(entries[e]);
  return out;
}

// ---------------------------------------------------------------------------
// densify

std::vector<std::vector<double>> path_values(nb::handle path_in, const char* who) {
  nb::list entries(path_in);
  if (nb::len(entries) == 0)
    throw nb::index_error((std::string(who) + ": the path has no configurations").c_str());
  std::vector<std::vector<double>> rows;
  std::size_t d = 0;
  for (std::size_t e = 0; e < nb::len(entries); ++e)
    rows.push_back(brimwell::path_entry(cellpath::py::as_f64(entries[e]), e, d, who));
  return rows;
}

nb::object densify(nb::handle path, double res) {
  brimwell::require_positive(res, "densify: res");
  const std::vector<std::vector<double>> rows = path_values(path, "densify");
  std::vector<const double*> ptrs;
  for (const auto& r : rows) ptrs.push_back(r.data());
  const std::size_t d = rows.front().size();
  std::size_t count = 0;
  std::vector<double> dense;
  without_interpreter([&] { dense = brimwell::densify_rows(ptrs, d, res, count); });
  return cellpath::py::new_array(dense, {count, d});
}
// ---------------------------------------------------------------------------
// _Node: a plain Python class with two slots, as the tree records are
// described to users; the planner itself keeps its tree in flat C++ arrays.

nb::object make_node_class() {
  // A genuine slotted Python class (no per-instance dict, no other fields),
  // defined in Python's own terms so it behaves exactly as one.
  nb::dict scope;
  scope["__name__"] = "Brimwell";
  scope["__builtins__"] = nb::module_::import_("builtins");
  nb::exec(doc::kNodeClass, scope);
  return scope["_Node"];
}

}  // namespace brimwell_py

using namespace brimwell_py;

namespace {

void set_module_values(nb::module_& m) {
  // The lower modules' names offered as this module's own (as `from Tovik
  // import forward_kinematics` would); a user may replace them here.
  const std::pair<const char*, const char*> imported[] = {{"Sallowmere", "RobotEnvironmentHandler"},
                                                          {"Sallowmere", "SCREW_LINEAR_SCALE"},
                                                          {"Gristane", "in_collision"},
                                                          {"Tovik", "forward_kinematics"},
                                                          {"Tovik", "adjoint"}};
  for (const auto& [module, name] : imported)
    nb::setattr(m, name, nb::getattr(nb::module_::import_(module), name));
  g_imported = {nb::getattr(m, "forward_kinematics").release(),
                nb::getattr(m, "in_collision").release()};

  cellpath::py::set_values(m, {{"CACHE_DIR", cellpath::py::default_cache_dir(m, "Cache", 1)},
                               {"STEP", nb::cast(kDefaults.step)},
                               {"EDGE_RES", nb::cast(kDefaults.edge_res)},
                               {"GOAL_CONNECT_RADIUS", nb::cast(kDefaults.goal_connect_radius)},
                               {"GOAL_BIAS", nb::cast(kDefaults.goal_bias)},
                               {"MAX_ITERS", nb::cast(kDefaults.max_iters)},
                               {"RRT_STAR_GAMMA", nb::cast(kDefaults.rrt_star_gamma)},
                               {"SMOOTH_ITERS", nb::cast(kDefaults.smooth_iters)},
                               {"SEED", nb::cast(kDefaults.seed)},
                               {"AUTO_TIME_LIMIT", nb::cast(kDefaults.auto_time_limit)},
                               {"RETRY_GROWTH", nb::cast(kDefaults.retry_growth)},
                               {"_Node", make_node_class()}});
}

// Two answers per row of qs, into new arrays of A and B that `fill` writes.
template <class A, class B, class Fill>
nb::tuple row_answers(const PlanningContext& c, const Array<double>& qs, Fill&& fill) {
  brimwell::require_configurations(qs, c.n);
  A* a = nullptr;
  B* b = nullptr;
  nb::object a_arr = cellpath::py::new_array<A>({qs.shape[0]}, &a);
  nb::object b_arr = cellpath::py::new_array<B>({qs.shape[0]}, &b);
  fill(a, b);
  return nb::make_tuple(a_arr, b_arr);
}

// Benchmark aid (bench/stopwatch.py): the native validity test of every row
// of qs, timed inside native code.
nb::tuple time_is_valid(const PlanningContext& c, const Array<double>& qs) {
  return row_answers<std::int64_t, bool>(c, qs, [&](std::int64_t* ns, bool* ok) {
    brimwell::time_is_valid(*c.model, *c.data, qs, ns, ok);
  });
}

// Test aid: per row of qs, the self-collision answer with the pair tables
// and with every pair walked.
nb::tuple self_answers(const PlanningContext& c, const Array<double>& qs) {
  return row_answers<bool, bool>(c, qs, [&](bool* tabled, bool* walked) {
    brimwell::self_answers(*c.model, *c.data, qs, tabled, walked);
  });
}

void bind_context_methods(nb::class_<PlanningContext>& cls) {
  cls.def(
      "in_limits",
      [](nb::pointer_and_handle<PlanningContext> self, nb::handle q) {
        std::vector<double> v = joint_vector(q, self.p->n, "q");
        return self.p->model->in_limits(v.data());
      },
      "q"_a, doc::kInLimits);
  cls.def(
      "is_valid",
      [](nb::pointer_and_handle<PlanningContext> self, nb::handle q) {
        std::vector<double> v = joint_vector(q, self.p->n, "q");
        ContextAdapter ctx(self.h);
        return ctx.base_is_valid(v.data());
      },
      "q"_a, doc::kIsValid);
  cls.def(
      "edge_valid",
      [](nb::pointer_and_handle<PlanningContext> self, nb::handle a, nb::handle b, double res) {
        std::vector<double> av = joint_vector(a, self.p->n, "a");
        std::vector<double> bv = joint_vector(b, self.p->n, "b");
        ContextAdapter ctx(self.h);
        return ctx.base_edge_valid(av.data(), bv.data(), res);
      },
      "a"_a, "b"_a, "res"_a = kDefaults.context_edge_res, doc::kEdgeValid);
  cls.def(
      "sample",
      [](PlanningContext& c, nb::handle rng) { return rng.attr("uniform")(c.low, c.high); },
      "rng"_a, doc::kSample);
}

void bind_context_properties(nb::class_<PlanningContext>& cls) {
  cls.def_prop_ro("lazy_proof", [](PlanningContext& c) { return c.lazy_proof; }, doc::kLazyProof);
  cls.def_prop_ro("clearance", [](PlanningContext& c) { return c.clearance; }, doc::kClearance);
  cls.def_prop_ro(
      "self_collision", [](PlanningContext& c) { return c.self_collision; }, doc::kSelfCollision);
  cls.def_prop_ro(
      "allowed_pairs", [](PlanningContext& c) { return c.allowed_pairs; }, doc::kAllowedPairs);
  cls.def_prop_ro("handler", [](PlanningContext& c) { return c.handler; }, doc::kHandler);
  cls.def_prop_ro("slist", [](PlanningContext& c) { return c.slist; }, doc::kSlist);
  cls.def_prop_ro(
      "home_transforms", [](PlanningContext& c) { return c.home_transforms; },
      doc::kHomeTransforms);
  cls.def_prop_ro("limits", [](PlanningContext& c) { return c.limits; }, doc::kLimits);
  cls.def_prop_ro("n_joints", [](PlanningContext& c) { return c.n; }, doc::kNJoints);
}

void bind_context(nb::module_& m) {
  auto cls = nb::class_<PlanningContext>(m, "PlanningContext", doc::kPlanningContext);
  cls.def(
      "__init__",
      [](PlanningContext* self, nb::handle cache_dir, bool self_collision, nb::handle clearance,
         bool lazy_proof) {
        // A bad clearance is refused before anything is loaded.
        ClearanceArg given = clearance_arg(clearance);
        brimwell::require_lazy_clearance(lazy_proof, given.on);
        const std::filesystem::path cache = cellpath::py::path_arg(cache_dir);
        check_body_names(given, cache);
        new (self) PlanningContext(cache, self_collision, given, lazy_proof);
      },
      "cache_dir"_a, nb::kw_only(), "self_collision"_a = false, "clearance"_a.none() = nb::none(),
      "lazy_proof"_a = false, doc::kPlanningContextInit);
  bind_context_properties(cls);
  bind_context_methods(cls);
}

void bind_planning(nb::module_& m) {
  m.def("plan_segment", &plan_segment, "ctx"_a, "start"_a, "goal"_a, "rng"_a,
        "max_iters"_a = kDefaults.max_iters, "step"_a = kDefaults.step,
        "goal_bias"_a = kDefaults.goal_bias, doc::kPlanSegment);
  m.def("smooth_path", &smooth_path, "ctx"_a, "path"_a, "rng"_a, "iters"_a = kDefaults.smooth_iters,
        doc::kSmoothPath);
  m.def("densify", &densify, "path"_a, "res"_a = kDefaults.edge_res, doc::kDensify);
  m.def("_time_is_valid", &time_is_valid, "ctx"_a, "qs"_a, doc::kTimeIsValid);
  m.def("_self_answers", &self_answers, "ctx"_a, "qs"_a, doc::kSelfAnswers);
}

}  // namespace

NB_MODULE(Brimwell, m) {
  m.doc() = doc::kModule;
  set_module_values(m);
  bind_context(m);
  bind_planning(m);
  register_connect(m);
  register_parallel(m);
  register_driver(m);
  brimwell::register_timing(m);
}
