"""Real arms as data, and workcells around them written as capture caches.

`robot_description(name)` (examples/robot_data.py) returns the folder of a
published robot description: an xArm6, a Panda and an LBR iiwa from the pybullet
wheel on PyPI, a UR5 from the example-robot-data wheel, both of which ship them as
data.  A wheel is downloaded once, only the folder asked for is unpacked into
build/robot-data/ (CELLPATH_ROBOT_DATA overrides), and reruns reuse it.  No wheel
is ever installed and nothing in one is run.

The scene builders write a capture cache with `cellpath_urdf.urdf_to_cache`:

    xarm6_cell(out_dir)    xArm6 on a pedestal, base off the origin and turned, in a
                           cell with a table, a partition wall beside it and a side
                           shelf; a task from over the table into the shelf and back
    ur5_cell(out_dir)      the same cell, stretched, around a UR5 (joints within
                           +-2 pi) and the same task
    iiwa_cell(out_dir)     the same for a seven-joint LBR iiwa
    panda_shelf(out_dir)   Panda in front of a shelf with three cells side by side;
                           a task from one cell into its neighbour
    panda_tall_shelf(out_dir)
                           Panda before a tall shelf of 2 cm boards (two cells side
                           by side between two boards); a task from one of those
                           cells into the other

The environment bodies are built with trimesh and written as STL files, the
task as waypoints.npy (into `scene_dir`, or a temporary folder), which the
importer reads like any user's files.  In every task the straight joint-space
moves between the targets, and from the last target back to the start, collide;
every waypoint is at least 15 mm from the environment by the exact meshes (the
base standing on its pedestal aside).  From the command line:

    python examples/real_arms.py xarm6_cell OUT_DIR [--scene-dir DIR] [--visual]
        [--picture PNG] [--plan BRIMWELL_OPTION...]
"""
from __future__ import annotations

import argparse
import os
import sys
import tempfile
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from robot_data import DATA_DIR, DESCRIPTIONS, PYBULLET_VERSION, robot_description  # noqa: E402,F401

ROOT = Path(__file__).resolve().parents[1]

XARM6_JOINTS = ("joint1", "joint2", "joint3", "joint4", "joint5", "joint6")
PANDA_JOINTS = tuple(f"panda_joint{k}" for k in range(1, 8))
UR5_JOINTS = ("shoulder_pan_joint", "shoulder_lift_joint", "elbow_joint",
              "wrist_1_joint", "wrist_2_joint", "wrist_3_joint")
IIWA_JOINTS = tuple(f"lbr_iiwa_joint_{k}" for k in range(1, 8))


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
    urdf, joints, base, scene_fn, _ = ARMS[scene]
    urdf, meshes = urdf(), scene_fn()
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


# The cell, in the frame of the pedestal top (x forward, the arm's base frame), laid
# out for the xArm6's reach; SCALE stretches it about that frame's origin for a
# longer arm (the floor stays the floor).
CELL_BOXES = {
    "pedestal": [((-0.15, -0.15, None), (0.15, 0.15, 0.0))],
    "table": [((0.30, -0.20, None), (0.80, 0.45, -0.05))],
    # between the table and the shelf, standing on the floor
    "wall": [((0.25, -0.30, None), (0.85, -0.26, 0.35))],
    "shelf": [
        ((-0.30, -0.80, None), (0.30, -0.76, 0.65)),           # back panel
        ((-0.34, -0.80, None), (-0.30, -0.45, 0.65)),          # sides
        ((0.30, -0.80, None), (0.34, -0.45, 0.65)),
        ((-0.30, -0.76, -0.14), (0.30, -0.45, -0.10)),         # boards
        ((-0.30, -0.76, 0.26), (0.30, -0.45, 0.30)),
        ((-0.34, -0.80, 0.65), (0.34, -0.45, 0.69)),           # top
    ],
}


def _cell_scene(base, scale=1.0):
    """Environment meshes of a cell around an arm on a pedestal with its base at
    `base` (x, y, z, roll, pitch, yaw; z is the pedestal's height), in world
    coordinates: {name: trimesh}."""
    x, y, z, _, _, yaw = base
    floor = -z  # the pedestal stands on the world floor

    def place(corner):
        return tuple(floor if v is None else v * scale for v in corner)

    return {name: _boxes([(place(lo), place(hi)) for lo, hi in boxes], _pose(x, y, z, yaw))
            for name, boxes in CELL_BOXES.items()}


def xarm6_scene():
    """Environment meshes of the xArm6 cell, in world coordinates: {name: trimesh}."""
    return _cell_scene(XARM6_BASE)


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


def ur5_urdf() -> Path:
    """The UR5 description's URDF (arm without gripper, joints within +-2 pi, the
    elbow within +-pi)."""
    return robot_description("ur_description") / "urdf" / "ur5_robot.urdf"


def iiwa_urdf() -> Path:
    """The LBR iiwa description's URDF (arm without gripper)."""
    return robot_description("kuka_iiwa") / "model.urdf"


# The same cell for two longer arms, stretched to their reach, each on its own pedestal.
# Both arms reach the shelf's middle cell low and from the side, past the wall.
UR5_BASE = (-0.2, 0.1, 0.45, 0.0, 0.0, np.radians(-45.0))
UR5_START = (0.2711, -2.0609, 1.8663, -1.3762, -1.5708, -0.3116)
UR5_TARGETS = (
    (0.0525, -0.9818, 1.5244, -2.1135, -1.5708, 0.1335),     # over the table
    (-1.7614, -0.6009, 1.5915, -4.1323, -1.3802, 0.2559),    # wrist in the shelf's middle cell
)
IIWA_BASE = (0.25, 0.3, 0.35, 0.0, 0.0, np.radians(60.0))
IIWA_START = (-1.0472, 0.3, 0.0, -1.6, 0.0, 1.2, 0.0)
IIWA_TARGETS = (
    (-0.0201, 1.8783, -0.688, 0.7702, 0.686, 1.8704, -0.1406),      # over the table
    (-2.0709, 1.7495, 1.1424, -1.0587, -0.5387, -0.7272, 0.8275),   # into the shelf's middle cell
)
UR5_SCALE = 1.2
IIWA_SCALE = 1.35


def ur5_scene():
    """Environment meshes of the UR5 cell, in world coordinates: {name: trimesh}."""
    return _cell_scene(UR5_BASE, UR5_SCALE)


def iiwa_scene():
    """Environment meshes of the LBR iiwa cell, in world coordinates: {name: trimesh}."""
    return _cell_scene(IIWA_BASE, IIWA_SCALE)


def ur5_cell(out_dir, *, scene_dir=None, visual=False) -> Path:
    """Capture cache of the UR5 cell in `out_dir`; returns its Path.

    The xArm6's cell stretched by a fifth around a UR5 on a 0.45 m pedestal turned
    -45 degrees about z: table, partition wall, side shelf with three cells.
    Waypoints: the start pose, a pose over the table, one reaching into the shelf's
    middle cell, the start pose again.  `scene_dir` and `visual` as for `xarm6_cell`.
    """
    return _scene_cache("ur5_cell", out_dir, scene_dir, visual)


def iiwa_cell(out_dir, *, scene_dir=None, visual=False) -> Path:
    """Capture cache of the LBR iiwa cell in `out_dir`; returns its Path.

    As `ur5_cell`, for a seven-joint LBR iiwa on a 0.35 m pedestal turned 60 degrees,
    the cell stretched by 1.35 (the iiwa's links are thick).
    """
    return _scene_cache("iiwa_cell", out_dir, scene_dir, visual)


# The Panda before a tall shelf of axis-aligned boards 2 cm thick: outer box x
# 0.45-0.85, y -0.4-0.4, z 0-1.0 (two sides, a back and a top), two boards centred
# at z 0.36 and 0.66, and between them a divider at y = 0; no floor.  Four cells:
# under the lower board, two side by side between the boards, and above the upper.
TALL_SHELF_BOXES = (
    ((0.45, -0.40, 0.00), (0.85, -0.38, 1.00)),   # sides
    ((0.45, 0.38, 0.00), (0.85, 0.40, 1.00)),
    ((0.83, -0.38, 0.00), (0.85, 0.38, 1.00)),    # back
    ((0.45, -0.38, 0.98), (0.83, 0.38, 1.00)),    # top
    ((0.45, -0.38, 0.35), (0.83, 0.38, 0.37)),    # boards
    ((0.45, -0.38, 0.65), (0.83, 0.38, 0.67)),
    ((0.45, -0.01, 0.37), (0.83, 0.01, 0.65)),    # divider
)
TALL_SHELF_START = (0.0, -0.785, 0.0, -2.356, 0.0, 1.571, 0.785)
TALL_SHELF_TARGETS = (
    (1.1498, -0.5827, -1.3089, -2.0171, 2.7342, 2.9043, 0.7502),   # hand in the cell at -y between the boards
    (0.0018, -0.1452, 0.3129, -2.111, -2.4364, 2.6495, 0.5203),    # in its neighbour at +y
)


def panda_tall_shelf_scene():
    """Environment meshes of the Panda's tall shelf, in world coordinates: {name: trimesh}."""
    return {"shelf": _boxes(TALL_SHELF_BOXES)}


def panda_tall_shelf(out_dir, *, scene_dir=None, visual=False) -> Path:
    """Capture cache of the Panda before the tall shelf in `out_dir`; returns its Path.

    The Panda (as in `panda_shelf`) at the origin, the shelf of TALL_SHELF_BOXES in
    front of it.  Waypoints: the start pose, a pose reaching into the cell at -y
    between the boards, one into its neighbour at +y, the start pose again.
    `scene_dir` and `visual` as for `xarm6_cell`.
    """
    return _scene_cache("panda_tall_shelf", out_dir, scene_dir, visual)


# scene: (URDF, joints, base pose, environment, waypoints)
ARMS = {
    "xarm6_cell": (xarm6_urdf, XARM6_JOINTS, XARM6_BASE, xarm6_scene,
                   (XARM6_START, *XARM6_TARGETS, XARM6_START)),
    "panda_shelf": (panda_urdf, PANDA_JOINTS, PANDA_BASE, panda_scene,
                    (PANDA_START, *PANDA_TARGETS, PANDA_START)),
    "ur5_cell": (ur5_urdf, UR5_JOINTS, UR5_BASE, ur5_scene, (UR5_START, *UR5_TARGETS, UR5_START)),
    "iiwa_cell": (iiwa_urdf, IIWA_JOINTS, IIWA_BASE, iiwa_scene,
                  (IIWA_START, *IIWA_TARGETS, IIWA_START)),
    "panda_tall_shelf": (panda_urdf, PANDA_JOINTS, PANDA_BASE, panda_tall_shelf_scene,
                         (TALL_SHELF_START, *TALL_SHELF_TARGETS, TALL_SHELF_START)),
}


def _scene_cache(scene, out_dir, scene_dir, visual):
    urdf, joints, base, scene_fn, waypoints = ARMS[scene]
    return _build(out_dir, urdf(), joints, base, scene_fn(), waypoints, scene_dir, visual)


SCENES = {"xarm6_cell": xarm6_cell, "panda_shelf": panda_shelf, "ur5_cell": ur5_cell,
          "iiwa_cell": iiwa_cell, "panda_tall_shelf": panda_tall_shelf}
VIEWS = {"xarm6_cell": (40.0, 20.0), "panda_shelf": (62.0, -150.0), "ur5_cell": (40.0, 20.0),
         "iiwa_cell": (40.0, 20.0), "panda_tall_shelf": (30.0, -150.0)}


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
