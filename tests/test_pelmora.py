"""Pelmora: exact mesh collision of the posed arm with itself and its environment."""
import dataclasses
import json
import subprocess
import sys

import numpy as np
import pytest

import Pelmora
from Pelmora import CollisionResult
from synthetic_cache import COLLIDING_Q, box_mesh, rot_z, transform

Q_BENT = np.array([0.4, 0.8, 0.3, 0.2, 0.0, 0.0])
FOLDED = np.array([0.0, 0.0, 2.8, 0.0, 0.0, 0.0])  # link 3 folds back across link 2


def write_env(cache, name, V, F):
    np.savez(cache.path / f"env_{name}.npz", V=V, F=F)
    meta = json.loads((cache.path / "meta.json").read_text())
    meta.setdefault("env", []).append({"name": name, "n_vertices": len(V), "n_faces": len(F)})
    (cache.path / "meta.json").write_text(json.dumps(meta))


def rod_through_link(cache, index, q, name="rod"):
    """A thin 20 cm rod piercing link `index` across its axis at joint vector q."""
    T = cache.link_transforms(q)[index]
    centre = cache.link_mesh_world(index, q).mean(axis=0)
    V, F = box_mesh((-0.10, -0.004, -0.004), (0.10, 0.004, 0.004))
    write_env(cache, name, V @ T[:3, :3].T + centre, F)


def overlap_links(cache, depth=0.01):
    """Extend every moving link 1 cm down into the link below it, so consecutive links intersect."""
    for k in range(1, cache.n_links):
        V, F = cache.link_meshes[k]
        V = V.copy()
        V[V[:, 2] == V[:, 2].min(), 2] -= depth
        np.savez(cache.path / f"link_{k}.npz", V=V, F=F)


def pair(a, b):
    return tuple(sorted((a, b)))


# ----------------------------------------------------------------- CollisionResult

def test_collision_result_is_a_dataclass_with_value_equality():
    assert dataclasses.is_dataclass(CollisionResult)
    assert [f.name for f in dataclasses.fields(CollisionResult)] == ["theta", "pairs"]
    a, b = CollisionResult(theta=np.zeros(3)), CollisionResult(theta=np.zeros(3))
    assert a.pairs == set() and a.pairs is not b.pairs      # a fresh set per instance
    assert a == b                                            # arrays compared by value
    assert a != CollisionResult(theta=np.array([0.0, 0.0, 1.0]))
    assert a != CollisionResult(theta=np.zeros(4))
    p = (("env", "wall"), ("link", "L3"))
    assert CollisionResult(np.zeros(3), {p}) == CollisionResult(np.zeros(3), {p})
    assert a != CollisionResult(np.zeros(3), {p})
    assert a != "not a result"


def test_collision_result_properties_split_pairs_by_kind():
    link = (("link", "A"), ("link", "B"))
    env = (("env", "wall"), ("link", "A"))
    env_env = (("env", "floor"), ("env", "wall"))
    r = CollisionResult(theta=np.zeros(2), pairs={link, env, env_env})
    assert r.link_pairs == {link}
    assert r.env_pairs == {env}
    assert r.in_collision
    only_env_env = CollisionResult(theta=np.zeros(2), pairs={env_env})
    assert only_env_env.in_collision and not only_env_env.link_pairs and not only_env_env.env_pairs
    assert not CollisionResult(theta=np.zeros(2)).in_collision


def test_collision_result_text():
    theta = np.array([0.0, 1.5])
    items = "0.0, 1.5"
    assert str(CollisionResult(theta=theta)) == f"CollisionResult(theta=[{items}], no collisions)"
    r = CollisionResult(theta=theta, pairs={(("link", "B"), ("link", "C")),
                                            (("env", "wall"), ("link", "B")),
                                            (("link", "A"), ("link", "C"))})
    assert str(r) == (f"CollisionResult(theta=[{items}]):\n"
                      "  env:wall <-> link:B\n"
                      "  link:A <-> link:C\n"
                      "  link:B <-> link:C")


# ----------------------------------------------------------------- construction and kinematics

def test_attributes_follow_the_capture(arm_cache):
    p = Pelmora.Pelmora(arm_cache.path)
    assert p.cache_dir == arm_cache.path
    assert p.link_names == [f"Link{k}" for k in range(7)]
    assert p.env_names == ["wall"]
    assert p.n_joints == 6
    expected = arm_cache.screws_stored.copy()
    expected[3:] *= 0.01
    np.testing.assert_array_equal(p.slist, expected)
    np.testing.assert_array_equal(p.joint_limits, arm_cache.limits)
    np.testing.assert_array_equal(np.stack(p.home_transforms), arm_cache.home)
    assert {frozenset(x) for x in p._adjacent_pairs} == {
        frozenset({("link", f"Link{k}"), ("link", f"Link{k + 1}")}) for k in range(6)}


@pytest.mark.parametrize("base_pose", [None, transform(rot_z(0.7), (0.5, -0.3, 0.2))])
def test_forward_kinematics_places_links_in_the_world(make_cache, base_pose):
    # With the base away from the origin the stored screws (base frame) must be
    # carried into the world frame, or every moving link lands in the wrong place.
    cache = make_cache(base_pose=base_pose)
    p = Pelmora.Pelmora(cache.path)
    for q in (np.zeros(6), Q_BENT, COLLIDING_Q):
        fk = p.forward_kinematics(q)
        assert list(fk) == p.link_names
        np.testing.assert_allclose(np.stack(list(fk.values())), cache.link_transforms(q), atol=1e-12)


def test_off_origin_base_collides_where_the_links_really_are(make_cache):
    cache = make_cache(base_pose=transform(rot_z(0.7), (0.5, -0.3, 0.2)), env=())
    rod_through_link(cache, 5, Q_BENT)
    p = Pelmora.Pelmora(cache.path)
    assert p.query(Q_BENT).pairs == {(("env", "rod"), ("link", "Link5"))}
    assert not p.query(Q_BENT + [np.pi, 0, 0, 0, 0, 0]).in_collision


def test_prismatic_joint_moves_in_metres(make_cache):
    cache = make_cache(n_joints=3, prismatic=1)
    p = Pelmora.Pelmora(cache.path)
    q = np.array([0.2, 5.0, -0.4])
    np.testing.assert_allclose(np.stack(list(p.forward_kinematics(q).values())),
                               cache.link_transforms(q), atol=1e-12)


def test_bad_captures_fail_with_clear_errors(make_cache):
    cache = make_cache()
    np.save(cache.path / "ScrewAxis.npy", cache.screws_stored[:, :5])
    with pytest.raises(ValueError, match=r"^expected one fewer joint than links \(base is fixed\), "
                                         r"got 5 joints and 7 links$"):
        Pelmora.Pelmora(cache.path)

    cache = make_cache()
    V, F = cache.link_meshes[2]
    np.savez(cache.path / "link_2.npz", V=V, F=np.where(F == 7, 8, F))
    with pytest.raises(ValueError, match="refers to vertex 8, but the mesh has 8 vertices"):
        Pelmora.Pelmora(cache.path)

    cache = make_cache()
    np.savez(cache.path / "link_2.npz", F=F)
    with pytest.raises(KeyError):
        Pelmora.Pelmora(cache.path)

    cache = make_cache()
    (cache.path / "env_wall.npz").unlink()
    with pytest.raises(FileNotFoundError):
        Pelmora.Pelmora(cache.path)

    # A mesh without triangles would take the process down inside FCL.
    for name in ("link_1.npz", "env_wall.npz"):
        cache = make_cache()
        np.savez(cache.path / name, V=np.zeros((0, 3)), F=np.zeros((0, 3), np.int64))
        with pytest.raises(ValueError, match=name + ": the mesh has no triangles"):
            Pelmora.Pelmora(cache.path)


def test_wrong_joint_vectors_are_refused(arm_cache):
    p = Pelmora.Pelmora(arm_cache.path)
    with pytest.raises(ValueError, match=r"^expected 6 joint angles, got \(5,\)$"):
        p.query(np.zeros(5))
    with pytest.raises(ValueError, match=r"^expected 6 joint angles, got \(1, 6\)$"):
        p.forward_kinematics(np.zeros((1, 6)))
    with pytest.raises(ValueError, match="finite"):
        p.query([0, np.nan, 0, 0, 0, 0])


# ----------------------------------------------------------------- queries

def test_link_touching_the_environment(arm_cache):
    p = Pelmora.Pelmora(arm_cache.path)
    free = p.query(np.zeros(6))
    assert free.pairs == set() and not free.in_collision
    assert str(free).endswith(", no collisions)")
    hit = p.query(COLLIDING_Q)
    assert hit.in_collision and hit.link_pairs == set()
    assert hit.env_pairs == hit.pairs
    assert (("env", "wall"), ("link", "Link3")) in hit.pairs
    assert isinstance(hit.theta, np.ndarray) and hit.theta.dtype == np.float64
    np.testing.assert_array_equal(hit.theta, COLLIDING_Q)
    # Poses left in the manager by one query never leak into the next.
    assert p.query(np.zeros(6)) == free and p.query(COLLIDING_Q) == hit


def test_adjacent_links_are_ignored_only_on_request(make_cache):
    cache = make_cache(env=())
    overlap_links(cache)
    adjacent = {pair(("link", f"Link{k}"), ("link", f"Link{k + 1}")) for k in range(6)}

    keep = Pelmora.Pelmora(cache.path, ignore_adjacent_links=False)
    assert keep._adjacent_pairs == set()
    assert keep.query(np.zeros(6)).link_pairs == adjacent
    assert Pelmora.Pelmora(cache.path).query(np.zeros(6)).pairs == set()

    # Folding the arm makes non-consecutive links touch: those are always reported.
    everything = keep.query(FOLDED).link_pairs
    ignoring = Pelmora.Pelmora(cache.path).query(FOLDED).link_pairs
    assert ignoring == everything - adjacent
    assert ignoring, "the folded arm should touch itself"


def test_environment_objects_touching_each_other(make_cache):
    cache = make_cache(env=(("table", (0.5, 0.5, 0.0), (0.9, 0.9, 0.3)),
                            ("box", (0.6, 0.6, 0.2), (0.7, 0.7, 0.5))))
    result = Pelmora.Pelmora(cache.path).query(np.zeros(6))
    assert result.pairs == {(("env", "box"), ("env", "table"))}
    assert result.in_collision and not result.link_pairs and not result.env_pairs


def test_scene_without_env_key(make_cache):
    cache = make_cache(env_key=False)
    overlap_links(cache)
    p = Pelmora.Pelmora(cache.path)
    assert p.env_names == []
    assert p.query(FOLDED).link_pairs and not p.query(FOLDED).env_pairs

    # Its command line says there is nothing to collide with, not just "no collisions".
    import contextlib
    import io
    err = io.StringIO()
    with contextlib.redirect_stderr(err), contextlib.redirect_stdout(io.StringIO()):
        Pelmora.main(["--cache-dir", str(cache.path)])
    assert "lists no environment bodies" in err.getvalue()


# ----------------------------------------------------------------- trajectories

def test_trajectory_check_reports_only_colliding_rows(make_cache):
    cache = make_cache()
    p = Pelmora.Pelmora(cache.path)
    clean = np.linspace(np.zeros(6), [0.5, -0.4, 0.3, 0.2, 0.1, 0.0], 12)
    assert p.query_trajectory(clean) == []

    through = np.linspace(np.zeros(6), COLLIDING_Q, 9)
    found = p.query_trajectory(through)
    rows = [i for i, _ in found]
    assert rows == [i for i in range(9) if p.query(through[i]).in_collision]
    assert rows and rows[-1] == 8
    for i, result in found:
        assert result == p.query(through[i])


def test_trajectory_check_reads_the_planned_file(make_cache):
    cache = make_cache(env=())
    overlap_links(cache)
    traj = np.stack([np.zeros(6), FOLDED / 2, FOLDED])
    np.save(cache.path / "JointAnglesToTravelAlong.npy", traj)
    p = Pelmora.Pelmora(cache.path)
    from_dir = p.query_trajectory(cache.path)
    assert [i for i, _ in from_dir] == [i for i in range(3) if p.query(traj[i]).in_collision]
    assert from_dir[-1][0] == 2 and from_dir[-1][1].link_pairs   # self-collision is caught
    assert p.query_trajectory(str(cache.path / "JointAnglesToTravelAlong.npy")) == from_dir
    with pytest.raises(ValueError, match=r"shape \(N, 6\)"):
        p.query_trajectory(np.zeros(6))
    with pytest.raises(FileNotFoundError):
        p.query_trajectory(cache.path / "missing.npy")
    assert p.query_trajectory(np.zeros((0, 6))) == []


# ----------------------------------------------------------------- script

def test_script_prints_the_query(arm_cache, monkeypatch, capsys):
    monkeypatch.setattr(Pelmora, "CACHE_DIR", arm_cache.path)
    Pelmora.main([])
    assert capsys.readouterr().out == str(CollisionResult(theta=np.zeros(6))) + "\n"
    Pelmora.main([str(x) for x in COLLIDING_Q])
    out = capsys.readouterr().out
    assert "env:wall <-> link:Link3" in out
    with pytest.raises(ValueError, match=r"^expected 6 joint angles, got \(2,\)$"):
        Pelmora.main(["-0.5", "1"])
    with pytest.raises(ValueError, match="could not convert string to float: 'x'"):
        Pelmora.main(["0", "x"])


def test_console_entry_reads_the_command_line(arm_cache):
    code = "import sys, Pelmora; sys.exit(Pelmora.main())"
    env = {"CELLPATH_CACHE_DIR": str(arm_cache.path)}
    import os
    run = subprocess.run([sys.executable, "-c", code, "0", "1.5707963267948966", "0", "0", "0", "0"],
                         capture_output=True, text=True, env={**os.environ, **env}, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith("CollisionResult(theta=[") and "link:Link3" in run.stdout


# ----------------------------------------------------------------- allowed pairs

PEDESTAL = ("pedestal", (-0.3, -0.3, -0.4), (0.3, 0.3, 0.001))   # the base stands 1 mm into it
BASE_ON_PEDESTAL = (("env", "pedestal"), ("link", "Link0"))


@pytest.fixture
def pedestal_cache(make_cache):
    from synthetic_cache import DEFAULT_ENV
    return make_cache(env=DEFAULT_ENV + (PEDESTAL,))


def test_a_base_on_its_pedestal_collides_everywhere_unless_allowed(pedestal_cache):
    plain = Pelmora.Pelmora(pedestal_cache.path)
    assert plain.allowed_pairs == set()
    assert plain.query(np.zeros(6)).pairs == {BASE_ON_PEDESTAL}
    assert BASE_ON_PEDESTAL in plain.query(COLLIDING_Q).pairs

    for allowed in ("base", ["base"], [BASE_ON_PEDESTAL], [BASE_ON_PEDESTAL[::-1]]):
        p = Pelmora.Pelmora(pedestal_cache.path, allowed_pairs=allowed)
        assert p.allowed_pairs == {BASE_ON_PEDESTAL}, allowed
        assert not p.query(np.zeros(6)).in_collision
        # Only the allowed pair goes: the arm still hits the wall.
        assert p.query(COLLIDING_Q).pairs == plain.query(COLLIDING_Q).pairs - {BASE_ON_PEDESTAL}

    traj = np.linspace(np.zeros(6), COLLIDING_Q, 7)
    rows = [i for i, _ in plain.query_trajectory(traj)]
    assert rows == list(range(7))
    hits = [i for i, r in enumerate(traj) if plain.query(r).pairs - {BASE_ON_PEDESTAL}]
    assert [i for i, _ in plain.query_trajectory(traj, allowed_pairs="base")] == hits
    assert [i for i, _ in Pelmora.Pelmora(pedestal_cache.path, allowed_pairs="base")
            .query_trajectory(traj)] == hits
    assert plain.query(np.zeros(6), allowed_pairs="base").pairs == set()
    assert plain.query(np.zeros(6)).pairs == {BASE_ON_PEDESTAL}   # per-call only


def test_base_allows_no_link_contacts_at_zero(make_cache):
    # Consecutive links overlapping (reported with ignore_adjacent_links off) and a
    # rod through link 3 at zero: neither is the base's contact with the environment.
    cache = make_cache(env=(PEDESTAL,))
    overlap_links(cache)
    rod_through_link(cache, 3, np.zeros(6))
    everything = Pelmora.Pelmora(cache.path, ignore_adjacent_links=False).query(np.zeros(6)).pairs
    assert BASE_ON_PEDESTAL in everything
    assert (("link", "Link0"), ("link", "Link1")) in everything
    assert (("env", "rod"), ("link", "Link3")) in everything
    p = Pelmora.Pelmora(cache.path, ignore_adjacent_links=False, allowed_pairs="base")
    assert p.allowed_pairs == {BASE_ON_PEDESTAL}
    assert p.query(np.zeros(6)).pairs == everything - {BASE_ON_PEDESTAL}

    rod = (("env", "rod"), ("link", "Link3"))
    both = Pelmora.Pelmora(cache.path, ignore_adjacent_links=False, allowed_pairs=["base", rod])
    assert both.allowed_pairs == {BASE_ON_PEDESTAL, rod}


def test_base_without_contacts_allows_nothing(arm_cache):
    p = Pelmora.Pelmora(arm_cache.path, allowed_pairs="base")
    assert p.allowed_pairs == set()
    assert p.query(COLLIDING_Q) == Pelmora.Pelmora(arm_cache.path).query(COLLIDING_Q)


def test_malformed_allowed_pairs_are_refused(arm_cache):
    wall3 = (("env", "wall"), ("link", "Link3"))
    bad = ["everything",                                     # a word other than "base"
           wall3,                                            # one pair, not a list of pairs
           [(("env", "wall"),)],                             # one object
           [(("env", "wal"), ("link", "Link3"))],            # no such object
           [(("link", "wall"), ("link", "Link3"))],          # wrong kind for the name
           [(("body", "wall"), ("link", "Link3"))],          # unknown kind
           [("env:wall", "link:Link3")],                     # the text form is for the command line
           3.5]
    for allowed in bad:
        with pytest.raises(ValueError, match="allowed_pairs"):
            Pelmora.Pelmora(arm_cache.path, allowed_pairs=allowed)
    p = Pelmora.Pelmora(arm_cache.path)
    with pytest.raises(ValueError, match="no object of this scene"):
        p.query_trajectory(np.zeros((2, 6)), allowed_pairs=[(("env", "x"), ("link", "Link3"))])
    # Of two unknown names in one pair, the first is the one reported, whatever the compiler.
    with pytest.raises(ValueError, match=r"names \('env', 'x'\), which is no object"):
        p.query(np.zeros(6), allowed_pairs=[(("env", "x"), ("link", "y"))])


def test_script_options(pedestal_cache, monkeypatch, capsys):
    monkeypatch.setattr(Pelmora, "CACHE_DIR", pedestal_cache.path)
    Pelmora.main([])
    assert "env:pedestal <-> link:Link0" in capsys.readouterr().out
    Pelmora.main(["--allow-base-contacts"])
    assert capsys.readouterr().out.endswith(", no collisions)\n")
    for spelled in (["--allow", "env:pedestal,link:Link0"], ["--allow=Link0,pedestal"]):
        Pelmora.main(spelled + [str(x) for x in COLLIDING_Q])
        out = capsys.readouterr().out
        assert "pedestal" not in out and "env:wall <-> link:Link3" in out
    Pelmora.main(["--allow", "pedestal,Link0", "--allow", "wall,Link2", "--allow", "wall,link:Link3",
                  "--", *[str(x) for x in COLLIDING_Q]])
    allowed = [BASE_ON_PEDESTAL, (("env", "wall"), ("link", "Link2")), (("env", "wall"), ("link", "Link3"))]
    expected = Pelmora.Pelmora(pedestal_cache.path, allowed_pairs=allowed).query(COLLIDING_Q)
    assert capsys.readouterr().out == str(expected) + "\n"
    assert "Link3" not in str(expected) and "Link4" in str(expected)
    # Negative angles in any spelling are still angles.
    with pytest.raises(ValueError, match=r"^expected 6 joint angles, got \(3,\)$"):
        Pelmora.main(["--allow-base-contacts", "-1e-3", "-inf", "-.5"])
    for wrong, says in ((["--allow", "nothing,Link0"], "no object is named 'nothing'"),
                        (["--allow", "Link0"], "two objects separated by a comma"),
                        (["--allow", "env:Link0,link:Link1"], "no object of this scene"),
                        (["--allow"], "expected one argument")):
        with pytest.raises(SystemExit) as stop:
            Pelmora.main(wrong)
        assert stop.value.code == 2
        assert says in capsys.readouterr().err


def test_script_help_prints_usage():
    run = subprocess.run([sys.executable, "-c", "import Pelmora; Pelmora.main()", "--help"],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith("usage: Pelmora")
    for word in ("--allow-base-contacts", "--allow A,B", "ANGLE"):
        assert word in run.stdout
