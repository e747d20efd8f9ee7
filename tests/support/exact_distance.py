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
import trimesh

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
        # Each environment body split into its connected parts (a shelf into its
        # boards), each with its own box: most parts are then ruled out by their box.
        self.env_names, self.env, env_lo, env_hi = [], [], [], []
        for e in meta.get("env", []):
            mesh = Pelmora._load_mesh(str(cache_dir / f"env_{e['name']}.npz"))
            whole = trimesh.Trimesh(np.asarray(mesh.vertices, float), np.asarray(mesh.faces, np.int64))
            for part in whole.split(only_watertight=False) or [whole]:
                V, F = np.asarray(part.vertices, float), np.asarray(part.faces, np.int64)
                self.env_names.append(e["name"])
                self.env.append(fcl.CollisionObject(_bvh(V, F), fcl.Transform()))
                env_lo.append(V.min(0))
                env_hi.append(V.max(0))
        self.env_lo, self.env_hi = np.array(env_lo).reshape(-1, 3), np.array(env_hi).reshape(-1, 3)
        # corners of each link's box in its own frame
        self.link_corners = [np.array([[x, y, z] for x in (V.min(0)[0], V.max(0)[0])
                                       for y in (V.min(0)[1], V.max(0)[1])
                                       for z in (V.min(0)[2], V.max(0)[2])]) for V in link_vertices]
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

    def _bounded(self, q, cutoff):
        """(lower, exact, pair): a lower bound of the distance at q, and the distance
        itself where it is below `cutoff` (else None)."""
        poses = self._poses(q)
        lb = np.empty((len(poses), len(self.env)))
        for i, (C, T) in enumerate(zip(self.link_corners, poses)):
            W = C @ T[:3, :3].T + T[:3, 3]
            gap = np.maximum(np.maximum(self.env_lo - W.max(0), W.min(0) - self.env_hi), 0.0)
            lb[i] = np.linalg.norm(gap, axis=1)
        order = np.argsort(lb, axis=None)
        best, pair, placed = np.inf, (None, None), set()
        for flat in order:
            i, j = divmod(int(flat), lb.shape[1])
            if lb[i, j] >= min(best, cutoff):
                lower = min(best, lb[i, j])
                return lower, (best if best < cutoff or best <= lb[i, j] else None), pair
            if i not in placed:
                T = poses[i]
                self.links[i].setTransform(fcl.Transform(T[:3, :3], T[:3, 3]))
                placed.add(i)
            d = max(float(fcl.distance(self.links[i], self.env[j], self._request, fcl.DistanceResult())), 0.0)
            if d < best:
                best, pair = d, (self.link_names[i + 1], self.env_names[j])
            if best <= 0.0:
                break
        return best, best, pair

    def distance(self, q, detail=False):
        """Smallest link-environment distance at q (0 on contact); with `detail`,
        also (link name, environment name) of the closest pair."""
        _, best, pair = self._bounded(q, np.inf)
        return (best, *pair) if detail else best

    def path_minimum(self, path, stride=16):
        """Smallest distance over the rows of `path` (a densified trajectory): the same
        as min(distance(q) for q in path), with far fewer queries.  Every `stride`-th
        row first; then an interval between two rows checked is split only while the
        bound from its ends (the distance at either end less how far the arm can move
        from there) could still be below the smallest distance found."""
        P = np.asarray(path, np.float64)
        if not len(P):
            return np.inf
        steps = np.abs(np.diff(P, axis=0)) @ self.reach
        travel = np.concatenate([[0.0], np.cumsum(steps)])
        lower, best = {}, [np.inf]

        def check(i):
            lo, exact, _ = self._bounded(P[i], best[0])
            lower[i] = lo
            if exact is not None:
                best[0] = min(best[0], exact)

        marks = sorted(set(range(0, len(P), stride)) | {len(P) - 1})
        for i in marks:
            check(i)
        todo = list(zip(marks, marks[1:]))
        while todo and best[0] > 0.0:
            i, j = todo.pop()
            if j - i < 2 or (lower[i] + lower[j] - (travel[j] - travel[i])) / 2 >= best[0]:
                continue
            m = (i + j) // 2
            check(m)
            todo += [(i, m), (m, j)]
        return best[0]

    def contact(self, q):
        """Whether any moving link touches an environment body at q."""
        return self.distance(q) <= 0.0
