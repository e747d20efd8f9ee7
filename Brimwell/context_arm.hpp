// What a planning context plans with, from the capture it was given: the
// world-frame screws in metres, the home poses of the moving links and the
// joint bounds, each checked.  Pure C++; the context (py_bridge.hpp) reads the
// capture from its handler and the cache, and keeps these as its arrays.
#pragma once

#include "Brimwell/native_context.hpp"
#include "Gristane/link_cloud.hpp"
#include "common/array_view.hpp"
#include "common/capture.hpp"
#include "common/se3.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace brimwell {

struct ContextArm {
  std::size_t n = 0;                 // joints
  cellpath::Mat4 base{};             // link 0's home pose
  std::vector<double> world_screws;  // row-major (6, n)
  std::vector<double> homes;         // row-major (n, 4, 4): links 1 .. n at home
  JointBounds bounds;
};

// `capture` holds the stored screws, one link per home pose (base first) and
// the stored limits; `scale` is the module's SCREW_LINEAR_SCALE.  Limits of
// the wrong shape or count are std::invalid_argument naming JointLimits.npy.
ContextArm context_arm(const cellpath::capture::Capture& capture, double scale);

// One link per home pose of `init` added to `capture` (whose screws are read):
// the handler's initialTransforms, the base and one per joint, each 4x4 and
// finite, else std::invalid_argument.
void add_home_links(cellpath::capture::Capture& capture, const cellpath::ArrayView<double>& init);

// The handler's link point sets: `count` of them for n joints (base first),
// and moving link i's set of shape (k, 3), else std::invalid_argument.
void require_point_set_count(std::size_t count, std::size_t n);
LinkCloud moving_cloud(const cellpath::ArrayView<double>& points, std::size_t i);

// A mesh the handler holds (`name`, e.g. "link 3's mesh"), as read: vertices
// (k, 3) and finite, faces (m, 3), else std::invalid_argument; the message on
// a face naming a vertex that is not there, or "" when every face is whole.
void check_mesh_vertices(const cellpath::ArrayView<double>& v, const std::string& name);
void check_mesh_faces(const cellpath::ArrayView<std::int64_t>& f, const std::string& name);
std::string bad_face_text(const cellpath::ArrayView<std::int64_t>& f, std::size_t n_vertices,
                          const std::string& name);

}  // namespace brimwell
