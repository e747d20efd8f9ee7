"""Kestrune (FK attachment check) and Wendacor (collision scenarios)."""
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import Kestrune
import Lumbrel
import Pelmora
import Velquist
import Wendacor
from _windows import WindowGrabber, nodes, x_display  # noqa: F401
from synthetic_cache import rot_z, transform

FLOOR = ("floor", (-1.0, -1.0, -0.05), (1.0, 1.0, 0.005))
WALL = ("wall", (0.35, -0.40, 0.00), (0.45, 0.40, 1.20))
PI_RANGE = "(-3.141592653589793, 3.141592653589793)"


def with_joint_centres(cache):
    """Give every link mesh a vertex at the centre of its end faces, on the joint axes.

    The attachment check measures gaps between vertices; a bare box has none on
    the joint axis, so its corners drift apart under rotation even when the
    capture is consistent.  Real CAD meshes are dense enough near the joints.
    """
    for k, (V, F) in cache.link_meshes.items():
        c = V.mean(axis=0)
        V = np.vstack([V, [c[0], c[1], V[:, 2].min()], [c[0], c[1], V[:, 2].max()]])
        np.savez(cache.path / f"link_{k}.npz", V=V, F=F)
        cache.link_meshes[k] = (V, F)
    return cache


def test_default_cache_directories():
    if os.environ.get("CELLPATH_CACHE_DIR"):
        pytest.skip("CELLPATH_CACHE_DIR overrides the defaults")
    for module in (Pelmora, Lumbrel, Wendacor):
        assert module.CACHE_DIR == pathlib.Path(module.__file__).resolve().parent / "Cache"
    for module in (Velquist, Kestrune):
        assert module.CACHE_DIR == pathlib.Path(module.__file__).resolve().parents[2] / "cache"


# ----------------------------------------------------------------- Kestrune

def test_kestrune_passes_a_consistent_capture(make_cache, capsys):
    cache = with_joint_centres(make_cache(base_pose=transform(rot_z(0.5), (0.2, 0.1, 0.0))))
    Kestrune.main(["--cache-dir", str(cache.path)])
    assert capsys.readouterr().out == (
        "OK: theta=0 FK matches cached home transforms (max diff 0.00e+00).\n"
        "OK: adjacent link meshes stay attached (within 0.02 m of home gap) across 5 random configurations.\n"
        "\nAll FK attachment checks passed.\n")


def expected_first_tear(cache, screws_world):
    """(trial, i, theta) of the first detachment, recomputed with numpy from the ground truth."""
    from synthetic_cache import _exp6
    pts = [cache.link_meshes[i][0] for i in range(cache.n_links)]

    def poses(q):
        out, running = [cache.home[0]], np.eye(4)
        for j in range(cache.n_joints):
            running = running @ _exp6(screws_world[:, j], q[j])
            out.append(running @ cache.home[j + 1])
        return out

    def gaps(T):
        w = [p @ t[:3, :3].T + t[:3, 3] for p, t in zip(pts, T)]
        return [np.linalg.norm(w[i][:, None] - w[i + 1][None], axis=-1).min() for i in range(len(w) - 1)]

    home = gaps(cache.home)
    rng = np.random.default_rng(1)
    for trial in range(5):
        q = rng.uniform(-np.pi, np.pi, size=cache.n_joints)
        for i, g in enumerate(gaps(poses(q))):
            if not g < home[i] + 0.02:
                return trial, i, q, g, home[i]
    return None


def test_kestrune_detects_links_tearing_apart(make_cache, capsys):
    cache = with_joint_centres(make_cache())
    torn = cache.screws_stored.copy()
    torn[3:, 2] += 20.0            # joint 2's axis captured 20 cm away from where link 3 hangs
    np.save(cache.path / "ScrewAxis.npy", torn)
    world = torn.copy()
    world[3:] *= 0.01
    trial, i, q, gap, home_gap = expected_first_tear(cache, world)
    with pytest.raises(AssertionError) as err:
        Kestrune.main(["--cache-dir", str(cache.path)])
    assert str(err.value) == (
        f"trial {trial}, theta={np.array2string(q, precision=3)}: link {i}<->{i + 1} gap grew to "
        f"{gap:.4f} m (home gap {home_gap:.4f} m) -- links detached. This is the 'links tear apart' "
        "failure mode: home_transform and the screw list were captured at different reference configs.")
    out = capsys.readouterr().out
    assert out.startswith("OK: theta=0") and "attached" not in out
    with pytest.raises(AssertionError) as again:   # the same trials on every run
        Kestrune.test_mesh_connectivity_off_home(cache.path)
    assert str(again.value) == str(err.value)


class OffsetHandler:
    """A handler whose theta = 0 pose differs from the home pose by `offset` in one entry."""
    offset = 1e-6

    def __init__(self, cache_dir):
        self.initialTransforms = np.stack([np.eye(4)] * 3)

    def AcquireTransformsGivenq(self, theta):
        T = self.initialTransforms.copy()
        T[2, 0, 3] += self.offset
        return T


def test_kestrune_home_pose_tolerance_is_strict(monkeypatch, capsys):
    monkeypatch.setattr(Kestrune, "RobotEnvironmentHandler", OffsetHandler)
    with pytest.raises(AssertionError, match=r"^theta=0 FK does not match cached home transforms "
                                             r"\(max diff 1e-06\)$"):
        Kestrune.test_home_pose_unchanged("unused")
    monkeypatch.setattr(OffsetHandler, "offset", 9.99e-7)
    Kestrune.test_home_pose_unchanged("unused")
    assert capsys.readouterr().out == "OK: theta=0 FK matches cached home transforms (max diff 9.99e-07).\n"


def test_load_points_thins_large_meshes_reproducibly(tmp_path):
    V = np.random.default_rng(5).normal(size=(1500, 3))
    np.savez(tmp_path / "link_4.npz", V=V, F=np.zeros((0, 3), dtype=np.int64))
    pts = Kestrune.load_points(tmp_path, 4)
    expected = V[np.random.default_rng(0).choice(1500, size=1000, replace=False)]
    np.testing.assert_array_equal(pts, expected)
    np.testing.assert_array_equal(Kestrune.load_points(tmp_path, 4), pts)
    np.testing.assert_array_equal(Kestrune.load_points(tmp_path, 4, n=1500), V)   # small enough: whole
    assert len(Kestrune.load_points(tmp_path, 4, n=10, seed=3)) == 10


def test_min_gap_is_the_smallest_pairwise_distance():
    rng = np.random.default_rng(2)
    for na, nb in ((1, 1), (7, 300), (250, 40)):
        a, b = rng.normal(size=(na, 3)), rng.normal(size=(nb, 3)) + 0.5
        brute = np.sqrt(((a[:, None, :] - b[None, :, :]) ** 2).sum(-1)).min()
        assert Kestrune.min_gap(a, b) == brute
    assert isinstance(Kestrune.min_gap(a, b), float)
    with pytest.raises(ValueError):
        Kestrune.min_gap(np.zeros((0, 3)), b)
    with pytest.raises(ValueError, match=r"shape \(k, 3\)"):
        Kestrune.min_gap(np.zeros(3), b)


def test_kestrune_console_entry(make_cache):
    cache = with_joint_centres(make_cache(n_joints=3))
    run = subprocess.run([sys.executable, "-c", "import sys, Kestrune; sys.exit(Kestrune.main())",
                          "--cache-dir", str(cache.path)], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    assert run.stdout.endswith("\nAll FK attachment checks passed.\n")


# ----------------------------------------------------------------- Wendacor

def test_wendacor_shows_both_scenarios(make_cache, monkeypatch, capsys, x_display):
    cache = make_cache(env=(WALL,))
    monkeypatch.setattr(Wendacor, "CACHE_DIR", cache.path)
    with WindowGrabber() as grab:
        Wendacor.main([])
    out = capsys.readouterr().out.splitlines()
    assert out[0] == "" and out[1] == "Scenario 1: colliding configuration"
    assert out[3] == "  arm collision: True"
    assert out[5] == "" and out[6] == "Scenario 2: collision-free configuration"
    # The zero configuration is free, so it is the free scenario.
    assert out[7] == "  theta: [0. 0. 0. 0. 0. 0.]" and out[8] == "  arm collision: False"
    assert out[9] == "  colliding link indices (incl. expected base-mount contact at 0): []"

    assert len(grab.scenes) == 2
    hits = [int(x) for x in out[4].split(": ", 1)[1].strip("[]").split(",")]
    first, second = nodes(grab.scenes[0]), nodes(grab.scenes[1])
    for k in range(7):
        assert first[f"Link{k}"][1] == (Wendacor.HIT_COLOR if k in hits else Wendacor.LINK_COLOR)
        assert second[f"Link{k}"][1] == Wendacor.LINK_COLOR
        np.testing.assert_allclose(second[f"Link{k}"][0], cache.home[k], atol=1e-12)
    assert first["wall"][1] == Wendacor.ENV_COLOR

    with WindowGrabber():                       # the same scenarios on every run
        Wendacor.main([])
    assert capsys.readouterr().out.splitlines() == out


def test_wendacor_base_contact_alone_is_free(make_cache, monkeypatch, capsys, x_display):
    import Sallowmere
    cache = make_cache(env=(FLOOR,))
    monkeypatch.setattr(Wendacor, "CACHE_DIR", cache.path)
    handler = Sallowmere.RobotEnvironmentHandler(cache.path)
    meta = {"links": [{"index": k, "name": f"Link{k}"} for k in range(7)], "env": [{"name": "floor"}]}
    with WindowGrabber() as grab:
        Wendacor.render_scenario(handler, meta, np.zeros(6), "base only")
    assert capsys.readouterr().out.splitlines() == [
        "", "base only", "  theta: [0. 0. 0. 0. 0. 0.]", "  arm collision: False",
        "  colliding link indices (incl. expected base-mount contact at 0): [0]"]
    shown = nodes(grab.scenes[0])
    assert shown["Link0"][1] == Wendacor.HIT_COLOR and shown["Link1"][1] == Wendacor.LINK_COLOR


def test_wendacor_search_failures(make_cache, monkeypatch):
    import Sallowmere
    far = Sallowmere.RobotEnvironmentHandler(make_cache(env=(("far", (3, 3, 0), (3.2, 3.2, 0.2)),)).path)
    with pytest.raises(RuntimeError) as err:
        Wendacor.find_configs(far, 6)
    assert str(err.value) == f"No colliding configuration found in 2000 samples over theta in {PI_RANGE}."

    # An arm buried in a block collides everywhere.
    buried = Sallowmere.RobotEnvironmentHandler(make_cache(env=(("block", (-1.5, -1.5, 0.2), (1.5, 1.5, 1.5)),)).path)
    monkeypatch.setattr(Wendacor, "MAX_ATTEMPTS", 30)
    with pytest.raises(RuntimeError) as err:
        Wendacor.find_configs(buried, 6)
    assert str(err.value) == f"No collision-free configuration found in 30 samples over theta in {PI_RANGE}."
