"""The environment occupancy grid written plainly with numpy, for the benchmarks and
the tests to hold the native grid builder against."""
import numpy as np


def ref_build_env_grid(env_meshes, pitch, bounds=None, pad=5.0):
    """(grid, lower corner, pitch): the filled voxels of every trimesh mesh in env_meshes,
    in a grid over bounds, or over the meshes' box grown by pad where bounds is None."""
    if bounds is None:
        aabb = np.vstack([m.bounds for m in env_meshes])
        lo = aabb[0::2].min(axis=0) - pad
        hi = aabb[1::2].max(axis=0) + pad
    else:
        lo = np.asarray(bounds[0], dtype=float)
        hi = np.asarray(bounds[1], dtype=float)
    shape = tuple(np.ceil((hi - lo) / pitch).astype(int))
    grid = np.zeros(shape, dtype=bool)
    for mesh in env_meshes:
        pts = np.asarray(mesh.voxelized(pitch=pitch).fill().points)
        idx = np.floor((pts - lo) / pitch).astype(np.int64)
        keep = ((idx[:, 0] >= 0) & (idx[:, 0] < shape[0]) & (idx[:, 1] >= 0) & (idx[:, 1] < shape[1])
                & (idx[:, 2] >= 0) & (idx[:, 2] < shape[2]))
        idx = idx[keep]
        if len(idx):
            grid[idx[:, 0], idx[:, 1], idx[:, 2]] = True
    return grid, lo, float(pitch)
