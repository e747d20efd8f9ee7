// Lumbrel: shows a capture cache as it was captured: every link at its home
// pose and every environment body, each a named node of one scene.
#include "Lumbrel/docs.hpp"
#include "common/arm_scene.hpp"
#include "common/capture_reader.hpp"
#include "common/py_cli.hpp"
#include "common/pybridge.hpp"
#include "common/viewer.hpp"

#include <filesystem>
#include <stdexcept>
#include <string>

namespace nb = nanobind;
namespace doc = lumbrel::doc;
using namespace cellpath;

namespace {

nb::handle g_module;  // held by sys.modules for the interpreter's lifetime

// Every link at the home pose meta.json gives it, with the meshes in `cache_dir`.
nb::object scene_of(capture::Capture capture, const std::filesystem::path& cache_dir) {
  py::read_meshes(capture, cache_dir);
  auto place = [](const capture::Link& link) {
    const std::string what = "home_transform of link " + link.name;
    if (!link.home) throw nb::key_error("home_transform");
    if (!all_finite(link.home->data(), 16))
      throw std::invalid_argument(what + " must be finite (no NaN or infinity)");
    return py::PlacedLink{*link.home, false};
  };
  return py::capture_scene(capture, place, py::module_palette(g_module, false));
}

nb::object build_scene(capture::Capture meta, const py::OptionalPathArg& cache_dir) {
  return scene_of(std::move(meta), cache_dir.or_cache_dir(g_module));
}

void main_entry(nb::handle argv) {
  const auto command = cli::cache_dir_command("Lumbrel", doc::command);
  const std::filesystem::path dir = py::parse_command(command, g_module, argv).path("cache_dir");
  nb::object scene = scene_of(py::read_capture(dir), dir);
  py::show_scene(scene, "Lumbrel");
}

}  // namespace

NB_MODULE(Lumbrel, m) {
  g_module = m;
  py::define_viewer_module(m, doc::module, "Cache", 1, false);
  m.def("build_scene", &build_scene, nb::arg("meta"), nb::arg("cache_dir") = nb::none(),
        doc::build_scene);
  m.def("main", &main_entry, nb::arg("argv") = nb::none(), doc::main);
}
