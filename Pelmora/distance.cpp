// Pelmora's distance queries: how far each moving link is from each
// environment body, exactly, between the captured meshes (python-fcl's
// mesh-mesh distance over its bounding-volume trees).
//
// The collision manager answers only "touching or not", so the distance
// queries keep python-fcl objects of their own, built at the first call: one
// per environment body (world coordinates, never moved) and one per moving
// link (posed at each call).  The fixed base is left out: it never moves, so
// its distance to the environment is the same for every configuration.
// A trajectory's smallest distance per row skips the pairs whose bounding
// boxes lie farther apart than the nearest pair found: the answer stays exact.
#include "Pelmora/py_pelmora.hpp"
#include "common/capture_reader.hpp"
#include "common/mesh_archive.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace pelmora_py {

namespace {

// Below this a distance is checked against the collision query, which decides
// whether the pair touches (then it is 0.0, exactly where query() reports it).
constexpr double kTouchCheck = 1e-6;

using Box = std::array<double, 6>;  // lower x, y, z; upper x, y, z

// One environment body or moving link as the distance queries see it: its fcl
// object and the axis-aligned box around its vertices (in the world for a
// body, in the link's frame for a link).
struct Entry {
  ObjectName name;
  nb::object object;  // fcl.CollisionObject
  Box box;
};

Box box_of(nb::handle vertices) {
  Array<double> V = py::as_f64(vertices);
  const double inf = std::numeric_limits<double>::infinity();
  Box b{inf, inf, inf, -inf, -inf, -inf};
  for (std::size_t i = 0; i + 2 < V.size; i += 3)
    for (int k = 0; k < 3; ++k) {
      b[k] = std::min(b[k], V[i + k]);
      b[k + 3] = std::max(b[k + 3], V[i + k]);
    }
  return b;
}

// (kind, name, fcl object, box as a 6-tuple)
nb::object entry_object(nb::module_& fcl, const char* kind, nb::handle name, nb::handle mesh) {
  nb::module_ np = py::numpy();
  nb::object V = np.attr("ascontiguousarray")(mesh.attr("vertices"), nb::arg("dtype") = "float64");
  nb::object F = np.attr("ascontiguousarray")(mesh.attr("faces"), nb::arg("dtype") = "int32");
  nb::object model = fcl.attr("BVHModel")();
  model.attr("beginModel")(nb::len(V), nb::len(F));
  model.attr("addSubModel")(V, F);
  model.attr("endModel")();
  const Box b = box_of(V);
  return nb::make_tuple(kind, name, fcl.attr("CollisionObject")(model, fcl.attr("Transform")()),
                        nb::make_tuple(b[0], b[1], b[2], b[3], b[4], b[5]));
}

// (environment entries, moving-link entries), as a Python tuple of two lists,
// so that the object can hold it.
nb::object build_objects(const Pelmora& self) {
  nb::module_ fcl = nb::module_::import_("fcl");
  nb::list envs, links;
  for (nb::handle name : self.env_names) {
    nb::object path = py::join_path(self.cache_dir, py::env_file(nb::cast<std::string>(name)));
    envs.append(entry_object(fcl, "env", name, py::load_trimesh(path)));
  }
  std::vector<std::string> names;
  for (nb::handle n : self.link_names) names.push_back(nb::cast<std::string>(n));
  nb::list link_names(self.link_names);
  for (std::size_t i = 1; i < names.size(); ++i) {
    std::size_t first = 0;  // a repeated name reuses its first occurrence's mesh
    while (names[first] != names[i]) ++first;
    nb::object path = py::join_path(self.cache_dir, py::link_file(std::to_string(first)));
    links.append(entry_object(fcl, "link", link_names[i], py::load_trimesh(path)));
  }
  return nb::make_tuple(envs, links);
}

std::vector<Entry> entries_of(nb::handle list) {
  std::vector<Entry> out;
  for (nb::handle e : list) {
    Box b;
    for (int k = 0; k < 6; ++k) b[k] = nb::cast<double>(e[3][k]);
    out.push_back(
        {{nb::cast<std::string>(e[0]), nb::cast<std::string>(e[1])}, nb::borrow(e[2]), b});
  }
  return out;
}

// The box around a link-frame box posed by T (its eight corners carried).
Box posed_box(const Box& b, const Mat4& T) {
  const double inf = std::numeric_limits<double>::infinity();
  Box w{inf, inf, inf, -inf, -inf, -inf};
  for (int c = 0; c < 8; ++c) {
    const double p[3] = {b[(c & 1) ? 3 : 0], b[(c & 2) ? 4 : 1], b[(c & 4) ? 5 : 2]};
    for (int r = 0; r < 3; ++r) {
      const double x = T[4 * r] * p[0] + T[4 * r + 1] * p[1] + T[4 * r + 2] * p[2] + T[4 * r + 3];
      w[r] = std::min(w[r], x);
      w[r + 3] = std::max(w[r + 3], x);
    }
  }
  return w;
}

// The gap between two boxes: never more than the distance between what they hold.
double box_gap(const Box& a, const Box& b) {
  double s = 0.0;
  for (int k = 0; k < 3; ++k) {
    const double d = std::max({0.0, a[k] - b[k + 3], b[k] - a[k + 3]});
    s += d * d;
  }
  return std::sqrt(s);
}

// The query's view of one Pelmora: the fcl objects and the kinematics, read
// once per call.
struct Scene {
  const Pelmora& self;
  std::vector<Entry> envs, links;
  std::vector<Box> link_boxes;  // at the current pose
  std::vector<Mat4> poses;
  pelmora::Kinematics kin;
  std::set<Pair> ignored;
  std::optional<std::set<Pair>> touching;  // asked of the collision query when needed
  nb::object transform, distance, request;

  Scene(Pelmora& owner, nb::handle allowed) : self(owner) {
    if (owner.distance_objects.is_none()) owner.distance_objects = build_objects(owner);
    envs = entries_of(owner.distance_objects[0]);
    links = entries_of(owner.distance_objects[1]);
    kin = load_kinematics(owner);
    ignored = ignored_pairs(owner, allowed);
    nb::module_ fcl = nb::module_::import_("fcl");
    transform = fcl.attr("Transform");
    distance = fcl.attr("distance");
    request = fcl.attr("DistanceRequest")();
  }

  void pose(const double* theta) {
    poses = pelmora::pose_links(kin, theta);
    touching.reset();
    link_boxes.clear();
    for (std::size_t i = 0; i < links.size(); ++i) {
      const Mat4& T = poses[i + 1];
      double *R = nullptr, *t = nullptr;
      nb::object Ro = py::new_f64({3, 3}, &R), to = py::new_f64({3}, &t);
      for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) R[3 * r + c] = T[4 * r + c];
        t[r] = T[4 * r + 3];
      }
      links[i].object.attr("setTransform")(transform(Ro, to));
      link_boxes.push_back(posed_box(links[i].box, T));
    }
  }

  // The exact distance of one pair at the current pose: python-fcl's, and 0.0
  // for a pair the collision query finds touching (asked only for distances
  // that small, as intersecting meshes come back as 0 or about it).
  double pair_distance(const Entry& e, const Entry& l, const Pair& p) {
    const double d = std::max(0.0, nb::cast<double>(distance(e.object, l.object, request)));
    if (d > kTouchCheck) return d;
    if (!touching) {
      touching.emplace();
      for (nb::handle q : collide(self, pose_map(self, poses), ignored))
        touching->insert(pair_of(q));
    }
    return touching->count(p) ? 0.0 : d;
  }

  // Calls visit(pair, distance) for every pair not ignored.
  template <class Visit>
  void each_distance(Visit&& visit) {
    for (const Entry& e : envs)
      for (const Entry& l : links) {
        const Pair p = pelmora::ordered_pair(e.name, l.name);
        if (!ignored.count(p)) visit(p, pair_distance(e, l, p));
      }
  }

  // The smallest distance over the pairs not ignored (inf without any): pairs
  // in the order of their boxes' gaps, stopping at the first whose gap is no
  // smaller than the best distance found.
  double smallest() {
    std::vector<std::tuple<double, std::size_t, std::size_t>> order;
    for (std::size_t i = 0; i < envs.size(); ++i)
      for (std::size_t j = 0; j < links.size(); ++j)
        if (!ignored.count(pelmora::ordered_pair(envs[i].name, links[j].name)))
          order.emplace_back(box_gap(envs[i].box, link_boxes[j]), i, j);
    std::sort(order.begin(), order.end());
    double best = std::numeric_limits<double>::infinity();
    for (const auto& [gap, i, j] : order) {
      if (gap >= best) break;
      best = std::min(best, pair_distance(envs[i], links[j],
                                          pelmora::ordered_pair(envs[i].name, links[j].name)));
    }
    return best;
  }
};

nb::tuple pair_object(const Pair& p) {
  return nb::make_tuple(nb::make_tuple(p.first.kind, p.first.name),
                        nb::make_tuple(p.second.kind, p.second.name));
}

}  // namespace

nb::dict distances(Pelmora& self, nb::handle theta, nb::handle allowed) {
  Array<double> th = theta_arg(self, theta);
  Scene scene(self, allowed);
  scene.pose(th.data);
  nb::dict out;
  scene.each_distance([&](const Pair& p, double d) {
    nb::tuple key = pair_object(p);
    // A link name that repeats keeps the nearer of its links.
    if (out.contains(key) && nb::cast<double>(out[key]) <= d) return;
    out[key] = d;
  });
  return out;
}

nb::object distance_trajectory(Pelmora& self, nb::handle trajectory, nb::handle allowed) {
  Array<double> traj = trajectory_arg(self, trajectory);
  const std::size_t n = static_cast<std::size_t>(n_joints_of(self));
  Scene scene(self, allowed);
  const std::size_t N = traj.shape[0];
  double* out = nullptr;
  nb::object result = py::new_f64({N}, &out);
  for (std::size_t r = 0; r < N; ++r) {
    scene.pose(traj.data + r * n);
    out[r] = scene.smallest();
  }
  return result;
}

nb::tuple smallest_distance(nb::handle distance_map) {
  double best = std::numeric_limits<double>::infinity();
  nb::object best_pair = nb::none();
  // Ties go to the first pair in pair order.
  for (auto [key, value] : nb::cast<nb::dict>(distance_map)) {
    const double d = nb::cast<double>(value);
    if (d < best || (d == best && !best_pair.is_none() && pair_of(key) < pair_of(best_pair))) {
      best = d;
      best_pair = nb::borrow(key);
    }
  }
  return nb::make_tuple(best, best_pair);
}

}  // namespace pelmora_py
