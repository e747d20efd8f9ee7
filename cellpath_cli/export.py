"""cellpath-export CACHE [--format csv|json|ros-yaml] [--out FILE]: a cache's trajectory for
other tools.

The timed trajectory (TimedTrajectory.npz, written by `Brimwell --timed`) when the cache
holds one, else the planned rows (JointAnglesToTravelAlong.npy) without times.  Columns and
entries carry the joint names the cache keeps (JointNames.json, written by cellpath-urdf),
or q1..qn for a cache without them.

    csv       one row per sample: t, the positions, then `NAME.velocity` and
              `NAME.acceleration` columns when timed
    json      {"joint_names", "positions", and when timed "t", "velocities", "accelerations"}
    ros-yaml  a trajectory_msgs/JointTrajectory message as YAML (ROS 2 field names:
              time_from_start {sec, nanosec}); needs the timed trajectory

Without --out the document goes to standard output; a file is written whole (a temporary
file beside it, then renamed).
"""
from __future__ import annotations

import argparse
import json
import math
import sys
from pathlib import Path

import numpy as np

from cellpath_cli import one_cache, run

TRAJECTORY = "JointAnglesToTravelAlong.npy"
TIMED = "TimedTrajectory.npz"
JOINT_NAMES = "JointNames.json"
FORMATS = ("csv", "json", "ros-yaml")
# The timed trajectory starts and ends on the planned rows; further apart than this it was
# timed from another plan.
SAME_ROW = 1e-9


def joint_names(cache, n):
    """The cache's joint names (JointNames.json), or q1..qn when it keeps none."""
    path = Path(cache) / JOINT_NAMES
    if not path.is_file():
        return [f"q{j}" for j in range(1, n + 1)]
    try:
        names = json.loads(path.read_text())
    except (OSError, UnicodeDecodeError, json.JSONDecodeError) as exc:
        raise ValueError(f"{path} cannot be read: {exc}") from None
    if not isinstance(names, list) or len(names) != n or not all(isinstance(s, str) and s for s in names) \
            or len(set(names)) != n:
        raise ValueError(f"{path} must list {n} distinct joint names")
    return names


def _rows(path, what):
    rows = np.load(path, allow_pickle=False)
    if not isinstance(rows, np.ndarray) or rows.ndim != 2 or rows.dtype.kind not in "iuf" \
            or not np.isfinite(rows).all():
        raise ValueError(f"{path}: {what} must be a finite 2-D array of numbers")
    return rows.astype(np.float64)


def read_trajectory(cache):
    """{'names', 'q', and when timed 't', 'qd', 'qdd'} of the cache."""
    cache = Path(cache)
    timed = cache / TIMED
    planned = cache / TRAJECTORY
    if not timed.is_file():
        if not planned.is_file():
            raise FileNotFoundError(2, "No such file", str(planned))
        q = _rows(planned, "the trajectory")
        return {"names": joint_names(cache, q.shape[1]), "q": q}
    with np.load(timed, allow_pickle=False) as f:
        missing = [k for k in ("t", "q", "qd", "qdd") if k not in f.files]
        if missing:
            raise ValueError(f"{timed} lacks '{missing[0]}': time the plan again (Brimwell --timed)")
        t, q, qd, qdd = (np.asarray(f[k], dtype=np.float64) for k in ("t", "q", "qd", "qdd"))
    if t.ndim != 1 or q.ndim != 2 or len(q) != len(t) or qd.shape != q.shape or qdd.shape != q.shape \
            or len(t) == 0 or not all(np.isfinite(a).all() for a in (t, q, qd, qdd)) or np.any(np.diff(t) <= 0):
        raise ValueError(f"{timed} is malformed: time the plan again (Brimwell --timed)")
    if planned.is_file():
        rows = _rows(planned, "the trajectory")
        if rows.shape[1] != q.shape[1] or np.max(np.abs(rows[0] - q[0])) > SAME_ROW \
                or np.max(np.abs(rows[-1] - q[-1])) > SAME_ROW:
            raise ValueError(f"{timed} was timed from another plan than {TRAJECTORY}: "
                             "time this one with Brimwell --timed")
    return {"names": joint_names(cache, q.shape[1]), "t": t, "q": q, "qd": qd, "qdd": qdd}


def _floats(a):
    return [float(v) for v in a]


def as_csv(tr):
    names = tr["names"]
    timed = "t" in tr
    header = (["t"] if timed else []) + names
    if timed:
        header += [f"{n}.velocity" for n in names] + [f"{n}.acceleration" for n in names]
    cols = [tr["t"][:, None], tr["q"], tr["qd"], tr["qdd"]] if timed else [tr["q"]]
    table = np.hstack(cols)
    return ",".join(header) + "\n" + "".join(",".join(repr(float(v)) for v in row) + "\n" for row in table)


def as_json(tr):
    doc = {"joint_names": tr["names"]}
    if "t" in tr:
        doc["t"] = _floats(tr["t"])
    doc["positions"] = [_floats(r) for r in tr["q"]]
    if "t" in tr:
        doc["velocities"] = [_floats(r) for r in tr["qd"]]
        doc["accelerations"] = [_floats(r) for r in tr["qdd"]]
    return json.dumps(doc) + "\n"


def _duration(t):
    sec = math.floor(t)
    nanosec = int(round((t - sec) * 1e9))
    if nanosec >= 1_000_000_000:
        sec, nanosec = sec + 1, nanosec - 1_000_000_000
    return {"sec": int(sec), "nanosec": nanosec}


def as_ros_yaml(tr):
    import yaml

    if "t" not in tr:
        raise FileNotFoundError(2, "No such file", str(tr.get("cache", Path(".")) / TIMED))
    msg = {
        "header": {"stamp": {"sec": 0, "nanosec": 0}, "frame_id": ""},
        "joint_names": list(tr["names"]),
        "points": [{"positions": _floats(q), "velocities": _floats(qd), "accelerations": _floats(qdd),
                    "effort": [], "time_from_start": _duration(float(t))}
                   for t, q, qd, qdd in zip(tr["t"], tr["q"], tr["qd"], tr["qdd"])],
    }
    return yaml.safe_dump(msg, sort_keys=False, default_flow_style=None, width=1 << 16)


WRITERS = {"csv": as_csv, "json": as_json, "ros-yaml": as_ros_yaml}


def export(cache, fmt="csv"):
    """The cache's trajectory as the text of `fmt` (csv, json or ros-yaml)."""
    if fmt not in WRITERS:
        raise ValueError(f"unknown format {fmt!r}: one of {', '.join(FORMATS)}")
    tr = read_trajectory(cache)
    tr["cache"] = Path(cache)
    return WRITERS[fmt](tr)


def write_whole(path, text):
    """`text` as the whole of the file `path` (cellpath_cli.runs.write_whole)."""
    from cellpath_cli import runs  # noqa: PLC0415

    runs.write_whole(path, lambda fh: fh.write(text), text=True)


def parser():
    p = argparse.ArgumentParser(prog="cellpath-export",
                                description="A cache's trajectory for other tools: CSV, JSON, or a ROS "
                                            "trajectory_msgs/JointTrajectory message in YAML.")
    p.add_argument("cache", type=Path, metavar="CACHE", nargs="?", help="the capture cache (or --cache-dir DIR)")
    p.add_argument("--cache-dir", type=Path, metavar="DIR", help="the capture cache, as the other commands name it")
    p.add_argument("--format", choices=FORMATS, default="csv", help="csv (default), json or ros-yaml "
                   "(a trajectory_msgs/JointTrajectory message)")
    p.add_argument("--out", type=Path, metavar="FILE", help="write here instead of standard output")
    return p


def command(argv=None):
    p = parser()
    args = p.parse_args(argv)
    cache = one_cache(p, args.cache, args.cache_dir)
    if not (cache / "meta.json").is_file():
        raise FileNotFoundError(2, "No such file", str(cache / "meta.json"))
    from cellpath_cli import runs
    runs.warn_if_mixed(cache, runs.plan_files_read(cache), "cellpath-export")
    text = export(cache, args.format)
    if args.out is None:
        sys.stdout.write(text)
    else:
        write_whole(args.out, text)
        print(f"wrote {args.out} ({args.format})")
    return 0


def main(argv=None):
    """The cellpath-export command."""
    return run("cellpath-export", command, argv)


if __name__ == "__main__":
    sys.exit(main())
