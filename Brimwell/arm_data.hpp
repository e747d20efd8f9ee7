// What one stream of queries on the arm model keeps between its queries, as
// Pinocchio keeps a Data beside its Model: the links as last posed, which
// link or pair failed last (tried first next time, as consecutive queries of
// a planner lie close together), whether the model is being explored and
// towards which ends (lazy proofs), and the edge prover's and the screen's
// scratch.  The model (arm_model.hpp) holds the geometry and is never written
// by a query, so every thread shares it; each thread asks with a data object
// of its own.
//
// The hints order the tests only.  Two answers read them: which failing link
// a configuration's refusal names (the one that failed last, when it fails
// again), and whether an edge holding both an invalid configuration and a
// piece too fine to settle is Invalid or Unsettled (edge_verdict_fresh asks
// without them).  So a planner run on another thread takes a copy of its
// caller's data and hands it back whole (run_planner, run_on_workers), and
// the answers are those of the same queries asked on one thread.
#pragma once

#include "common/se3.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace brimwell {

class ArmModel;

struct ArmData {
  // Data for queries on `model`, which has its self-collision model (the
  // base's pose) set already.
  explicit ArmData(const ArmModel& model);

  std::vector<cellpath::Mat4> poses;                    // base, then links 1 .. n as last posed
  std::size_t last_hit = static_cast<std::size_t>(-1);  // voxel test: link index, or none
  std::size_t self_hit = 0;      // the self-collision pair that collided last
  std::size_t last_unclear = 0;  // clearance: link (1 .. n) that failed last, or 0

  // Forgets the link that failed last (see ArmModel::edge_verdict_fresh).
  void forget_failures() { last_unclear = 0; }

  // Exploring: while it is on, the model screens edges and configurations
  // instead of proving them (ArmModel::edge_checked, clear_at; screen.cpp),
  // so that a planner searches at a sampler's speed and proves only the path
  // it keeps (lazy_proof.hpp).
  // The search's start and goal (either may be null): within about half a
  // radian of them the screen asks what a proof asks, so that an end that
  // keeps barely the clearance can be left and reached.
  // `thorough`: away from them too, a configuration the distance field
  // cannot place is tested exactly (slower; for a search the quick screen
  // failed, where the arm keeps close to something throughout).
  void set_exploring(bool on, const double* start = nullptr, const double* goal = nullptr,
                     bool thorough_on = false) {
    const std::size_t n = poses.size() - 1;
    exploring = on;
    thorough = on && thorough_on;
    anchors.clear();
    for (const double* q : {start, goal})
      if (on && q) anchors.insert(anchors.end(), q, q + n);
  }
  bool exploring = false, thorough = false;
  std::vector<double> anchors;  // the search's ends while exploring, row after row

  // Scratch of the edge prover (certified_edge.cpp) and the screen
  // (screen.cpp); what they hold between queries means nothing.
  struct Piece {
    double t0, t1;
    std::uint64_t links, pairs;
  };
  std::vector<Piece> pieces;
  std::vector<char> screen_seen;
  // The poses of a screened edge's samples, kept for the self-collision pass
  // that follows the environment's, and the order they were screened in.
  std::vector<cellpath::Mat4> screen_poses;
  std::vector<std::size_t> screen_order;
  std::vector<double> edge_q, edge_dq, edge_full, edge_lo, edge_hi;
};

}  // namespace brimwell
