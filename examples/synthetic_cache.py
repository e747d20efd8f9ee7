"""Synthetic capture caches: a serial arm of box links and a few environment boxes.

`write_cache(path, ...)` writes a complete capture cache directory in the same
layout the CAD capture produces (meta.json, link_<i>.npz, env_<name>.npz,
ScrewAxis.npy, JointLimits.npy and, on request, WaypointJointAngles.npy), so the
offline modules can be exercised without a CAD host.  It returns a
`SyntheticCache` that also knows the ground truth: the world-frame screws in
metres and a plain numpy forward kinematics for any joint vector.

The arm stands upright along the base's z axis at the zero joint vector:

    link 0 (base)  box 0.20 x 0.20 x 0.10, z in [0, 0.10] of the base frame
    link k >= 1    box 0.08 x 0.06 x L_k standing on joint k-1, L = 0.30, 0.25,
                   0.20, 0.15, 0.10, 0.08 (the first n_joints of them)
    joint j        on the arm's axis at the bottom of link j+1, about the base's
                   z, y, y, x, y, z axis (j = 0 .. 5); a prismatic joint slides
                   along the base's z instead

Each link's frame sits at its joint and is turned about z by 0.3 rad per link, so
link frames are not the world frame.  Turning joint 1 to +pi/2 swings the arm
towards +x, into the default "wall" box; at the zero joint vector the arm is free
(FREE_Q and COLLIDING_Q, for the default scene with the base at the origin).

Variants of the layout that readers must cope with (or reject):
    gap_at=k            link k is missing (no file, no meta entry): a gap in the indices
    link_order=[...]    the order of the "links" entries in meta.json
    env_key=False       meta.json has no "env" key at all
    env=()              an empty environment list

Example::

    from synthetic_cache import write_cache
    cache = write_cache(tmp_path / "Cache", n_joints=6)
    cache.path                  # pathlib.Path of the directory
    cache.link_transforms(q)    # (n_joints+1, 4, 4) world poses for joint vector q
"""
from __future__ import annotations

import json
import pathlib
from dataclasses import dataclass, field

import numpy as np

LINK_LENGTHS = (0.30, 0.25, 0.20, 0.15, 0.10, 0.08)
LINK_SECTION = (0.08, 0.06)  # x, y size of every moving link's box
BASE_SIZE = (0.20, 0.20, 0.10)
JOINT_AXES = ((0, 0, 1), (0, 1, 0), (0, 1, 0), (1, 0, 0), (0, 1, 0), (0, 0, 1))
LINK_TWIST = 0.3  # rad about z between consecutive link frames

# name, world minimum corner, world maximum corner
DEFAULT_ENV = (("wall", (0.35, -0.40, 0.00), (0.45, 0.40, 1.20)),)

# Joint vectors of the default scene with the default base pose.
FREE_Q = (0.0, 0.0, 0.0, 0.0, 0.0, 0.0)
COLLIDING_Q = (0.0, np.pi / 2, 0.0, 0.0, 0.0, 0.0)


def box_mesh(lo, hi):
    """Closed, outward-facing triangle box between corners lo and hi: (V float64 (8, 3), F int64 (12, 3))."""
    lo = np.asarray(lo, dtype=np.float64)
    hi = np.asarray(hi, dtype=np.float64)
    V = np.array([[hi[0] if i & 1 else lo[0], hi[1] if i & 2 else lo[1], hi[2] if i & 4 else lo[2]]
                  for i in range(8)], dtype=np.float64)
    F = np.array([[0, 2, 1], [1, 2, 3],   # z = lo
                  [4, 5, 6], [5, 7, 6],   # z = hi
                  [0, 1, 4], [1, 5, 4],   # y = lo
                  [2, 6, 3], [3, 6, 7],   # y = hi
                  [0, 4, 2], [2, 4, 6],   # x = lo
                  [1, 3, 5], [3, 7, 5]],  # x = hi
                 dtype=np.int64)
    return V, F


def rot_z(a):
    c, s = np.cos(a), np.sin(a)
    return np.array([[c, -s, 0.0], [s, c, 0.0], [0.0, 0.0, 1.0]])


def transform(R=None, p=(0.0, 0.0, 0.0)):
    """4x4 homogeneous transform from a rotation (default identity) and a translation."""
    T = np.eye(4)
    if R is not None:
        T[:3, :3] = R
    T[:3, 3] = p
    return T


def _skew(w):
    return np.array([[0.0, -w[2], w[1]], [w[2], 0.0, -w[0]], [-w[1], w[0], 0.0]])


def _exp6(S, t):
    """exp([S] t) for a unit-omega or pure-translation screw (Rodrigues)."""
    W = _skew(S[:3])
    R = np.eye(3) + np.sin(t) * W + (1.0 - np.cos(t)) * (W @ W)
    G = np.eye(3) * t + (1.0 - np.cos(t)) * W + (t - np.sin(t)) * (W @ W)
    return transform(R, G @ S[3:])


def _adjoint(T):
    R, p = T[:3, :3], T[:3, 3]
    Ad = np.zeros((6, 6))
    Ad[:3, :3] = R
    Ad[3:, 3:] = R
    Ad[3:, :3] = _skew(p) @ R
    return Ad


@dataclass
class SyntheticCache:
    """What `write_cache` wrote, plus the ground truth to test readers against."""

    path: pathlib.Path
    n_joints: int
    home: np.ndarray            # (n_joints+1, 4, 4) world home pose of every link (also the gap's)
    screws_stored: np.ndarray   # (6, n) as in ScrewAxis.npy: base frame, linear rows in cm
    screws_world: np.ndarray    # (6, n) world frame, metres: what forward kinematics needs
    limits: np.ndarray          # (n, 2)
    link_meshes: dict = field(default_factory=dict)   # link index -> (V, F), link frame
    env_meshes: list = field(default_factory=list)    # [(name, V, F)], world frame
    waypoints: np.ndarray | None = None

    @property
    def n_links(self):
        return self.n_joints + 1

    def link_transforms(self, q):
        """World pose of every link (base first) for joint vector q, by plain numpy."""
        q = np.asarray(q, dtype=np.float64)
        out = [self.home[0]]
        running = np.eye(4)
        for j in range(self.n_joints):
            running = running @ _exp6(self.screws_world[:, j], q[j])
            out.append(running @ self.home[j + 1])
        return np.stack(out)

    def link_mesh_world(self, index, q):
        """Vertices of link `index` placed at joint vector q (world frame)."""
        V, _ = self.link_meshes[index]
        T = self.link_transforms(q)[index]
        return V @ T[:3, :3].T + T[:3, 3]


def write_cache(path, n_joints=6, *, prismatic=None, env=DEFAULT_ENV, base_pose=None,
                waypoints=None, limits=None, gap_at=None, link_order=None, env_key=True):
    """Write a capture cache for a serial arm of box links into directory `path`.

    n_joints   1 .. 6 joints (n_joints + 1 links, link 0 the base).
    prismatic  index of a joint that slides along the base's z axis (screw (0, 0, 0, 0, 0, 1));
               its joint value moves the link by value * 0.01 m, as the stored linear rows
               are read as centimetres.
    env        sequence of (name, min corner, max corner) world boxes; () for none.
    base_pose  4x4 world pose of the base (default identity).
    waypoints  None (no WaypointJointAngles.npy), True (a small default task) or a
               (K + 2, n_joints) array written as is.
    limits     (n_joints, 2) joint limits, default [-pi, pi] for every joint; may hold +-inf.
    gap_at     link index (1 .. n_joints) left out of the capture, as a link whose
               occurrence was not found.
    link_order order of the link indices in meta.json's "links" list (default ascending).
    env_key    False leaves the "env" key out of meta.json.
    """
    if not 1 <= n_joints <= len(LINK_LENGTHS):
        raise ValueError(f"n_joints must be 1..{len(LINK_LENGTHS)}")
    path = pathlib.Path(path)
    path.mkdir(parents=True, exist_ok=True)
    B = np.eye(4) if base_pose is None else np.asarray(base_pose, dtype=np.float64)

    # Link frames in the base frame, and the link boxes in their own frames.
    heights = [BASE_SIZE[2]]
    for L in LINK_LENGTHS[:n_joints]:
        heights.append(heights[-1] + L)
    home = [B.copy()]
    link_meshes = {0: box_mesh((-BASE_SIZE[0] / 2, -BASE_SIZE[1] / 2, 0.0),
                               (BASE_SIZE[0] / 2, BASE_SIZE[1] / 2, BASE_SIZE[2]))}
    for k in range(1, n_joints + 1):
        Rk = rot_z(LINK_TWIST * k)
        home.append(B @ transform(Rk, (0.0, 0.0, heights[k - 1])))
        hx, hy = LINK_SECTION[0] / 2, LINK_SECTION[1] / 2
        V, F = box_mesh((-hx, -hy, 0.0), (hx, hy, LINK_LENGTHS[k - 1]))
        link_meshes[k] = (V @ Rk, F)  # base-aligned box seen from the turned link frame
    home = np.stack(home)

    # Screws in the base frame (metres), then stored with linear rows in centimetres.
    screws_base = np.zeros((6, n_joints))
    for j in range(n_joints):
        q = np.array([0.0, 0.0, heights[j]])
        if j == prismatic:
            screws_base[3:, j] = (0.0, 0.0, 1.0)
        else:
            w = np.array(JOINT_AXES[j], dtype=np.float64)
            screws_base[:3, j] = w
            screws_base[3:, j] = -np.cross(w, q)
    # A revolute joint's linear part is a length (cm in the file); a prismatic
    # joint's is a unit direction and is stored as is.
    screws_stored = screws_base.copy()
    revolute = [j for j in range(n_joints) if j != prismatic]
    screws_stored[3:, revolute] *= 100.0
    screws_world = screws_stored.copy()
    screws_world[3:, :] *= 0.01
    screws_world = _adjoint(B) @ screws_world

    lim = np.tile([-np.pi, np.pi], (n_joints, 1)) if limits is None else np.asarray(limits, dtype=np.float64)

    present = [k for k in range(n_joints + 1) if k != gap_at]
    order = present if link_order is None else list(link_order)
    links_meta = []
    for k in order:
        V, F = link_meshes[k]
        links_meta.append({"index": int(k), "name": f"Link{k}",
                           "home_transform": home[k].tolist(),
                           "n_vertices": int(len(V)), "n_faces": int(len(F))})
    for k in present:
        V, F = link_meshes[k]
        np.savez(path / f"link_{k}.npz", V=V, F=F)
    if gap_at is not None:
        link_meshes.pop(gap_at)

    env_meshes, env_meta = [], []
    for name, lo, hi in env:
        V, F = box_mesh(lo, hi)
        np.savez(path / f"env_{name}.npz", V=V, F=F)
        env_meshes.append((name, V, F))
        env_meta.append({"name": name, "n_vertices": int(len(V)), "n_faces": int(len(F))})

    meta = {"units": "meters", "links": links_meta}
    if env_key:
        meta["env"] = env_meta
    with open(path / "meta.json", "w") as fh:
        json.dump(meta, fh, indent=2)
    np.save(path / "ScrewAxis", screws_stored)
    np.save(path / "JointLimits", lim)

    wp = None
    if waypoints is True:
        mid = np.linspace(-0.5, 0.5, n_joints)
        wp = np.stack([np.zeros(n_joints), mid, -mid, np.zeros(n_joints)])
    elif waypoints is not None:
        wp = np.asarray(waypoints, dtype=np.float64)
    if wp is not None:
        np.save(path / "WaypointJointAngles", wp)

    return SyntheticCache(path=path, n_joints=n_joints, home=home, screws_stored=screws_stored,
                          screws_world=screws_world, limits=lim, link_meshes=link_meshes,
                          env_meshes=env_meshes, waypoints=wp)
