// Wendacor: demonstrates the voxel collision test on a capture: one colliding
// and one collision-free configuration, found with a fixed seed, each printed
// and shown in a viewer window with the touching links in a warning colour.
#include "Wendacor/docs.hpp"
#include "common/arm_scene.hpp"
#include "common/py_cli.hpp"
#include "common/pybridge.hpp"
#include "common/viewer.hpp"

#include <nanobind/stl/string.h>

#include <filesystem>
#include <numbers>
#include <string>
#include <vector>

namespace nb = nanobind;
namespace doc = wendacor::doc;
using namespace cellpath;

namespace {

nb::handle g_module;  // held by sys.modules for the interpreter's lifetime

nb::object attr(const char* name) { return g_module.attr(name); }

// The first colliding and the first free sample of a generator seeded with
// SEED; the zero configuration is the free one when it is free.
nb::tuple find_configs(nb::handle handler, std::size_t n_joints) {
  nb::object rng = py::default_rng(attr("SEED"));
  const py::ArmInspection arm(g_module, handler);
  nb::object joint_range = attr("JOINT_RANGE");
  nb::object max_attempts_obj = attr("MAX_ATTEMPTS");
  const long max_attempts = nb::cast<long>(max_attempts_obj);
  nb::object lo = joint_range[0], hi = joint_range[1];

  nb::object home = py::new_array(std::vector<double>(n_joints));
  nb::object free_theta = arm.arm_hits(home).empty() ? home : nb::none();
  nb::object collide_theta = nb::none();
  for (long attempt = 0; attempt < max_attempts; ++attempt) {
    if (!collide_theta.is_none() && !free_theta.is_none()) break;
    nb::object theta = rng.attr("uniform")(lo, hi, nb::arg("size") = n_joints);
    const bool hit = !arm.arm_hits(theta).empty();
    if (hit && collide_theta.is_none())
      collide_theta = theta;
    else if (!hit && free_theta.is_none())
      free_theta = theta;
  }
  const std::string tail = " samples over theta in " + py::str_of(joint_range) + ".";
  if (collide_theta.is_none())
    throw std::runtime_error("No colliding configuration found in " + py::str_of(max_attempts_obj) +
                             tail);
  if (free_theta.is_none())
    throw std::runtime_error("No collision-free configuration found in " +
                             py::str_of(max_attempts_obj) + tail);
  return nb::make_tuple(collide_theta, free_theta);
}

// No cache_dir: the module's CACHE_DIR as it stands when the meshes are read.
void render_scenario(nb::handle handler, capture::Capture meta, nb::handle theta,
                     const std::string& title, const py::OptionalPathArg& cache_dir) {
  const py::ArmInspection arm(g_module, handler);
  const py::PosedHits posed = arm.posed(theta);
  const bool arm_collision = !py::without(posed.hits, nb::cast<long>(arm.base)).empty();
  py::print_line("\n" + title);
  py::print_line("  theta: " + py::theta_text(theta));
  py::print_line(std::string("  arm collision: ") + (arm_collision ? "True" : "False"));
  py::print_line(arm.hits_line(posed.hits));
  py::show_posed_arm(g_module, std::move(meta), posed, cache_dir.or_cache_dir(g_module),
                     "Wendacor");
}

void main_entry(nb::handle argv) {
  const auto command = cli::cache_dir_command("Wendacor", doc::command);
  const py::OptionalPathArg cache{py::parse_command(command, g_module, argv).path("cache_dir")};
  nb::object handler = attr("RobotEnvironmentHandler")(*cache.path);
  const capture::Capture capture = py::read_capture(*cache.path);
  nb::tuple configs = find_configs(handler, py::handler_joints(handler));
  render_scenario(handler, capture, configs[0], "Scenario 1: colliding configuration", cache);
  render_scenario(handler, capture, configs[1], "Scenario 2: collision-free configuration", cache);
}

}  // namespace

NB_MODULE(Wendacor, m) {
  g_module = m;
  py::define_viewer_module(m, doc::module, "Cache", 1, true);
  // The handler class and voxel test this module builds on, bound under their names.
  py::define_voxel_inspection(m, nb::module_::import_("Sallowmere").attr("RobotEnvironmentHandler"),
                              nb::module_::import_("Gristane").attr("colliding_links"));
  py::set_values(m, {{"MAX_ATTEMPTS", nb::int_(2000)}, {"SEED", nb::int_(0)}});
  m.def("find_configs", &find_configs, nb::arg("handler"), nb::arg("n_joints"), doc::find_configs);
  m.def("render_scenario", &render_scenario, nb::arg("handler"), nb::arg("meta"), nb::arg("theta"),
        nb::arg("title"), nb::arg("cache_dir") = nb::none(), doc::render_scenario);
  m.def("main", &main_entry, nb::arg("argv") = nb::none(), doc::main);
}
