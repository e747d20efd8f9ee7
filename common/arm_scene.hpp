// What the collision viewer and the collision scenario check share: the voxel
// test of a posed arm through a robot environment handler, and the scene of the
// arm at a configuration with its touching links picked out in a warning colour.
#pragma once

#include "common/capture_reader.hpp"
#include "common/hit_list.hpp"
#include "common/mesh_archive.hpp"
#include "common/pybridge.hpp"
#include "common/viewer.hpp"

#include <algorithm>
#include <filesystem>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

namespace cellpath::py {

namespace nb = nanobind;

// The arm posed at theta and the link indices the voxel test reports for it
// (all links, base included).
struct PosedHits {
  nb::object T_world_link;
  std::vector<long> hits;
};

using cellpath::list_text;
using cellpath::without;

// The joint count of a handler: one fewer than its links.
inline std::size_t handler_joints(nb::handle handler) {
  nb::object transforms = handler.attr("initialTransforms");
  const std::size_t links = nb::len(transforms);
  if (links == 0) throw nb::value_error("the capture has no links");
  return links - 1;
}

struct ArmColors {
  nb::object link, hit, env;
};

// Where one captured link goes in a scene: its pose (a 4x4 array) and
// whether it is drawn in the warning colour.
struct PlacedLink {
  Mat4 pose;
  bool hit = false;
};

// A trimesh.Scene of a capture whose meshes are read (read_meshes): one node
// per link, named after it, placed by `place(link)` (which returns a
// PlacedLink and may refuse the link by raising), coloured `hit` or `link`;
// then one node per environment body where it was captured, coloured `env`.
template <class Place>
nb::object capture_scene(const capture::Capture& capture, Place&& place, const ArmColors& colors) {
  nb::object scene = nb::module_::import_("trimesh").attr("Scene")();
  for (const capture::Link& link : capture.links) {
    const PlacedLink placed = place(link);
    add_colored(scene, trimesh_of(link.mesh), placed.hit ? colors.hit : colors.link, link.name,
                placed.pose);
  }
  for (const capture::Body& body : capture.env)
    add_colored(scene, trimesh_of(body.mesh), colors.env, body.name, std::nullopt);
  return scene;
}

// What the modules that test a posed arm against the voxel model offer: the
// base link (whose contact with its mount is expected), the range random joint
// vectors are drawn from, and the handler class and voxel test they build on,
// which the module's binding file imports (this floor imports no module).
inline void define_voxel_inspection(nb::module_ m, nb::handle handler_class,
                                    nb::handle colliding_links) {
  set_values(m, {{"BASE_LINK_INDEX", nb::int_(0)},
                 {"JOINT_RANGE", nb::make_tuple(-std::numbers::pi, std::numbers::pi)},
                 {"RobotEnvironmentHandler", nb::borrow(handler_class)},
                 {"colliding_links", nb::borrow(colliding_links)}});
}

// What every viewer module offers: its doc, CACHE_DIR (the directory
// `cache_name` `levels_up` directories up from the module's file), the palette
// and load_mesh.  A viewer that marks touching links has HIT_COLOR (and, to
// find those links, the voxel inspection).
inline void define_viewer_module(nb::module_ m, const char* doc, const char* cache_name,
                                 int levels_up, bool marks_hits) {
  m.doc() = doc;
  set_cache_dir(m, cache_name, levels_up);
  set_values(m, {{"LINK_COLOR", rgba(kLinkColor)}, {"ENV_COLOR", rgba(kEnvColor)}});
  if (marks_hits) m.attr("HIT_COLOR") = rgba(kHitColor);
  m.def("load_mesh", &load_trimesh, nb::arg("npz_path"),
        "A trimesh.Trimesh from a mesh archive's V and F arrays, unprocessed.");
}

// A handler's arm tested by a voxel-inspection module (define_voxel_inspection):
// the module's voxel test and base link are read once a call begins, since a
// user may replace either.
struct ArmInspection {
  nb::object handler, colliding_links, base;

  ArmInspection(nb::handle m, nb::handle arm_handler)
      : handler(nb::borrow(arm_handler)),
        colliding_links(m.attr("colliding_links")),
        base(m.attr("BASE_LINK_INDEX")) {}

  // Posed by the handler's AcquireTransformsGivenq (which a subclass may
  // override), tested on the handler's voxel model.
  PosedHits posed(nb::handle theta) const {
    PosedHits out{handler.attr("AcquireTransformsGivenq")(theta), {}};
    nb::object hits =
        colliding_links(handler.attr("link_points"), out.T_world_link, handler.attr("env_grid"),
                        handler.attr("env_origin"), handler.attr("pitch"));
    for (nb::handle h : hits) out.hits.push_back(nb::cast<long>(h));
    return out;
  }
  // The links touching the environment at theta, the base left out.
  std::vector<long> arm_hits(nb::handle theta) const {
    return without(posed(theta).hits, nb::cast<long>(base));
  }
  // The report line of all the links touching, naming the base as the module has it.
  std::string hits_line(const std::vector<long>& hits) const {
    return cellpath::hits_line(str_of(base), list_text(hits));
  }
};

// A viewer module's palette as it stands now (a user may have recoloured it);
// no hit colour in a viewer that does not mark touching links.
inline ArmColors module_palette(nb::handle m, bool marks_hits) {
  nb::object link = m.attr("LINK_COLOR");
  nb::object hit = marks_hits ? nb::object(m.attr("HIT_COLOR")) : nb::none();
  return {link, hit, m.attr("ENV_COLOR")};
}

// The arm of a capture posed as ArmInspection found it (the meshes read from
// `cache_dir`), its touching links (the base too) in module m's warning
// colour, shown in the viewer window of `program`.
inline void show_posed_arm(nb::handle m, capture::Capture capture, const PosedHits& posed,
                           const std::filesystem::path& cache_dir, const std::string& program) {
  read_meshes(capture, cache_dir);
  const Array<double> T = as_f64(posed.T_world_link);
  capture::require_stacked_poses(T);
  auto place = [&](const capture::Link& link) {
    const bool hit =
        std::find(posed.hits.begin(), posed.hits.end(), link.index) != posed.hits.end();
    return PlacedLink{capture::stacked_pose(T, link), hit};
  };
  show_scene(capture_scene(capture, place, module_palette(m, true)), program);
}

}  // namespace cellpath::py
