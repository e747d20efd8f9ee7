"""Full-pose IK: kinematics.InverseKinematicsInSpaceFrame (C++) against the same
damped Newton-Raphson iteration written in numpy.

The target lies far outside the arm's reach, so both run all 200 iterations
(the straight-line planner's worst case, hundreds of times per plan).
"""
import math
import pathlib
import sys
import time
import types

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "hostsim"))
try:
    import adsk.core  # noqa: F401  (the stand-in host, for kinematics' log call)
except ImportError:  # no stand-in on this checkout: a host that only logs
    class _App:
        userInterface = None

        def log(self, text):
            pass

    adsk = types.ModuleType("adsk")
    adsk.core = types.ModuleType("adsk.core")
    adsk.core.Application = types.SimpleNamespace(get=lambda: _App())
    sys.modules.update({"adsk": adsk, "adsk.core": adsk.core})

import kinematics as kin  # noqa: E402


# --- the iteration in numpy --------------------------------------------------

from numpy_rigid import adT, damped_pinv, exp6, fk, inv_SE3, jacobian, log6, skew, wrap  # noqa: E402,F401


def numpy_ik(theta0, Tsd, M, S, eomg=1e-3, ev=1e-3, max_iter=200):
    theta = wrap(np.asarray(theta0, dtype=float))
    out = [theta.copy()]
    for _ in range(max_iter):
        Tsb = fk(S, theta, M)
        X = log6(inv_SE3(Tsb) @ Tsd)
        Vb = np.array([X[2, 1], X[0, 2], X[1, 0], X[0, 3], X[1, 3], X[2, 3]])
        if np.linalg.norm(Vb[:3]) < eomg and np.linalg.norm(Vb[3:]) < ev:
            out[-1] = wrap(out[-1])
            return out
        theta = theta + damped_pinv(jacobian(S, theta)) @ (adT(Tsb) @ Vb)
        out.append(theta.copy())
    out[-1] = wrap(out[-1])
    return out


# --- the arm -------------------------------------------------------------------

def six_joint_arm():
    """A six-revolute arm in centimetres (shoulder, elbow, spherical wrist)."""
    axes = [(0, 0, 1), (0, 1, 0), (0, 1, 0), (1, 0, 0), (0, 1, 0), (1, 0, 0)]
    points = [(0, 0, 0), (0, 0, 40), (30, 0, 40), (55, 0, 40), (55, 0, 40), (55, 0, 40)]
    S = np.zeros((6, 6))
    for i, (w, q) in enumerate(zip(axes, points)):
        w = np.array(w, dtype=float)
        S[:3, i] = w
        S[3:, i] = -np.cross(w, q)
    M = np.eye(4)
    M[:3, 3] = [65, 0, 40]
    return S, M


def best_of(fn, repeats):
    best = math.inf
    for _ in range(repeats):
        t = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t)
    return best


def main():
    S, M = six_joint_arm()
    target = np.eye(4)
    target[:3, 3] = [500.0, 0.0, 40.0]  # 5 m away from a 0.65 m arm
    guess = np.full(6, 0.1)

    native = kin.InverseKinematicsInSpaceFrame(guess, target, M, S)
    plain = numpy_ik(guess, target, M, S)
    assert len(native) == len(plain) == 201, (len(native), len(plain))

    t_native = best_of(lambda: kin.InverseKinematicsInSpaceFrame(guess, target, M, S), 20)
    t_numpy = best_of(lambda: numpy_ik(guess, target, M, S), 3)
    print(f"200-iteration IK solve, six joints: native {t_native * 1e3:.3f} ms, "
          f"numpy {t_numpy * 1e3:.2f} ms")
    print(f"ratio numpy/native: {t_numpy / t_native:.1f}x (target >= 50x)")


if __name__ == "__main__":
    main()
