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

// Link indices touching the environment at theta, the base left out.
std::vector<long> arm_hits(nb::handle handler, nb::handle theta, long base) {
  return py::without(py::posed_hits(attr("colliding_links"), handler, theta).hits, base);
}

// The first colliding and the first free sample of a generator seeded with
// SEED; the zero configuration is the free one when it is free.
nb::tuple find_configs(nb::handle handler, std::size_t n_joints) {
  nb::module_ np = py::numpy();
  nb::object rng = np.attr("random").attr("default_rng")(attr("SEED"));
  const long base = nb::cast<long>(attr("BASE_LINK_INDEX"));
  nb::object joint_range = attr("JOINT_RANGE");
  nb::object max_attempts_obj = attr("MAX_ATTEMPTS");
  const long max_attempts = nb::cast<long>(max_attempts_obj);
  nb::object lo = joint_range[0], hi = joint_range[1];

  nb::object home = py::new_array(std::vector<double>(n_joints));
  nb::object free_theta = arm_hits(handler, home, base).empty() ? home : nb::none();
  nb::object collide_theta = nb::none();
  for (long attempt = 0; attempt < max_attempts; ++attempt) {
    if (!collide_theta.is_none() && !free_theta.is_none()) break;
    nb::object theta = rng.attr("uniform")(lo, hi, nb::arg("size") = n_joints);
    const bool hit = !arm_hits(handler, theta, base).empty();
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

void show_scenario(nb::handle handler, capture::Capture capture, nb::handle theta,
                   const std::string& title, nb::handle cache_dir) {
  const auto [T, hits] = py::posed_hits(attr("colliding_links"), handler, theta);
  nb::object base_obj = attr("BASE_LINK_INDEX");
  const std::vector<long> arm = py::without(hits, nb::cast<long>(base_obj));
  py::print_line("\n" + title);
  py::print_line("  theta: " + py::theta_text(theta));
  py::print_line(std::string("  arm collision: ") + (arm.empty() ? "False" : "True"));
  py::print_line(cellpath::hits_line(py::str_of(base_obj), py::list_text(hits)));
  py::read_meshes(capture,
                  py::path_arg(cache_dir.is_none() ? attr("CACHE_DIR") : nb::borrow(cache_dir)));
  nb::object scene = py::arm_scene(capture, T, hits, py::module_palette(g_module, true));
  py::show_scene(scene, "Wendacor");
}

void render_scenario(nb::handle handler, capture::Capture meta, nb::handle theta,
                     const std::string& title, nb::handle cache_dir) {
  show_scenario(handler, std::move(meta), theta, title, cache_dir);
}

void main_entry(nb::handle argv) {
  const auto command = cli::cache_dir_command("Wendacor", doc::command);
  const std::filesystem::path cache =
      py::read_values(py::make_parser(command, g_module).attr("parse_args")(argv), command)
          .path("cache_dir");
  const nb::object cache_dir = nb::cast(cache);
  nb::object handler = attr("RobotEnvironmentHandler")(cache_dir);
  const capture::Capture capture = py::read_capture(cache);
  nb::tuple configs = find_configs(handler, py::handler_joints(handler));
  show_scenario(handler, capture, configs[0], "Scenario 1: colliding configuration", cache_dir);
  show_scenario(handler, capture, configs[1], "Scenario 2: collision-free configuration",
                cache_dir);
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
