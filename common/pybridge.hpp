// The Python side of every module: numpy conversion in, numpy arrays out.
//
// Inputs go through numpy itself (`asarray(x, dtype=float64)`), so conversion
// errors (ragged lists, non-numeric entries) are numpy's own; the shape is then
// checked here, once, before C++ reads the buffer.  Outputs are numpy arrays
// allocated by numpy and filled in place, so they own their memory.
#pragma once

#include "common/array_view.hpp"
#include "common/buffer_format.hpp"
#include "common/file_path.hpp"

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/filesystem.h>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace cellpath::py {

namespace nb = nanobind;

inline nb::module_ numpy() { return nb::module_::import_("numpy"); }

// numpy.asarray(x, dtype=float64): numpy's own conversion and errors, the
// caller's array itself when it already is one.
inline nb::object asarray_f64(nb::handle x) {
  return numpy().attr("asarray")(x, nb::arg("dtype") = "float64");
}

// numpy.random.default_rng(seed): a generator of numpy's own.
inline nb::object default_rng(nb::handle seed) {
  return numpy().attr("random").attr("default_rng")(seed);
}

// str(x) and repr(x) as std::strings.  (They take a handle on purpose: nb::str
// applied to an attribute accessor would try to cast the value to const char*.)
inline std::string str_of(nb::handle x) { return nb::cast<std::string>(nb::str(x)); }
inline std::string repr_of(nb::handle x) { return nb::cast<std::string>(nb::repr(x)); }

// x as a std::string when it is a str, else the TypeError "<what> must be a
// str, got <repr>".
inline std::string str_arg(nb::handle x, const char* what) {
  if (!nb::isinstance<nb::str>(x))
    throw nb::type_error((std::string(what) + " must be a str, got " + repr_of(x)).c_str());
  return nb::cast<std::string>(x);
}

// pathlib.Path(x).
inline nb::object as_path(nb::handle x) { return nb::module_::import_("pathlib").attr("Path")(x); }

// A path argument read once as pathlib reads it (pathlib's own refusal of
// anything else), then held in C++ in pathlib's form.
inline std::filesystem::path path_arg(nb::handle x) {
  return nb::cast<std::filesystem::path>(as_path(x));
}

// A path argument a bound function takes, read by path_arg when nanobind
// converts it (pathlib's conversion, its refusal unchanged); `None` where the
// caller may leave it out and mean a default of the function's own.
struct PathArg {
  std::filesystem::path path;
};
struct OptionalPathArg {
  std::optional<std::filesystem::path> path;
  // The path given, else module m's CACHE_DIR as it stands now.
  std::filesystem::path or_cache_dir(nb::handle m) const {
    return path ? *path : path_arg(m.attr("CACHE_DIR"));
  }
};

// `dir / name` for a pathlib.Path (or anything pathlib accepts).
inline nb::object join_path(nb::handle dir, const std::string& name) {
  return as_path(dir).attr("__truediv__")(name);
}

// A name of Python's builtins (print, float, ...), looked up at each call.
inline nb::object builtin(const char* name) { return nb::module_::import_("builtins").attr(name); }

// print(line): a module's progress and report lines go through Python's print,
// so that a caller who redirects sys.stdout gets them.
inline void print_line(const std::string& line) { builtin("print")(line); }

// numpy.array2string(theta, precision=3): a joint vector in a report line.
inline std::string theta_text(nb::handle theta) {
  return str_of(numpy().attr("array2string")(theta, nb::arg("precision") = 3));
}

// A contiguous array of T held alive by `owner`; cores take it as the plain
// view it extends.
template <class T>
struct Array : ArrayView<T> {
  nb::object owner;
};

using cellpath::all_finite;
using cellpath::require_finite;
using cellpath::require_shape;
using cellpath::shape_text;

using cellpath::numpy_dtype_name;

// What a scalar becomes: a one-entry vector (as numpy.ascontiguousarray
// makes it) or a zero-dimensional array, for readers that must tell a scalar
// from a vector.
enum class Scalar { as_vector, keep };

// An exception type with two bases, created once per interpreter and kept in
// sys.modules["_cellpath_errors"], so every module raises the very same type.
inline nb::object shared_error_type(const char* name, const char* doc, PyObject* base1,
                                    PyObject* base2) {
  nb::object modules = nb::module_::import_("sys").attr("modules");
  const char* holder = "_cellpath_errors";
  nb::object held = modules.attr("get")(holder);
  if (held.is_none()) {
    held = nb::module_::import_("types").attr("ModuleType")(holder);
    modules[holder] = held;
  }
  if (!nb::hasattr(held, name)) {
    nb::object bases = nb::make_tuple(nb::handle(base1), nb::handle(base2));
    const std::string full = std::string(holder) + "." + name;
    nb::object type = nb::steal(PyErr_NewExceptionWithDoc(full.c_str(), doc, bases.ptr(), nullptr));
    if (!type.is_valid()) throw nb::python_error();
    held.attr(name) = type;
  }
  return held.attr(name);
}

// Values that are not real numbers where numbers are wanted: a TypeError, and a
// ValueError as text that numpy cannot parse always was.
inline nb::object not_real_error() {
  return shared_error_type(
      "NotRealError",
      "An array argument holds complex numbers, text or objects (a TypeError and a ValueError).",
      PyExc_TypeError, PyExc_ValueError);
}

// x as numpy reads it, refused with a TypeError unless it holds numbers:
// booleans, integers and reals.  numpy would convert complex numbers by
// dropping their imaginary part, parse text and call float() on objects; an
// argument like that is a mistake, not a number.
inline nb::object real_numbers(nb::handle x) {
  nb::object arr = numpy().attr("asarray")(x);
  nb::object dtype = arr.attr("dtype");
  const nb::str kind(dtype.attr("kind"));
  const std::string k = kind.c_str();
  if (k != "b" && k != "i" && k != "u" && k != "f") {
    const std::string message = std::string("expected real numbers, got an array of ") +
                                nb::str(dtype).c_str() + " (" + nb::str(x.type()).c_str() + ")";
    PyErr_SetString(not_real_error().ptr(), message.c_str());
    throw nb::python_error();
  }
  return arr;
}

// numpy.asarray(x, dtype=T, order="C") viewed from C++: numpy converts (so
// conversion errors are numpy's own; values that are not real numbers are
// refused first), copying only when x is not already a C-contiguous array of
// T.  This is the one way C++ reads an array argument; hot paths that must not
// copy a strided view use StridedView (buffer.hpp).
template <class T>
inline Array<T> as_array(nb::handle x, Scalar scalar = Scalar::as_vector) {
  nb::module_ np = numpy();
  nb::object arr = np.attr("asarray")(real_numbers(x), nb::arg("dtype") = numpy_dtype_name<T>(),
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

// A fresh numpy array of the given shape, and a writable pointer to its data.
template <class T>
inline nb::object new_array(const std::vector<std::size_t>& shape, T** data) {
  nb::module_ np = numpy();
  nb::list dims;
  for (std::size_t d : shape) dims.append(d);
  nb::object arr = np.attr("empty")(nb::tuple(dims), nb::arg("dtype") = numpy_dtype_name<T>());
  auto view = nb::cast<nb::ndarray<T, nb::c_contig, nb::device::cpu>>(arr);
  *data = view.data();
  return arr;
}

inline nb::object new_f64(const std::vector<std::size_t>& shape, double** data) {
  return new_array<double>(shape, data);
}

// A fresh numpy array of the given shape holding a copy of the values at `src`
// (as many as the shape holds, row-major).  This and the overload below are the
// one way C++ results become numpy arrays.
template <class T>
inline nb::object new_array(const std::vector<std::size_t>& shape, const T* src) {
  T* dst = nullptr;
  nb::object arr = new_array<T>(shape, &dst);
  std::size_t count = 1;
  for (std::size_t d : shape) count *= d;
  std::copy(src, src + count, dst);
  return arr;
}

// A copy of `values` as a numpy array of the given shape (by default one
// dimension, values.size() long); the shape must hold exactly values.size().
template <class T>
inline nb::object new_array(const std::vector<T>& values, std::vector<std::size_t> shape = {}) {
  if (shape.empty()) shape.push_back(values.size());
  std::size_t count = 1;
  for (std::size_t d : shape) count *= d;
  if (count != values.size())
    throw std::length_error("new_array: " + std::to_string(values.size()) +
                            " values cannot fill the shape " + shape_text(shape));
  T* dst = nullptr;
  nb::object arr = new_array<T>(shape, &dst);
  std::copy(values.begin(), values.end(), dst);
  return arr;
}

// `key in container`, as Python tests it.
inline bool contains(nb::handle container, nb::handle key) {
  const int found = PySequence_Contains(container.ptr(), key.ptr());
  if (found < 0) throw nb::python_error();
  return found != 0;
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

using cellpath::kCacheDirEnv;

// The default cache directory of module `m` (cellpath::default_cache_dir from
// the module's own file), as a Path.
inline nb::object default_cache_dir(nb::module_ m, const char* name, int levels_up = 1) {
  return nb::cast(cellpath::default_cache_dir(nb::cast<std::filesystem::path>(m.attr("__file__")),
                                              name, levels_up));
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

// A module's constants and offered names, set in one place.
inline void set_values(nb::handle m,
                       std::initializer_list<std::pair<const char*, nb::object>> values) {
  for (const auto& [name, value] : values) nb::setattr(m, name, value);
}

// m.CACHE_DIR = default_cache_dir(m, name, levels_up), returned for use as a default.
inline nb::object set_cache_dir(nb::module_ m, const char* name, int levels_up) {
  nb::object dir = default_cache_dir(m, name, levels_up);
  m.attr("CACHE_DIR") = dir;
  return dir;
}

}  // namespace cellpath::py

// An array argument read as the module reads every array: a bound function
// that takes `Array<T>` gets the argument through as_array, so numpy's
// conversion, its errors and the refusal of values that are not real numbers
// are exactly those of a hand call.  The conversion raises rather than
// reporting a mismatch, because its message is the one the caller should see.
// (Not for optional arguments: nanobind's optional caster may not raise.)
namespace nanobind::detail {
template <class T>
struct type_caster<cellpath::py::Array<T>> {
  NB_TYPE_CASTER(cellpath::py::Array<T>, const_name("numpy.typing.ArrayLike"))
  bool from_python(handle src, uint32_t, cleanup_list*) {
    value = cellpath::py::as_array<T>(src);
    return true;
  }
};

// A path argument as path_arg reads it; a bound function takes it typed.
template <>
struct type_caster<cellpath::py::PathArg> {
  NB_TYPE_CASTER(cellpath::py::PathArg, const_name("object"))
  bool from_python(handle src, uint32_t, cleanup_list*) {
    value.path = cellpath::py::path_arg(src);
    return true;
  }
};
template <>
struct type_caster<cellpath::py::OptionalPathArg> {
  NB_TYPE_CASTER(cellpath::py::OptionalPathArg, const_name("object"))
  bool from_python(handle src, uint32_t, cleanup_list*) {
    if (!src.is_none()) value.path = cellpath::py::path_arg(src);
    return true;
  }
};
}  // namespace nanobind::detail
