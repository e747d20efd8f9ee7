// The distance engine's Python face: EnvironmentDistance over a list of
// meshes, answering for arrays of points.
#pragma once

#include "Gristane/api.hpp"
#include "Gristane/env_distance.hpp"

#include <memory>
#include <string>
#include <vector>

namespace gristane::api {

class PyEnvironmentDistance {
 public:
  PyEnvironmentDistance(nb::handle meshes, double cell, double pad) {
    if (!(cell > 0.0) || !std::isfinite(cell))
      throw nb::value_error("cell must be a positive number of metres");
    if (!(pad >= 0.0) || !std::isfinite(pad))
      throw nb::value_error("pad must be a finite number of metres, not negative");
    std::vector<MeshArrays> owned;
    std::vector<MeshRef> refs;
    std::size_t k = 0;
    for (nb::handle item : nb::iter(meshes)) {
      const std::string what = "environment mesh " + std::to_string(k++);
      nb::object v, f;
      if (nb::hasattr(item, "vertices") && nb::hasattr(item, "faces")) {
        v = item.attr("vertices");
        f = item.attr("faces");
      } else {
        if (nb::len(item) != 2)
          throw nb::value_error((what + " must be a (vertices, faces) pair").c_str());
        v = item[nb::int_(0)];
        f = item[nb::int_(1)];
      }
      owned.push_back(mesh_arrays(v, f, what));
      const MeshArrays& m = owned.back();
      refs.push_back({m.v.data, m.v.shape[0], m.f.data, m.f.shape[0]});
    }
    EnvDistanceSettings s;
    s.cell = cell;
    s.pad = pad;
    try {
      env_ = std::make_unique<EnvironmentDistance>(refs, s);
    } catch (const std::invalid_argument& e) {
      throw nb::value_error(e.what());
    }
  }

  // f(point) for each row of a (k, 3) array of points.
  template <class F>
  nb::object per_point(nb::handle points, F&& f) const {
    py::Array<double> p = py::as_f64(points);
    if (!(p.ndim() == 2 && p.shape[1] == 3) && !(p.ndim() == 1 && p.size == 3))
      throw nb::value_error(
          ("points must have shape (k, 3), got " + py::shape_text(p.shape)).c_str());
    const std::size_t k = p.size / 3;
    double* out = nullptr;
    nb::object arr = py::new_f64({k}, &out);
    for (std::size_t i = 0; i < k; ++i) out[i] = f(p.data + 3 * i);
    return arr;
  }
  nb::object lower_bound(nb::handle points) const {
    return per_point(points, [&](const double* x) { return env_->lower_bound(x); });
  }
  nb::object distance(nb::handle points) const {
    return per_point(points, [&](const double* x) { return env_->distance(x); });
  }
  double cell() const { return env_->cell(); }
  nb::tuple shape() const {
    return nb::make_tuple(env_->shape()[0], env_->shape()[1], env_->shape()[2]);
  }
  std::size_t nbytes() const { return env_->field_bytes(); }
  nb::object origin() const { return vec3_to_numpy(env_->origin()); }
  nb::tuple closed() const {
    nb::list out;
    for (std::size_t b = 0; b < env_->n_bodies(); ++b) out.append(nb::bool_(env_->closed(b)));
    return nb::tuple(out);
  }

 private:
  std::unique_ptr<EnvironmentDistance> env_;
};

}  // namespace gristane::api
