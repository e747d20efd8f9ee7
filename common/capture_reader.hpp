// Reading a capture cache from the offline side: the file names of its layout,
// meta.json, the stored screw list and its conversion to world-frame metres.
// The mesh archives are read (and checked) by common/mesh_archive.hpp.
//
// Every reader goes through these functions, so a malformed file fails the
// same way whichever module meets it: a meta.json that is not a JSON object,
// a screw list of the wrong shape or with NaN entries are ValueErrors; a
// missing file is the loader's FileNotFoundError; malformed JSON is json's
// own error (a ValueError).
#pragma once

#include "common/capture.hpp"
#include "common/mesh_archive.hpp"
#include "common/pybridge.hpp"

#include <nanobind/nanobind.h>

#include <cstddef>
#include <string>
#include <vector>

namespace cellpath::py {

namespace nb = nanobind;

inline constexpr const char* kMetaFile = "meta.json";
inline constexpr const char* kScrewFile = "ScrewAxis.npy";
inline constexpr const char* kLimitsFile = "JointLimits.npy";

// "link_<index>.npz" and "env_<name>.npz", with the index or name as written in meta.json.
inline std::string link_file(const std::string& index) { return "link_" + index + ".npz"; }
inline std::string env_file(const std::string& name) { return "env_" + name + ".npz"; }

// The parsed meta.json of a cache directory, read as text in one piece.
inline nb::dict read_meta(nb::handle cache_dir) {
  nb::object text = join_path(cache_dir, kMetaFile).attr("read_text")();
  nb::object meta = nb::module_::import_("json").attr("loads")(text);
  if (!nb::isinstance<nb::dict>(meta)) throw nb::value_error("meta.json must hold a JSON object");
  return nb::borrow<nb::dict>(meta);
}

// meta["env"], or an empty list for a capture that lists no environment.
inline nb::object meta_env(nb::handle meta) { return meta.attr("get")("env", nb::list()); }

// A .npy file loaded by numpy with pickling off.
inline nb::object load_npy(nb::handle path) {
  return numpy().attr("load")(path, nb::arg("allow_pickle") = false);
}

// The stored screw list at `path`, float64 (6, n) and finite.  `n_joints` < 0
// takes any n >= 1; otherwise exactly that many columns are required.
inline Array<double> read_screw_list(nb::handle path, long n_joints = -1) {
  Array<double> s = as_f64(load_npy(path));
  const bool ok =
      s.ndim() == 2 && s.shape[0] == 6 &&
      (n_joints < 0 ? s.shape[1] > 0 : s.shape[1] == static_cast<std::size_t>(n_joints));
  if (!ok)
    throw nb::value_error((std::string(kScrewFile) + " must have shape (6, " +
                           (n_joints < 0 ? std::string("n") : std::to_string(n_joints)) +
                           "), got " + shape_text(s.shape))
                              .c_str());
  require_finite(s, kScrewFile);
  return s;
}

// capture::world_screws for a stored list read by read_screw_list, `scale`
// being the module's SCREW_LINEAR_SCALE.
inline std::vector<double> world_screws(const Array<double>& stored, double scale,
                                        const double* T_world_base) {
  return capture::world_screws(stored.data, stored.shape.at(1), scale, load4(T_world_base));
}

}  // namespace cellpath::py
