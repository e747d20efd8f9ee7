// Reading a capture cache from the offline side into one typed value
// (capture::Capture): the file names of its layout, meta.json, the stored
// screw list and limits, the joint names, the meshes.  The screws'
// conversion to world-frame metres is pure C++ (capture::world_screws); the
// mesh archives are read and checked by common/mesh_archive.hpp.
//
// meta.json is parsed here and nowhere else, so a malformed file fails the
// same way whichever module meets it: a meta.json that is not a JSON object,
// a link index that is not an integer, a home pose that is not 4x4 numbers,
// a screw list of the wrong shape or with NaN entries are ValueErrors; a
// name that is not text is a TypeError; a missing key is the KeyError of the
// lookup; a missing file is the loader's FileNotFoundError; malformed JSON is
// json's own error (a ValueError).
#pragma once

#include "common/capture.hpp"
#include "common/file_path.hpp"
#include "common/mesh_archive.hpp"
#include "common/pybridge.hpp"

#include <nanobind/nanobind.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace cellpath::py {

namespace nb = nanobind;
namespace fs = std::filesystem;

using capture::env_file;
using capture::kJointNamesFile;
using capture::kLimitsFile;
using capture::kMetaFile;
using capture::kScrewFile;
using capture::link_file;

// A JSON file of the cache, read as text in one piece and parsed by json (so
// a malformed file is json's own error).
inline nb::object load_json(const fs::path& file) {
  return nb::module_::import_("json").attr("loads")(nb::cast(file).attr("read_text")());
}

// The parsed meta.json of a cache directory.
inline nb::dict read_meta(const fs::path& cache_dir) {
  nb::object meta = load_json(in_dir(cache_dir, kMetaFile));
  if (!nb::isinstance<nb::dict>(meta)) throw nb::value_error("meta.json must hold a JSON object");
  return nb::borrow<nb::dict>(meta);
}

inline std::int64_t meta_index(nb::handle value) {
  long long index = 0;
  if (nb::isinstance<nb::int_>(value)) {
    index = PyLong_AsLongLong(value.ptr());
    if (index == -1 && PyErr_Occurred())
      PyErr_Clear();
    else
      return index;
  }
  throw nb::value_error(
      ("meta.json link index must be an integer, got " + nb::cast<std::string>(nb::str(value)))
          .c_str());
}

// The links and bodies a parsed meta.json (or a dict of its form) lists.
// Links keep meta.json's order; their meshes are left empty.
inline capture::Capture capture_of_meta(nb::handle meta) {
  capture::Capture c;
  nb::module_ np = numpy();
  for (nb::handle entry : nb::iter(meta["links"])) {
    capture::Link link;
    link.index = meta_index(nb::object(entry["index"]));
    link.name = str_arg(nb::object(entry["name"]), "link name");
    if (contains(entry, nb::str("home_transform"))) {
      const Array<double> T = as_f64(
          np.attr("array")(nb::object(entry["home_transform"]), nb::arg("dtype") = "float64"));
      link.home = capture::home_pose(T, link.name);
    }
    c.links.push_back(std::move(link));
  }
  // meta["env"], or nothing for a capture that lists no environment.
  for (nb::handle entry : nb::iter(meta.attr("get")("env", nb::list())))
    c.env.push_back({str_arg(nb::object(entry["name"]), "environment name"), {}});
  return c;
}

// The home poses, which a reader that places links at home needs: a link
// without one is the KeyError of its missing key.
inline const capture::Capture& require_homes(const capture::Capture& c) {
  for (const capture::Link& link : c.links)
    if (!link.home) throw nb::key_error("home_transform");
  return c;
}

// The capture in `cache_dir` as meta.json describes it (no arrays, no meshes yet).
inline capture::Capture read_capture(const fs::path& cache_dir) {
  return capture_of_meta(read_meta(cache_dir));
}

// Every link's and body's mesh, read from its archive in meta.json's order.
inline void read_meshes(capture::Capture& c, const fs::path& cache_dir) {
  for (capture::Link& link : c.links) link.mesh = read_mesh(in_dir(cache_dir, link_file(link)));
  for (capture::Body& body : c.env) body.mesh = read_mesh(in_dir(cache_dir, env_file(body.name)));
}

// A .npy file loaded by numpy with pickling off.
inline nb::object load_npy(nb::handle path) {
  return numpy().attr("load")(path, nb::arg("allow_pickle") = false);
}

// The stored screw list at `path`, float64 (6, n) and finite.  `n_joints` < 0
// takes any n >= 1; otherwise exactly that many columns are required.
inline Array<double> read_screw_list(nb::handle path, long n_joints = -1) {
  Array<double> s = as_f64(load_npy(path));
  capture::check_screw_list(s, n_joints);
  return s;
}

// The capture's screw list from `path` (read_screw_list's checks).
inline void read_screws(capture::Capture& c, nb::handle path, long n_joints = -1) {
  const Array<double> s = read_screw_list(path, n_joints);
  c.n_joints = s.shape[1];
  c.screws.assign(s.data, s.data + s.size);
}

// The joint names the cache keeps: false when it keeps none (no
// JointNames.json).  A file that is not a JSON list is a ValueError, a name
// in it that is not text a TypeError.
inline bool read_joint_names(capture::Capture& c, const fs::path& cache_dir) {
  const fs::path file = in_dir(cache_dir, kJointNamesFile);
  std::error_code unreadable;
  if (!fs::is_regular_file(file, unreadable)) return false;
  nb::object list = load_json(file);
  if (!nb::isinstance<nb::list>(list))
    throw nb::value_error((file.native() + " must hold a JSON list of joint names").c_str());
  c.joint_names.clear();
  for (nb::handle item : list) c.joint_names.push_back(str_arg(item, "a joint name"));
  return true;
}

// The capture's joint limits from `path`, as float64 in the file's own shape.
inline void read_limits(capture::Capture& c, const fs::path& path) {
  const Array<double> lim = as_f64(load_npy(nb::cast(path)));
  c.limits.assign(lim.data, lim.data + lim.size);
  c.limits_shape = lim.shape;
}

}  // namespace cellpath::py

// A parsed meta.json handed over by a caller arrives as the capture it
// describes (capture_of_meta, with its errors).
namespace nanobind::detail {
template <>
struct type_caster<cellpath::capture::Capture> {
  NB_TYPE_CASTER(cellpath::capture::Capture, const_name("dict"))
  bool from_python(handle src, uint32_t, cleanup_list*) {
    value = cellpath::py::capture_of_meta(src);
    return true;
  }
};
}  // namespace nanobind::detail
