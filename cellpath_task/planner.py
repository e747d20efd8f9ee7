"""Many tasks on one cache from Python, each answered in memory.

    planner = Planner("ur5_cache", self_collision=True, clearance=0.01, max_acceleration=2.0)
    plan = planner.plan(start, [{"xyz": [...], "quat_xyzw": [...]}, ...], seed=3)
    plan.rows, plan.t, plan.qd, plan.joint_names, plan.proof
    plan.export("plan.yaml", "ros-yaml")

The planning context (the voxel model, the self-collision model, the distance field of a
clearance) is built once, in the constructor; every `plan` reuses it.  A plan is the
task's waypoints (as cellpath-task solves them), a path through them planned segment by
segment (RRT* then RRT-Connect, as Brimwell's 'auto'; a straight tool move taken as given),
densified and checked again row by row and edge by edge, and, with an acceleration limit,
timed.  Nothing is written to the cache; `Plan.export` writes a file you name.
"""
from __future__ import annotations

import time
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

from . import SEED, TaskError, _check_clearance, _check_margin, _check_seed, _solve_targets, _Task

PLANNERS = ("auto", "rrtstar", "connect")


@dataclass
class Plan:
    """One task planned: everything in memory."""
    joint_names: list
    waypoints: np.ndarray              # (K + 2, n): start, the targets' solutions, start
    rows: np.ndarray                   # (N, n): the dense path, every row and edge checked
    segments: list                     # per segment: {"planner", "nodes", "seconds"}
    proof: dict                        # what was checked, and the gap kept (clearance)
    reports: list = field(default_factory=list)   # the targets' IK reports
    t: np.ndarray | None = None        # timed samples, with an acceleration limit
    q: np.ndarray | None = None
    qd: np.ndarray | None = None
    qdd: np.ndarray | None = None
    seconds: dict = field(default_factory=dict)   # ik, planning, checking, timing

    def export(self, path, fmt="csv"):
        """Write the plan as cellpath-export does (csv, json or ros-yaml); ros-yaml needs timing."""
        from cellpath_cli import export as ex

        if fmt not in ex.WRITERS:
            raise ValueError(f"unknown format {fmt!r}: one of {', '.join(ex.FORMATS)}")
        tr = {"names": list(self.joint_names), "q": self.rows}
        if self.t is not None:
            tr.update(t=self.t, q=self.q, qd=self.qd, qdd=self.qdd)
        elif fmt == "ros-yaml":
            raise ValueError("a ROS trajectory needs times: give the Planner a max_acceleration")
        ex.write_whole(path, ex.WRITERS[fmt](tr))
        return Path(path)


class Planner:
    """Plans tasks on one cache with one context, built once.

    cache_dir        the capture cache.
    self_collision   links kept apart too.
    clearance        metres every row and motion is proven to keep from the environment, or a
                     dict of them per body of the cache with "default" for the others
                     ({"default": 0.01, "pedestal": 0.0}: 0 keeps a body out of the clearance,
                     never out of the contact test).
    planner          'auto' (RRT*, then RRT-Connect with growing budgets for a segment RRT*
                     cannot plan), 'rrtstar' or 'connect'.
    max_iters, time_limit   each planner's first budget per segment (default Brimwell.MAX_ITERS)
                     and the seconds a segment may take in all (default Brimwell.AUTO_TIME_LIMIT).
    max_velocity, max_acceleration   rad/s and rad/s^2 (one value or one per joint): with an
                     acceleration limit every plan is also timed, the velocity limit defaulting
                     to the cache's JointVelocityLimits.npy.
    dt               seconds between timed samples.
    limit_margin     as for plan_task.
    lazy_proof       with a clearance: segments are searched on sampled edges and only the
                     kept path is proven (Brimwell.PlanningContext's lazy_proof), by
                     RRT-Connect alone whatever `planner` says; much faster, the same guarantee.
    """

    def __init__(self, cache_dir, *, self_collision=False, clearance=None, planner="auto", max_iters=None,
                 time_limit=None, max_velocity=None, max_acceleration=None, dt=0.01, limit_margin=0.0,
                 lazy_proof=False):
        import Brimwell

        from cellpath_cli.export import joint_names

        _check_clearance(clearance)
        if planner not in PLANNERS:
            raise TaskError(f"planner must be one of {', '.join(PLANNERS)}, got {planner!r}")
        self.planner = planner
        self.max_iters = int(Brimwell.MAX_ITERS if max_iters is None else max_iters)
        self.time_limit = float(Brimwell.AUTO_TIME_LIMIT if time_limit is None else time_limit)
        if self.max_iters < 1 or not self.time_limit > 0:
            raise TaskError("max_iters must be at least 1 and time_limit positive")
        self.limit_margin = _check_margin(limit_margin)
        t0 = time.perf_counter()
        if lazy_proof and clearance is None:
            raise TaskError("lazy_proof needs a clearance: without one no edge is proven")
        self._task = _Task(cache_dir, self_collision, clearance, lazy_proof=bool(lazy_proof))
        self.lazy_proof = bool(lazy_proof)
        self.context_seconds = time.perf_counter() - t0
        self.ctx = self._task.ctx
        self.cache_dir = self._task.cache_dir
        self.joint_names = joint_names(self.cache_dir, self._task.n)
        self.dt = float(dt)
        self.max_acceleration = max_acceleration
        self.max_velocity = max_velocity
        if max_acceleration is not None and max_velocity is None:
            limits = self.cache_dir / "JointVelocityLimits.npy"
            if not limits.is_file():
                raise TaskError(f"{self.cache_dir} holds no JointVelocityLimits.npy: give max_velocity")
            self.max_velocity = np.load(limits, allow_pickle=False)

    def _segment(self, a, b, rng):
        import Brimwell

        t0 = time.perf_counter()
        if self.planner != "connect" and not self.lazy_proof:
            try:
                path = Brimwell.plan_segment(self.ctx, a, b, rng, max_iters=self.max_iters)
                return Brimwell.smooth_path(self.ctx, path, rng), "RRT*"
            except RuntimeError:
                if self.planner == "rrtstar":
                    raise
        iters = self.max_iters
        while True:
            try:
                return Brimwell.plan_segment_connect(self.ctx, a, b, rng, max_iters=iters), "RRT-Connect"
            except RuntimeError:
                if time.perf_counter() - t0 > self.time_limit:
                    raise
                iters *= int(Brimwell.RETRY_GROWTH)

    def plan(self, start, targets, *, seed=None):
        """Plan one task: `start` a joint vector, `targets` as for plan_task (dicts of the
        targets file's form, Target objects or (4, 4) tool poses).  Returns a Plan; raises
        TaskError naming a target that cannot be reached or a segment that cannot be planned.
        Writes nothing."""
        import Brimwell

        _check_seed(seed)
        rng = np.random.default_rng(SEED if seed is None else int(seed))
        task = _solve_targets(self._task, start, targets, rng, self.limit_margin)
        wp = task.waypoints
        t0 = time.perf_counter()
        chain, segments = [wp[0]], []
        for i in range(len(wp) - 1):
            s0 = time.perf_counter()
            given = task.linear_segments.get(f"{i}->{i + 1}")
            if given is not None:
                path, how = list(given), "straight tool move"
            else:
                try:
                    path, how = self._segment(wp[i], wp[i + 1], rng)
                except RuntimeError as exc:
                    raise TaskError(f"segment {i}->{i + 1} cannot be planned: {exc}") from None
            chain.extend(np.asarray(p, dtype=np.float64) for p in path[1:])
            segments.append({"planner": how, "nodes": len(path), "seconds": time.perf_counter() - s0})
        planning = time.perf_counter() - t0
        t0 = time.perf_counter()
        rows = np.asarray(Brimwell.densify(np.array(chain), res=Brimwell.EDGE_RES))
        bad = [i for i in range(len(rows)) if not self.ctx.is_valid(rows[i])]
        bad += [i for i in range(1, len(rows)) if not self.ctx.edge_valid(rows[i - 1], rows[i])]
        if bad:
            raise TaskError(f"the planned path fails its check at row {min(bad)} of {len(rows)}")
        checking = time.perf_counter() - t0
        proof = {"rows_checked": len(rows), "edges_checked": len(rows) - 1,
                 "self_collision": bool(self.ctx.self_collision), "clearance": self._task.clearance}
        plan = Plan(list(self.joint_names), wp, rows, segments, proof, task.reports,
                    seconds={"ik": task.ik_seconds, "planning": planning, "checking": checking})
        if self.max_acceleration is not None:
            t0 = time.perf_counter()
            try:
                plan.t, plan.q, plan.qd, plan.qdd = (np.asarray(a) for a in Brimwell.time_parameterize(
                    rows, self.max_velocity, self.max_acceleration, dt=self.dt, ctx=self.ctx))
            except RuntimeError as exc:
                raise TaskError(f"timing the plan fails: {exc}") from None
            plan.seconds["timing"] = time.perf_counter() - t0
        return plan
