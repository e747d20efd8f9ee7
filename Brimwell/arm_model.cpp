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
      links_(std::move(links)),
      summary_(grid) {
  if (links_.size() != n) throw std::invalid_argument("one point set per moving link is needed");
  screws_.resize(n);
  home_.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t r = 0; r < 6; ++r) screws_[i][r] = slist[r * n + i];
    for (std::size_t k = 0; k < 16; ++k) home_[i][k] = home[16 * i + k];
  }
  quick_ = cellpath::QuickChain(screws_, home_);
}

ArmData::ArmData(const ArmModel& model)
    : poses(model.n_joints() + 1, cellpath::kIdentity4),
      edge_q(model.n_joints()),
      edge_dq(model.n_joints()),
      edge_full(model.n_joints()),
      edge_lo(model.n_joints()),
      edge_hi(model.n_joints()) {
  poses[0] = model.base();
}

void ArmModel::pose_quick(ArmData& d, const double* q) const { quick_.pose(q, d.poses.data() + 1); }

bool ArmModel::collides(ArmData& d, const double* q) const {
  // The same running product as the kinematics module's forward_kinematics,
  // so each link gets bit for bit the transform that function returns.
  // Consecutive queries of a planner lie close together, so the link that
  // hit last time is tested first (once posed), then the others base to tip.
  std::vector<cellpath::Mat4>& poses = d.poses;
  cellpath::Mat4 running = cellpath::kIdentity4;
  std::size_t posed = 0;
  auto pose_next = [&] {
    poses[posed + 1] = cellpath::chain_step(running, screws_[posed], q[posed], home_[posed]);
    ++posed;
  };
  const std::size_t first = d.last_hit;
  if (first < n_) {
    while (posed <= first) pose_next();
    if (links_[first].hits(poses[first + 1], summary_)) return true;
    for (std::size_t i = 0; i < first; ++i)
      if (links_[i].hits(poses[i + 1], summary_)) {
        d.last_hit = i;
        return true;
      }
  }
  while (posed < n_) {
    pose_next();
    const std::size_t i = posed - 1;
    if (links_[i].hits(poses[i + 1], summary_)) {
      d.last_hit = i;
      return true;
    }
  }
  return false;
}

void ArmModel::pose(ArmData& d, const double* q) const {
  cellpath::forward_kinematics(
      n_, [&](std::size_t i) { return screws_[i]; }, [&](std::size_t i) { return home_[i]; },
      [&](std::size_t i) { return q[i]; },
      [&](std::size_t i, const cellpath::Mat4& T) { d.poses[i + 1] = T; });
}

void ArmModel::set_self_collision(std::unique_ptr<gristane::SelfCollisionModel> model,
                                  const cellpath::Mat4& base) {
  if (model && model->n_links() != n_ + 1)
    throw std::invalid_argument(
        "the self-collision model needs the base and one shape per moving link");
  self_ = std::move(model);
  base_ = base;
}

void ArmModel::build_clearance(double metres, const std::vector<gristane::MeshRef>& bodies,
                               const std::vector<gristane::MeshRef>& links, double spacing,
                               const std::vector<double>& offsets) {
  std::vector<gristane::SurfaceCover> covers;
  for (const gristane::MeshRef& ref : links) covers.emplace_back(ref, spacing, true);
  // The screen's covers: coarser, so a configuration is screened in a
  // fraction of the proof's time; their wider spheres only make the screen
  // more careful.
  std::vector<gristane::SurfaceCover> screen;
  for (const gristane::MeshRef& ref : links) screen.emplace_back(ref, 2.0 * spacing, true);
  screen_covers_ = std::make_unique<const std::vector<gristane::SurfaceCover>>(std::move(screen));
  // The field is needed only where the arm can reach.
  gristane::EnvDistanceSettings settings;
  settings.offsets = offsets;
  reach_box(covers, settings.clip_lo, settings.clip_hi);
  // The largest ball the exact test is asked about: a leaf's sphere (or a
  // point's rho) beyond the clearance and the widest reach a proof settles
  // exactly, or the screen's margin.
  double leaf = 0.0;
  for (const gristane::SurfaceCover& c : covers) {
    leaf = std::max(leaf, c.rho());
    for (const gristane::CoverNode& node : c.nodes())
      if (node.left < 0) leaf = std::max(leaf, node.radius);
  }
  settings.list_reach = metres + kExactReach + leaf;
  set_clearance(metres, std::make_unique<gristane::EnvironmentDistance>(bodies, settings),
                std::move(covers));
}

std::vector<std::pair<std::size_t, std::size_t>> ArmModel::build_self_collision(
    const std::vector<gristane::MeshRef>& links, const cellpath::Mat4& base) {
  auto model = std::make_unique<gristane::SelfCollisionModel>(links);
  std::vector<std::pair<std::size_t, std::size_t>> all = model->checked();
  set_self_collision(std::move(model), base);
  return all;
}

std::vector<std::pair<std::size_t, std::size_t>> ArmModel::allow_touching(
    const std::vector<std::pair<std::size_t, std::size_t>>& all,
    const std::vector<std::pair<std::size_t, std::size_t>>& touching) {
  std::vector<std::pair<std::size_t, std::size_t>> allowed, checked;
  for (std::size_t i = 0; i < n_; ++i) allowed.emplace_back(i, i + 1);
  for (const auto& p : all) {
    if (std::find(touching.begin(), touching.end(), p) != touching.end())
      allowed.push_back(p);
    else
      checked.push_back(p);
  }
  std::sort(allowed.begin(), allowed.end());
  self_->set_checked(checked);
  return allowed;
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

std::vector<std::pair<std::size_t, std::size_t>> ArmModel::always_touching(
    std::size_t configs, std::uint64_t seed) const {
  std::vector<std::pair<std::size_t, std::size_t>> candidates;
  if (!self_) return candidates;
  candidates = self_->checked();
  SplitMix rng{seed};
  ArmData d(*this);
  std::vector<double> q(n_);
  for (std::size_t c = 0; c < configs && !candidates.empty(); ++c) {
    for (std::size_t k = 0; k < n_; ++k) q[k] = lower_[k] + (upper_[k] - lower_[k]) * rng.uniform();
    pose(d, q.data());
    std::vector<std::pair<std::size_t, std::size_t>> still;
    for (const auto& [i, j] : candidates)
      if (self_->pair_collides(i, j, d.poses[i], d.poses[j])) still.emplace_back(i, j);
    candidates = std::move(still);
  }
  return candidates;
}

namespace {

// A revolute joint's axis (a point of it, its unit direction, the radians
// turned per unit of joint value), or false for a screw that is no rotation.
bool revolute_axis(const cellpath::Vec6& S, cellpath::Vec3& o, cellpath::Vec3& d, double& rate) {
  if (!(cellpath::turn_rate2(S) > 0.25)) return false;
  const cellpath::ScrewAxis axis = cellpath::screw_axis(S);
  o = axis.point;
  d = axis.dir;
  rate = axis.rate;
  return true;
}

// Radii about the two axes that bound how far the links either side of them
// (distal A centred at ca, proximal B at cb, radii ra and rb) swing.
std::pair<double, double> swing_radii(const cellpath::Vec3 o[2], const cellpath::Vec3 d[2],
                                      const cellpath::Vec3& ca, double ra, const cellpath::Vec3& cb,
                                      double rb) {
  using cellpath::dist;
  using cellpath::dot;
  using cellpath::foot;
  // The feet f0, f1 of the shortest segment between the two axes (both fixed
  // in the link between them).
  const cellpath::Vec3 w0 = cellpath::sub(o[0], o[1]);
  const double bdot = dot(d[0], d[1]), den = 1.0 - bdot * bdot;
  cellpath::Vec3 f0, f1;
  if (den > 1e-9) {
    const double dd = dot(d[0], w0), ee = dot(d[1], w0);
    f0 = cellpath::along(o[0], d[0], (bdot * ee - dd) / den);
    f1 = cellpath::along(o[1], d[1], (ee - bdot * dd) / den);
  } else {  // parallel axes
    f1 = foot(ca, o[1], d[1]);
    f0 = foot(f1, o[0], d[0]);
  }
  const double axes = dist(f0, f1);
  // A point p of the distal link turns about axis 1 at its own distance from
  // it, and about axis 0 at most |p - f0| <= |c - f1| + |f1 - f0| + r away;
  // the same with the roles swapped for the proximal link.
  const double ra1 = dist(ca, foot(ca, o[1], d[1])) + ra, ra0 = dist(ca, f1) + axes + ra;
  const double rb0 = dist(cb, foot(cb, o[0], d[0])) + rb, rb1 = dist(cb, f0) + axes + rb;
  return {std::max(ra0, rb0), std::max(ra1, rb1)};
}

}  // namespace

void ArmModel::build_pair_tables(double delta) {
  if (!self_) return;
  auto& model = *self_;
  // Extra threshold for a cell: the farthest any point of either link moves
  // relative to the other within the cell, plus what the field's cells and
  // rounding can hide (see the enlarged test in SelfCollisionModel).
  const double hidden = (model.margin() - model.tau()) + model.cell_reach();
  const auto& pairs = model.checked();
  // One joint vector for all tables: a table sets only its two joints, the
  // others keep the values the previous table left.
  std::vector<double> q(n_, 0.0);
  for (std::size_t p = 0; p < pairs.size(); ++p) {
    const auto [i, j] = pairs[p];
    if (j != i + 2) continue;
    const std::size_t a = i;  // joints a and a + 1 lie between links i and i + 2
    cellpath::Vec3 o[2], d[2];
    double rate[2];
    if (!revolute_axis(screws_[a], o[0], d[0], rate[0]) ||
        !revolute_axis(screws_[a + 1], o[1], d[1], rate[1]))
      continue;
    const gristane::LinkShape& A = model.shape(j);  // distal
    const gristane::LinkShape& B = model.shape(i);  // proximal
    if (A.empty() || B.empty()) continue;
    auto home_pose = [&](std::size_t link) -> const cellpath::Mat4& {
      return link == 0 ? base_ : home_[link - 1];
    };
    const cellpath::Vec3 ca = cellpath::transform_point(home_pose(j), A.centre());
    const cellpath::Vec3 cb = cellpath::transform_point(home_pose(i), B.centre());
    const auto [r0, r1] = swing_radii(o, d, ca, A.radius(), cb, B.radius());
    model.add_table(pair_table(p, a, delta, {r0 * rate[0], r1 * rate[1]}, hidden, q));
  }
}

gristane::SelfCollisionModel::PairTable ArmModel::pair_table(std::size_t p, std::size_t a,
                                                             double delta,
                                                             std::array<double, 2> swings,
                                                             double hidden,
                                                             std::vector<double>& q) const {
  const gristane::SelfCollisionModel& model = *self_;
  const auto [i, j] = model.checked()[p];
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
  const double swing = swings[0] + swings[1];
  const double moved = 0.5 * cell * swing * (1.0 + 1e-9) + 1e-9;
  const double extra = moved + hidden;
  // Room beyond what the cell's farthest corner needs is never asked for.
  const double cap = moved;
  t.swing[0] = swings[0];
  t.swing[1] = swings[1];
  t.room_step = cap / 255.0;
  ArmData d(*this);
  const auto n_cells = static_cast<std::size_t>(t.cells[0] * t.cells[1]);
  t.clear.assign(n_cells, 0);
  t.room.assign(n_cells, 0);
  for (std::int64_t u = 0; u < t.cells[0]; ++u)
    for (std::int64_t v = 0; v < t.cells[1]; ++v) {
      q[a] = t.lo[0] + (static_cast<double>(u) + 0.5) * cell;
      q[a + 1] = t.lo[1] + (static_cast<double>(v) + 0.5) * cell;
      pose(d, q.data());
      const auto at = static_cast<std::size_t>(u * t.cells[1] + v);
      t.clear[at] = !model.pair_within_extra(i, j, d.poses[i], d.poses[j], extra);
      if (t.clear[at]) continue;
      const double room = model.pair_room(i, j, d.poses[i], d.poses[j], cap);
      // Rounded down: the table never claims more room than was found.
      if (room > 0.0)
        t.room[at] = static_cast<std::uint8_t>(std::min(255.0, std::floor(room / t.room_step)));
    }
  return t;
}

}  // namespace brimwell
