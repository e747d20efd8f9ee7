"""Independent problems planned on several threads: plan_segments, and the
driver's jobs option.  The answer never depends on the number of threads."""
import pathlib
import re
import sys
import threading

import numpy as np
import pytest

import Brimwell

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from test_brimwell import AROUND_GOAL, AROUND_START, WallWorld  # noqa: E402

import synthetic_cache  # noqa: E402  (on the path through conftest)

THIRD = np.array([0.0, -0.5, 0.3, 0.0, 0.0, 0.0])


@pytest.fixture(scope="module")
def wall(tmp_path_factory):
    wps = np.array([AROUND_START, AROUND_GOAL, THIRD, AROUND_START])
    cache = synthetic_cache.write_cache(tmp_path_factory.mktemp("parallel") / "Cache", 6, waypoints=wps)
    return cache, Brimwell.PlanningContext(cache.path)


def same_paths(a, b):
    return len(a) == len(b) and all(len(p) == len(q) and all(np.array_equal(x, y) for x, y in zip(p, q))
                                    for p, q in zip(a, b))


def one_by_one(ctx, starts, goals, seed, **kw):
    rngs = [np.random.default_rng(c) for c in np.random.SeedSequence(seed).spawn(len(starts))]
    return [Brimwell.plan_segment_connect(ctx, s, g, r, **kw) for s, g, r in zip(starts, goals, rngs)]


def test_the_same_paths_for_every_number_of_threads(wall):
    _, ctx = wall
    starts = [AROUND_START, AROUND_GOAL, THIRD, AROUND_GOAL, np.zeros(6)]
    goals = [AROUND_GOAL, THIRD, AROUND_START, AROUND_START, [0.1, -0.2, 0.1, 0.0, 0.0, 0.0]]
    expected = one_by_one(ctx, starts, goals, 7)
    for jobs in (1, 2, 3, None):
        got = Brimwell.plan_segments(ctx, starts, goals, 7, jobs=jobs)
        assert same_paths(got, expected), jobs
        assert all(p[-1] is not None and np.array_equal(p[0], s) for p, s in zip(got, starts))
    assert all(ctx.edge_valid(a, b) for p in expected for a, b in zip(p[:-1], p[1:]))
    other = Brimwell.plan_segments(ctx, starts, goals, 8, jobs=2)
    assert not same_paths(other, expected)
    assert Brimwell.plan_segments(ctx, [], [], 7) == []


def test_contexts_with_python_in_them_are_planned_in_order(wall):
    cache, native = wall
    world = WallWorld()
    starts, goals = [[0.2, 0.2], [0.8, 0.3]], [[0.8, 0.2], [0.1, 0.1]]
    expected = one_by_one(WallWorld(), starts, goals, 3, step=0.1)
    assert same_paths(Brimwell.plan_segments(world, starts, goals, 3, jobs=2, step=0.1), expected)

    seen = set()

    class Watched(Brimwell.PlanningContext):
        def is_valid(self, q):
            seen.add(threading.get_ident())
            return super().is_valid(q)

    watched = Watched(cache.path)
    got = Brimwell.plan_segments(watched, [AROUND_START, AROUND_GOAL], [AROUND_GOAL, THIRD], 5, jobs=2)
    assert seen == {threading.get_ident()}
    assert same_paths(got, Brimwell.plan_segments(native, [AROUND_START, AROUND_GOAL], [AROUND_GOAL, THIRD], 5))


def test_failures_and_bad_arguments(wall):
    _, ctx = wall
    with pytest.raises(RuntimeError, match=r"^problem 1: RRT-Connect failed .* within 0 iterations$"):
        Brimwell.plan_segments(ctx, [np.zeros(6), AROUND_START], [np.zeros(6) + 0.01, AROUND_GOAL], 0,
                               jobs=2, max_iters=0)
    for jobs in (0, -1, 1.5, True, "2"):
        with pytest.raises(ValueError, match="jobs must be a positive integer"):
            Brimwell.plan_segments(ctx, [AROUND_START], [AROUND_GOAL], 0, jobs=jobs)
    with pytest.raises(ValueError, match="as many"):
        Brimwell.plan_segments(ctx, [AROUND_START], [AROUND_GOAL, THIRD], 0)
    with pytest.raises(ValueError, match="problem 1: start and goal must hold finite"):
        Brimwell.plan_segments(ctx, [AROUND_START, AROUND_START], [AROUND_GOAL, [np.nan] * 6], 0)
    with pytest.raises(ValueError, match="start"):
        Brimwell.plan_segments(ctx, [np.zeros(5)], [AROUND_GOAL], 0)
    with pytest.raises(ValueError):
        Brimwell.plan_segments(ctx, [AROUND_START], [AROUND_GOAL], -1)  # numpy refuses the seed


def test_two_interpreter_threads_plan_at_once(wall):
    # The planners let go of the interpreter: two threads on one context get
    # what each would get alone.
    _, ctx = wall
    problems = [([AROUND_START, THIRD], [AROUND_GOAL, AROUND_START], s) for s in (1, 2)]
    alone = [Brimwell.plan_segments(ctx, *p, jobs=1) for p in problems]
    got = [None, None]

    def run(k):
        got[k] = Brimwell.plan_segments(ctx, *problems[k], jobs=1)

    threads = [threading.Thread(target=run, args=(k,)) for k in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(same_paths(a, b) for a, b in zip(got, alone))


def without_times(text):
    return re.sub(r"\d+\.\d\ds", "T", text)


@pytest.mark.parametrize("planner", ["connect", "rrtstar"])
def test_driver_jobs_give_one_plan(wall, capsys, planner):
    cache, _ = wall
    runs, lines = [], []
    for jobs in (1, 2, 3):
        runs.append(Brimwell.ProvideRRTPlan(cache.path, planner=planner, seed=2, jobs=jobs))
        lines.append(without_times(capsys.readouterr().out))
    assert all(np.array_equal(r, runs[0]) for r in runs[1:])
    assert lines[1:] == lines[:1] * 2
    assert "Segment 2->3: " in lines[0]
    with pytest.raises(ValueError, match="jobs must be a positive integer"):
        Brimwell.ProvideRRTPlan(cache.path, jobs=0)


def test_command_line_jobs(wall, capsys):
    cache, _ = wall
    expected = Brimwell.ProvideRRTPlan(cache.path, planner="connect", jobs=2)
    capsys.readouterr()
    Brimwell.main(["--cache-dir", str(cache.path), "--planner", "connect", "--jobs", "2"])
    assert np.array_equal(np.load(cache.path / "JointAnglesToTravelAlong.npy"), expected)
    with pytest.raises(SystemExit):
        Brimwell.main(["--cache-dir", str(cache.path), "--jobs", "0"])
    assert "--jobs: must be a positive integer" in capsys.readouterr().err


def test_a_context_answers_alike_after_planning_on_threads(wall):
    # The threads share the context's model (its occupancy summary built by
    # whichever thread needs a block first) and hand the context's query data
    # back: afterwards it answers as a context that never planned.
    cache, _ = wall
    qs = np.random.default_rng(5).uniform(-np.pi, np.pi, (300, 6))
    fresh = Brimwell.PlanningContext(cache.path)
    expected = [fresh.is_valid(q) for q in qs]
    used = Brimwell.PlanningContext(cache.path)
    Brimwell.plan_segments(used, [AROUND_START, THIRD], [AROUND_GOAL, AROUND_START], 4, jobs=3)
    assert [used.is_valid(q) for q in qs] == expected
    assert any(expected) and not all(expected)
