"""The README's quick start, run as written: every command in it, in order, on the UR5 it
fetches, each ending with status 0, and what it promises on disk."""
import json
import pathlib
import re
import shlex

import numpy as np
import yaml

import cellpath_cli
from cellpath_cli import export, render

ROOT = pathlib.Path(__file__).resolve().parents[1]
# `make install` and activating the environment are what the test run itself stands on.
SETUP = ("make install && . .venv/bin/activate",)


def quick_start():
    text = (ROOT / "README.md").read_text()
    section = text.split("## Quick start", 1)[1].split("\n## ", 1)[0]
    shell, task = re.findall(r"```(?:json)?\n(.*?)```", section, re.S)[:2]
    commands = [shlex.split(c) for c in shell.replace("\\\n", " ").splitlines() if c.strip() and c not in SETUP]
    return commands, json.loads(task)


def test_the_quick_start_runs_as_written(tmp_path, monkeypatch, capsys):
    import real_arms
    from robot_data import DATA_DIR

    commands, task = quick_start()
    entries = {"cellpath-urdf": cellpath_cli.urdf, "cellpath-task": cellpath_cli.task,
               "Brimwell": cellpath_cli.brimwell, "Pelmora": cellpath_cli.pelmora,
               "cellpath-render": render.main, "cellpath-export": export.main}
    assert [c[0] for c in commands] == ["python", *entries]
    monkeypatch.chdir(tmp_path)
    (tmp_path / "task.json").write_text(json.dumps(task))
    for argv in commands:
        argv = [a.replace("build/robot-data", str(DATA_DIR)) for a in argv]
        if argv[0] == "python":
            assert argv[1] == "examples/real_arms.py"
            assert real_arms.main(argv[2:]) in (0, None)
        else:
            assert entries[argv[0]](argv[1:]) == 0, (argv, capsys.readouterr().err)
    out = capsys.readouterr().out
    assert "proven at least 0.01 m from the environment" in out and re.search(r"all \d+ rows collision-free", out)
    msg = yaml.safe_load((tmp_path / "ur5_plan.yaml").read_text())
    assert msg["joint_names"] == list(real_arms.UR5_JOINTS)
    timed = np.load(tmp_path / "ur5_cache" / "TimedTrajectory.npz")
    assert len(msg["points"]) == len(timed["t"]) and msg["points"][-1]["positions"] == list(timed["q"][-1])
    page = (tmp_path / "ur5_cache-pictures" / "plan.html").read_text()
    assert len(page) > 1_000_000 and re.search(r"wrist_3_joint -?\d\.\d{4}", page)
