"""The console commands as a user meets them: each run as its own process, a user error ends
with one line on standard error (NAME: error: ...) and exit status 1, never a traceback."""
import os
import subprocess
import sys
import tomllib

import numpy as np
import pytest

import cellpath_cli
from conftest import ROOT
from synthetic_cache import COLLIDING_Q

COMMANDS = ("Brimwell", "Pelmora", "Lumbrel", "Velquist", "Kestrune", "Wendacor")


def command(name, *args, env=None):
    """Run console command `name` (its cellpath_cli entry) in a process of its own."""
    entry = "urdf" if name == "cellpath-urdf" else name.lower()
    code = f"import sys, cellpath_cli; sys.exit(cellpath_cli.{entry}())"
    environ = {k: v for k, v in os.environ.items() if k not in ("CELLPATH_CACHE_DIR", "CELLPATH_TRACEBACK")}
    return subprocess.run([sys.executable, "-c", code, *map(str, args)], capture_output=True, text=True,
                          env={**environ, **(env or {})}, timeout=300, cwd=ROOT)


def one_error_line(run, name):
    assert run.returncode == 1, (run.stdout, run.stderr)
    assert "Traceback" not in run.stderr
    lines = run.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith(f"{name}: error: "), run.stderr
    return lines[0][len(f"{name}: error: "):]


def test_every_installed_command_runs_through_the_error_wrapper():
    scripts = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["scripts"]
    for name in (*COMMANDS, "cellpath-urdf", "cellpath-task", "cellpath-render"):
        module, _, function = scripts[name].partition(":")
        assert module.startswith("cellpath_cli"), name
        __import__(module)
        assert callable(getattr(sys.modules[module], function)), name


@pytest.mark.parametrize("name", COMMANDS)
def test_a_missing_cache_is_named_with_what_makes_one(name, tmp_path):
    missing = tmp_path / "nowhere"
    says = one_error_line(command(name, "--cache-dir", missing), name)
    assert says.startswith(f"{missing} is not a capture cache: cellpath-urdf makes one")
    # The variable is honoured, and --cache-dir wins over it.
    says = one_error_line(command(name, env={"CELLPATH_CACHE_DIR": str(missing)}), name)
    assert str(missing) in says
    says = one_error_line(command(name, "--cache-dir", tmp_path / "other",
                                  env={"CELLPATH_CACHE_DIR": str(missing)}), name)
    assert str(tmp_path / "other") in says


def test_pelmora_errors(arm_cache):
    cache = arm_cache.path
    assert one_error_line(command("Pelmora", "--cache-dir", cache, "0", "1"), "Pelmora") == \
        "expected 6 joint angles, got (2,)"
    assert one_error_line(command("Pelmora", "--cache-dir", cache, "0", "x"), "Pelmora") == \
        "could not convert string to float: 'x'"
    says = one_error_line(command("Pelmora", "--cache-dir", cache, "--allow", "wall"), "Pelmora")
    assert says == "--allow takes two objects separated by a comma, got 'wall' (see Pelmora --help)"
    says = one_error_line(command("Pelmora", "--cache-dir", cache, "--trajectory"), "Pelmora")
    assert says.startswith(f"{cache} holds no planned trajectory yet: Brimwell --cache-dir DIR plans one")

    # A trajectory with a colliding row: its lines, and exit status 1 without an error line.
    np.save(cache / "JointAnglesToTravelAlong.npy", np.linspace(np.zeros(6), COLLIDING_Q, 3))
    run = command("Pelmora", "--cache-dir", cache, "--trajectory")
    assert run.returncode == 1 and run.stderr == ""
    assert run.stdout.splitlines()[-1].endswith("rows in collision")


def test_velquist_without_a_saved_waypoint(arm_cache):
    says = one_error_line(command("Velquist", "--cache-dir", arm_cache.path), "Velquist")
    assert "holds no colliding waypoint" in says and "--theta" in says
    says = one_error_line(command("Velquist", "--cache-dir", arm_cache.path, "--theta", "0,0"), "Velquist")
    assert says.startswith("--theta gives 2 joint angles, but the arm has 6 joints")


def test_brimwell_refuses_limits_that_do_not_fit_before_planning(make_cache):
    cache = make_cache(waypoints=True).path
    run = command("Brimwell", "--cache-dir", cache, "--timed", "--max-velocity", "1",
                  "--max-acceleration", "1,2,3")
    says = one_error_line(run, "Brimwell")
    assert says.startswith("--max-acceleration gives 3 limits, but the arm has 6 joints")
    assert "Environment loaded" not in run.stdout
    says = one_error_line(command("Brimwell", "--cache-dir", cache, "--seed", "x"), "Brimwell")
    assert says == "argument --seed: invalid int value: 'x' (see Brimwell --help)"


def test_brimwell_names_what_a_refused_waypoint_breaks(make_cache):
    cache = make_cache(waypoints=np.array([np.zeros(6), COLLIDING_Q])).path
    run = command("Brimwell", "--cache-dir", cache)
    assert one_error_line(run, "Brimwell").startswith("Waypoint 1 is in collision: [")
    assert "Waypoint 1: in contact: env:wall <-> link:Link3, env:wall <-> link:Link4; in the " \
           "environment's voxels (0.01 m cells): Link3, Link4" in run.stdout.splitlines()

    cache = make_cache(waypoints=np.array([np.zeros(6), [0, 0, 9, 0, -8, 0]])).path
    run = command("Brimwell", "--cache-dir", cache)
    assert one_error_line(run, "Brimwell").startswith("Waypoint 1 violates joint limits: [")
    assert "Waypoint 1: joint 3 (moves Link3) is 9, above its upper limit 3.14159; joint 5 (moves " \
           "Link5) is -8, below its lower limit -3.14159" in run.stdout.splitlines()


def test_messages_for_files_and_failures(tmp_path, arm_cache):
    assert cellpath_cli.message(FileNotFoundError(2, "x", str(arm_cache.path / "link_3.npz"))) == \
        f"{arm_cache.path} is incomplete: capture it again (cellpath-urdf or the CAD host's capture) " \
        "(no link_3.npz)"
    assert cellpath_cli.message(FileNotFoundError(2, "x", str(tmp_path / "a" / "b.npy"))) == \
        f"no such directory: {tmp_path / 'a'}"
    assert cellpath_cli.message(RuntimeError("two\n  lines")) == "two lines"


def test_the_wrapper_leaves_modules_as_they_were(arm_cache, capsys):
    import argparse
    import Pelmora
    error = argparse.ArgumentParser.error
    assert cellpath_cli.run("Pelmora", Pelmora.main, ["--cache-dir", str(arm_cache.path), "1"]) == 1
    assert capsys.readouterr().err == "Pelmora: error: expected 6 joint angles, got (1,)\n"
    assert argparse.ArgumentParser.error is error
    # The module's own main still raises.
    with pytest.raises(ValueError):
        Pelmora.main(["--cache-dir", str(arm_cache.path), "1"])
