#include "arm_model.hpp"

#include <stdexcept>
#include <utility>

namespace brimwell {

ArmModel::ArmModel(std::size_t n, const double* slist, const double* home, const double* lower,
                   const double* upper, std::vector<LinkCloud> links,
                   const gristane::GridView& grid)
    : n_(n), lower_(lower, lower + n), upper_(upper, upper + n), links_(std::move(links)),
      summary_(grid) {
  if (links_.size() != n) throw std::invalid_argument("one point set per moving link is needed");
  screws_.resize(n);
  home_.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t r = 0; r < 6; ++r) screws_[i][r] = slist[r * n + i];
    for (std::size_t k = 0; k < 16; ++k) home_[i][k] = home[16 * i + k];
  }
}

bool ArmModel::collides(const double* q) {
  // The same running product as the kinematics module's forward_kinematics,
  // so each link gets bit for bit the transform that function returns.
  cellpath::Mat4 running = cellpath::kIdentity4;
  for (std::size_t i = 0; i < n_; ++i) {
    running = cellpath::mul4(running, cellpath::exp_se3(screws_[i], q[i]));
    const cellpath::Mat4 T = cellpath::mul4(running, home_[i]);
    if (links_[i].hits(T, summary_)) return true;
  }
  return false;
}

}  // namespace brimwell
