// Tovik: product-of-exponentials forward kinematics for the offline side.
#include "Tovik/pose_ik.hpp"
#include "Tovik/tovik.hpp"
#include "common/pybridge.hpp"

#include <string>

namespace nb = nanobind;
using namespace cellpath;
using cellpath::py::Array;

namespace {

nb::object mat_to_numpy(const double* src, std::size_t rows, std::size_t cols) {
  double* dst = nullptr;
  nb::object arr = py::new_f64({rows, cols}, &dst);
  for (std::size_t k = 0; k < rows * cols; ++k) dst[k] = src[k];
  return arr;
}

Vec3 vec3_arg(nb::handle w) {
  Array<double> a = py::as_f64(w);
  if (a.ndim() != 1) throw nb::value_error("w must be a one-dimensional vector of 3 entries");
  if (a.size < 3) throw nb::index_error("w must have 3 entries");
  return {a[0], a[1], a[2]};
}

Mat4 mat4_arg(nb::handle T, const char* what) {
  Array<double> a = py::as_f64(T);
  py::require_shape(a, {4, 4}, what);
  return tovik::load4(a.data);
}

nb::object skew_py(nb::handle w) {
  const Mat3 S = cellpath::skew(vec3_arg(w));
  return mat_to_numpy(S.data(), 3, 3);
}

nb::object adjoint_py(nb::handle T) {
  const Mat6 Ad = cellpath::adjoint(mat4_arg(T, "T"));
  return mat_to_numpy(Ad.data(), 6, 6);
}

nb::object exp_se3_py(nb::handle screw, double theta) {
  Array<double> s = py::as_f64(screw);
  py::require_shape(s, {6}, "screw");
  const Vec6 S{s[0], s[1], s[2], s[3], s[4], s[5]};
  const Mat4 T = cellpath::exp_se3(S, theta);
  return mat_to_numpy(T.data(), 4, 4);
}

nb::list forward_kinematics_py(nb::handle slist_in, nb::handle home_in, nb::handle thetas_in) {
  Array<double> slist = py::as_f64(slist_in);
  if (slist.ndim() != 2 || slist.shape[0] != 6)
    throw nb::value_error(
        ("slist must have shape (6, n), got " + py::shape_text(slist.shape)).c_str());
  const std::size_t n = slist.shape[1];
  nb::list out;
  if (n == 0) return out;

  Array<double> home = py::as_f64(home_in);
  if (home.ndim() != 3 || home.shape[1] != 4 || home.shape[2] != 4)
    throw nb::value_error(("home_transforms must be a sequence of 4x4 transforms, got shape " +
                           py::shape_text(home.shape))
                              .c_str());
  if (home.shape[0] < n)
    throw nb::index_error(
        ("need " + std::to_string(n) + " home transforms, got " + std::to_string(home.shape[0]))
            .c_str());
  Array<double> thetas = py::as_f64(thetas_in);
  if (thetas.ndim() != 1)
    throw nb::value_error(
        ("thetas must be a joint vector, got shape " + py::shape_text(thetas.shape)).c_str());
  if (thetas.size < n)
    throw nb::index_error(
        ("need " + std::to_string(n) + " joint values, got " + std::to_string(thetas.size))
            .c_str());
  py::require_finite(slist, "slist");
  if (!py::all_finite(home.data, 16 * n)) throw nb::value_error("home_transforms must be finite");
  if (!py::all_finite(thetas.data, n)) throw nb::value_error("thetas must be finite");

  std::vector<double> buf(16 * n);
  tovik::forward_kinematics(slist.data, n, home.data, thetas.data, buf.data());
  for (std::size_t i = 0; i < n; ++i) out.append(mat_to_numpy(buf.data() + 16 * i, 4, 4));
  return out;
}

// ---------------------------------------------------------------------------
// Inverse kinematics of a tool pose and straight tool moves.

// The chain of an IK call: (6, n) screws in metres, the tool's (4, 4) pose at
// zero, (n, 2) finite limits; a joint is revolute when its screw turns.
struct Chain {
  Array<double> slist, home, limits;
  std::size_t n = 0;
  Mat4 M{};
  tovik::JointRanges ranges;

  Chain(nb::handle slist_in, nb::handle home_in, nb::handle limits_in)
      : slist(py::as_f64(slist_in)), home(py::as_f64(home_in)), limits(py::as_f64(limits_in)) {
    if (slist.ndim() != 2 || slist.shape[0] != 6 || slist.shape[1] == 0)
      throw nb::value_error(
          ("slist must have shape (6, n), n > 0, got " + py::shape_text(slist.shape)).c_str());
    n = slist.shape[1];
    py::require_finite(slist, "slist");
    M = mat4_arg(home_in, "home");
    if (!py::all_finite(M.data(), 16)) throw nb::value_error("home must be finite");
    py::require_shape(limits, {static_cast<long>(n), 2}, "limits");
    for (std::size_t j = 0; j < n; ++j) {
      const double lo = limits.data[2 * j], hi = limits.data[2 * j + 1];
      if (std::isnan(lo) || std::isnan(hi) || !(lo <= hi))
        throw nb::value_error(
            ("limits of joint " + std::to_string(j) + " must be ordered numbers").c_str());
      ranges.lo.push_back(lo);
      ranges.hi.push_back(hi);
      const Vec6 S = cellpath::screw_column(slist.data, n, j);
      ranges.revolute.push_back(cellpath::norm3({S[0], S[1], S[2]}) >=
                                cellpath::kPureTranslationNorm);
    }
  }
  cellpath::ScrewList screws() const { return {slist.data, 6, n}; }

  std::vector<double> joints(nb::handle q_in, const char* what) const {
    Array<double> q = py::as_f64(q_in);
    if (q.ndim() != 1 || q.size != n)
      throw nb::value_error((std::string(what) + " must be a joint vector of " + std::to_string(n) +
                             " values, got shape " + py::shape_text(q.shape))
                                .c_str());
    if (!py::all_finite(q.data, n))
      throw nb::value_error((std::string(what) + " must be finite").c_str());
    return {q.data, q.data + n};
  }
};

tovik::PoseTolerance tolerance_arg(nb::handle tol_in) {
  Array<double> t = py::as_f64(tol_in);
  py::require_shape(t, {2}, "tolerance");
  if (!(t[0] > 0.0 && t[1] > 0.0 && std::isfinite(t[0]) && std::isfinite(t[1])))
    throw nb::value_error("tolerance must be two positive numbers (metres, radians)");
  return {t[0], t[1]};
}

Mat4 pose_arg(nb::handle T_in, const char* what) {
  Mat4 T = mat4_arg(T_in, what);
  if (!py::all_finite(T.data(), 16))
    throw nb::value_error((std::string(what) + " must be finite").c_str());
  return T;
}

nb::tuple solve_tool_pose_py(nb::handle slist_in, nb::handle home_in, nb::handle target_in,
                             nb::handle seeds_in, nb::handle limits_in, nb::handle near_in,
                             nb::handle tol_in, long long max_iters) {
  const Chain c(slist_in, home_in, limits_in);
  const Mat4 Tsd = pose_arg(target_in, "target");
  Array<double> seeds = py::as_f64(seeds_in);
  if (seeds.ndim() != 2 || seeds.shape[1] != c.n)
    throw nb::value_error(("seeds must have shape (k, " + std::to_string(c.n) + "), got " +
                           py::shape_text(seeds.shape))
                              .c_str());
  py::require_finite(seeds, "seeds");
  if (max_iters < 0) throw nb::value_error("max_iters must not be negative");
  const std::vector<double> near =
      near_in.is_none() ? std::vector<double>() : c.joints(near_in, "near");
  tovik::SolveSettings s;
  s.tol = tolerance_arg(tol_in);
  s.max_iters = max_iters;
  const std::size_t k = seeds.shape[0], n = c.n;
  double *q = nullptr, *ep = nullptr, *er = nullptr;
  bool* ok = nullptr;
  nb::object qs = py::new_f64({k, n}, &q), eps = py::new_f64({k}, &ep), ers = py::new_f64({k}, &er);
  nb::object oks = py::new_array<bool>({k}, &ok);
  cellpath::IkWork w(n);
  {
    nb::gil_scoped_release nogil;
    for (std::size_t i = 0; i < k; ++i) {
      double* qi = q + i * n;
      std::copy(seeds.data + i * n, seeds.data + (i + 1) * n, qi);
      const tovik::SolveResult r = tovik::solve_pose(c.screws(), c.M, Tsd, qi, n, c.ranges, s, w);
      if (r.converged && !near.empty())
        for (std::size_t j = 0; j < n; ++j)
          if (c.ranges.revolute[j])
            qi[j] = tovik::nearest_turn(qi[j], near[j], c.ranges.lo[j], c.ranges.hi[j]);
      ep[i] = r.position_error;
      er[i] = r.rotation_error;
      ok[i] = r.converged;
    }
  }
  return nb::make_tuple(qs, eps, ers, oks);
}

nb::tuple straight_move_py(nb::handle slist_in, nb::handle home_in, nb::handle start_in,
                           nb::handle target_in, nb::handle limits_in, double max_joint_step,
                           double max_deviation, nb::handle tol_in) {
  const Chain c(slist_in, home_in, limits_in);
  const std::vector<double> q0 = c.joints(start_in, "start");
  const Mat4 T1 = pose_arg(target_in, "target");
  if (!(max_joint_step > 0.0) || !std::isfinite(max_joint_step) || !(max_deviation > 0.0) ||
      !std::isfinite(max_deviation))
    throw nb::value_error("max_joint_step and max_deviation must be positive numbers");
  tovik::StraightSettings s;
  s.solve.tol = tolerance_arg(tol_in);
  s.max_joint_step = max_joint_step;
  s.max_deviation = max_deviation;
  tovik::StraightMove mv;
  {
    nb::gil_scoped_release nogil;
    mv = tovik::straight_move(c.screws(), c.M, q0.data(), T1, c.n, c.ranges, s);
  }
  const std::size_t m = mv.rows.size() / c.n;
  double* out = nullptr;
  nb::object rows = py::new_f64({m, c.n}, &out);
  std::copy(mv.rows.begin(), mv.rows.end(), out);
  return nb::make_tuple(rows, mv.deviation, mv.rotation_deviation);
}

}  // namespace

NB_MODULE(Tovik, m) {
  m.doc() =
      "Product-of-exponentials kinematics: skew matrices, adjoints, the SE(3) "
      "exponential of a screw and the world pose of every joint-driven link.";
  m.def("skew", &skew_py, nb::arg("w"), "The 3x3 matrix [w] with [w] @ b == cross(w, b).");
  m.def("adjoint", &adjoint_py, nb::arg("T"),
        "The 6x6 adjoint of a 4x4 transform, acting on (omega, v) twists: it carries a "
        "twist from the frame of T into the frame T is expressed in.");
  m.def("exp_se3", &exp_se3_py, nb::arg("screw"), nb::arg("theta"),
        "The 4x4 transform exp([screw] * theta) for a screw (omega, v) with unit omega, "
        "or omega = 0 for a pure translation by theta * v.");
  m.def("forward_kinematics", &forward_kinematics_py, nb::arg("slist"), nb::arg("home_transforms"),
        nb::arg("thetas"),
        "World pose of each of the n joint-driven links: entry i is "
        "exp([S_0] t_0) ... exp([S_i] t_i) @ home_transforms[i], for a (6, n) space-frame "
        "screw list.  Extra trailing joint values and home transforms are ignored.");
  m.def("solve_tool_pose", &solve_tool_pose_py, nb::arg("slist"), nb::arg("home"),
        nb::arg("target"), nb::arg("seeds"), nb::arg("limits"), nb::arg("near") = nb::none(),
        nb::arg("tolerance") = nb::make_tuple(1e-4, 1e-3), nb::arg("max_iters") = 200,
        "Inverse kinematics of a tool pose from each row of seeds (k, n): damped least squares "
        "on the product of exponentials, each update at most 0.3 long, revolute joints kept in "
        "`limits` (n, 2) by whole turns, others clamped.  slist: (6, n) world screws in metres; "
        "home: the tool's (4, 4) pose at zero; target: the (4, 4) world pose wanted.  Returns "
        "(solutions (k, n), position errors (k,) in metres, rotation errors (k,) in radians, "
        "converged (k,) bool: within `tolerance` (metres, radians) and the limits).  With "
        "`near`, each converged revolute joint is moved by whole turns to the value within "
        "its limits nearest near's.");
  m.def("straight_move", &straight_move_py, nb::arg("slist"), nb::arg("home"), nb::arg("start"),
        nb::arg("target"), nb::arg("limits"), nb::arg("max_joint_step") = 0.05,
        nb::arg("max_deviation") = 2.5e-4, nb::arg("tolerance") = nb::make_tuple(1e-4, 1e-3),
        "The joint path of a straight tool move from the tool's pose at `start` to `target`: "
        "position along the line, orientation by slerp, solved step by step from start, no "
        "joint changing more than max_joint_step between rows, and the tool at most "
        "max_deviation metres off the line where the straight joint-space edges between rows "
        "are probed.  Returns (rows (m, n), start first; the largest distance from the line "
        "measured; the largest angle from the slerp measured).  Raises RuntimeError where the "
        "line cannot be followed (a singularity, a limit, or a jump of the arm).");
}
