"""Joint names kept from the import, cellpath-urdf's account of what it did, and
cellpath-export's documents read back: CSV, JSON and a ROS JointTrajectory in YAML."""
import json

import numpy as np
import pytest
import yaml

import Brimwell
from cellpath_cli.export import export, joint_names
from cellpath_cli.export import main as export_main
from cellpath_urdf import main as urdf_main
from test_urdf import ARM, write

NAMES = ["shoulder", "elbow", "wrist_a", "wrist_b", "wrist_c", "flange"]


@pytest.fixture
def timed_cache(make_cache):
    cache = make_cache(env=())
    path = np.array([[0.0] * 6, [0.4, -0.3, 0.2, 0.1, 0.0, -0.2], [0.5, -0.1, 0.6, 0.3, 0.2, 0.1]])
    np.save(cache.path / "JointAnglesToTravelAlong.npy", path)
    t, q, qd, qdd = Brimwell.time_parameterize(path, 1.0, 2.0, dt=0.05)
    np.savez(cache.path / "TimedTrajectory.npz", t=t, q=q, qd=qd, qdd=qdd)
    (cache.path / "JointNames.json").write_text(json.dumps(NAMES))
    return cache.path, (t, q, qd, qdd)


def test_exports_read_back_to_the_arrays(timed_cache, tmp_path, capsys):
    cache, (t, q, qd, qdd) = timed_cache
    out = tmp_path / "traj.yaml"
    assert export_main([str(cache), "--format", "ros-yaml", "--out", str(out)]) == 0
    assert capsys.readouterr().out == f"wrote {out} (ros-yaml)\n"
    msg = yaml.safe_load(out.read_text())
    assert list(msg) == ["header", "joint_names", "points"] and msg["joint_names"] == NAMES
    assert len(msg["points"]) == len(t)
    for p, ti, qi, qdi, qddi in zip(msg["points"], t, q, qd, qdd):
        assert sorted(p) == ["accelerations", "effort", "positions", "time_from_start", "velocities"]
        assert p["positions"] == list(qi) and p["velocities"] == list(qdi) and p["accelerations"] == list(qddi)
        stamp = p["time_from_start"]
        assert 0 <= stamp["nanosec"] < 10**9 and abs(stamp["sec"] + stamp["nanosec"] * 1e-9 - ti) < 1e-9

    doc = json.loads(export(cache, "json"))
    assert doc["joint_names"] == NAMES and doc["t"] == list(t)
    assert np.array_equal(doc["positions"], q) and np.array_equal(doc["accelerations"], qdd)

    assert export_main(["--cache-dir", str(cache)]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0] == "t," + ",".join(NAMES) + "," + ",".join(f"{n}.velocity" for n in NAMES) + "," \
        + ",".join(f"{n}.acceleration" for n in NAMES)
    table = np.loadtxt(lines[1:], delimiter=",")
    assert np.array_equal(table, np.column_stack([t, q, qd, qdd]))


def test_untimed_unnamed_and_mismatched_caches(timed_cache, capsys):
    cache, _ = timed_cache
    # Timed from another plan: refused rather than exported beside the wrong rows.
    np.save(cache / "JointAnglesToTravelAlong.npy", np.zeros((2, 6)) + 0.1)
    assert export_main([str(cache), "--format", "json"]) == 1
    assert "timed from another plan" in capsys.readouterr().err
    # No timing: positions only, and no ROS message (it needs times).
    (cache / "TimedTrajectory.npz").unlink()
    (cache / "JointNames.json").unlink()
    assert joint_names(cache, 6) == [f"q{j}" for j in range(1, 7)]
    text = export(cache, "csv").splitlines()
    assert text[0] == "q1,q2,q3,q4,q5,q6" and len(text) == 3
    assert export_main([str(cache), "--format", "ros-yaml"]) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "Brimwell --timed --max-acceleration A writes one" in err
    (cache / "JointNames.json").write_text('["a", "a", "b", "c", "d", "e"]')
    with pytest.raises(ValueError, match="6 distinct joint names"):
        export(cache, "csv")


def test_urdf_import_says_what_it_did_and_warns_of_held_joints(tmp_path, capsys):
    urdf = write(tmp_path / "toy.urdf", ARM)
    assert urdf_main([str(urdf), str(tmp_path / "c"), "--joints", "j1,j2,slide", "--base", "-0.3,0,0.4,0,0,1",
                      "--limit", "j1=-1:1"]) == 0
    out = capsys.readouterr().out.splitlines()
    assert out[2].startswith("chain, base to tip")
    assert out[3].split() == ["1.", "j1", "revolute", "[", "-1.0000,", "1.0000]", "base", "->", "l1",
                              "(narrowed", "by", "--limit)"]
    assert out[4].split()[:3] == ["2.", "j2", "continuous"] and "-inf" in out[4]
    assert out[6] == "tool frame: l3's own frame (no --tool)" and len(out) == 7
    assert json.loads((tmp_path / "c" / "JointNames.json").read_text()) == ["j1", "j2", "slide"]

    # Leaving the slide out: it lies between the last arm link and the tool, and the flap
    # hangs on that link too; both are held at 0, and said so (the mimic follower is not).
    assert urdf_main([str(urdf), str(tmp_path / "d"), "--joints", "j1,j2", "--tool", "l3",
                      "--tool-offset", "0,0,0.1,0,0,0"]) == 0
    out = capsys.readouterr().out.splitlines()
    assert out[5].startswith("tool frame: l3 moved by --tool-offset; in l2's frame at xyz (")
    warnings = [line for line in out if line.startswith("warning:")]
    assert len(warnings) == 2
    assert any("'slide' (prismatic) between the last arm link and the tool frame" in w for w in warnings)
    assert any("'flap' (revolute) on the last arm link 'l2'" in w for w in warnings)


def test_planner_plans_many_tasks_in_memory_on_one_context(make_cache, tmp_path, monkeypatch):
    from cellpath_task import Planner, TaskError
    from test_task import FAR, Q_FREE, tool_pose

    cache = make_cache(env=FAR)
    (cache.path / "JointNames.json").write_text(json.dumps(NAMES))
    planner = Planner(cache.path, max_velocity=1.0, max_acceleration=2.0, dt=0.05)
    before = {p.name: p.stat().st_mtime_ns for p in cache.path.iterdir()}
    built = []
    monkeypatch.setattr(Brimwell, "PlanningContext", lambda *a, **k: built.append(a))
    rng = np.random.default_rng(5)
    for seed in range(3):
        goal = Q_FREE + rng.normal(0, 0.3, 6)
        plan = planner.plan(np.zeros(6), [tool_pose(cache, goal), {"xyz": list(tool_pose(cache, Q_FREE)[:3, 3]),
                                                                   "rpy": [0.1, 0.2, 0.3], "free_axis": "z"}],
                            seed=seed)
        assert plan.joint_names == NAMES and plan.waypoints.shape == (4, 6)
        assert np.allclose(tool_pose(cache, plan.waypoints[1])[:3, 3], tool_pose(cache, goal)[:3, 3], atol=1e-4)
        assert np.array_equal(plan.rows[0], plan.waypoints[0]) and np.array_equal(plan.rows[-1], plan.waypoints[-1])
        steps = np.abs(np.diff(plan.rows, axis=0)).max()
        assert steps <= Brimwell.EDGE_RES + 1e-12 and all(planner.ctx.is_valid(r) for r in plan.rows)
        assert plan.proof["rows_checked"] == len(plan.rows) and len(plan.segments) == 3
        assert plan.t[0] == 0 and np.allclose(plan.q[-1], plan.rows[-1]) and np.abs(plan.qd).max() <= 1.0 + 1e-9
    assert built == [] and {p.name: p.stat().st_mtime_ns for p in cache.path.iterdir()} == before
    doc = json.loads(plan.export(tmp_path / "p.json", "json").read_text())
    assert doc["joint_names"] == NAMES and np.array_equal(doc["velocities"], plan.qd)
    with pytest.raises(TaskError, match="target 1 cannot be reached"):
        planner.plan(np.zeros(6), [{"xyz": [5.0, 0, 0], "rpy": [0, 0, 0]}])
