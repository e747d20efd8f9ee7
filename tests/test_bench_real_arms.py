"""The real-arm planning benchmark's harness, on the sample workcell: its problems, its
emulation of the waypoint driver, its OMPL adapter and a quick run end to end."""
import contextlib
import io
import pathlib
import shutil
import sys
import threading
import time

import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))
sys.path.insert(0, str(ROOT / "examples"))

import Brimwell  # noqa: E402
import bench_real_arms as bench  # noqa: E402


@pytest.fixture(scope="module")
def sample_cache(tmp_path_factory):
    sys.path.insert(0, str(ROOT / "hostsim"))
    import make_sample_cache

    out = tmp_path_factory.mktemp("bench_real_arms") / "cache"
    with contextlib.redirect_stdout(io.StringIO()):
        make_sample_cache.make_sample_cache(out)
    return out


@pytest.fixture(scope="module")
def scene(sample_cache):
    return bench.Scene("sample_workcell", sample_cache)


def test_problems_are_free_blocked_pairs_drawn_the_same_every_time(scene):
    problems = bench.draw_problems(scene, 4, 11)
    assert len(problems) == 4
    for a, b in problems:
        assert np.linalg.norm(b - a) == pytest.approx(bench.PAIR_DIST)
        assert scene.ctx.is_valid(a) and scene.ctx.is_valid(b)
        assert scene.free(a) and scene.free(b)
        assert not scene.ctx.edge_valid(a, b)
    again = bench.draw_problems(scene, 4, 11)
    assert all(np.array_equal(p, q) for pair, other in zip(problems, again) for p, q in zip(pair, other))
    assert not np.array_equal(bench.draw_problems(scene, 1, 12)[0][0], problems[0][0])


DRIVER_OPTIONS = [
    ("rrtstar", {}),
    ("auto", {"planner": "auto", "self_collision": True}),
    ("connect", {"planner": "connect", "self_collision": True}),
]


@pytest.mark.parametrize("name, options", DRIVER_OPTIONS, ids=[n for n, _ in DRIVER_OPTIONS])
def test_task_with_seed_zero_is_the_driver_s_own_plan(scene, tmp_path, name, options):
    # The benchmark's per-segment task run must plan exactly what ProvideRRTPlan plans,
    # or its task figures would describe some other planner.
    if options and "planner" not in Brimwell.ProvideRRTPlan.__doc__.splitlines()[0]:
        pytest.skip("this Brimwell has only the RRT* driver")
    ctx = scene.self_ctx() if options.get("self_collision") else scene.ctx
    run = {"rrtstar": bench.rrtstar, "auto": bench.auto, "connect": bench.connect}[name](ctx)
    (planned, segments), = bench.run_task(scene, [(name, run)], [0]).values()
    assert planned == 1 and all(o.ok for o in segments)
    chained = [scene.waypoints[0]]
    for o in segments:
        chained += o.path[1:]
    cache = tmp_path / "cache"
    shutil.copytree(scene.cache_dir, cache)
    with contextlib.redirect_stdout(io.StringIO()):
        expected = Brimwell.ProvideRRTPlan(cache, **options)
    np.testing.assert_array_equal(Brimwell.densify(chained), expected)
    for o in segments:
        assert not o.length > o.raw_length + 1e-12
        assert not 0.0 > o.shorten_seconds and not o.shorten_seconds > o.seconds


def test_ompl_paths_pass_the_project_s_edge_test_and_repeat_per_seed(scene):
    pytest.importorskip("ompl")
    peer = bench.Ompl(scene.ctx, time_cap=5.0)
    a, b = bench.draw_problems(scene, 1, 5)[0]
    first = peer.planner("connect")(a, b, 3)
    assert first.ok
    np.testing.assert_array_equal(first.path[0], a)
    np.testing.assert_array_equal(first.path[-1], b)
    # The callback's resolution matches edge_valid's, so OMPL's edges pass ours.
    assert all(scene.ctx.edge_valid(p, q) for p, q in zip(first.path, first.path[1:]))
    assert first.length <= first.raw_length + 1e-12
    second = peer.planner("connect")(a, b, 3)
    assert len(second.path) == len(first.path)
    assert all(np.array_equal(p, q) for p, q in zip(first.path, second.path))

    # The timed callback must not change what OMPL plans, only measure it.
    peer.instrument(True)
    timed = peer.planner("connect")(a, b, 3)
    peer.instrument(False)
    assert len(peer.durations) == len(peer.record) > 0
    assert all(np.array_equal(p, q) for p, q in zip(first.path, timed.path))
    assert peer.record[0].shape == (scene.n,)


def test_quick_run_prints_a_row_per_planner(sample_cache, capsys):
    bench.main(["--quick", "--no-ompl", "--problems", "2", "--cache", str(sample_cache)])
    out = capsys.readouterr().out
    assert "cache: 6 joints, 2 problems" in out
    rows = [line.split() for line in out.splitlines() if line.startswith("  rrtstar ")]
    assert len(rows) == 2  # random problems and the waypoint task
    solved, total = map(int, rows[0][1].split("/"))
    assert total == 2 and 0 <= solved <= 2
    assert rows[1][1] == "1/1"
    assert "ompl" not in out


def test_exact_contacts_count_moving_links_only(make_cache):
    import synthetic_cache

    # The base stands on a pedestal: a contact in every configuration, and no fault.
    pedestal = ("pedestal", (-0.2, -0.2, -0.3), (0.2, 0.2, 0.001))
    scene = bench.Scene("synthetic", make_cache(env=synthetic_cache.DEFAULT_ENV + (pedestal,)).path)
    free = np.zeros(6)
    # Folded away from the wall: link 4 comes down into link 2.
    folded = np.array([0.0, 0.0, -2.8, 0.0, 0.0, 0.0])
    assert scene.always_touching == set()
    assert scene.contacts([free, free]) == (False, False)
    assert scene.contacts([free, folded]) == (True, False)
    assert scene.contacts([free, np.array(synthetic_cache.COLLIDING_Q)]) == (False, True)
    assert scene.exactly_free(free) and not scene.exactly_free(folded)


def test_scene_caches_are_reused_until_a_source_changes(tmp_path, monkeypatch):
    monkeypatch.setattr(bench, "CACHE_ROOT", tmp_path / "caches")
    source = tmp_path / "scene.py"
    source.write_text("one")
    builds = []

    def build(out):
        builds.append(out)
        out.mkdir(parents=True)
        (out / "meta.json").write_text("{}")
        return out

    first = bench._built_cache("arm", build, [source])
    assert bench._built_cache("arm", build, [source]) == first and len(builds) == 1
    (first / "stale").write_text("left over from the old scene")
    source.write_text("two")
    assert bench._built_cache("arm", build, [source]) == first and len(builds) == 2
    assert not (first / "stale").exists()
    # A build that died before writing its stamp is not taken for a finished one.
    (tmp_path / "caches" / "arm.stamp").unlink()
    bench._built_cache("arm", build, [source])
    assert len(builds) == 3

    # Two at once (two benchmarks, or two test workers) build it once between them.
    def slow(out):
        time.sleep(0.2)
        return build(out)

    source.write_text("three")
    failed = []

    def run():
        try:
            bench._built_cache("arm", slow, [source])
        except Exception as e:  # noqa: BLE001 (the thread's error is the finding)
            failed.append(e)

    both = [threading.Thread(target=run) for _ in range(2)]
    for t in both:
        t.start()
    for t in both:
        t.join()
    assert not failed and len(builds) == 4 and (first / "meta.json").is_file()
