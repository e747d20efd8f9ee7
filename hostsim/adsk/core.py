"""Stand-in for the host's ``adsk.core``: geometry values, colours and the application.

Lengths are centimetres, angles radians, as in the host.  Members spelled in
camelCase are the host's own; members spelled in snake_case exist only in the
stand-in and let tests drive it and read what happened (``app.log_lines``,
``app.message_boxes``, ``app.do_events_count``, ``app.refresh_count``,
``app.reset()``, ``app.set_active_product(design)``).
"""
from __future__ import annotations

import math

import numpy as np

# Largest entry of |R^T R - I| (and of the bottom-row deviation) that still
# counts as a rigid transform.  Generous enough for matrices that went through
# a chain of float products, tight enough to refuse a scaled or sheared block.
RIGID_TOLERANCE = 1e-6


class Base:
    """Root of every stand-in host object: ``cast``, ``objectType``, ``isValid``."""

    @classmethod
    def cast(cls, obj):
        """Return ``obj`` when it is an instance of this class, else None (the host's cast)."""
        return obj if isinstance(obj, cls) else None

    @property
    def objectType(self) -> str:
        """The host's type name, e.g. ``adsk::core::Point3D``."""
        package = type(self).__module__.rsplit(".", 1)[-1]
        return f"adsk::{package}::{type(self).__name__}"

    @property
    def isValid(self) -> bool:
        """True while the object is alive (deleted objects report False)."""
        return True


def _floats3(x, y, z):
    return (float(x), float(y), float(z))


# ---------------------------------------------------------------------------
# Points, vectors, matrices


class _Triple(Base):
    """What points and vectors share: three settable coordinates ``x``, ``y``, ``z``."""

    def __init__(self, x=0.0, y=0.0, z=0.0):
        self._xyz = list(_floats3(x, y, z))

    x = property(lambda self: self._xyz[0], lambda self, v: self._xyz.__setitem__(0, float(v)))
    y = property(lambda self: self._xyz[1], lambda self, v: self._xyz.__setitem__(1, float(v)))
    z = property(lambda self: self._xyz[2], lambda self, v: self._xyz.__setitem__(2, float(v)))

    def asArray(self):
        """The coordinates as a tuple (x, y, z)."""
        return tuple(self._xyz)

    def setWithArray(self, coordinates) -> bool:
        """Set from three numbers; False (unchanged) for any other count."""
        values = [float(c) for c in coordinates]
        if len(values) != 3:
            return False
        self._xyz = values
        return True

    def copy(self):
        """An independent copy."""
        return type(self)(*self._xyz)


class Point3D(_Triple):
    """A point with settable ``x``, ``y``, ``z`` (centimetres)."""

    @staticmethod
    def create(x=0.0, y=0.0, z=0.0) -> "Point3D":
        """A new point at (x, y, z)."""
        return Point3D(x, y, z)

    def distanceTo(self, other: "Point3D") -> float:
        """Euclidean distance to another point."""
        return math.dist(self._xyz, other.asArray())

    def isEqualTo(self, other: "Point3D") -> bool:
        """True when the two points coincide within the host's point tolerance."""
        return self.distanceTo(other) <= 1e-10

    def vectorTo(self, other: "Point3D") -> "Vector3D":
        """The vector from this point to ``other``."""
        return Vector3D(*(b - a for a, b in zip(self._xyz, other.asArray())))

    def translateBy(self, vector: "Vector3D") -> bool:
        """Move the point by a vector."""
        self._xyz = [a + b for a, b in zip(self._xyz, vector.asArray())]
        return True

    def transformBy(self, matrix: "Matrix3D") -> bool:
        """Apply a rigid transform to the point (rotation and translation)."""
        m = matrix._m
        p = m[:3, :3] @ np.array(self._xyz) + m[:3, 3]
        self._xyz = [float(v) for v in p]
        return True

    def __repr__(self):
        return "Point3D(%r, %r, %r)" % tuple(self._xyz)


class Vector3D(_Triple):
    """A direction or displacement with settable ``x``, ``y``, ``z``."""

    @staticmethod
    def create(x=0.0, y=0.0, z=0.0) -> "Vector3D":
        """A new vector (x, y, z)."""
        return Vector3D(x, y, z)

    @property
    def length(self) -> float:
        """Euclidean length."""
        return math.hypot(*self._xyz)

    def normalize(self) -> bool:
        """Scale to unit length; False (unchanged) for a zero vector."""
        n = self.length
        if n == 0.0:
            return False
        self._xyz = [c / n for c in self._xyz]
        return True

    def scaleBy(self, scale: float) -> bool:
        """Multiply every component by ``scale``."""
        self._xyz = [c * float(scale) for c in self._xyz]
        return True

    def add(self, other: "Vector3D") -> bool:
        """Add another vector in place."""
        self._xyz = [a + b for a, b in zip(self._xyz, other.asArray())]
        return True

    def subtract(self, other: "Vector3D") -> bool:
        """Subtract another vector in place."""
        self._xyz = [a - b for a, b in zip(self._xyz, other.asArray())]
        return True

    def dotProduct(self, other: "Vector3D") -> float:
        """Scalar product."""
        return sum(a * b for a, b in zip(self._xyz, other.asArray()))

    def crossProduct(self, other: "Vector3D") -> "Vector3D":
        """Vector product self x other."""
        return Vector3D(*np.cross(self._xyz, other.asArray()))

    def angleTo(self, other: "Vector3D") -> float:
        """Angle between the two vectors, radians in [0, pi]."""
        n = self.length * other.length
        if n == 0.0:
            return 0.0
        return math.acos(max(-1.0, min(1.0, self.dotProduct(other) / n)))

    def isEqualTo(self, other: "Vector3D") -> bool:
        """True when the components agree within 1e-10."""
        return all(abs(a - b) <= 1e-10 for a, b in zip(self._xyz, other.asArray()))

    def transformBy(self, matrix: "Matrix3D") -> bool:
        """Rotate the vector by the matrix's rotation block (translation does not apply)."""
        v = matrix._m[:3, :3] @ np.array(self._xyz)
        self._xyz = [float(c) for c in v]
        return True

    def __repr__(self):
        return "Vector3D(%r, %r, %r)" % tuple(self._xyz)


def is_rigid(m: np.ndarray, tol: float = RIGID_TOLERANCE) -> bool:
    """True when ``m`` (4x4) is a proper rigid transform: finite, orthonormal
    rotation block with determinant +1, bottom row (0, 0, 0, 1)."""
    if m.shape != (4, 4) or not np.all(np.isfinite(m)):
        return False
    r = m[:3, :3]
    if np.max(np.abs(r.T @ r - np.eye(3))) > tol:
        return False
    if np.linalg.det(r) <= 0.0:  # a reflection cannot place a body
        return False
    return bool(np.max(np.abs(m[3] - (0.0, 0.0, 0.0, 1.0))) <= tol)


class Matrix3D(Base):
    """A rigid 4x4 transform; translation in centimetres.

    The stand-in only ever holds rigid transforms: ``setWithArray`` refuses
    anything else and leaves the matrix as it was.
    """

    def __init__(self, array=None):
        self._m = np.eye(4) if array is None else np.array(array, dtype=float).reshape(4, 4)

    @staticmethod
    def create() -> "Matrix3D":
        """A new identity matrix."""
        return Matrix3D()

    def asArray(self):
        """The 16 entries, row-major, as a tuple of floats."""
        return tuple(float(v) for v in self._m.reshape(16))

    def setWithArray(self, cells) -> bool:
        """Set all 16 entries from a row-major sequence.

        Returns False, with the matrix unchanged, unless the numbers form a
        rigid transform (orthonormal rotation block within ``RIGID_TOLERANCE``,
        determinant +1, bottom row 0 0 0 1, all finite).
        """
        values = [float(c) for c in cells]
        if len(values) != 16:
            return False
        m = np.array(values).reshape(4, 4)
        if not is_rigid(m):
            return False
        self._m = m
        return True

    def getCell(self, row: int, column: int) -> float:
        """One entry of the matrix."""
        return float(self._m[row, column])

    @property
    def translation(self) -> Vector3D:
        """The translation column as a vector (a copy)."""
        return Vector3D(*self._m[:3, 3])

    @translation.setter
    def translation(self, vector: Vector3D):
        self._m[:3, 3] = vector.asArray()

    def setToIdentity(self) -> bool:
        """Reset to the identity."""
        self._m = np.eye(4)
        return True

    def copy(self) -> "Matrix3D":
        """An independent copy."""
        return Matrix3D(self._m)

    def invert(self) -> bool:
        """Replace the matrix by its inverse."""
        r = self._m[:3, :3].T
        inv = np.eye(4)
        inv[:3, :3] = r
        inv[:3, 3] = -(r @ self._m[:3, 3])
        self._m = inv
        return True

    def transformBy(self, matrix: "Matrix3D") -> bool:
        """Apply ``matrix`` after this one: self = matrix . self."""
        self._m = matrix._m @ self._m
        return True

    def isEqualTo(self, other: "Matrix3D") -> bool:
        """True when all entries agree within 1e-10."""
        return bool(np.max(np.abs(self._m - other._m)) <= 1e-10)

    def getAsCoordinateSystem(self):
        """(origin, xAxis, yAxis, zAxis) of the frame the matrix describes."""
        m = self._m
        return (Point3D(*m[:3, 3]), Vector3D(*m[:3, 0]), Vector3D(*m[:3, 1]), Vector3D(*m[:3, 2]))

    def setWithCoordinateSystem(self, origin, xAxis, yAxis, zAxis) -> bool:
        """Set from a frame; False (unchanged) when the axes are not orthonormal."""
        m = np.eye(4)
        m[:3, 0] = xAxis.asArray()
        m[:3, 1] = yAxis.asArray()
        m[:3, 2] = zAxis.asArray()
        m[:3, 3] = origin.asArray()
        if not is_rigid(m):
            return False
        self._m = m
        return True

    def as_numpy(self) -> np.ndarray:
        """Stand-in only: a copy of the matrix as a 4x4 float array."""
        return self._m.copy()

    def __repr__(self):
        return "Matrix3D(%s)" % np.array2string(self._m, precision=4, separator=", ")


class Color(Base):
    """An RGBA colour, each channel an integer 0..255."""

    def __init__(self, red, green, blue, opacity):
        channels = []
        for name, v in zip(("red", "green", "blue", "opacity"), (red, green, blue, opacity)):
            if isinstance(v, bool) or not isinstance(v, (int, np.integer)):
                raise TypeError(f"Color.create: {name} must be an integer, not {type(v).__name__}")
            if not 0 <= v <= 255:
                raise RuntimeError(f"3 : invalid argument {name}: {v} (expected 0..255)")
            channels.append(int(v))
        self.red, self.green, self.blue, self.opacity = channels

    @staticmethod
    def create(red, green, blue, opacity) -> "Color":
        """A new colour from four integer channels 0..255."""
        return Color(red, green, blue, opacity)

    def getColor(self):
        """(True, red, green, blue, opacity), the host's out-parameter form."""
        return (True, self.red, self.green, self.blue, self.opacity)

    def as_tuple(self):
        """Stand-in only: (red, green, blue, opacity)."""
        return (self.red, self.green, self.blue, self.opacity)

    def __eq__(self, other):
        return isinstance(other, Color) and self.as_tuple() == other.as_tuple()

    def __hash__(self):
        return hash(self.as_tuple())

    def __repr__(self):
        return "Color(%d, %d, %d, %d)" % self.as_tuple()


# ---------------------------------------------------------------------------
# Application, user interface, viewport


class DialogResults:
    """Results of ``messageBox``."""

    DialogError = -1
    DialogOK = 0
    DialogCancel = 1
    DialogYes = 2
    DialogNo = 3


class LogLevels:
    """Levels of ``Application.log``."""

    InfoLogLevel = 0
    WarningLogLevel = 1
    ErrorLogLevel = 2


class LogTypes:
    """Destinations of ``Application.log``."""

    ConsoleLogType = 0
    FileLogType = 1


class Product(Base):
    """Base of the products an application can show (the design is one)."""

    productType = "Product"


class UserInterface(Base):
    """The host's user interface; message boxes are recorded on the application."""

    def __init__(self, app: "Application"):
        self._app = app

    def messageBox(self, text, title="", buttons=0, icon=0):
        """Record a message box and answer OK (nobody is there to click)."""
        if not isinstance(text, str):
            raise TypeError(f"messageBox text must be str, not {type(text).__name__}")
        self._app._record("messageBox", text)
        return DialogResults.DialogOK


class Viewport(Base):
    """The active viewport; refreshes are counted on the application."""

    def __init__(self, app: "Application"):
        self._app = app

    def refresh(self) -> bool:
        """Record a redraw request."""
        self._app._record("refresh")
        return True


class Application(Base):
    """The host application, one per interpreter (``Application.get()``).

    The object itself never changes identity: modules keep the handle they got
    at import for the life of the interpreter, so ``reset`` clears its state in
    place instead of creating a new application.

    Recorded for tests, in call order, in ``events``: ``("log", text)``,
    ``("messageBox", text)``, ``("doEvents", None)``, ``("refresh", None)``.
    Set ``echo`` (e.g. to ``print``) to see log and message texts as they come.
    """

    _instance: "Application | None" = None

    def __init__(self):
        self.userInterface = UserInterface(self)
        self.activeViewport = Viewport(self)
        self.version = "hostsim"
        # Stand-in only: a callable (e.g. print) that also receives every log
        # line and message box text as it happens; ``reset`` leaves it alone.
        self.echo = None
        self.reset()

    @staticmethod
    def get() -> "Application":
        """The one application of this interpreter."""
        if Application._instance is None:
            Application._instance = Application()
        return Application._instance

    @property
    def activeProduct(self):
        """The open design, or None when nothing is open."""
        return self._product

    def log(self, message, level=LogLevels.InfoLogLevel, type=LogTypes.ConsoleLogType):
        """Write a line to the host's text log (recorded)."""
        if not isinstance(message, str):
            raise TypeError(f"log message must be str, not {type_name(message)}")
        self._record("log", message)

    # -- stand-in controls -------------------------------------------------

    def reset(self) -> None:
        """Stand-in only: close the design and forget every recorded event."""
        self._product = None
        self.events: list[tuple[str, str | None]] = []

    def set_active_product(self, product) -> None:
        """Stand-in only: make ``product`` (a design, or None) the open document."""
        if product is not None and not isinstance(product, Product):
            raise TypeError(f"not a product: {product!r}")
        self._product = product

    def _record(self, kind: str, text: str | None = None) -> None:
        self.events.append((kind, text))
        if self.echo is not None and text is not None:
            self.echo(text)

    @property
    def log_lines(self) -> list[str]:
        """Stand-in only: texts passed to ``log``, in order."""
        return [t for k, t in self.events if k == "log"]

    @property
    def message_boxes(self) -> list[str]:
        """Stand-in only: texts shown with ``messageBox``, in order."""
        return [t for k, t in self.events if k == "messageBox"]

    @property
    def do_events_count(self) -> int:
        """Stand-in only: number of ``adsk.doEvents()`` calls."""
        return sum(1 for k, _ in self.events if k == "doEvents")

    @property
    def refresh_count(self) -> int:
        """Stand-in only: number of ``activeViewport.refresh()`` calls."""
        return sum(1 for k, _ in self.events if k == "refresh")


def type_name(obj) -> str:
    """Name of an object's type, for error messages."""
    return type(obj).__name__
