// The Python face of the planner, shared by its binding files: argument
// conversion, the native planning context and the caller's random generator.
// The adapters that let any Python object act as a planning context, and the
// terminal progress, are in py_adapter.hpp.
#pragma once

#include "Brimwell/arm_model.hpp"
#include "Brimwell/context_arm.hpp"
#include "Brimwell/context_models.hpp"
#include "Brimwell/joint_space.hpp"
#include "Brimwell/native_context.hpp"
#include "Brimwell/overrides.hpp"
#include "Brimwell/path_tools.hpp"
#include "Brimwell/planner_settings.hpp"
#include "Brimwell/progress.hpp"
#include "Gristane/api.hpp"
#include "Gristane/collision.hpp"
#include "Gristane/link_cloud.hpp"
#include "common/capture_reader.hpp"
#include "common/file_path.hpp"
#include "common/pybridge.hpp"
#include "common/se3.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace brimwell_py {

namespace nb = nanobind;
using namespace nb::literals;
using cellpath::py::Array;

// The tuning values' defaults (planner_settings.hpp), which the module's
// attributes of the same names start from.
inline const brimwell::PlannerSettings kDefaults{};

using cellpath::py::numpy;
using cellpath::py::repr_of;
using cellpath::py::str_of;

// The module itself, for the names a user may replace and the planner must
// hear at call time (tuning values, RobotEnvironmentHandler, the geometry
// functions): the one crossing back through the interpreter into Brimwell.
inline nb::module_ self_module() { return nb::module_::import_("Brimwell"); }

using cellpath::py::print_line;

using cellpath::py::to_index;
using cellpath::py::truthy;

// A joint vector as a new numpy array (common/pybridge.hpp's copy).
inline nb::object to_numpy(const double* q, std::size_t d) {
  return cellpath::py::new_array<double>({d}, q);
}

// x as numpy converts it to float64 (numpy.asarray(x, dtype=float64): the
// caller's own array when it is one), after the refusal of text, complex
// numbers and objects every array argument gets.
inline nb::object float64_array(nb::handle x) {
  return cellpath::py::asarray_f64(cellpath::py::real_numbers(x));
}

inline nb::object read_only(nb::object arr) {
  arr.attr("flags").attr("writeable") = false;
  return arr;
}

// A one-dimensional float64 vector of exactly d entries, copied out of x.
inline std::vector<double> joint_vector(nb::handle x, std::size_t d, const char* what) {
  // A float64 numpy vector (the common case) is read in place; anything else
  // goes through numpy's own conversion.
  using Vector = nb::ndarray<const double, nb::ndim<1>, nb::device::cpu>;
  Vector view;
  if (nb::try_cast<Vector>(x, view, false) && view.shape(0) == d) {
    std::vector<double> v(d);
    for (std::size_t k = 0; k < d; ++k) v[k] = view(k);
    return v;
  }
  return brimwell::joint_vector_of(cellpath::py::as_f64(x), d, what);
}

using brimwell::bitgen_t;

using cellpath::py::default_rng;

// The C state of a numpy bit generator (its capsule), alive as long as the
// bit generator.
inline bitgen_t* bitgen_state(nb::handle bit_generator) {
  nb::object capsule = bit_generator.attr("capsule");
  void* p = PyCapsule_GetPointer(capsule.ptr(), "BitGenerator");
  if (!p) throw nb::python_error();
  return static_cast<bitgen_t*>(p);
}

// ---------------------------------------------------------------------------
// The native planning context.

// Tovik's forward_kinematics and Gristane's in_collision as the module bound
// them at import (owned for the interpreter's life): while the module's names
// still hold them, the native model answers in their stead.
struct ImportedGeometry {
  nb::handle forward_kinematics, in_collision;
};
inline ImportedGeometry g_imported;

// A clearance argument as given: None, metres for every body, or a dict of
// body name -> metres with "default" for the bodies it does not name
// (clearance_arg.cpp).  clearance_arg checks its values; with a cache, a
// dict's names are then checked against the bodies its meta.json lists.
struct ClearanceArg : brimwell::Clearance {
  nb::object value = nb::none();  // what the context reports as its clearance
};
ClearanceArg clearance_arg(nb::handle x);
void check_body_names(ClearanceArg& a, const std::filesystem::path& cache_dir);

class PlanningContext {
 public:
  // `clearance` as clearance_arg read it against the cache, lazy proofs only
  // with a clearance (brimwell::require_lazy_clearance).
  PlanningContext(const std::filesystem::path& cache, bool self_collision,
                  const ClearanceArg& clearance, bool lazy_proof);

  nb::object handler, slist, home_transforms, limits;
  // Self-collision: on or off, and the link pairs never tested (a tuple of
  // (i, j) with i < j; empty when off).
  bool self_collision = false;
  nb::object allowed_pairs;
  // The clearance in metres (or a dict of them per body), or None: then the
  // voxel grid is the environment test.
  nb::object clearance;
  // With a clearance: planners search with screened edges and prove only the
  // path they keep (lazy_proof.hpp).
  bool lazy_proof = false;
  // The kinematics and collision functions the module is built on; while its
  // names are bound to them, the native model answers in their stead.
  nb::object forward_kinematics, in_collision;
  std::size_t n = 0;
  // The arm model (read only once built, shared with every planner thread)
  // and the data of the queries this context answers on the interpreter's
  // thread (a planner run elsewhere takes a copy and hands it back).
  std::unique_ptr<brimwell::ArmModel> model;
  std::unique_ptr<brimwell::ArmData> data;
  // rng.uniform(low, high) arguments, and the bounds they hold as C++ values
  // (the limits, and what native draws start from).
  nb::object low, high;
  brimwell::JointBounds bounds;

 private:
  cellpath::py::StridedView grid_buf_;  // holds the handler's grid buffer
};

// Builds the self-collision model of the handler's link meshes into c.model
// and sets c.allowed_pairs (self_collision_bindings.cpp).
void enable_self_collision(PlanningContext& c, const brimwell::ContextArm& arm);
// Builds the distance engine of the handler's environment and link meshes
// into c.model, for a clearance (self_collision_bindings.cpp).
void enable_clearance(PlanningContext& c, const brimwell::ContextArm& arm,
                      const ClearanceArg& clearance);

// The capture a context plans with, as its handler (which a user may replace)
// holds it: the screws at handler.ScrewAxis, one link per entry of
// handler.initialTransforms (base first; names and meshes are not needed),
// and the joint limits in the cache, each checked as it is read.
inline cellpath::capture::Capture handler_capture(nb::handle handler,
                                                  const std::filesystem::path& cache) {
  cellpath::capture::Capture c;
  // Screws: captured in the base frame with linear rows in centimetres.
  cellpath::py::read_screws(c, handler.attr("ScrewAxis"));
  brimwell::add_home_links(c, cellpath::py::as_f64(handler.attr("initialTransforms")));
  cellpath::py::read_limits(c, cellpath::in_dir(cache, cellpath::py::kLimitsFile));
  return c;
}

// The voxel test's inputs as a handler holds them when asked (a user may
// replace them): every link's point set, the environment grid, its origin
// and its pitch.
struct HandlerGrid {
  nb::object link_points, env_grid, env_origin, pitch;
};

inline HandlerGrid handler_grid(nb::handle handler) {
  HandlerGrid g;
  const std::pair<const char*, nb::object*> fields[] = {{"link_points", &g.link_points},
                                                        {"env_grid", &g.env_grid},
                                                        {"env_origin", &g.env_origin},
                                                        {"pitch", &g.pitch}};
  for (const auto& [name, field] : fields) *field = handler.attr(name);
  return g;
}

// The point sets of the moving links (entries 1 .. n of the handler's
// link_points), read in place.
inline std::vector<brimwell::LinkCloud> moving_clouds(nb::handle points, std::size_t n) {
  brimwell::require_point_set_count(nb::len(points), n);
  std::vector<brimwell::LinkCloud> clouds;
  clouds.reserve(n);
  for (std::size_t i = 1; i <= n; ++i)
    clouds.push_back(brimwell::moving_cloud(cellpath::py::as_f64(points[nb::int_(i)]), i));
  return clouds;
}

// x as metres of clearance when it is a finite number, not negative and not
// a bool; NaN otherwise, for the caller to word its refusal.
inline double clearance_metres(nb::handle x) {
  double v = std::numeric_limits<double>::quiet_NaN();
  if (!PyBool_Check(x.ptr())) {
    try {
      v = cellpath::py::to_double(x);
    } catch (nb::python_error& e) {
      if (!e.matches(PyExc_Exception)) throw;  // an interrupt goes on
    } catch (std::exception&) {
    }
  }
  return v >= 0.0 && std::isfinite(v) ? v : std::numeric_limits<double>::quiet_NaN();
}

// A clearance as given: None, or a finite number of metres, not negative.
inline double clearance_value(nb::handle x) {
  const double v = clearance_metres(x);
  if (std::isnan(v))
    throw nb::value_error(("clearance must be a finite number of metres, not negative, got " +
                           cellpath::py::repr_of(x))
                              .c_str());
  return v;
}

inline PlanningContext::PlanningContext(const std::filesystem::path& cache, bool self_collision_on,
                                        const ClearanceArg& clearance_given, bool lazy)
    : self_collision(self_collision_on),
      allowed_pairs(nb::tuple()),
      clearance(nb::none()),
      lazy_proof(lazy) {
  const bool clearance_on = clearance_given.on;
  nb::module_ brim = self_module();
  handler = brim.attr("RobotEnvironmentHandler")(nb::cast(cache));
  forward_kinematics = nb::borrow(g_imported.forward_kinematics);
  in_collision = nb::borrow(g_imported.in_collision);

  // World-frame screws in metres, as every reader of the capture makes them.
  const cellpath::capture::Capture captured = handler_capture(handler, cache);
  const brimwell::ContextArm arm =
      brimwell::context_arm(captured, nb::cast<double>(brim.attr("SCREW_LINEAR_SCALE")));
  n = arm.n;
  slist = read_only(cellpath::py::new_array(arm.world_screws, {6, n}));
  home_transforms = read_only(cellpath::py::new_array(arm.homes, {n, 4, 4}));
  bounds = arm.bounds;
  limits = read_only(cellpath::py::new_array(bounds.limits, {n, 2}));
  low = read_only(cellpath::py::new_array(bounds.lower));
  high = read_only(cellpath::py::new_array(bounds.upper));

  // The environment grid is read where it lies (it may be gigabytes of mostly
  // untouched pages), by the same reader as the stateless queries.
  const HandlerGrid grid = handler_grid(handler);
  const gristane::GridView view = gristane::api::grid_view(grid.env_grid, grid.env_origin,
                                                           nb::cast<double>(grid.pitch), grid_buf_);

  std::vector<brimwell::LinkCloud> clouds = moving_clouds(grid.link_points, n);
  model = std::make_unique<brimwell::ArmModel>(n, arm.world_screws.data(), arm.homes.data(),
                                               bounds.lower.data(), bounds.upper.data(),
                                               std::move(clouds), view);
  if (self_collision) enable_self_collision(*this, arm);
  if (clearance_on) {
    enable_clearance(*this, arm, clearance_given);
    clearance = clearance_given.value;
    model->set_lazy(lazy_proof);
  }
  data = std::make_unique<brimwell::ArmData>(*model);
}

// ---------------------------------------------------------------------------
// Which of the context's methods a Python subclass (or instance) replaced
// (overrides.hpp says why this, not trampolines), taken once per
// planner call.

inline bool geometry_replaced(const PlanningContext& c) {
  nb::module_ m = self_module();
  return !nb::getattr(m, "forward_kinematics").is(c.forward_kinematics) ||
         !nb::getattr(m, "in_collision").is(c.in_collision);
}

inline brimwell::Overrides overrides_of(nb::handle self) {
  brimwell::Overrides o;
  o.geometry = geometry_replaced(*nb::inst_ptr<PlanningContext>(self));
  nb::handle base = nb::type<PlanningContext>();
  nb::handle tp = self.type();
  if (tp.is(base)) return o;
  nb::object inst_dict = nb::getattr(self, "__dict__", nb::none());
  auto replaced = [&](const char* name) {
    if (!inst_dict.is_none() && PyDict_Check(inst_dict.ptr()) &&
        PyDict_GetItemString(inst_dict.ptr(), name) != nullptr)
      return true;
    return !nb::getattr(tp, name).is(nb::getattr(base, name));
  };
  o.in_limits = replaced("in_limits");
  o.is_valid = replaced("is_valid");
  o.edge_valid = replaced("edge_valid");
  o.sample = replaced("sample");
  return o;
}

// ---------------------------------------------------------------------------
// Random draws from the caller's generator.

class Draws {
 public:
  // Native draws only for numpy's own Generator class and only when nothing
  // else runs Python between draws; the generator's lock is held meanwhile,
  // as numpy holds it around its own draws.
  Draws(nb::handle rng, bool allow_native) : rng_(nb::borrow(rng)) {
    if (allow_native && rng.type().is(numpy().attr("random").attr("Generator"))) {
      nb::object bit_generator = rng.attr("bit_generator");
      bitgen_t* state = bitgen_state(bit_generator);
      lock_ = bit_generator.attr("lock");
      lock_.attr("acquire")();
      bitgen_ = state;
    } else {
      random_ = rng.attr("random");
    }
  }
  ~Draws() {
    if (bitgen_) call_keeping_error(lock_, "release");
  }
  Draws(const Draws&) = delete;
  Draws& operator=(const Draws&) = delete;

  nb::handle rng() const { return rng_; }
  bool native() const { return bitgen_ != nullptr; }
  bitgen_t* bitgen() const { return bitgen_; }

  double random() {
    if (bitgen_) return bitgen_->next_double(bitgen_->state);
    return nb::cast<double>(random_());
  }

  // out[k] = rng.uniform(low, high)[k].
  void uniform(const PlanningContext& c, double* out) {
    if (bitgen_ && c.bounds.span_finite) {
      for (std::size_t k = 0; k < c.n; ++k)
        out[k] = c.bounds.lower[k] + c.bounds.span[k] * bitgen_->next_double(bitgen_->state);
      return;
    }
    // numpy raises its own error for an infinite range; let it.
    nb::object r = rng_.attr("uniform")(c.low, c.high);
    std::vector<double> v = joint_vector(r, c.n, "rng.uniform(low, high)");
    for (std::size_t k = 0; k < c.n; ++k) out[k] = v[k];
  }

 private:
  nb::object rng_;
  nb::object random_;
  nb::object lock_;
  bitgen_t* bitgen_ = nullptr;
};

// Two uniform picks in [0, len): rng.integers(0, len, size=2).
inline std::pair<std::int64_t, std::int64_t> draw_pair(nb::handle rng, std::size_t len) {
  nb::object r = rng.attr("integers")(0, len, "size"_a = 2);
  nb::object i = r[nb::int_(0)], j = r[nb::int_(1)];
  return {to_index(i), to_index(j)};
}

}  // namespace brimwell_py
