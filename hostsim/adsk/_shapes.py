"""Solid primitives of the stand-in's bodies and their triangulation.

Every shape is closed and its triangles face outwards, so a triangulated body is
a watertight solid (voxel filling and mesh collision rely on that).  Coordinates
are centimetres in the owning component's frame.
"""
from __future__ import annotations

import numpy as np

# Facets around a cylinder for each mesh quality value of the host
# (TriangleMeshQualityOptions): low, normal, high, very high.
CYLINDER_SEGMENTS = {8: 16, 11: 24, 13: 32, 15: 48}


def _unit(v, what="vector") -> np.ndarray:
    v = np.asarray(v, dtype=float).reshape(3)
    n = np.linalg.norm(v)
    if not np.isfinite(n) or n == 0.0:
        raise ValueError(f"{what} must be a finite non-zero 3-vector, got {v.tolist()}")
    return v / n


def perpendicular(axis: np.ndarray) -> np.ndarray:
    """A unit vector perpendicular to the unit ``axis``, chosen deterministically
    (crossed with the world axis it is least aligned with)."""
    e = np.zeros(3)
    e[int(np.argmin(np.abs(axis)))] = 1.0
    u = np.cross(axis, e)
    return u / np.linalg.norm(u)


def _orient_outwards(nodes: np.ndarray, tris: np.ndarray, centre: np.ndarray) -> np.ndarray:
    """Flip triangles of a convex solid so that their normals point away from ``centre``."""
    a, b, c = nodes[tris[:, 0]], nodes[tris[:, 1]], nodes[tris[:, 2]]
    normal = np.cross(b - a, c - a)
    outward = np.einsum("ij,ij->i", normal, (a + b + c) / 3.0 - centre) < 0.0
    tris = tris.copy()
    tris[outward, 1], tris[outward, 2] = tris[outward, 2], tris[outward, 1].copy()
    return tris


class Box:
    """A box of edge lengths ``size`` centred at ``center``, turned by ``rotation`` (3x3)."""

    def __init__(self, size, center=(0.0, 0.0, 0.0), rotation=None):
        self.size = np.asarray(size, dtype=float).reshape(3)
        if not np.all(np.isfinite(self.size)) or np.any(self.size <= 0.0):
            raise ValueError(f"box size must be three positive numbers, got {self.size.tolist()}")
        self.center = np.asarray(center, dtype=float).reshape(3)
        self.rotation = np.eye(3) if rotation is None else np.asarray(rotation, dtype=float).reshape(3, 3)

    def triangulate(self, quality: int):
        """8 corner nodes and 12 triangles, whatever the quality."""
        bits = np.array([[(i >> k) & 1 for k in range(3)] for i in range(8)], dtype=float)
        local = (bits - 0.5) * self.size
        nodes = local @ self.rotation.T + self.center
        quads = [(0, 2, 6, 4), (1, 5, 7, 3), (0, 4, 5, 1), (2, 3, 7, 6), (0, 1, 3, 2), (4, 6, 7, 5)]
        tris = np.array([t for a, b, c, d in quads for t in ((a, b, c), (a, c, d))], dtype=np.int64)
        return nodes, _orient_outwards(nodes, tris, self.center)


class Cylinder:
    """A right circular cylinder: ``radius``, ``length`` along unit ``axis``, centred at ``center``.

    Each cap is a fan around a node on the axis, so the two cap centres are mesh
    nodes: a cylinder placed coaxially with a joint keeps a node on the joint axis.
    """

    def __init__(self, radius, length, center=(0.0, 0.0, 0.0), axis=(0.0, 0.0, 1.0)):
        self.radius = float(radius)
        self.length = float(length)
        if not (np.isfinite(self.radius) and self.radius > 0.0 and np.isfinite(self.length) and self.length > 0.0):
            raise ValueError(f"cylinder radius and length must be positive, got {radius!r}, {length!r}")
        self.center = np.asarray(center, dtype=float).reshape(3)
        self.axis = _unit(axis, "cylinder axis")

    def triangulate(self, quality: int):
        """2 + 2n nodes (cap centres, bottom rim, top rim) and 4n triangles, n from the quality."""
        n = CYLINDER_SEGMENTS[quality]
        u = perpendicular(self.axis)
        v = np.cross(self.axis, u)
        phi = 2.0 * np.pi * np.arange(n) / n
        ring = self.radius * (np.outer(np.cos(phi), u) + np.outer(np.sin(phi), v))
        half = 0.5 * self.length * self.axis
        bottom, top = self.center - half, self.center + half
        nodes = np.vstack([bottom, top, bottom + ring, top + ring])
        k = np.arange(n)
        k1 = (k + 1) % n
        rb, rt = 2 + k, 2 + n + k
        rb1, rt1 = 2 + k1, 2 + n + k1
        tris = np.vstack([
            np.column_stack([np.zeros(n, int), rb1, rb]),
            np.column_stack([np.ones(n, int), rt, rt1]),
            np.column_stack([rb, rb1, rt1]),
            np.column_stack([rb, rt1, rt]),
        ]).astype(np.int64)
        return nodes, _orient_outwards(nodes, tris, self.center)


class Mesh:
    """Explicit nodes (n, 3) and triangles (m, 3), used as given (may be empty)."""

    def __init__(self, vertices, triangles):
        self.vertices = np.asarray(vertices, dtype=float).reshape(-1, 3)
        self.triangles = np.asarray(triangles, dtype=np.int64).reshape(-1, 3)
        if self.triangles.size and (self.triangles.min() < 0 or self.triangles.max() >= len(self.vertices)):
            raise ValueError("mesh triangle index out of range")
        if not np.all(np.isfinite(self.vertices)):
            raise ValueError("mesh vertices must be finite")

    def triangulate(self, quality: int):
        """The nodes and triangles as given."""
        return self.vertices.copy(), self.triangles.copy()
