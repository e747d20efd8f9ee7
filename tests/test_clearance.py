"""Clearance: the distance engine's proofs against the exact meshes (python-fcl).

Every check that answers "free" must hold under the exact geometry; these tests
hunt for the faults that would break that: a pose the voxel test lets through,
an edge whose samples pass while its motion does not, a field value rounded the
wrong way, a solid whose inside looks far from its surface.
"""
import numpy as np
import pytest

import Brimwell
import Gristane
import fcl
from synthetic_cache import box_mesh


class ExactScene:
    """The synthetic arm and its obstacles as fcl meshes, posed by plain numpy."""

    def __init__(self, cache):
        self.cache = cache

        def bvh(V, F):
            m = fcl.BVHModel()
            m.beginModel(len(V), len(F))
            m.addSubModel(np.asarray(V, float), np.asarray(F, np.int64))
            m.endModel()
            return m

        self.links = {i: bvh(*cache.link_meshes[i]) for i in range(1, cache.n_joints + 1)}
        self.env = [(name, fcl.CollisionObject(bvh(V, F), fcl.Transform())) for name, V, F in cache.env_meshes]

    def distance(self, q):
        """Smallest distance between a moving link and an obstacle (0 when they touch)."""
        T = self.cache.link_transforms(q)
        best = np.inf
        for i, model in self.links.items():
            o = fcl.CollisionObject(model, fcl.Transform(T[i][:3, :3], T[i][:3, 3]))
            for _, e in self.env:
                best = min(best, fcl.distance(o, e, fcl.DistanceRequest(), fcl.DistanceResult()))
        return max(best, 0.0)


def random_poses(ctx, count, seed):
    rng = np.random.default_rng(seed)
    lo, hi = ctx.limits[:, 0], ctx.limits[:, 1]
    return rng.uniform(lo, hi, size=(count, len(lo)))


def test_clearance_argument_is_checked_before_loading(arm_cache, tmp_path):
    ctx = Brimwell.PlanningContext(arm_cache.path)
    assert ctx.clearance is None
    assert Brimwell.PlanningContext(arm_cache.path, clearance=0.01).clearance == 0.01
    for bad in (-0.001, float("nan"), float("inf"), "1cm", True):
        with pytest.raises(ValueError, match="clearance"):
            Brimwell.PlanningContext(arm_cache.path, clearance=bad)
        # refused before the cache is read
        with pytest.raises(ValueError, match="clearance"):
            Brimwell.ProvideRRTPlan(tmp_path / "no-such-cache", clearance=bad)


def test_clearance_never_accepts_a_closer_pose_and_refuses_little_beyond(arm_cache):
    """Against the exact meshes: no pose closer than c passes; few refusals beyond c + 5 mm.

    The voxel test, on the same poses, lets through poses that touch the wall."""
    c = 0.01
    ctx = Brimwell.PlanningContext(arm_cache.path, clearance=c)
    vox = Brimwell.PlanningContext(arm_cache.path)
    exact = ExactScene(arm_cache)
    voxel_lets_through = []
    for q in random_poses(ctx, 1500, seed=3):
        d = exact.distance(q)
        if ctx.is_valid(q):
            assert d >= c, (q, d)
        else:
            assert d < c + 0.005, (q, d)
        if vox.is_valid(q) and d < c:
            voxel_lets_through.append((q, d))
    # The voxel test's free poses include some within the clearance (some touching):
    # each one the clearance test refuses.
    assert voxel_lets_through
    assert not any(ctx.is_valid(q) for q, _ in voxel_lets_through)


def test_edge_whose_samples_pass_but_whose_motion_collides(make_cache):
    """A 0.1 mm speck just inside the arc the arm's top corner sweeps between two samples:
    every sample at the planner's spacing is clear of it by the exact meshes, the motion is not."""
    probe = make_cache()
    a = np.zeros(6)
    b = np.array([0.0, 0.3, 0, 0, 0, 0])
    # The top corner of the last link (farthest from joint 1's axis) at the angle
    # halfway between the 0.05 rad samples 0.1 and 0.15.
    V, _ = probe.link_meshes[6]
    mid = a + (b - a) * 0.125 / 0.3
    T = probe.link_transforms(mid)[6]
    world = V @ T[:3, :3].T + T[:3, 3]
    axis_point = probe.link_transforms(np.zeros(6))[2][:3, 3]
    corner = world[np.argmax(np.linalg.norm((world - axis_point)[:, [0, 2]], axis=1))]
    inward = (axis_point - corner) * np.array([1, 0, 1])
    centre = corner + 0.0002 * inward / np.linalg.norm(inward)
    cache = make_cache(env=(("speck", centre - 0.00005, centre + 0.00005),))

    ctx = Brimwell.PlanningContext(cache.path, clearance=0.0)
    exact = ExactScene(cache)
    n = int(np.ceil(np.linalg.norm(b - a) / Brimwell.EDGE_RES))
    samples = [a + (b - a) * i / n for i in range(n + 1)]
    assert min(exact.distance(q) for q in samples) > 0.0
    fine = [a + (b - a) * t for t in np.linspace(0, 1, 601)]
    assert min(exact.distance(q) for q in fine) == 0.0
    assert not ctx.edge_valid(a, b)
    assert not ctx.edge_valid(b, a)
    # The same motion with the speck out of the way is proven.
    away = centre + np.array([0.0, 0.0, 0.5])
    clear = Brimwell.PlanningContext(make_cache(env=(("speck", away - 0.00005, away + 0.00005),)).path, clearance=0.0)
    assert clear.edge_valid(a, b)


def test_field_bounds_round_down_and_solids_have_an_inside():
    V, F = box_mesh((0.0, 0.0, 0.0), (0.3, 0.2, 0.1))
    plane = (np.array([[0.0, 0.0, 0.5], [0.3, 0.0, 0.5], [0.0, 0.2, 0.5]]), np.array([[0, 1, 2]]))
    env = Gristane.EnvironmentDistance([(V, F), plane], cell=0.01, pad=0.05)
    assert env.closed == (True, False)
    ijk = np.stack(np.meshgrid(*[np.arange(s) for s in env.shape], indexing="ij"), -1).reshape(-1, 3)
    centres = env.origin + (ijk[::7] + 0.5) * env.cell
    lower, exact = env.lower_bound(centres), env.distance(centres)
    assert np.all(lower <= exact)
    # At a centre the bound is the stored value itself: one step of 0.1 mm up
    # would claim more than the true distance at some of them.
    assert np.any(lower + 1e-4 > exact)
    # Deep inside the box: distance 0 and nothing proven; above the open plane
    # and below it alike, the distance is the plane's.
    inside = np.array([[0.15, 0.1, 0.05]])
    assert env.distance(inside)[0] == 0.0 and env.lower_bound(inside)[0] <= 0.0
    around = np.array([[0.05, 0.05, 0.45], [0.05, 0.05, 0.55]])
    assert np.allclose(env.distance(around), 0.05)
    # Random points, near and far: never above the exact distance.
    pts = np.random.default_rng(0).uniform(-0.3, 0.7, size=(3000, 3))
    assert np.all(env.lower_bound(pts) <= env.distance(pts))
    with pytest.raises(ValueError):
        env.lower_bound(np.zeros((4, 2)))
    with pytest.raises(ValueError):
        Gristane.EnvironmentDistance([(V, F)], cell=0.0)


def test_the_wide_walk_is_sound_and_the_same_on_every_machine():
    """The screen's spheres settled eight at a time in single precision: a
    "clear" must hold against the exact distance, the float error must stay
    inside its slack, and the portable path must take the very same steps."""
    import trimesh

    shelf = box_mesh((0.0, -0.4, 0.0), (0.5, 0.4, 0.02))
    post = box_mesh((0.2, 0.1, 0.02), (0.26, 0.16, 0.6))
    env = Gristane.EnvironmentDistance([shelf, post], cell=0.01, pad=0.3)
    link = trimesh.creation.capsule(height=0.25, radius=0.05, count=[12, 12])
    rng = np.random.default_rng(3)
    dense = link.sample(4000, seed=1)
    poses, thresholds, nearest = [], [], []
    for k in range(120):
        T = trimesh.transformations.random_rotation_matrix(rng.random(3))
        T[:3, 3] = rng.uniform([-0.1, -0.3, 0.05], [0.6, 0.3, 0.5])
        if k % 40 == 0:
            T[:3, 3] = [40.0, 0.0, 0.0]  # far beyond the field: the binary walk decides
        d = env.distance(dense @ T[:3, :3].T + T[:3, 3]).min()
        poses.append(T)
        nearest.append(d)
        thresholds.append(max(0.0, d + rng.uniform(-0.012, 0.004)))
    rows = env._cover_walks(link.vertices, link.faces, np.array(poses), np.array(thresholds), 0.01)
    binary, wide, portable, opened, opened_portable, error, slack = map(np.array, zip(*rows))
    assert np.array_equal(wide, portable) and np.array_equal(opened, opened_portable)
    assert np.all(error <= slack / 3) and np.all(slack < 1e-4)
    # Never clear where the exact surface comes within the threshold, nor
    # where the binary walk (no single precision) finds it not proven.
    assert not np.any(wide & (np.array(nearest) <= np.array(thresholds)))
    assert not np.any(wide & ~binary)
    assert wide.sum() >= 0.9 * binary.sum() and wide.any() and not wide.all()


def test_a_link_wholly_inside_a_solid_is_not_clear(make_cache):
    # A block that swallows the upright arm's top links: no surface nearby, yet inside.
    cache = make_cache(env=(("block", (-0.5, -0.5, 0.6), (0.5, 0.5, 2.0)),))
    ctx = Brimwell.PlanningContext(cache.path, clearance=0.0)
    assert not ctx.is_valid(np.zeros(6))


def test_proven_edges_are_symmetric_and_contain_their_ends(arm_cache):
    ctx = Brimwell.PlanningContext(arm_cache.path, clearance=0.01)
    poses = random_poses(ctx, 120, seed=5)
    for a, b in zip(poses[::2], poses[1::2]):
        b = a + (b - a) * 0.2
        assert ctx.edge_valid(a, b) == ctx.edge_valid(b, a)
        if ctx.edge_valid(a, b):
            assert ctx.is_valid(a) and ctx.is_valid(b)


def test_plan_with_clearance_is_clear_between_its_rows(make_cache, capsys):
    cache = make_cache(waypoints=True)
    c = 0.02
    traj = Brimwell.ProvideRRTPlan(cache.path, planner="auto", clearance=c)
    out = capsys.readouterr().out
    assert "proven at least 0.02 m from the environment" in out
    exact = ExactScene(cache)
    fine = Brimwell.densify(list(traj), res=0.005)
    assert min(exact.distance(q) for q in fine) >= c
    assert np.array_equal(np.load(cache.path / "JointAnglesToTravelAlong.npy"), traj)


def test_waypoint_closer_than_the_clearance_is_named(make_cache, capsys):
    probe = make_cache()
    # Turn joint 1 until the arm is about 1 cm from the wall (by the exact meshes).
    exact = ExactScene(probe)
    angles = np.linspace(0.0, 1.5, 301)
    near = next(t for t in angles if exact.distance([0, t, 0, 0, 0, 0]) < 0.012)
    wp = np.array([[0, 0, 0, 0, 0, 0], [0, near, 0, 0, 0, 0], [0, 0, 0, 0, 0, 0]], float)
    cache = make_cache(waypoints=wp)
    with pytest.raises(RuntimeError, match=r"Waypoint 1 is closer than 0\.03 m to the environment: link .* is about 0\.0\d+ m from wall"):
        Brimwell.ProvideRRTPlan(cache.path, clearance=0.03)
    assert "Waypoint 1 is closer than 0.03 m" in capsys.readouterr().out
    assert not (cache.path / "JointAnglesToTravelAlong.npy").exists()


def test_timed_run_replaces_stale_files_and_fails_in_one_line(make_cache, capsys):
    cache = make_cache(waypoints=True)
    for name in ("TimedTrajectory.npz", "TimedTrajectory.csv"):
        (cache.path / name).write_text("from another plan")
    args = ["--cache-dir", str(cache.path), "--planner", "auto", "--clearance", "0.01", "--timed",
            "--max-velocity", "1", "--max-acceleration", "2"]
    Brimwell.main(args)
    assert "Timed trajectory:" in capsys.readouterr().out
    assert np.load(cache.path / "TimedTrajectory.npz", allow_pickle=False)["q"].shape[1] == 6

    # A plan that cannot be made leaves the earlier plan and its timing as they were.
    earlier = {name: (cache.path / name).read_bytes()
               for name in ("JointAnglesToTravelAlong.npy", "TimedTrajectory.npz", "TimedTrajectory.csv")}
    wp = np.array([[0, 0, 0, 0, 0, 0], [0, np.pi / 2, 0, 0, 0, 0]], float)
    np.save(cache.path / "WaypointJointAngles.npy", wp)
    with pytest.raises(RuntimeError):
        Brimwell.main(args)
    assert {name: (cache.path / name).read_bytes() for name in earlier} == earlier
    with pytest.raises(SystemExit):
        Brimwell.main(args[:-6] + ["--clearance", "-1"])
