"""Rest-to-rest timing of a piecewise-linear path, in plain numpy: the
reference the native timing is compared with."""
import numpy as np


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
