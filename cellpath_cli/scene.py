"""A capture cache's meshes and kinematics, posed on demand, for the pictures and the 3-D
page; and where the waypoints fall in a trajectory."""
from __future__ import annotations

import json
from pathlib import Path

import numpy as np

import Tovik
from cellpath_task import tool_transform


class CacheScene:
    """The meshes and kinematics of a capture cache, posed on demand."""

    def __init__(self, cache_dir: Path):
        self.cache_dir = Path(cache_dir)
        meta = json.loads((self.cache_dir / "meta.json").read_text())
        links = sorted(meta["links"], key=lambda e: e["index"])
        self.link_names = [e["name"] for e in links]
        self.home = np.array([e["home_transform"] for e in links], dtype=float)
        self.link_meshes = []
        for e in links:
            with np.load(self.cache_dir / f"link_{e['index']}.npz", allow_pickle=False) as d:
                self.link_meshes.append((d["V"].astype(float), d["F"].astype(np.int64)))
        self.env_meshes = []
        for e in meta.get("env", []):
            with np.load(self.cache_dir / f"env_{e['name']}.npz", allow_pickle=False) as d:
                self.env_meshes.append((e["name"], d["V"].astype(float), d["F"].astype(np.int64)))
        slist = np.load(self.cache_dir / "ScrewAxis.npy", allow_pickle=False).astype(float)
        slist[3:, :] *= 0.01  # stored linear rows are centimetres
        self.slist = Tovik.adjoint(self.home[0]) @ slist
        # The tool's pose in the last link's frame, when the cache names a tool.
        self.tool = tool_transform(self.cache_dir)

    def poses(self, theta) -> np.ndarray:
        """World transform of every link (base first) for one joint vector."""
        moving = Tovik.forward_kinematics(self.slist, self.home[1:], np.asarray(theta, float))
        return np.concatenate([self.home[:1], np.array(moving).reshape(-1, 4, 4)])

    def tool_path(self, trajectory: np.ndarray) -> np.ndarray:
        """The tool's origin (the last link's, without a tool) along the trajectory, (N, 3)."""
        return np.array([(self.poses(q)[-1] @ self.tool)[:3, 3] for q in trajectory]).reshape(-1, 3)

    def thin(self, arm_triangles: int, env_triangles: int) -> "CacheScene":
        """Thin the meshes in place to about these many triangles in all (see `thinned`),
        for drawings that do not need every triangle; returns the scene."""
        arm = budgets([len(F) for _, F in self.link_meshes], arm_triangles)
        self.link_meshes = [thinned(V, F, b) for (V, F), b in zip(self.link_meshes, arm)]
        env = budgets([len(F) for _, _, F in self.env_meshes], env_triangles)
        self.env_meshes = [(name, *thinned(V, F, b)) for (name, V, F), b in zip(self.env_meshes, env)]
        return self

    def bounds(self) -> tuple[np.ndarray, np.ndarray]:
        pts = [V for _, V, _ in self.env_meshes]
        for (V, _), T in zip(self.link_meshes, self.home):
            pts.append(V @ T[:3, :3].T + T[:3, 3])
        allp = np.concatenate(pts)
        return allp.min(axis=0), allp.max(axis=0)


def waypoint_rows(trajectory, waypoints) -> list[int]:
    """The row of the trajectory at each waypoint, in order: the nearest row at or after
    the previous waypoint's (the planner passes through every waypoint in turn)."""
    trajectory = np.asarray(trajectory, dtype=float)
    rows, start = [], 0
    for w in np.asarray(waypoints, dtype=float):
        if start >= len(trajectory):
            break
        r = start + int(np.argmin(np.linalg.norm(trajectory[start:] - w, axis=1)))
        rows.append(r)
        start = r
    return rows


def thinned(V, F, triangles):
    """(V, F) with at most about `triangles` faces, by quadric decimation (fast-simplification,
    through trimesh) where it is installed; the mesh as it is otherwise."""
    if len(F) <= triangles:
        return V, F
    import trimesh
    try:
        m = trimesh.Trimesh(V, F, process=False).simplify_quadric_decimation(face_count=int(triangles))
    except (ImportError, ValueError):
        return V, F
    return np.asarray(m.vertices, float), np.asarray(m.faces, np.int64)


def budgets(sizes, total):
    """Each mesh's share of `total` triangles, in proportion to its size, at least 200."""
    whole = max(1, sum(sizes))
    return [max(200, total * s // whole) for s in sizes]
