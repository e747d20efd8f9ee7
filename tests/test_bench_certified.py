"""The certified-motion benchmark's exact check and a quick run of it, on the Panda
before the tall shelf."""
import pathlib
import sys

import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))
sys.path.insert(0, str(ROOT / "examples"))

import Brimwell  # noqa: E402
import bench_certified as bench  # noqa: E402
from exact_distance import ExactDistance  # noqa: E402


@pytest.fixture(scope="module")
def shelf(tmp_path_factory):
    import real_arms
    return real_arms.panda_tall_shelf(tmp_path_factory.mktemp("certified") / "cache")


def test_path_minimum_is_the_smallest_distance_of_every_row(shelf):
    # The skipping must never pass over the row that holds the minimum, nor stop at a
    # contact it did not see: compare with every row checked, on a path that dives
    # into the shelf and on one that stays clear of it.
    exact = ExactDistance(shelf)
    wp = np.load(shelf / "WaypointJointAngles.npy")
    into = Brimwell.densify([wp[0], wp[1]], bench.RES)        # straight into the board's edge
    clear = Brimwell.densify([wp[0], wp[0] + np.array([0.6, 0, 0, 0, 0, 0, 0])], bench.RES)
    for path in (into, clear):
        every = [exact.distance(q) for q in path]
        assert exact.path_minimum(path) == pytest.approx(min(every), abs=1e-12)
        assert exact.path_minimum(path, stride=3) == pytest.approx(min(every), abs=1e-12)
    assert min(exact.distance(q) for q in into) == 0.0
    # The bound it skips by holds: no row is closer than its neighbour less the travel.
    steps = np.abs(np.diff(into, axis=0)) @ exact.reach
    d = np.array([exact.distance(q) for q in into])
    assert np.all(np.abs(np.diff(d)) <= steps + 1e-9)


def test_waypoint_distance_names_the_closest_pair(shelf):
    exact = ExactDistance(shelf)
    wp = np.load(shelf / "WaypointJointAngles.npy")
    gap, link, env = exact.distance(wp[1], detail=True)
    assert 0.015 <= gap < 0.05 and env == "shelf" and link.startswith("panda_link")


def test_quick_run_prints_a_row_per_test(capsys, tmp_path, monkeypatch):
    monkeypatch.setattr(bench, "OUT", tmp_path)
    bench.main(["--quick", "--problems", "2", "--no-ompl", "--no-vamp", "--rows", "voxel,voxel+self"])
    out = capsys.readouterr().out
    assert "panda_tall_shelf: 7 joints, 2 problems" in out
    rows = {line.split()[0]: line.split() for line in out.splitlines() if line.startswith("  voxel")}
    assert set(rows) == {"voxel", "voxel+self"}
    solved, total = map(int, rows["voxel"][1].split("/"))
    assert total == 2 and 0 <= solved <= 2
    # The problems are kept, and each joins two different cells of the shelf from ends
    # that a clearance of 1 cm (with its slack) accepts.
    kept, = tmp_path.glob("panda_tall_shelf-problems-*.npy")
    problems = np.load(kept)
    assert problems.shape == (2, 2, 7)
    scene = bench.real.Scene("panda_tall_shelf", bench.scene_cache("panda_tall_shelf"))
    exact = ExactDistance(scene.cache_dir)
    _, cells = bench.shelf_cells("panda_tall_shelf")

    def cell(q):
        p = exact.pel.forward_kinematics(q)[exact.link_names[-1]][:3, 3]
        inside = [k for k, (lo, hi) in enumerate(cells) if np.all(p > lo) and np.all(p < hi)]
        assert len(inside) == 1
        return inside[0]

    for a, b in problems:
        assert cell(a) != cell(b)
        for q in (a, b):
            assert scene.free(q) and exact.distance(q) >= bench.END_GAP
