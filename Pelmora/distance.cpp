// Pelmora's distance queries: how far each moving link is from each
// environment body, exactly, between the captured meshes (python-fcl's
// mesh-mesh distance over its bounding-volume trees).
//
// The collision manager answers only "touching or not", so the distance
// queries keep python-fcl objects of their own, built at the first call: one
// per environment body (world coordinates, never moved) and one per moving
// link (posed at each call).  The fixed base is left out: it never moves, so
// its distance to the environment is the same for every configuration.
#include "common/capture_reader.hpp"
#include "common/mesh_archive.hpp"
#include "py_pelmora.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace pelmora_py {

namespace {

// One environment body or moving link as the distance queries see it.
struct Entry {
  ObjectName name;
  nb::object object;  // fcl.CollisionObject
};

nb::object fcl_object(nb::module_& fcl, nb::handle mesh) {
  nb::module_ np = py::numpy();
  nb::object V = np.attr("ascontiguousarray")(mesh.attr("vertices"), nb::arg("dtype") = "float64");
  nb::object F = np.attr("ascontiguousarray")(mesh.attr("faces"), nb::arg("dtype") = "int32");
  nb::object model = fcl.attr("BVHModel")();
  model.attr("beginModel")(nb::len(V), nb::len(F));
  model.attr("addSubModel")(V, F);
  model.attr("endModel")();
  return fcl.attr("CollisionObject")(model, fcl.attr("Transform")());
}

// (environment entries, moving-link entries), as a Python tuple of two lists
// of (kind, name, object) so that the object can hold it.
nb::object build_objects(const Pelmora& self) {
  nb::module_ fcl = nb::module_::import_("fcl");
  nb::list envs, links;
  for (nb::handle name : self.env_names) {
    nb::object path = py::join_path(self.cache_dir, py::env_file(nb::cast<std::string>(name)));
    envs.append(nb::make_tuple("env", name, fcl_object(fcl, py::load_trimesh(path))));
  }
  std::vector<std::string> names;
  for (nb::handle n : self.link_names) names.push_back(nb::cast<std::string>(n));
  nb::list link_names(self.link_names);
  for (std::size_t i = 1; i < names.size(); ++i) {
    std::size_t first = 0;  // a repeated name reuses its first occurrence's mesh
    while (names[first] != names[i]) ++first;
    nb::object path = py::join_path(self.cache_dir, py::link_file(std::to_string(first)));
    links.append(nb::make_tuple("link", link_names[i], fcl_object(fcl, py::load_trimesh(path))));
  }
  return nb::make_tuple(envs, links);
}

std::vector<Entry> entries_of(nb::handle list) {
  std::vector<Entry> out;
  for (nb::handle e : list)
    out.push_back({{nb::cast<std::string>(e[0]), nb::cast<std::string>(e[1])}, nb::borrow(e[2])});
  return out;
}

// The query's view of one Pelmora: the fcl objects and the kinematics, read
// once per call.
struct Scene {
  std::vector<Entry> envs, links;
  pelmora::Kinematics kin;
  std::set<Pair> ignored, touching;
  nb::object transform, distance, request;
  nb::module_ np = py::numpy();

  Scene(Pelmora& self, nb::handle allowed) {
    if (self.distance_objects.is_none()) self.distance_objects = build_objects(self);
    envs = entries_of(self.distance_objects[0]);
    links = entries_of(self.distance_objects[1]);
    kin = load_kinematics(self);
    ignored = ignored_pairs(self, allowed);
    nb::module_ fcl = nb::module_::import_("fcl");
    transform = fcl.attr("Transform");
    distance = fcl.attr("distance");
    request = fcl.attr("DistanceRequest")();
  }

  // Poses the links of both the fcl objects and the collision manager, and
  // notes which pairs the collision query finds touching: those are 0.0, so
  // that a distance is 0 exactly where query() reports the pair.
  void pose(const Pelmora& self, const double* theta) {
    const std::vector<Mat4> poses = pelmora::pose_links(kin, theta);
    touching.clear();
    for (nb::handle p : collide(self, pose_map(self, poses), ignored)) touching.insert(pair_of(p));
    for (std::size_t i = 0; i < links.size(); ++i) {
      const Mat4& T = poses[i + 1];
      double *R = nullptr, *t = nullptr;
      nb::object Ro = py::new_f64({3, 3}, &R), to = py::new_f64({3}, &t);
      for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) R[3 * r + c] = T[4 * r + c];
        t[r] = T[4 * r + 3];
      }
      links[i].object.attr("setTransform")(transform(Ro, to));
    }
  }

  // Calls visit(pair, distance) for every pair not ignored.
  template <class Visit>
  void each_distance(Visit&& visit) {
    for (const Entry& e : envs)
      for (const Entry& l : links) {
        const Pair p = pelmora::ordered_pair(e.name, l.name);
        if (ignored.count(p)) continue;
        if (touching.count(p)) {
          visit(p, 0.0);
          continue;
        }
        // Intersecting meshes come back as 0 (or below it for some shapes).
        const double d = nb::cast<double>(distance(e.object, l.object, request));
        visit(p, d > 0.0 ? d : 0.0);
      }
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
  scene.pose(self, th.data);
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
    scene.pose(self, traj.data + r * n);
    double best = std::numeric_limits<double>::infinity();
    scene.each_distance([&](const Pair&, double d) { best = std::min(best, d); });
    out[r] = best;
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
