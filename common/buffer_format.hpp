// Which Python buffer formats C++ reads in place (see common/buffer.hpp), and
// numpy's names of the element types C++ hands over.
#pragma once

#include <cstdint>

namespace cellpath {

// True when a buffer of struct format `fmt` (null means "B") and item size
// `itemsize` holds native float64 (f64) or one-byte truth values (bool, int8 or
// uint8).  This code runs little-endian only, so '<' is native too.
inline bool buffer_format_matches(const char* fmt, bool f64, long itemsize) {
  if (fmt == nullptr) fmt = "B";
  if (*fmt == '@' || *fmt == '=' || *fmt == '<') ++fmt;
  if (fmt[0] == '\0' || fmt[1] != '\0') return false;
  if (f64) return fmt[0] == 'd' && itemsize == 8;
  return (fmt[0] == '?' || fmt[0] == 'b' || fmt[0] == 'B') && itemsize == 1;
}

// numpy's name of the dtype that holds C++ values of type T.
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
inline const char* numpy_dtype_name<std::int32_t>() {
  return "int32";
}
template <>
inline const char* numpy_dtype_name<bool>() {
  return "bool";
}
template <>
inline const char* numpy_dtype_name<std::uint8_t>() {
  return "uint8";
}

}  // namespace cellpath
