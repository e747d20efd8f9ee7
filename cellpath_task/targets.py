"""Tool-pose targets of a task: read from the command line or a JSON file, checked."""
from __future__ import annotations

import json
import math
from dataclasses import dataclass
from pathlib import Path

import numpy as np

DEFAULT_TOLERANCE = (1e-4, 1e-3)  # metres, radians
ORIENTATION_KEYS = ("rpy", "rpy_deg", "quat", "quat_wxyz", "quat_xyzw")
TARGET_KEYS = ("xyz", *ORIENTATION_KEYS, "linear", "tolerance", "near", "free_axis")
FREE_AXES = ("x", "y", "z")
UNIT_QUATERNION = 1e-6  # how far from length 1 a quaternion may be


class TaskError(ValueError):
    """A task that cannot be done as given; the message names the target and why."""


@dataclass
class Target:
    pose: np.ndarray            # (4, 4) world pose of the tool
    linear: bool = False        # reached from the previous pose by a straight tool move
    tolerance: tuple = DEFAULT_TOLERANCE  # (metres, radians) or (metres, rx, ry, rz) about the tool's axes
    label: str = ""
    near: np.ndarray | None = None  # the joint vector solutions should stay near (default: the previous waypoint)
    free_axis: str | None = None    # "x", "y" or "z": the turn about that tool axis is left free


def rpy_matrix(roll, pitch, yaw):
    """URDF's rpy: R = Rz(yaw) Ry(pitch) Rx(roll)."""
    cr, sr, cp, sp, cy, sy = (math.cos(roll), math.sin(roll), math.cos(pitch), math.sin(pitch),
                              math.cos(yaw), math.sin(yaw))
    return np.array([[cy * cp, cy * sp * sr - sy * cr, cy * sp * cr + sy * sr],
                     [sy * cp, sy * sp * sr + cy * cr, sy * sp * cr - cy * sr],
                     [-sp, cp * sr, cp * cr]])


def quat_matrix(w, x, y, z):
    return np.array([[1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)],
                     [2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)],
                     [2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)]])


def _numbers(value, count, what):
    if isinstance(value, (str, bytes, bool)) or not hasattr(value, "__len__") or len(value) != count:
        raise TaskError(f"{what} must be {count} numbers, got {value!r}")
    try:
        out = [float(v) for v in value]
    except (TypeError, ValueError):
        raise TaskError(f"{what} must be {count} numbers, got {value!r}") from None
    if any(isinstance(v, bool) for v in value) or not all(math.isfinite(v) for v in out):
        raise TaskError(f"{what} must be {count} finite numbers, got {value!r}")
    return out


def _radians(rpy, what):
    """rpy in radians; a value beyond 2 pi is almost surely degrees, and is refused."""
    for v in rpy:
        if abs(v) > 2 * math.pi + 1e-9:
            raise TaskError(f"{what}: {v:g} is beyond 2 pi; roll, pitch and yaw are radians "
                            "(for degrees use 'rpy_deg' in a targets file)")
    return rpy


def _unit_quaternion(q, what):
    norm = math.sqrt(sum(v * v for v in q)) if all(abs(v) < 1e150 for v in q) else math.inf
    if not abs(norm - 1.0) <= UNIT_QUATERNION:
        raise TaskError(f"{what} has length {norm:.9g}, not 1: give a unit quaternion "
                        "(each entry divided by its length)")
    return [v / norm for v in q]


def pose_from_six(values, what):
    x, y, z, r, p, yw = _numbers(values, 6, what)
    _radians((r, p, yw), what)
    T = np.eye(4)
    T[:3, :3] = rpy_matrix(r, p, yw)
    T[:3, 3] = (x, y, z)
    return T


def parse_six(text, what):
    """'X,Y,Z,ROLL,PITCH,YAW' (metres, radians) as a pose."""
    parts = str(text).split(",")
    try:
        vals = [float(s) for s in parts]
    except ValueError:
        raise TaskError(f"{what} needs six numbers X,Y,Z,ROLL,PITCH,YAW, got {text!r}") from None
    return pose_from_six(vals, what)


def target_from_dict(entry, k):
    what = f"target {k}"
    if not isinstance(entry, dict):
        raise TaskError(f"{what} must be an object with 'xyz' and 'rpy' or 'quat', got {entry!r}")
    unknown = [key for key in entry if key not in TARGET_KEYS]
    if unknown:
        raise TaskError(f"{what}: unknown key {unknown[0]!r} (known: {', '.join(TARGET_KEYS)})")
    if "xyz" not in entry:
        raise TaskError(f"{what}: 'xyz' missing")
    given = [key for key in ORIENTATION_KEYS if key in entry]
    if len(given) != 1:
        raise TaskError(f"{what}: give the orientation as exactly one of 'rpy' and 'quat'"
                        if set(given) <= {"rpy", "quat"} else
                        f"{what}: give the orientation as exactly one of {', '.join(map(repr, ORIENTATION_KEYS))}")
    key = given[0]
    T = np.eye(4)
    T[:3, 3] = _numbers(entry["xyz"], 3, f"{what}: 'xyz'")
    if key == "rpy":
        T[:3, :3] = rpy_matrix(*_radians(_numbers(entry["rpy"], 3, f"{what}: 'rpy'"), f"{what}: 'rpy'"))
    elif key == "rpy_deg":
        T[:3, :3] = rpy_matrix(*(math.radians(v) for v in _numbers(entry[key], 3, f"{what}: 'rpy_deg'")))
    else:
        # 'quat' and 'quat_wxyz' are w, x, y, z; 'quat_xyzw' is the x, y, z, w of ROS messages.
        q = _numbers(entry[key], 4, f"{what}: '{key}'")
        if key == "quat" and not any(q):
            raise TaskError(f"{what}: 'quat' must not be zero")
        w, x, y, z = _unit_quaternion(q[3:] + q[:3] if key == "quat_xyzw" else q, f"{what}: '{key}'")
        T[:3, :3] = quat_matrix(w, x, y, z)
    linear = entry.get("linear", False)
    if not isinstance(linear, bool):
        raise TaskError(f"{what}: 'linear' must be true or false, got {linear!r}")
    tol = DEFAULT_TOLERANCE
    if "tolerance" in entry:
        raw = entry["tolerance"]
        count = len(raw) if hasattr(raw, "__len__") and not isinstance(raw, (str, bytes)) else 2
        tol = tuple(_numbers(raw, 4 if count == 4 else 2,
                             f"{what}: 'tolerance' [metres, radians] or [metres, rx, ry, rz]"))
        if not all(t > 0 for t in tol):
            raise TaskError(f"{what}: 'tolerance' must be positive numbers, got {raw!r}")
    near = None
    if "near" in entry:
        raw = entry["near"]
        if isinstance(raw, (str, bytes)) or not hasattr(raw, "__len__") or not raw:
            raise TaskError(f"{what}: 'near' must be a joint vector, got {raw!r}")
        near = np.array(_numbers(raw, len(raw), f"{what}: 'near'"))
    free = entry.get("free_axis")
    if free is not None and free not in FREE_AXES:
        raise TaskError(f"{what}: 'free_axis' must be one of 'x', 'y', 'z' (the tool's axes), got {free!r}")
    if linear and (free is not None or len(tol) == 4):
        raise TaskError(f"{what}: a straight move holds the whole orientation; 'free_axis' and a per-axis "
                        "'tolerance' apply to targets without 'linear'")
    if free is not None and len(tol) == 4:
        raise TaskError(f"{what}: give either 'free_axis' or a per-axis 'tolerance', not both")
    return Target(T, linear, tol, label=f"{k}", near=near, free_axis=free)


def read_targets_file(path):
    """The targets of a JSON file {"targets": [...]} (see the package's doc)."""
    p = Path(path)
    try:
        doc = json.loads(p.read_text())
    except FileNotFoundError:
        raise TaskError(f"targets file {p} not found") from None
    except (OSError, UnicodeDecodeError, json.JSONDecodeError) as exc:
        raise TaskError(f"targets file {p} cannot be read: {exc}") from None
    if not isinstance(doc, dict):
        raise TaskError(f"targets file {p}: an object {{\"targets\": [...]}} expected")
    unknown = [key for key in doc if key != "targets"]
    if unknown:
        raise TaskError(f"targets file {p}: unknown key {unknown[0]!r} (only 'targets')")
    entries = doc.get("targets")
    if not isinstance(entries, list) or not entries:
        raise TaskError(f"targets file {p}: 'targets' must be a non-empty list")
    return [target_from_dict(e, k) for k, e in enumerate(entries, start=1)]


def as_targets(targets):
    """Targets given from Python: Target objects, dicts as in the file, or 4x4 poses."""
    out = []
    for k, t in enumerate(targets, start=1):
        if isinstance(t, Target):
            out.append(Target(np.array(t.pose, dtype=np.float64), t.linear, tuple(t.tolerance), t.label or f"{k}",
                              None if t.near is None else np.array(t.near, dtype=np.float64), t.free_axis))
        elif isinstance(t, dict):
            out.append(target_from_dict(t, k))
        else:
            T = np.asarray(t, dtype=np.float64)
            if T.shape != (4, 4) or not np.all(np.isfinite(T)):
                raise TaskError(f"target {k} must be a finite 4x4 pose, a dict or a Target, got shape {T.shape}")
            out.append(Target(T, label=f"{k}"))
    if not out:
        raise TaskError("no targets given")
    return out
