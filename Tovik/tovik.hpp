// Forward kinematics over numpy buffers: a (6, n) screw list, n home transforms
// and a joint vector in, one world transform per moving link out.
#pragma once

#include "common/se3.hpp"

#include <cstddef>

namespace tovik {

using cellpath::Mat4;
using cellpath::Vec6;

using cellpath::load4;
using cellpath::screw_column;

// out[i] = exp([S_0] t_0) ... exp([S_i] t_i) home[i], written as 16 doubles per link.
inline void forward_kinematics(const double* slist, std::size_t n, const double* home,
                               const double* thetas, double* out) {
  cellpath::forward_kinematics(
      n, [&](std::size_t i) { return screw_column(slist, n, i); },
      [&](std::size_t i) { return load4(home + 16 * i); }, [&](std::size_t i) { return thetas[i]; },
      [&](std::size_t i, const Mat4& T) {
        for (int k = 0; k < 16; ++k) out[16 * i + k] = T[k];
      });
}

}  // namespace tovik
