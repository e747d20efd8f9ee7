"""This build against an earlier one, in the same run: a change to the code's
structure must not cost speed.

Three measures on the real-arm scenes of examples/real_arms.py (the synthetic
heavy arm where those are missing):
- is_valid, nanoseconds per configuration measured inside native code, median
  over random configurations (and again with the self-collision test);
- one 3000-iteration RRT* segment (Brimwell.plan_segment), median over blocked
  problems;
- one RRT-Connect segment with shortcutting (Brimwell.plan_segment_connect),
  median over the same problems.

Each build runs in a subprocess of its own (its modules first on the path);
the two alternate ROUNDS times and each measure keeps its best round, so a
burst of other work on the machine slows both alike.  The ratio printed is
this build's time over the earlier build's (1.00 = the same).

Run: python bench/bench_baseline.py --baseline DIR   (DIR holds the earlier
build's modules, e.g. a copy of build/dev/out made before the change); without
--baseline or CELLPATH_BASELINE the benchmark says so and does nothing.
"""
import argparse
import json
import os
import pathlib
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent
ROUNDS = 3


def time_is_valid(Brimwell, ctx, qs):
    """Native nanoseconds per configuration, wherever this build keeps the hook."""
    hook = getattr(Brimwell, "_time_is_valid", None)
    if hook is not None:
        return hook(ctx, qs)
    return ctx._time_is_valid(qs)


def measure():
    """One round in this process: {measure name: seconds or nanoseconds}."""
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    import time

    import numpy as np

    sys.path.insert(0, str(HERE))
    sys.path.insert(0, str(HERE.parent / "examples"))
    import Brimwell
    import bench_real_arms as real

    out = {}
    for name, cache_dir in real.real_arm_scenes():
        scene = real.Scene(name, cache_dir)
        rng = np.random.default_rng(1)
        qs = rng.uniform(scene.ctx.limits[:, 0], scene.ctx.limits[:, 1], (4000, scene.n))
        plain = np.min([time_is_valid(Brimwell, scene.ctx, qs)[0] for _ in range(5)], axis=0)
        out[f"{name} is_valid ns"] = float(np.median(plain))
        checked = Brimwell.PlanningContext(cache_dir, self_collision=True)
        with_self = np.min([time_is_valid(Brimwell, checked, qs)[0] for _ in range(5)], axis=0)
        out[f"{name} is_valid+self ns"] = float(np.median(with_self))
        problems = real.draw_problems(scene, 6, real.PROBLEM_SEED)
        for label, plan in (("RRT* segment ms", Brimwell.plan_segment),
                            ("connect segment ms", Brimwell.plan_segment_connect)):
            times = []
            for k, (a, b) in enumerate(problems):
                t0 = time.perf_counter()
                try:
                    plan(scene.ctx, a, b, np.random.default_rng(k))
                except RuntimeError:
                    pass  # a failed segment runs all its iterations too
                times.append(time.perf_counter() - t0)
            out[f"{name} {label}"] = float(np.median(times)) * 1e3
    return out


def run_build(modules):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(modules)] + [p for p in sys.path if p])
    text = subprocess.run([sys.executable, __file__, "--measure"], env=env, check=True,
                          capture_output=True, text=True).stdout
    return json.loads(text.strip().splitlines()[-1])


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--baseline", type=pathlib.Path, default=os.environ.get("CELLPATH_BASELINE"))
    parser.add_argument("--current", type=pathlib.Path, default=None,
                        help="this build's modules (default: the ones Python imports)")
    parser.add_argument("--rounds", type=int, default=ROUNDS)
    parser.add_argument("--measure", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.measure:
        print(json.dumps(measure()))
        return 0
    if args.baseline is None:
        print("no earlier build given (--baseline DIR or CELLPATH_BASELINE); skipped")
        return 0
    current = args.current
    if current is None:
        import Brimwell
        current = pathlib.Path(Brimwell.__file__).resolve().parent
    best = {"earlier": {}, "this": {}}
    for _ in range(args.rounds):
        for label, modules in (("earlier", args.baseline), ("this", current)):
            for key, value in run_build(modules).items():
                best[label][key] = min(value, best[label].get(key, float("inf")))
    print(f"{'measure':44s} {'earlier':>10s} {'this':>10s}  ratio")
    for key, old in best["earlier"].items():
        new = best["this"].get(key)
        if new is None:
            continue
        print(f"{key:44s} {old:10.1f} {new:10.1f}  {new / old:5.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
