"""Workcell files: a robot arm and its surroundings described in JSON, loaded into a
stand-in design.

A workcell file is one JSON object.  Lengths are centimetres and angles degrees
throughout the file (the design itself works in centimetres and radians, like
the host).  Keys:

``format``, ``version``
    "cellpath-workcell" and 1.
``units``
    Optional; when present it must be {"length": "cm", "angle": "deg"}.
``design_type``
    "parametric" (default) or "direct".
``components``
    List of {"name", "bodies": [...]}; each body is {"name", "shape", ...}
    in the component's own frame:

    - "box": ``size`` [dx, dy, dz], ``center`` (default origin), optional ``rotation``;
    - "cylinder": ``radius``, ``length``, ``center`` (default origin), ``axis`` (default [0, 0, 1]);
    - "mesh": ``vertices`` [[x, y, z], ...], ``triangles`` [[i, j, k], ...] (may be empty).

``occurrences``
    List of {"component", "translation", "rotation", "parent"}: one placement
    each, named "<component>:<k>" in file order.  ``translation`` (default
    origin) and ``rotation`` (default none) give the pose with every joint at
    0: the world pose of a top-level occurrence, or the pose relative to
    ``parent`` (an occurrence name) for a nested one.
``joints``
    List of {"name", "type", "parent", "child", "origin", "axis", "reference",
    "limits", "slide_limits", "value", "slide"}.  ``type`` is "revolute",
    "slider", "cylindrical" or "rigid"; ``parent`` and ``child`` are occurrence
    names (the child moves).  ``origin`` and ``axis`` are world coordinates with
    every joint at 0; the axis is the turn axis or slide direction (default
    [0, 0, 1]) and ``reference`` an optional direction for the joint frame's
    first axis.  ``limits`` is [minimum, maximum] with null for a side that is
    not enabled (degrees for a turn, centimetres for a slider), ``slide_limits``
    the same for a cylindrical joint's slide.  ``value`` (degrees, or
    centimetres for a slider) and ``slide`` (centimetres, cylindrical) are the
    joint's value once loaded: the workcell's starting pose.
``rotation`` (anywhere)
    {"axis": [x, y, z], "angle": degrees} or {"matrix": [[...], [...], [...]]}
    (rows of a proper rotation).
``arm``
    {"base", "end_effector", "joints", "links"}: base and end-effector component
    names, joint names from base to tip, and link occurrence base names (the
    base's first, then one per joint).
``environment``
    Occurrence base names of the obstacles the arm must avoid.
``targets``
    Component names of the task targets, in visiting order.

Example::

    import sys; sys.path.insert(0, "<repo>/hostsim")
    import workcell
    cell = workcell.load_into_application()      # the bundled sample, now app.activeProduct
    cell.design.rootComponent.joints.itemByName("J2").jointMotion.rotationValue = 0.5
"""
from __future__ import annotations

import json
import math
import os
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

import adsk.core
import adsk.fusion
from adsk import _shapes

SAMPLE_PATH = Path(__file__).resolve().parent.parent / "examples" / "sample_workcell.json"

FORMAT = "cellpath-workcell"
VERSION = 1

_JOINT_TYPES = {
    "rigid": adsk.fusion.JointTypes.RigidJointType,
    "revolute": adsk.fusion.JointTypes.RevoluteJointType,
    "slider": adsk.fusion.JointTypes.SliderJointType,
    "cylindrical": adsk.fusion.JointTypes.CylindricalJointType,
}
_DESIGN_TYPES = {
    "parametric": adsk.fusion.DesignTypes.ParametricDesignType,
    "direct": adsk.fusion.DesignTypes.DirectDesignType,
}


@dataclass
class Workcell:
    """A loaded workcell: the stand-in design and the roles its file names."""

    design: adsk.fusion.Design
    base: str = ""
    end_effector: str = ""
    joints: list[str] = field(default_factory=list)
    links: list[str] = field(default_factory=list)
    environment: list[str] = field(default_factory=list)
    targets: list[str] = field(default_factory=list)
    source: Path | None = None

    def joint_values(self) -> np.ndarray:
        """Current ``rotationValue`` of the arm's joints, in arm order."""
        root = self.design.rootComponent
        return np.array([root.joints.itemByName(n).jointMotion.rotationValue for n in self.joints])

    def set_joint_values(self, values) -> None:
        """Drive the arm's joints to ``values`` (radians, arm order)."""
        root = self.design.rootComponent
        for name, v in zip(self.joints, values, strict=True):
            root.joints.itemByName(name).jointMotion.rotationValue = float(v)

    def capture_arguments(self, output_dir=None) -> dict:
        """Keyword arguments for the scene capture of this workcell (targets as waypoints)."""
        kwargs = dict(JointNames=list(self.joints), Env=list(self.environment), ManiLinks=list(self.links),
                      BaseFrameName=self.base, EndEffectorFrameName=self.end_effector,
                      Waypoints=list(self.targets))
        if output_dir is not None:
            kwargs["OUTPUT_DIR"] = os.fspath(output_dir)
        return kwargs


class WorkcellError(ValueError):
    """A workcell file that cannot be loaded; the message says where."""


# ---------------------------------------------------------------------------
# Field readers


def _keys(obj, where: str, required=(), optional=()) -> dict:
    if not isinstance(obj, dict):
        raise WorkcellError(f"{where}: expected an object, got {type(obj).__name__}")
    missing = [k for k in required if k not in obj]
    if missing:
        raise WorkcellError(f"{where}: missing {', '.join(map(repr, missing))}")
    unknown = sorted(set(obj) - set(required) - set(optional))
    if unknown:
        raise WorkcellError(f"{where}: unknown key(s) {', '.join(map(repr, unknown))}")
    return obj


def _number(v, where: str) -> float:
    if isinstance(v, bool) or not isinstance(v, (int, float)) or not math.isfinite(v):
        raise WorkcellError(f"{where}: expected a finite number, got {v!r}")
    return float(v)


def _vec3(v, where: str) -> np.ndarray:
    if not isinstance(v, list) or len(v) != 3:
        raise WorkcellError(f"{where}: expected [x, y, z], got {v!r}")
    return np.array([_number(c, where) for c in v])


def _direction(v, where: str) -> np.ndarray:
    d = _vec3(v, where)
    n = np.linalg.norm(d)
    if n == 0.0:
        raise WorkcellError(f"{where}: direction must not be zero")
    return d / n


def _name(v, where: str) -> str:
    if not isinstance(v, str) or not v:
        raise WorkcellError(f"{where}: expected a non-empty name, got {v!r}")
    return v


def _names(v, where: str) -> list[str]:
    if not isinstance(v, list):
        raise WorkcellError(f"{where}: expected a list of names")
    return [_name(n, f"{where}[{i}]") for i, n in enumerate(v)]


def _rotation(v, where: str) -> np.ndarray:
    if v is None:
        return np.eye(3)
    obj = _keys(v, where, optional=("axis", "angle", "matrix"))
    if "matrix" in obj:
        if set(obj) != {"matrix"}:
            raise WorkcellError(f"{where}: give either 'matrix' or 'axis' and 'angle'")
        rows = obj["matrix"]
        if not isinstance(rows, list) or len(rows) != 3:
            raise WorkcellError(f"{where}.matrix: expected three rows")
        r = np.array([_vec3(row, f"{where}.matrix[{i}]") for i, row in enumerate(rows)])
        m = np.eye(4)
        m[:3, :3] = r
        if not adsk.core.is_rigid(m):
            raise WorkcellError(f"{where}.matrix: not a proper rotation")
        return r
    _keys(obj, where, required=("axis", "angle"))
    axis = _direction(obj["axis"], f"{where}.axis")
    angle = math.radians(_number(obj["angle"], f"{where}.angle"))
    k = np.array([[0.0, -axis[2], axis[1]], [axis[2], 0.0, -axis[0]], [-axis[1], axis[0], 0.0]])
    return np.eye(3) + math.sin(angle) * k + (1.0 - math.cos(angle)) * (k @ k)


def _pose(translation, rotation, where: str) -> np.ndarray:
    m = np.eye(4)
    m[:3, :3] = _rotation(rotation, f"{where}.rotation")
    if translation is not None:
        m[:3, 3] = _vec3(translation, f"{where}.translation")
    return m


def _limit_pair(v, where: str, scale: float):
    if v is None:
        return None
    if not isinstance(v, list) or len(v) != 2:
        raise WorkcellError(f"{where}: expected [minimum, maximum] (null for a disabled side)")
    lo, hi = (None if x is None else _number(x, where) * scale for x in v)
    if lo is not None and hi is not None and lo > hi:
        raise WorkcellError(f"{where}: minimum {v[0]} is above maximum {v[1]}")
    return (lo, hi)


def _shape(body: dict, where: str):
    kind = body.get("shape")
    if kind == "box":
        _keys(body, where, required=("name", "shape", "size"), optional=("center", "rotation"))
        size = _vec3(body["size"], f"{where}.size")
        if np.any(size <= 0.0):
            raise WorkcellError(f"{where}.size: edges must be positive")
        return _shapes.Box(size, _vec3(body.get("center", [0, 0, 0]), f"{where}.center"),
                           _rotation(body.get("rotation"), f"{where}.rotation"))
    if kind == "cylinder":
        _keys(body, where, required=("name", "shape", "radius", "length"), optional=("center", "axis"))
        radius = _number(body["radius"], f"{where}.radius")
        length = _number(body["length"], f"{where}.length")
        if radius <= 0.0 or length <= 0.0:
            raise WorkcellError(f"{where}: radius and length must be positive")
        return _shapes.Cylinder(radius, length, _vec3(body.get("center", [0, 0, 0]), f"{where}.center"),
                                _direction(body.get("axis", [0, 0, 1]), f"{where}.axis"))
    if kind == "mesh":
        _keys(body, where, required=("name", "shape", "vertices", "triangles"))
        verts, tris = body["vertices"], body["triangles"]
        if not isinstance(verts, list) or not isinstance(tris, list):
            raise WorkcellError(f"{where}: vertices and triangles must be lists")
        v = np.array([_vec3(p, f"{where}.vertices[{i}]") for i, p in enumerate(verts)]).reshape(-1, 3)
        t = []
        for i, tri in enumerate(tris):
            if (not isinstance(tri, list) or len(tri) != 3
                    or not all(isinstance(k, int) and not isinstance(k, bool) and 0 <= k < len(v) for k in tri)):
                raise WorkcellError(f"{where}.triangles[{i}]: expected three vertex indices below {len(v)}")
            t.append(tri)
        return _shapes.Mesh(v, np.array(t, dtype=np.int64).reshape(-1, 3))
    raise WorkcellError(f"{where}.shape: expected 'box', 'cylinder' or 'mesh', got {kind!r}")


def _joint_frame(origin: np.ndarray, axis: np.ndarray, reference, where: str) -> np.ndarray:
    """World frame of a joint: z along the axis, x along the reference direction
    made perpendicular to it (or a fixed perpendicular when none is given)."""
    if reference is None:
        x = _shapes.perpendicular(axis)
    else:
        r = _direction(reference, f"{where}.reference")
        x = r - np.dot(r, axis) * axis
        n = np.linalg.norm(x)
        if n < 1e-9:
            raise WorkcellError(f"{where}.reference: must not be parallel to the axis")
        x /= n
    m = np.eye(4)
    m[:3, 0], m[:3, 1], m[:3, 2], m[:3, 3] = x, np.cross(axis, x), axis, origin
    return m


# ---------------------------------------------------------------------------
# Loading


def build(data: dict, source: Path | None = None) -> Workcell:
    """Build a stand-in design from a parsed workcell file (see the module docstring)."""
    _keys(data, "workcell", required=("format", "version", "components", "occurrences"),
          optional=("units", "design_type", "joints", "arm", "environment", "targets", "description"))
    if data["format"] != FORMAT or data["version"] != VERSION:
        raise WorkcellError(f"workcell: expected format {FORMAT!r} version {VERSION}, "
                            f"got {data['format']!r} version {data['version']!r}")
    if "units" in data and data["units"] != {"length": "cm", "angle": "deg"}:
        raise WorkcellError("workcell.units: only {'length': 'cm', 'angle': 'deg'} is supported")
    design_type = data.get("design_type", "parametric")
    if design_type not in _DESIGN_TYPES:
        raise WorkcellError(f"workcell.design_type: expected 'parametric' or 'direct', got {design_type!r}")
    design = adsk.fusion.Design(_DESIGN_TYPES[design_type])

    if not isinstance(data["components"], list):
        raise WorkcellError("workcell.components: expected a list")
    for i, c in enumerate(data["components"]):
        where = f"components[{i}]"
        _keys(c, where, required=("name",), optional=("bodies",))
        name = _name(c["name"], f"{where}.name")
        if design.allComponents.itemByName(name) is not None:
            raise WorkcellError(f"{where}.name: duplicate component {name!r}")
        comp = design.add_component(name)
        bodies = c.get("bodies", [])
        if not isinstance(bodies, list):
            raise WorkcellError(f"{where}.bodies: expected a list")
        for k, b in enumerate(bodies):
            bw = f"{where}.bodies[{k}]"
            if not isinstance(b, dict):
                raise WorkcellError(f"{bw}: expected an object")
            comp.add_body(_name(b.get("name"), f"{bw}.name"), _shape(b, bw))

    occurrences: dict[str, adsk.fusion.Occurrence] = {}
    if not isinstance(data["occurrences"], list):
        raise WorkcellError("workcell.occurrences: expected a list")
    for i, o in enumerate(data["occurrences"]):
        where = f"occurrences[{i}]"
        _keys(o, where, required=("component",), optional=("translation", "rotation", "parent"))
        comp = design.allComponents.itemByName(_name(o["component"], f"{where}.component"))
        if comp is None or comp is design.rootComponent:
            raise WorkcellError(f"{where}.component: no component {o['component']!r}")
        parent = None
        if "parent" in o:
            parent = occurrences.get(o["parent"])
            if parent is None:
                raise WorkcellError(f"{where}.parent: no earlier occurrence {o['parent']!r}")
        try:
            occ = design.add_occurrence(comp, _pose(o.get("translation"), o.get("rotation"), where), parent)
        except ValueError as e:
            raise WorkcellError(f"{where}: {e}") from None
        occurrences[occ.name] = occ

    joints = data.get("joints", [])
    if not isinstance(joints, list):
        raise WorkcellError("workcell.joints: expected a list")
    start = []
    for i, j in enumerate(joints):
        where = f"joints[{i}]"
        _keys(j, where, required=("name", "type", "parent", "child", "origin"),
              optional=("axis", "reference", "limits", "slide_limits", "value", "slide"))
        kind = j["type"]
        if kind not in _JOINT_TYPES:
            raise WorkcellError(f"{where}.type: expected one of {sorted(_JOINT_TYPES)}, got {kind!r}")
        ends = []
        for end in ("parent", "child"):
            occ = occurrences.get(j[end])
            if occ is None:
                raise WorkcellError(f"{where}.{end}: no occurrence {j[end]!r}")
            ends.append(occ)
        axis = _direction(j.get("axis", [0, 0, 1]), f"{where}.axis")
        frame = _joint_frame(_vec3(j["origin"], f"{where}.origin"), axis, j.get("reference"), where)
        turn = kind in ("revolute", "cylindrical")
        scale = math.pi / 180.0 if turn else 1.0
        if kind == "rigid" and any(k in j for k in ("limits", "value")):
            raise WorkcellError(f"{where}: a rigid joint has no limits or value")
        if kind != "cylindrical" and any(k in j for k in ("slide_limits", "slide")):
            raise WorkcellError(f"{where}: only a cylindrical joint has 'slide_limits' and 'slide'")
        try:
            joint = design.add_joint(_name(j["name"], f"{where}.name"), _JOINT_TYPES[kind], ends[0], ends[1], frame,
                                     limits=_limit_pair(j.get("limits"), f"{where}.limits", scale),
                                     slide_limits=_limit_pair(j.get("slide_limits"), f"{where}.slide_limits", 1.0))
        except ValueError as e:
            raise WorkcellError(f"{where}: {e}") from None
        if "value" in j:
            start.append((joint.jointMotion, "rotationValue", _number(j["value"], f"{where}.value") * scale))
        if "slide" in j:
            start.append((joint.jointMotion, "slideValue", _number(j["slide"], f"{where}.slide")))
    # Every joint is made at the all-zero pose the file describes; only then is
    # the starting pose applied.
    for motion, attr, value in start:
        setattr(motion, attr, value)

    cell = Workcell(design=design, source=source)
    if "arm" in data:
        arm = _keys(data["arm"], "arm", required=("base", "end_effector", "joints", "links"))
        cell.base = _name(arm["base"], "arm.base")
        cell.end_effector = _name(arm["end_effector"], "arm.end_effector")
        cell.joints = _names(arm["joints"], "arm.joints")
        cell.links = _names(arm["links"], "arm.links")
        for role in ("base", "end_effector"):
            if not _component_is_placed(design, getattr(cell, role)):
                raise WorkcellError(f"arm.{role}: no placed component {getattr(cell, role)!r}")
        for n in cell.joints:
            if design.rootComponent.joints.itemByName(n) is None:
                raise WorkcellError(f"arm.joints: no joint {n!r}")
        _check_base_names(design, cell.links, "arm.links")
    cell.environment = _names(data.get("environment", []), "environment")
    _check_base_names(design, cell.environment, "environment")
    cell.targets = _names(data.get("targets", []), "targets")
    for n in cell.targets:
        if not _component_is_placed(design, n):
            raise WorkcellError(f"targets: no placed component {n!r}")
    return cell


def _component_is_placed(design, name: str) -> bool:
    return any(o.component.name == name for o in design.rootComponent.allOccurrences)


def _check_base_names(design, names, where: str) -> None:
    present = {o.name.split(":", 1)[0] for o in design.rootComponent.allOccurrences}
    for n in names:
        if n not in present:
            raise WorkcellError(f"{where}: no occurrence named {n!r}")


def load(source=SAMPLE_PATH) -> Workcell:
    """Load a workcell from a JSON file path (default: the bundled sample) or a parsed dict."""
    if isinstance(source, dict):
        return build(source)
    path = Path(source)
    with open(path, encoding="utf-8") as f:
        data = json.load(f)
    return build(data, source=path)


def install(design) -> adsk.core.Application:
    """Reset the application (design closed, records cleared) and open ``design``
    as its active product.  Returns the application."""
    app = adsk.core.Application.get()
    app.reset()
    app.set_active_product(design)
    return app


def reset_application() -> adsk.core.Application:
    """Close the open design and clear every record of the application."""
    app = adsk.core.Application.get()
    app.reset()
    return app


def load_into_application(source=SAMPLE_PATH) -> Workcell:
    """Load a workcell (default: the bundled sample) into a freshly reset application."""
    cell = load(source)
    install(cell.design)
    return cell
