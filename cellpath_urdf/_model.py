"""Reading a URDF: its joints and links, the meshes of their geometry, and the
arm as the serial chain of the named joints with everything else held fixed."""
from pathlib import Path

import numpy as np

from . import ARM_JOINT_TYPES, CYLINDER_SECTIONS, SPHERE_SUBDIVISIONS, UrdfImportError


def _rpy_matrix(roll, pitch, yaw):
    """Rotation of URDF's rpy: about fixed x by roll, then y by pitch, then z by yaw."""
    cr, sr = np.cos(roll), np.sin(roll)
    cp, sp = np.cos(pitch), np.sin(pitch)
    cy, sy = np.cos(yaw), np.sin(yaw)
    Rx = np.array([[1.0, 0.0, 0.0], [0.0, cr, -sr], [0.0, sr, cr]])
    Ry = np.array([[cp, 0.0, sp], [0.0, 1.0, 0.0], [-sp, 0.0, cp]])
    Rz = np.array([[cy, -sy, 0.0], [sy, cy, 0.0], [0.0, 0.0, 1.0]])
    return Rz @ Ry @ Rx


def _pose_matrix(xyz, rpy):
    T = np.eye(4)
    T[:3, :3] = _rpy_matrix(*rpy)
    T[:3, 3] = xyz
    return T


def _inv(T):
    R, p = T[:3, :3], T[:3, 3]
    out = np.eye(4)
    out[:3, :3] = R.T
    out[:3, 3] = -R.T @ p
    return out


def _base_matrix(base):
    """World pose of link 0 from None, six numbers (x, y, z, roll, pitch, yaw) or a 4x4."""
    if base is None:
        return np.eye(4)
    try:
        arr = np.asarray(base, dtype=np.float64)
    except (TypeError, ValueError) as exc:
        raise UrdfImportError(f"base pose {base!r} is not numeric") from exc
    if not np.all(np.isfinite(arr)):
        raise UrdfImportError(f"base pose {base!r} is not finite")
    if arr.shape == (6,):
        return _pose_matrix(arr[:3], arr[3:])
    if arr.shape == (4, 4):
        R = arr[:3, :3]
        if (not np.allclose(arr[3], [0.0, 0.0, 0.0, 1.0], atol=1e-12)
                or not np.allclose(R @ R.T, np.eye(3), atol=1e-9) or np.linalg.det(R) < 0):
            raise UrdfImportError("base pose is not a rigid transform")
        return arr.copy()
    raise UrdfImportError(f"base pose must be X,Y,Z,ROLL,PITCH,YAW or a 4x4 transform, got shape {arr.shape}")


def _joint_motion(joint, value):
    """Transform a moving joint adds at joint value `value` (axis already unit)."""
    T = np.eye(4)
    if value == 0.0:
        return T
    if joint.type in ("revolute", "continuous"):
        import Tovik
        return np.asarray(Tovik.exp_se3(np.concatenate([joint.axis, np.zeros(3)]), float(value)))
    if joint.type == "prismatic":
        T[:3, 3] = joint.axis * value
    return T


def _load_mesh_file(path, cache):
    """(V, F) of a mesh file through trimesh; several bodies in one file are concatenated."""
    key = str(path)
    if key in cache:
        return cache[key]
    import trimesh
    try:
        mesh = trimesh.load(str(path), force="mesh", process=False, skip_materials=True)
    except Exception as exc:  # trimesh raises many kinds for unreadable files
        raise UrdfImportError(f"cannot read mesh file {path}: {exc}") from exc
    V = np.asarray(getattr(mesh, "vertices", np.zeros((0, 3))), dtype=np.float64).reshape(-1, 3)
    F = np.asarray(getattr(mesh, "faces", np.zeros((0, 3))), dtype=np.int64).reshape(-1, 3)
    if len(F) == 0:
        raise UrdfImportError(f"mesh file {path} holds no triangles")
    if not np.all(np.isfinite(V)):
        raise UrdfImportError(f"mesh file {path} has non-finite vertices")
    if F.min() < 0 or F.max() >= len(V):
        raise UrdfImportError(f"mesh file {path} has faces that name missing vertices")
    # STL repeats every corner once per triangle; share bit-identical vertices
    # (first occurrence order) so the cache holds each corner once.
    _, first, inverse = np.unique(V, axis=0, return_index=True, return_inverse=True)
    if len(first) < len(V):
        order = np.argsort(first, kind="stable")
        rank = np.empty_like(order)
        rank[order] = np.arange(len(order))
        V = V[first[order]]
        F = rank[inverse.reshape(-1)][F]
    cache[key] = (V, F)
    return V, F


def _resolve_filename(filename, urdf_dir, package_dirs, owner):
    """Path of a mesh reference: package://NAME/..., file://..., absolute or relative."""
    if filename.startswith("package://"):
        pkg, _, sub = filename[len("package://"):].partition("/")
        if pkg in package_dirs:
            candidates = [Path(package_dirs[pkg]) / sub]
        else:
            # A description unpacked on its own usually keeps the package folder
            # beside (or as) the URDF's folder; in the usual ROS layout the URDF
            # sits in the package's urdf/ folder, and other packages lie beside
            # that package, so every ancestor is looked at too.
            candidates = [urdf_dir / pkg / sub, urdf_dir / sub]
            for d in (urdf_dir, *urdf_dir.parents):
                candidates += [d / sub] if d.name == pkg else []
                candidates += [d / pkg / sub]
    else:
        name = filename[len("file://"):] if filename.startswith("file://") else filename
        p = Path(name)
        candidates = [p if p.is_absolute() else urdf_dir / p]
    for c in candidates:
        if c.is_file():
            return c
    tried = list(dict.fromkeys(str(c) for c in candidates))
    looked = ", ".join(tried[:4]) + (f" and {len(tried) - 4} more among the URDF's ancestors"
                                     if len(tried) > 4 else "")
    hint = ""
    if filename.startswith("package://"):
        hint = f"; name the package's folder with --package-dir {pkg}=DIR (package_dirs={{'{pkg}': DIR}})"
    raise UrdfImportError(f"mesh file '{filename}' of {owner} not found (looked for {looked}){hint}")


def _geometry_mesh(geometry, owner, urdf_dir, package_dirs, cache):
    """(V, F) of one URDF geometry element in its own frame."""
    import trimesh
    if geometry is None:
        raise UrdfImportError(f"{owner} has an element without geometry")
    if geometry.box is not None:
        size = np.asarray(geometry.box.size, dtype=np.float64).reshape(-1)
        if size.shape != (3,) or not np.all(np.isfinite(size)) or np.any(size <= 0):
            raise UrdfImportError(f"box of {owner} has size {size.tolist()}; three positive lengths expected")
        m = trimesh.creation.box(extents=size)
    elif geometry.cylinder is not None:
        r, h = float(geometry.cylinder.radius), float(geometry.cylinder.length)
        if not (np.isfinite(r) and np.isfinite(h) and r > 0 and h > 0):
            raise UrdfImportError(f"cylinder of {owner} has radius {r} and length {h}; positive values expected")
        m = trimesh.creation.cylinder(radius=r, height=h, sections=CYLINDER_SECTIONS)
    elif geometry.sphere is not None:
        r = float(geometry.sphere.radius)
        if not (np.isfinite(r) and r > 0):
            raise UrdfImportError(f"sphere of {owner} has radius {r}; a positive value expected")
        m = trimesh.creation.icosphere(subdivisions=SPHERE_SUBDIVISIONS, radius=r)
    elif geometry.mesh is not None:
        path = _resolve_filename(geometry.mesh.filename or "", urdf_dir, package_dirs, owner)
        V, F = _load_mesh_file(path, cache)
        scale = geometry.mesh.scale
        if scale is not None:
            s = np.broadcast_to(np.asarray(scale, dtype=np.float64).reshape(-1), (3,)) \
                if np.size(scale) in (1, 3) else None
            if s is None or not np.all(np.isfinite(s)) or np.any(s == 0):
                raise UrdfImportError(f"mesh {geometry.mesh.filename} of {owner} has scale {scale!r}")
            V = V * s
            if np.prod(s) < 0:  # a mirroring scale turns the triangles inside out
                F = F[:, ::-1]
        return V, F
    else:
        raise UrdfImportError(f"{owner} has a geometry that is neither box, cylinder, sphere nor mesh")
    return np.asarray(m.vertices, dtype=np.float64), np.asarray(m.faces, dtype=np.int64)


# --------------------------------------------------------------------------- the URDF

def _load_urdf(urdf):
    path = Path(urdf)
    if not path.is_file():
        raise UrdfImportError(f"URDF file {path} not found")
    from lxml import etree
    try:
        root = etree.parse(str(path), etree.XMLParser(remove_blank_text=True)).getroot()
    except (etree.XMLSyntaxError, OSError) as exc:
        raise UrdfImportError(f"broken URDF {path}: {exc}") from exc
    if root.tag != "robot":
        raise UrdfImportError(f"broken URDF {path}: the root element is <{root.tag}>, not <robot>")
    import yourdfpy
    try:
        robot = yourdfpy.URDF.load(str(path), build_scene_graph=True, load_meshes=False,
                                   build_collision_scene_graph=False, load_collision_meshes=False)
    except Exception as exc:  # the parser raises whatever a missing attribute causes
        raise UrdfImportError(f"broken URDF {path}: {type(exc).__name__}: {exc}") from exc
    return path, robot


class _Model:
    """The URDF's tree with the arm's joints picked out, at the held configuration."""

    def __init__(self, robot, urdf_path, joint_names):
        self.robot = robot
        self.urdf_path = urdf_path
        urdf = robot.robot
        self.links = {l.name: l for l in urdf.links}
        self.joints = {j.name: j for j in urdf.joints}
        if not self.links:
            raise UrdfImportError(f"URDF {urdf_path} defines no links")
        self.parent_joint = {}
        for j in urdf.joints:
            for side in (j.parent, j.child):
                if side not in self.links:
                    raise UrdfImportError(f"joint '{j.name}' names link '{side}', which the URDF does not define")
            if j.child in self.parent_joint:
                raise UrdfImportError(f"link '{j.child}' is the child of two joints, "
                                      f"'{self.parent_joint[j.child].name}' and '{j.name}'")
            self.parent_joint[j.child] = j
        roots = [n for n in self.links if n not in self.parent_joint]
        if len(roots) != 1:
            what = "no link without a parent joint (a loop)" if not roots else f"several roots {roots}"
            raise UrdfImportError(f"URDF {urdf_path} is not one tree: {what}")
        self.root = roots[0]
        for name in self.links:  # loops that do not reach the root
            seen, cur = set(), name
            while cur in self.parent_joint:
                if cur in seen:
                    raise UrdfImportError(f"URDF {urdf_path} has a loop through link '{cur}'")
                seen.add(cur)
                cur = self.parent_joint[cur].parent

        for j in urdf.joints:
            if j.origin is not None and not np.all(np.isfinite(j.origin)):
                raise UrdfImportError(f"joint '{j.name}' has a non-finite origin")
            if j.mimic is not None and not np.isfinite(float(j.mimic.offset or 0.0)):
                raise UrdfImportError(f"mimic joint '{j.name}' has a non-finite offset")
            if j.type in ARM_JOINT_TYPES:
                axis = np.asarray(j.axis, dtype=np.float64).reshape(-1)
                norm = float(np.linalg.norm(axis)) if axis.shape == (3,) else 0.0
                if not np.isfinite(norm) or norm == 0.0:
                    raise UrdfImportError(f"joint '{j.name}' has axis {axis.tolist()}; a non-zero direction expected")
                j.axis = axis / norm  # URDF axes are directions; the parser keeps their length

        # The arm.
        if len(joint_names) == 0:
            raise UrdfImportError("no arm joints given")
        if len(set(joint_names)) != len(joint_names):
            dup = sorted({n for n in joint_names if joint_names.count(n) > 1})
            raise UrdfImportError(f"arm joint {dup[0]!r} is named twice")
        for name in joint_names:
            if name not in self.joints:
                known = ", ".join(self.joints) or "none"
                raise UrdfImportError(f"joint '{name}' is not in the URDF (its joints: {known})")
            j = self.joints[name]
            if j.type not in ARM_JOINT_TYPES:
                raise UrdfImportError(f"joint '{name}' is {j.type}; an arm joint must be revolute, continuous or prismatic")
            if j.mimic is not None:
                raise UrdfImportError(f"joint '{name}' mimics '{j.mimic.joint}'; an arm joint must move on its own")
        self.arm = [self.joints[n] for n in joint_names]
        self.arm_index = {j.name: k for k, j in enumerate(self.arm)}

        # Every link belongs to the arm link below the nearest arm joint on its way to the root.
        self.owner = {}
        for name in self.links:
            cur = name
            while True:
                j = self.parent_joint.get(cur)
                if j is None:
                    self.owner[name] = 0
                    break
                if j.name in self.arm_index:
                    self.owner[name] = self.arm_index[j.name] + 1
                    break
                cur = j.parent
        for k, j in enumerate(self.arm):
            got = self.owner[j.parent]
            if got != k:
                after = "the base" if k == 0 else f"joint '{self.arm[k - 1].name}'"
                carried = "the base" if got == 0 else f"arm joint '{self.arm[got - 1].name}'"
                raise UrdfImportError(
                    f"joints do not form one serial chain from base to tip: '{j.name}' hangs from link "
                    f"'{j.parent}', which moves with {carried}, not right after {after}")
        for j in urdf.joints:
            if j.mimic is not None and j.mimic.joint in self.arm_index:
                raise UrdfImportError(f"joint '{j.name}' mimics arm joint '{j.mimic.joint}'; what it carries "
                                      "would not move rigidly with any arm link")

        self.frame_links = [self.arm[0].parent] + [j.child for j in self.arm]
        self.T_root = self._held_poses()

    def held_value(self, joint):
        """Value of a non-arm joint in the cache: 0, or its mimic offset (the master is held at 0)."""
        if joint.mimic is not None:
            return float(joint.mimic.offset or 0.0)
        return 0.0

    def _held_poses(self):
        poses = {self.root: np.eye(4)}
        for name in self.links:
            path = []  # links from `name` up to the first one already placed
            while name not in poses:
                path.append(name)
                name = self.parent_joint[name].parent
            for child in reversed(path):
                j = self.parent_joint[child]
                origin = np.eye(4) if j.origin is None else np.asarray(j.origin, dtype=np.float64)
                value = 0.0 if j.name in self.arm_index else self.held_value(j)
                motion = _joint_motion(j, value) if j.type in ARM_JOINT_TYPES else np.eye(4)
                poses[child] = poses[j.parent] @ origin @ motion
        return poses

    def rel(self, frame, name):
        """Pose of link `name` in the frame of link `frame`, at the held configuration."""
        return _inv(self.T_root[frame]) @ self.T_root[name]


# --------------------------------------------------------------------------- writing
