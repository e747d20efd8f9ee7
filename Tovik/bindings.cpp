// Tovik: product-of-exponentials forward kinematics for the offline side.
#include "Tovik/docs.hpp"
#include "Tovik/tovik_args.hpp"
#include "common/pybridge.hpp"

#include <string>

namespace nb = nanobind;
using namespace cellpath;
using cellpath::py::Array;
using py::as_f64;
using py::new_array;
namespace doc = tovik::doc;

namespace {

nb::object skew_py(const Array<double>& w) {
  return new_array({3, 3}, cellpath::skew(tovik::vec3_of(w)).data());
}

nb::object adjoint_py(const Array<double>& T) {
  return new_array({6, 6}, cellpath::adjoint(tovik::mat4_of(T, "T")).data());
}

nb::object exp_se3_py(const Array<double>& screw, double theta) {
  return new_array({4, 4}, cellpath::exp_se3(tovik::screw_of(screw), theta).data());
}

// The homes and angles are read only once the screw list has passed, so its
// fault is the one reported.
nb::list forward_kinematics_py(const Array<double>& slist, nb::handle home_in,
                               nb::handle thetas_in) {
  tovik::require_screw_list(slist, false);
  const std::size_t n = slist.shape[1];
  nb::list out;
  if (n == 0) return out;
  Array<double> home = as_f64(home_in);
  tovik::require_homes(home, n);
  const std::vector<double> poses = tovik::link_poses(slist, home, as_f64(thetas_in));
  for (std::size_t i = 0; i < n; ++i) out.append(new_array({4, 4}, poses.data() + 16 * i));
  return out;
}

// Inverse kinematics of a tool pose and straight tool moves: each argument is
// converted and checked in turn, so the first bad one is the one reported (the
// chain's three arrays come first and are checked together).

// None, or the tool axis left free: "x", "y", "z" or 0, 1, 2.
int free_axis_of(nb::handle a) {
  if (a.is_none()) return -1;
  if (nb::isinstance<nb::str>(a)) {
    const std::string t = nb::borrow<nb::str>(a).c_str();
    if (t == "x" || t == "y" || t == "z") return t[0] - 'x';
  } else if (!nb::isinstance<nb::bool_>(a) && nb::isinstance<nb::int_>(a)) {
    const long long k = py::to_index(a);
    if (0 <= k && k <= 2) return static_cast<int>(k);
  }
  throw std::invalid_argument("free_axis must be None, 'x', 'y' or 'z' (the tool's own axes)");
}

nb::tuple solve_tool_pose_py(const Array<double>& slist, const Array<double>& home,
                             nb::handle target_in, nb::handle seeds_in, const Array<double>& limits,
                             nb::handle near_in, nb::handle tol_in, long long max_iters,
                             nb::handle free_axis_in) {
  const tovik::Chain c(slist, home, limits);
  const Mat4 Tsd = tovik::rigid_pose_of(as_f64(target_in), "target");
  Array<double> seeds = as_f64(seeds_in);
  c.require_seeds(seeds);
  tovik::require_max_iters(max_iters);
  const std::vector<double> near =
      near_in.is_none() ? std::vector<double>() : c.joints(as_f64(near_in), "near");
  const tovik::PoseTolerance tol = tovik::tolerance_of(as_f64(tol_in));
  const tovik::SolveSettings s = tovik::solve_settings(tol, free_axis_of(free_axis_in), max_iters);
  const std::size_t k = seeds.shape[0], n = c.n;
  double *q = nullptr, *ep = nullptr, *er = nullptr;
  bool* ok = nullptr;
  nb::object qs = new_array<double>({k, n}, &q), eps = new_array<double>({k}, &ep),
             ers = new_array<double>({k}, &er), oks = new_array<bool>({k}, &ok);
  {
    nb::gil_scoped_release nogil;
    tovik::solve_from_seeds(c, Tsd, seeds, near, s, q, ep, er, ok);
  }
  return nb::make_tuple(qs, eps, ers, oks);
}

nb::tuple straight_move_py(const Array<double>& slist, const Array<double>& home,
                           nb::handle start_in, nb::handle target_in, const Array<double>& limits,
                           double max_joint_step, double max_deviation, nb::handle tol_in) {
  const tovik::Chain c(slist, home, limits);
  const std::vector<double> q0 = c.joints(as_f64(start_in), "start");
  const Mat4 T1 = tovik::pose_of(as_f64(target_in), "target");
  tovik::StraightSettings s = tovik::straight_settings(max_joint_step, max_deviation);
  s.solve.tol = tovik::tolerance_of(as_f64(tol_in));
  tovik::StraightMove mv;
  {
    nb::gil_scoped_release nogil;
    mv = tovik::straight_move(c.screws(), c.M, q0.data(), T1, c.n, c.ranges, s);
  }
  return nb::make_tuple(new_array(mv.rows, {mv.rows.size() / c.n, c.n}), mv.deviation,
                        mv.rotation_deviation);
}

}  // namespace

NB_MODULE(Tovik, m) {
  m.doc() = doc::kModule;
  m.def("skew", &skew_py, nb::arg("w"), doc::kSkew);
  m.def("adjoint", &adjoint_py, nb::arg("T"), doc::kAdjoint);
  m.def("exp_se3", &exp_se3_py, nb::arg("screw"), nb::arg("theta"), doc::kExpSe3);
  m.def("forward_kinematics", &forward_kinematics_py, nb::arg("slist"), nb::arg("home_transforms"),
        nb::arg("thetas"), doc::kForwardKinematics);
  m.def("solve_tool_pose", &solve_tool_pose_py, nb::arg("slist"), nb::arg("home"),
        nb::arg("target"), nb::arg("seeds"), nb::arg("limits"), nb::arg("near") = nb::none(),
        nb::arg("tolerance") = nb::make_tuple(1e-4, 1e-3), nb::arg("max_iters") = 200,
        nb::arg("free_axis") = nb::none(), doc::kSolveToolPose);
  m.def("straight_move", &straight_move_py, nb::arg("slist"), nb::arg("home"), nb::arg("start"),
        nb::arg("target"), nb::arg("limits"), nb::arg("max_joint_step") = 0.05,
        nb::arg("max_deviation") = 2.5e-4, nb::arg("tolerance") = nb::make_tuple(1e-4, 1e-3),
        doc::kStraightMove);
}
