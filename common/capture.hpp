// The capture's units and frames, as both sides of the cache agree on them.
//
// The CAD host measures in centimetres; the cache and the offline side use
// metres, with one exception: the linear rows (v of each (omega, v) column) of
// the stored screw list stay in centimetres, and the screws are expressed in
// the base link's frame rather than the world's.  Every reader turns a stored
// screw list into world-frame metres the same way:
//
//   S_world = Ad(T_world_base) * diag(1, 1, 1, s, s, s) * S_stored,  s = kScrewLinearScale
//
// and the capture goes the other way, S_base = Ad(T_world_base^-1) * S_world.
// Pure C++ on row-major buffers; the products sum k = 0 .. 5 in order, so each
// entry rounds like the numpy expression `Ad @ S`.
#pragma once

#include "common/array_view.hpp"
#include "common/mesh.hpp"
#include "common/se3.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace cellpath::capture {

// The files of a cache that the offline side reads.
inline constexpr const char* kMetaFile = "meta.json";
inline constexpr const char* kScrewFile = "ScrewAxis.npy";
inline constexpr const char* kLimitsFile = "JointLimits.npy";
inline constexpr const char* kJointNamesFile = "JointNames.json";

// One arm link as the capture lists it.
struct Link {
  std::string name;        // the occurrence name
  std::int64_t index = 0;  // its link index; its archive is "link_<index>.npz"
  // World pose of its frame with every joint at 0, metres; a scene of a posed
  // arm is described without it.
  std::optional<Mat4> home;
  Mesh mesh;  // in the link's frame; empty until the meshes are read
};

// One environment body: its archive is "env_<name>.npz", its mesh is in the world frame.
struct Body {
  std::string name;
  Mesh mesh;  // empty until the meshes are read
};

// "link_<index>.npz" and "env_<name>.npz", with the index or name as written in meta.json.
inline std::string link_file(const std::string& index) { return "link_" + index + ".npz"; }
inline std::string env_file(const std::string& name) { return "env_" + name + ".npz"; }
inline std::string link_file(const Link& link) { return link_file(std::to_string(link.index)); }

// A capture cache as one value.  The readers (common/capture_reader.hpp) fill
// what their caller asks for: meta.json always, the arrays and meshes on request.
struct Capture {
  std::vector<Link> links;  // in meta.json's order (indices need not be sorted)
  std::vector<Body> env;    // in capture order
  // ScrewAxis.npy as stored: row-major (6, n_joints), base frame, linear rows
  // in centimetres; empty until read.
  std::vector<double> screws;
  std::size_t n_joints = 0;
  // JointLimits.npy as stored, row-major with the file's own shape (each
  // module words its own complaint about a wrong one); empty until read.
  std::vector<double> limits;
  std::vector<std::size_t> limits_shape;
  // JointNames.json, when the cache keeps one: a list of texts, as listed
  // (each user decides whether they name its joints); empty until read.
  std::vector<std::string> joint_names;

  std::vector<std::string> link_names() const {
    std::vector<std::string> out;
    for (const Link& l : links) out.push_back(l.name);
    return out;
  }
  // The home poses in link-index order (a stable sort: equal indices keep
  // their order in meta.json), row-major (n_links, 4, 4).  Every link has one.
  std::vector<double> homes_by_index() const {
    std::vector<const Link*> order;
    for (const Link& l : links) order.push_back(&l);
    std::stable_sort(order.begin(), order.end(),
                     [](const Link* a, const Link* b) { return a->index < b->index; });
    std::vector<double> out;
    out.reserve(16 * order.size());
    for (const Link* l : order) out.insert(out.end(), l->home->begin(), l->home->end());
    return out;
  }
};

// A link's home pose as meta.json gives it, 4x4 numbers.
inline Mat4 home_pose(const ArrayView<double>& T, const std::string& link_name) {
  if (T.ndim() != 2 || T.shape[0] != 4 || T.shape[1] != 4)
    throw std::invalid_argument("home_transform of link " + link_name + " must be 4x4, got shape " +
                                shape_text(T.shape));
  Mat4 pose;
  std::copy_n(T.data, 16, pose.begin());
  return pose;
}

// A stored screw list: (6, n) with n >= 1, or exactly (6, n_joints) when
// n_joints >= 0; finite.
inline void check_screw_list(const ArrayView<double>& s, long n_joints) {
  const bool ok =
      s.ndim() == 2 && s.shape[0] == 6 &&
      (n_joints < 0 ? s.shape[1] > 0 : s.shape[1] == static_cast<std::size_t>(n_joints));
  if (!ok)
    throw std::invalid_argument(std::string(kScrewFile) + " must have shape (6, " +
                                (n_joints < 0 ? std::string("n") : std::to_string(n_joints)) +
                                "), got " + shape_text(s.shape));
  require_finite(s, kScrewFile);
}

// The poses of an arm's links stacked by link index, (n_links, 4, 4), and
// one link's among them (meta.json may list an index the arm lacks).
inline void require_stacked_poses(const ArrayView<double>& T) {
  if (T.ndim() != 3 || T.shape[1] != 4 || T.shape[2] != 4)
    throw std::invalid_argument("link transforms must have shape (n_links, 4, 4), got " +
                                shape_text(T.shape));
}
inline Mat4 stacked_pose(const ArrayView<double>& T, const Link& link) {
  if (link.index < 0 || static_cast<std::size_t>(link.index) >= T.shape[0])
    throw std::invalid_argument("meta.json lists link " + std::to_string(link.index) +
                                ", but the arm has " + std::to_string(T.shape[0]) + " links");
  Mat4 pose;
  std::copy_n(T.data + 16 * static_cast<std::size_t>(link.index), 16, pose.begin());
  return pose;
}

// Metres in one centimetre: host lengths (mesh nodes, occurrence translations)
// are multiplied by it on their way into the cache.
inline constexpr double kMetresPerCentimetre = 0.01;

// Factor applied to rows 3 .. 5 of a stored screw list to bring them to metres.
inline constexpr double kScrewLinearScale = kMetresPerCentimetre;

// How far the row-major 4x4 `T` is from a rigid motion: the largest entry of
// R^T R - I and of its last row minus (0, 0, 0, 1); infinity when R reflects.
// A home pose must be rigid (a scaled component in the design is not), or every
// link placed from it is silently off.
inline constexpr double kRigidTolerance = 1e-6;
inline double rigid_defect(const double* T) {
  double worst = 0.0;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      double dot = 0.0;
      for (int k = 0; k < 3; ++k) dot += T[4 * k + i] * T[4 * k + j];
      const double d = dot - (i == j ? 1.0 : 0.0);
      worst = d > worst ? d : (-d > worst ? -d : worst);
    }
  for (int j = 0; j < 4; ++j) {
    const double d = T[12 + j] - (j == 3 ? 1.0 : 0.0);
    worst = d > worst ? d : (-d > worst ? -d : worst);
  }
  const double det = T[0] * (T[5] * T[10] - T[6] * T[9]) - T[1] * (T[4] * T[10] - T[6] * T[8]) +
                     T[2] * (T[4] * T[9] - T[5] * T[8]);
  return det > 0.0 ? worst : std::numeric_limits<double>::infinity();
}

// Rows 3 .. 5 of the row-major (6, n) screw list `s`, multiplied by `scale` in place.
inline void scale_linear_rows(double* s, std::size_t n, double scale) {
  for (std::size_t k = 3 * n; k < 6 * n; ++k) s[k] *= scale;
}

// out = Ad * s for one screw.
inline Vec6 carry_screw(const Mat6& Ad, const Vec6& s) {
  Vec6 out{};
  for (std::size_t r = 0; r < 6; ++r) {
    double acc = Ad[6 * r] * s[0];
    for (std::size_t k = 1; k < 6; ++k) acc += Ad[6 * r + k] * s[k];
    out[r] = acc;
  }
  return out;
}

// out = Ad * in for row-major (6, n) screw lists (one screw per column).
// `in` and `out` must not overlap.
inline void carry_screws(const Mat6& Ad, const double* in, std::size_t n, double* out) {
  for (std::size_t r = 0; r < 6; ++r)
    for (std::size_t c = 0; c < n; ++c) {
      double acc = Ad[6 * r] * in[c];
      for (std::size_t k = 1; k < 6; ++k) acc += Ad[6 * r + k] * in[k * n + c];
      out[r * n + c] = acc;
    }
}

// World-frame screws from base-frame ones: out = Ad(T_world_base) * base.
inline void base_to_world_screws(const double* base, std::size_t n, const Mat4& T_world_base,
                                 double* world) {
  carry_screws(adjoint(T_world_base), base, n, world);
}

// World-frame screws in metres from a stored row-major (6, n) list: linear
// rows times `scale`, then carried from the base frame by Ad(T_world_base),
// T_world_base being link 0's home transform.  Row-major (6, n).
inline std::vector<double> world_screws(const double* stored, std::size_t n, double scale,
                                        const Mat4& T_world_base) {
  std::vector<double> base(stored, stored + 6 * n), world(6 * n);
  scale_linear_rows(base.data(), n, scale);
  base_to_world_screws(base.data(), n, T_world_base, world.data());
  return world;
}

}  // namespace cellpath::capture
