// RobotEnvironmentHandler: one arm in one captured scene.
//
// Built from a capture cache directory, it loads the link and environment
// meshes, voxelizes them once, keeps the home transforms, and then answers
// where every link is for a joint vector and whether the arm touches the
// environment.  Its attributes are Python objects it owns (numpy arrays,
// lists, dicts, paths), so Python code sees and may replace them; every
// method reads them afresh into C++ values and leaves the arithmetic to
// handler_core.cpp.
#pragma once

#include "Gristane/api.hpp"
#include "Sallowmere/handler_core.hpp"
#include "common/atomic_file.hpp"
#include "common/capture_reader.hpp"
#include "common/file_path.hpp"
#include "common/pybridge.hpp"

#include <nanobind/stl/string.h>

#include <filesystem>
#include <string>
#include <vector>

namespace sallowmere {

namespace nb = nanobind;
namespace py = cellpath::py;
namespace api = gristane::api;

using cellpath::py::str_of;

inline const char* kScrewScaleName = "SCREW_LINEAR_SCALE";

struct RobotEnvironmentHandler {
  nb::object cache = nb::none(), linkmesh = nb::none(), envmesh = nb::none(),
             link_points = nb::none(), env_grid = nb::none(), env_origin = nb::none(),
             pitch = nb::none(), initialTransforms = nb::none(), ScrewAxis = nb::none();

  // The constructor's steps run through the Python object, so a subclass
  // that overrides one of them (say, EnvironmentVoxelizer with a smaller
  // pad) is honoured.
  static void construct(nb::handle self, nb::handle CacheDir) {
    RobotEnvironmentHandler& h = nb::cast<RobotEnvironmentHandler&>(self);
    h.cache = nb::borrow(CacheDir);
    nb::tuple payloads = nb::cast<nb::tuple>(self.attr("InitializeEnvironment")(h.cache));
    if (nb::len(payloads) != 2)
      throw nb::value_error("InitializeEnvironment must return two payloads");
    h.linkmesh = payloads[0];
    h.envmesh = payloads[1];
    nb::tuple model = nb::cast<nb::tuple>(self.attr("EnvironmentVoxelizer")(h.linkmesh, h.envmesh));
    if (nb::len(model) != 4) throw nb::value_error("EnvironmentVoxelizer must return four values");
    h.link_points = model[0];
    h.env_grid = model[1];
    h.env_origin = model[2];
    h.pitch = model[3];
    h.initialTransforms = self.attr("AquireTransformsFromMeta")(h.cache);
    h.ScrewAxis = py::join_path(CacheDir, py::kScrewFile);
    check_link_count(nb::len(h.link_points), nb::len(h.initialTransforms));
  }

  // Load every link and environment mesh named in meta.json, and write the two
  // single-archive copies LinkMeshes.npz and env_meshes.npz where they are
  // missing or differ (a read-only cache that has them loads).
  nb::tuple InitializeEnvironment(const py::PathArg& cache_dir) const {
    const std::filesystem::path& dir = cache_dir.path;
    const cellpath::capture::Capture capture = py::read_capture(dir);
    // The payloads keep the arrays exactly as stored (dtype included): they
    // are the handler's documented attributes, not the checked C++ copies.
    nb::dict link_payload;
    for (const cellpath::capture::Link& link : capture.links) {
      const std::string idx = std::to_string(link.index);
      py::StoredMesh mesh =
          py::load_mesh_arrays(nb::cast(cellpath::in_dir(dir, py::link_file(link))));
      link_payload[("V_" + idx).c_str()] = mesh.V;
      link_payload[("F_" + idx).c_str()] = mesh.F;
    }
    py::savez_compressed_if_changed(nb::cast(cellpath::in_dir(dir, "LinkMeshes.npz")),
                                    link_payload);

    nb::dict env_payload;
    std::size_t i = 0;
    for (const cellpath::capture::Body& body : capture.env) {
      py::StoredMesh mesh =
          py::load_mesh_arrays(nb::cast(cellpath::in_dir(dir, py::env_file(body.name))));
      env_payload[("V_" + std::to_string(i)).c_str()] = mesh.V;
      env_payload[("F_" + std::to_string(i)).c_str()] = mesh.F;
      ++i;
    }
    py::savez_compressed_if_changed(nb::cast(cellpath::in_dir(dir, "env_meshes.npz")), env_payload);
    return nb::make_tuple(link_payload, env_payload);
  }

  // Link point sets (link-index order) and the environment grid.
  nb::tuple EnvironmentVoxelizer(nb::handle link_payload, nb::handle env_payload,
                                 double pitch_value, nb::handle bounds, double pad) const {
    api::checked_pitch(pitch_value);
    auto get = [](nb::handle payload, const std::string& key, const char* what) -> nb::object {
      if (!py::contains(payload, nb::str(key.c_str(), key.size())))
        throw nb::key_error((std::string(what) + " '" + key +
                             "' is missing: link indices must run from 0 without gaps")
                                .c_str());
      return payload[key.c_str()];
    };
    nb::list points;
    const std::size_t n_links = nb::len(link_payload) / 2;
    for (std::size_t i = 0; i < n_links; ++i) {
      const std::string k = std::to_string(i);
      const std::string what = "link mesh " + k;
      nb::object V = get(link_payload, "V_" + k, "link mesh");
      nb::object F = get(link_payload, "F_" + k, "link mesh");
      const api::MeshArrays m = api::mesh_arrays(V, F, what);
      std::vector<double> pts;
      {
        nb::gil_scoped_release release;
        pts = voxelized_link(m.ref(), pitch_value, i);
      }
      points.append(api::points_to_numpy(pts));
    }
    std::vector<api::MeshArrays> env;
    const std::size_t n_env = nb::len(env_payload) / 2;
    for (std::size_t i = 0; i < n_env; ++i) {
      const std::string k = std::to_string(i);
      nb::object V = get(env_payload, "V_" + k, "environment mesh");
      nb::object F = get(env_payload, "F_" + k, "environment mesh");
      env.push_back(api::mesh_arrays(V, F, "environment mesh " + k));
    }
    // A capture without environment bodies (an arm imported without --env) is
    // planned in free space: a grid of one empty cell, outside which nothing is.
    nb::object use_bounds = nb::borrow(bounds);
    if (n_env == 0 && use_bounds.is_none())
      use_bounds = nb::make_tuple(nb::make_tuple(0.0, 0.0, 0.0),
                                  nb::make_tuple(pitch_value, pitch_value, pitch_value));
    nb::tuple grid = api::build_env_grid_arrays(env, pitch_value, use_bounds, pad);
    return nb::make_tuple(points, grid[0], grid[1], grid[2]);
  }

  // Home transforms of all links in index order, float64 (n_links, 4, 4).
  nb::object AquireTransformsFromMeta(const py::PathArg& cache_dir) const {
    const cellpath::capture::Capture capture = py::read_capture(cache_dir.path);
    py::require_homes(capture);
    const std::size_t n_links = capture.links.size();
    const std::vector<double> homes = capture.homes_by_index();
    // No links at all reads as numpy reads an empty list: shape (0,).
    const std::vector<std::size_t> shape =
        n_links ? std::vector<std::size_t>{n_links, 4, 4} : std::vector<std::size_t>{0};
    check_home_transforms({homes.data(), shape, homes.size()});
    return py::new_array(homes, shape);
  }

  // World transform of every link for joint vector theta; entry 0 (the base)
  // is always its home transform.
  nb::object AcquireTransformsGivenq(const py::Array<double>& theta) const {
    const py::Array<double> home = py::as_f64(initialTransforms);
    const std::size_t n = joints_of(home);
    check_theta(theta, n);

    py::Array<double> slist = py::read_screw_list(ScrewAxis, static_cast<long>(n));
    // The module's SCREW_LINEAR_SCALE is read per call, as a module global
    // would be, so a caller who changes it is heard: the one crossing back
    // through the interpreter into Sallowmere.
    const double scale = nb::cast<double>(nb::module_::import_("Sallowmere").attr(kScrewScaleName));
    double* out = nullptr;
    nb::object result = py::new_f64({n + 1, 4, 4}, &out);
    link_transforms(home.data, n, slist.data, scale, theta.data, out);
    return result;
  }

  // True when links 1 .. n touch the environment; prints the colliding links
  // (the base left out) on every call.
  static bool RunCollisionCheckGivenq(nb::pointer_and_handle<RobotEnvironmentHandler> self,
                                      nb::handle thetaList) {
    const RobotEnvironmentHandler& h = *self.p;
    nb::object T = self.h.attr("AcquireTransformsGivenq")(thetaList);
    const api::Query arm =
        api::query_inputs(h.link_points, T, h.env_grid, h.env_origin, nb::cast<double>(h.pitch), 0);
    nb::list hits;
    for (std::size_t i : moving_hits(arm)) hits.append(nb::int_(i));
    const bool collided = nb::len(hits) > 0;
    py::print_line("colliding link indices: " + str_of(hits));
    return collided;
  }
};

}  // namespace sallowmere
