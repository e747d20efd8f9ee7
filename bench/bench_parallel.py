"""Planning on several threads, on the real-arm scenes of examples/real_arms.py.

- threads: the scene's task segments as independent problems (RRT-Connect,
  shortened, through Brimwell.plan_segments), planned one after the other on
  one thread, by two interpreter threads at once (each plan_segments(jobs=1)
  call lets go of the interpreter), and by plan_segments(jobs=2);
- driver: ProvideRRTPlan(planner="connect") through the whole three-segment
  task with jobs=1 and jobs=2 (the same trajectory, checked), and the default
  single-generator run beside them.

Times are the best of REPEATS runs; the ratios are to the one-thread run.
Run: python bench/bench_parallel.py [--repeats N] [--seeds N]
"""
import argparse
import contextlib
import io
import os
import pathlib
import sys
import tempfile
import threading

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "examples"))
sys.path.insert(0, str(ROOT / "bench"))

import Brimwell  # noqa: E402
from stopwatch import best_of  # noqa: E402


def task_problems(cache):
    wps = np.load(cache / "WaypointJointAngles.npy")
    return list(wps[:-1]), list(wps[1:])


def one_after_the_other(ctx, starts, goals, seeds):
    return [Brimwell.plan_segments(ctx, [s], [g], seed, jobs=1) for s, g, seed in zip(starts, goals, seeds)]


def two_threads(ctx, starts, goals, seeds):
    out = [None] * len(starts)

    def run(ks):
        for k in ks:
            out[k] = Brimwell.plan_segments(ctx, [starts[k]], [goals[k]], seeds[k], jobs=1)

    halves = [range(0, len(starts), 2), range(1, len(starts), 2)]
    threads = [threading.Thread(target=run, args=(h,)) for h in halves]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return out


def quiet(fn):
    def call():
        with contextlib.redirect_stdout(io.StringIO()):
            return fn()
    return call


def bench_scene(name, cache, repeats, seeds):
    ctx = Brimwell.PlanningContext(cache)
    starts, goals = task_problems(cache)
    # Each segment several times over with different seeds: a batch of
    # independent problems of the sizes a task has.
    S = [s for _ in range(seeds) for s in starts]
    G = [g for _ in range(seeds) for g in goals]
    seeds_list = list(range(len(S)))
    t1, r1 = best_of(lambda: one_after_the_other(ctx, S, G, seeds_list), repeats)
    t2, r2 = best_of(lambda: two_threads(ctx, S, G, seeds_list), repeats)
    tb1, b1 = best_of(lambda: Brimwell.plan_segments(ctx, S, G, 11, jobs=1), repeats)
    tb2, b2 = best_of(lambda: Brimwell.plan_segments(ctx, S, G, 11, jobs=2), repeats)
    same = all(len(a[0]) == len(b[0]) and all(np.array_equal(x, y) for x, y in zip(a[0], b[0]))
               for a, b in zip(r1, r2))
    same_batch = all(len(a) == len(b) and all(np.array_equal(x, y) for x, y in zip(a, b)) for a, b in zip(b1, b2))
    print(f"{name}: {len(S)} problems ({len(starts)} task segments x {seeds} seeds)")
    print(f"  one after the other       {t1:7.3f} s")
    print(f"  two interpreter threads   {t2:7.3f} s   {t2 / t1:5.2f}x   same paths: {same}")
    print(f"  plan_segments jobs=1      {tb1:7.3f} s")
    print(f"  plan_segments jobs=2      {tb2:7.3f} s   {tb2 / tb1:5.2f}x   same paths: {same_batch}")

    runs = {}
    for jobs in (None, 1, 2):
        t, out = best_of(quiet(lambda: Brimwell.ProvideRRTPlan(cache, planner="connect", jobs=jobs)), repeats)
        runs[jobs] = (t, out)
    same_driver = np.array_equal(runs[1][1], runs[2][1])
    print("  ProvideRRTPlan(planner='connect'), three segments:")
    print(f"    default (one generator) {runs[None][0]:7.3f} s")
    print(f"    jobs=1                  {runs[1][0]:7.3f} s")
    print(f"    jobs=2                  {runs[2][0]:7.3f} s   {runs[2][0] / runs[1][0]:5.2f}x   "
          f"same trajectory: {same_driver}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--seeds", type=int, default=4, help="copies of the task's segments in the batch")
    args = parser.parse_args(argv)
    import real_arms

    print(f"{os.cpu_count()} cores")
    with tempfile.TemporaryDirectory() as tmp:
        for name in ("xarm6_cell", "panda_shelf"):
            with contextlib.redirect_stdout(io.StringIO()):
                cache = real_arms.SCENES[name](pathlib.Path(tmp) / name)
            bench_scene(name, cache, args.repeats, args.seeds)


if __name__ == "__main__":
    main()
