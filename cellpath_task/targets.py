"""Tool-pose targets of a task: read from the command line or a JSON file, checked."""
from __future__ import annotations

import json
import math
from dataclasses import dataclass
from pathlib import Path

import numpy as np

DEFAULT_TOLERANCE = (1e-4, 1e-3)  # metres, radians
TARGET_KEYS = ("xyz", "rpy", "quat", "linear", "tolerance")


class TaskError(ValueError):
    """A task that cannot be done as given; the message names the target and why."""


@dataclass
class Target:
    pose: np.ndarray            # (4, 4) world pose of the tool
    linear: bool = False        # reached from the previous pose by a straight tool move
    tolerance: tuple = DEFAULT_TOLERANCE
    label: str = ""


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


def pose_from_six(values, what):
    x, y, z, r, p, yw = _numbers(values, 6, what)
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
    if ("rpy" in entry) == ("quat" in entry):
        raise TaskError(f"{what}: give the orientation as exactly one of 'rpy' and 'quat'")
    T = np.eye(4)
    T[:3, 3] = _numbers(entry["xyz"], 3, f"{what}: 'xyz'")
    if "rpy" in entry:
        T[:3, :3] = rpy_matrix(*_numbers(entry["rpy"], 3, f"{what}: 'rpy'"))
    else:
        q = np.array(_numbers(entry["quat"], 4, f"{what}: 'quat'"))
        norm = float(np.linalg.norm(q))
        if norm < 1e-9:
            raise TaskError(f"{what}: 'quat' must not be zero")
        T[:3, :3] = quat_matrix(*(q / norm))
    linear = entry.get("linear", False)
    if not isinstance(linear, bool):
        raise TaskError(f"{what}: 'linear' must be true or false, got {linear!r}")
    tol = DEFAULT_TOLERANCE
    if "tolerance" in entry:
        tol = tuple(_numbers(entry["tolerance"], 2, f"{what}: 'tolerance' [metres, radians]"))
        if not (tol[0] > 0 and tol[1] > 0):
            raise TaskError(f"{what}: 'tolerance' must be two positive numbers, got {entry['tolerance']!r}")
    return Target(T, linear, tol, label=f"{k}")


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
            out.append(Target(np.array(t.pose, dtype=np.float64), t.linear, tuple(t.tolerance), t.label or f"{k}"))
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
