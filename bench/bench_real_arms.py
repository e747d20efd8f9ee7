"""Real-arm planning benchmark: the project's planners and OMPL 2.0, same scenes, same validity test.

A few scenes, many problems per scene, one table per scene:

- problems: pairs of free configurations PAIR_DIST rad apart whose straight edge
  collides, drawn with a fixed seed per scene ("free" = valid for the planning
  context, with its self-collision test too where built, and by the exact meshes
  no two links touching);
- the scene's waypoint task, every consecutive pair of waypoints in order, for
  TASK_SEEDS seeds (one generator shared by the segments, as the driver does).

Planners (a row appears when the installed Brimwell has the function or option):
  rrtstar        Brimwell.plan_segment, then smooth_path
  connect        Brimwell.plan_segment_connect (it shortens its own result)
  auto+self      RRT*, falling back to RRT-Connect, with the self-collision test on
  connect+self   RRT-Connect with the self-collision test on
  ompl-rrtstar   OMPL RRTstar, then PathSimplifier.simplifyMax
  ompl-connect   OMPL RRTConnect, then PathSimplifier.simplifyMax
Both OMPL planners ask the same PlanningContext.is_valid through a Python
callback; OMPL's discrete motion validator samples edges at EDGE_RES, so it
tests the same configurations per edge as edge_valid.  Every planner gets
range STEP and at most MAX_ITERS iterations (OMPL's counted by its termination
condition, with a wall-clock guard of TIME_CAP s that a run should never reach);
OMPL RRTstar uses GOAL_BIAS like ours, and both OMPL planners are seeded.  The
waypoint task is also planned by ProvideRRTPlan itself with planner "auto" and
"connect" and the self-collision test on, where the driver has those options.
An instrumented rerun of a few problems times OMPL's Python callback against
the native check of the same configurations.

Columns: solved count; time per segment (planning plus shortening, median and
95th percentile, solved segments only); median path length in joint space
before and after shortening; trajectories (densified at EDGE_RES) in which
Pelmora's exact meshes find two moving links touching ("self"), pairs that
touch in every sampled configuration excluded; and those in which a moving
link touches the environment ("env"; the base standing on its pedestal is no
contact of a moving link).  Ratios are ours / OMPL over the problems both solved.

Run: python bench/bench_real_arms.py [--quick] [--cache DIR ...] [--problems N] [--no-ompl]
"""
import argparse
import contextlib
import gc
import hashlib
import io
import math
import os
import pathlib
import shutil
import sys
import tempfile
import time
from dataclasses import dataclass, field

# Idle BLAS worker threads spin after each call and would compete with the
# timed code; nothing here gains from them.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "examples"))
sys.path.insert(0, str(ROOT / "bench"))

import Brimwell  # noqa: E402
import Pelmora  # noqa: E402
from stopwatch import time_is_valid  # noqa: E402

try:
    from ompl import base as ob, geometric as og, util as ou
except ImportError:  # the bench extra is not installed
    ob = og = ou = None

PAIR_DIST = 1.2
PROBLEMS = 20
QUICK_PROBLEMS = 3
TASK_SEEDS = 3
# A guard only: the iteration limit ends every run well before it, so the draws,
# and with them the results, are the same on a slow or busy machine.
TIME_CAP = 30.0
PROBLEM_SEED = 2024
TOUCH_SAMPLES = 64
CALLBACK_PROBLEMS = 5
CACHE_ROOT = ROOT / "build" / "bench_real_arms"


# --- scenes --------------------------------------------------------------------------


def _stamp_of(*paths):
    h = hashlib.sha256()
    for p in paths:
        h.update(pathlib.Path(p).read_bytes())
    return h.hexdigest()


def _built_cache(name, build, sources):
    """The cache `build(out_dir)` writes, rebuilt only when a source file changed."""
    # Under the folder's lock (the runs' own): two processes (two benchmarks, or the
    # test suite's workers) that want a scene build it once, one after the other,
    # instead of one removing what the other is writing.
    from cellpath_cli.runs import cache_lock

    CACHE_ROOT.mkdir(parents=True, exist_ok=True)
    with cache_lock(CACHE_ROOT, "bench", say=lambda line: None):
        return _build_once(name, build, sources)


def _build_once(name, build, sources):
    out = CACHE_ROOT / name
    stamp_file = CACHE_ROOT / f"{name}.stamp"
    stamp = _stamp_of(*sources)
    if (out / "meta.json").is_file() and stamp_file.is_file() and stamp_file.read_text() == stamp:
        return out
    if out.exists():
        shutil.rmtree(out)
    CACHE_ROOT.mkdir(parents=True, exist_ok=True)
    with contextlib.redirect_stdout(io.StringIO()):
        result = build(out)
    if not (out / "meta.json").is_file() and result is not None:
        out = pathlib.Path(getattr(result, "path", result))
    part = stamp_file.with_name(f"{stamp_file.name}.{os.getpid()}.part")
    part.write_text(stamp)
    os.replace(part, stamp_file)
    return out


def sample_scene():
    """The bundled sample workcell, captured through the stand-in host."""
    import make_sample_cache

    source = ROOT / "examples" / "sample_workcell.json"
    return "sample_workcell", _built_cache("sample_workcell", make_sample_cache.make_sample_cache,
                                           [source, ROOT / "examples" / "make_sample_cache.py"])


def real_arm_scenes():
    """The real-arm scenes of examples/real_arms.py, or none when it is not there."""
    path = ROOT / "examples" / "real_arms.py"
    if not path.is_file():
        return []
    import real_arms

    sources = [path] + sorted((ROOT / "cellpath_urdf").glob("*.py"))
    scenes = []
    for name in ("xarm6_cell", "panda_shelf"):
        build = getattr(real_arms, name, None)
        if build is not None:
            scenes.append((name, _built_cache(name, build, sources)))
    return scenes


class Scene:
    """One cache: the planning contexts, the exact-mesh checker and the waypoints."""

    def __init__(self, name, cache_dir):
        self.name = name
        self.cache_dir = pathlib.Path(cache_dir)
        self.ctx = Brimwell.PlanningContext(self.cache_dir)
        self.n = self.ctx.n_joints
        self.exact = Pelmora.Pelmora(self.cache_dir)
        self.base_link = ("link", self.exact.link_names[0])
        wp_file = self.cache_dir / "WaypointJointAngles.npy"
        self.waypoints = (np.load(wp_file, allow_pickle=False).astype(np.float64)
                          if wp_file.is_file() else np.empty((0, self.n)))
        self.always_touching = self._always_touching()
        self._self_ctx = None

    def _always_touching(self):
        """Link pairs that touch in every one of many in-limit configurations (a link
        nested in its neighbour's housing): contact by construction, not a fault."""
        rng = np.random.default_rng(1)
        lo, hi = self.ctx.limits[:, 0], self.ctx.limits[:, 1]
        common = None
        for _ in range(TOUCH_SAMPLES):
            pairs = self.exact.query(rng.uniform(lo, hi)).link_pairs
            common = set(pairs) if common is None else common & pairs
            if not common:
                break
        return common or set()

    def self_pairs(self, result):
        return set(result.link_pairs) - self.always_touching

    def env_pairs(self, result):
        return {p for p in result.env_pairs if self.base_link not in p}

    def exactly_free(self, q):
        return not self.self_pairs(self.exact.query(q))

    def free(self, q):
        """Valid for every validity test in the benchmark: the context's, with its
        self-collision test where built, and the exact meshes'."""
        sctx = self.self_ctx()
        return (self.ctx.is_valid(q) and (sctx is None or sctx.is_valid(q))
                and self.exactly_free(q))

    def self_ctx(self):
        """The context with the self-collision test on, or None when Brimwell lacks it."""
        if self._self_ctx is None:
            try:
                self._self_ctx = Brimwell.PlanningContext(self.cache_dir, self_collision=True)
            except TypeError:
                self._self_ctx = False
        return self._self_ctx or None

    def contacts(self, path):
        """(self, env) truth values for the densified path under the exact meshes."""
        hits = self.exact.query_trajectory(Brimwell.densify(path, Brimwell.EDGE_RES))
        return (any(self.self_pairs(r) for _, r in hits), any(self.env_pairs(r) for _, r in hits))


def draw_problems(scene, count, seed, dist=PAIR_DIST):
    """Start/goal pairs `dist` apart, both free, whose straight edge collides."""
    ctx, rng = scene.ctx, np.random.default_rng(seed)
    lo, hi = ctx.limits[:, 0], ctx.limits[:, 1]
    problems = []
    for _ in range(5000 * max(count, 1)):
        if len(problems) == count:
            break
        a = rng.uniform(lo, hi)
        if not ctx.is_valid(a):
            continue
        step = rng.normal(size=scene.n)
        b = a + step * (dist / np.linalg.norm(step))
        if ctx.is_valid(b) and not ctx.edge_valid(a, b) and scene.free(a) and scene.free(b):
            problems.append((a, b))
    return problems


# --- outcomes ----------------------------------------------------------------------


@dataclass
class Outcome:
    ok: bool
    seconds: float = 0.0          # planning plus shortening
    shorten_seconds: float = 0.0
    raw_length: float = math.nan
    length: float = math.nan
    path: list = field(default_factory=list)
    capped: bool = False


def path_length(path):
    p = np.asarray(path, dtype=np.float64)
    return float(np.linalg.norm(np.diff(p, axis=0), axis=1).sum()) if len(p) > 1 else 0.0


# --- our planners ------------------------------------------------------------------


def attempt(plan, ctx, start, goal, rng):
    """(path, start time) of one planner call; the path is None where the planner gave up."""
    t0 = time.perf_counter()
    try:
        return plan(ctx, start, goal, rng), t0
    except RuntimeError:
        return None, t0


def rrtstar(ctx):
    def run(start, goal, rng):
        raw, t0 = attempt(Brimwell.plan_segment, ctx, start, goal, rng)
        if raw is None:
            return Outcome(False, time.perf_counter() - t0)
        t1 = time.perf_counter()
        path = Brimwell.smooth_path(ctx, raw, rng)
        t2 = time.perf_counter()
        return Outcome(True, t2 - t0, t2 - t1, path_length(raw), path_length(path), path)
    return run


def connect(ctx):
    def run(start, goal, rng):
        path, t0 = attempt(Brimwell.plan_segment_connect, ctx, start, goal, rng)
        if path is None:
            return Outcome(False, time.perf_counter() - t0)
        length = path_length(path)
        return Outcome(True, time.perf_counter() - t0, math.nan, math.nan, length, path)
    return run


def auto(ctx):
    """RRT* first; a segment it cannot plan goes to RRT-Connect with the generator as
    it then stands (what ProvideRRTPlan(planner="auto") does per segment)."""
    star, conn = rrtstar(ctx), connect(ctx)

    def run(start, goal, rng):
        first = star(start, goal, rng)
        if first.ok:
            return first
        second = conn(start, goal, rng)
        second.seconds += first.seconds
        return second
    return run


def our_planners(scene):
    rows = [("rrtstar", rrtstar(scene.ctx))]
    has_connect = hasattr(Brimwell, "plan_segment_connect")
    if has_connect:
        rows.append(("connect", connect(scene.ctx)))
    sctx = scene.self_ctx()
    if has_connect and sctx is not None:
        rows.append(("auto+self", auto(sctx)))
        rows.append(("connect+self", connect(sctx)))
    return rows


# --- OMPL --------------------------------------------------------------------------


class Ompl:
    """OMPL's planners over the context's validity test, asked through Python."""

    def __init__(self, ctx, time_cap):
        self.ctx, self.n, self.time_cap = ctx, ctx.n_joints, time_cap
        self.space = ob.RealVectorStateSpace(self.n)
        bounds = ob.RealVectorBounds(self.n)
        for k, (lo, hi) in enumerate(ctx.limits):
            bounds.setLow(k, float(lo))
            bounds.setHigh(k, float(hi))
        self.space.setBounds(bounds)
        self.si = ob.SpaceInformation(self.space)
        self.durations, self.record = [], []
        is_valid, n = ctx.is_valid, self.n
        self._plain = lambda s: is_valid(np.array(s[0:n]))
        self.si.setStateValidityChecker(self._plain)
        # Segments of at most EDGE_RES: the configurations edge_valid tests.
        self.si.setStateValidityCheckingResolution(Brimwell.EDGE_RES / self.si.getMaximumExtent())
        self.si.setup()

    def instrument(self, on):
        """Time every callback and keep its joint vector, or go back to the plain one."""
        is_valid, n, clock = self.ctx.is_valid, self.n, time.perf_counter
        if on:
            self.durations, self.record = [], []

        def timed(s):
            t0 = clock()
            q = np.array(s[0:n])
            ok = is_valid(q)
            self.durations.append(clock() - t0)
            self.record.append(q)
            return ok
        self.si.setStateValidityChecker(timed if on else self._plain)
        # Set up again now: done later, inside a planner's setup, it would draw from
        # OMPL's seed generator (random projections) after the planner was seeded.
        self.si.setup()

    def _state(self, q):
        s = self.space.allocState()
        for k in range(self.n):
            s[k] = float(q[k])
        return s

    def _states(self, path):
        n = self.n
        return [np.array(path.getState(i)[0:n]) for i in range(path.getStateCount())]

    def planner(self, kind):
        def run(start, goal, seed):
            set_seed(seed)
            pdef = ob.ProblemDefinition(self.si)
            pdef.setStartAndGoalStates(self._state(start), self._state(goal))
            if kind == "rrtstar":
                planner = og.RRTstar(self.si)
                planner.setGoalBias(Brimwell.GOAL_BIAS)
            else:
                planner = og.RRTConnect(self.si)
            planner.setRange(Brimwell.STEP)
            planner.setProblemDefinition(pdef)
            planner.setup()
            count, deadline, capped = [0], time.perf_counter() + self.time_cap, [False]

            def stop():
                count[0] += 1
                if time.perf_counter() > deadline:
                    capped[0] = True
                return count[0] > Brimwell.MAX_ITERS or capped[0]
            t0 = time.perf_counter()
            planner.solve(ob.PlannerTerminationCondition(stop))
            t1 = time.perf_counter()
            if not pdef.hasExactSolution():
                return Outcome(False, t1 - t0, capped=capped[0])
            path = pdef.getSolutionPath()
            raw = self._states(path)
            og.PathSimplifier(self.si).simplifyMax(path)
            t2 = time.perf_counter()
            final = self._states(path)
            return Outcome(True, t2 - t0, t2 - t1, path_length(raw), path_length(final), final,
                           capped[0])
        return run


def set_seed(seed):
    # OMPL's seed generator is already in use once the module is imported and says
    # so on every reseed; the reseed still fixes all draws that follow.
    level = ou.getLogLevel()
    ou.setLogLevel(ou.LogLevel.LOG_NONE)
    ou.RNG.setSeed(int(seed) + 1)  # 0 is not a seed OMPL accepts
    ou.setLogLevel(level)


# --- running -----------------------------------------------------------------------


def run_problems(scene, planners, problems):
    """{planner: [Outcome per problem]}; ours get a generator per problem, OMPL a seed."""
    table = {}
    for name, run in planners:
        seed = (lambda i: i) if name.startswith("ompl") else np.random.default_rng
        table[name] = [run(a, b, seed(i)) for i, (a, b) in enumerate(problems)]
    return table


def run_task(scene, planners, seeds):
    """{planner: (tasks planned, [Outcome per planned segment])}: every segment in order,
    one generator per seed shared by the segments; a task stops at its first failure."""
    table = {}
    wp = scene.waypoints
    for name, run in planners:
        planned, segments = 0, []
        for seed in seeds:
            rng = np.random.default_rng(seed)
            ok = True
            for i in range(len(wp) - 1):
                o = run(wp[i], wp[i + 1], 1000 * (seed + 1) + i if name.startswith("ompl") else rng)
                segments.append(o)
                if not o.ok:
                    ok = False
                    break
            planned += ok
        table[name] = (planned, segments)
    return table


def whole_task_runs(scene, seeds):
    """ProvideRRTPlan itself with the options that make planning dependable, when built."""
    doc = (Brimwell.ProvideRRTPlan.__doc__ or "").splitlines()[:1]
    if not doc or "planner" not in doc[0] or "self_collision" not in doc[0]:
        return []
    rows = []
    # The driver saves its trajectory into the cache: let it write into a copy.
    with tempfile.TemporaryDirectory() as tmp:
        cache = pathlib.Path(tmp) / scene.cache_dir.name
        shutil.copytree(scene.cache_dir, cache)
        for planner in ("auto", "connect"):
            rows.append(_whole_task(scene, cache, planner, seeds))
    return rows


def _whole_task(scene, cache, planner, seeds):
    ok, seconds, self_hits = 0, [], 0
    for seed in seeds:
        t0 = time.perf_counter()
        try:
            with contextlib.redirect_stdout(io.StringIO()):
                traj = Brimwell.ProvideRRTPlan(cache, planner=planner, seed=seed, self_collision=True)
        except RuntimeError:
            continue
        seconds.append(time.perf_counter() - t0)
        ok += 1
        hits = scene.exact.query_trajectory(traj)
        self_hits += any(scene.self_pairs(r) for _, r in hits)
    return planner, ok, seconds, self_hits


# --- printing ----------------------------------------------------------------------


def ms(values, q):
    return f"{np.percentile(values, q) * 1e3:8.1f}" if len(values) else f"{'-':>8}"


def med(values):
    values = [v for v in values if not math.isnan(v)]
    return f"{np.median(values):7.2f}" if values else f"{'-':>7}"


HEADER = (f"  {'planner':<13} {'solved':>7} {'ms med':>8} {'p95':>8} {'shorten':>8} "
          f"{'len raw':>7} {'len':>7} {'self':>5} {'env':>5}")


def print_row(scene, name, solved_text, outcomes, note=""):
    solved = [o for o in outcomes if o.ok]
    seconds = [o.seconds for o in solved]
    shorten = [o.shorten_seconds for o in solved if not math.isnan(o.shorten_seconds)]
    hits = [scene.contacts(o.path) for o in solved]
    capped = sum(o.capped for o in outcomes)
    if capped:
        note += f"  ({capped} stopped by the time cap)"
    print(f"  {name:<13} {solved_text:<7} {ms(seconds, 50)} {ms(seconds, 95)} {ms(shorten, 50)} "
          f"{med([o.raw_length for o in solved])} {med([o.length for o in solved])} "
          f"{sum(h[0] for h in hits):>5} {sum(h[1] for h in hits):>5}{note}")


def print_ratios(table, pairs):
    for ours, peer in pairs:
        if ours not in table or peer not in table:
            continue
        both = [i for i, (a, b) in enumerate(zip(table[ours], table[peer])) if a.ok and b.ok]
        if not both:
            print(f"  {ours} / {peer}: no problem solved by both")
            continue
        t = np.median([table[ours][i].seconds for i in both]) / np.median(
            [table[peer][i].seconds for i in both])
        length = np.median([table[ours][i].length for i in both]) / np.median(
            [table[peer][i].length for i in both])
        target = "  (targets <= 1.00x, <= 1.05x)" if ours == "connect" else ""
        print(f"  {ours} / {peer}: time {t:.2f}x, path length {length:.2f}x "
              f"(medians over the {len(both)} problems both solved){target}")


def callback_cost(scene, peer, problems):
    """How much of OMPL's time goes into the Python validity callback, and how much of
    that is the crossing into Python rather than the check itself."""
    print(f"  OMPL's Python validity callback (instrumented rerun of "
          f"{min(len(problems), CALLBACK_PROBLEMS)} problems):")
    for kind in ("rrtstar", "connect"):
        peer.instrument(True)
        run = peer.planner(kind)
        # CPU time and median calls: on a shared machine the wall clock also counts
        # the time other processes hold the core.  The records grow by the tens of
        # thousands; the collector's passes over them would land inside the calls.
        gc.disable()
        try:
            cpu = time.process_time()
            for i, (a, b) in enumerate(problems[:CALLBACK_PROBLEMS]):
                run(a, b, i)
            cpu = time.process_time() - cpu
        finally:
            gc.enable()
        durations, qs = np.array(peer.durations), np.array(peer.record)
        peer.instrument(False)
        if not len(durations) or cpu <= 0:
            continue
        callback = float(np.median(durations)) * 1e9
        native = float(np.median(time_is_valid(scene.ctx, qs)[0]))
        share = callback * 1e-9 * len(durations) / cpu
        crossing = max(callback - native, 0.0) * 1e-9 * len(durations) / cpu
        print(f"    ompl-{kind:<8} {len(durations):>6} calls, {cpu * 1e3:7.1f} ms of CPU time "
              f"solving and simplifying: at the median call ({callback:4.0f} ns, the native "
              f"check {native:4.0f} ns) the callback is {share:4.0%} of it, the crossing into "
              f"Python {crossing:4.0%}")


def validity_cost(scene):
    """Native is_valid with and without the self-collision test, same configurations."""
    sctx = scene.self_ctx()
    if sctx is None:
        return
    rng = np.random.default_rng(3)
    qs = rng.uniform(scene.ctx.limits[:, 0], scene.ctx.limits[:, 1], (4000, scene.n))
    time_is_valid(scene.ctx, qs)
    time_is_valid(sctx, qs)
    plain, ok = time_is_valid(scene.ctx, qs)
    with_self, ok_self = time_is_valid(sctx, qs)
    print(f"  is_valid median {np.median(plain):.0f} ns, with self-collision "
          f"{np.median(with_self):.0f} ns ({np.median(with_self) / np.median(plain):.2f}x, target "
          f"<= 2x); {ok.mean():.0%} of random configurations valid, {ok_self.mean():.0%} with "
          f"self-collision")


def bench_scene(name, cache_dir, args):
    t0 = time.perf_counter()
    scene = Scene(name, cache_dir)
    problems = draw_problems(scene, args.problems, PROBLEM_SEED)
    planners = our_planners(scene)
    peer = None
    if ob is not None and not args.no_ompl:
        peer = Ompl(scene.ctx, args.time_cap)
        planners += [("ompl-rrtstar", peer.planner("rrtstar")),
                     ("ompl-connect", peer.planner("connect"))]
    touching = ", ".join(f"{a[1]}-{b[1]}" for a, b in sorted(scene.always_touching)) or "none"
    print(f"{name}: {scene.n} joints, {len(problems)} problems ({PAIR_DIST} rad apart, straight "
          f"edge blocked), task of {max(len(scene.waypoints) - 1, 0)} segments; links always "
          f"touching: {touching}; set up in {time.perf_counter() - t0:.1f} s")
    sctx = scene.self_ctx()
    if sctx is not None and hasattr(sctx, "allowed_pairs"):
        nested = [f"{i}-{j}" for i, j in sctx.allowed_pairs if abs(i - j) > 1]
        print(f"  self-collision test skips {len(sctx.allowed_pairs)} link pairs: the adjacent ones"
              + (f" and {', '.join(nested)}" if nested else ""))

    validity_cost(scene)
    table = run_problems(scene, planners, problems)
    feasible = sum(any(out[i].ok for out in table.values()) for i in range(len(problems)))
    print(f" random problems ({feasible} solved by at least one planner)")
    print(HEADER)
    for pname, outcomes in table.items():
        print_row(scene, pname, f"{sum(o.ok for o in outcomes):>3}/{len(problems)}", outcomes)
    print_ratios(table, [("rrtstar", "ompl-rrtstar"), ("rrtstar", "ompl-connect"),
                         ("connect", "ompl-connect")])

    if len(scene.waypoints) > 1:
        seeds = range(args.task_seeds)
        task = run_task(scene, planners, seeds)
        print(f" waypoint task, seeds {seeds.start}..{seeds.stop - 1}")
        print(HEADER)
        for pname, (planned, segments) in task.items():
            print_row(scene, pname, f"{planned:>3}/{len(seeds)}", segments,
                      f"  ({sum(o.ok for o in segments)} of {len(segments)} segments planned)")
        for planner, ok, seconds, self_hits in whole_task_runs(scene, seeds):
            print(f"  ProvideRRTPlan(planner={planner!r}, self_collision=True): planned "
                  f"{ok}/{len(seeds)} seeds, median {np.median(seconds) if seconds else math.nan:.2f} s "
                  f"per call (environment loading included), {self_hits} trajectories self-collide")

    if peer is not None and problems:
        callback_cost(scene, peer, problems)
    print(f" {name} done in {time.perf_counter() - t0:.1f} s", flush=True)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help=f"smoke run: the sample workcell, {QUICK_PROBLEMS} problems, one task seed")
    parser.add_argument("--cache", action="append", type=pathlib.Path, default=[],
                        help="benchmark this capture cache instead (repeatable)")
    parser.add_argument("--problems", type=int, default=None,
                        help=f"problems per scene ({PROBLEMS})")
    parser.add_argument("--task-seeds", type=int, default=None,
                        help=f"seeds per waypoint task ({TASK_SEEDS})")
    parser.add_argument("--no-ompl", action="store_true", help="leave OMPL out")
    args = parser.parse_args(argv)
    if args.problems is None:
        args.problems = QUICK_PROBLEMS if args.quick else PROBLEMS
    if args.task_seeds is None:
        args.task_seeds = 1 if args.quick else TASK_SEEDS
    args.time_cap = TIME_CAP

    if args.cache:
        scenes = [(p.name, p) for p in args.cache]
    elif args.quick:
        scenes = [sample_scene()]
    else:
        scenes = real_arm_scenes() or [sample_scene()]
    if ob is None and not args.no_ompl:
        print("OMPL is not installed (pip install ompl, or the project's bench extra): "
              "its rows are left out")
    elif ou is not None:
        ou.setLogLevel(ou.LogLevel.LOG_WARN)
    print(f"limits: {Brimwell.MAX_ITERS} iterations and {args.time_cap:g} s per segment, range "
          f"{Brimwell.STEP}, edges checked every {Brimwell.EDGE_RES} rad; seeds fixed")
    for name, cache_dir in scenes:
        bench_scene(name, cache_dir, args)


if __name__ == "__main__":
    main()
