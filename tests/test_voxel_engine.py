"""One voxel engine behind both ways of asking whether a posed arm touches the
environment: the stateless Gristane queries and the planner's point trees with
their occupancy summary must give the same answer, above all close to
obstacles, where the trees' boxes and the summary's blocks straddle occupied
cells."""
import pathlib
import sys

import numpy as np
import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "bench"))

import Brimwell  # noqa: E402
import Gristane  # noqa: E402
import bench_collision  # noqa: E402  (the cluttered cell of the collision benchmark)


@pytest.fixture(scope="module")
def cluttered(tmp_path_factory):
    cache = bench_collision.cluttered_cache(tmp_path_factory.mktemp("clutter"))
    return Brimwell.PlanningContext(cache.path)


def test_planner_trees_and_stateless_queries_agree_in_a_cluttered_cell(cluttered):
    h = cluttered.handler
    rng = np.random.default_rng(11)
    seen = set()
    for q in rng.uniform(-np.pi, np.pi, (400, 6)):
        T = h.AcquireTransformsGivenq(q)
        hits = Gristane.colliding_links(h.link_points, T, h.env_grid, h.env_origin, h.pitch)
        moving_free = not Gristane.in_collision(h.link_points[1:], T[1:], h.env_grid, h.env_origin, h.pitch)
        assert moving_free == (not [i for i in hits if i != 0])
        assert cluttered.is_valid(q) == moving_free, q
        seen.add(moving_free)
    assert seen == {True, False}

