"""VoxelizeLink against trimesh's own subdivide-and-fill voxelization.

trimesh is the reference: the native voxelizer must list the same voxel
centres in the same order.  Values may differ only by rounding in the final
index-to-point transform, hence the 1e-12 tolerance.
"""
import numpy as np
import pytest
import trimesh
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import Gristane

creation = trimesh.creation
rotation = trimesh.transformations.rotation_matrix


def reference(vertices, faces, pitch, **kwargs):
    mesh = trimesh.Trimesh(vertices=vertices, faces=faces, process=False)
    return np.asarray(mesh.voxelized(pitch=pitch, **kwargs).fill().points, dtype=np.float64)


def assert_same_points(vertices, faces, pitch, **kwargs):
    want = reference(vertices, faces, pitch, **kwargs)
    got = Gristane.VoxelizeLink(vertices, faces, pitch)
    assert got.dtype == np.float64
    assert got.shape == want.shape
    if want.size:
        assert np.abs(got - want).max() <= 1e-12
    return got


def arrays(mesh):
    return np.asarray(mesh.vertices, dtype=np.float64), np.asarray(mesh.faces, dtype=np.int64)


def moved(mesh, angle=0.0, axis=(0, 0, 1), offset=(0.0, 0.0, 0.0)):
    mesh = mesh.copy()
    mesh.apply_transform(rotation(angle, axis))
    mesh.apply_translation(offset)
    return mesh


def open_box():
    box = creation.box([0.12, 0.08, 0.1])
    return trimesh.Trimesh(box.vertices, box.faces[2:], process=False)


def degenerate_mix():
    """A box plus triangles with a repeated corner, three collinear corners and
    a single point, and two vertices no face uses."""
    v, f = arrays(creation.box([0.1, 0.1, 0.1]))
    extra = np.array([[0.2, 0.0, 0.0], [0.31, 0.02, 0.0], [0.26, 0.01, 0.0],
                      [0.5, 0.5, 0.5], [-0.3, 0.1, 0.05]])
    n = len(v)
    v = np.vstack((v, extra))
    f = np.vstack((f, [[n, n, n + 1], [n, n + 1, n + 2], [n + 1, n + 1, n + 1], [0, 0, 6]]))
    return trimesh.Trimesh(v, f, process=False)


MESHES = {
    "box": creation.box([0.1, 0.2, 0.3]),
    "box_offset_negative": moved(creation.box([0.25, 0.1, 0.12]), offset=(-0.73, 0.41, -1.05)),
    "box_rotated": moved(creation.box([0.3, 0.1, 0.15]), 0.7, (1, 2, 3), (0.3, -0.2, 1.1)),
    "cylinder": creation.cylinder(radius=0.05, height=0.4),
    "cylinder_tilted": moved(creation.cylinder(radius=0.07, height=0.25, sections=48), 1.1, (1, 0, 0)),
    "sphere": creation.icosphere(subdivisions=3, radius=0.12),
    "capsule": moved(creation.capsule(height=0.2, radius=0.04), 0.4, (0, 1, 1), (0.05, 0, 0)),
    "disjoint_bodies": trimesh.util.concatenate([
        creation.box([0.1, 0.1, 0.1]),
        moved(creation.icosphere(2, 0.05), offset=(0.3, 0.0, 0.0)),
        moved(creation.cylinder(0.03, 0.1), 0.3, (0, 1, 0), (0.0, -0.25, 0.1)),
    ]),
    "nested_boxes": trimesh.util.concatenate([creation.box([0.3, 0.3, 0.3]),
                                              creation.box([0.1, 0.1, 0.1])]),
    "open_box": open_box(),
    "degenerate_triangles": degenerate_mix(),
    "annulus": creation.annulus(r_min=0.05, r_max=0.1, height=0.06),
}


@pytest.mark.parametrize("pitch", [0.01, 0.013, 0.02])
@pytest.mark.parametrize("name", sorted(MESHES))
def test_matches_trimesh(name, pitch):
    v, f = arrays(MESHES[name])
    got = assert_same_points(v, f, pitch)
    assert len(got) > 0


def test_half_pitch_coordinates_round_half_to_even():
    # Every corner sits exactly halfway between two voxel centres, and the
    # faces are right isosceles triangles whose quad diagonals tie.
    pitch = 0.25
    for lo, hi in [((0.125, 0.375, -0.625), (1.125, 0.875, 0.375)),
                   ((-0.5, -0.5, -0.5), (0.5, 0.5, 0.5)),
                   ((0.0, 0.0, 0.0), (0.75, 1.25, 0.5))]:
        box = creation.box(bounds=np.array([lo, hi]))
        assert_same_points(*arrays(box), pitch)


def test_unit_pitch_at_origin_keeps_bare_indices():
    # Near pitch 1 with the box starting at voxel 0, trimesh skips the
    # transform altogether; the points are then the plain indices.
    box = creation.box(bounds=np.array([[0.2, 0.3, 0.1], [3.3, 2.6, 4.1]]))
    for pitch in (1.0, 1.0 + 4e-9, 1.0 - 4e-9, 1.0 + 3e-8):
        assert_same_points(*arrays(box), pitch)


def test_continues_past_trimesh_refinement_limit():
    # Edges longer than 2**10 half-pitches make trimesh give up; with more
    # rounds allowed it agrees with the native voxelizer, which never gives up.
    v = np.array([[0.0, 0.0, 0.0], [0.53, 0.0, 0.0], [0.53, 0.002, 0.0]])
    f = np.array([[0, 1, 2]])
    with pytest.raises(ValueError, match="max_iter"):
        reference(v, f, 0.001)
    got = assert_same_points(v, f, 0.001, max_iter=40)
    assert len(got) == 2 * 531


def test_face_order_and_winding_do_not_matter_for_closed_box():
    v, f = arrays(MESHES["box_rotated"])
    base = Gristane.VoxelizeLink(v, f, 0.01)
    perm = np.random.default_rng(3).permutation(len(f))
    for faces in (f[perm], f[:, ::-1], np.roll(f, 1, axis=1)):
        assert_same_points(v, np.ascontiguousarray(faces), 0.01)
    assert_same_points(v, f[perm], 0.01)
    assert len(base) > 0


def test_absurd_pitch_is_refused_not_allocated():
    v, f = arrays(creation.box([1.0, 1.0, 1.0]))
    with pytest.raises(ValueError, match="too small"):
        Gristane.VoxelizeLink(v, f, 1e-5)
    far = v + 1e9
    with pytest.raises(ValueError, match="too small"):
        Gristane.VoxelizeLink(far, f, 1e-5)
    with pytest.raises(ValueError, match="too large"):
        Gristane.VoxelizeLink(v * 1e160, f, 1e158)


@st.composite
def small_meshes(draw):
    # Coordinates on a quarter-pitch lattice make rounding ties and equal
    # diagonals common; a free float part covers the general case.
    pitch = draw(st.sampled_from([0.01, 0.02, 0.025, 0.05, 0.013]))
    n = draw(st.integers(3, 8))
    lattice = draw(st.lists(st.lists(st.integers(-24, 24), min_size=3, max_size=3),
                            min_size=n, max_size=n))
    v = np.array(lattice, dtype=np.float64) * (pitch / 4)
    if draw(st.booleans()):
        jitter = draw(st.lists(st.floats(-1.0, 1.0), min_size=3 * n, max_size=3 * n))
        v = v + np.array(jitter).reshape(n, 3) * pitch
    m = draw(st.integers(1, 8))
    faces = draw(st.lists(st.lists(st.integers(0, n - 1), min_size=3, max_size=3),
                          min_size=m, max_size=m))
    return v, np.array(faces, dtype=np.int64), pitch


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(small_meshes())
def test_random_meshes_match_trimesh(case):
    v, f, pitch = case
    try:
        want = reference(v, f, pitch)
    except ValueError:
        return  # trimesh gave up; nothing to compare against
    got = Gristane.VoxelizeLink(v, f, pitch)
    assert got.shape == want.shape
    if want.size:
        assert np.abs(got - want).max() <= 1e-12
