"""Clearance per body: an arm standing on a pedestal closer than the clearance it keeps
from everything else.

Every plan is checked against the exact meshes (python-fcl), body by body, at 0.005 rad:
the pedestal, kept out of the clearance, must still never be touched."""
import json
import os

import numpy as np
import pytest

import Brimwell
import Gristane
import fcl
from synthetic_cache import box_mesh

C = 0.01
# The synthetic arm's first link starts at z = 0.10, right on its base: a pedestal
# 5 mm under that link is closer than C at every configuration.
PEDESTAL = ("pedestal", (-0.15, -0.15, -0.05), (0.15, 0.15, 0.095))
WALL = ("wall", (0.35, -0.25, 0.20), (0.45, 0.25, 0.80))
GOAL = np.array([1.2, -0.5, 0.9, 0.3, -0.6, 0.4])


@pytest.fixture(scope="module")
def pedestal_cache(tmp_path_factory):
    import synthetic_cache

    path = tmp_path_factory.mktemp("bodies") / "cache"
    return synthetic_cache.write_cache(path, 6, env=(PEDESTAL, WALL))


def _bvh(V, F):
    m = fcl.BVHModel()
    m.beginModel(len(V), len(F))
    m.addSubModel(np.asarray(V, float), np.asarray(F, np.int64))
    m.endModel()
    return m


class PerBody:
    """Exact distance from the moving links to each body, and whether any link touches it."""

    def __init__(self, cache):
        self.cache = cache
        self.links = {i: _bvh(*cache.link_meshes[i]) for i in range(1, cache.n_joints + 1)}
        self.bodies = {name: fcl.CollisionObject(_bvh(*box_mesh(lo, hi)), fcl.Transform())
                       for name, lo, hi in (PEDESTAL, WALL)}

    def __call__(self, q):
        T = self.cache.link_transforms(q)
        out = {}
        for name, body in self.bodies.items():
            best = np.inf
            for i, model in self.links.items():
                o = fcl.CollisionObject(model, fcl.Transform(T[i][:3, :3], T[i][:3, 3]))
                if fcl.collide(o, body, fcl.CollisionRequest(), fcl.CollisionResult()):
                    best = 0.0
                    break
                best = min(best, fcl.distance(o, body, fcl.DistanceRequest(), fcl.DistanceResult()))
            out[name] = best
        return out


def dense(path, step=0.005):
    rows = [path[0]]
    for a, b in zip(path[:-1], path[1:]):
        k = max(1, int(np.ceil(np.max(np.abs(b - a)) / step)))
        rows.extend(a + (b - a) * t for t in np.linspace(0, 1, k + 1)[1:])
    return np.array(rows)


def test_a_body_within_the_clearance_is_spared(pedestal_cache):
    """A plain clearance refuses every configuration here (next test); with the pedestal
    spared the arm plans, and the path keeps C from the wall and off the pedestal."""
    start = np.zeros(6)
    spared = Brimwell.PlanningContext(pedestal_cache.path, clearance={"default": C, "pedestal": 0.0},
                                      lazy_proof=True)
    assert spared.clearance == {"default": C, "pedestal": 0.0}
    assert spared.is_valid(start) and spared.is_valid(GOAL)
    path = np.asarray(Brimwell.plan_segment_connect(spared, start, GOAL, np.random.default_rng(0)))
    exact = PerBody(pedestal_cache)
    low = {name: min(exact(q)[name] for q in dense(path)) for name in ("pedestal", "wall")}
    assert low["wall"] >= C, low
    assert low["pedestal"] > 0.0, low
    # Every edge proves with eager proofs too.
    eager = Brimwell.PlanningContext(pedestal_cache.path, clearance={"default": C, "pedestal": 0.0})
    assert all(eager.edge_valid(a, b) for a, b in zip(path[:-1], path[1:]))


def test_a_spared_body_is_still_never_touched(pedestal_cache):
    """Configurations swung down onto the pedestal, and edges through it, are refused
    though it is out of the clearance; each accepted pose keeps C from the wall."""
    ctx = Brimwell.PlanningContext(pedestal_cache.path, clearance={"default": C, "pedestal": 0.0})
    exact = PerBody(pedestal_cache)
    rng = np.random.default_rng(7)
    accepted = touching = 0
    for _ in range(300):
        q = rng.uniform(-np.pi, np.pi, 6)
        d = exact(q)
        if ctx.is_valid(q):
            accepted += 1
            assert d["pedestal"] > 0.0 and d["wall"] >= C, (q, d)
        touching += d["pedestal"] == 0.0
    assert accepted > 30 and touching > 10
    # An edge that sweeps a link through the pedestal, both ends clear of it.
    a = np.array([0.0, 2.0, 0.0, 0.0, 0.0, 0.0])
    b = np.array([0.0, 2.0, 1.4, 0.0, 0.0, 0.0])
    through = any(exact(q)["pedestal"] == 0.0 for q in dense(np.array([a, b])))
    assert not (through and ctx.edge_valid(a, b))


def test_a_larger_clearance_for_one_body(pedestal_cache):
    """A body named with more than the default is the one proven that far; the default
    still holds for the others."""
    ctx = Brimwell.PlanningContext(pedestal_cache.path, clearance={"default": 0.0, "wall": 0.05})
    exact = PerBody(pedestal_cache)
    rng = np.random.default_rng(3)
    for q in rng.uniform(-np.pi, np.pi, (200, 6)):
        if ctx.is_valid(q):
            d = exact(q)
            assert d["wall"] >= 0.05 and d["pedestal"] > 0.0, (q, d)


def test_uniform_dicts_are_the_float_and_bad_dicts_are_refused(pedestal_cache, tmp_path):
    path = pedestal_cache.path
    plain = Brimwell.PlanningContext(path, clearance=C)
    assert not plain.is_valid(np.zeros(6)) and not plain.is_valid(GOAL)  # the pedestal is too near
    same = Brimwell.PlanningContext(path, clearance={"default": C, "wall": C})
    rng = np.random.default_rng(1)
    for q in rng.uniform(-np.pi, np.pi, (200, 6)):
        assert plain.is_valid(q) == same.is_valid(q)
    # Every body named: no default needed.
    every = Brimwell.PlanningContext(path, clearance={"wall": C, "pedestal": C})
    assert every.clearance == {"wall": C, "pedestal": C} and not every.is_valid(np.zeros(6))
    for bad, words in [({"default": C, "shelf": 0.0}, "no environment body named 'shelf'.*pedestal, wall"),
                       ({"pedestal": 0.0}, "no \"default\".*wall"),
                       ({}, "empty dict"),
                       ({"default": -0.01}, r"clearance\['default'\]"),
                       ({"default": C, "pedestal": float("nan")}, r"clearance\['pedestal'\]"),
                       ({"default": C, "pedestal": True}, "pedestal"),
                       ({"default": None}, "default"),
                       ({1: C}, "keys are body names")]:
        with pytest.raises(ValueError, match=words):
            Brimwell.PlanningContext(path, clearance=bad)
    # Bad values are refused before the cache is read.
    with pytest.raises(ValueError, match="clearance"):
        Brimwell.ProvideRRTPlan(tmp_path / "no-such-cache", clearance={"default": "1cm"})


def test_the_stored_model_follows_the_clearance_of_each_body(pedestal_cache, tmp_path):
    """A stored clearance engine is read back only for the same clearance of every body:
    sparing the pedestal, or asking it for more, rebuilds it."""
    import shutil

    work = tmp_path / "cache"
    shutil.copytree(pedestal_cache.path, work)
    model = work / ".models" / "clearance.bin"
    q = np.zeros(6)

    def stamp():
        os.utime(model, ns=(10**9, 10**9))

    assert not Brimwell.PlanningContext(work, clearance=C).is_valid(q)
    stamp()
    assert not Brimwell.PlanningContext(work, clearance={"default": C}).is_valid(q)
    assert model.stat().st_mtime_ns == 10**9  # the same engine: read back
    assert Brimwell.PlanningContext(work, clearance={"default": C, "pedestal": 0.0}).is_valid(q)
    assert model.stat().st_mtime_ns != 10**9
    stamp()
    # The pedestal asked 8 mm of the 5 mm it has.
    assert not Brimwell.PlanningContext(work, clearance={"default": C, "pedestal": 0.008}).is_valid(q)
    assert model.stat().st_mtime_ns != 10**9


def test_offsets_keep_the_field_a_lower_bound_and_exact_in_its_band():
    """The field of min over bodies of (distance + offset): never above it, and within a
    cell's reach of it near the surfaces, against the exact distances per body."""
    boxes = [box_mesh((0.0, 0.0, 0.0), (0.2, 0.2, 0.2)), box_mesh((0.3, 0.0, 0.0), (0.5, 0.2, 0.1))]
    offsets = [0.02, 0.0]
    env = Gristane.EnvironmentDistance(boxes, offsets=offsets)
    per_body = [Gristane.EnvironmentDistance([b]) for b in boxes]
    pts = np.random.default_rng(0).uniform(-0.1, 0.6, (4000, 3))
    truth = np.min([d.distance(pts) + o for d, o in zip(per_body, offsets)], axis=0)
    lower = env.lower_bound(pts)
    assert np.all(lower <= truth + 1e-12)
    near = truth < 0.03
    assert near.sum() > 100
    assert np.all(truth[near] - lower[near] <= np.sqrt(3) * env.cell + 1e-4)
    # The offset distance names the body a point is shortest of its clearance from.
    np.testing.assert_allclose(env.distance(pts), np.min([d.distance(pts) for d in per_body], axis=0))
    with pytest.raises(ValueError, match="offset"):
        Gristane.EnvironmentDistance(boxes, offsets=[0.01])
    with pytest.raises(ValueError, match="offset"):
        Gristane.EnvironmentDistance(boxes, offsets=[0.01, -1.0])


def test_the_commands_take_clearance_for(pedestal_cache, tmp_path, capsys):
    import shutil

    work = tmp_path / "cache"
    shutil.copytree(pedestal_cache.path, work)
    np.save(work / "WaypointJointAngles.npy", np.array([np.zeros(6), GOAL, np.zeros(6)]))
    for argv, words in [(["--clearance-for", "pedestal=0"], "needs --clearance METRES"),
                        (["--clearance", "0.01", "--clearance-for", "shelf=0"], "no environment body named 'shelf'"),
                        (["--clearance", "0.01", "--clearance-for", "pedestal"], "expected BODY=METRES"),
                        (["--clearance", "0.01", "--clearance-for", "pedestal=-1"], "not negative")]:
        with pytest.raises(SystemExit) as e:
            Brimwell.main(["--cache-dir", str(work), *argv])
        assert e.value.code == 2
        assert words in capsys.readouterr().err
    Brimwell.main(["--cache-dir", str(work), "--planner", "connect", "--clearance", "0.01",
                   "--clearance-for", "pedestal=0", "--lazy-proof"])
    out = capsys.readouterr().out
    assert "proven at least 0.01 m from the environment (0.0 m from pedestal)" in out
    path = np.load(work / "JointAnglesToTravelAlong.npy")
    assert np.allclose(path[0], 0) and np.allclose(path[-1], 0)
    record = json.loads((work / "RunRecord.json").read_text())
    assert record["clearance"] == {"default": 0.01, "pedestal": 0.0}


def test_tasks_take_a_clearance_per_body(pedestal_cache, capsys):
    """The start on its pedestal is refused by a plain clearance (first test); spared, the
    task solves."""
    import cellpath_task

    goal_pose = pedestal_cache.link_transforms(GOAL)[-1]
    result = cellpath_task.plan_task(pedestal_cache.path, np.zeros(6), [goal_pose], write=False,
                                     clearance={"default": C, "pedestal": 0.0}, say=lambda line: None)
    assert result.reports[0].position_error < 1e-6
    cache = str(pedestal_cache.path)
    for extra, words in [(["--clearance-for", "pedestal=0"], "needs --clearance METRES"),
                         (["--clearance", "0.01", "--clearance-for", "shelf=0"], "no environment body named 'shelf'"),
                         (["--clearance", "0.01", "--clearance-for", "pedestal=x"], "METRES must be a number")]:
        assert cellpath_task.main([cache, "--start", "0,0,0,0,0,0", "--target", "0.3,0,0.6,0,0,0", *extra]) == 1
        assert words in capsys.readouterr().err
