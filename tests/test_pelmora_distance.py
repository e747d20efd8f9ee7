"""Pelmora: exact distances between the moving links and the environment, contacts between
bodies that never move, and the command line over whole trajectories."""
import numpy as np
import pytest

import Pelmora
from synthetic_cache import COLLIDING_Q, DEFAULT_ENV

WALL_X = DEFAULT_ENV[0][1][0]   # the wall's face towards the arm
LINKS = [f"Link{k}" for k in range(1, 7)]


def key(link, env="wall"):
    return (("env", env), ("link", link))


def test_distances_measure_each_moving_link_against_each_body(arm_cache):
    p = Pelmora.Pelmora(arm_cache.path)
    zero = np.zeros(6)
    d = p.distances(zero)
    # The base never moves, so it is not measured.
    assert set(d) == {key(name) for name in LINKS}
    for k, name in enumerate(LINKS, start=1):
        # A box facing the wall's large flat face: the gap is the wall's x less the box's largest x.
        gap = WALL_X - arm_cache.link_mesh_world(k, zero)[:, 0].max()
        assert d[key(name)] == pytest.approx(gap, abs=1e-9)

    hit = p.distances(COLLIDING_Q)
    touching = p.query(COLLIDING_Q).env_pairs
    assert touching and {k for k, v in hit.items() if v == 0.0} == touching
    assert all(v > 0.0 for k, v in hit.items() if k not in touching)

    allowed = [key("Link3")]
    assert set(p.distances(COLLIDING_Q, allowed_pairs=allowed)) == set(hit) - {key("Link3")}
    with pytest.raises(ValueError, match=r"expected 6 joint angles"):
        p.distances(np.zeros(5))
    with pytest.raises(ValueError, match="finite"):
        p.distances([0, np.nan, 0, 0, 0, 0])


def test_distance_trajectory_is_the_smallest_distance_of_each_row(arm_cache):
    p = Pelmora.Pelmora(arm_cache.path)
    traj = np.linspace(np.zeros(6), COLLIDING_Q, 7)
    per_row = p.distance_trajectory(traj)
    assert per_row.dtype == np.float64 and per_row.shape == (7,)
    assert per_row.tolist() == [min(p.distances(q).values()) for q in traj]
    assert per_row[0] > 0.2 and per_row[-1] == 0.0

    allowed = [key(name) for name in ("Link3", "Link4")]
    kept = p.distance_trajectory(traj, allowed_pairs=allowed)
    assert kept.tolist() == [min(p.distances(q, allowed_pairs=allowed).values()) for q in traj]

    np.save(arm_cache.path / "JointAnglesToTravelAlong.npy", traj)
    assert p.distance_trajectory(arm_cache.path).tolist() == per_row.tolist()
    assert p.distance_trajectory(np.zeros((0, 6))).shape == (0,)
    with pytest.raises(ValueError, match=r"shape \(N, 6\)"):
        p.distance_trajectory(np.zeros(6))


def test_without_environment_there_is_nothing_to_measure(make_cache):
    p = Pelmora.Pelmora(make_cache(env=()).path)
    assert p.distances(np.zeros(6)) == {}
    assert p.distance_trajectory(np.zeros((2, 6))).tolist() == [np.inf, np.inf]


# ----------------------------------------------------------------- contacts that never change

TABLE = ("table", (0.5, -0.5, 0.0), (0.9, 0.5, 0.3))
BOX_ON_TABLE = ("box", (0.6, -0.1, 0.3), (0.7, 0.1, 0.5))
PEDESTAL = ("pedestal", (-0.3, -0.3, -0.4), (0.3, 0.3, 0.001))
STILL = {(("env", "box"), ("env", "table")), (("env", "pedestal"), ("link", "Link0"))}


@pytest.fixture
def furnished_cache(make_cache):
    return make_cache(env=DEFAULT_ENV + (TABLE, BOX_ON_TABLE, PEDESTAL))


def test_fixed_leaves_out_what_never_moves_relative_to_each_other(furnished_cache):
    plain = Pelmora.Pelmora(furnished_cache.path)
    assert plain.query(np.zeros(6)).pairs == STILL
    # Without "fixed" every row of a trajectory collides.
    traj = np.linspace(np.zeros(6), [0.3, -0.3, 0.2, 0.0, 0.0, 0.0], 4)
    assert len(plain.query_trajectory(traj)) == 4

    fixed = Pelmora.Pelmora(furnished_cache.path, allowed_pairs="fixed")
    assert fixed.allowed_pairs == STILL
    assert not fixed.query(np.zeros(6)).in_collision and fixed.query_trajectory(traj) == []
    # The moving links are still reported, and "base" alone keeps the table and the box.
    assert key("Link3") in fixed.query(COLLIDING_Q).pairs
    base = plain.query(np.zeros(6), allowed_pairs="base").pairs
    assert base == {(("env", "box"), ("env", "table"))}
    assert plain.query(np.zeros(6), allowed_pairs=["fixed", key("Link3")]).pairs == set()

    # Among several bodies the trajectory's smallest distances skip far pairs and stay exact.
    sweep = np.linspace([-1.5, -0.6, 0.4, 0, 0.3, 0], [1.5, 1.2, -0.8, 0.5, -0.3, 0.2], 15)
    assert fixed.distance_trajectory(sweep).tolist() == [min(fixed.distances(q).values()) for q in sweep]


# ----------------------------------------------------------------- command line

def run(capsys, *argv):
    status = Pelmora.main(list(argv))
    out = capsys.readouterr().out
    return status, out.splitlines()


def test_script_checks_a_trajectory(arm_cache, capsys):
    cache = str(arm_cache.path)
    traj = np.linspace(np.zeros(6), COLLIDING_Q, 5)
    p = Pelmora.Pelmora(arm_cache.path)
    colliding = [row for row, _ in p.query_trajectory(traj)]
    np.save(arm_cache.path / "JointAnglesToTravelAlong.npy", traj)

    status, lines = run(capsys, "--cache-dir", cache, "--trajectory")
    assert status == 1
    assert [int(line.split(":")[0].split()[1]) for line in lines[:-1]] == colliding
    assert "env:wall <-> link:Link3" in lines[-2]
    assert lines[-1].endswith(f": {len(colliding)} of 5 rows in collision")

    clean = arm_cache.path / "clean.npy"
    np.save(clean, traj[:2])
    status, lines = run(capsys, f"--cache-dir={cache}", "--trajectory", str(clean), "--distance")
    smallest = p.distance_trajectory(traj[:2])
    assert status == 0
    assert lines[0] == f"{clean}: all 2 rows collision-free"
    row = int(smallest.argmin())
    nearest = min(p.distances(traj[row]).items(), key=lambda kv: (kv[1], kv[0]))[0]
    assert lines[1] == f"smallest distance {smallest.min():.6f} m at row {row}: env:wall <-> link:{nearest[1][1]}"

    # The files are named as pathlib writes them, however they were typed.
    status, lines = run(capsys, "--cache-dir", cache + "//", "--trajectory",
                        str(arm_cache.path) + "//.//clean.npy")
    assert lines[0] == f"{clean}: all 2 rows collision-free"
    status, lines = run(capsys, "--cache-dir", cache + "/.", "--trajectory")
    assert lines[-1].startswith(f"{arm_cache.path / 'JointAnglesToTravelAlong.npy'}: ")

    with pytest.raises(SystemExit) as stop:
        Pelmora.main(["--cache-dir", cache, "--trajectory", "0", "0"])
    assert stop.value.code == 2
    assert "takes no joint angles" in capsys.readouterr().err
    with pytest.raises(FileNotFoundError):
        Pelmora.main(["--cache-dir", cache, "--trajectory", str(arm_cache.path / "none.npy")])


def test_script_prints_the_smallest_distance_of_one_vector(furnished_cache, capsys):
    cache = str(furnished_cache.path)
    status, lines = run(capsys, "--cache-dir", cache, "--allow-fixed-contacts", "--distance",
                        *[str(x) for x in COLLIDING_Q])
    assert status is None
    assert "pedestal" not in "\n".join(lines) and "  env:wall <-> link:Link3" in lines
    assert lines[-1].startswith("smallest distance 0.000000 m: env:")
    # Without options the line is the query's, as ever.
    status, lines = run(capsys, "--cache-dir", cache)
    assert lines == str(Pelmora.Pelmora(cache).query(np.zeros(6))).splitlines()
