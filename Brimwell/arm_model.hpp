// The planner's model of the arm in its workcell: joint limits, world-frame
// screws and home poses of the moving links, their point sets, and the
// environment grid.  Answers the two questions every planning step asks: is a
// joint vector inside the limits, and does the posed arm touch the environment.
//
// Once built (the constructor, then the set_* and build_* steps), the model
// is read only: every query is const and writes only the ArmData it is
// handed (arm_data.hpp), so one model serves every thread, each thread with
// a data object of its own.
#pragma once

#include "Brimwell/arm_data.hpp"

#include "Gristane/collision.hpp"
#include "Gristane/env_distance.hpp"
#include "Gristane/link_cloud.hpp"
#include "Gristane/motion_bound.hpp"
#include "Gristane/occupancy_summary.hpp"
#include "Gristane/self_collision.hpp"
#include "Gristane/surface_cover.hpp"
#include "Gristane/wide_cover.hpp"
#include "common/se3.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace brimwell {

// The voxel engine is Gristane's: a link's points in a box tree, and the
// summary of which boxes of cells may be occupied.
using gristane::LinkCloud;
using gristane::OccupancySummary;

// What proving an edge found: proven clear, an invalid configuration on it
// (an end included), or neither within the budget of pieces.
enum class EdgeVerdict { Proven, Invalid, Unsettled };

// A piece of an edge whose links may move more than this is split rather
// than settled by the exact test where the distance field falls short (and
// so the widest reach beyond the clearance the exact test is asked about).
inline constexpr double kExactReach = 0.005;

class ArmModel {
 public:
  // slist: row-major (6, n) world-frame screws; home: n row-major 4x4 home poses
  // of links 1 .. n; lower/upper: n bounds each; links: the point sets of links
  // 1 .. n (the base never moves and never counts as a collision).
  ArmModel(std::size_t n, const double* slist, const double* home, const double* lower,
           const double* upper, std::vector<LinkCloud> links, const gristane::GridView& grid);

  ArmModel(const ArmModel&) = delete;
  ArmModel& operator=(const ArmModel&) = delete;

  std::size_t n_joints() const { return n_; }
  double lower(std::size_t k) const { return lower_[k]; }
  double upper(std::size_t k) const { return upper_[k]; }

  // Every q[k] >= lower[k], then every q[k] <= upper[k]; both bounds inclusive,
  // NaN fails.
  bool in_limits(const double* q) const {
    for (std::size_t k = 0; k < n_; ++k)
      if (!(q[k] >= lower_[k])) return false;
    for (std::size_t k = 0; k < n_; ++k)
      if (!(q[k] <= upper_[k])) return false;
    return true;
  }

  // True when a point of a moving link, posed by the product of exponentials
  // at q, lies in an occupied cell.  Stops at the first hit; the link that
  // hit last is tested first.  With no hit, every link is left posed.
  bool collides(ArmData& d, const double* q) const;

  bool is_valid(ArmData& d, const double* q) const {
    return in_limits(q) && (env_ ? clear_at(d, q) : !collides(d, q)) && !self_collides(d, q);
  }

  // Clearance: off until set.  With it the environment test is the distance
  // engine's instead of the voxel grid's: a configuration is valid only when
  // every moving link is proven farther than `c` from every obstacle, and
  // edge_proven() proves a whole straight edge, not samples of it
  // (certified_edge.cpp).  covers: links 1 .. n, with surface radii.
  void set_clearance(double c, std::unique_ptr<gristane::EnvironmentDistance> env,
                     std::vector<gristane::SurfaceCover> covers);
  // The same with the screen's covers as well: build_clearance's result
  // given back whole (a model kept from an earlier run).
  void set_clearance(double c, std::unique_ptr<gristane::EnvironmentDistance> env,
                     std::vector<gristane::SurfaceCover> covers,
                     std::vector<gristane::SurfaceCover> screen) {
    screen_covers_ = std::make_unique<const std::vector<gristane::SurfaceCover>>(std::move(screen));
    set_clearance(c, std::move(env), std::move(covers));
  }
  // The screen's coarser covers of links 1 .. n, or none before a clearance.
  const std::vector<gristane::SurfaceCover>* screen_covers() const { return screen_covers_.get(); }
  bool clearance_on() const { return env_ != nullptr; }
  // The box every link stays in at every configuration (from the covers'
  // bounding spheres), or false when none is known.
  bool reach_box(const std::vector<gristane::SurfaceCover>& covers, double lo[3],
                 double hi[3]) const;
  double clearance() const { return clearance_; }
  // How the clearance reads in messages: "<metres> m from the environment"
  // and, with clearances per body, the bodies that differ, e.g.
  // " (0 m from pedestal)" after it.
  std::string clearance_metres() const;
  const std::string& clearance_note() const { return clearance_note_; }
  void set_clearance_words(double metres, std::string note) {
    clearance_words_ = metres;
    clearance_note_ = std::move(note);
  }
  const gristane::EnvironmentDistance& environment() const { return *env_; }
  const gristane::SurfaceCover& cover(std::size_t link) const { return (*covers_)[link - 1]; }
  // Poses every link at q; true when every moving link is proven clear by c
  // (screened instead while d is exploring).
  bool clear_at(ArmData& d, const double* q) const;
  // Whether links 1 .. n, as last posed, are proven farther than c + extra[i - 1]
  // (extra: none, or one value per link); the first that is not, else 0.
  std::size_t first_unclear(ArmData& d, const double* extra = nullptr) const;
  // Both ends inside the limits and every configuration between them valid,
  // proven by bisecting until each piece is covered by the motion bound, or
  // false (a piece is invalid, or the budget of pieces ran out).  The same
  // answer for (a, b) and (b, a).
  bool edge_proven(ArmData& d, const double* a, const double* b) const;
  // The same, saying why an edge is not proven.
  EdgeVerdict edge_verdict(ArmData& d, const double* a, const double* b) const;
  // edge_verdict as data that has never failed would give it.  The link
  // that failed last is tested first, which orders the tests only, but on an
  // edge that holds both an invalid configuration and a piece too fine to
  // settle it decides which is met first; without it, the verdict depends on
  // the edge alone, whichever thread proves it.
  EdgeVerdict edge_verdict_fresh(ArmData& d, const double* a, const double* b) const {
    d.forget_failures();
    return edge_verdict(d, a, b);
  }
  // Whether the planners should prove lazily at all (the context's choice).
  void set_lazy(bool on) { lazy_ = on && env_ != nullptr; }
  bool lazy() const { return lazy_; }
  // While d is exploring (ArmData::set_exploring) the edge screened (samples
  // about 1/32 rad apart, the distance field at the clearance plus a small
  // margin, no exact tests away from an edge's ends: screen.cpp), else
  // edge_proven().
  bool edge_checked(ArmData& d, const double* a, const double* b) const;
  // For link (1 .. n) as last posed: the smallest exact distance from the
  // points that stand for its surface to the environment, and the body it is
  // to.  The link itself is no farther, and at most the cover's rho nearer.
  // With clearances per body, the body it is shortest of its own clearance
  // from, and the distance to that body.
  double link_distance(const ArmData& d, std::size_t link, std::size_t* body) const;

  // Self-collision: off until a model is given.  `base` is the base link's
  // world pose; the model's links are the base and links 1 .. n.
  void set_self_collision(std::unique_ptr<gristane::SelfCollisionModel> model,
                          const cellpath::Mat4& base);
  const gristane::SelfCollisionModel* self_collision() const { return self_.get(); }
  // The base link's world pose (the identity until self-collision is set).
  const cellpath::Mat4& base() const { return base_; }
  // Poses every link at q as pose() does, rounded differently: rigid
  // products with each exponential's parts precomputed, about twice as
  // quick.  Only lazy proofs use it, whose screen is no proof and whose
  // proofs hold for any pose correct to round-off; everything else keeps
  // pose()'s numbers bit for bit.
  void pose_quick(ArmData& d, const double* q) const;
  // The pose a clearance test starts from: quick under lazy proofs.
  void pose_proving(ArmData& d, const double* q) const { lazy_ ? pose_quick(d, q) : pose(d, q); }
  // Poses every link at q (after which self_collides() tests that pose).
  void pose(ArmData& d, const double* q) const;
  // Whether the links as last posed at q (by pose(q) or a collides(q) that
  // found no hit) come closer than the self-collision model allows; false
  // when off.
  bool self_collides(ArmData& d, const double* q) const {
    return self_ && self_->collides(d.poses.data(), q, d.self_hit);
  }
  // Test aid: the self-collision answer at q with the pair tables and with
  // every pair walked, which must agree.
  std::pair<bool, bool> self_answers(ArmData& d, const double* q) const {
    if (!self_) return {false, false};
    pose(d, q);
    std::size_t hit = 0;
    const bool tabled = self_->collides(d.poses.data(), q, hit);
    hit = 0;
    return {tabled, self_->collides(d.poses.data(), nullptr, hit)};
  }
  // Tables that let the self-collision test skip a pair of links two apart
  // wherever the two joints between them keep it clear (cells of about
  // `delta` rad; see SelfCollisionModel::PairTable).
  void build_pair_tables(double delta);
  // The non-adjacent pairs with geometry that the self-collision test finds
  // touching in every one of `configs` uniform in-limit joint vectors drawn
  // from a generator seeded with `seed`.
  std::vector<std::pair<std::size_t, std::size_t>> always_touching(std::size_t configs,
                                                                   std::uint64_t seed) const;

  // Building the geometry beyond the grid from the link meshes (base, then
  // links 1 .. n) and the environment's bodies; no Python involved, so the
  // callers run these without the interpreter.
  //
  // Clearance `metres`, each link's surface stood for by points `spacing`
  // apart, the distance field built only where the arm can reach.
  // offsets: per body, how much less than `metres` it is kept from (empty:
  // none; EnvironmentDistance's offsets).
  void build_clearance(double metres, const std::vector<gristane::MeshRef>& bodies,
                       const std::vector<gristane::MeshRef>& links, double spacing,
                       const std::vector<double>& offsets = {});
  // The self-collision model of the links, the base at `base`.  Returns every
  // pair it could check.
  std::vector<std::pair<std::size_t, std::size_t>> build_self_collision(
      const std::vector<gristane::MeshRef>& links, const cellpath::Mat4& base);
  // Given the pairs that always touch (always_touching), the pairs allowed to
  // touch, sorted: neighbours and those; every other pair of `all` stays checked.
  std::vector<std::pair<std::size_t, std::size_t>> allow_touching(
      const std::vector<std::pair<std::size_t, std::size_t>>& all,
      const std::vector<std::pair<std::size_t, std::size_t>>& touching);

 private:
  // The table of checked pair p, links i and i + 2 with joints a and a + 1
  // between them: a point of either moves at most swings[0] times joint a's
  // change plus swings[1] times joint a + 1's relative to the other.  Each
  // cell's centre is posed in q (only
  // q[a] and q[a + 1] are set).
  gristane::SelfCollisionModel::PairTable pair_table(std::size_t p, std::size_t a, double delta,
                                                     std::array<double, 2> swings, double hidden,
                                                     std::vector<double>& q) const;

  std::size_t n_;
  std::vector<cellpath::Vec6> screws_;
  std::vector<cellpath::Mat4> home_;
  cellpath::QuickChain quick_;  // pose_quick's chain
  std::vector<double> lower_, upper_;
  std::vector<LinkCloud> links_;
  OccupancySummary summary_;  // built as queries need it, by any thread
  std::unique_ptr<gristane::SelfCollisionModel> self_;
  cellpath::Mat4 base_ = cellpath::kIdentity4;
  // Clearance.
  double clearance_ = 0.0;
  double clearance_words_ = -1.0;  // the metres messages name; < 0: clearance_
  std::string clearance_note_;
  std::unique_ptr<const gristane::EnvironmentDistance> env_;
  std::unique_ptr<const std::vector<gristane::SurfaceCover>> covers_;
  std::unique_ptr<const std::vector<gristane::SurfaceCover>>
      screen_covers_;  // coarser, the screen's
  // Both sets of covers regrouped eight spheres to a node, for lazy proofs.
  std::unique_ptr<const std::vector<gristane::WideCover>> wide_covers_, wide_screen_;
  gristane::MotionBound motion_;
  bool lazy_ = false;
  // The first link (1 .. n) for which clear(link) fails, else 0; the link
  // that failed last goes first, as consecutive queries lie close together.
  template <class Clear>
  std::size_t first_failing(ArmData& d, Clear&& clear) const {
    const std::size_t last = d.last_unclear;
    if (last >= 1 && last <= n_ && !clear(last)) return last;
    for (std::size_t link = 1; link <= n_; ++link) {
      if (link == last) continue;
      if (!clear(link)) {
        d.last_unclear = link;
        return link;
      }
    }
    return 0;
  }
  // The proof's breadth-first pieces (certified_edge.cpp), and the tests of
  // one piece as posed at its middle: the links of `links` (those whose
  // motion bound is not covered are added to `split`), then the checked
  // pairs of links.
  EdgeVerdict walk_pieces(ArmData& d, const double* a, const double* b) const;
  EdgeVerdict piece_links(ArmData& d, std::uint64_t links, std::uint64_t& split) const;
  EdgeVerdict piece_pairs(ArmData& d, const ArmData::Piece& p, const double* a, const double* b,
                          double half, std::uint64_t& split) const;
  // The screen (screen.cpp): the links as posed clear of the clearance plus
  // `share` of the screen's margin; an edge sampled about 1/32 rad apart.
  bool screen_posed(ArmData& d, const double* q, double share) const;
  // surface_clear on link's cover (fine, or the screen's coarser one) as
  // posed in d; under lazy proofs through the cover's wide copy, whose
  // answers are as sound but whose steps differ, so that every plan made
  // without them keeps its numbers.
  bool link_clear(const ArmData& d, std::size_t link, bool fine, double t,
                  double exact_up_to = std::numeric_limits<double>::infinity(),
                  bool* certain = nullptr) const;
  bool edge_screened(ArmData& d, const double* a, const double* b) const;
  // How far q is from the nearest of the search's ends (the joint farthest
  // off), +inf with none.
  double anchor_distance(const ArmData& d, const double* q) const;
};

}  // namespace brimwell
