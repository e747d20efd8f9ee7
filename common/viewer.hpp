// The viewer window shared by the inspection scripts: scenes are trimesh scenes,
// shown in trimesh's pyglet window, which returns when the user closes it.
//
// pyglet reports a missing display as a bare "Cannot connect to None" deep in
// its X11 layer; the scripts are often run on headless machines, so the lack of
// a display is detected first and explained, with the usual way around it.
#pragma once

#include "common/pybridge.hpp"

#include <nanobind/stl/string.h>

#include <array>
#include <string>

namespace cellpath::py {

namespace nb = nanobind;

// The viewers' palette (RGBA, 0 .. 255): links, links that touch the
// environment, and environment bodies.  Each viewer exposes these as module
// constants, so a user may recolour one viewer without touching the others.
using Rgba = std::array<int, 4>;
inline constexpr Rgba kLinkColor{100, 150, 230, 255};
inline constexpr Rgba kHitColor{220, 60, 60, 255};
inline constexpr Rgba kEnvColor{200, 90, 90, 255};

// An RGBA colour as the Python list the viewers' colour constants hold.
inline nb::list rgba(const Rgba& c) {
  nb::list out;
  for (int v : c) out.append(v);
  return out;
}

inline std::string display_help(const std::string& program) {
  return program +
         ": the viewer window needs a display, and none is available. Run it from a desktop "
         "session, or under a virtual X server, e.g. `xvfb-run -a " +
         program + "` (Debian/Ubuntu package xvfb).";
}

// Raise RuntimeError when this is an X11/Wayland platform and no display is set
// (pyglet's headless EGL mode needs none).
inline void require_display(const std::string& program) {
  nb::module_ sys = nb::module_::import_("sys");
  const std::string platform = nb::cast<std::string>(sys.attr("platform"));
  const bool x11_like =
      platform.rfind("linux", 0) == 0 || platform.find("bsd") != std::string::npos;
  if (!x11_like) return;
  nb::object modules = sys.attr("modules");
  if (nb::cast<bool>(modules.attr("__contains__")("pyglet"))) {
    nb::object options = modules["pyglet"].attr("options");
    if (nb::cast<bool>(options.attr("get")("headless", false))) return;
  }
  nb::object environ = nb::module_::import_("os").attr("environ");
  for (const char* var : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    nb::object v = environ.attr("get")(var, "");
    if (nb::len(v) > 0) return;
  }
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
// `transform` (None keeps the mesh where its vertices are, i.e. world coordinates).
inline void add_colored(nb::handle scene, nb::handle mesh, nb::handle color, nb::handle node_name,
                        nb::handle transform) {
  mesh.attr("visual").attr("face_colors") = color;
  if (transform.is_none())
    scene.attr("add_geometry")(mesh, nb::arg("node_name") = node_name);
  else
    scene.attr("add_geometry")(mesh, nb::arg("node_name") = node_name,
                               nb::arg("transform") = transform);
}

}  // namespace cellpath::py
