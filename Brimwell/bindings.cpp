// Brimwell: collision-free joint trajectories through the captured waypoints.
//
// The planning itself (validity checks, RRT*, shortcutting, densification)
// lives in the C++ headers beside this file.  This file is the Python face:
// argument conversion, the adapters that let any Python object act as a
// planning context, the caller's random generator, terminal progress, and the
// trajectory driver with its printed lines and files.
#include "arm_model.hpp"
#include "collision.hpp"
#include "common/pybridge.hpp"
#include "common/se3.hpp"
#include "joint_space.hpp"
#include "link_cloud.hpp"
#include "path_tools.hpp"
#include "rrt_star.hpp"
#include "timing.hpp"

#include <nanobind/eval.h>
#include <nanobind/stl/string.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;
using cellpath::py::Array;

namespace {

// Defaults of the public functions.  The module attributes of the same names
// are set from these; RRT_STAR_GAMMA, GOAL_CONNECT_RADIUS, SEED and EDGE_RES are
// read back from the module at run time where the functions use them directly,
// so a caller can retune a run by assigning them.
constexpr double kStep = 0.3;
constexpr double kEdgeRes = 0.05;
constexpr double kGoalConnectRadius = kStep;
constexpr double kGoalBias = 0.1;
constexpr std::int64_t kMaxIters = 3000;
constexpr double kRrtStarGamma = 3.0;
constexpr std::int64_t kSmoothIters = 200;
constexpr std::int64_t kSeed = 0;
constexpr double kTwoPi = 2.0 * 3.141592653589793;  // 2 * numpy.pi

nb::module_ self_module() { return nb::module_::import_("Brimwell"); }
nb::module_ numpy() { return nb::module_::import_("numpy"); }

double module_float(const char* name) { return nb::cast<double>(self_module().attr(name)); }

void say(const std::string& line) { nb::module_::import_("builtins").attr("print")(line); }

std::string fixed2(double seconds) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2f", seconds);
  return buf;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

std::string py_str(nb::handle x) { return nb::str(x).c_str(); }

std::int64_t as_index(nb::handle x) {
  PyObject* idx = PyNumber_Index(x.ptr());
  if (!idx) throw nb::python_error();
  const long long v = PyLong_AsLongLong(idx);
  Py_DECREF(idx);
  if (v == -1 && PyErr_Occurred()) throw nb::python_error();
  return v;
}

bool truth(nb::handle x) {
  const int t = PyObject_IsTrue(x.ptr());
  if (t < 0) throw nb::python_error();
  return t != 0;
}

nb::object to_numpy(const double* q, std::size_t d) {
  double* dst = nullptr;
  nb::object arr = cellpath::py::new_f64({d}, &dst);
  for (std::size_t k = 0; k < d; ++k) dst[k] = q[k];
  return arr;
}

nb::object read_only(nb::object arr) {
  arr.attr("flags").attr("writeable") = false;
  return arr;
}

// A one-dimensional float64 vector of exactly d entries, copied out of x.
std::vector<double> joint_vector(nb::handle x, std::size_t d, const char* what) {
  // A float64 numpy vector (the common case) is read in place; anything else
  // goes through numpy's own conversion.
  using Vector = nb::ndarray<const double, nb::ndim<1>, nb::device::cpu>;
  Vector view;
  if (nb::try_cast<Vector>(x, view, false) && view.shape(0) == d) {
    std::vector<double> v(d);
    for (std::size_t k = 0; k < d; ++k) v[k] = view(k);
    return v;
  }
  Array<double> a = cellpath::py::as_f64(x);
  if (a.ndim() != 1 || a.size != d)
    throw nb::value_error((std::string(what) + " must be a joint vector of " + std::to_string(d) +
                           " values, got shape " + cellpath::py::shape_text(a.shape))
                              .c_str());
  return std::vector<double>(a.data, a.data + a.size);
}

// ---------------------------------------------------------------------------
// numpy's bit generator interface (numpy/random/bitgen.h), used to draw the
// planner's uniform numbers without a Python call per draw.  Generator.random()
// is next_double(); Generator.uniform(low, high) with array bounds is
// low + (high - low) * next_double() per element in order: the same numbers,
// and the same state left behind, as numpy's own calls.
struct bitgen_t {
  void* state;
  std::uint64_t (*next_uint64)(void* st);
  std::uint32_t (*next_uint32)(void* st);
  double (*next_double)(void* st);
  std::uint64_t (*next_raw)(void* st);
};

// ---------------------------------------------------------------------------
// The native planning context.

class PlanningContext {
 public:
  explicit PlanningContext(nb::handle cache_dir_in);

  nb::object handler, slist, home_transforms, limits;
  std::size_t n = 0;
  std::unique_ptr<brimwell::ArmModel> model;
  // rng.uniform(low, high) arguments, and their difference for native draws.
  nb::object low, high;
  std::vector<double> lower, span;
  bool span_finite = true;

 private:
  nb::object grid_owner_;  // keeps the handler's grid buffer alive
};

PlanningContext::PlanningContext(nb::handle cache_dir_in) {
  nb::module_ np = numpy();
  nb::module_ brim = self_module();
  nb::object cache = nb::module_::import_("pathlib").attr("Path")(cache_dir_in);

  handler = brim.attr("RobotEnvironmentHandler")(cache);

  // Screws: captured in the base frame with linear rows in centimetres.
  nb::object s_obj = np.attr("load")(handler.attr("ScrewAxis"), "allow_pickle"_a = false);
  Array<double> s = cellpath::py::as_f64(s_obj);
  if (s.ndim() != 2 || s.shape[0] != 6 || s.shape[1] == 0)
    throw nb::value_error(("ScrewAxis.npy must hold a (6, n) screw list with n >= 1, got shape " +
                           cellpath::py::shape_text(s.shape))
                              .c_str());
  cellpath::py::require_finite(s, "ScrewAxis.npy");
  n = s.shape[1];

  Array<double> init = cellpath::py::as_f64(handler.attr("initialTransforms"));
  if (init.ndim() != 3 || init.shape[0] != n + 1 || init.shape[1] != 4 || init.shape[2] != 4)
    throw nb::value_error(("the handler's initialTransforms must hold " + std::to_string(n + 1) +
                           " transforms (base and one per joint), got shape " +
                           cellpath::py::shape_text(init.shape))
                              .c_str());
  cellpath::py::require_finite(init, "initialTransforms");

  // World-frame screws: adjoint(T_base) @ scaled, summed over k in order.
  const double scale = nb::cast<double>(brim.attr("SCREW_LINEAR_SCALE"));
  std::vector<double> scaled(s.data, s.data + 6 * n);
  for (std::size_t r = 3; r < 6; ++r)
    for (std::size_t c = 0; c < n; ++c) scaled[r * n + c] *= scale;
  cellpath::Mat4 base;
  for (int k = 0; k < 16; ++k) base[k] = init.data[k];
  const cellpath::Mat6 Ad = cellpath::adjoint(base);
  double* world = nullptr;
  slist = cellpath::py::new_f64({6, n}, &world);
  for (std::size_t r = 0; r < 6; ++r)
    for (std::size_t c = 0; c < n; ++c) {
      double acc = Ad[r * 6 + 0] * scaled[0 * n + c];
      for (std::size_t k = 1; k < 6; ++k) acc += Ad[r * 6 + k] * scaled[k * n + c];
      world[r * n + c] = acc;
    }
  read_only(slist);

  double* home = nullptr;
  home_transforms = cellpath::py::new_f64({n, 4, 4}, &home);
  for (std::size_t k = 0; k < 16 * n; ++k) home[k] = init.data[16 + k];
  read_only(home_transforms);

  // Limits: an unbounded side is planned within +-2 pi.
  nb::object lim_obj = np.attr("load")(cache.attr("__truediv__")("JointLimits.npy"),
                                       "allow_pickle"_a = false);
  Array<double> lim = cellpath::py::as_f64(lim_obj);
  if (lim.ndim() != 2 || lim.shape[1] != 2)
    throw nb::value_error(("JointLimits.npy must have shape (n, 2), got " +
                           cellpath::py::shape_text(lim.shape))
                              .c_str());
  if (lim.shape[0] != n)
    throw nb::value_error(("JointLimits.npy has " + std::to_string(lim.shape[0]) +
                           " rows but ScrewAxis.npy has " + std::to_string(n) +
                           " joint columns")
                              .c_str());
  double* lim_out = nullptr;
  limits = cellpath::py::new_f64({n, 2}, &lim_out);
  lower.resize(n);
  std::vector<double> upper(n);
  for (std::size_t k = 0; k < n; ++k) {
    double lo = lim.data[2 * k], hi = lim.data[2 * k + 1];
    if (std::isnan(lo) || std::isnan(hi))
      throw nb::value_error(("JointLimits.npy holds NaN for joint " + std::to_string(k)).c_str());
    if (std::isinf(lo) && lo < 0) lo = -kTwoPi;
    if (std::isinf(hi) && hi > 0) hi = kTwoPi;
    lim_out[2 * k] = lower[k] = lo;
    lim_out[2 * k + 1] = upper[k] = hi;
  }
  read_only(limits);
  double *lo_p = nullptr, *hi_p = nullptr;
  low = read_only(cellpath::py::new_f64({n}, &lo_p));
  high = read_only(cellpath::py::new_f64({n}, &hi_p));
  span.resize(n);
  for (std::size_t k = 0; k < n; ++k) {
    lo_p[k] = lower[k];
    hi_p[k] = upper[k];
    span[k] = upper[k] - lower[k];
    if (!std::isfinite(span[k])) span_finite = false;
  }

  // Environment grid, read in place.
  // A boolean grid is read where it lies (it may be gigabytes of mostly
  // untouched pages); anything else is converted once.
  using GridArray = nb::ndarray<const bool, nb::ndim<3>, nb::device::cpu>;
  nb::object grid = handler.attr("env_grid");
  GridArray gv;
  if (!nb::try_cast<GridArray>(grid, gv, false)) {
    grid = np.attr("asarray")(grid, "dtype"_a = np.attr("bool_"));
    if (!nb::try_cast<GridArray>(grid, gv, false))
      throw nb::value_error(("env_grid must be a 3-D array, got shape " +
                             py_str(grid.attr("shape")))
                                .c_str());
  }
  gristane::GridView view;
  view.cells = reinterpret_cast<const std::uint8_t*>(gv.data());
  for (int a = 0; a < 3; ++a) {
    view.shape[a] = static_cast<std::int64_t>(gv.shape(a));
    view.stride[a] = static_cast<std::int64_t>(gv.stride(a));  // bool: one byte per element
  }
  grid_owner_ = grid;
  Array<double> origin = cellpath::py::as_f64(handler.attr("env_origin"));
  cellpath::py::require_shape(origin, {3}, "env_origin");
  cellpath::py::require_finite(origin, "env_origin");
  const double pitch = nb::cast<double>(handler.attr("pitch"));
  if (!(pitch > 0.0) || !std::isfinite(pitch))
    throw nb::value_error("the environment grid's pitch must be a positive finite number");
  for (int a = 0; a < 3; ++a) view.origin[a] = origin[a];
  view.inv_pitch = 1.0 / pitch;

  nb::object points = handler.attr("link_points");
  if (nb::len(points) != n + 1)
    throw nb::value_error(("the handler has " + std::to_string(nb::len(points)) +
                           " link point sets, expected " + std::to_string(n + 1) +
                           " (base and one per joint)")
                              .c_str());
  std::vector<brimwell::LinkCloud> clouds;
  clouds.reserve(n);
  for (std::size_t i = 1; i <= n; ++i) {
    nb::object item = points[nb::int_(i)];
    Array<double> p = cellpath::py::as_f64(item);
    if (!(p.ndim() == 2 && p.shape[1] == 3) && p.size != 0)
      throw nb::value_error(("link point set " + std::to_string(i) + " must have shape (k, 3), got " +
                             cellpath::py::shape_text(p.shape))
                                .c_str());
    clouds.emplace_back(p.data, p.size / 3);
  }
  model = std::make_unique<brimwell::ArmModel>(n, world, home, lower.data(), upper.data(),
                                               std::move(clouds), view);
}

// ---------------------------------------------------------------------------
// Which of the context's methods a Python subclass (or instance) replaced.
// Base methods call each other through `self`, as Python methods would, so an
// override is honoured wherever the base implementation would call it.

struct BaseMethods {
  PyObject* type = nullptr;
  PyObject* in_limits = nullptr;
  PyObject* is_valid = nullptr;
  PyObject* edge_valid = nullptr;
  PyObject* sample = nullptr;
  // The kinematics and collision functions the module imported.
  PyObject* forward_kinematics = nullptr;
  PyObject* in_collision = nullptr;
};
BaseMethods g_base;  // strong references, kept for the life of the interpreter

struct Overrides {
  bool in_limits = false, is_valid = false, edge_valid = false, sample = false;
  // The module's forward_kinematics or in_collision was replaced (a test's
  // stub, say): the collision test then goes through those names.
  bool geometry = false;
  bool any() const { return in_limits || is_valid || edge_valid || sample || geometry; }
};

bool geometry_replaced() {
  nb::module_ m = self_module();
  return nb::getattr(m, "forward_kinematics").ptr() != g_base.forward_kinematics ||
         nb::getattr(m, "in_collision").ptr() != g_base.in_collision;
}

Overrides overrides_of(nb::handle self) {
  Overrides o;
  o.geometry = geometry_replaced();
  nb::handle tp = self.type();
  if (tp.ptr() == g_base.type) return o;
  nb::object inst_dict = nb::getattr(self, "__dict__", nb::none());
  auto replaced = [&](const char* name, PyObject* base) {
    if (!inst_dict.is_none() && PyDict_Check(inst_dict.ptr()) &&
        PyDict_GetItemString(inst_dict.ptr(), name) != nullptr)
      return true;
    return nb::getattr(tp, name).ptr() != base;
  };
  o.in_limits = replaced("in_limits", g_base.in_limits);
  o.is_valid = replaced("is_valid", g_base.is_valid);
  o.edge_valid = replaced("edge_valid", g_base.edge_valid);
  o.sample = replaced("sample", g_base.sample);
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
      capsule_ = bit_generator.attr("capsule");
      void* p = PyCapsule_GetPointer(capsule_.ptr(), "BitGenerator");
      if (!p) throw nb::python_error();
      lock_ = bit_generator.attr("lock");
      lock_.attr("acquire")();
      bitgen_ = static_cast<bitgen_t*>(p);
    } else {
      random_ = rng.attr("random");
    }
  }
  ~Draws() {
    if (bitgen_) {
      PyObject *type, *value, *trace;
      PyErr_Fetch(&type, &value, &trace);
      PyObject* r = PyObject_CallMethod(lock_.ptr(), "release", nullptr);
      if (!r) PyErr_Clear();
      Py_XDECREF(r);
      PyErr_Restore(type, value, trace);
    }
  }
  Draws(const Draws&) = delete;
  Draws& operator=(const Draws&) = delete;

  nb::handle rng() const { return rng_; }
  bool native() const { return bitgen_ != nullptr; }

  double random() {
    if (bitgen_) return bitgen_->next_double(bitgen_->state);
    return nb::cast<double>(random_());
  }

  // out[k] = rng.uniform(low, high)[k].
  void uniform(const PlanningContext& c, double* out) {
    if (bitgen_ && c.span_finite) {
      for (std::size_t k = 0; k < c.n; ++k) out[k] = c.lower[k] + c.span[k] * bitgen_->next_double(bitgen_->state);
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
  nb::object capsule_, lock_;
  bitgen_t* bitgen_ = nullptr;
};

// ---------------------------------------------------------------------------
// A planning context as the C++ planner sees it: the native one called
// directly, any other object (or an overridden method) through Python.

class ContextAdapter {
 public:
  ContextAdapter(nb::handle ctx) : ctx_(nb::borrow(ctx)) {
    if (nb::isinstance<PlanningContext>(ctx)) {
      native_ = nb::inst_ptr<PlanningContext>(ctx);
      over_ = overrides_of(ctx);
      d_ = native_->n;
    } else {
      const std::int64_t d = as_index(ctx.attr("n_joints"));
      if (d < 0) throw nb::value_error("ctx.n_joints must not be negative");
      d_ = static_cast<std::size_t>(d);
      over_.in_limits = over_.is_valid = over_.edge_valid = over_.sample = true;
    }
    scratch_.resize(d_);
  }

  std::size_t dims() const { return d_; }
  bool python_edge_valid() const { return over_.edge_valid; }
  bool fully_native() const { return native_ && !over_.any(); }
  nb::handle object() const { return ctx_; }
  void set_draws(Draws* draws) { draws_ = draws; }

  bool in_limits(const double* q) {
    if (over_.in_limits) return truth(ctx_.attr("in_limits")(to_numpy(q, d_)));
    return native_->model->in_limits(q);
  }

  // The base is_valid: limits first, then the collision test.
  bool base_is_valid(const double* q) {
    if (!in_limits(q)) return false;
    if (over_.geometry) return !python_collides(q);
    return !native_->model->collides(q);
  }

  // in_collision(link_points[1:], stack(forward_kinematics(slist, home, q)), grid,
  // origin, pitch) through whatever the module's names are bound to now.
  bool python_collides(const double* q) {
    nb::module_ m = self_module();
    nb::object h = native_->handler;
    nb::object moving = m.attr("forward_kinematics")(native_->slist, native_->home_transforms,
                                                      to_numpy(q, d_));
    nb::object T = numpy().attr("stack")(moving);
    nb::object all_links = h.attr("link_points");
    nb::object links = all_links[nb::slice(nb::int_(1), nb::none(), nb::none())];
    return truth(m.attr("in_collision")(links, T, h.attr("env_grid"), h.attr("env_origin"),
                                        h.attr("pitch")));
  }

  bool is_valid(const double* q) {
    if (over_.is_valid) return truth(ctx_.attr("is_valid")(to_numpy(q, d_)));
    return base_is_valid(q);
  }

  bool base_edge_valid(const double* a, const double* b, double res) {
    return brimwell::edge_valid(a, b, d_, res, [&](const double* q) { return is_valid(q); },
                                scratch_.data());
  }

  bool edge_valid(const double* a, const double* b) {
    if (over_.edge_valid) return truth(ctx_.attr("edge_valid")(to_numpy(a, d_), to_numpy(b, d_)));
    return base_edge_valid(a, b, kEdgeRes);
  }

  // The same, for the caller's own path entries (handed over unchanged).
  bool edge_valid_objects(nb::handle a, nb::handle b, const std::vector<double>& av,
                          const std::vector<double>& bv) {
    if (over_.edge_valid) return truth(ctx_.attr("edge_valid")(a, b));
    return base_edge_valid(av.data(), bv.data(), kEdgeRes);
  }

  void sample(double* out) {
    if (over_.sample) {
      nb::object r = ctx_.attr("sample")(draws_->rng());
      std::vector<double> v = joint_vector(r, d_, "ctx.sample(rng)");
      if (!cellpath::py::all_finite(v.data(), d_))
        throw nb::value_error("ctx.sample(rng) returned NaN or infinite joint values");
      for (std::size_t k = 0; k < d_; ++k) out[k] = v[k];
      return;
    }
    draws_->uniform(*native_, out);
  }

 private:
  nb::object ctx_;
  PlanningContext* native_ = nullptr;
  Overrides over_;
  std::size_t d_ = 0;
  Draws* draws_ = nullptr;
  std::vector<double> scratch_;
};

// ---------------------------------------------------------------------------
// Progress on a terminal: one line on stderr, rewritten at most every 100 ms
// and erased when the work ends.  Nothing at all when stderr is not a
// terminal.  Also where long loops let Ctrl-C through.

class Progress {
 public:
  Progress(std::string stage, std::int64_t total) : stage_(std::move(stage)), total_(total) {
    try {
      nb::object err = nb::module_::import_("sys").attr("stderr");
      if (!err.is_none() && truth(err.attr("isatty")())) stream_ = err;
    } catch (nb::python_error&) {
      stream_ = nb::object();  // a stderr without isatty() gets no progress
    }
    last_ = std::chrono::steady_clock::now();
  }
  ~Progress() { clear(); }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // Planner ticks: iteration, tree size, best goal cost so far.
  void tick(std::int64_t iteration, std::size_t nodes, double best) {
    if (!poll()) return;
    char buf[200];
    if (std::isfinite(best))
      std::snprintf(buf, sizeof buf, "%s: iteration %lld/%lld, %zu tree nodes, best goal cost %.3f",
                    stage_.c_str(), static_cast<long long>(iteration),
                    static_cast<long long>(total_), nodes, best);
    else
      std::snprintf(buf, sizeof buf, "%s: iteration %lld/%lld, %zu tree nodes, goal not reached yet",
                    stage_.c_str(), static_cast<long long>(iteration),
                    static_cast<long long>(total_), nodes);
    show(buf);
  }

  // Other loops: items done out of the total.
  void count(std::int64_t done) {
    if (!poll()) return;
    char buf[200];
    std::snprintf(buf, sizeof buf, "%s: %lld/%lld", stage_.c_str(), static_cast<long long>(done),
                  static_cast<long long>(total_));
    show(buf);
  }

  void clear() noexcept {
    if (!shown_ || !stream_.is_valid()) return;
    shown_ = false;
    PyObject *type, *value, *trace;
    PyErr_Fetch(&type, &value, &trace);
    try {
      stream_.attr("write")("\r" + std::string(width_, ' ') + "\r");
      stream_.attr("flush")();
    } catch (...) {
    }
    PyErr_Clear();
    PyErr_Restore(type, value, trace);
  }

 private:
  // True when it is time to redraw.  Checks for pending signals every few
  // hundred calls, so Ctrl-C interrupts a long plan.
  bool poll() {
    if ((++calls_ & 255) == 0 && PyErr_CheckSignals() != 0) throw nb::python_error();
    if (!stream_.is_valid() || (calls_ & 15) != 0) return false;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::milliseconds(100)) return false;
    last_ = now;
    return true;
  }

  // A stderr that fails to take the line loses its progress display, not the
  // plan; an interrupt that arrives meanwhile still ends the plan.
  void show(const std::string& text) {
    std::string line = "\r" + text;
    if (text.size() < width_) line += std::string(width_ - text.size(), ' ');
    width_ = std::max(width_, text.size());
    try {
      shown_ = true;
      stream_.attr("write")(line);
      stream_.attr("flush")();
    } catch (nb::python_error& e) {
      if (e.matches(PyExc_KeyboardInterrupt)) throw;
      stream_ = nb::object();
      shown_ = false;
    }
  }

  std::string stage_;
  std::int64_t total_;
  nb::object stream_;
  std::chrono::steady_clock::time_point last_;
  std::uint64_t calls_ = 0;
  std::size_t width_ = 0;
  bool shown_ = false;
};

// ---------------------------------------------------------------------------
// plan_segment

struct SegmentPlan {
  brimwell::RrtStatus status;
  std::vector<double> rows;  // tree configurations, start first, goal excluded
};

SegmentPlan run_rrt_star(ContextAdapter& ctx, nb::handle rng, const std::vector<double>& start,
                         const std::vector<double>& goal, std::int64_t max_iters, double step,
                         double goal_bias, const std::string& stage) {
  brimwell::RrtSettings settings;
  settings.max_iters = max_iters;
  settings.step = step;
  settings.goal_bias = goal_bias;
  settings.gamma = module_float("RRT_STAR_GAMMA");
  settings.goal_radius = module_float("GOAL_CONNECT_RADIUS");
  Draws draws(rng, ctx.fully_native());
  ctx.set_draws(&draws);
  Progress progress(stage, max_iters);
  brimwell::RrtResult r =
      brimwell::plan_rrt_star(ctx, draws, progress, settings, ctx.dims(), start.data(), goal.data());
  progress.clear();
  return {r.status, std::move(r.rows)};
}

nb::list plan_segment_impl(nb::handle ctx_obj, nb::handle start_in, nb::handle goal_in,
                           nb::handle rng, std::int64_t max_iters, double step, double goal_bias,
                           const std::string& stage) {
  nb::module_ np = numpy();
  nb::object start = np.attr("asarray")(start_in, "dtype"_a = np.attr("float64"));
  nb::object goal = np.attr("asarray")(goal_in, "dtype"_a = np.attr("float64"));
  ContextAdapter ctx(ctx_obj);
  const std::size_t d = ctx.dims();
  std::vector<double> s = joint_vector(start, d, "start");
  std::vector<double> g = joint_vector(goal, d, "goal");

  SegmentPlan plan = run_rrt_star(ctx, rng, s, g, max_iters, step, goal_bias, stage);
  nb::list path;
  switch (plan.status) {
    case brimwell::RrtStatus::Direct:
      path.append(start);
      path.append(goal);
      return path;
    case brimwell::RrtStatus::Failed:
      throw std::runtime_error("RRT* failed to connect start " + py_str(start) + " to goal " +
                               py_str(goal) + " within " + std::to_string(max_iters) +
                               " iterations");
    case brimwell::RrtStatus::Connected:
      break;
  }
  for (std::size_t off = 0; off < plan.rows.size(); off += d) path.append(to_numpy(plan.rows.data() + off, d));
  path.append(goal);
  return path;
}

nb::list plan_segment(nb::handle ctx, nb::handle start, nb::handle goal, nb::handle rng,
                      std::int64_t max_iters, double step, double goal_bias) {
  return plan_segment_impl(ctx, start, goal, rng, max_iters, step, goal_bias, "RRT*");
}

// ---------------------------------------------------------------------------
// smooth_path

std::pair<std::int64_t, std::int64_t> draw_pair(nb::handle rng, std::size_t len) {
  nb::object r = rng.attr("integers")(0, len, "size"_a = 2);
  nb::object i = r[nb::int_(0)], j = r[nb::int_(1)];
  return {as_index(i), as_index(j)};
}

nb::list smooth_path(nb::handle ctx_obj, nb::handle path_in, nb::handle rng, std::int64_t iters) {
  nb::list entries(path_in);
  const std::size_t m = nb::len(entries);
  ContextAdapter ctx(ctx_obj);
  // Entries are converted the first time an edge check needs their numbers.
  std::vector<std::optional<std::vector<double>>> values(m);
  auto value = [&](std::size_t e) -> const std::vector<double>& {
    if (!values[e]) {
      nb::object entry = entries[e];
      values[e] = joint_vector(entry, ctx.dims(), "a path entry");
    }
    return *values[e];
  };
  static const std::vector<double> none;
  std::vector<std::size_t> kept = brimwell::shortcut_path(
      m, iters, [&](std::size_t len) { return draw_pair(rng, len); },
      [&](std::size_t a, std::size_t b) {
        // A Python edge_valid gets the caller's own entries, unconverted.
        if (ctx.python_edge_valid()) return ctx.edge_valid_objects(entries[a], entries[b], none, none);
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
  for (std::size_t e = 0; e < nb::len(entries); ++e) {
    Array<double> a = cellpath::py::as_f64(entries[e]);
    if (a.ndim() != 1)
      throw nb::value_error((std::string(who) + ": path entry " + std::to_string(e) +
                             " must be a joint vector, got shape " + cellpath::py::shape_text(a.shape))
                                .c_str());
    if (e == 0) d = a.size;
    if (a.size != d)
      throw nb::value_error((std::string(who) + ": path entry " + std::to_string(e) + " has " +
                             std::to_string(a.size) + " values, the first has " + std::to_string(d))
                                .c_str());
    rows.emplace_back(a.data, a.data + a.size);
  }
  return rows;
}

nb::object densify_values(const std::vector<std::vector<double>>& rows, double res) {
  std::vector<const double*> ptrs;
  ptrs.reserve(rows.size());
  for (const auto& r : rows) ptrs.push_back(r.data());
  const std::size_t d = rows.front().size();
  std::size_t count = 0;
  std::vector<double> dense = brimwell::densify_rows(ptrs, d, res, count);
  double* out = nullptr;
  nb::object arr = cellpath::py::new_f64({count, d}, &out);
  std::copy(dense.begin(), dense.end(), out);
  return arr;
}

nb::object densify(nb::handle path, double res) { return densify_values(path_values(path, "densify"), res); }

// ---------------------------------------------------------------------------
// Files: written under a temporary name in the target directory, then renamed
// over the target, so a failed or interrupted write never leaves a partial
// file and never destroys the previous one.

template <class Write>
void write_atomically(nb::handle target, Write&& write) {
  nb::module_ os = nb::module_::import_("os");
  nb::object dir = target.attr("parent");
  nb::object name = target.attr("name");
  nb::object tmp = dir.attr("__truediv__")(nb::str(".{}.{}.tmp").format(name, os.attr("getpid")()));
  try {
    nb::object fh = nb::module_::import_("builtins").attr("open")(tmp, "wb");
    try {
      write(fh);
      fh.attr("flush")();
      os.attr("fsync")(fh.attr("fileno")());
    } catch (...) {
      fh.attr("close")();
      throw;
    }
    fh.attr("close")();
    os.attr("replace")(tmp, target);
  } catch (...) {
    PyObject *type, *value, *trace;
    PyErr_Fetch(&type, &value, &trace);
    try {
      nb::object exists = tmp.attr("exists")();
      if (truth(exists)) tmp.attr("unlink")();
    } catch (...) {
    }
    PyErr_Clear();
    PyErr_Restore(type, value, trace);
    throw;
  }
}

void save_colliding_waypoint(nb::handle cache_dir, std::int64_t index, nb::handle theta_in) {
  nb::module_ np = numpy();
  nb::object theta = np.attr("asarray")(theta_in, "dtype"_a = np.attr("float64"));
  say("\nWaypoint " + std::to_string(index) + " is in collision");
  say("  theta: " + py_str(np.attr("array2string")(theta, "precision"_a = 3)));
  nb::object path = nb::module_::import_("pathlib").attr("Path")(cache_dir).attr("__truediv__")("CollisionWaypoint.npz");
  write_atomically(path, [&](nb::handle fh) {
    np.attr("savez")(fh, "index"_a = np.attr("int64")(index), "theta"_a = theta);
  });
  say("  Saved to " + py_str(path) + " -- run Velquist to inspect it.");
}

// ---------------------------------------------------------------------------
// ProvideRRTPlan

nb::object provide_rrt_plan(nb::handle cache_dir_in) {
  nb::module_ np = numpy();
  nb::module_ brim = self_module();
  nb::object cache_dir = nb::module_::import_("pathlib").attr("Path")(cache_dir_in);
  nb::object rng = np.attr("random").attr("default_rng")(brim.attr("SEED"));

  auto t0 = std::chrono::steady_clock::now();
  nb::object ctx_obj = nb::type<PlanningContext>()(cache_dir);
  say("Environment loaded in " + fixed2(seconds_since(t0)) + "s");

  nb::object wp_obj = np.attr("load")(cache_dir.attr("__truediv__")("WaypointJointAngles.npy"),
                                      "allow_pickle"_a = false);
  wp_obj = np.attr("asarray")(wp_obj, "dtype"_a = np.attr("float64"));
  Array<double> wp = cellpath::py::as_f64(wp_obj);
  ContextAdapter ctx(ctx_obj);
  const std::size_t n = ctx.dims();
  if (wp.ndim() != 2)
    throw nb::value_error(("WaypointJointAngles.npy must have shape (K, " + std::to_string(n) +
                           "), got " + cellpath::py::shape_text(wp.shape))
                              .c_str());
  if (wp.shape[1] != n)
    throw nb::value_error(("WaypointJointAngles.npy has " + std::to_string(wp.shape[1]) +
                           " columns but the arm has " + std::to_string(n) + " joints")
                              .c_str());
  if (wp.shape[0] == 0) throw nb::value_error("WaypointJointAngles.npy holds no waypoints");
  if (!cellpath::py::all_finite(wp.data, wp.size))
    throw nb::value_error("WaypointJointAngles.npy holds NaN or infinite joint values");
  const std::size_t K = wp.shape[0];
  say("Loaded " + std::to_string(K) + " waypoints, shape " + cellpath::py::shape_text(wp.shape));

  std::vector<std::vector<double>> waypoints(K);
  for (std::size_t i = 0; i < K; ++i) waypoints[i].assign(wp.data + i * n, wp.data + (i + 1) * n);
  auto row_object = [&](std::size_t i) { return to_numpy(waypoints[i].data(), n); };

  for (std::size_t i = 0; i < K; ++i) {
    if (!ctx.in_limits(waypoints[i].data()))
      throw std::runtime_error("Waypoint " + std::to_string(i) + " violates joint limits: " +
                               py_str(row_object(i)));
    if (!ctx.is_valid(waypoints[i].data())) {
      save_colliding_waypoint(cache_dir, static_cast<std::int64_t>(i), row_object(i));
      throw std::runtime_error("Waypoint " + std::to_string(i) + " is in collision: " +
                               py_str(row_object(i)));
    }
  }
  say("All waypoints validated (within limits, collision-free).");

  std::vector<std::vector<double>> full_path{waypoints[0]};
  for (std::size_t i = 0; i + 1 < K; ++i) {
    const std::string seg = std::to_string(i) + "->" + std::to_string(i + 1);
    auto t1 = std::chrono::steady_clock::now();
    nb::list segment = plan_segment_impl(ctx_obj, row_object(i), row_object(i + 1), rng, kMaxIters,
                                         kStep, kGoalBias, "Segment " + seg);
    say("Segment " + seg + ": " + std::to_string(nb::len(segment)) + " nodes in " +
        fixed2(seconds_since(t1)) + "s");
    nb::list smoothed = smooth_path(ctx_obj, segment, rng, kSmoothIters);
    say("Segment " + seg + ": smoothed to " + std::to_string(nb::len(smoothed)) + " nodes");
    for (std::size_t e = 1; e < nb::len(smoothed); ++e)
      full_path.push_back(joint_vector(smoothed[e], n, "a path entry"));
  }
  say("Chained (per-segment-smoothed) path: " + std::to_string(full_path.size()) + " configs");

  nb::object dense = densify_values(full_path, module_float("EDGE_RES"));
  Array<double> dv = cellpath::py::as_f64(dense);
  const std::size_t N = dv.shape[0];
  say("Densified path: " + std::to_string(N) + " configs");

  std::vector<std::int64_t> bad;
  {
    Progress progress("Validating dense path", static_cast<std::int64_t>(N));
    for (std::size_t i = 0; i < N; ++i) {
      progress.count(static_cast<std::int64_t>(i));
      if (!ctx.is_valid(dv.data + i * n)) bad.push_back(static_cast<std::int64_t>(i));
    }
  }
  if (!bad.empty()) {
    std::string first = "[";
    for (std::size_t k = 0; k < bad.size() && k < 5; ++k) {
      if (k) first += ", ";
      first += std::to_string(bad[k]);
    }
    first += "]";
    throw std::runtime_error(std::to_string(bad.size()) +
                             " configs in final dense path failed validation, e.g. indices " + first);
  }
  say("All " + std::to_string(N) + " configs verified valid (limits + collision).");

  nb::object out_path = cache_dir.attr("__truediv__")("JointAnglesToTravelAlong.npy");
  write_atomically(out_path, [&](nb::handle fh) { np.attr("save")(fh, dense); });
  say("Saved trajectory to " + py_str(out_path) + " with shape " + cellpath::py::shape_text(dv.shape));
  return dense;
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
  nb::exec(R"py(
class _Node:
    """One RRT* tree node: the index of its parent in the node list (None for
    the root) and the cost of the path from the root along parent links, as
    last set.  The node's configuration is the matching row of the planner's
    configuration array."""

    __slots__ = ("parent", "cost")

    def __init__(self, parent: int | None, cost: float):
        self.parent = parent
        self.cost = cost

    def __repr__(self):
        return f"_Node(parent={self.parent!r}, cost={self.cost!r})"
)py",
           scope);
  return scope["_Node"];
}

void main_entry(nb::handle argv) {
  nb::module_ argparse = nb::module_::import_("argparse");
  nb::object parser = argparse.attr("ArgumentParser")(
      "prog"_a = "Brimwell",
      "description"_a =
          "Plan a collision-free joint trajectory through the waypoints of the capture cache "
          "beside the module (or the directory named by CELLPATH_CACHE_DIR) and save it there "
          "as JointAnglesToTravelAlong.npy.");
  // The planner takes no options: anything but --help is ignored (so main()
  // also runs from inside other programs whatever their argv), with a note on
  // stderr so that a directory typed on the command line is not silently
  // mistaken for the one planned.
  nb::object known = parser.attr("parse_known_args")(argv);
  nb::object ignored = known[nb::int_(1)];
  if (nb::len(ignored) > 0)
    nb::module_::import_("builtins").attr("print")(
        "Brimwell: ignoring arguments " + py_str(nb::repr(ignored)) +
            " (it plans on " + py_str(self_module().attr("CACHE_DIR")) +
            "; set CELLPATH_CACHE_DIR to plan elsewhere)",
        "file"_a = nb::module_::import_("sys").attr("stderr"));
  provide_rrt_plan(self_module().attr("CACHE_DIR"));
}

}  // namespace

NB_MODULE(Brimwell, m) {
  m.doc() =
      "RRT* joint-space planning through the waypoints of a capture cache: the planning "
      "context, the segment planner, shortcut smoothing, densification and the trajectory "
      "driver.";

  nb::module_ sallowmere = nb::module_::import_("Sallowmere");
  nb::module_ gristane = nb::module_::import_("Gristane");
  nb::module_ tovik = nb::module_::import_("Tovik");
  m.attr("RobotEnvironmentHandler") = sallowmere.attr("RobotEnvironmentHandler");
  m.attr("SCREW_LINEAR_SCALE") = sallowmere.attr("SCREW_LINEAR_SCALE");
  m.attr("in_collision") = gristane.attr("in_collision");
  m.attr("forward_kinematics") = tovik.attr("forward_kinematics");
  m.attr("adjoint") = tovik.attr("adjoint");

  m.attr("CACHE_DIR") = cellpath::py::default_cache_dir(m, "Cache", 1);
  m.attr("STEP") = kStep;
  m.attr("EDGE_RES") = kEdgeRes;
  m.attr("GOAL_CONNECT_RADIUS") = kGoalConnectRadius;
  m.attr("GOAL_BIAS") = kGoalBias;
  m.attr("MAX_ITERS") = kMaxIters;
  m.attr("RRT_STAR_GAMMA") = kRrtStarGamma;
  m.attr("SMOOTH_ITERS") = kSmoothIters;
  m.attr("SEED") = kSeed;

  m.attr("_Node") = make_node_class();

  auto cls = nb::class_<PlanningContext>(
      m, "PlanningContext",
      "The planner's view of one arm in its workcell, built from a capture cache: joint "
      "limits (an unbounded side becomes +-2 pi), world-frame screws, home poses of the "
      "moving links, and the voxel model of the environment handler it owns.  It answers "
      "whether a joint vector is inside the limits, whether it is valid (inside the limits "
      "and free of the environment), whether the straight joint-space edge between two "
      "vectors is valid, and draws uniform joint vectors.");
  cls.def(
      "__init__",
      [](PlanningContext* self, nb::handle cache_dir) { new (self) PlanningContext(cache_dir); },
      "cache_dir"_a, "Build the environment handler for `cache_dir` and the planning model.");
  cls.def_prop_ro("handler", [](PlanningContext& c) { return c.handler; },
                  "The RobotEnvironmentHandler built from the cache directory.");
  cls.def_prop_ro("slist", [](PlanningContext& c) { return c.slist; },
                  "World-frame screw list (6, n), linear rows in metres (read-only).");
  cls.def_prop_ro("home_transforms", [](PlanningContext& c) { return c.home_transforms; },
                  "Home poses (n, 4, 4) of the moving links 1 .. n (read-only).");
  cls.def_prop_ro("limits", [](PlanningContext& c) { return c.limits; },
                  "Joint limits (n, 2): lower, upper; never infinite after the +-2 pi rule (read-only).");
  cls.def_prop_ro("n_joints", [](PlanningContext& c) { return c.n; }, "Number of joints n.");
  cls.def(
      "in_limits",
      [](nb::pointer_and_handle<PlanningContext> self, nb::handle q) {
        std::vector<double> v = joint_vector(q, self.p->n, "q");
        return self.p->model->in_limits(v.data());
      },
      "q"_a, "True when every joint value lies within its limits (both bounds inclusive).");
  cls.def(
      "is_valid",
      [](nb::pointer_and_handle<PlanningContext> self, nb::handle q) {
        std::vector<double> v = joint_vector(q, self.p->n, "q");
        ContextAdapter ctx(self.h);
        return ctx.base_is_valid(v.data());
      },
      "q"_a,
      "True when q is inside the limits and no point of a moving link lies in an occupied "
      "cell of the environment grid.  Outside the limits no kinematics is evaluated.");
  cls.def(
      "edge_valid",
      [](nb::pointer_and_handle<PlanningContext> self, nb::handle a, nb::handle b, double res) {
        std::vector<double> av = joint_vector(a, self.p->n, "a");
        std::vector<double> bv = joint_vector(b, self.p->n, "b");
        ContextAdapter ctx(self.h);
        return ctx.base_edge_valid(av.data(), bv.data(), res);
      },
      "a"_a, "b"_a, "res"_a = kEdgeRes,
      "True when every configuration a + (b - a) * i / n, i = 1 .. n, n = max(1, ceil(|b - a| "
      "/ res)), is valid: the end b is tested, the start a is not.  Raises ValueError for a "
      "non-finite length or more than a million steps.");
  cls.def(
      "sample",
      [](PlanningContext& c, nb::handle rng) { return rng.attr("uniform")(c.low, c.high); },
      "rng"_a, "One uniform joint vector within the limits: rng.uniform(lower, upper).");
  cls.def(
      "_time_is_valid",
      [](PlanningContext& c, nb::handle qs_in) {
        Array<double> qs = cellpath::py::as_f64(qs_in);
        if (qs.ndim() != 2 || qs.shape[1] != c.n)
          throw nb::value_error("qs must have shape (m, n_joints)");
        const std::size_t m = qs.shape[0];
        nb::module_ np = numpy();
        nb::object ns = np.attr("empty")(m, "dtype"_a = np.attr("int64"));
        nb::object ok = np.attr("empty")(m, "dtype"_a = np.attr("bool_"));
        auto nsv = nb::cast<nb::ndarray<std::int64_t, nb::ndim<1>, nb::c_contig>>(ns);
        auto okv = nb::cast<nb::ndarray<bool, nb::ndim<1>, nb::c_contig>>(ok);
        for (std::size_t i = 0; i < m; ++i) {
          const double* q = qs.data + i * c.n;
          const auto t0 = std::chrono::steady_clock::now();
          const bool valid = c.model->is_valid(q);
          const auto t1 = std::chrono::steady_clock::now();
          nsv.data()[i] = std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count();
          okv.data()[i] = valid;
        }
        return nb::make_tuple(ns, ok);
      },
      "qs"_a,
      "Benchmark aid: run the native validity check on every row of qs and return "
      "(nanoseconds per call as int64, results as bool), timed inside native code.");

  nb::object type = cls;
  g_base.type = type.ptr();
  Py_INCREF(g_base.type);
  auto keep = [&](const char* name) {
    nb::object f = nb::getattr(type, name);
    return f.release().ptr();
  };
  g_base.in_limits = keep("in_limits");
  g_base.is_valid = keep("is_valid");
  g_base.edge_valid = keep("edge_valid");
  g_base.sample = keep("sample");
  g_base.forward_kinematics = nb::object(m.attr("forward_kinematics")).release().ptr();
  g_base.in_collision = nb::object(m.attr("in_collision")).release().ptr();

  m.def("plan_segment", &plan_segment, "ctx"_a, "start"_a, "goal"_a, "rng"_a,
        "max_iters"_a = kMaxIters, "step"_a = kStep, "goal_bias"_a = kGoalBias,
        "RRT* from start to goal over straight joint-space edges checked by ctx.  Returns the "
        "list of configurations from start to goal (exactly [start, goal] when that edge is "
        "valid, without drawing from rng).  Raises RuntimeError when no tree node reaches the "
        "goal within max_iters iterations.  Reads RRT_STAR_GAMMA and GOAL_CONNECT_RADIUS from "
        "the module at each call.");
  m.def("smooth_path", &smooth_path, "ctx"_a, "path"_a, "rng"_a, "iters"_a = kSmoothIters,
        "Random shortcutting: up to `iters` attempts, each drawing two indices with "
        "rng.integers(0, len(path), size=2) and dropping the entries between them when the "
        "straight edge is valid.  Returns a new list of the input's own entries.");
  m.def("densify", &densify, "path"_a, "res"_a = kEdgeRes,
        "Resample a path so consecutive configurations are at most `res` apart: an (N, d) "
        "float64 array starting at the first entry.  Raises IndexError for an empty path and "
        "ValueError for non-finite or runaway lengths.");
  m.def("ProvideRRTPlan", &provide_rrt_plan, "cache_dir"_a = m.attr("CACHE_DIR"),
        "Plan through every waypoint of the cache: validate the waypoints, plan and smooth one "
        "RRT* segment per consecutive pair, densify at EDGE_RES, re-check every configuration "
        "and save JointAnglesToTravelAlong.npy into the cache.  Returns the trajectory.");
  m.def("save_colliding_waypoint", &save_colliding_waypoint, "cache_dir"_a, "index"_a, "theta"_a,
        "Report a waypoint in collision and store it as CollisionWaypoint.npz (index, theta) in "
        "the cache for the collision viewer.");
  brimwell::register_timing(m);
  m.def("main", &main_entry, "argv"_a = nb::none(),
        "Command line: plan on the default cache directory (see ProvideRRTPlan).");
}
