"""cellpath_urdf: capture caches from URDF files, checked against the URDF's own
kinematics (yourdfpy), the offline readers, and the real xArm6 and Panda."""
import json
import os
import pathlib
import shlex

import numpy as np
import pytest
import trimesh
import yourdfpy

import Brimwell
import Kestrune
import Pelmora
import Sallowmere
import cellpath_urdf
from cellpath_urdf import SelfCheckError, UrdfImportError, main, urdf_to_cache

def joint(name, kind, parent, child, origin="", axis="", limit=None, extra=""):
    """A <joint> element; origin is the <origin> attribute text, limit (lower, upper)."""
    text = f'<joint name="{name}" type="{kind}"><parent link="{parent}"/><child link="{child}"/>'
    if origin:
        text += f"<origin {origin}/>"
    if axis:
        text += f'<axis xyz="{axis}"/>'
    if limit:
        text += f'<limit lower="{limit[0]}" upper="{limit[1]}" effort="1" velocity="1"/>'
    return text + extra + "</joint>"


def body(geometry, xyz="", tag="collision"):
    """A <collision> (or <visual>) element holding one geometry, placed at xyz in its link."""
    origin = f'<origin xyz="{xyz}"/>' if xyz else ""
    return f"<{tag}><geometry>{geometry}</geometry>{origin}</{tag}>"


def link(name, *bodies):
    return f'<link name="{name}">' + "".join(bodies) + "</link>" if bodies else f'<link name="{name}"/>'


def box(size):
    return f'<box size="{size}"/>'


# A chain with a rotated mount, a fixed cap merged into its parent, a continuous
# joint, a side branch with a mimic follower, and a prismatic last joint.
ARM = '<?xml version="1.0"?>\n<robot name="toy">\n' + "\n".join([
    link("world"),
    joint("mount", "fixed", "world", "base", origin='xyz="0.5 0 0" rpy="0 0 1.0"'),
    link("base", body(box("0.2 0.2 0.1"), "0 0 0.05")),
    joint("j1", "revolute", "base", "l1", origin='xyz="0 0 0.1" rpy="0.2 0 0"', axis="0 0 2", limit=(-2, 2.5)),
    link("l1", body('<cylinder radius="0.04" length="0.3"/>', "0 0 0.15"),
         body('<sphere radius="0.05"/>', tag="visual")),
    joint("l1_cap", "fixed", "l1", "cap", origin='xyz="0 0 0.3" rpy="0 0.4 0"'),
    link("cap", body('<sphere radius="0.05"/>', "0.01 0 0")),
    joint("j2", "continuous", "cap", "l2", origin='xyz="0 0.02 0.05" rpy="0 -0.4 0.3"', axis="0 1 0"),
    link("l2", body(box("0.05 0.05 0.25"), "0 0 0.125")),
    joint("flap", "revolute", "l2", "flap_link", origin='xyz="0.05 0 0.1"', axis="1 0 0", limit=(-1, 1)),
    link("flap_link", body(box("0.02 0.1 0.02"), "0 0.05 0")),
    joint("follower", "revolute", "l2", "follower_link", origin='xyz="-0.05 0 0.1"', axis="1 0 0",
          limit=(-1, 1), extra='<mimic joint="flap" multiplier="2" offset="0.3"/>'),
    link("follower_link", body(box("0.02 0.1 0.02"), "0 0.05 0")),
    joint("slide", "prismatic", "l2", "l3", origin='xyz="0 0 0.25" rpy="0.1 0.2 0.3"', axis="0 0 1",
          limit=(0, 0.2)),
    link("l3", body(box("0.03 0.03 0.1"))),
]) + "\n</robot>\n"
JOINTS = ["j1", "j2", "slide"]
BASE = (0.3, -0.2, 0.4, 0.1, -0.2, 0.5)


def write(path, text):
    path = pathlib.Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text)
    return path


def box_stl(path, extents=(0.1, 0.2, 0.3)):
    path = pathlib.Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    trimesh.creation.box(extents=extents).export(path)
    return path


def leftovers(parent):
    return sorted(p.name for p in pathlib.Path(parent).iterdir() if p.name.startswith("."))


def urdf_pose(robot, link, frame, q):
    robot.update_cfg(dict(zip(JOINTS, q)))
    return robot.get_transform(frame_to=link, frame_from=frame)


@pytest.fixture
def toy(tmp_path):
    urdf = write(tmp_path / "toy.urdf", ARM)
    wall = box_stl(tmp_path / "env" / "wall.stl")
    out = urdf_to_cache(urdf, tmp_path / "cache", JOINTS, base=BASE, env=[wall])
    return urdf, out


def test_toy_arm_cache_layout(toy):
    urdf, out = toy
    assert sorted(os.listdir(out)) == ["JointLimits.npy", "JointNames.json", "ScrewAxis.npy", "env_wall.npz",
                                       "link_0.npz", "link_1.npz", "link_2.npz", "link_3.npz", "meta.json"]
    assert json.loads((out / "JointNames.json").read_text()) == JOINTS
    text = (out / "meta.json").read_text()
    meta = json.loads(text)
    assert text == json.dumps(meta, indent=2)
    assert list(meta) == ["units", "links", "env"] and meta["units"] == "meters"
    assert meta["env"] == [{"name": "wall", "n_vertices": 8, "n_faces": 12}]
    assert [list(e) for e in meta["links"]] == [["index", "name", "home_transform", "n_vertices", "n_faces"]] * 4
    assert [e["name"] for e in meta["links"]] == ["base", "l1", "l2", "l3"]
    for e in meta["links"]:
        with np.load(out / f"link_{e['index']}.npz", allow_pickle=False) as d:
            assert d["V"].dtype == np.float64 and d["F"].dtype == np.int64
            assert d["V"].shape == (e["n_vertices"], 3) and d["F"].shape == (e["n_faces"], 3)
            assert d["F"].max() < len(d["V"])
    # The cap merges into l1 (cylinder + sphere), the flap and its mimic into l2 (three boxes).
    cyl = trimesh.creation.cylinder(radius=0.04, height=0.3, sections=32)
    sph = trimesh.creation.icosphere(subdivisions=2, radius=0.05)
    assert meta["links"][1]["n_vertices"] == len(cyl.vertices) + len(sph.vertices)
    assert meta["links"][2]["n_faces"] == 36

    limits = np.load(out / "JointLimits.npy")
    assert limits.dtype == np.float64
    np.testing.assert_array_equal(limits, [[-2.0, 2.5], [-np.inf, np.inf], [0.0, 0.2]])
    S = np.load(out / "ScrewAxis.npy")
    assert S.shape == (6, 3) and S.dtype == np.float64
    # Base frame: joint 1's axis is the base's z tilted by the origin's roll, through (0, 0, 0.1 m).
    w = np.array([0.0, -np.sin(0.2), np.cos(0.2)])
    np.testing.assert_allclose(S[:3, 0], w, atol=1e-15)
    np.testing.assert_allclose(S[3:, 0], -np.cross(w, [0, 0, 10.0]), atol=1e-12)   # centimetres
    np.testing.assert_allclose(np.linalg.norm(S[3:, 2]), 100.0)   # 100 cm per metre of travel
    np.testing.assert_array_equal(S[:3, 2], 0.0)
    # Only l1 has visual geometry: the base then has none to offer.
    with pytest.raises(UrdfImportError, match="arm link 0 \\('base'\\) has no visual geometry"):
        urdf_to_cache(urdf, out.parent / "visual", JOINTS, visual=True)


def test_toy_arm_matches_urdf_kinematics_in_readers(toy):
    """The handler and the planner place every link, and every merged part, where the
    URDF's own forward kinematics puts it."""
    urdf, out = toy
    robot = yourdfpy.URDF.load(str(urdf), load_meshes=False)
    B = cellpath_urdf._base_matrix(BASE)
    handler = Sallowmere.RobotEnvironmentHandler(out)
    ctx = Brimwell.PlanningContext(out)
    np.testing.assert_allclose(handler.initialTransforms[0], B, atol=1e-15)
    np.testing.assert_array_equal(ctx.limits[1], [-2 * np.pi, 2 * np.pi])
    rng = np.random.default_rng(5)
    with np.load(out / "link_1.npz") as d:
        V1 = d["V"]
    for _ in range(5):
        q = np.array([rng.uniform(-2, 2.5), rng.uniform(-4, 4), rng.uniform(0, 0.2)])
        T = handler.AcquireTransformsGivenq(q)
        for i, name in enumerate(["base", "l1", "l2", "l3"]):
            np.testing.assert_allclose(T[i], B @ urdf_pose(robot, name, "base", q), atol=1e-12)
        # The cap's sphere (last vertices of link 1) is centred 0.01 m along the cap's x.
        centre = V1[-len(trimesh.creation.icosphere(subdivisions=2).vertices):].mean(axis=0)
        world = T[1][:3, :3] @ centre + T[1][:3, 3]
        ref = B @ urdf_pose(robot, "cap", "base", q) @ [0.01, 0, 0, 1]
        np.testing.assert_allclose(world, ref[:3], atol=1e-12)
    # A prismatic joint value is metres: 0.1 moves link 3 by 0.1 m along its axis.
    a = handler.AcquireTransformsGivenq([0.3, 0.2, 0.0])[3]
    b = handler.AcquireTransformsGivenq([0.3, 0.2, 0.1])[3]
    np.testing.assert_allclose(np.linalg.norm(b[:3, 3] - a[:3, 3]), 0.1, rtol=1e-12)
    np.testing.assert_allclose(b[:3, :3], a[:3, :3], atol=1e-15)
    # (Kestrune's attachment trials draw every joint from [-pi, pi), metres of travel
    # for the slide, so only its home-pose check applies to this arm.)
    Kestrune.test_home_pose_unchanged(out)


def test_meshes_package_paths_scale_env_and_waypoints(tmp_path):
    pkg = tmp_path / "pkgs" / "toy_description"
    box_stl(pkg / "meshes" / "part.stl")
    box_stl(tmp_path / "robot" / "meshes" / "local.stl", extents=(0.1, 0.1, 0.1))
    urdf = write(tmp_path / "robot" / "m.urdf", """<robot name="m">
      <link name="a"><collision><geometry><mesh filename="package://toy_description/meshes/part.stl"
        scale="2 1 0.5"/></geometry></collision></link>
      <joint name="j" type="revolute"><parent link="a"/><child link="b"/><axis xyz="1 0 0"/>
        <limit lower="-1" upper="1" effort="1" velocity="1"/></joint>
      <link name="b"><collision><geometry><mesh filename="meshes/local.stl" scale="-1 1 1"/></geometry>
        </collision></link>
    </robot>""")
    env = [box_stl(tmp_path / "scene" / "table.stl", (1.0, 1.0, 0.1)),
           box_stl(tmp_path / "scene" / "post.stl", (0.1, 0.1, 1.0))]
    wp = np.array([[0.0], [0.5], [0.0]])
    np.save(tmp_path / "wp.npy", wp)
    out = urdf_to_cache(urdf, tmp_path / "c", ["j"], env=env, waypoints=tmp_path / "wp.npy",
                        package_dirs={"toy_description": pkg})
    with np.load(out / "link_0.npz") as d:
        np.testing.assert_allclose(np.ptp(d["V"], axis=0), [0.2, 0.2, 0.15])
    with np.load(out / "link_1.npz") as d:
        m = trimesh.Trimesh(d["V"], d["F"], process=True)
        assert m.volume > 0  # the mirroring scale kept the triangles facing out
    meta = json.loads((out / "meta.json").read_text())
    assert [e["name"] for e in meta["env"]] == ["table", "post"]
    with np.load(out / "env_post.npz") as d:
        src = trimesh.load(env[1], process=False)
        assert len(d["V"]) == 8  # shared corners
        np.testing.assert_array_equal(d["V"][d["F"]], src.vertices[src.faces])
        assert d["F"].dtype == np.int64
    np.testing.assert_array_equal(np.load(out / "WaypointJointAngles.npy"), wp)

    # OBJ and DAE load through trimesh too, each with the triangles it holds.
    box = trimesh.creation.box(extents=(0.1, 0.2, 0.3))
    for ext in ("obj", "dae"):
        box.export(tmp_path / "robot" / "meshes" / f"part.{ext}")
        u = write(tmp_path / "robot" / f"{ext}.urdf", urdf.read_text().replace(
            "package://toy_description/meshes/part.stl", f"meshes/part.{ext}"))
        got = urdf_to_cache(u, tmp_path / ext, ["j"])
        with np.load(got / "link_0.npz") as d:
            assert len(d["F"]) == 12
            np.testing.assert_allclose(np.ptp(d["V"], axis=0), [0.2, 0.2, 0.15], atol=1e-6)

    # Without --package-dir a package folder beside the URDF is found.
    box_stl(tmp_path / "robot" / "toy_description" / "meshes" / "part.stl")
    urdf_to_cache(urdf, tmp_path / "c2", ["j"])
    assert main([str(urdf), str(tmp_path / "c3"), "--joints", "j", "--base=-0.5,0,0,0,0,1.57",
                 "--env", str(env[0])]) == 0
    assert json.loads((tmp_path / "c3" / "meta.json").read_text())["links"][0]["home_transform"][0][3] == -0.5


def _bad(tmp_path, case):
    """(urdf path, joints, extra keyword arguments, the word the message must name)."""
    def rev(name, parent, child, extra=""):
        return joint(name, "revolute", parent, child, axis="0 0 1", limit=(-1, 1), extra=extra)

    def three_links(second):
        """Links a, b and c, with j from a to b and `second` reaching c."""
        return head + link_b + link("c", unit) + rev("j", "a", "b") + second + "</robot>"

    unit = body(box("1 1 1"))
    head = '<robot name="b">' + link("a", unit)
    link_b = link("b", unit)
    good = head + link_b + rev("j", "a", "b") + "</robot>"
    kw, joints = {}, ["j"]
    if case == "missing mesh":
        text = good.replace('<box size="1 1 1"/>', '<mesh filename="package://nowhere/gone.stl"/>', 1)
        word = "gone.stl"
    elif case == "unknown joint":
        text, joints, word = good, ["j", "j9"], "j9"
    elif case == "not a chain":
        text = three_links(rev("k", "a", "c"))
        joints, word = ["j", "k"], "k"
    elif case == "wrong order":
        text = three_links(rev("k", "b", "c"))
        joints, word = ["k", "j"], "'k' hangs from link 'b', which moves with arm joint 'j'"
    elif case == "broken xml":
        text, word = good[:-10], "b.urdf"
    elif case == "no triangles":
        (tmp_path / "empty.obj").write_text("v 0 0 0\nv 1 0 0\nv 0 1 0\n")
        text = good.replace('<box size="1 1 1"/>', '<mesh filename="empty.obj"/>', 1)
        word = "empty.obj"
    elif case == "waypoint width":
        np.save(tmp_path / "wp.npy", np.zeros((3, 2)))
        text, kw, word = good, {"waypoints": tmp_path / "wp.npy"}, "wp.npy"
    elif case == "fixed arm joint":
        text = good.replace('type="revolute"', 'type="fixed"')
        word = "j"
    elif case == "mimic of arm joint":
        text = three_links(rev("m", "a", "c", '<mimic joint="j"/>'))
        word = "'m'"
    elif case == "missing env":
        text, kw, word = good, {"env": [tmp_path / "nope.stl"]}, "nope.stl"
    elif case == "garbage mesh":
        (tmp_path / "junk.stl").write_bytes(bytes(range(256)) * 3)
        text, kw, word = good, {"env": [tmp_path / "junk.stl"]}, "junk.stl"
    elif case == "pickled waypoints":
        np.save(tmp_path / "obj.npy", np.array([{"q": 1}], dtype=object))
        text, kw, word = good, {"waypoints": tmp_path / "obj.npy"}, "obj.npy"
    elif case == "nan waypoints":
        np.save(tmp_path / "nan.npy", np.array([[0.0], [np.nan]]))
        text, kw, word = good, {"waypoints": tmp_path / "nan.npy"}, "nan.npy"
    elif case == "nan base":
        text, kw, word = good, {"base": (0, 0, np.nan, 0, 0, 0)}, "base"
    elif case == "joint without parent":
        text, word = good.replace('<parent link="a"/>', ""), "b.urdf"
    elif case == "nan origin":
        text = good.replace('<axis xyz="0 0 1"/>', '<axis xyz="0 0 1"/><origin xyz="0 nan 0"/>')
        word = "'j'"
    return write(tmp_path / "b.urdf", text), joints, kw, word


@pytest.mark.parametrize("case", ["missing mesh", "unknown joint", "not a chain", "wrong order", "broken xml", "no triangles",
                                  "waypoint width", "fixed arm joint", "mimic of arm joint", "missing env",
                                  "garbage mesh", "pickled waypoints", "nan waypoints", "nan base",
                                  "joint without parent", "nan origin"])
def test_bad_input_names_the_culprit_and_writes_nothing(tmp_path, case):
    urdf, joints, kw, word = _bad(tmp_path, case)
    out = tmp_path / "out"
    with pytest.raises(UrdfImportError) as err:
        urdf_to_cache(urdf, out, joints, **kw)
    assert word in str(err.value)
    assert not out.exists() and leftovers(tmp_path) == []


def test_command_line_reports_errors(tmp_path, capsys):
    urdf = write(tmp_path / "toy.urdf", ARM)
    assert main([str(urdf), str(tmp_path / "c"), "--joints", "j1,nope"]) == 1
    assert "joint 'nope' is not in the URDF" in capsys.readouterr().err
    with pytest.raises(SystemExit):
        main([str(urdf), str(tmp_path / "c"), "--joints", "j1", "--base", "1,2,3"])
    assert main([str(urdf), str(tmp_path / "c"), "--joints", "j1,j2,slide"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0].startswith(f"wrote {tmp_path / 'c'}: 4 links (base, l1, l2, l3), 3 joints")
    assert lines[1].startswith("FK self-check passed: 17 joint vectors")


def test_replacing_a_cache_and_refusing_other_folders(tmp_path, toy, monkeypatch):
    urdf, out = toy
    before = {p.name: p.read_bytes() for p in out.iterdir()}
    Sallowmere.RobotEnvironmentHandler(out)  # leaves its archives in the cache
    np.save(out / "JointAnglesToTravelAlong.npy", np.zeros((2, 3)))
    # A failure after writing began (here the self-check) leaves the old cache whole.
    monkeypatch.setattr(cellpath_urdf, "_self_check", lambda *a, **k: (_ for _ in ()).throw(SelfCheckError("x")))
    with pytest.raises(SelfCheckError):
        urdf_to_cache(urdf, out, JOINTS, base=BASE)
    assert leftovers(tmp_path) == [] and (out / "LinkMeshes.npz").exists()
    monkeypatch.undo()
    # So does a failure to move the new cache in once the old one is out of the way.
    real_replace, calls = os.replace, []

    def second_move_fails(src, dst):
        calls.append(dst)
        if len(calls) == 2:
            raise OSError("disk went away")
        real_replace(src, dst)

    monkeypatch.setattr(cellpath_urdf.os, "replace", second_move_fails)
    with pytest.raises(OSError, match="disk went away"):
        urdf_to_cache(urdf, out, JOINTS, base=BASE)
    monkeypatch.undo()
    assert leftovers(tmp_path) == [] and (out / "LinkMeshes.npz").exists()
    assert (out / "meta.json").read_bytes() == before["meta.json"]
    urdf_to_cache(urdf, out, JOINTS, env=[tmp_path / "env" / "wall.stl"])  # a cache is replaced whole
    assert sorted(os.listdir(out)) == sorted(before)
    assert (out / "link_1.npz").read_bytes() == before["link_1.npz"]
    assert (out / "meta.json").read_bytes() != before["meta.json"]  # base moved back to the origin

    precious = tmp_path / "mine"
    precious.mkdir()
    (precious / "notes.txt").write_text("keep")
    (precious / "meta.json").write_text("{}")
    with pytest.raises(UrdfImportError, match="notes.txt"):
        urdf_to_cache(urdf, precious, JOINTS)
    assert sorted(os.listdir(precious)) == ["meta.json", "notes.txt"]
    sub = tmp_path / "nested"
    (sub / "deeper").mkdir(parents=True)
    with pytest.raises(UrdfImportError, match="deeper"):
        urdf_to_cache(urdf, sub, JOINTS)
    assert leftovers(tmp_path) == []


def test_a_cache_with_stored_models_is_replaced_but_not_a_models_folder_of_other_files(toy):
    urdf, out = toy
    Brimwell.PlanningContext(out, clearance=0.01)
    assert (out / ".models" / "clearance.bin").exists()
    urdf_to_cache(urdf, out, JOINTS, base=BASE)  # the models go with the cache they were built for
    assert not (out / ".models").exists()
    (out / ".models").mkdir()
    (out / ".models" / "notes.txt").write_text("keep")
    with pytest.raises(UrdfImportError, match="notes.txt"):
        urdf_to_cache(urdf, out, JOINTS, base=BASE)


def test_self_check_catches_screws_that_disagree(tmp_path, monkeypatch):
    urdf = write(tmp_path / "toy.urdf", ARM)
    real = cellpath_urdf._screws_and_limits

    def off_by_a_millimetre(model):
        S, lim = real(model)
        S[3:, 1] += 0.1  # 1 mm of the joint-2 axis' moment, in cm
        return S, lim

    monkeypatch.setattr(cellpath_urdf, "_screws_and_limits", off_by_a_millimetre)
    with pytest.raises(SelfCheckError, match="arm link 2 \\('l2'\\)"):
        urdf_to_cache(urdf, tmp_path / "c", JOINTS)
    assert not (tmp_path / "c").exists() and leftovers(tmp_path) == []


# --------------------------------------------------------------------------- real arms

@pytest.fixture(scope="module")
def real_arms():
    import real_arms
    return real_arms


REAL_ARM_JOINTS = {"xarm6_cell": 6, "panda_shelf": 7, "ur5_cell": 6, "iiwa_cell": 7, "panda_tall_shelf": 7}


@pytest.mark.parametrize("scene", sorted(REAL_ARM_JOINTS))
def test_real_arm_scenes_load_check_and_are_not_trivial(tmp_path, real_arms, scene):
    out = getattr(real_arms, scene)(tmp_path / scene)
    n = REAL_ARM_JOINTS[scene]
    ctx = Brimwell.PlanningContext(out)
    assert ctx.n_joints == n
    wp = np.load(out / "WaypointJointAngles.npy")
    assert wp.shape == (4, n)
    np.testing.assert_array_equal(wp[0], wp[-1])
    assert all(ctx.is_valid(q) for q in wp)
    assert all(np.all(ctx.limits[:, 0] <= q) and np.all(q <= ctx.limits[:, 1]) for q in wp)
    # The task needs a planner: at least the moves between the targets hit something.
    blocked = [not ctx.edge_valid(a, b) for a, b in zip(wp[:-1], wp[1:])]
    assert blocked[1] and blocked[2]
    Kestrune.test_home_pose_unchanged(out)
    Kestrune.test_mesh_connectivity_off_home(out)
    # Exact meshes: no self-collision at the waypoints; only the pedestal touches the base.
    exact = Pelmora.Pelmora(out)
    allowed = {(("env", "pedestal"), ("link", exact.link_names[0]))}
    for q in wp:
        assert set(exact.query(q).pairs) <= allowed
    # And every waypoint keeps 15 mm from the environment: a clearance test for 1 cm
    # with its 5 mm of slack must accept it, or a run with that clearance could not start.
    from exact_distance import ExactDistance
    gap = ExactDistance(out)
    for q in wp:
        assert gap.distance(q) >= 0.015, (scene, q)


def test_real_arm_command_line_reproduces_the_scene(tmp_path, real_arms):
    """The printed cellpath-urdf command (docs/urdf.md's worked example) writes the same files."""
    built = real_arms.xarm6_cell(tmp_path / "a", scene_dir=tmp_path / "scene")
    argv = shlex.split(real_arms.command_line("xarm6_cell", tmp_path / "b", tmp_path / "scene"))
    assert argv[0] == "cellpath-urdf" and main(argv[1:]) == 0
    names = sorted(os.listdir(built))
    assert names == sorted(os.listdir(tmp_path / "b"))
    for name in names:
        assert (built / name).read_bytes() == (tmp_path / "b" / name).read_bytes(), name
