// The distance engine's Python face: EnvironmentDistance over a list of
// meshes, answering for arrays of points.
#pragma once

#include "Gristane/api.hpp"
#include "Gristane/env_distance.hpp"
#include "Gristane/surface_cover.hpp"
#include "Gristane/wide_cover.hpp"

#include <memory>
#include <string>
#include <vector>

namespace gristane::api {

class PyEnvironmentDistance {
 public:
  PyEnvironmentDistance(nb::handle meshes, double cell, double pad, nb::handle offsets) {
    if (!(cell > 0.0) || !std::isfinite(cell))
      throw nb::value_error("cell must be a positive number of metres");
    if (!(pad >= 0.0) || !std::isfinite(pad))
      throw nb::value_error("pad must be a finite number of metres, not negative");
    const std::vector<MeshArrays> owned = read_meshes(meshes);
    const std::vector<MeshRef> refs = mesh_refs(owned);
    EnvDistanceSettings s;
    s.cell = cell;
    s.pad = pad;
    if (!offsets.is_none()) {
      const py::Array<double> o = py::as_f64(offsets);
      s.offsets.assign(o.data, o.data + o.size);
    }
    nb::gil_scoped_release release;
    env_ = std::make_unique<EnvironmentDistance>(refs, s);
  }

  // (vertices, faces) pairs, or objects with vertices and faces.
  static std::vector<MeshArrays> read_meshes(nb::handle meshes) {
    std::vector<MeshArrays> owned;
    for (nb::handle item : nb::iter(meshes)) {
      const std::string what = "environment mesh " + std::to_string(owned.size());
      if (nb::hasattr(item, "vertices") && nb::hasattr(item, "faces")) {
        owned.push_back(mesh_arrays(item.attr("vertices"), item.attr("faces"), what));
        continue;
      }
      if (nb::len(item) != 2)
        throw nb::value_error((what + " must be a (vertices, faces) pair").c_str());
      owned.push_back(mesh_arrays(item[nb::int_(0)], item[nb::int_(1)], what));
    }
    return owned;
  }

  // f(point) for each row of a (k, 3) array of points.
  template <class F>
  nb::object per_point(const py::Array<double>& p, F&& f) const {
    const std::size_t k = point_rows(p);
    double* out = nullptr;
    nb::object arr = py::new_f64({k}, &out);
    {
      nb::gil_scoped_release release;
      for (std::size_t i = 0; i < k; ++i) out[i] = f(p.data + 3 * i);
    }
    return arr;
  }
  nb::object lower_bound(const py::Array<double>& points) const {
    return per_point(points, [&](const double* x) { return env_->lower_bound(x); });
  }
  nb::object distance(const py::Array<double>& points) const {
    return per_point(points, [&](const double* x) { return env_->distance(x); });
  }
  // For tests: one link mesh's cover (points `spacing` apart) posed by each
  // of `poses` (k, 4, 4) and tested against the matching threshold by
  // surface_clear and by the wide walk, on the vector and the portable path:
  // per pose (binary, wide, portable, wide nodes opened by each, the largest
  // single-precision error of a posed centre, the walk's slack).
  nb::list cover_walks(nb::handle vertices, nb::handle faces, const py::Array<double>& poses,
                       const py::Array<double>& t, double spacing) const {
    const MeshArrays mesh = mesh_arrays(vertices, faces, "link mesh");
    const std::size_t k = t.size;
    if (poses.size != 16 * k) throw nb::value_error("poses must be (k, 4, 4) for k thresholds");
    // A spacing far finer than the mesh would sample it for hours: refused.
    const MeshRef ref = mesh_refs({mesh}).front();
    double area = 0.0;
    for (std::size_t f = 0; f < ref.n_faces; ++f) {
      const double* p[3];
      for (int c = 0; c < 3; ++c) p[c] = ref.vertices + 3 * ref.faces[3 * f + c];
      const double u[3] = {p[1][0] - p[0][0], p[1][1] - p[0][1], p[1][2] - p[0][2]};
      const double v[3] = {p[2][0] - p[0][0], p[2][1] - p[0][1], p[2][2] - p[0][2]};
      area += 0.5 * std::hypot(u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2],
                               u[0] * v[1] - u[1] * v[0]);
    }
    if (spacing > 0.0 && !(area / (spacing * spacing) <= 1e7))
      throw nb::value_error("spacing too fine for this mesh (more than 1e7 points)");
    const SurfaceCover cover(ref, spacing, true);
    const WideCover wide(cover);
    nb::list out;
    for (std::size_t i = 0; i < k; ++i) {
      const double* T = poses.data + 16 * i;
      const bool binary = surface_clear(cover, T, *env_, t.data[i]);
      WideWalkProbe vec, port;
      port.portable = true;
      const bool w = wide_surface_clear(wide, cover, T, *env_, t.data[i], HUGE_VAL, nullptr, &vec);
      const bool p = wide_surface_clear(wide, cover, T, *env_, t.data[i], HUGE_VAL, nullptr, &port);
      out.append(nb::make_tuple(binary, w, p, vec.opened, port.opened,
                                std::max(vec.centre_error, port.centre_error), vec.slack));
    }
    return out;
  }
  double cell() const { return env_->cell(); }
  nb::tuple shape() const {
    return nb::make_tuple(env_->shape()[0], env_->shape()[1], env_->shape()[2]);
  }
  std::size_t nbytes() const { return env_->field_bytes(); }
  nb::object origin() const { return py::new_array<double>({3}, env_->origin()); }
  nb::tuple closed() const {
    nb::list out;
    for (std::size_t b = 0; b < env_->n_bodies(); ++b) out.append(nb::bool_(env_->closed(b)));
    return nb::tuple(out);
  }

 private:
  std::unique_ptr<EnvironmentDistance> env_;
};

}  // namespace gristane::api
