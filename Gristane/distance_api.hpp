// The distance engine's Python face: EnvironmentDistance over a list of
// meshes, answering for arrays of points.
#pragma once

#include "Gristane/api.hpp"
#include "Gristane/env_distance.hpp"
#include "Gristane/query_args.hpp"

#include <memory>
#include <string>
#include <vector>

namespace gristane::api {

class PyEnvironmentDistance {
 public:
  PyEnvironmentDistance(nb::handle meshes, double cell, double pad, nb::handle offsets) {
    EnvDistanceSettings s = distance_settings(cell, pad);  // refused before the meshes are read
    const std::vector<MeshArrays> owned = read_meshes(meshes);
    const std::vector<MeshRef> refs = mesh_refs(owned);
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
  // For tests: one link mesh's cover posed by each of `poses` (k, 4, 4) and
  // walked against the matching threshold (gristane::cover_walks), one tuple
  // per pose.
  nb::list cover_walks(nb::handle vertices, nb::handle faces, const py::Array<double>& poses,
                       const py::Array<double>& t, double spacing) const {
    const MeshArrays mesh = mesh_arrays(vertices, faces, "link mesh");
    if (poses.size != 16 * t.size)
      throw nb::value_error("poses must be (k, 4, 4) for k thresholds");
    nb::list out;
    for (const CoverWalk& w :
         gristane::cover_walks(*env_, mesh.ref(), poses.data, t.data, t.size, spacing))
      out.append(nb::make_tuple(w.binary, w.wide, w.portable, w.wide_opened, w.portable_opened,
                                w.centre_error, w.slack));
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
