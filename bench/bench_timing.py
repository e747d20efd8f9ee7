"""Timed trajectories: Brimwell.time_parameterize against the same timing in numpy.

A planned-looking path (the synthetic six-joint arm's three waypoints chained
through a few corners and densified at 0.05 rad, as the planner leaves it) is
timed under per-joint limits, at rest at every corner with a time-optimal
trapezoid of velocity on each straight piece, and sampled every 10 ms.  The
numpy version finds the corners from the rows, computes every piece's
trapezoid in closed form and samples it; both must give the same samples.
"""
import pathlib
import sys
import time

import numpy as np

import Brimwell

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "support"))
from numpy_timing import numpy_timing  # noqa: E402

VMAX = np.array([1.0, 0.8, 1.2, 2.0, 2.0, 3.0])
AMAX = np.array([2.0, 1.5, 2.5, 4.0, 4.0, 6.0])
DT = 0.01
REPEATS = 5

CORNERS = np.array([
    [-1.3, 1.2, 0.0, 0.0, 0.0, 0.0],
    [-0.9, 0.4, 0.6, 0.3, -0.2, 0.5],
    [0.2, 0.1, 0.9, -0.4, 0.6, -0.3],
    [1.3, 1.2, 0.0, 0.0, 0.0, 0.0],
    [0.8, 0.2, -0.5, 0.7, 0.1, 1.0],
    [-0.4, -0.6, 0.4, 0.0, 0.9, -0.8],
    [0.0, -0.5, 0.3, 0.0, 0.0, 0.0],
])


def best(fn):
    times, out = [], None
    for _ in range(REPEATS):
        t0 = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - t0)
    return min(times), out


def main():
    path = Brimwell.densify(list(CORNERS), res=0.05)
    t_native, native = best(lambda: Brimwell.time_parameterize(path, VMAX, AMAX, dt=DT))
    t_numpy, reference = best(lambda: numpy_timing(path, VMAX, AMAX, DT))
    same = all(np.allclose(x, y, rtol=0, atol=1e-9) for x, y in zip(native, reference)) and \
        len(native[0]) == len(reference[0])
    print(f"path: {len(path)} rows, {len(CORNERS) - 2} corners; timed {native[0][-1]:.2f} s in "
          f"{len(native[0])} samples of {DT} s")
    print(f"  native  {t_native * 1e3:8.2f} ms")
    print(f"  numpy   {t_numpy * 1e3:8.2f} ms  same samples (1e-9): {same}")
    print(f"  ratio   {t_numpy / t_native:8.2f}x")
    if not same:
        raise SystemExit("native and numpy timings differ")


if __name__ == "__main__":
    main()
