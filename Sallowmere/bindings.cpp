// Sallowmere: the capture cache and the robot environment handler.
#include "Sallowmere/docs.hpp"
#include "Sallowmere/handler.hpp"

namespace nb = nanobind;
using sallowmere::RobotEnvironmentHandler;
namespace doc = sallowmere::doc;

namespace {

// The handler's methods default their cache directory to `cache_dir`, the
// module's CACHE_DIR when the module was imported.
void bind_handler(nb::module_& m, nb::handle cache_dir) {
  nb::class_<RobotEnvironmentHandler>(m, "RobotEnvironmentHandler", doc::kHandler)
      .def(
          "__init__",
          [](RobotEnvironmentHandler* self, nb::handle CacheDir) {
            new (self) RobotEnvironmentHandler();
            nb::object py_self = nb::find(self);
            // The steps below call methods on the new object itself.
            nb::inst_mark_ready(py_self);
            RobotEnvironmentHandler::construct(py_self, CacheDir);
          },
          nb::arg("CacheDir"), doc::kInit)
      .def_rw("cache", &RobotEnvironmentHandler::cache, doc::kCache)
      .def_rw("linkmesh", &RobotEnvironmentHandler::linkmesh, doc::kLinkmesh)
      .def_rw("envmesh", &RobotEnvironmentHandler::envmesh, doc::kEnvmesh)
      .def_rw("link_points", &RobotEnvironmentHandler::link_points, doc::kLinkPoints)
      .def_rw("env_grid", &RobotEnvironmentHandler::env_grid, doc::kEnvGrid)
      .def_rw("env_origin", &RobotEnvironmentHandler::env_origin, doc::kEnvOrigin)
      .def_rw("pitch", &RobotEnvironmentHandler::pitch, doc::kPitch)
      .def_rw("initialTransforms", &RobotEnvironmentHandler::initialTransforms,
              doc::kInitialTransforms)
      .def_rw("ScrewAxis", &RobotEnvironmentHandler::ScrewAxis, doc::kScrewAxis)
      .def("InitializeEnvironment", &RobotEnvironmentHandler::InitializeEnvironment,
           nb::arg("cache_dir") = cache_dir, doc::kInitializeEnvironment)
      .def("EnvironmentVoxelizer", &RobotEnvironmentHandler::EnvironmentVoxelizer,
           nb::arg("link_payload"), nb::arg("env_payload"), nb::arg("pitch") = 0.01,
           nb::arg("bounds") = nb::none(), nb::arg("pad") = 5.0, doc::kEnvironmentVoxelizer)
      .def("AquireTransformsFromMeta", &RobotEnvironmentHandler::AquireTransformsFromMeta,
           nb::arg("cache_dir") = cache_dir, doc::kAquireTransformsFromMeta)
      .def("AcquireTransformsGivenq", &RobotEnvironmentHandler::AcquireTransformsGivenq,
           nb::arg("theta"), doc::kAcquireTransformsGivenq)
      .def("RunCollisionCheckGivenq", &RobotEnvironmentHandler::RunCollisionCheckGivenq,
           nb::arg("thetaList"), doc::kRunCollisionCheckGivenq);
}

}  // namespace

NB_MODULE(Sallowmere, m) {
  m.doc() = doc::kModule;

  nb::object cache_dir = cellpath::py::set_cache_dir(m, "Cache", 1);
  cellpath::py::set_values(
      m, {{"SCREW_LINEAR_SCALE", nb::float_(cellpath::capture::kScrewLinearScale)}});

  // The functions this module builds on, under their own names.
  const std::pair<const char*, const char*> offered[] = {
      {"Gristane", "VoxelizeLink"},    {"Gristane", "build_env_grid"},
      {"Gristane", "in_collision"},    {"Gristane", "colliding_links"},
      {"Tovik", "forward_kinematics"}, {"Tovik", "adjoint"}};
  for (const auto& [module, name] : offered)
    nb::setattr(m, name, nb::getattr(nb::module_::import_(module), name));

  bind_handler(m, cache_dir);
}
