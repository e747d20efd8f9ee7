// A read-only view of a row-major array of numbers, and the checks every
// argument goes through: shape and finiteness, with the messages the modules
// raise (std::invalid_argument, which the bindings turn into ValueError).
//
// Bindings convert their arguments into views once (common/pybridge.hpp) and
// hand the views to cores that never see a Python object.
#pragma once

#include <cmath>
#include <cstddef>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <vector>

namespace cellpath {

template <class T>
struct ArrayView {
  const T* data = nullptr;
  std::vector<std::size_t> shape;
  std::size_t size = 0;

  std::size_t ndim() const { return shape.size(); }
  std::size_t dim(std::size_t i) const { return shape.at(i); }
  const T& operator[](std::size_t i) const { return data[i]; }
};

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

// Throw unless `shape` is exactly `expected` (-1 for any length):
// "<what> must have shape (4, 4), got (3,)".
inline void require_shape(const std::vector<std::size_t>& shape,
                          std::initializer_list<long> expected, const char* what) {
  bool ok = shape.size() == expected.size();
  std::size_t i = 0;
  for (long e : expected) {
    if (!ok) break;
    if (e >= 0 && shape[i] != static_cast<std::size_t>(e)) ok = false;
    ++i;
  }
  if (ok) return;
  std::string want = "(";
  i = 0;
  for (long e : expected) {
    if (i++) want += ", ";
    want += e >= 0 ? std::to_string(e) : std::string("n");
  }
  if (expected.size() == 1) want += ",";
  want += ")";
  throw std::invalid_argument(std::string(what) + " must have shape " + want + ", got " +
                              shape_text(shape));
}

template <class T>
inline void require_shape(const ArrayView<T>& a, std::initializer_list<long> expected,
                          const char* what) {
  require_shape(a.shape, expected, what);
}

inline bool all_finite(const double* p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (!std::isfinite(p[i])) return false;
  return true;
}

inline void require_finite(const ArrayView<double>& a, const char* what) {
  if (!all_finite(a.data, a.size))
    throw std::invalid_argument(std::string(what) + " must be finite (no NaN or infinity)");
}

}  // namespace cellpath
