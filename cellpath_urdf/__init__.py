"""Capture caches from a URDF robot description.

`urdf_to_cache` (and the console command `cellpath-urdf`, whose entry is `main`)
writes the same cache directory the CAD host's capture writes, so an arm that
ships a URDF can be planned, checked and viewed by the offline modules without
the CAD host:

    cellpath-urdf ROBOT.urdf OUT_DIR --joints J1,J2,... [--base X,Y,Z,ROLL,PITCH,YAW]
                  [--env MESH]... [--waypoints FILE.npy] [--visual] [--package-dir NAME=DIR]...
                  [--tool FRAME] [--tool-offset X,Y,Z,ROLL,PITCH,YAW] [--limit JOINT=LO:HI]...

The arm is the serial chain of the named joints, base to tip.  Link 0 is the
parent link of the first joint, link k the child link of joint k-1, each in its
URDF frame.  Every other joint is held at 0 (a mimic joint at its master's value
times its multiplier plus its offset) and whatever it carries is merged rigidly
into the arm link it hangs from, as are links on fixed joints.

Units are those of the cache: metres and radians.  A prismatic arm joint keeps
the URDF's metres as its joint value; its screw column therefore holds 100 cm
of travel per metre in the stored linear rows, which the readers scale back to
a unit direction.

The cache is built in a temporary folder beside OUT_DIR, checked against the
URDF's own forward kinematics (yourdfpy) and only then moved into place, so a
failure leaves OUT_DIR as it was.  An existing OUT_DIR is replaced only when it
holds nothing but cache files.
"""
from __future__ import annotations

import argparse
import glob
import json
import os
import re
import shutil
import sys
import tempfile
from pathlib import Path

import numpy as np

__all__ = ["UrdfImportError", "SelfCheckError", "urdf_to_cache", "verify_cache", "main",
           "SELF_CHECK_TOL", "SELF_CHECK_SAMPLES", "ARM_JOINT_TYPES"]

SELF_CHECK_TOL = 1e-9       # metres (and unitless for the rotation entries)
SELF_CHECK_SAMPLES = 16     # random joint vectors besides the zero vector
SELF_CHECK_SEED = 0
ARM_JOINT_TYPES = ("revolute", "continuous", "prismatic")
CM_PER_M = 100.0            # stored screw linear rows are centimetres
JOINT_NAMES_FILE = "JointNames.json"
CYLINDER_SECTIONS = 32
SPHERE_SUBDIVISIONS = 2

# Everything a capture, the environment handler or the planner may leave in a
# cache directory; a folder holding anything else is never replaced.
_CACHE_ENTRY = re.compile(
    r"^(meta\.json|ScrewAxis\.npy|JointLimits\.npy|JointVelocityLimits\.npy|WaypointJointAngles\.npy"
    r"|JointAnglesToTravelAlong\.npy|TimedTrajectory\.npz|TimedTrajectory\.csv"
    r"|CollisionWaypoint\.npz|LinkMeshes\.npz|env_meshes\.npz|ToolTransform\.npy|LinearSegments\.npz|JointNames\.json"
    r"|link_\d+\.npz|env_.+\.npz|RunRecord\.json|\..+\.\d+\.\d+\.tmp)$")


class UrdfImportError(ValueError):
    """Input the importer cannot turn into a cache: the message names the culprit
    (file, link, joint or option)."""


class SelfCheckError(RuntimeError):
    """The written screws and home poses do not reproduce the URDF's own forward
    kinematics; nothing was written to the output folder."""


# The parts read the errors and constants above, so they come after them.
from ._frames import _narrowed, _parse_limit, _parse_tool_offset, _tool_transform  # noqa: E402
from ._model import _base_matrix, _geometry_mesh, _load_mesh_file, _load_urdf, _Model  # noqa: E402


# What the planning context keeps in a cache's `.models` folder (its stored models).
_MODELS_ENTRY = re.compile(r"^(self_collision\.bin|clearance\.bin|\..+\.\d+\.\d+\.tmp)$")


def _check_replaceable(out):
    if out.exists() or out.is_symlink():
        if not out.is_dir() or out.is_symlink():
            raise UrdfImportError(f"output {out} exists and is not a folder")
        for entry in os.scandir(out):
            if entry.name == ".models" and entry.is_dir(follow_symlinks=False):
                foreign = [e.name for e in os.scandir(entry.path) if not _MODELS_ENTRY.match(e.name)
                           or e.is_dir(follow_symlinks=False)]
                if not foreign:
                    continue
                raise UrdfImportError(f"refusing to replace {out}: it holds '.models/{foreign[0]}', "
                                      "which is not part of a capture cache")
            if entry.is_dir(follow_symlinks=False) or not _CACHE_ENTRY.match(entry.name):
                raise UrdfImportError(f"refusing to replace {out}: it holds '{entry.name}', "
                                      "which is not part of a capture cache")


def _load_waypoints(path, n_joints):
    path = Path(path)
    try:
        wp = np.load(path, allow_pickle=False)
    except FileNotFoundError as exc:
        raise UrdfImportError(f"waypoint file {path} not found") from exc
    except (ValueError, OSError, EOFError) as exc:
        raise UrdfImportError(f"waypoint file {path} is not a readable .npy array: {exc}") from exc
    if not isinstance(wp, np.ndarray):
        raise UrdfImportError(f"waypoint file {path} is an archive, not one .npy array")
    if wp.dtype.kind not in "iuf":
        raise UrdfImportError(f"waypoint file {path} holds {wp.dtype} values, not joint angles")
    if wp.ndim != 2 or wp.shape[1] != n_joints or wp.shape[0] == 0:
        raise UrdfImportError(f"waypoint file {path} has shape {wp.shape}; expected (K, {n_joints}) "
                              f"for {n_joints} joints")
    if not np.all(np.isfinite(wp)):
        raise UrdfImportError(f"waypoint file {path} holds non-finite values")
    return wp.astype(np.float64, copy=False)


def _arm_link_meshes(model, visual, package_dirs):
    urdf_dir = model.urdf_path.absolute().parent
    cache = {}
    members = [[] for _ in model.frame_links]
    for name in model.links:  # URDF order, so the stacking order is the file's
        members[model.owner[name]].append(name)
    out = []
    for i, frame in enumerate(model.frame_links):
        Vs, Fs, offset = [], [], 0
        for name in members[i]:
            link = model.links[name]
            T_frame_link = model.rel(frame, name)
            elements = link.visuals if visual else link.collisions
            for e in elements:
                owner = f"link '{name}'"
                V, F = _geometry_mesh(e.geometry, owner, urdf_dir, package_dirs, cache)
                if e.origin is not None and not np.all(np.isfinite(e.origin)):
                    raise UrdfImportError(f"a geometry of {owner} has a non-finite origin")
                T = T_frame_link if e.origin is None else T_frame_link @ np.asarray(e.origin, dtype=np.float64)
                Vs.append(V @ T[:3, :3].T + T[:3, 3])
                Fs.append(F + offset)
                offset += len(V)
        if not Fs:
            kind = "visual" if visual else "collision"
            hint = "" if visual else " (try --visual)"
            raise UrdfImportError(f"arm link {i} ('{frame}') has no {kind} geometry, "
                                  f"nor does anything fixed to it{hint}")
        out.append((np.concatenate(Vs), np.concatenate(Fs)))
    return out


def _screws_and_limits(model):
    n = len(model.arm)
    screws = np.zeros((6, n))
    limits = np.zeros((n, 2))
    base = model.frame_links[0]
    for k, j in enumerate(model.arm):
        T = model.rel(base, j.child)  # the joint frame is the child's frame at value 0
        w = T[:3, :3] @ j.axis
        if j.type == "prismatic":
            screws[3:, k] = w * CM_PER_M
        else:
            screws[:3, k] = w
            screws[3:, k] = -np.cross(w, T[:3, 3]) * CM_PER_M
        lo, hi = -np.inf, np.inf
        if j.type != "continuous" and j.limit is not None:
            lo = -np.inf if j.limit.lower is None else float(j.limit.lower)
            hi = np.inf if j.limit.upper is None else float(j.limit.upper)
        if np.isnan(lo) or np.isnan(hi) or lo > hi:
            raise UrdfImportError(f"joint '{j.name}' has limits [{lo}, {hi}]")
        limits[k] = (lo, hi)
    return screws, limits


def _velocity_limits(model):
    """The joints' URDF velocity limits, (n,) float64, when every joint has a positive
    finite one (the planner's timing uses them only as a full set); else None."""
    out = []
    for j in model.arm:
        v = None if j.limit is None else j.limit.velocity
        if v is None or not np.isfinite(float(v)) or float(v) <= 0.0:
            return None
        out.append(float(v))
    return np.array(out, dtype=np.float64)


def _write_cache(folder, model, B, link_meshes, env_meshes, waypoints, tool=None, narrow=None):
    screws, limits = _screws_and_limits(model)
    limits = _narrowed(model, limits, narrow)
    links_meta = []
    for i, (frame, (V, F)) in enumerate(zip(model.frame_links, link_meshes)):
        np.savez(folder / f"link_{i}.npz", V=V, F=F)
        home = B @ model.rel(model.frame_links[0], frame)
        links_meta.append({"index": i, "name": frame, "home_transform": home.tolist(),
                           "n_vertices": int(len(V)), "n_faces": int(len(F))})
    env_meta = []
    for name, V, F in env_meshes:
        np.savez(folder / f"env_{name}.npz", V=V, F=F)
        env_meta.append({"name": name, "n_vertices": int(len(V)), "n_faces": int(len(F))})
    with open(folder / "meta.json", "w") as fh:
        json.dump({"units": "meters", "links": links_meta, "env": env_meta}, fh, indent=2)
    np.save(folder / "ScrewAxis", screws)
    np.save(folder / "JointLimits", limits)
    velocities = _velocity_limits(model)
    if velocities is not None:
        np.save(folder / "JointVelocityLimits", velocities)
    if waypoints is not None:
        np.save(folder / "WaypointJointAngles", waypoints)
    if tool is not None:
        np.save(folder / "ToolTransform", tool)
    # The arm's joint names, base to tip, for what a robot stack reads (exports, headers).
    (folder / JOINT_NAMES_FILE).write_text(json.dumps([j.name for j in model.arm]))


def _self_check(folder, model, B, samples=SELF_CHECK_SAMPLES, seed=SELF_CHECK_SEED):
    """Largest deviation of the cache's forward kinematics (read back from the files)
    from the URDF's own at the zero vector and `samples` random joint vectors."""
    import Tovik
    meta = json.loads((folder / "meta.json").read_text())
    entries = sorted(meta["links"], key=lambda e: e["index"])
    home = np.array([e["home_transform"] for e in entries], dtype=np.float64)
    slist = np.load(folder / "ScrewAxis.npy", allow_pickle=False).astype(np.float64)
    slist[3:, :] *= 1.0 / CM_PER_M
    slist = np.asarray(Tovik.adjoint(home[0])) @ slist
    limits = np.load(folder / "JointLimits.npy", allow_pickle=False)
    lo = np.where(np.isfinite(limits[:, 0]), limits[:, 0], -np.pi)
    hi = np.where(np.isfinite(limits[:, 1]), limits[:, 1], np.pi)
    rng = np.random.default_rng(seed)
    robot = model.robot
    base = model.frame_links[0]
    worst = 0.0
    vectors = [np.zeros(len(model.arm))] + [rng.uniform(lo, hi) for _ in range(samples)]
    for q in vectors:
        robot.update_cfg({j.name: float(v) for j, v in zip(model.arm, q)})
        poses = [home[0]] + [np.asarray(T) for T in Tovik.forward_kinematics(slist, home[1:], q)]
        for i, frame in enumerate(model.frame_links):
            ref = B @ robot.get_transform(frame_to=frame, frame_from=base)
            err = float(np.max(np.abs(ref - poses[i])))
            worst = max(worst, err)
            if not err <= SELF_CHECK_TOL:
                raise SelfCheckError(
                    f"FK self-check failed: arm link {i} ('{frame}') is {err:.3g} off the URDF's own "
                    f"forward kinematics at joint vector {np.array2string(q, precision=4)}")
        # Links merged into an arm link must ride along rigidly.
        for name, i in model.owner.items():
            if name in model.frame_links:
                continue
            frame = model.frame_links[i]
            got = robot.get_transform(frame_to=name, frame_from=frame)
            err = float(np.max(np.abs(got - model.rel(frame, name))))
            worst = max(worst, err)
            if not err <= SELF_CHECK_TOL:
                raise SelfCheckError(
                    f"FK self-check failed: link '{name}', merged into arm link {i} ('{frame}'), "
                    f"moves {err:.3g} against it at joint vector {np.array2string(q, precision=4)}")
    robot.update_cfg({j.name: 0.0 for j in model.arm})
    return worst


def verify_cache(cache_dir, urdf, joints, *, base=None, samples=SELF_CHECK_SAMPLES, seed=SELF_CHECK_SEED):
    """Compare a cache's forward kinematics, read from its files as the planner reads
    them, with the URDF's own (yourdfpy) at the zero vector and `samples` random joint
    vectors within the limits (±pi where a limit is infinite).

    Returns the largest absolute deviation of any pose entry (metres for translations);
    raises `SelfCheckError` if it exceeds `SELF_CHECK_TOL`.
    """
    path, robot = _load_urdf(urdf)
    model = _Model(robot, path, _joint_list(joints))
    return _self_check(Path(cache_dir), model, _base_matrix(base), samples=samples, seed=seed)


def _joint_list(joints):
    if isinstance(joints, str):
        joints = [s.strip() for s in joints.split(",")]
    joints = [str(j) for j in joints]
    if any(not j for j in joints):
        raise UrdfImportError(f"empty joint name in {','.join(joints)!r}")
    return joints


def urdf_to_cache(urdf, out_dir, joints, *, base=None, env=(), waypoints=None, visual=False,
                  package_dirs=None, tool=None, tool_offset=None, limits=None):
    """Write a capture cache for the arm of a URDF into `out_dir`; return its Path.

    urdf          path of the .urdf file.
    joints        the arm's joints base to tip: a sequence of names or "J1,J2,...".
    base          world pose of link 0 (the first joint's parent link): six numbers
                  x, y, z (metres), roll, pitch, yaw (radians, as URDF's rpy), or a
                  4x4 transform; default the identity.
    env           mesh files, each one environment body in world coordinates, named
                  by its file stem.
    waypoints     a .npy file of shape (K, n_joints) (or such an array), written as
                  WaypointJointAngles.npy; None writes none.
    visual        take the links' visual geometry instead of their collision geometry.
    package_dirs  {package name: folder} for package:// mesh references; others are
                  looked for beside the URDF.
    tool          a link that moves with the last arm link (merged into it or not, e.g.
                  "tool0"): the tool frame, written as ToolTransform.npy (its pose in the
                  last arm link's frame); None: the last link's frame is the tool's.
    tool_offset   six numbers x, y, z, roll, pitch, yaw: the tool frame moved by this
                  in its own frame.
    limits        {joint: (lo, hi)}: narrower ranges for arm joints (e.g. a wrist of
                  +-2 pi kept to +-pi), within the URDF's own.

    Bad input raises `UrdfImportError` naming the culprit, a failed forward-kinematics
    self-check `SelfCheckError`; either way `out_dir` is left untouched.  An existing
    `out_dir` that holds anything but cache files is never replaced.
    """
    return _build(urdf, out_dir, joints, base=base, env=env, waypoints=waypoints, visual=visual,
                  package_dirs=package_dirs, tool=tool, tool_offset=tool_offset, limits=limits)[0]


def _build(urdf, out_dir, joints, *, base, env, waypoints, visual, package_dirs, tool=None,
           tool_offset=None, limits=None):
    """urdf_to_cache's work; returns (out path, largest self-check deviation, number of vectors,
    the model read from the URDF)."""
    out = Path(out_dir)
    if out.name in ("", ".", ".."):
        raise UrdfImportError(f"output folder {out_dir!r} must name a folder")
    _check_replaceable(out)
    package_dirs = dict(package_dirs or {})
    for name, folder in package_dirs.items():
        if not Path(folder).is_dir():
            raise UrdfImportError(f"package folder {folder} of package '{name}' is not a folder")
    from cellpath_cli.runs import check_interrupted  # noqa: PLC0415

    B = _base_matrix(base)
    path, robot = _load_urdf(urdf)
    check_interrupted()   # the URDF and mesh libraries swallow Ctrl-C while they load
    model = _Model(robot, path, _joint_list(joints))

    wp = None
    if waypoints is not None:
        if isinstance(waypoints, (str, os.PathLike)):
            wp = _load_waypoints(waypoints, len(model.arm))
        else:
            arr = np.asarray(waypoints, dtype=np.float64)
            if arr.ndim != 2 or arr.shape[1] != len(model.arm) or arr.shape[0] == 0 or not np.all(np.isfinite(arr)):
                raise UrdfImportError(f"waypoints of shape {arr.shape} given; expected finite (K, {len(model.arm)})")
            wp = arr

    tool_T = _tool_transform(model, tool, tool_offset)
    _narrowed(model, _screws_and_limits(model)[1], limits)  # refused before any mesh is read
    link_meshes = _arm_link_meshes(model, visual, package_dirs)
    check_interrupted()
    env_meshes, seen = [], {}
    cache = {}
    for e in env:
        p = Path(e)
        if not p.is_file():
            raise UrdfImportError(f"environment mesh file {p} not found")
        name = p.stem
        if name in seen:
            raise UrdfImportError(f"environment meshes {seen[name]} and {p} share the name '{name}'")
        seen[name] = p
        V, F = _load_mesh_file(p, cache)
        check_interrupted()
        env_meshes.append((name, V, F))

    parent = out.absolute().parent
    parent.mkdir(parents=True, exist_ok=True)
    from cellpath_cli import runs  # noqa: PLC0415

    # One import at a time into a folder, and none while a run uses the cache it replaces.
    with runs.cache_lock(parent, "cellpath-urdf"), runs.cache_lock(out if out.is_dir() else parent, "cellpath-urdf"):
        _tidy(parent, out)
        worst = _write_and_swap(runs, parent, out, model, B, link_meshes, env_meshes, wp, tool_T, limits)
    return out, worst, SELF_CHECK_SAMPLES + 1, model


def _tidy(parent, out):
    """What an import killed mid-way left beside `out` (the caller holds the folder's
    lock, so nothing else is writing these): the previous cache is put back when `out`
    is missing, and the rest removed."""
    left = sorted(parent.glob(f".{glob.escape(out.name)}.*.old")) + sorted(parent.glob(f".{glob.escape(out.name)}.*.part"))
    for folder in left:
        kept = folder / "cache"
        if folder.suffix == ".old" and kept.is_dir() and not (out.exists() or out.is_symlink()):
            os.replace(kept, out)
        shutil.rmtree(folder, ignore_errors=True)


def _write_and_swap(runs, parent, out, model, B, link_meshes, env_meshes, wp, tool_T, limits):
    tmp = Path(tempfile.mkdtemp(prefix=f".{out.name}.", suffix=".part", dir=parent))
    try:
        _umask_mode(tmp)
        _write_cache(tmp, model, B, link_meshes, env_meshes, wp, tool=tool_T, narrow=limits)
        worst = _self_check(tmp, model, B)
        _check_replaceable(out)  # it may have changed while we worked
        # An interrupt a library swallowed while loading meshes still stops the
        # import here; the two renames below are never split by one.
        with runs.signals_held():
            if out.exists():
                old = Path(tempfile.mkdtemp(prefix=f".{out.name}.", suffix=".old", dir=parent))
                os.replace(out, old / "cache")
                try:
                    os.replace(tmp, out)
                except BaseException:
                    os.replace(old / "cache", out)  # put the previous cache back
                    old.rmdir()
                    raise
            else:
                old = None
                os.replace(tmp, out)
        if old is not None:
            shutil.rmtree(old, ignore_errors=True)
    except BaseException as exc:
        shutil.rmtree(tmp, ignore_errors=True)
        if isinstance(exc, OSError) and exc.errno is not None and exc.filename is None:
            # A full disk says only "[Errno 28]": name the cache being written.
            raise type(exc)(exc.errno, exc.strerror, str(out)) from None
        raise
    return worst


def _umask_mode(folder):
    """A folder made by mkdtemp is private (0700); a cache is as readable as the umask says."""
    from cellpath_cli.runs import umask  # noqa: PLC0415

    os.chmod(folder, 0o777 & ~umask())


# --------------------------------------------------------------------------- command line

def _parse_base(text):
    parts = text.split(",")
    try:
        vals = [float(s) for s in parts]
    except ValueError:
        vals = []
    if len(vals) != 6 or not all(np.isfinite(vals)):
        raise argparse.ArgumentTypeError(f"--base needs six numbers X,Y,Z,ROLL,PITCH,YAW, got {text!r}")
    return vals


def _parse_package(text):
    name, sep, folder = text.partition("=")
    if not sep or not name or not folder:
        raise argparse.ArgumentTypeError(f"--package-dir needs NAME=DIR, got {text!r}")
    return name, folder


def _parser():
    p = argparse.ArgumentParser(
        prog="cellpath-urdf",
        description="Write a capture cache (the CAD capture's layout) for the arm of a URDF.")
    p.add_argument("urdf", metavar="ROBOT.urdf", help="the robot description")
    p.add_argument("out_dir", metavar="OUT_DIR", help="cache folder to write (replaced if it holds only a cache)")
    p.add_argument("--joints", required=True, metavar="J1,J2,...",
                   help="the arm's joints from base to tip, comma-separated")
    p.add_argument("--base", type=_parse_base, metavar="X,Y,Z,ROLL,PITCH,YAW",
                   help="world pose of the first joint's parent link (metres, radians as URDF rpy)")
    p.add_argument("--env", action="append", default=[], metavar="MESH",
                   help="environment mesh in world coordinates, named by its file stem (repeatable)")
    p.add_argument("--waypoints", metavar="FILE.npy", help="(K, n) joint vectors, saved as WaypointJointAngles.npy")
    p.add_argument("--visual", action="store_true", help="use visual instead of collision geometry")
    p.add_argument("--package-dir", action="append", default=[], type=_parse_package, metavar="NAME=DIR",
                   help="folder of a package:// package (repeatable)")
    p.add_argument("--tool", metavar="FRAME",
                   help="link of the tool frame (e.g. tool0), moving with the last arm link; "
                        "written as ToolTransform.npy")
    p.add_argument("--tool-offset", type=_parse_tool_offset, metavar="X,Y,Z,ROLL,PITCH,YAW",
                   help="the tool frame moved by this in its own frame (metres, radians)")
    p.add_argument("--limit", action="append", default=[], type=_parse_limit, metavar="JOINT=LO:HI",
                   help="narrow an arm joint's range, e.g. --limit=wrist_3_joint=-3.14:3.14 (repeatable)")
    return p


def main(argv=None):
    """Console entry of `cellpath-urdf`; returns the exit status (0 on success, 1 on
    an import error, printed to stderr)."""
    from cellpath_cli import negative_values_joined  # noqa: PLC0415

    argv = sys.argv[1:] if argv is None else argv
    args = _parser().parse_args(negative_values_joined(argv, ("--base", "--tool-offset", "--limit")))
    try:
        out, worst, n_checked, model = _build(args.urdf, args.out_dir, args.joints, base=args.base, env=args.env,
                                       waypoints=args.waypoints, visual=args.visual,
                                       package_dirs=dict(args.package_dir), tool=args.tool,
                                       tool_offset=args.tool_offset, limits=dict(args.limit))
    except (UrdfImportError, SelfCheckError) as exc:
        print(f"cellpath-urdf: error: {exc}", file=sys.stderr)
        return 1
    meta = json.loads((out / "meta.json").read_text())
    names = ", ".join(e["name"] for e in meta["links"])
    print(f"wrote {out}: {len(meta['links'])} links ({names}), {len(meta['links']) - 1} joints, "
          f"{len(meta['env'])} environment bodies"
          + (f", {len(np.load(out / 'WaypointJointAngles.npy'))} waypoints"
             if (out / "WaypointJointAngles.npy").exists() else ""))
    print(f"FK self-check passed: {n_checked} joint vectors, largest deviation {worst:.2e} m")
    for line in _report(out, model, args):
        print(line)
    return 0


def _report(out, model, args):
    """What the import made of the URDF: the chain with each joint's limits as stored, the
    tool frame, and every joint that could move what the tool carries but is held at 0."""
    limits = np.load(out / "JointLimits.npy", allow_pickle=False)
    lines = ["chain, base to tip (limits as stored; rad, m for a prismatic joint):"]
    width = max(len(j.name) for j in model.arm)
    for k, (j, (lo, hi)) in enumerate(zip(model.arm, limits), start=1):
        narrowed = " (narrowed by --limit)" if j.name in dict(args.limit) else ""
        lines.append(f"  {k}. {j.name:{width}s} {j.type:10s} [{lo:8.4f}, {hi:8.4f}]  "
                     f"{j.parent} -> {j.child}{narrowed}")
    last = model.frame_links[-1]
    tool = out / "ToolTransform.npy"
    if tool.exists():
        T = np.load(tool, allow_pickle=False)
        R = T[:3, :3]  # URDF's rpy: R = Rz(yaw) Ry(pitch) Rx(roll)
        rpy = (np.arctan2(R[2, 1], R[2, 2]), np.arcsin(np.clip(-R[2, 0], -1, 1)), np.arctan2(R[1, 0], R[0, 0]))
        lines.append(f"tool frame: {args.tool or last}{' moved by --tool-offset' if args.tool_offset else ''}; "
                     f"in {last}'s frame at xyz ({', '.join(f'{v + 0.0:.4g}' for v in T[:3, 3])}) m, "
                     f"rpy ({', '.join(f'{v + 0.0:.4g}' for v in rpy)}) rad")
    else:
        lines.append(f"tool frame: {last}'s own frame (no --tool)")
    on_path = set()
    if args.tool:
        cur = args.tool
        while cur != last and cur in model.parent_joint:
            on_path.add(model.parent_joint[cur].name)
            cur = model.parent_joint[cur].parent
    arm = {j.name for j in model.arm}
    for j in model.joints.values():
        if j.type == "fixed" or j.name in arm or j.mimic is not None or model.owner.get(j.parent) != len(model.arm):
            continue
        where = "between the last arm link and the tool frame" if j.name in on_path else \
            f"on the last arm link '{last}'"
        lines.append(f"warning: joint '{j.name}' ({j.type}) {where} can move but is held at 0; "
                     "name it in --joints if the arm should move it")
    return lines
