"""Link voxelization: the native VoxelizeLink against trimesh's voxelizer.

Voxelizes the links of a synthetic six-link arm (boxes and cylinders of
0.1 to 0.5 m, each in its own frame, some tilted) at pitch 0.01 m with both,
checks that the points agree, and prints per-link and total times.
"""

import numpy as np
import trimesh

import Gristane
from stopwatch import best_of

PITCH = 0.01
REPEATS = 3


def tilted(mesh, angle, axis, offset):
    mesh = mesh.copy()
    mesh.apply_transform(trimesh.transformations.rotation_matrix(angle, axis))
    mesh.apply_translation(offset)
    return mesh


def arm_links():
    c = trimesh.creation
    return [
        ("base cylinder r0.12 h0.15", c.cylinder(radius=0.12, height=0.15, sections=48)),
        ("shoulder box 0.18x0.16x0.25", c.box([0.18, 0.16, 0.25])),
        ("upper arm box 0.5x0.12x0.12", tilted(c.box([0.5, 0.12, 0.12]), 0.0, (0, 0, 1), (0.25, 0, 0.1))),
        ("forearm cylinder r0.05 h0.4", tilted(c.cylinder(radius=0.05, height=0.4, sections=32),
                                              np.pi / 2, (0, 1, 0), (0.2, 0, 0))),
        ("wrist box 0.1x0.1x0.14 tilted", tilted(c.box([0.1, 0.1, 0.14]), 0.5, (1, 1, 0), (0, 0, 0.07))),
        ("flange cylinder r0.04 h0.1", c.cylinder(radius=0.04, height=0.1, sections=32)),
    ]


def reference(v, f):
    mesh = trimesh.Trimesh(vertices=v, faces=f, process=False)
    return np.asarray(mesh.voxelized(pitch=PITCH).fill().points, dtype=np.float64)


def main():
    total_native = total_trimesh = 0.0
    print(f"pitch {PITCH} m, best of {REPEATS}")
    print(f"{'link':34s} {'points':>8s} {'trimesh ms':>11s} {'native ms':>10s} {'ratio':>7s}")
    for name, mesh in arm_links():
        v = np.ascontiguousarray(mesh.vertices, dtype=np.float64)
        f = np.ascontiguousarray(mesh.faces, dtype=np.int64)
        t_ref, want = best_of(lambda: reference(v, f), REPEATS)
        t_nat, got = best_of(lambda: Gristane.VoxelizeLink(v, f, PITCH), REPEATS)
        assert got.shape == want.shape, (name, got.shape, want.shape)
        assert np.abs(got - want).max() <= 1e-12, name
        total_native += t_nat
        total_trimesh += t_ref
        print(f"{name:34s} {len(got):8d} {1e3 * t_ref:11.2f} {1e3 * t_nat:10.3f} {t_ref / t_nat:6.0f}x")
    print(f"{'total':34s} {'':8s} {1e3 * total_trimesh:11.2f} {1e3 * total_native:10.3f} "
          f"{total_trimesh / total_native:6.0f}x")
    print(f"voxelization speed-up over trimesh: {total_trimesh / total_native:.0f}x (identical points)")


if __name__ == "__main__":
    main()
