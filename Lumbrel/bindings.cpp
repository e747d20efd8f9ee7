// Lumbrel: shows a capture cache as it was captured: every link at its home
// pose and every environment body, each a named node of one scene.
#include "common/arm_scene.hpp"
#include "common/capture_reader.hpp"
#include "common/py_cli.hpp"
#include "common/pybridge.hpp"
#include "common/viewer.hpp"

#include <string>

namespace nb = nanobind;
using namespace cellpath;

namespace {

nb::handle g_module;  // held by sys.modules for the interpreter's lifetime

// A 4x4 finite pose from a nested list, or ValueError naming the link.
nb::object pose_arg(nb::handle nested, nb::handle name) {
  nb::object T = py::numpy().attr("array")(nested, nb::arg("dtype") = "float64");
  py::Array<double> t = py::as_f64(T);
  const std::string what = "home_transform of link " + py::str_of(name);
  py::require_shape(t, {4, 4}, what.c_str());
  py::require_finite(t, what.c_str());
  return T;
}

// Every link at the home pose meta.json gives it; the index is used as written.
nb::object build_scene(nb::handle meta, nb::handle cache_dir) {
  auto place = [](nb::handle link) {
    nb::object name = link["name"];
    return py::PlacedLink{py::str_of(link["index"]), pose_arg(link["home_transform"], name), false};
  };
  nb::object dir =
      cache_dir.is_none() ? nb::object(g_module.attr("CACHE_DIR")) : nb::borrow(cache_dir);
  return py::capture_scene(meta, dir, place, py::module_palette(g_module, false));
}

void main_entry(nb::handle argv) {
  const auto command = cli::cache_dir_command(
      "Lumbrel",
      "Show the capture cache (links at their home poses and the environment) in a viewer "
      "window.");
  nb::object dir = py::make_parser(command, g_module).attr("parse_args")(argv).attr("cache_dir");
  nb::object scene = build_scene(py::read_meta(dir), dir);
  py::show_scene(scene, "Lumbrel");
}

}  // namespace

NB_MODULE(Lumbrel, m) {
  g_module = m;
  py::define_viewer_module(
      m,
      "Cache viewer: the captured arm at its home pose and its surroundings in "
      "a viewer window.",
      "Cache", 1, false);
  m.def("build_scene", &build_scene, nb::arg("meta"), nb::arg("cache_dir") = nb::none(),
        "A trimesh.Scene of the cache in cache_dir (default CACHE_DIR) described by the parsed "
        "meta.json: one node per link (named after it, at its home pose) and one per "
        "environment body.");
  m.def("main", &main_entry, nb::arg("argv") = nb::none(),
        "Show the cache in CACHE_DIR (or --cache-dir DIR) in a viewer window; returns when the "
        "window is closed.");
}
