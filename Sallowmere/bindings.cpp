// Sallowmere: the capture cache and the robot environment handler.
#include "Sallowmere/handler.hpp"

namespace nb = nanobind;
using sallowmere::RobotEnvironmentHandler;

namespace {

// The handler's methods default their cache directory to `cache_dir`, the
// module's CACHE_DIR when the module was imported.
void bind_handler(nb::module_& m, nb::handle cache_dir) {
  nb::class_<RobotEnvironmentHandler>(
      m, "RobotEnvironmentHandler",
      "One arm in one captured scene: loads the capture cache, voxelizes links and "
      "environment once, and answers link poses and collision checks per joint vector.")
      .def(
          "__init__",
          [](RobotEnvironmentHandler* self, nb::handle CacheDir) {
            new (self) RobotEnvironmentHandler();
            nb::object py_self = nb::find(self);
            // The steps below call methods on the new object itself.
            nb::inst_mark_ready(py_self);
            RobotEnvironmentHandler::construct(py_self, CacheDir);
          },
          nb::arg("CacheDir"),
          "Load the cache directory, write LinkMeshes.npz and env_meshes.npz into it, "
          "voxelize at pitch 0.01 m with a 5 m pad, and read the home transforms.")
      .def_rw("cache", &RobotEnvironmentHandler::cache,
              "The cache directory given to the constructor.")
      .def_rw("linkmesh", &RobotEnvironmentHandler::linkmesh,
              "Link meshes: 'V_<i>' (float64 (n, 3)) and 'F_<i>' (int64 (m, 3)), link frame.")
      .def_rw("envmesh", &RobotEnvironmentHandler::envmesh,
              "Environment meshes: 'V_<k>' and 'F_<k>' for the k-th body, world frame.")
      .def_rw("link_points", &RobotEnvironmentHandler::link_points,
              "One float64 (k, 3) point set per link, link-index order, base first.")
      .def_rw("env_grid", &RobotEnvironmentHandler::env_grid,
              "Environment occupancy grid (3-D bool).")
      .def_rw("env_origin", &RobotEnvironmentHandler::env_origin,
              "World position of the grid's lower corner.")
      .def_rw("pitch", &RobotEnvironmentHandler::pitch, "Cell edge and link voxel edge in metres.")
      .def_rw("initialTransforms", &RobotEnvironmentHandler::initialTransforms,
              "Home transform of every link, float64 (n_links, 4, 4).")
      .def_rw("ScrewAxis", &RobotEnvironmentHandler::ScrewAxis,
              "Path of ScrewAxis.npy in the cache.")
      .def("InitializeEnvironment", &RobotEnvironmentHandler::InitializeEnvironment,
           nb::arg("cache_dir") = cache_dir,
           "Load the link and environment meshes named in meta.json and rewrite "
           "LinkMeshes.npz and env_meshes.npz; returns (link_payload, env_payload).")
      .def("EnvironmentVoxelizer", &RobotEnvironmentHandler::EnvironmentVoxelizer,
           nb::arg("link_payload"), nb::arg("env_payload"), nb::arg("pitch") = 0.01,
           nb::arg("bounds") = nb::none(), nb::arg("pad") = 5.0,
           "Voxelize every link and build the environment grid; returns "
           "(link_points, env_grid, env_origin, pitch).")
      .def("AquireTransformsFromMeta", &RobotEnvironmentHandler::AquireTransformsFromMeta,
           nb::arg("cache_dir") = cache_dir,
           "Home transforms from meta.json in link-index order, float64 (n_links, 4, 4).")
      .def("AcquireTransformsGivenq", &RobotEnvironmentHandler::AcquireTransformsGivenq,
           nb::arg("theta"),
           "World transform of every link for a joint vector, float64 (n_links, 4, 4); the "
           "screw list is read from ScrewAxis.npy on every call.")
      .def("RunCollisionCheckGivenq", &RobotEnvironmentHandler::RunCollisionCheckGivenq,
           nb::arg("thetaList"),
           "True when links 1..n touch the environment; prints 'colliding link indices: [...]'.");
}

}  // namespace

NB_MODULE(Sallowmere, m) {
  m.doc() =
      "Capture-cache reader and RobotEnvironmentHandler: link poses and voxel "
      "collision checks of one arm in one captured scene.";

  nb::object cache_dir = cellpath::py::set_cache_dir(m, "Cache", 1);
  m.attr("SCREW_LINEAR_SCALE") = cellpath::capture::kScrewLinearScale;

  // The functions this module builds on, under their own names.
  nb::module_ gristane = nb::module_::import_("Gristane");
  nb::module_ tovik = nb::module_::import_("Tovik");
  for (const char* name : {"VoxelizeLink", "build_env_grid", "in_collision", "colliding_links"})
    m.attr(name) = gristane.attr(name);
  for (const char* name : {"forward_kinematics", "adjoint"}) m.attr(name) = tovik.attr(name);

  bind_handler(m, cache_dir);
}
