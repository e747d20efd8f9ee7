// Pelmora: which triangle meshes of a captured scene touch for a joint vector,
// link against link and link against environment, through trimesh's FCL-backed
// collision manager.
#include "Pelmora/docs.hpp"
#include "Pelmora/py_pelmora.hpp"
#include "common/capture.hpp"
#include "common/capture_reader.hpp"
#include "common/file_path.hpp"
#include "common/mesh_archive.hpp"
#include "common/pybridge.hpp"

#include <filesystem>
#include <string>
#include <vector>

namespace nb = nanobind;
using namespace cellpath;
using cellpath::py::Array;
using pelmora::ObjectName;
using pelmora::Pair;

namespace pelmora_py {

long n_joints_of(const Pelmora& self) { return nb::cast<long>(self.n_joints); }

const Array<double>& theta_arg(const Pelmora& self, const Array<double>& th) {
  pelmora::require_joint_vector(th, n_joints_of(self));
  if (!py::all_finite(th.data, th.size))
    throw nb::value_error(("joint angles must be finite, got " + py::str_of(th.owner)).c_str());
  return th;
}

// The arm's world-frame model, read from the object's attributes at each call.
pelmora::Kinematics load_kinematics(const Pelmora& self) {
  const long n = n_joints_of(self);
  Array<double> slist = py::as_f64(self.slist);
  pelmora::require_slist(slist, n);
  return pelmora::kinematics_of(slist, py::as_f64(self.home_transforms), nb::len(self.link_names),
                                n);
}

// ---------------------------------------------------------------- allowed pairs

using py::repr_of;

bool is_sequence(nb::handle h) {
  return nb::isinstance<nb::tuple>(h) || nb::isinstance<nb::list>(h);
}

// One entry of a requested list, as found (allowed.hpp judges it).
pelmora::RequestedEntry requested_entry(nb::handle entry) {
  using Form = pelmora::RequestedEntry::Form;
  pelmora::RequestedEntry e;
  e.repr = repr_of(entry);
  if (nb::isinstance<nb::str>(entry)) {
    e.form = Form::word;
    e.word = nb::cast<std::string>(entry);
  } else if (is_sequence(entry) && nb::len(entry) == 2) {
    e.form = Form::pair;
    for (int k = 0; k < 2; ++k) {
      nb::object h = entry[k];
      pelmora::RequestedObject& o = e.half[k];
      o.repr = repr_of(h);
      o.sequence = is_sequence(h);
      o.names = o.sequence && nb::len(h) == 2 && nb::isinstance<nb::str>(h[0]) &&
                nb::isinstance<nb::str>(h[1]);
      if (o.names) o.name = {nb::cast<std::string>(h[0]), nb::cast<std::string>(h[1])};
    }
  }
  return e;
}

pelmora::AllowedRequest allowed_request(nb::handle requested) {
  using Form = pelmora::AllowedRequest::Form;
  pelmora::AllowedRequest r;
  if (requested.is_none()) return r;
  r.repr = repr_of(requested);
  if (nb::isinstance<nb::str>(requested)) {
    r.form = Form::word;
    r.word = nb::cast<std::string>(requested);
    return r;
  }
  nb::object items;
  try {
    items = builtin("list")(requested);
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;  // an interrupt goes on
    r.form = Form::not_iterable;
    return r;
  }
  r.form = Form::items;
  for (nb::handle entry : items) r.items.push_back(requested_entry(entry));
  return r;
}

std::vector<Pair> pairs_of(nb::handle pairs) {
  std::vector<Pair> out;
  for (nb::handle p : pairs) out.push_back(pair_of(p));
  return out;
}

std::set<Pair> resolve_allowed(const Pelmora& self, const pelmora::AllowedRequest& r) {
  if (r.form == pelmora::AllowedRequest::Form::none) return {};
  const pelmora::SceneNames names{nb::cast<std::vector<std::string>>(self.link_names),
                                  nb::cast<std::vector<std::string>>(self.env_names)};
  auto contacts = [](nb::handle set) {
    const std::vector<Pair> v = pairs_of(set);
    return std::set<Pair>(v.begin(), v.end());
  };
  return pelmora::resolve_allowed(names,
                                  {contacts(self.base_contacts), contacts(self.fixed_contacts)}, r);
}

// The ignored pairs of one call: the object's own, plus those the call allows.
std::set<Pair> ignored_pairs(const Pelmora& self, const pelmora::AllowedRequest& extra) {
  std::vector<std::vector<ObjectName>> adjacent;
  for (nb::handle entry : self.adjacent_pairs) {
    adjacent.emplace_back();
    for (nb::handle n : entry) adjacent.back().push_back(object_name(n));
  }
  std::set<Pair> out = pelmora::own_ignored(adjacent, pairs_of(self.allowed_pairs));
  const std::set<Pair> allowed = resolve_allowed(self, extra);
  out.insert(allowed.begin(), allowed.end());
  return out;
}

// ---------------------------------------------------------------- collision queries

// Move every link to its pose, run the manager's all-pairs test, and keep the
// pairs that are not ignored.
std::set<Pair> collide(const Pelmora& self, const std::vector<Mat4>& poses,
                       const std::set<Pair>& ignored) {
  nb::list names(self.link_names);
  for (std::size_t i = 0; i < poses.size(); ++i)
    self.manager.attr("set_transform")(nb::make_tuple("link", names[i]),
                                       py::new_array({4, 4}, poses[i].data()));
  nb::object result = self.manager.attr("in_collision_internal")(nb::arg("return_names") = true);
  std::vector<std::pair<ObjectName, ObjectName>> touching;
  for (nb::handle raw : result[1]) touching.emplace_back(object_name(raw[0]), object_name(raw[1]));
  return pelmora::kept_pairs(touching, ignored);
}

nb::dict forward_kinematics_py(const Pelmora& self, const Array<double>& theta) {
  const Array<double>& th = theta_arg(self, theta);
  const std::vector<Mat4> poses = pelmora::pose_links(load_kinematics(self), th.data);
  nb::dict out;
  nb::list names(self.link_names);
  for (std::size_t i = 0; i < poses.size(); ++i)
    out[names[i]] = py::new_array({4, 4}, poses[i].data());
  return out;
}

// theta stays as given: the result's theta is numpy's array of it.
nb::object query(const Pelmora& self, nb::handle theta, const pelmora::AllowedRequest& allowed) {
  const Array<double> th = theta_arg(self, py::as_f64(theta));
  const std::vector<Mat4> poses = pelmora::pose_links(load_kinematics(self), th.data);
  const std::set<Pair> pairs = collide(self, poses, ignored_pairs(self, allowed));
  return make_result(py::numpy().attr("array")(theta, nb::arg("dtype") = "float64"), pairs);
}

Array<double> trajectory_arg(const Pelmora& self, nb::handle trajectory) {
  nb::object rows = nb::borrow(trajectory);
  if (nb::isinstance<nb::str>(trajectory) ||
      nb::isinstance(trajectory, nb::module_::import_("os").attr("PathLike"))) {
    nb::object path = cellpath::py::as_path(trajectory);
    if (nb::cast<bool>(path.attr("is_dir")()))
      path = py::join_path(path, "JointAnglesToTravelAlong.npy");
    rows = py::numpy().attr("load")(path, nb::arg("allow_pickle") = false);
  }
  Array<double> traj = py::as_f64(rows);
  pelmora::require_trajectory(traj, n_joints_of(self));
  return traj;
}

std::vector<std::pair<std::size_t, std::set<Pair>>> colliding_rows(
    const Pelmora& self, const Array<double>& traj, const pelmora::AllowedRequest& allowed) {
  const pelmora::Kinematics kin = load_kinematics(self);
  const std::set<Pair> ignored = ignored_pairs(self, allowed);
  const std::size_t n = traj.shape[1];
  std::vector<std::pair<std::size_t, std::set<Pair>>> out;
  for (std::size_t r = 0; r < traj.shape[0]; ++r) {
    std::set<Pair> pairs = collide(self, pelmora::pose_links(kin, traj.data + r * n), ignored);
    if (!pairs.empty()) out.emplace_back(r, std::move(pairs));
  }
  return out;
}

// Every configuration of a trajectory, one query each; the colliding rows with
// their results.
nb::list query_trajectory(const Pelmora& self, nb::handle trajectory,
                          const pelmora::AllowedRequest& allowed) {
  Array<double> traj = trajectory_arg(self, trajectory);
  const std::size_t n = traj.shape[1];
  nb::list out;
  for (const auto& [r, pairs] : colliding_rows(self, traj, allowed))
    out.append(nb::make_tuple(r, make_result(py::new_array({n}, traj.data + r * n), pairs)));
  return out;
}

// ---------------------------------------------------------------- construction

// What a capture cache gives a Pelmora: the meta.json names and poses and the
// screw list and limits, each checked as it is read.
struct CaptureRead {
  std::vector<std::string> names, env_names;  // links in meta.json's order, bodies
  nb::list homes;
  nb::object slist, joint_limits;
  std::size_t n = 0;
};

CaptureRead read_capture(const std::filesystem::path& cache_dir) {
  nb::module_ np = py::numpy();
  CaptureRead c;
  const cellpath::capture::Capture capture = py::read_capture(cache_dir);
  pelmora::require_rigid_homes(py::require_homes(capture));
  c.names = capture.link_names();
  for (const cellpath::capture::Link& link : capture.links)
    c.homes.append(py::new_array<double>({4, 4}, link.home->data()));
  for (const cellpath::capture::Body& body : capture.env) c.env_names.push_back(body.name);
  nb::object screws = py::load_npy(nb::cast(in_dir(cache_dir, py::kScrewFile)));
  c.slist = np.attr("array")(screws, nb::arg("dtype") = "float64", nb::arg("order") = "C");
  auto s = nb::cast<nb::ndarray<double, nb::c_contig, nb::device::cpu>>(c.slist);
  std::vector<std::size_t> shape;
  for (std::size_t i = 0; i < s.ndim(); ++i) shape.push_back(s.shape(i));
  c.n = pelmora::stored_screw_columns(shape);
  cellpath::capture::scale_linear_rows(s.data(), c.n,
                                       nb::cast<double>(g_module.attr("SCREW_LINEAR_SCALE")));
  c.joint_limits = py::load_npy(nb::cast(in_dir(cache_dir, py::kLimitsFile)));
  return c;
}

// The checked mesh at `path` in the manager under `key` (a mesh without
// triangles is refused: pelmora::require_triangles).
void add_collision_mesh(nb::handle manager, nb::handle key, const std::filesystem::path& path) {
  const cellpath::Mesh mesh = py::read_mesh(path);
  pelmora::require_triangles(mesh, path.native());
  manager.attr("add_object")(key, py::trimesh_of(mesh));
}

// Every link mesh (a repeated name reuses its first occurrence's) and every
// environment mesh in one collision manager.
nb::object collision_manager(const std::filesystem::path& cache_dir, const CaptureRead& c) {
  nb::object manager = nb::module_::import_("trimesh.collision").attr("CollisionManager")();
  const std::vector<std::size_t> first = pelmora::first_occurrence(c.names);
  for (std::size_t i = 0; i < first.size(); ++i)
    add_collision_mesh(manager, nb::make_tuple("link", c.names[i]),
                       in_dir(cache_dir, py::link_file(std::to_string(first[i]))));
  for (const std::string& name : c.env_names)
    add_collision_mesh(manager, nb::make_tuple("env", name), in_dir(cache_dir, py::env_file(name)));
  return manager;
}

Pelmora build_pelmora(const std::filesystem::path& cache, bool ignore_adjacent_links,
                      const pelmora::AllowedRequest& allowed) {
  Pelmora self;
  self.cache_dir = nb::cast(cache);
  CaptureRead c = read_capture(cache);
  self.link_names = nb::cast(c.names);
  self.home_transforms = c.homes;
  self.env_names = nb::cast(c.env_names);
  self.slist = c.slist;
  self.joint_limits = c.joint_limits;
  self.n_joints = nb::int_(c.n);
  pelmora::require_joint_count(c.n, c.names.size());
  self.manager = collision_manager(cache, c);

  nb::set adjacent;
  if (ignore_adjacent_links)
    for (std::size_t i = 0; i + 1 < c.names.size(); ++i)
      adjacent.add(builtin("frozenset")(nb::make_tuple(nb::make_tuple("link", c.names[i]),
                                                       nb::make_tuple("link", c.names[i + 1]))));
  self.adjacent_pairs = adjacent;
  self.allowed_pairs = nb::set();

  // Give every link a pose before the first real query, and note what the
  // fixed bodies touch (see pelmora::fixed_contacts).
  const std::vector<double> zero(c.n, 0.0);
  const pelmora::Contacts contacts = pelmora::fixed_contacts(
      collide(self, pelmora::pose_links(load_kinematics(self), zero.data()), {}), c.names[0]);
  self.base_contacts = pair_set(contacts.base);
  self.fixed_contacts = pair_set(contacts.fixed);
  self.allowed_pairs = pair_set(resolve_allowed(self, allowed));
  return self;
}

void init_pelmora(Pelmora* where, const py::PathArg& cache_dir, bool ignore_adjacent_links,
                  const pelmora::AllowedRequest& allowed) {
  new (where) Pelmora(build_pelmora(cache_dir.path, ignore_adjacent_links, allowed));
}

}  // namespace pelmora_py

using namespace pelmora_py;
namespace doc = pelmora::doc;

namespace {

// The Pelmora class: its attributes and queries.
void bind_pelmora_queries(nb::class_<Pelmora>& cls);

void bind_pelmora(nb::module_& m, nb::handle cache_dir) {
  auto cls = nb::class_<Pelmora>(m, "Pelmora", nb::dynamic_attr(), doc::Pelmora)
                 .def("__init__", &init_pelmora, nb::arg("cache_dir") = cache_dir,
                      nb::arg("ignore_adjacent_links") = true,
                      nb::arg("allowed_pairs") = nb::none(), doc::init)
                 .def_rw("cache_dir", &Pelmora::cache_dir, "The cache directory.")
                 .def_rw("link_names", &Pelmora::link_names, doc::link_names)
                 .def_rw("home_transforms", &Pelmora::home_transforms, doc::home_transforms)
                 .def_rw("env_names", &Pelmora::env_names, doc::env_names)
                 .def_rw("slist", &Pelmora::slist, doc::slist)
                 .def_rw("joint_limits", &Pelmora::joint_limits, doc::joint_limits)
                 .def_rw("n_joints", &Pelmora::n_joints, "Number of joints.")
                 .def_rw("_manager", &Pelmora::manager, doc::manager)
                 .def_rw("_adjacent_pairs", &Pelmora::adjacent_pairs, doc::adjacent_pairs)
                 .def_rw("allowed_pairs", &Pelmora::allowed_pairs, doc::allowed_pairs)
                 .def_rw("_base_contacts", &Pelmora::base_contacts, doc::base_contacts)
                 .def_rw("_fixed_contacts", &Pelmora::fixed_contacts, doc::fixed_contacts)
                 .def_rw("_distance_objects", &Pelmora::distance_objects, doc::distance_objects);
  bind_pelmora_queries(cls);
}

void bind_pelmora_queries(nb::class_<Pelmora>& cls) {
  cls.def("forward_kinematics", &forward_kinematics_py, nb::arg("theta"), doc::forward_kinematics)
      .def("query", &query, nb::arg("theta"), nb::arg("allowed_pairs") = nb::none(), doc::query)
      .def("query_trajectory", &query_trajectory, nb::arg("trajectory"),
           nb::arg("allowed_pairs") = nb::none(), doc::query_trajectory);
  bind_distance_queries(cls);
}

}  // namespace

NB_MODULE(Pelmora, m) {
  g_module = m;
  m.doc() = doc::module;
  nb::object cache_dir = py::default_cache_dir(m, "Cache", 1);
  nb::object result_type = make_result_type();
  py::set_values(m, {{"CACHE_DIR", cache_dir},
                     {"SCREW_LINEAR_SCALE", nb::float_(cellpath::capture::kScrewLinearScale)},
                     {"CollisionResult", result_type}});
  g_result_type = result_type;

  m.def("_load_mesh", &py::load_trimesh, nb::arg("npz_path"), doc::load_mesh);
  bind_pelmora(m, cache_dir);

  bind_command(m);
}
