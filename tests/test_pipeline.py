"""The whole pipeline on the bundled sample workcell, through the stand-in host:
capture -> environment handler -> RRT* plan, and the straight-line planner's
add-in run animating the design."""
import copy
import json
import pathlib
import sys

import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "hostsim"))
sys.path.insert(0, str(ROOT / "examples"))

import adsk.core  # noqa: E402  (the stand-in must be importable before the CAD-side modules)
import workcell  # noqa: E402
import make_sample_cache  # noqa: E402
import Dorvanta  # noqa: E402
import Mirelock  # noqa: E402
import Brimwell  # noqa: E402
import Sallowmere  # noqa: E402

APP = adsk.core.Application.get()


@pytest.fixture(scope="module")
def captured(tmp_path_factory):
    """The sample captured once: cache directory, workcell, joint values before and
    after the capture, and the capture's log."""
    out = tmp_path_factory.mktemp("pipeline") / "cache"
    cell = workcell.load_into_application()
    before = cell.joint_values()
    cell = make_sample_cache.make_sample_cache(out)
    return {"out": out, "cell": cell, "before": before, "after": cell.joint_values(),
            "log": list(APP.log_lines)}


@pytest.fixture(scope="module")
def handler(captured):
    return Sallowmere.RobotEnvironmentHandler(captured["out"])


def link_poses(cell, q):
    """World pose (metres) of every captured link in the stand-in at joints q."""
    cell.set_joint_values(q)
    root = cell.design.rootComponent
    occ = {o.name.split(":")[0]: o for o in reversed(list(root.allOccurrences))}
    return np.array([Mirelock.GiveWorldTransform(occ[name]) for name in cell.links])


def test_capture_of_the_sample(captured):
    out, cell, before = captured["out"], captured["cell"], captured["before"]
    log = captured["log"]
    assert log[:3] == ["cache cleared", "metadata written", "screw and home transform written"]
    assert log[-1] == "waypoint joint angles written: shape (4, 6)"
    np.testing.assert_array_equal(captured["after"], before)
    meta = json.loads((out / "meta.json").read_text())
    assert [e["name"] for e in meta["links"]] == cell.links
    assert [e["index"] for e in meta["links"]] == list(range(len(cell.links)))
    assert [e["name"] for e in meta["env"]] == cell.environment
    wp = np.load(out / "WaypointJointAngles.npy")
    np.testing.assert_array_equal(wp[0], before)
    np.testing.assert_array_equal(wp[-1], before)


def test_handler_poses_match_the_design(captured, handler):
    cell = captured["cell"]
    n = len(cell.joints)
    home = handler.AcquireTransformsGivenq(np.zeros(n))
    np.testing.assert_allclose(home, handler.initialTransforms, atol=1e-6)
    np.testing.assert_allclose(home, link_poses(cell, np.zeros(n)), atol=1e-6)
    rng = np.random.default_rng(0)
    for _ in range(5):
        q = rng.uniform(-np.pi, np.pi, n)
        np.testing.assert_allclose(handler.AcquireTransformsGivenq(q), link_poses(cell, q), atol=1e-6)


def test_adjacent_links_stay_attached(captured, handler):
    cell = captured["cell"]
    root = cell.design.rootComponent
    cell.set_joint_values(np.zeros(len(cell.joints)))
    T0 = handler.initialTransforms
    # Each joint's origin, fixed in the link before it and in the link after it.
    anchors = []
    for j, name in enumerate(cell.joints):
        o = Mirelock.getTandSFromJoint(root.joints.itemByName(name))[0][:3, 3] * 0.01
        p = np.r_[o, 1.0]
        anchors.append((np.linalg.solve(T0[j], p), np.linalg.solve(T0[j + 1], p)))
    rng = np.random.default_rng(1)
    for _ in range(20):
        T = handler.AcquireTransformsGivenq(rng.uniform(-np.pi, np.pi, len(cell.joints)))
        for j, (a, b) in enumerate(anchors):
            np.testing.assert_allclose(T[j] @ a, T[j + 1] @ b, atol=1e-6)


def test_rrt_plan_through_the_captured_waypoints(captured):
    out = captured["out"]
    traj = Brimwell.ProvideRRTPlan(out)
    wp = np.load(out / "WaypointJointAngles.npy")
    np.testing.assert_allclose(traj[0], wp[0])
    np.testing.assert_allclose(traj[-1], wp[-1])
    for w in wp:
        assert np.min(np.linalg.norm(traj - w, axis=1)) < 1e-9
    ctx = Brimwell.PlanningContext(out)
    assert all(ctx.is_valid(q) for q in traj)
    np.testing.assert_array_equal(np.load(out / "JointAnglesToTravelAlong.npy"), traj)


@pytest.fixture
def no_sleep(monkeypatch):
    delays = []
    monkeypatch.setattr(Dorvanta.time, "sleep", delays.append)
    return delays


def groups():
    root = APP.activeProduct.rootComponent
    return [root.customGraphicsGroups.item(i) for i in range(root.customGraphicsGroups.count)]


def test_straight_line_run_on_the_sample(no_sleep):
    cell = workcell.load_into_application()
    start = cell.joint_values()
    root = cell.design.rootComponent
    T_base = Dorvanta.GetComponentGlobalTransformationmatrix("Base")
    frames = np.array([np.linalg.inv(T_base) @ Dorvanta.GetComponentGlobalTransformationmatrix(n)
                       for n in ("inicomp", "inicomp2")])
    path, sp, M = Dorvanta.GivePathTraveller("Base", "ToolFlange", frames, [f"J{i}" for i in range(1, 7)])
    assert len(path) == 58
    for k, T in ((19, frames[0]), (38, frames[1])):  # each leg ends on its target
        np.testing.assert_allclose(Dorvanta.ForwardKinematicsInSpaceFrame(sp, path[k], M), T, atol=1e-2)

    APP.reset()
    APP.set_active_product(cell.design)
    Dorvanta.run(None)
    assert not any(line.startswith("Failed") for line in APP.log_lines), APP.log_lines
    (group,) = groups()
    assert group.count == 57
    assert len(no_sleep) == 58
    np.testing.assert_allclose(cell.joint_values(), path[-1], atol=1e-12)
    np.testing.assert_allclose(cell.joint_values(), start, atol=1e-12)
    assert root.joints.count >= 6


def test_run_without_the_second_target(no_sleep):
    data = json.loads(workcell.SAMPLE_PATH.read_text())
    data = copy.deepcopy(data)
    data["occurrences"] = [o for o in data["occurrences"] if o["component"] != "inicomp2"]
    data["targets"] = [t for t in data.get("targets", []) if t != "inicomp2"]
    cell = workcell.load_into_application(data)
    start = cell.joint_values()
    Dorvanta.run(None)
    (entry,) = APP.log_lines
    assert entry.startswith("Failed:\n")
    assert groups() == [] and no_sleep == []
    np.testing.assert_array_equal(cell.joint_values(), start)
