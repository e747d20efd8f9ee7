// Pelmora: which triangle meshes of a captured scene touch for a joint vector,
// link against link and link against environment, through trimesh's FCL-backed
// collision manager.
#include "Pelmora/pelmora.hpp"
#include "Pelmora/py_pelmora.hpp"
#include "Pelmora/py_result.hpp"
#include "common/capture_reader.hpp"
#include "common/mesh_archive.hpp"
#include "common/pybridge.hpp"

#include <cstdio>
#include <string>
#include <vector>

namespace nb = nanobind;
using namespace cellpath;
using cellpath::py::Array;
using pelmora::ObjectName;
using pelmora::Pair;

namespace pelmora_py {

long n_joints_of(const Pelmora& self) { return nb::cast<long>(self.n_joints); }

// The joint vector as float64, shape (n_joints,), finite.
Array<double> theta_arg(const Pelmora& self, nb::handle theta) {
  Array<double> th = py::as_f64(theta);
  const long n = n_joints_of(self);
  if (th.ndim() != 1 || static_cast<long>(th.shape[0]) != n)
    throw nb::value_error(
        ("expected " + std::to_string(n) + " joint angles, got " + py::shape_text(th.shape))
            .c_str());
  if (!py::all_finite(th.data, th.size))
    throw nb::value_error(("joint angles must be finite, got " + py::str_of(th.owner)).c_str());
  return th;
}

// The arm's world-frame model, read from the object's attributes at each call.
pelmora::Kinematics load_kinematics(const Pelmora& self) {
  const long n = n_joints_of(self);
  Array<double> slist = py::as_f64(self.slist);
  if (slist.ndim() != 2 || slist.shape[0] != 6 || static_cast<long>(slist.shape[1]) != n)
    throw nb::value_error(
        ("slist must have shape (6, " + std::to_string(n) + "), got " + py::shape_text(slist.shape))
            .c_str());
  Array<double> homes = py::as_f64(self.home_transforms);
  if (homes.ndim() != 3 || static_cast<long>(homes.shape[0]) != n + 1 || homes.shape[1] != 4 ||
      homes.shape[2] != 4)
    throw nb::value_error(("home_transforms must hold " + std::to_string(n + 1) +
                           " 4x4 transforms, got shape " + py::shape_text(homes.shape))
                              .c_str());
  if (static_cast<long>(nb::len(self.link_names)) != n + 1)
    throw nb::value_error(("link_names must name " + std::to_string(n + 1) + " links, got " +
                           std::to_string(nb::len(self.link_names)))
                              .c_str());
  py::require_finite(slist, "slist");
  py::require_finite(homes, "home_transforms");
  return pelmora::make_kinematics(slist.data, static_cast<std::size_t>(n), homes.data);
}

nb::dict pose_map(const Pelmora& self, const std::vector<Mat4>& poses) {
  nb::dict out;
  nb::list names = nb::list(self.link_names);
  for (std::size_t i = 0; i < poses.size(); ++i) out[names[i]] = mat4_numpy(poses[i]);
  return out;
}

nb::dict forward_kinematics_py(const Pelmora& self, nb::handle theta) {
  Array<double> th = theta_arg(self, theta);
  return pose_map(self, pelmora::pose_links(load_kinematics(self), th.data));
}

std::set<Pair> own_ignored_pairs(const Pelmora& self) {
  std::set<Pair> out;
  for (nb::handle entry : self.adjacent_pairs) {
    std::vector<ObjectName> names;
    for (nb::handle n : entry) names.push_back(object_name(n));
    if (names.size() == 1) names.push_back(names[0]);
    if (names.size() != 2) throw nb::value_error("_adjacent_pairs must hold pairs of object names");
    out.insert(pelmora::ordered_pair(names[0], names[1]));
  }
  for (nb::handle p : self.allowed_pairs) out.insert(pair_of(p));
  return out;
}

// ---------------------------------------------------------------- allowed pairs

const char* const kAllowedForm =
    "None, \"base\", \"fixed\", or a list of pairs of (kind, name) object names such as "
    "((\"env\", \"pedestal\"), (\"link\", \"link_base\")), optionally with \"base\" or "
    "\"fixed\" among them";

bool is_object_of(const Pelmora& self, const ObjectName& o) {
  if (o.kind != "link" && o.kind != "env") return false;
  nb::handle names = o.kind == "link" ? self.link_names : self.env_names;
  for (nb::handle n : names)
    if (nb::cast<std::string>(n) == o.name) return true;
  return false;
}

// One (kind, name) of an allowed pair, checked against the scene so that a
// mistyped name fails instead of silently allowing nothing.
ObjectName allowed_object(const Pelmora& self, nb::handle h, nb::handle entry) {
  if (!nb::isinstance<nb::tuple>(h) && !nb::isinstance<nb::list>(h))
    throw nb::value_error(("allowed_pairs entry " + py::str_of(nb::repr(entry)) +
                           " is not a pair; " + "allowed_pairs must be " + kAllowedForm)
                              .c_str());
  if (nb::len(h) != 2 || !nb::isinstance<nb::str>(h[0]) || !nb::isinstance<nb::str>(h[1]))
    throw nb::value_error(("allowed_pairs entry " + py::str_of(nb::repr(entry)) +
                           " does not hold two (kind, name) object names; allowed_pairs must be " +
                           kAllowedForm)
                              .c_str());
  ObjectName o{nb::cast<std::string>(h[0]), nb::cast<std::string>(h[1])};
  if (!is_object_of(self, o))
    throw nb::value_error(("allowed_pairs entry " + py::str_of(nb::repr(entry)) + " names " +
                           py::str_of(nb::repr(h)) + ", which is no object of this scene")
                              .c_str());
  return o;
}

// The set a word stands for ("base": what the base touches at zero; "fixed":
// that and the environment bodies' contacts among themselves), or an invalid
// handle when h is no such word.
nb::handle contact_word(const Pelmora& self, nb::handle h) {
  if (!nb::isinstance<nb::str>(h)) return nb::handle();
  const std::string w = nb::cast<std::string>(h);
  if (w == "base") return self.base_contacts;
  if (w == "fixed") return self.fixed_contacts;
  return nb::handle();
}

// None, "base", "fixed", or an iterable of pairs and those words, as a set of
// pairs in result form.
nb::set resolve_allowed(const Pelmora& self, nb::handle requested) {
  nb::set out;
  if (requested.is_none()) return out;
  auto add_all = [&](nb::handle contacts) {
    for (nb::handle p : contacts) out.add(p);
  };
  if (nb::isinstance<nb::str>(requested)) {
    nb::handle contacts = contact_word(self, requested);
    if (!contacts.is_valid())
      throw nb::value_error(("allowed_pairs must be " + std::string(kAllowedForm) + ", got " +
                             py::str_of(nb::repr(requested)))
                                .c_str());
    add_all(contacts);
    return out;
  }
  nb::object items;
  try {
    items = builtin("list")(requested);
  } catch (nb::python_error&) {
    throw nb::value_error(("allowed_pairs must be " + std::string(kAllowedForm) + ", got " +
                           py::str_of(nb::repr(requested)))
                              .c_str());
  }
  for (nb::handle entry : items) {
    if (nb::handle contacts = contact_word(self, entry); contacts.is_valid()) {
      add_all(contacts);
      continue;
    }
    if ((!nb::isinstance<nb::tuple>(entry) && !nb::isinstance<nb::list>(entry)) ||
        nb::len(entry) != 2)
      throw nb::value_error(("allowed_pairs entry " + py::str_of(nb::repr(entry)) +
                             " is not a pair; allowed_pairs must be " + kAllowedForm)
                                .c_str());
    const Pair p = pelmora::ordered_pair(allowed_object(self, entry[0], entry),
                                         allowed_object(self, entry[1], entry));
    out.add(nb::make_tuple(nb::make_tuple(p.first.kind, p.first.name),
                           nb::make_tuple(p.second.kind, p.second.name)));
  }
  return out;
}

// The ignored pairs of one call: the object's own, plus those the call allows.
std::set<Pair> ignored_pairs(const Pelmora& self, nb::handle extra) {
  std::set<Pair> out = own_ignored_pairs(self);
  for (nb::handle p : resolve_allowed(self, extra)) out.insert(pair_of(p));
  return out;
}

// Move every link to its pose, run the manager's all-pairs test, and keep the
// pairs that are not ignored, each as (lower name, higher name).
nb::set collide(const Pelmora& self, const nb::dict& poses, const std::set<Pair>& ignored) {
  for (auto [name, T] : poses) self.manager.attr("set_transform")(nb::make_tuple("link", name), T);
  nb::object result = self.manager.attr("in_collision_internal")(nb::arg("return_names") = true);
  nb::set pairs;
  for (nb::handle raw : result[1]) {
    nb::handle a = raw[0], b = raw[1];
    const ObjectName na = object_name(a), nb_ = object_name(b);
    if (ignored.count(pelmora::ordered_pair(na, nb_))) continue;
    pairs.add(nb_ < na ? nb::make_tuple(b, a) : nb::make_tuple(a, b));
  }
  return pairs;
}

nb::object copy_f64(nb::handle x) {
  return py::numpy().attr("array")(x, nb::arg("dtype") = "float64");
}

nb::object query(const Pelmora& self, nb::handle theta, nb::handle allowed) {
  nb::dict poses = forward_kinematics_py(self, theta);
  nb::set pairs = collide(self, poses, ignored_pairs(self, allowed));
  return make_result(copy_f64(theta), pairs);
}

Array<double> trajectory_arg(const Pelmora& self, nb::handle trajectory) {
  nb::object os = nb::module_::import_("os");
  nb::object Path = nb::module_::import_("pathlib").attr("Path");
  nb::object rows = nb::borrow(trajectory);
  if (nb::isinstance<nb::str>(trajectory) || nb::isinstance(trajectory, os.attr("PathLike"))) {
    nb::object path = Path(trajectory);
    if (nb::cast<bool>(path.attr("is_dir")()))
      path = py::join_path(path, "JointAnglesToTravelAlong.npy");
    rows = py::numpy().attr("load")(path, nb::arg("allow_pickle") = false);
  }
  Array<double> traj = py::as_f64(rows);
  const long n = n_joints_of(self);
  if (traj.ndim() != 2 || static_cast<long>(traj.shape[1]) != n)
    throw nb::value_error(("expected a trajectory of shape (N, " + std::to_string(n) +
                           "), one row of joint angles per configuration, got " +
                           py::shape_text(traj.shape))
                              .c_str());
  if (!py::all_finite(traj.data, traj.size))
    throw nb::value_error("trajectory joint angles must be finite");
  return traj;
}

// Every configuration of a trajectory, one query each; the colliding rows with
// their results.
nb::list query_trajectory(const Pelmora& self, nb::handle trajectory, nb::handle allowed) {
  Array<double> traj = trajectory_arg(self, trajectory);
  const long n = n_joints_of(self);
  const pelmora::Kinematics kin = load_kinematics(self);
  const std::set<Pair> ignored = ignored_pairs(self, allowed);
  nb::list out;
  const std::size_t N = traj.shape[0];
  for (std::size_t r = 0; r < N; ++r) {
    const double* theta = traj.data + r * static_cast<std::size_t>(n);
    nb::set pairs = collide(self, pose_map(self, pelmora::pose_links(kin, theta)), ignored);
    if (nb::len(pairs) == 0) continue;
    double* dst = nullptr;
    nb::object row = py::new_f64({static_cast<std::size_t>(n)}, &dst);
    for (long j = 0; j < n; ++j) dst[j] = theta[j];
    out.append(nb::make_tuple(r, make_result(row, pairs)));
  }
  return out;
}

nb::object load_mesh(nb::handle npz_path) { return py::load_trimesh(npz_path); }

// FCL builds a bounding-volume tree over the triangles and dereferences an
// empty one during queries (the process dies), so a mesh without triangles is
// refused while the cache is read.
void add_collision_mesh(nb::handle manager, nb::handle key, nb::handle mesh, nb::handle path) {
  if (nb::len(nb::object(mesh.attr("faces"))) == 0)
    throw nb::value_error((py::str_of(path) + ": the mesh has no triangles, so it cannot take part "
                                              "in collision queries")
                              .c_str());
  manager.attr("add_object")(key, mesh);
}

Pelmora build_pelmora(nb::handle cache_dir_in, bool ignore_adjacent_links, nb::handle allowed) {
  nb::module_ np = py::numpy();
  nb::object Path = nb::module_::import_("pathlib").attr("Path");
  Pelmora self;
  self.cache_dir = Path(cache_dir_in);

  nb::dict meta = py::read_meta(self.cache_dir);
  nb::object links = meta["links"];
  nb::list link_names, homes, env_names;
  std::vector<std::string> names;
  for (nb::handle link : links) {
    nb::object name = link["name"];
    names.push_back(require_str(name, "link name"));
    link_names.append(name);
    nb::object T = np.attr("array")(link["home_transform"], nb::arg("dtype") = "float64");
    Array<double> t = py::as_f64(T);
    if (t.ndim() != 2 || t.shape[0] != 4 || t.shape[1] != 4)
      throw nb::value_error(("home_transform of link " + names.back() + " must be 4x4, got shape " +
                             py::shape_text(t.shape))
                                .c_str());
    homes.append(T);
  }
  for (nb::handle env : py::meta_env(meta)) {
    nb::object name = env["name"];
    require_str(name, "environment name");
    env_names.append(name);
  }
  self.link_names = link_names;
  self.home_transforms = homes;
  self.env_names = env_names;

  nb::object screws = py::load_npy(py::join_path(self.cache_dir, py::kScrewFile));
  self.slist = np.attr("array")(screws, nb::arg("dtype") = "float64", nb::arg("order") = "C");
  auto s = nb::cast<nb::ndarray<double, nb::c_contig, nb::device::cpu>>(self.slist);
  if (s.ndim() != 2 || s.shape(0) != 6)
    throw nb::value_error(("ScrewAxis.npy must hold a (6, n) screw list, got shape " +
                           py::str_of(self.slist.attr("shape")))
                              .c_str());
  const double scale = nb::cast<double>(g_module.attr("SCREW_LINEAR_SCALE"));
  const std::size_t n = s.shape(1);
  cellpath::capture::scale_linear_rows(s.data(), n, scale);

  self.joint_limits = py::load_npy(py::join_path(self.cache_dir, py::kLimitsFile));
  self.n_joints = nb::int_(n);
  if (n + 1 != names.size())
    throw nb::value_error(("expected one fewer joint than links (base is fixed), got " +
                           std::to_string(n) + " joints and " + std::to_string(names.size()) +
                           " links")
                              .c_str());

  self.manager = nb::module_::import_("trimesh.collision").attr("CollisionManager")();
  for (std::size_t i = 0; i < names.size(); ++i) {
    // A repeated name reuses the mesh of its first occurrence.
    std::size_t first = 0;
    while (names[first] != names[i]) ++first;
    nb::object path = py::join_path(self.cache_dir, py::link_file(std::to_string(first)));
    add_collision_mesh(self.manager, nb::make_tuple("link", link_names[i]), load_mesh(path), path);
  }
  for (nb::handle name : env_names) {
    nb::object path = py::join_path(self.cache_dir, py::env_file(nb::cast<std::string>(name)));
    add_collision_mesh(self.manager, nb::make_tuple("env", name), load_mesh(path), path);
  }

  nb::set adjacent;
  if (ignore_adjacent_links)
    for (std::size_t i = 0; i + 1 < names.size(); ++i) {
      nb::object pair = builtin("frozenset")(nb::make_tuple(
          nb::make_tuple("link", link_names[i]), nb::make_tuple("link", link_names[i + 1])));
      adjacent.add(pair);
    }
  self.adjacent_pairs = adjacent;
  self.allowed_pairs = nb::set();

  // Give every link a pose before the first real query.  The base and the
  // environment never move, so whatever the base touches in the environment
  // now, and whatever environment bodies touch each other now, touch in every
  // configuration: the first is what "base" allows, both what "fixed" allows.
  const std::string base = names[0];
  nb::set base_contacts, fixed_contacts;
  for (nb::handle p : collide(self, forward_kinematics_py(self, np.attr("zeros")(n)), {})) {
    const Pair q = pair_of(p);
    const bool base_env = (q.first.kind == "env" && q.second == ObjectName{"link", base}) ||
                          (q.second.kind == "env" && q.first == ObjectName{"link", base});
    const bool env_env = q.first.kind == "env" && q.second.kind == "env";
    if (base_env) base_contacts.add(p);
    if (base_env || env_env) fixed_contacts.add(p);
  }
  self.base_contacts = base_contacts;
  self.fixed_contacts = fixed_contacts;
  self.allowed_pairs = resolve_allowed(self, allowed);
  return self;
}

void init_pelmora(Pelmora* where, nb::handle cache_dir, bool ignore_adjacent_links,
                  nb::handle allowed) {
  new (where) Pelmora(build_pelmora(cache_dir, ignore_adjacent_links, allowed));
}

}  // namespace pelmora_py

using namespace pelmora_py;

NB_MODULE(Pelmora, m) {
  g_module = m;
  m.doc() =
      "Exact mesh collision of a captured arm with itself and with its environment, "
      "through trimesh's collision manager (FCL).";
  nb::object cache_dir = py::default_cache_dir(m, "Cache", 1);
  m.attr("CACHE_DIR") = cache_dir;
  m.attr("SCREW_LINEAR_SCALE") = cellpath::capture::kScrewLinearScale;

  nb::object result_type = make_result_type();
  m.attr("CollisionResult") = result_type;
  g_result_type = result_type;

  m.def("_load_mesh", &load_mesh, nb::arg("npz_path"),
        "A trimesh.Trimesh from a mesh archive's V and F arrays, unprocessed.");

  nb::class_<Pelmora>(m, "Pelmora", nb::dynamic_attr(),
                      "The meshes of one capture cache in a collision manager, ready to be posed "
                      "and tested for any joint vector.")
      .def("__init__", &init_pelmora, nb::arg("cache_dir") = cache_dir,
           nb::arg("ignore_adjacent_links") = true, nb::arg("allowed_pairs") = nb::none(),
           "Load the capture in cache_dir. With ignore_adjacent_links, consecutive links (which "
           "touch at their joint) are never reported as colliding.  allowed_pairs names further "
           "pairs that queries leave out: None (none), \"base\" (whatever the fixed base touches "
           "in the environment at the zero joint vector, which it touches in every configuration), "
           "\"fixed\" (that, and the environment bodies that touch each other, such as a table on "
           "a floor: contacts between bodies that never move relative to each other), "
           "or a list of pairs in the result's own form, ((\"env\", \"pedestal\"), (\"link\", "
           "\"link_base\")), that may hold \"base\" or \"fixed\" too.  Links touching each other "
           "or the "
           "environment at zero are not part of \"base\": zero may lie outside the limits.")
      .def_rw("cache_dir", &Pelmora::cache_dir, "The cache directory.")
      .def_rw("link_names", &Pelmora::link_names,
              "Link names in chain order; entry 0 is the fixed base.")
      .def_rw("home_transforms", &Pelmora::home_transforms,
              "World pose of each link at the zero joint vector.")
      .def_rw("env_names", &Pelmora::env_names, "Names of the environment objects.")
      .def_rw("slist", &Pelmora::slist,
              "The captured (6, n) screw list with its linear rows in metres, in the base link's "
              "frame.")
      .def_rw("joint_limits", &Pelmora::joint_limits, "The captured (n, 2) joint limits.")
      .def_rw("n_joints", &Pelmora::n_joints, "Number of joints.")
      .def_rw("_manager", &Pelmora::manager, "The collision manager holding every mesh.")
      .def_rw("_adjacent_pairs", &Pelmora::adjacent_pairs,
              "Unordered link pairs that queries ignore.")
      .def_rw("allowed_pairs", &Pelmora::allowed_pairs,
              "The set of pairs, in result form, that queries leave out besides consecutive links.")
      .def_rw("_base_contacts", &Pelmora::base_contacts,
              "The base's contacts with the environment at the zero joint vector (what \"base\" "
              "allows).")
      .def_rw("_fixed_contacts", &Pelmora::fixed_contacts,
              "The base's contacts and the environment bodies' contacts among themselves (what "
              "\"fixed\" allows).")
      .def_rw(
          "_distance_objects", &Pelmora::distance_objects,
          "The python-fcl objects of the distance queries, built at the first one (None before).")
      .def("forward_kinematics", &forward_kinematics_py, nb::arg("theta"),
           "World pose of every link for a joint vector, as a dict from link name to 4x4 "
           "transform (the base first).")
      .def("query", &query, nb::arg("theta"), nb::arg("allowed_pairs") = nb::none(),
           "Pose the arm at theta and return the CollisionResult of every pair of meshes in "
           "contact (link-link and link-environment).  allowed_pairs (same forms as the "
           "constructor's) leaves out further pairs for this call only.")
      .def("query_trajectory", &query_trajectory, nb::arg("trajectory"),
           nb::arg("allowed_pairs") = nb::none(),
           "Query every row of an (N, n_joints) trajectory, given as an array or as the path of "
           "a .npy file or of a cache directory (its JointAnglesToTravelAlong.npy). Returns a "
           "list of (row index, CollisionResult) for the rows in collision; an empty list means "
           "the whole trajectory is clean.  allowed_pairs (same forms as the constructor's) leaves "
           "out further pairs for this call only.")
      .def("distances", &distances, nb::arg("theta"), nb::arg("allowed_pairs") = nb::none(),
           "Pose the arm at theta and return, for every pair of an environment body and a moving "
           "link (the fixed base is left out), the exact smallest distance in metres between "
           "their meshes (python-fcl's distance query; 0.0 when they touch), as a dict keyed by "
           "pairs in the result's form, ((\"env\", name), (\"link\", name)).  Allowed pairs (the "
           "object's and allowed_pairs, same forms as the constructor's) are left out.")
      .def("distance_trajectory", &distance_trajectory, nb::arg("trajectory"),
           nb::arg("allowed_pairs") = nb::none(),
           "The smallest value of distances() for every row of an (N, n_joints) trajectory (an "
           "array, a .npy path or a cache directory, as query_trajectory takes), as a float64 "
           "array (N,); inf for a row without any pair (no environment).");

  m.def("main", &main_entry, nb::arg("argv") = nb::none(),
        "Print the collision pairs for the joint angles given as arguments (all zeros when none "
        "are given), on the default cache (or --cache-dir DIR).  --allow-base-contacts, "
        "--allow-fixed-contacts and --allow A,B leave pairs out as the constructor's "
        "allowed_pairs does; --distance also prints the smallest distance between the arm and "
        "the environment; --trajectory [FILE] checks every row of a trajectory (default: the "
        "cache's) and returns 1 when any row collides; --help prints the usage.");
}
