"""Real arms as data, and workcells around them written as capture caches.

`robot_description(name)` returns the folder of a published robot description
("xarm" for a six-joint xArm6, "franka_panda" for a seven-joint Panda).  They
come from the pybullet wheel on PyPI, which ships them as data in its
`pybullet_data` folder: the wheel is downloaded once (`pip download`, falling
back to PyPI's JSON API), only the folder asked for is unpacked into
build/robot-data/ (CELLPATH_ROBOT_DATA overrides), and reruns reuse it.  The
wheel is never installed and nothing in it is run.

The scene builders write a capture cache with `cellpath_urdf.urdf_to_cache`:

    xarm6_cell(out_dir)    xArm6 on a pedestal, base off the origin and turned, in a
                           cell with a table, a partition wall beside it and a side
                           shelf; a task from over the table into the shelf and back
    panda_shelf(out_dir)   Panda in front of a shelf with three cells side by side;
                           a task from one cell into its neighbour

The environment bodies are built with trimesh and written as STL files, the
task as waypoints.npy (into `scene_dir`, or a temporary folder), which the
importer reads like any user's files.  In both tasks the straight joint-space
moves between the targets, and from the last target back to the start, collide.
From the command line:

    python examples/real_arms.py xarm6_cell OUT_DIR [--scene-dir DIR] [--visual]
        [--picture PNG] [--plan BRIMWELL_OPTION...]
"""
from __future__ import annotations

import argparse
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import urllib.request
import zipfile
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
DATA_DIR = Path(os.environ.get("CELLPATH_ROBOT_DATA", ROOT / "build" / "robot-data"))
PYBULLET_VERSION = "3.2.7"
# Any of the wheels holds the same data; one fixed tag keeps the download the same
# whatever interpreter or machine asks.
WHEEL_PLATFORM = "manylinux2014_x86_64"
WHEEL_PYTHON = "3.11"
DESCRIPTIONS = ("xarm", "franka_panda")

XARM6_JOINTS = ("joint1", "joint2", "joint3", "joint4", "joint5", "joint6")
PANDA_JOINTS = tuple(f"panda_joint{k}" for k in range(1, 8))


# --------------------------------------------------------------------------- data

def _download_wheel(dest: Path) -> Path:
    """The pybullet wheel in `dest`, fetched once."""
    found = sorted(dest.glob(f"pybullet-{PYBULLET_VERSION}-*.whl"))
    if found:
        return found[0]
    dest.mkdir(parents=True, exist_ok=True)
    tmp = Path(tempfile.mkdtemp(dir=dest, prefix=".download."))
    try:
        cmd = [sys.executable, "-m", "pip", "download", "--quiet", "--no-deps", "--only-binary", ":all:",
               "--platform", WHEEL_PLATFORM, "--python-version", WHEEL_PYTHON, "--implementation", "cp",
               "-d", str(tmp), f"pybullet=={PYBULLET_VERSION}"]
        if subprocess.run(cmd).returncode != 0:
            _download_from_json_api(tmp)
        wheels = sorted(tmp.glob("pybullet-*.whl"))
        if not wheels:
            raise RuntimeError(f"no pybullet {PYBULLET_VERSION} wheel could be downloaded")
        target = dest / wheels[0].name
        os.replace(wheels[0], target)
        return target
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def _download_from_json_api(folder: Path) -> None:
    with urllib.request.urlopen(f"https://pypi.org/pypi/pybullet/{PYBULLET_VERSION}/json", timeout=60) as r:
        files = json.load(r)["urls"]
    wheels = [f for f in files if f["filename"].endswith(".whl")]
    if not wheels:
        raise RuntimeError(f"PyPI lists no wheel of pybullet {PYBULLET_VERSION}")
    f = wheels[0]
    target = folder / f["filename"]
    digest = hashlib.sha256()
    with urllib.request.urlopen(f["url"], timeout=600) as r, open(target, "wb") as out:
        for chunk in iter(lambda: r.read(1 << 20), b""):
            digest.update(chunk)
            out.write(chunk)
    if digest.hexdigest() != f["digests"]["sha256"]:
        target.unlink()
        raise RuntimeError(f"{f['filename']}: checksum mismatch")


def robot_description(name: str) -> Path:
    """Folder of the published robot description `name` ("xarm" or "franka_panda"),
    unpacked from the pybullet wheel into DATA_DIR on first use."""
    if name not in DESCRIPTIONS:
        raise ValueError(f"unknown robot description {name!r}; known: {', '.join(DESCRIPTIONS)}")
    dest = DATA_DIR / f"pybullet-{PYBULLET_VERSION}" / name
    if (dest / ".complete").is_file():
        return dest
    wheel = _download_wheel(DATA_DIR / "downloads")
    dest.parent.mkdir(parents=True, exist_ok=True)
    tmp = Path(tempfile.mkdtemp(dir=dest.parent, prefix=f".{name}."))
    try:
        prefix = f"pybullet_data/{name}/"
        with zipfile.ZipFile(wheel) as z:
            for info in z.infolist():
                if info.is_dir() or not info.filename.startswith(prefix):
                    continue
                rel = Path(info.filename[len(prefix):])
                if rel.is_absolute() or ".." in rel.parts:
                    continue
                target = tmp / rel
                target.parent.mkdir(parents=True, exist_ok=True)
                with z.open(info) as src, open(target, "wb") as out:
                    shutil.copyfileobj(src, out)
        (tmp / ".complete").write_text(wheel.name + "\n")
        if not (dest / ".complete").is_file():  # another process may have been quicker
            if dest.exists():
                shutil.rmtree(dest)
            os.replace(tmp, dest)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    return dest


def xarm6_urdf() -> Path:
    """The xArm6 description's URDF (arm without gripper)."""
    return robot_description("xarm") / "xarm6_robot.urdf"


def panda_urdf() -> Path:
    """The Panda description's URDF (arm with hand and fingers)."""
    return robot_description("franka_panda") / "panda.urdf"


# --------------------------------------------------------------------------- scenes

def _boxes(boxes, T=None):
    """One trimesh mesh of axis-aligned boxes (lo, hi), optionally moved by T."""
    import trimesh
    parts = []
    for lo, hi in boxes:
        lo, hi = np.asarray(lo, float), np.asarray(hi, float)
        parts.append(trimesh.creation.box(extents=hi - lo,
                                          transform=trimesh.transformations.translation_matrix((lo + hi) / 2)))
    mesh = trimesh.util.concatenate(parts)
    if T is not None:
        mesh.apply_transform(T)
    return mesh


def _pose(x, y, z, yaw):
    c, s = np.cos(yaw), np.sin(yaw)
    T = np.eye(4)
    T[:2, :2] = [[c, -s], [s, c]]
    T[:3, 3] = (x, y, z)
    return T


def _write_env(env_dir, meshes):
    env_dir = Path(env_dir)
    env_dir.mkdir(parents=True, exist_ok=True)
    paths = []
    for name, mesh in meshes.items():
        p = env_dir / f"{name}.stl"
        tmp = env_dir / f".{name}.stl.part"
        mesh.export(tmp, file_type="stl")
        os.replace(tmp, p)
        paths.append(p)
    return paths


def _build(out_dir, urdf, joints, base, meshes, waypoints, scene_dir, visual):
    from cellpath_urdf import urdf_to_cache
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(scene_dir) if scene_dir is not None else Path(tmp)
        env = _write_env(folder, meshes)
        task = folder / "waypoints.npy"
        np.save(folder / ".waypoints.part.npy", np.asarray(waypoints, dtype=np.float64))
        os.replace(folder / ".waypoints.part.npy", task)
        return urdf_to_cache(urdf, out_dir, list(joints), base=base, env=env, waypoints=task,
                             visual=visual)


def command_line(scene, out_dir, scene_dir):
    """The `cellpath-urdf` command that writes the same cache as SCENE(out_dir,
    scene_dir=scene_dir) once scene_dir holds the scene's files."""
    urdf, joints, base, meshes = {
        "xarm6_cell": lambda: (xarm6_urdf(), XARM6_JOINTS, XARM6_BASE, xarm6_scene()),
        "panda_shelf": lambda: (panda_urdf(), PANDA_JOINTS, PANDA_BASE, panda_scene()),
    }[scene]()
    parts = ["cellpath-urdf", str(urdf), str(out_dir), "--joints", ",".join(joints),
             "--base=" + ",".join(repr(float(v)) for v in base)]
    for name in meshes:
        parts += ["--env", str(Path(scene_dir) / f"{name}.stl")]
    parts += ["--waypoints", str(Path(scene_dir) / "waypoints.npy")]
    return " ".join(parts)


# xArm6 cell.  The scene is laid out in the frame of the pedestal top (x forward,
# the arm's base frame) and then placed with the base pose, so it turns with it.
XARM6_BASE = (0.3, -0.2, 0.4, 0.0, 0.0, np.radians(30.0))
XARM6_START = (0.0, -0.6, -0.8, 0.0, 1.4, 0.0)
XARM6_TARGETS = (
    (0.3805, 0.6384, -1.2082, 0.0, 0.5698, -0.3022),   # over the table
    (-1.5708, 1.2844, -1.6505, 0.0, -1.2047, 0.3131),  # into the shelf's middle cell
)


def xarm6_scene():
    """Environment meshes of the xArm6 cell, in world coordinates: {name: trimesh}."""
    x, y, z, _, _, yaw = XARM6_BASE
    T = _pose(x, y, z, yaw)
    floor = -z  # the pedestal stands on the world floor
    table_top = -0.05
    meshes = {
        "pedestal": _boxes([((-0.15, -0.15, floor), (0.15, 0.15, 0.0))], T),
        "table": _boxes([((0.30, -0.20, floor), (0.80, 0.45, table_top))], T),
        # between the table and the shelf, standing on the floor
        "wall": _boxes([((0.25, -0.30, floor), (0.85, -0.26, 0.35))], T),
        "shelf": _boxes([
            ((-0.30, -0.80, floor), (0.30, -0.76, 0.65)),           # back panel
            ((-0.34, -0.80, floor), (-0.30, -0.45, 0.65)),          # sides
            ((0.30, -0.80, floor), (0.34, -0.45, 0.65)),
            ((-0.30, -0.76, -0.14), (0.30, -0.45, -0.10)),          # boards
            ((-0.30, -0.76, 0.26), (0.30, -0.45, 0.30)),
            ((-0.34, -0.80, 0.65), (0.34, -0.45, 0.69)),            # top
        ], T),
    }
    return meshes


def xarm6_cell(out_dir, *, scene_dir=None, visual=False) -> Path:
    """Capture cache of the xArm6 cell in `out_dir`; returns its Path.

    The xArm6 stands on a pedestal with its base at (0.3, -0.2, 0.4) m turned 30
    degrees about z; in front of it a table, to its right a shelf with three cells,
    and between the two a partition wall standing on the floor.  Waypoints: the
    start pose, a pose over the table, one reaching into the shelf's middle cell,
    the start pose again.  `scene_dir` keeps the environment STL files and the task
    (waypoints.npy); `visual` imports the visual meshes instead of the collision hulls.
    """
    waypoints = [XARM6_START, *XARM6_TARGETS, XARM6_START]
    return _build(out_dir, xarm6_urdf(), XARM6_JOINTS, XARM6_BASE, xarm6_scene(), waypoints,
                  scene_dir, visual)


# Panda in front of a shelf with three cells side by side along y.
PANDA_BASE = (0.0, 0.0, 0.0, 0.0, 0.0, 0.0)
PANDA_START = (0.0, -0.6, 0.0, -2.2, 0.0, 1.6, 0.785)
PANDA_TARGETS = (
    (0.0, 0.1735, 0.0, -2.2411, 0.0, 3.5991, 0.785),          # fingers in the middle cell
    (0.4282, 0.353, 0.0975, -1.687, -1.6478, 2.6439, 0.785),  # in its neighbour at +y
)
SHELF_X = (0.55, 0.85)        # front and back of the shelf
SHELF_CELLS_Y = (-0.54, -0.18, 0.18, 0.54)
SHELF_Z = (0.30, 0.62)        # bottom and top of the cells
BOARD = 0.02


def panda_scene():
    """Environment meshes of the Panda shelf, in world coordinates: {name: trimesh}."""
    (x0, x1), (z0, z1), ys = SHELF_X, SHELF_Z, SHELF_CELLS_Y
    parts = [
        ((x0, ys[0] - BOARD, 0.0), (x1, ys[-1] + BOARD, z0)),                # base cabinet
        ((x0, ys[0] - BOARD, z1), (x1, ys[-1] + BOARD, z1 + BOARD)),         # top board
        ((x1, ys[0] - BOARD, z0), (x1 + BOARD, ys[-1] + BOARD, z1 + BOARD)),  # back panel
    ]
    for yb in ys:  # outer sides and the two dividers
        parts.append(((x0, yb - BOARD / 2, z0), (x1, yb + BOARD / 2, z1)))
    return {"shelf": _boxes(parts)}


def panda_shelf(out_dir, *, scene_dir=None, visual=False) -> Path:
    """Capture cache of the Panda shelf in `out_dir`; returns its Path.

    The Panda (hand and fingers merged into link 7, fingers closed) stands at the
    origin in front of a shelf of three cells side by side.  Waypoints: the start
    pose, a pose reaching into the middle cell, one into its neighbour, the start
    pose again.  `scene_dir` and `visual` as for `xarm6_cell`.
    """
    waypoints = [PANDA_START, *PANDA_TARGETS, PANDA_START]
    return _build(out_dir, panda_urdf(), PANDA_JOINTS, PANDA_BASE, panda_scene(), waypoints,
                  scene_dir, visual)


SCENES = {"xarm6_cell": xarm6_cell, "panda_shelf": panda_shelf}
VIEWS = {"xarm6_cell": (40.0, 20.0), "panda_shelf": (62.0, -150.0)}


def picture(cache_dir, out, *, title="", view=(40.0, 20.0)):
    """PNG of a cache's scene (examples/render.py's headless drawing): the arm solid at
    the first waypoint and faint at the others, the environment translucent, and the
    tool path of the planned trajectory when the cache holds one.
    `view` is the camera's (elevation, azimuth) in degrees."""
    import render
    import matplotlib.pyplot as plt
    from mpl_toolkits.mplot3d.art3d import Poly3DCollection

    scene = render.CacheScene(Path(cache_dir))
    waypoints = np.load(Path(cache_dir) / "WaypointJointAngles.npy", allow_pickle=False)
    fig = plt.figure(figsize=(8, 7), dpi=110)
    ax = fig.add_subplot(projection="3d")
    lo, hi = scene.bounds()
    centre, half = (lo + hi) / 2, (hi - lo).max() / 2 * 1.02
    for set_lim, c in zip((ax.set_xlim, ax.set_ylim, ax.set_zlim), centre):
        set_lim(c - half, c + half)
    ax.set_box_aspect((1, 1, 1))
    ax.set_xlabel("x [m]")
    ax.set_ylabel("y [m]")
    ax.set_zlabel("z [m]")
    ax.set_title(title)
    ax.view_init(elev=view[0], azim=view[1])
    for _, V, F in scene.env_meshes:
        ax.add_collection3d(Poly3DCollection(V[F], facecolor=render.ENV_FACE,
                                             edgecolor=(0.5, 0.2, 0.2, 0.12), linewidths=0.2))
    for k, q in enumerate(waypoints[:-1]):
        alpha = 1.0 if k == 0 else 0.3
        for i, ((V, F), T) in enumerate(zip(scene.link_meshes, scene.poses(q))):
            face = render.BASE_FACE if i == 0 else render.LINK_FACE
            ax.add_collection3d(Poly3DCollection((V @ T[:3, :3].T + T[:3, 3])[F],
                                                 facecolor=face[:3] + (face[3] * alpha,),
                                                 edgecolor=(0.1, 0.1, 0.2, 0.2 * alpha), linewidths=0.2))
    planned = Path(cache_dir) / "JointAnglesToTravelAlong.npy"
    if planned.is_file():
        path = scene.tool_path(np.load(planned, allow_pickle=False))
        ax.plot(path[:, 0], path[:, 1], path[:, 2], color=render.PATH_COLOR, linewidth=2.2,
                label="planned tool path")
        ax.legend(loc="upper left")
    fig.tight_layout()
    fig.savefig(out)
    plt.close(fig)
    return Path(out)


def main(argv=None):
    """Build one of the scenes: real_arms.py SCENE OUT_DIR [--scene-dir DIR] [--visual] [--picture PNG]."""
    p = argparse.ArgumentParser(description="Write a real-arm scene as a capture cache.")
    p.add_argument("scene", choices=sorted(SCENES))
    p.add_argument("out_dir")
    p.add_argument("--scene-dir", help="keep the environment STL files and waypoints.npy in this folder")
    p.add_argument("--visual", action="store_true", help="import the visual meshes")
    p.add_argument("--picture", help="also draw the scene into this PNG")
    p.add_argument("--plan", nargs=argparse.REMAINDER, metavar="BRIMWELL_OPTION",
                   help="plan the task with Brimwell (the options after --plan are its own) before drawing")
    args = p.parse_args(argv)
    out = SCENES[args.scene](args.out_dir, scene_dir=args.scene_dir, visual=args.visual)
    print(f"wrote {out}")
    if args.scene_dir:
        print("the same with the command line:")
        print("  " + command_line(args.scene, args.out_dir, args.scene_dir))
    if args.plan is not None:
        import Brimwell
        Brimwell.main(["--cache-dir", str(out), *args.plan])
    if args.picture:
        print(f"drew {picture(out, args.picture, view=VIEWS[args.scene])}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
