"""Lumbrel and Velquist: the cache viewer and the collision viewer, in real windows.

(Wendacor's windows are tested with the self-checks.)"""
import json

import numpy as np
import pytest

import Lumbrel
import Velquist
import Wendacor
from _windows import WindowGrabber, drop_display, nodes, x_display  # noqa: F401
from synthetic_cache import COLLIDING_Q, rot_z, transform

BASE_POSE = transform(rot_z(0.5), (0.05, -0.02, 0.0))
FLOOR = ("floor", (-1.0, -1.0, -0.05), (1.0, 1.0, 0.005))   # the base stands in it
WALL = ("wall", (0.35, -0.40, 0.00), (0.45, 0.40, 1.20))
HELP_EXAMPLE = "-1.5708,-0.7854,-1.5708,-3.927,-1.5708,0"


# ----------------------------------------------------------------- Lumbrel

def test_lumbrel_window_shows_the_capture(make_cache, monkeypatch, x_display):
    cache = make_cache(base_pose=BASE_POSE, env=(WALL, FLOOR))
    monkeypatch.setattr(Lumbrel, "CACHE_DIR", cache.path)
    with WindowGrabber() as grab:
        Lumbrel.main([])
    assert len(grab.scenes) == 1
    shown = nodes(grab.scenes[0])
    assert list(shown) == [f"Link{k}" for k in range(7)] + ["wall", "floor"]
    for k in range(7):
        T, rgba = shown[f"Link{k}"]
        np.testing.assert_allclose(T, cache.home[k], atol=1e-12)
        assert rgba == Lumbrel.LINK_COLOR
    for name in ("wall", "floor"):
        T, rgba = shown[name]
        np.testing.assert_array_equal(T, np.eye(4))
        assert rgba == Lumbrel.ENV_COLOR
    mesh = grab.scenes[0].geometry[grab.scenes[0].graph["Link3"][1]]
    np.testing.assert_array_equal(mesh.vertices, cache.link_meshes[3][0])


def test_cache_dir_option_wins_over_the_default(make_cache, monkeypatch, tmp_path, x_display):
    cache = make_cache(env=(WALL,))
    for module in (Lumbrel, Wendacor):
        monkeypatch.setattr(module, "CACHE_DIR", tmp_path / "not-this-one")
        with WindowGrabber() as grab:
            module.main(["--cache-dir", str(cache.path)])
        assert grab.scenes and all("wall" in nodes(scene) for scene in grab.scenes)
    assert Lumbrel.build_scene(json.loads((cache.path / "meta.json").read_text()), cache.path).geometry


def test_lumbrel_scene_variants(make_cache, monkeypatch):
    # A skipped link (gap in the indices) and a missing "env" key show what is there.
    cache = make_cache(gap_at=2, env_key=False)
    monkeypatch.setattr(Lumbrel, "CACHE_DIR", cache.path)
    meta = json.loads((cache.path / "meta.json").read_text())
    assert list(nodes(Lumbrel.build_scene(meta))) == ["Link0", "Link1", "Link3", "Link4", "Link5", "Link6"]
    assert len(Lumbrel.build_scene({"links": []}).geometry) == 0
    with pytest.raises(FileNotFoundError):
        Lumbrel.build_scene({"links": [{"index": 9, "name": "ghost", "home_transform": np.eye(4).tolist()}]})


def test_load_mesh_keeps_the_stored_arrays_and_rejects_broken_ones(tmp_path):
    V = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 1, 0], [5, 5, 5]], dtype=float)  # duplicate + unused
    F = np.array([[0, 1, 2], [0, 3, 1]])
    np.savez(tmp_path / "m.npz", V=V, F=F)
    for load in (Lumbrel.load_mesh, Velquist.load_mesh):
        mesh = load(tmp_path / "m.npz")
        np.testing.assert_array_equal(mesh.vertices, V)
        np.testing.assert_array_equal(mesh.faces, F)
    for bad, message in ((dict(V=V, F=F + 3), "refers to vertex 5"),
                         (dict(V=V[:, :2], F=F), r"shape \(n, 3\)"),
                         (dict(V=np.where(V == 5, np.nan, V), F=F), "NaN"),
                         (dict(V=V, F=F.astype(float)), "integer")):
        np.savez(tmp_path / "bad.npz", **bad)
        with pytest.raises(ValueError, match=message):
            Lumbrel.load_mesh(tmp_path / "bad.npz")


@pytest.mark.parametrize("module, argv", [(Lumbrel, []), (Velquist, ["--theta", "0,0,0,0,0,0"]),
                                          (Wendacor, [])])
def test_without_a_display_the_error_says_what_to_do(make_cache, monkeypatch, module, argv):
    cache = make_cache()
    drop_display(monkeypatch)
    monkeypatch.setattr(module, "CACHE_DIR", cache.path)
    with pytest.raises(RuntimeError, match=r"needs a display.*xvfb-run"):
        module.main(argv)


# ----------------------------------------------------------------- Velquist

def run_velquist(argv, capsys):
    with WindowGrabber() as grab:
        Velquist.main(argv)
    assert len(grab.scenes) == 1
    return capsys.readouterr().out.splitlines(), nodes(grab.scenes[0])


def test_velquist_typed_angles_as_in_its_help(make_cache, capsys, x_display):
    cache = make_cache(base_pose=BASE_POSE)
    lines, shown = run_velquist(["--cache-dir", str(cache.path), "--theta", HELP_EXAMPLE], capsys)
    theta = np.array([float(x) for x in HELP_EXAMPLE.split(",")])
    assert lines[0] == "Waypoint n/a"
    assert lines[1] == "  theta: " + np.array2string(theta, precision=3)
    assert lines[2].startswith("  colliding link indices (incl. expected base-mount contact at 0): [")
    for k in range(7):
        np.testing.assert_allclose(shown[f"Link{k}"][0], cache.link_transforms(theta)[k], atol=1e-12)

    lines, shown = run_velquist(["--cache-dir", str(cache.path), "--theta", "0,0,0,0,0,0"], capsys)
    for k in range(7):
        np.testing.assert_allclose(shown[f"Link{k}"][0], cache.home[k], atol=1e-12)


def test_velquist_colours_colliding_links_base_included(make_cache, capsys, x_display):
    cache = make_cache(env=(WALL, FLOOR))
    q = ",".join(str(x) for x in COLLIDING_Q)
    lines, shown = run_velquist(["--cache-dir", str(cache.path), f"--theta={q}"], capsys)
    hits = json.loads(lines[2].split(": ", 1)[1])
    assert 0 in hits and len(hits) > 1
    for k in range(7):
        expected = Velquist.HIT_COLOR if k in hits else Velquist.LINK_COLOR
        assert shown[f"Link{k}"][1] == expected
    assert shown["wall"][1] == Velquist.ENV_COLOR and shown["floor"][1] == Velquist.ENV_COLOR


def test_velquist_waypoint_from_the_planner(make_cache, capsys, x_display):
    cache = make_cache()
    np.savez(cache.path / "CollisionWaypoint.npz", index=np.int64(3), theta=np.array(COLLIDING_Q))
    lines, shown = run_velquist(["--cache-dir", str(cache.path)], capsys)
    assert lines[0] == "Waypoint 3"
    assert shown["Link3"][1] == Velquist.HIT_COLOR


def test_velquist_random_search_is_seeded(make_cache, capsys, x_display):
    cache = make_cache()
    argv = ["--cache-dir", str(cache.path), "--random", "--seed", "7"]
    first, shown = run_velquist(argv, capsys)
    assert first[0] == "Waypoint random"
    assert any(rgba == Velquist.HIT_COLOR for name, (T, rgba) in shown.items() if name != "Link0")
    again, _ = run_velquist(argv + ["--theta", "not,used"], capsys)   # --random wins over --theta
    assert again == first


def test_velquist_random_search_gives_up(make_cache):
    import Sallowmere
    cache = make_cache(env=(("far", (3.0, 3.0, 0.0), (3.2, 3.2, 0.2)),))
    handler = Sallowmere.RobotEnvironmentHandler(cache.path)
    with pytest.raises(RuntimeError) as err:
        Velquist.find_colliding_theta(handler, np.random.default_rng(0), max_attempts=25)
    assert str(err.value) == ("No colliding config found in 25 samples over theta in "
                              "(-3.141592653589793, 3.141592653589793).")


def test_velquist_bad_input(make_cache):
    cache = make_cache()
    base = ["--cache-dir", str(cache.path)]
    with pytest.raises(ValueError, match="--theta gives 7 joint angles, but the arm has 6 joints"):
        Velquist.main(base + ["--theta", "0,0,0,0,0,0,0"])
    with pytest.raises(ValueError, match="--theta gives 2 joint angles"):
        Velquist.main(base + ["--theta", "-1,2"])
    with pytest.raises(ValueError, match="could not convert string to float: 'abc'"):
        Velquist.main(base + ["--theta", "0,abc,0,0,0,0"])
    with pytest.raises(FileNotFoundError):
        Velquist.main(base)   # no CollisionWaypoint.npz
    with pytest.raises(SystemExit):
        Velquist.main(base + ["--theta"])
