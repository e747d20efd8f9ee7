// Mirelock: captures the arm and its surroundings from the design into the
// cache directory the offline planner reads — link and environment meshes,
// meta.json with the home poses, the screw list, the joint limits and the
// waypoint joint vectors.
#include "Mirelock/meshes.hpp"
#include "common/atomic_file.hpp"
#include "common/mesh_archive.hpp"
#include "kinematics/host.hpp"
#include "kinematics/register.hpp"

#include <nanobind/nanobind.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace nb = nanobind;
namespace host = cellpath::host;
namespace cpy = cellpath::py;
using cellpath::Mat4;

namespace {

nb::module_ numpy() { return nb::module_::import_("numpy"); }

using cpy::truthy;

bool equals(nb::handle a, nb::handle b) {
  const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
  if (r < 0) throw nb::python_error();
  return r != 0;
}

using cpy::to_double;

nb::object join(nb::handle dir, nb::handle name) {
  return nb::module_::import_("os").attr("path").attr("join")(dir, name);
}

nb::object mesh_to_numpy(const mirelock::Mesh& mesh, nb::object& F_out) {
  std::int64_t* f = nullptr;
  F_out = cpy::new_array<std::int64_t>({mesh.faces(), 3}, &f);
  for (std::size_t k = 0; k < mesh.F.size(); ++k) f[k] = mesh.F[k];
  return host::mat_to_numpy(mesh.V.data(), mesh.vertices(), 3);
}

// --- joint limits and screws -------------------------------------------------

nb::object get_joint_limits(nb::handle m, nb::handle JointNames) {
  nb::object root = host::root_component(m);
  std::vector<double> rows;
  for (nb::handle name : nb::iter(JointNames)) {
    nb::object joint = root.attr("joints").attr("itemByName")(name);
    if (joint.is_none())
      host::raise(PyExc_ValueError, host::format("Joint '{}' not found in root component", name));
    nb::object lim = joint.attr("jointMotion").attr("rotationLimits");
    const double lower = truthy(lim.attr("isMinimumValueEnabled"))
                             ? to_double(lim.attr("minimumValue"))
                             : -std::numeric_limits<double>::infinity();
    const double upper = truthy(lim.attr("isMaximumValueEnabled"))
                             ? to_double(lim.attr("maximumValue"))
                             : std::numeric_limits<double>::infinity();
    rows.push_back(lower);
    rows.push_back(upper);
  }
  return host::mat_to_numpy(rows.data(), rows.size() / 2, 2);
}

nb::tuple capture_screw_and_m(nb::handle m, nb::handle Jointnames, nb::handle BaseFrameName,
                              nb::handle EndEffectorFrameName) {
  nb::object result =
      m.attr("RetrieveScrewAtHomeConfig")(Jointnames, BaseFrameName, EndEffectorFrameName);
  nb::tuple pair = nb::tuple(result);
  if (nb::len(pair) != 2) throw nb::value_error("RetrieveScrewAtHomeConfig must return (screw, M)");
  return nb::make_tuple(pair[0], pair[1]);
}

nb::object give_world_transform(nb::handle occ) {
  cpy::Array<double> a = cpy::as_f64(occ.attr("transform2").attr("asArray")());
  if (a.size != 16)
    throw nb::value_error(
        ("an occurrence transform must have 16 entries, got " + std::to_string(a.size)).c_str());
  double T[16];
  for (int k = 0; k < 16; ++k) T[k] = a[k];
  for (int r = 0; r < 3; ++r) T[r * 4 + 3] *= mirelock::kCmToM;
  return host::mat_to_numpy(T, 4, 4);
}

// --- meshes -------------------------------------------------------------------

// (V, F) of one body in its component's frame, metres; nullopt when the host
// gives no nodes.
bool mesh_of_body(nb::handle m, nb::handle bdy, nb::object& V, nb::object& F) {
  nb::object calc = bdy.attr("meshManager").attr("createMeshCalculator")();
  calc.attr("setQuality")(host::adsk(m)
                              .attr("fusion")
                              .attr("TriangleMeshQualityOptions")
                              .attr("LowQualityTriangleMesh"));
  nb::object mesh = calc.attr("calculate")();
  if (equals(mesh.attr("nodeCount"), nb::int_(0))) return false;
  nb::module_ np = numpy();
  nb::object coords = np.attr("asarray")(mesh.attr("nodeCoordinatesAsDouble"),
                                         nb::arg("dtype") = np.attr("float64"))
                          .attr("reshape")(-1, 3);
  cpy::Array<double> c = cpy::as_f64(coords);
  double* v = nullptr;
  V = cpy::new_f64({c.shape[0], 3}, &v);
  for (std::size_t k = 0; k < c.size; ++k) v[k] = c[k] * mirelock::kCmToM;
  cpy::Array<std::int64_t> f = cpy::as_array<std::int64_t>(
      np.attr("asarray")(mesh.attr("nodeIndices"), nb::arg("dtype") = np.attr("int64"))
          .attr("reshape")(-1, 3));
  // A triangle naming a node the host did not give would point into another
  // body once bodies are stacked (or overflow the index offset), so a broken
  // triangulation stops the capture here instead of landing in the cache.
  const auto n_nodes = static_cast<std::int64_t>(c.shape[0]);
  for (std::size_t k = 0; k < f.size; ++k)
    if (f[k] < 0 || f[k] >= n_nodes)
      cpy::raise_mesh_index_error("body mesh: a triangle refers to node " + std::to_string(f[k]) +
                                  " but the body has " + std::to_string(n_nodes) + " nodes");
  F = f.owner;
  return true;
}

// All bodies of an occurrence's component as one mesh, in the component's frame.
bool sub_mesh(nb::handle m, nb::handle compn, mirelock::Mesh& out) {
  out = mirelock::Mesh{};
  bool any = false;
  for (nb::handle body : nb::iter(compn.attr("component").attr("bRepBodies"))) {
    nb::object V, F;
    if (!mesh_of_body(m, body, V, F)) continue;
    cpy::Array<double> v = cpy::as_f64(V);
    cpy::Array<std::int64_t> f = cpy::as_array<std::int64_t>(F);
    mirelock::append_body(out, v.data, v.shape[0], f.data, f.shape[0]);
    any = true;
  }
  return any;
}

nb::object sub_mesh_py(nb::handle m, nb::handle compn) {
  mirelock::Mesh mesh;
  if (!sub_mesh(m, compn, mesh)) return nb::none();
  nb::object F;
  nb::object V = mesh_to_numpy(mesh, F);
  return nb::make_tuple(V, F);
}

void savez(nb::handle path, nb::handle V, nb::handle F) {
  cpy::write_atomically(
      path, [&](nb::handle fh) { numpy().attr("savez")(fh, nb::arg("V") = V, nb::arg("F") = F); });
}

// numpy.save of one array under `name` + ".npy", written whole.
void save_npy(nb::handle dir, const char* name, nb::handle array) {
  nb::object path = join(dir, nb::str((std::string(name) + ".npy").c_str()));
  cpy::write_atomically(path, [&](nb::handle fh) { numpy().attr("save")(fh, array); });
}

nb::dict retrieve_environment_context_info(nb::handle m, nb::handle OUTPUT_DIR, nb::handle Env,
                                           nb::handle ManiLinks) {
  nb::object design =
      host::adsk(m).attr("fusion").attr("Design").attr("cast")(host::app(m).attr("activeProduct"));
  nb::object root = design.attr("rootComponent");
  nb::module_::import_("os").attr("makedirs")(OUTPUT_DIR, nb::arg("exist_ok") = true);

  // The first occurrence met with a given base name (the part before ":") wins.
  nb::dict index;
  for (nb::handle occ : nb::iter(root.attr("allOccurrences"))) {
    nb::object base = nb::str(occ.attr("name")).attr("split")(":")[0];
    if (!index.contains(base)) index[base] = occ;
  }

  nb::dict meta;
  meta["units"] = "meters";
  nb::list links, env;
  meta["links"] = links;
  meta["env"] = env;

  long idx = 0;
  for (nb::handle item : nb::iter(ManiLinks)) {
    const long i = idx++;
    nb::object occ = index.attr("get")(item);
    if (occ.is_none()) continue;
    mirelock::Mesh mesh;
    if (!sub_mesh(m, occ, mesh)) continue;
    nb::object F;
    nb::object V = mesh_to_numpy(mesh, F);
    savez(join(OUTPUT_DIR, nb::str(("link_" + std::to_string(i) + ".npz").c_str())), V, F);
    nb::dict entry;
    entry["index"] = nb::int_(i);
    entry["name"] = item;
    entry["home_transform"] = give_world_transform(occ).attr("tolist")();
    entry["n_vertices"] = nb::int_(mesh.vertices());
    entry["n_faces"] = nb::int_(mesh.faces());
    links.append(entry);
  }

  for (nb::handle item : nb::iter(Env)) {
    nb::object occ = index.attr("get")(item);
    if (occ.is_none()) continue;
    mirelock::Mesh mesh;
    if (!sub_mesh(m, occ, mesh)) continue;
    const Mat4 T = host::transform_arg(give_world_transform(occ), "world transform");
    double* vw = nullptr;
    nb::object V_world = cpy::new_f64({mesh.vertices(), 3}, &vw);
    mirelock::to_world(mesh.V.data(), mesh.vertices(), T, vw);
    nb::object F;
    mesh_to_numpy(mesh, F);
    nb::object fname = nb::steal(PyUnicode_Concat(nb::str("env_").ptr(), nb::str(item).ptr()));
    if (!fname.is_valid()) throw nb::python_error();
    fname = nb::steal(PyUnicode_Concat(fname.ptr(), nb::str(".npz").ptr()));
    if (!fname.is_valid()) throw nb::python_error();
    savez(join(OUTPUT_DIR, fname), V_world, F);
    nb::dict entry;
    entry["name"] = item;
    entry["n_vertices"] = nb::int_(mesh.vertices());
    entry["n_faces"] = nb::int_(mesh.faces());
    env.append(entry);
  }
  return meta;
}

// --- the capture --------------------------------------------------------------

// Emptying the cache directory deletes everything in it, so a mistyped argument
// must never name a directory that holds the user's own files: the filesystem
// root, the home directory, the working directory or any directory above it.
void refuse_unsafe_output_dir(nb::handle OUTPUT_DIR) {
  nb::object Path = nb::module_::import_("pathlib").attr("Path");
  nb::object target = Path(OUTPUT_DIR).attr("resolve")();
  auto refuse = [&](const char* why) {
    host::raise(PyExc_ValueError,
                host::format("refusing to empty OUTPUT_DIR {!r}: it resolves to {}, {}", OUTPUT_DIR,
                             nb::str(target), nb::str(why)));
  };
  if (equals(target.attr("parent"), target)) refuse("the filesystem root");
  nb::object home = nb::none();
  try {
    home = Path.attr("home")().attr("resolve")();
  } catch (nb::python_error&) {
    // No home directory can be determined: nothing to protect there.
  }
  if (!home.is_none() && equals(target, home)) refuse("the user's home directory");
  nb::object cwd = Path.attr("cwd")().attr("resolve")();
  if (equals(target, cwd)) refuse("the working directory");
  for (nb::handle above : nb::iter(cwd.attr("parents")))
    if (equals(target, above)) refuse("a directory that contains the working directory");
}

void empty_directory(nb::handle OUTPUT_DIR) {
  nb::object Path = nb::module_::import_("pathlib").attr("Path");
  nb::object dir = Path(OUTPUT_DIR);
  dir.attr("mkdir")(nb::arg("parents") = true, nb::arg("exist_ok") = true);
  nb::object rmtree = nb::module_::import_("shutil").attr("rmtree");
  nb::list entries = nb::list(dir.attr("iterdir")());
  for (nb::handle entry : entries) {
    // A link is removed as a link: following it would empty a directory elsewhere.
    if (truthy(entry.attr("is_dir")()) && !truthy(entry.attr("is_symlink")()))
      rmtree(entry);
    else
      entry.attr("unlink")();
  }
}

// meta.json as json.dump(meta, indent=2) writes it (ASCII only, so its
// UTF-8 bytes are the text), written whole.
void write_json(nb::handle path, nb::handle meta) {
  nb::object text = nb::module_::import_("json").attr("dumps")(meta, nb::arg("indent") = 2);
  nb::object bytes = text.attr("encode")("utf-8");
  cpy::write_atomically(path, [&](nb::handle fh) { fh.attr("write")(bytes); });
}

nb::object zeros(std::size_t n) {
  double* z = nullptr;
  nb::object a = cpy::new_f64({n}, &z);
  for (std::size_t j = 0; j < n; ++j) z[j] = 0.0;
  return a;
}

void clear_cache_and_initialize(nb::handle m, nb::handle JointNames, nb::handle Env,
                                nb::handle ManiLinks, nb::handle BaseFrameName,
                                nb::handle EndEffectorFrameName, nb::handle Waypoints,
                                nb::handle OUTPUT_DIR, bool SaveJointNames) {
  refuse_unsafe_output_dir(OUTPUT_DIR);
  empty_directory(OUTPUT_DIR);
  host::log(m, std::string("cache cleared"));

  nb::object initialAngles = m.attr("RetrieveJointAnglesAtConfig")(JointNames);
  m.attr("SetRobotJointAngles")(JointNames, zeros(nb::len(JointNames)));
  host::do_events(m);

  nb::object meta =
      m.attr("RetrieveEnvironmentContextInfo")(OUTPUT_DIR, JointNames, Env, ManiLinks);
  nb::tuple screw_m = nb::tuple(
      m.attr("CaptureScrewAndMInfo")(OUTPUT_DIR, JointNames, BaseFrameName, EndEffectorFrameName));
  nb::object screw = screw_m[0], M = screw_m[1];
  nb::object limits = m.attr("GetJointLimits")(JointNames);

  write_json(join(OUTPUT_DIR, nb::str("meta.json")), meta);
  host::log(m, std::string("metadata written"));
  nb::module_ np = numpy();
  save_npy(OUTPUT_DIR, "ScrewAxis", screw);
  save_npy(OUTPUT_DIR, "JointLimits", limits);
  host::log(m, std::string("screw and home transform written"));
  if (SaveJointNames) {
    // The joints' names, base to tip, as cellpath-urdf keeps them: exports and
    // CSV headers then name the joints as the design does.
    nb::list names;
    for (nb::handle name : nb::iter(JointNames)) names.append(nb::str(name));
    nb::object bytes = nb::module_::import_("json").attr("dumps")(names).attr("encode")("utf-8");
    cpy::write_atomically(join(OUTPUT_DIR, nb::str("JointNames.json")),
                          [&](nb::handle fh) { fh.attr("write")(bytes); });
  }

  m.attr("SetRobotJointAngles")(JointNames, initialAngles);
  host::do_events(m);

  if (truthy(Waypoints)) {
    nb::object wp =
        m.attr("SolveWaypointJointAngles")(JointNames, BaseFrameName, Waypoints, screw, M);
    save_npy(OUTPUT_DIR, "WaypointJointAngles", wp);
    host::log(m, host::format("waypoint joint angles written: shape {}", wp.attr("shape")));
  }
}

}  // namespace

NB_MODULE(Mirelock, m) {
  m.doc() =
      "Scene capture: reads joint limits, screws, home poses and meshes of the arm and "
      "its surroundings from the design at the zero configuration and writes the "
      "capture cache that the offline planner reads.";
  kinematics::bind_host(m, cellpath::host::Handles::with_adsk);
  kinematics::register_carried_helpers(m);
  nb::module_ quennet = nb::module_::import_("Quennet");
  for (const char* name : {"RetrieveScrewAtHomeConfig", "SolveWaypointJointAngles",
                           "RetrieveJointAnglesAtConfig", "SetRobotJointAngles"})
    m.attr(name) = quennet.attr(name);
  nb::object mod = nb::borrow(m);

  host::def_on(m, "GetJointLimits", &get_joint_limits, nb::arg("JointNames"),
               "(n, 2) array of [lower, upper] rotation limits of the named joints (radians); a "
               "limit that is not enabled reads as -inf or +inf.");

  m.def(
      "CaptureScrewAndMInfo",
      [mod](nb::handle OUTPUT_DIR, nb::handle Jointnames, nb::handle BaseFrameName,
            nb::handle EndEffectorFrameName) {
        (void)OUTPUT_DIR;
        return capture_screw_and_m(mod, Jointnames, BaseFrameName, EndEffectorFrameName);
      },
      nb::arg("OUTPUT_DIR").none(), nb::arg("Jointnames"), nb::arg("BaseFrameName"),
      nb::arg("EndEffectorFrameName"),
      "(screw list, M) of the arm at its home configuration, in the base component's frame "
      "(design length unit).  Writes nothing; OUTPUT_DIR is not used.");

  m.def("GiveWorldTransform", &give_world_transform, nb::arg("occ"),
        "World transform of a host occurrence as a 4x4 array, translation in metres.");

  m.def(
      "GetMeshofBody",
      [mod](nb::handle bdy) -> nb::object {
        nb::object V, F;
        if (!mesh_of_body(mod, bdy, V, F)) return nb::none();
        return nb::make_tuple(V, F);
      },
      nb::arg("bdy"),
      "(V, F) of a host body's low-quality triangulation: vertices in metres in the "
      "component's frame and int64 triangles; None when the body yields no nodes.");

  host::def_on(m, "GetSubMesh", &sub_mesh_py, nb::arg("compn"),
               "(V, F) of every meshable body of an occurrence's component stacked into one mesh "
               "(component frame, metres), or None when no body yields a mesh.");

  m.def(
      "RetrieveEnvironmentContextInfo",
      [mod](nb::handle OUTPUT_DIR, nb::handle JointNames, nb::handle Env, nb::handle ManiLinks) {
        (void)JointNames;
        return retrieve_environment_context_info(mod, OUTPUT_DIR, Env, ManiLinks);
      },
      nb::arg("OUTPUT_DIR"), nb::arg("JointNames").none(), nb::arg("Env"), nb::arg("ManiLinks"),
      "Write one mesh archive per link (link frame, link_<index>.npz) and per environment "
      "body (world frame, env_<name>.npz) into OUTPUT_DIR and return the metadata record "
      "listing them with the links' home poses.  Names without an occurrence or without a "
      "mesh are skipped.");

  host::def_on(
      m, "ClearCacheAndInitializeMotionPlanner", &clear_cache_and_initialize, nb::arg("JointNames"),
      nb::arg("Env"), nb::arg("ManiLinks"), nb::arg("BaseFrameName"),
      nb::arg("EndEffectorFrameName"), nb::arg("Waypoints").none() = nb::none(),
      nb::arg("OUTPUT_DIR") = "cache", nb::kw_only(), nb::arg("SaveJointNames") = false,
      "Empty OUTPUT_DIR and capture the arm and its surroundings into it at the zero "
      "configuration (meshes, meta.json, ScrewAxis.npy, JointLimits.npy), restore the "
      "joints, and with Waypoints solve and save their joint vectors.  SaveJointNames: also "
      "write JointNames.json (the JointNames as a JSON list), which exports, pictures and "
      "the timed CSV then name the joints by.  Refuses (ValueError) an OUTPUT_DIR that is "
      "the filesystem root, the home directory, or the working directory or one above it.");
}
