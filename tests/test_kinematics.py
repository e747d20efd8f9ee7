"""kinematics: rigid-motion algebra, space-frame FK/Jacobian/IK, and the
design-facing functions run against the stand-in host."""
import json
import math
import pathlib
import sys

import numpy as np
import pytest
from scipy.linalg import expm

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "hostsim"))

import adsk.core  # noqa: E402  (the stand-in must be importable before kinematics)
import adsk.fusion  # noqa: E402
import kinematics as kin  # noqa: E402

APP = adsk.core.Application.get()


def hat6(V):
    """se(3) matrix of a twist (omega, v)."""
    X = np.zeros((4, 4))
    X[:3, :3] = [[0, -V[2], V[1]], [V[2], 0, -V[0]], [-V[1], V[0], 0]]
    X[:3, 3] = V[3:]
    return X


def random_rotation(rng):
    q = rng.normal(size=4)
    a, b, c, d = q / np.linalg.norm(q)
    return np.array([
        [a * a + b * b - c * c - d * d, 2 * (b * c - a * d), 2 * (b * d + a * c)],
        [2 * (b * c + a * d), a * a - b * b + c * c - d * d, 2 * (c * d - a * b)],
        [2 * (b * d - a * c), 2 * (c * d + a * b), a * a - b * b - c * c + d * d],
    ])


def random_transform(rng, scale=1.0):
    T = np.eye(4)
    T[:3, :3] = random_rotation(rng)
    T[:3, 3] = rng.normal(size=3) * scale
    return T


def random_arm(rng, n=6, prismatic=(3,)):
    """A (6, n) space screw list (unit revolute axes through random points,
    unit slides where asked) and a home pose."""
    S = np.zeros((6, n))
    for i in range(n):
        w = rng.normal(size=3)
        w /= np.linalg.norm(w)
        if i in prismatic:
            S[3:, i] = w
        else:
            q = rng.normal(size=3) * 30.0
            S[:3, i] = w
            S[3:, i] = -np.cross(w, q)
    return S, random_transform(rng, 30.0)


@pytest.fixture
def log():
    """The stand-in's log, emptied before the test."""
    APP.reset()
    yield lambda: list(APP.log_lines)
    APP.reset()


# ---------------------------------------------------------------------------
# Rigid-motion algebra


def test_skew_family():
    a, b = np.array([0.3, -1.2, 2.0]), np.array([1.5, 0.4, -0.7])
    np.testing.assert_allclose(kin.skew(a) @ b, np.cross(a, b))
    np.testing.assert_array_equal(kin.vec3_to_so3(a), kin.skew(a))
    np.testing.assert_array_equal(kin.vee_so3(kin.skew(a)), a)
    # The element type follows the components; only the first three count.
    ints = kin.skew([1, 2, 3, 99])
    assert ints.dtype.kind == "i"
    np.testing.assert_array_equal(ints, [[0, -3, 2], [3, 0, -1], [-2, 1, 0]])
    assert kin.skew((1.0, 2, 3)).dtype == np.float64


def test_exp6_matches_matrix_exponential():
    rng = np.random.default_rng(1)
    for _ in range(20):
        w = rng.normal(size=3)
        w /= np.linalg.norm(w)
        S = np.concatenate([w, rng.normal(size=3)])
        theta = rng.uniform(-4, 4)
        np.testing.assert_allclose(kin.exp6(S, theta), expm(hat6(S) * theta), atol=1e-12)
    # Any shape that flattens to six numbers.
    np.testing.assert_allclose(kin.exp6(S.reshape(6, 1), 0.3), kin.exp6(S, 0.3))


def test_exp6_pure_translation_branch():
    for w in ([0, 0, 0], [5e-7, 0, 0]):
        T = kin.exp6(np.array(w + [0, 0, 1.0]), 0.05)
        np.testing.assert_array_equal(T[:3, :3], np.eye(3))
        np.testing.assert_allclose(T[:3, 3], [0, 0, 0.05])
    # Just above the threshold the rotation formula applies.
    T = kin.exp6([2e-6, 0, 0, 0, 0, 1.0], 1.0)
    assert T[1, 2] != 0.0
    # v is not normalised on this branch.
    np.testing.assert_allclose(kin.exp6([0, 0, 0, 0, 3.0, 0], 2.0)[:3, 3], [0, 6, 0])


def test_log6_inverts_exp6():
    rng = np.random.default_rng(2)
    for _ in range(50):
        w = rng.normal(size=3)
        w /= np.linalg.norm(w)
        S = np.concatenate([w, rng.normal(size=3) * 10])
        theta = rng.uniform(0.01, math.pi - 0.01)
        X = kin.log6(kin.exp6(S, theta))
        np.testing.assert_allclose(kin.se3_to_vec(X), S * theta, atol=1e-9)
        np.testing.assert_allclose(X[3], 0.0)
    for _ in range(20):
        T = random_transform(rng, 5.0)
        V = kin.se3_to_vec(kin.log6(T))
        theta = np.linalg.norm(V[:3])  # exp6 wants the unit screw and the angle
        np.testing.assert_allclose(kin.exp6(V / theta, theta), T, atol=1e-9)


def test_log6_pure_translation_and_tiny_rotation():
    T = np.eye(4)
    T[:3, 3] = [1.0, -2.0, 3.0]
    X = kin.log6(T)
    np.testing.assert_array_equal(X[:3, :3], 0.0)
    np.testing.assert_array_equal(X[:3, 3], [1, -2, 3])
    # A rotation below ~0.0014 rad is below log3's resolution: zero, and the
    # logarithm falls back to the translation.
    R = kin.exp6([0, 0, 1, 0, 0, 0], 1e-3)
    np.testing.assert_array_equal(kin.log3(R[:3, :3]), np.zeros((3, 3)))
    np.testing.assert_array_equal(kin.log3(np.eye(3)), np.zeros((3, 3)))
    np.testing.assert_array_equal(kin.log6(R)[:3, :3], 0.0)


@pytest.mark.parametrize("R, omega", [
    (np.diag([-1.0, -1.0, 1.0]), [0, 0, math.pi]),   # first rule
    (np.diag([-1.0, 1.0, -1.0]), [0, math.pi, 0]),   # 1 + R[2,2] = 0: second rule
    (np.diag([1.0, -1.0, -1.0]), [math.pi, 0, 0]),   # both zero: third rule
    (2 * np.outer([1, 1, 0], [1, 1, 0]) / 2 - np.eye(3), np.array([1, 1, 0]) * math.pi / math.sqrt(2)),
])
def test_log3_half_turns(R, omega):
    W = kin.log3(R)
    np.testing.assert_allclose(kin.vee_so3(W), omega, atol=1e-12)
    np.testing.assert_allclose(expm(W), R, atol=1e-12)


def test_adjoint_inverse_and_wrap():
    rng = np.random.default_rng(3)
    T1, T2 = random_transform(rng, 3.0), random_transform(rng, 3.0)
    np.testing.assert_allclose(kin.adT(T1 @ T2), kin.adT(T1) @ kin.adT(T2), atol=1e-12)
    V = rng.normal(size=6)
    # Ad(T) V is the twist T [V] T^-1.
    np.testing.assert_allclose(hat6(kin.adT(T1) @ V), T1 @ hat6(V) @ np.linalg.inv(T1), atol=1e-12)
    np.testing.assert_array_equal(kin.adT(np.eye(4)), np.eye(6))
    for inv in (kin.inv_SE3, kin.inv_homogeneous):
        np.testing.assert_allclose(inv(T1) @ T1, np.eye(4), atol=1e-12)
    # Only R and p are read: a damaged bottom row does not leak into the inverse.
    bad = T1.copy()
    bad[3] = [7, 7, 7, 7]
    np.testing.assert_array_equal(kin.inv_homogeneous(bad)[3], [0, 0, 0, 1])
    np.testing.assert_array_equal(kin.inv_SE3(bad), kin.inv_SE3(T1))

    w = kin.wrap_to_pi(3 * math.pi / 2)
    assert isinstance(w, np.float64) and w == pytest.approx(-math.pi / 2)
    angles = np.linspace(-20, 20, 41).reshape(1, 41)
    wrapped = kin.wrap_to_pi(angles)
    assert wrapped.shape == (1, 41)
    np.testing.assert_allclose(np.cos(wrapped), np.cos(angles), atol=1e-12)
    np.testing.assert_allclose(np.sin(wrapped), np.sin(angles), atol=1e-12)
    assert np.all(np.abs(wrapped) <= math.pi)
    np.testing.assert_allclose(kin.wrap_to_pi([4, 0, -4]), [4 - 2 * math.pi, 0, 2 * math.pi - 4])


def test_damped_pinv_forms():
    rng = np.random.default_rng(4)
    lam = kin.DAMPING_LAMBDA
    assert lam == 0.01
    for m, n in ((6, 6), (6, 8), (3, 7), (3, 2), (7, 4)):
        J = rng.normal(size=(m, n))
        if m <= n:
            want = J.T @ np.linalg.inv(J @ J.T + lam**2 * np.eye(m))
        else:
            want = np.linalg.inv(J.T @ J + lam**2 * np.eye(n)) @ J.T
        got = kin.damped_pinv(J)
        assert got.shape == (n, m)
        np.testing.assert_allclose(got, want, rtol=1e-9, atol=1e-12)
        np.testing.assert_allclose(kin.damped_pinv(J, -lam), got)  # lam is squared
        np.testing.assert_allclose(kin.damped_pinv(J, lam=0.0), np.linalg.pinv(J), rtol=1e-7, atol=1e-10)
    # Square and well-conditioned: the inverse up to the damping.
    J = np.eye(3) * 2.0 + 0.1 * rng.normal(size=(3, 3))
    np.testing.assert_allclose(kin.damped_pinv(J), np.linalg.inv(J), atol=1e-4)
    # Rank-deficient without damping is numpy's singular-matrix error; damped it is fine.
    J = np.array([[1.0, 2.0, 3.0], [2.0, 4.0, 6.0]])
    with pytest.raises(np.linalg.LinAlgError, match="Singular matrix"):
        kin.damped_pinv(J, 0.0)
    assert np.all(np.isfinite(kin.damped_pinv(J)))
    assert kin.damped_pinv(np.zeros((0, 4))).shape == (4, 0)


def test_algebra_rejects_bad_input_without_crashing():
    for call in (lambda: kin.log6(np.zeros(3)), lambda: kin.exp6([1, 2], 0.1),
                 lambda: kin.log3(np.eye(4)), lambda: kin.damped_pinv(np.zeros(3)),
                 lambda: kin.adT([[1, 2], [3, 4]]), lambda: kin.vee_so3([1, 2, 3])):
        with pytest.raises(ValueError):
            call()
    with pytest.raises(TypeError):
        kin.exp6(np.zeros(6), [0.1, 0.2])
    # Non-finite values propagate as NaN rather than failing.
    assert np.isnan(kin.log6(np.full((4, 4), np.nan))).any()
    assert np.isnan(kin.exp6([np.nan, 0, 1, 0, 0, 0], 1.0)).any()


# ---------------------------------------------------------------------------
# Space-frame kinematics


def test_forward_kinematics_and_jacobian_agree_with_finite_differences():
    rng = np.random.default_rng(5)
    S, M = random_arm(rng)
    theta = rng.uniform(-2, 2, size=6)
    T = kin.ForwardKinematicsInSpaceFrame(S, theta, M)
    J = kin.JacobianInSpaceFrame(S, theta)
    np.testing.assert_array_equal(J[:, 0], S[:, 0])
    h = 1e-6
    for i in range(6):
        d = np.zeros(6)
        d[i] = h
        dT = (kin.ForwardKinematicsInSpaceFrame(S, theta + d, M)
              - kin.ForwardKinematicsInSpaceFrame(S, theta - d, M)) / (2 * h)
        np.testing.assert_allclose(dT @ np.linalg.inv(T), hat6(J[:, i]), atol=1e-6)
    # The joint count comes from the joint vector; no joints gives M itself.
    np.testing.assert_array_equal(kin.ForwardKinematicsInSpaceFrame(S, [], M), M)
    np.testing.assert_allclose(kin.ForwardKinematicsInSpaceFrame(S, theta[:2], M),
                               kin.exp6(S[:, 0], theta[0]) @ kin.exp6(S[:, 1], theta[1]) @ M)
    J2 = kin.JacobianInSpaceFrame(S, theta[:2])
    np.testing.assert_array_equal(J2[:, 2:], S[:, 2:])
    with pytest.raises(IndexError):
        kin.ForwardKinematicsInSpaceFrame(S[:, :3], theta, M)
    with pytest.raises(ValueError):
        kin.ForwardKinematicsInSpaceFrame(S, theta, M[:3])


def numpy_ik(theta0, Tsd, M, S, eomg=1e-3, ev=1e-3, max_iter=200):
    """The full-pose iteration written plainly in numpy, for comparison."""
    def fk(th):
        T = np.eye(4)
        for i in range(len(th)):
            T = T @ kin.exp6(S[:, i], th[i])
        return T @ M
    theta = np.arctan2(np.sin(theta0), np.cos(theta0))
    out = [theta.copy()]
    for _ in range(max_iter):
        Tsb = fk(theta)
        Vb = kin.se3_to_vec(kin.log6(kin.inv_SE3(Tsb) @ Tsd))
        if np.linalg.norm(Vb[:3]) < eomg and np.linalg.norm(Vb[3:]) < ev:
            break
        J = kin.JacobianInSpaceFrame(S, theta)
        theta = theta + kin.damped_pinv(J) @ (kin.adT(Tsb) @ Vb)
        out.append(theta.copy())
    out[-1] = np.arctan2(np.sin(out[-1]), np.cos(out[-1]))
    return out


def test_ik_reaches_reachable_targets(log):
    rng = np.random.default_rng(6)
    S, M = random_arm(rng, prismatic=())
    for trial in range(5):
        goal = rng.uniform(-1.5, 1.5, size=6)
        Tsd = kin.ForwardKinematicsInSpaceFrame(S, goal, M)
        guess = goal + rng.normal(scale=0.2, size=6)
        hist = kin.InverseKinematicsInSpaceFrame(guess, Tsd, M, S)
        assert all(isinstance(h, np.ndarray) and h.shape == (6,) for h in hist)
        assert 1 < len(hist) < 201
        Tsb = kin.ForwardKinematicsInSpaceFrame(S, hist[-1], M)
        Vb = kin.se3_to_vec(kin.log6(kin.inv_SE3(Tsb) @ Tsd))
        assert np.linalg.norm(Vb[:3]) < 1e-3 and np.linalg.norm(Vb[3:]) < 1e-3
        assert np.all(np.abs(hist[-1]) <= math.pi)
        ref = numpy_ik(guess, Tsd, M, S)
        assert len(ref) == len(hist)
        np.testing.assert_allclose(np.array(hist), np.array(ref), atol=1e-8)
    assert log() == []

    # Already there: one entry, the wrapped guess (4 rad enters as 4 - 2 pi).
    guess = np.array([4.0, 0.1, -0.2, 0.3, 0.5, -1.0])
    Tsd = kin.ForwardKinematicsInSpaceFrame(S, guess, M)
    hist = kin.InverseKinematicsInSpaceFrame(guess, Tsd, M, S)
    assert len(hist) == 1
    np.testing.assert_allclose(hist[0], kin.wrap_to_pi(guess))
    pos = kin.PositionIKInSpaceFrame(guess, Tsd, M, S)
    assert len(pos) == 1 and pos[0][0] == 4.0


def test_ik_unreachable_target_runs_out_and_logs(log):
    rng = np.random.default_rng(7)
    S, M = random_arm(rng, prismatic=())
    far = np.eye(4)
    far[:3, 3] = [1e4, 0, 0]
    hist = kin.InverseKinematicsInSpaceFrame(np.zeros(6), far, M, S)
    assert len(hist) == 201
    assert np.all(np.abs(hist[-1]) <= math.pi)
    assert log() == ["IK did not converge in 200 iterations"]

    pos = kin.PositionIKInSpaceFrame(np.zeros(6), far, M, S)
    assert len(pos) == 21
    assert log()[-1] == "Position-only IK did not converge in 20 iterations"

    # The limits are read when the solver is called.
    old = kin.IK_MAX_ITERS, kin.POSITION_IK_MAX_ITERS
    try:
        kin.IK_MAX_ITERS, kin.POSITION_IK_MAX_ITERS = 5, 3
        assert len(kin.InverseKinematicsInSpaceFrame(np.zeros(6), far, M, S)) == 6
        assert len(kin.PositionIKInSpaceFrame(np.zeros(6), far, M, S)) == 4
        assert log()[-2:] == ["IK did not converge in 5 iterations",
                              "Position-only IK did not converge in 3 iterations"]
    finally:
        kin.IK_MAX_ITERS, kin.POSITION_IK_MAX_ITERS = old


def test_position_ik_reaches_position_without_wrapping(log):
    rng = np.random.default_rng(8)
    S, M = random_arm(rng, prismatic=())
    goal = rng.uniform(-1, 1, size=6)
    Tsd = kin.ForwardKinematicsInSpaceFrame(S, goal, M)
    guess = goal + 0.05
    guess[0] += 2 * math.pi  # stays unwrapped
    hist = kin.PositionIKInSpaceFrame(guess, Tsd, M, S)
    assert hist[0][0] == guess[0]
    p = kin.ForwardKinematicsInSpaceFrame(S, hist[-1], M)[:3, 3]
    assert np.linalg.norm(p - Tsd[:3, 3]) < 1e-3
    assert log() == []


def test_ik_rejects_mismatched_arguments():
    S, M = random_arm(np.random.default_rng(9))
    with pytest.raises((ValueError, IndexError)):
        kin.InverseKinematicsInSpaceFrame(np.zeros(7), np.eye(4), M, S)
    with pytest.raises(ValueError):
        kin.InverseKinematicsInSpaceFrame(np.zeros(6), np.eye(3), M, S)
    with pytest.raises(ValueError):
        kin.PositionIKInSpaceFrame(np.zeros((2, 3)), np.eye(4), M, S)


# ---------------------------------------------------------------------------
# Design joints and frames (stand-in host)

import workcell  # noqa: E402  (beside the stand-in adsk package)

J = adsk.fusion.JointTypes


def fake_joint(kind, origin, axis, origin_two=(0.0, 0.0, 0.0)):
    """A host joint reduced to what getTandSFromJoint reads."""
    from types import SimpleNamespace as NS
    P = lambda v: NS(x=v[0], y=v[1], z=v[2])  # noqa: E731
    geometry = lambda o: NS(origin=P(o), primaryAxisVector=P((2, 0, 0)),  # noqa: E731
                            secondaryAxisVector=P((0, 3, 0)), thirdAxisVector=P((0, 0, 0.5)))
    motion = NS(jointType=kind, rotationAxisVector=P(axis), slideDirectionVector=P(axis))
    return NS(geometryOrOriginOne=geometry(origin), geometryOrOriginTwo=geometry(origin_two),
              jointMotion=motion)


def test_joint_frames_and_screws():
    T, S = kin.getTandSFromJoint(fake_joint(J.RevoluteJointType, (0, 0, 0), (0, 0, 2)))
    np.testing.assert_array_equal(S, [0, 0, 1, 0, 0, 0])
    np.testing.assert_array_equal(T, np.eye(4))  # axes normalised
    T, S = kin.getTandSFromJoint(fake_joint(J.RevoluteJointType, (1, 0, 0), (0, 0, 2)))
    np.testing.assert_array_equal(S, [0, 0, 1, 0, -1, 0])
    np.testing.assert_array_equal(T[:3, 3], [1, 0, 0])
    # The second geometry on any side other than "one"; the screw's point follows it.
    for side in ("two", "other"):
        T, S = kin.getTandSFromJoint(fake_joint(J.RevoluteJointType, (1, 0, 0), (0, 0, 1), (0, 4, 0)), side)
        np.testing.assert_array_equal(T[:3, 3], [0, 4, 0])
        np.testing.assert_array_equal(S, [0, 0, 1, 4, 0, 0])
    _, S = kin.getTandSFromJoint(fake_joint(J.SliderJointType, (5, 5, 5), (0, 0, -3)))
    np.testing.assert_array_equal(S, [0, 0, 0, 0, 0, -1])
    _, S = kin.getTandSFromJoint(fake_joint(J.CylindricalJointType, (5, 5, 5), (0, 0, 1)))
    assert S.shape == (0,) and S.dtype == np.float64
    np.testing.assert_array_equal(kin.vec3(fake_joint(0, (1, 2, 3), (0, 0, 1)).geometryOrOriginOne.origin), [1, 2, 3])


def test_relative_transforms():
    rng = np.random.default_rng(10)
    A, B, C = (random_transform(rng, 10.0) for _ in range(3))
    for rel in (kin.TRelativeWhenTwoAreGround(A, A), kin.RelativeMatrix(A, A)):
        np.testing.assert_allclose(rel, np.eye(4), atol=1e-12)
    np.testing.assert_allclose(kin.TRelativeWhenTwoAreGround(B, A), np.linalg.inv(A) @ B, atol=1e-12)
    np.testing.assert_allclose(kin.RelativeMatrix(A, B), np.linalg.inv(A) @ B, atol=1e-12)
    np.testing.assert_allclose(kin.GetTransformationmatrixRelativeM(A, B), kin.RelativeMatrix(A, B))
    np.testing.assert_allclose(kin.GetZeroConfigurationMatrix([A, B, C]), kin.RelativeMatrix(A, C))
    np.testing.assert_allclose(kin.GetZeroConfigurationMatrix(np.stack([A, C])), kin.RelativeMatrix(A, C))
    # An axis given in a joint frame becomes a world screw through the frame origin.
    S = kin.GetScrewAxes(A, [0, 0, 1])
    np.testing.assert_allclose(S[:3], A[:3, 2])
    np.testing.assert_allclose(S[3:], -np.cross(A[:3, 2], A[:3, 3]))


BOX = [{"name": "b", "shape": "box", "size": [4, 4, 4]}]
SMALL_ARM = {
    "format": "cellpath-workcell", "version": 1,
    "components": [{"name": n, "bodies": BOX} for n in ("Base", "L1", "L2", "Tool", "Target", "Marker", "Pin")],
    "occurrences": [
        {"component": "Base", "translation": [10, 5, 0], "rotation": {"axis": [0, 0, 1], "angle": 30}},
        {"component": "L1", "translation": [10, 5, 10]},
        {"component": "L2", "translation": [10, 5, 25]},
        {"component": "Tool", "translation": [20, 5, 30], "rotation": {"axis": [1, 0, 0], "angle": 90}},
        {"component": "Target", "translation": [12, 14, 33]},
        {"component": "Marker"},
        {"component": "Pin", "translation": [-20, 0, 0]},
    ],
    "joints": [
        {"name": "J1", "type": "revolute", "parent": "Base:1", "child": "L1:1", "origin": [10, 5, 0]},
        {"name": "J2", "type": "slider", "parent": "L1:1", "child": "L2:1", "origin": [10, 5, 20]},
        {"name": "J3", "type": "revolute", "parent": "L2:1", "child": "Tool:1", "origin": [20, 5, 30],
         "axis": [0, 1, 0], "value": 20},
        {"name": "C1", "type": "cylindrical", "parent": "Base:1", "child": "Pin:1", "origin": [-20, 0, 0]},
    ],
}
ARM3 = ["J1", "J2", "J3"]


@pytest.fixture
def small_arm(monkeypatch):
    """A revolute-slider-revolute arm on a turned, shifted base, opened in the stand-in."""
    cell = workcell.build(SMALL_ARM)
    workcell.install(cell.design)
    monkeypatch.setattr(kin, "ANIM_FRAME_DELAY", 0)
    yield cell.design
    workcell.reset_application()


def world(name):
    return kin.GetComponentGlobalTransformationmatrix(name)


def angles(design, names=ARM3):
    return [design.rootComponent.joints.itemByName(n).jointMotion.rotationValue for n in names]


def test_component_transforms_and_placement(small_arm):
    base = world("Base")
    np.testing.assert_allclose(base[:3, 3], [10, 5, 0])
    np.testing.assert_allclose(base[:3, :3], kin.exp6([0, 0, 1, 0, 0, 0], math.radians(30))[:3, :3], atol=1e-12)
    assert world("Nowhere") is None
    assert APP.message_boxes == ["could not find component name Nowhere"]

    goal = random_transform(np.random.default_rng(11), 20.0)
    occ = kin.MoveComponentToGlobalTransform("Marker", goal)
    assert occ.component.name == "Marker"
    np.testing.assert_allclose(world("Marker"), goal, atol=1e-12)
    assert small_arm.snapshots.count == 1 and not small_arm.snapshots.hasPendingSnapshot  # parametric
    assert kin.MoveComponentToGlobalTransform("Nowhere", goal) is None
    assert APP.log_lines == ["could not find occurrence Nowhere"]

    # A matrix the host refuses is logged; the occurrence still gets the host's matrix.
    skewed = goal.copy()
    skewed[:3, :3] *= 2.0
    assert kin.MoveComponentToGlobalTransform("Marker:1", skewed) is not None
    assert APP.log_lines[-1] == "setWithArray rejected the matrix (likely not orthonormal)"
    m = kin.npToMatrix3D(goal)
    np.testing.assert_allclose(np.reshape(m.asArray(), (4, 4)), goal)

    taken = small_arm.snapshots.count
    small_arm.designType = adsk.fusion.DesignTypes.DirectDesignType
    kin.MoveComponentToGlobalTransform("Marker", np.eye(4))
    assert small_arm.snapshots.count == taken  # a direct design takes no snapshots


def test_forward_kinematics_preview_matches_the_design(small_arm):
    start = angles(small_arm)
    assert start == pytest.approx([0, 0, math.radians(20)])
    goal = [0.7, 6.0, -0.9]
    names, path, pts = kin.DoForwardKinematics("Base", "Tool", goal, ARM3, animate=False)
    assert names is ARM3 and len(path) == 101 and pts.shape == (101, 3)
    assert all(isinstance(c, list) and isinstance(c[0], float) for c in path)
    np.testing.assert_allclose(path[0], start)
    np.testing.assert_allclose(path[-1], goal)
    assert angles(small_arm) == [0, 0, 0]  # left at the zero configuration
    # Each trace point is where the design puts the tool for that configuration.
    for k in (0, 37, 100):
        for n, v in zip(ARM3, path[k]):
            small_arm.rootComponent.joints.itemByName(n).jointMotion.rotationValue = v
        np.testing.assert_allclose(world("Tool")[:3, 3], pts[k], atol=1e-9)


def test_forward_kinematics_animation(small_arm):
    root = small_arm.rootComponent
    stale = [root.customGraphicsGroups.add() for _ in range(2)]
    small_arm.allComponents.itemByName("L1").customGraphicsGroups.add()
    assert kin.DoForwardKinematics("Base", "Tool", [0.7, 6.0, -0.9], ARM3, drawTrace=False) is None
    assert root.customGraphicsGroups.count == 0 and not stale[0].isValid
    assert small_arm.allComponents.itemByName("L1").customGraphicsGroups.count == 0
    assert angles(small_arm) == pytest.approx([0.7, 6.0, -0.9])
    assert APP.do_events_count == 101

    kin.DoForwardKinematics("Base", "Tool", [0.0, 1.0, 0.5], ARM3)
    (group,) = list(root.customGraphicsGroups)
    segments = [s for lines in group for s in lines.segments()]
    assert len(segments) == 100
    np.testing.assert_allclose(segments[-1][1], world("Tool")[:3, 3], atol=1e-9)
    for a, b in zip(segments, segments[1:]):
        np.testing.assert_array_equal(a[1], b[0])  # one connected polyline

    with pytest.raises(AttributeError):  # a name that is no joint
        kin.DoForwardKinematics("Base", "Tool", [0, 0, 0], ["J1", "Jx", "J3"])


def test_clear_all_tracers_survives_a_failing_group(small_arm):
    root = small_arm.rootComponent
    groups = [root.customGraphicsGroups.add() for _ in range(3)]
    other = small_arm.allComponents.itemByName("Tool").customGraphicsGroups.add()

    def refuse():
        raise RuntimeError("group is busy")
    groups[0].deleteMe = refuse
    kin.clear_all_tracers()
    assert root.customGraphicsGroups.count == 1 and not groups[2].isValid and not other.isValid
    assert APP.refresh_count == 1
    workcell.reset_application()
    kin.clear_all_tracers()  # no design open: nothing to do


def test_end_effector_placement(small_arm):
    kin.EndEffTransformProvidedJointAngles("Base", "Tool", [0, 0, 0], ARM3, "Marker")
    home_tool = world("Tool")
    np.testing.assert_allclose(world("Marker"), home_tool, atol=1e-9)
    assert APP.log_lines == ["success"]

    # A missing joint is logged and skipped (the remaining screws take the values).
    kin.EndEffTransformProvidedJointAngles("Base", "Tool", [0.4, 3.0, 0.2], ["J1", "Jx", "J2", "J3"], "Marker")
    assert APP.log_lines[1:] == ["could not find joint Jx while zeroing", "could not find joint Jx", "success"]
    assert angles(small_arm) == [0, 0, 0]
    for n, v in zip(ARM3, [0.4, 3.0, 0.2]):
        small_arm.rootComponent.joints.itemByName(n).jointMotion.rotationValue = v
    np.testing.assert_allclose(world("Marker"), world("Tool"), atol=1e-9)
    # A joint without a screw axis cannot be part of the chain.
    with pytest.raises(ValueError, match="C1"):
        kin.EndEffTransformProvidedJointAngles("Base", "Tool", [0, 0, 0, 0], ARM3 + ["C1"], "Marker")


def test_animated_ik_stops_on_a_missing_joint_before_moving(small_arm):
    before = angles(small_arm)
    with pytest.raises(ValueError, match="^Joint 'J9' not found in root component$"):
        kin.AnimateIterativeIKSolverWithTracer("Base", "Tool", "Target", ["J1", "J2", "J9"])
    assert angles(small_arm) == before
    # A missing base component: the message box, then the failure.
    with pytest.raises(ValueError):
        kin.DoForwardKinematics("NoBase", "Tool", [0, 0, 0], ARM3)
    assert APP.message_boxes == ["could not find component name NoBase"]


# ---------------------------------------------------------------------------
# The bundled sample workcell


@pytest.fixture
def sample(monkeypatch):
    cell = workcell.load_into_application()
    monkeypatch.setattr(kin, "ANIM_FRAME_DELAY", 0)
    yield cell
    workcell.reset_application()


def file_rotation(rot):
    if rot is None:
        return np.eye(3)
    if "matrix" in rot:
        return np.array(rot["matrix"], dtype=float)
    w = np.array(rot["axis"], dtype=float)
    w /= np.linalg.norm(w)
    return expm(hat6(np.concatenate([w, np.zeros(3)]))[:3, :3] * math.radians(rot["angle"]))


def file_world_poses(data):
    """World pose of every occurrence at the zero configuration, from the file alone."""
    poses, counts = {}, {}
    for o in data["occurrences"]:
        counts[o["component"]] = counts.get(o["component"], 0) + 1
        T = np.eye(4)
        T[:3, :3] = file_rotation(o.get("rotation"))
        T[:3, 3] = o.get("translation", [0, 0, 0])
        poses[f"{o['component']}:{counts[o['component']]}"] = poses[o["parent"]] @ T if "parent" in o else T
    return poses


def arm_at_zero(cell):
    """Screws in the base frame, M and the base pose, read the way the animations read them."""
    cell.set_joint_values(np.zeros(len(cell.joints)))
    root = cell.design.rootComponent
    base = world(cell.base)
    world_screws = [kin.getTandSFromJoint(root.joints.itemByName(n))[1] for n in cell.joints]
    Slist = np.column_stack([kin.adT(kin.inv_SE3(base)) @ S for S in world_screws])
    return Slist, kin.TRelativeWhenTwoAreGround(world(cell.end_effector), base), base, world_screws


def test_sample_screws_and_home_agree_with_the_file(sample):
    data = json.loads(workcell.SAMPLE_PATH.read_text())
    assert sample.base == "Base" and sample.end_effector == "ToolFlange"
    assert sample.joints == [f"J{i}" for i in range(1, 7)]
    joints = {j["name"]: j for j in data["joints"]}
    Slist, M, base, world_screws = arm_at_zero(sample)
    for name, S in zip(sample.joints, world_screws):
        j = joints[name]
        w = np.array(j.get("axis", [0, 0, 1]), dtype=float)
        w /= np.linalg.norm(w)
        o = np.array(j["origin"], dtype=float)
        if j["type"] == "revolute":
            np.testing.assert_allclose(S, np.concatenate([w, -np.cross(w, o)]), atol=1e-9)
        else:
            np.testing.assert_allclose(S, np.concatenate([np.zeros(3), w]), atol=1e-12)
    poses = file_world_poses(data)
    first = lambda comp: next(T for n, T in poses.items() if n.split(":")[0] == comp)  # noqa: E731
    np.testing.assert_allclose(base, first("Base"), atol=1e-9)
    np.testing.assert_allclose(M, np.linalg.inv(first("Base")) @ first("ToolFlange"), atol=1e-9)


def test_sample_product_of_exponentials_follows_the_design(sample):
    Slist, M, base, _ = arm_at_zero(sample)
    rng = np.random.default_rng(13)
    for _ in range(8):
        theta = rng.uniform(-2.5, 2.5, size=6)
        sample.set_joint_values(theta)
        adsk.doEvents()
        np.testing.assert_allclose(world("ToolFlange"), base @ kin.ForwardKinematicsInSpaceFrame(Slist, theta, M),
                                   atol=1e-9)


def test_sample_animated_ik_reaches_each_target(sample):
    root = sample.design.rootComponent
    assert set(sample.targets) >= {"inicomp", "inicomp2"}
    for target in ("inicomp", "inicomp2"):
        APP.events.clear()
        start = sample.joint_values()
        preview = kin.AnimateIterativeIKSolverWithTracer("Base", "ToolFlange", target, sample.joints, animate=False)
        names, path, pts = preview
        assert names is sample.joints and len(path) == 101 and pts.shape == (101, 3)
        np.testing.assert_allclose(path[0], start)
        np.testing.assert_array_equal(sample.joint_values(), 0.0)
        sample.set_joint_values(start)

        APP.events.clear()
        assert kin.AnimateIterativeIKSolverWithTracer("Base", "ToolFlange", target, sample.joints) is None
        logs = APP.log_lines
        assert logs[0] == "Initial guess: " + np.array2string(start, precision=4, suppress_small=True)
        assert len(logs) == 2 and logs[1].startswith("[TALV] IK solved: final theta (deg) = [")
        final = sample.joint_values()
        assert logs[1].endswith(np.array2string(np.rad2deg(final), precision=4, separator=", "))
        np.testing.assert_allclose(final, path[-1], atol=1e-12)
        # The design ends at the solution: the flange sits on the target.
        np.testing.assert_allclose(world("ToolFlange"), world(target), atol=5e-3)
        (group,) = list(root.customGraphicsGroups)
        lines = list(group)
        assert len(lines) == 100
        for seg in lines:
            assert len(seg.segments()) == 1
            assert seg.color.color.as_tuple() == (60, 60, 60, 60) and seg.weight == 2
        np.testing.assert_allclose(lines[-1].segments()[0][1], world("ToolFlange")[:3, 3], atol=1e-9)
        np.testing.assert_allclose(lines[0].segments()[0][0], pts[0], atol=1e-9)
        assert APP.do_events_count == 101 and APP.refresh_count >= 101


# ---------------------------------------------------------------------------
# Denavit-Hartenberg table


def test_dh_parameters():
    A = random_transform(np.random.default_rng(12), 10.0)
    step = kin.exp6([0, 0, 1, 0, 0, 0], math.pi / 2)
    step[:3, 3] = [3, 4, 5]
    rows = kin.GetDHParameters([A, A @ step, A @ step], None)
    np.testing.assert_allclose(rows[0], [5, 0, 5, math.pi / 2], atol=1e-9)
    np.testing.assert_allclose(rows[1], [0, 0, 0, 0], atol=1e-9)
    assert kin.GetDHParameters([A], "z") == []


def test_dh_table_printout(capsys):
    kin.PrintDHTable([[5.0, 0.0, 5.0, math.pi / 2], [12.25, -math.pi / 4, -0.5, 0.0]])
    kin.PrintDHTable([[1.0, 1.0, 2.0, -1.0]], in_degrees=False)
    kin.PrintDHTable([])
    lines = capsys.readouterr().out.splitlines()
    header = "i            a       α (deg)         d       θ (deg)"
    assert lines[:4] == [
        header,
        "-" * 52,
        "1       5.0000        0.0000    5.0000       90.0000",
        "2      12.2500      -45.0000   -0.5000        0.0000",
    ]
    assert len(header) == 52
    assert lines[4:7] == ["i            a       α (rad)         d       θ (rad)", "-" * 52,
                          "1       1.0000        1.0000    2.0000       -1.0000"]
    assert lines[7:] == [header, "-" * 52]
    with pytest.raises(ValueError):
        kin.PrintDHTable([[1.0, 2.0, 3.0]])
