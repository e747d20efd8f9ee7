"""Quennet: the step-limited IK with restarts, straight-line pose paths, and the
joint-state / home-screw / waypoint functions run against the stand-in host."""
import math
import pathlib
import sys

import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "hostsim"))

import adsk.core  # noqa: E402  (the stand-in must be importable before Quennet)
import workcell  # noqa: E402
import Quennet as Q  # noqa: E402

APP = adsk.core.Application.get()


# ---------------------------------------------------------------------------
# helpers


def rotation(axis, angle):
    a = np.asarray(axis, float)
    a = a / np.linalg.norm(a)
    K = np.array([[0, -a[2], a[1]], [a[2], 0, -a[0]], [-a[1], a[0], 0]])
    return np.eye(3) + math.sin(angle) * K + (1 - math.cos(angle)) * K @ K


def pose(axis=(0, 0, 1), angle=0.0, p=(0, 0, 0)):
    T = np.eye(4)
    T[:3, :3] = rotation(axis, angle)
    T[:3, 3] = p
    return T


def random_arm(rng, n=6):
    S = np.zeros((6, n))
    for i in range(n):
        w = rng.normal(size=3)
        w /= np.linalg.norm(w)
        q = rng.normal(size=3) * 30.0
        S[:3, i] = w
        S[3:, i] = -np.cross(w, q)
    M = pose(rng.normal(size=3), rng.uniform(0, 3), rng.normal(size=3) * 30.0)
    return S, M


def fk(S, theta, M):
    return Q.ForwardKinematicsInSpaceFrame(S, theta, M)


def reference_ik2(init, Tsd, M, S, eomg=0.001, ev=0.001):
    """The solver's rule written with the module's own kinematics primitives."""
    theta = Q.wrap_to_pi(np.asarray(init, float))
    out = [theta.copy()]
    last_good = theta.copy()
    for _ in range(200):
        Tsb = fk(S, theta, M)
        Vb = Q.se3_to_vec(Q.log6(Q.inv_SE3(Tsb) @ Tsd))
        if not np.all(np.isfinite(Vb)):
            theta = Q.wrap_to_pi(last_good + 0.05 * np.random.randn(len(theta)))
            out.append(theta.copy())
            continue
        if np.linalg.norm(Vb[:3]) < eomg and np.linalg.norm(Vb[3:]) < ev:
            out[-1] = Q.wrap_to_pi(out[-1])
            return out
        d = Q.damped_pinv(Q.JacobianInSpaceFrame(S, theta)) @ (Q.adT(Tsb) @ Vb)
        n = np.linalg.norm(d)
        if n > 0.3:
            d = d * (0.3 / n)
        theta = Q.wrap_to_pi(theta + d)
        last_good = theta.copy()
        out.append(theta.copy())
    out[-1] = Q.wrap_to_pi(out[-1])
    return out


def rot_angle(R):
    return math.acos(max(-1.0, min(1.0, (np.trace(R) - 1) / 2)))


# ---------------------------------------------------------------------------
# InverseKinematicsInSpaceFrame2


def test_ik2_matches_the_reference_iteration_on_random_arms(capsys):
    rng = np.random.default_rng(7)
    for trial in range(12):
        S, M = random_arm(rng)
        Tsd = fk(S, rng.uniform(-math.pi, math.pi, 6), M)
        # Near and far starts: the far ones exercise the step limit.
        init = rng.uniform(-math.pi, math.pi, 6) if trial % 2 else rng.normal(scale=0.1, size=6)
        got = Q.InverseKinematicsInSpaceFrame2(init, Tsd, M, S)
        want = reference_ik2(init, Tsd, M, S)
        assert len(got) == len(want)
        np.testing.assert_allclose(np.array(got), np.array(want), atol=1e-9)
        steps = np.diff(np.array(got), axis=0)
        steps = np.arctan2(np.sin(steps), np.cos(steps))  # undo the wrap at +-pi
        assert np.all(np.linalg.norm(steps, axis=1) <= 0.3 + 1e-12)
    printed = capsys.readouterr().out.splitlines()
    assert all(line == "IK did not converge in 200 iterations" for line in printed)


def test_ik2_start_at_the_target_and_wrapping():
    rng = np.random.default_rng(1)
    S, M = random_arm(rng)
    init = np.array([3 * math.pi / 2, 0.1, -0.2, 0.3, 4.0, -5.0])
    wrapped = np.arctan2(np.sin(init), np.cos(init))
    out = Q.InverseKinematicsInSpaceFrame2(init, fk(S, wrapped, M), M, S)
    assert len(out) == 1
    np.testing.assert_allclose(out[0], wrapped, atol=1e-15)
    assert out[0][0] == pytest.approx(-math.pi / 2)


def test_ik2_first_step_is_clipped_to_norm_point_three():
    rng = np.random.default_rng(3)
    S, M = random_arm(rng)
    theta0 = np.zeros(6)
    Tsd = fk(S, np.full(6, 0.8), M)
    Tsb = fk(S, theta0, M)
    Vb = Q.se3_to_vec(Q.log6(Q.inv_SE3(Tsb) @ Tsd))
    full = Q.damped_pinv(Q.JacobianInSpaceFrame(S, theta0)) @ (Q.adT(Tsb) @ Vb)
    assert np.linalg.norm(full) > 0.3
    out = Q.InverseKinematicsInSpaceFrame2(theta0, Tsd, M, S)
    step = out[1] - out[0]
    assert np.linalg.norm(step) == pytest.approx(0.3, rel=1e-12)
    np.testing.assert_allclose(step / 0.3, full / np.linalg.norm(full), atol=1e-12)


def test_ik2_restarts_draw_from_numpys_global_generator(capsys):
    rng = np.random.default_rng(5)
    S, M = random_arm(rng)
    M_bad = M.copy()
    M_bad[0, 3] = np.nan  # every error twist is NaN: every iteration restarts
    init = np.array([0.1, 3.0, -3.1, 0.0, 1.0, -1.0])

    np.random.seed(1234)
    out = Q.InverseKinematicsInSpaceFrame2(init, np.eye(4), M_bad, S)
    assert len(out) == 201
    assert capsys.readouterr().out == "IK did not converge in 200 iterations\n"

    np.random.seed(1234)
    draws = [np.random.randn(6) for _ in range(200)]
    base = np.arctan2(np.sin(init), np.cos(init))
    # Each restart perturbs the last good iterate, which never changes here.
    for k, d in enumerate(draws, start=1):
        np.testing.assert_allclose(out[k], np.arctan2(np.sin(base + 0.05 * d), np.cos(base + 0.05 * d)),
                                   atol=1e-15)
    np.random.seed(1234)
    again = Q.InverseKinematicsInSpaceFrame2(init, np.eye(4), M_bad, S)
    np.testing.assert_array_equal(np.array(out), np.array(again))


def test_ik2_unreachable_target_runs_out_and_says_so(capsys):
    rng = np.random.default_rng(11)
    S, M = random_arm(rng)
    far = pose(p=(1e4, 0, 0))
    out = Q.InverseKinematicsInSpaceFrame2(np.zeros(6), far, M, S)
    assert len(out) == 201
    assert capsys.readouterr().out == "IK did not converge in 200 iterations\n"
    assert np.all(np.abs(out[-1]) <= math.pi)


def test_ik2_argument_shapes_are_checked():
    S, M = random_arm(np.random.default_rng(0))
    with pytest.raises(ValueError, match="Slist"):
        Q.InverseKinematicsInSpaceFrame2(np.zeros(5), np.eye(4), M, S)
    with pytest.raises(ValueError, match="Tsd"):
        Q.InverseKinematicsInSpaceFrame2(np.zeros(6), np.eye(3), M, S)
    with pytest.raises(ValueError, match="InitialTheta"):
        Q.InverseKinematicsInSpaceFrame2(np.zeros((2, 3)), np.eye(4), M, S)


# ---------------------------------------------------------------------------
# StraightLineCartesianPath


def reference_path(Ts, Te, N):
    Rs, ps, Re, pe = Ts[:3, :3], Ts[:3, 3], Te[:3, :3], Te[:3, 3]
    Rrel = Rs.T @ Re
    theta = math.acos(np.clip((np.trace(Rrel) - 1) / 2, -1, 1))
    w = np.zeros(3) if theta < 1e-9 else np.array(
        [Rrel[2, 1] - Rrel[1, 2], Rrel[0, 2] - Rrel[2, 0], Rrel[1, 0] - Rrel[0, 1]]) / (2 * math.sin(theta))
    out = []
    for i in range(N):
        s = i / (N - 1) if N > 1 else 1.0
        T = np.eye(4)
        T[:3, :3] = Rs @ (rotation(w, s * theta) if s * theta >= 1e-9 else np.eye(3))
        T[:3, 3] = (1 - s) * ps + s * pe
        out.append(T)
    return out


def test_path_sample_counts_and_end_points():
    A = pose((1, 2, 3), 0.7, (1, 2, 3))
    B = pose((0, 1, 0), -1.2, (4, -5, 6))
    assert Q.StraightLineCartesianPath(A, B, 0) == []
    one = Q.StraightLineCartesianPath(A, B, 1)
    assert len(one) == 1
    np.testing.assert_allclose(one[0], B, atol=1e-12)
    path = Q.StraightLineCartesianPath(A, B, 7)
    assert len(path) == 7
    np.testing.assert_allclose(path[0], A, atol=1e-12)
    np.testing.assert_allclose(path[-1], B, atol=1e-12)


def test_path_quarter_turn_midpoint_and_random_pairs():
    A = pose(p=(0, 0, 0))
    B = pose((0, 0, 1), math.pi / 2, (2, 4, 6))
    mid = Q.StraightLineCartesianPath(A, B, 3)[1]
    np.testing.assert_allclose(mid[:3, :3], rotation((0, 0, 1), math.pi / 4), atol=1e-12)
    np.testing.assert_allclose(mid[:3, 3], [1, 2, 3], atol=1e-12)

    rng = np.random.default_rng(2)
    for _ in range(20):
        A = pose(rng.normal(size=3), rng.uniform(0, math.pi), rng.normal(size=3))
        B = pose(rng.normal(size=3), rng.uniform(0, 3.0), rng.normal(size=3))
        for got, want in zip(Q.StraightLineCartesianPath(A, B, 9), reference_path(A, B, 9)):
            np.testing.assert_allclose(got, want, atol=1e-12)


def test_path_same_orientation_keeps_the_start_rotation_exactly():
    A = pose((1, 1, 0), 0.4, (0, 0, 0))
    B = A.copy()
    B[:3, 3] = (3, 2, 1)
    for T in Q.StraightLineCartesianPath(A, B, 5):
        np.testing.assert_array_equal(T[:3, :3], A[:3, :3])


@pytest.mark.parametrize("axis", [(0, 0, 1), (1, 0, 0), (0, 1, 0), (1, 1, 0), (1, -2, 3)])
@pytest.mark.parametrize("gap", [0.0, 1e-12, 1e-9, 1e-7])
def test_path_half_turns_stay_uniform_and_finite(axis, gap):
    A = pose((2, -1, 1), 0.3, (1, 1, 1))
    B = A @ pose(axis, math.pi - gap, (0, 0, 0))
    path = Q.StraightLineCartesianPath(A, B, 11)
    R = [T[:3, :3] for T in path]
    assert np.all(np.isfinite(np.array(path)))
    for Rk in R:
        np.testing.assert_allclose(Rk.T @ Rk, np.eye(3), atol=1e-12)
        assert np.linalg.det(Rk) == pytest.approx(1.0)
    np.testing.assert_allclose(path[-1], B, atol=1e-9)
    # Uniform turning about one fixed axis: equal steps, and every step's axis
    # is the same.
    steps = [R[k].T @ R[k + 1] for k in range(10)]
    angles = [rot_angle(D) for D in steps]
    np.testing.assert_allclose(angles, (math.pi - gap) / 10, atol=1e-9)
    axes = [np.array([D[2, 1] - D[1, 2], D[0, 2] - D[2, 0], D[1, 0] - D[0, 1]]) for D in steps]
    axes = [a / np.linalg.norm(a) for a in axes]
    for a in axes[1:]:
        np.testing.assert_allclose(a, axes[0], atol=1e-9)


def test_path_rejects_non_transforms():
    with pytest.raises(ValueError):
        Q.StraightLineCartesianPath(np.eye(3), np.eye(4), 3)
    with pytest.raises(TypeError):
        Q.StraightLineCartesianPath(np.eye(4), np.eye(4), 2.5)


# ---------------------------------------------------------------------------
# Joint state, home screws and waypoints on a small stand-in arm


def small_arm(goal=None):
    """Three revolute joints on a base that is turned and moved off the origin,
    a tool nested in the last link, and a goal component placed at `goal`."""
    box = lambda size, c: [{"name": "b", "shape": "box", "size": size, "center": c}]  # noqa: E731
    data = {
        "format": "cellpath-workcell", "version": 1,
        "components": [
            {"name": "Base", "bodies": box([10, 10, 10], [0, 0, 5])},
            {"name": "L1", "bodies": box([4, 4, 20], [0, 0, 10])},
            {"name": "L2", "bodies": box([4, 4, 20], [0, 0, 10])},
            {"name": "L3", "bodies": box([4, 4, 20], [0, 0, 10])},
            {"name": "Tool"}, {"name": "Goal"}, {"name": "Gear"}, {"name": "Spin"},
        ],
        "occurrences": [
            {"component": "Base", "translation": [5, -3, 0], "rotation": {"axis": [0, 0, 1], "angle": 30}},
            {"component": "L1", "translation": [5, -3, 10]},
            {"component": "L2", "translation": [5, -3, 30]},
            {"component": "L3", "translation": [5, -3, 50]},
            {"component": "Tool", "parent": "L3:1", "translation": [0, 2, 20],
             "rotation": {"axis": [1, 0, 0], "angle": 20}},
            {"component": "Gear", "translation": [40, 0, 0]},
            {"component": "Spin", "translation": [60, 0, 0]},
        ],
        "joints": [
            {"name": "J1", "type": "revolute", "parent": "Base:1", "child": "L1:1", "origin": [5, -3, 10]},
            {"name": "J2", "type": "revolute", "parent": "L1:1", "child": "L2:1", "origin": [5, -3, 30],
             "axis": [0, 1, 0], "limits": [-90, 90]},
            {"name": "J3", "type": "revolute", "parent": "L2:1", "child": "L3:1", "origin": [5, -3, 50],
             "axis": [1, 0, 1], "limits": [None, 120], "value": 10},
            {"name": "Fix", "type": "rigid", "parent": "Base:1", "child": "Gear:1", "origin": [40, 0, 0]},
            {"name": "Cyl", "type": "cylindrical", "parent": "Base:1", "child": "Spin:1", "origin": [60, 0, 0]},
        ],
        "arm": {"base": "Base", "end_effector": "Tool", "joints": ["J1", "J2", "J3"],
                "links": ["Base", "L1", "L2", "L3"]},
    }
    if goal is not None:
        data["occurrences"].append({"component": "Goal", "translation": list(goal[:3, 3]),
                                    "rotation": {"matrix": goal[:3, :3].tolist()}})
    else:
        data["occurrences"].append({"component": "Goal", "translation": [0, 0, 0]})
    return workcell.load_into_application(data)


NAMES = ["J1", "J2", "J3"]


def world(name):
    occ = next(o for o in APP.activeProduct.rootComponent.allOccurrences if o.component.name == name)
    return np.array(occ.transform2.asArray()).reshape(4, 4)


def test_joint_angles_read_and_set():
    cell = small_arm()
    np.testing.assert_allclose(Q.RetrieveJointAnglesAtConfig(NAMES), [0, 0, math.radians(10)])
    Q.SetRobotJointAngles(NAMES, [0.1, 0.2])           # fewer values: first joints only
    np.testing.assert_allclose(cell.joint_values(), [0.1, 0.2, math.radians(10)])
    Q.SetRobotJointAngles(NAMES[:2], [0.3, 0.4, 0.5])  # more values: extras ignored
    np.testing.assert_allclose(cell.joint_values(), [0.3, 0.4, math.radians(10)])

    before = cell.joint_values()
    with pytest.raises(ValueError) as e:
        Q.SetRobotJointAngles(NAMES, [0.0, np.nan, 1.0])
    assert str(e.value) == "non-finite joint angle(s): [ 0. nan  1.]"
    np.testing.assert_array_equal(cell.joint_values(), before)

    with pytest.raises(ValueError, match="^cannot find joint Jx$"):
        Q.SetRobotJointAngles(["J1", "Jx", "J3"], [1.0, 2.0, 3.0])
    assert cell.joint_values()[0] == 1.0  # the joints before the missing one moved
    with pytest.raises(ValueError, match="^cannot find joint Jx$"):
        Q.RetrieveJointAnglesAtConfig(["J1", "Jx"])


def test_home_screws_reproduce_the_designs_motion():
    cell = small_arm()
    start = cell.joint_values()
    sp, M = Q.RetrieveScrewAtHomeConfig(NAMES, "Base", "Tool")
    np.testing.assert_array_equal(cell.joint_values(), start)
    assert sp.shape == (6, 3)

    cell.set_joint_values([0, 0, 0])
    sp0, M0 = Q.RetrieveScrewAtHomeConfig(NAMES, "Base", "Tool")
    np.testing.assert_allclose(sp, sp0, atol=1e-12)
    np.testing.assert_allclose(M, M0, atol=1e-12)

    base = world("Base")
    rng = np.random.default_rng(4)
    for _ in range(5):
        q = rng.uniform(-1.5, 1.5, 3)
        cell.set_joint_values(q)
        np.testing.assert_allclose(base @ fk(sp, q, M), world("Tool"), atol=1e-9)


def test_home_screws_missing_or_unsupported_joint():
    cell = small_arm()
    start = cell.joint_values()
    # The joints are read before anything moves, so a missing one stops the call there.
    with pytest.raises(ValueError, match="^cannot find joint Nope$"):
        Q.RetrieveScrewAtHomeConfig(["J1", "Nope", "J3"], "Base", "Tool")
    np.testing.assert_array_equal(cell.joint_values(), start)
    # A cylindrical joint has no screw: the error comes after the arm was zeroed.
    with pytest.raises(ValueError, match="6 entries"):
        Q.RetrieveScrewAtHomeConfig(["J3", "Cyl"], "Base", "Tool")
    assert cell.joint_values()[2] == 0.0


def test_waypoints_solve_from_the_current_pose():
    target_q = np.array([0.4, -0.5, 0.9])
    cell = small_arm()
    cell.set_joint_values(target_q)
    goal = world("Tool")
    cell = small_arm(goal)  # the goal now sits where the tool was at target_q
    start = cell.joint_values()
    sp, M = Q.RetrieveScrewAtHomeConfig(NAMES, "Base", "Tool")
    APP.reset()
    APP.set_active_product(cell.design)

    wp = Q.SolveWaypointJointAngles(NAMES, "Base", ["Goal", "Goal"], sp, M)
    assert wp.shape == (4, 3)
    np.testing.assert_array_equal(wp[0], start)
    np.testing.assert_array_equal(wp[-1], start)
    np.testing.assert_array_equal(wp[1], wp[2])  # both solved from the same seed
    np.testing.assert_allclose(world("Base") @ fk(sp, wp[1], M), goal, atol=1e-2)
    line = "[TALV] IK waypoint Goal -> theta(deg)=" + np.array2string(np.rad2deg(wp[1]), precision=3)
    assert APP.log_lines == [line, line]
    np.testing.assert_array_equal(cell.joint_values(), start)
