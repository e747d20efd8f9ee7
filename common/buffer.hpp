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
#include "common/strided_array.hpp"

#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>

namespace cellpath::py {

namespace nb = nanobind;

// A buffer's shape and strides are read in place as StridedArray's.
static_assert(std::is_same_v<Py_ssize_t, std::ptrdiff_t>);

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
  std::int64_t size() const { return array().size(); }
  double f64_at(std::int64_t offset) const { return array().f64_at(offset); }
  bool c_contiguous() const { return array().c_contiguous(view_.itemsize); }
  // The memory as plain C++ reads it, valid while this view holds the buffer.
  cellpath::StridedArray array() const { return {data(), view_.ndim, view_.shape, view_.strides}; }

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
