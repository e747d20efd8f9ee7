"""Brimwell: planning context, RRT*, smoothing, densification and the driver.

Trajectories are compared with tests/support/reference_planner.py, the same planner
written plainly in numpy, on small synthetic scenes.
"""
import io
import os
import pathlib
import re
import signal
import sys
import time

import numpy as np
import pytest

import Brimwell
import Gristane
import Sallowmere
import Tovik

import reference_planner as ref  # noqa: E402

# The default synthetic arm beside its wall: these two poses lean the arm on
# either side of the wall, and the straight joint-space edge between them
# sweeps through it.
AROUND_START = np.array([-1.3, 1.2, 0.0, 0.0, 0.0, 0.0])
AROUND_GOAL = np.array([1.3, 1.2, 0.0, 0.0, 0.0, 0.0])


@pytest.fixture(scope="module")
def wall_cache(tmp_path_factory):
    import synthetic_cache
    wps = np.array([AROUND_START, AROUND_GOAL, [0.0, -0.5, 0.3, 0.0, 0.0, 0.0]])
    return synthetic_cache.write_cache(tmp_path_factory.mktemp("brimwell") / "Cache", 6, waypoints=wps)


@pytest.fixture(scope="module")
def ctx(wall_cache):
    return Brimwell.PlanningContext(wall_cache.path)


@pytest.fixture(scope="module")
def ref_ctx(wall_cache, ctx):
    return ref.PlanningContext(wall_cache.path, handler=ctx.handler)


def voxel_valid(ctx, q):
    """The definition: inside the limits and no moving-link point in an occupied cell."""
    q = np.asarray(q, dtype=np.float64)
    if not ctx.in_limits(q):
        return False
    h = ctx.handler
    T = np.stack(Tovik.forward_kinematics(ctx.slist, ctx.home_transforms, q))
    return not Gristane.in_collision(h.link_points[1:], T, h.env_grid, h.env_origin, h.pitch)


class RecordingRng:
    """Forwards to a numpy Generator and records every call (forces Python draws)."""

    def __init__(self, seed):
        self.gen = np.random.default_rng(seed)
        self.calls = []

    def random(self):
        self.calls.append("random")
        return self.gen.random()

    def uniform(self, low, high):
        self.calls.append("uniform")
        return self.gen.uniform(low, high)

    def integers(self, low, high, size=None):
        self.calls.append(("integers", int(low), int(high), size))
        return self.gen.integers(low, high, size=size)


class WallWorld:
    """A pure-Python context: the unit square with a wall x in [0.45, 0.55], y < 0.7."""

    n_joints = 2

    def __init__(self, delay=0.0):
        self.limits = np.array([[0.0, 1.0], [0.0, 1.0]])
        self.checks = 0
        self.delay = delay  # seconds per sample, to make a plan take a while

    def is_valid(self, q):
        self.checks += 1
        x, y = float(q[0]), float(q[1])
        return 0.0 <= x <= 1.0 and 0.0 <= y <= 1.0 and not (0.45 <= x <= 0.55 and y < 0.7)

    def edge_valid(self, a, b, res=0.01):
        a, b = np.asarray(a, float), np.asarray(b, float)
        n = max(1, int(np.ceil(ref.norm(b - a) / res)))
        return all(self.is_valid(a + (b - a) * (i / n)) for i in range(1, n + 1))

    def sample(self, rng):
        if self.delay:
            time.sleep(self.delay)
        return rng.uniform(self.limits[:, 0], self.limits[:, 1])


def same_path(p1, p2):
    return len(p1) == len(p2) and all(np.array_equal(a, b) for a, b in zip(p1, p2))


# ----------------------------------------------------------------------------
# A toy handler: one prismatic joint along x carrying given points, over a
# given grid.  Lets tests put points exactly on cell faces.

def toy_cache(tmp_path, monkeypatch, grid, points, origin=(0.0, 0.0, 0.0), pitch=0.5,
              screws=None, home=None, limits=None, waypoints=None):
    tmp_path.mkdir(parents=True, exist_ok=True)
    n = len(points)
    if screws is None:
        screws = np.zeros((6, n))
        screws[3] = 100.0  # 1 m per unit along x once scaled from centimetres
    np.save(tmp_path / "ScrewAxis.npy", np.asarray(screws, dtype=np.float64))
    np.save(tmp_path / "JointLimits.npy",
            np.tile([-1.0, 3.0], (n, 1)) if limits is None else np.asarray(limits, dtype=np.float64))
    if waypoints is not None:
        np.save(tmp_path / "WaypointJointAngles.npy", np.asarray(waypoints))

    class ToyHandler:
        def __init__(self, cache_dir):
            self.cache = cache_dir
            self.ScrewAxis = pathlib.Path(cache_dir) / "ScrewAxis.npy"
            self.initialTransforms = np.stack([np.eye(4)] * (n + 1)) if home is None else home
            self.link_points = [np.zeros((0, 3))] + [np.asarray(p, dtype=np.float64) for p in points]
            self.env_grid = grid
            self.env_origin = np.asarray(origin, dtype=np.float64)
            self.pitch = pitch

    monkeypatch.setattr(Brimwell, "RobotEnvironmentHandler", ToyHandler)
    return tmp_path


# ----------------------------------------------------------------------------
# Module surface

def test_module_constants_and_imported_names():
    assert (Brimwell.STEP, Brimwell.EDGE_RES, Brimwell.GOAL_CONNECT_RADIUS, Brimwell.GOAL_BIAS) == (0.3, 0.05, 0.3, 0.1)
    assert (Brimwell.MAX_ITERS, Brimwell.RRT_STAR_GAMMA, Brimwell.SMOOTH_ITERS, Brimwell.SEED) == (3000, 3.0, 200, 0)
    assert isinstance(Brimwell.MAX_ITERS, int) and isinstance(Brimwell.SEED, int)
    assert isinstance(Brimwell.CACHE_DIR, pathlib.Path) and Brimwell.CACHE_DIR.name == "Cache"
    assert Brimwell.RobotEnvironmentHandler is Sallowmere.RobotEnvironmentHandler
    assert Brimwell.SCREW_LINEAR_SCALE == Sallowmere.SCREW_LINEAR_SCALE == 0.01
    assert Brimwell.in_collision is Gristane.in_collision
    assert Brimwell.forward_kinematics is Tovik.forward_kinematics
    assert Brimwell.adjoint is Tovik.adjoint


def test_node_is_a_two_slot_record():
    node = Brimwell._Node(parent=None, cost=0.0)
    assert Brimwell._Node.__slots__ == ("parent", "cost")
    assert (node.parent, node.cost) == (None, 0.0)
    node.parent, node.cost = 4, 1.5
    assert (node.parent, node.cost) == (4, 1.5)
    assert not hasattr(node, "__dict__")
    with pytest.raises(AttributeError):
        node.config = np.zeros(3)
    assert Brimwell._Node(3, 2.0).parent == 3


# ----------------------------------------------------------------------------
# Planning context

def test_context_model_matches_the_capture(wall_cache, ctx):
    assert ctx.n_joints == 6
    np.testing.assert_allclose(ctx.slist, wall_cache.screws_world, atol=1e-12)
    assert np.array_equal(ctx.home_transforms, wall_cache.home[1:])
    assert np.array_equal(ctx.limits, wall_cache.limits)
    assert ctx.handler.cache == wall_cache.path
    with pytest.raises(ValueError):
        ctx.limits[0, 0] = 0.0  # the arrays the planner reads cannot drift from its copy


def test_unbounded_limits_become_two_pi(make_cache):
    lim = np.array([[-np.inf, np.inf], [-1.0, np.inf], [np.inf, 1.0], [-0.5, -np.inf]])
    cache = make_cache(4, limits=lim)
    c = Brimwell.PlanningContext(str(cache.path))  # a string path is accepted
    two_pi = 2 * np.pi
    assert np.array_equal(c.limits, [[-two_pi, two_pi], [-1.0, two_pi], [np.inf, 1.0], [-0.5, -np.inf]])
    # The two forms left infinite can never be satisfied.
    assert not c.in_limits(np.zeros(4))
    assert not c.is_valid(np.zeros(4))


@pytest.mark.parametrize("limits, words", [
    (np.zeros(3), r"JointLimits.npy must have shape \(n, 2\), got \(3,\)"),
    (np.zeros((3, 3)), r"JointLimits.npy must have shape \(n, 2\), got \(3, 3\)"),
    (np.zeros((2, 2)), "JointLimits.npy has 2 rows but ScrewAxis.npy has 3 joint columns"),
    ([[0, 1], [np.nan, 1], [0, 1]], "JointLimits.npy holds NaN for joint 1"),
])
def test_limits_that_do_not_fit_the_screws_are_refused(make_cache, limits, words):
    cache = make_cache(3)
    np.save(cache.path / "JointLimits.npy", np.asarray(limits, dtype=np.float64))
    with pytest.raises(ValueError, match=words):
        Brimwell.PlanningContext(cache.path)


def test_a_handler_whose_home_poses_miss_a_link_is_refused(tmp_path, monkeypatch):
    # The context plans with the handler's own initialTransforms (a replaced
    # handler's too): one pose per link, base first, or no context.
    grid = np.zeros((2, 2, 2), dtype=bool)
    cache = toy_cache(tmp_path, monkeypatch, grid, [[[0.0, 0.0, 0.0]]] * 3,
                      home=np.stack([np.eye(4)] * 3))
    with pytest.raises(ValueError, match=r"initialTransforms must hold 4 transforms .* got shape \(3, 4, 4\)"):
        Brimwell.PlanningContext(cache)


def test_in_limits_is_inclusive_and_rejects_nan(ctx):
    lo, hi = ctx.limits[:, 0], ctx.limits[:, 1]
    assert ctx.in_limits(lo) and ctx.in_limits(hi)
    assert not ctx.in_limits(np.nextafter(lo, -np.inf))
    assert not ctx.in_limits(np.nextafter(hi, np.inf))
    q = np.zeros(6)
    q[3] = np.nan
    assert not ctx.in_limits(q) and not ctx.is_valid(q)
    with pytest.raises(ValueError):
        ctx.is_valid(np.zeros(5))


def test_is_valid_equals_the_per_point_voxel_test(ctx, ref_ctx):
    # Random configurations, plus a fine sweep of the arm into the wall so that
    # many of them graze it: the bounding-box shortcut must never change an answer.
    rng = np.random.default_rng(3)
    qs = list(rng.uniform(-np.pi, np.pi, (600, 6)))
    for t in np.linspace(0.0, np.pi / 2, 200):
        qs.append(np.array([0.0, t, 0.0, 0.0, 0.0, 0.0]))
        qs.append(np.array([0.3, t, -0.2, 0.1, t / 2, 0.0]))
    native = [ctx.is_valid(q) for q in qs]
    assert native == [voxel_valid(ctx, q) for q in qs]
    assert native[::7] == [ref_ctx.is_valid(q) for q in qs[::7]]
    assert 0 < sum(native) < len(native)
    ns, ok = Brimwell._time_is_valid(ctx, np.array(qs))
    assert list(ok) == native and ns.dtype == np.int64


def test_is_valid_goes_through_replaced_module_names(ctx, monkeypatch):
    # Outside the limits neither kinematics nor collision test runs; inside,
    # a stubbed collision test decides (as a module-level name lookup would).
    def no_kinematics(*args):
        raise AssertionError("kinematics evaluated")

    calls = []

    def stub(link_points, T, grid, origin, pitch):
        calls.append((len(link_points), T.shape))
        return False

    monkeypatch.setattr(Brimwell, "forward_kinematics", no_kinematics)
    assert not ctx.is_valid(np.full(6, 4.0))
    monkeypatch.setattr(Brimwell, "forward_kinematics", Tovik.forward_kinematics)
    monkeypatch.setattr(Brimwell, "in_collision", stub)
    assert ctx.is_valid(np.array([0.0, np.pi / 2, 0, 0, 0, 0]))  # into the wall, but the stub says free
    assert calls == [(6, (6, 4, 4))]
    path = Brimwell.plan_segment(ctx, AROUND_START, AROUND_GOAL, np.random.default_rng(0))
    assert len(path) == 2


def test_is_valid_on_cell_faces_and_grid_edges(tmp_path, monkeypatch):
    # One point on a prismatic joint along x; cell (2, 0, 0) of a 0.5 m grid is
    # occupied, i.e. x in [1.0, 1.5).
    grid = np.zeros((4, 4, 4), dtype=bool)
    grid[2, 0, 0] = True
    cache = toy_cache(tmp_path, monkeypatch, grid, [[[0.0, 0.1, 0.1]]])
    c = Brimwell.PlanningContext(cache)
    cases = {1.0: False, np.nextafter(1.0, 0.0): True, 1.25: False, np.nextafter(1.5, 0.0): False,
             1.5: True, -1e-9: True, 2.0: True, 0.0: True}
    for x, expected in cases.items():
        assert c.is_valid([x]) is expected, x


def test_is_valid_on_strided_and_random_grids(tmp_path, monkeypatch):
    # Random points on three revolute/prismatic joints over a random sparse grid
    # that spans several summary blocks, read through a non-contiguous view.
    rng = np.random.default_rng(11)
    big = rng.random((140, 90, 2 * 75)) < 0.002
    grid = big[:, :, ::2]
    assert not grid.flags.c_contiguous
    screws = np.array([[0, 0, 1, 0, 0, 0], [0, 1, 0, -30.0, 0, 0], [0, 0, 0, 0, 0, 100.0]], dtype=float).T
    home = np.stack([np.eye(4)] * 4)
    home[1:, :3, 3] = [0.45, 0.3, 0.2]
    points = [rng.uniform(-0.1, 0.1, (k, 3)) for k in (40, 300, 1)]
    cache = toy_cache(tmp_path, monkeypatch, grid, points, origin=(0.0, -0.1, 0.05), pitch=0.01,
                      screws=screws, home=home, limits=np.tile([-np.pi, np.pi], (3, 1)))
    c = Brimwell.PlanningContext(cache)
    qs = rng.uniform(-np.pi, np.pi, (1500, 3))
    native = [c.is_valid(q) for q in qs]
    assert native == [voxel_valid(c, q) for q in qs]
    assert 0 < sum(native) < len(native)


def test_edge_valid_tests_the_end_not_the_start(tmp_path, monkeypatch):
    grid = np.zeros((4, 4, 4), dtype=bool)
    grid[2, 0, 0] = True  # x in [1.0, 1.5) collides
    cache = toy_cache(tmp_path, monkeypatch, grid, [[[0.0, 0.1, 0.1]]])

    class Counting(Brimwell.PlanningContext):
        def __init__(self, cache_dir):
            super().__init__(cache_dir)
            self.seen = []

        def is_valid(self, q):
            self.seen.append(float(q[0]))
            return super().is_valid(q)

    c = Counting(cache)
    assert not c.is_valid([1.49])
    c.seen.clear()
    assert c.edge_valid([1.49], [2.5])           # the invalid start is never tested
    assert len(c.seen) == 21 and c.seen[-1] == 1.49 + (2.5 - 1.49) * (21 / 21)
    c.seen.clear()
    assert not c.edge_valid([0.0], [1.2])        # stops at the first configuration in the cell
    steps = [1.2 * (i / 24) for i in range(1, 25)]
    first_hit = next(i for i, x in enumerate(steps) if 1.0 <= x < 1.5)
    assert c.seen == steps[:first_hit + 1]
    c.seen.clear()
    assert c.edge_valid([0.2], [0.2]) and c.seen == [0.2]        # one check, of a itself
    for dist, checks in ((0.3, 6), (0.31, 7)):
        c.seen.clear()
        c.edge_valid([0.0], [dist])
        assert len(c.seen) == checks
    c.seen.clear()
    c.edge_valid([0.0], [0.3], res=0.1)
    assert len(c.seen) == 3


def test_edge_valid_and_densify_refuse_runaway_lengths(ctx):
    a = np.zeros(6)
    for bad in (np.full(6, np.nan), np.full(6, np.inf), np.full(6, 1e9)):
        with pytest.raises(ValueError):
            ctx.edge_valid(a, bad)
        with pytest.raises(ValueError):
            Brimwell.densify([a, bad])
    with pytest.raises(ValueError):
        ctx.edge_valid(a, np.ones(6), res=0.0)
    with pytest.raises(ValueError):
        Brimwell.densify([a, np.ones(6)], res=1e-12)


def test_sample_is_one_uniform_draw(ctx, tmp_path, monkeypatch):
    r1, r2 = np.random.default_rng(8), np.random.default_rng(8)
    assert np.array_equal(ctx.sample(r1), r2.uniform(ctx.limits[:, 0], ctx.limits[:, 1]))
    assert r1.bit_generator.state == r2.bit_generator.state
    cache = toy_cache(tmp_path, monkeypatch, np.zeros((2, 2, 2), bool), [[[0, 0, 0]]] * 2,
                      limits=[[0.5, 0.5], [-1.0, 1.0]])
    s = Brimwell.PlanningContext(cache).sample(np.random.default_rng(0))
    assert s[0] == 0.5 and -1.0 <= s[1] < 1.0


def test_context_rejects_malformed_caches(make_cache):
    cache = make_cache(6)
    np.save(cache.path / "JointLimits.npy", np.zeros((5, 2)))
    with pytest.raises(ValueError, match="5 rows.*6 joint columns"):
        Brimwell.PlanningContext(cache.path)
    lim = np.tile([-1.0, 1.0], (6, 1))
    lim[2, 1] = np.nan
    np.save(cache.path / "JointLimits.npy", lim)
    with pytest.raises(ValueError, match="NaN"):
        Brimwell.PlanningContext(cache.path)
    os.remove(cache.path / "JointLimits.npy")
    with pytest.raises(FileNotFoundError):
        Brimwell.PlanningContext(cache.path)


# ----------------------------------------------------------------------------
# plan_segment

def test_direct_edge_returns_start_and_goal_without_drawing(ctx):
    rng = np.random.default_rng(0)
    before = rng.bit_generator.state
    start, goal = np.zeros(6), np.array([0.1, -0.2, 0.1, 0.0, 0.0, 0.0])
    path = Brimwell.plan_segment(ctx, start, goal, rng)
    assert len(path) == 2 and path[0] is start and path[1] is goal
    assert rng.bit_generator.state == before


def test_plan_matches_numpy_reference(ctx, ref_ctx):
    r1, r2 = np.random.default_rng(1), np.random.default_rng(1)
    path = Brimwell.plan_segment(ctx, AROUND_START, AROUND_GOAL, r1, max_iters=100)
    expected = ref.plan_segment(ref_ctx, AROUND_START, AROUND_GOAL, r2, max_iters=100)
    assert same_path(path, expected)
    assert r1.bit_generator.state == r2.bit_generator.state
    assert np.array_equal(path[0], AROUND_START) and path[0] is not AROUND_START
    assert path[-1] is AROUND_GOAL
    assert all(ctx.edge_valid(a, b) for a, b in zip(path[:-1], path[1:]))
    path[0][0] = 99.0
    assert AROUND_START[0] == -1.3


@pytest.mark.parametrize("goal_bias,step,gamma", [(0.1, 0.3, 3.0), (1.0, 0.3, 3.0), (0.0, 0.5, 0.4)])
def test_draw_sequence_and_native_draws(ctx, monkeypatch, goal_bias, step, gamma):
    # The same plan through Python draws (a recording proxy) and through the
    # native reading of the generator: same path, same generator state, and
    # exactly one random() per iteration followed by a uniform() unless the
    # goal was picked.
    monkeypatch.setattr(Brimwell, "RRT_STAR_GAMMA", gamma)
    monkeypatch.setattr(ref, "RRT_STAR_GAMMA", gamma)
    proxy, native = RecordingRng(4), np.random.default_rng(4)
    kwargs = dict(max_iters=400, step=step, goal_bias=goal_bias)
    try:
        p1 = Brimwell.plan_segment(ctx, AROUND_START, AROUND_GOAL, proxy, **kwargs)
    except RuntimeError:
        p1 = None
    try:
        p2 = Brimwell.plan_segment(ctx, AROUND_START, AROUND_GOAL, native, **kwargs)
    except RuntimeError:
        p2 = None
    assert (p1 is None) == (p2 is None) and (p1 is None or same_path(p1, p2))
    assert proxy.gen.bit_generator.state == native.bit_generator.state
    assert proxy.calls.count("random") == 400
    replay = np.random.default_rng(4)
    expected = []
    for _ in range(400):
        expected.append("random")
        if not replay.random() < goal_bias:
            expected.append("uniform")
            replay.uniform(ctx.limits[:, 0], ctx.limits[:, 1])
    assert proxy.calls == expected


def test_module_constants_are_read_at_each_call(ctx):
    start, goal = str(AROUND_START), str(AROUND_GOAL)
    old = Brimwell.GOAL_CONNECT_RADIUS
    Brimwell.GOAL_CONNECT_RADIUS = 0.0
    try:
        with pytest.raises(RuntimeError) as err:
            Brimwell.plan_segment(ctx, AROUND_START, AROUND_GOAL, np.random.default_rng(0), max_iters=50)
    finally:
        Brimwell.GOAL_CONNECT_RADIUS = old
    assert str(err.value) == f"RRT* failed to connect start {start} to goal {goal} within 50 iterations"
    with pytest.raises(RuntimeError, match="within 0 iterations"):
        Brimwell.plan_segment(ctx, AROUND_START, AROUND_GOAL, np.random.default_rng(0), max_iters=0)


def test_python_context_plans_around_a_wall():
    world, ref_world = WallWorld(), WallWorld()
    r1, r2 = np.random.default_rng(2), np.random.default_rng(2)
    start, goal = [0.2, 0.2], [0.8, 0.2]
    path = Brimwell.plan_segment(world, start, goal, r1, max_iters=600, step=0.1)
    assert np.array_equal(path[0], start) and np.array_equal(path[-1], goal)
    assert max(p[1] for p in path) >= 0.7  # over the top of the wall
    assert all(WallWorld().edge_valid(a, b) for a, b in zip(path[:-1], path[1:]))
    assert same_path(path, ref.plan_segment(ref_world, start, goal, r2, max_iters=600, step=0.1))
    assert world.checks == ref_world.checks


def test_subclass_overrides_are_honoured(wall_cache, ctx):
    # Forbid leaning forward past 1.0 rad; the base edge_valid must ask the override.
    class Cautious(Brimwell.PlanningContext):
        def is_valid(self, q):
            return q[1] <= 1.0 + 1e-12 and super().is_valid(q)

    cautious = Cautious(wall_cache.path)
    lean_back, upright = [np.pi, 1.2, 0, 0, 0, 0], [np.pi, 0.0, 0, 0, 0, 0]
    assert ctx.edge_valid(upright, lean_back) and not cautious.edge_valid(upright, lean_back)
    r1, r2 = np.random.default_rng(6), np.random.default_rng(6)
    path = Brimwell.plan_segment(cautious, AROUND_START * 0.8, AROUND_GOAL * 0.8, r1, max_iters=150)
    expected = ref.plan_segment(cautious, AROUND_START * 0.8, AROUND_GOAL * 0.8, r2, max_iters=150)
    assert same_path(path, expected) and len(path) > 2
    assert all(p[1] <= 1.0 + 1e-12 for p in path)


def test_methods_assigned_on_an_instance_are_honoured(wall_cache, ctx):
    # As with a Python class, a method set on the instance wins over the class's:
    # the base edge_valid and the planners ask it.  A subclass that replaces
    # nothing answers as the native context does.
    class Plain(Brimwell.PlanningContext):
        pass

    plain = Plain(wall_cache.path)
    lean_back, upright = [np.pi, 1.2, 0, 0, 0, 0], [np.pi, 0.0, 0, 0, 0, 0]
    assert plain.edge_valid(upright, lean_back) and ctx.edge_valid(upright, lean_back)
    r1, r2 = np.random.default_rng(6), np.random.default_rng(6)
    start, goal = AROUND_START * 0.8, AROUND_GOAL * 0.8
    assert same_path(Brimwell.plan_segment(plain, start, goal, r1, max_iters=150),
                     Brimwell.plan_segment(ctx, start, goal, r2, max_iters=150))

    seen = []
    plain.is_valid = lambda q: seen.append(q[1]) or q[1] <= 1.0
    assert not plain.edge_valid(upright, lean_back) and seen and seen[-1] > 1.0
    path = Brimwell.plan_segment(plain, start, goal, np.random.default_rng(6), max_iters=150)
    assert all(p[1] <= 1.0 for p in path)


def test_plan_segment_rejects_bad_vectors(ctx):
    with pytest.raises(ValueError, match="start"):
        Brimwell.plan_segment(ctx, np.zeros(5), np.zeros(6), np.random.default_rng(0))
    with pytest.raises(ValueError):
        Brimwell.plan_segment(ctx, np.zeros(6), [np.nan] * 6, np.random.default_rng(0))

    class Broken(WallWorld):
        def sample(self, rng):
            rng.uniform(self.limits[:, 0], self.limits[:, 1])
            return np.array([np.nan, 0.5])

    with pytest.raises(ValueError, match="sample"):
        Brimwell.plan_segment(Broken(), [0.2, 0.2], [0.8, 0.2], np.random.default_rng(0), goal_bias=0.0)


def test_ctrl_c_interrupts_a_plan_and_frees_the_generator(ctx):
    # The native loop holds the GIL, so the interrupt comes from the OS (as a
    # terminal's Ctrl-C does), not from another Python thread.
    def interrupt(signum, frame):
        raise KeyboardInterrupt

    rng = np.random.default_rng(0)
    previous = signal.signal(signal.SIGALRM, interrupt)
    signal.setitimer(signal.ITIMER_REAL, 0.2)
    try:
        with pytest.raises(KeyboardInterrupt):
            Brimwell.plan_segment(ctx, AROUND_START, AROUND_GOAL, rng, max_iters=10**7)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    rng.random()  # the generator's lock was released


def test_progress_only_on_a_terminal(capsys, monkeypatch):
    Brimwell.plan_segment(WallWorld(), [0.2, 0.2], [0.8, 0.2], np.random.default_rng(2), max_iters=300, step=0.1)
    assert capsys.readouterr() == ("", "")

    class Tty(io.StringIO):
        def isatty(self):
            return True

    tty, out = Tty(), Tty()
    monkeypatch.setattr(sys, "stderr", tty)
    monkeypatch.setattr(sys, "stdout", out)
    Brimwell.plan_segment(WallWorld(delay=0.002), [0.2, 0.2], [0.8, 0.2], np.random.default_rng(2),
                          max_iters=300, step=0.1)
    text = tty.getvalue()
    assert "RRT*:" in text and "/300 [" in text and "tree nodes" in text   # a tqdm bar
    assert text.endswith("\r") and text.rsplit("\r", 2)[-2].strip() == ""  # erased at the end
    assert out.getvalue() == ""


# ----------------------------------------------------------------------------
# smooth_path and densify

def test_smoothing_draws_and_shortcuts(ctx):
    a, b, c = np.zeros(6), np.array([0.1, 0, 0, 0, 0, 0.0]), np.array([0.2, 0, 0, 0, 0, 0.0])
    rng = RecordingRng(0)
    two = [a, c]
    out = Brimwell.smooth_path(ctx, two, rng)
    assert [id(x) for x in out] == [id(a), id(c)] and out is not two and rng.calls == []
    three = [a, b, c]
    assert [id(x) for x in Brimwell.smooth_path(ctx, three, rng, iters=0)] == [id(a), id(b), id(c)]
    assert rng.calls == []
    out = Brimwell.smooth_path(ctx, three, rng)
    assert len(out) == 2 and out[0] is a and out[1] is c and len(three) == 3
    assert rng.calls and all(call == ("integers", 0, 3, 2) for call in rng.calls)
    # The draws stop once the path is down to two entries.
    replay = np.random.default_rng(0)
    n = 0
    while True:
        n += 1
        i, j = sorted(replay.integers(0, 3, size=2))
        if j - i >= 2:
            break
    assert len(rng.calls) == n

    r1, r2 = np.random.default_rng(5), np.random.default_rng(5)
    segment = Brimwell.plan_segment(ctx, AROUND_START, AROUND_GOAL, np.random.default_rng(1), max_iters=100)
    s1 = Brimwell.smooth_path(ctx, segment, r1)
    s2 = ref.smooth_path(ctx, segment, r2)
    assert [id(x) for x in s1] == [id(x) for x in s2]
    assert r1.bit_generator.state == r2.bit_generator.state


def test_densify_counts_and_matches_reference():
    a = np.zeros(3)
    assert Brimwell.densify([a]).shape == (1, 3)
    assert len(Brimwell.densify([a, np.array([0.3, 0, 0])], res=0.05)) == 7
    assert len(Brimwell.densify([a, np.array([0.31, 0, 0])], res=0.05)) == 8
    twice = Brimwell.densify([a, a])
    assert twice.shape == (2, 3) and not twice.any()
    with pytest.raises(IndexError):
        Brimwell.densify([])
    with pytest.raises(ValueError):
        Brimwell.densify([a, np.zeros(4)])
    rng = np.random.default_rng(9)
    path = [rng.uniform(-2, 2, 6) for _ in range(12)]
    dense = Brimwell.densify(path, res=0.05)
    assert dense.dtype == np.float64 and np.array_equal(dense, ref.densify(path, res=0.05))
    assert np.all(ref.norm(np.diff(dense, axis=0)) <= 0.05 + 1e-12)
    assert np.array_equal(dense[0], path[0])


# ----------------------------------------------------------------------------
# The driver

def masked(text):
    return re.sub(r"\d+\.\d\ds", "<t>s", text)


def test_driver_matches_reference_and_repeats(wall_cache, ctx, capsys):
    out_file = wall_cache.path / "JointAnglesToTravelAlong.npy"
    dense = Brimwell.ProvideRRTPlan(wall_cache.path)
    printed = capsys.readouterr().out
    first_bytes = out_file.read_bytes()
    expected = ref.ProvideRRTPlan(wall_cache.path, ctx=ctx)
    assert masked(capsys.readouterr().out) == masked(printed)
    assert np.array_equal(dense, expected)
    assert np.array_equal(np.load(out_file), dense)
    assert np.array_equal(dense[0], wall_cache.waypoints[0])
    np.testing.assert_allclose(dense[-1], wall_cache.waypoints[-1], atol=1e-12)
    lines = printed.splitlines()
    assert lines[0].startswith("Environment loaded in ") and lines[1] == "Loaded 3 waypoints, shape (3, 6)"
    assert re.fullmatch(r"Segment 0->1: \d+ nodes in \d+\.\d\ds", lines[3])
    assert lines[-1] == f"Saved trajectory to {out_file} with shape {dense.shape}"
    Brimwell.ProvideRRTPlan(wall_cache.path)
    assert out_file.read_bytes() == first_bytes
    assert sorted(p.name for p in wall_cache.path.iterdir() if p.name.startswith(".")) == []


def test_driver_with_one_waypoint_and_straight_edges(make_cache, capsys):
    cache = make_cache(3, waypoints=np.array([[0.1, 0.2, 0.3]]))
    dense = Brimwell.ProvideRRTPlan(cache.path)
    assert dense.shape == (1, 3) and np.array_equal(dense[0], [0.1, 0.2, 0.3])
    cache = make_cache(2, waypoints=np.array([[0.0, 0.0], [0.3, 0.0]]))
    Brimwell.ProvideRRTPlan(cache.path)
    out = capsys.readouterr().out
    assert "Segment 0->1: 2 nodes in " in out and "Segment 0->1: smoothed to 2 nodes" in out
    assert "Densified path: 7 configs" in out


def test_colliding_and_out_of_limit_waypoints(make_cache, capsys):
    collide = [0.0, np.pi / 2, 0.0, 0.0, 0.0, 0.0]
    cache = make_cache(6, waypoints=np.array([collide, [0.0] * 6]))
    with pytest.raises(RuntimeError) as err:
        Brimwell.ProvideRRTPlan(cache.path)
    assert str(err.value) == f"Waypoint 0 is in collision: {np.array(collide)}"
    saved = np.load(cache.path / "CollisionWaypoint.npz", allow_pickle=False)
    assert saved["index"].dtype == np.int64 and saved["index"].shape == () and int(saved["index"]) == 0
    assert np.array_equal(saved["theta"], collide)
    out = capsys.readouterr().out
    assert ("\nWaypoint 0 is in collision\n  theta: " + np.array2string(np.array(collide), precision=3)
            + f"\n  Saved to {cache.path / 'CollisionWaypoint.npz'} -- run Velquist to inspect it.\n") in out
    assert not (cache.path / "JointAnglesToTravelAlong.npy").exists()

    beyond = [4.0, np.pi / 2, 0.0, 0.0, 0.0, 0.0]  # outside the limits and in collision
    cache = make_cache(6, waypoints=np.array([[0.0] * 6, beyond]))
    with pytest.raises(RuntimeError) as err:
        Brimwell.ProvideRRTPlan(cache.path)
    assert str(err.value) == f"Waypoint 1 violates joint limits: {np.array(beyond)}"
    assert not (cache.path / "CollisionWaypoint.npz").exists()


@pytest.mark.parametrize("waypoints,error,match", [
    (np.zeros((2, 5)), ValueError, "5 columns"),
    (np.array([[0.0, np.nan, 0.0]]), ValueError, "NaN"),
    (np.zeros((0, 3)), ValueError, "no waypoints"),
    (np.zeros(3), ValueError, "shape"),
    (None, FileNotFoundError, "WaypointJointAngles"),
])
def test_driver_rejects_bad_waypoints(make_cache, capsys, waypoints, error, match):
    cache = make_cache(3)
    if waypoints is not None:
        np.save(cache.path / "WaypointJointAngles.npy", waypoints)
    with pytest.raises(error, match=match):
        Brimwell.ProvideRRTPlan(cache.path)
    assert capsys.readouterr().out.startswith("Environment loaded in ")


def test_failed_save_keeps_the_earlier_trajectory(make_cache, monkeypatch, capsys):
    cache = make_cache(2, waypoints=np.array([[0.0, 0.0], [0.3, 0.0]]))
    out_file = cache.path / "JointAnglesToTravelAlong.npy"
    out_file.write_bytes(b"earlier trajectory")

    def broken_save(file, arr, *args, **kwargs):
        file.write(b"\x93NUMPY partial")
        raise OSError("disk full")

    monkeypatch.setattr(np, "save", broken_save)
    with pytest.raises(OSError, match="disk full"):
        Brimwell.ProvideRRTPlan(cache.path)
    assert out_file.read_bytes() == b"earlier trajectory"
    assert sorted(p.name for p in cache.path.iterdir() if p.name.startswith(".")) == []


def test_main_plans_on_the_default_cache(make_cache, monkeypatch, capsys):
    cache = make_cache(2, waypoints=np.array([[0.0, 0.0], [0.2, 0.1]]))
    monkeypatch.setattr(Brimwell, "CACHE_DIR", cache.path)
    Brimwell.main([])
    assert (cache.path / "JointAnglesToTravelAlong.npy").exists()
    out, err = capsys.readouterr()
    assert "Saved trajectory to" in out and err == ""
    Brimwell.main(["elsewhere"])
    assert "ignoring arguments ['elsewhere']" in capsys.readouterr().err
    with pytest.raises(SystemExit):
        Brimwell.main(["--help"])
