"""Brimwell.time_parameterize: timed trajectories that keep to the planned path."""
import contextlib
import io
import json

import numpy as np
import pytest

import Brimwell

AROUND = np.array([[-1.3, 1.2, 0.0, 0.0, 0.0, 0.0],
                   [1.3, 1.2, 0.0, 0.0, 0.0, 0.0],
                   [0.0, -0.5, 0.3, 0.0, 0.0, 0.0]])

# A joint path with three corners, one of them turning straight back.
CORNERS = np.array([[0.0, 0.0, 0.0],
                    [1.0, 0.0, 0.0],
                    [1.0, 0.5, 0.2],
                    [0.6, 0.5, 0.2],
                    [1.4, 0.5, 0.2]])


def off_path(points, corners):
    """Largest distance of any point from the polyline through `corners`."""
    a, b = corners[:-1], corners[1:]
    d = b - a
    rel = points[:, None, :] - a[None]
    s = np.clip((rel * d).sum(-1) / (d * d).sum(-1), 0.0, 1.0)
    gap = np.linalg.norm(rel - s[..., None] * d, axis=-1)
    return gap.min(axis=1).max()


def trapezoid_time(corners, vmax, amax):
    """Rest to rest on every straight piece, time-optimal: the baseline to meet."""
    total = 0.0
    for a, b in zip(corners[:-1], corners[1:]):
        d = np.abs(b - a)
        L = np.linalg.norm(d)
        u = d / L
        with np.errstate(divide="ignore"):
            v = np.min(np.broadcast_to(vmax, u.shape)[u > 0] / u[u > 0])
            acc = np.min(np.broadcast_to(amax, u.shape)[u > 0] / u[u > 0])
        total += L / v + v / acc if L >= v * v / acc else 2.0 * np.sqrt(L / acc)
    return total


@pytest.fixture(scope="module")
def planned(tmp_path_factory):
    import synthetic_cache
    cache = synthetic_cache.write_cache(tmp_path_factory.mktemp("timing") / "Cache", 6, waypoints=AROUND)
    with contextlib.redirect_stdout(io.StringIO()):
        path = Brimwell.ProvideRRTPlan(cache.path)
    return Brimwell.PlanningContext(cache.path), path


def test_planned_path_timed_from_rest_to_rest_on_the_path(planned):
    ctx, path = planned
    vmax = np.array([1.0, 0.8, 1.2, 2.0, 2.0, 3.0])
    t, q, qd, qdd = Brimwell.time_parameterize(path, vmax, 2.5, dt=0.01, ctx=ctx)
    assert t[0] == 0.0 and np.allclose(np.diff(t), 0.01, rtol=0, atol=1e-12)
    assert q.shape == qd.shape == qdd.shape == (len(t), 6)
    np.testing.assert_array_equal(q[0], path[0])
    np.testing.assert_array_equal(q[-1], path[-1])
    assert not qd[0].any() and not qd[-1].any() and not qdd[-1].any()
    assert off_path(q, path) < 1e-8
    assert all(ctx.is_valid(row) for row in q)
    assert np.all(np.abs(qd) <= vmax * (1 + 1e-9))
    assert np.all(np.abs(qdd) <= 2.5 * (1 + 1e-9))
    # Velocities are the derivative of the positions (up to the sampling).
    np.testing.assert_allclose(np.diff(q, axis=0) / 0.01, (qd[1:] + qd[:-1]) / 2, atol=0.03)


@pytest.mark.parametrize("vmax, amax", [(0.5, 1.0),                        # long cruises
                                        (10.0, 0.5),                       # triangles only
                                        ([0.3, 2.0, 1.0], [4.0, 0.2, 1.0])])  # one joint limits each
def test_no_slower_than_stopping_at_corners(vmax, amax):
    dense = Brimwell.densify(list(CORNERS), res=0.05)
    t, q, qd, qdd = Brimwell.time_parameterize(dense, vmax, amax, dt=0.005)
    best = trapezoid_time(CORNERS, vmax, amax)
    # Densified rows on an edge are no corners: no extra stops.
    assert best - 1e-9 <= t[-1] < best + 0.005
    assert off_path(q, CORNERS) < 1e-8
    assert np.all(np.abs(qd) <= np.asarray(vmax) * (1 + 1e-9))
    assert np.all(np.abs(qdd) <= np.asarray(amax) * (1 + 1e-9))
    # At each corner the arm is at rest: the speed drops to (almost) nothing.
    speed = np.linalg.norm(qd, axis=1)
    for corner in CORNERS[1:-1]:
        near = np.linalg.norm(q - corner, axis=1) < 1e-3
        assert near.any() and speed[near].min() < 0.05


def test_samples_match_the_closed_form_trapezoids():
    from numpy_timing import numpy_timing
    dense = Brimwell.densify(list(CORNERS), res=0.05)
    for vmax, amax, dt in ((0.5, 1.0, 0.01), ([0.3, 2.0, 1.0], [4.0, 0.2, 1.0], 0.003)):
        native = Brimwell.time_parameterize(dense, vmax, amax, dt=dt)
        reference = numpy_timing(dense, np.broadcast_to(vmax, 3), np.broadcast_to(amax, 3), dt)
        assert len(native[0]) == len(reference[0])
        for x, y in zip(native, reference):
            np.testing.assert_allclose(x, y, rtol=0, atol=1e-9)


def test_short_and_degenerate_paths():
    row = np.array([0.1, -0.2, 0.3])
    t, q, qd, qdd = Brimwell.time_parameterize(row[None], 1.0, 1.0)
    assert t.tolist() == [0.0] and q.tolist() == [row.tolist()] and not qd.any() and not qdd.any()
    t2, q2, *_ = Brimwell.time_parameterize(np.stack([row] * 4), 1.0, 1.0)
    assert t2.tolist() == [0.0] and np.array_equal(q2, row[None])
    # Repeated rows change nothing.
    doubled = np.repeat(CORNERS, 2, axis=0)
    a = Brimwell.time_parameterize(CORNERS, 1.0, 2.0)
    b = Brimwell.time_parameterize(doubled, 1.0, 2.0)
    for x, y in zip(a, b):
        np.testing.assert_allclose(x, y, atol=1e-12)
    # A motion that ends between two samples rests on the last row in the last one.
    t, q, qd, _ = Brimwell.time_parameterize(CORNERS[:2], 1.0, 1.0, dt=0.3)   # 2 s
    assert t[-1] == pytest.approx(2.1) and np.array_equal(q[-1], CORNERS[1]) and not qd[-1].any()


def test_bad_inputs_are_value_errors():
    good = CORNERS
    cases = [
        (np.zeros((0, 3)), 1.0, 1.0, {}, "path is empty"),
        (np.zeros(3), 1.0, 1.0, {}, r"path must be an \(N, n_joints\) array"),
        (np.where(good == 0.5, np.nan, good), 1.0, 1.0, {}, "path must be finite"),
        (good, 0.0, 1.0, {}, "max_velocity must be positive and finite"),
        (good, 1.0, -2.0, {}, "max_acceleration must be positive and finite"),
        (good, [1.0, np.nan, 1.0], 1.0, {}, "max_velocity must be positive and finite"),
        (good, np.inf, 1.0, {}, "max_velocity must be positive and finite"),
        (good, [1.0, 1.0], 1.0, {}, r"one per joint \(3\), got shape \(2,\)"),
        (good, 1.0, np.ones((3, 1)), {}, r"max_acceleration must be one value .* got shape \(3, 1\)"),
        (good, "fast", 1.0, {}, "max_velocity must be a number"),
        (good, 1.0, 1.0, {"dt": 0.0}, "dt must be positive and finite"),
        (good, 1.0, 1.0, {"dt": float("nan")}, "dt must be positive and finite"),
        (good, 1e-3, 1e-3, {"dt": 1e-6}, "use a larger dt"),
    ]
    for path, v, a, kw, match in cases:
        with pytest.raises(ValueError, match=match):
            Brimwell.time_parameterize(path, v, a, **kw)


def test_samples_the_context_rejects_are_reported():
    class Fussy:
        def is_valid(self, q):
            return q[1] < 0.25          # a numpy bool, as a numpy context gives

    with pytest.raises(RuntimeError, match=r"timed samples failed validation, e\.g\. indices \[\d+"):
        Brimwell.time_parameterize(CORNERS, 1.0, 1.0, ctx=Fussy())
    t, *_ = Brimwell.time_parameterize(CORNERS[:2], 1.0, 1.0, ctx=Fussy())
    assert len(t) > 1


TWO_JOINTS = """<?xml version="1.0"?>
<robot name="pair">
  <link name="base"><collision><geometry><box size="0.2 0.2 0.1"/></geometry></collision></link>
  <joint name="a" type="revolute"><parent link="base"/><child link="l1"/>
    <origin xyz="0 0 0.1"/><axis xyz="0 0 1"/><limit lower="-2" upper="2" effort="1" velocity="{va}"/></joint>
  <link name="l1"><collision><geometry><box size="0.05 0.05 0.3"/></geometry></collision></link>
  <joint name="b" type="{tb}"><parent link="l1"/><child link="l2"/>
    <origin xyz="0 0 0.3"/><axis xyz="0 1 0"/>{limit_b}</joint>
  <link name="l2"><collision><geometry><box size="0.05 0.05 0.2"/></geometry></collision></link>
</robot>
"""


@pytest.mark.parametrize("tb, limit_b, expected", [
    ("revolute", '<limit lower="-1" upper="1" effort="1" velocity="2.5"/>', [1.5, 2.5]),
    ("continuous", '<limit effort="1" velocity="3"/>', [1.5, 3.0]),
    ("continuous", "", None),                                                    # b has none
    ("revolute", '<limit lower="-1" upper="1" effort="1" velocity="0"/>', None),  # not a limit
])
def test_urdf_import_keeps_velocity_limits_only_as_a_full_set(tmp_path, tb, limit_b, expected):
    from cellpath_urdf import urdf_to_cache
    urdf = tmp_path / "pair.urdf"
    urdf.write_text(TWO_JOINTS.format(va=1.5, tb=tb, limit_b=limit_b))
    out = urdf_to_cache(urdf, tmp_path / "cache", ["a", "b"])
    path = out / "JointVelocityLimits.npy"
    if expected is None:
        assert not path.exists()
    else:
        v = np.load(path, allow_pickle=False)
        assert v.dtype == np.float64 and v.tolist() == expected


# ----------------------------------------------------------------- command line

@pytest.fixture
def task_cache(make_cache):
    return make_cache(waypoints=AROUND)


def run_main(capsys, *argv):
    Brimwell.main(list(argv))
    return capsys.readouterr()


def test_command_line_writes_the_timed_trajectory_beside_the_plan(task_cache, capsys):
    cache = task_cache.path
    run_main(capsys, "--cache-dir", str(cache))
    plain = (cache / "JointAnglesToTravelAlong.npy").read_bytes()
    assert not (cache / "TimedTrajectory.npz").exists()

    out = run_main(capsys, "--cache-dir", str(cache), "--timed", "--max-velocity", "1.0",
                   "--max-acceleration", "2,2,2,3,3,3").out
    assert (cache / "JointAnglesToTravelAlong.npy").read_bytes() == plain
    path = np.load(cache / "JointAnglesToTravelAlong.npy")
    expected = Brimwell.time_parameterize(path, 1.0, [2, 2, 2, 3, 3, 3])
    with np.load(cache / "TimedTrajectory.npz", allow_pickle=False) as saved:
        assert sorted(saved.files) == ["q", "qd", "qdd", "t"]
        for key, value in zip(("t", "q", "qd", "qdd"), expected):
            np.testing.assert_array_equal(saved[key], value)
    lines = (cache / "TimedTrajectory.csv").read_text().splitlines()
    assert lines[0] == "t," + ",".join(f"q{j}" for j in range(1, 7)) + "," + ",".join(f"qd{j}" for j in range(1, 7))
    table = np.loadtxt(cache / "TimedTrajectory.csv", delimiter=",", skiprows=1)
    np.testing.assert_array_equal(table, np.column_stack([expected[0], expected[1], expected[2]]))
    assert f"Timed trajectory: {expected[0][-1]:.2f} s in {len(expected[0])} samples of 0.01 s" in out
    assert "Saved timed trajectory to " + str(cache / "TimedTrajectory.npz") in out


def test_command_line_velocity_from_the_cache(task_cache, capsys):
    cache = task_cache.path
    limits = np.array([0.5, 0.6, 0.7, 0.8, 0.9, 1.0])
    np.save(cache / "JointVelocityLimits.npy", limits)
    run_main(capsys, "--cache-dir", str(cache), "--timed", "--max-acceleration", "2")
    path = np.load(cache / "JointAnglesToTravelAlong.npy")
    with np.load(cache / "TimedTrajectory.npz") as saved:
        np.testing.assert_array_equal(saved["t"], Brimwell.time_parameterize(path, limits, 2.0)[0])
    # An option still wins over the file; with --joint-names the CSV heads its columns with
    # the cache's joint names (a list that cannot head a CSV column is left out).
    names = [f"joint_{j}" for j in range(1, 7)]
    (cache / "JointNames.json").write_text(json.dumps(names))
    run_main(capsys, "--cache-dir", str(cache), "--timed", "--max-velocity", "2", "--max-acceleration", "2")
    with np.load(cache / "TimedTrajectory.npz") as saved:
        np.testing.assert_array_equal(saved["t"], Brimwell.time_parameterize(path, 2.0, 2.0)[0])
    csv = cache / "TimedTrajectory.csv"
    assert csv.read_text().startswith("t,q1,q2,q3,q4,q5,q6,qd1,")
    run_main(capsys, "--cache-dir", str(cache), "--timed", "--max-acceleration", "2", "--joint-names")
    assert csv.read_text().splitlines()[0] == ",".join(["t", *names, *(f"{n}.velocity" for n in names)])
    (cache / "JointNames.json").write_text(json.dumps(["a,b", *names[1:]]))
    run_main(capsys, "--cache-dir", str(cache), "--timed", "--max-acceleration", "2", "--joint-names")
    assert csv.read_text().startswith("t,q1,q2,q3,q4,q5,q6,qd1,")
    np.save(cache / "JointVelocityLimits.npy", limits[:5])
    with pytest.raises(ValueError, match=r"JointVelocityLimits\.npy must be one value .* \(6\), got shape \(5,\)"):
        run_main(capsys, "--cache-dir", str(cache), "--timed", "--max-acceleration", "2")


def test_command_line_refuses_unusable_timing_options_before_planning(task_cache, capsys):
    cache = task_cache.path
    for argv, says in ((["--timed", "--max-velocity", "1"], "--timed needs --max-acceleration"),
                       (["--timed", "--max-acceleration", "1"], "--timed needs --max-velocity"),
                       (["--max-acceleration", "1"], "need --timed"),
                       (["--timed", "--max-velocity", "1,0", "--max-acceleration", "1"], "positive and finite"),
                       (["--timed", "--max-velocity", "1", "--max-acceleration", "nan"], "positive and finite"),
                       (["--timed", "--max-velocity", "fast", "--max-acceleration", "1"], "is not one number")):
        with pytest.raises(SystemExit) as stop:
            run_main(capsys, "--cache-dir", str(cache), *argv)
        assert stop.value.code == 2
        assert says in capsys.readouterr().err
    # A count that does not fit the arm is refused from the cache's screw list, before planning.
    for argv, says in ((["--max-velocity", "1", "--max-acceleration", "1,2"], "--max-acceleration gives 2"),
                       (["--max-velocity", "1,1,1,1,1,1,1", "--max-acceleration", "1"], "--max-velocity gives 7")):
        with pytest.raises(SystemExit) as stop:
            run_main(capsys, "--cache-dir", str(cache), "--timed", *argv)
        assert stop.value.code == 2
        assert f"{says} limits, but the arm has 6 joints" in capsys.readouterr().err
    assert not (cache / "JointAnglesToTravelAlong.npy").exists()
    assert not (cache / "TimedTrajectory.npz").exists()


def test_timing_in_threads_gives_the_samples_of_one_thread():
    from concurrent.futures import ThreadPoolExecutor
    path = Brimwell.densify([[0.0, 0.0], [1.0, 0.5], [0.2, 1.0], [-0.5, 0.0]], res=0.01)
    alone = Brimwell.time_parameterize(path, [1.0, 2.0], [3.0, 1.5], dt=0.001)
    with ThreadPoolExecutor(2) as pool:
        runs = list(pool.map(lambda _: Brimwell.time_parameterize(path, [1.0, 2.0], [3.0, 1.5], dt=0.001), range(4)))
    for run in runs:
        assert all(np.array_equal(a, b) for a, b in zip(run, alone))
