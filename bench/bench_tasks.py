"""Tasks in tool poses on real arms: IK accuracy, straight-move deviation, the time of
a task's IK, and how often the task is then planned.

Scenes: the xArm6 cell and the Panda shelf of examples/real_arms.py (the Panda with
its tool frame at the fingertips), plus any cache given with --cache (its waypoints
are the task).  Per scene:

- IK: POSES tool poses of random valid configurations, each solved by
  cellpath_task.plan_task from the scene's start; reached (within 0.1 mm and
  1 mrad, and valid), the largest errors, the median time per target;
- straight moves: from STRAIGHT of those configurations, a move of 10 cm in a
  random direction with a 0.2 rad turn; solved count and the largest distance of
  the tool from the line, probed independently at 9 points on every edge;
- the task: the scene's waypoints as tool poses (start, K targets, start), its IK
  time (median of 5), then ProvideRRTPlan with planner "auto" and self-collision
  for the default seed and SEEDS seeds: planned count, median and largest time.

Run: python bench/bench_tasks.py [--quick] [--cache DIR ...]
"""
import argparse
import contextlib
import io
import pathlib
import shutil
import sys
import tempfile
import time

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "examples"))

import Brimwell  # noqa: E402
import Tovik  # noqa: E402
import cellpath_task  # noqa: E402
from cellpath_task.targets import rpy_matrix  # noqa: E402

POSES = 50
STRAIGHT = 20
SEEDS = 10


def quiet(*_a, **_k):
    pass


def tool_pose(ctx, tool, q):
    return np.asarray(Tovik.forward_kinematics(ctx.slist, ctx.home_transforms, q)[-1]) @ tool


def random_valid(ctx, rng, count):
    out = []
    while len(out) < count:
        q = rng.uniform(ctx.limits[:, 0], ctx.limits[:, 1])
        if ctx.is_valid(q):
            out.append(q)
    return out


def line_deviation(ctx, tool, rows, a, b):
    d = b - a
    worst = 0.0
    for r in range(1, len(rows)):
        for f in np.linspace(0, 1, 9):
            p = tool_pose(ctx, tool, rows[r - 1] + f * (rows[r] - rows[r - 1]))[:3, 3]
            u = np.clip(np.dot(p - a, d) / np.dot(d, d), 0, 1)
            worst = max(worst, float(np.linalg.norm(p - a - u * d)))
    return worst


def bench_scene(name, cache, poses, straight, seeds):
    ctx = Brimwell.PlanningContext(str(cache), self_collision=True)
    tool = cellpath_task.tool_transform(cache)
    wp = np.load(cache / "WaypointJointAngles.npy", allow_pickle=False)
    start = wp[0]
    rng = np.random.default_rng(1)
    print(f"--- {name}: {ctx.n_joints} joints")

    # IK accuracy
    qs = random_valid(ctx, rng, poses)
    reached, worst_p, worst_r, times = 0, 0.0, 0.0, []
    for q in qs:
        T = tool_pose(ctx, tool, q)
        try:
            res = cellpath_task.plan_task(cache, start, [T], self_collision=True, write=False, say=quiet)
        except cellpath_task.TaskError:
            continue
        reached += 1
        rep = res.reports[0]
        worst_p, worst_r = max(worst_p, rep.position_error), max(worst_r, rep.rotation_error)
        times.append(res.ik_seconds)
    print(f"IK: {reached}/{len(qs)} poses reached, largest error {worst_p * 1e3:.4f} mm, "
          f"{worst_r * 1e3:.4f} mrad, median {np.median(times) * 1e3:.1f} ms per target")

    # Straight moves
    solved, worst = 0, 0.0
    for q in qs[:straight]:
        a = tool_pose(ctx, tool, q)
        d = rng.normal(size=3)
        b = a.copy()
        b[:3, 3] += 0.1 * d / np.linalg.norm(d)
        b[:3, :3] = a[:3, :3] @ rpy_matrix(*(0.2 * rng.normal(size=3) / np.sqrt(3)))
        try:
            rows, _, _ = Tovik.straight_move(ctx.slist, np.asarray(ctx.home_transforms[-1]) @ tool, q, b,
                                             ctx.limits)
        except RuntimeError:
            continue
        solved += 1
        worst = max(worst, line_deviation(ctx, tool, rows, a[:3, 3], b[:3, 3]))
    print(f"straight moves of 10 cm: {solved}/{straight} followed, tool at most {worst * 1e3:.3f} mm off the line")

    # The task
    targets = [tool_pose(ctx, tool, q) for q in wp[1:-1]]
    spent = []
    for _ in range(5):
        res = cellpath_task.plan_task(cache, start, targets, self_collision=True, write=False, say=quiet)
        spent.append(res.ik_seconds)
    cellpath_task.plan_task(cache, start, targets, self_collision=True, say=quiet)
    print(f"task IK, {len(targets)} targets: median {np.median(spent) * 1e3:.1f} ms")
    ok, took, default_ok = 0, [], None
    for s in [None, *range(seeds)]:
        t0 = time.perf_counter()
        try:
            with contextlib.redirect_stdout(io.StringIO()):
                Brimwell.ProvideRRTPlan(cache, planner="auto", self_collision=True, seed=s)
            good = True
        except RuntimeError:
            good = False
        if s is None:
            default_ok = good
            continue
        ok += good
        took.append(time.perf_counter() - t0)
    print(f"planned (auto, self-collision): default seed {'yes' if default_ok else 'NO'}; {ok}/{seeds} seeds, "
          f"median {np.median(took):.2f} s, largest {max(took):.2f} s")


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--quick", action="store_true", help="fewer poses, moves and seeds")
    p.add_argument("--cache", action="append", default=[], help="another cache whose waypoints are a task")
    args = p.parse_args(argv)
    poses, straight, seeds = (8, 4, 2) if args.quick else (POSES, STRAIGHT, SEEDS)
    import real_arms
    import cellpath_urdf

    work = pathlib.Path(tempfile.mkdtemp(prefix="bench_tasks."))
    try:
        scenes = []
        try:
            with contextlib.redirect_stdout(io.StringIO()):
                xarm = real_arms.xarm6_cell(work / "xarm6", scene_dir=work / "xarm6_scene")
                real_arms.panda_shelf(work / "panda0", scene_dir=work / "panda_scene")
            wp = np.load(work / "panda0" / "WaypointJointAngles.npy")
            panda = cellpath_urdf.urdf_to_cache(real_arms.panda_urdf(), work / "panda", real_arms.PANDA_JOINTS,
                                                env=[work / "panda_scene" / "shelf.stl"], waypoints=wp,
                                                tool="panda_grasptarget")
            scenes += [("xArm6 cell", xarm), ("Panda shelf, tool at the fingertips", panda)]
        except Exception as exc:  # no network: the robot descriptions cannot be fetched
            print(f"real-arm scenes unavailable ({type(exc).__name__}: {exc})")
        for c in args.cache:
            copy = work / pathlib.Path(c).name
            shutil.copytree(c, copy)
            scenes.append((pathlib.Path(c).name, copy))
        for name, cache in scenes:
            bench_scene(name, pathlib.Path(cache), poses, straight, seeds)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
