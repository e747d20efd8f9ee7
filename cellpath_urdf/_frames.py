"""The tool frame and narrowed joint ranges of an imported arm (cellpath-urdf's
--tool, --tool-offset and --limit)."""
import argparse

import numpy as np

from . import UrdfImportError
from ._model import _pose_matrix


def _narrowed(model, limits, narrow):
    """The joint limits with the user's narrower ranges {joint: (lo, hi)} put in."""
    limits = limits.copy()
    for name, (lo, hi) in (narrow or {}).items():
        if name not in model.arm_index:
            known = ", ".join(j.name for j in model.arm)
            raise UrdfImportError(f"--limit names joint '{name}', which is not an arm joint ({known})")
        lo, hi = float(lo), float(hi)
        k = model.arm_index[name]
        if not (np.isfinite(lo) and np.isfinite(hi) and lo < hi):
            raise UrdfImportError(f"--limit {name}={lo}:{hi} needs two finite numbers, the lower first")
        if lo < limits[k, 0] or hi > limits[k, 1]:
            raise UrdfImportError(f"--limit {name}={lo}:{hi} does not narrow the joint's range "
                                  f"[{limits[k, 0]}, {limits[k, 1]}]")
        limits[k] = (lo, hi)
    return limits


def _tool_transform(model, tool, tool_offset):
    """The tool's pose in the last arm link's frame: link `tool` (which must move
    with the last arm link) at the held configuration, then `tool_offset` (six
    numbers x, y, z, roll, pitch, yaw) in the tool's frame; None when neither is given."""
    if tool is None and tool_offset is None:
        return None
    last = model.frame_links[-1]
    T = np.eye(4)
    if tool is not None:
        if tool not in model.links:
            raise UrdfImportError(f"tool frame '{tool}' is not a link of the URDF")
        if model.owner[tool] != len(model.arm):
            raise UrdfImportError(f"tool frame '{tool}' does not move with the last arm link '{last}'")
        T = model.rel(last, tool)
    if tool_offset is not None:
        off = np.asarray(tool_offset, dtype=np.float64).reshape(-1)
        if off.shape != (6,) or not np.all(np.isfinite(off)):
            raise UrdfImportError(f"tool offset {tool_offset!r}: six finite numbers x, y, z, roll, pitch, yaw expected")
        T = T @ _pose_matrix(off[:3], off[3:])
    return T


def _parse_tool_offset(text):
    from . import _parse_base

    try:
        return _parse_base(text)
    except argparse.ArgumentTypeError:
        raise argparse.ArgumentTypeError(f"--tool-offset needs six numbers X,Y,Z,ROLL,PITCH,YAW, got {text!r}") from None


def _parse_limit(text):
    name, sep, rng = text.partition("=")
    lo, sep2, hi = rng.partition(":")
    try:
        vals = (float(lo), float(hi))
    except ValueError:
        vals = None
    if not sep or not sep2 or not name or vals is None:
        raise argparse.ArgumentTypeError(f"--limit needs JOINT=LO:HI, got {text!r}")
    return name, vals
