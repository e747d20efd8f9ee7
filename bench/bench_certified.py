"""Certified motion: how often each validity test's plans touch the real geometry,
and what the guarantee costs, on real arms against OMPL and VAMP.

Scenes: the xArm6 cell, the Panda before the tall shelf and the UR5 cell of
examples/real_arms.py.  Problems: PROBLEMS start/goal pairs per scene, each end a
configuration reaching into a different cell of the shelf (the last link's origin
inside it; joints drawn within a turn of zero with a fixed seed, kept once drawn
in build/bench_certified/); every end is valid for the voxel
test, with and without self-collision, has no two links touching and keeps at
least END_GAP from the environment by the exact meshes, so a clearance of 1 cm
with its slack can start there.

Rows, each RRT-Connect with its own shortening (Brimwell.plan_segment_connect,
seed = problem index):
  voxel, voxel+self         the voxel test, without and with self-collision
  c=0, c=0+self             PlanningContext(clearance=0.0): proven, no margin
  c=0.01, c=0.01+self       PlanningContext(clearance=0.01)
  c=... lazy                the same with lazy_proof=True: searched on sampled
                            edges, only the kept path proven (every edge exact)
  ompl-connect              OMPL RRTConnect + simplifyMax over the voxel test
  vamp                      VAMP 0.6.4 rrtc + simplify (Panda only, its own
                            sphere model and the shelf's boxes as cuboids)
Columns: solved; time per segment (median, p95, solved only; VAMP's by its own
clock, its wall time per problem in the note); median path length (joint space);
densified to RES rad, the paths with an exact contact (a moving link touching the
environment by FCL on the cache's meshes) and the smallest exact distance along
the paths (min and median over the solved paths).  Ratios: time and length of
each row over VAMP's (problems both solved), and per problem our wall time over
VAMP's wall time (median and p95 over the problems).  A row stops starting problems once
it has planned for --budget seconds (ROW_BUDGET; 0: no limit) and says so.

With --is-valid: the validity test itself near the shelf instead, nanoseconds per call
inside native code on poses around the problems' ends (each end with 5 cm of noise per
joint, NEAR_COPIES of each; best of IS_VALID_REPEATS passes per pose), median and p95,
for the voxel test, clearance=0.01 and clearance=0.01 with lazy_proof, each over the
voxel test's.

With --tasks: whole tasks instead (each scene's waypoints, ProvideRRTPlan 'auto' with
self-collision and a 1 cm clearance, seeds 0-4), lazily proven, and with --eager-tasks
eagerly too; planned count, time of the whole run, smallest exact distance.

Run: python bench/bench_certified.py [--quick] [--problems N] [--scene NAME ...]
         [--rows voxel,c=0.01,...] [--budget SECONDS] [--no-ompl] [--no-vamp]
     python bench/bench_certified.py --tasks [--eager-tasks]
     python bench/bench_certified.py --is-valid
"""
import argparse
import contextlib
import hashlib
import io
import json
import math
import multiprocessing
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import threading
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))
sys.path.insert(0, str(ROOT / "examples"))
sys.path.insert(0, str(ROOT / "tests" / "support"))

import Brimwell  # noqa: E402
import bench_real_arms as real  # noqa: E402
from exact_distance import ExactDistance  # noqa: E402

PROBLEMS = 26
QUICK_PROBLEMS = 3
PROBLEM_SEED = 19
END_GAP = 0.015
RES = 0.005
CLEARANCES = (0.0, 0.01)
OUT = ROOT / "build" / "bench_certified"
VAMP_VENV = ROOT / ".venv-vamp"
SCENES = ("xarm6_cell", "panda_tall_shelf", "ur5_cell")
QUICK_SCENES = ("panda_tall_shelf",)
# Keeps a whole run to minutes while a row takes seconds per segment; the rows it
# cuts short say so, and --budget 0 runs every problem.
ROW_BUDGET = 10.0


# --- scenes and their shelf cells ---------------------------------------------------


def shelf_cells(name):
    """(world-to-frame transform, [(lo, hi), ...]) of the shelf's cells in a frame
    where they are axis-aligned."""
    import real_arms as ra
    if name == "panda_tall_shelf":
        x = (0.45, 0.83)
        cells = [((x[0], -0.38, 0.0), (x[1], 0.38, 0.35)),
                 ((x[0], -0.38, 0.37), (x[1], -0.01, 0.65)),
                 ((x[0], 0.01, 0.37), (x[1], 0.38, 0.65)),
                 ((x[0], -0.38, 0.67), (x[1], 0.38, 0.98))]
        return np.eye(4), cells
    base, scale = {"xarm6_cell": (ra.XARM6_BASE, 1.0), "ur5_cell": (ra.UR5_BASE, ra.UR5_SCALE),
                   "iiwa_cell": (ra.IIWA_BASE, ra.IIWA_SCALE)}[name]
    x, y, z, _, _, yaw = base
    s = scale
    cells = [((-0.30 * s, -0.76 * s, -z), (0.30 * s, -0.45 * s, -0.14 * s)),
             ((-0.30 * s, -0.76 * s, -0.10 * s), (0.30 * s, -0.45 * s, 0.26 * s)),
             ((-0.30 * s, -0.76 * s, 0.30 * s), (0.30 * s, -0.45 * s, 0.65 * s))]
    return np.linalg.inv(ra._pose(x, y, z, yaw)), cells


def scene_cache(name):
    import real_arms
    sources = [ROOT / "examples" / "real_arms.py", ROOT / "examples" / "robot_data.py"]
    sources += sorted((ROOT / "cellpath_urdf").glob("*.py"))
    return real._built_cache(name, getattr(real_arms, name), sources)


def contexts(cache):
    """[(row name, PlanningContext keyword arguments)], the voxel test's rows first, then
    the proven rows, then the same proofs made lazily (searched on sampled edges, only the
    kept path proven)."""
    rows = []
    for clearance in (None, *CLEARANCES):
        for self_collision in (False, True):
            name = ("voxel" if clearance is None else f"c={clearance:g}") + ("+self" if self_collision else "")
            kwargs = {"self_collision": self_collision}
            if clearance is not None:
                kwargs["clearance"] = clearance
            rows.append((name, kwargs))
    for clearance in CLEARANCES:
        for self_collision in (False, True):
            name = f"c={clearance:g}" + ("+self" if self_collision else "") + " lazy"
            rows.append((name, {"self_collision": self_collision, "clearance": clearance,
                                "lazy_proof": True}))
    return rows


# --- problems ----------------------------------------------------------------------


def _stamp(cache, count, seed):
    h = hashlib.sha256(f"{count} {seed} {END_GAP} v2".encode())
    for p in sorted(pathlib.Path(cache).iterdir()):
        if p.name.startswith(".") or not p.is_file():
            continue  # what contexts keep (.models/) or writers leave is no part of the scene
        h.update(p.name.encode())
        h.update(p.read_bytes())
    return h.hexdigest()[:16]


def draw_problems(name, scene, exact, count, seed):
    """`count` (start, goal) pairs, the ends in different cells of the shelf; drawn
    once per cache and kept."""
    stamp = _stamp(scene.cache_dir, count, seed)
    kept = OUT / f"{name}-problems-{stamp}.npy"
    if kept.is_file():
        arr = np.load(kept, allow_pickle=False)
        return [(a, b) for a, b in arr]
    to_frame, cells = shelf_cells(name)
    ctx, sctx, rng = scene.ctx, scene.self_ctx(), np.random.default_rng(seed)
    # Within a turn of zero: a joint that may turn twice round reaches every pose
    # there, and ends a turn apart would only measure the unwinding.
    lo, hi = np.maximum(ctx.limits[:, 0], -math.pi), np.minimum(ctx.limits[:, 1], math.pi)
    tool = exact.link_names[-1]
    # Ends per cell; a pair takes its ends from two different cells, in turn.
    pairs = [(i, j) for i in range(len(cells)) for j in range(len(cells)) if i != j]
    wanted = {k: 0 for k in range(len(cells))}
    for k in range(count):
        i, j = pairs[k % len(pairs)]
        wanted[i] += 1
        wanted[j] += 1
    ends = {k: [] for k in range(len(cells))}
    for _ in range(400000):
        if all(len(ends[k]) >= wanted[k] for k in ends):
            break
        q = rng.uniform(lo, hi)
        p = to_frame @ np.append(exact.pel.forward_kinematics(q)[tool][:3, 3], 1.0)
        cell = next((k for k, (a, b) in enumerate(cells)
                     if np.all(p[:3] > a) and np.all(p[:3] < b)), None)
        if cell is None or len(ends[cell]) >= wanted[cell]:
            continue
        if not (ctx.is_valid(q) and sctx.is_valid(q) and scene.exactly_free(q)):
            continue
        if exact.distance(q) < END_GAP:
            continue
        ends[cell].append(q)
    used = {k: 0 for k in ends}
    problems = []
    for k in range(count):
        i, j = pairs[k % len(pairs)]
        if used[i] >= len(ends[i]) or used[j] >= len(ends[j]):
            continue
        problems.append((ends[i][used[i]], ends[j][used[j]]))
        used[i] += 1
        used[j] += 1
    OUT.mkdir(parents=True, exist_ok=True)
    part = kept.with_name(f"{kept.name}.{os.getpid()}.part.npy")
    np.save(part, np.array(problems, dtype=np.float64).reshape(len(problems), 2, -1))
    os.replace(part, kept)
    return problems


# --- planning ---------------------------------------------------------------------


def plan_row(ctx, problems, budget):
    """Outcomes of the problems in order; once `budget` seconds of planning are spent
    (0: no limit) no further problem is started."""
    run = real.connect(ctx)
    out, spent = [], 0.0
    for i, (a, b) in enumerate(problems):
        if budget and spent >= budget:
            break
        try:
            out.append(run(a, b, np.random.default_rng(i)))
        except ValueError as e:  # an end refused by the clearance test
            refused = real.Outcome(False)
            refused.refused = str(e)
            out.append(refused)
        spent += out[-1].seconds
    return out


def ompl_row(scene, problems):
    peer = real.Ompl(scene.ctx, real.TIME_CAP)
    run = peer.planner("connect")
    return [run(a, b, i) for i, (a, b) in enumerate(problems)]


def vamp_python():
    py = VAMP_VENV / "bin" / "python"
    if not py.is_file():
        return None
    ok = subprocess.run([str(py), "-c", "import vamp"], capture_output=True).returncode == 0
    return py if ok else None


def vamp_row(problems, boxes, fk_configs):
    """VAMP's outcomes (seconds = its own planning + simplification clock), its wall
    times, and its end-effector poses of `fk_configs`."""
    job = {"boxes": [list(map(list, b)) for b in boxes],
           "problems": [[a.tolist(), b.tolist()] for a, b in problems],
           "fk": [q.tolist() for q in fk_configs]}
    done = subprocess.run([str(vamp_python()), str(ROOT / "bench" / "vamp_runner.py")],
                          input=json.dumps(job), capture_output=True, text=True, check=True)
    reply = json.loads(done.stdout)
    outcomes, walls = [], []
    for r in reply["results"]:
        walls.append(r["wall_s"])
        if not r["solved"]:
            outcomes.append(real.Outcome(False, r["plan_ns"] * 1e-9))
            continue
        path = [np.asarray(q, float) for q in r["path"]]
        outcomes.append(real.Outcome(True, (r["plan_ns"] + r["simplify_ns"]) * 1e-9,
                                     r["simplify_ns"] * 1e-9, math.nan, real.path_length(path), path))
    return outcomes, walls, [np.asarray(T, float) for T in reply["fk"]]


def check_vamp_model(exact, fk_configs, vamp_fk):
    """Largest spread, over the configurations, of the pose of VAMP's end effector in
    our last link's frame: ~0 when both models order and zero the joints alike."""
    rel = []
    for q, E in zip(fk_configs, vamp_fk):
        T = np.asarray(exact.pel.forward_kinematics(q)[exact.link_names[-1]], float)
        if E.shape != (4, 4):
            return math.nan
        rel.append(np.linalg.inv(T) @ E)
    rel = np.array(rel)
    return float(np.abs(rel - rel[0]).max())


# --- exact check and table -------------------------------------------------------------


_checker = None


def _path_minimum(path):
    return _checker.path_minimum(Brimwell.densify(path, RES))


def exact_minima(exact, table):
    """{row: smallest exact distance along each solved path, densified to RES (None
    when unsolved)}; the paths are shared out over the cores (nothing is timed then)."""
    global _checker
    _checker = exact
    paths = [[np.asarray(q, float) for q in o.path] for outcomes in table.values()
             for o in outcomes if o.ok]
    workers = min(os.cpu_count() or 1, 4)
    # Forked only from a process with no other thread (a test runner's worker has
    # one): a child forked beside a thread can inherit a lock that thread held.
    if (workers > 1 and len(paths) > 1 and threading.active_count() == 1
            and "fork" in multiprocessing.get_all_start_methods()):
        with multiprocessing.get_context("fork").Pool(workers) as pool:
            found = iter(pool.map(_path_minimum, paths, chunksize=1))
    else:
        found = iter(map(_path_minimum, paths))
    return {row: [next(found) if o.ok else None for o in outcomes] for row, outcomes in table.items()}


HEADER = (f"  {'row':<17} {'solved':>7} {'med ms':>8} {'p95 ms':>8} {'length':>7} "
          f"{'contact':>8} {'min mm':>7} {'med mm':>7}")


def print_row(name, outcomes, minima, note=""):
    solved = [o for o in outcomes if o.ok]
    secs = [o.seconds for o in solved]
    ms = (lambda p: f"{np.percentile(secs, p) * 1e3:8.2f}") if secs else (lambda p: f"{'-':>8}")
    gaps = [m for m in minima if m is not None]
    length = f"{np.median([o.length for o in solved]):7.2f}" if solved else f"{'-':>7}"
    gap = (f"{min(gaps) * 1e3:7.1f} {np.median(gaps) * 1e3:7.1f}" if gaps else f"{'-':>7} {'-':>7}")
    print(f"  {name:<17} {len(solved):>3}/{len(outcomes):<3} {ms(50)} {ms(95)} {length} "
          f"{sum(1 for m in gaps if m <= 0.0):>8} {gap}{note}", flush=True)


def print_ratios(table, peer):
    if peer not in table:
        return
    for name, outcomes in table.items():
        if name == peer:
            continue
        both = [i for i, (a, b) in enumerate(zip(outcomes, table[peer])) if a.ok and b.ok]
        if not both:
            continue
        t = np.median([outcomes[i].seconds for i in both]) / np.median([table[peer][i].seconds for i in both])
        length = np.median([outcomes[i].length for i in both]) / np.median([table[peer][i].length for i in both])
        print(f"  {name} / {peer}: time {t:.2f}x, length {length:.2f}x ({len(both)} problems both solved)")


def print_wall_ratios(table, walls):
    """Per problem, our wall time over VAMP's wall time on the same problem (both
    solved): the median and the 95th percentile over the problems."""
    for name, outcomes in table.items():
        if name == "vamp":
            continue
        ratios = [o.seconds / w for o, v, w in zip(outcomes, table["vamp"], walls)
                  if o.ok and v.ok and w > 0]
        if ratios:
            print(f"  {name} / vamp wall, per problem: median {np.median(ratios):.1f}x, "
                  f"p95 {np.percentile(ratios, 95):.1f}x ({len(ratios)} problems)")


def bench_scene(name, args):
    import real_arms
    t0 = time.perf_counter()
    cache = scene_cache(name)
    scene = real.Scene(name, cache)
    exact = ExactDistance(cache)
    problems = draw_problems(name, scene, exact, args.problems, PROBLEM_SEED)
    print(f"{name}: {scene.n} joints, {len(problems)} problems (ends in different shelf cells, "
          f">= {END_GAP * 1e3:.0f} mm from the environment); set up in {time.perf_counter() - t0:.1f} s",
          flush=True)
    table, notes = {}, {}
    built = []
    for row, kwargs in contexts(cache):
        if args.rows and row not in args.rows:
            continue
        t1 = time.perf_counter()
        try:
            ctx = Brimwell.PlanningContext(cache, **kwargs)
        except TypeError:
            print(f"  {row:<17} skipped: this Brimwell's PlanningContext takes no {', '.join(kwargs)} yet")
            continue
        built.append(f"{row} {time.perf_counter() - t1:.2f} s")
        table[row] = plan_row(ctx, problems, args.budget)
        refused = [o.refused for o in table[row] if getattr(o, "refused", None)]
        notes[row] = f"  ({len(refused)} ends refused, e.g. {refused[0][:80]})" if refused else ""
        if len(table[row]) < len(problems):
            notes[row] += f"  (budget: stopped after {len(table[row])} of {len(problems)})"
    print("  contexts built in: " + ", ".join(built))
    if real.ob is not None and not args.no_ompl:
        table["ompl-connect"] = ompl_row(scene, problems)
    elif not args.no_ompl:
        print("  ompl-connect  skipped: OMPL is not installed (the project's bench extra)")
    walls = None
    if name == "panda_tall_shelf" and not args.no_vamp:
        if vamp_python() is None:
            print(f"  vamp          skipped: no VAMP interpreter at {VAMP_VENV} (make bench makes one "
                  "from ../shared/peers/vamp_planner-0.6.4-*.whl when it is there)")
        else:
            fk_configs = [a for a, _ in problems[:5]]
            table["vamp"], walls, vamp_fk = vamp_row(problems, real_arms.TALL_SHELF_BOXES, fk_configs)
            spread = check_vamp_model(exact, fk_configs, vamp_fk)
            print(f"  VAMP's Panda against ours: its end effector's pose in our link 7 frame varies "
                  f"by at most {spread:.1e} over {len(fk_configs)} configurations "
                  f"({'same joint order and zero' if spread < 1e-3 else 'MODELS DIFFER'})")
    t1 = time.perf_counter()
    minima = exact_minima(exact, table)
    check_s = time.perf_counter() - t1
    print(HEADER)
    for row, outcomes in table.items():
        print_row(row, outcomes, minima[row], notes.get(row, ""))
    if walls:
        print(f"  vamp wall time per problem (subprocess, planning + simplification): median "
              f"{np.median(walls) * 1e3:.2f} ms")
    print_ratios(table, "vamp")
    if walls:
        print_wall_ratios(table, walls)
    print(f" {name} done in {time.perf_counter() - t0:.1f} s (exact check {check_s:.1f} s)", flush=True)


# --- the validity test near the shelf ----------------------------------------------

NEAR_COPIES = 40
IS_VALID_REPEATS = 5


def bench_is_valid():
    from stopwatch import time_is_valid

    name = "panda_tall_shelf"
    cache = scene_cache(name)
    scene = real.Scene(name, cache)
    problems = draw_problems(name, scene, ExactDistance(cache), PROBLEMS, PROBLEM_SEED)
    ends = np.array([q for pair in problems for q in pair])
    rng = np.random.default_rng(0)
    qs = np.concatenate([ends + rng.normal(0.0, 0.05, ends.shape) for _ in range(NEAR_COPIES)])
    print(f"{name}: is_valid on {len(qs)} poses near the shelf (the problems' ends, 5 cm noise), "
          f"ns per call inside native code, best of {IS_VALID_REPEATS} passes per pose")
    rows = [("voxel", {}), ("c=0.01", {"clearance": 0.01}),
            ("c=0.01 lazy", {"clearance": 0.01, "lazy_proof": True})]
    voxel = None
    for row, kwargs in rows:
        ctx = Brimwell.PlanningContext(cache, **kwargs)
        ns = np.min([time_is_valid(ctx, qs)[0] for _ in range(IS_VALID_REPEATS)], axis=0)
        med, p95 = np.median(ns), np.percentile(ns, 95)
        voxel = voxel or (med, p95)
        print(f"  {row:<12} median {med:6.0f} ns  p95 {p95:6.0f} ns  "
              f"(over the voxel test: {med / voxel[0]:.2f}x, {p95 / voxel[1]:.2f}x)")


# --- whole tasks ------------------------------------------------------------------------

TASK_SCENES = ("xarm6_cell", "panda_shelf", "ur5_cell", "iiwa_cell", "panda_tall_shelf")
TASK_SEEDS = range(5)


def plan_task(cache, seed, lazy):
    """(seconds, trajectory or None, failure) of ProvideRRTPlan on a copy of `cache` with
    'auto', self-collision, a clearance of 1 cm and the default limits."""
    with tempfile.TemporaryDirectory() as tmp:
        work = pathlib.Path(tmp) / "cache"
        shutil.copytree(cache, work)
        t0 = time.perf_counter()
        try:
            with contextlib.redirect_stdout(io.StringIO()):
                traj = Brimwell.ProvideRRTPlan(work, planner="auto", seed=seed, self_collision=True,
                                               clearance=0.01, lazy_proof=lazy)
            return time.perf_counter() - t0, np.asarray(traj), ""
        except RuntimeError as e:
            return time.perf_counter() - t0, None, str(e)


def bench_tasks(eager):
    """Whole tasks: each scene's waypoints, seeds 0-4, lazily proven (and eagerly, with
    --eager-tasks); the time of each whole run (context, planning, densifying, the driver's
    checks) and the smallest exact distance along each plan at RES rad."""
    import real_arms
    rows = [("lazy", True)] + ([("eager", False)] if eager else [])
    print(f"Whole tasks: ProvideRRTPlan(planner='auto', self_collision=True, clearance=0.01), seeds "
          f"{TASK_SEEDS.start}-{TASK_SEEDS.stop - 1}, default limits; exact check at {RES} rad")
    print(f"  {'scene':<17} {'proof':<6} {'planned':>8} {'med s':>7} {'max s':>7} {'min mm':>7}")
    for name in TASK_SCENES:
        sources = [ROOT / "examples" / "real_arms.py", ROOT / "examples" / "robot_data.py"]
        cache = real._built_cache(name, getattr(real_arms, name), sources)
        exact = ExactDistance(cache)
        for label, lazy in rows:
            runs = [plan_task(cache, seed, lazy) for seed in TASK_SEEDS]
            planned = [(t, traj) for t, traj, _ in runs if traj is not None]
            gaps = [exact.path_minimum(Brimwell.densify(list(traj), RES)) for _, traj in planned]
            secs = [t for t, _, _ in runs]
            gap = f"{min(gaps) * 1e3:7.1f}" if gaps else f"{'-':>7}"
            print(f"  {name:<17} {label:<6} {len(planned):>4}/{len(runs):<3} {np.median(secs):7.2f} "
                  f"{max(secs):7.2f} {gap}", flush=True)
            for _, _, failure in runs:
                if failure:
                    print(f"    failed: {failure[:110]}")
                    break


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help=f"smoke run: {', '.join(QUICK_SCENES)}, {QUICK_PROBLEMS} problems")
    parser.add_argument("--problems", type=int, default=None, help=f"problems per scene ({PROBLEMS})")
    parser.add_argument("--scene", action="append", choices=SCENES + ("iiwa_cell",), default=[])
    parser.add_argument("--rows", type=lambda t: set(t.split(",")), default=None,
                        help="only these of our rows, comma-separated (voxel,voxel+self,c=0,...)")
    parser.add_argument("--budget", type=float, default=ROW_BUDGET,
                        help=f"seconds of planning per row and scene before it stops starting "
                             f"problems ({ROW_BUDGET:g}; 0: none)")
    parser.add_argument("--no-ompl", action="store_true", help="leave OMPL out")
    parser.add_argument("--no-vamp", action="store_true", help="leave VAMP out")
    parser.add_argument("--tasks", action="store_true",
                        help="whole tasks on five real-arm scenes instead of the shelf problems")
    parser.add_argument("--eager-tasks", action="store_true",
                        help="with --tasks, also plan every task with eager proofs (slow)")
    parser.add_argument("--is-valid", action="store_true",
                        help="the validity test's time near the shelf instead of planning")
    args = parser.parse_args(argv)
    if args.is_valid:
        bench_is_valid()
        return
    if args.tasks:
        bench_tasks(args.eager_tasks)
        return
    if args.problems is None:
        args.problems = QUICK_PROBLEMS if args.quick else PROBLEMS
    scenes = args.scene or (QUICK_SCENES if args.quick else SCENES)
    if real.ou is not None:
        real.ou.setLogLevel(real.ou.LogLevel.LOG_WARN)
    print(f"RRT-Connect everywhere: {Brimwell.MAX_ITERS} iterations, range {Brimwell.STEP}; exact check "
          f"at {RES} rad; seeds fixed")
    for name in scenes:
        bench_scene(name, args)


if __name__ == "__main__":
    main()
