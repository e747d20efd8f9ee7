"""A task in tool poses turned into the waypoints the planner plans through.

    cellpath-task CACHE|--cache-dir DIR --start Q [--targets FILE.json | --target X,Y,Z,ROLL,PITCH,YAW ...
                  | --linear-target X,Y,Z,ROLL,PITCH,YAW ...] [--self-collision]
                  [--clearance M [--clearance-for BODY=M ...]] [--seed N] [--free-axis x|y|z] [--limit-margin RAD]

Each target is a world pose of the tool (the cache's ToolTransform.npy on the last
link, or the last link's own frame without it).  Its joint vector comes from the
offline inverse kinematics (Tovik.solve_tool_pose) run from the previous waypoint
and from seeded random restarts; among the solutions inside the limits that the
planner's context accepts, the one nearest the previous waypoint in joint space
wins (or the one nearest the target's own 'near'), so the arm does not flip its
wrist between two close poses; with a limit margin, solutions that keep it win over
those that do not.  A target may leave the turn about one tool axis free
('free_axis') or bound the turn about each tool axis apart.  A linear
target is reached by a straight tool move (Tovik.straight_move), checked edge by
edge, and stored in LinearSegments.npz for the planner to take as given.

The cache gets WaypointJointAngles.npy (start, the targets' solutions, start) and,
when there are straight moves, LinearSegments.npz; nothing is written when a target
fails.  Then `Brimwell --cache-dir CACHE` plans the rest.
"""
from __future__ import annotations

import argparse
import sys
import time
from collections.abc import Mapping
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

from .targets import DEFAULT_TOLERANCE, Target, TaskError, as_targets, parse_six, read_targets_file

__all__ = ["plan_task", "TaskResult", "Target", "TaskError", "main", "tool_transform", "Planner", "Plan"]

SEED = 0
RESTART_BATCH = 32      # seeds per round: the previous waypoint, then uniform draws
MAX_RESTARTS = 256      # seeds tried at most for one target
MAX_JOINT_STEP = 0.05   # rad between the rows of a straight move (the planner's edge resolution)
MAX_LINE_DEVIATION = 2.5e-4  # metres off the line allowed where a straight move is probed
DISTINCT = 1e-3         # solutions closer than this (rad) are one
TOOL_FILE = "ToolTransform.npy"
WAYPOINTS_FILE = "WaypointJointAngles.npy"
LINEAR_FILE = "LinearSegments.npz"


@dataclass
class TargetReport:
    q: np.ndarray
    position_error: float
    rotation_error: float
    restarts: int
    linear: bool = False
    steps: int = 0
    deviation: float = 0.0
    margin_kept: bool = True


@dataclass
class TaskResult:
    waypoints: np.ndarray                  # (K + 2, n): start, the targets' solutions, start
    reports: list = field(default_factory=list)
    linear_segments: dict = field(default_factory=dict)  # "i->i+1": (m, n) joint path
    ik_seconds: float = 0.0


def tool_transform(cache_dir):
    """The tool's (4, 4) pose in the last link's frame: ToolTransform.npy, or the identity."""
    path = Path(cache_dir) / TOOL_FILE
    if not path.exists():
        return np.eye(4)
    try:
        T = np.asarray(np.load(path, allow_pickle=False), dtype=np.float64)
    except (OSError, ValueError) as exc:
        raise TaskError(f"{path} cannot be read: {exc}") from None
    if T.shape != (4, 4) or not np.all(np.isfinite(T)):
        raise TaskError(f"{path} must hold a finite (4, 4) pose, got shape {T.shape}")
    R = T[:3, :3]
    if not np.allclose(T[3], (0, 0, 0, 1)) or not np.allclose(R.T @ R, np.eye(3), atol=1e-6) \
            or np.linalg.det(R) < 0:
        raise TaskError(f"{path} is not a rigid transform")
    return T


def _fmt(q):
    return np.array2string(np.asarray(q), precision=4, separator=", ", max_line_width=200)


class _Task:
    def __init__(self, cache_dir, self_collision, clearance, lazy_proof=False):
        import Brimwell  # noqa: PLC0415 (the extension modules load only when a task runs)

        self.cache_dir = Path(cache_dir)
        if not (self.cache_dir / "meta.json").exists():
            raise TaskError(f"{self.cache_dir} is not a capture cache (no meta.json)")
        kw = {"self_collision": bool(self_collision)}
        if clearance is not None:
            kw["clearance"] = dict(clearance) if isinstance(clearance, Mapping) else float(clearance)
        if lazy_proof:
            kw["lazy_proof"] = True
        try:
            self.ctx = Brimwell.PlanningContext(str(self.cache_dir), **kw)
        except TypeError as exc:
            raise TaskError(f"this planner cannot keep a clearance: {exc}") from None
        except ValueError as exc:
            if isinstance(clearance, Mapping) and str(exc).startswith("clearance"):
                raise TaskError(str(exc)) from None  # a body the cache does not list
            raise
        self.clearance = clearance
        self.n = int(self.ctx.n_joints)
        self.slist = np.asarray(self.ctx.slist, dtype=np.float64)
        self.limits = np.asarray(self.ctx.limits, dtype=np.float64)
        self.tool = tool_transform(self.cache_dir)
        self.home = np.asarray(self.ctx.home_transforms[-1], dtype=np.float64) @ self.tool
        self._exact = None

    def joints(self, values, what):
        q = np.asarray(values, dtype=np.float64).reshape(-1)
        if q.shape != (self.n,) or not np.all(np.isfinite(q)):
            raise TaskError(f"{what} must be {self.n} finite joint values, got {values!r}")
        return q

    def tool_pose(self, q):
        import Tovik  # noqa: PLC0415

        return np.asarray(Tovik.forward_kinematics(self.slist, self.ctx.home_transforms, q)[-1]) @ self.tool

    def why_invalid(self, q):
        """What keeps q out: the limits, or the touching link and obstacle by the exact meshes."""
        if not self.ctx.in_limits(q):
            return "outside the joint limits"
        import Pelmora  # noqa: PLC0415

        if self._exact is None:
            self._exact = Pelmora.Pelmora(str(self.cache_dir), allowed_pairs="base")
        pairs = sorted(self._exact.query(q).pairs)
        if not self.ctx.self_collision:
            pairs = [p for p in pairs if any(kind == "env" for kind, _ in p)] or pairs
        if pairs:
            return "in collision: " + "; ".join(
                " with ".join(f"{'obstacle' if kind == 'env' else 'link'} '{name}'"
                              for kind, name in sorted(p, key=lambda e: e[0] != "link"))
                for p in pairs[:3])
        if isinstance(self.clearance, Mapping):
            return "closer to the environment than its clearance (" + ", ".join(
                f"{name} {metres} m" for name, metres in self.clearance.items()) + ")"
        if self.clearance is not None:
            return f"closer to the environment than the clearance of {self.clearance} m"
        return "within the planner's collision margin of the environment (about a voxel)"

    def keeps_margin(self, q, margin):
        """q at least `margin` from every finite joint limit."""
        lo, hi = self.limits[:, 0], self.limits[:, 1]
        gap = np.minimum(np.where(np.isfinite(lo), q - lo, np.inf), np.where(np.isfinite(hi), hi - q, np.inf))
        return bool(np.all(gap >= margin))

    def solve(self, target, prev, rng, k, limit_margin=0.0):
        import Tovik  # noqa: PLC0415

        lo, hi = self.limits[:, 0], self.limits[:, 1]
        near = prev if target.near is None else self.joints(target.near, f"target {k}: 'near'")
        rot_tol = max(target.tolerance[1:])
        seeds_run, best_err, found = 0, (np.inf, np.inf), []
        invalid = []
        while seeds_run < MAX_RESTARTS:
            count = min(RESTART_BATCH, MAX_RESTARTS - seeds_run)
            seeds = rng.uniform(lo, hi, size=(count, self.n))
            if seeds_run == 0:
                seeds[0] = np.clip(near, lo, hi)
                if target.near is not None and count > 1:
                    seeds[1] = np.clip(prev, lo, hi)
            kw = {} if target.free_axis is None else {"free_axis": target.free_axis}
            qs, ep, er, ok = Tovik.solve_tool_pose(self.slist, self.home, target.pose, seeds, self.limits,
                                                   near=near, tolerance=target.tolerance, **kw)
            seeds_run += count
            score = ep / target.tolerance[0] + er / rot_tol
            i = int(np.argmin(score))
            if score[i] < best_err[0] / target.tolerance[0] + best_err[1] / rot_tol:
                best_err = (float(ep[i]), float(er[i]))
            for i in np.flatnonzero(ok):
                q = qs[i]
                if any(np.max(np.abs(q - f[0])) < DISTINCT for f in found + invalid):
                    continue
                entry = (q.copy(), float(ep[i]), float(er[i]))
                (found if self.ctx.is_valid(q) else invalid).append(entry)
            # A solution hard against a limit leaves the planner no room to move
            # away from it: look further for one that keeps the margin.
            if found and (limit_margin <= 0 or any(self.keeps_margin(f[0], limit_margin) for f in found)):
                break
        if not found:
            label = f"target {k}"
            if invalid:
                near = min(invalid, key=lambda e: float(np.linalg.norm(e[0] - prev)))
                raise TaskError(f"{label} is reachable only in collision ({len(invalid)} solutions, "
                                f"{seeds_run} restarts); the nearest, {_fmt(near[0])}, is {self.why_invalid(near[0])}")
            raise TaskError(f"{label} cannot be reached: best error {best_err[0] * 1e3:.3f} mm, "
                            f"{best_err[1] * 1e3:.3f} mrad after {seeds_run} restarts")
        kept = [f for f in found if self.keeps_margin(f[0], limit_margin)] if limit_margin > 0 else found
        q, e_p, e_r = min(kept or found, key=lambda e: float(np.linalg.norm(e[0] - near)))
        return TargetReport(q, e_p, e_r, seeds_run, margin_kept=bool(kept))

    def straight(self, target, prev, k):
        import Tovik  # noqa: PLC0415

        try:
            rows, dev, _ = Tovik.straight_move(self.slist, self.home, prev, target.pose, self.limits,
                                               max_joint_step=MAX_JOINT_STEP,
                                               max_deviation=MAX_LINE_DEVIATION, tolerance=target.tolerance)
        except RuntimeError as exc:
            raise TaskError(f"target {k}: the straight move from the previous waypoint fails: {exc}") from None
        for r in range(1, len(rows)):
            if not self.ctx.is_valid(rows[r]) or not self.ctx.edge_valid(rows[r - 1], rows[r]):
                bad = rows[r] if not self.ctx.is_valid(rows[r]) else rows[r - 1] + 0.5 * (rows[r] - rows[r - 1])
                raise TaskError(f"target {k}: the straight move is blocked {100 * r // (len(rows) - 1)}% of "
                                f"the way, at {_fmt(bad)}, {self.why_invalid(bad)}")
        reached = self.tool_pose(rows[-1])
        e_p = float(np.linalg.norm(reached[:3, 3] - target.pose[:3, 3]))
        c = (np.trace(reached[:3, :3].T @ target.pose[:3, :3]) - 1) / 2
        e_r = float(np.arccos(np.clip(c, -1.0, 1.0)))
        if e_p > target.tolerance[0] or e_r > target.tolerance[1]:
            raise TaskError(f"target {k}: the straight move ends {e_p * 1e3:.3f} mm, {e_r * 1e3:.3f} mrad "
                            "off the target")
        return TargetReport(rows[-1].copy(), e_p, e_r, 0, True, len(rows) - 1, float(dev)), rows


def _check_clearance(clearance):
    if isinstance(clearance, Mapping):  # per body, "default" for the others: the context checks the names
        if not clearance:
            raise TaskError("clearance: an empty dict gives no clearance; give {\"default\": METRES, BODY: METRES}")
        for name, metres in clearance.items():
            if not isinstance(name, str):
                raise TaskError(f"clearance: a dict's keys are body names or \"default\", got {name!r}")
            _check_metres(metres, f"clearance[{name!r}]")
        return
    if clearance is not None:
        _check_metres(clearance, "clearance")


def _check_metres(value, what):
    try:
        ok = not isinstance(value, bool) and np.isfinite(float(value)) and float(value) >= 0
    except (TypeError, ValueError):
        ok = False
    if not ok:
        raise TaskError(f"{what} must be a non-negative number of metres, got {value!r}")


def clearance_with_exceptions(clearance, exceptions):
    """--clearance METRES and its --clearance-for BODY=METRES items as one clearance: the
    float itself without exceptions, else {"default": METRES, BODY: METRES, ...}."""
    if not exceptions:
        return clearance
    if clearance is None:
        raise TaskError("--clearance-for needs --clearance METRES, the clearance of the bodies it does not "
                        "name (say --clearance 0.01 --clearance-for pedestal=0)")
    out = {"default": clearance}
    for text in exceptions:
        name, eq, metres = text.rpartition("=")
        if not eq or not name:
            raise TaskError(f"--clearance-for expects BODY=METRES, got {text!r}")
        try:
            out[name] = float(metres)
        except ValueError:
            raise TaskError(f"--clearance-for {text!r}: METRES must be a number of metres") from None
        _check_metres(out[name], f"--clearance-for {text!r}: METRES")
    return out


def _check_seed(seed):
    if seed is not None and (isinstance(seed, bool) or int(seed) != seed or seed < 0):
        raise TaskError(f"seed must be a non-negative integer, got {seed!r}")


def _check_margin(limit_margin):
    if isinstance(limit_margin, bool) or not np.isfinite(float(limit_margin)) or float(limit_margin) < 0:
        raise TaskError(f"limit margin must be a non-negative number, got {limit_margin!r}")
    return float(limit_margin)


def _solve_targets(task, start, targets, rng, limit_margin):
    """The waypoints of a task on a context already built: start, each target's solution
    (or straight move), start."""
    q0 = task.joints(start, "the start")
    if not task.ctx.is_valid(q0):
        raise TaskError(f"the start {_fmt(q0)} is {task.why_invalid(q0)}")
    targets = as_targets(targets)
    t0 = time.perf_counter()
    rows, reports, segments = [q0], [], {}
    for k, target in enumerate(targets, start=1):
        if target.linear:
            rep, path = task.straight(target, rows[-1], k)
            segments[f"{k - 1}->{k}"] = path
        else:
            rep = task.solve(target, rows[-1], rng, k, limit_margin)
        rows.append(rep.q)
        reports.append(rep)
    rows.append(q0)
    return TaskResult(np.array(rows), reports, segments, time.perf_counter() - t0)


def plan_task(cache_dir, start, targets, *, self_collision=False, clearance=None, seed=None,
              write=True, say=print, limit_margin=0.0):
    """Solve a task given as tool poses and write its waypoints into the cache.

    start       the start joint vector.
    targets     Target objects, dicts as in the JSON file ({"xyz", "rpy" | "quat",
                "linear", "tolerance"}) or (4, 4) world poses of the tool, in order.
    self_collision, clearance   the planner's context that the solutions must pass
                (clearance needs a planner that takes it).
    seed        the restarts' generator seed (default SEED).
    limit_margin  radians (metres for a prismatic joint): a solution closer than this to
                a joint limit is taken only when no other keeps the margin; 0 (default)
                takes the nearest solution wherever it lies.
    Each target's solution is the one nearest its 'near' joint vector (default: the
    previous waypoint); 'free_axis' leaves the turn about one tool axis to the arm, and a
    tolerance (metres, rx, ry, rz) bounds the turn about each tool axis apart.
    Returns a TaskResult; raises TaskError naming the target that cannot be done, and
    then writes nothing.  With write, saves WaypointJointAngles.npy and (for straight
    moves) LinearSegments.npz, each atomically; a stale LinearSegments.npz is removed.
    """
    _check_clearance(clearance)
    _check_seed(seed)
    limit_margin = _check_margin(limit_margin)
    from cellpath_cli import runs  # noqa: PLC0415

    # One run at a time on a cache: a plan running meanwhile would mix these waypoints
    # with the ones it read.
    with runs.cache_lock(cache_dir, "cellpath-task"):
        return _plan_task(runs, cache_dir, start, targets, self_collision, clearance, seed, write, say,
                          limit_margin)


def _plan_task(runs, cache_dir, start, targets, self_collision, clearance, seed, write, say, limit_margin):
    task = _Task(cache_dir, self_collision, clearance)
    result = _solve_targets(task, start, targets, np.random.default_rng(SEED if seed is None else int(seed)),
                            limit_margin)
    rows, reports, segments = result.waypoints, result.reports, result.linear_segments
    for k, rep in enumerate(reports, start=1):
        how = (f"straight move, {rep.steps} steps, off the line by at most {rep.deviation * 1e3:.3f} mm"
               if rep.linear else f"{rep.restarts} restarts")
        if not rep.margin_kept:
            how += f"; no solution keeps {limit_margin:g} from the joint limits"
        say(f"target {k}: {_fmt(rep.q)}  error {rep.position_error * 1e3:.4f} mm, "
            f"{rep.rotation_error * 1e3:.4f} mrad ({how})")
    say(f"inverse kinematics of {len(reports)} targets in {result.ik_seconds:.3f} s")
    if write:
        cache = task.cache_dir
        linear = cache / LINEAR_FILE
        # The waypoints and their straight moves belong together: both in place, or
        # neither (a stale LinearSegments.npz removed in the same step).
        with runs.Outputs(cache) as out:
            if segments:
                out.write(LINEAR_FILE, lambda fh: np.savez(fh, **segments))
            else:
                out.remove(LINEAR_FILE)
            out.write(WAYPOINTS_FILE, lambda fh: np.save(fh, result.waypoints))
            out.commit()
        say(f"wrote {cache / WAYPOINTS_FILE} ({len(rows)} waypoints)"
            + (f" and {linear} ({len(segments)} straight moves)" if segments else ""))
    return result


class _TargetAction(argparse.Action):
    """--target and --linear-target into one ordered list."""

    def __call__(self, parser, namespace, values, option_string=None):
        items = list(getattr(namespace, self.dest) or [])
        items.append((option_string == "--linear-target", values))
        setattr(namespace, self.dest, items)


def _parser():
    p = argparse.ArgumentParser(
        prog="cellpath-task",
        description="Solve a task given as world poses of the tool and write the cache's waypoints "
                    "(WaypointJointAngles.npy, and LinearSegments.npz for straight moves).",
        epilog="Then plan with Brimwell --cache-dir CACHE.")
    p.add_argument("cache", metavar="CACHE", nargs="?", help="the capture cache (or --cache-dir DIR)")
    p.add_argument("--cache-dir", metavar="DIR", help="the capture cache, as the other commands name it")
    p.add_argument("--start", required=True, metavar="Q1,Q2,...", help="the start joint vector (radians, metres)")
    p.add_argument("--targets", metavar="FILE.json", help='{"targets": [{"xyz": [...], "rpy": [...]}, ...]}')
    for opt, what in (("--target", "a tool pose"), ("--linear-target", "a tool pose reached by a straight move")):
        p.add_argument(opt, dest="poses", action=_TargetAction, metavar="X,Y,Z,ROLL,PITCH,YAW",
                       help=f"{what} in the world (metres, radians as URDF rpy); repeatable, in order")
    p.add_argument("--self-collision", action="store_true", help="solutions must keep the links apart too")
    p.add_argument("--clearance", type=float, metavar="M", help="solutions and straight moves must keep this far "
                                                                "from the environment (metres)")
    p.add_argument("--clearance-for", action="append", metavar="BODY=METRES",
                   help="with --clearance: keep the environment body BODY (as meta.json names it) METRES away "
                        "instead (0: out of the clearance, contact still forbidden); repeatable")
    p.add_argument("--seed", type=int, metavar="N", help=f"seed of the restarts (default {SEED})")
    p.add_argument("--free-axis", choices=("x", "y", "z"),
                   help="leave the turn about this tool axis free for every target that is not a straight move")
    p.add_argument("--limit-margin", type=float, default=0.0, metavar="RAD",
                   help="prefer solutions at least this far from every joint limit (default 0)")
    return p


VECTOR_OPTIONS = ("--start", "--target", "--linear-target", "--cache-dir")


def main(argv=None):
    """Console entry of `cellpath-task`; returns 0, or 1 after a one-line error on stderr."""
    from cellpath_cli import negative_values_joined, one_cache  # noqa: PLC0415

    parser = _parser()
    args = parser.parse_args(negative_values_joined(sys.argv[1:] if argv is None else argv, VECTOR_OPTIONS))
    try:
        cache = one_cache(parser, args.cache, args.cache_dir)
        if args.targets and args.poses:
            raise TaskError("give the targets either in --targets FILE or as --target options, not both")
        if args.targets:
            targets = read_targets_file(args.targets)
        elif args.poses:
            targets = [Target(parse_six(text, "--linear-target" if linear else "--target"), linear,
                              DEFAULT_TOLERANCE, str(k)) for k, (linear, text) in enumerate(args.poses, start=1)]
        else:
            raise TaskError("no targets: give --targets FILE or --target X,Y,Z,ROLL,PITCH,YAW")
        for t in targets:
            if args.free_axis and not t.linear and t.free_axis is None and len(t.tolerance) == 2:
                t.free_axis = args.free_axis
        try:
            start = [float(s) for s in args.start.split(",")]
        except ValueError:
            raise TaskError(f"--start needs comma-separated numbers, got {args.start!r}") from None
        clearance = clearance_with_exceptions(args.clearance, args.clearance_for)
        plan_task(cache, start, targets, self_collision=args.self_collision, clearance=clearance,
                  seed=args.seed, limit_margin=args.limit_margin)
    except (TaskError, FileNotFoundError) as exc:
        print(f"cellpath-task: error: {exc}", file=sys.stderr)
        return 1
    return 0


from .planner import Plan, Planner  # noqa: E402  (it builds on the helpers above)
