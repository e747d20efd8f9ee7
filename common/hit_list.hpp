// Lists of link indices as the voxel inspection reports them.
#pragma once

#include <string>
#include <vector>

namespace cellpath {

// `hits` without the base link (whose contact with its mount is expected), in order.
inline std::vector<long> without(const std::vector<long>& hits, long base) {
  std::vector<long> out;
  for (long h : hits)
    if (h != base) out.push_back(h);
  return out;
}

// "[a, b, c]", as Python prints a list of ints.
inline std::string list_text(const std::vector<long>& v) {
  std::string s = "[";
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (i) s += ", ";
    s += std::to_string(v[i]);
  }
  return s + "]";
}

}  // namespace cellpath
