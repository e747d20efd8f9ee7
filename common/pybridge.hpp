// The Python side of every module: numpy conversion in, numpy arrays out.
//
// Inputs go through numpy itself (`asarray(x, dtype=float64)`), so conversion
// errors (ragged lists, non-numeric entries) are numpy's own; the shape is then
// checked here, once, before C++ reads the buffer.  Outputs are numpy arrays
// allocated by numpy and filled in place, so they own their memory.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace cellpath::py {

namespace nb = nanobind;

inline nb::module_ numpy() { return nb::module_::import_("numpy"); }

// A contiguous array of T held alive by `owner`.
template <class T>
struct Array {
  nb::object owner;
  const T* data = nullptr;
  std::vector<std::size_t> shape;
  std::size_t size = 0;

  std::size_t ndim() const { return shape.size(); }
  std::size_t dim(std::size_t i) const { return shape.at(i); }
  const T& operator[](std::size_t i) const { return data[i]; }
};

template <class T>
inline const char* numpy_dtype_name();
template <>
inline const char* numpy_dtype_name<double>() {
  return "float64";
}
template <>
inline const char* numpy_dtype_name<std::int64_t>() {
  return "int64";
}
template <>
inline const char* numpy_dtype_name<bool>() {
  return "bool";
}
template <>
inline const char* numpy_dtype_name<std::uint8_t>() {
  return "uint8";
}

// What a scalar becomes: a one-entry vector (as numpy.ascontiguousarray
// makes it) or a zero-dimensional array, for readers that must tell a scalar
// from a vector.
enum class Scalar { as_vector, keep };

// numpy.asarray(x, dtype=T, order="C") viewed from C++: numpy converts (so
// conversion errors are numpy's own), copying only when x is not already a
// C-contiguous array of T.  This is the one way C++ reads an array argument;
// hot paths that must not copy a strided view use StridedView (buffer.hpp).
template <class T>
inline Array<T> as_array(nb::handle x, Scalar scalar = Scalar::as_vector) {
  nb::module_ np = numpy();
  nb::object arr = np.attr("asarray")(x, nb::arg("dtype") = np.attr(numpy_dtype_name<T>()),
                                      nb::arg("order") = "C");
  if (scalar == Scalar::as_vector && nb::cast<int>(arr.attr("ndim")) == 0)
    arr = arr.attr("reshape")(1);
  auto view = nb::cast<nb::ndarray<const T, nb::c_contig, nb::device::cpu>>(arr);
  Array<T> out;
  out.owner = arr;
  out.data = view.data();
  out.size = view.size();
  for (std::size_t i = 0; i < view.ndim(); ++i) out.shape.push_back(view.shape(i));
  return out;
}

inline Array<double> as_f64(nb::handle x, Scalar scalar = Scalar::as_vector) {
  return as_array<double>(x, scalar);
}

// The shape in numpy's text form, "(k,)" or "(a, b)".
inline std::string shape_text(const std::vector<std::size_t>& shape) {
  std::string s = "(";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i) s += ", ";
    s += std::to_string(shape[i]);
  }
  if (shape.size() == 1) s += ",";
  return s + ")";
}

// Raise ValueError unless `a` has exactly `expected` (use -1 for any length).
template <class T>
inline void require_shape(const Array<T>& a, std::initializer_list<long> expected,
                          const char* what) {
  bool ok = a.ndim() == expected.size();
  std::size_t i = 0;
  for (long e : expected) {
    if (!ok) break;
    if (e >= 0 && a.shape[i] != static_cast<std::size_t>(e)) ok = false;
    ++i;
  }
  if (!ok) {
    std::string want = "(";
    i = 0;
    for (long e : expected) {
      if (i++) want += ", ";
      want += e >= 0 ? std::to_string(e) : std::string("n");
    }
    if (expected.size() == 1) want += ",";
    want += ")";
    throw nb::value_error(
        (std::string(what) + " must have shape " + want + ", got " + shape_text(a.shape)).c_str());
  }
}

inline bool all_finite(const double* p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (!std::isfinite(p[i])) return false;
  return true;
}

inline void require_finite(const Array<double>& a, const char* what) {
  if (!all_finite(a.data, a.size))
    throw nb::value_error((std::string(what) + " must be finite (no NaN or infinity)").c_str());
}

// A fresh numpy array of the given shape, and a writable pointer to its data.
template <class T>
inline nb::object new_array(const std::vector<std::size_t>& shape, T** data) {
  nb::module_ np = numpy();
  nb::list dims;
  for (std::size_t d : shape) dims.append(d);
  nb::object arr =
      np.attr("empty")(nb::tuple(dims), nb::arg("dtype") = np.attr(numpy_dtype_name<T>()));
  auto view = nb::cast<nb::ndarray<T, nb::c_contig, nb::device::cpu>>(arr);
  *data = view.data();
  return arr;
}

inline nb::object new_f64(const std::vector<std::size_t>& shape, double** data) {
  return new_array<double>(shape, data);
}

// Python's own number rules, for arguments C++ reads one by one: float(x),
// operator.index(x) (what range() applies to its bound) and truth.
inline double to_double(nb::handle x) {
  const double v = PyFloat_AsDouble(x.ptr());
  if (v == -1.0 && PyErr_Occurred()) throw nb::python_error();
  return v;
}

inline long long to_index(nb::handle x) {
  nb::object i = nb::steal(PyNumber_Index(x.ptr()));
  if (!i.is_valid()) throw nb::python_error();
  const long long v = PyLong_AsLongLong(i.ptr());
  if (v == -1 && PyErr_Occurred()) throw nb::python_error();
  return v;
}

inline bool truthy(nb::handle x) {
  const int r = PyObject_IsTrue(x.ptr());
  if (r < 0) throw nb::python_error();
  return r != 0;
}

// Name of the environment variable that, when set at import, replaces every
// module's default cache directory (modules installed into site-packages would
// otherwise default to a directory inside the install folder).
inline constexpr const char* kCacheDirEnv = "CELLPATH_CACHE_DIR";

// The default cache directory of module `m`: the directory `name` found by going
// `levels_up` directories up from the module's own file (1 = the directory that
// holds the file), unless CELLPATH_CACHE_DIR names another.  Returns a Path.
inline nb::object default_cache_dir(nb::module_ m, const char* name, int levels_up = 1) {
  nb::module_ os = nb::module_::import_("os");
  nb::object Path = nb::module_::import_("pathlib").attr("Path");
  nb::object env = os.attr("environ").attr("get")(kCacheDirEnv);
  if (!env.is_none() && nb::len(env) > 0) return Path(env);
  nb::object dir = Path(m.attr("__file__")).attr("resolve")();
  for (int i = 0; i < levels_up; ++i) dir = dir.attr("parent");
  return dir.attr("__truediv__")(name);
}

// The offline commands' --cache-dir DIR option: a path, by default the
// module's CACHE_DIR as it stands when the parser is made.
inline void add_cache_dir_option(nb::handle parser, nb::handle m) {
  nb::object dir = m.attr("CACHE_DIR");
  parser.attr("add_argument")(
      "--cache-dir", nb::arg("metavar") = "DIR",
      nb::arg("type") = nb::module_::import_("pathlib").attr("Path"), nb::arg("default") = dir,
      nb::arg("help") = "the capture cache (default: " + nb::cast<std::string>(nb::str(dir)) +
                        ", or the directory named by " + kCacheDirEnv + ")");
}

// m.CACHE_DIR = default_cache_dir(m, name, levels_up), returned for use as a default.
inline nb::object set_cache_dir(nb::module_ m, const char* name, int levels_up) {
  nb::object dir = default_cache_dir(m, name, levels_up);
  m.attr("CACHE_DIR") = dir;
  return dir;
}

}  // namespace cellpath::py
