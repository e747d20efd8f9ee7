"""Smoke test of the demo pipeline: capture, plan, verify, add-in run and pictures
on the sample workcell, with a short animation."""
import pathlib
import sys

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "examples"))

import demo  # noqa: E402


def test_demo_runs_end_to_end(tmp_path, capsys):
    result = demo.run_demo(tmp_path / "out", tmp_path / "cache", gif_frames=4)
    out = capsys.readouterr().out
    assert result["ok"], out
    traj = result["trajectory"]
    saved = np.load(tmp_path / "cache" / "JointAnglesToTravelAlong.npy")
    np.testing.assert_array_equal(traj, saved)
    waypoints = np.load(tmp_path / "cache" / "WaypointJointAngles.npy")
    np.testing.assert_array_equal(traj[0], waypoints[0])
    np.testing.assert_allclose(traj[-1], waypoints[-1], atol=1e-12)
    assert result["segments"] == 57
    for name in ("workcell.png", "joint_angles.png", "animation.gif", "plan.html"):
        path = tmp_path / "out" / name
        assert path.stat().st_size > 1000, name
    # the user is told where every file is and how long each stage took
    assert str(tmp_path / "out" / "animation.gif") in out
    assert out.count(" s  ") >= 6 and "Trajectory verified: yes" in out
    # the planner's own lines are there, unchanged
    assert "All waypoints validated (within limits, collision-free)." in out
