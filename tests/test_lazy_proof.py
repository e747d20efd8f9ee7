"""Lazy proofs: a search on screened edges, then every edge of the kept path proven.

The screen is no proof, so these tests hunt for a path that reaches the caller with
an edge only screened: each edge of a lazy plan must pass the plain (eager) proof,
and the motion between its rows must clear the exact meshes by the clearance.
"""
import numpy as np
import pytest

import Brimwell
from test_clearance import ExactScene, random_poses


def valid_pairs(ctx, count, seed):
    """`count` (start, goal) pairs of valid poses, the goal across joint 1 from the start."""
    rng = np.random.default_rng(seed)
    lo, hi = ctx.limits[:, 0], ctx.limits[:, 1]
    pairs = []
    while len(pairs) < count:
        a, b = rng.uniform(lo, hi), rng.uniform(lo, hi)
        b[0] = a[0] + (2.0 if a[0] < 0 else -2.0)
        if ctx.is_valid(a) and ctx.is_valid(b) and not ctx.edge_valid(a, b):
            pairs.append((a, b))
    return pairs


@pytest.mark.parametrize("self_collision", [False, True])
def test_lazy_plans_are_proven_edge_by_edge_and_clear_between_rows(arm_cache, self_collision):
    c = 0.01
    lazy = Brimwell.PlanningContext(arm_cache.path, clearance=c, lazy_proof=True, self_collision=self_collision)
    eager = Brimwell.PlanningContext(arm_cache.path, clearance=c, self_collision=self_collision)
    assert lazy.lazy_proof and not eager.lazy_proof
    exact = ExactScene(arm_cache)
    for i, (a, b) in enumerate(valid_pairs(eager, 3, seed=11)):
        path = Brimwell.plan_segment_connect(lazy, a, b, np.random.default_rng(i))
        assert np.array_equal(path[0], a) and path[-1] is not None and np.array_equal(path[-1], b)
        for p, q in zip(path, path[1:]):
            assert eager.edge_valid(p, q), (i, p, q)
        fine = Brimwell.densify(path, res=0.005)
        assert min(exact.distance(q) for q in fine) >= c
        # The same seed, the same path, to the bit.
        again = Brimwell.plan_segment_connect(lazy, a, b, np.random.default_rng(i))
        assert len(again) == len(path) and all(np.array_equal(x, y) for x, y in zip(path, again))


def test_lazy_needs_a_clearance_and_invalid_ends_are_refused(arm_cache, tmp_path, capsys):
    with pytest.raises(ValueError, match="lazy_proof needs a clearance"):
        Brimwell.PlanningContext(arm_cache.path, lazy_proof=True)
    with pytest.raises(ValueError, match="lazy_proof needs a clearance"):
        Brimwell.ProvideRRTPlan(tmp_path / "no-such-cache", lazy_proof=True)
    with pytest.raises(SystemExit):
        Brimwell.main(["--cache-dir", str(arm_cache.path), "--lazy-proof"])
    assert "--lazy-proof: needs --clearance" in capsys.readouterr().err

    # A proof about a path covers its ends: an end the clearance refuses is an
    # error before any search, lazy or not (it used to start the path there).
    for lazy in (False, True):
        ctx = Brimwell.PlanningContext(arm_cache.path, clearance=0.01, lazy_proof=lazy)
        poses = random_poses(ctx, 400, seed=2)
        good = next(q for q in poses if ctx.is_valid(q))
        bad = next(q for q in poses if ctx.in_limits(q) and not ctx.is_valid(q))
        for plan in (Brimwell.plan_segment_connect, Brimwell.plan_segment):
            with pytest.raises(ValueError, match="start .* is not valid here"):
                plan(ctx, bad, good, np.random.default_rng(0))
            with pytest.raises(ValueError, match="goal .* is not valid here"):
                plan(ctx, good, bad, np.random.default_rng(0))


def test_a_proven_edge_refuses_an_end_in_self_collision(arm_cache):
    """An end the environment clears but two links touch in: no proven edge leaves it."""
    env_only = Brimwell.PlanningContext(arm_cache.path, clearance=0.005)
    both = Brimwell.PlanningContext(arm_cache.path, clearance=0.005, self_collision=True)
    poses = random_poses(both, 3000, seed=7)
    touching = [q for q in poses if env_only.is_valid(q) and not both.is_valid(q)]
    assert touching, "no pose with the links touching and the environment clear"
    for a in touching[:10]:
        for b in (a + 0.01, a - 0.01, a + np.linspace(-0.02, 0.02, len(a))):
            assert not both.edge_valid(a, b)
            assert not both.edge_valid(b, a)


def test_the_driver_plans_lazily_with_the_same_plan_on_any_number_of_threads(make_cache, capsys):
    cache = make_cache(waypoints=True)
    c = 0.02
    one = Brimwell.ProvideRRTPlan(cache.path, planner="connect", clearance=c, lazy_proof=True, jobs=1)
    out = capsys.readouterr().out
    assert "Lazy proof: segments searched on sampled edges" in out
    assert "proven at least 0.02 m from the environment" in out
    two = Brimwell.ProvideRRTPlan(cache.path, planner="connect", clearance=c, lazy_proof=True, jobs=2)
    assert np.array_equal(one, two)
    # One segment at a time (auto: RRT* first, on the screen too), each proven.
    auto = Brimwell.ProvideRRTPlan(cache.path, planner="auto", clearance=c, lazy_proof=True)
    out = capsys.readouterr().out
    assert "edges proven in" in out or "straight edge between the waypoints is proven" in out
    exact = ExactScene(cache)
    for traj in (one, auto):
        assert min(exact.distance(q) for q in Brimwell.densify(list(traj), res=0.005)) >= c


def test_the_task_planner_plans_lazily_on_its_one_context(make_cache):
    from cellpath_task import Planner, TaskError
    from test_task import FAR, Q_FREE, tool_pose

    cache = make_cache(env=FAR)
    with pytest.raises(TaskError, match="lazy_proof needs a clearance"):
        Planner(cache.path, lazy_proof=True)
    planner = Planner(cache.path, clearance=0.01, lazy_proof=True)
    assert planner.ctx.lazy_proof
    plan = planner.plan(np.zeros(6), [tool_pose(cache, Q_FREE)], seed=1)
    assert {s["planner"] for s in plan.segments} == {"RRT-Connect"}
    assert plan.proof["clearance"] == 0.01 and all(planner.ctx.is_valid(r) for r in plan.rows)


def test_a_step_too_short_to_ever_finish_is_refused(arm_cache):
    ctx = Brimwell.PlanningContext(arm_cache.path)
    a, b = np.zeros(6), np.full(6, 0.5)
    for step in (1e-9, 1e-5):
        with pytest.raises(ValueError, match="step must be at least 0.0001 rad"):
            Brimwell.plan_segment_connect(ctx, a, b, np.random.default_rng(0), step=step)
    # The shortest step taken ends, planned or not, in bounded time.
    try:
        Brimwell.plan_segment_connect(ctx, a, b, np.random.default_rng(0), step=1e-4, max_iters=300)
    except RuntimeError as e:
        assert "failed to connect" in str(e)
