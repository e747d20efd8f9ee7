"""IK the user can steer: a free tool axis, a bound per tool axis, 'near', a margin from the
joint limits; orientations read in the order they were written; bad IK input refused fast;
negative numbers on the command line; the cache named either way."""
import math
import time

import numpy as np
import pytest

import Tovik
import cellpath_task
from cellpath_task import TaskError, plan_task
from cellpath_task.targets import quat_matrix, rpy_matrix, target_from_dict
from test_task import FAR, Q_FREE, quiet, tool_pose

LIMITS = np.tile([-np.pi, np.pi], (6, 1))


def _rz(a):
    T = np.eye(4)
    T[:2, :2] = [[math.cos(a), -math.sin(a)], [math.sin(a), math.cos(a)]]
    return T


def _body_rotation(A, B):
    """The rotation vector of A^T B about A's own axes."""
    from scipy.spatial.transform import Rotation
    return Rotation.from_matrix(A[:3, :3].T @ B[:3, :3]).as_rotvec()


def _solve(cache, target, seed, **kw):
    home = cache.link_transforms(np.zeros(6))[-1]
    qs, ep, er, ok = Tovik.solve_tool_pose(cache.screws_world, home, target, np.atleast_2d(seed), LIMITS, **kw)
    return qs[0], ep[0], er[0], ok[0]


def test_free_axis_and_per_axis_tolerance_leave_the_wrist_where_it_was(make_cache):
    cache = make_cache(env=FAR)
    reached = tool_pose(cache, Q_FREE)
    turned = reached @ _rz(2.0)  # the same tool axis, turned 2 rad about it

    # Pinned, the solver must turn the wrist; with z free the seed already answers.
    q, _, _, ok = _solve(cache, turned, Q_FREE)
    assert ok and np.max(np.abs(q - Q_FREE)) > 1.0
    q, ep, er, ok = _solve(cache, turned, Q_FREE, free_axis="z")
    assert ok and np.max(np.abs(q - Q_FREE)) < 1e-9 and ep < 1e-9 and er < 1e-9
    # Free z from elsewhere: the tool's z axis and point are the target's, its yaw anything.
    q, ep, er, ok = _solve(cache, turned, Q_FREE + 0.2, free_axis=2)
    got = tool_pose(cache, q)
    assert ok and np.linalg.norm(got[:3, 3] - turned[:3, 3]) < 1e-4
    assert np.degrees(np.arccos(np.clip(got[:3, 2] @ turned[:3, 2], -1, 1))) < 0.06
    assert abs(_body_rotation(got, turned)[2]) > 0.1

    # A yaw of 0.3 rad within a bound of 0.5 needs no move; within 0.2 it is turned to
    # inside the band, no further.
    yawed = reached @ _rz(0.3)
    q, _, er, ok = _solve(cache, yawed, Q_FREE, tolerance=(1e-4, 1e-3, 1e-3, 0.5))
    assert ok and np.max(np.abs(q - Q_FREE)) < 1e-9 and er == pytest.approx(0.3)
    q, _, _, ok = _solve(cache, yawed, Q_FREE, tolerance=(1e-4, 1e-3, 1e-3, 0.2))
    left = _body_rotation(tool_pose(cache, q), yawed)
    assert ok and 0.1 < abs(left[2]) <= 0.2 and np.all(np.abs(left[:2]) <= 1e-3)


@pytest.mark.parametrize("kw, match", [
    ({"target": np.diag([2.0, 1, 1, 1])}, "rigid"),
    ({"target": np.diag([1.0, 1, -1, 1])}, "rigid"),
    ({"max_iters": 10**9}, "max_iters"),
    ({"free_axis": "w"}, "free_axis"),
    ({"free_axis": True}, "free_axis"),
    ({"free_axis": "z", "tolerance": (1e-4, 1e-3, 1e-3, 1e-3)}, "not both"),
    ({"tolerance": (1e-4, 1e-3, 1e-3)}, "tolerance"),
    ({"tolerance": (1e-4, 0.0, 1e-3, 1e-3)}, "tolerance"),
])
def test_bad_ik_input_is_refused(make_cache, kw, match):
    cache = make_cache(env=())
    args = {"target": tool_pose(cache, Q_FREE), **kw}
    target = args.pop("target")
    with pytest.raises(ValueError, match=match):
        _solve(cache, target, Q_FREE, **args)


def test_far_off_and_integer_inputs_end_promptly(make_cache):
    cache = make_cache(env=())
    home = cache.link_transforms(np.zeros(6))[-1]
    target = tool_pose(cache, Q_FREE)
    wide = np.tile([-1e18, 1e18], (6, 1))
    rng = np.random.default_rng(1)
    t0 = time.perf_counter()
    for near in (np.full(6, 1e17), np.full(6, -1e300), np.array([1e17, 0, 0, 0, 0, 0])):
        Tovik.solve_tool_pose(cache.screws_world, home, target, Q_FREE[None], LIMITS, near=near)
        Tovik.solve_tool_pose(cache.screws_world, home, target, np.full((1, 6), 10**17), wide, near=near)
    # Integer arrays of odd shapes and sizes: an answer or a Python error, never a hang.
    for _ in range(200):
        shape = tuple(rng.integers(0, 8, size=rng.integers(1, 3)))
        args = [cache.screws_world.astype(int), np.eye(4, dtype=int), np.eye(4, dtype=int),
                rng.integers(-10**18, 10**18, size=shape), LIMITS.astype(int)]
        k = int(rng.integers(0, 5))
        args[k] = rng.integers(-10**18, 10**18, size=shape)
        try:
            Tovik.solve_tool_pose(*args, near=None if rng.random() < 0.5 else rng.integers(-10**18, 10**18, 6))
        except (ValueError, TypeError, IndexError):
            pass
    assert time.perf_counter() - t0 < 10.0


def test_orientation_keys_read_in_their_own_order_and_units():
    R = rpy_matrix(0.3, -0.4, 2.0)
    from scipy.spatial.transform import Rotation
    x, y, z, w = Rotation.from_matrix(R).as_quat()
    base = {"xyz": [0.1, -0.2, 0.3]}
    for entry in ({"rpy": [0.3, -0.4, 2.0]}, {"rpy_deg": list(np.degrees([0.3, -0.4, 2.0]))},
                  {"quat": [w, x, y, z]}, {"quat_wxyz": [w, x, y, z]}, {"quat_xyzw": [x, y, z, w]}):
        T = target_from_dict({**base, **entry}, 1).pose
        assert np.allclose(T[:3, :3], R, atol=1e-12) and np.allclose(T[:3, 3], base["xyz"])
    # The ROS order read as w, x, y, z would be another rotation altogether.
    assert not np.allclose(quat_matrix(x, y, z, w), R, atol=1e-3)

    for entry, match in (({"rpy": [180, 0, 0]}, r"180 is beyond 2 pi.*'rpy_deg'"),
                         ({"quat": [1.0, 0, 0, 3e-3]}, r"length 1\.0000045, not 1"),
                         ({"quat_xyzw": [0.7071, 0, 0.7071, 0]}, "not 1: give a unit quaternion"),
                         ({"quat_wxyz": [1e200, 1e200, 0, 0]}, "not 1"),
                         ({"quat": [0, 0, 0, 0]}, "must not be zero"),
                         ({"rpy": [0, 0, 0], "quat_xyzw": [0, 0, 0, 1]}, "exactly one of 'rpy', 'rpy_deg'"),
                         ({"rpy": [0, 0, 0], "free_axis": "q"}, "'free_axis' must be one of"),
                         ({"rpy": [0, 0, 0], "free_axis": "z", "linear": True}, "straight move"),
                         ({"rpy": [0, 0, 0], "near": "home"}, "'near' must be a joint vector")):
        with pytest.raises(TaskError, match=match):
            target_from_dict({**base, **entry}, 1)


def test_near_and_limit_margin_choose_among_solutions(make_cache):
    # Wrist 4's upper limit exactly at Q_FREE's value: the nearest solution sits on it.
    limits = np.tile([-np.pi, np.pi], (6, 1))
    limits[4, 1] = Q_FREE[4]
    cache = make_cache(env=FAR, limits=limits)
    target = tool_pose(cache, Q_FREE)
    res = plan_task(cache.path, Q_FREE - 0.02, [target], write=False, say=quiet)
    assert np.max(np.abs(res.waypoints[1] - Q_FREE)) < 1e-3
    lines = []
    res = plan_task(cache.path, Q_FREE - 0.02, [target], write=False, say=lines.append, limit_margin=0.1)
    q = res.waypoints[1]
    assert np.all(q - limits[:, 0] >= 0.1) and np.all(limits[:, 1] - q >= 0.1)
    assert np.linalg.norm(tool_pose(cache, q)[:3, 3] - target[:3, 3]) < 1e-4
    assert "keeps" not in lines[0]
    # 'near' picks that other solution too, without a margin.
    res2 = plan_task(cache.path, Q_FREE - 0.02, [{"xyz": list(target[:3, 3]), "quat": _wxyz(target),
                                                 "near": list(q)}], write=False, say=quiet)
    assert np.max(np.abs(res2.waypoints[1] - q)) < 1e-3
    # A margin nothing keeps: the best solution still, and said so.
    lines = []
    plan_task(cache.path, Q_FREE - 0.02, [target], write=False, say=lines.append, limit_margin=3.0)
    assert "no solution keeps 3 from the joint limits" in lines[0]
    with pytest.raises(TaskError, match="limit margin"):
        plan_task(cache.path, Q_FREE, [target], write=False, say=quiet, limit_margin=-1)


def _wxyz(T):
    from scipy.spatial.transform import Rotation
    x, y, z, w = Rotation.from_matrix(T[:3, :3]).as_quat()
    return [w, x, y, z]


def test_command_line_takes_negative_vectors_and_the_cache_either_way(make_cache, tmp_path, capsys):
    cache = make_cache(env=FAR)
    a = tool_pose(cache, -Q_FREE)
    from scipy.spatial.transform import Rotation
    six = ",".join(f"{v:.12f}" for v in (*a[:3, 3], *Rotation.from_matrix(a[:3, :3]).as_euler("xyz")))
    assert six.startswith("-")
    start = ",".join(str(v) for v in -Q_FREE - 0.01)
    assert cellpath_task.main(["--cache-dir", str(cache.path), "--start", start, "--target", six,
                               "--free-axis", "z", "--limit-margin", "0.01"]) == 0
    wp = np.load(cache.path / "WaypointJointAngles.npy")
    assert np.allclose(tool_pose(cache, wp[1])[:3, 3], a[:3, 3], atol=1e-4)

    from cellpath_cli import task
    from cellpath_cli.render import main as render
    capsys.readouterr()
    assert task([str(cache.path), "--cache-dir", str(tmp_path), "--start", start, "--target", six]) == 1
    assert task(["--start", start, "--target", six]) == 1
    assert render([str(tmp_path / "none"), "--cache-dir", str(tmp_path)]) == 1
    err = capsys.readouterr().err.splitlines()
    assert len(err) == 3 and "the cache is given twice" in err[0] and "no cache: give it as CACHE or --cache-dir" in err[1]
    assert render(["--cache-dir", str(tmp_path / "none")]) == 1
    assert "--cache-dir" in capsys.readouterr().err
