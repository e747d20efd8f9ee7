"""Dorvanta: straight-line legs, path traversal, path animation and the add-in
entry point, on a six-joint arm built in the stand-in host."""
import importlib.util
import math
import pathlib
import sys

import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "hostsim"))

import adsk.core  # noqa: E402  (the stand-in must be importable before Dorvanta)
import adsk.fusion  # noqa: E402
import workcell  # noqa: E402
import Dorvanta as D  # noqa: E402

APP = adsk.core.Application.get()
JOINTS = ["J1", "J2", "J3", "J4", "J5", "J6"]
START = np.radians([0, 20, 30, 0, 25, 0])
Q1 = START + [0.3, 0.2, -0.2, 0.1, 0.2, 0.1]
Q2 = START + [-0.3, 0.1, 0.2, -0.2, 0.1, 0.3]


def arm_data(targets=None):
    """An anthropomorphic arm: J1 about z, J2/J3 about y, a wrist J4 (x), J5 (y), J6 (x)."""
    link = lambda name, c: {"name": name, "bodies": [  # noqa: E731
        {"name": "b", "shape": "box", "size": [6, 6, 6], "center": c}]}
    joints, occs = [], [{"component": "Base"}]
    origins = [(0, 0, 20), (0, 0, 40), (0, 0, 80), (20, 0, 80), (50, 0, 80), (60, 0, 80)]
    axes = [(0, 0, 1), (0, 1, 0), (0, 1, 0), (1, 0, 0), (0, 1, 0), (1, 0, 0)]
    for i, (o, a) in enumerate(zip(origins, axes), start=1):
        occs.append({"component": f"Link{i}", "translation": list(o)})
        joints.append({"name": f"J{i}", "type": "revolute", "parent": "Base:1" if i == 1 else f"Link{i - 1}:1",
                       "child": f"Link{i}:1", "origin": list(o), "axis": list(a),
                       "value": math.degrees(START[i - 1])})
    occs.append({"component": "ToolFlange", "parent": "Link6:1", "translation": [5, 0, 0]})
    comps = [link("Base", [0, 0, 10])] + [link(f"Link{i}", [0, 0, 0]) for i in range(1, 7)]
    comps += [{"name": "ToolFlange"}]
    for name, T in (targets or {}).items():
        comps.append({"name": name})
        occs.append({"component": name, "translation": list(T[:3, 3]), "rotation": {"matrix": T[:3, :3].tolist()}})
    return {"format": "cellpath-workcell", "version": 1, "components": comps, "occurrences": occs,
            "joints": joints,
            "arm": {"base": "Base", "end_effector": "ToolFlange", "joints": JOINTS,
                    "links": ["Base"] + [f"Link{i}" for i in range(1, 7)]}}


def world(name):
    occ = next(o for o in APP.activeProduct.rootComponent.allOccurrences if o.component.name == name)
    return np.array(occ.transform2.asArray()).reshape(4, 4)


@pytest.fixture(scope="module")
def target_poses():
    cell = workcell.load_into_application(arm_data())
    poses = {}
    for name, q in (("inicomp", Q1), ("inicomp2", Q2)):
        cell.set_joint_values(q)
        poses[name] = world("ToolFlange")
    return poses


@pytest.fixture
def arm(target_poses):
    return workcell.load_into_application(arm_data(target_poses))


@pytest.fixture
def no_sleep(monkeypatch):
    delays = []
    monkeypatch.setattr(D.time, "sleep", delays.append)
    return delays


def base_frames(names):
    T_base = world("Base")
    return np.array([np.linalg.inv(T_base) @ world(n) for n in names])


def groups():
    root = APP.activeProduct.rootComponent
    return [root.customGraphicsGroups.item(i) for i in range(root.customGraphicsGroups.count)]


# ---------------------------------------------------------------------------
# legs


def test_joint_space_segment():
    seg = D._jointSpaceSegment([3.0, 0.0], [-3.0, 1.0], 4)
    np.testing.assert_allclose(seg, [[3, 0], [1, 1 / 3], [-1, 2 / 3], [-3, 1]])  # no wrapping at pi
    two = D._jointSpaceSegment(np.array([0.1, 0.2]), np.array([0.5, -0.5]), 2)
    np.testing.assert_array_equal(two, [[0.1, 0.2], [0.5, -0.5]])
    for bad in (1, 0, -3):
        with pytest.raises(ValueError, match="nsamples must be at least 2"):
            D._jointSpaceSegment([0.0], [1.0], bad)
    with pytest.raises(ValueError, match="same length"):
        D._jointSpaceSegment([0.0, 1.0], [1.0], 3)


def test_cartesian_segment_follows_the_line(arm, target_poses):
    sp, M = D.RetrieveScrewAtHomeConfig(JOINTS, "Base", "ToolFlange")
    ini = D.ForwardKinematicsInSpaceFrame(sp, START, M)
    fi = base_frames(["inicomp"])[0]
    configs = D._solveCartesianSegment(ini, fi, START, sp, M, 12)
    assert len(configs) == 12
    for q, T in zip(configs, D.StraightLineCartesianPath(ini, fi, 12)):
        np.testing.assert_allclose(D.ForwardKinematicsInSpaceFrame(sp, q, M), T, atol=1e-3)
    # A leg that yields a non-finite answer is abandoned as a whole.
    assert D._solveCartesianSegment(ini, fi, [np.nan] * 6, sp, M, 5) is None


def test_path_through_two_targets(arm):
    frames = base_frames(["inicomp", "inicomp2"])
    path, sp, M = D.GivePathTraveller("Base", "ToolFlange", frames, JOINTS)
    assert len(path) == 20 + 2 * 19
    assert all(q.shape == (6,) and np.all(np.isfinite(q)) for q in path)
    np.testing.assert_allclose(path[0], START, atol=1e-6)
    np.testing.assert_array_equal(path[-1], START)
    np.testing.assert_allclose(arm.joint_values(), START)  # planning does not move the arm
    # Each target is reached at the end of its leg, along a straight line.
    for k, T in ((19, frames[0]), (38, frames[1])):
        np.testing.assert_allclose(D.ForwardKinematicsInSpaceFrame(sp, path[k], M), T, atol=1e-3)
    line = D.StraightLineCartesianPath(frames[0], frames[1], 20)
    for q, T in zip(path[19:39], line):
        np.testing.assert_allclose(D.ForwardKinematicsInSpaceFrame(sp, q, M)[:3, 3], T[:3, 3], atol=1e-3)
    # The return leg is a straight line in joint space.
    np.testing.assert_allclose(np.diff(np.array(path[38:]), axis=0), np.diff(np.array(path[38:40]), axis=0)[[0] * 19],
                               atol=1e-12)
    assert not any(line.startswith("segment") for line in APP.log_lines)


def test_path_without_targets_and_sample_counts(arm):
    path, _, _ = D.GivePathTraveller("Base", "ToolFlange", np.zeros((0, 4, 4)), JOINTS)
    assert len(path) == 20
    for q in path:
        np.testing.assert_allclose(q, START, atol=1e-15)
    frames = base_frames(["inicomp"])
    assert len(D.GivePathTraveller("Base", "ToolFlange", frames, JOINTS, nsamples=2)[0]) == 3
    with pytest.raises(ValueError, match="nsamples"):
        D.GivePathTraveller("Base", "ToolFlange", frames, JOINTS, nsamples=1)
    with pytest.raises(ValueError, match="FramesArray"):
        D.GivePathTraveller("Base", "ToolFlange", np.zeros((2, 3, 4)), JOINTS)


# ---------------------------------------------------------------------------
# animation and the add-in entry point


def test_animation_frames_and_trace(arm, no_sleep):
    root = APP.activeProduct.rootComponent
    root.customGraphicsGroups.add()  # someone else's graphics
    sp, M = D.RetrieveScrewAtHomeConfig(JOINTS, "Base", "ToolFlange")
    T_base = world("Base")

    D.AnimateJointAnglePath([], JOINTS, sp, M, T_base)
    assert APP.log_lines == ["no frames to animate"] and len(groups()) == 1

    frames = [START + k * 0.05 for k in range(5)]
    events = APP.do_events_count
    D.AnimateJointAnglePath(frames, JOINTS, sp, M, T_base, frameDelay=0.0, drawTrace=False)
    assert groups() == [] and APP.do_events_count - events == 5 and no_sleep == [0.0] * 5
    np.testing.assert_allclose(arm.joint_values(), frames[-1])

    D.AnimateJointAnglePath(frames, JOINTS, sp, M, T_base)
    (group,) = groups()
    lines = [group.item(i) for i in range(group.count)]
    assert len(lines) == 4
    assert all(ln.color.color.as_tuple() == (60, 60, 60, 60) and ln.weight == 2 for ln in lines)
    origins = [(T_base @ D.ForwardKinematicsInSpaceFrame(sp, q, M))[:3, 3] for q in frames]
    for k, ln in enumerate(lines):
        (a, b), = ln.segments()
        np.testing.assert_allclose([a, b], [origins[k], origins[k + 1]], atol=1e-9)
    np.testing.assert_allclose(world("ToolFlange")[:3, 3], origins[-1], atol=1e-9)


def test_run_plans_and_animates(arm, no_sleep):
    D.run(None)
    assert not any(line.startswith("Failed") for line in APP.log_lines)
    (group,) = groups()
    assert group.count == 57
    assert no_sleep == [0.01] * 58
    np.testing.assert_allclose(arm.joint_values(), START, atol=1e-12)  # the last frame is the start pose


def load_addin():
    path = ROOT / "Dorvanta" / "addin" / "DorvantaPlanner" / "DorvantaPlanner.py"
    addin_spec = importlib.util.spec_from_file_location("DorvantaPlanner", path)
    mod = importlib.util.module_from_spec(addin_spec)
    addin_spec.loader.exec_module(mod)
    return mod


def test_run_failure_is_one_log_entry(target_poses, no_sleep):
    cell = workcell.load_into_application(arm_data({"inicomp": target_poses["inicomp"]}))
    load_addin().run({"IsApplicationStartup": False})
    (entry,) = APP.log_lines
    assert entry.startswith("Failed:\n") and "Error" in entry.splitlines()[-1]
    assert APP.message_boxes == ["could not find component name inicomp2"]
    assert groups() == [] and no_sleep == []
    np.testing.assert_allclose(cell.joint_values(), START)
