"""Sallowmere: RobotEnvironmentHandler on synthetic capture caches."""
import io
import json
import os
import subprocess
import sys

import numpy as np
import pytest

import Gristane
import Sallowmere as S
import Tovik
import synthetic_cache as sc


class SmallPad(S.RobotEnvironmentHandler):
    """The handler with a 0.5 m pad: same behaviour, a far smaller grid."""

    def EnvironmentVoxelizer(self, link_payload, env_payload, pitch=0.01, bounds=None, pad=0.5):
        return super().EnvironmentVoxelizer(link_payload, env_payload, pitch, bounds, pad)


def test_module_exports_and_constants():
    assert S.SCREW_LINEAR_SCALE == 0.01
    for name in ("VoxelizeLink", "build_env_grid", "in_collision", "colliding_links"):
        assert getattr(S, name) is getattr(Gristane, name)
    assert S.forward_kinematics is Tovik.forward_kinematics and S.adjoint is Tovik.adjoint


def test_default_cache_dir_is_bound_when_the_class_is_defined(tmp_path):
    cache = sc.write_cache(tmp_path / "Cache", 2)
    env = dict(os.environ, CELLPATH_CACHE_DIR=str(cache.path))
    # Defaults work without arguments and ignore later changes of CACHE_DIR.
    code = ("import Sallowmere as S, pathlib, sys, numpy as np\n"
            "assert S.CACHE_DIR == pathlib.Path(sys.argv[1]), S.CACHE_DIR\n"
            "h = S.RobotEnvironmentHandler(S.CACHE_DIR)\n"
            "S.CACHE_DIR = pathlib.Path('/nonexistent')\n"
            "assert np.array_equal(h.AquireTransformsFromMeta(), h.initialTransforms)\n"
            "assert sorted(h.InitializeEnvironment()[0]) == sorted(h.linkmesh)\n")
    subprocess.run([sys.executable, "-c", code, str(cache.path)], env=env, check=True)


def test_construction_loads_everything(make_cache):
    cache = make_cache(base_pose=sc.transform(sc.rot_z(0.4), (1.0, -2.0, 0.25)))
    h = SmallPad(cache.path)
    assert h.cache == cache.path
    assert h.ScrewAxis == cache.path / "ScrewAxis.npy"
    assert sorted(h.linkmesh) == sorted([f"V_{i}" for i in range(7)] + [f"F_{i}" for i in range(7)])
    for i in range(7):
        np.testing.assert_array_equal(h.linkmesh[f"V_{i}"], cache.link_meshes[i][0])
        assert h.linkmesh[f"F_{i}"].dtype == np.int64
    assert sorted(h.envmesh) == ["F_0", "V_0"]
    assert len(h.link_points) == 7 and all(p.dtype == np.float64 and p.shape[1] == 3 for p in h.link_points)
    np.testing.assert_array_equal(h.link_points[3], Gristane.VoxelizeLink(*cache.link_meshes[3], 0.01))
    assert h.env_grid.dtype == np.bool_ and h.env_grid.ndim == 3 and h.env_grid.any()
    assert type(h.pitch) is float and h.pitch == 0.01
    np.testing.assert_array_equal(h.env_origin, np.array([0.35, -0.4, 0.0]) - 0.5)
    assert h.initialTransforms.dtype == np.float64
    np.testing.assert_array_equal(h.initialTransforms, cache.home)


def test_default_construction_uses_the_full_pad(arm_cache):
    h = S.RobotEnvironmentHandler(arm_cache.path)
    lo, hi = np.array([0.35, -0.4, 0.0]) - 5.0, np.array([0.45, 0.4, 1.2]) + 5.0
    np.testing.assert_array_equal(h.env_origin, lo)
    assert h.env_grid.shape == tuple(np.ceil((hi - lo) / 0.01).astype(int))


def test_archives_are_rewritten_with_identical_content(make_cache):
    cache = make_cache(env=sc.DEFAULT_ENV + (("shelf", (-0.5, 0.3, 0.4), (-0.2, 0.6, 0.45)),))
    SmallPad(cache.path)
    first = {}
    for name in ("LinkMeshes.npz", "env_meshes.npz"):
        with np.load(cache.path / name, allow_pickle=False) as d:
            first[name] = {k: d[k] for k in d.files}
    assert sorted(first["env_meshes.npz"]) == ["F_0", "F_1", "V_0", "V_1"]
    np.testing.assert_array_equal(first["env_meshes.npz"]["V_1"], cache.env_meshes[1][1])
    np.testing.assert_array_equal(first["LinkMeshes.npz"]["F_6"], cache.link_meshes[6][1])
    (cache.path / "LinkMeshes.npz").write_bytes(b"stale")
    SmallPad(cache.path)
    for name, before in first.items():
        with np.load(cache.path / name, allow_pickle=False) as d:
            assert d.files == list(before)
            assert all(np.array_equal(d[k], v) and d[k].dtype == v.dtype for k, v in before.items())
    leftovers = [p.name for p in cache.path.iterdir() if "tmp" in p.name]
    assert leftovers == []


@pytest.mark.parametrize("kwargs", [
    dict(),
    dict(base_pose=sc.transform(sc.rot_z(-1.1), (0.5, 0.25, -0.3))),
    dict(prismatic=2),
    dict(n_joints=1),
    dict(n_joints=3, prismatic=0),
])
def test_link_transforms_follow_the_screws(make_cache, kwargs):
    cache = make_cache(**kwargs)
    h = SmallPad(cache.path)
    n = cache.n_joints
    home = h.AcquireTransformsGivenq(np.zeros(n))
    assert home.shape == (n + 1, 4, 4) and home.dtype == np.float64
    assert np.array_equal(home, h.initialTransforms)
    rng = np.random.default_rng(4)
    for q in rng.uniform(-2.5, 2.5, (5, n)):
        got = h.AcquireTransformsGivenq(list(q))
        assert np.array_equal(got[0], h.initialTransforms[0])
        np.testing.assert_allclose(got, cache.link_transforms(q), rtol=0, atol=1e-12)


def test_screws_are_read_at_every_call_and_scaled_by_the_module_constant(make_cache, monkeypatch):
    cache = make_cache(n_joints=2, prismatic=1)
    h = SmallPad(cache.path)
    q = np.array([0.0, 10.0])   # 10 units along the prismatic screw (stored unit vector)
    before = h.AcquireTransformsGivenq(q)
    np.testing.assert_allclose(before[2, :3, 3] - h.initialTransforms[2, :3, 3], [0, 0, 0.1], atol=1e-15)
    monkeypatch.setattr(S, "SCREW_LINEAR_SCALE", 0.02)
    np.testing.assert_allclose(h.AcquireTransformsGivenq(q)[2, :3, 3] - h.initialTransforms[2, :3, 3],
                               [0, 0, 0.2], atol=1e-15)
    monkeypatch.setattr(S, "SCREW_LINEAR_SCALE", 0.01)
    screws = np.load(cache.path / "ScrewAxis.npy")
    screws[5, 1] = -1.0
    np.save(cache.path / "ScrewAxis.npy", screws)
    np.testing.assert_allclose(h.AcquireTransformsGivenq(q)[2, :3, 3] - h.initialTransforms[2, :3, 3],
                               [0, 0, -0.1], atol=1e-15)


def test_collision_check_prints_and_ignores_the_base(make_cache, capsys):
    cache = make_cache(env=sc.DEFAULT_ENV + (("plinth", (-0.2, -0.2, -0.1), (0.2, 0.2, 0.05)),))
    h = SmallPad(cache.path)
    assert h.RunCollisionCheckGivenq(np.array(sc.FREE_Q)) is False
    assert capsys.readouterr().out == "colliding link indices: []\n"   # the base sits in the plinth
    assert h.RunCollisionCheckGivenq(list(sc.COLLIDING_Q)) is True
    out = capsys.readouterr().out
    assert out.startswith("colliding link indices: [") and out.endswith("]\n") and out != "colliding link indices: []\n"
    T = h.AcquireTransformsGivenq(sc.COLLIDING_Q)
    hits = Gristane.colliding_links(h.link_points, T, h.env_grid, h.env_origin, h.pitch)
    assert hits[0] == 0 and out == f"colliding link indices: {hits[1:]}\n"


def test_meta_links_out_of_order(make_cache):
    cache = make_cache(n_joints=4, link_order=[3, 0, 4, 2, 1])
    h = SmallPad(cache.path)
    np.testing.assert_array_equal(h.initialTransforms, cache.home)
    np.testing.assert_array_equal(h.link_points[3], Gristane.VoxelizeLink(*cache.link_meshes[3], 0.01))


@pytest.mark.parametrize("kwargs", [dict(env=()), dict(env_key=False)])
def test_no_environment_bodies(make_cache, kwargs):
    cache = make_cache(n_joints=2, **kwargs)
    other = SmallPad(make_cache(n_joints=1).path)
    links, envs = other.InitializeEnvironment(cache.path)
    assert envs == {} and len(links) == 6
    with np.load(cache.path / "env_meshes.npz") as d:
        assert d.files == []
    # Planned in free space: a grid without an occupied cell.
    h = S.RobotEnvironmentHandler(cache.path)
    assert not np.asarray(h.env_grid).any()
    assert not h.RunCollisionCheckGivenq(np.zeros(2))


def test_gap_in_link_indices_is_a_key_error(make_cache):
    cache = make_cache(n_joints=3, gap_at=2)
    with pytest.raises(KeyError, match="V_2"):
        SmallPad(cache.path)


def _npy_bytes(a):
    buf = io.BytesIO()
    np.save(buf, a)
    return buf.getvalue()


def _edit_meta(path, change):
    meta = json.loads((path / "meta.json").read_text())
    change(meta)
    (path / "meta.json").write_text(json.dumps(meta))


@pytest.mark.parametrize("breakage, exc", [
    (lambda p: (p / "meta.json").unlink(), FileNotFoundError),
    (lambda p: (p / "meta.json").write_text("{not json"), ValueError),
    (lambda p: (p / "meta.json").write_text("[1, 2]"), ValueError),
    (lambda p: _edit_meta(p, lambda m: m.pop("links")), KeyError),
    (lambda p: _edit_meta(p, lambda m: m["links"][1].pop("index")), KeyError),
    (lambda p: _edit_meta(p, lambda m: m["links"].append(dict(m["links"][1]))), ValueError),   # duplicate index
    (lambda p: _edit_meta(p, lambda m: m["links"][1].update(home_transform=[[1, 0], [0, 1]])), ValueError),
    (lambda p: _edit_meta(p, lambda m: m["links"][1]["home_transform"][0].__setitem__(0, "x")), ValueError),
    (lambda p: (p / "link_1.npz").unlink(), FileNotFoundError),
    (lambda p: (p / "env_wall.npz").unlink(), FileNotFoundError),
    (lambda p: np.savez(p / "link_1.npz", V=np.zeros((3, 3))), KeyError),
    (lambda p: np.savez(p / "link_1.npz", V=np.zeros((3, 2)), F=np.zeros((1, 3), np.int64)), ValueError),
    (lambda p: np.savez(p / "link_1.npz", V=np.eye(3), F=np.array([[0, 1, 7]])), IndexError),
    (lambda p: np.savez(p / "env_wall.npz", V=np.full((3, 3), np.nan), F=np.array([[0, 1, 2]])), ValueError),
    (lambda p: (p / "link_1.npz").write_bytes(_npy_bytes(np.zeros(3))), ValueError),  # not an archive
])
def test_broken_caches_raise(make_cache, breakage, exc):
    cache = make_cache(n_joints=2)
    breakage(cache.path)
    with pytest.raises(exc):
        SmallPad(cache.path)


@pytest.mark.skipif(os.name != "posix" or os.geteuid() == 0, reason="root may write anywhere")
def test_read_only_cache_directory(make_cache):
    cache = make_cache(n_joints=1)
    cache.path.chmod(0o555)
    try:
        with pytest.raises(PermissionError):
            SmallPad(cache.path)
    finally:
        cache.path.chmod(0o755)


def test_bad_joint_vectors_and_screw_files(make_cache):
    cache = make_cache(n_joints=3)
    h = SmallPad(cache.path)
    for theta in (np.zeros(2), np.zeros(4), np.zeros((1, 3)), 0.0, [0, np.nan, 0], [0, np.inf, 0]):
        with pytest.raises(ValueError):
            h.AcquireTransformsGivenq(theta)
        with pytest.raises(ValueError):
            h.RunCollisionCheckGivenq(theta)
    with pytest.raises(ValueError):
        h.AcquireTransformsGivenq(["a", "b", "c"])
    np.save(cache.path / "ScrewAxis.npy", np.zeros((6, 2)))
    with pytest.raises(ValueError):
        h.AcquireTransformsGivenq(np.zeros(3))
    np.save(cache.path / "ScrewAxis.npy", np.full((6, 3), np.nan))
    with pytest.raises(ValueError):
        h.AcquireTransformsGivenq(np.zeros(3))
    (cache.path / "ScrewAxis.npy").unlink()
    with pytest.raises(FileNotFoundError):
        h.AcquireTransformsGivenq(np.zeros(3))


def test_handlers_built_in_threads_match_one_built_alone(make_cache):
    # The native steps run without the interpreter, so two constructions on
    # one cache overlap, down to rewriting the same two archives.
    import threading
    cache = make_cache(n_joints=3)
    alone = SmallPad(cache.path)
    built, errors = [None, None], []

    def build(k):
        try:
            built[k] = SmallPad(cache.path)
        except Exception as e:  # noqa: BLE001  (reported below)
            errors.append(e)

    threads = [threading.Thread(target=build, args=(k,)) for k in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    q = np.array([0.3, -0.7, 1.1])
    for h in built:
        assert all(np.array_equal(a, b) for a, b in zip(h.link_points, alone.link_points))
        assert np.array_equal(h.env_grid, alone.env_grid) and np.array_equal(h.env_origin, alone.env_origin)
        assert np.array_equal(h.AcquireTransformsGivenq(q), alone.AcquireTransformsGivenq(q))
    assert [p.name for p in cache.path.iterdir() if "tmp" in p.name] == []
