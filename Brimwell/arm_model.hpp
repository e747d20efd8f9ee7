// The planner's model of the arm in its workcell: joint limits, world-frame
// screws and home poses of the moving links, their point sets, and the
// environment grid.  Answers the two questions every planning step asks: is a
// joint vector inside the limits, and does the posed arm touch the environment.
#pragma once

#include "Gristane/collision.hpp"
#include "Gristane/env_distance.hpp"
#include "Gristane/link_cloud.hpp"
#include "Gristane/motion_bound.hpp"
#include "Gristane/occupancy_summary.hpp"
#include "Gristane/self_collision.hpp"
#include "Gristane/surface_cover.hpp"
#include "common/se3.hpp"

#include <cstddef>
#include <cstdint>
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

  // A model for a planner on another thread: the geometry (point sets,
  // occupancy summary, self-collision shapes, distance engine) shared, and
  // every memory of past queries (poses, last hits, the edge prover's
  // pieces) its own.  Answers are the same.
  std::unique_ptr<ArmModel> worker_copy() const {
    return std::unique_ptr<ArmModel>(new ArmModel(*this));
  }

  // Takes back what a worker copy of this model learnt (its last hits), so
  // that the next query here is as quick as it would have been had the work
  // been done here.
  void absorb(ArmModel& worker) {
    last_hit_ = worker.last_hit_;
    self_hit_ = worker.self_hit_;
    last_unclear_ = worker.last_unclear_;
  }

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
  bool collides(const double* q);

  bool is_valid(const double* q) {
    return in_limits(q) && (env_ ? clear_at(q) : !collides(q)) && !self_collides(q);
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
    screen_covers_ = std::make_shared<const std::vector<gristane::SurfaceCover>>(std::move(screen));
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
  // Poses every link at q; true when every moving link is proven clear by c.
  bool clear_at(const double* q);
  // Whether links 1 .. n, as last posed, are proven farther than c + extra[i - 1]
  // (extra: none, or one value per link); the first that is not, else 0.
  std::size_t first_unclear(const double* extra = nullptr);
  // Both ends inside the limits and every configuration between them valid,
  // proven by bisecting until each piece is covered by the motion bound, or
  // false (a piece is invalid, or the budget of pieces ran out).  The same
  // answer for (a, b) and (b, a).
  bool edge_proven(const double* a, const double* b);
  // The same, saying why an edge is not proven.
  EdgeVerdict edge_verdict(const double* a, const double* b);
  // edge_verdict as a model that has never failed would give it.  The link
  // that failed last is tested first, which orders the tests only, but on an
  // edge that holds both an invalid configuration and a piece too fine to
  // settle it decides which is met first; without it, the verdict depends on
  // the edge alone, whichever thread's model proves it.
  EdgeVerdict edge_verdict_fresh(const double* a, const double* b) {
    forget_failures();
    return edge_verdict(a, b);
  }
  // Forgets the link that failed last (see edge_verdict_fresh).
  void forget_failures() { last_unclear_ = 0; }
  // Exploring: while it is on, edge_checked() screens an edge instead of
  // proving it, and clear_at() screens a configuration (screen.cpp: samples
  // about 1/32 rad apart, the distance field at the clearance plus a small
  // margin, no exact tests away from an edge's ends), so that a planner
  // searches at a sampler's speed and proves only the path it keeps
  // (lazy_proof.hpp).  Off: edge_checked() is edge_proven().
  // The search's start and goal (either may be null): within about half a
  // radian of them the screen asks what a proof asks, so that an end that
  // keeps barely the clearance can be left and reached.
  // `thorough`: away from them too, a configuration the distance field
  // cannot place is tested exactly (slower; for a search the quick screen
  // failed, where the arm keeps close to something throughout).
  void set_exploring(bool on, const double* start = nullptr, const double* goal = nullptr,
                     bool thorough = false) {
    exploring_ = on;
    thorough_ = on && thorough;
    anchors_.clear();
    for (const double* q : {start, goal})
      if (on && q) anchors_.insert(anchors_.end(), q, q + n_);
  }
  const std::vector<double>& anchors() const { return anchors_; }
  bool thorough() const { return thorough_; }
  // Whether the planners should prove lazily at all (the context's choice).
  void set_lazy(bool on) { lazy_ = on && env_ != nullptr; }
  bool lazy() const { return lazy_; }
  bool exploring() const { return exploring_; }
  bool edge_checked(const double* a, const double* b);
  const cellpath::Mat4& posed(std::size_t link) const { return poses_[link]; }
  // For link (1 .. n) as last posed: the smallest exact distance from the
  // points that stand for its surface to the environment, and the body it is
  // to.  The link itself is no farther, and at most the cover's rho nearer.
  // With clearances per body, the body it is shortest of its own clearance
  // from, and the distance to that body.
  double link_distance(std::size_t link, std::size_t* body);

  // Self-collision: off until a model is given.  `base` is the base link's
  // world pose; the model's links are the base and links 1 .. n.
  void set_self_collision(std::unique_ptr<gristane::SelfCollisionModel> model,
                          const cellpath::Mat4& base);
  gristane::SelfCollisionModel* self_collision() const { return self_.get(); }
  // Poses every link at q as pose() does, rounded differently: rigid
  // products with each exponential's parts precomputed, about twice as
  // quick.  Only lazy proofs use it, whose screen is no proof and whose
  // proofs hold for any pose correct to round-off; everything else keeps
  // pose()'s numbers bit for bit.
  void pose_quick(const double* q);
  // The pose a clearance test starts from: quick under lazy proofs.
  void pose_proving(const double* q) { lazy_ ? pose_quick(q) : pose(q); }
  // Poses every link at q (after which self_collides() tests that pose).
  void pose(const double* q);
  // Whether the links as last posed at q (by pose(q) or a collides(q) that
  // found no hit) come closer than the self-collision model allows; false
  // when off.
  bool self_collides(const double* q) const {
    return self_ && self_->collides(poses_.data(), q, self_hit_);
  }
  // Tables that let the self-collision test skip a pair of links two apart
  // wherever the two joints between them keep it clear (cells of about
  // `delta` rad; see SelfCollisionModel::PairTable).
  void build_pair_tables(double delta);
  // The non-adjacent pairs with geometry that the self-collision test finds
  // touching in every one of `configs` uniform in-limit joint vectors drawn
  // from a generator seeded with `seed`.
  std::vector<std::pair<std::size_t, std::size_t>> always_touching(std::size_t configs,
                                                                   std::uint64_t seed);

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
  ArmModel(const ArmModel&) = default;
  // The table of checked pair p, links i and i + 2 with joints a and a + 1
  // between them: a point of either moves at most `swing` times the joint
  // change relative to the other.  Each cell's centre is posed in q (only
  // q[a] and q[a + 1] are set).
  gristane::SelfCollisionModel::PairTable pair_table(std::size_t p, std::size_t a, double delta,
                                                     double swing, double hidden,
                                                     std::vector<double>& q);
  ArmModel& operator=(const ArmModel&) = delete;

  std::size_t n_;
  std::vector<cellpath::Vec6> screws_;
  std::vector<cellpath::Mat4> home_;
  cellpath::QuickChain quick_;  // pose_quick's chain
  std::vector<double> lower_, upper_;
  std::shared_ptr<const std::vector<LinkCloud>> links_;
  std::shared_ptr<const OccupancySummary> summary_;  // built as queries need it
  std::shared_ptr<gristane::SelfCollisionModel> self_;
  mutable std::size_t self_hit_ = 0;   // the self-collision pair that collided last
  std::vector<cellpath::Mat4> poses_;  // base, then links 1 .. n as last posed
  std::size_t last_hit_ = static_cast<std::size_t>(-1);  // link index, or none
  // Clearance.
  double clearance_ = 0.0;
  double clearance_words_ = -1.0;  // the metres messages name; < 0: clearance_
  std::string clearance_note_;
  std::shared_ptr<const gristane::EnvironmentDistance> env_;
  // Shared, read-only, with every worker copy.
  std::shared_ptr<const std::vector<gristane::SurfaceCover>> covers_;
  std::shared_ptr<const std::vector<gristane::SurfaceCover>>
      screen_covers_;  // coarser, the screen's
  gristane::MotionBound motion_;
  std::size_t last_unclear_ = 0;  // link index (1 .. n) that failed last, or 0
  struct Piece {
    double t0, t1;
    std::uint64_t links, pairs;
  };
  std::vector<Piece> pieces_;
  bool exploring_ = false, lazy_ = false, thorough_ = false;
  std::vector<double> anchors_;  // the search's ends while exploring, row after row
  // The first link (1 .. n) for which clear(link) fails, else 0; the link
  // that failed last goes first, as consecutive queries lie close together.
  template <class Clear>
  std::size_t first_failing(Clear&& clear) {
    if (last_unclear_ >= 1 && last_unclear_ <= n_ && !clear(last_unclear_)) return last_unclear_;
    for (std::size_t link = 1; link <= n_; ++link) {
      if (link == last_unclear_) continue;
      if (!clear(link)) {
        last_unclear_ = link;
        return link;
      }
    }
    return 0;
  }
  // The proof's breadth-first pieces (certified_edge.cpp), and the tests of
  // one piece as posed at its middle: the links of `links` (those whose
  // motion bound is not covered are added to `split`), then the checked
  // pairs of links.
  EdgeVerdict walk_pieces(const double* a, const double* b);
  EdgeVerdict piece_links(std::uint64_t links, std::uint64_t& split);
  EdgeVerdict piece_pairs(const Piece& p, const double* a, const double* b, double half,
                          std::uint64_t& split);
  // The screen (screen.cpp): the links as posed clear of the clearance plus
  // `share` of the screen's margin; an edge sampled about 1/32 rad apart.
  bool screen_posed(const double* q, double share);
  bool edge_screened(const double* a, const double* b);
  std::vector<char> screen_seen_;
  // How far q is from the nearest of the search's ends (the joint farthest
  // off), +inf with none.
  double anchor_distance(const double* q) const;

  std::vector<double> edge_q_, edge_dq_, edge_full_, edge_lo_, edge_hi_;
};

}  // namespace brimwell
