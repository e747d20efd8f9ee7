"""Stand-in for the host's ``adsk.fusion``: the design, its components, occurrences,
joints, bodies and custom graphics.

The design is an assembly tree driven by joints.  Each joint connects a parent
occurrence (the host's ``occurrenceTwo``) to a child occurrence
(``occurrenceOne``); the child's world pose is

    world(child) = world(parent) . F_parent . motion(value) . F_child^-1

where F_parent and F_child are the joint frame in the two occurrences' own
frames, fixed when the joint is made, and motion is a turn about (revolute), a
slide along (slider), or both (cylindrical) the joint frame's z axis.  Poses are
derived from joint values on every read, so setting a joint value moves every
downstream occurrence and joint geometry at once; nothing waits for
``adsk.doEvents()``.

Camel-case members are the host's; snake_case members (``add_component``,
``add_occurrence``, ``add_joint``, ``add_body`` ...) build designs and exist only
in the stand-in.  Lengths are centimetres and angles radians.  Joint limits are
reported, not enforced: the host lets scripts drive joints anywhere and so does
the stand-in.
"""
from __future__ import annotations

import math

import numpy as np

from . import _shapes
from .core import Base, Color, Matrix3D, Point3D, Product, Vector3D, is_rigid


class JointTypes:
    """Kinds of joint (``jointMotion.jointType``)."""

    RigidJointType = 0
    RevoluteJointType = 1
    SliderJointType = 2
    CylindricalJointType = 3
    PinSlotJointType = 4
    PlanarJointType = 5
    BallJointType = 6


class DesignTypes:
    """Direct (no history) or parametric (timeline and snapshots) design."""

    DirectDesignType = 0
    ParametricDesignType = 1


class TriangleMeshQualityOptions:
    """Tessellation qualities of ``TriangleMeshCalculator.setQuality``."""

    LowQualityTriangleMesh = 8
    NormalQualityTriangleMesh = 11
    HighQualityTriangleMesh = 13
    VeryHighQualityTriangleMesh = 15


# ---------------------------------------------------------------------------
# Collections


class _Collection(Base):
    """Ordered read-only collection: ``count``, ``item(i)``, ``itemByName``, iteration."""

    def __init__(self, items_fn):
        self._items_fn = items_fn  # called on every access: collections are live views

    def _items(self):
        return list(self._items_fn())

    @property
    def count(self) -> int:
        """Number of items."""
        return len(self._items())

    def item(self, index: int):
        """The item at ``index``, or None when out of range."""
        items = self._items()
        index = int(index)
        return items[index] if 0 <= index < len(items) else None

    def itemByName(self, name: str):
        """The first item whose ``name`` equals ``name`` exactly, or None."""
        for it in self._items():
            if it.name == name:
                return it
        return None

    def __len__(self):
        return self.count

    def __getitem__(self, index):
        items = self._items()
        return items[index]

    def __iter__(self):
        return iter(self._items())


class Components(_Collection):
    """The design's components, root first."""


class Occurrences(_Collection):
    """Occurrences of one level of the assembly, or of all levels (``allOccurrences``)."""


class Joints(_Collection):
    """The joints of a component."""


class BRepBodies(_Collection):
    """The solid bodies of a component, in creation order."""


# ---------------------------------------------------------------------------
# Design, components, occurrences


class Snapshot(Base):
    """A captured position state of a parametric design."""

    def __init__(self, index: int):
        self.name = f"Snapshot{index}"


class Snapshots(Base):
    """Position snapshots: moving an occurrence of a parametric design leaves one pending."""

    def __init__(self, design: "Design"):
        self._design = design
        self._taken: list[Snapshot] = []
        self._pending = False

    @property
    def hasPendingSnapshot(self) -> bool:
        """True when positions changed since the last snapshot (parametric designs only)."""
        return self._pending

    def add(self) -> Snapshot:
        """Capture the current positions and clear the pending state."""
        snap = Snapshot(len(self._taken) + 1)
        self._taken.append(snap)
        self._pending = False
        return snap

    @property
    def count(self) -> int:
        """Number of snapshots taken."""
        return len(self._taken)

    def item(self, index: int):
        """The snapshot at ``index``, or None."""
        return self._taken[index] if 0 <= index < len(self._taken) else None


class Design(Product):
    """An open design: components, the assembly tree and its joints.

    Built empty with a root component (named ``root_name``); use
    ``add_component``, ``add_occurrence`` and ``add_joint`` to fill it, or the
    workcell loader.
    """

    productType = "DesignProductType"

    def __init__(self, design_type: int = DesignTypes.ParametricDesignType, root_name: str = "Root"):
        self._design_type = int(design_type)
        self._components: list[Component] = []
        self._occurrences: list[Occurrence] = []  # creation order
        self._joints: list[Joint] = []
        self._poses: dict[int, np.ndarray] = {}
        self.snapshots = Snapshots(self)
        self.rootComponent = Component(self, root_name, is_root=True)
        self._components.append(self.rootComponent)

    @property
    def designType(self) -> int:
        """``DesignTypes.ParametricDesignType`` or ``DirectDesignType``."""
        return self._design_type

    @designType.setter
    def designType(self, value: int):
        if value not in (DesignTypes.DirectDesignType, DesignTypes.ParametricDesignType):
            raise RuntimeError(f"3 : invalid argument designType: {value!r}")
        self._design_type = int(value)
        if value == DesignTypes.DirectDesignType:
            self.snapshots._pending = False

    @property
    def allComponents(self) -> Components:
        """Every component of the design, root first, then in creation order."""
        return Components(lambda: self._components)

    # -- building (stand-in only) -------------------------------------------

    def add_component(self, name: str) -> "Component":
        """Stand-in only: a new, empty component; component names are unique."""
        if not isinstance(name, str) or not name:
            raise ValueError("component name must be a non-empty string")
        if any(c.name == name for c in self._components):
            raise ValueError(f"duplicate component name {name!r}")
        comp = Component(self, name)
        self._components.append(comp)
        return comp

    def add_occurrence(self, component: "Component", transform=None, parent: "Occurrence | None" = None) -> "Occurrence":
        """Stand-in only: place ``component`` in the assembly.

        ``transform`` (4x4, centimetres) is the world pose for a top-level
        occurrence, or the pose relative to ``parent`` for a nested one.  The
        occurrence is named "<component>:<k>", k counting that component's
        occurrences from 1.  A component that holds nested occurrences may be
        placed only once (its children belong to that one placement).
        """
        if component.design is not self or component.is_root:
            raise ValueError("can only place a non-root component of this design")
        if parent is not None and parent.design is not self:
            raise ValueError("parent occurrence belongs to another design")
        m = np.eye(4) if transform is None else np.array(transform, dtype=float).reshape(4, 4)
        if not is_rigid(m):
            raise ValueError(f"placement of {component.name!r} is not a rigid transform")
        if parent is not None and sum(1 for o in self._occurrences if o.component is parent.component) > 1:
            raise ValueError(f"component {parent.component.name!r} is placed more than once; it cannot hold occurrences")
        if parent is not None and parent._is_ancestor_or_self_of_component(component):
            raise ValueError(f"placing {component.name!r} inside {parent.name!r} would make a cycle")
        if component._instance_children() and any(o.component is component for o in self._occurrences):
            raise ValueError(f"component {component.name!r} holds occurrences and is already placed")
        k = 1 + sum(1 for o in self._occurrences if o.component is component)
        occ = Occurrence(self, component, f"{component.name}:{k}", m, parent)
        self._occurrences.append(occ)
        self._changed()
        return occ

    def add_joint(self, name: str, joint_type: int, parent: "Occurrence", child: "Occurrence", frame,
                  limits=None, slide_limits=None) -> "Joint":
        """Stand-in only: join ``child`` to ``parent`` in the root component.

        ``frame`` (4x4, world, centimetres) is the joint frame at the current
        pose: origin = joint origin, z = rotation axis / slide direction.  The
        child keeps its current pose at joint value 0.  ``limits`` is a
        (minimum or None, maximum or None) pair, None meaning that side is not
        enabled: radians for a revolute or cylindrical joint's turn, centimetres
        for a slider; ``slide_limits`` gives a cylindrical joint's slide limits.
        """
        if not isinstance(name, str) or not name:
            raise ValueError("joint name must be a non-empty string")
        if any(j.name == name for j in self._joints):
            raise ValueError(f"duplicate joint name {name!r}")
        if joint_type not in _MOTIONS:
            raise ValueError(f"unsupported joint type {joint_type!r}")
        for occ in (parent, child):
            if not isinstance(occ, Occurrence) or occ.design is not self:
                raise ValueError(f"joint {name!r}: occurrences must belong to this design")
        if child.assemblyContext is not None:
            raise ValueError(f"joint {name!r}: child {child.name!r} is nested; only top-level occurrences can be jointed")
        if child._driving_joint is not None:
            raise ValueError(f"joint {name!r}: {child.name!r} is already the child of joint {child._driving_joint.name!r}")
        if child is parent or child._is_upstream_of(parent):
            raise ValueError(f"joint {name!r}: {parent.name!r} moves with {child.name!r}; the joints would form a loop")
        f = np.array(frame, dtype=float).reshape(4, 4)
        if not is_rigid(f):
            raise ValueError(f"joint {name!r}: frame is not a rigid transform")
        joint = Joint(self, name, joint_type, parent, child,
                      _inv(self._world(parent)) @ f, _inv(self._world(child)) @ f)
        motion = joint.jointMotion
        if limits is not None:
            if joint_type == JointTypes.RigidJointType:
                raise ValueError(f"joint {name!r}: a rigid joint has no limits")
            motion._limits._set(*limits)
        if slide_limits is not None:
            if joint_type != JointTypes.CylindricalJointType:
                raise ValueError(f"joint {name!r}: only a cylindrical joint has separate slide limits")
            motion._slide_limits._set(*slide_limits)
        child._driving_joint = joint
        self._joints.append(joint)
        self._changed()
        return joint

    # -- poses ---------------------------------------------------------------

    def _changed(self) -> None:
        self._poses.clear()

    def _world(self, occ: "Occurrence") -> np.ndarray:
        key = id(occ)
        m = self._poses.get(key)
        if m is None:
            if occ._override is not None:
                m = occ._override
            elif occ._driving_joint is not None:
                j = occ._driving_joint
                m = self._world(j._parent) @ j._frame_parent @ j.jointMotion._motion() @ _inv(j._frame_child)
            elif occ.assemblyContext is not None:
                m = self._world(occ.assemblyContext) @ occ._local
            else:
                m = occ._local
            self._poses[key] = m
        return m

    def _joint_value_changed(self) -> None:
        # A joint solve puts every jointed occurrence back where its joint says,
        # so placements assigned to jointed occurrences last only until then.
        for occ in self._occurrences:
            occ._override = None
        self._changed()


def _inv(m: np.ndarray) -> np.ndarray:
    r = m[:3, :3].T
    out = np.eye(4)
    out[:3, :3] = r
    out[:3, 3] = -(r @ m[:3, 3])
    return out


class Component(Base):
    """A part definition: bodies, child occurrences, joints (root) and graphics."""

    def __init__(self, design: Design, name: str, is_root: bool = False):
        self.design = design
        self._name = name
        self.is_root = is_root
        self._bodies: list[BRepBody] = []
        self.customGraphicsGroups = CustomGraphicsGroups()

    @property
    def name(self) -> str:
        """The component's name."""
        return self._name

    @property
    def parentDesign(self) -> Design:
        """The design that owns the component."""
        return self.design

    @property
    def bRepBodies(self) -> BRepBodies:
        """The component's solid bodies (geometry in the component's frame)."""
        return BRepBodies(lambda: self._bodies)

    def _instance_children(self) -> list["Occurrence"]:
        if self.is_root:
            return [o for o in self.design._occurrences if o.assemblyContext is None]
        return [o for o in self.design._occurrences
                if o.assemblyContext is not None and o.assemblyContext.component is self]

    @property
    def occurrences(self) -> Occurrences:
        """The occurrences placed directly in this component (one level)."""
        return Occurrences(self._instance_children)

    @property
    def allOccurrences(self) -> Occurrences:
        """The occurrences at every level below this component, depth first,
        each followed by its own children, siblings in creation order."""
        def walk():
            out = []
            stack = list(reversed(self._instance_children()))
            while stack:
                occ = stack.pop()
                out.append(occ)
                stack.extend(reversed(occ._children()))
            return out
        return Occurrences(walk)

    @property
    def joints(self) -> Joints:
        """The joints of this component (the stand-in keeps every joint in the root)."""
        return Joints(lambda: self.design._joints if self.is_root else [])

    def add_body(self, name: str, shape) -> "BRepBody":
        """Stand-in only: add a solid body; ``shape`` is a Box, Cylinder or Mesh of
        ``adsk._shapes``, in this component's frame (centimetres)."""
        if self.is_root:
            raise ValueError("the stand-in keeps bodies in placed components, not in the root")
        body = BRepBody(self, name, shape)
        self._bodies.append(body)
        return body

    def __repr__(self):
        return f"<Component {self._name!r}>"


class Occurrence(Base):
    """A placed instance of a component.  ``transform2`` is its world pose."""

    def __init__(self, design: Design, component: Component, name: str, local: np.ndarray, parent):
        self.design = design
        self.component = component
        self._name = name
        self._local = local
        self.assemblyContext = parent
        self._driving_joint: Joint | None = None
        self._override: np.ndarray | None = None

    @property
    def name(self) -> str:
        """"<component name>:<k>"."""
        return self._name

    @property
    def fullPathName(self) -> str:
        """Names of the enclosing occurrences and this one, joined with "+"."""
        chain, occ = [], self
        while occ is not None:
            chain.append(occ.name)
            occ = occ.assemblyContext
        return "+".join(reversed(chain))

    def _children(self) -> list["Occurrence"]:
        return [o for o in self.design._occurrences if o.assemblyContext is self]

    @property
    def childOccurrences(self) -> Occurrences:
        """The occurrences nested directly in this one."""
        return Occurrences(self._children)

    @property
    def transform2(self) -> Matrix3D:
        """World pose (a new matrix each read; changing it does not move the occurrence)."""
        return Matrix3D(self.design._world(self))

    @transform2.setter
    def transform2(self, matrix: Matrix3D):
        if not isinstance(matrix, Matrix3D):
            raise TypeError(f"transform2 takes a Matrix3D, not {type(matrix).__name__}")
        world = matrix.as_numpy()
        if self._driving_joint is not None:
            # A jointed occurrence can be dragged, but the next joint solve wins.
            self._override = world
        elif self.assemblyContext is not None:
            self._local = _inv(self.design._world(self.assemblyContext)) @ world
        else:
            self._local = world
        if self.design.designType == DesignTypes.ParametricDesignType:
            self.design.snapshots._pending = True
        self.design._changed()

    def _is_upstream_of(self, other: "Occurrence") -> bool:
        """True when moving ``self`` moves ``other`` (through nesting or joints)."""
        occ = other
        while occ is not None:
            if occ is self:
                return True
            if occ._driving_joint is not None:
                occ = occ._driving_joint._parent
            else:
                occ = occ.assemblyContext
        return False

    def _is_ancestor_or_self_of_component(self, component: Component) -> bool:
        occ = self
        while occ is not None:
            if occ.component is component:
                return True
            occ = occ.assemblyContext
        return False

    def __repr__(self):
        return f"<Occurrence {self._name!r}>"


# ---------------------------------------------------------------------------
# Joints


class JointLimits(Base):
    """Minimum and maximum of a joint value, each with an enabled flag."""

    def __init__(self):
        self.isMinimumValueEnabled = False
        self.minimumValue = 0.0
        self.isMaximumValueEnabled = False
        self.maximumValue = 0.0
        self.isRestValueEnabled = False
        self.restValue = 0.0

    def _set(self, lo, hi):
        if lo is not None:
            self.isMinimumValueEnabled, self.minimumValue = True, float(lo)
        if hi is not None:
            self.isMaximumValueEnabled, self.maximumValue = True, float(hi)
        if lo is not None and hi is not None and float(lo) > float(hi):
            raise ValueError(f"joint limits out of order: {lo} > {hi}")


def _checked_value(value) -> float:
    v = float(value)
    if not math.isfinite(v):
        raise RuntimeError(f"3 : invalid argument value: {v!r}")
    return v


def _rot_z(theta: float) -> np.ndarray:
    m = np.eye(4)
    c, s = math.cos(theta), math.sin(theta)
    m[0, 0], m[0, 1], m[1, 0], m[1, 1] = c, -s, s, c
    return m


def _slide_z(d: float) -> np.ndarray:
    m = np.eye(4)
    m[2, 3] = d
    return m


class JointMotion(Base):
    """Base of the joint motions: ``jointType`` and the joint's world frame."""

    jointType = -1

    def __init__(self, joint: "Joint"):
        self._joint = joint
        self._limits = JointLimits()
        self._slide_limits = JointLimits()

    def _motion(self) -> np.ndarray:
        return np.eye(4)

    def _axis_world(self) -> Vector3D:
        j = self._joint
        frame = j.design._world(j._parent) @ j._frame_parent
        return Vector3D(*frame[:3, 2])

    def _set(self, attr: str, value) -> None:
        setattr(self, attr, _checked_value(value))
        self._joint.design._joint_value_changed()


class RigidJointMotion(JointMotion):
    """No relative motion."""

    jointType = JointTypes.RigidJointType


class RevoluteJointMotion(JointMotion):
    """Turn about the joint axis by ``rotationValue`` radians (right-hand rule)."""

    jointType = JointTypes.RevoluteJointType
    _rotation = 0.0

    rotationValue = property(lambda self: self._rotation, lambda self, v: self._set("_rotation", v),
                             doc="Current angle, radians; assigning it moves the downstream assembly.")

    @property
    def rotationLimits(self) -> JointLimits:
        """Angle limits (reported, not enforced)."""
        return self._limits

    @property
    def rotationAxisVector(self) -> Vector3D:
        """Current direction of the rotation axis, world coordinates (unit)."""
        return self._axis_world()

    def _motion(self):
        return _rot_z(self._rotation)


class SliderJointMotion(JointMotion):
    """Slide along the joint direction by ``slideValue`` centimetres.

    The toolkit drives every joint through ``rotationValue`` and reads
    ``rotationLimits``, so a slider answers to those names as well: they are the
    slide value (centimetres) and the slide limits.
    """

    jointType = JointTypes.SliderJointType
    _slide = 0.0

    slideValue = property(lambda self: self._slide, lambda self, v: self._set("_slide", v),
                          doc="Current offset along the slide direction, centimetres.")
    rotationValue = slideValue

    @property
    def slideLimits(self) -> JointLimits:
        """Slide limits, centimetres (reported, not enforced)."""
        return self._limits

    rotationLimits = slideLimits

    @property
    def slideDirectionVector(self) -> Vector3D:
        """Current slide direction, world coordinates (unit)."""
        return self._axis_world()

    def _motion(self):
        return _slide_z(self._slide)


class CylindricalJointMotion(JointMotion):
    """Turn about and slide along the same axis."""

    jointType = JointTypes.CylindricalJointType
    _rotation = 0.0
    _slide = 0.0

    rotationValue = property(lambda self: self._rotation, lambda self, v: self._set("_rotation", v),
                             doc="Current angle, radians.")
    slideValue = property(lambda self: self._slide, lambda self, v: self._set("_slide", v),
                          doc="Current offset along the axis, centimetres.")

    @property
    def rotationLimits(self) -> JointLimits:
        """Angle limits (reported, not enforced)."""
        return self._limits

    @property
    def slideLimits(self) -> JointLimits:
        """Slide limits, centimetres (reported, not enforced)."""
        return self._slide_limits

    @property
    def rotationAxisVector(self) -> Vector3D:
        """Current direction of the axis, world coordinates (unit)."""
        return self._axis_world()

    def _motion(self):
        return _rot_z(self._rotation) @ _slide_z(self._slide)


_MOTIONS = {
    JointTypes.RigidJointType: RigidJointMotion,
    JointTypes.RevoluteJointType: RevoluteJointMotion,
    JointTypes.SliderJointType: SliderJointMotion,
    JointTypes.CylindricalJointType: CylindricalJointMotion,
}


class JointGeometry(Base):
    """A joint frame in world coordinates, read at one moment (a snapshot)."""

    def __init__(self, frame: np.ndarray):
        self.origin = Point3D(*frame[:3, 3])
        self.primaryAxisVector = Vector3D(*frame[:3, 0])
        self.secondaryAxisVector = Vector3D(*frame[:3, 1])
        self.thirdAxisVector = Vector3D(*frame[:3, 2])


class Joint(Base):
    """A joint of the root component between ``occurrenceTwo`` (parent, fixed side)
    and ``occurrenceOne`` (child, moving side)."""

    def __init__(self, design: Design, name: str, joint_type: int, parent: Occurrence, child: Occurrence,
                 frame_parent: np.ndarray, frame_child: np.ndarray):
        self.design = design
        self._name = name
        self._parent = parent
        self._child = child
        self._frame_parent = frame_parent
        self._frame_child = frame_child
        self.jointMotion = _MOTIONS[joint_type](self)

    @property
    def name(self) -> str:
        """The joint's name."""
        return self._name

    @property
    def occurrenceOne(self) -> Occurrence:
        """The moving side (child)."""
        return self._child

    @property
    def occurrenceTwo(self) -> Occurrence:
        """The fixed side (parent)."""
        return self._parent

    @property
    def parentComponent(self) -> Component:
        """The component that owns the joint (the root)."""
        return self.design.rootComponent

    @property
    def geometryOrOriginOne(self) -> JointGeometry:
        """Joint frame carried by the child, world coordinates, current pose."""
        return JointGeometry(self.design._world(self._child) @ self._frame_child)

    @property
    def geometryOrOriginTwo(self) -> JointGeometry:
        """Joint frame carried by the parent, world coordinates, current pose."""
        return JointGeometry(self.design._world(self._parent) @ self._frame_parent)

    def __repr__(self):
        return f"<Joint {self._name!r}>"


# ---------------------------------------------------------------------------
# Bodies and meshes


class TriangleMesh(Base):
    """Result of a mesh calculation: flat node coordinates and triangle corners."""

    def __init__(self, nodes: np.ndarray, triangles: np.ndarray):
        self.nodeCount = int(len(nodes))
        self.triangleCount = int(len(triangles))
        self.nodeCoordinatesAsDouble = [float(v) for v in nodes.reshape(-1)]
        self.nodeIndices = [int(i) for i in triangles.reshape(-1)]

    @property
    def nodeCoordinates(self) -> list[Point3D]:
        """The nodes as points."""
        c = self.nodeCoordinatesAsDouble
        return [Point3D(c[i], c[i + 1], c[i + 2]) for i in range(0, len(c), 3)]


class TriangleMeshCalculator(Base):
    """Triangulates one body at a chosen quality (normal by default)."""

    def __init__(self, body: "BRepBody"):
        self._body = body
        self._quality = TriangleMeshQualityOptions.NormalQualityTriangleMesh

    def setQuality(self, quality: int) -> bool:
        """Choose a ``TriangleMeshQualityOptions`` value."""
        if quality not in _shapes.CYLINDER_SEGMENTS:
            raise RuntimeError(f"3 : invalid argument triangleMeshQuality: {quality!r}")
        self._quality = int(quality)
        return True

    def calculate(self) -> TriangleMesh:
        """The body's triangles in its component's frame, centimetres."""
        nodes, tris = self._body._shape.triangulate(self._quality)
        return TriangleMesh(nodes, tris)


class MeshManager(Base):
    """Access to a body's triangulations."""

    def __init__(self, body: "BRepBody"):
        self._body = body

    def createMeshCalculator(self) -> TriangleMeshCalculator:
        """A new calculator for the body."""
        return TriangleMeshCalculator(self._body)


class BRepBody(Base):
    """A solid body of a component."""

    def __init__(self, component: Component, name: str, shape):
        self.parentComponent = component
        self.name = name
        self._shape = shape
        self.isSolid = True
        self.isVisible = True
        self.meshManager = MeshManager(self)

    def __repr__(self):
        return f"<BRepBody {self.name!r} of {self.parentComponent.name!r}>"


# ---------------------------------------------------------------------------
# Custom graphics


class CustomGraphicsCoordinates(Base):
    """A flat list of point coordinates (x, y, z per point), centimetres."""

    def __init__(self, coordinates):
        values = [float(v) for v in coordinates]
        if len(values) % 3:
            raise RuntimeError(f"3 : invalid argument coordinates: {len(values)} numbers is not a whole number of points")
        self._values = values

    @staticmethod
    def create(coordinates) -> "CustomGraphicsCoordinates":
        """Coordinates from a flat list of numbers."""
        return CustomGraphicsCoordinates(coordinates)

    @property
    def coordinateCount(self) -> int:
        """Number of points."""
        return len(self._values) // 3

    def getCoordinate(self, index: int) -> Point3D:
        """The point at ``index``."""
        return Point3D(*self._values[3 * index:3 * index + 3])

    def getCoordinates(self):
        """The flat list of numbers."""
        return list(self._values)


class CustomGraphicsColorEffect(Base):
    """Base of the colour effects of custom graphics."""


class CustomGraphicsSolidColorEffect(CustomGraphicsColorEffect):
    """One flat colour."""

    def __init__(self, color: Color):
        if not isinstance(color, Color):
            raise TypeError(f"CustomGraphicsSolidColorEffect takes a Color, not {type(color).__name__}")
        self.color = color

    @staticmethod
    def create(color: Color) -> "CustomGraphicsSolidColorEffect":
        """A solid colour effect."""
        return CustomGraphicsSolidColorEffect(color)


class CustomGraphicsEntity(Base):
    """Something drawn in a custom graphics group."""

    def __init__(self, group: "CustomGraphicsGroup"):
        self._group = group
        self._deleted = False
        self._color = None

    @property
    def isValid(self) -> bool:
        """False once the entity or its group was deleted."""
        return not self._deleted and self._group.isValid

    @property
    def color(self):
        """The colour effect, or None."""
        return self._color

    @color.setter
    def color(self, effect):
        if effect is not None and not isinstance(effect, CustomGraphicsColorEffect):
            raise TypeError(f"color takes a custom graphics colour effect, not {type(effect).__name__}")
        self._color = effect

    def deleteMe(self) -> bool:
        """Remove the entity from its group."""
        if not self.isValid:
            return False
        self._deleted = True
        self._group._entities.remove(self)
        return True


class CustomGraphicsLines(CustomGraphicsEntity):
    """Line segments or strips between coordinates."""

    def __init__(self, group, coordinates, indexList, isLineStrip, lineStripLengths):
        super().__init__(group)
        self.coordinates = coordinates
        self.indexList = indexList
        self.isLineStrip = isLineStrip
        self.lineStripLengths = lineStripLengths
        self._weight = 1.0

    @property
    def weight(self) -> float:
        """Line width in pixels."""
        return self._weight

    @weight.setter
    def weight(self, value):
        v = float(value)
        if not math.isfinite(v) or v < 0.0:
            raise RuntimeError(f"3 : invalid argument weight: {value!r}")
        self._weight = v

    def segments(self):
        """Stand-in only: the drawn segments as ((x, y, z), (x, y, z)) pairs."""
        pts = [self.coordinates.getCoordinate(i).asArray() for i in range(self.coordinates.coordinateCount)]
        order = list(self.indexList) if self.indexList else list(range(len(pts)))
        if not self.isLineStrip:
            return [(pts[order[i]], pts[order[i + 1]]) for i in range(0, len(order) - 1, 2)]
        lengths = list(self.lineStripLengths) or [len(order)]
        out, start = [], 0
        for n in lengths:
            strip = order[start:start + n]
            out.extend((pts[a], pts[b]) for a, b in zip(strip, strip[1:]))
            start += n
        return out


class CustomGraphicsGroup(Base):
    """A group of custom graphics entities drawn in the viewport."""

    def __init__(self, owner: "CustomGraphicsGroups"):
        self._owner = owner
        self._entities: list[CustomGraphicsEntity] = []
        self._deleted = False
        self.isVisible = True

    @property
    def isValid(self) -> bool:
        """False once deleted."""
        return not self._deleted

    @property
    def count(self) -> int:
        """Number of entities in the group."""
        return len(self._entities)

    def item(self, index: int):
        """The entity at ``index``, or None."""
        return self._entities[index] if 0 <= index < len(self._entities) else None

    def __iter__(self):
        return iter(list(self._entities))

    def addLines(self, coordinates, indexList, isLineStrip, lineStripLengths=None) -> CustomGraphicsLines:
        """Draw lines between the given coordinates.

        With an empty ``indexList`` the coordinates are taken in order; without
        ``isLineStrip`` consecutive pairs form separate segments.
        """
        if self._deleted:
            raise RuntimeError("2 : the custom graphics group was deleted")
        if not isinstance(coordinates, CustomGraphicsCoordinates):
            raise TypeError(f"addLines takes CustomGraphicsCoordinates, not {type(coordinates).__name__}")
        index = [int(i) for i in indexList]
        n = coordinates.coordinateCount
        if any(i < 0 or i >= n for i in index):
            raise RuntimeError("3 : invalid argument indexList: index out of range")
        used = len(index) if index else n
        strips = [int(v) for v in (lineStripLengths or [])]
        if not isLineStrip and used % 2:
            raise RuntimeError("3 : invalid argument: separate lines need an even number of points")
        if isLineStrip and strips and sum(strips) != used:
            raise RuntimeError("3 : invalid argument lineStripLengths: lengths do not add up to the points")
        lines = CustomGraphicsLines(self, coordinates, index, bool(isLineStrip), strips)
        self._entities.append(lines)
        return lines

    def deleteMe(self) -> bool:
        """Remove the group and everything in it from the viewport."""
        if self._deleted:
            return False
        self._deleted = True
        self._owner._groups.remove(self)
        return True


class CustomGraphicsGroups(Base):
    """The custom graphics groups of a component."""

    def __init__(self):
        self._groups: list[CustomGraphicsGroup] = []

    def add(self) -> CustomGraphicsGroup:
        """A new, empty group."""
        group = CustomGraphicsGroup(self)
        self._groups.append(group)
        return group

    @property
    def count(self) -> int:
        """Number of groups."""
        return len(self._groups)

    def item(self, index: int):
        """The group at ``index``, or None."""
        return self._groups[index] if 0 <= index < len(self._groups) else None

    def __len__(self):
        return len(self._groups)

    def __iter__(self):
        return iter(list(self._groups))
