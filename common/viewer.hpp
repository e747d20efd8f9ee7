// The viewer window shared by the inspection scripts: scenes are trimesh scenes,
// shown in trimesh's pyglet window, which returns when the user closes it.  The
// palette and the display rule are common/display.hpp.
#pragma once

#include "common/display.hpp"
#include "common/pybridge.hpp"
#include "common/se3.hpp"

#include <nanobind/stl/string.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace cellpath::py {

namespace nb = nanobind;

using cellpath::display_help;
using cellpath::kEnvColor;
using cellpath::kHitColor;
using cellpath::kLinkColor;
using cellpath::Rgba;

// An RGBA colour as the Python list the viewers' colour constants hold.
inline nb::list rgba(const Rgba& c) {
  nb::list out;
  for (int v : c) out.append(v);
  return out;
}

// Raise RuntimeError when this is an X11/Wayland platform and no display is set
// (pyglet's headless EGL mode needs none).
inline void require_display(const std::string& program) {
  nb::module_ sys = nb::module_::import_("sys");
  if (!cellpath::needs_display(nb::cast<std::string>(sys.attr("platform")))) return;
  nb::object modules = sys.attr("modules");
  const bool headless =
      contains(modules, nb::str("pyglet")) &&
      nb::cast<bool>(modules["pyglet"].attr("options").attr("get")("headless", false));
  auto set = [](const char* var) {
    const char* value = std::getenv(var);
    return value != nullptr && *value != '\0';
  };
  if (!cellpath::display_available(headless, set("DISPLAY"), set("WAYLAND_DISPLAY")))
    throw std::runtime_error(display_help(program));
}

// Open the scene's viewer window and wait until it is closed.
inline void show_scene(nb::handle scene, const std::string& program) {
  require_display(program);
  try {
    scene.attr("show")();
  } catch (nb::python_error& e) {
    const std::string type = nb::cast<std::string>(e.type().attr("__name__"));
    if (type == "NoSuchDisplayException") {
      nb::raise_from(e, PyExc_RuntimeError, "%s", display_help(program).c_str());
    }
    throw;
  }
}

// Colour every face of `mesh` and add it to `scene` under `node_name`, posed by
// `pose` (none keeps the mesh where its vertices are, i.e. world coordinates).
inline void add_colored(nb::handle scene, nb::handle mesh, nb::handle color,
                        const std::string& node_name, const std::optional<Mat4>& pose) {
  mesh.attr("visual").attr("face_colors") = color;
  nb::dict where;
  where["node_name"] = node_name;
  if (pose) where["transform"] = new_array<double>({4, 4}, pose->data());
  scene.attr("add_geometry")(mesh, **where);
}

}  // namespace cellpath::py
