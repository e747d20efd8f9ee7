"""in_collision / colliding_links against a literal numpy implementation.

Two scenes, each a synthetic six-joint arm of box links voxelized at pitch
0.01 m, in the grid the robot environment handler builds (5 m pad, over a
billion cells):

- open: the arm beside one wall;
- cluttered: the arm on a plinth on a table, with a wall, a post, a side
  panel and a shelf each within 10 cm of its links at the zero joint vector,
  inside a cage that every link beyond the shoulder can reach.

Random joint vectors are split into free and colliding ones by the numpy
implementation; both implementations answer every one of them, the answers
must be identical, and the time per configuration is compared.
"""
import os

# One BLAS thread: the numpy side's small matrix products are not helped by
# more, and spinning BLAS threads would steal the CPU from both sides.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import pathlib  # noqa: E402
import sys  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "examples"))
import synthetic_cache as sc  # noqa: E402
import Gristane  # noqa: E402
import Sallowmere  # noqa: E402


def np_in_collision(link_points_local, T_world_link, env_grid, env_origin, pitch):
    inv_pitch = 1.0 / pitch
    gx, gy, gz = env_grid.shape
    for pts, T in zip(link_points_local, T_world_link):
        pw = pts @ T[:3, :3].T + T[:3, 3]
        idx = np.floor((pw - env_origin) * inv_pitch).astype(np.int64)
        m = ((idx[:, 0] >= 0) & (idx[:, 0] < gx) & (idx[:, 1] >= 0) & (idx[:, 1] < gy)
             & (idx[:, 2] >= 0) & (idx[:, 2] < gz))
        if not m.any():
            continue
        idx = idx[m]
        if env_grid[idx[:, 0], idx[:, 1], idx[:, 2]].any():
            return True
    return False


def np_colliding_links(link_points_local, T_world_link, env_grid, env_origin, pitch):
    inv_pitch = 1.0 / pitch
    gx, gy, gz = env_grid.shape
    hit = []
    for i, (pts, T) in enumerate(zip(link_points_local, T_world_link)):
        pw = pts @ T[:3, :3].T + T[:3, 3]
        idx = np.floor((pw - env_origin) * inv_pitch).astype(np.int64)
        m = ((idx[:, 0] >= 0) & (idx[:, 0] < gx) & (idx[:, 1] >= 0) & (idx[:, 1] < gy)
             & (idx[:, 2] >= 0) & (idx[:, 2] < gz))
        idx = idx[m]
        if idx.size == 0:
            continue
        if env_grid[idx[:, 0], idx[:, 1], idx[:, 2]].any():
            hit.append(i)
    return hit


def best_time(fn, items, repeats=3):
    best, out = float("inf"), None
    for _ in range(repeats):
        t0 = time.perf_counter()
        out = [fn(*args) for args in items]
        best = min(best, time.perf_counter() - t0)
    return best / len(items), out


# The arm's base stands on a 0.5 m plinth; at the zero joint vector its links
# run up the z axis from 0.6 m to 1.68 m, 0.04 m (x) by 0.03 m (y) off the axis.
PLINTH = 0.5
CLUTTER = (
    ("table", (-1.0, -1.0, 0.40), (1.0, 1.0, 0.45)),
    ("plinth", (-0.15, -0.15, 0.45), (0.15, 0.15, PLINTH)),
    ("wall", (0.12, -0.40, 0.70), (0.22, 0.40, 1.30)),      # 8 cm from the links on +x
    ("post", (-0.30, 0.10, 0.60), (-0.20, 0.20, 1.60)),     # 7 cm off on +y, 16 cm on -x
    ("panel", (-0.40, -0.20, 0.60), (0.05, -0.12, 1.00)),   # 9 cm from the links on -y
    ("shelf", (-0.60, -0.60, 1.76), (0.60, 0.60, 1.80)),    # 8 cm above the top link
    # a cage round the cell, within reach of every link beyond the shoulder
    ("cage_px", (0.55, -0.60, 0.45), (0.60, 0.60, 1.76)),
    ("cage_nx", (-0.60, -0.60, 0.45), (-0.55, 0.60, 1.76)),
    ("cage_py", (-0.55, 0.55, 0.45), (0.55, 0.60, 1.76)),
    ("cage_ny", (-0.55, -0.60, 0.45), (0.55, -0.55, 1.76)),
)


def cluttered_cache(tmp):
    base = np.eye(4)
    base[2, 3] = PLINTH
    return sc.write_cache(pathlib.Path(tmp) / "Clutter", 6, env=CLUTTER, base_pose=base)


def main():
    with tempfile.TemporaryDirectory() as tmp:
        print("open scene: the arm beside one wall")
        run(sc.write_cache(pathlib.Path(tmp) / "Cache", 6), (50, 20))
        print("\ncluttered scene: the arm on a plinth, obstacles within 10 cm of its links")
        run(cluttered_cache(tmp), (30, 20))


def run(cache, targets):
    h = Sallowmere.RobotEnvironmentHandler(cache.path)
    pts, grid, origin, pitch = h.link_points, h.env_grid, h.env_origin, h.pitch
    print(f"arm: {len(pts)} links, {sum(len(p) for p in pts)} link points at pitch {pitch}; "
          f"grid {grid.shape} = {grid.size / 1e9:.2f} G cells")

    rng = np.random.default_rng(2024)
    qs = rng.uniform(-np.pi, np.pi, (3000, 6))
    # The handler's own call pattern: links 1..n against the grid.
    poses = [h.AcquireTransformsGivenq(q) for q in qs]
    answers = [np_in_collision(pts[1:], T[1:], grid, origin, pitch) for T in poses]
    free = [T for T, a in zip(poses, answers) if not a][:300]
    colliding = [T for T, a in zip(poses, answers) if a][:300]

    print(f"{'case':<28}{'n':>5}{'numpy us':>11}{'native us':>11}{'ratio':>8}  same")
    for label, group in (("free", free), ("colliding", colliding)):
        for name, fn_np, fn_c, sl in (
            ("in_collision", np_in_collision, Gristane.in_collision, slice(1, None)),
            ("colliding_links", np_colliding_links, Gristane.colliding_links, slice(0, None)),
        ):
            items = [(pts[sl], T[sl], grid, origin, pitch) for T in group]
            t_np, a = best_time(fn_np, items)
            t_c, b = best_time(fn_c, items)
            same = a == b
            print(f"{name + ' (' + label + ')':<28}{len(items):>5}{t_np * 1e6:>11.1f}{t_c * 1e6:>11.1f}"
                  f"{t_np / t_c:>8.1f}  {'yes' if same else 'NO'}")
            if not same:
                raise SystemExit("answers differ")
    # The list form of the transforms, as forward_kinematics returns them.
    items = [(pts[1:], list(T[1:]), grid, origin, pitch) for T in free]
    t_np, a = best_time(np_in_collision, items)
    t_c, b = best_time(Gristane.in_collision, items)
    print(f"{'in_collision (free, lists)':<28}{len(items):>5}{t_np * 1e6:>11.1f}{t_c * 1e6:>11.1f}"
          f"{t_np / t_c:>8.1f}  {'yes' if a == b else 'NO'}")
    print(f"targets: in_collision >= {targets[0]}x on free, >= {targets[1]}x on colliding configurations")


if __name__ == "__main__":
    main()
