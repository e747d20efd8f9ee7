"""Brimwell's bidirectional planner, the driver's planner and seed options, and
the command line."""
import pathlib
import re
import sys

import numpy as np
import pytest

import Brimwell

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from test_brimwell import AROUND_GOAL, AROUND_START, RecordingRng, WallWorld, masked  # noqa: E402

import synthetic_cache  # noqa: E402  (on the path through conftest)

# The arm reaching through a square hole in the wall: RRT* with its defaults
# cannot thread the hole from outside, RRT-Connect grows out of it.
HOLE_START = np.array([np.pi * 0.9, 0.6, 0.3, 0.0, 0.0, 0.0])
HOLE_GOAL = np.array([0.0, 1.2, 0.0, 0.0, 0.0, 0.0])


def holed_wall(half=0.15, zc=0.555):
    x0, x1 = 0.35, 0.45
    return (("below", (x0, -0.4, 0.0), (x1, 0.4, zc - half)),
            ("above", (x0, -0.4, zc + half), (x1, 0.4, 1.2)),
            ("left", (x0, -0.4, zc - half), (x1, -half, zc + half)),
            ("right", (x0, half, zc - half), (x1, 0.4, zc + half)))


@pytest.fixture(scope="module")
def wall(tmp_path_factory):
    wps = np.array([AROUND_START, AROUND_GOAL, [0.0, -0.5, 0.3, 0.0, 0.0, 0.0]])
    cache = synthetic_cache.write_cache(tmp_path_factory.mktemp("connect") / "Cache", 6, waypoints=wps)
    return cache, Brimwell.PlanningContext(cache.path)


@pytest.fixture(scope="module")
def hole(tmp_path_factory):
    wps = np.array([HOLE_START, HOLE_GOAL])
    cache = synthetic_cache.write_cache(tmp_path_factory.mktemp("hole") / "Cache", 6, env=holed_wall(),
                                        waypoints=wps)
    return cache, Brimwell.PlanningContext(cache.path)


def length(path):
    return sum(float(np.linalg.norm(b - a)) for a, b in zip(path[:-1], path[1:]))


# ----------------------------------------------------------------------------
# plan_segment_connect

def test_connect_result_contract_and_reproducibility(wall):
    _, ctx = wall
    start, goal = AROUND_START.copy(), AROUND_GOAL.copy()
    paths = []
    for seed in range(4):
        rng = np.random.default_rng(seed)
        path = Brimwell.plan_segment_connect(ctx, start, goal, rng)
        assert np.array_equal(path[0], start) and path[0] is not start
        assert path[-1] is goal
        assert all(ctx.edge_valid(a, b) for a, b in zip(path[:-1], path[1:]))
        # Shortened: no entry can be dropped, and the path is far from the
        # tree's zig-zag (the straight distance is 2.6 rad, blocked by the wall).
        assert all(not ctx.edge_valid(path[k - 1], path[k + 1]) for k in range(1, len(path) - 1))
        assert len(path) >= 3 and length(path) < 5.0
        again = np.random.default_rng(seed)
        repeat = Brimwell.plan_segment_connect(ctx, start, goal, again)
        assert len(repeat) == len(path) and all(np.array_equal(a, b) for a, b in zip(path, repeat))
        assert again.bit_generator.state == rng.bit_generator.state
        paths.append(path)
    path[0][0] = 42.0
    assert start[0] == AROUND_START[0]
    assert not all(len(p) == len(paths[0]) and all(np.array_equal(a, b) for a, b in zip(p, paths[0]))
                   for p in paths[1:])


def test_connect_draws_the_same_through_python_and_natively(wall):
    # Native reading of the generator and a recording proxy give one path and
    # leave the generator in one state: each extension draws one sample, each
    # random shortcut two random() numbers.
    _, ctx = wall
    proxy, native = RecordingRng(3), np.random.default_rng(3)
    p1 = Brimwell.plan_segment_connect(ctx, AROUND_START, AROUND_GOAL, proxy)
    p2 = Brimwell.plan_segment_connect(ctx, AROUND_START, AROUND_GOAL, native)
    assert len(p1) == len(p2) and all(np.array_equal(a, b) for a, b in zip(p1, p2))
    assert proxy.gen.bit_generator.state == native.bit_generator.state
    assert set(proxy.calls) == {"uniform", "random"} and proxy.calls.count("random") % 2 == 0
    first_random = proxy.calls.index("random")
    assert "uniform" not in proxy.calls[first_random:]  # shortening comes after the trees


def test_connect_direct_edge_and_failures(wall):
    _, ctx = wall
    rng = np.random.default_rng(0)
    before = rng.bit_generator.state
    start, goal = np.zeros(6), np.array([0.1, -0.2, 0.1, 0.0, 0.0, 0.0])
    path = Brimwell.plan_segment_connect(ctx, start, goal, rng)
    assert len(path) == 2 and np.array_equal(path[0], start) and path[0] is not start and path[1] is goal
    assert rng.bit_generator.state == before

    with pytest.raises(RuntimeError) as err:
        Brimwell.plan_segment_connect(ctx, AROUND_START, AROUND_GOAL, np.random.default_rng(0), max_iters=0)
    assert str(err.value) == (f"RRT-Connect failed to connect start {AROUND_START} to goal {AROUND_GOAL} "
                              "within 0 iterations")

    class Sealed(WallWorld):  # the wall reaches the top: no way round
        def is_valid(self, q):
            return super().is_valid(q) and not (0.45 <= float(q[0]) <= 0.55)

    with pytest.raises(RuntimeError, match=r"^RRT-Connect failed .* within 200 iterations$"):
        Brimwell.plan_segment_connect(Sealed(), [0.2, 0.2], [0.8, 0.2], np.random.default_rng(0), max_iters=200)
    for bad in (dict(step=0.0), dict(step=float("nan")), dict(max_iters=-1)):
        with pytest.raises(ValueError):
            Brimwell.plan_segment_connect(ctx, AROUND_START, AROUND_GOAL, np.random.default_rng(0), **bad)
    with pytest.raises(ValueError, match="start"):
        Brimwell.plan_segment_connect(ctx, np.zeros(5), AROUND_GOAL, np.random.default_rng(0))
    with pytest.raises(ValueError):
        Brimwell.plan_segment_connect(ctx, AROUND_START, [np.inf] * 6, np.random.default_rng(0))


def test_connect_over_a_python_context():
    world = WallWorld()
    path = Brimwell.plan_segment_connect(world, [0.2, 0.2], [0.8, 0.2], np.random.default_rng(2), step=0.1)
    assert np.array_equal(path[0], [0.2, 0.2]) and np.array_equal(path[-1], [0.8, 0.2])
    assert max(p[1] for p in path) >= 0.7  # over the top of the wall
    assert all(WallWorld().edge_valid(a, b) for a, b in zip(path[:-1], path[1:]))
    # Over the wall's corners: about 2 * hypot(0.3, 0.5), well under the tree's wander.
    assert length(path) < 1.4


def test_connect_plans_where_rrt_star_cannot(hole):
    _, ctx = hole
    for seed in range(3):
        with pytest.raises(RuntimeError, match="RRT\\* failed"):
            Brimwell.plan_segment(ctx, HOLE_START, HOLE_GOAL, np.random.default_rng(seed))
        path = Brimwell.plan_segment_connect(ctx, HOLE_START, HOLE_GOAL, np.random.default_rng(seed))
        assert all(ctx.edge_valid(a, b) for a, b in zip(path[:-1], path[1:]))


# ----------------------------------------------------------------------------
# ProvideRRTPlan options

def test_default_planner_names_the_failing_segment(hole, capsys):
    cache, _ = hole
    with pytest.raises(RuntimeError) as err:
        Brimwell.ProvideRRTPlan(cache.path)
    assert str(err.value).startswith("RRT* failed to connect start ")
    assert str(err.value).endswith(" within 3000 iterations")
    last = capsys.readouterr().out.splitlines()[-1]
    assert last.startswith("Segment 0->1: ") and "--planner auto" in last

    out = Brimwell.ProvideRRTPlan(cache.path, planner="auto")
    lines = capsys.readouterr().out.splitlines()
    assert any(line.startswith("Segment 0->1: RRT* found no path") for line in lines)
    assert any(re.fullmatch(r"Segment 0->1: \d+ nodes in \d+\.\d\ds \(RRT-Connect\)", line) for line in lines)
    assert not any("smoothed to" in line for line in lines)
    assert np.array_equal(out[0], HOLE_START) and np.allclose(out[-1], HOLE_GOAL, atol=1e-12)


def test_auto_and_connect_runs(wall, capsys):
    cache, _ = wall
    default = Brimwell.ProvideRRTPlan(cache.path)
    plain = capsys.readouterr().out
    auto = Brimwell.ProvideRRTPlan(cache.path, planner="auto")
    auto_text = capsys.readouterr().out
    # RRT* plans both segments: the same trajectory, the segment lines name it.
    assert np.array_equal(auto, default)
    assert masked(auto_text.replace(" (RRT*)", "")) == masked(plain)
    assert auto_text.count(" (RRT*)") == 2
    explicit = Brimwell.ProvideRRTPlan(cache.path, planner="rrtstar", seed=Brimwell.SEED)
    assert np.array_equal(explicit, default) and masked(capsys.readouterr().out) == masked(plain)

    connect = Brimwell.ProvideRRTPlan(cache.path, planner="connect")
    text = capsys.readouterr().out
    assert "smoothed to" not in text and "(RRT" not in text
    assert np.array_equal(connect[0], cache.waypoints[0])
    assert np.all(np.linalg.norm(np.diff(connect, axis=0), axis=1) <= Brimwell.EDGE_RES + 1e-12)
    saved = np.load(cache.path / "JointAnglesToTravelAlong.npy")
    assert np.array_equal(saved, connect)


def test_seed_option(wall, capsys):
    cache, _ = wall
    a = Brimwell.ProvideRRTPlan(cache.path, seed=5)
    b = Brimwell.ProvideRRTPlan(cache.path, seed=np.int64(5))
    c = Brimwell.ProvideRRTPlan(cache.path, seed=6, planner="auto")
    assert np.array_equal(a, b) and not (a.shape == c.shape and np.array_equal(a, c))
    old = Brimwell.SEED
    try:
        Brimwell.SEED = 5  # the default seed is the module's, read at each call
        assert np.array_equal(Brimwell.ProvideRRTPlan(cache.path), a)
    finally:
        Brimwell.SEED = old
    capsys.readouterr()


@pytest.mark.parametrize("kwargs,match", [
    (dict(planner="RRT*"), "planner"), (dict(planner=None), "planner"), (dict(planner=3), "planner"),
    (dict(seed=-1), "seed"), (dict(seed=1.5), "seed"), (dict(seed=True), "seed"), (dict(seed="3"), "seed"),
])
def test_bad_options_are_refused_before_any_work(wall, capsys, kwargs, match):
    cache, _ = wall
    with pytest.raises(ValueError, match=match):
        Brimwell.ProvideRRTPlan(cache.path, **kwargs)
    assert capsys.readouterr().out == ""
    with pytest.raises(TypeError):
        Brimwell.ProvideRRTPlan(cache.path, "auto")  # the options are keywords


# ----------------------------------------------------------------------------
# Command line

def test_command_line_options(wall, monkeypatch, capsys):
    cache, _ = wall
    out_file = cache.path / "JointAnglesToTravelAlong.npy"
    expected = Brimwell.ProvideRRTPlan(cache.path, planner="auto", seed=4)
    capsys.readouterr()
    out_file.unlink()
    monkeypatch.setattr(Brimwell, "CACHE_DIR", cache.path.parent / "elsewhere")
    Brimwell.main(["--cache-dir", str(cache.path), "--planner", "auto", "--seed", "4"])
    assert np.array_equal(np.load(out_file), expected)
    out, err = capsys.readouterr()
    assert "(RRT*)" in out and err == ""

    Brimwell.main(["--cache-dir", str(cache.path), "--planner", "connect", "--self-collision"])
    out = capsys.readouterr().out
    assert "Self-collision: " in out and "smoothed to" not in out

    for argv in (["--planner", "bogus"], ["--seed", "-2"], ["--seed", "x"], ["--cache-dir"]):
        with pytest.raises(SystemExit) as exit_:
            Brimwell.main(argv)
        assert exit_.value.code == 2
        assert "usage: Brimwell" in capsys.readouterr().err


def test_native_edge_checks_answer_as_the_stepwise_definition(wall):
    # The native context may test an edge's configurations in any order; its
    # answer must be that of testing them one after another.
    cache, ctx = wall
    checked = Brimwell.PlanningContext(cache.path, self_collision=True)
    rng = np.random.default_rng(21)
    starts = rng.uniform(-2.0, 2.0, (150, 6))
    ends = starts + rng.normal(scale=0.6, size=(150, 6))
    for c in (ctx, checked):
        answers = []
        for a, b in zip(starts, ends):
            n = max(1, int(np.ceil(np.linalg.norm(b - a) / Brimwell.EDGE_RES)))
            expected = all(c.is_valid(a + (b - a) * (i / n)) for i in range(1, n + 1))
            assert c.edge_valid(a, b) is expected
            answers.append(expected)
        assert 0 < sum(answers) < len(answers)
