"""The planner written plainly in numpy: planning context, RRT* segment planner,
shortcut smoothing, densification and the waypoint driver, step by step as
Brimwell documents them.

Tests compare Brimwell's trajectories with this module's, and
bench_planner.py times the two against each other.  Given the same cache and
seed both must produce the same trajectory bit for bit, so wherever rounding
order decides an outcome (a point on a voxel face, a distance at a radius) the
sums here are written out in the order the native code evaluates them:

- norms are sqrt(((x0^2 + x1^2) + x2^2) + ...), not a BLAS dot product;
- matrix products sum over k in increasing order, not through BLAS;
- sines and cosines come from the C library (math.sin / math.cos).

Loading and voxelizing the capture is not the planner's work: the context
builds (or is given) a Sallowmere.RobotEnvironmentHandler and reads its
attributes.
"""
from __future__ import annotations

import math
import pathlib
import time

import numpy as np

STEP = 0.3
EDGE_RES = 0.05
GOAL_CONNECT_RADIUS = STEP
GOAL_BIAS = 0.1
MAX_ITERS = 3000
RRT_STAR_GAMMA = 3.0
SMOOTH_ITERS = 200
SEED = 0
SCREW_LINEAR_SCALE = 0.01


# ----------------------------------------------------------------------------
# Arithmetic in a fixed order

def norm(v):
    """Euclidean norm along the last axis, summed in index order."""
    v = np.asarray(v, dtype=np.float64)
    s = v[..., 0] * v[..., 0]
    for k in range(1, v.shape[-1]):
        s = s + v[..., k] * v[..., k]
    return np.sqrt(s)


def matmul(A, B):
    """A @ B with the sum over k taken in increasing k."""
    C = A[:, 0:1] * B[0:1, :]
    for k in range(1, A.shape[1]):
        C = C + A[:, k:k + 1] * B[k:k + 1, :]
    return C


def skew(w):
    return np.array([[0.0, -w[2], w[1]], [w[2], 0.0, -w[0]], [-w[1], w[0], 0.0]])


def adjoint(T):
    R, p = T[:3, :3], T[:3, 3]
    Ad = np.zeros((6, 6))
    Ad[:3, :3] = R
    Ad[3:, 3:] = R
    Ad[3:, :3] = matmul(skew(p), R)
    return Ad


def exp_se3(screw, theta):
    W = skew(screw[:3])
    W2 = matmul(W, W)
    s, c = math.sin(theta), math.cos(theta)
    R = np.eye(3) + s * W + (1.0 - c) * W2
    G = np.eye(3) * theta + (1.0 - c) * W + (theta - s) * W2
    p = matmul(G, screw[3:].reshape(3, 1))[:, 0]
    T = np.eye(4)
    T[:3, :3] = R
    T[:3, 3] = p
    return T


def forward_kinematics(slist, home_transforms, thetas):
    running = np.eye(4)
    out = []
    for i in range(slist.shape[1]):
        running = matmul(running, exp_se3(slist[:, i], float(thetas[i])))
        out.append(matmul(running, home_transforms[i]))
    return out


def in_collision(link_points_local, T_world_link, env_grid, env_origin, pitch):
    """True when a posed link point lies in an occupied cell (stops at the first hit)."""
    inv_pitch = 1.0 / pitch
    gx, gy, gz = env_grid.shape
    for pts, T in zip(link_points_local, T_world_link):
        # R p + t, the three products summed in coordinate order.
        pw = pts[:, 0:1] * T[:3, 0] + pts[:, 1:2] * T[:3, 1] + pts[:, 2:3] * T[:3, 2] + T[:3, 3]
        f = np.floor((pw - env_origin) * inv_pitch)
        # Range test on the floored floats, before the cast (NaN fails it).
        m = ((f[:, 0] >= 0) & (f[:, 0] < gx) & (f[:, 1] >= 0) & (f[:, 1] < gy)
             & (f[:, 2] >= 0) & (f[:, 2] < gz))
        if not m.any():
            continue
        idx = f[m].astype(np.int64)
        if env_grid[idx[:, 0], idx[:, 1], idx[:, 2]].any():
            return True
    return False


# ----------------------------------------------------------------------------
# Planning context

class PlanningContext:
    def __init__(self, cache_dir, handler=None):
        cache_dir = pathlib.Path(cache_dir)
        if handler is None:
            from Sallowmere import RobotEnvironmentHandler
            handler = RobotEnvironmentHandler(cache_dir)
        self.handler = handler
        slist = np.load(handler.ScrewAxis, allow_pickle=False).astype(np.float64)
        slist[3:, :] *= SCREW_LINEAR_SCALE
        init = np.asarray(handler.initialTransforms, dtype=np.float64)
        self.slist = matmul(adjoint(init[0]), slist)
        self.home_transforms = init[1:]
        limits = np.load(cache_dir / "JointLimits.npy", allow_pickle=False).astype(np.float64)
        lo = np.where(np.isneginf(limits[:, 0]), -2 * np.pi, limits[:, 0])
        hi = np.where(np.isposinf(limits[:, 1]), 2 * np.pi, limits[:, 1])
        self.limits = np.stack([lo, hi], axis=1)
        self.n_joints = self.limits.shape[0]

    def in_limits(self, q):
        return bool(np.all(q >= self.limits[:, 0]) and np.all(q <= self.limits[:, 1]))

    def is_valid(self, q):
        q = np.asarray(q, dtype=np.float64)
        if not self.in_limits(q):
            return False
        T_world = np.stack(forward_kinematics(self.slist, self.home_transforms, q))
        h = self.handler
        return not in_collision(h.link_points[1:], T_world, h.env_grid, h.env_origin, h.pitch)

    def edge_valid(self, a, b, res=EDGE_RES):
        a = np.asarray(a, dtype=np.float64)
        b = np.asarray(b, dtype=np.float64)
        dist = norm(b - a)
        n_steps = max(1, int(np.ceil(dist / res)))
        for i in range(1, n_steps + 1):
            q = a + (b - a) * (i / n_steps)
            if not self.is_valid(q):
                return False
        return True

    def sample(self, rng):
        return rng.uniform(self.limits[:, 0], self.limits[:, 1])


# ----------------------------------------------------------------------------
# RRT*

class _Node:
    __slots__ = ("parent", "cost")

    def __init__(self, parent, cost):
        self.parent = parent
        self.cost = cost


def plan_segment(ctx, start, goal, rng, max_iters=MAX_ITERS, step=STEP, goal_bias=GOAL_BIAS):
    start = np.asarray(start, dtype=np.float64)
    goal = np.asarray(goal, dtype=np.float64)
    d = ctx.n_joints
    if ctx.edge_valid(start, goal):
        return [start, goal]

    configs = np.empty((max_iters + 1, d))
    configs[0] = start
    nodes = [_Node(parent=None, cost=0.0)]
    count = 1
    best_goal_idx = None
    best_goal_cost = math.inf

    for _ in range(max_iters):
        if rng.random() < goal_bias:
            q_rand = goal
        else:
            q_rand = ctx.sample(rng)

        dists = norm(configs[:count] - q_rand)
        nearest_idx = int(np.argmin(dists))
        q_near = configs[nearest_idx]

        dir_vec = q_rand - q_near
        dist = norm(dir_vec)
        if dist < 1e-9:
            continue
        q_new = q_near + dir_vec * (min(step, dist) / dist)

        if not ctx.is_valid(q_new) or not ctx.edge_valid(q_near, q_new):
            continue

        r = RRT_STAR_GAMMA * (math.log(count + 1) / (count + 1)) ** (1.0 / d)
        radius = r if r < step else step
        neigh_dists = norm(configs[:count] - q_new)
        neighbor_idxs = [int(j) for j in np.nonzero(neigh_dists <= radius)[0]]
        if not neighbor_idxs:
            neighbor_idxs = [nearest_idx]

        best_parent = nearest_idx
        best_cost = nodes[nearest_idx].cost + neigh_dists[nearest_idx]
        for j in neighbor_idxs:
            c = nodes[j].cost + neigh_dists[j]
            if c < best_cost and ctx.edge_valid(configs[j], q_new):
                best_cost = c
                best_parent = j

        new_idx = count
        configs[new_idx] = q_new
        nodes.append(_Node(parent=best_parent, cost=best_cost))
        count += 1

        for j in neighbor_idxs:
            if j == best_parent:
                continue
            c = best_cost + neigh_dists[j]
            if c < nodes[j].cost and ctx.edge_valid(q_new, configs[j]):
                nodes[j].parent = new_idx
                nodes[j].cost = c

        dist_to_goal = norm(goal - q_new)
        if dist_to_goal <= GOAL_CONNECT_RADIUS and ctx.edge_valid(q_new, goal):
            total_cost = best_cost + dist_to_goal
            if total_cost < best_goal_cost:
                best_goal_cost = total_cost
                best_goal_idx = new_idx

    if best_goal_idx is None:
        raise RuntimeError(f"RRT* failed to connect start {start} to goal {goal} "
                           f"within {max_iters} iterations")
    path = [goal]
    idx = best_goal_idx
    while idx is not None:
        path.append(configs[idx].copy())
        idx = nodes[idx].parent
    path.reverse()
    return path


# ----------------------------------------------------------------------------
# Smoothing and densification

def smooth_path(ctx, path, rng, iters=SMOOTH_ITERS):
    path = list(path)
    for _ in range(iters):
        if len(path) < 3:
            break
        i, j = sorted(rng.integers(0, len(path), size=2))
        if j - i < 2:
            continue
        if ctx.edge_valid(path[i], path[j]):
            path = path[:i + 1] + path[j:]
    return path


def densify(path, res=EDGE_RES):
    path = [np.asarray(p, dtype=np.float64) for p in path]
    out = [path[0]]
    for a, b in zip(path[:-1], path[1:]):
        dist = norm(b - a)
        n_steps = max(1, int(np.ceil(dist / res)))
        for i in range(1, n_steps + 1):
            out.append(a + (b - a) * (i / n_steps))
    return np.array(out, dtype=np.float64)


# ----------------------------------------------------------------------------
# Driver

def save_colliding_waypoint(cache_dir, index, theta):
    theta = np.asarray(theta, dtype=np.float64)
    print(f"\nWaypoint {index} is in collision")
    print("  theta: " + np.array2string(theta, precision=3))
    path = pathlib.Path(cache_dir) / "CollisionWaypoint.npz"
    np.savez(path, index=np.int64(index), theta=theta)
    print(f"  Saved to {path} -- run Velquist to inspect it.")


def ProvideRRTPlan(cache_dir, handler=None, ctx=None, save=False):
    """Plan through the cache's waypoints; prints the same lines as Brimwell.

    `handler` reuses an already built environment handler; `ctx` replaces the
    numpy planning context altogether (tests hand in Brimwell's own context to
    check the driver's logic in seconds rather than minutes); the trajectory is
    written to the cache only when `save` is true.
    """
    cache_dir = pathlib.Path(cache_dir)
    rng = np.random.default_rng(SEED)
    t0 = time.time()
    if ctx is None:
        ctx = PlanningContext(cache_dir, handler=handler)
    print(f"Environment loaded in {time.time() - t0:.2f}s")
    waypoints = np.load(cache_dir / "WaypointJointAngles.npy", allow_pickle=False).astype(np.float64)
    print(f"Loaded {len(waypoints)} waypoints, shape {waypoints.shape}")
    for i, wp in enumerate(waypoints):
        if not ctx.in_limits(wp):
            raise RuntimeError(f"Waypoint {i} violates joint limits: {wp}")
        if not ctx.is_valid(wp):
            save_colliding_waypoint(cache_dir, i, wp)
            raise RuntimeError(f"Waypoint {i} is in collision: {wp}")
    print("All waypoints validated (within limits, collision-free).")

    full_path = [waypoints[0]]
    for i in range(len(waypoints) - 1):
        start, goal = waypoints[i], waypoints[i + 1]
        t1 = time.time()
        segment = plan_segment(ctx, start, goal, rng)
        print(f"Segment {i}->{i + 1}: {len(segment)} nodes in {time.time() - t1:.2f}s")
        smoothed = smooth_path(ctx, segment, rng)
        print(f"Segment {i}->{i + 1}: smoothed to {len(smoothed)} nodes")
        full_path.extend(smoothed[1:])
    print(f"Chained (per-segment-smoothed) path: {len(full_path)} configs")

    dense = densify(full_path, res=EDGE_RES)
    print(f"Densified path: {len(dense)} configs")
    bad = [i for i in range(len(dense)) if not ctx.is_valid(dense[i])]
    if bad:
        raise RuntimeError(f"{len(bad)} configs in final dense path failed validation, "
                           f"e.g. indices {bad[:5]}")
    print(f"All {len(dense)} configs verified valid (limits + collision).")
    dense = dense.astype(np.float64)
    out = cache_dir / "JointAnglesToTravelAlong.npy"
    if save:
        np.save(out, dense)
    print(f"Saved trajectory to {out} with shape {dense.shape}")
    return dense
