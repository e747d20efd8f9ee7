"""Mirelock: joint limits, meshes and the scene capture against the stand-in host,
including the refusal to empty a directory that holds the user's own files."""
import json
import math
import os
import pathlib
import sys
import zipfile

import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "hostsim"))

import adsk.core  # noqa: E402  (the stand-in must be importable before Mirelock)
import workcell  # noqa: E402
import Mirelock as ML  # noqa: E402
import Quennet  # noqa: E402

APP = adsk.core.Application.get()
NAMES = ["J1", "J2", "J3"]


def box(size, center=(0, 0, 0), name="b"):
    return {"name": name, "shape": "box", "size": list(size), "center": list(center)}


def cell(**extra):
    """A three-joint arm on a turned base, a tool, a goal, a wall placed off the
    origin, a component with two bodies and one with an empty mesh first, and a
    link placed twice (L3:1, L3:2)."""
    data = {
        "format": "cellpath-workcell", "version": 1,
        "components": [
            {"name": "Base", "bodies": [box([10, 10, 10], [0, 0, 5])]},
            {"name": "L1", "bodies": [box([4, 4, 20], [0, 0, 10])]},
            {"name": "L2", "bodies": [box([4, 4, 20], [0, 0, 10]),
                                      {"name": "cap", "shape": "cylinder", "radius": 2, "length": 2,
                                       "center": [0, 0, 21]}]},
            {"name": "L3", "bodies": [{"name": "empty", "shape": "mesh", "vertices": [], "triangles": []},
                                      box([4, 4, 20], [0, 0, 10])]},
            {"name": "Tool"}, {"name": "Goal"},
            {"name": "Wall", "bodies": [box([2, 40, 40])]},
            {"name": "Ghost"},
        ],
        "occurrences": [
            {"component": "Base", "translation": [5, -3, 0], "rotation": {"axis": [0, 0, 1], "angle": 30}},
            {"component": "L1", "translation": [5, -3, 10]},
            {"component": "L2", "translation": [5, -3, 30]},
            {"component": "L3", "translation": [5, -3, 50]},
            {"component": "L3", "translation": [90, 90, 90]},
            {"component": "Tool", "parent": "L2:1", "translation": [0, 0, 20]},
            {"component": "Goal", "translation": [5, 10, 40], "rotation": {"axis": [1, 0, 0], "angle": 90}},
            {"component": "Wall", "translation": [10, 0, 0]},
            {"component": "Ghost"},
        ],
        "joints": [
            {"name": "J1", "type": "revolute", "parent": "Base:1", "child": "L1:1", "origin": [5, -3, 10],
             "value": 15},
            {"name": "J2", "type": "revolute", "parent": "L1:1", "child": "L2:1", "origin": [5, -3, 30],
             "axis": [0, 1, 0], "limits": [-90, 90], "value": -20},
            {"name": "J3", "type": "revolute", "parent": "L2:1", "child": "L3:1", "origin": [5, -3, 50],
             "axis": [1, 0, 0], "limits": [None, 120]},
        ],
        "arm": {"base": "Base", "end_effector": "Tool", "joints": NAMES, "links": ["Base", "L1", "L2", "L3"]},
        "environment": ["Wall"],
        "targets": ["Goal"],
    }
    data.update(extra)
    return workcell.load_into_application(data)


def occurrence(name):
    return next(o for o in APP.activeProduct.rootComponent.allOccurrences if o.name == name)


def host_mesh(body):
    m = body.meshManager.createMeshCalculator()
    m.setQuality(adsk.fusion.TriangleMeshQualityOptions.LowQualityTriangleMesh)
    m = m.calculate()
    return (np.array(m.nodeCoordinatesAsDouble).reshape(-1, 3) * 0.01,
            np.array(m.nodeIndices, dtype=np.int64).reshape(-1, 3))


# ---------------------------------------------------------------------------
# capture primitives


def test_joint_limits_and_world_transform():
    cell()
    lim = ML.GetJointLimits(NAMES)
    assert lim.dtype == np.float64 and lim.shape == (3, 2)
    np.testing.assert_array_equal(lim[0], [-np.inf, np.inf])
    np.testing.assert_allclose(lim[1], np.radians([-90, 90]))
    assert lim[2, 0] == -np.inf and lim[2, 1] == pytest.approx(math.radians(120))
    assert ML.GetJointLimits([]).shape == (0, 2)
    with pytest.raises(ValueError, match="^Joint 'J9' not found in root component$"):
        ML.GetJointLimits(["J1", "J9"])

    wall = occurrence("Wall:1")
    wall.transform2 = adsk.core.Matrix3D.create()
    m = adsk.core.Matrix3D.create()
    m.setWithArray([0, -1, 0, 100, 1, 0, 0, 0, 0, 0, 1, -50, 0, 0, 0, 1])
    wall.transform2 = m
    T = ML.GiveWorldTransform(wall)
    np.testing.assert_allclose(T[:3, 3], [1.0, 0.0, -0.5])
    np.testing.assert_array_equal(T[:3, :3], [[0, -1, 0], [1, 0, 0], [0, 0, 1]])


def test_capture_screw_and_m_is_the_home_screw_list(tmp_path):
    cell()
    screw, M = ML.CaptureScrewAndMInfo(str(tmp_path / "does-not-exist"), NAMES, "Base", "Tool")
    sp, M2 = Quennet.RetrieveScrewAtHomeConfig(NAMES, "Base", "Tool")
    np.testing.assert_array_equal(screw, sp)
    np.testing.assert_array_equal(M, M2)
    assert not (tmp_path / "does-not-exist").exists()


def test_meshes_of_bodies_are_stacked_with_offset_indices():
    cell()
    l2 = occurrence("L2:1")
    V, F = ML.GetSubMesh(l2)
    (V0, F0), (V1, F1) = [host_mesh(b) for b in l2.component.bRepBodies]  # low quality, as captured
    np.testing.assert_allclose(V, np.vstack([V0, V1]))
    np.testing.assert_array_equal(F, np.vstack([F0, F1 + len(V0)]))
    assert F.dtype == np.int64 and V.dtype == np.float64

    # The empty body yields no mesh and does not advance the offset.
    l3 = occurrence("L3:1")
    empty, solid = list(l3.component.bRepBodies)
    assert ML.GetMeshofBody(empty) is None
    V, F = ML.GetSubMesh(l3)
    np.testing.assert_array_equal(F, host_mesh(solid)[1])
    assert F.min() == 0
    assert ML.GetSubMesh(occurrence("Ghost:1")) is None


@pytest.mark.parametrize("index", [-1, 3, 2**63 - 1])
def test_triangle_naming_a_missing_node_is_refused(index):
    # A host triangulation whose triangle names a node it did not give must not
    # be stacked (it would point into another body or overflow the offset).
    from types import SimpleNamespace as NS

    def body(indices):
        mesh = NS(nodeCount=3, nodeCoordinatesAsDouble=[0.0] * 9, nodeIndices=indices)
        calc = NS(setQuality=lambda q: None, calculate=lambda: mesh)
        return NS(meshManager=NS(createMeshCalculator=lambda: calc))

    good = body([0, 1, 2])
    with pytest.raises(IndexError, match="refers to node"):
        ML.GetMeshofBody(body([0, 1, index]))
    with pytest.raises(IndexError, match="refers to node"):
        ML.GetSubMesh(NS(component=NS(bRepBodies=[good, body([index, 0, 1])])))


def test_environment_context_files_and_record(tmp_path):
    cell().set_joint_values([0, 0, 0])
    out = tmp_path / "a" / "b"
    meta = ML.RetrieveEnvironmentContextInfo(str(out), NAMES, ["Wall", "Nowhere", "Ghost"],
                                             ["Base", "Missing", "L3", "Wall"])
    assert list(meta) == ["units", "links", "env"] and meta["units"] == "meters"
    assert [e["index"] for e in meta["links"]] == [0, 2, 3]
    assert sorted(os.listdir(out)) == ["env_Wall.npz", "link_0.npz", "link_2.npz", "link_3.npz"]
    for e in meta["links"]:
        assert list(e) == ["index", "name", "home_transform", "n_vertices", "n_faces"]
    # L3 resolves to L3:1, the first occurrence of that base name.
    np.testing.assert_allclose(np.array(meta["links"][1]["home_transform"])[:3, 3], [0.05, -0.03, 0.5])

    # The wall as a link is in its own frame; as environment it is moved to the world.
    with np.load(out / "link_3.npz") as link, np.load(out / "env_Wall.npz") as env:
        assert link.files == ["V", "F"] and env.files == ["V", "F"]
        np.testing.assert_allclose(env["V"], link["V"] + [0.1, 0, 0])
        np.testing.assert_array_equal(env["F"], link["F"])
    np.testing.assert_allclose(np.array(meta["links"][2]["home_transform"])[:3, 3], [0.1, 0, 0])
    assert meta["env"] == [{"name": "Wall", "n_vertices": meta["links"][2]["n_vertices"],
                            "n_faces": meta["links"][2]["n_faces"]}]

    empty = ML.RetrieveEnvironmentContextInfo(str(tmp_path / "empty"), NAMES, [], [])
    assert empty == {"units": "meters", "links": [], "env": []}
    assert (tmp_path / "empty").is_dir()


# ---------------------------------------------------------------------------
# the capture


def capture(out, **kw):
    c = cell()
    args = c.capture_arguments(out)
    args.update(kw)
    ML.ClearCacheAndInitializeMotionPlanner(**args)
    return c


def test_capture_writes_the_cache_layout(tmp_path):
    out = tmp_path / "cache"
    (out / "old" / "deeper").mkdir(parents=True)
    (out / "old" / "deeper" / "x.txt").write_text("stale")
    (out / "WaypointJointAngles.npy").write_text("stale")
    c = cell()
    before = c.joint_values()
    sp, _ = Quennet.RetrieveScrewAtHomeConfig(NAMES, "Base", "Tool")
    APP.reset()
    APP.set_active_product(c.design)
    ML.ClearCacheAndInitializeMotionPlanner(**c.capture_arguments(out))

    assert sorted(os.listdir(out)) == ["JointLimits.npy", "ScrewAxis.npy", "WaypointJointAngles.npy",
                                       "env_Wall.npz", "link_0.npz", "link_1.npz", "link_2.npz",
                                       "link_3.npz", "meta.json"]
    assert APP.log_lines[:3] == ["cache cleared", "metadata written", "screw and home transform written"]
    assert APP.log_lines[-1] == "waypoint joint angles written: shape (3, 3)"
    np.testing.assert_array_equal(c.joint_values(), before)

    text = (out / "meta.json").read_text()
    meta = json.loads(text)
    assert text == json.dumps(meta, indent=2)
    # Home transforms are taken with every joint at zero, whatever the pose was.
    c.set_joint_values([0, 0, 0])
    np.testing.assert_allclose(np.array(meta["links"][2]["home_transform"]),
                               ML.GiveWorldTransform(occurrence("L2:1")), atol=1e-12)
    with zipfile.ZipFile(out / "link_2.npz") as z:
        assert [i.compress_type for i in z.infolist()] == [zipfile.ZIP_STORED] * 2
    np.testing.assert_array_equal(np.load(out / "ScrewAxis.npy"), sp)
    np.testing.assert_array_equal(np.load(out / "JointLimits.npy"), ML.GetJointLimits(NAMES))
    wp = np.load(out / "WaypointJointAngles.npy")
    assert wp.shape == (3, 3)
    np.testing.assert_array_equal(wp[0], before)
    np.testing.assert_array_equal(wp[-1], before)


def test_capture_keeps_the_joint_names_on_request(tmp_path):
    capture(tmp_path / "c", SaveJointNames=True)
    assert json.loads((tmp_path / "c" / "JointNames.json").read_text()) == NAMES
    from cellpath_cli.export import joint_names

    assert joint_names(tmp_path / "c", len(NAMES)) == NAMES


@pytest.mark.parametrize("waypoints", [None, []])
def test_capture_without_waypoints(tmp_path, waypoints):
    capture(tmp_path / "c", Waypoints=waypoints)
    assert not (tmp_path / "c" / "WaypointJointAngles.npy").exists()
    assert APP.log_lines == ["cache cleared", "metadata written", "screw and home transform written"]


def test_capture_default_directory_is_cache_in_the_working_directory(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    c = cell()
    args = c.capture_arguments()
    ML.ClearCacheAndInitializeMotionPlanner(**args)
    assert (tmp_path / "cache" / "meta.json").is_file()


def test_capture_refuses_directories_holding_the_users_files(tmp_path, monkeypatch):
    home = tmp_path / "home"
    work = home / "project" / "run"
    work.mkdir(parents=True)
    for d in (home, work.parent, work):
        (d / "keep.txt").write_text("mine")
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.chdir(work)
    (tmp_path / "to-home").symlink_to(home)
    c = cell()
    args = c.capture_arguments()
    for bad in ["/", str(home), str(tmp_path / "to-home"), ".", "..", str(work.parent), str(tmp_path),
                str(work / "sub" / ".."), "../run"]:
        with pytest.raises(ValueError, match="refusing to empty OUTPUT_DIR"):
            ML.ClearCacheAndInitializeMotionPlanner(**dict(args, OUTPUT_DIR=bad))
    for d in (home, work.parent, work):
        assert (d / "keep.txt").read_text() == "mine"
    assert APP.log_lines == []
    assert not (work / "sub").exists()

    # A directory below the working directory is emptied as usual; a link inside
    # it is removed as a link, never followed.
    cache = work / "cache"
    cache.mkdir()
    (cache / "link").symlink_to(work.parent)
    ML.ClearCacheAndInitializeMotionPlanner(**dict(args, OUTPUT_DIR="cache"))
    assert not (cache / "link").exists()
    assert (work.parent / "keep.txt").read_text() == "mine"
    assert (cache / "meta.json").is_file()
