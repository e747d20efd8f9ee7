// What the viewers decide without Python: their palette, and whether a window
// can open at all, with the advice shown when it cannot.
//
// pyglet reports a missing display as a bare "Cannot connect to None" deep in
// its X11 layer; the scripts are often run on headless machines, so the lack of
// a display is detected first and explained, with the usual way around it.
#pragma once

#include <array>
#include <string>

namespace cellpath {

// The viewers' palette (RGBA, 0 .. 255): links, links that touch the
// environment, and environment bodies.  Each viewer exposes these as module
// constants, so a user may recolour one viewer without touching the others.
using Rgba = std::array<int, 4>;
inline constexpr Rgba kLinkColor{100, 150, 230, 255};
inline constexpr Rgba kHitColor{220, 60, 60, 255};
inline constexpr Rgba kEnvColor{200, 90, 90, 255};

inline std::string display_help(const std::string& program) {
  return program +
         ": the viewer window needs a display, and none is available. Run it from a desktop "
         "session, or under a virtual X server, e.g. `xvfb-run -a " +
         program + "` (Debian/Ubuntu package xvfb).";
}

// An X11 or Wayland platform (sys.platform), where a window needs a display.
inline bool needs_display(const std::string& platform) {
  return platform.rfind("linux", 0) == 0 || platform.find("bsd") != std::string::npos;
}

// Whether a window can open on such a platform: pyglet's headless EGL mode
// needs no display; otherwise DISPLAY or WAYLAND_DISPLAY must name one.
inline bool display_available(bool headless, bool display_set, bool wayland_display_set) {
  return headless || display_set || wayland_display_set;
}

// The report line of a voxel collision test: every touching link, the base's
// expected contact with its mount included (`hits` as list text, `base` the
// base link's index as text).
inline std::string hits_line(const std::string& base, const std::string& hits) {
  return "  colliding link indices (incl. expected base-mount contact at " + base + "): " + hits;
}

}  // namespace cellpath
