// Small pieces of text handling the command lines share.
#pragma once

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <string>
#include <vector>

namespace cellpath {

// "a,b,c" -> {"a", "b", "c"}, as Python's str.split(",") splits: an empty
// piece stays an (invalid) empty piece.
inline std::vector<std::string> split_commas(const std::string& text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = text.find(',', start);
    out.push_back(
        text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (comma == std::string::npos) return out;
    start = comma + 1;
  }
}

inline bool starts_with(const std::string& text, const char* prefix) {
  return text.rfind(prefix, 0) == 0;
}

// A float as Python's str() and repr() write it: the shortest text that reads
// back to the same number, in positional form unless the exponent is below -4
// or above 15 ("0.0001", "1e-05", "1e+16", "2.0", "nan", "-inf").
inline std::string python_float_text(double x) {
  if (std::isnan(x)) return "nan";
  if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
  char buf[64];
  const auto end = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific).ptr;
  const std::string sci(buf, end);  // [-]d[.ddd]e(+|-)XX
  const std::size_t e = sci.find('e');
  const bool negative = sci[0] == '-';
  std::string digits;
  for (std::size_t i = negative ? 1 : 0; i < e; ++i)
    if (sci[i] != '.') digits += sci[i];
  const int exponent = std::atoi(sci.c_str() + e + 1);
  const int point = exponent + 1;  // digits before the decimal point
  std::string out = negative ? "-" : "";
  if (point <= -4 || point > 16) {
    out += digits.substr(0, 1);
    if (digits.size() > 1) out += "." + digits.substr(1);
    const int mag = std::abs(exponent);
    return out + (exponent < 0 ? "e-" : "e+") + (mag < 10 ? "0" : "") + std::to_string(mag);
  }
  if (point <= 0) return out + "0." + std::string(-point, '0') + digits;
  if (static_cast<std::size_t>(point) >= digits.size())
    return out + digits + std::string(point - digits.size(), '0') + ".0";
  return out + digits.substr(0, point) + "." + digits.substr(point);
}

}  // namespace cellpath
