"""Tasks in tool poses: the offline IK (Tovik), cellpath-task, straight tool moves taken
as given by the planner, the planner's budgets and retries, and cellpath-urdf's tool
frame and narrowed limits."""
import json

import numpy as np
import pytest

import Brimwell
import Tovik
import cellpath_task
from cellpath_task import TaskError, plan_task
from cellpath_task.targets import rpy_matrix
from cellpath_urdf import UrdfImportError, urdf_to_cache
from test_urdf import ARM, JOINTS, box_stl, write

# A pose of the synthetic arm away from the wall, and a blocked pair of waypoints
# on either side of it (their straight joint-space edge runs through the wall).
Q_FREE = np.array([0.3, -0.5, 0.9, 0.4, 0.7, 0.2])
FAR = (("far", (3.0, 3.0, 0.0), (3.1, 3.1, 0.1)),)  # an environment out of reach
AROUND_WALL = np.array([[-1.3, 1.2, 0, 0, 0, 0], [1.3, 1.2, 0, 0, 0, 0]])


def quiet(*_a, **_k):
    pass


def tool_pose(cache, q, tool=np.eye(4)):
    return cache.link_transforms(q)[-1] @ tool


def rotation_angle(A, B):
    return float(np.arccos(np.clip((np.trace(A[:3, :3].T @ B[:3, :3]) - 1) / 2, -1, 1)))


# --------------------------------------------------------------------------- IK

def test_ik_reaches_poses_and_keeps_the_nearest_solution(make_cache):
    cache = make_cache(env=FAR)
    rng = np.random.default_rng(3)
    for _ in range(5):
        q = rng.uniform(-2.5, 2.5, 6)
        start = q + rng.normal(0, 0.1, 6)
        res = plan_task(cache.path, np.clip(start, -np.pi, np.pi), [tool_pose(cache, q)], write=False, say=quiet)
        got = tool_pose(cache, res.waypoints[1])
        assert np.linalg.norm(got[:3, 3] - tool_pose(cache, q)[:3, 3]) < 1e-4
        assert rotation_angle(got, tool_pose(cache, q)) < 1e-3
        assert res.reports[0].restarts >= 1

    # The same pose is reached by several arms (flipped shoulder, elbow and wrist);
    # whichever the restarts find first, the one nearest the previous waypoint wins.
    target = tool_pose(cache, Q_FREE)
    seeds = np.random.default_rng(0).uniform(-np.pi, np.pi, (64, 6))
    qs, _, _, ok = Tovik.solve_tool_pose(cache.screws_world, cache.link_transforms(np.zeros(6))[-1], target, seeds,
                                         np.tile([-np.pi, np.pi], (6, 1)))
    sols = []
    for q in qs[ok]:
        if all(np.max(np.abs(q - s)) > 1e-3 for s in sols):
            sols.append(q)
    assert len(sols) >= 3
    for q in sols:
        res = plan_task(cache.path, q + 0.03, [target], write=False, say=quiet)
        assert np.max(np.abs(res.waypoints[1] - q)) < 1e-3


def test_unreachable_and_colliding_targets_are_named_and_nothing_is_written(make_cache):
    cache = make_cache()
    wp = cache.path / "WaypointJointAngles.npy"
    with pytest.raises(TaskError, match=r"target 2 cannot be reached: best error [\d.]+ mm"):
        plan_task(cache.path, np.zeros(6), [tool_pose(cache, Q_FREE), _translation(3, 0, 0)], say=quiet)
    # Bent over beyond the wall: every arm reaching that pose passes through it.
    beyond = tool_pose(cache, np.array([0.0, np.pi / 2 - 0.3, 0.3, 0.0, 0.3, 0.0]))
    with pytest.raises(TaskError, match=r"target 1 is reachable only in collision .*link '\w+'.*obstacle 'wall'"):
        plan_task(cache.path, np.zeros(6), [beyond], say=quiet)
    assert not wp.exists()
    with pytest.raises(TaskError, match="the start .* is in collision"):
        plan_task(cache.path, [0.0, np.pi / 2, 0, 0, 0, 0], [tool_pose(cache, Q_FREE)], say=quiet)


def _translation(x, y, z):
    T = np.eye(4)
    T[:3, 3] = (x, y, z)
    return T


def test_tool_transform_is_the_target_frame(make_cache):
    cache = make_cache(env=FAR)
    tool = np.eye(4)
    tool[:3, :3] = rpy_matrix(0.3, -0.2, 0.1)
    tool[:3, 3] = (0.02, -0.01, 0.12)
    np.save(cache.path / "ToolTransform.npy", tool)
    target = tool_pose(cache, Q_FREE, tool)
    res = plan_task(cache.path, Q_FREE + 0.1, [target], write=False, say=quiet)
    assert np.linalg.norm(tool_pose(cache, res.waypoints[1], tool)[:3, 3] - target[:3, 3]) < 1e-4
    np.save(cache.path / "ToolTransform.npy", np.eye(3))
    with pytest.raises(TaskError, match="ToolTransform.npy must hold a finite"):
        plan_task(cache.path, Q_FREE, [target], say=quiet)


# --------------------------------------------------------------------------- straight moves

def test_straight_move_stays_on_the_line_and_the_planner_takes_it(make_cache, capsys):
    cache = make_cache()
    a = tool_pose(cache, Q_FREE)
    b = a.copy()
    b[:3, 3] += (-0.12, 0.06, -0.08)
    b[:3, :3] = a[:3, :3] @ rpy_matrix(0.2, 0, 0.3)
    res = plan_task(cache.path, np.zeros(6), [a, {"xyz": b[:3, 3].tolist(), "quat": _quat(b), "linear": True}],
                    say=quiet)
    rows = res.linear_segments["1->2"]
    with np.load(cache.path / "LinearSegments.npz", allow_pickle=False) as z:
        assert z.files == ["1->2"]
        np.testing.assert_array_equal(z["1->2"], rows)
    np.testing.assert_array_equal(rows[0], res.waypoints[1])
    np.testing.assert_array_equal(rows[-1], res.waypoints[2])
    assert np.max(np.abs(np.diff(rows, axis=0))) <= 0.05 + 1e-12
    # Independently of the solver's own probes: the tool along every joint-space edge.
    d = b[:3, 3] - a[:3, 3]
    worst = 0.0
    for r in range(1, len(rows)):
        for f in np.linspace(0, 1, 9):
            p = tool_pose(cache, rows[r - 1] + f * (rows[r] - rows[r - 1]))[:3, 3]
            u = np.clip(np.dot(p - a[:3, 3], d) / np.dot(d, d), 0, 1)
            worst = max(worst, np.linalg.norm(p - a[:3, 3] - u * d))
    assert worst < 1e-3 and res.reports[1].deviation <= worst + 2e-6  # the line starts at target 1 as solved
    assert rotation_angle(tool_pose(cache, rows[-1]), b) < 1e-3

    traj = Brimwell.ProvideRRTPlan(cache.path)
    out = capsys.readouterr().out
    assert "Segment 1->2: straight tool move taken from LinearSegments.npz, " in out
    at = [int(np.argmin(np.abs(traj - r).max(axis=1))) for r in rows]   # every row, in order
    assert max(np.abs(traj[i] - r).max() for i, r in zip(at, rows)) < 1e-12
    assert at == sorted(at) and len(set(at)) == len(rows)

    # A tighter line: more rows, and still within it.
    rows2, dev2, _ = Tovik.straight_move(cache.screws_world, cache.link_transforms(np.zeros(6))[-1], rows[0], b,
                                         np.tile([-np.pi, np.pi], (6, 1)), max_deviation=2e-5)
    assert len(rows2) > len(rows) and dev2 <= 2e-5
    # A line through the wall is refused by name.
    through = a.copy()
    through[:3, 3] = (0.8, 0.0, 0.5)
    with pytest.raises(TaskError, match="target 2: the straight move (is blocked .*obstacle 'wall'|from the previous waypoint fails)"):
        plan_task(cache.path, np.zeros(6), [a, {"xyz": through[:3, 3].tolist(), "quat": _quat(a), "linear": True}],
                  say=quiet)


def _quat(T):
    R = T[:3, :3]
    w = np.sqrt(max(0.0, 1 + np.trace(R))) / 2
    return [w, (R[2, 1] - R[1, 2]) / (4 * w), (R[0, 2] - R[2, 0]) / (4 * w), (R[1, 0] - R[0, 1]) / (4 * w)]


def test_given_segments_are_checked(make_cache):
    cache = make_cache(waypoints=np.vstack([AROUND_WALL, AROUND_WALL[:1]]))
    seg = cache.path / "LinearSegments.npz"
    np.savez(seg, **{"0->2": AROUND_WALL})
    with pytest.raises(ValueError, match="'0->2' names no segment"):
        Brimwell.ProvideRRTPlan(cache.path)
    np.savez(seg, **{"0->1": AROUND_WALL[::-1]})
    with pytest.raises(ValueError, match="does not start and end at waypoints 0 and 1"):
        Brimwell.ProvideRRTPlan(cache.path)
    np.savez(seg, **{"0->1": AROUND_WALL})   # straight through the wall
    with pytest.raises(RuntimeError, match="blocked"):
        Brimwell.ProvideRRTPlan(cache.path, planner="auto")
    seg.unlink()
    assert Brimwell.ProvideRRTPlan(cache.path, planner="auto").shape[1] == 6


# --------------------------------------------------------------------------- budgets

def test_budget_makes_a_failing_segment_succeed_reproducibly(make_cache, capsys):
    cache = make_cache(waypoints=np.vstack([AROUND_WALL, AROUND_WALL[:1]]))
    with pytest.raises(RuntimeError):
        Brimwell.ProvideRRTPlan(cache.path, planner="connect", max_iters=3)
    out = capsys.readouterr().out
    assert "Segment 0->1: RRT-Connect found no path (3 iterations)" in out and "found a path" not in out
    runs = [Brimwell.ProvideRRTPlan(cache.path, planner="connect", max_iters=3, time_limit=30, seed=s)
            for s in (5, 5, 6)]
    out = capsys.readouterr().out
    assert "trying again with more" in out and "(RRT-Connect, attempt " in out
    np.testing.assert_array_equal(runs[0], runs[1])
    assert runs[0].shape != runs[2].shape or not np.array_equal(runs[0], runs[2])
    # auto retries under its default time limit; a time limit too short to retry says so.
    Brimwell.ProvideRRTPlan(cache.path, planner="auto", max_iters=3)
    with pytest.raises(RuntimeError):
        Brimwell.ProvideRRTPlan(cache.path, planner="auto", max_iters=3, time_limit=1e-9)
    assert "neither RRT* (3 iterations) nor RRT-Connect (3 iterations, time limit 0.00s reached) found a path" \
        in capsys.readouterr().out
    for bad in (dict(max_iters=0), dict(max_iters=True), dict(max_iters=2.5), dict(time_limit=-1),
                dict(time_limit=float("nan")), dict(time_limit=True)):
        with pytest.raises(ValueError):
            Brimwell.ProvideRRTPlan(cache.path, **bad)
    assert Brimwell.AUTO_TIME_LIMIT > 0 and Brimwell.RETRY_GROWTH > 1


def test_command_line_budget_options(make_cache, capsys):
    cache = make_cache(waypoints=np.vstack([AROUND_WALL, AROUND_WALL[:1]]))
    Brimwell.main(["--cache-dir", str(cache.path), "--planner", "connect", "--max-iters", "3",
                   "--time-limit", "20"])
    assert "attempt" in capsys.readouterr().out
    for bad in (["--max-iters", "0"], ["--time-limit", "-2"]):
        with pytest.raises(SystemExit):
            Brimwell.main(["--cache-dir", str(cache.path)] + bad)


# --------------------------------------------------------------------------- the command

def test_command_line_and_targets_file(make_cache, tmp_path, capsys):
    cache = make_cache()
    a = tool_pose(cache, Q_FREE)
    six = ",".join(f"{v:.12f}" for v in (*a[:3, 3], *_rpy(a)))
    assert cellpath_task.main([str(cache.path), "--start=0,0,0,0,0,0", f"--target={six}"]) == 0
    out = capsys.readouterr().out
    assert out.startswith("target 1: [") and " mm, " in out and "restarts" in out
    wp = np.load(cache.path / "WaypointJointAngles.npy")
    assert wp.shape == (3, 6) and np.array_equal(wp[0], wp[-1])

    f = tmp_path / "task.json"
    f.write_text(json.dumps({"targets": [{"xyz": a[:3, 3].tolist(), "rpy": _rpy(a), "tolerance": [1e-3, 1e-2]}]}))
    assert cellpath_task.main([str(cache.path), "--start=0,0,0,0,0,0", "--targets", str(f)]) == 0
    for doc, msg in (({"targets": [], "x": 1}, "unknown key 'x'"),
                     ({"targets": [{"xyz": [0, 0, 1], "rpy": [0, 0, 0], "speed": 1}]}, "unknown key 'speed'"),
                     ({"targets": [{"xyz": [0, 0, 1]}]}, "exactly one of 'rpy' and 'quat'"),
                     ({"targets": [{"xyz": [0, 0, "a"], "rpy": [0, 0, 0]}]}, "'xyz' must be 3 numbers")):
        f.write_text(json.dumps(doc))
        assert cellpath_task.main([str(cache.path), "--start=0,0,0,0,0,0", "--targets", str(f)]) == 1
        err = capsys.readouterr().err
        assert err.startswith("cellpath-task: error: ") and msg in err
    assert cellpath_task.main([str(cache.path), "--start=0,0", f"--target={six}"]) == 1
    assert "6 finite joint values" in capsys.readouterr().err
    assert cellpath_task.main([str(cache.path), "--start=0,0,0,0,0,0", "--targets", str(f), f"--target={six}"]) == 1


def _rpy(T):
    R = T[:3, :3]
    return [float(np.arctan2(R[2, 1], R[2, 2])), float(np.arcsin(-R[2, 0])), float(np.arctan2(R[1, 0], R[0, 0]))]


def test_clearance_keeps_solutions_away_from_the_wall(make_cache):
    cache = make_cache()
    try:
        Brimwell.PlanningContext(cache.path, clearance=0.05)
    except TypeError:
        pytest.skip("this planner takes no clearance yet")
    # Leaning towards the wall: 2 cm clear, not 15 cm.
    target = tool_pose(cache, np.array([0.0, 0.3, 0.0, 0.0, 0.0, 0.0]))
    plan_task(cache.path, np.zeros(6), [target], clearance=0.02, write=False, say=quiet)
    with pytest.raises(TaskError, match="reachable only in collision.*clearance of 0.15 m"):
        plan_task(cache.path, np.zeros(6), [target], clearance=0.15, write=False, say=quiet)


# --------------------------------------------------------------------------- cellpath-urdf

def test_urdf_tool_frame_and_narrowed_limits(tmp_path):
    urdf = write(tmp_path / "toy.urdf", ARM)
    wall = box_stl(tmp_path / "env" / "wall.stl")
    out = urdf_to_cache(urdf, tmp_path / "plain", JOINTS, env=[wall])
    assert not (out / "ToolTransform.npy").exists()
    out = urdf_to_cache(urdf, tmp_path / "tool", JOINTS, env=[wall], tool="l3",
                        tool_offset=(0, 0, 0.1, 0, 0, np.pi / 2), limits={"j1": (-1.0, 1.5)})
    T = np.load(out / "ToolTransform.npy", allow_pickle=False)
    expected = np.eye(4)
    expected[:3, :3] = rpy_matrix(0, 0, np.pi / 2)
    expected[2, 3] = 0.1
    np.testing.assert_allclose(T, expected, atol=1e-15)
    np.testing.assert_array_equal(np.load(out / "JointLimits.npy")[0], [-1.0, 1.5])
    # The cache's own files do not stop it being replaced.
    urdf_to_cache(urdf, out, JOINTS, env=[wall], tool="l3")
    for kw, msg in ((dict(tool="cap"), "does not move with the last arm link 'l3'"),
                    (dict(tool="nope"), "tool frame 'nope' is not a link"),
                    (dict(limits={"j1": (-3.0, 1.0)}), "does not narrow"),
                    (dict(limits={"cap": (0.0, 1.0)}), "not an arm joint"),
                    (dict(limits={"j2": (1.0, 0.0)}), "the lower first")):
        with pytest.raises(UrdfImportError, match=msg):
            urdf_to_cache(urdf, tmp_path / "bad", JOINTS, **kw)
        assert not (tmp_path / "bad").exists()

    from cellpath_urdf import main
    assert main([str(urdf), str(tmp_path / "cli"), "--joints", ",".join(JOINTS), "--tool", "l3",
                 "--tool-offset=0,0,0.05,0,0,0", "--limit=j2=-3:3"]) == 0
    np.testing.assert_array_equal(np.load(tmp_path / "cli" / "JointLimits.npy")[1], [-3.0, 3.0])
    with pytest.raises(SystemExit):
        main([str(urdf), str(tmp_path / "cli2"), "--joints", ",".join(JOINTS), "--limit", "j2"])
