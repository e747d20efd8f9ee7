// Pelmora's distance queries: how far each moving link is from each
// environment body, exactly, between the captured meshes (python-fcl's
// mesh-mesh distance over its bounding-volume trees).  Which pairs are
// measured, and in which order, is Pelmora/distance_core.hpp; this file holds
// the fcl objects and asks them.
//
// The collision manager answers only "touching or not", so the distance
// queries keep python-fcl objects of their own, built at the first call: one
// per environment body (world coordinates, never moved) and one per moving
// link (posed at each call).
#include "Pelmora/distance_core.hpp"
#include "Pelmora/docs.hpp"
#include "Pelmora/py_pelmora.hpp"
#include "common/capture_reader.hpp"
#include "common/file_path.hpp"
#include "common/mesh_archive.hpp"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace pelmora_py {

namespace {

using pelmora::Body;
using pelmora::Box;

// (kind, name, fcl object, box as a 6-tuple) of the mesh archive at `path`,
// read and checked as every mesh of a cache is.
nb::object fcl_entry(nb::module_& fcl, const char* kind, const std::string& name,
                     const std::filesystem::path& path) {
  const cellpath::Mesh mesh = py::read_mesh(path);
  const std::vector<std::int32_t> faces(mesh.F.begin(), mesh.F.end());  // python-fcl's index type
  nb::object model = fcl.attr("BVHModel")();
  model.attr("beginModel")(mesh.vertices(), mesh.faces());
  model.attr("addSubModel")(py::new_array<double>({mesh.vertices(), 3}, mesh.V.data()),
                            py::new_array<std::int32_t>({mesh.faces(), 3}, faces.data()));
  model.attr("endModel")();
  const Box b = pelmora::box_of(mesh.V.data(), mesh.V.size());
  return nb::make_tuple(kind, name, fcl.attr("CollisionObject")(model, fcl.attr("Transform")()),
                        nb::make_tuple(b[0], b[1], b[2], b[3], b[4], b[5]));
}

// (environment entries, moving-link entries), as a Python tuple of two lists,
// so that the object can hold it.
nb::object build_objects(const Pelmora& self) {
  nb::module_ fcl = nb::module_::import_("fcl");
  const std::filesystem::path dir = py::path_arg(self.cache_dir);
  nb::list envs, links;
  for (const std::string& name : nb::cast<std::vector<std::string>>(self.env_names))
    envs.append(fcl_entry(fcl, "env", name, cellpath::in_dir(dir, py::env_file(name))));
  const auto link_names = nb::cast<std::vector<std::string>>(self.link_names);
  const std::vector<std::size_t> first = pelmora::first_occurrence(link_names);
  for (std::size_t i = 1; i < first.size(); ++i)
    links.append(fcl_entry(fcl, "link", link_names[i],
                           cellpath::in_dir(dir, py::link_file(std::to_string(first[i])))));
  return nb::make_tuple(envs, links);
}

// The query's view of one Pelmora: its fcl objects and their boxes, the
// kinematics and the ignored pairs, read once per call.
struct Scene {
  Pelmora& self;
  std::vector<Body> envs, links;
  std::vector<nb::object> env_objects, link_objects;
  pelmora::Kinematics kin;
  std::set<Pair> ignored;
  std::vector<Mat4> poses;
  std::vector<Box> link_boxes;  // at the current pose
  nb::object transform, distance, request;

  Scene(Pelmora& owner, const pelmora::AllowedRequest& allowed) : self(owner) {
    if (owner.distance_objects.is_none()) owner.distance_objects = build_objects(owner);
    read(owner.distance_objects[0], envs, env_objects);
    read(owner.distance_objects[1], links, link_objects);
    kin = load_kinematics(owner);
    ignored = ignored_pairs(owner, allowed);
    nb::module_ fcl = nb::module_::import_("fcl");
    transform = fcl.attr("Transform");
    distance = fcl.attr("distance");
    request = fcl.attr("DistanceRequest")();
  }

  static void read(nb::handle list, std::vector<Body>& bodies, std::vector<nb::object>& objects) {
    for (nb::handle e : list) {
      Box b;
      for (int k = 0; k < 6; ++k) b[k] = nb::cast<double>(e[3][k]);
      bodies.push_back({{nb::cast<std::string>(e[0]), nb::cast<std::string>(e[1])}, b});
      objects.push_back(nb::borrow(e[2]));
    }
  }

  void pose(const double* theta) {
    poses = pelmora::pose_links(kin, theta);
    link_boxes.clear();
    for (std::size_t i = 0; i < links.size(); ++i) {
      const Mat4& T = poses[i + 1];
      const pelmora::RigidParts Rt = pelmora::rigid_parts(T);
      link_objects[i].attr("setTransform")(
          transform(py::new_array({3, 3}, Rt.R), py::new_array({3}, Rt.t)));
      link_boxes.push_back(pelmora::posed_box(links[i].box, T));
    }
  }

  // The distances at the current pose, python-fcl measuring.
  auto at_pose() {
    auto measure = [this](std::size_t i, std::size_t j) {
      return nb::cast<double>(distance(env_objects[i], link_objects[j], request));
    };
    auto touching = [this] { return collide(self, poses, ignored); };
    return pelmora::PoseDistances(envs, links, ignored, measure, touching);
  }
};

}  // namespace

std::vector<pelmora::PairDistance> pose_distances(Pelmora& self, const Array<double>& theta,
                                                  const pelmora::AllowedRequest& allowed) {
  const Array<double>& th = theta_arg(self, theta);
  Scene scene(self, allowed);
  scene.pose(th.data);
  return scene.at_pose().all();
}

std::vector<double> trajectory_distances(Pelmora& self, const Array<double>& traj,
                                         const pelmora::AllowedRequest& allowed) {
  const std::size_t n = traj.shape[1], N = traj.shape[0];
  Scene scene(self, allowed);
  std::vector<double> out(N);
  for (std::size_t r = 0; r < N; ++r) {
    scene.pose(traj.data + r * n);
    out[r] = scene.at_pose().smallest(scene.link_boxes);
  }
  return out;
}

namespace {

nb::dict distances(Pelmora& self, const Array<double>& theta,
                   const pelmora::AllowedRequest& allowed) {
  nb::dict out;
  for (const auto& [p, d] : pose_distances(self, theta, allowed)) out[pair_object(p)] = d;
  return out;
}

nb::object distance_trajectory(Pelmora& self, nb::handle trajectory,
                               const pelmora::AllowedRequest& allowed) {
  return py::new_array(trajectory_distances(self, trajectory_arg(self, trajectory), allowed));
}

}  // namespace

void bind_distance_queries(nb::class_<Pelmora>& cls) {
  namespace doc = pelmora::doc;
  cls.def("distances", &distances, nb::arg("theta"), nb::arg("allowed_pairs") = nb::none(),
          doc::distances)
      .def("distance_trajectory", &distance_trajectory, nb::arg("trajectory"),
           nb::arg("allowed_pairs") = nb::none(), doc::distance_trajectory);
}

}  // namespace pelmora_py
