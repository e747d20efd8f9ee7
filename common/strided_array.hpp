// A read-only view of n-dimensional memory with byte strides, as a buffer
// hands it over (common/buffer.hpp holds the buffer; cores read this).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace cellpath {

struct StridedArray {
  const char* data = nullptr;
  int ndim = 0;
  const std::ptrdiff_t* shape = nullptr;
  const std::ptrdiff_t* strides = nullptr;  // bytes

  // Element at a byte offset from the first element.
  double f64_at(std::int64_t offset) const {
    double x;
    std::memcpy(&x, data + offset, sizeof x);
    return x;
  }
  std::int64_t size() const {
    std::int64_t n = 1;
    for (int i = 0; i < ndim; ++i) n *= shape[i];
    return n;
  }
  bool c_contiguous(std::int64_t itemsize) const {
    std::int64_t want = itemsize;
    for (int i = ndim - 1; i >= 0; --i) {
      if (shape[i] > 1 && strides[i] != want) return false;
      want *= shape[i];
    }
    return true;
  }
};

}  // namespace cellpath
