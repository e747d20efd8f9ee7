"""Runs that write into a cache: interrupts at any moment, two runs at once, a run's
files in place together with its record, failures that keep the earlier set, the
exact meshes' line after a voxel-test plan, and arguments that are not numbers."""
import hashlib
import json
import os
import random
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

import Brimwell
import Pelmora
import cellpath_cli
import cellpath_task
from cellpath_cli import contacts, runs
from test_task import Q_FREE, _quat, tool_pose
from test_timing import AROUND

ROOT = Path(__file__).resolve().parents[1]
TIMED = ["--timed", "--max-velocity", "1", "--max-acceleration", "2"]


def snapshot(folder):
    return {p.name: hashlib.sha256(p.read_bytes()).hexdigest() for p in sorted(Path(folder).iterdir()) if p.is_file()}


def one_set(folder):
    """The record's outputs are the files there, and no timed file is left beside a plan without one."""
    record = json.loads((Path(folder) / runs.RECORD).read_text())
    now = snapshot(folder)
    return (all(now.get(name) == digest for name, digest in record["outputs"].items())
            and not [n for n in runs.TIMED if n in now and n not in record["outputs"]])


@pytest.fixture
def planned(make_cache, capsys):
    """A cache with a timed plan and its record: the earlier set the tests keep or replace."""
    cache = make_cache(waypoints=AROUND).path
    Brimwell.main(["--cache-dir", str(cache), *TIMED])
    capsys.readouterr()
    return cache


def command(name, *args):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT), os.environ.get("PYTHONPATH", "")]))
    code = f"import sys, cellpath_cli; sys.exit(cellpath_cli.{name}())"
    return subprocess.Popen([sys.executable, "-c", code, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, env=env)


# --------------------------------------------------------------------------- interrupts

def test_an_interrupt_at_any_moment_leaves_the_earlier_set_or_a_whole_new_one(planned):
    # The moments are spread over a whole run's length as this machine takes it: fixed
    # moments let a faster machine finish every run before its signal came.
    t0 = time.perf_counter()
    _, err = command("brimwell", "--cache-dir", str(planned), "--seed", "3", *TIMED).communicate(timeout=120)
    whole = time.perf_counter() - t0
    assert one_set(planned), err
    before = snapshot(planned)
    rng = random.Random(5)
    stopped = 0
    for trial in range(4):
        sig = (signal.SIGINT, signal.SIGTERM)[trial % 2]
        proc = command("brimwell", "--cache-dir", str(planned), "--seed", str((3, 0)[trial % 2]), *TIMED)
        time.sleep(rng.uniform(0.25, max(0.3, 0.7 * whole)))
        proc.send_signal(sig)
        t0 = time.perf_counter()
        _, err = proc.communicate(timeout=60)
        waited = time.perf_counter() - t0
        if proc.returncode in (130, 143):
            stopped += 1
            assert proc.returncode == (130 if sig == signal.SIGINT else 143)
            last = err.strip().splitlines()[-1]
            word = "Brimwell: interrupted" if sig == signal.SIGINT else "Brimwell: terminated"
            if last == f"{word} after writing its files":   # stopped once its files were in place
                assert one_set(planned)
                before = snapshot(planned)
                continue
            assert last == word
            assert snapshot(planned) == before, "an interrupted run changed the cache"
            assert waited < 5.0   # a lost interrupt ran on for a minute
        else:
            assert proc.returncode == 0, err
            assert one_set(planned)
            before = snapshot(planned)
    assert not [p for p in planned.iterdir() if p.name.endswith(".tmp")]
    assert stopped >= 1


def test_an_interrupt_something_swallowed_still_stops_the_command(tmp_path, capsys):
    target = tmp_path / "out.npy"
    target.write_bytes(b"earlier")

    def swallowing(sig):
        def entry(argv):
            try:
                os.kill(os.getpid(), sig)
                time.sleep(0.5)
            except BaseException:   # noqa: BLE001 (the library this stands for)
                pass
            with runs.Outputs(tmp_path) as out:
                out.write("out.npy", lambda fh: fh.write(b"new"))
                out.commit()
            return 0
        return entry

    assert cellpath_cli.run("X", swallowing(signal.SIGINT), []) == 130
    assert capsys.readouterr().err == "X: interrupted\n"
    assert cellpath_cli.run("X", swallowing(signal.SIGTERM), []) == 143
    assert capsys.readouterr().err == "X: terminated\n"
    assert target.read_bytes() == b"earlier" and os.listdir(tmp_path) == ["out.npy"]

    # Whatever the interrupt became on its way up (a failed import, a library's error) is the interrupt.
    def failing(argv):
        try:
            os.kill(os.getpid(), signal.SIGINT)
            time.sleep(0.5)
        except KeyboardInterrupt:
            raise ImportError("Encountered an error while initializing the extension.") from None

    before = signal.getsignal(signal.SIGINT)  # ignored when started in the background
    assert cellpath_cli.run("X", failing, []) == 130
    assert signal.getsignal(signal.SIGINT) is before

    # One that comes while the files are being put in place is delivered after them:
    # the new set is whole, and the line says it was written.
    def interrupted_while_committing(argv):
        with runs.Outputs(tmp_path) as out:
            out.write("out.npy", lambda fh: fh.write(b"newer"))
            real_replace = os.replace

            def replace_then_interrupt(src, dst):
                real_replace(src, dst)
                os.kill(os.getpid(), signal.SIGINT)

            os.replace = replace_then_interrupt
            try:
                out.commit()
            finally:
                os.replace = real_replace
        return 0

    capsys.readouterr()
    assert cellpath_cli.run("X", interrupted_while_committing, []) == 130
    assert capsys.readouterr().err == "X: interrupted after writing its files\n"
    assert target.read_bytes() == b"newer"
    # The next command starts afresh: a plain interrupt says just that.
    assert cellpath_cli.run("X", swallowing(signal.SIGINT), []) == 130
    assert capsys.readouterr().err == "X: interrupted\n"


# --------------------------------------------------------------------------- one set of files

def test_a_plan_replaces_its_whole_set_and_readers_name_a_stray_file(planned, capsys):
    record = json.loads((planned / runs.RECORD).read_text())
    assert sorted(record["outputs"]) == sorted(["JointAnglesToTravelAlong.npy", *runs.TIMED])
    assert record["command"].startswith("Brimwell --cache-dir") and record["seed"] == Brimwell.SEED
    assert "WaypointJointAngles.npy" in record["inputs"] and "link_1.npz" in record["inputs"]
    timed = {n: (planned / n).read_bytes() for n in runs.TIMED}
    assert runs.mixed_outputs(planned, runs.plan_files_read(planned)) is None

    # A plan without --timed leaves no timing of another plan beside it.
    Brimwell.main(["--cache-dir", str(planned), "--seed", "3"])
    assert not any((planned / n).exists() for n in runs.TIMED) and one_set(planned)
    Brimwell.ProvideRRTPlan(planned)
    assert json.loads((planned / runs.RECORD).read_text())["command"] == "ProvideRRTPlan" and one_set(planned)
    capsys.readouterr()

    # Files put back by hand, or waypoints changed after the plan, are named in one line.
    for name, data in timed.items():
        (planned / name).write_bytes(data)
    assert cellpath_cli.pelmora(["--cache-dir", str(planned), "--trajectory"]) == 0
    assert capsys.readouterr().err == ""   # Pelmora reads the trajectory alone: it is this run's
    np.save(planned / "WaypointJointAngles.npy", AROUND[::-1])
    why = runs.mixed_outputs(planned, runs.plan_files_read(planned))
    assert "TimedTrajectory.npz, TimedTrajectory.csv were not written by the last run" in why
    assert "WaypointJointAngles.npy changed since that run planned" in why
    np.save(planned / "JointAnglesToTravelAlong.npy", AROUND)
    cellpath_cli.pelmora(["--cache-dir", str(planned), "--trajectory"])
    err = capsys.readouterr().err.splitlines()
    assert len(err) == 1 and err[0].startswith("Pelmora: warning: JointAnglesToTravelAlong.npy was not written")


def test_a_failed_run_keeps_the_earlier_set(planned, monkeypatch, capsys):
    before = snapshot(planned)
    # A disk that fills up at the second file: nothing replaced, nothing left, the file named.
    real = np.savez

    def full(*a, **k):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(np, "savez", full)
    with pytest.raises(OSError) as failed:
        Brimwell.main(["--cache-dir", str(planned), "--seed", "4", *TIMED])
    assert failed.value.filename == str(planned / "TimedTrajectory.npz")
    assert cellpath_cli.message(failed.value) == f"No space left on device: {planned / 'TimedTrajectory.npz'}"
    monkeypatch.setattr(np, "savez", real)
    assert snapshot(planned) == before

    # A timing ruckig cannot do, and --strict with a plan the exact meshes find touching.
    for argv, says in ((["--timed", "--max-velocity", "1", "--max-acceleration", "1e-300"],
                        "ruckig could not time the straight piece"),
                       (["--strict"], "--strict: nothing saved")):
        if argv == ["--strict"]:
            monkeypatch.setattr(contacts, "contacts_line", lambda *a, **k: "Exact meshes: row 3 touches")
        with pytest.raises(SystemExit) as stop:
            Brimwell.main(["--cache-dir", str(planned), "--seed", "5", *argv])
        assert stop.value.code == 1 and says in capsys.readouterr().err
        assert snapshot(planned) == before
    with pytest.raises(cellpath_cli.UsageError, match="--strict checks a plan made without --clearance"):
        with cellpath_cli.usage_errors():
            Brimwell.main(["--cache-dir", str(planned), "--strict", "--clearance", "0.01"])


def test_task_writes_waypoints_and_straight_moves_together(make_cache, monkeypatch):
    cache = make_cache()
    a = tool_pose(cache, Q_FREE)
    b = a.copy()
    b[:3, 3] += (-0.06, 0.03, -0.04)
    task = [a, {"xyz": b[:3, 3].tolist(), "quat": _quat(b), "linear": True}]
    cellpath_task.plan_task(cache.path, np.zeros(6), task, say=lambda *_: None)
    before = snapshot(cache.path)
    assert {"LinearSegments.npz", "WaypointJointAngles.npy"} <= set(before)
    for name in ("LinearSegments.npz", "WaypointJointAngles.npy"):
        assert (cache.path / name).stat().st_mode & 0o777 == 0o666 & ~_umask()

    def fails_at_waypoints(fh, arr, *a, **k):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(np, "save", fails_at_waypoints)
    with pytest.raises(OSError):
        cellpath_task.plan_task(cache.path, np.zeros(6), task[:1], say=lambda *_: None)
    assert snapshot(cache.path) == before   # the straight moves were not removed without the waypoints


def _umask():
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


# --------------------------------------------------------------------------- two runs

def test_a_second_run_waits_for_the_first(planned):
    holding = threading.Event()
    release = threading.Event()

    def first():
        with runs.cache_lock(planned, "test"):
            holding.set()
            release.wait(10)

    t = threading.Thread(target=first)
    t.start()
    holding.wait(10)
    second = command("brimwell", "--cache-dir", str(planned), "--seed", "3")
    time.sleep(1.5)
    assert second.poll() is None, "the second run did not wait"
    release.set()
    t.join()
    _, err = second.communicate(timeout=60)
    assert second.returncode == 0, err
    assert err.splitlines() == [f"Brimwell: waiting for another run on {planned} to finish"]
    assert one_set(planned)


def test_litter_of_killed_writers_is_removed_and_a_read_only_cache_loads(planned, monkeypatch):
    dead = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"], capture_output=True,
                          text=True).stdout.strip()
    litter = planned / f".JointAnglesToTravelAlong.npy.{dead}.1.tmp"
    mine = planned / f".LinkMeshes.npz.{os.getpid()}.1.tmp"
    litter.write_bytes(b"half")
    mine.write_bytes(b"being written")
    with runs.cache_lock(planned, "test"):
        pass
    assert not litter.exists() and mine.exists()
    mine.unlink()

    # Loading again writes nothing where the mesh archives already hold what it would write.
    def no_writes(*a, **k):
        raise OSError(30, "Read-only file system")

    monkeypatch.setattr(np, "savez_compressed", no_writes)
    Brimwell.PlanningContext(planned)
    (planned / "env_meshes.npz").unlink()
    with pytest.raises(OSError, match="Read-only"):
        Brimwell.PlanningContext(planned)


# --------------------------------------------------------------------------- the exact meshes' line

def test_the_exact_meshes_name_rows_and_motions_that_touch(shared_arm_cache):
    cache = shared_arm_cache.path
    exact = Pelmora.Pelmora(str(cache), allowed_pairs="fixed")
    rng = np.random.default_rng(2)
    qs = rng.uniform(-np.pi, np.pi, (300, 6))
    hits = {i for i, r in exact.query_trajectory(qs) if any("env" in {k for k, _ in p} for p in r.pairs)}
    free = [q for i, q in enumerate(qs) if i not in hits and not exact.query(q).pairs][:3]
    inside = qs[min(hits)]
    line = contacts.contacts_line(cache, np.array([free[0], free[1], inside, free[2]]))
    assert line.startswith("Exact meshes: row 2 of the saved trajectory touches (env:")
    assert line.endswith("--clearance METRES proves a gap")
    # Two free rows with an obstacle between them: only the motion touches.
    free = [q for i, q in enumerate(qs) if i not in hits and not exact.query(q).pairs]
    a, b = next((a, b) for a in free for b in free
                if any(p for p in exact.query((a + b) / 2).pairs if "env" in {k for k, _ in p}))
    rows, edges, pairs = contacts.touching(cache, np.array([a, a, b]))
    assert rows == [] and edges == [1] and all(p[0].startswith("env:") for p in pairs)
    assert "the motion after row 1 of the saved trajectory touches" in contacts.contacts_line(cache, [a, a, b])
    assert contacts.touching(cache, np.array([a, a])) == ([], [], set())
    assert contacts._ranges([1, 2, 3, 7, 9, 10]) == "1-3, 7, 9-10"


# --------------------------------------------------------------------------- input refused

def test_arguments_that_are_not_real_numbers_are_refused(shared_arm_cache):
    ctx = Brimwell.PlanningContext(shared_arm_cache.path)
    exact = Pelmora.Pelmora(str(shared_arm_cache.path))
    calls = [ctx.is_valid, lambda q: ctx.edge_valid(np.zeros(6), q), exact.query, exact.distances,
             lambda q: exact.distance_trajectory([q, q]), lambda q: Brimwell.densify([np.zeros(6), q]),
             lambda q: Brimwell.plan_segment(ctx, np.zeros(6), q, np.random.default_rng(0), max_iters=5)]
    rng = np.random.default_rng(0)
    kinds = [lambda q: q.astype(complex), lambda q: q.astype(str), lambda q: q.astype(object),
             lambda q: [complex(x) for x in q], lambda q: q.astype("datetime64[s]"), lambda q: [str(x) for x in q]]
    t0 = time.perf_counter()
    for _ in range(12):
        q = rng.uniform(-1, 1, 6).round(3)
        for make in kinds:
            for call in calls:
                with pytest.raises(TypeError, match="expected real numbers") as refused:
                    call(make(q))
                assert isinstance(refused.value, ValueError)   # text was always a ValueError
    assert time.perf_counter() - t0 < 10
    for res in (-0.05, 0.0, float("nan"), float("inf")):
        with pytest.raises(ValueError, match="densify: res must be a positive"):
            Brimwell.densify([np.zeros(2), np.ones(2)], res)
    with pytest.raises(ValueError, match="plan_segment: step must be a positive"):
        Brimwell.plan_segment(ctx, np.zeros(6), np.ones(6), np.random.default_rng(0), step=-0.3)


def test_command_line_numbers_beyond_64_bits(planned, capsys):
    with pytest.raises(cellpath_cli.UsageError, match=r"argument --max-iters: 1000000000000000000000000 is too large"):
        with cellpath_cli.usage_errors():
            Brimwell.main(["--cache-dir", str(planned), "--max-iters", str(10 ** 24)])
    Brimwell.main(["--cache-dir", str(planned), "--seed", str(2 ** 70)])   # numpy takes any seed
    assert json.loads((planned / runs.RECORD).read_text())["seed"] == 2 ** 70


def test_broken_files_are_named_with_what_to_do(make_cache, capsys):
    cache = make_cache(waypoints=AROUND).path
    for content in (lambda p: np.save(p.with_suffix(".npy"), np.zeros(3)) or p.with_suffix(".npy").rename(p),
                    lambda p: p.write_bytes(b"\x80\x04garbage")):
        content(cache / "LinearSegments.npz")
        assert cellpath_cli.brimwell(["--cache-dir", str(cache)]) == 1
        assert capsys.readouterr().err.splitlines()[-1] == (
            f"Brimwell: error: {cache / 'LinearSegments.npz'} is not an archive of straight tool moves: "
            "cellpath-task writes it; run that again, or remove the file to plan every segment")
    (cache / "LinearSegments.npz").unlink()
    with np.load(cache / "link_2.npz") as z:
        np.savez(cache / "link_2.npz", V=z["V"])
    assert cellpath_cli.pelmora(["--cache-dir", str(cache)]) == 1
    assert f"{cache / 'link_2.npz'} has no 'F' array: the mesh archive is incomplete" in capsys.readouterr().err
    (cache / "link_2.npz").unlink()
    (cache / "link_2.npz").symlink_to(cache / "elsewhere.npz")
    assert cellpath_cli.pelmora(["--cache-dir", str(cache)]) == 1
    assert capsys.readouterr().err == (f"Pelmora: error: {cache / 'link_2.npz'} is a link to {cache / 'elsewhere.npz'}, "
                                       "which does not exist: restore that file or link to another\n")


def test_a_grid_too_large_is_explained_in_the_commands_terms(make_cache, capsys):
    cache = make_cache(env=(("hall", (-5e3, -5e3, 0.0), (5e3, 5e3, 1.0)),)).path
    assert cellpath_cli.kestrune(["--cache-dir", str(cache)]) == 1
    err = capsys.readouterr().err
    assert "pitch" not in err and err.endswith("check that the env_*.npz meshes are in metres and hold only the workcell\n")


def test_a_home_pose_that_is_not_rigid_is_refused(make_cache):
    cache = make_cache(waypoints=True).path
    meta = json.loads((cache / "meta.json").read_text())
    T = np.array(meta["links"][3]["home_transform"])
    T[:3, :3] *= 1.1   # a scaled component
    meta["links"][3]["home_transform"] = T.tolist()
    (cache / "meta.json").write_text(json.dumps(meta))
    with pytest.raises(ValueError, match="home transform 3 in meta.json .* is not a rigid motion"):
        Brimwell.PlanningContext(cache)
    with pytest.raises(ValueError, match="home_transform of link Link3 in meta.json is not a rigid motion"):
        Pelmora.Pelmora(str(cache))


def test_an_import_is_as_readable_as_the_umask_says_and_tidies_a_killed_one(tmp_path):
    from test_urdf import ARM, JOINTS, write
    from cellpath_urdf import UrdfImportError, urdf_to_cache
    urdf = write(tmp_path / "arm.urdf", ARM)
    out = urdf_to_cache(urdf, tmp_path / "cache", JOINTS)
    assert out.stat().st_mode & 0o777 == 0o777 & ~_umask()
    assert (out / "meta.json").stat().st_mode & 0o777 == 0o666 & ~_umask()
    # Killed between its two renames: the cache sits in .cache.*.old/, beside a .part folder.
    kept = tmp_path / ".cache.x1.old"
    kept.mkdir()
    out.rename(kept / "cache")
    (tmp_path / ".cache.x2.part").mkdir()
    earlier = snapshot(kept / "cache")
    with pytest.raises(UrdfImportError):
        urdf_to_cache(urdf, tmp_path / "cache", ["no_such_joint"])   # refused before anything is touched
    assert not out.exists()
    urdf_to_cache(urdf, tmp_path / "cache", JOINTS)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["arm.urdf", "cache"]
    assert snapshot(out) == earlier
