// Python face of the rigid-motion algebra and the space-frame kinematics:
// argument conversion and shape checks, then the C++ of algebra.hpp/chain.hpp.
#include "kinematics/chain.hpp"
#include "kinematics/defs.hpp"
#include "kinematics/pyconv.hpp"
#include "kinematics/register.hpp"

#include <string>
#include <vector>

namespace kinematics {

namespace nb = nanobind;
using cellpath::py::Array;
using namespace kinematics::py;

namespace {

nb::object neg(nb::handle x) {
  nb::object r = nb::steal(PyNumber_Negative(x.ptr()));
  if (!r.is_valid()) throw nb::python_error();
  return r;
}

// The skew matrix built from the components themselves, so integer components
// give an integer matrix and floats a float one, as numpy.array would.
nb::object skew_py(nb::handle w) {
  nb::object a = w[nb::int_(0)], b = w[nb::int_(1)], c = w[nb::int_(2)];
  nb::object z = nb::int_(0);
  nb::list rows;
  rows.append(nb::make_tuple(z, neg(c), b));
  rows.append(nb::make_tuple(c, z, neg(a)));
  rows.append(nb::make_tuple(neg(b), a, z));
  return numpy().attr("array")(rows);
}

nb::object vee_so3_py(nb::handle W) {
  Array<double> a = f64(W);
  if (a.ndim() != 2 || a.shape[0] < 3 || a.shape[1] < 3) shape_error("W", "a 3x3 matrix", a.shape);
  const std::size_t c = a.shape[1];
  const Vec3 v{a.data[2 * c + 1], a.data[0 * c + 2], a.data[1 * c + 0]};
  return to_numpy(v);
}

Vec6 screw_arg(nb::handle S) {
  Array<double> a = f64(S);
  if (a.size < 6)
    throw nb::value_error(
        ("S must hold 6 numbers (omega, v), got shape " + cellpath::py::shape_text(a.shape))
            .c_str());
  return {a[0], a[1], a[2], a[3], a[4], a[5]};
}

nb::object exp6_py(nb::handle S, nb::handle theta) {
  const Vec6 s = screw_arg(S);
  return to_numpy(exp6(s, to_double(theta)));
}

nb::object log3_py(nb::handle R) {
  Array<double> a = f64(R);
  if (a.ndim() != 2 || a.shape[0] != 3 || a.shape[1] != 3) shape_error("R", "3x3", a.shape);
  Mat3 m;
  for (int k = 0; k < 9; ++k) m[k] = a.data[k];
  return to_numpy(log3(m));
}

nb::object wrap_to_pi_py(nb::handle theta) {
  Array<double> a = f64(theta);
  if (a.ndim() == 0) return numpy().attr("float64")(wrap_to_pi(a[0]));
  double* out = nullptr;
  nb::object arr = cellpath::py::new_f64(a.shape, &out);
  for (std::size_t k = 0; k < a.size; ++k) out[k] = wrap_to_pi(a.data[k]);
  return arr;
}

[[noreturn]] void raise_singular() {
  nb::object err = numpy().attr("linalg").attr("LinAlgError");
  PyErr_SetString(err.ptr(), "Singular matrix");
  throw nb::python_error();
}

nb::object damped_pinv_py(nb::handle J, nb::handle lam) {
  Array<double> a = f64(J);
  if (a.ndim() != 2) shape_error("J", "a two-dimensional matrix", a.shape);
  const double l = to_double(lam);
  const std::size_t m = a.shape[0], n = a.shape[1];
  std::vector<double> out(n * m);
  PinvWork w;
  try {
    damped_pinv(a.data, m, n, l, out.data(), w);
  } catch (const SingularMatrix&) {
    raise_singular();
  }
  return array_from(out.data(), {n, m});
}

// A screw list of at least six rows and `need` columns.
ScrewList screws_arg(const Array<double>& a, std::size_t need, bool exactly_six) {
  if (a.ndim() != 2 || a.shape[0] < 6 || (exactly_six && a.shape[0] != 6))
    shape_error("Slist", "a screw list of shape (6, n)", a.shape);
  if (a.shape[1] < need)
    throw nb::index_error(("Slist has " + std::to_string(a.shape[1]) + " screw columns for " +
                           std::to_string(need) + " joint values")
                              .c_str());
  return ScrewList{a.data, a.shape[0], a.shape[1]};
}

nb::object fk_py(nb::handle Slist, nb::handle Thetalist, nb::handle M) {
  Array<double> th = joints_arg(Thetalist, "Thetalist");
  Array<double> s = f64(Slist);
  const ScrewList S = screws_arg(s, th.size, false);
  const Mat4 Mh = mat4_arg(M, "M");
  return to_numpy(forward_kinematics(S, th.data, th.size, Mh));
}

nb::object jacobian_py(nb::handle Slist, nb::handle thetalist) {
  Array<double> th = joints_arg(thetalist, "thetalist");
  Array<double> s = f64(Slist);
  const ScrewList S = screws_arg(s, th.size >= 2 ? th.size : 0, true);
  std::vector<double> J(6 * S.cols);
  jacobian(S, th.data, th.size, J.data());
  return array_from(J.data(), {6, S.cols});
}

nb::list history_to_list(const IkHistory& h) {
  nb::list out;
  for (std::size_t r = 0; r < h.rows; ++r) out.append(array_from(h.row(r), {h.n}));
  return out;
}

struct IkArgs {
  Array<double> theta, slist;
  Mat4 Tsd, M;
  ScrewList S;
};

IkArgs ik_args(nb::handle InitialTheta, nb::handle Tsd, nb::handle M, nb::handle Slist) {
  IkArgs a;
  a.theta = joints_arg(InitialTheta, "InitialTheta");
  a.Tsd = mat4_arg(Tsd, "Tsd");
  a.M = mat4_arg(M, "M");
  a.slist = f64(Slist);
  a.S = screws_arg(a.slist, a.theta.size, true);
  if (a.S.cols != a.theta.size)
    throw nb::value_error(("Slist has " + std::to_string(a.S.cols) +
                           " screw columns but InitialTheta has " + std::to_string(a.theta.size) +
                           " joint values")
                              .c_str());
  return a;
}

}  // namespace

void def_skew(nb::module_& m) {
  m.def("skew", &skew_py, nb::arg("omega").none(),
        "The 3x3 skew matrix [omega], so that skew(a) @ b == cross(a, b). Its element "
        "type follows the components (the zeros are integers).");
}

void def_adT(nb::module_& m) {
  m.def(
      "adT", [](nb::handle T) { return to_numpy(adT(rigid_arg(T, "T"))); }, nb::arg("T").none(),
      "The 6x6 adjoint [[R, 0], [[p]R, R]] of a transform, mapping (omega, v) twists "
      "from the frame of T into the frame T is expressed in.");
}

void def_inv_SE3(nb::module_& m) {
  m.def(
      "inv_SE3", [](nb::handle T) { return to_numpy(inv_SE3(rigid_arg(T, "T"))); },
      nb::arg("T").none(), "The inverse (R^T, -R^T p) of a rigid transform.");
}

void register_algebra(nb::module_& m) {
  m.attr("DAMPING_LAMBDA") = kDampingLambda;

  def_skew(m);
  m.def("vec3_to_so3", &skew_py, nb::arg("v").none(),
        "The so(3) matrix of a 3-vector; same as skew.");
  m.def("vee_so3", &vee_so3_py, nb::arg("W").none(),
        "The 3-vector (W[2,1], W[0,2], W[1,0]) of a skew matrix (W is not checked).");
  m.def("exp6", &exp6_py, nb::arg("S").none(), nb::arg("theta").none(),
        "The 4x4 transform exp([S] theta) of a screw S = (omega, v) (anything that "
        "flattens to 6 numbers). |omega| < 1e-6 is a pure translation by v * theta; "
        "otherwise omega should be a unit vector.");
  m.def("log3", &log3_py, nb::arg("R").none(),
        "The so(3) matrix [omega] theta of a rotation, theta in [0, pi]; zero for rotations "
        "with cos(theta) >= 0.999999.");
  m.def(
      "log6", [](nb::handle T) { return to_numpy(log6(rigid_arg(T, "T"))); }, nb::arg("T").none(),
      "The se(3) matrix [[omega] theta, v theta; 0] of a transform; a rotation too small "
      "to resolve gives the pure translation (0, p).");
  m.def(
      "se3_to_vec", [](nb::handle X) { return to_numpy(se3_to_vec(rigid_arg(X, "se3mat"))); },
      nb::arg("se3mat").none(), "The twist 6-vector (omega, v) of an se(3) matrix.");
  def_adT(m);
  def_inv_SE3(m);
  m.def(
      "inv_homogeneous", [](nb::handle T) { return to_numpy(inv_homogeneous(rigid_arg(T, "T"))); },
      nb::arg("T").none(),
      "The inverse (R^T, -R^T p) of a rigid transform, with bottom row (0, 0, 0, 1).");
  m.def("wrap_to_pi", &wrap_to_pi_py, nb::arg("theta").none(),
        "Each angle mapped into [-pi, pi] as arctan2(sin, cos); scalars give a numpy "
        "float, arrays an array of the same shape.");
  m.def("damped_pinv", &damped_pinv_py, nb::arg("J").none(), nb::arg("lam").none() = kDampingLambda,
        "The damped pseudo-inverse of an m x n matrix: J^T (J J^T + lam^2 I)^-1 when "
        "m <= n, else (J^T J + lam^2 I)^-1 J^T. Raises numpy.linalg.LinAlgError when the "
        "damped system is singular (lam = 0 with a rank-deficient J).");
}

void register_chain(nb::module_& m) {
  m.attr("IK_MAX_ITERS") = kIkMaxIters;
  m.attr("IK_DEFAULT_EOMG") = kDefaultEomg;
  m.attr("IK_DEFAULT_EV") = kDefaultEv;
  m.attr("POSITION_IK_MAX_ITERS") = kPositionIkMaxIters;
  if (!nb::hasattr(m, "DAMPING_LAMBDA")) m.attr("DAMPING_LAMBDA") = kDampingLambda;
  nb::handle mod = m;

  m.def("ForwardKinematicsInSpaceFrame", &fk_py, nb::arg("Slist").none(),
        nb::arg("Thetalist").none(), nb::arg("M").none(),
        "End-effector pose exp([S_0] t_0) ... exp([S_n-1] t_n-1) M; the number of joints "
        "is len(Thetalist).");
  m.def("JacobianInSpaceFrame", &jacobian_py, nb::arg("Slist").none(), nb::arg("thetalist").none(),
        "The 6 x n space Jacobian: column 0 is S_0, column i is S_i carried by the product "
        "of the exponentials of joints 0 .. i-1.");
  m.def(
      "InverseKinematicsInSpaceFrame",
      [mod](nb::handle InitialTheta, nb::handle Tsd, nb::handle M, nb::handle Slist,
            nb::handle eomg, nb::handle ev) {
        const long long max_iter = to_index(constant(mod, "IK_MAX_ITERS"));
        IkArgs a = ik_args(InitialTheta, Tsd, M, Slist);
        IkHistory h;
        const IkOutcome r = inverse_kinematics(a.S, a.M, a.Tsd, a.theta.data, a.theta.size,
                                               to_double(eomg), to_double(ev), max_iter, h);
        nb::list out = history_to_list(h);
        if (r != IkOutcome::Converged)
          host::log(mod, "IK did not converge in " + std::to_string(max_iter) + " iterations");
        return out;
      },
      nb::arg("InitialTheta").none(), nb::arg("Tsd").none(), nb::arg("M").none(),
      nb::arg("Slist").none(), nb::arg("eomg").none() = kDefaultEomg,
      nb::arg("ev").none() = kDefaultEv,
      "Damped Newton-Raphson IK for the full pose Tsd, from the wrapped initial guess, for "
      "at most IK_MAX_ITERS iterations. Returns the list of iterates (last one wrapped, the "
      "answer); logs 'IK did not converge in N iterations' through app when it runs out.");
  m.def(
      "PositionIKInSpaceFrame",
      [mod](nb::handle InitialTheta, nb::handle Tsd, nb::handle M, nb::handle Slist,
            nb::handle ev) {
        const long long max_iter = to_index(constant(mod, "POSITION_IK_MAX_ITERS"));
        IkArgs a = ik_args(InitialTheta, Tsd, M, Slist);
        IkHistory h;
        const IkOutcome r =
            position_ik(a.S, a.M, a.Tsd, a.theta.data, a.theta.size, to_double(ev), max_iter, h);
        nb::list out = history_to_list(h);
        if (r != IkOutcome::Converged)
          host::log(mod, "Position-only IK did not converge in " + std::to_string(max_iter) +
                             " iterations");
        return out;
      },
      nb::arg("InitialTheta").none(), nb::arg("Tsd").none(), nb::arg("M").none(),
      nb::arg("Slist").none(), nb::arg("ev").none() = kDefaultEv,
      "Damped Newton-Raphson IK for the position of Tsd only, from the unwrapped initial "
      "guess, for at most POSITION_IK_MAX_ITERS iterations. Returns the list of iterates; "
      "logs 'Position-only IK did not converge in N iterations' when it runs out.");
}

}  // namespace kinematics
