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
  poses_.assign(n + 1, cellpath::kIdentity4);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t r = 0; r < 6; ++r) screws_[i][r] = slist[r * n + i];
    for (std::size_t k = 0; k < 16; ++k) home_[i][k] = home[16 * i + k];
  }
}

bool ArmModel::collides(const double* q) {
  // The same running product as the kinematics module's forward_kinematics,
  // so each link gets bit for bit the transform that function returns.
  // Consecutive queries of a planner lie close together, so the link that
  // hit last time is tested first (once posed), then the others base to tip.
  cellpath::Mat4 running = cellpath::kIdentity4;
  std::size_t posed = 0;
  auto pose_next = [&] {
    running = cellpath::mul4(running, cellpath::exp_se3(screws_[posed], q[posed]));
    poses_[posed + 1] = cellpath::mul4(running, home_[posed]);
    ++posed;
  };
  const std::size_t first = last_hit_;
  if (first < n_) {
    while (posed <= first) pose_next();
    if (links_[first].hits(poses_[first + 1], summary_)) return true;
    for (std::size_t i = 0; i < first; ++i)
      if (links_[i].hits(poses_[i + 1], summary_)) {
        last_hit_ = i;
        return true;
      }
  }
  while (posed < n_) {
    pose_next();
    const std::size_t i = posed - 1;
    if (links_[i].hits(poses_[i + 1], summary_)) {
      last_hit_ = i;
      return true;
    }
  }
  return false;
}

void ArmModel::pose(const double* q) {
  cellpath::Mat4 running = cellpath::kIdentity4;
  for (std::size_t i = 0; i < n_; ++i) {
    running = cellpath::mul4(running, cellpath::exp_se3(screws_[i], q[i]));
    poses_[i + 1] = cellpath::mul4(running, home_[i]);
  }
}

void ArmModel::set_self_collision(std::unique_ptr<gristane::SelfCollisionModel> model,
                                  const cellpath::Mat4& base) {
  if (model && model->n_links() != n_ + 1)
    throw std::invalid_argument("the self-collision model needs the base and one shape per moving link");
  self_ = std::move(model);
  poses_[0] = base;
}

namespace {

// splitmix64: a fixed, portable sequence (the standard library's
// distributions differ between implementations).
struct SplitMix {
  std::uint64_t state;
  double uniform() {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) * 0x1.0p-53;
  }
};

}  // namespace

std::vector<std::pair<std::size_t, std::size_t>> ArmModel::always_touching(std::size_t configs,
                                                                          std::uint64_t seed) {
  std::vector<std::pair<std::size_t, std::size_t>> candidates;
  if (!self_) return candidates;
  candidates = self_->checked();
  SplitMix rng{seed};
  std::vector<double> q(n_);
  for (std::size_t c = 0; c < configs && !candidates.empty(); ++c) {
    for (std::size_t k = 0; k < n_; ++k) q[k] = lower_[k] + (upper_[k] - lower_[k]) * rng.uniform();
    pose(q.data());
    std::vector<std::pair<std::size_t, std::size_t>> still;
    for (const auto& [i, j] : candidates)
      if (self_->pair_collides(i, j, poses_[i], poses_[j])) still.emplace_back(i, j);
    candidates = std::move(still);
  }
  return candidates;
}

}  // namespace brimwell
