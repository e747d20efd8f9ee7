#include "Brimwell/arm_model.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

namespace brimwell {

ArmModel::ArmModel(std::size_t n, const double* slist, const double* home, const double* lower,
                   const double* upper, std::vector<LinkCloud> links,
                   const gristane::GridView& grid)
    : n_(n),
      lower_(lower, lower + n),
      upper_(upper, upper + n),
      links_(std::make_shared<const std::vector<LinkCloud>>(std::move(links))),
      summary_(grid) {
  if (links_->size() != n) throw std::invalid_argument("one point set per moving link is needed");
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
    if ((*links_)[first].hits(poses_[first + 1], summary_)) return true;
    for (std::size_t i = 0; i < first; ++i)
      if ((*links_)[i].hits(poses_[i + 1], summary_)) {
        last_hit_ = i;
        return true;
      }
  }
  while (posed < n_) {
    pose_next();
    const std::size_t i = posed - 1;
    if ((*links_)[i].hits(poses_[i + 1], summary_)) {
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
    throw std::invalid_argument(
        "the self-collision model needs the base and one shape per moving link");
  self_ = std::move(model);
  self_hit_ = 0;
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

void ArmModel::build_pair_tables(double delta) {
  if (!self_) return;
  auto& model = *self_;
  // Extra threshold for a cell: the farthest any point of either link moves
  // relative to the other within the cell, plus what the field's cells and
  // rounding can hide (see the enlarged test in SelfCollisionModel).
  const double hidden = (model.margin() - model.tau()) + model.cell_reach();
  const auto& pairs = model.checked();
  std::vector<double> q(n_, 0.0);
  for (std::size_t p = 0; p < pairs.size(); ++p) {
    const auto [i, j] = pairs[p];
    if (j != i + 2) continue;
    const std::size_t a = i, b = i + 1;  // the joints between links i and i + 2
    cellpath::Vec3 o[2];
    bool revolute = true;
    for (int k = 0; k < 2; ++k) {
      const cellpath::Vec6& S = screws_[a + k];
      const double w2 = S[0] * S[0] + S[1] * S[1] + S[2] * S[2];
      if (!(w2 > 0.25)) revolute = false;
      // The point of the axis nearest the origin: omega x v / |omega|^2.
      o[k] = {(S[1] * S[5] - S[2] * S[4]) / w2, (S[2] * S[3] - S[0] * S[5]) / w2,
              (S[0] * S[4] - S[1] * S[3]) / w2};
    }
    if (!revolute) continue;
    const gristane::LinkShape& A = model.shape(j);  // distal
    const gristane::LinkShape& B = model.shape(i);  // proximal
    if (A.empty() || B.empty()) continue;
    auto world = [&](std::size_t link, const double* c) {
      const cellpath::Mat4& T = link == 0 ? poses_[0] : home_[link - 1];
      cellpath::Vec3 w;
      for (int r = 0; r < 3; ++r)
        w[r] = T[r * 4] * c[0] + T[r * 4 + 1] * c[1] + T[r * 4 + 2] * c[2] + T[r * 4 + 3];
      return w;
    };
    auto dist = [](const cellpath::Vec3& x, const cellpath::Vec3& y) {
      return std::sqrt((x[0] - y[0]) * (x[0] - y[0]) + (x[1] - y[1]) * (x[1] - y[1]) +
                       (x[2] - y[2]) * (x[2] - y[2]));
    };
    const cellpath::Vec3 ca = world(j, A.centre()), cb = world(i, B.centre());
    // Axis directions, and the feet f0, f1 of the shortest segment between
    // the two axes (both fixed in link i + 1).
    cellpath::Vec3 d[2];
    double rate[2];  // radians turned per unit of joint value
    for (int k = 0; k < 2; ++k) {
      const cellpath::Vec6& S = screws_[a + k];
      rate[k] = std::sqrt(S[0] * S[0] + S[1] * S[1] + S[2] * S[2]);
      d[k] = {S[0] / rate[k], S[1] / rate[k], S[2] / rate[k]};
    }
    auto dot = [](const cellpath::Vec3& x, const cellpath::Vec3& y) {
      return x[0] * y[0] + x[1] * y[1] + x[2] * y[2];
    };
    auto along = [](const cellpath::Vec3& o, const cellpath::Vec3& dir, double t) {
      return cellpath::Vec3{o[0] + dir[0] * t, o[1] + dir[1] * t, o[2] + dir[2] * t};
    };
    auto foot = [&](const cellpath::Vec3& x, int k) {  // nearest point of axis k to x
      const cellpath::Vec3 r{x[0] - o[k][0], x[1] - o[k][1], x[2] - o[k][2]};
      return along(o[k], d[k], dot(r, d[k]));
    };
    const cellpath::Vec3 w0{o[0][0] - o[1][0], o[0][1] - o[1][1], o[0][2] - o[1][2]};
    const double bdot = dot(d[0], d[1]), den = 1.0 - bdot * bdot;
    cellpath::Vec3 f0, f1;
    if (den > 1e-9) {
      const double dd = dot(d[0], w0), ee = dot(d[1], w0);
      f0 = along(o[0], d[0], (bdot * ee - dd) / den);
      f1 = along(o[1], d[1], (ee - bdot * dd) / den);
    } else {  // parallel axes
      f1 = foot(ca, 1);
      f0 = foot(f1, 0);
    }
    const double axes = dist(f0, f1);
    // A point p of link i + 2 turns about axis 1 at its own distance from it,
    // and about axis 0 at most |p - f0| <= |c - f1| + |f1 - f0| + r away; the
    // same with the roles swapped for link i.
    const double ra1 = dist(ca, foot(ca, 1)) + A.radius(), ra0 = dist(ca, f1) + axes + A.radius();
    const double rb0 = dist(cb, foot(cb, 0)) + B.radius(), rb1 = dist(cb, f0) + axes + B.radius();
    const double r0 = std::max(ra0, rb0), r1 = std::max(ra1, rb1);

    gristane::SelfCollisionModel::PairTable t;
    t.pair = p;
    t.joint = a;
    // Cells of `delta` rad, or coarser where a joint's range would need more
    // than kTableSide of them: the table's cost stays bounded.
    constexpr double kTableSide = 300.0;
    double cell = delta;
    for (int k = 0; k < 2; ++k) cell = std::max(cell, (upper_[a + k] - lower_[a + k]) / kTableSide);
    t.inv_delta = 1.0 / cell;
    for (int k = 0; k < 2; ++k) {
      t.lo[k] = lower_[a + k];
      t.cells[k] = std::max<std::int64_t>(
          1, static_cast<std::int64_t>(std::ceil((upper_[a + k] - lower_[a + k]) / cell)));
    }
    const double moved = 0.5 * cell * (r0 * rate[0] + r1 * rate[1]) * (1.0 + 1e-9) + 1e-9;
    const double extra = moved + hidden;
    t.clear.assign(static_cast<std::size_t>(t.cells[0] * t.cells[1]), 0);
    for (std::int64_t u = 0; u < t.cells[0]; ++u)
      for (std::int64_t v = 0; v < t.cells[1]; ++v) {
        q[a] = t.lo[0] + (static_cast<double>(u) + 0.5) * cell;
        q[b] = t.lo[1] + (static_cast<double>(v) + 0.5) * cell;
        pose(q.data());
        t.clear[static_cast<std::size_t>(u * t.cells[1] + v)] =
            !model.pair_within_extra(i, j, poses_[i], poses_[j], extra);
      }
    model.add_table(std::move(t));
  }
}

}  // namespace brimwell
