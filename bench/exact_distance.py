"""Smallest exact distance between the moving links of a captured arm and its
environment, by FCL's distance query on the cache's own triangle meshes.

`ExactDistance(cache).distance(q)` is the smallest link-environment distance at
one joint vector (0 where a link touches or overlaps a body); `path_minimum(path)`
is the smallest over the configurations of a densified path.  Along a path most
configurations are far from everything, so they are skipped where a bound
already shows they cannot hold the minimum: between two configurations no point
of the arm moves farther than REACH (per joint, the largest distance of the
links beyond it from its axis) times the joint changes, and a configuration
whose neighbour's distance minus that bound is above the smallest distance found
so far cannot hold it.  The answer is the same as checking every row.

The fixed base is left out: it stands on its pedestal by construction.
"""
import json
import pathlib

import numpy as np
import fcl

import Pelmora


def _bvh(V, F):
    m = fcl.BVHModel()
    m.beginModel(len(V), len(F))
    m.addSubModel(np.ascontiguousarray(V, dtype=np.float64), np.ascontiguousarray(F, dtype=np.int32))
    m.endModel()
    return m


class ExactDistance:
    def __init__(self, cache_dir):
        cache_dir = pathlib.Path(cache_dir)
        self.pel = Pelmora.Pelmora(cache_dir)
        meta = json.loads((cache_dir / "meta.json").read_text())
        links = sorted(meta["links"], key=lambda e: e["index"])
        self.link_names = [e["name"] for e in links]
        self.links, link_vertices = [], []
        for e in links[1:]:
            mesh = Pelmora._load_mesh(str(cache_dir / f"link_{e['index']}.npz"))
            V, F = np.asarray(mesh.vertices, float), np.asarray(mesh.faces, np.int64)
            self.links.append(fcl.CollisionObject(_bvh(V, F), fcl.Transform()))
            link_vertices.append(V)
        self.env_names, self.env = [], []
        for e in meta.get("env", []):
            mesh = Pelmora._load_mesh(str(cache_dir / f"env_{e['name']}.npz"))
            self.env_names.append(e["name"])
            self.env.append(fcl.CollisionObject(
                _bvh(np.asarray(mesh.vertices, float), np.asarray(mesh.faces, np.int64)), fcl.Transform()))
        self.link_vertices = link_vertices
        self.reach = self._reach()
        self._request = fcl.DistanceRequest()

    def _poses(self, q):
        poses = self.pel.forward_kinematics(np.asarray(q, np.float64))
        return [np.asarray(poses[name], float) for name in self.link_names[1:]]

    def _reach(self):
        """reach[k]: the largest distance from joint k's axis of any vertex of the links it
        moves, over configurations: bounded by the distance from a point of the axis (the
        chain's link lengths add up, whatever the joints between do)."""
        n = len(self.links)
        S = np.asarray(self.pel.slist, float).copy()
        home = [np.asarray(self.pel.home_transforms[k + 1], float) for k in range(n)]
        # a point of each joint's axis (world, at home): the one nearest the origin of
        # the link it moves, w x v being the one nearest the base frame's origin
        T0 = np.asarray(self.pel.home_transforms[0], float)
        anchors = []
        for k in range(n):
            w = T0[:3, :3] @ S[:3, k]
            p = T0[:3, :3] @ np.cross(S[:3, k], S[3:, k]) + T0[:3, 3]
            anchors.append(p + w * (w @ (home[k][:3, 3] - p)))
        # farthest vertex of link j from anchor j (home pose, rigid in link j)
        far = [np.linalg.norm(V @ T[:3, :3].T + T[:3, 3] - a, axis=1).max()
               for V, T, a in zip(self.link_vertices, home, anchors)]
        hop = [np.linalg.norm(anchors[j + 1] - anchors[j]) for j in range(n - 1)]
        reach = np.zeros(n)
        for k in range(n):
            best, run = 0.0, 0.0
            for j in range(k, n):
                best = max(best, run + far[j])
                if j < n - 1:
                    run += hop[j]
            reach[k] = best
        return reach

    def distance(self, q, detail=False):
        """Smallest link-environment distance at q (0 on contact); with `detail`,
        also (link name, environment name) of the closest pair."""
        best, pair = np.inf, (None, None)
        for i, (obj, T) in enumerate(zip(self.links, self._poses(q))):
            obj.setTransform(fcl.Transform(T[:3, :3], T[:3, 3]))
            for j, env in enumerate(self.env):
                d = fcl.distance(obj, env, self._request, fcl.DistanceResult())
                if d < best:
                    best, pair = d, (self.link_names[i + 1], self.env_names[j])
        best = max(float(best), 0.0)
        return (best, *pair) if detail else best

    def path_minimum(self, path):
        """Smallest distance over the rows of `path` (a densified trajectory): the same
        as min(distance(q) for q in path), fewer queries."""
        P = np.asarray(path, np.float64)
        if not len(P):
            return np.inf
        # steps[i]: how far any point can move from row i to row i+1
        steps = np.abs(np.diff(P, axis=0)) @ self.reach
        travel = np.concatenate([[0.0], np.cumsum(steps)])
        known = {}

        def at(i):
            known[i] = self.distance(P[i])
            return known[i]

        # A row is checked only where the bound from the last row checked cannot
        # rule it out: every row skipped is at least as far as the minimum found.
        best, last = at(0), 0
        for i in range(1, len(P)):
            if known[last] - (travel[i] - travel[last]) < best:
                best = min(best, at(i))
                last = i
        return best

    def contact(self, q):
        """Whether any moving link touches an environment body at q."""
        return self.distance(q) <= 0.0
