"""Plain numpy rigid-motion algebra and space-frame kinematics, written the
straightforward way: the reference the native CAD-side kinematics is timed against."""
import numpy as np


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
