"""Gristane: environment grid, collision queries and voxel cache file, checked
against literal numpy implementations of the same rules."""
import os
import sys
import types

import numpy as np
import pytest
import trimesh
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import Gristane as G
import synthetic_cache as sc

from numpy_grid import ref_build_env_grid  # noqa: E402


# --- literal numpy versions of the rules ------------------------------------

def _link_hit(pts, T, env_grid, env_origin, inv_pitch):
    gx, gy, gz = env_grid.shape
    pw = pts @ T[:3, :3].T + T[:3, 3]
    with np.errstate(invalid="ignore"):
        idx = np.floor((pw - env_origin) * inv_pitch)
        # Only in-range values are cast: numpy's cast of NaN or huge floats is undefined.
        m = ((idx[:, 0] >= 0) & (idx[:, 0] < gx) & (idx[:, 1] >= 0) & (idx[:, 1] < gy)
             & (idx[:, 2] >= 0) & (idx[:, 2] < gz))
    idx = idx[m].astype(np.int64)
    return idx.size > 0 and bool(env_grid[idx[:, 0], idx[:, 1], idx[:, 2]].any())


def ref_colliding_links(link_points_local, T_world_link, env_grid, env_origin, pitch):
    inv = 1.0 / pitch
    return [i for i, (pts, T) in enumerate(zip(link_points_local, T_world_link))
            if _link_hit(np.asarray(pts, dtype=float), np.asarray(T, dtype=float), env_grid, env_origin, inv)]


def box(lo, hi):
    return trimesh.Trimesh(*sc.box_mesh(lo, hi), process=False)


# --- VoxelizeLink at the boundary ---------------------------------------------

def test_voxelize_link_fills_a_box_and_returns_float64_points():
    V, F = sc.box_mesh((0, 0, 0), (0.3, 0.3, 0.25))
    pts = G.VoxelizeLink(V, F, 0.05)
    assert pts.dtype == np.float64 and pts.ndim == 2 and pts.shape[1] == 3
    ref = np.asarray(trimesh.Trimesh(V, F, process=False).voxelized(pitch=0.05).fill().points)
    np.testing.assert_allclose(pts, ref, rtol=0, atol=1e-12)
    inner = (pts > 0.06).all(axis=1) & (pts < np.array([0.24, 0.24, 0.19])).all(axis=1)
    assert inner.any()  # interior voxels, not just the skin
    # Keywords, lists and integer faces of other widths are accepted.
    again = G.VoxelizeLink(vertices=V.tolist(), faces=F.astype(np.uint16), pitch=0.05)
    np.testing.assert_array_equal(again, pts)


@pytest.mark.parametrize("vertices, faces, pitch, exc", [
    (np.zeros((3, 2)), [[0, 1, 2]], 0.1, ValueError),             # not (n, 3)
    (np.zeros((3, 3, 1)), [[0, 1, 2]], 0.1, ValueError),
    ([[0, 0, 0], [1, 0]], [[0, 1, 2]], 0.1, ValueError),           # ragged
    (np.eye(3), [[0, 1, 3]], 0.1, IndexError),                     # index out of range
    (np.eye(3), [[0, -1, 2]], 0.1, IndexError),
    (np.eye(3), np.array([[0, 1, 2**63]], dtype=np.uint64), 0.1, IndexError),
    (np.eye(3), [[0.0, 1.0, 2.0]], 0.1, ValueError),               # float indices
    (np.eye(3), [[0, 1]], 0.1, ValueError),
    (np.eye(3), np.zeros((0, 3), dtype=np.int64), 0.1, ValueError),  # nothing to voxelize
    ([[0, 0, np.nan], [1, 0, 0], [0, 1, 0]], [[0, 1, 2]], 0.1, ValueError),
    ([[0, 0, np.inf], [1, 0, 0], [0, 1, 0]], [[0, 1, 2]], 0.1, ValueError),
    (np.eye(3), [[0, 1, 2]], 0.0, ValueError),
    (np.eye(3), [[0, 1, 2]], -0.1, ValueError),
    (np.eye(3), [[0, 1, 2]], float("nan"), ValueError),
    (np.eye(3), [[0, 1, 2]], float("inf"), ValueError),
    ([["a", "b", "c"]] * 3, [[0, 1, 2]], 0.1, ValueError),
])
def test_voxelize_link_rejects_bad_input(vertices, faces, pitch, exc):
    with pytest.raises(exc):
        G.VoxelizeLink(vertices, faces, pitch)


def test_a_face_index_outside_the_mesh_is_the_shared_mesh_index_error(tmp_path):
    V, F = np.eye(3), np.array([[0, 1, 3]])
    np.savez(tmp_path / "bad.npz", V=V, F=F)
    try:
        import Lumbrel
        Lumbrel.load_mesh(tmp_path / "bad.npz")
    except IndexError as e:
        shared = type(e)
    assert shared is not IndexError and issubclass(shared, ValueError)
    mesh = types.SimpleNamespace(vertices=V, faces=F, bounds=np.array([[0.0] * 3, [1.0] * 3]))
    for call in (lambda: G.VoxelizeLink(V, F, 0.1),
                 lambda: G.build_env_grid([mesh], 0.1),
                 lambda: G.EnvironmentDistance([(V, F)])):
        with pytest.raises(shared, match="refer to vertex 3 but there are only 3 vertices"):
            call()


@settings(max_examples=120, deadline=None)
@given(
    vertices=hnp.arrays(hnp.floating_dtypes() | hnp.integer_dtypes(), hnp.array_shapes(min_dims=0, max_dims=3, max_side=6),
                        elements={"min_value": -1, "max_value": 1}) |
             hnp.arrays(np.float64, st.tuples(st.integers(0, 6), st.just(3)),
                        elements=st.floats(allow_nan=True, allow_infinity=True)),
    faces=hnp.arrays(hnp.integer_dtypes() | hnp.floating_dtypes() | st.just(np.dtype(bool)),
                     hnp.array_shapes(min_dims=0, max_dims=3, max_side=6), elements={"min_value": -2, "max_value": 7}),
    pitch=st.floats(0.05, 1.0) | st.sampled_from([0.0, -0.1, np.nan, np.inf]),
)
def test_voxelize_link_random_input_raises_or_gives_points(vertices, faces, pitch):
    try:
        pts = G.VoxelizeLink(vertices, faces, pitch)
    except (ValueError, IndexError, TypeError):
        return
    assert pts.dtype == np.float64 and pts.ndim == 2 and pts.shape[1] == 3
    assert np.isfinite(pts).all()


@settings(max_examples=80, deadline=None)
@given(
    lo=hnp.arrays(np.float64, st.integers(0, 4), elements=st.floats(-3, 3) | st.sampled_from([np.nan, np.inf])),
    hi=hnp.arrays(np.float64, st.integers(0, 4), elements=st.floats(-3, 3) | st.sampled_from([np.nan, -np.inf])),
    pitch=st.floats(0.05, 2.0) | st.sampled_from([0.0, -1.0, np.nan, 1e-300]),
    pad=st.floats(-2, 2) | st.sampled_from([np.nan, np.inf]),
    use_bounds=st.booleans(),
)
def test_build_env_grid_random_extents_raise_or_match_numpy(lo, hi, pitch, pad, use_bounds):
    meshes = [box((0.1, 0.2, 0.3), (0.6, 0.4, 0.9))]
    bounds = (lo, hi) if use_bounds else None
    try:
        grid, origin, p = G.build_env_grid(meshes, pitch, bounds=bounds, pad=pad)
    except ValueError:
        return
    ref, rlo, rp = ref_build_env_grid(meshes, pitch, bounds, pad)
    assert grid.shape == ref.shape and np.array_equal(grid, ref)
    np.testing.assert_array_equal(origin, rlo)


# --- build_env_grid -----------------------------------------------------------

def test_grid_shape_and_origin_follow_the_extent():
    unit = box((0, 0, 0), (1, 1, 1))
    grid, lo, pitch = G.build_env_grid([unit], 0.5, pad=0)
    assert grid.shape == (2, 2, 2) and grid.dtype == np.bool_ and grid.all()
    np.testing.assert_array_equal(lo, [0, 0, 0])
    grid, lo, pitch = G.build_env_grid([unit], 0.5)
    assert grid.shape == (22, 22, 22)
    np.testing.assert_array_equal(lo, [-5, -5, -5])
    assert type(pitch) is float
    # An extent of exactly three pitches has three cells, not four.
    grid, _, pitch = G.build_env_grid([box((0, 0, 0), (0.75, 0.5, 0.25))], 0.25, pad=0)
    assert grid.shape == (3, 2, 1)
    assert G.build_env_grid([unit], 1, pad=0)[2] == 1.0 and type(G.build_env_grid([unit], 1, pad=0)[2]) is float


@pytest.mark.parametrize("pitch, bounds, pad", [
    (0.05, None, 0.3),
    (0.03, None, 0.0),
    (0.07, None, 0.11),
    (0.05, ((0.0, -0.1, 0.0), (0.5, 0.1, 0.3)), 7.0),   # bounds cut through the meshes; pad ignored
    (0.1, ((-2.0, -2.0, -2.0), (2.0, 2.0, 2.0)), 0.0),
])
def test_grid_matches_numpy_reference(pitch, bounds, pad):
    b = box((0.25, -0.1, -0.05), (0.55, 0.1, 0.45))
    s = trimesh.creation.icosphere(subdivisions=2, radius=0.12)
    s.apply_translation((-0.3, 0.1, 0.31))
    r = trimesh.creation.box((0.2, 0.1, 0.3))
    r.apply_transform(trimesh.transformations.rotation_matrix(0.6, (1, 2, 3)))
    r.apply_translation((0.0, 0.4, 0.0))
    meshes = [trimesh.Trimesh(m.vertices, m.faces, process=False) for m in (b, s, r)]
    grid, lo, p = G.build_env_grid(meshes, pitch, bounds=bounds, pad=pad)
    rgrid, rlo, rp = ref_build_env_grid(meshes, pitch, bounds, pad)
    assert grid.shape == rgrid.shape
    np.testing.assert_array_equal(lo, rlo)
    assert np.array_equal(grid, rgrid) and grid.any()
    assert p == rp


def test_grid_accepts_any_object_with_vertices_faces_and_bounds():
    class Mesh:
        def __init__(self, lo, hi):
            self.vertices, self.faces = sc.box_mesh(lo, hi)
            self.bounds = np.array([lo, hi], dtype=float)

    duck = [Mesh((0, 0, 0), (1, 1, 1)), Mesh((2.2, 0, 0), (3.2, 1, 1))]
    grid, lo, _ = G.build_env_grid(duck, 0.5, pad=0.25)
    ref, rlo, _ = ref_build_env_grid([box(m.bounds[0], m.bounds[1]) for m in duck], 0.5, pad=0.25)
    assert grid.shape == (8, 3, 3) and np.array_equal(grid, ref) and np.array_equal(lo, rlo)
    assert grid[1].any() and not grid[3].any() and grid[6].any()


def test_grid_with_bounds_and_no_meshes_is_empty():
    grid, lo, _ = G.build_env_grid([], 0.5, bounds=([0, 0, 0], [1, 1.5, 1]))
    assert grid.shape == (2, 3, 2) and not grid.any()


def test_no_environment_bodies_is_a_clear_error():
    with pytest.raises(ValueError, match="no environment bodies"):
        G.build_env_grid([], 0.01)


@pytest.mark.parametrize("kwargs", [
    dict(pitch=0.0), dict(pitch=-1.0), dict(pitch=float("nan")),
    dict(pitch=0.5, pad=float("nan")), dict(pitch=0.5, pad=float("inf")),
    dict(pitch=0.5, pad=-2.0),                                     # upper bound below lower bound
    dict(pitch=1e-12),                                             # absurdly many cells
    dict(pitch=0.5, bounds=([0, 0, 0], [np.inf, 1, 1])),
    dict(pitch=0.5, bounds=([0, 0, np.nan], [1, 1, 1])),
    dict(pitch=0.5, bounds=([0, 0], [1, 1])),
    dict(pitch=0.5, bounds=([0, 0, 0],)),
])
def test_grid_rejects_bad_arguments(kwargs):
    with pytest.raises(ValueError):
        G.build_env_grid([box((0, 0, 0), (1, 1, 1))], **kwargs)


def test_grid_rejects_malformed_meshes():
    class Bad:
        vertices = np.zeros((3, 3))
        faces = np.array([[0, 1, 5]])
        bounds = np.zeros((2, 3))
    with pytest.raises(IndexError):
        G.build_env_grid([Bad()], 0.5)
    with pytest.raises(AttributeError):
        G.build_env_grid([object()], 0.5)
    empty = trimesh.Trimesh(np.zeros((0, 3)), np.zeros((0, 3), dtype=np.int64), process=False)
    with pytest.raises(ValueError):
        G.build_env_grid([empty], 0.5)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_a_billion_cell_grid_commits_only_the_occupied_pages():
    def rss():
        with open("/proc/self/statm") as fh:
            return int(fh.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    before = rss()
    grid, lo, _ = G.build_env_grid([box((0, 0, 0), (0.5, 0.5, 0.5))], 0.01)  # default 5 m pad
    assert grid.size > 1_000_000_000
    assert rss() - before < 150e6
    idx = np.floor((np.array([0.25, 0.25, 0.25]) - lo) / 0.01).astype(int)
    assert grid[tuple(idx)]


# --- in_collision / colliding_links ---------------------------------------------

@pytest.fixture(scope="module")
def arm_model(tmp_path_factory):
    """Synthetic six-joint arm at pitch 0.02 in a grid with a small pad."""
    cache = sc.write_cache(tmp_path_factory.mktemp("arm") / "C",
                           env=(("wall", (0.35, -0.4, 0.0), (0.45, 0.4, 1.2)),
                                ("post", (-0.3, 0.2, 0.0), (-0.2, 0.3, 0.6))))
    pitch = 0.02
    pts = [G.VoxelizeLink(*cache.link_meshes[k], pitch) for k in range(cache.n_links)]
    env = [box(V.min(0), V.max(0)) for _, V, _ in cache.env_meshes]
    grid, lo, pitch = G.build_env_grid(env, pitch, pad=0.8)
    return cache, pts, grid, lo, pitch


def test_queries_match_numpy_on_random_configurations(arm_model):
    cache, pts, grid, lo, pitch = arm_model
    rng = np.random.default_rng(7)
    seen = set()
    for q in rng.uniform(-np.pi, np.pi, (150, 6)):
        T = cache.link_transforms(q)
        expect = ref_colliding_links(pts, T, grid, lo, pitch)
        assert G.colliding_links(pts, T, grid, lo, pitch) == expect
        assert G.in_collision(pts, T, grid, lo, pitch) == bool(expect)
        assert G.in_collision(pts, list(T), grid, lo, pitch) == bool(expect)
        seen.add(bool(expect))
    assert seen == {True, False}


def test_only_some_links_touching_are_listed(arm_model):
    cache, pts, grid, lo, pitch = arm_model
    T = [np.eye(4) for _ in pts]
    far = np.eye(4)
    far[:3, 3] = (50.0, 0, 0)
    wall_centre = np.eye(4)
    wall_centre[:3, 3] = (0.4, 0.0, 0.6)
    T = [far, far, wall_centre, far, wall_centre, far, far]
    assert G.colliding_links(pts, T, grid, lo, pitch) == [2, 4]
    assert G.in_collision(pts, T, grid, lo, pitch) is True
    assert G.in_collision(pts[:2], T, grid, lo, pitch) is False


def test_pairing_stops_at_the_shorter_sequence(arm_model):
    cache, pts, grid, lo, pitch = arm_model
    T = cache.link_transforms(sc.COLLIDING_Q)
    hits = G.colliding_links(pts, T, grid, lo, pitch)
    assert hits and max(hits) >= 2
    assert G.colliding_links(pts[:2], T, grid, lo, pitch) == [h for h in hits if h < 2]
    assert G.colliding_links(pts, T[:2], grid, lo, pitch) == [h for h in hits if h < 2]
    extra = list(T) + [np.full((3, 3), np.nan)]   # ignored, never read
    assert G.colliding_links(pts, extra, grid, lo, pitch) == hits
    assert G.in_collision([], T, grid, lo, pitch) is False
    assert G.in_collision(pts, [], grid, lo, pitch) is False
    assert G.colliding_links([], [], grid, lo, pitch) == []
    assert G.colliding_links(pts, np.zeros((0, 4, 4)), grid, lo, pitch) == []


def test_cell_faces_and_grid_edges():
    # pitch 0.5, origin 0, 4 x 3 x 2 cells; only the corner cells are set.
    grid = np.zeros((4, 3, 2), dtype=bool)
    grid[0, 0, 0] = grid[3, 2, 1] = True
    origin = np.zeros(3)
    I = np.eye(4)

    def hit(p, g=grid, o=origin, pitch=0.5):
        return G.in_collision([np.array([p], dtype=float)], [I], g, o, pitch)

    assert hit((0.25, 0.25, 0.25))              # centre of cell (0, 0, 0)
    assert hit((0.0, 0.0, 0.0))                 # lower face belongs to the cell
    assert not hit((0.5, 0.0, 0.0))             # lower face of cell (1, 0, 0)
    assert not hit((-1e-9, 0.0, 0.0))           # just outside
    assert hit((1.5, 1.0, 0.5))                 # lower corner of cell (3, 2, 1)
    assert hit((1.9999999, 1.4999999, 0.9999999))
    assert not hit((2.0, 1.25, 0.75))           # x = 0.5 * gx is outside
    assert not hit((1.75, 1.5, 0.75))
    assert not hit((1.75, 1.25, 1.0))
    for bad in (np.nan, np.inf, -np.inf, 1e300, -1e300, 2.0**63, 9.3e18):
        assert not hit((bad, 0.1, 0.1)) and not hit((0.1, bad, 0.1)) and not hit((0.1, 0.1, bad))
    full = np.ones((4, 3, 2), dtype=bool)
    assert not hit((np.nan, np.nan, np.nan), g=full)
    # A non-finite transform poses every point outside.
    T = np.full((4, 4), np.nan)
    assert G.in_collision([np.zeros((5, 3))], [T], full, origin, 0.5) is False


def test_points_on_faces_agree_with_numpy_under_both_code_paths():
    # Lattice points exactly on cell faces, posed by axis permutations and
    # sign flips (exact in floating point); a sparse random grid.
    rng = np.random.default_rng(3)
    pitch = 0.25
    grid = rng.random((9, 7, 8)) < 0.05
    origin = np.array([-1.0, -0.75, -1.25])
    lattice = np.stack(np.meshgrid(*[np.arange(-6, 7) * 0.125] * 3, indexing="ij"), -1).reshape(-1, 3)
    for _ in range(60):
        P = np.eye(3)[rng.permutation(3)] * rng.choice([-1.0, 1.0], 3)
        T = np.eye(4)
        T[:3, :3] = P
        T[:3, 3] = rng.integers(-8, 8, 3) * 0.125
        sub = lattice[rng.random(len(lattice)) < rng.choice([0.02, 0.5, 1.0])]
        strided = np.asfortranarray(sub)           # not C-contiguous: the plain loop
        expect = ref_colliding_links([sub], [T], grid, origin, pitch)
        assert G.colliding_links([sub], [T], grid, origin, pitch) == expect
        assert G.colliding_links([strided], [T], grid, origin, pitch) == expect
        assert G.colliding_links([sub[:3]], [T], grid, origin, pitch) == \
            ref_colliding_links([sub[:3]], [T], grid, origin, pitch)


def test_small_links_posed_around_a_single_occupied_cell():
    # Small links next to one occupied cell: most poses are decided without
    # posing every point, and those decisions must agree with the point test.
    grid = np.zeros((12, 12, 12), dtype=bool)
    grid[6, 5, 7] = True
    origin = np.array([-0.3, 0.2, -0.1])
    pitch = 0.1
    cell_lo = origin + pitch * np.array([6, 5, 7])
    cube = np.stack(np.meshgrid(*[np.arange(3) * 0.1 - 0.1] * 3, indexing="ij"), -1).reshape(-1, 3)
    rod = np.column_stack([np.arange(9) * 0.05, np.zeros(9), np.zeros(9)])
    rng = np.random.default_rng(2)
    outcomes = set()
    for _ in range(400):
        T = np.eye(4)
        T[:3, :3] = trimesh.transformations.random_rotation_matrix(rng.random(3))[:3, :3]
        T[:3, 3] = cell_lo + rng.uniform(-0.35, 0.45, 3)
        for pts in (cube, rod, np.asfortranarray(cube)):
            expect = ref_colliding_links([pts], [T], grid, origin, pitch)
            assert G.colliding_links([pts], [T], grid, origin, pitch) == expect
            outcomes.add(bool(expect))
    assert outcomes == {True, False}


def test_grid_is_read_in_place_through_its_strides():
    rng = np.random.default_rng(11)
    base = rng.random((20, 16, 12)) < 0.02
    origin = np.array([0.1, -0.2, 0.3])
    pitch = 0.1
    pts = [rng.uniform(-0.5, 2.5, (n, 3)) for n in (1, 3, 4, 5, 64, 200)]
    views = [base, base[::-1], base[:, ::2, :], base.transpose(2, 0, 1), np.asfortranarray(base),
             base[2:, 3:, ::-3], base.astype(np.uint8) * 7, base.astype(np.float32), base.astype(np.int64)]
    for g in views:
        for _ in range(20):
            T = np.eye(4)
            T[:3, :3] = trimesh.transformations.random_rotation_matrix(rng.random(3))[:3, :3]
            T[:3, 3] = rng.uniform(-0.5, 1.5, 3)
            Ts = [T] * len(pts)
            assert G.colliding_links(pts, Ts, g, origin, pitch) == ref_colliding_links(pts, Ts, g, origin, pitch)
    # A read-only grid is fine too.
    ro = base.copy()
    ro.flags.writeable = False
    assert G.colliding_links(pts, [np.eye(4)] * 6, ro, origin, pitch) == \
        ref_colliding_links(pts, [np.eye(4)] * 6, base, origin, pitch)


def test_link_points_in_other_layouts_and_dtypes():
    grid = np.zeros((10, 10, 10), dtype=bool)
    grid[5, 5, 5] = True
    p = np.array([[0.55, 0.55, 0.55]])
    for pts in (p, p.astype(np.float32), p.tolist(), np.repeat(p, 3, axis=0)[::2], p.T.copy().T):
        assert G.in_collision([pts], [np.eye(4)], grid, np.zeros(3), 0.1)
    T = np.tile(np.eye(4), (2, 1, 1)).astype(np.float32)[::-1]
    assert G.colliding_links([p, p], T, grid, [0, 0, 0], 0.1) == [0, 1]


@pytest.mark.parametrize("args, exc", [
    (dict(env_grid=np.zeros((4, 4), bool)), ValueError),
    (dict(env_grid=np.zeros((2, 2, 2, 2), bool)), ValueError),
    (dict(env_origin=np.zeros(2)), ValueError),
    (dict(env_origin=np.zeros((1, 3))), ValueError),
    (dict(env_origin=[np.nan, 0, 0]), ValueError),
    (dict(pitch=0.0), ValueError),
    (dict(pitch=-0.1), ValueError),
    (dict(pitch=float("nan")), ValueError),
    (dict(link_points_local=[np.zeros((5, 2))]), ValueError),
    (dict(link_points_local=[np.zeros(3)]), ValueError),
    (dict(link_points_local=[[[0, 0, 0], [0, 0]]]), ValueError),
    (dict(T_world_link=[np.eye(3)]), ValueError),
    (dict(T_world_link=np.zeros((1, 3, 4))), ValueError),
    (dict(T_world_link=[[[1, 0, 0, 0]] * 3 + [[0, 0]]]), ValueError),
    (dict(link_points_local=5), TypeError),
    (dict(T_world_link=None), TypeError),
])
def test_queries_reject_bad_input(args, exc):
    kw = dict(link_points_local=[np.zeros((2, 3))], T_world_link=[np.eye(4)],
              env_grid=np.zeros((3, 3, 3), bool), env_origin=np.zeros(3), pitch=0.1)
    kw.update(args)
    for f in (G.in_collision, G.colliding_links):
        with pytest.raises(exc):
            f(**kw)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    pts=hnp.arrays(np.float64, hnp.array_shapes(min_dims=1, max_dims=3, min_side=0, max_side=7),
                   elements=st.floats(allow_nan=True, allow_infinity=True, width=64)),
    T=hnp.arrays(np.float64, hnp.array_shapes(min_dims=1, max_dims=3, min_side=0, max_side=5),
                 elements=st.floats(-1e20, 1e20) | st.sampled_from([np.nan, np.inf, 0.0, 1.0])),
    shape=st.lists(st.integers(0, 4), min_size=0, max_size=4),
    origin=hnp.arrays(np.float64, st.integers(0, 4), elements=st.floats(-10, 10)),
    pitch=st.floats(allow_nan=True, allow_infinity=True),
)
def test_random_input_never_crashes_and_valid_input_matches_numpy(pts, T, shape, origin, pitch):
    grid = (np.arange(int(np.prod(shape))) % 3 == 0).reshape(shape)
    args = ([pts], [T], grid, origin, pitch)
    try:
        got = G.colliding_links(*args)
    except (ValueError, TypeError, IndexError):
        valid = (pts.ndim == 2 and pts.shape[1] == 3 and T.shape == (4, 4) and grid.ndim == 3
                 and origin.shape == (3,) and np.isfinite(pitch) and pitch > 0)
        assert not valid
        return
    assert got == ref_colliding_links(*args)
    assert G.in_collision(*args) == bool(got)


# --- save_cache / load_cache -----------------------------------------------------

def test_cache_round_trip_keeps_members_dtypes_and_bit_order(tmp_path):
    rng = np.random.default_rng(5)
    grid = rng.random((3, 3, 3)) < 0.5
    links = [rng.random((4, 3)), np.zeros((0, 3)), rng.random((1, 3))]
    origin = np.array([-1.5, 2.0, 0.25])
    G.save_cache(str(tmp_path / "vox"), links, grid, origin, 0.05)
    path = tmp_path / "vox.npz"
    assert path.exists() and not (tmp_path / "vox").exists()
    with np.load(path, allow_pickle=False) as d:
        assert d.files == ["link_0", "link_1", "link_2", "env_grid", "env_shape", "env_origin", "pitch", "n_links"]
        assert d["env_grid"].dtype == np.uint8 and d["env_grid"].shape == (4,)
        np.testing.assert_array_equal(d["env_grid"], np.packbits(grid, axis=None))
        assert d["env_grid"][-1] & 0x1F == 0          # padding bits are zero
        assert d["env_shape"].dtype == np.int64 and list(d["env_shape"]) == [3, 3, 3]
        assert d["env_origin"].dtype == np.float64
        assert d["pitch"].dtype == np.float64 and d["pitch"].shape == ()
        assert d["n_links"].dtype == np.int64 and d["n_links"].shape == () and d["n_links"] == 3
    got_links, got_grid, got_origin, got_pitch = G.load_cache(str(path))
    assert len(got_links) == 3 and all(np.array_equal(a, b) for a, b in zip(got_links, links))
    assert got_grid.dtype == np.bool_ and np.array_equal(got_grid, grid)
    np.testing.assert_array_equal(got_origin, origin)
    assert got_pitch == 0.05 and type(got_pitch) is float


def test_cache_of_no_links_and_a_large_sparse_grid(tmp_path):
    grid = np.zeros((300, 200, 170), dtype=bool)
    grid[0, 0, 0] = grid[299, 199, 169] = grid[123, 45, 67] = True
    G.save_cache(tmp_path / "g.npz", [], grid, np.zeros(3), 1.0)
    links, back, _, _ = G.load_cache(tmp_path / "g.npz")
    assert links == [] and np.array_equal(back, grid)
    ref = np.unpackbits(np.load(tmp_path / "g.npz")["env_grid"])[:grid.size].astype(bool).reshape(grid.shape)
    assert np.array_equal(ref, back)


def _write_archive(path, **members):
    base = dict(env_grid=np.packbits(np.ones((2, 2, 2), bool), axis=None),
                env_shape=np.array([2, 2, 2], dtype=np.int64), env_origin=np.zeros(3),
                pitch=np.float64(0.5), n_links=np.int64(1), link_0=np.zeros((2, 3)))
    base.update(members)
    np.savez_compressed(path, **{k: v for k, v in base.items() if v is not None})
    return path


@pytest.mark.parametrize("members, exc", [
    (dict(env_shape=np.array([-2, 2, 2])), ValueError),
    (dict(env_shape=np.array([2, 2, 3])), ValueError),               # more cells than bits
    (dict(env_grid=np.zeros(2, dtype=np.uint8)), ValueError),       # more bytes than cells need
    (dict(env_shape=np.array([2**62, 2**62, 4])), ValueError),
    (dict(env_shape=np.array([2**64 - 1, 1, 1], dtype=np.uint64)), ValueError),
    (dict(env_shape=np.array([2, 2])), ValueError),
    (dict(env_shape=np.array([2.0, 2.0, 2.0])), ValueError),
    (dict(env_grid=np.ones(1, dtype=np.int64)), ValueError),
    (dict(n_links=np.int64(-1)), ValueError),
    (dict(n_links=np.uint64(2**64 - 1)), ValueError),
    (dict(n_links=np.int64(2)), KeyError),                          # link_1 missing
    (dict(link_0=np.zeros((2, 2))), ValueError),
    (dict(env_origin=np.zeros(2)), ValueError),
    (dict(pitch=np.float64(-1.0)), ValueError),
    (dict(pitch=np.float64(np.nan)), ValueError),
    (dict(pitch=None), KeyError),
    (dict(env_grid=None), KeyError),
    (dict(link_0=np.array([object()], dtype=object)), ValueError),  # would need pickle
])
def test_corrupt_cache_files_raise(tmp_path, members, exc):
    path = _write_archive(tmp_path / "bad.npz", **members)
    with pytest.raises(exc):
        G.load_cache(path)


def test_load_cache_rejects_missing_and_foreign_files(tmp_path):
    with pytest.raises(FileNotFoundError):
        G.load_cache(tmp_path / "nothing.npz")
    np.save(tmp_path / "plain.npy", np.zeros(3))
    with pytest.raises(ValueError):
        G.load_cache(tmp_path / "plain.npy")
    (tmp_path / "junk.npz").write_bytes(b"not a zip file at all")
    with pytest.raises(Exception):
        G.load_cache(tmp_path / "junk.npz")


def test_save_cache_rejects_bad_input(tmp_path):
    ok = dict(link_points=[np.zeros((1, 3))], env_grid=np.zeros((2, 2, 2), bool), env_origin=np.zeros(3), pitch=0.5)
    for bad in (dict(link_points=[np.zeros((1, 2))]), dict(env_grid=np.zeros((2, 2), bool)),
                dict(env_origin=np.zeros(4)), dict(pitch=0.0)):
        with pytest.raises(ValueError):
            G.save_cache(tmp_path / "x", **{**ok, **bad})
    assert list(tmp_path.iterdir()) == []


def test_builds_in_threads_give_what_one_thread_gives():
    # Voxelization, the grid and the distance field run without the
    # interpreter; side by side in threads they must not disturb each other.
    from concurrent.futures import ThreadPoolExecutor
    s = trimesh.creation.icosphere(subdivisions=3, radius=0.2)
    V, F = np.asarray(s.vertices), np.asarray(s.faces)
    pts = np.random.default_rng(3).uniform(-0.4, 0.4, (200, 3))
    jobs = {
        "voxels": lambda: G.VoxelizeLink(V, F, 0.02),
        "grid": lambda: G.build_env_grid([s], 0.02, pad=0.1)[0],
        "field": lambda: G.EnvironmentDistance([(V, F)], cell=0.01).lower_bound(pts),
    }
    alone = {name: job() for name, job in jobs.items()}
    with ThreadPoolExecutor(3) as pool:
        futures = [(name, pool.submit(job)) for name, job in list(jobs.items()) * 2]
        for name, f in futures:
            assert np.array_equal(f.result(), alone[name]), name
