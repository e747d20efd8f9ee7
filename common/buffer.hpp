// Zero-copy, read-only access to numpy arrays (or any Python buffer) with
// arbitrary strides.
//
// Hot paths called once per configuration cannot afford a numpy call per
// argument; the buffer protocol hands over pointer, shape and byte strides in a
// few hundred nanoseconds.  An object that is not a buffer of the wanted
// element type (a list, another dtype, a non-native byte order) is converted
// once with numpy.asarray(obj, dtype) and that array's buffer is used instead,
// so conversion errors stay numpy's own.
#pragma once

#include "common/buffer_format.hpp"
#include "common/pybridge.hpp"

#include <nanobind/nanobind.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

namespace cellpath::py {

namespace nb = nanobind;

// Element types a StridedView can hold.
enum class Elem { f64, byte };

class StridedView {
 public:
  StridedView() = default;
  // f64: native float64 only.  byte: bool, int8 or uint8 (a cell is "set" when nonzero).
  StridedView(nb::handle obj, Elem elem) { acquire(obj, elem); }
  StridedView(const StridedView&) = delete;
  StridedView& operator=(const StridedView&) = delete;
  StridedView(StridedView&& o) noexcept { *this = std::move(o); }
  StridedView& operator=(StridedView&& o) noexcept {
    if (this != &o) {
      release();
      view_ = o.view_;
      held_ = o.held_;
      owner_ = std::move(o.owner_);
      o.held_ = false;
    }
    return *this;
  }
  ~StridedView() { release(); }

  int ndim() const { return view_.ndim; }
  std::int64_t shape(int i) const { return view_.shape[i]; }
  std::int64_t stride(int i) const { return view_.strides[i]; }  // bytes
  const char* data() const { return static_cast<const char*>(view_.buf); }
  std::int64_t size() const {
    std::int64_t n = 1;
    for (int i = 0; i < view_.ndim; ++i) n *= view_.shape[i];
    return n;
  }
  // Element at a byte offset from the first element.
  double f64_at(std::int64_t offset) const {
    double x;
    std::memcpy(&x, data() + offset, sizeof x);
    return x;
  }
  bool c_contiguous() const {
    std::int64_t want = view_.itemsize;
    for (int i = view_.ndim - 1; i >= 0; --i) {
      if (view_.shape[i] > 1 && view_.strides[i] != want) return false;
      want *= view_.shape[i];
    }
    return true;
  }

 private:
  bool try_get(nb::handle obj, Elem elem) {
    if (!PyObject_CheckBuffer(obj.ptr())) return false;
    if (PyObject_GetBuffer(obj.ptr(), &view_, PyBUF_RECORDS_RO) != 0) {
      PyErr_Clear();
      return false;
    }
    held_ = true;
    if (!cellpath::buffer_format_matches(view_.format, elem == Elem::f64, view_.itemsize) ||
        view_.strides == nullptr) {
      release();
      return false;
    }
    return true;
  }

  void acquire(nb::handle obj, Elem elem) {
    if (try_get(obj, elem)) return;
    nb::module_ np = cellpath::py::numpy();
    owner_ = np.attr("asarray")(real_numbers(obj),
                                nb::arg("dtype") = elem == Elem::f64 ? "float64" : "bool");
    if (!try_get(owner_, elem)) {
      // asarray gave something with a foreign byte order or layout: force a plain copy.
      owner_ = np.attr("ascontiguousarray")(owner_).attr("astype")(elem == Elem::f64 ? "float64"
                                                                                     : "bool");
      if (!try_get(owner_, elem)) throw nb::type_error("cannot read the array's memory");
    }
  }

  void release() {
    if (held_) PyBuffer_Release(&view_);
    held_ = false;
  }

  Py_buffer view_{};
  bool held_ = false;
  nb::object owner_;
};

}  // namespace cellpath::py
