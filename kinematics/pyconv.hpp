// numpy <-> fixed-size kinematics values, and Python's own number rules
// (float(), operator.index(), truth) for the CAD-side bindings.  Shapes are
// checked here, once, before C++ reads a buffer; the host handles are the host
// layer's (host.hpp).
#pragma once

#include "common/pybridge.hpp"
#include "kinematics/algebra.hpp"
#include "kinematics/host.hpp"

#include <nanobind/nanobind.h>

#include <cstddef>
#include <string>
#include <vector>

namespace kinematics::py {

namespace nb = nanobind;
namespace host = cellpath::host;
using cellpath::py::Array;
using cellpath::py::numpy;

// A float64 array that keeps a scalar zero-dimensional, so scalars and vectors
// stay distinguishable.
inline Array<double> f64(nb::handle x) {
  return cellpath::py::as_f64(x, cellpath::py::Scalar::keep);
}

// A float64 array of the given shape filled from `src` (row-major).
inline nb::object array_from(const double* src, std::vector<std::size_t> shape) {
  std::size_t count = 1;
  for (std::size_t d : shape) count *= d;
  double* dst = nullptr;
  nb::object arr = cellpath::py::new_f64(shape, &dst);
  for (std::size_t k = 0; k < count; ++k) dst[k] = src[k];
  return arr;
}

inline nb::object to_numpy(const Mat3& A) { return array_from(A.data(), {3, 3}); }
inline nb::object to_numpy(const Mat4& A) { return array_from(A.data(), {4, 4}); }
inline nb::object to_numpy(const Mat6& A) { return array_from(A.data(), {6, 6}); }
inline nb::object to_numpy(const Vec3& v) { return array_from(v.data(), {3}); }
inline nb::object to_numpy(const Vec6& v) { return array_from(v.data(), {6}); }

[[noreturn]] inline void shape_error(const char* what, const char* want,
                                     const std::vector<std::size_t>& got) {
  throw nb::value_error(
      (std::string(what) + " must be " + want + ", got shape " + cellpath::py::shape_text(got))
          .c_str());
}

// A transform of which only the rotation block [0:3, 0:3] and the translation
// [0:3, 3] are read: any 2-D array of at least 3 x 4.  The rest of the result is
// the identity's.
inline Mat4 rigid_arg(nb::handle x, const char* what) {
  Array<double> a = f64(x);
  if (a.ndim() != 2 || a.shape[0] < 3 || a.shape[1] < 4)
    shape_error(what, "a 4x4 transform (at least 3 x 4)", a.shape);
  const std::size_t c = a.shape[1];
  Mat4 T = cellpath::kIdentity4;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 4; ++j) T[i * 4 + j] = a.data[i * c + j];
  return T;
}

// A full 4 x 4 matrix, used as a factor of a matrix product.
inline Mat4 mat4_arg(nb::handle x, const char* what) {
  Array<double> a = f64(x);
  if (a.ndim() != 2 || a.shape[0] != 4 || a.shape[1] != 4) shape_error(what, "4x4", a.shape);
  Mat4 T;
  for (int k = 0; k < 16; ++k) T[k] = a.data[k];
  return T;
}

// A 3-vector given as exactly three numbers (one-dimensional).
inline Vec3 vec3_arg(nb::handle x, const char* what) {
  Array<double> a = f64(x);
  if (a.ndim() != 1 || a.shape[0] != 3) shape_error(what, "a vector of 3 entries", a.shape);
  return {a[0], a[1], a[2]};
}

// A one-dimensional joint vector.
inline Array<double> joints_arg(nb::handle x, const char* what) {
  Array<double> a = f64(x);
  if (a.ndim() != 1) shape_error(what, "a one-dimensional joint vector", a.shape);
  return a;
}

using cellpath::py::to_double;
using cellpath::py::to_index;
using cellpath::py::truthy;

// "<template>".format(value), so any object is rendered the way Python would.
inline nb::str format1(const char* tmpl, nb::handle value) {
  return nb::str(nb::str(tmpl).attr("format")(value));
}

// a + b on Python objects.
inline nb::object py_add(nb::handle a, nb::handle b) {
  nb::object r = nb::steal(PyNumber_Add(a.ptr(), b.ptr()));
  if (!r.is_valid()) throw nb::python_error();
  return r;
}

// A module constant read at call time.
inline nb::object constant(nb::handle m, const char* name) { return m.attr(name); }

}  // namespace kinematics::py
