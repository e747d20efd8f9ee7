"""Self-collision in the planning context: which poses it rejects, against the
exact meshes, the pairs allowed to touch, and planning with it on."""
import json

import numpy as np
import pytest

import Brimwell
import Pelmora

import synthetic_cache  # noqa: E402  (on the path through conftest)

fcl = pytest.importorskip("fcl")

# An environment box far out of the arm's reach: only the links can collide.
FAR = (("far", (3.0, 3.0, 0.0), (3.2, 3.2, 0.2)),)
# Joint 2 folded back: link 4 lies on link 2, nowhere near the environment.
FOLDED = np.array([0.0, 0.0, 2.8, 0.0, 0.0, 0.0])
# Swinging joint 3 from one side to the other sweeps link 5 through the base.
SWING_A = np.array([0.0, -1.59, -2.25, 1.07, 1.35, 0.0])
SWING_B = np.array([0.0, -1.59, -2.25, -1.07, 1.35, 0.0])


@pytest.fixture(scope="module")
def free_arm(tmp_path_factory):
    cache = synthetic_cache.write_cache(tmp_path_factory.mktemp("self") / "Cache", 6,
                                        env=FAR, waypoints=np.array([SWING_A, SWING_B]))
    return (cache, Brimwell.PlanningContext(cache.path),
            Brimwell.PlanningContext(cache.path, self_collision=True))


def exact_gap(cache, q, pairs):
    """Smallest distance between the link meshes of the given pairs at q (FCL)."""
    T = cache.link_transforms(q)
    objs = {}
    for k, (V, F) in cache.link_meshes.items():
        m = fcl.BVHModel()
        m.beginModel(len(V), len(F))
        m.addSubModel(V, F)
        m.endModel()
        objs[k] = fcl.CollisionObject(m, fcl.Transform(T[k][:3, :3], T[k][:3, 3]))
    best = np.inf
    for i, j in pairs:
        best = min(best, fcl.distance(objs[i], objs[j], fcl.DistanceRequest(), fcl.DistanceResult()))
    return best


def test_a_pose_and_an_edge_only_the_self_collision_test_rejects(free_arm):
    cache, plain, checked = free_arm
    assert plain.is_valid(FOLDED) and not checked.is_valid(FOLDED)
    assert Pelmora.Pelmora(cache.path).query(FOLDED).link_pairs
    assert checked.self_collision and not plain.self_collision
    assert plain.allowed_pairs == () and checked.allowed_pairs == tuple((k, k + 1) for k in range(6))
    # Outside the limits nothing is posed; inside, the environment answer is unchanged.
    assert not checked.is_valid(np.full(6, 4.0))
    for q in (SWING_A, SWING_B):
        assert checked.is_valid(q)
    assert plain.edge_valid(SWING_A, SWING_B) and not checked.edge_valid(SWING_A, SWING_B)
    ns, ok = Brimwell._time_is_valid(checked, np.array([FOLDED, SWING_A]))
    assert list(ok) == [False, True]


def test_agrees_with_the_exact_meshes(free_arm):
    # Touching links are always rejected; links 2 cm or more apart always pass.
    cache, plain, checked = free_arm
    pairs = [(i, j) for i in range(7) for j in range(i + 2, 7)]
    rng = np.random.default_rng(12)
    qs = list(rng.uniform(-np.pi, np.pi, (400, 6)))
    for t in np.linspace(2.2, 3.0, 60):  # folding link 4 onto link 2, through the margin
        qs.append(np.array([0.0, 0.0, t, 0.0, 0.0, 0.0]))
        qs.append(np.array([0.3, -0.4, t, 0.5, 0.2, 0.0]))
    exact = Pelmora.Pelmora(cache.path)
    rejected = near = 0
    for q in qs:
        assert plain.is_valid(q)
        ours = checked.is_valid(q)
        if exact.query(q).link_pairs:
            assert not ours, q
        elif not ours:
            rejected += 1
            gap = exact_gap(cache, q, pairs)
            assert gap < 0.02, (q, gap)
            near += gap > 0.005
    assert 0 < rejected and near > 0  # the sweep did probe the margin


def test_allowed_pairs_include_a_link_nested_in_a_housing(tmp_path):
    # Link 1 gets a housing around joint 1 that always holds the bottom of
    # link 3, whatever the joints do: that pair touches in every configuration.
    cache = synthetic_cache.write_cache(tmp_path / "Cache", 6, env=FAR)
    V, F = cache.link_meshes[1]
    joint1 = np.array([0.0, 0.0, 0.3])  # link 1's frame sits at its joint, 0.3 below joint 1
    HV, HF = synthetic_cache.box_mesh(joint1 - 0.3, joint1 + 0.3)
    V2, F2 = np.vstack([V, HV]), np.vstack([F, HF + len(V)])
    np.savez(cache.path / "link_1.npz", V=V2, F=F2)
    meta = json.loads((cache.path / "meta.json").read_text())
    for entry in meta["links"]:
        if entry["index"] == 1:
            entry["n_vertices"], entry["n_faces"] = len(V2), len(F2)
    (cache.path / "meta.json").write_text(json.dumps(meta))
    first = Brimwell.PlanningContext(cache.path, self_collision=True)
    assert first.allowed_pairs == ((0, 1), (1, 2), (1, 3), (2, 3), (3, 4), (4, 5), (5, 6))
    assert Brimwell.PlanningContext(cache.path, self_collision=True).allowed_pairs == first.allowed_pairs
    assert first.is_valid(np.zeros(6))


def test_plans_avoid_self_collision(free_arm, capsys):
    cache, _, checked = free_arm
    exact = Pelmora.Pelmora(cache.path)
    plain = Brimwell.ProvideRRTPlan(cache.path)  # the straight swing: through link 2
    assert any(r.link_pairs for _, r in exact.query_trajectory(plain))
    for planner in ("auto", "connect"):
        traj = Brimwell.ProvideRRTPlan(cache.path, planner=planner, self_collision=True)
        assert not any(r.link_pairs for _, r in exact.query_trajectory(traj))
        assert all(checked.is_valid(q) for q in traj)
    out = capsys.readouterr().out
    assert "Self-collision: links tested against each other, except the pairs allowed to touch ((0, 1)," in out


def test_overridden_contexts_keep_the_self_collision_test(free_arm, monkeypatch):
    cache, _, _ = free_arm

    class Counting(Brimwell.PlanningContext):
        calls = 0

        def is_valid(self, q):
            Counting.calls += 1
            return super().is_valid(q)

    c = Counting(cache.path, self_collision=True)
    assert not c.is_valid(FOLDED) and not c.edge_valid(SWING_A, SWING_B) and Counting.calls > 2
    # A stubbed environment test replaces the voxel test only.
    monkeypatch.setattr(Brimwell, "in_collision", lambda *args: False)
    assert not c.is_valid(FOLDED) and c.is_valid(SWING_A)


def test_self_collision_needs_sound_link_meshes(free_arm, monkeypatch):
    cache, _, _ = free_arm
    real = Brimwell.RobotEnvironmentHandler

    class Handler:  # the real handler's answers, with the link meshes replaced
        def __init__(self, cache_dir, linkmesh):
            h = real(cache_dir)
            for name in ("cache", "ScrewAxis", "initialTransforms", "link_points", "env_grid",
                         "env_origin", "pitch"):
                setattr(self, name, getattr(h, name))
            if linkmesh(h.linkmesh) is not None:
                self.linkmesh = linkmesh(h.linkmesh)

    def handler_with(linkmesh):
        return lambda cache_dir: Handler(cache_dir, linkmesh)

    monkeypatch.setattr(Brimwell, "RobotEnvironmentHandler", handler_with(lambda m: None))
    with pytest.raises(ValueError, match="linkmesh"):
        Brimwell.PlanningContext(cache.path, self_collision=True)
    Brimwell.PlanningContext(cache.path)  # without self-collision the meshes are not needed

    def bad_face(m):
        m = dict(m)
        m["F_2"] = m["F_2"].copy()
        m["F_2"][0, 0] = 99
        return m

    def nan_vertex(m):
        m = dict(m)
        m["V_3"] = m["V_3"].copy()
        m["V_3"][1, 2] = np.nan
        return m

    for broken, match in ((bad_face, "vertex 99"), (nan_vertex, "NaN|finite"),
                          (lambda m: {**m, "V_4": np.zeros((3, 2))}, "shape")):
        monkeypatch.setattr(Brimwell, "RobotEnvironmentHandler", handler_with(broken))
        with pytest.raises(ValueError, match=match):
            Brimwell.PlanningContext(cache.path, self_collision=True)
    # A link without an entry simply has no geometry.
    monkeypatch.setattr(Brimwell, "RobotEnvironmentHandler",
                        handler_with(lambda m: {k: v for k, v in m.items() if not k.endswith("_4")}))
    c = Brimwell.PlanningContext(cache.path, self_collision=True)
    assert (3, 4) in c.allowed_pairs and c.is_valid(SWING_A)


def test_proven_edges_keep_links_apart(free_arm):
    """With a clearance, an edge's proof covers the links against each other too:
    the swing that folds link 4 through link 2 is refused, and every edge accepted
    keeps the checked pairs apart at every step of the exact meshes."""
    cache, _, _ = free_arm
    ctx = Brimwell.PlanningContext(cache.path, self_collision=True, clearance=0.005)
    assert not ctx.is_valid(FOLDED)
    assert ctx.is_valid(SWING_A) and ctx.is_valid(SWING_B)
    assert not ctx.edge_valid(SWING_A, SWING_B)
    pairs = [p for p in ((i, j) for i in range(7) for j in range(i + 2, 7)) if p not in ctx.allowed_pairs]
    rng = np.random.default_rng(4)
    accepted = 0
    for _ in range(40):
        a = rng.uniform(ctx.limits[:, 0], ctx.limits[:, 1])
        b = a + rng.normal(size=6) * 0.15
        if not ctx.edge_valid(a, b):
            continue
        accepted += 1
        assert min(exact_gap(cache, a + (b - a) * t, pairs) for t in np.linspace(0, 1, 41)) > 0.0
    assert accepted >= 5


def test_a_wide_piece_does_not_settle_a_pair_beyond_its_field(free_arm):
    """A proof's first pieces widen the pair threshold by how far the links can
    move, past the few centimetres each link's field covers.  Points beyond the
    field are then judged by their distance to the link's box, not taken as
    far: this edge's links are apart at its middle and near its ends, yet at
    t = 0.07 link meshes touch, and the edge must not be proven."""
    cache, _, _ = free_arm
    ctx = Brimwell.PlanningContext(cache.path, self_collision=True, clearance=0.005)
    a = np.array([-0.19387073, 0.87064602, 2.60778707, 0.6549372, 0.05053817, -0.53866761])
    b = np.array([2.4864773, -0.36669047, 2.1990129, -1.85377152, -0.94526209, 1.19828993])
    pairs = [p for p in ((i, j) for i in range(7) for j in range(i + 2, 7)) if p not in ctx.allowed_pairs]
    assert ctx.is_valid(a) and ctx.is_valid(b) and ctx.is_valid((a + b) / 2)
    assert exact_gap(cache, a + (b - a) * 0.06875, pairs) == 0.0
    assert not ctx.edge_valid(a, b) and not ctx.edge_valid(b, a)


def test_the_pair_tables_answer_as_the_walks_do(free_arm):
    """The tables that clear pairs of links two apart, from a cell's flag or
    from the room the pair keeps at the cell's centre, never answer otherwise
    than testing the pair itself: swept through the margin where link 4 folds
    onto link 2 (a tabled pair), across cells and their centres."""
    _, _, checked = free_arm
    rng = np.random.default_rng(5)
    qs = [np.array([0.0, 0.0, t, u, 0.0, 0.0])
          for t in np.linspace(2.0, 3.0, 201) for u in np.linspace(-0.4, 0.4, 9)]
    qs += list(rng.uniform(-np.pi, np.pi, (300, 6)))
    qs = np.array(qs)
    qs[:, 2:4] += rng.uniform(-0.01, 0.01, (len(qs), 2))
    tabled, walked = Brimwell._self_answers(checked, qs)
    assert np.array_equal(tabled, walked), qs[tabled != walked][:3]
    assert tabled.any() and not tabled.all()  # the sweep crossed the margin
