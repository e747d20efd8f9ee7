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

def skew(w):
    return np.array([[0, -w[2], w[1]], [w[2], 0, -w[0]], [-w[1], w[0], 0]])


def exp6(S, theta):
    S = np.asarray(S, dtype=float).ravel()
    w, v = S[:3], S[3:6]
    T = np.eye(4)
    if np.linalg.norm(w) < 1e-6:
        T[:3, 3] = v * theta
        return T
    W = skew(w)
    W2 = W @ W
    R = np.eye(3) + np.sin(theta) * W + (1 - np.cos(theta)) * W2
    G = np.eye(3) * theta + (1 - np.cos(theta)) * W + (theta - np.sin(theta)) * W2
    T[:3, :3] = R
    T[:3, 3] = G @ v
    return T


def log3(R):
    c = (np.trace(R) - 1) / 2.0
    if c >= 0.999999:
        return np.zeros((3, 3))
    if c <= -0.999999:
        if not np.isclose(1 + R[2, 2], 0):
            w = np.array([R[0, 2], R[1, 2], 1 + R[2, 2]]) / np.sqrt(2 * (1 + R[2, 2]))
        elif not np.isclose(1 + R[1, 1], 0):
            w = np.array([R[0, 1], 1 + R[1, 1], R[2, 1]]) / np.sqrt(2 * (1 + R[1, 1]))
        else:
            w = np.array([1 + R[0, 0], R[1, 0], R[2, 0]]) / np.sqrt(2 * (1 + R[0, 0]))
        return skew(np.pi * w)
    theta = np.arccos(c)
    return theta / (2 * np.sin(theta)) * (R - R.T)


def log6(T):
    R, p = T[:3, :3], T[:3, 3]
    W = log3(R)
    out = np.zeros((4, 4))
    if np.allclose(W, 0):
        out[:3, 3] = p
        return out
    theta = np.arccos(np.clip((np.trace(R) - 1) / 2.0, -1.0, 1.0))
    Wh = W / theta
    Ginv = np.eye(3) / theta - 0.5 * Wh + (1 / theta - 0.5 / np.tan(theta / 2.0)) * (Wh @ Wh)
    out[:3, :3] = W
    out[:3, 3] = Ginv @ p * theta
    return out


def adT(T):
    R, p = T[:3, :3], T[:3, 3]
    Ad = np.zeros((6, 6))
    Ad[:3, :3] = R
    Ad[3:, :3] = skew(p) @ R
    Ad[3:, 3:] = R
    return Ad


def inv_SE3(T):
    R, p = T[:3, :3], T[:3, 3]
    out = np.zeros((4, 4))
    out[:3, :3] = R.T
    out[:3, 3] = -R.T @ p
    out[3, 3] = 1.0
    return out


def fk(S, theta, M):
    T = np.eye(4)
    for i in range(len(theta)):
        T = T @ exp6(S[:, i], theta[i])
    return T @ M


def jacobian(S, theta):
    J = np.array(S, dtype=float).copy()
    T = np.eye(4)
    for i in range(1, len(theta)):
        T = T @ exp6(S[:, i - 1], theta[i - 1])
        J[:, i] = adT(T) @ S[:, i]
    return J


def damped_pinv(J, lam=0.01):
    m, n = J.shape
    if m <= n:
        return J.T @ np.linalg.solve(J @ J.T + lam**2 * np.eye(m), np.eye(m))
    return np.linalg.solve(J.T @ J + lam**2 * np.eye(n), np.eye(n)) @ J.T


def wrap(a):
    return np.arctan2(np.sin(a), np.cos(a))


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
