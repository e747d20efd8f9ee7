// Tovik: product-of-exponentials forward kinematics for the offline side.
#include "common/pybridge.hpp"
#include "tovik.hpp"

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
    throw nb::value_error(("slist must have shape (6, n), got " + py::shape_text(slist.shape)).c_str());
  const std::size_t n = slist.shape[1];
  nb::list out;
  if (n == 0) return out;

  Array<double> home = py::as_f64(home_in);
  if (home.ndim() != 3 || home.shape[1] != 4 || home.shape[2] != 4)
    throw nb::value_error(
        ("home_transforms must be a sequence of 4x4 transforms, got shape " + py::shape_text(home.shape))
            .c_str());
  if (home.shape[0] < n)
    throw nb::index_error(("need " + std::to_string(n) + " home transforms, got " +
                           std::to_string(home.shape[0]))
                              .c_str());
  Array<double> thetas = py::as_f64(thetas_in);
  if (thetas.ndim() != 1)
    throw nb::value_error(("thetas must be a joint vector, got shape " + py::shape_text(thetas.shape)).c_str());
  if (thetas.size < n)
    throw nb::index_error(("need " + std::to_string(n) + " joint values, got " +
                           std::to_string(thetas.size))
                              .c_str());
  py::require_finite(slist, "slist");
  if (!py::all_finite(home.data, 16 * n)) throw nb::value_error("home_transforms must be finite");
  if (!py::all_finite(thetas.data, n)) throw nb::value_error("thetas must be finite");

  std::vector<double> buf(16 * n);
  tovik::forward_kinematics(slist.data, n, home.data, thetas.data, buf.data());
  for (std::size_t i = 0; i < n; ++i) out.append(mat_to_numpy(buf.data() + 16 * i, 4, 4));
  return out;
}

}  // namespace

NB_MODULE(Tovik, m) {
  m.doc() = "Product-of-exponentials kinematics: skew matrices, adjoints, the SE(3) "
            "exponential of a screw and the world pose of every joint-driven link.";
  m.def("skew", &skew_py, nb::arg("w"),
        "The 3x3 matrix [w] with [w] @ b == cross(w, b).");
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
}
