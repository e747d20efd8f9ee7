"""Timed trajectories: Brimwell.time_parameterize against the same timing in numpy.

A planned-looking path (the synthetic six-joint arm's three waypoints chained
through a few corners and densified at 0.05 rad, as the planner leaves it) is
timed under per-joint limits, at rest at every corner with a time-optimal
trapezoid of velocity on each straight piece, and sampled every 10 ms.  The
numpy version finds the corners from the rows, computes every piece's
trapezoid in closed form and samples it; both must give the same samples.
"""
import time

import numpy as np

import Brimwell

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


def numpy_timing(path, vmax, amax, dt):
    """Rest to rest on every straight piece of `path`, sampled every dt."""
    steps = np.diff(path, axis=0)
    keep = np.linalg.norm(steps, axis=1) > 1e-12
    rows = np.concatenate([[0], np.nonzero(keep)[0] + 1])
    q = path[rows]
    d = np.diff(q, axis=0)
    u = d / np.linalg.norm(d, axis=1)[:, None]
    turn = np.linalg.norm(u[1:] - u[:-1], axis=1) > 1e-9
    stops = np.concatenate([[0], np.nonzero(turn)[0] + 1, [len(q) - 1]])
    a, b = q[stops[:-1]], q[stops[1:]]
    D = b - a
    L = np.linalg.norm(D, axis=1)
    U = np.abs(D) / L[:, None]
    with np.errstate(divide="ignore"):
        vs = np.min(np.where(U > 0, vmax / U, np.inf), axis=1)
        acc = np.min(np.where(U > 0, amax / U, np.inf), axis=1)
    cruise = L >= vs * vs / acc
    peak = np.where(cruise, vs, np.sqrt(L * acc))
    ta = peak / acc
    tc = np.where(cruise, (L - peak * ta) / peak, 0.0)
    dur = 2 * ta + tc
    start = np.concatenate([[0.0], np.cumsum(dur)])
    K = int(np.ceil(start[-1] / dt - 1e-9)) + 1
    t = np.arange(K) * dt
    piece = np.clip(np.searchsorted(start, t, side="right") - 1, 0, len(dur) - 1)
    tau = t - start[piece]
    A, P, T1, TC = acc[piece], peak[piece], ta[piece], tc[piece]
    t2 = T1 + TC
    s = np.where(tau < T1, 0.5 * A * tau ** 2,
                 np.where(tau < t2, 0.5 * A * T1 ** 2 + P * (tau - T1),
                          L[piece] - 0.5 * A * np.maximum(dur[piece] - tau, 0.0) ** 2))
    sd = np.where(tau < T1, A * tau, np.where(tau < t2, P, A * np.maximum(dur[piece] - tau, 0.0)))
    sdd = np.where(tau < T1, A, np.where(tau < t2, 0.0, -A))
    done = t >= start[-1]
    dirn = D[piece] / L[piece][:, None]
    qs = np.where(done[:, None], q[-1], a[piece] + s[:, None] * dirn)
    qd = np.where(done[:, None], 0.0, sd[:, None] * dirn)
    qdd = np.where(done[:, None], 0.0, sdd[:, None] * dirn)
    return t, qs, qd, qdd


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
